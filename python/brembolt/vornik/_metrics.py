"""The metrics: the kernels each one takes, its parameters, the rows it hands them.

Three roads lead to the native search (docs/guide/metrics.rst tells users):

- the squared Euclidean kernels, on rows the host maps so that Euclidean
  distance orders pairs exactly as the metric does: euclidean; cosine and
  correlation (unit rows, _data.py); hellinger (square roots of the rows
  normalised to sum 1); haversine (latitude and longitude in radians as
  points of the unit sphere, whose chord c orders pairs as the great-circle
  distance 2 arcsin(c / 2) does); seuclidean (each column divided by the
  square root of its variance V); mahalanobis (rows times L, where L L^T = VI,
  the inverse covariance);
- the dense metric kernels: manhattan, chebyshev, minkowski (with p);
- the binary kernels on bit-packed rows: hamming, jaccard, dice.

The distances that reach the fuzzy graph are in the metric's own units
(KernelSpace.to_metric): the great-circle distance in radians, the Hamming
distance as the share of differing features, and so on.
"""

from __future__ import annotations

from dataclasses import dataclass
from numbers import Real

import numpy as np



@dataclass(frozen=True)
class Metric:
    """A row of the metric table: the road its rows take to the native search ("euclidean":
    rows mapped for the squared Euclidean kernels; "dense": the dense metric kernels; "bits":
    the kernels of packed bit rows; "matrix": X holds the distances), the metric_params it
    takes, and whether it takes scipy.sparse input."""

    road: str
    params: tuple = ()
    sparse: bool = False


# Every metric the estimator accepts, in the order the docs list them; sparse=True
# marks those the sparse search (_sparse.py) serves.
TABLE = {
    "euclidean": Metric("euclidean", sparse=True),
    "cosine": Metric("euclidean", sparse=True),
    "correlation": Metric("euclidean"),
    "hellinger": Metric("euclidean", sparse=True),
    "haversine": Metric("euclidean"),
    "seuclidean": Metric("euclidean", ("V",)),
    "mahalanobis": Metric("euclidean", ("V", "VI")),
    "manhattan": Metric("dense", sparse=True),
    "chebyshev": Metric("dense"),
    "minkowski": Metric("dense", ("p",)),
    "hamming": Metric("bits"),
    "jaccard": Metric("bits", sparse=True),
    "dice": Metric("bits"),
    "precomputed": Metric("matrix"),
}
METRICS = tuple(TABLE)
EUCLIDEAN_ROAD = tuple(m for m, row in TABLE.items() if row.road == "euclidean")
DENSE = tuple(m for m, row in TABLE.items() if row.road == "dense")
BINARY = tuple(m for m, row in TABLE.items() if row.road == "bits")
SPARSE = tuple(m for m, row in TABLE.items() if row.sparse)
BLOCK_BYTES = 16 << 20
# Input kept as it comes for the binary metrics (anything else becomes float64
# first, and a non-number fails there).
BINARY_DTYPES = [np.float64, np.float32, np.bool_, np.uint8, np.int8, np.uint16, np.int16,
                 np.uint32, np.int32, np.uint64, np.int64]


@dataclass(frozen=True)
class Measure:
    """What the native search takes: its kernels ("euclidean", "dense" or "bits"), the
    metric's name there and Minkowski's p. The kernels' distances come back as
    distances (square roots and p-th roots taken)."""

    kernels: str
    name: str = "euclidean"
    p: float = 2.0

    @property
    def root(self) -> float:
        """The power of the kernels' distances: squared Euclidean 2, Minkowski p, else 1."""
        if self.kernels == "euclidean":
            return 2.0
        return self.p if self.name == "minkowski" else 1.0


def measure(metric: str, p: float = 2.0) -> Measure:
    """The kernels of a metric (Minkowski with p = 1, 2 or infinity takes its namesake's)."""
    if metric == "minkowski":
        if p == 2.0:
            return Measure("euclidean")
        if p == 1.0:
            return Measure("dense", "manhattan")
        if np.isinf(p):
            return Measure("dense", "chebyshev")
        return Measure("dense", "minkowski", float(p))
    if metric in DENSE:
        return Measure("dense", metric)
    if metric in BINARY:
        return Measure("bits", metric)
    return Measure("euclidean")


def input_dtypes(metric: str):
    """validate_data's dtype for X under metric."""
    return BINARY_DTYPES if metric in BINARY else [np.float32, np.float64]


# ---------------------------------------------------------------------------
# metric_params
# ---------------------------------------------------------------------------


