// New points: the neighbour query over a search graph against brute force and
// its row-independence, and the layout of new points against a frozen
// reference (threads, batches, a from-first-principles reference).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "knn_query.h"
#include "layout_reference.h"
#include "umap_layout_internal.h"
#include "vornik_kernels.h"

namespace {

using namespace vornik::knn;
using namespace vornik::layout;

template <class T> bool same_bits(const std::vector<T> &x, const std::vector<T> &y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(T)) == 0;
}

// ---------------------------------------------------------------------------
// Query
// ---------------------------------------------------------------------------

// Points of a few clusters on a 3-dimensional subspace of d dimensions, as
// data with a low intrinsic dimension lies.
std::vector<float> clustered(int n, int d, int clusters, uint32_t seed) {
    std::mt19937 gen(seed), basis_gen(1);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    const int sub = 3;
    std::vector<float> basis(size_t(sub) * d), centres(size_t(clusters) * sub), x(size_t(n) * d);
    for (float &b : basis) b = nd(basis_gen);
    for (float &c : centres) c = 6.0f * nd(basis_gen);
    for (int i = 0; i < n; ++i) {
        float latent[sub];
        for (int s = 0; s < sub; ++s) latent[s] = centres[(i % clusters) * sub + s] + nd(gen);
        for (int t = 0; t < d; ++t) {
            float v = 0.01f * nd(gen);
            for (int s = 0; s < sub; ++s) v += latent[s] * basis[size_t(s) * d + t];
            x[size_t(i) * d + t] = v;
        }
    }
    return x;
}

// The k nearest rows of X to q by the kernel's own distance, ties by id.
std::vector<std::pair<float, int32_t>> brute_force(const std::vector<float> &X, int d,
                                                   const float *q, int k) {
    std::vector<std::pair<float, int32_t>> all;
    for (int i = 0; i < int(X.size() / d); ++i) all.push_back({sqd(q, &X[size_t(i) * d], d), i});
    std::partial_sort(all.begin(), all.begin() + k, all.end());
    all.resize(k);
    return all;
}

// A training set with a search graph (its brute-force neighbours and reverse
// neighbours, width ids per row) and queries drawn near it.
struct query_case {
    int n, d, width, k = 6;
    std::vector<float> X, Q;
    std::vector<int32_t> graph, pivots;
    int beam = 12, n_entries = 3;

    const mirnak_search_forest *forest = nullptr; // null: the entry without one

    query_case(int n_, int d_, int n_queries, int n_pivots, uint32_t seed)
        : query_case(clustered(n_, d_, 5, seed), clustered(n_queries, d_, 5, seed + 1), d_,
                     n_pivots) {}

    query_case(std::vector<float> X_, std::vector<float> Q_, int d_, int n_pivots)
        : n(int(X_.size() / d_)), d(d_), X(std::move(X_)), Q(std::move(Q_)) {
        const int fwd = 5;
        width = 2 * fwd;
        graph.assign(size_t(n) * width, -1);
        std::vector<int> fill(n, 0);
        for (int i = 0; i < n; ++i) {
            const auto nn = brute_force(X, d, &X[size_t(i) * d], fwd + 1);
            for (int j = 1; j <= fwd; ++j) {
                const int32_t u = nn[j].second;
                for (auto [a, b] : {std::pair<int, int32_t>{i, u}, {u, i}})
                    if (fill[a] < width &&
                        std::find(&graph[size_t(a) * width], &graph[size_t(a) * width] + fill[a],
                                  b) == &graph[size_t(a) * width] + fill[a])
                        graph[size_t(a) * width + fill[a]++] = b;
            }
        }
        for (int p = 0; p < n_pivots; ++p) pivots.push_back(int32_t((p * 7919) % n));
    }
    int n_queries() const { return int(Q.size() / d); }

