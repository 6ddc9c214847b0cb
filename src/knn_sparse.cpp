// knn_sparse.cpp - the kNN search on sparse rows (CSR): the rows checked and
// copied where the search indexes memory with them, the per-row norms, the
// search's tables for each measure and merge path (knn_sparse.h), and the
// exact query of new rows.
#include "vornik_kernels.h"

#include <pthread.h>

#include <cstdint>

#include "kernel_support.h"
#include "knn_search.h"
#include "knn_sparse.h"
#include "scratch.h"

namespace {

using namespace vornik::knn;
using vornik::alloc_scratch;
using vornik::scratch;

// ---------------------------------------------------------------------------
// Tables of the hot loops, per measure and merge path
// ---------------------------------------------------------------------------

// The measures in the order of their kinds' slots (kind_slot).
#define VORNIK_DEFINE_SPARSE_OPS(PREFIX, MERGE, ATTR)                                              \
    using PREFIX##_sqeuclidean = sparse_space<sparse_sqeuclidean, MERGE>;                          \
    using PREFIX##_manhattan = sparse_space<sparse_manhattan, MERGE>;                              \
    using PREFIX##_jaccard = sparse_space<sparse_jaccard, MERGE>;                                  \
    VORNIK_DEFINE_SPACE_OPS(PREFIX##_sqeuclidean, PREFIX##_sqeuclidean, ATTR)                      \
    VORNIK_DEFINE_SPACE_OPS(PREFIX##_manhattan, PREFIX##_manhattan, ATTR)                          \
    VORNIK_DEFINE_SPACE_OPS(PREFIX##_jaccard, PREFIX##_jaccard, ATTR)                              \
    ATTR __attribute__((flatten)) void PREFIX##_query_sqeuclidean(const query_work *w) {           \
        query_rows<sparse_distance<sparse_sqeuclidean, MERGE>>(w);                                 \
    }                                                                                              \
    ATTR __attribute__((flatten)) void PREFIX##_query_manhattan(const query_work *w) {             \
        query_rows<sparse_distance<sparse_manhattan, MERGE>>(w);                                   \
    }                                                                                              \
    ATTR __attribute__((flatten)) void PREFIX##_query_jaccard(const query_work *w) {               \
        query_rows<sparse_distance<sparse_jaccard, MERGE>>(w);                                     \
    }                                                                                              \
    const space_ops *PREFIX##_family[3] = {&PREFIX##_sqeuclidean_ops, &PREFIX##_manhattan_ops,     \
                                           &PREFIX##_jaccard_ops};                                 \
    const query_fn PREFIX##_queries[3] = {PREFIX##_query_sqeuclidean, PREFIX##_query_manhattan,    \
                                          PREFIX##_query_jaccard};

// One thread's share of an exact query: queries [q0, q1).
struct query_work {
    const csr_rows *train, *queries;
    int q0, q1, k;
    int32_t *knn_idx;
    float *knn_dist;
    void (*rows)(const query_work *);
};
using query_fn = void (*)(const query_work *);

// Row q's answer, built in its own output row: the k nearest so far,
// ascending by (distance, id). Training rows come by ascending id, so a
// distance equal to one held goes after it, and a full row takes only a
// strictly smaller distance.
template <class D> void query_rows(const query_work *w) {
    const csr_rows &t = *w->train;
    const int k = w->k;
    for (int q = w->q0; q < w->q1; ++q) {
        const csr_rows::row x = w->queries->at(q);
        int32_t *ids = w->knn_idx + static_cast<int64_t>(q) * k;
        float *dist = w->knn_dist + static_cast<int64_t>(q) * k;
        int count = 0;
        for (int j = 0; j < t.n; ++j) {
            if (j + PREFETCH_AHEAD < t.n) t.prefetch(t.at(j + PREFETCH_AHEAD));
            const float d = D::between(x, t.at(j));
            if (count == k) {
                if (!(d < dist[k - 1])) continue;
                --count;
            }
            int pos = count++;
            for (; pos > 0 && d < dist[pos - 1]; --pos) {
                dist[pos] = dist[pos - 1];
                ids[pos] = ids[pos - 1];
            }
            dist[pos] = d;
            ids[pos] = j;
        }
    }
}

VORNIK_DEFINE_SPARSE_OPS(scalar, scalar_merge, )
#if defined(VORNIK_KNN_HAVE_AVX2_MERGE)
VORNIK_DEFINE_SPARSE_OPS(avx2, avx2_merge, VORNIK_TARGET_AVX2)
#endif

int kind_slot(int kind) {
    return kind == MIRNAK_SQEUCLIDEAN ? 0 : kind == MIRNAK_MANHATTAN ? 1 : 2;
}

query_fn query_rows_for(merge_path path, int kind) {
    const int at = kind_slot(kind);
#if defined(VORNIK_KNN_HAVE_AVX2_MERGE)
    if (path == MERGE_AVX2) return avx2_queries[at];
#endif
    (void)path;
    return scalar_queries[at];
}

// ---------------------------------------------------------------------------
// Rows as the search reads them
// ---------------------------------------------------------------------------

// The caller's offsets, each read once, into the kernel's row records: the search
// indexes the column and value arrays with them, and another thread may
// rewrite the caller's array during the call. The columns are only compared,
// never used as offsets, so they are read where they lie. False when the
// rows are not a CSR matrix of n x d with at most nnz entries, ascending
// columns without repeats within each row.
bool copy_rows(const mirnak_sparse_rows &r, bool values, csr_row_entry *entries, int *max_nnz) {
    if (r.n_rows <= 0 || r.n_cols <= 0 || r.nnz < 0 || !r.indptr) return false;
    int64_t prev = __atomic_load_n(&r.indptr[0], __ATOMIC_RELAXED);
    if (prev != 0) return false;
    entries[0] = csr_row_entry{0, 0.0};
    int longest = 0;
    for (int i = 0; i < r.n_rows; ++i) {
        const int64_t next = __atomic_load_n(&r.indptr[i + 1], __ATOMIC_RELAXED);
        if (next < prev || next > r.nnz) return false;
        // Ascending columns below n_cols bound a row's length by n_cols.
        if (next - prev > r.n_cols) return false;
        entries[i + 1] = csr_row_entry{next, 0.0};
        const int len = static_cast<int>(next - prev);
        longest = len > longest ? len : longest;
        prev = next;
    }
    if (prev > 0 && (!r.indices || (values && !r.data))) return false;
    for (int i = 0; i < r.n_rows; ++i) {
        int32_t last = -1;
        for (int64_t j = entries[i].start; j < entries[i + 1].start; ++j) {
            const int32_t c = r.indices[j];
            if (c <= last || c >= r.n_cols) return false;
            last = c;
        }
    }
    *max_nnz = longest;
    return true;
}

template <class M> double fill_norms(const csr_rows &rows, csr_row_entry *entries) {
    double most = 0.0;
    for (int i = 0; i < rows.n; ++i) {
        entries[i].norm = sparse_norm<M>(rows.at(i));
        most = entries[i].norm > most ? entries[i].norm : most;
    }
    return most;
}

// A CSR matrix as the kernel reads it: the row records of its own, checked.
struct checked_rows {
    scratch<csr_row_entry> entries;
    csr_rows rows{};
    int status = MIRNAK_INVALID;

