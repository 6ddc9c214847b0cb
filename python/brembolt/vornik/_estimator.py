"""The UMAP estimator and the one-call embed()."""

from __future__ import annotations

import numbers
import sys
import time
from contextlib import contextmanager

import numpy as np

from . import _pipeline as pl

UINT64 = 2**64


def _check_number(name, value, low=None, low_open=False, integer=False):
    kinds = (numbers.Integral,) if integer else (numbers.Real,)
    if isinstance(value, bool) or not isinstance(value, kinds):
        kind = "an int" if integer else "a number"
        raise ValueError(f"{name} must be {kind}, got {value!r}")
    if not np.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value!r}")
    if low is not None and (value <= low if low_open else value < low):
        sign = ">" if low_open else ">="
        raise ValueError(f"{name} must be {sign} {low}, got {value!r}")


def _seeds(random_state):
    """Two 64-bit seeds (kNN, layout) and a generator for the initial layout."""
    if isinstance(random_state, np.random.Generator):
        rng = random_state
    elif random_state is None or isinstance(random_state, (numbers.Integral, np.random.SeedSequence)):
        if isinstance(random_state, numbers.Integral) and not isinstance(random_state, bool):
            random_state = int(random_state) % UINT64
        rng = np.random.default_rng(random_state)
    else:
        raise ValueError(f"random_state must be None, an int or a numpy Generator, got {random_state!r}")
    knn_seed, layout_seed = (int(s) for s in rng.integers(0, UINT64, size=2, dtype=np.uint64))
    return knn_seed, layout_seed, rng


