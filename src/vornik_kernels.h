/* vornik_kernels.h - the native kernels of _native_vornik, callable from C and C++.
 *
 * Every kernel works on caller-allocated, row-major buffers of 4-byte elements
 * and keeps no state between calls. Pointers are not validated beyond a null
 * check: the caller supplies the element counts each kernel documents. No
 * output buffer may overlap an input buffer or another output of the same
 * call (inputs may share memory).
 *
 * Concurrent writers: the caller owns its buffers for the whole call. Should
 * another thread write one while a kernel runs, the result is unspecified,
 * but the kernel still reads and writes nothing outside its buffers: every
 * id it indexes memory with (graph and pivot ids, head and tail, the kNN and
 * fuzzy-graph ids) is checked where it is read, and one found out of range
 * there is skipped: that edge does nothing in that epoch, that neighbour,
 * pivot or entry counts as none. The up-front checks that return -1 still
 * see the ids as they were when the call began.
 *
 * Threads: a kernel starts at most max(8, 4 x the processors in the calling
 * thread's affinity mask) threads at once, whatever n_threads asks for.
 *
 *   approximate kNN:   mirnak_knn_descent_f32
 *                      mirnak_knn_descent_metric_f32 (Manhattan, Chebyshev, Minkowski)
 *                      mirnak_knn_descent_bits_u64 (Hamming, Jaccard, Dice on bit rows)
 *   fuzzy graph:       mirnak_umap_smooth_knn_dist_f32
 *                      mirnak_umap_membership_strengths_f32
 *                      mirnak_umap_symmetrize_fuzzy_graph_f32
 *                      mirnak_umap_fuzzy_graph_f32_parallel (the three, threaded)
 *   layout:            mirnak_umap_optimize_layout_euclidean_f32
 *                      mirnak_umap_optimize_layout_euclidean_f32_parallel
 *   new points:        mirnak_knn_query_f32
 *                      mirnak_umap_optimize_new_points_f32
 *
 * The long kernels also come with a control block (mirnak_control, below):
 * mirnak_knn_descent_f32_ctl, mirnak_umap_optimize_layout_euclidean_f32_ctl,
 * mirnak_umap_optimize_layout_euclidean_f32_parallel_ctl, and
 * mirnak_umap_optimize_layout_euclidean_f32_parts, whose result does not
 * depend on the number of threads (mirnak_umap_layout_parts_traced times
 * its work, for benchmarks).
 */
#ifndef VORNIK_KERNELS_H
#define VORNIK_KERNELS_H

#include <stdint.h>

#if defined(__GNUC__)
#define MIRNAK_API __attribute__((visibility("default")))
#else
#define MIRNAK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A caller-owned control block for the long kernels (the _ctl and _parts
 * entries below; a null pointer means no block).
 *
 * progress: work done so far, written only by the kernel: 0 when it starts,
 *   then rising. kNN: one per tree built, then one per refinement iteration;
 *   a successful call ends at n_trees + n_iters (each raised to at least 1),
 *   an early end of the refinement counting its remaining iterations.
 *   Layout: epochs done, n_epochs at the end.
 * stop: read only by the kernel; non-zero asks it to stop. It is polled at
 *   least once per tree, per refinement iteration and per epoch (more often:
 *   per tree node, per block of rows, per substep, per 4096 edges of the
 *   serial layout). A stopped kernel joins its threads, frees its memory and
 *   returns MIRNAK_STOPPED; what its outputs hold then is documented with
 *   each kernel. A stop set before the call is seen before any work.
 * The kernel reads and writes both with relaxed atomic operations. progress
 * orders nothing: it is a count to show, not a sign that outputs are ready
 * (they are ready when the call returns). The caller may use relaxed atomic
 * operations or plain aligned 8-byte loads and stores, which are atomic on
 * the 64-bit targets this library builds for. */
typedef struct mirnak_control {
    int64_t progress;
    int64_t stop;
} mirnak_control;

/* The statuses of the kernels that return one: 0 on success, else one of
 * these (each kernel documents which it returns and what its outputs hold).
 * MIRNAK_INVALID: invalid arguments, nothing was done. The threaded layout
 *   returns it also after its serial optimiser did the work.
 * MIRNAK_OUT_OF_MEMORY: scratch memory could not be had.
 * MIRNAK_STOPPED: the kernel saw its control block's stop flag. */
