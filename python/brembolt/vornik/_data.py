"""Rows as the kernels see them: the metric's normalisation, a power-of-two scale, duplicates.

The kernels compare rows by Euclidean distance in float32. prepare() turns a
validated X into that form, for the rows of a fit and for new rows alike:

- cosine and correlation become Euclidean on unit rows (correlation centres
  each row first): for unit vectors |u - v|^2 = 2 (1 - cos(u, v)), so the
  Euclidean kernels find exactly the cosine neighbours, and
  KernelSpace.to_metric turns their distances into cosine distances; each
  row is first brought to a largest magnitude in [1/2, 1) by a power of two
  (exact, no direction changes), so that its squares neither underflow nor
  overflow in float64, and any finite float64 row has a direction;
- the rows are multiplied by a power of two (exact in float32, so the
  neighbours and their order do not change) that keeps squared distances
  clear of overflow (the kNN kernel admits nothing at 1e30 or beyond) and of
  underflow (tiny data loses its order, down to ties at zero); float64 input
  is scaled before it is rounded to float32, so 1e-40 data keeps its digits;
- exact duplicate rows are found, so that fit can warn about them or embed
  each distinct row once.

The other metrics' rows come from _metrics.py: mapped for the Euclidean
kernels (hellinger, haversine, seuclidean, mahalanobis) and scaled as cosine
rows are, scaled as Euclidean rows are for the dense metric kernels, packed
into 64-bit words for the binary ones.

With metric="precomputed" X is the square matrix of distances: its duplicate
rows are looked for, and every row is keyed by its values, so that transform
can tell a training row among new rows of distances.

The checks read float64 input where it lies: reductions and blocks of rows,
never a temporary the size of X.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from . import _metrics
from ._metrics import METRICS
from ._rows import value_keys

# Metrics whose rows have no mean in their own space: distances alone, and
# rows of bits (the mean of bit strings is no bit string).
NO_MEAN_METRICS = frozenset({"precomputed", *_metrics.BINARY})
FLOAT32_MAX = float(np.finfo(np.float32).max)

# Rows whose bounding box has a diagonal in [2^-10, 2^40] go to the kernels as
# they are; others are scaled so that the diagonal lies in [1/2, 1). Squared
# distances then stay below 2^80 (the kNN kernel refuses 1e30, about 2^99.7),
# which leaves new points room to lie farther out, and neighbours down to
# 2^-50 of the diagonal keep squared distances above float32's smallest normal
# number 2^-126.
COMFORT_LOG2 = (-10, 40)
# New points may lie this far out in the kernels' space (squared: 2^96 < 1e30).
REACH_LOG2 = 48
# Scaled values beyond 2^126 would come close to float32's overflow; a scale
# that leaves the rows' diagonal below 2^-30 would lose their order.
VALUE_LOG2 = 126
SMALLEST_EXTENT_LOG2 = -30
BLOCK_BYTES = 16 << 20
# Duplicates are worth a warning from this many rows, or this share of them, on.
DUPLICATE_ROWS = 100
DUPLICATE_SHARE = 0.01


def rows_have_a_mean(metric: str) -> bool:
    """Whether a weighted mean of the metric's rows is a row of its data (inverse_transform)."""
    return metric not in NO_MEAN_METRICS


@dataclass(frozen=True)
class KernelSpace:
    """How rows of X map into the kernels' float32 space, and distances back.

    Kernel rows are the metric's rows (unit rows for cosine and correlation,
    the rows _metrics maps or packs for others) times 2**exponent; lower and
    upper bound the fitted kernel rows per column (float64), so that new
    points can be checked against them (not for packed rows). p is
    Minkowski's, columns the column map of seuclidean or mahalanobis, n_bits
    the features of binary rows.
    """

    metric: str
    exponent: int = 0
    lower: np.ndarray | None = None
    upper: np.ndarray | None = None
    p: float = 2.0
    columns: np.ndarray | None = None
    n_bits: int = 0

    @property
    def measure(self) -> _metrics.Measure:
        """The native search of these rows."""
        return _metrics.measure(self.metric, self.p)

    def to_metric(self, kernel_dist) -> np.ndarray:
        """The kernels' distances (not squared) as the metric's distances (float64)."""
        d = np.ldexp(np.asarray(kernel_dist, dtype=np.float64), -self.exponent)
        return _metrics.to_metric(self.metric, d, self.n_bits)

    def to_kernel(self, metric_dist) -> np.ndarray:
        """The metric's distances as the kernels' distances (float64)."""
        d = _metrics.to_kernel(self.metric, np.asarray(metric_dist, dtype=np.float64), self.n_bits)
        return np.ldexp(d, self.exponent)


