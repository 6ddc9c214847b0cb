"""The neighbour query in the other measures: knn_query_metric_f32 on dense rows,
knn_query_bits_u64 and knn_search_forest_bits_u64 on packed bit rows, against an exact search
written here; threads and batches that change no bit; transform of saved models in these
metrics; the arguments the methods refuse."""

import dataclasses
import pickle

import numpy as np
import pytest
from scipy.spatial.distance import cdist

import _native_vornik as nv
from brembolt.vornik import UMAP, _transform
from conftest import bits

K, BEAM, ENTRIES, TREES, LEAF = 10, 30, 4, 4, 16
DENSE = [("manhattan", 2.0), ("chebyshev", 2.0), ("minkowski", 3.0), ("minkowski", 1.5)]
BINARY = ["hamming", "jaccard", "dice"]


def dense_rows(n, d=8, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 4, (8, d))
    return np.ascontiguousarray(centres[rng.integers(0, 8, n)] + rng.normal(size=(n, d)),
                                dtype=np.float32)


def bit_rows(n, n_bits=192, seed=0):
    """(packed uint64 words, the rows as booleans): 8 centres, 6 % of each row's bits flipped."""
    rng = np.random.default_rng(seed)
    centres = rng.random((8, n_bits)) < 0.3
    rows = centres[rng.integers(0, 8, n)] ^ (rng.random((n, n_bits)) < 0.06)
    return np.packbits(rows, axis=1, bitorder="little").view(np.uint64), rows


def exact_distances(metric, p, train, queries):
    """Every query row's distances (float64) to every training row, from the definitions:
    Minkowski as its p-th power, Hamming as differing bits (the kernels' units)."""
    if metric in BINARY:
        a, b = queries.astype(np.float64), train.astype(np.float64)
        both = a @ b.T
        differ = a.sum(1)[:, None] + b.sum(1)[None] - 2 * both
        if metric == "hamming":
            return differ
        under = differ + (both if metric == "jaccard" else 2 * both)
        return np.divide(differ, under, out=np.zeros_like(differ), where=under > 0)
    diff = np.abs(queries.astype(np.float64)[:, None] - train.astype(np.float64)[None])
    return {"manhattan": diff.sum(2), "chebyshev": diff.max(2),
            "minkowski": (diff ** p).sum(2)}[metric]


def forest(x, binary, n_threads=2):
    n, d = x.shape
    slots = nv.knn_forest_nodes(n, LEAF)
    order = np.empty((TREES, n), np.int32)
    splits = np.empty((TREES, slots, 2), np.int32)
    thresholds = np.empty((TREES, slots), np.float32)
    build = nv.knn_search_forest_bits_u64 if binary else nv.knn_search_forest_f32
    assert build(x, order, splits, thresholds, n, d, TREES, LEAF, 5, n_threads, None) == 0
    return order, splits, thresholds


def ring_graph(n, width=6):
    """Each point steps to the next width ids: a graph that knows nothing of the rows."""
    return ((np.arange(n)[:, None] + np.arange(1, width + 1)) % n).astype(np.int32)


def run_query(x, graph, pivots, trees, q, metric, p=2.0, n_threads=2, control=None, k=K):
    n, d = x.shape
    idx = np.full((q.shape[0], k), 555, np.int32)
    dist = np.full((q.shape[0], k), -9.0, np.float32)
    args = (x, graph, pivots, *trees, q, idx, dist, n, d, graph.shape[1], pivots.size,
            trees[0].shape[0], LEAF, q.shape[0], k, BEAM, ENTRIES, n_threads, control, metric)
    rc = (nv.knn_query_bits_u64(*args) if x.dtype == np.uint64
          else nv.knn_query_metric_f32(*args, p))
    return rc, idx, dist


def split(rows, plain, n):
    """The first n rows for training, the others as queries (packed and plain)."""
    return (np.ascontiguousarray(rows[:n]), plain[:n], np.ascontiguousarray(rows[n:]),
            plain[n:])


