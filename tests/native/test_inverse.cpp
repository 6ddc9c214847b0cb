// Points of the embedding back to the data: the weighted mean written out
// from its rule, the same bits for any thread count and batch, the limits
// (neighbours out of reach, none listed), refusals and the control block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "inverse_fixture.h"
#include "vornik_kernels.h"

namespace {

using namespace inverse_test;

template <class T> bool same_bits(const std::vector<T> &x, const std::vector<T> &y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(T)) == 0;
}

// Row q by the rule: w_j = 1 / (1 + a (|y - e_j|^2)^b), the squared distance
// added in coordinate order in float; each coordinate sum_j w_j x_j / sum_j
// w_j with both sums in double in list order.
void reference_row(const inverse_problem &p, int q, float *out, float *shares) {
    double wsum = 0.0, acc[D] = {};
    float w[K];
    for (int j = 0; j < K; ++j) {
        const int32_t id = p.ids[q * K + j];
        w[j] = 0.0f;
        if (id < 0) continue;
        float d2 = 0.0f;
        for (int d = 0; d < DIM; ++d) {
            const float diff = p.points[q * DIM + d] - p.embedding[id * DIM + d];
            d2 = d2 + diff * diff;
        }
        w[j] = 1.0f / (1.0f + CURVE.a * powf(d2, CURVE.b));
        wsum += w[j];
        for (int d = 0; d < D; ++d) acc[d] += double(w[j]) * double(p.data[id * D + d]);
    }
    for (int d = 0; d < D; ++d) out[d] = float(acc[d] / wsum);
    for (int j = 0; j < K; ++j) shares[j] = float(double(w[j]) / wsum);
}

TEST(InversePoints, FollowsTheWrittenOutRuleOnAnyThreadsAndInAnyBatch) {
    const inverse_problem p;
    std::vector<float> want(M * D), want_w(M * K);
    for (int q = 0; q < M; ++q) reference_row(p, q, &want[q * D], &want_w[q * K]);
    std::vector<float> out, w;
    for (int T : {1, 2, 3, 0}) {
        EXPECT_EQ(p.run(out, &w, T), 0);
        EXPECT_TRUE(same_bits(out, want)) << T;
        EXPECT_TRUE(same_bits(w, want_w)) << T;
    }
    // Rows alone and in a block of others: the same bits.
    for (int first : {0, 7, 93}) {
        EXPECT_EQ(p.run(out, nullptr, 2, 5, first), 0);
        EXPECT_TRUE(same_bits(out, std::vector<float>(want.begin() + first * D,
                                                      want.begin() + (first + 5) * D)));
    }
}

TEST(InversePoints, NeighboursOutOfReachWeighAlikeAndNoNeighbourIsNaN) {
    inverse_problem p;
    for (int d = 0; d < DIM; ++d) p.points[d] = 3e38f; // squared distances overflow: weight 0
    for (int j = 0; j < K; ++j) p.ids[K + j] = -1;     // row 1 lists nobody
    std::vector<float> out, w;
    ASSERT_EQ(p.run(out, &w, 2), 0);
    int listed = 0;
    std::vector<double> mean(D, 0.0);
    for (int j = 0; j < K; ++j) {
        if (p.ids[j] < 0) continue;
        ++listed;
        for (int d = 0; d < D; ++d) mean[d] += p.data[p.ids[j] * D + d];
    }
    for (int d = 0; d < D; ++d) EXPECT_EQ(out[d], float(mean[d] / listed));
    for (int j = 0; j < K; ++j) EXPECT_EQ(w[j], p.ids[j] < 0 ? 0.0f : float(1.0 / listed));
    for (int d = 0; d < D; ++d) EXPECT_TRUE(std::isnan(out[D + d]));
    for (int j = 0; j < K; ++j) EXPECT_EQ(w[K + j], 0.0f);
}

TEST(InversePoints, RefusesInvalidArgumentsAndStopsWhenAsked) {
    const inverse_problem p;
    std::vector<float> out;
    const std::vector<float> untouched(M * D, -7.0f);
    auto refused = [&](mirnak_fitted_points f, const int32_t *ids, int k, mirnak_inverse_run r) {
        out.assign(M * D, -7.0f);
        const int rc = mirnak_umap_inverse_points_f32(&f, M, p.points.data(), ids, k, &r,
                                                      out.data(), nullptr, 2, nullptr);
        return rc == -1 && same_bits(out, untouched);
    };
    mirnak_fitted_points f = p.fitted();
    std::vector<int32_t> bad = p.ids;
    bad[17] = N;
    EXPECT_TRUE(refused(f, bad.data(), K, CURVE));
    bad[17] = -2;
    EXPECT_TRUE(refused(f, bad.data(), K, CURVE));
    EXPECT_TRUE(refused(f, p.ids.data(), 0, CURVE));
    for (float a : {0.0f, -1.0f, NAN, INFINITY}) {
        EXPECT_TRUE(refused(f, p.ids.data(), K, {a, CURVE.b})) << a;
        EXPECT_TRUE(refused(f, p.ids.data(), K, {CURVE.a, a})) << a;
    }
    f.data = nullptr;
    EXPECT_TRUE(refused(f, p.ids.data(), K, CURVE));
    f = p.fitted();
    f.n_dims = 0;
    EXPECT_TRUE(refused(f, p.ids.data(), K, CURVE));
    EXPECT_EQ(mirnak_umap_inverse_points_f32(nullptr, M, p.points.data(), p.ids.data(), K, &CURVE,
                                             out.data(), nullptr, 2, nullptr),
              -1);

    mirnak_control ctl = {5, 1};
    EXPECT_EQ(p.run(out, nullptr, 2, M, 0, &ctl), MIRNAK_STOPPED);
    EXPECT_TRUE(same_bits(out, untouched));
    EXPECT_EQ(ctl.progress, 0);
    ctl.stop = 0;
    EXPECT_EQ(p.run(out, nullptr, 2, M, 0, &ctl), 0);
    EXPECT_EQ(ctl.progress, M);
}

} // namespace
