"""Exact nearest neighbours by blocked brute force.

The exact searches of the package: the pipeline takes them for rows the
approximate search could not fill and when the neighbours are a tenth of all
points or more; the quality measures, the benchmarks and the examples use
them as ground truth.
Euclidean distances are formed block by block in float64 on centred data, so
neither large magnitudes nor a large common offset spoil them; the k + 16
nearest by that screening are then ranked by exact float64 differences,
equal distances by ascending id. The other kernels' measures (Manhattan,
Chebyshev, Minkowski; Hamming, Jaccard, Dice on bit rows) are computed
exactly, block by block.
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


# ---------------------------------------------------------------------------
# Other measures
# ---------------------------------------------------------------------------

# The scipy names of the dense kernels' metrics.
_SCIPY = {"manhattan": "cityblock", "chebyshev": "chebyshev", "minkowski": "minkowski"}


def measure_distances(points, rows, measure) -> np.ndarray:
    """float64 distances of each of rows to every one of points in a measure of the dense or
    bits kernels (_metrics.Measure), in the kernels' units (Hamming: differing bits; Minkowski:
    the distance, not its p-th power). Each entry depends on its two rows alone: dense rows by
    scipy's cdist in float64, bit rows (uint64 words) by exact popcounts."""
    if measure.kernels != "bits":
        from scipy.spatial.distance import cdist

        extra = {"p": measure.p} if measure.name == "minkowski" else {}
        return cdist(np.asarray(rows, np.float64), points, _SCIPY[measure.name], **extra)
    ones = np.bitwise_count(points).sum(axis=1, dtype=np.int64)
    d = np.empty((rows.shape[0], points.shape[0]))
    for i, row in enumerate(rows):
        both = np.bitwise_count(points & row).sum(axis=1, dtype=np.int64)
        either = ones + int(np.bitwise_count(row).sum()) - both
        if measure.name == "hamming":
            d[i] = either - both
        else:
            under = either if measure.name == "jaccard" else either + both
            d[i] = np.where(either > 0, (either - both) / np.maximum(under, 1), 0.0)
    return d


def _measured(points, measure):
    return points if measure.kernels == "bits" else np.asarray(points, np.float64)


def measure_distance_blocks(points, queries, measure, budget: int = BLOCK_BYTES):
    """Yields (query ids, float64 distances of those rows of points to every point) in a
    measure (measure_distances)."""
    queries = np.asarray(queries, dtype=np.int64).ravel()
    points = _measured(points, measure)
    step = block_rows(points.shape[0], budget)
    for start in range(0, queries.size, step):
        block = queries[start:start + step]
        yield block, measure_distances(points, points[block], measure)


def smallest_by_id(d: np.ndarray, k: int) -> np.ndarray:
    """Column ids of the k smallest entries of each row of d, ascending, equal values by
    ascending id (exactly, also where ties straddle the k-th place: Hamming distances are
    whole numbers)."""
    if k >= d.shape[1]:
        return np.argsort(d, axis=1, kind="stable")[:, :k]
    kth = np.partition(d, k - 1, axis=1)[:, k - 1]
    out = np.empty((d.shape[0], k), np.int64)
    for i, (row, bound) in enumerate(zip(d, kth)):
        cand = np.flatnonzero(row <= bound)  # ascending ids, every tie of the k-th included
        out[i] = cand[np.argsort(row[cand], kind="stable")[:k]]
    return out


def exact_measure_neighbours(points, k: int, queries, measure, budget: int = BLOCK_BYTES,
                             rows=None):
    """The k nearest other points of each query row in a measure, nearest first, equal
    distances by ascending id: (ids int64, distances float64), as exact_neighbours.

    queries are ids of rows of points; with rows given they index rows instead, new rows
    that are not among the points (so none is skipped as the query itself).
    """
    queries = np.asarray(queries, dtype=np.int64).ravel()
    ids = np.empty((queries.size, k), np.int64)
    dist = np.empty((queries.size, k), np.float64)
    if k == 0:
        return ids, dist
    points = _measured(points, measure)
    step = block_rows(points.shape[0], budget)
    for at in range(0, queries.size, step):
        block = queries[at:at + step]
        d = measure_distances(points, points[block] if rows is None else rows[block], measure)
        if rows is None:
            d[np.arange(block.size), block] = np.inf
        order = smallest_by_id(d, k)
        ids[at:at + block.size] = order
        dist[at:at + block.size] = np.take_along_axis(d, order, axis=1)
    return ids, dist
