// umap_layout.h - the layout optimisers as the exported kernels and the
// Python layer reach them: the problem they take, its checks, and the serial,
// barrier and parts optimisers.
#ifndef VORNIK_UMAP_LAYOUT_H
#define VORNIK_UMAP_LAYOUT_H

#include <cstdint>

#include "vornik_kernels.h"

namespace vornik {
namespace layout {

// One layout problem: an n_samples x dim embedding moved in place (n_samples
// is also the number of vertices negative samples are drawn from), its edges
// and how the run goes.
struct layout_problem {
    float *embedding;
    int n_samples;
    int dim;
    mirnak_layout_edges edges;
    mirnak_layout_run run;
};

// How the parts optimiser runs: n_parts gradient parts per substep (the
// result depends on them), n_substeps substeps per epoch (0: the default
// count), on n_threads threads (0 or less: every online processor); with
// in_schedule_order the problem's edges come in the schedule order of the
// run's substep count (see parts_substeps).
struct parts_plan {
    int n_parts;
    int n_substeps;
    int n_threads;
    bool in_schedule_order;
};

// What every optimiser refuses before touching anything: a null buffer, no
// samples, dimensions, edges or epochs, a rate not above zero (an ordered
// test: a NaN rate passes). Vertex ids are not looked at.
bool args_valid(const layout_problem &p);

// Every head and tail id indexes a row of the embedding; one outside
// [0, n_samples) is refused with a status. The optimisers check each id
// again where they read it and skip an edge whose id is out of range then
// (another thread rewrote it during the call), so no id ever reads or
// writes outside the embedding.
bool vertex_ids_valid(const mirnak_layout_edges &edges, int n_samples);

// What the exported kernels refuse: the arguments, then every vertex id.
inline bool kernel_args_valid(const layout_problem &p) {
    return args_valid(p) && vertex_ids_valid(p.edges, p.n_samples);
}

// The optimisers behind the exported kernels, for callers that have already
// checked every vertex id (the ids are scanned once per call). The other
// arguments are checked as the exported kernels check them, and the statuses
// are theirs: serial 0, -1, -2 or stopped; parallel 0 (threads ran), -1 or
// stopped; parts 0, -1, -2 or stopped. A null control block is never stopped.
int optimize_serial(const layout_problem &p, mirnak_control *ctl = nullptr);
int optimize_parallel(const layout_problem &p, int n_threads, mirnak_control *ctl = nullptr);
// With a trace, every ticket of the parts run is timed into it (see
// mirnak_umap_layout_parts_traced).
int optimize_parts(const layout_problem &p, const parts_plan &plan, mirnak_control *ctl,
                   mirnak_layout_trace *trace = nullptr);

// The substeps per epoch of a parts run: n_substeps, at most one per edge, or
// for 0 the default count.
int parts_substeps(int64_t n_edges, int n_samples, int n_substeps);

} // namespace layout
} // namespace vornik

#endif // VORNIK_UMAP_LAYOUT_H
