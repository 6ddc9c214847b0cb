// umap_layout_parts.cpp - the threaded layout whose result does not depend on
// the number of threads.
//
// The work of the barrier optimiser with P workers is cut into tickets: per
// substep, P gradient parts (part p is worker p's share), then one ticket per
// block of 4,096 rows for the reduction. A part sums its gradients in the
// buffer of the thread that runs it and files the rows it touched as its
// records; a reduction block adds up each row's records in part order, which
// gives the sums of P full buffers added in part order, at a cost that
// follows the rows touched, not P x n_samples x dim (umap_layout_records.h).
// Two parts instead sum into two whole buffers, which the reduction adds up
// block by block: the same sums, and at two a pass over whole buffers costs
// less than listing the rows and filing them.
// Tickets are handed out in order from one counter to whichever
// thread asks next, so the result is that of P workers whatever the number
// of threads, and a thread that loses its processor holds up at most the one
// ticket it is working on: its partner takes every other ticket meanwhile,
// and one thread alone runs the whole schedule if need be.
//
// A ticket may start once the phase before its own is complete: a completion
// counter, advanced after every ticket, tells. A thread whose ticket cannot
// start yet polls the counter briefly when every thread has a processor of
// its own, and otherwise (or after the polls) sleeps until the phase ends.
// A wait that ends asleep halves the thread's next polls (the thread it
// waited for had probably lost its processor, which polling only keeps from
// it), one that ends while polling doubles them again.
#include "vornik_kernels.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "control.h"
#include "kernel_support.h"
#include "scratch.h"
#include "umap_layout.h"
#include "umap_layout_internal.h"
#include "umap_layout_partition.h"
#include "umap_layout_records.h"
#include "umap_layout_substep.h"

