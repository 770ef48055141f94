// Interpolants: construction of the PCHIP, not-a-knot and linear
// interpolants on arbitrary knots, and evaluation at arbitrary points, one
// by one and in batches (ascending and unordered). Construction either
// throws ValueError or gives an interpolant that is NaN outside its knots
// (unless extrapolating), reproduces its knots, and, for PCHIP, stays
// between the values of the two knots around each point.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "fuzz_input.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/interp.hpp"

namespace {
bool all_finite(const std::vector<double>& v) {
    for (double e : v)
        if (!std::isfinite(e)) return false;
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzin::Input in(data, size);
    const std::uint8_t opts = in.u8();
    const int kind = opts % 3;
    const bool extrapolate = (opts & 4) != 0 && kind != 2;
    const std::size_t n = in.u16() % 600;
    std::vector<double> x = in.grid(n);
    std::vector<double> y = in.values(x.size());
    if (!(opts & 8)) y.resize(x.size(), 0.5);
    std::vector<double> pts = in.values(256);
    if (opts & 16) std::sort(pts.begin(), pts.end(), [](double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); });

    vordex::Interpolant f;
    try {
        if (kind == 0) f = vordex::Interpolant::pchip(x, y, extrapolate);
        else if (kind == 1) f = vordex::Interpolant::cubic(x, y, extrapolate);
        else f = vordex::Interpolant::linear(x, y);
    } catch (const vordex::ValueError&) {
        return 0;
    }
    // The linear interpolant makes no check of its knots: with unsorted or NaN
    // knots its values are meaningless (but must still be read in bounds), so
    // the comparisons below need ordered knots.
    bool ordered = true;
    for (std::size_t i = 0; i < x.size(); ++i)
        ordered = ordered && !std::isnan(x[i]) && (i == 0 || x[i - 1] <= x[i]);
    const vordex::uvector batch = f.eval(pts);
    // In-place evaluation must give the same values.
    std::vector<double> inplace = pts;
    f.eval(inplace.data(), inplace.data(), inplace.size());
    for (std::size_t i = 0; ordered && i < pts.size(); ++i) {
        const double one = f(pts[i]);
        FUZZ_CHECK((std::isnan(one) && std::isnan(batch[i])) || one == batch[i]);
        FUZZ_CHECK((std::isnan(inplace[i]) && std::isnan(batch[i])) || inplace[i] == batch[i]);
    }
    if (kind == 2) return 0;  // the linear interpolant does not check its knots

    // Few points on many knots (as tables are): their intervals are found by
    // walks that stride over several knots, against one point at a time;
    // the same for the slopes-only spline. And a PCHIP interpolant's values
    // at its own knots, worked out without building it.
    {
        const auto same = [](double p, double q) { return (std::isnan(p) && std::isnan(q)) || std::memcmp(&p, &q, sizeof p) == 0; };
        const std::size_t per = 6 + (opts >> 3) % 120;
        const std::size_t m = std::max<std::size_t>(1, x.size() / per);
        const double lo = x.front(), hi = x.back();
        std::vector<double> few(m);
        for (std::size_t k = 0; k < m; ++k) {
            const double u = pts.empty() ? 0.5 : std::fabs(pts[k % pts.size()]);
            const double frac = std::isfinite(u) ? u - std::floor(u) : 0.5;
            few[k] = lo + (hi - lo) * frac;
        }
        std::sort(few.begin(), few.end());
        if ((opts & 64) && !pts.empty()) few.push_back(pts[0]);  // one fuzzed point (outside, NaN, or a step back)
        const vordex::uvector got = f.eval(few);
        for (std::size_t k = 0; k < few.size(); ++k) FUZZ_CHECK(same(got[k], f(few[k])));
        if (kind == 1 && !extrapolate && x.size() >= 4) {
            const vordex::Interpolant g = vordex::Interpolant::cubic_slopes_only(x, y);
            const vordex::uvector lean = g.eval(few);
            for (std::size_t k = 0; k < few.size(); ++k) FUZZ_CHECK(same(lean[k], f(few[k])));
        }
        if (kind == 0) {
            const vordex::uvector own = vordex::Interpolant::pchip_at_knots(x, y);
            const vordex::uvector ref = vordex::Interpolant::pchip(x, y).eval(x);
            for (std::size_t k = 0; k < x.size(); ++k) FUZZ_CHECK(same(own[k], ref[k]));
        }
    }

