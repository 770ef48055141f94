// Core numerics: interpolants, NumPy-order arithmetic, cleaning, smoothing,
// tables and quantiles.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "vordex/core/density.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/interp.hpp"
#include "vordex/core/marginal.hpp"
#include "vordex/core/numeric.hpp"

using namespace vordex;

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> gauss_y(const std::vector<double>& x) {
    std::vector<double> y;
    for (double v : x) y.push_back(std::exp(-0.5 * v * v));
    return y;
}
}  // namespace

TEST(Numeric, PairwiseSumOrderMatchesNumPyBlocks) {
    // Fewer than 8 values: left to right from 0.0.
    std::vector<double> a = {1e16, 1.0, -1e16, 1.0};
    EXPECT_EQ(pairwise_sum(a.data(), a.size()), ((1e16 + 1.0) - 1e16) + 1.0);
    // Eight partial sums combined as a tree.
    std::vector<double> b(16, 0.0);
    b[0] = 1e16;
    b[8] = 1.0;
    b[1] = -1e16;
    EXPECT_EQ(pairwise_sum(b.data(), b.size()), ((1e16 + 1.0) + (-1e16)));
    std::vector<double> c(20000, 0.5);
    EXPECT_EQ(numpy_sum(c.data(), c.size()), 10000.0);
    EXPECT_EQ(numpy_mean(c.data(), c.size()), 0.5);
}

TEST(Numeric, LinspaceEndsExactly) {
    auto v = linspace(0.1, 0.7, 7);
    ASSERT_EQ(v.size(), 7u);
    EXPECT_EQ(v.front(), 0.1);
    EXPECT_EQ(v.back(), 0.7);
    EXPECT_EQ(v[3], 3.0 * ((0.7 - 0.1) / 6.0) + 0.1);
    EXPECT_EQ(linspace(2.0, 2.0, 3), (uvector{2.0, 2.0, 2.0}));
    EXPECT_EQ(linspace(1.0, 5.0, 1), uvector{1.0});
}

TEST(Interp, PchipReproducesNodesAndIsMonotone) {
    std::vector<double> x = {0, 1, 2, 4, 7}, y = {0, 1, 1, 3, 10};
    Interpolant p = Interpolant::pchip(x, y);
    for (size_t i = 0; i < x.size(); ++i) EXPECT_DOUBLE_EQ(p(x[i]), y[i]);
    double prev = -1;
    for (int k = 0; k <= 700; ++k) {
        double v = p(k * 0.01);
        EXPECT_GE(v, prev);
        prev = v;
    }
    EXPECT_TRUE(std::isnan(p(-0.5)));
    EXPECT_TRUE(std::isnan(p(7.5)));
    EXPECT_TRUE(std::isnan(p(kNaN)));
    // the flat run stays flat: no overshoot
    EXPECT_EQ(p(1.5), 1.0);
}

TEST(Interp, PchipSlopesThreePointCase) {
    // pchip([0,1,2],[0,1,4]): interior slope is the weighted harmonic mean
    std::vector<double> x = {0, 1, 2}, y = {0, 1, 4};
    auto d = pchip_slopes(x, y);
    EXPECT_DOUBLE_EQ(d[1], 1.0 / ((3.0 / 1.0 + 3.0 / 3.0) / 6.0));
    EXPECT_EQ(d[0], 0.0);  // the end formula changes sign: clamped to zero
}

TEST(Interp, NotAKnotReproducesCubics) {
    std::vector<double> x = {-2, -1.5, 0, 0.3, 1, 2.5, 3}, y;
    for (double v : x) y.push_back(v * v * v - 2 * v + 1);
    Interpolant s = Interpolant::cubic(x, y);
    for (double v = -2; v <= 3; v += 0.125) EXPECT_NEAR(s(v), v * v * v - 2 * v + 1, 1e-12);
    EXPECT_TRUE(std::isnan(s(3.5)));
    Interpolant e = Interpolant::cubic(x, y, true);
    EXPECT_NEAR(e(3.5), 3.5 * 3.5 * 3.5 - 7 + 1, 1e-10);
    // two points: a line; three points: a parabola
    std::vector<double> x2 = {0, 2}, y2 = {1, 5};
    EXPECT_DOUBLE_EQ(Interpolant::cubic(x2, y2)(0.5), 2.0);
    std::vector<double> x3 = {0, 1, 3}, y3 = {0, 1, 9};
    EXPECT_NEAR(Interpolant::cubic(x3, y3)(2.0), 4.0, 1e-14);
}

TEST(Interp, ConstructorChecks) {
    std::vector<double> one = {1.0}, bad = {0.0, 0.0, 1.0}, y3 = {1, 2, 3}, nanx = {0, kNaN, 1};
    EXPECT_THROW(Interpolant::pchip(one, one), ValueError);
    EXPECT_THROW(Interpolant::pchip(bad, y3), ValueError);
    EXPECT_THROW(Interpolant::cubic(nanx, y3), ValueError);
    std::vector<double> empty;
    EXPECT_THROW(Interpolant::linear(empty, empty), ValueError);
}

