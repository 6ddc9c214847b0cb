// Vector powf: the batch forms against the C library's powf on structured and
// random bases, the 8-lane form against the scalar transcription, tails and
// aliasing of the batch forms, and the version gate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "powf_fast.h"

namespace {

using namespace vornik::powf_fast;

// powf on values the compiler cannot see, so that it is never folded into a
// correctly rounded constant.
float library_powf(float x, float y) {
    volatile float vx = x, vy = y;
    return powf(vx, vy);
}

// Exponents: those of layouts with the curves of min_dist/spread 0.1/1,
// 0/1, 0.5/1, 0.99/1 and 0.1/2 (b and b - 1), and others that reach the
// library's branches: results near overflow and underflow, large and tiny
// magnitudes, integers, and exponents that leave the main path.
std::vector<float> exponents() {
    std::vector<float> ys;
    for (double b : {0.8950608781227859, 0.7904949732233831, 1.3341669924314914, 1.9163904168802517,
                     0.8420554268341789}) {
        const float bf = static_cast<float>(b);
        ys.push_back(bf);
        ys.push_back(bf - 1.0f);
    }
    for (float y :
         {0.5f, 1.0f, 2.0f, 3.0f, -1.0f, -2.5f, 1e-6f, -1e-6f, 7.25f, -7.25f, 60.0f, -60.0f, 1e6f})
        ys.push_back(y);
    return ys;
}

std::vector<float> special_exponents() {
    return {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
            -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
}

// Bases in every binary exponent range (subnormal to infinite): around the
// edges of the log table's subintervals and of the exponent fields, near 1,
// zero, the extremes, infinity, NaNs (quiet, signalling, with payloads), a
// few negative values, and the base on which the default b's power depends on
// a fused step; then log-uniform and uniformly random bit patterns.
std::vector<float> bases(int n_random) {
    std::vector<uint32_t> bits;
    for (uint32_t e = 0; e <= 255; ++e) {
        for (uint32_t j = 0; j < 16; ++j) {
            const uint32_t m = (LOG2_OFF + (j << 19)) & 0x7fffffu;
            for (uint32_t d : {0u, 1u, 2u, 0x7fffffu, 0x7ffffeu})
                bits.push_back((e << 23) | ((m + d) & 0x7fffffu));
        }
        bits.push_back(e << 23);
        bits.push_back((e << 23) | 0x7fffffu);
    }
    for (uint32_t d = 0; d < 4096; ++d) {
        bits.push_back(0x3f800000u + d);
        bits.push_back(0x3f800000u - d);
    }
    for (uint32_t b : {0x00000000u, 0x00000001u, 0x007fffffu, 0x00800000u, 0x7f7fffffu, 0x7f800000u,
                       0x7fc00000u, 0x7fc12345u, 0x7f800001u, 0x7fa00000u, 0x80000000u, 0xbf800000u,
                       0xff800000u, 0xc0400000u, 0xffc00000u})
        bits.push_back(b);
    bits.push_back(0x3b4771f8u); // where an unfused r = z / c - 1 rounds differently for y = b
    std::mt19937 gen(20240917);
    std::uniform_real_distribution<double> logd(std::log(1e-30), std::log(1e30));
    for (int i = 0; i < n_random; ++i) {
        bits.push_back(gen() & 0x7fffffffu);
        bits.push_back(float_bits(static_cast<float>(std::exp(logd(gen)))));
    }
    std::vector<float> xs;
    for (uint32_t b : bits) xs.push_back(bits_float(b));
    return xs;
}

// The paths that give powf's bits here; POWF_LIBM first.
std::vector<powf_path> available_paths() {
    std::vector<powf_path> paths;
    for (powf_path p : {POWF_LIBM, POWF_AVX2, POWF_AVX512})
        if (powf_path_available(p)) paths.push_back(p);
    return paths;
}

// ---------------------------------------------------------------------------
// Against the C library
// ---------------------------------------------------------------------------

TEST(PowfFast, BatchGivesTheLibrarysBitsOnEveryPath) {
    const std::vector<float> xs = bases(300000);
    const std::vector<powf_path> paths = available_paths();
    std::vector<float> ys = exponents();
    for (float y : special_exponents()) ys.push_back(y);
    std::vector<float> out(xs.size());
    for (powf_path p : paths) {
        for (float y : ys) {
            powf_batch(p, xs.data(), static_cast<int>(xs.size()), y, out.data());
            int64_t mismatches = 0;
            for (size_t j = 0; j < xs.size(); ++j)
                if (float_bits(out[j]) != float_bits(library_powf(xs[j], y))) {
                    if (mismatches++ < 3)
                        ADD_FAILURE()
                            << "path " << p << " y " << std::hexfloat << y << " x " << xs[j] << ": "
                            << out[j] << " vs " << library_powf(xs[j], y);
                }
            EXPECT_EQ(mismatches, 0) << "path " << p << " y " << std::hexfloat << y;
        }
    }
    if (paths.size() == 1) GTEST_SKIP() << "no vector path here: the C library's powf only";
}

TEST(PowfFast, ScalarTranscriptionGivesTheLibrarysBits) {
    if (available_paths().size() == 1) GTEST_SKIP() << "the C library here is not transcribed";
    const std::vector<float> xs = bases(20000);
    for (float y : exponents())
        for (float x : xs)
            ASSERT_EQ(float_bits(powf_scalar(x, y)), float_bits(library_powf(x, y)))
                << std::hexfloat << "x " << x << " y " << y;
}

// Run by CTest with GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA, under which glibc
// picks its powf built without fused multiply-adds on any CPU: the self-test
// must then refuse the vector paths, although CPU and version qualify.
TEST(PowfFastGate, RefusesTheLibrarysBuildWithoutFusedMultiplyAdds) {
    if (!std::getenv("VORNIK_POWF_EXPECT_LIBM")) GTEST_SKIP() << "run by its own CTest entry";
    EXPECT_EQ(best_powf_path(), POWF_LIBM);
}

TEST(PowfFast, VersionGateParsesStrictly) {
    EXPECT_TRUE(libc_version_transcribed("2.36"));
    for (const char *v : {"2.36.9000", "", "2", "2.", "2.3", "2.360", "12.36", "2.36a", "2.35",
                          "3.36", " 2.36", "2.+36", "02.036x", "2.99999999999999999999"})
        EXPECT_FALSE(libc_version_transcribed(v)) << v;
}

// ---------------------------------------------------------------------------
// The vector form against the scalar transcription (any C library)
// ---------------------------------------------------------------------------

#if defined(VORNIK_POWF_HAVE_VECTOR_PATHS)

VORNIK_TARGET_AVX2_FMA void avx2_lanes(const float *x, const float *y, float *out) {
    _mm256_storeu_ps(out, avx2::powf8(_mm256_loadu_ps(x), _mm256_loadu_ps(y)));
}

VORNIK_TARGET_AVX512 void avx512_lanes(const float *x, const float *y, float *out) {
    _mm256_storeu_ps(out, avx512::powf8(_mm256_loadu_ps(x), _mm256_loadu_ps(y)));
}

TEST(PowfFast, EightLanesMatchTheScalarTranscriptionWithMixedExponents) {
    std::vector<void (*)(const float *, const float *, float *)> forms;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        forms.push_back(avx2_lanes);
        if (__builtin_cpu_supports("avx512f")) forms.push_back(avx512_lanes);
    }
    if (forms.empty()) GTEST_SKIP() << "no AVX2 and FMA";
    const std::vector<float> xs = bases(200000);
    std::vector<float> ys = exponents();
    for (float y : special_exponents()) ys.push_back(y);
    std::mt19937 gen(5);
    float y8[8], out[8];
    for (size_t f = 0; f < forms.size(); ++f) {
        for (size_t j = 0; j + 8 <= xs.size(); j += 8) {
            for (int q = 0; q < 8; ++q) y8[q] = ys[gen() % ys.size()];
            forms[f](&xs[j], y8, out);
            for (int q = 0; q < 8; ++q)
                ASSERT_EQ(float_bits(out[q]), float_bits(powf_scalar(xs[j + q], y8[q])))
                    << std::hexfloat << "x " << xs[j + q] << " y " << y8[q] << " lane " << q
                    << " form " << f;
        }
    }
}

#endif

// ---------------------------------------------------------------------------
// Batch shapes
// ---------------------------------------------------------------------------

// Every length from 0 to 19 with a lead exponent, in place and into a buffer
// whose neighbours must stay untouched; bases that leave the main path at
// various lanes.
TEST(PowfFast, BatchLeadHandlesEveryLengthInPlaceAndLeavesNeighboursAlone) {
    const std::vector<powf_path> paths = available_paths();
    const float y_lead = 0.8950608781227859f - 1.0f, y = 0.8950608781227859f;
    std::mt19937 gen(11);
    std::uniform_real_distribution<float> d2(0.0f, 50.0f);
    const float odd[] = {0.0f, 1e-40f, std::numeric_limits<float>::infinity(), 1e30f};
    for (powf_path p : paths) {
        for (int n = 0; n < 20; ++n) {
            for (int trial = 0; trial < 20; ++trial) {
                std::vector<float> x(n);
                for (float &v : x) v = d2(gen);
                if (n > 0 && trial % 2) x[gen() % n] = odd[gen() % 4];
                std::vector<float> buf(n + 2, -7.0f), in_place = x;
                powf_batch_lead(p, x.data(), n, y_lead, y, buf.data() + 1);
                powf_batch_lead(p, in_place.data(), n, y_lead, y, in_place.data());
                EXPECT_EQ(float_bits(buf[0]), float_bits(-7.0f));
                EXPECT_EQ(float_bits(buf[n + 1]), float_bits(-7.0f));
                for (int j = 0; j < n; ++j) {
                    const float want = library_powf(x[j], j == 0 ? y_lead : y);
                    ASSERT_EQ(float_bits(buf[j + 1]), float_bits(want))
                        << "path " << p << " n " << n << " j " << j;
                    ASSERT_EQ(float_bits(in_place[j]), float_bits(want))
                        << "path " << p << " n " << n << " j " << j;
                }
            }
        }
    }
}

} // namespace
