// knn_query_walk.h - the walk of the neighbour query, written once over a row
// policy (search_rows.h): however the rows are stored and measured, a query
// starts from the leaves its row descends to in every tree of the search
// forest and from the pivots, and refines a sorted search list by a
// best-first walk over the search graph.
//
// Every query keeps a search list: the beam nearest points found so far,
// sorted by distance (ties by id), each either still open or already
// expanded. The members of the query's leaf in every tree enter it open; then
// every pivot enters it, and the n_entries nearest entries are opened;
// expanding an open point offers its unvisited graph neighbours, open. The
// walk ends when no open point is left. A full list admits only points
// strictly closer than its last entry, so the answer is a function of the
// query row alone: threads take blocks of queries, and neither the blocks nor
// the thread count enter any decision.
//
// A policy's query entry is instantiated once per distance path with
// VORNIK_DEFINE_QUERY_ROWS, in a function compiled for that path.
#ifndef VORNIK_KNN_QUERY_WALK_H
#define VORNIK_KNN_QUERY_WALK_H

#include <pthread.h>

#include <cstdint>
#include <cstring>

#include "caller_ids.h"
#include "control.h"
#include "kernel_support.h"
#include "knn_forest.h"
#include "knn_heap.h"
#include "knn_query.h"
#include "scratch.h"
#include "search_rows.h"
#include "vornik_kernels.h"

