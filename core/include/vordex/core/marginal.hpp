// Marginal densities on a grid: cleaning and log-density smoothing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vordex/core/interp.hpp"

namespace vordex {

// 1000 times the float64 machine epsilon: the relative density floor and
// the tolerance for probabilities equal to 0 or 1.
inline constexpr double kEps = 2.220446049250313e-13;

struct XY {
    uvector x, y;
};

// A marginal's positions and densities held elsewhere.
struct XYView {
    std::span<const double> x, y;
    XYView(std::span<const double> x_, std::span<const double> y_) : x(x_), y(y_) {}
    XYView(const XY& m) : x(m.x), y(m.y) {}  // NOLINT: a view of any XY
};

// Drop NaN densities, sort by x in the order np.argsort gives (NaN
// positions last, equal positions not kept in input order: see
// numpy_argsort), drop densities that are not positive or not above kEps
// times the largest; at least 3 points must remain. Throws ValueError (IndexError for x/y of different lengths).
XY marginal_fix(std::span<const double> x, std::span<const double> y);
// The same cleaning, reusing the arrays of `m` where it can.
XY marginal_fix(XY&& m);

// extrapolate: the share of the range added beyond each end (0: none). A
// negative, NaN or infinite share (the Python layer refuses negative ones
// first), or a range too wide for the double range, is refused by the
// interpolants' checks of the grid: ValueError, whose message names the
// grid's positions ("`x` must contain only finite values."). factor: grid
// points per input point; a grid beyond kMaxGridPoints throws
// std::bad_alloc.
struct SmoothOptions {
    bool log = false;
    double extrapolate = 0.0;
    std::int64_t factor = 15;
    bool spline = true;  // monotone cubic interpolants (false: linear fallback)
};

// Smooth the log-density of a marginal onto a finer grid placed by the
// square-root spacing map. Returns the cleaned density, or with opts.log the
// raw log-density on every grid point. With `settled`, the cleaned density
// also tells whether cleaning it again is certain to change nothing: true
// when its positions ascend strictly. Where two positions are equal (or NaN)
// it is false: sorting again may reorder their densities, as NumPy's argsort
// does not keep the order of equal keys.
XY smooth(std::span<const double> x, std::span<const double> y, const SmoothOptions& opts,
          bool* settled = nullptr);

// The linear smoothing's refusal of a range whose grid positions overflow
// (the monotone one refuses them with "`x` must contain only finite values.").
inline constexpr const char* kRangeTooWide =
    "The marginal's range is too wide to smooth: its grid positions overflow the double range.";

// Upper bound on the number of points any grid may have.
inline constexpr std::int64_t kMaxGridPoints = std::int64_t{1} << 31;

}  // namespace vordex
