"""Where exact k-d tree neighbours beat the forest: time, recall and embedding quality by dimension.

For each feature count d it finds the 15 nearest neighbours of n points (ten
Gaussian clusters in d dimensions, and a uniform cube) with scipy's k-d tree
(exact) and with the kNN kernel at its default settings, and prints their
times (best and median of --repeat runs, alternating), the kernel's recall, and
the trustworthiness of embeddings built from either set of neighbours. The
pipeline takes the k-d tree up to _pipeline.KDTREE_MAX_FEATURES features.

    python bench/low_dimensions.py                     # d = 1, 2, 3, 4, 6, 8, 10, 12, 16
    python bench/low_dimensions.py --dims 8 10 --n 100000 --no-embed
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from brembolt.vornik import UMAP, exact_neighbours, trustworthiness
from brembolt.vornik import _pipeline as pl

K = 15


def make(kind: str, n: int, d: int, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.uniform(0.0, 10.0, size=(n, d)).astype(np.float32)
    centres = rng.normal(scale=4.0, size=(10, d))
    return (centres[rng.integers(0, 10, n)] + rng.normal(size=(n, d))).astype(np.float32)


def timed(fn, repeat: int):
    times, out = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return out, min(times), float(np.median(times))


def forest(x, threads):
    n, d = x.shape
    return pl.nearest_neighbors(x, K, 12345, threads, pl.default_knn_settings(n, d, K - 1))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dims", type=int, nargs="+", default=[1, 2, 3, 4, 6, 8, 10, 12, 16])
    parser.add_argument("--n", type=int, default=50_000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", choices=["clusters", "uniform"], nargs="+",
                        default=["clusters", "uniform"])
    parser.add_argument("--no-embed", action="store_true", help="skip the embeddings")
    args = parser.parse_args(argv)

    print(f"n {args.n}, k {K}, {args.threads} threads; times: best / median of {args.repeat}")
    print(f"{'data':>9} {'d':>3} {'kd-tree s':>15} {'forest s':>15} {'recall':>7} "
          f"{'trust exact':>11} {'trust forest':>12} {'delta':>7}")
    for kind in args.data:
        for d in args.dims:
            x = make(kind, args.n, d)
            runs = {"tree": [], "forest": []}
            for _ in range(args.repeat):  # alternate, the machine is shared
                for name, fn in (("tree", lambda: pl.kdtree_rows(x, K - 1, args.threads)),
                                 ("forest", lambda: forest(x, args.threads))):
                    out, best, _ = timed(fn, 1)
                    runs[name].append((best, out))
            tree_rows, forest_rows = runs["tree"][0][1], runs["forest"][0][1]
            t_tree = [t for t, _ in runs["tree"]]
            t_forest = [t for t, _ in runs["forest"]]
            truth = tree_rows[0][:, 1:]  # exact: the tree's rows
            if args.n <= 50_000:  # the brute force confirms it (ties aside)
                brute, _ = exact_neighbours(x, K - 1)
                assert (np.sort(brute, axis=1) == np.sort(truth, axis=1)).mean() > 0.999
            recall = np.mean([len(set(a) & set(b)) / (K - 1)
                              for a, b in zip(forest_rows[0][:, 1:], truth)])
            line = (f"{kind:>9} {d:3d} {min(t_tree):7.3f}/{np.median(t_tree):7.3f} "
                    f"{min(t_forest):7.3f}/{np.median(t_forest):7.3f} {recall:7.4f}")
            if not args.no_embed:
                model = UMAP(n_neighbors=K, random_state=0, n_jobs=args.threads)
                tw = [trustworthiness(x, model.fit(x, knn=rows).embedding_, 15, sample=3000)
                      for rows in (tree_rows, forest_rows)]
                line += f" {tw[0]:11.4f} {tw[1]:12.4f} {tw[1] - tw[0]:+7.4f}"
            print(line, flush=True)


if __name__ == "__main__":
    main()
