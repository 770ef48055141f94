#include "vordex/core/numeric.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <limits>

#include "vordex/core/errors.hpp"
#include "kernels.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vordex {

void* allocate_buffer(std::size_t bytes) {
    if (bytes < kLargeBuffer) return ::operator new(bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE) && !defined(__SANITIZE_ADDRESS__)
    constexpr std::size_t huge = std::size_t{2} << 20;
    if (bytes > std::size_t(-1) - huge) throw std::bad_alloc();
    // Whole huge pages: the tail shares no page with another allocation.
    const std::size_t size = (bytes + huge - 1) & ~(huge - 1);
    void* p = std::aligned_alloc(huge, size);
    if (!p) throw std::bad_alloc();
    (void)madvise(p, size, MADV_HUGEPAGE);  // no huge pages here: no matter
    return p;
#else
    return ::operator new(bytes);
#endif
}

void release_buffer(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE) && !defined(__SANITIZE_ADDRESS__)
    if (bytes >= kLargeBuffer) {
        std::free(p);
        return;
    }
#endif
    (void)bytes;
    ::operator delete(p);
}

double pairwise_sum(const double* a, std::size_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int j = 0; j < 8; ++j) r[j] += a[i + static_cast<std::size_t>(j)];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

double numpy_sum(const double* a, std::size_t n) {
    // NumPy reduces through its iterator buffer: blocks of 8192 values, each
    // summed pairwise, the block sums added in order to the identity 0.0.
    constexpr std::size_t kBlock = 8192;
    double res = 0.0;
    for (std::size_t i = 0; i < n; i += kBlock) res += pairwise_sum(a + i, std::min(kBlock, n - i));
    return res;
}

double nan_min(std::span<const double> v) { return kernels::min_or_nan(v.data(), v.size()); }

double nan_max(std::span<const double> v) { return kernels::max_or_nan(v.data(), v.size()); }

double numpy_mean(const double* a, std::size_t n) { return numpy_sum(a, n) / static_cast<double>(n); }

void linspace_into(double start, double stop, std::size_t num, double* out) {
    if (num == 0) return;
    const double delta = stop - start;
    if (num > 1) {
        const double div = static_cast<double>(num - 1);
        const double step = delta / div;
        if (step == 0.0) {
            for (std::size_t i = 0; i < num; ++i) out[i] = (static_cast<double>(i) / div) * delta + start;
        } else {
            kernels::linspace_fill(start, step, static_cast<std::int64_t>(num), out);
        }
        out[num - 1] = stop;
    } else {
        out[0] = 0.0 * delta + start;
    }
}

uvector linspace(double start, double stop, std::size_t num) {
    uvector out(num);
    linspace_into(start, stop, num, out.data());
    return out;
}

namespace {
void libm_exp(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(in[i]);
}
void libm_log(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::log(in[i]);
}
std::atomic<VectorKernel> g_exp{libm_exp};
std::atomic<VectorKernel> g_log{libm_log};
}  // namespace

void set_vector_kernels(VectorKernel exp_kernel, VectorKernel log_kernel) {
    g_exp.store(exp_kernel ? exp_kernel : libm_exp);
    g_log.store(log_kernel ? log_kernel : libm_log);
}
void vexp(const double* in, double* out, std::size_t n) {
    if (n) g_exp.load(std::memory_order_relaxed)(in, out, n);
}
void vlog(const double* in, double* out, std::size_t n) {
    if (n) g_log.load(std::memory_order_relaxed)(in, out, n);
}

std::size_t checked_mul(std::size_t a, std::size_t b) {
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a)
        throw OverflowError("grid size is too large");
    return a * b;
}

}  // namespace vordex
