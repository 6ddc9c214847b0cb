// powf_fast.h - x^y with the bits of the C library's powf, eight values at a
// time.
//
// The layout's powers are defined as powf's results, bit for bit. On x86-64
// CPUs with AVX2 and FMA, glibc runs the build of its powf compiled for FMA:
//   log2(x) = k + log2(c) + P(r):  x = 2^k z with z in [0x3f330000, 2 * that)
//     (bits), c from a 16-entry table indexed by 4 bits of z, r = z / c - 1
//     with 1/c from the table, P of degree 5 with no constant term;
//   t = y * log2(x);
//   2^t = 2^(n/32) * Q(u):  t = n/32 + u by adding and subtracting a shift,
//     2^(n/32) from a 32-entry table with n folded into its exponent, Q of
//     degree 3; all in double, the product rounded once to float.
// Every a * b + c of that source is one fused multiply-add in that build,
// nine in all: r; A0 r + A1, A2 r + A3, A4 r + y0 and the two steps that
// combine them; C0 u + C1, C2 u + 1 and the step that combines them. No other
// operation is fused. The forms here evaluate exactly these operations in
// this order with the same tables, each fused step written as an explicit
// fused multiply-add (the project compiles with -ffp-contract=off).
//
// A value takes that path when its base is a positive normal float, its
// exponent is neither zero, infinite nor NaN, and |t| < 126 by the library's
// own test on the top bits of t. Every other value (a base that is zero,
// subnormal, negative, infinite or NaN; an exponent that is zero, infinite or
// NaN; a result near overflow or underflow) is computed by powf itself, so
// special cases, errno and the rounding of tiny results are the library's.
//
// The vector paths are used only where they are known to give powf's bits: a
// CPU with AVX2 and FMA (those on which glibc picks its FMA build; the wider
// form also needs AVX-512F), a C library release whose powf this transcribes,
// and a library powf that passes a self-test, one value of which the
// library's build without fused multiply-adds rounds differently. Elsewhere
// every value goes to powf.
#ifndef VORNIK_POWF_FAST_H
#define VORNIK_POWF_FAST_H

#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define VORNIK_POWF_HAVE_VECTOR_PATHS 1
#define VORNIK_TARGET_AVX2_FMA __attribute__((target("avx2,fma")))
#define VORNIK_TARGET_AVX512 __attribute__((target("avx512f,avx2,fma")))
#endif