    int run(const float *q, int m, std::vector<int32_t> &idx, std::vector<float> &dist,
            int threads = 2) const {
        idx.assign(size_t(m) * k, 555);
        dist.assign(size_t(m) * k, -9.0f);
        if (forest) {
            const mirnak_dense_rows train = {X.data(), n, d}, rows = {q, m, d};
            const mirnak_search_index ix = {graph.data(), width, pivots.data(), int(pivots.size()),
                                            *forest};
            const mirnak_query_settings s = {k, beam, n_entries};
            return mirnak_knn_query_f32_ctl(&train, &ix, &rows, &s, idx.data(), dist.data(),
                                            threads, nullptr);
        }
        return mirnak_knn_query_f32(n, d, X.data(), width, graph.data(), int(pivots.size()),
                                    pivots.data(), m, q, k, beam, n_entries, idx.data(),
                                    dist.data(), threads);
    }
};

// A search forest of dense rows, and its record.
struct search_forest {
    int n_trees, leaf;
    std::vector<int32_t> order, splits;
    std::vector<float> thresholds;

    search_forest(const std::vector<float> &X, int d, int trees, int leaf_, int threads = 2,
                  uint64_t seed = 77)
        : n_trees(trees), leaf(leaf_) {
        const int n = int(X.size() / d);
        const int64_t slots = mirnak_knn_forest_nodes(n, leaf);
        order.assign(size_t(trees) * n, -7);
        splits.assign(size_t(trees * slots) * 2, -7);
        thresholds.assign(size_t(trees * slots), -7.0f);
        const mirnak_dense_rows rows = {X.data(), n, d};
        const mirnak_forest_settings s = {trees, leaf, seed};
        EXPECT_EQ(mirnak_knn_search_forest_f32(&rows, &s, order.data(), splits.data(),
                                               thresholds.data(), threads, nullptr),
                  0);
    }
    mirnak_search_forest record() const {
        return {n_trees, leaf, order.data(), splits.data(), thresholds.data()};
    }
    bool operator==(const search_forest &o) const {
        return order == o.order && splits == o.splits && same_bits(thresholds, o.thresholds);
    }
};

// Each query's share of its k true neighbours, brute force.
std::vector<double> recall_of(const query_case &c, const std::vector<int32_t> &idx) {
    std::vector<double> r;
    for (int q = 0; q < c.n_queries(); ++q) {
        const auto want = brute_force(c.X, c.d, &c.Q[size_t(q) * c.d], c.k);
        const int32_t *row = &idx[size_t(q) * c.k];
        int hits = 0;
        for (const auto &w : want) hits += int(std::count(row, row + c.k, w.second));
        r.push_back(double(hits) / c.k);
    }
    return r;
}

TEST(SearchForest, TheSameOnAnyThreadsEveryTreeAPermutationAndEveryPointInItsOwnLeaf) {
    const int d = 6;
    const std::vector<float> X = clustered(1000, d, 4, 31);
    const search_forest f(X, d, 5, 20, 1);
    for (int threads : {2, 3, 0}) EXPECT_TRUE(search_forest(X, d, 5, 20, threads) == f);
    EXPECT_FALSE(search_forest(X, d, 5, 20, 2, 78) == f); // the seed decides
    for (int t = 0; t < f.n_trees; ++t) {
        std::vector<int32_t> sorted(f.order.begin() + t * 1000, f.order.begin() + (t + 1) * 1000);
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < 1000; ++i) ASSERT_EQ(sorted[i], i);
    }
    // Walks that only see their leaves (no graph edges, one far pivot): every
    // training row, queried, descends to the leaf that holds it in every tree.
    query_case c(X, X, d, 1);
    std::fill(c.graph.begin(), c.graph.end(), -1);
    const mirnak_search_forest rec = f.record();
    c.forest = &rec;
    c.k = 1;
    std::vector<int32_t> idx;
    std::vector<float> dist;
    ASSERT_EQ(c.run(c.Q.data(), c.n, idx, dist), 0);
    for (int i = 0; i < c.n; ++i) ASSERT_EQ(idx[i], i) << i;
}

