"""Benchmark of the kNN search in other metrics: time, recall@15 and peak memory.

Two sets, generated with fixed seeds and cached under bench/.cache/:
  dense  lowdim64 of bench/datasets.py: 50,000 x 64, 10 clusters in an
         8-dimensional subspace plus a little noise; metrics euclidean,
         manhattan, chebyshev and minkowski with p = 3
  bits   100,000 fingerprints of 2,048 bits drawn with cluster structure:
         1,000 scaffolds of 5 to 15 % set bits, 10 series of each (a tenth
         of the scaffold's bits dropped, 0.5 % of the others set), each
         molecule a series with 5 % of its bits dropped and 0.2 % added;
         metrics jaccard and hamming on the packed rows, and euclidean on
         the same rows stored as float32 0/1

Every search runs the native kernel at the package's default settings
(_pipeline.default_knn_settings) in a fresh process, the metrics taking
turns, and prints time (min and median of --repeats runs), peak RSS (and
the peak before the call, the data's share) and recall@15 against an exact
search in the same metric over --queries rows drawn at random. Recall counts
a neighbour found when it is as near as the 15th exact one (ties: Hamming
distances are whole numbers), and plain recall counts matching ids.

Examples:
  python bench/metrics.py --set dense
  python bench/metrics.py --set bits --repeats 3
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

K = 15
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from datasets import CACHE, load  # noqa: E402

DENSE = ("euclidean", "manhattan", "chebyshev", "minkowski")
BITS = ("jaccard", "hamming", "euclidean01")
P = 3.0
BITS_N, BITS_WIDTH = 100_000, 2048
SCIPY_NAME = {"manhattan": "cityblock", "chebyshev": "chebyshev", "minkowski": "minkowski",
              "euclidean": "euclidean"}


# ---------------------------------------------------------------------------
# Data
# ---------------------------------------------------------------------------


def make_fingerprints(n=BITS_N, width=BITS_WIDTH, seed=20240611):
    """(packed uint64 rows, scaffold labels): scaffolds, series, molecules (see above)."""
    rng = np.random.default_rng(seed)
    n_scaffolds, n_series = 1000, 10
    density = rng.uniform(0.05, 0.15, size=n_scaffolds)
    scaffolds = rng.random((n_scaffolds, width)) < density[:, None]
    series = np.empty((n_scaffolds * n_series, width), bool)
    for s in range(n_series):
        kept = scaffolds & (rng.random(scaffolds.shape) >= 0.10)
        series[s::n_series] = kept | (rng.random(scaffolds.shape) < 0.005)
    labels = rng.integers(0, n_scaffolds * n_series, size=n)
    words = np.empty((n, width // 64), np.uint64)
    for start in range(0, n, 10_000):
        lab = labels[start:start + 10_000]
        rows = series[lab] & (rng.random((lab.size, width)) >= 0.05)
        rows |= rng.random((lab.size, width)) < 0.002
        words[start:start + lab.size] = np.packbits(rows, axis=1, bitorder="little").view(np.uint64)
    return words, labels // n_series


def load_set(name):
    if name == "dense":
        x, _ = load("lowdim64")
        return x
    path = os.path.join(CACHE, "fingerprints.npz")
    if not os.path.exists(path):
        os.makedirs(CACHE, exist_ok=True)
        words, labels = make_fingerprints()
        np.savez(path, words=words, labels=labels)
    with np.load(path) as f:
        return f["words"]


def as_float01(words, rows=None):
    """Bit rows as float32 0/1 rows, a block at a time."""
    rows = np.arange(words.shape[0]) if rows is None else rows
    out = np.empty((rows.size, words.shape[1] * 64), np.float32)
    for s in range(0, rows.size, 10_000):
        block = words[rows[s:s + 10_000]].view(np.uint8)
        out[s:s + 10_000] = np.unpackbits(block, axis=1, bitorder="little")
    return out


# ---------------------------------------------------------------------------
# Exact neighbours of sampled rows
# ---------------------------------------------------------------------------


def bit_distances(words, q, metric):
    """Exact distances (float64) of packed rows q to every row of words."""
    ones = np.bitwise_count(words).sum(axis=1, dtype=np.int64)
    out = np.empty((q.shape[0], words.shape[0]))
    for i, row in enumerate(q):
        both = np.bitwise_count(words & row).sum(axis=1, dtype=np.int64)
        either = ones + int(np.bitwise_count(row).sum()) - both
        if metric == "hamming":
            out[i] = either - both
        else:
            with np.errstate(invalid="ignore", divide="ignore"):
                out[i] = np.where(either > 0, (either - both) / np.maximum(either, 1), 0.0)
    return out


def dense_distances(x, q, metric):
    from scipy.spatial.distance import cdist

    extra = {"p": P} if metric == "minkowski" else {}
    return cdist(q.astype(np.float64), x.astype(np.float64), SCIPY_NAME[metric], **extra)


def exact(set_name, data, metric, queries):
    """(ids, distances) of the K nearest other rows of each query, cached."""
    path = os.path.join(CACHE, f"metrics_{set_name}_{metric}_{queries.size}.npz")
    if os.path.exists(path):
        with np.load(path) as f:
            return f["ids"], f["dist"]
    t0 = time.perf_counter()
    ids = np.empty((queries.size, K), np.int64)
    dist = np.empty((queries.size, K))
    for s in range(0, queries.size, 64):
        block = queries[s:s + 64]
        if set_name == "bits":
            d = bit_distances(data, data[block], metric)
        else:
            d = dense_distances(data, data[block], metric)
        d[np.arange(block.size), block] = np.inf
        order = np.argsort(d, axis=1, kind="stable")[:, :K]
        ids[s:s + block.size] = order
        dist[s:s + block.size] = np.take_along_axis(d, order, axis=1)
    np.savez(path, ids=ids, dist=dist)
    print(f"# exact {metric} neighbours of {queries.size} rows in "
          f"{time.perf_counter() - t0:.1f} s", flush=True)
    return ids, dist


def recalls(set_name, data, metric, queries, found):
    """(tie-aware recall, id recall) of the found rows of the queries."""
    # On 0/1 rows the squared Euclidean distance is the Hamming distance.
    m = "hamming" if metric == "euclidean01" else metric
    ids, dist = exact(set_name, data, m, queries)
    near = 0
    for s in range(0, queries.size, 64):
        block = queries[s:s + 64]
        if set_name == "bits":
            d = bit_distances(data, data[block], m)
        else:
            d = dense_distances(data, data[block], m)
        f = found[s:s + block.size]
        fd = np.take_along_axis(d, np.where(f >= 0, f, 0), axis=1)
        fd[f < 0] = np.inf
        kth = dist[s:s + block.size, -1:]
        near += int((fd <= kth * (1 + 1e-9) + 1e-12).sum())
    hits = sum(np.intersect1d(f[f >= 0], t).size for f, t in zip(found, ids))
    return near / ids.size, hits / ids.size


# ---------------------------------------------------------------------------
# One search in a fresh process
# ---------------------------------------------------------------------------


def peak_rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def child(set_name, metric, threads, seed, settings=None):
    import _native_vornik as native

    from brembolt.vornik._metrics import measure
    from brembolt.vornik._pipeline import default_knn_settings

    data = load_set(set_name)
    if metric == "euclidean01":
        data = as_float01(data)
    n = data.shape[0]
    k = K
    kernels = measure("euclidean" if metric == "euclidean01" else metric, P)
    s = default_knn_settings(n, data.shape[1] * (64 if data.dtype == np.uint64 else 1), k,
                             kernels)
    if settings:
        s = type(s)(*settings)
    idx = np.empty((n, k), np.int32)
    dist = np.empty((n, k), np.float32)
    before = peak_rss_mb()
    args = (data, idx, dist, n, data.shape[1], k, s.n_trees, s.n_iters, seed, s.leaf_size, 0,
            threads, None)
    t0 = time.perf_counter()
    if metric in ("euclidean", "euclidean01"):
        rc = native.knn_descent_f32_ctl(*args)
    elif set_name == "bits":
        rc = native.knn_descent_bits_u64(*args, metric)
    else:
        rc = native.knn_descent_metric_f32(*args, metric, P)
    elapsed = time.perf_counter() - t0
    assert rc == 0, rc
    order = np.argsort(dist, axis=1, kind="stable")
    np.save(os.path.join(CACHE, f"found_{set_name}_{metric}.npy"),
            np.take_along_axis(idx, order, axis=1))
    print(json.dumps({"time_s": elapsed, "rss_mb": peak_rss_mb(), "before_mb": before,
                      "settings": [s.n_trees, s.n_iters, s.leaf_size]}))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--set", choices=("dense", "bits"), default="dense")
    ap.add_argument("--metrics", nargs="*")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--queries", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--settings", nargs=3, type=int, metavar=("TREES", "ITERS", "LEAF"),
                    help="forest settings instead of the defaults")
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.child:
        return child(a.child[0], a.child[1], a.threads, a.seed, a.settings)
    metrics = a.metrics or (DENSE if a.set == "dense" else BITS)
    data = load_set(a.set)
    queries = np.sort(np.random.default_rng(1).choice(data.shape[0], a.queries, replace=False))
    runs = {m: [] for m in metrics}
    for r in range(a.repeats):
        for m in metrics:
            extra = ["--settings", *map(str, a.settings)] if a.settings else []
            out = subprocess.run([sys.executable, __file__, "--child", a.set, m, "--threads",
                                  str(a.threads), "--seed", str(a.seed), *extra],
                                 check=True, capture_output=True, text=True).stdout
            runs[m].append(json.loads(out.strip().splitlines()[-1]))
    print(f"# set {a.set}: {data.shape[0]} rows, {a.threads} threads, {a.repeats} runs each")
    print(f"{'metric':<12} {'min_s':>7} {'median_s':>8} {'rss_mb':>7} {'data_mb':>7} "
          f"{'recall':>7} {'id_recall':>9}  settings")
    for m in metrics:
        times = sorted(r["time_s"] for r in runs[m])
        found = np.load(os.path.join(CACHE, f"found_{a.set}_{m}.npy"))[queries]
        near, ids = recalls(a.set, data, m, queries, found)
        print(f"{m:<12} {times[0]:7.2f} {np.median(times):8.2f} "
              f"{max(r['rss_mb'] for r in runs[m]):7.0f} "
              f"{max(r['before_mb'] for r in runs[m]):7.0f} {near:7.4f} {ids:9.4f}  "
              f"{runs[m][0]['settings']}", flush=True)


if __name__ == "__main__":
    main()
