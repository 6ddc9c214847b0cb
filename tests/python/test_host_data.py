"""brembolt.vornik on the data people bring: metrics, labels, pieces, magnitudes, duplicates, few features."""

import pickle
import tracemalloc
import warnings

import numpy as np
import pytest
import scipy.sparse as sp
from scipy.sparse.csgraph import connected_components
from scipy.spatial.distance import cdist
from sklearn.neighbors import KNeighborsClassifier

from brembolt.vornik import UMAP, _cli, knn_accuracy, trustworthiness
from brembolt.vornik import _data
from brembolt.vornik import _labels
from brembolt.vornik import _initial_layout as initial
from brembolt.vornik import _pipeline as pl
from brembolt.vornik import _transform
from brembolt.vornik._data import prepare
from brembolt.vornik._rows import value_keys

FAST = dict(n_epochs=40, random_state=0, n_jobs=1)


def blobs(n_per=40, centres=3, dim=10, seed=0, scale=6.0):
    rng = np.random.default_rng(seed)
    labels = np.repeat(np.arange(centres), n_per)
    x = rng.normal(scale=scale, size=(centres, dim))[labels] + rng.normal(size=(labels.size, dim))
    return x, labels


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.uint32), np.asarray(b).view(np.uint32))


# ---------------------------------------------------------------------------
# Metrics
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("metric", ["cosine", "correlation"])
def test_cosine_and_correlation_find_the_metrics_neighbours_in_its_units(metric):
    x, _ = blobs(n_per=60)
    x *= np.random.default_rng(1).uniform(0.2, 5.0, size=(len(x), 1))  # lengths vary
    model = UMAP(n_neighbors=20, metric=metric, **FAST).fit(x)
    want = cdist(x, x, metric)
    np.fill_diagonal(want, -1.0)
    order = np.argsort(want, axis=1, kind="stable")[:, :20]
    np.testing.assert_array_equal(model.knn_indices_, order)
    np.testing.assert_allclose(model.knn_dists_[:, 1:],
                               np.take_along_axis(want, order, axis=1)[:, 1:], atol=2e-6)
    # Scaling rows by powers of two changes no cosine or correlation distance, nor any bit,
    # down to rows whose squares underflow (1e-280) and up to rows beyond float32 (1e290).
    scaled = np.ldexp(x, np.random.default_rng(2).integers(-930, 960, size=(len(x), 1)))
    again = UMAP(n_neighbors=20, metric=metric, **FAST).fit(scaled)
    assert same_bits(again.embedding_, model.embedding_)
    assert same_bits(again.transform(x[:5] * 1e-300), model.embedding_[:5])


def test_rows_the_metric_cannot_compare_are_named():
    x, _ = blobs()
    x[[4, 17]] = 0.0
    with pytest.raises(ValueError, match="undefined for zero rows; rows 4, 17 of X"):
        UMAP(metric="cosine").fit(x)
    x[[4, 17]] = 3.0
    with pytest.raises(ValueError, match="undefined for constant rows; rows 4, 17 of X"):
        UMAP(metric="correlation").fit(x)
    UMAP(metric="cosine", **FAST).fit(x)  # a constant row has a direction


def test_precomputed_distances_give_the_euclidean_neighbours_and_graph():
    x, _ = blobs(n_per=20)
    d = cdist(x, x)
    by_rows = UMAP(n_neighbors=10, **FAST).fit(x)
    by_matrix = UMAP(n_neighbors=10, metric="precomputed", **FAST).fit(d)
    np.testing.assert_array_equal(by_matrix.knn_indices_, by_rows.knn_indices_)
    np.testing.assert_allclose(by_matrix.knn_dists_, by_rows.knn_dists_, rtol=1e-5)
    np.testing.assert_allclose(by_matrix.graph_.toarray(), by_rows.graph_.toarray(), atol=1e-5)
    e = by_matrix.embedding_
    full = trustworthiness(x, e, 7)
    assert trustworthiness(d, e, 7, metric="precomputed") == pytest.approx(full, abs=1e-12)
    assert trustworthiness(d, e, 7, sample=50, metric="precomputed") == pytest.approx(
        trustworthiness(x, e, 7, sample=50), abs=1e-12)
    assert UMAP(metric="precomputed").__sklearn_tags__().input_tags.pairwise
    for bad, message in [(d[:, :-1], "square matrix"), (-d, "negative"),
                         (d + 1.0, "zeros on its diagonal")]:
        with pytest.raises(ValueError, match=message):
            UMAP(metric="precomputed").fit(bad)