// Many tight clusters of ten, queries drawn from them: a walk from a few
// pivots is stranded in the clusters near them; the leaves reach every one.
TEST(KnnQuery, AForestReachesEveryOneOfManyTightClusters) {
    const int d = 20, clusters = 300, n = 10 * clusters, m = 300;
    std::mt19937 gen(8);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> centres(size_t(clusters) * d), X, Q;
    for (float &v : centres) v = nd(gen);
    for (int i = 0; i < n + m; ++i) {
        const int at = i < n ? i / 10 : int(gen() % clusters);
        for (int t = 0; t < d; ++t)
            (i < n ? X : Q).push_back(centres[size_t(at) * d + t] + 0.01f * nd(gen));
    }
    query_case c(X, Q, d, 16);
    c.k = 10;
    c.beam = 20;
    std::vector<int32_t> idx;
    std::vector<float> dist;
    ASSERT_EQ(c.run(c.Q.data(), m, idx, dist), 0);
    const std::vector<double> before = recall_of(c, idx);
    const search_forest f(c.X, d, 8, 32);
    const mirnak_search_forest rec = f.record();
    c.forest = &rec;
    ASSERT_EQ(c.run(c.Q.data(), m, idx, dist), 0);
    const std::vector<double> after = recall_of(c, idx);
    const double mean_before = std::accumulate(before.begin(), before.end(), 0.0) / m;
    const double mean_after = std::accumulate(after.begin(), after.end(), 0.0) / m;
    EXPECT_LT(mean_before, 0.8); // the fault the forest mends
    EXPECT_GE(mean_after, 0.95);
    EXPECT_GT(*std::min_element(after.begin(), after.end()), 0.0);
}

TEST(KnnQuery, ExactWhenEveryPointIsAPivot) {
    query_case c(90, 7, 40, 0, 1);
    c.pivots.resize(c.n);
    std::iota(c.pivots.begin(), c.pivots.end(), 0);
    std::vector<int32_t> idx;
    std::vector<float> dist;
    ASSERT_EQ(c.run(c.Q.data(), c.n_queries(), idx, dist), 0);
    for (int q = 0; q < c.n_queries(); ++q) {
        const auto want = brute_force(c.X, c.d, &c.Q[size_t(q) * c.d], c.k);
        for (int j = 0; j < c.k; ++j) {
            EXPECT_EQ(idx[size_t(q) * c.k + j], want[j].second);
            EXPECT_EQ(dist[size_t(q) * c.k + j], want[j].first);
        }
    }
}

TEST(KnnQuery, FindsNearlyEveryTrueNeighbourOnClusteredData) {
    query_case c(3000, 24, 300, 40, 2);
    std::vector<int32_t> idx;
    std::vector<float> dist;
    ASSERT_EQ(c.run(c.Q.data(), c.n_queries(), idx, dist), 0);
    int hits = 0;
    for (int q = 0; q < c.n_queries(); ++q) {
        const auto want = brute_force(c.X, c.d, &c.Q[size_t(q) * c.d], c.k);
        const int32_t *row = &idx[size_t(q) * c.k];
        for (const auto &w : want) hits += std::count(row, row + c.k, w.second);
        for (int j = 1; j < c.k; ++j) // ascending, each distance the kernel's own
            EXPECT_LE(dist[size_t(q) * c.k + j - 1], dist[size_t(q) * c.k + j]);
        EXPECT_EQ(dist[size_t(q) * c.k],
                  sqd(&c.Q[size_t(q) * c.d], &c.X[size_t(row[0]) * c.d], c.d));
    }
    EXPECT_GE(hits, 0.95 * c.n_queries() * c.k);
}

