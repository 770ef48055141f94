#include "common.hpp"

#include <structmember.h>

#include <chrono>
#include <cxxabi.h>
#include <exception>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <pthread.h>
#include <thread>
#include <new>
#include <limits>
#include <string>
#include <unordered_map>

#include "vordex/core/errors.hpp"
#include "vordex/core/numeric.hpp"

namespace vx {

namespace {

struct FnObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    Py_ssize_t nparams;
    PyObject* params;       // tuple of str (positional-or-keyword names)
    PyObject* varargs;      // str or nullptr
    PyObject* varkw;        // str or nullptr
    PyObject* defaults;     // tuple
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module;       // object (normally str)
    PyObject* doc;          // object (str or None)
    PyObject* annotations;  // dict, created on first access
    PyObject* annotation_spec;  // tuple of (name, text) pairs, shared
    PyObject* globals;      // dict
    PyObject* builtins;     // dict: the builtins of `globals` when created
    PyObject* payload;      // object
    PyObject* dict;         // instance dict (attributes set by users), or nullptr
    PyObject* weakreflist;  // weak references to the callable, or nullptr
    PyObject* kwdefaults;   // dict set by a user, or nullptr (no keyword-only parameters)
    PyObject* closure;      // always nullptr: __closure__ is None
    bool fresh_defaults;    // __defaults__ is a new tuple of new floats on each request
    bool no_defaults;       // __defaults__ is None (else the tuple, even an empty one)
};

PyObject* fn_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Shared immutable pieces of the callables. The objects are created once per
// distinct value and kept for the life of the process (deliberately never
// released: they must outlive every callable, even during interpreter
// shutdown). Access happens with the GIL held.
PyObject* interned(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw py::error_already_set();
    return o;
}

PyObject* cached_text(const char* s) {
    static std::unordered_map<std::string, PyObject*>* cache = new std::unordered_map<std::string, PyObject*>();
    std::string key(s);
    auto it = cache->find(key);
    if (it == cache->end()) {
        PyObject* o = PyUnicode_FromString(s);
        if (!o) throw py::error_already_set();
        it = cache->emplace(std::move(key), o).first;
    }
    Py_INCREF(it->second);
    return it->second;
}

PyObject* cached_params(const FnDef& def) {
    static std::unordered_map<std::string, PyObject*>* cache = new std::unordered_map<std::string, PyObject*>();
    std::string key;
    for (const char* p : def.params) {
        key += p;
        key += '\0';
    }
    auto it = cache->find(key);
    if (it == cache->end()) {
        PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(def.params.size()));
        if (!t) throw py::error_already_set();
        for (size_t i = 0; i < def.params.size(); ++i) {
            PyObject* s = PyUnicode_InternFromString(def.params[i]);
            if (!s) {
                Py_DECREF(t);
                throw py::error_already_set();
            }
            PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), s);
        }
        it = cache->emplace(std::move(key), t).first;
    }
    Py_INCREF(it->second);
    return it->second;
}

PyObject* cached_annotations(const FnDef& def) {
    if (def.annotations.empty()) return nullptr;
    static std::unordered_map<std::string, PyObject*>* cache = new std::unordered_map<std::string, PyObject*>();
    std::string key;
    for (auto& [k, v] : def.annotations) {
        key += k;
        key += '\0';
        key += v;
        key += '\0';
    }
    auto it = cache->find(key);
    if (it == cache->end()) {
        py::list pairs;
        for (auto& [k, v] : def.annotations)
            pairs.append(py::make_tuple(py::reinterpret_steal<py::str>(interned(k)), py::str(v)));
        PyObject* t = PySequence_Tuple(pairs.ptr());
        if (!t) throw py::error_already_set();
        it = cache->emplace(std::move(key), t).first;
    }
    Py_INCREF(it->second);
    return it->second;
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FnObject*>(self);
    Py_VISIT(f->params);
    Py_VISIT(f->varargs);
    Py_VISIT(f->varkw);
    Py_VISIT(f->defaults);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->annotation_spec);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->payload);
    Py_VISIT(f->dict);
    Py_VISIT(f->kwdefaults);
    return 0;
}

