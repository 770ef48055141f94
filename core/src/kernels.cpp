// Loops of independent arithmetic, compiled once per vector width (see
// kernels.hpp).
#include "kernels.hpp"

#include "vordex/core/interp.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vordex::kernels {

VX_CLONES void hermite_block(const double* __restrict h, const double* __restrict m, const double* __restrict b,
                             const double* __restrict y, double* __restrict c, std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
        const double hh = h[i];
        const double slope = m[i];
        const double t = (b[i] + b[i + 1] - 2 * slope) / hh;
        c[4 * i] = t / hh;
        c[4 * i + 1] = (slope - b[i]) / hh - t;
        c[4 * i + 2] = b[i];
        c[4 * i + 3] = y[i];
    }
}

namespace {
// One pass: spacings, slopes and the count of failed checks (a spacing that
// is not positive; x - x is 0 for a finite value, NaN otherwise).
[[gnu::always_inline]] inline long segments_run(const double* __restrict x, const double* __restrict y,
                                                double* __restrict h, double* __restrict m, std::size_t n) {
    long bad = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double hi = x[i + 1] - x[i];
        h[i] = hi;
        m[i] = (y[i + 1] - y[i]) / hi;
        bad += !(hi > 0.0) + !(x[i] - x[i] == 0.0) + !(y[i] - y[i] == 0.0);
    }
    if (n > 0) bad += !(x[n - 1] - x[n - 1] == 0.0) + !(y[n - 1] - y[n - 1] == 0.0);
    return bad;
}
}  // namespace

VX_CLONES bool spread_within(const double* __restrict x, const double* __restrict y, std::size_t n,
                             double smallest, double largest) {
    long bad = !(x[n - 1] - x[0] <= largest);
    for (std::size_t i = 0; i + 1 < n; ++i)
        bad += !(x[i + 1] - x[i] >= smallest) + !(std::fabs(y[i + 1] - y[i]) <= largest);
    return bad == 0;
}

VX_CLONES bool segments_block(const double* __restrict x, const double* __restrict y, double* __restrict h,
                               double* __restrict m, std::size_t n) {
    return segments_run(x, y, h, m, n) == 0;
}

VX_CLONES void slopes_pieces_at(const double* __restrict x, const double* __restrict y,
                                const double* __restrict d, const std::uint32_t* __restrict interval,
                                const double* in, double* out, std::size_t n) {
    // The operations of Interpolant::slopes_coefficients and cubic_at; the
    // points are independent, so their divisions overlap (and vectorise).
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = interval[k];
        const double hh = x[i + 1] - x[i];
        const double slope = (y[i + 1] - y[i]) / hh;
        const double t = (d[i] + d[i + 1] - 2 * slope) / hh;
        const double c0 = t / hh;
        const double c1 = (slope - d[i]) / hh - t;
        out[k] = cubic_at(c0, c1, d[i], y[i], in[k] - x[i]);
    }
}

namespace {
// Number of the S knots w[0..S) at or below v (S a multiple of 4), in vectors.
template <std::size_t S>
[[gnu::always_inline]] inline long count_at_or_below(const double* w, double v) {
    typedef double d4 __attribute__((vector_size(32)));
    typedef long long l4 __attribute__((vector_size(32)));
    l4 acc = {};
    for (std::size_t t = 0; t < S; t += 4) {
        d4 q;
        __builtin_memcpy(&q, w + t, sizeof q);
        acc += q <= v;  // -1 where true
    }
    return -(acc[0] + acc[1] + acc[2] + acc[3]);
}

// The points from k on, while they ascend (Unordered false: stops at the
// first point below the previous one and returns its index) or all of them.
// c: a knot at or below the previous point, where the next walk starts.
// The count of the last stride is not needed by the next point's walk, so
// the points' counts overlap. Unordered points have a point far ahead
// searched for: walks from where such points happen to be would cost the
// distance each time (ascending points pass each knot once in all).
template <std::size_t S, bool Unordered>
[[gnu::always_inline]] inline std::size_t intervals_run(const double* xs, std::size_t nx, const double* in,
                                                        std::size_t k, std::size_t n, std::uint32_t* interval,
                                                        std::size_t& c, std::size_t& outside) {
    const double a = xs[0], b = xs[nx - 1];
    const std::size_t last = nx - 1;
    for (; k < n; ++k) {
        const double v = in[k];
        if (!(a <= v && v < b)) {
            interval[k] = kNoInterval;
            ++outside;
            continue;
        }
        if (v < xs[c]) {
            if constexpr (!Unordered) return k;
            c = static_cast<std::size_t>(std::upper_bound(xs, xs + last, v) - xs) - 1;
        }
        std::size_t r;
        if constexpr (S == 1) {
            if constexpr (Unordered) c = walk_up(xs, c, last, v);  // v < b = xs[last]
            else
                while (v >= xs[c + 1]) ++c;  // stops before last, as v < b
            r = c;
        } else {
            if constexpr (Unordered) {
                const std::size_t probe = last - c > 16 * S ? c + 16 * S : last;
                if (v >= xs[probe]) c = search_up(xs, probe, last, v);
            }
            while (c + S <= last && v >= xs[c + S]) c += S;
            if (c + S <= last) {
                r = c - 1 + static_cast<std::size_t>(count_at_or_below<S>(xs + c, v));  // xs[c] <= v counts
            } else {
                r = c;
                while (v >= xs[r + 1]) ++r;  // fewer than S knots
            }
        }
        interval[k] = static_cast<std::uint32_t>(r);
    }
    return n;
}

template <std::size_t S>
[[gnu::always_inline]] inline std::size_t find_intervals_by(const double* xs, std::size_t nx, const double* in,
                                                            std::size_t n, std::uint32_t* interval) {
    std::size_t c = 0, outside = 0;
    const std::size_t k = intervals_run<S, false>(xs, nx, in, 0, n, interval, c, outside);
    if (k < n) (void)intervals_run<S, true>(xs, nx, in, k, n, interval, c, outside);
    return outside;
}
}  // namespace