TEST(KnnQuery, ARowsAnswerIsTheSameAloneInABatchPermutedAndOnAnyThreads) {
    query_case c(800, 9, 120, 16, 3);
    const search_forest f(c.X, c.d, 4, 24);
    const mirnak_search_forest rec = f.record();
    for (const mirnak_search_forest *forest : {(const mirnak_search_forest *)nullptr, &rec}) {
        c.forest = forest;
        const int m = c.n_queries();
        std::vector<int32_t> batch_idx, idx;
        std::vector<float> batch_dist, dist;
        ASSERT_EQ(c.run(c.Q.data(), m, batch_idx, batch_dist, 1), 0);
        for (int threads : {2, 3, 0}) {
            ASSERT_EQ(c.run(c.Q.data(), m, idx, dist, threads), 0);
            EXPECT_TRUE(same_bits(idx, batch_idx) && same_bits(dist, batch_dist)) << threads;
        }
        std::vector<int> perm(m);
        std::iota(perm.begin(), perm.end(), 0);
        std::shuffle(perm.begin(), perm.end(), std::mt19937(5));
        std::vector<float> shuffled;
        for (int q : perm)
            shuffled.insert(shuffled.end(), &c.Q[size_t(q) * c.d], &c.Q[size_t(q + 1) * c.d]);
        ASSERT_EQ(c.run(shuffled.data(), m, idx, dist, 3), 0);
        for (int r = 0; r < m; ++r) {
            const int q = perm[r];
            std::vector<int32_t> alone_idx;
            std::vector<float> alone_dist;
            ASSERT_EQ(c.run(&c.Q[size_t(q) * c.d], 1, alone_idx, alone_dist), 0);
            for (int j = 0; j < c.k; ++j) {
                EXPECT_EQ(idx[size_t(r) * c.k + j], batch_idx[size_t(q) * c.k + j]);
                EXPECT_EQ(alone_idx[j], batch_idx[size_t(q) * c.k + j]);
                EXPECT_EQ(alone_dist[j], batch_dist[size_t(q) * c.k + j]);
            }
        }
    }
}

TEST(KnnQuery, EveryDistancePathGivesTheSameAnswer) {
    query_case c(700, 37, 80, 12, 4); // 37: blocks of 8 and 4 and a tail
    std::vector<int32_t> want_idx(size_t(c.n_queries()) * c.k), idx = want_idx;
    std::vector<float> want_dist(want_idx.size()), dist = want_dist;
    const search_forest f(c.X, c.d, 3, 16); // built on the best path: descents must agree
    const search_index ix = {
        c.n, c.width, c.graph.data(), int(c.pivots.size()), c.pivots.data(), f.record()};
    const search_settings s = {c.k, c.beam, c.n_entries};
    const query_batch want = {c.n_queries(), c.Q.data(), want_idx.data(), want_dist.data()};
    ASSERT_EQ(knn_query_on_path(DIST_SCALAR, c.X.data(), c.d, ix, s, want, 2), 0);
    for (dist_path p : {DIST_FMA, DIST_NEON}) {
        if (!dist_path_available(p)) continue;
        const query_batch b = {c.n_queries(), c.Q.data(), idx.data(), dist.data()};
        ASSERT_EQ(knn_query_on_path(p, c.X.data(), c.d, ix, s, b, 2), 0);
        EXPECT_TRUE(same_bits(idx, want_idx) && same_bits(dist, want_dist)) << p;
    }
}

TEST(KnnQuery, SettingsAreClampedAndUnreachedSlotsStayEmpty) {
    query_case c(60, 3, 10, 2, 5);
    std::vector<int32_t> idx, ref_idx;
    std::vector<float> dist, ref_dist;
    c.beam = c.k;
    ASSERT_EQ(c.run(c.Q.data(), 10, ref_idx, ref_dist), 0);
    c.beam = 1;         // raised to k
    c.n_entries = 1000; // lowered to the pivots
    ASSERT_EQ(c.run(c.Q.data(), 10, idx, dist), 0);
    c.n_entries = 2;
    ASSERT_EQ(c.run(c.Q.data(), 10, ref_idx, ref_dist), 0);
    EXPECT_TRUE(same_bits(idx, ref_idx) && same_bits(dist, ref_dist));
    // No graph edges: only the two pivots are ever reached.
    std::fill(c.graph.begin(), c.graph.end(), -1);
    ASSERT_EQ(c.run(c.Q.data(), 10, idx, dist), 0);
    for (int q = 0; q < 10; ++q)
        for (int j = 0; j < c.k; ++j) {
            const bool filled = j < 2;
            EXPECT_EQ(idx[size_t(q) * c.k + j] >= 0, filled);
            if (!filled) {
                EXPECT_EQ(dist[size_t(q) * c.k + j], 1e30f);
            }
        }
}

