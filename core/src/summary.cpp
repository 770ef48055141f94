#include "vordex/core/summary.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vordex/core/errors.hpp"
#include "vordex/core/minimize.hpp"
#include "vordex/core/numeric.hpp"
#include "kernels.hpp"

namespace vordex {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kSearchTol = 1e-6;

// np.min / np.max of a non-empty vector: NaN propagates.

// np.clip(v, lo, hi) for scalars: NaN stays NaN.
double clip(double v, double lo, double hi) {
    if (std::isnan(v)) return v;
    return std::min(std::max(v, lo), hi);
}

// Clamp an interval end to [lo, hi]: lo when lo > v, then v when v < hi,
// else hi. A NaN end therefore becomes hi.
double clamp_end(double v, double lo, double hi) {
    const double w = lo > v ? lo : v;
    return w < hi ? w : hi;
}

// Log density at one point: the spline inside the closed range, -inf outside
// (a NaN point is outside).
double log_density_at(const LogDensity& ld, double u) {
    return (u >= ld.xmin && u <= ld.xmax) ? ld.S(u) : -kInf;
}
}  // namespace

// --- HPD intervals ---------------------------------------------------------------------------

HpdTable::HpdTable(const LogDensity& ld, std::int64_t length, bool spline) : xmin(ld.xmin), xmax(ld.xmax) {
    check_length(length);
    const std::size_t L = static_cast<std::size_t>(length);
    // The extended grid [min - dx, grid..., max + dx], and beside it the
    // zero-padded densities, replaced by their running sums.
    uvector xx(L + 2), cdf(L + 2);
    double* grid = xx.data() + 1;
    linspace_into(ld.xmin, ld.xmax, L, grid);
    const double dx = grid[1] - grid[0];
    double* dens = cdf.data() + 1;
    ld.S.eval(grid, dens, L);
    vexp(dens, dens, L);
    // An ascending grid's extremes are its ends.
    const std::span<const double> g(grid, L);
    const bool ascends = linspace_ascends(ld.xmin, ld.xmax);
    xx[0] = (ascends ? grid[0] : nan_min(g)) - dx;
    xx[L + 1] = (ascends ? grid[L - 1] : nan_max(g)) + dx;
    double run = 0.0;
    cdf[0] = run;
    for (std::size_t k = 0; k < L; ++k) {
        run = run + dens[k];
        dens[k] = run;
    }
    cdf[L + 1] = run + 0.0;
    const double total = cdf[L + 1];
    check_table_total(total);
    kernels::divide_by(cdf.data(), cdf.size(), total);

    collapse_flat_ends(cdf, xx);
    // Each probability's search evaluates the inverse a few dozen times:
    // pieces are worked out as needed.
    F_inv = spline ? Interpolant::pchip_deferred(std::move(cdf), std::move(xx))
                   : Interpolant::linear(std::move(cdf), std::move(xx));
}

std::array<double, 2> hpd_interval(const HpdTable& t, double p, bool use_brent) {
    if (std::isnan(p)) throw ValueError(kHpdNaNProbability);
    const Interpolant& F = t.F_inv;
    const double conf = 1.0 - clip(p, 0.0, 1.0);
    auto width = [&](double x0) { return F((1.0 - conf) + x0) - F(x0); };
    const double x0 = minimize_on_interval(width, 0.0, conf, kSearchTol, use_brent);
    const double low = F(x0);
    const double high = F(1.0 - conf + x0);
    return {clamp_end(low, t.xmin, t.xmax), clamp_end(high, t.xmin, t.xmax)};
}

void hpd_intervals(const HpdTable& t, const double* p, std::size_t n, double* out, bool use_brent) {
    for (std::size_t i = 0; i < n; ++i)
        if (std::isnan(p[i])) throw ValueError(kHpdNaNProbability);
    for (std::size_t i = 0; i < n; ++i) {
        const auto r = hpd_interval(t, p[i], use_brent);
        out[2 * i] = r[0];
        out[2 * i + 1] = r[1];
    }
}

// --- mode ------------------------------------------------------------------------------------

std::array<double, kModeGridSize> mode_probabilities() {
    // NumPy's arange fill: the first two values start and start + step, the
    // others start + k * (second - first).
    std::array<double, kModeGridSize> p{};
    const double start = 0.01, step = 0.01;
    p[0] = start;
    p[1] = start + step;
    const double delta = p[1] - p[0];
    for (std::size_t k = 2; k < kModeGridSize; ++k) p[k] = start + static_cast<double>(k) * delta;
    return p;
}

double mode(const LogDensity& ld, const QuantileFunction& Q, bool use_brent) {
    const std::array<double, kModeGridSize> p = mode_probabilities();
    std::array<double, kModeGridSize> x{}, dlog{};
    Q.eval(p.data(), x.data(), kModeGridSize);
    density(ld, x.data(), dlog.data(), kModeGridSize, true);

    // np.argmax: the first NaN if there is one, else the first largest value.
    std::size_t best = 0;
    for (std::size_t i = 1; i < kModeGridSize && !std::isnan(dlog[best]); ++i) {
        if (std::isnan(dlog[i]) || dlog[i] > dlog[best]) best = i;
    }
    const double a = x[best == 0 ? 0 : best - 1];
    const double b = x[std::min(best + 1, kModeGridSize - 1)];
    auto neglog = [&](double u) { return -log_density_at(ld, u); };
    return minimize_on_interval(neglog, a, b, kSearchTol, use_brent);
}

// --- moments and summary ---------------------------------------------------------------------

Moments moments(XYView smoothed) {
    check_grid(smoothed.x, smoothed.y);
    std::size_t n = smoothed.x.size();
    if (n % 2 == 0) --n;
    const std::vector<double> e = expectation_x_x2(std::span<const double>(smoothed.x.data(), n),
                                                   std::span<const double>(smoothed.y.data(), n));
    Moments m;
    m.mean = e[0];
    const double d = e[1] - m.mean * m.mean;
    m.sd = std::sqrt(d > 0.0 ? d : 0.0);
    return m;
}

Summary summarize(const Prepared& p, bool use_brent) {
    Summary s;
    const Moments m = moments(p.smoothed());
    s.mean = m.mean;
    s.sd = m.sd;
    const QuantileFunction Q(cdf_table(p.ld, kDefaultLength), p.spline, kModeGridSize);
    for (std::size_t i = 0; i < kSummaryProbabilities.size(); ++i) s.quantiles[i] = Q(kSummaryProbabilities[i]);
    s.mode = mode(p.ld, Q, use_brent);
    return s;
}

}  // namespace vordex