namespace vornik {
namespace powf_fast {

// ---------------------------------------------------------------------------
// Tables and coefficients of the transcribed algorithm
// ---------------------------------------------------------------------------

// log2 step: 1/c and log2(c) for the 16 subintervals of [0x3f330000, 2 * that).
struct log2_entry {
    double invc;
    double logc;
};
alignas(64) inline constexpr log2_entry LOG2_TAB[16] = {
    {0x1.661ec79f8f3bep+0, -0x1.efec65b963019p-2}, {0x1.571ed4aaf883dp+0, -0x1.b0b6832d4fca4p-2},
    {0x1.49539f0f010bp+0, -0x1.7418b0a1fb77bp-2},  {0x1.3c995b0b80385p+0, -0x1.39de91a6dcf7bp-2},
    {0x1.30d190c8864a5p+0, -0x1.01d9bf3f2b631p-2}, {0x1.25e227b0b8eap+0, -0x1.97c1d1b3b7afp-3},
    {0x1.1bb4a4a1a343fp+0, -0x1.2f9e393af3c9fp-3}, {0x1.12358f08ae5bap+0, -0x1.960cbbf788d5cp-4},
    {0x1.0953f419900a7p+0, -0x1.a6f9db6475fcep-5}, {0x1p+0, 0x0p+0},
    {0x1.e608cfd9a47acp-1, 0x1.338ca9f24f53dp-4},  {0x1.ca4b31f026aap-1, 0x1.476a9543891bap-3},
    {0x1.b2036576afce6p-1, 0x1.e840b4ac4e4d2p-3},  {0x1.9c2d163a1aa2dp-1, 0x1.40645f0c6651cp-2},
    {0x1.886e6037841edp-1, 0x1.88e9c2c1b9ff8p-2},  {0x1.767dcf5534862p-1, 0x1.ce0a44eb17bccp-2},
};

// The same table as two columns, for 16-entry register lookups.
struct log2_columns {
    double invc[16];
    double logc[16];
};
constexpr log2_columns columns_of(const log2_entry (&tab)[16]) {
    log2_columns c{};
    for (int i = 0; i < 16; ++i) {
        c.invc[i] = tab[i].invc;
        c.logc[i] = tab[i].logc;
    }
    return c;
}
alignas(64) inline constexpr log2_columns LOG2_COLUMNS = columns_of(LOG2_TAB);

// P(r) = ((A0 r + A1) r^4) + ((A2 r + A3) r^2 + (A4 r + log2(c) + k)).
inline constexpr double LOG2_A0 = 0x1.27616c9496e0bp-2;
inline constexpr double LOG2_A1 = -0x1.71969a075c67ap-2;
inline constexpr double LOG2_A2 = 0x1.ec70a6ca7baddp-2;
inline constexpr double LOG2_A3 = -0x1.7154748bef6c8p-1;
inline constexpr double LOG2_A4 = 0x1.71547652ab82bp0;
// The base's bits minus this put z's subinterval in bits 19..22.
inline constexpr uint32_t LOG2_OFF = 0x3f330000u;

// exp2 step: bits of 2^(i/32) minus i << 47, so that adding n << 47 gives
// 2^(n/32) for any n whose remainder by 32 is i.
alignas(64) inline constexpr uint64_t EXP2_TAB[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51,
    0x3fef72b83c7d517b, 0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1,
    0x3fef06fe0a31b715, 0x3feef1a7373aa9cb, 0x3feedea64c123422, 0x3feece086061892d,
    0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429, 0x3feea47eb03a5585,
    0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d,
    0x3feee89f995ad3ad, 0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069,
    0x3fef5818dcfba487, 0x3fef7c97337b9b5f, 0x3fefa4afa2a490da, 0x3fefd0765b6e4540,
};
// Q(u) = (C0 u + C1) u^2 + (C2 u + 1).
inline constexpr double EXP2_C0 = 0x1.c6af84b912394p-5;
inline constexpr double EXP2_C1 = 0x1.ebfce50fac4f3p-3;
inline constexpr double EXP2_C2 = 0x1.62e42ff0c52d6p-1;
// t + SHIFT rounds t to a multiple of 1/32 and leaves 32 t in the low bits.
inline constexpr double EXP2_SHIFT = 0x1.8p+52 / 32;
// |t| with its low 47 bits cleared at or above this leaves the main path.
inline constexpr uint64_t EXP2_LIMIT_BITS = 0x405F800000000000ull; // 126.0

// ---------------------------------------------------------------------------
// Scalar transcription (portable; the reference for the vector form)
// ---------------------------------------------------------------------------

inline uint32_t float_bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

inline float bits_float(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

inline uint64_t double_bits(double f) {
    uint64_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

inline double bits_double(uint64_t u) {
    double f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// Whether a base takes the main path: a positive normal finite float.
inline bool base_on_main_path(uint32_t ix) {
    return ix - 0x00800000u < 0x7f000000u;
}

// Whether an exponent takes the main path: neither zero, infinite nor NaN.
inline bool exponent_on_main_path(uint32_t iy) {
    return 2u * iy - 1u < 2u * 0x7f800000u - 1u;
}

// x^y, bit for bit powf(x, y) wherever the C library's powf is the
// transcribed algorithm.
inline float powf_scalar(float x, float y) {
    const uint32_t ix = float_bits(x);
    if (!base_on_main_path(ix) || !exponent_on_main_path(float_bits(y))) return powf(x, y);

    const uint32_t tmp = ix - LOG2_OFF;
    const int i = static_cast<int>((tmp >> 19) & 15u);
    const uint32_t top = tmp & 0xff800000u;
    const double z = static_cast<double>(bits_float(ix - top));
    const double k = static_cast<double>(static_cast<int32_t>(top) >> 23);
    const double r = std::fma(z, LOG2_TAB[i].invc, -1.0);
    const double y0 = LOG2_TAB[i].logc + k;
    const double r2 = r * r;
    const double p01 = std::fma(LOG2_A0, r, LOG2_A1);
    const double p23 = std::fma(LOG2_A2, r, LOG2_A3);
    const double r4 = r2 * r2;
    double q = std::fma(LOG2_A4, r, y0);
    q = std::fma(p23, r2, q);
    const double logx = std::fma(p01, r4, q);
    const double t = static_cast<double>(y) * logx;
    if ((double_bits(t) & 0x7fff800000000000ull) >= EXP2_LIMIT_BITS) return powf(x, y);

    const double kd = t + EXP2_SHIFT;
    const uint64_t ki = double_bits(kd);
    const double u = t - (kd - EXP2_SHIFT);
    const double s = bits_double(EXP2_TAB[ki % 32] + (ki << 47));
    const double q01 = std::fma(EXP2_C0, u, EXP2_C1);
    const double u2 = u * u;
    const double q2 = std::fma(EXP2_C2, u, 1.0);
    const double e = std::fma(q01, u2, q2);
    return static_cast<float>(e * s);
}

// ---------------------------------------------------------------------------
// Path selection
// ---------------------------------------------------------------------------

// POWF_LIBM calls powf for every value; the vector paths evaluate eight values
// at a time, their doubles in two 4-lane halves (AVX2 and FMA) or in one
// 8-lane register (AVX-512). All give powf's bits.
enum powf_path { POWF_LIBM = 0, POWF_AVX2 = 1, POWF_AVX512 = 2 };

// Whether a C library version string ("2.36") names a release whose powf is
// the transcribed algorithm.
bool libc_version_transcribed(const char *version);

// Whether path p gives powf's bits here: the CPU, the C library's version and
// its powf's answers to the self-test (eight calls). POWF_LIBM always.
bool powf_path_available(powf_path p);

// The fastest exact path; resolved once per kernel call (about a microsecond).
powf_path best_powf_path();

// out[j] = powf(x[j], y) for j < n, on path p (one available here). out may
// be x. Cheap for any n from 1: up to 8 values are one vector evaluation.
void powf_batch(powf_path p, const float *x, int n, float y, float *out);

// out[0] = powf(x[0], y_lead), out[j] = powf(x[j], y) for 0 < j < n: the
// layout's pattern of one attraction and its negative samples in one go.
void powf_batch_lead(powf_path p, const float *x, int n, float y_lead, float y, float *out);

// ---------------------------------------------------------------------------
// Vector forms (x86-64)
// ---------------------------------------------------------------------------
//
// powf8_main(x, y, &off) evaluates the main path in all eight lanes and sets
// bit j of off for each lane j that left it, whose result is then
// meaningless; powf8(x, y) also takes those lanes from powf.

#if defined(VORNIK_POWF_HAVE_VECTOR_PATHS)

// Lanes of a base vector whose base or exponent is off the main path, as bits.
VORNIK_TARGET_AVX2_FMA inline int lanes_off_main_path(__m256 x, __m256 y) {
    // Unsigned a < b as min(a, b - 1) == a.
    const __m256i xm = _mm256_sub_epi32(_mm256_castps_si256(x), _mm256_set1_epi32(0x00800000));
    const __m256i base_ok =
        _mm256_cmpeq_epi32(_mm256_min_epu32(xm, _mm256_set1_epi32(0x7effffff)), xm);
    const __m256i iy = _mm256_castps_si256(y);
    const __m256i y2m1 = _mm256_sub_epi32(_mm256_add_epi32(iy, iy), _mm256_set1_epi32(1));
    const __m256i exp_ok = _mm256_cmpeq_epi32(
        _mm256_min_epu32(y2m1, _mm256_set1_epi32(static_cast<int>(0xfefffffeu))), y2m1);
    return ~_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_and_si256(base_ok, exp_ok))) & 0xff;
}

// The reduction x = 2^k z of eight bases: z as floats, k and the table
// index i as 32-bit integers.
struct reduced8 {
    __m256 z;
    __m256i k;
    __m256i i;
};

VORNIK_TARGET_AVX2_FMA inline reduced8 reduce8(__m256 x) {
    const __m256i ix = _mm256_castps_si256(x);
    const __m256i tmp = _mm256_sub_epi32(ix, _mm256_set1_epi32(static_cast<int>(LOG2_OFF)));
    const __m256i top = _mm256_and_si256(tmp, _mm256_set1_epi32(static_cast<int>(0xff800000u)));
    return reduced8{_mm256_castsi256_ps(_mm256_sub_epi32(ix, top)), _mm256_srai_epi32(top, 23),
                    _mm256_and_si256(_mm256_srli_epi32(tmp, 19), _mm256_set1_epi32(15))};
}

// Lanes whose |t| (bits with the low 47 cleared) reaches 126: 4 lanes.
VORNIK_TARGET_AVX2_FMA inline int lanes_off_exp2_range(__m256d t) {
    const __m256i tabs =
        _mm256_and_si256(_mm256_castpd_si256(t), _mm256_set1_epi64x(0x7fff800000000000ll));
    return _mm256_movemask_pd(_mm256_castsi256_pd(
        _mm256_cmpgt_epi64(tabs, _mm256_set1_epi64x(static_cast<int64_t>(EXP2_LIMIT_BITS) - 1))));
}

// The lanes of main in bits of off recomputed by powf.
VORNIK_TARGET_AVX2_FMA inline __m256 take_off_lanes_from_libm(__m256 main, int off, __m256 x,
                                                              __m256 y) {
    alignas(32) float xs[8], ys[8], out[8];
    _mm256_store_ps(xs, x);
    _mm256_store_ps(ys, y);
    _mm256_store_ps(out, main);
    for (; off; off &= off - 1) {
        const int j = __builtin_ctz(static_cast<unsigned>(off));
        out[j] = powf(xs[j], ys[j]);
    }
    return _mm256_load_ps(out);
}

namespace avx2 {

// log2 of four reduced bases (in double) from their table entries.
VORNIK_TARGET_AVX2_FMA inline __m256d log2_4(__m256d z, __m256d k, __m256d invc, __m256d logc) {
    const __m256d r = _mm256_fmadd_pd(z, invc, _mm256_set1_pd(-1.0));
    const __m256d y0 = _mm256_add_pd(logc, k);
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d p01 = _mm256_fmadd_pd(_mm256_set1_pd(LOG2_A0), r, _mm256_set1_pd(LOG2_A1));
    const __m256d p23 = _mm256_fmadd_pd(_mm256_set1_pd(LOG2_A2), r, _mm256_set1_pd(LOG2_A3));
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    __m256d q = _mm256_fmadd_pd(_mm256_set1_pd(LOG2_A4), r, y0);
    q = _mm256_fmadd_pd(p23, r2, q);
    return _mm256_fmadd_pd(p01, r4, q);
}

// The table entries of four lanes: each entry (1/c, log2 c) is one 16-byte
// load; two unpacks sort them into the two columns.
VORNIK_TARGET_AVX2_FMA inline void log2_entries4(const int *i, __m256d *invc, __m256d *logc) {
    const double *t = &LOG2_TAB[0].invc;
    const __m256d a = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(t + 2 * i[0])),
                                           _mm_load_pd(t + 2 * i[2]), 1);
    const __m256d b = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(t + 2 * i[1])),
                                           _mm_load_pd(t + 2 * i[3]), 1);
    *invc = _mm256_unpacklo_pd(a, b);
    *logc = _mm256_unpackhi_pd(a, b);
}