@dataclass(frozen=True)
class Duplicates:
    """Exact duplicate rows: first[i] is the first row of distinct row i, inverse maps back."""

    first: np.ndarray  # int64, ascending
    inverse: np.ndarray  # int64, one entry per row

    @property
    def count(self) -> int:
        return int(self.inverse.size - self.first.size)


@dataclass(frozen=True)
class Prepared:
    """The rows in the kernels' space (for "precomputed": the distance matrix).

    For a fit on a distance matrix, keys holds the value_keys (as float64) of
    its whole rows, as transform keys new rows of distances.
    """

    points: np.ndarray
    space: KernelSpace
    duplicates: Duplicates | None = None
    keys: np.ndarray | None = None

    def select(self, rows: np.ndarray) -> "Prepared":
        """The prepared rows `rows` alone (for a distance matrix, its rows and columns)."""
        points = self.points[rows]
        if self.space.metric == "precomputed":
            points = points[:, rows]
        keys = None if self.keys is None else self.keys[rows]
        return Prepared(np.ascontiguousarray(points), self.space, None, keys)


def prepare(x: np.ndarray, metric: str, space: KernelSpace | None = None,
            params: dict | None = None) -> Prepared:
    """x (validated, C order: float32 or float64, or for binary metrics any numbers or
    booleans) in the kernels' space.

    Without `space` (a fit) the scale is chosen from x and duplicate rows are
    found, with params (checked metric_params); with the KernelSpace of a fit,
    new rows are mapped exactly as the fitted ones were. Raises ValueError for
    values beyond float32 (but for cosine and correlation, which need
    directions alone), zero rows under cosine (constant rows under
    correlation), rows a metric does not take, and data no power of two can
    bring into range.
    """
    fitting = space is None
    params = params or {}
    if metric == "precomputed":
        _check_distance_matrix(x, fitting)
        if fitting:
            keys = value_keys(x, np.float64)
            return Prepared(x, KernelSpace(metric), find_duplicates(x, keys), keys)
        return Prepared(x, space)
    if metric in _metrics.BINARY:
        points = _metrics.packed_rows(metric, x)
        if fitting:
            space = KernelSpace(metric, n_bits=x.shape[1])
            return Prepared(points, space, find_duplicates(points))
        return Prepared(points, space)
    if metric == "euclidean" or metric in _metrics.DENSE:
        lower, upper = x.min(axis=0), x.max(axis=0)
        _check_float32_range(float(lower.min()), float(upper.max()))
        if fitting:
            space = _choose_space(metric, lower, upper, params.get("p", 2.0))
        points = _scaled_float32(x, space.exponent)
    else:
        columns = _metrics.linear_map(metric, x, params) if fitting else space.columns
        points = (_unit_rows(x, metric) if metric in ("cosine", "correlation")
                  else _metrics.mapped_rows(metric, x, columns))
        if fitting:
            space = _choose_space(metric, points.min(axis=0), points.max(axis=0),
                                  columns=columns)
        if space.exponent:
            np.ldexp(points, space.exponent, out=points)
    if fitting:
        return Prepared(points, space, find_duplicates(points))
    _check_reach(points, space)
    return Prepared(points, space)


# ---------------------------------------------------------------------------
# Checks
# ---------------------------------------------------------------------------


def _value_range(x: np.ndarray) -> tuple[float, float]:
    """The smallest and largest value of x (two reductions: no temporary of x's size)."""
    if x.size == 0:
        return 0.0, 0.0
    return float(x.min()), float(x.max())


def _check_float32_range(lowest: float, highest: float) -> None:
    if max(highest, -lowest) > FLOAT32_MAX:
        raise ValueError("Input X contains infinity or a value too large for dtype('float32').")


