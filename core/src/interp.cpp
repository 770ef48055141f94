#include "vordex/core/interp.hpp"

#include <algorithm>
#include <bit>
#include <optional>
#include <cstdint>
#include <cmath>
#include <limits>
#include <cstring>
#include <memory>
#include <string>

#include "vordex/core/errors.hpp"
#include "kernels.hpp"

namespace vordex {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// np.sign, with NaN mapping to NaN.
inline double sgn(double v) {
    if (std::isnan(v)) return kNaN;
    return v > 0.0 ? 1.0 : (v < 0.0 ? -1.0 : 0.0);
}
// Element comparison as NumPy does it: NaN != anything.
inline bool ne(double a, double b) { return a != b; }

inline bool finite(double v) { return v - v == 0.0; }
// The cubic Hermite construction that both the PCHIP and the not-a-knot
// spline end with refuses knot slopes that are not finite (they overflow on
// knots of extreme scale), after the knots' own checks.
[[noreturn]] void nonfinite_slopes() { throw ValueError("`dydx` must contain only finite values."); }
bool all_finite(const double* v, std::size_t n) { return kernels::all_finite(v, n); }

// The square of a spacing as the spline's end rows take it: NumPy's power of
// a float64 scalar, h**2, which is the C library's pow(h, 2.0). That can
// differ from h * h in the last bit (about one spacing in a thousand), so the
// call must stay a call: the exponent is read from a volatile, which keeps the
// compiler from turning pow(h, 2.0) into h * h.
double scalar_square(double h) {
    static volatile double two = 2.0;
    return std::pow(h, two);
}

double pchip_edge(double h0, double h1, double m0, double m1) {
    double d = ((2 * h0 + h1) * m0 - h0 * m1) / (h0 + h1);
    const bool mask = ne(sgn(d), sgn(m0));
    const bool mask2 = ne(sgn(m0), sgn(m1)) && (std::fabs(d) > 3. * std::fabs(m0));
    if (mask) d = 0.;
    else if (mask2) d = 3. * m0;
    return d;
}

// LAPACK's dgtsv for one right-hand side: Gaussian elimination with partial
// pivoting on a tridiagonal system. dl, d, du are overwritten. Returns false
// when the matrix is singular.
bool gtsv(std::vector<double>& dl, std::vector<double>& d, std::vector<double>& du, std::vector<double>& b) {
    const std::size_t n = d.size();
    if (n == 0) return true;
    // Eliminate the subdiagonal entry of row i; rows before the last also
    // record the fill-in of the second superdiagonal (kept in dl).
    auto step = [&](std::size_t i, bool last) -> bool {
        if (std::fabs(d[i]) >= std::fabs(dl[i])) {
            if (d[i] == 0.0) return false;
            const double fact = dl[i] / d[i];
            d[i + 1] = d[i + 1] - fact * du[i];
            b[i + 1] = b[i + 1] - fact * b[i];
            if (!last) dl[i] = 0.0;
        } else {
            const double fact = d[i] / dl[i];
            d[i] = dl[i];
            const double temp = d[i + 1];
            d[i + 1] = du[i] - fact * temp;
            if (!last) {
                dl[i] = du[i + 1];
                du[i + 1] = -fact * dl[i];
            }
            du[i] = temp;
            const double tb = b[i];
            b[i] = b[i + 1];
            b[i + 1] = tb - fact * b[i + 1];
        }
        return true;
    };
    for (std::size_t i = 0; i + 2 < n; ++i)
        if (!step(i, false)) return false;
    if (n > 1 && !step(n - 2, true)) return false;
    if (d[n - 1] == 0.0) return false;
    b[n - 1] = b[n - 1] / d[n - 1];
    if (n > 1) b[n - 2] = (b[n - 2] - du[n - 2] * b[n - 1]) / d[n - 2];
    for (std::size_t k = n - 2; k-- > 0;) {
        b[k] = (b[k] - du[k] * b[k + 1] - dl[k] * b[k + 2]) / d[k];
    }
    return true;
}

// Dense 3x3 solve by LU with partial pivoting (row operations scaled by the
// reciprocal of the pivot, as LAPACK's unblocked factorisation does).
bool solve3(double A[3][3], double b[3]) {
    int perm[3] = {0, 1, 2};
    for (int k = 0; k < 3; ++k) {
        int p = k;
        for (int i = k + 1; i < 3; ++i)
            if (std::fabs(A[i][k]) > std::fabs(A[p][k])) p = i;
        if (A[p][k] == 0.0) return false;
        if (p != k) {
            for (int j = 0; j < 3; ++j) std::swap(A[p][j], A[k][j]);
            std::swap(perm[p], perm[k]);
            std::swap(b[p], b[k]);
        }
        const double r = 1.0 / A[k][k];
        for (int i = k + 1; i < 3; ++i) A[i][k] *= r;
        for (int i = k + 1; i < 3; ++i)
            for (int j = k + 1; j < 3; ++j) A[i][j] -= A[i][k] * A[k][j];
    }
    for (int k = 0; k < 3; ++k) {
        if (b[k] == 0.0) continue;
        for (int i = k + 1; i < 3; ++i) b[i] -= b[k] * A[i][k];
    }
    // Column-oriented back substitution, as the triangular solve does it.
    for (int k = 2; k >= 0; --k) {
        if (b[k] == 0.0) continue;
        b[k] /= A[k][k];
        for (int i = 0; i < k; ++i) b[i] -= b[k] * A[i][k];
    }
    return true;
}

}  // namespace

void validate_knots(std::span<const double> x, std::span<const double> y) {
    if (x.size() < 2) throw ValueError("`x` must contain at least 2 elements.");
    if (x.size() != y.size()) throw ValueError("The length of `y` along `axis`=0 doesn't match the length of `x`");
    // One vectorised pass for the common case; the messages come from the
    // checks in their order only when something is wrong.
    if (kernels::knots_valid(x.data(), y.data(), x.size())) return;
    for (double v : x)
        if (!std::isfinite(v)) throw ValueError("`x` must contain only finite values.");
    for (double v : y)
        if (!std::isfinite(v)) throw ValueError("`y` must contain only finite values.");
    throw ValueError("`x` must be strictly increasing sequence.");
}

namespace {
// Interval widths and secant slopes, computed once per construction (in
// one vectorised pass; the knots' checks it also makes are not needed here).
struct Segments {
    uvector h, m;
    Segments(std::span<const double> x, std::span<const double> y) : h(x.size() - 1), m(x.size() - 1) {
        (void)kernels::segments_block(x.data(), y.data(), h.data(), m.data(), x.size());
    }
};

uvector pchip_slopes_seg(const Segments& seg, std::size_t n) {
    const uvector& hk = seg.h;
    const uvector& mk = seg.m;
    uvector dk(n);  // every slope is written below
    if (n == 2) {
        dk[0] = dk[1] = mk[0];
        if (!finite(mk[0])) nonfinite_slopes();
        return dk;
    }
    const bool interior = kernels::pchip_interior_slopes(hk.data(), mk.data(), dk.data(), n);
    dk[0] = pchip_edge(hk[0], hk[1], mk[0], mk[1]);
    dk[n - 1] = pchip_edge(hk[n - 2], hk[n - 3], mk[n - 2], mk[n - 3]);
    if (!interior || !finite(dk[0]) || !finite(dk[n - 1])) nonfinite_slopes();
    return dk;
}

std::vector<double> notaknot_slopes_seg(const Segments& seg, std::span<const double> x) {
    const std::size_t n = x.size();
    const uvector& dx = seg.h;
    const uvector& slope = seg.m;
    if (n == 2) {
        if (!finite(slope[0])) nonfinite_slopes();
        return {slope[0], slope[0]};
    }
    if (n == 3) {
        double A[3][3] = {{1, 1, 0}, {dx[1], 2 * (dx[0] + dx[1]), dx[0]}, {0, 1, 1}};
        double b[3] = {2 * slope[0], 3 * (dx[0] * slope[1] + dx[1] * slope[0]), 2 * slope[1]};
        if (!solve3(A, b)) throw LinAlgError("Matrix is singular.");
        if (!all_finite(b, 3)) nonfinite_slopes();
        return {b[0], b[1], b[2]};
    }
    std::vector<double> d(n), du(n - 1), dl(n - 1), b(n);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        d[i] = 2 * (dx[i - 1] + dx[i]);
        b[i] = 3 * (dx[i] * slope[i - 1] + dx[i - 1] * slope[i]);
    }
    for (std::size_t i = 1; i + 1 < n; ++i) du[i] = dx[i - 1];
    for (std::size_t i = 0; i + 2 < n; ++i) dl[i] = dx[i + 1];
    // not-a-knot at the start
    d[0] = dx[1];
    du[0] = x[2] - x[0];
    {
        const double dd = x[2] - x[0];
        b[0] = ((dx[0] + 2 * dd) * dx[1] * slope[0] + scalar_square(dx[0]) * slope[1]) / dd;
    }
    // not-a-knot at the end
    d[n - 1] = dx[n - 3];
    dl[n - 2] = x[n - 1] - x[n - 3];
    {
        const double dd = x[n - 1] - x[n - 3];
        b[n - 1] = (scalar_square(dx[n - 2]) * slope[n - 3] + (2 * dd + dx[n - 2]) * dx[n - 3] * slope[n - 2]) / dd;
    }
    if (!gtsv(dl, d, du, b)) throw LinAlgError("singular matrix");
    if (!all_finite(b.data(), n)) nonfinite_slopes();
    return b;
}
}  // namespace

// Power-basis coefficients of the cubic Hermite pieces (4 per interval).
static uvector hermite_coefficients(std::span<const double> y, const Segments& seg, const double* d) {
    const std::size_t m = seg.h.size();
    uvector c(4 * m);
    kernels::hermite_block(seg.h.data(), seg.m.data(), d, y.data(), c.data(), 0, m);
    return c;
}

std::vector<double> pchip_slopes(std::span<const double> x, std::span<const double> y) {
    validate_knots(x, y);
    const uvector d = pchip_slopes_seg(Segments(x, y), x.size());
    return std::vector<double>(d.begin(), d.end());
}

std::vector<double> notaknot_slopes(std::span<const double> x, std::span<const double> y) {
    validate_knots(x, y);
    return notaknot_slopes_seg(Segments(x, y), x);
}

Interpolant Interpolant::hermite(InterpKind kind, std::span<const double> x, uvector&& d, uvector&& c,
                                 bool extrapolate) {
    Interpolant r;
    r.kind_ = kind;
    r.extrapolate_ = extrapolate;
    r.x_.assign(x.begin(), x.end());
    r.d_ = std::move(d);
    r.c_ = std::move(c);
    return r;
}

Interpolant Interpolant::pchip(std::span<const double> x, std::span<const double> y, bool extrapolate) {
    validate_knots(x, y);
    Segments seg(x, y);
    uvector d = pchip_slopes_seg(seg, x.size());
    uvector c = hermite_coefficients(y, seg, d.data());
    return hermite(InterpKind::Pchip, x, std::move(d), std::move(c), extrapolate);
}

Interpolant Interpolant::pchip_deferred(std::span<const double> x, std::span<const double> y) {
    if (x.size() < 2 || x.size() != y.size()) validate_knots(x, y);
    Interpolant r;
    r.kind_ = InterpKind::Pchip;
    r.deferred_ = true;
    r.x_.assign(x.begin(), x.end());
    r.y_.assign(y.begin(), y.end());
    r.check_deferred();
    return r;
}

Interpolant Interpolant::pchip_deferred(uvector&& x, uvector&& y) {
    if (x.size() < 2 || x.size() != y.size()) validate_knots(x, y);
    Interpolant r;
    r.kind_ = InterpKind::Pchip;
    r.deferred_ = true;
    r.x_ = std::move(x);
    r.y_ = std::move(y);
    r.check_deferred();
    return r;
}

// The errors of the full build, without working out the interior slopes
// where bounds on the spacings and steps show them finite (in one pass that
// also checks the knots). Otherwise the knots are checked, and then the
// slopes worked out (and kept).
void Interpolant::check_deferred() {
    const std::size_t n = x_.size();
    if (!kernels::pchip_slopes_bounded(x_.data(), y_.data(), n)) {
        validate_knots(x_, y_);
        materialize();  // raises on a slope that is not finite
        return;
    }
    if (!finite(deferred_slope(0)) || !finite(deferred_slope(n - 1))) nonfinite_slopes();
}

uvector Interpolant::pchip_at_knots(std::span<const double> x, std::span<const double> y) {
    const std::size_t n = x.size();
    // Every knot but the last starts its own piece, at offset 0 there: the
    // value is y[i] + 0.0, the piece's other terms being products with 0,
    // as long as the piece's coefficients are finite. They are when every
    // spacing is at least 1e-60 and both the knots' span and every step of
    // y are at most 1e60: secant slopes are then at most 1e120, knot slopes too
    // (weighted harmonic means of secants, or end slopes limited to three
    // times one), and the coefficients at most about 1e240. The last knot
    // is the end of the last piece, which needs only the last three knots.
    constexpr double kSmallest = 1e-60, kLargest = 1e60;
    if (n < 3 || y.size() != n || !kernels::spread_within(x.data(), y.data(), n, kSmallest, kLargest))
        return pchip(x, y).eval(x);
    uvector out(n);
    for (std::size_t i = 0; i + 1 < n; ++i) out[i] = y[i] + 0.0;
    out[n - 1] = pchip_deferred(x.last(3), y.last(3)).deferred_eval(1, x[n - 1]);
    return out;
}

void Interpolant::require_knots() const {
    if (x_.empty()) throw ValueError("The interpolant has no knots (default-constructed or moved from).");
}

void Interpolant::materialize() {
    if (!deferred_) return;
    Segments seg(x_, y_);
    d_ = pchip_slopes_seg(seg, x_.size());
    c_ = hermite_coefficients(y_, seg, d_.data());
    deferred_ = false;  // y_ stays for pchip_scaled()
}