def check_params(metric: str, params, n_features: int) -> dict:
    """metric_params checked for metric and n_features columns: a dict of floats and arrays.

    Minkowski's p (a real number, at least 1, or infinity; default 2); seuclidean's V (one
    positive variance per column); mahalanobis' VI (the inverse covariance) or V (the
    covariance, inverted here), symmetric positive definite matrices of n_features rows.
    """
    params = {} if params is None else dict(params)
    allowed = TABLE[metric].params
    extra = sorted(set(params) - set(allowed))
    if extra:
        takes = f"takes only {', '.join(map(repr, allowed))}" if allowed else "takes none"
        raise ValueError(f"metric_params {extra} do not apply to metric={metric!r}, which {takes}")
    out = {}
    if "p" in params:
        p = params["p"]
        if isinstance(p, bool) or not isinstance(p, Real) or np.isnan(p) or p < 1:
            raise ValueError(f"metric_params['p'] must be a real number >= 1 (or inf), got {p!r}")
        out["p"] = float(p)
    if metric == "mahalanobis" and "V" in params and "VI" in params:
        raise ValueError("metric_params for 'mahalanobis' take VI or V, not both")
    if "V" in params and metric == "seuclidean":
        out["V"] = _vector(params["V"], n_features)
    elif "V" in params:
        out["VI"] = _inverse(_matrix(params["V"], n_features, "V"))
    if "VI" in params:
        out["VI"] = _matrix(params["VI"], n_features, "VI")
    return out


def _vector(v, n: int) -> np.ndarray:
    v = np.asarray(v, dtype=np.float64)
    if v.shape != (n,):
        raise ValueError(f"metric_params['V'] must hold one variance per column of X, shape "
                         f"({n},), got shape {v.shape}")
    if not (np.isfinite(v).all() and (v > 0).all()):
        raise ValueError("metric_params['V'] must hold positive finite variances")
    return v


def _matrix(m, n: int, name: str) -> np.ndarray:
    m = np.asarray(m, dtype=np.float64)
    if m.shape != (n, n):
        raise ValueError(f"metric_params[{name!r}] must be a square matrix of shape ({n}, {n}) "
                         f"for X's {n} columns, got shape {m.shape}")
    if not np.isfinite(m).all():
        raise ValueError(f"metric_params[{name!r}] holds NaN or infinite values")
    if not np.allclose(m, m.T, rtol=1e-10, atol=1e-12 * np.abs(m).max(initial=0.0)):
        raise ValueError(f"metric_params[{name!r}] must be symmetric")
    return m


def _inverse(v: np.ndarray) -> np.ndarray:
    try:
        np.linalg.cholesky(v)
        vi = np.linalg.inv(v)
    except np.linalg.LinAlgError:
        raise ValueError("metric_params['V'] must be positive definite, a covariance with no "
                         "zero variance in any direction") from None
    return 0.5 * (vi + vi.T)


# ---------------------------------------------------------------------------
# Rows for the kernels
# ---------------------------------------------------------------------------