def _check_distance_matrix(d: np.ndarray, fitting: bool) -> None:
    if fitting and d.shape[0] != d.shape[1]:
        raise ValueError(f"metric='precomputed' needs a square matrix of distances, got shape "
                         f"{d.shape}")
    lowest, highest = _value_range(d)
    _check_float32_range(lowest, highest)
    if lowest < 0:
        raise ValueError("a precomputed distance matrix must not hold negative values")
    if fitting and np.diagonal(d).any():
        raise ValueError("a precomputed distance matrix must have zeros on its diagonal "
                         "(a similarity matrix is not a distance matrix)")


def _rows_named(rows: np.ndarray) -> str:
    shown = ", ".join(str(int(r)) for r in rows[:10])
    more = f", ... ({rows.size} rows)" if rows.size > 10 else ""
    return shown + more


def _check_reach(points: np.ndarray, space: KernelSpace) -> None:
    """New rows must keep squared distances to the fitted rows within the kNN range."""
    if space.lower is None or points.size == 0:
        return
    lower = np.minimum(space.lower, points.min(axis=0))
    upper = np.maximum(space.upper, points.max(axis=0))
    if _reach(lower, upper, space.measure) > 2.0**REACH_LOG2:
        raise ValueError("the new rows lie too far from the fitted ones: their squared "
                         "distances would leave float32's range")


# ---------------------------------------------------------------------------
# Normalisation and scale
# ---------------------------------------------------------------------------


