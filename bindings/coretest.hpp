#pragma once
#include <pybind11/pybind11.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/functional.h>

namespace vx::coretest {
namespace py = pybind11;
void register_numeric(py::module_& m);   // coretest_numeric.cpp
void register_minimize(py::module_& m);  // coretest_minimize.cpp
}  // namespace vx::coretest