int fn_clear(PyObject* self) {
    auto* f = reinterpret_cast<FnObject*>(self);
    Py_CLEAR(f->params);
    Py_CLEAR(f->varargs);
    Py_CLEAR(f->varkw);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->annotation_spec);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->payload);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->kwdefaults);
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<FnObject*>(self)->weakreflist) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* fn_repr(PyObject* self) {
    auto* f = reinterpret_cast<FnObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// --- attribute access -------------------------------------------------------

PyObject* get_obj(PyObject* o) {
    if (!o) Py_RETURN_NONE;
    Py_INCREF(o);
    return o;
}

template <PyObject* FnObject::*Member>
PyObject* getter(PyObject* self, void*) {
    return get_obj(reinterpret_cast<FnObject*>(self)->*Member);
}

// Setters with the checks and messages of Python's own functions.
template <PyObject* FnObject::*Member>
int set_str(PyObject* self, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(reinterpret_cast<FnObject*>(self)->*Member, value);
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_str<&FnObject::name>(self, value, "__name__ must be set to a string object");
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str<&FnObject::qualname>(self, value, "__qualname__ must be set to a string object");
}

// __module__ and __doc__ take any object; deleting them leaves None.
template <PyObject* FnObject::*Member>
int set_any(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    Py_INCREF(value);
    Py_XSETREF(reinterpret_cast<FnObject*>(self)->*Member, value);
    return 0;
}

// A dict attribute that None or deleting clears, with the message of a
// Python function's setter ("<name> must be set to a dict object").
template <PyObject* FnObject::*Member>
int set_optional_dict(PyObject* self, PyObject* value, const char* message) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(reinterpret_cast<FnObject*>(self)->*Member, value);
    return 0;
}

// __annotations__ takes a dict; None or deleting it leaves a new empty dict
// on the next access.
int set_annotations(PyObject* self, PyObject* value, void*) {
    // The description is dropped first: releasing the old dict may run a
    // finalizer that reads __annotations__, which must then be empty.
    if (value == nullptr || value == Py_None) Py_CLEAR(reinterpret_cast<FnObject*>(self)->annotation_spec);
    return set_optional_dict<&FnObject::annotations>(self, value, "__annotations__ must be set to a dict object");
}

// The annotations dict, built from the shared description when first asked.
PyObject* annotations_of(FnObject* f) {
    if (!f->annotations) {
        PyObject* d = PyDict_New();
        if (!d) return nullptr;
        if (f->annotation_spec) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(f->annotation_spec); ++i) {
                PyObject* pair = PyTuple_GET_ITEM(f->annotation_spec, i);
                if (PyDict_SetItem(d, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
                    Py_DECREF(d);
                    return nullptr;
                }
            }
        }
        // Building the dict may have run a finalizer that set annotations
        // meanwhile: those are kept.
        if (f->annotations)
            Py_DECREF(d);
        else
            f->annotations = d;
    }
    return f->annotations;
}

PyObject* get_annotations(PyObject* self, void*) {
    PyObject* d = annotations_of(reinterpret_cast<FnObject*>(self));
    Py_XINCREF(d);
    return d;
}

// inspect.signature support: build an inspect.Signature from the stored
// parameter names, defaults and annotations.
PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FnObject*>(self);
    // As for a Python function: a signature set by the user is returned, and
    // a function that wraps another (functools.update_wrapper sets
    // __wrapped__) has none of its own, so inspect follows the wrapped one.
    // A signature set to None stands for none set: the function's own
    // (inspect treats None so).
    try {
        if (f->dict) {
            PyObject* own_sig = dict_item(f->dict, "__signature__");
            if (own_sig && own_sig != Py_None) {
                Py_INCREF(own_sig);
                return own_sig;
            }
            if (!own_sig && dict_item(f->dict, "__wrapped__")) {
                PyErr_SetString(PyExc_AttributeError, "__signature__");
                return nullptr;
            }
        }
        py::object inspect = import_module("inspect");
        py::object Parameter = inspect.attr("Parameter");
        py::object Signature = inspect.attr("Signature");
        py::object empty = Parameter.attr("empty");
        PyObject* annd = annotations_of(f);
        if (!annd) throw py::error_already_set();
        py::dict ann = py::reinterpret_borrow<py::dict>(annd);
        // Held for the loop, whose Python code (an annotations dict's
        // __getitem__, a collection) may set new defaults.
        py::tuple defaults = py::reinterpret_borrow<py::tuple>(f->defaults);
        py::list params;
        Py_ssize_t ndef = PyTuple_GET_SIZE(defaults.ptr());
        Py_ssize_t first_default = f->nparams - ndef;
        auto annot = [&](py::handle pname) -> py::object {
            if (ann.contains(pname)) return ann[pname];
            return empty;
        };
        for (Py_ssize_t i = 0; i < f->nparams; ++i) {
            py::handle pname = PyTuple_GET_ITEM(f->params, i);
            py::object dflt = empty;
            if (i >= first_default)
                dflt = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(defaults.ptr(), i - first_default));
            params.append(Parameter(pname, Parameter.attr("POSITIONAL_OR_KEYWORD"),
                                    py::arg("default") = dflt, py::arg("annotation") = annot(pname)));
        }
        if (f->varargs) {
            py::handle pname(f->varargs);
            params.append(Parameter(pname, Parameter.attr("VAR_POSITIONAL"),
                                    py::arg("annotation") = annot(pname)));
        }
        if (f->varkw) {
            py::handle pname(f->varkw);
            params.append(Parameter(pname, Parameter.attr("VAR_KEYWORD"),
                                    py::arg("annotation") = annot(pname)));
        }
        py::object ret = ann.contains("return") ? py::object(ann["return"]) : empty;
        return Signature(params, py::arg("return_annotation") = ret).release().ptr();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// __defaults__ as for a Python function: None when there are none; a tuple