# ---------------------------------------------------------------------------
# Labels
# ---------------------------------------------------------------------------


def test_label_codes_read_every_kind_of_label_and_marker():
    codes = _labels.label_codes
    np.testing.assert_array_equal(codes([3, -1, 5, 3], 4, 0.5), [0, -1, 1, 0])
    np.testing.assert_array_equal(codes(["b", "-1", "a", "b"], 4, 0.5), [1, -1, 0, 1])
    np.testing.assert_array_equal(codes(np.array(["b", None, -1, "a"], object), 4, 0.5),
                                  [1, -1, -1, 0])
    np.testing.assert_array_equal(codes([2.0, np.nan, 0.0, -1.0], 4, 0.5), [1, -1, 0, -1])
    assert codes([-1, -1], 2, 0.5) is None and codes([1, 2], 2, 0.0) is None
    with pytest.raises(ValueError, match="y has 3 entries for 4 samples"):
        codes([1, 2, 3], 4, 0.5)
    with pytest.raises(ValueError, match="1d array"):
        codes(np.zeros((4, 2)), 4, 0.5)
    with pytest.raises(ValueError, match="looks continuous"):
        codes([0.5, 1.7, 2.2, 0.1], 4, 0.5)
    assert codes([0.5, 1.7, 2.2, 0.1], 4, 0.0) is None  # target_weight 0 ignores y


def test_labels_are_coded_by_value_in_natural_order():
    obj = np.array(["1", 1, 1.0, -1.0, (1, 2), (1, 2), None, np.int8(-1), True, "b"], object)
    # 1 and 1.0 are one class, "1" (text) another; every number equal to -1 is the marker;
    # a tuple is a label like any other value.
    codes = _labels.label_codes(obj, len(obj), 0.5)
    assert codes[1] == codes[2] != codes[0] and codes[4] == codes[5] not in codes[:4]
    np.testing.assert_array_equal(codes[[3, 6, 7]], -1)
    np.testing.assert_array_equal(_labels.label_codes(list(obj), len(obj), 0.5), codes)
    names, order = _labels.class_codes(np.array(["cluster-10", "cluster-2", "-1", "cluster-1"]))
    assert list(names) == ["cluster-1", "cluster-2", "cluster-10"]
    np.testing.assert_array_equal(order, [2, 1, -1, 0])
    with pytest.raises(ValueError, match="hashable"):
        _labels.label_codes(np.array([[1], 2], object), 2, 0.5)


def test_knn_accuracy_counts_labelled_points_only():
    rng = np.random.default_rng(3)
    y = rng.integers(0, 3, 400)
    e = rng.normal(scale=0.6, size=(400, 2)) + np.array([[0, 0], [2, 0], [0, 2]])[y]
    hidden = rng.random(400) < 0.7
    partial = np.where(hidden, -1, y)
    known = ~hidden
    # Leave-one-out among the labelled points, as scikit-learn's classifier sees them.
    ref = KNeighborsClassifier(n_neighbors=6).fit(e[known], y[known])
    nn = ref.kneighbors(e[known], return_distance=False)[:, 1:]  # without the point itself
    votes = np.apply_along_axis(np.bincount, 1, y[known][nn], minlength=3)
    want = np.mean(votes.argmax(axis=1) == y[known])
    assert knn_accuracy(e, partial, 5) == want
    assert knn_accuracy(e, np.where(hidden, None, y.astype(str)).astype(object), 5) == want
    assert knn_accuracy(e, y, 5) != want  # the unlabelled points no longer count as a class


