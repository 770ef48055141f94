// Scalar minimisers on a closed interval.
//
// Two searches, both header templates over any callable `F` taking a double
// and returning something convertible to double:
//
//  * brent_bounded: Brent's bounded method (golden-section steps combined
//    with parabolic interpolation), following SciPy's
//    `minimize_scalar(method="bounded")` step for step and in the same
//    arithmetic order, so that for the same objective it visits the same
//    points and returns the same abscissa. Its bound checks raise
//    vordex::ValueError with SciPy's messages.
//  * golden_section: a plain golden-section search that returns the midpoint
//    of the final bracket.
//
// Neither allocates; an exception thrown by `f` propagates unchanged and
// leaves nothing behind. The objective may return NaN: both searches still
// end.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "vordex/core/errors.hpp"

namespace vordex {

// Messages of the bound checks (SciPy's wording).
inline constexpr const char* kBoundsNotFinite = "Optimization bounds must be finite scalars.";
inline constexpr const char* kLowerExceedsUpper = "The lower bound exceeds the upper bound.";
inline constexpr const char* kToleranceNaN = "The tolerance must not be NaN.";

// Outcome of a bounded Brent search, with the same meaning as the fields of
// SciPy's result: x, fun, nfev (== nit) and status (0 converged, 1 maximum
// number of evaluations reached, 2 a NaN was met).
struct BrentResult {
    double x;
    double fun;
    int nfev;
    int status;
};

namespace minimize_detail {

// Throws ValueError(message); kept out of line (core/src/minimize.cpp).
[[noreturn]] void raise_value_error(const char* message);

// np.sign for a double: -1, 0 (keeping the sign of zero), 1, or NaN.
inline double np_sign(double v) {
    if (v > 0.0) return 1.0;
    if (v < 0.0) return -1.0;
    return v;  // +-0 or NaN
}

// np.maximum for two doubles: NaN wins.
inline double np_maximum(double a, double b) {
    if (std::isnan(a)) return a;
    if (std::isnan(b)) return b;
    return a >= b ? a : b;
}

// The search of brent_bounded_result on [x1, x2], evaluating f at scale * x
// for each point x it visits (scale 1, or 2 for bounds given in halves;
// 1.0 * x is x to the bit) and returning scale * x.
template <class F>
BrentResult brent_scaled(F& f, double x1, double x2, double xatol, int maxiter, double scale) {
    const int maxfun = maxiter;
    int flag = 0;
    const double sqrt_eps = std::sqrt(2.2e-16);
    const double golden_mean = 0.5 * (3.0 - std::sqrt(5.0));
    double a = x1, b = x2;
    double fulc = a + golden_mean * (b - a);
    double nfc = fulc, xf = fulc;
    double rat = 0.0, e = 0.0;
    double x = xf;
    double fx = static_cast<double>(f(scale * x));
    int num = 1;
    double fu = INFINITY;

    double ffulc = fx, fnfc = fx;
    double xm = 0.5 * (a + b);
    double tol1 = sqrt_eps * std::fabs(xf) + xatol / 3.0;
    double tol2 = 2.0 * tol1;

    while (std::fabs(xf - xm) > (tol2 - 0.5 * (b - a))) {
        bool golden = true;
        // Check for a parabolic fit.
        if (std::fabs(e) > tol1) {
            golden = false;
            double r = (xf - nfc) * (fx - ffulc);
            double q = (xf - fulc) * (fx - fnfc);
            double p = (xf - fulc) * q - (xf - nfc) * r;
            q = 2.0 * (q - r);
            if (q > 0.0) p = -p;
            q = std::fabs(q);
            r = e;
            e = rat;

            // Is the parabola acceptable?
            if ((std::fabs(p) < std::fabs(0.5 * q * r)) && (p > q * (a - xf)) && (p < q * (b - xf))) {
                rat = (p + 0.0) / q;
                x = xf + rat;
                if (((x - a) < tol2) || ((b - x) < tol2)) {
                    const double si = np_sign(xm - xf) + ((xm - xf) == 0.0 ? 1.0 : 0.0);
                    rat = tol1 * si;
                }
            } else {
                golden = true;
            }
        }
        if (golden) {  // golden-section step
            if (xf >= xm)
                e = a - xf;
            else
                e = b - xf;
            rat = golden_mean * e;
        }

        const double si = np_sign(rat) + (rat == 0.0 ? 1.0 : 0.0);
        x = xf + si * np_maximum(std::fabs(rat), tol1);
        fu = static_cast<double>(f(scale * x));
        num += 1;

        if (fu <= fx) {
            if (x >= xf)
                a = xf;
            else
                b = xf;
            fulc = nfc;
            ffulc = fnfc;
            nfc = xf;
            fnfc = fx;
            xf = x;
            fx = fu;
        } else {
            if (x < xf)
                a = x;
            else
                b = x;
            if ((fu <= fnfc) || (nfc == xf)) {
                fulc = nfc;
                ffulc = fnfc;
                nfc = x;
                fnfc = fu;
            } else if ((fu <= ffulc) || (fulc == xf) || (fulc == nfc)) {
                fulc = x;
                ffulc = fu;
            }
        }

        xm = 0.5 * (a + b);
        tol1 = sqrt_eps * std::fabs(xf) + xatol / 3.0;
        tol2 = 2.0 * tol1;

        if (num >= maxfun) {
            flag = 1;
            break;
        }
    }

    if (std::isnan(xf) || std::isnan(fx) || std::isnan(fu)) flag = 2;
    return BrentResult{scale * xf, fx, num, flag};
}

}  // namespace minimize_detail

// Brent's bounded minimisation of f on [x1, x2] with absolute tolerance
// `xatol` and at most `maxiter` evaluations (at least two when the search
// loop is entered, as in SciPy). Returns the full outcome. A NaN tolerance
// raises ValueError (kToleranceNaN): it would end the search after one
// evaluation as if it had converged. Bounds further apart than the double
// range (x2 - x1 overflows), where SciPy's arithmetic would place its first
// point at infinity, are searched in halves: the same search on [x1 / 2,
// x2 / 2] with xatol / 2, evaluating f at twice each point, so that every
// point lies within the bounds.
template <class F>
BrentResult brent_bounded_result(F&& f, double x1, double x2, double xatol = 1e-5, int maxiter = 500) {
    if (!(std::isfinite(x1) && std::isfinite(x2))) minimize_detail::raise_value_error(kBoundsNotFinite);
    if (x1 > x2) minimize_detail::raise_value_error(kLowerExceedsUpper);
    if (std::isnan(xatol)) minimize_detail::raise_value_error(kToleranceNaN);
    if (!std::isfinite(x2 - x1)) return minimize_detail::brent_scaled(f, 0.5 * x1, 0.5 * x2, 0.5 * xatol, maxiter, 2.0);
    return minimize_detail::brent_scaled(f, x1, x2, xatol, maxiter, 1.0);
}

// Abscissa of the minimum found by brent_bounded_result.
template <class F>
double brent_bounded(F&& f, double x1, double x2, double xatol = 1e-5, int maxiter = 500) {
    return brent_bounded_result(std::forward<F>(f), x1, x2, xatol, maxiter).x;
}

// Golden-section search of f on the bracket [a, b] (a > b is searched as
// [b, a]). f is evaluated at the two trial points before the loop and once
// per iteration. The loop runs while |b - a| > tol * ((1 + |a|) + |b|); it
// also stops where it would otherwise run forever: when its state repeats
// (the bracket at the limit of floating-point resolution, so a zero, negative
// or tiny tolerance ends too), or after 10,000 iterations in a row that do
// not shrink the bracket. Ties and NaN values move the lower end. Returns
// the midpoint of the final bracket.
//
// Non-finite bounds raise ValueError (kBoundsNotFinite), as the Brent search
// does; a NaN tolerance raises ValueError (kToleranceNaN).
template <class F>
double golden_section(F&& f, double a, double b, double tol) {
    if (!(std::isfinite(a) && std::isfinite(b))) minimize_detail::raise_value_error(kBoundsNotFinite);
    if (std::isnan(tol)) minimize_detail::raise_value_error(kToleranceNaN);
    const double gr = (std::sqrt(5.0) - 1.0) / 2.0;
    // The trial points b - gr * (b - a) and a + gr * (b - a); for a bracket
    // wider than the double range (b - a is inf) they are worked out in
    // halves, as the points themselves lie within the bracket.
    const auto lower_point = [gr](double lo, double hi) {
        const double s = gr * (hi - lo);
        return std::isfinite(s) ? hi - s : 2.0 * (0.5 * hi - gr * (0.5 * hi - 0.5 * lo));
    };
    const auto upper_point = [gr](double lo, double hi) {
        const double s = gr * (hi - lo);
        return std::isfinite(s) ? lo + s : 2.0 * (0.5 * lo + gr * (0.5 * hi - 0.5 * lo));
    };
    // The stopping test, and a width that decreases with the bracket. Where
    // the width or the limit would exceed the double range, both sides are
    // halved (exact at such magnitudes), so that a huge bracket is still
    // searched instead of the loop being skipped.
    bool huge = false;
    const auto go_on = [&](double lo, double hi, double& width) {
        const double w = std::fabs(hi - lo);
        const double limit = tol * ((1.0 + std::fabs(lo)) + std::fabs(hi));
        if (!huge && std::isfinite(w) && std::isfinite(limit)) {
            width = w;
            return w > limit;
        }
        huge = true;
        width = std::fabs(0.5 * hi - 0.5 * lo);
        return width > tol * ((0.5 + 0.5 * std::fabs(lo)) + 0.5 * std::fabs(hi));
    };
    double c = lower_point(a, b);
    double d = upper_point(a, b);
    double fc = static_cast<double>(f(c));
    double fd = static_cast<double>(f(d));
    double width = 0.0;
    bool more = go_on(a, b, width);
    // The loop's state after an iteration fixes every later one (for an f
    // that gives the same value for the same point): a state met again means
    // the loop would repeat forever, which ends it there. The states are
    // compared with one saved at iterations 1, 2, 4, 8, ..., which finds a
    // cycle within about twice its start and length. A bracket that stops
    // shrinking for 10,000 iterations in a row (an f whose values change
    // from call to call) ends it too.
    const auto bits = [](double v) {
        std::uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        return u;
    };
    std::uint64_t saved[6] = {bits(a), bits(b), bits(c), bits(d), bits(fc), bits(fd)};
    unsigned long power = 1, length = 0, stalled = 0;
    while (more) {
        if (fc < fd) {
            b = d;
            d = c;
            fd = fc;
            c = lower_point(a, b);
            fc = static_cast<double>(f(c));
        } else {
            a = c;
            c = d;
            fc = fd;
            d = upper_point(a, b);
            fd = static_cast<double>(f(d));
        }
        const bool was_huge = huge;
        const double before = width;
        more = go_on(a, b, width);
        if (!more) break;
        const std::uint64_t now[6] = {bits(a), bits(b), bits(c), bits(d), bits(fc), bits(fd)};
        if (std::memcmp(now, saved, sizeof now) == 0) break;
        if (++length == power) {
            std::memcpy(saved, now, sizeof now);
            power *= 2;
            length = 0;
        }
        // (widths measured in halves are compared with each other only)
        stalled = (was_huge == huge && !(width < before)) ? stalled + 1 : 0;
        if (stalled >= 10000) break;
    }
    const double mid = (a + b) * 0.5;
    return std::isfinite(mid) ? mid : a * 0.5 + b * 0.5;  // a + b beyond the double range
}

// The toolkit's interval minimiser for native callers: the bounded Brent
// search with SciPy's defaults and xatol = tol when `use_brent` (the module
// found SciPy), otherwise the golden-section search.
template <class F>
double minimize_on_interval(F&& f, double a, double b, double tol, bool use_brent) {
    if (use_brent) return brent_bounded(std::forward<F>(f), a, b, tol);
    return golden_section(std::forward<F>(f), a, b, tol);
}

}  // namespace vordex
