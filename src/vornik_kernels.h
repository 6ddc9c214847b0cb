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
 *   back to the data:  mirnak_umap_inverse_points_f32
 *
 * The long kernels also come with a control block (mirnak_control, below):
 * mirnak_knn_descent_f32_ctl, mirnak_umap_optimize_layout_euclidean_f32_ctl,
 * mirnak_umap_optimize_layout_euclidean_f32_parallel_ctl,
 * mirnak_umap_optimize_layout_euclidean_f32_parts, whose result does not
 * depend on the number of threads (mirnak_umap_layout_parts_traced times
 * its work, for benchmarks); mirnak_umap_optimize_layout_density_f32,
 * which adds a density term to it; and, with their settings as records,
 * mirnak_knn_query_f32_ctl and mirnak_umap_optimize_new_points_f32_ctl.
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

/* Sparse rows: a CSR matrix of n_rows x n_cols. Row i holds the entries
 * indptr[i] ... indptr[i + 1] - 1 of indices (their columns) and data (their
 * values): indptr has n_rows + 1 offsets, from 0, never decreasing, the last
 * at most nnz, the entries indices and data hold; within a row the columns
 * strictly ascend in [0, n_cols) (sorted, no repeats). data may be null for
 * a measure of the pattern alone. */
typedef struct mirnak_sparse_rows {
    const int64_t *indptr;
    const int32_t *indices;
    const float *data;
    int64_t nnz;
    int n_rows;
    int n_cols;
} mirnak_sparse_rows;

/* The measures of sparse rows: MIRNAK_SQEUCLIDEAN (the squared Euclidean
 * distance), MIRNAK_MANHATTAN, and MIRNAK_JACCARD of the non-zero patterns
 * (data unread). Every distance is a merge of the two rows' column lists:
 * the terms of the shared columns summed in ascending column order in
 * double, with each row's norm (its sum of squares or of absolute values,
 * in the same order), rounded once to float:
 *   MIRNAK_SQEUCLIDEAN  max(0, (|a|^2 + |b|^2) - 2 sum a_t b_t)
 *   MIRNAK_MANHATTAN    max(0, (|a|_1 + |b|_1) + sum (|a_t - b_t| - |a_t| - |b_t|))
 *   MIRNAK_JACCARD      (u - s) / u for s shared columns of u in either row
 *                       (0 when both are empty)
 * The same bits on every CPU and path. */
#define MIRNAK_SQEUCLIDEAN 7

/* Approximate k nearest neighbours of sparse rows in MIRNAK_SQEUCLIDEAN,
 * MIRNAK_MANHATTAN or MIRNAK_JACCARD (metric->p unread). The forest splits
 * a node at the median of x . (b - a) for two random points a and b of the
 * node, a merge like the distances; nothing is ever made dense. Outputs,
 * statuses and threads as mirnak_knn_descent_metric_f32; MIRNAK_INVALID also
 * when the rows are no CSR matrix as mirnak_sparse_rows states, when a value
 * is not finite, or when a row's norm lets distances reach 1e30. */
MIRNAK_API int mirnak_knn_descent_sparse_f32(const mirnak_sparse_rows *rows,
                                             const mirnak_metric *metric,
                                             const mirnak_knn_run *run, int32_t *knn_idx,
                                             float *knn_dist, int n_threads,
                                             mirnak_control *control);

/* The exact k nearest training rows of each query row, both sparse with the
 * same n_cols, in a measure of mirnak_knn_descent_sparse_f32: every training
 * row is measured. knn_idx, knn_dist: queries->n_rows x k each, row q
 * ascending by distance, ties by id; k in [1, train->n_rows]. A row's answer
 * depends only on that row and the training rows, never on n_threads (0 or
 * less: every online processor). Returns 0, MIRNAK_INVALID (as
 * mirnak_knn_descent_sparse_f32, for either matrix) or MIRNAK_OUT_OF_MEMORY;
 * outputs are untouched on failure. */
MIRNAK_API int mirnak_knn_query_sparse_f32(const mirnak_sparse_rows *train,
                                           const mirnak_sparse_rows *queries,
                                           const mirnak_metric *metric, int k, int32_t *knn_idx,
                                           float *knn_dist, int n_threads);

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
 * outside [0, n_samples)) or when memory runs out.
 *
 * Every layout (this one, the threaded ones, the new points) caps the
 * negative samples an edge draws in one epoch at max(1024, 2 x
 * negative_sample_rate + 2), and at INT_MAX: an edge due at most once per
 * epoch (epochs_per_sample >= 1) owes fewer, so only shorter periods, which
 * would owe rate / epochs_per_sample draws per epoch, are cut there. */
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

