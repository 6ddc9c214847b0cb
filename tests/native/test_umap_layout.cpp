// Layout kernels: the shared primitives and schedule, the serial optimiser,
// the barrier, the work partition and the parallel optimiser.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "umap_layout_internal.h"
#include "umap_layout_barrier.h"
#include "umap_layout_partition.h"
#include "umap_layout_substep.h"
#include "vornik_kernels.h"

namespace {

using namespace vornik::layout;

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

bool same_bits(const std::vector<float> &x, const std::vector<float> &y) {
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
graph random_graph(int n_samples, int dim, int degree, uint32_t seed) {
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

std::vector<float> run_serial(const graph &g, const params &p) {
    std::vector<float> e = g.embedding;
    mirnak_umap_optimize_layout_euclidean_f32(e.data(), g.n_samples, g.dim, g.head.data(),
                                              g.tail.data(), static_cast<int64_t>(g.head.size()),
                                              g.eps.data(), p.n_epochs, p.a, p.b, p.gamma, p.alpha,
                                              p.rate, p.seed);
    return e;
}

std::vector<float> run_parallel(const graph &g, const params &p, int n_threads, int *rc = nullptr) {
    std::vector<float> e = g.embedding;
    const int r = mirnak_umap_optimize_layout_euclidean_f32_parallel(
        e.data(), g.n_samples, g.dim, g.head.data(), g.tail.data(),
        static_cast<int64_t>(g.head.size()), g.eps.data(), p.n_epochs, p.a, p.b, p.gamma, p.alpha,
        p.rate, p.seed, n_threads);
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
graph lift_to_3d(const graph &g) {
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

std::vector<float> drop_third(const std::vector<float> &e) {
    std::vector<float> out;
    for (size_t v = 0; v < e.size() / 3; ++v) {
        out.push_back(e[3 * v]);
        out.push_back(e[3 * v + 1]);
    }
    return out;
}

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
    EXPECT_EQ(negative_count(NAN), 0);
    EXPECT_EQ(negative_count(-INFINITY), 0);
    EXPECT_EQ(negative_count(-3.7), 0);
    EXPECT_EQ(negative_count(0.0), 0);
    EXPECT_EQ(negative_count(0.99), 0);
    EXPECT_EQ(negative_count(4.0), 4);
    EXPECT_EQ(negative_count(5.9999), 5);
    EXPECT_EQ(negative_count(2147483647.0), INT_MAX);
    EXPECT_EQ(negative_count(2147483647.5), INT_MAX);
    EXPECT_EQ(negative_count(2147483648.0), INT_MAX);
    EXPECT_EQ(negative_count(1e300), INT_MAX);
    EXPECT_EQ(negative_count(INFINITY), INT_MAX);
}

TEST(LayoutSchedule, OneEdgeRateFiveOverThreeEpochs) {
    double eons, eonn, epn;
    schedule_init(1.0f, 5.0f, &eons, &eonn, &epn);
    EXPECT_EQ(epn, 0.2);
    EXPECT_EQ(eonn, 0.2);
    EXPECT_EQ(eons, 1.0);

    EXPECT_FALSE(edge_due(1.0f, eons, 0.0));
    ASSERT_TRUE(edge_due(1.0f, eons, 1.0));
    EXPECT_EQ(advance_schedule(1.0f, epn, 1.0, &eons, &eonn), 4);
    ASSERT_TRUE(edge_due(1.0f, eons, 2.0));
    EXPECT_EQ(advance_schedule(1.0f, epn, 2.0, &eons, &eonn), 5);
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
            advance_schedule(2.5f, epn, n, &eons, &eonn);
        }
    EXPECT_EQ(due, (std::vector<int>{3, 5, 8, 10}));

    EXPECT_FALSE(edge_due(0.0f, -1.0, 5.0));
    EXPECT_FALSE(edge_due(-2.0f, -1.0, 5.0));
    EXPECT_TRUE(edge_due(NAN, NAN, 5.0)); // NaN is not caught by ordered tests

    // A rate below one: the first due epoch owes a negative quotient, so
    // nothing, and eonn stays put.
    schedule_init(1.0f, 0.25f, &eons, &eonn, &epn);
    EXPECT_EQ(advance_schedule(1.0f, epn, 1.0, &eons, &eonn), 0);
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
    graph g = random_graph(10, 2, 2, 3);
    const params p;
    const int64_t m = static_cast<int64_t>(g.head.size());
    std::vector<float> e = g.embedding;
    auto call = [&](float *emb, int n, int dim, const int32_t *h, const int32_t *t, int64_t ne,
                    const float *eps, int epochs, float rate) {
        mirnak_umap_optimize_layout_euclidean_f32(emb, n, dim, h, t, ne, eps, epochs, p.a, p.b,
                                                  p.gamma, p.alpha, rate, p.seed);
    };
    call(e.data(), 10, 2, g.head.data(), g.tail.data(), m, g.eps.data(), 10, 0.0f);
    call(e.data(), 10, 2, g.head.data(), g.tail.data(), m, g.eps.data(), 10, -1.0f);
    call(e.data(), 10, 2, g.head.data(), g.tail.data(), 0, g.eps.data(), 10, 5.0f);
    call(e.data(), 10, 2, g.head.data(), g.tail.data(), m, g.eps.data(), 0, 5.0f);
    call(e.data(), 10, 0, g.head.data(), g.tail.data(), m, g.eps.data(), 10, 5.0f);
    call(e.data(), 0, 2, g.head.data(), g.tail.data(), m, g.eps.data(), 10, 5.0f);
    call(e.data(), 10, 2, nullptr, g.tail.data(), m, g.eps.data(), 10, 5.0f);
    call(e.data(), 10, 2, g.head.data(), nullptr, m, g.eps.data(), 10, 5.0f);
    call(e.data(), 10, 2, g.head.data(), g.tail.data(), m, nullptr, 10, 5.0f);
    call(nullptr, 10, 2, g.head.data(), g.tail.data(), m, g.eps.data(), 10, 5.0f);
    EXPECT_TRUE(same_bits(e, g.embedding));

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

// Two groups of 40 points, densely linked within and not between, start
// interleaved on a line; afterwards each group's spread is far smaller than
// the distance between the group centres.
void expect_two_clusters(const std::vector<float> &e, int per_group) {
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

graph two_cluster_graph(int per_group) {
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

TEST(SerialLayout, TwoClustersSeparate) {
    params p;
    p.n_epochs = 300;
    expect_two_clusters(run_serial(two_cluster_graph(40), p), 40);
}

// ---------------------------------------------------------------------------
// Barrier
// ---------------------------------------------------------------------------

TEST(LayoutBarrier, SinglePartyNeverBlocks) {
    mirnak_barrier_t b;
    mirnak_barrier_init(&b, 1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(mirnak_barrier_wait(&b), 0);
    EXPECT_EQ(b.generation, 5u);
    EXPECT_EQ(b.count, 0);
    mirnak_barrier_abort(&b);
    EXPECT_NE(mirnak_barrier_wait(&b), 0);
    mirnak_barrier_destroy(&b);
}

TEST(LayoutBarrier, NoThreadOvertakesACrossing) {
    // Both ways of waiting: sleeping at once, and polling first (forced even
    // with more parties than processors).
    for (int polls : {0, BARRIER_POLLS}) {
        const int n = 4, crossings = 1000;
        mirnak_barrier_t b;
        mirnak_barrier_init(&b, n);
        b.polls = polls;
        std::atomic<long> arrivals{0};
        std::atomic<int> violations{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < n; ++t)
            threads.emplace_back([&] {
                for (int c = 0; c < crossings; ++c) {
                    arrivals.fetch_add(1);
                    if (mirnak_barrier_wait(&b) != 0) violations.fetch_add(1);
                    // Everyone has arrived at crossing c; nobody can be past c + 1.
                    const long seen = arrivals.load();
                    if (seen < static_cast<long>(n) * (c + 1) ||
                        seen > static_cast<long>(n) * (c + 2))
                        violations.fetch_add(1);
                }
            });
        for (auto &th : threads) th.join();
        EXPECT_EQ(violations.load(), 0) << polls;
        EXPECT_EQ(b.generation, static_cast<unsigned>(crossings));
        EXPECT_EQ(b.count, 0);
        mirnak_barrier_destroy(&b);
    }
}

TEST(LayoutBarrier, GenerationWrapsAround) {
    mirnak_barrier_t b;
    mirnak_barrier_init(&b, 2);
    b.generation = UINT_MAX - 2;
    std::atomic<int> failures{0};
    auto cross = [&] {
        for (int c = 0; c < 6; ++c)
            if (mirnak_barrier_wait(&b) != 0) failures.fetch_add(1);
    };
    std::thread t1(cross), t2(cross);
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(b.generation, 3u);
    mirnak_barrier_destroy(&b);
}

TEST(LayoutBarrier, AbortReleasesWaitersAndFailsLaterWaits) {
    mirnak_barrier_t b;
    mirnak_barrier_init(&b, 3);
    std::atomic<int> results[2] = {{-1}, {-1}};
    std::thread t1([&] { results[0] = mirnak_barrier_wait(&b); });
    std::thread t2([&] { results[1] = mirnak_barrier_wait(&b); });
    for (;;) { // until both are counted
        pthread_mutex_lock(&b.mtx);
        const int count = b.count;
        pthread_mutex_unlock(&b.mtx);
        if (count == 2) break;
        std::this_thread::yield();
    }
    mirnak_barrier_abort(&b);
    t1.join();
    t2.join();
    EXPECT_NE(results[0].load(), 0);
    EXPECT_NE(results[1].load(), 0);
    EXPECT_NE(mirnak_barrier_wait(&b), 0);
    EXPECT_EQ(b.count, 2); // the late wait is not counted
    mirnak_barrier_destroy(&b);

    mirnak_barrier_init(&b, 2);
    mirnak_barrier_abort(&b);
    EXPECT_NE(mirnak_barrier_wait(&b), 0);
    EXPECT_EQ(b.count, 0);
    mirnak_barrier_destroy(&b);
}

TEST(LayoutBarrier, WaitersPollOnlyWhenEveryPartyHasAProcessor) {
    const long cpus = vornik::usable_cpus();
    ASSERT_GE(cpus, 1);
    mirnak_barrier_t b;
    mirnak_barrier_init(&b, static_cast<int>(cpus));
    EXPECT_EQ(b.polls, BARRIER_POLLS);
    mirnak_barrier_destroy(&b);
    mirnak_barrier_init(&b, static_cast<int>(cpus) + 1);
    EXPECT_EQ(b.polls, 0);
    mirnak_barrier_destroy(&b);
}

TEST(LayoutBarrier, WaitersThatStoppedPollingStillCrossAndAbort) {
    // The other party turns up long after a waiter has given up polling and
    // gone to sleep: the crossing, and later an abort, must still reach it.
    mirnak_barrier_t b;
    mirnak_barrier_init(&b, 2);
    std::atomic<int> result{-1};
    std::thread sleeper([&] { result = mirnak_barrier_wait(&b); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(mirnak_barrier_wait(&b), 0);
    sleeper.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(b.generation, 1u);

    std::thread aborted([&] { result = mirnak_barrier_wait(&b); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    mirnak_barrier_abort(&b);
    aborted.join();
    EXPECT_NE(result.load(), 0);
    EXPECT_EQ(b.generation, 1u);
    mirnak_barrier_destroy(&b);
}

// ---------------------------------------------------------------------------
// Partition, threads and substeps
// ---------------------------------------------------------------------------

std::vector<int64_t> edges_of(int64_t n_edges, int64_t S, int64_t s, int T, int t) {
    int64_t lo, hi;
    edge_share(n_edges, S, s, T, t, &lo, &hi);
    std::vector<int64_t> out;
    for (int64_t k = lo; k < hi; ++k) out.push_back(s + k * S);
    return out;
}

TEST(LayoutPartition, TwoWorkersThreeSubstepsTenEdges) {
    using v = std::vector<int64_t>;
    EXPECT_EQ(edges_of(10, 3, 0, 2, 0), (v{0, 3}));
    EXPECT_EQ(edges_of(10, 3, 0, 2, 1), (v{6, 9}));
    EXPECT_EQ(edges_of(10, 3, 1, 2, 0), (v{1}));
    EXPECT_EQ(edges_of(10, 3, 1, 2, 1), (v{4, 7}));
    EXPECT_EQ(edges_of(10, 3, 2, 2, 0), (v{2}));
    EXPECT_EQ(edges_of(10, 3, 2, 2, 1), (v{5, 8}));
    EXPECT_EQ(edges_of(3, 3, 1, 2, 0), (v{}));
    EXPECT_EQ(edges_of(3, 3, 1, 2, 1), (v{1}));
}

TEST(LayoutPartition, EveryEdgeOnceAndScheduleOffsetsMatchTheShares) {
    for (int64_t n_edges : {1, 2, 7, 10, 64, 1000, 1001})
        for (int64_t S : {int64_t{1}, int64_t{3}, int64_t{64}, n_edges})
            for (int T : {2, 3, 8}) {
                if (S > n_edges) continue;
                std::vector<int> seen(static_cast<size_t>(n_edges), 0);
                int64_t base = 0;
                for (int64_t s = 0; s < S; ++s) {
                    EXPECT_EQ(substep_offset(n_edges, S, s), base);
                    int64_t K = 0;
                    for (int t = 0; t < T; ++t) {
                        int64_t lo, hi;
                        K = edge_share(n_edges, S, s, T, t, &lo, &hi);
                        for (int64_t k = lo; k < hi; ++k) seen[s + k * S] += 1;
                    }
                    base += K;
                }
                EXPECT_EQ(base, n_edges);
                for (int c : seen) EXPECT_EQ(c, 1);
            }
}

TEST(LayoutPartition, ReductionSlicesTileTheEmbedding) {
    size_t lo, hi;
    reduction_slice(10, 3, 0, &lo, &hi);
    EXPECT_EQ(lo, 0u);
    EXPECT_EQ(hi, 3u);
    reduction_slice(10, 3, 1, &lo, &hi);
    EXPECT_EQ(lo, 3u);
    EXPECT_EQ(hi, 6u);
    reduction_slice(10, 3, 2, &lo, &hi);
    EXPECT_EQ(lo, 6u);
    EXPECT_EQ(hi, 10u);
}

TEST(LayoutPartition, ThreadCount) {
    using vornik::worker_count;
    EXPECT_EQ(worker_count(8, 3), 3);
    EXPECT_EQ(worker_count(1, 100), 1);
    EXPECT_EQ(worker_count(4, 100), 4);
    const int cap = vornik::thread_cap();
    const int64_t cpus = vornik::online_cpus();
    EXPECT_GE(cpus, 1);
    EXPECT_EQ(worker_count(0, 1000), static_cast<int>(cpus < cap ? cpus : cap));
    EXPECT_EQ(worker_count(-3, 1), 1);
    EXPECT_EQ(worker_count(cap + 5, INT64_MAX), cap);
    EXPECT_EQ(worker_count(4, 0), 1);
}

TEST(LayoutPartition, SubstepsByDefaultAndFromTheEnvironment) {
    {
        substeps_env env(nullptr);
        EXPECT_EQ(resolve_substeps(1000, 100), 10);
        EXPECT_EQ(resolve_substeps(1000, 10), 64);
        EXPECT_EQ(resolve_substeps(5, 1000), 1);
        EXPECT_EQ(resolve_substeps(3, 1), 3);
    }
    {
        substeps_env env("8");
        EXPECT_EQ(resolve_substeps(8, 1000), 8);
        EXPECT_EQ(resolve_substeps(5, 1000), 5);
    }
    {
        substeps_env env("500");
        EXPECT_EQ(resolve_substeps(300, 10), 300);
    }
    for (const char *fallback : {"0", "-4", "abc", ""}) {
        substeps_env env(fallback);
        EXPECT_EQ(resolve_substeps(1000, 100), 10) << fallback;
    }
    {
        substeps_env env(" +12xyz");
        EXPECT_EQ(resolve_substeps(1000, 100), 12);
    }
    {
        substeps_env env("99999999999999");
        EXPECT_EQ(resolve_substeps(INT64_C(5000000000), 10), INT_MAX);
    }
}

// ---------------------------------------------------------------------------
// Parallel optimiser
// ---------------------------------------------------------------------------

TEST(ParallelLayout, ThreadedRunIsReproducibleWhateverTheTiming) {
    const graph g = random_graph(200, 2, 6, 6);
    const params p;
    int rc = 1;
    const auto first = run_parallel(g, p, 3, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(same_bits(first, g.embedding));
    for (int rep = 0; rep < 8; ++rep) {
        EXPECT_TRUE(same_bits(run_parallel(g, p, 3, &rc), first)) << rep;
        EXPECT_EQ(rc, 0);
    }
    for (float v : first) EXPECT_TRUE(std::isfinite(v));
}

TEST(ParallelLayout, SerialFallbackEqualsADirectSerialCall) {
    const graph g = random_graph(40, 2, 4, 8);
    const params p;
    int rc = 0;
    EXPECT_TRUE(same_bits(run_parallel(g, p, 1, &rc), run_serial(g, p)));
    EXPECT_EQ(rc, -1);

    graph one = g; // a single edge never runs threads
    one.head.resize(1);
    one.tail.resize(1);
    one.eps.resize(1);
    rc = 0;
    EXPECT_TRUE(same_bits(run_parallel(one, p, 4, &rc), run_serial(one, p)));
    EXPECT_EQ(rc, -1);
}

TEST(ParallelLayout, InvalidArgumentsReturnMinusOneUntouched) {
    graph g = random_graph(10, 2, 2, 9);
    params p;
    int rc = 0;
    p.rate = 0.0f;
    EXPECT_TRUE(same_bits(run_parallel(g, p, 2, &rc), g.embedding));
    EXPECT_EQ(rc, -1);
    p = params();
    graph bad = g;
    bad.tail[3] = 10;
    rc = 0;
    EXPECT_TRUE(same_bits(run_parallel(bad, p, 2, &rc), g.embedding));
    EXPECT_EQ(rc, -1);
    bad = g;
    bad.head[0] = -1;
    rc = 0;
    EXPECT_TRUE(same_bits(run_parallel(bad, p, 1, &rc), g.embedding));
    EXPECT_EQ(rc, -1);
    std::vector<float> e = g.embedding;
    EXPECT_EQ(mirnak_umap_optimize_layout_euclidean_f32_parallel(
                  e.data(), 10, 2, g.head.data(), g.tail.data(), 0, g.eps.data(), 10, p.a, p.b,
                  p.gamma, p.alpha, p.rate, p.seed, 2),
              -1);
    EXPECT_TRUE(same_bits(e, g.embedding));
}

TEST(ParallelLayout, AnEdgeOwingIntMaxNegativeSamplesFinishes) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "2^31 draws take minutes under a sanitizer";
#endif
    // A rate of 1e10 makes the edge owe 2^31 - 1 samples (the saturated
    // count) in epoch 1. The chunked sampling loop stepped an int counter past
    // INT_MAX and read beyond its chunk. One vertex: every sample is the
    // head itself, moves nothing and costs no power.
    std::vector<float> e = {1.0f};
    const std::vector<int32_t> ends = {0, 0};
    const std::vector<float> eps = {1.0f, -1.0f};
    EXPECT_EQ(mirnak_umap_optimize_layout_euclidean_f32_parallel(
                  e.data(), 1, 1, ends.data(), ends.data(), 2, eps.data(), 2, 1.577f, 0.895f, 1.0f,
                  1.0f, 1e10f, 3, 2),
              0);
    EXPECT_EQ(e[0], 1.0f);
}

TEST(ParallelLayout, SingleEpochAddsOnlyZeroSums) {
    const graph g = random_graph(30, 2, 3, 10);
    params p;
    p.n_epochs = 1;
    int rc = 1;
    EXPECT_TRUE(same_bits(run_parallel(g, p, 2, &rc), g.embedding));
    EXPECT_EQ(rc, 0);
}

// The substep rule written out directly: substep s holds the edges i with
// i mod S == s, worker t the t-th of T consecutive blocks of them; every due
// edge's gradients come from the positions at the start of the substep and
// go into its worker's buffer in edge order; then each coordinate moves by
// the sum of the buffers, in worker order, times alpha.
std::vector<float> substep_reference(const graph &g, const params &p, int T, int64_t S) {
    std::vector<float> e = g.embedding;
    const int dim = g.dim;
    const int64_t m = static_cast<int64_t>(g.head.size());
    std::vector<double> eons(m), eonn(m), epn(m);
    for (int64_t i = 0; i < m; ++i) schedule_init(g.eps[i], p.rate, &eons[i], &eonn[i], &epn[i]);
    std::vector<std::vector<float>> grad(T, std::vector<float>(e.size()));
    for (int n = 0; n < p.n_epochs; ++n) {
        const float alpha = epoch_alpha(p.alpha, n, p.n_epochs);
        for (int64_t s = 0; s < S; ++s) {
            const int64_t K = s < m ? (m - s + S - 1) / S : 0;
            for (int t = 0; t < T; ++t) {
                std::fill(grad[t].begin(), grad[t].end(), 0.0f);
                for (int64_t k = t * K / T; k < (t + 1) * K / T; ++k) {
                    const int64_t i = s + k * S;
                    if (!edge_due(g.eps[i], eons[i], n)) continue;
                    const float *cur = &e[g.head[i] * dim], *oth = &e[g.tail[i] * dim];
                    float *gj = &grad[t][g.head[i] * dim], *gk = &grad[t][g.tail[i] * dim];
                    const float gc =
                        mirnak_umap_attractive_coeff(mirnak_umap_rdist(cur, oth, dim), p.a, p.b);
                    for (int d = 0; d < dim; ++d) {
                        const float gd = mirnak_umap_clip(gc * (cur[d] - oth[d]));
                        gj[d] += gd;
                        gk[d] -= gd;
                    }
                    const int n_neg = advance_schedule(g.eps[i], epn[i], n, &eons[i], &eonn[i]);
                    uint32_t rng[3];
                    if (n_neg > 0) mirnak_umap_seed_rng(p.seed, i, n, rng);
                    for (int q = 0; q < n_neg; ++q) {
                        const float *o2 = &e[mirnak_umap_tau_rand(rng) %
                                             static_cast<uint32_t>(g.n_samples) * dim];
                        const float dd2 = mirnak_umap_rdist(cur, o2, dim);
                        if (dd2 <= 0.0f) continue;
                        const float gcn = mirnak_umap_repulsive_coeff(dd2, p.a, p.b, p.gamma);
                        if (gcn > 0.0f)
                            for (int d = 0; d < dim; ++d)
                                gj[d] += mirnak_umap_clip(gcn * (cur[d] - o2[d]));
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

TEST(ParallelLayout, OneEdgePerSubstepFollowsTheFrozenSubstepRule) {
    // Every substep holds one edge, so the worker count cannot change any
    // sum: all thread counts agree with the written-out rule, bit for bit.
    // The rates give edges with a few, with exactly 8 and 16, and with many
    // negative samples per visit.
    graph g = random_graph(25, 2, 3, 12);
    g.eps[4] = 0.0f; // an inert edge inside the partition
    g.eps[7] = -2.0f;
    g.eps[10] = 1.0f;
    g.eps[11] = 2.0f;
    substeps_env env("100000");
    for (float rate : {5.0f, 8.0f, 23.0f}) {
        params p;
        p.rate = rate;
        const auto expected = substep_reference(g, p, 1, static_cast<int64_t>(g.head.size()));
        for (int T : {2, 3, 5}) {
            int rc = 1;
            EXPECT_TRUE(same_bits(run_parallel(g, p, T, &rc), expected)) << T << " " << rate;
            EXPECT_EQ(rc, 0);
        }
        int rc = 1;
        EXPECT_TRUE(same_bits(drop_third(run_parallel(lift_to_3d(g), p, 2, &rc)), expected))
            << rate;
    }
}

TEST(ParallelLayout, ManyEdgesPerSubstepFollowTheWorkerOrderReduction) {
    // Shares far longer than the worker's look-ahead, several substeps per
    // epoch and edges owing more samples than one draw chunk: the threaded
    // kernel must still add every edge in order into its worker's buffer,
    // start each substep from clear buffers and sum them in worker order.
    graph g = random_graph(120, 2, 7, 15);
    g.eps[20] = 0.0f;
    g.eps[33] = 1.0f;
    for (float rate : {5.0f, 23.0f}) {
        params p;
        p.rate = rate;
        p.n_epochs = 12;
        for (int S : {3, 5}) {
            substeps_env env(std::to_string(S).c_str());
            for (int T : {2, 3}) {
                int rc = 1;
                EXPECT_TRUE(same_bits(run_parallel(g, p, T, &rc), substep_reference(g, p, T, S)))
                    << "rate " << rate << " S " << S << " T " << T;
                EXPECT_EQ(rc, 0);
            }
        }
    }
}

TEST(ParallelLayout, GenericDimensionMatchesTheTwoDimensionalPath) {
    const graph g = random_graph(80, 2, 5, 13);
    const params p;
    EXPECT_TRUE(same_bits(drop_third(run_parallel(lift_to_3d(g), p, 2)), run_parallel(g, p, 2)));
}

TEST(ParallelLayout, SubstepCountChangesTheTrajectoryButEachIsReproducible) {
    const graph g = random_graph(100, 2, 5, 14);
    const params p;
    std::vector<float> s4, s4b, s7;
    {
        substeps_env env("4");
        s4 = run_parallel(g, p, 2);
        s4b = run_parallel(g, p, 2);
    }
    {
        substeps_env env("7");
        s7 = run_parallel(g, p, 2);
    }
    EXPECT_TRUE(same_bits(s4, s4b));
    EXPECT_FALSE(same_bits(s4, s7));
}

TEST(ParallelLayout, TwoClustersSeparate) {
    params p;
    p.n_epochs = 300;
    int rc = 1;
    expect_two_clusters(run_parallel(two_cluster_graph(40), p, 2, &rc), 40);
    EXPECT_EQ(rc, 0);
}

// ---------------------------------------------------------------------------
// Parts optimiser and control block
// ---------------------------------------------------------------------------

std::vector<float> run_parts(const graph &g, const params &p, int parts, int substeps, int threads,
                             int *rc = nullptr, mirnak_control *ctl = nullptr) {
    std::vector<float> e = g.embedding;
    const int r = mirnak_umap_optimize_layout_euclidean_f32_parts(
        e.data(), g.n_samples, g.dim, g.head.data(), g.tail.data(),
        static_cast<int64_t>(g.head.size()), g.eps.data(), p.n_epochs, p.a, p.b, p.gamma, p.alpha,
        p.rate, p.seed, parts, substeps, threads, ctl);
    if (rc) *rc = r;
    return e;
}

int serial_ctl(const graph &g, const params &p, std::vector<float> &e, mirnak_control *ctl) {
    return mirnak_umap_optimize_layout_euclidean_f32_ctl(
        e.data(), g.n_samples, g.dim, g.head.data(), g.tail.data(),
        static_cast<int64_t>(g.head.size()), g.eps.data(), p.n_epochs, p.a, p.b, p.gamma, p.alpha,
        p.rate, p.seed, ctl);
}

int parallel_ctl(const graph &g, const params &p, std::vector<float> &e, int threads,
                 mirnak_control *ctl) {
    return mirnak_umap_optimize_layout_euclidean_f32_parallel_ctl(
        e.data(), g.n_samples, g.dim, g.head.data(), g.tail.data(),
        static_cast<int64_t>(g.head.size()), g.eps.data(), p.n_epochs, p.a, p.b, p.gamma, p.alpha,
        p.rate, p.seed, threads, ctl);
}

int parts_ctl(const graph &g, const params &p, std::vector<float> &e, int parts, int threads,
              mirnak_control *ctl) {
    return mirnak_umap_optimize_layout_euclidean_f32_parts(
        e.data(), g.n_samples, g.dim, g.head.data(), g.tail.data(),
        static_cast<int64_t>(g.head.size()), g.eps.data(), p.n_epochs, p.a, p.b, p.gamma, p.alpha,
        p.rate, p.seed, parts, 0, threads, ctl);
}

TEST(PartsLayout, ThreadsChangeNothingAndPartsActAsBarrierWorkers) {
    // Several substeps, shares longer than the look-ahead, edges owing more
    // than one draw chunk, inert edges: every thread count gives the bits of
    // the barrier optimiser with one worker per part.
    graph g = random_graph(150, 2, 7, 21);
    g.eps[9] = 0.0f;
    g.eps[40] = 1.0f;
    params p;
    p.n_epochs = 15;
    p.rate = 11.0f;
    for (int S : {0, 3}) {
        for (int P : {2, 3, 5}) {
            std::vector<float> expected;
            {
                substeps_env env(S ? std::to_string(S).c_str() : nullptr);
                expected = run_parallel(g, p, P);
            }
            for (int T : {1, 2, 3, 8, 0}) {
                int rc = 1;
                EXPECT_TRUE(same_bits(run_parts(g, p, P, S, T, &rc), expected))
                    << "S " << S << " P " << P << " T " << T;
                EXPECT_EQ(rc, 0);
            }
        }
    }
    // The environment does not reach it: the count is an argument.
    substeps_env env("4"); // the default is 7
    EXPECT_FALSE(same_bits(run_parts(g, p, 2, 0, 2), run_parallel(g, p, 2)));
    EXPECT_TRUE(same_bits(run_parts(g, p, 2, 4, 2), run_parallel(g, p, 2)));
}

TEST(PartsLayout, OnePartIsTheSerialOptimiserAndOtherDimensionsAgree) {
    const graph g = random_graph(60, 2, 4, 22);
    const params p;
    const std::vector<float> serial = run_serial(g, p);
    for (int T : {1, 2}) {
        int rc = 1;
        EXPECT_TRUE(same_bits(run_parts(g, p, 1, 0, T, &rc), serial)) << T;
        EXPECT_EQ(rc, 0);
    }
    graph one = g; // more parts than edges: one part per edge
    one.head.resize(3);
    one.tail.resize(3);
    one.eps.resize(3);
    EXPECT_TRUE(same_bits(run_parts(one, p, 8, 0, 8), run_parallel(one, p, 3)));
    EXPECT_TRUE(
        same_bits(drop_third(run_parts(lift_to_3d(g), p, 3, 0, 2)), run_parts(g, p, 3, 0, 1)));
}

// The gradient buffer after `epochs` epochs of substep gradients (no
// reduction: the positions stay put) with the powers taken on one path.
std::vector<float> substep_gradients_on(const graph &g, const params &p, int epochs,
                                        vornik::powf_fast::powf_path path) {
    std::vector<float> e = g.embedding;
    const layout_problem c = {e.data(),
                              g.n_samples,
                              g.dim,
                              {g.head.data(), g.tail.data(), int64_t(g.head.size()), g.eps.data()},
                              {epochs, p.a, p.b, p.gamma, p.alpha, p.rate, p.seed}};
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

// g's edges in the schedule order of S substeps: substep s's edges s, s + S,
// s + 2S, ... one after the other, substep after substep.
graph in_schedule_order(const graph &g, int S) {
    graph out = g;
    size_t p = 0;
    for (int s = 0; s < S; ++s) {
        for (size_t i = static_cast<size_t>(s); i < g.head.size();
             i += static_cast<size_t>(S), ++p) {
            out.head[p] = g.head[i];
            out.tail[p] = g.tail[i];
            out.eps[p] = g.eps[i];
        }
    }
    return out;
}

TEST(PartsLayout, EdgesInScheduleOrderGiveTheListsBits) {
    graph g = random_graph(90, 3, 5, 25);
    g.eps[7] = 0.0f;
    params p;
    p.n_epochs = 12;
    const int64_t E = static_cast<int64_t>(g.head.size());
    for (int asked : {0, 4, 1000}) {
        const int S = mirnak_umap_layout_substeps(E, g.n_samples, asked);
        EXPECT_EQ(S, asked == 0 ? 5 : asked == 4 ? 4 : static_cast<int>(E)) << asked;
        const graph sorted = in_schedule_order(g, S);
        for (int P : {1, 2, 3}) {
            const std::vector<float> expected = run_parts(g, p, P, asked, 2);
            for (int T : {1, 2}) {
                std::vector<float> e = sorted.embedding;
                const int rc = mirnak_umap_optimize_layout_euclidean_f32_parts_in_schedule_order(
                    e.data(), g.n_samples, g.dim, sorted.head.data(), sorted.tail.data(), E,
                    sorted.eps.data(), p.n_epochs, p.a, p.b, p.gamma, p.alpha, p.rate, p.seed, P,
                    asked, T, nullptr);
                EXPECT_EQ(rc, 0);
                EXPECT_TRUE(same_bits(e, expected))
                    << "asked " << asked << " P " << P << " T " << T;
            }
        }
    }
    EXPECT_EQ(mirnak_umap_layout_substeps(0, 5, 0), -1);
    EXPECT_EQ(mirnak_umap_layout_substeps(5, 0, 0), -1);
    EXPECT_EQ(mirnak_umap_layout_substeps(5, 5, -1), -1);
}

TEST(PartsLayout, RefusesBadPartsAndSubstepsUntouched) {
    const graph g = random_graph(20, 2, 3, 23);
    params p;
    for (auto bad : {std::make_pair(0, 0), std::make_pair(-2, 0), std::make_pair(2, -1)}) {
        int rc = 0;
        EXPECT_TRUE(same_bits(run_parts(g, p, bad.first, bad.second, 2, &rc), g.embedding));
        EXPECT_EQ(rc, -1);
    }
    graph bad = g;
    bad.tail[2] = 20;
    int rc = 0;
    EXPECT_TRUE(same_bits(run_parts(bad, p, 2, 0, 2, &rc), g.embedding));
    EXPECT_EQ(rc, -1);
    p.rate = 0.0f;
    EXPECT_TRUE(same_bits(run_parts(g, p, 2, 0, 2, &rc), g.embedding));
    EXPECT_EQ(rc, -1);
    // 2^31 - 1 epochs of 2^16 substeps of 2^16 parts each are more units of
    // work than the schedule counts; refused before anything is allocated.
    graph wide;
    wide.n_samples = 2;
    wide.embedding = {0.0f, 1.0f, 2.0f, 3.0f};
    wide.head.assign(1 << 16, 0);
    wide.tail.assign(1 << 16, 1);
    wide.eps.assign(1 << 16, 1.0f);
    p = params();
    p.n_epochs = INT_MAX;
    EXPECT_TRUE(same_bits(run_parts(wide, p, 1 << 16, 1 << 16, 2, &rc), wide.embedding));
    EXPECT_EQ(rc, -1);
}

TEST(LayoutControl, UnstoppedRunsGiveTheKernelsBitsAndCountEveryEpoch) {
    const graph g = random_graph(120, 2, 5, 24);
    params p;
    p.n_epochs = 25;
    mirnak_control ctl = {-7, 0};
    std::vector<float> e = g.embedding;
    EXPECT_EQ(serial_ctl(g, p, e, &ctl), 0);
    EXPECT_TRUE(same_bits(e, run_serial(g, p)));
    EXPECT_EQ(ctl.progress, p.n_epochs);
    for (int T : {1, 2, 3}) {
        ctl = {-7, 0};
        e = g.embedding;
        int rc;
        const std::vector<float> expected = run_parallel(g, p, T, &rc);
        EXPECT_EQ(parallel_ctl(g, p, e, T, &ctl), rc);
        EXPECT_TRUE(same_bits(e, expected)) << T;
        EXPECT_EQ(ctl.progress, p.n_epochs) << T;
        ctl = {-7, 0};
        e = g.embedding;
        EXPECT_EQ(parts_ctl(g, p, e, T, 2, &ctl), 0);
        EXPECT_TRUE(same_bits(e, expected)) << T;
        EXPECT_EQ(ctl.progress, p.n_epochs) << T;
    }
}

// Runs kernel(&ctl) on a thread of its own and sets the stop flag once the
// progress count reaches `after`.
template <class Kernel> int stop_midway(Kernel kernel, mirnak_control *ctl, int64_t after) {
    std::atomic<bool> returned{false};
    int rc = 1;
    std::thread runner([&] {
        rc = kernel(ctl);
        returned = true;
    });
    while (!returned && __atomic_load_n(&ctl->progress, __ATOMIC_RELAXED) < after)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    __atomic_store_n(&ctl->stop, 1, __ATOMIC_RELAXED);
    runner.join();
    return rc;
}

TEST(LayoutControl, AStopBeforeTheCallTouchesNothing) {
    const graph g = random_graph(50, 2, 4, 25);
    const params p;
    for (int which = 0; which < 4; ++which) {
        mirnak_control ctl = {-7, 1};
        std::vector<float> e = g.embedding;
        const int rc = which == 0   ? serial_ctl(g, p, e, &ctl)
                       : which == 1 ? parallel_ctl(g, p, e, 2, &ctl)
                       : which == 2 ? parallel_ctl(g, p, e, 1, &ctl)
                                    : parts_ctl(g, p, e, 3, 2, &ctl);
        EXPECT_EQ(rc, MIRNAK_STOPPED) << which;
        EXPECT_TRUE(same_bits(e, g.embedding)) << which;
        EXPECT_EQ(ctl.progress, 0) << which;
        EXPECT_EQ(ctl.stop, 1) << which;
    }
}

TEST(LayoutControl, AStopFromAnotherThreadEndsEachOptimiserEarly) {
    // Long enough that an unstopped run would take minutes.
    const graph g = random_graph(400, 2, 8, 26);
    params p;
    p.n_epochs = 200000;
    for (int which = 0; which < 4; ++which) {
        mirnak_control ctl = {0, 0};
        std::vector<float> e = g.embedding;
        const int rc = stop_midway(
            [&](mirnak_control *c) {
                return which == 0   ? serial_ctl(g, p, e, c)
                       : which == 1 ? parallel_ctl(g, p, e, 2, c)
                       : which == 2 ? parts_ctl(g, p, e, 4, 2, c)
                                    : parts_ctl(g, p, e, 4, 1, c);
            },
            &ctl, 3);
        EXPECT_EQ(rc, MIRNAK_STOPPED) << which;
        EXPECT_GE(ctl.progress, 3) << which;
        EXPECT_LT(ctl.progress, p.n_epochs) << which;
        EXPECT_FALSE(same_bits(e, g.embedding)) << which;
        for (float v : e) ASSERT_TRUE(std::isfinite(v)) << which;
    }
}

} // namespace
