// Batch quantile function, derivative stencil and transformed densities.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "vordex/core/density.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/numeric.hpp"
#include "vordex/core/transform.hpp"

namespace {

using namespace vordex;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Prepared gauss_like(std::size_t n, bool spline) {
    const uvector grid = linspace(-4.0, 6.0, n);
    std::vector<double> x(grid.begin(), grid.end()), y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = std::exp(-0.5 * x[i] * x[i]) * (1.0 + 0.5 * std::tanh(x[i]));
    return Prepared(x, y, spline);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Every probability of `p` through QuantileBatch (grouped and ordered, out of
// place and in place) gives QuantileFunction's value bit for bit.
void expect_matches(const Prepared& P, const std::vector<double>& p) {
    QuantileFunction qf(cdf_table(P.ld, 2048), P.spline);
    QuantileBatch qb(P.ld, 2048, P.spline);
    std::vector<double> want(p.size()), a(p.size()), b(p.size()), c = p, d = p;
    qf.eval(p.data(), want.data(), p.size());
    qb.eval(p.data(), a.data(), p.size());
    qb.eval_ordered(p.data(), b.data(), p.size());
    qb.eval(c.data(), c.data(), c.size());
    qb.eval_ordered(d.data(), d.data(), d.size());
    for (std::size_t i = 0; i < p.size(); ++i) {
        ASSERT_TRUE(same_bits(a[i], want[i])) << "grouped, p=" << p[i];
        ASSERT_TRUE(same_bits(b[i], want[i])) << "ordered, p=" << p[i];
        ASSERT_TRUE(same_bits(c[i], want[i])) << "grouped in place, p=" << p[i];
        ASSERT_TRUE(same_bits(d[i], want[i])) << "ordered in place, p=" << p[i];
    }
}

TEST(QuantileBatch, MatchesQuantileFunctionOnRandomAndSpecialProbabilities) {
    std::mt19937_64 g(7);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    for (bool spline : {true, false}) {
        const Prepared P = gauss_like(40, spline);
        for (std::size_t n : {std::size_t{0}, std::size_t{5}, std::size_t{63}, std::size_t{64}, std::size_t{1000},
                              std::size_t{40000}}) {
            std::vector<double> p(n);
            for (double& v : p) v = U(g);
            expect_matches(P, p);
        }
        // Outside [0, 1], NaN, the ends, and probabilities just below 1
        // (beyond the last kept knot of the table), mixed into a long batch.
        std::vector<double> p(5000);
        for (double& v : p) v = U(g);
        const double specials[] = {-1.0, -0.0, 0.0, 1.0, 2.0, kNaN, 1.0 - 1e-15, 1.0 - 1e-13, 5e-324,
                                   std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
        for (std::size_t i = 0; i < std::size(specials); ++i) p[i * 400] = specials[i];
        expect_matches(P, p);
    }
}

TEST(QuantileBatch, AscendingLevelsAreTheQuantiles) {
    const Prepared P = gauss_like(30, true);
    const vordex::uvector p = equal_probabilities(3);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0], 0.25);
    EXPECT_EQ(p[1], 0.5);
    EXPECT_EQ(p[2], 0.75);
    const vordex::uvector many = equal_probabilities(2047);
    expect_matches(P, std::vector<double>(many.begin(), many.end()));
    EXPECT_TRUE(equal_probabilities(0).empty());
    const vordex::uvector one = equal_probabilities(1);
    EXPECT_EQ(one[0], 0.5);
}

TEST(QuantileBatch, RefusesTooShortTables) {
    const Prepared P = gauss_like(30, true);
    EXPECT_THROW(QuantileBatch(P.ld, 1, true), IndexError);
    EXPECT_THROW(QuantileBatch(P.ld, -3, true), ValueError);
}

TEST(Stencil, ExactForLowDegreePolynomialsAndInOrder) {
    // f(x) = x^3 at x = 2 with h = 0.1.
    const double f1 = 10.648, f2 = 9.261, f3 = 6.859, f4 = 5.832;
    double out = 0.0;
    five_point_stencil(&f1, &f2, &f3, &f4, 0.1, &out, 1);
    const double want = (((-f1) + 8.0 * f2) - 8.0 * f3 + f4) / (12.0 * 0.1);
    EXPECT_TRUE(same_bits(out, want));
    EXPECT_NEAR(out, 12.0, 1e-12);

    // Quadratic with a power-of-two step: exact, zero at the stationary point.
    const double h = 0.125;
    std::vector<double> x = {-1.0, 0.0, 0.5, 3.0}, xs[4], f[4];
    const double shifts[4] = {h + h, h, -h, -(h + h)};
    for (int k = 0; k < 4; ++k) {
        xs[k].resize(x.size());
        shifted(x.data(), shifts[k], xs[k].data(), x.size());
        for (double v : xs[k]) f[k].push_back(v * v);
    }
    std::vector<double> d(x.size());
    five_point_stencil(f[0].data(), f[1].data(), f[2].data(), f[3].data(), h, d.data(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) EXPECT_EQ(d[i], 2.0 * x[i]);
}

TEST(TransformedDensity, DividesByClippedDerivative) {
    const Prepared P = gauss_like(30, true);
    const std::vector<double> x = {-1.0, 0.0, 0.5, 1.0, 2.0, 100.0};
    const std::vector<double> deriv = {2.0, -0.5, 0.0, 1e-13, kNaN, 1.0};
    std::vector<double> dens(x.size()), out(x.size());
    density(P.ld, x.data(), dens.data(), x.size(), false);
    transformed_density(P.ld, x.data(), deriv.data(), out.data(), x.size());
    EXPECT_EQ(out[0], dens[0] / 2.0);
    EXPECT_EQ(out[1], dens[1] / 0.5);
    EXPECT_EQ(out[2], dens[2] / 1e-12);
    EXPECT_EQ(out[3], dens[3] / 1e-12);
    EXPECT_TRUE(std::isnan(out[4]));
    EXPECT_EQ(out[5], 0.0);  // outside the range
}

TEST(Orientation, ReversesOnlyDecreasingEnds) {
    std::vector<double> y = {3.0, 2.0, 1.0}, d = {0.1, 0.2, 0.3};
    EXPECT_TRUE(orient_ascending(y, d));
    EXPECT_EQ(y, (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_EQ(d, (std::vector<double>{0.3, 0.2, 0.1}));
    std::vector<double> y2 = {1.0, 5.0, 1.0}, d2 = {1.0, 2.0, 3.0};
    EXPECT_FALSE(orient_ascending(y2, d2));  // equal ends: kept in evaluation order
    std::vector<double> y3 = {kNaN, 1.0}, d3 = {1.0, 2.0};
    EXPECT_FALSE(orient_ascending(y3, d3));
    std::vector<double> e;
    EXPECT_FALSE(orient_ascending(e, e));
}

}  // namespace
