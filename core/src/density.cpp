#include "vordex/core/density.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "vordex/core/errors.hpp"
#include "vordex/core/numeric.hpp"
#include "kernels.hpp"

namespace vordex {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline double clip(double v, double lo, double hi) {
    // np.clip: NaN stays NaN.
    if (std::isnan(v)) return v;
    return std::min(std::max(v, lo), hi);
}
}  // namespace

LogDensity LogDensity::build(std::span<const double> x, std::span<const double> y, bool spline) {
    return from_clean(marginal_fix(x, y), spline);
}

LogDensity LogDensity::from_clean(const XY& m, bool spline) {
    return from_clean(uvector(m.x.begin(), m.x.end()), m.y, spline);
}

LogDensity LogDensity::from_clean(uvector&& x, const uvector& y, bool spline) {
    LogDensity ld;
    // A cleaned marginal ascends with any NaN position last: its ends are its
    // extremes (NaN for both when a position is NaN, as np.min/np.max give).
    ld.xmax = x.back();
    ld.xmin = std::isnan(ld.xmax) ? ld.xmax : x.front();
    uvector logy(y.size());
    vlog(y.data(), logy.data(), logy.size());
    // Splines of more knots than a table has points (2,048 by default) are
    // evaluated at comparatively few points per knot: they keep only their
    // slopes and work out each piece where it is evaluated (the same
    // operations and results), instead of building every piece. Shorter
    // splines are quicker with their pieces built (tables then put several
    // points in each piece).
    constexpr std::size_t kSlopesOnlyAbove = 3000;
    if (!spline) ld.S = Interpolant::linear(std::move(x), std::move(logy));
    else if (x.size() > kSlopesOnlyAbove) ld.S = Interpolant::cubic_slopes_only(std::move(x), std::move(logy));
    else ld.S = Interpolant::cubic(std::move(x), std::move(logy));
    return ld;
}

Prepared::Prepared(std::span<const double> x, std::span<const double> y, bool spline_)
    : spline(spline_) {
    SmoothOptions o;
    o.spline = spline_;
    bool settled = false;
    XY smoothed = smooth(x, y, o, &settled);
    smoothed_y = std::move(smoothed.y);
    if (settled) {
        // Cleaning a smoothed grid whose positions ascend strictly changes
        // nothing (every density passes the test against the same maximum),
        // so the log-density spline is built from it directly.
        ld = LogDensity::from_clean(std::move(smoothed.x), smoothed_y, spline_);
        return;
    }
    // Equal (or NaN) positions: the log-density function cleans the smoothed
    // grid again, and that sort may reorder the densities of equal positions.
    // The positions stay the same; the expectations keep the first order.
    const XY again = marginal_fix(std::span<const double>(smoothed.x), std::span<const double>(smoothed_y));
    ld = LogDensity::from_clean(again, spline_);
}

void density(const LogDensity& ld, const double* in, double* out, std::size_t n, bool log) {
    // The points inside the closed range (a NaN point is not inside) are
    // evaluated together, then exponentiated together; the others get 0
    // (or -inf). `in` and `out` may be the same array.
    std::size_t inside = 0;
    for (std::size_t i = 0; i < n; ++i) inside += (in[i] >= ld.xmin) & (in[i] <= ld.xmax);
    if (inside == n) {
        ld.S.eval(in, out, n);
        if (!log) vexp(out, out, n);
        return;
    }
    const double outside = log ? -kInf : 0.0;
    // Usually the points inside are one block (ascending points reaching
    // past the range): evaluated where they are.
    if (inside > 0) {
        std::size_t first = 0, last = n;
        while (!(in[first] >= ld.xmin && in[first] <= ld.xmax)) ++first;
        while (!(in[last - 1] >= ld.xmin && in[last - 1] <= ld.xmax)) --last;
        if (last - first == inside) {
            ld.S.eval(in + first, out + first, inside);
            if (!log) vexp(out + first, out + first, inside);
            for (std::size_t i = 0; i < first; ++i) out[i] = outside;
            for (std::size_t i = last; i < n; ++i) out[i] = outside;
            return;
        }
    }
    uvector pts(inside);
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (in[i] >= ld.xmin && in[i] <= ld.xmax) pts[k++] = in[i];
    ld.S.eval(pts.data(), pts.data(), inside);
    if (!log) vexp(pts.data(), pts.data(), inside);
    k = 0;
    for (std::size_t i = 0; i < n; ++i) out[i] = (in[i] >= ld.xmin && in[i] <= ld.xmax) ? pts[k++] : outside;
}

