// umap_inverse.h - rows of the data for points of the embedding, for the
// exported kernel and its tests.
#ifndef VORNIK_UMAP_INVERSE_H
#define VORNIK_UMAP_INVERSE_H

#include <cstdint>

#include "vornik_kernels.h"

namespace vornik {

// n_points points of the embedding (points: n_points x dim), each with k
// fitted neighbours (neighbours: n_points x k ids, -1 for none); out: n_points
// x n_dims rows, weights (or null): n_points x k shares.
struct inverse_problem {
    mirnak_fitted_points fitted;
    int n_points;
    const float *points;
    const int32_t *neighbours;
    int k;
    mirnak_inverse_run run;
    float *out;
    float *weights;
};

// Whether the exported kernel accepts the problem: no null buffer, positive
// sizes, a curve with positive finite a and b, every id in [-1, n_fitted).
bool inverse_valid(const inverse_problem &p);

// The rows on n_threads threads (0 or less: every online processor), for a
// problem whose sizes and curve are valid. Ids are checked where they are
// read: one outside the fitted points then (another thread rewrote it during
// the call) is no neighbour. Returns 0, -2 when memory runs out (outputs
// untouched) or MIRNAK_STOPPED.
int invert_points(const inverse_problem &p, int n_threads, mirnak_control *ctl);

} // namespace vornik

#endif // VORNIK_UMAP_INVERSE_H
