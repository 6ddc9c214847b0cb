"""Class labels: coding them by value, and the supervision they give the graph.

Labels are categorical: integers, strings or any hashable values (tuples
too). Equal values are one class: 1 and 1.0 are the same class, the string
"1" and the number 1 are two. Every number equal to -1 (and the string "-1",
its form in text files) and missing values (None, NaN, pandas' NA) mark
unlabelled points. An edge between two labelled points of different classes
keeps the share mismatch_factor(target_weight) of its weight; every other
edge, among them each edge that touches an unlabelled point, keeps its
weight. The graph stays symmetric with weights in [0, 1]; edges weakened to
nothing are dropped.
"""

from __future__ import annotations

import re
from numbers import Number, Real

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


def label_array(y) -> np.ndarray:
    """y as a one-dimensional array that keeps each label's value.

    A list is read item by item when NumPy would turn its values into text
    (1 and "1" would merge) or into a second dimension (tuples).
    """
    if isinstance(y, (list, tuple)) and y:
        try:
            values = np.asarray(y)
        except ValueError:  # items of different lengths
            values = None
        tuples = any(isinstance(v, tuple) for v in y)
        if values is None or tuples or (values.dtype.kind in "US"
                                        and not all(isinstance(v, str) for v in y)):
            values = np.empty(len(y), object)
            for i, v in enumerate(y):
                values[i] = v
            return values
        y = values
    return column_or_1d(y, warn=True)


def _isna(values: np.ndarray) -> np.ndarray:
    try:
        from pandas import isna  # knows pandas.NA and NaT too
    except ImportError:
        return np.array([v is None or (isinstance(v, float) and v != v) for v in values], bool)
    return np.array([v is None or (not isinstance(v, tuple) and bool(isna(v))) for v in values],
                    bool)


def _is_marker(v) -> bool:
    if isinstance(v, str):
        return v == str(UNLABELLED)
    return isinstance(v, Number) and not isinstance(v, (bool, np.bool_)) and v == UNLABELLED


def unlabelled(values: np.ndarray) -> np.ndarray:
    """None, NaN and the marker: any number equal to -1, or the string "-1"."""
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


_DIGITS = re.compile(r"(\d+)")


def natural_key(value):
    """Sort key: numbers by value first, then text with its digit runs as numbers
    ("cluster-2" before "cluster-10", case aside), then anything else by its text."""
    if isinstance(value, Real) and not isinstance(value, (bool, np.bool_)):
        return (0, float(value), "", "")
    if isinstance(value, (str, np.str_)):
        parts = _DIGITS.split(str(value).casefold())  # "B3" between "b2" and "b10"
        return (1, 0.0, tuple((i % 2, int(p) if i % 2 else p) for i, p in enumerate(parts)),
                str(value))
    return (2, 0.0, str(value), "")


def class_codes(values: np.ndarray, missing: np.ndarray | None = None):
    """(classes, codes): the distinct labels in natural order, and each point's class.

    Equal values share a class; unlabelled points get UNLABELLED (-1).
    """
    if missing is None:
        missing = unlabelled(values)
    known = values[~missing]
    codes = np.full(values.shape[0], UNLABELLED, np.int64)
    if known.dtype.kind == "O":
        index: dict = {}
        try:
            seen = [index.setdefault(v, len(index)) for v in known]
        except TypeError:
            bad = next(v for v in known if not _hashable(v))
            raise ValueError(f"labels must be hashable values; {type(bad).__name__} "
                             f"{str(bad)[:40]!r} is not") from None
        classes = np.empty(len(index), object)
        for v, i in index.items():
            classes[i] = v
        first = np.asarray(seen, np.int64)
    else:
        classes, first = np.unique(known, return_inverse=True)
        first = first.ravel()
    order = sorted(range(len(classes)), key=lambda i: natural_key(classes[i]))
    rank = np.empty(len(classes), np.int64)
    rank[order] = np.arange(len(classes))
    codes[~missing] = rank[first] if first.size else first
    return classes[order], codes


def _hashable(v) -> bool:
    try:
        hash(v)
    except TypeError:
        return False
    return True


def label_codes(y, n_samples: int, target_weight: float) -> np.ndarray | None:
    """y as class codes (int64, -1 unlabelled), or None when it cannot act on the graph.

    Raises ValueError for a y of another length or shape, and for a
    continuous (regression) target unless target_weight is 0, which ignores y.
    """
    values = label_array(y)
    if values.shape[0] != n_samples:
        raise ValueError(f"y has {values.shape[0]} entries for {n_samples} samples of X")
    if values.dtype.kind == "c":
        raise ValueError("y must hold class labels; complex values are not labels")
    missing = unlabelled(values)
    known = values[~missing]
    if target_weight == 0 or known.size == 0:
        return None
    if known.dtype.kind == "f" and type_of_target(known) == "continuous":
        raise ValueError(
            "y looks continuous (a regression target): supervision takes class labels; "
            "pass integer or string classes (for instance bins of the target), or "
            "target_weight=0 to ignore y")
    return class_codes(values, missing)[1]


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
