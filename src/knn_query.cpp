// knn_query.cpp - k nearest training points of new rows, by a best-first walk
// over a fitted search graph.
//
// Every query keeps a search list: the beam nearest points found so far,
// sorted by squared distance (ties by id), each either still open or already
// expanded. The list starts with every pivot, of which the n_entries nearest
// are open; expanding an open point offers its unvisited graph neighbours to
// the list, open. The walk ends when no open point is left. A full list
// admits only points strictly closer than its last entry, so the answer is a
// function of the query row alone: threads take blocks of queries, and
// neither the blocks nor the thread count enter any decision.
#include "knn_query.h"

#include <pthread.h>

#include <cstdint>
#include <cstring>

#include "caller_ids.h"
#include "kernel_support.h"
#include "knn_heap.h"
#include "scratch.h"
#include "vornik_kernels.h"

namespace {

using namespace vornik::knn;
using vornik::alloc_scratch;
using vornik::block_size;
using vornik::scratch;

// ---------------------------------------------------------------------------
// Search list
// ---------------------------------------------------------------------------

// The beam nearest points found for one query, ascending by (distance, id).
struct search_list {
    float *dist;
    int32_t *ids;
    uint8_t *open; // 1: not expanded yet
    int count;
    int cap;
};

inline bool precedes(float da, int32_t a, float db, int32_t b) {
    return da < db || (da == db && a < b);
}

// Offers point u at squared distance du. A list with room takes every offer;
// a full one only an offer strictly closer than its last entry, which then
// drops out. The strict test makes a lower bound that reaches the last
// distance as good as the distance itself.
inline void offer(search_list &l, int32_t u, float du, uint8_t open) {
    if (l.count == l.cap) {
        if (!(du < l.dist[l.count - 1])) return;
        --l.count;
    }
    int pos = l.count;
    while (pos > 0 && precedes(du, u, l.dist[pos - 1], l.ids[pos - 1])) {
        l.dist[pos] = l.dist[pos - 1];
        l.ids[pos] = l.ids[pos - 1];
        l.open[pos] = l.open[pos - 1];
        --pos;
    }
    l.dist[pos] = du;
    l.ids[pos] = u;
    l.open[pos] = open;
    ++l.count;
}

// ---------------------------------------------------------------------------
// Worker records
// ---------------------------------------------------------------------------

struct query_block;

// The row loop on one distance path, chosen once per call.
using rows_fn = void (*)(query_block *w);

// One thread's block of queries [q0, q1) and its own scratch.
struct query_block {
    const search_index *ix;
    search_settings s;
    const query_batch *b;
    int q0, q1;
    uint32_t *visited; // n marks: the query tag of the last query that met the point
    uint32_t tag;
    search_list list;
    rows_fn rows;
};

inline const float *row_of(const float *X, int64_t i, int d) {
    return X + i * d;
}

inline void prefetch_row(const float *p, int d) {
    const int lines = d >= 64 ? 4 : (d + 15) / 16;
    for (int l = 0; l < lines; ++l) __builtin_prefetch(p + 16 * l);
}

// A fresh tag for the next query; when the tags wrap, every mark is cleared.
inline uint32_t next_tag(query_block *w) {
    if (++w->tag == 0) {
        std::memset(w->visited, 0, sizeof(uint32_t) * static_cast<size_t>(w->ix->n));
        w->tag = 1;
    }
    return w->tag;
}

// ---------------------------------------------------------------------------
// Hot loop, instantiated per kernel path
// ---------------------------------------------------------------------------

// Points met but not yet measured; their distances are taken four at a time
// and offered in the order they were met.
const int PENDING_MAX = 64;

struct pending_points {
    int count = 0;
    int32_t ids[PENDING_MAX];
};

template <class P>
VORNIK_ALWAYS_INLINE void measure_and_offer(const search_index &ix, const float *q, search_list &l,
                                            pending_points &pp, uint8_t open) {
    const int d = ix.d;
    for (int j = 0; j < pp.count; j += 4) {
        const int cnt = pp.count - j < 4 ? pp.count - j : 4;
        float dd[4];
        if (cnt == 4) {
            const float *rows[4] = {row_of(ix.X, pp.ids[j], d), row_of(ix.X, pp.ids[j + 1], d),
                                    row_of(ix.X, pp.ids[j + 2], d), row_of(ix.X, pp.ids[j + 3], d)};
            // A full list refuses anything not closer than its last entry.
            const bool full = l.count == l.cap;
            const float last = full ? l.dist[l.count - 1] : 0.0f;
            const float bound[4] = {last, last, last, last};
            P::sqd4(q, rows, d, dd, full ? bound : nullptr);
        } else {
            for (int r = 0; r < cnt; ++r) dd[r] = P::sqd(q, row_of(ix.X, pp.ids[j + r], d), d);
        }
        for (int r = 0; r < cnt; ++r) offer(l, pp.ids[j + r], dd[r], open);
    }
    pp.count = 0;
}

// Queues point u, an id just read from the graph or the pivots, unless this
// query met it before. An id outside the training points is none: -1 in the
// graph, or another thread's write during the call.
template <class P>
VORNIK_ALWAYS_INLINE void meet(query_block *w, const float *q, int32_t u, pending_points &pp,
                               uint8_t open) {
    if (!vornik::id_below(u, w->ix->n) || w->visited[u] == w->tag) return;
    w->visited[u] = w->tag;
    prefetch_row(row_of(w->ix->X, u, w->ix->d), w->ix->d);
    pp.ids[pp.count++] = u;
    if (pp.count == PENDING_MAX) measure_and_offer<P>(*w->ix, q, w->list, pp, open);
}

template <class P> VORNIK_ALWAYS_INLINE void answer(query_block *w, int64_t qi) {
    const search_index &ix = *w->ix;
    const search_settings &s = w->s;
    const float *q = row_of(w->b->Q, qi, ix.d);
    search_list &l = w->list;
    pending_points pp;
    next_tag(w);
    l.count = 0;

    // Every pivot enters the list closed; the nearest n_entries are opened.
    for (int p = 0; p < ix.n_pivots; ++p) meet<P>(w, q, vornik::load_id(&ix.pivots[p]), pp, 0);
    measure_and_offer<P>(ix, q, l, pp, 0);
    for (int j = 0; j < s.n_entries && j < l.count; ++j) l.open[j] = 1;

    for (;;) {
        int c = 0;
        while (c < l.count && !l.open[c]) ++c;
        if (c == l.count) break;
        l.open[c] = 0;
        const int32_t *nb = ix.graph + static_cast<int64_t>(l.ids[c]) * ix.width;
        for (int j = 0; j < ix.width; ++j) meet<P>(w, q, vornik::load_id(&nb[j]), pp, 1);
        measure_and_offer<P>(ix, q, l, pp, 1);
    }

    int32_t *oi = w->b->idx + qi * s.k;
    float *od = w->b->dist + qi * s.k;
    for (int j = 0; j < s.k; ++j) {
        oi[j] = j < l.count ? l.ids[j] : -1;
        od[j] = j < l.count ? l.dist[j] : SENTINEL_DIST;
    }
}

template <class P> VORNIK_ALWAYS_INLINE void answer_rows(query_block *w) {
    for (int qi = w->q0; qi < w->q1; ++qi) answer<P>(w, qi);
}

#define VORNIK_DEFINE_QUERY_ROWS(NAME, PATH, ATTR)                                                 \
    ATTR __attribute__((flatten)) void NAME##_query_rows(query_block *w) {                         \
        answer_rows<PATH>(w);                                                                      \
    }

