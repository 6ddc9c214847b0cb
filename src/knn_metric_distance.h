// knn_metric_distance.h - the dense metric family of the kNN search:
// Manhattan, Chebyshev and Minkowski distances of float rows, one row and
// four rows at a time, on every distance path, and their spaces.
//
// Each distance reduces per-coordinate terms by one combining operation c, in
// the lane order of the squared Euclidean kernels:
//   two 4-lane accumulators start at +0; over blocks of 8 floats the term of
//     float t + q goes into lane q of the first, that of t + 4 + q into lane q
//     of the second: acc = c(acc, term);
//   one more 4-float block goes into the first accumulator;
//   the lanes v = c(a0, a1) are combined as c(c(v0, v1), c(v2, v3));
//   the remaining floats follow one by one, s = c(s, term).
// The term of a coordinate is built from e = |a - b|, the rounded difference
// without its sign:
//   Manhattan   e, summed
//   Chebyshev   e, the larger kept: c(m, e) = e if e > m, else m (so a NaN
//               term never wins)
//   Minkowski   e^p, summed: the distance to the power p, which orders rows
//               as the distance does. An integral p by left-to-right binary
//               powering (r = e; for each bit of p below its highest, r = r r,
//               and r = r e where the bit is set), any other p by powf(e, p).
// Sums add without fusion. Every term is non-negative and c is monotone, so a
// partial result taken in the final combining order is a lower bound of the
// distance: the four-row forms may stop early at a bound, as sqd4 does.
#ifndef VORNIK_KNN_METRIC_DISTANCE_H
#define VORNIK_KNN_METRIC_DISTANCE_H

#include <cmath>
#include <cstdint>

#include "knn_distance.h"
#include "knn_space.h"
#include "powf_fast.h"

namespace vornik {
namespace knn {

// Dense rows with the settings of their measure: the Minkowski exponent (an
// integral one also as an int) and the path powf takes.
struct measured_rows : dense_rows {
    float p;
    int integer_p;
    powf_fast::powf_path powf;
};

// ---------------------------------------------------------------------------
// Measures: the term and the combining operation, for each lane type
// ---------------------------------------------------------------------------

#if defined(VORNIK_KNN_HAVE_FMA_PATH)
VORNIK_TARGET_FMA inline __m256 abs_lanes(__m256 x) {
    return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x);
}
VORNIK_TARGET_FMA inline __m128 abs_lanes(__m128 x) {
    return _mm_andnot_ps(_mm_set1_ps(-0.0f), x);
}
#endif

inline float mul_lanes(float x, float y) {
    return x * y;
}
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
VORNIK_TARGET_FMA inline __m256 mul_lanes(__m256 x, __m256 y) {
    return _mm256_mul_ps(x, y);
}
VORNIK_TARGET_FMA inline __m128 mul_lanes(__m128 x, __m128 y) {
    return _mm_mul_ps(x, y);
}
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
inline float32x4_t mul_lanes(float32x4_t x, float32x4_t y) {
    return vmulq_f32(x, y);
}
#endif

// e = e^p for an integral p >= 1, by left-to-right binary powering. Always
// inlined into the lane type's own code, so the vector types it handles never
// cross a call (the compiler's note on their calling convention is moot).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <class V> VORNIK_ALWAYS_INLINE void raise_to(V &e, int p, int below_top) {
    const V base = e;
    for (int bit = below_top - 1; bit >= 0; --bit) {
        e = mul_lanes(e, e);
        if ((p >> bit) & 1) e = mul_lanes(e, base);
    }
}
#pragma GCC diagnostic pop

// The sum of the terms: Manhattan and Minkowski.
struct sum_combine {
    static float combine(float s, float t) { return s + t; }
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    VORNIK_TARGET_FMA static __m256 combine(__m256 s, __m256 t) { return _mm256_add_ps(s, t); }
    VORNIK_TARGET_FMA static __m128 combine(__m128 s, __m128 t) { return _mm_add_ps(s, t); }
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    static float32x4_t combine(float32x4_t s, float32x4_t t) { return vaddq_f32(s, t); }
#endif
};

