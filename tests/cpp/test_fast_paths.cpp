// The fast paths of the core (vectorised passes, the spline solve with its
// running values in registers, in-place cleaning, insertion sorting) against
// plain step-by-step versions of the same arithmetic: the results must be
// the same to the last bit, errors included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "vordex/core/density.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/interp.hpp"
#include "vordex/core/marginal.hpp"
#include "vordex/core/numeric.hpp"

namespace {

using vordex::Interpolant;
using Vec = std::vector<double>;

// Same bits (NaN matches NaN).
bool same(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

template <class A, class B>
::testing::AssertionResult same_vec(const A& a, const B& b) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i]))
            return ::testing::AssertionFailure() << "index " << i << ": " << a[i] << " vs " << b[i];
    return ::testing::AssertionSuccess();
}

// Cubic Hermite piece i at v from knot slopes d, in the evaluation order of
// the interpolants (power basis, highest power last).
double hermite_at(const Vec& x, const Vec& y, const std::vector<double>& d, std::size_t i, double v) {
    const double h = x[i + 1] - x[i];
    const double slope = (y[i + 1] - y[i]) / h;
    const double t = (d[i] + d[i + 1] - 2 * slope) / h;
    const double c0 = t / h, c1 = (slope - d[i]) / h - t;
    const double s = v - x[i];
    double r = 0.0;
    r = r + y[i];
    r = r + d[i] * s;
    const double s2 = s * s;
    r = r + c1 * s2;
    r = r + c0 * (s2 * s);
    return r;
}

using vordex_test::message_of;

// Knot grids of several kinds: smooth, random, with spacings that grow or
// shrink fast enough to make the elimination pivot, and constant data.
std::vector<std::pair<Vec, Vec>> spline_cases() {
    std::vector<std::pair<Vec, Vec>> cases;
    std::mt19937_64 g(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (std::size_t n : {4u, 5u, 6u, 17u, 161u, 163u, 300u, 450u, 517u, 1000u, 4500u, 45001u}) {
        Vec x(n), y(n);
        double acc = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            acc += 0.05 + u(g);
            x[i] = acc;
            y[i] = std::sin(acc) - 0.01 * acc * acc;
        }
        cases.emplace_back(x, y);
        // Spacings alternating tiny and huge: several steps pivot.
        Vec xp(n), yp(n);
        acc = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            acc += (i % 3 == 1) ? 1e3 * (1.0 + u(g)) : 1e-3 * (1.0 + u(g));
            xp[i] = acc;
            yp[i] = u(g) - 0.5;
        }
        cases.emplace_back(xp, yp);
        // Geometric spacings (then even ones), growing and shrinking.
        Vec xg(n), xs(n);
        for (std::size_t i = 0; i < n; ++i)
            xg[i] = i < 60 ? std::pow(1.9, static_cast<double>(i)) : xg[i - 1] + (xg[59] - xg[58]);
        for (std::size_t i = 0; i < n; ++i) xs[i] = -xg[n - 1 - i];
        cases.emplace_back(xg, y);
        cases.emplace_back(xs, y);
        // Constant and linear data: zero right-hand sides and slopes.
        cases.emplace_back(x, Vec(n, 2.5));
        Vec lin(n);
        for (std::size_t i = 0; i < n; ++i) lin[i] = -3.0 * x[i];
        cases.emplace_back(x, lin);
    }
    return cases;
}

TEST(FastPaths, NotAKnotSplineMatchesTheStepByStepSolve) {
    int pivoting = 0;
    for (const auto& [x, y] : spline_cases()) {
        SCOPED_TRACE("n=" + std::to_string(x.size()));
        const Interpolant s = Interpolant::cubic(x, y);
        const Vec ref = vordex::notaknot_slopes(x, y);
        ASSERT_TRUE(same_vec(s.slopes(), ref));
        // Pieces: at every knot, at midpoints and at the last knot.
        for (std::size_t i = 0; i + 1 < x.size(); i += 1 + x.size() / 64) {
            const double mid = x[i] + 0.37 * (x[i + 1] - x[i]);
            EXPECT_TRUE(same(s(mid), hermite_at(x, y, ref, i, mid))) << "piece " << i;
            EXPECT_TRUE(same(s(x[i]), hermite_at(x, y, ref, i, x[i])));
        }
        const std::size_t last = x.size() - 2;
        EXPECT_TRUE(same(s(x.back()), hermite_at(x, y, ref, last, x.back())));
        // A batch of ascending points gives the single-point values.
        Vec pts(257), out(257);
        for (std::size_t k = 0; k < pts.size(); ++k)
            pts[k] = x.front() + (x.back() - x.front()) * static_cast<double>(k) / 256.0;
        s.eval(pts.data(), out.data(), pts.size());
        for (std::size_t k = 0; k < pts.size(); ++k) EXPECT_TRUE(same(out[k], s(pts[k])));
        // The same spline keeping only its slopes: every evaluation equal.
        const Interpolant lean = Interpolant::cubic_slopes_only(x, y);
        ASSERT_TRUE(same_vec(lean.slopes(), ref));
        Vec dense(4 * x.size()), lean_out(dense.size()), full_out(dense.size());
        for (std::size_t k = 0; k < dense.size(); ++k)
            dense[k] = x.front() + (x.back() - x.front()) * static_cast<double>(k) / static_cast<double>(dense.size() - 1);
        for (const Vec* p : std::initializer_list<const Vec*>{&pts, &dense, &x}) {
            lean_out.resize(p->size());
            full_out.resize(p->size());
            lean.eval(p->data(), lean_out.data(), p->size());
            s.eval(p->data(), full_out.data(), p->size());
            ASSERT_TRUE(same_vec(lean_out, full_out));
        }
        EXPECT_TRUE(same(lean(x[1] + 1e-3), s(x[1] + 1e-3)));
        // Some grids must take the pivoting branch of the solve: there the
        // diagonal is smaller than the entry below it.
        bool piv = false;
        for (std::size_t i = 1; i + 2 < x.size(); ++i)
            piv |= (x[i + 2] - x[i + 1]) > 2 * ((x[i] - x[i - 1]) + (x[i + 1] - x[i]));
        pivoting += piv;
    }
    EXPECT_GT(pivoting, 3);
}

TEST(FastPaths, NotAKnotSplineSignedZeros) {
    // Data of -1, -0, 0 and 1 on a few grids: the solve meets exact zeros
    // of both signs in its running values; they must come out with the same
    // signs as in the step-by-step solve.
    const std::vector<Vec> grids{{0, 1, 2, 3, 4, 5, 6}, {0, 0.5, 2, 2.25, 4, 7, 7.5}, {-3, -1, 0, 1e-3, 1, 2, 40}};
    for (const Vec& x : grids) {
        for (int code = 0; code < 16384; ++code) {  // 4^7 patterns
            Vec y(7);
            int c = code;
            for (double& v : y) {
                const double alphabet[4] = {-1.0, -0.0, 0.0, 1.0};
                v = alphabet[c % 4];
                c /= 4;
            }
            ASSERT_TRUE(same_vec(Interpolant::cubic(x, y).slopes(), vordex::notaknot_slopes(x, y))) << code;
        }
    }
}