// One PCHIP piece from the neighbouring knots, with exactly the operations of
// the full construction (pchip_slopes_seg and hermite_coefficients).
double Interpolant::deferred_slope(std::size_t k) const {
    const std::size_t n = x_.size();
    const double* x = x_.data();
    const double* y = y_.data();
    auto h = [&](std::size_t j) { return x[j + 1] - x[j]; };
    auto m = [&](std::size_t j) { return (y[j + 1] - y[j]) / h(j); };
    if (n == 2) return m(0);
    if (k == 0) return pchip_edge(h(0), h(1), m(0), m(1));
    if (k == n - 1) return pchip_edge(h(n - 2), h(n - 3), m(n - 2), m(n - 3));
    const double mk0 = m(k - 1), mk1 = m(k);
    if (ne(sgn(mk1), sgn(mk0)) || (mk1 == 0) || (mk0 == 0)) return 0.0;
    const double w1 = 2 * h(k) + h(k - 1);
    const double w2 = h(k) + 2 * h(k - 1);
    const double whmean = (w1 / mk0 + w2 / mk1) / (w1 + w2);
    return 1.0 / whmean;
}

double Interpolant::deferred_eval(std::size_t i, double v) const {
    const double* x = x_.data();
    const double* y = y_.data();
    const double di = deferred_slope(i), dj = deferred_slope(i + 1);
    const double hi = x[i + 1] - x[i];
    const double slope = (y[i + 1] - y[i]) / hi;
    const double t = (di + dj - 2 * slope) / hi;
    const double c0 = t / hi;
    const double c1 = (slope - di) / hi - t;
    return cubic_at(c0, c1, di, y[i], v - x[i]);
}

double Interpolant::pchip_scaled(double v) const {
    require_knots();
    std::ptrdiff_t g = -1;
    const std::ptrdiff_t found = find_interval(v, g);
    if (found < 0 || kind_ != InterpKind::Pchip || y_.size() != x_.size()) return kNaN;
    const std::size_t i = static_cast<std::size_t>(found);
    const double h = x_[i + 1] - x_[i];
    const double y0 = y_[i], delta = y_[i + 1] - y_[i];
    const double u = (v - x_[i]) / h;
    const double di = deferred_ ? deferred_slope(i) : d_[i];
    const double dj = deferred_ ? deferred_slope(i + 1) : d_[i + 1];
    // The slopes times the spacing: secant-sized numbers even where the
    // slopes themselves are huge.
    const double a = di * h, b = dj * h;
    if (!std::isfinite(a) || !std::isfinite(b)) return y0 + u * delta;  // slopes overflowed
    return y0 + u * (a + u * ((3.0 * delta - 2.0 * a - b) + u * (a + b - 2.0 * delta)));
}


namespace {
// Uninitialised scratch storage: every element is written before it is read.
struct Scratch {
    double* p = nullptr;
    std::size_t bytes = 0;
    explicit Scratch(std::size_t n)
        : p(static_cast<double*>(allocate_buffer(checked_mul(n, sizeof(double))))), bytes(n * sizeof(double)) {}
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { release_buffer(p, bytes); }
    double* get() const { return p; }
};

// Not-a-knot spline for n >= 4 knots. Every value is computed with exactly
// the operations of notaknot_slopes_seg + gtsv + hermite_coefficients, so the
// results are the same to the last bit; the work is arranged differently:
// the independent arithmetic (spacings, slopes, rows, coefficients) in
// vectorised passes, and the two chains of dependent divisions (elimination
// and back substitution) in tight loops that keep their running values in
// registers.
// --- the tridiagonal solve as several chains side by side -----------------
//
// Elimination and back substitution are recurrences: every step waits for
// the division of the step before. Both contract, though: a wrong starting
// value fades by a factor of about 0.07 (elimination) or 0.27 (back
// substitution) per step, so a chain started part-way with a guess soon
// produces exactly the same doubles as the true recurrence, and from the
// first step at which its whole state equals the true state bit for bit it
// *is* the true recurrence (same inputs, same operations). So the steps are
// split into stretches run side by side, one chain each (their divisions
// overlap), and then the true recurrence is walked into each stretch until
// it meets that stretch's state; the values before the meeting point are
// replaced by the true ones. Results are identical to the sequential solve
// in every case: a stretch that never meets is recomputed in full, and a
// step that would pivot sends the whole solve back to the sequential code.
constexpr std::size_t kChains = 4;
constexpr std::size_t kChainMin = 40;  // shortest stretch worth a chain (a 450-knot solve takes half the time)

inline bool same_bits(double a, double b) {
    std::uint64_t ua, ub;
    std::memcpy(&ua, &a, sizeof ua);
    std::memcpy(&ub, &b, sizeof ub);
    return ua == ub;
}

// True when the elimination can use chains for n rows.
inline bool use_chains(std::size_t n) { return n > kChains * kChainMin + 2; }

// Elimination without pivoting of rows 0..n-1 (original diagonal d0, right
// side b0, upper du, lower dl) into dm, bm. False when some step would
// pivot or meet a zero pivot (dm, bm are then meaningless).
bool eliminate_chained(const double* d0, const double* b0, const double* du, const double* dl, double* dm, double* bm,
                       std::size_t n) {
    const std::size_t steps = n - 1;  // step i takes row i to row i + 1
    std::size_t S[kChains + 1];
    for (std::size_t j = 0; j <= kChains; ++j) S[j] = steps * j / kChains;
    std::size_t shortest = steps;
    for (std::size_t j = 0; j < kChains; ++j) shortest = std::min(shortest, S[j + 1] - S[j]);
    dm[0] = d0[0];
    bm[0] = b0[0];
    // Chain j starts at row S[j]; chains after the first guess the
    // unreduced row.
    double dc0 = d0[S[0]], bc0 = b0[S[0]], dc1 = d0[S[1]], bc1 = b0[S[1]];
    double dc2 = d0[S[2]], bc2 = b0[S[2]], dc3 = d0[S[3]], bc3 = b0[S[3]];
    bool bad = false;
#define VX_ELIM_STEP(dc, bc, i)                                            \
    do {                                                                   \
        const std::size_t i_ = (i);                                        \
        const double dli_ = dl[i_];                                        \
        bad |= !(std::fabs(dc) >= std::fabs(dli_)) | (dc == 0.0);          \
        const double fact_ = dli_ / dc;                                    \
        const double dn_ = d0[i_ + 1] - fact_ * du[i_];                    \
        const double bn_ = b0[i_ + 1] - fact_ * bc;                        \
        dm[i_ + 1] = dn_;                                                  \
        bm[i_ + 1] = bn_;                                                  \
        dc = dn_;                                                          \
        bc = bn_;                                                          \
    } while (0)
    for (std::size_t t = 0; t < shortest; ++t) {
        VX_ELIM_STEP(dc0, bc0, S[0] + t);
        VX_ELIM_STEP(dc1, bc1, S[1] + t);
        VX_ELIM_STEP(dc2, bc2, S[2] + t);
        VX_ELIM_STEP(dc3, bc3, S[3] + t);
    }
    for (std::size_t t = shortest; t < S[1] - S[0]; ++t) VX_ELIM_STEP(dc0, bc0, S[0] + t);
    for (std::size_t t = shortest; t < S[2] - S[1]; ++t) VX_ELIM_STEP(dc1, bc1, S[1] + t);
    for (std::size_t t = shortest; t < S[3] - S[2]; ++t) VX_ELIM_STEP(dc2, bc2, S[2] + t);
    for (std::size_t t = shortest; t < S[4] - S[3]; ++t) VX_ELIM_STEP(dc3, bc3, S[3] + t);
#undef VX_ELIM_STEP
    if (bad) return false;
    // The true recurrence into each later stretch, until it meets it.
    for (std::size_t j = 1; j < kChains; ++j) {
        double dc = dm[S[j]], bc = bm[S[j]];  // exact: the previous stretch is settled
        for (std::size_t i = S[j]; i < S[j + 1]; ++i) {
            const double dli = dl[i];
            if (!(std::fabs(dc) >= std::fabs(dli)) || dc == 0.0) return false;
            const double fact = dli / dc;
            const double dn = d0[i + 1] - fact * du[i];
            const double bn = b0[i + 1] - fact * bc;
            if (same_bits(dn, dm[i + 1]) && same_bits(bn, bm[i + 1])) break;
            dm[i + 1] = dn;
            bm[i + 1] = bn;
            dc = dn;
            bc = bn;
        }
    }
    return true;
}

// Back substitution without pivoting (the fill-in of rows 0..n-3 is zero)
// from the eliminated rows (diagonal dm, right side bm, upper du, fill dl)
// into x.
void substitute_chained(const double* dm, const double* bm, const double* du, const double* dl, double* x,
                        std::size_t n) {
    x[n - 1] = bm[n - 1] / dm[n - 1];
    x[n - 2] = (bm[n - 2] - du[n - 2] * x[n - 1]) / dm[n - 2];
    // Step s computes row k = n - 3 - s from the two rows above it.
    const std::size_t steps = n - 2;
    std::size_t S[kChains + 1];
    for (std::size_t j = 0; j <= kChains; ++j) S[j] = steps * j / kChains;
    std::size_t shortest = steps;
    for (std::size_t j = 0; j < kChains; ++j) shortest = std::min(shortest, S[j + 1] - S[j]);
    // Chain j: (x1, x2) = values of the two rows above its first row; the
    // chains after the first start from zeros.
    double a1 = x[n - 2], a2 = x[n - 1], p1 = 0.0, p2 = 0.0, q1 = 0.0, q2 = 0.0, r1 = 0.0, r2 = 0.0;
#define VX_SUBST_STEP(x1, x2, s)                                            \
    do {                                                                    \
        const std::size_t k_ = n - 3 - (s);                                 \
        const double r_ = bm[k_] - du[k_] * x1;                             \
        double v_;                                                          \
        if (__builtin_expect(r_ != 0.0 && x2 - x2 == 0.0, 1)) v_ = r_ / dm[k_]; \
        else v_ = (r_ - dl[k_] * x2) / dm[k_];                              \
        x[k_] = v_;                                                         \
        x2 = x1;                                                            \
        x1 = v_;                                                            \
    } while (0)
    for (std::size_t t = 0; t < shortest; ++t) {
        VX_SUBST_STEP(a1, a2, S[0] + t);
        VX_SUBST_STEP(p1, p2, S[1] + t);
        VX_SUBST_STEP(q1, q2, S[2] + t);
        VX_SUBST_STEP(r1, r2, S[3] + t);
    }
    for (std::size_t t = shortest; t < S[1] - S[0]; ++t) VX_SUBST_STEP(a1, a2, S[0] + t);
    for (std::size_t t = shortest; t < S[2] - S[1]; ++t) VX_SUBST_STEP(p1, p2, S[1] + t);
    for (std::size_t t = shortest; t < S[3] - S[2]; ++t) VX_SUBST_STEP(q1, q2, S[2] + t);
    for (std::size_t t = shortest; t < S[4] - S[3]; ++t) VX_SUBST_STEP(r1, r2, S[3] + t);
#undef VX_SUBST_STEP
    // The true recurrence into each later stretch, until its state (the
    // values of two successive rows) meets the stretch's.
    for (std::size_t j = 1; j < kChains; ++j) {
        const std::size_t top = n - 3 - S[j];
        double x1 = x[top + 1], x2 = x[top + 2];  // exact: the stretch above is settled
        bool above_met = false;                   // the stretch started from a guess
        for (std::size_t s = S[j]; s < S[j + 1]; ++s) {
            const std::size_t k = n - 3 - s;
            const double r = bm[k] - du[k] * x1;
            const double v = (r != 0.0 && x2 - x2 == 0.0) ? r / dm[k] : (r - dl[k] * x2) / dm[k];
            const bool met = same_bits(v, x[k]);
            if (met && above_met) break;
            above_met = met;
            x[k] = v;
            x2 = x1;
            x1 = v;
        }
    }
}

// --- lanes of vector registers ---------------------------------------------
//
// For long systems the same scheme runs eight or sixteen stretches of L rows
// in the lanes of vector registers, where four divisions cost about as much
// as one. The stretches cover the rows [2, 2 + K L), whose rows of the
// system are the interior ones (d = 2 (h[i-1] + h[i]), b = 3 (h[i] m[i-1] +
// h[i-1] m[i]), du = h[i-1], dl = h[i+1]): the lanes compute them from the
// spacings and slopes with the same operations. Rows 0 and 1 and the rows
// from 2 + K L on (at least the last four) are done one by one. The lanes
// keep their data interleaved (entry j of each group of K is lane j's), and
// the true recurrence is walked into each later lane's stretch as above.
constexpr std::size_t kLaneMin = 48;       // shortest stretch worth eight lanes
constexpr std::size_t kWideLaneMin = 128;  // shortest worth sixteen (fifteen walks)
constexpr std::size_t kWarmUp = 40;        // warm-up steps of a lane before its stretch

inline std::size_t lane_length(std::size_t n, std::size_t K) { return n < 6 ? 0 : (n - 6) / K; }

// The rows of the not-a-knot system (LAPACK's d, b, du, dl) from the
// spacings and slopes, with the end rows given: the values notaknot_rows
// and the end rows of notaknot_fused store.
// The spacings and slopes come from arrays, or (h and m null) are worked
// out where they are needed from the knots, with the operations of
// segments_block.
struct NotAKnotRows {
    const double* h;
    const double* m;
    const double* x;
    const double* y;
    std::size_t n;
    double d0, b0, du0, d_last, b_last, dl_last;
    double H(std::size_t i) const { return h ? h[i] : x[i + 1] - x[i]; }
    double M(std::size_t i) const {
        if (m) return m[i];
        const double hi = x[i + 1] - x[i];
        return (y[i + 1] - y[i]) / hi;
    }
    double d(std::size_t r) const { return r == 0 ? d0 : r == n - 1 ? d_last : 2 * (H(r - 1) + H(r)); }
    double b(std::size_t r) const {
        return r == 0 ? b0 : r == n - 1 ? b_last : 3 * (H(r) * M(r - 1) + H(r - 1) * M(r));
    }
    double du(std::size_t i) const { return i == 0 ? du0 : H(i - 1); }
    double dl(std::size_t i) const { return i == n - 2 ? dl_last : H(i + 1); }
};

// The rows with the end rows of the system (LAPACK's dl/d/du/b) worked out;
// h and m may be null (see NotAKnotRows).
NotAKnotRows notaknot_ends(const double* x, const double* y, const double* h, const double* m, std::size_t n) {
    NotAKnotRows R{h, m, x, y, n, 0.0, 0.0, x[2] - x[0], 0.0, 0.0, x[n - 1] - x[n - 3]};
    R.d0 = R.H(1);
    R.d_last = R.H(n - 3);
    {
        const double dd = x[2] - x[0];
        R.b0 = ((R.H(0) + 2 * dd) * R.H(1) * R.M(0) + scalar_square(R.H(0)) * R.M(1)) / dd;
    }
    {
        const double dd = x[n - 1] - x[n - 3];
        R.b_last = (scalar_square(R.H(n - 2)) * R.M(n - 3) + (2 * dd + R.H(n - 2)) * R.H(n - 3) * R.M(n - 2)) / dd;
    }
    return R;
}

// The lane kernels for K lanes.
template <std::size_t K>
struct LaneKernels;
template <>
struct LaneKernels<8> {
    static constexpr auto interleave = kernels::interleave8;
    static constexpr auto deinterleave = kernels::deinterleave8;
    static constexpr auto eliminate = kernels::eliminate_lanes8;
    static constexpr auto substitute = kernels::substitute_lanes8;
    static constexpr auto eliminate_swapping = kernels::eliminate_swapping8;
    static constexpr auto substitute_filled = kernels::substitute_filled8;
};
template <>
struct LaneKernels<16> {
    static constexpr auto interleave = kernels::interleave16;
    static constexpr auto deinterleave = kernels::deinterleave16;
    static constexpr auto eliminate = kernels::eliminate_lanes16;
    static constexpr auto substitute = kernels::substitute_lanes16;
    static constexpr auto eliminate_swapping = kernels::eliminate_swapping16;
    static constexpr auto substitute_filled = kernels::substitute_filled16;
};

// Lane j's entries s < count of a chunk starting c0 steps into the lanes
// (lane j's spacings start at base + j * L), interleaved into dst: the
// spacings h[base + j L + c0 + off + s] (or slopes m[...] when `slopes`),
// from the arrays or worked out chunk by chunk from the knots (clearing
// *valid when a knot in reach fails segments_block's checks).
template <std::size_t K>
struct LaneFeed {
    const NotAKnotRows& R;
    std::size_t base, L;
    bool* valid;
    static constexpr std::size_t kStride = 128 + 3;
    Scratch hb{K * kStride}, mb{K * kStride};

