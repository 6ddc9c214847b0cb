"""The embedding pipeline: data -> kNN -> fuzzy graph -> edges -> initial layout -> SGD.

Each stage is a plain function on NumPy arrays, so a caller can enter the
pipeline anywhere (for instance with neighbours of its own). The native kernels
do the heavy work; this layer arranges their inputs and checks their statuses.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp

import _native_vornik as _native

KNN_STATUS = {-1: "invalid arguments", -2: "out of memory"}


class KernelError(RuntimeError):
    """A native kernel reported a failure status."""


# ---------------------------------------------------------------------------
# Input
# ---------------------------------------------------------------------------


def as_data_matrix(X, n_neighbors: int) -> np.ndarray:
    """Checks X once and returns it as a C-contiguous float32 matrix."""
    try:
        arr = np.asarray(X)
    except Exception as exc:  # ragged lists and the like
        raise ValueError(f"X cannot be read as a numeric array: {exc}") from None
    if arr.ndim != 2:
        raise ValueError(f"X must be 2-dimensional (n_samples, n_features), got shape {arr.shape}")
    if arr.shape[0] == 0 or arr.shape[1] == 0:
        raise ValueError(f"X is empty: shape {arr.shape}")
    if not (np.issubdtype(arr.dtype, np.number) or arr.dtype == np.bool_):
        raise ValueError(f"X must hold numbers, got dtype {arr.dtype}")
    if np.iscomplexobj(arr):
        raise ValueError("X must be real, got complex values")
    with np.errstate(over="ignore", invalid="ignore"):
        x = np.ascontiguousarray(arr, dtype=np.float32)
    if not np.isfinite(x).all():
        raise ValueError("X contains NaN or infinity (or values beyond the float32 range)")
    if x.shape[0] < n_neighbors + 1:
        raise ValueError(
            f"X has {x.shape[0]} samples; at least n_neighbors + 1 = {n_neighbors + 1} are needed"
        )
    return x


def resolve_threads(n_jobs) -> int:
    """n_jobs as the kernels take it: None or -1 use every processor (0)."""
    if n_jobs is None or n_jobs == -1:
        return 0
    if not isinstance(n_jobs, (int, np.integer)) or n_jobs < 1:
        raise ValueError(f"n_jobs must be a positive int, -1 or None, got {n_jobs!r}")
    return int(n_jobs)


# ---------------------------------------------------------------------------
# Nearest neighbours
# ---------------------------------------------------------------------------


@dataclass(frozen=True)
class KnnSettings:
    n_trees: int
    n_iters: int
    leaf_size: int


def default_knn_settings(n: int, d: int, k: int) -> KnnSettings:
    """The cheapest forest that keeps embedding quality at the level of exact neighbours.

    Measured with bench/pipeline.py on four data sets (1,797 to 100,000 points,
    64 to 784 dimensions, intrinsic dimension 8 to 50): two trees with leaves
    of 24 points, refined for about log2(n) iterations, give trustworthiness
    within 0.001 of embeddings built from exact neighbours. Refinement stops
    early by itself once the graph settles, so the iteration count is a cap.
    """
    return KnnSettings(n_trees=2, n_iters=int(max(4, round(math.log2(n)))),
                       leaf_size=int(max(24, k + 1)))


def nearest_neighbors(x: np.ndarray, n_neighbors: int, seed: int, n_threads: int,
                      settings: KnnSettings | None = None):
    """kNN rows as the fuzzy graph reads them.

    Column 0 is the point itself at distance 0, then its n_neighbors - 1
    nearest neighbours by ascending Euclidean (not squared) distance.
    """
    n, d = x.shape
    k = n_neighbors - 1
    s = settings or default_knn_settings(n, d, k)
    idx = np.empty((n, k), np.int32)
    dist = np.empty((n, k), np.float32)
    status = _native.knn_descent_f32(x, idx, dist, n, d, k, s.n_trees, s.n_iters,
                                     seed, s.leaf_size, n_threads)
    if status != 0:
        reason = KNN_STATUS.get(status, "unknown failure")
        raise KernelError(f"kNN kernel failed with status {status} ({reason})")
    _fill_missing_neighbours(x, idx, dist)
    return rows_with_self(idx, dist)


def check_knn(knn, n: int, n_neighbors: int):
    """Caller-supplied kNN rows, checked and converted for the graph kernel."""
    try:
        knn_idx, knn_dist = knn
    except (TypeError, ValueError):
        raise ValueError("knn must be a pair (indices, distances)") from None
    knn_idx = np.ascontiguousarray(knn_idx)
    knn_dist = np.ascontiguousarray(knn_dist, dtype=np.float32)
    shape = (n, n_neighbors)
    if knn_idx.shape != shape or knn_dist.shape != shape:
        raise ValueError(f"knn indices and distances must have shape {shape}, "
                         f"got {knn_idx.shape} and {knn_dist.shape}")
    if not np.issubdtype(knn_idx.dtype, np.integer):
        raise ValueError("knn indices must be integers")
    if ((knn_idx < -1) | (knn_idx >= n)).any():
        raise ValueError("knn indices must lie in [0, n_samples), or be -1 for none")
    if not np.isfinite(knn_dist).all() or (knn_dist < 0).any():
        raise ValueError("knn distances must be finite and non-negative")
    return knn_idx.astype(np.int32, copy=False), knn_dist


def _fill_missing_neighbours(x: np.ndarray, idx: np.ndarray, dist: np.ndarray) -> None:
    """Rows the search could not fill (id -1) get their exact neighbours instead."""
    rows = np.flatnonzero((idx < 0).any(axis=1))
    if rows.size == 0:
        return
    k = idx.shape[1]
    sq = np.einsum("ij,ij->i", x, x, dtype=np.float64)
    for start in range(0, rows.size, 1024):
        block = rows[start:start + 1024]
        d2 = sq[block, None] + sq[None, :] - 2.0 * (x[block].astype(np.float64) @ x.T.astype(np.float64))
        d2[np.arange(block.size), block] = np.inf
        order = np.argpartition(d2, k - 1, axis=1)[:, :k]
        idx[block] = order
        dist[block] = np.maximum(np.take_along_axis(d2, order, axis=1), 0.0)


def rows_with_self(idx: np.ndarray, sq_dist: np.ndarray):
    """Prepends each point to its own row, sorts rows by distance, takes square roots."""
    n, k = idx.shape
    order = np.argsort(sq_dist, axis=1, kind="stable")
    full_idx = np.empty((n, k + 1), np.int32)
    full_dist = np.empty((n, k + 1), np.float32)
    full_idx[:, 0] = np.arange(n, dtype=np.int32)
    full_dist[:, 0] = 0.0
    full_idx[:, 1:] = np.take_along_axis(idx, order, axis=1)
    full_dist[:, 1:] = np.sqrt(np.take_along_axis(sq_dist, order, axis=1))
    return full_idx, full_dist


# ---------------------------------------------------------------------------
# Fuzzy graph and edges
# ---------------------------------------------------------------------------


def fuzzy_graph(knn_idx: np.ndarray, knn_dist: np.ndarray) -> sp.csr_matrix:
    """The symmetric fuzzy graph of kNN rows, as an n x n CSR matrix."""
    knn_idx = np.ascontiguousarray(knn_idx, dtype=np.int32)
    knn_dist = np.ascontiguousarray(knn_dist, dtype=np.float32)
    n, k = knn_idx.shape
    rows = np.empty(2 * n * k, np.int32)
    cols = np.empty(2 * n * k, np.int32)
    vals = np.empty(2 * n * k, np.float32)
    _native.umap_graph_f32(knn_idx, knn_dist, rows, cols, vals, n, k)
    keep = vals > 0
    graph = sp.coo_matrix((vals[keep], (rows[keep], cols[keep])), shape=(n, n)).tocsr()
    graph.sum_duplicates()
    return graph


def layout_edges(graph: sp.csr_matrix, n_epochs: int):
    """head, tail and epochs_per_sample of the edges worth sampling.

    Edges lighter than max weight / n_epochs would be sampled less than once
    in the whole run, so they are dropped.
    """
    coo = graph.tocoo()
    weights = coo.data.astype(np.float32)
    if weights.size == 0:
        empty = np.empty(0, np.int32)
        return empty, empty, np.empty(0, np.float32)
    top = float(weights.max())
    keep = weights >= top / float(n_epochs)
    head = np.ascontiguousarray(coo.row[keep], dtype=np.int32)
    tail = np.ascontiguousarray(coo.col[keep], dtype=np.int32)
    epochs_per_sample = (top / weights[keep].astype(np.float64)).astype(np.float32)
    return head, tail, epochs_per_sample


# ---------------------------------------------------------------------------
# Curve parameters
# ---------------------------------------------------------------------------


def fit_ab(min_dist: float, spread: float):
    """a, b of 1 / (1 + a x^(2b)) fitted to the target membership curve.

    The target is 1 below min_dist and exp(-(x - min_dist) / spread) beyond.
    """
    from scipy.optimize import curve_fit

    def curve(x, a, b):
        return 1.0 / (1.0 + a * x ** (2.0 * b))

    x = np.linspace(0.0, spread * 3.0, 300)
    y = np.where(x < min_dist, 1.0, np.exp(-(x - min_dist) / spread))
    (a, b), _ = curve_fit(curve, x, y, p0=(1.0, 1.0), maxfev=10000)
    return float(a), float(b)


# ---------------------------------------------------------------------------
# Initial layout
# ---------------------------------------------------------------------------

INIT_SCALE = 10.0


def random_init(n: int, n_components: int, rng: np.random.Generator) -> np.ndarray:
    return rng.uniform(-INIT_SCALE, INIT_SCALE, size=(n, n_components)).astype(np.float32)


def spectral_init(graph: sp.csr_matrix, n_components: int, rng: np.random.Generator) -> np.ndarray:
    """Eigenvectors of the normalised graph Laplacian, scaled into +-10, plus a little noise.

    Falls back to a random layout, with a warning, when the eigensolver fails.
    """
    n = graph.shape[0]
    try:
        coords = _laplacian_eigenmap(graph, n_components, rng)
    except Exception as exc:  # ARPACK no convergence, degenerate graphs
        warnings.warn(f"spectral initialisation failed ({exc}); using a random layout",
                      RuntimeWarning, stacklevel=3)
        return random_init(n, n_components, rng)
    span = np.abs(coords).max()
    if not np.isfinite(span) or span == 0:
        warnings.warn("spectral initialisation is degenerate; using a random layout",
                      RuntimeWarning, stacklevel=3)
        return random_init(n, n_components, rng)
    coords = coords * (INIT_SCALE / span)
    coords += rng.normal(scale=1e-4 * INIT_SCALE, size=coords.shape)
    return np.ascontiguousarray(coords, dtype=np.float32)


def _laplacian_eigenmap(graph: sp.csr_matrix, n_components: int, rng: np.random.Generator):
    from scipy.sparse.linalg import eigsh

    n = graph.shape[0]
    k = n_components + 1
    if n <= k + 1:
        raise ValueError("too few points for a spectral layout")
    degree = np.asarray(graph.sum(axis=1)).ravel()
    if (degree <= 0).any():
        raise ValueError("the graph has isolated points")
    inv_sqrt = sp.diags(1.0 / np.sqrt(degree))
    # The top eigenvectors of D^-1/2 A D^-1/2 are the bottom ones of the
    # normalised Laplacian I - D^-1/2 A D^-1/2; the very top one is trivial.
    adjacency = (inv_sqrt @ graph @ inv_sqrt).astype(np.float64)
    if n < 500:
        values, vectors = np.linalg.eigh(adjacency.toarray())
    else:
        v0 = rng.uniform(-1.0, 1.0, size=n)
        values, vectors = eigsh(adjacency, k=k, which="LA", v0=v0, tol=1e-4,
                                maxiter=max(1000, 5 * n))
    order = np.argsort(values)[::-1][1:k]
    return vectors[:, order]


# ---------------------------------------------------------------------------
# Optimisation
# ---------------------------------------------------------------------------


def optimize_layout(embedding: np.ndarray, head, tail, epochs_per_sample, n_epochs: int,
                    a: float, b: float, repulsion_strength: float, learning_rate: float,
                    negative_sample_rate: float, seed: int, n_threads: int) -> None:
    """Moves embedding (float32, C order) in place along the edges."""
    n, dim = embedding.shape
    if head.size == 0:
        return
    status = _native.umap_layout_euclidean_f32(
        embedding, head, tail, epochs_per_sample, n, dim, n_epochs, a, b,
        repulsion_strength, learning_rate, negative_sample_rate, seed, n_threads)
    # -1 also reports that the serial optimiser did the work (one thread, or no
    # threads or memory to be had); the arguments were checked above.
    if status not in (0, -1):
        raise KernelError(f"layout kernel failed with status {status}")