TEST(Interp, LinearLikeNumPyInterp) {
    std::vector<double> x = {0, 1, 2}, y = {0, 10, 0};
    Interpolant l = Interpolant::linear(x, y);
    EXPECT_EQ(l(0.25), 2.5);
    EXPECT_EQ(l(2.0), 0.0);
    EXPECT_TRUE(std::isnan(l(-1e-300)));
    EXPECT_TRUE(std::isnan(l(2.0000001)));
}

TEST(Marginal, FixSortsFiltersAndCounts) {
    std::vector<double> x = {3, 1, 2, 0}, y = {0.3, 0.1, 0.2, 0.0};
    XY m = marginal_fix(x, y);
    EXPECT_EQ(m.x, (uvector{1, 2, 3}));
    EXPECT_EQ(m.y, (uvector{0.1, 0.2, 0.3}));
    std::vector<double> y2 = {0, 0, 1, 2}, x4 = {0, 1, 2, 3};
    EXPECT_THROW(marginal_fix(x4, y2), ValueError);
    std::vector<double> yn = {kNaN, kNaN, kNaN, kNaN};
    EXPECT_THROW(marginal_fix(x4, yn), ValueError);
    std::vector<double> x3 = {0, 1, 2};
    EXPECT_THROW(marginal_fix(x3, x4), IndexError);
}

TEST(Smooth, EquallySpacedInputGivesEquallySpacedGrid) {
    std::vector<double> x;
    for (int i = 0; i < 10; ++i) x.push_back(i);
    std::vector<double> y(10, 1.0);
    SmoothOptions o;
    o.log = true;
    XY s = smooth(x, y, o);
    ASSERT_EQ(s.x.size(), 150u);
    EXPECT_EQ(s.x.front(), 0.0);
    EXPECT_EQ(s.x.back(), 9.0);
    for (size_t i = 1; i < s.x.size(); ++i) EXPECT_NEAR(s.x[i] - s.x[i - 1], 9.0 / 149.0, 1e-12);
    o.log = false;
    o.spline = false;
    XY d = smooth(x, y, o);
    for (double v : d.y) EXPECT_DOUBLE_EQ(v, 1.0);
}

TEST(Tables, QuantilesOfASymmetricDensity) {
    std::vector<double> x;
    for (int i = 0; i <= 80; ++i) x.push_back(-4.0 + 0.1 * i);
    Prepared p(x, gauss_y(x), true);
    QuantileFunction Q(cdf_table(p.ld, 2048), true);
    EXPECT_NEAR(Q(0.5), 0.0, 1e-5);
    EXPECT_NEAR(Q(0.975), 1.959964, 2e-3);
    EXPECT_NEAR(Q(0.025), -Q(0.975), 5e-5);
    EXPECT_EQ(Q(0.0), p.ld.xmin);
    EXPECT_EQ(Q(-1.0), Q(0.0));
    EXPECT_TRUE(std::isnan(Q(kNaN)));
    CdfFunction F(p.ld, cdf_table(p.ld, 2048), true);
    EXPECT_NEAR(F(Q(0.3)), 0.3, 1e-8);
    EXPECT_EQ(F(-100.0), 0.0);
    EXPECT_THROW(check_length(1), IndexError);
    EXPECT_THROW(check_length(-1), ValueError);
}

TEST(Tables, StepThatRoundsToZeroIsRefused) {
    // 0.1 wide at -1e12, where doubles lie 1.2e-4 apart: 2,048 table points
    // cannot be told apart, 500 can.
    const std::vector<double> x{-1e12, -999999999999.999, -999999999999.9, -999999999990.0};
    const std::vector<double> y{0.0497, 0.0498, 0.0642, 1.9e-15};
    for (bool spline : {true, false}) {
        const Prepared p(x, y, spline);
        try {
            (void)cdf_table(p.ld, 2048);
            ADD_FAILURE() << "no error";
        } catch (const ValueError& e) {
            EXPECT_NE(std::string(e.what()).find("too narrow for a table of 2048 points"), std::string::npos)
                << e.what();
        }
        const CdfTable t = cdf_table(p.ld, 500);
        EXPECT_EQ(t.cdf.front(), 0.0);
        EXPECT_EQ(t.cdf.back(), 1.0);
    }
}

