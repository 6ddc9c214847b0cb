"""Rows: a 64-bit key of each row's bits, and kNN rows that list each point first.

The keys find duplicate rows at fit time and training rows among new ones in
transform, where they also key each new point's random stream: saved models
hold them, so their values never change. A kNN row, as the fuzzy graph reads
it, is the point itself at distance 0, then its neighbours nearest first.
"""

from __future__ import annotations

import numpy as np

from ._metrics import Measure
from .neighbours import exact_measure_neighbours, exact_neighbours, smallest_by_id

_KEY_MULTIPLIER = np.uint64(0x9E3779B97F4A7C15)
KEY_BLOCK_BYTES = 2 << 20  # rows per block of 64-bit words: small enough to stay in cache


def row_keys(x: np.ndarray) -> np.ndarray:
    """A 64-bit hash of the bits of every row of a float32 matrix (or of packed bit rows).

    The row's words times fixed odd multipliers, summed modulo 2^64 (exact, so
    no order of summation changes a bit), then mixed.
    """
    return _word_keys(x, np.uint64 if x.dtype == np.uint64 else np.float32, signed_zeros=True)


def value_keys(points: np.ndarray, dtype=None) -> np.ndarray:
    """A 64-bit key per row of a float32 or float64 matrix: equal rows, equal keys.

    +0.0 and -0.0 are equal values, so zeros are made positive first. With
    dtype the rows are keyed as that type (float64: a float32 row and the
    same values in float64 get the same key).
    """
    return _word_keys(points, dtype or points.dtype, signed_zeros=False)


def _word_keys(x: np.ndarray, dtype, signed_zeros: bool) -> np.ndarray:
    """Keys of the rows of x as `dtype`, converted a block at a time (never all of x at once)."""
    m = x.shape[0]
    d = x.shape[1] * np.dtype(dtype).itemsize // 4  # 32-bit words per row
    with np.errstate(over="ignore"):
        multipliers = _mix64(np.arange(1, d + 1, dtype=np.uint64) * _KEY_MULTIPLIER)
        multipliers |= np.uint64(1)
        keys = np.empty(m, np.uint64)
        step = max(1, KEY_BLOCK_BYTES // (8 * max(d, 1)))
        for lo in range(0, m, step):
            block = np.ascontiguousarray(x[lo:lo + step], dtype=dtype)
            if not signed_zeros:
                block = block + block.dtype.type(0)
            keys[lo:lo + step] = block.view(np.uint32).astype(np.uint64) @ multipliers
        return _mix64(keys ^ np.uint64(d))


def _mix64(z: np.ndarray) -> np.ndarray:
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z ^ (z >> np.uint64(31))


def exact_rows(x: np.ndarray, k: int, queries=None, measure: Measure | None = None):
    """Exact kNN rows (self first; Euclidean, or in measure); distances stay float64 up to one
    final cast."""
    rows = np.arange(x.shape[0]) if queries is None else queries
    if measure is not None and measure.kernels != "euclidean":
        return _self_first(*exact_measure_neighbours(x, k, rows, measure), rows)
    ids, sq = exact_neighbours(x, k, rows)
    return _self_first(ids, np.sqrt(sq), rows)


def kdtree_rows(x: np.ndarray, k: int, n_threads: int, measure: Measure | None = None):
    """Exact kNN rows (self first; Euclidean, or a dense measure's Minkowski distance) from a
    k-d tree; the same for any thread count."""
    from scipy.spatial import cKDTree

    n = x.shape[0]
    p = 2.0 if measure is None else {"euclidean": 2.0, "manhattan": 1.0,
                                     "chebyshev": np.inf}.get(measure.name, measure.p)
    dist, ids = cKDTree(x).query(x, k=k + 1, p=p, workers=max(1, n_threads))
    # Each point is its own nearest, except among more than k + 1 copies of a
    # row, where it may be missing: then the farthest entry makes way for it.
    drop = ids == np.arange(n)[:, None]
    drop[~drop.any(axis=1), -1] = True
    return _self_first(ids[~drop].reshape(n, k), dist[~drop].reshape(n, k))


def precomputed_rows(distances: np.ndarray, k: int):
    """kNN rows (self first) of a square distance matrix; distances as float64."""
    return _self_first(*nearest_columns(distances, k, skip_diagonal=True), dtype=np.float64)


def rows_with_self(idx: np.ndarray, sq_dist: np.ndarray, root: float = 2.0):
    """Prepends each point to its own row, sorts rows by distance, takes the root-th roots
    (square roots of squared Euclidean distances; 1: the distances as they are)."""
    order = np.argsort(sq_dist, axis=1, kind="stable")
    dist = np.take_along_axis(sq_dist, order, axis=1)
    if root == 2.0:
        dist = np.sqrt(dist)
    elif root != 1.0:
        dist = dist.astype(np.float64) ** (1.0 / root)
    return _self_first(np.take_along_axis(idx, order, axis=1), dist)


def _self_first(ids: np.ndarray, dist: np.ndarray, rows=None, dtype=np.float32):
    """The kNN rows of points `rows` (default: all): each point at distance 0, then ids, dist."""
    m, k = ids.shape
    full_idx = np.empty((m, k + 1), np.int32)
    full_dist = np.empty((m, k + 1), dtype)
    full_idx[:, 0] = np.arange(m) if rows is None else rows
    full_dist[:, 0] = 0.0
    full_idx[:, 1:] = ids
    full_dist[:, 1:] = dist
    return full_idx, full_dist


def nearest_columns(distances: np.ndarray, k: int, skip_diagonal: bool = False):
    """The k smallest entries of every row of a distance matrix: (ids int32, float64).

    Ascending by distance, equal distances by id; with skip_diagonal a row's
    own column (a point itself) is left out.
    """
    m = distances.shape[0]
    ids = np.empty((m, k), np.int32)
    dist = np.empty((m, k), np.float64)
    step = max(1, (64 << 20) // (8 * max(1, distances.shape[1])))
    if k == 0:
        return ids, dist
    for start in range(0, m, step):
        rows = np.arange(start, min(m, start + step))
        block = distances[rows].astype(np.float64)
        if skip_diagonal:
            block[np.arange(rows.size), rows] = np.inf
        # Every tie of the k-th distance is a candidate, so ids decide them.
        near = smallest_by_id(block, k)
        ids[rows] = near
        dist[rows] = np.take_along_axis(block, near, axis=1)
    return ids, dist
