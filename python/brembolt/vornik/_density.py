"""The density-preserving layout: each point's local radius in the data and in the embedding.

A point's local radius is the root of the membership-weighted mean squared
distance to its neighbours in the fuzzy graph: in the data with the distances
of the fit's kNN rows (in the metric's units), in the embedding with the
distances between the embedded points. With densmap=True the layout's last
share of epochs also raises the Pearson correlation of their logarithms
(umap_layout_density_f32), so that clusters that are tight in the data come
out tight and diffuse ones diffuse.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp


@dataclass(frozen=True)
class DensityTerm:
    """The density term of a layout, as umap_layout_density_f32 takes it."""

    radius: np.ndarray  # float32, one per vertex, positive
    strength: float
    epochs: int  # the last epochs it acts on
    variance_shift: float


def term(radius: np.ndarray, strength: float, share: float, shift: float,
         n_epochs: int) -> DensityTerm:
    """The term over the last share of n_epochs (at least one epoch), on kernel radii."""
    epochs = int(min(n_epochs, max(1, round(share * n_epochs))))
    return DensityTerm(kernel_radius(radius), float(strength), epochs, float(shift))


def data_radius(graph: sp.csr_matrix, knn_idx: np.ndarray, knn_dist: np.ndarray) -> np.ndarray:
    """Each vertex's local radius in the data: over its graph edges, weighted by membership.

    An edge's distance is that of the kNN entry it comes from (either
    direction: the graph holds an edge where either end lists the other).
    """
    n = graph.shape[0]
    rows = np.repeat(np.arange(n), knn_idx.shape[1])
    cols = knn_idx.ravel()
    keep = (cols >= 0) & (cols != rows)
    # An explicit entry even at distance 0, so that maximum() keeps every pair.
    d = np.asarray(knn_dist, np.float64).ravel()[keep] + 1.0
    dist = sp.csr_matrix((d, (rows[keep], cols[keep])), shape=(n, n))
    dist.sum_duplicates()
    dist = dist.maximum(dist.T).tocsr()
    dist.data -= 1.0
    return _weighted_rms(graph, dist.multiply(dist).tocsr())


def embedding_radius(graph: sp.csr_matrix, embedding: np.ndarray) -> np.ndarray:
    """Each vertex's local radius in the embedding, over the same edges and weights."""
    g = graph.tocoo()
    y = np.asarray(embedding, np.float64)
    sq = np.zeros(g.nnz)
    for t in range(y.shape[1]):
        sq += (y[g.row, t] - y[g.col, t]) ** 2
    return _weighted_rms(graph, sp.csr_matrix((sq, (g.row, g.col)), shape=graph.shape))


def _weighted_rms(graph: sp.csr_matrix, squares: sp.csr_matrix) -> np.ndarray:
    """sqrt(sum_j w_ij s_ij / sum_j w_ij) per row (NaN for a row without edges)."""
    weights = graph.astype(np.float64)
    total = np.asarray(weights.sum(axis=1)).ravel()
    weighted = np.asarray(weights.multiply(squares).sum(axis=1)).ravel()
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.sqrt(weighted / total)


def kernel_radius(radius: np.ndarray) -> np.ndarray:
    """Radii as the kernel takes them, positive and finite: a radius of 0 (every neighbour a
    copy of the point) or none (no edges) takes the smallest positive one, or 1 if none is."""
    r = np.asarray(radius, np.float64)
    good = np.isfinite(r) & (r > 0)
    floor = r[good].min() if good.any() else 1.0
    out = np.where(good, r, floor).astype(np.float32)
    return np.where(out > 0, out, np.float32(np.finfo(np.float32).tiny))


def log_correlation(a: np.ndarray, b: np.ndarray) -> float:
    """The Pearson correlation of log a and log b over the points where both are positive."""
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    good = np.isfinite(a) & np.isfinite(b) & (a > 0) & (b > 0)
    return float(np.corrcoef(np.log(a[good]), np.log(b[good]))[0, 1])
