"""brembolt.vornik: the pipeline stages, the estimator and its input checks."""

import warnings

import numpy as np
import pytest
import scipy.sparse as sp

from brembolt.vornik import UMAP, embed, exact_neighbours, knn_accuracy, trustworthiness
from brembolt.vornik import _initial_layout as initial
from brembolt.vornik import _pipeline as pl
from brembolt.vornik import _transform


def blobs(n_per=60, centres=3, dim=8, seed=0, scale=12.0):
    rng = np.random.default_rng(seed)
    c = rng.normal(scale=scale, size=(centres, dim))
    labels = np.repeat(np.arange(centres), n_per)
    return (c[labels] + rng.normal(size=(labels.size, dim))).astype(np.float32), labels


def exact_sq_knn(x, k):
    d2 = ((x[:, None, :].astype(np.float64) - x[None, :, :]) ** 2).sum(-1)
    np.fill_diagonal(d2, np.inf)
    order = np.argsort(d2, axis=1, kind="stable")[:, :k]
    return order, np.take_along_axis(d2, order, axis=1)


# ---------------------------------------------------------------------------
# Stages
# ---------------------------------------------------------------------------


def test_rows_with_self_put_the_point_first_and_sort_by_distance():
    idx = np.array([[2, 1], [0, 2], [1, 0]], np.int32)
    sq = np.array([[9.0, 4.0], [4.0, 1.0], [1.0, 9.0]], np.float32)
    full_idx, full_dist = pl.rows_with_self(idx, sq)
    np.testing.assert_array_equal(full_idx, [[0, 1, 2], [1, 2, 0], [2, 1, 0]])
    np.testing.assert_array_equal(full_dist, [[0, 2, 3], [0, 1, 2], [0, 1, 3]])


def test_nearest_neighbors_match_exact_rows_on_small_data():
    x, _ = blobs(n_per=20)
    idx, dist = pl.nearest_neighbors(x, 6, seed=1, n_threads=2)
    order, d2 = exact_sq_knn(x, 5)
    np.testing.assert_array_equal(idx[:, 0], np.arange(len(x)))
    assert (np.diff(dist, axis=1) >= 0).all()
    recall = np.mean([len(set(a) & set(b)) / 5 for a, b in zip(idx[:, 1:], order)])
    assert recall > 0.97


def test_rows_the_search_left_unfilled_get_exact_neighbours():
    x, _ = blobs(n_per=10)
    order, d2 = exact_sq_knn(x, 4)
    idx, dist = pl.rows_with_self(order.astype(np.int32), d2.astype(np.float32))
    idx[[3, 17], 2:] = -1
    dist[[3, 17], 2:] = 1e30
    pl._fill_missing_neighbours(x, idx, dist)
    for row in (3, 17):
        np.testing.assert_array_equal(idx[row], [row, *order[row]])
        np.testing.assert_allclose(dist[row, 1:], np.sqrt(d2[row]), rtol=1e-6)


def test_unfilled_rows_of_huge_points_keep_finite_distances():
    x = np.array([[0.0, 0.0], [3.0, 4.0], [6.0, 8.0], [0.0, 1.0]], np.float32) * 1e20
    idx = np.full((4, 3), -1, np.int32)
    dist = np.full((4, 3), 1e30, np.float32)
    pl._fill_missing_neighbours(x, idx, dist)
    np.testing.assert_array_equal(idx[0], [0, 3, 1])
    np.testing.assert_allclose(dist[0], [0.0, 1e20, 5e20], rtol=1e-6)
    assert np.isfinite(dist).all()


def test_fuzzy_graph_is_symmetric_with_weights_in_unit_interval():
    x, _ = blobs()
    order, d2 = exact_sq_knn(x, 9)
    g = pl.fuzzy_graph(*pl.rows_with_self(order.astype(np.int32), d2.astype(np.float32)))
    assert isinstance(g, sp.csr_matrix)
    assert abs(g - g.T).max() == 0
    assert g.diagonal().sum() == 0
    assert 0 < g.data.min() and g.data.max() <= 1.0