struct manhattan_measure : sum_combine {
    static manhattan_measure from(const measured_rows &) { return {}; }
    static float term(float a, float b) { return std::fabs(a - b); }
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    VORNIK_TARGET_FMA static __m256 term(__m256 a, __m256 b) {
        return abs_lanes(_mm256_sub_ps(a, b));
    }
    VORNIK_TARGET_FMA static __m128 term(__m128 a, __m128 b) { return abs_lanes(_mm_sub_ps(a, b)); }
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    static float32x4_t term(float32x4_t a, float32x4_t b) { return vabsq_f32(vsubq_f32(a, b)); }
#endif
};

// The larger term: c(m, e) = e if e > m, else m, in every lane type (the
// x86 maximum returns its second operand unless the first is greater).
struct chebyshev_measure : manhattan_measure {
    static chebyshev_measure from(const measured_rows &) { return {}; }
    static float combine(float m, float e) { return e > m ? e : m; }
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    VORNIK_TARGET_FMA static __m256 combine(__m256 m, __m256 e) { return _mm256_max_ps(e, m); }
    VORNIK_TARGET_FMA static __m128 combine(__m128 m, __m128 e) { return _mm_max_ps(e, m); }
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    static float32x4_t combine(float32x4_t m, float32x4_t e) {
        return vbslq_f32(vcgtq_f32(e, m), e, m);
    }
#endif
};

// e^p for an integral p >= 1.
struct integer_power_measure : sum_combine {
    int p;
    int below_top; // the bits of p below its highest

    static integer_power_measure from(const measured_rows &s) {
        integer_power_measure m;
        m.p = s.integer_p;
        m.below_top = 0;
        while (m.p >> (m.below_top + 1)) ++m.below_top;
        return m;
    }
    float term(float a, float b) const {
        auto e = std::fabs(a - b);
        raise_to(e, p, below_top);
        return e;
    }
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    VORNIK_TARGET_FMA __m256 term(__m256 a, __m256 b) const {
        auto e = abs_lanes(_mm256_sub_ps(a, b));
        raise_to(e, p, below_top);
        return e;
    }
    VORNIK_TARGET_FMA __m128 term(__m128 a, __m128 b) const {
        auto e = abs_lanes(_mm_sub_ps(a, b));
        raise_to(e, p, below_top);
        return e;
    }
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    float32x4_t term(float32x4_t a, float32x4_t b) const {
        auto e = vabsq_f32(vsubq_f32(a, b));
        raise_to(e, p, below_top);
        return e;
    }
#endif
};

// powf(e, p) for any other p: the scalar form calls powf, the lane forms
// take the C library's bits in a batch (powf_fast.h).
struct real_power_measure : sum_combine {
    float p;
    powf_fast::powf_path path;

    static real_power_measure from(const measured_rows &s) {
        real_power_measure m;
        m.p = s.p;
        m.path = s.powf;
        return m;
    }
    float term(float a, float b) const { return std::pow(std::fabs(a - b), p); }
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    VORNIK_TARGET_FMA __m256 term(__m256 a, __m256 b) const {
        float e[8];
        _mm256_storeu_ps(e, abs_lanes(_mm256_sub_ps(a, b)));
        powf_fast::powf_batch(path, e, 8, p, e);
        return _mm256_loadu_ps(e);
    }
    VORNIK_TARGET_FMA __m128 term(__m128 a, __m128 b) const {
        float e[4];
        _mm_storeu_ps(e, abs_lanes(_mm_sub_ps(a, b)));
        powf_fast::powf_batch(path, e, 4, p, e);
        return _mm_loadu_ps(e);
    }
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    float32x4_t term(float32x4_t a, float32x4_t b) const {
        float e[4];
        vst1q_f32(e, vabsq_f32(vsubq_f32(a, b)));
        for (float &v : e) v = std::pow(v, p);
        return vld1q_f32(e);
    }
#endif
};