VX_CLONES std::size_t find_intervals(const double* xs, std::size_t nx, const double* in, std::size_t n,
                                     std::uint32_t* interval, std::size_t stride) {
    if (stride >= 32) return find_intervals_by<32>(xs, nx, in, n, interval);
    if (stride >= 8) return find_intervals_by<8>(xs, nx, in, n, interval);
    return find_intervals_by<1>(xs, nx, in, n, interval);
}

VX_CLONES bool lane_segments(const double* __restrict x, const double* __restrict y, std::size_t lanes,
                             std::size_t stride, std::size_t count, double* __restrict h, double* __restrict m,
                             std::size_t out_stride) {
    long bad = 0;
    for (std::size_t j = 0; j < lanes; ++j)
        bad += segments_run(x + j * stride, y + j * stride, h + j * out_stride, m + j * out_stride, count);
    return bad == 0;
}

VX_CLONES void lane_spacings(const double* __restrict x, std::size_t lanes, std::size_t stride, std::size_t count,
                             double* __restrict h, std::size_t out_stride) {
    for (std::size_t j = 0; j < lanes; ++j) {
        const double* xj = x + j * stride;
        double* hj = h + j * out_stride;
        for (std::size_t i = 0; i < count; ++i) hj[i] = xj[i + 1] - xj[i];
    }
}

VX_CLONES void notaknot_rows(const double* __restrict h, const double* __restrict m, double* __restrict d,
                             double* __restrict b, double* __restrict du, double* __restrict dl, std::size_t n) {
    for (std::size_t i = 1; i + 1 < n; ++i) {
        d[i] = 2 * (h[i - 1] + h[i]);
        b[i] = 3 * (h[i] * m[i - 1] + h[i - 1] * m[i]);
        du[i] = h[i - 1];
        dl[i - 1] = h[i];
    }
}


VX_CLONES std::size_t count_unsorted_or_nan(const double* __restrict x, const double* __restrict y, std::size_t n) {
    long bad = 0;
    for (std::size_t i = 0; i < n; ++i) bad += (x[i] != x[i]) + (y[i] != y[i]);
    for (std::size_t i = 1; i < n; ++i) bad += (x[i] < x[i - 1]);
    return static_cast<std::size_t>(bad);
}

VX_CLONES bool ascending_no_nan(const double* v, std::size_t n) {
    if (n == 1) return v[0] == v[0];
    long bad = 0;
    for (std::size_t i = 1; i < n; ++i) bad += !(v[i - 1] <= v[i]);  // false for a NaN on either side
    return bad == 0;
}

namespace {
// The extreme of n values under `first` (true when its first argument should
// replace the second), kept in eight independent lanes so that the loop
// vectorises; lanes start at `init`. Comparisons only: the lanes' order does
// not change the value found.
template <class First>
[[gnu::always_inline]] inline double extreme8(const double* __restrict v, std::size_t n, double init, First first) {
    double m[8];
    for (int j = 0; j < 8; ++j) m[j] = init;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int j = 0; j < 8; ++j) m[j] = first(v[i + j], m[j]) ? v[i + j] : m[j];
    for (; i < n; ++i) m[0] = first(v[i], m[0]) ? v[i] : m[0];
    double r = m[0];
    for (int j = 1; j < 8; ++j) r = first(m[j], r) ? m[j] : r;
    return r;
}
constexpr auto kGreater = [](double a, double b) { return a > b; };
constexpr auto kLess = [](double a, double b) { return a < b; };
}  // namespace

VX_CLONES double max_no_nan(const double* __restrict y, std::size_t n) { return extreme8(y, n, y[0], kGreater); }

