// Shared pieces of the vordex extension modules: the callable type used for
// every function the modules publish or hand back, argument conversion with
// the toolkit's messages, and array conversion helpers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>
#include <pybind11/numpy.h>

#include <span>
#include <string>
#include <utility>
#include <cxxabi.h>
#include <vector>

namespace vx {

namespace py = pybind11;

// Run first when a module is executed: refuses an interpreter other than the
// main one (NumPy and the shared native state support only that one) with
// ImportError, and loads NumPy's C API, so that no call has to import
// anything later. 0 on success, -1 with an exception set.
int prepare_module();
// True in the main interpreter; otherwise false with ImportError set.
bool in_main_interpreter();

// The module `name` (dotted) from sys.modules, imported there first when it
// is missing, without going through the caller's __import__.
py::object import_module(const char* name);

// Releases the interpreter's lock for its scope, like py::gil_scoped_release,
// except at interpreter exit: there the interpreter ends a thread that takes
// the lock back by unwinding its stack, which aborts the process when it
// meets C++ frames; a thread other than the exiting one that comes back from
// native work once the interpreter exits waits instead until the process ends.
class nogil {
public:
    nogil();
    ~nogil();
    nogil(const nogil&) = delete;
    nogil& operator=(const nogil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace vx

// Entry point of an extension module whose body is the function that follows.
// The module is initialised in two phases: like a Python module's body, the
// body runs on each import that creates the module (the first, or one after
// the module was removed from sys.modules), each time on a new module object
// whose dict its functions read; reload() leaves a module as it is. An
// exception raised by the body fails the import with that very exception.
// Only the main interpreter can import the module (see prepare_module).
#define VX_MODULE(name, variable)                                                                        \
    static void PYBIND11_CONCAT(vx_body_, name)(::pybind11::module_&);                                   \
    static int PYBIND11_CONCAT(vx_exec_, name)(PyObject * module) {                                      \
        if (::vx::prepare_module() < 0) return -1;                                                        \
        try {                                                                                             \
            auto m = ::pybind11::reinterpret_borrow<::pybind11::module_>(module);                         \
            PYBIND11_CONCAT(vx_body_, name)(m);                                                          \
            return 0;                                                                                     \
        } catch (...) {                                                                                   \
            ::vx::translate_current_exception();                                                          \
            return -1;                                                                                    \
        }                                                                                                 \
    }                                                                                                     \
    static PyModuleDef_Slot PYBIND11_CONCAT(vx_slots_, name)[] = {                                       \
        {Py_mod_exec, reinterpret_cast<void*>(PYBIND11_CONCAT(vx_exec_, name))}, {0, nullptr}};           \
    static PyModuleDef PYBIND11_CONCAT(vx_def_, name) = {                                                \
        PyModuleDef_HEAD_INIT, PYBIND11_TOSTRING(name), nullptr, 0, nullptr,                             \
        PYBIND11_CONCAT(vx_slots_, name), nullptr, nullptr, nullptr};                                     \
    extern "C" PYBIND11_EXPORT PyObject* PYBIND11_CONCAT(PyInit_, name)();                               \
    extern "C" PYBIND11_EXPORT PyObject* PYBIND11_CONCAT(PyInit_, name)() {                              \
        PYBIND11_CHECK_PYTHON_VERSION                                                                     \
        if (!::vx::in_main_interpreter()) return nullptr;                                                 \
        PYBIND11_ENSURE_INTERNALS_READY                                                                   \
        return PyModuleDef_Init(&PYBIND11_CONCAT(vx_def_, name));                                         \
    }                                                                                                     \
    void PYBIND11_CONCAT(vx_body_, name)(::pybind11::module_ & (variable))

namespace vx {

// Take ownership of a new reference, raising the pending Python error when
// the C API call failed.
inline py::object own(PyObject* o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

// dict[name] as a borrowed reference, or nullptr when the dict lacks it. An
// error of the lookup itself (no memory for the key, a key's __eq__ that
// raises) is raised, not taken for a missing name.
PyObject* dict_item(PyObject* dict, const char* name);

// Waits until the process ends (never returns), without the interpreter's lock.
[[noreturn]] void stay_until_process_end();

// Runs a call of Python code that may take long (the user's functions,
// NumPy's and SciPy's) from within a call of this module's functions. While
// the interpreter finalises it ends a daemon thread that takes its lock back
// there, by unwinding the thread's stack: the thread then waits here until
// the process ends, before any frame of this module is unwound (which would
// release Python objects without the lock).
// (A C function lets no C++ exception through: what arrives here is that
// unwinding, which carries no exception object to bind a handler's
// reference to, so it is caught by the ellipsis.)
template <class F>
[[gnu::always_inline]] inline PyObject* guarded(F&& f) {
    try {
        return f();
    } catch (...) {
        stay_until_process_end();
    }
}
inline PyObject* call_python(PyObject* fn, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return PyObject_Call(fn, args, kwargs); });
}
inline PyObject* call_python1(PyObject* fn, PyObject* arg) {
    return guarded([&] { return PyObject_CallOneArg(fn, arg); });
}

// ---------------------------------------------------------------------------
// Callable type
// ---------------------------------------------------------------------------

// What an implementation receives: the bound parameters (never null; a
// missing optional parameter is filled from the defaults), the extra
// positional arguments (a tuple, only for functions with *args), the extra
// keyword arguments (a dict, only for functions with **kwargs), the
// captured payload and the module's globals.
struct Call {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* varargs;   // new tuple or nullptr
    PyObject* varkw;     // new dict or nullptr
    PyObject* payload;   // borrowed, Py_None when nothing is captured
    PyObject* globals;   // borrowed module __dict__
    PyObject* self;      // the callable itself
    PyObject* builtins;  // borrowed: the builtins the callable was created with
    py::handle operator[](Py_ssize_t i) const { return py::handle(args[i]); }
    // Look a name up in the module's globals at call time (borrowed or null).
    py::handle global(const char* name) const;
    // Same, then the callable's builtins, raising NameError when neither has it.
    py::object global_required(const char* name) const;
};

using Impl = py::object (*)(const Call&);

struct FnDef {
    const char* name;
    const char* qualname;  // nullptr: same as name
    const char* doc;       // nullptr: no docstring
    std::vector<const char*> params;       // positional-or-keyword parameters
    const char* varargs = nullptr;         // name of *args, or nullptr
    const char* varkw = nullptr;           // name of **kwargs, or nullptr
    // Annotations as strings, in order; the return annotation under "return".
    std::vector<std::pair<const char*, const char*>> annotations;
    Impl impl = nullptr;
    // __defaults__ shows a new tuple of new floats on each request.
    bool fresh_defaults = false;
};

// Create a callable. `defaults` covers the last parameters (may be empty);
// `globals` is the module dict used for call-time lookups and __module__.
py::object make_function(const FnDef& def, py::tuple defaults, py::handle globals,
                         py::object payload = py::none());

// Create and add to the module under def.name.
void add_function(py::module_& m, const FnDef& def, py::tuple defaults = py::tuple());

// Payload access for implementations.
template <class T>
T& payload_as(const Call& c) {
    return *static_cast<T*>(PyCapsule_GetPointer(c.payload, nullptr));
}
// Wrap an owned C++ value in a capsule, destroyed with the capsule.
template <class T>
py::object make_payload(T* value) {
    PyObject* cap = PyCapsule_New(value, nullptr, [](PyObject* o) {
        delete static_cast<T*>(PyCapsule_GetPointer(o, nullptr));
    });
    if (!cap) {
        delete value;
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(cap);
}

// ---------------------------------------------------------------------------
// Argument conversion
// ---------------------------------------------------------------------------

// TypeError "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
[[noreturn]] void raise_arg_type(const char* param, const char* expected, py::handle got);

bool to_flag(py::handle o);                         // truth value
double to_real(py::handle o);                       // number protocol (float())
// int, or int() of a number; OverflowError beyond the range of Py_ssize_t,
// except that with `floor` an int below it is taken as PY_SSIZE_T_MIN (for
// counts where every value not above 0 means the same).
Py_ssize_t to_int(py::handle o, const char* param, bool floor = false);
void require_str_exact(py::handle o, const char* param);  // exactly str (any text, surrogates included)

// ---------------------------------------------------------------------------
// Arrays
// ---------------------------------------------------------------------------

// np.asarray(obj, dtype=float) without copying when none is needed.
py::array_t<double> as_double_array(py::handle obj);
// A contiguous float64 view (copying only when the input is not contiguous).
py::array_t<double, py::array::c_style | py::array::forcecast> as_contig(py::handle obj);
// The real numbers of an object array as float64 of the same shape (each item
// converted by float(); None, complex numbers and other objects: TypeError).
py::array_t<double, py::array::c_style | py::array::forcecast> real_numbers(py::handle objects);

py::array_t<double> new_array(std::span<const double> v);
py::array_t<double> new_array(std::vector<double>&& v);
py::array_t<double> new_array_shaped(std::span<const double> v, const std::vector<Py_ssize_t>& shape);
// A new C-contiguous float64 array of this shape, uninitialised, for a call's
// result: from 1 MiB on outside the C library's heap (mapped on its own and
// freed with the array), so that freeing it does not trim the heap memory
// below it, which the next call would fault in again. Such an array's base
// is the capsule that owns its memory.
py::array_t<double> new_detached_array(const std::vector<py::ssize_t>& shape);

// Raise the matching Python exception for a C++ exception in flight. The
// forced unwinding that ends a thread at interpreter exit is passed on.
void translate_current_exception();

}  // namespace vx
