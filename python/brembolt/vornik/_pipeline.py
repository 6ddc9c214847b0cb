"""The embedding pipeline: data -> kNN -> fuzzy graph -> edges -> SGD (from _initial_layout).

Each stage is a plain function on NumPy arrays, so a caller can enter the
pipeline anywhere (for instance with neighbours of its own). The native kernels
do the heavy work; this layer arranges their inputs and checks their statuses.
"""

from __future__ import annotations

import math
from dataclasses import astuple, dataclass

import numpy as np
import scipy.sparse as sp

import _native_vornik as _native

from . import _control
from ._metrics import Measure
from ._rows import exact_rows, kdtree_rows, rows_with_self

# ---------------------------------------------------------------------------
# Nearest neighbours
# ---------------------------------------------------------------------------


@dataclass(frozen=True)
class KnnSettings:
    n_trees: int
    n_iters: int
    leaf_size: int


EUCLIDEAN = Measure("euclidean")

# Trees of the other measures' forests (bench/metrics.py, recall@15 of 0.95 or
# more): their refinement settles in a poorer graph from two trees than the
# squared Euclidean one does (Chebyshev 0.92 from two trees and 0.9495 from
# four, Manhattan 0.949 from two, on 50,000 x 64 clusters; Jaccard 0.87 from
# two on 100,000 fingerprints of 2,048 bits).
TREES = {"manhattan": 3, "chebyshev": 5, "minkowski": 3, "hamming": 4, "jaccard": 4, "dice": 4}


def default_knn_settings(n: int, d: int, k: int, measure: Measure = EUCLIDEAN) -> KnnSettings:
    """The cheapest forest that keeps embedding quality at the level of exact neighbours.

    Measured with bench/pipeline.py on four data sets (1,797 to 100,000 points,
    64 to 784 dimensions, intrinsic dimension 8 to 50): two trees with leaves
    of 24 points, refined for about log2(n) iterations, give trustworthiness
    within 0.001 of embeddings built from exact neighbours. Refinement stops
    early by itself once the graph settles, so the iteration count is a cap.
    Other measures take more trees (TREES).
    """
    return KnnSettings(n_trees=TREES.get(measure.name, 2), n_iters=int(max(4, round(math.log2(n)))),
                       leaf_size=int(max(24, k + 1)))


# From this share of n_samples among the neighbours on, blocked brute force is
# faster than the forest and NN-descent, whose cost grows with k squared
# (bench/exact_crossover.py: at k = n / 10 it took 1.2x to 16x less time on 500
# to 10,000 points of 16 and 128 dimensions, and the gap widens with k and n).
EXACT_FRACTION = 0.1


ONE_WORKER_PER_TREE = 0  # the kernel's tree_workers: one per tree, whatever the threads


def uses_exact_search(n: int, k: int) -> bool:
    """Whether k neighbours of n points are found by brute force rather than the kernel."""
    return k == 0 or k >= EXACT_FRACTION * n


# Up to this many features a k-d tree finds the exact neighbours about as fast
# as the forest finds approximate ones or faster (bench/low_dimensions.py: at
# 50,000 points 0.26 s against 0.38 s at 4 features, even at 5, 0.64 s against
# 0.41 s at 6, where the forest's trustworthiness is within 0.001 of exact),
# and the forest's graph of very low-dimensional data falls apart.
KDTREE_MAX_FEATURES = 5


