// knn_query.cpp - k nearest training points of new rows: the query of dense
// float32 rows by squared Euclidean distance over a fitted search index, and
// the checks every policy's query shares.
#include "knn_query.h"

#include <cstdint>

#include "caller_ids.h"
#include "knn_forest.h"
#include "knn_query_walk.h"
#include "search_rows.h"
#include "vornik_kernels.h"

namespace {

using namespace vornik::knn;

bool ids_in_range(const int32_t *ids, uint64_t count, int lo, int n) {
    for (uint64_t j = 0; j < count; ++j) {
        const int32_t id = vornik::load_id(&ids[j]);
        if (id < lo || id >= n) return false;
    }
    return true;
}

// Each split a pair of point ids, or the empty (-1, -1).
bool splits_in_range(const int32_t *splits, uint64_t count, int n) {
    for (uint64_t s = 0; s < count; ++s) {
        const int32_t a = vornik::load_id(&splits[2 * s]), b = vornik::load_id(&splits[2 * s + 1]);
        const bool empty = a == -1 && b == -1;
        if (!empty && !(vornik::id_below(a, n) && vornik::id_below(b, n))) return false;
    }
    return true;
}

bool forest_valid(const mirnak_search_forest &f, int n) {
    if (f.n_trees == 0) return true;
    if (f.n_trees < 0 || f.leaf_size < 1 || !f.order) return false;
    const uint64_t trees = static_cast<uint64_t>(f.n_trees);
    const uint64_t nodes = static_cast<uint64_t>(forest_nodes(n, f.leaf_size));
    if (nodes > 0 && (!f.splits || !f.thresholds)) return false;
    return ids_in_range(f.order, trees * static_cast<uint64_t>(n), 0, n) &&
           splits_in_range(f.splits, trees * nodes, n);
}

// The dense query's row loop on every distance path.
template <class P> using euclidean_rows = space_rows<euclidean_space<P>>;
VORNIK_DEFINE_QUERY_ROWS(scalar_query_rows, euclidean_rows<scalar_path>, )
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
VORNIK_DEFINE_QUERY_ROWS(fma_query_rows, euclidean_rows<fma_path>, VORNIK_TARGET_FMA)
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
VORNIK_DEFINE_QUERY_ROWS(neon_query_rows, euclidean_rows<neon_path>, )
#endif

template <class P>
int dense_query(const float *X, int d, const search_index &ix, const search_settings &s,
                const query_batch &b, int n_threads, mirnak_control *ctl,
                void (*rows_fn)(walk::query_block<euclidean_rows<P>> *)) {
    const dense_rows train = {X, ix.n, d}, queries = {b.Q, b.n_queries, d};
    return query_in<euclidean_space<P>>(train, queries, ix, s, b.idx, b.dist, n_threads, ctl,
                                        rows_fn);
}

} // namespace

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

bool vornik::knn::search_index_valid(const search_index &ix, int k) {
    if (!ix.graph || !ix.pivots) return false;
    if (ix.n <= 0 || ix.width <= 0 || ix.n_pivots <= 0 || k <= 0 || k > ix.n) return false;
    const uint64_t edges = static_cast<uint64_t>(ix.n) * static_cast<uint64_t>(ix.width);
    return ids_in_range(ix.graph, edges, -1, ix.n) &&
           ids_in_range(ix.pivots, static_cast<uint64_t>(ix.n_pivots), 0, ix.n) &&
           forest_valid(ix.forest, ix.n);
}

vornik::knn::search_settings vornik::knn::effective_settings(const search_index &ix,
                                                             const search_settings &s) {
    search_settings e = s;
    if (e.beam < e.k) e.beam = e.k;
    const int most = e.beam < ix.n_pivots ? e.beam : ix.n_pivots;
    if (e.n_entries > most) e.n_entries = most;
    if (e.n_entries < 1) e.n_entries = 1;
    return e;
}

int vornik::knn::knn_query_on_path(dist_path path, const float *X, int d, const search_index &ix,
                                   const search_settings &s, const query_batch &b, int n_threads,
                                   mirnak_control *ctl) {
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    if (path == DIST_FMA)
        return dense_query<fma_path>(X, d, ix, s, b, n_threads, ctl, fma_query_rows);
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    if (path == DIST_NEON)
        return dense_query<neon_path>(X, d, ix, s, b, n_threads, ctl, neon_query_rows);
#endif
    (void)path;
    return dense_query<scalar_path>(X, d, ix, s, b, n_threads, ctl, scalar_query_rows);
}

namespace {

// What both dense entries check beyond the index: the rows and the outputs.
bool dense_args_valid(const float *X, int d, const search_index &ix, const search_settings &s,
                      const query_batch &b) {
    if (!X || d <= 0 || !b.Q || !b.idx || !b.dist || b.n_queries <= 0) return false;
    return search_index_valid(ix, s.k);
}

} // namespace

extern "C" int mirnak_knn_query_f32(int n_train, int n_dims, const float *X, int width,
                                    const int32_t *graph, int n_pivots, const int32_t *pivots,
                                    int n_queries, const float *Q, int k, int beam, int n_entries,
                                    int32_t *knn_idx, float *knn_dist, int n_threads) {
    const search_index ix = {n_train,  width,  graph,
                             n_pivots, pivots, {0, 0, nullptr, nullptr, nullptr}};
    const search_settings s = {k, beam, n_entries};
    const query_batch b = {n_queries, Q, knn_idx, knn_dist};
    if (!dense_args_valid(X, n_dims, ix, s, b)) return MIRNAK_INVALID;
    return knn_query_on_path(best_dist_path(), X, n_dims, ix, s, b, n_threads);
}

extern "C" int mirnak_knn_query_f32_ctl(const mirnak_dense_rows *train,
                                        const mirnak_search_index *index,
                                        const mirnak_dense_rows *queries,
                                        const mirnak_query_settings *settings, int32_t *knn_idx,
                                        float *knn_dist, int n_threads, mirnak_control *control) {
    if (!train || !index || !queries || !settings || queries->n_dims != train->n_dims)
        return MIRNAK_INVALID;
    const search_index ix = {train->n_rows,   index->width,  index->graph,
                             index->n_pivots, index->pivots, index->forest};
    const search_settings s = {settings->k, settings->beam, settings->n_entries};
    const query_batch b = {queries->n_rows, queries->X, knn_idx, knn_dist};
    if (!dense_args_valid(train->X, train->n_dims, ix, s, b)) return MIRNAK_INVALID;
    return knn_query_on_path(best_dist_path(), train->X, train->n_dims, ix, s, b, n_threads,
                             control);
}
