"""The methods with a control block: knn_descent_f32_ctl, umap_layout_euclidean_f32_ctl and
umap_layout_euclidean_f32_parts. Results that do not depend on the thread count, the
control buffer's checks, progress, and a stop from another Python thread."""

import array
import threading
import time

import numpy as np
import pytest

import _native_vornik as nv
from conftest import assert_views_released, bits

A, B = 1.577, 0.895
STOPPED = -3


def graph(n=300, degree=6, seed=0):
    rng = np.random.default_rng(seed)
    emb = rng.uniform(-5, 5, (n, 2)).astype(np.float32)
    head = np.repeat(np.arange(n, dtype=np.int32), degree)
    tail = rng.integers(0, n, head.size).astype(np.int32)
    eps = (1.0 / rng.uniform(0.05, 1.0, head.size)).astype(np.float32)
    return emb, head, tail, eps


def layout(method, emb, head, tail, eps, *tail_args, n_epochs=30):
    return method(emb, head, tail, eps, emb.shape[0], emb.shape[1], n_epochs, A, B, 1.0, 1.0,
                  5.0, 7, *tail_args)


def parts(emb, head, tail, eps, n_parts, n_threads, control=None, n_substeps=0, n_epochs=30):
    return layout(nv.umap_layout_euclidean_f32_parts, emb, head, tail, eps, n_parts, n_substeps,
                  n_threads, control, n_epochs=n_epochs)


def points(n=1200, d=8, seed=3):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 6, (6, d))
    return np.ascontiguousarray(centres[rng.integers(0, 6, n)] + rng.normal(size=(n, d)),
                                dtype=np.float32)


def knn_ctl(x, k, tree_workers, n_threads, control=None, n_trees=4, n_iters=5):
    idx = np.full((x.shape[0], k), 555, np.int32)
    dist = np.full((x.shape[0], k), -9.0, np.float32)
    rc = nv.knn_descent_f32_ctl(x, idx, dist, x.shape[0], x.shape[1], k, n_trees, n_iters, 11,
                                12, tree_workers, n_threads, control)
    return rc, idx, dist


# ---------------------------------------------------------------------------
# The same bits for any thread count
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("n_parts, n_substeps", [(2, 0), (3, 4)])
def test_parts_layout_equals_the_threaded_layout_with_one_thread_per_part(
        monkeypatch, n_parts, n_substeps):
    emb, head, tail, eps = graph()
    if n_substeps:
        monkeypatch.setenv("MIRNAK_UMAP_SUBSTEPS", str(n_substeps))
    want = emb.copy()
    assert layout(nv.umap_layout_euclidean_f32, want, head, tail, eps, n_parts) == 0
    # The environment is not read by the parts method.
    monkeypatch.setenv("MIRNAK_UMAP_SUBSTEPS", "1")
    for n_threads in (1, 2, 3, 8):
        got = emb.copy()
        assert parts(got, head, tail, eps, n_parts, n_threads, n_substeps=n_substeps) == 0
        assert bits(got).tobytes() == bits(want).tobytes(), n_threads


def test_one_part_is_the_serial_optimiser_and_returns_zero():
    emb, head, tail, eps = graph()
    want = emb.copy()
    assert layout(nv.umap_layout_euclidean_f32, want, head, tail, eps, 1) == -1
    got = emb.copy()
    assert parts(got, head, tail, eps, 1, 2) == 0
    assert bits(got).tobytes() == bits(want).tobytes()


def test_knn_with_fixed_tree_workers_ignores_the_thread_count():
    x = points()
    for tree_workers, as_threads in ((0, 4), (2, 2)):
        _, want_idx, want_dist = knn_ctl(x, 10, as_threads, as_threads)
        rc, idx, dist = knn_ctl(x, 10, as_threads, as_threads)
        assert rc == nv.knn_descent_f32(x, idx, dist, *x.shape, 10, 4, 5, 11, 12, as_threads)
        for n_threads in (1, 2, 3, 8):
            rc, idx, dist = knn_ctl(x, 10, tree_workers, n_threads)
            assert rc == 0
            assert np.array_equal(idx, want_idx) and bits(dist).tobytes() == bits(want_dist).tobytes()


# ---------------------------------------------------------------------------
# The control buffer
# ---------------------------------------------------------------------------


