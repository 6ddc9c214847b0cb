"""The initial layout: spectral, random, a caller's array, or per piece of the graph.

The spectral layout takes the leading eigenvectors of the normalised graph
Laplacian. One such layout of a graph in pieces (connected components) puts
the pieces on top of each other, since its leading eigenvectors only tell the
pieces apart. Each piece therefore starts from a spectral layout of its own,
scaled into a slot whose size grows with the piece, and the slots are placed
by a classical multidimensional scaling of the pieces' centres in the data
(for a distance matrix: of their mean distances), spaced so that no two slots
overlap. Far-apart pieces stay apart, near ones start near each other. Pieces
too small for a spectral layout start at random inside their slot.
"""

from __future__ import annotations

import warnings

import numpy as np
import scipy.sparse as sp
from scipy.sparse.csgraph import connected_components
from sklearn.utils import check_array

INIT_SCALE = 10.0


# An array init larger than this is rescaled to +-INIT_SCALE: the layout's
# float32 squared distances would come near overflow (about 1.8e19 per axis).
INIT_LIMIT = 1e15
# Coincident start points feel no force that tells them apart; a jitter of this
# size relative to the layout's extent separates them.
JITTER = 1e-4


def check_init(init, n: int, n_components: int) -> np.ndarray:
    """A caller's initial layout as float64, with its shape and values checked."""
    arr = check_array(init, dtype=np.float64, input_name="init")
    if arr.shape != (n, n_components):
        raise ValueError(f"init array must have shape {(n, n_components)}, got {arr.shape}")
    return arr


