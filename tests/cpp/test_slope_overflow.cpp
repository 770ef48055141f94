// Knot slopes that overflow (inf or NaN) on knots of extreme scale: every
// spline refuses them with ValueError("`dydx` must contain only finite
// values."), after the knots' own checks, whichever path worked the slopes
// out: the not-a-knot solve for 2, 3 and more knots, its chains, lanes and
// blocks, the solve with row interchanges, the full PCHIP build, the deferred
// one (which works its slopes out only where they could overflow) and the
// values of a PCHIP at its own knots.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/interp.hpp"

namespace {

using vordex::Interpolant;
using Vec = std::vector<double>;

const std::string kDydx = "`dydx` must contain only finite values.";

using vordex_test::message_of;

bool any_nonfinite(const Vec& v) {
    for (double e : v)
        if (!std::isfinite(e)) return true;
    return false;
}

bool same_bits(double a, double b) { return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0; }

// Uneven knots and a smooth curve through them.
void smooth_knots(std::size_t n, Vec& x, Vec& y) {
    x.resize(n);
    y.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = static_cast<double>(i) + 0.3 * std::sin(1.7 * static_cast<double>(i));
        y[i] = std::sin(0.1 * static_cast<double>(i)) + 0.01 * static_cast<double>(i);
    }
}

// The lanes of 8 (or 16) rows each, as long as the system allows.
std::size_t longest_lane(std::size_t n, std::size_t lanes) { return (n - 6) / lanes; }

TEST(SlopeOverflow, NotAKnotSplineOnEverySolvePath) {
    // 2 and 3 knots have their own formulas; 4 and 12 the step-by-step
    // solve; 170 side-by-side chains; 500 eight lanes; 3,000 sixteen lanes;
    // 120,000 (slopes only) blocks of lanes fed from the knots.
    for (std::size_t n : {2u, 3u, 4u, 12u, 170u, 500u, 3000u, 120000u}) {
        Vec x, y;
        smooth_knots(n, x, y);
        const bool lean_only = n > 100000;  // the blocks serve slopes-only splines
        std::vector<double> reference;
        if (!lean_only) {
            reference = vordex::notaknot_slopes(x, y);
            EXPECT_FALSE(any_nonfinite(reference)) << n;
            EXPECT_EQ(Interpolant::cubic(x, y).slopes().size(), n);
        }
        EXPECT_EQ(message_of([&] { Interpolant::cubic_slopes_only(x, y); }), "") << n;
        int blocks_solved = 0;
        // One step of y overflows (1e308 to -1e308) at the start, in the
        // middle and at the end: its secant is -inf, and the slopes of the
        // solve inf or NaN.
        for (std::size_t at : {std::size_t{0}, n / 2, n - 2}) {
            if (at + 1 >= n) continue;
            Vec yb = y;
            yb[at] = 1e308;
            yb[at + 1] = -1e308;
            if (!lean_only) {
                EXPECT_EQ(message_of([&] { Interpolant::cubic(x, yb); }), kDydx) << n << " at " << at;
                EXPECT_EQ(message_of([&] { vordex::notaknot_slopes(x, yb); }), kDydx) << n << " at " << at;
            }
            EXPECT_EQ(message_of([&] { Interpolant::cubic_slopes_only(x, yb); }), kDydx) << n << " at " << at;
            // The lanes solve these systems (nothing pivots: only the right
            // side overflows) and their slopes carry the overflow. The blocks
            // may also refuse (a block's guessed start need not meet the NaN
            // after it), leaving the system to the lanes.
            Vec lanes;
            if (lean_only) {
                if (vordex::detail::notaknot_slopes_lanes(x, yb, 16, 0, lanes, true, 2000)) {
                    ++blocks_solved;
                    EXPECT_TRUE(any_nonfinite(lanes)) << n << " at " << at;
                }
            } else if (n >= 500) {
                const std::size_t K = n >= 3000 ? 16 : 8;
                EXPECT_TRUE(vordex::detail::notaknot_slopes_lanes(x, yb, K, longest_lane(n, K), lanes)) << n;
                EXPECT_TRUE(any_nonfinite(lanes)) << n << " at " << at;
            }
        }
        if (lean_only) {
            EXPECT_GT(blocks_solved, 0);
            continue;
        }
        // The same knots stretched far: the end rows' products of two
        // spacings overflow from 4 knots on.
        Vec xs = x;
        for (double& v : xs) v *= 1e200;
        const std::string got = message_of([&] { Interpolant::cubic(xs, y); });
        EXPECT_EQ(got, message_of([&] { vordex::notaknot_slopes(xs, y); })) << n;
        if (n >= 4) {
            EXPECT_EQ(got, kDydx) << n;
        }
    }
}

