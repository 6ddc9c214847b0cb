// knn_internal.h - the routines under the kNN search, for the kernel and its
// tests: the neighbour heap (knn_heap.h), the distance kernels
// (knn_distance.h) and the draws and selection of the forest (knn_select.h).
#ifndef VORNIK_KNN_INTERNAL_H
#define VORNIK_KNN_INTERNAL_H

#include <cstdint>

#include "knn_distance.h"
#include "knn_heap.h"
#include "knn_select.h"
#include "vornik_kernels.h"

namespace vornik {
namespace knn {

// Tree-worker heaps held at once: when there are more tree workers than
// threads, batches of workers grow up to about this many bytes of heaps, so
// that any number of workers is folded into the output at bounded memory.
const uint64_t TREE_BATCH_BYTES = uint64_t(64) << 20;

// One search, in the exported kernel's terms: n_cells points of n_dims
// floats (X), their k nearest asked for, the forest's and the refinement's
// settings and seed, and the caller's kNN arrays (n_cells x k each).
struct descent_problem {
    int n_cells;
    int n_dims;
    int k;
    const float *X;
    int n_trees;
    int n_iters;
    int leaf_size;
    uint64_t seed;
    int32_t *knn_idx;
    float *knn_dist;
};

// The kernel on a given distance path (one the CPU runs) and with a given
// batch size for tree-worker heaps; the exported entry uses the fastest path
// and TREE_BATCH_BYTES. Results are the same on every path and for every
// batch size.
int knn_descent_on_path(dist_path path, const descent_problem &p, int n_threads,
                        uint64_t tree_batch_bytes = TREE_BATCH_BYTES);

// How one call runs: the tree workers, which fix the result (below 1: one
// per tree; above n_trees: n_trees), the threads that run all the work (0 or
// less: every online processor; capped), the caller's control block (may be
// null) and the batch size for tree-worker heaps.
struct knn_schedule {
    int tree_workers;
    int threads;
    mirnak_control *ctl;
    uint64_t tree_batch_bytes;
};

// The schedule of the exported kernel for a thread count: as many tree
// workers as threads.
knn_schedule schedule_for_threads(int n_threads);

int knn_descent_scheduled(dist_path path, const descent_problem &p, const knn_schedule &schedule);

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_INTERNAL_H
