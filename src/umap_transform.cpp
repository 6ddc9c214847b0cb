// umap_transform.cpp - layout of new points against a frozen reference
// embedding.
//
// Each new point has up to width edges to reference points, each sampled on
// its own schedule (epochs_per_sample, as in the fit's optimiser). A due edge
// pulls the new point towards its reference point, which never moves, and
// pushes it away from the negative samples it owes, drawn from the
// reference points. The gradients, clipping, learning-rate decay and
// schedule are the fit's optimiser's. A point's random stream derives from
// the seed and the point's own key, never from its place in the batch, and a
// point reads nothing another point writes, so threads take blocks of points
// and any thread count gives the same bits.
#include "vornik_kernels.h"

#include <pthread.h>

#include <cstdint>

#include "caller_ids.h"
#include "control.h"
#include "kernel_support.h"
#include "scratch.h"
#include "umap_layout_internal.h"
#include "umap_transform.h"

using namespace vornik::layout;
using vornik::alloc_scratch;
using vornik::block_size;
using vornik::scratch;

// ---------------------------------------------------------------------------
// The problem
// ---------------------------------------------------------------------------

bool vornik::layout::new_points_valid(const new_points_problem &p) {
    if (!p.embedding || !p.reference || !p.tail || !p.epochs_per_sample || !p.keys) return false;
    if (p.n_points <= 0 || p.dim <= 0 || p.n_reference <= 0 || p.width <= 0) return false;
    if (!run_valid(p.run)) return false;
    const uint64_t edges = static_cast<uint64_t>(p.n_points) * static_cast<uint64_t>(p.width);
    return vornik::ids_below_or_empty(p.tail, edges, p.n_reference);
}