def nearest_neighbors(x: np.ndarray, n_neighbors: int, seed: int, n_threads: int,
                      settings: KnnSettings | None = None, verbose: bool = False,
                      measure: Measure = EUCLIDEAN):
    """kNN rows as the fuzzy graph reads them.

    Column 0 is the point itself at distance 0, then its n_neighbors - 1
    nearest neighbours by ascending distance in measure (Euclidean, not
    squared, by default; Minkowski's p-th root taken; for bit rows (uint64
    words) the bits kernels' counts or shares). When they are a large share
    of all points, or dense points have few features (and no forest settings
    are given), the search is exact. The forest has one worker per tree
    whatever n_threads is, so the rows do not depend on it.
    """
    n, d = x.shape
    k = n_neighbors - 1
    if uses_exact_search(n, k):
        return exact_rows(x, k, measure=measure)
    if settings is None and d <= KDTREE_MAX_FEATURES and measure.kernels != "bits":
        return kdtree_rows(x, k, n_threads, measure)
    s = settings or default_knn_settings(n, d, k, measure)
    idx = np.empty((n, k), np.int32)
    dist = np.empty((n, k), np.float32)
    kernel = _search_kernel(measure)
    args = (x, idx, dist, n, d, k, s.n_trees, s.n_iters, seed, s.leaf_size, ONE_WORKER_PER_TREE,
            n_threads)
    status = _control.run(kernel, args, total=max(1, s.n_trees) + max(1, s.n_iters),
                          desc="nearest neighbours", verbose=verbose, unit="step")
    _control.check_status(status, "kNN kernel")
    full_idx, full_dist = rows_with_self(idx, dist, measure.root)
    _fill_missing_neighbours(x, full_idx, full_dist, measure)
    return full_idx, full_dist


def _search_kernel(measure: Measure):
    """The kNN method of a measure, called as knn_descent_f32_ctl is (the control block last)."""
    if measure.kernels == "dense":
        return lambda *args: _native.knn_descent_metric_f32(*args, measure.name, measure.p)
    if measure.kernels == "bits":
        return lambda *args: _native.knn_descent_bits_u64(*args, measure.name)
    return _native.knn_descent_f32_ctl


def _fill_missing_neighbours(x: np.ndarray, full_idx: np.ndarray, full_dist: np.ndarray,
                             measure: Measure = EUCLIDEAN) -> None:
    """Rows the search could not fill (an id -1) get their exact rows instead."""
    rows = np.flatnonzero((full_idx < 0).any(axis=1))
    if rows.size:
        full_idx[rows], full_dist[rows] = exact_rows(x, full_idx.shape[1] - 1, rows, measure)


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
    ordered = np.sort(knn_idx, axis=1)
    repeated = (ordered[:, 1:] == ordered[:, :-1]) & (ordered[:, 1:] >= 0)
    if repeated.any():
        row = int(np.flatnonzero(repeated.any(axis=1))[0])
        raise ValueError(f"knn indices repeat within a row (first in row {row}): "
                         "each neighbour may appear once per row")
    if not np.isfinite(knn_dist).all() or (knn_dist < 0).any():
        raise ValueError("knn distances must be finite and non-negative")
    return knn_idx.astype(np.int32, copy=False), knn_dist


# ---------------------------------------------------------------------------
# Fuzzy graph and edges
# ---------------------------------------------------------------------------


# The graph kernel's bandwidth search starts at 1 and doubles or halves from
# there within a fixed number of steps, so distances go to it rescaled by a
# power of two that brings their median into [1, 2): the weights then do not
# depend on the units, and distances of any magnitude are handled alike.
# Their largest stays below 2^GRAPH_MAX_LOG2.
GRAPH_MAX_LOG2 = 100


def graph_distance_exponent(knn_dist: np.ndarray) -> int:
    """The power of two the graph kernel's distances are multiplied by."""
    off_self = np.asarray(knn_dist)[:, 1:]
    positive = off_self[off_self > 0]
    if positive.size == 0:
        return 0
    exponent = 1 - math.frexp(float(np.median(positive)))[1]
    largest = float(positive.max())
    if np.isfinite(largest):
        exponent = min(exponent, GRAPH_MAX_LOG2 - math.frexp(largest)[1])
    return exponent


