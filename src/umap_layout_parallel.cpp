// umap_layout_parallel.cpp - parallel layout optimiser.
//
// Every epoch is cut into substeps. In a substep each worker adds the clipped
// gradients of its share of the edges into a private buffer while the
// embedding stays frozen; after a barrier the workers sum all buffers over
// disjoint slices of the embedding; after a second barrier the next substep
// starts. The result depends on the number of threads and substeps, never on
// timing. When only one thread would run, or memory or threads cannot be had,
// the serial optimiser does the work and the status says so (-1).
#include "vornik_kernels.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <pthread.h>

#include "scratch.h"
#include "umap_layout_internal.h"
#include "umap_layout_parallel_internal.h"

namespace {

// ---------------------------------------------------------------------------
// Worker
// ---------------------------------------------------------------------------

// One edge as the workers read it.
struct layout_edge {
    int32_t head;
    int32_t tail;
    float eps; // epochs_per_sample
};

// One worker's view of the run, filled before the worker starts and never
// changed.
//
// Everything per edge is stored substep by substep (edge s + k * S at
// position offset(s) + k), so a worker walks its share of a substep through
// contiguous memory rather than with a stride of S. The schedule keeps eons
// and eonn; epn is recomputed by the same double division whenever an edge is
// due, which gives the same bits as storing it. An edge that is never
// sampled is parked with eons = +inf, so the due test reads eons alone.
struct layout_worker_args {
    int tid;
    int n_threads;
    layout_problem problem; // the workers read the edges from the table below
    const layout_edge *edges;
    double *eons;
    double *eonn;
    float *gbuf;
    size_t emb_len;
    int n_substeps;
    mirnak_barrier_t *barrier;
};

// Negative samples drawn when an edge is taken (see take_edge).
const int NEG_CHUNK = 8;

// Due edges taken ahead of the one whose gradients are being computed, so
// that the rows they read are on their way into the cache by their turn.
const int LOOKAHEAD = 4;

// A due edge whose schedule has been advanced and whose first negative
// samples have been drawn, waiting for its gradients.
struct taken_edge {
    int64_t p;       // schedule position
    int64_t n_neg;   // negative samples owed in this epoch, up to INT_MAX
    int drawn;       // how many of them are in sample[]
    uint32_t rng[3]; // the edge's stream, just past the drawn samples
    int32_t sample[NEG_CHUNK];
};

// The run's constants as the gradient arithmetic uses them, taken once.
struct layout_coeffs {
    float a;
    float b;
    float b_minus_1;   // the attraction's power
    float attract_num; // numerators of the two coefficients
    float repulse_num;
};

inline layout_coeffs make_coeffs(const layout_problem &p) {
    layout_coeffs cf;
    cf.a = p.a;
    cf.b = p.b;
    cf.b_minus_1 = p.b - 1.0f;
    cf.attract_num = mirnak_umap_attractive_numerator(p.a, p.b);
    cf.repulse_num = mirnak_umap_repulsive_numerator(p.b, p.gamma);
    return cf;
}

// Advances the schedule of the due edge i (stored at position p), draws its
// first chunk of negative samples and starts fetching every row its
// gradients will read. The schedule depends on nothing the geometry does and
// the draws only on seed, edge and epoch, so both may run ahead of the
// gradients of earlier edges.
template <int DIM>
inline void take_edge(const layout_worker_args &w, const float *g,
                      mirnak_umap_vertex_range vertices, int64_t i, int64_t p, double epoch, int n,
                      taken_edge *te) {
    const int dim = DIM > 0 ? DIM : w.problem.dim;
    const float *embedding = w.problem.embedding;
    const layout_edge &e = w.edges[p];
    __builtin_prefetch(embedding + static_cast<int64_t>(e.head) * dim);
    __builtin_prefetch(embedding + static_cast<int64_t>(e.tail) * dim);
    __builtin_prefetch(g + static_cast<int64_t>(e.head) * dim, 1);
    __builtin_prefetch(g + static_cast<int64_t>(e.tail) * dim, 1);
    const double epn = mirnak_umap_epochs_per_negative(e.eps, w.problem.negative_sample_rate);
    te->p = p;
    te->n_neg = mirnak_umap_advance_schedule(e.eps, epn, epoch, &w.eons[p], &w.eonn[p]);
    te->drawn = 0;
    if (te->n_neg <= 0) return;
    // The stream lives in locals while drawing: stores into sample[] could
    // otherwise alias it and force it through memory on every draw.
    uint32_t rng[3];
    mirnak_umap_seed_rng(w.problem.seed, i, n, rng);
    const int m = te->n_neg < NEG_CHUNK ? static_cast<int>(te->n_neg) : NEG_CHUNK;
    for (int c = 0; c < m; ++c) {
        const int32_t v = mirnak_umap_sample_vertex(rng, vertices);
        __builtin_prefetch(embedding + static_cast<int64_t>(v) * dim);
        te->sample[c] = v;
    }
    te->drawn = m;
    te->rng[0] = rng[0];
    te->rng[1] = rng[1];
    te->rng[2] = rng[2];
}

// Adds the repulsion of m measured samples (powers in pb) into gj, in order.
template <int DIM>
inline void push_samples(const layout_worker_args &w, const layout_coeffs &cf, const float *cur,
                         float *gj, int m, const float *const *rows, const float *dd2,
                         const float *pb) {
    const int dim = DIM > 0 ? DIM : w.problem.dim;
    for (int c = 0; c < m; ++c) {
        if (dd2[c] <= 0.0f) continue; // coincides with the head: no push
        const float gcn = mirnak_umap_repulsive_from_pow(dd2[c], pb[c], cf.a, cf.repulse_num);
        if (!(gcn > 0.0f)) continue;
        const float *oth2 = rows[c];
        for (int d = 0; d < dim; ++d) gj[d] = gj[d] + mirnak_umap_clip(gcn * (cur[d] - oth2[d]));
    }
}

// Gradients of a taken edge into g, from frozen positions: the attraction on
// both ends, the repulsion on the head only. Gradients are unscaled; the
// learning rate is applied in the reduction.
//
// Positions are frozen, so the attraction and the negative samples are
// independent apart from the order in which they add into g. The drawn
// samples are measured, and the powers (the attraction's, then the
// samples') are taken back to back, so that the calls overlap instead of
// waiting on each other; then the gradients are added in the order
// attraction, sample 0, sample 1, ... Samples beyond the first chunk (an
// edge that owes many) are drawn and pushed chunk by chunk.
template <int DIM>
inline void accumulate_edge(const layout_worker_args &w, const layout_coeffs &cf, float *g,
                            mirnak_umap_vertex_range vertices, taken_edge *te) {
    const int dim = DIM > 0 ? DIM : w.problem.dim;
    const float *embedding = w.problem.embedding;
    const layout_edge e = w.edges[te->p];
    const float *cur = embedding + static_cast<int64_t>(e.head) * dim;
    const float *oth = embedding + static_cast<int64_t>(e.tail) * dim;
    float *gj = g + static_cast<int64_t>(e.head) * dim;
    float *gk = g + static_cast<int64_t>(e.tail) * dim;

    const float d2 = mirnak_umap_rdist(cur, oth, dim);
    const float *rows[NEG_CHUNK];
    float dd2[NEG_CHUNK], pb[NEG_CHUNK];
    const int m = te->drawn;
    for (int c = 0; c < m; ++c) {
        rows[c] = embedding + static_cast<int64_t>(te->sample[c]) * dim;
        dd2[c] = mirnak_umap_rdist(cur, rows[c], dim);
    }

    float pb1 = 0.0f;
    if (!(d2 <= 0.0f)) pb1 = powf(d2, cf.b_minus_1);
    for (int c = 0; c < m; ++c)
        if (!(dd2[c] <= 0.0f)) pb[c] = powf(dd2[c], cf.b);

    const float gc =
        d2 <= 0.0f ? 0.0f : mirnak_umap_attractive_from_pow(d2, pb1, cf.a, cf.attract_num);
    for (int d = 0; d < dim; ++d) {
        const float grad = mirnak_umap_clip(gc * (cur[d] - oth[d]));
        gj[d] = gj[d] + grad;
        gk[d] = gk[d] - grad;
    }
    push_samples<DIM>(w, cf, cur, gj, m, rows, dd2, pb);

    for (int64_t q0 = m; q0 < te->n_neg; q0 += NEG_CHUNK) {
        const int mm = te->n_neg - q0 < NEG_CHUNK ? static_cast<int>(te->n_neg - q0) : NEG_CHUNK;
        for (int c = 0; c < mm; ++c) {
            rows[c] = embedding +
                      static_cast<int64_t>(mirnak_umap_sample_vertex(te->rng, vertices)) * dim;
            dd2[c] = mirnak_umap_rdist(cur, rows[c], dim);
        }
        for (int c = 0; c < mm; ++c)
            if (!(dd2[c] <= 0.0f)) pb[c] = powf(dd2[c], cf.b);
        push_samples<DIM>(w, cf, cur, gj, mm, rows, dd2, pb);
    }
}

// embedding[v] += (sum over workers, in worker order, of gbuf[tt][v]) * alpha
// for v in [lo, hi), leaving every buffer's entry v at zero: the reduction
// reads all buffers at its slice anyway, so it clears them for the next
// substep as it goes. Blocked so that the inner loops run over v and
// vectorise; each coordinate's sum keeps its order.
inline void reduce_slice(const layout_worker_args &w, size_t lo, size_t hi, float alpha) {
    const size_t BLOCK = 256;
    float acc[BLOCK];
    for (size_t v0 = lo; v0 < hi; v0 += BLOCK) {
        const size_t len = hi - v0 < BLOCK ? hi - v0 : BLOCK;
        for (size_t v = 0; v < len; ++v) acc[v] = 0.0f;
        for (int tt = 0; tt < w.n_threads; ++tt) {
            float *src = w.gbuf + static_cast<size_t>(tt) * w.emb_len + v0;
            for (size_t v = 0; v < len; ++v) acc[v] = acc[v] + src[v];
            memset(src, 0, len * sizeof(float));
        }
        float *dst = w.problem.embedding + v0;
        for (size_t v = 0; v < len; ++v) dst[v] = dst[v] + acc[v] * alpha;
    }
}

// Walks the due edges of a worker's share in ascending order. The due tests
// of 64 edges at a time are gathered into a word without branching, so that
// the walk does not stall on a branch the schedule makes unpredictable; only
// taking an edge changes its own test, so testing a block ahead of taking
// its edges finds the same edges.
struct due_walk {
    const double *eons; // the schedule of the substep (position of k = 0)
    int64_t k_hi;
    double epoch;
    int64_t block; // first k of the current block
    uint64_t due;  // bit b: edge block + b is due and not yet taken
};

inline uint64_t due_bits(const double *eons, int64_t k0, int64_t k1, double epoch) {
    uint64_t bits = 0;
    for (int64_t k = k0; k < k1; ++k) // not due: eons > epoch (or parked)
        bits |= static_cast<uint64_t>(!(eons[k] > epoch)) << (k - k0);
    return bits;
}

// A walk over [k_lo, k_hi) whose first block is tested by the first next_due.
inline due_walk start_due_walk(const double *eons, int64_t k_lo, int64_t k_hi, double epoch) {
    due_walk dw;
    dw.eons = eons;
    dw.k_hi = k_hi;
    dw.epoch = epoch;
    dw.block = k_lo - 64;
    dw.due = 0;
    return dw;
}

// The next due edge's k, or k_hi when none is left.
inline int64_t next_due(due_walk *dw) {
    while (dw->due == 0) {
        dw->block += 64;
        if (dw->block >= dw->k_hi) return dw->k_hi;
        const int64_t k1 = dw->k_hi - dw->block < 64 ? dw->k_hi : dw->block + 64;
        dw->due = due_bits(dw->eons, dw->block, k1, dw->epoch);
    }
    const int64_t k = dw->block + __builtin_ctzll(dw->due);
    dw->due &= dw->due - 1;
    return k;
}

// Gradients of worker t's share of substep s into g. Edges are taken
// LOOKAHEAD due edges ahead of the one being computed, from a ring in
// ascending edge order, so the gradients still add up edge by edge.
template <int DIM>
inline void substep_gradients(const layout_worker_args &w, const layout_coeffs &cf, float *g,
                              mirnak_umap_vertex_range vertices, int64_t s, int64_t base,
                              int64_t k_lo, int64_t k_hi, double epoch, int n) {
    const int64_t S = w.n_substeps;
    taken_edge ring[LOOKAHEAD];
    int first = 0, queued = 0;
    due_walk walk = start_due_walk(w.eons + base, k_lo, k_hi, epoch);
    int64_t k = next_due(&walk);
    for (; queued < LOOKAHEAD && k < k_hi; ++queued) {
        take_edge<DIM>(w, g, vertices, s + k * S, base + k, epoch, n, &ring[queued]);
        k = next_due(&walk);
    }
    while (queued > 0) {
        accumulate_edge<DIM>(w, cf, g, vertices, &ring[first]);
        if (k < k_hi) { // the ring is full: the freed slot becomes its tail
            take_edge<DIM>(w, g, vertices, s + k * S, base + k, epoch, n, &ring[first]);
            k = next_due(&walk);
        } else {
            --queued;
        }
        first = first + 1 == LOOKAHEAD ? 0 : first + 1;
    }
}

template <int DIM> void worker_loop(const layout_worker_args &w) {
    const int T = w.n_threads;
    const int t = w.tid;
    const int64_t S = w.n_substeps;
    const size_t emb_len = w.emb_len;
    const layout_problem &p = w.problem;
    const mirnak_umap_vertex_range vertices = mirnak_umap_make_vertex_range(p.n_samples);
    const layout_coeffs cf = make_coeffs(p);
    float *g = w.gbuf + static_cast<size_t>(t) * emb_len;
    size_t v_lo, v_hi;
    layout_slice(emb_len, T, t, &v_lo, &v_hi);

    // Cleared once here; afterwards every reduction leaves all buffers clear.
    memset(g, 0, emb_len * sizeof(float));
    for (int n = 0; n < p.n_epochs; ++n) {
        const float alpha = mirnak_umap_epoch_alpha(p.initial_alpha, n, p.n_epochs);
        const double epoch = static_cast<double>(n);
        int64_t base = 0; // schedule position of the substep's first edge
        for (int64_t s = 0; s < S; ++s) {
            int64_t k_lo, k_hi;
            const int64_t K = layout_edge_share(p.n_edges, S, s, T, t, &k_lo, &k_hi);
            substep_gradients<DIM>(w, cf, g, vertices, s, base, k_lo, k_hi, epoch, n);
            base += K;

            if (mirnak_barrier_wait(w.barrier)) return;
            reduce_slice(w, v_lo, v_hi, alpha);
            if (mirnak_barrier_wait(w.barrier)) return;
        }
    }
}

void *layout_worker(void *raw) {
    // A private copy: the gradient stores cannot alias the parameters.
    const layout_worker_args w = *static_cast<const layout_worker_args *>(raw);
    if (w.problem.dim == 2)
        worker_loop<2>(w);
    else
        worker_loop<0>(w);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Parallel run
// ---------------------------------------------------------------------------

// The edge table and the initial schedule, stored substep by substep.
void init_edges(const layout_problem &c, int64_t S, layout_edge *edges, double *eons,
                double *eonn) {
    int64_t p = 0;
    for (int64_t s = 0; s < S; ++s) {
        for (int64_t i = s; i < c.n_edges; i += S, ++p) {
            const float eps = c.epochs_per_sample[i];
            edges[p].head = c.head[i];
            edges[p].tail = c.tail[i];
            edges[p].eps = eps;
            double epn;
            mirnak_umap_schedule_init(eps, c.negative_sample_rate, &eons[p], &eonn[p], &epn);
            if (eps <= 0.0f) eons[p] = INFINITY;
        }
    }
}

// Runs the threaded optimisation. Returns false, with the embedding untouched
// and every thread joined, when scratch memory or a thread cannot be had.
bool run_parallel(const layout_problem &c, int eff_threads) {
    const int n_substeps = resolve_substeps(c.n_edges, c.n_samples);
    const uint64_t emb_len = static_cast<uint64_t>(c.n_samples) * static_cast<uint64_t>(c.dim);
    const uint64_t n_edges = static_cast<uint64_t>(c.n_edges);
    const uint64_t T = static_cast<uint64_t>(eff_threads);
    // A gradient area whose float count does not fit 64 bits fails like malloc.
    const uint64_t gbuf_len = emb_len > UINT64_MAX / T ? UINT64_MAX : emb_len * T;

    vornik::scratch<float> gbuf = vornik::alloc_scratch<float>(gbuf_len);
    vornik::scratch<double> eons = vornik::alloc_scratch<double>(n_edges);
    vornik::scratch<double> eonn = vornik::alloc_scratch<double>(n_edges);
    vornik::scratch<layout_edge> edges = vornik::alloc_scratch<layout_edge>(n_edges);
    vornik::scratch<pthread_t> threads = vornik::alloc_scratch<pthread_t>(T);
    vornik::scratch<layout_worker_args> args = vornik::alloc_scratch<layout_worker_args>(T);
    if (!gbuf || !eons || !eonn || !edges || !threads || !args) return false;

    init_edges(c, n_substeps, edges.get(), eons.get(), eonn.get());

    mirnak_barrier_t barrier;
    mirnak_barrier_init(&barrier, eff_threads);
    int spawned = 0;
    bool spawn_failed = false;
    for (int t = 0; t < eff_threads; ++t) {
        layout_worker_args &w = args[t];
        w.tid = t;
        w.n_threads = eff_threads;
        w.problem = c;
        w.edges = edges.get();
        w.eons = eons.get();
        w.eonn = eonn.get();
        w.gbuf = gbuf.get();
        w.emb_len = static_cast<size_t>(emb_len);
        w.n_substeps = n_substeps;
        w.barrier = &barrier;
        if (pthread_create(&threads[t], nullptr, layout_worker, &args[t]) != 0) {
            spawn_failed = true;
            break;
        }
        spawned = t + 1;
    }
    // Fewer parties than the barrier counts can never cross: the abort sends
    // the started workers home from their first wait, before any of them has
    // written the embedding.
    if (spawn_failed) mirnak_barrier_abort(&barrier);
    for (int t = 0; t < spawned; ++t) pthread_join(threads[t], nullptr);
    mirnak_barrier_destroy(&barrier);
    return !spawn_failed;
}

} // namespace

// ---------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------

int vornik::layout::optimize_parallel(const layout_problem &p, int n_threads) {
    if (!mirnak_umap_layout_args_valid(p)) return -1;
    // The result depends on the number of workers; a request above the thread
    // cap gets the capped count's result.
    int eff_threads = resolve_threads(n_threads, p.n_edges);
    const int cap = vornik::thread_cap();
    if (eff_threads > cap) eff_threads = cap;
    if (eff_threads > 1 && run_parallel(p, eff_threads)) return 0;
    optimize_serial(p);
    return -1;
}

extern "C" int mirnak_umap_optimize_layout_euclidean_f32_parallel(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b, float gamma,
    float initial_alpha, float negative_sample_rate, uint64_t seed, int n_threads) {
    const layout_problem p =
        mirnak_umap_make_problem(embedding, n_samples, dim, head, tail, n_edges, epochs_per_sample,
                                 n_epochs, a, b, gamma, initial_alpha, negative_sample_rate, seed);
    if (!mirnak_umap_layout_args_valid(p)) return -1;
    if (!mirnak_umap_vertex_ids_valid(head, tail, n_edges, n_samples)) return -1;
    return vornik::layout::optimize_parallel(p, n_threads);
}