VX_CLONES bool sorted_stats(const double* __restrict x, const double* __restrict y, std::size_t n,
                            std::size_t* nan_y, double* ymax, double* ymin) {
    // One pass: the pairs of x not strictly ascending (NaN among them), the NaN of y,
    // the largest of 0 and the y that are not NaN, and the smallest y that is
    // not NaN, in eight lanes (two vectors of four; a NaN never replaces a
    // lane's value).
    typedef double d4 __attribute__((vector_size(32)));
    typedef long long l4 __attribute__((vector_size(32)));
    // Loads through a reference: a vector returned by value would change
    // the calling convention between the builds for different widths.
    const auto load = [](d4& v, const double* p) { __builtin_memcpy(&v, p, sizeof v); };
    long bad = (n == 1) & (x[0] != x[0]), nans = 0;
    const double inf = __builtin_inf();
    d4 m0 = {}, m1 = {}, s0 = d4{} + inf, s1 = s0;
    l4 bad4 = {}, nan4 = {};
    std::size_t i = 0;
    for (; i + 9 <= n; i += 8) {
        d4 v0, v1, xa, xb, xc, xd;
        load(v0, y + i);
        load(v1, y + i + 4);
        load(xa, x + i);
        load(xb, x + i + 1);
        load(xc, x + i + 4);
        load(xd, x + i + 5);
        m0 = v0 > m0 ? v0 : m0;
        m1 = v1 > m1 ? v1 : m1;
        s0 = v0 < s0 ? v0 : s0;
        s1 = v1 < s1 ? v1 : s1;
        nan4 += (v0 != v0) + (v1 != v1);    // -1 per NaN
        bad4 += (xa < xb) + (xc < xd);      // -1 per ordered pair
    }
    nans -= nan4[0] + nan4[1] + nan4[2] + nan4[3];
    bad += static_cast<long>(i) + (bad4[0] + bad4[1] + bad4[2] + bad4[3]);  // pairs checked minus ordered ones
    double m[8] = {m0[0], m0[1], m0[2], m0[3], m1[0], m1[1], m1[2], m1[3]};
    double sm[8] = {s0[0], s0[1], s0[2], s0[3], s1[0], s1[1], s1[2], s1[3]};
    for (; i < n; ++i) {
        m[0] = y[i] > m[0] ? y[i] : m[0];
        sm[0] = y[i] < sm[0] ? y[i] : sm[0];
        nans += y[i] != y[i];
        if (i + 1 < n) bad += !(x[i] < x[i + 1]);
    }
    double r = m[0], q = sm[0];
    for (int j = 1; j < 8; ++j) {
        r = m[j] > r ? m[j] : r;
        q = sm[j] < q ? sm[j] : q;
    }
    *nan_y = static_cast<std::size_t>(nans);
    *ymax = r;
    *ymin = q;
    return bad == 0;
}

VX_CLONES std::size_t count_above_floor(const double* __restrict y, std::size_t n, double ymax, double eps) {
    // Without a division per density when none lies near the floor: a
    // density above eps * ymax * (1 + 2^-40) has a ratio (rounded) above
    // eps, one below eps * ymax * (1 - 2^-40) a ratio below it (the two
    // thresholds are within a few roundings of those products while they are
    // normal numbers). Only densities between them need the ratio itself.
    if (ymax >= 0x1p-970 && ymax <= 0x1p1000 && eps > 0.0 && eps < 1.0) {
        const double hi = ymax * (eps * (1.0 + 0x1p-40)), lo = ymax * (eps * (1.0 - 0x1p-40));
        long above = 0, near = 0;
        for (std::size_t i = 0; i < n; ++i) {
            above += y[i] > hi;
            near += (y[i] >= lo) & (y[i] <= hi);
        }
        if (near == 0) return static_cast<std::size_t>(above);
    }
    long kept = 0;
    for (std::size_t i = 0; i < n; ++i) kept += (y[i] > 0.0) & (std::fabs(y[i] / ymax) > eps);
    return static_cast<std::size_t>(kept);
}

VX_CLONES double largest_finite_magnitude(const double* __restrict v, std::size_t n) {
    double m[8] = {};
    const auto take = [](double x, double cur) {
        const double a = __builtin_fabs(x);
        return (a > cur && a <= 0x1.fffffffffffffp1023) ? a : cur;
    };
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int j = 0; j < 8; ++j) m[j] = take(v[i + j], m[j]);
    for (; i < n; ++i) m[0] = take(v[i], m[0]);
    double r = m[0];
    for (int j = 1; j < 8; ++j) r = m[j] > r ? m[j] : r;
    return r;
}

VX_CLONES double min_or_nan(const double* __restrict v, std::size_t n) {
    return count_nan(v, n) ? __builtin_nan("") : extreme8(v, n, v[0], kLess);
}

VX_CLONES double max_or_nan(const double* __restrict v, std::size_t n) {
    return count_nan(v, n) ? __builtin_nan("") : extreme8(v, n, v[0], kGreater);
}

VX_CLONES void quadrature_weights(const double* __restrict x, const double* __restrict y, std::size_t n,
                                  double scale, double dscale, double* __restrict w) {
    if (n == 0) return;
    if (n == 1) {
        w[0] = (y[0] * scale) * ((0.5 * (0.0 + 0.0)) * dscale);
        return;
    }
    w[0] = (y[0] * scale) * ((0.5 * ((x[1] - x[0]) + 0.0)) * dscale);
    for (std::size_t i = 1; i + 1 < n; ++i)
        w[i] = (y[i] * scale) * ((0.5 * ((x[i + 1] - x[i]) + (x[i] - x[i - 1]))) * dscale);
    w[n - 1] = (y[n - 1] * scale) * ((0.5 * (0.0 + (x[n - 1] - x[n - 2]))) * dscale);
}

namespace {
// The plain quadrature weight y * d is in range: a normal finite number, or
// exactly 0 because d is.
[[gnu::always_inline]] inline long plain_weight_bad(double w, double d) {
    return !((w >= 0x1p-1022) & (w <= 0x1.fffffffffffffp1023)) & !(d == 0.0);
}
}  // namespace

