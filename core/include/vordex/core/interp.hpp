// One-dimensional interpolants: the monotone piecewise cubic Hermite (PCHIP)
// interpolant, the not-a-knot cubic spline and piecewise-linear
// interpolation. The cubic variants store the power-basis coefficients of
// each interval and evaluate them in a fixed order, so results are
// reproducible to the last bit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vordex/core/numeric.hpp"

namespace vordex {

// One cubic piece in power form, c0 s^3 + c1 s^2 + c2 s + c3 at offset s,
// summed from the constant term up in this fixed order (the order every
// evaluation of the interpolants uses, so that results repeat to the bit).
// The powers of s are formed as such, as SciPy's evaluation of the same form
// does: offsets beyond about 5.6e102 make s^3 overflow (inf or NaN results).
inline double cubic_at(double c0, double c1, double c2, double c3, double s) {
    double res = 0.0;
    res = res + c3;
    res = res + c2 * s;
    const double s2 = s * s;
    res = res + c1 * s2;
    res = res + c0 * (s2 * s);
    return res;
}

enum class InterpKind { Pchip, Cubic, Linear };

class Interpolant {
public:
    Interpolant() = default;

    // Monotone PCHIP interpolant. Needs x strictly increasing, finite, at
    // least 2 points; otherwise throws ValueError with the usual messages.
    // Knots of extreme scale can make a knot slope overflow (inf or NaN):
    // that throws ValueError("`dydx` must contain only finite values."), as
    // for the not-a-knot spline.
    static Interpolant pchip(std::span<const double> x, std::span<const double> y, bool extrapolate = false);
    // The same PCHIP interpolant with its pieces worked out when evaluated:
    // the slopes are local (each needs only the neighbouring knots), so a
    // few evaluations cost a few divisions instead of a full build, with
    // bit-identical results. materialize() builds every piece at once (for
    // many evaluations). The construction throws what pchip() throws; the
    // slopes are worked out for that only on knots of extreme scale.
    static Interpolant pchip_deferred(std::span<const double> x, std::span<const double> y);
    static Interpolant pchip_deferred(uvector&& x, uvector&& y);  // taking over the arrays
    // pchip(x, y).eval(x): the interpolant at its own knots, bit for bit,
    // without building it when its pieces are known to be finite.
    static uvector pchip_at_knots(std::span<const double> x, std::span<const double> y);
    bool deferred() const { return deferred_; }
    void materialize();
    // PCHIP built deferred (NaN for other kinds, and outside the knots): the
    // piece holding v in scaled form,
    // y[i] + u*(a + u*(3D - 2a - b + u*(a + b - 2D))) with u = (v - x[i])/h,
    // D = y[i+1] - y[i] and a, b the end slopes times h. The same cubic as
    // the power form up to rounding, but finite where that form is not: on
    // spacings so small (below about 1e-100) that the leading coefficient
    // overflows while the cube of the offset underflows, giving inf * 0.
    // Where even the scaled slopes overflow, the straight line between the
    // two knots.
    double pchip_scaled(double v) const;

    // Cubic spline with not-a-knot conditions at both ends.
    static Interpolant cubic(std::span<const double> x, std::span<const double> y, bool extrapolate = false);
    // The same spline keeping only the knot slopes: each evaluation works
    // out its piece from them (the same operations, so the same bits). For
    // very long splines evaluated at comparatively few points, where storing
    // four coefficients per interval costs more memory traffic than the
    // evaluations save.
    static Interpolant cubic_slopes_only(std::span<const double> x, std::span<const double> y);
    // Piecewise-linear interpolation, NaN outside [x[0], x[-1]]. Checks only
    // that x and y are non-empty and of equal length; unsorted or NaN knots
    // give meaningless values but never out-of-range reads.
    static Interpolant linear(std::span<const double> x, std::span<const double> y);
    // The same three, taking over the knot and value arrays instead of
    // copying them.
    static Interpolant cubic(uvector&& x, uvector&& y);
    static Interpolant cubic_slopes_only(uvector&& x, uvector&& y);
    static Interpolant linear(uvector&& x, uvector&& y);

    // A default-constructed interpolant (or one moved from) has no knots:
    // evaluating it throws ValueError, and front() and back() must not be
    // called on it. Evaluation never changes the object, so one interpolant
    // can serve several threads at once; materialize() is the one change.
    InterpKind kind() const { return kind_; }
    bool extrapolates() const { return extrapolate_; }
    std::size_t size() const { return x_.size(); }
    const uvector& knots() const { return x_; }
    // Values at the knots (linear and PCHIP kinds built from a deferred one;
    // empty otherwise).
    const uvector& values() const { return y_; }
    double front() const { return x_.front(); }
    double back() const { return x_.back(); }

    double operator()(double v) const;
    void eval(const double* in, double* out, std::size_t n) const;
    uvector eval(std::span<const double> in) const;

