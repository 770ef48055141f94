// Evaluations built on a smoothed marginal: the log-density function, the
// density, the cumulative table, distribution and quantile functions, and the
// quadrature weights of expectations.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vordex/core/interp.hpp"
#include "vordex/core/marginal.hpp"

namespace vordex {

// Spline of log density over the range of a cleaned marginal; NaN outside.
struct LogDensity {
    double xmin = 0.0, xmax = 0.0;
    Interpolant S;
    // Cleans the marginal first, then interpolates log y (not-a-knot spline,
    // or linearly when `spline` is false).
    static LogDensity build(std::span<const double> x, std::span<const double> y, bool spline);
    // Same, from a marginal that is already cleaned.
    static LogDensity from_clean(const XY& m, bool spline);
    // Same, taking over the positions (they become the spline's knots).
    static LogDensity from_clean(uvector&& x, const uvector& y, bool spline);
};

// A marginal smoothed with the default options and its log-density function:
// the preparation every evaluation starts from. Build it once per call and
// reuse it.
struct Prepared {
    bool spline = true;
    uvector smoothed_y;  // densities of the smoothed grid
    LogDensity ld;       // its knots are the smoothed grid's positions
    Prepared() = default;
    Prepared(std::span<const double> x, std::span<const double> y, bool spline);
    // The smoothed marginal (positions and densities).
    XYView smoothed() const { return {ld.S.knots(), smoothed_y}; }
};

// Density (or log density) at each point; 0 (or -inf) outside the closed range.
void density(const LogDensity& ld, const double* in, double* out, std::size_t n, bool log);

// Cumulative table on `length` equally spaced points of the range.
struct CdfTable {
    uvector xx, cdf;
};
// A cumulative table needs a positive, finite total: ValueError otherwise.
void check_table_total(double total);
// Validates length: negative -> ValueError, 0 or 1 -> IndexError, more than
// kMaxGridPoints -> std::bad_alloc (as an allocation of that size would).
// Every routine that takes a length (cdf_table, HpdTable, QuantileBatch)
// checks it so.
void check_length(std::int64_t length);
CdfTable cdf_table(const LogDensity& ld, std::int64_t length);

// Distribution function: monotone interpolant of the table, evaluated at
// points clipped to the range. `points`: how many points an evaluation is
// expected to take; when that many make it worth it, the interpolant's
// pieces are all built here (the same values either way). Evaluation never
// changes the object, so one object can serve several threads at once.
class CdfFunction {
public:
    CdfFunction(const LogDensity& ld, CdfTable t, bool spline, std::size_t points = 0);
    double operator()(double q) const;
    void eval(const double* in, double* out, std::size_t n) const;

private:
    double lo_, hi_;
    Interpolant F_;
};

// Quantile function: the table with its flat ends collapsed, inverted by a
// monotone interpolant. Probabilities are clipped to [0, 1]; those beyond the
// last kept knot (within kEps of 1) give that knot's x. The table needs at
// least one entry and as many abscissae as probabilities (ValueError
// otherwise); `points` and threads as for CdfFunction.
class QuantileFunction {
public:
    QuantileFunction(CdfTable t, bool spline, std::size_t points = 0);
    double operator()(double p) const;
    void eval(const double* in, double* out, std::size_t n) const;

private:
    double p_last_, x_last_;
    Interpolant F_;  // deferred PCHIP, materialised when built for many points
};

// Evaluations of a deferred PCHIP interpolant at fewer points than about
// two thirds of its knots are cheaper piece by piece; more are cheaper after
// building every piece once.
void prepare_for(Interpolant& F, std::size_t points);

// Keep the first of the entries within kEps of 0.0, then of 1.0, dropping the
// others from both arrays (of the same length: ValueError otherwise).
void collapse_flat_ends(std::vector<double>& cdf, std::vector<double>& xx);
void collapse_flat_ends(uvector& cdf, uvector& xx);

// A grid for the quadrature: as many densities as positions, at least one
// (ValueError otherwise).
void check_grid(std::span<const double> x, std::span<const double> y);

// Interval weights d of the odd-grid quadrature.
std::vector<double> simpson_odd_grid(std::span<const double> x);

// Weighted quadrature of an expectation on the smoothed grid: `f` holds n
// rows of k values (row-major), `x`/`y` the grid (n odd, as the smoothed
// grid is cut; an empty grid, or x and y of different lengths, throw
// ValueError). Returns the k ratios sum(s*d*y*f)/sum(s*d*y).
std::vector<double> expectation(std::span<const double> x, std::span<const double> y, const double* f,
                                std::size_t k);
// The same for the two columns x and x * x (first and second moments); long
// grids in one pass without the table of function values.
std::vector<double> expectation_x_x2(std::span<const double> x, std::span<const double> y);

}  // namespace vordex