def rows_for(metric, n, seed):
    if metric in BINARY:
        return bit_rows(n, seed=seed)
    x = dense_rows(n, seed=seed)
    return x, x


@pytest.mark.parametrize("metric, p", DENSE + [(m, 0.0) for m in BINARY])
def test_the_query_finds_the_exact_neighbours_in_the_measure(metric, p):
    x, plain, q, q_plain = split(*rows_for(metric, 680, seed=0), 600)  # the same centres
    want = exact_distances(metric, p, plain, q_plain)
    trees = forest(x, metric in BINARY)
    # Every point a pivot: the answer is the exact one, ascending, ties by id.
    rc, idx, dist = run_query(x, ring_graph(600), np.arange(600, dtype=np.int32), trees, q,
                              metric, p)
    assert rc == 0
    np.testing.assert_allclose(dist, np.sort(want, axis=1)[:, :K], rtol=2e-6)
    np.testing.assert_allclose(dist, np.take_along_axis(want, idx, axis=1), rtol=2e-6)
    assert (np.diff(dist, axis=1) >= 0).all()
    # A few pivots, a graph of the fit's kind (each point's nearest others) and the forest:
    # nearly every neighbour is as near as the exact k-th.
    self_d = exact_distances(metric, p, plain, plain)
    np.fill_diagonal(self_d, np.inf)
    graph = np.argsort(self_d, axis=1, kind="stable")[:, :12].astype(np.int32)
    pivots = np.arange(0, 600, 40, dtype=np.int32)
    rc, idx, dist = run_query(x, graph, pivots, trees, q, metric, p)
    kth = np.sort(want, axis=1)[:, K - 1:K]
    assert rc == 0 and (np.take_along_axis(want, idx, axis=1) <= kth * (1 + 1e-6)).mean() >= 0.98


@pytest.mark.parametrize("metric, p", [("minkowski", 3.0), ("jaccard", 0.0)])
def test_threads_and_batches_change_no_bit(metric, p):
    x, _, q, _ = split(*rows_for(metric, 920, seed=2), 800)
    binary = metric in BINARY
    trees = forest(x, binary, n_threads=1)
    for a, b in zip(trees, forest(x, binary, n_threads=3)):
        assert a.tobytes() == b.tobytes()
    graph, pivots = ring_graph(800), np.arange(0, 800, 50, dtype=np.int32)
    control = np.zeros(2, np.int64)
    _, idx1, dist1 = run_query(x, graph, pivots, trees, q, metric, p, n_threads=1)
    rc, idx3, dist3 = run_query(x, graph, pivots, trees, q, metric, p, n_threads=3,
                                control=control)
    assert rc == 0 and control.tolist() == [120, 0]
    assert idx1.tobytes() == idx3.tobytes() and bits(dist1).tobytes() == bits(dist3).tobytes()
    # A row's answer is the same alone as among the others.
    _, idx_part, dist_part = run_query(x, graph, pivots, trees, np.ascontiguousarray(q[37:41]),
                                       metric, p)
    assert idx_part.tobytes() == idx1[37:41].tobytes()
    assert bits(dist_part).tobytes() == bits(dist1[37:41]).tobytes()


@pytest.mark.parametrize("metric", ["manhattan", "jaccard"])
def test_a_saved_model_transforms_the_same_bits_with_or_without_its_forest(metric):
    _, x, _, new = split(*rows_for(metric, 460, seed=4), 400)
    model = UMAP(n_neighbors=K, metric=metric, n_epochs=30, random_state=0, n_jobs=1).fit(x)
    want = model.transform(new)
    assert model._reference.tree_order is not None  # the walk started from the forest's leaves
    loaded = pickle.loads(pickle.dumps(model))
    assert bits(loaded.transform(new)).tobytes() == bits(want).tobytes()
    # A model saved when these metrics had no forest builds the same one on first use.
    older = pickle.loads(pickle.dumps(model))
    older._reference = dataclasses.replace(older._reference, tree_order=None, tree_splits=None,
                                           tree_thresholds=None, tree_leaf_size=0)
    older = pickle.loads(pickle.dumps(older))
    assert bits(older.transform(new)).tobytes() == bits(want).tobytes()
    assert bits(older.transform(x[:7])).tobytes() == bits(model.embedding_[:7]).tobytes()
    # The kernel's distances are the metric's (the fit's units).
    if metric == "manhattan":
        assert model._kernel_space.exponent == 0
        d = cdist(new[:5], x, "cityblock")
        idx, dist = _transform.new_row_neighbours(older._reference, older._kernel_space,
                                                  np.ascontiguousarray(new[:5], np.float32), K, 1)
        np.testing.assert_allclose(dist, np.take_along_axis(d, idx, axis=1), rtol=1e-5)


