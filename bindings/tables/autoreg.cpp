// vordex.model_defs.latent.autoreg: the autoregressive latent model of order
// p (1..10), with its partial-autocorrelation block builder `_pacf_hyper`.
#include <algorithm>
#include "tables_common.hpp"

#include <cmath>
#include <limits>

namespace {

using namespace vx;
using namespace vx::tables;

// numpy.floating, looked up once by the module body (calls import nothing).
PyObject* numpy_floating = nullptr;

constexpr const char* kDoc =
    "\n"
    "Auto-regressive latent model of order p (autoreg), p = 1..10.\n"
    "\n"
    "x[t] = phi[1]*x[t-1] + ... + phi[p]*x[t-p] + eps[t], eps[t] ~ N(0, 1/kappa).\n"
    "\n"
    "Hyperparameters: theta1 = log(kappa), the marginal log-precision, and the\n"
    "partial autocorrelations rho[1..p] on the Fisher-z scale,\n"
    "theta[k+1] = log((1 + rho[k]) / (1 - rho[k])).\n"
    "\n"
    "The table always holds eleven blocks, theta1 for the precision and theta2 to\n"
    "theta11 for the partial autocorrelations at lags 1 to 10, whatever order p\n"
    "is chosen; for order p only the first p+1 blocks are in use.\n";

constexpr const char* kPacfDoc = "Return the theta_{k+1} hyper dict for the PACF at lag k (1..10).";
constexpr const char* kPacfLambda = "_pacf_hyper.<locals>.<lambda>";

// to_theta: np.log((1 + x) / (1 - x)), with the interpreter's number
// protocol for the arithmetic (a plain 1 raises ZeroDivisionError).
py::object impl_fisher_to(const Call& c) {
    PyObject* x = c.args[0];
    py::object log = c.global_required("np").attr("log");
    py::object one = new_int(1);
    py::object num = own(guarded([&] { return PyNumber_Add(one.ptr(), x); }));
    py::object den = own(guarded([&] { return PyNumber_Subtract(one.ptr(), x); }));
    py::object q = own(guarded([&] { return PyNumber_TrueDivide(num.ptr(), den.ptr()); }));
    return own(call_python1(log.ptr(), q.ptr()));
}

// The value 1.0 in the type of the NumPy floating scalar `like`.
py::object one_like(py::handle like) {
    py::object one = new_float(1.0);
    return own(PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(like.ptr())), one.ptr()));
}

// An ordinary error (not a MemoryError) is dropped; others are raised.
void drop_ordinary_error() {
    if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return;
    }
    throw py::error_already_set();
}

// The result `r` of the formula with `one` where the values of `num`
// (2 * np.exp(x), a container other than an ndarray) are +inf: written by a
// boolean mask of the container's shape, or (a container that takes no
// assignment, a pandas Index) through its `where`. Values held as objects (a
// nullable pandas dtype) count where they are floats equal to +inf. A
// container whose values are neither, or that takes neither, keeps the
// formula's values.
py::object saturate_container(py::object r, py::handle num, PyObject* inf, py::handle one) {
    auto& api = py::detail::npy_api::get();
    PyObject* values = api.PyArray_FromAny_(num.ptr(), nullptr, 0, 0, py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_,
                                            nullptr);
    if (!values) {
        drop_ordinary_error();
        return r;
    }
    py::array a = py::reinterpret_steal<py::array>(values);
    py::array_t<bool> mask;
    if (a.dtype().kind() == 'f') {
        py::object eq = own(guarded([&] { return PyObject_RichCompare(a.ptr(), inf, Py_EQ); }));
        mask = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(eq);
        if (!mask) {  // (ensure has cleared its own error)
            if (PyErr_Occurred()) drop_ordinary_error();
            return r;
        }
    } else if (a.dtype().kind() == 'O') {
        // (a C-contiguous copy when `a` is not: its items in C order)
        PyObject* flat = api.PyArray_FromAny_(a.ptr(), nullptr, 0, 0, py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_,
                                              nullptr);
        if (!flat) {
            drop_ordinary_error();
            return r;
        }
        const py::array items = py::reinterpret_steal<py::array>(flat);
        mask = py::array_t<bool>(std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim()));
        bool* m = mask.mutable_data();
        const auto n = static_cast<std::size_t>(items.size());
        PyObject* const* data = static_cast<PyObject* const*>(items.data());
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* item = data[i];
            m[i] = PyFloat_Check(item) && std::isinf(PyFloat_AS_DOUBLE(item)) && PyFloat_AS_DOUBLE(item) > 0;
        }
    } else {
        return r;
    }
    const bool* m = mask.data();
    if (!std::any_of(m, m + mask.size(), [](bool v) { return v; })) return r;
    if (PyObject_SetItem(r.ptr(), mask.ptr(), one.ptr()) == 0) return r;
    drop_ordinary_error();
    // r.where(~mask, 1)
    py::array_t<bool> keep(std::vector<py::ssize_t>(mask.shape(), mask.shape() + mask.ndim()));
    for (py::ssize_t i = 0; i < mask.size(); ++i) keep.mutable_data()[i] = !m[i];
    PyObject* where = PyObject_GetAttrString(r.ptr(), "where");
    if (!where) {
        drop_ordinary_error();
        return r;
    }
    PyObject* res = call_python(where, py::make_tuple(keep, one).ptr(), nullptr);
    Py_DECREF(where);
    if (!res) {
        drop_ordinary_error();
        return r;
    }
    return py::reinterpret_steal<py::object>(res);
}

