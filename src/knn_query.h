// knn_query.h - the neighbour query over a fitted search graph, for the
// exported kernel and its tests.
//
// A query row is answered from its own bits, the training matrix, the graph,
// the pivots and the search settings alone: its distances to every pivot pick
// the entry points, and a best-first walk over the graph refines a sorted
// search list. No other query row, no thread and no order of work takes part,
// so the answer is the same alone, in any batch and on any number of threads.
#ifndef VORNIK_KNN_QUERY_H
#define VORNIK_KNN_QUERY_H

#include <cstdint>

#include "knn_distance.h"
#include "vornik_kernels.h"

namespace vornik {
namespace knn {

// The training side of a query: n points of d floats, a search graph of
// width ids per point (-1 for none) and the pivots measured against every
// query.
struct search_index {
    int n, d;
    const float *X;
    int width;
    const int32_t *graph; // n x width
    int n_pivots;
    const int32_t *pivots;
};

// How hard each query searches: the search list keeps the beam best
// candidates found, and the walk starts from the n_entries nearest pivots.
struct search_settings {
    int k;
    int beam;
    int n_entries;
};

// The queries and where their answers go: row q of idx and dist holds k ids
// and squared distances, ascending by distance, ties by id.
struct query_batch {
    int n_queries;
    const float *Q;
    int32_t *idx;
    float *dist;
};

// Whether the arguments describe a valid search, ids included.
bool query_args_valid(const search_index &ix, const search_settings &s, const query_batch &b);

// The settings as the search uses them: beam at least k, entries in
// [1, min(beam, n_pivots)].
search_settings effective_settings(const search_index &ix, const search_settings &s);

// The search on one distance path (one the CPU runs), for arguments that
// query_args_valid accepted. Returns 0, -2 when scratch memory could not be
// had (outputs untouched), or MIRNAK_STOPPED when ctl asked (every row then
// holds its answer or is untouched). ctl counts the rows answered; null:
// none.
int knn_query_on_path(dist_path path, const search_index &ix, const search_settings &s,
                      const query_batch &b, int n_threads, mirnak_control *ctl = nullptr);

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_QUERY_H
