// densitykit: the interval minimiser _minimize_on_interval.
#include <cmath>

#include "densitykit_impl.hpp"
#include "scalar_callback.hpp"
#include "vordex/core/minimize.hpp"

namespace vx {

py::object impl_minimize_on_interval(const Call& c) {
    py::handle f = c[0];
    const double a = to_real(c[1]);
    const double b = to_real(c[2]);
    const double tol = to_real(c[3]);
    // A NaN tolerance would end either search at once with a meaningless
    // point; refuse it on both paths.
    if (std::isnan(tol)) throw vordex::ValueError(vordex::kToleranceNaN);

    // The flag is read at each call, so a caller may switch paths at run time.
    if (scipy_ok(c)) {
        py::object minimize_scalar = c.global_required("minimize_scalar");
        py::dict options;
        options["xatol"] = py::float_(tol);
        py::tuple args = py::make_tuple(py::reinterpret_borrow<py::object>(f));
        py::dict kwargs;
        kwargs["bounds"] = py::make_tuple(py::float_(a), py::float_(b));
        kwargs["method"] = py::str("bounded");
        kwargs["options"] = options;
        py::object res = own(call_python(minimize_scalar.ptr(), args.ptr(), kwargs.ptr()));
        py::object x = res.attr("x");
        PyObject* as_float = PyNumber_Float(x.ptr());
        if (!as_float) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(as_float);
    }
    return py::float_(vordex::golden_section(ScalarCallback{f.ptr()}, a, b, tol));
}

}  // namespace vx
