// umap_graph_internal.h - the row-range stages of the fuzzy graph, shared by
// the serial kernels (umap_graph.cpp) and the threaded one
// (umap_graph_parallel.cpp).
//
// Every stage is a pure function of its inputs, allocates nothing and works
// row by row through a range routine (start, end), so rows can be split
// between workers. Arithmetic types and evaluation orders are part of the
// results: means and the bisection target are double, everything else float,
// and no step is fused into a multiply-add.
#ifndef VORNIK_UMAP_GRAPH_INTERNAL_H
#define VORNIK_UMAP_GRAPH_INTERNAL_H

#include <climits>
#include <cmath>
#include <cstdint>

#include "caller_ids.h"

namespace vornik {
namespace graph {

// ---------------------------------------------------------------------------
// Smooth kNN distances
// ---------------------------------------------------------------------------

// Tolerance of the bisection: the float 1e-5f compared in double.
const double SIGMA_TOLERANCE = static_cast<double>(1e-5f);
const float MIN_SIGMA_SCALE = 1e-3f;
const float LC_INTERP_EPSILON = 1e-5f;

inline float mirnak_umap_mean_all(int n_samples, int n_neighbors, const float *distances) {
    const int64_t n = static_cast<int64_t>(n_samples) * n_neighbors;
    double sum = 0.0;
    for (int64_t i = 0; i < n; ++i) sum += static_cast<double>(distances[i]);
    return static_cast<float>(sum / static_cast<double>(n));
}

// Rank part of local_connectivity. Values beyond the int range saturate and a
// NaN gives 0 instead of an undefined conversion; either way no count can
// reach such a rank.
inline int floor_to_int(float v) {
    const float f = std::floor(v);
    if (!(f == f)) return 0;
    if (f >= 2147483648.0f) return INT_MAX;
    if (f < -2147483648.0f) return INT_MIN;
    return static_cast<int>(f);
}

// The positive entries of one row as the rho rule needs them, counted in row
// order (not sorted order).
struct row_scan {
    int non_zero_count;
    float first_non_zero;
    float max_non_zero;
    float lc_value; // the lc_index-th positive entry
    float lc_next;  // the (lc_index + 1)-th positive entry
    double row_sum;
};

inline row_scan scan_row(const float *row, int n_neighbors, int lc_index) {
    row_scan s = {0, 0.0f, 0.0f, 0.0f, 0.0f, 0.0};
    for (int j = 0; j < n_neighbors; ++j) {
        const float d = row[j];
        s.row_sum += static_cast<double>(d);
        if (d > 0.0f) {
            if (s.non_zero_count == 0) s.first_non_zero = d;
            s.non_zero_count += 1;
            if (d > s.max_non_zero) s.max_non_zero = d;
            if (s.non_zero_count == lc_index)
                s.lc_value = d;
            else if (s.non_zero_count == static_cast<int64_t>(lc_index) + 1)
                s.lc_next = d;
        }
    }
    return s;
}

inline float rho_of_row(const row_scan &s, float local_connectivity, int lc_index,
                        float lc_interp) {
    if (static_cast<float>(s.non_zero_count) >= local_connectivity) {
        if (lc_index > 0) {
            float rho = s.lc_value;
            if (lc_interp > LC_INTERP_EPSILON && lc_index < s.non_zero_count) {
                float step = s.lc_next - s.lc_value;
                step = lc_interp * step;
                rho = s.lc_value + step;
            }
            return rho;
        }
        return s.non_zero_count > 0 ? lc_interp * s.first_non_zero : 0.0f;
    }
    return s.non_zero_count > 0 ? s.max_non_zero : 0.0f;
}

// Bisection on sigma so that the sum over columns 1 .. n_neighbors - 1 of
// exp(-(d - rho) / sigma) meets the target; column 0 never takes part.
inline float bisect_sigma(const float *row, int n_neighbors, float rho, double target, int n_iter) {
    float lo = 0.0f;
    float hi = INFINITY;
    float mid = 1.0f;
    for (int it = 0; it < n_iter; ++it) {
        float psum = 0.0f;
        for (int j = 1; j < n_neighbors; ++j) {
            const float d = row[j] - rho;
            psum += d > 0.0f ? expf(-(d / mid)) : 1.0f;
        }
        const double sum = static_cast<double>(psum);
        if (std::fabs(sum - target) < SIGMA_TOLERANCE) break;
        if (sum > target) {
            hi = mid;
            mid = (lo + hi) * 0.5f;
        } else {
            lo = mid;
            mid = std::isinf(hi) ? mid + mid : (lo + hi) * 0.5f;
        }
    }
    return mid;
}

inline void mirnak_umap_smooth_range(int start, int end, int n_neighbors, const float *distances,
                                     float k, int n_iter, float local_connectivity, float bandwidth,
                                     float mean_distances, float *sigmas, float *rhos) {
    const double target = std::log2(static_cast<double>(k)) * static_cast<double>(bandwidth);
    const int lc_index = floor_to_int(local_connectivity);
    const float lc_interp = local_connectivity - static_cast<float>(lc_index);

    for (int i = start; i < end; ++i) {
        const float *row = distances + static_cast<int64_t>(i) * n_neighbors;
        const row_scan s = scan_row(row, n_neighbors, lc_index);
        const float rho = rho_of_row(s, local_connectivity, lc_index, lc_interp);
        rhos[i] = rho;

        float sigma = bisect_sigma(row, n_neighbors, rho, target, n_iter);
        float min_sigma;
        if (rho > 0.0f) {
            const float row_mean = static_cast<float>(s.row_sum / static_cast<double>(n_neighbors));
            min_sigma = MIN_SIGMA_SCALE * row_mean;
        } else {
            min_sigma = MIN_SIGMA_SCALE * mean_distances;
        }
        if (min_sigma > sigma) sigma = min_sigma;
        sigmas[i] = sigma;
    }
}

// ---------------------------------------------------------------------------
// Membership strengths
// ---------------------------------------------------------------------------

inline float membership_weight(float dist, float rho, float sigma) {
    const float excess = dist - rho;
    if (excess <= 0.0f || sigma == 0.0f) return 1.0f;
    const float q = excess / sigma;
    return static_cast<float>(std::exp(static_cast<double>(-q)));
}

inline void mirnak_umap_membership_range(int start, int end, int n_neighbors,
                                         const int32_t *knn_indices, const float *knn_dists,
                                         const float *sigmas, const float *rhos, int return_dists,
                                         int bipartite, int32_t *rows, int32_t *cols, float *vals,
                                         float *dists) {
    for (int i = start; i < end; ++i) {
        const int64_t base = static_cast<int64_t>(i) * n_neighbors;
        const float sigma = sigmas[i];
        const float rho = rhos[i];
        for (int j = 0; j < n_neighbors; ++j) {
            const int64_t off = base + j;
            const int32_t col = vornik::load_id(&knn_indices[off]);
            if (col == -1) {
                rows[off] = 0;
                cols[off] = 0;
                vals[off] = 0.0f;
                if (return_dists) dists[off] = 0.0f;
                continue;
            }
            float val = 0.0f;
            if (bipartite || col != i) val = membership_weight(knn_dists[off], rho, sigma);
            rows[off] = i;
            cols[off] = col;
            vals[off] = val;
            if (return_dists) dists[off] = knn_dists[off];
        }
    }
}

// ---------------------------------------------------------------------------
// Fuzzy set union
// ---------------------------------------------------------------------------

// Weight of the edge src -> dst as listed in row src, or 0 when row src does
// not list dst with a positive weight.
inline float mirnak_umap_reverse_value(int n_neighbors, const int32_t *rows, const int32_t *cols,
                                       const float *vals, int src, int dst) {
    const int64_t base = static_cast<int64_t>(src) * n_neighbors;
    for (int j = 0; j < n_neighbors; ++j) {
        const int64_t off = base + j;
        if (rows[off] == src && vornik::load_id(&cols[off]) == dst && vals[off] > 0.0f)
            return vals[off];
    }
    return 0.0f;
}

inline float fuzzy_union(float a, float b, float set_op_mix_ratio) {
    const float prod = a * b;
    float t = a + b;
    t = t - prod;
    t = t * set_op_mix_ratio;
    float u = 1.0f - set_op_mix_ratio;
    u = u * prod;
    return t + u;
}

inline void write_edge(int32_t *out_rows, int32_t *out_cols, float *out_vals, int64_t slot,
                       int32_t src, int32_t dst, float weight) {
    out_rows[slot] = src;
    out_cols[slot] = dst;
    out_vals[slot] = weight;
}

inline void mirnak_umap_symmetrize_range(int start, int end, int n_samples, int n_neighbors,
                                         const int32_t *rows, const int32_t *cols,
                                         const float *vals, float set_op_mix_ratio,
                                         int32_t *out_rows, int32_t *out_cols, float *out_vals) {
    for (int i = start; i < end; ++i) {
        const int64_t base = static_cast<int64_t>(i) * n_neighbors;
        for (int j = 0; j < n_neighbors; ++j) {
            const int64_t off = base + j;
            const int64_t out0 = 2 * off;
            const int64_t out1 = out0 + 1;
            write_edge(out_rows, out_cols, out_vals, out0, 0, 0, 0.0f);
            write_edge(out_rows, out_cols, out_vals, out1, 0, 0, 0.0f);

            // col indexes a row of the directed graph: read once and checked, since
            // the caller's buffer may change during the call.
            const int32_t col = vornik::load_id(&cols[off]);
            const float a = vals[off];
            if (a <= 0.0f || !vornik::id_below(col, n_samples) || col == i || rows[off] != i)
                continue;

            const float b = mirnak_umap_reverse_value(n_neighbors, rows, cols, vals, col, i);
            const float sym = fuzzy_union(a, b, set_op_mix_ratio);
            if (sym <= 0.0f) continue;
            write_edge(out_rows, out_cols, out_vals, out0, i, col, sym);
            // A reverse edge emits its own direction from its own row.
            if (b == 0.0f) write_edge(out_rows, out_cols, out_vals, out1, col, i, sym);
        }
    }
}

} // namespace graph
} // namespace vornik

#endif // VORNIK_UMAP_GRAPH_INTERNAL_H