    checked_rows(const mirnak_sparse_rows &r, int kind) {
        if (r.n_rows <= 0) return;
        entries = alloc_scratch<csr_row_entry>(static_cast<uint64_t>(r.n_rows) + 1);
        if (!entries) {
            status = MIRNAK_OUT_OF_MEMORY;
            return;
        }
        const bool values = kind != MIRNAK_JACCARD;
        int max_nnz = 0;
        if (!copy_rows(r, values, entries.get(), &max_nnz)) return;
        rows = csr_rows{entries.get(), r.indices, values ? r.data : nullptr, r.n_rows, r.n_cols,
                        max_nnz};
        if (!rows.all_finite()) return;
        // Distances stay below the empty-slot value 1e30: a squared distance
        // is at most 2 (|a|^2 + |b|^2), a Manhattan one |a|_1 + |b|_1.
        double bound = 0.0;
        if (kind == MIRNAK_SQEUCLIDEAN)
            bound = 4.0 * fill_norms<sparse_sqeuclidean>(rows, entries.get());
        if (kind == MIRNAK_MANHATTAN)
            bound = 2.0 * fill_norms<sparse_manhattan>(rows, entries.get());
        if (!(bound < 1e30)) return;
        status = 0;
    }
};

} // namespace

// ---------------------------------------------------------------------------
// Entries
// ---------------------------------------------------------------------------

