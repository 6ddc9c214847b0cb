// knn.cpp - approximate k nearest neighbours: the search's driver, and its
// squared Euclidean instance.
//
// Three phases, each on short-lived threads joined before the next starts:
//   1. tree workers build a share of a random-projection forest each, into a
//      neighbour heap of their own;
//   2. merge workers fold those heaps, row by row, into the caller's arrays;
//   3. NN-descent iterations refine the caller's arrays in place.
// No lock is used: every worker writes only its own heap or its own rows, and
// thread creation and join order everything else. Results depend on the seed
// and the number of tree workers, never on scheduling or on the threads that
// run the work: threads claim tree workers and blocks of rows as they come
// free, and a thread that cannot be created runs its share on the calling
// thread at once. The driver reaches the rows only through the space's ops
// (knn_search.h), so every metric runs this same search.
#include "vornik_kernels.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "control.h"
#include "kernel_support.h"
#include "knn_internal.h"
#include "knn_search.h"
#include "scratch.h"

namespace {

using namespace vornik::knn;
using vornik::alloc_scratch;
using vornik::block_size;
using vornik::scratch;

// The refinement stops once an iteration changes fewer than this fraction of
// all n * k heap slots.
const double STOP_FRACTION = 0.0002;

// Tree seeds: seed XOR ((e + 1) * 40503) for tree worker e.
const uint64_t TREE_SEED_STRIDE = 40503;

// ---------------------------------------------------------------------------
// Worker records
// ---------------------------------------------------------------------------

// Scratch of one tree worker, reused by all its trees: the node order
// (idx, n entries), the values of the current node (pv, n) and the split's
// scratch (plane), which is used up before either child is split.
struct tree_scratch {
    int32_t *idx;
    double *pv;
    void *plane;
};

// What every phase reads: the space, the sizes and the caller's block.
struct knn_input {
    int n, k;
    const void *store;
    const space_ops *ops;
    bool finite; // no distance can be NaN
    mirnak_control *ctl;
};

struct treework {
    int t0, t1; // tree numbers [t0, t1)
    int leaf;   // largest node that is not split
    const knn_input *in;
    neighbour_heap heap; // this worker's own, n rows
    uint64_t seed;
    tree_scratch scratch;
};

// One thread of the tree phase: it claims the tree workers of a batch one at
// a time, in order, and runs each to its end with its own scratch.
struct tree_thread {
    treework *records;
    int count;
    std::atomic<int> *next; // the next unclaimed record
    tree_scratch scratch;   // this thread's
};

// Folds the heaps of a batch of tree workers into the output rows. The fold
// of all workers' heaps is a sequence of offers in worker order per row, so
// folding batch after batch in worker order gives the same rows.
struct mergework {
    row_blocks rows;
    int P;                       // number of tree-worker heaps in this batch
    const neighbour_heap *trees; // the P heaps, in worker order
    neighbour_heap out;          // the caller's arrays and the kernel's flags
    bool first;                  // the first batch: the rows start as sentinels
};

// ---------------------------------------------------------------------------
// Random-projection forest
// ---------------------------------------------------------------------------

// Splits the node idx[lo, hi) at the median of its values under the space's
// split rule, left part first, until nodes fit a leaf. A stop leaves the rest
// of the tree unbuilt.
void rp(rpx *c, int32_t *idx, int lo, int hi, uint64_t *rng) {
    if (vornik::stop_requested(c->ctl)) return;
    const int m = hi - lo;
    if (m <= c->leaf) {
        c->ops->leaf(c, idx, lo, hi);
        return;
    }
    c->ops->split(c, idx + lo, m, rng);
    qselect(c->pv, idx + lo, m, m / 2, rng);
    const int mid = m / 2;
    rp(c, idx, lo, lo + mid, rng);
    rp(c, idx, lo + mid, hi, rng);
}

void shuffle(int32_t *idx, int n, uint64_t *rng) {
    for (int i = 0; i < n; ++i) idx[i] = i;
    for (int i = n - 1; i >= 1; --i) {
        const int j = draw_below(rng, i + 1);
        const int32_t tt = idx[i];
        idx[i] = idx[j];
        idx[j] = tt;
    }
}

void *treeworker(void *arg) {
    treework *w = static_cast<treework *>(arg);
    const knn_input &in = *w->in;
    const int n = in.n, k = in.k;
    fill_sentinels(w->heap.dist, w->heap.ids, w->heap.flags,
                   static_cast<uint64_t>(n) * static_cast<uint64_t>(k));
    int32_t *idx = w->scratch.idx;
    uint64_t rng = w->seed;
    rpx c;
    c.n = n;
    c.k = k;
    c.leaf = w->leaf;
    c.store = in.store;
    c.heap = w->heap;
    c.pv = w->scratch.pv;
    c.plane = w->scratch.plane;
    c.ops = in.ops;
    c.finite = in.finite;
    c.ctl = in.ctl;
    for (int t = w->t0; t < w->t1; ++t) {
        if (vornik::stop_requested(in.ctl)) break;
        shuffle(idx, n, &rng);
        rp(&c, idx, 0, n, &rng);
        vornik::add_progress(in.ctl, 1);
    }
    return nullptr;
}

void *tree_thread_worker(void *arg) {
    tree_thread *t = static_cast<tree_thread *>(arg);
    for (;;) {
        const int j = t->next->fetch_add(1, std::memory_order_relaxed);
        if (j >= t->count) break;
        t->records[j].scratch = t->scratch;
        treeworker(&t->records[j]);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Heap merge
// ---------------------------------------------------------------------------

void *mergeworker(void *arg) {
    const mergework *w = static_cast<const mergework *>(arg);
    const int k = w->out.k;
    int i0, i1;
    while (w->rows.claim(&i0, &i1)) {
        for (int i = i0; i < i1; ++i) {
            const heap_row out = w->out.row(i);
            if (w->first) fill_sentinels(out.dist, out.ids, out.flags, static_cast<uint64_t>(k));
            for (int e = 0; e < w->P; ++e) {
                const heap_row tree = w->trees[e].row(i);
                for (int j = 0; j < k; ++j)
                    if (tree.ids[j] >= 0) hpush(out, tree.ids[j], tree.dist[j]);
            }
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// NN-descent worker
// ---------------------------------------------------------------------------

// One thread's part of an iteration: blocks of rows, claimed until none is
// left or the caller asks to stop.
void *descworker(void *arg) {
    work *w = static_cast<work *>(arg);
    if (w->seen) std::memset(w->seen, 0, sizeof(uint32_t) * static_cast<size_t>(w->n));
    int64_t upd = 0;
    int i0, i1;
    while (!vornik::stop_requested(w->ctl) && w->rows.claim(&i0, &i1))
        upd += w->ops->rows(w, i0, i1);
    w->upd = upd;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Tree-phase storage
// ---------------------------------------------------------------------------

// Threads and workers of the forest and the merge.
struct forest_plan {
    int workers;       // tree workers: the result depends on this count
    int threads;       // threads that run them, at most this many at once
    int batch;         // workers whose heaps are held at once
    int merge_threads; // merge workers per batch
};

forest_plan plan_forest(const knn_input &in, int workers, int threads, int merge_threads,
                        uint64_t batch_bytes) {
    forest_plan p;
    p.workers = workers;
    p.threads = threads;
    const uint64_t heap_bytes = static_cast<uint64_t>(in.n) * static_cast<uint64_t>(in.k) *
                                (sizeof(float) + sizeof(int32_t) + sizeof(uint8_t));
    const uint64_t fit = batch_bytes / heap_bytes;
    p.batch = fit < static_cast<uint64_t>(p.threads) ? p.threads
              : fit < static_cast<uint64_t>(workers) ? static_cast<int>(fit)
                                                     : workers;
    p.merge_threads = merge_threads;
    return p;
}

// Everything the forest and the merge use, allocated before any worker runs
// so that a failure leaves the outputs untouched; whatever was allocated is
// freed when the owner goes out of scope.
struct forest_storage {
    int heaps = 0, scratch_sets = 0;
    scratch<neighbour_heap> heap;         // one per worker of a batch
    scratch<treework> records;            // one per worker of a batch
    scratch<tree_scratch> thread_scratch; // one per thread
    scratch<tree_thread> tree_threads;    // one per thread
    scratch<pthread_t> th;                // tree threads, then merge threads
    scratch<mergework> merges;

    bool allocate(const knn_input &in, const forest_plan &p) {
        heap = alloc_scratch<neighbour_heap>(p.batch);
        records = alloc_scratch<treework>(p.batch);
        thread_scratch = alloc_scratch<tree_scratch>(p.threads);
        tree_threads = alloc_scratch<tree_thread>(p.threads);
        th = alloc_scratch<pthread_t>(p.threads > p.merge_threads ? p.threads : p.merge_threads);
        merges = alloc_scratch<mergework>(p.merge_threads);
        if (!heap || !records || !thread_scratch || !tree_threads || !th || !merges) return false;
        const uint64_t nk = static_cast<uint64_t>(in.n) * static_cast<uint64_t>(in.k);
        for (; heaps < p.batch; ++heaps) {
            neighbour_heap &h = heap[heaps];
            h.dist = alloc_scratch<float>(nk).release();
            h.ids = alloc_scratch<int32_t>(nk).release();
            h.flags = alloc_scratch<uint8_t>(nk).release();
            h.k = in.k;
            if (!h.dist || !h.ids || !h.flags) {
                ++heaps; // freed with the others
                return false;
            }
        }
        for (; scratch_sets < p.threads; ++scratch_sets) {
            tree_scratch &t = thread_scratch[scratch_sets];
            t.idx = alloc_scratch<int32_t>(in.n).release();
            t.pv = alloc_scratch<double>(in.n).release();
            t.plane = alloc_scratch<char>(in.ops->plane_bytes(in.store)).release();
            if (!t.idx || !t.pv || !t.plane) {
                ++scratch_sets;
                return false;
            }
        }
        return true;
    }
    ~forest_storage() {
        for (int e = 0; e < heaps; ++e) {
            std::free(heap[e].dist);
            std::free(heap[e].ids);
            std::free(heap[e].flags);
        }
        for (int t = 0; t < scratch_sets; ++t) {
            std::free(thread_scratch[t].idx);
            std::free(thread_scratch[t].pv);
            std::free(thread_scratch[t].plane);
        }
    }
};

// Tree worker e of all: its share of the n_trees trees and its own seed.
treework tree_record(const knn_input &in, int n_trees, int leaf, uint64_t seed, int all, int e,
                     int first_tree, const neighbour_heap &heap) {
    treework w;
    w.t0 = first_tree;
    w.t1 = first_tree + block_size(n_trees, all, e);
    w.leaf = leaf;
    w.in = &in;
    w.heap = heap;
    w.seed = seed ^ static_cast<uint64_t>(static_cast<uint32_t>(e + 1)) * TREE_SEED_STRIDE;
    w.scratch = tree_scratch{nullptr, nullptr, nullptr};
    return w;
}

// Runs the count workers of a batch on up to p.threads threads, which claim
// them one by one.
void run_tree_batch(const forest_plan &p, forest_storage &fs, int count) {
    const int threads = count < p.threads ? count : p.threads;
    std::atomic<int> next{0};
    for (int r = 0; r < threads; ++r) {
        tree_thread &t = fs.tree_threads[r];
        t.records = fs.records.get();
        t.count = count;
        t.next = &next;
        t.scratch = fs.thread_scratch[r];
    }
    vornik::fan_out(
        threads, [&](int r) { return &fs.tree_threads[r]; }, tree_thread_worker, fs.th.get(),
        vornik::caller_role::waits);
}

// Folds the count heaps of a batch into the output rows.
void merge_tree_batch(const forest_plan &p, forest_storage &fs, int count, bool first,
                      const neighbour_heap &out, int n) {
    std::atomic<int> next{0};
    for (int e = 0; e < p.merge_threads; ++e) {
        mergework &w = fs.merges[e];
        w.rows = row_blocks{n, &next};
        w.P = count;
        w.trees = fs.heap.get();
        w.out = out;
        w.first = first;
    }
    vornik::fan_out(
        p.merge_threads, [&](int e) { return &fs.merges[e]; }, mergeworker, fs.th.get(),
        vornik::caller_role::waits);
}

enum class phase_end { done, no_memory, stopped };

// The points in the order of the leaves of a tree of the first batch (the
// last tree its thread built): points close in this order are mostly close
// in space. Identity when that worker built no tree.
void copy_leaf_order(const forest_storage &fs, int n, int32_t *leaf_order) {
    const treework &w = fs.records[0];
    if (w.t1 > w.t0 && w.scratch.idx) {
        std::memcpy(leaf_order, w.scratch.idx, sizeof(int32_t) * static_cast<size_t>(n));
        return;
    }
    for (int i = 0; i < n; ++i) leaf_order[i] = i;
}

// The forest and the merge into out. No memory: out untouched. Stopped:
// out untouched, or holding the fold of the batches built before the stop.
phase_end run_forest(const knn_input &in, int n_trees, int leaf, uint64_t seed,
                     const forest_plan &p, const neighbour_heap &out, int32_t *leaf_order) {
    forest_storage fs;
    if (!fs.allocate(in, p)) return phase_end::no_memory;
    int first_tree = 0;
    for (int b0 = 0; b0 < p.workers; b0 += p.batch) {
        const int count = p.workers - b0 < p.batch ? p.workers - b0 : p.batch;
        for (int j = 0; j < count; ++j) {
            fs.records[j] =
                tree_record(in, n_trees, leaf, seed, p.workers, b0 + j, first_tree, fs.heap[j]);
            first_tree = fs.records[j].t1;
        }
        run_tree_batch(p, fs, count);
        // A stopped batch holds unfinished trees: none of it reaches out.
        if (vornik::stop_requested(in.ctl)) return phase_end::stopped;
        if (b0 == 0 && leaf_order) copy_leaf_order(fs, in.n, leaf_order);
        merge_tree_batch(p, fs, count, b0 == 0, out, in.n);
    }
    return phase_end::done;
}

// ---------------------------------------------------------------------------
// NN-descent iteration loop
// ---------------------------------------------------------------------------

// The refinement's per-iteration scratch, allocated once per call.
struct descent_scratch {
    int32_t *sh;   // snapshot of the ids, n * k
    uint8_t *sf;   // snapshot of the new-flags, n * k
    int32_t *revn; // reverse-neighbour lists, k slots per point
    int *rcn;      // reverse-neighbour counts, n
};

// Reverse lists: row v holds, in ascending order, the first k points that
// hold v as a new neighbour in the snapshot.
void build_reverse_lists(int n, int k, const descent_scratch &s) {
    for (int i = 0; i < n; ++i) {
        const int64_t oi = static_cast<int64_t>(i) * k;
        for (int a = 0; a < k; ++a) {
            if (!s.sf[oi + a]) continue;
            const int32_t v = s.sh[oi + a];
            if (v < 0 || v >= n || s.rcn[v] >= k) continue;
            s.revn[static_cast<int64_t>(v) * k + s.rcn[v]] = i;
            s.rcn[v] += 1;
        }
    }
}

work descent_record(const knn_input &in, const descent_scratch &s, const neighbour_heap &live,
                    const row_blocks &rows, uint32_t *seen, const int32_t *order) {
    work w;
    w.rows = rows;
    w.n = in.n;
    w.k = in.k;
    w.store = in.store;
    w.sh = s.sh;
    w.sf = s.sf;
    w.revn = s.revn;
    w.rcn = s.rcn;
    w.live = live;
    w.upd = 0;
    w.ops = in.ops;
    w.seen = seen;
    w.order = order;
    w.finite = in.finite;
    w.ctl = in.ctl;
    return w;
}

// The refinement iterations on the threads: done also when its arrays could
// not be had (the refinement is skipped), stopped when the caller asked.
phase_end run_refinement(const knn_input &in, int n_iters, int deff, const neighbour_heap &live,
                         const descent_scratch &s, const int32_t *order) {
    const int n = in.n, k = in.k;
    scratch<pthread_t> th = alloc_scratch<pthread_t>(deff);
    scratch<work> wk = alloc_scratch<work>(deff);
    if (!th || !wk) return phase_end::done;
    // Without the marks every candidate's distance is computed; the result
    // is the same. They are only valid while no distance can be NaN.
    // Each worker clears its n marks per iteration, so they are kept only
    // while their memory stays within a small multiple of the heaps.
    scratch<uint32_t> seen;
    const uint64_t marks = static_cast<uint64_t>(n) * static_cast<uint64_t>(deff);
    if (in.finite && marks <= 4 * static_cast<uint64_t>(n) * static_cast<uint64_t>(k))
        seen = alloc_scratch<uint32_t>(marks);

    const uint64_t nk = static_cast<uint64_t>(n) * static_cast<uint64_t>(k);
    const int64_t threshold =
        static_cast<int64_t>(static_cast<double>(n) * static_cast<double>(k) * STOP_FRACTION);
    for (int it = 0; it < n_iters; ++it) {
        if (vornik::stop_requested(in.ctl)) return phase_end::stopped;
        std::memcpy(s.sh, live.ids, sizeof(int32_t) * nk);
        std::memcpy(s.sf, live.flags, nk);
        std::memset(live.flags, 0, nk);
        std::memset(s.rcn, 0, sizeof(int) * static_cast<size_t>(n));
        build_reverse_lists(n, k, s);

        std::atomic<int> next{0};
        for (int e = 0; e < deff; ++e) {
            uint32_t *own_seen = seen ? seen.get() + static_cast<int64_t>(e) * n : nullptr;
            wk[e] = descent_record(in, s, live, row_blocks{n, &next}, own_seen, order);
        }
        vornik::fan_out(
            deff, [&](int e) { return &wk[e]; }, descworker, th.get(), vornik::caller_role::waits);
        if (vornik::stop_requested(in.ctl)) return phase_end::stopped;
        vornik::add_progress(in.ctl, 1);

        int64_t total = 0;
        for (int e = 0; e < deff; ++e) total += wk[e].upd;
        if (total < threshold) break;
    }
    return phase_end::done;
}

} // namespace

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

vornik::knn::knn_schedule vornik::knn::schedule_for_threads(int n_threads) {
    knn_schedule s;
    s.tree_workers = vornik::requested_threads(n_threads);
    s.threads = n_threads;
    s.ctl = nullptr;
    s.tree_batch_bytes = TREE_BATCH_BYTES;
    return s;
}

int vornik::knn::search(const search_space &sp, const search_problem &p,
                        const knn_schedule &sched) {
    const int n = sp.n, k = p.k;
    if (n <= 0 || k <= 0 || k >= n) return MIRNAK_INVALID;
    const int n_trees = p.n_trees < 1 ? 1 : p.n_trees;
    const int n_iters = p.n_iters < 1 ? 1 : p.n_iters;
    const int leaf = k + 1 >= p.leaf_size ? k + 1 : p.leaf_size;
    mirnak_control *ctl = sched.ctl;
    vornik::set_progress(ctl, 0);
    if (vornik::stop_requested(ctl)) return MIRNAK_STOPPED;

    // Rows are refined in the order of a tree's leaves, so that the points a
    // row compares are mostly those its predecessors just compared. Without
    // the memory for it they go in ascending order; the result is the same.
    scratch<int32_t> leaf_order = alloc_scratch<int32_t>(n);
    const uint64_t nk = static_cast<uint64_t>(n) * static_cast<uint64_t>(k);
    scratch<uint8_t> hf = alloc_scratch<uint8_t>(nk); // the new-flags of the output heap
    scratch<int32_t> sh = alloc_scratch<int32_t>(nk);
    scratch<uint8_t> sf = alloc_scratch<uint8_t>(nk);
    scratch<int32_t> revn = alloc_scratch<int32_t>(nk);
    scratch<int> rcn = alloc_scratch<int>(n);
    if (!hf || !sh || !sf || !revn || !rcn) return MIRNAK_OUT_OF_MEMORY;

    // The result depends on the number of tree workers, teff. The threads
    // that run them, the merge workers (meff) and the refinement workers
    // (deff, as many) are capped, and bounded by the trees and the points.
    const int teff = sched.tree_workers < 1         ? n_trees
                     : sched.tree_workers < n_trees ? sched.tree_workers
                                                    : n_trees;
    const int tree_threads = vornik::worker_count(sched.threads, teff);
    const int meff = vornik::worker_count(sched.threads, n);
    const int deff = meff;

    knn_input in;
    in.n = n;
    in.k = k;
    in.store = sp.store;
    in.ops = sp.ops;
    // With no NaN distance a row's root never grows, so an offer already
    // known to be refused may be skipped.
    in.finite = sp.ops->finite(sp.store);
    in.ctl = ctl;
    // The caller's arrays are the live heap of the merge and the refinement.
    const neighbour_heap out = {p.knn_dist, p.knn_idx, hf.get(), k};

    const forest_plan plan = plan_forest(in, teff, tree_threads, meff, sched.tree_batch_bytes);
    const phase_end forest = run_forest(in, n_trees, leaf, p.seed, plan, out, leaf_order.get());
    if (forest == phase_end::no_memory) return MIRNAK_OUT_OF_MEMORY;
    if (forest == phase_end::stopped) return MIRNAK_STOPPED;

    descent_scratch s;
    s.sh = sh.get();
    s.sf = sf.get();
    s.revn = revn.get();
    s.rcn = rcn.get();
    if (run_refinement(in, n_iters, deff, out, s, leaf_order.get()) == phase_end::stopped)
        return MIRNAK_STOPPED;
    // An early end of the refinement counts its remaining iterations as done.
    vornik::set_progress(ctl, static_cast<int64_t>(n_trees) + n_iters);
    return 0;
}

// ---------------------------------------------------------------------------
// Squared Euclidean distance on dense rows
// ---------------------------------------------------------------------------

namespace {

using scalar_euclidean = euclidean_space<scalar_path>;
VORNIK_DEFINE_SPACE_OPS(scalar_euclidean, scalar_euclidean, )
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
using fma_euclidean = euclidean_space<fma_path>;
VORNIK_DEFINE_SPACE_OPS(fma_euclidean, fma_euclidean, VORNIK_TARGET_FMA)
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
using neon_euclidean = euclidean_space<neon_path>;
VORNIK_DEFINE_SPACE_OPS(neon_euclidean, neon_euclidean, )
#endif

const space_ops *euclidean_ops(dist_path p) {
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    if (p == DIST_FMA) return &fma_euclidean_ops;
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    if (p == DIST_NEON) return &neon_euclidean_ops;
#endif
    (void)p;
    return &scalar_euclidean_ops;
}

} // namespace

namespace {

int euclidean_search(dist_path path, const dense_rows &rows, const search_problem &p,
                     const knn_schedule &sched) {
    if (rows.n <= 0 || rows.d <= 0) return MIRNAK_INVALID;
    return search(search_space{rows.n, &rows, euclidean_ops(path)}, p, sched);
}

} // namespace

int vornik::knn::knn_descent_on_path(dist_path path, const dense_rows &rows,
                                     const search_problem &p, int n_threads,
                                     uint64_t tree_batch_bytes) {
    knn_schedule s = schedule_for_threads(n_threads);
    s.tree_batch_bytes = tree_batch_bytes;
    return euclidean_search(path, rows, p, s);
}

extern "C" int mirnak_knn_descent_f32(int n_cells, int n_dims, int k, const float *X, int n_trees,
                                      int n_iters, int leaf_size, uint64_t seed, int32_t *knn_idx,
                                      float *knn_dist, int n_threads) {
    const search_problem p = {k, n_trees, n_iters, leaf_size, seed, knn_idx, knn_dist};
    return knn_descent_on_path(best_dist_path(), dense_rows{X, n_cells, n_dims}, p, n_threads);
}

extern "C" int mirnak_knn_descent_f32_ctl(int n_cells, int n_dims, int k, const float *X,
                                          int n_trees, int n_iters, int leaf_size, uint64_t seed,
                                          int32_t *knn_idx, float *knn_dist, int tree_workers,
                                          int n_threads, mirnak_control *control) {
    knn_schedule s;
    s.tree_workers = tree_workers;
    s.threads = n_threads;
    s.ctl = control;
    s.tree_batch_bytes = TREE_BATCH_BYTES;
    const search_problem p = {k, n_trees, n_iters, leaf_size, seed, knn_idx, knn_dist};
    return euclidean_search(best_dist_path(), dense_rows{X, n_cells, n_dims}, p, s);
}
