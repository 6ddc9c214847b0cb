// umap_layout.cpp - serial layout optimiser.
//
// Epoch-driven stochastic gradient descent on one thread: every due edge pulls
// its two ends together, then pushes its head away from the negative samples
// it owes. Updates land at once, one coordinate at a time, so later edges of
// the same epoch see the moved positions.
#include "vornik_kernels.h"

#include <cstdint>

#include "caller_ids.h"
#include "control.h"
#include "scratch.h"
#include "umap_layout.h"
#include "umap_layout_internal.h"

namespace {

using namespace vornik::layout;

// ---------------------------------------------------------------------------
// One epoch
// ---------------------------------------------------------------------------

// The problem and the schedule the epochs advance.
struct serial_run {
    layout_problem p;
    vertex_range vertices;
    int64_t negative_cap; // the most negative samples an edge draws per epoch
    double *eons;
    double *eonn;
    const double *epn;
    const mirnak_control *ctl;
};

// Edges between two looks at the stop flag.
const int64_t STOP_POLL_EDGES = 4096;

// DIM > 0 fixes the dimension at compile time (the common 2-D layout); 0
// reads it from the run. The arithmetic is the same either way. Returns
// false when a stop ended the epoch early.
template <int DIM> bool serial_epoch(const serial_run r, int n, float alpha) {
    const layout_problem &prob = r.p;
    const mirnak_layout_edges &edges = prob.edges;
    const mirnak_layout_run &run = prob.run;
    const int dim = DIM > 0 ? DIM : prob.dim;
    const double epoch = static_cast<double>(n);
    for (int64_t i = 0; i < edges.n_edges; ++i) {
        if (i % STOP_POLL_EDGES == 0 && vornik::stop_requested(r.ctl)) return false;
        const float eps = edges.epochs_per_sample[i];
        if (!edge_due(eps, r.eons[i], epoch)) continue;

        // Checked where read: the caller's buffers may change during the call.
        const int32_t j = vornik::load_id(&edges.head[i]);
        const int32_t k = vornik::load_id(&edges.tail[i]);
        if (!vornik::id_below(j, prob.n_samples) || !vornik::id_below(k, prob.n_samples)) continue;
        float *cur = prob.embedding + static_cast<int64_t>(j) * dim;
        float *oth = prob.embedding + static_cast<int64_t>(k) * dim;

        // Attraction; oth is read after cur was written (they alias on a self-loop).
        const float d2 = mirnak_umap_rdist(cur, oth, dim);
        const float gc = mirnak_umap_attractive_coeff(d2, run.a, run.b);
        for (int d = 0; d < dim; ++d) {
            const float grad = mirnak_umap_clip(gc * (cur[d] - oth[d]));
            cur[d] = cur[d] + grad * alpha;
            oth[d] = oth[d] - grad * alpha;
        }

        const int64_t n_neg =
            advance_schedule(eps, r.epn[i], epoch, r.negative_cap, &r.eons[i], &r.eonn[i]);
        if (n_neg <= 0) continue;

        // The draws do not depend on positions, so each sample's row is
        // fetched while the previous sample is applied.
        uint32_t rng[3];
        mirnak_umap_seed_rng(run.seed, i, n, rng);
        int32_t next = sample_vertex(rng, r.vertices);
        for (int64_t p = 0; p < n_neg; ++p) {
            const int32_t k2 = next;
            if (p + 1 < n_neg) {
                next = sample_vertex(rng, r.vertices);
                __builtin_prefetch(prob.embedding + static_cast<int64_t>(next) * dim);
            }
            const float *oth2 = prob.embedding + static_cast<int64_t>(k2) * dim;
            const float dd2 = mirnak_umap_rdist(cur, oth2, dim);
            float gcn;
            if (dd2 <= 0.0f) {
                if (k2 == j) continue; // the head drew itself
                gcn = 0.0f;
            } else {
                gcn = mirnak_umap_repulsive_coeff(dd2, run.a, run.b, run.gamma);
            }
            // A zero gradient is still applied: 0 * alpha is not a no-op for
            // a non-finite alpha or a negative zero coordinate.
            for (int d = 0; d < dim; ++d) {
                const float grad = gcn > 0.0f ? mirnak_umap_clip(gcn * (cur[d] - oth2[d])) : 0.0f;
                cur[d] = cur[d] + grad * alpha;
            }
        }
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------

bool vornik::layout::args_valid(const layout_problem &p) {
    const mirnak_layout_edges &e = p.edges;
    if (!p.embedding || !e.head || !e.tail || !e.epochs_per_sample) return false;
    return p.n_samples > 0 && p.dim > 0 && e.n_edges > 0 && run_valid(p.run);
}

bool vornik::layout::vertex_ids_valid(const mirnak_layout_edges &edges, int n_samples) {
    for (int64_t i = 0; i < edges.n_edges; ++i)
        if (!vornik::id_below(vornik::load_id(&edges.head[i]), n_samples) ||
            !vornik::id_below(vornik::load_id(&edges.tail[i]), n_samples))
            return false;
    return true;
}

int vornik::layout::optimize_serial(const layout_problem &p, mirnak_control *ctl) {
    if (!args_valid(p)) return MIRNAK_INVALID;
    vornik::set_progress(ctl, 0);
    if (vornik::stop_requested(ctl)) return MIRNAK_STOPPED;
    const mirnak_layout_edges &edges = p.edges;
    const uint64_t n_edges = static_cast<uint64_t>(edges.n_edges);
    vornik::scratch<double> eons = vornik::alloc_scratch<double>(n_edges);
    vornik::scratch<double> eonn = vornik::alloc_scratch<double>(n_edges);
    vornik::scratch<double> epn = vornik::alloc_scratch<double>(n_edges);
    if (!eons || !eonn || !epn) return MIRNAK_OUT_OF_MEMORY;

    for (int64_t i = 0; i < edges.n_edges; ++i)
        schedule_init(edges.epochs_per_sample[i], p.run.negative_sample_rate, &eons[i], &eonn[i],
                      &epn[i]);

    serial_run run;
    run.p = p;
    run.vertices = vertex_range_of(p.n_samples);
    run.negative_cap = negative_cap(p.run.negative_sample_rate);
    run.eons = eons.get();
    run.eonn = eonn.get();
    run.epn = epn.get();
    run.ctl = ctl;
    const int n_epochs = p.run.n_epochs;
    for (int n = 0; n < n_epochs; ++n) {
        const float alpha = epoch_alpha(p.run.initial_alpha, n, n_epochs);
        const bool finished =
            p.dim == 2 ? serial_epoch<2>(run, n, alpha) : serial_epoch<0>(run, n, alpha);
        if (!finished) return MIRNAK_STOPPED;
        vornik::set_progress(ctl, n + 1);
    }
    return 0;
}

extern "C" int mirnak_umap_optimize_layout_euclidean_f32_ctl(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b, float gamma,
    float initial_alpha, float negative_sample_rate, uint64_t seed, mirnak_control *control) {
    const mirnak_layout_edges edges = {head, tail, n_edges, epochs_per_sample};
    const mirnak_layout_run run = {n_epochs, a, b, gamma, initial_alpha, negative_sample_rate,
                                   seed};
    const layout_problem p = {embedding, n_samples, dim, edges, run};
    return kernel_args_valid(p) ? optimize_serial(p, control) : MIRNAK_INVALID;
}

extern "C" void mirnak_umap_optimize_layout_euclidean_f32(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b, float gamma,
    float initial_alpha, float negative_sample_rate, uint64_t seed) {
    mirnak_umap_optimize_layout_euclidean_f32_ctl(
        embedding, n_samples, dim, head, tail, n_edges, epochs_per_sample, n_epochs, a, b, gamma,
        initial_alpha, negative_sample_rate, seed, nullptr);
}