/* A search forest over n_train training points: n_trees trees whose nodes
 * split at the median of a split drawn at two random points of the node, by
 * rank (the left child takes floor(m / 2) of m points), down to leaves of at
 * most leaf_size points. A tree's shape follows from n_train and leaf_size:
 * node p (the root is 0) has the children 2p + 1 and 2p + 2, and
 * mirnak_knn_forest_nodes gives the split slots per tree. order: n_trees x
 * n_train point ids, each tree's points leaf after leaf; splits: n_trees x
 * slots x 2, the two points a node's split was drawn at (-1, -1 in slots that
 * hold no split); thresholds: n_trees x slots, the value a row's split value
 * is compared with (below: left). For dense rows by squared Euclidean
 * distance the split value of row r is the dot product of r and X[b] - X[a],
 * both in single precision with the kNN search's summation order. n_trees 0:
 * no forest (the pointers are not read). */
typedef struct mirnak_search_forest {
    int n_trees;
    int leaf_size;
    const int32_t *order;
    const int32_t *splits;
    const float *thresholds;
} mirnak_search_forest;

/* How a search forest is built: n_trees trees (at least 1) with leaves of at
 * most leaf_size points (at least 1), every draw seeded by seed. */
typedef struct mirnak_forest_settings {
    int n_trees;
    int leaf_size;
    uint64_t seed;
} mirnak_forest_settings;

/* Split slots per tree of a search forest over n_train points with leaves of
 * at most leaf_size: 2^D - 1 for the D levels of splits (0 when n_train <=
 * leaf_size), or -1 for n_train < 1 or leaf_size < 1. */
MIRNAK_API int64_t mirnak_knn_forest_nodes(int n_train, int leaf_size);

/* Builds a search forest over the rows of train (dense, squared Euclidean
 * distance) into order, splits and thresholds (sizes as
 * mirnak_search_forest gives them; splits and thresholds may be null when
 * there are no slots). Tree t draws from a stream of its own seeded by
 * settings->seed and t, so the forest's bits depend on the rows and the
 * settings only, never on n_threads (0 or less: every online processor;
 * threads take whole trees). progress counts the trees built; the stop is
 * polled before every node. Returns 0, -1 for invalid arguments, -2 when
 * memory runs out (outputs untouched), or MIRNAK_STOPPED: the forest is then
 * unfinished and must not be used. */
MIRNAK_API int mirnak_knn_search_forest_f32(const mirnak_dense_rows *train,
                                            const mirnak_forest_settings *settings, int32_t *order,
                                            int32_t *splits, float *thresholds, int n_threads,
                                            mirnak_control *control);

/* The training side of a neighbour query, whatever its rows: a search graph
 * of width ids per training point (-1 for none), row i the points a walk may
 * step to from point i; n_pivots pivot ids, each query measured against all
 * of them; and a search forest (n_trees 0: none). A query's walk starts from
 * the members of the leaf its row descends to in every tree, then from the
 * n_entries nearest of those and the pivots. */
typedef struct mirnak_search_index {
    const int32_t *graph;
    int width;
    const int32_t *pivots;
    int n_pivots;
    mirnak_search_forest forest;
} mirnak_search_index;

/* How hard a query searches: its k nearest training points are asked for,
 * the search list keeps the beam nearest found (beam is raised to k), and the
 * walk starts from the n_entries nearest pivots (clamped to
 * [1, min(beam, n_pivots)]). */
typedef struct mirnak_query_settings {
    int k;
    int beam;
    int n_entries;
} mirnak_query_settings;

/* mirnak_knn_query_f32 with its arguments as records, a search forest and a
 * control block: without a forest the same answers, bit for bit, for the
 * training rows train, the index and the query rows queries (n_dims as
 * train's). A row's answer depends only on that row, the training rows, the
 * index and the settings. progress counts the query rows answered, n_rows of
 * queries at the end; the stop is polled before every row. Returns 0, -1, -2
 * as mirnak_knn_query_f32 does (-1 also for a null record, query rows of
 * another width, or forest ids outside [0, n_train), a split -1 on one side
 * only), or MIRNAK_STOPPED: then every row of knn_idx and knn_dist holds
 * either its answer or what it held before. */