VX_CLONES bool plain_quadrature_weights(const double* __restrict x, const double* __restrict y, std::size_t n,
                                        double* __restrict w) {
    if (n < 2) {
        if (n == 1) {
            const double d = 0.5 * (0.0 + 0.0);
            w[0] = y[0] * d;
            return !plain_weight_bad(y[0] * d, d);
        }
        return true;
    }
    long bad = 0;
    double d = 0.5 * ((x[1] - x[0]) + 0.0);
    double v = y[0] * d;
    w[0] = v;
    bad += plain_weight_bad(v, d);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double di = 0.5 * ((x[i + 1] - x[i]) + (x[i] - x[i - 1]));
        const double vi = y[i] * di;
        w[i] = vi;
        bad += plain_weight_bad(vi, di);
    }
    d = 0.5 * (0.0 + (x[n - 1] - x[n - 2]));
    v = y[n - 1] * d;
    w[n - 1] = v;
    bad += plain_weight_bad(v, d);
    return bad == 0;
}

VX_CLONES double positive_max(const double* __restrict y, std::size_t n) { return extreme8(y, n, 0.0, kGreater); }

VX_CLONES bool knots_valid(const double* __restrict x, const double* __restrict y, std::size_t n) {
    long bad = 0;
    for (std::size_t i = 0; i < n; ++i) bad += !(x[i] - x[i] == 0.0) + !(y[i] - y[i] == 0.0);
    for (std::size_t i = 0; i + 1 < n; ++i) bad += !(x[i + 1] - x[i] > 0.0);
    return bad == 0;
}

VX_CLONES bool pchip_slopes_bounded(const double* __restrict x, const double* __restrict y, std::size_t n) {
    // Per interval: 0 < h <= 1e300, |dy| finite, |dy| <= 1e300 h and
    // |dy| <= (1e150 h)^2. A finite h or dy needs both of its ends finite.
    constexpr double kMax = 0x1.fffffffffffffp1023;
    long bad = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double h = x[i + 1] - x[i];
        const double a = std::fabs(y[i + 1] - y[i]);
        const double s = h * 1e150;
        bad += !((h > 0.0) & (h <= 1e300) & (a <= std::min(std::min(1e300 * h, s * s), kMax)));
    }
    return bad == 0;
}

VX_CLONES void tmap_steps(const double* __restrict d, std::size_t n, double scale, double mean,
                          double* __restrict out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::sqrt((scale * d[i]) / mean);
}

VX_CLONES void rescale(double* __restrict v, std::size_t n, double span_x, double tmin, double span_t,
                       double xmin) {
    for (std::size_t i = 0; i < n; ++i) v[i] = (span_x * (v[i] - tmin)) / span_t + xmin;
}

VX_CLONES void linspace_fill(double start, double step, std::int64_t num, double* __restrict out) {
    // A 64-bit counter converts to double in vector lanes only with AVX-512
    // (where it is the quicker one); elsewhere a 32-bit counter does, with
    // the same values.
#if defined(VORDEX_NO_CLONES) && defined(__AVX512DQ__)
    constexpr bool wide = true;  // one copy, built for AVX-512
#elif defined(VORDEX_NO_CLONES)
    constexpr bool wide = false;
#else
    static const bool wide = __builtin_cpu_supports("avx512dq");  // the copy chosen at load time
#endif
    if (!wide && num <= INT32_MAX) {
        const std::int32_t n = static_cast<std::int32_t>(num);
        for (std::int32_t i = 0; i < n; ++i) out[i] = static_cast<double>(i) * step + start;
        return;
    }
    for (std::int64_t i = 0; i < num; ++i) out[i] = static_cast<double>(i) * step + start;
}

VX_CLONES std::size_t count_within(const double* __restrict v, std::size_t n, double target, double tol) {
    long c = 0;
    for (std::size_t i = 0; i < n; ++i) c += (std::fabs(v[i] - target) <= tol);
    return static_cast<std::size_t>(c);
}

VX_CLONES void fill_zero(double* __restrict v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) v[i] = 0.0;
}

VX_CLONES void divide_by(double* __restrict v, std::size_t n, double d) {
    for (std::size_t i = 0; i < n; ++i) v[i] = v[i] / d;
}

VX_CLONES std::size_t count_nan(const double* __restrict v, std::size_t n) {
    long c = 0;
    for (std::size_t i = 0; i < n; ++i) c += (v[i] != v[i]);
    return static_cast<std::size_t>(c);
}

VX_CLONES void cubic_piece(const double* in, double* out, std::size_t n, double lo, double c0, double c1, double c2,
                           double c3) {
    for (std::size_t k = 0; k < n; ++k) out[k] = cubic_at(c0, c1, c2, c3, in[k] - lo);
}