void check_table_total(double total) {
    if (!(total > 0.0) || !std::isfinite(total))
        throw ValueError(
            "The marginal's density underflows or overflows on its range: it has no usable probability mass "
            "(rescale the densities).");
}

void check_length(std::int64_t length) {
    if (length < 0) {
        // The smallest value stands for any negative number beyond the range.
        const std::string got = length == std::numeric_limits<std::int64_t>::min() ? std::string("a huge negative number")
                                                                                   : std::to_string(length);
        throw ValueError("length must be at least 2 (got " + got + ").");
    }
    if (length < 2)
        throw IndexError("length must be at least 2 (got " + std::to_string(length) + ").");
    if (length > kMaxGridPoints) throw std::bad_alloc();
}

CdfTable cdf_table(const LogDensity& ld, std::int64_t length) {
    check_length(length);
    const std::size_t L = static_cast<std::size_t>(length);
    CdfTable t;
    t.xx = linspace(ld.xmin, ld.xmax, L);
    uvector ef = ld.S.eval(t.xx);
    vexp(ef.data(), ef.data(), L);
    const double dx = t.xx[1] - t.xx[0];
    // At positions far from zero a range only a few ulps wide holds fewer
    // doubles than the table has points: the step rounds to zero and every
    // increment is 0 (NaN where a density overflows).
    if (dx == 0.0)
        throw ValueError("The marginal's range is too narrow for a table of " + std::to_string(L) +
                         " points: the step between them rounds to zero at these positions (shift the positions "
                         "nearer to zero or widen the range).");
    t.cdf.resize(L);
    t.cdf[0] = 0.0;
    double run = 0.0;
    for (std::size_t k = 0; k + 1 < L; ++k) {
        const double inc = (0.5 * (ef[k] + ef[k + 1])) * dx;
        run = (k == 0) ? inc : run + inc;
        t.cdf[k + 1] = run;
    }
    const double last = t.cdf[L - 1];
    check_table_total(last);
    kernels::divide_by(t.cdf.data(), t.cdf.size(), last);
    return t;
}

CdfFunction::CdfFunction(const LogDensity& ld, CdfTable t, bool spline, std::size_t points)
    : lo_(ld.xmin), hi_(ld.xmax),
      F_(spline ? Interpolant::pchip_deferred(std::move(t.xx), std::move(t.cdf))
                : Interpolant::linear(std::move(t.xx), std::move(t.cdf))) {
    prepare_for(F_, points);
}

void prepare_for(Interpolant& F, std::size_t points) {
    // Deferred pieces cost about a build of 1.5 knots per ascending point
    // (their slopes and coefficients are worked out per point), plus the
    // gathering of each point's knots.
    if (F.deferred() && points * 3 > F.size() * 2) F.materialize();
}

// A table on knots closer than about 1e-100 makes the power form of its
// PCHIP pieces overflow (inf * 0 at the knots, NaN or inf between them): such
// values are taken from the scaled form of the same piece instead.
double CdfFunction::operator()(double q) const {
    const double v = clip(q, lo_, hi_);
    const double r = F_(v);
    if (std::isfinite(r) || std::isnan(v) || F_.kind() != InterpKind::Pchip) return r;
    return F_.pchip_scaled(v);
}

