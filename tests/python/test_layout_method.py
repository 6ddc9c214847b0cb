"""umap_layout_euclidean_f32: argument checks, buffer rules, statuses and the
narrowing of the float parameters."""

import array

import numpy as np
import pytest

import _native_vornik as nv

A, B = 1.577, 0.895


def ring(n=12, degree=3, seed=0):
    rng = np.random.default_rng(seed)
    emb = rng.uniform(-4, 4, (n, 2)).astype(np.float32)
    head = np.repeat(np.arange(n, dtype=np.int32), degree)
    tail = ((head + np.tile(np.arange(1, degree + 1), n)) % n).astype(np.int32)
    eps = rng.uniform(1.0, 3.0, head.size).astype(np.float32)
    return emb, head, tail, eps


def call(emb, head, tail, eps, n, dim=2, n_epochs=20, a=A, b=B, gamma=1.0, alpha=1.0,
         rate=5.0, seed=7, n_threads=2):
    return nv.umap_layout_euclidean_f32(emb, head, tail, eps, n, dim, n_epochs, a, b, gamma,
                                        alpha, rate, seed, n_threads)


# ---------------------------------------------------------------------------
# Arguments and buffers
# ---------------------------------------------------------------------------


def test_argument_format_is_positional_and_typed():
    emb, head, tail, eps = ring()
    with pytest.raises(TypeError):
        nv.umap_layout_euclidean_f32(emb, head, tail, eps, 12, 2, 20, A, B, 1.0, 1.0, 5.0, 7)
    with pytest.raises(TypeError):
        nv.umap_layout_euclidean_f32(emb, head, tail, eps, 12, 2, 20, A, B, 1.0, 1.0, 5.0, 7,
                                     n_threads=2)
    with pytest.raises(TypeError):
        call(emb, head, tail, eps, 12.0)


@pytest.mark.parametrize("n, dim, epochs", [(0, 2, 5), (12, 0, 5), (12, 2, 0), (-1, 2, 5)])
def test_sizes_must_be_positive(n, dim, epochs):
    emb, head, tail, eps = ring()
    before = emb.copy()
    with pytest.raises(ValueError, match=r"^n_samples, dim, and n_epochs must be positive$"):
        call(emb, head, tail, eps, n, dim, epochs)
    assert np.array_equal(emb, before)


def test_lengths_must_match_and_views_are_released():
    emb = array.array("f", [0.5] * 24)
    head = array.array("i", [0] * 10)
    tail = array.array("i", [1] * 10)
    eps = array.array("f", [1.0] * 9)
    with pytest.raises(ValueError, match=r"^head, tail, and epochs_per_sample lengths must match$"):
        call(emb, head, tail, eps, 12)
    for buf in (emb, head, tail, eps):  # resizing fails while a view is exported
        buf.append(buf[0])


def test_buffer_messages_name_the_argument():
    emb, head, tail, eps = ring()
    with pytest.raises(
        ValueError,
        match=r"^head must be a C-contiguous buffer with itemsize 4 and at least 0 items$",
    ):
        call(emb, head.astype(np.int64), tail, eps, 12)
    with pytest.raises(
        ValueError,
        match=r"^embedding must be a C-contiguous buffer with itemsize 4 and at least 24 items$",
    ):
        call(emb.reshape(-1)[:23].copy(), head, tail, eps, 12)
    with pytest.raises(ValueError, match=r"^epochs_per_sample must be"):
        call(emb, head, tail, eps.astype(np.float64), 12)
    with pytest.raises(ValueError):  # the exporter refuses a strided view itself
        call(emb, head, tail, np.repeat(eps, 2)[::2], 12)
    with pytest.raises(ValueError, match=r"^tail must be"):
        call(emb, head, tail.astype(np.int16), eps, 12)


def test_embedding_must_be_writable():
    emb, head, tail, eps = ring()
    emb.setflags(write=False)
    with pytest.raises((ValueError, BufferError)):
        call(emb, head, tail, eps, 12)


