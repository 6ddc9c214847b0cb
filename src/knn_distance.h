// knn_distance.h - the distance kernels of the kNN search: squared Euclidean
// distance and dot product, single and four rows at a time.
//
// Every path (portable scalar; x86-64 AVX with FMA, chosen at run time;
// AArch64 NEON) evaluates the same order and gives the same bits:
//   two 4-lane accumulators over blocks of 8 floats, fused multiply-adds;
//   one more 4-lane block into the first accumulator;
//   lane sums v = a0 + a1, then (v0 + v1) + (v2 + v3);
//   a scalar tail, product rounded before the addition.
#ifndef VORNIK_KNN_DISTANCE_H
#define VORNIK_KNN_DISTANCE_H

#include <cmath>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VORNIK_KNN_HAVE_FMA_PATH 1
#define VORNIK_TARGET_FMA __attribute__((target("avx,fma")))
#endif

#if defined(__aarch64__)
#include <arm_neon.h>
#define VORNIK_KNN_HAVE_NEON_PATH 1
#endif

// The hot loops of the search, written once and instantiated per path, are
// inlined into each path's entry whatever their size.
#define VORNIK_ALWAYS_INLINE __attribute__((always_inline)) inline

namespace vornik {
namespace knn {

// A bounded distance evaluation looks at its partial sums every this many
// floats (a power of two, a multiple of 8).
const int BOUND_CHECK_FLOATS = 32;

// Whether each of four partial results has reached its bound.
inline bool all_reached(const float *l, const float *bound) {
    return l[0] >= bound[0] && l[1] >= bound[1] && l[2] >= bound[2] && l[3] >= bound[3];
}

// ---------------------------------------------------------------------------
// Distance kernels: portable scalar path
// ---------------------------------------------------------------------------

struct scalar_path {
    static inline float sqd(const float *a, const float *b, int d) {
        float a0[4] = {0.0f, 0.0f, 0.0f, 0.0f}, a1[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            for (int q = 0; q < 4; ++q) {
                const float e0 = a[t + q] - b[t + q];
                const float e1 = a[t + 4 + q] - b[t + 4 + q];
                a0[q] = std::fma(e0, e0, a0[q]);
                a1[q] = std::fma(e1, e1, a1[q]);
            }
        }
        for (; t + 4 <= d; t += 4) {
            for (int q = 0; q < 4; ++q) {
                const float e = a[t + q] - b[t + q];
                a0[q] = std::fma(e, e, a0[q]);
            }
        }
        float s = lane_sum(a0, a1);
        for (; t < d; ++t) {
            const float e = a[t] - b[t];
            const float p = e * e;
            s = s + p;
        }
        return s;
    }

    static inline float dotp(const float *a, const float *b, int d) {
        float a0[4] = {0.0f, 0.0f, 0.0f, 0.0f}, a1[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            for (int q = 0; q < 4; ++q) {
                a0[q] = std::fma(a[t + q], b[t + q], a0[q]);
                a1[q] = std::fma(a[t + 4 + q], b[t + 4 + q], a1[q]);
            }
        }
        for (; t + 4 <= d; t += 4)
            for (int q = 0; q < 4; ++q) a0[q] = std::fma(a[t + q], b[t + q], a0[q]);
        float s = lane_sum(a0, a1);
        for (; t < d; ++t) {
            const float p = a[t] * b[t];
            s = s + p;
        }
        return s;
    }

    // Four distances from a to b[0..3], each in the order of sqd.
    // The bound only allows stopping early; this path always finishes.
    static inline void sqd4(const float *a, const float *const *b, int d, float *out,
                            const float *bound = nullptr) {
        (void)bound;
        for (int r = 0; r < 4; ++r) out[r] = sqd(a, b[r], d);
    }

    static inline void dotp4(const float *a, const float *const *b, int d, float *out) {
        for (int r = 0; r < 4; ++r) out[r] = dotp(b[r], a, d);
    }