    void operator()(std::size_t c0, std::size_t off, std::size_t count, bool slopes, double* dst,
                    void (*interleave)(const double*, std::size_t, std::size_t, double*)) {
        if (R.h) {
            interleave((slopes ? R.m : R.h) + base + c0 + off, L, count, dst);
            return;
        }
        interleave((slopes ? mb.get() : hb.get()) + off, kStride, count, dst);
    }
    // Works out h and m of entries [0, count + 1) of each lane's chunk.
    void load(std::size_t c0, std::size_t count) {
        if (R.h) return;
        *valid &= kernels::lane_segments(R.x + base + c0, R.y + base + c0, K, L, count + 2, hb.get(), mb.get(),
                                         kStride);
    }
    // The spacings h[base + j L + c0 + u], u < count, interleaved into dst.
    void spacings(std::size_t c0, std::size_t count, double* dst,
                  void (*interleave)(const double*, std::size_t, std::size_t, double*)) {
        if (R.h) {
            interleave(R.h + base + c0, L, count, dst);
            return;
        }
        kernels::lane_spacings(R.x + base + c0, K, L, count, hb.get(), kStride);
        interleave(hb.get(), kStride, count, dst);
    }
};

inline bool pivots(double dc, double dli) { return !(std::fabs(dc) >= std::fabs(dli)) || dc == 0.0; }
// One row of the back substitution (the fill-in is zero: r - 0 * x2, as the
// solver computes it).
inline double subst_row(double bk, double duk, double dk, double x1, double x2) {
    return ((bk - duk * x1) - 0.0 * x2) / dk;
}

// --- elimination with row interchanges, step by step --------------------------
//
// The state of the elimination on arriving at row r: its reduced diagonal
// and right side, and its upper entry when an interchange at the step before
// changed it (`plain` when it is the system's own, R.du(r)).
struct ElimState {
    double d = 0.0, b = 0.0, du = 0.0;
    bool plain = true;
};
// A row of the eliminated system that differs from the plain one (reduced
// diagonal and right side as reached, the system's upper entry, no fill-in):
// a row swapped with the next, or one whose upper entry a swap changed.
struct RowFinal {
    std::size_t row;
    double d, b, du, dl;
};

// Step i (row i to row i + 1) of LAPACK's dgtsv with its interchange, from
// the state at row i to the state at row i + 1. Row i is appended to `ex`
// when it is not plain. False on a zero pivot (a singular matrix).
inline bool pivot_step(const NotAKnotRows& R, std::size_t i, ElimState& s, std::vector<RowFinal>& ex) {
    const double dli = R.dl(i);
    const double dui = s.plain ? R.du(i) : s.du;
    const bool last = (i + 2 == R.n);
    if (std::fabs(s.d) >= std::fabs(dli)) {
        if (s.d == 0.0) return false;
        const double fact = dli / s.d;
        if (!s.plain) ex.push_back({i, s.d, s.b, dui, 0.0});
        s.d = R.d(i + 1) - fact * dui;
        s.b = R.b(i + 1) - fact * s.b;
        s.plain = true;
        return true;
    }
    // Rows i and i + 1 swap: row i takes the lower row's entries and a
    // fill-in of its upper entry; the new row i + 1's upper entry changes.
    const double fact = s.d / dli;
    const double dnext = R.d(i + 1), bnext = R.b(i + 1);
    const double dunext = last ? 0.0 : R.du(i + 1);
    ex.push_back({i, dli, bnext, dnext, last ? dli : dunext});
    s.d = dui - fact * dnext;
    s.b = s.b - fact * bnext;
    s.du = -fact * dunext;
    s.plain = last;
    return true;
}

// The value of row k in the back substitution, from the two values after
// it: ((b - du x1) - dl x2) / d, the fill-in dl zero in a plain row.
inline double general_row(double b, double du, double dl, double d, double x1, double x2) {
    return ((b - du * x1) - dl * x2) / d;
}

// The geometry shared by the blocks of lanes below: K lanes of L rows from
// row r0 (lane j from A_j = r0 + j L), W warm-up steps, and the feed of
// their spacings and slopes. A block can move to other rows (within the
// room its owner made).
template <std::size_t K>
struct LaneSpan {
    static constexpr std::size_t kChunk = 128;
    static_assert(LaneFeed<K>::kStride >= kChunk + 3);
    using LK = LaneKernels<K>;

    const NotAKnotRows& R;
    std::size_t r0, L, W;
    LaneFeed<K> feed;

    LaneSpan(const NotAKnotRows& R_, std::size_t r0_, std::size_t L_, bool* valid)
        : R(R_), r0(r0_), L(L_), W(std::min(kWarmUp, L_)), feed{R_, r0_ - 2, L_, valid} {}
    // The block from row r with lanes of L_ rows.
    void move_to(std::size_t r, std::size_t L_) {
        r0 = r;
        L = L_;
        W = std::min(kWarmUp, L_);
        feed.base = r - 2;
        feed.L = L_;
    }
    std::size_t A(std::size_t j) const { return r0 + j * L; }
    std::size_t end() const { return r0 + K * L; }
};

// K lanes of L rows side by side over the interior rows [r0, r0 + K L)
// (r0 >= 2, and at least one row after them): lane j takes the rows from
// A_j = r0 + j L. The elimination continues from the reduced row r0 - 1;
// the substitution from the solution at the two rows after the lanes.
template <std::size_t K>
struct LaneBlock : LaneSpan<K> {
    using Span = LaneSpan<K>;
    using typename Span::LK;
    using Span::kChunk, Span::R, Span::r0, Span::L, Span::W, Span::feed, Span::A, Span::end;
    Scratch ths, tms, tdms, tbms, txs;
    double* th;
    double* tm;
    double* tdm;  // reduced rows, interleaved: row A_j + t at K t + j
    double* tbm;
    // With the spacings in an array, the elimination interleaves all of them
    // here (group g: h[A_j - 2 + g], g <= L + 1) and the substitution reads
    // its upper diagonals from them instead of interleaving them again.
    // `kept` says they are complete for the block's current rows.
    bool keep_h;
    Scratch khs;
    bool kept = false;

    // Room for lanes of up to `capacity` rows (at least L_).
    LaneBlock(const NotAKnotRows& R_, std::size_t r0_, std::size_t L_, bool* valid, std::size_t capacity = 0)
        : Span(R_, r0_, L_, valid), ths(K * (kChunk + 2)), tms(K * (kChunk + 1)),
          tdms(K * std::max(L_, capacity)), tbms(K * std::max(L_, capacity)), txs(K * kChunk), th(ths.get()),
          tm(tms.get()), tdm(tdms.get()), tbm(tbms.get()), keep_h(R_.h != nullptr),
          khs(keep_h ? K * (std::max(L_, capacity) + 2) : 0) {}
    // The block from row r with lanes of L_ rows (the kept spacings were
    // those of other rows).
    void move_to(std::size_t r, std::size_t L_) {
        Span::move_to(r, L_);
        kept = false;
    }
    // The reduced diagonal and right side of row k of the block.
    double dm_at(std::size_t k) const { return tdm[K * ((k - r0) % L) + (k - r0) / L]; }
    double bm_at(std::size_t k) const { return tbm[K * ((k - r0) % L) + (k - r0) / L]; }

    // Elimination from the reduced row r0 - 1 (d_in, b_in) to the block's
    // last row (left in d_out, b_out). False when a step would pivot.
    bool eliminate(double d_in, double b_in, double& d_out, double& b_out) {
        if (run_lanes(d_in, b_in, nullptr)) return false;
        return walk_into_lanes(d_out, b_out);
    }

    // The same with row interchanges where the elimination needs them, from
    // the state `in` at row r0 - 1 to the state `out` at the block's last
    // row; the rows that are not plain are appended to `ex` in order. False
    // on a zero pivot, or (rarely) when a walk into a lane meets a step that
    // swaps rows before it has met the lane: the caller then solves step by
    // step.
    // With `heavy`, the lanes stop early and set *heavy when the steps that
    // would swap rows are many (a quarter of the lanes in the first chunk,
    // or a quarter of all chunks of all lanes).
    bool eliminate_pivoting(const ElimState& in, ElimState& out, std::vector<RowFinal>& ex, bool* heavy = nullptr) {
        std::vector<std::uint32_t> flagged((L + kChunk - 1) / kChunk, 0);
        const bool swaps = run_lanes(in.d, in.b, &flagged, heavy);
        if (heavy && *heavy) return false;
        if (!swaps && in.plain) {
            out = ElimState{};
            return walk_into_lanes(out.d, out.b);
        }
        return careful_walks(in, out, flagged, ex);
    }

    // The lanes over every chunk, from the reduced row r0 - 1 (d_in, b_in)
    // for lane 0 and guessed starts for the others. True when a step of some
    // lane (or of a warm-up) would swap rows: without `flagged` the lanes
    // stop there; with it they go on (their rows after such a step are not
    // the system's) and flag, for each chunk, the lanes (bit j for lane j)
    // in which a step would swap.
    bool run_lanes(double d_in, double b_in, std::vector<std::uint32_t>* flagged, bool* heavy = nullptr) {
        bool swaps = false;
        // Before its stretch each lane j >= 1 runs W warm-up steps over the
        // rows just below it, from a guess (the unreduced row), so that it
        // usually enters its stretch with the true state already and the walk
        // into it meets at once. Lane 0 warms up on lane 1's rows and then
        // takes its exact start. The warm-up rows are not kept.
        double sd[K], sb[K];
        {
            Scratch wh(K * (W + 2)), wm(K * (W + 1)), wout(2 * K * W);
            for (std::size_t j = 0; j < K; ++j) {
                const std::size_t w0 = A(j == 0 ? 1 : j) - W;  // first warm-up row
                for (std::size_t s = 0; s < W + 2; ++s) wh.get()[K * s + j] = R.H(w0 - 2 + s);
                for (std::size_t s = 0; s < W + 1; ++s) wm.get()[K * s + j] = R.M(w0 - 1 + s);
                sd[j] = R.d(w0 - 1);
                sb[j] = R.b(w0 - 1);
            }
            // A warm-up step that would swap rows (the previous lane's last
            // rows) may leave a lane's start far from the true one: with
            // interchanges allowed, the lanes are then walked carefully.
            const bool warm_swaps = LK::eliminate(wh.get(), wm.get(), W, sd, sb, wout.get(), wout.get() + K * W) != 0;
            swaps = flagged && warm_swaps;
        }
        sd[0] = d_in;
        sb[0] = b_in;
        // Lane j's step t (row A_j + t) uses group t, t + 1, t + 2 of the
        // spacings h[A_j - 2 + s] and group t, t + 1 of the slopes m[A_j - 1 + s].
        kept = false;
        for (std::size_t c0 = 0; c0 < L; c0 += kChunk) {
            const std::size_t T = std::min(kChunk, L - c0);
            double* const hc = keep_h ? khs.get() + K * c0 : th;
            feed.load(c0, T + 1);
            feed(c0, 0, T + 2, false, hc, LK::interleave);
            feed(c0, 1, T + 1, true, tm, LK::interleave);
            if (const std::uint32_t lanes = LK::eliminate(hc, tm, T, sd, sb, tdm + K * c0, tbm + K * c0)) {
                if (!flagged) return true;
                (*flagged)[c0 / kChunk] = lanes;
                swaps = true;
                if (heavy && c0 == 0 && static_cast<std::size_t>(std::popcount(lanes)) * 4 >= K) {
                    *heavy = true;
                    return true;
                }
            }
        }
        kept = keep_h;
        if (heavy && flagged) {
            std::size_t count = 0;
            for (const std::uint32_t lanes : *flagged) count += static_cast<std::size_t>(std::popcount(lanes));
            *heavy = count * 4 >= K * flagged->size() && count > 0;
        }
        return swaps;
    }

