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

// Allocator whose resize() leaves new doubles uninitialised: for buffers
// that are written in full right after they are sized.
template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
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