namespace {

using namespace vornik::layout;

// Set in the completion count, together with the completion of a substep, when
// the caller asked to stop: nothing after that substep starts.
const uint64_t STOP_BIT = uint64_t(1) << 63;

// Parts up to this many sum into whole buffers: at 100,000 points two parts'
// records took 1.18 times the processor time of two whole buffers
// (bench/scaling.py --against).
const int WHOLE_BUFFER_PARTS = 2;

// Floats of the embedding per reduction block of whole buffers (a multiple
// of a cache line), and the most blocks a substep is cut into.
const uint64_t REDUCE_BLOCK_MIN = 4096;
const uint64_t REDUCE_BLOCKS_MAX = uint64_t(1) << 20;

// Polls of the completion count before a waiting thread sleeps, when every
// thread has a processor of its own: some tens of microseconds, longer than
// the gap between the phases of a small substep. Where a pause is a few
// cycles, 1,024 polls ended in sleep after a few microseconds, and a layout
// of 2,000 points on two threads then spent more time waking than working.
const int WAIT_POLLS = 16384;

// The whole run, shared by its threads.
struct ticket_schedule {
    alignas(64) std::atomic<uint64_t> next; // the next ticket to hand out
    alignas(64) std::atomic<uint64_t> done; // tickets completed, and STOP_BIT
    alignas(64) std::atomic<int> sleepers;  // threads asleep on cond
    pthread_mutex_t mtx;
    pthread_cond_t cond;
    substep_run run;
    bool whole_buffers;   // part p sums into buffer p of run.gbuf, not into records
    uint64_t block_len;   // floats per reduction block of whole buffers
    record_layout records;
    part_records *parts;  // P, in part order
    uint8_t *block_state; // one per reduction block
    uint64_t parts_count; // gradient tickets of a substep (P)
    uint64_t per_substep; // P + reduction blocks
    uint64_t total;       // tickets of the whole run
    int polls;            // polls before sleeping
    mirnak_control *ctl;
    mirnak_layout_trace *trace; // null: the run is not traced
    int64_t t0_ns;              // when the run's threads started, for the trace
};

// What one thread works with.
struct ticket_thread {
    ticket_schedule *ts;
    thread_sums *sums;
    int index;
};

// Waits until at least `opens` tickets are complete, polling at most *polls
// times before it sleeps (and adapting *polls). False when the run was
// stopped instead.
bool wait_for_phase(ticket_schedule &ts, uint64_t opens, int *polls) {
    // STOP_BIT makes the count exceed any phase start.
    uint64_t d = ts.done.load(std::memory_order_acquire);
    if (d >= opens) return (d & STOP_BIT) == 0;
    for (int poll = 0; d < opens && poll < *polls; ++poll) {
        vornik::cpu_pause();
        d = ts.done.load(std::memory_order_acquire);
    }
    if (d >= opens) {
        *polls = *polls * 2 < ts.polls ? *polls * 2 : ts.polls;
    } else {
        *polls = (*polls + 1) / 2; // never below one poll: a later quick wait doubles it
        // The completer reads sleepers after its count is visible and this
        // thread reads the count after it counted itself in (both sequentially
        // consistent), so one of the two sees the other: no wake-up is lost.
        pthread_mutex_lock(&ts.mtx);
        ts.sleepers.fetch_add(1, std::memory_order_seq_cst);
        while ((d = ts.done.load(std::memory_order_seq_cst)) < opens)
            pthread_cond_wait(&ts.cond, &ts.mtx);
        ts.sleepers.fetch_sub(1, std::memory_order_relaxed);
        pthread_mutex_unlock(&ts.mtx);
    }
    return (d & STOP_BIT) == 0;
}

// Counts one ticket complete. The ticket that completes a substep also looks
// at the stop flag and counts the epochs done; one that completes a phase
// wakes the sleepers.
void complete_ticket(ticket_schedule &ts) {
    const uint64_t per = ts.per_substep;
    uint64_t d = ts.done.load(std::memory_order_relaxed), nd;
    do {
        nd = d + 1;
        if (nd % per == 0 && nd < ts.total && vornik::stop_requested(ts.ctl)) nd |= STOP_BIT;
    } while (!ts.done.compare_exchange_weak(d, nd, std::memory_order_seq_cst,
                                            std::memory_order_relaxed));
    const uint64_t count = nd & ~STOP_BIT;
    const uint64_t within = count % per;
    if (within != 0 && within != ts.parts_count) return;
    if (within == 0) {
        const uint64_t substeps = count / per;
        const uint64_t S = static_cast<uint64_t>(ts.run.n_substeps);
        if (substeps % S == 0) vornik::set_progress(ts.ctl, static_cast<int64_t>(substeps / S));
    }
    if (ts.sleepers.load(std::memory_order_seq_cst) > 0) {
        pthread_mutex_lock(&ts.mtx);
        pthread_cond_broadcast(&ts.cond);
        pthread_mutex_unlock(&ts.mtx);
    }
}

// Gradient part p of substep u: the share worker p of the barrier optimiser
// would take, into whole buffer p, or summed in the thread's buffer and filed
// as part p's records.
void run_part(const ticket_schedule &ts, uint64_t u, uint64_t p, thread_sums *own) {
    const substep_run &r = ts.run;
    const int64_t S = r.n_substeps;
    const int n = static_cast<int>(u / static_cast<uint64_t>(S));
    const int64_t s = static_cast<int64_t>(u % static_cast<uint64_t>(S));
    int64_t k_lo, k_hi;
    const int64_t n_edges = r.problem.edges.n_edges;
    edge_share(n_edges, S, s, r.n_blocks, static_cast<int>(p), &k_lo, &k_hi);
    const int64_t base = substep_offset(n_edges, S, s);
    if (ts.whole_buffers) {
        vornik::layout::substep_gradients(r, r.gbuf + p * r.emb_len, s, base, k_lo, k_hi, n);
        return;
    }
    vornik::layout::substep_gradients(r, own->g, s, base, k_lo, k_hi, n, &own->touched);
    file_records(ts.records, *own, ts.parts[p]);
}

// Reduction block c of substep u.
void run_reduction_block(const ticket_schedule &ts, uint64_t u, uint64_t c, thread_sums *own) {
    const substep_run &r = ts.run;
    const int n = static_cast<int>(u / static_cast<uint64_t>(r.n_substeps));
    const float alpha = epoch_alpha(r.problem.run.initial_alpha, n, r.problem.run.n_epochs);
    if (ts.whole_buffers) {
        const uint64_t lo = c * ts.block_len;
        const uint64_t hi = r.emb_len - lo < ts.block_len ? r.emb_len : lo + ts.block_len;
        vornik::layout::reduce_range(r, static_cast<size_t>(lo), static_cast<size_t>(hi), alpha);
        return;
    }
    reduce_block(ts.records, ts.parts, r.n_blocks, static_cast<int>(c), r.problem.embedding, alpha,
                 own->block, &ts.block_state[c]);
}

int64_t clock_ns(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The ticket loop; TRACED also times every ticket into the trace (a separate
// instantiation, so that the untraced run reads no clock).
template <bool TRACED> void *ticket_worker(void *raw) {
    const ticket_thread &me = *static_cast<const ticket_thread *>(raw);
    ticket_schedule &ts = *me.ts;
    const uint64_t per = ts.per_substep;
    int polls = ts.polls;
    for (;;) {
        if (ts.done.load(std::memory_order_relaxed) & STOP_BIT) break;
        const int64_t asked = TRACED ? clock_ns(CLOCK_MONOTONIC) : 0;
        const uint64_t t = ts.next.fetch_add(1, std::memory_order_relaxed);
        if (t >= ts.total) break;
        const uint64_t u = t / per, within = t % per;
        const bool gradient = within < ts.parts_count;
        // Gradients wait for the reduction before them, the reduction for
        // every part of its substep.
        if (!wait_for_phase(ts, u * per + (gradient ? 0 : ts.parts_count), &polls)) break;
        const int64_t start = TRACED ? clock_ns(CLOCK_MONOTONIC) : 0;
        const int64_t cpu = TRACED ? clock_ns(CLOCK_THREAD_CPUTIME_ID) : 0;
        if (gradient)
            run_part(ts, u, within, me.sums);
        else
            run_reduction_block(ts, u, within - ts.parts_count, me.sums);
        if (TRACED) {
            mirnak_layout_ticket &e = ts.trace->tickets[t];
            e.wait_ns = start - asked;
            e.start_ns = start - ts.t0_ns;
            e.end_ns = clock_ns(CLOCK_MONOTONIC) - ts.t0_ns;
            e.cpu_ns = clock_ns(CLOCK_THREAD_CPUTIME_ID) - cpu;
            e.thread = me.index;
        }
        complete_ticket(ts);
    }
    return nullptr;
}

// Runs the schedule on the calling thread and up to T - 1 more; with
// in_schedule_order the problem's edges come in schedule order. With a
// trace, the run is timed into it.
int run_parts(const layout_problem &c, int P, int S, int T, bool in_schedule_order,
              mirnak_control *ctl, mirnak_layout_trace *trace) {
    const int64_t called = trace ? clock_ns(CLOCK_MONOTONIC) : 0;
    const record_layout L = make_record_layout(c.n_samples, c.dim, c.edges.n_edges, S, P);
    const bool whole = P <= WHOLE_BUFFER_PARTS;
    const uint64_t emb_len = static_cast<uint64_t>(c.n_samples) * static_cast<uint64_t>(c.dim);
    uint64_t block_len = (emb_len + REDUCE_BLOCKS_MAX - 1) / REDUCE_BLOCKS_MAX;
    block_len = block_len < REDUCE_BLOCK_MIN ? REDUCE_BLOCK_MIN : (block_len + 15) / 16 * 16;
    const uint64_t blocks =
        whole ? (emb_len + block_len - 1) / block_len : static_cast<uint64_t>(L.n_blocks);
    const uint64_t per = static_cast<uint64_t>(P) + blocks;
    // Tickets and completions count in 63 bits; STOP_BIT is the 64th.
    const uint64_t steps = static_cast<uint64_t>(c.run.n_epochs) * static_cast<uint64_t>(S);
    if (steps > (uint64_t(1) << 62) / per) return MIRNAK_INVALID;
    if (trace) {
        trace->n_tickets = static_cast<int64_t>(steps * per);
        trace->n_parts = P;
        trace->n_blocks = static_cast<int32_t>(blocks);
        trace->n_substeps = S;
        trace->n_threads = T;
        if (trace->capacity < trace->n_tickets || !trace->tickets) return MIRNAK_INVALID;
    }

    ticket_schedule ts;
    substep_scratch sc;
    record_scratch rs;
    vornik::scratch<pthread_t> threads = vornik::alloc_scratch<pthread_t>(T);
    vornik::scratch<ticket_thread> own = vornik::alloc_scratch<ticket_thread>(T);
    const bool prepared =
        vornik::layout::prepare_substep_run(c, P, S, in_schedule_order, &sc, &ts.run, !whole);
    const bool recorded = whole || vornik::layout::allocate_records(L, P, T, &rs);
    if (!threads || !own || !prepared || !recorded) return MIRNAK_OUT_OF_MEMORY;
    // Every reduction of whole buffers leaves them clear for the next substep.
    if (whole) memset(ts.run.gbuf, 0, emb_len * static_cast<uint64_t>(P) * sizeof(float));

    ts.next.store(0, std::memory_order_relaxed);
    ts.done.store(0, std::memory_order_relaxed);
    ts.sleepers.store(0, std::memory_order_relaxed);
    pthread_mutex_init(&ts.mtx, nullptr);
    pthread_cond_init(&ts.cond, nullptr);
    ts.whole_buffers = whole;
    ts.block_len = block_len;
    ts.records = L;
    ts.parts = whole ? nullptr : rs.parts.get();
    ts.block_state = whole ? nullptr : rs.state.get();
    ts.parts_count = static_cast<uint64_t>(P);
    ts.per_substep = per;
    ts.total = steps * per;
    // A polling thread could hold the very processor the thread it waits
    // for needs, so threads poll only when each has a processor of its own.
    ts.polls = T <= vornik::usable_cpus() ? WAIT_POLLS : 0;
    ts.ctl = ctl;
    ts.trace = trace;
    for (int t = 0; t < T; ++t) own[t] = ticket_thread{&ts, whole ? nullptr : &rs.threads[t], t};

    // Every thread claims tickets from the one schedule, so a thread that
    // cannot be created only costs speed: the others, the calling thread
    // among them, take its tickets, and no more are tried.
    ts.t0_ns = trace ? clock_ns(CLOCK_MONOTONIC) : 0;
    vornik::fan_out(
        T, [&](int t) { return &own[t]; }, trace ? ticket_worker<true> : ticket_worker<false>,
        threads.get(), vornik::caller_role::runs_the_rest);
    if (trace) {
        trace->prepare_ns = ts.t0_ns - called;
        trace->run_ns = clock_ns(CLOCK_MONOTONIC) - ts.t0_ns;
    }

    const bool stopped = (ts.done.load(std::memory_order_relaxed) & STOP_BIT) != 0;
    pthread_mutex_destroy(&ts.mtx);
    pthread_cond_destroy(&ts.cond);
    return stopped ? MIRNAK_STOPPED : 0;
}

} // namespace

// ---------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------

int vornik::layout::parts_substeps(int64_t n_edges, int n_samples, int n_substeps) {
    return n_substeps == 0 ? default_substeps(n_edges, n_samples)
                           : clamp_substeps(n_substeps, n_edges);
}

namespace {

// One part is the serial optimiser, which reads the edges in list order.
int optimize_one_part(const layout_problem &p, int S, bool in_schedule_order, mirnak_control *ctl) {
    if (!in_schedule_order || S == 1) return optimize_serial(p, ctl);
    const mirnak_layout_edges &e = p.edges;
    substep_scratch list;
    if (!allocate_edge_copy(&list, static_cast<uint64_t>(e.n_edges))) return MIRNAK_OUT_OF_MEMORY;
    reorder_edges({e.head, e.tail, e.epochs_per_sample}, e.n_edges, S, false, &list);
    layout_problem in_list = p;
    in_list.edges = {list.head.get(), list.tail.get(), e.n_edges, list.eps.get()};
    return optimize_serial(in_list, ctl);
}

} // namespace

int vornik::layout::optimize_parts(const layout_problem &p, const parts_plan &plan,
                                   mirnak_control *ctl, mirnak_layout_trace *trace) {
    if (!args_valid(p) || plan.n_parts < 1 || plan.n_substeps < 0) return MIRNAK_INVALID;
    const int64_t n_edges = p.edges.n_edges;
    const int S = parts_substeps(n_edges, p.n_samples, plan.n_substeps);
    // As many parts as the barrier optimiser would have workers: at most one
    // per edge, and one part is the serial optimiser.
    const int P = n_edges < plan.n_parts ? static_cast<int>(n_edges) : plan.n_parts;
    if (P == 1) {
        if (trace) { // no tickets: the serial optimiser runs
            trace->n_tickets = 0;
            trace->n_parts = 1;
            trace->n_blocks = 0;
            trace->n_substeps = S;
            trace->n_threads = 1;
        }
        return optimize_one_part(p, S, plan.in_schedule_order, ctl);
    }
    vornik::set_progress(ctl, 0);
    if (vornik::stop_requested(ctl)) return MIRNAK_STOPPED;
    const int T = vornik::worker_count(plan.n_threads, P);
    return run_parts(p, P, S, T, plan.in_schedule_order, ctl, trace);
}

// The two exported parts kernels, which differ only in the order their
// edges come in.
#define VORNIK_DEFINE_PARTS_KERNEL(NAME, IN_SCHEDULE_ORDER)                                        \
    extern "C" int NAME(float *embedding, int n_samples, int dim, const int32_t *head,             \
                        const int32_t *tail, int64_t n_edges, const float *epochs_per_sample,      \
                        int n_epochs, float a, float b, float gamma, float initial_alpha,          \
                        float negative_sample_rate, uint64_t seed, int n_parts, int n_substeps,    \
                        int n_threads, mirnak_control *control) {                                  \
        const mirnak_layout_edges edges = {head, tail, n_edges, epochs_per_sample};                \
        const mirnak_layout_run run = {n_epochs, a, b, gamma, initial_alpha, negative_sample_rate, \
                                       seed};                                                      \
        const layout_problem p = {embedding, n_samples, dim, edges, run};                          \
        const parts_plan plan = {n_parts, n_substeps, n_threads, IN_SCHEDULE_ORDER};               \
        return kernel_args_valid(p) ? optimize_parts(p, plan, control, nullptr) : MIRNAK_INVALID;  \
    }

VORNIK_DEFINE_PARTS_KERNEL(mirnak_umap_optimize_layout_euclidean_f32_parts, false)
VORNIK_DEFINE_PARTS_KERNEL(mirnak_umap_optimize_layout_euclidean_f32_parts_in_schedule_order, true)

extern "C" int mirnak_umap_layout_parts_traced(float *embedding, int n_samples, int dim,
                                               const mirnak_layout_edges *edges,
                                               const mirnak_layout_run *run,
                                               const mirnak_layout_parts *parts,
                                               mirnak_layout_trace *trace) {
    if (!edges || !run || !parts || !trace) return MIRNAK_INVALID;
    const layout_problem p = {embedding, n_samples, dim, *edges, *run};
    const parts_plan plan = {parts->n_parts, parts->n_substeps, parts->n_threads,
                             parts->in_schedule_order != 0};
    return kernel_args_valid(p) ? optimize_parts(p, plan, nullptr, trace) : MIRNAK_INVALID;
}

extern "C" int mirnak_umap_layout_substeps(int64_t n_edges, int n_samples, int n_substeps) {
    if (n_edges < 1 || n_samples < 1 || n_substeps < 0) return MIRNAK_INVALID;
    return vornik::layout::parts_substeps(n_edges, n_samples, n_substeps);
}
