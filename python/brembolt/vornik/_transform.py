"""New points into a fitted model: the search index kept at fit time, and transform.

New rows arrive prepared as the fit's rows were (_data.prepare: the metric's
normalisation, the fit's power of two), and the training rows kept here are
the fit's rows in that same space, so the search compares like with like.
A new row is placed by its own bits alone: its neighbours among the training
rows come from a walk over a search graph of the fit (knn_query_f32; for the
dense metric and bit kernels, an exact search in the metric for now:
new_row_neighbours), its memberships from the fit's bandwidth rule (umap_query_memberships_f32), its
start is the membership-weighted mean of its neighbours' positions, and the
layout moves it against the frozen training embedding with a random stream
keyed by a hash of its row (umap_layout_new_points_f32). So a row lands on the
same bits alone, in any batch, in any order, on any number of threads or
machines. A row bit-identical to a training row is placed exactly where the
fit placed that row.
"""

from __future__ import annotations

from dataclasses import dataclass, replace

import numpy as np
import scipy.sparse as sp
from scipy.sparse.csgraph import connected_components

import _native_vornik as _native

from . import _control
from ._control import check_status
from ._data import KernelSpace, Prepared
from ._pipeline import LayoutRun
from ._rows import nearest_columns, row_keys, value_keys
from .neighbours import exact_measure_neighbours

# The search graph keeps, per training point, up to this many times its
# n_neighbors - 1 fit neighbours: its own neighbours and the points that hold
# it as theirs, nearest first.
GRAPH_WIDTH_FACTOR = 2
# Pivots every query is measured against (at least n_neighbors, at least one
# per connected piece of the search graph, at most every point).
N_PIVOTS = 256
# The search list keeps this many times k candidates, and the walk starts from
# its leaves and the N_ENTRIES nearest entries (bench/transform.py: recall
# against time; a list of 2k left queries far between two blobs at 0.75 of
# the fit's recall, 3k reaches 0.96).
BEAM_FACTOR = 3
N_ENTRIES = 4
# The search forest: every query descends to one leaf per tree, and the leaf's
# points are where its walk starts, so that it starts near its row wherever
# the row lies (bench/transform.py --reach: a few pivots alone left half the
# rows of 2,000 tight clusters without a single true neighbour; 8 trees of
# leaves of 64 leave none).
N_TREES = 8
TREE_LEAF_SIZE = 64

# New points start at the membership-weighted mean of their neighbours, close
# to where they belong: the layout refines that with a quarter of the fit's
# learning rate, since full steps throw them about first (bench/transform.py:
# trustworthiness dipped by up to 0.007 after 10-30 epochs at the full rate).
LEARNING_RATE_SCALE = 0.25


@dataclass
class Reference:
    """What transform needs of the training data (pickled with the model).

    fit keeps the training rows and two seeds; the search index (graph,
    pivots, row keys, search forest) is built from them and the fit's kNN rows
    on the first transform, or before the model is pickled, so a fit that is
    never transformed does not pay for it and every copy of a model searches
    the same index. A model saved before the forest existed gets it on its
    first transform, the same bits as any other copy's.
    """

    data: np.ndarray  # (n, d) float32, the training rows (bit rows: (n, words) uint64)
    seed: int  # the layout's seed for new points
    pivot_seed: int  # draws the pivots
    graph: np.ndarray | None = None  # (n, width) int32, -1 for none
    pivots: np.ndarray | None = None  # (p,) int32, ascending
    keys: np.ndarray | None = None  # (n,) uint64 row keys, ascending
    key_ids: np.ndarray | None = None  # (n,) int32, the training row of each key
    tree_order: np.ndarray | None = None  # (trees, n) int32, each tree's points leaf by leaf
    tree_splits: np.ndarray | None = None  # (trees, slots, 2) int32, see knn_search_forest_f32
    tree_thresholds: np.ndarray | None = None  # (trees, slots) float32
    tree_leaf_size: int = 0

    @property
    def indexed(self) -> bool:
        return self.graph is not None