bool vornik::knn::merge_path_available(merge_path p) {
    switch (p) {
    case MERGE_SCALAR:
        return true;
#if defined(VORNIK_KNN_HAVE_AVX2_MERGE)
    case MERGE_AVX2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
#endif
    default:
        return false;
    }
}

vornik::knn::merge_path vornik::knn::best_merge_path() {
    return merge_path_available(MERGE_AVX2) ? MERGE_AVX2 : MERGE_SCALAR;
}

bool vornik::knn::sparse_metric_valid(const mirnak_metric &m) {
    return m.kind == MIRNAK_SQEUCLIDEAN || m.kind == MIRNAK_MANHATTAN || m.kind == MIRNAK_JACCARD;
}

const vornik::knn::space_ops *vornik::knn::sparse_ops(merge_path path, int kind) {
    const int at = kind_slot(kind);
#if defined(VORNIK_KNN_HAVE_AVX2_MERGE)
    if (path == MERGE_AVX2) return avx2_family[at];
#endif
    (void)path;
    return scalar_family[at];
}

int vornik::knn::sparse_search(merge_path path, const mirnak_sparse_rows *rows,
                               const mirnak_metric *metric, const mirnak_knn_run *run,
                               int32_t *knn_idx, float *knn_dist, int n_threads,
                               mirnak_control *control) {
    if (!rows || !metric || !run || !knn_idx || !knn_dist || !sparse_metric_valid(*metric))
        return MIRNAK_INVALID;
    const checked_rows c(*rows, metric->kind);
    if (c.status) return c.status;
    const search_space sp = {c.rows.n, &c.rows, sparse_ops(path, metric->kind)};
    return search(sp, problem_of(*run, knn_idx, knn_dist), schedule_of(*run, n_threads, control));
}

namespace {
void *query_worker(void *arg) {
    const query_work *w = static_cast<const query_work *>(arg);
    w->rows(w);
    return nullptr;
}
} // namespace

int vornik::knn::sparse_query(merge_path path, const mirnak_sparse_rows *train,
                              const mirnak_sparse_rows *queries, const mirnak_metric *metric,
                              int k, int32_t *knn_idx, float *knn_dist, int n_threads) {
    if (!train || !queries || !metric || !knn_idx || !knn_dist || !sparse_metric_valid(*metric))
        return MIRNAK_INVALID;
    if (train->n_cols != queries->n_cols || k < 1 || k > train->n_rows) return MIRNAK_INVALID;
    const checked_rows t(*train, metric->kind);
    if (t.status) return t.status;
    const checked_rows q(*queries, metric->kind);
    if (q.status) return q.status;
    const int threads = vornik::worker_count(n_threads, queries->n_rows);
    scratch<query_work> work = alloc_scratch<query_work>(static_cast<uint64_t>(threads));
    scratch<pthread_t> handles = alloc_scratch<pthread_t>(static_cast<uint64_t>(threads));
    if (!work || !handles) return MIRNAK_OUT_OF_MEMORY;
    int q0 = 0;
    for (int i = 0; i < threads; ++i) {
        const int q1 = q0 + vornik::block_size(queries->n_rows, threads, i);
        work.get()[i] = query_work{&t.rows, &q.rows, q0, q1, k, knn_idx, knn_dist,
                                   query_rows_for(path, metric->kind)};
        q0 = q1;
    }
    vornik::fan_out(
        threads, [&](int i) { return &work.get()[i]; }, query_worker, handles.get(),
        vornik::caller_role::runs_last);
    return 0;
}

extern "C" int mirnak_knn_descent_sparse_f32(const mirnak_sparse_rows *rows,
                                             const mirnak_metric *metric,
                                             const mirnak_knn_run *run, int32_t *knn_idx,
                                             float *knn_dist, int n_threads,
                                             mirnak_control *control) {
    return sparse_search(best_merge_path(), rows, metric, run, knn_idx, knn_dist, n_threads,
                         control);
}

extern "C" int mirnak_knn_query_sparse_f32(const mirnak_sparse_rows *train,
                                           const mirnak_sparse_rows *queries,
                                           const mirnak_metric *metric, int k, int32_t *knn_idx,
                                           float *knn_dist, int n_threads) {
    return sparse_query(best_merge_path(), train, queries, metric, k, knn_idx, knn_dist,
                        n_threads);
}
