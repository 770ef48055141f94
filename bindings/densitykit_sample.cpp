// Random draws, numerical derivatives and transformed marginals.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "densitykit_impl.hpp"
#include "vordex/core/numeric.hpp"
#include "vordex/core/transform.hpp"

namespace vx {

namespace {

// Grid length of the quantile function behind draws and quantile placement.
constexpr std::int64_t kQuantileLength = 2048;

// An integer count (draws or points). Counts beyond the platform's index
// range cannot be held in memory: a positive one raises MemoryError, a
// negative one is returned as the smallest index so callers refuse it with
// their own message.
Py_ssize_t to_count(py::handle o, const char* param) {
    try {
        return to_int(o, param);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OverflowError)) throw;
    }
    py::object v = py::reinterpret_steal<py::object>(PyNumber_Long(o.ptr()));
    if (!v) throw py::error_already_set();
    py::int_ zero(0);
    const int neg = PyObject_RichCompareBool(v.ptr(), zero.ptr(), Py_LT);
    if (neg < 0) throw py::error_already_set();
    if (neg) return std::numeric_limits<Py_ssize_t>::min();
    PyErr_Format(PyExc_MemoryError, "%s = %R is too large: that many values cannot be held in memory.", param,
                 v.ptr());
    throw py::error_already_set();
}

std::string shape_text(const py::array& a) {
    py::tuple t(a.ndim());
    for (py::ssize_t i = 0; i < a.ndim(); ++i) t[static_cast<size_t>(i)] = py::int_(a.shape(i));
    return py::repr(t).cast<std::string>();
}

