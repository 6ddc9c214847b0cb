// umap_graph.cpp - the UMAP fuzzy graph: bandwidths, membership strengths and
// their fuzzy-set union.
//
// The exported kernels run the row-range stages of umap_graph_internal.h over
// the single range 0 to n_samples; umap_graph_parallel.cpp splits the rows
// between threads.
#include "vornik_kernels.h"

#include <cstdint>

#include "umap_graph_internal.h"

using namespace vornik::graph;

// ---------------------------------------------------------------------------
// Exported kernels
// ---------------------------------------------------------------------------

extern "C" void mirnak_umap_smooth_knn_dist_f32(int n_samples, int n_neighbors,
                                                const float *distances, float k, int n_iter,
                                                float local_connectivity, float bandwidth,
                                                float *sigmas, float *rhos) {
    if (n_samples <= 0 || n_neighbors <= 0) return;
    if (!distances || !sigmas || !rhos || k <= 0.0f || n_iter <= 0) return;
    const float mean_distances = mirnak_umap_mean_all(n_samples, n_neighbors, distances);
    mirnak_umap_smooth_range(0, n_samples, n_neighbors, distances, k, n_iter, local_connectivity,
                             bandwidth, mean_distances, sigmas, rhos);
}

extern "C" void mirnak_umap_membership_strengths_f32(int n_samples, int n_neighbors,
                                                     const int32_t *knn_indices,
                                                     const float *knn_dists, const float *sigmas,
                                                     const float *rhos, int return_dists,
                                                     int bipartite, int32_t *rows, int32_t *cols,
                                                     float *vals, float *dists) {
    if (n_samples <= 0 || n_neighbors <= 0) return;
    if (!knn_indices || !knn_dists || !sigmas || !rhos || !rows || !cols || !vals) return;
    if (return_dists && !dists) return;
    mirnak_umap_membership_range(0, n_samples, n_neighbors, knn_indices, knn_dists, sigmas, rhos,
                                 return_dists, bipartite, rows, cols, vals, dists);
}

extern "C" void mirnak_umap_symmetrize_fuzzy_graph_f32(int n_samples, int n_neighbors,
                                                       const int32_t *rows, const int32_t *cols,
                                                       const float *vals, float set_op_mix_ratio,
                                                       int32_t *out_rows, int32_t *out_cols,
                                                       float *out_vals) {
    if (n_samples <= 0 || n_neighbors <= 0) return;
    if (!rows || !cols || !vals || !out_rows || !out_cols || !out_vals) return;
    mirnak_umap_symmetrize_range(0, n_samples, n_samples, n_neighbors, rows, cols, vals,
                                 set_op_mix_ratio, out_rows, out_cols, out_vals);
}
