// knn_forest.cpp - the search forest over training rows: the build every
// policy shares, and the exported builds for dense rows and bit rows.
//
// Every tree draws from a stream of its own and is built by one thread into
// private scratch, so threads claim whole trees as they come free and the
// forest's bits never depend on the number of threads.
#include "knn_forest.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "control.h"
#include "kernel_support.h"
#include "knn_bits.h"
#include "knn_bits_distance.h"
#include "scratch.h"
#include "search_rows.h"
#include "vornik_kernels.h"

namespace {

using namespace vornik::knn;
using vornik::alloc_scratch;
using vornik::scratch;

// The trees the threads have not claimed yet.
struct tree_claims {
    const forest_thread *thread;
    std::atomic<int> *next;
};

void *forest_worker(void *arg) {
    const tree_claims &c = *static_cast<const tree_claims *>(arg);
    const forest_job &j = *c.thread->job;
    for (;;) {
        if (vornik::stop_requested(j.ctl)) break;
        const int t = c.next->fetch_add(1, std::memory_order_relaxed);
        if (t >= j.settings.n_trees) break;
        j.build_tree(*c.thread, t);
    }
    return nullptr;
}

// Every thread's scratch, allocated before any tree is built so that a
// failure leaves the outputs untouched. The split scratch is in words, so
// that every policy's plane is aligned.
struct forest_storage {
    scratch<forest_thread> threads;
    scratch<tree_claims> claims;
    scratch<pthread_t> handles;
    scratch<int32_t> order;
    scratch<double> values;
    scratch<uint64_t> split;

    bool allocate(int count, int n, uint64_t split_words) {
        const uint64_t t = static_cast<uint64_t>(count);
        threads = alloc_scratch<forest_thread>(t);
        claims = alloc_scratch<tree_claims>(t);
        handles = alloc_scratch<pthread_t>(t);
        order = alloc_scratch<int32_t>(t * static_cast<uint64_t>(n));
        values = alloc_scratch<double>(t * static_cast<uint64_t>(n));
        split = alloc_scratch<uint64_t>(t * split_words);
        return threads && claims && handles && order && values && split;
    }
};

// The trees of dense rows on every distance path: hyperplane splits, the
// same for every dense measure (a measure only orders the candidates).
template <class P> using dense_forest_rows = space_rows<euclidean_space<P>>;
VORNIK_DEFINE_FOREST_TREES(scalar_dense_trees, dense_forest_rows<scalar_path>, )
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
VORNIK_DEFINE_FOREST_TREES(fma_dense_trees, dense_forest_rows<fma_path>, VORNIK_TARGET_FMA)
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
VORNIK_DEFINE_FOREST_TREES(neon_dense_trees, dense_forest_rows<neon_path>, )
#endif

// The trees of bit rows on every counting path (the measure does not enter).
template <class C> using bit_forest_rows = space_rows<bits_space<C, hamming_measure>>;
VORNIK_DEFINE_FOREST_TREES(portable_bit_trees, bit_forest_rows<portable_bits>, )
#if defined(VORNIK_KNN_HAVE_POPCNT_PATH)
VORNIK_DEFINE_FOREST_TREES(popcnt_bit_trees, bit_forest_rows<popcnt_bits>, VORNIK_TARGET_POPCNT)
VORNIK_DEFINE_FOREST_TREES(vpopcnt_bit_trees, bit_forest_rows<vpopcnt_bits>, VORNIK_TARGET_VPOPCNT)
#endif
#if defined(__aarch64__)
VORNIK_DEFINE_FOREST_TREES(neon_bit_trees, bit_forest_rows<neon_bits>, )
#endif

} // namespace