def test_layout_edges_drop_edges_sampled_less_than_once():
    g = sp.csr_matrix(np.array([[0, 1.0, 0.01], [1.0, 0, 0.5], [0.01, 0.5, 0]], np.float32))
    head, tail, eps = pl.layout_edges(g, n_epochs=10)
    assert sorted(zip(head.tolist(), tail.tolist())) == [(0, 1), (1, 0), (1, 2), (2, 1)]
    assert sorted(eps.tolist()) == [1.0, 1.0, 2.0, 2.0]
    assert head.dtype == tail.dtype == np.int32 and eps.dtype == np.float32


def test_curve_parameters_for_the_default_shape_and_any_spread():
    a, b = pl.fit_ab(0.1, 1.0)
    assert a == pytest.approx(1.577, abs=0.01)
    assert b == pytest.approx(0.895, abs=0.01)
    # The curve has the target's shape in units of spread (fits in the data's
    # units gave a negative b at spread 0.1, and a NaN embedding).
    for spread in (1e-6, 0.01, 0.1, 10.0, 1e6):
        a_s, b_s = pl.fit_ab(0.1 * spread, spread)
        assert b_s == pytest.approx(b, rel=1e-6)
        assert a_s * spread ** (2 * b_s) == pytest.approx(a, rel=1e-6)


def test_a_layout_that_leaves_float32_is_an_error_never_a_result(monkeypatch):
    x, labels = blobs(n_per=20)
    model = UMAP(spread=0.1, min_dist=0.01, n_epochs=60, random_state=0).fit(x)  # was NaN
    assert np.isfinite(model.embedding_).all() and knn_accuracy(model.embedding_, labels) == 1.0
    real = pl.optimize_layout

    def diverging(embedding, *args, **kwargs):
        real(embedding, *args, **kwargs)
        embedding[3] = np.nan

    monkeypatch.setattr(pl, "optimize_layout", diverging)
    fresh = UMAP(n_epochs=20, random_state=0)
    with pytest.raises(ValueError, match=r"layout diverged: 1 of 60 rows of the embedding .*"
                                         r"learning_rate=1.0"):
        fresh.fit(x)
    assert not hasattr(fresh, "embedding_")
    monkeypatch.setattr(_transform, "layout_new_points",
                        lambda start, *args: start.fill(np.inf))
    with pytest.raises(ValueError, match="2 of 2 rows of the new points' places"):
        model.transform(x[:2] + 0.5)


def test_spectral_init_scales_into_ten_and_is_seeded():
    x, _ = blobs()
    order, d2 = exact_sq_knn(x, 9)
    g = pl.fuzzy_graph(*pl.rows_with_self(order.astype(np.int32), d2.astype(np.float32)))
    a = initial.spectral_init(g, 2, np.random.default_rng(3))
    b = initial.spectral_init(g, 2, np.random.default_rng(3))
    np.testing.assert_array_equal(a, b)
    assert a.dtype == np.float32 and a.flags.c_contiguous
    assert np.abs(a).max() <= 10.01


def test_graph_pieces_are_the_undirected_components_numbered_alike():
    from scipy.sparse.csgraph import connected_components

    rng = np.random.default_rng(3)
    n = 300
    # Pieces scattered over the ids, isolated vertices and an explicit zero.
    piece = rng.integers(0, 7, n)
    i, j = rng.integers(0, n, (2, 900))
    keep = (piece[i] == piece[j]) & (i < 250) & (j < 250)
    w = rng.random(keep.sum()).astype(np.float32)
    w[0] = 0.0
    g = sp.coo_matrix((w, (i[keep], j[keep])), shape=(n, n))
    g = (g + g.T).tocsr()
    expected = connected_components(g, directed=False)
    got = initial.graph_pieces(g)
    assert got[0] == expected[0] and np.array_equal(got[1], expected[1])


