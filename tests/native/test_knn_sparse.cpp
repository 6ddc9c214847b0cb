// kNN search of sparse rows: every measure on every merge path against a
// reference that expands the rows, the search against the dense and bit
// searches on the same data, threads, the exact query, and refused matrices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "knn_reference.h"
#include "knn_sparse.h"
#include "vornik_kernels.h"

namespace {

using namespace vornik::knn;

uint32_t bits_of(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// A CSR matrix the tests own.
struct csr {
    int n = 0, d = 0;
    std::vector<int64_t> indptr{0};
    std::vector<int32_t> indices;
    std::vector<float> data;
    mirnak_sparse_rows rows() const {
        return {indptr.data(), indices.data(), data.data(), int64_t(indices.size()), n, d};
    }
    // Row i as d values.
    std::vector<double> dense(int i) const {
        std::vector<double> x(d, 0.0);
        for (int64_t j = indptr[i]; j < indptr[i + 1]; ++j) x[indices[j]] = data[j];
        return x;
    }
    std::vector<float> dense_all() const {
        std::vector<float> X(size_t(n) * d, 0.0f);
        for (int i = 0; i < n; ++i)
            for (int64_t j = indptr[i]; j < indptr[i + 1]; ++j)
                X[size_t(i) * d + indices[j]] = data[j];
        return X;
    }
};

// Rows of a few topics: each row draws its terms mostly from its topic's
// columns; integer values when `integral` (distances then exact in float),
// some empty rows.
csr topics(int n, int d, int per_row, uint32_t seed, bool integral) {
    std::mt19937 gen(seed);
    csr m;
    m.n = n, m.d = d;
    for (int i = 0; i < n; ++i) {
        std::vector<int32_t> cols;
        if (i % 53 != 7) {
            const int topic = int(gen() % 6), len = 1 + int(gen() % (2 * per_row));
            for (int t = 0; t < len; ++t) {
                const int c = gen() % 4 ? (topic * d / 6 + int(gen() % 40)) % d : int(gen() % d);
                cols.push_back(c);
            }
            std::sort(cols.begin(), cols.end());
            cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
        }
        for (int32_t c : cols) {
            m.indices.push_back(c);
            m.data.push_back(integral ? float(1 + gen() % 5) * (gen() % 7 ? 1.f : -1.f)
                                      : std::ldexp(float(gen() % 100000), -14) - 1.5f);
        }
        m.indptr.push_back(int64_t(m.indices.size()));
    }
    return m;
}

// n rows, each a copy of one of a few prototypes with some entries dropped
// and the values jittered: neighbourhoods a search can find.
csr near_copies(int n, int d, uint32_t seed) {
    const csr protos = topics(100, d, 25, seed, false);
    std::mt19937 gen(seed + 1);
    csr m;
    m.n = n, m.d = d;
    for (int i = 0; i < n; ++i) {
        const int p = int(gen() % protos.n);
        for (int64_t j = protos.indptr[p]; j < protos.indptr[p + 1]; ++j) {
            if (gen() % 5 == 0) continue;
            m.indices.push_back(protos.indices[j]);
            m.data.push_back(protos.data[j] + std::ldexp(float(gen() % 1024), -12));
        }
        m.indptr.push_back(int64_t(m.indices.size()));
    }
    return m;
}

// The distance of rows i and j from their dense expansions: norms and the
// shared sum each in ascending column order in double, as the measures state.
float reference(int kind, const csr &m, int i, int j) {
    const std::vector<double> a = m.dense(i), b = m.dense(j);
    double na = 0, nb = 0, s = 0;
    int64_t in_a = 0, in_b = 0, shared = 0;
    for (int t = 0; t < m.d; ++t) {
        const bool ha = std::binary_search(&m.indices[m.indptr[i]], &m.indices[m.indptr[i + 1]], t);
        const bool hb = std::binary_search(&m.indices[m.indptr[j]], &m.indices[m.indptr[j + 1]], t);
        in_a += ha, in_b += hb, shared += ha && hb;
        if (kind == MIRNAK_SQEUCLIDEAN) {
            na += a[t] * a[t], nb += b[t] * b[t];
            if (ha && hb) s += a[t] * b[t];
        } else {
            na += std::fabs(a[t]), nb += std::fabs(b[t]);
            if (ha && hb) s += std::fabs(a[t] - b[t]) - (std::fabs(a[t]) + std::fabs(b[t]));
        }
    }
    if (kind == MIRNAK_JACCARD) {
        const int64_t u = in_a + in_b - shared;
        return u ? float(double(u - shared) / double(u)) : 0.0f;
    }
    const double d = kind == MIRNAK_SQEUCLIDEAN ? (na + nb) - 2 * s : (na + nb) + s;
    return float(d < 0 ? 0.0 : d);
}

const int KINDS[] = {MIRNAK_SQEUCLIDEAN, MIRNAK_MANHATTAN, MIRNAK_JACCARD};

std::vector<merge_path> merge_paths() {
    std::vector<merge_path> out;
    for (merge_path p : {MERGE_SCALAR, MERGE_AVX2})
        if (merge_path_available(p)) out.push_back(p);
    return out;
}

mirnak_knn_run run_of(int k, int trees, int leaf, uint64_t seed, int workers = 2) {
    return mirnak_knn_run{k, trees, 8, leaf, seed, workers};
}

struct knn_out {
    std::vector<int32_t> idx;
    std::vector<float> dist;
    int rc;
};

knn_out sparse_knn(merge_path path, const csr &m, int kind, const mirnak_knn_run &run,
                   int threads) {
    knn_out o{std::vector<int32_t>(size_t(m.n) * run.k), std::vector<float>(size_t(m.n) * run.k),
              0};
    const mirnak_sparse_rows r = m.rows();
    const mirnak_metric metric = {kind, 0.0f};
    o.rc = sparse_search(path, &r, &metric, &run, o.idx.data(), o.dist.data(), threads, nullptr);
    return o;
}

// Row i's distances, ascending.
std::vector<float> sorted_row(const std::vector<float> &dist, int k, int i) {
    std::vector<float> r(dist.begin() + size_t(i) * k, dist.begin() + size_t(i + 1) * k);
    std::sort(r.begin(), r.end());
    return r;
}

// ---------------------------------------------------------------------------
// Measures
// ---------------------------------------------------------------------------

TEST(SparseDistances, EveryMeasureOnEveryPathHasTheReferenceBits) {
    // Rows of every length from 0 to past two vector blocks, with heavy and
    // no overlap, through a two-point leaf (which holds their distance).
    const csr m = topics(120, 90, 12, 3, false);
    for (int kind : KINDS)
        for (merge_path p : merge_paths()) {
            const mirnak_sparse_rows r = m.rows();
            for (int i = 0; i + 1 < m.n; i += 1) {
                csr pair;
                pair.n = 2, pair.d = m.d;
                for (int row : {i, (i * 7 + 3) % m.n}) {
                    for (int64_t j = r.indptr[row]; j < r.indptr[row + 1]; ++j) {
                        pair.indices.push_back(m.indices[j]);
                        pair.data.push_back(m.data[j]);
                    }
                    pair.indptr.push_back(int64_t(pair.indices.size()));
                }
                const knn_out o = sparse_knn(p, pair, kind, run_of(1, 1, 2, 1), 1);
                ASSERT_EQ(o.rc, 0);
                const float want = reference(kind, pair, 0, 1);
                ASSERT_EQ(bits_of(o.dist[0]), bits_of(want))
                    << kind << " path " << p << " row " << i;
                ASSERT_EQ(bits_of(o.dist[1]), bits_of(want));
            }
        }
}

// ---------------------------------------------------------------------------
// Search
// ---------------------------------------------------------------------------

TEST(SparseSearch, OneLeafIsExactAndAgreesWithTheDenseAndBitSearches) {
    // Integer values: every distance is exact in float, so the sparse, dense
    // and bit searches see the same distances and keep the same neighbours.
    const csr m = topics(200, 300, 10, 11, true);
    const int k = 6;
    const mirnak_knn_run run = run_of(k, 1, m.n, 5, 1);
    const std::vector<float> X = m.dense_all();
    // The patterns as bit rows.
    const int w = (m.d + 63) / 64;
    std::vector<uint64_t> W(size_t(m.n) * w, 0);
    for (int i = 0; i < m.n; ++i)
        for (int64_t j = m.indptr[i]; j < m.indptr[i + 1]; ++j)
            W[size_t(i) * w + m.indices[j] / 64] |= uint64_t(1) << (m.indices[j] % 64);
    for (int kind : KINDS) {
        const knn_out s = sparse_knn(best_merge_path(), m, kind, run, 2);
        ASSERT_EQ(s.rc, 0);
        std::vector<int32_t> idx(size_t(m.n) * k);
        std::vector<float> dist(size_t(m.n) * k);
        const mirnak_metric metric = {kind, 0.0f};
        int rc;
        if (kind == MIRNAK_SQEUCLIDEAN) {
            rc = mirnak_knn_descent_f32_ctl(m.n, m.d, k, X.data(), 1, 8, m.n, 5, idx.data(),
                                            dist.data(), 1, 1, nullptr);
        } else if (kind == MIRNAK_MANHATTAN) {
            const mirnak_dense_rows rows = {X.data(), m.n, m.d};
            rc = mirnak_knn_descent_metric_f32(&rows, &metric, &run, idx.data(), dist.data(), 1,
                                               nullptr);
        } else {
            const mirnak_bit_rows rows = {W.data(), m.n, w};
            rc = mirnak_knn_descent_bits_u64(&rows, &metric, &run, idx.data(), dist.data(), 1,
                                             nullptr);
        }
        ASSERT_EQ(rc, 0);
        for (int i = 0; i < m.n; ++i) {
            ASSERT_EQ(sorted_row(s.dist, k, i), sorted_row(dist, k, i)) << kind << " row " << i;
            // Every neighbour kept is at its reference distance.
            for (int q = 0; q < k; ++q) {
                const int32_t j = s.idx[size_t(i) * k + q];
                ASSERT_EQ(bits_of(s.dist[size_t(i) * k + q]), bits_of(reference(kind, m, i, j)));
            }
        }
    }
}

TEST(SparseSearch, ThreadsAndMergePathsChangeNoBitAndRecallIsHigh) {
    const csr m = near_copies(3000, 2000, 17);
    const int k = 10;
    const mirnak_knn_run run = run_of(k, 4, 30, 99, 3);
    for (int kind : KINDS) {
        const knn_out base = sparse_knn(MERGE_SCALAR, m, kind, run, 1);
        ASSERT_EQ(base.rc, 0);
        for (merge_path p : merge_paths())
            for (int threads : {2, 5}) {
                const knn_out o = sparse_knn(p, m, kind, run, threads);
                ASSERT_EQ(o.idx, base.idx) << kind << " path " << p << " threads " << threads;
                ASSERT_EQ(0, std::memcmp(o.dist.data(), base.dist.data(), 4 * o.dist.size()));
            }
        // Against the exact query of every row: the k-th distance reached.
        std::vector<int32_t> ei(size_t(m.n) * k);
        std::vector<float> ed(size_t(m.n) * k);
        const mirnak_sparse_rows r = m.rows();
        const mirnak_metric metric = {kind, 0.0f};
        ASSERT_EQ(mirnak_knn_query_sparse_f32(&r, &r, &metric, k, ei.data(), ed.data(), 2), 0);
        int64_t hits = 0;
        for (int i = 0; i < m.n; ++i) {
            const std::vector<float> got = sorted_row(base.dist, k, i);
            for (int q = 0; q < k; ++q) hits += got[q] <= ed[size_t(i) * k + k - 1];
        }
        EXPECT_GE(double(hits) / double(m.n * k), 0.85) << kind;
    }
}

// ---------------------------------------------------------------------------
// Exact query
// ---------------------------------------------------------------------------

TEST(SparseQuery, IsTheExactAnswerSortedByDistanceThenIdForAnyThreadCount) {
    const csr train = topics(300, 400, 8, 21, true), queries = topics(40, 400, 8, 22, true);
    const int k = 7;
    const mirnak_sparse_rows t = train.rows(), q = queries.rows();
    for (int kind : KINDS) {
        const mirnak_metric metric = {kind, 0.0f};
        std::vector<int32_t> idx1(size_t(queries.n) * k), idx3(idx1.size());
        std::vector<float> d1(idx1.size()), d3(idx1.size());
        ASSERT_EQ(mirnak_knn_query_sparse_f32(&t, &q, &metric, k, idx1.data(), d1.data(), 1), 0);
        ASSERT_EQ(mirnak_knn_query_sparse_f32(&t, &q, &metric, k, idx3.data(), d3.data(), 3), 0);
        EXPECT_EQ(idx1, idx3);
        // Both matrices side by side: query r is row train.n + r.
        csr both = train;
        for (int r = 0; r < queries.n; ++r) {
            for (int64_t j = queries.indptr[r]; j < queries.indptr[r + 1]; ++j) {
                both.indices.push_back(queries.indices[j]);
                both.data.push_back(queries.data[j]);
            }
            both.indptr.push_back(int64_t(both.indices.size()));
        }
        both.n = train.n + queries.n;
        for (int r = 0; r < queries.n; ++r) {
            std::vector<std::pair<float, int>> all;
            for (int j = 0; j < train.n; ++j)
                all.push_back({reference(kind, both, train.n + r, j), j});
            std::sort(all.begin(), all.end());
            for (int s = 0; s < k; ++s) {
                ASSERT_EQ(idx1[size_t(r) * k + s], all[s].second) << kind << " query " << r;
                ASSERT_EQ(bits_of(d1[size_t(r) * k + s]), bits_of(all[s].first));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Refused matrices
// ---------------------------------------------------------------------------

TEST(SparseSearch, MatricesThatAreNoCanonicalCsrAreRefusedOutputsUntouched) {
    auto base = [] { return topics(40, 50, 5, 31, true); };
    std::vector<csr> bad;
    csr m = base();
    std::swap(m.indices[m.indptr[1]], m.indices[m.indptr[1] + 1]); // unsorted (row 1 has >= 2)
    bad.push_back(m);
    m = base();
    m.indices[m.indptr[1] + 1] = m.indices[m.indptr[1]]; // a repeated column
    bad.push_back(m);
    m = base();
    m.indices[0] = m.d; // a column past the end
    bad.push_back(m);
    m = base();
    m.indptr[3] = m.indptr[2] - 1; // offsets that go back
    bad.push_back(m);
    m = base();
    m.indptr[m.n] += 1; // past the entries there are
    bad.push_back(m);
    m = base();
    m.data[2] = NAN;
    bad.push_back(m);
    m = base();
    m.data[2] = 1e15f; // squared distances could reach 1e30
    bad.push_back(m);
    for (size_t c = 0; c < bad.size(); ++c) {
        ASSERT_GE(bad[c].indptr[2] - bad[c].indptr[1], 0);
        for (int kind : {MIRNAK_SQEUCLIDEAN, MIRNAK_MANHATTAN}) {
            if (c == 6 && kind == MIRNAK_MANHATTAN) continue; // 2e15 is within Manhattan's range
            const mirnak_knn_run run = run_of(3, 2, 10, 1);
            knn_out o{std::vector<int32_t>(size_t(40) * 3, 77), std::vector<float>(120, 5.f), 0};
            const mirnak_sparse_rows r = bad[c].rows();
            const mirnak_metric metric = {kind, 0.0f};
            EXPECT_EQ(mirnak_knn_descent_sparse_f32(&r, &metric, &run, o.idx.data(), o.dist.data(),
                                                    1, nullptr),
                      MIRNAK_INVALID)
                << "case " << c;
            EXPECT_EQ(
                mirnak_knn_query_sparse_f32(&r, &r, &metric, 3, o.idx.data(), o.dist.data(), 1),
                MIRNAK_INVALID)
                << "case " << c;
            EXPECT_EQ(o.idx, std::vector<int32_t>(120, 77));
            EXPECT_EQ(o.dist, std::vector<float>(120, 5.f));
        }
    }
    // A measure of another family, and queries of another width.
    const csr good = base();
    const mirnak_sparse_rows r = good.rows();
    std::vector<int32_t> idx(120);
    std::vector<float> dist(120);
    const mirnak_knn_run run = run_of(3, 2, 10, 1);
    const mirnak_metric chebyshev = {MIRNAK_CHEBYSHEV, 0.0f}, sq = {MIRNAK_SQEUCLIDEAN, 0.0f};
    EXPECT_EQ(
        mirnak_knn_descent_sparse_f32(&r, &chebyshev, &run, idx.data(), dist.data(), 1, nullptr),
        MIRNAK_INVALID);
    mirnak_sparse_rows wide = r;
    wide.n_cols += 1;
    EXPECT_EQ(mirnak_knn_query_sparse_f32(&r, &wide, &sq, 3, idx.data(), dist.data(), 1),
              MIRNAK_INVALID);
}

} // namespace
