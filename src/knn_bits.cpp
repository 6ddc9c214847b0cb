// knn_bits.cpp - the kNN search of bit-packed rows: Hamming, Jaccard and Dice
// distances from popcounts (knn_bits_distance.h), on the search's driver
// (knn.cpp).
#include "vornik_kernels.h"

#include <cstdint>

#include "knn_bits.h"
#include "knn_search.h"

namespace {

using namespace vornik::knn;

// The three measures on one counting path, as ops tables PREFIX_hamming_ops ...
#define VORNIK_DEFINE_BITS_OPS(PREFIX, COUNT, ATTR)                                                \
    using PREFIX##_hamming = bits_space<COUNT, hamming_measure>;                                   \
    using PREFIX##_jaccard = bits_space<COUNT, jaccard_measure>;                                   \
    using PREFIX##_dice = bits_space<COUNT, dice_measure>;                                         \
    VORNIK_DEFINE_SPACE_OPS(PREFIX##_hamming, PREFIX##_hamming, ATTR)                              \
    VORNIK_DEFINE_SPACE_OPS(PREFIX##_jaccard, PREFIX##_jaccard, ATTR)                              \
    VORNIK_DEFINE_SPACE_OPS(PREFIX##_dice, PREFIX##_dice, ATTR)                                    \
    const space_ops *PREFIX##_family[3] = {&PREFIX##_hamming_ops, &PREFIX##_jaccard_ops,           \
                                           &PREFIX##_dice_ops};

VORNIK_DEFINE_BITS_OPS(portable, portable_bits, )
#if defined(VORNIK_KNN_HAVE_POPCNT_PATH)
VORNIK_DEFINE_BITS_OPS(popcnt, popcnt_bits, VORNIK_TARGET_POPCNT)
VORNIK_DEFINE_BITS_OPS(vpopcnt, vpopcnt_bits, VORNIK_TARGET_VPOPCNT)
#endif
#if defined(__aarch64__)
VORNIK_DEFINE_BITS_OPS(neon, neon_bits, )
#endif

} // namespace

bool vornik::knn::bits_path_available(bits_path p) {
    switch (p) {
    case BITS_PORTABLE:
        return true;
#if defined(VORNIK_KNN_HAVE_POPCNT_PATH)
    case BITS_POPCNT:
        return __builtin_cpu_supports("popcnt");
    case BITS_VPOPCNT:
        return __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512vpopcntdq");
#endif
#if defined(__aarch64__)
    case BITS_NEON:
        return true;
#endif
    default:
        return false;
    }
}

vornik::knn::bits_path vornik::knn::best_bits_path() {
    const bits_path fastest_first[] = {BITS_VPOPCNT, BITS_NEON, BITS_POPCNT};
    for (bits_path p : fastest_first)
        if (bits_path_available(p)) return p;
    return BITS_PORTABLE;
}

bool vornik::knn::bits_metric_valid(const mirnak_metric &m) {
    return m.kind == MIRNAK_HAMMING || m.kind == MIRNAK_JACCARD || m.kind == MIRNAK_DICE;
}

const vornik::knn::space_ops *vornik::knn::bits_ops(bits_path path, int kind) {
    const int at = kind - MIRNAK_HAMMING;
#if defined(VORNIK_KNN_HAVE_POPCNT_PATH)
    if (path == BITS_VPOPCNT) return vpopcnt_family[at];
    if (path == BITS_POPCNT) return popcnt_family[at];
#endif
#if defined(__aarch64__)
    if (path == BITS_NEON) return neon_family[at];
#endif
    (void)path;
    return portable_family[at];
}

int vornik::knn::bits_search(bits_path path, const mirnak_bit_rows *rows,
                             const mirnak_metric *metric, const mirnak_knn_run *run,
                             int32_t *knn_idx, float *knn_dist, int n_threads,
                             mirnak_control *control) {
    if (!rows || !metric || !run || !rows->words || !knn_idx || !knn_dist) return MIRNAK_INVALID;
    if (rows->n_rows <= 0 || rows->n_words <= 0 || !bits_metric_valid(*metric))
        return MIRNAK_INVALID;
    const bit_rows s = {rows->words, rows->n_rows, rows->n_words};
    const search_space sp = {s.n, &s, bits_ops(path, metric->kind)};
    return search(sp, problem_of(*run, knn_idx, knn_dist), schedule_of(*run, n_threads, control));
}

extern "C" int mirnak_knn_descent_bits_u64(const mirnak_bit_rows *rows, const mirnak_metric *metric,
                                           const mirnak_knn_run *run, int32_t *knn_idx,
                                           float *knn_dist, int n_threads,
                                           mirnak_control *control) {
    return bits_search(best_bits_path(), rows, metric, run, knn_idx, knn_dist, n_threads, control);
}
