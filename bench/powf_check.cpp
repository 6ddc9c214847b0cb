// powf_check.cpp - the vector powf against the C library's powf over every
// non-negative float base (all 2^31 bit patterns from +0 to the NaNs with the
// sign bit clear), for the exponents a layout with curve parameter b uses:
// b and b - 1, both in float, as the layout computes them.
//
//   powf_check [-t THREADS] [--path avx2|avx512] [--variants] [B ...]
//   powf_check [-t THREADS] [--path avx2|avx512] [--variants] --exponent Y ...
//
// B defaults to 0.8950608781227859 (the curve of min_dist 0.1, spread 1);
// with --exponent the values are the exponents themselves. The path defaults
// to the fastest one available.
// Prints, per exponent, the bases compared, the mismatches (the first few in
// full) and the wall time; exits 1 on any mismatch, 2 when the vector path is
// not available here (it would compare the library with itself).
//
// --variants also counts, per step, the bases on which the transcription with
// that one multiply-add left unfused (and with none fused) rounds to another
// float than the library: evidence that each fused step is material, and the
// source of the self-test values in src/powf_fast.cpp.
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "powf_fast.h"

using namespace vornik::powf_fast;

namespace {

// The steps that the transcribed build fuses, in evaluation order.
const int N_STEPS = 9;
const char *const STEP_NAMES[N_STEPS] = {
    "r = z*invc - 1", "A0*r + A1", "A2*r + A3", "A4*r + y0",   "p23*r2 + q",
    "p01*r4 + q",     "C0*u + C1", "C2*u + 1",  "q01*u2 + q2",
};
const int N_VARIANTS = N_STEPS + 1; // each step unfused alone, then none fused
const unsigned ALL_FUSED = (1u << N_STEPS) - 1;

double mad(unsigned fused, int step, double a, double b, double c) {
    if (fused >> step & 1u) return std::fma(a, b, c);
    const double p = a * b;
    return p + c;
}

// The scalar transcription with the steps outside `fused` rounded twice; only
// for bases and exponents on the main path (returns false when t leaves it).
bool variant_powf(unsigned fused, float x, float y, float *res) {
    const uint32_t ix = float_bits(x);
    const uint32_t tmp = ix - LOG2_OFF;
    const int i = static_cast<int>((tmp >> 19) & 15u);
    const uint32_t top = tmp & 0xff800000u;
    const double z = static_cast<double>(bits_float(ix - top));
    const double k = static_cast<double>(static_cast<int32_t>(top) >> 23);
    const double r = mad(fused, 0, z, LOG2_TAB[i].invc, -1.0);
    const double y0 = LOG2_TAB[i].logc + k;
    const double r2 = r * r;
    const double p01 = mad(fused, 1, LOG2_A0, r, LOG2_A1);
    const double p23 = mad(fused, 2, LOG2_A2, r, LOG2_A3);
    const double r4 = r2 * r2;
    double q = mad(fused, 3, LOG2_A4, r, y0);
    q = mad(fused, 4, p23, r2, q);
    const double logx = mad(fused, 5, p01, r4, q);
    const double t = static_cast<double>(y) * logx;
    if ((double_bits(t) & 0x7fff800000000000ull) >= EXP2_LIMIT_BITS) return false;
    const double kd = t + EXP2_SHIFT;
    const uint64_t ki = double_bits(kd);
    const double u = t - (kd - EXP2_SHIFT);
    const double s = bits_double(EXP2_TAB[ki % 32] + (ki << 47));
    const double q01 = mad(fused, 6, EXP2_C0, u, EXP2_C1);
    const double u2 = u * u;
    const double q2 = mad(fused, 7, EXP2_C2, u, 1.0);
    const double e = mad(fused, 8, q01, u2, q2);
    *res = static_cast<float>(e * s);
    return true;
}

unsigned variant_mask(int v) {
    return v < N_STEPS ? ALL_FUSED & ~(1u << v) : 0u;
}

struct exponent_result {
    uint64_t compared = 0;
    uint64_t mismatches = 0;
    uint64_t variant_mismatches[N_VARIANTS] = {};
    std::vector<std::pair<uint32_t, uint32_t>> first_mismatches; // base, vector result
    std::vector<uint32_t> first_variant_bases[N_VARIANTS];
};

const uint64_t N_BASES = 1ull << 31;
const int CHUNK = 1 << 16;
const size_t KEEP = 4;

void check_range(powf_path path, float y, bool variants, std::atomic<uint64_t> *next,
                 exponent_result *total, std::mutex *mu) {
    exponent_result mine;
    std::vector<float> xs(CHUNK), fast(CHUNK);
    for (;;) {
        const uint64_t start = next->fetch_add(CHUNK);
        if (start >= N_BASES) break;
        for (int j = 0; j < CHUNK; ++j) xs[j] = bits_float(static_cast<uint32_t>(start + j));
        powf_batch(path, xs.data(), CHUNK, y, fast.data());
        for (int j = 0; j < CHUNK; ++j) {
            const float lib = powf(xs[j], y);
            if (float_bits(lib) != float_bits(fast[j])) {
                ++mine.mismatches;
                if (mine.first_mismatches.size() < KEEP)
                    mine.first_mismatches.push_back({float_bits(xs[j]), float_bits(fast[j])});
            }
            if (!variants || !base_on_main_path(float_bits(xs[j]))) continue;
            for (int v = 0; v < N_VARIANTS; ++v) {
                float res;
                if (!variant_powf(variant_mask(v), xs[j], y, &res)) break;
                if (float_bits(res) != float_bits(lib)) {
                    ++mine.variant_mismatches[v];
                    if (mine.first_variant_bases[v].size() < KEEP)
                        mine.first_variant_bases[v].push_back(float_bits(xs[j]));
                }
            }
        }
        mine.compared += CHUNK;
    }
    std::lock_guard<std::mutex> lock(*mu);
    total->compared += mine.compared;
    total->mismatches += mine.mismatches;
    for (const auto &m : mine.first_mismatches)
        if (total->first_mismatches.size() < KEEP) total->first_mismatches.push_back(m);
    for (int v = 0; v < N_VARIANTS; ++v) {
        total->variant_mismatches[v] += mine.variant_mismatches[v];
        for (uint32_t b : mine.first_variant_bases[v])
            if (total->first_variant_bases[v].size() < KEEP)
                total->first_variant_bases[v].push_back(b);
    }
}

// Checks one exponent; returns its mismatch count.
uint64_t check_exponent(powf_path path, float y, int n_threads, bool variants) {
    exponent_result total;
    std::atomic<uint64_t> next{0};
    std::mutex mu;
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < n_threads; ++t)
        pool.emplace_back(check_range, path, y, variants, &next, &total, &mu);
    for (std::thread &th : pool) th.join();
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::printf("exponent %a (%.9g, bits 0x%08" PRIx32 "): %" PRIu64 " bases, %" PRIu64
                " mismatches, %.1f s\n",
                static_cast<double>(y), static_cast<double>(y), float_bits(y), total.compared,
                total.mismatches, secs);
    for (const auto &m : total.first_mismatches) {
        const float x = bits_float(m.first);
        std::printf("  mismatch: base 0x%08" PRIx32 " (%a): powf 0x%08" PRIx32
                    ", vector 0x%08" PRIx32 "\n",
                    m.first, static_cast<double>(x), float_bits(powf(x, y)), m.second);
    }
    if (variants) {
        for (int v = 0; v < N_VARIANTS; ++v) {
            std::printf("  %-24s %10" PRIu64 " bases differ;",
                        v < N_STEPS ? STEP_NAMES[v] : "nothing fused", total.variant_mismatches[v]);
            if (v < N_STEPS) std::printf(" (step unfused)");
            for (uint32_t b : total.first_variant_bases[v]) std::printf(" 0x%08" PRIx32, b);
            std::printf("\n");
        }
    }
    std::fflush(stdout);
    return total.mismatches;
}

