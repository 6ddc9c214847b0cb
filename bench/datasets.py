"""Data sets of the benchmarks, generated with fixed seeds, and their exact neighbours.

  blobs50    100,000 x 50, 20 Gaussian clusters (intrinsic dimension 50)
  mnistlike   70,000 x 784, ten clusters in a 40-dimensional subspace plus small noise
  lowdim64    50,000 x 64, 10 clusters in an 8-dimensional subspace plus a little noise
  digits       1,797 x 64, the handwritten digits bundled with scikit-learn
  scale      any n x 32, 50 clusters in a 10-dimensional subspace plus small noise
             (make_scale; bench/scale.py fits 1,000,000 and 10,000,000 of them)

Exact neighbours are computed once by the package's blocked brute force and
cached under bench/.cache/ (git-ignored).
"""

from __future__ import annotations

import os
import time

import numpy as np

from brembolt.vornik.neighbours import exact_neighbours as brute_force

CACHE = os.path.join(os.path.dirname(os.path.abspath(__file__)), ".cache")
DATASETS = ("blobs50", "mnistlike", "lowdim64", "digits")


def _clusters_in_subspace(rng, n, d, sub, c, noise):
    basis, _ = np.linalg.qr(rng.normal(size=(d, sub)))
    centers = rng.normal(0.0, 4.0, size=(c, sub))
    labels = rng.integers(0, c, size=n)
    latent = centers[labels] + rng.normal(0.0, 1.0, size=(n, sub))
    return latent @ basis.T + rng.normal(0.0, noise, size=(n, d)), labels


# The scale set: 50 unit clusters (centres spread 4) in a 10-dimensional
# subspace of 32 dimensions, noise 0.05 off the subspace.
SCALE_DIMS, SCALE_SUBSPACE, SCALE_CLUSTERS, SCALE_NOISE = 32, 10, 50, 0.05
SCALE_BLOCK = 100_000


def make_scale(n):
    """(points as float32, labels) of the scale set's first n rows.

    Generated block by block, each block from its own seeded stream, so the
    first million rows are the same in every size and the float64
    intermediates stay small beside the float32 result (peak memory is the
    benchmark's business).
    """
    return make_scale_rows(0, n)


def make_scale_rows(start, stop):
    """Rows [start, stop) of make_scale(stop), start a multiple of SCALE_BLOCK.

    A block's rows come from its own stream, so a worker can make the rows it
    transforms without the others (bench/beyond.py).
    """
    assert start % SCALE_BLOCK == 0, start
    rng = np.random.default_rng(20240611)
    basis, _ = np.linalg.qr(rng.normal(size=(SCALE_DIMS, SCALE_SUBSPACE)))
    centers = rng.normal(0.0, 4.0, size=(SCALE_CLUSTERS, SCALE_SUBSPACE))
    x = np.empty((stop - start, SCALE_DIMS), np.float32)
    labels = np.empty(stop - start, np.int32)
    for lo in range(start, stop, SCALE_BLOCK):
        hi = min(stop, lo + SCALE_BLOCK)
        r = np.random.default_rng([20240611, lo // SCALE_BLOCK])
        lab = r.integers(0, SCALE_CLUSTERS, size=hi - lo)
        latent = centers[lab] + r.normal(0.0, 1.0, size=(hi - lo, SCALE_SUBSPACE))
        x[lo - start:hi - start] = (latent @ basis.T
                                    + r.normal(0.0, SCALE_NOISE, size=(hi - lo, SCALE_DIMS)))
        labels[lo - start:hi - start] = lab
    return x, labels


def make_data(name):
    """(points as float32, cluster labels) of a named data set."""
    rng = np.random.default_rng(20240611)
    if name == "blobs50":
        n, d, c = 100_000, 50, 20
        centers = rng.normal(0.0, 4.0, size=(c, d))
        labels = rng.integers(0, c, size=n)
        x = centers[labels] + rng.normal(0.0, 1.0, size=(n, d))
    elif name == "mnistlike":
        x, labels = _clusters_in_subspace(rng, 70_000, 784, 40, 10, 0.05)
    elif name == "lowdim64":
        x, labels = _clusters_in_subspace(rng, 50_000, 64, 8, 10, 0.01)
    elif name == "digits":
        from sklearn.datasets import load_digits

        digits = load_digits()
        x, labels = digits.data, digits.target
    else:
        raise SystemExit(f"unknown data set {name}")
    return np.ascontiguousarray(x, dtype=np.float32), labels


def load(name):
    """The data set, from the cache when it was generated before."""
    os.makedirs(CACHE, exist_ok=True)
    path = os.path.join(CACHE, f"{name}.npz")
    if not os.path.exists(path):
        x, labels = make_data(name)
        np.savez(path, x=x, labels=labels)
    with np.load(path) as f:
        return f["x"], f["labels"]


def exact_neighbours(name, x, k):
    """Cached brute-force neighbours of a named data set: (ids, squared distances)."""
    os.makedirs(CACHE, exist_ok=True)
    path = os.path.join(CACHE, f"{name}_exact{k}.npz")
    if not os.path.exists(path):
        t0 = time.perf_counter()
        idx, dist = brute_force(x, k)
        idx = idx.astype(np.int32)
        np.savez(path, idx=idx, dist=dist)
        print(f"# exact neighbours of {name} in {time.perf_counter() - t0:.1f} s", flush=True)
    with np.load(path) as f:
        return f["idx"], f["dist"]