// from_theta: 2 * np.exp(x) / (1 + np.exp(x)) - 1.
//
// Evaluated as written, except where 2 * np.exp(x) overflows to +inf (x above
// about 709.09 in float64, 88.03 in float32): there the quotient would be
// inf/inf = NaN, or inf/finite = inf when only the doubling overflows,
// although the value is 1.0 (2e / (1 + e) rounds to 2 once e exceeds a few
// units in the last place of the largest number); 1.0 is returned there,
// elementwise for floating arrays and for other containers that np.exp keeps
// (a pandas Series or DataFrame). NumPy's own overflow warning from np.exp
// is left as NumPy reports it. Only `np.exp` is looked up in the module's
// globals; the test for the overflowed entries uses NumPy itself.
py::object impl_fisher_from(const Call& c) {
    PyObject* x = c.args[0];
    py::object two = new_int(2);
    py::object one = new_int(1);
    py::object np = c.global_required("np");
    py::object e1 = own(call_python1(np.attr("exp").ptr(), x));
    py::object num = own(guarded([&] { return PyNumber_Multiply(two.ptr(), e1.ptr()); }));
    py::object np2 = c.global_required("np");
    py::object e2 = own(call_python1(np2.attr("exp").ptr(), x));
    py::object den = own(guarded([&] { return PyNumber_Add(one.ptr(), e2.ptr()); }));

    static PyObject* const inf = PyFloat_FromDouble(std::numeric_limits<double>::infinity());  // kept for the process
    if (PyFloat_Check(num.ptr())) {  // Python float, np.float64
        double v = PyFloat_AS_DOUBLE(num.ptr());
        if (std::isinf(v) && v > 0) return one_like(num);
    } else if (py::isinstance<py::array>(num)) {
        py::array a = py::reinterpret_borrow<py::array>(num);
        if (a.dtype().kind() == 'f' && py::isinstance<py::array>(den)) {
            // The overflowed entries are found on a plain ndarray view of
            // the values, so that a subclass's own comparison (which may
            // return anything, or raise) plays no part in this test.
            PyObject* plain = reinterpret_cast<PyObject*>(py::detail::npy_api::get().PyArray_Type_);
            py::object values = PyObject_TypeCheck(num.ptr(), reinterpret_cast<PyTypeObject*>(plain)) &&
                                        Py_TYPE(num.ptr()) != reinterpret_cast<PyTypeObject*>(plain)
                                    ? py::object(py::handle(plain).attr("view")(num, py::handle(plain)))
                                    : num;
            py::object mask = own(guarded([&] { return PyObject_RichCompare(values.ptr(), inf, Py_EQ); }));
            // (read from the mask's data: ndarray.any imports at its first call)
            const auto flags = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(mask);
            if (!flags) {
                if (!PyErr_Occurred())
                    PyErr_SetString(PyExc_TypeError, "the overflow test of the values did not give a boolean array");
                throw py::error_already_set();
            }
            if (std::any_of(flags.data(), flags.data() + flags.size(), [](bool v) { return v; })) {
                // 2 / 1 - 1 == 1 exactly at the overflowed entries; `num` and
                // `den` are new arrays of this call.
                check(PyObject_SetItem(num.ptr(), mask.ptr(), two.ptr()));
                check(PyObject_SetItem(den.ptr(), mask.ptr(), one.ptr()));
            }
            if (PyErr_Occurred()) throw py::error_already_set();
        }
    } else {
        int is_floating = PyObject_IsInstance(num.ptr(), numpy_floating);
        if (is_floating < 0) throw py::error_already_set();
        if (is_floating) {  // float16, float32, longdouble scalars
            py::object eq = own(PyObject_RichCompare(num.ptr(), inf, Py_EQ));
            int overflowed = PyObject_IsTrue(eq.ptr());
            if (overflowed < 0) throw py::error_already_set();
            if (overflowed) return one_like(num);
        } else {
            // Other containers that np.exp keeps (a pandas Series or
            // DataFrame): the formula, then 1 written where the values of
            // 2 * np.exp(x) overflowed.
            py::object q = own(guarded([&] { return PyNumber_TrueDivide(num.ptr(), den.ptr()); }));
            py::object r = own(guarded([&] { return PyNumber_Subtract(q.ptr(), one.ptr()); }));
            return saturate_container(std::move(r), num, inf, one);
        }
    }
    py::object q = own(guarded([&] { return PyNumber_TrueDivide(num.ptr(), den.ptr()); }));
    return own(guarded([&] { return PyNumber_Subtract(q.ptr(), one.ptr()); }));
}

