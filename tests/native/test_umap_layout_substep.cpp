// The gradients of a substep's shares on every power path.
#include "layout_fixture.h"
#include "powf_fast.h"
#include "umap_layout_partition.h"
#include "umap_layout_substep.h"

namespace {

using namespace layout_test;
using namespace vornik::layout;

// The gradient buffer after `epochs` epochs of substep gradients (no
// reduction: the positions stay put) with the powers taken on one path.
std::vector<float> substep_gradients_on(const graph &g, const params &p, int epochs,
                                        vornik::powf_fast::powf_path path) {
    std::vector<float> e = g.embedding;
    const mirnak_layout_edges edges = {g.head.data(), g.tail.data(),
                                       static_cast<int64_t>(g.head.size()), g.eps.data()};
    const mirnak_layout_run run_of_p = {epochs, p.a, p.b, p.gamma, p.alpha, p.rate, p.seed};
    const layout_problem c = {e.data(), g.n_samples, g.dim, edges, run_of_p};
    const int S = 3;
    vornik::layout::substep_scratch sc;
    vornik::layout::substep_run run;
    EXPECT_TRUE(vornik::layout::prepare_substep_run(c, 1, S, false, &sc, &run));
    run.powers = path;
    std::fill(run.gbuf, run.gbuf + run.emb_len, 0.0f);
    for (int n = 0; n < epochs; ++n)
        for (int s = 0; s < S; ++s) {
            const int64_t K = (c.edges.n_edges - s + S - 1) / S;
            vornik::layout::substep_gradients(run, run.gbuf, s,
                                              substep_offset(c.edges.n_edges, S, s), 0, K, n);
        }
    return std::vector<float>(run.gbuf, run.gbuf + run.emb_len);
}

TEST(SubstepGradients, EveryPowerPathGivesTheSameBits) {
    using namespace vornik::powf_fast;
    params p;
    p.rate = 11.0f; // some edges owe more than one chunk of samples
    for (int dim : {2, 3}) {
        graph g = random_graph(200, dim, 6, 26);
        g.embedding[5] = g.embedding[5 + dim]; // a shared coordinate
        for (int d = 0; d < dim; ++d) g.embedding[3 * dim + d] = g.embedding[4 * dim + d];
        g.tail[0] = g.head[0]; // an edge onto itself
        const std::vector<float> expected = substep_gradients_on(g, p, 6, POWF_LIBM);
        for (powf_path path : {POWF_AVX2, POWF_AVX512}) {
            if (!powf_path_available(path)) continue;
            EXPECT_TRUE(same_bits(substep_gradients_on(g, p, 6, path), expected))
                << "dim " << dim << " path " << path;
        }
    }
}

} // namespace
