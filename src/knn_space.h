// knn_space.h - what the kNN search knows of its rows.
//
// The search (knn_search.h, knn.cpp) is written once against a space: a row
// store (where row i is), a measure (the distance that orders a heap row,
// with an evaluation order fixed once for every distance path) and a split
// rule (the value of each point of a tree node, whose median splits it). A
// space S provides
//   S::store                  the row store: at(i) is row i (an S::row),
//                             prefetch(r) starts fetching row r,
//                             prefetch_id(i) starts fetching what at(i)
//                             reads (for rows found through a table: the
//                             table's entry, else row i itself), and
//                             fetch(ids, count) starts fetching rows about
//                             to be measured whose ids were prefetched
//   S::dist(st, a, b)         the distance of two rows
//   S::dist4(st, a, b, out, bound)
//                             out[r] = dist(st, a, b[r]) for r < 4, with the
//                             same bits; with bound non-null the evaluation
//                             may stop once every partial out[r] has reached
//                             bound[r], leaving lower bounds (an offer refused
//                             at a lower bound is refused at the distance)
//   S::split::plane_bytes(st) the scratch one split needs
//   S::split::values(st, node, m, rng, plane, pv)
//                             pv[i] for the m points node[0 .. m), drawing
//                             what it needs from rng
//   S::split::plane_of(st, a, b, plane), S::split::project(st, node, m,
//   plane, pv), S::split::value(st, r, plane)
//                             the split drawn at rows a and b, and the
//                             values under it of node points and of any row
//                             (the same bits): the stored form a kept forest
//                             descends by (knn_forest.h)
//   S::finite(st)             whether no distance can be NaN (then a row's
//                             root never grows, and an offer once refused
//                             stays refused)
// Every space is compiled once per distance path (knn_distance.h).
#ifndef VORNIK_KNN_SPACE_H
#define VORNIK_KNN_SPACE_H

#include <cmath>
#include <cstdint>

#include "knn_distance.h"
#include "knn_select.h"

namespace vornik {
namespace knn {

// How far ahead the projection loop prefetches rows.
const int PREFETCH_AHEAD = 16;

// ---------------------------------------------------------------------------
// Row stores
// ---------------------------------------------------------------------------

// Starts fetching the first bytes of a row, up to four cache lines; the
// hardware prefetcher follows the rest. Always inlined: a call of a function
// that only prefetches has no effect the compiler must keep, and it drops it.
VORNIK_ALWAYS_INLINE void prefetch_lines(const void *row, int64_t bytes) {
    const int lines = bytes >= 256 ? 4 : static_cast<int>((bytes + 63) / 64);
    for (int l = 0; l < lines; ++l) __builtin_prefetch(static_cast<const char *>(row) + 64 * l);
}

// n rows of d floats each, row-major, rows at any multiple of 4 bytes.
struct dense_rows {
    const float *X;
    int n, d;

    using row = const float *;
    VORNIK_ALWAYS_INLINE row at(int64_t i) const { return X + i * d; }
    VORNIK_ALWAYS_INLINE void prefetch(row r) const {
        prefetch_lines(r, static_cast<int64_t>(sizeof(float)) * d);
    }
    // Row i is found by arithmetic alone, so it is fetched at once.
    VORNIK_ALWAYS_INLINE void prefetch_id(int64_t i) const { prefetch(at(i)); }
    VORNIK_ALWAYS_INLINE void fetch(const int32_t *, int) const {}
    bool all_finite() const {
        const uint64_t count = static_cast<uint64_t>(n) * static_cast<uint64_t>(d);
        for (uint64_t j = 0; j < count; ++j)
            if (!std::isfinite(X[j])) return false;
        return true;
    }
};

// ---------------------------------------------------------------------------
// Split rules
// ---------------------------------------------------------------------------

// Two distinct positions of a node of m >= 2 points: the first drawn, then
// draws until one differs.
inline void draw_two(uint64_t *rng, int m, int *ia, int *ib) {
    *ia = draw_below(rng, m);
    do *ib = draw_below(rng, m);
    while (*ib == *ia);
}

// Dense rows: the projections onto the difference of two random points of
// the node (neither normalised nor offset), by the path's dot product.
template <class P> struct hyperplane_split {
    static uint64_t plane_bytes(const dense_rows &s) {
        return sizeof(float) * static_cast<uint64_t>(s.d);
    }

    VORNIK_ALWAYS_INLINE static void values(const dense_rows &s, const int32_t *node, int m,
                                            uint64_t *rng, void *plane, double *pv) {
        int ia, ib;
        draw_two(rng, m, &ia, &ib);
        plane_of(s, s.at(node[ia]), s.at(node[ib]), plane);
        project(s, node, m, plane, pv);
    }

    // The direction b - a, in single precision.
    VORNIK_ALWAYS_INLINE static void plane_of(const dense_rows &s, const float *a, const float *b,
                                              void *plane) {
        float *dir = static_cast<float *>(plane);
        for (int t = 0; t < s.d; ++t) dir[t] = b[t] - a[t];
    }

    VORNIK_ALWAYS_INLINE static double value(const dense_rows &s, const float *r,
                                             const void *plane) {
        return static_cast<double>(P::dotp(r, static_cast<const float *>(plane), s.d));
    }

    VORNIK_ALWAYS_INLINE static void project(const dense_rows &s, const int32_t *node, int m,
                                             const void *plane, double *pv) {
        const float *dir = static_cast<const float *>(plane);
        const int d = s.d;
        int i = 0;
        for (; i + 4 <= m; i += 4) {
            for (int r = 0; r < 4; ++r)
                if (i + PREFETCH_AHEAD + r < m) s.prefetch(s.at(node[i + PREFETCH_AHEAD + r]));
            const float *rows[4] = {s.at(node[i]), s.at(node[i + 1]), s.at(node[i + 2]),
                                    s.at(node[i + 3])};
            float out[4];
            P::dotp4(dir, rows, d, out);
            for (int r = 0; r < 4; ++r) pv[i + r] = static_cast<double>(out[r]);
        }
        for (; i < m; ++i) pv[i] = static_cast<double>(P::dotp(s.at(node[i]), dir, d));
    }
};

// ---------------------------------------------------------------------------
// Spaces
// ---------------------------------------------------------------------------

// Squared Euclidean distance on dense rows (knn_distance.h), hyperplane splits.
template <class P> struct euclidean_space {
    using store = dense_rows;
    using row = store::row;
    using split = hyperplane_split<P>;

    VORNIK_ALWAYS_INLINE static float dist(const store &s, row a, row b) {
        return P::sqd(a, b, s.d);
    }
    VORNIK_ALWAYS_INLINE static void dist4(const store &s, row a, const row *b, float *out,
                                           const float *bound) {
        P::sqd4(a, b, s.d, out, bound);
    }
    static bool finite(const store &s) { return s.all_finite(); }
};

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_SPACE_H
