// HPD intervals, the mode and the moments of a prepared marginal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vordex/core/errors.hpp"
#include "vordex/core/summary.hpp"

namespace {

using vordex::HpdTable;
using vordex::Prepared;
using vordex::QuantileFunction;

// A marginal of n equally spaced points on [lo, hi] with density f.
template <class F>
Prepared make(double lo, double hi, std::size_t n, F f, bool spline) {
    std::vector<double> x(n), y(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = lo + (hi - lo) * static_cast<double>(i) / static_cast<double>(n - 1);
        y[i] = f(x[i]);
    }
    return Prepared(x, y, spline);
}

Prepared gauss(bool spline) {
    return make(-5.0, 5.0, 81, [](double v) { return std::exp(-0.5 * v * v); }, spline);
}
// Gamma(3.5, 1) shape: mode 2.5, mean 3.5, variance 3.5.
Prepared skewed(bool spline) {
    return make(0.01, 25.0, 200, [](double v) { return std::pow(v, 2.5) * std::exp(-v); }, spline);
}

class BothPaths : public ::testing::TestWithParam<bool> {};

TEST_P(BothPaths, TableStartsAtZeroOneStepBelowTheRangeAndEndsAtOne) {
    const bool spline = GetParam();
    const Prepared p = gauss(spline);
    const std::int64_t length = 512;
    const HpdTable t(p.ld, length, spline);
    const double dx = (p.ld.xmax - p.ld.xmin) / static_cast<double>(length - 1);
    // The inverse maps the table's probabilities (knots) to its abscissae.
    const vordex::uvector& cdf = t.F_inv.knots();
    const vordex::uvector& xx = t.F_inv.values();
    ASSERT_GE(cdf.size(), 3u);
    ASSERT_EQ(xx.size(), cdf.size());
    EXPECT_EQ(cdf.front(), 0.0);
    EXPECT_NEAR(xx.front(), p.ld.xmin - dx, 1e-12);
    EXPECT_LE(std::fabs(cdf.back() - 1.0), vordex::kEps);
    // The padded point beyond the range is always trimmed.
    EXPECT_LE(xx.back(), p.ld.xmax);
    for (std::size_t i = 1; i < cdf.size(); ++i) {
        EXPECT_LT(cdf[i - 1], cdf[i]) << i;
        EXPECT_LT(xx[i - 1], xx[i]) << i;
    }
}

TEST_P(BothPaths, SkewedMarginalIntervalIsNarrowerThanEqualTailed) {
    const bool spline = GetParam();
    const Prepared p = skewed(spline);
    const HpdTable t(p.ld, 2048, spline);
    const QuantileFunction Q(vordex::cdf_table(p.ld, 2048), spline);
    for (double prob : {0.5, 0.8, 0.95}) {
        const auto r = vordex::hpd_interval(t, prob, spline);
        const double equal_tailed = Q(0.5 + prob / 2) - Q(0.5 - prob / 2);
        EXPECT_LT(r[1] - r[0], equal_tailed) << prob;
        EXPECT_GT(r[1] - r[0], 0.9 * equal_tailed) << prob;
        // Both ends of a shortest interval have (nearly) equal density.
        const double lo = p.ld.S(r[0]), hi = p.ld.S(r[1]);
        EXPECT_NEAR(lo, hi, 0.1) << prob;
    }
}

TEST_P(BothPaths, ProbabilitiesAreClampedToTheUnitInterval) {
    const bool spline = GetParam();
    const Prepared p = skewed(spline);
    const HpdTable t(p.ld, 2048, spline);
    for (double one : {1.0, 1.5, HUGE_VAL}) {
        const auto r = vordex::hpd_interval(t, one, spline);
        EXPECT_EQ(r[0], p.ld.xmin) << one;
        EXPECT_GT(r[1], p.ld.xmin) << one;
        EXPECT_LE(r[1], p.ld.xmax) << one;
    }
    for (double zero : {0.0, -0.3, -HUGE_VAL}) {
        const auto r = vordex::hpd_interval(t, zero, spline);
        EXPECT_EQ(r[0], r[1]) << zero;
        EXPECT_GE(r[0], p.ld.xmin) << zero;
        EXPECT_LE(r[0], p.ld.xmax) << zero;
    }
}

TEST_P(BothPaths, NaNProbabilityRaisesBeforeAnythingIsWritten) {
    const bool spline = GetParam();
    const Prepared p = gauss(spline);
    const HpdTable t(p.ld, 256, spline);
    const std::vector<double> probs{0.5, NAN, 0.9};
    std::vector<double> out(6, -7.0);
    try {
        vordex::hpd_intervals(t, probs.data(), probs.size(), out.data(), spline);
        FAIL() << "no ValueError";
    } catch (const vordex::ValueError& e) {
        EXPECT_EQ(std::string(e.what()), vordex::kHpdNaNProbability);
    }
    EXPECT_EQ(out, std::vector<double>(6, -7.0));
}

TEST_P(BothPaths, IntervalsAreWrittenInOrder) {
    const bool spline = GetParam();
    const Prepared p = skewed(spline);
    const HpdTable t(p.ld, 1024, spline);
    const std::vector<double> probs{0.95, 0.5, 0.8};
    std::vector<double> out(6);
    vordex::hpd_intervals(t, probs.data(), probs.size(), out.data(), spline);
    for (std::size_t i = 0; i < probs.size(); ++i) {
        const auto r = vordex::hpd_interval(t, probs[i], spline);
        EXPECT_EQ(out[2 * i], r[0]);
        EXPECT_EQ(out[2 * i + 1], r[1]);
    }
    // Nested: a larger mass gives a wider interval around the smaller one.
    EXPECT_LT(out[0], out[4]);
    EXPECT_LT(out[4], out[2]);
    EXPECT_GT(out[1], out[5]);
    EXPECT_GT(out[5], out[3]);
}

TEST(HpdTable, LengthBelowTwoIsRefused) {
    const Prepared p = gauss(true);
    EXPECT_THROW(HpdTable(p.ld, 1, true), vordex::IndexError);
    EXPECT_THROW(HpdTable(p.ld, 0, true), vordex::IndexError);
    EXPECT_THROW(HpdTable(p.ld, -4, true), vordex::ValueError);
}

TEST(Mode, ProbabilityGridMatchesArange) {
    const auto p = vordex::mode_probabilities();
    for (std::size_t k = 0; k < p.size(); ++k) EXPECT_EQ(p[k], 0.01 + static_cast<double>(k) * 0.01) << k;
    EXPECT_LT(p.back(), 1.0);
}

TEST_P(BothPaths, ModeOfKnownShapes) {
    const bool spline = GetParam();
    {
        const Prepared p = gauss(spline);
        const QuantileFunction Q(vordex::cdf_table(p.ld, 2048), spline);
        EXPECT_NEAR(vordex::mode(p.ld, Q, spline), 0.0, 1e-3);
    }
    {
        const Prepared p = skewed(spline);
        const QuantileFunction Q(vordex::cdf_table(p.ld, 2048), spline);
        // The monotone smoothing keeps the peak at the grid point nearest
        // to 2.5 (2.5216), so the mode is exact to half a grid step.
        EXPECT_NEAR(vordex::mode(p.ld, Q, spline), 2.5, 0.5 * 24.99 / 199);
    }
}

TEST_P(BothPaths, MomentsOfKnownShapes) {
    const bool spline = GetParam();
    const auto g = vordex::moments(gauss(spline).smoothed());
    EXPECT_NEAR(g.mean, 0.0, 1e-9);
    EXPECT_NEAR(g.sd, 1.0, 1e-3);
    const auto s = vordex::moments(skewed(spline).smoothed());
    EXPECT_NEAR(s.mean, 3.5, 5e-3);
    EXPECT_NEAR(s.sd, std::sqrt(3.5), 5e-3);
}

TEST(Moments, EvenGridDropsItsLastPointAndVarianceIsClampedAtZero) {
    // Four points: the last one (with a huge x) is not part of the quadrature.
    const vordex::XY even{{1.0, 2.0, 3.0, 1e6}, {1.0, 1.0, 1.0, 1.0}};
    const auto m = vordex::moments(even);
    EXPECT_EQ(m.mean, 2.0);
    // A point mass far from zero: E[X^2] - mean^2 cancels to <= 0 in rounding.
    const double c = 1e8;
    const vordex::XY narrow{{c, std::nextafter(c, 2 * c), std::nextafter(std::nextafter(c, 2 * c), 2 * c)},
                            {1.0, 1e-300, 1e-300}};
    const auto n = vordex::moments(narrow);
    EXPECT_EQ(n.mean, c);
    EXPECT_EQ(n.sd, 0.0);
}

TEST_P(BothPaths, SummaryUsesOneQuantileTableForEverything) {
    const bool spline = GetParam();
    const Prepared p = skewed(spline);
    const vordex::Summary s = vordex::summarize(p, spline);
    const QuantileFunction Q(vordex::cdf_table(p.ld, vordex::kDefaultLength), spline);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(s.quantiles[i], Q(vordex::kSummaryProbabilities[i])) << i;
    EXPECT_EQ(s.mode, vordex::mode(p.ld, Q, spline));
    const auto m = vordex::moments(p.smoothed());
    EXPECT_EQ(s.mean, m.mean);
    EXPECT_EQ(s.sd, m.sd);
    for (std::size_t i = 1; i < 5; ++i) EXPECT_LT(s.quantiles[i - 1], s.quantiles[i]);
}

INSTANTIATE_TEST_SUITE_P(SplineAndLinear, BothPaths, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? std::string("Spline") : std::string("Linear"); });

}  // namespace