@dataclass(frozen=True, eq=False)  # arrays: compared and hashed as objects
class Fitted:
    """What transform reads of a fitted model (its arrays themselves, not copies)."""

    embedding: np.ndarray  # one row per row of the fit's X
    distinct_rows: np.ndarray | None  # the rows the fit embedded, under unique=True
    knn_indices: np.ndarray  # the fit's kNN rows, self first
    knn_dists: np.ndarray  # in the metric's units
    space: KernelSpace  # how rows map into the kernels' space
    graph_exponent: int  # the power of two the fuzzy graph's distances were scaled by
    reference: Reference
    run: LayoutRun  # the new points' layout: the fit's curve and forces, the reference's seed
    verbose: bool = False  # progress bars for the search and the layout

    @property
    def positions(self) -> np.ndarray:
        """The positions of the rows the fit embedded (each distinct row once under unique=True)."""
        first = self.distinct_rows
        return self.embedding if first is None else np.ascontiguousarray(self.embedding[first])


# ---------------------------------------------------------------------------
# Kept at fit time, indexed on first use
# ---------------------------------------------------------------------------


def keep_reference(prepared: Prepared, X, rng: np.random.Generator) -> Reference:
    """What fit keeps: its rows in the kernels' space (copied unless they are its own, not X)
    and two seeds. A distance matrix is not kept: new rows hold their distances to the fit's."""
    x = prepared.points
    if prepared.space.metric == "precomputed":
        data = np.empty((0, 0), np.float32)
    else:
        owned = x is not X and x.flags.owndata
        dtype = np.uint64 if x.dtype == np.uint64 else np.float32  # bit rows stay packed
        data = x if owned else np.array(x, dtype=dtype, order="C", copy=True)
    pivot_seed, seed = (int(s) for s in rng.integers(0, 2**64, size=2, dtype=np.uint64))
    return Reference(data, seed, pivot_seed)


def build_index(ref: Reference, knn_idx: np.ndarray, knn_dist: np.ndarray, n_threads: int = 1,
                verbose: bool = False, forest: bool = True) -> Reference:
    """Builds ref's search index in place from the fit's kNN rows (self first); returns ref.

    Each part is set whole once it is built, so an interrupted build leaves
    ref as it was or with the graph alone, and the next call builds the rest.
    """
    if not ref.indexed:
        _build_graph(ref, knn_idx, knn_dist)
    if forest and ref.tree_order is None:
        trees = search_forest(ref.data, ref.pivot_seed, n_threads, verbose)
        ref.tree_order, ref.tree_splits, ref.tree_thresholds = trees
        ref.tree_leaf_size = TREE_LEAF_SIZE
    return ref


def _build_graph(ref: Reference, knn_idx: np.ndarray, knn_dist: np.ndarray) -> None:
    k = knn_idx.shape[1]
    graph = search_graph(knn_idx, knn_dist, max(1, GRAPH_WIDTH_FACTOR * (k - 1)))
    pivots = choose_pivots(graph, max(N_PIVOTS, k), np.random.default_rng(ref.pivot_seed))
    keys = row_keys(ref.data)
    order = np.argsort(keys, kind="stable")  # equal keys: ascending training id
    ref.keys, ref.key_ids = keys[order], order.astype(np.int32)
    ref.pivots, ref.graph = pivots, graph


def search_forest(data: np.ndarray, seed: int, n_threads: int, verbose: bool = False):
    """The search forest of the training rows: (order, splits, thresholds)."""
    n, d = data.shape
    slots = _native.knn_forest_nodes(n, TREE_LEAF_SIZE)
    order = np.empty((N_TREES, n), np.int32)
    splits = np.empty((N_TREES, slots, 2), np.int32)
    thresholds = np.empty((N_TREES, slots), np.float32)
    status = _control.run(
        _native.knn_search_forest_f32,
        (data, order, splits, thresholds, n, d, N_TREES, TREE_LEAF_SIZE, seed, n_threads),
        total=N_TREES, desc="new points: search forest", verbose=verbose, unit="tree")
    check_status(status, "search forest")
    return order, splits, thresholds


