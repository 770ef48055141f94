// vordex.model_defs.likelihood.gamma: the Gamma family of likelihoods.
//
// Three survival models take (some of) their hyperparameter blocks from
// `_gen_beta_hyper` of the sibling package module `_helpers`, imported and
// called while the table is built.
#include "tables_common.hpp"

namespace {

using namespace vx;
using namespace vx::tables;

constexpr const char* kDoc =
    "\n"
    "Gamma family likelihoods.\n"
    "\n"
    "Includes: gamma (and modal/JW variants), the survival cure-model variants,\n"
    "iid-gamma and the loggamma frailty.\n";

constexpr const char* kHelperName = "_gen_beta_hyper";

// `from ._helpers import _gen_beta_hyper`, relative to this module's package
// (its __package__, set before the module body runs), through the builtins'
// __import__ as a module body's import statement goes.
py::object import_gen_beta_hyper(py::handle g) {
    PyObject* found = dict_item(PyEval_GetBuiltins(), "__import__");  // borrowed
    if (!found) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw py::error_already_set();
    }
    py::object import = py::reinterpret_borrow<py::object>(found);  // held while the arguments are made
    py::object attr = interned(kHelperName);
    py::object fromlist = own(PyTuple_Pack(1, attr.ptr()));
    py::object helpers = own(PyObject_CallFunction(import.ptr(), "sOOOi", "_helpers", g.ptr(), g.ptr(), fromlist.ptr(), 1));

    PyObject* fn = PyObject_GetAttr(helpers.ptr(), attr.ptr());
    if (fn) return py::reinterpret_steal<py::object>(fn);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();

    // A submodule of that name registered in sys.modules is accepted too.
    py::object helpers_name;
    if (PyObject* n = PyObject_GetAttrString(helpers.ptr(), "__name__"))
        helpers_name = py::reinterpret_steal<py::object>(n);
    else
        PyErr_Clear();
    if (helpers_name && PyUnicode_Check(helpers_name.ptr())) {
        py::object full = own(PyUnicode_FromFormat("%U.%U", helpers_name.ptr(), attr.ptr()));
        if (PyObject* found = PyImport_GetModule(full.ptr())) return py::reinterpret_steal<py::object>(found);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    py::object msg = own(PyUnicode_FromFormat("cannot import name %S", attr.ptr()));
    py::object path;
    if (PyObject* f = PyObject_GetAttrString(helpers.ptr(), "__file__"))
        path = py::reinterpret_steal<py::object>(f);
    else
        PyErr_Clear();
    PyErr_SetImportError(msg.ptr(), helpers_name ? helpers_name.ptr() : nullptr, path ? path.ptr() : nullptr);
    throw py::error_already_set();
}

// _gen_beta_hyper(hyperid, n, name, -7, [-4, 100][, theta_offset=2]), the
// function looked up in the module's globals at the moment of the call.
py::object call_gen_beta_hyper(py::handle g, long hyperid, const char* name, bool with_offset) {
    py::object fn = lookup(g, kHelperName);
    py::object param = new_list({new_int(-4), new_int(100)});
    py::object args = own(PyTuple_New(5));
    PyTuple_SET_ITEM(args.ptr(), 0, new_int(hyperid).release().ptr());
    PyTuple_SET_ITEM(args.ptr(), 1, new_int(10).release().ptr());
    PyTuple_SET_ITEM(args.ptr(), 2, new_str(name).release().ptr());
    PyTuple_SET_ITEM(args.ptr(), 3, new_int(-7).release().ptr());
    PyTuple_SET_ITEM(args.ptr(), 4, param.release().ptr());
    py::object kwargs;
    if (with_offset) {
        kwargs = new_dict();
        put(kwargs, "theta_offset", new_int(2));
    }
    return own(PyObject_Call(fn.ptr(), args.ptr(), kwargs ? kwargs.ptr() : nullptr));
}

// np.log(v) on the int v, with `np` looked up in the module's globals.
py::object np_log_of(py::handle g, long v) {
    py::object log = lookup(g, "np").attr("log");
    py::object arg = new_int(v);
    return own(PyObject_CallOneArg(log.ptr(), arg.ptr()));
}

struct BlockSpec {
    long hyperid;
    const char* name;
    const char* short_name;
    const char* output_name;
    const char* output_name_intern;
    enum { kLogOf, kInt } initial_kind;
    long initial;  // argument of np.log, or the int itself
    enum { kPrecision, kIidGamma, kFrailty } param_kind;
};

py::object make_block(py::handle g, const BlockSpec& s) {
    py::object b = new_dict(11);
    put(b, "hyperid", new_int(s.hyperid));
    put(b, "name", new_str(s.name));
    put(b, "short_name", new_str(s.short_name));
    put(b, "output_name", new_str(s.output_name));
    put(b, "output_name_intern", new_str(s.output_name_intern));
    put(b, "initial", s.initial_kind == BlockSpec::kLogOf ? np_log_of(g, s.initial) : new_int(s.initial));
    put(b, "fixed", new_bool(false));
    put(b, "prior", new_str("loggamma"));
    switch (s.param_kind) {
        case BlockSpec::kPrecision: put(b, "param", new_list({new_int(1), new_float(0.01)})); break;
        case BlockSpec::kIidGamma: put(b, "param", new_list({new_int(100), new_int(100)})); break;
        case BlockSpec::kFrailty: put(b, "param", new_list({new_int(1), new_float(5e-05)})); break;
    }
    put_log_transforms(b, g);
    return b;
}

py::object str_list(std::initializer_list<const char*> items) {
    py::object l = own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const char* s : items) PyList_SET_ITEM(l.ptr(), i++, new_str(s).release().ptr());
    return l;
}