#define MIRNAK_INVALID (-1)
#define MIRNAK_OUT_OF_MEMORY (-2)
#define MIRNAK_STOPPED (-3)

/* Approximate k nearest neighbours by squared Euclidean distance: a forest of
 * random-projection trees, merged, then refined by NN-descent.
 * X: n_cells x n_dims floats. knn_idx, knn_dist: n_cells x k each, written as
 * one max-heap per row (largest squared distance first, -1 / 1e30 for slots
 * never filled). Returns 0 on success, -1 for invalid arguments (k must be in
 * [1, n_cells)), -2 when memory runs out; outputs are untouched on failure.
 * n_threads <= 0 uses every online processor. The result depends on the seed
 * and on min(n_threads, n_trees) (the tree workers), also above the thread
 * cap, where the workers share the capped threads.
 *
 * Range: results are meaningful for finite X whose squared distances stay
 * below 1e30, the empty-slot value: a candidate at 1e30 or more is never
 * admitted, so data whose rows are all that far apart comes back with every
 * slot empty (status 0). Squared distances that underflow (data of scale
 * about 1e-19 or below, or denormal values) lose their order and give
 * arbitrary neighbours among the tied points. NaN and infinite values are
 * accepted but order nothing: an infinite distance is never admitted, a NaN
 * one may take a row's root. */
MIRNAK_API int mirnak_knn_descent_f32(int n_cells, int n_dims, int k, const float *X, int n_trees,
                                      int n_iters, int leaf_size, uint64_t seed, int32_t *knn_idx,
                                      float *knn_dist, int n_threads);

/* mirnak_knn_descent_f32 with a control block and the number of tree workers
 * given directly: the result depends on the seed and tree_workers (clamped
 * to [1, n_trees]; 0 or less means one per tree) but not on n_threads, which
 * only sets how many threads run the work (0 or less: every online
 * processor). It equals mirnak_knn_descent_f32 run with n_threads =
 * tree_workers, bit for bit. Returns 0, -1, -2 as that kernel does, or
 * MIRNAK_STOPPED: then knn_idx and knn_dist are either untouched (stopped
 * within the first batch of trees) or hold valid neighbour heaps of an
 * unfinished search (no self, no repeated id, heap order). */
MIRNAK_API int mirnak_knn_descent_f32_ctl(int n_cells, int n_dims, int k, const float *X,
                                          int n_trees, int n_iters, int leaf_size, uint64_t seed,
                                          int32_t *knn_idx, float *knn_dist, int tree_workers,
                                          int n_threads, mirnak_control *control);

/* The kNN search in other measures, beside the squared Euclidean kernels.
 *
 * mirnak_knn_run: how a search goes: k neighbours per point, in
 * [1, n_rows); n_trees random-projection trees (below 1: one); at most
 * n_iters refinement iterations (below 1: one); leaves of at most
 * max(leaf_size, k + 1) points; the seed; and the tree workers, which fix
 * the result with the seed (0 or less: one per tree; above n_trees:
 * n_trees), as in mirnak_knn_descent_f32_ctl. */
typedef struct mirnak_knn_run {
    int k;
    int n_trees;
    int n_iters;
    int leaf_size;
    uint64_t seed;
    int tree_workers;
} mirnak_knn_run;

/* Dense rows: n_rows rows of n_dims floats each, row-major. */
typedef struct mirnak_dense_rows {
    const float *X;
    int n_rows;
    int n_dims;
} mirnak_dense_rows;

/* Bit-packed rows: n_rows rows of n_words 64-bit words each; a row's bits
 * are the set bits of its words (the measures only count bits, so any fixed
 * packing serves, np.packbits' included, padded with zero bits). */
typedef struct mirnak_bit_rows {
    const uint64_t *words;
    int n_rows;
    int n_words;
} mirnak_bit_rows;