TEST(FastPaths, BatchEvaluationMatchesSinglePoints) {
    // Dense batches (runs of points per interval), sparse ones, descending
    // and shuffled points, points at the knots, outside them and NaN, and
    // evaluation in place: every value as the single-point evaluation.
    const Vec x{-2, -1.5, -0.2, 0, 0.3, 1, 1.1, 2.5, 3, 4.75, 5};
    Vec y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = std::cos(x[i]) + 0.1 * x[i];
    std::mt19937_64 g(9);
    std::uniform_real_distribution<double> u(-2.5, 5.5);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Interpolant& f : {Interpolant::pchip(x, y), Interpolant::cubic(x, y), Interpolant::cubic(x, y, true)}) {
        for (std::size_t n : {5u, 15u, 40u, 1000u}) {
            const vordex::uvector grid = vordex::linspace(-2.25, 5.25, n);
            Vec asc(grid.begin(), grid.end());
            Vec mixed(n);
            for (double& v : mixed) v = u(g);
            for (std::size_t k = 0; k < n; k += 7) mixed[k] = x[k % x.size()];
            if (n > 3) mixed[3] = nan;
            Vec desc(asc.rbegin(), asc.rend());
            for (const Vec& pts : {asc, mixed, desc, x}) {
                Vec out(pts.size()), inplace = pts;
                f.eval(pts.data(), out.data(), pts.size());
                f.eval(inplace.data(), inplace.data(), inplace.size());
                for (std::size_t k = 0; k < pts.size(); ++k) {
                    ASSERT_TRUE(same(out[k], f(pts[k]))) << "point " << pts[k];
                    ASSERT_TRUE(same(inplace[k], out[k]));
                }
            }
        }
    }
}

TEST(FastPaths, FewPointsOnManyKnotsMatchSinglePoints) {
    // Tables of a few points on splines of many knots (stored pieces and
    // slopes only): the interval is searched rather than walked. Ascending
    // points with gaps of one to thousands of knots, points on knots, at
    // the last knot, beyond the range, NaN and steps back.
    std::mt19937_64 g(23);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t nk : {3000u, 40000u}) {
        Vec x(nk), y(nk);
        double acc = 0.0;
        for (std::size_t i = 0; i < nk; ++i) {
            acc += 0.01 + u(g);
            x[i] = acc;
            y[i] = std::sin(0.01 * acc);
        }
        const Interpolant f = nk > 32768 ? Interpolant::cubic_slopes_only(x, y) : Interpolant::cubic(x, y);
        for (int kind = 0; kind < 3; ++kind) {
            Vec pts;
            std::size_t at = 0;
            while (at < nk) {
                pts.push_back(u(g) < 0.2 ? x[at] : x[at] + 0.5 * u(g));
                at += 1 + static_cast<std::size_t>(u(g) * u(g) * (kind == 0 ? 200.0 : 3000.0));
            }
            pts.push_back(x.back());
            pts.push_back(x.back() + 1.0);
            if (kind == 2) {
                pts.insert(pts.begin() + static_cast<std::ptrdiff_t>(pts.size() / 2), nan);
                pts.insert(pts.begin() + static_cast<std::ptrdiff_t>(pts.size() / 3), x[nk / 5]);
                pts.insert(pts.begin(), x.front() - 1.0);
            }
            Vec out(pts.size()), inplace = pts;
            f.eval(pts.data(), out.data(), pts.size());
            f.eval(inplace.data(), inplace.data(), inplace.size());
            for (std::size_t k = 0; k < pts.size(); ++k) {
                ASSERT_TRUE(same(out[k], f(pts[k]))) << nk << " " << k;
                ASSERT_TRUE(same(inplace[k], out[k])) << nk << " " << k;
            }
        }
    }
}

TEST(FastPaths, GridsOnSplinesOfManyKnotsMatchSinglePoints) {
    // Equally spaced grids over the whole range (the tables) with 2 to
    // 5,000 knots per point, so that the walk strides over 1, 8 or 32 knots
    // at a time or the interval is searched; unevenly spaced knots, and
    // grids that start below the range and end on or past its last knot.
    std::mt19937_64 g(29);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (std::size_t nk : {4500u, 45000u}) {
        Vec x(nk), y(nk);
        double acc = 0.0;
        for (std::size_t i = 0; i < nk; ++i) {
            acc += 0.05 + std::pow(std::sin(1e-3 * static_cast<double>(i)), 2.0) + 0.05 * u(g);
            x[i] = acc;
            y[i] = std::cos(0.01 * acc);
        }
        for (const Interpolant& f : {Interpolant::cubic(x, y), Interpolant::cubic_slopes_only(x, y)}) {
            for (std::size_t per : {2u, 5u, 7u, 30u, 95u, 100u, 300u, 5000u}) {
                const std::size_t n = std::max<std::size_t>(nk / per, 3);
                for (int ends = 0; ends < 3; ++ends) {
                    const double lo = ends == 2 ? x.front() - 5.0 : x.front();
                    const double hi = ends == 0 ? x.back() : x.back() + 5.0;
                    const vordex::uvector grid = vordex::linspace(lo, hi, n);
                    Vec out(n);
                    f.eval(grid.data(), out.data(), n);
                    for (std::size_t k = 0; k < n; ++k)
                        ASSERT_TRUE(same(out[k], f(grid[k]))) << nk << " per " << per << " point " << k;
                }
            }
        }
    }
}

TEST(FastPaths, PchipAtItsOwnKnots) {
    // The values of a PCHIP interpolant at its knots, worked out without
    // building it, against building and evaluating it: ordinary grids, flat
    // stretches and sign changes (zero slopes), -0.0 values, steep steps
    // near the bounds of the shortcut, and grids beyond them (tiny
    // spacings, huge spans or values, infinities and NaN), which take the
    // full construction.
    std::mt19937_64 g(37);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 3 + static_cast<std::size_t>(u(g) * (round % 4 ? 40 : 3000));
        const int kind = round % 8;
        const double hscale = kind == 1 ? 1e-120 : (kind == 2 ? 1e-59 : (kind == 3 ? 1e62 : 1.0));
        Vec x(n), y(n);
        double acc = (u(g) - 0.5) * 10.0 * hscale;
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = acc;
            acc += hscale * (0.5 + u(g));
            const double v = std::sin(3.0 * static_cast<double>(i) / static_cast<double>(n)) * (kind == 2 ? 1e58 : 1.0);
            y[i] = kind == 4 ? std::round(4 * v) / 4 : v;  // flat stretches and zeros
        }
        if (kind == 5) y[n / 2] = -0.0;
        if (kind == 5) y[0] = -0.0;
        if (kind == 6) y[n / 3] = round % 16 == 6 ? inf : nan;
        if (kind == 7) y[n - 1] = 1e70;
        SCOPED_TRACE("round " + std::to_string(round));
        if (kind == 6) {  // refused by the construction, with its message
            EXPECT_EQ(message_of([&] { Interpolant::pchip_at_knots(x, y); }), "`y` must contain only finite values.");
            continue;
        }
        const Interpolant f = Interpolant::pchip(x, y);
        EXPECT_TRUE(same_vec(Interpolant::pchip_at_knots(x, y), f.eval(x)));
    }
    // Knots that the full construction refuses give its error.
    const Vec xs{0.0, 1.0, 1.0, 2.0}, ys{1.0, 2.0, 3.0, 4.0};
    EXPECT_EQ(message_of([&] { Interpolant::pchip(xs, ys); }), message_of([&] { Interpolant::pchip_at_knots(xs, ys); }));
}