// --- eight lanes of the tridiagonal solve -----------------------------------
// Within one function the four-double vectors never cross a call (the
// helpers are inlined), so the ABI note about passing them does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
namespace {
typedef double v4d __attribute__((vector_size(32)));
typedef long long v4l __attribute__((vector_size(32)));
__attribute__((always_inline)) inline v4d load4(const double* p) {
    v4d v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
__attribute__((always_inline)) inline void store4(double* p, const v4d& v) { __builtin_memcpy(p, &v, sizeof v); }
__attribute__((always_inline)) inline v4d abs4(const v4d& v) { return (v4d)((v4l)v & 0x7fffffffffffffffLL); }
}  // namespace

namespace {
// Rows r0..r3 (four entries each) to columns: c_t = {r0[t], r1[t], r2[t], r3[t]}.
#if defined(__clang__)
#define VX_SHUFFLE(a, b, i, j, k, l) __builtin_shufflevector(a, b, i, j, k, l)
#else
#define VX_SHUFFLE(a, b, i, j, k, l) __builtin_shuffle(a, b, v4l{i, j, k, l})
#endif
__attribute__((always_inline)) inline void transpose4(v4d& r0, v4d& r1, v4d& r2, v4d& r3) {
    const v4d a0 = VX_SHUFFLE(r0, r1, 0, 4, 2, 6), a1 = VX_SHUFFLE(r0, r1, 1, 5, 3, 7);
    const v4d a2 = VX_SHUFFLE(r2, r3, 0, 4, 2, 6), a3 = VX_SHUFFLE(r2, r3, 1, 5, 3, 7);
    r0 = VX_SHUFFLE(a0, a2, 0, 1, 4, 5);
    r1 = VX_SHUFFLE(a1, a3, 0, 1, 4, 5);
    r2 = VX_SHUFFLE(a0, a2, 2, 3, 6, 7);
    r3 = VX_SHUFFLE(a1, a3, 2, 3, 6, 7);
}
#undef VX_SHUFFLE
}  // namespace

namespace {
// K lanes (K a multiple of 4) as K / 4 vectors of four. Entry s of lane j
// sits at j * stride + s in the lane layout and at K s + j interleaved;
// blocks of 4 lanes by 4 entries go from one layout to the other through
// one 4x4 transpose. Back: from interleaved to lanes.
template <std::size_t K, bool Back>
__attribute__((always_inline)) inline void relayout(const double* __restrict src, std::size_t stride,
                                                    std::size_t count, double* __restrict dst) {
    const auto in_lanes = [stride](std::size_t j, std::size_t s) { return j * stride + s; };
    const auto interleaved = [](std::size_t j, std::size_t s) { return K * s + j; };
    std::size_t s = 0;
    for (; s + 4 <= count; s += 4) {
        for (std::size_t g = 0; g < K; g += 4) {
            // Row q of the block: lane g + q (lane layout) or group s + q (interleaved).
            const auto from = [&](std::size_t q) { return Back ? interleaved(g, s + q) : in_lanes(g + q, s); };
            const auto to = [&](std::size_t q) { return Back ? in_lanes(g + q, s) : interleaved(g, s + q); };
            v4d r0 = load4(src + from(0)), r1 = load4(src + from(1)), r2 = load4(src + from(2)),
                r3 = load4(src + from(3));
            transpose4(r0, r1, r2, r3);
            store4(dst + to(0), r0);
            store4(dst + to(1), r1);
            store4(dst + to(2), r2);
            store4(dst + to(3), r3);
        }
    }
    for (; s < count; ++s)
        for (std::size_t j = 0; j < K; ++j) {
            if (Back) dst[in_lanes(j, s)] = src[interleaved(j, s)];
            else dst[interleaved(j, s)] = src[in_lanes(j, s)];
        }
}

// Bit j set for each lane j whose entry of the masks is set.
template <std::size_t G>
__attribute__((always_inline)) inline std::uint32_t lane_bits(const v4l (&mask)[G]) {
    std::uint32_t lanes = 0;
    for (std::size_t g = 0; g < G; ++g)
        for (std::size_t q = 0; q < 4; ++q) lanes |= static_cast<std::uint32_t>(mask[g][q] != 0) << (4 * g + q);
    return lanes;
}

// The G vectors of K = 4 G lanes' values from or to an array.
template <std::size_t G>
__attribute__((always_inline)) inline void load_lanes(v4d (&v)[G], const double* p) {
    for (std::size_t g = 0; g < G; ++g) v[g] = load4(p + 4 * g);
}
template <std::size_t G>
__attribute__((always_inline)) inline void store_lanes(double* p, const v4d (&v)[G]) {
    for (std::size_t g = 0; g < G; ++g) store4(p + 4 * g, v[g]);
}

template <std::size_t K>
__attribute__((always_inline)) inline std::uint32_t eliminate_impl(const double* __restrict th, const double* __restrict tm,
                                                          std::size_t L, double* state_d, double* state_b,
                                                          double* __restrict tdm, double* __restrict tbm) {
    constexpr std::size_t G = K / 4;
    v4d dc[G], bc[G];
    load_lanes(dc, state_d);
    load_lanes(bc, state_b);
    v4l bad[G];
    for (std::size_t g = 0; g < G; ++g) bad[g] = v4l{0, 0, 0, 0};
    const v4d two = {2.0, 2.0, 2.0, 2.0}, three = {3.0, 3.0, 3.0, 3.0}, zero = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t t = 0; t < L; ++t) {
        const double* h = th + K * t;
        const double* m = tm + K * t;
#pragma GCC unroll 4
        for (std::size_t g = 0; g < G; ++g) {
            const v4d h0 = load4(h + 4 * g), h1 = load4(h + K + 4 * g), h2 = load4(h + 2 * K + 4 * g);
            const v4d m0 = load4(m + 4 * g), m1 = load4(m + K + 4 * g);
            bad[g] |= ~(abs4(dc[g]) >= abs4(h2)) | (dc[g] == zero);
            const v4d fact = h2 / dc[g];
            dc[g] = two * (h1 + h2) - fact * h0;
            bc[g] = three * (h2 * m0 + h1 * m1) - fact * bc[g];
            store4(tdm + K * t + 4 * g, dc[g]);
            store4(tbm + K * t + 4 * g, bc[g]);
        }
    }
    store_lanes(state_d, dc);
    store_lanes(state_b, bc);
    return lane_bits<G>(bad);
}

// The same with row interchanges (LAPACK's dgtsv steps): the operands of
// each step are picked by its comparison, so that one division serves both
// outcomes. A kept step: fact = dl / d, d' = d(i+1) - fact u,
// b' = b(i+1) - fact b, u' = du(i+1), row i recorded as (d, b, u, 0). A
// swap: fact = d / dl, d' = u - fact d(i+1), b' = b - fact b(i+1),
// u' = -(fact du(i+1)), row i recorded as (dl, b(i+1), d(i+1), du(i+1)).
__attribute__((always_inline)) inline v4d pick4(const v4l& mask, const v4d& a, const v4d& b) {
    return (v4d)(((v4l)a & mask) | ((v4l)b & ~mask));
}
template <std::size_t K>
__attribute__((always_inline)) inline std::uint32_t eliminate_swapping_impl(
    const double* __restrict th, const double* __restrict tm, std::size_t L, double* state_d, double* state_b,
    double* state_u, double* __restrict fd, double* __restrict fb, double* __restrict fu, double* __restrict ff) {
    constexpr std::size_t G = K / 4;
    v4d dc[G], bc[G], uc[G];
    load_lanes(dc, state_d);
    load_lanes(bc, state_b);
    load_lanes(uc, state_u);
    v4l bad[G];
    for (std::size_t g = 0; g < G; ++g) bad[g] = v4l{0, 0, 0, 0};
    const v4d two = {2.0, 2.0, 2.0, 2.0}, three = {3.0, 3.0, 3.0, 3.0}, zero = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t t = 0; t < L; ++t) {
        const double* h = th + K * t;
        const double* m = tm + K * t;
#pragma GCC unroll 4
        for (std::size_t g = 0; g < G; ++g) {
            const v4d h1 = load4(h + K + 4 * g), h2 = load4(h + 2 * K + 4 * g);
            const v4d m0 = load4(m + 4 * g), m1 = load4(m + K + 4 * g);
            const v4d dn = two * (h1 + h2), bn = three * (h2 * m0 + h1 * m1);
            const v4l sw = ~(abs4(dc[g]) >= abs4(h2));
            bad[g] |= ~sw & (dc[g] == zero);
            const v4d den = pick4(sw, h2, dc[g]);
            const v4d fact = pick4(sw, dc[g], h2) / den;
            const v4d q = pick4(sw, dn, uc[g]), p = pick4(sw, uc[g], dn);
            const v4d qb = pick4(sw, bn, bc[g]), pb = pick4(sw, bc[g], bn);
            store4(fd + K * t + 4 * g, den);
            store4(fb + K * t + 4 * g, qb);
            store4(fu + K * t + 4 * g, q);
            store4(ff + K * t + 4 * g, (v4d)((v4l)h1 & sw));
            dc[g] = p - fact * q;
            bc[g] = pb - fact * qb;
            uc[g] = pick4(sw, -(fact * h1), h1);
        }
    }
    store_lanes(state_d, dc);
    store_lanes(state_b, bc);
    store_lanes(state_u, uc);
    return lane_bits<G>(bad);
}