/* The measures, and the distance each reports for two rows a and b:
 *   on dense rows, with e_t = |a_t - b_t| the rounded difference:
 *     MIRNAK_MANHATTAN  the sum of e_t
 *     MIRNAK_CHEBYSHEV  the largest e_t (a NaN e_t is passed over)
 *     MIRNAK_MINKOWSKI  the sum of e_t^p: the distance to the power p
 *                       (p >= 1 and finite; an integral p by multiplication,
 *                       any other by powf)
 *   on bit rows, with |x| the number of set bits:
 *     MIRNAK_HAMMING    |a xor b|, the number of differing bits
 *     MIRNAK_JACCARD    (|a or b| - |a and b|) / |a or b| (0 when both are
 *                       empty): one minus the Tanimoto similarity
 *     MIRNAK_DICE       |a xor b| / (|a| + |b|) (0 when both are empty)
 * Sums and the lanes of the vector paths follow one fixed order, so every
 * path gives the same bits. */
#define MIRNAK_MANHATTAN 1
#define MIRNAK_CHEBYSHEV 2
#define MIRNAK_MINKOWSKI 3
#define MIRNAK_HAMMING 4
#define MIRNAK_JACCARD 5
#define MIRNAK_DICE 6

typedef struct mirnak_metric {
    int kind;
    float p; /* MIRNAK_MINKOWSKI only */
} mirnak_metric;

/* Approximate k nearest neighbours of dense rows in a metric of the dense
 * family (MIRNAK_MANHATTAN, MIRNAK_CHEBYSHEV, MIRNAK_MINKOWSKI): the forest of
 * mirnak_knn_descent_f32 (random hyperplanes: they only propose candidates),
 * merged and refined in the metric. knn_idx, knn_dist: n_rows x k each, one
 * max-heap per row by the metric's distance as listed above (-1 / 1e30 for
 * slots never filled). Returns 0; MIRNAK_INVALID for invalid arguments (a
 * null pointer, sizes, k not in [1, n_rows), a kind not of the family, p not
 * finite or below 1); MIRNAK_OUT_OF_MEMORY; or MIRNAK_STOPPED as
 * mirnak_knn_descent_f32_ctl does. Outputs are untouched on failure. The
 * result depends on the rows, the metric and the run, never on n_threads (0
 * or less: every online processor). Range: distances must stay below 1e30,
 * the empty-slot value (see mirnak_knn_descent_f32). */
MIRNAK_API int mirnak_knn_descent_metric_f32(const mirnak_dense_rows *rows,
                                             const mirnak_metric *metric, const mirnak_knn_run *run,
                                             int32_t *knn_idx, float *knn_dist, int n_threads,
                                             mirnak_control *control);

/* Approximate k nearest neighbours of bit rows in MIRNAK_HAMMING,
 * MIRNAK_JACCARD or MIRNAK_DICE, from popcounts of the words (never
 * unpacked). The forest splits as mirnak_knn_descent_f32 would split the
 * rows unpacked to 0/1: at the median of x . (b - a) for two random points a
 * and b of the node, counted as |x and b and not a| - |x and a and not b|.
 * Outputs, statuses and threads as mirnak_knn_descent_metric_f32. */
MIRNAK_API int mirnak_knn_descent_bits_u64(const mirnak_bit_rows *rows, const mirnak_metric *metric,
                                           const mirnak_knn_run *run, int32_t *knn_idx,
                                           float *knn_dist, int n_threads, mirnak_control *control);

/* Per-row bandwidth (sigmas) and local-connectivity offset (rhos) from the
 * n_samples x n_neighbors distance rows, read in the order given. Distances
 * must be finite: a NaN or infinite distance makes the weights of its row 1.0
 * in the steps below, and the weight of its own entry NaN. */
MIRNAK_API void mirnak_umap_smooth_knn_dist_f32(int n_samples, int n_neighbors,
                                                const float *distances, float k, int n_iter,
                                                float local_connectivity, float bandwidth,
                                                float *sigmas, float *rhos);

/* Directed membership strengths, one COO entry per kNN entry (same layout as
 * the kNN arrays). dists may be null when return_dists is zero. */
MIRNAK_API void mirnak_umap_membership_strengths_f32(int n_samples, int n_neighbors,
                                                     const int32_t *knn_indices,
                                                     const float *knn_dists, const float *sigmas,
                                                     const float *rhos, int return_dists,
                                                     int bipartite, int32_t *rows, int32_t *cols,
                                                     float *vals, float *dists);

/* Fuzzy-set union of the directed graph. The outputs hold 2 x n_samples x
 * n_neighbors entries: kNN entry off owns slots 2*off and 2*off + 1. */
