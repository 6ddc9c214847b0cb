// knn_sparse.h - the kNN search's space for sparse rows: a CSR row store,
// merge-based measures and a sparse hyperplane split.
//
// A row is the run of its entries in the CSR arrays: strictly ascending
// columns and their float values. Every measure reads the entries the two
// rows share, in ascending column order, and nothing else of the pair; what
// the rows hold beyond that enters through a per-row norm computed once. So
// a distance costs a merge of the two column lists, never a dense row.
//
// Evaluation order, the same on every path (the merge's vector form only
// finds the shared columns; the arithmetic is the scalar loop below):
//   the terms of the shared columns, in ascending column order, summed one
//   after the other into one double, which starts at +0; every value is
//   widened to double before it is used, so a product of two values is
//   exact;
//   a row's norm: its entries' terms in ascending column order, summed the
//   same way;
//   the distance in double from the norms and the sum, as each measure
//   states, rounded once to float.
// The sum and the norms are symmetric in the two rows, so d(a, b) and d(b, a)
// have the same bits, and a row is at distance +0 from itself and from any
// row with the same entries.
#ifndef VORNIK_KNN_SPARSE_H
#define VORNIK_KNN_SPARSE_H

#include <cmath>
#include <cstdint>

#include "knn_distance.h"
#include "knn_select.h"
#include "knn_search.h"
#include "knn_space.h"
#include "vornik_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#define VORNIK_KNN_HAVE_AVX2_MERGE 1
#define VORNIK_TARGET_AVX2 __attribute__((target("avx2,popcnt")))
#endif

namespace vornik {
namespace knn {

// ---------------------------------------------------------------------------
// Row store
// ---------------------------------------------------------------------------

// Where a row starts in the column and value arrays, and its norm under the
// space's measure (0 when it has none): one record per row, so that finding
// a row costs one cache line.
struct csr_row_entry {
    int64_t start;
    double norm;
};

// n rows of a CSR matrix of d columns. Row i holds the entries
// [entries[i].start, entries[i + 1].start) of cols and vals (vals null: every
// entry counts as 1, the measure reads only the pattern).
struct csr_rows {
    const csr_row_entry *entries; // n + 1, the kernel's own
    const int32_t *cols;
    const float *vals;
    int n, d;
    int max_nnz; // entries of the longest row

    struct row {
        const int32_t *cols;
        const float *vals; // null: every entry 1
        int nnz;
        double norm;
    };

    VORNIK_ALWAYS_INLINE row at(int64_t i) const {
        const csr_row_entry e = entries[i];
        return row{cols + e.start, vals ? vals + e.start : nullptr,
                   static_cast<int>(entries[i + 1].start - e.start), e.norm};
    }
    // Functions that only prefetch are always inlined: a call is dropped.
    VORNIK_ALWAYS_INLINE void prefetch(const row &r) const {
        // The first lines of columns and values; the hardware prefetcher
        // follows longer rows.
        const int lines = r.nnz >= 128 ? 8 : (r.nnz + 15) / 16;
        for (int l = 0; l < lines; ++l) {
            __builtin_prefetch(r.cols + 16 * l);
            if (r.vals) __builtin_prefetch(r.vals + 16 * l);
        }
    }
    VORNIK_ALWAYS_INLINE void prefetch_id(int64_t i) const {
        __builtin_prefetch(entries + i);
        __builtin_prefetch(entries + i + 1);
    }
    VORNIK_ALWAYS_INLINE void fetch(const int32_t *ids, int count) const {
        for (int j = 0; j < count; ++j) prefetch(at(ids[j]));
    }
    bool all_finite() const {
        if (!vals) return true;
        const int64_t count = entries[n].start;
        for (int64_t j = 0; j < count; ++j)
            if (!std::isfinite(vals[j])) return false;
        return true;
    }
};

inline double value_at(const csr_rows::row &r, int p) {
    return r.vals ? static_cast<double>(r.vals[p]) : 1.0;
}

// A double as float, rounded to nearest; beyond float's range an infinity,
// by a defined path rather than an out-of-range conversion.
inline float narrow_distance(double v) {
    const double overflow = 0x1.ffffffp127; // halfway between FLT_MAX and 2^128
    if (v >= overflow) return INFINITY;
    return static_cast<float>(v);
}

// ---------------------------------------------------------------------------
// Shared columns
// ---------------------------------------------------------------------------

// The merges below find the positions (pa[q], pb[q]) of the columns two rows
// share, ascending, and hand them to the consumer in batches of at most
// MATCH_BATCH; a consumer that only counts gets no positions.
const int MATCH_BATCH = 64;
const int MATCH_PAD = 8; // room for one full vector store beyond a batch

struct match_batch {
    int count = 0;
    int32_t pa[MATCH_BATCH + MATCH_PAD];
    int32_t pb[MATCH_BATCH + MATCH_PAD];
};

// Portable merge: one step per entry, no branch on the comparison.
struct scalar_merge {
    template <class Consume>
    static inline void common(const int32_t *a, int na, const int32_t *b, int nb, match_batch &m,
                              Consume &consume) {
        merge_from(a, na, b, nb, 0, 0, m, consume);
    }