def test_bad_arguments_are_refused_before_the_kernel_runs():
    x = dense_rows(100)
    words, _ = bit_rows(100)
    graph, pivots = ring_graph(100), np.arange(10, dtype=np.int32)
    dense_trees, bit_trees = forest(x, False), forest(words, True)
    with pytest.raises(ValueError, match=r"^metric must be one of 'manhattan', 'chebyshev', "
                                         r"'minkowski', got 'hamming'$"):
        run_query(x, graph, pivots, dense_trees, x[:5], "hamming")
    with pytest.raises(ValueError, match=r"^metric must be one of 'hamming', 'jaccard', 'dice', "
                                         r"got 'manhattan'$"):
        run_query(words, graph, pivots, bit_trees, words[:5], "manhattan")
    for p in (0.5, np.inf, np.nan):
        with pytest.raises(ValueError, match=r"^p must be finite and at least 1$"):
            run_query(x, graph, pivots, dense_trees, x[:5], "minkowski", p)
    with pytest.raises(ValueError, match=r"^queries must be a C-contiguous buffer with itemsize "
                                         r"8 and at least 15 items$"):
        run_query(words, graph, pivots, bit_trees, x[:5].view(np.uint32), "jaccard")
    with pytest.raises(ValueError, match=r"^x must be a C-contiguous buffer with itemsize 8"):
        nv.knn_query_bits_u64(x, graph, pivots, *bit_trees, words[:5], np.empty((5, K), np.int32),
                              np.empty((5, K), np.float32), 100, 3, graph.shape[1], 10, TREES,
                              LEAF, 5, K, BEAM, ENTRIES, 2, None, "jaccard")  # floats as words
    with pytest.raises(ValueError, match=r"^n, n_words, width, n_pivots, n_queries, and k must "
                                         r"be positive$"):
        run_query(words, graph, pivots, bit_trees, words[:5], "dice", k=0)
    bad_order = bit_trees[0].copy()
    bad_order[1, 3] = 100
    with pytest.raises(ValueError, match=r"^tree_order ids must be in \[0, n\)$"):
        run_query(words, graph, pivots, (bad_order, *bit_trees[1:]), words[:5], "hamming")
    with pytest.raises(ValueError, match=r"^idx and dist must not overlap$"):
        buf = np.empty(100, np.float32)
        nv.knn_query_bits_u64(words, graph, pivots, *bit_trees, words[:5], buf.view(np.int32),
                              buf, 100, 3, graph.shape[1], 10, TREES, LEAF, 5, K, BEAM, ENTRIES,
                              2, None, "hamming")
    order, splits, thresholds = (np.empty_like(a) for a in bit_trees)
    with pytest.raises(ValueError, match=r"^n, n_words, n_trees, and leaf_size must be "
                                         r"positive$"):
        nv.knn_search_forest_bits_u64(words, order, splits, thresholds, 100, 0, TREES, LEAF, 5,
                                      2, None)
    with pytest.raises(ValueError, match=r"^x must be a C-contiguous buffer with itemsize 8"):
        nv.knn_search_forest_bits_u64(x, order, splits, thresholds, 100, 3, TREES, LEAF, 5, 2,
                                      None)
