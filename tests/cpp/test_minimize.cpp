// Interval minimisers: bounded Brent search and golden-section search.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "vordex/core/minimize.hpp"

namespace {

using vordex::brent_bounded;
using vordex::brent_bounded_result;
using vordex::golden_section;

// Records every abscissa it is called at.
struct Recorder {
    std::vector<double>* xs;
    double (*fn)(double);
    double operator()(double x) const {
        xs->push_back(x);
        return fn(x);
    }
};

double parabola03(double x) { return (x - 0.3) * (x - 0.3); }

std::string value_error_text(auto&& call) {
    try {
        call();
    } catch (const vordex::ValueError& e) {
        return e.what();
    }
    return "<no ValueError>";
}

// ---------------------------------------------------------------------------
// golden_section
// ---------------------------------------------------------------------------

TEST(GoldenSection, ReferenceExample) {
    std::vector<double> xs;
    const double x = golden_section(Recorder{&xs, parabola03}, 0.0, 1.0, 1e-6);
    ASSERT_GE(xs.size(), 2u);
    EXPECT_EQ(xs[0], 0.3819660112501051);
    EXPECT_EQ(xs[1], 0.6180339887498949);
    EXPECT_EQ(xs.size(), 30u);
    EXPECT_EQ(x, 0.3000003273408487);
}

TEST(GoldenSection, DegenerateIntervalEvaluatesTwiceAtTheEnd) {
    std::vector<double> xs;
    EXPECT_EQ(golden_section(Recorder{&xs, parabola03}, 2.5, 2.5, 1e-6), 2.5);
    EXPECT_EQ(xs, (std::vector<double>{2.5, 2.5}));
}

TEST(GoldenSection, ReversedBracketIsSearchedToo) {
    const double x = golden_section(parabola03, 1.0, 0.0, 1e-9);
    EXPECT_NEAR(x, 0.3, 1e-8);
}

TEST(GoldenSection, TinyZeroAndNegativeTolerancesEnd) {
    for (double tol : {1e-300, 0.0, -1.0, -std::numeric_limits<double>::infinity()}) {
        std::vector<double> xs;
        const double x = golden_section(Recorder{&xs, parabola03}, 0.0, 1.0, tol);
        // The bracket shrinks by about 0.618 per step down to a few ulps;
        // there the loop's state repeats, found within about twice the
        // steps to the repetition.
        EXPECT_LT(xs.size(), 200u) << "tol " << tol;
        EXPECT_NEAR(x, 0.3, 1e-7) << "tol " << tol;
    }
    // Far from zero the resolution limit is the ulp of the bracket ends.
    std::vector<double> xs;
    const double x = golden_section(Recorder{&xs, +[](double v) { return std::fabs(v - 1e6 - 0.25); }}, 1e6,
                                    1e6 + 1.0, 0.0);
    EXPECT_LT(xs.size(), 200u);
    EXPECT_NEAR(x, 1e6 + 0.25, 1e-9);
    // Same with a degenerate bracket: one step, then no shrinking.
    xs.clear();
    EXPECT_EQ(golden_section(Recorder{&xs, parabola03}, 0.7, 0.7, -1.0), 0.7);
    EXPECT_EQ(xs.size(), 3u);
}

TEST(GoldenSection, OrdinaryToleranceUnaffectedByTheShrinkGuard) {
    // Unguarded reference loop, as the search is defined without the guard.
    auto reference = [](double (*f)(double), double a, double b, double tol, int& n) {
        const double gr = (std::sqrt(5.0) - 1.0) / 2.0;
        double c = b - gr * (b - a), d = a + gr * (b - a);
        double fc = f(c), fd = f(d);
        n = 2;
        while (std::fabs(b - a) > tol * ((1.0 + std::fabs(a)) + std::fabs(b))) {
            if (fc < fd) {
                b = d; d = c; fd = fc; c = b - gr * (b - a); fc = f(c);
            } else {
                a = c; c = d; fc = fd; d = a + gr * (b - a); fd = f(d);
            }
            ++n;
        }
        return (a + b) * 0.5;
    };
    double (*fns[])(double) = {parabola03, +[](double x) { return std::cos(x); },
                               +[](double x) { return std::fabs(x - 1.7); }, +[](double x) { return -x; }};
    for (auto fn : fns) {
        for (double tol : {1e-3, 1e-6, 1e-10, 1e-14}) {
            int n_ref = 0;
            const double want = reference(fn, -3.0, 10.0, tol, n_ref);
            std::vector<double> xs;
            EXPECT_EQ(golden_section(Recorder{&xs, fn}, -3.0, 10.0, tol), want) << tol;
            EXPECT_EQ(static_cast<int>(xs.size()), n_ref) << tol;
        }
    }
}

TEST(GoldenSection, BadArgumentsRaiseValueError) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::nan("");
    EXPECT_EQ(value_error_text([&] { golden_section(parabola03, 0.0, inf, 1e-6); }),
              "Optimization bounds must be finite scalars.");
    EXPECT_EQ(value_error_text([&] { golden_section(parabola03, nan, 1.0, 1e-6); }),
              "Optimization bounds must be finite scalars.");
    EXPECT_EQ(value_error_text([&] { golden_section(parabola03, 0.0, 1.0, nan); }), "The tolerance must not be NaN.");
}