TEST(Tables, DistributionOnKnotsCloserThanTheCubeRootOfTheSmallestDouble) {
    // On steps of about 1e-110 the power form of a PCHIP piece overflows
    // (its leading coefficient is inf, the cube of the offset 0): the scaled
    // form gives the same cubic, as on the same table stretched to steps of 1.
    // (Only a flat density survives cleaning at that scale.)
    std::vector<double> x, y(31, 1.0), xs;
    for (int i = 0; i <= 30; ++i) {
        xs.push_back(0.1 * i);
        x.push_back(1e-110 * xs.back());
    }
    const Prepared tiny(x, y, true), plain(xs, y, true);
    CdfFunction Ft(tiny.ld, cdf_table(tiny.ld, 2048), true);
    CdfFunction Fp(plain.ld, cdf_table(plain.ld, 2048), true);
    Interpolant raw = Interpolant::pchip_deferred(cdf_table(tiny.ld, 2048).xx, cdf_table(tiny.ld, 2048).cdf);
    EXPECT_TRUE(std::isnan(raw(tiny.ld.xmin)));  // the power form: inf * 0
    std::vector<double> q, qs, out(41), outs(41);
    for (int k = 0; k <= 40; ++k) {
        qs.push_back(-0.5 + 0.1 * k);  // below, across and above the range
        q.push_back(1e-110 * qs.back());
    }
    Ft.eval(q.data(), out.data(), q.size());
    Fp.eval(qs.data(), outs.data(), qs.size());
    for (std::size_t k = 0; k < q.size(); ++k) {
        EXPECT_NEAR(out[k], outs[k], 1e-9) << q[k];
        EXPECT_EQ(out[k], Ft(q[k]));
        EXPECT_TRUE(out[k] >= 0.0 && out[k] <= 1.0);
    }
    EXPECT_EQ(Ft(-1.0), 0.0);
    EXPECT_EQ(Ft(1.0), 1.0);
    // The same evaluation in place.
    std::vector<double> inplace = q;
    Ft.eval(inplace.data(), inplace.data(), inplace.size());
    EXPECT_EQ(inplace, out);
    // On ordinary steps the scaled form is the power form up to rounding.
    Interpolant F = Interpolant::pchip_deferred(xs, y);
    for (double v : {0.0, 0.05, 1.234, 2.95, 3.0}) EXPECT_NEAR(F.pchip_scaled(v), F(v), 1e-14);
    F.materialize();
    EXPECT_NEAR(F.pchip_scaled(1.234), F(1.234), 1e-14);
    EXPECT_TRUE(std::isnan(F.pchip_scaled(3.5)));
}

// Many points of a deferred PCHIP are evaluated piece by piece in one pass
// (slopes worked out per point); the values must be those of the full build,
// whatever the points' order, the knots per point, or the kind of point.
TEST(Interp, DeferredPchipAtManyPointsMatchesTheFullBuild) {
    unsigned s = 777;
    auto rnd = [&] {
        s = s * 1103515245u + 12345u;
        return (s >> 8) / 16777216.0;
    };
    auto same = [](double a, double b) { return std::isnan(a) ? std::isnan(b) : a == b; };
    for (std::size_t nx : {4u, 5u, 9u, 60u, 2048u, 70000u}) {
        std::vector<double> x, y;
        double xv = -3.0;
        for (std::size_t i = 0; i < nx; ++i) {
            xv += (i % 5 == 0 ? 3.0 : 0.2) * (0.05 + rnd());
            x.push_back(xv);
            // Flat stretches (zero secants), turns (secants of both signs)
            // and a rising run.
            const double v = i % 13 < 3 && !y.empty() ? y.back() : (i % 2 ? std::sin(xv) : 0.5 * xv + rnd());
            y.push_back(v);
        }
        const Interpolant full = Interpolant::pchip(x, y);
        const Interpolant lazy = Interpolant::pchip_deferred(x, y);
        ASSERT_TRUE(lazy.deferred());
        for (std::size_t n : {16u, 40u, 1000u, 20000u}) {
            std::vector<double> up(n);
            const double lo = x.front() - 0.5, hi = x.back() + 0.5;
            for (std::size_t k = 0; k < n; ++k) up[k] = lo + (hi - lo) * static_cast<double>(k) / (n - 1);
            // Knots themselves (first, second, last but one, last) and NaN.
            up[1] = x.front();
            up[2] = x[1];
            up[n - 3] = x[nx - 2];
            up[n - 2] = x.back();
            std::vector<double> mixed = up;
            for (std::size_t k = 0; k < n; ++k) std::swap(mixed[k], mixed[(k * 7919 + 13) % n]);
            mixed[n / 2] = kNaN;
            for (const std::vector<double>* pts : {&up, &mixed}) {
                std::vector<double> a(n), b(n), c(*pts);
                full.eval(pts->data(), a.data(), n);
                lazy.eval(pts->data(), b.data(), n);
                lazy.eval(c.data(), c.data(), n);  // in place
                for (std::size_t k = 0; k < n; ++k) {
                    ASSERT_TRUE(same(a[k], b[k])) << nx << " knots, " << n << " points, at " << (*pts)[k];
                    ASSERT_TRUE(same(a[k], c[k])) << nx << " knots, in place, at " << (*pts)[k];
                }
            }
        }
    }
}

