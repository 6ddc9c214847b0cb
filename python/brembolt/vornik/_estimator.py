"""The UMAP estimator and the one-call embed()."""

from __future__ import annotations

import numbers
import sys
import time
import warnings
from contextlib import contextmanager

import numpy as np
import scipy.sparse as sp
from sklearn.base import (BaseEstimator, ClassNamePrefixFeaturesOutMixin, TransformerMixin,
                          _fit_context)
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_array, check_is_fitted, validate_data

from . import _density
from . import _initial_layout as initial
from . import _inverse
from . import _metrics
from . import _machine as machine
from . import _params
from . import _pipeline as pl
from . import _saved
from . import _sparse
from . import _transform
from ._data import Duplicates, _check_float32_range, duplicate_warning, prepare
from ._labels import distinct_codes, label_codes, weaken_mismatches
from ._rows import precomputed_rows

UINT64 = 2**64


def _generator(random_state) -> np.random.Generator:
    """random_state as a Generator; an int seeds numpy's default generator directly.

    None and RandomState instances follow scikit-learn (None: numpy's global
    RandomState); they are drawn from once to seed a Generator.
    """
    if isinstance(random_state, np.random.Generator):
        return random_state
    if isinstance(random_state, numbers.Integral):
        return np.random.default_rng(int(random_state) % UINT64)
    state = check_random_state(random_state)
    return np.random.default_rng(state.randint(0, 2**32, size=4, dtype=np.uint64))


def _seeds(random_state):
    """Two 64-bit seeds (kNN, layout) and the generator the initial layout draws from."""
    rng = _generator(random_state)
    knn_seed, layout_seed = (int(s) for s in rng.integers(0, UINT64, size=2, dtype=np.uint64))
    return knn_seed, layout_seed, rng


