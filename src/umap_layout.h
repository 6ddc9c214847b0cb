// umap_layout.h - the layout optimisers as the kernels' entries and the
// Python layer reach them: the problem they take, its checks, and the serial,
// barrier and parts optimisers.
#ifndef VORNIK_UMAP_LAYOUT_H
#define VORNIK_UMAP_LAYOUT_H

#include <cstdint>

#include "vornik_kernels.h"

// ---------------------------------------------------------------------------
// The problem
// ---------------------------------------------------------------------------

// One layout problem as both optimisers take it: an n_samples x dim
// embedding moved in place, the edge list (head[i], tail[i],
// epochs_per_sample[i] for i < n_edges) and the parameters of the run.
struct layout_problem {
    float *embedding;
    int n_samples; // also the number of vertices negative samples are drawn from
    int dim;
    const int32_t *head;
    const int32_t *tail;
    int64_t n_edges;
    const float *epochs_per_sample;
    int n_epochs;
    float a;
    float b;
    float gamma;
    float initial_alpha;
    float negative_sample_rate;
    uint64_t seed;
};

// The exported kernels' arguments as a problem.
static inline layout_problem
mirnak_umap_make_problem(float *embedding, int n_samples, int dim, const int32_t *head,
                         const int32_t *tail, int64_t n_edges, const float *epochs_per_sample,
                         int n_epochs, float a, float b, float gamma, float initial_alpha,
                         float negative_sample_rate, uint64_t seed) {
    layout_problem p;
    p.embedding = embedding;
    p.n_samples = n_samples;
    p.dim = dim;
    p.head = head;
    p.tail = tail;
    p.n_edges = n_edges;
    p.epochs_per_sample = epochs_per_sample;
    p.n_epochs = n_epochs;
    p.a = a;
    p.b = b;
    p.gamma = gamma;
    p.initial_alpha = initial_alpha;
    p.negative_sample_rate = negative_sample_rate;
    p.seed = seed;
    return p;
}

namespace vornik {
namespace layout {

// The optimisers behind the exported kernels, for callers that have already
// checked every head and tail id against n_samples (the ids are scanned once
// per call). The remaining arguments are checked as the exported kernels
// check them, and the statuses are theirs: serial 0, -1, -2 or stopped;
// parallel 0 (threads ran), -1 or stopped; parts 0, -1, -2 or stopped. A null
// control block is never stopped.
int optimize_serial(const layout_problem &p, mirnak_control *ctl = nullptr);
int optimize_parallel(const layout_problem &p, int n_threads, mirnak_control *ctl = nullptr);
// With in_schedule_order the problem's edges come in the schedule order of
// the run's substep count (see parts_substeps).
int optimize_parts(const layout_problem &p, int n_parts, int n_substeps, int n_threads,
                   mirnak_control *ctl, bool in_schedule_order = false);
// The substeps per epoch of a parts run: n_substeps, at most one per edge, or
// for 0 the default count.
int parts_substeps(int64_t n_edges, int n_samples, int n_substeps);

} // namespace layout
} // namespace vornik

// ---------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------

// Arguments both optimisers refuse before touching anything. The rate test is
// an ordered comparison, so a NaN rate passes.
static inline bool mirnak_umap_layout_args_valid(const layout_problem &p) {
    if (!p.embedding || !p.head || !p.tail || !p.epochs_per_sample) return false;
    if (p.n_samples <= 0 || p.dim <= 0 || p.n_edges <= 0 || p.n_epochs <= 0) return false;
    return !(p.negative_sample_rate <= 0.0f);
}

// Every head and tail id indexes a row of the embedding; one outside
// [0, n_samples) would read and write outside the caller's buffer.
static inline bool mirnak_umap_vertex_ids_valid(const int32_t *head, const int32_t *tail,
                                                int64_t n_edges, int n_samples) {
    const uint32_t n = static_cast<uint32_t>(n_samples);
    for (int64_t i = 0; i < n_edges; ++i)
        if (static_cast<uint32_t>(head[i]) >= n || static_cast<uint32_t>(tail[i]) >= n)
            return false;
    return true;
}

#endif // VORNIK_UMAP_LAYOUT_H