TEST(Tables, CollapseKeepsFirstOfEachFlatEnd) {
    std::vector<double> cdf = {0, 0, 1e-14, 0.5, 1 - 1e-14, 1, 1}, xx = {0, 1, 2, 3, 4, 5, 6};
    collapse_flat_ends(cdf, xx);
    EXPECT_EQ(xx, (std::vector<double>{0, 3, 4}));
    EXPECT_EQ(cdf.back(), 1 - 1e-14);
}

TEST(Expectation, WeightsAndConstants) {
    std::vector<double> x = {0, 1, 3};
    EXPECT_EQ(simpson_odd_grid(x), (std::vector<double>{0.5, 1.5, 1.0}));
    std::vector<double> xs = {0, 1, 2, 3, 4}, ys = {1, 2, 3, 2, 1}, f(5, 2.5);
    EXPECT_DOUBLE_EQ(expectation(xs, ys, f.data(), 1)[0], 2.5);
    std::vector<double> two = {0, 0, 1, 1, 2, 4, 3, 9, 4, 16};
    auto r = expectation(xs, ys, two.data(), 2);
    EXPECT_DOUBLE_EQ(r[0], 2.0);  // symmetric about 2
}

TEST(Expectation, PlainWeightsUnlessTheyOrTheSumsLeaveTheRange) {
    // Constant values: the plain weights' sums give the value itself, even
    // where weights summing to about 4 would overflow (values near 2e307 on a
    // narrow grid); densities near the top of the range take rescaled weights
    // and give the same ratio as the same densities at scale 1.
    std::vector<double> x(61), y(61, 1.0), big(61, 5e307), lin(61);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::ldexp(static_cast<double>(i), -46);
    EXPECT_EQ(expectation(x, y, big.data(), 1)[0], 5e307);
    std::vector<double> yb(61), u(61);
    for (std::size_t i = 0; i < u.size(); ++i) {
        u[i] = static_cast<double>(i);
        lin[i] = 1.0 + static_cast<double>(i) / 60.0;
        yb[i] = 1e307 * std::exp(-0.01 * static_cast<double>(i));
    }
    std::vector<double> yr(61);
    for (std::size_t i = 0; i < yr.size(); ++i) yr[i] = yb[i] / 1e307;
    const double high = expectation(u, yb, lin.data(), 1)[0], unit = expectation(u, yr, lin.data(), 1)[0];
    EXPECT_TRUE(std::isfinite(high));
    EXPECT_NEAR(high, unit, 1e-14);
}

TEST(Interp, DeferredPchipIsBitIdenticalToTheFullBuild) {
    std::vector<double> x, y;
    unsigned s = 12345;
    auto rnd = [&] {
        s = s * 1103515245u + 12345u;
        return (s >> 8) / 16777216.0;
    };
    double xv = 0;
    for (int i = 0; i < 200; ++i) {
        xv += 0.01 + rnd();
        x.push_back(xv);
        y.push_back(i % 17 == 0 ? y.empty() ? 0.0 : y.back() : std::sin(xv) + 0.1 * rnd());
    }
    Interpolant full = Interpolant::pchip(x, y);
    Interpolant lazy = Interpolant::pchip_deferred(x, y);
    std::vector<double> at;
    for (int k = 0; k < 5000; ++k) at.push_back(-1.0 + (xv + 2.0) * rnd());
    at.push_back(x.front());
    at.push_back(x.back());
    std::vector<double> a(at.size()), b(at.size()), c(at.size());
    full.eval(at.data(), a.data(), at.size());
    lazy.eval(at.data(), b.data(), at.size());
    lazy.materialize();
    lazy.eval_unordered(at.data(), c.data(), at.size());
    for (size_t i = 0; i < at.size(); ++i) {
        if (std::isnan(a[i])) {
            EXPECT_TRUE(std::isnan(b[i]) && std::isnan(c[i]));
        } else {
            EXPECT_EQ(a[i], b[i]) << at[i];
            EXPECT_EQ(a[i], c[i]) << at[i];
        }
    }
    // two and three knots
    std::vector<double> x2 = {0, 1}, y2 = {1, 3}, x3 = {0, 1, 3}, y3 = {0, 2, 1};
    EXPECT_EQ(Interpolant::pchip_deferred(x2, y2)(0.25), Interpolant::pchip(x2, y2)(0.25));
    for (double v : {0.0, 0.5, 1.0, 2.2, 3.0})
        EXPECT_EQ(Interpolant::pchip_deferred(x3, y3)(v), Interpolant::pchip(x3, y3)(v));
}
