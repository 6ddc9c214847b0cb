"""Whole-pipeline benchmark: embedding time and quality, approximate against exact neighbours.

For each data set it embeds once from exact neighbours (the quality reference)
and then from the kNN kernel with a few forest settings, printing the time of
each stage and the trustworthiness at 15 neighbours. The library's default
kNN settings are the cheapest whose trustworthiness stays within 0.005 of the
exact-neighbour embedding.

Then, on awkward data: the digits with each row scaled by a random factor in
[0.2, 5], embedded with metric="cosine" and "euclidean" (time, 10-NN
accuracy); supervised and semi-supervised fits of the digits (80 % of the
labels hidden: a 10-NN classifier of the known points' embedding predicts the
hidden ones, against the same on the unsupervised embedding); and three groups
of clusters 1,000 units apart, a graph in pieces (trustworthiness at 15
neighbours and at the scale of the groups, against one spectral layout of the
whole graph as before pieces were laid out by themselves).

    python bench/pipeline.py                      # everything
    python bench/pipeline.py --data digits --threads 2
    python bench/pipeline.py --only metric labels pieces
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

from unittest import mock  # noqa: E402

from scipy.sparse.csgraph import connected_components  # noqa: E402
from sklearn.neighbors import KNeighborsClassifier  # noqa: E402

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


def forest(args):
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


def spread(times):
    return f"{min(times):.2f} s (median {np.median(times):.2f})"


def metric(args):
    x, labels = load("digits")
    rng = np.random.default_rng(args.seed)
    x = x * rng.uniform(0.2, 5.0, size=(len(x), 1)).astype(np.float32)
    print(f"\n== digits, rows scaled by factors in [0.2, 5]: {args.threads} threads, "
          f"{args.repeat} runs each (alternating), seeds {args.seed}..")
    runs = {m: [] for m in ("euclidean", "cosine")}
    for r in range(args.repeat):
        for name in runs:
            model = UMAP(metric=name, random_state=args.seed + r, n_jobs=args.threads)
            y, total = run(model, x)
            runs[name].append((total, knn_accuracy(y, labels, 10)))
    for name, results in runs.items():
        times, accs = zip(*results)
        print(f"metric={name!r:12} time {spread(times)}, 10-NN accuracy {np.mean(accs):.4f} "
              f"(min {min(accs):.4f})")


def hidden_accuracy(y, labels, hidden):
    known = ~hidden
    clf = KNeighborsClassifier(10).fit(y[known], labels[known])
    return float((clf.predict(y[hidden]) == labels[hidden]).mean())


def supervision(args):
    x, labels = load("digits")
    rng = np.random.default_rng(args.seed)
    print(f"\n== digits with labels: target_weight 0.5, {args.repeat} seeds")
    rows = []
    for r in range(args.repeat):
        seed = args.seed + r
        hidden = rng.random(len(labels)) < 0.8
        partial = np.where(hidden, -1, labels)
        plain = UMAP(random_state=seed, n_jobs=args.threads).fit_transform(x)
        supervised = UMAP(random_state=seed, n_jobs=args.threads).fit_transform(x, labels)
        semi = UMAP(random_state=seed, n_jobs=args.threads).fit_transform(x, partial)
        rows.append((knn_accuracy(plain, labels, 10), knn_accuracy(supervised, labels, 10),
                     hidden_accuracy(plain, labels, hidden), hidden_accuracy(semi, labels, hidden)))
        print(f"seed {seed}: 10-NN accuracy unsupervised {rows[-1][0]:.4f}, supervised "
              f"{rows[-1][1]:.4f}; hidden points (80 %) unsupervised {rows[-1][2]:.4f}, "
              f"semi-supervised {rows[-1][3]:.4f}")
    mean = np.mean(rows, axis=0)
    print(f"mean: unsupervised {mean[0]:.4f}, supervised {mean[1]:.4f}; hidden points: "
          f"unsupervised {mean[2]:.4f}, semi-supervised {mean[3]:.4f}")


def far_groups(seed, dim=16, clusters=5, per=400, apart=1000.0, cluster_scale=10.0):
    """Three groups of clusters on a regular simplex, `apart` units from each other."""
    rng = np.random.default_rng(seed)
    groups = np.eye(3, dim) * apart / np.sqrt(2.0)
    centres = groups[:, None, :] + rng.normal(scale=cluster_scale, size=(3, clusters, dim))
    labels = np.repeat(np.arange(3 * clusters), per)
    x = centres.reshape(-1, dim)[labels] + rng.normal(size=(labels.size, dim))
    return x.astype(np.float32), labels // clusters


def one_piece(graph, directed=False):
    return 1, np.zeros(graph.shape[0], np.int32)


def pieces(args):
    print(f"\n== three groups of clusters 1,000 units apart (16-D, 400 points a cluster), "
          f"{args.threads} threads")
    for scale, clusters in ((10.0, 5), (1.0, 5)):
        x, groups = far_groups(args.seed, clusters=clusters, cluster_scale=scale)
        big = len(x) // 6
        for label, patch in (("pieces laid out apart", None),
                             ("one spectral layout", mock.patch.object(pl, "connected_components",
                                                                       one_piece))):
            model = UMAP(random_state=args.seed, n_jobs=args.threads)
            if patch:
                with patch:
                    y, total = run(model, x)
            else:
                y, total = run(model, x)
            n_pieces = connected_components(model.graph_)[0]
            print(f"clusters {scale:g} apart, {n_pieces:2d} pieces, {label:22}: {total:5.2f} s, "
                  f"trustworthiness@15 {trustworthiness(x, y, 15, sample=TRUST_SAMPLE):.4f}, "
                  f"@{big} {trustworthiness(x, y, big, sample=1000):.4f}, group 10-NN accuracy "
                  f"{knn_accuracy(y, groups, 10):.4f}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", choices=sorted(DATASETS), action="append")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--repeat", type=int, default=3, help="runs of the awkward-data sections")
    parser.add_argument("--grid", action="store_true", help="try several forest settings")
    parser.add_argument("--only", nargs="+", choices=["forest", "metric", "labels", "pieces"],
                        default=["forest", "metric", "labels", "pieces"])
    args = parser.parse_args(argv)
    sections = {"forest": forest, "metric": metric, "labels": supervision, "pieces": pieces}
    for name in args.only:
        sections[name](args)
    print(f"\npeak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")


if __name__ == "__main__":
    main()
