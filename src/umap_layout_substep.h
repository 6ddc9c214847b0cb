// umap_layout_substep.h - one substep of the threaded optimisers: the edge
// table and schedule stored substep by substep, the gradients of a share of
// a substep's edges into one gradient buffer from frozen positions, and the
// reduction that adds the buffers to the embedding.
//
// Both threaded optimisers run on this: the barrier optimiser gives each
// worker thread one share and one buffer, the parts optimiser hands shares
// and reduction blocks to whichever thread is free. Which thread computes a
// share never changes its bits.
#ifndef VORNIK_UMAP_LAYOUT_SUBSTEP_H
#define VORNIK_UMAP_LAYOUT_SUBSTEP_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "powf_fast.h"
#include "umap_layout_internal.h"
#include "umap_layout_parallel_internal.h"

namespace vornik {
namespace layout {

// One edge as the gradient code reads it.
struct layout_edge {
    int32_t head;
    int32_t tail;
    float eps; // epochs_per_sample
};

// The negative-sample schedule of an edge, read and written together when
// the edge is due: drawn up to eonn, one owed per epn epochs.
struct negative_schedule {
    double eonn;
    double epn;
};

// What every thread of a run reads, filled before any thread starts.
//
// Everything per edge is stored substep by substep (edge s + k * S at
// position offset(s) + k), so a share of a substep is contiguous memory
// rather than a stride of S. eons is apart from the rest of the schedule
// because every edge's is read to find the due ones. An edge that is never
// sampled is parked with eons = +inf, so the due test reads eons alone.
struct substep_run {
    layout_problem problem; // the gradients read the edges from the table
    const layout_edge *edges;
    double *eons;
    negative_schedule *neg;
    float *gbuf;    // n_blocks gradient buffers of emb_len floats each
    size_t emb_len; // n_samples * dim
    int n_blocks;   // buffers the reduction sums, in order
    int n_substeps;
    vornik::powf_fast::powf_path powers; // how the powers are taken (all give powf's bits)
};

// The edge table and the initial schedule, stored substep by substep.
void init_edges(const layout_problem &c, int64_t S, layout_edge *edges, double *eons,
                negative_schedule *neg);

// The gradients of edges [k_lo, k_hi) of substep s (schedule position of its
// first edge: base) into the buffer g, for epoch n, in ascending edge order.
void substep_gradients(const substep_run &r, float *g, int64_t s, int64_t base, int64_t k_lo,
                       int64_t k_hi, int n);

// embedding[v] += (sum over the buffers, in order, of gbuf[b][v]) * alpha for
// v in [lo, hi), leaving every buffer's entry v at zero.
void reduce_range(const substep_run &r, size_t lo, size_t hi, float alpha);

} // namespace layout
} // namespace vornik

#endif // VORNIK_UMAP_LAYOUT_SUBSTEP_H
