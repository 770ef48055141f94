// vordex.pure.densitykit: toolkit for posterior marginal densities given as
// grids of (x, density) points. The module body binds its dependencies, the
// availability flags and constants, then creates the functions in order.
#include "densitykit_impl.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {
using namespace vx;

py::object try_import_from(py::dict g, const char* module, std::initializer_list<const char*> names) {
    py::module_ mod = py::module_::import(module);
    for (const char* n : names) g[n] = mod.attr(n);
    return mod;
}

const char* kMarginal = "Marginal";

// Every call builds grids of tens of thousands of points and frees them at
// the end. With the allocator's defaults the heap grown for them is trimmed
// again when they are freed, so the next call pays a page fault per 4 KiB it
// touches, which costs more than the arithmetic (here about 11 us a fault:
// 8 ms instead of 0.28 ms for an HPD call on 3,000 points). So the module
// sets the mapping and trim thresholds to 32 MiB and 64 MiB, the largest
// values glibc's own adaptive thresholds reach: blocks of 32 MiB and more
// are still mapped and returned to the system when freed. A process that
// sets either threshold itself, through the environment (MALLOC_*_ variables
// or GLIBC_TUNABLES), keeps its own settings.
bool allocator_tuned_by_environment() {
    for (const char* name : {"MALLOC_MMAP_THRESHOLD_", "MALLOC_TRIM_THRESHOLD_", "MALLOC_TOP_PAD_"})
        if (std::getenv(name)) return true;
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    return tunables && (std::strstr(tunables, "glibc.malloc.mmap_threshold") ||
                        std::strstr(tunables, "glibc.malloc.trim_threshold") ||
                        std::strstr(tunables, "glibc.malloc.top_pad"));
}

constexpr int kTrimThreshold = 64 << 20;
// Whether the module set the thresholds, and how many HeapTrimPause objects
// exist now.
std::atomic<bool> g_thresholds_set{false};
std::atomic<int> g_trim_pauses{0};

void keep_freed_memory_for_reuse() {
#if defined(__GLIBC__)
    if (allocator_tuned_by_environment()) return;
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
    // A child forked while a call runs in another thread does not run that
    // call's end: it gets the threshold back at once.
    static std::once_flag at_fork;
    std::call_once(at_fork, [] {
        (void)pthread_atfork(nullptr, nullptr, [] {
            if (g_trim_pauses.exchange(0) > 0) mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
        });
    });
    g_thresholds_set.store(true);
#endif
}

}  // namespace

namespace vx {
// The first pause switches trimming off and the last one's end restores the
// threshold. A call that starts while another ends may run a moment without
// the pause (a question of speed only); the last change is always the
// restoring one, as each pause's end follows its own start.
HeapTrimPause::HeapTrimPause() noexcept {
#if defined(__GLIBC__)
    active_ = g_thresholds_set.load();
    if (active_ && g_trim_pauses.fetch_add(1) == 0) mallopt(M_TRIM_THRESHOLD, -1);
#endif
}

HeapTrimPause::~HeapTrimPause() {
#if defined(__GLIBC__)
    if (active_ && g_trim_pauses.fetch_sub(1) == 1) mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
#endif
}
}  // namespace vx