TEST(FastPaths, SplineKnotErrorsKeepTheirOrder) {
    const Vec x{0, 1, 2, 3, 4, 5};
    const Vec y{1, 2, 0, 3, 1, 2};
    Vec xn = x, yn = y, xr = x;
    xn[3] = std::numeric_limits<double>::quiet_NaN();
    yn[4] = std::numeric_limits<double>::infinity();
    xr[4] = 3.0;
    EXPECT_EQ(message_of([&] { Interpolant::cubic(xn, yn); }), "`x` must contain only finite values.");
    EXPECT_EQ(message_of([&] { Interpolant::cubic(x, yn); }), "`y` must contain only finite values.");
    EXPECT_EQ(message_of([&] { Interpolant::cubic(xr, y); }), "`x` must be strictly increasing sequence.");
    EXPECT_EQ(message_of([&] { Interpolant::pchip(xr, y); }), "`x` must be strictly increasing sequence.");
    // Huge data: secants overflow to inf and the slopes with them, which the
    // knots' errors come before.
    const Vec yb{1e308, -1e308, 1e308, -1e308, 1e308, -1e308};
    const Vec xs{0, 1e-10, 2e-10, 3e-10, 4e-10, 5e-10};
    const std::string dydx = "`dydx` must contain only finite values.";
    EXPECT_EQ(message_of([&] { Interpolant::cubic(xs, yb); }), dydx);
    EXPECT_EQ(message_of([&] { vordex::notaknot_slopes(xs, yb); }), dydx);
    Vec xsr = xs;
    xsr[4] = xsr[3];
    EXPECT_EQ(message_of([&] { Interpolant::cubic(xsr, yb); }), "`x` must be strictly increasing sequence.");
}

// The cleaning, written out plainly: drop NaN densities, order the rest as
// np.argsort orders their x (numpy_argsort), drop densities not above kEps
// times the largest.
vordex::XY plain_fix(const Vec& x, const Vec& y) {
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < y.size(); ++i)
        if (!std::isnan(y[i])) kept.push_back(i);
    Vec kx(kept.size());
    for (std::size_t k = 0; k < kept.size(); ++k) kx[k] = x[kept[k]];
    std::vector<std::size_t> order(kept.size()), idx(kept.size());
    vordex::numpy_argsort(kx.data(), kx.size(), order.data());
    for (std::size_t k = 0; k < kept.size(); ++k) idx[k] = kept[order[k]];
    double ymax = y[idx[0]];
    for (std::size_t i : idx) ymax = std::max(ymax, y[i]);
    vordex::XY r;
    for (std::size_t i : idx) {
        if (y[i] > 0.0 && std::fabs(y[i] / ymax) > vordex::kEps) {
            r.x.push_back(x[i]);
            r.y.push_back(y[i]);
        }
    }
    return r;
}

// marginal_fix gives what the plain definition gives, or its error when fewer
// than 3 points remain (then empty).
std::optional<vordex::XY> expect_plain_cleaning(const Vec& x, const Vec& y) {
    vordex::XY want = plain_fix(x, y);
    if (want.x.size() < 3) {
        EXPECT_THROW(vordex::marginal_fix(x, y), vordex::ValueError);
        return std::nullopt;
    }
    const vordex::XY got = vordex::marginal_fix(x, y);
    EXPECT_TRUE(same_vec(got.x, want.x));
    EXPECT_TRUE(same_vec(got.y, want.y));
    return want;
}

TEST(FastPaths, LinspaceBetweenFiniteEndsAscends) {
    // The smoothing relies on it to skip checking its grid: ends a finite
    // distance apart give values that ascend (ties allowed) without NaN,
    // at any magnitude and spacing.
    std::mt19937_64 g(41);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int round = 0; round < 3000; ++round) {
        const double mag = std::ldexp(1.0, static_cast<int>(u(g) * 2000) - 1000);
        const double a = (u(g) - 0.5) * mag;
        const double span = std::ldexp(u(g), static_cast<int>(u(g) * 120) - 100) * (round % 3 ? mag : 1.0);
        const double b = round % 7 == 0 ? a : a + span;
        if (!vordex::linspace_ascends(a, b)) continue;
        const std::size_t n = 2 + static_cast<std::size_t>(u(g) * (round % 2 ? 20 : 5000));
        const vordex::uvector v = vordex::linspace(a, b, n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_FALSE(std::isnan(v[i])) << round;
        for (std::size_t i = 1; i < n; ++i) ASSERT_LE(v[i - 1], v[i]) << round << " at " << i;
    }
}

TEST(FastPaths, CleaningAtTheDensityFloor) {
    // Densities at the floor (kEps times the largest) and a few ulps either
    // side, at every scale of the largest density: kept exactly as the ratio
    // test keeps them, whether or not the count needs the ratios.
    std::mt19937_64 g(31);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (double scale : {1.0, 3.7e-5, 1e300, 5e-290, 1e-300, 4e-308, 1e-320}) {
        for (int round = 0; round < 20; ++round) {
            const std::size_t n = 50 + static_cast<std::size_t>(u(g) * 200);
            Vec x(n), y(n);
            const double ymax = scale * (1.0 + u(g));
            for (std::size_t i = 0; i < n; ++i) {
                x[i] = static_cast<double>(i);
                y[i] = ymax * u(g);
            }
            y[n / 2] = ymax;
            const double floor = vordex::kEps * ymax;
            if (round % 2) {
                // a band of densities around the floor
                for (std::size_t i = 0; i < n; i += 3) {
                    double v = floor;
                    const int steps = static_cast<int>(u(g) * 9) - 4;
                    for (int s = 0; s < std::abs(steps); ++s) v = std::nextafter(v, steps < 0 ? 0.0 : 1e308);
                    if (i != n / 2) y[i] = v;
                }
            } else {
                // clear of the floor, below and above
                for (std::size_t i = 0; i < n; i += 4)
                    if (i != n / 2) y[i] = floor * (u(g) < 0.5 ? 0.5 : 2.0);
            }
            if (round % 5 == 0) y[1] = -y[1];
            SCOPED_TRACE("scale " + std::to_string(scale) + " round " + std::to_string(round));
            expect_plain_cleaning(x, y);
        }
    }
}

TEST(FastPaths, CleaningJustAboveTheFloorProduct) {
    // A smallest density one ulp above kEps times the largest (the product
    // rounded) whose ratio to the largest still rounds to kEps or below: the
    // ratio test drops it, however clear of the floor the others are. (Such
    // largest densities are rare; they are searched for.)
    std::mt19937_64 g(43);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int found = 0;
    for (int tries = 0; tries < 2000000 && found < 6; ++tries) {
        const double ymax = std::ldexp(1.0 + u(g), static_cast<int>(u(g) * 1800) - 900);
        const double y1 = std::nextafter(ymax * vordex::kEps, 1e308);
        if (std::fabs(y1 / ymax) > vordex::kEps) continue;
        ++found;
        const std::size_t n = 40;
        Vec x(n), y(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = static_cast<double>(i);
            y[i] = ymax * (0.25 + 0.5 * u(g));
        }
        y[n / 2] = ymax;
        y[n / 3] = y1;
        SCOPED_TRACE("largest " + std::to_string(ymax));
        const std::optional<vordex::XY> cleaned = expect_plain_cleaning(x, y);
        ASSERT_TRUE(cleaned.has_value());
        EXPECT_EQ(cleaned->x.size(), n - 1);
    }
    EXPECT_EQ(found, 6);
}