TEST(SlopeOverflow, NotAKnotSplineWithRowInterchanges) {
    // One spacing far wider than its neighbours makes the elimination swap
    // rows: the step-by-step solve (12 knots) and the lanes (500 knots) take
    // it with interchanges and check every slope.
    for (std::size_t n : {12u, 500u}) {
        Vec x, y;
        smooth_knots(n, x, y);
        for (std::size_t i = n / 3; i < n; ++i) x[i] += 1000.0;
        if (n >= 500) {
            Vec lanes;
            EXPECT_TRUE(vordex::detail::notaknot_slopes_lanes(x, y, 8, longest_lane(n, 8), lanes));
            EXPECT_EQ(lanes, vordex::notaknot_slopes(x, y));
        }
        EXPECT_EQ(message_of([&] { Interpolant::cubic(x, y); }), "");
        EXPECT_EQ(Interpolant::cubic(x, y).slopes().size(), n);
        for (std::size_t at : {std::size_t{1}, n / 3 - 1, n - 2}) {
            Vec yb = y;
            yb[at] = 1e308;
            yb[at + 1] = -1e308;
            EXPECT_EQ(message_of([&] { Interpolant::cubic(x, yb); }), kDydx) << n << " at " << at;
            EXPECT_EQ(message_of([&] { Interpolant::cubic_slopes_only(x, yb); }), kDydx) << n << " at " << at;
        }
    }
}

// A PCHIP built in full and deferred: the same error, or the same values.
void expect_pchips_agree(const Vec& x, const Vec& y, const std::string& want) {
    const std::string full = message_of([&] { Interpolant::pchip(x, y); });
    const std::string lazy = message_of([&] { Interpolant::pchip_deferred(x, y); });
    EXPECT_EQ(full, want);
    EXPECT_EQ(lazy, want);
    if (!want.empty()) return;
    const Interpolant a = Interpolant::pchip(x, y), b = Interpolant::pchip_deferred(x, y);
    for (std::size_t i = 0; i + 1 < x.size(); ++i)
        for (double u : {0.0, 0.25, 0.5, 0.9}) {
            const double v = x[i] + u * (x[i + 1] - x[i]);
            EXPECT_TRUE(same_bits(a(v), b(v))) << v;
        }
}

TEST(SlopeOverflow, PchipFullAndDeferred) {
    // Subnormal spacings: the secants overflow.
    expect_pchips_agree({0.0, 5e-324, 1e-323}, {0.0, 1.0, 3.0}, kDydx);
    // Spacings near the top of the range: the weights overflow, the
    // weighted mean is inf / inf.
    expect_pchips_agree({-1.5e308, 0.0, 1.5e308}, {0.0, 1.0, 2.0}, kDydx);
    // ... unless the secants differ in sign (a zero slope there).
    expect_pchips_agree({-1.5e308, 0.0, 1.5e308}, {0.0, 1.0, 0.0}, "");
    // Spacings of 1e-170 under steps of 1: both terms of the weighted mean
    // underflow to 0, its inverse is inf.
    expect_pchips_agree({0.0, 1e-170, 2e-170, 3e-170}, {0.0, 1.0, 2.0, 3.0}, kDydx);
    // Spacings of 1e-155: the terms are subnormal but not 0, the slopes
    // finite (about 1e155). The deferred build works them out to know.
    expect_pchips_agree({0.0, 1e-155, 2e-155, 3e-155}, {0.0, 1.0, 2.0, 3.0}, "");
    EXPECT_FALSE(Interpolant::pchip_deferred(Vec{0.0, 1e-155, 2e-155, 3e-155}, Vec{0.0, 1.0, 2.0, 3.0}).deferred());
    // Ordinary knots stay deferred.
    EXPECT_TRUE(Interpolant::pchip_deferred(Vec{0.0, 1.0, 2.5, 3.0}, Vec{0.0, 1.0, 2.0, 4.0}).deferred());
    // An end slope that overflows while the interior slopes are bounded:
    // (2 h0 + h1) m0 with h1 = 5e299, m0 = 1e299.
    expect_pchips_agree({0.0, 1.0, 1.0 + 5e299}, {0.0, 1e299, 2e299}, kDydx);
    // Two knots: the secant itself.
    expect_pchips_agree({0.0, 1e-320}, {0.0, 1.0}, kDydx);
    expect_pchips_agree({0.0, 1e-300}, {0.0, 1.0}, "");
    // The knots' errors come first.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    expect_pchips_agree({0.0, nan, 1e-323}, {0.0, 1.0, 3.0}, "`x` must contain only finite values.");
    expect_pchips_agree({0.0, 1e-323, 5e-324}, {0.0, 1.0, 3.0}, "`x` must be strictly increasing sequence.");
    expect_pchips_agree({0.0, 5e-324, 1e-323}, {0.0, 1.0, std::numeric_limits<double>::infinity()},
                        "`y` must contain only finite values.");
    // The values of a PCHIP at its own knots raise what the build raises.
    const Vec xa{0.0, 5e-324, 1e-323, 2e-323}, ya{0.0, 1.0, 3.0, 4.0};
    EXPECT_EQ(message_of([&] { Interpolant::pchip_at_knots(xa, ya); }), kDydx);
}

