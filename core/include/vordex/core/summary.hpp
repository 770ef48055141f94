// Highest-posterior-density intervals, the mode and the summary of a
// marginal. Every routine works from one Prepared marginal (smoothing and
// log-density spline built once) and reuses it for all of its evaluations,
// with results identical to re-smoothing at each step.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vordex/core/density.hpp"
#include "vordex/core/interp.hpp"

namespace vordex {

// Inverse distribution function used by the HPD search. The density is
// tabulated on `length` equally spaced points of the range; one point a grid
// step beyond each end with density 0 is added; the running sums divided by
// the total form the table; entries within kEps of 0 and of 1 are collapsed
// to their first; a monotone interpolant (linear when `spline` is false)
// maps probability to abscissa, NaN beyond the first and last knots.
struct HpdTable {
    double xmin = 0.0, xmax = 0.0;
    Interpolant F_inv;  // knots: the table after collapsing
    HpdTable(const LogDensity& ld, std::int64_t length, bool spline);
};

// Shortest interval [low, high] holding probability p (clipped to [0, 1]):
// the width F_inv(x0 + p) - F_inv(x0) is minimised over the mass x0 below the
// interval, in [0, 1 - p], to tolerance 1e-6 (bounded Brent search when
// `use_brent`, else golden section). Both ends are clamped to [xmin, xmax],
// NaN becoming xmax. A NaN p raises ValueError.
std::array<double, 2> hpd_interval(const HpdTable& t, double p, bool use_brent);

// Intervals for n probabilities into out[2*i], out[2*i+1]. All of p is
// checked for NaN before anything is computed.
void hpd_intervals(const HpdTable& t, const double* p, std::size_t n, double* out, bool use_brent);

// Message of the NaN check.
inline constexpr const char* kHpdNaNProbability = "HPD probabilities must not be NaN.";

// The 99 probabilities of the mode search, 0.01, 0.02, ..., 0.99, with the
// values NumPy's arange(0.01, 1.0, 0.01) produces.
inline constexpr std::size_t kModeGridSize = 99;
std::array<double, kModeGridSize> mode_probabilities();

// Mode: the quantiles at mode_probabilities(), their log densities, the
// neighbours of the first largest one as bracket, and a minimisation of the
// negative log density on that bracket to tolerance 1e-6. Q is evaluated at
// kModeGridSize points: built for that many (QuantileFunction's `points`) it
// builds its pieces once.
double mode(const LogDensity& ld, const QuantileFunction& Q, bool use_brent);

// Mean and standard deviation from one expectation pass of (x, x*x) over the
// smoothed grid (cut to an odd number of points); the variance is taken as 0
// when E[X^2] - mean^2 is not positive. An empty grid, or one with more
// positions than densities or fewer, throws ValueError.
struct Moments {
    double mean = 0.0, sd = 0.0;
};
Moments moments(XYView smoothed);

inline constexpr std::array<double, 5> kSummaryProbabilities{0.025, 0.25, 0.5, 0.75, 0.975};
inline constexpr std::int64_t kDefaultLength = 2048;

struct Summary {
    double mean = 0.0, sd = 0.0;
    std::array<double, 5> quantiles{};  // at kSummaryProbabilities
    double mode = 0.0;
};

// Mean, standard deviation, the five quantiles and the mode of a prepared
// marginal (quantile table of kDefaultLength points, built once).
Summary summarize(const Prepared& p, bool use_brent);

}  // namespace vordex