TEST(FastPaths, CleaningMatchesThePlainDefinition) {
    std::mt19937_64 g(11);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int round = 0; round < 40; ++round) {
        const std::size_t n = 3 + static_cast<std::size_t>(u(g) * 3000);
        Vec x(n), y(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = static_cast<double>(i) * 0.01;
            y[i] = std::exp(-0.5 * std::pow((x[i] - 5.0) / (0.3 + u(g) * 0.01), 2.0));
        }
        switch (round % 7) {
            case 0:  // sorted
                break;
            case 1:  // sorted up to one-ulp descents, as smoothing leaves them, and a NaN end
                for (std::size_t i = 1; i < n; i += 7) x[i] = std::nextafter(x[i - 1], -1.0);
                y[n - 1] = nan;
                break;
            case 5:  // sorted, with NaN densities (the ends of a smoothed grid)
                y[0] = nan;
                for (std::size_t i = 3; i < n; i += 29) y[i] = nan;
                break;
            case 6:  // sorted, every density NaN
                for (double& v : y) v = nan;
                break;
            case 2:  // shuffled, with repeated positions and NaN densities
                std::shuffle(x.begin(), x.end(), g);
                for (std::size_t i = 0; i < n; i += 5) x[i] = 1.0;
                for (std::size_t i = 0; i < n; i += 11) y[i] = nan;
                break;
            case 3:  // descending: too disordered for the insertion pass
                std::reverse(x.begin(), x.end());
                break;
            default:  // NaN positions and zero densities
                for (std::size_t i = 0; i < n; i += 13) x[i] = nan;
                for (std::size_t i = 2; i < n; i += 17) y[i] = 0.0;
                break;
        }
        SCOPED_TRACE("round " + std::to_string(round));
        if (round % 7 == 6) {
            EXPECT_EQ(message_of([&] { vordex::marginal_fix(x, y); }),
                      "Marginal has no finite density points after NaN removal.");
            continue;
        }
        const std::optional<vordex::XY> cleaned = expect_plain_cleaning(x, y);
        if (!cleaned) continue;
        const vordex::XY& want = *cleaned;
        // The in-place variant gives the same arrays.
        vordex::XY m{vordex::uvector(x.begin(), x.end()), vordex::uvector(y.begin(), y.end())};
        const vordex::XY moved = vordex::marginal_fix(std::move(m));
        EXPECT_TRUE(same_vec(moved.x, want.x));
        EXPECT_TRUE(same_vec(moved.y, want.y));
    }
}

TEST(FastPaths, CleaningFindsTheLargestDensityAnywhere) {
    // Sorted grids whose largest density sits at each position (the vector
    // body and the tail of the one-pass scan), with or without NaN densities
    // at the ends, and with the other densities straddling the floor of that
    // largest: a wrong largest keeps or drops the wrong points. Grids whose
    // densities are all zero, negative or NaN keep nothing.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t n : {3u, 9u, 12u, 37u}) {
        for (std::size_t at = 0; at < n; ++at) {
            for (int ends = 0; ends < 4; ++ends) {
                Vec x(n), y(n);
                for (std::size_t i = 0; i < n; ++i) {
                    x[i] = 0.5 * static_cast<double>(i);
                    y[i] = (i % 2 ? 0.9 : 1.1) * vordex::kEps * 4.0;
                }
                y[at] = 4.0;
                if ((ends & 1) && at != 0) y[0] = nan;
                if ((ends & 2) && at != n - 1) y[n - 1] = nan;
                SCOPED_TRACE("n " + std::to_string(n) + " at " + std::to_string(at) + " ends " + std::to_string(ends));
                expect_plain_cleaning(x, y);
                for (double& v : y) v = std::isnan(v) ? v : -v;  // nothing positive
                if (ends == 0) y[at] = 0.0;
                EXPECT_THROW(vordex::marginal_fix(x, y), vordex::ValueError);
            }
        }
    }
}

TEST(FastPaths, ExpectationMatchesTheAlternatingSums) {
    // Small and odd/even grid sizes, one to three columns: the row-by-row
    // sums of several columns and the pairwise sum of one column.
    std::mt19937_64 g(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (std::size_t n : {3u, 4u, 5u, 6u, 7u, 301u, 4501u}) {
        Vec x(n), y(n);
        double acc = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            acc += 0.1 + u(g);
            x[i] = acc;
            y[i] = 1.0 + 0.99 * u(g);
        }
        for (std::size_t k : {1u, 2u, 3u}) {
            Vec f(n * k);
            for (double& v : f) v = u(g) * 10.0 - 5.0;
            const Vec got = vordex::expectation(x, y, f.data(), k);
            const Vec d = vordex::simpson_odd_grid(x);
            Vec w(n);
            for (std::size_t i = 0; i < n; ++i) w[i] = y[i] * d[i];  // the largest y is in [1, 2): no scaling
            auto alt = [&](auto get, bool pairwise) {
                Vec odd, even;
                for (std::size_t i = 1; i + 1 < n; i += 2) odd.push_back(get(i));
                for (std::size_t i = 2; i + 1 < n; i += 2) even.push_back(get(i));
                double s4 = 0.0, s2 = 0.0;
                if (pairwise) {
                    s4 = vordex::numpy_sum(odd.data(), odd.size());
                    s2 = vordex::numpy_sum(even.data(), even.size());
                } else {
                    for (std::size_t j = 0; j < odd.size(); ++j) s4 = j == 0 ? odd[j] : s4 + odd[j];
                    for (std::size_t j = 0; j < even.size(); ++j) s2 = j == 0 ? even[j] : s2 + even[j];
                }
                return get(0) + get(n - 1) + 4.0 * s4 + 2.0 * s2;
            };
            double ymax = 0.0;
            for (double v : y) ymax = std::max(ymax, v);
            ASSERT_LT(ymax, 2.0);
            ASSERT_GE(ymax, 1.0);
            const double denom = alt([&](std::size_t i) { return w[i]; }, true);
            ASSERT_EQ(got.size(), k);
            for (std::size_t j = 0; j < k; ++j) {
                const double numer = alt([&](std::size_t i) { return f[i * k + j] * w[i]; }, k == 1);
                EXPECT_TRUE(same(got[j], numer / denom)) << "n=" << n << " k=" << k << " column " << j;
            }
        }
    }
}

TEST(FastPaths, GridsAndExtremes) {
    // linspace: i * step + start, the last point exactly the stop.
    const vordex::uvector l = vordex::linspace(-3.0, 7.5, 1001);
    const double step = 10.5 / 1000.0;
    for (std::size_t i = 0; i + 1 < l.size(); ++i) ASSERT_TRUE(same(l[i], static_cast<double>(i) * step + -3.0));
    EXPECT_EQ(l.back(), 7.5);
    // np.min / np.max: NaN anywhere gives NaN, otherwise the extreme, for
    // lengths around the vector widths.
    std::mt19937_64 g(5);
    std::normal_distribution<double> nd;
    for (std::size_t n = 1; n < 40; ++n) {
        Vec v(n);
        for (double& e : v) e = nd(g);
        EXPECT_EQ(vordex::nan_min(v), *std::min_element(v.begin(), v.end()));
        EXPECT_EQ(vordex::nan_max(v), *std::max_element(v.begin(), v.end()));
        v[n / 2] = std::numeric_limits<double>::quiet_NaN();
        EXPECT_TRUE(std::isnan(vordex::nan_min(v)));
        EXPECT_TRUE(std::isnan(vordex::nan_max(v)));
    }
}

