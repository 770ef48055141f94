// vordex.model_defs.latent.kgauss: k-dimensional Gaussian random effect with
// a Wishart prior on its precision matrix (300 hyperparameter blocks).
#include "tables_common.hpp"

namespace {

using namespace vx;
using namespace vx::tables;

constexpr const char* kDoc =
    "\n"
    "k-dimensional Gaussian random effect with a Wishart prior (kgauss).\n"
    "\n"
    "For m subjects, each carrying a k-dimensional random vector, the latent\n"
    "field has n = k*m positions laid out dimension-major: positions 1..m hold\n"
    "dimension 1 across all subjects, positions m+1..2m dimension 2, and so on.\n"
    "\n"
    "The precision matrix W is Cholesky-factored, W = L L^T; the K = k(k+1)/2\n"
    "entries of L map one-to-one to the hyperparameters theta1..thetaK. Only\n"
    "theta1 carries the prior \"wishartkd\"; all the others carry \"none\", since\n"
    "the joint Wishart prior already constrains them.\n"
    "\n"
    "The table always holds 300 blocks, theta1 to theta300 (K for k = 24).\n";

constexpr int kBlocks = 300;

// Both transforms are the identity: the argument object itself comes back.
py::object impl_identity(const Call& c) { return py::reinterpret_borrow<py::object>(c.args[0]); }

const FnDef kIdentityDef = transform_def(impl_identity);

// Block keys, interned once per import (a module body shares them as
// constants too).
struct BlockKeys {
    py::object hyperid = interned("hyperid"), name = interned("name"), short_name = interned("short_name"),
               initial = interned("initial"), fixed = interned("fixed"), prior = interned("prior"),
               param = interned("param"), to_theta = interned("to_theta"), from_theta = interned("from_theta");
};

void put_identity_transforms(const BlockKeys& keys, py::handle block, py::handle g) {
    put(block, keys.to_theta, make_transform(kIdentityDef, g));
    put(block, keys.from_theta, make_transform(kIdentityDef, g));
}

}  // namespace

VX_TABLE_MODULE(kgauss, m) {
    m.doc() = kDoc;
    py::handle g = globals_of(m);

    bind(g, "np", import_numpy());
    bind(g, "_SPECIAL_NUMBER", new_float(1048576.0));
    bind(g, "ALLOWED_KEYS", new_str_set({"id", "model", "order", "n", "hyper", "constr", "diagonal"}));
    bind(g, "DENIED_COMMON_KEYS", new_str_set({"id_names"}));

    py::object rec = new_dict();
    put(rec, "doc", new_str("Gaussian random effect in dim=k with Wishart prior"));
    py::object hyper = new_dict();

    const BlockKeys keys;
    {
        py::object theta1 = new_dict(9);
        put(theta1, keys.hyperid, new_int(29101));
        put(theta1, keys.name, new_str("theta1"));
        put(theta1, keys.short_name, new_str("theta1"));
        put(theta1, keys.initial, lookup(g, "_SPECIAL_NUMBER"));
        put(theta1, keys.fixed, new_bool(false));
        put(theta1, keys.prior, new_str("wishartkd"));
        // [30] + [_SPECIAL_NUMBER] * int(300.0): 301 entries, the last 300
        // all references to the one _SPECIAL_NUMBER object.
        py::object special = lookup(g, "_SPECIAL_NUMBER");
        py::object param = own(PyList_New(kBlocks + 1));
        PyList_SET_ITEM(param.ptr(), 0, new_int(30).release().ptr());
        for (Py_ssize_t i = 1; i <= kBlocks; ++i) {
            Py_INCREF(special.ptr());
            PyList_SET_ITEM(param.ptr(), i, special.ptr());
        }
        put(theta1, keys.param, param);
        put_identity_transforms(keys, theta1, g);
        put(hyper, "theta1", theta1);
    }

    py::object rest = new_dict(kBlocks - 1);
    py::object prior_none = interned("none");
    for (long k = 2; k <= kBlocks; ++k) {
        py::object key = own(PyUnicode_FromFormat("theta%ld", k));
        py::object block = new_dict(9);
        put(block, keys.hyperid, new_int(29100 + k));
        put(block, keys.name, own(PyUnicode_FromFormat("theta%ld", k)));
        put(block, keys.short_name, own(PyUnicode_FromFormat("theta%ld", k)));
        put(block, keys.initial, lookup(g, "_SPECIAL_NUMBER"));
        put(block, keys.fixed, new_bool(false));
        put(block, keys.prior, prior_none);
        put(block, keys.param, own(PyList_New(0)));
        put_identity_transforms(keys, block, g);
        put(rest, key, block);
    }
    merge_into(hyper, rest);
    put(rec, "hyper", hyper);

    LatentSettings settings;
    settings.augmented = true;
    settings.aug_constr = own(PyList_New(24));  // the list of range(1, 25)
    for (Py_ssize_t i = 0; i < 24; ++i)
        PyList_SET_ITEM(settings.aug_constr.ptr(), i, new_int(static_cast<long>(i) + 1).release().ptr());
    settings.n_div_by = new_int(-1);
    settings.n_required = true;
    settings.set_default_values = true;
    finish_latent_record(g, "kgauss", rec, settings);
}
