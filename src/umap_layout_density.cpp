// umap_layout_density.cpp - the parts layout with a density term, which ties
// every vertex's local radius in the embedding to its local radius in the
// data.
//
// A plain layout gives a tight cluster and a diffuse one the same size: its
// forces see only who is near whom. The density term makes the size say
// something. Vertex i's local radius in the embedding is
//
//   r_i = sqrt(m_i),  m_i = sum_{e in E_i} w_e |y_i - y_t(e)|^2 / W_i,
//
// over the edges E_i with head i, w_e = 1 / epochs_per_sample_e (the fuzzy
// membership up to a constant), W_i = sum_{e in E_i} w_e; the data gives its
// radius R_i the same way. With rho_i = log r_i = log(m_i) / 2 and
// delta_i = log R_i over the N vertices with edges, the term is the Pearson
// correlation of the two, with the shift s added to the embedding's variance:
//
//   C = Cov(rho, delta) / sqrt((Var(rho) + s) Var(delta)),
//
// all moments over the N vertices (1/N normalised). The layout ascends
// Phi = sum_e w_e log q_e (+ repulsion) in expectation per epoch, since edge e
// is sampled w_e times per epoch; the term adds lambda * M * C, M = sum_e w_e,
// so that a strength lambda near 1 weighs the radii as much as the edges.
//
// The gradient. With a = (Var(rho) + s)^(-1/2) Var(delta)^(-1/2) / N and
// b = Cov(rho, delta) / (Var(rho) + s),
//
//   dC/drho_i = a ((delta_i - mean delta) - b (rho_i - mean rho))   (= g_i)
//
// (the derivatives of the means cancel, since centred deviations sum to 0,
// and dVar(rho)/drho_i = 2 (rho_i - mean rho) / N). And rho_i moves with its
// own position and those of its edges' tails:
//
//   drho_i/dy_i = sum_{e in E_i} (w_e / W_i) (y_i - y_t(e)) / m_i,
//   drho_i/dy_t(e) = -(w_e / W_i) (y_i - y_t(e)) / m_i.
//
// So the term's gradient is a sum over edges, each edge e = i -> j moving
// y_i along +(y_i - y_j) and y_j along -(y_i - y_j) by lambda M g_i w_e /
// (W_i m_i): the shape of the attraction, with a coefficient that depends on
// the head alone. Sampled w_e times per epoch, a due edge applies
//
//   c_i (y_i - y_j) to y_i and -c_i (y_i - y_j) to y_j,
//   c_i = lambda M g_i / (W_i m_i),
//
// each coordinate clipped to [-4, 4] like every gradient of the layout: a
// vertex whose radius should grow (g_i > 0) pushes its neighbours away, one
// whose radius should shrink pulls them in. The coefficients hold for an
// epoch: the radii and c are measured from the positions at its start.
//
// The run is the parts layout's: P gradient buffers per substep, each part's
// edges into its own buffer, the buffers summed in part order. The term's
// gradients of a part go into the part's buffer before its other gradients;
// the radii of a vertex are sums in a fixed order over its own edges, and the
// moments are taken on one thread in vertex order, so no sum depends on which
// thread did what: T threads take parts t, t + T, ... of every substep and
// 1/T of every vertex pass, meet at a barrier between the phases, and give
// the bits of one.
#include "umap_layout_density.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <pthread.h>

#include "caller_ids.h"
#include "control.h"
#include "kernel_support.h"
#include "scratch.h"
#include "umap_layout_barrier.h"
#include "umap_layout_internal.h"
#include "umap_layout_partition.h"
#include "umap_layout_substep.h"