def fuzzy_graph(knn_idx: np.ndarray, knn_dist: np.ndarray, n_threads: int = 1,
                exponent: int | None = None) -> sp.csr_matrix:
    """The symmetric fuzzy graph of kNN rows (distances in any units), as an n x n CSR matrix
    in canonical form.

    The distances are multiplied by 2**exponent first (default: the
    graph_distance_exponent of knn_dist). The kernel's bits do not depend on
    n_threads.
    """
    knn_idx = np.ascontiguousarray(knn_idx, dtype=np.int32)
    knn_dist = np.asarray(knn_dist)
    if exponent is None:
        exponent = graph_distance_exponent(knn_dist)
    knn_dist = np.ascontiguousarray(np.ldexp(knn_dist, exponent), dtype=np.float32)
    n, k = knn_idx.shape
    rows = np.empty((n, k, 2), np.int32)
    cols = np.empty((n, k, 2), np.int32)
    vals = np.empty((n, k, 2), np.float32)
    _native.umap_graph_f32_parallel(knn_idx, knn_dist, rows, cols, vals, n, k, n_threads)
    return graph_from_slots(rows, cols, vals)


def graph_from_slots(rows: np.ndarray, cols: np.ndarray, vals: np.ndarray) -> sp.csr_matrix:
    """The CSR matrix of the fuzzy-graph kernel's output slots, without a general sort.

    Slot 0 of kNN entry (i, j) holds the edge i -> c that row i lists, so those
    edges arrive grouped by row; slot 1 holds the reverse c -> i of a one-way
    edge, grouped by column, which one transposition regroups. Each edge sits
    in exactly one slot (weights add where a row lists a neighbour twice).
    """
    n = rows.shape[0]
    own = vals[:, :, 0] > 0
    listed = _csr_of_rows(own, cols[:, :, 0][own], vals[:, :, 0][own], n)
    listed.sort_indices()
    back = vals[:, :, 1] > 0
    reverse = _csr_of_rows(back, rows[:, :, 1][back], vals[:, :, 1][back], n).T.tocsr()
    graph = listed + reverse
    graph.sum_duplicates()
    return graph


def _csr_of_rows(kept: np.ndarray, indices: np.ndarray, data: np.ndarray, n: int) -> sp.csr_matrix:
    """CSR from entries that come row by row; kept marks each row's entries."""
    indptr = np.zeros(n + 1, np.int64)
    np.cumsum(kept.sum(axis=1), out=indptr[1:])
    return sp.csr_matrix((data, indices, indptr), shape=(n, n))


def locality_order(graph: sp.csr_matrix) -> np.ndarray:
    """Vertex ids in Cuthill-McKee order, so that graph neighbours sit close in memory.

    Breadth first through one connected component after another, each from an
    unvisited vertex of least degree, every vertex's unvisited neighbours by
    ascending degree. Ties go to the lower id (stable sorts throughout), so
    the order is a function of the graph's structure alone. The layout runs
    faster on vertices in this order: the rows an edge reads and writes are
    mostly near each other and near those of the edges before it.
    """
    n = graph.shape[0]
    indptr, indices = graph.indptr, graph.indices
    degree = np.diff(indptr)
    by_degree = np.argsort(degree, kind="stable")
    visited = np.zeros(n, bool)
    order = np.empty(n, np.int32)
    filled, start = 0, 0
    while filled < n:
        while visited[by_degree[start]]:
            start += 1
        level = by_degree[start:start + 1]
        visited[level] = True
        while level.size:
            order[filled:filled + level.size] = level
            filled += level.size
            lens = degree[level]
            neighbours = indices[_ranges(indptr[level], lens)]
            parent = np.repeat(np.arange(level.size), lens)
            fresh = ~visited[neighbours]
            # A vertex joins the next level under the first parent that reaches it.
            level, first = np.unique(neighbours[fresh], return_index=True)
            level = level[np.lexsort((level, degree[level], parent[fresh][first]))]
            visited[level] = True
    return order


def _ranges(starts: np.ndarray, lens: np.ndarray) -> np.ndarray:
    """The concatenation of arange(s, s + l) for every (s, l), in order."""
    ends = np.cumsum(lens)
    return np.repeat(starts - (ends - lens), lens) + np.arange(ends[-1] if ends.size else 0)