    static inline float lane_sum(const float *a0, const float *a1) {
        const float v0 = a0[0] + a1[0], v1 = a0[1] + a1[1];
        const float v2 = a0[2] + a1[2], v3 = a0[3] + a1[3];
        return (v0 + v1) + (v2 + v3);
    }
};

// ---------------------------------------------------------------------------
// Distance kernels: x86-64 with hardware FMA (chosen at run time)
// ---------------------------------------------------------------------------

#if defined(VORNIK_KNN_HAVE_FMA_PATH)
// The two 4-lane accumulators of the 8-float blocks live in the low and high
// halves of one 256-bit register: each 256-bit fused multiply-add performs
// exactly the two 4-lane ones, lane by lane. The 4-float block and the lane
// sums work on the halves.
struct fma_path {
    // (v0 + v1) + (v2 + v3) of v = a0 + a1 (low and high half): two horizontal adds.
    VORNIK_TARGET_FMA static inline float lane_sum(__m256 acc) {
        const __m128 v = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
        const __m128 h = _mm_hadd_ps(v, v); // v0+v1, v2+v3, ...
        return _mm_cvtss_f32(_mm_hadd_ps(h, h));
    }

    VORNIK_TARGET_FMA static inline float lane_sum(__m128 a0, __m128 a1) {
        const __m128 v = _mm_add_ps(a0, a1);
        const __m128 h = _mm_hadd_ps(v, v);
        return _mm_cvtss_f32(_mm_hadd_ps(h, h));
    }

    // The 4-float block adds into a0 only.
    VORNIK_TARGET_FMA static inline __m128 low(__m256 acc) { return _mm256_castps256_ps128(acc); }
    VORNIK_TARGET_FMA static inline __m128 high(__m256 acc) {
        return _mm256_extractf128_ps(acc, 1);
    }

    VORNIK_TARGET_FMA static inline float sqd(const float *a, const float *b, int d) {
        __m256 acc = _mm256_setzero_ps();
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            const __m256 e = _mm256_sub_ps(_mm256_loadu_ps(a + t), _mm256_loadu_ps(b + t));
            acc = _mm256_fmadd_ps(e, e, acc);
        }
        __m128 a0 = low(acc);
        for (; t + 4 <= d; t += 4) {
            const __m128 e = _mm_sub_ps(_mm_loadu_ps(a + t), _mm_loadu_ps(b + t));
            a0 = _mm_fmadd_ps(e, e, a0);
        }
        float s = lane_sum(a0, high(acc));
        for (; t < d; ++t) {
            const float e = a[t] - b[t];
            const float p = e * e;
            s = s + p;
        }
        return s;
    }

    VORNIK_TARGET_FMA static inline float dotp(const float *a, const float *b, int d) {
        __m256 acc = _mm256_setzero_ps();
        int t = 0;
        for (; t + 8 <= d; t += 8)
            acc = _mm256_fmadd_ps(_mm256_loadu_ps(a + t), _mm256_loadu_ps(b + t), acc);
        __m128 a0 = low(acc);
        for (; t + 4 <= d; t += 4) a0 = _mm_fmadd_ps(_mm_loadu_ps(a + t), _mm_loadu_ps(b + t), a0);
        float s = lane_sum(a0, high(acc));
        for (; t < d; ++t) {
            const float p = a[t] * b[t];
            s = s + p;
        }
        return s;
    }

