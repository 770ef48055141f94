// Tables and inversion: the log-density function of a smoothed marginal,
// density(), the cumulative table, the distribution function, the quantile
// function (single values and the batch evaluator), and the pieces of the
// transformed marginal (stencil, transformed density, orientation).
//
// Properties checked whenever the table is finite: the table starts at 0,
// ends at 1 and never decreases; the distribution function stays in [0, 1]
// and never decreases; quantiles stay in the range and never decrease; the
// batch quantile evaluator equals the single-value one bit for bit, in both
// of its orders and in place.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#include "fuzz_input.hpp"
#include "vordex/core/density.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/marginal.hpp"
#include "vordex/core/transform.hpp"

namespace {
bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }
// A strict weak order for doubles with NaN last (a plain < is not one).
bool nan_last(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzin::Input in(data, size);
    const std::uint8_t opts = in.u8();
    const bool spline = (opts & 1) == 0;
    const std::uint16_t lsel = in.u16();
    std::int64_t length = 2 + lsel % 3000;
    if ((opts & 0xE0) == 0xE0) length = static_cast<std::int64_t>(lsel % 4) - 2;  // -2 .. 1: refused
    const std::size_t n = 3 + in.u16() % 120;
    const std::optional<vordex::Prepared> prep = fuzzin::prepared_marginal(in, n, spline);
    std::vector<double> pts = in.values(200);
    if (!prep) return 0;
    const vordex::LogDensity& ld = prep->ld;
    FUZZ_CHECK(ld.xmin <= ld.xmax);

    // Densities: 0 / -inf outside the closed range, never negative.
    std::vector<double> d(pts.size()), dl(pts.size());
    vordex::density(ld, pts.data(), d.data(), pts.size(), false);
    vordex::density(ld, pts.data(), dl.data(), pts.size(), true);
    for (std::size_t i = 0; i < pts.size(); ++i) {
        const bool inside = pts[i] >= ld.xmin && pts[i] <= ld.xmax;
        if (!inside) FUZZ_CHECK(d[i] == 0.0 && dl[i] == -INFINITY);
        FUZZ_CHECK(!(d[i] < 0.0));
    }

    vordex::CdfTable t;
    try {
        t = vordex::cdf_table(ld, length);
    } catch (const vordex::ValueError& e) {
        // a negative length, a density that under/overflows on its range, or
        // a range too narrow for the table's points (its step rounds to 0)
        if (length >= 0 && std::strstr(e.what(), "too narrow for a table") != nullptr) {
            const vordex::uvector g = vordex::linspace(ld.xmin, ld.xmax, static_cast<std::size_t>(length));
            FUZZ_CHECK(g[1] - g[0] == 0.0);
            return 0;
        }
        FUZZ_CHECK(length < 0 || std::strstr(e.what(), "no usable probability mass") != nullptr);
        return 0;
    } catch (const vordex::IndexError&) {
        FUZZ_CHECK(length == 0 || length == 1);
        return 0;
    }
    FUZZ_CHECK(t.cdf.size() == static_cast<std::size_t>(length) && t.xx.size() == t.cdf.size());
    // "finite": a finite table on distinct grid points of a normal step. A
    // range of a few subnormal steps repeats grid points or overflows the
    // interpolants' slopes (NaN or inf instead of an error: reported, not
    // checked here).
    bool finite = true;
    for (double v : t.cdf) finite = finite && std::isfinite(v);
    for (std::size_t k = 1; k < t.xx.size(); ++k) finite = finite && t.xx[k - 1] < t.xx[k];
    // Likewise a grid step near the subnormal range overflows the slopes.
    finite = finite && t.xx[1] - t.xx[0] > 1e-290;
    if (finite) {
        FUZZ_CHECK(t.cdf.front() == 0.0 && t.cdf.back() == 1.0);
        for (std::size_t k = 1; k < t.cdf.size(); ++k) FUZZ_CHECK(t.cdf[k - 1] <= t.cdf[k]);
    }

    std::vector<double> sorted = pts;
    std::sort(sorted.begin(), sorted.end(), nan_last);
    try {
        const vordex::CdfFunction F(ld, t, spline, sorted.size());
        std::vector<double> c(sorted.size());
        F.eval(sorted.data(), c.data(), sorted.size());
        for (std::size_t i = 0; i < c.size(); ++i) {
            FUZZ_CHECK(same(c[i], F(sorted[i])));
            if (!finite || std::isnan(sorted[i])) continue;
            FUZZ_CHECK(c[i] >= 0.0 && c[i] <= 1.0 + 1e-12);
            if (i > 0 && !std::isnan(sorted[i - 1])) FUZZ_CHECK(c[i - 1] <= c[i] + 1e-12);
        }
    } catch (const vordex::ValueError&) {
        FUZZ_CHECK(!finite || spline);  // flat stretches of the table refuse PCHIP
    }

    try {
        const vordex::QuantileFunction Q(t, spline, pts.size());
        const vordex::QuantileBatch B(ld, length, spline);
        // Probabilities: the decoded values, many of them in [0, 1].
        std::vector<double> p = pts;
        for (double& v : p)
            if (std::isfinite(v) && std::fabs(v) > 2.0) v = std::fmod(std::fabs(v), 1.0);
        const double slack = 8 * 2.220446049250313e-16 * std::max(std::fabs(ld.xmin), std::fabs(ld.xmax));
        const bool moderate = std::max(std::fabs(ld.xmin), std::fabs(ld.xmax)) < 1e250;
        std::vector<double> qb(p.size()), qo(p.size()), qi = p;
        B.eval(p.data(), qb.data(), p.size());
        B.eval_ordered(p.data(), qo.data(), p.size());
        B.eval(qi.data(), qi.data(), qi.size());
        for (std::size_t i = 0; i < p.size(); ++i) {
            const double q = Q(p[i]);
            FUZZ_CHECK(same(q, qb[i]) && same(q, qo[i]) && same(q, qi[i]));
            // Inside the range up to the rounding of the interpolant at its
            // last knot (a few units in the last place).
            // (Ranges reaching the ends of the double range overflow the
            // interpolants' slopes, in NumPy and SciPy too: not checked there.)
            if (finite && moderate && !std::isnan(p[i])) FUZZ_CHECK(q >= ld.xmin - slack && q <= ld.xmax + slack);
            if (!std::isnan(p[i])) FUZZ_CHECK(!std::isnan(q) || !finite);
        }
        std::vector<double> ps = p;
        std::sort(ps.begin(), ps.end(), nan_last);
        if (finite && moderate) {
            double prev = -INFINITY;
            for (double v : ps) {
                if (std::isnan(v)) continue;
                const double q = Q(v);
                // Monotone up to the rounding of the cubic pieces (ulps).
                FUZZ_CHECK(q >= prev - slack);
                prev = q;
            }
        }
    } catch (const vordex::ValueError&) {
        FUZZ_CHECK(!finite || spline);
    }

    // Transformed marginal pieces: y = x^3 - x on the decoded points.
    const std::size_t m = pts.size();
    std::vector<double> f[4], deriv(m), dens(m), yv(m);
    const double h = (opts & 2) ? 6.055454452393342e-05 : std::fabs(in.value());
    const double shifts[4] = {h + h, h, -h, -(h + h)};
    for (int k = 0; k < 4; ++k) {
        f[k].resize(m);
        vordex::shifted(pts.data(), shifts[k], f[k].data(), m);
        for (double& v : f[k]) v = v * v * v - v;
    }
    vordex::five_point_stencil(f[0].data(), f[1].data(), f[2].data(), f[3].data(), h, deriv.data(), m);
    vordex::transformed_density(ld, pts.data(), deriv.data(), dens.data(), m);
    for (std::size_t i = 0; i < m; ++i) {
        yv[i] = pts[i] * pts[i] * pts[i] - pts[i];
        if (!std::isnan(deriv[i])) FUZZ_CHECK(!(dens[i] < 0.0));
    }
    const std::vector<double> y0 = yv;
    const bool rev = vordex::orient_ascending(yv, dens);
    if (rev) FUZZ_CHECK(std::equal(yv.begin(), yv.end(), y0.rbegin(), [](double a, double b) { return same(a, b); }));
    const vordex::uvector eq = vordex::equal_probabilities(m);
    for (double v : eq) FUZZ_CHECK(v > 0.0 && v < 1.0);
    return 0;
}
