"""Where blocked brute force beats the kNN kernel: time of both for k as a share of n.

The pipeline searches exactly when k >= EXACT_FRACTION * n (brembolt.vornik._pipeline).
Both searches run alternately on the same Gaussian data; the minimum and the
median of the repeats are printed.

    python bench/exact_crossover.py
    python bench/exact_crossover.py --n 2000 10000 --dims 16 --fractions 0.05 0.1 0.2
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import _native_vornik as native
from brembolt.vornik import _pipeline as pl
from brembolt.vornik.neighbours import exact_neighbours


def kernel_search(x, k, threads):
    n, d = x.shape
    s = pl.default_knn_settings(n, d, k)
    idx = np.empty((n, k), np.int32)
    dist = np.empty((n, k), np.float32)
    native.knn_descent_f32(x, idx, dist, n, d, k, s.n_trees, s.n_iters, 1, s.leaf_size, threads)


def timed(fn, *args):
    start = time.perf_counter()
    fn(*args)
    return time.perf_counter() - start


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, nargs="+", default=[500, 2000, 10000])
    parser.add_argument("--dims", type=int, nargs="+", default=[16, 128])
    parser.add_argument("--fractions", type=float, nargs="+",
                        default=[0.01, 0.03, 0.05, 0.1, 0.2])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args(argv)

    print(f"exact path from k >= {pl.EXACT_FRACTION} n; {args.threads} threads")
    print(f"{'n':>6} {'d':>4} {'k':>5} {'k/n':>5} {'kernel min/med s':>17} "
          f"{'exact min/med s':>16} {'kernel/exact':>12}")
    rng = np.random.default_rng(0)
    for n in args.n:
        for d in args.dims:
            x = rng.normal(size=(n, d)).astype(np.float32)
            for frac in args.fractions:
                k = max(1, int(frac * n))
                if k >= n:
                    continue
                kern, exact = [], []
                for _ in range(args.repeats):
                    kern.append(timed(kernel_search, x, k, args.threads))
                    exact.append(timed(exact_neighbours, x, k))
                km, em = statistics.median(kern), statistics.median(exact)
                print(f"{n:6d} {d:4d} {k:5d} {frac:5.2f} {min(kern):8.3f}/{km:<8.3f} "
                      f"{min(exact):7.3f}/{em:<8.3f} {km / em:12.1f}", flush=True)


if __name__ == "__main__":
    main()