class UMAP:
    """Uniform manifold approximation and projection on the native kernels.

    Parameters
    ----------
    n_neighbors : int, default 15
        Size of the local neighbourhood (the point itself included).
    n_components : int, default 2
        Dimension of the embedding.
    min_dist, spread : float, default 0.1, 1.0
        Shape of the low-dimensional similarity curve.
    n_epochs : int or None
        Optimisation epochs; None means 500 for up to 10,000 points, else 200.
    learning_rate : float, default 1.0
    repulsion_strength : float, default 1.0
    negative_sample_rate : int, default 5
    init : "spectral", "random" or array of shape (n_samples, n_components)
    random_state : None, int or numpy Generator
        The same random_state and n_jobs give bit-identical embeddings.
    n_jobs : int or None
        Threads of the native kernels; None or -1 use every processor.
    verbose : bool
        Report each stage on standard error as it starts and ends.
    """

    def __init__(self, n_neighbors=15, n_components=2, min_dist=0.1, spread=1.0, n_epochs=None,
                 learning_rate=1.0, repulsion_strength=1.0, negative_sample_rate=5,
                 init="spectral", random_state=None, n_jobs=None, verbose=False):
        self.n_neighbors = n_neighbors
        self.n_components = n_components
        self.min_dist = min_dist
        self.spread = spread
        self.n_epochs = n_epochs
        self.learning_rate = learning_rate
        self.repulsion_strength = repulsion_strength
        self.negative_sample_rate = negative_sample_rate
        self.init = init
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.verbose = verbose

    # -- scikit-learn protocol ------------------------------------------------

    def get_params(self, deep=True):
        return {name: getattr(self, name) for name in (
            "n_neighbors", "n_components", "min_dist", "spread", "n_epochs", "learning_rate",
            "repulsion_strength", "negative_sample_rate", "init", "random_state", "n_jobs",
            "verbose")}

    def set_params(self, **params):
        valid = self.get_params()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"unknown parameter {name!r}")
            setattr(self, name, value)
        return self

    def __repr__(self):
        changed = {k: v for k, v in self.get_params().items()
                   if not (isinstance(v, np.ndarray)) and v != UMAP().get_params()[k]}
        return "UMAP(" + ", ".join(f"{k}={v!r}" for k, v in changed.items()) + ")"

    def fit(self, X, y=None, *, knn=None):
        """Embeds X; the result is in embedding_, the fuzzy graph in graph_.

        knn, optional: neighbours computed elsewhere, as a pair (indices,
        distances) of shape (n_samples, n_neighbors): each row starts with the
        point itself at distance 0, followed by its nearest neighbours by
        ascending Euclidean distance. The kNN search is then skipped.
        """
        self._check_params()
        self.timings_ = {}
        with self._stage("checking input"):
            x = pl.as_data_matrix(X, self.n_neighbors)
        n = x.shape[0]
        n_threads = pl.resolve_threads(self.n_jobs)
        n_epochs = self.n_epochs if self.n_epochs is not None else (500 if n <= 10_000 else 200)
        knn_seed, layout_seed, rng = _seeds(self.random_state)
        init = self._check_init(n)

        with self._stage("nearest neighbours"):
            if knn is None:
                knn_idx, knn_dist = pl.nearest_neighbors(x, self.n_neighbors, knn_seed, n_threads)
            else:
                knn_idx, knn_dist = pl.check_knn(knn, n, self.n_neighbors)
        with self._stage("fuzzy graph"):
            self.graph_ = pl.fuzzy_graph(knn_idx, knn_dist)
            head, tail, epochs_per_sample = pl.layout_edges(self.graph_, n_epochs)
            self.a_, self.b_ = pl.fit_ab(float(self.min_dist), float(self.spread))
        with self._stage("initial layout"):
            if isinstance(init, np.ndarray):
                embedding = np.array(init, dtype=np.float32, order="C", copy=True)
            elif init == "random":
                embedding = pl.random_init(n, self.n_components, rng)
            else:
                embedding = pl.spectral_init(self.graph_, self.n_components, rng)
        with self._stage("layout optimisation"):
            pl.optimize_layout(embedding, head, tail, epochs_per_sample, n_epochs, self.a_,
                               self.b_, float(self.repulsion_strength),
                               float(self.learning_rate), float(self.negative_sample_rate),
                               layout_seed, n_threads)
        self.embedding_ = embedding
        self.knn_indices_, self.knn_dists_ = knn_idx, knn_dist
        self.n_epochs_ = n_epochs
        return self

    def fit_transform(self, X, y=None):
        return self.fit(X, y).embedding_

    # -- internals ------------------------------------------------------------

    def _check_params(self):
        _check_number("n_neighbors", self.n_neighbors, low=2, integer=True)
        _check_number("n_components", self.n_components, low=1, integer=True)
        _check_number("min_dist", self.min_dist, low=0)
        _check_number("spread", self.spread, low=0, low_open=True)
        if self.min_dist > self.spread:
            raise ValueError(f"min_dist ({self.min_dist}) must not exceed spread ({self.spread})")
        if self.n_epochs is not None:
            _check_number("n_epochs", self.n_epochs, low=1, integer=True)
        _check_number("learning_rate", self.learning_rate, low=0, low_open=True)
        _check_number("repulsion_strength", self.repulsion_strength, low=0)
        _check_number("negative_sample_rate", self.negative_sample_rate, low=0, low_open=True)
        if self.n_neighbors > 2**31 - 2 or self.n_components > 2**31 - 1:
            raise ValueError("n_neighbors and n_components must fit a C int")
        pl.resolve_threads(self.n_jobs)

    def _check_init(self, n):
        init = self.init
        if isinstance(init, str):
            if init not in ("spectral", "random"):
                raise ValueError(f"init must be 'spectral', 'random' or an array, got {init!r}")
            return init
        arr = np.asarray(init)
        if arr.shape != (n, self.n_components):
            raise ValueError(f"init array must have shape {(n, self.n_components)}, got {arr.shape}")
        if not np.isfinite(arr).all():
            raise ValueError("init array contains NaN or infinity")
        return arr

    @contextmanager
    def _stage(self, name):
        if self.verbose:
            print(f"[vornik] {name} ...", file=sys.stderr, flush=True)
        start = time.perf_counter()
        yield
        elapsed = time.perf_counter() - start
        self.timings_[name] = elapsed
        if self.verbose:
            print(f"[vornik] {name} done in {elapsed:.2f} s", file=sys.stderr, flush=True)


def embed(X, n_neighbors=15, n_components=2, min_dist=0.1, random_state=None, n_jobs=None,
          **params):
    """Embeds X (n_samples x n_features) and returns the float32 embedding.

    Keyword arguments are those of UMAP.
    """
    return UMAP(n_neighbors=n_neighbors, n_components=n_components, min_dist=min_dist,
                random_state=random_state, n_jobs=n_jobs, **params).fit_transform(X)
