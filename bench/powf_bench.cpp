// powf_bench.cpp - the vector powf against the C library's powf on small
// batches, the way the layout takes its powers: one attraction power
// (exponent b - 1) and the repulsion powers of its negative samples
// (exponent b), 1 + 5 per edge by default, chunks of 8 samples; and on one
// long array, for the throughput of whole blocks.
//
//   powf_bench [ROUNDS]        (default 15)
//
// Bases are squared distances of a 2-D embedding (log-uniform in
// [1e-4, 400)): 8,192 batches of each size, run 8 times per measurement
// (inputs and outputs stay in the L2 cache). The forms alternate within each
// round; printed per form: minimum and median over the rounds of the time per
// batch and per value, and the speed-up of the medians over libm. Every
// form's results are checked against powf bit for bit.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "powf_fast.h"

using namespace vornik::powf_fast;

namespace {

const int N_BATCHES = 1 << 13;
const int REPEAT = 8;
const int STRIDE = 9;                // the largest batch
const float B = 0.8950608781227859f; // the default curve's b
const float B_MINUS_1 = B - 1.0f;

struct form {
    std::string name;
    int n;                                           // values per batch
    int batches;                                     // batches per run
    std::function<void(const float *, float *)> run; // all batches once
    std::vector<double> ns_per_batch;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

const char *path_name(powf_path p) {
    return p == POWF_AVX512 ? "avx512" : p == POWF_AVX2 ? "avx2" : "libm";
}

// x[0]^(b - 1), then x[j]^b, for each of the batches of n values at STRIDE.
void libm_batches(const float *x, float *o, int n) {
    for (int q = 0; q < N_BATCHES; ++q, x += STRIDE, o += STRIDE) {
        o[0] = powf(x[0], B_MINUS_1);
        for (int j = 1; j < n; ++j) o[j] = powf(x[j], B);
    }
}

void vector_batches(powf_path p, const float *x, float *o, int n) {
    for (int q = 0; q < N_BATCHES; ++q, x += STRIDE, o += STRIDE)
        powf_batch_lead(p, x, n, B_MINUS_1, B, o);
}

} // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    std::vector<powf_path> paths;
    for (powf_path p : {POWF_LIBM, POWF_AVX2, POWF_AVX512})
        if (powf_path_available(p)) paths.push_back(p);
    std::printf("paths: libm");
    for (size_t q = 1; q < paths.size(); ++q) std::printf(", %s", path_name(paths[q]));
    std::printf("%s\n", paths.size() == 1 ? " (no vector path on this machine)" : "");

    const int n_values = N_BATCHES * STRIDE;
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> logd(std::log(1e-4), std::log(400.0));
    std::vector<float> bases(n_values), out(n_values), want(n_values);
    for (float &x : bases) x = static_cast<float>(std::exp(logd(gen)));

    std::vector<form> forms;
    for (int n : {1, 6, 8, 9}) {
        forms.push_back({"libm   n=" + std::to_string(n),
                         n,
                         N_BATCHES,
                         [n](const float *x, float *o) { libm_batches(x, o, n); },
                         {}});
        for (size_t q = 1; q < paths.size(); ++q) {
            const powf_path p = paths[q];
            forms.push_back({std::string(path_name(p)) + " n=" + std::to_string(n),
                             n,
                             N_BATCHES,
                             [n, p](const float *x, float *o) { vector_batches(p, x, o, n); },
                             {}});
        }
    }
    // The whole array in one call (value 0 with b - 1): the throughput of
    // full blocks.
    forms.push_back({"libm   n=" + std::to_string(n_values),
                     n_values,
                     1,
                     [n_values](const float *x, float *o) {
                         o[0] = powf(x[0], B_MINUS_1);
                         for (int j = 1; j < n_values; ++j) o[j] = powf(x[j], B);
                     },
                     {}});
    for (size_t q = 1; q < paths.size(); ++q) {
        const powf_path p = paths[q];
        forms.push_back({std::string(path_name(p)) + " n=" + std::to_string(n_values),
                         n_values,
                         1,
                         [p, n_values](const float *x, float *o) {
                             powf_batch_lead(p, x, n_values, B_MINUS_1, B, o);
                         },
                         {}});
    }

    for (int r = 0; r < rounds; ++r) {
        for (form &f : forms) {
            const auto t0 = std::chrono::steady_clock::now();
            for (int rep = 0; rep < REPEAT; ++rep) f.run(bases.data(), out.data());
            const double ns =
                std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0)
                    .count();
            f.ns_per_batch.push_back(ns / (REPEAT * f.batches));
            // Every form must give powf's bits.
            const int stride = f.batches == 1 ? f.n : STRIDE;
            for (int q = 0; q < f.batches; ++q) {
                const float *x = &bases[q * stride];
                for (int j = 0; j < f.n; ++j) {
                    const float w = powf(x[j], j == 0 ? B_MINUS_1 : B);
                    if (std::memcmp(&w, &out[q * stride + j], sizeof w) != 0) {
                        std::printf("%s: bits differ from powf at value %d\n", f.name.c_str(),
                                    q * stride + j);
                        return 1;
                    }
                }
            }
        }
    }

    std::printf("%d rounds, forms alternating; min / median\n", rounds);
    double libm_median = 0.0;
    for (const form &f : forms) {
        const double mn = *std::min_element(f.ns_per_batch.begin(), f.ns_per_batch.end());
        const double md = median(f.ns_per_batch);
        if (f.name.rfind("libm", 0) == 0) libm_median = md;
        std::printf("  %-14s %9.1f / %9.1f ns per batch  %5.2f / %5.2f ns per value  x%.2f\n",
                    f.name.c_str(), mn, md, mn / f.n, md / f.n, libm_median / md);
    }
    return 0;
}
