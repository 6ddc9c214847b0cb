// umap_inverse.cpp - points of the data space for points of the embedding.
//
// A point y of the embedding weighs each of its listed fitted neighbours j by
// the embedding's own membership curve, w_j = 1 / (1 + a |y - e_j|^(2b)), and
// its data-space point is the weighted mean of their data rows. The mean is
// what the weights imply: among all rows x it is the one that minimises
// sum_j w_j |x - x_j|^2, and a row that the embedding puts among tight
// neighbours comes out close to them. Each row reads only its own point, its
// own neighbour list and the fitted points, so threads claim blocks of rows
// in any order and every thread count gives the same bits.
#include "umap_inverse.h"

#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstdint>

#include "caller_ids.h"
#include "control.h"
#include "kernel_support.h"
#include "scratch.h"
#include "umap_layout_internal.h"

bool vornik::inverse_valid(const inverse_problem &p) {
    const mirnak_fitted_points &f = p.fitted;
    if (!f.data || !f.embedding || !p.points || !p.neighbours || !p.out) return false;
    if (f.n_fitted <= 0 || f.n_dims <= 0 || f.dim <= 0 || p.n_points <= 0 || p.k <= 0)
        return false;
    // Ordered tests: a NaN curve is refused too.
    if (!(p.run.a > 0.0f) || !(p.run.b > 0.0f) || !std::isfinite(p.run.a) ||
        !std::isfinite(p.run.b))
        return false;
    const uint64_t ids = static_cast<uint64_t>(p.n_points) * static_cast<uint64_t>(p.k);
    return vornik::ids_below_or_empty(p.neighbours, ids, f.n_fitted);
}

