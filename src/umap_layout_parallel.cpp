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

#include <cstdint>
#include <cstring>
#include <pthread.h>

#include "control.h"
#include "scratch.h"
#include "umap_layout.h"
#include "umap_layout_barrier.h"
#include "umap_layout_internal.h"
#include "umap_layout_partition.h"
#include "umap_layout_substep.h"

namespace {

using namespace vornik::layout;

// ---------------------------------------------------------------------------
// Worker
// ---------------------------------------------------------------------------

// One worker's view of the run, filled before the worker starts and never
// changed. The run's gradient buffers are one per worker, in worker order.
struct layout_worker_args {
    int tid;
    substep_run run;
    mirnak_barrier_t *barrier;
    mirnak_control *ctl; // polled before every substep; worker 0 counts epochs
};

void worker_loop(const layout_worker_args &w) {
    const int T = w.run.n_blocks;
    const int t = w.tid;
    const int64_t S = w.run.n_substeps;
    const size_t emb_len = w.run.emb_len;
    const mirnak_layout_run &run = w.run.problem.run;
    float *g = w.run.gbuf + static_cast<size_t>(t) * emb_len;
    size_t v_lo, v_hi;
    reduction_slice(emb_len, T, t, &v_lo, &v_hi);

    // Cleared once here; afterwards every reduction leaves all buffers clear.
    memset(g, 0, emb_len * sizeof(float));
    for (int n = 0; n < run.n_epochs; ++n) {
        const float alpha = epoch_alpha(run.initial_alpha, n, run.n_epochs);
        int64_t base = 0; // schedule position of the substep's first edge
        for (int64_t s = 0; s < S; ++s) {
            // A stop sends every worker home at its next wait: nobody is
            // between the two crossings, where the embedding is written.
            if (vornik::stop_requested(w.ctl)) {
                mirnak_barrier_abort(w.barrier);
                return;
            }
            int64_t k_lo, k_hi;
            const int64_t K = edge_share(w.run.problem.edges.n_edges, S, s, T, t, &k_lo, &k_hi);
            vornik::layout::substep_gradients(w.run, g, s, base, k_lo, k_hi, n);
            base += K;

            if (mirnak_barrier_wait(w.barrier)) return;
            vornik::layout::reduce_range(w.run, v_lo, v_hi, alpha);
            if (mirnak_barrier_wait(w.barrier)) return;
        }
        if (t == 0) vornik::set_progress(w.ctl, n + 1);
    }
}

void *layout_worker(void *raw) {
    // A private copy: the gradient stores cannot alias the parameters.
    const layout_worker_args w = *static_cast<const layout_worker_args *>(raw);
    worker_loop(w);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Parallel run
// ---------------------------------------------------------------------------

enum class run_end { done, no_resources, stopped };

// The status after the serial optimiser did the work, which the contract
// reports with the value of invalid arguments.
const int RAN_SERIALLY = MIRNAK_INVALID;

// Runs the threaded optimisation. No resources: the embedding untouched and
// every thread joined, because scratch memory or a thread could not be had.
run_end run_parallel(const layout_problem &c, int eff_threads, mirnak_control *ctl) {
    const int n_substeps = resolve_substeps(c.edges.n_edges, c.n_samples);
    const uint64_t T = static_cast<uint64_t>(eff_threads);
    vornik::scratch<pthread_t> threads = vornik::alloc_scratch<pthread_t>(T);
    vornik::scratch<layout_worker_args> args = vornik::alloc_scratch<layout_worker_args>(T);
    substep_scratch sc;
    substep_run run;
    const bool prepared =
        vornik::layout::prepare_substep_run(c, eff_threads, n_substeps, false, &sc, &run);
    if (!threads || !args || !prepared) return run_end::no_resources;

    mirnak_barrier_t barrier;
    mirnak_barrier_init(&barrier, eff_threads);
    int spawned = 0;
    bool spawn_failed = false;
    for (int t = 0; t < eff_threads; ++t) {
        layout_worker_args &w = args[t];
        w.tid = t;
        w.run = run;
        w.barrier = &barrier;
        w.ctl = ctl;
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
    // Only a stop aborts a barrier whose parties all started.
    const bool stopped = !spawn_failed && barrier.aborted;
    mirnak_barrier_destroy(&barrier);
    if (spawn_failed) return run_end::no_resources;
    return stopped ? run_end::stopped : run_end::done;
}

} // namespace

// ---------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------

int vornik::layout::optimize_parallel(const layout_problem &p, int n_threads, mirnak_control *ctl) {
    if (!args_valid(p)) return MIRNAK_INVALID;
    vornik::set_progress(ctl, 0);
    if (vornik::stop_requested(ctl)) return MIRNAK_STOPPED;
    // The result depends on the number of workers; a request above the thread
    // cap gets the capped count's result.
    const int eff_threads = vornik::worker_count(n_threads, p.edges.n_edges);
    if (eff_threads > 1) {
        const run_end end = run_parallel(p, eff_threads, ctl);
        if (end == run_end::done) return 0;
        if (end == run_end::stopped) return MIRNAK_STOPPED;
    }
    return optimize_serial(p, ctl) == MIRNAK_STOPPED ? MIRNAK_STOPPED : RAN_SERIALLY;
}

extern "C" int mirnak_umap_optimize_layout_euclidean_f32_parallel_ctl(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b, float gamma,
    float initial_alpha, float negative_sample_rate, uint64_t seed, int n_threads,
    mirnak_control *control) {
    const mirnak_layout_edges edges = {head, tail, n_edges, epochs_per_sample};
    const mirnak_layout_run run = {n_epochs, a, b, gamma, initial_alpha, negative_sample_rate,
                                   seed};
    const layout_problem p = {embedding, n_samples, dim, edges, run};
    return kernel_args_valid(p) ? optimize_parallel(p, n_threads, control) : MIRNAK_INVALID;
}

extern "C" int mirnak_umap_optimize_layout_euclidean_f32_parallel(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b, float gamma,
    float initial_alpha, float negative_sample_rate, uint64_t seed, int n_threads) {
    return mirnak_umap_optimize_layout_euclidean_f32_parallel_ctl(
        embedding, n_samples, dim, head, tail, n_edges, epochs_per_sample, n_epochs, a, b, gamma,
        initial_alpha, negative_sample_rate, seed, n_threads, nullptr);
}
