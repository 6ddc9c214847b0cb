// kernel_digest.cpp - runs every kernel on fixed generated inputs and prints a
// 64-bit FNV-1a digest of each output, one line per result. Built for x86-64
// and for AArch64 (run under qemu-user); the two listings must be identical.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "knn_internal.h"
#include "vornik_kernels.h"

namespace {

uint64_t fnv1a(const void *data, size_t bytes, uint64_t h = 0xcbf29ce484222325ull) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < bytes; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
    return h;
}

template <class T> void print_digest(const char *name, const std::vector<T> &v) {
    std::printf("%-28s %016llx\n", name,
                static_cast<unsigned long long>(fnv1a(v.data(), v.size() * sizeof(T))));
}

// Portable generator: the inputs must be the same bits on every platform.
struct gen {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    float uniform() { return static_cast<float>(next() >> 40) / 16777216.0f; } // [0, 1)
    float centred() { return uniform() * 2.0f - 1.0f; }
};

std::vector<float> clustered_points(int n, int d, uint64_t seed) {
    gen g{seed};
    std::vector<float> centres(10 * d), x(static_cast<size_t>(n) * d);
    for (float &c : centres) c = 8.0f * g.centred();
    for (int i = 0; i < n; ++i) {
        const float *c = &centres[(g.next() % 10) * d];
        for (int t = 0; t < d; ++t) x[static_cast<size_t>(i) * d + t] = c[t] + g.centred();
    }
    return x;
}

// Every distance path this CPU runs must give the bits of the scalar order.
void distance_kernels() {
    using namespace vornik::knn;
    gen g{7};
    std::vector<float> buf(4096 + 8);
    for (float &v : buf) v = 4.0f * g.centred();
    const char *names[] = {"scalar", "fma", "neon"};
    std::vector<float> want_sq, want_dp;
    for (dist_path p : {DIST_SCALAR, DIST_FMA, DIST_NEON}) {
        if (!dist_path_available(p)) continue;
        std::fprintf(stderr, "distance path: %s\n", names[p]);
        std::vector<float> sq, dp;
        for (int d = 0; d <= 1000; d += (d < 48 ? 1 : 97)) {
            for (int shift = 0; shift < 4; ++shift) { // rows at every 4-byte alignment
                const float *a = buf.data() + shift;
                const float *b = buf.data() + 2048 + (3 - shift);
                sq.push_back(sqd_on(p, a, b, d));
                dp.push_back(dotp_on(p, a, b, d));
            }
        }
        if (p == DIST_SCALAR) {
            want_sq = sq;
            want_dp = dp;
        } else if (std::memcmp(sq.data(), want_sq.data(), sq.size() * sizeof(float)) != 0 ||
                   std::memcmp(dp.data(), want_dp.data(), dp.size() * sizeof(float)) != 0) {
            std::printf("distance path %s differs from the scalar order\n", names[p]);
        }
    }
    print_digest("sqd", want_sq);
    print_digest("dotp", want_dp);
}

