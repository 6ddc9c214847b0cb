// knn_reference.h - a plain, single-threaded transcription of the kNN search
// for the tests: no batching, no skipped distances, no prefetching, the
// portable scalar kernels. The kernel must agree with it bit for bit.
#ifndef VORNIK_KNN_REFERENCE_H
#define VORNIK_KNN_REFERENCE_H

#include <cstdint>
#include <vector>

#include "knn_internal.h"

namespace knnref {

using namespace vornik::knn;

struct heap {
    int n = 0, k = 0;
    std::vector<float> hd;
    std::vector<int32_t> hi;
    std::vector<uint8_t> hf;
    heap(int n_, int k_)
        : n(n_), k(k_), hd(size_t(n_) * k_, SENTINEL_DIST), hi(size_t(n_) * k_, -1),
          hf(size_t(n_) * k_, 1) {}
    int push(int row, int32_t c, float dc) {
        const size_t o = size_t(row) * k;
        return hpush(&hd[o], &hi[o], &hf[o], k, c, dc);
    }
};

inline float ref_sqd(const std::vector<float> &X, int d, int a, int b) {
    return scalar_path::sqd(&X[size_t(a) * d], &X[size_t(b) * d], d);
}

inline void ref_rp(const std::vector<float> &X, int d, int leaf, heap &h, std::vector<int32_t> &idx,
                   int lo, int hi, uint64_t *rng) {
    const int m = hi - lo;
    if (m <= leaf) {
        for (int a = lo; a < hi - 1; ++a)
            for (int b = a + 1; b < hi; ++b) {
                const float dd = ref_sqd(X, d, idx[a], idx[b]);
                h.push(idx[a], idx[b], dd);
                h.push(idx[b], idx[a], dd);
            }
        return;
    }
    const int ia = int(sm64(rng) % uint64_t(m));
    int ib = int(sm64(rng) % uint64_t(m));
    while (ib == ia) ib = int(sm64(rng) % uint64_t(m));
    std::vector<float> dir(d);
    for (int t = 0; t < d; ++t)
        dir[t] = X[size_t(idx[lo + ib]) * d + t] - X[size_t(idx[lo + ia]) * d + t];
    std::vector<double> pv(m);
    for (int i = 0; i < m; ++i)
        pv[i] = double(scalar_path::dotp(&X[size_t(idx[lo + i]) * d], dir.data(), d));
    qselect(pv.data(), &idx[lo], m, m / 2, rng);
    ref_rp(X, d, leaf, h, idx, lo, lo + m / 2, rng);
    ref_rp(X, d, leaf, h, idx, lo + m / 2, hi, rng);
}

struct result {
    std::vector<int32_t> idx;
    std::vector<float> dist;
};

// The forest and merge only (iterations = 0), or the whole search.
inline result knn(const std::vector<float> &X, int n, int d, int k, int n_trees, int n_iters,
                  int leaf_size, uint64_t seed, int teff, bool refine = true) {
    if (n_trees < 1) n_trees = 1;
    if (n_iters < 1) n_iters = 1;
    const int leaf = k + 1 >= leaf_size ? k + 1 : leaf_size;
    std::vector<heap> trees;
    for (int e = 0, st = 0; e < teff; ++e) {
        const int cnt = n_trees / teff + (e < n_trees % teff ? 1 : 0);
        trees.emplace_back(n, k);
        uint64_t rng = seed ^ (uint64_t(uint32_t(e + 1)) * 40503u);
        std::vector<int32_t> idx(n);
        for (int t = st; t < st + cnt; ++t) {
            for (int i = 0; i < n; ++i) idx[i] = i;
            for (int i = n - 1; i >= 1; --i) std::swap(idx[i], idx[sm64(&rng) % uint64_t(i + 1)]);
            ref_rp(X, d, leaf, trees.back(), idx, 0, n, &rng);
        }
        st += cnt;
    }
    heap out(n, k);
    for (int i = 0; i < n; ++i)
        for (const heap &t : trees)
            for (int j = 0; j < k; ++j)
                if (t.hi[size_t(i) * k + j] >= 0)
                    out.push(i, t.hi[size_t(i) * k + j], t.hd[size_t(i) * k + j]);
    if (refine) {
        const int64_t threshold = int64_t(double(n) * double(k) * 0.0002);
        for (int it = 0; it < n_iters; ++it) {
            const std::vector<int32_t> sh = out.hi;
            const std::vector<uint8_t> sf = out.hf;
            std::fill(out.hf.begin(), out.hf.end(), 0);
            std::vector<std::vector<int32_t>> rev(n);
            for (int i = 0; i < n; ++i)
                for (int a = 0; a < k; ++a) {
                    const int32_t v = sh[size_t(i) * k + a];
                    if (sf[size_t(i) * k + a] && v >= 0 && v < n && int(rev[v].size()) < k)
                        rev[v].push_back(i);
                }
            int64_t total = 0;
            for (int i = 0; i < n; ++i) {
                for (int a = 0; a < k; ++a) {
                    const int32_t j = sh[size_t(i) * k + a];
                    if (!sf[size_t(i) * k + a] || j < 0 || j >= n) continue;
                    for (int b = 0; b < k; ++b) {
                        const int32_t c = sh[size_t(j) * k + b];
                        if (c < 0 || c >= n || c == i) continue;
                        total += out.push(i, c, ref_sqd(X, d, i, c));
                    }
                }
                for (int32_t c : rev[i])
                    if (c != i) total += out.push(i, c, ref_sqd(X, d, i, c));
            }
            if (total < threshold) break;
        }
    }
    return {out.hi, out.hd};
}

} // namespace knnref

#endif // VORNIK_KNN_REFERENCE_H
