"""umap_graph_f32: argument checks, view handling and the fuzzy graph it builds."""

import array
import ctypes
import ctypes.util
import math

import numpy as np
import pytest

import _native_vornik as m
from conftest import assert_views_released, bits

F32 = np.float32
BUFFER_MESSAGE = "{} must be a C-contiguous buffer with itemsize 4 and at least {} items"

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.expf.restype = ctypes.c_float
_libm.expf.argtypes = [ctypes.c_float]


def run_graph(idx, dist):
    """Calls the method on fresh output arrays and returns them."""
    n, k = idx.shape
    rows = np.full(2 * n * k, 77, np.int32)
    cols = np.full(2 * n * k, 77, np.int32)
    vals = np.full(2 * n * k, 77.0, np.float32)
    assert m.umap_graph_f32(idx, dist, rows, cols, vals, n, k) is None
    return rows, cols, vals


def edges(rows, cols, vals):
    """The non-empty slots as {(src, dst): weight}; fails on a repeated edge."""
    out = {}
    for r, c, v in zip(rows.tolist(), cols.tolist(), vals.tolist()):
        if v != 0.0:
            assert (r, c) not in out
            out[(r, c)] = v
    return out


# ---------------------------------------------------------------------------
# An independent, straightforward computation of the same graph
# ---------------------------------------------------------------------------


def reference_sigma_rho(dist):
    n, k = dist.shape
    flat = dist.astype(np.float64).ravel()
    mean_all = F32(np.cumsum(flat)[-1] / flat.size)  # sequential double sum
    target = math.log2(float(k))
    sigmas = np.zeros(n, np.float32)
    rhos = np.zeros(n, np.float32)
    for i in range(n):
        row = dist[i]
        positive = [F32(d) for d in row if d > 0]
        rho = positive[0] if positive else F32(0.0)
        lo, hi, mid = F32(0.0), F32(np.inf), F32(1.0)
        for _ in range(64):
            psum = F32(0.0)
            for j in range(1, k):
                d = F32(row[j]) - rho
                term = F32(_libm.expf(float(-(d / mid)))) if d > 0 else F32(1.0)
                psum = F32(psum + term)
            if abs(float(psum) - target) < float(F32(1e-5)):
                break
            if float(psum) > target:
                hi = mid
                mid = F32((lo + hi) * F32(0.5))
            else:
                lo = mid
                mid = F32(mid + mid) if np.isinf(hi) else F32((lo + hi) * F32(0.5))
        row_sum = 0.0
        for d in row:
            row_sum += float(d)
        base = F32(row_sum / k) if rho > 0 else mean_all
        sigmas[i] = max(mid, F32(F32(1e-3) * base))
        rhos[i] = rho
    return sigmas, rhos


def reference_graph(idx, dist):
    n, k = idx.shape
    sigmas, rhos = reference_sigma_rho(dist)
    weight = np.zeros((n, k), np.float32)
    for i in range(n):
        for j in range(k):
            c = idx[i, j]
            if c == -1 or c == i:
                continue
            excess = F32(dist[i, j]) - rhos[i]
            if excess <= 0 or sigmas[i] == 0:
                weight[i, j] = 1.0
            else:
                weight[i, j] = F32(math.exp(float(-(excess / sigmas[i]))))
    rows = np.zeros(2 * n * k, np.int32)
    cols = np.zeros(2 * n * k, np.int32)
    vals = np.zeros(2 * n * k, np.float32)
    for i in range(n):
        for j in range(k):
            a, c = weight[i, j], int(idx[i, j])
            if a <= 0 or not 0 <= c < n or c == i:
                continue
            b = next((weight[c, t] for t in range(k) if idx[c, t] == i and weight[c, t] > 0), F32(0))
            sym = F32(F32(a + b) - F32(a * b))
            off = 2 * (i * k + j)
            rows[off], cols[off], vals[off] = i, c, sym
            if b == 0:
                rows[off + 1], cols[off + 1], vals[off + 1] = c, i, sym
    return rows, cols, vals


