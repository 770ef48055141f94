// The PCHIP kernels: knot slopes over a whole grid, and pieces with their
// slopes worked out at given points. Compiled without trapping-math
// assumptions: the values are the IEEE results either way, but only then may
// the compiler evaluate both sides of the slope's select in vector lanes on
// processors without masked division (SSE2, AVX2), where these loops would
// otherwise stay scalar.
#include "kernels.hpp"

#include "vordex/core/interp.hpp"

namespace vordex::kernels {

namespace {
// The interior PCHIP slope at a knot from the spacings and secant slopes on
// either side (pchip_interior_slopes' operations).
[[gnu::always_inline]] inline double pchip_knot_slope(double h0, double h1, double m0, double m1) {
    const bool flat = ((m0 > 0.0) != (m1 > 0.0)) | (m0 == 0.0) | (m1 == 0.0) | (m0 != m0) | (m1 != m1);
    const double w1 = 2 * h1 + h0;
    const double w2 = h1 + 2 * h0;
    const double whmean = (w1 / m0 + w2 / m1) / (w1 + w2);
    return flat ? 0.0 : 1.0 / whmean;
}
}  // namespace

VX_CLONES bool pchip_interior_slopes(const double* __restrict h, const double* __restrict m, double* __restrict d,
                                     std::size_t n) {
    // Slope at knot i+1 from the intervals i and i+1: zero where the secants
    // differ in sign, one is zero or one is NaN, else the weighted harmonic
    // mean. The slopes that are not finite are counted on the way.
    long bad = 0;
    for (std::size_t i = 0; i + 2 < n; ++i) {
        const double di = pchip_knot_slope(h[i], h[i + 1], m[i], m[i + 1]);
        d[i + 1] = di;
        bad += !(di - di == 0.0);
    }
    return bad == 0;
}

VX_CLONES void pchip_pieces_at(const double* __restrict x, const double* __restrict y,
                               const std::uint32_t* __restrict interval, const double* in, double* out,
                               std::size_t n) {
    // Points are independent: their divisions overlap (and vectorise).
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = interval[k];
        const double h0 = x[i] - x[i - 1], h1 = x[i + 1] - x[i], h2 = x[i + 2] - x[i + 1];
        const double m0 = (y[i] - y[i - 1]) / h0;
        const double m1 = (y[i + 1] - y[i]) / h1;
        const double m2 = (y[i + 2] - y[i + 1]) / h2;
        const double di = pchip_knot_slope(h0, h1, m0, m1);
        const double dj = pchip_knot_slope(h1, h2, m1, m2);
        const double t = (di + dj - 2 * m1) / h1;
        const double c0 = t / h1;
        const double c1 = (m1 - di) / h1 - t;
        out[k] = cubic_at(c0, c1, di, y[i], in[k] - x[i]);
    }
}

}  // namespace vordex::kernels
