// knn_heap.h - the bounded neighbour heap of the kNN search.
//
// Every row of a heap holds the k best candidates offered to one point, as a
// max-heap on the squared distance over three parallel arrays: distances,
// ids and new-flags. The root is the admission threshold. The tie-breaks of
// hpush are fixed, since results are reproducible bit for bit.
#ifndef VORNIK_KNN_HEAP_H
#define VORNIK_KNN_HEAP_H

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vornik {
namespace knn {

// Distance of a slot that no candidate reached (bit pattern 0x7149F2CA).
const float SENTINEL_DIST = 1e30f;

// One row of a neighbour heap: k entries whose distance, id and flag move
// together.
struct heap_row {
    float *dist;
    int32_t *ids;
    uint8_t *flags;
    int k;
};

// A neighbour heap of n rows of k entries each, row i at offset i * k of
// each array.
struct neighbour_heap {
    float *dist;
    int32_t *ids;
    uint8_t *flags;
    int k;

    heap_row row(int64_t i) const {
        const int64_t o = i * k;
        return heap_row{dist + o, ids + o, flags + o, k};
    }
};

// Fills count entries with sentinels: distance 1e30, id -1, flag 1. All
// sentinels are equal, so a row of them is a heap.
inline void fill_sentinels(float *dist, int32_t *ids, uint8_t *flags, uint64_t count) {
    for (uint64_t j = 0; j < count; ++j) {
        dist[j] = SENTINEL_DIST;
        ids[j] = -1;
        flags[j] = 1;
    }
}

// Whether id c occurs among the k ids of a row.
inline bool row_holds(const int32_t *ids, int k, int32_t c) {
    int j = 0;
#if defined(__SSE2__)
    const __m128i cc = _mm_set1_epi32(c);
    for (; j + 4 <= k; j += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(ids + j));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(v, cc))) return true;
    }
#endif
    for (; j < k; ++j)
        if (ids[j] == c) return true;
    return false;
}

// Offers candidate c at squared distance dc to a row. The root is the
// admission threshold: a distance equal to it is refused, and a candidate
// already in the row is refused whatever its distance. An inserted entry
// carries flag 1. Returns 1 when inserted.
inline int hpush(heap_row r, int32_t c, float dc) {
    float *hd = r.dist;
    int32_t *hi = r.ids;
    uint8_t *hf = r.flags;
    const int k = r.k;
    if (dc >= hd[0]) return 0; // false for NaN: a NaN is not refused here
    if (row_holds(hi, k, c)) return 0;
    hd[0] = dc;
    hi[0] = c;
    hf[0] = 1;
    int i = 0;
    for (;;) {
        const int l = 2 * i + 1, rr = 2 * i + 2;
        int m = i;
        if (l < k && hd[l] > hd[m]) m = l;
        if (rr < k && hd[rr] > hd[m]) m = rr; // strict: of two equal children the left wins
        if (m == i) break;
        const float td = hd[i];
        const int32_t ti = hi[i];
        const uint8_t tf = hf[i];
        hd[i] = hd[m];
        hi[i] = hi[m];
        hf[i] = hf[m];
        hd[m] = td;
        hi[m] = ti;
        hf[m] = tf;
        i = m;
    }
    return 1;
}

// The same offer to the row given as its three arrays.
inline int hpush(float *hd, int32_t *hi, uint8_t *hf, int k, int32_t c, float dc) {
    return hpush(heap_row{hd, hi, hf, k}, c, dc);
}

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_HEAP_H
