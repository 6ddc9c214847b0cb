// The inverse points kernel under injected failures: every scratch allocation
// failing gives -2 with the outputs untouched and nothing leaked; threads
// that cannot be created change nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fault_seam.h"
#include "inverse_fixture.h"
#include "vornik_kernels.h"

namespace {

using namespace inverse_test;

TEST(InverseFaults, EachAllocationFailingReportsAndThreadsThatCannotStartChangeNothing) {
    const inverse_problem p;
    std::vector<float> want, want_w, out, w;
    ASSERT_EQ(p.run(want, &want_w, 1), 0);
    for (long which = 0; which < 5; ++which) {
        fault_plan plan;
        plan.malloc_fail_at = which;
        fault_scope scope(plan);
        EXPECT_EQ(p.run(out, &w, 2), -2) << which;
        EXPECT_EQ(scope.malloc_calls(), 5) << which;
        EXPECT_EQ(scope.live_blocks(), 0) << which;
        EXPECT_EQ(out, std::vector<float>(M * D, -7.0f)) << which;
        EXPECT_EQ(w, std::vector<float>(M * K, -7.0f)) << which;
    }
    for (const fault_plan &plan : {fault_plan{-1, 0, -1}, fault_plan{-1, 1, 1}}) {
        fault_scope scope(plan);
        EXPECT_EQ(p.run(out, &w, 4), 0);
        EXPECT_GT(scope.threads_failed(), 0);
        EXPECT_EQ(std::memcmp(out.data(), want.data(), out.size() * 4), 0);
        EXPECT_EQ(std::memcmp(w.data(), want_w.data(), w.size() * 4), 0);
    }
}

} // namespace
