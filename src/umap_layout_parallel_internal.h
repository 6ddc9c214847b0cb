// umap_layout_parallel_internal.h - the barrier and the work partition of the
// parallel layout optimiser, kept apart so that tests can reach them.
#ifndef VORNIK_UMAP_LAYOUT_PARALLEL_INTERNAL_H
#define VORNIK_UMAP_LAYOUT_PARALLEL_INTERNAL_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <pthread.h>

#include "kernel_support.h"

// Online processors of the machine, at least one.
static inline long mirnak_umap_online_cpus() {
    return static_cast<long>(vornik::online_cpus());
}

// ---------------------------------------------------------------------------
// Barrier
// ---------------------------------------------------------------------------

// A reusable barrier for a fixed number of parties with a sticky abort. The
// generation, not the count, lets a waiter leave, so a fast thread that
// re-enters for the next crossing cannot confuse a slow one still leaving the
// last. The generation is only compared for equality and wraps (unsigned):
// a long run may cross more than INT_MAX times.
struct mirnak_barrier_t {
    pthread_mutex_t mtx;
    pthread_cond_t cond;
    int count;
    unsigned generation;
    int n_threads;
    int aborted;
    int polls; // generation polls before a waiter sleeps (0: sleep at once)
};

// Polls before a waiting thread sleeps (some hundred microseconds in all),
// and the pause between two polls.
const int MIRNAK_BARRIER_POLLS = 500;

static inline void mirnak_barrier_pause() {
    for (int i = 0; i < 16; ++i) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        __asm__ __volatile__("yield");
#endif
    }
}

// Processors the calling thread may run on: its affinity mask where the
// system tells it, else every online processor.
static inline long mirnak_barrier_usable_cpus() {
    return static_cast<long>(vornik::usable_cpus());
}

static inline void mirnak_barrier_init(mirnak_barrier_t *b, int n) {
    pthread_mutex_init(&b->mtx, nullptr);
    pthread_cond_init(&b->cond, nullptr);
    b->count = 0;
    b->generation = 0;
    b->n_threads = n;
    b->aborted = 0;
    // With more parties than processors a polling waiter could hold the very
    // processor the last party needs, so then waiters sleep at once.
    b->polls = n <= mirnak_barrier_usable_cpus() ? MIRNAK_BARRIER_POLLS : 0;
}

// 0 after a normal crossing, non-zero once the barrier is aborted.
//
// A thread that is not the last to arrive first polls the generation for a
// short while before it sleeps on the condition variable: the substeps of the
// layout are short and evenly shared, so the last party usually arrives
// within microseconds, and a sleeping thread costs a wake-up through the
// kernel on every crossing. Each poll takes the mutex, so every field is
// still read and written under it.
static inline int mirnak_barrier_wait(mirnak_barrier_t *b) {
    pthread_mutex_lock(&b->mtx);
    if (b->aborted) {
        pthread_mutex_unlock(&b->mtx);
        return 1;
    }
    const unsigned gen = b->generation;
    b->count += 1;
    if (b->count == b->n_threads) {
        b->count = 0;
        b->generation = gen + 1u;
        pthread_cond_broadcast(&b->cond);
        pthread_mutex_unlock(&b->mtx);
        return 0;
    }
    for (int poll = 0; poll < b->polls; ++poll) {
        pthread_mutex_unlock(&b->mtx);
        mirnak_barrier_pause();
        pthread_mutex_lock(&b->mtx);
        if (b->generation != gen || b->aborted) break;
    }
    while (b->generation == gen && !b->aborted) pthread_cond_wait(&b->cond, &b->mtx);
    const int aborted = b->aborted;
    pthread_mutex_unlock(&b->mtx);
    return aborted ? 1 : 0;
}

// Releases every waiter and fails every later wait; never undone.
static inline void mirnak_barrier_abort(mirnak_barrier_t *b) {
    pthread_mutex_lock(&b->mtx);
    b->aborted = 1;
    pthread_cond_broadcast(&b->cond);
    pthread_mutex_unlock(&b->mtx);
}

static inline void mirnak_barrier_destroy(mirnak_barrier_t *b) {
    pthread_mutex_destroy(&b->mtx);
    pthread_cond_destroy(&b->cond);
}

// ---------------------------------------------------------------------------
// Threads and substeps
// ---------------------------------------------------------------------------

// The default substeps per epoch: about n_vertices edges per substep, at
// most 64, at most one per edge.
static inline int default_substeps(int64_t n_edges, int n_vertices) {
    int64_t s = (n_edges + n_vertices - 1) / n_vertices;
    if (s < 1) s = 1;
    if (s > 64) s = 64;
    if (s > n_edges) s = n_edges;
    return static_cast<int>(s);
}

// An explicit substep count: at most one substep per edge.
static inline int clamp_substeps(int64_t v, int64_t n_edges) {
    const int64_t s = v < n_edges ? v : n_edges;
    return s > INT_MAX ? INT_MAX : static_cast<int>(s);
}

// Substeps per epoch: MIRNAK_UMAP_SUBSTEPS when it parses to a positive
// number, else the default. Read afresh on every call.
static inline int resolve_substeps(int64_t n_edges, int n_vertices) {
    const char *env = getenv("MIRNAK_UMAP_SUBSTEPS");
    if (env) {
        const long v = strtol(env, nullptr, 10);
        if (v > 0) return clamp_substeps(v, n_edges);
    }
    return default_substeps(n_edges, n_vertices);
}

// ---------------------------------------------------------------------------
// Partition
// ---------------------------------------------------------------------------

// Substep s holds the edges i with i mod n_substeps == s, K of them; worker t
// takes the k-th of them (edge s + k * n_substeps) for k in [k_lo, k_hi).
// Returns K.
static inline int64_t layout_edge_share(int64_t n_edges, int64_t n_substeps, int64_t s, int T,
                                        int t, int64_t *k_lo, int64_t *k_hi) {
    const int64_t K = s < n_edges ? (n_edges - s + n_substeps - 1) / n_substeps : 0;
    uint64_t lo, hi;
    vornik::proportional_block(static_cast<uint64_t>(K), static_cast<uint64_t>(T),
                               static_cast<uint64_t>(t), &lo, &hi);
    *k_lo = static_cast<int64_t>(lo);
    *k_hi = static_cast<int64_t>(hi);
    return K;
}

// Position of substep s's first edge when the per-edge schedule is stored
// substep by substep: the first n_edges mod n_substeps substeps hold one edge
// more than the rest.
static inline int64_t layout_substep_offset(int64_t n_edges, int64_t n_substeps, int64_t s) {
    const int64_t q = n_edges / n_substeps;
    const int64_t r = n_edges % n_substeps;
    return s * q + (s < r ? s : r);
}

// Worker t reduces the flat embedding slice [lo, hi); the slices tile
// [0, emb_len) and may split a vertex's coordinates.
static inline void layout_slice(size_t emb_len, int T, int t, size_t *lo, size_t *hi) {
    uint64_t l, h;
    vornik::proportional_block(emb_len, static_cast<uint64_t>(T), static_cast<uint64_t>(t), &l, &h);
    *lo = static_cast<size_t>(l);
    *hi = static_cast<size_t>(h);
}

#endif // VORNIK_UMAP_LAYOUT_PARALLEL_INTERNAL_H
