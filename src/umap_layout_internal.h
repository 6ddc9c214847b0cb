// umap_layout_internal.h - the arithmetic every layout optimiser shares: the
// per-edge random stream, the gradient coefficients and the sampling
// schedule.
//
// The optimisers must produce the same negative samples, the same
// coefficients and the same schedule bit for bit, so every routine here fixes
// its precision and its order of evaluation: geometry in float with powf, the
// sampling schedule in double, nothing fused into a multiply-add. None of the
// routines allocates, locks or fails.
#ifndef VORNIK_UMAP_LAYOUT_INTERNAL_H
#define VORNIK_UMAP_LAYOUT_INTERNAL_H

#include <climits>
#include <cmath>
#include <cstdint>

#include "kernel_support.h"
#include "vornik_kernels.h"

namespace vornik {
namespace layout {

// ---------------------------------------------------------------------------
// Per-edge random stream
// ---------------------------------------------------------------------------

// The SplitMix64 output function, used as a pure mixer (no state).
inline uint64_t mirnak_umap_splitmix64(uint64_t x) {
    return splitmix64_mix(x);
}

// A fresh taus88 state for (seed, edge, epoch): the negative samples of an
// edge in an epoch depend on nothing else, so the order in which edges are
// visited and the thread that visits them do not matter. The OR-ed bits are
// the lower bounds the three Tausworthe components need.
inline void mirnak_umap_seed_rng(uint64_t seed, int64_t edge, int epoch, uint32_t *s) {
    const uint64_t edge_term = (static_cast<uint64_t>(edge) + 1u) * 0x9E3779B97F4A7C15ULL;
    const uint64_t epoch_term =
        static_cast<uint64_t>(static_cast<int64_t>(epoch + 1)) * 0xD1B54A32D192ED03ULL;
    uint64_t z = seed ^ edge_term ^ epoch_term;
    z = mirnak_umap_splitmix64(z);
    s[0] = static_cast<uint32_t>(z) | 2u;
    z = mirnak_umap_splitmix64(z);
    s[1] = static_cast<uint32_t>(z) | 8u;
    z = mirnak_umap_splitmix64(z);
    s[2] = static_cast<uint32_t>(z) | 16u;
}

// One step of the three-component combined Tausworthe generator (taus88).
inline uint32_t mirnak_umap_tau_rand(uint32_t *s) {
    s[0] = ((s[0] & 0xFFFFFFFEu) << 12) ^ (((s[0] << 13) ^ s[0]) >> 19);
    s[1] = ((s[1] & 0xFFFFFFF8u) << 4) ^ (((s[1] << 2) ^ s[1]) >> 25);
    s[2] = ((s[2] & 0xFFFFFFF0u) << 17) ^ (((s[2] << 3) ^ s[2]) >> 11);
    return s[0] ^ s[1] ^ s[2];
}

// The vertex count prepared for remainders by multiplication: for 32-bit r
// and n, r mod n == high 64 bits of ((magic * r mod 2^64) * n) with
// magic = floor((2^64 - 1) / n) + 1, exactly, and it spares the sampling loop
// a hardware division per draw.
struct vertex_range {
    uint64_t magic;
    uint32_t n;
};

inline vertex_range vertex_range_of(int n_vertices) {
    const uint32_t n = static_cast<uint32_t>(n_vertices);
    vertex_range v;
    v.magic = UINT64_MAX / n + 1u;
    v.n = n;
    return v;
}

inline uint32_t modulo(uint32_t r, vertex_range v) {
    const uint64_t frac = v.magic * r;
    return static_cast<uint32_t>((static_cast<unsigned __int128>(frac) * v.n) >> 64);
}

// A draw as a vertex id: plain unsigned remainder, biased draws are kept.
inline int32_t sample_vertex(uint32_t *s, vertex_range v) {
    return static_cast<int32_t>(modulo(mirnak_umap_tau_rand(s), v));
}

// ---------------------------------------------------------------------------
// Gradient arithmetic (float only)
// ---------------------------------------------------------------------------

// Ordered comparisons: a NaN passes through unchanged. Written as two
// selects so that they compile to min/max instructions, whose unordered case
// also returns v, instead of branches on the gradient.
inline float mirnak_umap_clip(float v) {
    v = 4.0f < v ? 4.0f : v;
    return v < -4.0f ? -4.0f : v;
}

// Squared distance, the squares added strictly in ascending coordinate order.
inline float mirnak_umap_rdist(const float *x, const float *y, int dim) {
    float r = 0.0f;
    for (int d = 0; d < dim; ++d) {
        const float diff = x[d] - y[d];
        const float sq = diff * diff;
        r = r + sq;
    }
    return r;
}

// The parts of the two coefficients that depend on the run's constants
// alone; callers that evaluate many coefficients take them once.
inline float attractive_numerator(float a, float b) {
    return (-2.0f * a) * b;
}

inline float repulsive_numerator(float b, float gamma) {
    return (2.0f * gamma) * b;
}

// The attractive coefficient once pb1 = powf(d2, b - 1) is known, for callers
// that take several powers in a row; num is the attractive numerator.
inline float attractive_from_pow(float d2, float pb1, float a, float num) {
    const float pb = pb1 * d2;
    const float gc = num * pb1;
    return gc / (a * pb + 1.0f);
}

inline float mirnak_umap_attractive_coeff(float d2, float a, float b) {
    if (d2 <= 0.0f) return 0.0f;
    return attractive_from_pow(d2, powf(d2, b - 1.0f), a, attractive_numerator(a, b));
}

// The repulsive coefficient once pb = powf(d2, b) is known, for callers that
// compute the powers of several samples in a row; num is the repulsive
// numerator.
inline float repulsive_from_pow(float d2, float pb, float a, float num) {
    return num / ((0.001f + d2) * (a * pb + 1.0f));
}

inline float mirnak_umap_repulsive_coeff(float d2, float a, float b, float gamma) {
    if (d2 <= 0.0f) return 0.0f;
    return repulsive_from_pow(d2, powf(d2, b), a, repulsive_numerator(b, gamma));
}

// ---------------------------------------------------------------------------
// Sampling schedule (double)
// ---------------------------------------------------------------------------

// A run the schedule can follow: at least one epoch and a rate above zero,
// by an ordered test (a NaN rate passes).
inline bool run_valid(const mirnak_layout_run &run) {
    return run.n_epochs > 0 && !(run.negative_sample_rate <= 0.0f);
}

// Epochs per negative sample of an edge (epn).
inline double epochs_per_negative(float eps, float negative_sample_rate) {
    return static_cast<double>(eps) / static_cast<double>(negative_sample_rate);
}

// Initial schedule of one edge: next due at eps, one negative sample owed per
// epn epochs, negative samples drawn up to epn.
inline void schedule_init(float eps, float negative_sample_rate, double *eons, double *eonn,
                          double *epn) {
    const double per_neg = epochs_per_negative(eps, negative_sample_rate);
    *epn = per_neg;
    *eons = static_cast<double>(eps);
    *eonn = per_neg;
}

// The most negative samples an edge draws in one epoch of a run at this rate.
// An edge sampled at most once per epoch (epochs_per_sample >= 1, as every
// host schedule is) never owes more than 2 * rate + 1 in one epoch, so its
// draws are never cut. A shorter period owes rate / epochs_per_sample per
// epoch, which for a vanishing period is astronomically many: those counts
// saturate at max(MIN_NEGATIVE_CAP, 2 * rate + 2), and at INT_MAX at most,
// so that an epoch's work stays within a bound the rate sets.
const int64_t MIN_NEGATIVE_CAP = 1024;

inline int64_t negative_cap(float negative_sample_rate) {
    const double most = 2.0 * static_cast<double>(negative_sample_rate) + 2.0;
    if (!(most > static_cast<double>(MIN_NEGATIVE_CAP))) return MIN_NEGATIVE_CAP; // NaN too
    return most >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int64_t>(most);
}

// The negative-sample count as a loop count: truncation toward zero for every
// quotient below the cap; a NaN or a quotient of zero or below owes nothing (a
// count <= 0 draws nothing anyway), and a quotient at or beyond the cap
// saturates there rather than converting out of range, which keeps the loop
// bounded and the schedule monotone. The count is 64-bit so that loops which
// step through it in chunks cannot overflow on their last step.
inline int64_t negative_count(double quotient, int64_t cap) {
    if (!(quotient > 0.0)) return 0;
    if (quotient >= static_cast<double>(cap)) return cap;
    return static_cast<int64_t>(quotient);
}

// Whether an edge is processed in epoch n. Both tests are ordered, so a NaN
// epochs_per_sample (and hence a NaN eons) leaves the edge due every epoch.
inline bool edge_due(float eps, double eons, double n) {
    return !(eps <= 0.0f) && !(eons > n);
}

// Advances the schedule of an edge processed in epoch n and returns the number
// of negative samples it owes now: all the whole epn steps between eonn and n,
// at most cap (negative_cap of the run's rate). The schedule depends on nothing
// the geometry does, so the optimisers may advance it before they draw the
// samples.
inline int64_t advance_schedule(float eps, double epn, double n, int64_t cap, double *eons,
                                double *eonn) {
    *eons = *eons + static_cast<double>(eps);
    const int64_t n_neg = negative_count((n - *eonn) / epn, cap);
    if (n_neg > 0) *eonn = *eonn + static_cast<double>(n_neg) * epn;
    return n_neg;
}

// Learning rate of epoch n: epochs 0 and 1 at initial_alpha, then a linear
// decay that never reaches zero within the run.
inline float epoch_alpha(float initial_alpha, int n, int n_epochs) {
    if (n == 0) return initial_alpha;
    return initial_alpha * (1.0f - static_cast<float>(n - 1) / static_cast<float>(n_epochs));
}

} // namespace layout
} // namespace vornik

#endif // VORNIK_UMAP_LAYOUT_INTERNAL_H