MIRNAK_API int mirnak_knn_query_f32_ctl(const mirnak_dense_rows *train,
                                        const mirnak_search_index *index,
                                        const mirnak_dense_rows *queries,
                                        const mirnak_query_settings *settings, int32_t *knn_idx,
                                        float *knn_dist, int n_threads, mirnak_control *control);

/* The search forest of bit rows (mirnak_knn_search_forest_f32's trees, for
 * every binary measure): the split value of row r at a node drawn at points a
 * and b is |r and b and not a| - |r and a and not b|, the hyperplane split of
 * the rows unpacked to 0/1. Returns as mirnak_knn_search_forest_f32 does. */
MIRNAK_API int mirnak_knn_search_forest_bits_u64(const mirnak_bit_rows *train,
                                                 const mirnak_forest_settings *settings,
                                                 int32_t *order, int32_t *splits, float *thresholds,
                                                 int n_threads, mirnak_control *control);

/* mirnak_knn_query_f32_ctl in the other measures: dense rows in a measure of
 * the dense family (MIRNAK_MANHATTAN, MIRNAK_CHEBYSHEV, MIRNAK_MINKOWSKI),
 * with a forest of mirnak_knn_search_forest_f32; bit rows (n_words as
 * train's) in a binary measure (MIRNAK_HAMMING, MIRNAK_JACCARD, MIRNAK_DICE),
 * with a forest of mirnak_knn_search_forest_bits_u64. Distances are the
 * measure's as mirnak_knn_descent_metric_f32 and mirnak_knn_descent_bits_u64
 * report them; the graph and pivots are best built from a search in the same
 * measure. Returns as mirnak_knn_query_f32_ctl does (-1 also for a measure of
 * the other family or invalid settings of it). */
MIRNAK_API int mirnak_knn_query_metric_f32(const mirnak_dense_rows *train,
                                           const mirnak_search_index *index,
                                           const mirnak_dense_rows *queries,
                                           const mirnak_metric *metric,
                                           const mirnak_query_settings *settings, int32_t *knn_idx,
                                           float *knn_dist, int n_threads, mirnak_control *control);
MIRNAK_API int mirnak_knn_query_bits_u64(const mirnak_bit_rows *train,
                                         const mirnak_search_index *index,
                                         const mirnak_bit_rows *queries,
                                         const mirnak_metric *metric,
                                         const mirnak_query_settings *settings, int32_t *knn_idx,
                                         float *knn_dist, int n_threads, mirnak_control *control);

/* The edges of new points to a frozen reference embedding: point i has width
 * edges, tail[i * width + j] a reference id (-1: none) sampled once every
 * epochs_per_sample[i * width + j] epochs (<= 0: never), and keys[i] seeds its
 * random stream (a hash of its data row, say). */
typedef struct mirnak_new_point_edges {
    const int32_t *tail;
    const float *epochs_per_sample;
    int width;
    const uint64_t *keys;
} mirnak_new_point_edges;

/* mirnak_umap_optimize_new_points_f32 with its edges and its run as records
 * and a control block: the same bits. progress counts the points placed,
 * n_points at the end; the stop is polled before every epoch of every point.
 * Returns 0, -1, -2 as that kernel does (-1 also for a null record), or
 * MIRNAK_STOPPED: then every point holds its start, its final position, or,
 * for the points being placed when the stop came (at most one per thread), a
 * position part way. */
MIRNAK_API int mirnak_umap_optimize_new_points_f32_ctl(float *embedding, int n_points, int dim,
                                                       const float *reference, int n_reference,
                                                       const mirnak_new_point_edges *edges,
                                                       const mirnak_layout_run *run, int n_threads,
                                                       mirnak_control *control);

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

/* How a parts layout runs: n_parts gradient parts per substep (the result
 * depends on them), n_substeps substeps per epoch (0: the default count), on
 * n_threads threads (0 or less: every online processor; the result does not
 * depend on them); with in_schedule_order non-zero the edges come in the
 * schedule order of mirnak_umap_optimize_layout_euclidean_f32_parts_in_
 * schedule_order. */
typedef struct mirnak_parts_plan {
    int n_parts;
    int n_substeps;
    int n_threads;
    int in_schedule_order;
} mirnak_parts_plan;

