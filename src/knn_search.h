// knn_search.h - the kNN search, generic over its space (knn_space.h).
//
// The driver (knn.cpp) runs the forest, the merge and the refinement on
// threads and knows nothing of rows: it reaches them through a space_ops
// table, whose entries are the hot loops below compiled for one space on one
// distance path (VORNIK_DEFINE_SPACE_OPS). Each family of metrics defines its
// tables and exported entries in a file of its own and calls search().
#ifndef VORNIK_KNN_SEARCH_H
#define VORNIK_KNN_SEARCH_H

#include <atomic>
#include <cstdint>

#include "caller_ids.h"
#include "knn_heap.h"
#include "knn_space.h"
#include "vornik_kernels.h"

namespace vornik {
namespace knn {

struct space_ops;

// ---------------------------------------------------------------------------
// What the hot loops read
// ---------------------------------------------------------------------------

// Context handed down one tree's recursion.
struct rpx {
    int n, k, leaf;
    const void *store; // the space's row store
    neighbour_heap heap;
    double *pv;  // values of the current node, n entries
    void *plane; // the split's scratch; consumed before either child runs
    const space_ops *ops;
    bool finite; // no distance is NaN: roots never grow
    const mirnak_control *ctl;
};

// Rows cut into blocks that threads claim one at a time. Every row's result
// depends only on the row, so who takes which block changes nothing.
const int ROW_BLOCK = 256;

struct row_blocks {
    int n;                  // rows [0, n)
    std::atomic<int> *next; // the next unclaimed block
    // The next block as [*i0, *i1); false when none is left.
    bool claim(int *i0, int *i1) const {
        const int b = next->fetch_add(1, std::memory_order_relaxed);
        if (b >= n / ROW_BLOCK + (n % ROW_BLOCK != 0)) return false; // no n + 255: n may be INT_MAX
        *i0 = b * ROW_BLOCK;
        *i1 = n - *i0 < ROW_BLOCK ? n : *i0 + ROW_BLOCK;
        return true;
    }
};

// One refinement worker of an iteration.
struct work {
    row_blocks rows;
    int n, k;
    const void *store;   // the space's row store
    const int32_t *sh;   // snapshot of the ids
    const uint8_t *sf;   // snapshot of the new-flags
    const int32_t *revn; // reverse-neighbour lists, k slots per point
    const int *rcn;      // reverse-neighbour counts
    neighbour_heap live; // the caller's arrays and the kernel's flags
    int64_t upd;         // out: insertions made by this worker
    const space_ops *ops;
    // Optional, n entries: marks the candidates already decided for the row
    // being processed, so that their distance is not computed again.
    uint32_t *seen;
    // Optional, n entries: the rows in the order they are visited (else
    // ascending). A row's result depends on nothing another row does in the
    // same iteration, so the order only decides which rows share the cache.
    const int32_t *order;
    bool finite;
    const mirnak_control *ctl; // a stop ends the claiming of blocks
};

// The hot loops of one space on one distance path, chosen once per call.
struct space_ops {
    // Whether no distance can be NaN (then a row's root never grows).
    bool (*finite)(const void *store);
    uint64_t (*plane_bytes)(const void *store);
    // The values of the m points node[0 .. m) into c->pv.
    void (*split)(const rpx *c, const int32_t *node, int m, uint64_t *rng);
    // Every pair of the leaf idx[lo, hi) offered to both rows.
    void (*leaf)(const rpx *c, const int32_t *idx, int lo, int hi);
    // Positions [p0, p1) of the refinement's visiting order.
    int64_t (*rows)(const work *w, int p0, int p1);
};

// A space as the driver takes it: n rows behind the store pointer, and the
// ops of the space on one path.
struct search_space {
    int n;
    const void *store;
    const space_ops *ops;
};

// How the search goes: k neighbours per point, the forest (n_trees below 1
// means 1; leaves of at most max(leaf_size, k + 1) points), at most n_iters
// refinement iterations (below 1 means 1), the seed, and the caller's kNN
// arrays (n x k each).
struct search_problem {
    int k;
    int n_trees;
    int n_iters;
    int leaf_size;
    uint64_t seed;
    int32_t *knn_idx;
    float *knn_dist;
};

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

// Tree-worker heaps held at once: when there are more tree workers than
// threads, batches of workers grow up to about this many bytes of heaps, so
// that any number of workers is folded into the output at bounded memory.
const uint64_t TREE_BATCH_BYTES = uint64_t(64) << 20;

// The schedule of a thread count: as many tree workers as threads.
knn_schedule schedule_for_threads(int n_threads);

// A public run as the driver's problem and schedule.
inline search_problem problem_of(const mirnak_knn_run &r, int32_t *knn_idx, float *knn_dist) {
    return search_problem{r.k, r.n_trees, r.n_iters, r.leaf_size, r.seed, knn_idx, knn_dist};
}

inline knn_schedule schedule_of(const mirnak_knn_run &r, int n_threads, mirnak_control *ctl) {
    return knn_schedule{r.tree_workers, n_threads, ctl, TREE_BATCH_BYTES};
}

// The search: 0, MIRNAK_INVALID (k not in [1, n)), MIRNAK_OUT_OF_MEMORY or
// MIRNAK_STOPPED, with the outputs as mirnak_knn_descent_f32_ctl documents.
int search(const search_space &sp, const search_problem &p, const knn_schedule &sched);

// ---------------------------------------------------------------------------
// Hot loops, written once and instantiated per space and path
// ---------------------------------------------------------------------------

// The store as a local copy: the hot loops write heap ids and distances,
// which the compiler could not otherwise tell apart from the store's fields.
template <class S> typename S::store store_of(const void *store) {
    return *static_cast<const typename S::store *>(store);
}

template <class S>
VORNIK_ALWAYS_INLINE void split_node(const rpx *c, const int32_t *node, int m, uint64_t *rng) {
    const typename S::store st = store_of<S>(c->store);
    S::split::values(st, node, m, rng, c->plane, c->pv);
}

// Every pair of the leaf, in ascending positions, offered to both rows. The
// distances of one point to the next four are computed together; the offers
// keep the pair order.
template <class S>
VORNIK_ALWAYS_INLINE void leaf_pairs(const rpx *c, const int32_t *idx, int lo, int hi) {
    using row = typename S::store::row;
    const typename S::store st = store_of<S>(c->store);
    const neighbour_heap h = c->heap;
    // Every heap row of the leaf is touched again and again; fetch them all
    // up front rather than missing on each first touch.
    for (int a = lo; a < hi; ++a) {
        const heap_row r = h.row(idx[a]);
        __builtin_prefetch(r.dist);
        __builtin_prefetch(r.ids);
    }
    for (int a = lo; a + 1 < hi; ++a) {
        const int32_t u = idx[a];
        const row xu = st.at(u);
        const heap_row ru = h.row(u);
        for (int b0 = a + 1; b0 < hi; b0 += 4) {
            const int cnt = hi - b0 < 4 ? hi - b0 : 4;
            float dd[4];
            if (cnt == 4) {
                const row rows[4] = {st.at(idx[b0]), st.at(idx[b0 + 1]), st.at(idx[b0 + 2]),
                                     st.at(idx[b0 + 3])};
                // A pair not closer than both roots is refused by both rows.
                float bound[4];
                const float root_u = ru.dist[0];
                for (int r = 0; r < 4; ++r) {
                    const float root_v = h.row(idx[b0 + r]).dist[0];
                    bound[r] = root_u > root_v ? root_u : root_v;
                }
                S::dist4(st, xu, rows, dd, c->finite ? bound : nullptr);
            } else {
                for (int r = 0; r < cnt; ++r) dd[r] = S::dist(st, xu, st.at(idx[b0 + r]));
            }
            for (int r = 0; r < cnt; ++r) {
                const int32_t v = idx[b0 + r];
                hpush(ru, v, dd[r]);
                hpush(h.row(v), u, dd[r]);
            }
        }
    }
}

// Candidates of one row waiting for their distances, in offer order. The
// distances do not depend on the heap, so they are computed in groups of four
// and offered afterwards in the same order.
const int PENDING_MAX = 64;
const int FETCH_AHEAD = 8;

struct pending_offers {
    int count = 0;
    int32_t ids[PENDING_MAX];
};

template <class S>
VORNIK_ALWAYS_INLINE int64_t flush_offers(const work *w, const typename S::store &st,
                                          typename S::store::row xi, heap_row hr,
                                          pending_offers &q) {
    using row = typename S::store::row;
    int64_t upd = 0;
    // Rows whose ids were prefetched as they were queued are fetched a few
    // groups before they are measured.
    st.fetch(q.ids, q.count < FETCH_AHEAD ? q.count : FETCH_AHEAD);
    int j = 0;
    for (; j < q.count; j += 4) {
        const int ahead = j + FETCH_AHEAD;
        if (ahead < q.count) st.fetch(q.ids + ahead, q.count - ahead < 4 ? q.count - ahead : 4);
        const int cnt = q.count - j < 4 ? q.count - j : 4;
        float dd[4];
        if (cnt == 4) {
            const row rows[4] = {st.at(q.ids[j]), st.at(q.ids[j + 1]), st.at(q.ids[j + 2]),
                                 st.at(q.ids[j + 3])};
            // Candidates not closer than the root are refused; a lower bound
            // that reaches it is as good as the distance.
            const float bound[4] = {hr.dist[0], hr.dist[0], hr.dist[0], hr.dist[0]};
            S::dist4(st, xi, rows, dd, w->finite ? bound : nullptr);
        } else {
            for (int r = 0; r < cnt; ++r) dd[r] = S::dist(st, xi, st.at(q.ids[j + r]));
        }
        for (int r = 0; r < cnt; ++r) upd += hpush(hr, q.ids[j + r], dd[r]);
    }
    q.count = 0;
    return upd;
}

// Queues candidate c for row i unless it was already decided for this row.
// A candidate in the row is refused as a repeat; one that left the row or was
// refused did so at a distance not below the root, and with finite distances
// the root never grows, so it would be refused again. Skipping it therefore
// changes neither the heap nor the count.
template <class S>
VORNIK_ALWAYS_INLINE int64_t offer(const work *w, const typename S::store &st,
                                   typename S::store::row xi, heap_row hr, int32_t c, uint32_t tag,
                                   pending_offers &q) {
    if (w->seen) {
        if (w->seen[c] == tag) return 0;
        w->seen[c] = tag;
    }
    st.prefetch_id(c);
    q.ids[q.count++] = c;
    return q.count == PENDING_MAX ? flush_offers<S>(w, st, xi, hr, q) : 0;
}

// The neighbour lists that row i will expand are scattered over sh; they are
// fetched LISTS_AHEAD rows before they are read. (Functions that only
// prefetch are always inlined: a call with no effect to keep is dropped.)
const int LISTS_AHEAD = 3;

VORNIK_ALWAYS_INLINE void prefetch_expanded_lists(const work *w, int i) {
    const int n = w->n, k = w->k;
    const int64_t oi = static_cast<int64_t>(i) * k;
    for (int a = 0; a < k; ++a) {
        const int32_t j = w->sh[oi + a];
        if (w->sf[oi + a] && j >= 0 && j < n)
            __builtin_prefetch(w->sh + static_cast<int64_t>(j) * k);
    }
}

inline int row_at(const work *w, int pos) {
    return w->order ? w->order[pos] : pos;
}

// The entries of row i itself: its snapshot, reverse list and heap, and its
// point; in visiting order they are scattered too.
template <class S>
VORNIK_ALWAYS_INLINE void prefetch_row_entries(const work *w, const typename S::store &st, int i) {
    const int64_t oi = static_cast<int64_t>(i) * w->k;
    __builtin_prefetch(w->sh + oi);
    __builtin_prefetch(w->sf + oi);
    __builtin_prefetch(w->revn + oi);
    __builtin_prefetch(w->rcn + i);
    const heap_row hr = w->live.row(i);
    __builtin_prefetch(hr.ids, 1);
    __builtin_prefetch(hr.dist, 1);
    __builtin_prefetch(hr.flags, 1);
    st.prefetch_id(i);
}

// Positions [p0, p1) of the visiting order. The marks must hold no tag of
// these rows on entry.
template <class S> VORNIK_ALWAYS_INLINE int64_t descend_rows(const work *w, int p0, int p1) {
    const int n = w->n, k = w->k;
    const typename S::store st = store_of<S>(w->store);
    int64_t upd = 0;
    pending_offers q;
    const int ENTRIES_AHEAD = LISTS_AHEAD + 2;
    for (int p = p0; p < p1 && p < p0 + ENTRIES_AHEAD; ++p)
        prefetch_row_entries<S>(w, st, row_at(w, p));
    for (int p = p0; p < p1 && p < p0 + LISTS_AHEAD; ++p) prefetch_expanded_lists(w, row_at(w, p));
    for (int p = p0; p < p1; ++p) {
        const int i = row_at(w, p);
        const int64_t oi = static_cast<int64_t>(i) * k;
        const heap_row hr = w->live.row(i);
        const typename S::store::row xi = st.at(i);
        const uint32_t tag = static_cast<uint32_t>(i) + 1;
        // The live row is the caller's array: each id is read once and checked.
        if (w->seen)
            for (int j = 0; j < k; ++j) {
                const int32_t id = vornik::load_id(&hr.ids[j]);
                if (vornik::id_below(id, n)) w->seen[id] = tag;
            }
        if (p + ENTRIES_AHEAD < p1) prefetch_row_entries<S>(w, st, row_at(w, p + ENTRIES_AHEAD));
        if (p + LISTS_AHEAD < p1) prefetch_expanded_lists(w, row_at(w, p + LISTS_AHEAD));

        // Forward: every snapshot neighbour of each neighbour flagged new.
        for (int a = 0; a < k; ++a) {
            if (!w->sf[oi + a]) continue;
            const int32_t j = w->sh[oi + a];
            if (j < 0 || j >= n) continue;
            const int32_t *sj = w->sh + static_cast<int64_t>(j) * k;
            for (int b = 0; b < k; ++b) {
                const int32_t c = sj[b];
                if (c < 0 || c >= n || c == i) continue;
                upd += offer<S>(w, st, xi, hr, c, tag, q);
            }
        }
        // Reverse: the points that newly hold i as a neighbour.
        const int32_t *ri = w->revn + oi;
        for (int a = 0; a < w->rcn[i]; ++a) {
            const int32_t c = ri[a];
            if (c < 0 || c >= n || c == i) continue;
            upd += offer<S>(w, st, xi, hr, c, tag, q);
        }
        upd += flush_offers<S>(w, st, xi, hr, q);
    }
    return upd;
}

template <class S> bool finite_of(const void *store) {
    return S::finite(store_of<S>(store));
}

template <class S> uint64_t plane_bytes_of(const void *store) {
    return S::split::plane_bytes(store_of<S>(store));
}

// The ops table NAME##_ops of space SPACE (a type name without commas),
// compiled with the function attributes ATTR (a target, or nothing).
#define VORNIK_DEFINE_SPACE_OPS(NAME, SPACE, ATTR)                                                 \
    ATTR __attribute__((flatten)) void NAME##_split(const vornik::knn::rpx *c,                     \
                                                    const int32_t *node, int m, uint64_t *rng) {   \
        vornik::knn::split_node<SPACE>(c, node, m, rng);                                           \
    }                                                                                              \
    ATTR __attribute__((flatten)) void NAME##_leaf(const vornik::knn::rpx *c, const int32_t *idx,  \
                                                   int lo, int hi) {                               \
        vornik::knn::leaf_pairs<SPACE>(c, idx, lo, hi);                                            \
    }                                                                                              \
    ATTR __attribute__((flatten)) int64_t NAME##_rows(const vornik::knn::work *w, int p0,          \
                                                      int p1) {                                    \
        return vornik::knn::descend_rows<SPACE>(w, p0, p1);                                        \
    }                                                                                              \
    const vornik::knn::space_ops NAME##_ops = {vornik::knn::finite_of<SPACE>,                      \
                                               vornik::knn::plane_bytes_of<SPACE>, NAME##_split,   \
                                               NAME##_leaf, NAME##_rows};

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_SEARCH_H
