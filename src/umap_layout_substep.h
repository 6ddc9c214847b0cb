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
#include "scratch.h"
#include "umap_layout.h"

namespace vornik {
namespace layout {

// The edges in schedule order: edge s + k * S of the caller's list at
// position offset(s) + k, so that a share of a substep is contiguous memory
// rather than a stride of S.
struct edge_table {
    const int32_t *head;
    const int32_t *tail;
    const float *eps; // epochs_per_sample
};

// What every thread of a run reads, filled before any thread starts.
//
// The schedule is stored in schedule order too. eons is apart from the rest
// because every edge's is read to find the due ones; an edge that is never
// sampled is parked with eons = +inf, so the due test reads eons alone. An
// edge's epochs per negative sample is not stored: it is eps / rate again,
// the same double every time, and one fewer double per edge to stream.
struct substep_run {
    layout_problem problem; // the gradients read the edges from the table
    edge_table edges;
    double *eons;
    double *eonn;   // negative samples drawn up to here
    float *gbuf;    // n_blocks gradient buffers of emb_len floats each, or null
    size_t emb_len; // n_samples * dim
    int n_blocks;   // shares of a substep: buffers the reduction sums, in order
    int n_substeps;
    vornik::powf_fast::powf_path powers; // how the powers are taken (all give powf's bits)
};

// The rows whose gradients a share adds to (its due edges' heads and tails),
// each listed once: a bit per row says whether it is listed already; and
// how many of them fall into each block of 2^block_shift rows (at
// per_block[b + 1] for block b). A row's gradient sums are cleared when it
// is listed, before anything is added to them, so the buffer need not be
// clear between shares. The parts optimiser sums only these rows.
struct touched_rows {
    uint64_t *marks;
    int32_t *rows;
    int64_t count;
    uint32_t *per_block;
    int block_shift;
};

inline void note_row(touched_rows *t, int32_t row, float *sums, int dim) {
    uint64_t &word = t->marks[static_cast<uint32_t>(row) >> 6];
    const uint64_t bit = uint64_t(1) << (row & 63);
    if (word & bit) return;
    word |= bit;
    t->rows[t->count++] = row;
    ++t->per_block[(row >> t->block_shift) + 1];
    for (int d = 0; d < dim; ++d) sums[d] = 0.0f;
}

// The memory of a run: gradient buffers (left uncleared), the schedule and,
// unless the caller's edges already come in schedule order, the edge table.
struct substep_scratch {
    scratch<float> gbuf;
    scratch<double> eons;
    scratch<double> eonn;
    scratch<int32_t> head;
    scratch<int32_t> tail;
    scratch<float> eps;
};

// Allocates the scratch of a run whose substeps are cut into n_blocks shares,
// S substeps per epoch, with one gradient buffer per share unless
// no_buffers, fills the edge table and the initial schedule, and describes
// the run in *run. With in_schedule_order the problem's edges are already in
// schedule order and are read where they are. False when memory runs out.
bool prepare_substep_run(const layout_problem &c, int n_blocks, int S, bool in_schedule_order,
                         substep_scratch *sc, substep_run *run, bool no_buffers = false);

// Allocates the copy of the edge table in *sc, n_edges entries (all three
// arrays before any is checked). False when memory runs out.
bool allocate_edge_copy(substep_scratch *sc, uint64_t n_edges);

// Copies the n_edges edges `from` into the edge copy of *to, from list order
// into the schedule order of S substeps (into_schedule) or back.
void reorder_edges(const edge_table &from, int64_t n_edges, int64_t S, bool into_schedule,
                   substep_scratch *to);

// The gradients of edges [k_lo, k_hi) of substep s (schedule position of its
// first edge: base) into the buffer g, for epoch n, in ascending edge order;
// with touched, the rows they add to are listed there too.
void substep_gradients(const substep_run &r, float *g, int64_t s, int64_t base, int64_t k_lo,
                       int64_t k_hi, int n, touched_rows *touched = nullptr);

// embedding[v] += (sum over the buffers, in order, of gbuf[b][v]) * alpha for
// v in [lo, hi), leaving every buffer's entry v at zero.
void reduce_range(const substep_run &r, size_t lo, size_t hi, float alpha);

} // namespace layout
} // namespace vornik

#endif // VORNIK_UMAP_LAYOUT_SUBSTEP_H
