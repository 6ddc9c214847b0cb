// Fuzzy-graph kernels: hand-checked bandwidths, membership strengths and
// fuzzy unions, and the "write nothing on bad arguments" contracts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "vornik_kernels.h"

namespace {

struct smooth_result {
    std::vector<float> sigmas, rhos;
};

smooth_result smooth(const std::vector<float> &dist, int n, int k_cols, float k = -1.0f,
                     float local_connectivity = 1.0f, int n_iter = 64, float bandwidth = 1.0f) {
    smooth_result r{std::vector<float>(n, -7.0f), std::vector<float>(n, -7.0f)};
    if (k < 0.0f) k = static_cast<float>(k_cols);
    mirnak_umap_smooth_knn_dist_f32(n, k_cols, dist.data(), k, n_iter, local_connectivity,
                                    bandwidth, r.sigmas.data(), r.rhos.data());
    return r;
}

// ---------------------------------------------------------------------------
// Smooth kNN distances
// ---------------------------------------------------------------------------

TEST(SmoothKnnDist, RhoIsFirstPositiveEntryInRowOrder) {
    // Row order, not sorted order: 5 comes before 2.
    const auto r = smooth({0.0f, 5.0f, 2.0f, 7.0f}, 1, 4);
    EXPECT_EQ(r.rhos[0], 5.0f);
}

TEST(SmoothKnnDist, FractionalLocalConnectivityInterpolates) {
    EXPECT_EQ(smooth({2.0f, 4.0f, 6.0f}, 1, 3, 3.0f, 1.5f).rhos[0], 3.0f);
    EXPECT_EQ(smooth({0.0f, 2.0f, 4.0f}, 1, 3, 3.0f, 0.5f).rhos[0], 1.0f);
    // Fewer positive entries than the connectivity asks for: the largest one.
    EXPECT_EQ(smooth({0.0f, 4.0f, 3.0f}, 1, 3, 3.0f, 2.5f).rhos[0], 4.0f);
}

TEST(SmoothKnnDist, SingleNeighbourMeetsTargetAtOnce) {
    // k = 1 makes the target log2(1) = 0 and the sum over columns 1.. is empty.
    const auto r = smooth({3.0f, 0.5f}, 2, 1);
    EXPECT_EQ(r.sigmas[0], 1.0f);
    EXPECT_EQ(r.sigmas[1], 1.0f);
    EXPECT_EQ(r.rhos[0], 3.0f);
}

TEST(SmoothKnnDist, SingleNeighbourWithLargerKDoublesEveryStep) {
    const auto r = smooth({3.0f}, 1, 1, 4.0f);
    EXPECT_EQ(r.sigmas[0], std::ldexp(1.0f, 64));
}

TEST(SmoothKnnDist, AllZeroRowsHalveToTheLowerBound) {
    // psum = n_neighbors - 1 = 2 > log2(3) in every step: sigma halves 64 times,
    // and the lower bound 1e-3 * mean(0) does not lift it.
    const auto r = smooth(std::vector<float>(6, 0.0f), 2, 3);
    EXPECT_EQ(r.sigmas[0], std::ldexp(1.0f, -64));
    EXPECT_EQ(r.rhos[0], 0.0f);
    // Two neighbours: psum = 1 = log2(2) at once.
    EXPECT_EQ(smooth(std::vector<float>(4, 0.0f), 2, 2).sigmas[1], 1.0f);
}

TEST(SmoothKnnDist, LowerBoundUsesRowMeanOrGlobalMean) {
    // Row 0 has rho > 0: bound 1e-3 * row mean. Row 1 has rho = 0 (all zero):
    // bound 1e-3 * mean of all entries. Both bisections collapse towards 0.
    const std::vector<float> dist = {1.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const auto r = smooth(dist, 2, 4);
    EXPECT_EQ(r.sigmas[0], 1e-3f * 1.0f);
    EXPECT_EQ(r.sigmas[1], 1e-3f * 0.5f);
}

TEST(SmoothKnnDist, InvalidArgumentsWriteNothing) {
    const std::vector<float> dist = {1.0f, 2.0f};
    EXPECT_EQ(smooth(dist, 1, 2, 0.0f).sigmas[0], -7.0f);           // k = 0
    EXPECT_EQ(smooth(dist, 1, 2, 2.0f, 1.0f, 0).rhos[0], -7.0f);    // n_iter = 0
    float s = -7.0f, rho = -7.0f;
    mirnak_umap_smooth_knn_dist_f32(0, 2, dist.data(), 2.0f, 64, 1.0f, 1.0f, &s, &rho);
    mirnak_umap_smooth_knn_dist_f32(1, 0, dist.data(), 2.0f, 64, 1.0f, 1.0f, &s, &rho);
    mirnak_umap_smooth_knn_dist_f32(1, 2, nullptr, 2.0f, 64, 1.0f, 1.0f, &s, &rho);
    mirnak_umap_smooth_knn_dist_f32(1, 2, dist.data(), 2.0f, 64, 1.0f, 1.0f, nullptr, &rho);
    EXPECT_EQ(s, -7.0f);
    EXPECT_EQ(rho, -7.0f);
}

TEST(SmoothKnnDist, NonFiniteLocalConnectivityIsDefined) {
    // A NaN or huge connectivity has no rank any count can reach.
    EXPECT_EQ(smooth({1.0f, 2.0f}, 1, 2, 2.0f, NAN).rhos[0], 2.0f);
    EXPECT_EQ(smooth({1.0f, 2.0f}, 1, 2, 2.0f, 1e30f).rhos[0], 2.0f);
}

// ---------------------------------------------------------------------------
// Membership strengths
// ---------------------------------------------------------------------------

struct directed_graph {
    std::vector<int32_t> rows, cols;
    std::vector<float> vals, dists;
};

directed_graph membership(const std::vector<int32_t> &idx, const std::vector<float> &dist,
                          const std::vector<float> &sigmas, const std::vector<float> &rhos, int k,
                          int return_dists = 1, int bipartite = 0) {
    const size_t n = idx.size();
    directed_graph g{std::vector<int32_t>(n, 9), std::vector<int32_t>(n, 9),
                     std::vector<float>(n, 9.0f), std::vector<float>(n, 9.0f)};
    mirnak_umap_membership_strengths_f32(static_cast<int>(n / k), k, idx.data(), dist.data(),
                                         sigmas.data(), rhos.data(), return_dists, bipartite,
                                         g.rows.data(), g.cols.data(), g.vals.data(),
                                         g.dists.data());
    return g;
}

TEST(MembershipStrengths, EntryKinds) {
    // Row 0: missing neighbour, itself, at rho, beyond rho, out-of-range ids.
    const std::vector<int32_t> idx = {-1, 0, 1, 2, -2, 7};
    const std::vector<float> dist = {4.0f, 0.0f, 1.0f, 3.0f, 2.0f, 2.0f};
    const auto g = membership(idx, dist, {2.0f}, {1.0f}, 6);
    EXPECT_EQ(g.rows[0], 0);
    EXPECT_EQ(g.cols[0], 0);
    EXPECT_EQ(g.vals[0], 0.0f);
    EXPECT_EQ(g.dists[0], 0.0f);
    EXPECT_EQ(g.vals[1], 0.0f); // self-loop
    EXPECT_EQ(g.cols[1], 0);
    EXPECT_EQ(g.vals[2], 1.0f); // d == rho
    EXPECT_EQ(g.vals[3], static_cast<float>(std::exp(-1.0)));
    EXPECT_EQ(g.cols[4], -2); // copied unchecked with an ordinary weight
    EXPECT_EQ(g.vals[4], static_cast<float>(std::exp(-0.5)));
    EXPECT_EQ(g.cols[5], 7);
    EXPECT_EQ(g.dists[3], 3.0f);
}

TEST(MembershipStrengths, BipartiteWeighsTheDiagonal) {
    const auto g = membership({0, 1}, {0.5f, 2.0f}, {1.0f}, {1.0f}, 2, 1, 1);
    EXPECT_EQ(g.rows[0], 0);
    EXPECT_EQ(g.cols[0], 0);
    EXPECT_EQ(g.vals[0], 1.0f);
}

TEST(MembershipStrengths, ZeroSigmaGivesFullWeight) {
    const auto g = membership({1, 2}, {5.0f, 9.0f}, {0.0f}, {1.0f}, 2);
    EXPECT_EQ(g.vals[0], 1.0f);
    EXPECT_EQ(g.vals[1], 1.0f);
}

TEST(MembershipStrengths, DistsOnlyWhenAsked) {
    const auto g = membership({1, 2}, {5.0f, 9.0f}, {1.0f}, {1.0f}, 2, 0);
    EXPECT_EQ(g.dists[0], 9.0f);
    EXPECT_EQ(g.rows[0], 0);
    // return_dists without a dists array: nothing is written at all.
    std::vector<int32_t> rows(2, 9), cols(2, 9);
    std::vector<float> vals(2, 9.0f);
    const int32_t idx[2] = {1, 2};
    const float dist[2] = {1.0f, 2.0f}, sig = 1.0f, rho = 1.0f;
    mirnak_umap_membership_strengths_f32(1, 2, idx, dist, &sig, &rho, 1, 0, rows.data(),
                                         cols.data(), vals.data(), nullptr);
    EXPECT_EQ(rows[0], 9);
    EXPECT_EQ(vals[1], 9.0f);
    // ... while dists may be null when it is not needed.
    mirnak_umap_membership_strengths_f32(1, 2, idx, dist, &sig, &rho, 0, 0, rows.data(),
                                         cols.data(), vals.data(), nullptr);
    EXPECT_EQ(rows[0], 0);
    EXPECT_EQ(vals[0], 1.0f);
}

// ---------------------------------------------------------------------------
// Fuzzy set union
// ---------------------------------------------------------------------------

struct symmetric_graph {
    std::vector<int32_t> rows, cols;
    std::vector<float> vals;
};

symmetric_graph symmetrize(const directed_graph &g, int n, int k, float mix = 1.0f) {
    const size_t m = 2 * g.rows.size();
    symmetric_graph s{std::vector<int32_t>(m, 5), std::vector<int32_t>(m, 5),
                      std::vector<float>(m, 5.0f)};
    mirnak_umap_symmetrize_fuzzy_graph_f32(n, k, g.rows.data(), g.cols.data(), g.vals.data(), mix,
                                           s.rows.data(), s.cols.data(), s.vals.data());
    return s;
}

void expect_slot(const symmetric_graph &s, size_t slot, int32_t r, int32_t c, float v) {
    EXPECT_EQ(s.rows[slot], r) << "slot " << slot;
    EXPECT_EQ(s.cols[slot], c) << "slot " << slot;
    EXPECT_EQ(s.vals[slot], v) << "slot " << slot;
}

TEST(SymmetrizeFuzzyGraph, MutualPairIsUnionedOnce) {
    const directed_graph g{{0, 1}, {1, 0}, {0.5f, 0.5f}, {}};
    const auto s = symmetrize(g, 2, 1);
    expect_slot(s, 0, 0, 1, 0.75f);
    expect_slot(s, 1, 0, 0, 0.0f);
    expect_slot(s, 2, 1, 0, 0.75f);
    expect_slot(s, 3, 0, 0, 0.0f);
}

TEST(SymmetrizeFuzzyGraph, OneWayEdgeIsEmittedBothWays) {
    // Row 1 lists 2 with weight 0 (no edge), so 0 -> 1 has no reverse.
    const directed_graph g{{0, 1, 2}, {1, 2, 0}, {0.8f, 0.0f, 0.3f}, {}};
    const auto s = symmetrize(g, 3, 1);
    // 0 -> 1 (0.8) and 2 -> 0 (0.3): neither has a reverse.
    expect_slot(s, 0, 0, 1, 0.8f);
    expect_slot(s, 1, 1, 0, 0.8f);
    expect_slot(s, 2, 0, 0, 0.0f);
    expect_slot(s, 3, 0, 0, 0.0f);
    expect_slot(s, 4, 2, 0, 0.3f);
    expect_slot(s, 5, 0, 2, 0.3f);
    // Pure intersection drops one-way edges.
    const auto t = symmetrize(g, 3, 1, 0.0f);
    for (size_t i = 0; i < t.vals.size(); ++i) expect_slot(t, i, 0, 0, 0.0f);
}

TEST(SymmetrizeFuzzyGraph, IgnoredEntriesLeaveEmptySlots) {
    // Self, -1 and out-of-range columns.
    const directed_graph g{{0, 0, 0}, {0, -1, 1}, {0.5f, 0.5f, 0.5f}, {}};
    const auto s = symmetrize(g, 1, 3);
    for (size_t i = 0; i < s.vals.size(); ++i) expect_slot(s, i, 0, 0, 0.0f);
    // Negative and zero weights, and an entry whose source is not its row.
    const directed_graph h{{0, 1, 1, 1}, {1, 1, 0, 0}, {-0.5f, 0.5f, 0.0f, -1.0f}, {}};
    const auto t = symmetrize(h, 2, 2);
    for (size_t i = 0; i < t.vals.size(); ++i) expect_slot(t, i, 0, 0, 0.0f);
}

TEST(SymmetrizeFuzzyGraph, ForeignSourceIsNotAReverseEdge) {
    // Row 1 claims source 0 for its edge to 0: it is neither emitted nor found
    // as the reverse of 0 -> 1.
    const directed_graph g{{0, 0}, {1, 0}, {0.4f, 0.9f}, {}};
    const auto s = symmetrize(g, 2, 1);
    expect_slot(s, 0, 0, 1, 0.4f);
    expect_slot(s, 1, 1, 0, 0.4f);
    expect_slot(s, 2, 0, 0, 0.0f);
}

TEST(SymmetrizeFuzzyGraph, DuplicateNeighbourUsesFirstCopyAsReverse) {
    // Row 0 lists 1 twice (0.2 then 0.6); row 1 lists 0 with 0.5.
    const directed_graph g{{0, 0, 1, 1}, {1, 1, 0, 0}, {0.2f, 0.6f, 0.5f, 0.0f}, {}};
    const auto s = symmetrize(g, 2, 2);
    const float u1 = 0.2f + 0.5f - 0.2f * 0.5f;
    const float u2 = 0.6f + 0.5f - 0.6f * 0.5f;
    expect_slot(s, 0, 0, 1, u1);
    expect_slot(s, 2, 0, 1, u2);
    expect_slot(s, 4, 1, 0, u1); // reverse lookup finds the first copy
}

TEST(SymmetrizeFuzzyGraph, InvalidArgumentsWriteNothing) {
    const directed_graph g{{0}, {0}, {1.0f}, {}};
    symmetric_graph s{std::vector<int32_t>(2, 5), std::vector<int32_t>(2, 5),
                      std::vector<float>(2, 5.0f)};
    mirnak_umap_symmetrize_fuzzy_graph_f32(0, 1, g.rows.data(), g.cols.data(), g.vals.data(),
                                           1.0f, s.rows.data(), s.cols.data(), s.vals.data());
    mirnak_umap_symmetrize_fuzzy_graph_f32(1, 1, g.rows.data(), nullptr, g.vals.data(), 1.0f,
                                           s.rows.data(), s.cols.data(), s.vals.data());
    mirnak_umap_symmetrize_fuzzy_graph_f32(1, 1, g.rows.data(), g.cols.data(), g.vals.data(),
                                           1.0f, s.rows.data(), s.cols.data(), nullptr);
    EXPECT_EQ(s.rows[0], 5);
    EXPECT_EQ(s.vals[1], 5.0f);
}

} // namespace