def _blocks(n: int, d: int):
    step = max(1, BLOCK_BYTES // (8 * max(d, 1)))
    for start in range(0, n, step):
        yield slice(start, min(n, start + step))


def _rows_named(rows: np.ndarray) -> str:
    shown = ", ".join(str(int(r)) for r in rows[:10])
    return shown + (f", ... ({rows.size} rows)" if rows.size > 10 else "")


def linear_map(metric: str, x: np.ndarray, params: dict) -> np.ndarray | None:
    """The columns map a fit chooses: seuclidean's 1 / sqrt(V) (V: the columns' variances
    unless given), mahalanobis' L with L L^T = VI (VI: the inverse covariance unless given)."""
    if metric == "seuclidean":
        v = params.get("V")
        if v is None:
            v = np.var(x, axis=0, ddof=1, dtype=np.float64)
            flat = np.flatnonzero(~(v > 0))
            if flat.size:
                raise ValueError(f"metric='seuclidean' divides each column by its standard "
                                 f"deviation: columns {_rows_named(flat)} of X are constant; "
                                 "drop them or pass metric_params={'V': ...}")
        return 1.0 / np.sqrt(v)
    if metric == "mahalanobis":
        vi = params.get("VI")
        if vi is None:
            cov = np.atleast_2d(np.cov(x, rowvar=False))
            try:
                np.linalg.cholesky(cov)
            except np.linalg.LinAlgError:
                raise ValueError("metric='mahalanobis': the covariance of X's columns is "
                                 "singular (fewer rows than columns, or columns that depend "
                                 "on each other); pass metric_params={'VI': ...}") from None
            vi = np.linalg.inv(cov)
            vi = 0.5 * (vi + vi.T)
        try:
            return np.linalg.cholesky(vi)
        except np.linalg.LinAlgError:
            raise ValueError("metric_params['VI'] must be positive definite") from None
    return None


def mapped_rows(metric: str, x: np.ndarray, columns: np.ndarray | None) -> np.ndarray:
    """x as float32 rows the Euclidean kernels order as the metric does (hellinger,
    haversine, seuclidean, mahalanobis), computed in float64 a block at a time."""
    n, d = x.shape
    width = 3 if metric == "haversine" else d
    out = np.empty((n, width), np.float32)
    for rows in _blocks(n, d):
        block = x[rows].astype(np.float64)
        if metric == "hellinger":
            out[rows] = _hellinger_rows(block, rows.start)
        elif metric == "haversine":
            out[rows] = _sphere_points(block, rows.start)
        else:
            out[rows] = block * columns if metric == "seuclidean" else block @ columns
            if not np.isfinite(out[rows]).all():
                raise ValueError(f"metric={metric!r} maps rows of X beyond float32's range; "
                                 "scale X down")
    return out


def _hellinger_rows(block: np.ndarray, first: int) -> np.ndarray:
    negative = np.flatnonzero((block < 0).any(axis=1))
    if negative.size:
        raise ValueError(f"metric='hellinger' compares distributions of non-negative values; rows "
                         f"{_rows_named(negative + first)} of X hold negative values")
    total = block.sum(axis=1)
    empty = np.flatnonzero(total == 0)
    if empty.size:
        raise ValueError(f"metric='hellinger' is undefined for zero rows; rows "
                         f"{_rows_named(empty + first)} of X are zero: drop them")
    return np.sqrt(block / total[:, None])


def _sphere_points(block: np.ndarray, first: int) -> np.ndarray:
    if block.shape[1] != 2:
        raise ValueError(f"metric='haversine' takes two columns, latitude and longitude in "
                         f"radians; X has {block.shape[1]}")
    lat, lon = block[:, 0], block[:, 1]
    outside = np.flatnonzero(np.abs(lat) > np.pi / 2)
    if outside.size:
        raise ValueError(f"metric='haversine' takes latitudes in radians, within [-pi/2, pi/2]; "
                         f"rows {_rows_named(outside + first)} of X lie outside (degrees? "
                         "multiply by pi / 180)")
    return np.column_stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)])


def packed_rows(metric: str, x: np.ndarray) -> np.ndarray:
    """Binary rows (booleans, or numbers that are all 0 or 1) packed into uint64 words, bit j
    of a row in bit j % 64 of word j / 64; the padding bits are 0."""
    n, d = x.shape
    words = max(1, -(-d // 64))
    packed = np.zeros((n, words), np.uint64)
    out = packed.view(np.uint8)
    for rows in _blocks(n, d):
        block = x[rows]
        if block.dtype != np.bool_:
            other = np.flatnonzero(((block != 0) & (block != 1)).any(axis=1))
            if other.size:
                raise ValueError(
                    f"metric={metric!r} compares binary rows (booleans, or only 0 and 1); rows "
                    f"{_rows_named(other + rows.start)} of X hold other values (rows packed "
                    "with np.packbits? pass the booleans, which are packed here)")
        bits = np.packbits(block != 0, axis=1, bitorder="little")
        out[rows, :bits.shape[1]] = bits
    return packed


# ---------------------------------------------------------------------------
# Distances
# ---------------------------------------------------------------------------


def to_metric(metric: str, d: np.ndarray, n_bits: int) -> np.ndarray:
    """The kernels' distances (float64, power of two undone) in the metric's units."""
    if metric in ("cosine", "correlation"):
        return 0.5 * d * d  # |u - v|^2 / 2 = 1 - cos(u, v) for unit rows
    if metric == "hellinger":
        return d / np.sqrt(2.0)
    if metric == "haversine":
        return 2.0 * np.arcsin(np.minimum(1.0, 0.5 * d))
    if metric == "hamming":
        return d / n_bits
    return d


def to_kernel(metric: str, d: np.ndarray, n_bits: int) -> np.ndarray:
    """The inverse of to_metric."""
    if metric in ("cosine", "correlation"):
        return np.sqrt(2.0 * d)
    if metric == "hellinger":
        return d * np.sqrt(2.0)
    if metric == "haversine":
        return 2.0 * np.sin(0.5 * d)
    if metric == "hamming":
        return d * n_bits
    return d
