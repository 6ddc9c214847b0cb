// knn_reference.h - a plain, single-threaded kNN search written from the
// stated rules for the tests: its own generator, distance order, heap and
// selection, no batching, no skipped distances. It shares no routine with
// the kernel, which must agree with it bit for bit.
#ifndef VORNIK_KNN_REFERENCE_H
#define VORNIK_KNN_REFERENCE_H

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace knnref {

// Distance of an empty slot.
const float EMPTY_DIST = 1e30f;

// SplitMix64: the state advances by the golden gamma, then is mixed.
inline uint64_t next_word(uint64_t &state) {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A draw in [0, m): the plain remainder of the next word.
inline int draw(uint64_t &state, int m) {
    return int(next_word(state) % uint64_t(m));
}

// The documented evaluation order, term by term: float t of every 8-float
// block feeds lane t mod 4 of accumulator t / 4 (mod 2) by a fused
// multiply-add, a trailing 4-float block feeds the first accumulator, the
// lanes are summed as (v0 + v1) + (v2 + v3) with v = a0 + a1, and the
// remaining floats are added one by one, each product rounded first.
// term(t) gives the two factors of float t.
template <class Term> float documented_order(int d, Term term) {
    float acc[2][4] = {{0, 0, 0, 0}, {0, 0, 0, 0}};
    int t = 0;
    for (; t + 8 <= d; t += 8)
        for (int u = 0; u < 8; ++u) {
            const std::pair<float, float> f = term(t + u);
            acc[u / 4][u % 4] = std::fma(f.first, f.second, acc[u / 4][u % 4]);
        }
    for (; t + 4 <= d; t += 4)
        for (int u = 0; u < 4; ++u) {
            const std::pair<float, float> f = term(t + u);
            acc[0][u] = std::fma(f.first, f.second, acc[0][u]);
        }
    const float v0 = acc[0][0] + acc[1][0], v1 = acc[0][1] + acc[1][1];
    const float v2 = acc[0][2] + acc[1][2], v3 = acc[0][3] + acc[1][3];
    float s = (v0 + v1) + (v2 + v3);
    for (; t < d; ++t) {
        const std::pair<float, float> f = term(t);
        const float product = f.first * f.second;
        s = s + product;
    }
    return s;
}

inline float squared_distance(const float *a, const float *b, int d) {
    return documented_order(d, [&](int t) {
        const float e = a[t] - b[t];
        return std::make_pair(e, e);
    });
}

inline float dot(const float *a, const float *b, int d) {
    return documented_order(d, [&](int t) { return std::make_pair(a[t], b[t]); });
}

// One heap slot.
struct slot {
    float dist = EMPTY_DIST;
    int32_t id = -1;
    uint8_t flag = 1;
};

// n rows of k slots, each row a max-heap on dist.
struct heap {
    int n = 0, k = 0;
    std::vector<slot> slots;
    heap(int n_, int k_) : n(n_), k(k_), slots(size_t(n_) * k_) {}

    slot *row(int i) { return &slots[size_t(i) * k]; }
    const slot *row(int i) const { return &slots[size_t(i) * k]; }

    // Refused when not strictly below the root (a NaN is not refused by
    // this test) or when c is already in the row; otherwise c replaces the
    // root and sinks, preferring the left child on ties and never passing
    // an equal child.
    int push(int i, int32_t c, float dc) {
        slot *r = row(i);
        if (dc >= r[0].dist) return 0;
        for (int j = 0; j < k; ++j)
            if (r[j].id == c) return 0;
        r[0].dist = dc;
        r[0].id = c;
        r[0].flag = 1;
        for (int p = 0;;) {
            int big = p;
            for (int child : {2 * p + 1, 2 * p + 2})
                if (child < k && r[child].dist > r[big].dist) big = child;
            if (big == p) return 1;
            std::swap(r[p], r[big]);
            p = big;
        }
    }
};

// Randomised quickselect, one draw per pass: the pivot goes to the front,
// smaller values are gathered behind it in scan order, and the pivot is
// swapped to the end of that group. When the target lies beyond the pivot
// and at least 16 values beyond it equal the pivot, those are brought next
// to it (in scan order), and the selection ends if the target is among them.
inline void select(std::vector<std::pair<double, int32_t>> &v, int target, uint64_t &rng) {
    int lo = 0, hi = int(v.size()) - 1;
    while (lo < hi) {
        std::swap(v[lo], v[lo + draw(rng, hi - lo + 1)]);
        const double pivot = v[lo].first;
        int last_smaller = lo;
        for (int i = lo + 1; i <= hi; ++i)
            if (v[i].first < pivot) std::swap(v[++last_smaller], v[i]);
        std::swap(v[lo], v[last_smaller]);
        if (last_smaller == target) return;
        if (last_smaller > target) {
            hi = last_smaller - 1;
            continue;
        }
        lo = last_smaller + 1;
        int equal = 0;
        for (int i = lo; i <= hi; ++i) equal += v[i].first == pivot;
        if (equal < 16) continue;
        int last_equal = lo - 1;
        for (int i = lo; i <= hi; ++i)
            if (v[i].first == pivot) std::swap(v[++last_equal], v[i]);
        if (target <= last_equal) return;
        lo = last_equal + 1;
    }
}

inline const float *point(const std::vector<float> &X, int d, int32_t i) {
    return &X[size_t(i) * d];
}

// The squared Euclidean space: distances by the documented order, nodes
// split by the projections onto the difference of two points. A space for
// the reference search offers dist(i, j), and values(node, a, b), the value
// of each point of a node when a and b are the two points drawn.
struct euclidean {
    const std::vector<float> &X;
    int d;
    float dist(int32_t i, int32_t j) const {
        return squared_distance(point(X, d, i), point(X, d, j), d);
    }
    std::vector<double> values(const std::vector<int32_t> &node, int32_t a, int32_t b) const {
        std::vector<float> dir(d);
        for (int t = 0; t < d; ++t) dir[t] = point(X, d, b)[t] - point(X, d, a)[t];
        std::vector<double> v;
        for (int32_t i : node) v.push_back(double(dot(point(X, d, i), dir.data(), d)));
        return v;
    }
};

// One node of a tree: split at the median of the space's values for two
// random points, left first, until it fits a leaf, whose pairs are offered to
// both rows.
template <class Space>
void split(const Space &sp, int leaf, heap &h, std::vector<int32_t> &idx, int lo, int hi,
           uint64_t &rng) {
    const int m = hi - lo;
    if (m <= leaf) {
        for (int a = lo; a + 1 < hi; ++a)
            for (int b = a + 1; b < hi; ++b) {
                const float dd = sp.dist(idx[a], idx[b]);
                h.push(idx[a], idx[b], dd);
                h.push(idx[b], idx[a], dd);
            }
        return;
    }
    const int ia = draw(rng, m);
    int ib;
    do ib = draw(rng, m);
    while (ib == ia);
    const std::vector<int32_t> members(idx.begin() + lo, idx.begin() + hi);
    const std::vector<double> values = sp.values(members, idx[lo + ia], idx[lo + ib]);
    std::vector<std::pair<double, int32_t>> node(m);
    for (int i = 0; i < m; ++i) node[i] = {values[i], members[i]};
    select(node, m / 2, rng);
    for (int i = 0; i < m; ++i) idx[lo + i] = node[i].second;
    split(sp, leaf, h, idx, lo, lo + m / 2, rng);
    split(sp, leaf, h, idx, lo + m / 2, hi, rng);
}

struct result {
    std::vector<int32_t> idx;
    std::vector<float> dist;
};

// The forest and merge only (refine false), or the whole search, in a space
// of n points.
template <class Space>
result knn_in(const Space &sp, int n, int k, int n_trees, int n_iters, int leaf_size, uint64_t seed,
              int teff, bool refine = true) {
    if (n_trees < 1) n_trees = 1;
    if (n_iters < 1) n_iters = 1;
    const int leaf = k + 1 >= leaf_size ? k + 1 : leaf_size;
    // Each tree worker's heap is folded into the output as soon as it is
    // built: per row that offers the workers' entries in worker order.
    heap out(n, k);
    for (int e = 0; e < teff; ++e) {
        const int count = n_trees / teff + (e < n_trees % teff ? 1 : 0);
        heap tree(n, k);
        uint64_t rng = seed ^ (uint64_t(uint32_t(e + 1)) * 40503u);
        std::vector<int32_t> idx(n);
        for (int t = 0; t < count; ++t) {
            for (int i = 0; i < n; ++i) idx[i] = i;
            for (int i = n - 1; i >= 1; --i) std::swap(idx[i], idx[draw(rng, i + 1)]);
            split(sp, leaf, tree, idx, 0, n, rng);
        }
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < k; ++j)
                if (tree.row(i)[j].id >= 0) out.push(i, tree.row(i)[j].id, tree.row(i)[j].dist);
    }
    auto offer = [&](int i, int32_t c) { return out.push(i, c, sp.dist(i, c)); };
    if (refine) {
        const int64_t threshold = int64_t(double(n) * double(k) * 0.0002);
        for (int it = 0; it < n_iters; ++it) {
            const heap snapshot = out;
            for (slot &s : out.slots) s.flag = 0;
            std::vector<std::vector<int32_t>> rev(n);
            for (int i = 0; i < n; ++i)
                for (int a = 0; a < k; ++a) {
                    const slot &s = snapshot.row(i)[a];
                    if (s.flag && s.id >= 0 && s.id < n && int(rev[s.id].size()) < k)
                        rev[s.id].push_back(i);
                }
            int64_t total = 0;
            for (int i = 0; i < n; ++i) {
                for (int a = 0; a < k; ++a) {
                    const slot &s = snapshot.row(i)[a];
                    if (!s.flag || s.id < 0 || s.id >= n) continue;
                    for (int b = 0; b < k; ++b) {
                        const int32_t c = snapshot.row(s.id)[b].id;
                        if (c >= 0 && c < n && c != i) total += offer(i, c);
                    }
                }
                for (int32_t c : rev[i])
                    if (c != i) total += offer(i, c);
            }
            if (total < threshold) break;
        }
    }
    result r;
    for (const slot &s : out.slots) {
        r.idx.push_back(s.id);
        r.dist.push_back(s.dist);
    }
    return r;
}

// The squared Euclidean search of n points of d floats.
inline result knn(const std::vector<float> &X, int n, int d, int k, int n_trees, int n_iters,
                  int leaf_size, uint64_t seed, int teff, bool refine = true) {
    return knn_in(euclidean{X, d}, n, k, n_trees, n_iters, leaf_size, seed, teff, refine);
}

} // namespace knnref

#endif // VORNIK_KNN_REFERENCE_H
