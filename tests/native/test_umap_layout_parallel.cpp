// The barrier optimiser: its barrier, how it cuts an epoch (shares of a
// substep, schedule offsets, reduction slices, thread counts and substeps per
// epoch), and its result against the substep rule written out.
#include <atomic>
#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "kernel_support.h"
#include "layout_fixture.h"
#include "layout_reference.h"
#include "substep_reference.h"
#include "umap_layout_barrier.h"
#include "umap_layout_internal.h"
#include "umap_layout_partition.h"

namespace {

using namespace layout_test;
using namespace vornik::layout;

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

} // namespace
