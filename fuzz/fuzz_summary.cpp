// HPD intervals, mode, moments and summary of arbitrary marginals. Each
// either throws one of the core's errors or returns: intervals with
// low <= high inside the range, no wider than the equal-tailed interval of
// the same table beyond a few grid steps; a mode inside the range; a
// standard deviation that is not negative; quantiles in ascending order.
#include <algorithm>
#include <cmath>
#include <optional>

#include "fuzz_input.hpp"
#include "vordex/core/density.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/marginal.hpp"
#include "vordex/core/summary.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzin::Input in(data, size);
    const std::uint8_t opts = in.u8();
    const bool spline = (opts & 1) == 0;
    const bool brent = (opts & 2) == 0;
    const std::int64_t length = 2 + in.u16() % 2500;
    const std::size_t n = 3 + in.u16() % 100;
    const std::optional<vordex::Prepared> prep = fuzzin::prepared_marginal(in, n, spline);
    std::vector<double> p = in.values(8);
    if (!prep) return 0;
    const vordex::LogDensity& ld = prep->ld;
    const bool finite_range = std::isfinite(ld.xmin) && std::isfinite(ld.xmax);

    try {
        const vordex::HpdTable t(ld, length, spline);
        bool has_nan = false;
        for (double v : p) has_nan = has_nan || std::isnan(v);
        std::vector<double> out(2 * p.size());
        try {
            vordex::hpd_intervals(t, p.data(), p.size(), out.data(), brent);
            FUZZ_CHECK(!has_nan);
        } catch (const vordex::ValueError&) {
            FUZZ_CHECK(has_nan || brent);  // NaN probability, or Brent's bound checks
            out.clear();
        }
        bool table_finite = finite_range;
        for (double v : t.F_inv.knots()) table_finite = table_finite && std::isfinite(v);
        for (std::size_t i = 0; table_finite && i < out.size() / 2; ++i) {
            const double lo = out[2 * i], hi = out[2 * i + 1];
            FUZZ_CHECK(lo >= ld.xmin && hi <= ld.xmax);
            // An interval of almost no mass may come out inverted by the
            // rounding of the two interpolant evaluations (a few ulps).
            // The rounding is that of the interpolant's values, whose scale
            // is the range's, not the interval ends' (which may be near 0).
            // (Ranges reaching the ends of the double range overflow the
            // interpolants' slopes, in NumPy and SciPy too: not checked there.)
            const double scale = std::max(std::fabs(ld.xmin), std::fabs(ld.xmax));
            if (scale < 1e250) FUZZ_CHECK(lo <= hi + 16 * 2.220446049250313e-16 * scale);
        }
    } catch (const vordex::ValueError&) {
        // Flat interior stretches of the table refuse the monotone interpolant.
    }

    try {
        const vordex::QuantileFunction Q(vordex::cdf_table(ld, vordex::kDefaultLength), spline);
        const double m = vordex::mode(ld, Q, brent);
        if (finite_range && !std::isnan(m)) FUZZ_CHECK(m >= ld.xmin && m <= ld.xmax);
        const vordex::Summary s = vordex::summarize(*prep, brent);
        FUZZ_CHECK(std::isnan(s.sd) || s.sd >= 0.0);
        FUZZ_CHECK((std::isnan(s.mode) && std::isnan(m)) || s.mode == m);
        // Quantiles ascend, except on ranges near the ends of the double
        // range, whose table slopes overflow (as np.interp's do: a
        // quantile of a marginal over [-5e307, 3e4] comes out +inf there).
        const double scale = std::max(std::fabs(ld.xmin), std::fabs(ld.xmax));
        for (std::size_t i = 1; i < s.quantiles.size() && scale < 1e250; ++i)
            if (!std::isnan(s.quantiles[i]) && !std::isnan(s.quantiles[i - 1]))
                FUZZ_CHECK(s.quantiles[i - 1] <= s.quantiles[i]);
    } catch (const vordex::ValueError&) {
    }
    const vordex::Moments mo = vordex::moments(prep->smoothed());
    FUZZ_CHECK(std::isnan(mo.sd) || mo.sd >= 0.0);
    return 0;
}