def test_trustworthiness_samples_above_its_size_and_never_holds_n_squared(monkeypatch):
    import tracemalloc

    from brembolt.vornik import quality

    monkeypatch.setattr(quality, "SAMPLE_ABOVE", 1000)  # the default's cut, made small
    monkeypatch.setattr(quality, "DEFAULT_SAMPLE", 300)
    rng = np.random.default_rng(0)
    x = rng.normal(size=(6000, 3))
    e = x[:, :2] + rng.normal(scale=0.3, size=(6000, 2))
    values = {}
    for sample in ("auto", None):
        tracemalloc.start()
        values[sample] = trustworthiness(x, e, 10, sample=sample)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert peak < 6000 * 6000 * 8 / 2 and 0.5 < values[sample] < 1
    assert values["auto"] == trustworthiness(x, e, 10, sample=300)  # an estimate above the cut
    assert values[None] == pytest.approx(values["auto"], abs=0.02)


def test_only_edges_between_different_known_classes_are_weakened():
    dense = np.array([[0, 0.8, 0.6, 0.4], [0.8, 0, 0.5, 0], [0.6, 0.5, 0, 0.3], [0.4, 0, 0.3, 0]],
                     np.float32)
    codes = np.array([0, 0, 1, -1])
    for weight in (0.0, 0.5, 0.9, 1.0):
        out = _labels.weaken_mismatches(sp.csr_matrix(dense), codes, weight).toarray()
        f = _labels.mismatch_factor(weight)
        want = dense.copy()
        want[[0, 1, 2, 2], [2, 2, 0, 1]] *= np.float32(f)
        np.testing.assert_array_equal(out, want)
    assert _labels.mismatch_factor(0.0) == 1.0 and _labels.mismatch_factor(1.0) == 0.0
    assert 0 < _labels.mismatch_factor(0.7) < _labels.mismatch_factor(0.3) < 1


def test_labels_shape_the_embedding_as_target_weight_says():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(300, 5))  # no structure: only the labels can separate the classes
    y = rng.integers(0, 3, 300)
    unsupervised = UMAP(n_neighbors=10, **FAST).fit_transform(x)
    assert same_bits(UMAP(n_neighbors=10, target_weight=0.0, **FAST).fit_transform(x, y),
                     unsupervised)
    assert knn_accuracy(unsupervised, y) < 0.6
    supervised = UMAP(n_neighbors=10, **FAST).fit_transform(x, y.astype(str))
    assert knn_accuracy(supervised, y) > 0.9
    with pytest.raises(ValueError, match="y has 299 entries"):
        UMAP().fit(x, y[:-1])


# ---------------------------------------------------------------------------
# Graphs in pieces
# ---------------------------------------------------------------------------


def far_groups(seed=0):
    """Three groups 1,000 units apart, each of three clusters: nine pieces."""
    rng = np.random.default_rng(seed)
    groups = np.eye(3, 6) * 1000.0
    centres = (groups[:, None, :] + rng.normal(scale=20.0, size=(3, 3, 6))).reshape(9, 6)
    labels = np.repeat(np.arange(9), 30)
    return centres[labels] + rng.normal(size=(labels.size, 6)), labels