// 2^t of four lanes, rounded to double.
VORNIK_TARGET_AVX2_FMA inline __m256d exp2_4(__m256d t) {
    const __m256d shift = _mm256_set1_pd(EXP2_SHIFT);
    const __m256d kd = _mm256_add_pd(t, shift);
    const __m256i ki = _mm256_castpd_si256(kd);
    const __m256d u = _mm256_sub_pd(t, _mm256_sub_pd(kd, shift));
    alignas(32) uint64_t n[4];
    _mm256_store_si256(reinterpret_cast<__m256i *>(n),
                       _mm256_and_si256(ki, _mm256_set1_epi64x(31)));
    const __m128i t01 = _mm_insert_epi64(
        _mm_loadl_epi64(reinterpret_cast<const __m128i *>(EXP2_TAB + n[0])), EXP2_TAB[n[1]], 1);
    const __m128i t23 = _mm_insert_epi64(
        _mm_loadl_epi64(reinterpret_cast<const __m128i *>(EXP2_TAB + n[2])), EXP2_TAB[n[3]], 1);
    const __m256i tab = _mm256_inserti128_si256(_mm256_castsi128_si256(t01), t23, 1);
    const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(tab, _mm256_slli_epi64(ki, 47)));
    const __m256d q01 = _mm256_fmadd_pd(_mm256_set1_pd(EXP2_C0), u, _mm256_set1_pd(EXP2_C1));
    const __m256d u2 = _mm256_mul_pd(u, u);
    const __m256d q2 = _mm256_fmadd_pd(_mm256_set1_pd(EXP2_C2), u, _mm256_set1_pd(1.0));
    const __m256d e = _mm256_fmadd_pd(q01, u2, q2);
    return _mm256_mul_pd(e, s);
}

