"""Supervision: class labels y weaken the graph's edges between points of different classes.

Labels are categorical: integers, strings or any hashable values. -1 (the
number, or the string "-1") and missing values (None, NaN) mark unlabelled
points. An edge between two labelled points of different classes keeps the
share mismatch_factor(target_weight) of its weight; every other edge, among
them each edge that touches an unlabelled point, keeps its weight. The graph
stays symmetric with weights in [0, 1]; edges weakened to nothing are dropped.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp
from sklearn.utils.multiclass import type_of_target
from sklearn.utils.validation import column_or_1d

UNLABELLED = -1

# The share of weight an edge between different classes keeps is
# MISMATCH_KEPT ** (target_weight / (1 - target_weight)): all of it at 0, this
# much at the default 0.5, none at 1 (bench/pipeline.py measures the effect).
MISMATCH_KEPT = 0.01


def mismatch_factor(target_weight: float) -> float:
    if target_weight >= 1.0:
        return 0.0
    return float(MISMATCH_KEPT ** (target_weight / (1.0 - target_weight)))


def _isna(values: np.ndarray) -> np.ndarray:
    try:
        from pandas import isna  # knows pandas.NA and NaT too
    except ImportError:
        return np.array([v is None or (isinstance(v, float) and v != v) for v in values], bool)
    return np.asarray(isna(values), bool)


def _is_marker(v) -> bool:
    if isinstance(v, str):
        return v == str(UNLABELLED)
    return not isinstance(v, (bool, np.bool_)) and isinstance(v, (int, np.integer)) and v == UNLABELLED


def _is_missing(values: np.ndarray) -> np.ndarray:
    """None, NaN and the marker -1 (as a number or as the string "-1")."""
    kind = values.dtype.kind
    if kind == "b":
        return np.zeros(values.shape, bool)
    if kind in "iu":
        return values == UNLABELLED
    if kind == "f":
        return np.isnan(values) | (values == UNLABELLED)
    if kind in "US":
        return values.astype(str) == str(UNLABELLED)
    missing = _isna(values)
    missing[~missing] = [_is_marker(v) for v in values[~missing]]
    return missing


def label_codes(y, n_samples: int, target_weight: float) -> np.ndarray | None:
    """y as class codes (int64, -1 unlabelled), or None when it cannot act on the graph.

    Raises ValueError for a y of another length or shape, and for a
    continuous (regression) target unless target_weight is 0, which ignores y.
    """
    values = column_or_1d(y, warn=True)
    if values.shape[0] != n_samples:
        raise ValueError(f"y has {values.shape[0]} entries for {n_samples} samples of X")
    if values.dtype.kind == "c":
        raise ValueError("y must hold class labels; complex values are not labels")
    missing = _is_missing(values)
    known = values[~missing]
    if target_weight == 0 or known.size == 0:
        return None
    if known.dtype.kind == "f" and type_of_target(known) == "continuous":
        raise ValueError(
            "y looks continuous (a regression target): supervision takes class labels; "
            "pass integer or string classes (for instance bins of the target), or "
            "target_weight=0 to ignore y")
    codes = np.full(n_samples, UNLABELLED, np.int64)
    codes[~missing] = np.unique(known.astype(str) if known.dtype == object else known,
                                return_inverse=True)[1].ravel()
    return codes


def distinct_codes(codes: np.ndarray, first: np.ndarray, inverse: np.ndarray) -> np.ndarray:
    """The label of each distinct row: its copies' common label, unlabelled when they disagree."""
    out = np.full(first.size, UNLABELLED, np.int64)
    known = codes >= 0
    rows, labels = inverse[known], codes[known]
    low = np.full(first.size, np.iinfo(np.int64).max)
    high = np.full(first.size, -1)
    np.minimum.at(low, rows, labels)
    np.maximum.at(high, rows, labels)
    agree = (high >= 0) & (low == high)
    out[agree] = high[agree]
    return out


def weaken_mismatches(graph: sp.csr_matrix, codes: np.ndarray, target_weight: float) -> sp.csr_matrix:
    """graph with every edge between two different known classes weakened (see the module)."""
    coo = graph.tocoo()
    head, tail = codes[coo.row], codes[coo.col]
    mismatch = (head >= 0) & (tail >= 0) & (head != tail)
    weights = coo.data.copy()
    weights[mismatch] *= weights.dtype.type(mismatch_factor(target_weight))
    keep = weights > 0
    out = sp.coo_matrix((weights[keep], (coo.row[keep], coo.col[keep])), shape=graph.shape)
    return out.tocsr()
