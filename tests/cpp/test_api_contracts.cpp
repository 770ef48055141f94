// What a C++ caller of the core's headers gets for inputs the routines cannot
// work with: empty objects, arrays of different lengths, counts out of range
// and brackets wider than the double range give ValueError or a sound result,
// never a read outside an array; and objects shared between threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "test_support.hpp"
#include "vordex/core/density.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/interp.hpp"
#include "vordex/core/minimize.hpp"
#include "vordex/core/numeric.hpp"
#include "vordex/core/summary.hpp"
#include "vordex/core/transform.hpp"

namespace {

using namespace vordex;
using vordex_test::message_of;
using Vec = std::vector<double>;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Prepared skewed(std::size_t n) {
    const uvector grid = linspace(-4.0, 6.0, n);
    Vec x(grid.begin(), grid.end()), y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = std::exp(-0.5 * x[i] * x[i]) * (1.0 + 0.5 * std::tanh(x[i]));
    return Prepared(x, y, true);
}

TEST(ApiContracts, EmptyObjectsRefuseEvaluation) {
    const std::string none = "The interpolant has no knots (default-constructed or moved from).";
    const Interpolant empty;
    double v = 0.5, out = 0.0;
    EXPECT_EQ(message_of([&] { (void)empty(0.5); }), none);
    EXPECT_EQ(message_of([&] { empty.eval(&v, &out, 1); }), none);
    EXPECT_EQ(message_of([&] { empty.eval_unordered(&v, &out, 1); }), none);
    EXPECT_EQ(message_of([&] { (void)empty.pchip_scaled(0.5); }), none);
    EXPECT_EQ(message_of([&] { Interpolant::eval_pair(empty, empty, &v, &out, &out, 1); }), none);
    EXPECT_EQ(message_of([&] { empty.eval(&v, &out, 0); }), "");  // nothing to evaluate

    // Objects built on an empty log density fail with ValueError, whatever
    // step meets the emptiness first.
    const LogDensity nothing;  // its range is [0, 0]
    v = 0.0;
    EXPECT_EQ(message_of([&] { density(nothing, &v, &out, 1, true); }), none);
    EXPECT_NE(message_of([&] { (void)cdf_table(nothing, 16); }), "");
    EXPECT_NE(message_of([&] { HpdTable t(nothing, 16, true); }), "");
    EXPECT_NE(message_of([&] { QuantileBatch q(nothing, 16, true); }), "");
    EXPECT_NE(message_of([&] { (void)summarize(Prepared{}, true); }), "");
}

TEST(ApiContracts, SlopeRoutinesCheckTheirKnots) {
    const Vec x{0.0, 1.0, 2.5, 3.0, 4.5, 6.0}, y{1.0, 3.0, 2.0, 2.5, 0.5, 1.0};
    const auto p = pchip_slopes(x, y);
    const auto s = notaknot_slopes(x, y);
    const Interpolant P = Interpolant::pchip(x, y), S = Interpolant::cubic(x, y);
    for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_TRUE(same_bits(p[i], P.slopes()[i])) << i;
        EXPECT_TRUE(same_bits(s[i], S.slopes()[i])) << i;
    }
    const Vec one{1.0}, empty, shorter{1.0, 2.0}, unsorted{0.0, 2.0, 1.0, 3.0, 4.0, 5.0};
    for (auto f : {&pchip_slopes, &notaknot_slopes}) {
        EXPECT_NE(message_of([&] { (void)f(one, one); }), "");
        EXPECT_NE(message_of([&] { (void)f(empty, empty); }), "");
        EXPECT_NE(message_of([&] { (void)f(x, shorter); }), "");
        EXPECT_NE(message_of([&] { (void)f(unsorted, y); }), "");
        // The messages are those of the interpolants' own checks.
        EXPECT_EQ(message_of([&] { (void)f(x, shorter); }), message_of([&] { validate_knots(x, shorter); }));
    }
}

