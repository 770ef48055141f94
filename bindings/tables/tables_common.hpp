// Shared building blocks of the model-definition table modules (gamma,
// autoreg, kgauss, walk2): owned-reference helpers, module-global lookup,
// dict/list/set builders and the logarithm transform pair.
//
// Everything here is header-only so that each table module stays a single
// translation unit.
#pragma once

#include "common.hpp"

#include <initializer_list>

// Entry point of a table module (see VX_MODULE).
#define VX_TABLE_MODULE(name, variable) VX_MODULE(name, variable)

namespace vx::tables {

inline void check(int rc) {
    if (rc < 0) throw py::error_already_set();
}

inline py::object new_int(long v) { return own(PyLong_FromLong(v)); }
inline py::object new_float(double v) { return own(PyFloat_FromDouble(v)); }
inline py::object new_str(const char* s) { return own(PyUnicode_FromString(s)); }
inline py::object new_dict() { return own(PyDict_New()); }
// A new empty dict with room for `n` entries (as a dict display builds it).
inline py::object new_dict(Py_ssize_t n) { return own(_PyDict_NewPresized(n)); }
// An interned str, for dict keys and constants shared across a table.
inline py::object interned(const char* s) { return own(PyUnicode_InternFromString(s)); }
inline py::object new_bool(bool b) { return py::reinterpret_borrow<py::object>(b ? Py_True : Py_False); }
inline py::object none() { return py::reinterpret_borrow<py::object>(Py_None); }

// Insert `key` -> `value` (insertion order is kept by dict).
inline void put(py::handle dict, const char* key, py::handle value) {
    check(PyDict_SetItemString(dict.ptr(), key, value.ptr()));
}
inline void put(py::handle dict, py::handle key, py::handle value) {
    check(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
}

// A new list holding the given objects (references are added, not copied).
inline py::object new_list(std::initializer_list<py::handle> items) {
    py::object l = own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (py::handle h : items) {
        Py_INCREF(h.ptr());
        PyList_SET_ITEM(l.ptr(), i++, h.ptr());
    }
    return l;
}

// A new set filled by adding the strings one by one, in the order given.
inline py::object new_str_set(std::initializer_list<const char*> items) {
    py::object s = own(PySet_New(nullptr));
    for (const char* item : items) check(PySet_Add(s.ptr(), new_str(item).ptr()));
    return s;
}

// Look a name up the way a module body does at run time: the module's
// globals first, then the builtins of those globals (their __builtins__, a
// module or a dict, as the import system sets it; the interpreter's when it
// is missing); NameError when neither has it.
inline py::object lookup(py::handle globals, const char* name) {
    PyObject* v = dict_item(globals.ptr(), name);  // borrowed
    if (!v) {
        PyObject* builtins = dict_item(globals.ptr(), "__builtins__");
        if (builtins && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
        if (!builtins || !PyDict_Check(builtins)) builtins = PyEval_GetBuiltins();
        v = builtins ? dict_item(builtins, name) : nullptr;
        if (!v) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw py::error_already_set();
        }
    }
    return py::reinterpret_borrow<py::object>(v);
}

// Bind a module attribute (module bodies assign into their globals).
inline void bind(py::handle globals, const char* name, py::handle value) { put(globals, name, value); }

// Merge `src` into the dict `dst` with dict-update semantics: present keys
// keep their position and take the new value, new keys are appended in the
// order `src` yields them. A result that is not a mapping is reported the
// way keyword unpacking reports it.
inline void merge_into(py::handle dst, py::handle src) {
    if (src.is_none()) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        throw py::error_already_set();
    }
    if (PyDict_Update(dst.ptr(), src.ptr()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping", Py_TYPE(src.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
}

// ---------------------------------------------------------------------------
// Transforms. Each is a one-parameter callable of `x` that looks `np` up in
// its module's globals at every call.
// ---------------------------------------------------------------------------

// to_theta: np.log(x)
inline py::object impl_np_log(const Call& c) {
    py::object np = c.global_required("np");
    py::object log = np.attr("log");
    return own(call_python1(log.ptr(), c.args[0]));
}

// from_theta: np.exp(x)
inline py::object impl_np_exp(const Call& c) {
    py::object np = c.global_required("np");
    py::object exp = np.attr("exp");
    return own(call_python1(exp.ptr(), c.args[0]));
}

// Definition of a transform callable: one parameter `x`, named like the
// anonymous function a module body would create for it.
inline FnDef transform_def(Impl impl, const char* qualname = "<lambda>") {
    return FnDef{"<lambda>", qualname, nullptr, {"x"}, nullptr, nullptr, {}, impl};
}

inline const FnDef kLogDef = transform_def(impl_np_log);
inline const FnDef kExpDef = transform_def(impl_np_exp);

inline py::object make_transform(const FnDef& def, py::handle globals) {
    return make_function(def, py::tuple(), globals);
}

// Insert the logarithm pair ("to_theta": np.log, "from_theta": np.exp),
// each a new callable.
inline void put_log_transforms(py::handle block, py::handle globals) {
    put(block, "to_theta", make_transform(kLogDef, globals));
    put(block, "from_theta", make_transform(kExpDef, globals));
}

// Import NumPy as the module body's `import numpy as np` does.
// Keys 3 to 14 of a latent record, in their order, then MODELS = {key: rec}
// bound in the module: "min_diff" only where given, "allowed_keys" and
// "denied_common_keys" read back from the module's globals.
struct LatentSettings {
    bool constr = false;
    bool augmented = false;
    py::object aug_constr = none();
    py::object n_div_by = none();
    bool n_required = false;
    bool set_default_values = false;
    const double* min_diff = nullptr;
};

inline void finish_latent_record(py::handle g, const char* key, py::handle rec, const LatentSettings& s) {
    put(rec, "constr", new_bool(s.constr));
    put(rec, "nrow_ncol", new_bool(false));
    put(rec, "augmented", new_bool(s.augmented));
    put(rec, "aug_factor", new_int(1));
    put(rec, "aug_constr", s.aug_constr);
    put(rec, "n_div_by", s.n_div_by);
    put(rec, "n_required", new_bool(s.n_required));
    put(rec, "set_default_values", new_bool(s.set_default_values));
    if (s.min_diff) put(rec, "min_diff", new_float(*s.min_diff));
    put(rec, "pdf", new_str(key));
    put(rec, "allowed_keys", lookup(g, "ALLOWED_KEYS"));
    put(rec, "denied_common_keys", lookup(g, "DENIED_COMMON_KEYS"));
    py::object models = new_dict();
    put(models, key, rec);
    bind(g, "MODELS", models);
}

inline py::object import_numpy() { return own(PyImport_ImportModule("numpy")); }

// The module's __dict__ (borrowed through the module object).
inline py::handle globals_of(py::module_& m) { return py::handle(PyModule_GetDict(m.ptr())); }

}  // namespace vx::tables
