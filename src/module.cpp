// module.cpp - the Python layer of _native_vornik.
//
// Every method follows one road: parse the positional arguments, check the
// size arguments, acquire one buffer view per array argument in argument
// order, release the interpreter lock around the kernel call, release the
// views in reverse order and return the kernel's status. Bad arguments raise
// ValueError before any kernel runs; kernel statuses are returned as ints and
// never turned into exceptions. The module keeps no state and prints nothing.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "scratch.h"
#include "umap_layout.h"
#include "umap_layout_density.h"
#include "vornik_kernels.h"

namespace {

// ---------------------------------------------------------------------------
// Buffer views
// ---------------------------------------------------------------------------

const Py_ssize_t ITEMSIZE = 4;

// Fills view with a C-contiguous buffer of obj holding at least min_items
// elements of itemsize bytes. Returns 0 with the view held, or -1 with an
// exception set and the view not held.
inline int get_buffer(PyObject *obj, Py_buffer *view, int writable, Py_ssize_t itemsize,
                      Py_ssize_t min_items, const char *name) {
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    if (writable) flags |= PyBUF_WRITABLE;
    if (PyObject_GetBuffer(obj, view, flags) != 0) return -1;
    // len / itemsize rather than min_items * itemsize: the product of two
    // counts near INT_MAX times the item size would overflow.
    if (view->itemsize != itemsize || view->len / itemsize < min_items || view->buf == nullptr) {
        PyErr_Format(PyExc_ValueError,
                     "%s must be a C-contiguous buffer with itemsize %zd and at least %zd items",
                     name, itemsize, min_items);
        PyBuffer_Release(view);
        return -1;
    }
    return 0;
}

// One argument's view, released when the wrapper's frame ends. Views are
// declared in argument order, so they are released in reverse order, always
// with the interpreter lock held.
class buffer_view {
  public:
    buffer_view() : view_(), held_(false) {}
    buffer_view(const buffer_view &) = delete;
    buffer_view &operator=(const buffer_view &) = delete;
    ~buffer_view() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool acquire(PyObject *obj, bool writable, Py_ssize_t min_items, const char *name,
                 Py_ssize_t itemsize = ITEMSIZE) {
        held_ = get_buffer(obj, &view_, writable, itemsize, min_items, name) == 0;
        itemsize_ = itemsize;
        return held_;
    }
    bool held() const { return held_; }
    Py_ssize_t items() const { return view_.len / itemsize_; }
    Py_ssize_t itemsize() const { return itemsize_; }
    template <class T> T *as() const { return held_ ? static_cast<T *>(view_.buf) : nullptr; }

  private:
    Py_buffer view_;
    bool held_;
    Py_ssize_t itemsize_ = ITEMSIZE;
};

// The bytes a kernel touches through one view: its first items elements.
struct used_bytes {
    const char *name;
    uintptr_t lo, hi; // [lo, hi)
};

inline used_bytes used(const char *name, const buffer_view &v, Py_ssize_t items) {
    const uintptr_t lo = reinterpret_cast<uintptr_t>(v.as<const char>());
    return used_bytes{name, lo, lo + static_cast<uintptr_t>(items) * v.itemsize()};
}

// ---------------------------------------------------------------------------
// Control blocks
// ---------------------------------------------------------------------------

// A control block is a writable buffer of two 8-byte items (progress, stop),
// such as a 2-item int64 array, or None for no block. The kernel writes the
// progress while the caller's other threads may read it and set the stop.
const Py_ssize_t CONTROL_ITEMSIZE = 8;
const Py_ssize_t CONTROL_ITEMS = 2;

inline bool acquire_control(buffer_view &view, PyObject *obj) {
    return obj == Py_None || view.acquire(obj, true, CONTROL_ITEMS, "control", CONTROL_ITEMSIZE);
}

// The bytes the kernel uses of the control view: none without a block.
inline used_bytes used_control(const buffer_view &view) {
    return used("control", view, view.held() ? CONTROL_ITEMS : 0);
}

inline mirnak_control *control_of(const buffer_view &view) {
    return view.as<mirnak_control>();
}

inline bool overlap(const used_bytes &a, const used_bytes &b) {
    return a.lo < b.hi && b.lo < a.hi; // an empty range overlaps nothing
}

// A kernel writes its outputs while it reads its inputs, so no output may
// share a byte with an input or with another output (inputs may share).
// Returns false with a ValueError that names the first such pair: the output
// and the input, or two outputs in argument order.
bool outputs_apart(const used_bytes *inputs, int n_inputs, const used_bytes *outputs,
                   int n_outputs) {
    for (int o = 0; o < n_outputs; ++o) {
        const char *first = nullptr, *second = nullptr;
        for (int i = 0; i < n_inputs && !first; ++i)
            if (overlap(outputs[o], inputs[i])) first = outputs[o].name, second = inputs[i].name;
        for (int e = 0; e < o && !first; ++e)
            if (overlap(outputs[o], outputs[e])) first = outputs[e].name, second = outputs[o].name;
        if (first) {
            PyErr_Format(PyExc_ValueError, "%s and %s must not overlap", first, second);
            return false;
        }
    }
    return true;
}

// Element counts are formed from the int arguments in 64 bits, so no product
// of positive ints overflows.
inline Py_ssize_t count_of(int a, int b) {
    return static_cast<Py_ssize_t>(a) * static_cast<Py_ssize_t>(b);
}

// Double to float with round to nearest; values beyond the float range become
// infinities by a defined path rather than an out-of-range conversion.
inline float narrow_to_float(double v) {
    const double overflow_threshold = 0x1.ffffffp127; // halfway between FLT_MAX and 2^128
    if (v >= overflow_threshold) return INFINITY;
    if (v <= -overflow_threshold) return -INFINITY;
    return static_cast<float>(v);
}

// ---------------------------------------------------------------------------
// knn_descent_f32
// ---------------------------------------------------------------------------

const char knn_descent_f32_doc[] =
    "Fill kNN indices and squared distances with the vendored Vornik kNN kernel.";

// Squared distances at or above the heap's empty-slot value (1e30) are never
// admitted, so data whose rows can be that far apart would come back with
// every slot empty.
const double KNN_SQUARED_DISTANCE_LIMIT = 1e30;

// How a measure grows with the columns' extents: the squared Euclidean
// distance sums their squares, Manhattan sums them, Chebyshev takes the
// largest, Minkowski sums their p-th powers.
struct extent_measure {
    int kind; // 0 for the squared Euclidean distance, else a MIRNAK_ kind
    double p;
    double add(double sum, double extent) const {
        if (kind == MIRNAK_MANHATTAN) return sum + extent;
        if (kind == MIRNAK_CHEBYSHEV) return extent > sum ? extent : sum;
        if (kind == MIRNAK_MINKOWSKI) return sum + std::pow(extent, p);
        return sum + extent * extent;
    }
};

// The measure of the diagonal of the bounding box of the n rows of x, over
// their finite values, in double: no two rows are further apart. Columns are
// taken a block at a time, so that every row is read once and contiguously.
double box_diagonal(const float *x, int n, int d, extent_measure m = {0, 2.0}) {
    const int BLOCK = 64;
    double sum = 0.0;
    for (int t0 = 0; t0 < d; t0 += BLOCK) {
        const int width = d - t0 < BLOCK ? d - t0 : BLOCK;
        float lo[BLOCK], hi[BLOCK];
        for (int c = 0; c < width; ++c) lo[c] = INFINITY, hi[c] = -INFINITY;
        for (int i = 0; i < n; ++i) {
            const float *row = x + static_cast<int64_t>(i) * d + t0;
            for (int c = 0; c < width; ++c) {
                const float v = row[c];
                if (!std::isfinite(v)) continue;
                lo[c] = v < lo[c] ? v : lo[c];
                hi[c] = v > hi[c] ? v : hi[c];
            }
        }
        for (int c = 0; c < width; ++c) {
            if (!(lo[c] <= hi[c])) continue; // no finite value in this column
            sum = m.add(sum, static_cast<double>(hi[c]) - static_cast<double>(lo[c]));
        }
    }
    return sum;
}

// The arguments both kNN methods share, checked, with their views held
// (released in reverse order when the record goes).
struct knn_call {
    buffer_view x, idx, dist, control;
    int n = 0, d = 0, k = 0;