    // Four independent evaluations interleaved, so their fused multiply-adds
    // overlap; each result has the bits of the single form.
    //
    // With bound non-null the evaluation may stop early once every partial
    // result has reached its bound[r]; out[r] then holds that partial result,
    // which is not above the full one. Every step (fused square-add of a
    // non-negative product, the lane sums, the tail) is monotone, so the
    // partial sums taken in the final combination order are lower bounds.
    VORNIK_TARGET_FMA static inline void sqd4(const float *a, const float *const *b, int d,
                                              float *out, const float *bound = nullptr) {
        const float *b0 = b[0], *b1 = b[1], *b2 = b[2], *b3 = b[3];
        __m256 c0 = _mm256_setzero_ps(), c1 = c0, c2 = c0, c3 = c0;
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            if (bound && t > 0 && (t & (BOUND_CHECK_FLOATS - 1)) == 0) {
                const float l0 = lane_sum(c0), l1 = lane_sum(c1);
                const float l2 = lane_sum(c2), l3 = lane_sum(c3);
                if (l0 >= bound[0] && l1 >= bound[1] && l2 >= bound[2] && l3 >= bound[3]) {
                    out[0] = l0;
                    out[1] = l1;
                    out[2] = l2;
                    out[3] = l3;
                    return;
                }
            }
            const __m256 x = _mm256_loadu_ps(a + t);
            __m256 e = _mm256_sub_ps(x, _mm256_loadu_ps(b0 + t));
            c0 = _mm256_fmadd_ps(e, e, c0);
            e = _mm256_sub_ps(x, _mm256_loadu_ps(b1 + t));
            c1 = _mm256_fmadd_ps(e, e, c1);
            e = _mm256_sub_ps(x, _mm256_loadu_ps(b2 + t));
            c2 = _mm256_fmadd_ps(e, e, c2);
            e = _mm256_sub_ps(x, _mm256_loadu_ps(b3 + t));
            c3 = _mm256_fmadd_ps(e, e, c3);
        }
        __m128 p0 = low(c0), p1 = low(c1), p2 = low(c2), p3 = low(c3);
        for (; t + 4 <= d; t += 4) {
            const __m128 x = _mm_loadu_ps(a + t);
            __m128 e = _mm_sub_ps(x, _mm_loadu_ps(b0 + t));
            p0 = _mm_fmadd_ps(e, e, p0);
            e = _mm_sub_ps(x, _mm_loadu_ps(b1 + t));
            p1 = _mm_fmadd_ps(e, e, p1);
            e = _mm_sub_ps(x, _mm_loadu_ps(b2 + t));
            p2 = _mm_fmadd_ps(e, e, p2);
            e = _mm_sub_ps(x, _mm_loadu_ps(b3 + t));
            p3 = _mm_fmadd_ps(e, e, p3);
        }
        out[0] = lane_sum(p0, high(c0));
        out[1] = lane_sum(p1, high(c1));
        out[2] = lane_sum(p2, high(c2));
        out[3] = lane_sum(p3, high(c3));
        for (; t < d; ++t) {
            for (int r = 0; r < 4; ++r) {
                const float e = a[t] - b[r][t];
                const float p = e * e;
                out[r] = out[r] + p;
            }
        }
    }

    VORNIK_TARGET_FMA static inline void dotp4(const float *a, const float *const *b, int d,
                                               float *out) {
        const float *b0 = b[0], *b1 = b[1], *b2 = b[2], *b3 = b[3];
        __m256 c0 = _mm256_setzero_ps(), c1 = c0, c2 = c0, c3 = c0;
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            const __m256 x = _mm256_loadu_ps(a + t);
            c0 = _mm256_fmadd_ps(_mm256_loadu_ps(b0 + t), x, c0);
            c1 = _mm256_fmadd_ps(_mm256_loadu_ps(b1 + t), x, c1);
            c2 = _mm256_fmadd_ps(_mm256_loadu_ps(b2 + t), x, c2);
            c3 = _mm256_fmadd_ps(_mm256_loadu_ps(b3 + t), x, c3);
        }
        __m128 p0 = low(c0), p1 = low(c1), p2 = low(c2), p3 = low(c3);
        for (; t + 4 <= d; t += 4) {
            const __m128 x = _mm_loadu_ps(a + t);
            p0 = _mm_fmadd_ps(_mm_loadu_ps(b0 + t), x, p0);
            p1 = _mm_fmadd_ps(_mm_loadu_ps(b1 + t), x, p1);
            p2 = _mm_fmadd_ps(_mm_loadu_ps(b2 + t), x, p2);
            p3 = _mm_fmadd_ps(_mm_loadu_ps(b3 + t), x, p3);
        }
        out[0] = lane_sum(p0, high(c0));
        out[1] = lane_sum(p1, high(c1));
        out[2] = lane_sum(p2, high(c2));
        out[3] = lane_sum(p3, high(c3));
        for (; t < d; ++t) {
            for (int r = 0; r < 4; ++r) {
                const float p = b[r][t] * a[t];
                out[r] = out[r] + p;
            }
        }
    }
};
#endif

