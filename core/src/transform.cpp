#include "vordex/core/transform.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

namespace vordex {

namespace {
// At most kBlock probabilities are grouped at a time, into about as many
// buckets of equal width (a power of two between kMinBuckets and kMaxBuckets):
// fine enough that most buckets fall inside one interval of the inverse table.
constexpr std::size_t kBlock = std::size_t{1} << 14;
constexpr std::size_t kMinBuckets = std::size_t{1} << 10;
constexpr std::size_t kMaxBuckets = std::size_t{1} << 14;
}  // namespace

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
        // The linear interpolant searches every value afresh: order does not matter.
        eval_ordered(in, out, n);
        return;
    }
    // Counting sort of each block by probability bucket, evaluation in that
    // order, results written back to their places. Scratch memory is kept
    // small and left uninitialised: fresh pages are costly.
    const std::size_t block = std::min(n, kBlock);
    std::size_t buckets = kMinBuckets;
    while (buckets < kMaxBuckets && buckets < block) buckets *= 2;
    const double scale = static_cast<double>(buckets);
    auto bucket_of = [&](double p) -> std::size_t {
        // NaN goes to bucket 0, p == 1 to the last one.
        std::size_t b = (p > 0.0) ? static_cast<std::size_t>(p * scale) : 0;
        return b < buckets ? b : buckets - 1;
    };
    std::unique_ptr<std::uint32_t[]> count(new std::uint32_t[buckets + 1]);
    std::unique_ptr<std::uint32_t[]> order(new std::uint32_t[block]);
    std::unique_ptr<double[]> sorted(new double[block]);
    for (std::size_t s = 0; s < n; s += block) {
        const std::size_t m = std::min(block, n - s);
        const double* src = in + s;
        std::fill(count.get(), count.get() + buckets + 1, 0u);
        for (std::size_t k = 0; k < m; ++k) ++count[bucket_of(prepare_one(src[k])) + 1];
        for (std::size_t b = 0; b < buckets; ++b) count[b + 1] += count[b];
        for (std::size_t k = 0; k < m; ++k) {
            const double p = prepare_one(src[k]);
            const std::uint32_t pos = count[bucket_of(p)]++;
            order[pos] = static_cast<std::uint32_t>(k);
            sorted[pos] = p;
        }
        F_.eval(sorted.get(), sorted.get(), m);
        // Each place is read (for its probability) just before it is written,
        // so `in` and `out` may be the same array.
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t k = s + order[j];
            out[k] = prepare_one(in[k]) > p_last_ ? x_last_ : sorted[j];
        }
    }
}

std::vector<double> equal_probabilities(std::size_t n) {
    std::vector<double> p(n);
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
    density(ld, x, out, n, false);
    for (std::size_t i = 0; i < n; ++i) {
        const double a = std::fabs(deriv[i]);
        const double d = std::isnan(a) ? a : std::max(a, kMinAbsDerivative);
        out[i] = out[i] / d;
    }
}

bool orient_ascending(std::span<double> y_points, std::span<double> density) {
    if (y_points.empty() || !(y_points.front() > y_points.back())) return false;
    std::reverse(y_points.begin(), y_points.end());
    std::reverse(density.begin(), density.end());
    return true;
}

}  // namespace vordex