    // Validated knots: strictly increasing, finite.
    const double a = x.front(), b = x.back();
    for (std::size_t i = 0; i < pts.size(); ++i) {
        const double v = pts[i];
        if (!(a <= v && v <= b)) {
            if (!extrapolate || std::isnan(v)) FUZZ_CHECK(std::isnan(batch[i]));
        }
    }
    if (!all_finite(y)) return 0;
    // The not-a-knot slopes are those of the step-by-step solve to the bit,
    // whichever arrangement computed them; so are the slopes of the lane
    // solve with lanes of any length, whenever it does not refuse.
    if (kind == 1 && x.size() >= 4) {
        const std::vector<double> ref = vordex::notaknot_slopes(x, y);
        const auto same = [](double p, double q) { return (std::isnan(p) && std::isnan(q)) || std::memcmp(&p, &q, sizeof p) == 0; };
        for (std::size_t i = 0; i < ref.size(); ++i) FUZZ_CHECK(same(f.slopes()[i], ref[i]));
        for (std::size_t lanes : {8u, 16u}) {
            if (x.size() < 6 + 2 * lanes) continue;
            const std::size_t most = (x.size() - 6) / lanes;
            const std::size_t L = 2 + (opts >> 5) * (most - 2) / 7;  // 2 to most
            std::vector<double> got, from_knots;
            const bool solved = vordex::detail::notaknot_slopes_lanes(x, y, lanes, L, got);
            // The lanes that work out spacings and slopes from the knots
            // refuse and solve alike.
            FUZZ_CHECK(vordex::detail::notaknot_slopes_lanes(x, y, lanes, L, from_knots, true) == solved);
            if (solved)
                for (std::size_t i = 0; i < ref.size(); ++i) FUZZ_CHECK(same(got[i], ref[i]) && same(from_knots[i], ref[i]));
            // The lanes that take the row interchanges themselves never meet
            // a zero pivot on valid knots, and give the same slopes.
            std::vector<double> swapping;
            FUZZ_CHECK(vordex::detail::notaknot_slopes_swapping_lanes(x, y, lanes, L, swapping));
            for (std::size_t i = 0; i < ref.size(); ++i) FUZZ_CHECK(same(swapping[i], ref[i]));
            // In blocks of lanes of 2 rows, each block's start guessed from
            // 1 to 48 rows ahead: the same slopes whenever the blocks solve.
            if (x.size() >= 2 + 2 * lanes + 64) {
                std::vector<double> blocked;
                const std::size_t ahead = 1 + (opts >> 2) % 48;
                if (vordex::detail::notaknot_slopes_lanes(x, y, lanes, 0, blocked, true, 2, ahead))
                    for (std::size_t i = 0; i < ref.size(); ++i) FUZZ_CHECK(same(blocked[i], ref[i]));
                // The same with the blocks of lanes that take interchanges.
                if (vordex::detail::notaknot_slopes_swapping_lanes(x, y, lanes, 0, blocked, true, 2, ahead))
                    for (std::size_t i = 0; i < ref.size(); ++i) FUZZ_CHECK(same(blocked[i], ref[i]));
            }
        }
    }
    // Two interpolants on the same knots evaluated together give what each
    // gives alone, for ascending points (dense enough to be taken run by run)
    // broken by the fuzzed points.
    {
        std::vector<double> yr(y.rbegin(), y.rend());
        vordex::Interpolant g;
        try {
            g = vordex::Interpolant::pchip(x, yr);
        } catch (const vordex::ValueError&) {
            return 0;
        }
        std::vector<double> dense(3 * x.size() + pts.size());
        const std::size_t m = 3 * x.size();
        for (std::size_t i = 0; i < m; ++i) dense[i] = a + (b - a) * (static_cast<double>(i) / static_cast<double>(m));
        for (std::size_t i = 0; i < pts.size(); ++i) dense[m + i] = pts[i];
        // Either the grid then the fuzzed points, or all of them in order
        // (NaN last).
        if (opts & 32)
            std::sort(dense.begin(), dense.end(), [](double p, double q) { return p < q || (std::isnan(q) && !std::isnan(p)); });
        std::vector<double> fa(dense.size()), fb(dense.size()), pa(dense.size()), pb(dense.size());
        f.eval(dense.data(), fa.data(), dense.size());
        g.eval(dense.data(), fb.data(), dense.size());
        vordex::Interpolant::eval_pair(f, g, dense.data(), pa.data(), pb.data(), dense.size());
        const auto same = [](double p, double q) { return (std::isnan(p) && std::isnan(q)) || std::memcmp(&p, &q, sizeof p) == 0; };
        for (std::size_t i = 0; i < dense.size(); ++i) FUZZ_CHECK(same(pa[i], fa[i]) && same(pb[i], fb[i]));
    }
    // Each knot but the last starts an interval, where the piece is exactly
    // its knot value: any other finite value means a wrong interval lookup.
    for (std::size_t k = 0; k + 1 < x.size(); ++k) {
        const double v = f(x[k]);
        if (std::isfinite(v)) FUZZ_CHECK(v == y[k]);
    }
    // Shape preservation holds while the slopes and their reciprocals are
    // representable; at extreme scales (spacings near the smallest doubles,
    // values near the largest) the slope formulas overflow, as they do in
    // SciPy's PCHIP, and only the NaN/bounds checks above apply.
    bool moderate = true;
    for (std::size_t i = 0; i + 1 < x.size(); ++i)
        moderate = moderate && (x[i + 1] - x[i]) > 1e-100 && (x[i + 1] - x[i]) < 1e100;
    for (double v : y) moderate = moderate && (v == 0.0 || (std::fabs(v) > 1e-100 && std::fabs(v) < 1e100));
    if (kind == 0 && moderate) {
        for (std::size_t i = 0; i < pts.size(); ++i) {
            const double v = pts[i];
            if (!(a <= v && v <= b) || !std::isfinite(batch[i])) continue;
            std::size_t j = static_cast<std::size_t>(std::upper_bound(x.begin(), x.end(), v) - x.begin());
            j = j == 0 ? 0 : j - 1;
            if (j + 1 >= x.size()) j = x.size() - 2;
            const double lo = std::min(y[j], y[j + 1]), hi = std::max(y[j], y[j + 1]);
            const double slack = 1e-9 * std::max(std::fabs(lo), std::fabs(hi)) + 1e-300;
            FUZZ_CHECK(batch[i] >= lo - slack && batch[i] <= hi + slack);
        }
    }
    return 0;
}
