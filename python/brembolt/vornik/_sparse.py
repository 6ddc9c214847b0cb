"""Sparse input: CSR rows checked, mapped into the kernels' space, searched and placed natively.

A scipy.sparse matrix or array (CSR, or any format scipy converts to CSR) is
never made dense, not even a block of rows at a time. Its rows go to the
kernels as a CSR matrix of float32 values:

- euclidean: the rows as they are; cosine: each row scaled to unit length;
  hellinger: the square roots of each row divided by its sum. All three are
  searched in squared Euclidean distance, and their distances come back as
  the Euclidean distance, |u - v|^2 / 2 (= 1 - cos) and |u - v| / sqrt(2).
- manhattan: the rows as they are; jaccard: the pattern of non-zero entries
  (the values are not read).

Columns must be sorted and unrepeated within each row (a canonical CSR
matrix, as scikit-learn's vectorizers make): other matrices are refused with
a ValueError that names the fix, rather than copied, so a large matrix never
doubles behind the caller's back. Stored zeros are dropped (on a copy).

New rows (transform) get their exact neighbours among the training rows from
the native exact query: each row's answer depends only on that row, so the
placing keeps the dense path's row-wise purity, at a cost that grows with the
training rows (about a millisecond per new row per 10,000 training rows).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp

import _native_vornik as _native

from . import _control, _metrics
from ._data import KernelSpace, Prepared
from ._pipeline import ONE_WORKER_PER_TREE, default_knn_settings, uses_exact_search
from ._rows import rows_with_self
from ._transform import Reference, layout_new_points, memberships, weighted_start

# The metrics sparse rows take, and the measure each is searched in.
MEASURES = {"euclidean": "sqeuclidean", "cosine": "sqeuclidean", "hellinger": "sqeuclidean",
            "manhattan": "manhattan", "jaccard": "jaccard"}
SPARSE_METRICS = _metrics.SPARSE
assert set(SPARSE_METRICS) == set(MEASURES)
# The kernels refuse distances that can reach the heap's empty-slot value.
DISTANCE_LIMIT = 1e30
FLOAT32_MAX = float(np.finfo(np.float32).max)
# Rows are prepared in blocks of about this many entries.
BLOCK_ENTRIES = 1 << 20


@dataclass(eq=False)
class SparseReference(Reference):
    """The fit's rows as the kernels read them (CSR arrays); data stays empty."""

    indptr: np.ndarray | None = None  # (n + 1,) int64
    indices: np.ndarray | None = None  # (nnz,) int32
    values: np.ndarray | None = None  # (nnz,) float32
    n_cols: int = 0

    @property
    def rows(self) -> sp.csr_matrix:
        n = self.indptr.size - 1
        return sp.csr_matrix((self.values, self.indices, self.indptr), shape=(n, self.n_cols))


# ---------------------------------------------------------------------------
# Rows into the kernels' space
# ---------------------------------------------------------------------------


def prepare(x, metric: str) -> Prepared:
    """Sparse rows x in the kernels' space."""
    return Prepared(kernel_rows(x, metric), KernelSpace(metric))