VX_MODULE(densitykit, m) {
    m.doc() =
        "Toolkit for posterior marginal densities given as grids of (x, density) points: cleaning,\n"
        "log-density smoothing, densities, distribution and quantile functions, expectations, HPD\n"
        "intervals, the mode, random draws, derivatives, transformed marginals and a summary.";
    py::dict g = m.attr("__dict__");

    // 1. NumPy.
    py::module_ np = py::module_::import("numpy");
    g["np"] = np;
    // 2. typing names.
    py::module_ typing = py::module_::import("typing");
    for (const char* n : {"Callable", "Dict", "List", "Tuple", "Union", "Optional"}) g[n] = typing.attr(n);
    // 3. pandas, optional: only an ImportError makes it unavailable.
    try {
        g["pd"] = py::module_::import("pandas");
        g["_PANDAS_OK"] = true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        g["_PANDAS_OK"] = false;
    }
    // 4. SciPy, optional: any exception makes it unavailable.
    try {
        try_import_from(g, "scipy.interpolate", {"PchipInterpolator", "CubicSpline"});
        try_import_from(g, "scipy.optimize", {"minimize_scalar"});
        g["_SCIPY_OK"] = true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        g["_SCIPY_OK"] = false;
    }
    // 5. _EPS.
    // np.finfo(float).eps * 1000.0, a NumPy float64 like the expression's value
    g["_EPS"] = np.attr("float64")(vordex::kEps);
    // 6. Aliases.
    py::object Union = typing.attr("Union");
    py::object List = typing.attr("List"), Tuple = typing.attr("Tuple"), Dict = typing.attr("Dict");
    py::object flt = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyFloat_Type));
    py::object str = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    py::object ellipsis = py::reinterpret_borrow<py::object>(Py_Ellipsis);
    py::object ndarray = np.attr("ndarray");
    g["ArrayLike"] = Union[py::make_tuple(ndarray, List[flt], Tuple[py::make_tuple(flt, ellipsis)])];
    g["Marginal"] = Union[py::make_tuple(ndarray, Dict[py::make_tuple(str, ndarray)])];

    install_numpy_kernels();
    keep_freed_memory_for_reuse();

    // 7. Functions, in definition order.
    const char* M = kMarginal;
    add_function(m, {"tova_is_marginal", nullptr,
                     "Return True when `marginal` is an accepted marginal form of usable size: an ndarray of\n"
                     "shape (n, 2) with n >= 3, a dict with exactly the keys 'x' and 'y', or a pandas DataFrame\n"
                     "with columns 'x' and 'y' and at least 3 rows. Never raises for ordinary objects.",
                     {"marginal"}, nullptr, nullptr, {{"marginal", "object"}, {"return", "bool"}}, impl_is_marginal});
    add_function(m, {"_as_xy", nullptr,
                     "Reduce an accepted marginal form to (x, y, is_matrix_input) with float64 arrays (no copy when\n"
                     "none is needed). Checks only the form: ValueError for a DataFrame without 'x'/'y' columns or\n"
                     "an array not of shape (n, 2), KeyError for a dict without 'x' or 'y', TypeError otherwise.",
                     {"marginal"}, nullptr, nullptr,
                     {{"marginal", M}, {"return", "Tuple[np.ndarray, np.ndarray, bool]"}}, impl_as_xy});
    add_function(m, {"_to_dict_or_mat", nullptr,
                     "Pack x and y as an (n, 2) matrix when as_matrix is true, else as a dict holding them.",
                     {"x", "y", "as_matrix"}, nullptr, nullptr,
                     {{"x", "np.ndarray"}, {"y", "np.ndarray"}, {"as_matrix", "bool"}, {"return", M}},
                     impl_to_dict_or_mat});
    add_function(m, {"tova_marginal_fix", nullptr,
                     "Clean a marginal: drop NaN densities, sort by x, drop densities that are not positive or\n"
                     "not above _EPS times the largest. Returns a new dict {'x', 'y'} of at least 3 points.\n\n"
                     "Raises ValueError 'Marginal has no finite density points after NaN removal.' or\n"
                     "'Marginal too small after filtering. Need >=3 support points.'.",
                     {"marginal"}, nullptr, nullptr, {{"marginal", M}, {"return", "Dict[str, np.ndarray]"}},
                     impl_marginal_fix});
    add_function(m, {"_pchip", nullptr,
                     "Monotone piecewise-cubic (PCHIP) interpolant of y over x, NaN outside the knots; linear\n"
                     "interpolation when SciPy is unavailable.",
                     {"x", "y"}, nullptr, nullptr, {{"x", "np.ndarray"}, {"y", "np.ndarray"}}, impl_pchip});
    add_function(m, {"_cubic", nullptr,
                     "Not-a-knot cubic spline of y over x, NaN outside the knots; linear interpolation when SciPy\n"
                     "is unavailable.",
                     {"x", "y"}, nullptr, nullptr, {{"x", "np.ndarray"}, {"y", "np.ndarray"}}, impl_cubic});
    add_function(m, {"tova_spline", nullptr,
                     "Resample a marginal onto as many equally spaced points as it has after cleaning, from the\n"
                     "smallest to the largest x, interpolating the log density with a cubic spline. The result\n"
                     "has the caller's form (matrix for a matrix, else a dict). Extra keywords are ignored.\n\n"
                     "Raises the cleaning errors of tova_marginal_fix, and ValueError '`x` must be strictly\n"
                     "increasing sequence.' when cleaned x values repeat.",
                     {"x_or_marginal"}, nullptr, "kwargs", {{"x_or_marginal", M}, {"return", M}}, impl_spline});
    add_function(m, {"tova_smarginal", nullptr,
                     "Smooth a marginal on the log-density scale onto a finer grid placed by a square-root\n"
                     "spacing map.\n\n"
                     "log: return the raw log density on every grid point instead of the cleaned density.\n"
                     "extrapolate: fraction of the range added at each end (log density extrapolated there by the\n"
                     "spline; NaN, hence dropped, without SciPy). Must be non-negative: a negative value raises\n"
                     "ValueError 'extrapolate must be non-negative.'.\n"
                     "keep_type: return a matrix when the input was a matrix.\n"
                     "factor: refinement factor; the grid has max(factor * n, n_working) points.",
                     {"marginal", "log", "extrapolate", "keep_type", "factor"}, nullptr, nullptr,
                     {{"marginal", M}, {"log", "bool"}, {"extrapolate", "float"}, {"keep_type", "bool"},
                      {"factor", "int"}, {"return", M}},
                     impl_smarginal},
                 py::make_tuple(false, 0.0, false, 15));
    add_function(m, {"tova_sfmarginal", nullptr,
                     "Log-density function of a marginal: {'range': (xmin, xmax), 'fun': f} where f(xx) is the\n"
                     "not-a-knot cubic spline of log density through the cleaned points (linear without SciPy),\n"
                     "NaN outside the range. The spline is built once; every call of f reuses it.\n\n"
                     "Raises the cleaning errors of tova_marginal_fix, and ValueError '`x` must be strictly\n"
                     "increasing sequence.' when cleaned x values repeat.",
                     {"marginal"}, nullptr, nullptr, {{"marginal", M}}, impl_sfmarginal});
    add_function(m, {"_simpson_odd_grid", nullptr,
                     "Interval weights of the odd-grid quadrature: half the sum of the spacings on either side.",
                     {"x"}, nullptr, nullptr, {{"x", "np.ndarray"}, {"return", "np.ndarray"}},
                     impl_simpson_odd_grid});
    add_function(m, {"tova_emarginal", nullptr,
                     "Expectation E[fun(X)] under the smoothed marginal. fun(x, *args, **kwargs) is called once on\n"
                     "the whole (odd-length) grid and returns one value per point or an (n, k) array. The weighted\n"
                     "sums (weights 1, 4, 2, ..., 4, 1 times half the neighbouring spacings times the density) are\n"
                     "divided by the total weight, so the density need not be normalised. The result has the\n"
                     "length-1 dimensions removed (0-d for one value per point, k values for k columns).\n\n"
                     "Raises ValueError 'fun(x) must return an array with first dimension equal to len(x).' for a\n"
                     "2-D result with the wrong number of rows, ValueError for a 1-D result of the wrong length\n"
                     "(length 1 is the expectation of a constant) or more than two dimensions, IndexError for a\n"
                     "scalar result, TypeError for complex values; errors raised by fun pass through.",
                     {"fun", "marginal"}, "args", "kwargs",
                     {{"fun", "Callable"}, {"marginal", M}, {"return", "np.ndarray"}}, impl_emarginal});
    add_function(m, {"tova_dmarginal", nullptr,
                     "Density (log density when log is true) of the smoothed marginal at x; 0 (or -inf) outside\n"
                     "its range (NaN points count as outside). The density keeps the input's scale: it is not\n"
                     "normalised. The result is a new float64 array of the shape of x (0-d for a scalar).\n\n"
                     "Raises the marginal's errors (ValueError, TypeError, KeyError) as tova_marginal_fix does.",
                     {"x", "marginal", "log"}, nullptr, nullptr,
                     {{"x", "ArrayLike"}, {"marginal", M}, {"log", "bool"}, {"return", "np.ndarray"}}, impl_dmarginal},
                 py::make_tuple(false));
    add_function(m, {"tova_pmarginal", nullptr,
                     "Cumulative probability P(X <= q) from a length-point trapezoid table of the smoothed\n"
                     "density. `normalize` has no effect (the result is always normalised). length must be at\n"
                     "least 2 (IndexError for 0 and 1, ValueError for a negative length).",
                     {"q", "marginal", "normalize", "length"}, nullptr, nullptr,
                     {{"q", "ArrayLike"}, {"marginal", M}, {"normalize", "bool"}, {"length", "int"},
                      {"return", "np.ndarray"}},
                     impl_pmarginal},
                 py::make_tuple(true, 2048));
    add_function(m, {"tova_qmarginal", nullptr,
                     "Quantiles at probabilities p (clipped to [0, 1]; NaN stays NaN) by monotone inversion of the\n"
                     "cumulative trapezoid table on `length` equally spaced points of the smoothed range, whose\n"
                     "flat ends at 0 and 1 are collapsed. Probabilities beyond the last table point kept at 1 give\n"
                     "that point's x (the smallest x whose cumulative probability is within _EPS of 1), never NaN.\n"
                     "The result has the shape of p (a 0-d array for a scalar; a NumPy float without SciPy).\n\n"
                     "length must be at least 2: IndexError for 0 and 1, ValueError for a negative length,\n"
                     "TypeError for a non-number; the marginal's errors pass through.",
                     {"p", "marginal", "length"}, nullptr, nullptr,
                     {{"p", "ArrayLike"}, {"marginal", M}, {"length", "int"}, {"return", "np.ndarray"}},
                     impl_qmarginal},
                 py::make_tuple(2048));
    add_function(m, {"_minimize_on_interval", nullptr,
                     "Abscissa of the minimum of f on [a, b]: SciPy's bounded minimiser when available, else a\n"
                     "golden-section search to the tolerance tol.",
                     {"f", "a", "b", "tol"}, nullptr, nullptr,
                     {{"f", "Callable[[float], float]"}, {"a", "float"}, {"b", "float"}, {"tol", "float"},
                      {"return", "float"}},
                     impl_minimize_on_interval},
                 py::make_tuple(1e-6));
    register_hpd(m);
    register_sampling(m);
    register_summary(m);
    register_transform_alias(m);
}
