"""inverse_transform benchmark: how near the data its rows land, and how fast.

On the digits (and, with --data, any set of bench/datasets.py) it prints:
  - the mean squared error of inverse_transform(model.embedding_) against the
    rows themselves, and the ratio to that of placing every row at its class
    mean (the target: at most 0.5);
  - the same for rows the model never saw: a fit on two thirds, the last third
    placed by transform and mapped back;
  - two refinements of the weighted mean, written here in NumPy, on both:
    "memberships" moves each row until its memberships to the neighbours (by
    their fitted bandwidths and offsets, as the fuzzy graph gives them) match
    the weights, by gradient descent on the fuzzy cross-entropy; "local linear"
    adds a weighted least-squares linear fit of data against embedding around
    the point to the mean;
  - the time of inverse_transform (min and median of --reps), and whether
    n_jobs 1 and 2 give the same bits.

    python bench/inverse_transform.py
    python bench/inverse_transform.py --data mnistlike --reps 3
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np
from scipy.spatial import cKDTree

sys.path.insert(0, str(Path(__file__).parent))
from datasets import load  # noqa: E402

from brembolt.vornik import UMAP  # noqa: E402


def class_mean_error(x, labels, truth, truth_labels):
    means = {c: x[labels == c].mean(axis=0) for c in np.unique(labels)}
    return float(((np.stack([means[c] for c in truth_labels]) - truth) ** 2).mean())


def bandwidths(knn_dists):
    """Each fitted point's offset (nearest distance) and bandwidth, by the fuzzy graph's rule."""
    d = knn_dists[:, 1:].astype(np.float64)
    rho = d[:, 0]
    target = np.log2(knn_dists.shape[1])
    lo, hi, sigma = np.zeros(len(d)), np.full(len(d), np.inf), np.ones(len(d))
    for _ in range(64):
        total = np.exp(-np.maximum(d - rho[:, None], 0.0) / sigma[:, None]).sum(axis=1)
        above = total > target
        hi, lo = np.where(above, sigma, hi), np.where(above, lo, sigma)
        sigma = np.where(np.isinf(hi), 2.0 * sigma, 0.5 * (lo + hi))
    return rho, sigma


def weighted_neighbours(model, points):
    k = model.knn_indices_.shape[1]
    d, ids = cKDTree(model.embedding_).query(points, k)
    return ids, 1.0 / (1.0 + model.a_ * d ** (2.0 * model.b_))


def refine_memberships(model, x, points, start, iters=30, step=0.5):
    ids, w = weighted_neighbours(model, points)
    rho, sigma = bandwidths(model.knn_dists_)
    rows = start.astype(np.float64)
    for _ in range(iters):
        diff = rows[:, None, :] - x[ids]
        dist = np.sqrt((diff ** 2).sum(axis=2)) + 1e-12
        r, s = rho[ids], sigma[ids]
        v = np.minimum(np.exp(-np.maximum(dist - r, 0.0) / s), 1.0 - 1e-3)
        coef = np.where(dist > r, (w - v) / ((1.0 - v) * s), 0.0)
        rows -= step * (coef[:, :, None] * diff / dist[:, :, None]).sum(axis=1)
    return rows


def refine_local_linear(model, x, points, ridge=1e-2):
    ids, w = weighted_neighbours(model, points)
    total = w.sum(axis=1)
    y = model.embedding_.astype(np.float64)
    xm = (w[:, :, None] * x[ids]).sum(axis=1) / total[:, None]
    ym = (w[:, :, None] * y[ids]).sum(axis=1) / total[:, None]
    dy, dx = y[ids] - ym[:, None], x[ids] - xm[:, None]
    syy = np.einsum("mk,mki,mkj->mij", w, dy, dy) / total[:, None, None]
    sxy = np.einsum("mk,mki,mkj->mij", w, dx, dy) / total[:, None, None]
    syy += (ridge * np.trace(syy, axis1=1, axis2=2))[:, None, None] * np.eye(y.shape[1])
    return xm + np.einsum("mij,mj->mi", sxy @ np.linalg.inv(syy), points - ym)


def report(name, model, x, points, truth, baseline, sample):
    keep = np.random.default_rng(0).permutation(len(points))[:sample]
    points, truth = points[keep], truth[keep]
    mean = model.inverse_transform(points)
    ratio = lambda rows: ((rows - truth) ** 2).mean() / baseline  # noqa: E731
    print(f"  {name:<22} weighted mean {ratio(mean):.3f}   memberships "
          f"{ratio(refine_memberships(model, x, points, mean)):.3f}   local linear "
          f"{ratio(refine_local_linear(model, x, points)):.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", default="digits")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--sample", type=int, default=3000,
                        help="rows on which the refinements are compared")
    args = parser.parse_args()
    x, labels = load(args.data)[:2]
    x = np.asarray(x, np.float64)

    model = UMAP(random_state=42).fit(x)
    back = model.inverse_transform(model.embedding_)
    mse = float(((back - x) ** 2).mean())
    baseline = class_mean_error(x, labels, x, labels)
    print(f"{args.data}: {x.shape[0]} x {x.shape[1]}, n_neighbors {model.knn_indices_.shape[1]}")
    print(f"inverse_transform(embedding_): mean squared error {mse:.4f}, class means "
          f"{baseline:.4f}, ratio {mse / baseline:.3f} (target <= 0.5)")

    print(f"error ratio to the class means (lower is better; on up to {args.sample} rows):")
    report("fitted points", model, x, model.embedding_, x, baseline, args.sample)
    train = np.arange(x.shape[0]) % 3 != 0
    part = UMAP(random_state=42).fit(x[train])
    new = x[~train]
    report("new points (transform)", part, x[train], part.transform(new), new,
           class_mean_error(x[train], labels[train], new, labels[~train]), args.sample)

    times = []
    for _ in range(args.reps):
        start = time.perf_counter()
        model.inverse_transform(model.embedding_)
        times.append(time.perf_counter() - start)
    print(f"inverse_transform of {x.shape[0]} points: min {min(times):.3f} s, median "
          f"{statistics.median(times):.3f} s")
    model.set_params(n_jobs=1)
    one = model.inverse_transform(model.embedding_)
    model.set_params(n_jobs=2)
    two = model.inverse_transform(model.embedding_)
    same = bool((one.view(np.uint32) == two.view(np.uint32)).all())
    print("n_jobs 1 and 2 give the same bits:", same)


if __name__ == "__main__":
    main()
