"""brembolt.vornik: 2-D embeddings of data matrices on native kernels.

    >>> from brembolt.vornik import embed
    >>> Y = embed(X, random_state=0)          # (n_samples, 2) float32

or, scikit-learn style, UMAP(n_neighbors=15, random_state=0).fit_transform(X).
"""

from ._estimator import UMAP, embed
from ._control import KernelError
from .neighbours import exact_neighbours
from .quality import knn_accuracy, local_radii, trustworthiness

__all__ = ["UMAP", "embed", "KernelError", "exact_neighbours", "trustworthiness", "knn_accuracy",
           "local_radii"]
__version__ = "0.1.0"