    // The true recurrence walked into lanes 1..K-1 until it meets each, from
    // the end of lane 0 (left in d_out, b_out at the block's last row).
    // False when a walked step would swap rows.
    bool walk_into_lanes(double& d_out, double& b_out) {
        // The walks into lanes 1..K-1 side by side. Walk j starts from the end of
        // lane j - 1, which is settled when walk j - 1 met; when walk j - 1
        // changed that end (it never met), walk j is walked again from the
        // corrected end.
        double wd[K], wb[K], start_d[K], start_b[K];
        bool active[K] = {false};
        for (std::size_t j = 1; j < K; ++j) {
            start_d[j] = wd[j] = tdm[K * (L - 1) + j - 1];
            start_b[j] = wb[j] = tbm[K * (L - 1) + j - 1];
            active[j] = true;
        }
        // One step of walk j at row A_j + t; false when it would pivot.
        const auto step = [&](std::size_t j, std::size_t t) {
            const std::size_t r = A(j) + t, i = r - 1;
            if (pivots(wd[j], R.dl(i))) return false;
            const double fact = R.dl(i) / wd[j];
            const double dn = R.d(r) - fact * R.du(i);
            const double bn = R.b(r) - fact * wb[j];
            if (same_bits(dn, tdm[K * t + j]) && same_bits(bn, tbm[K * t + j])) {
                active[j] = false;
                return true;
            }
            tdm[K * t + j] = wd[j] = dn;
            tbm[K * t + j] = wb[j] = bn;
            return true;
        };
        bool any = true;
        for (std::size_t t = 0; t < L && any; ++t) {
            any = false;
            for (std::size_t j = 1; j < K; ++j) {
                if (!active[j]) continue;
                if (!step(j, t)) return false;
                any |= active[j];
            }
        }
        for (std::size_t j = 2; j < K; ++j) {
            const double d_end = tdm[K * (L - 1) + j - 1], b_end = tbm[K * (L - 1) + j - 1];
            if (same_bits(d_end, start_d[j]) && same_bits(b_end, start_b[j])) continue;
            wd[j] = d_end;
            wb[j] = b_end;
            active[j] = true;
            for (std::size_t t = 0; t < L && active[j]; ++t)
                if (!step(j, t)) return false;
        }
        d_out = tdm[K * (L - 1) + K - 1];
        b_out = tbm[K * (L - 1) + K - 1];
        return true;
    }

    // Lane by lane, the true recurrence with interchanges from the lane's
    // start until it meets the lane's state (diagonal and right side, with
    // the system's own upper entry); then on from each later step where the
    // lane's own recurrence would swap rows (those steps lie in flagged
    // chunks: once met, the lane *is* the true recurrence), until it meets
    // again. Walked rows replace the lane's.
    bool careful_walks(ElimState s, ElimState& out, const std::vector<std::uint32_t>& flagged,
                       std::vector<RowFinal>& ex) {
        for (std::size_t j = 0; j < K; ++j) {
            bool walking = true;
            for (std::size_t t = 0; t < L; ++t) {
                const std::size_t i = A(j) + t - 1;  // step i reaches row A_j + t
                if (!walking) {
                    if (!(flagged[t / kChunk] >> j & 1u)) {
                        t = (t / kChunk + 1) * kChunk - 1;  // nothing swaps in this chunk of the lane
                        continue;
                    }
                    const double dprev = tdm[K * (t - 1) + j];
                    if (!pivots(dprev, R.dl(i))) continue;
                    s = ElimState{dprev, tbm[K * (t - 1) + j], 0.0, true};
                    walking = true;
                }
                if (!pivot_step(R, i, s, ex)) return false;
                if (s.plain && same_bits(s.d, tdm[K * t + j]) && same_bits(s.b, tbm[K * t + j])) {
                    walking = false;
                    continue;
                }
                tdm[K * t + j] = s.d;
                tbm[K * t + j] = s.b;
            }
            if (!walking) s = ElimState{tdm[K * (L - 1) + j], tbm[K * (L - 1) + j], 0.0, true};
        }
        out = s;
        return true;
    }

    // Back substitution into x[r0 .. end()), from the solution x1 at row
    // end() and x2 at the row after.
    void substitute(double x1, double x2, double* x) {
        // Each lane j <= K - 2 first runs W warm-up steps down the rows just
        // above its stretch (the bottom of lane j + 1's), from zeros; lane
        // K - 1 warms up on lane K - 2's rows and then takes its exact start.
        double s1[K], s2[K];
        {
            Scratch wh(K * W), wdm(K * W), wbm(K * W), wout(K * W);
            for (std::size_t j = 0; j < K; ++j) {
                const std::size_t lane = j + 1 < K ? j + 1 : K - 1;  // rows A_lane + u
                for (std::size_t u = 0; u < W; ++u) {
                    wh.get()[K * u + j] = R.du(A(lane) + u);
                    wdm.get()[K * u + j] = tdm[K * u + lane];
                    wbm.get()[K * u + j] = tbm[K * u + lane];
                }
                s1[j] = s2[j] = 0.0;
            }
            LK::substitute(wh.get(), wdm.get(), wbm.get(), W, s1, s2, wout.get());
        }
        s1[K - 1] = x1;
        s2[K - 1] = x2;
        // Chunks from the top down; each chunk's solution goes straight to x.
        double* tx = txs.get();
        for (std::size_t c1 = L; c1 > 0;) {
            const std::size_t T = std::min(kChunk, c1), c0 = c1 - T;
            // group u: h[A_j - 1 + c0 + u], the upper diagonal of row A_j + c0 + u
            const double* hc = th;
            if (kept) hc = khs.get() + K * (c0 + 1);
            else feed.spacings(c0 + 1, T, th, LK::interleave);
            LK::substitute(hc, tdm + K * c0, tbm + K * c0, T, s1, s2, tx);
            LK::deinterleave(tx, L, T, x + r0 + c0);
            c1 = c0;
        }
        // The walks down into lanes K-2..0 side by side (walk j from the bottom
        // of lane j + 1, and again when the walk above changed that bottom). A
        // walk has met when two successive rows agree.
        double y1[K], y2[K], start1[K], start2[K];
        bool active[K] = {false}, above_met[K] = {false};
        for (std::size_t j = 0; j + 1 < K; ++j) {
            start1[j] = y1[j] = x[A(j + 1)];
            start2[j] = y2[j] = x[A(j + 1) + 1];
            active[j] = true;
        }
        const auto step = [&](std::size_t j, std::size_t u) {
            const std::size_t k = A(j) + u;
            const double v = subst_row(tbm[K * u + j], R.du(k), tdm[K * u + j], y1[j], y2[j]);
            const bool same = same_bits(v, x[k]);
            if (same && above_met[j]) {
                active[j] = false;
                return;
            }
            above_met[j] = same;
            x[k] = v;
            y2[j] = y1[j];
            y1[j] = v;
        };
        bool any = true;
        for (std::size_t u = L; u-- > 0 && any;) {
            any = false;
            for (std::size_t j = 0; j + 1 < K; ++j) {
                if (!active[j]) continue;
                step(j, u);
                any |= active[j];
            }
        }
        for (std::size_t j = K - 2; j-- > 0;) {
            if (same_bits(x[A(j + 1)], start1[j]) && same_bits(x[A(j + 1) + 1], start2[j])) continue;
            y1[j] = x[A(j + 1)];
            y2[j] = x[A(j + 1) + 1];
            active[j] = true;
            above_met[j] = false;
            for (std::size_t u = L; u-- > 0 && active[j];) step(j, u);
        }
    }
};

// The rows from `from` to the last with interchanges: elimination from the
// state s at row `from`, then back substitution from the end into x. False
// on a zero pivot.
bool last_rows_from(const NotAKnotRows& R, std::size_t from, ElimState s, double* x, std::vector<RowFinal>& ex) {
    const std::size_t n = R.n, count = n - from;
    Scratch ds(count), bs(count), us(count), ls(count);
    double* d = ds.get() - from;  // indexed by row
    double* b = bs.get() - from;
    double* du = us.get() - from;
    double* dl = ls.get() - from;
    for (std::size_t i = from; i + 1 < n; ++i) {
        const ElimState at = s;
        const std::size_t records = ex.size();
        if (!pivot_step(R, i, s, ex)) return false;
        if (ex.size() > records) {
            const RowFinal f = ex.back();
            ex.pop_back();
            d[i] = f.d;
            b[i] = f.b;
            du[i] = f.du;
            dl[i] = f.dl;
        } else {
            d[i] = at.d;
            b[i] = at.b;
            du[i] = R.du(i);
            dl[i] = 0.0;
        }
    }
    d[n - 1] = s.d;
    b[n - 1] = s.b;
    if (d[n - 1] == 0.0) return false;
    x[n - 1] = b[n - 1] / d[n - 1];
    x[n - 2] = (b[n - 2] - du[n - 2] * x[n - 1]) / d[n - 2];
    for (std::size_t k = n - 2; k-- > from;) x[k] = general_row(b[k], du[k], dl[k], d[k], x[k + 1], x[k + 2]);
    return true;
}
// The same from the state s at row from - 1; the record of row from - 1,
// when it is not plain, is appended to `ex`.
bool last_rows_pivoting(const NotAKnotRows& R, std::size_t from, ElimState s, double* x, std::vector<RowFinal>& ex) {
    return pivot_step(R, from - 1, s, ex) && last_rows_from(R, from, s, x, ex);
}

// After a back substitution that took every row below `ex`'s last as plain:
// each row of `ex` (ascending) is recomputed with its own entries, from the
// last up, and the true values are walked on up from it until two
// successive plain rows agree with the values found there. Above those two
// the values follow from them, as the substitution computed them. `plain`
// gives a plain row's reduced diagonal and right side.
template <class Plain>
void fix_swapped_rows(const NotAKnotRows& R, const std::vector<RowFinal>& ex, Plain plain, double* x) {
    std::size_t e = ex.size();  // ex[0, e) are still to walk from
    while (e > 0) {
        std::size_t c = e;
        bool above_same = false;
        for (std::size_t r = ex[e - 1].row + 1; r-- > 0;) {
            double d, b, du = R.du(r), dl = 0.0;
            const bool swapped = c > 0 && ex[c - 1].row == r;
            if (swapped) {
                const RowFinal& f = ex[--c];
                d = f.d;
                b = f.b;
                du = f.du;
                dl = f.dl;
            } else {
                plain(r, d, b);
            }
            const double v = general_row(b, du, dl, d, x[r + 1], x[r + 2]);
            const bool same = !swapped && same_bits(v, x[r]);
            if (same && above_same) break;
            above_same = same;
            x[r] = v;
        }
        e = c;
    }
}

// --- lanes that swap rows themselves -------------------------------------------
//
// Systems whose elimination swaps rows often (spacings that grow several
// times from one interval to the next, as on knots drawn at random) would
// send the lanes above to walk most of their rows. Here the lanes take the
// interchanges themselves: each step picks its operands by the comparison
// (one division serves both outcomes) and records the row it leaves, as
// (diagonal, right side, upper entry, fill-in), the fill-in zero where the
// rows stay in place. A lane's state is the reduced diagonal, right side and
// upper entry of its current row. Where a step keeps the rows, the record
// *is* the state: a walk of the true recurrence into a lane has met it at
// the first row that both keep with the same record.
struct SwapRecord {
    double d, b, u, f;
};
// Step i (row i, interior, to row i + 1) from the state (d, b, u) of row i
// with the operations of the lane kernels; row i's record in rec. 1 when the
// rows swap, 0 when they stay, -1 on a zero pivot.
inline int swap_step(const NotAKnotRows& R, std::size_t i, double& d, double& b, double& u, SwapRecord& rec) {
    const double h1 = R.H(i), h2 = R.H(i + 1);
    const double dn = 2 * (h1 + h2), bn = 3 * (h2 * R.M(i) + h1 * R.M(i + 1));
    const bool sw = !(std::fabs(d) >= std::fabs(h2));
    if (!sw && d == 0.0) return -1;
    const double den = sw ? h2 : d;
    const double fact = (sw ? d : h2) / den;
    const double q = sw ? dn : u, p = sw ? u : dn;
    const double qb = sw ? bn : b, pb = sw ? b : bn;
    rec = {den, qb, q, sw ? h1 : 0.0};
    d = p - fact * q;
    b = pb - fact * qb;
    u = sw ? -(fact * h1) : h1;
    return sw ? 1 : 0;
}

// The true solution at rows r1 and r1 + 1 walked back into the block that
// ends at r1, through its last `kept` rows (row r1 - kept + q's value from
// the two after it by row(q, x1, x2)), until two successive rows agree with
// the block's values: above them the block's values follow from those two.
// False when they do not agree within the kept rows.
template <class Row>
bool walk_back(double* x, std::size_t r1, std::size_t kept, Row row) {
    double y1 = x[r1], y2 = x[r1 + 1];
    bool above_met = false;
    for (std::size_t q = kept; q-- > 0;) {
        const double v = row(q, y1, y2);
        double& stored = x[r1 - kept + q];
        const bool same = same_bits(v, stored);
        if (same && above_met) return true;
        above_met = same;
        stored = v;
        y2 = y1;
        y1 = v;
    }
    return false;
}

// K such lanes of L rows side by side over the interior rows [r0, r0 + K L)
// (r0 >= 2, and at least two rows after them): lane j takes the steps from
// row A_j - 1 to row A_j + L (A_j = r0 + j L), one more than its rows, so
// that it records all of them (record slot t: row A_j + t - 1). The spacings
// and slopes come from arrays or are worked out from the knots chunk by
// chunk, as for the lanes above.
template <std::size_t K>
struct SwapBlock : LaneSpan<K> {
    using Span = LaneSpan<K>;
    using typename Span::LK;
    using Span::kChunk, Span::R, Span::r0, Span::L, Span::W, Span::feed, Span::move_to, Span::A, Span::end;
    Scratch fds, fbs, fus, ffs, ths, tms;
    double* fd;  // records, interleaved: slot t of lane j at K t + j
    double* fb;
    double* fu;
    double* ff;
    double* th;
    double* tm;

    // Room for lanes of up to `capacity` rows (at least L_).
    SwapBlock(const NotAKnotRows& R_, std::size_t r0_, std::size_t L_, bool* valid, std::size_t capacity = 0)
        : Span(R_, r0_, L_, valid), fds(K * (std::max(L_, capacity) + 1)), fbs(K * (std::max(L_, capacity) + 1)),
          fus(K * (std::max(L_, capacity) + 1)), ffs(K * (std::max(L_, capacity) + 1)), ths(K * (kChunk + 2)),
          tms(K * (kChunk + 1)), fd(fds.get()), fb(fbs.get()), fu(fus.get()), ff(ffs.get()), th(ths.get()),
          tm(tms.get()) {}
    // The record of row k, r0 - 1 <= k < end() (row r0 - 1: lane 0's slot 0).
    SwapRecord record(std::size_t k) const {
        const std::size_t i = k < r0 ? 0 : K * ((k - r0) % L + 1) + (k - r0) / L;
        return {fd[i], fb[i], fu[i], ff[i]};
    }