    // Sizes, views and overlaps, in that order; false with an exception set.
    // control_obj is null for the method without a control block; x holds
    // n x d items of x_itemsize bytes.
    bool prepare(PyObject *x_obj, PyObject *idx_obj, PyObject *dist_obj, PyObject *control_obj,
                 int n_, int d_, int k_, Py_ssize_t x_itemsize = ITEMSIZE) {
        n = n_, d = d_, k = k_;
        if (n <= 0 || d <= 0 || k <= 0) {
            PyErr_SetString(PyExc_ValueError, "n, d, and k must be positive");
            return false;
        }
        if (!x.acquire(x_obj, false, count_of(n, d), "x", x_itemsize)) return false;
        if (!idx.acquire(idx_obj, true, count_of(n, k), "idx")) return false;
        if (!dist.acquire(dist_obj, true, count_of(n, k), "dist")) return false;
        if (control_obj && !acquire_control(control, control_obj)) return false;
        const used_bytes inputs[] = {used("x", x, count_of(n, d))};
        const used_bytes outputs[] = {used("idx", idx, count_of(n, k)),
                                      used("dist", dist, count_of(n, k)), used_control(control)};
        return outputs_apart(inputs, 1, outputs, 3);
    }

    // Calls kernel() with the interpreter lock released once x (float rows)
    // is known to be in the kernel's range for measure m; its status as an
    // int, or null with a ValueError.
    template <class Kernel> PyObject *run(Kernel kernel, extent_measure m = {0, 2.0}) {
        int rc = 0;
        bool in_range;
        Py_BEGIN_ALLOW_THREADS;
        in_range = box_diagonal(x.as<const float>(), n, d, m) < KNN_SQUARED_DISTANCE_LIMIT;
        if (in_range) rc = kernel();
        Py_END_ALLOW_THREADS;
        if (!in_range) {
            PyErr_SetString(PyExc_ValueError,
                            m.kind ? "distances between rows of x can reach 1e30, beyond the "
                                     "kernel's range; scale x down"
                                   : "squared distances between rows of x can reach 1e30, beyond "
                                     "the kernel's range; scale x down");
            return nullptr;
        }
        return PyLong_FromLong(rc);
    }

    // Calls kernel() with the interpreter lock released (bit rows, whose
    // distances are counts); its status as an int.
    template <class Kernel> PyObject *run_unchecked(Kernel kernel) {
        int rc;
        Py_BEGIN_ALLOW_THREADS;
        rc = kernel();
        Py_END_ALLOW_THREADS;
        return PyLong_FromLong(rc);
    }
};

PyObject *py_knn_descent_f32(PyObject *, PyObject *args) {
    PyObject *x_obj, *idx_obj, *dist_obj;
    int n, d, k, n_trees, n_iters, leaf_size, n_threads;
    unsigned long long seed;
    if (!PyArg_ParseTuple(args, "OOOiiiiiKii", &x_obj, &idx_obj, &dist_obj, &n, &d, &k, &n_trees,
                          &n_iters, &seed, &leaf_size, &n_threads))
        return nullptr;
    knn_call call;
    if (!call.prepare(x_obj, idx_obj, dist_obj, nullptr, n, d, k)) return nullptr;
    return call.run([&] {
        return mirnak_knn_descent_f32(n, d, k, call.x.as<const float>(), n_trees, n_iters,
                                      leaf_size, static_cast<uint64_t>(seed),
                                      call.idx.as<int32_t>(), call.dist.as<float>(), n_threads);
    });
}

const char knn_descent_f32_ctl_doc[] =
    "knn_descent_f32 with the number of tree workers given (0: one per tree), so that the "
    "result does not depend on n_threads, and a control block (progress, stop) or None.";

PyObject *py_knn_descent_f32_ctl(PyObject *, PyObject *args) {
    PyObject *x_obj, *idx_obj, *dist_obj, *control_obj;
    int n, d, k, n_trees, n_iters, leaf_size, tree_workers, n_threads;
    unsigned long long seed;
    if (!PyArg_ParseTuple(args, "OOOiiiiiKiiiO", &x_obj, &idx_obj, &dist_obj, &n, &d, &k, &n_trees,
                          &n_iters, &seed, &leaf_size, &tree_workers, &n_threads, &control_obj))
        return nullptr;
    knn_call call;
    if (!call.prepare(x_obj, idx_obj, dist_obj, control_obj, n, d, k)) return nullptr;
    return call.run([&] {
        return mirnak_knn_descent_f32_ctl(n, d, k, call.x.as<const float>(), n_trees, n_iters,
                                          leaf_size, static_cast<uint64_t>(seed),
                                          call.idx.as<int32_t>(), call.dist.as<float>(),
                                          tree_workers, n_threads, control_of(call.control));
    });
}

// ---------------------------------------------------------------------------
// knn_descent_metric_f32, knn_descent_bits_u64
// ---------------------------------------------------------------------------

// A metric's name as the kernels' kind; 0 with a ValueError when it is not
// among the names given (the family a method takes).
int metric_kind(const char *name, bool bits) {
    static const struct {
        const char *name;
        int kind;
    } names[] = {{"manhattan", MIRNAK_MANHATTAN}, {"chebyshev", MIRNAK_CHEBYSHEV},
                 {"minkowski", MIRNAK_MINKOWSKI}, {"hamming", MIRNAK_HAMMING},
                 {"jaccard", MIRNAK_JACCARD},     {"dice", MIRNAK_DICE}};
    for (const auto &n : names)
        if (std::strcmp(name, n.name) == 0 && (n.kind >= MIRNAK_HAMMING) == bits) return n.kind;
    PyErr_Format(PyExc_ValueError, "metric must be one of %s, got '%s'",
                 bits ? "'hamming', 'jaccard', 'dice'" : "'manhattan', 'chebyshev', 'minkowski'",
                 name);
    return 0;
}

// The arguments the two methods start with, in the order of
// knn_descent_f32_ctl: the rows, the outputs, their sizes, how the search
// goes, the threads and the control block.
#define VORNIK_KNN_RUN_CODES "OOOiiiiiKiiiO"

struct knn_run_args {
    PyObject *x, *idx, *dist;
    int n, d; // d: floats or words per row
    mirnak_knn_run run;
    int n_threads;
    PyObject *control;
};

// Parses the common arguments, then the method's own, whose codes end
// format (VORNIK_KNN_RUN_CODES followed by them). False with an exception.
template <class... Own>
bool parse_knn_run_args(PyObject *args, const char *format, knn_run_args *r, Own *...own) {
    unsigned long long seed;
    mirnak_knn_run &run = r->run;
    if (!PyArg_ParseTuple(args, format, &r->x, &r->idx, &r->dist, &r->n, &r->d, &run.k,
                          &run.n_trees, &run.n_iters, &seed, &run.leaf_size, &run.tree_workers,
                          &r->n_threads, &r->control, own...))
        return false;
    run.seed = static_cast<uint64_t>(seed);
    return true;
}

const char knn_descent_metric_f32_doc[] =
    "knn_descent_f32_ctl in metric 'manhattan', 'chebyshev' or 'minkowski' (with p): distances "
    "in the metric's units, for Minkowski its p-th power.";

PyObject *py_knn_descent_metric_f32(PyObject *, PyObject *args) {
    knn_run_args r;
    const char *name;
    double p;
    if (!parse_knn_run_args(args, VORNIK_KNN_RUN_CODES "sd", &r, &name, &p)) return nullptr;
    const int kind = metric_kind(name, false);
    if (!kind) return nullptr;
    const mirnak_metric metric = {kind, narrow_to_float(p)};
    if (kind == MIRNAK_MINKOWSKI && !(std::isfinite(metric.p) && metric.p >= 1.0f)) {
        PyErr_SetString(PyExc_ValueError, "p must be finite and at least 1");
        return nullptr;
    }
    knn_call call;
    if (!call.prepare(r.x, r.idx, r.dist, r.control, r.n, r.d, r.run.k)) return nullptr;
    const mirnak_dense_rows rows = {call.x.as<const float>(), r.n, r.d};
    return call.run(
        [&] {
            return mirnak_knn_descent_metric_f32(&rows, &metric, &r.run, call.idx.as<int32_t>(),
                                                 call.dist.as<float>(), r.n_threads,
                                                 control_of(call.control));
        },
        extent_measure{kind, static_cast<double>(metric.p)});
}

const char knn_descent_bits_u64_doc[] =
    "knn_descent_f32_ctl on bit-packed rows (n x n_words uint64 words) in metric 'hamming' "
    "(distances: differing bits), 'jaccard' or 'dice'.";

PyObject *py_knn_descent_bits_u64(PyObject *, PyObject *args) {
    knn_run_args r;
    const char *name;
    if (!parse_knn_run_args(args, VORNIK_KNN_RUN_CODES "s", &r, &name)) return nullptr;
    const int kind = metric_kind(name, true);
    if (!kind) return nullptr;
    const mirnak_metric metric = {kind, 0.0f};
    knn_call call;
    if (!call.prepare(r.x, r.idx, r.dist, r.control, r.n, r.d, r.run.k, 8)) return nullptr;
    const mirnak_bit_rows rows = {call.x.as<const uint64_t>(), r.n, r.d};
    return call.run_unchecked([&] {
        return mirnak_knn_descent_bits_u64(&rows, &metric, &r.run, call.idx.as<int32_t>(),
                                           call.dist.as<float>(), r.n_threads,
                                           control_of(call.control));
    });
}

// ---------------------------------------------------------------------------
// knn_descent_sparse_f32, knn_query_sparse_f32
// ---------------------------------------------------------------------------

// A sparse metric's name as the kernels' kind; 0 with a ValueError otherwise.
int sparse_metric_kind(const char *name) {
    if (std::strcmp(name, "sqeuclidean") == 0) return MIRNAK_SQEUCLIDEAN;
    if (std::strcmp(name, "manhattan") == 0) return MIRNAK_MANHATTAN;
    if (std::strcmp(name, "jaccard") == 0) return MIRNAK_JACCARD;
    PyErr_Format(PyExc_ValueError,
                 "metric must be one of 'sqeuclidean', 'manhattan', 'jaccard', got '%s'", name);
    return 0;
}

// The three arrays of a CSR matrix of n rows (int64 offsets, int32 columns,
// float32 values) with their views held; the kernel checks what they hold.
struct csr_view {
    buffer_view indptr, indices, data;
    mirnak_sparse_rows rows{};

