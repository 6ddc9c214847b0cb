// The parts optimiser (the barrier optimiser's result with one worker per
// part, on any number of threads, for edges in list or schedule order), and
// every optimiser's control block: progress, and stops before and during a
// run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "layout_fixture.h"
#include "substep_reference.h"

namespace {

using namespace layout_test;

// ---------------------------------------------------------------------------
// Parts optimiser
// ---------------------------------------------------------------------------

TEST(PartsLayout, ThreadsChangeNothingAndPartsActAsBarrierWorkers) {
    // Several substeps, shares longer than the look-ahead, edges owing more
    // than one draw chunk, inert edges: every thread count gives the bits of
    // the barrier optimiser with one worker per part.
    graph g = random_graph(150, 2, 7, 21);
    g.eps[9] = 0.0f;
    g.eps[40] = 1.0f;
    params p;
    p.n_epochs = 15;
    p.rate = 11.0f;
    for (int S : {0, 3}) {
        for (int P : {2, 3, 5}) {
            std::vector<float> expected;
            {
                substeps_env env(S ? std::to_string(S).c_str() : nullptr);
                expected = run_parallel(g, p, P);
            }
            for (int T : {1, 2, 3, 8, 0}) {
                int rc = 1;
                EXPECT_TRUE(same_bits(run_parts(g, p, P, S, T, &rc), expected))
                    << "S " << S << " P " << P << " T " << T;
                EXPECT_EQ(rc, 0);
            }
        }
    }
    // The environment does not reach it: the count is an argument.
    substeps_env env("4"); // the default is 7
    EXPECT_FALSE(same_bits(run_parts(g, p, 2, 0, 2), run_parallel(g, p, 2)));
    EXPECT_TRUE(same_bits(run_parts(g, p, 2, 4, 2), run_parallel(g, p, 2)));
}

TEST(PartsLayout, OnePartIsTheSerialOptimiserAndOtherDimensionsAgree) {
    const graph g = random_graph(60, 2, 4, 22);
    const params p;
    const std::vector<float> serial = run_serial(g, p);
    for (int T : {1, 2}) {
        int rc = 1;
        EXPECT_TRUE(same_bits(run_parts(g, p, 1, 0, T, &rc), serial)) << T;
        EXPECT_EQ(rc, 0);
    }
    graph one = g; // more parts than edges: one part per edge
    one.head.resize(3);
    one.tail.resize(3);
    one.eps.resize(3);
    EXPECT_TRUE(same_bits(run_parts(one, p, 8, 0, 8), run_parallel(one, p, 3)));
    EXPECT_TRUE(
        same_bits(drop_third(run_parts(lift_to_3d(g), p, 3, 0, 2)), run_parts(g, p, 3, 0, 1)));
}

// g's edges in the schedule order of S substeps: substep s's edges s, s + S,
// s + 2S, ... one after the other, substep after substep.
graph in_schedule_order(const graph &g, int S) {
    graph out = g;
    size_t p = 0;
    for (int s = 0; s < S; ++s) {
        for (size_t i = static_cast<size_t>(s); i < g.head.size();
             i += static_cast<size_t>(S), ++p) {
            out.head[p] = g.head[i];
            out.tail[p] = g.tail[i];
            out.eps[p] = g.eps[i];
        }
    }
    return out;
}

TEST(PartsLayout, EdgesInScheduleOrderGiveTheListsBits) {
    graph g = random_graph(90, 3, 5, 25);
    g.eps[7] = 0.0f;
    params p;
    p.n_epochs = 12;
    const int64_t E = static_cast<int64_t>(g.head.size());
    for (int asked : {0, 4, 1000}) {
        const int S = mirnak_umap_layout_substeps(E, g.n_samples, asked);
        EXPECT_EQ(S, asked == 0 ? 5 : asked == 4 ? 4 : static_cast<int>(E)) << asked;
        const graph sorted = in_schedule_order(g, S);
        for (int P : {1, 2, 3}) {
            const std::vector<float> expected = run_parts(g, p, P, asked, 2);
            for (int T : {1, 2}) {
                std::vector<float> e = sorted.embedding;
                const int rc =
                    call_layout(mirnak_umap_optimize_layout_euclidean_f32_parts_in_schedule_order,
                                sorted, p, e, P, asked, T, static_cast<mirnak_control *>(nullptr));
                EXPECT_EQ(rc, 0);
                EXPECT_TRUE(same_bits(e, expected))
                    << "asked " << asked << " P " << P << " T " << T;
            }
        }
    }
    EXPECT_EQ(mirnak_umap_layout_substeps(0, 5, 0), -1);
    EXPECT_EQ(mirnak_umap_layout_substeps(5, 0, 0), -1);
    EXPECT_EQ(mirnak_umap_layout_substeps(5, 5, -1), -1);
}

TEST(PartsLayout, RefusesBadPartsAndSubstepsUntouched) {
    const graph g = random_graph(20, 2, 3, 23);
    params p;
    for (auto bad : {std::make_pair(0, 0), std::make_pair(-2, 0), std::make_pair(2, -1)}) {
        int rc = 0;
        EXPECT_TRUE(same_bits(run_parts(g, p, bad.first, bad.second, 2, &rc), g.embedding));
        EXPECT_EQ(rc, -1);
    }
    graph bad = g;
    bad.tail[2] = 20;
    int rc = 0;
    EXPECT_TRUE(same_bits(run_parts(bad, p, 2, 0, 2, &rc), g.embedding));
    EXPECT_EQ(rc, -1);
    p.rate = 0.0f;
    EXPECT_TRUE(same_bits(run_parts(g, p, 2, 0, 2, &rc), g.embedding));
    EXPECT_EQ(rc, -1);
    // 2^31 - 1 epochs of 2^16 substeps of 2^16 parts each are more units of
    // work than the schedule counts; refused before anything is allocated.
    graph wide;
    wide.n_samples = 2;
    wide.embedding = {0.0f, 1.0f, 2.0f, 3.0f};
    wide.head.assign(1 << 16, 0);
    wide.tail.assign(1 << 16, 1);
    wide.eps.assign(1 << 16, 1.0f);
    p = params();
    p.n_epochs = INT_MAX;
    EXPECT_TRUE(same_bits(run_parts(wide, p, 1 << 16, 1 << 16, 2, &rc), wide.embedding));
    EXPECT_EQ(rc, -1);
}

// More than two blocks of 4,096 rows, ten rows no edge touches at the end
// (one at -0, one a signalling NaN, one at -0 and +0), and a touched row at
// -0: adding a sum of +0 turns -0 into +0 and quiets the NaN, which the
// reduction of touched rows only must still do.
graph graph_with_idle_rows() {
    graph g = random_graph(9000, 2, 3, 31);
    g.eps[17] = 0.0f;
    g.n_samples += 10;
    for (int v = 0; v < 10; ++v) {
        g.embedding.push_back(0.25f * static_cast<float>(v));
        g.embedding.push_back(-1.0f);
    }
    float *idle = &g.embedding[2 * 9000];
    idle[0] = -0.0f;
    idle[1] = -0.0f;
    uint32_t snan = 0x7FA00001u;
    std::memcpy(&idle[3], &snan, sizeof snan);
    idle[4] = -0.0f;
    idle[5] = 0.0f;
    g.embedding[2 * g.head[5]] = -0.0f;
    return g;
}

TEST(PartsLayout, ManyPartsGiveTheSubstepRulesBitsForAnyThreads) {
    // Dense substeps (every row of a block touched) and sparse ones (20
    // substeps: few rows per block), with the rule's full sums and the
    // barrier optimiser with one worker per part as references.
    const graph g = graph_with_idle_rows();
    params p;
    p.n_epochs = 4;
    for (int S : {0, 20}) {
        const int64_t S_eff =
            mirnak_umap_layout_substeps(static_cast<int64_t>(g.head.size()), g.n_samples, S);
        for (int P : {8, 32}) {
            const std::vector<float> expected = substep_reference(g, p, P, S_eff);
            if (P <= 8) {
                // The barrier optimiser on P threads; it runs more than its
                // thread cap (8 on a small machine) as the capped count.
                substeps_env env(S ? std::to_string(S).c_str() : nullptr);
                EXPECT_TRUE(same_bits(run_parallel(g, p, P), expected)) << "S " << S << " P " << P;
            }
            for (int T : {1, 2, 5}) {
                int rc = 1;
                EXPECT_TRUE(same_bits(run_parts(g, p, P, S, T, &rc), expected))
                    << "S " << S << " P " << P << " T " << T;
                EXPECT_EQ(rc, 0);
            }
            // The idle rows moved by +0: -0 became +0, the NaN is quiet.
            uint32_t bits[4];
            std::memcpy(bits, &expected[2 * 9000], sizeof bits);
            EXPECT_EQ(bits[0], 0u);
            EXPECT_EQ(bits[3], 0x7FE00001u);
        }
    }
}

TEST(PartsLayout, ManyPartsAgreeInOtherDimensionsAndWithoutAFiniteRate) {
    graph g = lift_to_3d(random_graph(5000, 2, 3, 32));
    g.embedding[7] = -0.0f;
    params p;
    p.n_epochs = 3;
    const int64_t S =
        mirnak_umap_layout_substeps(static_cast<int64_t>(g.head.size()), g.n_samples, 15);
    EXPECT_TRUE(same_bits(run_parts(g, p, 16, 15, 3), substep_reference(g, p, 16, S)));
    // An infinite rate makes every coordinate NaN, touched or not (a row
    // without edges too, in substeps that touch few rows).
    graph small = random_graph(300, 2, 3, 33);
    small.n_samples += 1;
    small.embedding.insert(small.embedding.end(), {1.0f, 2.0f});
    p.alpha = INFINITY;
    const std::vector<float> nan = run_parts(small, p, 6, 60, 2);
    EXPECT_TRUE(same_bits(nan, substep_reference(small, p, 6, 60)));
    EXPECT_TRUE(std::isnan(nan.back()));
}

int traced(const graph &g, const params &p, std::vector<float> &e, int P, int T,
           mirnak_layout_trace *trace) {
    const mirnak_layout_edges edges = {g.head.data(), g.tail.data(),
                                       static_cast<int64_t>(g.head.size()), g.eps.data()};
    const mirnak_layout_run run = {p.n_epochs, p.a, p.b, p.gamma, p.alpha, p.rate, p.seed};
    const mirnak_layout_parts parts = {P, 0, T, 0};
    return mirnak_umap_layout_parts_traced(e.data(), g.n_samples, g.dim, &edges, &run, &parts,
                                           trace);
}

TEST(PartsLayout, ATracedRunGivesTheSameBitsAndTimesEveryTicketInPhaseOrder) {
    const graph g = random_graph(5000, 2, 3, 34); // two reduction blocks
    params p;
    p.n_epochs = 6;
    const int P = 5, T = 2;
    std::vector<float> e = g.embedding;
    mirnak_layout_trace trace = {};
    EXPECT_EQ(traced(g, p, e, P, T, &trace), -1); // no room: the size is asked
    EXPECT_TRUE(same_bits(e, g.embedding));
    const int S = mirnak_umap_layout_substeps(static_cast<int64_t>(g.head.size()), g.n_samples, 0);
    const int per = P + 2;
    ASSERT_EQ(trace.n_tickets, static_cast<int64_t>(p.n_epochs) * S * per);
    std::vector<mirnak_layout_ticket> tickets(trace.n_tickets,
                                              mirnak_layout_ticket{-1, -1, -1, -1, -1});
    trace.tickets = tickets.data();
    trace.capacity = trace.n_tickets;
    EXPECT_EQ(traced(g, p, e, P, T, &trace), 0);
    EXPECT_TRUE(same_bits(e, run_parts(g, p, P, 0, T)));
    EXPECT_EQ(trace.n_parts, P);
    EXPECT_EQ(trace.n_blocks, 2);
    EXPECT_EQ(trace.n_substeps, S);
    EXPECT_EQ(trace.n_threads, T);
    // Each phase starts after the one before it has ended.
    int64_t phase_end = 0;
    for (int64_t u = 0; u < trace.n_tickets / per; ++u) {
        for (int first : {0, P}) {
            int64_t end = phase_end;
            for (int j = first; j < (first ? per : P); ++j) {
                const mirnak_layout_ticket &t = tickets[u * per + j];
                ASSERT_GE(t.thread, 0);
                ASSERT_LT(t.thread, T);
                ASSERT_GE(t.start_ns, phase_end) << u << " " << j;
                ASSERT_GE(t.end_ns, t.start_ns);
                ASSERT_GE(t.wait_ns, 0);
                ASSERT_GE(t.cpu_ns, 0);
                end = std::max(end, t.end_ns);
            }
            phase_end = end;
        }
    }
    EXPECT_LE(phase_end, trace.run_ns);
    EXPECT_GE(trace.prepare_ns, 0);
}

// ---------------------------------------------------------------------------
// Control block
// ---------------------------------------------------------------------------

int serial_ctl(const graph &g, const params &p, std::vector<float> &e, mirnak_control *ctl) {
    return call_layout(mirnak_umap_optimize_layout_euclidean_f32_ctl, g, p, e, ctl);
}

int parallel_ctl(const graph &g, const params &p, std::vector<float> &e, int threads,
                 mirnak_control *ctl) {
    return call_layout(mirnak_umap_optimize_layout_euclidean_f32_parallel_ctl, g, p, e, threads,
                       ctl);
}

int parts_ctl(const graph &g, const params &p, std::vector<float> &e, int parts, int threads,
              mirnak_control *ctl) {
    return call_layout(mirnak_umap_optimize_layout_euclidean_f32_parts, g, p, e, parts, 0, threads,
                       ctl);
}

TEST(LayoutControl, UnstoppedRunsGiveTheKernelsBitsAndCountEveryEpoch) {
    const graph g = random_graph(120, 2, 5, 24);
    params p;
    p.n_epochs = 25;
    mirnak_control ctl = {-7, 0};
    std::vector<float> e = g.embedding;
    EXPECT_EQ(serial_ctl(g, p, e, &ctl), 0);
    EXPECT_TRUE(same_bits(e, run_serial(g, p)));
    EXPECT_EQ(ctl.progress, p.n_epochs);
    for (int T : {1, 2, 3}) {
        ctl = {-7, 0};
        e = g.embedding;
        int rc;
        const std::vector<float> expected = run_parallel(g, p, T, &rc);
        EXPECT_EQ(parallel_ctl(g, p, e, T, &ctl), rc);
        EXPECT_TRUE(same_bits(e, expected)) << T;
        EXPECT_EQ(ctl.progress, p.n_epochs) << T;
        ctl = {-7, 0};
        e = g.embedding;
        EXPECT_EQ(parts_ctl(g, p, e, T, 2, &ctl), 0);
        EXPECT_TRUE(same_bits(e, expected)) << T;
        EXPECT_EQ(ctl.progress, p.n_epochs) << T;
    }
}

// Runs kernel(&ctl) on a thread of its own and sets the stop flag once the
// progress count reaches `after`.
template <class Kernel> int stop_midway(Kernel kernel, mirnak_control *ctl, int64_t after) {
    std::atomic<bool> returned{false};
    int rc = 1;
    std::thread runner([&] {
        rc = kernel(ctl);
        returned = true;
    });
    while (!returned && __atomic_load_n(&ctl->progress, __ATOMIC_RELAXED) < after)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    __atomic_store_n(&ctl->stop, 1, __ATOMIC_RELAXED);
    runner.join();
    return rc;
}

TEST(LayoutControl, AStopBeforeTheCallTouchesNothing) {
    const graph g = random_graph(50, 2, 4, 25);
    const params p;
    for (int which = 0; which < 4; ++which) {
        mirnak_control ctl = {-7, 1};
        std::vector<float> e = g.embedding;
        const int rc = which == 0   ? serial_ctl(g, p, e, &ctl)
                       : which == 1 ? parallel_ctl(g, p, e, 2, &ctl)
                       : which == 2 ? parallel_ctl(g, p, e, 1, &ctl)
                                    : parts_ctl(g, p, e, 3, 2, &ctl);
        EXPECT_EQ(rc, MIRNAK_STOPPED) << which;
        EXPECT_TRUE(same_bits(e, g.embedding)) << which;
        EXPECT_EQ(ctl.progress, 0) << which;
        EXPECT_EQ(ctl.stop, 1) << which;
    }
}

TEST(LayoutControl, AStopFromAnotherThreadEndsEachOptimiserEarly) {
    // Long enough that an unstopped run would take minutes.
    const graph g = random_graph(400, 2, 8, 26);
    params p;
    p.n_epochs = 200000;
    for (int which = 0; which < 4; ++which) {
        mirnak_control ctl = {0, 0};
        std::vector<float> e = g.embedding;
        const int rc = stop_midway(
            [&](mirnak_control *c) {
                return which == 0   ? serial_ctl(g, p, e, c)
                       : which == 1 ? parallel_ctl(g, p, e, 2, c)
                       : which == 2 ? parts_ctl(g, p, e, 4, 2, c)
                                    : parts_ctl(g, p, e, 4, 1, c);
            },
            &ctl, 3);
        EXPECT_EQ(rc, MIRNAK_STOPPED) << which;
        EXPECT_GE(ctl.progress, 3) << which;
        EXPECT_LT(ctl.progress, p.n_epochs) << which;
        EXPECT_FALSE(same_bits(e, g.embedding)) << which;
        for (float v : e) ASSERT_TRUE(std::isfinite(v)) << which;
    }
}

} // namespace
