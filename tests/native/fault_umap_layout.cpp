// Layout kernels under injected failures: scratch allocations and thread
// creation fail, the parallel optimiser falls back to the serial one, nothing
// leaks, every started thread is joined; a stopped kernel leaves nothing
// behind either.
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
#include "vornik_kernels.h"

namespace {

struct problem {
    int n_samples = 120;
    int dim = 2;
    std::vector<float> embedding;
    std::vector<int32_t> head, tail;
    std::vector<float> eps;

    problem() {
        std::mt19937 gen(3);
        std::uniform_real_distribution<float> pos(-3.0f, 3.0f), w(0.1f, 1.0f);
        for (int i = 0; i < n_samples * dim; ++i) embedding.push_back(pos(gen));
        for (int v = 0; v < n_samples; ++v)
            for (int k = 1; k <= 4; ++k) {
                head.push_back(v);
                tail.push_back((v + 13 * k) % n_samples);
                eps.push_back(1.0f / w(gen));
            }
    }
    int64_t n_edges() const { return static_cast<int64_t>(head.size()); }
};

const int EPOCHS = 20;

void serial(const problem &p, std::vector<float> &e) {
    mirnak_umap_optimize_layout_euclidean_f32(e.data(), p.n_samples, p.dim, p.head.data(),
                                              p.tail.data(), p.n_edges(), p.eps.data(), EPOCHS,
                                              1.577f, 0.895f, 1.0f, 1.0f, 5.0f, 99);
}

int parallel(const problem &p, std::vector<float> &e, int n_threads) {
    return mirnak_umap_optimize_layout_euclidean_f32_parallel(
        e.data(), p.n_samples, p.dim, p.head.data(), p.tail.data(), p.n_edges(), p.eps.data(),
        EPOCHS, 1.577f, 0.895f, 1.0f, 1.0f, 5.0f, 99, n_threads);
}

bool same_bits(const std::vector<float> &x, const std::vector<float> &y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

std::vector<float> direct_serial(const problem &p) {
    std::vector<float> e = p.embedding;
    serial(p, e);
    return e;
}

TEST(LayoutFaults, FullParallelRunFreesEverything) {
    const problem p;
    std::vector<float> e = p.embedding;
    int rc;
    long mallocs, live, created;
    {
        fault_scope scope(fault_plan{});
        rc = parallel(p, e, 3);
        mallocs = scope.malloc_calls();
        live = scope.live_blocks();
        created = scope.thread_calls();
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(mallocs, 8); // handles, argument blocks, gradient area, two schedules, edge table
    EXPECT_EQ(live, 0);
    EXPECT_EQ(created, 3);
    EXPECT_FALSE(same_bits(e, p.embedding));
}

TEST(LayoutFaults, RequestsAboveTheCapStartTheCappedCountAndGetItsResult) {
    const problem p;
    const int cap = vornik::thread_cap();
    std::vector<float> capped = p.embedding;
    ASSERT_EQ(parallel(p, capped, cap), 0);
    std::vector<float> e = p.embedding;
    int rc;
    long created;
    {
        fault_scope scope(fault_plan{});
        rc = parallel(p, e, 10000); // 480 edges: 480 workers without the cap
        created = scope.thread_calls();
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(created, cap);
    EXPECT_TRUE(same_bits(e, capped));
}

TEST(LayoutFaults, ThirdOfFourThreadsFailsSoTheSerialOptimiserRuns) {
    const problem p;
    const std::vector<float> expected = direct_serial(p);
    std::vector<float> e = p.embedding;
    fault_plan plan;
    plan.thread_fail_at = 2;
    plan.thread_fail_count = 1;
    int rc;
    long created, failed, live;
    {
        fault_scope scope(plan);
        rc = parallel(p, e, 4); // returns only if the two started workers left
        created = scope.thread_calls();
        failed = scope.threads_failed();
        live = scope.live_blocks();
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(created, 3); // creation stops at the failure
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(live, 0);
    EXPECT_TRUE(same_bits(e, expected));
}

TEST(LayoutFaults, FirstThreadFailsSoTheSerialOptimiserRuns) {
    const problem p;
    std::vector<float> e = p.embedding;
    fault_plan plan;
    plan.thread_fail_at = 0;
    plan.thread_fail_count = -1;
    int rc;
    {
        fault_scope scope(plan);
        rc = parallel(p, e, 2);
        EXPECT_EQ(scope.live_blocks(), 0);
    }
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(same_bits(e, direct_serial(p)));
}

TEST(LayoutFaults, EachScratchAllocationFailingFallsBackToSerial) {
    const problem p;
    const std::vector<float> expected = direct_serial(p);
    for (long which = 0; which < 8; ++which) {
        std::vector<float> e = p.embedding;
        fault_plan plan;
        plan.malloc_fail_at = which;
        int rc;
        long mallocs, live, created;
        {
            fault_scope scope(plan);
            rc = parallel(p, e, 2);
            mallocs = scope.malloc_calls();
            live = scope.live_blocks();
            created = scope.thread_calls();
        }
        EXPECT_EQ(rc, -1) << which;
        EXPECT_EQ(mallocs, 8 + 3) << which; // all eight tried, then the serial optimiser's three
        EXPECT_EQ(live, 0) << which;
        EXPECT_EQ(created, 0) << which;
        EXPECT_TRUE(same_bits(e, expected)) << which;
    }
}

int parts(const problem &p, std::vector<float> &e, int n_parts, int n_threads,
          int n_epochs = EPOCHS, mirnak_control *ctl = nullptr, bool in_schedule_order = false) {
    const auto kernel = in_schedule_order
                            ? mirnak_umap_optimize_layout_euclidean_f32_parts_in_schedule_order
                            : mirnak_umap_optimize_layout_euclidean_f32_parts;
    return kernel(e.data(), p.n_samples, p.dim, p.head.data(), p.tail.data(), p.n_edges(),
                  p.eps.data(), n_epochs, 1.577f, 0.895f, 1.0f, 1.0f, 5.0f, 99, n_parts, 0,
                  n_threads, ctl);
}

TEST(LayoutFaults, PartsLayoutRunsOnWhateverThreadsItGets) {
    const problem p;
    std::vector<float> expected = p.embedding;
    ASSERT_EQ(parts(p, expected, 4, 4), 0);
    const fault_plan plans[] = {{-1, 0, -1}, {-1, 0, 1}, {-1, 1, 1}, {-1, 2, -1}};
    for (const fault_plan &plan : plans) {
        std::vector<float> e = p.embedding;
        int rc;
        long live;
        {
            fault_scope scope(plan);
            rc = parts(p, e, 4, 4);
            live = scope.live_blocks();
            // Three threads besides the caller, or up to the first that fails.
            const long tried = plan.thread_fail_at < 3 ? plan.thread_fail_at + 1 : 3;
            EXPECT_EQ(scope.thread_calls(), tried) << plan.thread_fail_at;
        }
        EXPECT_EQ(rc, 0) << plan.thread_fail_at;
        EXPECT_EQ(live, 0) << plan.thread_fail_at;
        EXPECT_TRUE(same_bits(e, expected)) << plan.thread_fail_at;
    }
}

TEST(LayoutFaults, PartsLayoutWithoutMemoryLeavesTheEmbeddingUntouched) {
    const problem p;
    // Handles, buffers, two schedules, and the edge table unless the edges
    // come in schedule order.
    for (const bool in_order : {false, true}) {
        const long allocations = in_order ? 4 : 7;
        for (long which = 0; which < allocations; ++which) {
            std::vector<float> e = p.embedding;
            fault_plan plan;
            plan.malloc_fail_at = which;
            int rc;
            long mallocs, live, created;
            {
                fault_scope scope(plan);
                rc = parts(p, e, 3, 2, EPOCHS, nullptr, in_order);
                mallocs = scope.malloc_calls();
                live = scope.live_blocks();
                created = scope.thread_calls();
            }
            EXPECT_EQ(rc, -2) << which;
            EXPECT_EQ(mallocs, allocations) << which;
            EXPECT_EQ(live, 0) << which;
            EXPECT_EQ(created, 0) << which;
            EXPECT_TRUE(same_bits(e, p.embedding)) << which;
        }
    }
    std::vector<float> e = p.embedding; // one part: the serial optimiser's arrays
    fault_plan plan;
    plan.malloc_fail_at = 2;
    fault_scope scope(plan);
    EXPECT_EQ(parts(p, e, 1, 2), -2);
    EXPECT_EQ(scope.live_blocks(), 0);
    EXPECT_TRUE(same_bits(e, p.embedding));
}

TEST(LayoutFaults, AStoppedOptimiserLeavesNoThreadAndNoAllocation) {
    const problem p;
    // A thread started and joined first: a sanitizer's runtime starts a
    // helper thread of its own with the first thread of the process.
    std::thread([] {}).join();
    const int before = live_threads();
    ASSERT_GT(before, 0);
    for (int which = 0; which < 4; ++which) {
        std::vector<float> e = p.embedding;
        mirnak_control ctl = {0, 0};
        std::atomic<int> rc{1};
        long live;
        {
            fault_scope scope(fault_plan{});
            std::thread runner([&] {
                const int epochs = 1 << 28; // hours, unless stopped
                rc = which == 0   ? mirnak_umap_optimize_layout_euclidean_f32_ctl(
                                        e.data(), p.n_samples, p.dim, p.head.data(), p.tail.data(),
                                        p.n_edges(), p.eps.data(), epochs, 1.577f, 0.895f, 1.0f, 1.0f,
                                        5.0f, 99, &ctl)
                     : which == 1 ? mirnak_umap_optimize_layout_euclidean_f32_parallel_ctl(
                                        e.data(), p.n_samples, p.dim, p.head.data(), p.tail.data(),
                                        p.n_edges(), p.eps.data(), epochs, 1.577f, 0.895f, 1.0f,
                                        1.0f, 5.0f, 99, 3, &ctl)
                                  : parts(p, e, 3, which, epochs, &ctl);
            });
            while (__atomic_load_n(&ctl.progress, __ATOMIC_RELAXED) < 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            __atomic_store_n(&ctl.stop, 1, __ATOMIC_RELAXED);
            runner.join();
            live = scope.live_blocks();
        }
        EXPECT_EQ(rc.load(), MIRNAK_STOPPED) << which;
        EXPECT_EQ(live, 0) << which;
        EXPECT_EQ(live_threads(), before) << which;
    }
}

TEST(LayoutFaults, SerialAllocationFailureLeavesTheEmbeddingUntouched) {
    const problem p;
    for (long which = 0; which < 3; ++which) {
        std::vector<float> e = p.embedding;
        fault_plan plan;
        plan.malloc_fail_at = which;
        long mallocs, live;
        {
            fault_scope scope(plan);
            serial(p, e);
            mallocs = scope.malloc_calls();
            live = scope.live_blocks();
        }
        EXPECT_EQ(mallocs, 3) << which; // all three before any check
        EXPECT_EQ(live, 0) << which;
        EXPECT_TRUE(same_bits(e, p.embedding)) << which;
    }
    // Through the single-thread path of the parallel entry: -1 all the same.
    std::vector<float> e = p.embedding;
    fault_plan plan;
    plan.malloc_fail_at = 1;
    int rc;
    {
        fault_scope scope(plan);
        rc = parallel(p, e, 1);
        EXPECT_EQ(scope.live_blocks(), 0);
    }
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(same_bits(e, p.embedding));
}

} // namespace
