"""knn_descent_f32: argument checks, buffer handling, statuses and result quality."""

import numpy as np
import pytest

import _native_vornik as nv


def call(x, idx, dist, n, d, k, n_trees=2, n_iters=5, seed=7, leaf_size=10, n_threads=2):
    return nv.knn_descent_f32(x, idx, dist, n, d, k, n_trees, n_iters, seed, leaf_size, n_threads)


def clustered(n, d, clusters, seed):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 6.0, size=(clusters, d))
    labels = rng.integers(0, clusters, size=n)
    return np.ascontiguousarray(centres[labels] + rng.normal(size=(n, d)), dtype=np.float32)


def outputs(n, k):
    return np.full((n, k), 555, dtype=np.int32), np.full((n, k), -9.0, dtype=np.float32)


@pytest.mark.parametrize("n, d, k", [(0, 3, 2), (5, 0, 2), (5, 3, 0), (-1, 3, 2), (5, 3, -4)])
def test_sizes_must_be_positive_before_any_buffer_is_looked_at(n, d, k):
    with pytest.raises(ValueError, match="^n, d, and k must be positive$"):
        call(object(), None, 12, n, d, k)


def test_short_x_is_refused_before_idx_and_dist_are_acquired():
    n, d, k = 6, 4, 2
    x = np.zeros(n * d - 1, dtype=np.float32)
    message = f"^x must be a C-contiguous buffer with itemsize 4 and at least {n * d} items$"
    with pytest.raises(ValueError, match=message):
        call(x, object(), object(), n, d, k)  # idx/dist would fail differently if acquired


@pytest.mark.parametrize("which", ["idx", "dist"])
def test_read_only_output_is_refused_and_x_is_released(which):
    n, d, k = 6, 2, 2
    x = bytearray(np.zeros(n * d, dtype=np.float32).tobytes())
    xv = memoryview(x).cast("f")
    idx, dist = outputs(n, k)
    if which == "idx":
        idx = memoryview(idx.tobytes()).cast("i")
    else:
        dist = memoryview(dist.tobytes()).cast("f")
    with pytest.raises(BufferError):
        call(xv, idx, dist, n, d, k)
    xv.release()
    x.extend(b"\0" * 4)  # resizing fails while any export of x is still held
    assert len(x) == (n * d + 1) * 4


def test_k_equal_to_n_returns_minus_one_and_leaves_outputs():
    n, d = 5, 3
    x = clustered(n, d, 1, 1)
    idx, dist = outputs(n, n)
    assert call(x, idx, dist, n, d, n) == -1
    assert (idx == 555).all() and (dist == -9.0).all()


def test_seed_minus_one_is_the_top_seed():
    n, d, k = 200, 5, 4
    x = clustered(n, d, 3, 2)
    a_idx, a_dist = outputs(n, k)
    b_idx, b_dist = outputs(n, k)
    assert call(x, a_idx, a_dist, n, d, k, seed=-1) == 0
    assert call(x, b_idx, b_dist, n, d, k, seed=2**64 - 1) == 0
    assert (a_idx == b_idx).all()
    assert a_dist.tobytes() == b_dist.tobytes()


def test_results_are_heaps_of_squared_distances_without_self():
    n, d, k = 500, 8, 6
    x = clustered(n, d, 4, 3)
    idx, dist = outputs(n, k)
    assert call(x, idx, dist, n, d, k, n_trees=3, n_iters=4, leaf_size=12) == 0
    rows = np.arange(n)[:, None]
    assert (idx >= 0).all() and (idx != rows).all()
    assert all(len(set(r)) == k for r in idx)
    exact = ((x[idx].astype(np.float64) - x[rows].astype(np.float64)) ** 2).sum(axis=2)
    np.testing.assert_allclose(dist, exact, rtol=1e-5, atol=1e-5)
    for j in range(1, k):
        assert (dist[:, j] <= dist[:, (j - 1) // 2]).all()


def test_recall_on_clustered_data():
    n, d, k = 3000, 10, 10
    x = clustered(n, d, 10, 4)
    idx, dist = outputs(n, k)
    assert call(x, idx, dist, n, d, k, n_trees=4, n_iters=10, leaf_size=20) == 0
    x64 = x.astype(np.float64)
    sq = (x64 ** 2).sum(axis=1)
    d2 = sq[:, None] - 2.0 * x64 @ x64.T + sq[None, :]
    np.fill_diagonal(d2, np.inf)
    truth = np.argsort(d2, axis=1)[:, :k]
    hits = sum(np.intersect1d(a, b).size for a, b in zip(idx, truth))
    assert hits / truth.size >= 0.95


RANGE_MESSAGE = ("^squared distances between rows of x can reach 1e30, beyond the kernel's range; "
                 "scale x down$")


@pytest.mark.parametrize("scale", [2.0**50, 1e16, 1e20, 1e38])
def test_data_whose_squared_distances_reach_1e30_is_refused(scale):
    # Such distances are never admitted to a row: every slot came back empty.
    n, d, k = 300, 3, 5
    x = (np.random.default_rng(1).uniform(-0.5, 0.5, (n, d)) * scale).astype(np.float32)
    x[0] = 0.0
    x[1, 0] = scale  # the box's squared diagonal is at least scale**2
    idx, dist = outputs(n, k)
    with pytest.raises(ValueError, match=RANGE_MESSAGE):
        call(x, idx, dist, n, d, k)
    assert (idx == 555).all() and (dist == -9.0).all()


def test_squared_distances_just_below_1e30_are_neighbours():
    x = np.array([[0.0], [9.9e14], [2.0e14]], np.float32)
    idx, dist = outputs(3, 1)
    assert call(x, idx, dist, 3, 1, 1) == 0
    assert idx.ravel().tolist() == [2, 2, 0]
    e = x[1, 0] - x[2, 0]
    assert dist[1, 0] == e * e


def test_non_finite_values_do_not_count_towards_the_range():
    n, d, k = 200, 4, 4
    x = clustered(n, d, 3, 9)
    x[3, 1] = np.nan
    x[7, 0] = np.inf
    x[9, 2] = -np.inf
    idx, dist = outputs(n, k)
    assert call(x, idx, dist, n, d, k) == 0
    finite_rows = np.isfinite(x).all(axis=1)
    assert (idx[finite_rows] >= 0).all()