// The quadrature written out plainly (as NumPy evaluates it): weights
// (y * 2^e) * d with d the interval weights and 2^e bringing the largest
// density to [1, 2), ends plus 4 * the odd rows plus 2 * the even interior
// rows (pairwise sums for the weights, row order for the two columns).
std::vector<double> plain_two_columns(const std::vector<double>& x, const std::vector<double>& y,
                                      const std::vector<double>& f) {
    const std::size_t n = x.size();
    double ymax = 0.0;
    for (double v : y) ymax = v > ymax ? v : ymax;
    const int e = ymax > 0.0 ? -std::ilogb(ymax) : 0;
    std::vector<double> w(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double right = i + 1 < n ? x[i + 1] - x[i] : 0.0;
        const double left = i > 0 ? x[i] - x[i - 1] : 0.0;
        const double scaled = std::isfinite(std::ldexp(1.0, e)) && std::ldexp(1.0, e) > 0.0
                                  ? y[i] * std::ldexp(1.0, e)
                                  : std::ldexp(y[i], e);
        w[i] = scaled * (0.5 * (right + left));
    }
    std::vector<double> odd, even;
    for (std::size_t i = 1; i + 1 < n; i += 2) odd.push_back(w[i]);
    for (std::size_t i = 2; i + 1 < n; i += 2) even.push_back(w[i]);
    const double denom = w[0] + w[n - 1] + 4.0 * vordex::numpy_sum(odd.data(), odd.size()) +
                         2.0 * vordex::numpy_sum(even.data(), even.size());
    std::vector<double> res(2);
    for (std::size_t j = 0; j < 2; ++j) {
        double s4 = 0.0, s2 = 0.0;
        bool first4 = true, first2 = true;
        for (std::size_t i = 1; i + 1 < n; i += 2) {
            s4 = first4 ? f[2 * i + j] * w[i] : s4 + f[2 * i + j] * w[i];
            first4 = false;
        }
        for (std::size_t i = 2; i + 1 < n; i += 2) {
            s2 = first2 ? f[2 * i + j] * w[i] : s2 + f[2 * i + j] * w[i];
            first2 = false;
        }
        res[j] = (f[j] * w[0] + f[2 * (n - 1) + j] * w[n - 1] + 4.0 * s4 + 2.0 * s2) / denom;
    }
    return res;
}