def test_progress_reaches_its_total_and_a_block_changes_no_bits():
    emb, head, tail, eps = graph()
    control = np.array([-1, 0], np.int64)
    got, want = emb.copy(), emb.copy()
    assert layout(nv.umap_layout_euclidean_f32_ctl, got, head, tail, eps, 2, control) == 0
    assert layout(nv.umap_layout_euclidean_f32, want, head, tail, eps, 2) == 0
    assert bits(got).tobytes() == bits(want).tobytes()
    assert control.tolist() == [30, 0]
    control[:] = (-1, 0)
    assert parts(emb.copy(), head, tail, eps, 2, 2, control) == 0
    assert control.tolist() == [30, 0]
    control[:] = (-1, 0)
    assert knn_ctl(points(), 10, 0, 2, control, n_trees=3, n_iters=4)[0] == 0
    assert control.tolist() == [3 + 4, 0]


def test_control_must_be_two_writable_8_byte_items_apart_from_the_other_buffers():
    emb, head, tail, eps = graph(n=40)
    before = emb.copy()
    message = r"^control must be a C-contiguous buffer with itemsize 8 and at least 2 items$"
    for bad in (np.zeros(2, np.int32), np.zeros(1, np.int64), np.zeros(4, np.float32)):
        with pytest.raises(ValueError, match=message):
            parts(emb, head, tail, eps, 2, 2, bad)
    read_only = np.zeros(2, np.int64)
    read_only.setflags(write=False)
    with pytest.raises((ValueError, BufferError)):
        layout(nv.umap_layout_euclidean_f32_ctl, emb, head, tail, eps, 2, read_only)
    shared = emb.view(np.int64).reshape(-1)  # the control block inside the embedding
    with pytest.raises(ValueError, match=r"^embedding and control must not overlap$"):
        parts(emb, head, tail, eps, 2, 2, shared[:2])
    x = points(200)
    with pytest.raises(ValueError, match=message):
        knn_ctl(x, 5, 0, 2, np.zeros(2, np.uint32))
    assert np.array_equal(emb, before)
    with pytest.raises(ValueError, match=r"^n_parts must be positive"):
        parts(emb, head, tail, eps, 0, 2)
    with pytest.raises(ValueError, match=r"n_substeps must not be negative$"):
        parts(emb, head, tail, eps, 2, 2, n_substeps=-1)
    held = array.array("q", [0, 0])
    parts(emb, head, tail, eps, 2, 2, held)
    assert_views_released(held)


def test_a_stop_before_the_call_returns_stopped_with_outputs_untouched():
    emb, head, tail, eps = graph()
    for call in (lambda c: parts(emb, head, tail, eps, 3, 2, c),
                 lambda c: layout(nv.umap_layout_euclidean_f32_ctl, emb, head, tail, eps, 2, c)):
        control = np.array([-1, 1], np.int64)
        before = emb.copy()
        assert call(control) == STOPPED
        assert np.array_equal(emb, before) and control.tolist() == [0, 1]
    control = np.array([-1, 1], np.int64)
    rc, idx, _ = knn_ctl(points(), 10, 0, 2, control)
    assert rc == STOPPED and (idx == 555).all()


@pytest.mark.parametrize("kernel", ["parts", "ctl", "knn"])
def test_a_stop_from_the_main_thread_ends_a_kernel_on_a_worker_thread(kernel):
    # Runs that would take minutes; the main thread keeps the interpreter
    # while the kernel runs without it, and stops it once it has made progress.
    emb, head, tail, eps = graph(n=2000)
    x = points(20000, 24)
    control = np.zeros(2, np.int64)
    result = {}
    if kernel == "parts":
        run = lambda: parts(emb, head, tail, eps, 2, 2, control, n_epochs=10**6)
    elif kernel == "ctl":
        run = lambda: layout(nv.umap_layout_euclidean_f32_ctl, emb, head, tail, eps, 2, control,
                             n_epochs=10**6)
    else:
        run = lambda: knn_ctl(x, 10, 0, 2, control, n_trees=2, n_iters=1000)[0]
    worker = threading.Thread(target=lambda: result.setdefault("rc", run()))
    worker.start()
    while control[0] < 3 and worker.is_alive():
        time.sleep(0.001)
    control[1] = 1
    worker.join(timeout=60)
    assert not worker.is_alive()
    assert result["rc"] == STOPPED
    assert control[0] >= 3
