// The layout with a density term: against its rule written out (the substep
// rule plus the term's radii, moments and pulls), for any thread count, on
// every power path, in list and schedule order; the parts layout when the
// term is off; refusals, stops and the logarithm it takes.
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "layout_fixture.h"
#include "powf_fast.h"
#include "substep_reference.h"
#include "umap_layout_density.h"

namespace {

using namespace layout_test;
using vornik::layout::fixed_log;

struct term_settings {
    float strength = 1.5f;
    int epochs = 5;
    float shift = 0.1f;
};

std::vector<float> random_radii(int n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> r(0.5f, 4.0f);
    std::vector<float> out(n);
    for (float &v : out) v = r(gen);
    return out;
}

// The term by its rule. At the start of each of its epochs, vertex v's mean
// squared distance m_v = sum w |y_v - y_t|^2 / W_v over its edges (w = 1 /
// epochs_per_sample) in schedule order, rho_v = log(m_v) / 2 and delta_v =
// log R_v over the vertices with edges; the pull c_v = lambda M g_v / (W_v
// m_v) with g_v = a ((delta_v - mean) - b (rho_v - mean)), a = 1 / (N
// sqrt((Var rho + s) Var delta)), b = Cov / (Var rho + s). A due edge h -> t
// then adds clip(c_h (y_h - y_t)) to h and takes it from t.
struct density_reference {
    const graph *g;
    int64_t S;
    term_settings ts;
    int first_epoch;
    std::vector<float> radius;
    std::vector<float> pull;

    void epoch_starts(int n, const std::vector<float> &e) {
        const int nv = g->n_samples, dim = g->dim;
        pull.assign(nv, 0.0f);
        if (n < first_epoch) return;
        std::vector<double> W(nv, 0.0), sum(nv, 0.0);
        const int64_t m = static_cast<int64_t>(g->head.size());
        for (int64_t s = 0; s < S; ++s)
            for (int64_t i = s; i < m; i += S) {
                if (!(g->eps[i] > 0.0f) || !std::isfinite(1.0f / g->eps[i])) continue;
                const float w = 1.0f / g->eps[i];
                const int h = g->head[i], t = g->tail[i];
                W[h] += w;
                sum[h] += double(w) * double(layoutref::squared_distance(&e[h * dim],
                                                                          &e[t * dim], dim));
            }
        double M = 0.0, N = 0.0, dsum = 0.0, rsum = 0.0;
        std::vector<double> ms(nv), rho(nv), delta(nv);
        for (int v = 0; v < nv; ++v) {
            M += W[v];
            delta[v] = fixed_log(radius[v]);
            if (!(W[v] > 0.0)) continue;
            ms[v] = std::max(sum[v] / W[v], 1e-30);
            rho[v] = 0.5 * fixed_log(ms[v]);
            N += 1.0;
            dsum += delta[v];
        }
        const double dmean = dsum / N;
        double dvar = 0.0;
        for (int v = 0; v < nv; ++v)
            if (W[v] > 0.0) dvar += (delta[v] - dmean) * (delta[v] - dmean);
        dvar /= N;
        for (int v = 0; v < nv; ++v)
            if (W[v] > 0.0) rsum += rho[v];
        const double rmean = rsum / N;
        double rvar = 0.0, cov = 0.0;
        for (int v = 0; v < nv; ++v)
            if (W[v] > 0.0) {
                rvar += (rho[v] - rmean) * (rho[v] - rmean);
                cov += (rho[v] - rmean) * (delta[v] - dmean);
            }
        const double shifted = rvar / N + double(ts.shift);
        if (dvar <= 1e-12 || shifted <= 1e-12) return; // alike radii: no correlation
        const double a = 1.0 / (N * std::sqrt(shifted * dvar)), b = (cov / N) / shifted;
        for (int v = 0; v < nv; ++v)
            if (W[v] > 0.0)
                pull[v] = float(double(ts.strength) * M * a *
                                ((delta[v] - dmean) - b * (rho[v] - rmean)) / (W[v] * ms[v]));
    }

