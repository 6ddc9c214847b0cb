// knn_bits.h - the kNN search of bit-packed rows, for the exported entry and
// its tests.
#ifndef VORNIK_KNN_BITS_H
#define VORNIK_KNN_BITS_H

#include <cstdint>

#include "knn_bits_distance.h"
#include "knn_search.h"
#include "vornik_kernels.h"

namespace vornik {
namespace knn {

// The ways of counting bits; every one gives the same counts.
enum bits_path { BITS_PORTABLE = 0, BITS_POPCNT = 1, BITS_VPOPCNT = 2, BITS_NEON = 3 };

bool bits_path_available(bits_path p);

// The fastest counting path this CPU runs; resolved once per kernel call.
bits_path best_bits_path();

// Whether m names a binary measure.
bool bits_metric_valid(const mirnak_metric &m);

// The ops of measure kind on a counting path (one the CPU runs).
const space_ops *bits_ops(bits_path path, int kind);

// mirnak_knn_descent_bits_u64 on a given counting path.
int bits_search(bits_path path, const mirnak_bit_rows *rows, const mirnak_metric *metric,
                const mirnak_knn_run *run, int32_t *knn_idx, float *knn_dist, int n_threads,
                mirnak_control *control);

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_BITS_H