// Removing the repeats of a table's flat ends, as a plain filter: for 0 and
// then 1, keep the first entry within kEps of the value and drop the others.
void plain_collapse(Vec& cdf, Vec& xx) {
    for (double v : {0.0, 1.0}) {
        Vec c2, x2;
        bool seen = false;
        for (std::size_t k = 0; k < cdf.size(); ++k) {
            const bool close = std::fabs(cdf[k] - v) <= vordex::kEps;
            if (close && seen) continue;
            seen = seen || close;
            c2.push_back(cdf[k]);
            x2.push_back(xx[k]);
        }
        cdf.swap(c2);
        xx.swap(x2);
    }
}

TEST(FastPaths, FlatEndsOfTablesMatchThePlainFilter) {
    std::mt19937_64 g(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = 2 + static_cast<std::size_t>(u(g) * 60);
        Vec cdf(n), xx(n);
        // Ascending tables with flat runs of random length at both ends
        // (values exactly 0 and 1, or within kEps of them), and, every third
        // round, tables that are not ascending (close entries scattered).
        const std::size_t lo = static_cast<std::size_t>(u(g) * n * 0.5), hi = static_cast<std::size_t>(u(g) * n * 0.5);
        for (std::size_t k = 0; k < n; ++k) {
            xx[k] = static_cast<double>(k);
            const double mid = static_cast<double>(k) / static_cast<double>(n - 1);
            const double tiny = (round % 2) ? vordex::kEps * u(g) : 0.0;
            cdf[k] = k < lo ? tiny : (k + hi >= n ? 1.0 - tiny : mid);
        }
        if (round % 3 == 2) std::shuffle(cdf.begin(), cdf.end(), g);
        Vec want_c = cdf, want_x = xx;
        plain_collapse(want_c, want_x);
        vordex::uvector got_c(cdf.begin(), cdf.end()), got_x(xx.begin(), xx.end());
        vordex::collapse_flat_ends(got_c, got_x);
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_TRUE(same_vec(got_c, want_c));
        EXPECT_TRUE(same_vec(got_x, want_x));
    }
}
}  // namespace

TEST(FastPaths, PairEvaluationMatchesTwoSeparateOnes) {
    std::mt19937_64 g(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t nk : {2u, 3u, 30u, 300u}) {
        Vec x(nk), ya(nk), yb(nk);
        double acc = 0.0;
        for (std::size_t i = 0; i < nk; ++i) {
            acc += 0.1 + u(g);
            x[i] = acc;
            ya[i] = std::sin(acc);
            yb[i] = acc * acc;
        }
        // The second interpolant's last knot equal, one ulp lower or higher
        // (as the two maps of the smoothing have them), or another knot
        // moved (no shared runs: separate evaluations).
        for (int variant = 0; variant < 4; ++variant) {
            Vec xb = x;
            if (variant == 1) xb.back() = std::nextafter(xb.back(), 0.0);
            if (variant == 2) xb.back() = std::nextafter(xb.back(), 1e300);
            if (variant == 3 && nk > 2) xb[nk / 2] = 0.5 * (xb[nk / 2] + xb[nk / 2 + 1]);
            for (bool spline_b : {true, false}) {
                const Interpolant A = Interpolant::pchip(x, ya);
                const Interpolant B = spline_b && nk >= 4 ? Interpolant::cubic(xb, yb, true) : Interpolant::pchip(xb, yb);
                // Ascending points over and beyond the range, hitting both last
                // knots exactly; then the same shuffled, with NaN.
                const vordex::uvector grid = vordex::linspace(x.front() - 0.5, x.back() + 0.5, 15 * nk + 7);
                Vec pts(grid.begin(), grid.end());
                pts.push_back(x.back());
                pts.push_back(xb.back());
                std::sort(pts.begin(), pts.end());
                Vec shuffled = pts;
                std::shuffle(shuffled.begin(), shuffled.end(), g);
                shuffled[shuffled.size() / 3] = nan;
                // Ascending but very uneven: clusters and long gaps, repeats.
                Vec uneven;
                double at = x.front() - 0.2;
                while (uneven.size() < 20 * nk) {
                    at += u(g) < 0.1 ? (x.back() - x.front()) * 0.05 * u(g) : 1e-3 * u(g);
                    uneven.push_back(at);
                    if (u(g) < 0.05) uneven.push_back(at);
                }
                // Ascending runs broken by points the runs cannot take (NaN,
                // beyond the range, a step back), each followed by more
                // ascending points: values written ahead of a run's end must
                // not survive.
                Vec broken = pts;
                for (std::size_t at = 5; at + 1 < broken.size(); at += 11 + at % 7) {
                    broken[at] = at % 3 == 0 ? nan : at % 3 == 1 ? x.back() + 1.0 : x.front();
                }
                for (const Vec* p : {&pts, &shuffled, &uneven, &broken}) {
                    Vec wa(p->size()), wb(p->size()), ga(p->size()), gb(p->size());
                    A.eval(p->data(), wa.data(), p->size());
                    B.eval(p->data(), wb.data(), p->size());
                    Interpolant::eval_pair(A, B, p->data(), ga.data(), gb.data(), p->size());
                    SCOPED_TRACE("knots " + std::to_string(nk) + " variant " + std::to_string(variant));
                    // Batches (run by run, vector stores ahead of a run's end)
                    // give each point's own value.
                    Vec oa(p->size()), ob(p->size());
                    for (std::size_t k = 0; k < p->size(); ++k) {
                        oa[k] = A((*p)[k]);
                        ob[k] = B((*p)[k]);
                    }
                    EXPECT_TRUE(same_vec(wa, oa));
                    EXPECT_TRUE(same_vec(wb, ob));
                    // Fewer points than knots (one piece per point): every
                    // tenth point, also in place.
                    Vec sub, sa;
                    for (std::size_t k = 0; k < p->size(); k += 10) {
                        sub.push_back((*p)[k]);
                        sa.push_back(oa[k]);
                    }
                    Vec got(sub.size());
                    A.eval(sub.data(), got.data(), sub.size());
                    EXPECT_TRUE(same_vec(got, sa));
                    A.eval(sub.data(), sub.data(), sub.size());
                    EXPECT_TRUE(same_vec(sub, sa));
                    EXPECT_TRUE(same_vec(ga, wa));
                    EXPECT_TRUE(same_vec(gb, wb));
                }
            }
        }
    }
}

