"""Whole-pipeline benchmark: embedding time and quality, approximate against exact neighbours.

For each data set it embeds once from exact neighbours (the quality reference)
and then from the kNN kernel with a few forest settings, printing the time of
each stage and the trustworthiness at 15 neighbours. The library's default
kNN settings are the cheapest whose trustworthiness stays within 0.005 of the
exact-neighbour embedding.

    python bench/pipeline.py                      # every data set
    python bench/pipeline.py --data digits --threads 2
"""

from __future__ import annotations

import argparse
import resource
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
from datasets import DATASETS, exact_neighbours, load  # noqa: E402

from brembolt.vornik import UMAP, knn_accuracy, trustworthiness  # noqa: E402
from brembolt.vornik import _pipeline as pl  # noqa: E402

N_NEIGHBORS = 15
TRUST_SAMPLE = 3000


def exact_rows(name, x, k):
    idx, sq = exact_neighbours(name, x, 15)  # the cache the kNN benchmark shares
    return pl.rows_with_self(idx[:, :k].astype(np.int32), sq[:, :k].astype(np.float32))


def run(model, x, knn=None):
    start = time.perf_counter()
    y = model.fit(x, knn=knn).embedding_
    return y, time.perf_counter() - start


def settings_grid(n, d):
    default = pl.default_knn_settings(n, d, N_NEIGHBORS - 1)
    grid = {default}
    for trees in (2, 4, 8, 16):
        for leaf in (24, 48):
            grid.add(pl.KnnSettings(trees, default.n_iters, leaf))
    return sorted(grid, key=lambda s: (s.n_trees, s.leaf_size)), default


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", choices=sorted(DATASETS), action="append")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--grid", action="store_true", help="try several forest settings")
    args = parser.parse_args(argv)

    for name in args.data or ["digits", "lowdim64", "mnistlike"]:
        x, labels = load(name)
        x = np.ascontiguousarray(x, dtype=np.float32)
        n, d = x.shape
        sample = TRUST_SAMPLE if n > TRUST_SAMPLE else None
        print(f"\n== {name}: {n} x {d}, n_neighbors {N_NEIGHBORS}, {args.threads} threads")
        model = UMAP(n_neighbors=N_NEIGHBORS, random_state=args.seed, n_jobs=args.threads)

        t0 = time.perf_counter()
        knn = exact_rows(name, x, N_NEIGHBORS - 1)
        y, total = run(model, x, knn)
        exact_s = time.perf_counter() - t0 - total
        tw_ref = trustworthiness(x, y, 15, sample=sample)
        acc = f", 10-NN accuracy {knn_accuracy(y, labels, 10):.4f}" if labels is not None else ""
        print(f"exact neighbours ({exact_s:.1f} s, cached after the first run): "
              f"embedding {total:.2f} s, trustworthiness {tw_ref:.4f}{acc}")

        grid, default = settings_grid(n, d) if args.grid else ([pl.default_knn_settings(n, d, N_NEIGHBORS - 1)], None)
        print(f"{'trees':>5} {'iters':>5} {'leaf':>5} {'knn s':>7} {'total s':>8} {'trust':>7} {'delta':>7}")
        for s in grid:
            t0 = time.perf_counter()
            rows = pl.nearest_neighbors(x, N_NEIGHBORS, 12345, args.threads, s)
            knn_s = time.perf_counter() - t0
            y, total = run(model, x, rows)
            tw = trustworthiness(x, y, 15, sample=sample)
            mark = "  (default)" if s == pl.default_knn_settings(n, d, N_NEIGHBORS - 1) else ""
            print(f"{s.n_trees:5d} {s.n_iters:5d} {s.leaf_size:5d} {knn_s:7.2f} {knn_s + total:8.2f} "
                  f"{tw:7.4f} {tw - tw_ref:+7.4f}{mark}")

        y, total = run(model, x)
        print(f"UMAP().fit with defaults: {total:.2f} s "
              + ", ".join(f"{k} {v:.2f}" for k, v in model.timings_.items()))
    print(f"\npeak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")


if __name__ == "__main__":
    main()
