// Id buffers that another thread rewrites while a kernel reads them: every
// access stays inside the kernel's buffers whatever the ids become (the
// sanitizer builds check each one). The kernels are entered past their
// up-front id checks, where the ids are read only in the hot loops. The
// writer stores with relaxed atomics, as the kernels load, so ThreadSanitizer
// sees no race on the ids themselves and still reports any other.
#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "knn_internal.h"
#include "knn_query.h"
#include "layout_fixture.h"
#include "umap_inverse.h"
#include "umap_layout.h"
#include "umap_layout_density.h"
#include "umap_transform.h"
#include "vornik_kernels.h"

namespace {

using namespace layout_test;

// Rewrites random entries of ids, with ids in [0, n) and far outside it,
// from its construction to its destruction.
class id_rewriter {
  public:
    id_rewriter(std::vector<int32_t> &ids, int n)
        : ids_(ids.data()), count_(ids.size()), n_(n), writer_([this] { rewrite(); }) {}
    ~id_rewriter() {
        done_.store(true, std::memory_order_relaxed);
        writer_.join();
    }

  private:
    void rewrite() {
        std::mt19937 gen(5);
        const int32_t wild[] = {-1, -2, n_, n_ + 1, INT32_MAX, INT32_MIN, -n_};
        while (!done_.load(std::memory_order_relaxed)) {
            const uint32_t r = gen();
            const int32_t v = r % 3 ? wild[r / 3 % 7] : static_cast<int32_t>(r / 3 % n_);
            __atomic_store_n(&ids_[gen() % count_], v, __ATOMIC_RELAXED);
        }
    }

