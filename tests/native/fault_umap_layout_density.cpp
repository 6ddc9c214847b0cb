// The layout with a density term under injected failures: threads that
// cannot be created only cost speed, every scratch allocation failing gives
// -2 with the embedding untouched, and a stop mid-run leaves no thread and no
// allocation behind.
#include <atomic>
#include <chrono>
#include <thread>

#include "fault_seam.h"
#include "layout_fixture.h"

namespace {

using namespace layout_test;

struct density_problem {
    graph g = random_graph(120, 2, 4, 3);
    std::vector<float> radius;

    density_problem() {
        for (int v = 0; v < g.n_samples; ++v) radius.push_back(0.5f + float(v % 7));
    }

    int run(std::vector<float> &e, int threads, int n_epochs = 20, bool in_order = false,
            mirnak_control *ctl = nullptr) const {
        e = g.embedding;
        const mirnak_layout_edges edges = {g.head.data(), g.tail.data(),
                                           static_cast<int64_t>(g.head.size()), g.eps.data()};
        const mirnak_layout_run run = {n_epochs, 1.577f, 0.895f, 1.0f, 1.0f, 5.0f, 99};
        const mirnak_density_term term = {radius.data(), 1.0f, n_epochs, 0.1f};
        // One substep per epoch: schedule order is then list order.
        const mirnak_parts_plan plan = {4, 1, threads, in_order};
        return mirnak_umap_optimize_layout_density_f32(e.data(), g.n_samples, 2, &edges, &run,
                                                       &term, &plan, ctl);
    }
};

TEST(DensityLayoutFaults, ThreadsThatCannotStartOnlyCostSpeed) {
    const density_problem p;
    std::vector<float> want, e;
    ASSERT_EQ(p.run(want, 1), 0);
    for (const fault_plan &plan : {fault_plan{-1, 0, -1}, fault_plan{-1, 0, 1},
                                   fault_plan{-1, 1, 1}, fault_plan{-1, 2, -1}}) {
        fault_scope scope(plan);
        EXPECT_EQ(p.run(e, 4), 0) << plan.thread_fail_at;
        EXPECT_GT(scope.threads_failed(), 0) << plan.thread_fail_at;
        EXPECT_EQ(scope.live_blocks(), 0) << plan.thread_fail_at;
        EXPECT_TRUE(same_bits(e, want)) << plan.thread_fail_at;
    }
}

TEST(DensityLayoutFaults, EachAllocationFailingLeavesTheEmbeddingUntouched) {
    const density_problem p;
    // Thread handles and records; buffers, two schedules and, unless the edges
    // come in schedule order, the edge table; the head index with its fill's
    // cursors and five arrays per vertex.
    for (const bool in_order : {false, true}) {
        const long allocations = in_order ? 14 : 17;
        {
            std::vector<float> e;
            fault_scope scope(fault_plan{});
            EXPECT_EQ(p.run(e, 2, 20, in_order), 0);
            EXPECT_EQ(scope.malloc_calls(), allocations);
        }
        for (long which = 0; which < allocations; ++which) {
            std::vector<float> e;
            fault_plan plan;
            plan.malloc_fail_at = which;
            fault_scope scope(plan);
            EXPECT_EQ(p.run(e, 2, 20, in_order), -2) << which;
            EXPECT_EQ(scope.live_blocks(), 0) << which;
            EXPECT_EQ(scope.thread_calls(), 0) << which;
            EXPECT_TRUE(same_bits(e, p.g.embedding)) << which;
        }
    }
}

TEST(DensityLayoutFaults, AStopMidRunLeavesNoThreadAndNoAllocation) {
    const density_problem p;
    std::thread([] {}).join(); // a sanitizer's helper thread starts with the first thread
    const int before = live_threads();
    std::vector<float> e;
    mirnak_control ctl = {0, 0};
    std::atomic<int> rc{1};
    long live;
    {
        fault_scope scope(fault_plan{});
        std::thread runner([&] { rc = p.run(e, 3, 1 << 28, false, &ctl); }); // hours
        while (__atomic_load_n(&ctl.progress, __ATOMIC_RELAXED) < 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        __atomic_store_n(&ctl.stop, 1, __ATOMIC_RELAXED);
        runner.join();
        live = scope.live_blocks();
    }
    EXPECT_EQ(rc.load(), MIRNAK_STOPPED);
    EXPECT_EQ(live, 0);
    EXPECT_EQ(live_threads(), before);
}

} // namespace
