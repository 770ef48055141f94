#include "vordex/core/numeric.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <limits>

#include "vordex/core/errors.hpp"
#include "kernels.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vordex {

#if defined(__linux__) && defined(MADV_HUGEPAGE) && !defined(__SANITIZE_ADDRESS__)
#define VORDEX_HUGE_BUFFERS 1
#endif

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Budgeted buffers now on the heap (bytes), over all threads.
std::atomic<std::size_t> g_heap_bytes{0};
#ifdef VORDEX_HUGE_BUFFERS
// Budgeted buffers mapped on their own: their addresses, in free slots
// (null). Lock-free, so that a process forked while another thread holds a
// buffer still finds the slots usable.
constexpr std::size_t kMappedSlots = 256;
std::atomic<void*> g_mapped[kMappedSlots];
std::atomic<std::size_t> g_mapped_count{0};

std::size_t whole_huge_pages(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

// size whole huge pages, mapped on a 2 MiB boundary and asked to be backed by
// huge pages; null when the system refuses the mapping.
void* map_huge_pages(std::size_t size) {
    void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto at = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (at + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    const std::size_t head = start - at;
    if (head) (void)munmap(raw, head);
    (void)munmap(reinterpret_cast<void*>(start + size), kHugePage - head);
    void* p = reinterpret_cast<void*>(start);
    (void)madvise(p, size, MADV_HUGEPAGE);  // no huge pages here: no matter
    return p;
}

// A budgeted buffer mapped on its own, or null (no mapping, or every slot
// taken) for the heap to serve.
void* map_budgeted(std::size_t bytes) {
    const std::size_t size = whole_huge_pages(bytes);
    void* p = map_huge_pages(size);
    if (!p) return nullptr;
    for (std::atomic<void*>& slot : g_mapped) {
        void* expected = nullptr;
        if (slot.load(std::memory_order_relaxed) == nullptr &&
            slot.compare_exchange_strong(expected, p, std::memory_order_acq_rel)) {
            g_mapped_count.fetch_add(1, std::memory_order_relaxed);
            return p;
        }
    }
    (void)munmap(p, size);
    return nullptr;
}

// Unmaps p when it is a budgeted buffer mapped on its own.
bool unmap_budgeted(void* p, std::size_t bytes) noexcept {
    if (g_mapped_count.load(std::memory_order_relaxed) == 0) return false;
    for (std::atomic<void*>& slot : g_mapped) {
        void* expected = p;
        if (slot.load(std::memory_order_relaxed) == p &&
            slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel)) {
            g_mapped_count.fetch_sub(1, std::memory_order_relaxed);
            (void)munmap(p, whole_huge_pages(bytes));
            return true;
        }
    }
    return false;
}
#endif

void* heap_budgeted(std::size_t bytes) {
    g_heap_bytes.fetch_add(bytes, std::memory_order_relaxed);
    try {
        return ::operator new(bytes);
    } catch (...) {
        g_heap_bytes.fetch_sub(bytes, std::memory_order_relaxed);
        throw;
    }
}
}  // namespace

std::size_t budgeted_heap_bytes() noexcept { return g_heap_bytes.load(std::memory_order_relaxed); }
bool own_mappings_supported() noexcept {
#ifdef VORDEX_HUGE_BUFFERS
    return true;
#else
    return false;
#endif
}
std::size_t own_mapped_buffers() noexcept {
#ifdef VORDEX_HUGE_BUFFERS
    return g_mapped_count.load(std::memory_order_relaxed);
#else
    return 0;
#endif
}

void* allocate_buffer(std::size_t bytes) {
    if (bytes < kBudgetedBuffer) return ::operator new(bytes);
#ifdef VORDEX_HUGE_BUFFERS
    if (bytes < kLargeBuffer) {
        // Within the budget (counting this buffer), or when a mapping of its
        // own cannot be had: the heap.
        if (g_heap_bytes.load(std::memory_order_relaxed) + bytes > kHeapBudget)
            if (void* p = map_budgeted(bytes)) return p;
        return heap_budgeted(bytes);
    }
    if (bytes > std::size_t(-1) - kHugePage) throw std::bad_alloc();
    // Whole huge pages: the tail shares no page with another allocation.
    const std::size_t size = whole_huge_pages(bytes);
    void* p = std::aligned_alloc(kHugePage, size);
    if (!p) throw std::bad_alloc();
    (void)madvise(p, size, MADV_HUGEPAGE);  // no huge pages here: no matter
    return p;
#else
    if (bytes < kLargeBuffer) return heap_budgeted(bytes);
    return ::operator new(bytes);
#endif
}

void* allocate_mapped(std::size_t bytes) {
    if (bytes > (std::size_t(-1) >> 1)) throw std::bad_alloc();
#ifdef VORDEX_HUGE_BUFFERS
    void* p = map_huge_pages(whole_huge_pages(bytes == 0 ? 1 : bytes));
    if (!p) throw std::bad_alloc();
    return p;
#else
    return ::operator new(bytes);
#endif
}

void release_mapped(void* p, std::size_t bytes) noexcept {
#ifdef VORDEX_HUGE_BUFFERS
    (void)munmap(p, whole_huge_pages(bytes == 0 ? 1 : bytes));
#else
    (void)bytes;
    ::operator delete(p);
#endif
}

void release_buffer(void* p, std::size_t bytes) noexcept {
    if (bytes >= kBudgetedBuffer && bytes < kLargeBuffer) {
#ifdef VORDEX_HUGE_BUFFERS
        if (unmap_budgeted(p, bytes)) return;
#endif
        g_heap_bytes.fetch_sub(bytes, std::memory_order_relaxed);
    }
#ifdef VORDEX_HUGE_BUFFERS
    if (bytes >= kLargeBuffer) {
        std::free(p);
        return;
    }
#endif
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