// or None may be set.
// Functions created with fresh defaults show a new tuple, with new float
// objects of the stored values, on each request (until one is set).
PyObject* get_defaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FnObject*>(self);
    const Py_ssize_t n = PyTuple_GET_SIZE(f->defaults);
    if (f->no_defaults) Py_RETURN_NONE;
    if (!f->fresh_defaults || n == 0) {
        Py_INCREF(f->defaults);
        return f->defaults;
    }
    // Held for the copy: allocating may run a collection whose finalizers set
    // new defaults.
    py::tuple defaults = py::reinterpret_borrow<py::tuple>(f->defaults);
    PyObject* t = PyTuple_New(n);
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyTuple_GET_ITEM(defaults.ptr(), i);
        if (PyFloat_CheckExact(v)) {
            v = PyFloat_FromDouble(PyFloat_AS_DOUBLE(v));
            if (!v) {
                Py_DECREF(t);
                return nullptr;
            }
        } else {
            Py_INCREF(v);
        }
        PyTuple_SET_ITEM(t, i, v);
    }
    return t;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FnObject*>(self);
    const bool none = !value || value == Py_None;
    if (none) {
        value = PyTuple_New(0);
        if (!value) return -1;
    } else if (PyTuple_Check(value)) {
        Py_INCREF(value);
    } else {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    // The flags go with the tuple: releasing the old tuple may run a
    // finalizer that sets __defaults__ again, and its flags must stand.
    f->fresh_defaults = false;
    f->no_defaults = none;
    Py_XSETREF(f->defaults, value);
    return 0;
}

// __kwdefaults__: None, or a dict a user set (there are no keyword-only
// parameters for it to apply to, as for a Python function without them).
PyObject* get_kwdefaults(PyObject* self, void*) { return get_obj(reinterpret_cast<FnObject*>(self)->kwdefaults); }

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    return set_optional_dict<&FnObject::kwdefaults>(self, value, "__kwdefaults__ must be set to a dict object");
}

int set_signature(PyObject* self, PyObject* value, void*) {
    PyObject* d = PyObject_GenericGetDict(self, nullptr);
    if (!d) return -1;
    int rc;
    if (value) {
        rc = PyDict_SetItemString(d, "__signature__", value);
    } else {
        rc = PyDict_DelItemString(d, "__signature__");
        if (rc < 0 && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_AttributeError, "__signature__");
        }
    }
    Py_DECREF(d);
    return rc;
}

PyObject* get_code_argcount(PyObject* self, void*) {
    return PyLong_FromSsize_t(reinterpret_cast<FnObject*>(self)->nparams);
}