def kernel_rows(x, metric: str) -> sp.csr_matrix:
    """x as a canonical CSR matrix of float32 values the kernel's measure orders as `metric`."""
    if metric not in MEASURES:
        raise ValueError(f"sparse X takes metric one of {', '.join(map(repr, SPARSE_METRICS))}, "
                         f"got metric={metric!r}")
    x = sp.csr_matrix(x) if sp.issparse(x) else sp.csr_matrix(np.asarray(x))
    if not x.has_canonical_format:
        raise ValueError("X has unsorted or repeated column indices within a row; "
                         "X.sum_duplicates() sorts them and adds up the repeats")
    if x.shape[1] > np.iinfo(np.int32).max:
        raise ValueError(f"X has {x.shape[1]} columns; at most 2147483647 are supported")
    if not np.isfinite(x.data).all():
        raise ValueError("X holds NaN or infinite values")
    if (x.data == 0).any():  # stored zeros are no entries
        x = x.copy()
        x.eliminate_zeros()
    indptr = np.asarray(x.indptr, dtype=np.int64)
    indices = np.asarray(x.indices, dtype=np.int32)
    out = np.empty(indices.size, np.float32)
    largest = 0.0
    for lo, hi in _row_blocks(indptr):  # temporaries of a block of rows at a time
        a, b = indptr[lo], indptr[hi]
        rows = np.repeat(np.arange(hi - lo), np.diff(indptr[lo:hi + 1]))
        out[a:b], size = _metric_values(np.asarray(x.data[a:b], dtype=np.float64), rows, hi - lo,
                                        lo, metric)
        largest = max(largest, size)
    # No two rows may be 1e30 apart in the kernel's measure: a squared
    # distance is at most 2 (|a|^2 + |b|^2), a Manhattan one |a|_1 + |b|_1.
    if (2.0 if metric == "manhattan" else 4.0) * largest >= DISTANCE_LIMIT:
        raise ValueError("distances between rows of X can reach 1e30, beyond the kernel's range; "
                         "scale X down")
    return sp.csr_matrix((out, indices, indptr), shape=x.shape)


def _row_blocks(indptr: np.ndarray):
    """Consecutive row ranges [lo, hi) of about BLOCK_ENTRIES entries (at least one row)."""
    n = indptr.size - 1
    lo = 0
    while lo < n:
        hi = int(np.searchsorted(indptr, indptr[lo] + BLOCK_ENTRIES, side="right")) - 1
        hi = min(n, max(hi, lo + 1))
        yield lo, hi
        lo = hi


def _metric_values(values: np.ndarray, rows: np.ndarray, n: int, first: int, metric: str):
    """The entries' values (float64, of row first + rows[j] each) as the kernel reads them
    (float32), and the largest row size in the kernel's measure."""
    if metric == "jaccard":
        return np.ones(values.size, np.float32), 0.0
    if metric == "hellinger":
        negative = np.unique(rows[values < 0])
        if negative.size:
            raise ValueError("metric='hellinger' compares distributions of non-negative values; "
                             f"rows {_named(negative + first)} of X hold negative values")
        total = np.bincount(rows, values, minlength=n)
        _refuse_zero_rows(total, metric, first)
        values = np.sqrt(values / total[rows])
    if metric == "cosine":
        norm = np.sqrt(np.bincount(rows, values * values, minlength=n))
        _refuse_zero_rows(norm, metric, first)
        values = values / norm[rows]
    if np.abs(values).max(initial=0.0) > FLOAT32_MAX:
        raise ValueError("X holds values beyond float32's range; scale X down")
    out = values.astype(np.float32)
    kept = out.astype(np.float64)
    size = np.bincount(rows, np.abs(kept) if metric == "manhattan" else kept * kept, minlength=n)
    return out, float(size.max(initial=0.0))


def _refuse_zero_rows(size: np.ndarray, metric: str, first: int) -> None:
    zero = np.flatnonzero(size == 0) + first
    if zero.size:
        raise ValueError(f"metric={metric!r} is undefined for zero rows; rows {_named(zero)} of X "
                         "are zero: drop them or use another metric")


def _named(rows: np.ndarray) -> str:
    shown = ", ".join(str(int(r)) for r in rows[:5])
    return shown + (f" and {rows.size - 5} more" if rows.size > 5 else "")


def to_metric(metric: str, kernel_dist) -> np.ndarray:
    """The kernel's distances (squared for the Euclidean family) in the metric's units (float64)."""
    d = np.asarray(kernel_dist, dtype=np.float64)
    if metric == "cosine":
        return 0.5 * d
    if metric == "euclidean":
        return np.sqrt(d)
    if metric == "hellinger":
        return np.sqrt(0.5 * d)
    return d


