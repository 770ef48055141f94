// Array arithmetic that reproduces NumPy's results bit for bit: pairwise
// summation, mean, linspace, and the vector exp/log used on every grid.
#pragma once
#include <cmath>
#include <cstddef>
#include <span>
#include <memory>
#include <utility>
#include <vector>

namespace vordex {

// Buffers of 32 MiB and more (those the C library maps afresh at every call
// under glibc's largest dynamic threshold, and under the one this package's
// modules set) start on a 2 MiB boundary, span whole 2 MiB pages and are
// asked to be backed by huge pages where the system offers them, as NumPy
// does for its large arrays: faulting them in 4 KiB at a time cost more than
// the arithmetic on them.
// Buffers from 1 MiB up stay with the C library's heap, whose memory is
// reused from call to call, while the heap buffers of this kind alive at
// once (in all threads) stay within kHeapBudget. Past that the heap would
// outgrow its trim threshold and be trimmed when they are freed, so that the
// next call faults all of them in again, 4 KiB at a time; such buffers are
// mapped on their own instead, on huge pages like the large ones.
// allocate_buffer throws std::bad_alloc; release_buffer takes the size that
// was allocated.
inline constexpr std::size_t kLargeBuffer = std::size_t{32} << 20;
inline constexpr std::size_t kBudgetedBuffer = std::size_t{1} << 20;
inline constexpr std::size_t kHeapBudget = std::size_t{48} << 20;
void* allocate_buffer(std::size_t bytes);
void release_buffer(void* p, std::size_t bytes) noexcept;
// Bytes of budgeted buffers now on the heap, the number now mapped on their
// own, and whether this build maps any (not on other systems, nor under the
// address sanitizer, whose allocator has to see every buffer).
std::size_t budgeted_heap_bytes() noexcept;
std::size_t own_mapped_buffers() noexcept;
bool own_mappings_supported() noexcept;
// A buffer outside the C library's heap: mapped on its own on whole 2 MiB
// pages (asked to be backed by huge pages), for a result whose owner frees
// it whenever it likes. A large result on the heap sits near its top, and
// freeing it there can make the heap trim the free memory below it, which
// the next call then faults in again 4 KiB at a time. Where this build maps
// no buffers of its own (see above), the heap's. allocate_mapped throws
// std::bad_alloc; release_mapped takes the size that was allocated.
void* allocate_mapped(std::size_t bytes);
void release_mapped(void* p, std::size_t bytes) noexcept;

// Allocator whose resize() leaves new doubles uninitialised: for buffers
// that are written in full right after they are sized. Those of 1 MiB and
// more come from allocate_buffer.
template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n < kBudgetedBuffer / sizeof(T) || n > std::size_t(-1) / sizeof(T)) return std::allocator<T>::allocate(n);
        return static_cast<T*>(allocate_buffer(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n < kBudgetedBuffer / sizeof(T)) std::allocator<T>::deallocate(p, n);
        else release_buffer(p, n * sizeof(T));
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0) ::new (static_cast<void*>(p)) U;
        else ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using uvector = std::vector<double, UninitAllocator<double>>;

// Sum of n values in NumPy's pairwise order (one block of a reduction).
double pairwise_sum(const double* a, std::size_t n);
// np.sum of a contiguous float64 vector: pairwise within blocks of 8192
// values, block sums added in order.
double numpy_sum(const double* a, std::size_t n);
// np.min / np.max of a non-empty vector: NaN as soon as one value is NaN.
double nan_min(std::span<const double> v);
double nan_max(std::span<const double> v);
// np.mean of a contiguous float64 array.
double numpy_mean(const double* a, std::size_t n);
// np.linspace(start, stop, num) with the end point included.
uvector linspace(double start, double stop, std::size_t num);
void linspace_into(double start, double stop, std::size_t num, double* out);
// True when a linspace from start to stop ascends (ties allowed) without NaN,
// whatever the number of points: its ends are a finite distance apart, in order.
inline bool linspace_ascends(double start, double stop) { return std::isfinite(stop - start) && start <= stop; }

// Element-wise exp and log. By default they use the C library; a host that
// wants results identical to another vector library (for example the one
// behind NumPy's ufuncs) installs its own kernels once at start-up.
using VectorKernel = void (*)(const double* in, double* out, std::size_t n);
void set_vector_kernels(VectorKernel exp_kernel, VectorKernel log_kernel);
void vexp(const double* in, double* out, std::size_t n);
void vlog(const double* in, double* out, std::size_t n);
inline void vexp(std::span<double> v) { vexp(v.data(), v.data(), v.size()); }
inline void vlog(std::span<double> v) { vlog(v.data(), v.data(), v.size()); }

// Checked size arithmetic for grid lengths: throws OverflowError / bad_alloc
// style errors instead of wrapping.
std::size_t checked_mul(std::size_t a, std::size_t b);

// np.argsort(v) of a float64 vector with the default sort kind: order[k] is
// the index of the k-th smallest value, NaN last. The default kind is an
// introsort that does not keep the input order of equal values; this gives
// the same permutation as NumPy's, ties and NaN included.
void numpy_argsort(const double* v, std::size_t n, std::size_t* order);

}  // namespace vordex
