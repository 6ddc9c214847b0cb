"""A loaded model's state, checked once as it is unpickled, before transform reads it.

A fit builds this state itself; a file may hold anything. What transform
reads must be what a fit makes: arrays of the right dtypes and shapes, sizes
that agree, finite numbers, ids within range, exponents a fit can choose.
Arrays are read in blocks (a memory-mapped model is not copied), and a model
saved by an earlier version, without the keys of a distance matrix's rows,
passes.
"""

from __future__ import annotations

import numbers

import numpy as np

import _native_vornik as _native

from . import _metrics
from ._data import METRICS, KernelSpace
from ._sparse import SparseReference, check_reference
from ._transform import Reference

# No fit chooses a power of two outside this range: data scales from float64's
# smallest subnormal (2^-1074) to float32's largest value (2^128).
EXPONENT_RANGE = (-160, 1100)
FLOAT32_MAX = float(np.finfo(np.float32).max)
BLOCK_ITEMS = 1 << 21


def check_state(model) -> None:
    """Raises ValueError, naming the first part of the fitted state that is wrong."""
    state = vars(model)
    space = _instance(state, "_kernel_space", KernelSpace)
    ref = _instance(state, "_reference", Reference)
    if space.metric not in METRICS:
        _fail(f"_kernel_space.metric is {space.metric!r}")
    embedding = _array(state, "embedding_", np.float32, 2, finite=True)
    n_rows = embedding.shape[0]
    if embedding.shape[1] < 1 or n_rows < 2:
        _fail(f"embedding_ has shape {embedding.shape}")
    n_fit = _distinct_rows(state, n_rows)
    knn = _array(state, "knn_indices_", np.integer, 2, rows=n_fit)
    _ids(knn, "knn_indices_", -1, n_fit)
    dists = _array(state, "knn_dists_", np.float32, 2, rows=n_fit, finite=True)
    if dists.shape != knn.shape or not _all_blocks(dists, lambda b: b >= 0):
        _fail("knn_dists_ does not hold a non-negative distance per entry of knn_indices_")
    for name in ("a_", "b_"):
        value = state.get(name)
        if not (isinstance(value, numbers.Real) and 0 < value <= FLOAT32_MAX):
            _fail(f"{name} is {value!r}, not a positive float32 number")
    _exponent(space.exponent, "_kernel_space.exponent")
    _exponent(state.get("_graph_exponent"), "_graph_exponent")
    n_features = state.get("n_features_in_")
    if not isinstance(n_features, numbers.Integral) or n_features < 1:
        _fail(f"n_features_in_ is {n_features!r}")
    for name in ("seed", "pivot_seed"):
        seed = getattr(ref, name)
        if not (isinstance(seed, numbers.Integral) and 0 <= seed < 2**64):
            _fail(f"_reference.{name} is {seed!r}")
    if space.metric == "precomputed":
        if n_features != n_rows:
            _fail(f"n_features_in_ is {n_features}: a distance matrix's rows have one column per "
                  f"training row ({n_rows})")
    elif isinstance(ref, SparseReference):
        check_reference(ref, n_fit, n_features, _fail)
    elif space.metric in _metrics.BINARY:
        if space.n_bits != n_features:
            _fail(f"_kernel_space.n_bits is {space.n_bits!r}, not n_features_in_ ({n_features})")
        _array(vars(ref), "data", np.uint64, 2, rows=n_fit, cols=-(-n_features // 64),
               label="_reference.data")
    else:
        width = 3 if space.metric == "haversine" else n_features
        _array(vars(ref), "data", np.float32, 2, rows=n_fit, cols=width, finite=True,
               label="_reference.data")
        for name in ("lower", "upper"):
            _array(vars(space), name, np.float64, 1, rows=width, finite=True,
                   label=f"_kernel_space.{name}")
        _settings(space, n_features)
    _index(ref, n_fit)
    _row_frame(state, n_fit)


def _settings(space: KernelSpace, n_features: int) -> None:
    """Minkowski's p and the column map of seuclidean and mahalanobis."""
    if not (isinstance(space.p, numbers.Real) and space.p >= 1):
        _fail(f"_kernel_space.p is {space.p!r}")
    if space.metric in ("seuclidean", "mahalanobis"):
        shape = (n_features,) if space.metric == "seuclidean" else (n_features, n_features)
        _array(vars(space), "columns", np.float64, len(shape), rows=n_features,
               cols=shape[-1] if len(shape) == 2 else None, finite=True,
               label="_kernel_space.columns")


def _distinct_rows(state, n_rows: int) -> int:
    """The rows the fit embedded: all, or unique_rows_ with unique_inverse_ mapping back."""
    first, inverse = state.get("unique_rows_"), state.get("unique_inverse_")
    if first is None and inverse is None:
        return n_rows
    first = _array(state, "unique_rows_", np.integer, 1)
    _array(state, "unique_inverse_", np.integer, 1, rows=n_rows)
    if first.size < 2 or (np.diff(first) <= 0).any():
        _fail("unique_rows_ is not an ascending list of at least two rows")
    _ids(first, "unique_rows_", 0, n_rows)
    _ids(inverse, "unique_inverse_", 0, first.size)
    return first.size


def _row_frame(state, n_fit: int) -> None:
    """inverse_transform's lengths and means of the fit's rows, where the model holds them."""
    frame = state.get("_row_frame")
    if frame is None:
        return
    if not (isinstance(frame, tuple) and len(frame) == 2):
        _fail("_row_frame is not a pair of arrays")
    parts = dict(zip(("lengths", "means"), frame))
    for name in parts:
        _array(parts, name, np.float64, 1, rows=n_fit, finite=True, label=f"_row_frame {name}")
    if not _all_blocks(parts["lengths"], lambda b: b >= 0):
        _fail("_row_frame holds negative lengths")


def _index(ref: Reference, n_fit: int) -> None:
    """The search index and the row keys, where the model holds them."""
    if ref.graph is not None:
        graph = _array(vars(ref), "graph", np.int32, 2, rows=n_fit, label="_reference.graph")
        _ids(graph, "_reference.graph", -1, n_fit)
        pivots = _array(vars(ref), "pivots", np.int32, 1, label="_reference.pivots")
        if pivots.size == 0:
            _fail("_reference.pivots is empty")
        _ids(pivots, "_reference.pivots", 0, n_fit)
    if ref.keys is not None or ref.key_ids is not None:
        keys = _array(vars(ref), "keys", np.uint64, 1, rows=n_fit, label="_reference.keys")
        ids = _array(vars(ref), "key_ids", np.int32, 1, rows=n_fit, label="_reference.key_ids")
        if (np.diff(keys) < 0).any():  # n_fit values: no block needed
            _fail("_reference.keys is not ascending")
        _ids(ids, "_reference.key_ids", 0, n_fit)
    _forest(ref, n_fit)


def _forest(ref: Reference, n_fit: int) -> None:
    """The search forest, where the model holds one (a model saved without it builds it)."""
    if ref.tree_order is None and ref.tree_splits is None and ref.tree_thresholds is None:
        return
    leaf = ref.tree_leaf_size
    if not (isinstance(leaf, numbers.Integral) and 1 <= leaf):
        _fail(f"_reference.tree_leaf_size is {leaf!r}")
    order = _array(vars(ref), "tree_order", np.int32, 2, cols=n_fit,
                   label="_reference.tree_order")
    trees = order.shape[0]
    if trees < 1:
        _fail("_reference.tree_order holds no tree")
    _ids(order, "_reference.tree_order", 0, n_fit)
    slots = _native.knn_forest_nodes(n_fit, int(leaf))
    splits = _array(vars(ref), "tree_splits", np.int32, 3, rows=trees, cols=slots,
                    label="_reference.tree_splits")
    if splits.shape[2] != 2:
        _fail(f"_reference.tree_splits has shape {splits.shape}, not ({trees}, {slots}, 2)")
    pairs = splits.reshape(-1, 2)
    empty = (pairs == -1).all(axis=1)
    if pairs.size and not ((pairs >= 0) & (pairs < n_fit)).all(axis=1)[~empty].all():
        _fail("_reference.tree_splits holds a pair that is neither two ids in range nor (-1, -1)")
    _array(vars(ref), "tree_thresholds", np.float32, 2, rows=trees, cols=slots,
           label="_reference.tree_thresholds")


# ---------------------------------------------------------------------------
# Pieces
# ---------------------------------------------------------------------------


def _fail(what: str):
    raise ValueError(f"the loaded model is invalid: {what}")


def _instance(state, name: str, cls):
    value = state.get(name)
    if not isinstance(value, cls):
        _fail(f"{name} is {type(value).__name__}, not {cls.__name__}")
    return value


def _array(state, name: str, dtype, ndim: int, rows: int | None = None, cols: int | None = None,
           finite: bool = False, label: str | None = None) -> np.ndarray:
    """state[name] as an ndarray of that dtype (a kind, for np.integer), shape and finiteness."""
    label = label or name
    a = state.get(name)
    if not isinstance(a, np.ndarray):
        _fail(f"{label} is {type(a).__name__}, not an array")
    if not np.issubdtype(a.dtype, dtype):
        want = "an integer type" if dtype is np.integer else np.dtype(dtype)
        _fail(f"{label} has dtype {a.dtype}, not {want}")
    if a.ndim != ndim or (rows is not None and a.shape[0] != rows) or (
            cols is not None and a.shape[1] != cols):
        want = ", ".join("?" if s is None else str(s) for s in (rows, cols)[:ndim])
        _fail(f"{label} has shape {a.shape}, not ({want})")
    if finite and not _all_blocks(a, np.isfinite):
        _fail(f"{label} holds NaN or infinite values")
    return a


def _all_blocks(a: np.ndarray, test) -> bool:
    """test(block) holds everywhere in a, checked a block of rows at a time."""
    flat = a.reshape(a.shape[0], -1) if a.ndim > 1 else a.reshape(-1, 1)
    step = max(1, BLOCK_ITEMS // max(1, flat.shape[1]))
    return all(test(flat[lo:lo + step]).all() for lo in range(0, flat.shape[0], step))


def _ids(a: np.ndarray, label: str, lowest: int, end: int) -> None:
    if a.size and (int(a.min()) < lowest or int(a.max()) >= end):
        _fail(f"{label} holds ids outside [{lowest}, {end})")


def _exponent(value, label: str) -> None:
    lo, hi = EXPONENT_RANGE
    if not (isinstance(value, numbers.Integral) and lo <= value <= hi):
        _fail(f"{label} is {value!r}, outside the powers of two a fit chooses")