namespace {

// The seed of point i's stream: its key mixed into the run's seed. The
// per-edge, per-epoch streams then follow the fit's rule with this seed.
inline uint64_t point_seed(uint64_t seed, uint64_t key) {
    return vornik::splitmix64_mix(seed ^ key);
}

// ---------------------------------------------------------------------------
// One point
// ---------------------------------------------------------------------------

// The schedule of one point's edges: next due, drawn up to, per negative.
struct edge_schedule {
    double *eons;
    double *eonn;
    double *epn;
};

// DIM > 0 fixes the dimension at compile time (the common 2-D layout); 0
// reads it from the problem. The arithmetic is the same either way. False
// when a stop ended the point's epochs early.
template <int DIM>
bool place_point(const new_points_problem &p, int64_t i, edge_schedule s,
                 const mirnak_control *ctl) {
    const int dim = DIM > 0 ? DIM : p.dim;
    const int width = p.width;
    const mirnak_layout_run &run = p.run;
    float *cur = p.embedding + i * dim;
    const int32_t *tail = p.tail + i * width;
    const float *eps = p.epochs_per_sample + i * width;
    for (int j = 0; j < width; ++j)
        schedule_init(eps[j], run.negative_sample_rate, &s.eons[j], &s.eonn[j], &s.epn[j]);
    const uint64_t seed = point_seed(run.seed, p.keys[i]);
    const vertex_range vertices = vertex_range_of(p.n_reference);
    const int64_t cap = negative_cap(run.negative_sample_rate);
    const float attract = attractive_numerator(run.a, run.b);
    const float repulse = repulsive_numerator(run.b, run.gamma);
    const float b1 = run.b - 1.0f;

    for (int n = 0; n < run.n_epochs; ++n) {
        if (vornik::stop_requested(ctl)) return false;
        const float alpha = epoch_alpha(run.initial_alpha, n, run.n_epochs);
        const double epoch = static_cast<double>(n);
        for (int j = 0; j < width; ++j) {
            // -1 is no edge; any other id outside the reference can only be
            // another thread's write during the call, and is skipped too.
            const int32_t t = vornik::load_id(&tail[j]);
            if (!vornik::id_below(t, p.n_reference) || !edge_due(eps[j], s.eons[j], epoch))
                continue;

            // Attraction: only the new point moves.
            const float *oth = p.reference + static_cast<int64_t>(t) * dim;
            const float d2 = mirnak_umap_rdist(cur, oth, dim);
            const float gc =
                d2 <= 0.0f ? 0.0f : attractive_from_pow(d2, powf(d2, b1), run.a, attract);
            for (int d = 0; d < dim; ++d) {
                const float grad = mirnak_umap_clip(gc * (cur[d] - oth[d]));
                cur[d] = cur[d] + grad * alpha;
            }

            const int64_t n_neg =
                advance_schedule(eps[j], s.epn[j], epoch, cap, &s.eons[j], &s.eonn[j]);
            if (n_neg <= 0) continue;
            uint32_t rng[3];
            mirnak_umap_seed_rng(seed, j, n, rng);
            for (int64_t q = 0; q < n_neg; ++q) {
                const int32_t k2 = sample_vertex(rng, vertices);
                const float *oth2 = p.reference + static_cast<int64_t>(k2) * dim;
                const float dd2 = mirnak_umap_rdist(cur, oth2, dim);
                // A sample at the point's own position pushes nowhere.
                const float gcn =
                    dd2 <= 0.0f ? 0.0f : repulsive_from_pow(dd2, powf(dd2, run.b), run.a, repulse);
                for (int d = 0; d < dim; ++d) {
                    const float grad =
                        gcn > 0.0f ? mirnak_umap_clip(gcn * (cur[d] - oth2[d])) : 0.0f;
                    cur[d] = cur[d] + grad * alpha;
                }
            }
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Workers
// ---------------------------------------------------------------------------

// One thread's block of new points, and the schedule of the point it places.
struct point_block {
    const new_points_problem *p;
    int i0, i1; // points [i0, i1)
    edge_schedule s;
    mirnak_control *ctl; // polled every epoch; counts the points placed
};

// Points placed between two additions to the progress count.
const int PROGRESS_POINTS = 16;

void *placeworker(void *arg) {
    const point_block *w = static_cast<const point_block *>(arg);
    int counted = w->i0; // the points before this one are in the progress count
    for (int i = w->i0; i < w->i1; ++i) {
        const bool placed = w->p->dim == 2 ? place_point<2>(*w->p, i, w->s, w->ctl)
                                           : place_point<0>(*w->p, i, w->s, w->ctl);
        if (!placed) break;
        if (i + 1 - counted == PROGRESS_POINTS || i + 1 == w->i1) {
            vornik::add_progress(w->ctl, i + 1 - counted);
            counted = i + 1;
        }
    }
    return nullptr;
}

} // namespace

int vornik::layout::place_new_points(const new_points_problem &p, int n_threads,
                                     mirnak_control *ctl) {
    const int threads = vornik::worker_count(n_threads, p.n_points);
    vornik::set_progress(ctl, 0);
    if (vornik::stop_requested(ctl)) return MIRNAK_STOPPED;

    const uint64_t t = static_cast<uint64_t>(threads);
    const uint64_t per = 3 * static_cast<uint64_t>(p.width);
    scratch<point_block> blocks = alloc_scratch<point_block>(t);
    scratch<pthread_t> th = alloc_scratch<pthread_t>(t);
    scratch<double> sched = alloc_scratch<double>(t * per);
    if (!blocks || !th || !sched) return MIRNAK_OUT_OF_MEMORY;

    int i0 = 0;
    for (int e = 0; e < threads; ++e) {
        point_block &w = blocks[e];
        w.p = &p;
        w.i0 = i0;
        w.i1 = i0 + block_size(p.n_points, threads, e);
        i0 = w.i1;
        double *own = sched.get() + static_cast<uint64_t>(e) * per;
        w.s.eons = own;
        w.s.eonn = own + p.width;
        w.s.epn = own + 2 * static_cast<int64_t>(p.width);
        w.ctl = ctl;
    }
    vornik::fan_out(
        threads, [&](int e) { return &blocks[e]; }, placeworker, th.get(),
        vornik::caller_role::runs_last);
    return vornik::stop_requested(ctl) ? MIRNAK_STOPPED : 0;
}

// ---------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------

extern "C" int mirnak_umap_optimize_new_points_f32(
    float *embedding, int n_points, int dim, const float *reference, int n_reference,
    const int32_t *tail, const float *epochs_per_sample, int width, const uint64_t *keys,
    int n_epochs, float a, float b, float gamma, float initial_alpha, float negative_sample_rate,
    uint64_t seed, int n_threads) {
    const new_points_problem p = {
        embedding,
        n_points,
        dim,
        reference,
        n_reference,
        tail,
        epochs_per_sample,
        width,
        keys,
        {n_epochs, a, b, gamma, initial_alpha, negative_sample_rate, seed}};
    if (!new_points_valid(p)) return MIRNAK_INVALID;
    return place_new_points(p, n_threads);
}

extern "C" int mirnak_umap_optimize_new_points_f32_ctl(float *embedding, int n_points, int dim,
                                                       const float *reference, int n_reference,
                                                       const mirnak_new_point_edges *edges,
                                                       const mirnak_layout_run *run, int n_threads,
                                                       mirnak_control *control) {
    if (!edges || !run) return MIRNAK_INVALID;
    new_points_problem p;
    p.embedding = embedding;
    p.n_points = n_points;
    p.dim = dim;
    p.reference = reference;
    p.n_reference = n_reference;
    p.tail = edges->tail;
    p.epochs_per_sample = edges->epochs_per_sample;
    p.width = edges->width;
    p.keys = edges->keys;
    p.run = *run;
    if (!new_points_valid(p)) return MIRNAK_INVALID;
    return place_new_points(p, n_threads, control);
}
