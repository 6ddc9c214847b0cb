// umap_layout_substep.cpp - gradients of a share of a substep and the
// reduction, for both threaded optimisers.
#include "umap_layout_substep.h"

#include "caller_ids.h"
#include "powf_fast.h"
#include "umap_layout_internal.h"

namespace vornik {
namespace layout {

namespace {

// Negative samples drawn when an edge is taken (see take_edge).
const int NEG_CHUNK = 8;

// A due edge whose schedule has been advanced and whose first negative
// samples have been drawn, waiting for its gradients.
struct taken_edge {
    int64_t p;    // schedule position
    int32_t head; // its ids as read (and checked) when it was taken
    int32_t tail;
    int64_t n_neg;   // negative samples owed in this epoch, up to the cap
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
    int64_t negative_cap; // the most negative samples an edge draws per epoch
};

inline layout_coeffs make_coeffs(const mirnak_layout_run &run) {
    layout_coeffs cf;
    cf.a = run.a;
    cf.b = run.b;
    cf.b_minus_1 = run.b - 1.0f;
    cf.attract_num = attractive_numerator(run.a, run.b);
    cf.repulse_num = repulsive_numerator(run.b, run.gamma);
    cf.negative_cap = negative_cap(run.negative_sample_rate);
    return cf;
}

// One share's view: the run (a private copy, so that the gradient stores
// cannot alias it), its constants and its buffer.
struct share {
    substep_run r;
    layout_coeffs cf;
    vertex_range vertices;
    float *g;
    touched_rows *touched; // null: the rows are not listed
    double epoch;
    int n;
};

// Advances the schedule of the due edge i (stored at position p), draws its
// first chunk of negative samples and starts fetching every row its
// gradients will read. The schedule depends on nothing the geometry does and
// the draws only on seed, edge and epoch, so both may run ahead of the
// gradients of earlier edges. The edge's ids are read here once and checked:
// false, and nothing done, when another thread has rewritten one out of range.
template <int DIM> inline bool take_edge(const share &w, int64_t i, int64_t p, taken_edge *te) {
    const int dim = DIM > 0 ? DIM : w.r.problem.dim;
    const float *embedding = w.r.problem.embedding;
    const int32_t head = vornik::load_id(&w.r.edges.head[p]);
    const int32_t tail = vornik::load_id(&w.r.edges.tail[p]);
    const int n_samples = w.r.problem.n_samples;
    if (!vornik::id_below(head, n_samples) || !vornik::id_below(tail, n_samples)) return false;
    const float eps = w.r.edges.eps[p];
    __builtin_prefetch(embedding + static_cast<int64_t>(head) * dim);
    __builtin_prefetch(embedding + static_cast<int64_t>(tail) * dim);
    __builtin_prefetch(w.g + static_cast<int64_t>(head) * dim, 1);
    __builtin_prefetch(w.g + static_cast<int64_t>(tail) * dim, 1);
    if (w.touched) {
        note_row(w.touched, head, w.g + static_cast<int64_t>(head) * dim, dim);
        note_row(w.touched, tail, w.g + static_cast<int64_t>(tail) * dim, dim);
    }
    const double epn = epochs_per_negative(eps, w.r.problem.run.negative_sample_rate);
    te->p = p;
    te->head = head;
    te->tail = tail;
    te->n_neg = advance_schedule(eps, epn, w.epoch, w.cf.negative_cap, &w.r.eons[p], &w.r.eonn[p]);
    te->drawn = 0;
    if (te->n_neg <= 0) return true;
    // The stream lives in locals while drawing: stores into sample[] could
    // otherwise alias it and force it through memory on every draw.
    uint32_t rng[3];
    mirnak_umap_seed_rng(w.r.problem.run.seed, i, w.n, rng);
    const int m = te->n_neg < NEG_CHUNK ? static_cast<int>(te->n_neg) : NEG_CHUNK;
    for (int c = 0; c < m; ++c) {
        const int32_t v = sample_vertex(rng, w.vertices);
        __builtin_prefetch(embedding + static_cast<int64_t>(v) * dim);
        te->sample[c] = v;
    }
    te->drawn = m;
    te->rng[0] = rng[0];
    te->rng[1] = rng[1];
    te->rng[2] = rng[2];
    return true;
}

// ---------------------------------------------------------------------------
// Powers
// ---------------------------------------------------------------------------

// Powers of lanes with an exponent each: powf itself, or a vector form with
// powf's bits, eight lanes at a time. Callers pad their lanes to PAD.
struct libm_powers {
    static const int PAD = 1;
    static void run(const float *x, const float *y, int n, float *out) {
        for (int j = 0; j < n; ++j) out[j] = powf(x[j], y[j]);
    }
};

#if defined(VORNIK_POWF_HAVE_VECTOR_PATHS)
struct avx2_powers {
    static const int PAD = 8;
    VORNIK_TARGET_AVX2_FMA static void run(const float *x, const float *y, int n, float *out) {
        for (int j = 0; j < n; j += 8)
            _mm256_store_ps(out + j, vornik::powf_fast::avx2::powf8(_mm256_load_ps(x + j),
                                                                    _mm256_load_ps(y + j)));
    }
};

struct avx512_powers {
    static const int PAD = 8;
    VORNIK_TARGET_AVX512 static void run(const float *x, const float *y, int n, float *out) {
        for (int j = 0; j < n; j += 8)
            _mm256_store_ps(out + j, vornik::powf_fast::avx512::powf8(_mm256_load_ps(x + j),
                                                                      _mm256_load_ps(y + j)));
    }
};
#endif

// ---------------------------------------------------------------------------
// Groups of edges
// ---------------------------------------------------------------------------

// Due edges held taken: the next group is formed from the front while the
// rows of the later ones are on their way into the cache.
const int RING = 8;

// Lanes a group of edges fills before its powers are taken (each edge brings
// its attraction and its drawn samples), and room for the padding.
const int GROUP_LANES = 32;
const int LANE_ROOM = GROUP_LANES + 8;

// A group's measured distances and their powers, lane by lane: an edge's
// attraction (exponent b - 1, other row its tail), then its drawn samples
// (exponent b). A base is the squared distance, or 1 where that is not
// positive: such a power is never used, and 1 keeps the lane on the vector
// forms' fast path. A NaN distance stays (its power is NaN, as from powf).
//
// Two-dimensional layouts also keep each lane's difference (head row minus
// other row), so that every lane's coefficient and clipped gradient are
// worked out together, in loops the compiler vectorises: lane by lane the
// same operations as one edge at a time, so the same bits.
struct lane_group {
    alignas(32) float x[LANE_ROOM];
    alignas(32) float y[LANE_ROOM];
    alignas(32) float pow[LANE_ROOM];
    alignas(32) float d2[LANE_ROOM];
    alignas(32) float dx[LANE_ROOM];
    alignas(32) float dy[LANE_ROOM];
    alignas(32) float pull[LANE_ROOM]; // attractive and repulsive coefficients
    alignas(32) float push[LANE_ROOM];
    alignas(32) float gx[LANE_ROOM]; // clipped gradient along each axis
    alignas(32) float gy[LANE_ROOM];
    alignas(32) int32_t attracts[LANE_ROOM]; // an edge's own lane, not a sample's
    alignas(32) int32_t pushes[LANE_ROOM];   // a sample lane's gradient is added
    const float *other[LANE_ROOM];
    int lanes;
};

inline void add_lane(lane_group &lg, float d2, float y, const float *other) {
    const int l = lg.lanes++;
    lg.d2[l] = d2;
    lg.x[l] = d2 <= 0.0f ? 1.0f : d2;
    lg.y[l] = y;
    lg.other[l] = other;
}

// A lane of a two-dimensional layout: the difference cur - other, its squared
// length as the squared distance adds it up.
inline void add_lane_2d(lane_group &lg, const float *cur, const float *other, float y,
                        bool attraction) {
    const float dx = cur[0] - other[0];
    const float dy = cur[1] - other[1];
    float d2 = 0.0f;
    d2 = d2 + dx * dx;
    d2 = d2 + dy * dy;
    lg.dx[lg.lanes] = dx;
    lg.dy[lg.lanes] = dy;
    lg.attracts[lg.lanes] = attraction;
    add_lane(lg, d2, y, other);
}

template <class Pow> inline void take_powers(lane_group &lg, float pad_exponent) {
    int padded = lg.lanes;
    for (; padded % Pow::PAD; ++padded) {
        lg.x[padded] = 1.0f;
        lg.y[padded] = pad_exponent;
    }
    Pow::run(lg.x, lg.y, padded, lg.pow);
}

// The attraction and drawn samples of a taken edge as lanes.
template <int DIM> inline void measure_edge(const share &w, const taken_edge &te, lane_group &lg) {
    const int dim = DIM > 0 ? DIM : w.r.problem.dim;
    const float *embedding = w.r.problem.embedding;
    const float *cur = embedding + static_cast<int64_t>(te.head) * dim;
    const float *oth = embedding + static_cast<int64_t>(te.tail) * dim;
    if (DIM == 2) {
        add_lane_2d(lg, cur, oth, w.cf.b_minus_1, true);
        for (int c = 0; c < te.drawn; ++c)
            add_lane_2d(lg, cur, embedding + static_cast<int64_t>(te.sample[c]) * 2, w.cf.b, false);
        return;
    }
    add_lane(lg, mirnak_umap_rdist(cur, oth, dim), w.cf.b_minus_1, oth);
    for (int c = 0; c < te.drawn; ++c) {
        const float *row = embedding + static_cast<int64_t>(te.sample[c]) * dim;
        add_lane(lg, mirnak_umap_rdist(cur, row, dim), w.cf.b, row);
    }
}

// Every lane's coefficient and clipped gradient of a two-dimensional group
// whose powers are taken. Both coefficients are worked out for every lane and
// the lane's own kept, so that the loop has no branch: an attraction lane
// (exponent b - 1) pulls with 0 where the points coincide; a sample lane
// pushes only where they do not and its coefficient is positive.
inline void lane_gradients_2d(const layout_coeffs &cf, lane_group &lg) {
    const int lanes = lg.lanes;
    // Two loops: the compiler keeps trapping arithmetic out of a select, so
    // the selects take stored coefficients.
    for (int l = 0; l < lanes; ++l) {
        lg.pull[l] = attractive_from_pow(lg.d2[l], lg.pow[l], cf.a, cf.attract_num);
        lg.push[l] = repulsive_from_pow(lg.d2[l], lg.pow[l], cf.a, cf.repulse_num);
    }
    for (int l = 0; l < lanes; ++l) {
        const int32_t apart = !(lg.d2[l] <= 0.0f);
        const float held = apart ? lg.pull[l] : 0.0f;
        const float c = lg.attracts[l] ? held : lg.push[l];
        lg.gx[l] = mirnak_umap_clip(c * lg.dx[l]);
        lg.gy[l] = mirnak_umap_clip(c * lg.dy[l]);
        lg.pushes[l] = apart & static_cast<int32_t>(lg.push[l] > 0.0f);
    }
}

// A two-dimensional row of a gradient buffer as one 8-byte access.
inline void load_row_2d(const float *row, float *x, float *y) {
    float v[2];
    memcpy(v, row, sizeof v);
    *x = v[0];
    *y = v[1];
}

inline void store_row_2d(float *row, float x, float y) {
    const float v[2] = {x, y};
    memcpy(row, v, sizeof v);
}

// Adds the repulsion of the sample lanes [l0, l1) into gj, in order.
template <int DIM>
inline void push_samples(const share &w, const float *cur, float *gj, const lane_group &lg, int l0,
                         int l1) {
    const int dim = DIM > 0 ? DIM : w.r.problem.dim;
    for (int l = l0; l < l1; ++l) {
        if (lg.d2[l] <= 0.0f) continue; // coincides with the head: no push
        const float gcn = repulsive_from_pow(lg.d2[l], lg.pow[l], w.cf.a, w.cf.repulse_num);
        if (!(gcn > 0.0f)) continue;
        const float *oth2 = lg.other[l];
        for (int d = 0; d < dim; ++d) gj[d] = gj[d] + mirnak_umap_clip(gcn * (cur[d] - oth2[d]));
    }
}

// Gradients of a measured edge (its lanes start at l0) into g, from frozen
// positions: the attraction on both ends, the repulsion on the head only.
// Gradients are unscaled; the learning rate is applied in the reduction.
// They are added in the order attraction, sample 0, sample 1, ...; samples
// beyond the first chunk (an edge that owes many) are drawn, measured and
// pushed chunk by chunk.
template <int DIM, class Pow>
inline void accumulate_edge(const share &w, taken_edge *te, const lane_group &lg, int l0) {
    const int dim = DIM > 0 ? DIM : w.r.problem.dim;
    const float *embedding = w.r.problem.embedding;
    const int64_t head = te->head, tail = te->tail;
    const float *cur = embedding + head * dim;
    float *gj = w.g + head * dim;
    float *gk = w.g + tail * dim;

    if (DIM == 2) {
        // A gradient row is read and written whole (8 bytes), and the head's
        // sums stay in registers: a row read right after narrower stores to
        // it (the edges of a head follow each other) would stall. An edge
        // onto itself adds and takes away on the same row, in that order.
        float j0, j1, k0, k1;
        load_row_2d(gj, &j0, &j1);
        j0 = j0 + lg.gx[l0];
        j1 = j1 + lg.gy[l0];
        if (gj == gk) {
            j0 = j0 - lg.gx[l0];
            j1 = j1 - lg.gy[l0];
        } else {
            load_row_2d(gk, &k0, &k1);
            store_row_2d(gk, k0 - lg.gx[l0], k1 - lg.gy[l0]);
        }
        for (int l = l0 + 1; l < l0 + 1 + te->drawn; ++l) {
            if (!lg.pushes[l]) continue;
            j0 = j0 + lg.gx[l];
            j1 = j1 + lg.gy[l];
        }
        store_row_2d(gj, j0, j1);
    } else {
        const float *oth = lg.other[l0];
        const float d2 = lg.d2[l0];
        const float gc =
            d2 <= 0.0f ? 0.0f : attractive_from_pow(d2, lg.pow[l0], w.cf.a, w.cf.attract_num);
        for (int d = 0; d < dim; ++d) {
            const float grad = mirnak_umap_clip(gc * (cur[d] - oth[d]));
            gj[d] = gj[d] + grad;
            gk[d] = gk[d] - grad;
        }
        push_samples<DIM>(w, cur, gj, lg, l0 + 1, l0 + 1 + te->drawn);
    }

    if (te->drawn == te->n_neg) return;
    lane_group more;
    for (int64_t q0 = te->drawn; q0 < te->n_neg; q0 += NEG_CHUNK) {
        const int mm = te->n_neg - q0 < NEG_CHUNK ? static_cast<int>(te->n_neg - q0) : NEG_CHUNK;
        more.lanes = 0;
        for (int c = 0; c < mm; ++c) {
            const float *row =
                embedding + static_cast<int64_t>(sample_vertex(te->rng, w.vertices)) * dim;
            add_lane(more, mirnak_umap_rdist(cur, row, dim), w.cf.b, row);
        }
        take_powers<Pow>(more, w.cf.b);
        push_samples<DIM>(w, cur, gj, more, 0, mm);
    }
}

// Walks the due edges of a share in ascending order. The due tests of 64
// edges at a time are gathered into a word without branching, so that the
// walk does not stall on a branch the schedule makes unpredictable; only
// taking an edge changes its own test, so testing a block ahead of taking
// its edges finds the same edges.
struct due_walk {
    const double *eons; // the schedule of the substep (position of k = 0)
    edge_table edges;   // the table of the substep (position of k = 0)
    const double *eonn;
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

// Fetches the cache lines of [first, first + count) elements of an array.
template <class T> inline void prefetch_lines(const T *first, int64_t count, int write) {
    const char *p = reinterpret_cast<const char *>(first);
    const char *end = reinterpret_cast<const char *>(first + count);
    for (; p < end; p += 64) {
        if (write)
            __builtin_prefetch(p, 1);
        else
            __builtin_prefetch(p, 0);
    }
}

// A walk over [k_lo, k_hi) whose first block is tested by the first next_due.
inline due_walk start_due_walk(const substep_run &r, int64_t base, int64_t k_lo, int64_t k_hi,
                               double epoch) {
    due_walk dw;
    dw.eons = r.eons + base;
    dw.edges.head = r.edges.head + base;
    dw.edges.tail = r.edges.tail + base;
    dw.edges.eps = r.edges.eps + base;
    dw.eonn = r.eonn + base;
    dw.k_hi = k_hi;
    dw.epoch = epoch;
    dw.block = k_lo - 64;
    dw.due = 0;
    return dw;
}

// The next due edge's k, or k_hi when none is left. Testing a block starts
// fetching the table entries of the block after it: about a third of the
// edges are due, scattered, and each due edge reads its entries at once.
inline int64_t next_due(due_walk *dw) {
    while (dw->due == 0) {
        dw->block += 64;
        if (dw->block >= dw->k_hi) return dw->k_hi;
        const int64_t k1 = dw->k_hi - dw->block < 64 ? dw->k_hi : dw->block + 64;
        dw->due = due_bits(dw->eons, dw->block, k1, dw->epoch);
        const int64_t ahead = dw->k_hi - k1 < 64 ? dw->k_hi - k1 : 64;
        prefetch_lines(dw->edges.head + k1, ahead, 0);
        prefetch_lines(dw->edges.tail + k1, ahead, 0);
        prefetch_lines(dw->edges.eps + k1, ahead, 0);
        prefetch_lines(dw->eonn + k1, ahead, 1);
    }
    const int64_t k = dw->block + __builtin_ctzll(dw->due);
    dw->due &= dw->due - 1;
    return k;
}

// Due edges are taken up to RING ahead, in ascending edge order. The front
// edges of the ring form a group: their distances are measured and all their
// powers taken together (positions are frozen, so nothing the group's
// gradients add changes them), then their gradients are added edge by edge.
template <int DIM, class Pow>
inline void share_gradients(const share &w, int64_t s, int64_t base, int64_t k_lo, int64_t k_hi) {
    const int64_t S = w.r.n_substeps;
    taken_edge ring[RING];
    int first = 0, queued = 0;
    due_walk walk = start_due_walk(w.r, base, k_lo, k_hi, w.epoch);
    int64_t k = next_due(&walk);
    lane_group lg;
    int lane_of[RING];
    for (;;) {
        while (queued < RING && k < k_hi) {
            if (take_edge<DIM>(w, s + k * S, base + k, &ring[(first + queued) % RING])) ++queued;
            k = next_due(&walk);
        }
        if (queued == 0) return;
        lg.lanes = 0;
        int members = 0;
        do {
            const taken_edge &te = ring[(first + members) % RING];
            if (members > 0 && lg.lanes + 1 + te.drawn > GROUP_LANES) break;
            lane_of[members] = lg.lanes;
            measure_edge<DIM>(w, te, lg);
        } while (++members < queued);
        take_powers<Pow>(lg, w.cf.b);
        if (DIM == 2) lane_gradients_2d(w.cf, lg);
        for (int j = 0; j < members; ++j)
            accumulate_edge<DIM, Pow>(w, &ring[(first + j) % RING], lg, lane_of[j]);
        first = (first + members) % RING;
        queued -= members;
    }
}

// The share on one power path, for both dimension forms; the vector paths
// are compiled for their instruction sets, with everything inlined.
#define VORNIK_DEFINE_SHARE_GRADIENTS(NAME, POW, ATTR)                                             \
    ATTR __attribute__((flatten)) void NAME(const share &w, int64_t s, int64_t base, int64_t k_lo, \
                                            int64_t k_hi) {                                        \
        if (w.r.problem.dim == 2)                                                                  \
            share_gradients<2, POW>(w, s, base, k_lo, k_hi);                                       \
        else                                                                                       \
            share_gradients<0, POW>(w, s, base, k_lo, k_hi);                                       \
    }

VORNIK_DEFINE_SHARE_GRADIENTS(share_gradients_libm, libm_powers, )
#if defined(VORNIK_POWF_HAVE_VECTOR_PATHS)
VORNIK_DEFINE_SHARE_GRADIENTS(share_gradients_avx2, avx2_powers, VORNIK_TARGET_AVX2_FMA)
VORNIK_DEFINE_SHARE_GRADIENTS(share_gradients_avx512, avx512_powers, VORNIK_TARGET_AVX512)
#endif

} // namespace

bool allocate_edge_copy(substep_scratch *sc, uint64_t n_edges) {
    sc->head = alloc_scratch<int32_t>(n_edges);
    sc->tail = alloc_scratch<int32_t>(n_edges);
    sc->eps = alloc_scratch<float>(n_edges);
    return sc->head && sc->tail && sc->eps;
}

void reorder_edges(const edge_table &from, int64_t n_edges, int64_t S, bool into_schedule,
                   substep_scratch *to) {
    int32_t *head = to->head.get(), *tail = to->tail.get();
    float *eps = to->eps.get();
    int64_t p = 0;
    for (int64_t s = 0; s < S; ++s) {
        for (int64_t i = s; i < n_edges; i += S, ++p) {
            const int64_t src = into_schedule ? i : p, dst = into_schedule ? p : i;
            head[dst] = vornik::load_id(&from.head[src]);
            tail[dst] = vornik::load_id(&from.tail[src]);
            eps[dst] = from.eps[src];
        }
    }
}

bool prepare_substep_run(const layout_problem &c, int n_blocks, int S, bool in_schedule_order,
                         substep_scratch *sc, substep_run *run, bool no_buffers) {
    const uint64_t emb_len = static_cast<uint64_t>(c.n_samples) * static_cast<uint64_t>(c.dim);
    const mirnak_layout_edges &e = c.edges;
    const uint64_t n_edges = static_cast<uint64_t>(e.n_edges);
    const uint64_t B = no_buffers ? 0 : static_cast<uint64_t>(n_blocks);
    // A gradient area whose float count does not fit 64 bits fails like malloc.
    if (B) sc->gbuf = alloc_scratch<float>(emb_len > UINT64_MAX / B ? UINT64_MAX : emb_len * B);
    sc->eons = alloc_scratch<double>(n_edges);
    sc->eonn = alloc_scratch<double>(n_edges);
    const bool copied = in_schedule_order || allocate_edge_copy(sc, n_edges);
    if ((B && !sc->gbuf) || !sc->eons || !sc->eonn || !copied) return false;
    edge_table table = {e.head, e.tail, e.epochs_per_sample};
    if (!in_schedule_order) {
        reorder_edges(table, e.n_edges, S, true, sc);
        table = {sc->head.get(), sc->tail.get(), sc->eps.get()};
    }
    for (int64_t p = 0; p < e.n_edges; ++p) {
        double epn;
        schedule_init(table.eps[p], c.run.negative_sample_rate, &sc->eons[p], &sc->eonn[p], &epn);
        if (table.eps[p] <= 0.0f) sc->eons[p] = INFINITY;
    }
    run->problem = c;
    run->edges = table;
    run->eons = sc->eons.get();
    run->eonn = sc->eonn.get();
    run->gbuf = B ? sc->gbuf.get() : nullptr;
    run->emb_len = static_cast<size_t>(emb_len);
    run->n_blocks = n_blocks;
    run->n_substeps = S;
    run->powers = vornik::powf_fast::best_powf_path();
    return true;
}

void substep_gradients(const substep_run &r, float *g, int64_t s, int64_t base, int64_t k_lo,
                       int64_t k_hi, int n, touched_rows *touched) {
    share w;
    w.r = r;
    w.cf = make_coeffs(r.problem.run);
    w.vertices = vertex_range_of(r.problem.n_samples);
    w.g = g;
    w.touched = touched;
    w.epoch = static_cast<double>(n);
    w.n = n;
#if defined(VORNIK_POWF_HAVE_VECTOR_PATHS)
    if (r.powers == vornik::powf_fast::POWF_AVX512)
        return share_gradients_avx512(w, s, base, k_lo, k_hi);
    if (r.powers == vornik::powf_fast::POWF_AVX2)
        return share_gradients_avx2(w, s, base, k_lo, k_hi);
#endif
    share_gradients_libm(w, s, base, k_lo, k_hi);
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
