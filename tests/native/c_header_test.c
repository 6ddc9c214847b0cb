/* The public header is valid C: a C program includes it and calls a kernel. */
#include "vornik_kernels.h"

#include <stdio.h>

int main(void) {
    /* Two points that are each other's only neighbour, distance 1. */
    const float dist[2] = {1.0f, 1.0f};
    float sigmas[2] = {-1.0f, -1.0f};
    float rhos[2] = {-1.0f, -1.0f};
    mirnak_umap_smooth_knn_dist_f32(2, 1, dist, 1.0f, 64, 1.0f, 1.0f, sigmas, rhos);
    if (rhos[0] != 1.0f || rhos[1] != 1.0f || sigmas[0] != 1.0f || sigmas[1] != 1.0f) {
        fprintf(stderr, "unexpected sigma/rho: %g %g %g %g\n", sigmas[0], sigmas[1], rhos[0],
                rhos[1]);
        return 1;
    }
    /* The same pair through the threaded fuzzy graph: one edge each way, weight 1. */
    const int32_t idx[2] = {1, 0};
    int32_t rows[4], cols[4];
    float vals[4];
    if (mirnak_umap_fuzzy_graph_f32_parallel(2, 1, idx, dist, 1.0f, 64, 1.0f, 1.0f, 1.0f, rows,
                                             cols, vals, 2) != 0 ||
        rows[0] != 0 || cols[0] != 1 || vals[0] != 1.0f || rows[2] != 1 || cols[2] != 0) {
        fprintf(stderr, "unexpected fuzzy graph\n");
        return 1;
    }
    if (mirnak_umap_fuzzy_graph_f32_parallel(0, 1, idx, dist, 1.0f, 64, 1.0f, 1.0f, 1.0f, rows,
                                             cols, vals, 2) != MIRNAK_INVALID) {
        fprintf(stderr, "no MIRNAK_INVALID for zero samples\n");
        return 1;
    }
    /* A point of the embedding halfway between the two: the mean of their rows. */
    const float data[4] = {0.0f, 2.0f, 4.0f, 6.0f}, places[4] = {0.0f, 0.0f, 2.0f, 0.0f};
    const float middle[2] = {1.0f, 0.0f};
    const mirnak_fitted_points fitted = {data, places, 2, 2, 2};
    const mirnak_inverse_run curve = {1.0f, 1.0f};
    float back[2];
    if (mirnak_umap_inverse_points_f32(&fitted, 1, middle, idx, 2, &curve, back, NULL, 1, NULL) !=
            0 ||
        back[0] != 2.0f || back[1] != 4.0f) {
        fprintf(stderr, "unexpected inverse point\n");
        return 1;
    }
    return 0;
}