// ---------------------------------------------------------------------------
// Distance kernels: AArch64 NEON
// ---------------------------------------------------------------------------

#if defined(VORNIK_KNN_HAVE_NEON_PATH)
struct neon_path {
    static inline float sqd(const float *a, const float *b, int d) {
        float32x4_t a0 = vdupq_n_f32(0.0f), a1 = vdupq_n_f32(0.0f);
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            const float32x4_t e0 = vsubq_f32(vld1q_f32(a + t), vld1q_f32(b + t));
            const float32x4_t e1 = vsubq_f32(vld1q_f32(a + t + 4), vld1q_f32(b + t + 4));
            a0 = vfmaq_f32(a0, e0, e0);
            a1 = vfmaq_f32(a1, e1, e1);
        }
        for (; t + 4 <= d; t += 4) {
            const float32x4_t e = vsubq_f32(vld1q_f32(a + t), vld1q_f32(b + t));
            a0 = vfmaq_f32(a0, e, e);
        }
        float s = vaddvq_f32(vaddq_f32(a0, a1)); // (v0 + v1) + (v2 + v3)
        for (; t < d; ++t) {
            const float e = a[t] - b[t];
            const float p = e * e;
            s = s + p;
        }
        return s;
    }

    static inline float dotp(const float *a, const float *b, int d) {
        float32x4_t a0 = vdupq_n_f32(0.0f), a1 = vdupq_n_f32(0.0f);
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            a0 = vfmaq_f32(a0, vld1q_f32(a + t), vld1q_f32(b + t));
            a1 = vfmaq_f32(a1, vld1q_f32(a + t + 4), vld1q_f32(b + t + 4));
        }
        for (; t + 4 <= d; t += 4) a0 = vfmaq_f32(a0, vld1q_f32(a + t), vld1q_f32(b + t));
        float s = vaddvq_f32(vaddq_f32(a0, a1));
        for (; t < d; ++t) {
            const float p = a[t] * b[t];
            s = s + p;
        }
        return s;
    }

    // Four independent evaluations interleaved; each has the single form's bits.
    // The bound works as in the x86-64 form.
    static inline void sqd4(const float *a, const float *const *b, int d, float *out,
                            const float *bound = nullptr) {
        float32x4_t c0[4], c1[4];
        for (int r = 0; r < 4; ++r) c0[r] = c1[r] = vdupq_n_f32(0.0f);
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            if (bound && t > 0 && (t & (BOUND_CHECK_FLOATS - 1)) == 0) {
                float l[4];
                for (int r = 0; r < 4; ++r) l[r] = vaddvq_f32(vaddq_f32(c0[r], c1[r]));
                if (all_reached(l, bound)) {
                    for (int r = 0; r < 4; ++r) out[r] = l[r];
                    return;
                }
            }
            const float32x4_t x0 = vld1q_f32(a + t), x1 = vld1q_f32(a + t + 4);
            for (int r = 0; r < 4; ++r) {
                const float32x4_t e0 = vsubq_f32(x0, vld1q_f32(b[r] + t));
                const float32x4_t e1 = vsubq_f32(x1, vld1q_f32(b[r] + t + 4));
                c0[r] = vfmaq_f32(c0[r], e0, e0);
                c1[r] = vfmaq_f32(c1[r], e1, e1);
            }
        }
        for (; t + 4 <= d; t += 4) {
            const float32x4_t x0 = vld1q_f32(a + t);
            for (int r = 0; r < 4; ++r) {
                const float32x4_t e = vsubq_f32(x0, vld1q_f32(b[r] + t));
                c0[r] = vfmaq_f32(c0[r], e, e);
            }
        }
        for (int r = 0; r < 4; ++r) {
            float s = vaddvq_f32(vaddq_f32(c0[r], c1[r]));
            for (int u = t; u < d; ++u) {
                const float e = a[u] - b[r][u];
                const float p = e * e;
                s = s + p;
            }
            out[r] = s;
        }
    }

    static inline void dotp4(const float *a, const float *const *b, int d, float *out) {
        float32x4_t c0[4], c1[4];
        for (int r = 0; r < 4; ++r) c0[r] = c1[r] = vdupq_n_f32(0.0f);
        int t = 0;
        for (; t + 8 <= d; t += 8) {
            const float32x4_t x0 = vld1q_f32(a + t), x1 = vld1q_f32(a + t + 4);
            for (int r = 0; r < 4; ++r) {
                c0[r] = vfmaq_f32(c0[r], vld1q_f32(b[r] + t), x0);
                c1[r] = vfmaq_f32(c1[r], vld1q_f32(b[r] + t + 4), x1);
            }
        }
        for (; t + 4 <= d; t += 4) {
            const float32x4_t x0 = vld1q_f32(a + t);
            for (int r = 0; r < 4; ++r) c0[r] = vfmaq_f32(c0[r], vld1q_f32(b[r] + t), x0);
        }
        for (int r = 0; r < 4; ++r) {
            float s = vaddvq_f32(vaddq_f32(c0[r], c1[r]));
            for (int u = t; u < d; ++u) {
                const float p = b[r][u] * a[u];
                s = s + p;
            }
            out[r] = s;
        }
    }
};
#endif

