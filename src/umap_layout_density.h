// umap_layout_density.h - the layout with a density term, as the exported
// kernel, the Python layer and the tests reach it.
#ifndef VORNIK_UMAP_LAYOUT_DENSITY_H
#define VORNIK_UMAP_LAYOUT_DENSITY_H

#include "powf_fast.h"
#include "umap_layout.h"
#include "vornik_kernels.h"

namespace vornik {
namespace layout {

// The parts layout of p (the plan's parts, substeps and threads) with the
// density term added over its last epochs; the statuses of the exported
// kernel. Vertex ids are not scanned (the caller has checked them). powers
// names the power path of the gradients (null: the best this CPU has); every
// path gives the same bits.
int optimize_density(const layout_problem &p, const mirnak_density_term &term,
                     const parts_plan &plan, mirnak_control *ctl,
                     const vornik::powf_fast::powf_path *powers = nullptr);

// The natural logarithm of a positive finite x from the four basic
// operations alone, in a fixed order (no library call, no fused
// multiply-add), so that it has the same bits on every platform; within
// 2 ulp of the true value.
double fixed_log(double x);

} // namespace layout
} // namespace vornik

#endif // VORNIK_UMAP_LAYOUT_DENSITY_H