TEST(FastPaths, LaneSolveWithShortLanesMatchesTheStepByStepSolve) {
    // Eight and sixteen lanes of 2 to 40 rows: walks that never meet within a lane, walks
    // started from an end a walk above had to correct, and the rows after
    // the lanes; every slope as the step-by-step solve gives it.
    std::mt19937_64 g(17);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int solved = 0, refused = 0, blocked_solved = 0, swapping_solved = 0;
    for (int round = 0; round < 400; ++round) {
        const std::size_t lanes = round % 2 ? 16 : 8;
        const std::size_t n = 6 + 2 * lanes + static_cast<std::size_t>(u(g) * 330);
        Vec x(n), y(n);
        double acc = 0.0;
        const int kind = (round / 2) % 4;
        for (std::size_t i = 0; i < n; ++i) {
            // smooth grids, random spacings, slowly growing spacings (slow
            // contraction), and spacings that make the elimination pivot
            const double step = kind == 0 ? 0.1 : kind == 1 ? 0.3 + u(g) : kind == 2 ? std::pow(1.04, double(i % 97)) : ((i % 3 == 1) ? 1e3 : 1e-3);
            acc += step;
            x[i] = acc;
            y[i] = kind == 3 ? u(g) - 0.5 : std::sin(acc) + 0.3 * u(g);
        }
        const std::size_t most = (n - 6) / lanes;
        const std::size_t L = 2 + static_cast<std::size_t>(u(g) * static_cast<double>(most - 1));
        std::vector<double> got;
        SCOPED_TRACE("n=" + std::to_string(n) + " lanes " + std::to_string(lanes) + " L=" + std::to_string(L) +
                     " kind " + std::to_string(kind));
        // The lanes that work out spacings and slopes from the knots solve
        // alike, to the bit, swapped rows (kind 3) included.
        std::vector<double> from_knots;
        const bool ok_knots = vordex::detail::notaknot_slopes_lanes(x, y, lanes, std::min(L, most), from_knots, true);
        if (!vordex::detail::notaknot_slopes_lanes(x, y, lanes, std::min(L, most), got)) {
            EXPECT_FALSE(ok_knots);
            ++refused;
            continue;
        }
        ++solved;
        swapping_solved += kind == 3;
        ASSERT_TRUE(ok_knots);
        ASSERT_TRUE(same_vec(got, vordex::notaknot_slopes(x, y)));
        ASSERT_TRUE(same_vec(from_knots, got));
        // In blocks of lanes of 2 to 12 rows (many blocks, each started
        // from a guess): the same slopes whenever the blocks solve (they
        // refuse systems that swap rows). Guesses
        // from only 1 to 6 rows ahead are usually wrong and must be walked
        // back into their blocks.
        const std::size_t block_L = 2 + static_cast<std::size_t>(u(g) * 11);
        if (n >= 2 + lanes * block_L + 64) {
            for (std::size_t ahead : {std::size_t{48}, 1 + static_cast<std::size_t>(u(g) * 6)}) {
                std::vector<double> blocked;
                if (vordex::detail::notaknot_slopes_lanes(x, y, lanes, 0, blocked, true, block_L, ahead)) {
                    ++blocked_solved;
                    ASSERT_TRUE(same_vec(blocked, got)) << "ahead " << ahead;
                }
            }
        }
    }
    EXPECT_EQ(refused, 0);
    EXPECT_GT(swapping_solved, 80);  // the grids whose elimination swaps rows
    EXPECT_GT(blocked_solved, 200);
    // Signed zeros through the lanes: data of -1, -0, 0 and 1.
    for (int round = 0; round < 3000; ++round) {
        const std::size_t lanes = round % 2 ? 16 : 8;
        const std::size_t n = 6 + 2 * lanes + static_cast<std::size_t>(u(g) * 40);
        Vec x(n), y(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = static_cast<double>(i) + (round % 2 ? 0.5 * u(g) : 0.0);
            const double alphabet[4] = {-1.0, -0.0, 0.0, 1.0};
            y[i] = alphabet[static_cast<std::size_t>(u(g) * 4) % 4];
        }
        std::vector<double> got;
        if (vordex::detail::notaknot_slopes_lanes(x, y, lanes, 2, got)) {
            ASSERT_TRUE(same_vec(got, vordex::notaknot_slopes(x, y))) << round;
        }
    }
}

// Whether the elimination of the not-a-knot system of these knots swaps
// rows at some step (LAPACK's test |d| < |dl|, with the swaps' effect on the
// following rows).
bool elimination_swaps(const Vec& x) {
    const std::size_t n = x.size();
    auto h = [&](std::size_t i) { return x[i + 1] - x[i]; };
    auto d = [&](std::size_t r) { return r == 0 ? h(1) : r == n - 1 ? h(n - 3) : 2 * (h(r - 1) + h(r)); };
    auto du = [&](std::size_t i) { return i == 0 ? x[2] - x[0] : h(i - 1); };
    auto dl = [&](std::size_t i) { return i == n - 2 ? x[n - 1] - x[n - 3] : h(i + 1); };
    double dc = d(0), duc = du(0);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (!(std::fabs(dc) >= std::fabs(dl(i)))) return true;
        dc = d(i + 1) - dl(i) / dc * duc;
        duc = i + 2 < n ? du(i + 1) : 0.0;
    }
    return false;
}

TEST(FastPaths, LanesSwapRowsWhereTheEliminationDoes) {
    // Long systems with a few steps that swap rows (a spacing many times its
    // neighbours), placed at the first rows, at the ends and starts of lanes
    // and chunks, next to each other, in the rows after the lanes and at the
    // last steps: the lanes (from arrays and from the knots) give the
    // step-by-step solve's slopes to the bit, and so do the spline and its
    // slopes-only form.
    std::mt19937_64 g(29);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int swapping = 0;
    for (int round = 0; round < 120; ++round) {
        const std::size_t lanes = round % 2 ? 16 : 8;
        const std::size_t n = lanes == 8 ? 400 + static_cast<std::size_t>(u(g) * 1600)
                                         : 2100 + static_cast<std::size_t>(u(g) * 4000);
        const std::size_t most = (n - 6) / lanes;
        const std::size_t L = round % 3 == 0 ? most : 2 + static_cast<std::size_t>(u(g) * double(most - 1));
        const std::size_t top = 2 + lanes * L;
        Vec h(n - 1);
        for (std::size_t i = 0; i + 1 < n; ++i) h[i] = 1.0 + 0.3 * std::sin(0.05 * double(i)) + 0.1 * u(g);
        // A wide spacing h[i + 1] makes step i swap.
        std::vector<std::size_t> at = {1, 2, 2 + L - 2, 2 + L - 1, 2 + L, 2 + 3 * L + 127, 2 + 3 * L + 128,
                                       top - 3, top - 2, top - 1, top, n - 4, n - 3};
        for (int k = 0; k < 4; ++k) at.push_back(static_cast<std::size_t>(u(g) * double(n - 3)));
        std::vector<std::size_t> chosen;
        for (std::size_t i : at)
            if (i + 2 < n && u(g) < 0.35) chosen.push_back(i);
        for (std::size_t i : chosen) {
            h[i + 1] *= 10.0 + 40.0 * u(g);
            if (u(g) < 0.3 && i + 2 < n - 1) h[i + 2] *= 30.0;  // two in a row
        }
        Vec x(n), y(n);
        x[0] = -3.0;
        for (std::size_t i = 0; i + 1 < n; ++i) x[i + 1] = x[i] + h[i];
        for (std::size_t i = 0; i < n; ++i) y[i] = std::sin(0.01 * x[i]) + 0.2 * u(g);
        swapping += elimination_swaps(x);
        SCOPED_TRACE("round " + std::to_string(round) + " n=" + std::to_string(n) + " L=" + std::to_string(L));
        const std::vector<double> want = vordex::notaknot_slopes(x, y);
        std::vector<double> got, from_knots;
        ASSERT_TRUE(vordex::detail::notaknot_slopes_lanes(x, y, lanes, L, got));
        ASSERT_TRUE(same_vec(got, want));
        ASSERT_TRUE(vordex::detail::notaknot_slopes_lanes(x, y, lanes, L, from_knots, true));
        ASSERT_TRUE(same_vec(from_knots, want));
        ASSERT_TRUE(same_vec(Interpolant::cubic(x, y).slopes(), want));
        ASSERT_TRUE(same_vec(Interpolant::cubic_slopes_only(x, y).slopes(), want));
    }
    EXPECT_GT(swapping, 100);
    // A slopes-only spline long enough for the blocks of lanes, which refuse
    // swaps: the lanes without blocks take the system, with the same slopes;
    // and a slope that overflows after a swap is still refused.
    const std::size_t n = 120000;
    Vec x(n), y(n);
    x[0] = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const bool wide = i == 777 || i == 50001 || i == 50002 || i == 99998 || i == n - 5;
        x[i + 1] = x[i] + (wide ? 35.0 : 1.0 + 0.2 * std::sin(0.01 * double(i)));
    }
    for (std::size_t i = 0; i < n; ++i) y[i] = std::cos(0.001 * x[i]) + 0.1 * u(g);
    ASSERT_TRUE(elimination_swaps(x));
    EXPECT_TRUE(same_vec(Interpolant::cubic_slopes_only(x, y).slopes(), vordex::notaknot_slopes(x, y)));
    for (std::size_t i = n / 3; i < n; ++i) x[i] += 1000.0;  // one more swap, at n / 3 - 2
    for (std::size_t at : {std::size_t{1}, n / 3 - 1, std::size_t{50002}, n - 2}) {
        Vec yb = y;
        yb[at] = 1e308;
        yb[at + 1] = -1e308;
        const std::string want = message_of([&] { vordex::notaknot_slopes(x, yb); });
        EXPECT_EQ(message_of([&] { Interpolant::cubic_slopes_only(x, yb); }), want) << at;
        EXPECT_NE(want, "") << at;
    }
}