TEST(KnnQuery, RefusesInvalidArgumentsWithoutTouchingOutputs) {
    query_case c(50, 4, 5, 3, 6);
    std::vector<int32_t> idx;
    std::vector<float> dist;
    auto refused = [&](query_case &bad) {
        const int rc = bad.run(bad.Q.data(), 5, idx, dist);
        return rc == -1 && idx == std::vector<int32_t>(idx.size(), 555) &&
               dist == std::vector<float>(dist.size(), -9.0f);
    };
    query_case bad = c;
    bad.graph[7] = bad.n; // beyond the training rows
    EXPECT_TRUE(refused(bad));
    bad = c;
    bad.graph[7] = -2;
    EXPECT_TRUE(refused(bad));
    bad = c;
    bad.pivots[1] = -1;
    EXPECT_TRUE(refused(bad));
    bad = c;
    bad.k = bad.n + 1;
    EXPECT_TRUE(refused(bad));
    bad = c;
    bad.k = bad.n; // every training row: accepted
    EXPECT_EQ(bad.run(bad.Q.data(), 5, idx, dist), 0);
    // A forest whose ids leave the training rows, or whose split is half empty.
    const search_forest f(c.X, c.d, 2, 8);
    for (int which = 0; which < 3; ++which) {
        search_forest broken = f;
        if (which == 0) broken.order[5] = c.n;
        if (which == 1) broken.splits[1] = -1;
        if (which == 2) broken.leaf = 0;
        const mirnak_search_forest rec = broken.record();
        bad = c;
        bad.forest = &rec;
        EXPECT_TRUE(refused(bad)) << which;
    }
    EXPECT_EQ(mirnak_knn_query_f32(c.n, c.d, nullptr, c.width, c.graph.data(), 3, c.pivots.data(),
                                   5, c.Q.data(), c.k, 8, 2, idx.data(), dist.data(), 1),
              -1);
    EXPECT_EQ(mirnak_knn_query_f32(c.n, c.d, c.X.data(), 0, c.graph.data(), 3, c.pivots.data(), 5,
                                   c.Q.data(), c.k, 8, 2, idx.data(), dist.data(), 1),
              -1);
}

// ---------------------------------------------------------------------------
// Layout of new points
// ---------------------------------------------------------------------------

struct placement {
    int n_points, n_reference, dim = 2, width = 4;
    std::vector<float> start, reference, eps;
    std::vector<int32_t> tail;
    std::vector<uint64_t> keys;
    int n_epochs = 25;
    float a = 1.577f, b = 0.895f, gamma = 1.0f, alpha = 1.0f, rate = 5.0f;
    uint64_t seed = 11;

    placement(int points, int refs, uint32_t s) : n_points(points), n_reference(refs) {
        std::mt19937 gen(s);
        std::uniform_real_distribution<float> pos(-4.0f, 4.0f), w(0.05f, 1.0f);
        std::uniform_int_distribution<int> ref(0, refs - 1);
        for (int i = 0; i < refs * dim; ++i) reference.push_back(pos(gen));
        for (int i = 0; i < points; ++i) {
            for (int t = 0; t < dim; ++t) start.push_back(pos(gen));
            for (int j = 0; j < width; ++j) {
                tail.push_back(j == width - 1 && i % 3 == 0 ? -1 : ref(gen));
                eps.push_back(j == 0 ? 1.0f : 1.0f / w(gen));
            }
            keys.push_back(gen() * 0x100000001ull + i);
        }
    }