// The searches in the other measures: the dense family on the points, the
// binary measures on bit rows near a few prototypes.
void metric_searches(const std::vector<float> &x, int n, int d, int k) {
    const mirnak_knn_run run = {k, 4, 6, 20, 99, 2};
    const mirnak_dense_rows rows = {x.data(), n, d};
    const struct {
        const char *name;
        mirnak_metric metric;
    } dense[] = {{"knn_manhattan", {MIRNAK_MANHATTAN, 1.0f}},
                 {"knn_chebyshev", {MIRNAK_CHEBYSHEV, 1.0f}},
                 {"knn_minkowski_3", {MIRNAK_MINKOWSKI, 3.0f}},
                 {"knn_minkowski_2.5", {MIRNAK_MINKOWSKI, 2.5f}}};
    std::vector<int32_t> idx(static_cast<size_t>(n) * k);
    std::vector<float> dist(idx.size());
    for (const auto &m : dense) {
        if (mirnak_knn_descent_metric_f32(&rows, &m.metric, &run, idx.data(), dist.data(), 3,
                                          nullptr) != 0)
            std::exit(1);
        std::vector<uint64_t> both = {fnv1a(idx.data(), idx.size() * 4),
                                      fnv1a(dist.data(), dist.size() * 4)};
        print_digest(m.name, both);
    }
    const int w = 5;
    gen g{11};
    std::vector<uint64_t> protos(8 * w), bits(static_cast<size_t>(n) * w);
    for (uint64_t &v : protos) v = g.next() & g.next();
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < w; ++j)
            bits[static_cast<size_t>(i) * w + j] = protos[(i % 8) * w + j] & (g.next() | g.next());
    const mirnak_bit_rows brows = {bits.data(), n, w};
    const struct {
        const char *name;
        int kind;
    } binary[] = {{"knn_hamming", MIRNAK_HAMMING},
                  {"knn_jaccard", MIRNAK_JACCARD},
                  {"knn_dice", MIRNAK_DICE}};
    for (const auto &m : binary) {
        const mirnak_metric metric = {m.kind, 0.0f};
        if (mirnak_knn_descent_bits_u64(&brows, &metric, &run, idx.data(), dist.data(), 3,
                                        nullptr) != 0)
            std::exit(1);
        std::vector<uint64_t> both = {fnv1a(idx.data(), idx.size() * 4),
                                      fnv1a(dist.data(), dist.size() * 4)};
        print_digest(m.name, both);
    }
}

} // namespace

