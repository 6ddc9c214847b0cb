"""New points: the three methods behind transform, and UMAP.transform, pickling, pipelines."""

import dataclasses
import pickle
import re

import joblib
import numpy as np
import pytest
from sklearn.exceptions import NotFittedError
from sklearn.neighbors import KNeighborsClassifier
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

import _native_vornik as nv
from brembolt.vornik import UMAP
from brembolt.vornik import _transform
from brembolt.vornik._data import prepare

from conftest import bits


def blobs(n, dim=6, seed=0, centres_seed=0):
    centres = np.random.default_rng(centres_seed).normal(scale=8.0, size=(4, dim))
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, 4, n)
    return (centres[labels] + rng.normal(size=(n, dim))).astype(np.float32), labels


@pytest.fixture(scope="module")
def fitted():
    x, labels = blobs(400)
    return UMAP(n_neighbors=10, random_state=1, n_epochs=60, n_jobs=2).fit(x), x, labels


# ---------------------------------------------------------------------------
# The methods
# ---------------------------------------------------------------------------


def query(x, graph, pivots, q, idx, dist, k=3, beam=6, entries=2, threads=2):
    return nv.knn_query_f32(x, graph, pivots, q, idx, dist, x.shape[0], x.shape[1],
                            graph.shape[1], pivots.size, q.shape[0], k, beam, entries, threads)


def small_index(n=50, d=4, width=4):
    rng = np.random.default_rng(3)
    x = rng.normal(size=(n, d)).astype(np.float32)
    graph = ((np.arange(n)[:, None] + np.arange(1, width + 1)) % n).astype(np.int32)
    return x, graph, np.arange(n, dtype=np.int32)


def test_query_with_every_point_a_pivot_is_exact_and_sorted():
    x, graph, pivots = small_index()
    q = np.random.default_rng(4).normal(size=(20, 4)).astype(np.float32)
    idx = np.empty((20, 3), np.int32)
    dist = np.empty((20, 3), np.float32)
    assert query(x, graph, pivots, q, idx, dist) == 0
    d2 = ((q[:, None, :].astype(np.float64) - x[None]) ** 2).sum(-1)
    np.testing.assert_array_equal(idx, np.argsort(d2, axis=1, kind="stable")[:, :3])
    np.testing.assert_allclose(dist, np.sort(d2, axis=1)[:, :3], rtol=1e-5)


def test_query_refuses_bad_sizes_ids_and_overlap_before_running():
    x, graph, pivots = small_index()
    q = x[:5].copy()
    idx, dist = np.full((5, 3), 7, np.int32), np.full((5, 3), 7, np.float32)
    with pytest.raises(ValueError,
                       match="^n, d, width, n_pivots, n_queries, and k must be positive$"):
        nv.knn_query_f32(x, graph, pivots, q, idx, dist, 50, 4, 4, 50, 0, 3, 6, 2, 1)
    with pytest.raises(ValueError, match="^graph must be a C-contiguous buffer with itemsize 4 "
                                         "and at least 200 items$"):
        query(x, graph[:-1], pivots, q, idx, dist)
    bad = graph.copy()
    bad[3, 1] = 50
    with pytest.raises(ValueError, match=r"^graph ids must be in \[-1, n\)$"):
        query(x, bad, pivots, q, idx, dist)
    with pytest.raises(ValueError, match=r"^pivot ids must be in \[0, n\)$"):
        query(x, graph, np.array([0, -1], np.int32), q, idx, dist)
    shared = np.zeros(5 * 4 + 15, np.float32)
    with pytest.raises(ValueError, match="^dist and queries must not overlap$"):
        query(x, graph, pivots, shared[:20].reshape(5, 4), idx, shared[17:32].reshape(5, 3))
    assert (idx == 7).all() and (dist == 7).all()
    big = np.empty((5, 51), np.int32), np.empty((5, 51), np.float32)
    assert query(x, graph, pivots, q, *big, k=51) == -1  # more than the training rows


def test_memberships_give_the_nearest_weight_one_row_by_row():
    idx = np.array([[0, 1, 2, 3], [5, 2, -1, 1], [1, 0, 3, 2]], np.int32)
    dist = np.array([[0.5, 0.7, 1.0, 2.0], [0.0, 0.0, 3.0, 4.0], [1.0, 1.5, 1.6, 3.0]], np.float32)
    vals = np.empty_like(dist)
    assert nv.umap_query_memberships_f32(idx, dist, vals, 3, 4) is None
    # Row 0 lists training point 0: bipartite, an ordinary neighbour.
    assert vals[0, 0] == 1.0 and vals[1, 0] == vals[1, 1] == 1.0 and vals[1, 2] == 0.0
    assert (np.diff(vals[[0, 2]], axis=1) < 0).all()
    alone = np.empty((1, 4), np.float32)
    nv.umap_query_memberships_f32(idx[2:], dist[2:], alone, 1, 4)
    np.testing.assert_array_equal(bits(alone[0]), bits(vals[2]))
    with pytest.raises(ValueError, match="^n_queries and n_neighbors must be positive$"):
        nv.umap_query_memberships_f32(idx, dist, vals, 3, 0)
    with pytest.raises(ValueError, match="^vals and dist must not overlap$"):
        nv.umap_query_memberships_f32(idx, dist, dist, 3, 4)


