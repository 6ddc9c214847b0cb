"""Quality measures of an embedding: trustworthiness and a k-NN classifier's accuracy.

Neither ever holds n^2 numbers: the embedding's neighbours come from a k-d
tree, and the data's distances are formed block by block for the rows
measured.
"""

from __future__ import annotations

import numpy as np
from scipy.spatial import cKDTree

from . import _metrics
from ._data import _unit_rows
from ._labels import class_codes, label_array
from .neighbours import (as_centred_float64, exact_neighbours, measure_distance_blocks,
                         sq_distance_blocks)

# Above this many rows trustworthiness is estimated by default, from
# DEFAULT_SAMPLE rows drawn at random: the exact measure ranks every row
# against every other, n^2 work.
SAMPLE_ABOVE = 5_000
DEFAULT_SAMPLE = 5_000
# Extra neighbours fetched from the tree, so that points tied with the k-th
# can be ranked by id, as the exact search ranks them.
TIE_MARGIN = 8
QUERY_ROWS = 65_536  # rows per tree query: bounds the neighbour arrays of one step


def trustworthiness(X, embedding, n_neighbors: int = 15, sample="auto", random_state=0,
                    metric: str = "euclidean", metric_params=None) -> float:
    """How far the embedding's neighbourhoods are true neighbourhoods of X.

    1 means every point's `n_neighbors` nearest points in the embedding are
    among its `n_neighbors` nearest in X; each intruder is penalised by how
    far down X's ranking it sits (equal distances rank by ascending id).

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features)
        The data, or with ``metric="precomputed"`` the square matrix of distances.
    embedding : array-like of shape (n_samples, n_components)
        The embedding of X.
    n_neighbors : int, default=15
        The neighbourhood size, at least 1 and below n_samples / 2.
    sample : "auto", int or None, default="auto"
        How many rows to measure. None measures every row: the exact measure,
        n^2 work but never n^2 memory. An int estimates it from that many rows
        drawn with `random_state`. "auto" is exact up to 5,000 rows and an
        estimate from 5,000 rows above that.
    random_state : int, default=0
        Seed of the rows drawn for an estimate.
    metric : str, default="euclidean"
        The estimator's metric: X's rows are ranked by its distances (any of
        the estimator's metrics), or X is a square matrix of distances
        ("precomputed").
    metric_params : dict, optional
        The metric's settings, as the estimator takes them (p, V, VI); the
        defaults are derived from X as a fit derives them.

    Returns
    -------
    float
        The trustworthiness, in [0, 1].

    Examples
    --------
    >>> import numpy as np
    >>> from brembolt.vornik import trustworthiness
    >>> x = np.random.default_rng(0).normal(size=(200, 5))
    >>> trustworthiness(x, x[:, :2], n_neighbors=10) < trustworthiness(x, x, n_neighbors=10)
    True
    """
    X, measure = _ranked_rows(X, metric, metric_params)
    E = np.asarray(embedding, dtype=np.float64)
    n, k = X.shape[0], int(n_neighbors)
    if E.shape[0] != n:
        raise ValueError("X and embedding must have the same number of rows")
    if not 1 <= k < n / 2:
        raise ValueError("n_neighbors must be at least 1 and below n_samples / 2")
    if isinstance(sample, str):
        if sample != "auto":
            raise ValueError(f"sample must be 'auto', an int or None, got {sample!r}")
        sample = DEFAULT_SAMPLE if n > SAMPLE_ABOVE else None
    if sample is None or sample >= n:
        queries = np.arange(n)
    else:
        queries = np.sort(np.random.default_rng(random_state).choice(n, int(sample),
                                                                     replace=False))
    embedded_nn = tree_neighbours(E, k, queries)
    penalty, at = 0, 0
    if metric == "precomputed":
        blocks = ((b, X[b].copy()) for b in np.array_split(queries, max(1, queries.size // 256)))
    elif measure.kernels == "euclidean":
        blocks = sq_distance_blocks(as_centred_float64(X), queries)
    else:
        blocks = measure_distance_blocks(X, queries, measure)
    for block, d2 in blocks:
        d2[np.arange(block.size), block] = np.inf  # a point ranks last in its own row
        for row, nn in zip(d2, embedded_nn[at:at + block.size]):
            penalty += int(np.maximum(_ranks(row, nn) - k, 0).sum())
        at += block.size
    m = queries.size
    return float(1.0 - 2.0 / (m * k * (2.0 * n - 3.0 * k - 1.0)) * penalty)


def _ranked_rows(X, metric: str, metric_params):
    """X's rows as they rank under metric, and the measure that ranks them: the rows the
    estimator hands its kernels, before any power of two (bit rows packed)."""
    if metric not in _metrics.METRICS:
        raise ValueError(f"metric must be one of {', '.join(map(repr, _metrics.METRICS))}, got "
                         f"{metric!r}")
    if metric in _metrics.BINARY:
        x = np.asarray(X)
        return _metrics.packed_rows(metric, x.reshape(x.shape[0], -1)), _metrics.measure(metric)
    x = np.asarray(X, dtype=np.float64)
    params = _metrics.check_params(metric, metric_params, x.shape[1] if x.ndim == 2 else 0)
    measure = _metrics.measure(metric, params.get("p", 2.0))
    if metric in ("cosine", "correlation"):
        x = _unit_rows(x, metric)
    elif metric in ("hellinger", "haversine", "seuclidean", "mahalanobis"):
        x = _metrics.mapped_rows(metric, x, _metrics.linear_map(metric, x, params))
    return np.asarray(x, dtype=np.float64), measure


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


def tree_neighbours(points: np.ndarray, k: int, queries=None) -> np.ndarray:
    """The k nearest other points of each query row (ids, nearest first), from a k-d tree.

    The exact search's answer (equal distances by ascending id, a point never
    its own neighbour), at the cost of a tree query: rows whose ties reach
    past the extra neighbours fetched are searched exhaustively.
    """
    n = points.shape[0]
    rows = np.arange(n) if queries is None else np.asarray(queries, np.int64)
    tree = cKDTree(points)
    wide = min(n, k + 1 + TIE_MARGIN)
    out = np.empty((rows.size, k), np.int64)
    for start in range(0, rows.size, QUERY_ROWS):
        block = rows[start:start + QUERY_ROWS]
        dist, ids = tree.query(points[block], wide, workers=-1)
        ids, dist = ids.reshape(block.size, wide), dist.reshape(block.size, wide)
        dist = np.where(ids == block[:, None], np.inf, dist)  # the point itself goes last
        order = np.lexsort((ids, dist), axis=1)
        ids = np.take_along_axis(ids, order, axis=1)[:, :k]
        dist = np.take_along_axis(dist, order, axis=1)
        out[start:start + block.size] = ids
        # A tie at the k-th distance that reaches the last point fetched may
        # hide points of lower id beyond it.
        unsure = np.flatnonzero((dist[:, k - 1] == dist[:, wide - 2]) & (wide < n))
        if unsure.size:
            out[start + unsure] = exact_neighbours(points, k, block[unsure])[0]
    return out


def knn_accuracy(embedding, labels, n_neighbors: int = 10) -> float:
    """Leave-one-out accuracy of a majority-vote k-NN classifier on the embedding.

    Each labelled point is classified by the labels of its `n_neighbors`
    nearest other labelled points (a tie between classes goes to the first in
    natural order). Unlabelled points (-1, None, NaN: as for the estimator's
    y) neither vote nor count.

    Parameters
    ----------
    embedding : array-like of shape (n_samples, n_components)
    labels : array-like of shape (n_samples,)
        Class labels, coded by value as the estimator codes y.
    n_neighbors : int, default=10
        At least 1 and below the number of labelled points.

    Returns
    -------
    float
        The share of labelled points classified right, in [0, 1].

    Examples
    --------
    >>> from brembolt.vornik import knn_accuracy
    >>> knn_accuracy([[0.0], [0.1], [0.2], [5.0], [5.1], [5.2]], ["a", "a", "a", "b", "b", -1],
    ...              n_neighbors=1)
    1.0
    """
    E = np.asarray(embedding, dtype=np.float64)
    values = label_array(labels)
    if values.shape[0] != E.shape[0]:
        raise ValueError("labels must have one entry per row of the embedding")
    _, codes = class_codes(values)
    labelled = np.flatnonzero(codes >= 0)
    n, k = labelled.size, int(n_neighbors)
    if not 1 <= k < n:
        raise ValueError("n_neighbors must be at least 1 and below the number of labelled points")
    codes = codes[labelled]
    nn = tree_neighbours(E[labelled], k)
    votes = np.zeros((n, int(codes.max()) + 1), np.int64)
    np.add.at(votes, (np.repeat(np.arange(n), k), codes[nn].ravel()), 1)
    return int((votes.argmax(axis=1) == codes).sum()) / n


def local_radii(model):
    """Each point's local radius in the data and in the embedding of a fitted UMAP.

    A point's local radius is the root of its membership-weighted mean squared
    distance to its neighbours in ``model.graph_``: in the data with the
    distances of the fit's kNN rows (in the metric's units), in the embedding
    with those between the embedded points. A plain layout gives every cluster
    about the same radii, whatever its density in the data; ``densmap=True``
    ties the two (and keeps them as ``data_radius_`` and ``embedding_radius_``).

    Parameters
    ----------
    model : UMAP
        A fitted estimator.

    Returns
    -------
    data, embedding : ndarray of shape (n_samples,), float32

    Examples
    --------
    >>> import numpy as np
    >>> from brembolt.vornik import UMAP, local_radii
    >>> X = np.random.default_rng(0).normal(size=(300, 5)) * np.repeat([1.0, 4.0], 150)[:, None]
    >>> data, emb = local_radii(UMAP(random_state=0, n_epochs=100).fit(X))
    >>> bool(data[150:].mean() > 2 * data[:150].mean())   # the second half is 4x as spread
    True
    """
    from . import _density

    first = model.unique_rows_
    positions = model.embedding_ if first is None else model.embedding_[first]
    data = _density.data_radius(model.graph_, model.knn_indices_, model.knn_dists_)
    emb = _density.embedding_radius(model.graph_, positions)
    expand = slice(None) if first is None else model.unique_inverse_
    return data.astype(np.float32)[expand], emb.astype(np.float32)[expand]