def array_init(init: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """A checked init as the layout takes it: float32, its scale bounded, no coincident points."""
    span = float(np.abs(init).max())
    if span > INIT_LIMIT:
        warnings.warn(f"init reaches {span:.3g}; rescaled to +-{INIT_SCALE:g} so that the "
                      "layout's squared distances stay finite", RuntimeWarning, stacklevel=4)
        init = init * (INIT_SCALE / span)
    embedding = np.array(init, dtype=np.float32, order="C")
    separate_coincident(embedding, rng)
    return embedding


def separate_coincident(embedding: np.ndarray, rng: np.random.Generator) -> None:
    """Moves points that share a position by a tiny seeded jitter, in place."""
    _, inverse, counts = np.unique(embedding, axis=0, return_inverse=True, return_counts=True)
    shared = counts[inverse.ravel()] > 1
    if not shared.any():
        return
    scale = JITTER * max(float(np.abs(embedding).max()), INIT_SCALE)
    noise = rng.normal(scale=scale, size=(int(shared.sum()), embedding.shape[1]))
    embedding[shared] += noise.astype(np.float32)


def random_init(n: int, n_components: int, rng: np.random.Generator) -> np.ndarray:
    return rng.uniform(-INIT_SCALE, INIT_SCALE, size=(n, n_components)).astype(np.float32)


def graph_pieces(graph: sp.csr_matrix):
    """(count, labels) of the connected pieces of a symmetric graph, numbered by their lowest vertex.

    On a symmetric graph the strongly connected components are the pieces,
    and scipy finds those without the transpose that its undirected search
    builds first (a copy of every edge: hundreds of megabytes and about half
    a second at a million points). The numbering is the undirected search's.
    """
    n_pieces, labels = connected_components(graph, directed=True, connection="strong")
    _, first = np.unique(labels, return_index=True)
    rank = np.empty(n_pieces, labels.dtype)
    rank[np.argsort(first)] = np.arange(n_pieces, dtype=labels.dtype)
    return n_pieces, rank[labels]


def spectral_init(graph: sp.csr_matrix, n_components: int, rng: np.random.Generator,
                  prepared=None) -> np.ndarray:
    """Eigenvectors of the normalised graph Laplacian, scaled into +-10, plus a little noise.

    A graph in pieces gets a layout per piece, the pieces placed by their
    centres in `prepared` (the data in the kernels' space; see layout_pieces).
    Falls back to a random layout, with a warning, when the eigensolver fails.
    """
    n = graph.shape[0]
    n_pieces, labels = graph_pieces(graph)
    if n_pieces > 1:
        coords = layout_pieces(graph, labels, n_pieces, n_components, rng, prepared)
        coords = coords * INIT_SCALE + rng.normal(scale=1e-4 * INIT_SCALE, size=coords.shape)
        return np.ascontiguousarray(coords, dtype=np.float32)
    try:
        coords = _laplacian_eigenmap(graph, n_components, rng)
    except Exception as exc:  # ARPACK no convergence, degenerate graphs
        warnings.warn(f"spectral initialisation failed ({exc}); using a random layout",
                      RuntimeWarning, stacklevel=4)
        return random_init(n, n_components, rng)
    span = np.abs(coords).max()
    if not np.isfinite(span) or span == 0:
        warnings.warn("spectral initialisation is degenerate; using a random layout",
                      RuntimeWarning, stacklevel=4)
        return random_init(n, n_components, rng)
    coords = coords * (INIT_SCALE / span)
    coords += rng.normal(scale=1e-4 * INIT_SCALE, size=coords.shape)
    return np.ascontiguousarray(coords, dtype=np.float32)


# The eigenvectors only start the layout, which moves every point far more
# than their error: at 1e-3 rather than 1e-4 the solver takes half the time on
# a million points (6.4 s against 3.8 s), and trustworthiness was the same to
# the third decimal on every set of bench/datasets.py.
SPECTRAL_TOL = 1e-3


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
        values, vectors = eigsh(adjacency, k=k, which="LA", v0=v0, tol=SPECTRAL_TOL,
                                maxiter=max(1000, 5 * n))
    order = np.argsort(values)[::-1][1:k]
    return vectors[:, order]


# ---------------------------------------------------------------------------
# A graph in pieces
# ---------------------------------------------------------------------------

# Slots are this much farther apart than the sum of their radii.
GAP = 1.25
# Centres closer than this share of the largest one's distance from the middle
# count as this close, so that coinciding centres cannot blow the layout up.
MIN_SEPARATION = 1e-3
# Nearest other centres whose slots are kept clear of each slot.
NEIGHBOUR_SLOTS = 8


def layout_pieces(graph: sp.csr_matrix, labels: np.ndarray, n_pieces: int, dim: int,
                  rng: np.random.Generator, prepared=None) -> np.ndarray:
    """Coordinates (float64, n x dim, within +-1) of a graph whose pieces are `labels`.

    Piece i lies in a ball (its slot) whose radius is (size_i / largest
    size)^(1/dim) before the whole is scaled into +-1; the centres of the pieces
    in prepared (the data in the kernels' space) place the slots.
    """
    sizes = np.bincount(labels, minlength=n_pieces)
    radius = (sizes / sizes.max()) ** (1.0 / dim)
    centres = _normalised(_centres(prepared, labels, sizes, dim), n_pieces, dim, rng)
    centres *= _spacing(centres, radius)
    order = np.argsort(labels, kind="stable")
    coords = np.empty((labels.size, dim))
    for piece, members in enumerate(np.split(order, np.cumsum(sizes)[:-1])):
        local = _piece_start(graph[members][:, members], dim, rng)
        coords[members] = centres[piece] + radius[piece] * local
    return coords / np.abs(coords).max()


def _piece_start(graph: sp.csr_matrix, dim: int, rng: np.random.Generator) -> np.ndarray:
    """A piece's own layout within the unit ball: spectral when it is large enough, else random."""
    n = graph.shape[0]
    if n >= dim + 3:  # the eigenmap needs dim + 1 eigenvectors of a larger matrix
        try:
            coords = _laplacian_eigenmap(graph, dim, rng)
            reach = np.sqrt((coords * coords).sum(axis=1)).max()
            if np.isfinite(reach) and reach > 0:
                return coords / reach
            raise ValueError("degenerate eigenvectors")
        except Exception as exc:  # ARPACK no convergence, degenerate pieces
            warnings.warn(f"spectral initialisation failed for a piece of {n} points ({exc}); "
                          "it starts at random inside its slot", RuntimeWarning, stacklevel=5)
    return rng.uniform(-1.0, 1.0, size=(n, dim)) / np.sqrt(dim)


def _bit_shares(words: np.ndarray, labels: np.ndarray, n_pieces: int) -> np.ndarray:
    """The share of rows of each piece that set each bit (n_pieces x bits), unpacked a block of
    rows at a time."""
    shares = np.zeros((n_pieces, words.shape[1] * 64))
    step = 2048
    for lo in range(0, words.shape[0], step):
        bits = np.unpackbits(words[lo:lo + step].view(np.uint8), axis=1, bitorder="little")
        rows = labels[lo:lo + step]
        members = sp.csr_matrix((np.ones(rows.size), (rows, np.arange(rows.size))),
                                shape=(n_pieces, rows.size))
        shares += members @ bits.astype(np.float64)
    return shares / np.bincount(labels, minlength=n_pieces)[:, None]


def _centres(prepared, labels: np.ndarray, sizes: np.ndarray, dim: int) -> np.ndarray | None:
    """Classical MDS of the pieces' centres in the data, (n_pieces, dim); None without data."""
    if prepared is None:
        return None
    n_pieces = sizes.size
    points = prepared.points
    if points.dtype == np.uint64:  # bit rows: the share of each bit among a piece's rows
        points = _bit_shares(points, labels, n_pieces)
        labels = np.arange(n_pieces)
        sizes = np.ones(n_pieces)
    members = sp.csr_matrix((np.ones(labels.size, points.dtype), (labels, np.arange(labels.size))),
                            shape=(n_pieces, labels.size))
    if prepared.space.metric == "precomputed":
        # Mean distances between pieces, embedded by double centring.
        mean = (members @ (members @ points).T).astype(np.float64)
        mean /= np.outer(sizes, sizes)
        sq = mean * mean
        centring = np.eye(n_pieces) - 1.0 / n_pieces
        values, vectors = np.linalg.eigh(-0.5 * centring @ sq @ centring)
        top = np.argsort(values)[::-1][:dim]
        coords = vectors[:, top] * np.sqrt(np.maximum(values[top], 0.0))
    elif sp.issparse(points):
        # The centroids' Gram matrix, double centred: classical MDS without
        # making the centroids dense.
        centroids = sp.csr_matrix(members @ points, dtype=np.float64).multiply(
            1.0 / sizes[:, None]).tocsr()
        gram = (centroids @ centroids.T).toarray()
        centring = np.eye(n_pieces) - 1.0 / n_pieces
        values, vectors = np.linalg.eigh(centring @ gram @ centring)
        top = np.argsort(values)[::-1][:dim]
        coords = vectors[:, top] * np.sqrt(np.maximum(values[top], 0.0))
    else:
        # For Euclidean centroids classical MDS is a principal component analysis.
        centroids = (members @ points).astype(np.float64) / sizes[:, None]
        centroids -= centroids.mean(axis=0)
        u, s, _ = np.linalg.svd(centroids, full_matrices=False)
        coords = u[:, :dim] * s[:dim]
    if coords.shape[1] < dim:
        coords = np.hstack([coords, np.zeros((n_pieces, dim - coords.shape[1]))])
    return coords


def _normalised(centres, n_pieces: int, dim: int, rng: np.random.Generator) -> np.ndarray:
    """Centres scaled to reach 1 at most; random ones when there are none to go by."""
    if centres is not None:
        reach = np.sqrt((centres * centres).sum(axis=1)).max()
        if np.isfinite(reach) and reach > 0:
            return centres / reach
    return rng.uniform(-1.0, 1.0, size=(n_pieces, dim))


def _spacing(centres: np.ndarray, radius: np.ndarray) -> float:
    """The factor on the centres that keeps every slot clear of its nearest slots."""
    from scipy.spatial import cKDTree

    k = min(centres.shape[0], NEIGHBOUR_SLOTS + 1)
    dist, ids = cKDTree(centres).query(centres, k=k)
    dist[ids == np.arange(ids.shape[0])[:, None]] = np.inf  # a slot need not clear itself
    needed = GAP * (radius[:, None] + radius[ids])
    return float((needed / np.maximum(dist, MIN_SEPARATION)).max())
