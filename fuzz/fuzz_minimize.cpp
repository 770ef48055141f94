// Minimisers: the bounded Brent search and the golden-section search on
// arbitrary brackets, tolerances and objectives (a polynomial of the decoded
// coefficients, optionally with NaN or infinite values in stripes). Both
// either throw ValueError for unusable bounds or return a point of the
// bracket after a bounded number of evaluations; an exception thrown by the
// objective passes through unchanged.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "fuzz_input.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/minimize.hpp"

namespace {
struct Thrown {};

struct Objective {
    double c[5] = {0, 0, 0, 0, 0};
    std::uint8_t mode = 0;
    long* calls;
    long throw_after;
    double operator()(double x) const {
        ++*calls;
        FUZZ_CHECK(*calls < 100000);  // a hang, not a search
        if (*calls == throw_after) throw Thrown{};
        double v = (((c[4] * x + c[3]) * x + c[2]) * x + c[1]) * x + c[0];
        if ((mode & 1) && std::fmod(std::fabs(x), 1.0) < 0.25) v = NAN;
        if ((mode & 2) && x > c[0]) v = INFINITY;
        if (mode & 4) v = std::fabs(v);
        return v;
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzin::Input in(data, size);
    const std::uint8_t opts = in.u8();
    double a = in.value(), b = in.value();
    double tol = (opts & 1) ? in.value() : 1e-6;
    long calls = 0;
    Objective f;
    f.mode = static_cast<std::uint8_t>(opts >> 2);
    f.calls = &calls;
    f.throw_after = (opts & 0x80) ? 1 + in.u8() : -1;
    for (double& c : f.c) c = in.value();
    const int maxiter = 1 + in.u8() * 4;

    if (opts & 2) {
        try {
            const vordex::BrentResult r = vordex::brent_bounded_result(f, a, b, tol, maxiter);
            FUZZ_CHECK(std::isfinite(a) && std::isfinite(b) && a <= b);
            FUZZ_CHECK(r.nfev <= std::max(maxiter, 2) + 1);
            FUZZ_CHECK(calls == r.nfev);
            // Steps are not guarded against overflow: bounds within a step of
            // the largest double may end beyond them (as SciPy's search does).
            if (std::isfinite(tol) && tol >= 0.0 && tol < 1e300 && !std::isnan(r.x) && std::fabs(a) < 1e300 &&
                std::fabs(b) < 1e300)
                FUZZ_CHECK(r.x >= a && r.x <= b);
        } catch (const vordex::ValueError&) {
            FUZZ_CHECK(!(std::isfinite(a) && std::isfinite(b) && a <= b) || std::isnan(tol));
        } catch (const Thrown&) {
        }
    } else {
        try {
            const double r = vordex::golden_section(f, a, b, tol);
            FUZZ_CHECK(std::isfinite(a) && std::isfinite(b) && !std::isnan(tol));
            // A bracket wider than the largest double overflows the trial
            // points; every other bracket keeps the result inside.
            if (!std::isnan(r) && std::isfinite(b - a)) FUZZ_CHECK(r >= std::min(a, b) && r <= std::max(a, b));
        } catch (const vordex::ValueError&) {
            FUZZ_CHECK(!(std::isfinite(a) && std::isfinite(b)) || std::isnan(tol));
        } catch (const Thrown&) {
        }
    }
    return 0;
}