    template <class Consume>
    static inline void merge_from(const int32_t *a, int na, const int32_t *b, int nb, int i, int j,
                                  match_batch &m, Consume &consume) {
        while (i < na && j < nb) {
            const int32_t x = a[i], y = b[j];
            m.pa[m.count] = i;
            m.pb[m.count] = j;
            m.count += x == y;
            i += x <= y;
            j += y <= x;
            if (m.count == MATCH_BATCH) {
                consume(m);
                m.count = 0;
            }
        }
        if (m.count) consume(m);
        m.count = 0;
    }

    // The number of shared columns.
    static inline int count(const int32_t *a, int na, const int32_t *b, int nb) {
        return count_from(a, na, b, nb, 0, 0, 0);
    }

    static inline int count_from(const int32_t *a, int na, const int32_t *b, int nb, int i, int j,
                                 int c) {
        while (i < na && j < nb) {
            const int32_t x = a[i], y = b[j];
            c += x == y;
            i += x <= y;
            j += y <= x;
        }
        return c;
    }
};

#if defined(VORNIK_KNN_HAVE_AVX2_MERGE)
// The vector merges take blocks of 8 columns of each row and compare them all
// against all; the block whose last column is smaller moves on (both when
// they are equal), so every shared column is found in exactly one pair of
// blocks, and the pairs come in ascending column order. A row's last block
// may be short: its missing lanes hold a value no column takes (-1 in the
// first row, -2 in the second). Within a pair of blocks the shared columns
// are listed by the second row's lanes, ascending, each with the lane of the
// first row that holds it.

// lanes[m]: the lanes set in the 8-bit mask m, ascending, then zeros.
struct lane_table {
    int32_t lanes[256][8];
    constexpr lane_table() : lanes() {
        for (int m = 0; m < 256; ++m) {
            int c = 0;
            for (int l = 0; l < 8; ++l)
                if (m >> l & 1) lanes[m][c++] = l;
        }
    }
};
inline constexpr lane_table MERGE_LANES{};

const int32_t FIRST_PAD = -1, SECOND_PAD = -2;

// Where a merge of two column lists stands.
struct block_cursor {
    const int32_t *a, *b;
    int na, nb, i, j;
    bool open() const { return i < na && j < nb; }
    // The last column of each current block.
    int32_t last_a() const { return a[i + 7 < na ? i + 7 : na - 1]; }
    int32_t last_b() const { return b[j + 7 < nb ? j + 7 : nb - 1]; }
    void advance(int32_t la, int32_t lb) {
        i += 8 * (la <= lb);
        j += 8 * (lb <= la);
    }
};

// Shared by the vector merges: V::pair(A, B, &mask, &partner) gives the
// lanes of B's block that A's block also holds and, per lane, A's lane.
template <class V> struct block_merge {
    template <class Consume>
    VORNIK_ALWAYS_INLINE static void common(const int32_t *a, int na, const int32_t *b, int nb,
                                            match_batch &m, Consume &consume) {
        block_cursor c{a, b, na, nb, 0, 0};
        while (c.open()) {
            const int32_t la = c.last_a(), lb = c.last_b();
            V::positions(c, m);
            c.advance(la, lb);
            if (m.count > MATCH_BATCH - 8) {
                consume(m);
                m.count = 0;
            }
        }
        if (m.count) consume(m);
        m.count = 0;
    }

    VORNIK_ALWAYS_INLINE static int count(const int32_t *a, int na, const int32_t *b, int nb) {
        block_cursor c{a, b, na, nb, 0, 0};
        int shared = 0;
        while (c.open()) {
            const int32_t la = c.last_a(), lb = c.last_b();
            shared += V::shared(c);
            c.advance(la, lb);
        }
        return shared;
    }
};

// x86-64 AVX2: B's block in its eight cyclic placements (four rotations
// within each 128-bit half, and the halves swapped); each comparison
// carries the lane of B it compared with, marked by the sign bit.
struct avx2_blocks {
    VORNIK_TARGET_AVX2 static inline __m256i load8(const int32_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }

