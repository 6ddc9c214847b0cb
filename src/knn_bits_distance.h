// knn_bits_distance.h - the binary measures of the kNN search: Hamming,
// Jaccard and Dice distances of bit-packed rows, from popcounts of their
// 64-bit words (never unpacked), and their spaces.
//
// Of two rows a and b the measures count I = |a and b| and U = |a or b|
// (Hamming only U - I = |a xor b|), as integers, so every way of counting
// gives the same numbers; the distance is then one rounding of the integers
// converted to float:
//   Hamming  U - I
//   Jaccard  (U - I) / U, 0 when U = 0
//   Dice     (U - I) / (U + I), 0 when U = 0
// Counting paths: the portable popcount of the compiler, the x86-64 popcnt
// instruction, the x86-64 AVX-512 vector popcount (eight words at a time) and
// the AArch64 NEON byte counts.
#ifndef VORNIK_KNN_BITS_DISTANCE_H
#define VORNIK_KNN_BITS_DISTANCE_H

#include <cstdint>

#include "knn_space.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define VORNIK_KNN_HAVE_POPCNT_PATH 1
#define VORNIK_TARGET_POPCNT __attribute__((target("popcnt")))
#define VORNIK_TARGET_VPOPCNT __attribute__((target("popcnt,avx512f,avx512vpopcntdq")))
#endif

#if defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace vornik {
namespace knn {

// ---------------------------------------------------------------------------
// Row store
// ---------------------------------------------------------------------------

// n rows of w 64-bit words each, row-major.
struct bit_rows {
    const uint64_t *W;
    int n, w;

