// umap_layout_substep.cpp - gradients of a share of a substep and the
// reduction, for both threaded optimisers.
#include "umap_layout_substep.h"

namespace vornik {
namespace layout {

namespace {

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

// The run's constants as the gradient arithmetic uses them, taken once per
// share.
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

// One share's view: the run (a private copy, so that the gradient stores
// cannot alias it), its constants and its buffer.
struct share {
    substep_run r;
    layout_coeffs cf;
    mirnak_umap_vertex_range vertices;
    float *g;
    double epoch;
    int n;
};

// Advances the schedule of the due edge i (stored at position p), draws its
// first chunk of negative samples and starts fetching every row its
// gradients will read. The schedule depends on nothing the geometry does and
// the draws only on seed, edge and epoch, so both may run ahead of the
// gradients of earlier edges.
template <int DIM> inline void take_edge(const share &w, int64_t i, int64_t p, taken_edge *te) {
    const int dim = DIM > 0 ? DIM : w.r.problem.dim;
    const float *embedding = w.r.problem.embedding;
    const layout_edge &e = w.r.edges[p];
    __builtin_prefetch(embedding + static_cast<int64_t>(e.head) * dim);
    __builtin_prefetch(embedding + static_cast<int64_t>(e.tail) * dim);
    __builtin_prefetch(w.g + static_cast<int64_t>(e.head) * dim, 1);
    __builtin_prefetch(w.g + static_cast<int64_t>(e.tail) * dim, 1);
    const double epn = mirnak_umap_epochs_per_negative(e.eps, w.r.problem.negative_sample_rate);
    te->p = p;
    te->n_neg = mirnak_umap_advance_schedule(e.eps, epn, w.epoch, &w.r.eons[p], &w.r.eonn[p]);
    te->drawn = 0;
    if (te->n_neg <= 0) return;
    // The stream lives in locals while drawing: stores into sample[] could
    // otherwise alias it and force it through memory on every draw.
    uint32_t rng[3];
    mirnak_umap_seed_rng(w.r.problem.seed, i, w.n, rng);
    const int m = te->n_neg < NEG_CHUNK ? static_cast<int>(te->n_neg) : NEG_CHUNK;
    for (int c = 0; c < m; ++c) {
        const int32_t v = mirnak_umap_sample_vertex(rng, w.vertices);
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
inline void push_samples(const share &w, const float *cur, float *gj, int m,
                         const float *const *rows, const float *dd2, const float *pb) {
    const int dim = DIM > 0 ? DIM : w.r.problem.dim;
    for (int c = 0; c < m; ++c) {
        if (dd2[c] <= 0.0f) continue; // coincides with the head: no push
        const float gcn = mirnak_umap_repulsive_from_pow(dd2[c], pb[c], w.cf.a, w.cf.repulse_num);
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
template <int DIM> inline void accumulate_edge(const share &w, taken_edge *te) {
    const int dim = DIM > 0 ? DIM : w.r.problem.dim;
    const float *embedding = w.r.problem.embedding;
    const layout_edge e = w.r.edges[te->p];
    const float *cur = embedding + static_cast<int64_t>(e.head) * dim;
    const float *oth = embedding + static_cast<int64_t>(e.tail) * dim;
    float *gj = w.g + static_cast<int64_t>(e.head) * dim;
    float *gk = w.g + static_cast<int64_t>(e.tail) * dim;

    const float d2 = mirnak_umap_rdist(cur, oth, dim);
    const float *rows[NEG_CHUNK];
    float dd2[NEG_CHUNK], pb[NEG_CHUNK];
    const int m = te->drawn;
    for (int c = 0; c < m; ++c) {
        rows[c] = embedding + static_cast<int64_t>(te->sample[c]) * dim;
        dd2[c] = mirnak_umap_rdist(cur, rows[c], dim);
    }

    float pb1 = 0.0f;
    if (!(d2 <= 0.0f)) pb1 = powf(d2, w.cf.b_minus_1);
    for (int c = 0; c < m; ++c)
        if (!(dd2[c] <= 0.0f)) pb[c] = powf(dd2[c], w.cf.b);

    const float gc =
        d2 <= 0.0f ? 0.0f : mirnak_umap_attractive_from_pow(d2, pb1, w.cf.a, w.cf.attract_num);
    for (int d = 0; d < dim; ++d) {
        const float grad = mirnak_umap_clip(gc * (cur[d] - oth[d]));
        gj[d] = gj[d] + grad;
        gk[d] = gk[d] - grad;
    }
    push_samples<DIM>(w, cur, gj, m, rows, dd2, pb);

    for (int64_t q0 = m; q0 < te->n_neg; q0 += NEG_CHUNK) {
        const int mm = te->n_neg - q0 < NEG_CHUNK ? static_cast<int>(te->n_neg - q0) : NEG_CHUNK;
        for (int c = 0; c < mm; ++c) {
            rows[c] = embedding +
                      static_cast<int64_t>(mirnak_umap_sample_vertex(te->rng, w.vertices)) * dim;
            dd2[c] = mirnak_umap_rdist(cur, rows[c], dim);
        }
        for (int c = 0; c < mm; ++c)
            if (!(dd2[c] <= 0.0f)) pb[c] = powf(dd2[c], w.cf.b);
        push_samples<DIM>(w, cur, gj, mm, rows, dd2, pb);
    }
}

// Walks the due edges of a share in ascending order. The due tests of 64
// edges at a time are gathered into a word without branching, so that the
// walk does not stall on a branch the schedule makes unpredictable; only
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

// Edges are taken LOOKAHEAD due edges ahead of the one being computed, from
// a ring in ascending edge order, so the gradients still add up edge by edge.
template <int DIM>
void share_gradients(const share &w, int64_t s, int64_t base, int64_t k_lo, int64_t k_hi) {
    const int64_t S = w.r.n_substeps;
    taken_edge ring[LOOKAHEAD];
    int first = 0, queued = 0;
    due_walk walk = start_due_walk(w.r.eons + base, k_lo, k_hi, w.epoch);
    int64_t k = next_due(&walk);
    for (; queued < LOOKAHEAD && k < k_hi; ++queued) {
        take_edge<DIM>(w, s + k * S, base + k, &ring[queued]);
        k = next_due(&walk);
    }
    while (queued > 0) {
        accumulate_edge<DIM>(w, &ring[first]);
        if (k < k_hi) { // the ring is full: the freed slot becomes its tail
            take_edge<DIM>(w, s + k * S, base + k, &ring[first]);
            k = next_due(&walk);
        } else {
            --queued;
        }
        first = first + 1 == LOOKAHEAD ? 0 : first + 1;
    }
}

} // namespace

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

void substep_gradients(const substep_run &r, float *g, int64_t s, int64_t base, int64_t k_lo,
                       int64_t k_hi, int n) {
    share w;
    w.r = r;
    w.cf = make_coeffs(r.problem);
    w.vertices = mirnak_umap_make_vertex_range(r.problem.n_samples);
    w.g = g;
    w.epoch = static_cast<double>(n);
    w.n = n;
    if (r.problem.dim == 2)
        share_gradients<2>(w, s, base, k_lo, k_hi);
    else
        share_gradients<0>(w, s, base, k_lo, k_hi);
}

// The reduction reads every buffer at its range anyway, so it clears them for
// the next substep as it goes. Blocked so that the inner loops run over v and
// vectorise; each coordinate's sum keeps its order.
void reduce_range(const substep_run &r, size_t lo, size_t hi, float alpha) {
    const size_t BLOCK = 256;
    float acc[BLOCK];
    for (size_t v0 = lo; v0 < hi; v0 += BLOCK) {
        const size_t len = hi - v0 < BLOCK ? hi - v0 : BLOCK;
        for (size_t v = 0; v < len; ++v) acc[v] = 0.0f;
        for (int b = 0; b < r.n_blocks; ++b) {
            float *src = r.gbuf + static_cast<size_t>(b) * r.emb_len + v0;
            for (size_t v = 0; v < len; ++v) acc[v] = acc[v] + src[v];
            memset(src, 0, len * sizeof(float));
        }
        float *dst = r.problem.embedding + v0;
        for (size_t v = 0; v < len; ++v) dst[v] = dst[v] + acc[v] * alpha;
    }
}

} // namespace layout
} // namespace vornik
