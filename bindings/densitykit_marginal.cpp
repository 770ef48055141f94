// Marginal forms, cleaning, interpolants, smoothing, the log-density
// function, expectations, and the density/distribution/quantile functions.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "densitykit_impl.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/numeric.hpp"

namespace vx {

namespace {

const char* kFormError =
    "Marginal must be an (n,2) array, dict with keys {'x','y'}, or pandas DataFrame with 'x' and 'y' columns.";

bool is_ndarray(py::handle o) { return py::isinstance<py::array>(o); }

// pandas' DataFrame type when the module flag says pandas is available,
// looked up as `_PANDAS_OK and pd.DataFrame` is at call time (a missing name
// raises NameError, a missing attribute AttributeError).
py::object dataframe_type(const Call& c) {
    py::object ok = c.global_required("_PANDAS_OK");
    if (!to_flag(ok)) return py::object();
    return c.global_required("pd").attr("DataFrame");
}

bool is_instance(py::handle o, py::handle type) {
    if (!type) return false;
    int r = PyObject_IsInstance(o.ptr(), type.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool has_column(py::handle df, const char* name) {
    py::object cols = df.attr("columns");
    int r = PySequence_Contains(cols.ptr(), py::str(name).ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

py::object get_item(py::handle o, const char* key) {
    PyObject* r = PyObject_GetItem(o.ptr(), py::str(key).ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object column(py::handle arr, Py_ssize_t j) {
    // arr[:, j]
    py::object idx = py::make_tuple(py::slice(py::none(), py::none(), py::none()), j);
    PyObject* r = PyObject_GetItem(arr.ptr(), idx.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// The x and y of an accepted form, each converted by `conv` as soon as it
// is taken, in the documented order: x is looked up and converted before y
// is looked up (so a dict without "y" whose x cannot be converted reports
// the conversion). `is_frame`: whether the marginal is a DataFrame while
// pandas counts as available (see dataframe_type).
template <class Conv>
auto convert_form(py::handle m, bool is_frame, Conv&& conv) {
    using R = decltype(conv(py::object()));
    struct Converted {
        R x, y;
        bool is_mat;
    };
    if (is_frame) {
        if (!has_column(m, "x") || !has_column(m, "y"))
            throw py::value_error("DataFrame marginal must have columns 'x' and 'y'.");
        R x = conv(get_item(m, "x"));
        return Converted{std::move(x), conv(get_item(m, "y")), false};
    }
    if (is_ndarray(m)) {
        py::array a = py::reinterpret_borrow<py::array>(m);
        if (a.ndim() != 2 || a.shape(1) != 2) throw py::value_error("Matrix marginal must be an (n,2) array.");
        R x = conv(column(m, 0));
        return Converted{std::move(x), conv(column(m, 1)), true};
    }
    if (PyDict_Check(m.ptr())) {
        R x = conv(get_item(m, "x"));
        return Converted{std::move(x), conv(get_item(m, "y")), false};
    }
    throw py::type_error(kFormError);
}

// A shape as Python writes a tuple: (), (4,), (2, 3).
std::string shape_text(const DArray& a) {
    std::string t = "(";
    for (py::ssize_t k = 0; k < a.ndim(); ++k) t += (k ? ", " : "") + std::to_string(a.shape(k));
    return t + (a.ndim() == 1 ? ",)" : ")");
}

void require_1d(const DArray& x, const DArray& y) {
    if (x.ndim() == 1 && y.ndim() == 1) return;
    throw py::value_error("Marginal 'x' and 'y' values must be one-dimensional or of the same shape (got shapes " +
                          shape_text(x) + " and " + shape_text(y) + ").");
}

// The x and y values of a form as one-dimensional arrays, read as the
// cleaning's boolean selection reads them: a single value (0-d) is one
// point, and values of equal shape in more dimensions (the (n, 1) columns of
// a np.matrix, say) are read in row order. Values of different shapes,
// which the selection would pair up wrongly or refuse, are refused.
void columns_1d(DArray x, DArray y, MarginalIn& m) {
    // Converting y may run Python code (an object's __array__ or __float__)
    // that changes x in place, when x is the caller's own float64 array: a
    // new dtype or shape over the same memory. Checked again here (a no-op
    // when x is still a contiguous float64 array); from here on no Python
    // code runs until the spans are taken.
    x = as_contig(x);
    if (x.ndim() != 1 && x.ndim() == y.ndim() && std::equal(x.shape(), x.shape() + x.ndim(), y.shape())) {
        const py::ssize_t nx = x.size(), ny = y.size();
        x = DArray(py::array(x).reshape({nx}));
        y = DArray(py::array(y).reshape({ny}));
    }
    require_1d(x, y);
    m.x = std::move(x);
    m.y = std::move(y);
    m.set_spans();
}

std::span<const double> span_of(const DArray& a) { return {a.data(), static_cast<size_t>(a.size())}; }

}  // namespace

// --- shared pieces --------------------------------------------------------------------

// The module flag, read at each call (NameError when it was deleted).
bool scipy_ok(const Call& c) { return to_flag(c.global_required("_SCIPY_OK")); }

// Whether the marginal is a pandas DataFrame (while pandas counts as
// available): the documented first test of every form.
bool is_frame(const Call& c, py::handle marginal) {
    py::object df = dataframe_type(c);
    return df && is_instance(marginal, df);
}

py::tuple as_xy(const Call& c, py::handle marginal) {
    auto f = convert_form(marginal, is_frame(c, marginal), [](py::handle o) { return as_double_array(o); });
    return py::make_tuple(std::move(f.x), std::move(f.y), py::bool_(f.is_mat));
}

namespace {
// The columns of a plain ndarray of float64 in machine order with shape
// (n, 2), whatever its strides, copied into m.cols: the values that
// arr[:, 0] and arr[:, 1] made contiguous would hold. False for any other
// array (subclasses, other types). No Python code runs between the checks
// of the array's layout and the copy.
bool read_float_matrix(py::handle marginal, MarginalIn& m) {
    auto& api = py::detail::npy_api::get();
    if (Py_TYPE(marginal.ptr()) != api.PyArray_Type_) return false;
    auto* a = reinterpret_cast<py::detail::PyArray_Proxy*>(marginal.ptr());
    const auto* d = reinterpret_cast<py::detail::PyArrayDescr_Proxy*>(a->descr);
    if (a->nd != 2 || a->dimensions[1] != 2 || d->type_num != py::detail::npy_api::NPY_DOUBLE_ ||
        d->byteorder == (std::endian::native == std::endian::little ? '>' : '<'))
        return false;
    const std::size_t n = static_cast<std::size_t>(a->dimensions[0]);
    const Py_ssize_t s0 = a->strides[0], s1 = a->strides[1];
    const char* base = a->data;
    m.cols.resize(2 * n);
    double* x = m.cols.data();
    double* y = x + n;
    for (std::size_t i = 0; i < n; ++i) {
        const char* row = base + static_cast<Py_ssize_t>(i) * s0;
        std::memcpy(x + i, row, sizeof(double));
        std::memcpy(y + i, row + s1, sizeof(double));
    }
    m.in_cols = true;
    m.is_mat = true;
    return true;
}
}  // namespace

MarginalIn read_marginal(const Call& c, py::handle marginal) {
    MarginalIn m;
    // The DataFrame test comes first and may run Python code (the flag's
    // truth value, an __instancecheck__); the array is read after it.
    const bool frame = is_frame(c, marginal);
    if (!frame && read_float_matrix(marginal, m)) return m;
    auto f = convert_form(marginal, frame, [](py::handle o) { return as_contig(o); });
    columns_1d(std::move(f.x), std::move(f.y), m);
    m.is_mat = f.is_mat;
    return m;
}

vordex::Prepared prepare(const Call& c, py::handle marginal) {
    MarginalIn m = read_marginal(c, marginal);
    const bool spline = scipy_ok(c);
    m.take_values();
    vx::nogil nogil;
    return vordex::Prepared(m.xs(), m.ys(), spline);
}

bool private_array(const DArray& a) {
    return Py_REFCNT(a.ptr()) == 1 && (a.flags() & py::detail::npy_api::NPY_ARRAY_OWNDATA_);
}

const double* values_for_native(const DArray& a, vordex::uvector& store) {
    if (private_array(a)) return a.data();
    store.assign(a.data(), a.data() + a.size());
    return store.data();
}

void check_kept(const DArray& a, const void* data, size_t bytes, const char* what) {
    if (bytes == 0) return;  // nothing is read
    if (static_cast<const void*>(a.data()) == data && static_cast<size_t>(a.nbytes()) >= bytes) return;
    PyErr_Format(PyExc_RuntimeError, "The array given as %s was resized or reallocated during the call.", what);
    throw py::error_already_set();
}

template <class Fn>
PointsAndResult with_prepared_points(const Call& c, py::handle marginal, py::handle points,
                                     const std::int64_t* table_length, Fn&& fn) {
    MarginalIn m = read_marginal(c, marginal);
    const bool spline = scipy_ok(c);
    // The marginal's values are taken before the points are converted, as
    // its preparation comes first: converting the points may run Python code
    // (an object's __array__ or __float__) that changes the marginal.
    m.take_values();
    PointsAndResult r;
    try {
        r.in = as_contig(points);
    } catch (py::error_already_set&) {
        {
            vx::nogil nogil;
            (void)vordex::Prepared(m.xs(), m.ys(), spline);
        }
        if (table_length) vordex::check_length(*table_length);
        throw;
    }
    // The size is taken at once: later Python code may give the caller's
    // array a new dtype over the same memory.
    r.n = static_cast<size_t>(r.in.size());
    vordex::uvector store;
    const double* src = values_for_native(r.in, store);
    r.out = py::array_t<double>(std::vector<py::ssize_t>(r.in.shape(), r.in.shape() + r.in.ndim()));
    double* dst = r.out.mutable_data();
    vx::nogil nogil;
    const vordex::Prepared prep(m.xs(), m.ys(), spline);
    fn(prep, src, dst, r.n);
    return r;
}

py::object pack_marginal(std::span<const double> x, std::span<const double> y, bool as_matrix, bool detached) {
    const size_t n = x.size();
    const auto len = static_cast<py::ssize_t>(n);
    if (as_matrix) {
        py::array_t<double> a = detached ? new_detached_array({len, py::ssize_t{2}})
                                         : py::array_t<double>({len, py::ssize_t{2}});
        double* p = a.mutable_data();
        for (size_t i = 0; i < n; ++i) {
            p[2 * i] = x[i];
            p[2 * i + 1] = y[i];
        }
        return a;
    }
    const auto column = [&](std::span<const double> v) -> py::array_t<double> {
        if (!detached) return new_array(v);
        py::array_t<double> a = new_detached_array({len});
        if (n) std::memcpy(a.mutable_data(), v.data(), n * sizeof(double));
        return a;
    };
    py::dict d;
    d["x"] = column(x);
    d["y"] = column(y);
    return d;
}

py::object numpy_float(double v) {
    // A NumPy float64 scalar: index a 0-d array with ().
    py::array_t<double> a(std::vector<py::ssize_t>{});
    *a.mutable_data() = v;
    PyObject* r = PyObject_GetItem(a.ptr(), py::tuple().ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// --- tova_is_marginal, _as_xy, _to_dict_or_mat, tova_marginal_fix -------------------------------

py::object impl_is_marginal(const Call& c) {
    py::handle m = c[0];
    if (is_ndarray(m)) {
        py::array a = py::reinterpret_borrow<py::array>(m);
        if (a.ndim() == 2) return py::bool_(a.shape(1) == 2 && a.shape(0) > 2);
    }
    if (PyDict_Check(m.ptr())) {
        // set(marginal.keys()) == {"x", "y"} (a subclass's own keys() included)
        py::object k = PyDict_CheckExact(m.ptr()) ? own(PyDict_Keys(m.ptr())) : m.attr("keys")();
        py::set s(k);
        py::set want;
        want.add(py::str("x"));
        want.add(py::str("y"));
        int eq = PyObject_RichCompareBool(s.ptr(), want.ptr(), Py_EQ);
        if (eq < 0) throw py::error_already_set();
        if (eq) return py::bool_(true);
    }
    py::object df = dataframe_type(c);
    if (df && is_instance(m, df)) {
        if (!has_column(m, "x") || !has_column(m, "y")) return py::bool_(false);
        Py_ssize_t n = PyObject_Length(m.ptr());
        if (n < 0) throw py::error_already_set();
        return py::bool_(n >= 3);
    }
    return py::bool_(false);
}

py::object impl_as_xy(const Call& c) { return as_xy(c, c[0]); }

py::object impl_to_dict_or_mat(const Call& c) {
    if (to_flag(c[2])) {
        py::object np = c.global_required("np");
        return np.attr("column_stack")(py::list(py::make_tuple(c[0], c[1])));
    }
    py::dict d;
    d["x"] = c[0];
    d["y"] = c[1];
    return d;
}

py::object impl_marginal_fix(const Call& c) {
    MarginalIn m = read_marginal(c, c[0]);
    m.take_values();
    vordex::XY r;
    {
        vx::nogil nogil;
        r = vordex::marginal_fix(m.xs(), m.ys());
    }
    return pack_marginal(r.x, r.y, false);
}

// --- interpolant factories ----------------------------------------------------------------------

namespace {
// The fallback interpolant: an instance of a class created afresh per call,
// whose method __call__(self, xx) returns np.interp(xx, x, y, left=np.nan,
// right=np.nan) with the x and y objects of the factory call (held, not
// copied: they are read, and checked by np.interp, when it is called).
py::object impl_lin_call(const Call& c) {
    py::handle xy = c.payload;
    py::object np = c.global_required("np");
    py::object nan = np.attr("nan");
    return np.attr("interp")(c[1], py::handle(PyTuple_GET_ITEM(xy.ptr(), 0)), py::handle(PyTuple_GET_ITEM(xy.ptr(), 1)),
                             py::arg("left") = nan, py::arg("right") = nan);
}

py::object make_lin(const Call& c, const char* factory) {
    py::object payload = py::make_tuple(c[0], c[1]);
    std::string qual = std::string(factory) + ".<locals>._Lin";
    std::string callq = qual + ".__call__";
    FnDef def{"__call__", callq.c_str(), nullptr, {"self", "xx"}, nullptr, nullptr, {}, impl_lin_call};
    py::object call = make_function(def, py::tuple(), c.globals, payload);
    py::dict ns;
    ns["__call__"] = call;
    ns["__qualname__"] = py::str(qual);
    if (PyObject* name = dict_item(c.globals, "__name__")) ns["__module__"] = py::handle(name);
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(py::str("_Lin"), py::make_tuple(py::reinterpret_borrow<py::object>(
                                                reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                          ns);
    return cls();
}
}  // namespace

py::object impl_pchip(const Call& c) {
    if (scipy_ok(c)) {
        py::object P = c.global_required("PchipInterpolator");
        return P(c[0], c[1], py::arg("extrapolate") = false);
    }
    return make_lin(c, "_pchip");
}

py::object impl_cubic(const Call& c) {
    if (scipy_ok(c)) {
        py::object C = c.global_required("CubicSpline");
        return C(c[0], c[1], py::arg("bc_type") = "not-a-knot", py::arg("extrapolate") = false);
    }
    return make_lin(c, "_cubic");
}

// --- tova_spline ----------------------------------------------------------------------------------

py::object impl_spline(const Call& c) {
    MarginalIn m = read_marginal(c, c[0]);
    const bool spline = scipy_ok(c);
    m.take_values();
    vordex::uvector xx, yy;
    {
        vx::nogil nogil;
        vordex::XY f = vordex::marginal_fix(m.xs(), m.ys());
        const size_t n = f.x.size();
        double lo = f.x[0], hi = f.x[0];
        for (double v : f.x) {
            if (std::isnan(v) || std::isnan(lo)) {
                lo = hi = std::numeric_limits<double>::quiet_NaN();
                break;
            }
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        xx = vordex::linspace(lo, hi, n);
        vordex::vlog(f.y.data(), f.y.data(), n);
        vordex::Interpolant S =
            spline ? vordex::Interpolant::cubic(f.x, f.y) : vordex::Interpolant::linear(f.x, f.y);
        yy = S.eval(xx);
        vordex::vexp(yy.data(), yy.data(), n);
    }
    return pack_marginal(xx, yy, m.is_mat);
}

// --- tova_smarginal ----------------------------------------------------------------------------

py::object impl_smarginal(const Call& c) {
    vordex::SmoothOptions o;
    o.log = to_flag(c[1]);
    o.extrapolate = to_real(c[2]);
    const bool keep_type = to_flag(c[3]);
    o.factor = to_int(c[4], "factor", true);  // any factor not above 0 keeps the points as they are
    if (o.extrapolate < 0.0) throw py::value_error("extrapolate must be non-negative.");
    MarginalIn m = read_marginal(c, c[0]);
    o.spline = scipy_ok(c);
    m.take_values();
    vordex::XY r;
    {
        vx::nogil nogil;
        r = vordex::smooth(m.xs(), m.ys(), o);
    }
    return pack_marginal(r.x, r.y, m.is_mat && keep_type);
}

// --- tova_sfmarginal -----------------------------------------------------------------------------

namespace {
struct LogDensityPayload {
    vordex::LogDensity ld;
};

py::object impl_sf_fun(const Call& c) {
    auto& p = payload_as<LogDensityPayload>(c);
    const bool spline = p.ld.S.kind() != vordex::InterpKind::Linear;
    return eval_like(c[0], [&](const double* in, double* out, size_t n) { p.ld.S.eval(in, out, n); }, !spline);
}
}  // namespace

py::object impl_sfmarginal(const Call& c) {
    MarginalIn m = read_marginal(c, c[0]);
    const bool spline = scipy_ok(c);
    auto* p = new LogDensityPayload();
    py::object payload = make_payload(p);
    m.take_values();
    {
        vx::nogil nogil;
        p->ld = vordex::LogDensity::build(m.xs(), m.ys(), spline);
    }
    FnDef def{"_fun", "tova_sfmarginal.<locals>._fun",
              "Log density of the marginal at xx (NaN outside the range).",
              {"xx"}, nullptr, nullptr, {{"xx", "ArrayLike"}}, impl_sf_fun};
    py::object fun = make_function(def, py::tuple(), c.globals, payload);
    py::dict d;
    d["range"] = py::make_tuple(numpy_float(p->ld.xmin), numpy_float(p->ld.xmax));
    d["fun"] = fun;
    return d;
}

// --- _simpson_odd_grid, tova_emarginal ------------------------------------------------------------

py::object impl_simpson_odd_grid(const Call& c) {
    DArray x = as_contig(c[0]);
    if (x.ndim() != 1) throw py::value_error("x must be a one-dimensional array.");
    return new_array(vordex::simpson_odd_grid(span_of(x)));
}

py::object impl_emarginal(const Call& c) {
    const HeapTrimPause pause;
    py::handle fun = c[0];
    MarginalIn m = read_marginal(c, c[1]);
    vordex::SmoothOptions o;
    o.spline = scipy_ok(c);
    m.take_values();
    vordex::XY sm;
    {
        vx::nogil nogil;
        sm = vordex::smooth(m.xs(), m.ys(), o);
    }
    size_t n = sm.x.size();
    if (n % 2 == 0) {
        --n;
        sm.x.resize(n);
        sm.y.resize(n);
    }
    py::array_t<double> xarr = new_array(sm.x);
    // fun(x, *args, **kwargs)
    py::tuple args(1 + PyTuple_GET_SIZE(c.varargs));
    args[0] = xarr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c.varargs); ++i)
        args[i + 1] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(c.varargs, i));
    PyObject* r = call_python(fun.ptr(), args.ptr(), PyDict_GET_SIZE(c.varkw) ? c.varkw : nullptr);
    if (!r) throw py::error_already_set();
    py::object res = py::reinterpret_steal<py::object>(r);
    // np.asarray(result); complex values are refused rather than truncated.
    py::array raw = py::reinterpret_steal<py::array>(
        py::detail::npy_api::get().PyArray_FromAny_(res.ptr(), nullptr, 0, 0, 0, nullptr));
    if (!raw) throw py::error_already_set();
    // A single value has no first dimension to look up.
    if (raw.ndim() == 0) throw py::index_error("tuple index out of range");
    const char kind = raw.dtype().kind();
    if (kind == 'c') throw py::type_error("fun(x) must return real values, not complex.");
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b' && kind != 'O')
        throw py::type_error("fun(x) must return numbers convertible to float.");
    // An object array (np.frompyfunc, np.vectorize) holds real numbers each.
    DArray f = kind == 'O' ? real_numbers(raw) : as_contig(raw);
    size_t k = 1;
    if (f.ndim() == 1) {
        const size_t len = static_cast<size_t>(f.shape(0));
        if (len != n && len != 1) {
            // The column of values times the column of weights: NumPy's error.
            PyErr_Format(PyExc_ValueError, "operands could not be broadcast together with shapes (%zd,1) (%zd,1) ",
                         static_cast<Py_ssize_t>(len), static_cast<Py_ssize_t>(n));
            throw py::error_already_set();
        }
        std::vector<double> col;
        if (len == 1) col.assign(n, f.data()[0]);
        const double* fp = len == 1 ? col.data() : f.data();
        std::vector<double> out;
        {
            vx::nogil nogil;
            out = vordex::expectation(sm.x, sm.y, fp, 1);
        }
        return new_array_shaped(out, {});
    }
    if (static_cast<size_t>(f.shape(0)) != n)
        throw py::value_error("fun(x) must return an array with first dimension equal to len(x).");
    if (f.ndim() > 2) throw py::value_error("fun(x) must return a one- or two-dimensional array.");
    k = static_cast<size_t>(f.shape(1));
    std::vector<double> out;
    {
        vx::nogil nogil;
        if (k > 0) out = vordex::expectation(sm.x, sm.y, f.data(), k);
    }
    if (k == 1) return new_array_shaped(out, {});
    return new_array(std::move(out));
}

// --- density, distribution and quantile functions ------------------------------------------------

py::object impl_dmarginal(const Call& c) {
    const bool lg = to_flag(c[2]);
    PointsAndResult pr =
        with_prepared_points(c, c[1], c[0], nullptr, [&](const vordex::Prepared& p, const double* src, double* dst,
                                                         size_t n) { vordex::density(p.ld, src, dst, n, lg); });
    // The densities are laid out as np.empty_like lays out a new array like
    // the points (as float64): points in Fortran or another order that is
    // not C's give a result in that order.
    py::handle points = c[0];
    if (pr.in.ndim() > 1 && is_ndarray(points) &&
        !(py::reinterpret_borrow<py::array>(points).flags() & py::array::c_style)) {
        py::array as_float = as_double_array(points);
        if (!(as_float.flags() & py::array::c_style)) {
            py::object np = c.global_required("np");
            py::object like = np.attr("empty_like")(as_float);
            np.attr("copyto")(like, pr.out);
            return like;
        }
    }
    return std::move(pr.out);
}

namespace {
// A 0-d result is a NumPy float without SciPy (as np.interp gives it).
py::object scalar_form(PointsAndResult& pr, const Call& c) {
    if (pr.in.ndim() == 0 && !scipy_ok(c)) return numpy_float(*pr.out.data());
    return std::move(pr.out);
}
}  // namespace

py::object impl_pmarginal(const Call& c) {
    to_flag(c[2]);  // normalize: evaluated for its truth value only
    const std::int64_t length = to_int(c[3], "length", true);
    // The length is checked where the table is made, after the marginal.
    PointsAndResult pr = with_prepared_points(
        c, c[1], c[0], &length, [&](const vordex::Prepared& p, const double* src, double* dst, size_t n) {
            const vordex::CdfFunction F(p.ld, vordex::cdf_table(p.ld, length), p.spline, n);
            F.eval(src, dst, n);
        });
    return scalar_form(pr, c);
}

py::object impl_qmarginal(const Call& c) {
    const std::int64_t length = to_int(c[2], "length", true);
    // The length is checked where the table is made, after the marginal.
    PointsAndResult pr = with_prepared_points(
        c, c[1], c[0], &length, [&](const vordex::Prepared& p, const double* src, double* dst, size_t n) {
            const vordex::QuantileFunction Q(vordex::cdf_table(p.ld, length), p.spline, n);
            Q.eval(src, dst, n);
        });
    return scalar_form(pr, c);
}

}  // namespace vx

namespace vx {
bool install_numpy_kernels_from(PyObject* np_exp, PyObject* np_log);
// Once per process: a later import of the module (after it was removed from
// sys.modules, or a reload) finds them installed, and calls running without
// the interpreter's lock never see them change.
void install_numpy_kernels() {
    static bool installed = false;
    if (installed) return;
    py::module_ np = py::module_::import("numpy");
    installed = install_numpy_kernels_from(np.attr("exp").ptr(), np.attr("log").ptr());
}
}  // namespace vx
