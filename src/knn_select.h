// knn_select.h - the random draws of the forest and the median selection
// that splits a node.
//
// Every random choice of the kNN search is a step of SplitMix64 on a tree
// worker's state; the draws and the arrangement the selection leaves are
// fixed, since results are reproducible bit for bit.
#ifndef VORNIK_KNN_SELECT_H
#define VORNIK_KNN_SELECT_H

#include <cstdint>

#include "kernel_support.h"

namespace vornik {
namespace knn {

// One SplitMix64 step: the state advances before mixing.
inline uint64_t sm64(uint64_t *s) {
    return splitmix64_next(s);
}

// A draw in [0, m) for a positive m: a plain remainder, no rejection.
inline int draw_below(uint64_t *s, int m) {
    return static_cast<int>(sm64(s) % static_cast<uint64_t>(m));
}

// Swaps positions a and b of the projections and the ids together.
inline void swap_entries(double *pv, int32_t *idx, int a, int b) {
    const double tv = pv[a];
    const int32_t ti = idx[a];
    pv[a] = pv[b];
    idx[a] = idx[b];
    pv[b] = tv;
    idx[b] = ti;
}

// Moves the entries of [from, hi] whose value equals pivot to the front of
// that range, in a Lomuto pass on equality.
inline void gather_equal(double *pv, int32_t *idx, int from, int hi, double pivot) {
    int store = from - 1;
    for (int i = from; i <= hi; ++i) {
        if (pv[i] == pivot) {
            ++store;
            swap_entries(pv, idx, store, i);
        }
    }
}

// A pass that meets at least this many values equal to its pivot gathers
// them (see qselect). Fewer cost at most a few extra passes; a tie between
// a handful of coincident projections keeps the plain Lomuto arrangement.
const int TIE_GATHER_MIN = 16;

// Randomised quickselect with Lomuto partitioning, moving idx with pv: puts
// the value that belongs at target in ascending order there, nothing larger
// before it and nothing smaller after it. One draw per pass; values equal to
// the pivot stay to its right.
//
// Heavy ties: when the target lies right of the pivot and at least
// TIE_GATHER_MIN values equal to the pivot are there too, they are gathered
// right after it, and the selection stops if the target falls among them;
// otherwise it goes on beyond them. Without that, every pass over many equal
// values would settle a single one of them, and the selection would take
// quadratic time. Every other pass draws and moves exactly as plain Lomuto.
inline void qselect(double *pv, int32_t *idx, int n, int target, uint64_t *rng) {
    int lo = 0, hi = n - 1;
    while (lo < hi) {
        const int p = lo + draw_below(rng, hi - lo + 1);
        const double pivot = pv[p];
        swap_entries(pv, idx, p, lo);
        int store = lo, ties = 0;
        for (int i = lo + 1; i <= hi; ++i) {
            if (pv[i] < pivot) {
                ++store;
                swap_entries(pv, idx, store, i);
            } else {
                ties += pv[i] == pivot;
            }
        }
        swap_entries(pv, idx, lo, store);
        if (store == target) return;
        if (store > target) {
            hi = store - 1;
            continue;
        }
        lo = store + 1;
        if (ties >= TIE_GATHER_MIN) {
            gather_equal(pv, idx, lo, hi, pivot);
            if (target < lo + ties) return;
            lo += ties;
        }
    }
}

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_SELECT_H
