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
    # densmap's: the density term over every epoch, the edges read in place
    (nv.umap_layout_density_f32, (1.0 + np.arange(2000, dtype=np.float32) % 5, 1.0, 30, 0.1, 2,
                                  0, 2, True), "tail"),
])
def test_a_layout_survives_its_edges_rewritten(method, own, rewrite):
    emb, head, tail, eps = layout_args()
    ids = {"head": head, "tail": tail}[rewrite]
    statuses = rewritten(ids, lambda control: method(
        emb, head, tail, eps, emb.shape[0], 2, 30, A, B, 1.0, 1.0, 5.0, 7, *own, control))
    assert set(statuses) <= {0, -1}


def test_the_query_and_the_new_points_survive_their_ids_rewritten():
    rng = np.random.default_rng(1)
    n, d, width, m, k = 3000, 16, 12, 3000, 10
    x = rng.normal(size=(n, d)).astype(np.float32)
    graph = rng.integers(0, n, (n, width)).astype(np.int32)
    pivots = rng.choice(n, 64, replace=False).astype(np.int32)
    q = rng.normal(size=(m, d)).astype(np.float32)
    idx = np.empty((m, k), np.int32)
    dist = np.empty((m, k), np.float32)
    trees, leaf = 4, 16
    slots = nv.knn_forest_nodes(n, leaf)
    order = np.empty((trees, n), np.int32)
    splits = np.empty((trees, slots, 2), np.int32)
    thresholds = np.empty((trees, slots), np.float32)
    assert nv.knn_search_forest_f32(x, order, splits, thresholds, n, d, trees, leaf, 5, 2,
                                    None) == 0
    statuses = []
    for ids in (graph, order, splits):
        kept = ids.copy()  # the call checks ids before it runs
        statuses += rewritten(ids, lambda control: nv.knn_query_f32_ctl(
            x, graph, pivots, order, splits, thresholds, q, idx, dist, n, d, width, pivots.size,
            trees, leaf, m, k, 4 * k, 4, 2, control))
        ids[...] = kept

    reference = rng.uniform(-5, 5, (n, 2)).astype(np.float32)
    start = rng.uniform(-5, 5, (m, 2)).astype(np.float32)
    tail = rng.integers(0, n, (m, k)).astype(np.int32)
    eps = np.ones((m, k), np.float32)
    keys = np.arange(m, dtype=np.uint64)
    statuses += rewritten(tail, lambda control: nv.umap_layout_new_points_f32_ctl(
        start, reference, tail, eps, keys, m, n, 2, k, 100, A, B, 1.0, 1.0, 5.0, 3, 2, control))
    assert set(statuses) <= {0, -1}