void CdfFunction::eval(const double* in, double* out, std::size_t n) const {
    std::vector<double> kept;
    if (in == out) kept.assign(in, in + n);  // the points are needed again below
    const double* pts = (in == out) ? kept.data() : in;
    for (std::size_t i = 0; i < n; ++i) out[i] = clip(pts[i], lo_, hi_);
    F_.eval_unordered(out, out, n);
    if (F_.kind() != InterpKind::Pchip) return;
    bool all_finite = true;
    for (std::size_t i = 0; i < n; ++i) all_finite &= std::isfinite(out[i]) || std::isnan(pts[i]);
    if (all_finite) return;
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(out[i]) && !std::isnan(pts[i])) out[i] = F_.pchip_scaled(clip(pts[i], lo_, hi_));
}

namespace {
template <class V>
void collapse_flat_ends_impl(V& cdf, V& xx) {
    if (cdf.size() != xx.size())
        throw ValueError("A cumulative table needs as many abscissae as probabilities.");
    const auto within = [&](std::size_t k, double v) { return std::fabs(cdf[k] - v) <= kEps; };
    for (double v : {0.0, 1.0}) {
        // Usually at most one entry is that close: nothing to remove.
        const std::size_t count = kernels::count_within(cdf.data(), cdf.size(), v, kEps);
        if (count <= 1) continue;
        // A cumulative table ascends, so the entries that close to 0 are its
        // first ones and those that close to 1 its last ones: the repeats to
        // remove are then one block after the first entry of the run.
        const std::size_t n = cdf.size();
        const std::size_t first = (v == 0.0) ? 0 : n - count;
        bool block = true;
        for (std::size_t k = first; k < first + count && block; ++k) block = within(k, v);
        if (block) {
            std::copy(cdf.begin() + static_cast<std::ptrdiff_t>(first + count), cdf.end(),
                      cdf.begin() + static_cast<std::ptrdiff_t>(first + 1));
            std::copy(xx.begin() + static_cast<std::ptrdiff_t>(first + count), xx.end(),
                      xx.begin() + static_cast<std::ptrdiff_t>(first + 1));
            cdf.resize(n - count + 1);
            xx.resize(n - count + 1);
            continue;
        }
        // Otherwise keep the first entry that close and drop the others,
        // wherever they are.
        std::size_t w = 0;
        bool seen = false;
        for (std::size_t k = 0; k < n; ++k) {
            const bool close = within(k, v);
            if (close && seen) continue;
            seen = seen || close;
            cdf[w] = cdf[k];
            xx[w] = xx[k];
            ++w;
        }
        cdf.resize(w);
        xx.resize(w);
    }
}
}  // namespace

void collapse_flat_ends(std::vector<double>& cdf, std::vector<double>& xx) { collapse_flat_ends_impl(cdf, xx); }
void collapse_flat_ends(uvector& cdf, uvector& xx) { collapse_flat_ends_impl(cdf, xx); }

QuantileFunction::QuantileFunction(CdfTable t, bool spline, std::size_t points) {
    if (t.cdf.empty() && t.xx.empty()) throw ValueError("A cumulative table needs at least one entry.");
    collapse_flat_ends(t.cdf, t.xx);
    p_last_ = t.cdf.back();
    x_last_ = t.xx.back();
    F_ = spline ? Interpolant::pchip_deferred(std::move(t.cdf), std::move(t.xx))
                : Interpolant::linear(std::move(t.cdf), std::move(t.xx));
    prepare_for(F_, points);
}

double QuantileFunction::operator()(double p) const {
    const double pp = clip(p, 0.0, 1.0);
    if (pp > p_last_) return x_last_;
    return F_(pp);
}

void QuantileFunction::eval(const double* in, double* out, std::size_t n) const {
    if (n < 64) {
        for (std::size_t i = 0; i < n; ++i) out[i] = (*this)(in[i]);
        return;
    }
    // Clip, evaluate all at once (any order), then the points beyond the last
    // knot. `in` and `out` may be the same array.
    uvector pp(n);
    for (std::size_t i = 0; i < n; ++i) pp[i] = clip(in[i], 0.0, 1.0);
    F_.eval_unordered(pp.data(), out, n);
    for (std::size_t i = 0; i < n; ++i)
        if (pp[i] > p_last_) out[i] = x_last_;
}

