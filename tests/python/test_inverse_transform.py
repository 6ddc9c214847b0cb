"""UMAP.inverse_transform: the same bits for any n_jobs and batch, the fit's scale undone,
cosine and correlation rows given their neighbours' frame, and the metrics it refuses."""

import pickle

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError

from brembolt.vornik import UMAP

from conftest import bits


def blobs(n=300, dim=6, seed=0):
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, 3, n)
    centres = np.random.default_rng(1).normal(scale=6.0, size=(3, dim))
    return centres[labels] + rng.normal(size=(n, dim)), labels


@pytest.fixture(scope="module")
def fitted():
    x, labels = blobs()
    return UMAP(n_neighbors=10, n_epochs=80, random_state=3, n_jobs=2).fit(x), x, labels


def test_a_points_rows_depend_on_that_point_alone_and_come_near_its_neighbours(fitted):
    model, x, labels = fitted
    lo, hi = model.embedding_.min(axis=0), model.embedding_.max(axis=0)
    grid = np.stack(np.meshgrid(np.linspace(lo[0], hi[0], 9), np.linspace(lo[1], hi[1], 7)),
                    -1).reshape(-1, 2)
    points = np.vstack([model.embedding_, grid])
    model.set_params(n_jobs=1)
    want = model.inverse_transform(points)
    assert want.shape == (len(points), x.shape[1]) and want.dtype == np.float32
    model.set_params(n_jobs=2)
    np.testing.assert_array_equal(bits(model.inverse_transform(points)), bits(want))
    np.testing.assert_array_equal(bits(model.inverse_transform(points[::-1])), bits(want[::-1]))
    np.testing.assert_array_equal(bits(model.inverse_transform(points[5:6])), bits(want[5:6]))
    restored = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(bits(restored.inverse_transform(points)), bits(want))
    # The fitted points come back closer to their rows than their class means are.
    means = np.stack([x[labels == c].mean(axis=0) for c in range(3)])
    back = ((want[:len(x)] - x) ** 2).mean()
    assert back < 0.5 * ((means[labels] - x) ** 2).mean()


def test_the_fits_power_of_two_is_undone_exactly():
    x, _ = blobs(200)
    small = UMAP(n_neighbors=8, n_epochs=40, random_state=0).fit(x)
    large = UMAP(n_neighbors=8, n_epochs=40, random_state=0).fit(np.ldexp(x, 60))
    np.testing.assert_array_equal(bits(large.embedding_), bits(small.embedding_))
    points = small.embedding_[:50] + 0.25
    np.testing.assert_array_equal(bits(large.inverse_transform(points)),
                                  bits(np.ldexp(small.inverse_transform(points), 60)))


@pytest.mark.parametrize("metric", ["cosine", "correlation"])
def test_unit_rows_come_back_with_their_neighbours_length_and_mean(metric):
    x, _ = blobs(250)
    x = np.abs(x) * np.random.default_rng(5).uniform(0.5, 3.0, size=(250, 1)) + 1.0
    model = UMAP(metric=metric, n_neighbors=10, n_epochs=60, random_state=1).fit(x)
    rows = model.inverse_transform(model.embedding_).astype(np.float64)
    centred = x - x.mean(axis=1, keepdims=True) if metric == "correlation" else x
    out = rows - rows.mean(axis=1, keepdims=True) if metric == "correlation" else rows
    lengths = np.linalg.norm(centred, axis=1)
    assert lengths.min() <= np.linalg.norm(out, axis=1).min()
    assert np.linalg.norm(out, axis=1).max() <= lengths.max() * (1 + 1e-6)
    cos = (out * centred).sum(axis=1) / (np.linalg.norm(out, axis=1) * lengths)
    assert np.median(cos) > 0.95
    if metric == "correlation":
        means = x.mean(axis=1)
        assert means.min() <= rows.mean(axis=1).min() and rows.mean(axis=1).max() <= means.max()
    # Rows far beyond float32's squares keep their frame; a loaded frame is checked.
    huge = UMAP(metric=metric, n_neighbors=10, n_epochs=60, random_state=1).fit(x * 1e200)
    np.testing.assert_allclose(huge.inverse_transform(huge.embedding_[:20]) / 1e200,
                               model.inverse_transform(model.embedding_[:20]), rtol=1e-5)
    lengths, means = model._row_frame
    model._row_frame = (-lengths, means)
    with pytest.raises(ValueError, match="_row_frame holds negative lengths"):
        pickle.loads(pickle.dumps(model))


def test_refusals(fitted):
    model, x, _ = fitted
    with pytest.raises(NotFittedError):
        UMAP().inverse_transform(model.embedding_)
    with pytest.raises(ValueError, match="columns"):
        model.inverse_transform(np.zeros((3, 3)))
    with pytest.raises(ValueError, match="NaN"):
        model.inverse_transform(np.full((2, 2), np.nan))
    with pytest.raises(ValueError, match="too large"):
        model.inverse_transform(np.full((2, 2), 1e300))
    d = np.sqrt(((x[:60, None] - x[None, :60]) ** 2).sum(-1))
    precomputed = UMAP(metric="precomputed", n_neighbors=5, n_epochs=20, random_state=0).fit(d)
    with pytest.raises(ValueError, match="not defined for metric='precomputed'"):
        precomputed.inverse_transform(precomputed.embedding_)
    bits = UMAP(metric="jaccard", n_neighbors=5, n_epochs=20, random_state=0).fit(x[:60] > 0)
    with pytest.raises(ValueError, match="not defined for metric='jaccard'"):
        bits.inverse_transform(bits.embedding_)
