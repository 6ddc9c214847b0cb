// The threaded fuzzy graph under injected failures: a failed allocation is
// reported with untouched outputs and nothing leaked; a thread that cannot
// start leaves its rows to the calling thread and changes no bit.
#include <gtest/gtest.h>

#include "fault_seam.h"
#include "graph_fixture.h"

namespace {

const graph_settings DEFAULTS = {6.0f, 64, 1.0f, 1.0f, 1.0f};
const int ROWS = 12500, COLS = 6, THREADS = 3;
const long SCRATCH_BLOCKS = 7;

TEST(FuzzyGraphFaults, EveryFailedAllocationIsReportedAndFreesTheRest) {
    const knn_rows r(ROWS, COLS, 4);
    for (long at = 0; at < SCRATCH_BLOCKS; ++at) {
        coo out(2 * size_t(ROWS) * COLS);
        int rc;
        long live;
        {
            fault_plan plan;
            plan.malloc_fail_at = at;
            fault_scope scope(plan);
            rc = parallel_graph(r, DEFAULTS, THREADS, &out);
            live = scope.live_blocks();
        }
        EXPECT_EQ(rc, -2) << "allocation " << at;
        EXPECT_EQ(live, 0);
        EXPECT_TRUE(out.untouched());
    }
}

TEST(FuzzyGraphFaults, ThreadsThatCannotStartChangeNothing) {
    const knn_rows r(ROWS, COLS, 4);
    const coo want = serial_graph(r, DEFAULTS);
    const fault_plan plans[] = {
        {-1, 0, -1}, // no thread at all
        {-1, 1, 1},  // the second worker of the first phase
        {-1, 2, 1},  // the first worker of the union
    };
    for (const fault_plan &plan : plans) {
        coo out(want.rows.size());
        int rc;
        long mallocs, live, created;
        {
            fault_scope scope(plan);
            rc = parallel_graph(r, DEFAULTS, THREADS, &out);
            mallocs = scope.malloc_calls();
            live = scope.live_blocks();
            created = scope.thread_calls();
        }
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(mallocs, SCRATCH_BLOCKS);
        EXPECT_EQ(live, 0);
        EXPECT_EQ(created, 2 * (THREADS - 1)); // two phases, the caller works in each
        EXPECT_TRUE(out.same_bits(want));
    }
}

} // namespace