    // Block i of a list of n, short blocks padded.
    VORNIK_TARGET_AVX2 static inline __m256i block(const int32_t *p, int i, int n, int32_t pad) {
        if (i + 8 <= n) return load8(p + i);
        int32_t buf[8];
        for (int l = 0; l < 8; ++l) buf[l] = i + l < n ? p[i + l] : pad;
        return load8(buf);
    }

    // Per lane of A's block: the sign bit set and B's lane where B holds
    // the same column, else 0.
    VORNIK_TARGET_AVX2 static inline __m256i partners(__m256i A, __m256i B) {
        const __m256i sign = _mm256_set1_epi32(INT32_MIN);
        const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i swapped = _mm256_permute2x128_si256(lanes, lanes, 1);
        const __m256i S = _mm256_permute2x128_si256(B, B, 1);
#define VORNIK_PLACEMENT(X, L, R)                                                                  \
    _mm256_and_si256(_mm256_cmpeq_epi32(A, _mm256_shuffle_epi32(X, R)),                           \
                     _mm256_or_si256(sign, _mm256_shuffle_epi32(L, R)))
        __m256i p = _mm256_or_si256(VORNIK_PLACEMENT(B, lanes, _MM_SHUFFLE(3, 2, 1, 0)),
                                    VORNIK_PLACEMENT(B, lanes, _MM_SHUFFLE(0, 3, 2, 1)));
        p = _mm256_or_si256(p, VORNIK_PLACEMENT(B, lanes, _MM_SHUFFLE(1, 0, 3, 2)));
        p = _mm256_or_si256(p, VORNIK_PLACEMENT(B, lanes, _MM_SHUFFLE(2, 1, 0, 3)));
        p = _mm256_or_si256(p, VORNIK_PLACEMENT(S, swapped, _MM_SHUFFLE(3, 2, 1, 0)));
        p = _mm256_or_si256(p, VORNIK_PLACEMENT(S, swapped, _MM_SHUFFLE(0, 3, 2, 1)));
        p = _mm256_or_si256(p, VORNIK_PLACEMENT(S, swapped, _MM_SHUFFLE(1, 0, 3, 2)));
        p = _mm256_or_si256(p, VORNIK_PLACEMENT(S, swapped, _MM_SHUFFLE(2, 1, 0, 3)));
#undef VORNIK_PLACEMENT
        return p;
    }

    VORNIK_TARGET_AVX2 static inline unsigned mask_of(__m256i p) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(p)));
    }

    // Here A's lanes are listed (both lists ascend, so the k-th shared
    // column is the k-th on either side).
    VORNIK_TARGET_AVX2 static inline void positions(const block_cursor &c, match_batch &m) {
        const __m256i p =
            partners(block(c.a, c.i, c.na, FIRST_PAD), block(c.b, c.j, c.nb, SECOND_PAD));
        const unsigned mask = mask_of(p);
        const __m256i lanes = load8(MERGE_LANES.lanes[mask]);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(m.pa + m.count),
                            _mm256_add_epi32(lanes, _mm256_set1_epi32(c.i)));
        const __m256i other = _mm256_and_si256(_mm256_permutevar8x32_epi32(p, lanes),
                                               _mm256_set1_epi32(7));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(m.pb + m.count),
                            _mm256_add_epi32(other, _mm256_set1_epi32(c.j)));
        m.count += __builtin_popcount(mask);
    }

    VORNIK_TARGET_AVX2 static inline int shared(const block_cursor &c) {
        const __m256i p =
            partners(block(c.a, c.i, c.na, FIRST_PAD), block(c.b, c.j, c.nb, SECOND_PAD));
        return __builtin_popcount(mask_of(p));
    }
};

struct avx2_merge : block_merge<avx2_blocks> {};
#endif

