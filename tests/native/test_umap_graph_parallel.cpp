// The threaded fuzzy graph against the three serial kernels, bit for bit.
#include <gtest/gtest.h>

#include "graph_fixture.h"

namespace {

const graph_settings DEFAULTS = {7.0f, 64, 1.0f, 1.0f, 1.0f};

// Enough rows for three workers of at least 4,096 rows each.
const int ROWS = 13001;

TEST(FuzzyGraphParallel, EqualsTheSerialKernelsForAnyThreadCount) {
    const knn_rows r(ROWS, 7, 5);
    const coo want = serial_graph(r, DEFAULTS);
    for (int threads : {1, 2, 3, 8, 0}) {
        coo got(want.rows.size());
        ASSERT_EQ(parallel_graph(r, DEFAULTS, threads, &got), 0);
        EXPECT_TRUE(got.same_bits(want)) << threads << " threads";
    }
}

TEST(FuzzyGraphParallel, PassesEverySettingThrough) {
    const knn_rows r(ROWS, 5, 9);
    const graph_settings odd[] = {
        {5.0f, 64, 1.5f, 1.0f, 0.7f}, // interpolated rho, mixed union and intersection
        {3.0f, 9, 0.5f, 1.3f, 0.0f},  // few bisection steps, pure intersection
    };
    for (const graph_settings &s : odd) {
        const coo want = serial_graph(r, s);
        coo got(want.rows.size());
        ASSERT_EQ(parallel_graph(r, s, 3, &got), 0);
        EXPECT_TRUE(got.same_bits(want));
    }
}

TEST(FuzzyGraphParallel, SmallInputsAndStaleOutputs) {
    const knn_rows r(37, 4, 2); // one worker whatever is asked
    const coo want = serial_graph(r, DEFAULTS);
    coo got(want.rows.size());
    got.vals.assign(got.vals.size(), 0.5f); // stale contents are overwritten
    ASSERT_EQ(parallel_graph(r, DEFAULTS, 3, &got), 0);
    EXPECT_TRUE(got.same_bits(want));
}

TEST(FuzzyGraphParallel, InvalidArgumentsWriteNothing) {
    const knn_rows r(50, 3, 1);
    const graph_settings bad[] = {
        {0.0f, 64, 1.0f, 1.0f, 1.0f}, {NAN, 64, 1.0f, 1.0f, 1.0f}, {3.0f, 0, 1.0f, 1.0f, 1.0f}};
    for (const graph_settings &s : bad) {
        coo out(2 * 50 * 3);
        EXPECT_EQ(parallel_graph(r, s, 2, &out), -1);
        EXPECT_TRUE(out.untouched());
    }
    coo out(2 * 50 * 3);
    const graph_settings &s = DEFAULTS;
    EXPECT_EQ(mirnak_umap_fuzzy_graph_f32_parallel(0, 3, r.idx.data(), r.dist.data(), s.k, s.n_iter,
                                                   1.0f, 1.0f, 1.0f, out.rows.data(),
                                                   out.cols.data(), out.vals.data(), 2),
              -1);
    EXPECT_EQ(mirnak_umap_fuzzy_graph_f32_parallel(50, 3, r.idx.data(), nullptr, s.k, s.n_iter,
                                                   1.0f, 1.0f, 1.0f, out.rows.data(),
                                                   out.cols.data(), out.vals.data(), 2),
              -1);
    EXPECT_TRUE(out.untouched());
}

} // namespace
