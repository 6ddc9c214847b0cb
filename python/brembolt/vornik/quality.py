"""Quality measures of an embedding, computed blockwise with NumPy."""

from __future__ import annotations

import numpy as np

BLOCK_BYTES = 64 << 20


def _block_rows(n: int) -> int:
    return max(1, min(n, BLOCK_BYTES // (8 * max(n, 1))))


def _sq_distances(queries: np.ndarray, points: np.ndarray, sq_points: np.ndarray) -> np.ndarray:
    q = queries.astype(np.float64)
    d2 = (q * q).sum(1)[:, None] + sq_points[None, :] - 2.0 * (q @ points.T)
    return np.maximum(d2, 0.0)


def _knn_excluding_self(queries_idx, data, sq, k):
    d2 = _sq_distances(data[queries_idx], data, sq)
    d2[np.arange(queries_idx.size), queries_idx] = np.inf
    part = np.argpartition(d2, k - 1, axis=1)[:, :k]
    return part, d2


def trustworthiness(X, embedding, n_neighbors: int = 15, sample: int | None = None,
                    random_state=0) -> float:
    """How far the embedding's neighbourhoods are true neighbourhoods of X, in [0, 1].

    1 means every point's n_neighbors nearest points in the embedding are among
    its n_neighbors nearest in X; each intruder is penalised by how far down
    X's ranking it sits. With sample set, that many query points (drawn with
    random_state) estimate the measure, which keeps large inputs affordable.
    """
    X = np.asarray(X, dtype=np.float64)
    E = np.asarray(embedding, dtype=np.float64)
    n, k = X.shape[0], int(n_neighbors)
    if E.shape[0] != n:
        raise ValueError("X and embedding must have the same number of rows")
    if not 1 <= k < n / 2:
        raise ValueError("n_neighbors must be at least 1 and below n_samples / 2")
    queries = np.arange(n)
    if sample is not None and sample < n:
        queries = np.sort(np.random.default_rng(random_state).choice(n, sample, replace=False))
    sq_x, sq_e = (X * X).sum(1), (E * E).sum(1)
    penalty = 0.0
    step = _block_rows(n)
    for start in range(0, queries.size, step):
        block = queries[start:start + step]
        d2 = _sq_distances(X[block], X, sq_x)
        d2[np.arange(block.size), block] = -1.0  # self ranks 0
        ranks = np.empty(d2.shape, np.int64)
        np.put_along_axis(ranks, np.argsort(d2, axis=1, kind="stable"),
                          np.arange(n)[None, :], axis=1)
        emb_nn, _ = _knn_excluding_self(block, E, sq_e, k)
        r = np.take_along_axis(ranks, emb_nn, axis=1)
        penalty += np.maximum(r - k, 0).sum()
    m = queries.size
    return float(1.0 - 2.0 / (m * k * (2.0 * n - 3.0 * k - 1.0)) * penalty)


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
    sq = (E * E).sum(1)
    n_classes = int(codes.max()) + 1
    correct = 0
    step = _block_rows(n)
    for start in range(0, n, step):
        block = np.arange(start, min(n, start + step))
        nn, _ = _knn_excluding_self(block, E, sq, k)
        votes = np.zeros((block.size, n_classes), np.int64)
        np.add.at(votes, (np.repeat(np.arange(block.size), k), codes[nn].ravel()), 1)
        correct += int((votes.argmax(axis=1) == codes[block]).sum())
    return correct / n