// Back substitution ((b - u x1) - f x2) / d; without a fill-in array the
// fill-in is zero.
template <std::size_t K, bool Fill>
__attribute__((always_inline)) inline void substitute_impl(const double* __restrict th, const double* __restrict tdm,
                                                           const double* __restrict tbm, const double* __restrict tf,
                                                           std::size_t L, double* state_x1, double* state_x2,
                                                           double* __restrict tx) {
    constexpr std::size_t G = K / 4;
    v4d x1[G], x2[G];
    for (std::size_t g = 0; g < G; ++g) {
        x1[g] = load4(state_x1 + 4 * g);
        x2[g] = load4(state_x2 + 4 * g);
    }
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t u = L; u-- > 0;) {
#pragma GCC unroll 4
        for (std::size_t g = 0; g < G; ++g) {
            const v4d r = load4(tbm + K * u + 4 * g) - load4(th + K * u + 4 * g) * x1[g];
            const v4d f = Fill ? load4(tf + K * u + 4 * g) : zero;
            const v4d v = (r - f * x2[g]) / load4(tdm + K * u + 4 * g);
            store4(tx + K * u + 4 * g, v);
            x2[g] = x1[g];
            x1[g] = v;
        }
    }
    for (std::size_t g = 0; g < G; ++g) {
        store4(state_x1 + 4 * g, x1[g]);
        store4(state_x2 + 4 * g, x2[g]);
    }
}

}  // namespace