VORNIK_DEFINE_QUERY_ROWS(scalar, scalar_path, )
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
VORNIK_DEFINE_QUERY_ROWS(fma, fma_path, VORNIK_TARGET_FMA)
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
VORNIK_DEFINE_QUERY_ROWS(neon, neon_path, )
#endif

rows_fn rows_for(dist_path p) {
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    if (p == DIST_FMA) return fma_query_rows;
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    if (p == DIST_NEON) return neon_query_rows;
#endif
    (void)p;
    return scalar_query_rows;
}

void *queryworker(void *arg) {
    query_block *w = static_cast<query_block *>(arg);
    w->rows(w);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Scratch and threads
// ---------------------------------------------------------------------------

// Every worker's scratch, allocated before any query runs so that a failure
// leaves the outputs untouched.
struct query_storage {
    scratch<query_block> blocks;
    scratch<pthread_t> th;
    scratch<uint32_t> visited; // n marks per worker
    scratch<float> dist;       // beam entries per worker
    scratch<int32_t> ids;
    scratch<uint8_t> open;

    bool allocate(int threads, int n, int beam) {
        const uint64_t t = static_cast<uint64_t>(threads);
        blocks = alloc_scratch<query_block>(t);
        th = alloc_scratch<pthread_t>(t);
        visited = alloc_scratch<uint32_t>(t * static_cast<uint64_t>(n));
        dist = alloc_scratch<float>(t * static_cast<uint64_t>(beam));
        ids = alloc_scratch<int32_t>(t * static_cast<uint64_t>(beam));
        open = alloc_scratch<uint8_t>(t * static_cast<uint64_t>(beam));
        return blocks && th && visited && dist && ids && open;
    }
};

bool ids_in_range(const int32_t *ids, uint64_t count, int lo, int n) {
    for (uint64_t j = 0; j < count; ++j) {
        const int32_t id = vornik::load_id(&ids[j]);
        if (id < lo || id >= n) return false;
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

bool vornik::knn::query_args_valid(const search_index &ix, const search_settings &s,
                                   const query_batch &b) {
    if (!ix.X || !ix.graph || !ix.pivots || !b.Q || !b.idx || !b.dist) return false;
    if (ix.n <= 0 || ix.d <= 0 || ix.width <= 0 || ix.n_pivots <= 0) return false;
    if (b.n_queries <= 0 || s.k <= 0 || s.k > ix.n) return false;
    const uint64_t edges = static_cast<uint64_t>(ix.n) * static_cast<uint64_t>(ix.width);
    return ids_in_range(ix.graph, edges, -1, ix.n) &&
           ids_in_range(ix.pivots, static_cast<uint64_t>(ix.n_pivots), 0, ix.n);
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

int vornik::knn::knn_query_on_path(dist_path path, const search_index &ix,
                                   const search_settings &settings, const query_batch &b,
                                   int n_threads) {
    const search_settings s = effective_settings(ix, settings);
    const int threads = vornik::worker_count(n_threads, b.n_queries);

    query_storage st;
    if (!st.allocate(threads, ix.n, s.beam)) return MIRNAK_OUT_OF_MEMORY;
    std::memset(st.visited.get(), 0,
                sizeof(uint32_t) * static_cast<size_t>(threads) * static_cast<size_t>(ix.n));

    const rows_fn rows = rows_for(path);
    int q0 = 0;
    for (int t = 0; t < threads; ++t) {
        query_block &w = st.blocks[t];
        w.ix = &ix;
        w.s = s;
        w.b = &b;
        w.q0 = q0;
        w.q1 = q0 + block_size(b.n_queries, threads, t);
        q0 = w.q1;
        w.visited = st.visited.get() + static_cast<int64_t>(t) * ix.n;
        w.tag = 0;
        const int64_t lo = static_cast<int64_t>(t) * s.beam;
        w.list = search_list{st.dist.get() + lo, st.ids.get() + lo, st.open.get() + lo, 0, s.beam};
        w.rows = rows;
    }
    vornik::fan_out(
        threads, [&](int t) { return &st.blocks[t]; }, queryworker, st.th.get(),
        vornik::caller_role::runs_last);
    return 0;
}

extern "C" int mirnak_knn_query_f32(int n_train, int n_dims, const float *X, int width,
                                    const int32_t *graph, int n_pivots, const int32_t *pivots,
                                    int n_queries, const float *Q, int k, int beam, int n_entries,
                                    int32_t *knn_idx, float *knn_dist, int n_threads) {
    const search_index ix = {n_train, n_dims, X, width, graph, n_pivots, pivots};
    const search_settings s = {k, beam, n_entries};
    const query_batch b = {n_queries, Q, knn_idx, knn_dist};
    if (!query_args_valid(ix, s, b)) return MIRNAK_INVALID;
    return knn_query_on_path(best_dist_path(), ix, s, b, n_threads);
}
