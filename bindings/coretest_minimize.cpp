// Test support: the native interval minimisers driven by Python callables.
#include "coretest.hpp"

#include "scalar_callback.hpp"
#include "vordex/core/minimize.hpp"

namespace vx::coretest {

namespace {

// Run `body`, turning core errors into the matching Python exceptions.
template <class Body>
auto translated(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (py::error_already_set&) {
        throw;
    } catch (...) {
        vx::translate_current_exception();
        throw py::error_already_set();
    }
}

}  // namespace

void register_minimize(py::module_& m) {
    m.def(
        "brent_bounded",
        [](py::object f, double a, double b, double xatol, int maxiter) {
            return translated([&] { return vordex::brent_bounded(ScalarCallback{f.ptr()}, a, b, xatol, maxiter); });
        },
        py::arg("f"), py::arg("a"), py::arg("b"), py::arg("xatol") = 1e-5, py::arg("maxiter") = 500,
        "Bounded Brent search of f on [a, b]; returns the abscissa.");
    m.def(
        "brent_bounded_result",
        [](py::object f, double a, double b, double xatol, int maxiter) {
            return translated([&] {
                const vordex::BrentResult r =
                    vordex::brent_bounded_result(ScalarCallback{f.ptr()}, a, b, xatol, maxiter);
                return py::make_tuple(r.x, r.fun, r.nfev, r.status);
            });
        },
        py::arg("f"), py::arg("a"), py::arg("b"), py::arg("xatol") = 1e-5, py::arg("maxiter") = 500,
        "Bounded Brent search of f on [a, b]; returns (x, fun, nfev, status).");
    m.def(
        "golden_section",
        [](py::object f, double a, double b, double tol) {
            return translated([&] { return vordex::golden_section(ScalarCallback{f.ptr()}, a, b, tol); });
        },
        py::arg("f"), py::arg("a"), py::arg("b"), py::arg("tol"),
        "Golden-section search of f on [a, b]; returns the midpoint of the final bracket.");
}

}  // namespace vx::coretest