def layout_edges(graph: sp.csr_matrix, n_epochs: int, order: np.ndarray | None = None):
    """head, tail and epochs_per_sample of the edges worth sampling.

    Edges lighter than max weight / n_epochs would be sampled less than once
    in the whole run, so they are dropped. With order (new id -> graph id, as
    locality_order gives it) the vertices are renumbered, vertex order[v]
    becoming v, and the edges come grouped by their new head.
    """
    n = graph.shape[0]
    if graph.nnz == 0:
        empty = np.empty(0, np.int32)
        return empty, empty, np.empty(0, np.float32)
    if order is not None:
        graph = graph[order]  # the rows in their new order
    weights = graph.data.astype(np.float32, copy=False)
    top = float(weights.max())
    keep = weights >= top / float(n_epochs)
    # Built a column at a time, without full-length temporaries: at millions
    # of points every edge-sized array is hundreds of megabytes.
    kept_before = np.zeros(graph.nnz + 1, np.int32)
    np.cumsum(keep, dtype=np.int32, out=kept_before[1:])
    per_row = np.diff(kept_before[graph.indptr])
    del kept_before
    head = np.repeat(np.arange(n, dtype=np.int32), per_row)
    tail = np.ascontiguousarray(graph.indices[keep], dtype=np.int32)
    if order is not None:
        new_id = np.empty(n, np.int32)
        new_id[order] = np.arange(n, dtype=np.int32)
        np.take(new_id, tail, out=tail)
    epochs_per_sample = weights[keep]
    del graph, weights, keep
    # top / weight in double, rounded once to float32
    np.divide(top, epochs_per_sample, out=epochs_per_sample, dtype=np.float64, casting="same_kind")
    return head, tail, epochs_per_sample


# ---------------------------------------------------------------------------
# Curve parameters
# ---------------------------------------------------------------------------


def fit_ab(min_dist: float, spread: float):
    """a, b of 1 / (1 + a x^(2b)) fitted to the target membership curve.

    The target is 1 below min_dist and exp(-(x - min_dist) / spread) beyond.
    It depends on x / spread alone, so the curve is fitted in units of spread
    (from the same start for every spread, where fits in the data's units
    went astray: a negative b at spread 0.1) and a is scaled back:
    a u^(2b) with u = x / spread is a spread^(-2b) x^(2b).
    """
    from scipy.optimize import curve_fit

    def curve(u, a, b):
        return 1.0 / (1.0 + a * u ** (2.0 * b))

    u = np.linspace(0.0, 3.0, 300)
    y = np.where(u < min_dist / spread, 1.0, np.exp(-(u - min_dist / spread)))
    (a, b), _ = curve_fit(curve, u, y, p0=(1.0, 1.0), maxfev=10000)
    return float(a * spread ** (-2.0 * b)), float(b)


# ---------------------------------------------------------------------------
# Optimisation
# ---------------------------------------------------------------------------


# The layout's edges are cut into parts, each summed apart and the sums added
# in part order, so the result depends on the number of parts, which comes
# from the number of edges alone: never on the machine or the threads, which
# only decide how fast the parts are done. Two parts even on one thread beat
# the serial optimiser, whose every power waits for the update before it
# (bench/layout_threads.py: 100 points 2x, 1,797 points 2.5x faster). Two
# parts sum into two whole buffers; more parts list the rows they touch and
# sum only those, which costs 1.16 to 1.25 times the processor time of two
# whole buffers at 100,000 points (bench/scaling.py --against) but less than
# them at a million (0.86x), where the whole buffers no longer stay in cache.
# So layouts stay on two parts below MANY_PARTS_EDGES (about 200,000 points at
# 15 neighbours); from there each part keeps at least PART_EDGES edges, the
# parts doubling with the edges up to MAX_LAYOUT_PARTS (from 2^24 edges, about
# 800,000 points), so that 16 or 32 threads share a large layout.
MIN_LAYOUT_PARTS = 2
MAX_LAYOUT_PARTS = 32
PART_EDGES = 1 << 19
MANY_PARTS_EDGES = 1 << 22


def layout_parts(n_edges: int) -> int:
    """Parts of a layout of n_edges edges: 2, or a power of two from 8 to MAX_LAYOUT_PARTS."""
    if n_edges < MANY_PARTS_EDGES:
        return MIN_LAYOUT_PARTS
    parts = MANY_PARTS_EDGES // PART_EDGES
    while parts < MAX_LAYOUT_PARTS and n_edges >= 2 * parts * PART_EDGES:
        parts *= 2
    return parts