def _row_blocks(n: int, d: int):
    step = max(1, BLOCK_BYTES // (8 * max(d, 1)))
    for start in range(0, n, step):
        yield slice(start, min(n, start + step))


def _unit_rows(x: np.ndarray, metric: str) -> np.ndarray:
    """Rows scaled to unit length in float64 (correlation: centred first), as float32.

    Each row is first multiplied by the power of two that brings its largest
    magnitude into [1/2, 1): exact (in float64 its direction does not change),
    and its squares then neither underflow (rows of 1e-160) nor overflow
    (rows of 1e300). Rows in the usual range get the same bits either way.
    """
    n, d = x.shape
    out = np.empty((n, d), np.float32)
    bad = []
    for rows in _row_blocks(n, d):
        block = x[rows].astype(np.float64)
        np.ldexp(block, -np.frexp(np.abs(block).max(axis=1))[1][:, None], out=block)
        if metric == "correlation":
            scale = np.abs(block).max(axis=1)  # in [1/2, 1), or 0 for a zero row
            block -= block.mean(axis=1, keepdims=True)
            # A constant row leaves only rounding noise once centred.
            flat = np.abs(block).max(axis=1) <= 1e-12 * scale
            block[flat] = 0.0
        norms = np.sqrt(np.einsum("ij,ij->i", block, block))
        zero = norms == 0
        bad.append(np.flatnonzero(zero) + rows.start)
        norms[zero] = 1.0
        out[rows] = block / norms[:, None]
    bad = np.concatenate(bad)
    if bad.size:
        what = "zero" if metric == "cosine" else "constant"
        raise ValueError(f"metric={metric!r} is undefined for {what} rows; rows "
                         f"{_rows_named(bad)} of X are {what}: drop them or use another metric")
    return out


def _diagonal(lower: np.ndarray, upper: np.ndarray) -> float:
    span = upper.astype(np.float64) - lower.astype(np.float64)
    return float(np.sqrt(np.dot(span, span)))


def _reach(lower: np.ndarray, upper: np.ndarray, measure: _metrics.Measure) -> float:
    """The square root of the largest value the kernels' measure takes in the box: its
    diagonal, or for Minkowski distances above p = 2, searched as their p-th powers, the
    square root of the sum of the spans' p-th powers (the same bound 2^REACH_LOG2 then keeps
    the powers below 2^96 < 1e30). Manhattan and Chebyshev distances stay within sqrt(d)
    times the diagonal."""
    if measure.root <= 2.0:
        return _diagonal(lower, upper)
    span = upper.astype(np.float64) - lower.astype(np.float64)
    return float(np.sqrt(np.sum(span ** measure.root)))


def _choose_space(metric: str, lower, upper, p: float = 2.0,
                  columns: np.ndarray | None = None) -> KernelSpace:
    """The power of two that brings the rows' bounding box into the kernels' range.

    Minkowski distances above p = 2 are searched as their p-th powers, so their
    rows are always brought to a diagonal in [1/2, 1).
    """
    lower = np.asarray(lower, np.float64)
    upper = np.asarray(upper, np.float64)
    extent = _diagonal(lower, upper)
    top = float(max(np.abs(lower).max(initial=0.0), np.abs(upper).max(initial=0.0)))
    if extent > FLOAT32_MAX:
        raise ValueError(f"the rows of X lie up to {extent:.3g} apart, beyond float32's range "
                         "for the distances this estimator reports")
    exponent = 0
    comfort = COMFORT_LOG2 if _metrics.measure(metric, p).root <= 2.0 else (0, -1)
    if extent > 0 and not 2.0**comfort[0] <= extent <= 2.0**comfort[1]:
        exponent = -math.frexp(extent)[1]  # extent * 2**exponent in [1/2, 1)
    if top > 0:
        exponent = min(exponent, VALUE_LOG2 - math.frexp(top)[1])
    if extent > 0 and math.ldexp(extent, exponent) < 2.0**SMALLEST_EXTENT_LOG2:
        raise ValueError(
            f"X's values reach {top:.3g} while its rows lie within {extent:.3g} of each other: "
            "no power-of-two scale keeps float32 squared distances both finite and above "
            "underflow; subtract each column's mean first")
    return KernelSpace(metric, exponent, np.ldexp(lower, exponent), np.ldexp(upper, exponent), p,
                       columns)


def _scaled_float32(x: np.ndarray, exponent: int) -> np.ndarray:
    """x * 2**exponent as C-contiguous float32, scaled before float64 input is rounded."""
    if exponent == 0:
        return np.ascontiguousarray(x, dtype=np.float32)
    if x.dtype == np.float32:
        return np.ldexp(x, exponent)  # exact, and correctly rounded where it is not
    out = np.empty(x.shape, np.float32)
    for rows in _row_blocks(*x.shape):
        out[rows] = np.ldexp(x[rows], exponent)
    return out


# ---------------------------------------------------------------------------
# Duplicate rows
# ---------------------------------------------------------------------------


def find_duplicates(points: np.ndarray, keys: np.ndarray | None = None) -> Duplicates | None:
    """The exact duplicate rows of points, or None when every row is distinct.

    Rows are grouped by a key of their values (keys, when the caller has
    them: value_keys of points, as any type), and every row is compared with
    the first of its group; should two distinct rows ever share a key, the
    rows are grouped by their values instead. Distinct rows are numbered in
    the order of their first occurrence.
    """
    n = points.shape[0]
    keys = value_keys(points) if keys is None else keys
    order = np.argsort(keys)
    sorted_keys = keys[order]
    starts = np.ones(n, bool)
    starts[1:] = sorted_keys[1:] != sorted_keys[:-1]
    if starts.all():
        return None
    first = np.minimum.reduceat(order, np.flatnonzero(starts))
    inverse = np.empty(n, np.int64)
    inverse[order] = np.cumsum(starts) - 1
    copies = np.flatnonzero(first[inverse] != np.arange(n))
    if not (points[copies] == points[first[inverse[copies]]]).all():
        _, first, inverse = np.unique(points, axis=0, return_index=True, return_inverse=True)
        inverse = inverse.ravel()
        if first.size == n:
            return None
    by_position = np.argsort(first)
    rank = np.empty_like(by_position)
    rank[by_position] = np.arange(by_position.size)
    return Duplicates(first[by_position].astype(np.int64), rank[inverse].astype(np.int64))


def duplicate_warning(duplicates: Duplicates | None, n: int) -> str | None:
    """The warning for a sizable share of duplicate rows, if there is one."""
    if duplicates is None:
        return None
    count = duplicates.count
    if count < DUPLICATE_ROWS and count < DUPLICATE_SHARE * n:
        return None
    return (f"X has {count} duplicate rows ({100.0 * count / n:.1f} % of {n}; "
            f"{duplicates.first.size} distinct): copies of a row form clumps of their own in "
            "the embedding; pass unique=True to embed each distinct row once")
