// A Python callable seen as a C++ function double -> double, for the native
// minimisers: each call passes one Python float and converts the result as
// float() does (a non-number raises TypeError). Errors raised by the callable
// or by the conversion propagate as py::error_already_set.
#pragma once

#include "common.hpp"

namespace vx {

struct ScalarCallback {
    PyObject* fn;  // borrowed; the caller keeps it alive for the search

    double operator()(double x) const {
        PyObject* arg = PyFloat_FromDouble(x);
        if (!arg) throw py::error_already_set();
        PyObject* r = call_python1(fn, arg);
        Py_DECREF(arg);
        if (!r) throw py::error_already_set();
        const double v = PyFloat_AsDouble(r);
        Py_DECREF(r);
        if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        return v;
    }
};

}  // namespace vx