TEST(Moments, OnePassEqualsTheQuadratureWithATableOfValues) {
    // First and second moments worked out in one pass equal the general
    // quadrature with the table (x, x * x), bit for bit: short and long
    // grids, odd and even counts, negative positions, densities at the top
    // and the bottom of the double range (the subnormal fallback).
    std::mt19937_64 g(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const auto bits = [](double v) {
        std::uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        return b;
    };
    for (double scale : {1.0, 1e-3, 1e300, 1e-310, 3e-320}) {
        for (std::size_t n : {4u, 5u, 6u, 7u, 31u, 32u, 1001u, 4500u, 65537u, 65538u, 100001u}) {
            std::vector<double> x(n), y(n), f(2 * n);
            double at = -3.0 + u(g);
            for (std::size_t i = 0; i < n; ++i) {
                at += 0.01 + u(g);
                x[i] = at;
                y[i] = scale * (0.1 + u(g));
                f[2 * i] = x[i];
                f[2 * i + 1] = x[i] * x[i];
            }
            const std::vector<double> want = plain_two_columns(x, y, f);
            const std::vector<double> got = vordex::expectation_x_x2(x, y);
            const std::vector<double> table = vordex::expectation(x, y, f.data(), 2);
            ASSERT_EQ(got.size(), 2u);
            ASSERT_EQ(table.size(), 2u);
            for (std::size_t j = 0; j < 2; ++j) {
                EXPECT_EQ(bits(got[j]), bits(want[j])) << "scale " << scale << " n " << n << " column " << j;
                EXPECT_EQ(bits(table[j]), bits(want[j])) << "scale " << scale << " n " << n << " column " << j;
            }
        }
    }
}