def knn_with_self(points, k):
    """Exact kNN rows as a host would pass them: self first, ascending distances."""
    d2 = ((points[:, None, :] - points[None, :, :]) ** 2).sum(-1)
    order = np.argsort(d2, axis=1, kind="stable")[:, :k]
    order[:, 0] = np.arange(len(points))
    dist = np.sqrt(np.take_along_axis(d2, order, axis=1)).astype(np.float32)
    dist[:, 0] = 0.0
    return order.astype(np.int32), dist


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_matches_independent_computation_on_random_knn(seed):
    rng = np.random.default_rng(seed)
    points = rng.normal(size=(60, 3)).astype(np.float32)
    idx, dist = knn_with_self(points, 8)
    # Disturb some rows: missing neighbours, duplicate distances, zero distances.
    idx[3, 5] = -1
    dist[7, 2] = dist[7, 3]
    dist[11, 1:3] = 0.0
    got = run_graph(idx, dist)
    want = reference_graph(idx, dist)
    for g, w in zip(got, want):
        np.testing.assert_array_equal(bits(g), bits(w))


# ---------------------------------------------------------------------------
# Hand-checked graphs
# ---------------------------------------------------------------------------


def test_mutual_pair_at_rho_keeps_weight_one():
    # Column 0 is the point itself; the neighbour at rho weighs exactly 1.
    idx = np.array([[0, 1], [1, 0]], np.int32)
    dist = np.array([[0.0, 1.0], [0.0, 1.0]], np.float32)
    got = edges(*run_graph(idx, dist))
    # Each directed weight is 1 (distance equals rho): union 1 + 1 - 1 = 1.
    assert got == {(0, 1): 1.0, (1, 0): 1.0}


def test_one_way_edges_are_emitted_in_both_directions():
    # 0 and 1 list 2; 2 lists 0 only. Edge 1 -> 2 has no reverse.
    idx = np.array([[2], [2], [0]], np.int32)
    dist = np.array([[1.0], [1.0], [1.0]], np.float32)
    got = edges(*run_graph(idx, dist))
    assert got == {(0, 2): 1.0, (2, 0): 1.0, (1, 2): 1.0, (2, 1): 1.0}


def test_mutual_pair_is_the_fuzzy_union_of_both_weights():
    # 0 and 1 list each other as their farther neighbour with the same row
    # shape, so both directions weigh the same a < 1: union 2a - a^2.
    idx = np.array([[0, 2, 1], [1, 2, 0], [2, 0, 1]], np.int32)
    dist = np.array([[0.0, 1.0, 3.0], [0.0, 1.0, 3.0], [0.0, 1.0, 1.0]], np.float32)
    rows, cols, vals = run_graph(idx, dist)
    got = edges(rows, cols, vals)
    w = got[(0, 1)]
    assert got[(1, 0)] == w
    sigmas, rhos = reference_sigma_rho(dist)
    a = F32(math.exp(-float((F32(3.0) - rhos[0]) / sigmas[0])))
    assert w == F32(F32(a + a) - F32(a * a))


def test_all_zero_rows_weigh_every_neighbour_one():
    idx = np.array([[0, 1, 2], [1, 2, 0], [2, 0, 1]], np.int32)
    dist = np.zeros((3, 3), np.float32)
    got = edges(*run_graph(idx, dist))
    assert got == {(i, j): 1.0 for i in range(3) for j in range(3) if i != j}


def test_single_neighbour_rows():
    idx = np.array([[1], [0], [0]], np.int32)
    dist = np.array([[2.0], [2.0], [5.0]], np.float32)
    got = edges(*run_graph(idx, dist))
    assert got == {(0, 1): 1.0, (1, 0): 1.0, (2, 0): 1.0, (0, 2): 1.0}


def test_every_output_slot_is_rewritten():
    idx = np.array([[0, -1], [1, 0]], np.int32)
    dist = np.array([[0.0, 1.0], [0.0, 1.0]], np.float32)
    rows, cols, vals = run_graph(idx, dist)
    assert 77 not in rows and 77 not in cols and 77.0 not in vals


# ---------------------------------------------------------------------------
# Argument checks
# ---------------------------------------------------------------------------


def valid_args(n=3, k=2):
    return [
        array.array("i", [0] * (n * k)),
        array.array("f", [0.0] * (n * k)),
        array.array("i", [0] * (2 * n * k)),
        array.array("i", [0] * (2 * n * k)),
        array.array("f", [0.0] * (2 * n * k)),
        n,
        k,
    ]


