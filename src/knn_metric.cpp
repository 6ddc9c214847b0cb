// knn_metric.cpp - the kNN search of dense rows in the metric family:
// Manhattan, Chebyshev and Minkowski distances (knn_metric_distance.h), on
// the search's driver (knn.cpp). The forest splits by the same random
// hyperplanes as the squared Euclidean search; only the measure differs.
#include "vornik_kernels.h"

#include <cmath>
#include <cstdint>

#include "knn_metric.h"
#include "knn_metric_distance.h"
#include "knn_search.h"

namespace {

using namespace vornik::knn;

// The four measures on one lane order, as ops tables PREFIX_manhattan_ops ...
#define VORNIK_DEFINE_METRIC_OPS(PREFIX, LANES, ATTR)                                              \
    using PREFIX##_manhattan = dense_metric_space<LANES, manhattan_measure>;                       \
    using PREFIX##_chebyshev = dense_metric_space<LANES, chebyshev_measure>;                       \
    using PREFIX##_integer_power = dense_metric_space<LANES, integer_power_measure>;               \
    using PREFIX##_real_power = dense_metric_space<LANES, real_power_measure>;                     \
    VORNIK_DEFINE_SPACE_OPS(PREFIX##_manhattan, PREFIX##_manhattan, ATTR)                          \
    VORNIK_DEFINE_SPACE_OPS(PREFIX##_chebyshev, PREFIX##_chebyshev, ATTR)                          \
    VORNIK_DEFINE_SPACE_OPS(PREFIX##_integer_power, PREFIX##_integer_power, ATTR)                  \
    VORNIK_DEFINE_SPACE_OPS(PREFIX##_real_power, PREFIX##_real_power, ATTR)                        \
    const space_ops *PREFIX##_family[4] = {&PREFIX##_manhattan_ops, &PREFIX##_chebyshev_ops,       \
                                           &PREFIX##_integer_power_ops, &PREFIX##_real_power_ops};

VORNIK_DEFINE_METRIC_OPS(scalar, scalar_lanes, )
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
VORNIK_DEFINE_METRIC_OPS(fma, fma_lanes, VORNIK_TARGET_FMA)
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
VORNIK_DEFINE_METRIC_OPS(neon, neon_lanes, )
#endif

// The measure's place in a family table.
int family_index(const measured_rows &rows, int kind) {
    if (kind == MIRNAK_MANHATTAN) return 0;
    if (kind == MIRNAK_CHEBYSHEV) return 1;
    return rows.integer_p > 0 ? 2 : 3;
}

} // namespace

bool vornik::knn::dense_metric_valid(const mirnak_metric &m) {
    if (m.kind == MIRNAK_MANHATTAN || m.kind == MIRNAK_CHEBYSHEV) return true;
    return m.kind == MIRNAK_MINKOWSKI && std::isfinite(m.p) && m.p >= 1.0f;
}

vornik::knn::measured_rows vornik::knn::measured(const mirnak_dense_rows &rows,
                                                 const mirnak_metric &m) {
    measured_rows s;
    s.X = rows.X;
    s.n = rows.n_rows;
    s.d = rows.n_dims;
    s.p = m.kind == MIRNAK_MINKOWSKI ? m.p : 1.0f;
    // Integral exponents below 2^31 take the exact products.
    s.integer_p = s.p < 2147483648.0f && std::floor(s.p) == s.p ? static_cast<int>(s.p) : 0;
    s.powf = s.integer_p ? powf_fast::POWF_LIBM : powf_fast::best_powf_path();
    return s;
}

const vornik::knn::space_ops *vornik::knn::dense_metric_ops(dist_path path,
                                                            const measured_rows &rows, int kind) {
    const int at = family_index(rows, kind);
#if defined(VORNIK_KNN_HAVE_FMA_PATH)
    if (path == DIST_FMA) return fma_family[at];
#endif
#if defined(VORNIK_KNN_HAVE_NEON_PATH)
    if (path == DIST_NEON) return neon_family[at];
#endif
    (void)path;
    return scalar_family[at];
}

int vornik::knn::dense_metric_search(dist_path path, const mirnak_dense_rows *rows,
                                     const mirnak_metric *metric, const mirnak_knn_run *run,
                                     int32_t *knn_idx, float *knn_dist, int n_threads,
                                     mirnak_control *control) {
    if (!rows || !metric || !run || !rows->X || !knn_idx || !knn_dist) return MIRNAK_INVALID;
    if (rows->n_rows <= 0 || rows->n_dims <= 0 || !dense_metric_valid(*metric))
        return MIRNAK_INVALID;
    const measured_rows s = measured(*rows, *metric);
    const search_space sp = {s.n, &s, dense_metric_ops(path, s, metric->kind)};
    return search(sp, problem_of(*run, knn_idx, knn_dist), schedule_of(*run, n_threads, control));
}

extern "C" int mirnak_knn_descent_metric_f32(const mirnak_dense_rows *rows,
                                             const mirnak_metric *metric, const mirnak_knn_run *run,
                                             int32_t *knn_idx, float *knn_dist, int n_threads,
                                             mirnak_control *control) {
    return dense_metric_search(best_dist_path(), rows, metric, run, knn_idx, knn_dist, n_threads,
                               control);
}