DEFAULT_SUBSTEPS = 0  # the kernel's own count, from the edges and vertices
# A second thread is worth starting from 2 * THREAD_EDGES edges on (about 200
# points): from there two threads beat one on an idle machine, and the tiniest
# layouts stay on one thread, where a busy machine cannot delay a partner.
THREAD_EDGES = 1 << 11


@dataclass(frozen=True)
class LayoutRun:
    """How a layout runs, in the order the layout kernels take it (threads change no bit).

    The curve is 1 / (1 + a d^(2b)); the learning rate decays linearly to 0.
    """

    n_epochs: int
    a: float
    b: float
    repulsion_strength: float
    learning_rate: float
    negative_sample_rate: float
    seed: int

    def kernel_args(self) -> tuple:
        """The run as every layout kernel takes it, n_epochs to seed."""
        return astuple(self)


def to_schedule_order(edges, n_samples: int, n_substeps: int = DEFAULT_SUBSTEPS) -> None:
    """Puts edge arrays (head, tail, epochs_per_sample) in the layout's schedule order, in place.

    Substep s of every epoch takes edges s, s + S, s + 2S, ... of the list;
    in schedule order they sit one after the other, substep after substep, so
    the layout reads them where they are rather than copying them (12 bytes
    per edge less while it runs). One array's worth of scratch at a time.
    """
    n_edges = edges[0].size
    if n_edges == 0:
        return
    S = _native.umap_layout_substeps(n_edges, n_samples, n_substeps)
    if S > 1:
        for a in edges:
            a[:] = np.concatenate([a[s::S] for s in range(S)])


def layout_threads(n_threads: int, n_parts: int, n_edges: int) -> int:
    """Threads for the parts: never more than parts, nor than the edges keep busy."""
    return int(max(1, min(n_threads, n_parts, n_edges // THREAD_EDGES)))


def optimize_layout(embedding: np.ndarray, edges, run: LayoutRun, n_threads: int,
                    order: np.ndarray | None = None, verbose: bool = False,
                    in_schedule_order: bool = False, density=None) -> None:
    """Moves embedding (float32, C order) in place along edges (head, tail, epochs_per_sample).

    With order, head and tail are in the renumbered ids of layout_edges: the
    layout runs on the rows in that order, which are put back afterwards.
    With in_schedule_order the edges are as to_schedule_order leaves them
    (the result is that of the list they came from). The result does not
    depend on n_threads (see layout_parts). density (a _density.DensityTerm, radii in
    graph ids) adds the density term over the layout's last epochs.
    """
    head, tail, epochs_per_sample = edges
    n, dim = embedding.shape
    if head.size == 0:
        return
    # The density layout still sums a whole buffer per part in every
    # substep, so it keeps the fewest parts.
    n_parts = layout_parts(head.size) if density is None else MIN_LAYOUT_PARTS
    threads = layout_threads(n_threads, n_parts, head.size)
    if order is not None:  # permuted in place: no second embedding while the kernel runs
        embedding[:] = embedding[order]
    try:
        kernel = (_native.umap_layout_euclidean_f32_parts_in_schedule_order if in_schedule_order
                  else _native.umap_layout_euclidean_f32_parts)
        plan = (n_parts, DEFAULT_SUBSTEPS, threads)
        if density is not None:
            radius = density.radius if order is None else density.radius[order]
            kernel = _native.umap_layout_density_f32
            plan = (radius, density.strength, density.epochs, density.variance_shift, *plan,
                    in_schedule_order)
        status = _control.run(
            kernel, (embedding, head, tail, epochs_per_sample, n, dim, *run.kernel_args(), *plan),
            total=run.n_epochs, desc="layout", verbose=verbose, unit="epoch")
    finally:
        if order is not None:
            embedding[order] = embedding.copy()
    _control.check_status(status, "layout kernel", f"the layout's {threads} gradient buffers of "
                          f"{n} x {dim} floats, the records of its {n_parts} parts and its "
                          f"schedule of {head.size} edges")

