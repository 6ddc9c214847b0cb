"""Points of the embedding back to the data: inverse_transform.

A point y of the embedding finds its n_neighbors nearest fitted points there
(an exact k-d tree over the fitted positions), weighs each by the fit's own
membership curve 1 / (1 + a d^(2b)) at its distance d from y, and becomes the
weighted mean of their rows (umap_inverse_points_f32): the row x that
minimises sum_j w_j |x - x_j|^2. bench/inverse_transform.py measured two
refinements of that mean against it on the digits, both worse in squared
error: moving x until its memberships to the neighbours, by their fitted
bandwidths, match the weights (cross-entropy), and a weighted local linear fit
of data against embedding around y, which helps at the fitted points but
throws points that lie off the fitted ones far out. So the mean is the answer.

The mean is formed in the kernels' space and mapped back: the fit's power of
two undone. Cosine and correlation ignore each row's length (and, for
correlation, its mean), so the kernels hold unit rows; the weighted mean of
unit rows, rescaled to unit length, is the direction that is closest on
average to the neighbours' (it maximises sum_j w_j cos(x, x_j)), and the
length and mean it is given are the neighbours' own, weighted alike
(row_frame keeps them at fit time).
"""

from __future__ import annotations

import numpy as np

import _native_vornik as _native

from . import _control
from ._data import BLOCK_BYTES, KernelSpace, rows_have_a_mean


# The metrics whose preparation inverse() undoes: a power of two, and for
# cosine and correlation unit rows (see row_frame).
MAPPED_BACK = ("euclidean", "cosine", "correlation")


def check_metric(metric: str) -> None:
    """Refuses metrics whose rows have no mean in the data space, or none mapped back yet."""
    if not rows_have_a_mean(metric):
        why = ("the model holds distances, not rows" if metric == "precomputed"
               else "a mean of its rows is no row of its data")
        raise ValueError(f"inverse_transform is not defined for metric={metric!r}: {why}")
    if metric not in MAPPED_BACK:
        raise ValueError(f"inverse_transform does not map rows of metric={metric!r} back to the "
                         "data yet")


def row_frame(x: np.ndarray, metric: str, rows=None):
    """What the kernels' unit rows drop of the rows of x: (lengths, means), or None.

    For cosine each row's length (and mean 0), for correlation its mean and the
    length of the centred row; None for metrics whose rows keep both. rows:
    the rows of x to describe (default all), taken a block at a time.
    """
    if metric not in ("cosine", "correlation"):
        return None
    rows = np.arange(x.shape[0]) if rows is None else np.asarray(rows)
    lengths = np.empty(rows.size)
    means = np.zeros(rows.size)
    step = max(1, BLOCK_BYTES // (8 * max(x.shape[1], 1)))
    for lo in range(0, rows.size, step):
        block = x[rows[lo:lo + step]].astype(np.float64)
        # Scaled by the power of two that brings each row's largest magnitude
        # into [1/2, 1), as the fit scaled it: squares of rows of 1e300 or
        # 1e-160 neither overflow nor underflow, and the scale is undone exactly.
        scale = np.frexp(np.abs(block).max(axis=1))[1]
        np.ldexp(block, -scale[:, None], out=block)
        if metric == "correlation":
            mean = block.mean(axis=1)
            block -= mean[:, None]
            means[lo:lo + step] = np.ldexp(mean, scale)
        lengths[lo:lo + step] = np.ldexp(np.sqrt(np.einsum("ij,ij->i", block, block)), scale)
    return lengths, means


def nearest_fitted(positions: np.ndarray, points: np.ndarray, k: int, n_threads: int):
    """The k nearest fitted positions of every point (exact), as int32 ids."""
    from scipy.spatial import cKDTree

    _, ids = cKDTree(positions).query(points, k=k, workers=max(1, n_threads))
    return np.ascontiguousarray(ids.reshape(points.shape[0], k), dtype=np.int32)


def inverse(data: np.ndarray, positions: np.ndarray, space: KernelSpace, frame, points: np.ndarray,
            k: int, a: float, b: float, n_threads: int, verbose: bool = False) -> np.ndarray:
    """Rows of the data space for points (float32, C order) of the embedding: float32, float64
    under cosine and correlation.

    data: the fitted rows in the kernels' space, positions: where they were
    embedded; frame: row_frame of the fitted rows.
    """
    m, (n, d), dim = points.shape[0], data.shape, positions.shape[1]
    k = min(k, n)
    unit_rows = space.metric in ("cosine", "correlation")
    if unit_rows and frame is None:  # a model saved without its rows' frame: directions alone
        frame = np.ones(n), np.zeros(n)
    ids = nearest_fitted(positions, points, k, n_threads)
    out = np.empty((m, d), np.float32)
    weights = np.empty((m, k), np.float32) if unit_rows else None
    status = _control.run(
        _native.umap_inverse_points_f32,
        (data, positions, points, ids, out, weights, n, d, dim, m, k, a, b, n_threads),
        total=m, desc="inverse transform", verbose=verbose, unit="row")
    _control.check_status(status, "inverse transform")
    if not unit_rows:
        return np.ldexp(out, -space.exponent) if space.exponent else out
    return _reframed(out, weights, ids, frame)


def _reframed(out: np.ndarray, weights: np.ndarray, ids: np.ndarray, frame) -> np.ndarray:
    """Unit directions of the weighted means, with their neighbours' weighted lengths and means."""
    lengths, means = frame
    length = np.zeros(out.shape[0])
    mean = np.zeros(out.shape[0])
    for j in range(ids.shape[1]):  # column by column: a row's bits do not depend on the others
        w = weights[:, j].astype(np.float64)
        length += w * lengths[ids[:, j]]
        mean += w * means[ids[:, j]]
    direction = out.astype(np.float64)
    norm = np.sqrt(np.einsum("ij,ij->i", direction, direction))
    direction /= np.where(norm > 0, norm, 1.0)[:, None]
    # float64: the lengths of the rows a fit accepts under these metrics reach beyond float32.
    return mean[:, None] + length[:, None] * direction