MIRNAK_API void mirnak_umap_symmetrize_fuzzy_graph_f32(int n_samples, int n_neighbors,
                                                       const int32_t *rows, const int32_t *cols,
                                                       const float *vals, float set_op_mix_ratio,
                                                       int32_t *out_rows, int32_t *out_cols,
                                                       float *out_vals);

/* The three fuzzy-graph stages above in one call, their rows split between
 * threads: smooth kNN distances with k, n_iter, local_connectivity and
 * bandwidth, membership strengths (return_dists 0, bipartite 0), then the
 * fuzzy-set union with set_op_mix_ratio into the 2 x n_samples x n_neighbors
 * output slots. The outputs equal those of the three kernels run in a row,
 * bit for bit, for any n_threads (<= 0: every online processor). Returns 0 on
 * success, -1 for invalid arguments (n_samples or n_neighbors <= 0, a null
 * pointer, k not > 0, n_iter <= 0) and -2 when scratch memory runs out; on
 * -1 and -2 the outputs are untouched. */
MIRNAK_API int mirnak_umap_fuzzy_graph_f32_parallel(
    int n_samples, int n_neighbors, const int32_t *knn_indices, const float *knn_dists, float k,
    int n_iter, float local_connectivity, float bandwidth, float set_op_mix_ratio,
    int32_t *out_rows, int32_t *out_cols, float *out_vals, int n_threads);

/* The two halves of a layout problem, for layout entries that take them as
 * records; the kernels below take the same fields one by one, in this order,
 * after the embedding (n_samples x dim floats, moved in place).
 *
 * mirnak_layout_edges: what the edges are. Edge i < n_edges joins vertex
 * head[i], which is pulled and pushed, to vertex tail[i], which is only
 * pulled (ids in [0, n_samples)), and is due once every
 * epochs_per_sample[i] epochs (<= 0: never).
 *
 * mirnak_layout_run: how the run goes. n_epochs epochs; a and b shape the
 * low-dimensional similarity 1 / (1 + a * d^(2b)); gamma weighs the
 * repulsion; the learning rate starts at initial_alpha and decays linearly;
 * negative_sample_rate negative samples follow each positive one; seed
 * seeds every draw. */
typedef struct mirnak_layout_edges {
    const int32_t *head;
    const int32_t *tail;
    int64_t n_edges;
    const float *epochs_per_sample;
} mirnak_layout_edges;

typedef struct mirnak_layout_run {
    int n_epochs;
    float a;
    float b;
    float gamma;
    float initial_alpha;
    float negative_sample_rate;
    uint64_t seed;
} mirnak_layout_run;

/* Serial SGD layout, in place on an n_samples x dim embedding. Returns
 * without touching the embedding on invalid arguments (including vertex ids
 * outside [0, n_samples)) or when memory runs out. The negative samples an
 * edge owes in one epoch are capped at INT_MAX (2^31 - 1) draws. */
MIRNAK_API void mirnak_umap_optimize_layout_euclidean_f32(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b, float gamma,
    float initial_alpha, float negative_sample_rate, uint64_t seed);

/* Threaded SGD layout. Returns 0 when the threaded optimisation ran, -1
 * otherwise: for invalid arguments (embedding untouched) and also after the
 * serial optimiser did the work (one thread, no memory, no threads).
 * n_threads <= 0 uses every online processor; MIRNAK_UMAP_SUBSTEPS sets the
 * substeps per epoch. The result depends on the number of worker threads:
 * a request above the thread cap runs, and gives the result of, the capped
 * count. */
MIRNAK_API int mirnak_umap_optimize_layout_euclidean_f32_parallel(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b, float gamma,
    float initial_alpha, float negative_sample_rate, uint64_t seed, int n_threads);