const FnDef kFisherToDef = transform_def(impl_fisher_to, kPacfLambda);
const FnDef kFisherFromDef = transform_def(impl_fisher_from, kPacfLambda);

// "pacf" followed by "{}".format(k).
py::object pacf_name(PyObject* k) {
    py::object empty = own(PyUnicode_FromString(""));
    py::object text = own(PyObject_Format(k, empty.ptr()));
    py::object prefix = new_str("pacf");
    return own(PyUnicode_Concat(prefix.ptr(), text.ptr()));
}

// _pacf_hyper(k): the block for the partial autocorrelation at lag k.
py::object impl_pacf_hyper(const Call& c) {
    PyObject* k = c.args[0];
    py::handle g(c.globals);
    py::object one = new_int(1);
    py::object block = new_dict();

    py::object k1 = own(PyNumber_Add(k, one.ptr()));
    py::object base = new_int(15000);
    put(block, "hyperid", own(PyNumber_Add(base.ptr(), k1.ptr())));
    put(block, "name", pacf_name(k));
    put(block, "short_name", pacf_name(k));
    {
        py::object initials = c.global_required("_PACF_INITIAL");
        py::object idx = own(PyNumber_Subtract(k, one.ptr()));
        put(block, "initial", own(PyObject_GetItem(initials.ptr(), idx.ptr())));
    }
    put(block, "fixed", new_bool(false));
    put(block, "prior", new_str("pc.cor0"));
    {
        py::object first = new_float(0.5);
        py::object alphas = c.global_required("_PACF_PC_ALPHA");
        py::object idx = own(PyNumber_Subtract(k, one.ptr()));
        py::object second = own(PyObject_GetItem(alphas.ptr(), idx.ptr()));
        put(block, "param", new_list({first, second}));
    }
    put(block, "to_theta", make_transform(kFisherToDef, g));
    put(block, "from_theta", make_transform(kFisherFromDef, g));
    return block;
}

}  // namespace

VX_TABLE_MODULE(autoreg, m) {
    m.doc() = kDoc;
    py::handle g = globals_of(m);

    bind(g, "np", import_numpy());
    if (!numpy_floating) numpy_floating = py::object(import_module("numpy").attr("floating")).release().ptr();  // kept for the process
    bind(g, "ALLOWED_KEYS",
         new_str_set({"id", "model", "order", "hyper", "constr", "values", "extraconstr", "diagonal"}));
    bind(g, "DENIED_COMMON_KEYS", new_str_set({"id_names"}));
    {
        py::object initial = own(PyList_New(10));
        for (Py_ssize_t i = 0; i < 10; ++i) PyList_SET_ITEM(initial.ptr(), i, new_int(i == 0 ? 1 : 0).release().ptr());
        bind(g, "_PACF_INITIAL", initial);
        const double alpha[10] = {0.5, 0.4, 0.3, 0.2, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1};
        py::object alphas = own(PyList_New(10));
        for (Py_ssize_t i = 0; i < 10; ++i) PyList_SET_ITEM(alphas.ptr(), i, new_float(alpha[i]).release().ptr());
        bind(g, "_PACF_PC_ALPHA", alphas);
    }
    bind(g, "_pacf_hyper",
         make_function(FnDef{"_pacf_hyper", nullptr, kPacfDoc, {"k"}, nullptr, nullptr, {}, impl_pacf_hyper},
                       py::tuple(), g));

    py::object rec = new_dict();
    put(rec, "doc", new_str("Auto-regressive model of order p (AUTOREG(p))"));

    py::object hyper = new_dict();
    py::object theta1 = new_dict();
    put(theta1, "hyperid", new_int(15001));
    put(theta1, "name", new_str("log precision"));
    put(theta1, "short_name", new_str("prec"));
    put(theta1, "initial", new_int(4));
    put(theta1, "fixed", new_bool(false));
    put(theta1, "prior", new_str("pc.prec"));
    put(theta1, "param", new_list({new_int(3), new_float(0.01)}));
    put_log_transforms(theta1, g);
    put(hyper, "theta1", theta1);

    py::object pacf = new_dict();
    for (long k = 1; k <= 10; ++k) {
        py::object key = own(PyUnicode_FromFormat("theta%ld", k + 1));
        py::object builder = lookup(g, "_pacf_hyper");
        py::object kk = new_int(k);
        put(pacf, key, own(PyObject_CallOneArg(builder.ptr(), kk.ptr())));
    }
    merge_into(hyper, pacf);
    put(rec, "hyper", hyper);

    finish_latent_record(g, "autoreg", rec, LatentSettings{});
}
