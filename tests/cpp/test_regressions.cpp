// Inputs found by the fuzz targets (fuzz/) that once misbehaved.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "vordex/core/interp.hpp"
#include "vordex/core/minimize.hpp"

namespace {

// fuzz_minimize: the midpoint (a + b) / 2 of a bracket near the top of the
// double range overflowed to inf, a point outside [a, b].
TEST(Regressions, GoldenSectionMidpointOfAHugeBracket) {
    const double big = std::numeric_limits<double>::max();
    int calls = 0;
    auto flat = [&](double) {
        ++calls;
        return 0.0;
    };
    const double r = vordex::golden_section(flat, 4.0, big, 1e-6);
    EXPECT_TRUE(std::isfinite(r));
    EXPECT_GE(r, 4.0);
    EXPECT_LE(r, big);
    const double r2 = vordex::golden_section(flat, 0.75 * big, big, 1e-6);
    EXPECT_TRUE(std::isfinite(r2));
    EXPECT_GE(r2, 0.75 * big);
    // Ordinary brackets keep the plain midpoint, bit for bit.
    const double r3 = vordex::golden_section([](double x) { return (x - 0.3) * (x - 0.3); }, 0.0, 1.0, 1e-6);
    EXPECT_EQ(r3, 0.3000003273408487);
}

// fuzz_interp: the linear interpolant does not check its knots. Unsorted
// knots with huge, tiny and repeated values give meaningless numbers but
// every evaluation, single or batched, stays inside the knot arrays.
TEST(Regressions, LinearInterpolantOnUnsortedKnots) {
    const std::vector<double> x{-4, -3.995, 3.4e-312, 0, 0, -4.3e12, -8.7e209, 1e-160, 8e283, -0.0, -4, 2.48};
    std::vector<double> y(x.size());
    for (std::size_t i = 0; i < y.size(); ++i) y[i] = 0.1 * static_cast<double>(i) - 0.5;
    const vordex::Interpolant f = vordex::Interpolant::linear(x, y);
    const std::vector<double> pts{-1e300, -5, -4, -1, 0, 1e-300, 2.48, 3, 1e284, NAN, INFINITY, -INFINITY};
    const vordex::uvector batch = f.eval(pts);
    ASSERT_EQ(batch.size(), pts.size());
    for (double v : pts) (void)f(v);
    EXPECT_TRUE(std::isnan(batch[9]));  // NaN in, NaN out
}

}  // namespace