PyGetSetDef fn_getset[] = {
    {"__name__", getter<&FnObject::name>, set_name, nullptr, nullptr},
    {"__qualname__", getter<&FnObject::qualname>, set_qualname, nullptr, nullptr},
    {"__module__", getter<&FnObject::module>, set_any<&FnObject::module>, nullptr, nullptr},
    {"__doc__", getter<&FnObject::doc>, set_any<&FnObject::doc>, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"_argcount", get_code_argcount, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// Like a Python function: an attribute of a class binds as a method, copies
// are the function itself, and pickling refers to it by its qualified name in
// its module (so only functions reachable by that name pickle, as for
// Python's own).
PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* fn_self(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

PyObject* fn_reduce(PyObject* self, PyObject*) {
    PyObject* q = reinterpret_cast<FnObject*>(self)->qualname;
    Py_INCREF(q);
    return q;
}

PyMethodDef fn_methods[] = {
    {"__copy__", fn_self, METH_NOARGS, nullptr},
    {"__deepcopy__", fn_self, METH_O, nullptr},
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

// A static type, as Python's own function type is: the type's __module__
// and __doc__ then come from its name and its own text, while the instances'
// __module__ and __doc__ are the getters above (a heap type would report the
// getter object as its own __module__).
PyTypeObject fn_type_object;  // zero-initialised; filled in by fn_type()

PyMemberDef fn_members[] = {
    {"__globals__", T_OBJECT, offsetof(FnObject, globals), READONLY, nullptr},
    {"__builtins__", T_OBJECT, offsetof(FnObject, builtins), READONLY, nullptr},
    {"__closure__", T_OBJECT, offsetof(FnObject, closure), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyTypeObject* fn_type() {
    static PyTypeObject* type = [] {
        PyTypeObject* t = &fn_type_object;
        Py_SET_REFCNT(t, 1);
        t->tp_name = "vordex.function";
        t->tp_doc = "A function of vordex implemented natively. It behaves as a Python function:\n"
                    "calls bind their arguments by its signature, and it carries __name__,\n"
                    "__qualname__, __module__, __doc__, __defaults__ and __annotations__.";
        t->tp_basicsize = sizeof(FnObject);
        t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                      Py_TPFLAGS_DISALLOW_INSTANTIATION;
        t->tp_dealloc = fn_dealloc;
        t->tp_traverse = fn_traverse;
        t->tp_clear = fn_clear;
        t->tp_repr = fn_repr;
        t->tp_call = PyVectorcall_Call;
        t->tp_getset = fn_getset;
        t->tp_methods = fn_methods;
        t->tp_members = fn_members;
        t->tp_descr_get = fn_descr_get;
        t->tp_vectorcall_offset = offsetof(FnObject, vectorcall);
        t->tp_dictoffset = offsetof(FnObject, dict);
        t->tp_weaklistoffset = offsetof(FnObject, weakreflist);
        if (PyType_Ready(t) < 0) throw py::error_already_set();
        return t;  // static, for the life of the process
    }();
    return type;
}

// --- argument binding ---------------------------------------------------------
// Arguments are bound in the interpreter's order for Python functions:
// positional arguments, then keywords (an unexpected or repeated keyword is
// reported first), then too many positional arguments, then missing ones,
// with the interpreter's messages.

PyObject* report_missing(FnObject* f, const std::vector<Py_ssize_t>& missing) {
    std::string names;
    const size_t n = missing.size();
    for (size_t k = 0; k < n; ++k) {
        std::string q(1, '\'');
        q += PyUnicode_AsUTF8(PyTuple_GET_ITEM(f->params, missing[k]));  // ASCII names
        q += '\'';
        if (k > 0) names += k + 1 < n ? ", " : (n > 2 ? ", and " : " and ");
        names += q;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s", f->qualname,
                 static_cast<Py_ssize_t>(n), n == 1 ? "" : "s", names.c_str());
    return nullptr;
}

PyObject* report_too_many(FnObject* f, Py_ssize_t given) {
    const Py_ssize_t ndef = PyTuple_GET_SIZE(f->defaults);
    const Py_ssize_t maxp = f->nparams;
    std::string takes = ndef > 0 ? "from " + std::to_string(maxp - ndef) + " to " + std::to_string(maxp)
                                 : std::to_string(maxp);
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given", f->qualname,
                 takes.c_str(), (ndef > 0 || maxp != 1) ? "s" : "", given, given == 1 ? "was" : "were");
    return nullptr;
}

// --- interpreter exit ------------------------------------------------------------
// While the interpreter finalises, it ends any other thread that takes its
// lock back (inside Python code a call runs: a callback, a NumPy function
// that released the lock) by unwinding that thread's stack. Unwinding this
// module's frames would release Python objects without the lock, and
// stopping it aborts the process. So at exit (an atexit function, which runs
// before the interpreter finalises and after the non-daemon threads have
// ended) other threads' calls are given a moment to finish or to reach
// native work, and from then on another thread that starts a call, or comes
// back from native work, waits until the process ends instead.

// Per thread: the depth of calls of this module's functions, and whether the
// thread runs in one of them holding the interpreter's lock ("busy": it
// could be ended there). Each thread that calls takes a slot of a fixed
// table (without a lock, so that a fork can never inherit one held); a
// thread that finds none is not waited for. Changed only with the lock held;
// read by the exit function with the lock held.
struct alignas(64) Slot {
    std::atomic<bool> used{false};
    std::atomic<bool> busy{false};
};
constexpr std::size_t kSlots = 1024;
Slot g_slots[kSlots];

// The thread's own state, in the static thread-local block (no memory is
// allocated when a thread first touches it, which the C library cannot
// report as an error). Its slot is freed when the thread ends, through a
// thread-specific key's destructor (a thread that could not register one
// keeps its slot).
struct SlotOwner {
    Slot* slot;
    int depth;
    bool looked;  // whether a slot was looked for
    void set_busy(bool b) {
        if (slot) slot->busy.store(b, std::memory_order_relaxed);
    }
};
__attribute__((tls_model("initial-exec"))) thread_local SlotOwner t_owner = {nullptr, 0, false};

void free_slot(void* p) {
    auto* s = static_cast<Slot*>(p);
    s->busy.store(false, std::memory_order_relaxed);
    s->used.store(false, std::memory_order_release);
}

pthread_key_t slot_key() {
    static pthread_key_t key = [] {
        pthread_key_t k{};
        if (pthread_key_create(&k, free_slot) != 0) return pthread_key_t(-1);
        return k;
    }();
    return key;
}

// The calling thread's state, with a slot once one was free.
SlotOwner& owner() {
    SlotOwner& o = t_owner;
    if (!o.looked) {
        o.looked = true;
        // The C++ runtime's per-thread state (for exceptions) is made now,
        // while memory is likely at hand: made later, by a failed allocation's
        // exception, a failure to make it ends the process.
        [[maybe_unused]] static volatile int made;  // (the call is pure: its result is kept)
        made = std::uncaught_exceptions();
        const pthread_key_t key = slot_key();
        if (key != pthread_key_t(-1)) {
            for (Slot& s : g_slots) {
                bool free = false;
                if (s.used.compare_exchange_strong(free, true)) {
                    if (pthread_setspecific(key, &s) == 0) o.slot = &s;
                    else s.used.store(false, std::memory_order_release);
                    break;
                }
            }
        }
    }
    return o;
}

// In the child of a fork only the forking thread lives on: the other slots
// are freed, so that the child's exit does not wait for threads it lacks.
void free_other_slots_after_fork() {
    for (Slot& s : g_slots) {
        if (&s == t_owner.slot) continue;
        s.busy.store(false, std::memory_order_relaxed);
        s.used.store(false, std::memory_order_relaxed);
    }
}

std::atomic<bool> g_exiting{false};
std::atomic<unsigned long> g_exit_thread{0};

bool others_must_wait() {
    return g_exiting.load(std::memory_order_relaxed) &&
           g_exit_thread.load(std::memory_order_relaxed) != PyThread_get_thread_ident();
}

// Release the interpreter's lock and wait until the process ends.
[[noreturn]] void wait_for_process_end() {
    owner().set_busy(false);
    (void)PyEval_SaveThread();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// The calls of this module's functions by one thread, from the outermost on.
class CallScope {
public:
    CallScope() {
        SlotOwner& o = owner();
        if (o.depth == 0) {
            if (others_must_wait()) wait_for_process_end();
            o.set_busy(true);
        }
        ++o.depth;
    }
    ~CallScope() {
        SlotOwner& o = t_owner;
        if (--o.depth == 0) o.set_busy(false);
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

bool others_busy() {
    const Slot* own = t_owner.slot;
    for (const Slot& s : g_slots)
        if (&s != own && s.used.load(std::memory_order_acquire) && s.busy.load(std::memory_order_relaxed))
            return true;
    return false;
}

// The atexit function: calls of other threads that hold the lock get up to
// a second to finish or to reach native work.
PyObject* at_exit(PyObject*, PyObject*) {
    g_exit_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
    g_exiting.store(true, std::memory_order_relaxed);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (others_busy() && std::chrono::steady_clock::now() < until) {
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

PyMethodDef g_at_exit_def = {"_vordex_native_calls_at_exit", at_exit, METH_NOARGS, nullptr};

PyObject* fn_vectorcall_body(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

PyObject* fn_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    CallScope scope;
    try {
        // (binding the arguments allocates: its failures become MemoryError)
        return fn_vectorcall_body(callable, args, nargsf, kwnames);
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* fn_vectorcall_body(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FnObject*>(callable);
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t np_ = f->nparams;
    PyObject* small[8];
    std::vector<PyObject*> big;
    PyObject** bound = small;
    if (np_ > 8) {
        big.assign(static_cast<size_t>(np_), nullptr);
        bound = big.data();
    } else {
        for (Py_ssize_t i = 0; i < np_; ++i) small[i] = nullptr;
    }
    py::object varargs, varkw;
    if (f->varkw) {
        varkw = py::reinterpret_steal<py::object>(PyDict_New());
        if (!varkw) return nullptr;
    }
    for (Py_ssize_t i = 0; i < std::min(npos, np_); ++i) bound[i] = args[i];
    if (f->varargs) {
        PyObject* t = PyTuple_New(std::max<Py_ssize_t>(npos - np_, 0));
        if (!t) return nullptr;
        for (Py_ssize_t i = np_; i < npos; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(t, i - np_, args[i]);
        }
        varargs = py::reinterpret_steal<py::object>(t);
    }
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* val = args[npos + k];
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
                return nullptr;
            }
            Py_ssize_t idx = -1;
            for (Py_ssize_t i = 0; i < np_; ++i) {
                PyObject* pn = PyTuple_GET_ITEM(f->params, i);
                if (pn == key) { idx = i; break; }
            }
            if (idx < 0) {  // then by equality, as the interpreter compares names
                for (Py_ssize_t i = 0; i < np_; ++i) {
                    const int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->params, i), key, Py_EQ);
                    if (eq < 0) return nullptr;
                    if (eq) { idx = i; break; }
                }
            }
            if (idx < 0) {
                if (f->varkw) {
                    if (PyDict_SetItem(varkw.ptr(), key, val) < 0) return nullptr;
                    continue;
                }
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
                return nullptr;
            }
            if (bound[idx]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
                return nullptr;
            }
            bound[idx] = val;
        }
    }
    if (npos > np_ && !f->varargs) return report_too_many(f, npos);
    const Py_ssize_t ndef = PyTuple_GET_SIZE(f->defaults);
    const Py_ssize_t first_default = np_ - ndef;
    std::vector<Py_ssize_t> missing;
    for (Py_ssize_t i = 0; i < np_; ++i) {
        if (bound[i]) continue;
        if (i >= first_default) bound[i] = PyTuple_GET_ITEM(f->defaults, i - first_default);
        else missing.push_back(i);
    }
    if (!missing.empty()) return report_missing(f, missing);

    // Keep everything we hand to the implementation alive for the call even if
    // the defaults tuple is replaced meanwhile.
    py::object keep_defaults = py::reinterpret_borrow<py::object>(f->defaults);
    py::object keep_payload = py::reinterpret_borrow<py::object>(f->payload);
    py::object keep_globals = py::reinterpret_borrow<py::object>(f->globals);
    py::object keep_builtins = py::reinterpret_borrow<py::object>(f->builtins);
    Call call{bound, np_, varargs.ptr(), varkw.ptr(), f->payload, f->globals, callable, f->builtins};
    // A function that ends up calling itself (a module name rebound to
    // another of its functions) raises RecursionError as Python code does,
    // instead of exhausting the native stack.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* out = nullptr;
    try {
        out = f->impl(call).release().ptr();
    } catch (...) {
        translate_current_exception();
    }
    Py_LeaveRecursiveCall();
    return out;
}

}  // namespace

// --- public API -------------------------------------------------------------------

py::handle Call::global(const char* name) const { return py::handle(dict_item(globals, name)); }

py::object Call::global_required(const char* name) const {
    PyObject* v = dict_item(globals, name);
    if (!v) {
        v = dict_item(builtins, name);
        if (!v) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw py::error_already_set();
        }
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::object make_function(const FnDef& def, py::tuple defaults, py::handle globals, py::object payload) {
    PyTypeObject* type = fn_type();
    auto* f = PyObject_GC_New(FnObject, type);
    if (!f) throw py::error_already_set();
    // Zero every field before anything can fail so dealloc is safe.
    f->vectorcall = fn_vectorcall;
    f->impl = def.impl;
    f->nparams = static_cast<Py_ssize_t>(def.params.size());
    f->params = f->varargs = f->varkw = f->defaults = f->name = f->qualname = nullptr;
    f->module = f->doc = f->annotations = f->annotation_spec = f->globals = f->builtins = f->payload = f->dict =
        f->weakreflist = f->kwdefaults = f->closure = nullptr;
    f->fresh_defaults = def.fresh_defaults;
    f->no_defaults = defaults.size() == 0;
    py::object self = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));

    f->params = cached_params(def);
    if (def.varargs) f->varargs = interned(def.varargs);
    if (def.varkw) f->varkw = interned(def.varkw);
    if (static_cast<size_t>(defaults.size()) > def.params.size())
        throw std::logic_error("more defaults than parameters");
    f->defaults = defaults.release().ptr();
    f->name = interned(def.name);
    f->qualname = interned(def.qualname ? def.qualname : def.name);
    PyObject* modname = dict_item(globals.ptr(), "__name__");
    f->module = modname ? (Py_INCREF(modname), modname) : (Py_INCREF(Py_None), Py_None);
    f->doc = def.doc ? cached_text(def.doc) : (Py_INCREF(Py_None), Py_None);
    // The annotations dict is created on first access from a shared,
    // immutable description (most callables never have it looked at).
    f->annotations = nullptr;
    f->annotation_spec = cached_annotations(def);
    Py_INCREF(globals.ptr());
    f->globals = globals.ptr();
    // The builtins a function defined in `globals` would have: its
    // __builtins__ (a module's dict for a module), else the interpreter's.
    PyObject* b = dict_item(globals.ptr(), "__builtins__");
    if (b && PyModule_Check(b)) b = PyModule_GetDict(b);
    if (!b || !PyDict_Check(b)) b = PyEval_GetBuiltins();
    if (!b) throw py::error_already_set();
    Py_INCREF(b);
    f->builtins = b;
    f->payload = payload.release().ptr();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return self;
}

void add_function(py::module_& m, const FnDef& def, py::tuple defaults) {
    m.attr(def.name) = make_function(def, std::move(defaults), m.attr("__dict__"));
}

// --- conversions -------------------------------------------------------------------

void raise_arg_type(const char* param, const char* expected, py::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(got.ptr())->tp_name);
    throw py::error_already_set();
}

bool to_flag(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

double to_real(py::handle o) {
    double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

Py_ssize_t to_int(py::handle o, const char* param, bool floor) {
    PyObject* p = o.ptr();
    py::object as_int;
    if (PyLong_Check(p)) {
        as_int = py::reinterpret_borrow<py::object>(p);
    } else {
        PyNumberMethods* nb = Py_TYPE(p)->tp_as_number;
        if (!nb || (!nb->nb_int && !nb->nb_index && !nb->nb_float)) raise_arg_type(param, "int", o);
        PyObject* r = PyNumber_Long(p);
        if (!r) throw py::error_already_set();
        as_int = py::reinterpret_steal<py::object>(r);
    }
    Py_ssize_t v = PyLong_AsSsize_t(as_int.ptr());
    if (v == -1 && PyErr_Occurred()) {  // OverflowError
        if (floor && PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            py::object zero = own(PyLong_FromLong(0));
            const int negative = PyObject_RichCompareBool(as_int.ptr(), zero.ptr(), Py_LT);
            if (negative < 0) throw py::error_already_set();
            if (negative) return PY_SSIZE_T_MIN;
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
        }
        throw py::error_already_set();
    }
    return v;
}

void require_str_exact(py::handle o, const char* param) {
    if (!PyUnicode_CheckExact(o.ptr())) raise_arg_type(param, "str", o);
}

// The flags of np.asarray(obj, dtype=float): a base-class ndarray (a view of
// a subclass such as np.matrix), and any cast NumPy can make (long double,
// object and numeric-string arrays; complex with NumPy's ComplexWarning).
constexpr int kAsArray = py::detail::npy_api::NPY_ARRAY_FORCECAST_ | py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_;

py::array_t<double> as_double_array(py::handle obj) {
    // Same conversion as np.asarray(obj, dtype=float): no copy when obj is
    // already a float64 ndarray.
    auto& api = py::detail::npy_api::get();
    PyObject* descr = api.PyArray_DescrFromType_(py::detail::npy_api::NPY_DOUBLE_);
    PyObject* r = api.PyArray_FromAny_(obj.ptr(), descr, 0, 0, kAsArray, nullptr);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::array_t<double>>(r);
}

py::array_t<double, py::array::c_style | py::array::forcecast> as_contig(py::handle obj) {
    auto& api = py::detail::npy_api::get();
    PyObject* descr = api.PyArray_DescrFromType_(py::detail::npy_api::NPY_DOUBLE_);
    PyObject* r = api.PyArray_FromAny_(obj.ptr(), descr, 0, 0,
                                       kAsArray | py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ |
                                           py::detail::npy_api::NPY_ARRAY_ALIGNED_,
                                       nullptr);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::array_t<double, py::array::c_style | py::array::forcecast>>(r);
}

py::array_t<double, py::array::c_style | py::array::forcecast> real_numbers(py::handle objects) {
    auto& api = py::detail::npy_api::get();
    PyObject* descr = api.PyArray_DescrFromType_(py::detail::npy_api::NPY_OBJECT_);
    py::array a = py::reinterpret_steal<py::array>(api.PyArray_FromAny_(
        objects.ptr(), descr, 0, 0, kAsArray | py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_, nullptr));
    if (!a) throw py::error_already_set();
    py::array_t<double, py::array::c_style | py::array::forcecast> out(
        std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim()));
    PyObject* const* in = static_cast<PyObject* const*>(a.data());
    double* dst = out.mutable_data();
    const py::ssize_t n = out.size();
    // References to every item are taken before any is converted: an item's
    // __float__ may replace items or give the array (which may be the
    // caller's own) new memory.
    std::vector<py::object> items;
    items.reserve(static_cast<size_t>(n));
    for (py::ssize_t i = 0; i < n; ++i) items.push_back(py::reinterpret_borrow<py::object>(in[i]));
    for (py::ssize_t i = 0; i < n; ++i) {
        // float(item) for real numbers; None and complex numbers raise TypeError.
        const py::object& item = items[static_cast<size_t>(i)];
        dst[i] = PyFloat_AsDouble(item.ptr());
        if (dst[i] == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    }
    return out;
}

py::array_t<double> new_array(std::span<const double> v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(double));
    return a;
}

py::array_t<double> new_array(std::vector<double>&& v) { return new_array(std::span<const double>(v)); }

py::array_t<double> new_array_shaped(std::span<const double> v, const std::vector<Py_ssize_t>& shape) {
    std::vector<py::ssize_t> sh(shape.begin(), shape.end());
    py::array_t<double> a(sh);
    if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(double));
    return a;
}

namespace {
struct MappedBlock {
    void* p;
    size_t bytes;
};
}  // namespace

py::array_t<double> new_detached_array(const std::vector<py::ssize_t>& shape) {
    size_t count = 1;
    for (py::ssize_t d : shape) {
        const size_t u = static_cast<size_t>(d);
        if (d < 0 || (u != 0 && count > std::numeric_limits<size_t>::max() / sizeof(double) / u)) throw std::bad_alloc();
        count *= u;
    }
    const size_t bytes = count * sizeof(double);
    if (bytes < vordex::kBudgetedBuffer) return py::array_t<double>(shape);
    auto* block = new MappedBlock{nullptr, bytes};
    try {
        block->p = vordex::allocate_mapped(bytes);
    } catch (...) {
        delete block;
        throw;
    }
    PyObject* cap = PyCapsule_New(block, "vordex.mapped_result", [](PyObject* o) {
        auto* b = static_cast<MappedBlock*>(PyCapsule_GetPointer(o, "vordex.mapped_result"));
        vordex::release_mapped(b->p, b->bytes);
        delete b;
    });
    if (!cap) {
        vordex::release_mapped(block->p, bytes);
        delete block;
        throw py::error_already_set();
    }
    py::object base = py::reinterpret_steal<py::object>(cap);
    return py::array_t<double>(shape, static_cast<double*>(block->p), base);
}

PyObject* dict_item(PyObject* dict, const char* name) {
    PyObject* key = PyUnicode_FromString(name);
    if (!key) throw py::error_already_set();
    PyObject* v = PyDict_GetItemWithError(dict, key);
    Py_DECREF(key);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

void stay_until_process_end() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

nogil::nogil() {
    owner().set_busy(false);
    state_ = PyEval_SaveThread();
}

nogil::~nogil() {
    try {
        PyEval_RestoreThread(state_);
    } catch (...) {
        // The interpreter is finalising and ends this thread: wait here (the
        // unwinding must not be stopped, nor run on into C++ frames). The
        // unwinding is all a C function lets through, and it carries no
        // exception object for a typed handler's reference.
        stay_until_process_end();
    }
    // At exit another thread waits here instead of running on into Python code.
    if (others_must_wait()) wait_for_process_end();
    SlotOwner& o = owner();
    if (o.depth > 0) o.set_busy(true);
}

bool in_main_interpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    PyErr_SetString(PyExc_ImportError, "vordex's native modules can only be imported in the main interpreter");
    return false;
}

int prepare_module() {
    if (!in_main_interpreter()) return -1;
    try {
        (void)owner();
        // NumPy itself first, so that a NumPy that cannot be imported
        // reports the interpreter's own error for `import numpy`.
        (void)import_module("numpy");
        (void)py::detail::npy_api::get();
        static bool exit_function_registered = false;
        if (!exit_function_registered) {
            py::object fn = own(PyCFunction_New(&g_at_exit_def, nullptr));
            import_module("atexit").attr("register")(fn);
            pthread_atfork(nullptr, nullptr, free_other_slots_after_fork);
            exit_function_registered = true;
        }
    } catch (...) {
        translate_current_exception();
        return -1;
    }
    return 0;
}

py::object import_module(const char* name) {
    py::object key = own(PyUnicode_FromString(name));
    if (PyObject* mod = PyImport_GetModule(key.ptr())) {
        // None in sys.modules blocks the import: the import below reports it.
        if (mod != Py_None) return py::reinterpret_steal<py::object>(mod);
        Py_DECREF(mod);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    py::object top = own(PyImport_ImportModuleLevelObject(key.ptr(), nullptr, nullptr, nullptr, 0));
    if (PyObject* mod = PyImport_GetModule(key.ptr())) return py::reinterpret_steal<py::object>(mod);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "No module named '%s'", name);
    throw py::error_already_set();
}

namespace {
constexpr const char* kNoMemory = "Unable to allocate the memory this call needs.";
}  // namespace

// The unwinding that ends a thread carries no exception object: the
// reference its handler binds is null (and unused), which the undefined
// behaviour sanitizer would report.
__attribute__((no_sanitize("null"))) void translate_current_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        // The interpreter, finalising, ends this thread (a daemon thread
        // that took the lock back inside Python code this call ran): the
        // unwinding must go on to the thread's start; stopping it aborts
        // the process.
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const vordex::LinAlgError& e) {
        try {
            py::object type = import_module("numpy.linalg").attr("LinAlgError");
            PyErr_SetString(type.ptr(), e.what());
        } catch (py::error_already_set& failed) {
            failed.restore();  // the import's error stands
        }
    } catch (const vordex::ValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const vordex::IndexError& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const vordex::OverflowError& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::bad_alloc&) {
        // (should making the message fail too, the interpreter's own
        // MemoryError is raised instead)
        PyErr_SetString(PyExc_MemoryError, kNoMemory);
    } catch (const std::length_error&) {
        PyErr_SetString(PyExc_MemoryError, kNoMemory);
    } catch (const std::exception& e) {
        // A wrapper that could not make a Python object (pybind11's "Could
        // not allocate ... object!") leaves the interpreter's MemoryError set:
        // that error stands.
        if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return;
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return;
        PyErr_SetString(PyExc_RuntimeError, "unknown error in native code");
    }
}

}  // namespace vx