def _arrays(x: sp.csr_matrix):
    return (np.ascontiguousarray(x.indptr, dtype=np.int64),
            np.ascontiguousarray(x.indices, dtype=np.int32),
            np.ascontiguousarray(x.data, dtype=np.float32))


# ---------------------------------------------------------------------------
# Neighbours
# ---------------------------------------------------------------------------


def nearest_neighbors(prepared: Prepared, n_neighbors: int, seed: int, n_threads: int,
                      verbose: bool = False):
    """kNN rows of prepared sparse rows, self first; distances (float64) in the metric's units."""
    x, metric = prepared.points, prepared.space.metric
    n, d = x.shape
    k = n_neighbors - 1
    if uses_exact_search(n, k):
        idx, kernel_dist = _exact_rows(x, x, metric, k + 1, n_threads, skip_self=True)
    else:
        s = default_knn_settings(n, d, k)
        idx = np.empty((n, k), np.int32)
        kernel_dist = np.empty((n, k), np.float32)
        measure = MEASURES[metric]
        status = _control.run(
            lambda *args: _native.knn_descent_sparse_f32(*args, measure),
            (*_arrays(x), idx, kernel_dist, n, d, k, s.n_trees, s.n_iters, seed, s.leaf_size,
             ONE_WORKER_PER_TREE, n_threads),
            total=max(1, s.n_trees) + max(1, s.n_iters), desc="nearest neighbours",
            verbose=verbose, unit="step")
        _control.check_status(status, "sparse kNN kernel")
        missing = np.flatnonzero((idx < 0).any(axis=1))
        if missing.size:  # rows the search could not fill get their exact rows
            idx[missing], kernel_dist[missing] = _exact_rows(x[missing], x, metric, k + 1,
                                                             n_threads, skip_self=True,
                                                             ids=missing)
    # rows_with_self sorts and takes roots: of the squares of the kernel's
    # distances, exact in float64, it gives back those distances themselves.
    full_idx, kept = rows_with_self(idx, np.square(kernel_dist.astype(np.float64)))
    return full_idx, to_metric(metric, kept)


def _exact_rows(q: sp.csr_matrix, train: sp.csr_matrix, metric: str, k: int, n_threads: int,
                skip_self: bool = False, ids=None):
    """The k exact nearest training rows of every row of q (kernel distances, float32);
    with skip_self, q's rows are training rows `ids` (default: all), each dropped from
    its own row, which then holds k - 1."""
    m = q.shape[0]
    idx = np.empty((m, k), np.int32)
    dist = np.empty((m, k), np.float32)
    status = _native.knn_query_sparse_f32(*_arrays(train), train.shape[0], *_arrays(q), m,
                                          train.shape[1], idx, dist, k, MEASURES[metric], n_threads)
    _control.check_status(status, "sparse kNN query kernel")
    if not skip_self:
        return idx, dist
    own = np.arange(m) if ids is None else np.asarray(ids)
    # Drop the row itself where it was found, else the farthest.
    drop = np.where((idx == own[:, None]).any(axis=1), np.argmax(idx == own[:, None], axis=1),
                    k - 1)
    keep = np.ones((m, k), bool)
    keep[np.arange(m), drop] = False
    return idx[keep].reshape(m, k - 1), dist[keep].reshape(m, k - 1)


# ---------------------------------------------------------------------------
# Fitted state, transform
# ---------------------------------------------------------------------------


def keep_reference(prepared: Prepared, rng: np.random.Generator) -> SparseReference:
    """What fit keeps of sparse rows: the prepared CSR arrays and two seeds."""
    pivot_seed, seed = (int(s) for s in rng.integers(0, 2**64, size=2, dtype=np.uint64))
    indptr, indices, values = _arrays(prepared.points)
    return SparseReference(np.empty((0, 0), np.float32), seed, pivot_seed, indptr=indptr,
                           indices=indices, values=values, n_cols=int(prepared.points.shape[1]))


