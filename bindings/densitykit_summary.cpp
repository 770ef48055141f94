// HPD intervals, the mode and the printed summary.
//
// Each call prepares the marginal once (smoothing and log-density spline),
// builds its tables once and runs every evaluation natively without the GIL.
#include <array>
#include <optional>
#include <string>

#include "densitykit_impl.hpp"
#include "vordex/core/summary.hpp"

namespace vx {

namespace {

const char* kNotMarginal = "Input is not a valid marginal (matrix Nx2 or dict {'x','y'}).";

// Labels of the printed summary, 16 characters each, in print order.
constexpr std::array<const char*, 8> kLabels{
    "Mean            ", "Stdev           ", "Quantile  0.025 ", "Quantile  0.25  ",
    "Quantile  0.5   ", "Quantile  0.75  ", "Quantile  0.975 ", "Mode            "};
constexpr std::array<const char*, 8> kKeys{"mean",      "sd",        "quant0.025", "quant0.25",
                                           "quant0.5",  "quant0.75", "quant0.975", "mode"};

constexpr bool labels_have_width_16() {
    for (const char* l : kLabels) {
        int n = 0;
        while (l[n]) ++n;
        if (n != 16) return false;
    }
    return true;
}
static_assert(labels_have_width_16());

// format(v, ".6g"), by the interpreter's own float formatting.
std::string format_6g(double v) {
    char* s = PyOS_double_to_string(v, 'g', 6, 0, nullptr);
    if (!s) throw py::error_already_set();
    std::string r(s);
    PyMem_Free(s);
    return r;
}

// Write the lines to sys.stdout, looked up now (so redirection and capture
// see them). As print() does: sys.stdout None prints nothing, a missing
// sys.stdout raises RuntimeError.
void write_stdout(const std::array<std::string, 8>& lines) {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (!out) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        throw py::error_already_set();
    }
    if (out == Py_None) return;
    py::object file = py::reinterpret_borrow<py::object>(out);  // keep it alive while writing
    py::object write = file.attr("write");
    for (const std::string& line : lines) write(py::str(line));
}

// --- tova_hpdmarginal -----------------------------------------------------------------------

py::object impl_hpdmarginal(const Call& c) {
    const std::int64_t length = to_int(c[2], "length", true);
    // In the documented order: the marginal (and the flag its smoothing
    // reads), then the probabilities; their conversion error comes after the
    // marginal's errors and the length's. The length is checked where the
    // table is made, after the marginal.
    MarginalIn m = read_marginal(c, c[1]);
    const bool spline = scipy_ok(c);
    // Its values are taken before the probabilities are converted, which may
    // run Python code that changes the marginal.
    m.take_values();
    // np.atleast_1d(np.asarray(p, dtype=float)); arrays of more than one
    // dimension are read in C order, one row per entry.
    DArray p;
    try {
        p = as_contig(c[0]);
    } catch (py::error_already_set&) {
        {
            vx::nogil nogil;
            (void)vordex::Prepared(m.xs(), m.ys(), spline);
        }
        vordex::check_length(length);
        throw;
    }
    const size_t n = static_cast<size_t>(p.size());
    vordex::uvector store;
    const double* pp = values_for_native(p, store);
    py::array_t<double> out({static_cast<py::ssize_t>(n), py::ssize_t{2}});
    double* dst = out.mutable_data();
    {
        vx::nogil nogil;
        const vordex::Prepared prep(m.xs(), m.ys(), spline);
        const vordex::HpdTable table(prep.ld, length, prep.spline);
        // The flag read with the marginal also chooses the minimiser.
        vordex::hpd_intervals(table, pp, n, dst, spline);
    }
    return out;
}

// --- tova_mmarginal -------------------------------------------------------------------------

py::object impl_mmarginal(const Call& c) {
    // The flag read with the marginal also chooses the minimiser.
    const double r = with_prepared(c, c[0], [&](const vordex::Prepared& prep) {
        const vordex::QuantileFunction Q(vordex::cdf_table(prep.ld, vordex::kDefaultLength), prep.spline,
                                         vordex::kModeGridSize);
        return vordex::mode(prep.ld, Q, prep.spline);
    });
    return py::float_(r);
}

// --- tova_zmarginal -------------------------------------------------------------------------

py::object impl_zmarginal(const Call& c) {
    py::handle marginal = c[0];
    const bool silent = to_flag(c[1]);  // flags are converted on entry, before any work
    {
        py::object is_marginal = c.global_required("tova_is_marginal");
        PyObject* r = call_python1(is_marginal.ptr(), marginal.ptr());
        if (!r) throw py::error_already_set();
        const int ok = PyObject_IsTrue(r);
        Py_DECREF(r);
        if (ok < 0) throw py::error_already_set();
        if (!ok) throw py::value_error(kNotMarginal);
    }
    // The flag read with the marginal also chooses the minimiser.
    const vordex::Summary s = with_prepared(
        c, marginal, [&](const vordex::Prepared& prep) { return vordex::summarize(prep, prep.spline); });
    const std::array<double, 8> values{s.mean,         s.sd,           s.quantiles[0], s.quantiles[1],
                                       s.quantiles[2], s.quantiles[3], s.quantiles[4], s.mode};
    py::dict result;
    for (size_t i = 0; i < values.size(); ++i) result[kKeys[i]] = py::float_(values[i]);
    if (!silent) {
        std::array<std::string, 8> lines;
        for (size_t i = 0; i < values.size(); ++i) lines[i] = std::string(kLabels[i]) + format_6g(values[i]) + "\n";
        write_stdout(lines);
    }
    return result;
}

}  // namespace