def layout(emb, ref, tail, eps, keys, n_epochs=10, rate=5.0, threads=2):
    return nv.umap_layout_new_points_f32(emb, ref, tail, eps, keys, emb.shape[0], ref.shape[0],
                                         emb.shape[1], tail.shape[1], n_epochs, 1.58, 0.9, 1.0,
                                         1.0, rate, 3, threads)


def test_new_point_layout_refuses_bad_arguments_and_reports_statuses():
    rng = np.random.default_rng(5)
    ref = rng.normal(size=(30, 2)).astype(np.float32)
    emb = rng.normal(size=(6, 2)).astype(np.float32)
    tail = rng.integers(0, 30, size=(6, 3)).astype(np.int32)
    eps = np.ones((6, 3), np.float32)
    keys = np.arange(6, dtype=np.uint64)
    before = emb.copy()
    with pytest.raises(ValueError, match="^keys must be a C-contiguous buffer with itemsize 8 "
                                         "and at least 6 items$"):
        layout(emb, ref, tail, eps, keys.astype(np.uint32))
    bad = tail.copy()
    bad[2, 2] = 30
    with pytest.raises(ValueError, match=r"^tail ids must be in \[-1, n_reference\)$"):
        layout(emb, ref, bad, eps, keys)
    with pytest.raises(ValueError, match="^embedding and reference must not overlap$"):
        layout(ref[:6], ref, tail, eps, keys)
    with pytest.raises(ValueError, match="^n_points, n_reference, dim, width, and n_epochs "
                                         "must be positive$"):
        layout(emb, ref, tail, eps, keys, n_epochs=0)
    assert layout(emb, ref, tail, eps, keys, rate=0.0) == -1
    np.testing.assert_array_equal(emb, before)
    assert layout(emb, ref, tail, eps, keys) == 0 and not np.array_equal(emb, before)


# ---------------------------------------------------------------------------
# UMAP.transform
# ---------------------------------------------------------------------------


def test_transform_refuses_unfitted_models_wrong_widths_and_non_finite_rows(fitted):
    model, x, _ = fitted
    with pytest.raises(NotFittedError):
        UMAP().transform(x)
    with pytest.raises(ValueError, match="X has 5 features, but UMAP is expecting 6 features"):
        model.transform(x[:, :5])
    for bad in (np.nan, np.inf, 1e39):
        rows = x[:3].astype(np.float64)
        rows[1, 2] = bad
        with pytest.raises(ValueError, match="NaN|infinity"):
            model.transform(rows)


def test_training_rows_land_where_the_fit_put_them_new_rows_near_their_cluster(fitted):
    model, x, labels = fitted
    np.testing.assert_array_equal(bits(model.transform(x)), bits(model.embedding_))
    new, new_labels = blobs(200, seed=9)
    y = model.transform(new)
    assert y.dtype == np.float32 and y.shape == (200, 2) and np.isfinite(y).all()
    clf = KNeighborsClassifier(10).fit(model.embedding_, labels)
    assert clf.score(y, new_labels) >= 0.97


def test_a_rows_place_depends_on_that_row_alone(fitted):
    model, x, _ = fitted
    new, _ = blobs(60, seed=11)
    new[5] = x[7]  # a training row among new ones
    whole = model.transform(new)
    order = np.random.default_rng(0).permutation(60)
    for n_jobs in (1, 3):
        model.set_params(n_jobs=n_jobs)
        np.testing.assert_array_equal(bits(model.transform(new[order])), bits(whole[order]))
    model.set_params(n_jobs=2)
    for r in (0, 5, 59):
        np.testing.assert_array_equal(bits(model.transform(new[r:r + 1])[0]), bits(whole[r]))
    np.testing.assert_array_equal(whole[5], model.embedding_[7])


def test_without_the_identical_row_rule_training_rows_land_near_their_place(fitted):
    model, x, _ = fitted
    again = _transform.place(model._fitted(), x, 2, exact_rows=False)
    shift = np.linalg.norm(again - model.embedding_, axis=1)
    extent = np.ptp(model.embedding_, axis=0).max()
    assert np.median(shift) < 0.05 * extent


