// graph_fixture.h - kNN arrays for the threaded fuzzy graph's tests, and the
// serial kernels' output as its reference.
#ifndef VORNIK_GRAPH_FIXTURE_H
#define VORNIK_GRAPH_FIXTURE_H

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "vornik_kernels.h"

// Fuzzy-graph settings as the kernels take them.
struct graph_settings {
    float k;
    int n_iter;
    float local_connectivity;
    float bandwidth;
    float set_op_mix_ratio;
};

// n rows of k_cols entries: the point itself first, then mostly nearby ids
// (so that mutual pairs straddle any cut into row ranges) and some far ones,
// with the awkward entries a caller may pass: -1, ids out of range, a
// repeated id, zero and tied distances.
struct knn_rows {
    int n, k_cols;
    std::vector<int32_t> idx;
    std::vector<float> dist;

    knn_rows(int n_, int k_cols_, unsigned seed) : n(n_), k_cols(k_cols_) {
        std::mt19937 gen(seed);
        std::uniform_int_distribution<int> near(-25, 25), any(0, n - 1), kind(0, 99);
        std::uniform_real_distribution<float> step(0.0f, 1.0f);
        for (int i = 0; i < n; ++i) {
            float d = 0.0f;
            for (int j = 0; j < k_cols; ++j) {
                int32_t id = i;
                if (j > 0) {
                    const int roll = kind(gen);
                    id = roll < 70 ? (i + near(gen) + n) % n : any(gen);
                    if (roll == 90) id = -1;
                    if (roll == 91) id = n + 3;
                    if (roll == 92) id = idx.back();                 // repeats the previous entry
                    if (roll < 95) d += roll < 5 ? 0.0f : step(gen); // zero steps tie
                }
                idx.push_back(id);
                dist.push_back(d);
            }
        }
    }
};

struct coo {
    std::vector<int32_t> rows, cols;
    std::vector<float> vals;
    explicit coo(size_t len) : rows(len, 555), cols(len, 555), vals(len, -9.0f) {}

    bool same_bits(const coo &o) const {
        return rows == o.rows && cols == o.cols && vals.size() == o.vals.size() &&
               std::memcmp(vals.data(), o.vals.data(), vals.size() * sizeof(float)) == 0;
    }
    bool untouched() const { return same_bits(coo(rows.size())); }
};

// The three serial kernels in a row.
inline coo serial_graph(const knn_rows &r, const graph_settings &s) {
    const size_t flat = static_cast<size_t>(r.n) * r.k_cols;
    std::vector<float> sigmas(r.n), rhos(r.n), vals(flat);
    std::vector<int32_t> rows(flat), cols(flat);
    mirnak_umap_smooth_knn_dist_f32(r.n, r.k_cols, r.dist.data(), s.k, s.n_iter,
                                    s.local_connectivity, s.bandwidth, sigmas.data(), rhos.data());
    mirnak_umap_membership_strengths_f32(r.n, r.k_cols, r.idx.data(), r.dist.data(), sigmas.data(),
                                         rhos.data(), 0, 0, rows.data(), cols.data(), vals.data(),
                                         nullptr);
    coo out(2 * flat);
    mirnak_umap_symmetrize_fuzzy_graph_f32(r.n, r.k_cols, rows.data(), cols.data(), vals.data(),
                                           s.set_op_mix_ratio, out.rows.data(), out.cols.data(),
                                           out.vals.data());
    return out;
}

inline int parallel_graph(const knn_rows &r, const graph_settings &s, int n_threads, coo *out) {
    return mirnak_umap_fuzzy_graph_f32_parallel(r.n, r.k_cols, r.idx.data(), r.dist.data(), s.k,
                                                s.n_iter, s.local_connectivity, s.bandwidth,
                                                s.set_op_mix_ratio, out->rows.data(),
                                                out->cols.data(), out->vals.data(), n_threads);
}

#endif // VORNIK_GRAPH_FIXTURE_H