    // Elimination from the state (d, b, u) of row r0 - 1 to that of row
    // end(), left in d, b, u. False on a zero pivot (a zero spacing; the
    // caller solves another way, which reports it).
    bool eliminate(double& d, double& b, double& u) {
        // Each lane j >= 1 warms up over the W rows below it from the
        // unreduced row; lane 0 warms up on lane 1's rows and then takes its
        // exact start.
        double sd[K], sb[K], su[K];
        {
            Scratch wh(K * (W + 2)), wm(K * (W + 1)), wout(4 * K * W);
            for (std::size_t j = 0; j < K; ++j) {
                const std::size_t w0 = A(j == 0 ? 1 : j) - W;
                for (std::size_t s = 0; s < W + 2; ++s) wh.get()[K * s + j] = R.H(w0 - 2 + s);
                for (std::size_t s = 0; s < W + 1; ++s) wm.get()[K * s + j] = R.M(w0 - 1 + s);
                sd[j] = R.d(w0 - 1);
                sb[j] = R.b(w0 - 1);
                su[j] = R.du(w0 - 1);
            }
            double* o = wout.get();
            LK::eliminate_swapping(wh.get(), wm.get(), W, sd, sb, su, o, o + K * W, o + 2 * K * W, o + 3 * K * W);
        }
        sd[0] = d;
        sb[0] = b;
        su[0] = u;
        std::uint32_t zero_pivots = 0;
        const std::size_t S = L + 1;
        for (std::size_t c0 = 0; c0 < S; c0 += kChunk) {
            const std::size_t T = std::min(kChunk, S - c0);
            feed.load(c0, T + 1);
            feed(c0, 0, T + 2, false, th, LK::interleave);
            feed(c0, 1, T + 1, true, tm, LK::interleave);
            zero_pivots |=
                LK::eliminate_swapping(th, tm, T, sd, sb, su, fd + K * c0, fb + K * c0, fu + K * c0, ff + K * c0);
        }
        // A zero pivot, true or a guess's, is left to the caller.
        if (zero_pivots) return false;
        // The true recurrence walked into lanes 1..K-1, each from the end
        // state of the lane before (true once that lane is settled).
        for (std::size_t j = 1; j < K; ++j) {
            double wd = sd[j - 1], wb = sb[j - 1], wu = su[j - 1];
            bool met = false;
            for (std::size_t t = 1; t <= L; ++t) {
                SwapRecord r;
                const int sw = swap_step(R, A(j) + t - 1, wd, wb, wu, r);
                if (sw < 0) return false;
                const std::size_t k = K * t + j;
                if (sw == 0 && same_bits(r.d, fd[k]) && same_bits(r.b, fb[k]) && same_bits(r.u, fu[k]) &&
                    same_bits(0.0, ff[k])) {
                    met = true;
                    break;
                }
                fd[k] = r.d;
                fb[k] = r.b;
                fu[k] = r.u;
                ff[k] = r.f;
            }
            if (!met) {
                sd[j] = wd;
                sb[j] = wb;
                su[j] = wu;
            }
        }
        d = sd[K - 1];
        b = sb[K - 1];
        u = su[K - 1];
        return true;
    }