    bool acquire(PyObject *indptr_obj, PyObject *indices_obj, PyObject *data_obj, int n,
                 int n_cols, const char *name) {
        if (n <= 0 || n_cols <= 0) {
            PyErr_Format(PyExc_ValueError, "%s: n and n_cols must be positive", name);
            return false;
        }
        if (!indptr.acquire(indptr_obj, false, static_cast<Py_ssize_t>(n) + 1, "indptr", 8) ||
            !indices.acquire(indices_obj, false, 0, "indices", 4) ||
            !data.acquire(data_obj, false, 0, "data", ITEMSIZE))
            return false;
        const Py_ssize_t nnz = indices.items() < data.items() ? indices.items() : data.items();
        rows = mirnak_sparse_rows{indptr.as<const int64_t>(), indices.as<const int32_t>(),
                                  data.as<const float>(), nnz, n, n_cols};
        return true;
    }
    void add_inputs(used_bytes *out) const {
        out[0] = used("indptr", indptr, static_cast<Py_ssize_t>(rows.n_rows) + 1);
        out[1] = used("indices", indices, rows.nnz);
        out[2] = used("data", data, rows.nnz);
    }
};

const char knn_descent_sparse_f32_doc[] =
    "knn_descent_f32_ctl on a CSR matrix (indptr int64, indices int32 ascending within rows, "
    "data float32; n rows of n_cols) in metric 'sqeuclidean', 'manhattan' or 'jaccard' (of the "
    "non-zero pattern).";

PyObject *py_knn_descent_sparse_f32(PyObject *, PyObject *args) {
    PyObject *indptr_obj, *indices_obj, *data_obj, *idx_obj, *dist_obj, *control_obj;
    int n, n_cols, n_threads;
    unsigned long long seed;
    mirnak_knn_run run{};
    const char *name;
    if (!PyArg_ParseTuple(args, "OOOOOiiiiiKiiiOs", &indptr_obj, &indices_obj, &data_obj,
                          &idx_obj, &dist_obj, &n, &n_cols, &run.k, &run.n_trees, &run.n_iters,
                          &seed, &run.leaf_size, &run.tree_workers, &n_threads, &control_obj,
                          &name))
        return nullptr;
    run.seed = static_cast<uint64_t>(seed);
    const int kind = sparse_metric_kind(name);
    if (!kind) return nullptr;
    const mirnak_metric metric = {kind, 0.0f};
    csr_view x;
    buffer_view idx, dist, control;
    if (!x.acquire(indptr_obj, indices_obj, data_obj, n, n_cols, "x")) return nullptr;
    if (run.k <= 0) {
        PyErr_SetString(PyExc_ValueError, "k must be positive");
        return nullptr;
    }
    if (!idx.acquire(idx_obj, true, count_of(n, run.k), "idx") ||
        !dist.acquire(dist_obj, true, count_of(n, run.k), "dist") ||
        !acquire_control(control, control_obj))
        return nullptr;
    used_bytes inputs[3];
    x.add_inputs(inputs);
    const used_bytes outputs[] = {used("idx", idx, count_of(n, run.k)),
                                  used("dist", dist, count_of(n, run.k)), used_control(control)};
    if (!outputs_apart(inputs, 3, outputs, 3)) return nullptr;
    int rc;
    Py_BEGIN_ALLOW_THREADS;
    rc = mirnak_knn_descent_sparse_f32(&x.rows, &metric, &run, idx.as<int32_t>(),
                                       dist.as<float>(), n_threads, control_of(control));
    Py_END_ALLOW_THREADS;
    return PyLong_FromLong(rc);
}

const char knn_query_sparse_f32_doc[] =
    "Exact k nearest training rows of each query row, both CSR matrices as in "
    "knn_descent_sparse_f32, rows ascending by distance, ties by id.";

PyObject *py_knn_query_sparse_f32(PyObject *, PyObject *args) {
    PyObject *t_indptr, *t_indices, *t_data, *q_indptr, *q_indices, *q_data, *idx_obj, *dist_obj;
    int n_train, n_queries, n_cols, k, n_threads;
    const char *name;
    if (!PyArg_ParseTuple(args, "OOOiOOOiiOOisi", &t_indptr, &t_indices, &t_data, &n_train,
                          &q_indptr, &q_indices, &q_data, &n_queries, &n_cols, &idx_obj,
                          &dist_obj, &k, &name, &n_threads))
        return nullptr;
    const int kind = sparse_metric_kind(name);
    if (!kind) return nullptr;
    const mirnak_metric metric = {kind, 0.0f};
    csr_view train, queries;
    buffer_view idx, dist;
    if (!train.acquire(t_indptr, t_indices, t_data, n_train, n_cols, "train") ||
        !queries.acquire(q_indptr, q_indices, q_data, n_queries, n_cols, "queries"))
        return nullptr;
    if (k <= 0) {
        PyErr_SetString(PyExc_ValueError, "k must be positive");
        return nullptr;
    }
    if (!idx.acquire(idx_obj, true, count_of(n_queries, k), "idx") ||
        !dist.acquire(dist_obj, true, count_of(n_queries, k), "dist"))
        return nullptr;
    used_bytes inputs[6];
    train.add_inputs(inputs);
    queries.add_inputs(inputs + 3);
    const used_bytes outputs[] = {used("idx", idx, count_of(n_queries, k)),
                                  used("dist", dist, count_of(n_queries, k))};
    if (!outputs_apart(inputs, 6, outputs, 2)) return nullptr;
    int rc;
    Py_BEGIN_ALLOW_THREADS;
    rc = mirnak_knn_query_sparse_f32(&train.rows, &queries.rows, &metric, k, idx.as<int32_t>(),
                                     dist.as<float>(), n_threads);
    Py_END_ALLOW_THREADS;
    return PyLong_FromLong(rc);
}

// ---------------------------------------------------------------------------
// umap_graph_f32
// ---------------------------------------------------------------------------

const char umap_graph_f32_doc[] =
    "Build symmetrized UMAP fuzzy graph COO buffers from dense kNN arrays.";

// Fixed settings of the fuzzy-graph kernels.
const int SIGMA_BISECTION_STEPS = 64;
const float LOCAL_CONNECTIVITY = 1.0f;
const float BANDWIDTH = 1.0f;
const float SET_OP_MIX_RATIO = 1.0f;

// Per-call scratch of the three fuzzy-graph stages.
struct graph_scratch {
    vornik::scratch<float> sigmas, rhos;
    vornik::scratch<int32_t> rows, cols;
    vornik::scratch<float> vals, tmp_dists;

