// Cleaning: marginal_fix on arbitrary grids. It either throws one of the
// core's errors or returns a cleaned marginal: at least 3 points, x in
// ascending order with NaN positions last, every density a positive finite
// number above kEps times the largest one.
#include <cmath>
#include <new>

#include "fuzz_input.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/marginal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzin::Input in(data, size);
    const std::size_t n = in.u16() % 3000;
    std::vector<double> x = in.grid(n);
    std::vector<double> y = in.values(n);
    // Mostly equal lengths; sometimes the mismatch the core must refuse.
    if (!in.flag() && y.size() != x.size()) y.resize(x.size(), 1.0);
    try {
        const vordex::XY m = vordex::marginal_fix(x, y);
        FUZZ_CHECK(m.x.size() == m.y.size());
        FUZZ_CHECK(m.x.size() >= 3);
        double ymax = 0.0;
        for (double v : m.y) ymax = v > ymax ? v : ymax;
        for (std::size_t i = 0; i < m.y.size(); ++i) {
            FUZZ_CHECK(m.y[i] > 0.0 && std::isfinite(m.y[i]));
            FUZZ_CHECK(m.y[i] / ymax > vordex::kEps);
            if (i > 0 && !std::isnan(m.x[i])) FUZZ_CHECK(!std::isnan(m.x[i - 1]) && m.x[i - 1] <= m.x[i]);
        }
    } catch (const vordex::ValueError&) {
    } catch (const vordex::IndexError&) {
        FUZZ_CHECK(x.size() != y.size());
    }
    return 0;
}