/* A density term for a layout: over its last n_epochs epochs (at most the
 * run's; 0: never) the layout also ascends strength * M * C, where C is the
 * Pearson correlation, over the vertices with edges, between the log of each
 * vertex's local radius in the embedding and the log of data_radius[v], its
 * local radius in the data (n_samples values, each positive and finite), with
 * variance_shift (>= 0) added to the variance of the embedding's log radii;
 * M is the sum of the edge weights. A vertex's local radius in the embedding
 * is the root of the mean squared distance to the tails of its edges, each
 * edge weighing 1 / epochs_per_sample (edges with epochs_per_sample <= 0 or
 * infinite weigh nothing), taken at the start of every epoch of the term. */
typedef struct mirnak_density_term {
    const float *data_radius;
    float strength;
    int n_epochs;
    float variance_shift;
} mirnak_density_term;

/* The parts layout (mirnak_umap_optimize_layout_euclidean_f32_parts with
 * plan's parts, substeps and threads) plus the density term: at the start of
 * each of the term's epochs every vertex's radius is measured, and each due
 * edge i -> j then also moves both ends along y_i - y_j by the term's
 * gradient of its head's radius, clipped, into its part's gradient buffer
 * before the edge's other gradients. The result depends on the problem, the
 * term, n_parts and n_substeps, never on n_threads; for n_parts >= 2 with a
 * strength of 0 or no epochs of the term (data_radius may then be null) it is
 * the parts layout's, bit for bit. A thread that cannot be created only
 * costs speed. Returns 0 when the layout ran to the end; -1 for invalid
 * arguments (those of the parts layout, null records, a strength or shift
 * negative or not finite, a radius not positive and finite, n_epochs < 0) and
 * -2 when memory runs out, both with the embedding untouched; MIRNAK_STOPPED
 * with the embedding at the end of a substep. Memory: that of the parts
 * layout, 8 bytes per edge and 52 per vertex. */
MIRNAK_API int mirnak_umap_optimize_layout_density_f32(float *embedding, int n_samples, int dim,
                                                       const mirnak_layout_edges *edges,
                                                       const mirnak_layout_run *run,
                                                       const mirnak_density_term *density,
                                                       const mirnak_parts_plan *plan,
                                                       mirnak_control *control);

/* The fitted points an inverse transform reads: row i of data (n_dims
 * floats) was embedded at row i of embedding (dim floats), for i <
 * n_fitted. */
typedef struct mirnak_fitted_points {
    const float *data;
    const float *embedding;
    int n_fitted;
    int n_dims;
    int dim;
} mirnak_fitted_points;

/* The membership curve 1 / (1 + a * d^(2b)) by which a point of the
 * embedding weighs a fitted point at distance d (a, b > 0 and finite). */
typedef struct mirnak_inverse_run {
    float a;
    float b;
} mirnak_inverse_run;

/* Points of the data space for n_points points of the embedding (points:
 * n_points x dim floats). Row q of neighbours lists k fitted ids (-1: none);
 * each weighs w_j = 1 / (1 + a * powf(|y_q - embedding_j|^2, b)), the
 * squared distance summed in coordinate order in float, and row q of out
 * (n_points x n_dims floats) is sum_j w_j data_j / sum_j w_j, every sum in
 * double in list order, rounded once. When every listed neighbour weighs 0
 * (the point lies beyond float's reach of them) they weigh alike; a row
 * with no listed neighbour is NaN. weights, unless null, receives n_points x
 * k floats: w_j / sum_j w_j (0 for an empty slot). A row's result depends
 * only on that row, its list and the fitted points: never on the other rows
 * or n_threads (<= 0: every online processor). Returns 0; -1 for invalid
 * arguments (null pointers, sizes not positive, ids outside [-1, n_fitted),
 * a or b not positive and finite) and -2 when memory runs out, both with
 * the outputs untouched; MIRNAK_STOPPED when the control block's stop was
 * seen: then some rows are written and the others untouched. progress
 * counts rows done. */
MIRNAK_API int mirnak_umap_inverse_points_f32(const mirnak_fitted_points *fitted, int n_points,
                                              const float *points, const int32_t *neighbours,
                                              int k, const mirnak_inverse_run *run, float *out,
                                              float *weights, int n_threads,
                                              mirnak_control *control);

#ifdef __cplusplus
}
#endif

#endif /* VORNIK_KERNELS_H */
