// np.argsort's default kind for float64, step for step: the order it leaves
// equal values in is a consequence of these exact steps, so none of them may
// change (pivot choice, scan bounds, which side is deferred, the depth limit
// and the heap layout all show in the permutation when values repeat).
#include <cstddef>
#include <utility>

#include "vordex/core/numeric.hpp"

namespace vordex {

namespace {

using Index = std::size_t;

// NumPy's float ordering: NaN after every number, NaN equal to NaN. Without
// NaN in the data the plain comparison is the same test.
template <bool kNan>
inline bool before(double a, double b) {
    if constexpr (kNan) return a < b || (b != b && a == a);
    else return a < b;
}

// Segments of at most this many elements plus one are left to insertion.
constexpr std::ptrdiff_t kSmallSegment = 15;

// Position of the highest set bit: floor(log2(n)) for n >= 1, 0 for n = 0.
inline int highest_bit(std::size_t n) {
    int d = 0;
    while (n >>= 1) ++d;
    return d;
}

// Heapsort of the indices a[0..n-1] by v (the fallback past the depth
// limit). Written with 1-based positions k, stored at a[k - 1].
template <bool kNan>
void heap_argsort(const double* v, Index* a, std::size_t n) {
    auto at = [a](std::size_t k) -> Index& { return a[k - 1]; };
    // Sift `tmp` down from position i within the first m positions.
    auto sift = [&](Index tmp, std::size_t i, std::size_t m) {
        std::size_t j = i << 1;
        while (j <= m) {
            if (j < m && before<kNan>(v[at(j)], v[at(j + 1)])) j += 1;
            if (before<kNan>(v[tmp], v[at(j)])) {
                at(i) = at(j);
                i = j;
                j += j;
            } else {
                break;
            }
        }
        at(i) = tmp;
    };
    for (std::size_t l = n >> 1; l > 0; --l) sift(at(l), l, n);
    while (n > 1) {
        const Index tmp = at(n);
        at(n) = at(1);
        n -= 1;
        sift(tmp, 1, n);
    }
}

template <bool kNan>
void intro_argsort(const double* v, Index* order, std::size_t num) {
    if (num < 2) return;
    // The larger side of each partition waits on the stack, the smaller is
    // sorted first, so the stack never holds more than log2(num) segments.
    constexpr int kStack = 2 * 64;
    Index* stack[kStack];
    int depth[kStack];
    Index** sptr = stack;
    int* psdepth = depth;
    Index* pl = order;
    Index* pr = order + num - 1;
    int cdepth = highest_bit(num) * 2;
    for (;;) {
        if (cdepth < 0) {
            heap_argsort<kNan>(v, pl, static_cast<std::size_t>(pr - pl) + 1);
        } else {
            while (pr - pl > kSmallSegment) {
                // Median of three, the pivot parked at pr - 1; the first
                // and last elements then bound both scans.
                Index* pm = pl + ((pr - pl) >> 1);
                if (before<kNan>(v[*pm], v[*pl])) std::swap(*pm, *pl);
                if (before<kNan>(v[*pr], v[*pm])) std::swap(*pr, *pm);
                if (before<kNan>(v[*pm], v[*pl])) std::swap(*pm, *pl);
                const double vp = v[*pm];
                Index* pi = pl;
                Index* pj = pr - 1;
                std::swap(*pm, *pj);
                for (;;) {
                    do ++pi;
                    while (before<kNan>(v[*pi], vp));
                    do --pj;
                    while (before<kNan>(vp, v[*pj]));
                    if (pi >= pj) break;
                    std::swap(*pi, *pj);
                }
                std::swap(*pi, *(pr - 1));
                if (pi - pl < pr - pi) {
                    *sptr++ = pi + 1;
                    *sptr++ = pr;
                    pr = pi - 1;
                } else {
                    *sptr++ = pl;
                    *sptr++ = pi - 1;
                    pl = pi + 1;
                }
                *psdepth++ = --cdepth;
            }
            for (Index* pi = pl + 1; pi <= pr; ++pi) {
                const Index vi = *pi;
                const double x = v[vi];
                Index* pj = pi;
                while (pj > pl && before<kNan>(x, v[*(pj - 1)])) {
                    *pj = *(pj - 1);
                    --pj;
                }
                *pj = vi;
            }
        }
        if (sptr == stack) break;
        pr = *(--sptr);
        pl = *(--sptr);
        cdepth = *(--psdepth);
    }
}

}  // namespace

void numpy_argsort(const double* v, std::size_t n, std::size_t* order) {
    bool nan = false;
    for (std::size_t i = 0; i < n; ++i) {
        order[i] = i;
        nan |= v[i] != v[i];
    }
    if (nan) intro_argsort<true>(v, order, n);
    else intro_argsort<false>(v, order, n);
}

}  // namespace vordex
