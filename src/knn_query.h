// knn_query.h - the neighbour query over a fitted search index, for the
// exported kernels and their tests.
//
// A query row is answered from its own bits, the training rows and the index
// (search graph, pivots, forest) and the search settings alone: the leaves it
// descends to and its distances to every pivot pick the entry points, and a
// best-first walk over the graph refines a sorted search list
// (knn_query_walk.h). No other query row, no thread and no order of work
// takes part, so the answer is the same alone, in any batch and on any
// number of threads.
#ifndef VORNIK_KNN_QUERY_H
#define VORNIK_KNN_QUERY_H

#include <cstdint>

#include "knn_bits.h"
#include "knn_distance.h"
#include "vornik_kernels.h"

namespace vornik {
namespace knn {

// The training side of a query apart from its rows: n training points, a
// search graph of width ids per point (-1 for none), the pivots measured
// against every query, and a forest of trees over the points (n_trees 0:
// none).
struct search_index {
    int n;
    int width;
    const int32_t *graph; // n x width
    int n_pivots;
    const int32_t *pivots;
    mirnak_search_forest forest;
};

// How hard each query searches: the search list keeps the beam best
// candidates found, and the walk starts from the forest's leaves and the
// n_entries nearest entries.
struct search_settings {
    int k;
    int beam;
    int n_entries;
};

// Dense queries and where their answers go: row q of idx and dist holds k
// ids and squared distances, ascending by distance, ties by id.
struct query_batch {
    int n_queries;
    const float *Q;
    int32_t *idx;
    float *dist;
};

// Whether the index is valid for a search of k neighbours, ids included:
// the sizes, graph ids in [-1, n), pivot ids in [0, n), and a forest of
// trees over the n points (each order a list of point ids, each split a pair
// of point ids or the empty (-1, -1)).
bool search_index_valid(const search_index &ix, int k);

// The settings as the search uses them: beam at least k, entries in
// [1, min(beam, n_pivots)].
search_settings effective_settings(const search_index &ix, const search_settings &s);

// The search of dense rows by squared Euclidean distance on one distance
// path (one the CPU runs), for an index that search_index_valid accepted and
// training rows X (ix.n x d). Returns 0, -2 when scratch memory could not be
// had (outputs untouched), or MIRNAK_STOPPED when ctl asked (every row then
// holds its answer or is untouched). ctl counts the rows answered; null:
// none.
int knn_query_on_path(dist_path path, const float *X, int d, const search_index &ix,
                      const search_settings &s, const query_batch &b, int n_threads,
                      mirnak_control *ctl = nullptr);

// The query of dense rows in a measure of the dense family
// (mirnak_knn_query_metric_f32) on one distance path, for a valid measure
// and an index that search_index_valid accepted; returns as
// knn_query_on_path does.
int metric_query_on_path(dist_path path, const mirnak_dense_rows &train,
                         const mirnak_dense_rows &queries, const mirnak_metric &metric,
                         const search_index &ix, const search_settings &s, int32_t *idx,
                         float *dist, int n_threads, mirnak_control *ctl = nullptr);

// The query of bit rows in a binary measure (mirnak_knn_query_bits_u64) on
// one counting path, likewise.
int bits_query_on_path(bits_path path, const mirnak_bit_rows &train, const mirnak_bit_rows &queries,
                       const mirnak_metric &metric, const search_index &ix,
                       const search_settings &s, int32_t *idx, float *dist, int n_threads,
                       mirnak_control *ctl = nullptr);

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_QUERY_H
