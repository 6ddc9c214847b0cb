"""densmap=True: the radii it ties, its bits for any n_jobs, its parameters, and its method."""

import numpy as np
import pytest
from sklearn.utils._param_validation import InvalidParameterError

import _native_vornik as nv
from brembolt.vornik import UMAP, local_radii
from brembolt.vornik._density import log_correlation

from conftest import bits


def spreads(n=300, seed=0):
    """Three clusters in 8 dimensions with standard deviations 1, 3 and 9."""
    rng = np.random.default_rng(seed)
    c = np.repeat(np.arange(3), n)
    centres = np.zeros((3, 8))
    centres[1, 0], centres[2, 1] = 60.0, 120.0
    return centres[c] + rng.normal(size=(3 * n, 8)) * np.array([1.0, 3.0, 9.0])[c][:, None], c


@pytest.fixture(scope="module")
def fits():
    x, c = spreads()
    kw = dict(n_neighbors=10, n_epochs=150, random_state=2)
    return x, c, UMAP(**kw).fit(x), UMAP(densmap=True, n_jobs=1, **kw).fit(x)


def test_the_radii_in_the_embedding_follow_those_in_the_data(fits):
    x, c, plain, dense = fits
    assert plain.data_radius_ is None and plain.embedding_radius_ is None
    assert dense.data_radius_.shape == dense.embedding_radius_.shape == (len(x),)
    for mine, kept in zip(local_radii(dense), (dense.data_radius_, dense.embedding_radius_)):
        np.testing.assert_array_equal(mine, kept)
    before = log_correlation(*local_radii(plain))
    after = log_correlation(dense.data_radius_, dense.embedding_radius_)
    assert after > 0.6 and after > before + 0.3
    sizes = [np.median(dense.embedding_radius_[c == k]) for k in range(3)]
    assert sizes[0] < sizes[1] < sizes[2]  # the spreads' order survives


def test_bits_do_not_depend_on_n_jobs_and_no_strength_is_the_plain_layout(fits):
    x, _, plain, dense = fits
    kw = dict(n_neighbors=10, n_epochs=150, random_state=2)
    again = UMAP(densmap=True, n_jobs=2, **kw).fit(x)
    np.testing.assert_array_equal(bits(again.embedding_), bits(dense.embedding_))
    off = UMAP(densmap=True, density_strength=0.0, n_jobs=2, **kw).fit(x)
    np.testing.assert_array_equal(bits(off.embedding_), bits(plain.embedding_))
    # New points are placed as for a plain model, by their neighbours.
    assert dense.transform(x[:5]).shape == (5, 2)


@pytest.mark.parametrize("params", [dict(density_strength=-1.0), dict(density_share=0.0),
                                    dict(density_share=1.5), dict(density_variance_shift=-0.1),
                                    dict(densmap="yes")])
def test_parameters_are_checked(params):
    with pytest.raises(InvalidParameterError):
        UMAP(**{"densmap": True, **params}).fit(np.random.default_rng(0).normal(size=(40, 3)))


def test_the_method_refuses_what_the_kernel_cannot_take():
    rng = np.random.default_rng(1)
    n = 30
    emb = rng.normal(size=(n, 2)).astype(np.float32)
    head = np.repeat(np.arange(n, dtype=np.int32), 3)
    tail = ((head + np.tile([1, 2, 3], n)) % n).astype(np.int32)
    eps = np.ones(head.size, np.float32)
    radius = rng.uniform(0.5, 2.0, n).astype(np.float32)

    def call(e, r, strength=0.5, epochs=5):
        return nv.umap_layout_density_f32(e, head, tail, eps, n, 2, 10, 1.577, 0.895, 1.0, 1.0,
                                          5.0, 3, r, strength, epochs, 0.1, 2, 0, 2, False, None)

    before = emb.copy()
    assert call(emb, None) == -1  # the term is on: it needs the radii
    bad = radius.copy()
    bad[4] = 0.0
    assert call(emb, bad) == -1
    np.testing.assert_array_equal(emb, before)
    assert call(emb, None, strength=0.0) == 0
    with pytest.raises(ValueError, match="data_radius must be a C-contiguous buffer"):
        call(emb, radius[:-1])
    with pytest.raises(ValueError, match="embedding and data_radius must not overlap"):
        call(emb, emb.ravel()[:n])