namespace {

using namespace vornik::layout;
using vornik::alloc_scratch;
using vornik::scratch;

// The smallest mean squared distance a radius is taken from: a vertex whose
// edges' tails all sit on it has a radius, not a logarithm of minus infinity.
const double MIN_MEAN_SQUARE = 1e-30;

// Log radii whose variance is below this (radii alike to about one part in a
// million) have none: equal radii leave a variance of rounding noise, whose
// inverse square root would blow the term up.
const double MIN_LOG_VARIANCE = 1e-12;

// ---------------------------------------------------------------------------
// Logarithm
// ---------------------------------------------------------------------------

const double LN2 = 0x1.62e42fefa39efp-1;

} // namespace

// x = m 2^e with m in [sqrt(1/2), sqrt(2)); log m = 2 atanh(f), f = (m - 1) /
// (m + 1), |f| < 0.172, from its series up to f^21 (the next term is below
// 1e-18 of the sum).
double vornik::layout::fixed_log(double x) {
    int e;
    double m = frexp(x, &e);
    if (m < 0x1.6a09e667f3bcdp-1) { // sqrt(1/2)
        m = m * 2.0;
        e = e - 1;
    }
    const double f = (m - 1.0) / (m + 1.0);
    const double s = f * f;
    double p = 1.0 / 21.0;
    for (int k = 19; k >= 1; k -= 2) p = p * s + 1.0 / static_cast<double>(k);
    return static_cast<double>(e) * LN2 + 2.0 * f * p;
}