namespace {

using vornik::alloc_scratch;
using vornik::inverse_problem;
using vornik::scratch;

// Rows a thread claims at a time: few enough that a stop is seen soon and the
// last rows spread over the threads, many enough that claiming costs nothing.
const int ROWS_PER_CLAIM = 64;

// ---------------------------------------------------------------------------
// One row
// ---------------------------------------------------------------------------

// The membership of a fitted point at squared distance d2 in the embedding.
// A distance so large that the power overflows weighs nothing.
inline float membership(float d2, const mirnak_inverse_run &run) {
    return 1.0f / (1.0f + run.a * powf(d2, run.b));
}

// Row q's neighbour list into ids (k ids), each read once from the caller's
// buffer: one that another thread has rewritten out of range since the
// checks counts as none.
void row_ids(const inverse_problem &p, int64_t q, int32_t *ids) {
    const int32_t *listed = p.neighbours + q * p.k;
    for (int j = 0; j < p.k; ++j) {
        const int32_t id = vornik::load_id(&listed[j]);
        ids[j] = vornik::id_below(id, p.fitted.n_fitted) ? id : -1;
    }
}

// Row q: the weights of its neighbours ids into w (k floats, 0 for an empty
// slot), their sum returned in double. When every listed neighbour weighs
// nothing (the row lies beyond float's reach of all of them) each weighs 1:
// the limit of the weights' ratios is then no better defined than equality.
double row_weights(const inverse_problem &p, int64_t q, const int32_t *ids, float *w) {
    const mirnak_fitted_points &f = p.fitted;
    const float *y = p.points + q * f.dim;
    double total = 0.0;
    int listed = 0;
    for (int j = 0; j < p.k; ++j) {
        w[j] = 0.0f;
        if (ids[j] < 0) continue;
        ++listed;
        const float *e = f.embedding + static_cast<int64_t>(ids[j]) * f.dim;
        w[j] = membership(vornik::layout::mirnak_umap_rdist(y, e, f.dim), p.run);
        total += static_cast<double>(w[j]);
    }
    if (total > 0.0 || listed == 0) return total;
    for (int j = 0; j < p.k; ++j) w[j] = ids[j] < 0 ? 0.0f : 1.0f;
    return static_cast<double>(listed);
}

// Row q of out: sum_j w_j x_j / sum_j w_j, each coordinate's sum in double in
// the order of the list. ids, w and acc: k ids, k floats and n_dims doubles
// of scratch. A row with no listed neighbour is NaN.
void invert_row(const inverse_problem &p, int64_t q, int32_t *ids, float *w, double *acc) {
    const mirnak_fitted_points &f = p.fitted;
    const int n_dims = f.n_dims;
    row_ids(p, q, ids);
    const double total = row_weights(p, q, ids, w);
    for (int d = 0; d < n_dims; ++d) acc[d] = 0.0;
    for (int j = 0; j < p.k; ++j) {
        if (ids[j] < 0 || w[j] == 0.0f) continue;
        const double wj = static_cast<double>(w[j]);
        const float *x = f.data + static_cast<int64_t>(ids[j]) * n_dims;
        for (int d = 0; d < n_dims; ++d) acc[d] = acc[d] + wj * static_cast<double>(x[d]);
    }
    float *out = p.out + q * n_dims;
    const double scale = total > 0.0 ? total : NAN;
    for (int d = 0; d < n_dims; ++d) out[d] = static_cast<float>(acc[d] / scale);
    if (!p.weights) return;
    float *shares = p.weights + q * p.k;
    for (int j = 0; j < p.k; ++j)
        shares[j] = total > 0.0 ? static_cast<float>(static_cast<double>(w[j]) / total) : 0.0f;
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

struct inverse_work {
    const inverse_problem *p;
    std::atomic<int64_t> next; // first row of the next claim
    mirnak_control *ctl;
};

struct inverse_worker {
    inverse_work *work;
    int32_t *ids; // k ids
    float *w;     // k floats
    double *acc;  // n_dims doubles
};

void *inverseworker(void *raw) {
    const inverse_worker &iw = *static_cast<const inverse_worker *>(raw);
    inverse_work &work = *iw.work;
    const int64_t n = work.p->n_points;
    for (;;) {
        if (vornik::stop_requested(work.ctl)) break;
        const int64_t lo = work.next.fetch_add(ROWS_PER_CLAIM, std::memory_order_relaxed);
        if (lo >= n) break;
        const int64_t hi = n - lo < ROWS_PER_CLAIM ? n : lo + ROWS_PER_CLAIM;
        for (int64_t q = lo; q < hi; ++q) invert_row(*work.p, q, iw.ids, iw.w, iw.acc);
        vornik::add_progress(work.ctl, hi - lo);
    }
    return nullptr;
}

} // namespace

int vornik::invert_points(const inverse_problem &p, int n_threads, mirnak_control *ctl) {
    const int64_t claims = (static_cast<int64_t>(p.n_points) + ROWS_PER_CLAIM - 1) / ROWS_PER_CLAIM;
    const int threads = vornik::worker_count(n_threads, claims);
    const uint64_t t = static_cast<uint64_t>(threads);
    scratch<inverse_worker> workers = alloc_scratch<inverse_worker>(t);
    scratch<pthread_t> handles = alloc_scratch<pthread_t>(t);
    scratch<int32_t> ids = alloc_scratch<int32_t>(t * static_cast<uint64_t>(p.k));
    scratch<float> w = alloc_scratch<float>(t * static_cast<uint64_t>(p.k));
    scratch<double> acc = alloc_scratch<double>(t * static_cast<uint64_t>(p.fitted.n_dims));
    if (!workers || !handles || !ids || !w || !acc) return MIRNAK_OUT_OF_MEMORY;

    inverse_work work;
    work.p = &p;
    work.next.store(0, std::memory_order_relaxed);
    work.ctl = ctl;
    for (int e = 0; e < threads; ++e) {
        workers[e].work = &work;
        workers[e].ids = ids.get() + static_cast<uint64_t>(e) * static_cast<uint64_t>(p.k);
        workers[e].w = w.get() + static_cast<uint64_t>(e) * static_cast<uint64_t>(p.k);
        workers[e].acc = acc.get() + static_cast<uint64_t>(e) * p.fitted.n_dims;
    }
    vornik::set_progress(ctl, 0);
    if (vornik::stop_requested(ctl)) return MIRNAK_STOPPED;
    // Every thread claims rows from the one counter: a thread that cannot be
    // created only costs speed.
    vornik::fan_out(
        threads, [&](int e) { return &workers[e]; }, inverseworker, handles.get(),
        vornik::caller_role::runs_the_rest);
    // Every claimed block is finished before its thread looks at the stop
    // flag again, so only rows never claimed are missing.
    return work.next.load(std::memory_order_relaxed) >= p.n_points ? 0 : MIRNAK_STOPPED;
}

// ---------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------

extern "C" int mirnak_umap_inverse_points_f32(const mirnak_fitted_points *fitted, int n_points,
                                              const float *points, const int32_t *neighbours,
                                              int k, const mirnak_inverse_run *run, float *out,
                                              float *weights, int n_threads,
                                              mirnak_control *control) {
    if (!fitted || !run) return MIRNAK_INVALID;
    const vornik::inverse_problem p = {*fitted, n_points, points, neighbours, k, *run, out, weights};
    if (!vornik::inverse_valid(p)) return MIRNAK_INVALID;
    return vornik::invert_points(p, n_threads, control);
}