VX_CLONES void interleave8(const double* src, std::size_t stride, std::size_t count, double* dst) {
    relayout<8, false>(src, stride, count, dst);
}
VX_CLONES void interleave16(const double* src, std::size_t stride, std::size_t count, double* dst) {
    relayout<16, false>(src, stride, count, dst);
}
VX_CLONES void deinterleave8(const double* src, std::size_t stride, std::size_t count, double* dst) {
    relayout<8, true>(src, stride, count, dst);
}
VX_CLONES void deinterleave16(const double* src, std::size_t stride, std::size_t count, double* dst) {
    relayout<16, true>(src, stride, count, dst);
}
VX_CLONES std::uint32_t eliminate_lanes8(const double* th, const double* tm, std::size_t L, double* state_d,
                                         double* state_b, double* tdm, double* tbm) {
    return eliminate_impl<8>(th, tm, L, state_d, state_b, tdm, tbm);
}
VX_CLONES std::uint32_t eliminate_lanes16(const double* th, const double* tm, std::size_t L, double* state_d,
                                          double* state_b, double* tdm, double* tbm) {
    return eliminate_impl<16>(th, tm, L, state_d, state_b, tdm, tbm);
}

VX_CLONES bool all_finite(const double* v, std::size_t n) {
    // Not finite: every exponent bit set. Tests on the bits vectorise.
    constexpr std::uint64_t kExponent = 0x7ff0000000000000ULL;
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t u;
        std::memcpy(&u, v + i, sizeof u);
        bad |= (u & kExponent) == kExponent;
    }
    return bad == 0;
}
VX_CLONES void substitute_lanes8(const double* th, const double* tdm, const double* tbm, std::size_t L,
                                 double* state_x1, double* state_x2, double* tx) {
    substitute_impl<8, false>(th, tdm, tbm, nullptr, L, state_x1, state_x2, tx);
}
VX_CLONES void substitute_lanes16(const double* th, const double* tdm, const double* tbm, std::size_t L,
                                  double* state_x1, double* state_x2, double* tx) {
    substitute_impl<16, false>(th, tdm, tbm, nullptr, L, state_x1, state_x2, tx);
}
VX_CLONES std::uint32_t eliminate_swapping8(const double* th, const double* tm, std::size_t L, double* state_d,
                                            double* state_b, double* state_u, double* fd, double* fb, double* fu,
                                            double* ff) {
    return eliminate_swapping_impl<8>(th, tm, L, state_d, state_b, state_u, fd, fb, fu, ff);
}
VX_CLONES std::uint32_t eliminate_swapping16(const double* th, const double* tm, std::size_t L, double* state_d,
                                             double* state_b, double* state_u, double* fd, double* fb, double* fu,
                                             double* ff) {
    return eliminate_swapping_impl<16>(th, tm, L, state_d, state_b, state_u, fd, fb, fu, ff);
}
VX_CLONES void substitute_filled8(const double* fu, const double* fd, const double* fb, const double* ff,
                                  std::size_t L, double* state_x1, double* state_x2, double* tx) {
    substitute_impl<8, true>(fu, fd, fb, ff, L, state_x1, state_x2, tx);
}
VX_CLONES void substitute_filled16(const double* fu, const double* fd, const double* fb, const double* ff,
                                   std::size_t L, double* state_x1, double* state_x2, double* tx) {
    substitute_impl<16, true>(fu, fd, fb, ff, L, state_x1, state_x2, tx);
}

}  // namespace vordex::kernels