@pytest.mark.parametrize("sizes", [(0, 2), (3, 0), (-1, 2), (3, -5)])
def test_sizes_are_checked_before_any_buffer(sizes):
    with pytest.raises(ValueError, match="^n_samples and n_neighbors must be positive$"):
        m.umap_graph_f32(None, "x", 1.5, b"", None, *sizes)


@pytest.mark.parametrize(
    "position, name, count",
    [(0, "idx", 6), (1, "dist", 6), (2, "out_rows", 12), (3, "out_cols", 12), (4, "out_vals", 12)],
)
def test_one_item_short_is_refused_and_held_views_released(position, name, count):
    args = valid_args()
    args[position] = array.array(args[position].typecode, [0] * (count - 1))
    with pytest.raises(ValueError) as err:
        m.umap_graph_f32(*args)
    assert str(err.value) == BUFFER_MESSAGE.format(name, count)
    assert_views_released(*args[:5])


def test_one_item_longer_is_accepted():
    args = valid_args()
    for i in range(5):
        args[i].append(args[i][0])
    assert m.umap_graph_f32(*args) is None


def test_float64_distances_name_dist():
    args = valid_args()
    args[1] = np.zeros(6, np.float64)
    with pytest.raises(ValueError, match="^" + BUFFER_MESSAGE.format("dist", 6) + "$"):
        m.umap_graph_f32(*args)


def test_int32_and_float32_bits_are_interchangeable():
    args = valid_args()
    args[1] = np.zeros(6, np.int32)  # distances given as int32 zeros are float zeros
    args[4] = np.zeros(12, np.int32)
    assert m.umap_graph_f32(*args) is None


def test_read_only_output_is_refused_by_the_buffer_protocol():
    args = valid_args()
    args[2] = bytes(48)
    with pytest.raises(BufferError):
        m.umap_graph_f32(*args)
    assert_views_released(args[0], args[1])


@pytest.mark.parametrize(
    "bad",
    [
        np.zeros((3, 4), np.int32, order="F"),
        np.zeros((3, 8), np.int32)[:, ::2],
    ],
    ids=["fortran", "strided"],
)
def test_non_contiguous_arrays_fail_in_the_buffer_protocol(bad):
    args = valid_args()
    args[2] = bad
    with pytest.raises((ValueError, BufferError)) as err:
        m.umap_graph_f32(*args)
    assert "C-contiguous buffer with itemsize" not in str(err.value)


def test_objects_without_buffers_raise_the_protocols_type_error():
    args = valid_args()
    args[0] = [0] * 6
    with pytest.raises(TypeError):
        m.umap_graph_f32(*args)


# ---------------------------------------------------------------------------
# umap_graph_f32_parallel
# ---------------------------------------------------------------------------


def test_threaded_graph_gives_the_serial_bits_and_raises_like_it():
    rng = np.random.default_rng(8)
    n, k = 13_000, 6  # three workers of at least 4,096 rows
    idx = np.where(rng.random((n, k)) < 0.7, (np.arange(n)[:, None] + rng.integers(-9, 9, (n, k))) % n,
                   rng.integers(0, n, (n, k))).astype(np.int32)
    idx[:, 0] = np.arange(n)
    dist = np.cumsum(rng.random((n, k)), axis=1, dtype=np.float32)
    dist[:, 0] = 0.0
    want = run_graph(idx, dist)
    for threads in (1, 2, 3):
        got = [np.full_like(w, 77) for w in want]
        assert m.umap_graph_f32_parallel(idx, dist, *got, n, k, threads) is None
        for g, w in zip(got, want):
            np.testing.assert_array_equal(bits(g), bits(w))
    with pytest.raises(ValueError, match="n_samples and n_neighbors must be positive"):
        m.umap_graph_f32_parallel(idx, dist, *got, 0, k, 2)
    with pytest.raises(ValueError, match=BUFFER_MESSAGE.format("out_vals", 2 * n * k)):
        m.umap_graph_f32_parallel(idx, dist, got[0], got[1], got[2][:-1], n, k, 2)
