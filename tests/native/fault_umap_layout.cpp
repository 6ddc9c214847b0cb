// Layout kernels under injected failures: scratch allocations and thread
// creation fail, the parallel optimiser falls back to the serial one, nothing
// leaks, every started thread is joined; a stopped kernel leaves nothing
// behind either.
#include <atomic>
#include <chrono>
#include <thread>

#include "fault_seam.h"
#include "kernel_support.h"
#include "layout_fixture.h"

namespace {

using namespace layout_test;

// 120 points with 4 edges each, a run of 20 epochs.
graph problem_graph() {
    return random_graph(120, 2, 4, 3);
}

params problem_run() {
    params p;
    p.n_epochs = 20;
    p.seed = 99;
    return p;
}

std::vector<float> direct_serial(const graph &g) {
    return run_serial(g, problem_run());
}

int parallel(const graph &g, std::vector<float> &e, int n_threads) {
    return call_layout(mirnak_umap_optimize_layout_euclidean_f32_parallel, g, problem_run(), e,
                       n_threads);
}

// What one call did under a fault plan: its status, the mallocs it made, the
// blocks it left allocated, the threads it tried to create and those that
// failed.
struct counts {
    int rc;
    long mallocs, live, created, failed;
};

template <class Call> counts under(const fault_plan &plan, Call call) {
    fault_scope scope(plan);
    counts c;
    c.rc = call();
    c.mallocs = scope.malloc_calls();
    c.live = scope.live_blocks();
    c.created = scope.thread_calls();
    c.failed = scope.threads_failed();
    return c;
}

TEST(LayoutFaults, FullParallelRunFreesEverything) {
    const graph p = problem_graph();
    std::vector<float> e = p.embedding;
    const counts c = under(fault_plan{}, [&] { return parallel(p, e, 3); });
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.mallocs, 8); // handles, argument blocks, gradient area, two schedules, edge table
    EXPECT_EQ(c.live, 0);
    EXPECT_EQ(c.created, 3);
    EXPECT_FALSE(same_bits(e, p.embedding));
}

TEST(LayoutFaults, RequestsAboveTheCapStartTheCappedCountAndGetItsResult) {
    const graph p = problem_graph();
    const int cap = vornik::thread_cap();
    std::vector<float> capped = p.embedding;
    ASSERT_EQ(parallel(p, capped, cap), 0);
    std::vector<float> e = p.embedding;
    // 480 edges: 480 workers without the cap.
    const counts c = under(fault_plan{}, [&] { return parallel(p, e, 10000); });
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.created, cap);
    EXPECT_TRUE(same_bits(e, capped));
}

TEST(LayoutFaults, ThirdOfFourThreadsFailsSoTheSerialOptimiserRuns) {
    const graph p = problem_graph();
    const std::vector<float> expected = direct_serial(p);
    std::vector<float> e = p.embedding;
    fault_plan plan;
    plan.thread_fail_at = 2;
    plan.thread_fail_count = 1;
    // Returns only if the two started workers left.
    const counts c = under(plan, [&] { return parallel(p, e, 4); });
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.created, 3); // creation stops at the failure
    EXPECT_EQ(c.failed, 1);
    EXPECT_EQ(c.live, 0);
    EXPECT_TRUE(same_bits(e, expected));
}

TEST(LayoutFaults, FirstThreadFailsSoTheSerialOptimiserRuns) {
    const graph p = problem_graph();
    std::vector<float> e = p.embedding;
    fault_plan plan;
    plan.thread_fail_at = 0;
    plan.thread_fail_count = -1;
    const counts c = under(plan, [&] { return parallel(p, e, 2); });
    EXPECT_EQ(c.live, 0);
    EXPECT_EQ(c.rc, -1);
    EXPECT_TRUE(same_bits(e, direct_serial(p)));
}

TEST(LayoutFaults, EachScratchAllocationFailingFallsBackToSerial) {
    const graph p = problem_graph();
    const std::vector<float> expected = direct_serial(p);
    for (long which = 0; which < 8; ++which) {
        std::vector<float> e = p.embedding;
        fault_plan plan;
        plan.malloc_fail_at = which;
        const counts c = under(plan, [&] { return parallel(p, e, 2); });
        EXPECT_EQ(c.rc, -1) << which;
        EXPECT_EQ(c.mallocs, 8 + 3) << which; // all eight tried, then the serial optimiser's three
        EXPECT_EQ(c.live, 0) << which;
        EXPECT_EQ(c.created, 0) << which;
        EXPECT_TRUE(same_bits(e, expected)) << which;
    }
}