// --- two cubic interpolants with shared knots at ascending points ---------------
namespace vordex::kernels {
namespace {
typedef double v8d __attribute__((vector_size(64)));

// The run of points that starts at k and falls in one interval: false when
// in[k] is outside [xs[0], last) or below interval i; otherwise i becomes
// the point's interval, lo its start and k1 the end of the run.
// Unordered points (some point came below the previous one) have a point
// far ahead searched for, not walked to (see walk_up).
template <bool Unordered>
[[gnu::always_inline]] inline bool next_run(const double* xs, std::size_t nx, double last, const double* in,
                                            std::size_t k, std::size_t n, std::size_t& i, double& lo,
                                            std::size_t& k1) {
    const double v = in[k];
    if (!(xs[0] <= v && v < last) || v < xs[i]) return false;
    if constexpr (Unordered) i = walk_up(xs, i, nx - 1, v);  // last <= xs[nx - 1]
    else
        while (i + 2 < nx && v >= xs[i + 1]) ++i;
    lo = xs[i];
    const double hi = (i + 2 == nx) ? last : xs[i + 1];
    k1 = k + 1;
    while (k1 < n && in[k1] >= lo && in[k1] < hi) ++k1;
    return true;
}

// Eight offsets from lo and their square and cube.
struct Powers8 {
    v8d s, s2, s3;
};
[[gnu::always_inline]] inline Powers8 powers8(const double* in, double lo) {
    Powers8 w;
    __builtin_memcpy(&w.s, in, sizeof w.s);
    w.s = w.s - lo;
    w.s2 = w.s * w.s;
    w.s3 = w.s2 * w.s;
    return w;
}
// A piece p at those offsets in cubic_at's order, ((0 + c3) + c2 s) + c1 s^2)
// + c0 (s^2 s), stored to out.
[[gnu::always_inline]] inline void piece8(const double* p, const Powers8& w, double* out) {
    const double r3 = 0.0 + p[3];
    v8d r = r3 + p[2] * w.s;
    r = r + p[1] * w.s2;
    r = r + p[0] * w.s3;
    __builtin_memcpy(out, &r, sizeof r);
}
// Both pieces pa and pb over the run [j, e) starting at lo: whole vectors,
// also past the run's end while within n (the points there belong to later
// runs, which overwrite them), sharing the powers of the offset; then the
// rest one by one.
[[gnu::always_inline]] inline void pair_run(const double* pa, const double* pb, const double* in, double* oa,
                                            double* ob, std::size_t j, std::size_t e, std::size_t n, double lo) {
    for (; j < e && j + 8 <= n; j += 8) {
        const Powers8 w = powers8(in + j, lo);
        piece8(pa, w, oa + j);
        piece8(pb, w, ob + j);
    }
    for (; j < e; ++j) {
        oa[j] = cubic_at(pa[0], pa[1], pa[2], pa[3], in[j] - lo);
        ob[j] = cubic_at(pb[0], pb[1], pb[2], pb[3], in[j] - lo);
    }
}
}  // namespace

VX_CLONES std::size_t cubic_pair_runs(const double* xs, std::size_t nx, double last, const double* ca,
                                      const double* cb, const double* in, double* oa, double* ob, std::size_t k,
                                      std::size_t n, std::size_t* interval) {
    std::size_t i = *interval, k1 = k;
    double lo = 0.0;
    while (k < n && next_run<true>(xs, nx, last, in, k, n, i, lo, k1)) {
        pair_run(ca + 4 * i, cb + 4 * i, in, oa, ob, k, k1, n, lo);
        k = k1;
    }
    *interval = i;
    return k;
}

VX_CLONES std::size_t cubic_pair_ascending(const double* xs, std::size_t nx, double last, const double* ca,
                                          const double* cb, const double* in, double* oa, double* ob, std::size_t k,
                                          std::size_t n, std::size_t* interval) {
    std::size_t i = *interval;
    if (k >= n || !(xs[0] <= in[k]) || in[k] < xs[i]) return k;
    // Points per unit of the grid: the first point of the next run is
    // guessed from it, then settled by comparisons (the grid ascends, so the
    // run is exactly the points before the first one at or above the
    // interval's end). The guess is taken from the grid's start, not from
    // the run's first point, so that the next run does not wait for this
    // one's end.
    const std::size_t k0 = k;
    const double base = in[k0];
    const double per_unit = static_cast<double>(n - 1 - k0) / (in[n - 1] - base);
    const double room = static_cast<double>(n - k0);
    while (k < n) {
        const double v = in[k];
        if (!(v < last)) break;
        while (i + 2 < nx && v >= xs[i + 1]) ++i;  // the points ascend
        const double lo = xs[i];
        const double hi = (i + 2 == nx) ? last : xs[i + 1];
        const double guess = (hi - base) * per_unit;
        std::size_t e = guess < room ? k0 + 1 + static_cast<std::size_t>(guess) : n;
        e = e > k + 1 ? e : k + 1;
        while (e < n && in[e] < hi) ++e;
        while (e > k + 1 && in[e - 1] >= hi) --e;
        const double* pa = ca + 4 * i;
        const double* pb = cb + 4 * i;
        if (e - k <= 16 && k + 16 <= n) {
            // Two whole vectors: the points past the run belong to later
            // runs, which overwrite them.
            const Powers8 w0 = powers8(in + k, lo);
            piece8(pa, w0, oa + k);
            piece8(pb, w0, ob + k);
            const Powers8 w1 = powers8(in + k + 8, lo);
            piece8(pa, w1, oa + k + 8);
            piece8(pb, w1, ob + k + 8);
        } else {
            pair_run(pa, pb, in, oa, ob, k, e, n, lo);
        }
        k = e;
    }
    *interval = i;
    return k;
}

namespace {
template <bool Unordered>
[[gnu::always_inline]] inline std::size_t cubic_runs_by(const double* xs, std::size_t nx, const double* c,
                                                        const double* in, double* out, std::size_t k, std::size_t n,
                                                        std::size_t* interval) {
    std::size_t i = *interval, k1 = k;
    double lo = 0.0;
    while (k < n && next_run<Unordered>(xs, nx, xs[nx - 1], in, k, n, i, lo, k1)) {
        const double* p = c + 4 * i;
        std::size_t j = k;
        for (; j < k1 && j + 8 <= n; j += 8) piece8(p, powers8(in + j, lo), out + j);
        for (; j < k1; ++j) out[j] = cubic_at(p[0], p[1], p[2], p[3], in[j] - lo);
        k = k1;
    }
    *interval = i;
    return k;
}
}  // namespace

VX_CLONES std::size_t cubic_runs(const double* xs, std::size_t nx, const double* c, const double* in, double* out,
                                 std::size_t k, std::size_t n, std::size_t* interval, bool unordered) {
    return unordered ? cubic_runs_by<true>(xs, nx, c, in, out, k, n, interval)
                     : cubic_runs_by<false>(xs, nx, c, in, out, k, n, interval);
}

}  // namespace vordex::kernels
