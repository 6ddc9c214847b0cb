// umap_layout_barrier.h - the barrier at which the workers of the barrier
// optimiser meet twice per substep, kept apart so that tests can reach it.
#ifndef VORNIK_UMAP_LAYOUT_BARRIER_H
#define VORNIK_UMAP_LAYOUT_BARRIER_H

#include <pthread.h>

#include "kernel_support.h"

namespace vornik {
namespace layout {

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
// and the pauses between two polls.
const int BARRIER_POLLS = 500;
const int PAUSES_PER_POLL = 16;

inline void mirnak_barrier_init(mirnak_barrier_t *b, int n) {
    pthread_mutex_init(&b->mtx, nullptr);
    pthread_cond_init(&b->cond, nullptr);
    b->count = 0;
    b->generation = 0;
    b->n_threads = n;
    b->aborted = 0;
    // With more parties than processors a polling waiter could hold the very
    // processor the last party needs, so then waiters sleep at once.
    b->polls = n <= usable_cpus() ? BARRIER_POLLS : 0;
}

// 0 after a normal crossing, non-zero once the barrier is aborted.
//
// A thread that is not the last to arrive first polls the generation for a
// short while before it sleeps on the condition variable: the substeps of the
// layout are short and evenly shared, so the last party usually arrives
// within microseconds, and a sleeping thread costs a wake-up through the
// kernel on every crossing. Each poll takes the mutex, so every field is
// still read and written under it.
inline int mirnak_barrier_wait(mirnak_barrier_t *b) {
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
        for (int i = 0; i < PAUSES_PER_POLL; ++i) cpu_pause();
        pthread_mutex_lock(&b->mtx);
        if (b->generation != gen || b->aborted) break;
    }
    while (b->generation == gen && !b->aborted) pthread_cond_wait(&b->cond, &b->mtx);
    const int aborted = b->aborted;
    pthread_mutex_unlock(&b->mtx);
    return aborted ? 1 : 0;
}

// Releases every waiter and fails every later wait; never undone.
inline void mirnak_barrier_abort(mirnak_barrier_t *b) {
    pthread_mutex_lock(&b->mtx);
    b->aborted = 1;
    pthread_cond_broadcast(&b->cond);
    pthread_mutex_unlock(&b->mtx);
}

inline void mirnak_barrier_destroy(mirnak_barrier_t *b) {
    pthread_mutex_destroy(&b->mtx);
    pthread_cond_destroy(&b->cond);
}

} // namespace layout
} // namespace vornik

#endif // VORNIK_UMAP_LAYOUT_BARRIER_H