namespace vornik {
namespace knn {
namespace walk {

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

// Offers point u at distance du. A list with room takes every offer; a full
// one only an offer strictly closer than its last entry, which then drops
// out. The strict test makes a lower bound that reaches the last distance as
// good as the distance itself.
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
// One thread's queries
// ---------------------------------------------------------------------------

// One thread's block of queries [q0, q1), its own scratch and the policy.
template <class Rows> struct query_block {
    const Rows *rows;
    const search_index *ix;
    search_settings s;
    int64_t nodes; // split slots per tree of the forest
    int32_t *idx;  // the answers: k per query
    float *dist;
    int q0, q1;
    uint32_t *visited; // n marks: the query tag of the last query that met the point
    uint32_t tag;
    search_list list;
    void *split;         // the policy's split scratch
    mirnak_control *ctl; // polled before every row; counts the rows answered
    void (*answer_rows)(query_block *w);
};

// A fresh tag for the next query; when the tags wrap, every mark is cleared.
template <class Rows> inline void next_tag(query_block<Rows> *w) {
    if (++w->tag == 0) {
        std::memset(w->visited, 0, sizeof(uint32_t) * static_cast<size_t>(w->ix->n));
        w->tag = 1;
    }
}

// Points met but not yet measured; their distances are taken four at a time
// and offered in the order they were met.
const int PENDING_MAX = 64;

struct pending_points {
    int count = 0;
    int32_t ids[PENDING_MAX];
};

template <class Rows>
VORNIK_ALWAYS_INLINE void measure_and_offer(const Rows &rows, typename Rows::row q, search_list &l,
                                            pending_points &pp, uint8_t open) {
    for (int j = 0; j < pp.count; j += 4) {
        const int cnt = pp.count - j < 4 ? pp.count - j : 4;
        float dd[4];
        if (cnt == 4) {
            // A full list refuses anything not closer than its last entry.
            const bool full = l.count == l.cap;
            const float last = full ? l.dist[l.count - 1] : 0.0f;
            const float bound[4] = {last, last, last, last};
            rows.distance4(q, pp.ids + j, dd, full ? bound : nullptr);
        } else {
            for (int r = 0; r < cnt; ++r) dd[r] = rows.distance(q, pp.ids[j + r]);
        }
        for (int r = 0; r < cnt; ++r) offer(l, pp.ids[j + r], dd[r], open);
    }
    pp.count = 0;
}

// Queues point u, an id just read from the index, unless this query met it
// before. An id outside the training points is none: -1 in the graph, or
// another thread's write during the call.
template <class Rows>
VORNIK_ALWAYS_INLINE void meet(query_block<Rows> *w, typename Rows::row q, int32_t u,
                               pending_points &pp, uint8_t open) {
    if (!id_below(u, w->ix->n) || w->visited[u] == w->tag) return;
    w->visited[u] = w->tag;
    w->rows->fetch(u);
    pp.ids[pp.count++] = u;
    if (pp.count == PENDING_MAX) measure_and_offer(*w->rows, q, w->list, pp, open);
}

// The entries of query q: the members of its leaf in every tree, open, then
// every pivot, closed, of which the nearest n_entries entries are opened.
template <class Rows>
VORNIK_ALWAYS_INLINE void enter(query_block<Rows> *w, typename Rows::row q, pending_points &pp) {
    const search_index &ix = *w->ix;
    const mirnak_search_forest &f = ix.forest;
    search_list &l = w->list;
    for (int t = 0; t < f.n_trees; ++t) {
        int lo, hi;
        descend(*w->rows, f, ix.n, w->nodes, t, q, w->split, &lo, &hi);
        const int32_t *order = f.order + static_cast<int64_t>(t) * ix.n;
        for (int p = lo; p < hi; ++p) meet(w, q, load_id(&order[p]), pp, 1);
    }
    measure_and_offer(*w->rows, q, l, pp, 1);
    for (int p = 0; p < ix.n_pivots; ++p) meet(w, q, load_id(&ix.pivots[p]), pp, 0);
    measure_and_offer(*w->rows, q, l, pp, 0);
    for (int j = 0; j < w->s.n_entries && j < l.count; ++j) l.open[j] = 1;
}

template <class Rows> VORNIK_ALWAYS_INLINE void answer(query_block<Rows> *w, int64_t qi) {
    const search_index &ix = *w->ix;
    const typename Rows::row q = w->rows->query(qi);
    search_list &l = w->list;
    pending_points pp;
    next_tag(w);
    l.count = 0;
    enter(w, q, pp);
    for (;;) {
        int c = 0;
        while (c < l.count && !l.open[c]) ++c;
        if (c == l.count) break;
        l.open[c] = 0;
        const int32_t *nb = ix.graph + static_cast<int64_t>(l.ids[c]) * ix.width;
        for (int j = 0; j < ix.width; ++j) meet(w, q, load_id(&nb[j]), pp, 1);
        measure_and_offer(*w->rows, q, l, pp, 1);
    }
    const int k = w->s.k;
    int32_t *oi = w->idx + qi * k;
    float *od = w->dist + qi * k;
    for (int j = 0; j < k; ++j) {
        oi[j] = j < l.count ? l.ids[j] : -1;
        od[j] = j < l.count ? l.dist[j] : SENTINEL_DIST;
    }
}

// Rows answered between two additions to the progress count.
const int PROGRESS_ROWS = 16;

template <class Rows> VORNIK_ALWAYS_INLINE void answer_rows(query_block<Rows> *w) {
    int counted = w->q0; // the rows before this one are in the progress count
    int qi = w->q0;
    for (; qi < w->q1 && !stop_requested(w->ctl); ++qi) {
        answer(w, qi);
        if (qi + 1 - counted == PROGRESS_ROWS) {
            add_progress(w->ctl, PROGRESS_ROWS);
            counted = qi + 1;
        }
    }
    if (qi > counted) add_progress(w->ctl, qi - counted);
}

// The row loop of the policy ROWS as a function compiled with ATTR (the
// target of its distance path), everything inlined into it.
#define VORNIK_DEFINE_QUERY_ROWS(NAME, ROWS, ATTR)                                                 \
    ATTR __attribute__((flatten)) void NAME(vornik::knn::walk::query_block<ROWS> *w) {             \
        vornik::knn::walk::answer_rows(w);                                                         \
    }

template <class Rows> void *query_worker(void *arg) {
    query_block<Rows> *w = static_cast<query_block<Rows> *>(arg);
    w->answer_rows(w);
    return nullptr;
}

// ---------------------------------------------------------------------------
// The call
// ---------------------------------------------------------------------------

// Answers n_queries rows of the policy into idx and dist (k per row) on
// n_threads threads, for an index and settings that search_index_valid
// accepted; answer_rows is the policy's row loop on its distance path.
// Returns 0, -2 when scratch memory could not be had (outputs untouched), or
// MIRNAK_STOPPED when ctl asked (every row then holds its answer or is
// untouched).
template <class Rows>
int run_query(const Rows &rows, const search_index &ix, const search_settings &settings,
              int n_queries, int32_t *idx, float *dist, int n_threads, mirnak_control *ctl,
              void (*answer_rows)(query_block<Rows> *)) {
    const search_settings s = effective_settings(ix, settings);
    const int threads = worker_count(n_threads, n_queries);
    set_progress(ctl, 0);
    if (stop_requested(ctl)) return MIRNAK_STOPPED;

    // Every worker's scratch, allocated before any query runs so that a
    // failure leaves the outputs untouched.
    const uint64_t t = static_cast<uint64_t>(threads), beam = static_cast<uint64_t>(s.beam);
    const uint64_t split = (rows.split_bytes() + 7) / 8; // in words: aligned for every policy
    scratch<query_block<Rows>> blocks = alloc_scratch<query_block<Rows>>(t);
    scratch<pthread_t> th = alloc_scratch<pthread_t>(t);
    scratch<uint32_t> visited = alloc_scratch<uint32_t>(t * static_cast<uint64_t>(ix.n));
    scratch<float> list_dist = alloc_scratch<float>(t * beam);
    scratch<int32_t> list_ids = alloc_scratch<int32_t>(t * beam);
    scratch<uint8_t> list_open = alloc_scratch<uint8_t>(t * beam);
    scratch<uint64_t> splits = alloc_scratch<uint64_t>(t * split);
    if (!blocks || !th || !visited || !list_dist || !list_ids || !list_open || !splits)
        return MIRNAK_OUT_OF_MEMORY;
    std::memset(visited.get(), 0, sizeof(uint32_t) * t * static_cast<uint64_t>(ix.n));

    const int64_t nodes = ix.forest.n_trees > 0 ? forest_nodes(ix.n, ix.forest.leaf_size) : 0;
    int q0 = 0;
    for (int e = 0; e < threads; ++e) {
        query_block<Rows> &w = blocks[e];
        w.rows = &rows;
        w.ix = &ix;
        w.s = s;
        w.nodes = nodes;
        w.idx = idx;
        w.dist = dist;
        w.q0 = q0;
        w.q1 = q0 + block_size(n_queries, threads, e);
        q0 = w.q1;
        w.visited = visited.get() + static_cast<uint64_t>(e) * ix.n;
        w.tag = 0;
        const uint64_t at = static_cast<uint64_t>(e) * beam;
        w.list =
            search_list{list_dist.get() + at, list_ids.get() + at, list_open.get() + at, 0, s.beam};
        w.split = splits.get() + static_cast<uint64_t>(e) * split;
        w.ctl = ctl;
        w.answer_rows = answer_rows;
    }
    fan_out(
        threads, [&](int e) { return &blocks[e]; }, query_worker<Rows>, th.get(),
        caller_role::runs_last);
    return stop_requested(ctl) ? MIRNAK_STOPPED : 0;
}

} // namespace walk

// The query of space S's rows: the training rows train, the query rows
// queries (a store of the same kind and settings), for an index and
// settings that search_index_valid accepted; rows_fn is the row loop of
// space_rows<S> on its path (VORNIK_DEFINE_QUERY_ROWS).
template <class S>
int query_in(const typename S::store &train, const typename S::store &queries,
             const search_index &ix, const search_settings &s, int32_t *idx, float *dist,
             int n_threads, mirnak_control *ctl,
             void (*rows_fn)(walk::query_block<space_rows<S>> *)) {
    const space_rows<S> rows = {train, queries};
    return walk::run_query(rows, ix, s, queries.n, idx, dist, n_threads, ctl, rows_fn);
}

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_QUERY_WALK_H