// ---------------------------------------------------------------------------
// Measures
// ---------------------------------------------------------------------------

// Squared Euclidean distance: norm(x) = sum of x_t^2, the shared terms
// a_t * b_t, and d = max(+0, (norm(a) + norm(b)) - 2 * sum).
struct sparse_sqeuclidean {
    static const bool reads_values = true;
    static inline double term(double a, double b) { return a * b; }
    static inline double norm_term(double x) { return x * x; }
    static inline double finish(double na, double nb, double sum, int, int, int) {
        const double d = (na + nb) - 2.0 * sum;
        return d < 0.0 ? 0.0 : d; // rounding may leave a hair below zero; NaN stays NaN
    }
};

// Manhattan distance: norm(x) = sum of |x_t|, the shared terms
// |a_t - b_t| - (|a_t| + |b_t|), and d = max(+0, (norm(a) + norm(b)) + sum).
struct sparse_manhattan {
    static const bool reads_values = true;
    static inline double term(double a, double b) {
        return std::fabs(a - b) - (std::fabs(a) + std::fabs(b));
    }
    static inline double norm_term(double x) { return std::fabs(x); }
    static inline double finish(double na, double nb, double sum, int, int, int) {
        const double d = (na + nb) + sum;
        return d < 0.0 ? 0.0 : d;
    }
};

// Jaccard distance of the patterns: with s shared columns and u = nnz(a) +
// nnz(b) - s in either row, d = (u - s) / u, and 0 for two empty rows.
struct sparse_jaccard {
    static const bool reads_values = false;
    static inline double finish(double, double, double, int na, int nb, int shared) {
        const int64_t u = static_cast<int64_t>(na) + nb - shared;
        return u == 0 ? 0.0 : static_cast<double>(u - shared) / static_cast<double>(u);
    }
};

// A row's norm under measure M, in the stated order.
template <class M> double sparse_norm(const csr_rows::row &r) {
    double s = 0.0;
    for (int p = 0; p < r.nnz; ++p) s += M::norm_term(value_at(r, p));
    return s;
}

// The distance of two rows under measure M, the shared columns found by the
// merge G.
template <class M, class G, bool Values = M::reads_values> struct sparse_distance;

template <class M, class G> struct sparse_distance<M, G, true> {
    struct summing {
        const csr_rows::row &a, &b;
        double sum;
        VORNIK_ALWAYS_INLINE void operator()(const match_batch &m) {
            double s = sum;
            for (int q = 0; q < m.count; ++q)
                s += M::term(value_at(a, m.pa[q]), value_at(b, m.pb[q]));
            sum = s;
        }
    };

    VORNIK_ALWAYS_INLINE static float between(const csr_rows::row &a, const csr_rows::row &b) {
        match_batch m;
        summing s{a, b, 0.0};
        G::common(a.cols, a.nnz, b.cols, b.nnz, m, s);
        return narrow_distance(M::finish(a.norm, b.norm, s.sum, a.nnz, b.nnz, 0));
    }
};

template <class M, class G> struct sparse_distance<M, G, false> {
    VORNIK_ALWAYS_INLINE static float between(const csr_rows::row &a, const csr_rows::row &b) {
        const int shared = G::count(a.cols, a.nnz, b.cols, b.nnz);
        return narrow_distance(M::finish(0.0, 0.0, 0.0, a.nnz, b.nnz, shared));
    }
};

// ---------------------------------------------------------------------------
// Split rule
// ---------------------------------------------------------------------------

// The difference b - a of two sparse rows, in single precision like the
// dense split's direction, as a row of its own: every column either row
// holds, ascending, except those where the difference is zero. cols and vals
// have room for a.nnz + b.nnz entries.
inline csr_rows::row sparse_difference(const csr_rows::row &a, const csr_rows::row &b,
                                       int32_t *cols, float *vals) {
    int i = 0, j = 0, c = 0;
    while (i < a.nnz || j < b.nnz) {
        const int32_t x = i < a.nnz ? a.cols[i] : INT32_MAX;
        const int32_t y = j < b.nnz ? b.cols[j] : INT32_MAX;
        const int32_t t = x < y ? x : y;
        const float va = x == t ? static_cast<float>(value_at(a, i++)) : 0.0f;
        const float vb = y == t ? static_cast<float>(value_at(b, j++)) : 0.0f;
        const float v = vb - va;
        if (v == 0.0f) continue;
        cols[c] = t;
        vals[c] = v;
        ++c;
    }
    return csr_rows::row{cols, vals, c, 0.0};
}