int vornik::knn::build_forest(const void *store, int n, uint64_t split_bytes,
                              void (*build_tree)(const forest_thread &, int),
                              const mirnak_forest_settings &settings, int32_t *order,
                              int32_t *splits, float *thresholds, int n_threads,
                              mirnak_control *ctl) {
    if (n <= 0 || !order || settings.n_trees < 1 || settings.leaf_size < 1) return MIRNAK_INVALID;
    const int64_t nodes = forest_nodes(n, settings.leaf_size);
    if (nodes > 0 && (!splits || !thresholds)) return MIRNAK_INVALID;
    vornik::set_progress(ctl, 0);
    if (vornik::stop_requested(ctl)) return MIRNAK_STOPPED;

    const int threads = vornik::worker_count(n_threads, settings.n_trees);
    const uint64_t split_words = (split_bytes + 7) / 8;
    forest_storage st;
    if (!st.allocate(threads, n, split_words)) return MIRNAK_OUT_OF_MEMORY;
    const forest_job job = {store, n, settings, nodes, order, splits, thresholds, ctl, build_tree};
    std::atomic<int> next(0);
    for (int e = 0; e < threads; ++e) {
        const uint64_t at = static_cast<uint64_t>(e);
        st.threads[e] = forest_thread{&job, st.order.get() + at * n, st.values.get() + at * n,
                                      st.split.get() + at * split_words};
        st.claims[e] = tree_claims{&st.threads[e], &next};
    }
    vornik::fan_out(
        threads, [&](int e) { return &st.claims[e]; }, forest_worker, st.handles.get(),
        vornik::caller_role::runs_last);
    return vornik::stop_requested(ctl) ? MIRNAK_STOPPED : 0;
}

int vornik::knn::dense_forest_on_path(dist_path path, const mirnak_dense_rows &train,
                                      const mirnak_forest_settings &settings, int32_t *order,
                                      int32_t *splits, float *thresholds, int n_threads,
                                      mirnak_control *ctl) {
    if (!train.X || train.n_rows <= 0 || train.n_dims <= 0) return MIRNAK_INVALID;
    const dense_rows store = {train.X, train.n_rows, train.n_dims};
    void (*trees)(const forest_thread &, int) = scalar_dense_trees;
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    if (path == DIST_FMA) trees = fma_dense_trees;
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    if (path == DIST_NEON) trees = neon_dense_trees;
#endif
    (void)path;
    const uint64_t split_bytes = hyperplane_split<scalar_path>::plane_bytes(store);
    return build_forest(&store, train.n_rows, split_bytes, trees, settings, order, splits,
                        thresholds, n_threads, ctl);
}

extern "C" int64_t mirnak_knn_forest_nodes(int n_train, int leaf_size) {
    if (n_train < 1 || leaf_size < 1) return MIRNAK_INVALID;
    return forest_nodes(n_train, leaf_size);
}

extern "C" int mirnak_knn_search_forest_f32(const mirnak_dense_rows *train,
                                            const mirnak_forest_settings *settings, int32_t *order,
                                            int32_t *splits, float *thresholds, int n_threads,
                                            mirnak_control *control) {
    if (!train || !settings) return MIRNAK_INVALID;
    return dense_forest_on_path(best_dist_path(), *train, *settings, order, splits, thresholds,
                                n_threads, control);
}

extern "C" int mirnak_knn_search_forest_bits_u64(const mirnak_bit_rows *train,
                                                 const mirnak_forest_settings *settings,
                                                 int32_t *order, int32_t *splits, float *thresholds,
                                                 int n_threads, mirnak_control *control) {
    if (!train || !settings || !train->words || train->n_rows <= 0 || train->n_words <= 0)
        return MIRNAK_INVALID;
    const bit_rows store = {train->words, train->n_rows, train->n_words};
    void (*trees)(const forest_thread &, int) = portable_bit_trees;
    const bits_path path = best_bits_path();
#if defined(VORNIK_KNN_HAVE_POPCNT_PATH)
    if (path == BITS_VPOPCNT) trees = vpopcnt_bit_trees;
    if (path == BITS_POPCNT) trees = popcnt_bit_trees;
#endif
#if defined(__aarch64__)
    if (path == BITS_NEON) trees = neon_bit_trees;
#endif
    (void)path;
    const uint64_t split_bytes = bit_plane_split<portable_bits>::plane_bytes(store);
    return build_forest(&store, train->n_rows, split_bytes, trees, *settings, order, splits,
                        thresholds, n_threads, control);
}