    // Same results as eval(), for points in any order: a bucket index over
    // the knot range finds each point's interval in a step or two instead of
    // a binary search. Worth it for many points (cubic kinds only; the
    // linear kind falls back to eval()).
    void eval_unordered(const double* in, double* out, std::size_t n) const;

    // a.eval(in, out_a, n) and b.eval(in, out_b, n) in one pass when a and b
    // are piecewise cubic with the same knots (the last may differ): each
    // run of points that falls in one interval is found once for both.
    // Otherwise the two evaluations one after the other. The outputs must
    // not overlap `in` or each other. `ascending`: the caller knows that the
    // points ascend without NaN (they are checked otherwise).
    static void eval_pair(const Interpolant& a, const Interpolant& b, const double* in, double* out_a,
                          double* out_b, std::size_t n, bool ascending = false);

    // Hermite slopes at the knots (PCHIP/cubic), for tests.
    const uvector& slopes() const { return d_; }

private:
    static Interpolant hermite(InterpKind kind, std::span<const double> x, uvector&& d, uvector&& c,
                               bool extrapolate);
    void require_knots() const;  // ValueError when there are none
    std::ptrdiff_t find_interval(double v, std::ptrdiff_t guess) const;
    double eval_one(double v, std::ptrdiff_t& guess) const;
    void eval_sparse(const double* in, double* out, std::size_t n) const;
    void eval_sparse_slopes(const double* in, double* out, std::size_t n) const;
    void eval_slopes_at(const double* in, double* out, std::size_t n, std::uint32_t* interval,
                        std::size_t outside) const;
    void eval_dense(const double* in, double* out, std::size_t n) const;
    void eval_deferred(const double* in, double* out, std::size_t n) const;
    double poly(std::size_t i, double v) const {
        if (from_slopes_) return slopes_piece(i, v);
        const double* c = &c_[4 * i];
        return cubic_at(c[0], c[1], c[2], c[3], v - x_[i]);
    }

    void check_deferred();  // the construction's checks of a deferred PCHIP
    double deferred_eval(std::size_t i, double v) const;
    double deferred_slope(std::size_t k) const;  // PCHIP slope at knot k from x_, y_
    // Coefficients of piece i from the knots and slopes (cubic_slopes_only).
    void slopes_coefficients(std::size_t i, double c[4]) const;
    double slopes_piece(std::size_t i, double v) const;

    InterpKind kind_ = InterpKind::Linear;
    bool extrapolate_ = false;
    bool deferred_ = false;       // PCHIP pieces computed per evaluation from x_, y_
    bool from_slopes_ = false;    // cubic pieces computed per evaluation from x_, y_, d_
    uvector x_;
    uvector y_;                   // linear and deferred PCHIP: values
    uvector d_;                   // cubic kinds: slopes at knots
    uvector c_;                   // cubic kinds: 4 coefficients per interval
};

// Checks SciPy's interpolant constructors make, in the same order and with
// the same messages.
void validate_knots(std::span<const double> x, std::span<const double> y);

// PCHIP slopes (SciPy's formulas). The knots are checked first, as by
// validate_knots (ValueError for fewer than 2, lengths that differ, knots
// that are not finite or not strictly increasing).
std::vector<double> pchip_slopes(std::span<const double> x, std::span<const double> y);
// Not-a-knot spline slopes (tridiagonal solve with partial pivoting), after
// the same checks.
std::vector<double> notaknot_slopes(std::span<const double> x, std::span<const double> y);

namespace detail {
// The not-a-knot slopes through the solve in `lanes` (8 or 16) vector lanes
// of L rows (2 <= L <= (n - 6) / lanes), whatever the size: for tests of the
// lanes' walks, which short lanes rarely finish. False when the elimination
// would pivot. With `from_knots` the lanes work out the spacings and slopes
// from the knots chunk by chunk (as long splines do) instead of reading
// them from arrays; invalid knots raise ValueError either way. With a
// `block_L` the solve runs in blocks of `lanes` lanes of block_L rows (as
// long splines do; L is then not used), each block's start guessed from
// `block_ahead` (1 to 48) rows after it; false also when a guess does not
// settle within the rows a block keeps. Counts and lengths out of range
// (lanes other than 8 or 16, L or block_L beyond what n holds, block_ahead
// outside 1 to 48) throw ValueError.
bool notaknot_slopes_lanes(std::span<const double> x, std::span<const double> y, std::size_t lanes, std::size_t L,
                           std::vector<double>& out, bool from_knots = false, std::size_t block_L = 0,
                           std::size_t block_ahead = 48);
// The same through the lanes that take the elimination's row interchanges
// themselves (as systems that swap rows often are solved, and long ones that
// swap at all), with the same options. False on a zero pivot, and with
// blocks when a block's guessed start does not settle within the rows it
// keeps.
bool notaknot_slopes_swapping_lanes(std::span<const double> x, std::span<const double> y, std::size_t lanes,
                                    std::size_t L, std::vector<double>& out, bool from_knots = false,
                                    std::size_t block_L = 0, std::size_t block_ahead = 48);
}  // namespace detail

}  // namespace vordex
