// Loops of independent element-wise arithmetic over grids. On x86-64 with
// GCC each gets copies for wider vector units, chosen once at load time.
// Division, products, sums and comparisons round the same in every width and
// contraction into fused multiply-adds is off, so every copy gives the same
// bits; only the speed differs.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(VORDEX_NO_CLONES)
#define VX_CLONES __attribute__((target_clones("default", "arch=x86-64-v3", "arch=x86-64-v4")))
#else
#define VX_CLONES
#endif

namespace vordex::kernels {

// The largest j with xs[j] <= v, for ascending knots xs, xs[i] <= v and
// v < xs[last] (v not NaN): what a walk one knot at a time from i finds.
// One comparison first looks `reach` knots ahead; a point beyond them (points
// not in ascending order) is found by doubling steps and a bisection, so it
// costs the logarithm of the distance, not the distance.
[[gnu::always_inline]] inline std::size_t search_up(const double* xs, std::size_t lo, std::size_t last, double v) {
    std::size_t step = 1, hi;  // xs[lo] <= v < xs[last]
    for (;;) {
        hi = lo + step;
        if (hi >= last) {
            hi = last;
            break;
        }
        if (!(v >= xs[hi])) break;
        lo = hi;
        step *= 2;
    }
    while (hi - lo > 1) {  // xs[lo] <= v < xs[hi]
        const std::size_t mid = lo + (hi - lo) / 2;
        if (v >= xs[mid]) lo = mid;
        else hi = mid;
    }
    return lo;
}
template <std::size_t reach = 64>
[[gnu::always_inline]] inline std::size_t walk_up(const double* xs, std::size_t i, std::size_t last, double v) {
    const std::size_t probe = last - i > reach ? i + reach : last;
    if (v >= xs[probe]) return search_up(xs, probe, last, v);
    while (v >= xs[i + 1]) ++i;  // stops before probe
    return i;
}

// Power-basis coefficients (4 per interval, highest power first) of the cubic
// Hermite pieces i in [lo, hi) from spacings h, secant slopes m, knot slopes
// b and values y.
void hermite_block(const double* h, const double* m, const double* b, const double* y, double* c, std::size_t lo,
                   std::size_t hi);
// True when every spacing x[i + 1] - x[i] is at least `smallest` and every
// step |y[i + 1] - y[i]|, and x[n - 1] - x[0], at most `largest` (so no value
// is NaN or infinite), for n >= 2.
bool spread_within(const double* x, const double* y, std::size_t n, double smallest, double largest);
// Spacings h and secant slopes m of n knots; false when a knot is not finite
// or a spacing is not positive.
bool segments_block(const double* x, const double* y, double* h, double* m, std::size_t n);
// out[k] = the cubic piece interval[k] of a spline given by its knots x,
// values y and slopes d, at in[k] (the operations of slopes-only splines).
// `in` and `out` may be the same array.
void slopes_pieces_at(const double* x, const double* y, const double* d, const std::uint32_t* interval,
                      const double* in, double* out, std::size_t n);
// out[k] = the PCHIP piece interval[k] = i of knots x, values y at in[k],
// its two knot slopes worked out from the knots i - 1 .. i + 2 (so
// 1 <= i <= nx - 3: the end slopes take another formula) with the
// operations of pchip_interior_slopes and hermite_block, so the same bits as
// the built interpolant. `in` and `out` may be the same array.
void pchip_pieces_at(const double* x, const double* y, const std::uint32_t* interval, const double* in,
                     double* out, std::size_t n);
// For each point in[k] in [xs[0], xs[nx - 1]) (knots strictly increasing,
// nx >= 2): the interval i with xs[i] <= in[k] < xs[i + 1]; kNoInterval for
// the other points (NaN among them). Ascending points are followed forward
// `stride` knots at a time (1, 8 or 32: about the knots per point), the last
// stride settled by counting its knots at or below the point; a point below
// the previous one is found by bisection. Returns the number of points given
// kNoInterval.
inline constexpr std::uint32_t kNoInterval = 0xffffffffu;
std::size_t find_intervals(const double* xs, std::size_t nx, const double* in, std::size_t n,
                           std::uint32_t* interval, std::size_t stride);
// segments_block for `lanes` runs of `count` knots, run j starting at
// x + j * stride (and y + j * stride), into h and m + j * out_stride.
bool lane_segments(const double* x, const double* y, std::size_t lanes, std::size_t stride, std::size_t count,
                   double* h, double* m, std::size_t out_stride);
// The spacings alone: h[j * out_stride + i] = x[j * stride + i + 1] - x[j * stride + i], i < count.
void lane_spacings(const double* x, std::size_t lanes, std::size_t stride, std::size_t count, double* h,
                   std::size_t out_stride);
// Interior rows 1..n-2 of the not-a-knot system (diagonal d, right-hand side
// b, upper du, lower dl).
void notaknot_rows(const double* h, const double* m, double* d, double* b, double* du, double* dl, std::size_t n);

// Number of NaN values in x and y plus the number of descents of x.
std::size_t count_unsorted_or_nan(const double* x, const double* y, std::size_t n);
// True when the values ascend (ties allowed) and none is NaN.
bool ascending_no_nan(const double* v, std::size_t n);
// For n > 0 points: true when x ascends strictly without NaN;
// the number of NaN in y, the largest of 0 and the y that are not NaN (as
// positive_max; of a zero largest, either sign), and the smallest y that is
// not NaN (+inf when all are NaN).
bool sorted_stats(const double* x, const double* y, std::size_t n, std::size_t* nan_y, double* ymax, double* ymin);
// Largest of n > 0 values without NaN.
double max_no_nan(const double* y, std::size_t n);
// Number of densities that are positive and whose ratio to ymax exceeds eps.
std::size_t count_above_floor(const double* y, std::size_t n, double ymax, double eps);
// True when every density of at least ymin passes that test, with the
// margin count_above_floor uses to spare the divisions (a sufficient test).
inline bool all_above_floor(double ymin, double ymax, double eps) {
    return ymax >= 0x1p-970 && ymax <= 0x1p1000 && eps > 0.0 && eps < 1.0 && ymin > ymax * (eps * (1.0 + 0x1p-40));
}
// Smallest / largest of n > 0 values; NaN when any value is NaN.
double min_or_nan(const double* v, std::size_t n);
// Largest |v[i]| of the finite values; 0 when there is none.
double largest_finite_magnitude(const double* v, std::size_t n);
double max_or_nan(const double* v, std::size_t n);

// Quadrature weights (y[i] * scale) * d[i], d the interval weights
// 0.5 * (right spacing + left spacing), a missing spacing counting as 0.
void quadrature_weights(const double* x, const double* y, std::size_t n, double scale, double dscale, double* w);
// The same with both scales 1 (y[i] * d[i], as the plain steps form them):
// true when every weight is a normal finite number or 0 from a zero d[i].
bool plain_quadrature_weights(const double* x, const double* y, std::size_t n, double* w);

// Largest of 0.0 and the values (NaN values are passed over).
double positive_max(const double* y, std::size_t n);

// Every x and y finite and x strictly increasing.
bool knots_valid(const double* x, const double* y, std::size_t n);
// For n >= 2 knots, true when they pass knots_valid and their interior PCHIP
// slopes are sure to be finite, without working the slopes out: every
// interval has a spacing 0 < h <= 1e300 and a finite step dy of y with
// |dy| <= 1e300 h and |dy| <= (1e150 h)^2 (a finite h or dy needs finite
// ends). Under those bounds every secant slope m has |m| <= 1e300 and
// h / |m| >= 1e-300 (a normal number, so no term of the mean underflows).
// The weighted harmonic mean (w1 / m0 + w2 / m1) / (w1 + w2) of two secants
// of one sign is then at least about (w1 / |m0|) / (w1 + w2) >= 1 / (3 |m0|),
// as w1 = 2 h1 + h0 is at least h0 and a third of w1 + w2 = 3 (h0 + h1)
// (which stays below 1e301): the slope, its inverse, is at most about
// 3e300, or 0 where the mean overflows. A sufficient test only: false says
// nothing.
bool pchip_slopes_bounded(const double* x, const double* y, std::size_t n);
// Interior PCHIP slopes d[1..n-2] from spacings h and secant slopes m; false
// when one of them is not finite.
bool pchip_interior_slopes(const double* h, const double* m, double* d, std::size_t n);

// out[i] = i * step + start for i < num.
void linspace_fill(double start, double step, std::int64_t num, double* out);
// The square-root t-map's steps sqrt((scale * d[i]) / mean) of n spacings.
void tmap_steps(const double* d, std::size_t n, double scale, double mean, double* out);
// v[i] = (span_x * (v[i] - tmin)) / span_t + xmin, in place.
void rescale(double* v, std::size_t n, double span_x, double tmin, double span_t, double xmin);
// Number of values with |v - target| <= tol.
std::size_t count_within(const double* v, std::size_t n, double target, double tol);

// v[i] = 0.0 for i < n.
void fill_zero(double* v, std::size_t n);
// v[i] = v[i] / d for i < n.
void divide_by(double* v, std::size_t n, double d);

// Number of NaN values.
std::size_t count_nan(const double* v, std::size_t n);

// One cubic piece (power basis, highest power first, offset lo) at n points,
// in the order of the interpolants' evaluation. `in` and `out` may be the
// same array.
void cubic_piece(const double* in, double* out, std::size_t n, double lo, double c0, double c1, double c2, double c3);
// Two cubic interpolants with the same knots xs (nx of them; coefficients ca
// and cb, 4 per interval) at the points in[k..n) while they ascend within
// [xs[0], last): each run of points in one interval is evaluated for both
// at once, in the order of the interpolants' evaluation. Starts in interval
// *interval, stops at the first point outside [xs[0], last) or below the
// current interval, returns its index and leaves the current interval in
// *interval. Past the end of a run the outputs may be written up to 7 points
// further (never at or beyond n): the caller evaluates those points after.
std::size_t cubic_pair_runs(const double* xs, std::size_t nx, double last, const double* ca, const double* cb,
                            const double* in, double* oa, double* ob, std::size_t k, std::size_t n,
                            std::size_t* interval);
// The same for points that ascend without NaN from in[k] to in[n - 1] (a
// grid): the end of each run is worked out from the grid's spacing and
// settled by comparisons. The outputs may be written up to 15 points past a
// run's end (never at or beyond n).
std::size_t cubic_pair_ascending(const double* xs, std::size_t nx, double last, const double* ca, const double* cb,
                                 const double* in, double* oa, double* ob, std::size_t k, std::size_t n,
                                 std::size_t* interval);
// The same for one cubic interpolant (last = xs[nx - 1]). `out` must not
// overlap `in`. `unordered`: some point before in[k] came below the one
// before it, so a point far ahead is searched for (see walk_up).
std::size_t cubic_runs(const double* xs, std::size_t nx, const double* c, const double* in, double* out, std::size_t k,
                       std::size_t n, std::size_t* interval, bool unordered);

// Eight or sixteen lanes of the not-a-knot solve (each lane a stretch of L
// rows), on interleaved arrays: element j of group s is lane j's entry s.
// dst[K s + j] = src[j * stride + s] for s < count, and back.
void interleave8(const double* src, std::size_t stride, std::size_t count, double* dst);
void interleave16(const double* src, std::size_t stride, std::size_t count, double* dst);
void deinterleave8(const double* src, std::size_t stride, std::size_t count, double* dst);
void deinterleave16(const double* src, std::size_t stride, std::size_t count, double* dst);
// Elimination of interior rows, L steps: lane j's step t from spacings th
// (groups t, t + 1, t + 2 hold h of the row's step minus 1, the step and the
// next) and slopes tm (groups t, t + 1), continuing from the rows in
// state_d/state_b (updated); writes the reduced diagonal and right side.
// Returns the lanes (bit j for lane j) in which some step would pivot or
// divide by zero.
std::uint32_t eliminate_lanes8(const double* th, const double* tm, std::size_t L, double* state_d,
                               double* state_b, double* tdm, double* tbm);
std::uint32_t eliminate_lanes16(const double* th, const double* tm, std::size_t L, double* state_d,
                                double* state_b, double* tdm, double* tbm);
// True when none of the n values is infinite or NaN.
bool all_finite(const double* v, std::size_t n);
// Back substitution of the same rows, from row L - 1 of each lane down
// (upper diagonal of row u in th group u), continuing from the two values above
// each lane (updated); writes the solution.
void substitute_lanes8(const double* th, const double* tdm, const double* tbm, std::size_t L, double* state_x1,
                       double* state_x2, double* tx);
void substitute_lanes16(const double* th, const double* tdm, const double* tbm, std::size_t L, double* state_x1,
                        double* state_x2, double* tx);

// Elimination with row interchanges where the comparison of LAPACK's dgtsv
// asks for them, L steps: lane j's step t goes from row i to row i + 1 (i
// interior), with groups t, t + 1, t + 2 of th holding the spacings h of
// rows i - 1, i, i + 1 and groups t, t + 1 of tm the slopes m of rows i and
// i + 1, from the state of row i (reduced diagonal state_d, right side
// state_b, upper entry state_u; updated). Group t of fd, fb, fu, ff receives
// row i as the elimination leaves it: diagonal, right side, upper entry and
// fill-in (zero where the step keeps the rows in place). Returns the lanes
// in which a step met a zero pivot.
std::uint32_t eliminate_swapping8(const double* th, const double* tm, std::size_t L, double* state_d,
                                  double* state_b, double* state_u, double* fd, double* fb, double* fu, double* ff);
std::uint32_t eliminate_swapping16(const double* th, const double* tm, std::size_t L, double* state_d,
                                   double* state_b, double* state_u, double* fd, double* fb, double* fu, double* ff);
// Back substitution of such rows, ((b - u x1) - f x2) / d from group L - 1
// to group 0, continuing from the two values after each lane's group L - 1
// (updated); writes the solution.
void substitute_filled8(const double* fu, const double* fd, const double* fb, const double* ff, std::size_t L,
                        double* state_x1, double* state_x2, double* tx);
void substitute_filled16(const double* fu, const double* fd, const double* fb, const double* ff, std::size_t L,
                         double* state_x1, double* state_x2, double* tx);

}  // namespace vordex::kernels