def search_graph(knn_idx: np.ndarray, knn_dist: np.ndarray, width: int) -> np.ndarray:
    """Each point's fit neighbours and reverse neighbours, nearest first, width at most.

    Reverse edges let a walk reach points that few others list, and the width
    bounds the work of expanding a hub. A row holds its own neighbours in
    their order and the points that list it (and are not among them), merged
    by distance; equal distances put its own neighbours first.
    """
    n = knn_idx.shape[0]
    fwd, fdist = _own_neighbours(knn_idx, knn_dist)
    m = fwd.shape[1]
    src = np.repeat(np.arange(n, dtype=np.int64), m)
    dst = fwd.ravel().astype(np.int64)
    keep = dst >= 0
    f_src, f_dst = src[keep], dst[keep]
    f_key = _row_distance_keys(f_src, fdist.ravel()[keep])  # ascending: rows in order, sorted
    # The reverse entry dst <- src, unless dst lists src itself.
    mutual = np.zeros(f_src.size, bool)
    for lo in range(0, f_src.size, 1 << 20):
        hi = min(lo + (1 << 20), f_src.size)
        mutual[lo:hi] = (fwd[f_dst[lo:hi]] == f_src[lo:hi, None]).any(axis=1)
    r_src, r_dst = f_dst[~mutual], f_src[~mutual]
    r_key = _row_distance_keys(r_src, fdist.ravel()[keep][~mutual])
    order = np.argsort(r_key, kind="stable")
    r_src, r_dst, r_key = r_src[order], r_dst[order], r_key[order]
    # Place in the merged row: own rank plus the other list's entries before it.
    f_rank = np.arange(f_src.size) - np.searchsorted(f_src, f_src, side="left")
    r_rank = np.arange(r_src.size) - np.searchsorted(r_src, r_src, side="left")
    f_pos = f_rank + np.searchsorted(r_key, f_key, side="left") - np.searchsorted(r_src, f_src)
    r_pos = r_rank + np.searchsorted(f_key, r_key, side="right") - np.searchsorted(f_src, r_src)
    graph = np.full((n, width), -1, np.int32)
    for s_, d_, p_ in ((f_src, f_dst, f_pos), (r_src, r_dst, r_pos)):
        ok = p_ < width
        graph[s_[ok], p_[ok]] = d_[ok]
    return graph


def _own_neighbours(knn_idx: np.ndarray, knn_dist: np.ndarray):
    """The kNN rows without each point itself (-1 there), by ascending distance."""
    n = knn_idx.shape[0]
    ids = np.where(knn_idx == np.arange(n)[:, None], -1, knn_idx).astype(np.int32)
    dist = np.ascontiguousarray(knn_dist, dtype=np.float32)
    if (np.diff(dist, axis=1) < 0).any():  # caller's rows need not be sorted
        order = np.argsort(dist, axis=1, kind="stable")
        ids = np.take_along_axis(ids, order, axis=1)
        dist = np.take_along_axis(dist, order, axis=1)
    return ids, dist


def _row_distance_keys(rows: np.ndarray, dist: np.ndarray) -> np.ndarray:
    """Keys that order entries by row, then by distance (non-negative floats order as bits)."""
    return (rows.astype(np.uint64) << np.uint64(32)) | dist.astype(np.float32).view(
        np.uint32).astype(np.uint64)


def choose_pivots(graph: np.ndarray, count: int, rng: np.random.Generator) -> np.ndarray:
    """count random points (all when fewer), plus the first point of every piece they miss."""
    n, width = graph.shape
    if count >= n:
        return np.arange(n, dtype=np.int32)
    chosen = rng.choice(n, size=count, replace=False)
    # The graph as CSR as it stands: empty slots become self-loops, which join nothing.
    cols = np.where(graph >= 0, graph, np.arange(n, dtype=np.int32)[:, None]).ravel()
    adjacency = sp.csr_matrix((np.ones(cols.size, np.int8), cols,
                               np.arange(0, cols.size + 1, width)), shape=(n, n))
    _, piece = connected_components(adjacency, directed=False)
    _, first = np.unique(piece, return_index=True)
    missed = first[~np.isin(piece[first], piece[chosen])]
    return np.unique(np.concatenate([chosen, missed])).astype(np.int32)


# ---------------------------------------------------------------------------
# Transform
# ---------------------------------------------------------------------------


def training_rows(ref: Reference, x: np.ndarray, keys: np.ndarray) -> np.ndarray:
    """For each row of x, the first training row with the same bits, or -1."""
    return _first_key_match(ref, keys, lambda rows, ids: (
        ref.data[ids].view(np.uint32) == x[rows].view(np.uint32)).all(axis=1))


