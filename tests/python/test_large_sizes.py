"""Element counts and offsets beyond 2^31."""

import numpy as np
import pytest

import _native_vornik as m
from conftest import UNDER_ASAN

BUFFER_MESSAGE = "{} must be a C-contiguous buffer with itemsize 4 and at least {} items"


@pytest.mark.parametrize(
    "call, name, count",
    [
        (lambda b: m.knn_descent_f32(b, b, b, 2**20, 2**12, 5, 1, 1, 0, 10, 1), "x", 2**32),
        (lambda b: m.knn_descent_f32(np.zeros(4, np.float32), b, b, 2, 2, 2**31 - 1, 1, 1, 0, 10, 1),
         "idx", 2 * (2**31 - 1)),
        (lambda b: m.umap_graph_f32(np.zeros(2**21, np.int32), np.zeros(2**21, np.float32), b, b, b,
                                    2**10, 2**11), "out_rows", 2**22),
        (lambda b: m.umap_graph_f32(b, b, b, b, b, 2**31 - 1, 2**31 - 1), "idx", (2**31 - 1) ** 2),
        (lambda b: m.umap_layout_euclidean_f32(b, b, b, b, 2**30, 4, 1, 1.0, 1.0, 1.0, 1.0, 5.0, 0, 1),
         "embedding", 2**32),
    ],
)
def test_required_counts_are_formed_in_64_bits(call, name, count):
    small = np.zeros(8, np.float32)
    with pytest.raises(ValueError) as err:
        call(small)
    assert str(err.value) == BUFFER_MESSAGE.format(name, count)


@pytest.mark.heavy
@pytest.mark.skipif(UNDER_ASAN, reason="a sparse 8 GiB buffer is not sparse under ASan")
def test_serial_layout_reaches_rows_beyond_two_to_the_31_floats():
    # 2^28 vertices of 8 floats: the top rows start past float 2^31. The buffer
    # is mapped lazily, so only the pages the optimiser touches become memory.
    n, dim = 2**28, 8
    try:
        emb = np.zeros((n, dim), np.float32)
    except MemoryError:
        pytest.skip("no address space for an 8 GiB buffer")
    top = n - 1 - np.arange(4)
    for v in top:
        emb[v] = np.arange(dim) * 0.5 + v % 7
    emb[0] = 3.0
    head = np.array([top[0], top[1], top[2], 0], np.int32)
    tail = np.array([top[1], top[2], top[3], top[3]], np.int32)
    before = emb[top].copy(), emb[0].copy()
    rc = m.umap_layout_euclidean_f32(emb, head, tail, np.ones(4, np.float32), n, dim, 3,
                                     1.58, 0.9, 1.0, 1.0, 2.0, 7, 1)
    assert rc == -1  # one thread: the serial optimiser did the work
    moved = emb[top] != before[0]
    assert moved.any(axis=1).all(), "rows past 2^31 floats were not updated"
    assert (emb[0] != before[1]).any()
    assert np.isfinite(emb[top]).all()
    # Nothing else was written: every touched row is an edge end (negative
    # samples only move the head).
    assert not emb[1:64].any()


@pytest.mark.heavy
@pytest.mark.skipif(UNDER_ASAN, reason="gigabytes of shadow memory")
def test_parallel_layout_with_gradient_buffers_beyond_two_gigabytes():
    # 2^28 vertices in 2-D: each of the two workers' gradient blocks holds
    # 2^29 floats, 2 GiB, and the reduction walks slices of 2^28 floats.
    n, dim = 2**28, 2
    try:
        emb = np.zeros((n, dim), np.float32)
    except MemoryError:
        pytest.skip("no memory for a 2 GiB embedding")
    top = n - 1 - np.arange(3)
    emb[top] = [[1.0, 2.0], [2.5, 0.5], [4.0, 3.0]]
    head = np.array([top[0], top[1]], np.int32)
    tail = np.array([top[1], top[2]], np.int32)
    rc = m.umap_layout_euclidean_f32(emb, head, tail, np.ones(2, np.float32), n, dim, 2,
                                     1.58, 0.9, 1.0, 1.0, 1.0, 3, 2)
    if rc == -1:
        pytest.skip("the gradient buffers could not be allocated; the serial optimiser ran")
    assert rc == 0
    moved = emb[top] != np.array([[1.0, 2.0], [2.5, 0.5], [4.0, 3.0]], np.float32)
    assert moved.any(axis=1).all()
    assert np.isfinite(emb[top]).all()
    # Only the edge ends move: negative samples push the head alone.
    changed = np.flatnonzero(emb.any(axis=1))
    assert set(changed.tolist()) <= set(top.tolist())