TEST(SlopeOverflow, DeferredPchipAgreesWithTheFullBuildOnExtremeKnots) {
    // Spacings and steps of y drawn over the whole range of doubles, and
    // near the bounds under which the deferred build skips the slopes: it
    // must raise exactly when the full build (which checks every slope)
    // does, and give the same values otherwise.
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    int raised = 0, passed = 0, kept_deferred = 0, worked_out = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = 2 + static_cast<std::size_t>(U(rng) * 9);
        double eh, ey, spread;
        switch (round % 4) {
            case 0:  // anywhere
                eh = -323 + 630 * U(rng);
                ey = -323 + 630 * U(rng);
                spread = 6;
                break;
            case 1:  // about |dy| = (1e150 h)^2
                eh = -200 + 120 * U(rng);
                ey = 2 * eh + 300;
                spread = 4;
                break;
            case 2:  // about |dy| = 1e300 h, moderate h
                eh = -20 + 40 * U(rng);
                ey = eh + 300;
                spread = 4;
                break;
            default:  // wide spacings and steps
                eh = 290 + 17 * U(rng);
                ey = 280 + 27 * U(rng);
                spread = 3;
        }
        Vec x(n), y(n);
        x[0] = 0.0;
        y[0] = 0.0;
        for (std::size_t i = 1; i < n; ++i) {
            x[i] = x[i - 1] + std::pow(10.0, std::min(307.0, eh + spread * (U(rng) - 0.5)));
            const double step = std::pow(10.0, std::min(307.0, ey + spread * (U(rng) - 0.5)));
            y[i] = y[i - 1] + (U(rng) < 0.8 ? step : -step);
        }
        const std::string full = message_of([&] { Interpolant::pchip(x, y); });
        const std::string lazy = message_of([&] { Interpolant::pchip_deferred(x, y); });
        ASSERT_EQ(full, lazy) << "round " << round;
        if (!full.empty()) {
            raised += full == kDydx;
            continue;
        }
        ++passed;
        const Interpolant a = Interpolant::pchip(x, y), b = Interpolant::pchip_deferred(x, y);
        (b.deferred() ? kept_deferred : worked_out) += 1;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            const double v = x[i] + 0.375 * (x[i + 1] - x[i]);
            ASSERT_TRUE(same_bits(a(v), b(v))) << "round " << round << " at " << v;
            ASSERT_TRUE(same_bits(a(x[i]), b(x[i]))) << "round " << round;
        }
    }
    // Both outcomes, and both ways of the deferred build, were met.
    EXPECT_GT(raised, 100);
    EXPECT_GT(kept_deferred, 100);
    EXPECT_GT(worked_out, 20);
    EXPECT_GT(passed, kept_deferred);
}

}  // namespace

// Knots a few subnormal steps apart make the not-a-knot system singular (a
// zero pivot): LinAlgError, which C++ callers may catch as ValueError.
TEST(SlopeOverflow, SingularSystemIsALinearAlgebraError) {
    const Vec x{5e-324, 1e-323, 1.5e-323, 3e-323};
    const Vec y{0.6677248265218643, 0.4109710042454975, 0.9517006844587461, 0.17778651351259334};
    EXPECT_THROW((void)Interpolant::cubic(x, y), vordex::LinAlgError);
    EXPECT_THROW((void)Interpolant::cubic_slopes_only(x, y), vordex::LinAlgError);
    try {
        (void)Interpolant::cubic(x, y);
        FAIL() << "no error";
    } catch (const vordex::ValueError& e) {
        EXPECT_STREQ(e.what(), "singular matrix");
    }
}