    // Back substitution into x[r0 .. end()), from x1 at row end() and x2 at
    // the row after.
    void substitute(double x1, double x2, double* x) {
        // Lanes j <= K - 2 warm up down the top W rows of lane j + 1 from
        // zeros; lane K - 1 takes its exact start.
        double s1[K], s2[K];
        {
            Scratch wu(K * W), wd(K * W), wb(K * W), wf(K * W), wout(K * W);
            for (std::size_t j = 0; j < K; ++j) {
                const std::size_t lane = j + 1 < K ? j + 1 : K - 1;
                for (std::size_t g = 0; g < W; ++g) {
                    const std::size_t k = K * (g + 1) + lane;
                    wu.get()[K * g + j] = fu[k];
                    wd.get()[K * g + j] = fd[k];
                    wb.get()[K * g + j] = fb[k];
                    wf.get()[K * g + j] = ff[k];
                }
                s1[j] = s2[j] = 0.0;
            }
            LK::substitute_filled(wu.get(), wd.get(), wb.get(), wf.get(), W, s1, s2, wout.get());
        }
        s1[K - 1] = x1;
        s2[K - 1] = x2;
        double* tx = th;  // K * kChunk values
        for (std::size_t c1 = L; c1 > 0;) {
            const std::size_t T = std::min(kChunk, c1), c0 = c1 - T;
            const std::size_t g = K * (c0 + 1);  // slot c0 + 1: row A_j + c0
            LK::substitute_filled(fu + g, fd + g, fb + g, ff + g, T, s1, s2, tx);
            LK::deinterleave(tx, L, T, x + r0 + c0);
            c1 = c0;
        }
        // The true values walked down into lanes K-2..0 from the top of the
        // lane after, until two successive rows agree.
        // Row A_j + q is in record slot q + 1. A walk that never meets
        // rewrites the whole lane, which is then right too.
        for (std::size_t j = K - 1; j-- > 0;)
            (void)walk_back(x, A(j + 1), L, [&](std::size_t q, double y1, double y2) {
                const std::size_t k = K * (q + 1) + j;
                return general_row(fb[k], fu[k], ff[k], fd[k], y1, y2);
            });
    }
};

// The whole solve with one block of these lanes from row 2. False on a zero
// pivot. With the spacings and slopes worked out from the knots, *valid is
// cleared when a knot the lanes reach fails the checks, and *complete is set
// when the lanes reached all of theirs.
template <std::size_t K>
bool solve_swapping_lanes(const NotAKnotRows& R, double* x, std::size_t L, bool* valid = nullptr,
                          bool* complete = nullptr) {
    const std::size_t n = R.n;
    if (L < 2 || L > lane_length(n, K)) return false;
    SwapRecord rec0;
    double d = R.d0, b = R.b0, u = R.du0;
    if (swap_step(R, 0, d, b, u, rec0) < 0) return false;
    SwapBlock<K> block(R, 2, L, valid);
    if (!block.eliminate(d, b, u)) return false;
    if (complete) *complete = true;
    const std::size_t top = block.end();
    {
        std::vector<RowFinal> ex;
        if (!last_rows_from(R, top, ElimState{d, b, u, false}, x, ex)) return false;
    }
    block.substitute(x[top], x[top + 1], x);
    const SwapRecord rec1 = block.record(1);
    x[1] = general_row(rec1.b, rec1.u, rec1.f, rec1.d, x[2], x[3]);
    x[0] = general_row(rec0.b, rec0.u, rec0.f, rec0.d, x[1], x[2]);
    return true;
}

// K lanes of L rows (2 <= L <= lane_length(n, K)), with row interchanges
// where the elimination needs them (then *swapped is set). False on a zero
// pivot, and in the rare case the lanes leave to the step-by-step solve.
// With R's spacings and slopes worked out from the knots, *valid is cleared
// when a knot the lanes reach fails the checks, and *complete is set when
// the lanes reached all of theirs ([0, K L + 3)).
template <std::size_t K>
bool solve_lanes(const NotAKnotRows& R, double* x, std::size_t L, bool* valid, bool* complete = nullptr,
                 bool* swapped = nullptr) {
    const std::size_t n = R.n;
    if (L < 2 || L > lane_length(n, K)) return false;
    std::vector<RowFinal> ex;  // the rows that are not plain, ascending
    ElimState s{R.d(0), R.b(0), 0.0, true};
    const double dm[2] = {s.d, 0.0}, bm[2] = {s.b, 0.0};
    if (!pivot_step(R, 0, s, ex)) return false;
    const double dm1 = s.d, bm1 = s.b;
    LaneBlock<K> block(R, 2, L, valid);
    ElimState end;
    bool heavy = false;
    if (!block.eliminate_pivoting(s, end, ex, R.h ? &heavy : nullptr)) {
        // Many steps swap rows: the lanes that swap them themselves.
        if (!heavy || !solve_swapping_lanes<K>(R, x, L)) return false;
        if (swapped) *swapped = true;
        return true;
    }
    if (complete) *complete = true;  // every knot the lanes reach was worked out
    const std::size_t top = block.end();
    // The rows after the lanes are solved to the end first: the lanes'
    // substitution starts from them.
    if (!last_rows_pivoting(R, top, end, x, ex)) return false;
    block.substitute(x[top], x[top + 1], x);
    x[1] = subst_row(bm1, R.du(1), dm1, x[2], x[3]);
    x[0] = subst_row(bm[0], R.du(0), dm[0], x[1], x[2]);
    if (!ex.empty()) {
        fix_swapped_rows(
            R, ex,
            [&](std::size_t r, double& d, double& b) {
                d = r == 0 ? dm[0] : r == 1 ? dm1 : block.dm_at(r);
                b = r == 0 ? bm[0] : r == 1 ? bm1 : block.bm_at(r);
            },
            x);
    }
    if (swapped) *swapped = !ex.empty();
    return true;
}

// The same solve in blocks of K lanes of Lb rows, one block after the other,
// so that each block's rows stay in the caches between its elimination and
// its substitution. A block's substitution cannot wait for the solution
// after it: it starts from a guess, the substitution run from zeros down the
// W rows after the block (eliminated ahead, exactly), which contracts to the
// true values. Once every block is done, the true solution after each block
// is walked back into it, from the last block to the first, until it meets
// the block's values (two successive rows); the last rows of each block are
// kept for that. A walk that does not meet within them, or any pivot, returns
// false. The results are those of the sequential solve, like solve_lanes'.
constexpr std::size_t kBlockAhead = 48;  // rows eliminated ahead of a block for its guessed start
constexpr std::size_t kBlockRest = 64;   // rows left after the last block (at least kBlockAhead + 2)

// The blocks of solve_blocked: (first row, lane length) pairs, blocks of K
// lanes of Lb rows from row 2, `gap` rows apart, the last one with lanes of
// Lb to 2 Lb - 1 rows so that 64 to 64 + K - 1 rows remain after it. Empty
// when the system is shorter than one block and those rows.
template <std::size_t K>
std::vector<std::pair<std::size_t, std::size_t>> block_plan(std::size_t n, std::size_t Lb, std::size_t gap = 0) {
    std::vector<std::pair<std::size_t, std::size_t>> plan;
    const std::size_t B = K * Lb;
    if (Lb < 2 || n < 2 + B + kBlockRest) return plan;
    std::size_t r0 = 2;
    while (n - r0 >= 2 * B + kBlockRest + gap) {
        plan.emplace_back(r0, Lb);
        r0 += B + gap;
    }
    plan.emplace_back(r0, (n - r0 - kBlockRest) / K);
    return plan;
}

// The same solve in blocks of K lanes (block_plan), one block after the
// other, so that each block's rows stay in the caches between its
// elimination and its substitution. A block's substitution cannot wait for
// the solution after it: it starts from a guess, the substitution run from
// zeros down the `ahead` rows after the block (eliminated ahead, exactly),
// which contracts to the true values. Once every block is done, the true
// solution after each block is walked back into it, from the last block to
// the first, until it meets the block's values (two successive rows); the
// last rows of each block are kept for that. A walk that does not meet
// within them, or any pivot, returns false. The results are those of the
// sequential solve, like solve_lanes'.
template <std::size_t K>
bool solve_blocked(const NotAKnotRows& R, double* x, std::size_t Lb, bool* valid, bool* complete = nullptr,
                   std::size_t ahead = kBlockAhead) {
    constexpr std::size_t kKept = 64;
    const std::size_t n = R.n;
    const auto plan = block_plan<K>(n, Lb);
    if (plan.empty() || ahead == 0 || ahead > kBlockAhead) return false;
    const std::size_t blocks = plan.size();
    const std::size_t kept = std::min(kKept, K * Lb);
    // The blocks refuse every step that swaps rows but those of the last
    // rows, which are solved on their own.
    std::vector<RowFinal> ex;
    ElimState s{R.d(0), R.b(0), 0.0, true};
    const double dm0 = s.d, bm0 = s.b;
    if (!pivot_step(R, 0, s, ex) || !ex.empty()) return false;
    const double dm1 = s.d, bm1 = s.b;
    LaneBlock<K> block(R, 2, Lb, valid, 2 * Lb);
    std::vector<double> guess1(blocks), guess2(blocks), tail_d(blocks * kept), tail_b(blocks * kept);
    double dc = dm1, bc = bm1;
    for (std::size_t k = 0; k < blocks; ++k) {
        block.move_to(plan[k].first, plan[k].second);
        double de, be;
        if (!block.eliminate(dc, bc, de, be)) return false;
        const std::size_t r1 = block.end();
        // The rows after the block, eliminated ahead (the next block does
        // them again, from the same state, to the same values), and the
        // substitution from zeros up through them.
        double ad[kBlockAhead], ab[kBlockAhead];
        {
            double d = de, b = be;
            for (std::size_t w = 0; w < ahead; ++w) {
                const std::size_t r = r1 + w, i = r - 1;
                const double fact = R.dl(i) / d;
                ad[w] = d = R.d(r) - fact * R.du(i);
                ab[w] = b = R.b(r) - fact * b;
            }
        }
        double y1 = 0.0, y2 = 0.0;
        for (std::size_t w = ahead; w-- > 0;) {
            const double v = subst_row(ab[w], R.du(r1 + w), ad[w], y1, y2);
            y2 = y1;
            y1 = v;
        }
        guess1[k] = y1;
        guess2[k] = y2;
        block.substitute(y1, y2, x);
        for (std::size_t q = 0; q < kept; ++q) {
            tail_d[k * kept + q] = block.dm_at(r1 - kept + q);
            tail_b[k * kept + q] = block.bm_at(r1 - kept + q);
        }
        dc = de;
        bc = be;
    }
    if (complete) *complete = true;
    const std::size_t last = plan.back().first + K * plan.back().second;
    if (!last_rows_pivoting(R, last, ElimState{dc, bc, 0.0, true}, x, ex) || !ex.empty()) return false;
    // The true solution after each block, walked back into it.
    for (std::size_t k = blocks; k-- > 0;) {
        const std::size_t r1 = plan[k].first + K * plan[k].second;
        if (same_bits(x[r1], guess1[k]) && same_bits(x[r1 + 1], guess2[k])) continue;
        if (!walk_back(x, r1, kept, [&](std::size_t q, double y1, double y2) {
                return subst_row(tail_b[k * kept + q], R.du(r1 - kept + q), tail_d[k * kept + q], y1, y2);
            }))
            return false;
    }
    x[1] = subst_row(bm1, R.du(1), dm1, x[2], x[3]);
    x[0] = subst_row(bm0, R.du(0), dm0, x[1], x[2]);
    return true;
}

// solve_blocked with the lanes that take the row interchanges themselves
// (blocks one row apart: such a block ends with the state of the row after
// it, so the next block starts one row further and its lane 0 records the
// row between): each block's rows are kept as records, and the walks
// back into the blocks run through them, from the row after each block
// (solved there, from its record). False on a zero pivot, or when a walk
// back does not meet its block within the rows it keeps.
template <std::size_t K>
bool solve_swapping_blocked(const NotAKnotRows& R, double* x, std::size_t Lb, bool* valid,
                            bool* complete = nullptr, std::size_t ahead = kBlockAhead) {
    constexpr std::size_t kKept = 64;
    const std::size_t n = R.n;
    const auto plan = block_plan<K>(n, Lb, 1);
    if (plan.empty() || ahead == 0 || ahead > kBlockAhead) return false;
    const std::size_t blocks = plan.size();
    const std::size_t kept = std::min(kKept, K * Lb);
    SwapRecord rec0, rec1{};
    double d = R.d0, b = R.b0, u = R.du0;
    if (swap_step(R, 0, d, b, u, rec0) < 0) return false;
    SwapBlock<K> block(R, 2, Lb, valid, 2 * Lb);
    std::vector<double> guess1(blocks), guess2(blocks);
    std::vector<SwapRecord> tails(blocks * kept), between(blocks);
    for (std::size_t k = 0; k < blocks; ++k) {
        block.move_to(plan[k].first, plan[k].second);
        if (!block.eliminate(d, b, u)) return false;
        if (k == 0) rec1 = block.record(1);
        else between[k - 1] = block.record(plan[k].first - 1);
        const std::size_t r1 = block.end();
        // The rows from the one after the block, eliminated ahead from its
        // end state (the next block does them again, to the same records),
        // and the substitution from zeros up through them.
        SwapRecord ar[kBlockAhead];
        {
            double wd = d, wb = b, wu = u;
            for (std::size_t w = 0; w < ahead; ++w)
                if (swap_step(R, r1 + w, wd, wb, wu, ar[w]) < 0) return false;
        }
        double y1 = 0.0, y2 = 0.0;
        for (std::size_t w = ahead; w-- > 0;) {
            const double v = general_row(ar[w].b, ar[w].u, ar[w].f, ar[w].d, y1, y2);
            y2 = y1;
            y1 = v;
        }
        guess1[k] = y1;
        guess2[k] = y2;
        block.substitute(y1, y2, x);
        for (std::size_t q = 0; q < kept; ++q) tails[k * kept + q] = block.record(r1 - kept + q);
    }
    if (complete) *complete = true;
    const std::size_t last = plan.back().first + K * plan.back().second;
    {
        std::vector<RowFinal> ex;
        if (!last_rows_from(R, last, ElimState{d, b, u, false}, x, ex)) return false;
    }
    // The true solution after each block (the row between blocks solved
    // from its record), walked back into it.
    for (std::size_t k = blocks; k-- > 0;) {
        const std::size_t r1 = plan[k].first + K * plan[k].second;
        if (k + 1 < blocks) {
            const SwapRecord& r = between[k];
            x[r1] = general_row(r.b, r.u, r.f, r.d, x[r1 + 1], x[r1 + 2]);
        }
        if (same_bits(x[r1], guess1[k]) && same_bits(x[r1 + 1], guess2[k])) continue;
        if (!walk_back(x, r1, kept, [&](std::size_t q, double y1, double y2) {
                const SwapRecord& r = tails[k * kept + q];
                return general_row(r.b, r.u, r.f, r.d, y1, y2);
            }))
            return false;
    }
    x[1] = general_row(rec1.b, rec1.u, rec1.f, rec1.d, x[2], x[3]);
    x[0] = general_row(rec0.b, rec0.u, rec0.f, rec0.d, x[1], x[2]);
    return true;
}

// The lane solve with the spacings and slopes worked out from the knots
// chunk by chunk (no arrays of them: long splines would otherwise write and
// read them back from memory), in blocks of K lanes of Lb rows when Lb is
// not zero (the blocks refuse a system whose elimination swaps rows; the
// lanes without blocks swap them and set *swapped). With `swapping`, the
// lanes (or blocks) that take the row interchanges themselves, which set
// *swapped. True when solved, false when refused; empty when it stopped
// before having checked every knot. The knots' checks raise ValueError
// (with the first failed check's message).
template <std::size_t K>
std::optional<bool> solve_lanes_from_knots(std::span<const double> xs, std::span<const double> ys, double* b,
                                           std::size_t L, std::size_t Lb = 0, std::size_t ahead = kBlockAhead,
                                           bool* swapped = nullptr, bool swapping = false) {
    const std::size_t n = xs.size();
    const double* x = xs.data();
    const double* y = ys.data();
    // The lanes reach the knots [0, reach); the rest are checked here.
    std::size_t reach = K * L + 3;
    if (Lb) {
        const auto plan = swapping ? block_plan<K>(n, Lb, 1) : block_plan<K>(n, Lb);
        reach = plan.empty() ? 3 : plan.back().first + K * plan.back().second + 1;
    }
    bool valid = true;
    {
        const std::size_t from = std::min(reach - 3, n);
        Scratch th(n - from), tm(n - from);
        valid = kernels::segments_block(x + from, y + from, th.get(), tm.get(), n - from);
    }
    if (!valid) validate_knots(xs, ys);
    const NotAKnotRows R = notaknot_ends(x, y, nullptr, nullptr, n);
    bool complete = false;
    bool solved;
    if (swapping) {
        solved = Lb ? solve_swapping_blocked<K>(R, b, Lb, &valid, &complete, ahead)
                    : solve_swapping_lanes<K>(R, b, L, &valid, &complete);
        if (swapped) *swapped = true;
    } else {
        solved = Lb ? solve_blocked<K>(R, b, Lb, &valid, &complete, ahead)
                    : solve_lanes<K>(R, b, L, &valid, &complete, swapped);
    }
    if (!valid) validate_knots(xs, ys);
    if (!complete) return std::nullopt;
    return solved;
}

// The slopes of the not-a-knot system into dout (and the coefficients into
// *cout when given). Returns whether every slope is finite. After a solve
// without row interchanges that is whether the first one is: the back
// substitution takes each row's slope from the one after it, as
// (b - du * next) / d with du a positive spacing (x[2] - x[0] in the first
// row) and d a nonzero pivot, and that keeps a slope that is not finite (inf
// or NaN) not finite. Every arrangement of the solve below gives the same
// bits as the step-by-step one, so this holds for all of them.
bool notaknot_solve(std::span<const double> xs, std::span<const double> ys, uvector& dout, uvector* cout) {
    const std::size_t n = xs.size();
    const double* x = xs.data();
    const double* y = ys.data();
    dout.resize(n);
    double* b = dout.data();
    // Only the slopes wanted, of a system whose arrays would not stay in the
    // caches: the lanes work out the spacings and slopes from the knots (the
    // arrays below only if the lanes refuse). Shorter systems are quicker
    // with the arrays, which stay in the caches.
    // They also run in blocks of 16 lanes of 2,048 rows, so that each
    // block's reduced rows stay in the caches until its substitution.
    constexpr std::size_t kFromKnotsAbove = 100000, kBlockLanes = 2000;
    if (!cout && n > kFromKnotsAbove && lane_length(n, 16) >= kWideLaneMin) {
        const std::optional<bool> r = solve_lanes_from_knots<16>(xs, ys, b, lane_length(n, 16), kBlockLanes);
        if (r.value_or(false)) return finite(b[0]);
        // The elimination swaps rows: blocks of the lanes that take the
        // interchanges themselves, else the lanes without blocks.
        bool swapped = false;
        if (solve_lanes_from_knots<16>(xs, ys, b, lane_length(n, 16), kBlockLanes, kBlockAhead, &swapped, true)
                .value_or(false))
            return all_finite(b, n);
        if (solve_lanes_from_knots<16>(xs, ys, b, lane_length(n, 16), 0, kBlockAhead, &swapped).value_or(false))
            return swapped ? all_finite(b, n) : finite(b[0]);
    }
    Scratch hs(n), ms(n), ds(n), dus(n), dls(n);
    double* h = hs.get();
    double* m = ms.get();
    double* d = ds.get();
    double* du = dus.get();
    double* dl = dls.get();

    // Spacings and secant slopes; the knot checks are reported (with the
    // message of the first failed check) before any other error.
    if (!kernels::segments_block(x, y, h, m, n)) validate_knots(xs, ys);

    const NotAKnotRows R = notaknot_ends(x, y, h, m, n);
    // Long systems: eight lanes, working out the interior rows themselves.
    bool swapped = false;
    const bool solved = lane_length(n, 16) >= kWideLaneMin
                            ? solve_lanes<16>(R, b, lane_length(n, 16), nullptr, nullptr, &swapped)
                        : lane_length(n, 8) >= kLaneMin ? solve_lanes<8>(R, b, lane_length(n, 8), nullptr, nullptr, &swapped)
                                                        : false;
    if (solved) {
        if (cout) {
            cout->resize(4 * (n - 1));
            kernels::hermite_block(h, m, b, y, cout->data(), 0, n - 1);
        }
        // With interchanges a row's multipliers may be zero: every slope is
        // checked.
        return swapped ? all_finite(b, n) : finite(b[0]);
    }
    // The rows as arrays, the interior ones in one pass that vectorises.
    d[0] = R.d0;
    du[0] = R.du0;
    b[0] = R.b0;
    kernels::notaknot_rows(h, m, d, b, du, dl, n);
    d[n - 1] = R.d_last;
    dl[n - 2] = R.dl_last;
    b[n - 1] = R.b_last;
    // Side-by-side chains for long systems without pivoting.
    if (use_chains(n)) {
        Scratch dms(n), bms(n);
        if (eliminate_chained(d, b, du, dl, dms.get(), bms.get(), n) && dms.get()[n - 1] != 0.0) {
            kernels::fill_zero(dl, n - 2);  // the elimination's (zero) fill-in
            substitute_chained(dms.get(), bms.get(), du, dl, b, n);
            if (cout) {
                cout->resize(4 * (n - 1));
                kernels::hermite_block(h, m, b, y, cout->data(), 0, n - 1);
            }
            return finite(b[0]);
        }
        // A step that swaps rows: eight lanes that take the interchanges
        // themselves (they leave a zero pivot, and the rows, untouched for
        // the sequential solve below).
        if (lane_length(n, 8) >= 16) {
            Scratch xs(n);
            if (solve_swapping_lanes<8>(R, xs.get(), lane_length(n, 8))) {
                std::copy(xs.get(), xs.get() + n, b);
                if (cout) {
                    cout->resize(4 * (n - 1));
                    kernels::hermite_block(h, m, b, y, cout->data(), 0, n - 1);
                }
                return all_finite(b, n);
            }
        }
    }
    // Forward elimination with partial pivoting (dgtsv). The current row's
    // diagonal and right-hand side stay in registers from one step to the
    // next: a store and reload would lengthen the chain of divisions.
    bool pivoted = false;
    std::size_t i = 0;
    {
        double dc = d[0], bc = b[0];
        for (; i + 1 < n; ++i) {
            const double dli = dl[i];
            if (!(std::fabs(dc) >= std::fabs(dli)) || dc == 0.0) break;
            const double fact = dli / dc;
            const double dn = d[i + 1] - fact * du[i];
            const double bn = b[i + 1] - fact * bc;
            d[i] = dc;
            b[i] = bc;
            dl[i] = 0.0;
            dc = dn;
            bc = bn;
        }
        d[i] = dc;
        b[i] = bc;
    }
    // From the first step that pivots (or meets a zero pivot) on: the
    // general step, on the arrays.
    for (; i + 1 < n; ++i) {
        const bool last = (i + 2 == n);
        if (std::fabs(d[i]) >= std::fabs(dl[i])) {
            if (d[i] == 0.0) throw LinAlgError("singular matrix");
            const double fact = dl[i] / d[i];
            d[i + 1] = d[i + 1] - fact * du[i];
            b[i + 1] = b[i + 1] - fact * b[i];
            if (!last) dl[i] = 0.0;
        } else {
            pivoted = true;
            const double fact = d[i] / dl[i];
            d[i] = dl[i];
            const double temp = d[i + 1];
            d[i + 1] = du[i] - fact * temp;
            if (!last) {
                dl[i] = du[i + 1];
                du[i + 1] = -fact * dl[i];
            }
            du[i] = temp;
            const double tb = b[i];
            b[i] = b[i + 1];
            b[i + 1] = tb - fact * b[i + 1];
        }
    }
    if (d[n - 1] == 0.0) throw LinAlgError("singular matrix");

    // Back substitution. Without pivoting the fill-in dl[k] is zero, and
    // r - 0*x2 is r itself unless r is a zero or x2 is not finite: those
    // take the full expression, the rest skip a dependent step of the chain.
    b[n - 1] = b[n - 1] / d[n - 1];
    b[n - 2] = (b[n - 2] - du[n - 2] * b[n - 1]) / d[n - 2];
    bool ok;
    if (!pivoted) {
        double x1 = b[n - 2], x2 = b[n - 1];
        for (std::size_t k = n - 2; k-- > 0;) {
            const double r = b[k] - du[k] * x1;
            double v;
            if (__builtin_expect(r != 0.0 && x2 - x2 == 0.0, 1)) v = r / d[k];
            else v = (r - dl[k] * x2) / d[k];
            b[k] = v;
            x2 = x1;
            x1 = v;
        }
        ok = finite(b[0]);
    } else {
        // With interchanges a row's multipliers may be zero: every slope is
        // checked, on the way.
        ok = finite(b[n - 1]) && finite(b[n - 2]);
        for (std::size_t k = n - 2; k-- > 0;) {
            const double v = (b[k] - du[k] * b[k + 1] - dl[k] * b[k + 2]) / d[k];
            b[k] = v;
            ok &= finite(v);
        }
    }
    if (cout) {
        cout->resize(4 * (n - 1));
        kernels::hermite_block(h, m, b, y, cout->data(), 0, n - 1);
    }
    return ok;
}

// notaknot_solve, refusing slopes that are not finite.
void notaknot_fused(std::span<const double> xs, std::span<const double> ys, uvector& dout, uvector* cout) {
    if (!notaknot_solve(xs, ys, dout, cout)) nonfinite_slopes();
}
}  // namespace