def _first_key_match(ref: Reference, keys: np.ndarray, same) -> np.ndarray:
    """For each key, the first training row of that key for which same(rows, ids) holds, or -1."""
    found = np.full(keys.size, -1, np.int64)
    at = np.searchsorted(ref.keys, keys)
    open_ = np.arange(keys.size)
    while open_.size:
        # Candidates: the next training row of the same key. Equal keys of
        # different rows almost never happen, so this rarely loops twice.
        open_ = open_[at[open_] < ref.keys.size]
        open_ = open_[ref.keys[at[open_]] == keys[open_]]
        ids = ref.key_ids[at[open_]]
        hit = same(open_, ids)
        found[open_[hit]] = ids[hit]
        open_ = open_[~hit]
        at[open_] += 1
    return found


def key_distance_rows(ref: Reference, keys: np.ndarray) -> None:
    """Keeps the value keys of the rows of a fit's distance matrix (one per embedded row).

    The matrix itself is not kept, so a training row among new rows of
    distances is told by its key and by its zero in that row's own column.
    """
    order = np.argsort(keys, kind="stable")  # equal keys: ascending training id
    ref.keys, ref.key_ids = keys[order], order.astype(np.int32)


def distance_training_rows(ref: Reference, x: np.ndarray, columns: np.ndarray | None):
    """For each row of distances x, the first training row it equals, or -1.

    A candidate is a training row whose value key the row shares (a 64-bit
    hash of its whole row, the float64 values) and whose own column, where a
    training row holds its zero distance to itself, is 0 in the row too.
    columns[i] is the column of embedded row i (None: column i). Models
    saved without the keys match nothing.
    """
    if ref.keys is None:
        return np.full(x.shape[0], -1, np.int64)
    return _first_key_match(ref, value_keys(x, np.float64), lambda rows, ids: (
        x[rows, ids if columns is None else columns[ids]] == 0))


def query(ref: Reference, x: np.ndarray, k: int, n_threads: int,
          beam: int | None = None, n_entries: int = N_ENTRIES, verbose: bool = False):
    """k approximate nearest training rows of every row of x: (ids, squared distances)."""
    n, d = ref.data.shape
    m = x.shape[0]
    idx = np.empty((m, k), np.int32)
    sq = np.empty((m, k), np.float32)
    beam = BEAM_FACTOR * k if beam is None else beam
    status = _control.run(
        _native.knn_query_f32_ctl,
        (ref.data, ref.graph, ref.pivots, ref.tree_order, ref.tree_splits, ref.tree_thresholds,
         x, idx, sq, n, d, ref.graph.shape[1], ref.pivots.size, ref.tree_order.shape[0],
         ref.tree_leaf_size, m, k, beam, n_entries, n_threads), total=m,
        desc="new points: neighbours", verbose=verbose, unit="row")
    check_status(status, "neighbour query")
    return idx, sq


def new_row_neighbours(ref: Reference, space: KernelSpace, x: np.ndarray, k: int,
                       n_threads: int, verbose: bool = False):
    """The k nearest training rows of each new row: (ids int32, distances in the metric's units).

    Rows of the squared Euclidean kernels take the walk over the search graph
    (query). The other measures (Manhattan, Chebyshev, Minkowski, the bit
    metrics) are searched exactly, by brute force over every training row in
    the measure: O(n) work per new row, and a row's neighbours still depend
    on its own bits alone, equal distances by ascending id.
    """
    measure = space.measure
    if measure.kernels == "euclidean":
        idx, sq = query(ref, x, k, n_threads, verbose=verbose)
        return idx, space.to_metric(np.sqrt(sq))
    ids, dist = exact_measure_neighbours(ref.data, k, np.arange(x.shape[0]), measure, rows=x)
    return ids.astype(np.int32), space.to_metric(dist)


def memberships(idx: np.ndarray, dist: np.ndarray) -> np.ndarray:
    """Membership of each row to its neighbours (Euclidean distances, nearest first)."""
    m, k = idx.shape
    vals = np.empty((m, k), np.float32)
    _native.umap_query_memberships_f32(idx, dist, vals, m, k)
    return vals