namespace {

// ---------------------------------------------------------------------------
// The shared state of a run
// ---------------------------------------------------------------------------

// Each vertex's edges with a positive finite weight, in schedule order: the
// tails of vertex v's at [first[v], first[v + 1]).
struct head_index {
    scratch<int64_t> first;
    scratch<int32_t> tail;
    scratch<float> weight;
};

// Per vertex: W_v, delta_v, m_v, rho_v and c_v.
struct vertex_scratch {
    scratch<double> total, log_data, mean_square, log_radius;
    scratch<float> pull;
};

// Everything the threads of a run share. The moments of an epoch are written
// by thread 0 between two barriers; the rest is fixed before any thread
// starts or written by vertex ranges that do not overlap.
struct density_run {
    substep_run run;
    int T;           // threads
    int first_epoch; // the term's first epoch (n_epochs: none)
    float strength;
    double shift;
    const int64_t *first;
    const int32_t *tail;
    const float *weight;
    const double *total;
    const double *log_data;
    double *mean_square;
    double *log_radius;
    float *pull;
    double weight_sum;           // M
    int64_t members;             // N: vertices with edges
    double data_mean, data_var;  // of delta over them
    double radius_mean, a, b;    // of the current epoch
    mirnak_barrier_t *barrier;
    mirnak_control *ctl;
};

bool term_valid(const mirnak_density_term &term, int n_samples) {
    if (!(term.strength >= 0.0f) || !std::isfinite(term.strength)) return false;
    if (!(term.variance_shift >= 0.0f) || !std::isfinite(term.variance_shift)) return false;
    if (term.n_epochs < 0) return false;
    if (term.strength == 0.0f || term.n_epochs == 0) return true; // the radii are not read
    if (!term.data_radius) return false;
    for (int v = 0; v < n_samples; ++v)
        if (!(term.data_radius[v] > 0.0f) || !std::isfinite(term.data_radius[v])) return false;
    return true;
}

// The weight of an edge in the radii: 1 / epochs_per_sample, or 0 for an edge
// that is never sampled or whose weight is not a positive finite float.
inline float edge_weight(float eps) {
    if (!(eps > 0.0f)) return 0.0f;
    const float w = 1.0f / eps;
    return std::isfinite(w) && w > 0.0f ? w : 0.0f;
}

// The head of edge q when the edge weighs something and both its ids index
// a vertex, else -1. The ids may be the caller's (edges in schedule order),
// which another thread could rewrite during the call: each is read once here.
inline int32_t weighted_head(const edge_table &e, int64_t q, int n, int32_t *tail) {
    const int32_t h = vornik::load_id(&e.head[q]);
    *tail = vornik::load_id(&e.tail[q]);
    const bool valid = vornik::id_below(h, n) && vornik::id_below(*tail, n);
    return valid && edge_weight(e.eps[q]) > 0.0f ? h : -1;
}

// The by-head index of the run's edges (in schedule order), W_v, M and the
// moments of the data's log radii. False when memory runs out. Edges are
// counted in one pass and placed in a second; should an edge read otherwise
// the second time (a rewritten id), a vertex's unfilled slots are left at
// itself with weight 0, which adds nothing.
bool index_edges(const substep_run &r, const mirnak_density_term &term, head_index *ix,
                 vertex_scratch *vs, density_run *d) {
    const int n = r.problem.n_samples;
    const int64_t n_edges = r.problem.edges.n_edges;
    const edge_table &e = r.edges;
    ix->first = alloc_scratch<int64_t>(static_cast<uint64_t>(n) + 1);
    scratch<int64_t> cursor = alloc_scratch<int64_t>(n); // the fill's, vertex by vertex
    if (!ix->first || !cursor) return false;
    int64_t *first = ix->first.get();
    memset(first, 0, (static_cast<size_t>(n) + 1) * sizeof(int64_t));
    int32_t t;
    for (int64_t q = 0; q < n_edges; ++q) {
        const int32_t h = weighted_head(e, q, n, &t);
        if (h >= 0) ++first[h + 1];
    }
    for (int v = 0; v < n; ++v) first[v + 1] += first[v];
    const int64_t weighted = first[n];
    ix->tail = alloc_scratch<int32_t>(static_cast<uint64_t>(weighted));
    ix->weight = alloc_scratch<float>(static_cast<uint64_t>(weighted));
    vs->total = alloc_scratch<double>(n);
    vs->log_data = alloc_scratch<double>(n);
    vs->mean_square = alloc_scratch<double>(n);
    vs->log_radius = alloc_scratch<double>(n);
    vs->pull = alloc_scratch<float>(n);
    if (!ix->tail || !ix->weight || !vs->total || !vs->log_data || !vs->mean_square ||
        !vs->log_radius || !vs->pull)
        return false;

    // Filled in schedule order, each vertex's cursor running from its start.
    for (int v = 0; v < n; ++v) cursor[v] = first[v];
    for (int64_t q = 0; q < n_edges; ++q) {
        const int32_t h = weighted_head(e, q, n, &t);
        if (h < 0 || cursor[h] == first[h + 1]) continue;
        const int64_t at = cursor[h]++;
        ix->tail[at] = t;
        ix->weight[at] = edge_weight(e.eps[q]);
    }
    for (int v = 0; v < n; ++v)
        for (int64_t at = cursor[v]; at < first[v + 1]; ++at) ix->tail[at] = v, ix->weight[at] = 0;

    d->weight_sum = 0.0;
    d->members = 0;
    double data_sum = 0.0;
    for (int v = 0; v < n; ++v) {
        double total = 0.0;
        for (int64_t at = first[v]; at < first[v + 1]; ++at) total += ix->weight[at];
        vs->total[v] = total;
        vs->pull[v] = 0.0f;
        vs->log_data[v] = term.data_radius ? vornik::layout::fixed_log(term.data_radius[v]) : 0.0;
        d->weight_sum += total;
        if (total > 0.0) ++d->members, data_sum += vs->log_data[v];
    }
    d->data_mean = d->members ? data_sum / static_cast<double>(d->members) : 0.0;
    double var = 0.0;
    for (int v = 0; v < n; ++v)
        if (vs->total[v] > 0.0) {
            const double dev = vs->log_data[v] - d->data_mean;
            var += dev * dev;
        }
    d->data_var = d->members ? var / static_cast<double>(d->members) : 0.0;

    d->first = first;
    d->tail = ix->tail.get();
    d->weight = ix->weight.get();
    d->total = vs->total.get();
    d->log_data = vs->log_data.get();
    d->mean_square = vs->mean_square.get();
    d->log_radius = vs->log_radius.get();
    d->pull = vs->pull.get();
    return true;
}

// ---------------------------------------------------------------------------
// The term's phases
// ---------------------------------------------------------------------------

// m_v and rho_v of vertices [lo, hi) from the current positions.
void measure_radii(const density_run &d, int lo, int hi) {
    const float *y = d.run.problem.embedding;
    const int dim = d.run.problem.dim;
    for (int v = lo; v < hi; ++v) {
        if (!(d.total[v] > 0.0)) continue;
        const float *yv = y + static_cast<int64_t>(v) * dim;
        double sum = 0.0;
        for (int64_t at = d.first[v]; at < d.first[v + 1]; ++at) {
            const float *yt = y + static_cast<int64_t>(d.tail[at]) * dim;
            sum += static_cast<double>(d.weight[at]) *
                   static_cast<double>(mirnak_umap_rdist(yv, yt, dim));
        }
        double m = sum / d.total[v];
        m = m > MIN_MEAN_SQUARE ? m : MIN_MEAN_SQUARE; // a NaN stays
        d.mean_square[v] = m;
        d.log_radius[v] = 0.5 * vornik::layout::fixed_log(m);
    }
}

// The epoch's moments, on one thread in vertex order: mean rho, a and b (a
// = 0 when the correlation is undefined: fewer than two vertices, radii all
// alike in the data, or in the embedding without a shift).
void take_moments(density_run &d) {
    const int n = d.run.problem.n_samples;
    d.a = 0.0;
    d.b = 0.0;
    d.radius_mean = 0.0;
    if (d.members < 2 || !(d.data_var > MIN_LOG_VARIANCE)) return;
    const double count = static_cast<double>(d.members);
    double sum = 0.0;
    for (int v = 0; v < n; ++v)
        if (d.total[v] > 0.0) sum += d.log_radius[v];
    const double mean = sum / count;
    double var = 0.0, cov = 0.0;
    for (int v = 0; v < n; ++v) {
        if (!(d.total[v] > 0.0)) continue;
        const double dev = d.log_radius[v] - mean;
        var += dev * dev;
        cov += dev * (d.log_data[v] - d.data_mean);
    }
    const double shifted = var / count + d.shift;
    if (!(shifted > MIN_LOG_VARIANCE)) return;
    d.radius_mean = mean;
    d.a = 1.0 / (count * sqrt(shifted * d.data_var));
    d.b = (cov / count) / shifted;
}

// c_v = lambda M g_v / (W_v m_v) for vertices [lo, hi).
void set_pulls(const density_run &d, int lo, int hi) {
    const double scale = static_cast<double>(d.strength) * d.weight_sum * d.a;
    for (int v = lo; v < hi; ++v) {
        if (!(d.total[v] > 0.0) || d.a == 0.0) {
            d.pull[v] = 0.0f;
            continue;
        }
        const double g = (d.log_data[v] - d.data_mean) - d.b * (d.log_radius[v] - d.radius_mean);
        d.pull[v] = static_cast<float>(scale * g / (d.total[v] * d.mean_square[v]));
    }
}

// The term's gradients of the due edges at schedule positions base + [k_lo,
// k_hi) into g, in ascending order, from the frozen positions: before the
// edges' other gradients, which advance their schedule.
void density_gradients(const density_run &d, float *g, int64_t base, int64_t k_lo, int64_t k_hi,
                       int n) {
    const substep_run &r = d.run;
    const float *y = r.problem.embedding;
    const int dim = r.problem.dim;
    const double epoch = static_cast<double>(n);
    const int n_samples = r.problem.n_samples;
    for (int64_t q = base + k_lo; q < base + k_hi; ++q) {
        if (r.eons[q] > epoch) continue; // not due, or never (parked at +inf)
        // Read once and checked, as the edges' other gradients read them.
        const int64_t head = vornik::load_id(&r.edges.head[q]);
        const int64_t tail = vornik::load_id(&r.edges.tail[q]);
        if (!vornik::id_below(static_cast<int32_t>(head), n_samples) ||
            !vornik::id_below(static_cast<int32_t>(tail), n_samples))
            continue;
        const float c = d.pull[head];
        if (c == 0.0f) continue;
        const float *yh = y + head * dim, *yt = y + tail * dim;
        float *gh = g + head * dim, *gt = g + tail * dim;
        for (int t = 0; t < dim; ++t) {
            const float grad = mirnak_umap_clip(c * (yh[t] - yt[t]));
            gh[t] = gh[t] + grad;
            gt[t] = gt[t] - grad;
        }
    }
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

struct density_worker {
    density_run *d;
    int t;
};

// Thread t of T: its vertex range, its parts of every substep, its slice of
// every reduction, with barriers between the phases. False when the barrier
// was aborted (a stop, or a thread that did not start).
bool worker_loop(density_run &d, int t) {
    const substep_run &r = d.run;
    const int T = d.T, P = r.n_blocks;
    const int64_t S = r.n_substeps, n_edges = r.problem.edges.n_edges;
    const mirnak_layout_run &run = r.problem.run;
    mirnak_barrier_t *barrier = d.barrier;
    uint64_t v_lo, v_hi;
    vornik::proportional_block(static_cast<uint64_t>(r.problem.n_samples),
                               static_cast<uint64_t>(T), static_cast<uint64_t>(t), &v_lo, &v_hi);
    const int lo = static_cast<int>(v_lo), hi = static_cast<int>(v_hi);
    size_t e_lo, e_hi;
    reduction_slice(r.emb_len, T, t, &e_lo, &e_hi);

    if (mirnak_barrier_wait(barrier)) return false; // every thread has started
    for (int n = 0; n < run.n_epochs; ++n) {
        const float alpha = epoch_alpha(run.initial_alpha, n, run.n_epochs);
        const bool term = n >= d.first_epoch;
        if (term) {
            measure_radii(d, lo, hi);
            if (mirnak_barrier_wait(barrier)) return false;
            if (t == 0) take_moments(d);
            if (mirnak_barrier_wait(barrier)) return false;
            set_pulls(d, lo, hi);
            if (mirnak_barrier_wait(barrier)) return false;
        }
        int64_t base = 0;
        for (int64_t s = 0; s < S; ++s) {
            // Nobody is between the two crossings of a substep here, where
            // the embedding is written: a stop leaves it whole.
            if (vornik::stop_requested(d.ctl)) {
                mirnak_barrier_abort(barrier);
                return false;
            }
            int64_t K = 0; // the substep's edges
            for (int p = t; p < P; p += T) {
                int64_t k_lo, k_hi;
                K = edge_share(n_edges, S, s, P, p, &k_lo, &k_hi);
                float *g = r.gbuf + static_cast<size_t>(p) * r.emb_len;
                if (term) density_gradients(d, g, base, k_lo, k_hi, n);
                vornik::layout::substep_gradients(r, g, s, base, k_lo, k_hi, n);
            }
            if (mirnak_barrier_wait(barrier)) return false;
            vornik::layout::reduce_range(r, e_lo, e_hi, alpha);
            if (mirnak_barrier_wait(barrier)) return false;
            base += K; // every thread has a part (T <= P), so K is the substep's
        }
        if (t == 0) vornik::set_progress(d.ctl, n + 1);
    }
    return true;
}

void *densityworker(void *raw) {
    const density_worker &w = *static_cast<const density_worker *>(raw);
    worker_loop(*w.d, w.t);
    return nullptr;
}

// Runs the workers on T threads, the calling thread among them. When a
// thread cannot be created the started ones are sent home from their first
// wait, before any work, and the run starts again on the threads it had:
// the result does not depend on their number. True when stopped.
bool run_threads(density_run &d, int T, pthread_t *handles, density_worker *workers) {
    for (;;) {
        mirnak_barrier_t barrier;
        mirnak_barrier_init(&barrier, T);
        d.barrier = &barrier;
        d.T = T;
        int started = 0;
        for (int t = 0; t < T - 1; ++t) {
            workers[t] = {&d, t};
            if (pthread_create(&handles[t], nullptr, densityworker, &workers[t]) != 0) break;
            ++started;
        }
        if (started < T - 1) {
            mirnak_barrier_abort(&barrier);
            for (int t = 0; t < started; ++t) pthread_join(handles[t], nullptr);
            mirnak_barrier_destroy(&barrier);
            T = started + 1;
            continue;
        }
        const bool finished = worker_loop(d, T - 1);
        for (int t = 0; t < started; ++t) pthread_join(handles[t], nullptr);
        const bool stopped = !finished || barrier.aborted;
        mirnak_barrier_destroy(&barrier);
        return stopped;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------

int vornik::layout::optimize_density(const layout_problem &p, const mirnak_density_term &term,
                                     const parts_plan &plan, mirnak_control *ctl,
                                     const vornik::powf_fast::powf_path *powers) {
    if (!args_valid(p) || plan.n_parts < 1 || plan.n_substeps < 0) return MIRNAK_INVALID;
    if (!term_valid(term, p.n_samples)) return MIRNAK_INVALID;
    const int64_t n_edges = p.edges.n_edges;
    const int S = parts_substeps(n_edges, p.n_samples, plan.n_substeps);
    const int P = n_edges < plan.n_parts ? static_cast<int>(n_edges) : plan.n_parts;
    vornik::set_progress(ctl, 0);
    if (vornik::stop_requested(ctl)) return MIRNAK_STOPPED;

    const int T = vornik::worker_count(plan.n_threads, P);
    substep_scratch sc;
    head_index ix;
    vertex_scratch vs;
    density_run d;
    scratch<pthread_t> handles = alloc_scratch<pthread_t>(static_cast<uint64_t>(T));
    scratch<density_worker> workers = alloc_scratch<density_worker>(static_cast<uint64_t>(T));
    if (!handles || !workers) return MIRNAK_OUT_OF_MEMORY;
    if (!prepare_substep_run(p, P, S, plan.in_schedule_order, &sc, &d.run))
        return MIRNAK_OUT_OF_MEMORY;
    if (!index_edges(d.run, term, &ix, &vs, &d)) return MIRNAK_OUT_OF_MEMORY;
    if (powers) d.run.powers = *powers;
    memset(d.run.gbuf, 0, d.run.emb_len * static_cast<size_t>(P) * sizeof(float));

    const int term_epochs = term.n_epochs < p.run.n_epochs ? term.n_epochs : p.run.n_epochs;
    const bool active = term.strength > 0.0f && term_epochs > 0;
    d.first_epoch = active ? p.run.n_epochs - term_epochs : p.run.n_epochs;
    d.strength = term.strength;
    d.shift = static_cast<double>(term.variance_shift);
    d.ctl = ctl;
    return run_threads(d, T, handles.get(), workers.get()) ? MIRNAK_STOPPED : 0;
}

extern "C" int mirnak_umap_optimize_layout_density_f32(float *embedding, int n_samples, int dim,
                                                       const mirnak_layout_edges *edges,
                                                       const mirnak_layout_run *run,
                                                       const mirnak_density_term *density,
                                                       const mirnak_parts_plan *plan,
                                                       mirnak_control *control) {
    if (!edges || !run || !density || !plan) return MIRNAK_INVALID;
    const layout_problem p = {embedding, n_samples, dim, *edges, *run};
    const parts_plan parts = {plan->n_parts, plan->n_substeps, plan->n_threads,
                              plan->in_schedule_order != 0};
    if (!kernel_args_valid(p)) return MIRNAK_INVALID;
    return optimize_density(p, *density, parts, control);
}