    // The points in the order given, as a new batch.
    placement subset(const std::vector<int> &order) const {
        placement p = *this;
        p.n_points = int(order.size());
        p.start.clear(), p.eps.clear(), p.tail.clear(), p.keys.clear();
        for (int i : order) {
            p.start.insert(p.start.end(), &start[size_t(i) * dim], &start[size_t(i + 1) * dim]);
            p.eps.insert(p.eps.end(), &eps[size_t(i) * width], &eps[size_t(i + 1) * width]);
            p.tail.insert(p.tail.end(), &tail[size_t(i) * width], &tail[size_t(i + 1) * width]);
            p.keys.push_back(keys[i]);
        }
        return p;
    }

    std::vector<float> run(int threads, int *rc = nullptr) const {
        std::vector<float> e = start;
        const int r = mirnak_umap_optimize_new_points_f32(
            e.data(), n_points, dim, reference.data(), n_reference, tail.data(), eps.data(), width,
            keys.data(), n_epochs, a, b, gamma, alpha, rate, seed, threads);
        if (rc) *rc = r;
        return e;
    }
};

TEST(NewPointsLayout, AnyThreadCountGivesTheSameBits) {
    const placement p(301, 90, 1);
    int rc = 1;
    const std::vector<float> one = p.run(1, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(same_bits(one, p.start));
    for (int threads : {2, 3, 0}) EXPECT_TRUE(same_bits(p.run(threads), one)) << threads;
}

TEST(NewPointsLayout, APointsResultDoesNotDependOnItsBatch) {
    const placement p(60, 40, 2);
    const std::vector<float> all = p.run(2);
    std::vector<int> order(p.n_points);
    std::iota(order.rbegin(), order.rend(), 0); // reversed
    const std::vector<float> reversed = p.subset(order).run(3);
    for (int i = 0; i < p.n_points; ++i) {
        const std::vector<float> alone = p.subset({i}).run(1);
        const int r = p.n_points - 1 - i;
        EXPECT_EQ(std::memcmp(&alone[0], &all[size_t(i) * p.dim], p.dim * 4), 0) << i;
        EXPECT_EQ(std::memcmp(&reversed[size_t(r) * p.dim], &all[size_t(i) * p.dim], p.dim * 4), 0);
    }
    placement other = p.subset({0}); // another key draws other negative samples
    other.keys[0] ^= 1;
    EXPECT_FALSE(same_bits(other.run(1), p.subset({0}).run(1)));
}

// One point's epochs written out from the rules: edge j is due in epoch n when
// n >= its next due epoch; a due edge pulls the point by
// clip(coefficient * difference) * alpha per coordinate and then draws the
// negative samples owed since the last draw from the stream of
// (mix(seed ^ key), j, n), each pushing the point away.
std::vector<float> reference_point(const placement &p) {
    using namespace layoutref;
    std::vector<float> y(p.start.begin(), p.start.begin() + p.dim);
    std::vector<edge_schedule> sched;
    for (int j = 0; j < p.width; ++j) sched.emplace_back(p.eps[j], p.rate);
    const uint64_t seed = vornik::splitmix64_mix(p.seed ^ p.keys[0]);
    for (int n = 0; n < p.n_epochs; ++n) {
        const float alpha = layoutref::epoch_alpha(p.alpha, n, p.n_epochs);
        for (int j = 0; j < p.width; ++j) {
            if (p.tail[j] < 0 || !sched[j].due_in(p.eps[j], n)) continue;
            const float *o = &p.reference[size_t(p.tail[j]) * p.dim];
            const float gc = attraction(squared_distance(y.data(), o, p.dim), p.a, p.b);
            for (int t = 0; t < p.dim; ++t) y[t] = y[t] + clip(gc * (y[t] - o[t])) * alpha;
            const int owed = sched[j].advance(p.eps[j], n);
            uint32_t rng[3];
            if (owed > 0) mirnak_umap_seed_rng(seed, j, n, rng);
            for (int s = 0; s < owed; ++s) {
                const uint32_t k2 = mirnak_umap_tau_rand(rng) % uint32_t(p.n_reference);
                const float *o2 = &p.reference[size_t(k2) * p.dim];
                const float dd2 = squared_distance(y.data(), o2, p.dim);
                if (dd2 <= 0.0f) continue;
                const float gcn = repulsion(dd2, p.a, p.b, p.gamma);
                for (int t = 0; t < p.dim; ++t) y[t] = y[t] + clip(gcn * (y[t] - o2[t])) * alpha;
            }
        }
    }
    return y;
}

TEST(NewPointsLayout, OnePointFollowsTheRulesWrittenOut) {
    for (int dim : {2, 3}) {
        placement p(1, 7, 3);
        p.dim = dim;
        p.reference.resize(size_t(p.n_reference) * dim, 0.5f);
        p.start.assign(dim, 0.25f);
        p.tail = {2, 5, -1, 0};
        p.eps = {1.0f, 2.5f, 1.0f, -1.0f}; // the third has no tail, the fourth is never due
        p.n_epochs = 12;
        p.rate = 3.0f;
        p.alpha = 0.5f;
        std::vector<float> got = p.run(1);
        EXPECT_TRUE(same_bits(got, reference_point(p))) << dim;
    }
}

TEST(NewPointsLayout, EdgesWithoutTailOrScheduleAndTheFirstEpochMoveNothing) {
    placement p(5, 10, 4);
    std::fill(p.tail.begin(), p.tail.end(), -1);
    EXPECT_TRUE(same_bits(p.run(2), p.start));
    p = placement(5, 10, 4);
    std::fill(p.eps.begin(), p.eps.end(), 0.0f);
    EXPECT_TRUE(same_bits(p.run(2), p.start));
    p = placement(5, 10, 4);
    p.n_epochs = 1; // nothing is due in epoch 0
    EXPECT_TRUE(same_bits(p.run(2), p.start));
}

TEST(NewPointsLayout, RefusesInvalidArgumentsWithoutTouchingTheEmbedding) {
    const placement good(6, 10, 5);
    auto refused = [&](const placement &p) {
        int rc = 0;
        const std::vector<float> e = p.run(2, &rc);
        return rc == -1 && same_bits(e, p.start);
    };
    placement p = good;
    p.tail[3] = p.n_reference;
    EXPECT_TRUE(refused(p));
    p = good;
    p.tail[3] = -2;
    EXPECT_TRUE(refused(p));
    p = good;
    p.rate = 0.0f;
    EXPECT_TRUE(refused(p));
    p = good;
    p.n_epochs = 0;
    EXPECT_TRUE(refused(p));
    std::vector<float> e = good.start;
    EXPECT_EQ(mirnak_umap_optimize_new_points_f32(e.data(), good.n_points, good.dim,
                                                  good.reference.data(), good.n_reference,
                                                  good.tail.data(), good.eps.data(), good.width,
                                                  nullptr, 5, 1.0f, 1.0f, 1.0f, 1.0f, 5.0f, 1, 1),
              -1);
}

// ---------------------------------------------------------------------------
// Control blocks
// ---------------------------------------------------------------------------

// Sets the stop flag once the kernel has counted `after` units of progress.
class stopper {
  public:
    stopper(mirnak_control &ctl, int64_t after)
        : thread_([&ctl, after] {
              while (__atomic_load_n(&ctl.progress, __ATOMIC_RELAXED) < after)
                  std::this_thread::yield();
              __atomic_store_n(&ctl.stop, 1, __ATOMIC_RELAXED);
          }) {}
    ~stopper() { thread_.join(); }

  private:
    std::thread thread_;
};

TEST(TransformControl, QueryAndNewPointsCountTheirRowsAndStop) {
    query_case c(2000, 16, 20000, 40, 7);
    const int m = c.n_queries();
    std::vector<int32_t> want_idx, idx(size_t(m) * c.k);
    std::vector<float> want_dist, dist(idx.size());
    ASSERT_EQ(c.run(c.Q.data(), m, want_idx, want_dist), 0);
    const mirnak_dense_rows train = {c.X.data(), c.n, c.d}, rows = {c.Q.data(), m, c.d};
    const mirnak_search_index index = {
        c.graph.data(), c.width, c.pivots.data(), int(c.pivots.size()), {}};
    const mirnak_query_settings s = {c.k, c.beam, c.n_entries};
    auto query = [&](mirnak_control *ctl) {
        std::fill(idx.begin(), idx.end(), 555);
        std::fill(dist.begin(), dist.end(), -9.0f);
        return mirnak_knn_query_f32_ctl(&train, &index, &rows, &s, idx.data(), dist.data(), 2, ctl);
    };
    mirnak_control ctl = {-1, 0};
    EXPECT_EQ(query(&ctl), 0);
    EXPECT_EQ(ctl.progress, m);
    EXPECT_TRUE(same_bits(idx, want_idx) && same_bits(dist, want_dist));
    ctl = {-1, 1}; // stopped before any work: nothing written
    EXPECT_EQ(query(&ctl), MIRNAK_STOPPED);
    EXPECT_EQ(ctl.progress, 0);
    EXPECT_EQ(idx, std::vector<int32_t>(idx.size(), 555));
    ctl = {0, 0};
    {
        stopper stop(ctl, 40);
        EXPECT_EQ(query(&ctl), MIRNAK_STOPPED);
    }
    int answered = 0; // each row its answer or untouched
    for (int q = 0; q < m; ++q) {
        const bool kept = dist[size_t(q) * c.k] == -9.0f; // no distance is negative
        answered += !kept;
        for (int j = 0; j < c.k; ++j)
            EXPECT_EQ(idx[size_t(q) * c.k + j], kept ? 555 : want_idx[size_t(q) * c.k + j]);
    }
    EXPECT_EQ(answered, ctl.progress);
    EXPECT_LT(answered, m);
    const mirnak_dense_rows narrow = {c.Q.data(), m, c.d - 1};
    EXPECT_EQ(
        mirnak_knn_query_f32_ctl(&train, &index, &narrow, &s, idx.data(), dist.data(), 2, nullptr),
        MIRNAK_INVALID);

    placement p(900, 90, 8);
    p.n_epochs = 200;
    const std::vector<float> want = p.run(2);
    const mirnak_new_point_edges edges = {p.tail.data(), p.eps.data(), p.width, p.keys.data()};
    const mirnak_layout_run run = {p.n_epochs, p.a, p.b, p.gamma, p.alpha, p.rate, p.seed};
    std::vector<float> e;
    auto place = [&](mirnak_control *ctl) {
        e = p.start;
        return mirnak_umap_optimize_new_points_f32_ctl(
            e.data(), p.n_points, p.dim, p.reference.data(), p.n_reference, &edges, &run, 2, ctl);
    };
    ctl = {-1, 0};
    EXPECT_EQ(place(&ctl), 0);
    EXPECT_EQ(ctl.progress, p.n_points);
    EXPECT_TRUE(same_bits(e, want));
    ctl = {-1, 1};
    EXPECT_EQ(place(&ctl), MIRNAK_STOPPED);
    EXPECT_TRUE(same_bits(e, p.start));
    ctl = {0, 0};
    {
        stopper stop(ctl, 32);
        EXPECT_EQ(place(&ctl), MIRNAK_STOPPED);
    }
    int placed = 0, between = 0; // each point its start, its place, or (one per thread) between
    for (int i = 0; i < p.n_points; ++i) {
        const float *got = &e[size_t(i) * p.dim];
        placed += std::memcmp(got, &want[size_t(i) * p.dim], p.dim * 4) == 0;
        between += std::memcmp(got, &want[size_t(i) * p.dim], p.dim * 4) != 0 &&
                   std::memcmp(got, &p.start[size_t(i) * p.dim], p.dim * 4) != 0;
    }
    EXPECT_GE(placed, ctl.progress);
    EXPECT_LT(placed, p.n_points);
    EXPECT_LE(between, 2);
    EXPECT_EQ(mirnak_umap_optimize_new_points_f32_ctl(e.data(), p.n_points, p.dim,
                                                      p.reference.data(), p.n_reference, nullptr,
                                                      &run, 2, nullptr),
              MIRNAK_INVALID);
}

} // namespace
