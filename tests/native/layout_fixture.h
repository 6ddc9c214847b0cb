// layout_fixture.h - what the layout tests share: random graphs and their
// runs through the exported kernels, the substep setting, and a layout whose
// two clusters must come apart.
#ifndef VORNIK_LAYOUT_FIXTURE_H
#define VORNIK_LAYOUT_FIXTURE_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "vornik_kernels.h"

namespace layout_test {

inline bool same_bits(const std::vector<float> &x, const std::vector<float> &y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

struct graph {
    int n_samples = 0;
    int dim = 2;
    std::vector<float> embedding;
    std::vector<int32_t> head, tail;
    std::vector<float> eps;
};

struct params {
    int n_epochs = 30;
    float a = 1.577f, b = 0.895f, gamma = 1.0f, alpha = 1.0f, rate = 5.0f;
    uint64_t seed = 7;
};

// n_samples random points in [-5, 5)^dim, each linked to `degree` random
// others, with epochs_per_sample from random weights in (0, 1].
inline graph random_graph(int n_samples, int dim, int degree, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> pos(-5.0f, 5.0f), w(0.05f, 1.0f);
    std::uniform_int_distribution<int> vert(0, n_samples - 1);
    graph g;
    g.n_samples = n_samples;
    g.dim = dim;
    for (int i = 0; i < n_samples * dim; ++i) g.embedding.push_back(pos(gen));
    for (int v = 0; v < n_samples; ++v)
        for (int k = 0; k < degree; ++k) {
            g.head.push_back(v);
            g.tail.push_back(vert(gen));
            g.eps.push_back(1.0f / w(gen));
        }
    return g;
}

// Calls a layout kernel on the embedding e with g's edges and p's run,
// followed by the kernel's own arguments.
template <class Kernel, class... Own>
auto call_layout(Kernel kernel, const graph &g, const params &p, std::vector<float> &e,
                 Own... own) {
    return kernel(e.data(), g.n_samples, g.dim, g.head.data(), g.tail.data(),
                  static_cast<int64_t>(g.head.size()), g.eps.data(), p.n_epochs, p.a, p.b, p.gamma,
                  p.alpha, p.rate, p.seed, own...);
}

inline std::vector<float> run_serial(const graph &g, const params &p) {
    std::vector<float> e = g.embedding;
    call_layout(mirnak_umap_optimize_layout_euclidean_f32, g, p, e);
    return e;
}

inline std::vector<float> run_parallel(const graph &g, const params &p, int n_threads,
                                       int *rc = nullptr) {
    std::vector<float> e = g.embedding;
    const int r =
        call_layout(mirnak_umap_optimize_layout_euclidean_f32_parallel, g, p, e, n_threads);
    if (rc) *rc = r;
    return e;
}

inline std::vector<float> run_parts(const graph &g, const params &p, int parts, int substeps,
                                    int threads, int *rc = nullptr) {
    std::vector<float> e = g.embedding;
    const int r = call_layout(mirnak_umap_optimize_layout_euclidean_f32_parts, g, p, e, parts,
                              substeps, threads, static_cast<mirnak_control *>(nullptr));
    if (rc) *rc = r;
    return e;
}

// Sets MIRNAK_UMAP_SUBSTEPS for the lifetime of the object (null: unset).
class substeps_env {
  public:
    explicit substeps_env(const char *value) {
        if (value)
            setenv("MIRNAK_UMAP_SUBSTEPS", value, 1);
        else
            unsetenv("MIRNAK_UMAP_SUBSTEPS");
    }
    ~substeps_env() { unsetenv("MIRNAK_UMAP_SUBSTEPS"); }
};

// Points of a 2-D embedding with the given coordinate pattern dropped into a
// third, all-zero dimension.
inline graph lift_to_3d(const graph &g) {
    graph h = g;
    h.dim = 3;
    h.embedding.clear();
    for (int v = 0; v < g.n_samples; ++v) {
        h.embedding.push_back(g.embedding[2 * v]);
        h.embedding.push_back(g.embedding[2 * v + 1]);
        h.embedding.push_back(0.0f);
    }
    return h;
}

inline std::vector<float> drop_third(const std::vector<float> &e) {
    std::vector<float> out;
    for (size_t v = 0; v < e.size() / 3; ++v) {
        out.push_back(e[3 * v]);
        out.push_back(e[3 * v + 1]);
    }
    return out;
}

// Two groups of 40 points, densely linked within and not between, start
// interleaved on a line; afterwards each group's spread is far smaller than
// the distance between the group centres.
inline void expect_two_clusters(const std::vector<float> &e, int per_group) {
    double c[2][2] = {{0, 0}, {0, 0}};
    for (int grp = 0; grp < 2; ++grp)
        for (int v = 0; v < per_group; ++v)
            for (int d = 0; d < 2; ++d) c[grp][d] += e[2 * (grp * per_group + v) + d] / per_group;
    const double gap = std::hypot(c[0][0] - c[1][0], c[0][1] - c[1][1]);
    for (int grp = 0; grp < 2; ++grp)
        for (int v = 0; v < per_group; ++v) {
            const int u = grp * per_group + v;
            const double own = std::hypot(e[2 * u] - c[grp][0], e[2 * u + 1] - c[grp][1]);
            const double other = std::hypot(e[2 * u] - c[1 - grp][0], e[2 * u + 1] - c[1 - grp][1]);
            EXPECT_LT(own, other) << u;
            EXPECT_LT(own, 0.5 * gap) << u;
        }
}

inline graph two_cluster_graph(int per_group) {
    std::mt19937 gen(11);
    graph g;
    g.n_samples = 2 * per_group;
    for (int u = 0; u < g.n_samples; ++u) {
        // Interleaved start: group membership is invisible in the positions.
        g.embedding.push_back(static_cast<float>(u % 2 ? u : g.n_samples - u) * 0.1f);
        g.embedding.push_back(std::uniform_real_distribution<float>(-1.0f, 1.0f)(gen));
    }
    for (int grp = 0; grp < 2; ++grp)
        for (int v = 0; v < per_group; ++v)
            for (int k = 1; k <= 6; ++k) {
                g.head.push_back(grp * per_group + v);
                g.tail.push_back(grp * per_group + (v + k * 7) % per_group);
                g.eps.push_back(1.0f + 0.25f * static_cast<float>(k - 1));
            }
    return g;
}

} // namespace layout_test

#endif // VORNIK_LAYOUT_FIXTURE_H
