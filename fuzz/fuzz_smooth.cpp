// Smoothing: smooth() with arbitrary grids and options (log output,
// extrapolation, refinement factor, spline or linear back-end). It either
// throws one of the core's errors or returns, for log output, exactly
// max(factor * n, working points) points, and otherwise a cleaned marginal.
#include <cmath>
#include <new>

#include "fuzz_input.hpp"
#include "vordex/core/errors.hpp"
#include "vordex/core/marginal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzin::Input in(data, size);
    const std::uint8_t opts = in.u8();
    vordex::SmoothOptions o;
    o.log = (opts & 1) != 0;
    o.spline = (opts & 2) == 0;
    // The binding refuses a negative extrapolation; the core must still not
    // crash on one, so let a few through.
    o.extrapolate = (opts & 4) ? in.value() : 0.0;
    if ((opts & 8) == 0 && !(o.extrapolate >= 0.0)) o.extrapolate = 0.0;
    // Factors far beyond the grid cap must be refused, not allocated.
    const std::uint8_t fsel = in.u8();
    o.factor = fsel < 250 ? static_cast<std::int64_t>(fsel % 40) - 3
                          : (std::int64_t{1} << (40 + (fsel - 250)));
    const std::size_t n = in.u16() % 400;
    std::vector<double> x = in.grid(n);
    std::vector<double> y = in.values(x.size());
    y.resize(x.size(), 1.0);
    try {
        const vordex::XY r = vordex::smooth(x, y, o);
        FUZZ_CHECK(r.x.size() == r.y.size());
        if (!o.log) {
            FUZZ_CHECK(r.x.size() >= 3);
            for (std::size_t i = 0; i < r.y.size(); ++i) {
                FUZZ_CHECK(r.y[i] > 0.0 && std::isfinite(r.y[i]));
                if (i > 0 && !std::isnan(r.x[i])) FUZZ_CHECK(r.x[i - 1] <= r.x[i]);
            }
        }
    } catch (const vordex::ValueError&) {
    } catch (const vordex::IndexError&) {
    } catch (const std::bad_alloc&) {
        FUZZ_CHECK(o.factor > 1000);  // only the size cap may refuse memory
    }
    return 0;
}
