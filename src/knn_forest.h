// knn_forest.h - the search forest of the neighbour query: trees of random
// splits over the training points, built once with the search index, each
// query descended to one leaf per tree.
//
// A tree splits a node of m points at the median of their split values (a
// split drawn at two random points of the node, see search_rows.h) by rank:
// the left child gets floor(m / 2) points, the right one the rest, and nodes
// of at most leaf points are leaves. So the shape of a tree follows from n and
// leaf alone: node p (the root is 0) has the children 2p + 1 and 2p + 2, and a
// descent knows each node's range of the tree's point order without storing
// it. A tree stores its point order (leaf after leaf) and, per split node, the
// two points its split was drawn at and its threshold; slots of the numbering
// that hold no split stay (-1, -1, 0).
#ifndef VORNIK_KNN_FOREST_H
#define VORNIK_KNN_FOREST_H

#include <cstdint>
#include <cstring>

#include "caller_ids.h"
#include "control.h"
#include "knn_distance.h"
#include "knn_select.h"
#include "knn_space.h"
#include "vornik_kernels.h"

namespace vornik {
namespace knn {

// Split slots per tree of n points with leaves of at most leaf points: the
// largest node at depth t holds ceil(n / 2^t) points, so the splits fill the
// depths up to the first whose largest node fits a leaf.
inline int64_t forest_nodes(int n, int leaf) {
    int levels = 0;
    for (int64_t largest = n; largest > leaf; largest = (largest + 1) / 2) ++levels;
    return (int64_t(1) << levels) - 1;
}

// The seed of tree t: every tree has a stream of its own, so which thread
// builds it changes nothing.
inline uint64_t tree_seed(uint64_t seed, int t) {
    return splitmix64_mix(seed ^ (static_cast<uint64_t>(t) + 1u) * 0xD1B54A32D192ED03ULL);
}

// One tree being built: its point order in private scratch (the output is
// written when the tree is done, and never read back), its split slots in
// the output, the node's split values and the policy's split scratch.
template <class Rows> struct tree_build {
    const Rows *rows;
    int leaf;
    int32_t *order;    // n, private
    int32_t *splits;   // 2 per slot, output
    float *thresholds; // 1 per slot, output
    double *values;    // n
    void *split;       // the policy's split scratch
    uint64_t rng;
    const mirnak_control *ctl;

    // Splits the node p of positions [lo, hi) and its descendants; false
    // when a stop ended the tree.
    bool grow(int64_t p, int lo, int hi) {
        if (stop_requested(ctl)) return false;
        const int m = hi - lo;
        if (m <= leaf) return true;
        int ia, ib;
        draw_two(&rng, m, &ia, &ib);
        const int32_t a = order[lo + ia], b = order[lo + ib];
        rows->make_split(a, b, split);
        rows->split_values(order + lo, m, split, values);
        const int mid = m / 2;
        qselect(values, order + lo, m, mid, &rng);
        splits[2 * p] = a;
        splits[2 * p + 1] = b;
        // A row goes left when its value is below the threshold; the float
        // keeps the forest small (a dense value is a widened float: exact).
        thresholds[p] = static_cast<float>(values[mid]);
        return grow(2 * p + 1, lo, lo + mid) && grow(2 * p + 2, lo + mid, hi);
    }
};

// The leaf of tree t that row r descends to, as the range [*lo, *hi) of the
// tree's point order. The split ids are the caller's: one out of range (only
// another thread's write during the call makes one) sends the row right.
template <class Rows>
VORNIK_ALWAYS_INLINE void descend(const Rows &rows, const mirnak_search_forest &f, int n,
                                  int64_t nodes, int t, typename Rows::row r, void *split, int *lo,
                                  int *hi) {
    const int32_t *sp = f.splits + static_cast<int64_t>(t) * nodes * 2;
    const float *th = f.thresholds + static_cast<int64_t>(t) * nodes;
    int64_t p = 0;
    int l = 0, h = n;
    while (h - l > f.leaf_size) {
        const int mid = l + (h - l) / 2;
        const int32_t a = load_id(&sp[2 * p]), b = load_id(&sp[2 * p + 1]);
        bool left = false;
        if (id_below(a, n) && id_below(b, n)) {
            rows.make_split(a, b, split);
            left = rows.split_value(r, split) < static_cast<double>(th[p]);
        }
        if (left) {
            h = mid;
            p = 2 * p + 1;
        } else {
            l = mid;
            p = 2 * p + 2;
        }
    }
    *lo = l;
    *hi = h;
}

// ---------------------------------------------------------------------------
// The build, on any policy
// ---------------------------------------------------------------------------

struct forest_thread;

// A forest as the workers build it: the training rows' store (behind a
// pointer the policy's tree builder casts back), the settings and the
// caller's outputs.
struct forest_job {
    const void *store;
    int n;
    mirnak_forest_settings settings;
    int64_t nodes; // split slots per tree
    int32_t *order;
    int32_t *splits;
    float *thresholds;
    mirnak_control *ctl;
    void (*build_tree)(const forest_thread &w, int t); // the policy's, on one path
};

// One thread: its scratch, reused by all the trees it claims.
struct forest_thread {
    const forest_job *job;
    int32_t *order; // n
    double *values; // n
    void *split;    // the policy's split scratch
};

// Builds tree t of the job from the rows of policy Rows.
template <class Rows> void build_tree(const forest_thread &w, int t) {
    const forest_job &j = *w.job;
    const typename Rows::store &st = *static_cast<const typename Rows::store *>(j.store);
    const Rows rows = {st, st};
    int32_t *splits = j.splits + static_cast<int64_t>(t) * j.nodes * 2;
    float *thresholds = j.thresholds + static_cast<int64_t>(t) * j.nodes;
    for (int64_t s = 0; s < j.nodes; ++s) {
        splits[2 * s] = splits[2 * s + 1] = -1;
        thresholds[s] = 0.0f;
    }
    for (int i = 0; i < j.n; ++i) w.order[i] = i;
    tree_build<Rows> b = {
        &rows,   j.settings.leaf_size,          w.order, splits, thresholds, w.values,
        w.split, tree_seed(j.settings.seed, t), j.ctl};
    if (!b.grow(0, 0, j.n)) return;
    std::memcpy(j.order + static_cast<int64_t>(t) * j.n, w.order,
                sizeof(int32_t) * static_cast<size_t>(j.n));
    add_progress(j.ctl, 1);
}

// The tree builder NAME of policy ROWS, compiled with ATTR (the target of
// its distance path), everything inlined into it.
#define VORNIK_DEFINE_FOREST_TREES(NAME, ROWS, ATTR)                                               \
    ATTR __attribute__((flatten)) void NAME(const vornik::knn::forest_thread &w, int t) {          \
        vornik::knn::build_tree<ROWS>(w, t);                                                       \
    }

// Builds the forest of the n training points in store (the store of a
// policy whose tree builder is build_tree, split_bytes of scratch per split) into order,
// splits and thresholds: the checks and the run every exported build shares.
// Returns 0, -1 for invalid settings or outputs, -2 when memory runs out
// (outputs untouched), or MIRNAK_STOPPED (the forest is then unfinished).
int build_forest(const void *store, int n, uint64_t split_bytes,
                 void (*build_tree)(const forest_thread &, int),
                 const mirnak_forest_settings &settings, int32_t *order, int32_t *splits,
                 float *thresholds, int n_threads, mirnak_control *ctl);

// The search forest of dense rows (mirnak_knn_search_forest_f32) on one
// distance path.
int dense_forest_on_path(dist_path path, const mirnak_dense_rows &train,
                         const mirnak_forest_settings &settings, int32_t *order, int32_t *splits,
                         float *thresholds, int n_threads, mirnak_control *ctl);

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_FOREST_H
