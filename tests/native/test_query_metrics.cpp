// The neighbour query in the other measures: dense rows in the Manhattan,
// Chebyshev and Minkowski distances and bit rows in the binary ones, against
// brute force from first principles, the same bits on every path, and the
// records it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "knn_query.h"
#include "vornik_kernels.h"

namespace {

using namespace vornik::knn;

// The training side of a query in one measure: the rows' own search (its kNN
// rows are the graph), every 37th point a pivot, and a forest.
struct measured_index {
    int n, k = 8;
    std::vector<int32_t> graph, pivots, order, splits;
    std::vector<float> knn_dist, thresholds;
    mirnak_search_index record{};

    template <class Descent, class Forest>
    measured_index(int n_, Descent descent, Forest forest) : n(n_) {
        graph.resize(size_t(n) * k);
        knn_dist.resize(graph.size());
        const mirnak_knn_run run = {k, 4, 8, 12, 5, 0};
        EXPECT_EQ(descent(run, graph.data(), knn_dist.data()), 0);
        for (int p = 0; p < n; p += 37) pivots.push_back(p);
        const int64_t slots = mirnak_knn_forest_nodes(n, 16);
        order.resize(size_t(6) * n);
        splits.resize(size_t(6 * slots) * 2);
        thresholds.resize(size_t(6 * slots));
        const mirnak_forest_settings fs = {6, 16, 99};
        EXPECT_EQ(forest(fs, order.data(), splits.data(), thresholds.data()), 0);
        record = {graph.data(),
                  k,
                  pivots.data(),
                  int(pivots.size()),
                  {6, 16, order.data(), splits.data(), thresholds.data()}};
    }
};

// The share of the returned ids whose true distance (dist_of) is within the
// true k-th nearest distance: ties in a measure count as found.
template <class Dist> double recall(int n, int m, int k, const std::vector<int32_t> &idx, Dist d) {
    int hits = 0;
    for (int q = 0; q < m; ++q) {
        std::vector<double> all(n);
        for (int i = 0; i < n; ++i) all[i] = d(q, i);
        std::vector<double> sorted = all;
        std::nth_element(sorted.begin(), sorted.begin() + (k - 1), sorted.end());
        const double kth = sorted[k - 1] * (1 + 1e-5) + 1e-9;
        for (int j = 0; j < k; ++j) {
            const int32_t id = idx[size_t(q) * k + j];
            hits += id >= 0 && all[id] <= kth;
        }
    }
    return double(hits) / (double(m) * k);
}

std::vector<float> dense_points(int n, int d, int clusters, uint32_t seed) {
    std::mt19937 gen(seed), centres_gen(3);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> c(size_t(clusters) * d), x(size_t(n) * d);
    for (float &v : c) v = 4.0f * nd(centres_gen);
    for (int i = 0; i < n; ++i)
        for (int t = 0; t < d; ++t)
            x[size_t(i) * d + t] = c[size_t(i % clusters) * d + t] + nd(gen);
    return x;
}

// Rows of w words near one of a few prototypes: each bit flipped with
// probability 1/10.
std::vector<uint64_t> bit_points(int n, int w, int protos, uint32_t seed) {
    std::mt19937_64 gen(seed), proto_gen(4);
    std::vector<uint64_t> p(size_t(protos) * w), x(size_t(n) * w);
    for (uint64_t &v : p) v = proto_gen();
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < w; ++j) {
            uint64_t flip = 0;
            for (int b = 0; b < 64; ++b) flip |= uint64_t(gen() % 10 == 0) << b;
            x[size_t(i) * w + j] = p[size_t(i % protos) * w + j] ^ flip;
        }
    return x;
}

double dense_distance(const float *a, const float *b, int d, const mirnak_metric &m) {
    double sum = 0, most = 0;
    for (int t = 0; t < d; ++t) {
        const double e = std::fabs(double(a[t]) - double(b[t]));
        sum += m.kind == MIRNAK_MANHATTAN ? e : std::pow(e, double(m.p));
        most = std::max(most, e);
    }
    return m.kind == MIRNAK_CHEBYSHEV ? most : sum;
}

