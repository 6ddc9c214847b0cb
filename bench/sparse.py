"""Sparse input: recall, speed and memory of the sparse neighbour search and the whole fit.

Data: n documents over a vocabulary of d terms, each about 80 distinct terms
drawn from a Zipf law over a topic's ordering of the vocabulary (50 topics,
30% of draws from the shared ordering), weighted by TF-IDF (scikit-learn).

Prints, per metric, the search's time and recall@15 against the exact search
in the same metric (the native exact query, on a sample of rows); the dense
Euclidean search of n x 80 floats for the per-row speed comparison; and, in
fresh processes, the whole fit's time and peak memory beside the CSR arrays'
size. Times: minimum and median of alternate repeats.

    python bench/sparse.py [--n 100000] [--d 50000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time

import numpy as np
import scipy.sparse as sp
from sklearn.feature_extraction.text import TfidfTransformer

import _native_vornik as _native
from brembolt.vornik import _sparse
from brembolt.vornik._pipeline import default_knn_settings

K = 15
SAMPLE = 1000


def documents(n: int, d: int, seed: int = 0, terms: int = 80) -> sp.csr_matrix:
    rng = np.random.default_rng(seed)
    topics = 50
    orders = np.stack([rng.permutation(d) for _ in range(topics + 1)]).astype(np.int32)
    draws = int(terms * 2.0)  # repeats are merged: about `terms` distinct remain
    ranks = np.minimum(rng.zipf(1.1, size=(n, draws)) - 1, d - 1)
    topic = np.where(rng.random((n, draws)) < 0.7, rng.integers(0, topics, n)[:, None], topics)
    cols = orders[topic, ranks]
    rows = np.repeat(np.arange(n), draws)
    counts = sp.csr_matrix((np.ones(n * draws, np.float32), (rows, cols.ravel())), shape=(n, d))
    counts.sum_duplicates()
    x = TfidfTransformer().fit_transform(counts).astype(np.float32).tocsr()
    x.sort_indices()
    return x


def search(x: sp.csr_matrix, measure: str, threads: int):
    n, d = x.shape
    s = default_knn_settings(n, d, K)
    idx = np.empty((n, K), np.int32)
    dist = np.empty((n, K), np.float32)
    t = time.perf_counter()
    rc = _native.knn_descent_sparse_f32(*_sparse._arrays(x), idx, dist, n, d, K, s.n_trees,
                                        s.n_iters, 1, s.leaf_size, 0, threads, None, measure)
    assert rc == 0, rc
    return time.perf_counter() - t, idx, dist


def recall(x, measure, dist, threads) -> float:
    rows = np.random.default_rng(1).choice(x.shape[0], SAMPLE, replace=False)
    exact_idx = np.empty((SAMPLE, K + 1), np.int32)
    exact_dist = np.empty((SAMPLE, K + 1), np.float32)
    q = x[rows]
    rc = _native.knn_query_sparse_f32(*_sparse._arrays(x), x.shape[0], *_sparse._arrays(q),
                                      SAMPLE, x.shape[1], exact_idx, exact_dist, K + 1, measure,
                                      threads)
    assert rc == 0
    got = dist[rows]  # the kernel's distances, the exact query's bits
    # The k-th exact distance other than the row itself bounds a hit (ties count).
    kth = np.sort(exact_dist, axis=1)[:, K]
    return float((got <= kth[:, None]).mean())


def dense_search(n: int, threads: int) -> float:
    rng = np.random.default_rng(2)
    centres = rng.normal(0, 4, (50, 80)).astype(np.float32)
    x = (centres[rng.integers(0, 50, n)] + rng.normal(0, 1, (n, 80))).astype(np.float32)
    s = default_knn_settings(n, 80, K)
    idx = np.empty((n, K), np.int32)
    dist = np.empty((n, K), np.float32)
    t = time.perf_counter()
    rc = _native.knn_descent_f32_ctl(x, idx, dist, n, 80, K, s.n_trees, s.n_iters, 1,
                                     s.leaf_size, 0, threads, None)
    assert rc == 0
    return time.perf_counter() - t


def fit_in_fresh_process(path: str, metric: str) -> dict:
    # The process's own high-water mark (VmHWM): ru_maxrss would carry the
    # parent's across exec.
    code = f"""
import json, re, time, numpy as np, scipy.sparse as sp
from brembolt.vornik import UMAP
def hwm():
    return int(re.search(r"VmHWM:\\s+(\\d+)", open("/proc/self/status").read()).group(1))
base = hwm()
x = sp.load_npz({path!r}).tocsr()
before = hwm()
t = time.perf_counter()
u = UMAP(metric={metric!r}, random_state=0).fit(x)
seconds = time.perf_counter() - t
peak = hwm()
graph = u.graph_.data.nbytes + u.graph_.indices.nbytes + u.graph_.indptr.nbytes
print(json.dumps(dict(seconds=seconds, base_kib=base, before_kib=before, peak_kib=peak, graph_bytes=graph,
                      layout_bytes=u.embedding_.nbytes)))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def summary(values) -> str:
    return f"min {min(values):.2f} s, median {statistics.median(values):.2f} s"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--d", type=int, default=50_000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--threads", type=int, default=0)
    ap.add_argument("--skip-fit", action="store_true")
    ap.add_argument("--fit-only", action="store_true")
    args = ap.parse_args()

    x = documents(args.n, args.d)
    csr_bytes = x.data.nbytes + x.indices.nbytes + x.indptr.nbytes
    print(f"data: {x.shape[0]} x {x.shape[1]}, {x.nnz / x.shape[0]:.1f} terms per row, "
          f"CSR arrays {csr_bytes / 2**20:.0f} MiB")
    measures = {} if args.fit_only else {"cosine": "sqeuclidean", "euclidean": "sqeuclidean", "manhattan": "manhattan",
                "jaccard": "jaccard"}
    # The metric's rows as the fit prepares them.
    rows = {m: _sparse.kernel_rows(x, m) for m in measures}
    times = {m: [] for m in measures}
    dense = []
    results = {}
    for _ in range(args.repeats if measures else 0):  # alternate: every search once per round
        for m, measure in measures.items():
            seconds, _, dist = search(rows[m], measure, args.threads)
            times[m].append(seconds)
            results[m] = dist
        dense.append(dense_search(args.n, args.threads))
    if measures:
        print(f"dense Euclidean search, {args.n} x 80: {summary(dense)}")
    for m, measure in measures.items():
        r = recall(rows[m], measure, results[m], args.threads)
        ratio = statistics.median(times[m]) / statistics.median(dense)
        print(f"{m:10s} search {summary(times[m])}; {ratio:.2f}x the dense search per row; "
              f"recall@{K} {r:.4f}")
    if args.skip_fit:
        return
    path = "/tmp/vornik_bench_sparse.npz"
    sp.save_npz(path, x, compressed=False)
    for metric in ("cosine",):
        fits = [fit_in_fresh_process(path, metric) for _ in range(args.repeats)]
        f = fits[0]
        # The peak above the interpreter and libraries, the loaded data included.
        peak = max(g["peak_kib"] - g["base_kib"] for g in fits) * 1024
        allowed = 3 * csr_bytes + f["graph_bytes"] + f["layout_bytes"]
        print(f"fit ({metric}): {summary([g['seconds'] for g in fits])}; peak memory "
              f"{peak / 2**20:.0f} MiB (data included), bound 3 x CSR + graph + layout "
              f"{allowed / 2**20:.0f} MiB")


if __name__ == "__main__":
    main()