VORNIK_TARGET_AVX2_FMA inline __m256 powf8_main(__m256 x, __m256 y, int *off) {
    const reduced8 rd = reduce8(x);
    alignas(32) int idx[8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(idx), rd.i);
    __m256d invc, logc;
    log2_entries4(idx, &invc, &logc);
    const __m256d t_lo =
        _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(y)),
                      log2_4(_mm256_cvtps_pd(_mm256_castps256_ps128(rd.z)),
                             _mm256_cvtepi32_pd(_mm256_castsi256_si128(rd.k)), invc, logc));
    log2_entries4(idx + 4, &invc, &logc);
    const __m256d t_hi =
        _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(y, 1)),
                      log2_4(_mm256_cvtps_pd(_mm256_extractf128_ps(rd.z, 1)),
                             _mm256_cvtepi32_pd(_mm256_extracti128_si256(rd.k, 1)), invc, logc));
    *off =
        lanes_off_main_path(x, y) | lanes_off_exp2_range(t_lo) | (lanes_off_exp2_range(t_hi) << 4);
    return _mm256_set_m128(_mm256_cvtpd_ps(exp2_4(t_hi)), _mm256_cvtpd_ps(exp2_4(t_lo)));
}

// powf(x[j], y[j]) in every lane, bit for bit.
VORNIK_TARGET_AVX2_FMA inline __m256 powf8(__m256 x, __m256 y) {
    int off;
    const __m256 main = powf8_main(x, y, &off);
    if (__builtin_expect(off == 0, 1)) return main;
    return take_off_lanes_from_libm(main, off, x, y);
}

} // namespace avx2