std::vector<double> simpson_odd_grid(std::span<const double> x) {
    const std::size_t n = x.size();
    std::vector<double> d(n);
    if (n == 0) return d;
    // 0.5 * ([dx, 0] + [0, dx])
    for (std::size_t k = 0; k < n; ++k) {
        const double right = (k + 1 < n) ? x[k + 1] - x[k] : 0.0;
        const double left = (k > 0) ? x[k] - x[k - 1] : 0.0;
        d[k] = 0.5 * (right + left);
    }
    return d;
}

namespace {
// Quadrature weights: w[i] = y[i] * d[i], with d the interval weights of
// simpson_odd_grid, exactly as the steps form them, whenever every such
// product is a normal number (or 0 because d[i] is) and the sums of the
// function's values times them stay finite: then the sums and their ratio are
// the steps' own arithmetic. Otherwise (densities or spacings near the ends
// of the double range, values times weights that underflow, or sums that
// overflow) the weights are formed as (y[i] * 2^e) * (d[i] * 2^g), powers of
// two chosen by rescaled_weights: exact scalings, so the weights are y[i] *
// d[i] times one power of two and the ratios are unchanged, but sized for
// the sums to stay in range.
struct WeightScales {
    int e = 0;           // the densities' exponent shift
    double y = 1.0;      // 2^e, or 0 when it is out of range
    double d = 1.0;      // 2^g (1 when the range is not a normal positive number)
    bool plain = true;   // the steps' own weights, checked as they are formed
};

int log2_floor(double v) { return v > 0.0 ? (std::isfinite(v) ? std::ilogb(v) : 2000) : -1100; }

// The rescaled weights: the largest density brought to [1, 2) and the
// spacings scaled so that fmax times the weights' sum is about 2^1000 (the
// weights' sum at most 2^1002 where fmax is below 1): the sums of values
// times weights neither overflow nor, as far as the values allow, underflow.
WeightScales rescaled_weights(double ymax, double range, double fmax) {
    WeightScales s;
    s.plain = false;
    s.e = (ymax > 0.0 && std::isfinite(ymax)) ? -std::ilogb(ymax) : 0;
    if (range > 0.0 && std::isfinite(range)) {
        int g = std::min(1000 - log2_floor(fmax), 1000) - std::ilogb(range);
        // A factor beyond 2^1000 (a narrow range) is shared with the
        // densities', which it brings to at most 2^1001: the weights then
        // stay finite even for ranges below 2^-1023, where the whole factor
        // would overflow the densities (their sums still far from underflow).
        if (g > 1000) {
            s.e += std::min(g - 1000, 1000);
            g = 1000;
        }
        s.d = std::ldexp(1.0, g);
    }
    const double sy = std::ldexp(1.0, s.e);
    s.y = (std::isfinite(sy) && sy > 0.0) ? sy : 0.0;
    return s;
}

// The plain weights sum to at most ymax * range, so every sum of the
// quadrature of values up to fmax in magnitude stays below 4 fmax ymax range:
// true when that is below 2^1019.
bool plain_sums_fit(double ymax, double range, double fmax) {
    return ymax == 0.0 || range == 0.0 || log2_floor(std::max(fmax, 1.0)) + log2_floor(ymax) + log2_floor(range) <= 1013;
}

// The weights for scales s (with the odd and even interior ones also written
// contiguously, for the pairwise sums). For the plain scales, false when a
// weight is out of range (and the weights are then of no use).
bool quadrature_weights(const double* x, const double* y, std::size_t n, const WeightScales& s, double* w,
                        double* odd, double* even) {
    if (s.plain) {
        if (!kernels::plain_quadrature_weights(x, y, n, w)) return false;
    } else if (s.y > 0.0) {
        kernels::quadrature_weights(x, y, n, s.y, s.d, w);
    } else {  // 2^e itself is out of range: scale each value
        for (std::size_t i = 0; i < n; ++i) {
            const double right = (i + 1 < n) ? x[i + 1] - x[i] : 0.0;
            const double left = (i > 0) ? x[i] - x[i - 1] : 0.0;
            w[i] = std::ldexp(y[i], s.e) * ((0.5 * (right + left)) * s.d);
        }
    }
    std::size_t j = 0;
    for (std::size_t i = 1; i + 1 < n; i += 2) odd[j++] = w[i];
    j = 0;
    for (std::size_t i = 2; i + 1 < n; i += 2) even[j++] = w[i];
    return true;
}

// The expectations with the weights of scales s (plain or rescaled), chosen
// as described above: the plain ones first when their sums can stay finite,
// kept when they are in range and the results are finite, unless a numerator
// is so small that products which underflowed could have moved it (below
// n 2^-969) and the rescaled weights are larger; kept with results that are
// not finite when the sums could not have overflowed (`fmax()`, the values'
// largest finite magnitude, is asked only in these cases); the rescaled ones
// otherwise. Where the
// plain sums are exact up to rounding, the rescaled ones are the same
// operations on numbers scaled by one power of two: the same ratios, bit for
// bit. `sums(s, &in_range, &numer_min)` computes.
template <class Sums, class Fmax>
std::vector<double> with_weights(const double* x, const double* y, std::size_t n, Sums sums, Fmax fmax) {
    const double ymax = n ? kernels::positive_max(y, n) : 0.0;
    const double range = n >= 2 ? x[n - 1] - x[0] : 0.0;
    double largest = -1.0;  // fmax(), once asked
    bool in_range = true;
    double numer_min = 0.0;
    if (plain_sums_fit(ymax, range, 1.0)) {
        std::vector<double> r = sums(WeightScales{}, &in_range, &numer_min);
        if (in_range) {
            bool finite = true;
            for (double v : r) finite = finite && std::isfinite(v);
            const bool tiny = numer_min < std::ldexp(static_cast<double>(n), -969);
            if (finite && !tiny) return r;
            largest = fmax();
            if (!finite) {
                // Values that are not finite themselves, or an overflow
                // (then the rescaled weights).
                if (plain_sums_fit(ymax, range, largest)) return r;
            } else {
                // A numerator near the subnormal range: the rescaled weights
                // only where they are larger than the plain ones (products
                // further from underflow; where nothing underflowed, the same
                // bits).
                const int gain = std::min(1000 - log2_floor(largest), 1000) - log2_floor(ymax) - log2_floor(range);
                if (gain <= 0) return r;
            }
        }
    }
    if (largest < 0.0) largest = fmax();
    return sums(rescaled_weights(ymax, range, largest), &in_range, &numer_min);
}

// Two-column sums f0(i), f1(i) for n >= 4 and a scale in range, with the
// quadrature's weights, sums and order: each interior weight (y scale) *
// (0.5 (right + left)) is formed where it is used; the odd and even ones are
// also kept for the pairwise sums.
// For long grids, whose arrays would be written and read back from memory:
// on short ones the weights' own vectorised pass is quicker (the sums'
// chains leave no room for the weights' arithmetic).
constexpr std::size_t kOnePassAbove = 65536;
template <class F0, class F1>
std::vector<double> two_columns(const double* xs, const double* ys, std::size_t n, const WeightScales& s, F0 f0,
                                F1 f1, bool* in_range, double* numer_min) {
    const double scale = s.y, dscale = s.d;
    const auto weight = [&](std::size_t i) {
        return (ys[i] * scale) * ((0.5 * ((xs[i + 1] - xs[i]) + (xs[i] - xs[i - 1]))) * dscale);
    };
    const double w0 = (ys[0] * scale) * ((0.5 * ((xs[1] - xs[0]) + 0.0)) * dscale);
    const double wl = (ys[n - 1] * scale) * ((0.5 * (0.0 + (xs[n - 1] - xs[n - 2]))) * dscale);
    const std::size_t nodd = (n - 1) / 2, neven = (n - 2) / 2;
    uvector odd(nodd + 1), even(neven + 1);
    const double w1 = weight(1), w2 = weight(2);
    odd[0] = w1;
    even[0] = w2;
    // The smallest weight (none overflows: plain weights are used only when
    // ymax * range is far below the largest double; a NaN weight gives NaN).
    double lo = std::min(std::min(w0, wl), std::min(w1, w2));
    // Running sums start from NumPy's identity, +0.0 (so -0.0 terms sum to +0.0).
    double a0 = 0.0 + f0(1) * w1, a1 = 0.0 + f1(1) * w1;
    double b0 = 0.0 + f0(2) * w2, b1 = 0.0 + f1(2) * w2;
    std::size_t i = 3, j = 1;
    for (; i + 2 < n; i += 2, ++j) {
        const double wo = weight(i), we = weight(i + 1);
        odd[j] = wo;
        even[j] = we;
        lo = std::min(lo, std::min(wo, we));
        a0 = a0 + f0(i) * wo;
        a1 = a1 + f1(i) * wo;
        b0 = b0 + f0(i + 1) * we;
        b1 = b1 + f1(i + 1) * we;
    }
    if (i + 1 < n) {
        const double wo = weight(i);
        odd[j] = wo;
        lo = std::min(lo, wo);
        a0 = a0 + f0(i) * wo;
        a1 = a1 + f1(i) * wo;
    }
    // Plain weights are of use when all are normal numbers (a zero weight
    // from repeated positions sends the sums to the rescaled weights, which
    // give the same ratio).
    *in_range = !s.plain || lo >= 0x1p-1022;
    const double denom = w0 + wl + 4.0 * numpy_sum(odd.data(), nodd) + 2.0 * numpy_sum(even.data(), neven);
    const double n0 = f0(0) * w0 + f0(n - 1) * wl + 4.0 * a0 + 2.0 * b0;
    const double n1 = f1(0) * w0 + f1(n - 1) * wl + 4.0 * a1 + 2.0 * b1;
    *numer_min = std::min(std::fabs(n0), std::fabs(n1));
    return {n0 / denom, n1 / denom};
}

// expectation() with the weights of scales s.
std::vector<double> expectation_scaled(std::span<const double> x, std::span<const double> y, const double* f,
                                       std::size_t k, const WeightScales& s, bool* in_range, double* numer_min) {
    const std::size_t n = x.size();
    if (k == 2 && n > kOnePassAbove && s.y > 0.0) {
        // The common two-column case (first and second moments) in one pass.
        return two_columns(x.data(), y.data(), n, s, [f](std::size_t i) { return f[2 * i]; },
                           [f](std::size_t i) { return f[2 * i + 1]; }, in_range, numer_min);
    }
    const std::size_t nodd = n >= 2 ? (n - 1) / 2 : 0, neven = n >= 3 ? (n - 2) / 2 : 0;
    uvector w(n), odd(nodd + 1), even(neven + 1);
    if (!quadrature_weights(x.data(), y.data(), n, s, w.data(), odd.data(), even.data())) {
        *in_range = false;
        return {};
    }

    // Alternating sum of a column set: arr[0] + arr[n-1] + 4*sum(odd rows) +
    // 2*sum(even interior rows). A single column is summed pairwise (as NumPy
    // reduces a contiguous vector), several columns row by row.
    const double denom = w[0] + w[n - 1] + 4.0 * numpy_sum(odd.data(), nodd) + 2.0 * numpy_sum(even.data(), neven);
    std::vector<double> res(k);
    if (k == 1) {
        for (std::size_t i = 1, j = 0; i + 1 < n; i += 2) odd[j++] = f[i] * w[i];
        for (std::size_t i = 2, j = 0; i + 1 < n; i += 2) even[j++] = f[i] * w[i];
        const double numer = f[0] * w[0] + f[n - 1] * w[n - 1] + 4.0 * numpy_sum(odd.data(), nodd) +
                             2.0 * numpy_sum(even.data(), neven);
        *numer_min = std::fabs(numer);
        res[0] = numer / denom;
        return res;
    }
    // Row-by-row sums: one running sum per column and index set, each
    // advanced in row order (the columns are independent chains), from
    // NumPy's identity +0.0 (so -0.0 terms sum to +0.0).
    std::vector<double> s4(k, 0.0), s2(k, 0.0);
    if (k == 2 && n >= 4) {
        // The common two-column case (first and second moments) with the
        // four running sums in registers.
        double a0 = 0.0 + f[2] * w[1], a1 = 0.0 + f[3] * w[1];
        double b0 = 0.0 + f[4] * w[2], b1 = 0.0 + f[5] * w[2];
        std::size_t i = 3;
        for (; i + 2 < n; i += 2) {
            a0 = a0 + f[2 * i] * w[i];
            a1 = a1 + f[2 * i + 1] * w[i];
            b0 = b0 + f[2 * i + 2] * w[i + 1];
            b1 = b1 + f[2 * i + 3] * w[i + 1];
        }
        if (i + 1 < n) {
            a0 = a0 + f[2 * i] * w[i];
            a1 = a1 + f[2 * i + 1] * w[i];
        }
        s4[0] = a0;
        s4[1] = a1;
        s2[0] = b0;
        s2[1] = b1;
    } else if (n >= 3) {
        for (std::size_t j = 0; j < k; ++j) s4[j] = 0.0 + f[1 * k + j] * w[1];
        if (n >= 4)
            for (std::size_t j = 0; j < k; ++j) s2[j] = 0.0 + f[2 * k + j] * w[2];
        for (std::size_t i = 3; i + 1 < n; i += 2)
            for (std::size_t j = 0; j < k; ++j) s4[j] = s4[j] + f[i * k + j] * w[i];
        for (std::size_t i = 4; i + 1 < n; i += 2)
            for (std::size_t j = 0; j < k; ++j) s2[j] = s2[j] + f[i * k + j] * w[i];
    }
    *numer_min = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < k; ++j) {
        const double numer = f[j] * w[0] + f[(n - 1) * k + j] * w[n - 1] + 4.0 * s4[j] + 2.0 * s2[j];
        *numer_min = std::min(*numer_min, std::fabs(numer));
        res[j] = numer / denom;
    }
    return res;
}

}  // namespace

