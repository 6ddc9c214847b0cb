// umap_transform.h - the layout of new points against a frozen reference
// embedding, for the exported kernels and their tests.
#ifndef VORNIK_UMAP_TRANSFORM_H
#define VORNIK_UMAP_TRANSFORM_H

#include <cstdint>

#include "vornik_kernels.h"

namespace vornik {
namespace layout {

// n_points new points (rows of embedding, moved in place), each with width
// edges: tail[i * width + j] a reference id (-1: none) sampled once every
// epochs_per_sample[i * width + j] epochs (<= 0: never); the run goes as the
// fit's layout goes.
struct new_points_problem {
    float *embedding;
    int n_points;
    int dim;
    const float *reference; // n_reference x dim, read only
    int n_reference;
    const int32_t *tail;
    const float *epochs_per_sample;
    int width;
    const uint64_t *keys; // one per new point
    mirnak_layout_run run;
};

// Whether the exported kernels accept the problem: no null buffer, positive
// sizes, a run the schedule can follow, every tail id in [-1, n_reference).
bool new_points_valid(const new_points_problem &p);

// Places the points on n_threads threads (0 or less: every online
// processor), for a problem whose sizes and run are valid. Tail ids are
// checked where they are read: one outside the reference then (another
// thread rewrote it during the call) is no edge. Returns 0, -2 when memory
// runs out (embedding untouched), or MIRNAK_STOPPED when ctl asked (see
// mirnak_umap_optimize_new_points_f32_ctl). ctl counts the points placed;
// null: none.
int place_new_points(const new_points_problem &p, int n_threads, mirnak_control *ctl = nullptr);

} // namespace layout
} // namespace vornik

#endif // VORNIK_UMAP_TRANSFORM_H