namespace avx512 {

// The same operations on eight doubles in one register; the tables are
// looked up by two-register permutes (16 entries each).
//
// The conversions and the shift are written in their zero-masked forms with
// every lane selected: the plain forms pass an undefined vector through,
// which GCC 12 warns about.
VORNIK_TARGET_AVX512 inline __m256 powf8_main(__m256 x, __m256 y, int *off) {
    const __mmask8 ALL = 0xff;
    const reduced8 rd = reduce8(x);
    const __m512i i = _mm512_maskz_cvtepu32_epi64(ALL, rd.i);
    const __m512d invc = _mm512_permutex2var_pd(_mm512_load_pd(LOG2_COLUMNS.invc), i,
                                                _mm512_load_pd(LOG2_COLUMNS.invc + 8));
    const __m512d logc = _mm512_permutex2var_pd(_mm512_load_pd(LOG2_COLUMNS.logc), i,
                                                _mm512_load_pd(LOG2_COLUMNS.logc + 8));
    const __m512d r = _mm512_fmadd_pd(_mm512_maskz_cvtps_pd(ALL, rd.z), invc, _mm512_set1_pd(-1.0));
    const __m512d y0 = _mm512_add_pd(logc, _mm512_maskz_cvtepi32_pd(ALL, rd.k));
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d p01 = _mm512_fmadd_pd(_mm512_set1_pd(LOG2_A0), r, _mm512_set1_pd(LOG2_A1));
    const __m512d p23 = _mm512_fmadd_pd(_mm512_set1_pd(LOG2_A2), r, _mm512_set1_pd(LOG2_A3));
    const __m512d r4 = _mm512_mul_pd(r2, r2);
    __m512d q = _mm512_fmadd_pd(_mm512_set1_pd(LOG2_A4), r, y0);
    q = _mm512_fmadd_pd(p23, r2, q);
    const __m512d logx = _mm512_fmadd_pd(p01, r4, q);
    const __m512d t = _mm512_mul_pd(_mm512_maskz_cvtps_pd(ALL, y), logx);

    const __m512i tabs =
        _mm512_and_si512(_mm512_castpd_si512(t), _mm512_set1_epi64(0x7fff800000000000ll));
    const __mmask8 t_off =
        _mm512_cmpgt_epi64_mask(tabs, _mm512_set1_epi64(static_cast<int64_t>(EXP2_LIMIT_BITS) - 1));

    const __m512d shift = _mm512_set1_pd(EXP2_SHIFT);
    const __m512d kd = _mm512_add_pd(t, shift);
    const __m512i ki = _mm512_castpd_si512(kd);
    const __m512d u = _mm512_sub_pd(t, _mm512_sub_pd(kd, shift));
    const __m512i low16 =
        _mm512_permutex2var_epi64(_mm512_load_si512(EXP2_TAB), ki, _mm512_load_si512(EXP2_TAB + 8));
    const __m512i high16 = _mm512_permutex2var_epi64(_mm512_load_si512(EXP2_TAB + 16), ki,
                                                     _mm512_load_si512(EXP2_TAB + 24));
    const __m512i tab =
        _mm512_mask_blend_epi64(_mm512_test_epi64_mask(ki, _mm512_set1_epi64(16)), low16, high16);
    const __m512d s =
        _mm512_castsi512_pd(_mm512_add_epi64(tab, _mm512_maskz_slli_epi64(ALL, ki, 47)));
    const __m512d q01 = _mm512_fmadd_pd(_mm512_set1_pd(EXP2_C0), u, _mm512_set1_pd(EXP2_C1));
    const __m512d u2 = _mm512_mul_pd(u, u);
    const __m512d q2 = _mm512_fmadd_pd(_mm512_set1_pd(EXP2_C2), u, _mm512_set1_pd(1.0));
    const __m512d e = _mm512_fmadd_pd(q01, u2, q2);

    *off = lanes_off_main_path(x, y) | static_cast<int>(t_off);
    return _mm512_maskz_cvtpd_ps(ALL, _mm512_mul_pd(e, s));
}

VORNIK_TARGET_AVX512 inline __m256 powf8(__m256 x, __m256 y) {
    int off;
    const __m256 main = powf8_main(x, y, &off);
    if (__builtin_expect(off == 0, 1)) return main;
    return take_off_lanes_from_libm(main, off, x, y);
}

} // namespace avx512

#endif

} // namespace powf_fast
} // namespace vornik

#endif // VORNIK_POWF_FAST_H