int main() {
    distance_kernels();

    const int n = 3000, d = 24, k = 10;
    const std::vector<float> x = clustered_points(n, d, 42);
    std::vector<int32_t> idx(static_cast<size_t>(n) * k);
    std::vector<float> dist(idx.size());
    if (mirnak_knn_descent_f32(n, d, k, x.data(), 6, 8, 20, 1234, idx.data(), dist.data(), 3) != 0)
        return 1;
    print_digest("knn_idx", idx);
    print_digest("knn_dist", dist);
    metric_searches(x, n, d, k);

    // Rows as a host arranges them: the point itself first, then by distance.
    const int kk = k + 1;
    std::vector<int32_t> gi(static_cast<size_t>(n) * kk);
    std::vector<float> gd(gi.size());
    for (int i = 0; i < n; ++i) {
        std::vector<std::pair<float, int32_t>> row;
        for (int j = 0; j < k; ++j) row.push_back({dist[i * k + j], idx[i * k + j]});
        std::sort(row.begin(), row.end());
        gi[i * kk] = i;
        gd[i * kk] = 0.0f;
        for (int j = 0; j < k; ++j) {
            gi[i * kk + 1 + j] = row[j].second;
            gd[i * kk + 1 + j] = std::sqrt(row[j].first);
        }
    }
    std::vector<float> sigmas(n), rhos(n);
    mirnak_umap_smooth_knn_dist_f32(n, kk, gd.data(), static_cast<float>(kk), 64, 1.0f, 1.0f,
                                    sigmas.data(), rhos.data());
    print_digest("sigmas", sigmas);
    print_digest("rhos", rhos);
    const size_t flat = gi.size();
    std::vector<int32_t> rows(flat), cols(flat), out_rows(2 * flat), out_cols(2 * flat);
    std::vector<float> vals(flat), out_vals(2 * flat);
    mirnak_umap_membership_strengths_f32(n, kk, gi.data(), gd.data(), sigmas.data(), rhos.data(), 0,
                                         0, rows.data(), cols.data(), vals.data(), nullptr);
    print_digest("membership", vals);
    mirnak_umap_symmetrize_fuzzy_graph_f32(n, kk, rows.data(), cols.data(), vals.data(), 1.0f,
                                           out_rows.data(), out_cols.data(), out_vals.data());
    print_digest("graph_vals", out_vals);
    std::vector<int32_t> par_rows(2 * flat), par_cols(2 * flat);
    std::vector<float> par_vals(2 * flat);
    mirnak_umap_fuzzy_graph_f32_parallel(n, kk, gi.data(), gd.data(), static_cast<float>(kk), 64,
                                         1.0f, 1.0f, 1.0f, par_rows.data(), par_cols.data(),
                                         par_vals.data(), 2);
    print_digest("graph_parallel_vals", par_vals);

    std::vector<int32_t> head, tail;
    std::vector<float> eps;
    float top = 0.0f;
    for (float v : out_vals) top = v > top ? v : top;
    for (size_t e = 0; e < out_vals.size(); ++e)
        if (out_vals[e] > 0.0f) {
            head.push_back(out_rows[e]);
            tail.push_back(out_cols[e]);
            eps.push_back(top / out_vals[e]);
        }
    gen g{99};
    std::vector<float> start(static_cast<size_t>(n) * 2);
    for (float &v : start) v = 10.0f * g.centred();

    std::vector<float> serial = start;
    mirnak_umap_optimize_layout_euclidean_f32(serial.data(), n, 2, head.data(), tail.data(),
                                              static_cast<int64_t>(head.size()), eps.data(), 60,
                                              1.577f, 0.895f, 1.0f, 1.0f, 5.0f, 2024);
    print_digest("layout_serial", serial);
    std::vector<float> parallel = start;
    setenv("MIRNAK_UMAP_SUBSTEPS", "8", 1);
    const int rc = mirnak_umap_optimize_layout_euclidean_f32_parallel(
        parallel.data(), n, 2, head.data(), tail.data(), static_cast<int64_t>(head.size()),
        eps.data(), 60, 1.577f, 0.895f, 1.0f, 1.0f, 5.0f, 2024, 3);
    std::printf("%-28s %d\n", "layout_parallel_status", rc);
    print_digest("layout_parallel", parallel);

    // New points: the training rows' kNN ids as the search graph, every 100th
    // point a pivot; the queries are fresh points of the same clusters.
    const int m = 500;
    const std::vector<float> q = clustered_points(m, d, 43);
    std::vector<int32_t> pivots;
    for (int i = 0; i < n; i += 100) pivots.push_back(i);
    std::vector<int32_t> qi(static_cast<size_t>(m) * k);
    std::vector<float> qd(qi.size());
    if (mirnak_knn_query_f32(n, d, x.data(), k, idx.data(), static_cast<int>(pivots.size()),
                             pivots.data(), m, q.data(), k, 2 * k, 4, qi.data(), qd.data(), 3) != 0)
        return 1;
    print_digest("query_idx", qi);
    print_digest("query_dist", qd);
    // The same query from the leaves of a search forest too, in the squared
    // Euclidean distance and in Manhattan's.
    const int64_t slots = mirnak_knn_forest_nodes(n, 32);
    std::vector<int32_t> order(static_cast<size_t>(4) * n), splits(static_cast<size_t>(8 * slots));
    std::vector<float> thresholds(static_cast<size_t>(4 * slots));
    const mirnak_dense_rows train_rows = {x.data(), n, d}, query_rows = {q.data(), m, d};
    const mirnak_forest_settings fs = {4, 32, 99};
    if (mirnak_knn_search_forest_f32(&train_rows, &fs, order.data(), splits.data(),
                                     thresholds.data(), 3, nullptr) != 0)
        return 1;
    print_digest("forest_thresholds", thresholds);
    const mirnak_search_index sx = {idx.data(),
                                    k,
                                    pivots.data(),
                                    static_cast<int>(pivots.size()),
                                    {4, 32, order.data(), splits.data(), thresholds.data()}};
    const mirnak_query_settings qs = {k, 3 * k, 4};
    if (mirnak_knn_query_f32_ctl(&train_rows, &sx, &query_rows, &qs, qi.data(), qd.data(), 3,
                                 nullptr) != 0)
        return 1;
    print_digest("forest_query_dist", qd);
    const mirnak_metric manhattan = {MIRNAK_MANHATTAN, 1.0f};
    if (mirnak_knn_query_metric_f32(&train_rows, &sx, &query_rows, &manhattan, &qs, qi.data(),
                                    qd.data(), 3, nullptr) != 0)
        return 1;
    print_digest("forest_query_manhattan", qd);
    // The placement below reads the first query's answers again.
    if (mirnak_knn_query_f32(n, d, x.data(), k, idx.data(), static_cast<int>(pivots.size()),
                             pivots.data(), m, q.data(), k, 2 * k, 4, qi.data(), qd.data(), 3) != 0)
        return 1;
    std::vector<uint64_t> keys(m);
    for (uint64_t &key : keys) key = g.next();
    std::vector<float> qeps(qi.size());
    for (size_t e = 0; e < qeps.size(); ++e) qeps[e] = 1.0f + static_cast<float>(e % k) * 0.75f;
    std::vector<float> placed(static_cast<size_t>(m) * 2, 0.5f);
    if (mirnak_umap_optimize_new_points_f32(placed.data(), m, 2, serial.data(), n, qi.data(),
                                            qeps.data(), k, keys.data(), 40, 1.577f, 0.895f, 1.0f,
                                            1.0f, 5.0f, 77, 3) != 0)
        return 1;
    print_digest("new_points", placed);
    // Back to the data: rows for the placed points, from their query neighbours.
    std::vector<float> back(static_cast<size_t>(m) * d), shares(qi.size());
    const mirnak_fitted_points fitted = {x.data(), serial.data(), n, d, 2};
    const mirnak_inverse_run curve = {1.577f, 0.895f};
    if (mirnak_umap_inverse_points_f32(&fitted, m, placed.data(), qi.data(), k, &curve,
                                       back.data(), shares.data(), 3, nullptr) != 0)
        return 1;
    print_digest("inverse_points", back);
    print_digest("inverse_weights", shares);
    // The kernels whose results do not depend on the thread count, on other
    // thread counts: the same digests as the kNN and the threaded layout above.
    std::vector<int32_t> idx_ctl(idx.size());
    std::vector<float> dist_ctl(dist.size());
    mirnak_control ctl = {0, 0};
    if (mirnak_knn_descent_f32_ctl(n, d, k, x.data(), 6, 8, 20, 1234, idx_ctl.data(),
                                   dist_ctl.data(), 3, 2, &ctl) != 0)
        return 1;
    print_digest("knn_idx (3 of 6 workers)", idx_ctl);
    print_digest("knn_dist (3 of 6 workers)", dist_ctl);
    std::vector<float> parts = start;
    const int parts_rc = mirnak_umap_optimize_layout_euclidean_f32_parts(
        parts.data(), n, 2, head.data(), tail.data(), static_cast<int64_t>(head.size()), eps.data(),
        60, 1.577f, 0.895f, 1.0f, 1.0f, 5.0f, 2024, 3, 8, 1, &ctl);
    std::printf("%-28s %d %lld\n", "layout_parts_status", parts_rc,
                static_cast<long long>(ctl.progress));
    print_digest("layout_parts (3 on 1 thread)", parts);
    // The density term over the last 25 epochs, with each point's radius in the
    // data the root mean square of its graph distances.
    std::vector<float> radius(n);
    for (int i = 0; i < n; ++i) {
        float sum = 0.0f;
        for (int j = 1; j < kk; ++j) sum = sum + gd[i * kk + j] * gd[i * kk + j];
        radius[i] = std::sqrt(sum / static_cast<float>(kk - 1));
    }
    std::vector<float> dense = start;
    const mirnak_layout_edges edges = {head.data(), tail.data(), static_cast<int64_t>(head.size()),
                                       eps.data()};
    const mirnak_layout_run run = {60, 1.577f, 0.895f, 1.0f, 1.0f, 5.0f, 2024};
    const mirnak_density_term term = {radius.data(), 0.5f, 25, 0.1f};
    const mirnak_parts_plan plan = {3, 8, 2, 0};
    std::printf("%-28s %d\n", "layout_density_status",
                mirnak_umap_optimize_layout_density_f32(dense.data(), n, 2, &edges, &run, &term,
                                                        &plan, nullptr));
    print_digest("layout_density", dense);
    return 0;
}
