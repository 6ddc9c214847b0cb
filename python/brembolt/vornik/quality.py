"""Quality measures of an embedding."""

from __future__ import annotations

import numpy as np
from sklearn import manifold

from ._data import _unit_rows
from .neighbours import as_centred_float64, exact_neighbours, sq_distance_blocks


def trustworthiness(X, embedding, n_neighbors: int = 15, sample: int | None = None,
                    random_state=0, metric: str = "euclidean") -> float:
    """How far the embedding's neighbourhoods are true neighbourhoods of X, in [0, 1].

    1 means every point's n_neighbors nearest points in the embedding are among
    its n_neighbors nearest in X; each intruder is penalised by how far down
    X's ranking it sits. Without sample this is scikit-learn's measure, which
    holds all n^2 distances in memory; with sample set, that many query points
    (drawn with random_state) estimate it block by block, which keeps large
    inputs affordable. metric is the estimator's: X's rows are ranked by
    cosine or correlation distance, or X is a square matrix of distances.
    """
    X = np.asarray(X, dtype=np.float64)
    E = np.asarray(embedding, dtype=np.float64)
    if metric in ("cosine", "correlation"):
        X = _unit_rows(X, metric).astype(np.float64)  # ranks as the metric's distances do
    n, k = X.shape[0], int(n_neighbors)
    if E.shape[0] != n:
        raise ValueError("X and embedding must have the same number of rows")
    if not 1 <= k < n / 2:
        raise ValueError("n_neighbors must be at least 1 and below n_samples / 2")
    precomputed = metric == "precomputed"
    if sample is None or sample >= n:
        return float(manifold.trustworthiness(X, E, n_neighbors=k,
                                              metric="precomputed" if precomputed else "euclidean"))
    queries = np.sort(np.random.default_rng(random_state).choice(n, sample, replace=False))
    embedded_nn, _ = exact_neighbours(E, k, queries)
    penalty, at = 0, 0
    blocks = (((b, X[b].copy()) for b in np.array_split(queries, max(1, queries.size // 256)))
              if precomputed else sq_distance_blocks(as_centred_float64(X), queries))
    for block, d2 in blocks:
        d2[np.arange(block.size), block] = np.inf  # a point ranks last in its own row
        for row, nn in zip(d2, embedded_nn[at:at + block.size]):
            penalty += int(np.maximum(_ranks(row, nn) - k, 0).sum())
        at += block.size
    m = queries.size
    return float(1.0 - 2.0 / (m * k * (2.0 * n - 3.0 * k - 1.0)) * penalty)


def _ranks(d2: np.ndarray, ids: np.ndarray) -> np.ndarray:
    """1-based ranks of points ids in one row of distances, ties by ascending id.

    The ranks a stable sort of the row would give, without sorting it: only
    the points no farther than the farthest of ids can rank before one of
    them, and those are usually few.
    """
    t = d2[ids]
    near = np.flatnonzero(d2 <= t.max())
    dn = d2[near]
    before = (dn[None, :] < t[:, None]) | ((dn[None, :] == t[:, None]) & (near[None, :] < ids[:, None]))
    return before.sum(axis=1) + 1


def knn_accuracy(embedding, labels, n_neighbors: int = 10) -> float:
    """Leave-one-out accuracy of a majority-vote n_neighbors-NN classifier on the embedding."""
    E = np.asarray(embedding, dtype=np.float64)
    _, codes = np.unique(np.asarray(labels), return_inverse=True)
    codes = codes.ravel()
    n, k = E.shape[0], int(n_neighbors)
    if codes.size != n:
        raise ValueError("labels must have one entry per row of the embedding")
    if not 1 <= k < n:
        raise ValueError("n_neighbors must be at least 1 and below n_samples")
    nn, _ = exact_neighbours(E, k)
    votes = np.zeros((n, int(codes.max()) + 1), np.int64)
    np.add.at(votes, (np.repeat(np.arange(n), k), codes[nn].ravel()), 1)
    return int((votes.argmax(axis=1) == codes).sum()) / n