    void due_edge(int, int64_t i, const std::vector<float> &e, std::vector<float> &grad) {
        const int dim = g->dim, h = g->head[i], t = g->tail[i];
        const float c = pull[h];
        if (c == 0.0f) return;
        for (int d = 0; d < dim; ++d) {
            const float gd = layoutref::clip(c * (e[h * dim + d] - e[t * dim + d]));
            grad[h * dim + d] = grad[h * dim + d] + gd;
            grad[t * dim + d] = grad[t * dim + d] - gd;
        }
    }
};

std::vector<float> run_density(const graph &g, const params &p, const std::vector<float> &radius,
                               term_settings ts, int P, int S, int T, int *rc = nullptr,
                               const vornik::powf_fast::powf_path *powers = nullptr,
                               mirnak_control *ctl = nullptr, bool in_schedule_order = false) {
    std::vector<float> e = g.embedding;
    const vornik::layout::layout_problem problem = {
        e.data(), g.n_samples, g.dim,
        {g.head.data(), g.tail.data(), static_cast<int64_t>(g.head.size()), g.eps.data()},
        {p.n_epochs, p.a, p.b, p.gamma, p.alpha, p.rate, p.seed}};
    const mirnak_density_term term = {radius.empty() ? nullptr : radius.data(), ts.strength,
                                      ts.epochs, ts.shift};
    const int r = vornik::layout::optimize_density(problem, term, {P, S, T, in_schedule_order},
                                                   ctl, powers);
    if (rc) *rc = r;
    return e;
}

graph awkward_graph(int n, int dim, uint32_t seed) {
    graph g = random_graph(n, dim, 5, seed);
    g.eps[3] = 0.0f; // never sampled: in no radius
    g.eps[8] = 1.0f;
    g.tail[11] = g.head[11]; // an edge onto itself
    return g;
}

TEST(DensityLayout, FollowsItsRuleWrittenOutOnAnyThreads) {
    params p;
    p.n_epochs = 12;
    p.rate = 11.0f; // some edges owe more than one chunk of samples
    for (int dim : {2, 3}) {
        const graph g = awkward_graph(60, dim, 31);
        const std::vector<float> radius = random_radii(g.n_samples, 4);
        for (int P : {2, 3}) {
            const term_settings ts;
            density_reference ref{&g, 3, ts, p.n_epochs - ts.epochs, radius, {}};
            const std::vector<float> want = substep_reference(g, p, P, 3, ref);
            EXPECT_FALSE(same_bits(want, run_parts(g, p, P, 3, 1))); // the term moves points
            for (int T : {1, 2, 3, 0}) {
                int rc = 1;
                EXPECT_TRUE(same_bits(run_density(g, p, radius, ts, P, 3, T, &rc), want))
                    << "dim " << dim << " P " << P << " T " << T;
                EXPECT_EQ(rc, 0);
            }
        }
    }
}

TEST(DensityLayout, EveryPowerPathAndScheduleOrderGiveTheSameBits) {
    using namespace vornik::powf_fast;
    params p;
    p.n_epochs = 10;
    p.rate = 11.0f;
    const graph g = awkward_graph(150, 2, 32);
    const std::vector<float> radius = random_radii(g.n_samples, 5);
    const term_settings ts{2.0f, 6, 0.0f};
    const powf_path libm = POWF_LIBM;
    const std::vector<float> want = run_density(g, p, radius, ts, 2, 0, 2, nullptr, &libm);
    for (powf_path path : {POWF_AVX2, POWF_AVX512}) {
        if (!powf_path_available(path)) continue;
        EXPECT_TRUE(same_bits(run_density(g, p, radius, ts, 2, 0, 2, nullptr, &path), want))
            << path;
    }
    // The same edges handed over in schedule order.
    const int S = mirnak_umap_layout_substeps(static_cast<int64_t>(g.head.size()), g.n_samples, 0);
    graph ordered = g;
    size_t at = 0;
    for (int s = 0; s < S; ++s)
        for (size_t i = s; i < g.head.size(); i += S, ++at) {
            ordered.head[at] = g.head[i];
            ordered.tail[at] = g.tail[i];
            ordered.eps[at] = g.eps[i];
        }
    EXPECT_TRUE(same_bits(
        run_density(ordered, p, radius, ts, 2, 0, 1, nullptr, nullptr, nullptr, true), want));
}

TEST(DensityLayout, WithoutStrengthOrEpochsItIsThePartsLayout) {
    const graph g = awkward_graph(80, 2, 33);
    params p;
    p.n_epochs = 15;
    for (int P : {2, 3}) {
        const std::vector<float> parts = run_parts(g, p, P, 0, 2);
        for (int T : {1, 2}) {
            EXPECT_TRUE(same_bits(run_density(g, p, {}, {0.0f, 5, 0.1f}, P, 0, T), parts));
            EXPECT_TRUE(same_bits(run_density(g, p, {}, {2.0f, 0, 0.1f}, P, 0, T), parts));
        }
    }
    // Radii all alike correlate with nothing (their mean is not quite any of
    // them): the term adds nothing either.
    const std::vector<float> alike(g.n_samples, 1.1f);
    EXPECT_TRUE(same_bits(run_density(g, p, alike, {2.0f, 5, 0.1f}, 2, 0, 2),
                          run_parts(g, p, 2, 0, 2)));
}

TEST(DensityLayout, RefusesInvalidArgumentsAndStops) {
    const graph g = awkward_graph(40, 2, 34);
    params p;
    const std::vector<float> radius = random_radii(g.n_samples, 6);
    auto refused = [&](const std::vector<float> &r, term_settings ts, int P = 2, int S = 0) {
        int rc = 0;
        const std::vector<float> e = run_density(g, p, r, ts, P, S, 2, &rc);
        return rc == MIRNAK_INVALID && same_bits(e, g.embedding);
    };
    EXPECT_TRUE(refused(radius, {-1.0f, 5, 0.1f}));
    EXPECT_TRUE(refused(radius, {NAN, 5, 0.1f}));
    EXPECT_TRUE(refused(radius, {INFINITY, 5, 0.1f}));
    EXPECT_TRUE(refused(radius, {1.0f, 5, -0.1f}));
    EXPECT_TRUE(refused(radius, {1.0f, 5, NAN}));
    EXPECT_TRUE(refused(radius, {1.0f, -1, 0.1f}));
    EXPECT_TRUE(refused({}, {1.0f, 5, 0.1f}));
    EXPECT_TRUE(refused(radius, {1.0f, 5, 0.1f}, 0));
    EXPECT_TRUE(refused(radius, {1.0f, 5, 0.1f}, 2, -1));
    for (float bad : {0.0f, -1.0f, NAN, INFINITY}) {
        std::vector<float> r = radius;
        r[7] = bad;
        EXPECT_TRUE(refused(r, {1.0f, 5, 0.1f})) << bad;
    }
    // The exported entry checks the records and the ids as well.
    std::vector<float> e = g.embedding;
    graph bad_ids = g;
    bad_ids.tail[2] = g.n_samples;
    const mirnak_layout_edges edges = {bad_ids.head.data(), bad_ids.tail.data(),
                                       static_cast<int64_t>(g.head.size()), g.eps.data()};
    const mirnak_layout_run run = {p.n_epochs, p.a, p.b, p.gamma, p.alpha, p.rate, p.seed};
    const mirnak_density_term term = {radius.data(), 1.0f, 5, 0.1f};
    const mirnak_parts_plan plan = {2, 0, 2, 0};
    EXPECT_EQ(mirnak_umap_optimize_layout_density_f32(e.data(), g.n_samples, 2, &edges, &run,
                                                      &term, &plan, nullptr),
              MIRNAK_INVALID);
    EXPECT_EQ(mirnak_umap_optimize_layout_density_f32(e.data(), g.n_samples, 2, &edges, &run,
                                                      nullptr, &plan, nullptr),
              MIRNAK_INVALID);
    EXPECT_TRUE(same_bits(e, g.embedding));

    mirnak_control ctl = {9, 1};
    int rc = 0;
    EXPECT_TRUE(same_bits(run_density(g, p, radius, {}, 2, 0, 2, &rc, nullptr, &ctl),
                          g.embedding));
    EXPECT_EQ(rc, MIRNAK_STOPPED);
    EXPECT_EQ(ctl.progress, 0);
    ctl.stop = 0;
    run_density(g, p, radius, {}, 2, 0, 2, &rc, nullptr, &ctl);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ctl.progress, p.n_epochs);
}

TEST(DensityLayout, FixedLogIsWithinTwoUlpOfTheLibrarys) {
    EXPECT_EQ(fixed_log(1.0), 0.0);
    std::mt19937_64 gen(1);
    std::uniform_real_distribution<double> exponent(-300.0, 300.0);
    for (int i = 0; i < 20000; ++i) {
        const double x = std::pow(10.0, exponent(gen));
        const double want = std::log(x), got = fixed_log(x);
        EXPECT_LE(std::fabs(got - want), 2.0 * std::fabs(std::nextafter(want, 0.0) - want) + 1e-300)
            << x;
    }
    for (double x : {0.5, 2.0, 0x1.6a09e667f3bcdp-1, 0x1.6a09e667f3bccp-1, 1e-30, 1.0 + 1e-12,
                     4.9e-324, 1.7e308})
        EXPECT_NEAR(fixed_log(x), std::log(x), 4e-16 * std::fabs(std::log(x)) + 1e-300) << x;
}

} // namespace
