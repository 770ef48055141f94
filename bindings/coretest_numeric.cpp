// Core numerics exposed for comparison with NumPy and SciPy.
#include <span>

#include "common.hpp"
#include "coretest.hpp"
#include "vordex/core/density.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/interp.hpp"
#include "vordex/core/marginal.hpp"
#include "vordex/core/numeric.hpp"

namespace vx::coretest {

namespace {
using Arr = py::array_t<double, py::array::c_style | py::array::forcecast>;
std::span<const double> sp(const Arr& a) { return {a.data(), static_cast<size_t>(a.size())}; }

// The core's errors as the toolkit raises them (ValueError, IndexError,
// numpy.linalg.LinAlgError); anything else goes to pybind11's translation.
template <class F>
auto translate(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const vordex::ValueError&) {
        translate_current_exception();
        throw py::error_already_set();
    } catch (const vordex::IndexError&) {
        translate_current_exception();
        throw py::error_already_set();
    }
}

Arr interp_eval(const std::string& kind, Arr x, Arr y, Arr at, bool extrapolate) {
    return translate([&] {
        vordex::Interpolant I;
        if (kind == "pchip") I = vordex::Interpolant::pchip(sp(x), sp(y), extrapolate);
        else if (kind == "cubic") I = vordex::Interpolant::cubic(sp(x), sp(y), extrapolate);
        else if (kind == "linear") I = vordex::Interpolant::linear(sp(x), sp(y));
        else if (kind == "pchip_deferred") I = vordex::Interpolant::pchip_deferred(sp(x), sp(y));
        else if (kind == "cubic_slopes_only") I = vordex::Interpolant::cubic_slopes_only(sp(x), sp(y));
        else throw py::value_error("unknown kind");
        const vordex::uvector out = I.eval(sp(at));
        return Arr(static_cast<py::ssize_t>(out.size()), out.data());
    });
}

// The knot slopes of a cubic kind (as SciPy's interpolants hold them in
// c[2], plus the last knot's).
Arr interp_slopes(const std::string& kind, Arr x, Arr y) {
    return translate([&] {
        vordex::Interpolant I;
        if (kind == "pchip") I = vordex::Interpolant::pchip(sp(x), sp(y));
        else if (kind == "cubic") I = vordex::Interpolant::cubic(sp(x), sp(y));
        else if (kind == "cubic_slopes_only") I = vordex::Interpolant::cubic_slopes_only(sp(x), sp(y));
        else throw py::value_error("unknown kind");
        const vordex::uvector& d = I.slopes();
        return Arr(static_cast<py::ssize_t>(d.size()), d.data());
    });
}
}  // namespace

void register_numeric(py::module_& m) {
    m.def("interp", &interp_eval, py::arg("kind"), py::arg("x"), py::arg("y"), py::arg("at"),
          py::arg("extrapolate") = false);
    m.def("slopes", &interp_slopes, py::arg("kind"), py::arg("x"), py::arg("y"));
    m.def("numpy_sum", [](Arr a) { return vordex::numpy_sum(a.data(), static_cast<size_t>(a.size())); });
    m.def("numpy_mean", [](Arr a) { return vordex::numpy_mean(a.data(), static_cast<size_t>(a.size())); });
    m.def("linspace", [](double a, double b, size_t n) {
        const vordex::uvector v = vordex::linspace(a, b, n);
        return Arr(static_cast<py::ssize_t>(v.size()), v.data());
    });
}

}  // namespace vx::coretest