TEST(ApiContracts, LaneHooksRefuseLengthsBeyondTheSystem) {
    Vec x(400), y(400), out;
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = static_cast<double>(i) + 0.25 * std::sin(static_cast<double>(i));
        y[i] = std::cos(0.1 * static_cast<double>(i));
    }
    const std::size_t huge = std::numeric_limits<std::size_t>::max();
    for (bool swapping : {false, true}) {
        bool solved = false;
        const auto run = [&](std::size_t lanes, std::size_t L, std::size_t block_L, std::size_t ahead) {
            return message_of([&] {
                solved = swapping ? detail::notaknot_slopes_swapping_lanes(x, y, lanes, L, out, false, block_L, ahead)
                                  : detail::notaknot_slopes_lanes(x, y, lanes, L, out, false, block_L, ahead);
            });
        };
        EXPECT_NE(run(8, 0, huge / 8, 48), "");        // lanes * block_L wraps around
        EXPECT_NE(run(16, 0, huge / 16 + 1, 48), "");
        EXPECT_NE(run(8, 0, 42, 48), "");              // 8 * 42 + 66 > 400
        EXPECT_NE(run(8, 0, 20, 0), "");               // block_ahead outside 1 to 48
        EXPECT_NE(run(8, 0, 20, 49), "");
        EXPECT_NE(run(12, 10, 0, 48), "");             // 8 or 16 lanes only
        EXPECT_EQ(run(8, 0, 41, 48), "");              // 8 * 41 + 66 <= 400: solved
        EXPECT_TRUE(solved);
        const auto want = notaknot_slopes(x, y);
        for (std::size_t i = 0; i < x.size(); ++i) EXPECT_TRUE(same_bits(out[i], want[i])) << i;
    }
}

TEST(ApiContracts, TablesAndGridsOfDifferentLengths) {
    Vec cdf{0, 0, 0, 0.5, 1, 1}, xx{0, 1};
    EXPECT_EQ(message_of([&] { collapse_flat_ends(cdf, xx); }),
              "A cumulative table needs as many abscissae as probabilities.");
    EXPECT_EQ(cdf.size(), 6u);  // left as it was
    CdfTable t;
    t.cdf = uvector(8);
    t.xx = uvector(2);
    EXPECT_NE(message_of([&] { QuantileFunction q(t, false); }), "");
    EXPECT_EQ(message_of([&] { QuantileFunction q(CdfTable{}, true); }),
              "A cumulative table needs at least one entry.");
    EXPECT_EQ(message_of([&] { QuantileFunction q(CdfTable{}, false); }),
              "A cumulative table needs at least one entry.");

    const Vec x{0, 1, 2, 3, 4}, y3{1, 2, 3}, none;
    const double f[5] = {1, 1, 1, 1, 1};
    EXPECT_NE(message_of([&] { (void)moments(XYView(none, none)); }), "");
    EXPECT_NE(message_of([&] { (void)moments(XYView(x, y3)); }), "");
    EXPECT_NE(message_of([&] { (void)expectation_x_x2(none, none); }), "");
    EXPECT_NE(message_of([&] { (void)expectation_x_x2(x, y3); }), "");
    EXPECT_NE(message_of([&] { (void)expectation(x, y3, f, 1); }), "");

    Vec pos{3, 2, 1}, dens{1, 2};
    EXPECT_NE(message_of([&] { (void)orient_ascending(pos, dens); }), "");
    EXPECT_EQ(pos, (Vec{3, 2, 1}));
}

