"""Id arrays that another Python thread rewrites while a kernel runs without the interpreter
lock: the call returns (its result is unspecified), it never reads or writes outside its
buffers (the ASan step checks every access)."""

import threading

import numpy as np
import pytest

import _native_vornik as nv

A, B = 1.577, 0.895


def rewritten(ids, run, repeats=2):
    """run(control) `repeats` times, each from the ids as given, while another thread fills
    them with ids in and far out of range once the kernel has counted some progress (its
    checks before the work are past then)."""
    given = ids.copy()
    statuses = []
    for seed in range(repeats):
        ids[...] = given
        control = np.zeros(2, np.int64)
        done = threading.Event()

        def write():
            rng = np.random.default_rng(seed)
            while control[0] == 0 and not done.wait(0.001):
                pass
            while not done.is_set():
                ids[...] = rng.integers(-2**31, 2**31, ids.shape).astype(np.int32)
                ids[::2] //= 2**20  # some near the valid range, some -1

        writer = threading.Thread(target=write)
        writer.start()
        try:
            statuses.append(run(control))
        finally:
            done.set()
            writer.join()
    return statuses


def layout_args(n=2000, degree=8, seed=0):
    rng = np.random.default_rng(seed)
    emb = rng.uniform(-5, 5, (n, 2)).astype(np.float32)
    head = np.repeat(np.arange(n, dtype=np.int32), degree)
    tail = rng.integers(0, n, head.size).astype(np.int32)
    eps = (1.0 / rng.uniform(0.05, 1.0, head.size)).astype(np.float32)
    return emb, head, tail, eps


@pytest.mark.parametrize("method, own, rewrite", [
    (nv.umap_layout_euclidean_f32_ctl, (2,), "tail"),
    # the fit's layout: two parts, the default substeps, two threads
    (nv.umap_layout_euclidean_f32_parts_in_schedule_order, (2, 0, 2), "head"),
])
def test_a_layout_survives_its_edges_rewritten(method, own, rewrite):
    emb, head, tail, eps = layout_args()
    ids = {"head": head, "tail": tail}[rewrite]
    statuses = rewritten(ids, lambda control: method(
        emb, head, tail, eps, emb.shape[0], 2, 30, A, B, 1.0, 1.0, 5.0, 7, *own, control))
    assert set(statuses) <= {0, -1}
