// umap_layout_partition.h - how the threaded optimisers cut an epoch: the
// substeps per epoch, the share of a substep's edges each worker takes, where
// a substep starts in schedule order, and the slice of the embedding each
// worker reduces.
#ifndef VORNIK_UMAP_LAYOUT_PARTITION_H
#define VORNIK_UMAP_LAYOUT_PARTITION_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kernel_support.h"

namespace vornik {
namespace layout {

// ---------------------------------------------------------------------------
// Substeps
// ---------------------------------------------------------------------------

// The default substeps per epoch: about n_vertices edges per substep, at
// most 64, at most one per edge.
inline int default_substeps(int64_t n_edges, int n_vertices) {
    int64_t s = (n_edges + n_vertices - 1) / n_vertices;
    if (s < 1) s = 1;
    if (s > 64) s = 64;
    if (s > n_edges) s = n_edges;
    return static_cast<int>(s);
}

// An explicit substep count: at most one substep per edge.
inline int clamp_substeps(int64_t v, int64_t n_edges) {
    const int64_t s = v < n_edges ? v : n_edges;
    return s > INT_MAX ? INT_MAX : static_cast<int>(s);
}

// Substeps per epoch of the barrier optimiser: MIRNAK_UMAP_SUBSTEPS when it
// parses to a positive number, else the default. Read afresh on every call.
inline int resolve_substeps(int64_t n_edges, int n_vertices) {
    const char *env = getenv("MIRNAK_UMAP_SUBSTEPS");
    if (env) {
        const long v = strtol(env, nullptr, 10);
        if (v > 0) return clamp_substeps(v, n_edges);
    }
    return default_substeps(n_edges, n_vertices);
}

// ---------------------------------------------------------------------------
// Shares and slices
// ---------------------------------------------------------------------------

// Substep s holds the edges i with i mod n_substeps == s, K of them; worker t
// of T takes the k-th of them (edge s + k * n_substeps) for k in
// [k_lo, k_hi). Returns K.
inline int64_t edge_share(int64_t n_edges, int64_t n_substeps, int64_t s, int T, int t,
                          int64_t *k_lo, int64_t *k_hi) {
    const int64_t K = s < n_edges ? (n_edges - s + n_substeps - 1) / n_substeps : 0;
    uint64_t lo, hi;
    proportional_block(static_cast<uint64_t>(K), static_cast<uint64_t>(T), static_cast<uint64_t>(t),
                       &lo, &hi);
    *k_lo = static_cast<int64_t>(lo);
    *k_hi = static_cast<int64_t>(hi);
    return K;
}

// Position of substep s's first edge when the per-edge schedule is stored
// substep by substep: the first n_edges mod n_substeps substeps hold one edge
// more than the rest.
inline int64_t substep_offset(int64_t n_edges, int64_t n_substeps, int64_t s) {
    const int64_t q = n_edges / n_substeps;
    const int64_t r = n_edges % n_substeps;
    return s * q + (s < r ? s : r);
}

// Worker t of T reduces the flat embedding slice [lo, hi); the slices tile
// [0, emb_len) and may split a vertex's coordinates.
inline void reduction_slice(size_t emb_len, int T, int t, size_t *lo, size_t *hi) {
    uint64_t l, h;
    proportional_block(emb_len, static_cast<uint64_t>(T), static_cast<uint64_t>(t), &l, &h);
    *lo = static_cast<size_t>(l);
    *hi = static_cast<size_t>(h);
}

} // namespace layout
} // namespace vornik

#endif // VORNIK_UMAP_LAYOUT_PARTITION_H
