// knn_internal.h - the routines under the kNN search, for the kernel and its
// tests: the neighbour heap (knn_heap.h), the distance kernels
// (knn_distance.h), the draws and selection of the forest (knn_select.h),
// the generic search (knn_search.h) and its squared Euclidean instance.
#ifndef VORNIK_KNN_INTERNAL_H
#define VORNIK_KNN_INTERNAL_H

#include <cstdint>

#include "knn_distance.h"
#include "knn_heap.h"
#include "knn_search.h"
#include "knn_select.h"
#include "vornik_kernels.h"

namespace vornik {
namespace knn {

// The squared Euclidean search of dense rows on a given distance path (one
// the CPU runs) and with a given batch size for tree-worker heaps; the
// exported entries use the fastest path and TREE_BATCH_BYTES. Results are the
// same on every path and for every batch size.
int knn_descent_on_path(dist_path path, const dense_rows &rows, const search_problem &p,
                        int n_threads, uint64_t tree_batch_bytes = TREE_BATCH_BYTES);

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_INTERNAL_H