    using row = const uint64_t *;
    VORNIK_ALWAYS_INLINE row at(int64_t i) const { return W + i * w; }
    VORNIK_ALWAYS_INLINE void prefetch(row r) const {
        prefetch_lines(r, static_cast<int64_t>(sizeof(uint64_t)) * w);
    }
    VORNIK_ALWAYS_INLINE void prefetch_id(int64_t i) const { prefetch(at(i)); }
    VORNIK_ALWAYS_INLINE void fetch(const int32_t *, int) const {}
};

// ---------------------------------------------------------------------------
// Counting paths
// ---------------------------------------------------------------------------

// The word operations whose set bits are counted, in every lane type.
struct and_bits {
    static uint64_t of(uint64_t x, uint64_t y) { return x & y; }
#if defined(VORNIK_KNN_HAVE_POPCNT_PATH)
    VORNIK_TARGET_VPOPCNT static __m512i of(__m512i x, __m512i y) { return _mm512_and_si512(x, y); }
#endif
#if defined(__aarch64__)
    static uint8x16_t of(uint8x16_t x, uint8x16_t y) { return vandq_u8(x, y); }
#endif
};

struct or_bits {
    static uint64_t of(uint64_t x, uint64_t y) { return x | y; }
#if defined(VORNIK_KNN_HAVE_POPCNT_PATH)
    VORNIK_TARGET_VPOPCNT static __m512i of(__m512i x, __m512i y) { return _mm512_or_si512(x, y); }
#endif
#if defined(__aarch64__)
    static uint8x16_t of(uint8x16_t x, uint8x16_t y) { return vorrq_u8(x, y); }
#endif
};

struct xor_bits {
    static uint64_t of(uint64_t x, uint64_t y) { return x ^ y; }
#if defined(VORNIK_KNN_HAVE_POPCNT_PATH)
    VORNIK_TARGET_VPOPCNT static __m512i of(__m512i x, __m512i y) { return _mm512_xor_si512(x, y); }
#endif
#if defined(__aarch64__)
    static uint8x16_t of(uint8x16_t x, uint8x16_t y) { return veorq_u8(x, y); }
#endif
};

// Each path counts the set bits of Op::of(a[j], b[j]) over the w words.
struct portable_bits {
    template <class Op> static inline int64_t count(const uint64_t *a, const uint64_t *b, int w) {
        int64_t n = 0;
        for (int j = 0; j < w; ++j) n += __builtin_popcountll(Op::of(a[j], b[j]));
        return n;
    }
};

#if defined(VORNIK_KNN_HAVE_POPCNT_PATH)
struct popcnt_bits {
    template <class Op>
    VORNIK_TARGET_POPCNT static inline int64_t count(const uint64_t *a, const uint64_t *b, int w) {
        int64_t n = 0;
        for (int j = 0; j < w; ++j) n += _mm_popcnt_u64(Op::of(a[j], b[j]));
        return n;
    }
};

// Eight words at a time.
struct vpopcnt_bits {
    template <class Op>
    VORNIK_TARGET_VPOPCNT static inline int64_t count(const uint64_t *a, const uint64_t *b, int w) {
        __m512i n8 = _mm512_setzero_si512();
        int j = 0;
        for (; j + 8 <= w; j += 8) {
            const __m512i v = Op::of(_mm512_loadu_si512(a + j), _mm512_loadu_si512(b + j));
            n8 = _mm512_add_epi64(n8, _mm512_popcnt_epi64(v));
        }
        alignas(64) int64_t lanes[8];
        _mm512_store_si512(lanes, n8);
        int64_t n = 0;
        for (int q = 0; q < 8; ++q) n += lanes[q];
        for (; j < w; ++j) n += _mm_popcnt_u64(Op::of(a[j], b[j]));
        return n;
    }
};
#endif

#if defined(__aarch64__)
// Two words at a time: byte counts, widened and summed into two 64-bit lanes.
struct neon_bits {
    template <class Op> static inline int64_t count(const uint64_t *a, const uint64_t *b, int w) {
        uint64x2_t n2 = vdupq_n_u64(0);
        int j = 0;
        for (; j + 2 <= w; j += 2) {
            const uint8x16_t v = Op::of(vreinterpretq_u8_u64(vld1q_u64(a + j)),
                                        vreinterpretq_u8_u64(vld1q_u64(b + j)));
            n2 = vaddq_u64(n2, vpaddlq_u32(vpaddlq_u16(vpaddlq_u8(vcntq_u8(v)))));
        }
        int64_t n = static_cast<int64_t>(vaddvq_u64(n2));
        for (; j < w; ++j) n += __builtin_popcountll(Op::of(a[j], b[j]));
        return n;
    }
};
#endif

// ---------------------------------------------------------------------------
// Measures
// ---------------------------------------------------------------------------

// Each measure takes its counts on path C.
struct hamming_measure {
    template <class C> static float of(const uint64_t *a, const uint64_t *b, int w) {
        return static_cast<float>(C::template count<xor_bits>(a, b, w));
    }
};

struct jaccard_measure {
    template <class C> static float of(const uint64_t *a, const uint64_t *b, int w) {
        const int64_t both = C::template count<and_bits>(a, b, w);
        const int64_t either = C::template count<or_bits>(a, b, w);
        if (either == 0) return 0.0f;
        return static_cast<float>(either - both) / static_cast<float>(either);
    }
};

struct dice_measure {
    template <class C> static float of(const uint64_t *a, const uint64_t *b, int w) {
        const int64_t both = C::template count<and_bits>(a, b, w);
        const int64_t either = C::template count<or_bits>(a, b, w);
        if (either == 0) return 0.0f;
        return static_cast<float>(either - both) / static_cast<float>(either + both);
    }
};

// ---------------------------------------------------------------------------
// Split rule and spaces
// ---------------------------------------------------------------------------

// The hyperplane split of the dense search on the rows unpacked to 0/1,
// counted on the packed words: for two random points a and b of the node,
// x . (b - a) = |x and b and not a| - |x and a and not b|. The plane holds
// the two masks. (On Hamming distances this orders the points as
// d(x, a) - d(x, b) does.)
template <class C> struct bit_plane_split {
    static uint64_t plane_bytes(const bit_rows &s) {
        return 2 * sizeof(uint64_t) * static_cast<uint64_t>(s.w);
    }

    VORNIK_ALWAYS_INLINE static void values(const bit_rows &s, const int32_t *node, int m,
                                            uint64_t *rng, void *plane, double *pv) {
        int ia, ib;
        draw_two(rng, m, &ia, &ib);
        plane_of(s, s.at(node[ia]), s.at(node[ib]), plane);
        project(s, node, m, plane, pv);
    }

    VORNIK_ALWAYS_INLINE static void plane_of(const bit_rows &s, const uint64_t *pa,
                                              const uint64_t *pb, void *plane) {
        uint64_t *toward_b = static_cast<uint64_t *>(plane), *toward_a = toward_b + s.w;
        for (int j = 0; j < s.w; ++j) {
            toward_b[j] = pb[j] & ~pa[j];
            toward_a[j] = pa[j] & ~pb[j];
        }
    }

    VORNIK_ALWAYS_INLINE static double value(const bit_rows &s, const uint64_t *x,
                                             const void *plane) {
        const uint64_t *toward_b = static_cast<const uint64_t *>(plane), *toward_a = toward_b + s.w;
        const int64_t up = C::template count<and_bits>(x, toward_b, s.w);
        const int64_t down = C::template count<and_bits>(x, toward_a, s.w);
        return static_cast<double>(up - down);
    }

    VORNIK_ALWAYS_INLINE static void project(const bit_rows &s, const int32_t *node, int m,
                                             const void *plane, double *pv) {
        for (int i = 0; i < m; ++i) {
            if (i + PREFETCH_AHEAD < m) s.prefetch(s.at(node[i + PREFETCH_AHEAD]));
            pv[i] = value(s, s.at(node[i]), plane);
        }
    }
};

// Measure M on bit rows, counted on path C. No distance is ever NaN.
template <class C, class M> struct bits_space {
    using store = bit_rows;
    using row = store::row;
    using split = bit_plane_split<C>;

    VORNIK_ALWAYS_INLINE static float dist(const store &s, row a, row b) {
        return M::template of<C>(a, b, s.w);
    }
    // Counts are cheap next to the memory they read: the bound is not used.
    VORNIK_ALWAYS_INLINE static void dist4(const store &s, row a, const row *b, float *out,
                                           const float *) {
        for (int r = 0; r < 4; ++r) out[r] = dist(s, a, b[r]);
    }
    static bool finite(const store &) { return true; }
};

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_BITS_DISTANCE_H
