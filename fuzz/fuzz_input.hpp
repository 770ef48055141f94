// Decoding of libFuzzer inputs into the numbers the core works on.
//
// Each value starts with one tag byte:
//   0 ..  31  a value from a table of awkward doubles (zeros of both signs,
//             NaN, infinities, subnormals, 1e-300 .. 1e300, ...);
//  32 .. 159  a small regular value, (tag - 96) / 8, so that ordinary grids
//             and densities are easy to reach;
// 160 .. 255  the next 8 bytes taken as the bits of a double.
// Running out of bytes yields 0.0 and ends every loop that asks for more.
//
// Sizes are always bounded by the harness so that no input can ask for more
// memory than a fuzzing process may use.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "vordex/core/density.hpp"
#include "vordex/core/errors.hpp"

namespace fuzzin {

inline constexpr double kSpecial[32] = {
    0.0,
    -0.0,
    1.0,
    -1.0,
    std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    std::numeric_limits<double>::denorm_min(),
    -std::numeric_limits<double>::denorm_min(),
    std::numeric_limits<double>::min(),
    std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(),
    1e-300,
    1e300,
    -1e300,
    1e-12,
    1e12,
    -1e12,
    2.220446049250313e-13,  // the toolkit's relative floor
    2.220446049250313e-16,
    0.5,
    2.0,
    1e-6,
    1e6,
    0.1,
    0.01,
    0.99,
    1.0 - 1e-16,
    1.0 + 2.220446049250313e-16,
    1e-310,
    3.0,
    100.0,
};

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}

    bool empty() const { return n_ == 0; }
    std::size_t remaining() const { return n_; }

    std::uint8_t u8() {
        if (n_ == 0) return 0;
        const std::uint8_t v = *p_;
        ++p_;
        --n_;
        return v;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    bool flag() { return (u8() & 1) != 0; }

    double value() {
        const std::uint8_t tag = u8();
        if (tag < 32) return kSpecial[tag];
        if (tag < 160) return (static_cast<double>(tag) - 96.0) / 8.0;
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(u8()) << (8 * i);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }

    // Up to `max_n` values (fewer when the input runs out first).
    std::vector<double> values(std::size_t max_n) {
        std::vector<double> v;
        while (v.size() < max_n && n_ > 0) v.push_back(value());
        return v;
    }

    // A grid of n positions: either the raw values or, in "steps" mode, the
    // running sum of |value| * scale starting at `start` (an ascending grid
    // with possible repeats), so that realistic marginals are common.
    std::vector<double> grid(std::size_t n) {
        const std::uint8_t mode = u8();
        std::vector<double> x;
        if ((mode & 3) == 0) {
            while (x.size() < n && n_ > 0) x.push_back(value());
            return x;
        }
        const double start = value();
        const double scale = std::ldexp(1.0, static_cast<int>(mode >> 2) - 32);
        double run = std::isfinite(start) ? start : 0.0;
        while (x.size() < n && n_ > 0) {
            x.push_back(run);
            run += std::fabs(value()) * scale;
        }
        return x;
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

// Stop with a message: libFuzzer reports the input that reached it.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}
#define FUZZ_CHECK(cond)                 \
    do {                                 \
        if (!(cond)) fuzzin::fail(#cond); \
    } while (0)


// A marginal decoded from the input (positions and densities, with missing
// densities taken as 1) and its preparation; empty when the core refuses the
// marginal with ValueError, which is a valid outcome for any input.
inline std::optional<vordex::Prepared> prepared_marginal(Input& in, std::size_t n, bool spline) {
    std::vector<double> x = in.grid(n);
    std::vector<double> y = in.values(x.size());
    y.resize(x.size(), 1.0);
    try {
        return std::optional<vordex::Prepared>(std::in_place, x, y, spline);
    } catch (const vordex::ValueError&) {
        return std::nullopt;
    }
}

}  // namespace fuzzin
