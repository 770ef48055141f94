// np.argsort's default order for float64 (numpy_argsort) on cases small
// enough to follow by hand, and the cleaning's use of it: equal positions
// come out in the order that sort leaves them, not in input order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <vector>

#include "vordex/core/marginal.hpp"
#include "vordex/core/numeric.hpp"

namespace {

using Vec = std::vector<double>;
using Order = std::vector<std::size_t>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Order argsort(const Vec& v) {
    Order o(v.size());
    vordex::numpy_argsort(v.data(), v.size(), o.data());
    return o;
}

// Seventeen equal values: one partition around the middle element (swapped
// to position 15), whose scans swap the pairs (1, 14), (2, 13), ... (7, 8)
// and stop at 8; the pivot goes back to 8 and both halves (at most 16
// elements) are left to insertion, which keeps them as they are.
const Order kSeventeenEqual{0, 14, 13, 12, 11, 10, 9, 15, 8, 6, 5, 4, 3, 2, 1, 7, 16};

TEST(Argsort, UpToSixteenElementsTiesKeepInputOrder) {
    // Insertion sort only: equal values stay in input order.
    EXPECT_EQ(argsort({}), Order{});
    EXPECT_EQ(argsort({5.0}), Order{0});
    EXPECT_EQ(argsort({2.0, 2.0, 1.0}), (Order{2, 0, 1}));
    Vec alt;
    for (int i = 0; i < 8; ++i) alt.insert(alt.end(), {1.0, 0.0});
    EXPECT_EQ(argsort(alt), (Order{1, 3, 5, 7, 9, 11, 13, 15, 0, 2, 4, 6, 8, 10, 12, 14}));
    // NaN last, and the NaN among themselves in input order.
    EXPECT_EQ(argsort({kNaN, 1.0, kNaN, 0.0}), (Order{3, 1, 0, 2}));
    EXPECT_EQ(argsort({0.0, -0.0, 0.0}), (Order{0, 1, 2}));  // -0 equals 0
}

TEST(Argsort, SeventeenEqualValuesArePartitioned) {
    EXPECT_EQ(argsort(Vec(17, 3.5)), kSeventeenEqual);
    EXPECT_EQ(argsort(Vec(17, kNaN)), kSeventeenEqual);  // NaN equal to NaN
    Vec zeros(17, 0.0);
    for (std::size_t i = 0; i < zeros.size(); i += 3) zeros[i] = -0.0;
    EXPECT_EQ(argsort(zeros), kSeventeenEqual);
    // One value larger than the rest: the median of three moves it to the
    // end and the same partition follows among the others.
    Vec one_big(17, 1.0);
    one_big[0] = 2.0;
    const Order o = argsort(one_big);
    EXPECT_EQ(o.back(), 0u);
    EXPECT_NE(o, (Order{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0}));  // not the stable order
}

TEST(Argsort, AlternatingTiesInNumpysOrder) {
    // [1, 0] * 10 + [2] and the same with 3 in front, as np.argsort orders them.
    Vec x;
    for (int i = 0; i < 10; ++i) x.insert(x.end(), {1.0, 0.0});
    x.push_back(2.0);
    EXPECT_EQ(argsort(x), (Order{1, 3, 17, 5, 7, 15, 9, 19, 11, 13, 0, 18, 16, 14, 10, 8, 6, 4, 2, 12, 20}));
    x.insert(x.begin(), 3.0);
    EXPECT_EQ(argsort(x), (Order{10, 2, 16, 4, 6, 14, 8, 18, 20, 12, 17, 15, 13, 9, 7, 5, 3, 1, 11, 19, 21, 0}));
}

TEST(Argsort, LargeInputsGiveASortedPermutation) {
    // Whatever the order among ties, the result is a permutation that sorts
    // the values (NaN last); with distinct values it is the only one.
    std::mt19937_64 g(5);
    for (std::size_t n : {17u, 100u, 1000u, 20000u}) {
        for (int kind = 0; kind < 4; ++kind) {
            Vec v(n);
            for (std::size_t i = 0; i < n; ++i) {
                switch (kind) {
                    case 0: v[i] = static_cast<double>(g() % 5); break;             // heavy ties
                    case 1: v[i] = g() % 7 == 0 ? kNaN : static_cast<double>(g() % 50); break;
                    case 2: v[i] = static_cast<double>(n - i); break;                // descending, distinct
                    default: v[i] = static_cast<double>(std::min(i, n - 1 - i)); break;  // organ pipe
                }
            }
            const Order o = argsort(v);
            Order seen(o);
            std::sort(seen.begin(), seen.end());
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(seen[i], i) << n << " kind " << kind;
            for (std::size_t i = 1; i < n; ++i) {
                const double a = v[o[i - 1]], b = v[o[i]];
                ASSERT_TRUE(a <= b || std::isnan(b)) << n << " kind " << kind << " at " << i;
            }
            if (kind == 2) {
                for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(o[i], n - 1 - i);
            }
        }
    }
}

TEST(Argsort, CleaningOrdersEqualPositionsAsArgsort) {
    // y numbers the points, so y after cleaning shows the order taken.
    Vec x;
    for (int i = 0; i < 10; ++i) x.insert(x.end(), {1.0, 0.0});
    x.push_back(2.0);
    Vec y(x.size());
    for (std::size_t i = 0; i < y.size(); ++i) y[i] = static_cast<double>(i + 1);
    const Order o = argsort(x);
    const vordex::XY m = vordex::marginal_fix(x, y);
    ASSERT_EQ(m.y.size(), x.size());
    for (std::size_t k = 0; k < o.size(); ++k) {
        EXPECT_EQ(m.y[k], y[o[k]]) << k;
        EXPECT_EQ(m.x[k], x[o[k]]) << k;
    }
    // A NaN density is dropped before sorting: the order is that of the
    // remaining points (here the same as with 3 in front, shifted).
    Vec xn = x, yn = y;
    xn.insert(xn.begin(), 3.0);
    yn.insert(yn.begin(), kNaN);
    const vordex::XY mn = vordex::marginal_fix(xn, yn);
    ASSERT_EQ(mn.y.size(), x.size());
    for (std::size_t k = 0; k < o.size(); ++k) EXPECT_EQ(mn.y[k], y[o[k]]) << k;
    // Densities at or below the floor are dropped after sorting: the others
    // keep the places sorting gave them.
    Vec yf = y;
    yf[1] = 0.0;  // the first point in sorted order
    yf[4] = -1.0;
    const vordex::XY mf = vordex::marginal_fix(x, yf);
    Vec want;
    for (std::size_t i : o)
        if (yf[i] > 0.0) want.push_back(yf[i]);
    EXPECT_EQ(Vec(mf.y.begin(), mf.y.end()), want);
}

TEST(Argsort, CleaningOfAscendingPositionsWithTies) {
    // x ascending with repeats (and -0 next to 0) is not taken as already
    // sorted: the repeats come out in np.argsort's order, in both variants
    // of the cleaning.
    Vec x, y;
    for (int i = 0; i < 40; ++i) {
        x.push_back(static_cast<double>(i / 4));
        y.push_back(1.0 + i);
    }
    x[20] = -0.0;
    x[21] = 0.0;
    std::sort(x.begin(), x.end());
    const Order o = argsort(x);
    const vordex::XY a = vordex::marginal_fix(x, y);
    vordex::XY m{vordex::uvector(x.begin(), x.end()), vordex::uvector(y.begin(), y.end())};
    const vordex::XY b = vordex::marginal_fix(std::move(m));
    ASSERT_EQ(a.y.size(), x.size());
    ASSERT_EQ(b.y.size(), x.size());
    bool moved = false;
    for (std::size_t k = 0; k < o.size(); ++k) {
        EXPECT_EQ(a.y[k], y[o[k]]) << k;
        EXPECT_EQ(b.y[k], y[o[k]]) << k;
        EXPECT_EQ(std::signbit(a.x[k]), std::signbit(x[o[k]])) << k;
        moved |= o[k] != k;
    }
    EXPECT_TRUE(moved);  // the input order is not np.argsort's here
}

}  // namespace