namespace detail {
namespace {
bool slopes_through_lanes(std::span<const double> xs, std::span<const double> ys, std::size_t lanes, std::size_t L,
                          std::vector<double>& out, bool from_knots, std::size_t block_L, std::size_t block_ahead,
                          bool swapping) {
    const std::size_t n = xs.size();
    if (n != ys.size() || (lanes != 8 && lanes != 16) ||
        (block_L ? block_L < 2 || n < 66 || block_L > (n - 66) / lanes || block_ahead < 1 || block_ahead > 48
                 : L < 2 || L > lane_length(n, lanes)))
        throw ValueError("lane count or length out of range");
    out.assign(n, 0.0);
    if (from_knots || block_L) {
        bool swapped = false;
        const std::optional<bool> r =
            lanes == 16
                ? solve_lanes_from_knots<16>(xs, ys, out.data(), L, block_L, block_ahead, &swapped, swapping)
                : solve_lanes_from_knots<8>(xs, ys, out.data(), L, block_L, block_ahead, &swapped, swapping);
        if (!r) validate_knots(xs, ys);  // it stopped early: the knots are checked here
        return r.value_or(false);
    }
    validate_knots(xs, ys);
    std::vector<double> h(n), m(n);
    kernels::segments_block(xs.data(), ys.data(), h.data(), m.data(), n);
    const NotAKnotRows R = notaknot_ends(xs.data(), ys.data(), h.data(), m.data(), n);
    if (swapping)
        return lanes == 16 ? solve_swapping_lanes<16>(R, out.data(), L) : solve_swapping_lanes<8>(R, out.data(), L);
    return lanes == 16 ? solve_lanes<16>(R, out.data(), L, nullptr) : solve_lanes<8>(R, out.data(), L, nullptr);
}
}  // namespace

bool notaknot_slopes_lanes(std::span<const double> xs, std::span<const double> ys, std::size_t lanes,
                           std::size_t L, std::vector<double>& out, bool from_knots, std::size_t block_L,
                           std::size_t block_ahead) {
    return slopes_through_lanes(xs, ys, lanes, L, out, from_knots, block_L, block_ahead, false);
}
bool notaknot_slopes_swapping_lanes(std::span<const double> xs, std::span<const double> ys, std::size_t lanes,
                                    std::size_t L, std::vector<double>& out, bool from_knots, std::size_t block_L,
                                    std::size_t block_ahead) {
    return slopes_through_lanes(xs, ys, lanes, L, out, from_knots, block_L, block_ahead, true);
}
}  // namespace detail

Interpolant Interpolant::cubic(std::span<const double> x, std::span<const double> y, bool extrapolate) {
    if (x.size() >= 4 && x.size() == y.size()) {
        uvector d, c;
        notaknot_fused(x, y, d, &c);
        return hermite(InterpKind::Cubic, x, std::move(d), std::move(c), extrapolate);
    }
    validate_knots(x, y);
    Segments seg(x, y);
    const std::vector<double> ds = notaknot_slopes_seg(seg, x);
    uvector c = hermite_coefficients(y, seg, ds.data());
    uvector d(ds.begin(), ds.end());
    return hermite(InterpKind::Cubic, x, std::move(d), std::move(c), extrapolate);
}

Interpolant Interpolant::cubic_slopes_only(std::span<const double> x, std::span<const double> y) {
    if (x.size() < 4 || x.size() != y.size()) return cubic(x, y);
    uvector d;
    notaknot_fused(x, y, d, nullptr);
    Interpolant r;
    r.kind_ = InterpKind::Cubic;
    r.from_slopes_ = true;
    r.x_.assign(x.begin(), x.end());
    r.y_.assign(y.begin(), y.end());
    r.d_ = std::move(d);
    return r;
}

Interpolant Interpolant::cubic(uvector&& x, uvector&& y) {
    if (x.size() < 4 || x.size() != y.size()) return cubic(std::span<const double>(x), std::span<const double>(y));
    uvector d, c;
    notaknot_fused(x, y, d, &c);
    Interpolant r = hermite(InterpKind::Cubic, {}, std::move(d), std::move(c), false);
    r.x_ = std::move(x);
    return r;
}

Interpolant Interpolant::cubic_slopes_only(uvector&& x, uvector&& y) {
    if (x.size() < 4 || x.size() != y.size()) return cubic(std::span<const double>(x), std::span<const double>(y));
    uvector d;
    notaknot_fused(x, y, d, nullptr);
    Interpolant r;
    r.kind_ = InterpKind::Cubic;
    r.from_slopes_ = true;
    r.x_ = std::move(x);
    r.y_ = std::move(y);
    r.d_ = std::move(d);
    return r;
}

// The operations of hermite_block for one interval.
void Interpolant::slopes_coefficients(std::size_t i, double c[4]) const {
    const double hh = x_[i + 1] - x_[i];
    const double slope = (y_[i + 1] - y_[i]) / hh;
    const double t = (d_[i] + d_[i + 1] - 2 * slope) / hh;
    c[0] = t / hh;
    c[1] = (slope - d_[i]) / hh - t;
    c[2] = d_[i];
    c[3] = y_[i];
}

double Interpolant::slopes_piece(std::size_t i, double v) const {
    double c[4];
    slopes_coefficients(i, c);
    return cubic_at(c[0], c[1], c[2], c[3], v - x_[i]);
}

Interpolant Interpolant::linear(std::span<const double> x, std::span<const double> y) {
    if (x.empty()) throw ValueError("array of sample points is empty");
    if (x.size() != y.size()) throw ValueError("fp and xp are not of the same length.");
    Interpolant r;
    r.kind_ = InterpKind::Linear;
    r.x_.assign(x.begin(), x.end());
    r.y_.assign(y.begin(), y.end());
    return r;
}

Interpolant Interpolant::linear(uvector&& x, uvector&& y) {
    if (x.empty()) throw ValueError("array of sample points is empty");
    if (x.size() != y.size()) throw ValueError("fp and xp are not of the same length.");
    Interpolant r;
    r.kind_ = InterpKind::Linear;
    r.x_ = std::move(x);
    r.y_ = std::move(y);
    return r;
}

std::ptrdiff_t Interpolant::find_interval(double v, std::ptrdiff_t guess) const {
    // Interval i with x[i] <= v < x[i+1], closed on the right at the last
    // knot; -1 outside (or NaN) unless extrapolating.
    const std::ptrdiff_t nx = static_cast<std::ptrdiff_t>(x_.size());
    const double a = x_[0], b = x_[static_cast<std::size_t>(nx - 1)];
    if (!(a <= v && v <= b)) {
        if (extrapolate_ && v < a) return 0;
        if (extrapolate_ && v > b) return nx - 2;
        return -1;
    }
    if (v == b) return nx - 2;
    // Evaluation points usually come in ascending order: try the previous
    // interval and the next one before searching.
    if (guess >= 0 && guess <= nx - 2) {
        const std::size_t g = static_cast<std::size_t>(guess);
        if (x_[g] <= v) {
            if (v < x_[g + 1]) return guess;
            if (guess + 2 <= nx - 1 && v < x_[g + 2]) return guess + 1;
        }
    }
    // Largest i with x[i] <= v.
    auto it = std::upper_bound(x_.begin(), x_.end() - 1, v);
    std::ptrdiff_t i = (it - x_.begin()) - 1;
    if (i < 0) i = 0;
    if (i > nx - 2) i = nx - 2;
    return i;
}

namespace {
// NumPy's binary search with a guess (np.interp): -1 below x[0], len above
// x[len - 1], else an index found by a linear scan (len <= 4) or from the
// guess's neighbourhood and then by bisection. Every comparison is NumPy's,
// so NaN knots steer it the same way.
std::ptrdiff_t numpy_interp_search(double key, const double* arr, std::ptrdiff_t len, std::ptrdiff_t guess) {
    constexpr std::ptrdiff_t kLikelyInCache = 8;
    std::ptrdiff_t imin = 0, imax = len;
    if (key > arr[len - 1]) return len;
    if (key < arr[0]) return -1;
    if (len <= 4) {
        std::ptrdiff_t i = 1;
        while (i < len && key >= arr[i]) ++i;
        return i - 1;
    }
    if (guess > len - 3) guess = len - 3;
    if (guess < 1) guess = 1;
    if (key < arr[guess]) {
        if (key < arr[guess - 1]) {
            imax = guess - 1;
            if (guess > kLikelyInCache && key >= arr[guess - kLikelyInCache]) imin = guess - kLikelyInCache;
        } else {
            return guess - 1;
        }
    } else {
        if (key < arr[guess + 1]) return guess;
        if (key < arr[guess + 2]) return guess + 1;
        imin = guess + 2;
        if (guess < len - kLikelyInCache - 1 && key < arr[guess + kLikelyInCache]) imax = guess + kLikelyInCache;
    }
    while (imin < imax) {
        const std::ptrdiff_t imid = imin + ((imax - imin) >> 1);
        if (key >= arr[imid]) imin = imid + 1;
        else imax = imid;
    }
    return imin - 1;
}
}  // namespace

double Interpolant::eval_one(double v, std::ptrdiff_t& guess) const {
    if (kind_ == InterpKind::Linear) {
        const std::size_t n = x_.size();
        // A single knot: its value unless v lies below or above it (so also
        // for a NaN v or knot), as np.interp has it.
        if (n == 1) return v < x_[0] ? kNaN : (v > x_[0] ? kNaN : y_[0]);
        if (std::isnan(v)) return v;
        // np.interp's search, from the previous point's index: on knots that
        // ascend it is the largest j with x[j] <= v whatever the guess, and
        // on knots with NaN (kept last by the cleaning) it lands where
        // NumPy's lands.
        const std::ptrdiff_t jj = numpy_interp_search(v, x_.data(), static_cast<std::ptrdiff_t>(n), guess);
        guess = jj;
        if (jj < 0 || jj == static_cast<std::ptrdiff_t>(n)) return kNaN;
        const std::size_t j = static_cast<std::size_t>(jj);
        if (j == n - 1) return y_[j];
        if (x_[j] == v) return y_[j];
        const double dy = y_[j + 1] - y_[j], dx = x_[j + 1] - x_[j];
        const double slope = dy / dx;
        // A slope that overflows (a step near the subnormal spacings, or a
        // rise beyond the double range) would give +-inf or NaN between two
        // finite values: there the value is taken from the step's fraction.
        if (std::isinf(slope) && std::isfinite(y_[j]) && std::isfinite(y_[j + 1]) && dx > 0.0 &&
            std::isfinite(dx) && std::isfinite(v)) {
            const double t = (v - x_[j]) / dx;
            return std::isfinite(dy) ? y_[j] + dy * t : (1.0 - t) * y_[j] + t * y_[j + 1];
        }
        double r = slope * (v - x_[j]) + y_[j];
        if (std::isnan(r)) {
            r = slope * (v - x_[j + 1]) + y_[j + 1];
            if (std::isnan(r) && y_[j] == y_[j + 1]) r = y_[j];
        }
        return r;
    }
    const std::ptrdiff_t i = find_interval(v, guess);
    if (i < 0) return kNaN;
    guess = i;
    if (deferred_) return deferred_eval(static_cast<std::size_t>(i), v);
    return poly(static_cast<std::size_t>(i), v);
}

void Interpolant::eval_unordered(const double* in, double* out, std::size_t n) const {
    if (n > 0) require_knots();
    const std::size_t nx = x_.size();
    if (kind_ == InterpKind::Linear || deferred_ || n < 64 || nx < 3) {
        eval(in, out, n);
        return;
    }
    // Points that ascend after all (a grid of probabilities, say) are
    // cheapest with the forward walk.
    {
        bool ascending = true;
        for (std::size_t k = 1; k < n; ++k) ascending &= !(in[k] < in[k - 1]);
        if (ascending) {
            eval(in, out, n);
            return;
        }
    }
    const double a = x_[0], b = x_[nx - 1];
    // Buckets of equal width over [a, b); start[k] is the interval holding the
    // bucket's lower edge (never beyond the interval of any point in it,
    // up to rounding, which the backward step below absorbs).
    std::size_t nb = 1;
    while (nb < 8 * nx && nb < (std::size_t{1} << 20)) nb *= 2;
    const double width = b - a;
    const double inv = static_cast<double>(nb) / width;
    if (!(inv > 0.0) || !std::isfinite(inv)) {
        eval(in, out, n);
        return;
    }
    std::vector<std::uint32_t> start(nb);
    {
        // Knot j (1 <= j <= nx - 2) starts at the bucket its offset falls in:
        // the buckets up to that one start from interval j - 1, those after
        // it from j or later. Rounding may place a start one interval off
        // either way, which the steps below absorb. One pass over the knots
        // and one fill of the buckets, without a branch per bucket.
        std::size_t k = 0;
        for (std::size_t j = 1; j + 1 < nx; ++j) {
            const double off = (x_[j] - a) * inv;
            const std::size_t upto = off < static_cast<double>(nb) ? static_cast<std::size_t>(off) + 1 : nb;
            for (; k < upto; ++k) start[k] = static_cast<std::uint32_t>(j - 1);
        }
        for (; k < nb; ++k) start[k] = static_cast<std::uint32_t>(nx - 2);
    }
    const double* xs = x_.data();
    const std::uint32_t* st = start.data();
    for (std::size_t k = 0; k < n; ++k) {
        const double v = in[k];
        if (a <= v && v < b) {
            std::size_t bk = static_cast<std::size_t>((v - a) * inv);
            if (bk >= nb) bk = nb - 1;
            std::size_t i = st[bk];
            while (v < xs[i]) --i;          // rounding of the bucket edge
            // Mostly zero or one step: take one without a branch, then loop
            // (stops before nx - 1 since v < b).
            i += static_cast<std::size_t>(v >= xs[i + 1]);
            i = kernels::walk_up(xs, i, nx - 1, v);  // many knots in one bucket are searched
            out[k] = poly(i, v);
        } else {
            std::ptrdiff_t g = 0;
            out[k] = eval_one(v, g);
        }
    }
}

double Interpolant::operator()(double v) const {
    require_knots();
    std::ptrdiff_t g = 0;
    return eval_one(v, g);
}

