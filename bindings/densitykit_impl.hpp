// Implementation functions of vordex.pure.densitykit defined outside
// densitykit.cpp; the module definition registers them.
#pragma once

#include "common.hpp"

namespace vx {

// _minimize_on_interval(f, a, b, tol=1e-6): abscissa of the minimum of f on
// [a, b]. With the module flag _SCIPY_OK true it calls the module's
// minimize_scalar(f, bounds=(a, b), method="bounded", options={"xatol": tol});
// otherwise it runs the native golden-section search. Returns a float.
py::object impl_minimize_on_interval(const Call& c);

}  // namespace vx

// ---------------------------------------------------------------------------
// Shared pieces of the toolkit's bindings.
// ---------------------------------------------------------------------------
#include <span>

#include "vordex/core/density.hpp"

namespace vx {

using DArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Raises RuntimeError when `a` no longer holds the `bytes` bytes at `data`
// that a span was taken from: Python code that ran after the span was taken
// (a flag's truth value, the conversion of another argument) resized or
// reallocated the caller's array (ndarray.resize with refcheck=False,
// __setstate__), and its old memory may be freed. Checked just before the
// native work reads the spans.
void check_kept(const DArray& a, const void* data, size_t bytes, const char* what);

// True when nothing but this call can reach the array's values: an array
// the call alone refers to, owning its memory (what a conversion made).
bool private_array(const DArray& a);

// The values of `a` where the native work, run without the interpreter's
// lock, may read them: the array itself when it is private, else a copy in
// `store`. Another thread may change the values of an array it can reach
// while the lock is released, and the native work reads its input more than
// once (counts, then fills; sorts) and relies on reading the same values.
const double* values_for_native(const DArray& a, vordex::uvector& store);

// A marginal reduced to contiguous one-dimensional float64 arrays.
// Columns of a float64 matrix are copied straight into `cols` (x then y);
// other forms keep the converted NumPy arrays, which may be the caller's own.
// Their spans are taken once, when they are converted: Python code that runs
// later in the call (a flag's truth value) may give such an array a new
// dtype or shape over the same memory, and sizes read then would not match it.
struct MarginalIn {
    DArray x, y;
    vordex::uvector cols;
    bool in_cols = false;
    bool is_mat = false;
    std::span<const double> xspan, yspan;
    void set_spans() {
        xspan = {x.data(), static_cast<size_t>(x.size())};
        yspan = {y.data(), static_cast<size_t>(y.size())};
    }
    // Right before the native work: whether the caller's arrays still hold
    // the spans (see check_kept), then the values of arrays that other
    // threads can reach are copied into `cols` (see values_for_native).
    void take_values() {
        if (in_cols) return;
        vx::check_kept(x, xspan.data(), xspan.size_bytes(), "x of the marginal");
        vx::check_kept(y, yspan.data(), yspan.size_bytes(), "y of the marginal");
        if (private_array(x) && private_array(y)) return;
        cols.resize(xspan.size() + yspan.size());
        std::copy(xspan.begin(), xspan.end(), cols.begin());
        std::copy(yspan.begin(), yspan.end(), cols.begin() + static_cast<std::ptrdiff_t>(xspan.size()));
        xspan = {cols.data(), xspan.size()};
        yspan = {cols.data() + xspan.size(), yspan.size()};
    }
    std::span<const double> xs() const {
        if (in_cols) return {cols.data(), cols.size() / 2};
        return xspan;
    }
    std::span<const double> ys() const {
        if (in_cols) return {cols.data() + cols.size() / 2, cols.size() / 2};
        return yspan;
    }
};

// The three accepted forms: (x, y, is_matrix) as NumPy arrays, exactly as
// np.asarray(..., dtype=float) gives them (no length or order checks).
py::tuple as_xy(const Call& c, py::handle marginal);
// Same, reduced to contiguous 1-D arrays for the core (copies only columns
// of a matrix or non-contiguous input). Raises ValueError for x or y that
// are not one-dimensional.
MarginalIn read_marginal(const Call& c, py::handle marginal);

// The module flag _SCIPY_OK, read from the module's globals at call time.
bool scipy_ok(const Call& c);

// Smooth with the default options and build the log-density function, once.
vordex::Prepared prepare(const Call& c, py::handle marginal);

// Read the marginal (with the interpreter's lock held), then release the lock
// once for the whole native stretch: build the preparation and run
// fn(const Prepared&) on it. One release per call keeps threads that share the
// interpreter from waiting on each other between the steps.
template <class Fn>
auto with_prepared(const Call& c, py::handle marginal, Fn&& fn) {
    MarginalIn m = read_marginal(c, marginal);
    const bool spline = scipy_ok(c);
    m.take_values();
    vx::nogil nogil;
    const vordex::Prepared prep(m.xs(), m.ys(), spline);
    return fn(prep);
}

// Evaluation points converted as np.asarray(points, dtype=float) and a new
// result array of their shape.
struct PointsAndResult {
    DArray in;
    py::array_t<double> out;
    size_t n = 0;
};

// The density, distribution and quantile functions in their documented
// order: the marginal is read (and the flag _SCIPY_OK), then the points are
// converted. When the points cannot be converted, the marginal is prepared
// first and then the table length checked (when `table_length` is given), so
// that their errors, which come first, win. Then, with the interpreter's lock
// released once, `fn(prepared, in, out, n)` runs on the points.
template <class Fn>
PointsAndResult with_prepared_points(const Call& c, py::handle marginal, py::handle points,
                                     const std::int64_t* table_length, Fn&& fn);

// Pack a result in the caller's form: an n x 2 matrix or a dict {"x", "y"}.
// `detached`: in arrays from new_detached_array.
py::object pack_marginal(std::span<const double> x, std::span<const double> y, bool as_matrix,
                         bool detached = false);

// While one exists (in any thread), the C library's heap is not trimmed when
// memory is freed; the trim threshold the module set at import comes back
// when the last one ends. For the calls that run the caller's function on
// arrays of one value per point: the arrays that function returns are
// NumPy's, on the heap, beside this module's buffers, and when all are freed
// at the end of the call their total can exceed the trim threshold, so that
// the heap would be trimmed and the next call would fault it all in again,
// 4 KiB at a time. Nothing changes where the environment set the thresholds;
// active() tells whether the module manages them, and so whether the call's
// large results should be detached from the heap (new_detached_array).
class HeapTrimPause {
public:
    HeapTrimPause() noexcept;
    ~HeapTrimPause();
    bool active() const noexcept { return active_; }
    HeapTrimPause(const HeapTrimPause&) = delete;
    HeapTrimPause& operator=(const HeapTrimPause&) = delete;

private:
    bool active_ = false;
};

// Convert evaluation points as np.asarray(v, dtype=float) does and evaluate
// `fn(in, out, n)` natively (without the GIL) into a new array of the same
// shape. With `scalar_as_numpy_float` a 0-d input gives a NumPy float64
// scalar instead of a 0-d array.
template <class Fn>
py::object eval_like(py::handle points, Fn&& fn, bool scalar_as_numpy_float = false);

py::object numpy_float(double v);

// Implementations registered by densitykit.cpp.
py::object impl_is_marginal(const Call& c);
py::object impl_as_xy(const Call& c);
py::object impl_to_dict_or_mat(const Call& c);
py::object impl_marginal_fix(const Call& c);
py::object impl_pchip(const Call& c);
py::object impl_cubic(const Call& c);
py::object impl_spline(const Call& c);
py::object impl_smarginal(const Call& c);
py::object impl_sfmarginal(const Call& c);
py::object impl_simpson_odd_grid(const Call& c);
py::object impl_emarginal(const Call& c);
py::object impl_dmarginal(const Call& c);
py::object impl_pmarginal(const Call& c);
py::object impl_qmarginal(const Call& c);

// Install NumPy's exp/log loops as the core's vector kernels.
void install_numpy_kernels();

template <class Fn>
py::object eval_like(py::handle points, Fn&& fn, bool scalar_as_numpy_float) {
    DArray in = as_contig(points);
    std::vector<Py_ssize_t> shape(in.shape(), in.shape() + in.ndim());
    const size_t n = static_cast<size_t>(in.size());
    py::array_t<double> out(std::vector<py::ssize_t>(shape.begin(), shape.end()));
    {
        vordex::uvector store;
        const double* src = values_for_native(in, store);
        double* dst = out.mutable_data();
        vx::nogil nogil;
        fn(src, dst, n);
    }
    if (scalar_as_numpy_float && in.ndim() == 0) return numpy_float(*out.data());
    return out;
}

}  // namespace vx

namespace vx {
// Registration of the functions defined in other files, called by the module
// body at the right place of the definition order:
//   ... _minimize_on_interval, [tova_hpdmarginal], [tova_rmarginal,
//   tova_deriv_func, tova_tmarginal], [tova_mmarginal, tova_zmarginal],
//   [tova_marginal_transform].
void register_hpd(py::module_& m);          // densitykit_summary.cpp
void register_sampling(py::module_& m);     // densitykit_sample.cpp
void register_summary(py::module_& m);      // densitykit_summary.cpp
void register_transform_alias(py::module_& m);  // densitykit_sample.cpp
}  // namespace vx
