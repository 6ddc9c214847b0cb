// The new-point kernels under injected failures: every scratch allocation
// failing gives -2 with the outputs untouched and nothing leaked; threads
// that cannot be created change nothing; requests above the cap start the
// capped count.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "fault_seam.h"
#include "kernel_support.h"
#include "vornik_kernels.h"

namespace {

const int N = 300, D = 6, WIDTH = 6, PIVOTS = 8, M = 40, K = 4;

struct query_problem {
    std::vector<float> X, Q;
    std::vector<int32_t> graph, pivots;

    query_problem() {
        std::mt19937 gen(5);
        std::normal_distribution<float> nd(0.0f, 1.0f);
        for (int i = 0; i < N * D; ++i) X.push_back(nd(gen));
        for (int i = 0; i < M * D; ++i) Q.push_back(nd(gen));
        for (int i = 0; i < N; ++i)
            for (int j = 0; j < WIDTH; ++j) graph.push_back((i + 1 + 17 * j) % N);
        for (int p = 0; p < PIVOTS; ++p) pivots.push_back(37 * p);
    }

    int run(std::vector<int32_t> &idx, std::vector<float> &dist, int threads) const {
        idx.assign(M * K, 555);
        dist.assign(M * K, -9.0f);
        return mirnak_knn_query_f32(N, D, X.data(), WIDTH, graph.data(), PIVOTS, pivots.data(), M,
                                    Q.data(), K, 10, 2, idx.data(), dist.data(), threads);
    }
};

struct layout_problem {
    std::vector<float> start, reference, eps;
    std::vector<int32_t> tail;
    std::vector<uint64_t> keys;

    layout_problem() {
        std::mt19937 gen(6);
        std::uniform_real_distribution<float> pos(-3.0f, 3.0f);
        for (int i = 0; i < N * 2; ++i) reference.push_back(pos(gen));
        for (int i = 0; i < M; ++i) {
            start.push_back(pos(gen));
            start.push_back(pos(gen));
            keys.push_back(gen());
            for (int j = 0; j < K; ++j) {
                tail.push_back((i * 7 + j * 31) % N);
                eps.push_back(1.0f + j);
            }
        }
    }

    int run(std::vector<float> &e, int threads) const {
        e = start;
        return mirnak_umap_optimize_new_points_f32(e.data(), M, 2, reference.data(), N, tail.data(),
                                                   eps.data(), K, keys.data(), 15, 1.577f, 0.895f,
                                                   1.0f, 1.0f, 5.0f, 3, threads);
    }
};

TEST(NewPointFaults, EachQueryAllocationFailingReportsAndFreesEverything) {
    const query_problem p;
    std::vector<int32_t> idx;
    std::vector<float> dist;
    long total;
    {
        fault_scope scope(fault_plan{});
        ASSERT_EQ(p.run(idx, dist, 3), 0);
        total = scope.malloc_calls();
        EXPECT_EQ(scope.live_blocks(), 0);
    }
    EXPECT_EQ(total, 7); // records, handles, marks, the three columns of the lists, the split
    for (long which = 0; which < total; ++which) {
        fault_plan plan;
        plan.malloc_fail_at = which;
        fault_scope scope(plan);
        EXPECT_EQ(p.run(idx, dist, 3), -2) << which;
        EXPECT_EQ(scope.live_blocks(), 0) << which;
        EXPECT_EQ(scope.thread_calls(), 0) << which;
        EXPECT_EQ(idx, std::vector<int32_t>(M * K, 555));
        EXPECT_EQ(dist, std::vector<float>(M * K, -9.0f));
    }
}

TEST(NewPointFaults, EachLayoutAllocationFailingReportsAndLeavesTheEmbedding) {
    const layout_problem p;
    std::vector<float> e;
    for (long which = 0; which < 3; ++which) {
        fault_plan plan;
        plan.malloc_fail_at = which;
        fault_scope scope(plan);
        EXPECT_EQ(p.run(e, 2), -2) << which;
        EXPECT_EQ(scope.malloc_calls(), 3) << which;
        EXPECT_EQ(scope.live_blocks(), 0) << which;
        EXPECT_EQ(std::memcmp(e.data(), p.start.data(), e.size() * 4), 0) << which;
    }
}

TEST(NewPointFaults, ThreadsThatCannotStartChangeNothing) {
    const query_problem q;
    const layout_problem l;
    std::vector<int32_t> want_idx, idx;
    std::vector<float> want_dist, dist, want_e, e;
    ASSERT_EQ(q.run(want_idx, want_dist, 1), 0);
    ASSERT_EQ(l.run(want_e, 1), 0);
    for (const fault_plan &plan : {fault_plan{-1, 0, -1}, fault_plan{-1, 1, 1}}) {
        fault_scope scope(plan);
        EXPECT_EQ(q.run(idx, dist, 4), 0);
        EXPECT_EQ(l.run(e, 4), 0);
        EXPECT_GT(scope.threads_failed(), 0);
        EXPECT_EQ(scope.live_blocks(), 0);
        EXPECT_TRUE(idx == want_idx && std::memcmp(dist.data(), want_dist.data(), M * K * 4) == 0);
        EXPECT_EQ(std::memcmp(e.data(), want_e.data(), e.size() * 4), 0);
    }
}

TEST(NewPointFaults, RequestsAboveTheCapStartAtMostTheCap) {
    const query_problem q;
    const layout_problem l;
    std::vector<int32_t> idx;
    std::vector<float> dist, e;
    fault_scope scope(fault_plan{});
    EXPECT_EQ(q.run(idx, dist, 100000), 0);
    EXPECT_EQ(l.run(e, 100000), 0);
    const long cap = vornik::thread_cap();
    const long most = (cap < M ? cap : M) - 1; // the calling thread takes the last block
    EXPECT_EQ(scope.thread_calls(), 2 * most);
}

} // namespace
