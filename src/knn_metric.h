// knn_metric.h - the kNN search of dense rows in the metric family, for the
// exported entry and its tests.
#ifndef VORNIK_KNN_METRIC_H
#define VORNIK_KNN_METRIC_H

#include <cstdint>

#include "knn_metric_distance.h"
#include "knn_search.h"
#include "vornik_kernels.h"

namespace vornik {
namespace knn {

// Whether m names a measure of the dense family with valid settings.
bool dense_metric_valid(const mirnak_metric &m);

// The rows with the settings of a valid measure m.
measured_rows measured(const mirnak_dense_rows &rows, const mirnak_metric &m);

// The ops of measure kind on a distance path (one the CPU runs).
const space_ops *dense_metric_ops(dist_path path, const measured_rows &rows, int kind);

// mirnak_knn_descent_metric_f32 on a given distance path.
int dense_metric_search(dist_path path, const mirnak_dense_rows *rows, const mirnak_metric *metric,
                        const mirnak_knn_run *run, int32_t *knn_idx, float *knn_dist, int n_threads,
                        mirnak_control *control);

} // namespace knn
} // namespace vornik

#endif // VORNIK_KNN_METRIC_H