void check_grid(std::span<const double> x, std::span<const double> y) {
    if (x.size() != y.size()) throw ValueError("The grid needs as many densities as positions.");
    if (x.empty()) throw ValueError("The grid is empty.");
}

std::vector<double> expectation(std::span<const double> x, std::span<const double> y, const double* f,
                                std::size_t k) {
    check_grid(x, y);
    const std::size_t n = x.size();
    return with_weights(
        x.data(), y.data(), n,
        [&](const WeightScales& s, bool* in_range, double* numer_min) {
            return expectation_scaled(x, y, f, k, s, in_range, numer_min);
        },
        [&] { return kernels::largest_finite_magnitude(f, n * k); });
}

std::vector<double> expectation_x_x2(std::span<const double> x, std::span<const double> y) {
    check_grid(x, y);
    const std::size_t n = x.size();
    const double* xs = x.data();
    if (n > kOnePassAbove) {
        // x ascends: its largest magnitudes, and those of x * x, are at its ends.
        const double ends[4] = {xs[0], xs[n - 1], xs[0] * xs[0], xs[n - 1] * xs[n - 1]};
        return with_weights(
            xs, y.data(), n,
            [&](const WeightScales& s, bool* in_range, double* numer_min) {
                if (s.y > 0.0)
                    return two_columns(xs, y.data(), n, s, [xs](std::size_t i) { return xs[i]; },
                                       [xs](std::size_t i) { return xs[i] * xs[i]; }, in_range, numer_min);
                // subnormal densities: with the table of values
                uvector f(checked_mul(n, 2));
                for (std::size_t i = 0; i < n; ++i) {
                    f[2 * i] = x[i];
                    f[2 * i + 1] = x[i] * x[i];
                }
                return expectation_scaled(x, y, f.data(), 2, s, in_range, numer_min);
            },
            [&] { return kernels::largest_finite_magnitude(ends, 4); });
    }
    // Shorter grids: with the table of values.
    uvector f(checked_mul(n, 2));
    for (std::size_t i = 0; i < n; ++i) {
        f[2 * i] = x[i];
        f[2 * i + 1] = x[i] * x[i];
    }
    return expectation(x, y, f.data(), 2);
}

}  // namespace vordex
