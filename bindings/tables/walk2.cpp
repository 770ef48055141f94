// vordex.model_defs.latent.walk2: the second-order random walk latent model.
#include "tables_common.hpp"

namespace {

constexpr const char* kDoc =
    "\n"
    "Random walk of order 2 (walk2).\n"
    "\n"
    "The second differences of the latent field are independent Gaussian,\n"
    "x[i+1] - 2*x[i] + x[i-1] ~ N(0, 1/tau), which gives a pentadiagonal\n"
    "precision matrix: an intrinsic Gaussian Markov random field of rank\n"
    "deficiency 2 on the ordered positions.\n"
    "\n"
    "The model has a single hyperparameter, theta = log(tau), the log-precision\n"
    "of the second differences. It carries a loggamma prior and the default\n"
    "initial value 4 on the internal (log) scale.\n";

}  // namespace

VX_TABLE_MODULE(walk2, m) {
    using namespace vx;
    using namespace vx::tables;
    m.doc() = kDoc;
    py::handle g = globals_of(m);

    bind(g, "np", import_numpy());
    bind(g, "ALLOWED_KEYS", new_str_set({"id", "model", "hyper", "n", "constr", "cyclic", "scale.model", "values",
                                         "extraconstr", "diagonal"}));
    bind(g, "DENIED_COMMON_KEYS", new_str_set({"id_names"}));

    py::object rec = new_dict();
    put(rec, "doc", new_str("Random walk of order 2"));

    py::object theta = new_dict();
    put(theta, "hyperid", new_int(5001));
    put(theta, "name", new_str("log precision"));
    put(theta, "short_name", new_str("prec"));
    put(theta, "prior", new_str("loggamma"));
    put(theta, "param", new_list({new_int(1), new_float(5e-05)}));
    put(theta, "initial", new_int(4));
    put(theta, "fixed", new_bool(false));
    put_log_transforms(theta, g);
    py::object hyper = new_dict();
    put(hyper, "theta", theta);
    put(rec, "hyper", hyper);

    LatentSettings settings;
    settings.constr = true;
    const double min_diff = 0.0001;
    settings.min_diff = &min_diff;
    finish_latent_record(g, "walk2", rec, settings);
}