// Insert "doc" and "hyper"; the remaining keys follow via finish_record.
py::object start_record(const char* doc, py::handle hyper) {
    py::object rec = new_dict();
    put(rec, "doc", new_str(doc));
    put(rec, "hyper", hyper);
    return rec;
}

void finish_record(py::handle rec, bool survival, py::object link, const char* pdf, bool experimental) {
    put(rec, "survival", new_bool(survival));
    put(rec, "discrete", new_bool(false));
    put(rec, "link", link);
    put(rec, "pdf", new_str(pdf));
    if (experimental) put(rec, "status", new_str("experimental"));
}

// {"theta1": <block>, **_gen_beta_hyper(..., theta_offset=2)}
py::object survival_hyper(py::handle g, const BlockSpec& own_block, long hyperid, const char* name) {
    py::object hyper = new_dict();
    put(hyper, "theta1", make_block(g, own_block));
    merge_into(hyper, call_gen_beta_hyper(g, hyperid, name, true));
    return hyper;
}

}  // namespace

VX_TABLE_MODULE(gamma, m) {
    m.doc() = kDoc;
    py::handle g = globals_of(m);

    bind(g, "np", import_numpy());
    bind(g, kHelperName, import_gen_beta_hyper(g));

    py::object models = new_dict();
    {
        py::object hyper = new_dict();
        put(hyper, "theta",
            make_block(g, {58001, "precision parameter", "prec", "Precision-parameter for the Gamma observations",
                           "Intern precision-parameter for the Gamma observations", BlockSpec::kLogOf, 100,
                           BlockSpec::kPrecision}));
        py::object rec = start_record("The Gamma likelihood", hyper);
        finish_record(rec, false, str_list({"default", "log", "quantile"}), "gamma", false);
        put(models, "gamma", rec);
    }
    {
        py::object hyper = new_dict();
        put(hyper, "theta",
            make_block(g, {58002, "precision parameter", "prec",
                           "Precision-parameter for the modal Gamma observations",
                           "Intern precision-parameter for the modal Gamma observations", BlockSpec::kLogOf, 100,
                           BlockSpec::kPrecision}));
        py::object rec = start_record("The modal Gamma likelihood", hyper);
        finish_record(rec, false, str_list({"default", "log"}), "mgamma", false);
        put(models, "mgamma", rec);
    }
    {
        py::object hyper = survival_hyper(
            g,
            {58101, "precision parameter", "prec", "Precision-parameter for the Gamma surv observations",
             "Intern precision-parameter for the Gamma surv observations", BlockSpec::kLogOf, 1,
             BlockSpec::kPrecision},
            58102, "Gamma-Cure");
        py::object rec = start_record("The Gamma likelihood (survival)", hyper);
        finish_record(rec, true, str_list({"default", "log", "neglog", "quantile"}), "gammasurv", false);
        put(models, "gammasurv", rec);
    }
    {
        py::object hyper = survival_hyper(
            g,
            {58121, "precision parameter", "prec", "Precision-parameter for the modal Gamma surv observations",
             "Intern precision-parameter for the modal Gamma surv observations", BlockSpec::kLogOf, 1,
             BlockSpec::kPrecision},
            58122, "modal Gamma-Cure");
        py::object rec = start_record("The modal Gamma likelihood (survival)", hyper);
        finish_record(rec, true, str_list({"default", "log", "neglog"}), "agamma", false);
        put(models, "mgammasurv", rec);
    }
    {
        py::object rec = start_record("A special case of the Gamma likelihood", new_dict());
        finish_record(rec, false, str_list({"default", "log", "neglog"}), "gammajw", false);
        put(models, "gammajw", rec);
    }
    {
        // The returned mapping is the whole "hyper" value, stored as is.
        py::object hyper = call_gen_beta_hyper(g, 58200, "GammaJW-Cure", false);
        py::object rec = start_record("A special case of the Gamma likelihood (survival)", hyper);
        finish_record(rec, true, str_list({"default", "log"}), "gammajw", false);
        put(models, "gammajwsurv", rec);
    }
    {
        py::object hyper = new_dict();
        put(hyper, "theta1",
            make_block(g, {69001, "logshape", "shape", "Shape parameter for iid-gamma",
                           "Log shape parameter for iid-gamma", BlockSpec::kInt, 0, BlockSpec::kIidGamma}));
        put(hyper, "theta2",
            make_block(g, {69002, "lograte", "rate", "Rate parameter for iid-gamma", "Log rate parameter for iid-gamma",
                           BlockSpec::kInt, 0, BlockSpec::kIidGamma}));
        py::object rec = start_record("(experimental)", hyper);
        finish_record(rec, false, str_list({"default", "identity"}), "iidgamma", true);
        put(models, "iidgamma", rec);
    }
    {
        py::object hyper = new_dict();
        put(hyper, "theta",
            make_block(g, {71001, "log precision", "prec", "precision for the gamma frailty",
                           "log precision for the gamma frailty", BlockSpec::kInt, 4, BlockSpec::kFrailty}));
        py::object rec = start_record("(experimental)", hyper);
        finish_record(rec, false, str_list({"default", "identity"}), "loggammafrailty", true);
        put(models, "loggammafrailty", rec);
    }
    bind(g, "MODELS", models);
}