class UMAP(ClassNamePrefixFeaturesOutMixin, TransformerMixin, BaseEstimator):
    __doc__ = f"""Uniform manifold approximation and projection on the native kernels.

    A scikit-learn transformer: fit(X) embeds the rows of X, fit_transform(X)
    returns the embedding. The same random_state (an int, or a generator in the
    same state) and the same effective n_jobs give bit-identical embeddings.

    {_params.docstring_section().replace(chr(10), chr(10) + '    ')}

    Attributes
    ----------
    embedding_ : ndarray (n_samples, n_components), float32
    graph_ : scipy.sparse.csr_matrix (n_samples, n_samples), the symmetric fuzzy graph
    knn_indices_, knn_dists_ : ndarray (n_samples, n_neighbors used)
        Each row: the point itself at distance 0, then its nearest neighbours,
        at distances in the metric's units (float32).
    unique_rows_, unique_inverse_ : ndarray or None
        With unique=True: the first row of each distinct row of X, and the
        distinct row of each row of X; `graph_` and the knn arrays then describe
        the distinct rows. None otherwise.
    a_, b_ : float, the fitted curve 1 / (1 + a d^(2b))
    data_radius_, embedding_radius_ : ndarray (n_samples,), float32, or None
        With densmap=True, each point's local radius in the data (in the
        metric's units) and in the embedding: the root of the mean squared
        distance to its neighbours in `graph_`, weighted by membership. None
        otherwise.
    n_epochs_ : int, the epochs run
    timings_ : dict, seconds per stage
    n_features_in_, feature_names_in_ : as in scikit-learn
    """

    _parameter_constraints = _params.constraints()

    def __init__(self, n_neighbors=15, n_components=2, metric="euclidean", metric_params=None,
                 min_dist=0.1,
                 spread=1.0, n_epochs=None, learning_rate=1.0, repulsion_strength=1.0,
                 negative_sample_rate=5, init="spectral", target_weight=0.5, unique=False,
                 random_state=None, n_jobs=-1, densmap=False, density_strength=0.5,
                 density_share=0.3, density_variance_shift=0.1, transform_epochs=30,
                 verbose=False):
        """Stores the parameters unchecked; fit validates them (the table: _params.PARAMS)."""
        self.n_neighbors = n_neighbors
        self.n_components = n_components
        self.metric = metric
        self.metric_params = metric_params
        self.min_dist = min_dist
        self.spread = spread
        self.n_epochs = n_epochs
        self.learning_rate = learning_rate
        self.repulsion_strength = repulsion_strength
        self.negative_sample_rate = negative_sample_rate
        self.init = init
        self.target_weight = target_weight
        self.unique = unique
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.densmap = densmap
        self.density_strength = density_strength
        self.density_share = density_share
        self.density_variance_shift = density_variance_shift
        self.transform_epochs = transform_epochs
        self.verbose = verbose

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.transformer_tags.preserves_dtype = ["float32"]  # the embedding is float32
        tags.input_tags.pairwise = self.metric == "precomputed"
        tags.input_tags.sparse = self.metric in _sparse.SPARSE_METRICS
        tags.target_tags.required = False  # y (class labels) is optional
        tags.target_tags.one_d_labels = True
        return tags

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y=None, *, knn=None):
        """Embeds X; the result is in `embedding_`, the fuzzy graph in `graph_`.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            The rows to embed (with metric="precomputed": the square matrix of
            their distances). A scipy.sparse matrix or array (CSR, or any
            format that converts to CSR, with sorted, unrepeated column
            indices in each row) takes metric "euclidean", "cosine",
            "manhattan", "jaccard" or "hellinger" and is never made dense.
        y : array-like of shape (n_samples,), optional
            Class labels, coded by value (1 and 1.0 one class, "1" another);
            -1, "-1", None or NaN mark unlabelled points. Edges between points
            of different classes are weakened as target_weight says.
        knn : tuple (indices, distances), optional
            Neighbours computed elsewhere, each of shape (n_samples,
            n_neighbors): each row starts with the point itself at distance 0,
            followed by distinct nearest neighbours by ascending distance in
            the metric's units (-1 for none). The kNN search is skipped.

        Returns
        -------
        self : UMAP
            The fitted estimator.
        """
        with self._all_or_nothing(), machine.blas_threads_for(X):
            return self._fit(X, y, knn)

    def _fit(self, X, y, knn):
        timings = {}
        with self._stage("checking input", timings):
            with np.errstate(over="ignore"):  # values beyond float32 are reported as infinite
                x = validate_data(self, X, accept_sparse="csr", dtype=self._input_dtypes(X),
                                  order="C", ensure_min_samples=2)
            n = x.shape[0]
            if n > _params.INT_MAX:
                raise ValueError(f"X has {n} samples; at most {_params.INT_MAX} are supported")
            if self.min_dist > self.spread:
                raise ValueError(f"min_dist ({self.min_dist}) must not exceed spread ({self.spread})")
            if self.unique and knn is not None:
                raise ValueError("unique=True finds its own neighbours; it cannot take knn=")
            codes = None if y is None else label_codes(y, n, float(self.target_weight))
            n_threads = machine.threads(self.n_jobs, n)
            knn_seed, layout_seed, rng = _seeds(self.random_state)
            init = (None if isinstance(self.init, str)
                    else initial.check_init(self.init, n, self.n_components))
            verbose = bool(self.verbose)
            params = _metrics.check_params(self.metric, self.metric_params, x.shape[1])

        with self._stage("preparing data", timings):
            sparse_input = sp.issparse(x)
            prepared = (_sparse.prepare(x, self.metric) if sparse_input
                        else prepare(x, self.metric, params=params))
            rows = self._distinct_rows(prepared.duplicates, n)
            folded = rows is not None and rows.count > 0
            if folded:
                prepared = prepared.select(rows.first)
                codes = None if codes is None else distinct_codes(codes, rows.first, rows.inverse)
                init = None if init is None else init[rows.first]
            n_fit = prepared.points.shape[0]
            n_neighbors = self._neighbours_for(n_fit)
            n_epochs = self.n_epochs if self.n_epochs is not None else (500 if n_fit <= 10_000 else 200)

        with self._stage("nearest neighbours", timings):
            if knn is None:
                knn_idx, knn_dist = self._neighbours(prepared, n_neighbors, knn_seed, n_threads,
                                                     verbose)
            else:
                knn_idx, knn_dist = pl.check_knn(knn, n, n_neighbors)
        with self._stage("fuzzy graph", timings):
            graph_exponent = pl.graph_distance_exponent(knn_dist)
            graph = pl.fuzzy_graph(knn_idx, knn_dist, n_threads, graph_exponent)
            knn_dist = knn_dist.astype(np.float32, copy=False)  # kept as float32
            if codes is not None:
                graph = weaken_mismatches(graph, codes, float(self.target_weight))
            order = pl.locality_order(graph)
            a, b = pl.fit_ab(float(self.min_dist), float(self.spread))
            radius = _density.data_radius(graph, knn_idx, knn_dist) if self.densmap else None
        with self._stage("initial layout", timings):
            if init is not None:
                embedding = initial.array_init(init, rng)
            elif self.init == "random":
                embedding = initial.random_init(n_fit, self.n_components, rng)
            else:
                embedding = initial.spectral_init(graph, self.n_components, rng, prepared)
        with self._stage("layout optimisation", timings):
            # The edges are made after the initial layout, whose eigensolver
            # then has the memory they would take.
            edges = pl.layout_edges(graph, n_epochs, order)
            pl.to_schedule_order(edges, n_fit)
            density = None if radius is None else _density.term(
                radius, self.density_strength, self.density_share, self.density_variance_shift,
                n_epochs)
            pl.optimize_layout(embedding, edges, self._layout_run(n_epochs, a, b, layout_seed),
                               n_threads, order, verbose=verbose, in_schedule_order=True,
                               density=density)
            self._check_finite(embedding, "embedding")
        # The fitted attributes are set together after the last stage.
        reference = (_sparse.keep_reference(prepared, rng) if sparse_input
                     else _transform.keep_reference(prepared, X, rng))
        if prepared.keys is not None:  # a distance matrix: its rows' keys stand for its rows
            _transform.key_distance_rows(reference, prepared.keys)
        first = rows.first if folded else None
        row_frame = None if sparse_input else _inverse.row_frame(x, prepared.space.metric, first)
        self.graph_, self.a_, self.b_ = graph, a, b
        self.embedding_ = embedding[rows.inverse] if folded else embedding
        self.knn_indices_ = knn_idx
        self.knn_dists_ = knn_dist
        if radius is None:
            self.data_radius_ = self.embedding_radius_ = None
        else:
            expand = rows.inverse if folded else slice(None)
            self.data_radius_ = radius.astype(np.float32)[expand]
            self.embedding_radius_ = _density.embedding_radius(graph, embedding).astype(
                np.float32)[expand]
        self.unique_rows_ = None if rows is None else rows.first
        self.unique_inverse_ = None if rows is None else rows.inverse
        # How new rows map into the kernels' space, and the power of two the
        # graph's distances were scaled by (new points' memberships need both).
        self._kernel_space, self._graph_exponent = prepared.space, graph_exponent
        self._reference = reference
        self._row_frame = row_frame  # what inverse_transform gives back to unit rows
        self.n_epochs_ = n_epochs
        self.timings_ = timings
        self._n_features_out = self.n_components
        return self

    def fit_transform(self, X, y=None, *, knn=None):
        """fit(X, y, knn=knn), then the embedding.

        Returns
        -------
        embedding : ndarray of shape (n_samples, n_components), float32
        """
        return self.fit(X, y, knn=knn).embedding_

    def transform(self, X):
        """Places the rows of X in the fitted embedding.

        Each row is placed from its own values alone (the same bits alone, in
        any batch or order, for any n_jobs); a row bit-identical to a training
        row gets that row's place in `embedding_`.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_new, n_features)
            New rows (with metric="precomputed": their distances to the
            training rows, one column per training row).

        Returns
        -------
        embedding : ndarray of shape (n_new, n_components), float32
        """
        check_is_fitted(self)
        self._validate_params()  # transform_epochs may have been set after fit
        with np.errstate(over="ignore"):  # values beyond float32 are reported as infinite
            x = validate_data(self, X, accept_sparse="csr", dtype=self._input_dtypes(X),
                              order="C", reset=False)
        if isinstance(self._reference, _sparse.SparseReference):
            placed = _sparse.place(self._fitted(), x, machine.threads(self.n_jobs, x.shape[0]))
            self._check_finite(placed, "new points' places")
            return placed
        # New rows go through the fit's own preparation: the metric's
        # normalisation and the fit's power of two.
        prepared = prepare(x, self._kernel_space.metric, self._kernel_space)
        placed = _transform.place(self._fitted(), prepared.points,
                                  machine.threads(self.n_jobs, x.shape[0]))
        self._check_finite(placed, "new points' places")
        return placed

    def inverse_transform(self, X):
        """Rows of the data for points of the embedding.

        Each point weighs its n_neighbors nearest fitted points in the
        embedding by the fitted curve `1 / (1 + a_ d^(2 b_))` at its distance d
        from them and becomes the weighted mean of their rows: the row that
        is closest on average, by these weights, to the rows the embedding
        puts around it. A point's result depends on its own coordinates and
        the model alone (the same bits in any batch, for any n_jobs).

        With metric="cosine" or "correlation" the rows are compared by
        direction alone: the result is the direction closest on average to
        the neighbours' (the normalised weighted mean of their unit rows),
        given their weighted mean length (and, for correlation, mean).
        Refused for metric="precomputed", whose model holds no rows.

        Parameters
        ----------
        X : array-like of shape (n_points, n_components)
            Points of the embedding, anywhere (`embedding_` itself, points
            between clusters, a grid).

        Returns
        -------
        rows : ndarray of shape (n_points, `n_features_in_`)
            float32; float64 under cosine and correlation, whose rows may be
            longer than float32 reaches.
        """
        check_is_fitted(self)
        _inverse.check_metric(self._kernel_space.metric)
        if isinstance(self._reference, _sparse.SparseReference):
            raise ValueError("inverse_transform needs the dense training rows; this model was "
                             "fitted on sparse input")
        with np.errstate(over="ignore"):  # values beyond float32 are reported as infinite
            y = check_array(X, dtype=[np.float32, np.float64], order="C")
        dim = self.embedding_.shape[1]
        if y.shape[1] != dim:
            raise ValueError(f"X has {y.shape[1]} columns, but the embedding has {dim}")
        _check_float32_range(float(y.min()), float(y.max()))
        points = np.ascontiguousarray(y, dtype=np.float32)
        return _inverse.inverse(
            self._reference.data, self._fitted().positions, self._kernel_space,
            getattr(self, "_row_frame", None), points, self.knn_indices_.shape[1], self.a_,
            self.b_, machine.threads(self.n_jobs, points.shape[0]), bool(self.verbose))

    def __getstate__(self):
        # A pickled model carries its search index, so that every process that
        # loads it (Dask workers, say) transforms without building it again.
        if hasattr(self, "_reference") and not isinstance(self._reference,
                                                          _sparse.SparseReference):
            _transform.index(self._fitted(), machine.threads(self.n_jobs))
        return super().__getstate__()

    def __setstate__(self, state):
        # What a file holds is checked once, here, before transform reads it.
        super().__setstate__(state)
        if "_reference" in state:
            _saved.check_state(self)

    # -- internals ------------------------------------------------------------

    def _layout_run(self, n_epochs: int, a: float, b: float, seed: int) -> pl.LayoutRun:
        """A layout run with this estimator's forces and learning rate."""
        return pl.LayoutRun(n_epochs, a, b, float(self.repulsion_strength),
                            float(self.learning_rate), float(self.negative_sample_rate), seed)

    def _fitted(self) -> _transform.Fitted:
        """What transform reads of the fit; new points run transform_epochs on the fit's curve."""
        return _transform.Fitted(
            embedding=self.embedding_, distinct_rows=self.unique_rows_,
            knn_indices=self.knn_indices_, knn_dists=self.knn_dists_, space=self._kernel_space,
            graph_exponent=self._graph_exponent, reference=self._reference,
            run=self._layout_run(self.transform_epochs, self.a_, self.b_, self._reference.seed),
            verbose=bool(self.verbose))

    def _input_dtypes(self, X):
        """validate_data's dtype for X: sparse rows are float values in every metric."""
        if sp.issparse(X):
            return [np.float32, np.float64]
        metric = self._kernel_space.metric if hasattr(self, "_kernel_space") else self.metric
        return _metrics.input_dtypes(metric)

    def _check_finite(self, embedding: np.ndarray, what: str) -> None:
        """A layout that left a coordinate NaN or infinite is an error, never a result."""
        finite = np.isfinite(embedding).all(axis=1)
        if finite.all():
            return
        raise ValueError(
            f"the layout diverged: {finite.size - int(finite.sum())} of {finite.size} rows of the "
            f"{what} are not finite (learning_rate={self.learning_rate}, "
            f"repulsion_strength={self.repulsion_strength}, spread={self.spread}); a lower "
            "learning_rate keeps the embedding within float32's range")

    def _distinct_rows(self, duplicates, n: int):
        """The duplicates to fold with unique=True; else None, with a warning when they abound."""
        if self.unique:
            if duplicates is None:
                return Duplicates(np.arange(n), np.arange(n))
            if duplicates.first.size < 2:
                raise ValueError("every row of X is the same: unique=True leaves one row, and at "
                                 "least two are needed")
            return duplicates
        message = duplicate_warning(duplicates, n)
        if message:
            warnings.warn(message, UserWarning, stacklevel=4)
        return None

    @staticmethod
    def _neighbours(prepared, n_neighbors: int, seed: int, n_threads: int, verbose: bool):
        """kNN rows of the prepared data; distances (float64) in the metric's units."""
        if prepared.space.metric == "precomputed":
            return precomputed_rows(prepared.points, n_neighbors - 1)
        if sp.issparse(prepared.points):
            return _sparse.nearest_neighbors(prepared, n_neighbors, seed, n_threads, verbose)
        knn_idx, kernel_dist = pl.nearest_neighbors(prepared.points, n_neighbors, seed, n_threads,
                                                    verbose=verbose, measure=prepared.space.measure)
        return knn_idx, prepared.space.to_metric(kernel_dist)

    def _neighbours_for(self, n: int) -> int:
        """n_neighbors, or n - 1 (with a warning) when there are too few samples."""
        if self.n_neighbors < n:
            return self.n_neighbors
        warnings.warn(f"n_neighbors={self.n_neighbors} needs more than {self.n_neighbors} "
                      f"samples, X has {n}: using n_neighbors={n - 1}", UserWarning, stacklevel=4)
        return n - 1

    @contextmanager
    def _all_or_nothing(self):
        """A fit that fails or is interrupted (Ctrl-C) leaves the estimator as it found it."""
        before = dict(vars(self))
        try:
            yield
        except BaseException:
            vars(self).clear()
            vars(self).update(before)
            raise

    @contextmanager
    def _stage(self, name, timings):
        if self.verbose:
            print(f"[vornik] {name} ...", file=sys.stderr, flush=True)
        start = time.perf_counter()
        yield
        elapsed = time.perf_counter() - start
        timings[name] = elapsed
        if self.verbose:
            print(f"[vornik] {name} done in {elapsed:.2f} s", file=sys.stderr, flush=True)


def embed(X, **params):
    """Embeds X and returns the embedding: ``UMAP(**params).fit_transform(X)``.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features)
    **params
        UMAP's parameters, by keyword, with the same defaults.

    Returns
    -------
    embedding : ndarray of shape (n_samples, n_components), float32
    """
    return UMAP(**params).fit_transform(X)


embed.__signature__ = _params.embed_signature()
