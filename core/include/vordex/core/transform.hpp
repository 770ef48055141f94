// Random draws and transformed marginals: the quantile function applied to
// many probabilities at once, the five-point derivative stencil, and the
// change-of-variables density of Y = fun(X).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vordex/core/density.hpp"
#include "vordex/core/interp.hpp"

namespace vordex {

// The quantile function of a prepared marginal (cumulative table of `length`
// points, flat ends collapsed, monotone inverse; linear inverse when `spline`
// is false), built for evaluation on large batches. Every value equals what
// QuantileFunction gives for the same probability, bit for bit: probabilities
// are clipped to [0, 1], those beyond the last kept knot give that knot's x,
// NaN gives NaN.
class QuantileBatch {
public:
    QuantileBatch(const LogDensity& ld, std::int64_t length, bool spline);

    // Any order of probabilities. Values are grouped by probability in
    // blocks so that the interval search stays local (scratch memory is
    // bounded and independent of n). `in` and `out` may be the same array.
    void eval(const double* in, double* out, std::size_t n) const;
    // Any order, fastest for ascending probabilities (no grouping); `in` and
    // `out` may be the same array.
    void eval_ordered(const double* in, double* out, std::size_t n) const;

    double last_probability() const { return p_last_; }

private:
    double prepare_one(double p) const;  // clip to [0, 1]
    Interpolant F_;
    double p_last_ = 1.0, x_last_ = 0.0;
};

// k / (n + 1.0) for k = 1, ..., n: equal-probability levels.
uvector equal_probabilities(std::size_t n);

// x + d for every element.
void shifted(const double* x, double d, double* out, std::size_t n);

// Five-point central difference with step h:
// (((-f1) + 8.0*f2) - 8.0*f3 + f4) / (12.0*h), where f1..f4 are the function
// values at x+2h, x+h, x-h, x-2h. Element-wise, in exactly that order of
// operations.
void five_point_stencil(const double* f1, const double* f2, const double* f3, const double* f4, double h,
                        double* out, std::size_t n);

// Smallest derivative magnitude used as divisor of a transformed density.
inline constexpr double kMinAbsDerivative = 1e-12;

// Density of Y = fun(X) at the points fun(x): the density of X at x divided
// by max(|derivative|, 1e-12) (a NaN derivative stays NaN). `out` may be
// `x` or `deriv`.
void transformed_density(const LogDensity& ld, const double* x, const double* deriv, double* out,
                         std::size_t n);

// Put a transformed marginal in ascending order of its abscissae when fun is
// decreasing (first abscissa above the last): both arrays are reversed.
// Returns whether they were. Arrays of different lengths throw ValueError.
bool orient_ascending(std::span<double> y_points, std::span<double> density);

}  // namespace vordex