double bit_distance(const uint64_t *a, const uint64_t *b, int w, int kind) {
    double x = 0, o = 0, an = 0, sa = 0, sb = 0;
    for (int j = 0; j < w; ++j) {
        x += __builtin_popcountll(a[j] ^ b[j]);
        o += __builtin_popcountll(a[j] | b[j]);
        an += __builtin_popcountll(a[j] & b[j]);
        sa += __builtin_popcountll(a[j]);
        sb += __builtin_popcountll(b[j]);
    }
    if (kind == MIRNAK_HAMMING) return x;
    if (kind == MIRNAK_JACCARD) return o == 0 ? 0 : (o - an) / o;
    return sa + sb == 0 ? 0 : x / (sa + sb);
}

template <class T> bool same_bits(const std::vector<T> &x, const std::vector<T> &y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(T)) == 0;
}

TEST(KnnQueryMetrics, DenseMeasuresFindTheirNeighboursWithTheSameBitsOnEveryPath) {
    const int n = 1500, m = 120, d = 11, k = 6;
    const std::vector<float> X = dense_points(n, d, 12, 1), Q = dense_points(m, d, 12, 2);
    const mirnak_dense_rows train = {X.data(), n, d}, queries = {Q.data(), m, d};
    for (mirnak_metric metric : std::vector<mirnak_metric>{{MIRNAK_MANHATTAN, 1.0f},
                                                           {MIRNAK_CHEBYSHEV, 1.0f},
                                                           {MIRNAK_MINKOWSKI, 3.0f},
                                                           {MIRNAK_MINKOWSKI, 2.5f}}) {
        const measured_index ix(
            n,
            [&](const mirnak_knn_run &run, int32_t *idx, float *dist) {
                return mirnak_knn_descent_metric_f32(&train, &metric, &run, idx, dist, 2, nullptr);
            },
            [&](const mirnak_forest_settings &s, int32_t *o, int32_t *sp, float *th) {
                return mirnak_knn_search_forest_f32(&train, &s, o, sp, th, 2, nullptr);
            });
        const mirnak_query_settings s = {k, 4 * k, 4};
        std::vector<int32_t> idx(size_t(m) * k);
        std::vector<float> dist(idx.size());
        ASSERT_EQ(mirnak_knn_query_metric_f32(&train, &ix.record, &queries, &metric, &s, idx.data(),
                                              dist.data(), 2, nullptr),
                  0);
        EXPECT_GE(recall(n, m, k, idx,
                         [&](int q, int i) {
                             return dense_distance(&Q[size_t(q) * d], &X[size_t(i) * d], d, metric);
                         }),
                  0.95)
            << metric.kind << " " << metric.p;
        const search_index sx = {
            n, ix.k, ix.graph.data(), int(ix.pivots.size()), ix.pivots.data(), ix.record.forest};
        for (dist_path p : {DIST_SCALAR, DIST_FMA, DIST_NEON}) {
            if (!dist_path_available(p)) continue;
            std::vector<int32_t> pi(idx.size());
            std::vector<float> pd(idx.size());
            ASSERT_EQ(metric_query_on_path(p, train, queries, metric, sx, {k, 4 * k, 4}, pi.data(),
                                           pd.data(), 1),
                      0);
            EXPECT_TRUE(same_bits(pi, idx) && same_bits(pd, dist)) << p << " " << metric.kind;
        }
    }
}

