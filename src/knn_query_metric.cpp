// knn_query_metric.cpp - the neighbour query in the other measures: dense
// rows in the Manhattan, Chebyshev and Minkowski distances, bit rows in the
// Hamming, Jaccard and Dice distances, on the walk and forest the squared
// Euclidean query runs (knn_query_walk.h). Only the space differs.
#include "vornik_kernels.h"

#include <cstdint>

#include "knn_bits.h"
#include "knn_bits_distance.h"
#include "knn_metric.h"
#include "knn_metric_distance.h"
#include "knn_query.h"
#include "knn_query_walk.h"

namespace {

using namespace vornik::knn;

// The row loops of the four dense measures on one lane order, and the
// query PREFIX_metric_query that runs the one at family place `at`
// (manhattan, chebyshev, integral power, real power).
#define VORNIK_DEFINE_METRIC_QUERIES(PREFIX, LANES, ATTR)                                          \
    using PREFIX##_manhattan = dense_metric_space<LANES, manhattan_measure>;                       \
    using PREFIX##_chebyshev = dense_metric_space<LANES, chebyshev_measure>;                       \
    using PREFIX##_integer_power = dense_metric_space<LANES, integer_power_measure>;               \
    using PREFIX##_real_power = dense_metric_space<LANES, real_power_measure>;                     \
    VORNIK_DEFINE_QUERY_ROWS(PREFIX##_manhattan_rows, space_rows<PREFIX##_manhattan>, ATTR)        \
    VORNIK_DEFINE_QUERY_ROWS(PREFIX##_chebyshev_rows, space_rows<PREFIX##_chebyshev>, ATTR)        \
    VORNIK_DEFINE_QUERY_ROWS(PREFIX##_integer_power_rows, space_rows<PREFIX##_integer_power>,      \
                             ATTR)                                                                 \
    VORNIK_DEFINE_QUERY_ROWS(PREFIX##_real_power_rows, space_rows<PREFIX##_real_power>, ATTR)      \
    int PREFIX##_metric_query(int at, const measured_rows &tr, const measured_rows &qs,            \
                              const search_index &ix, const search_settings &s, int32_t *idx,      \
                              float *dist, int n_threads, mirnak_control *ctl) {                   \
        switch (at) {                                                                              \
        case 0:                                                                                    \
            return query_in<PREFIX##_manhattan>(tr, qs, ix, s, idx, dist, n_threads, ctl,          \
                                                PREFIX##_manhattan_rows);                          \
        case 1:                                                                                    \
            return query_in<PREFIX##_chebyshev>(tr, qs, ix, s, idx, dist, n_threads, ctl,          \
                                                PREFIX##_chebyshev_rows);                          \
        case 2:                                                                                    \
            return query_in<PREFIX##_integer_power>(tr, qs, ix, s, idx, dist, n_threads, ctl,      \
                                                    PREFIX##_integer_power_rows);                  \
        default:                                                                                   \
            return query_in<PREFIX##_real_power>(tr, qs, ix, s, idx, dist, n_threads, ctl,         \
                                                 PREFIX##_real_power_rows);                        \
        }                                                                                          \
    }

VORNIK_DEFINE_METRIC_QUERIES(scalar, scalar_lanes, )
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
VORNIK_DEFINE_METRIC_QUERIES(fma, fma_lanes, VORNIK_TARGET_FMA)
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
VORNIK_DEFINE_METRIC_QUERIES(neon, neon_lanes, )
#endif

// The row loops of the three binary measures on one counting path, and the
// query PREFIX_bits_query that runs the one at place `at` (hamming,
// jaccard, dice).
#define VORNIK_DEFINE_BITS_QUERIES(PREFIX, COUNT, ATTR)                                            \
    using PREFIX##_hamming = bits_space<COUNT, hamming_measure>;                                   \
    using PREFIX##_jaccard = bits_space<COUNT, jaccard_measure>;                                   \
    using PREFIX##_dice = bits_space<COUNT, dice_measure>;                                         \
    VORNIK_DEFINE_QUERY_ROWS(PREFIX##_hamming_rows, space_rows<PREFIX##_hamming>, ATTR)            \
    VORNIK_DEFINE_QUERY_ROWS(PREFIX##_jaccard_rows, space_rows<PREFIX##_jaccard>, ATTR)            \
    VORNIK_DEFINE_QUERY_ROWS(PREFIX##_dice_rows, space_rows<PREFIX##_dice>, ATTR)                  \
    int PREFIX##_bits_query(int at, const bit_rows &tr, const bit_rows &qs,                        \
                            const search_index &ix, const search_settings &s, int32_t *idx,        \
                            float *dist, int n_threads, mirnak_control *ctl) {                     \
        switch (at) {                                                                              \
        case 0:                                                                                    \
            return query_in<PREFIX##_hamming>(tr, qs, ix, s, idx, dist, n_threads, ctl,            \
                                              PREFIX##_hamming_rows);                              \
        case 1:                                                                                    \
            return query_in<PREFIX##_jaccard>(tr, qs, ix, s, idx, dist, n_threads, ctl,            \
                                              PREFIX##_jaccard_rows);                              \
        default:                                                                                   \
            return query_in<PREFIX##_dice>(tr, qs, ix, s, idx, dist, n_threads, ctl,               \
                                           PREFIX##_dice_rows);                                    \
        }                                                                                          \
    }

VORNIK_DEFINE_BITS_QUERIES(portable, portable_bits, )
#if defined(VORNIK_KNN_HAVE_POPCNT_PATH)
VORNIK_DEFINE_BITS_QUERIES(popcnt, popcnt_bits, VORNIK_TARGET_POPCNT)
VORNIK_DEFINE_BITS_QUERIES(vpopcnt, vpopcnt_bits, VORNIK_TARGET_VPOPCNT)
#endif
#if defined(__aarch64__)
VORNIK_DEFINE_BITS_QUERIES(neon, neon_bits, )
#endif

// What both entries check beyond the rows: the records, the outputs and the
// index, for n training points and a query of n_queries rows.
bool query_records_valid(const mirnak_search_index *index, const mirnak_query_settings *settings,
                         const mirnak_metric *metric, int n, int n_queries, const int32_t *idx,
                         const float *dist, search_index *ix, search_settings *s) {
    if (!index || !settings || !metric || !idx || !dist || n <= 0 || n_queries <= 0) return false;
    *ix = {n, index->width, index->graph, index->n_pivots, index->pivots, index->forest};
    *s = {settings->k, settings->beam, settings->n_entries};
    return search_index_valid(*ix, s->k);
}

} // namespace

int vornik::knn::metric_query_on_path(dist_path path, const mirnak_dense_rows &train,
                                      const mirnak_dense_rows &queries, const mirnak_metric &metric,
                                      const search_index &ix, const search_settings &s,
                                      int32_t *idx, float *dist, int n_threads,
                                      mirnak_control *ctl) {
    const measured_rows tr = measured(train, metric), qs = measured(queries, metric);
    const int at = metric.kind == MIRNAK_MANHATTAN   ? 0
                   : metric.kind == MIRNAK_CHEBYSHEV ? 1
                   : tr.integer_p > 0                ? 2
                                                     : 3;
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    if (path == DIST_FMA) return fma_metric_query(at, tr, qs, ix, s, idx, dist, n_threads, ctl);
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    if (path == DIST_NEON) return neon_metric_query(at, tr, qs, ix, s, idx, dist, n_threads, ctl);
#endif
    (void)path;
    return scalar_metric_query(at, tr, qs, ix, s, idx, dist, n_threads, ctl);
}

int vornik::knn::bits_query_on_path(bits_path path, const mirnak_bit_rows &train,
                                    const mirnak_bit_rows &queries, const mirnak_metric &metric,
                                    const search_index &ix, const search_settings &s, int32_t *idx,
                                    float *dist, int n_threads, mirnak_control *ctl) {
    const bit_rows tr = {train.words, train.n_rows, train.n_words};
    const bit_rows qs = {queries.words, queries.n_rows, queries.n_words};
    const int at = metric.kind - MIRNAK_HAMMING;
#if defined(VORNIK_KNN_HAVE_POPCNT_PATH)
    if (path == BITS_VPOPCNT)
        return vpopcnt_bits_query(at, tr, qs, ix, s, idx, dist, n_threads, ctl);
    if (path == BITS_POPCNT) return popcnt_bits_query(at, tr, qs, ix, s, idx, dist, n_threads, ctl);
#endif
#if defined(__aarch64__)
    if (path == BITS_NEON) return neon_bits_query(at, tr, qs, ix, s, idx, dist, n_threads, ctl);
#endif
    (void)path;
    return portable_bits_query(at, tr, qs, ix, s, idx, dist, n_threads, ctl);
}

extern "C" int
mirnak_knn_query_metric_f32(const mirnak_dense_rows *train, const mirnak_search_index *index,
                            const mirnak_dense_rows *queries, const mirnak_metric *metric,
                            const mirnak_query_settings *settings, int32_t *knn_idx,
                            float *knn_dist, int n_threads, mirnak_control *control) {
    if (!train || !queries || !train->X || !queries->X || train->n_dims <= 0 ||
        queries->n_dims != train->n_dims)
        return MIRNAK_INVALID;
    search_index ix;
    search_settings s;
    if (!query_records_valid(index, settings, metric, train->n_rows, queries->n_rows, knn_idx,
                             knn_dist, &ix, &s) ||
        !dense_metric_valid(*metric))
        return MIRNAK_INVALID;
    return metric_query_on_path(best_dist_path(), *train, *queries, *metric, ix, s, knn_idx,
                                knn_dist, n_threads, control);
}

extern "C" int mirnak_knn_query_bits_u64(const mirnak_bit_rows *train,
                                         const mirnak_search_index *index,
                                         const mirnak_bit_rows *queries,
                                         const mirnak_metric *metric,
                                         const mirnak_query_settings *settings, int32_t *knn_idx,
                                         float *knn_dist, int n_threads, mirnak_control *control) {
    if (!train || !queries || !train->words || !queries->words || train->n_words <= 0 ||
        queries->n_words != train->n_words)
        return MIRNAK_INVALID;
    search_index ix;
    search_settings s;
    if (!query_records_valid(index, settings, metric, train->n_rows, queries->n_rows, knn_idx,
                             knn_dist, &ix, &s) ||
        !bits_metric_valid(*metric))
        return MIRNAK_INVALID;
    return bits_query_on_path(best_bits_path(), *train, *queries, *metric, ix, s, knn_idx, knn_dist,
                              n_threads, control);
}