/* k nearest training points of new rows by squared Euclidean distance, by a
 * best-first walk over a search graph of the training points.
 * X: n_train x n_dims floats; graph: n_train x width ids (-1 for none), row i
 * the points the walk may step to from point i; pivots: n_pivots ids, each
 * query is measured against all of them and starts from the n_entries
 * nearest. The search list keeps the beam nearest points found (beam is
 * raised to k; n_entries is clamped to [1, min(beam, n_pivots)]).
 * Q: n_queries x n_dims floats. knn_idx, knn_dist: n_queries x k each, row q
 * ascending by squared distance, ties by id; -1 / 1e30 when fewer than k
 * points were reached (never when n_pivots >= k). Returns 0 on success, -1
 * for invalid arguments (k must be in [1, n_train]; graph ids in
 * [-1, n_train); pivot ids in [0, n_train)), -2 when memory runs out; outputs
 * are untouched on failure. A row's answer depends only on that row, X, the
 * graph, the pivots, k, beam and n_entries: never on the other rows, their
 * order or n_threads (<= 0: every online processor). With every training
 * point a pivot and beam >= k, the answer is exact. NaN and infinite values
 * are accepted but order nothing. */
MIRNAK_API int mirnak_knn_query_f32(int n_train, int n_dims, const float *X, int width,
                                    const int32_t *graph, int n_pivots, const int32_t *pivots,
                                    int n_queries, const float *Q, int k, int beam, int n_entries,
                                    int32_t *knn_idx, float *knn_dist, int n_threads);

/* SGD layout of n_points new points (embedding: n_points x dim, moved in
 * place) against a frozen reference embedding (n_reference x dim, read
 * only). Point i has width edges: tail[i * width + j] a reference id (-1:
 * none), sampled once every epochs_per_sample[i * width + j] epochs (<= 0:
 * never). A due edge pulls the point towards its reference point and pushes
 * it from the negative samples it owes, drawn from the reference points;
 * gradients, clipping, learning-rate decay and schedule are those of the
 * fit's optimisers. Point i's random stream derives from seed and keys[i]
 * (a hash of its data row, say), so a point's result depends only on its own
 * start, edges and key: never on the other points or n_threads (<= 0: every
 * online processor). Returns 0, -1 for invalid arguments (tail ids must be in
 * [-1, n_reference)), -2 when memory runs out (embedding untouched). */
MIRNAK_API int mirnak_umap_optimize_new_points_f32(
    float *embedding, int n_points, int dim, const float *reference, int n_reference,
    const int32_t *tail, const float *epochs_per_sample, int width, const uint64_t *keys,
    int n_epochs, float a, float b, float gamma, float initial_alpha, float negative_sample_rate,
    uint64_t seed, int n_threads);

/* The serial layout with a control block. Returns 0 when it ran to the end,
 * -1 for invalid arguments and -2 when memory runs out (embedding untouched
 * for both), MIRNAK_STOPPED when stopped: the embedding then holds the
 * positions reached, part way through an epoch. */
MIRNAK_API int mirnak_umap_optimize_layout_euclidean_f32_ctl(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b, float gamma,
    float initial_alpha, float negative_sample_rate, uint64_t seed, mirnak_control *control);

/* The threaded layout with a control block: the statuses of
 * mirnak_umap_optimize_layout_euclidean_f32_parallel, or MIRNAK_STOPPED with
 * the embedding at the end of a substep (or, on the serial path, where the
 * serial optimiser stopped). */
MIRNAK_API int mirnak_umap_optimize_layout_euclidean_f32_parallel_ctl(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b, float gamma,
    float initial_alpha, float negative_sample_rate, uint64_t seed, int n_threads,
    mirnak_control *control);

/* A layout whose result does not depend on the number of threads. Every
 * substep's edges are cut into n_parts parts (at most one per edge); any
 * number of threads (n_threads, 0 or less: every online processor; never
 * more than parts) claim parts and then blocks of the reduction as they
 * come free, and each row's gradients are summed in part order. The result
 * equals, bit for bit,
 * mirnak_umap_optimize_layout_euclidean_f32_parallel run with n_parts
 * threads and MIRNAK_UMAP_SUBSTEPS = n_substeps (0: the default count;
 * the environment is not read) where the thread cap lets that kernel start
 * n_parts workers, and for n_parts = 1 the serial optimiser. The calling
 * thread works too; a thread that cannot be created only costs
 * speed. Returns 0 when the layout ran to the end; -1 for invalid arguments
 * (those of the serial optimiser, n_parts < 1, n_substeps < 0, or more than
 * 2^62 units of scheduled work) and -2 when memory runs out, both with the
 * embedding untouched; MIRNAK_STOPPED with the embedding at the end of a
 * substep. Memory: gradient buffers of n_samples x dim and 4,096 x dim
 * floats per thread;
 * per part, room for the rows its share of a substep touches (4 + 4 x dim
 * bytes for each of at most 2 x ceil(edges per substep / n_parts) rows, and
 * at most n_samples); and 28 bytes per edge (a copy of the edges in schedule
 * order, two schedule doubles). */
