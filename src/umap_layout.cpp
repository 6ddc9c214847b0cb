// umap_layout.cpp - serial layout optimiser (placeholder until the kernel lands).
#include "vornik_kernels.h"

extern "C" void mirnak_umap_optimize_layout_euclidean_f32(float *, int, int, const int32_t *,
                                                          const int32_t *, int64_t, const float *,
                                                          int, float, float, float, float, float,
                                                          uint64_t) {}