// Sparse rows: the projections onto the difference of two random points of
// the node (neither normalised nor offset), each the sum of x_t * dir_t over
// the shared columns in the stated order, kept in double.
template <class G> struct sparse_hyperplane_split {
    static uint64_t plane_bytes(const csr_rows &s) {
        return 2 * static_cast<uint64_t>(s.max_nnz) * (sizeof(int32_t) + sizeof(float));
    }

    struct projecting {
        const csr_rows::row &x, &dir;
        double sum;
        VORNIK_ALWAYS_INLINE void operator()(const match_batch &m) {
            double s = sum;
            for (int q = 0; q < m.count; ++q)
                s += value_at(x, m.pa[q]) * static_cast<double>(dir.vals[m.pb[q]]);
            sum = s;
        }
    };

    VORNIK_ALWAYS_INLINE static double project(const csr_rows::row &x, const csr_rows::row &dir) {
        match_batch m;
        projecting p{x, dir, 0.0};
        G::common(x.cols, x.nnz, dir.cols, dir.nnz, m, p);
        return p.sum;
    }

    VORNIK_ALWAYS_INLINE static void values(const csr_rows &s, const int32_t *node, int m,
                                            uint64_t *rng, void *plane, double *pv) {
        int ia, ib;
        draw_two(rng, m, &ia, &ib);
        int32_t *cols = static_cast<int32_t *>(plane);
        float *vals = reinterpret_cast<float *>(cols + 2 * static_cast<int64_t>(s.max_nnz));
        const csr_rows::row dir = sparse_difference(s.at(node[ia]), s.at(node[ib]), cols, vals);
        // Two stages ahead: a row's record, then the row it points to.
        for (int i = 0; i < m; ++i) {
            if (i + 2 * PREFETCH_AHEAD < m) s.prefetch_id(node[i + 2 * PREFETCH_AHEAD]);
            if (i + PREFETCH_AHEAD < m) s.prefetch(s.at(node[i + PREFETCH_AHEAD]));
            pv[i] = project(s.at(node[i]), dir);
        }
    }
};

// ---------------------------------------------------------------------------
// Paths and measures
// ---------------------------------------------------------------------------

// The merges a CPU may run: every one finds the same shared columns, so the
// results are the same bits on every path.
enum merge_path { MERGE_SCALAR = 0, MERGE_AVX2 = 1 };

bool merge_path_available(merge_path p);
merge_path best_merge_path(); // resolved once per kernel call

// Whether m names a measure of sparse rows.
bool sparse_metric_valid(const mirnak_metric &m);

// The ops of measure kind on a merge path (one the CPU runs).
const space_ops *sparse_ops(merge_path path, int kind);

// mirnak_knn_descent_sparse_f32 on a given merge path.
int sparse_search(merge_path path, const mirnak_sparse_rows *rows, const mirnak_metric *metric,
                  const mirnak_knn_run *run, int32_t *knn_idx, float *knn_dist, int n_threads,
                  mirnak_control *control);

// mirnak_knn_query_sparse_f32 on a given merge path.
int sparse_query(merge_path path, const mirnak_sparse_rows *train,
                 const mirnak_sparse_rows *queries, const mirnak_metric *metric, int k,
                 int32_t *knn_idx, float *knn_dist, int n_threads);

// ---------------------------------------------------------------------------
// Spaces
// ---------------------------------------------------------------------------

template <class M, class G> struct sparse_space {
    using store = csr_rows;
    using row = store::row;
    using split = sparse_hyperplane_split<G>;

    VORNIK_ALWAYS_INLINE static float dist(const store &, const row &a, const row &b) {
        return sparse_distance<M, G>::between(a, b);
    }
    // No early stop: the distance is known only once the merge is done.
    VORNIK_ALWAYS_INLINE static void dist4(const store &, const row &a, const row *b, float *out,
                                           const float *) {
        for (int r = 0; r < 4; ++r) out[r] = sparse_distance<M, G>::between(a, b[r]);
    }
    static bool finite(const store &s) { return s.all_finite(); }
};

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_SPARSE_H