MIRNAK_API int mirnak_umap_optimize_layout_euclidean_f32_parts(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b, float gamma,
    float initial_alpha, float negative_sample_rate, uint64_t seed, int n_parts, int n_substeps,
    int n_threads, mirnak_control *control);

/* The parts layout with every unit of its work timed, for benchmarks that
 * project its speed onto machines with more processors: the bits and
 * statuses of mirnak_umap_optimize_layout_euclidean_f32_parts (or of the
 * _in_schedule_order form, as parts->in_schedule_order says), with the
 * settings of parts. No control block. The untimed kernels read no clock.
 *
 * The work is a sequence of tickets, n_parts + n_blocks per substep in
 * this order: the gradients of parts 0 ... n_parts - 1, then the reduction
 * of blocks of 4,096 rows; a substep's reduction starts when its last part
 * is done, the next substep's parts when its reduction is done. Ticket
 * u * (n_parts + n_blocks) + j is the j-th of substep u (epoch u / n_substeps),
 * and tickets[that number] is written when it has run: the thread that ran
 * it (0 is the calling thread), the wall-clock time from the start of the
 * run at which it started and ended, the time the thread spent claiming it
 * and waiting for its phase before it started, and the processor time the
 * thread used while running it. The trace's other fields are written before
 * the run: n_tickets (0 for one part, which is the serial optimiser), the
 * counts of parts, blocks, substeps and threads; prepare_ns (allocation, the
 * schedule, the edge copy) and run_ns (the threads' run, until every
 * thread is joined) after it. Returns -1, having run nothing, when capacity
 * is below n_tickets (so a first call with capacity 0 asks for the size). */
typedef struct mirnak_layout_parts {
    int n_parts;
    int n_substeps;
    int n_threads;
    int in_schedule_order;
} mirnak_layout_parts;

typedef struct mirnak_layout_ticket {
    int64_t start_ns;
    int64_t end_ns;
    int64_t wait_ns;
    int64_t cpu_ns;
    int32_t thread;
} mirnak_layout_ticket;

typedef struct mirnak_layout_trace {
    mirnak_layout_ticket *tickets;
    int64_t capacity;
    int64_t n_tickets;
    int32_t n_parts;
    int32_t n_blocks;
    int32_t n_substeps;
    int32_t n_threads;
    int64_t prepare_ns;
    int64_t run_ns;
} mirnak_layout_trace;

MIRNAK_API int mirnak_umap_layout_parts_traced(float *embedding, int n_samples, int dim,
                                               const mirnak_layout_edges *edges,
                                               const mirnak_layout_run *run,
                                               const mirnak_layout_parts *parts,
                                               mirnak_layout_trace *trace);

/* The substeps per epoch S of a parts layout of n_edges edges on n_samples
 * points asked for n_substeps: n_substeps capped at one per edge, or for 0
 * the default count. -1 for n_edges < 1, n_samples < 1 or n_substeps < 0. */
MIRNAK_API int mirnak_umap_layout_substeps(int64_t n_edges, int n_samples, int n_substeps);

/* mirnak_umap_optimize_layout_euclidean_f32_parts on edges the caller has
 * put in schedule order: with S as mirnak_umap_layout_substeps gives it,
 * q = n_edges / S and r = n_edges % S, position s * q + min(s, r) + k of
 * head, tail and epochs_per_sample holds edge s + k * S of the list the
 * parts layout would take (substep s's edges, one after the other). The
 * result and statuses are that call's, bit for bit; the kernel reads the
 * edges where they are instead of copying them, which saves 12 bytes per
 * edge. */
MIRNAK_API int mirnak_umap_optimize_layout_euclidean_f32_parts_in_schedule_order(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b, float gamma,
    float initial_alpha, float negative_sample_rate, uint64_t seed, int n_parts, int n_substeps,
    int n_threads, mirnak_control *control);

#ifdef __cplusplus
}
#endif

#endif /* VORNIK_KERNELS_H */