TEST(FastPaths, LanesFromKnotsCheckEveryKnot) {
    // A knot that fails the checks anywhere (reached by a lane, a warm-up,
    // the rows after the lanes or the last knot) raises the same error as
    // the constructors' checks, whether the lanes finish or refuse.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (std::size_t lanes : {8u, 16u}) {
        const std::size_t n = 6 + 40 * lanes + 5;
        const std::size_t L = (n - 6) / lanes;
        for (std::size_t at : {std::size_t{0}, std::size_t{1}, L - 1, L, L + 1, 3 * L + 7, lanes * L, lanes * L + 2,
                               lanes * L + 3, n - 2, n - 1}) {
            for (int what = 0; what < 4; ++what) {
                Vec x(n), y(n);
                for (std::size_t i = 0; i < n; ++i) {
                    x[i] = 0.25 * static_cast<double>(i);
                    y[i] = std::sin(x[i]);
                }
                if (what == 0) y[at] = nan;
                if (what == 1) x[at] = nan;
                if (what == 2) y[at] = inf;
                if (what == 3 && at > 0) x[at] = x[at - 1];  // not strictly increasing
                if (what == 3 && at == 0) x[0] = x[1];
                std::string expected;
                try {
                    vordex::validate_knots(x, y);
                } catch (const vordex::ValueError& e) {
                    expected = e.what();
                }
                ASSERT_FALSE(expected.empty());
                std::vector<double> got;
                SCOPED_TRACE("lanes " + std::to_string(lanes) + " at " + std::to_string(at) + " case " +
                             std::to_string(what));
                try {
                    vordex::detail::notaknot_slopes_lanes(x, y, lanes, L, got, true);
                    ADD_FAILURE() << "no error";
                } catch (const vordex::ValueError& e) {
                    EXPECT_EQ(std::string(e.what()), expected);
                }
                if (lanes != 16) continue;
                // And a long spline that keeps only its slopes.
                Vec lx(120000), ly(120000);
                for (std::size_t i = 0; i < lx.size(); ++i) {
                    lx[i] = 0.25 * static_cast<double>(i);
                    ly[i] = std::sin(lx[i]);
                }
                const std::size_t pos = at * lx.size() / n;
                if (what == 0) ly[pos] = nan;
                if (what == 1) lx[pos] = nan;
                if (what == 2) ly[pos] = inf;
                if (what == 3) lx[pos] = pos > 0 ? lx[pos - 1] : lx[1];
                EXPECT_THROW(vordex::Interpolant::cubic_slopes_only(lx, ly), vordex::ValueError);
            }
        }
    }
    // Long splines keep the step-by-step slopes, also on knots that make the
    // lanes refuse (the solve falls back to the arrays).
    for (int kind = 0; kind < 3; ++kind) {
        std::mt19937_64 g(5 + kind);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        Vec x(120000), y(120000);
        double acc = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            acc += kind == 0 ? 0.01 : kind == 1 ? 0.01 + u(g) : ((i % 3 == 1) ? 1e3 : 1e-3);
            x[i] = acc;
            y[i] = std::sin(acc) + 0.1 * u(g);
        }
        EXPECT_TRUE(same_vec(vordex::Interpolant::cubic_slopes_only(x, y).slopes(), vordex::notaknot_slopes(x, y)))
            << kind;
    }
}

TEST(FastPaths, DensityBatchesMatchSinglePoints) {
    // All points inside, a block inside with points beyond both ends (the
    // in-place block path), points outside scattered among inside ones, NaN,
    // none inside; log and not, in a separate array and in place.
    std::vector<double> mx(60), my(60);
    for (std::size_t i = 0; i < mx.size(); ++i) {
        mx[i] = -3.0 + 0.1 * static_cast<double>(i);
        my[i] = std::exp(-0.5 * mx[i] * mx[i]);
    }
    const vordex::Prepared p(mx, my, true);
    const double lo = p.ld.xmin, hi = p.ld.xmax, nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Vec> cases{
        {lo, 0.5 * (lo + hi), hi},
        {lo - 1.0, lo - 1e-9, lo, 0.0, 0.5, hi, hi + 1.0},
        {lo - 1.0, 0.0, hi + 2.0, 0.25, nan, 0.5, -100.0},
        {lo - 2.0, lo - 1.0, hi + 1.0},
        {nan, 0.0, 0.1},
    };
    for (bool log : {false, true}) {
        for (const Vec& pts : cases) {
            Vec want(pts.size());
            for (std::size_t i = 0; i < pts.size(); ++i) vordex::density(p.ld, &pts[i], &want[i], 1, log);
            Vec got(pts.size()), inplace = pts;
            vordex::density(p.ld, pts.data(), got.data(), pts.size(), log);
            vordex::density(p.ld, inplace.data(), inplace.data(), inplace.size(), log);
            EXPECT_TRUE(same_vec(got, want));
            EXPECT_TRUE(same_vec(inplace, want));
        }
    }
}