// ---------------------------------------------------------------------------
// The lane order on each path
// ---------------------------------------------------------------------------

struct scalar_lanes {
    using path = scalar_path;

    template <class M> static inline float lanes(const float *a0, const float *a1) {
        const float v0 = M::combine(a0[0], a1[0]), v1 = M::combine(a0[1], a1[1]);
        const float v2 = M::combine(a0[2], a1[2]), v3 = M::combine(a0[3], a1[3]);
        return M::combine(M::combine(v0, v1), M::combine(v2, v3));
    }

    template <class M> static inline float dist(const M &m, const float *a, const float *b, int d) {
        float a0[4] = {0.0f, 0.0f, 0.0f, 0.0f}, a1[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            for (int q = 0; q < 4; ++q) {
                a0[q] = M::combine(a0[q], m.term(a[t + q], b[t + q]));
                a1[q] = M::combine(a1[q], m.term(a[t + 4 + q], b[t + 4 + q]));
            }
        }
        for (; t + 4 <= d; t += 4)
            for (int q = 0; q < 4; ++q) a0[q] = M::combine(a0[q], m.term(a[t + q], b[t + q]));
        float s = lanes<M>(a0, a1);
        for (; t < d; ++t) s = M::combine(s, m.term(a[t], b[t]));
        return s;
    }

    // The bound only allows stopping early; this path always finishes.
    template <class M>
    static inline void dist4(const M &m, const float *a, const float *const *b, int d, float *out,
                             const float *bound) {
        (void)bound;
        for (int r = 0; r < 4; ++r) out[r] = dist(m, a, b[r], d);
    }
};

#if defined(VORNIK_KNN_HAVE_FMA_PATH)
// The two 4-lane accumulators in the halves of one 256-bit register, as in
// the squared Euclidean kernels.
struct fma_lanes {
    using path = fma_path;

    template <class M> VORNIK_TARGET_FMA static inline float lanes(__m128 a0, __m128 a1) {
        float v[4];
        _mm_storeu_ps(v, M::combine(a0, a1));
        return M::combine(M::combine(v[0], v[1]), M::combine(v[2], v[3]));
    }

    template <class M>
    VORNIK_TARGET_FMA static inline float dist(const M &m, const float *a, const float *b, int d) {
        __m256 acc = _mm256_setzero_ps();
        int t = 0;
        for (; t + 8 <= d; t += 8)
            acc = M::combine(acc, m.term(_mm256_loadu_ps(a + t), _mm256_loadu_ps(b + t)));
        __m128 a0 = fma_path::low(acc);
        for (; t + 4 <= d; t += 4)
            a0 = M::combine(a0, m.term(_mm_loadu_ps(a + t), _mm_loadu_ps(b + t)));
        float s = lanes<M>(a0, fma_path::high(acc));
        for (; t < d; ++t) s = M::combine(s, m.term(a[t], b[t]));
        return s;
    }

    // Four evaluations interleaved, each with the single form's bits; with
    // a bound, stopped once every partial result has reached its bound.
    template <class M>
    VORNIK_TARGET_FMA static inline void dist4(const M &m, const float *a, const float *const *b,
                                               int d, float *out, const float *bound) {
        __m256 c[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(),
                       _mm256_setzero_ps()};
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            if (bound && t > 0 && (t & (BOUND_CHECK_FLOATS - 1)) == 0) {
                float l[4];
                for (int r = 0; r < 4; ++r)
                    l[r] = lanes<M>(fma_path::low(c[r]), fma_path::high(c[r]));
                if (all_reached(l, bound)) {
                    for (int r = 0; r < 4; ++r) out[r] = l[r];
                    return;
                }
            }
            const __m256 x = _mm256_loadu_ps(a + t);
            for (int r = 0; r < 4; ++r)
                c[r] = M::combine(c[r], m.term(x, _mm256_loadu_ps(b[r] + t)));
        }
        __m128 p[4];
        for (int r = 0; r < 4; ++r) p[r] = fma_path::low(c[r]);
        for (; t + 4 <= d; t += 4) {
            const __m128 x = _mm_loadu_ps(a + t);
            for (int r = 0; r < 4; ++r) p[r] = M::combine(p[r], m.term(x, _mm_loadu_ps(b[r] + t)));
        }
        for (int r = 0; r < 4; ++r) out[r] = lanes<M>(p[r], fma_path::high(c[r]));
        for (; t < d; ++t)
            for (int r = 0; r < 4; ++r) out[r] = M::combine(out[r], m.term(a[t], b[r][t]));
    }
};
#endif

