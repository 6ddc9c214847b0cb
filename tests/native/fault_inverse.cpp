// The inverse points kernel under injected failures: every scratch allocation
// failing gives -2 with the outputs untouched and nothing leaked; threads
// that cannot be created change nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "fault_seam.h"
#include "vornik_kernels.h"

namespace {

const int N = 120, D = 5, M = 300, K = 4;

struct problem {
    std::vector<float> data, embedding, points;
    std::vector<int32_t> ids;

    problem() {
        std::mt19937 gen(8);
        std::normal_distribution<float> nd(0.0f, 1.0f);
        for (int i = 0; i < N * D; ++i) data.push_back(nd(gen));
        for (int i = 0; i < N * 2; ++i) embedding.push_back(nd(gen));
        for (int i = 0; i < M * 2; ++i) points.push_back(nd(gen));
        for (int i = 0; i < M * K; ++i) ids.push_back(int32_t(gen() % N));
    }

    int run(std::vector<float> &out, std::vector<float> &w, int threads) const {
        out.assign(M * D, -3.0f);
        w.assign(M * K, -3.0f);
        const mirnak_fitted_points f = {data.data(), embedding.data(), N, D, 2};
        const mirnak_inverse_run r = {1.577f, 0.895f};
        return mirnak_umap_inverse_points_f32(&f, M, points.data(), ids.data(), K, &r, out.data(),
                                              w.data(), threads, nullptr);
    }
};

TEST(InverseFaults, EachAllocationFailingReportsAndThreadsThatCannotStartChangeNothing) {
    const problem p;
    std::vector<float> want, want_w, out, w;
    ASSERT_EQ(p.run(want, want_w, 1), 0);
    for (long which = 0; which < 5; ++which) {
        fault_plan plan;
        plan.malloc_fail_at = which;
        fault_scope scope(plan);
        EXPECT_EQ(p.run(out, w, 2), -2) << which;
        EXPECT_EQ(scope.malloc_calls(), 5) << which;
        EXPECT_EQ(scope.live_blocks(), 0) << which;
        EXPECT_EQ(out, std::vector<float>(M * D, -3.0f)) << which;
        EXPECT_EQ(w, std::vector<float>(M * K, -3.0f)) << which;
    }
    for (const fault_plan &plan : {fault_plan{-1, 0, -1}, fault_plan{-1, 1, 1}}) {
        fault_scope scope(plan);
        EXPECT_EQ(p.run(out, w, 4), 0);
        EXPECT_GT(scope.threads_failed(), 0);
        EXPECT_EQ(std::memcmp(out.data(), want.data(), out.size() * 4), 0);
        EXPECT_EQ(std::memcmp(w.data(), want_w.data(), w.size() * 4), 0);
    }
}

} // namespace