    bool allocate(int n_samples, Py_ssize_t flat) {
        sigmas = vornik::alloc_scratch<float>(n_samples);
        rhos = vornik::alloc_scratch<float>(n_samples);
        rows = vornik::alloc_scratch<int32_t>(flat);
        cols = vornik::alloc_scratch<int32_t>(flat);
        vals = vornik::alloc_scratch<float>(flat);
        tmp_dists = vornik::alloc_scratch<float>(flat);
        return sigmas && rhos && rows && cols && vals && tmp_dists;
    }
    void release() {
        sigmas.reset();
        rhos.reset();
        rows.reset();
        cols.reset();
        vals.reset();
        tmp_dists.reset();
    }
    ~graph_scratch() { release(); }
};

// The arguments both fuzzy-graph methods share: the sizes and the five
// views, declared in argument order so that they are released in reverse.
struct graph_args {
    PyObject *objs[5]; // idx, dist, out_rows, out_cols, out_vals
    int n_samples, n_neighbors;
    Py_ssize_t flat;
    buffer_view idx, dist, out_rows, out_cols, out_vals;

    // Checks the sizes, acquires the views and refuses overlapping outputs.
    // Returns false with an exception set.
    bool hold() {
        if (n_samples <= 0 || n_neighbors <= 0) {
            PyErr_SetString(PyExc_ValueError, "n_samples and n_neighbors must be positive");
            return false;
        }
        flat = count_of(n_samples, n_neighbors);
        if (!idx.acquire(objs[0], false, flat, "idx")) return false;
        if (!dist.acquire(objs[1], false, flat, "dist")) return false;
        if (!out_rows.acquire(objs[2], true, 2 * flat, "out_rows")) return false;
        if (!out_cols.acquire(objs[3], true, 2 * flat, "out_cols")) return false;
        if (!out_vals.acquire(objs[4], true, 2 * flat, "out_vals")) return false;
        const used_bytes inputs[] = {used("idx", idx, flat), used("dist", dist, flat)};
        const used_bytes outputs[] = {used("out_rows", out_rows, 2 * flat),
                                      used("out_cols", out_cols, 2 * flat),
                                      used("out_vals", out_vals, 2 * flat)};
        return outputs_apart(inputs, 2, outputs, 3);
    }
};

PyObject *py_umap_graph_f32(PyObject *, PyObject *args) {
    graph_args g;
    if (!PyArg_ParseTuple(args, "OOOOOii", &g.objs[0], &g.objs[1], &g.objs[2], &g.objs[3],
                          &g.objs[4], &g.n_samples, &g.n_neighbors))
        return nullptr;
    if (!g.hold()) return nullptr;
    const int n_samples = g.n_samples, n_neighbors = g.n_neighbors;

    graph_scratch s;
    if (!s.allocate(n_samples, g.flat)) {
        s.release();
        return PyErr_NoMemory();
    }

    Py_BEGIN_ALLOW_THREADS;
    mirnak_umap_smooth_knn_dist_f32(n_samples, n_neighbors, g.dist.as<const float>(),
                                    static_cast<float>(n_neighbors), SIGMA_BISECTION_STEPS,
                                    LOCAL_CONNECTIVITY, BANDWIDTH, s.sigmas.get(), s.rhos.get());
    mirnak_umap_membership_strengths_f32(
        n_samples, n_neighbors, g.idx.as<const int32_t>(), g.dist.as<const float>(), s.sigmas.get(),
        s.rhos.get(), 0, 0, s.rows.get(), s.cols.get(), s.vals.get(), s.tmp_dists.get());
    mirnak_umap_symmetrize_fuzzy_graph_f32(n_samples, n_neighbors, s.rows.get(), s.cols.get(),
                                           s.vals.get(), SET_OP_MIX_RATIO, g.out_rows.as<int32_t>(),
                                           g.out_cols.as<int32_t>(), g.out_vals.as<float>());
    Py_END_ALLOW_THREADS;

    s.release();
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// umap_graph_f32_parallel
// ---------------------------------------------------------------------------

const char umap_graph_f32_parallel_doc[] =
    "umap_graph_f32 with its rows split between n_threads threads; the same bits.";

PyObject *py_umap_graph_f32_parallel(PyObject *, PyObject *args) {
    graph_args g;
    int n_threads;
    if (!PyArg_ParseTuple(args, "OOOOOiii", &g.objs[0], &g.objs[1], &g.objs[2], &g.objs[3],
                          &g.objs[4], &g.n_samples, &g.n_neighbors, &n_threads))
        return nullptr;
    if (!g.hold()) return nullptr;
    const int n_samples = g.n_samples, n_neighbors = g.n_neighbors;

    int rc;
    Py_BEGIN_ALLOW_THREADS;
    rc = mirnak_umap_fuzzy_graph_f32_parallel(
        n_samples, n_neighbors, g.idx.as<const int32_t>(), g.dist.as<const float>(),
        static_cast<float>(n_neighbors), SIGMA_BISECTION_STEPS, LOCAL_CONNECTIVITY, BANDWIDTH,
        SET_OP_MIX_RATIO, g.out_rows.as<int32_t>(), g.out_cols.as<int32_t>(),
        g.out_vals.as<float>(), n_threads);
    Py_END_ALLOW_THREADS;
    if (rc == MIRNAK_OUT_OF_MEMORY) return PyErr_NoMemory(); // outputs untouched
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// umap_layout_euclidean_f32
// ---------------------------------------------------------------------------

const char umap_layout_euclidean_f32_doc[] =
    "Optimize a UMAP layout in-place with the vendored pthread kernel.";

// How a layout run goes, as the methods take it: the floats as doubles,
// narrowed as the kernels take them.
struct run_args {
    int n_epochs;
    double a, b, gamma, initial_alpha, negative_sample_rate;
    unsigned long long seed;

    mirnak_layout_run narrowed() const {
        return {n_epochs,
                narrow_to_float(a),
                narrow_to_float(b),
                narrow_to_float(gamma),
                narrow_to_float(initial_alpha),
                narrow_to_float(negative_sample_rate),
                static_cast<uint64_t>(seed)};
    }
};

// The codes of a run's arguments, and of the arguments every layout method
// of the fit starts with: embedding, head, tail, epochs_per_sample,
// n_samples, dim and the run.
#define VORNIK_RUN_CODES "idddddK"
#define VORNIK_LAYOUT_CODES "OOOOii" VORNIK_RUN_CODES

struct layout_args {
    PyObject *embedding, *head, *tail, *epochs_per_sample;
    int n_samples, dim;
    run_args run;
};

// Parses a layout method's arguments: the common ones, then the method's
// own, whose codes end format (VORNIK_LAYOUT_CODES followed by them) and
// whose addresses are own. False with an exception set.
template <class... Own>
bool parse_layout_args(PyObject *args, const char *format, layout_args *la, Own *...own) {
    run_args &r = la->run;
    return PyArg_ParseTuple(args, format, &la->embedding, &la->head, &la->tail,
                            &la->epochs_per_sample, &la->n_samples, &la->dim, &r.n_epochs, &r.a,
                            &r.b, &r.gamma, &r.initial_alpha, &r.negative_sample_rate, &r.seed,
                            own...) != 0;
}

// The arguments all layout methods share, checked, with their views held
// (released in reverse order when the record goes).
struct layout_call {
    buffer_view embedding, head, tail, epochs_per_sample, control;
    vornik::layout::layout_problem problem;

    // Sizes, views, lengths, overlaps and vertex ids, in that order; false
    // with an exception set. control_obj is null for methods without a
    // control block.
    bool prepare(const layout_args &la, PyObject *control_obj) {
        const int n_samples = la.n_samples, dim = la.dim;
        if (n_samples <= 0 || dim <= 0 || la.run.n_epochs <= 0) {
            PyErr_SetString(PyExc_ValueError, "n_samples, dim, and n_epochs must be positive");
            return false;
        }
        if (!embedding.acquire(la.embedding, true, count_of(n_samples, dim), "embedding"))
            return false;
        if (!head.acquire(la.head, false, 0, "head")) return false;
        if (!tail.acquire(la.tail, false, 0, "tail")) return false;
        if (!epochs_per_sample.acquire(la.epochs_per_sample, false, 0, "epochs_per_sample"))
            return false;
        if (control_obj && !acquire_control(control, control_obj)) return false;

        const Py_ssize_t n_edges = head.items();
        if (tail.items() != n_edges || epochs_per_sample.items() != n_edges) {
            PyErr_SetString(PyExc_ValueError,
                            "head, tail, and epochs_per_sample lengths must match");
            return false;
        }
        const used_bytes inputs[] = {used("head", head, n_edges), used("tail", tail, n_edges),
                                     used("epochs_per_sample", epochs_per_sample, n_edges)};
        const used_bytes outputs[] = {used("embedding", embedding, count_of(n_samples, dim)),
                                      used_control(control)};
        if (!outputs_apart(inputs, 3, outputs, 2)) return false;
        const mirnak_layout_edges edges = {head.as<const int32_t>(), tail.as<const int32_t>(),
                                           static_cast<int64_t>(n_edges),
                                           epochs_per_sample.as<const float>()};
        // The optimiser indexes the embedding by these ids; the kernel would
        // refuse them too, but only with a status that also means "ran
        // serially".
        if (!vornik::layout::vertex_ids_valid(edges, n_samples)) {
            PyErr_SetString(PyExc_ValueError, "head and tail ids must be in [0, n_samples)");
            return false;
        }
        problem = {embedding.as<float>(), n_samples, dim, edges, la.run.narrowed()};
        return true;
    }

    // Calls kernel() with the interpreter lock released; its status as an int.
    // The ids were checked above, so the optimisers behind the exported
    // kernels run without scanning them again.
    template <class Kernel> PyObject *run(Kernel kernel) {
        int rc;
        Py_BEGIN_ALLOW_THREADS;
        rc = kernel();
        Py_END_ALLOW_THREADS;
        return PyLong_FromLong(rc);
    }
};

PyObject *py_umap_layout_euclidean_f32(PyObject *, PyObject *args) {
    layout_args la;
    int n_threads;
    if (!parse_layout_args(args, VORNIK_LAYOUT_CODES "i", &la, &n_threads)) return nullptr;
    layout_call call;
    if (!call.prepare(la, nullptr)) return nullptr;
    return call.run([&] { return vornik::layout::optimize_parallel(call.problem, n_threads); });
}

const char umap_layout_euclidean_f32_ctl_doc[] =
    "umap_layout_euclidean_f32 with a control block (progress, stop) or None.";

PyObject *py_umap_layout_euclidean_f32_ctl(PyObject *, PyObject *args) {
    layout_args la;
    int n_threads;
    PyObject *control_obj;
    if (!parse_layout_args(args, VORNIK_LAYOUT_CODES "iO", &la, &n_threads, &control_obj))
        return nullptr;
    layout_call call;
    if (!call.prepare(la, control_obj)) return nullptr;
    return call.run([&] {
        return vornik::layout::optimize_parallel(call.problem, n_threads, control_of(call.control));
    });
}

const char umap_layout_euclidean_f32_parts_doc[] =
    "Optimize a UMAP layout in-place on n_parts gradient buffers, with a result that does not "
    "depend on n_threads; takes a control block (progress, stop) or None.";

const char umap_layout_euclidean_f32_parts_in_schedule_order_doc[] =
    "umap_layout_euclidean_f32_parts on edges given in schedule order (see umap_layout_substeps), "
    "read where they are instead of copied.";

PyObject *parts_layout(PyObject *args, bool in_schedule_order) {
    layout_args la;
    vornik::layout::parts_plan plan;
    PyObject *control_obj;
    if (!parse_layout_args(args, VORNIK_LAYOUT_CODES "iiiO", &la, &plan.n_parts, &plan.n_substeps,
                           &plan.n_threads, &control_obj))
        return nullptr;
    if (plan.n_parts <= 0 || plan.n_substeps < 0) {
        PyErr_SetString(PyExc_ValueError,
                        "n_parts must be positive and n_substeps must not be negative");
        return nullptr;
    }
    plan.in_schedule_order = in_schedule_order;
    layout_call call;
    if (!call.prepare(la, control_obj)) return nullptr;
    return call.run([&] {
        return vornik::layout::optimize_parts(call.problem, plan, control_of(call.control));
    });
}

PyObject *py_umap_layout_euclidean_f32_parts(PyObject *, PyObject *args) {
    return parts_layout(args, false);
}

PyObject *py_umap_layout_euclidean_f32_parts_in_schedule_order(PyObject *, PyObject *args) {
    return parts_layout(args, true);
}

const char umap_layout_density_f32_doc[] =
    "umap_layout_euclidean_f32_parts with a density term over its last density_epochs epochs, "
    "tying each vertex's local radius in the embedding to data_radius; takes a control block "
    "(progress, stop) or None.";

PyObject *py_umap_layout_density_f32(PyObject *, PyObject *args) {
    layout_args la;
    PyObject *radius_obj, *control_obj;
    double strength, variance_shift;
    int density_epochs, in_schedule_order;
    vornik::layout::parts_plan plan;
    if (!parse_layout_args(args, VORNIK_LAYOUT_CODES "OdidiiipO", &la, &radius_obj, &strength,
                           &density_epochs, &variance_shift, &plan.n_parts, &plan.n_substeps,
                           &plan.n_threads, &in_schedule_order, &control_obj))
        return nullptr;
    if (plan.n_parts <= 0 || plan.n_substeps < 0) {
        PyErr_SetString(PyExc_ValueError,
                        "n_parts must be positive and n_substeps must not be negative");
        return nullptr;
    }
    plan.in_schedule_order = in_schedule_order != 0;
    layout_call call;
    if (!call.prepare(la, control_obj)) return nullptr;
    buffer_view radius;
    if (radius_obj != Py_None && !radius.acquire(radius_obj, false, la.n_samples, "data_radius"))
        return nullptr;
    const used_bytes inputs[] = {used("data_radius", radius, radius.held() ? la.n_samples : 0)};
    const used_bytes outputs[] = {
        used("embedding", call.embedding, count_of(la.n_samples, la.dim)),
        used_control(call.control)};
    if (!outputs_apart(inputs, 1, outputs, 2)) return nullptr;
    const mirnak_density_term term = {radius.as<const float>(), narrow_to_float(strength),
                                      density_epochs, narrow_to_float(variance_shift)};
    return call.run([&] {
        return vornik::layout::optimize_density(call.problem, term, plan,
                                                control_of(call.control));
    });
}

const char umap_layout_substeps_doc[] =
    "The substeps per epoch of a parts layout of n_edges edges on n_samples points asked for "
    "n_substeps (0: the default count).";

PyObject *py_umap_layout_substeps(PyObject *, PyObject *args) {
    long long n_edges;
    int n_samples, n_substeps;
    if (!PyArg_ParseTuple(args, "Lii", &n_edges, &n_samples, &n_substeps)) return nullptr;
    if (n_edges < 1 || n_samples < 1 || n_substeps < 0) {
        PyErr_SetString(PyExc_ValueError, "n_edges and n_samples must be positive and "
                                          "n_substeps must not be negative");
        return nullptr;
    }
    return PyLong_FromLong(vornik::layout::parts_substeps(n_edges, n_samples, n_substeps));
}

// ---------------------------------------------------------------------------
// knn_query_f32
// ---------------------------------------------------------------------------

const char knn_query_f32_doc[] =
    "Fill the k nearest training rows of new rows by a walk over a fitted search graph.";

// Whether every one of count ids lies in [lo, n).
bool ids_within(const int32_t *ids, Py_ssize_t count, int lo, int n) {
    for (Py_ssize_t j = 0; j < count; ++j)
        if (ids[j] < lo || ids[j] >= n) return false;
    return true;
}

// Whether each of count pairs is two ids in [0, n) or the empty pair (-1, -1).
bool split_pairs_within(const int32_t *pairs, Py_ssize_t count, int n) {
    for (Py_ssize_t s = 0; s < count; ++s) {
        const int32_t a = pairs[2 * s], b = pairs[2 * s + 1];
        if (!(a == -1 && b == -1) && !(a >= 0 && a < n && b >= 0 && b < n)) return false;
    }
    return true;
}

// A forest's three arrays as a method takes them, checked against n points:
// sizes, views, ids. The caller checks overlaps.
struct forest_views {
    buffer_view order, splits, thresholds;
    Py_ssize_t order_items = 0, slot_items = 0;

    // False with an exception set. writable: the arrays are the outputs of
    // the forest's build.
    bool acquire(PyObject *const objs[3], int n, int n_trees, int leaf_size, bool writable) {
        if (n_trees < 0 || leaf_size < 1) {
            PyErr_SetString(PyExc_ValueError,
                            "n_trees must not be negative and leaf_size must be positive");
            return false;
        }
        order_items = count_of(n, n_trees);
        slot_items = static_cast<Py_ssize_t>(mirnak_knn_forest_nodes(n, leaf_size)) * n_trees;
        if (!order.acquire(objs[0], writable, order_items, "tree_order")) return false;
        if (!splits.acquire(objs[1], writable, 2 * slot_items, "tree_splits")) return false;
        if (!thresholds.acquire(objs[2], writable, slot_items, "tree_thresholds")) return false;
        if (writable) return true;
        // The descent indexes the training rows by these ids; the kernel would
        // refuse them too, but only with its status.
        if (!ids_within(order.as<const int32_t>(), order_items, 0, n)) {
            PyErr_SetString(PyExc_ValueError, "tree_order ids must be in [0, n)");
            return false;
        }
        if (!split_pairs_within(splits.as<const int32_t>(), slot_items, n)) {
            PyErr_SetString(PyExc_ValueError,
                            "tree_splits must hold pairs of ids in [0, n) or (-1, -1)");
            return false;
        }
        return true;
    }

    void add_used(used_bytes *to) const {
        to[0] = used("tree_order", order, order_items);
        to[1] = used("tree_splits", splits, 2 * slot_items);
        to[2] = used("tree_thresholds", thresholds, slot_items);
    }
};

// The arguments both query methods share, checked, with their views held
// (released in reverse order when the record goes).
struct query_call {
    buffer_view x, graph, pivots;
    forest_views forest;
    buffer_view queries, idx, dist, control;
    mirnak_dense_rows train, rows;
    mirnak_search_index index;

    // Sizes, views, overlaps and ids, in that order; false with an exception
    // set. objs: x, graph, pivots, queries, idx, dist; trees: the forest's
    // three arrays, or null for the method without forest and control block.
    bool prepare(PyObject *const objs[6], PyObject *const *trees, PyObject *control_obj, int n,
                 int d, int width, int n_pivots, int n_trees, int leaf_size, int n_queries, int k) {
        if (n <= 0 || d <= 0 || width <= 0 || n_pivots <= 0 || n_queries <= 0 || k <= 0) {
            PyErr_SetString(PyExc_ValueError,
                            "n, d, width, n_pivots, n_queries, and k must be positive");
            return false;
        }
        if (!x.acquire(objs[0], false, count_of(n, d), "x")) return false;
        if (!graph.acquire(objs[1], false, count_of(n, width), "graph")) return false;
        if (!pivots.acquire(objs[2], false, n_pivots, "pivots")) return false;
        if (trees && !forest.acquire(trees, n, n_trees, leaf_size, false)) return false;
        if (!queries.acquire(objs[3], false, count_of(n_queries, d), "queries")) return false;
        if (!idx.acquire(objs[4], true, count_of(n_queries, k), "idx")) return false;
        if (!dist.acquire(objs[5], true, count_of(n_queries, k), "dist")) return false;
        if (control_obj && !acquire_control(control, control_obj)) return false;
        used_bytes inputs[7] = {
            used("x", x, count_of(n, d)), used("graph", graph, count_of(n, width)),
            used("pivots", pivots, n_pivots), used("queries", queries, count_of(n_queries, d))};
        forest.add_used(inputs + 4);
        const used_bytes outputs[] = {used("idx", idx, count_of(n_queries, k)),
                                      used("dist", dist, count_of(n_queries, k)),
                                      used_control(control)};
        if (!outputs_apart(inputs, 7, outputs, 3)) return false;
        // The walk indexes the training rows by these ids; the kernel would
        // refuse them too, but only with its status.
        if (!ids_within(graph.as<const int32_t>(), count_of(n, width), -1, n)) {
            PyErr_SetString(PyExc_ValueError, "graph ids must be in [-1, n)");
            return false;
        }
        if (!ids_within(pivots.as<const int32_t>(), n_pivots, 0, n)) {
            PyErr_SetString(PyExc_ValueError, "pivot ids must be in [0, n)");
            return false;
        }
        train = {x.as<const float>(), n, d};
        rows = {queries.as<const float>(), n_queries, d};
        const mirnak_search_forest f = {
            trees ? n_trees : 0, leaf_size, forest.order.as<const int32_t>(),
            forest.splits.as<const int32_t>(), forest.thresholds.as<const float>()};
        index = {graph.as<const int32_t>(), width, pivots.as<const int32_t>(), n_pivots, f};
        return true;
    }

    PyObject *run(const mirnak_query_settings &settings, int n_threads) {
        int rc;
        Py_BEGIN_ALLOW_THREADS;
        rc = mirnak_knn_query_f32_ctl(&train, &index, &rows, &settings, idx.as<int32_t>(),
                                      dist.as<float>(), n_threads, control_of(control));
        Py_END_ALLOW_THREADS;
        return PyLong_FromLong(rc);
    }
};

PyObject *py_knn_query_f32(PyObject *, PyObject *args) {
    PyObject *objs[6];
    int n, d, width, n_pivots, n_queries, n_threads;
    mirnak_query_settings s;
    if (!PyArg_ParseTuple(args, "OOOOOOiiiiiiiii", &objs[0], &objs[1], &objs[2], &objs[3], &objs[4],
                          &objs[5], &n, &d, &width, &n_pivots, &n_queries, &s.k, &s.beam,
                          &s.n_entries, &n_threads))
        return nullptr;
    query_call call;
    if (!call.prepare(objs, nullptr, nullptr, n, d, width, n_pivots, 0, 1, n_queries, s.k))
        return nullptr;
    return call.run(s, n_threads);
}

const char knn_query_f32_ctl_doc[] =
    "knn_query_f32 with a search forest (n_trees 0: none) and a control block (progress: query "
    "rows answered; stop) or None.";

PyObject *py_knn_query_f32_ctl(PyObject *, PyObject *args) {
    PyObject *objs[6], *trees[3], *control_obj;
    int n, d, width, n_pivots, n_trees, leaf_size, n_queries, n_threads;
    mirnak_query_settings s;
    if (!PyArg_ParseTuple(args, "OOOOOOOOOiiiiiiiiiiiO", &objs[0], &objs[1], &objs[2], &trees[0],
                          &trees[1], &trees[2], &objs[3], &objs[4], &objs[5], &n, &d, &width,
                          &n_pivots, &n_trees, &leaf_size, &n_queries, &s.k, &s.beam, &s.n_entries,
                          &n_threads, &control_obj))
        return nullptr;
    query_call call;
    if (!call.prepare(objs, trees, control_obj, n, d, width, n_pivots, n_trees, leaf_size,
                      n_queries, s.k))
        return nullptr;
    return call.run(s, n_threads);
}

// ---------------------------------------------------------------------------
// knn_search_forest_f32, knn_forest_nodes
// ---------------------------------------------------------------------------

const char knn_search_forest_f32_doc[] =
    "Build the search forest of the training rows x for knn_query_f32_ctl; takes a control "
    "block (progress: trees built; stop) or None.";

PyObject *py_knn_search_forest_f32(PyObject *, PyObject *args) {
    PyObject *x_obj, *trees[3], *control_obj;
    int n, d, n_trees, leaf_size, n_threads;
    unsigned long long seed;
    if (!PyArg_ParseTuple(args, "OOOOiiiiKiO", &x_obj, &trees[0], &trees[1], &trees[2], &n, &d,
                          &n_trees, &leaf_size, &seed, &n_threads, &control_obj))
        return nullptr;
    if (n <= 0 || d <= 0 || n_trees <= 0 || leaf_size <= 0) {
        PyErr_SetString(PyExc_ValueError, "n, d, n_trees, and leaf_size must be positive");
        return nullptr;
    }
    buffer_view x, control;
    forest_views forest;
    if (!x.acquire(x_obj, false, count_of(n, d), "x")) return nullptr;
    if (!forest.acquire(trees, n, n_trees, leaf_size, true)) return nullptr;
    if (!acquire_control(control, control_obj)) return nullptr;
    const used_bytes inputs[] = {used("x", x, count_of(n, d))};
    used_bytes outputs[4];
    forest.add_used(outputs);
    outputs[3] = used_control(control);
    if (!outputs_apart(inputs, 1, outputs, 4)) return nullptr;

    const mirnak_dense_rows train = {x.as<const float>(), n, d};
    const mirnak_forest_settings settings = {n_trees, leaf_size, static_cast<uint64_t>(seed)};
    int rc;
    Py_BEGIN_ALLOW_THREADS;
    rc = mirnak_knn_search_forest_f32(&train, &settings, forest.order.as<int32_t>(),
                                      forest.splits.as<int32_t>(), forest.thresholds.as<float>(),
                                      n_threads, control_of(control));
    Py_END_ALLOW_THREADS;
    return PyLong_FromLong(rc);
}

const char knn_forest_nodes_doc[] =
    "The split slots per tree of a search forest over n points with leaves of at most "
    "leaf_size points.";

PyObject *py_knn_forest_nodes(PyObject *, PyObject *args) {
    int n, leaf_size;
    if (!PyArg_ParseTuple(args, "ii", &n, &leaf_size)) return nullptr;
    if (n <= 0 || leaf_size <= 0) {
        PyErr_SetString(PyExc_ValueError, "n and leaf_size must be positive");
        return nullptr;
    }
    return PyLong_FromLongLong(mirnak_knn_forest_nodes(n, leaf_size));
}

// ---------------------------------------------------------------------------
// umap_query_memberships_f32
// ---------------------------------------------------------------------------

const char umap_query_memberships_f32_doc[] =
    "Membership strengths of new rows to their training neighbours from dense kNN arrays.";

// Per-call scratch of the bandwidths and the directed entries.
struct membership_scratch {
    vornik::scratch<float> sigmas, rhos;
    vornik::scratch<int32_t> rows, cols;

    bool allocate(int n_queries, Py_ssize_t flat) {
        sigmas = vornik::alloc_scratch<float>(n_queries);
        rhos = vornik::alloc_scratch<float>(n_queries);
        rows = vornik::alloc_scratch<int32_t>(flat);
        cols = vornik::alloc_scratch<int32_t>(flat);
        return sigmas && rhos && rows && cols;
    }
};

PyObject *py_umap_query_memberships_f32(PyObject *, PyObject *args) {
    PyObject *idx_obj, *dist_obj, *vals_obj;
    int n_queries, n_neighbors;
    if (!PyArg_ParseTuple(args, "OOOii", &idx_obj, &dist_obj, &vals_obj, &n_queries, &n_neighbors))
        return nullptr;
    if (n_queries <= 0 || n_neighbors <= 0) {
        PyErr_SetString(PyExc_ValueError, "n_queries and n_neighbors must be positive");
        return nullptr;
    }
    const Py_ssize_t flat = count_of(n_queries, n_neighbors);

    buffer_view idx, dist, vals;
    if (!idx.acquire(idx_obj, false, flat, "idx")) return nullptr;
    if (!dist.acquire(dist_obj, false, flat, "dist")) return nullptr;
    if (!vals.acquire(vals_obj, true, flat, "vals")) return nullptr;
    const used_bytes inputs[] = {used("idx", idx, flat), used("dist", dist, flat)};
    const used_bytes outputs[] = {used("vals", vals, flat)};
    if (!outputs_apart(inputs, 2, outputs, 1)) return nullptr;

    membership_scratch s;
    if (!s.allocate(n_queries, flat)) return PyErr_NoMemory();

    Py_BEGIN_ALLOW_THREADS;
    // Rows and columns index different sets, so an id equal to its row
    // number is an ordinary neighbour (bipartite).
    mirnak_umap_smooth_knn_dist_f32(n_queries, n_neighbors, dist.as<const float>(),
                                    static_cast<float>(n_neighbors), SIGMA_BISECTION_STEPS,
                                    LOCAL_CONNECTIVITY, BANDWIDTH, s.sigmas.get(), s.rhos.get());
    mirnak_umap_membership_strengths_f32(n_queries, n_neighbors, idx.as<const int32_t>(),
                                         dist.as<const float>(), s.sigmas.get(), s.rhos.get(), 0, 1,
                                         s.rows.get(), s.cols.get(), vals.as<float>(), nullptr);
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// umap_layout_new_points_f32
// ---------------------------------------------------------------------------

const char umap_layout_new_points_f32_doc[] =
    "Optimize the layout of new points in-place against a frozen reference embedding.";

// The arguments both new-point methods share, checked, with their views
// held (released in reverse order when the record goes).
struct new_points_call {
    buffer_view embedding, reference, tail, epochs_per_sample, keys, control;
    mirnak_new_point_edges edges;
    mirnak_layout_run run;
    int n_points = 0, n_reference = 0, dim = 0;

    // Sizes, views, overlaps and ids, in that order; false with an exception
    // set. control_obj is null for the method without a control block.
    bool prepare(PyObject *const objs[5], PyObject *control_obj, int n_points_, int n_reference_,
                 int dim_, int width, const run_args &r) {
        n_points = n_points_, n_reference = n_reference_, dim = dim_;
        if (n_points <= 0 || n_reference <= 0 || dim <= 0 || width <= 0 || r.n_epochs <= 0) {
            PyErr_SetString(PyExc_ValueError,
                            "n_points, n_reference, dim, width, and n_epochs must be positive");
            return false;
        }
        const Py_ssize_t n_edges = count_of(n_points, width);
        if (!embedding.acquire(objs[0], true, count_of(n_points, dim), "embedding")) return false;
        if (!reference.acquire(objs[1], false, count_of(n_reference, dim), "reference"))
            return false;
        if (!tail.acquire(objs[2], false, n_edges, "tail")) return false;
        if (!epochs_per_sample.acquire(objs[3], false, n_edges, "epochs_per_sample")) return false;
        if (!keys.acquire(objs[4], false, n_points, "keys", 8)) return false;
        if (control_obj && !acquire_control(control, control_obj)) return false;
        const used_bytes inputs[] = {
            used("reference", reference, count_of(n_reference, dim)), used("tail", tail, n_edges),
            used("epochs_per_sample", epochs_per_sample, n_edges), used("keys", keys, n_points)};
        const used_bytes outputs[] = {used("embedding", embedding, count_of(n_points, dim)),
                                      used_control(control)};
        if (!outputs_apart(inputs, 4, outputs, 2)) return false;
        if (!ids_within(tail.as<const int32_t>(), n_edges, -1, n_reference)) {
            PyErr_SetString(PyExc_ValueError, "tail ids must be in [-1, n_reference)");
            return false;
        }
        edges = {tail.as<const int32_t>(), epochs_per_sample.as<const float>(), width,
                 keys.as<const uint64_t>()};
        run = r.narrowed();
        return true;
    }

    PyObject *place(int n_threads) {
        int rc;
        Py_BEGIN_ALLOW_THREADS;
        rc = mirnak_umap_optimize_new_points_f32_ctl(embedding.as<float>(), n_points, dim,
                                                     reference.as<const float>(), n_reference,
                                                     &edges, &run, n_threads, control_of(control));
        Py_END_ALLOW_THREADS;
        return PyLong_FromLong(rc);
    }
};

PyObject *py_umap_layout_new_points_f32(PyObject *, PyObject *args) {
    PyObject *objs[5];
    int n_points, n_reference, dim, width, n_threads;
    run_args r;
    if (!PyArg_ParseTuple(args, "OOOOOiiii" VORNIK_RUN_CODES "i", &objs[0], &objs[1], &objs[2],
                          &objs[3], &objs[4], &n_points, &n_reference, &dim, &width, &r.n_epochs,
                          &r.a, &r.b, &r.gamma, &r.initial_alpha, &r.negative_sample_rate, &r.seed,
                          &n_threads))
        return nullptr;
    new_points_call call;
    if (!call.prepare(objs, nullptr, n_points, n_reference, dim, width, r)) return nullptr;
    return call.place(n_threads);
}

const char umap_layout_new_points_f32_ctl_doc[] =
    "umap_layout_new_points_f32 with a control block (progress: points placed; stop) or None.";

PyObject *py_umap_layout_new_points_f32_ctl(PyObject *, PyObject *args) {
    PyObject *objs[5], *control_obj;
    int n_points, n_reference, dim, width, n_threads;
    run_args r;
    if (!PyArg_ParseTuple(args, "OOOOOiiii" VORNIK_RUN_CODES "iO", &objs[0], &objs[1], &objs[2],
                          &objs[3], &objs[4], &n_points, &n_reference, &dim, &width, &r.n_epochs,
                          &r.a, &r.b, &r.gamma, &r.initial_alpha, &r.negative_sample_rate, &r.seed,
                          &n_threads, &control_obj))
        return nullptr;
    new_points_call call;
    if (!call.prepare(objs, control_obj, n_points, n_reference, dim, width, r)) return nullptr;
    return call.place(n_threads);
}

// ---------------------------------------------------------------------------
// umap_inverse_points_f32
// ---------------------------------------------------------------------------

const char umap_inverse_points_f32_doc[] =
    "Points of the data space for points of the embedding: means of their fitted neighbours' "
    "rows, weighted by the embedding's membership curve; takes a control block or None.";

PyObject *py_umap_inverse_points_f32(PyObject *, PyObject *args) {
    PyObject *data_obj, *emb_obj, *points_obj, *nbr_obj, *out_obj, *weights_obj, *control_obj;
    int n_fitted, n_dims, dim, n_points, k, n_threads;
    double a, b;
    if (!PyArg_ParseTuple(args, "OOOOOOiiiiiddiO", &data_obj, &emb_obj, &points_obj, &nbr_obj,
                          &out_obj, &weights_obj, &n_fitted, &n_dims, &dim, &n_points, &k, &a,
                          &b, &n_threads, &control_obj))
        return nullptr;
    if (n_fitted <= 0 || n_dims <= 0 || dim <= 0 || n_points <= 0 || k <= 0) {
        PyErr_SetString(PyExc_ValueError,
                        "n_fitted, n_dims, dim, n_points, and k must be positive");
        return nullptr;
    }
    const Py_ssize_t listed = count_of(n_points, k);

    buffer_view data, embedding, points, neighbours, out, weights, control;
    if (!data.acquire(data_obj, false, count_of(n_fitted, n_dims), "data")) return nullptr;
    if (!embedding.acquire(emb_obj, false, count_of(n_fitted, dim), "embedding")) return nullptr;
    if (!points.acquire(points_obj, false, count_of(n_points, dim), "points")) return nullptr;
    if (!neighbours.acquire(nbr_obj, false, listed, "neighbours")) return nullptr;
    if (!out.acquire(out_obj, true, count_of(n_points, n_dims), "out")) return nullptr;
    if (weights_obj != Py_None && !weights.acquire(weights_obj, true, listed, "weights"))
        return nullptr;
    if (!acquire_control(control, control_obj)) return nullptr;
    const used_bytes inputs[] = {
        used("data", data, count_of(n_fitted, n_dims)),
        used("embedding", embedding, count_of(n_fitted, dim)),
        used("points", points, count_of(n_points, dim)), used("neighbours", neighbours, listed)};
    const used_bytes outputs[] = {used("out", out, count_of(n_points, n_dims)),
                                  used("weights", weights, weights.held() ? listed : 0),
                                  used_control(control)};
    if (!outputs_apart(inputs, 4, outputs, 3)) return nullptr;
    if (!ids_within(neighbours.as<const int32_t>(), listed, -1, n_fitted)) {
        PyErr_SetString(PyExc_ValueError, "neighbour ids must be in [-1, n_fitted)");
        return nullptr;
    }

    const mirnak_fitted_points fitted = {data.as<const float>(), embedding.as<const float>(),
                                         n_fitted, n_dims, dim};
    const mirnak_inverse_run run = {narrow_to_float(a), narrow_to_float(b)};
    int rc;
    Py_BEGIN_ALLOW_THREADS;
    rc = mirnak_umap_inverse_points_f32(&fitted, n_points, points.as<const float>(),
                                        neighbours.as<const int32_t>(), k, &run, out.as<float>(),
                                        weights.as<float>(), n_threads, control_of(control));
    Py_END_ALLOW_THREADS;
    return PyLong_FromLong(rc);
}

// ---------------------------------------------------------------------------
// Module definition
// ---------------------------------------------------------------------------

const char module_doc[] = "Minimal vendored native kernels for brembolt.vornik.";

PyMethodDef methods[] = {
    {"knn_descent_f32", py_knn_descent_f32, METH_VARARGS, knn_descent_f32_doc},
    {"umap_graph_f32", py_umap_graph_f32, METH_VARARGS, umap_graph_f32_doc},
    {"umap_graph_f32_parallel", py_umap_graph_f32_parallel, METH_VARARGS,
     umap_graph_f32_parallel_doc},
    {"umap_layout_euclidean_f32", py_umap_layout_euclidean_f32, METH_VARARGS,
     umap_layout_euclidean_f32_doc},
    {"knn_query_f32", py_knn_query_f32, METH_VARARGS, knn_query_f32_doc},
    {"umap_query_memberships_f32", py_umap_query_memberships_f32, METH_VARARGS,
     umap_query_memberships_f32_doc},
    {"umap_layout_new_points_f32", py_umap_layout_new_points_f32, METH_VARARGS,
     umap_layout_new_points_f32_doc},
    {"knn_descent_f32_ctl", py_knn_descent_f32_ctl, METH_VARARGS, knn_descent_f32_ctl_doc},
    {"umap_layout_euclidean_f32_ctl", py_umap_layout_euclidean_f32_ctl, METH_VARARGS,
     umap_layout_euclidean_f32_ctl_doc},
    {"umap_layout_euclidean_f32_parts", py_umap_layout_euclidean_f32_parts, METH_VARARGS,
     umap_layout_euclidean_f32_parts_doc},
    {"umap_layout_euclidean_f32_parts_in_schedule_order",
     py_umap_layout_euclidean_f32_parts_in_schedule_order, METH_VARARGS,
     umap_layout_euclidean_f32_parts_in_schedule_order_doc},
    {"umap_layout_substeps", py_umap_layout_substeps, METH_VARARGS, umap_layout_substeps_doc},
    {"knn_query_f32_ctl", py_knn_query_f32_ctl, METH_VARARGS, knn_query_f32_ctl_doc},
    {"knn_search_forest_f32", py_knn_search_forest_f32, METH_VARARGS, knn_search_forest_f32_doc},
    {"knn_forest_nodes", py_knn_forest_nodes, METH_VARARGS, knn_forest_nodes_doc},
    {"umap_layout_new_points_f32_ctl", py_umap_layout_new_points_f32_ctl, METH_VARARGS,
     umap_layout_new_points_f32_ctl_doc},
    {"umap_inverse_points_f32", py_umap_inverse_points_f32, METH_VARARGS,
     umap_inverse_points_f32_doc},
    {"umap_layout_density_f32", py_umap_layout_density_f32, METH_VARARGS,
     umap_layout_density_f32_doc},
    {"knn_descent_metric_f32", py_knn_descent_metric_f32, METH_VARARGS, knn_descent_metric_f32_doc},
    {"knn_descent_bits_u64", py_knn_descent_bits_u64, METH_VARARGS, knn_descent_bits_u64_doc},
    {"knn_descent_sparse_f32", py_knn_descent_sparse_f32, METH_VARARGS,
     knn_descent_sparse_f32_doc},
    {"knn_query_sparse_f32", py_knn_query_sparse_f32, METH_VARARGS, knn_query_sparse_f32_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_native_vornik",
    module_doc,
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__native_vornik(void) {
    PyObject *m = PyModule_Create2(&module, 1013);
#ifdef Py_GIL_DISABLED
    // No module state and no shared mutable data: safe without the GIL.
    if (m && PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
#endif
    return m;
}
