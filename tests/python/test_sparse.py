"""Sparse input: neighbours against an exact search of the dense rows, threads, transform,
saved models, knn=, and the matrices that are refused."""

import pickle

import numpy as np
import pytest
import scipy.sparse as sp
from scipy.spatial.distance import cdist

from brembolt.vornik import UMAP

METRICS = ["euclidean", "cosine", "manhattan", "jaccard", "hellinger"]


def documents(n, d=400, seed=0):
    """Rows of a few topics, each holding a handful of positive counts."""
    rng = np.random.default_rng(seed)
    rows, cols, vals = [], [], []
    for i in range(n):
        topic = rng.integers(6)
        terms = np.unique(np.where(rng.random(12) < 0.8,
                                   (topic * (d // 6) + rng.integers(0, 40, 12)) % d,
                                   rng.integers(0, d, 12)))
        rows += [i] * terms.size
        cols += list(terms)
        vals += list(rng.integers(1, 6, terms.size))
    return sp.csr_matrix((np.array(vals, np.float32), (rows, cols)), shape=(n, d))


def reference(X, metric):
    """Distances of the dense rows from scipy's definitions."""
    x = X.toarray().astype(np.float64)
    if metric == "jaccard":
        return cdist(x != 0, x != 0, "jaccard")
    if metric == "hellinger":
        r = np.sqrt(x / x.sum(axis=1, keepdims=True))
        return cdist(r, r) / np.sqrt(2)
    return cdist(x, x, {"euclidean": "euclidean", "cosine": "cosine",
                        "manhattan": "cityblock"}[metric])


@pytest.mark.parametrize("metric", METRICS)
def test_neighbours_match_an_exact_search_of_the_dense_rows(metric):
    # 80 rows: the search is exact; 1,000: the forest, which must find most.
    for n, share in ((80, 1.0), (1000, 0.8)):
        X = documents(n)
        u = UMAP(metric=metric, n_neighbors=10, n_epochs=5, random_state=0).fit(X)
        want = np.sort(reference(X, metric), axis=1)[:, :10]
        got = u.knn_dists_.astype(np.float64)
        assert (u.knn_indices_[:, 0] == np.arange(n)).all()
        np.testing.assert_allclose(got[:, 0], 0.0)
        # Every distance kept is the true distance to that neighbour...
        true = reference(X, metric)[np.arange(n)[:, None], u.knn_indices_]
        np.testing.assert_allclose(got, true, rtol=2e-6, atol=2e-6)
        # ...and the distances found are within the exact k-th.
        hit = (got <= want[:, -1:] + 1e-6).mean()
        assert hit >= share, (metric, n, hit)


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "manhattan", "hellinger"])
def test_sparse_and_dense_rows_have_the_same_neighbours(metric):
    X = documents(80)  # an exact search on both paths; integer counts
    a = UMAP(metric=metric, n_neighbors=10, n_epochs=5, random_state=3).fit(X)
    b = UMAP(metric=metric, n_neighbors=10, n_epochs=5, random_state=3).fit(X.toarray())
    np.testing.assert_allclose(a.knn_dists_, b.knn_dists_, rtol=1e-6, atol=1e-6)


def test_results_do_not_depend_on_the_thread_count_and_survive_pickling():
    X = documents(1200, seed=4)
    fits = [UMAP(metric="cosine", n_epochs=30, random_state=7, n_jobs=j).fit(X) for j in (1, 2)]
    assert np.array_equal(fits[0].knn_indices_, fits[1].knn_indices_)
    assert np.array_equal(fits[0].embedding_, fits[1].embedding_)
    u = fits[1]
    new = documents(30, seed=9)
    placed = u.transform(new)
    # Each row on its own, in any batch; training rows at their own places.
    assert np.array_equal(np.vstack([u.transform(new[i]) for i in range(5)]), placed[:5])
    assert np.array_equal(u.transform(X[:20]), u.embedding_[:20])
    loaded = pickle.loads(pickle.dumps(u))
    assert np.array_equal(loaded.transform(new), placed)
    # A saved model's CSR arrays are checked as it loads.
    state = u.__getstate__()
    state["_reference"].indices = state["_reference"].indices[::-1].copy()
    with pytest.raises(ValueError, match="_reference"):
        UMAP().__setstate__(state)


def test_knn_and_pieces_of_a_sparse_fit():
    X = documents(400, seed=5)
    u = UMAP(metric="jaccard", n_epochs=20, random_state=1).fit(X)
    v = UMAP(metric="jaccard", n_epochs=20, random_state=1).fit(
        X, knn=(u.knn_indices_, u.knn_dists_))
    assert np.array_equal(u.embedding_, v.embedding_)
    # Two blocks of columns no row shares: the graph has two pieces, each
    # placed by the data's centres without a dense copy.
    two = sp.block_diag([documents(150, 200, 1), documents(150, 200, 2)], format="csr")
    e = UMAP(metric="cosine", n_neighbors=5, n_epochs=20, random_state=1).fit_transform(two)
    assert np.isfinite(e).all()


def test_matrices_and_metrics_that_are_refused():
    X = documents(50)
    unsorted = X.copy()
    row = np.flatnonzero(np.diff(unsorted.indptr) >= 2)[0]
    s = unsorted.indptr[row]
    unsorted.indices[s], unsorted.indices[s + 1] = unsorted.indices[s + 1], unsorted.indices[s]
    unsorted.has_sorted_indices = False
    repeated = sp.csr_matrix((np.ones(4, np.float32), np.array([0, 0, 1, 2]),
                              np.array([0, 2, 3, 4])), shape=(3, 5))
    repeated.has_canonical_format = False
    for bad in (unsorted, repeated):
        with pytest.raises(ValueError, match="unsorted or repeated column indices"):
            UMAP(n_neighbors=2).fit(bad)
    negative = X.copy()
    negative.data[3] = -1.0
    with pytest.raises(ValueError, match="hellinger.*rows 0 of X hold negative"):
        UMAP(metric="hellinger").fit(negative)
    with pytest.raises(ValueError, match="sparse X takes metric one of"):
        UMAP(metric="correlation").fit(X)
    zero = sp.vstack([X, sp.csr_matrix((1, X.shape[1]), dtype=np.float32)], format="csr")
    with pytest.raises(ValueError, match="cosine' is undefined for zero rows; rows 50 "):
        UMAP(metric="cosine").fit(zero)
    u = UMAP(metric="manhattan", n_epochs=5).fit(X)
    with pytest.raises(ValueError, match="features"):
        u.transform(documents(3, d=300))