// The values a user function returned, as a contiguous float64 array (what
// np.asarray(r, dtype=float) gives). Complex results are refused instead of
// silently losing their imaginary parts.
DArray float_values(py::handle r) {
    auto& api = py::detail::npy_api::get();
    py::array raw = py::reinterpret_steal<py::array>(api.PyArray_FromAny_(r.ptr(), nullptr, 0, 0, 0, nullptr));
    if (!raw) throw py::error_already_set();
    const char kind = raw.dtype().kind();
    if (kind == 'c') throw py::type_error("fun must return real values, not complex ones.");
    if (kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b') return as_contig(raw);
    // Object, string and other arrays: NumPy's own conversion and errors.
    py::object np = import_module("numpy");
    return as_contig(np.attr("asarray")(raw, py::arg("dtype") = py::float_(0.0).get_type()));
}

py::object call1(py::handle fun, py::handle arg) {
    PyObject* r = call_python1(fun.ptr(), arg.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// --- tova_rmarginal ---------------------------------------------------------------------------

// True when the array can receive the results in place: a fresh, contiguous,
// writeable float64 ndarray that nobody else refers to and that views no
// other array's memory.
bool reusable(py::handle u) {
    auto& api = py::detail::npy_api::get();
    if (Py_TYPE(u.ptr()) != api.PyArray_Type_ || Py_REFCNT(u.ptr()) != 1) return false;
    if (!py::isinstance<py::array_t<double, py::array::c_style>>(u)) return false;
    py::array a = py::reinterpret_borrow<py::array>(u);
    return a.writeable() && a.base().is_none();
}

py::object impl_rmarginal(const Call& c) {
    const Py_ssize_t n = to_count(c[0], "n");
    if (n < 0) {
        if (n == std::numeric_limits<Py_ssize_t>::min())
            throw py::value_error("n must be a non-negative number of draws (got a huge negative number).");
        PyErr_Format(PyExc_ValueError, "n must be a non-negative number of draws (got %zd).", n);
        throw py::error_already_set();
    }
    py::object rng = py::reinterpret_borrow<py::object>(c[2]);
    if (rng.is_none()) rng = c.global_required("np").attr("random").attr("default_rng")();
    py::object u;
    {
        py::object uniform = rng.attr("uniform");
        py::tuple no_args;
        py::dict kwargs;
        kwargs["size"] = py::int_(n);
        u = own(call_python(uniform.ptr(), no_args.ptr(), kwargs.ptr()));
    }

    vordex::Prepared p = prepare(c, c[1]);
    std::optional<vordex::QuantileBatch> Q;
    {
        vx::nogil nogil;
        Q.emplace(p.ld, kQuantileLength, p.spline);
    }
    if (reusable(u)) {
        py::array_t<double> a = py::reinterpret_borrow<py::array_t<double>>(u);
        double* d = a.mutable_data();
        const size_t m = static_cast<size_t>(a.size());
        vx::nogil nogil;
        Q->eval(d, d, m);
    } else {
        DArray in = as_contig(u);
        const size_t m = static_cast<size_t>(in.size());
        // The uniforms are copied into the draws' array while the lock is
        // held (another thread may change an array it can reach), and the
        // generator's object is kept until then: releasing it may run a
        // finalizer that frees the memory `in` views.
        py::array_t<double> draws(std::vector<py::ssize_t>(in.shape(), in.shape() + in.ndim()));
        double* d = draws.mutable_data();
        std::copy(in.data(), in.data() + m, d);
        {
            vx::nogil nogil;
            Q->eval(d, d, m);
        }
        return draws;
    }
    return u;
}

// --- tova_deriv_func and its fd ---------------------------------------------------------------

struct Stencil {
    DArray f[4];
};

// fun at x + 2h, x + h, x - h, x - 2h, in that order, as fun returned them;
// 2h is h + h. A 0-d x is handed to fun as a NumPy float, as NumPy arithmetic
// on it gives.
std::array<py::object, 4> stencil_calls(py::handle fun, const DArray& x, double h) {
    const double h2 = h + h;
    const double shifts[4] = {h2, h, -h, -h2};
    std::vector<py::ssize_t> shape(x.shape(), x.shape() + x.ndim());
    const size_t n = static_cast<size_t>(x.size());
    const double* const first = x.data();
    std::array<py::object, 4> r;
    for (int k = 0; k < 4; ++k) {
        py::array_t<double> xs(shape);
        // Each shift is formed after the previous call of fun, as written;
        // fun may have resized or reallocated x when it is the caller's array.
        if (k > 0) check_kept(x, first, n * sizeof(double), "x");
        {
            const double* src = first;
            double* dst = xs.mutable_data();
            vx::nogil nogil;
            vordex::shifted(src, shifts[k], dst, n);
        }
        py::object arg = x.ndim() == 0 ? numpy_float(*xs.data()) : py::object(std::move(xs));
        r[k] = call1(fun, arg);
    }
    return r;
}

// The values are converted one after the other, and converting one may run
// Python code (an object's __array__ or __float__) that gives another, when
// it is an array fun keeps, a new dtype or shape over the same memory. So
// all four are checked again once converted (a no-op for contiguous float64
// arrays, and no Python code runs in it), before their sizes are read.
void recheck(Stencil& s) {
    for (int k = 0; k < 4; ++k) s.f[k] = as_contig(s.f[k]);
}

Stencil stencil_values(py::handle fun, const DArray& x, double h) {
    std::array<py::object, 4> r = stencil_calls(fun, x, h);
    Stencil s;
    for (int k = 0; k < 4; ++k) s.f[k] = float_values(r[k]);
    recheck(s);
    return s;
}

// The four values as float64 arrays when every one is real (float, integer or
// boolean values); false otherwise (complex, object, strings, None), and
// false for values of an array subclass (a masked array, a matrix): their
// own arithmetic keeps what they carry besides the values, such as a mask,
// which a plain float64 array would drop.
bool real_stencil(const std::array<py::object, 4>& r, Stencil& s) {
    auto& api = py::detail::npy_api::get();
    for (int k = 0; k < 4; ++k)
        if (api.PyArray_Check_(r[k].ptr()) && Py_TYPE(r[k].ptr()) != api.PyArray_Type_) return false;
    for (int k = 0; k < 4; ++k) {
        py::array raw = py::reinterpret_steal<py::array>(api.PyArray_FromAny_(r[k].ptr(), nullptr, 0, 0, 0, nullptr));
        if (!raw) throw py::error_already_set();
        const char kind = raw.dtype().kind();
        if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') return false;
        s.f[k] = as_contig(raw);
    }
    return true;
}

// (((-f1) + 8.0 f2) - 8.0 f3 + f4) / (12 h) with the values' own arithmetic:
// complex values give the complex derivative, object arrays an object array,
// and values without arithmetic (None, strings) their TypeError.
py::object stencil_by_protocol(const std::array<py::object, 4>& r, double h) {
    py::object eight = py::float_(8.0);
    py::object t = own(PyNumber_Negative(r[0].ptr()));
    t = own(PyNumber_Add(t.ptr(), own(PyNumber_Multiply(eight.ptr(), r[1].ptr())).ptr()));
    t = own(PyNumber_Subtract(t.ptr(), own(PyNumber_Multiply(eight.ptr(), r[2].ptr())).ptr()));
    t = own(PyNumber_Add(t.ptr(), r[3].ptr()));
    py::object h12 = py::float_(12.0 * h);
    return own(PyNumber_TrueDivide(t.ptr(), h12.ptr()));
}

void check_same_shapes(const Stencil& s) {
    for (int k = 1; k < 4; ++k) {
        bool same = s.f[k].ndim() == s.f[0].ndim();
        for (py::ssize_t i = 0; same && i < s.f[0].ndim(); ++i) same = s.f[k].shape(i) == s.f[0].shape(i);
        if (!same) {
            const std::string a = shape_text(s.f[0]), b = shape_text(s.f[k]);
            PyErr_Format(PyExc_ValueError,
                         "fun returned values of different shapes at the stencil points x+2h and %s: %s and %s.",
                         k == 1 ? "x+h" : (k == 2 ? "x-h" : "x-2h"), a.c_str(), b.c_str());
            throw py::error_already_set();
        }
    }
}

// The four values' spans, taken once their shapes are checked.
struct StencilSpans {
    const double* f[4];
    size_t n;
};

StencilSpans spans_of(const Stencil& s) {
    return {{s.f[0].data(), s.f[1].data(), s.f[2].data(), s.f[3].data()}, static_cast<size_t>(s.f[0].size())};
}

void combine(const StencilSpans& v, double h, double* out) {
    vx::nogil nogil;
    vordex::five_point_stencil(v.f[0], v.f[1], v.f[2], v.f[3], h, out, v.n);
}

py::object impl_fd(const Call& c) {
    const HeapTrimPause pause;
    py::handle fun = PyTuple_GET_ITEM(c.payload, 0);
    const double h = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(c.payload, 1));
    DArray x = as_contig(c[0]);
    const std::array<py::object, 4> r = stencil_calls(fun, x, h);
    Stencil s;
    if (!real_stencil(r, s)) return stencil_by_protocol(r, h);
    recheck(s);
    check_same_shapes(s);
    const StencilSpans v = spans_of(s);
    std::vector<py::ssize_t> shape(s.f[0].shape(), s.f[0].shape() + s.f[0].ndim());
    py::array_t<double> out = pause.active() ? new_detached_array(shape) : py::array_t<double>(shape);
    combine(v, h, out.mutable_data());
    if (out.ndim() == 0) {
        // Python numbers combine into a Python float, as their own arithmetic gives.
        bool python_numbers = true;
        for (const py::object& f : r) python_numbers &= PyFloat_CheckExact(f.ptr()) || PyLong_CheckExact(f.ptr());
        if (python_numbers) {
            // Python's own division by a zero 12h raises instead of giving inf or NaN.
            if (12.0 * h == 0.0) {
                PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
                throw py::error_already_set();
            }
            return py::float_(*out.data());
        }
        return numpy_float(*out.data());
    }
    return out;
}

py::object impl_deriv_func(const Call& c) {
    const double h = to_real(c[1]);
    // The payload is a tuple, so the garbage collector sees fun through it.
    py::tuple payload = py::make_tuple(py::reinterpret_borrow<py::object>(c[0]), py::float_(h));
    FnDef def{"fd", "tova_deriv_func.<locals>.fd",
              "Derivative of the captured function at x by the five-point central difference with the captured\n"
              "absolute step h: (-f(x+2h) + 8 f(x+h) - 8 f(x-h) + f(x-2h)) / (12 h). The function is called\n"
              "four times, in that order, on whole arrays; the result has the shape of its values.",
              {"x"}, nullptr, nullptr, {{"x", "ArrayLike"}, {"return", "np.ndarray"}}, impl_fd};
    return make_function(def, py::tuple(), c.globals, payload);
}

// --- tova_tmarginal and tova_marginal_transform -----------------------------------------------

// One value per point: a one-dimensional array of n values.
void check_per_point(const DArray& v, size_t n, const char* where) {
    if (v.ndim() == 1 && static_cast<size_t>(v.shape(0)) == n) return;
    const std::string sh = shape_text(v);
    PyErr_Format(PyExc_ValueError,
                 "fun must return one value per point: %s gave shape %s for %zd points.", where, sh.c_str(),
                 static_cast<Py_ssize_t>(n));
    throw py::error_already_set();
}

py::object impl_tmarginal(const Call& c) {
    const HeapTrimPause pause;
    py::handle fun = c[0], marginal = c[1];
    const Py_ssize_t n = to_count(c[2], "n");
    const double h = to_real(c[3]);
    require_str_exact(c[4], "method");

    // Smoothing (and the log-density function built from it) first: its range
    // places the linear points, and the same preparation serves the quantile
    // step and, unless fun changes the marginal, the density step.
    const bool is_mat = py::isinstance<py::array>(marginal);
    MarginalIn m = read_marginal(c, marginal);
    const bool spline = scipy_ok(c);
    m.take_values();
    std::optional<vordex::Prepared> prep;
    {
        vx::nogil nogil;
        prep.emplace(m.xs(), m.ys(), spline);
    }
    const vordex::Prepared& p = *prep;

    // Compared as text, without encoding it (a lone surrogate is just an unknown method).
    const py::object method = py::str(c[4]).attr("lower")();
    const bool linear = PyUnicode_CompareWithASCIIString(method.ptr(), "linear") == 0;
    if (!linear && PyUnicode_CompareWithASCIIString(method.ptr(), "quantile") != 0)
        throw py::value_error("Unknown method; use 'quantile' or 'linear'.");
    if (n < 1) {
        const std::string got =
            n == std::numeric_limits<Py_ssize_t>::min() ? std::string("a huge negative number") : std::to_string(n);
        const std::string msg = "n must be at least 1: the transformed marginal needs at least one point (got " +
                                got + ").";
        if (linear && n < 0) throw py::value_error(msg);
        throw py::index_error(msg);
    }
    if (n > vordex::kMaxGridPoints) {
        PyErr_Format(PyExc_MemoryError, "n = %zd is too large: that many points cannot be held in memory.", n);
        throw py::error_already_set();
    }
    const size_t N = static_cast<size_t>(n);

    vordex::uvector x;
    {
        vx::nogil nogil;
        if (linear) {
            const std::span<const double> sx = p.smoothed().x;
            double lo = sx[0], hi = sx[0];
            for (double v : sx) {
                if (std::isnan(v)) {
                    lo = hi = v;
                    break;
                }
                lo = v < lo ? v : lo;
                hi = v > hi ? v : hi;
            }
            x = vordex::linspace(lo, hi, N);
        } else {
            vordex::QuantileBatch Q(p.ld, kQuantileLength, p.spline);
            x = vordex::equal_probabilities(N);
            Q.eval_ordered(x.data(), x.data(), N);
        }
    }

    // fun is called five times: once for the transformed points, four times
    // for the derivative. It receives fresh arrays, so nothing it does to its
    // argument changes the points used here.
    DArray ff = float_values(call1(fun, new_array(x)));
    check_per_point(ff, N, "fun(x)");
    vordex::uvector yv(ff.data(), ff.data() + N), dens(N), deriv(N);
    DArray xd = new_array(x);
    Stencil s = stencil_values(fun, xd, h);
    static const char* const where[4] = {"fun(x + 2h)", "fun(x + h)", "fun(x - h)", "fun(x - 2h)"};
    for (int k = 0; k < 4; ++k) check_per_point(s.f[k], N, where[k]);
    combine(spans_of(s), h, deriv.data());

    // The densities come from the marginal as it is now, after fun's calls:
    // a fun that changed it (or the module flag) gets the densities of the
    // changed marginal, as a fresh density call would give. Unchanged, the
    // same preparation serves.
    MarginalIn now = read_marginal(c, marginal);
    const bool spline_now = scipy_ok(c);
    now.take_values();
    const auto same = [](std::span<const double> a, std::span<const double> b) {
        return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
    };
    {
        vx::nogil nogil;
        if (spline_now != spline || !same(now.xs(), m.xs()) || !same(now.ys(), m.ys()))
            prep.emplace(now.xs(), now.ys(), spline_now);
        vordex::transformed_density(prep->ld, x.data(), deriv.data(), dens.data(), N);
        vordex::orient_ascending(yv, dens);
    }
    return pack_marginal(yv, dens, is_mat, pause.active());
}

py::object impl_marginal_transform(const Call& c) {
    const Py_ssize_t n = to_count(c[2], "n");
    const double h = to_real(c[3]);
    require_str_exact(c[4], "method");
    py::object t = c.global_required("tova_tmarginal");
    return t(c[0], c[1], py::arg("n") = py::int_(n), py::arg("h_diff") = py::float_(h),
             py::arg("method") = py::reinterpret_borrow<py::object>(c[4]));
}

const char* kTransformDoc =
    "Marginal of Y = fun(X) by the change of variables: the points are fun(x) and the densities the\n"
    "density of X at x divided by |fun'(x)| (at least 1e-12), with the derivative from the five-point\n"
    "stencil of step h_diff. fun must be vectorised and is called five times on arrays of n points.\n\n"
    "method: 'quantile' (default) places x at the quantiles of probabilities k/(n+1), k = 1..n;\n"
    "'linear' spaces them evenly over the smoothed range. Letter case is ignored; any other name\n"
    "raises ValueError \"Unknown method; use 'quantile' or 'linear'.\".\n"
    "A decreasing fun gives its points reversed into ascending order; otherwise they keep the order of\n"
    "x. The densities are not renormalised. The result is an (n, 2) matrix for a matrix marginal,\n"
    "else a dict {'x', 'y'}. n must be at least 1 (IndexError otherwise).";

}  // namespace

void register_sampling(py::module_& m) {
    const double step_default = std::pow(vordex::kEps, 0.25);
    const double h_default = std::pow(vordex::kEps, 1.0 / 3.0);
    add_function(m, {"tova_rmarginal", nullptr,
                     "n random draws from the marginal by inverse-distribution sampling: rng.uniform(size=n)\n"
                     "pushed through the quantile function (in the generator's order). Without rng a new\n"
                     "np.random.default_rng() is used. Two generators with the same seed give the same draws.\n"
                     "A negative n raises ValueError.",
                     {"n", "marginal", "rng"}, nullptr, nullptr,
                     {{"n", "int"}, {"marginal", "Marginal"}, {"rng", "Optional[np.random.Generator]"},
                      {"return", "np.ndarray"}},
                     impl_rmarginal},
                 py::make_tuple(py::none()));
    add_function(m, {"tova_deriv_func", nullptr,
                     "Return fd(x), the numerical derivative of the vectorised function fun by the five-point\n"
                     "central difference with the absolute step step_size (exact up to rounding for\n"
                     "polynomials of degree 4 or less). Nothing is evaluated until fd is called.",
                     {"fun", "step_size"}, nullptr, nullptr,
                     {{"fun", "Callable[[ArrayLike], ArrayLike]"}, {"step_size", "float"},
                      {"return", "Callable[[ArrayLike], np.ndarray]"}},
                     impl_deriv_func, true},
                 py::make_tuple(step_default));
    add_function(m, {"tova_tmarginal", nullptr, kTransformDoc, {"fun", "marginal", "n", "h_diff", "method"},
                     nullptr, nullptr,
                     {{"fun", "Callable[[ArrayLike], ArrayLike]"}, {"marginal", "Marginal"}, {"n", "int"},
                      {"h_diff", "float"}, {"method", "str"}, {"return", "Marginal"}},
                     impl_tmarginal, true},
                 py::make_tuple(2048, h_default, "quantile"));
}

void register_transform_alias(py::module_& m) {
    const double h_default = std::pow(vordex::kEps, 1.0 / 3.0);
    add_function(m, {"tova_marginal_transform", nullptr,
                     "Same as tova_tmarginal(fun, marginal, n=n, h_diff=h_diff, method=method).",
                     {"fun", "marginal", "n", "h_diff", "method"}, nullptr, nullptr,
                     {{"fun", "Callable[[ArrayLike], ArrayLike]"}, {"marginal", "Marginal"}, {"n", "int"},
                      {"h_diff", "float"}, {"method", "str"}, {"return", "Marginal"}},
                     impl_marginal_transform, true},
                 py::make_tuple(2048, h_default, "quantile"));
}

}  // namespace vx