def test_out_of_range_ids_raise_before_the_kernel_and_release_views():
    emb = array.array("f", [0.25 * i for i in range(8)])
    before = emb.tolist()
    eps = array.array("f", [1.0, 1.0])
    for head_ids, tail_ids in (([0, 4], [1, 2]), ([0, 1], [-1, 2]), ([0, 1], [2, 2**31 - 1])):
        head = array.array("i", head_ids)
        tail = array.array("i", tail_ids)
        with pytest.raises(ValueError, match=r"^head and tail ids must be in \[0, n_samples\)$"):
            call(emb, head, tail, eps, 4)
        assert emb.tolist() == before
        for buf in (emb, head, tail, eps):
            buf.append(buf[0])
            buf.pop()


# ---------------------------------------------------------------------------
# Statuses
# ---------------------------------------------------------------------------


def test_threaded_run_returns_zero_and_is_reproducible():
    emb, head, tail, eps = ring(n=40)
    a, b = emb.copy(), emb.copy()
    assert call(a, head, tail, eps, 40) == 0
    assert call(b, head, tail, eps, 40) == 0
    assert a.tobytes() == b.tobytes()
    assert not np.array_equal(a, emb)
    assert np.isfinite(a).all()


def test_single_thread_optimises_serially_but_returns_minus_one():
    emb, head, tail, eps = ring(n=40)
    out = emb.copy()
    rc = call(out, head, tail, eps, 40, n_threads=1)
    assert rc == -1 and type(rc) is int
    assert not np.array_equal(out, emb)
    again = emb.copy()
    call(again, head, tail, eps, 40, n_threads=1)
    assert out.tobytes() == again.tobytes()


def test_empty_edges_are_refused_by_the_kernel():
    emb, _, _, _ = ring()
    before = emb.copy()
    empty_i = np.zeros(0, np.int32)
    assert call(emb, empty_i, empty_i, np.zeros(0, np.float32), 12) == -1
    assert np.array_equal(emb, before)


@pytest.mark.parametrize("rate", [0.0, -1.0, 1e-50])
def test_non_positive_negative_sample_rate_is_refused(rate):
    emb, head, tail, eps = ring()
    before = emb.copy()
    assert call(emb, head, tail, eps, 12, rate=rate) == -1  # 1e-50 narrows to 0.0f
    assert np.array_equal(emb, before)


def test_larger_embedding_is_accepted_and_only_its_head_is_touched():
    emb, head, tail, eps = ring(n=12)
    big = np.full(12 * 2 + 7, 123.5, np.float32)
    big[:24] = emb.reshape(-1)
    exact = emb.copy()
    assert call(big, head, tail, eps, 12) == 0
    assert call(exact, head, tail, eps, 12) == 0
    assert big[:24].tobytes() == exact.reshape(-1).tobytes()
    assert (big[24:] == 123.5).all()


# ---------------------------------------------------------------------------
# Narrowing of the float parameters
# ---------------------------------------------------------------------------


def test_tiny_gamma_narrows_to_zero_and_turns_repulsion_off():
    emb, head, tail, eps = ring(n=30)
    tiny, zero = emb.copy(), emb.copy()
    call(tiny, head, tail, eps, 30, gamma=1e-50)
    call(zero, head, tail, eps, 30, gamma=0.0)
    assert tiny.tobytes() == zero.tobytes()
    # 1e-40 stays a (subnormal) float and is a different run.
    sub = emb.copy()
    call(sub, head, tail, eps, 30, gamma=1e-40)
    assert np.isfinite(sub).all()


def test_huge_gamma_narrows_to_infinity():
    emb, head, tail, eps = ring(n=30)
    huge, inf = emb.copy(), emb.copy()
    call(huge, head, tail, eps, 30, gamma=1e300)
    call(inf, head, tail, eps, 30, gamma=float("inf"))
    assert huge.tobytes() == inf.tobytes()
    # An infinite repulsion clips to 4 per coordinate.
    assert not np.array_equal(huge, emb)