def weighted_start(embedding: np.ndarray, idx: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """The membership-weighted mean of the neighbours' positions, row by row.

    Sums run over the columns one at a time, so a row's bits do not depend on
    how many rows are computed with it.
    """
    m, k = idx.shape
    total = np.zeros((m, embedding.shape[1]), np.float64)
    weight = np.zeros(m, np.float64)
    safe = np.where(idx >= 0, idx, 0)
    for j in range(k):
        w = weights[:, j].astype(np.float64)
        total += w[:, None] * embedding[safe[:, j]]
        weight += w
    return np.ascontiguousarray(total / weight[:, None], dtype=np.float32)


def index(fitted: Fitted, n_threads: int = 1) -> Reference:
    """The fit's search index, built on first use from its kNN rows in the kernels' space."""
    ref = fitted.reference
    if fitted.space.metric == "precomputed":
        return ref  # a distance matrix is its own index
    # Only the squared Euclidean walk starts from the forest's leaves; the
    # other measures search every training row.
    forest = fitted.space.measure.kernels == "euclidean"
    if ref.indexed and (ref.tree_order is not None or not forest):
        return ref
    return build_index(ref, fitted.knn_indices, fitted.space.to_kernel(fitted.knn_dists),
                       n_threads, fitted.verbose, forest)


def place(fitted: Fitted, x: np.ndarray, n_threads: int, *, exact_rows: bool = True) -> np.ndarray:
    """The embedding of the rows of x in the fitted model, after fitted.run's epochs.

    x is in the kernels' space, prepared as the fit's rows were (float32); for
    a fit on a distance matrix, each row holds the distances to the training
    rows.
    """
    space = fitted.space
    embedding = fitted.positions
    m, dim = x.shape[0], embedding.shape[1]
    keys = row_keys(x)
    out = np.empty((m, dim), np.float32)
    k = fitted.knn_indices.shape[1]
    if space.metric == "precomputed":
        same = (distance_training_rows(fitted.reference, x, fitted.distinct_rows) if exact_rows
                else np.full(m, -1))
        seen = same >= 0
        out[seen] = embedding[same[seen]]
        todo = np.flatnonzero(~seen)
        if todo.size == 0:
            return out
        rest = x if todo.size == m else x[todo]
        columns = rest if fitted.distinct_rows is None else rest[:, fitted.distinct_rows]
        idx, dist = nearest_columns(columns, k)
    else:
        ref = index(fitted, n_threads)
        same = training_rows(ref, x, keys) if exact_rows else np.full(m, -1)
        seen = same >= 0
        out[seen] = embedding[same[seen]]
        todo = np.flatnonzero(~seen)
        if todo.size == 0:
            return out
        idx, dist = new_row_neighbours(ref, space, np.ascontiguousarray(x[todo]), k, n_threads,
                                       fitted.verbose)
    # The fit's graph measured distances in the metric's units times 2**graph_exponent.
    weights = memberships(idx, np.ascontiguousarray(np.ldexp(dist, fitted.graph_exponent),
                                                    dtype=np.float32))
    start = weighted_start(embedding, idx, weights)
    if fitted.run.n_epochs > 0:
        layout_new_points(start, embedding, idx, weights, keys[todo], fitted.run, n_threads,
                          fitted.verbose)
    out[todo] = start
    return out


def layout_new_points(start, embedding, idx, weights, keys, run: LayoutRun,
                      n_threads: int, verbose: bool = False) -> None:
    """Moves start (float32, one row per new point) in place against the fitted embedding."""
    m, k = idx.shape
    # Each edge is due once every 1 / weight epochs: the nearest, at weight 1, every epoch.
    with np.errstate(divide="ignore", over="ignore"):
        eps = np.where(weights > 0, 1.0 / weights.astype(np.float64), -1.0).astype(np.float32)
    status = _control.run(
        _native.umap_layout_new_points_f32_ctl,
        (start, embedding, idx, eps, keys, m, embedding.shape[0], embedding.shape[1], k,
         *replace(run, learning_rate=LEARNING_RATE_SCALE * run.learning_rate).kernel_args(),
         n_threads), total=m, desc="new points: layout", verbose=verbose, unit="point")
    check_status(status, "layout of new points")
