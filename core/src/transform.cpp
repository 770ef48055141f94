#include "vordex/core/transform.hpp"

#include "vordex/core/errors.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vordex {


QuantileBatch::QuantileBatch(const LogDensity& ld, std::int64_t length, bool spline) {
    CdfTable t = cdf_table(ld, length);
    collapse_flat_ends(t.cdf, t.xx);
    F_ = spline ? Interpolant::pchip(t.cdf, t.xx) : Interpolant::linear(t.cdf, t.xx);
    p_last_ = t.cdf.back();
    x_last_ = t.xx.back();
}

double QuantileBatch::prepare_one(double p) const {
    if (std::isnan(p)) return p;
    return std::min(std::max(p, 0.0), 1.0);
}

void QuantileBatch::eval_ordered(const double* in, double* out, std::size_t n) const {
    // Interpolant::eval carries the interval found for one value over to the
    // next, so ascending input costs one comparison per value in most cases.
    double buf[512];
    for (std::size_t s = 0; s < n; s += 512) {
        const std::size_t m = std::min<std::size_t>(512, n - s);
        for (std::size_t k = 0; k < m; ++k) buf[k] = prepare_one(in[s + k]);
        F_.eval(buf, out + s, m);
        for (std::size_t k = 0; k < m; ++k)
            if (buf[k] > p_last_) out[s + k] = x_last_;
    }
}

void QuantileBatch::eval(const double* in, double* out, std::size_t n) const {
    if (F_.kind() == InterpKind::Linear || n < 64) {
        eval_ordered(in, out, n);
        return;
    }
    // Points in any order: the interpolant's bucket index finds each one's
    // interval directly. `in` and `out` may be the same array.
    uvector pp(n);
    for (std::size_t k = 0; k < n; ++k) pp[k] = prepare_one(in[k]);
    F_.eval_unordered(pp.data(), out, n);
    for (std::size_t k = 0; k < n; ++k)
        if (pp[k] > p_last_) out[k] = x_last_;
}

uvector equal_probabilities(std::size_t n) {
    uvector p(n);
    const double denom = static_cast<double>(n) + 1.0;
    for (std::size_t k = 0; k < n; ++k) p[k] = static_cast<double>(k + 1) / denom;
    return p;
}

void shifted(const double* x, double d, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = x[i] + d;
}

void five_point_stencil(const double* f1, const double* f2, const double* f3, const double* f4, double h,
                        double* out, std::size_t n) {
    const double denom = 12.0 * h;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = (-f1[i]) + 8.0 * f2[i];
        const double b = a - 8.0 * f3[i];
        out[i] = (b + f4[i]) / denom;
    }
}

void transformed_density(const LogDensity& ld, const double* x, const double* deriv, double* out,
                         std::size_t n) {
    // `out` may be `deriv`: the derivatives are then kept aside first.
    uvector kept;
    if (deriv == out && n > 0) {
        kept = uvector(n);
        std::copy(deriv, deriv + n, kept.data());
        deriv = kept.data();
    }
    density(ld, x, out, n, false);
    for (std::size_t i = 0; i < n; ++i) {
        const double a = std::fabs(deriv[i]);
        const double d = std::isnan(a) ? a : std::max(a, kMinAbsDerivative);
        out[i] = out[i] / d;
    }
}

bool orient_ascending(std::span<double> y_points, std::span<double> density) {
    if (y_points.size() != density.size())
        throw ValueError("A transformed marginal needs as many densities as positions.");
    if (y_points.empty() || !(y_points.front() > y_points.back())) return false;
    std::reverse(y_points.begin(), y_points.end());
    std::reverse(density.begin(), density.end());
    return true;
}

}  // namespace vordex
