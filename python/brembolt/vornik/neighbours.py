"""Exact nearest neighbours by blocked brute force.

The one exact search of the package: the pipeline takes it for rows the
approximate search could not fill and when the neighbours are a tenth of all
points or more; the quality measures, the benchmarks and the examples use it
as ground truth.
Distances are formed block by block in float64 on centred data, so neither
large magnitudes nor a large common offset spoil them; the k + 16 nearest by
that screening are then ranked by exact float64 differences, equal distances
by ascending id.
"""

from __future__ import annotations

import numpy as np

BLOCK_BYTES = 64 << 20
# Candidates ranked exactly beyond the k screened ones, so that rounding in the
# screening step cannot push a true neighbour out of a row.
SCREEN_MARGIN = 16


def block_rows(n_points: int, budget: int = BLOCK_BYTES) -> int:
    """Query rows per block so that a block of float64 distances stays within budget."""
    return max(1, min(n_points, budget // (8 * max(n_points, 1))))


def as_centred_float64(points) -> np.ndarray:
    """points in float64, shifted to mean zero (distances do not change)."""
    p = np.array(points, dtype=np.float64, order="C", copy=True)
    if p.ndim != 2:
        raise ValueError(f"points must be 2-dimensional, got shape {p.shape}")
    if p.shape[0]:
        p -= p.mean(axis=0)
    return p


def sq_distance_blocks(points: np.ndarray, queries: np.ndarray, budget: int = BLOCK_BYTES):
    """Yields (query ids, squared distances of those queries to every point).

    points: float64 from as_centred_float64. Each block is a fresh float64
    array of shape (len(block), n_points), clipped at zero.
    """
    sq = np.einsum("ij,ij->i", points, points)
    step = block_rows(points.shape[0], budget)
    for start in range(0, queries.size, step):
        block = queries[start:start + step]
        d2 = points[block] @ points.T
        d2 *= -2.0
        d2 += sq[block, None]
        d2 += sq[None, :]
        np.maximum(d2, 0.0, out=d2)
        yield block, d2


def exact_neighbours(points, k: int, queries=None, budget: int = BLOCK_BYTES):
    """The k nearest other points of each query row, nearest first.

    points: (n, d) array; queries: ids of the rows to answer (default: all).
    Returns (ids int64 of shape (len(queries), k), squared Euclidean distances
    float64 of the same shape). A point is never its own neighbour; duplicates
    of it are, at distance 0.
    """
    p = as_centred_float64(points)
    n = p.shape[0]
    rows = np.arange(n) if queries is None else np.asarray(queries, dtype=np.int64).ravel()
    k = int(k)
    if not 0 <= k < max(n, 1):
        raise ValueError(f"k must be in [0, n_points - 1] = [0, {n - 1}], got {k}")
    ids = np.empty((rows.size, k), np.int64)
    sq = np.empty((rows.size, k), np.float64)
    if k == 0 or rows.size == 0:
        return ids, sq
    wide = min(n - 1, k + SCREEN_MARGIN)
    at = 0
    for block, d2 in sq_distance_blocks(p, rows, budget):
        d2[np.arange(block.size), block] = np.inf
        cand = np.argpartition(d2, wide - 1, axis=1)[:, :wide]
        cand.sort(axis=1)  # equal distances then rank by id
        ids[at:at + block.size], sq[at:at + block.size] = _rank_exactly(p, block, cand, k, budget)
        at += block.size
    return ids, sq


def _rank_exactly(p: np.ndarray, block: np.ndarray, cand: np.ndarray, k: int, budget: int):
    """The k nearest of each row's candidates by float64 differences (stable: ties by id)."""
    ids = np.empty((block.size, k), np.int64)
    sq = np.empty((block.size, k), np.float64)
    step = max(1, budget // (8 * cand.shape[1] * max(p.shape[1], 1)))
    for s in range(0, block.size, step):
        c = cand[s:s + step]
        diff = p[c] - p[block[s:s + step], None, :]
        exact = np.einsum("ijk,ijk->ij", diff, diff)
        order = np.argsort(exact, axis=1, kind="stable")[:, :k]
        ids[s:s + step] = np.take_along_axis(c, order, axis=1)
        sq[s:s + step] = np.take_along_axis(exact, order, axis=1)
    return ids, sq