TEST(KnnQueryMetrics, BinaryMeasuresFindTheirNeighboursWithTheSameBitsOnEveryPath) {
    const int n = 1500, m = 120, w = 3, k = 6;
    const std::vector<uint64_t> W = bit_points(n, w, 12, 1), Q = bit_points(m, w, 12, 2);
    const mirnak_bit_rows train = {W.data(), n, w}, queries = {Q.data(), m, w};
    for (int kind : {MIRNAK_HAMMING, MIRNAK_JACCARD, MIRNAK_DICE}) {
        const mirnak_metric metric = {kind, 1.0f};
        const measured_index ix(
            n,
            [&](const mirnak_knn_run &run, int32_t *idx, float *dist) {
                return mirnak_knn_descent_bits_u64(&train, &metric, &run, idx, dist, 2, nullptr);
            },
            [&](const mirnak_forest_settings &s, int32_t *o, int32_t *sp, float *th) {
                return mirnak_knn_search_forest_bits_u64(&train, &s, o, sp, th, 2, nullptr);
            });
        const mirnak_query_settings s = {k, 4 * k, 4};
        std::vector<int32_t> idx(size_t(m) * k);
        std::vector<float> dist(idx.size());
        ASSERT_EQ(mirnak_knn_query_bits_u64(&train, &ix.record, &queries, &metric, &s, idx.data(),
                                            dist.data(), 2, nullptr),
                  0);
        EXPECT_GE(recall(n, m, k, idx,
                         [&](int q, int i) {
                             return bit_distance(&Q[size_t(q) * w], &W[size_t(i) * w], w, kind);
                         }),
                  0.95)
            << kind;
        const search_index sx = {
            n, ix.k, ix.graph.data(), int(ix.pivots.size()), ix.pivots.data(), ix.record.forest};
        for (bits_path p : {BITS_PORTABLE, BITS_POPCNT, BITS_VPOPCNT, BITS_NEON}) {
            if (!bits_path_available(p)) continue;
            std::vector<int32_t> pi(idx.size());
            std::vector<float> pd(idx.size());
            ASSERT_EQ(bits_query_on_path(p, train, queries, metric, sx, {k, 4 * k, 4}, pi.data(),
                                         pd.data(), 1),
                      0);
            EXPECT_TRUE(same_bits(pi, idx) && same_bits(pd, dist)) << p << " " << kind;
        }
    }
}

TEST(KnnQueryMetrics, RefusesAMeasureOfTheOtherFamilyAndRowsOfAnotherWidth) {
    const int n = 200, d = 4, k = 5;
    const std::vector<float> X = dense_points(n, d, 3, 5);
    const std::vector<uint64_t> W = bit_points(n, 1, 3, 5);
    const mirnak_dense_rows train = {X.data(), n, d}, narrow = {X.data(), n, d - 1};
    const mirnak_bit_rows bits = {W.data(), n, 1}, wide = {W.data(), n / 2, 2};
    const mirnak_metric manhattan = {MIRNAK_MANHATTAN, 1.0f}, hamming = {MIRNAK_HAMMING, 1.0f},
                        low_p = {MIRNAK_MINKOWSKI, 0.5f};
    std::vector<int32_t> graph(size_t(n) * k, -1), pivots = { 0, 1 };
    const mirnak_search_index ix = {graph.data(), k, pivots.data(), 2, {}};
    const mirnak_query_settings s = {k, 2 * k, 2};
    std::vector<int32_t> idx(size_t(n) * k, 55);
    std::vector<float> dist(idx.size(), -3.0f);
    auto dense = [&](const mirnak_dense_rows &q, const mirnak_metric &m) {
        return mirnak_knn_query_metric_f32(&train, &ix, &q, &m, &s, idx.data(), dist.data(), 1,
                                           nullptr);
    };
    auto binary = [&](const mirnak_bit_rows &q, const mirnak_metric &m) {
        return mirnak_knn_query_bits_u64(&bits, &ix, &q, &m, &s, idx.data(), dist.data(), 1,
                                         nullptr);
    };
    EXPECT_EQ(dense(train, hamming), -1);
    EXPECT_EQ(dense(train, low_p), -1);
    EXPECT_EQ(dense(narrow, manhattan), -1);
    EXPECT_EQ(binary(bits, manhattan), -1);
    EXPECT_EQ(binary(wide, hamming), -1);
    EXPECT_TRUE(idx == std::vector<int32_t>(idx.size(), 55));
    EXPECT_EQ(dense(train, manhattan), 0);
    EXPECT_EQ(binary(bits, hamming), 0);
}

} // namespace