def test_spectral_init_falls_back_to_random_with_a_warning(monkeypatch):
    def failing(*args):
        raise ArithmeticError("no convergence")

    monkeypatch.setattr(initial, "_laplacian_eigenmap", failing)
    g = sp.csr_matrix(np.ones((6, 6), np.float32) - np.eye(6, dtype=np.float32))
    with pytest.warns(RuntimeWarning, match="spectral initialisation failed"):
        init = initial.spectral_init(g, 2, np.random.default_rng(0))
    assert init.shape == (6, 2) and np.abs(init).max() <= 10


# ---------------------------------------------------------------------------
# The estimator
# ---------------------------------------------------------------------------


def test_embedding_separates_clusters_and_keeps_neighbourhoods():
    x, labels = blobs(n_per=80, centres=4)
    model = UMAP(n_neighbors=10, random_state=7, n_jobs=2)
    y = model.fit_transform(x)
    assert y.shape == (len(x), 2) and y.dtype == np.float32
    assert np.isfinite(y).all()
    assert trustworthiness(x, y, 10) > 0.9
    assert knn_accuracy(y, labels, 10) == 1.0
    assert isinstance(model.graph_, sp.csr_matrix) and model.graph_.shape == (len(x), len(x))
    assert set(model.timings_) >= {"nearest neighbours", "fuzzy graph", "layout optimisation"}


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_same_random_state_and_threads_give_identical_bits(n_jobs):
    x, _ = blobs(n_per=40)
    a = embed(x, n_neighbors=8, random_state=11, n_jobs=n_jobs, n_epochs=60)
    b = embed(x, n_neighbors=8, random_state=11, n_jobs=n_jobs, n_epochs=60)
    c = embed(x, n_neighbors=8, random_state=12, n_jobs=n_jobs, n_epochs=60)
    np.testing.assert_array_equal(a.view(np.uint32), b.view(np.uint32))
    assert not np.array_equal(a, c)


def test_any_numeric_layout_of_the_input_gives_the_same_embedding():
    x, _ = blobs(n_per=30)
    ref = embed(x, n_neighbors=8, random_state=2, n_jobs=1, n_epochs=40)
    as_f64_fortran = np.asfortranarray(x.astype(np.float64))
    np.testing.assert_array_equal(
        embed(as_f64_fortran, n_neighbors=8, random_state=2, n_jobs=1, n_epochs=40), ref)
    ints = np.rint(x * 4).astype(np.int16)
    assert embed(ints, n_neighbors=8, random_state=2, n_jobs=1, n_epochs=40).shape == ref.shape


def test_random_and_array_init():
    x, _ = blobs(n_per=30)
    y = embed(x, n_neighbors=8, init="random", random_state=0, n_epochs=30)
    assert np.isfinite(y).all()
    start = np.zeros((len(x), 3), np.float64) + np.arange(len(x))[:, None] * 0.01
    z = UMAP(n_neighbors=8, n_components=3, init=start, n_epochs=30, random_state=0).fit_transform(x)
    assert z.shape == (len(x), 3)
    assert start[5, 0] == 0.05  # the caller's array is not moved


@pytest.mark.parametrize(
    "X, message",
    [
        (np.zeros(10), "Expected 2D array"),
        (np.zeros((0, 3)), "0 sample"),
        (np.zeros((10, 0)), "0 feature"),
        (np.zeros((1, 3)), "1 sample"),
        (np.array([[0.0, np.nan]] * 20), "contains NaN"),
        (np.array([[0.0, np.inf]] * 20), "contains infinity"),
        (np.full((20, 2), 1e300), "contains infinity or a value too large"),
        (np.array([["a", "b"]] * 20), "could not convert"),
        (np.ones((20, 2), np.complex64), "Complex data not supported"),
    ],
)
def test_bad_input_is_refused_clearly(X, message):
    with pytest.raises(ValueError, match=message):
        embed(X)