def test_a_pickled_model_transforms_bit_identically(fitted, tmp_path):
    model, x, _ = fitted
    new, _ = blobs(50, seed=12)
    want = model.transform(new)
    again = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(bits(again.transform(new)), bits(want))
    joblib.dump(model, tmp_path / "model.joblib")
    loaded = joblib.load(tmp_path / "model.joblib", mmap_mode="r")  # read-only arrays
    np.testing.assert_array_equal(bits(loaded.transform(new)), bits(want))
    # A model saved before the search forest existed builds the same one.
    older = pickle.loads(pickle.dumps(model))
    older._reference = dataclasses.replace(older._reference, tree_order=None, tree_splits=None,
                                           tree_thresholds=None, tree_leaf_size=0)
    older = pickle.loads(pickle.dumps(older))
    np.testing.assert_array_equal(bits(older.transform(new)), bits(want))


def test_new_points_of_many_tight_clusters_find_their_own_cluster():
    # A walk from a few pivots stays among the clusters near them: here it
    # left half of the new points without one true neighbour.
    rng = np.random.default_rng(4)
    centres = rng.normal(size=(400, 20))
    x = (np.repeat(centres, 10, axis=0) + rng.normal(0, 0.01, (4000, 20))).astype(np.float32)
    new = (centres[rng.integers(0, 400, 300)] + rng.normal(0, 0.01, (300, 20))).astype(np.float32)
    model = UMAP(n_neighbors=10, random_state=0, n_epochs=20, n_jobs=2).fit(x)
    ref = _transform.index(model._fitted())
    rows = prepare(new, "euclidean", model._kernel_space).points  # as the fit's rows
    idx, _ = _transform.query(ref, rows, 10, 2)
    d2 = ((new[:, None, :].astype(np.float64) - x[None, :, :]) ** 2).sum(axis=2)
    exact = np.argsort(d2, axis=1)[:, :10]
    per_row = np.array([len(set(a) & set(b)) for a, b in zip(idx, exact)]) / 10
    assert per_row.mean() >= 0.9 and per_row.min() > 0


def with_nan(a, at):
    a = a.copy()
    a[at] = np.nan
    return a


@pytest.mark.parametrize("change, message", [
    (lambda m: setattr(m._reference, "data", m._reference.data.astype(np.float64)),
     "_reference.data has dtype float64, not float32"),
    (lambda m: setattr(m._reference, "data", with_nan(m._reference.data, (3, 1))),
     "_reference.data holds NaN"),
    (lambda m: setattr(m, "embedding_", with_nan(m.embedding_, 7)), "embedding_ holds NaN"),
    (lambda m: setattr(m, "a_", float("nan")), "a_ is nan"),
    (lambda m: setattr(m, "_kernel_space", dataclasses.replace(m._kernel_space, exponent=10**6)),
     "_kernel_space.exponent is 1000000"),
    (lambda m: setattr(m, "knn_indices_", m.knn_indices_[:-1]), "knn_indices_ has shape"),
    (lambda m: setattr(m._reference, "graph", m._reference.graph + 400), "_reference.graph holds"),
    (lambda m: setattr(m, "n_features_in_", 5), "_reference.data has shape"),
    (lambda m: setattr(m._reference, "tree_order", m._reference.tree_order + 400),
     "_reference.tree_order holds"),
    (lambda m: m._reference.tree_splits.__setitem__((0, 0, 0), -1),
     "_reference.tree_splits holds a pair"),
    (lambda m: setattr(m._reference, "tree_thresholds",
                       m._reference.tree_thresholds.astype(np.float64)),
     "_reference.tree_thresholds has dtype float64"),
])
def test_a_loaded_model_in_a_state_no_fit_makes_is_refused_by_name(fitted, change, message):
    model, x, _ = fitted
    model.transform(x[:1])  # builds the index the pickle carries
    copy = pickle.loads(pickle.dumps(model))
    change(copy)
    with pytest.raises(ValueError, match="the loaded model is invalid: " + re.escape(message)):
        pickle.loads(pickle.dumps(copy))


def test_umap_as_a_middle_step_of_a_pipeline():
    x, labels = blobs(300, seed=2)
    new, new_labels = blobs(100, seed=3)
    pipe = make_pipeline(StandardScaler(), UMAP(n_neighbors=10, random_state=0, n_epochs=60),
                         KNeighborsClassifier(10))
    assert pipe.fit(x, labels).score(new, new_labels) >= 0.97


def test_transform_epochs_zero_places_rows_at_their_start(fitted):
    model, _, _ = fitted
    new, _ = blobs(30, seed=13)
    model.set_params(transform_epochs=0)
    try:
        start = model.transform(new)
    finally:
        model.set_params(transform_epochs=UMAP().transform_epochs)
    assert not np.array_equal(start, model.transform(new))
    ref = _transform.build_index(model._reference, model.knn_indices_, model.knn_dists_)
    idx, sq = _transform.query(ref, new, model.knn_indices_.shape[1], 1)
    w = _transform.memberships(idx, np.sqrt(sq)).astype(np.float64)
    mean = (w[:, :, None] * model.embedding_[idx]).sum(1) / w.sum(1)[:, None]
    np.testing.assert_allclose(start, mean, rtol=1e-5, atol=1e-5)
