"""brembolt.vornik's metric family: neighbours and units against references, threads, transform,
saved models and the inputs each metric refuses."""

import pickle
import re
from dataclasses import replace

import numpy as np
import pytest
from scipy.spatial.distance import cdist

from brembolt.vornik import UMAP, _data, _metrics, _rows, _transform, knn_accuracy, trustworthiness
from brembolt.vornik.neighbours import smallest_by_id

FAST = dict(n_epochs=30, random_state=0, n_jobs=1)
K = 15


def clusters(n=360, dim=12, seed=0):
    rng = np.random.default_rng(seed)
    return rng.normal(scale=5.0, size=(6, dim))[rng.integers(0, 6, n)] + rng.normal(size=(n, dim))


def fingerprints(n=360, bits=200, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.random((6, bits)) < 0.25
    flips = rng.random((n, bits)) < 0.08
    return centres[rng.integers(0, 6, n)] ^ flips


def reference(metric, x, params):
    """Distances between every pair of rows, written from the metrics' definitions."""
    if metric in ("hamming", "jaccard", "dice"):
        a = x.astype(np.float64)
        both = a @ a.T
        ones = a.sum(axis=1)
        differ = ones[:, None] + ones[None, :] - 2 * both
        if metric == "hamming":
            return differ / x.shape[1]
        under = differ + both if metric == "jaccard" else differ + 2 * both
        return np.divide(differ, under, out=np.zeros_like(differ), where=under > 0)
    if metric == "hellinger":
        p = np.sqrt(x / x.sum(axis=1, keepdims=True))
        return np.sqrt(np.maximum(0.0, 1.0 - p @ p.T))
    if metric == "haversine":
        lat, lon = x[:, :1], x[:, 1:]
        h = (np.sin((lat - lat.T) / 2) ** 2
             + np.cos(lat) * np.cos(lat.T) * np.sin((lon - lon.T) / 2) ** 2)
        return 2 * np.arcsin(np.sqrt(np.minimum(1.0, h)))
    if metric == "seuclidean":
        v = params["V"] if params else x.var(axis=0, ddof=1)
        return np.sqrt((((x[:, None] - x[None]) ** 2) / v).sum(axis=2))
    if metric == "mahalanobis":
        vi = np.linalg.inv(np.cov(x, rowvar=False)) if not params else params["VI"]
        diff = x[:, None] - x[None]
        return np.sqrt(np.maximum(0.0, np.einsum("ijk,kl,ijl->ij", diff, vi, diff)))
    p = (params or {}).get("p")
    return {"manhattan": lambda: np.abs(x[:, None] - x[None]).sum(axis=2),
            "chebyshev": lambda: np.abs(x[:, None] - x[None]).max(axis=2),
            "minkowski": lambda: (np.abs(x[:, None] - x[None]) ** p).sum(axis=2) ** (1 / p)}[metric]()


def data_for(metric, seed=0):
    if metric in ("hamming", "jaccard", "dice"):
        return fingerprints(seed=seed)
    if metric == "haversine":
        rng = np.random.default_rng(3 + seed)
        return np.column_stack([rng.uniform(-1.5, 1.5, 360), rng.uniform(-np.pi, np.pi, 360)])
    # Clusters of other draws have the same centres: new rows land among the fitted ones.
    x = clusters() if seed == 0 else clusters() + np.random.default_rng(seed).normal(size=(360, 12))
    return np.abs(x) if metric == "hellinger" else x


CASES = [("manhattan", None), ("chebyshev", None), ("minkowski", {"p": 3}),
         ("minkowski", {"p": 1.5}), ("hellinger", None), ("haversine", None),
         ("seuclidean", None), ("seuclidean", {"V": np.linspace(0.5, 4, 12)}),
         ("mahalanobis", None), ("mahalanobis", {"VI": np.diag(np.linspace(0.5, 4, 12))}),
         ("hamming", None), ("jaccard", None), ("dice", None)]


@pytest.mark.parametrize("metric, params", CASES)
def test_neighbours_and_distances_are_the_metrics_own(metric, params):
    x = data_for(metric)
    model = UMAP(n_neighbors=K, metric=metric, metric_params=params, **FAST).fit(x)
    want = reference(metric, x, params)
    found = np.take_along_axis(want, model.knn_indices_, axis=1)
    # Every reported distance is the metric's distance of that pair, in its units ...
    np.testing.assert_allclose(model.knn_dists_, found, rtol=2e-5, atol=2e-6)
    # ... and the rows are the nearest ones, the point itself first.
    assert (model.knn_indices_[:, 0] == np.arange(len(x))).all()
    np.fill_diagonal(want, np.inf)
    kth = np.sort(want, axis=1)[:, K - 2:K - 1]
    assert (found[:, 1:] <= kth * (1 + 1e-5) + 1e-6).mean() >= 0.98
    tw = trustworthiness(x, model.embedding_, metric=metric, metric_params=params)
    assert tw > 0.8
    # Threads change nothing; the model pickles, and new rows are placed by their own bits.
    again = UMAP(n_neighbors=K, metric=metric, metric_params=params,
                 **{**FAST, "n_jobs": 2}).fit(x)
    np.testing.assert_array_equal(again.embedding_, model.embedding_)
    loaded = pickle.loads(pickle.dumps(model))
    new = data_for(metric, seed=5)[:40]
    placed = loaded.transform(new)
    np.testing.assert_array_equal(placed[5:9], model.transform(new[5:9]))
    np.testing.assert_array_equal(loaded.transform(x[:10]), model.embedding_[:10])
    # A row a little off a training row lands beside it (distances in the fit's units).
    near = x[:40].copy()
    if near.dtype == bool:
        near[:, 0] ^= True
    else:
        near *= 1.001
    shift = np.linalg.norm(model.transform(near) - model.embedding_[:40], axis=1)
    assert np.median(shift) < 0.05 * np.ptp(model.embedding_, axis=0).max()


def test_binary_rows_take_the_packed_path_whatever_their_type():
    x = fingerprints()
    model = UMAP(metric="jaccard", **FAST).fit(x)
    assert model._reference.data.dtype == np.uint64 and model._reference.data.shape == (360, 4)
    for same in (x.astype(np.uint8), x.astype(np.float32), x.astype(np.int64)):
        other = UMAP(metric="jaccard", **FAST).fit(same)
        np.testing.assert_array_equal(other.embedding_, model.embedding_)
    # Rows of two disjoint sets of bits form two pieces, placed apart by their bits' shares.
    two = np.zeros((240, 400), bool)
    two[:120, :200], two[120:, 200:] = fingerprints(120, 200), fingerprints(120, 200, seed=1)
    y = UMAP(metric="jaccard", **FAST).fit_transform(two)
    assert knn_accuracy(y, np.repeat([0, 1], 120), 10) == 1.0
    # New rows find their exact nearest training rows in the metric, in its units.
    new = fingerprints(seed=9)[:20]
    fitted = model._fitted()
    prepared = _data.prepare(new, "jaccard", fitted.space)
    idx, dist = _transform.new_row_neighbours(fitted.reference, fitted.space, prepared.points,
                                              K, 1)
    want = reference("jaccard", np.vstack([new, x]), None)[:20, 20:]
    np.testing.assert_allclose(dist, np.take_along_axis(want, idx, axis=1), atol=1e-12)
    np.testing.assert_allclose(dist, np.sort(want, axis=1)[:, :K], atol=1e-12)


@pytest.mark.parametrize("metric, x, params, message", [
    ("hellinger", -np.eye(20, 4) + 0.5, None, "negative values"),
    ("haversine", np.column_stack([np.linspace(-2, 2, 20), np.zeros(20)]), None,
     "within \\[-pi/2, pi/2\\]"),
    ("haversine", np.zeros((20, 3)), None, "two columns"),
    ("jaccard", np.linspace(0, 1, 80).reshape(20, 4), None, "binary rows"),
    ("hamming", np.full((20, 4), 2), None, "only 0 and 1"),
    ("minkowski", np.eye(20, 4), {"p": 0.5}, "must be a real number >= 1"),
    ("manhattan", np.eye(20, 4), {"p": 3}, "do not apply"),
    ("seuclidean", np.eye(20, 4), {"V": [1.0, 2.0]}, "one variance per column"),
    ("mahalanobis", np.eye(20, 4), {"VI": -np.eye(4)}, "positive definite"),
])
def test_rows_and_settings_a_metric_cannot_take_are_refused_clearly(metric, x, params, message):
    with pytest.raises(ValueError, match=message):
        UMAP(metric=metric, metric_params=params, **FAST).fit(x)


def test_unknown_metrics_are_refused_with_the_accepted_names():
    with pytest.raises(ValueError, match="canberra") as refused:
        UMAP(metric="canberra").fit(np.eye(20, 4))
    assert all(f"'{name}'" in str(refused.value) for name in _metrics.METRICS)


@pytest.mark.parametrize("metric, change, message", [
    ("jaccard", lambda m: setattr(m, "_kernel_space", replace(m._kernel_space, n_bits=300)),
     "_kernel_space.n_bits is 300"),
    ("jaccard", lambda m: setattr(m._reference, "data", m._reference.data[:, :2].copy()),
     "_reference.data has shape"),
    ("minkowski", lambda m: setattr(m, "_kernel_space", replace(m._kernel_space, p=0.5)),
     "_kernel_space.p is 0.5"),
    ("mahalanobis", lambda m: setattr(m, "_kernel_space", replace(m._kernel_space, columns=None)),
     "_kernel_space.columns"),
])
def test_a_loaded_model_with_settings_no_fit_makes_is_refused(metric, change, message):
    params = {"p": 3} if metric == "minkowski" else None
    model = UMAP(metric=metric, metric_params=params, **FAST).fit(data_for(metric))
    copy = pickle.loads(pickle.dumps(model))
    change(copy)
    with pytest.raises(ValueError, match="the loaded model is invalid: " + re.escape(message)):
        pickle.loads(pickle.dumps(copy))


def test_exact_search_breaks_ties_at_the_kth_place_by_id():
    d = np.random.default_rng(0).integers(0, 4, size=(50, 60)).astype(float)  # ties everywhere
    for k in (1, 7, 30, 60):
        np.testing.assert_array_equal(smallest_by_id(d, k),
                                      np.argsort(d, axis=1, kind="stable")[:, :k])
    square = d[:, :50]  # a distance matrix's rows, own column left out
    expect = np.argsort(np.where(np.eye(50, dtype=bool), np.inf, square), axis=1, kind="stable")
    for k in (1, 7, 30):
        ids, dist = _rows.nearest_columns(square, k, skip_diagonal=True)
        np.testing.assert_array_equal(ids, expect[:, :k])
        np.testing.assert_array_equal(dist, np.take_along_axis(square, expect[:, :k], axis=1))