@pytest.mark.parametrize(
    "params, message",
    [
        ({"n_neighbors": 1}, "'n_neighbors' parameter"),
        ({"n_neighbors": 2.5}, "'n_neighbors' parameter"),
        ({"n_components": 0}, "'n_components' parameter"),
        ({"min_dist": -0.1}, "'min_dist' parameter"),
        ({"spread": 0.0}, "'spread' parameter"),
        ({"min_dist": 2.0, "spread": 1.0}, "must not exceed spread"),
        ({"n_epochs": 0}, "'n_epochs' parameter"),
        ({"learning_rate": 0}, "'learning_rate' parameter"),
        ({"learning_rate": 1e20}, "'learning_rate' parameter"),  # all NaN in float32
        ({"negative_sample_rate": 1e-300}, "'negative_sample_rate' parameter"),  # 0 in float32
        ({"spread": 1e-300}, "'spread' parameter"),
        ({"repulsion_strength": 1e39}, "'repulsion_strength' parameter"),
        ({"negative_sample_rate": 0}, "'negative_sample_rate' parameter"),
        ({"negative_sample_rate": 1e10, "n_jobs": 2}, "'negative_sample_rate' parameter"),
        ({"negative_sample_rate": float("inf")}, "'negative_sample_rate' parameter"),
        ({"n_epochs": 10**9}, "'n_epochs' parameter"),
        ({"repulsion_strength": float("nan")}, "'repulsion_strength' parameter"),
        ({"init": "pca"}, "'init' parameter"),
        ({"init": np.zeros((5, 2))}, "init array must have shape"),
        ({"init": np.full((30, 2), np.nan)}, "Input init contains NaN"),
        ({"n_jobs": 0}, "'n_jobs' parameter"),
        ({"random_state": "seed"}, "'random_state' parameter"),
    ],
)
def test_bad_parameters_are_refused_clearly(params, message):
    x, _ = blobs(n_per=10)
    with pytest.raises(ValueError, match=message):
        UMAP(**params).fit(x)


# ---------------------------------------------------------------------------
# Inputs that would break the layout or waste its work
# ---------------------------------------------------------------------------


def test_init_arrays_that_would_overflow_or_coincide_are_repaired():
    x, _ = blobs(n_per=20)
    n = len(x)
    huge = np.random.default_rng(0).normal(size=(n, 2)) * 1e20
    with pytest.warns(RuntimeWarning, match="rescaled"):
        y = UMAP(n_neighbors=8, init=huge, n_epochs=30, random_state=0).fit_transform(x)
    assert np.isfinite(y).all()
    for start in (np.zeros((n, 2)), np.full((n, 2), 3.0)):
        a, b = (UMAP(n_neighbors=8, init=start, n_epochs=30, random_state=1).fit_transform(x)
                for _ in range(2))
        np.testing.assert_array_equal(a, b)
        assert len(np.unique(a, axis=0)) == n and np.ptp(a, axis=0).min() > 1.0


def test_knn_rows_with_a_repeated_id_are_refused():
    x, _ = blobs(n_per=10)
    order, d2 = exact_sq_knn(x, 4)
    idx, dist = pl.rows_with_self(order.astype(np.int32), d2.astype(np.float32))
    idx[6, 3] = idx[6, 1]
    with pytest.raises(ValueError, match="repeat within a row \\(first in row 6\\)"):
        UMAP(n_neighbors=5).fit(x, knn=(idx, dist))


