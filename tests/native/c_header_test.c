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
    return 0;
}