void usage() {
    std::fprintf(stderr, "usage: powf_check [-t THREADS] [--path avx2|avx512] [--variants] "
                         "[B ... | --exponent Y ...]\n");
}

} // namespace

int main(int argc, char **argv) {
    int n_threads = 2;
    powf_path path = best_powf_path();
    bool variants = false, raw_exponents = false;
    std::vector<double> values;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "-t" && a + 1 < argc) {
            n_threads = std::atoi(argv[++a]);
        } else if (arg == "--path" && a + 1 < argc) {
            const std::string name = argv[++a];
            if (name != "avx2" && name != "avx512") {
                usage();
                return 2;
            }
            path = name == "avx2" ? POWF_AVX2 : POWF_AVX512;
        } else if (arg == "--variants") {
            variants = true;
        } else if (arg == "--exponent") {
            raw_exponents = true;
        } else {
            char *end = nullptr;
            const double v = std::strtod(argv[a], &end);
            if (end == argv[a] || *end != '\0') {
                usage();
                return 2;
            }
            values.push_back(v);
        }
    }
    if (n_threads < 1) n_threads = 1;
    if (values.empty()) values.push_back(0.8950608781227859);

    if (path == POWF_LIBM || !powf_path_available(path)) {
        std::printf("the vector path is not available on this machine and C library\n");
        return 2;
    }
    std::printf("path: %s\n", path == POWF_AVX512 ? "avx512" : "avx2");
    std::vector<float> exponents;
    for (double v : values) {
        const float b = static_cast<float>(v);
        if (raw_exponents) {
            exponents.push_back(b);
        } else {
            exponents.push_back(b - 1.0f); // the attraction's
            exponents.push_back(b);        // the repulsion's
        }
    }
    uint64_t mismatches = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (float y : exponents) mismatches += check_exponent(path, y, n_threads, variants);
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("total: %zu exponents, %" PRIu64 " mismatches, %.1f s on %d threads\n",
                exponents.size(), mismatches, secs, n_threads);
    return mismatches == 0 ? 0 : 1;
}