TEST(GoldenSection, ExceptionFromObjectivePropagates) {
    int calls = 0;
    auto f = [&](double x) {
        if (++calls == 7) throw std::runtime_error("boom");
        return x * x;
    };
    EXPECT_THROW(golden_section(f, -1.0, 2.0, 1e-6), std::runtime_error);
    EXPECT_EQ(calls, 7);
}

// ---------------------------------------------------------------------------
// brent_bounded
// ---------------------------------------------------------------------------

TEST(BrentBounded, DegenerateIntervalEvaluatesOnce) {
    std::vector<double> xs;
    const vordex::BrentResult r = brent_bounded_result(Recorder{&xs, parabola03}, 4.0, 4.0);
    EXPECT_EQ(r.x, 4.0);
    EXPECT_EQ(r.nfev, 1);
    EXPECT_EQ(xs, (std::vector<double>{4.0}));
}

TEST(BrentBounded, NaNObjectiveEndsWithStatusTwo) {
    std::vector<double> xs;
    const vordex::BrentResult r =
        brent_bounded_result(Recorder{&xs, +[](double) { return std::nan(""); }}, 0.0, 1.0, 1e-5);
    EXPECT_EQ(r.status, 2);
    EXPECT_LE(r.nfev, 500);
    EXPECT_EQ(static_cast<size_t>(r.nfev), xs.size());
}

TEST(BrentBounded, ExceptionFromObjectivePropagates) {
    int calls = 0;
    auto f = [&](double x) {
        if (++calls == 3) throw std::runtime_error("boom");
        return x * x;
    };
    EXPECT_THROW(brent_bounded(f, -1.0, 2.0), std::runtime_error);
    EXPECT_EQ(calls, 3);
}

TEST(MinimizeOnInterval, DispatchesOnThePathFlag) {
    auto cosine = +[](double x) { return std::cos(x); };
    // Brent: SciPy 1.10 gives x = 0x1.921fb5452d54ap+1 after 10 evaluations.
    const vordex::BrentResult r = brent_bounded_result(cosine, 0.0, 10.0, 1e-8);
    EXPECT_EQ(r.x, 0x1.921fb5452d54ap+1);
    EXPECT_EQ(r.nfev, 10);
    EXPECT_EQ(vordex::minimize_on_interval(cosine, 0.0, 10.0, 1e-8, true), r.x);
    EXPECT_EQ(vordex::minimize_on_interval(parabola03, 0.0, 1.0, 1e-6, false), 0.3000003273408487);
    // Each path keeps its own bound rules: Brent refuses a reversed interval.
    EXPECT_THROW(vordex::minimize_on_interval(parabola03, 1.0, 0.0, 1e-6, true), vordex::ValueError);
    EXPECT_NEAR(vordex::minimize_on_interval(parabola03, 1.0, 0.0, 1e-9, false), 0.3, 1e-8);
}

}  // namespace