def check_reference(ref: SparseReference, n_fit: int, n_features: int, fail) -> None:
    """A loaded sparse reference is a canonical CSR matrix of n_fit x n_features (fail(msg) else)."""
    arrays = (ref.indptr, ref.indices, ref.values)
    dtypes = (np.int64, np.int32, np.float32)
    if not all(isinstance(a, np.ndarray) and a.ndim == 1 and a.dtype == t
               for a, t in zip(arrays, dtypes)):
        fail("_reference holds no CSR arrays of int64, int32 and float32")
    if ref.n_cols != n_features or ref.indptr.size != n_fit + 1 or ref.indptr[0] != 0 or (
            ref.indptr[-1] != ref.indices.size or ref.values.size != ref.indices.size):
        fail("_reference's CSR arrays do not describe the fitted rows")
    if (np.diff(ref.indptr) < 0).any() or not np.isfinite(ref.values).all():
        fail("_reference's CSR arrays do not describe the fitted rows")
    rows = ref.rows
    if ref.indices.size and (ref.indices.min() < 0 or ref.indices.max() >= n_features
                             or not rows.has_canonical_format):
        fail("_reference's columns are not ascending column ids within each row")


def row_keys(x: sp.csr_matrix) -> np.ndarray:
    """A 64-bit key per CSR row from its columns and the bits of its values (uint64)."""
    with np.errstate(over="ignore"):
        words = (x.indices.astype(np.uint64) << np.uint64(32)) | (
            np.ascontiguousarray(x.data, dtype=np.float32).view(np.uint32).astype(np.uint64))
        mixed = _mix(words * np.uint64(0x9E3779B97F4A7C15))
        total = np.concatenate([[np.uint64(0)], np.cumsum(mixed, dtype=np.uint64)])
        sums = total[x.indptr[1:]] - total[x.indptr[:-1]]
        return _mix(sums ^ np.diff(x.indptr).astype(np.uint64))


def _mix(z: np.ndarray) -> np.ndarray:
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z ^ (z >> np.uint64(31))


def place(fitted, x, n_threads: int) -> np.ndarray:
    """The embedding of new rows x (sparse or dense) in a sparse fit."""
    ref, metric = fitted.reference, fitted.space.metric
    q = kernel_rows(x, metric)
    if q.shape[1] != ref.n_cols:
        raise ValueError(f"X has {q.shape[1]} features, but the model was fitted with {ref.n_cols}")
    train = ref.rows
    embedding = fitted.positions
    m, dim = q.shape[0], embedding.shape[1]
    out = np.empty((m, dim), np.float32)
    k = fitted.knn_indices.shape[1]
    idx, kernel_dist = _exact_rows(q, train, metric, k, n_threads)
    same = _training_rows(q, train, idx, kernel_dist)
    seen = same >= 0
    out[seen] = embedding[same[seen]]
    todo = np.flatnonzero(~seen)
    if todo.size == 0:
        return out
    idx, dist = idx[todo], to_metric(metric, kernel_dist[todo])
    weights = memberships(idx, np.ascontiguousarray(np.ldexp(dist, fitted.graph_exponent),
                                                    dtype=np.float32))
    start = weighted_start(embedding, idx, weights)
    if fitted.run.n_epochs > 0:
        layout_new_points(start, embedding, idx, weights, row_keys(q)[todo], fitted.run,
                          n_threads)
    out[todo] = start
    return out


def _training_rows(q: sp.csr_matrix, train: sp.csr_matrix, idx, kernel_dist) -> np.ndarray:
    """Per new row, a training row with the same entries (the lowest id), else -1."""
    same = np.full(q.shape[0], -1, np.int64)
    for r, c in zip(*np.nonzero(kernel_dist == 0)):
        if same[r] >= 0:
            continue
        a, b = q[r], train[int(idx[r, c])]
        if (np.array_equal(a.indices, b.indices) and
                np.array_equal(a.data.view(np.uint32), b.data.view(np.uint32))):
            same[r] = idx[r, c]
    return same