    int32_t *ids_;
    size_t count_;
    int n_;
    std::atomic<bool> done_{false};
    std::thread writer_;
};

vornik::layout::layout_problem problem_of(graph &g, std::vector<float> &e, const params &p) {
    const mirnak_layout_edges edges = {g.head.data(), g.tail.data(),
                                       static_cast<int64_t>(g.head.size()), g.eps.data()};
    const mirnak_layout_run run = {p.n_epochs, p.a, p.b, p.gamma, p.alpha, p.rate, p.seed};
    return {e.data(), g.n_samples, g.dim, edges, run};
}

TEST(RewrittenIds, EveryLayoutStaysInsideTheEmbedding) {
    using namespace vornik::layout;
    params p;
    p.n_epochs = 30;
    for (int dim : {2, 3}) {
        for (int which = 0; which < 4; ++which) {
            graph g = random_graph(800, dim, 8, 40 + which);
            std::vector<float> e = g.embedding;
            const layout_problem prob = problem_of(g, e, p);
            // head and tail are rewritten by turns, both ends of the edges.
            id_rewriter writer(which % 2 ? g.tail : g.head, g.n_samples);
            int rc = 1;
            if (which == 0) rc = optimize_serial(prob);
            if (which == 1) rc = optimize_parallel(prob, 2);
            if (which >= 2) rc = optimize_parts(prob, {2, 0, 2, which == 3}, nullptr);
            EXPECT_TRUE(rc == 0 || (which == 1 && rc == MIRNAK_INVALID)) << which << " " << rc;
        }
    }
}

TEST(RewrittenIds, TheDensityLayoutAndTheInversePointsStayInsideTheirBuffers) {
    params p;
    p.n_epochs = 30;
    for (int which = 0; which < 2; ++which) {
        graph g = random_graph(800, 2, 8, 50 + which);
        std::vector<float> e = g.embedding, radius(g.n_samples, 1.0f);
        for (int v = 0; v < g.n_samples; ++v) radius[v] += float(v % 5);
        const vornik::layout::layout_problem prob = problem_of(g, e, p);
        id_rewriter writer(which ? g.tail : g.head, g.n_samples); // edges read in place
        EXPECT_EQ(vornik::layout::optimize_density(prob, {radius.data(), 1.0f, 30, 0.1f},
                                                   {2, 1, 2, true}, nullptr),
                  0);
    }
    const int n = 800, m = 3000, k = 10, d = 6;
    std::vector<float> data(size_t(n) * d, 1.0f), embedding(size_t(n) * 2), points(size_t(m) * 2);
    std::mt19937 gen(4);
    std::uniform_real_distribution<float> pos(-5.0f, 5.0f);
    for (float &v : embedding) v = pos(gen);
    for (float &v : points) v = pos(gen);
    std::vector<int32_t> ids(size_t(m) * k);
    for (int32_t &id : ids) id = static_cast<int32_t>(gen() % n);
    std::vector<float> out(size_t(m) * d), weights(size_t(m) * k);
    const vornik::inverse_problem prob = {{data.data(), embedding.data(), n, d, 2}, m,
                                          points.data(), ids.data(), k, {1.577f, 0.895f},
                                          out.data(), weights.data()};
    id_rewriter writer(ids, n);
    EXPECT_EQ(vornik::invert_points(prob, 2, nullptr), 0);
}

TEST(RewrittenIds, NewPointsStayInsideTheReference) {
    const int n_ref = 800, n_points = 2000, width = 10, dim = 2;
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> pos(-5.0f, 5.0f);
    std::vector<float> reference(size_t(n_ref) * dim), embedding(size_t(n_points) * dim);
    for (float &v : reference) v = pos(gen);
    for (float &v : embedding) v = pos(gen);
    std::vector<int32_t> tail(size_t(n_points) * width);
    std::vector<float> eps(tail.size());
    for (size_t j = 0; j < tail.size(); ++j) {
        tail[j] = static_cast<int32_t>(gen() % n_ref);
        eps[j] = 1.0f + static_cast<float>(j % width);
    }
    std::vector<uint64_t> keys(n_points);
    for (int i = 0; i < n_points; ++i) keys[i] = 977u * static_cast<uint64_t>(i);
    vornik::layout::new_points_problem prob;
    prob.embedding = embedding.data();
    prob.n_points = n_points;
    prob.dim = dim;
    prob.reference = reference.data();
    prob.n_reference = n_ref;
    prob.tail = tail.data();
    prob.epochs_per_sample = eps.data();
    prob.width = width;
    prob.keys = keys.data();
    prob.run = {100, 1.577f, 0.895f, 1.0f, 1.0f, 5.0f, 9};
    id_rewriter writer(tail, n_ref);
    EXPECT_EQ(vornik::layout::place_new_points(prob, 2), 0);
}

TEST(RewrittenIds, QueryStaysInsideTheTrainingRows) {
    using namespace vornik::knn;
    const int n = 3000, d = 16, width = 12, n_pivots = 64, m = 1500, k = 10;
    std::mt19937 gen(4);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> X(size_t(n) * d), Q(size_t(m) * d);
    for (float &v : X) v = nd(gen);
    for (float &v : Q) v = nd(gen);
    std::vector<int32_t> graph(size_t(n) * width), pivots(n_pivots);
    for (int32_t &v : graph) v = static_cast<int32_t>(gen() % n);
    for (int32_t &v : pivots) v = static_cast<int32_t>(gen() % n);
    std::vector<int32_t> idx(size_t(m) * k);
    std::vector<float> dist(idx.size());
    const search_index ix = {n, width, graph.data(), n_pivots, pivots.data(), {}};
    const query_batch b = {m, Q.data(), idx.data(), dist.data()};
    for (std::vector<int32_t> *ids : {&graph, &pivots}) {
        id_rewriter writer(*ids, n);
        EXPECT_EQ(knn_query_on_path(best_dist_path(), X.data(), d, ix, {k, 4 * k, 4}, b, 2), 0);
    }
}

TEST(RewrittenIds, FuzzyGraphStaysInsideItsRows) {
    const int n = 4000, k = 12;
    std::mt19937 gen(6);
    std::vector<int32_t> rows(size_t(n) * k), cols(rows.size());
    std::vector<float> vals(rows.size()), dists(rows.size());
    for (size_t j = 0; j < rows.size(); ++j) {
        rows[j] = static_cast<int32_t>(j / k);
        cols[j] = static_cast<int32_t>(gen() % n);
        vals[j] = 0.5f;
        dists[j] = 1.0f + static_cast<float>(j % k);
    }
    std::vector<int32_t> out_rows(2 * rows.size()), out_cols(out_rows.size());
    std::vector<float> out_vals(out_rows.size());
    {
        id_rewriter writer(cols, n);
        for (int rep = 0; rep < 20; ++rep)
            mirnak_umap_symmetrize_fuzzy_graph_f32(n, k, rows.data(), cols.data(), vals.data(),
                                                   1.0f, out_rows.data(), out_cols.data(),
                                                   out_vals.data());
    }
    id_rewriter writer(cols, n); // here the kNN ids of the threaded graph
    for (int rep = 0; rep < 5; ++rep)
        EXPECT_EQ(mirnak_umap_fuzzy_graph_f32_parallel(n, k, cols.data(), dists.data(), float(k),
                                                       64, 1.0f, 1.0f, 1.0f, out_rows.data(),
                                                       out_cols.data(), out_vals.data(), 2),
                  0);
}

TEST(RewrittenIds, KnnSearchStaysInsideItsRowsWhenItsOutputIsRewritten) {
#if defined(__SANITIZE_THREAD__)
    // The kernel writes its output heaps while the writer does: a race by
    // design, which no relaxed load of the kernel's could hide.
    GTEST_SKIP() << "the output is written by both threads; AddressSanitizer checks this case";
#endif
    using namespace vornik::knn;
    const int n = 4000, d = 8, k = 10;
    std::mt19937 gen(7);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> X(size_t(n) * d), dist(size_t(n) * k);
    for (float &v : X) v = nd(gen);
    std::vector<int32_t> idx(size_t(n) * k);
    const search_problem p = {k, 2, 8, 16, 3, idx.data(), dist.data()};
    id_rewriter writer(idx, n);
    EXPECT_EQ(knn_descent_on_path(best_dist_path(), {X.data(), n, d}, p, 2), 0);
}

} // namespace
