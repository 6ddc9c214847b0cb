// substep_reference.h - the threaded layouts' substep rule written out, for
// the tests of the barrier optimiser and of the layout with a density term.
#ifndef VORNIK_SUBSTEP_REFERENCE_H
#define VORNIK_SUBSTEP_REFERENCE_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "layout_fixture.h"
#include "layout_reference.h"
#include "umap_layout_internal.h"

namespace layout_test {

// What a layout adds to the plain rule: nothing.
struct no_term {
    void epoch_starts(int, const std::vector<float> &) {}
    void due_edge(int, int64_t, const std::vector<float> &, std::vector<float> &) {}
};

// The substep rule written out directly: substep s holds the edges i with
// i mod S == s, worker t the t-th of T consecutive blocks of them; every due
// edge's gradients come from the positions at the start of the substep and
// go into its worker's buffer in edge order; then each coordinate moves by
// the sum of the buffers, in worker order, times alpha. A term sees each
// epoch's starting positions, and adds into a worker's buffer for each of its
// due edges, in edge order, before the edges' own gradients.
template <class Term = no_term>
std::vector<float> substep_reference(const graph &g, const params &p, int T, int64_t S,
                                     Term term = Term()) {
    using namespace layoutref;
    std::vector<float> e = g.embedding;
    const int dim = g.dim;
    const int64_t m = static_cast<int64_t>(g.head.size());
    std::vector<edge_schedule> sched;
    for (int64_t i = 0; i < m; ++i) sched.emplace_back(g.eps[i], p.rate);
    std::vector<std::vector<float>> grad(T, std::vector<float>(e.size()));
    for (int n = 0; n < p.n_epochs; ++n) {
        const float alpha = layoutref::epoch_alpha(p.alpha, n, p.n_epochs);
        term.epoch_starts(n, e);
        for (int64_t s = 0; s < S; ++s) {
            const int64_t K = s < m ? (m - s + S - 1) / S : 0;
            for (int t = 0; t < T; ++t) {
                std::fill(grad[t].begin(), grad[t].end(), 0.0f);
                for (int64_t k = t * K / T; k < (t + 1) * K / T; ++k)
                    if (sched[s + k * S].due_in(g.eps[s + k * S], n))
                        term.due_edge(n, s + k * S, e, grad[t]);
                for (int64_t k = t * K / T; k < (t + 1) * K / T; ++k) {
                    const int64_t i = s + k * S;
                    if (!sched[i].due_in(g.eps[i], n)) continue;
                    const float *cur = &e[g.head[i] * dim], *oth = &e[g.tail[i] * dim];
                    float *gj = &grad[t][g.head[i] * dim], *gk = &grad[t][g.tail[i] * dim];
                    const float gc = attraction(squared_distance(cur, oth, dim), p.a, p.b);
                    for (int d = 0; d < dim; ++d) {
                        const float gd = layoutref::clip(gc * (cur[d] - oth[d]));
                        gj[d] = gj[d] + gd;
                        gk[d] = gk[d] - gd;
                    }
                    const int owed = sched[i].advance(g.eps[i], n);
                    uint32_t rng[3];
                    if (owed > 0) vornik::layout::mirnak_umap_seed_rng(p.seed, i, n, rng);
                    for (int q = 0; q < owed; ++q) {
                        const uint32_t k2 =
                            vornik::layout::mirnak_umap_tau_rand(rng) % uint32_t(g.n_samples);
                        const float *o2 = &e[k2 * dim];
                        const float dd2 = squared_distance(cur, o2, dim);
                        if (dd2 <= 0.0f) continue;
                        const float gcn = repulsion(dd2, p.a, p.b, p.gamma);
                        if (gcn > 0.0f)
                            for (int d = 0; d < dim; ++d)
                                gj[d] = gj[d] + layoutref::clip(gcn * (cur[d] - o2[d]));
                    }
                }
            }
            for (size_t v = 0; v < e.size(); ++v) {
                float acc = 0.0f;
                for (int t = 0; t < T; ++t) acc = acc + grad[t][v];
                e[v] = e[v] + acc * alpha;
            }
        }
    }
    return e;
}

} // namespace layout_test

#endif // VORNIK_SUBSTEP_REFERENCE_H
