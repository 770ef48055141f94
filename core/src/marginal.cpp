#include "vordex/core/marginal.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "vordex/core/errors.hpp"
#include "vordex/core/numeric.hpp"
#include "kernels.hpp"

namespace vordex {

namespace {
// Ordering of np.sort: NaN after every number.
inline bool nan_last_less(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

// Insertion sort of the pairs (x[i], y[i]) by x for grids that are sorted up
// to a few rounding-sized descents (a smoothed grid can step back by an ulp
// where two interpolation pieces meet): linear time for those. Gives up
// after a budget of moves and returns how far it got (n when it finished).
// `ties` is set when two neighbours of the sorted part are equal (two NaN
// count as equal): every pair of neighbours is compared when it forms, and a
// later insertion never lands between two equal values.
template <class Less>
std::size_t insertion_pass(uvector& x, uvector& y, Less less, bool& ties) {
    const std::size_t n = x.size();
    std::size_t budget = 8 * n + 64;  // element moves allowed to the insertion pass
    bool eq = false;
    std::size_t i = 1;
    for (; i < n; ++i) {
        const double xi = x[i];
        if (less(x[i - 1], xi)) continue;  // in place already (the usual case)
        if (!less(xi, x[i - 1])) {         // in place, equal to its neighbour
            eq = true;
            continue;
        }
        const double yi = y[i];
        std::size_t j = i;
        while (j > 0 && less(xi, x[j - 1])) {
            x[j] = x[j - 1];
            y[j] = y[j - 1];
            --j;
            if (--budget == 0) break;
        }
        x[j] = xi;
        y[j] = yi;
        if (j > 0) eq |= !less(x[j - 1], xi);
        if (budget == 0) break;
    }
    ties = eq;
    return i;
}

// The points whose density is not NaN, in input order.
void take_with_density(std::span<const double> x, std::span<const double> y, XY& out) {
    out.x.resize(x.size());
    out.y.resize(x.size());
    std::size_t w = 0;
    for (std::size_t i = 0; i < y.size(); ++i) {  // every place written, NaN ones overwritten
        out.x[w] = x[i];
        out.y[w] = y[i];
        w += !std::isnan(y[i]);
    }
    out.x.resize(w);
    out.y.resize(w);
}

// Sorts the points with a density, `m` (taken from x and y by
// take_with_density, or a copy of them when `dropped` is false), by x into
// the order np.argsort gives: NaN last, and equal x in the order its
// introsort leaves them, which is not their input order. When the sorted x
// are all distinct that order is the only one and any sort gives it, so
// nearly sorted grids are finished by insertion; otherwise the introsort
// runs on the points in input order, which x and y still hold.
void sort_by_x(XY& m, std::span<const double> x, std::span<const double> y, bool dropped) {
    const std::size_t n = m.x.size();
    bool ties = false;
    const std::size_t i = kernels::count_nan(m.x.data(), n) != 0
                              ? insertion_pass(m.x, m.y, nan_last_less, ties)
                              : insertion_pass(m.x, m.y, [](double a, double b) { return a < b; }, ties);
    if (i >= n && !ties) return;
    XY taken;
    if (dropped) {
        take_with_density(x, y, taken);
        x = taken.x;
        y = taken.y;
    }
    std::vector<std::size_t> order(n);
    numpy_argsort(x.data(), n, order.data());
    for (std::size_t k = 0; k < n; ++k) {
        m.x[k] = x[order[k]];
        m.y[k] = y[order[k]];
    }
}

// Densities kept by the cleaning: positive and above kEps times the largest
// (the ratio itself is compared, as the definition reads).
inline bool kept(double v, double ymax) { return v > 0.0 && std::fabs(v / ymax) > kEps; }

// The cleaning of a marginal whose x ascend strictly without NaN (NaN
// densities are allowed, not all of them), into `out` (which may hold x and y themselves).
// False, with nothing written, when the marginal is not of that kind.
bool clean_sorted(std::span<const double> x, std::span<const double> y, XY& out, bool in_place = false) {
    const std::size_t n = x.size();
    if (n == 0) return false;
    std::size_t nan_y = 0;
    double ymax = 0.0, ymin = 0.0;
    if (!kernels::sorted_stats(x.data(), y.data(), n, &nan_y, &ymax, &ymin)) return false;
    // NaN densities are dropped by the density test below (NaN is not
    // positive) and take no part in the largest; all NaN is the general
    // path's error. The largest is at least 0: it equals np.max of the
    // densities whenever one of them is positive, and otherwise no density
    // passes the test against either value.
    if (nan_y == n) return false;
    // Usually even the smallest density is clear of the floor: then every
    // one but the NaN is kept, without counting.
    const std::size_t k = kernels::all_above_floor(ymin, ymax, kEps) ? n - nan_y
                                                                     : kernels::count_above_floor(y.data(), n, ymax, kEps);
    if (k < 3) throw ValueError("Marginal too small after filtering. Need >=3 support points.");
    if (k == n) {
        if (!in_place) {
            out.x.assign(x.begin(), x.end());
            out.y.assign(y.begin(), y.end());
        }
        return true;
    }
    // Usually the dropped points are at the ends only (NaN or negligible
    // tails): then the kept ones are one block.
    {
        std::size_t lo = 0, hi = n;
        while (!kept(y[lo], ymax)) ++lo;  // k >= 3, so both stop
        while (!kept(y[hi - 1], ymax)) --hi;
        if (hi - lo == k) {
            if (in_place) {
                std::memmove(out.x.data(), out.x.data() + lo, k * sizeof(double));
                std::memmove(out.y.data(), out.y.data() + lo, k * sizeof(double));
                out.x.resize(k);
                out.y.resize(k);
            } else {
                out.x.assign(x.begin() + lo, x.begin() + hi);
                out.y.assign(y.begin() + lo, y.begin() + hi);
            }
            return true;
        }
    }
    // Every position is written (kept ones advance the write index), so the
    // arrays need all n places until the end.
    if (!in_place) {
        out.x.resize(n);
        out.y.resize(n);
    }
    double* ox = out.x.data();
    double* oy = out.y.data();
    std::size_t w = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = y[i];
        const double xi = x[i];
        ox[w] = xi;
        oy[w] = v;
        w += kept(v, ymax) ? 1 : 0;
    }
    out.x.resize(k);
    out.y.resize(k);
    return true;
}
}  // namespace

XY marginal_fix(XY&& m) {
    if (m.x.size() == m.y.size() && clean_sorted(m.x, m.y, m, true)) return std::move(m);
    return marginal_fix(std::span<const double>(m.x), std::span<const double>(m.y));
}

XY marginal_fix(std::span<const double> x, std::span<const double> y) {
    if (x.size() != y.size()) {
        throw IndexError("boolean index did not match indexed array along dimension 0; dimension is " +
                         std::to_string(x.size()) + " but corresponding boolean dimension is " +
                         std::to_string(y.size()));
    }
    // Common case first: x strictly ascending without NaN (every grid the
    // toolkit produces itself, unless two of its points coincide). Same
    // result as the general path; equal x take that path, which decides
    // their order.
    {
        XY out;
        if (clean_sorted(x, y, out)) return out;
    }
    // The points with a density, in input order, then sorted by x.
    XY out;
    const bool dropped = kernels::count_nan(y.data(), y.size()) != 0;
    if (!dropped) {
        out.x.assign(x.begin(), x.end());
        out.y.assign(y.begin(), y.end());
    } else {
        take_with_density(x, y, out);
    }
    if (out.x.empty()) throw ValueError("Marginal has no finite density points after NaN removal.");
    sort_by_x(out, x, y, dropped);
    const double ymax = kernels::max_no_nan(out.y.data(), out.y.size());
    std::size_t w = out.x.size();
    if (kernels::count_above_floor(out.y.data(), out.y.size(), ymax, kEps) != out.x.size()) {
        w = 0;
        for (std::size_t i = 0; i < out.x.size(); ++i) {
            const double v = out.y[i];
            if (kept(v, ymax)) {
                out.x[w] = out.x[i];
                out.y[w] = v;
                ++w;
            }
        }
    }
    out.x.resize(w);
    out.y.resize(w);
    if (out.x.size() < 3) throw ValueError("Marginal too small after filtering. Need >=3 support points.");
    return out;
}

XY smooth(std::span<const double> x_in, std::span<const double> y_in, const SmoothOptions& opts, bool* settled) {
    if (settled) *settled = false;
    XY m = marginal_fix(x_in, y_in);
    const uvector& x = m.x;
    const std::size_t k = x.size();
    const double xlo = nan_min(x), xhi = nan_max(x);
    const double width = xhi - xlo;
    const double xmin = xlo - opts.extrapolate * width;
    const double xmax = xhi + opts.extrapolate * width;
    uvector xx;
    xx.reserve(k + 2);
    if (opts.extrapolate != 0.0) xx.push_back(xmin);
    xx.insert(xx.end(), x.begin(), x.end());
    if (opts.extrapolate != 0.0) xx.push_back(xmax);
    const std::size_t nx = xx.size();

    std::int64_t n = static_cast<std::int64_t>(nx);
    if (opts.factor > 0) {
        if (opts.factor > kMaxGridPoints / static_cast<std::int64_t>(k)) throw std::bad_alloc();
        n = std::max(n, opts.factor * static_cast<std::int64_t>(k));
    }
    if (nx < 2) throw ValueError("Need at least 2 points to build interpolation.");

    // Square-root t-map.
    uvector dxx(nx - 1);
    for (std::size_t i = 0; i + 1 < nx; ++i) dxx[i] = xx[i + 1] - xx[i];
    const double mean_dx = numpy_mean(dxx.data(), dxx.size());
    const double fnx = static_cast<double>(nx);
    // t = [0, cumsum(sqrt(dx_scaled))]: the steps in one vector pass, then
    // the running sum in order.
    uvector t(nx);
    t[0] = 0.0;
    kernels::tmap_steps(dxx.data(), nx - 1, fnx, mean_dx, t.data() + 1);
    for (std::size_t i = 2; i < nx; ++i) t[i] = t[i - 1] + t[i];
    {
        const double tmin = nan_min(t), tmax = nan_max(t);
        const double span_x = xmax - xmin, span_t = tmax - tmin;
        kernels::rescale(t.data(), nx, span_x, tmin, span_t, xmin);
        // A range near the double range's width makes span_x * (t - tmin)
        // overflow. The monotone interpolants refuse such positions; the
        // linear ones would take them and place every grid point at one end,
        // so the linear path refuses them too. (A range of zero width gives
        // NaN positions instead, which the cleaning refuses as the steps do.)
        if (!opts.spline && span_x > 0.0 && std::isfinite(span_x) && span_t > 0.0 && std::isfinite(span_t) &&
            std::any_of(t.begin(), t.end(), [](double v) { return std::isinf(v); }))
            throw ValueError(kRangeTooWide);
    }

    Interpolant t2x, x2t, S;
    uvector logy(m.y.size());
    vlog(m.y.data(), logy.data(), logy.size());
    // Without extension the input points are the knots of x2t, which is
    // only evaluated there: its values at its own knots are worked out
    // without building it (the same values, and the same errors).
    const bool at_knots = opts.spline && opts.extrapolate == 0.0;
    uvector ti;
    if (opts.spline) {
        t2x = Interpolant::pchip(t, xx);
        if (at_knots) ti = Interpolant::pchip_at_knots(xx, t);
        else x2t = Interpolant::pchip(xx, t);
    } else {
        t2x = Interpolant::linear(t, xx);
        x2t = Interpolant::linear(xx, t);
    }
    const double tmin = nan_min(t), tmax = nan_max(t);
    const std::size_t nn = static_cast<std::size_t>(n);
    const uvector t_lin = linspace(tmin, tmax, nn);
    if (!at_knots) ti = x2t.eval(x);
    if (opts.spline) {
        S = opts.extrapolate != 0.0 ? Interpolant::cubic(ti, logy, true) : Interpolant::pchip(ti, logy);
    } else {
        S = Interpolant::linear(ti, logy);
    }
    XY out;
    out.y.resize(nn);
    out.x.resize(nn);
    const bool grid = linspace_ascends(tmin, tmax);
    Interpolant::eval_pair(S, t2x, t_lin.data(), out.y.data(), out.x.data(), nn, grid);
    if (opts.log) return out;
    vexp(out.y.data(), out.y.data(), out.y.size());
    if (clean_sorted(out.x, out.y, out, true)) {
        if (settled) *settled = true;
        return out;
    }
    return marginal_fix(std::span<const double>(out.x), std::span<const double>(out.y));
}

}  // namespace vordex
