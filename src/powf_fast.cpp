// powf_fast.cpp - path selection and the batch forms of powf_fast.h.
#include "powf_fast.h"

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

namespace vornik {
namespace powf_fast {

namespace {

// C library releases whose powf is the transcribed algorithm, with an
// FMA-compiled build that the library picks on CPUs with AVX2 and FMA. Each
// was compared against the transcription over every non-negative float base
// (bench/powf_check.cpp) before it was listed here.
struct libc_version {
    int major;
    int minor;
};
const libc_version TRANSCRIBED_VERSIONS[] = {{2, 36}};

// A run of up to 4 decimal digits at *c, advancing *c past it.
bool parse_number(const char **c, long *value) {
    int digits = 0;
    for (*value = 0; **c >= '0' && **c <= '9' && digits < 5; ++*c, ++digits)
        *value = *value * 10 + (**c - '0');
    return digits > 0 && digits < 5;
}

#if defined(VORNIK_POWF_HAVE_VECTOR_PATHS)

// Bases and exponents (as bits) with the transcribed build's results. On the
// first, the library's build without fused multiply-adds (the one it picks on
// CPUs without FMA, or when told not to use FMA) rounds to the next float up:
// 1 base in 2^31 for this exponent, none for b - 1; the others are ordinary
// values across the exponent range.
struct self_test_case {
    uint32_t x;
    uint32_t y;
    uint32_t result;
};
const self_test_case SELF_TEST[] = {
    {0x3b4771f8u, 0x3f6522b6u, 0x3bb72f49u}, // 0x1.8ee3fp-9 ^ 0x1.ca456cp-1
    {0x3f800001u, 0xbdd6ea50u, 0x3f800000u}, // 0x1.000002p+0 ^ -0x1.add4ap-4
    {0x40490fdbu, 0x3f6522b6u, 0x40324da5u}, // 0x1.921fb6p+1 ^ 0x1.ca456cp-1
    {0x3c23d70au, 0xc0200000u, 0x47c35001u}, // 0x1.47ae14p-7 ^ -0x1.4p+1
    {0x42c80000u, 0x3f000000u, 0x41200000u}, // 0x1.9p+6 ^ 0x1p-1
    {0x00800000u, 0xbdd6ea50u, 0x4615539au}, // 0x1p-126 ^ -0x1.add4ap-4
    {0x7f7fffffu, 0x3f6522b6u, 0x78bdba91u}, // 0x1.fffffep+127 ^ 0x1.ca456cp-1
    {0x3e9a209bu, 0x3ff55326u, 0x3dcd21cdu}, // 0x1.344136p-2 ^ 0x1.eaa64cp+0
};

// powf on values the compiler cannot see, so that it calls the library
// instead of folding the call into a correctly rounded constant.
float library_powf(float x, float y) {
    volatile float vx = x, vy = y;
    return powf(vx, vy);
}

bool running_libc_is_transcribed() {
#if defined(__GLIBC__)
    return libc_version_transcribed(gnu_get_libc_version());
#else
    return false;
#endif
}

bool cpu_runs_avx2_fma() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

// The m < 8 bases at x, padded with 1. A masked load reads nothing past
// them, and unlike scalar stores into a buffer it does not stall the vector
// load that would read them back.
VORNIK_TARGET_AVX2_FMA inline __m256 tail_bases(const float *x, int m) {
    const __m256i mask =
        _mm256_cmpgt_epi32(_mm256_set1_epi32(m), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    return _mm256_blendv_ps(_mm256_set1_ps(1.0f), _mm256_maskload_ps(x, mask),
                            _mm256_castsi256_ps(mask));
}

// A batch eight bases at a time, exponent y_first for value 0 and y after;
// a last block of fewer than eight is padded with 1, whose power stays on the
// main path. The two forms differ only in the 8-lane kernel they call.
VORNIK_TARGET_AVX2_FMA void batch_avx2(const float *x, int n, float y_first, float y, float *out) {
    const __m256 yv = _mm256_set1_ps(y);
    __m256 yb = _mm256_blend_ps(yv, _mm256_set1_ps(y_first), 1);
    int j = 0;
    for (; j + 8 <= n; j += 8, yb = yv)
        _mm256_storeu_ps(out + j, avx2::powf8(_mm256_loadu_ps(x + j), yb));
    if (j == n) return;
    alignas(32) float res[8];
    _mm256_store_ps(res, avx2::powf8(tail_bases(x + j, n - j), yb));
    for (int q = 0; j + q < n; ++q) out[j + q] = res[q];
}

VORNIK_TARGET_AVX512 void batch_avx512(const float *x, int n, float y_first, float y, float *out) {
    const __m256 yv = _mm256_set1_ps(y);
    __m256 yb = _mm256_blend_ps(yv, _mm256_set1_ps(y_first), 1);
    int j = 0;
    for (; j + 8 <= n; j += 8, yb = yv)
        _mm256_storeu_ps(out + j, avx512::powf8(_mm256_loadu_ps(x + j), yb));
    if (j == n) return;
    alignas(32) float res[8];
    _mm256_store_ps(res, avx512::powf8(tail_bases(x + j, n - j), yb));
    for (int q = 0; j + q < n; ++q) out[j + q] = res[q];
}

// The self-test: the library and the 8-lane kernel must both give the
// recorded bits.
template <class Kernel> bool passes_self_test(Kernel powf8_main) {
    static_assert(sizeof SELF_TEST / sizeof SELF_TEST[0] == 8, "one vector of cases");
    float xs[8], ys[8], res[8];
    for (int q = 0; q < 8; ++q) {
        xs[q] = bits_float(SELF_TEST[q].x);
        ys[q] = bits_float(SELF_TEST[q].y);
    }
    if (powf8_main(xs, ys, res) != 0) return false;
    for (int q = 0; q < 8; ++q) {
        if (float_bits(res[q]) != SELF_TEST[q].result) return false;
        if (float_bits(library_powf(xs[q], ys[q])) != SELF_TEST[q].result) return false;
    }
    return true;
}

VORNIK_TARGET_AVX2_FMA int avx2_main(const float *x, const float *y, float *out) {
    int off;
    _mm256_storeu_ps(out, avx2::powf8_main(_mm256_loadu_ps(x), _mm256_loadu_ps(y), &off));
    return off;
}

VORNIK_TARGET_AVX512 int avx512_main(const float *x, const float *y, float *out) {
    int off;
    _mm256_storeu_ps(out, avx512::powf8_main(_mm256_loadu_ps(x), _mm256_loadu_ps(y), &off));
    return off;
}

// Up to how many values short of a block of eight go to powf instead: where
// one vector evaluation costs about as much as that many calls.
int libm_share(powf_path p) {
    return p == POWF_AVX512 ? 2 : 4;
}

#endif

} // namespace

bool libc_version_transcribed(const char *version) {
    long major = 0, minor = 0;
    const char *c = version;
    if (!parse_number(&c, &major) || *c++ != '.' || !parse_number(&c, &minor)) return false;
    if (*c != '\0') return false; // "2.36.9000" is a development snapshot of the next
    for (const libc_version &t : TRANSCRIBED_VERSIONS)
        if (major == t.major && minor == t.minor) return true;
    return false;
}

bool powf_path_available(powf_path p) {
    switch (p) {
    case POWF_LIBM:
        return true;
#if defined(VORNIK_POWF_HAVE_VECTOR_PATHS)
    case POWF_AVX2:
        return cpu_runs_avx2_fma() && running_libc_is_transcribed() && passes_self_test(avx2_main);
    case POWF_AVX512:
        return cpu_runs_avx2_fma() && __builtin_cpu_supports("avx512f") &&
               running_libc_is_transcribed() && passes_self_test(avx512_main);
#endif
    default:
        return false;
    }
}

powf_path best_powf_path() {
    if (powf_path_available(POWF_AVX512)) return POWF_AVX512;
    if (powf_path_available(POWF_AVX2)) return POWF_AVX2;
    return POWF_LIBM;
}

void powf_batch_lead(powf_path p, const float *x, int n, float y_lead, float y, float *out) {
    int libm_head = n; // the values powf itself computes, from the front
#if defined(VORNIK_POWF_HAVE_VECTOR_PATHS)
    // Values short of a whole block of eight cost a whole vector evaluation:
    // a few of them are cheaper from powf, taken where the lead value sits.
    if (p == POWF_AVX2 || p == POWF_AVX512) libm_head = n % 8 <= libm_share(p) ? n % 8 : 0;
#else
    (void)p;
#endif
    for (int j = 0; j < libm_head; ++j) out[j] = powf(x[j], j == 0 ? y_lead : y);
    if (libm_head == n) return;
#if defined(VORNIK_POWF_HAVE_VECTOR_PATHS)
    const float y_first = libm_head == 0 ? y_lead : y;
    if (p == POWF_AVX512)
        batch_avx512(x + libm_head, n - libm_head, y_first, y, out + libm_head);
    else
        batch_avx2(x + libm_head, n - libm_head, y_first, y, out + libm_head);
#endif
}

void powf_batch(powf_path p, const float *x, int n, float y, float *out) {
    powf_batch_lead(p, x, n, y, y, out);
}

} // namespace powf_fast
} // namespace vornik