def test_neighbourhoods_near_n_are_searched_exactly(monkeypatch):
    def no_kernel(*args):
        raise AssertionError("the kNN kernel ran")

    monkeypatch.setattr(pl._native, "knn_descent_f32_ctl", no_kernel)
    x, _ = blobs(n_per=10)
    idx, dist = pl.nearest_neighbors(x, 21, seed=0, n_threads=2)
    order, d2 = exact_sq_knn(x, 20)
    np.testing.assert_array_equal(idx[:, 1:], order)
    np.testing.assert_allclose(dist[:, 1:], np.sqrt(d2), rtol=1e-6)


def test_a_layout_short_of_memory_raises_memory_error(monkeypatch):
    monkeypatch.setattr(pl._native, "umap_layout_euclidean_f32_parts_in_schedule_order",
                        lambda *args: -2)
    x, _ = blobs(n_per=10)
    with pytest.raises(MemoryError, match="gradient buffers"):
        UMAP(n_neighbors=5, n_epochs=5).fit(x)


def test_params_round_trip():
    model = UMAP(n_neighbors=7)
    assert model.get_params()["n_neighbors"] == 7
    assert model.set_params(min_dist=0.3) is model and model.min_dist == 0.3
    with pytest.raises(ValueError):
        model.set_params(colour="red")


# ---------------------------------------------------------------------------
# Quality measures
# ---------------------------------------------------------------------------


def test_quality_measures_on_known_cases():
    x, labels = blobs(n_per=30)
    assert trustworthiness(x, x, 5) == pytest.approx(1.0)
    shuffled = np.random.default_rng(0).permutation(x)
    assert trustworthiness(x, shuffled, 5) < 0.7
    assert knn_accuracy(x, labels, 5) == 1.0
    noise = np.random.default_rng(1).integers(0, 3, len(labels))
    assert knn_accuracy(x, noise, 5) < 0.6


def test_trustworthiness_agrees_with_an_independent_implementation():
    manifold = pytest.importorskip("sklearn.manifold")
    x, _ = blobs(n_per=40, dim=5, scale=2.0)
    y = x[:, :2] + np.random.default_rng(1).normal(scale=0.5, size=(len(x), 2))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = manifold.trustworthiness(x, y, n_neighbors=7)
    assert trustworthiness(x, y, 7) == pytest.approx(want, abs=1e-9)


def test_sampled_trustworthiness_estimates_the_full_measure():
    x, _ = blobs(n_per=40, dim=5, scale=2.0)
    y = x[:, :2] + np.random.default_rng(1).normal(scale=0.5, size=(len(x), 2))
    full = trustworthiness(x, y, 7)
    assert trustworthiness(x, y, 7, sample=len(x) - 2) == pytest.approx(full, abs=2e-3)


def test_exact_neighbours_far_from_the_origin_and_with_duplicates():
    rng = np.random.default_rng(4)
    x = rng.normal(size=(80, 6)) + 1e8  # the expanded form would lose every digit
    x[[10, 30]] = x[5]
    ids, sq = exact_neighbours(x, 6)
    d2 = ((x[:, None, :] - x[None, :, :]) ** 2).sum(-1)
    for i in range(len(x)):
        want = sorted((j for j in range(len(x)) if j != i), key=lambda j: (d2[i, j], j))[:6]
        np.testing.assert_array_equal(ids[i], want)
        np.testing.assert_allclose(sq[i], d2[i, want], rtol=1e-12)
    np.testing.assert_array_equal(ids[5, :2], [10, 30])


# ---------------------------------------------------------------------------
# Graph assembly and vertex order
# ---------------------------------------------------------------------------


