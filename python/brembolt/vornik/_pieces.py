"""The initial layout of a graph in pieces (connected components).

One spectral layout of the whole graph puts the pieces on top of each other:
its leading eigenvectors only tell the pieces apart. Each piece therefore
starts from a spectral layout of its own, scaled into a slot whose size grows
with the piece, and the slots are placed by a classical multidimensional
scaling of the pieces' centres in the data (for a distance matrix: of their
mean distances), spaced so that no two slots overlap. Far-apart pieces stay
apart, near ones start near each other. Pieces too small for a spectral
layout start at random inside their slot.
"""

from __future__ import annotations

import warnings

import numpy as np
import scipy.sparse as sp

# Slots are this much farther apart than the sum of their radii.
GAP = 1.25
# Centres closer than this share of the largest one's distance from the middle
# count as this close, so that coinciding centres cannot blow the layout up.
MIN_SEPARATION = 1e-3
# Nearest other centres whose slots are kept clear of each slot.
NEIGHBOUR_SLOTS = 8


def layout_pieces(graph: sp.csr_matrix, labels: np.ndarray, n_pieces: int, dim: int,
                  rng: np.random.Generator, eigenmap, prepared=None) -> np.ndarray:
    """Coordinates (float64, n x dim, within +-1) of a graph whose pieces are `labels`.

    Piece i lies in a ball (its slot) whose radius is (size_i / largest
    size)^(1/dim) before the whole is scaled into +-1.

    eigenmap(subgraph, dim, rng) is the spectral layout of one piece;
    prepared (the data in the kernels' space) places the pieces.
    """
    sizes = np.bincount(labels, minlength=n_pieces)
    radius = (sizes / sizes.max()) ** (1.0 / dim)
    centres = _normalised(_centres(prepared, labels, sizes, dim), n_pieces, dim, rng)
    centres *= _spacing(centres, radius)
    order = np.argsort(labels, kind="stable")
    coords = np.empty((labels.size, dim))
    for piece, members in enumerate(np.split(order, np.cumsum(sizes)[:-1])):
        local = _piece_start(graph[members][:, members], dim, rng, eigenmap)
        coords[members] = centres[piece] + radius[piece] * local
    return coords / np.abs(coords).max()


def _piece_start(graph: sp.csr_matrix, dim: int, rng: np.random.Generator, eigenmap) -> np.ndarray:
    """A piece's own layout within the unit ball: spectral when it is large enough, else random."""
    n = graph.shape[0]
    if n >= dim + 3:  # the eigenmap needs dim + 1 eigenvectors of a larger matrix
        try:
            coords = eigenmap(graph, dim, rng)
            reach = np.sqrt((coords * coords).sum(axis=1)).max()
            if np.isfinite(reach) and reach > 0:
                return coords / reach
            raise ValueError("degenerate eigenvectors")
        except Exception as exc:  # ARPACK no convergence, degenerate pieces
            warnings.warn(f"spectral initialisation failed for a piece of {n} points ({exc}); "
                          "it starts at random inside its slot", RuntimeWarning, stacklevel=5)
    return rng.uniform(-1.0, 1.0, size=(n, dim)) / np.sqrt(dim)


def _centres(prepared, labels: np.ndarray, sizes: np.ndarray, dim: int) -> np.ndarray | None:
    """Classical MDS of the pieces' centres in the data, (n_pieces, dim); None without data."""
    if prepared is None:
        return None
    n_pieces = sizes.size
    points = prepared.points
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