// ---------------------------------------------------------------------------
// Path selection
// ---------------------------------------------------------------------------

enum dist_path { DIST_SCALAR = 0, DIST_FMA = 1, DIST_NEON = 2 };

inline bool dist_path_available(dist_path p) {
    switch (p) {
    case DIST_SCALAR:
        return true;
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    case DIST_FMA:
        return __builtin_cpu_supports("avx") && __builtin_cpu_supports("fma");
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    case DIST_NEON:
        return true;
#endif
    default:
        return false;
    }
}

// The fastest path this CPU runs; resolved once per kernel call.
inline dist_path best_dist_path() {
    if (dist_path_available(DIST_NEON)) return DIST_NEON;
    if (dist_path_available(DIST_FMA)) return DIST_FMA;
    return DIST_SCALAR;
}

// Convenience forms with a per-call dispatch; the hot loops do not use them.
inline float sqd_on(dist_path p, const float *a, const float *b, int d) {
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    if (p == DIST_FMA) return fma_path::sqd(a, b, d);
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    if (p == DIST_NEON) return neon_path::sqd(a, b, d);
#endif
    (void)p;
    return scalar_path::sqd(a, b, d);
}

inline float dotp_on(dist_path p, const float *a, const float *b, int d) {
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    if (p == DIST_FMA) return fma_path::dotp(a, b, d);
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    if (p == DIST_NEON) return neon_path::dotp(a, b, d);
#endif
    (void)p;
    return scalar_path::dotp(a, b, d);
}

inline float sqd(const float *a, const float *b, int d) {
    return sqd_on(best_dist_path(), a, b, d);
}

inline float dotp(const float *a, const float *b, int d) {
    return dotp_on(best_dist_path(), a, b, d);
}

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_DISTANCE_H