TEST(ApiContracts, TransformedDensityInPlaceOfItsDerivatives) {
    const Prepared p = skewed(60);
    const Vec x{-1.0, 0.0, 0.5, 2.0, 9.0};
    const Vec deriv{2.0, -0.5, 1e-20, std::nan(""), 3.0};
    Vec apart(x.size()), in_place = deriv, over_x = x;
    transformed_density(p.ld, x.data(), deriv.data(), apart.data(), x.size());
    transformed_density(p.ld, x.data(), in_place.data(), in_place.data(), x.size());
    transformed_density(p.ld, over_x.data(), deriv.data(), over_x.data(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_TRUE(same_bits(apart[i], in_place[i])) << i;
        EXPECT_TRUE(same_bits(apart[i], over_x[i])) << i;
    }
    EXPECT_TRUE(std::isnan(apart[3]));
    EXPECT_EQ(apart[4], 0.0);  // outside the range
}

TEST(ApiContracts, QuantileAndDistributionFunctionsServeSeveralThreads) {
    // A function built for few points and evaluated by two threads at once,
    // one with many points (where a full build of the pieces pays) and one
    // with few, gives each the values of a serial evaluation, bit for bit;
    // and a function built for many points gives the same values.
    const Prepared p = skewed(300);
    Vec many(5000), few(20);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = std::fmod(0.618034 * static_cast<double>(i), 1.0);
    for (std::size_t i = 0; i < few.size(); ++i) few[i] = (static_cast<double>(i) + 0.5) / 20.0;
    const QuantileFunction Q(cdf_table(p.ld, 2048), true);
    const QuantileFunction Qmany(cdf_table(p.ld, 2048), true, many.size());
    const CdfFunction F(p.ld, cdf_table(p.ld, 2048), true);
    Vec q_many(many.size()), q_few(few.size()), built(many.size()), f_many(many.size()), f_few(few.size());
    Qmany.eval(many.data(), built.data(), many.size());
    Vec want_many(many.size()), want_few(few.size()), want_f_many(many.size()), want_f_few(few.size());
    for (std::size_t i = 0; i < many.size(); ++i) want_many[i] = Q(many[i]);
    for (std::size_t i = 0; i < few.size(); ++i) want_few[i] = Q(few[i]);
    for (std::size_t i = 0; i < many.size(); ++i) want_f_many[i] = F(4.0 * many[i] - 2.0);
    for (std::size_t i = 0; i < few.size(); ++i) want_f_few[i] = F(4.0 * few[i] - 2.0);
    Vec many_x(many.size()), few_x(few.size());
    for (std::size_t i = 0; i < many.size(); ++i) many_x[i] = 4.0 * many[i] - 2.0;
    for (std::size_t i = 0; i < few.size(); ++i) few_x[i] = 4.0 * few[i] - 2.0;
    for (int round = 0; round < 20; ++round) {
        std::thread a([&] {
            Q.eval(many.data(), q_many.data(), many.size());
            F.eval(many_x.data(), f_many.data(), many.size());
        });
        std::thread b([&] {
            for (int k = 0; k < 50; ++k) {
                Q.eval(few.data(), q_few.data(), few.size());
                F.eval(few_x.data(), f_few.data(), few.size());
            }
        });
        a.join();
        b.join();
        for (std::size_t i = 0; i < many.size(); ++i) {
            ASSERT_TRUE(same_bits(q_many[i], want_many[i])) << i;
            ASSERT_TRUE(same_bits(built[i], want_many[i])) << i;
            ASSERT_TRUE(same_bits(f_many[i], want_f_many[i])) << i;
        }
        for (std::size_t i = 0; i < few.size(); ++i) {
            ASSERT_TRUE(same_bits(q_few[i], want_few[i])) << i;
            ASSERT_TRUE(same_bits(f_few[i], want_f_few[i])) << i;
        }
    }
}

TEST(ApiContracts, BrentStaysWithinBoundsWiderThanTheDoubleRange) {
    const double target = 1.5e307;
    std::vector<double> seen;
    const auto f = [&](double x) {
        seen.push_back(x);
        return std::fabs(x - target);
    };
    for (auto [a, b] : {std::pair{-1.7e308, 1.7e308}, std::pair{-1e308, 1e308}}) {
        seen.clear();
        const BrentResult r = brent_bounded_result(f, a, b, 1e-5);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.nfev, static_cast<int>(seen.size()));
        for (double x : seen) EXPECT_TRUE(x >= a && x <= b) << x;
        EXPECT_LE(std::fabs(r.x - target), 1e-7 * target);
        EXPECT_EQ(r.fun, std::fabs(r.x - target));
    }
    // A width within the range is searched as before: the same points as
    // the search on the halved bracket, doubled (halving is exact here).
    std::vector<double> full, halves;
    const BrentResult r1 = brent_bounded_result(
        [&](double x) {
            full.push_back(x);
            return std::fabs(x - 3e306);
        },
        -8e307, 8e307, 1e-5);
    const BrentResult r2 = brent_bounded_result(
        [&](double x) {
            halves.push_back(2.0 * x);
            return std::fabs(2.0 * x - 3e306);
        },
        -4e307, 4e307, 0.5e-5);
    EXPECT_EQ(full, halves);
    EXPECT_EQ(r1.x, 2.0 * r2.x);

    EXPECT_EQ(message_of([&] { (void)brent_bounded_result(f, 0.0, 1.0, std::nan("")); }),
              "The tolerance must not be NaN.");
}

}  // namespace
