"""Builds the fuzzy graph of a small random data set and prints what it holds.

Run after `pip install .`:  python examples/fuzzy_graph_demo.py [n_points] [n_neighbors]
"""

import sys
import time

import numpy as np

import _native_vornik
from brembolt.vornik import exact_neighbours


def exact_knn(points, k):
    """k nearest neighbours of every point, the point itself first, Euclidean distances."""
    ids, sq = exact_neighbours(points, k - 1)
    n = len(points)
    idx = np.concatenate([np.arange(n)[:, None], ids], axis=1).astype(np.int32)
    dist = np.concatenate([np.zeros((n, 1)), np.sqrt(sq)], axis=1).astype(np.float32)
    return idx, dist


def main(n=2000, k=15):
    rng = np.random.default_rng(42)
    centres = rng.normal(scale=8.0, size=(5, 10))
    points = (centres[rng.integers(0, 5, n)] + rng.normal(size=(n, 10))).astype(np.float32)

    idx, dist = exact_knn(points, k)
    rows = np.empty(2 * n * k, np.int32)
    cols = np.empty(2 * n * k, np.int32)
    vals = np.empty(2 * n * k, np.float32)
    start = time.perf_counter()
    _native_vornik.umap_graph_f32(idx, dist, rows, cols, vals, n, k)
    elapsed = time.perf_counter() - start

    weights = vals[vals > 0]
    print(f"points: {n} x 10, neighbours: {k}")
    print(f"fuzzy graph: {weights.size} directed edges of {vals.size} slots in {elapsed * 1e3:.1f} ms")
    print(f"weights: min {weights.min():.4f}, max {weights.max():.4f}, mean {weights.mean():.4f}")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:3]))
