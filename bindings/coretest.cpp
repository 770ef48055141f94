// vordex._coretest: test-support module. It exposes core routines one by one
// so the Python tests can compare them with NumPy and SciPy.
#include "coretest.hpp"
#include "common.hpp"

VX_MODULE(_coretest, m) {
    m.doc() = "Core routines exposed for testing; not part of the public API.";
    vx::coretest::register_numeric(m);
    vx::coretest::register_minimize(m);
}
