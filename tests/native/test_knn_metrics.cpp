// kNN search in the other measures: every measure on every path against a
// reference written from the stated rules, the whole search against the
// plain reference search, threads, and refused arguments.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "knn_bits.h"
#include "knn_metric.h"
#include "knn_reference.h"
#include "vornik_kernels.h"

namespace {

using namespace vornik::knn;

uint32_t bits_of(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// ---------------------------------------------------------------------------
// References
// ---------------------------------------------------------------------------

// Terms combined in the stated lane order: floats t + q of each block of 8
// into lane q of accumulator (t / 4) mod 2, a trailing block of 4 into the
// first, lanes c(a0, a1) combined as c(c(v0, v1), c(v2, v3)), then the rest.
template <class Term, class Combine> float lane_order(int d, Term term, Combine c) {
    float acc[2][4] = {{0, 0, 0, 0}, {0, 0, 0, 0}};
    int t = 0;
    for (; t + 8 <= d; t += 8)
        for (int u = 0; u < 8; ++u) acc[u / 4][u % 4] = c(acc[u / 4][u % 4], term(t + u));
    for (; t + 4 <= d; t += 4)
        for (int u = 0; u < 4; ++u) acc[0][u] = c(acc[0][u], term(t + u));
    float v[4];
    for (int q = 0; q < 4; ++q) v[q] = c(acc[0][q], acc[1][q]);
    float s = c(c(v[0], v[1]), c(v[2], v[3]));
    for (; t < d; ++t) s = c(s, term(t));
    return s;
}

// e^p, p a positive integer: the square of e^(p / 2), times e when p is odd.
float power(float e, int p) {
    if (p == 1) return e;
    const float h = power(e, p / 2);
    const float sq = h * h;
    return p % 2 ? sq * e : sq;
}

// kind, p as the kernels take them; the distance of two float rows.
float dense_reference(int kind, float p, const float *a, const float *b, int d) {
    auto diff = [&](int t) { return std::fabs(a[t] - b[t]); };
    auto sum = [](float s, float x) { return s + x; };
    if (kind == MIRNAK_MANHATTAN) return lane_order(d, diff, sum);
    if (kind == MIRNAK_CHEBYSHEV)
        return lane_order(d, diff, [](float m, float x) { return x > m ? x : m; });
    if (std::floor(p) == p)
        return lane_order(d, [&](int t) { return power(diff(t), int(p)); }, sum);
    return lane_order(d, [&](int t) { return std::pow(diff(t), p); }, sum);
}

// The distance of two bit rows of w words, from their bits one by one.
float bits_reference(int kind, const uint64_t *a, const uint64_t *b, int w) {
    int64_t both = 0, either = 0;
    for (int j = 0; j < 64 * w; ++j) {
        const bool x = (a[j / 64] >> (j % 64)) & 1, y = (b[j / 64] >> (j % 64)) & 1;
        both += x && y;
        either += x || y;
    }
    if (kind == MIRNAK_HAMMING) return float(either - both);
    if (either == 0) return 0.0f;
    const int64_t under = kind == MIRNAK_JACCARD ? either : either + both;
    return float(either - both) / float(under);
}

// ---------------------------------------------------------------------------
// Data
// ---------------------------------------------------------------------------

std::vector<float> clustered(int n, int d, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> centres(5 * size_t(d)), X(size_t(n) * d);
    for (auto &v : centres) v = 4.0f * nd(gen);
    for (int i = 0; i < n; ++i) {
        const int c = int(gen() % 5);
        for (int t = 0; t < d; ++t) X[size_t(i) * d + t] = centres[size_t(c) * d + t] + nd(gen);
    }
    return X;
}

// Rows of w words near one of a few prototypes, and some empty rows.
std::vector<uint64_t> clustered_bits(int n, int w, uint32_t seed) {
    std::mt19937_64 gen(seed);
    std::vector<uint64_t> protos(4 * size_t(w)), W(size_t(n) * w);
    for (auto &v : protos) v = gen() & gen();
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < w; ++j)
            W[size_t(i) * w + j] =
                i % 97 == 0 ? 0 : (protos[size_t(i % 4) * w + j] & (gen() | gen()));
    return W;
}

const int DENSE_KINDS[] = {MIRNAK_MANHATTAN, MIRNAK_CHEBYSHEV, MIRNAK_MINKOWSKI, MIRNAK_MINKOWSKI};
const float DENSE_P[] = {1.0f, 1.0f, 3.0f, 2.5f};
const int BIT_KINDS[] = {MIRNAK_HAMMING, MIRNAK_JACCARD, MIRNAK_DICE};

std::vector<dist_path> dense_paths() {
    std::vector<dist_path> out;
    for (dist_path p : {DIST_SCALAR, DIST_FMA, DIST_NEON})
        if (dist_path_available(p)) out.push_back(p);
    return out;
}

std::vector<bits_path> counting_paths() {
    std::vector<bits_path> out;
    for (bits_path p : {BITS_PORTABLE, BITS_POPCNT, BITS_VPOPCNT, BITS_NEON})
        if (bits_path_available(p)) out.push_back(p);
    return out;
}

// ---------------------------------------------------------------------------
// Measures
// ---------------------------------------------------------------------------

// A measure's distance on one path through its ops: a leaf of two points
// holds their distance.
float measured_by(const space_ops *ops, const void *store) {
    float dist[2] = {knnref::EMPTY_DIST, knnref::EMPTY_DIST};
    int32_t ids[2] = {-1, -1};
    uint8_t flags[2] = {1, 1};
    rpx c{};
    c.n = 2;
    c.k = 1;
    c.leaf = 2;
    c.store = store;
    c.heap = neighbour_heap{dist, ids, flags, 1};
    c.finite = true;
    int32_t pair[2] = {0, 1};
    ops->leaf(&c, pair, 0, 2);
    return dist[0];
}

TEST(MetricDistances, EveryPathMatchesTheStatedOrderBitForBit) {
    std::mt19937 gen(5);
    std::normal_distribution<float> nd(0.0f, 3.0f);
    std::vector<float> buf(2 * 1100);
    for (float &v : buf) v = nd(gen);
    for (int m = 0; m < 4; ++m) {
        const mirnak_metric metric = {DENSE_KINDS[m], DENSE_P[m]};
        for (int d = 1; d <= 1000; d += (d < 40 ? 1 : 131)) {
            for (int shift = 0; shift < 3; ++shift) { // rows at 4-byte offsets
                // Two rows, one after the other, as a store of 2 points.
                std::vector<float> X(buf.begin() + shift, buf.begin() + shift + 2 * d);
                const measured_rows s = measured({X.data(), 2, d}, metric);
                const float want = dense_reference(metric.kind, metric.p, &X[0], &X[d], d);
                for (dist_path p : dense_paths()) {
                    const float got = measured_by(dense_metric_ops(p, s, metric.kind), &s);
                    ASSERT_EQ(bits_of(got), bits_of(want))
                        << "kind " << metric.kind << " p " << metric.p << " d " << d << " path "
                        << p;
                }
            }
        }
    }
}

TEST(MetricDistances, FourAtOnceHaveTheSingleBitsAndBoundsAreLowerBounds) {
    const int d = 77;
    const std::vector<float> X = clustered(5, d, 9);
    const float *rows[4] = {&X[d], &X[2 * d], &X[3 * d], &X[4 * d]};
    for (int m = 0; m < 3; ++m) {
        const mirnak_metric metric = {DENSE_KINDS[m], DENSE_P[m]};
        const measured_rows s = measured({X.data(), 5, d}, metric);
        float want[4];
        for (int r = 0; r < 4; ++r)
            want[r] = dense_reference(metric.kind, metric.p, &X[0], rows[r], d);
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
        if (dist_path_available(DIST_FMA)) {
            float out[4];
            if (m == 0)
                dense_metric_space<fma_lanes, manhattan_measure>::dist4(s, &X[0], rows, out,
                                                                        nullptr);
            if (m == 1)
                dense_metric_space<fma_lanes, chebyshev_measure>::dist4(s, &X[0], rows, out,
                                                                        nullptr);
            if (m == 2)
                dense_metric_space<fma_lanes, integer_power_measure>::dist4(s, &X[0], rows, out,
                                                                            nullptr);
            for (int r = 0; r < 4; ++r) EXPECT_EQ(bits_of(out[r]), bits_of(want[r])) << m;
            // Bounds below every distance: partial results, none above its distance.
            const float tiny[4] = {0.0f, 0.0f, 0.0f, 0.0f};
            if (m == 0)
                dense_metric_space<fma_lanes, manhattan_measure>::dist4(s, &X[0], rows, out, tiny);
            if (m == 1)
                dense_metric_space<fma_lanes, chebyshev_measure>::dist4(s, &X[0], rows, out, tiny);
            if (m == 2)
                dense_metric_space<fma_lanes, integer_power_measure>::dist4(s, &X[0], rows, out,
                                                                            tiny);
            for (int r = 0; r < 4; ++r) EXPECT_LE(out[r], want[r]) << m;
        }
#endif
    }
}

TEST(BitDistances, EveryCountingPathMatchesTheBitsOneByOne) {
    std::mt19937_64 gen(3);
    for (int w = 1; w <= 40; w += (w < 12 ? 1 : 9)) {
        std::vector<uint64_t> W(2 * size_t(w));
        for (int rep = 0; rep < 4; ++rep) {
            for (auto &v : W) v = rep == 0 ? 0 : rep == 1 ? ~uint64_t(0) : gen() & gen();
            const bit_rows s = {W.data(), 2, w};
            for (int kind : BIT_KINDS) {
                const float want = bits_reference(kind, &W[0], &W[w], w);
                for (bits_path p : counting_paths())
                    ASSERT_EQ(bits_of(measured_by(bits_ops(p, kind), &s)), bits_of(want))
                        << "kind " << kind << " w " << w << " path " << p << " rows " << rep;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// The whole search
// ---------------------------------------------------------------------------

// The reference spaces: the stated measures, and the splits of the dense
// search (bit rows as 0/1 rows).
struct dense_space {
    const std::vector<float> &X;
    int d;
    mirnak_metric metric;
    float dist(int32_t i, int32_t j) const {
        return dense_reference(metric.kind, metric.p, &X[size_t(i) * d], &X[size_t(j) * d], d);
    }
    std::vector<double> values(const std::vector<int32_t> &node, int32_t a, int32_t b) const {
        return knnref::euclidean{X, d}.values(node, a, b);
    }
};

struct bit_space {
    const std::vector<uint64_t> &W;
    int w, kind;
    bool bit(int32_t i, int j) const { return (W[size_t(i) * w + j / 64] >> (j % 64)) & 1; }
    float dist(int32_t i, int32_t j) const {
        return bits_reference(kind, &W[size_t(i) * w], &W[size_t(j) * w], w);
    }
    std::vector<double> values(const std::vector<int32_t> &node, int32_t a, int32_t b) const {
        std::vector<double> v;
        for (int32_t x : node) {
            int64_t dot = 0;
            for (int j = 0; j < 64 * w; ++j) dot += bit(x, j) * (int(bit(b, j)) - int(bit(a, j)));
            v.push_back(double(dot));
        }
        return v;
    }
};

struct outputs {
    int rc;
    std::vector<int32_t> idx;
    std::vector<float> dist;
    bool operator==(const outputs &o) const {
        return rc == o.rc && idx == o.idx &&
               std::memcmp(dist.data(), o.dist.data(), dist.size() * 4) == 0;
    }
};

const mirnak_knn_run RUN = {6, 3, 5, 10, 4321, 3};

outputs dense_search(dist_path p, const std::vector<float> &X, int n, int d, mirnak_metric m,
                     int threads, const mirnak_knn_run &run = RUN) {
    outputs o{0, std::vector<int32_t>(size_t(n) * run.k, 55),
              std::vector<float>(size_t(n) * run.k, -2.0f)};
    const mirnak_dense_rows rows = {X.data(), n, d};
    o.rc = dense_metric_search(p, &rows, &m, &run, o.idx.data(), o.dist.data(), threads, nullptr);
    return o;
}

outputs bit_search(bits_path p, const std::vector<uint64_t> &W, int n, int w, int kind, int threads,
                   const mirnak_knn_run &run = RUN) {
    outputs o{0, std::vector<int32_t>(size_t(n) * run.k, 55),
              std::vector<float>(size_t(n) * run.k, -2.0f)};
    const mirnak_bit_rows rows = {W.data(), n, w};
    const mirnak_metric m = {kind, 0.0f};
    o.rc = bits_search(p, &rows, &m, &run, o.idx.data(), o.dist.data(), threads, nullptr);
    return o;
}

outputs reference_of(const knnref::result &r) {
    return outputs{0, r.idx, r.dist};
}

TEST(MetricSearch, EveryPathAndThreadCountGivesTheReferenceSearch) {
    const int n = 400, d = 13;
    const std::vector<float> X = clustered(n, d, 17);
    for (int m = 0; m < 4; ++m) {
        const mirnak_metric metric = {DENSE_KINDS[m], DENSE_P[m]};
        const outputs want =
            reference_of(knnref::knn_in(dense_space{X, d, metric}, n, RUN.k, RUN.n_trees,
                                        RUN.n_iters, RUN.leaf_size, RUN.seed, RUN.tree_workers));
        for (dist_path p : dense_paths())
            for (int threads : {1, 2, 7})
                EXPECT_TRUE(dense_search(p, X, n, d, metric, threads) == want)
                    << "kind " << metric.kind << " p " << metric.p << " path " << p << " threads "
                    << threads;
    }
}

TEST(BitSearch, EveryPathAndThreadCountGivesTheReferenceSearch) {
    const int n = 300, w = 11;
    const std::vector<uint64_t> W = clustered_bits(n, w, 23);
    for (int kind : BIT_KINDS) {
        const outputs want =
            reference_of(knnref::knn_in(bit_space{W, w, kind}, n, RUN.k, RUN.n_trees, RUN.n_iters,
                                        RUN.leaf_size, RUN.seed, RUN.tree_workers));
        for (bits_path p : counting_paths())
            for (int threads : {1, 2, 7})
                EXPECT_TRUE(bit_search(p, W, n, w, kind, threads) == want)
                    << "kind " << kind << " path " << p << " threads " << threads;
    }
}

TEST(MetricSearch, RefusesBadArgumentsWithoutTouchingOutputs) {
    const int n = 50, d = 4, w = 2;
    const std::vector<float> X = clustered(n, d, 1);
    const std::vector<uint64_t> W = clustered_bits(n, w, 1);
    const outputs untouched{MIRNAK_INVALID, std::vector<int32_t>(size_t(n) * RUN.k, 55),
                            std::vector<float>(size_t(n) * RUN.k, -2.0f)};
    const dist_path dp = best_dist_path();
    const bits_path bp = best_bits_path();
    for (float p : {0.5f, -1.0f, NAN, INFINITY})
        EXPECT_TRUE(dense_search(dp, X, n, d, {MIRNAK_MINKOWSKI, p}, 1) == untouched) << p;
    for (int kind : {0, MIRNAK_HAMMING, 99})
        EXPECT_TRUE(dense_search(dp, X, n, d, {kind, 2.0f}, 1) == untouched) << kind;
    for (int kind : {0, MIRNAK_MANHATTAN, MIRNAK_MINKOWSKI, 7})
        EXPECT_TRUE(bit_search(bp, W, n, w, kind, 1) == untouched) << kind;
    for (int k : {0, n}) {
        mirnak_knn_run run = RUN;
        run.k = k;
        EXPECT_EQ(dense_search(dp, X, n, d, {MIRNAK_MANHATTAN, 1.0f}, 1, run).rc, MIRNAK_INVALID);
        EXPECT_EQ(bit_search(bp, W, n, w, MIRNAK_JACCARD, 1, run).rc, MIRNAK_INVALID);
    }
    const mirnak_metric m = {MIRNAK_JACCARD, 0.0f};
    int32_t idx[1];
    float dist[1];
    const mirnak_bit_rows no_words = {W.data(), n, 0}, none = {nullptr, n, w};
    EXPECT_EQ(mirnak_knn_descent_bits_u64(&no_words, &m, &RUN, idx, dist, 1, nullptr),
              MIRNAK_INVALID);
    EXPECT_EQ(mirnak_knn_descent_bits_u64(&none, &m, &RUN, idx, dist, 1, nullptr), MIRNAK_INVALID);
    EXPECT_EQ(mirnak_knn_descent_bits_u64(nullptr, &m, &RUN, idx, dist, 1, nullptr),
              MIRNAK_INVALID);
    // A stop set before the call: nothing runs.
    mirnak_control ctl = {-1, 1};
    const mirnak_dense_rows rows = {X.data(), n, d};
    const mirnak_metric cheb = {MIRNAK_CHEBYSHEV, 0.0f};
    std::vector<int32_t> out_idx(size_t(n) * RUN.k, 55);
    std::vector<float> out_dist(size_t(n) * RUN.k, -2.0f);
    EXPECT_EQ(
        mirnak_knn_descent_metric_f32(&rows, &cheb, &RUN, out_idx.data(), out_dist.data(), 1, &ctl),
        MIRNAK_STOPPED);
    EXPECT_EQ(ctl.progress, 0);
    EXPECT_EQ(out_idx, untouched.idx);
}

} // namespace