TEST(FastPaths, SwappingLanesMatchTheStepByStepSolve) {
    // The lanes that take the interchanges themselves, on knots drawn at
    // random (a swap every few rows), on smooth grids with a few wide
    // spacings (swaps at lane ends and starts), on spacings alternating
    // between 1e-3 and 1e3, and with lanes of 2 rows up to the longest, from
    // arrays, from the knots and in blocks: the step-by-step solve's slopes
    // to the bit. Splines of random knots (which take these lanes) agree as
    // well, and refuse an overflowing slope with the step-by-step solve's
    // message.
    std::mt19937_64 g(31);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    int solved = 0, swapping = 0, blocked_48 = 0, tried_48 = 0, blocked_short = 0, tried_short = 0;
    for (int round = 0; round < 300; ++round) {
        const std::size_t lanes = round % 2 ? 16 : 8;
        const std::size_t n = 6 + 2 * lanes + static_cast<std::size_t>(u(g) * (round % 5 == 0 ? 6000 : 600));
        const int kind = (round / 2) % 4;
        Vec x(n), y(n);
        if (kind == 0) {
            for (auto& v : x) v = normal(g);
            std::sort(x.begin(), x.end());
            for (std::size_t i = 1; i < n; ++i)
                if (!(x[i] > x[i - 1])) x[i] = std::nextafter(x[i - 1], 1e300);
        } else {
            double acc = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                double step = kind == 1 ? 1.0 + 0.2 * u(g) : kind == 2 ? ((i % 3 == 1) ? 1e3 : 1e-3) : 0.5 + u(g);
                if (kind == 1 && u(g) < 0.02) step *= 10.0 + 40.0 * u(g);
                if (kind == 3 && i % 7 == 0) step *= 20.0;
                acc += step;
                x[i] = acc;
            }
        }
        for (std::size_t i = 0; i < n; ++i) y[i] = round % 7 == 3 ? double(int(u(g) * 3) - 1) : std::sin(x[i]) + 0.3 * u(g);
        const std::size_t most = (n - 6) / lanes;
        const std::size_t L = round % 3 == 0 ? most : 2 + static_cast<std::size_t>(u(g) * double(most - 1));
        SCOPED_TRACE("round " + std::to_string(round) + " n=" + std::to_string(n) + " L=" + std::to_string(L) +
                     " kind " + std::to_string(kind));
        swapping += elimination_swaps(x);
        const std::vector<double> want = vordex::notaknot_slopes(x, y);
        std::vector<double> got;
        ASSERT_TRUE(vordex::detail::notaknot_slopes_swapping_lanes(x, y, lanes, L, got));
        ++solved;
        ASSERT_TRUE(same_vec(got, want));
        std::vector<double> from_knots;
        ASSERT_TRUE(vordex::detail::notaknot_slopes_swapping_lanes(x, y, lanes, L, from_knots, true));
        ASSERT_TRUE(same_vec(from_knots, want));
        // In blocks of lanes of 2 to 12 rows, each block's start guessed from
        // 48 rows ahead or from 1 to 6 (then often wrong, and walked back
        // into the block through its records): the same slopes whenever the
        // blocks solve.
        const std::size_t block_L = 2 + static_cast<std::size_t>(u(g) * 11);
        if (n >= 2 + lanes * block_L + 64) {
            for (std::size_t ahead : {std::size_t{48}, 1 + static_cast<std::size_t>(u(g) * 6)}) {
                std::vector<double> blocked;
                const bool ok = vordex::detail::notaknot_slopes_swapping_lanes(x, y, lanes, 0, blocked, true,
                                                                               block_L, ahead);
                if (ok) {
                    ASSERT_TRUE(same_vec(blocked, want)) << "ahead " << ahead;
                }
                (ahead == 48 ? blocked_48 : blocked_short) += ok;
                (ahead == 48 ? tried_48 : tried_short) += 1;
            }
        }
        if (kind == 0) {
            ASSERT_TRUE(same_vec(Interpolant::cubic(x, y).slopes(), want));
            ASSERT_TRUE(same_vec(Interpolant::cubic_slopes_only(x, y).slopes(), want));
        }
    }
    EXPECT_EQ(solved, 300);
    EXPECT_GT(swapping, 200);
    // Guesses from 48 rows ahead settle; from a few rows, some do not.
    EXPECT_GT(tried_48, 200);
    EXPECT_EQ(blocked_48, tried_48);
    EXPECT_GT(blocked_short, tried_short / 4);
    // Random knots with slopes that overflow somewhere (the short splines
    // among them too short for the lanes that refuse swaps): the spline
    // refuses them as the step-by-step solve does, and otherwise agrees.
    for (const std::size_t n : {std::size_t{170}, std::size_t{389}, std::size_t{5000}}) {
        Vec x(n), y(n);
        for (auto& v : x) v = normal(g);
        std::sort(x.begin(), x.end());
        for (std::size_t i = 0; i < n; ++i) y[i] = std::sin(x[i]);
        EXPECT_TRUE(same_vec(Interpolant::cubic(x, y).slopes(), vordex::notaknot_slopes(x, y))) << n;
        for (std::size_t at : {std::size_t{3}, n / 7, n / 2 + 1, n - 3}) {
            Vec yb = y;
            yb[at] = 1e308;
            yb[at + 1] = -1e308;
            const std::string want = message_of([&] { vordex::notaknot_slopes(x, yb); });
            EXPECT_NE(want, "") << at;
            EXPECT_EQ(message_of([&] { Interpolant::cubic(x, yb); }), want) << n << " " << at;
        }
    }
}

namespace {
// Points that jump between far places: a zigzag between the ends, a
// shuffled grid, and ascending points with one step back in the middle (from
// where the walk goes on with far jumps).
std::vector<Vec> jumping_points(const Vec& x, std::size_t n, std::mt19937_64& g) {
    const double lo = x.front(), hi = x.back(), w = hi - lo;
    Vec zigzag(n), shuffled(n), stepback(n);
    for (std::size_t k = 0; k < n; ++k) {
        zigzag[k] = (k % 2) ? hi - w * 1e-3 * static_cast<double>(k % 7) : lo + w * 1e-3 * static_cast<double>(k % 5);
        shuffled[k] = lo + w * static_cast<double>(k) / static_cast<double>(n);
    }
    std::shuffle(shuffled.begin(), shuffled.end(), g);
    stepback = Vec(shuffled);
    std::sort(stepback.begin(), stepback.end());
    std::swap(stepback[n / 2], stepback[n / 2 + 1]);
    for (std::size_t k = n / 2 + 2; k < n; k += 3) stepback[k] = stepback[n - 1 - (k % 4)];
    return {zigzag, shuffled, stepback};
}
}  // namespace

TEST(FastPaths, PointsThatJumpMatchSinglePoints) {
    // Unordered points on splines of 40 to 60,000 knots, in every evaluation
    // path (runs of points per interval, one point per few knots, strides of
    // 8 and 32 knots, slopes only, and the bucket index of unordered
    // evaluation): a point far ahead of the previous one is searched for,
    // and every value is that of the single-point evaluation.
    std::mt19937_64 g(77);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (std::size_t nk : {40u, 450u, 4500u, 60000u}) {
        Vec x(nk), y(nk);
        double acc = 0.0;
        for (std::size_t i = 0; i < nk; ++i) {
            acc += (i % 97 < 40 ? 1e-3 : 0.05) + 0.01 * u(g);  // crowded stretches
            x[i] = acc;
            y[i] = std::sin(0.3 * acc);
        }
        const Interpolant f = nk > 32768 ? Interpolant::cubic_slopes_only(x, y) : Interpolant::cubic(x, y);
        for (std::size_t n : {100u, 2048u, 20000u}) {
            for (const Vec& pts : jumping_points(x, n, g)) {
                Vec out(n), inplace = pts, unordered(n);
                f.eval(pts.data(), out.data(), n);
                f.eval(inplace.data(), inplace.data(), n);
                f.eval_unordered(pts.data(), unordered.data(), n);
                for (std::size_t k = 0; k < n; ++k) {
                    const double want = f(pts[k]);
                    ASSERT_TRUE(same(out[k], want)) << nk << " " << n << " " << k;
                    ASSERT_TRUE(same(inplace[k], want)) << nk << " " << n << " " << k;
                    ASSERT_TRUE(same(unordered[k], want)) << nk << " " << n << " " << k;
                }
            }
        }
    }
}