void Interpolant::eval(const double* in, double* out, std::size_t n) const {
    if (n > 0) require_knots();
    if (deferred_ && n >= 16) {
        eval_deferred(in, out, n);
        return;
    }
    if (kind_ == InterpKind::Linear || deferred_) {
        std::ptrdiff_t g = 0;
        for (std::size_t k = 0; k < n; ++k) out[k] = eval_one(in[k], g);
        return;
    }
    // Piecewise cubic. Points outside the knots take the general path;
    // `in` and `out` may be the same array.
    if (n < 2 * x_.size()) eval_sparse(in, out, n);
    else eval_dense(in, out, n);
}

// About one point per interval or fewer: walk the intervals forward while
// the points ascend (a search otherwise), one piece per point.
namespace {
// The interval of v (xs[i] <= v < xs[last], knots strictly increasing),
// searching forward from interval i: the next two intervals are tried first,
// then the steps double and a bisection settles it. The same interval as a
// walk one knot at a time, in a few steps when the points are far apart
// (a table of a few thousand points on a spline of many knots).
inline std::size_t advance(const double* xs, std::size_t last, std::size_t i, double v) {
    if (v < xs[i + 1]) return i;
    if (v < xs[i + 2]) return i + 1;  // i + 2 <= last, as xs[i + 1] <= v < xs[last]
    std::size_t lo = i + 2, step = 2, hi;
    for (;;) {  // xs[lo] <= v
        hi = lo + step;
        if (hi >= last) {
            hi = last;
            break;
        }
        if (v < xs[hi]) break;
        lo = hi;
        step *= 2;
    }
    while (hi - lo > 1) {  // xs[lo] <= v < xs[hi]
        const std::size_t mid = lo + (hi - lo) / 2;
        if (xs[mid] <= v) lo = mid;
        else hi = mid;
    }
    return lo;
}

// The interval of v from interval i going forward (v >= xs[i], v < xs[nx - 1]):
// searched when the points are far apart, else walked.
inline std::size_t forward(const double* xs, std::size_t nx, std::size_t i, double v, bool far) {
    if (far) return advance(xs, nx - 1, i, v);
    while (v >= xs[i + 1]) ++i;
    return i;
}

// The interval of v (xs[0] <= v < xs[nx - 1]) from the previous point's
// interval i: forward when v lies at or after it, else by bisection. Once a
// point has come below the previous one (`unordered`), a point far ahead is
// searched for too: walks from where the points happen to be would cost the
// distance each time (ascending points walk every knot once in all).
inline std::size_t locate(const double* xs, std::size_t nx, std::size_t i, double v, bool far, bool& unordered) {
    if (v >= xs[i]) return unordered && !far ? kernels::walk_up(xs, i, nx - 1, v) : forward(xs, nx, i, v, far);
    unordered = true;
    return static_cast<std::size_t>(std::upper_bound(xs, xs + nx - 1, v) - xs) - 1;
}
}  // namespace

namespace {
// How the intervals of n points on nx knots are found by
// kernels::find_intervals: the stride of its walk (about the knots per
// point), or 0 when the knots are so many per point that a search is
// quicker (or too many to number in 32 bits).
std::size_t interval_stride(std::size_t nx, std::size_t n) {
    const std::size_t per = nx / (n ? n : 1);
    if (per > 4096 || nx > std::numeric_limits<std::uint32_t>::max()) return 0;
    return per >= 96 ? 32 : (per >= 6 ? 8 : 1);
}

// The intervals of n points on nx knots (at most 2^32 - 1) one point after
// the other, each from the previous one's (searched when the knots are many
// per point): kernels::find_intervals' results, kNoInterval outside. Returns
// the number of points outside.
std::size_t locate_all(const double* xs, std::size_t nx, const double* in, std::size_t n, std::uint32_t* interval) {
    const bool far = nx > 32 * n;
    const double a = xs[0], b = xs[nx - 1];
    std::size_t i = 0, outside = 0;
    bool unordered = false;
    for (std::size_t k = 0; k < n; ++k) {
        const double v = in[k];
        if (a <= v && v < b) {
            i = locate(xs, nx, i, v, far, unordered);
            interval[k] = static_cast<std::uint32_t>(i);
        } else {
            interval[k] = kernels::kNoInterval;
            ++outside;
        }
    }
    return outside;
}
}  // namespace

__attribute__((noinline)) void Interpolant::eval_sparse(const double* in, double* out, std::size_t n) const {
    const std::size_t nx = x_.size();
    // Many knots between successive points: searched, not walked.
    const bool far = nx > 32 * n;
    const double a = x_[0], b = x_[nx - 1];
    const double* xs = x_.data();
    std::size_t i = 0;
    const std::size_t stride = interval_stride(nx, n);
    if (stride > 1 || (stride == 1 && from_slopes_)) {
        // Several knots per point (or a slopes-only spline, whose pieces are
        // worked out in one pass anyway): all intervals first (the walk
        // strides over the knots), then the pieces, point by point
        // independently. Points outside the knots take the general path.
        std::vector<std::uint32_t> interval(n);
        const std::size_t outside = kernels::find_intervals(xs, nx, in, n, interval.data(), stride);
        if (from_slopes_) {
            eval_slopes_at(in, out, n, interval.data(), outside);
            return;
        }
        const double* c = c_.data();
        for (std::size_t k = 0; k < n; ++k) {
            const double v = in[k];
            if (interval[k] != kernels::kNoInterval) {
                const double* p = c + 4 * interval[k];
                out[k] = cubic_at(p[0], p[1], p[2], p[3], v - xs[interval[k]]);
            } else {
                std::ptrdiff_t g = 0;
                out[k] = eval_one(v, g);
            }
        }
        return;
    }
    if (!from_slopes_) {
        // The common case with the members held in registers: the stores to
        // `out` could otherwise alias them.
        const double* c = c_.data();
        std::size_t k = 0;
        while (k < n) {
            const double v = in[k];
            if (!(a <= v && v < b) || v < xs[i]) break;
            i = forward(xs, nx, i, v, far);
            const double* p = c + 4 * i;
            out[k] = cubic_at(p[0], p[1], p[2], p[3], v - xs[i]);
            ++k;
        }
        if (k == n) return;
        in += k;
        out += k;
        n -= k;
    } else if (nx <= std::numeric_limits<std::uint32_t>::max()) {
        eval_sparse_slopes(in, out, n);
        return;
    }
    bool unordered = false;
    for (std::size_t k = 0; k < n; ++k) {
        const double v = in[k];
        if (a <= v && v < b) {
            i = locate(xs, nx, i, v, far, unordered);
            out[k] = poly(i, v);
        } else {
            std::ptrdiff_t g = static_cast<std::ptrdiff_t>(i);
            out[k] = eval_one(v, g);
        }
    }
}

// A deferred PCHIP at many points: the intervals first, then every point's
// piece, slopes included, in one pass whose divisions overlap (the same bits
// as deferred_eval). Points outside the knots and in the two end intervals,
// whose slopes take the end formula, go through deferred_eval first (`in`
// may be `out`).
__attribute__((noinline)) void Interpolant::eval_deferred(const double* in, double* out, std::size_t n) const {
    const std::size_t nx = x_.size();
    const double* xs = x_.data();
    if (nx < 4 || nx > std::numeric_limits<std::uint32_t>::max()) {
        std::ptrdiff_t g = 0;
        for (std::size_t k = 0; k < n; ++k) out[k] = eval_one(in[k], g);
        return;
    }
    std::vector<std::uint32_t> interval(n);
    const std::size_t stride = interval_stride(nx, n);
    if (stride > 0) (void)kernels::find_intervals(xs, nx, in, n, interval.data(), stride);
    else (void)locate_all(xs, nx, in, n, interval.data());
    // Intervals 1 .. nx - 3 go to the kernel; kNoInterval, 0 and nx - 2 do not.
    std::vector<std::pair<std::size_t, double>> values;
    const std::size_t inner = nx - 3;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t iv = interval[k];
        if (static_cast<std::size_t>(iv) - 1 < inner) continue;
        if (iv == kernels::kNoInterval) {
            std::ptrdiff_t g = 0;
            values.emplace_back(k, eval_one(in[k], g));
        } else {
            values.emplace_back(k, deferred_eval(iv, in[k]));
        }
        interval[k] = 1;
    }
    kernels::pchip_pieces_at(xs, y_.data(), interval.data(), in, out, n);
    for (const auto& [k, value] : values) out[k] = value;
}

// Slopes-only splines with so many knots per point that each interval is
// searched for: the intervals first, then every point's piece in one pass
// whose divisions overlap.
__attribute__((noinline)) void Interpolant::eval_sparse_slopes(const double* in, double* out, std::size_t n) const {
    std::vector<std::uint32_t> interval(n);
    const std::size_t outside = locate_all(x_.data(), x_.size(), in, n, interval.data());
    eval_slopes_at(in, out, n, interval.data(), outside);
}

// The pieces of a slopes-only spline at points whose intervals are known
// (kNoInterval, for `outside` of them: outside the knots, evaluated on the
// general path). Those outside are evaluated first, as `in` may be `out`.
// They are looked for from both ends (ascending points have them there),
// and in the middle only when some are still missing.
void Interpolant::eval_slopes_at(const double* in, double* out, std::size_t n, std::uint32_t* interval,
                                 std::size_t outside) const {
    std::vector<std::pair<std::size_t, double>> values;
    values.reserve(outside);
    const auto take = [&](std::size_t k) {
        std::ptrdiff_t g = 0;
        values.emplace_back(k, eval_one(in[k], g));
        interval[k] = 0;
    };
    std::size_t lo = 0, hi = n;
    for (; lo < hi && values.size() < outside && interval[lo] == kernels::kNoInterval; ++lo) take(lo);
    for (; hi > lo && values.size() < outside && interval[hi - 1] == kernels::kNoInterval; --hi) take(hi - 1);
    for (std::size_t k = lo; k < hi && values.size() < outside; ++k)
        if (interval[k] == kernels::kNoInterval) take(k);
    kernels::slopes_pieces_at(x_.data(), y_.data(), d_.data(), interval, in, out, n);
    for (const auto& [k, value] : values) out[k] = value;
}

// Many points per interval: the run of ascending points that falls in one
// interval goes through the vectorised piece kernel.
__attribute__((noinline)) void Interpolant::eval_dense(const double* in, double* out, std::size_t n) const {
    const std::size_t nx = x_.size();
    const double a = x_[0], b = x_[nx - 1];
    const double* xs = x_.data();
    // Vector stores may run ahead of a run's end: only into an output apart
    // from the points.
    const auto o = reinterpret_cast<std::uintptr_t>(out), p = reinterpret_cast<std::uintptr_t>(in);
    const bool separate = o + n * sizeof(double) <= p || p + n * sizeof(double) <= o;
    std::size_t i = 0;
    std::size_t k = 0;
    bool unordered = false;
    while (k < n) {
        const double v = in[k];
        if (!(a <= v && v < b)) {
            std::ptrdiff_t g = static_cast<std::ptrdiff_t>(i);
            out[k++] = eval_one(v, g);
            continue;
        }
        if (v >= xs[i]) {
            // (a point far ahead is searched for once the points have come
            // back: see locate)
            if (unordered) i = kernels::walk_up(xs, i, nx - 1, v);  // v < b = xs[nx - 1]
            else
                while (v >= xs[i + 1]) ++i;
        } else {
            unordered = true;
            i = static_cast<std::size_t>(std::upper_bound(x_.begin(), x_.end() - 1, v) - x_.begin()) - 1;
        }
        if (!from_slopes_ && separate) {
            // From here the points are taken run by run while they ascend.
            k = kernels::cubic_runs(xs, nx, c_.data(), in, out, k, n, &i, unordered);
            continue;
        }
        const double lo = xs[i], hi = xs[i + 1];
        std::size_t k1 = k + 1;
        while (k1 < n && in[k1] >= lo && in[k1] < hi) ++k1;
        double cl[4];
        const double* c = cl;
        if (from_slopes_) slopes_coefficients(i, cl);
        else c = &c_[4 * i];
        kernels::cubic_piece(in + k, out + k, k1 - k, lo, c[0], c[1], c[2], c[3]);
        k = k1;
    }
}

void Interpolant::eval_pair(const Interpolant& A, const Interpolant& B, const double* in, double* out_a,
                            double* out_b, std::size_t n, bool ascending) {
    const std::size_t nx = A.x_.size();
    const auto cubic = [](const Interpolant& f) {
        return f.kind_ != InterpKind::Linear && !f.deferred_ && !f.from_slopes_ && f.x_.size() >= 2;
    };
    if (!cubic(A) || !cubic(B) || B.x_.size() != nx || n < 2 * nx ||
        !std::equal(A.x_.begin(), A.x_.end() - 1, B.x_.begin())) {
        A.eval(in, out_a, n);
        B.eval(in, out_b, n);
        return;
    }
    // Below the smaller last knot both interpolants put a point in the same
    // interval; the points elsewhere (outside, NaN, at the end) take each
    // one's general path.
    const double* xs = A.x_.data();
    const double a = xs[0], last = std::min(A.x_.back(), B.x_.back());
    // Points that ascend without NaN (a grid) have their runs worked out
    // from the grid's spacing instead of found point by point.
    const bool grid = ascending || kernels::ascending_no_nan(in, n);
    std::size_t i = 0, k = 0;
    while (k < n) {
        const double v = in[k];
        if (!(a <= v && v < last)) {
            std::ptrdiff_t ga = static_cast<std::ptrdiff_t>(i), gb = ga;
            out_a[k] = A.eval_one(v, ga);
            out_b[k] = B.eval_one(v, gb);
            ++k;
            continue;
        }
        if (v < xs[i])
            i = static_cast<std::size_t>(std::upper_bound(A.x_.begin(), A.x_.end() - 1, v) - A.x_.begin()) - 1;
        // From here the points are taken run by run while they ascend.
        k = grid ? kernels::cubic_pair_ascending(xs, nx, last, A.c_.data(), B.c_.data(), in, out_a, out_b, k, n, &i)
                 : kernels::cubic_pair_runs(xs, nx, last, A.c_.data(), B.c_.data(), in, out_a, out_b, k, n, &i);
    }
}

uvector Interpolant::eval(std::span<const double> in) const {
    uvector out(in.size());
    eval(in.data(), out.data(), in.size());
    return out;
}

}  // namespace vordex