def test_pieces_start_apart_and_keep_far_groups_far():
    x, labels = far_groups()
    model = UMAP(n_neighbors=10, **FAST).fit(x)
    n_pieces, pieces = connected_components(model.graph_)
    assert n_pieces == 9 and (pieces[labels == 4] == pieces[labels == 4][0]).all()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # pieces are ordinary: no warning
        start = initial.spectral_init(model.graph_, 2, np.random.default_rng(0),
                                      prepare(x, "euclidean"))
    assert np.abs(start).max() <= 10.01
    nearest_point = np.argsort(cdist(start, start), axis=1)[:, 1]
    np.testing.assert_array_equal(labels[nearest_point], labels)  # the pieces do not mingle
    centres = np.array([start[labels == c].mean(axis=0) for c in range(9)])
    gaps = cdist(centres, centres)
    np.fill_diagonal(gaps, np.inf)
    nearest = gaps.argsort(axis=1)[:, :2]
    assert (nearest // 3 == np.arange(9)[:, None] // 3).all()  # a group's pieces sit together


def test_isolated_points_start_at_random_and_a_failing_piece_warns(monkeypatch):
    graph = sp.block_diag([sp.csr_matrix(np.ones((8, 8)) - np.eye(8)),
                           sp.csr_matrix((3, 3))]).tocsr()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        start = initial.spectral_init(graph, 2, np.random.default_rng(0))
    assert start.shape == (11, 2) and np.isfinite(start).all()

    def failing(*args):
        raise ArithmeticError("no convergence")

    monkeypatch.setattr(initial, "_laplacian_eigenmap", failing)
    with pytest.warns(RuntimeWarning, match="failed for a piece of 8 points"):
        again = initial.spectral_init(graph, 2, np.random.default_rng(0))
    assert np.isfinite(again).all()


# ---------------------------------------------------------------------------
# Extreme magnitudes
# ---------------------------------------------------------------------------


def test_power_of_two_scales_give_the_same_bits_and_others_the_same_neighbours():
    x = np.round(blobs(n_per=30)[0] * 64) / 64  # few enough digits for float32 denormals
    ref = UMAP(n_neighbors=10, **FAST).fit(x)
    for scaled in (np.ldexp(x, 70), np.ldexp(x, -140),  # float64 below float32's range
                   np.ldexp(x.astype(np.float32), -135)):  # float32 denormals
        model = UMAP(n_neighbors=10, **FAST).fit(scaled)
        assert same_bits(model.embedding_, ref.embedding_)
    for factor in (1e20, 1e-40):
        model = UMAP(n_neighbors=10, **FAST).fit(x * factor)
        np.testing.assert_array_equal(model.knn_indices_, ref.knn_indices_)
        np.testing.assert_allclose(model.knn_dists_ / factor, ref.knn_dists_, rtol=1e-5)
        assert knn_accuracy(model.embedding_, np.repeat(np.arange(3), 30)) == 1.0


def test_float64_input_is_checked_and_prepared_without_a_copy_of_its_size(monkeypatch):
    monkeypatch.setattr(_data, "BLOCK_BYTES", 1 << 20)  # blocks far smaller than the data
    x = np.random.default_rng(0).normal(size=(3000, 1000))  # 24 MB
    d = cdist(x[:1500, :5], x[:1500, :5])  # 18 MB
    fit = prepare(d, "precomputed")
    for data, metric, space in ((d, "precomputed", None), (d, "precomputed", fit.space),
                                (x, "euclidean", None), (x, "cosine", None)):
        tracemalloc.start()
        try:
            prepare(data, metric, space)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        kept = 0 if metric == "precomputed" else data.size * 4  # the float32 rows
        assert peak - kept < 0.25 * data.nbytes, metric


def test_data_no_scale_can_hold_is_refused():
    x, _ = blobs(n_per=10, dim=3)
    offset = x * 1e-30
    offset[:, 0] = 1e38  # a huge constant column beside tiny differences
    with pytest.raises(ValueError, match="no power-of-two scale"):
        UMAP().fit(offset)
    wide = np.vstack([np.full((10, 2), -3e38), np.full((10, 2), 3e38)]) + x[:20, :2]
    with pytest.raises(ValueError, match="beyond float32's range"):
        UMAP().fit(wide)


# ---------------------------------------------------------------------------
# Duplicates
# ---------------------------------------------------------------------------


def test_duplicates_warn_and_unique_embeds_each_distinct_row_once():
    x, _ = blobs(n_per=100)
    x[100:250] = x[7]
    x[5, :3] = -0.0
    x[6] = x[5]
    x[6, :3] = 0.0  # the same values as row 5, zeros of the other sign
    with pytest.warns(UserWarning, match="X has 151 duplicate rows"):
        UMAP(n_neighbors=8, **FAST).fit(x)
    model = UMAP(n_neighbors=8, unique=True, **FAST).fit(x)
    first, inverse = model.unique_rows_, model.unique_inverse_
    assert first.size == len(x) - 151 and model.graph_.shape == (first.size, first.size)
    np.testing.assert_array_equal(x[first][inverse], x)
    assert (np.diff(first) > 0).all() and inverse[250] == first.size - 50
    np.testing.assert_array_equal(model.embedding_, model.embedding_[first][inverse])
    few, _ = blobs(n_per=100, seed=3)
    few[1] = few[0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        UMAP(n_neighbors=8, **FAST).fit(few)  # one copy in 300 rows: no warning
    with pytest.raises(ValueError, match="every row of X is the same"):
        UMAP(unique=True).fit(np.ones((5, 3)))
    with pytest.raises(ValueError, match="cannot take knn="):
        UMAP(unique=True).fit(x, knn=(model.knn_indices_, model.knn_dists_))


def test_copies_with_different_labels_become_unlabelled():
    codes = np.array([0, 1, 1, -1, 2, 2])
    first, inverse = np.array([0, 1, 4]), np.array([0, 1, 0, 1, 2, 2])
    np.testing.assert_array_equal(_labels.distinct_codes(codes, first, inverse), [-1, 1, 2])


# ---------------------------------------------------------------------------
# Few features
# ---------------------------------------------------------------------------


def test_few_features_get_exact_neighbours_whatever_the_threads(monkeypatch):
    def no_forest(*args):
        raise AssertionError("the forest ran")

    monkeypatch.setattr(pl._native, "knn_descent_f32", no_forest)
    x = np.random.default_rng(0).normal(size=(3000, 1))
    models = [UMAP(n_neighbors=10, n_jobs=t, n_epochs=20, random_state=0).fit(x) for t in (1, 2)]
    np.testing.assert_array_equal(models[0].knn_indices_, models[1].knn_indices_)
    assert connected_components(models[0].graph_)[0] == 1
    order = np.argsort(np.abs(x - x.T), axis=1, kind="stable")[:, :10]
    np.testing.assert_array_equal(models[0].knn_indices_, order)
    copies = np.repeat(np.arange(40.0), 25)[:, None]  # 25 copies of each row, k + 1 = 11
    idx, dist = pl.kdtree_rows(copies, 10, 2)
    np.testing.assert_array_equal(idx[:, 0], np.arange(1000))
    assert (np.sort(idx, axis=1)[:, 1:] != np.sort(idx, axis=1)[:, :-1]).all()
    assert (dist == 0).all()


def test_cli_takes_metric_unique_and_labels_as_y(tmp_path, capsys):
    x, labels = blobs(n_per=30)
    np.save(tmp_path / "x.npy", x)
    np.save(tmp_path / "y.npy", labels)
    args = ["embed", str(tmp_path / "x.npy"), "-o", str(tmp_path / "e.npy"), "--labels",
            str(tmp_path / "y.npy"), "--n-epochs", "20", "--n-neighbors", "8"]
    assert _cli.main(args + ["--metric", "cosine", "--unique", "--supervised",
                             "--target-weight", "0.9"]) == 0
    assert "10-NN accuracy on the embedding: 1.0000" in capsys.readouterr().out
    assert _cli.main(args[:4] + ["--supervised"]) == 2
    assert "--supervised needs --labels" in capsys.readouterr().err


# ---------------------------------------------------------------------------
# Transform prepares new rows as the fit prepared its own
# ---------------------------------------------------------------------------


def train_and_new(n_per=60):
    """Blobs split into training rows (two in three) and new rows."""
    x, labels = blobs(n_per=n_per)
    new = np.arange(len(x)) % 3 == 0
    return x[~new], labels[~new], x[new], labels[new]


def test_transform_under_cosine_ignores_row_lengths():
    x, labels, new, new_labels = train_and_new(n_per=80)
    x *= np.random.default_rng(1).uniform(0.2, 5.0, size=(len(x), 1))
    model = UMAP(n_neighbors=10, metric="cosine", transform_epochs=10, **FAST).fit(x)
    assert same_bits(model.transform(x * 4.0), model.embedding_)  # training rows, longer
    placed = model.transform(new)
    assert same_bits(model.transform(np.ldexp(new, -7)), placed)
    spread = np.ptp(model.embedding_, axis=0).max()
    assert np.abs(model.transform(new * 3.7) - placed).max() < 1e-3 * spread
    clf = KNeighborsClassifier(10).fit(model.embedding_, labels)
    assert (clf.predict(placed) == new_labels).mean() == 1.0
    with pytest.raises(ValueError, match="rows 1 of X are zero"):
        model.transform(np.vstack([new[:1], np.zeros((1, new.shape[1]))]))


def test_transform_of_extreme_magnitudes_matches_the_plain_fit():
    x, labels, new, new_labels = train_and_new()
    plain = UMAP(n_neighbors=10, **FAST).fit(x)
    for factor in (1e20, 1e-40):
        model = UMAP(n_neighbors=10, **FAST).fit(x * factor)
        assert same_bits(model.transform(x * factor), model.embedding_)
        placed = model.transform(new * factor)
        clf = KNeighborsClassifier(10).fit(model.embedding_, labels)
        assert np.isfinite(placed).all() and (clf.predict(placed) == new_labels).mean() == 1.0
    with pytest.raises(ValueError, match="too far from the fitted ones"):
        plain.transform(new * 1e30)


def test_training_rows_of_distances_get_their_fitted_places():
    x, _, new, _ = train_and_new()
    d = cdist(x, x).astype(np.float32)
    model = UMAP(n_neighbors=10, metric="precomputed", **FAST).fit(d)
    assert same_bits(model.transform(d), model.embedding_)
    again = pickle.loads(pickle.dumps(model))  # rows equal in value, as float64
    assert same_bits(again.transform(d[:10].astype(np.float64)), model.embedding_[:10])
    off = d[:2].copy()  # one distance a bit off: a new row
    off[:, 7] = np.nextafter(off[:, 7], np.float32(np.inf))
    assert not (model.transform(off) == model.embedding_[:2]).all(axis=1).any()
    # A key is not enough: the candidate's own column must hold the row's zero.
    ref = _transform.Reference(np.empty((0, 0), np.float32), 0, 0)
    _transform.key_distance_rows(ref, value_keys(np.array([[3.0, 0, 5]] * 3), np.float64))
    rows = np.array([[3.0, 0, 5], [3.0, 0, 6]])
    np.testing.assert_array_equal(_transform.distance_training_rows(ref, rows, None), [1, -1])
    np.testing.assert_array_equal(  # embedded rows 0, 1, 2 are columns 1, 0, 2
        _transform.distance_training_rows(ref, rows, np.array([1, 0, 2])), [0, -1])
    copies = np.vstack([x, x[:30]])
    folded = UMAP(n_neighbors=10, metric="precomputed", unique=True, **FAST).fit(
        cdist(copies, copies))
    assert same_bits(folded.transform(cdist(copies, copies)), folded.embedding_)
    # A model saved before the rows were keyed places them as new rows.
    model._reference.keys = model._reference.key_ids = None
    old = pickle.loads(pickle.dumps(model))
    assert not same_bits(old.transform(d[:10]), model.embedding_[:10])


def test_transform_of_precomputed_distances_and_of_unique_fits():
    x, labels, new, new_labels = train_and_new()
    model = UMAP(n_neighbors=10, metric="precomputed", **FAST).fit(cdist(x, x))
    placed = model.transform(cdist(new, x))
    clf = KNeighborsClassifier(10).fit(model.embedding_, labels)
    assert (clf.predict(placed) == new_labels).mean() == 1.0
    with pytest.raises(ValueError, match="features"):
        model.transform(cdist(new, x[:-1]))
    copies = np.vstack([x, x[:30]])
    folded = UMAP(n_neighbors=10, unique=True, **FAST).fit(copies)
    assert same_bits(folded.transform(copies), folded.embedding_)
    again = pickle.loads(pickle.dumps(folded))
    assert same_bits(again.transform(new), folded.transform(new))
