// The layout's shared arithmetic (random stream, coefficients, schedule) and
// the serial optimiser.
#include <climits>

#include "layout_fixture.h"
#include "umap_layout_internal.h"

namespace {

using namespace layout_test;
using namespace vornik::layout;

// ---------------------------------------------------------------------------
// Random stream
// ---------------------------------------------------------------------------

TEST(LayoutRandomStream, SplitMixOfZero) {
    EXPECT_EQ(mirnak_umap_splitmix64(0), 0xE220A8397B1DCDAFULL);
}

TEST(LayoutRandomStream, WorkedExampleSeed42Edge5Epoch0) {
    uint32_t s[3];
    mirnak_umap_seed_rng(42, 5, 0, s);
    EXPECT_EQ(s[0], 0xD8ED1447u);
    EXPECT_EQ(s[1], 0x5050D18Fu);
    EXPECT_EQ(s[2], 0x77E50D10u);
    EXPECT_EQ(mirnak_umap_tau_rand(s), 0xCE706E68u);
    EXPECT_EQ(s[0], 0xD1446F4Cu);
    EXPECT_EQ(s[1], 0x050D1888u);
    EXPECT_EQ(s[2], 0x1A3919ACu);

    mirnak_umap_seed_rng(42, 5, 0, s);
    EXPECT_EQ(sample_vertex(s, vertex_range_of(100)), 92);
}

TEST(LayoutRandomStream, SeedingSetsTheComponentBoundsAndDependsOnlyOnItsInputs) {
    for (uint64_t seed : {0ULL, 1ULL, 42ULL, ~0ULL})
        for (int64_t edge : {int64_t{0}, int64_t{5}, int64_t{1} << 40, INT64_MAX})
            for (int epoch : {0, 1, 199, INT_MAX - 1}) {
                uint32_t s[3], t[3];
                mirnak_umap_seed_rng(seed, edge, epoch, s);
                EXPECT_EQ(s[0] | 2u, s[0]);
                EXPECT_EQ(s[1] | 8u, s[1]);
                EXPECT_EQ(s[2] | 16u, s[2]);
                mirnak_umap_seed_rng(seed, edge, epoch, t);
                EXPECT_EQ(0, std::memcmp(s, t, sizeof s));
            }
    // Neighbouring edges and epochs get different streams.
    uint32_t a[3], b[3], c[3];
    mirnak_umap_seed_rng(42, 5, 0, a);
    mirnak_umap_seed_rng(42, 6, 0, b);
    mirnak_umap_seed_rng(42, 5, 1, c);
    EXPECT_NE(0, std::memcmp(a, b, sizeof a));
    EXPECT_NE(0, std::memcmp(a, c, sizeof a));
}

TEST(LayoutRandomStream, RemainderByMultiplicationIsExact) {
    std::mt19937 gen(5);
    std::vector<uint32_t> draws = {0u,          1u,          2u,          99u,        100u,
                                   0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    for (int i = 0; i < 20000; ++i) draws.push_back(static_cast<uint32_t>(gen()));
    for (int n : {1, 2, 3, 7, 100, 1000, 65535, 65536, 99991, 1 << 20, 1000003, 0x40000000,
                  INT_MAX - 1, INT_MAX}) {
        const vertex_range v = vertex_range_of(n);
        for (uint32_t r : draws)
            ASSERT_EQ(modulo(r, v), r % static_cast<uint32_t>(n)) << r << " mod " << n;
    }
}

// ---------------------------------------------------------------------------
// Gradient arithmetic
// ---------------------------------------------------------------------------

TEST(LayoutArithmetic, ClipLimitsAndPassesNaN) {
    EXPECT_EQ(mirnak_umap_clip(4.0f), 4.0f);
    EXPECT_EQ(mirnak_umap_clip(INFINITY), 4.0f);
    EXPECT_EQ(mirnak_umap_clip(-5.0f), -4.0f);
    EXPECT_EQ(mirnak_umap_clip(-INFINITY), -4.0f);
    EXPECT_EQ(mirnak_umap_clip(-3.5f), -3.5f);
    EXPECT_TRUE(std::isnan(mirnak_umap_clip(NAN)));
}

TEST(LayoutArithmetic, RdistAddsSquaresInAscendingOrder) {
    const float x[5] = {1.5f, -2.0f, 3.0f, 0.25f, 7.0f};
    EXPECT_EQ(mirnak_umap_rdist(x, x, 5), 0.0f);
    EXPECT_EQ(mirnak_umap_rdist(x, x, 0), 0.0f);
    // 1e8 first: each later +4 is a tie that rounds back to 1e8. Any other
    // order would reach 1e8 + 16 exactly.
    const float y[5] = {1e4f, 2.0f, 2.0f, 2.0f, 2.0f};
    const float z[5] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    EXPECT_EQ(mirnak_umap_rdist(y, z, 5), 1e8f);
}

TEST(LayoutArithmetic, Coefficients) {
    EXPECT_EQ(mirnak_umap_attractive_coeff(0.0f, 1.0f, 1.0f), 0.0f);
    EXPECT_EQ(mirnak_umap_attractive_coeff(-1.0f, 1.0f, 1.0f), 0.0f);
    EXPECT_EQ(mirnak_umap_attractive_coeff(1.0f, 1.0f, 1.0f), -1.0f);
    EXPECT_EQ(mirnak_umap_repulsive_coeff(1.0f, 1.0f, 1.0f, 1.0f), 2.0f / (1.001f * 2.0f));
    EXPECT_EQ(mirnak_umap_repulsive_coeff(0.0f, 1.0f, 1.0f, 1.0f), 0.0f);
}

// ---------------------------------------------------------------------------
// Schedule
// ---------------------------------------------------------------------------

TEST(LayoutSchedule, NegativeCountConversionIsDefinedEverywhere) {
    EXPECT_EQ(negative_count(NAN, INT_MAX), 0);
    EXPECT_EQ(negative_count(-INFINITY, INT_MAX), 0);
    EXPECT_EQ(negative_count(-3.7, INT_MAX), 0);
    EXPECT_EQ(negative_count(0.0, INT_MAX), 0);
    EXPECT_EQ(negative_count(0.99, INT_MAX), 0);
    EXPECT_EQ(negative_count(4.0, INT_MAX), 4);
    EXPECT_EQ(negative_count(5.9999, INT_MAX), 5);
    EXPECT_EQ(negative_count(2147483647.0, INT_MAX), INT_MAX);
    EXPECT_EQ(negative_count(2147483647.5, INT_MAX), INT_MAX);
    EXPECT_EQ(negative_count(2147483648.0, INT_MAX), INT_MAX);
    EXPECT_EQ(negative_count(1e300, INT_MAX), INT_MAX);
    EXPECT_EQ(negative_count(INFINITY, INT_MAX), INT_MAX);
    EXPECT_EQ(negative_count(1023.5, 1024), 1023);
    EXPECT_EQ(negative_count(1024.0, 1024), 1024);
    EXPECT_EQ(negative_count(1e30, 1024), 1024);
}

TEST(LayoutSchedule, AVanishingPeriodOwesAtMostTheCapPerEpoch) {
    // The cap: 2 * rate + 2 (what a period of one epoch or more can owe, and
    // more), at least 1,024, at most INT_MAX.
    EXPECT_EQ(negative_cap(5.0f), 1024);
    EXPECT_EQ(negative_cap(1000.0f), 2002);
    EXPECT_EQ(negative_cap(1e10f), INT_MAX);
    EXPECT_EQ(negative_cap(NAN), 1024);
    // Periods of an epoch or more owe about rate per due epoch, far below it.
    for (float eps : {1.0f, 1.0001f, 1.9f, 7.3f}) {
        double eons, eonn, epn;
        schedule_init(eps, 1000.0f, &eons, &eonn, &epn);
        for (int n = 1; n < 60; ++n) {
            if (edge_due(eps, eons, n)) {
                EXPECT_LE(advance_schedule(eps, epn, n, 2002, &eons, &eonn), 2001) << eps;
            }
        }
    }
    // A period of 1e-30 epochs owed 2^31 - 1 samples in every epoch.
    double eons, eonn, epn;
    schedule_init(1e-30f, 5.0f, &eons, &eonn, &epn);
    EXPECT_EQ(advance_schedule(1e-30f, epn, 1.0, negative_cap(5.0f), &eons, &eonn), 1024);
    // 1,000 such edges: the serial layout finishes (it drew 2^31 - 1 samples
    // per edge and epoch, for hours), and so do the new points.
    const int n = 50;
    std::vector<float> emb(2 * n), ref(2 * n);
    for (int i = 0; i < 2 * n; ++i) emb[i] = ref[i] = 0.1f * static_cast<float>(i % 17);
    std::vector<int32_t> head(1000), tail(1000);
    for (int i = 0; i < 1000; ++i) head[i] = i % n, tail[i] = (i * 7 + 1) % n;
    const std::vector<float> eps(1000, 1e-30f);
    EXPECT_EQ(mirnak_umap_optimize_layout_euclidean_f32_ctl(
                  emb.data(), n, 2, head.data(), tail.data(), 1000, eps.data(), 3, 1.577f, 0.895f,
                  1.0f, 1.0f, 5.0f, 1, nullptr),
              0);
    const uint64_t key = 1;
    EXPECT_EQ(mirnak_umap_optimize_new_points_f32(emb.data(), 1, 2, ref.data(), n, tail.data(),
                                                  eps.data(), 1000, &key, 3, 1.577f, 0.895f, 1.0f,
                                                  1.0f, 5.0f, 1, 1),
              0);
}

TEST(LayoutSchedule, OneEdgeRateFiveOverThreeEpochs) {
    double eons, eonn, epn;
    schedule_init(1.0f, 5.0f, &eons, &eonn, &epn);
    EXPECT_EQ(epn, 0.2);
    EXPECT_EQ(eonn, 0.2);
    EXPECT_EQ(eons, 1.0);

    EXPECT_FALSE(edge_due(1.0f, eons, 0.0));
    ASSERT_TRUE(edge_due(1.0f, eons, 1.0));
    EXPECT_EQ(advance_schedule(1.0f, epn, 1.0, 1024, &eons, &eonn), 4);
    ASSERT_TRUE(edge_due(1.0f, eons, 2.0));
    EXPECT_EQ(advance_schedule(1.0f, epn, 2.0, 1024, &eons, &eonn), 5);
    EXPECT_EQ(eonn, 2.0);
    EXPECT_EQ(eons, 3.0);
}

TEST(LayoutSchedule, FractionalPeriodAndInertEdges) {
    double eons, eonn, epn;
    schedule_init(2.5f, 1.0f, &eons, &eonn, &epn);
    std::vector<int> due;
    for (int n = 0; n < 12; ++n)
        if (edge_due(2.5f, eons, n)) {
            due.push_back(n);
            advance_schedule(2.5f, epn, n, 1024, &eons, &eonn);
        }
    EXPECT_EQ(due, (std::vector<int>{3, 5, 8, 10}));

    EXPECT_FALSE(edge_due(0.0f, -1.0, 5.0));
    EXPECT_FALSE(edge_due(-2.0f, -1.0, 5.0));
    EXPECT_TRUE(edge_due(NAN, NAN, 5.0)); // NaN is not caught by ordered tests

    // A rate below one: the first due epoch owes a negative quotient, so
    // nothing, and eonn stays put.
    schedule_init(1.0f, 0.25f, &eons, &eonn, &epn);
    EXPECT_EQ(advance_schedule(1.0f, epn, 1.0, 1024, &eons, &eonn), 0);
    EXPECT_EQ(eonn, 4.0);
}

TEST(LayoutSchedule, LearningRateDecay) {
    EXPECT_EQ(epoch_alpha(1.0f, 0, 10), 1.0f);
    EXPECT_EQ(epoch_alpha(1.0f, 1, 10), 1.0f);
    EXPECT_EQ(epoch_alpha(0.5f, 2, 10), 0.5f * (1.0f - 1.0f / 10.0f));
    EXPECT_EQ(epoch_alpha(1.0f, 9, 10), 1.0f - 8.0f / 10.0f);
}

// ---------------------------------------------------------------------------
// Serial optimiser
// ---------------------------------------------------------------------------

TEST(SerialLayout, RepeatRunsAreBitIdenticalAndMoveTheEmbedding) {
    const graph g = random_graph(60, 2, 4, 1);
    const params p;
    const auto r1 = run_serial(g, p), r2 = run_serial(g, p);
    EXPECT_TRUE(same_bits(r1, r2));
    EXPECT_FALSE(same_bits(r1, g.embedding));
    for (float v : r1) EXPECT_TRUE(std::isfinite(v));
}

TEST(SerialLayout, SingleEpochLeavesTheEmbeddingUnchanged) {
    const graph g = random_graph(20, 2, 3, 2);
    params p;
    p.n_epochs = 1;
    EXPECT_TRUE(same_bits(run_serial(g, p), g.embedding));
}

TEST(SerialLayout, InvalidArgumentsTouchNothing) {
    const graph g = random_graph(10, 2, 2, 3);
    const params p;
    std::vector<float> e = g.embedding;
    auto call = [&](float *emb, int n, int dim, const mirnak_layout_edges &ed) {
        mirnak_umap_optimize_layout_euclidean_f32(emb, n, dim, ed.head, ed.tail, ed.n_edges,
                                                  ed.epochs_per_sample, p.n_epochs, p.a, p.b,
                                                  p.gamma, p.alpha, p.rate, p.seed);
    };
    const mirnak_layout_edges ok = {g.head.data(), g.tail.data(),
                                    static_cast<int64_t>(g.head.size()), g.eps.data()};
    mirnak_layout_edges none = ok, no_head = ok, no_tail = ok, no_eps = ok;
    none.n_edges = 0;
    no_head.head = nullptr;
    no_tail.tail = nullptr;
    no_eps.epochs_per_sample = nullptr;
    for (const mirnak_layout_edges &broken : {none, no_head, no_tail, no_eps})
        call(e.data(), 10, 2, broken);
    call(e.data(), 10, 0, ok);
    call(e.data(), 0, 2, ok);
    call(nullptr, 10, 2, ok);
    EXPECT_TRUE(same_bits(e, g.embedding));
    for (float rate : {0.0f, -1.0f}) {
        params q = p;
        q.rate = rate;
        EXPECT_TRUE(same_bits(run_serial(g, q), g.embedding)) << rate;
    }
    params no_epochs = p;
    no_epochs.n_epochs = 0;
    EXPECT_TRUE(same_bits(run_serial(g, no_epochs), g.embedding));

    // Vertex ids outside [0, n_samples) anywhere in head or tail.
    for (int32_t bad : {-1, 10, INT32_MAX, INT32_MIN}) {
        graph h = g;
        h.head.back() = bad;
        EXPECT_TRUE(same_bits(run_serial(h, p), g.embedding)) << bad;
        h = g;
        h.tail.front() = bad;
        EXPECT_TRUE(same_bits(run_serial(h, p), g.embedding)) << bad;
    }
}

TEST(SerialLayout, EdgesNeverSampledAreInert) {
    const graph g = random_graph(30, 2, 3, 4);
    graph h = g;
    // Appended, so the indices (and random streams) of the other edges stay.
    for (float eps : {0.0f, -1.0f, -INFINITY, INFINITY}) {
        h.head.push_back(0);
        h.tail.push_back(1);
        h.eps.push_back(eps);
    }
    const params p;
    EXPECT_TRUE(same_bits(run_serial(g, p), run_serial(h, p)));
}

TEST(SerialLayout, SelfLoopAndCoincidentSamplesMoveNothing) {
    // One vertex with a self-loop: d2 = 0 attracts nothing and every negative
    // sample is the head itself.
    graph g;
    g.n_samples = 1;
    g.embedding = {0.5f, -1.25f};
    g.head = {0};
    g.tail = {0};
    g.eps = {1.0f};
    const params p;
    EXPECT_TRUE(same_bits(run_serial(g, p), g.embedding));
    // Another vertex at the same position repels nothing either.
    g.n_samples = 3;
    g.embedding = {0.5f, -1.25f, 0.5f, -1.25f, 0.5f, -1.25f};
    EXPECT_TRUE(same_bits(run_serial(g, p), g.embedding));
    int rc;
    g.head = {0, 1};
    g.tail = {0, 2};
    g.eps = {1.0f, 1.0f};
    EXPECT_TRUE(same_bits(run_parallel(g, p, 2, &rc), g.embedding));
    EXPECT_EQ(rc, 0);
}

TEST(SerialLayout, LargeGradientsAreClippedToFour) {
    graph g;
    g.n_samples = 2;
    g.embedding = {0.0f, 0.0f, 0.1f, 0.0f};
    g.head = {0};
    g.tail = {1};
    g.eps = {1.0f};
    params p;
    p.n_epochs = 2; // processed once, in epoch 1, at initial alpha
    p.a = 1e4f;
    p.b = 1.0f;
    p.alpha = 0.375f;
    p.rate = 1e-6f; // epn is huge: no negative samples
    const auto e = run_serial(g, p);
    EXPECT_EQ(e[0], 4.0f * 0.375f);
    EXPECT_EQ(e[2], 0.1f - 4.0f * 0.375f);
    EXPECT_EQ(e[1], 0.0f);
    EXPECT_EQ(e[3], 0.0f);
}

TEST(SerialLayout, GenericDimensionMatchesTheTwoDimensionalPath) {
    const graph g = random_graph(50, 2, 5, 5);
    const params p;
    EXPECT_TRUE(same_bits(drop_third(run_serial(lift_to_3d(g), p)), run_serial(g, p)));
}

TEST(SerialLayout, TwoClustersSeparate) {
    params p;
    p.n_epochs = 300;
    expect_two_clusters(run_serial(two_cluster_graph(40), p), 40);
}

} // namespace