#if defined(VORNIK_KNN_HAVE_NEON_PATH)
struct neon_lanes {
    using path = neon_path;

    template <class M> static inline float lanes(float32x4_t a0, float32x4_t a1) {
        float v[4];
        vst1q_f32(v, M::combine(a0, a1));
        return M::combine(M::combine(v[0], v[1]), M::combine(v[2], v[3]));
    }

    template <class M> static inline float dist(const M &m, const float *a, const float *b, int d) {
        float32x4_t a0 = vdupq_n_f32(0.0f), a1 = vdupq_n_f32(0.0f);
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            a0 = M::combine(a0, m.term(vld1q_f32(a + t), vld1q_f32(b + t)));
            a1 = M::combine(a1, m.term(vld1q_f32(a + t + 4), vld1q_f32(b + t + 4)));
        }
        for (; t + 4 <= d; t += 4) a0 = M::combine(a0, m.term(vld1q_f32(a + t), vld1q_f32(b + t)));
        float s = lanes<M>(a0, a1);
        for (; t < d; ++t) s = M::combine(s, m.term(a[t], b[t]));
        return s;
    }

    template <class M>
    static inline void dist4(const M &m, const float *a, const float *const *b, int d, float *out,
                             const float *bound) {
        float32x4_t c0[4], c1[4];
        for (int r = 0; r < 4; ++r) c0[r] = c1[r] = vdupq_n_f32(0.0f);
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            if (bound && t > 0 && (t & (BOUND_CHECK_FLOATS - 1)) == 0) {
                float l[4];
                for (int r = 0; r < 4; ++r) l[r] = lanes<M>(c0[r], c1[r]);
                if (all_reached(l, bound)) {
                    for (int r = 0; r < 4; ++r) out[r] = l[r];
                    return;
                }
            }
            const float32x4_t x0 = vld1q_f32(a + t), x1 = vld1q_f32(a + t + 4);
            for (int r = 0; r < 4; ++r) {
                c0[r] = M::combine(c0[r], m.term(x0, vld1q_f32(b[r] + t)));
                c1[r] = M::combine(c1[r], m.term(x1, vld1q_f32(b[r] + t + 4)));
            }
        }
        for (; t + 4 <= d; t += 4) {
            const float32x4_t x0 = vld1q_f32(a + t);
            for (int r = 0; r < 4; ++r) c0[r] = M::combine(c0[r], m.term(x0, vld1q_f32(b[r] + t)));
        }
        for (int r = 0; r < 4; ++r) {
            float s = lanes<M>(c0[r], c1[r]);
            for (int u = t; u < d; ++u) s = M::combine(s, m.term(a[u], b[r][u]));
            out[r] = s;
        }
    }
};
#endif

// ---------------------------------------------------------------------------
// Spaces
// ---------------------------------------------------------------------------

// Measure M on dense rows in lane order L, split by hyperplanes with the
// dot product of L's path.
template <class L, class M> struct dense_metric_space {
    using store = measured_rows;
    using row = store::row;
    using split = hyperplane_split<typename L::path>;

    VORNIK_ALWAYS_INLINE static float dist(const store &s, row a, row b) {
        return L::dist(M::from(s), a, b, s.d);
    }
    VORNIK_ALWAYS_INLINE static void dist4(const store &s, row a, const row *b, float *out,
                                           const float *bound) {
        L::dist4(M::from(s), a, b, s.d, out, bound);
    }
    static bool finite(const store &s) { return s.all_finite(); }
};

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_METRIC_DISTANCE_H