int parts(const graph &g, std::vector<float> &e, int n_parts, int n_threads,
          const params &run = problem_run(), mirnak_control *ctl = nullptr,
          bool in_schedule_order = false) {
    const auto kernel = in_schedule_order
                            ? mirnak_umap_optimize_layout_euclidean_f32_parts_in_schedule_order
                            : mirnak_umap_optimize_layout_euclidean_f32_parts;
    return call_layout(kernel, g, run, e, n_parts, 0, n_threads, ctl);
}

TEST(LayoutFaults, PartsLayoutRunsOnWhateverThreadsItGets) {
    const graph p = problem_graph();
    std::vector<float> expected = p.embedding;
    ASSERT_EQ(parts(p, expected, 4, 4), 0);
    const fault_plan plans[] = {{-1, 0, -1}, {-1, 0, 1}, {-1, 1, 1}, {-1, 2, -1}};
    for (const fault_plan &plan : plans) {
        std::vector<float> e = p.embedding;
        const counts c = under(plan, [&] { return parts(p, e, 4, 4); });
        // Three threads besides the caller, or up to the first that fails.
        const long tried = plan.thread_fail_at < 3 ? plan.thread_fail_at + 1 : 3;
        EXPECT_EQ(c.created, tried) << plan.thread_fail_at;
        EXPECT_EQ(c.rc, 0) << plan.thread_fail_at;
        EXPECT_EQ(c.live, 0) << plan.thread_fail_at;
        EXPECT_TRUE(same_bits(e, expected)) << plan.thread_fail_at;
    }
}

TEST(LayoutFaults, PartsLayoutWithoutMemoryLeavesTheEmbeddingUntouched) {
    const graph p = problem_graph();
    // Handles, two schedules, and the edge table unless the edges come in
    // schedule order; three parts add their records and the threads' sums,
    // two their whole buffers.
    for (const int P : {3, 2}) {
        for (const bool in_order : {false, true}) {
            const long allocations = (in_order ? 4 : 7) + (P == 3 ? 11 : 1);
            for (long which = 0; which < allocations; ++which) {
                std::vector<float> e = p.embedding;
                fault_plan plan;
                plan.malloc_fail_at = which;
                const counts c = under(
                    plan, [&] { return parts(p, e, P, 2, problem_run(), nullptr, in_order); });
                EXPECT_EQ(c.rc, -2) << P << " " << which;
                EXPECT_EQ(c.mallocs, allocations) << P << " " << which;
                EXPECT_EQ(c.live, 0) << P << " " << which;
                EXPECT_EQ(c.created, 0) << P << " " << which;
                EXPECT_TRUE(same_bits(e, p.embedding)) << P << " " << which;
            }
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
    const graph p = problem_graph();
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
                params run = problem_run();
                run.n_epochs = 1 << 28; // hours, unless stopped
                rc = which == 0 ? call_layout(mirnak_umap_optimize_layout_euclidean_f32_ctl, p, run,
                                              e, &ctl)
                     : which == 1
                         ? call_layout(mirnak_umap_optimize_layout_euclidean_f32_parallel_ctl, p,
                                       run, e, 3, &ctl)
                         : parts(p, e, 3, which, run, &ctl);
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
    const graph p = problem_graph();
    for (long which = 0; which < 3; ++which) {
        std::vector<float> e = p.embedding;
        fault_plan plan;
        plan.malloc_fail_at = which;
        const counts c = under(plan, [&] {
            call_layout(mirnak_umap_optimize_layout_euclidean_f32, p, problem_run(), e);
            return 0;
        });
        EXPECT_EQ(c.mallocs, 3) << which; // all three before any check
        EXPECT_EQ(c.live, 0) << which;
        EXPECT_TRUE(same_bits(e, p.embedding)) << which;
    }
    // Through the single-thread path of the parallel entry: -1 all the same.
    std::vector<float> e = p.embedding;
    fault_plan plan;
    plan.malloc_fail_at = 1;
    const counts c = under(plan, [&] { return parallel(p, e, 1); });
    EXPECT_EQ(c.live, 0);
    EXPECT_EQ(c.rc, -1);
    EXPECT_TRUE(same_bits(e, p.embedding));
}

} // namespace
