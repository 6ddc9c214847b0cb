// kNN kernel under failure injection: threads that cannot be created change
// nothing, and every failed allocation is either reported with untouched
// outputs and nothing leaked, or (the refinement's arrays) only skips work.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "fault_seam.h"
#include "kernel_support.h"
#include "knn_reference.h"
#include "vornik_kernels.h"

namespace {

const int N = 400, D = 9, K = 6, TREES = 3, ITERS = 4, LEAF = 10;
const uint64_t SEED = 77;

std::vector<float> data() {
    std::mt19937 gen(3);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> X(size_t(N) * D);
    for (int i = 0; i < N; ++i)
        for (int t = 0; t < D; ++t) X[size_t(i) * D + t] = nd(gen) + float(i % 4) * 5.0f;
    return X;
}

struct outputs {
    int rc = 0;
    std::vector<int32_t> idx = std::vector<int32_t>(size_t(N) * K, 555);
    std::vector<float> dist = std::vector<float>(size_t(N) * K, -9.0f);

    bool untouched() const {
        return idx == std::vector<int32_t>(size_t(N) * K, 555) &&
               dist == std::vector<float>(size_t(N) * K, -9.0f);
    }
    bool same(const std::vector<int32_t> &i, const std::vector<float> &d) const {
        return idx == i && std::memcmp(dist.data(), d.data(), d.size() * 4) == 0;
    }
};

outputs run(const std::vector<float> &X, int threads) {
    outputs o;
    o.rc = mirnak_knn_descent_f32(N, D, K, X.data(), TREES, ITERS, LEAF, SEED, o.idx.data(),
                                  o.dist.data(), threads);
    return o;
}

TEST(KnnFaults, ThreadsThatCannotStartChangeNothing) {
    const std::vector<float> X = data();
    const outputs clean = run(X, TREES);
    ASSERT_EQ(clean.rc, 0);
    const fault_plan plans[] = {
        {-1, 0, -1}, // every creation fails: all workers inline
        {-1, 0, 1},  // the first tree worker inline
        {-1, 1, 2},  // tree workers 1 and 2 inline
        {-1, 3, 2},  // merge workers inline
        {-1, 7, -1}, // the refinement's workers from some point on
    };
    for (const fault_plan &p : plans) {
        fault_scope scope(p);
        const outputs o = run(X, TREES);
        EXPECT_EQ(o.rc, 0);
        EXPECT_TRUE(o.same(clean.idx, clean.dist)) << "fail from " << p.thread_fail_at;
        EXPECT_GT(scope.threads_failed(), 0);
        EXPECT_EQ(scope.live_blocks(), 0);
    }
}

TEST(KnnFaults, FixedTreeWorkersKeepTheirResultOnFailedThreads) {
    const std::vector<float> X = data();
    const outputs clean = run(X, TREES);
    for (const fault_plan &p : {fault_plan{-1, 0, -1}, fault_plan{-1, 1, 1}}) {
        outputs o;
        fault_scope scope(p);
        o.rc = mirnak_knn_descent_f32_ctl(N, D, K, X.data(), TREES, ITERS, LEAF, SEED, o.idx.data(),
                                          o.dist.data(), 0, 2, nullptr);
        EXPECT_EQ(o.rc, 0);
        EXPECT_TRUE(o.same(clean.idx, clean.dist));
        EXPECT_EQ(scope.live_blocks(), 0);
    }
}

TEST(KnnFaults, AStoppedSearchLeavesNoThreadAndNoAllocation) {
    // Stopped in the forest (many trees) and in the refinement.
    const std::vector<float> X = data();
    // A thread started and joined first: a sanitizer's runtime starts a
    // helper thread of its own with the first thread of the process.
    std::thread([] {}).join();
    const int before = live_threads();
    for (int64_t after : {int64_t{3}, int64_t{400 + 1}}) {
        outputs o;
        mirnak_control ctl = {0, 0};
        std::atomic<bool> returned{false};
        long live;
        {
            fault_scope scope(fault_plan{});
            std::thread runner([&] {
                o.rc = mirnak_knn_descent_f32_ctl(N, D, K, X.data(), 400, 1 << 30, LEAF, SEED,
                                                  o.idx.data(), o.dist.data(), 0, 3, &ctl);
                returned = true;
            });
            while (!returned && __atomic_load_n(&ctl.progress, __ATOMIC_RELAXED) < after)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            __atomic_store_n(&ctl.stop, 1, __ATOMIC_RELAXED);
            runner.join();
            live = scope.live_blocks();
        }
        EXPECT_EQ(live, 0) << after;
        EXPECT_EQ(live_threads(), before) << after;
        if (o.rc == 0) continue; // the refinement may converge before the stop
        EXPECT_EQ(o.rc, MIRNAK_STOPPED) << after;
        if (after < 400) {
            EXPECT_TRUE(o.untouched());
        }
    }
}

TEST(KnnFaults, RequestsAboveTheCapStartNoMoreThreadsThanTheCap) {
    // 100 tree workers: without the cap, 100 tree threads and 100 merge and
    // refinement threads per round.
    const std::vector<float> X = data();
    const int trees = 100;
    outputs o;
    long created;
    {
        fault_scope scope(fault_plan{});
        o.rc = mirnak_knn_descent_f32(N, D, K, X.data(), trees, ITERS, LEAF, SEED, o.idx.data(),
                                      o.dist.data(), trees);
        created = scope.thread_calls();
        EXPECT_EQ(scope.live_blocks(), 0);
    }
    ASSERT_EQ(o.rc, 0);
    // Tree threads, merge threads, and the refinement's in each round.
    EXPECT_LE(created, long(vornik::thread_cap()) * (2 + ITERS));
    const knnref::result want = knnref::knn(X, N, D, K, trees, ITERS, LEAF, SEED, trees);
    EXPECT_TRUE(o.same(want.idx, want.dist));
}

// Fails every allocation of a call in turn. The first is the refinement's
// visiting order and the last three are its thread handles, worker records
// and repeat marks: losing the order or the marks only costs time, losing
// handles or records skips the refinement. Any other failure returns -2 with
// the outputs as they were and nothing left allocated.
void every_allocation_fails_in_turn(int threads, long thread_fail_count) {
    const std::vector<float> X = data();
    const int teff = threads < TREES ? threads : TREES;
    const knnref::result merged = knnref::knn(X, N, D, K, TREES, ITERS, LEAF, SEED, teff, false);
    long calls = 0;
    outputs full;
    {
        fault_scope scope({-1, 0, thread_fail_count});
        full = run(X, threads);
        calls = scope.malloc_calls();
        EXPECT_EQ(scope.live_blocks(), 0);
    }
    ASSERT_EQ(full.rc, 0);
    ASSERT_GT(calls, 10);
    ASSERT_FALSE(full.same(merged.idx, merged.dist)); // the refinement must show
    for (long i = 0; i < calls; ++i) {
        fault_scope scope({i, 0, thread_fail_count});
        const outputs o = run(X, threads);
        EXPECT_EQ(scope.live_blocks(), 0) << "failing call " << i;
        if (i == 0 || i == calls - 1) {
            EXPECT_EQ(o.rc, 0) << "failing call " << i;
            EXPECT_TRUE(o.same(full.idx, full.dist)) << "failing call " << i;
        } else if (i >= calls - 3) {
            EXPECT_EQ(o.rc, 0) << "failing call " << i;
            EXPECT_TRUE(o.same(merged.idx, merged.dist)) << "failing call " << i;
        } else {
            EXPECT_EQ(o.rc, -2) << "failing call " << i;
            EXPECT_TRUE(o.untouched()) << "failing call " << i;
        }
    }
}

TEST(KnnFaults, EveryAllocationSingleThreaded) {
    every_allocation_fails_in_turn(1, 0);
}

TEST(KnnFaults, EveryAllocationWithWorkersInline) {
    every_allocation_fails_in_turn(TREES, -1);
}

TEST(KnnFaults, EveryAllocationWithWorkerThreads) {
    every_allocation_fails_in_turn(TREES, 0);
}

TEST(KnnFaults, EveryAllocationOfTheBitSearchFailsCleanly) {
    // The other measures run the same driver: each failed allocation either
    // only costs work (status 0) or returns -2 with the outputs untouched,
    // and nothing stays allocated.
    std::vector<uint64_t> W(size_t(N) * 3);
    std::mt19937_64 gen(5);
    for (auto &v : W) v = gen() & gen();
    const mirnak_bit_rows rows = {W.data(), N, 3};
    const mirnak_metric jaccard = {MIRNAK_JACCARD, 0.0f};
    const mirnak_knn_run run_of = {K, TREES, ITERS, LEAF, SEED, TREES};
    long calls;
    {
        fault_scope scope(fault_plan{});
        outputs o;
        o.rc = mirnak_knn_descent_bits_u64(&rows, &jaccard, &run_of, o.idx.data(), o.dist.data(), 2,
                                           nullptr);
        ASSERT_EQ(o.rc, 0);
        calls = scope.malloc_calls();
    }
    for (long i = 0; i < calls; ++i) {
        fault_scope scope({i, 0, 0});
        outputs o;
        o.rc = mirnak_knn_descent_bits_u64(&rows, &jaccard, &run_of, o.idx.data(), o.dist.data(), 2,
                                           nullptr);
        EXPECT_EQ(scope.live_blocks(), 0) << "failing call " << i;
        if (o.rc == MIRNAK_OUT_OF_MEMORY) {
            EXPECT_TRUE(o.untouched()) << "failing call " << i;
        } else {
            EXPECT_EQ(o.rc, 0) << "failing call " << i;
            for (int32_t id : o.idx) EXPECT_TRUE(id >= -1 && id < N) << "failing call " << i;
        }
    }
}

} // namespace