void register_hpd(py::module_& m) {
    add_function(m, {"tova_hpdmarginal", nullptr,
                     "Highest-posterior-density intervals of a (unimodal) marginal.\n\n"
                     "For each probability content in p (clipped to [0, 1]) returns the shortest interval\n"
                     "[low, high] holding that mass, found by minimising the interval width over the mass below\n"
                     "it, with the inverse of a distribution function tabulated on `length` equally spaced points\n"
                     "(plus one zero-density point beyond each end). Both ends are clamped to the marginal's\n"
                     "range.\n\n"
                     "Returns a float64 array of shape (m, 2): one row [low, high] per probability, in order; a\n"
                     "scalar p gives shape (1, 2), and an array of several dimensions is read in C order.\n"
                     "A NaN probability raises ValueError; length must be at least 2.",
                     {"p", "marginal", "length"}, nullptr, nullptr,
                     {{"p", "ArrayLike"}, {"marginal", "Marginal"}, {"length", "int"}, {"return", "np.ndarray"}},
                     impl_hpdmarginal},
                 py::make_tuple(2048));
}

void register_summary(py::module_& m) {
    add_function(m, {"tova_mmarginal", nullptr,
                     "Mode of a marginal: the log density is compared at the 1 %, 2 %, ..., 99 % quantiles, and\n"
                     "the negative log density is minimised (tolerance 1e-6) between the neighbours of the best\n"
                     "one. Returns a float.",
                     {"marginal"}, nullptr, nullptr, {{"marginal", "Marginal"}, {"return", "float"}},
                     impl_mmarginal});
    add_function(m, {"tova_zmarginal", nullptr,
                     "Summary of a marginal: mean, standard deviation, the 0.025, 0.25, 0.5, 0.75 and 0.975\n"
                     "quantiles and the mode.\n\n"
                     "Unless `silent` is true, prints eight lines to sys.stdout, each a 16-character label\n"
                     "followed by the value formatted with '.6g', after every number has been computed.\n"
                     "Returns a dict with the keys 'mean', 'sd', 'quant0.025', 'quant0.25', 'quant0.5',\n"
                     "'quant0.75', 'quant0.975', 'mode' (in that order) and float values.\n\n"
                     "Raises ValueError \"Input is not a valid marginal (matrix Nx2 or dict {'x','y'}).\" when\n"
                     "tova_is_marginal(marginal) is false.",
                     {"marginal", "silent"}, nullptr, nullptr,
                     {{"marginal", "Marginal"}, {"silent", "bool"}, {"return", "Dict[str, float]"}}, impl_zmarginal},
                 py::make_tuple(false));
}

}  // namespace vx
