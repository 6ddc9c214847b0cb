// kNN search: heap tie-breaks, generator, distance kernel paths bit for bit,
// selection, and the kernel against a plain reference and its own contracts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "knn_internal.h"
#include "knn_reference.h"
#include "vornik_kernels.h"

namespace {

using namespace vornik::knn;

// ---------------------------------------------------------------------------
// Neighbour heap
// ---------------------------------------------------------------------------

struct row {
    std::vector<float> hd;
    std::vector<int32_t> hi;
    std::vector<uint8_t> hf;
    explicit row(int k) : hd(k, SENTINEL_DIST), hi(k, -1), hf(k, 1) {}
    int push(int32_t c, float dc) {
        return hpush(hd.data(), hi.data(), hf.data(), int(hd.size()), c, dc);
    }
    bool is_heap() const {
        const int k = int(hd.size());
        for (int p = 1; p < k; ++p)
            if (hd[(p - 1) / 2] < hd[p]) return false;
        return true;
    }
};

TEST(Hpush, SentinelHasItsFixedBits) {
    uint32_t bits;
    std::memcpy(&bits, &SENTINEL_DIST, 4);
    EXPECT_EQ(bits, 0x7149F2CAu);
}

TEST(Hpush, FreshRowRefusesSentinelDistanceAndInfinity) {
    row r(4);
    EXPECT_EQ(r.push(3, SENTINEL_DIST), 0);
    EXPECT_EQ(r.push(3, std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(r.hi, std::vector<int32_t>(4, -1));
    EXPECT_EQ(r.push(3, std::nextafter(SENTINEL_DIST, 0.0f)), 1);
}

TEST(Hpush, FirstInsertionFollowsLeftChildren) {
    for (int k : {1, 2, 3, 5, 7, 8, 16, 31}) {
        row r(k);
        ASSERT_EQ(r.push(9, 1.0f), 1);
        int expected = 0;
        while (2 * expected + 1 < k) expected = 2 * expected + 1;
        for (int j = 0; j < k; ++j) EXPECT_EQ(r.hi[j], j == expected ? 9 : -1) << "k=" << k;
        EXPECT_EQ(r.hf[expected], 1);
    }
}

TEST(Hpush, DistanceEqualToRootIsRefused) {
    row r(3);
    r.push(1, 5.0f);
    r.push(2, 4.0f);
    r.push(3, 6.0f);
    const row before = r;
    EXPECT_EQ(r.push(7, 6.0f), 0);
    EXPECT_EQ(r.hi, before.hi);
    EXPECT_EQ(r.hd, before.hd);
}

TEST(Hpush, RepeatIsRefusedEvenWhenCloser) {
    row r(3);
    r.push(1, 5.0f);
    r.push(2, 4.0f);
    r.hf.assign(3, 0);
    const row before = r;
    EXPECT_EQ(r.push(2, 0.5f), 0);
    EXPECT_EQ(r.hd, before.hd);
    EXPECT_EQ(r.hf, before.hf);
}

TEST(Hpush, SingleEntryRowReplacesOnlyStrictlyCloserNewIds) {
    row r(1);
    EXPECT_EQ(r.push(4, 2.0f), 1);
    EXPECT_EQ(r.push(4, 1.0f), 0);
    EXPECT_EQ(r.push(5, 2.0f), 0);
    EXPECT_EQ(r.push(5, 1.5f), 1);
    EXPECT_EQ(r.hi[0], 5);
    EXPECT_EQ(r.hd[0], 1.5f);
}

TEST(Hpush, NaNTakesTheRootAndIsReplacedByTheNextOffer) {
    row r(3);
    r.push(1, 1.0f);
    r.push(2, 2.0f);
    r.push(3, 3.0f);
    EXPECT_EQ(r.push(4, std::nanf("")), 1);
    EXPECT_EQ(r.hi[0], 4);
    EXPECT_TRUE(std::isnan(r.hd[0]));
    EXPECT_EQ(r.push(4, 0.5f), 0); // still a repeat
    EXPECT_EQ(r.push(5, 100.0f), 1);
    EXPECT_EQ(r.hi[0], 5);
    EXPECT_EQ(r.hd[0], 100.0f);
}

TEST(Hpush, EqualChildrenSendTheEntryLeft) {
    row r(3);
    r.push(1, 2.0f); // goes to position 1
    r.push(2, 2.0f); // sentinel root moves down: left child is 2.0, right is sentinel
    r.push(3, 2.0f);
    // Root 2.0 with two children 2.0: the next insert replaces the root and,
    // smaller than both, swaps with the left one.
    const int32_t left = r.hi[1];
    ASSERT_EQ(r.push(9, 1.0f), 1);
    EXPECT_EQ(r.hi[1], 9);
    EXPECT_EQ(r.hi[0], left);
}

TEST(Hpush, KeepsTheSmallestDistinctCandidatesInHeapOrder) {
    std::mt19937 gen(7);
    for (int k : {1, 2, 5, 15, 32}) {
        row r(k);
        std::vector<float> dist_of(200);
        for (auto &v : dist_of) v = float(gen() % 1000) / 8.0f; // many ties
        std::vector<std::pair<float, int>> offered;
        for (int t = 0; t < 2000; ++t) {
            const int c = int(gen() % 200);
            r.push(c, dist_of[c]);
            ASSERT_TRUE(r.is_heap());
            offered.push_back({dist_of[c], c});
        }
        std::vector<float> got(r.hd), want;
        std::sort(offered.begin(), offered.end());
        offered.erase(std::unique(offered.begin(), offered.end()), offered.end());
        for (int j = 0; j < k && j < int(offered.size()); ++j) want.push_back(offered[j].first);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << "k=" << k;
        std::vector<int32_t> ids(r.hi);
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
    }
}

// ---------------------------------------------------------------------------
// Generator
// ---------------------------------------------------------------------------

TEST(Sm64, KnownSequenceFromZero) {
    uint64_t s = 0;
    EXPECT_EQ(sm64(&s), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(s, 0x9E3779B97F4A7C15ULL);
    EXPECT_EQ(sm64(&s), 0x6E789E6AA1B965F4ULL);
}

// ---------------------------------------------------------------------------
// Distance kernels
// ---------------------------------------------------------------------------

uint32_t bits_of(float v) {
    uint32_t b;
    std::memcpy(&b, &v, 4);
    return b;
}

// The stated order, written without lanes: element t + q of block-8 step goes
// to accumulator (q < 4 ? a0 : a1)[q mod 4].
float order_sqd(const float *a, const float *b, int d, bool squares) {
    float acc[2][4] = {};
    int t = 0;
    auto term = [&](int u, float &acc_lane) {
        const float x = squares ? a[u] - b[u] : a[u];
        const float y = squares ? x : b[u];
        acc_lane = fmaf(x, y, acc_lane);
    };
    for (; t + 8 <= d; t += 8)
        for (int q = 0; q < 8; ++q) term(t + q, acc[q / 4][q % 4]);
    for (; t + 4 <= d; t += 4)
        for (int q = 0; q < 4; ++q) term(t + q, acc[0][q]);
    float v[4];
    for (int q = 0; q < 4; ++q) v[q] = acc[0][q] + acc[1][q];
    float s = (v[0] + v[1]) + (v[2] + v[3]);
    for (; t < d; ++t) {
        const float x = squares ? a[t] - b[t] : a[t];
        const float y = squares ? x : b[t];
        const float p = x * y;
        s = s + p;
    }
    return s;
}

std::vector<dist_path> available_paths() {
    std::vector<dist_path> p;
    for (dist_path q : {DIST_SCALAR, DIST_FMA, DIST_NEON})
        if (dist_path_available(q)) p.push_back(q);
    return p;
}

void batch_on(dist_path p, bool squares, const float *a, const float *const *b, int d, float *out) {
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    if (p == DIST_FMA) {
        squares ? fma_path::sqd4(a, b, d, out) : fma_path::dotp4(a, b, d, out);
        return;
    }
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    if (p == DIST_NEON) {
        squares ? neon_path::sqd4(a, b, d, out) : neon_path::dotp4(a, b, d, out);
        return;
    }
#endif
    squares ? scalar_path::sqd4(a, b, d, out) : scalar_path::dotp4(a, b, d, out);
}

TEST(DistanceKernels, EveryPathMatchesTheStatedOrderBitForBit) {
    std::mt19937 gen(11);
    std::normal_distribution<float> nd(0.0f, 3.0f);
    std::vector<int> dims;
    for (int d = 0; d <= 40; ++d) dims.push_back(d);
    for (int d : {63, 64, 65, 129, 784, 1001}) dims.push_back(d);
    // One extra float in front so that rows start 4 bytes past a 16-byte boundary.
    std::vector<float> buf(6 * 1002 + 8);
    for (int d : dims) {
        for (int rep = 0; rep < 20; ++rep) {
            for (auto &v : buf) v = nd(gen) * (rep % 3 == 0 ? 1e-3f : 1.0f);
            for (int off : {0, 1, 3}) {
                const float *a = buf.data() + off;
                const float *b[4];
                for (int r = 0; r < 4; ++r) b[r] = buf.data() + (r + 1) * 1002 + off + r;
                const float want_sq = order_sqd(a, b[0], d, true);
                const float want_dot = order_sqd(a, b[0], d, false);
                for (dist_path p : available_paths()) {
                    ASSERT_EQ(bits_of(sqd_on(p, a, b[0], d)), bits_of(want_sq))
                        << "path " << p << " d " << d;
                    ASSERT_EQ(bits_of(dotp_on(p, a, b[0], d)), bits_of(want_dot))
                        << "path " << p << " d " << d;
                    float out[4];
                    batch_on(p, true, a, b, d, out);
                    for (int r = 0; r < 4; ++r)
                        ASSERT_EQ(bits_of(out[r]), bits_of(order_sqd(a, b[r], d, true)))
                            << "sqd4 path " << p << " d " << d << " r " << r;
                    batch_on(p, false, a, b, d, out);
                    for (int r = 0; r < 4; ++r)
                        ASSERT_EQ(bits_of(out[r]), bits_of(order_sqd(b[r], a, d, false)))
                            << "dotp4 path " << p << " d " << d << " r " << r;
                }
            }
        }
    }
}

void bounded_on(dist_path p, const float *a, const float *const *b, int d, float *out,
                const float *bound) {
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    if (p == DIST_FMA) return fma_path::sqd4(a, b, d, out, bound);
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    if (p == DIST_NEON) return neon_path::sqd4(a, b, d, out, bound);
#endif
    scalar_path::sqd4(a, b, d, out, bound);
}

TEST(DistanceKernels, BoundedEvaluationStopsOnlyAtALowerBoundThatReachesIt) {
    std::mt19937 gen(13);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    for (int d : {8, 31, 32, 33, 64, 100, 784}) {
        std::vector<float> buf(5 * d + 8);
        for (int rep = 0; rep < 100; ++rep) {
            for (auto &v : buf) v = nd(gen);
            const float *a = buf.data() + 1;
            const float *b[4] = {a + d, a + 2 * d, a + 3 * d, a + 4 * d};
            float full[4], part[4], bound[4];
            scalar_path::sqd4(a, b, d, full);
            for (int r = 0; r < 4; ++r) bound[r] = full[r] * 0.1f * float((rep + r) % 12);
            for (dist_path p : available_paths()) {
                bounded_on(p, a, b, d, part, bound);
                for (int r = 0; r < 4; ++r) {
                    if (bits_of(part[r]) == bits_of(full[r])) continue;
                    // Stopped early: a lower bound of the distance, at its bound.
                    EXPECT_LT(part[r], full[r]) << "path " << p << " d " << d;
                    EXPECT_GE(part[r], bound[r]) << "path " << p << " d " << d;
                }
            }
        }
    }
}

TEST(DistanceKernels, OrderIsNotPlainLeftToRight) {
    // Guards the reference above: with these values the lane order and a
    // sequential sum disagree, so a sequential kernel would be caught.
    // Sequentially 1e8 + 1 loses the 1 and the result is 1; in lanes the two
    // ones cancel against each other's partner and the result is 0.
    const float a[5] = {1e8f, 1.0f, -1e8f, 1.0f, 0.0f};
    const float one[5] = {1, 1, 1, 1, 1};
    float seq = 0.0f;
    for (int t = 0; t < 5; ++t) seq = seq + a[t] * one[t];
    EXPECT_EQ(seq, 1.0f);
    EXPECT_EQ(order_sqd(a, one, 5, false), 0.0f);
    EXPECT_EQ(bits_of(dotp(a, one, 5)), bits_of(order_sqd(a, one, 5, false)));
}

TEST(DistanceKernels, SymmetricAndZeroOnItself) {
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> u(-10.0f, 10.0f);
    for (int d : {1, 3, 4, 7, 8, 13, 50}) {
        std::vector<float> a(d), b(d);
        for (int t = 0; t < d; ++t) a[t] = u(gen), b[t] = u(gen);
        EXPECT_EQ(bits_of(sqd(a.data(), b.data(), d)), bits_of(sqd(b.data(), a.data(), d)));
        EXPECT_EQ(bits_of(sqd(a.data(), a.data(), d)), 0u);
    }
}

// ---------------------------------------------------------------------------
// Selection
// ---------------------------------------------------------------------------

// Randomised Lomuto quickselect exactly as stated, branch for branch.
void plain_qselect(double *pv, int32_t *idx, int n, int target, uint64_t *rng) {
    int lo = 0, hi = n - 1;
    while (lo < hi) {
        const int p = lo + int(sm64(rng) % uint64_t(hi - lo + 1));
        const double pivot = pv[p];
        std::swap(pv[p], pv[lo]);
        std::swap(idx[p], idx[lo]);
        int store = lo;
        for (int i = lo + 1; i <= hi; ++i)
            if (pv[i] < pivot) {
                ++store;
                std::swap(pv[store], pv[i]);
                std::swap(idx[store], idx[i]);
            }
        std::swap(pv[lo], pv[store]);
        std::swap(idx[lo], idx[store]);
        if (store == target) return;
        if (store < target)
            lo = store + 1;
        else
            hi = store - 1;
    }
}

TEST(Qselect, SameOrderAndDrawsAsTheReferenceSelection) {
    std::mt19937 gen(17);
    for (int n : {1, 2, 3, 4, 9, 64, 333, 2000}) {
        for (int rep = 0; rep < 12; ++rep) {
            std::vector<double> pv(n);
            std::vector<int32_t> idx(n);
            for (int i = 0; i < n; ++i) {
                pv[i] = rep % 3 == 0 ? 1.0 : double(gen() % (rep % 2 ? 7 : 1000000));
                idx[i] = int32_t(gen() % 100000);
            }
            if (rep == 5 && n > 2) pv[1] = std::nan("");
            std::vector<std::pair<double, int32_t>> ref;
            for (int i = 0; i < n; ++i) ref.push_back({pv[i], idx[i]});
            uint64_t r1 = 1000 + rep, r2 = 1000 + rep;
            const int target = int(gen() % uint32_t(n));
            qselect(pv.data(), idx.data(), n, target, &r1);
            knnref::select(ref, target, r2);
            ASSERT_EQ(r1, r2) << "n " << n;
            for (int i = 0; i < n; ++i) {
                ASSERT_EQ(idx[i], ref[i].second) << "n " << n << " rep " << rep;
                ASSERT_EQ(std::memcmp(&pv[i], &ref[i].first, sizeof(double)), 0);
            }
        }
    }
}

TEST(Qselect, WithoutHeavyTiesEveryPassIsPlainLomuto) {
    // Distinct values, and values repeated 15 times: no pass meets 16 values
    // equal to its pivot, so draws and arrangement are those of plain Lomuto.
    std::mt19937 gen(23);
    for (int copies : {1, 15}) {
        for (int n : {2, 50, 999, 5000}) {
            std::vector<double> pv(n);
            std::vector<int32_t> idx(n);
            for (int i = 0; i < n; ++i) pv[i] = double(i / copies) * 0.75, idx[i] = i;
            std::shuffle(pv.begin(), pv.end(), gen);
            std::vector<double> pv2 = pv;
            std::vector<int32_t> idx2 = idx;
            uint64_t r1 = 7 + n, r2 = 7 + n;
            const int target = int(gen() % uint32_t(n));
            qselect(pv.data(), idx.data(), n, target, &r1);
            plain_qselect(pv2.data(), idx2.data(), n, target, &r2);
            ASSERT_EQ(r1, r2) << "n " << n << " copies " << copies;
            ASSERT_EQ(idx, idx2) << "n " << n << " copies " << copies;
            ASSERT_EQ(pv, pv2);
        }
    }
}

// Passes a selection took: each draws exactly one word.
int passes_from(uint64_t seed, uint64_t after) {
    int passes = 0;
    for (uint64_t s = seed; s != after; ++passes) knnref::next_word(s);
    return passes;
}

TEST(Qselect, HeavilyTiedValuesTakeFewPasses) {
    // Plain Lomuto settles one of many equal values per pass: tens of
    // thousands of passes here, each over most of the range.
    const int n = 100000;
    std::vector<double> pv(n, 3.0);
    std::vector<int32_t> idx(n);
    for (int i = 0; i < n; ++i) idx[i] = i;
    uint64_t rng = 9;
    qselect(pv.data(), idx.data(), n, n / 2, &rng);
    EXPECT_EQ(passes_from(9, rng), 1);

    // Half the values tied, the rest distinct.
    std::mt19937 gen(4);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int i = 0; i < n; ++i) pv[i] = i % 2 ? 0.5 : u(gen);
    for (int target : {0, n / 4, n / 2, n - 1}) {
        std::vector<double> v = pv;
        rng = 11;
        qselect(v.data(), idx.data(), n, target, &rng);
        EXPECT_LE(passes_from(11, rng), 200) << target;
        EXPECT_LE(*std::max_element(v.begin(), v.begin() + target), v[target]);
        EXPECT_GE(*std::min_element(v.begin() + target, v.end()), v[target]);
    }
}

TEST(Qselect, OneElementDrawsNothingAndOthersDrawOncePerPass) {
    double pv1[1] = {4.0};
    int32_t id1[1] = {0};
    uint64_t rng = 5;
    qselect(pv1, id1, 1, 0, &rng);
    EXPECT_EQ(rng, 5u);
    // Two equal values: the first pass settles the pivot at lo; if that is
    // not the target a second pass on one element ends without a draw.
    double pv2[2] = {1.0, 1.0};
    int32_t id2[2] = {0, 1};
    qselect(pv2, id2, 2, 1, &rng);
    uint64_t expect = 5;
    sm64(&expect);
    EXPECT_EQ(rng, expect);
}

// ---------------------------------------------------------------------------
// The kernel
// ---------------------------------------------------------------------------

std::vector<float> clustered(int n, int d, int clusters, uint32_t seed, float spread = 1.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    std::vector<float> centres(size_t(clusters) * d), X(size_t(n) * d);
    for (auto &v : centres) v = 6.0f * nd(gen);
    for (int i = 0; i < n; ++i) {
        const int c = int(gen() % clusters);
        for (int t = 0; t < d; ++t)
            X[size_t(i) * d + t] = centres[size_t(c) * d + t] + spread * nd(gen);
    }
    return X;
}

struct run_result {
    int rc;
    std::vector<int32_t> idx;
    std::vector<float> dist;
};

run_result run(const std::vector<float> &X, int n, int d, int k, int trees, int iters, int leaf,
               uint64_t seed, int threads) {
    run_result r{0, std::vector<int32_t>(size_t(n) * k, 777),
                 std::vector<float>(size_t(n) * k, -3.0f)};
    r.rc = mirnak_knn_descent_f32(n, d, k, X.data(), trees, iters, leaf, seed, r.idx.data(),
                                  r.dist.data(), threads);
    return r;
}

bool same_bits(const run_result &a, const run_result &b) {
    return a.rc == b.rc && a.idx == b.idx &&
           std::memcmp(a.dist.data(), b.dist.data(), a.dist.size() * 4) == 0 &&
           a.dist.size() == b.dist.size();
}

// Heap order, no self, no repeats, distances recomputable, sentinels intact.
void expect_well_formed(const run_result &r, const std::vector<float> &X, int n, int d, int k) {
    ASSERT_EQ(r.rc, 0);
    for (int i = 0; i < n; ++i) {
        const int32_t *ids = &r.idx[size_t(i) * k];
        const float *ds = &r.dist[size_t(i) * k];
        std::vector<int32_t> seen;
        for (int j = 0; j < k; ++j) {
            if (j > 0) {
                ASSERT_LE(ds[j], ds[(j - 1) / 2]) << "row " << i;
            }
            if (ids[j] < 0) {
                ASSERT_EQ(ids[j], -1);
                ASSERT_EQ(ds[j], SENTINEL_DIST);
                continue;
            }
            ASSERT_LT(ids[j], n);
            ASSERT_NE(ids[j], i);
            seen.push_back(ids[j]);
            ASSERT_EQ(bits_of(ds[j]),
                      bits_of(scalar_path::sqd(&X[size_t(i) * d], &X[size_t(ids[j]) * d], d)));
        }
        std::sort(seen.begin(), seen.end());
        ASSERT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end()) << "row " << i;
    }
}

TEST(KnnKernel, RejectsInvalidSizesWithoutTouchingOutputs) {
    const std::vector<float> X = clustered(10, 3, 2, 1);
    const struct {
        int n, d, k;
    } bad[] = {{0, 3, 2},   {-1, 3, 2},  {10, 0, 2},  {10, -2, 2}, {10, 3, 0},
               {10, 3, -1}, {10, 3, 10}, {10, 3, 11}, {1, 3, 1}};
    for (const auto &b : bad) {
        std::vector<int32_t> idx(200, 777);
        std::vector<float> dist(200, -3.0f);
        EXPECT_EQ(
            mirnak_knn_descent_f32(b.n, b.d, b.k, X.data(), 2, 2, 5, 1, idx.data(), dist.data(), 1),
            -1);
        EXPECT_EQ(idx, std::vector<int32_t>(200, 777));
        EXPECT_EQ(dist, std::vector<float>(200, -3.0f));
    }
}

TEST(KnnKernel, AcceptsKOneBelowN) {
    const std::vector<float> X = clustered(12, 4, 2, 2);
    const run_result r = run(X, 12, 4, 11, 1, 1, 0, 3, 1);
    expect_well_formed(r, X, 12, 4, 11);
    for (int32_t id : r.idx) EXPECT_GE(id, 0); // every other point fits
}

TEST(KnnKernel, ExactWhenAllPointsShareOneLeaf) {
    const int n = 40, d = 7, k = 6;
    const std::vector<float> X = clustered(n, d, 3, 4);
    const run_result r = run(X, n, d, k, 1, 1, n, 9, 2);
    expect_well_formed(r, X, n, d, k);
    for (int i = 0; i < n; ++i) {
        std::vector<std::pair<float, int>> all;
        for (int j = 0; j < n; ++j)
            if (j != i)
                all.push_back({scalar_path::sqd(&X[size_t(i) * d], &X[size_t(j) * d], d), j});
        std::sort(all.begin(), all.end());
        std::vector<int> want, got(&r.idx[size_t(i) * k], &r.idx[size_t(i) * k] + k);
        for (int j = 0; j < k; ++j) want.push_back(all[j].second);
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << "row " << i;
    }
}

TEST(KnnKernel, MatchesThePlainReferenceBitForBit) {
    struct cfg {
        int n, d, k, trees, iters, leaf, threads;
    } cases[] = {
        {300, 5, 4, 3, 5, 10, 3},   {500, 13, 8, 4, 10, 20, 2}, {257, 33, 1, 2, 4, 3, 4},
        {400, 64, 15, 5, 3, 30, 8}, {150, 2, 10, 1, 8, 0, 1},   {300, 6, 1, 9, 5, 4, 8},
        {350, 200, 7, 4, 6, 16, 2}, {300, 97, 5, 6, 4, 9, 1},   {1200, 9, 5, 2, 20, 12, 2},
    };
    for (const cfg &c : cases) {
        const std::vector<float> X = clustered(c.n, c.d, 5, uint32_t(c.n + c.d));
        const run_result r = run(X, c.n, c.d, c.k, c.trees, c.iters, c.leaf, 1234, c.threads);
        expect_well_formed(r, X, c.n, c.d, c.k);
        const int teff = std::max(1, std::min(c.threads, c.trees));
        const knnref::result want =
            knnref::knn(X, c.n, c.d, c.k, c.trees, c.iters, c.leaf, 1234, teff);
        EXPECT_EQ(r.idx, want.idx) << "n " << c.n << " d " << c.d;
        EXPECT_EQ(std::memcmp(r.dist.data(), want.dist.data(), r.dist.size() * 4), 0);
    }
}

TEST(KnnKernel, EveryDistancePathGivesTheSameResult) {
    const int n = 700, d = 21, k = 9;
    const std::vector<float> X = clustered(n, d, 5, 77);
    const run_result best = run(X, n, d, k, 3, 6, 14, 55, 2);
    for (dist_path p : available_paths()) {
        run_result r{0, std::vector<int32_t>(size_t(n) * k), std::vector<float>(size_t(n) * k)};
        r.rc = knn_descent_on_path(p, {X.data(), n, d},
                                   {k, 3, 6, 14, 55, r.idx.data(), r.dist.data()}, 2);
        EXPECT_TRUE(same_bits(best, r)) << "path " << p;
    }
}

TEST(KnnKernel, NonFiniteInputsStillMatchTheReference) {
    const int n = 200, d = 6, k = 5;
    std::vector<float> X = clustered(n, d, 4, 8);
    X[17 * d + 2] = std::nanf("");
    X[90 * d + 0] = std::numeric_limits<float>::infinity();
    const run_result r = run(X, n, d, k, 3, 6, 8, 5, 3);
    ASSERT_EQ(r.rc, 0);
    const knnref::result want = knnref::knn(X, n, d, k, 3, 6, 8, 5, 3);
    EXPECT_EQ(r.idx, want.idx);
    EXPECT_EQ(std::memcmp(r.dist.data(), want.dist.data(), r.dist.size() * 4), 0);
}

TEST(KnnKernel, ClosedLeavesLeaveSentinels) {
    // k + 2 points and leaves of at most k + 1: one split into two leaves of
    // three. Neighbours of neighbours and reverse neighbours stay inside a
    // leaf, so each row holds two real entries and k - 2 sentinels.
    const int k = 4, n = k + 2, d = 2;
    const std::vector<float> X = clustered(n, d, 2, 12);
    const run_result r = run(X, n, d, k, 1, 5, 0, 42, 1);
    expect_well_formed(r, X, n, d, k);
    for (int i = 0; i < n; ++i) {
        int sentinels = 0;
        for (int j = 0; j < k; ++j) sentinels += r.idx[size_t(i) * k + j] == -1;
        EXPECT_EQ(sentinels, 2) << "row " << i;
        EXPECT_EQ(r.idx[size_t(i) * k], -1); // the largest distance is at the root
    }
}

TEST(KnnKernel, ThreadCountMattersOnlyThroughTreeWorkers) {
    const int n = 600, d = 10, k = 7;
    const std::vector<float> X = clustered(n, d, 6, 21);
    const run_result three = run(X, n, d, k, 3, 6, 12, 99, 3);
    EXPECT_TRUE(same_bits(three, run(X, n, d, k, 3, 6, 12, 99, 4)));
    EXPECT_TRUE(same_bits(three, run(X, n, d, k, 3, 6, 12, 99, 8)));
    EXPECT_TRUE(same_bits(three, run(X, n, d, k, 3, 6, 12, 99, 64)));
    const run_result one_tree = run(X, n, d, k, 1, 6, 12, 99, 1);
    EXPECT_TRUE(same_bits(one_tree, run(X, n, d, k, 1, 6, 12, 99, 2)));
    EXPECT_TRUE(same_bits(one_tree, run(X, n, d, k, 1, 6, 12, 99, 8)));
    // Fewer workers than trees deal the trees differently.
    EXPECT_FALSE(same_bits(three, run(X, n, d, k, 3, 6, 12, 99, 1)));
}

TEST(KnnKernel, ClampsTreesItersAndLeaf) {
    const int n = 300, d = 4, k = 5;
    const std::vector<float> X = clustered(n, d, 3, 31);
    EXPECT_TRUE(same_bits(run(X, n, d, k, 0, 3, 9, 7, 2), run(X, n, d, k, 1, 3, 9, 7, 2)));
    EXPECT_TRUE(same_bits(run(X, n, d, k, -4, 3, 9, 7, 2), run(X, n, d, k, 1, 3, 9, 7, 2)));
    EXPECT_TRUE(same_bits(run(X, n, d, k, 2, 0, 9, 7, 2), run(X, n, d, k, 2, 1, 9, 7, 2)));
    EXPECT_TRUE(same_bits(run(X, n, d, k, 2, -1, 9, 7, 2), run(X, n, d, k, 2, 1, 9, 7, 2)));
    const run_result leaf = run(X, n, d, k, 2, 2, k + 1, 7, 2);
    for (int small : {-3, 0, 1, k})
        EXPECT_TRUE(same_bits(leaf, run(X, n, d, k, 2, 2, small, 7, 2))) << small;
}

TEST(KnnKernel, RepeatableAndSeeded) {
    const int n = 800, d = 16, k = 10;
    const std::vector<float> X = clustered(n, d, 8, 41);
    const run_result a = run(X, n, d, k, 4, 5, 15, 2024, 0);
    for (int rep = 0; rep < 3; ++rep) EXPECT_TRUE(same_bits(a, run(X, n, d, k, 4, 5, 15, 2024, 0)));
    EXPECT_FALSE(same_bits(a, run(X, n, d, k, 4, 1, 15, 2025, 0)));
    const run_result all_ones = run(X, n, d, k, 4, 5, 15, ~uint64_t(0), 2);
    expect_well_formed(all_ones, X, n, d, k);
}

TEST(KnnKernel, IdenticalPointsSplitAndTerminate) {
    const int n = 120, d = 3, k = 4;
    const std::vector<float> X(size_t(n) * d, 2.5f);
    const run_result r = run(X, n, d, k, 2, 3, 6, 1, 2);
    expect_well_formed(r, X, n, d, k);
    for (float v : r.dist) EXPECT_EQ(v, 0.0f);
}

TEST(KnnKernel, TreeWorkersBeyondTheThreadCapKeepTheirResult) {
    // 100 tree workers run on the capped threads, and their heaps are folded
    // into the output batch by batch, however small the batches: the result
    // is still that of 100 workers.
    const int n = 200, d = 4, k = 8, trees = 100;
    const std::vector<float> X = clustered(n, d, 3, 61);
    const knnref::result want = knnref::knn(X, n, d, k, trees, 2, 10, 5, trees);
    for (uint64_t batch_bytes : {uint64_t(1), uint64_t(200000), TREE_BATCH_BYTES}) {
        run_result r{0, std::vector<int32_t>(size_t(n) * k), std::vector<float>(size_t(n) * k)};
        r.rc = knn_descent_on_path(best_dist_path(), {X.data(), n, d},
                                   {k, trees, 2, 10, 5, r.idx.data(), r.dist.data()}, 1 << 30,
                                   batch_bytes);
        expect_well_formed(r, X, n, d, k);
        EXPECT_EQ(r.idx, want.idx) << batch_bytes;
        EXPECT_EQ(std::memcmp(r.dist.data(), want.dist.data(), r.dist.size() * 4), 0);
    }
}

// ---------------------------------------------------------------------------
// Fixed tree workers and the control block
// ---------------------------------------------------------------------------

run_result run_ctl(const std::vector<float> &X, int n, int d, int k, int trees, int iters, int leaf,
                   uint64_t seed, int tree_workers, int threads, mirnak_control *ctl) {
    run_result r{0, std::vector<int32_t>(size_t(n) * k, 777),
                 std::vector<float>(size_t(n) * k, -3.0f)};
    r.rc = mirnak_knn_descent_f32_ctl(n, d, k, X.data(), trees, iters, leaf, seed, r.idx.data(),
                                      r.dist.data(), tree_workers, threads, ctl);
    return r;
}

TEST(KnnControl, ThreadsChangeNothingOnceTheTreeWorkersAreFixed) {
    // Enough rows for many blocks of the merge and the refinement.
    const int n = 1500, d = 9, k = 8, trees = 5, iters = 6;
    const std::vector<float> X = clustered(n, d, 7, 51);
    for (int workers : {0, 2, 5, 9}) {
        const int as_threads = workers < 1 || workers > trees ? trees : workers;
        const run_result want = run(X, n, d, k, trees, iters, 10, 17, as_threads);
        for (int threads : {1, 2, 3, 8, 0}) {
            mirnak_control ctl = {-5, 0};
            EXPECT_TRUE(
                same_bits(run_ctl(X, n, d, k, trees, iters, 10, 17, workers, threads, &ctl), want))
                << workers << " workers, " << threads << " threads";
            EXPECT_EQ(ctl.progress, trees + iters);
        }
    }
    // Without a block, and with the clamps of the exported kernel.
    EXPECT_TRUE(same_bits(run_ctl(X, n, d, k, 0, 0, 10, 17, 3, 2, nullptr),
                          run(X, n, d, k, 1, 1, 10, 17, 2)));
    mirnak_control ctl = {0, 0};
    EXPECT_EQ(run_ctl(X, n, d, k, 0, -3, 10, 17, 0, 2, &ctl).rc, 0);
    EXPECT_EQ(ctl.progress, 2);
    EXPECT_EQ(run_ctl(X, n, d, n, 2, 2, 10, 17, 0, 2, &ctl).rc, -1);
}

// Runs the kernel on a thread of its own and sets the stop flag once the
// progress count reaches `after`.
run_result stop_midway(const std::vector<float> &X, int n, int d, int k, int trees, int iters,
                       int threads, int64_t after, mirnak_control *ctl) {
    std::atomic<bool> returned{false};
    run_result r;
    std::thread runner([&] {
        r = run_ctl(X, n, d, k, trees, iters, k + 2, 3, 0, threads, ctl);
        returned = true;
    });
    while (!returned && __atomic_load_n(&ctl->progress, __ATOMIC_RELAXED) < after)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    __atomic_store_n(&ctl->stop, 1, __ATOMIC_RELAXED);
    runner.join();
    return r;
}

TEST(KnnControl, AStopEndsTheForestOrTheRefinement) {
    const int n = 4000, d = 12, k = 10;
    const std::vector<float> X = clustered(n, d, 9, 52);
    // Before the call: nothing runs.
    mirnak_control ctl = {-5, 1};
    run_result r = run_ctl(X, n, d, k, 3, 3, 12, 3, 0, 2, &ctl);
    EXPECT_EQ(r.rc, MIRNAK_STOPPED);
    EXPECT_EQ(ctl.progress, 0);
    EXPECT_EQ(r.idx, std::vector<int32_t>(size_t(n) * k, 777));
    // In the forest (hundreds of trees): the outputs are untouched.
    for (int threads : {1, 2}) {
        ctl = {0, 0};
        r = stop_midway(X, n, d, k, 400, 3, threads, 2, &ctl);
        EXPECT_EQ(r.rc, MIRNAK_STOPPED);
        EXPECT_GE(ctl.progress, 2);
        EXPECT_LT(ctl.progress, 400);
        EXPECT_EQ(r.idx, std::vector<int32_t>(size_t(n) * k, 777));
    }
    // In the refinement (two small trees over spread-out points leave many
    // iterations of tens of milliseconds to go): valid heaps of an
    // unfinished search.
    const int m = 20000, dm = 24;
    const std::vector<float> Y = clustered(m, dm, 1, 53, 5.0f);
    ctl = {0, 0};
    r = stop_midway(Y, m, dm, k, 2, 1000, 2, 2 + 1, &ctl);
    EXPECT_EQ(r.rc, MIRNAK_STOPPED);
    EXPECT_GE(ctl.progress, 3);
    EXPECT_LT(ctl.progress, 2 + 1000);
    r.rc = 0;
    expect_well_formed(r, Y, m, dm, k);
}

TEST(KnnKernel, HugeDimensionOnAWorkerThread) {
    // One direction buffer of d floats per worker on the heap, not per level
    // on the stack: a deep forest over 100,000 dimensions runs on threads.
    const int n = 48, d = 100000, k = 2;
    std::vector<float> X(size_t(n) * d);
    std::mt19937 gen(1);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    for (auto &v : X) v = nd(gen);
    run_result r;
    std::thread caller([&] { r = run(X, n, d, k, 2, 2, 0, 3, 2); });
    caller.join();
    expect_well_formed(r, X, n, d, k);
}

} // namespace