def test_graph_from_the_kernel_slots_is_the_coo_sum_in_canonical_form():
    x, _ = blobs(n_per=200, centres=5)
    order, d2 = exact_sq_knn(x, 9)
    idx, dist = pl.rows_with_self(order.astype(np.int32), d2.astype(np.float32))
    n, k = idx.shape
    rows, cols, vals = (np.empty(2 * n * k, t) for t in (np.int32, np.int32, np.float32))
    import _native_vornik

    _native_vornik.umap_graph_f32(idx, dist, rows, cols, vals, n, k)
    keep = vals > 0
    want = sp.coo_matrix((vals[keep], (rows[keep], cols[keep])), shape=(n, n)).tocsr()
    for threads in (1, 3):
        got = pl.fuzzy_graph(idx, dist, threads)
        assert got.has_canonical_format and got.dtype == np.float32
        np.testing.assert_array_equal(got.indptr, want.indptr)
        np.testing.assert_array_equal(got.indices, want.indices)
        np.testing.assert_array_equal(got.data.view(np.uint32), want.data.view(np.uint32))


def test_locality_order_walks_a_shuffled_path_end_to_end():
    rng = np.random.default_rng(5)
    n = 500
    label = rng.permutation(n)  # vertex label[i] is the i-th on the path
    a, b = label[:-1], label[1:]
    path = sp.csr_matrix((np.ones(2 * (n - 1), np.float32), (np.r_[a, b], np.r_[b, a])),
                         shape=(n, n))
    extra = sp.csr_matrix((np.ones(2, np.float32), ([0, 1], [1, 0])), shape=(2, 2))
    graph = sp.block_diag([path, extra], format="csr")  # a second component
    order = pl.locality_order(graph)
    assert sorted(order.tolist()) == list(range(n + 2))
    position = np.empty(n + 2, np.int64)
    position[order] = np.arange(n + 2)
    assert (np.abs(np.diff(position[label])) == 1).all()  # the path in one sweep
    np.testing.assert_array_equal(pl.locality_order(graph), order)


def test_renumbered_layout_is_the_plain_layout_of_the_renumbered_problem():
    x, _ = blobs(n_per=60)
    knn = pl.rows_with_self(*(a.astype(t) for a, t in zip(exact_sq_knn(x, 7), (np.int32, np.float32))))
    graph = pl.fuzzy_graph(*knn)
    order = pl.locality_order(graph)
    head, tail, eps = pl.layout_edges(graph, 50, order)
    plain_head, plain_tail, plain_eps = pl.layout_edges(graph, 50)
    assert (head[1:] >= head[:-1]).all()
    renamed = sorted(zip(order[head].tolist(), order[tail].tolist(), eps.tolist()))
    assert renamed == sorted(zip(plain_head.tolist(), plain_tail.tolist(), plain_eps.tolist()))

    start = initial.random_init(len(x), 2, np.random.default_rng(1))
    run = pl.LayoutRun(50, 1.58, 0.9, 1.0, 1.0, 5.0, 99)
    y = start.copy()
    pl.optimize_layout(y, (head, tail, eps), run, 2, order=order)
    moved = np.ascontiguousarray(start[order])
    pl.optimize_layout(moved, (head, tail, eps), run, 2)
    np.testing.assert_array_equal(y[order].view(np.uint32), moved.view(np.uint32))
    edges = (head.copy(), tail.copy(), eps.copy())
    pl.to_schedule_order(edges, len(x))
    assert not np.array_equal(edges[0], head)  # moved, and back in the kernel
    scheduled = start.copy()
    pl.optimize_layout(scheduled, edges, run, 2, order=order, in_schedule_order=True)
    np.testing.assert_array_equal(scheduled.view(np.uint32), y.view(np.uint32))


def test_layout_parts_keep_two_near_a_hundred_thousand_points_and_thirty_two_at_a_million():
    # 100,000 and 1,000,000 points of bench/datasets.make_scale at 15 neighbours
    assert pl.layout_parts(2_093_374) == 2
    assert pl.layout_parts(20_778_330) == 32
    edges = [1, 2**21, 2**22 - 1, 2**22, 2**23, 2**24, 2**40]
    parts = [pl.layout_parts(e) for e in edges]
    assert parts == sorted(parts) and set(parts) <= {2, 8, 16, 32}
    assert all(p == 2 or e // p >= pl.PART_EDGES for e, p in zip(edges, parts))
