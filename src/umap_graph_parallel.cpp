// umap_graph_parallel.cpp - the whole fuzzy graph (bandwidths, membership
// strengths, fuzzy-set union) with its rows split between threads.
//
// Each row's bandwidth and membership strengths depend on that row and the
// mean of all distances alone, and each row of the union writes only its own
// output slots while it reads the finished directed graph. So the rows are
// cut into contiguous ranges, one per worker, in two phases joined in
// between: the directed graph, then the union. Every row runs the same range
// routines as the serial kernels, so the output equals theirs bit for bit for
// any thread count.
#include "vornik_kernels.h"

#include <cstdint>
#include <pthread.h>

#include "kernel_support.h"
#include "scratch.h"
#include "umap_graph_internal.h"

using namespace vornik::graph;

namespace {

// Fewer rows than this per worker would cost more in thread start-up than
// the rows themselves.
const int MIN_ROWS_PER_WORKER = 4096;

// The inputs, settings, scratch and outputs of one call, shared read-only by
// the workers (each writes only its own rows of the arrays behind them).
struct graphjob {
    int n_samples;
    int n_neighbors;
    const int32_t *knn_indices;
    const float *knn_dists;
    float k;
    int n_iter;
    float local_connectivity;
    float bandwidth;
    float set_op_mix_ratio;
    float mean_distances;
    float *sigmas;
    float *rhos;
    int32_t *rows; // the directed graph
    int32_t *cols;
    float *vals;
    int32_t *out_rows; // the symmetric graph
    int32_t *out_cols;
    float *out_vals;
};

enum graph_phase { DIRECTED_GRAPH, FUZZY_UNION };

struct graphwork {
    const graphjob *job;
    graph_phase phase;
    int start;
    int end;
};

void run_rows(const graphwork &w) {
    const graphjob &j = *w.job;
    if (w.phase == DIRECTED_GRAPH) {
        mirnak_umap_smooth_range(w.start, w.end, j.n_neighbors, j.knn_dists, j.k, j.n_iter,
                                 j.local_connectivity, j.bandwidth, j.mean_distances, j.sigmas,
                                 j.rhos);
        mirnak_umap_membership_range(w.start, w.end, j.n_neighbors, j.knn_indices, j.knn_dists,
                                     j.sigmas, j.rhos, 0, 0, j.rows, j.cols, j.vals, nullptr);
    } else {
        mirnak_umap_symmetrize_range(w.start, w.end, j.n_samples, j.n_neighbors, j.rows, j.cols,
                                     j.vals, j.set_op_mix_ratio, j.out_rows, j.out_cols,
                                     j.out_vals);
    }
}

void *graphworker(void *raw) {
    run_rows(*static_cast<const graphwork *>(raw));
    return nullptr;
}

// Runs one phase over n_workers contiguous row ranges, the last on the
// calling thread. Every thread is joined.
void run_phase(const graphjob &job, graph_phase phase, int n_workers, graphwork *work,
               pthread_t *threads) {
    int start = 0;
    for (int t = 0; t < n_workers; ++t) {
        const int rows = vornik::block_size(job.n_samples, n_workers, t);
        work[t].job = &job;
        work[t].phase = phase;
        work[t].start = start;
        work[t].end = start + rows;
        start += rows;
    }
    vornik::fan_out(
        n_workers, [&](int t) { return &work[t]; }, graphworker, threads,
        vornik::caller_role::runs_last);
}

} // namespace

extern "C" int mirnak_umap_fuzzy_graph_f32_parallel(
    int n_samples, int n_neighbors, const int32_t *knn_indices, const float *knn_dists, float k,
    int n_iter, float local_connectivity, float bandwidth, float set_op_mix_ratio,
    int32_t *out_rows, int32_t *out_cols, float *out_vals, int n_threads) {
    if (n_samples <= 0 || n_neighbors <= 0 || !(k > 0.0f) || n_iter <= 0) return MIRNAK_INVALID;
    if (!knn_indices || !knn_dists || !out_rows || !out_cols || !out_vals) return MIRNAK_INVALID;
    const uint64_t flat = static_cast<uint64_t>(n_samples) * static_cast<uint64_t>(n_neighbors);
    const int n_workers = vornik::worker_count(n_threads, n_samples / MIN_ROWS_PER_WORKER);

    vornik::scratch<float> sigmas = vornik::alloc_scratch<float>(n_samples);
    vornik::scratch<float> rhos = vornik::alloc_scratch<float>(n_samples);
    vornik::scratch<int32_t> rows = vornik::alloc_scratch<int32_t>(flat);
    vornik::scratch<int32_t> cols = vornik::alloc_scratch<int32_t>(flat);
    vornik::scratch<float> vals = vornik::alloc_scratch<float>(flat);
    vornik::scratch<graphwork> work = vornik::alloc_scratch<graphwork>(n_workers);
    vornik::scratch<pthread_t> threads = vornik::alloc_scratch<pthread_t>(n_workers);
    if (!sigmas || !rhos || !rows || !cols || !vals || !work || !threads)
        return MIRNAK_OUT_OF_MEMORY;

    graphjob job;
    job.n_samples = n_samples;
    job.n_neighbors = n_neighbors;
    job.knn_indices = knn_indices;
    job.knn_dists = knn_dists;
    job.k = k;
    job.n_iter = n_iter;
    job.local_connectivity = local_connectivity;
    job.bandwidth = bandwidth;
    job.set_op_mix_ratio = set_op_mix_ratio;
    job.mean_distances = mirnak_umap_mean_all(n_samples, n_neighbors, knn_dists);
    job.sigmas = sigmas.get();
    job.rhos = rhos.get();
    job.rows = rows.get();
    job.cols = cols.get();
    job.vals = vals.get();
    job.out_rows = out_rows;
    job.out_cols = out_cols;
    job.out_vals = out_vals;

    run_phase(job, DIRECTED_GRAPH, n_workers, work.get(), threads.get());
    run_phase(job, FUZZY_UNION, n_workers, work.get(), threads.get());
    return 0;
}
