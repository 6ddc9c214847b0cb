"""Pictures of 2-D embeddings (needs matplotlib: pip install "brembolt-vornik[plot]")."""

from __future__ import annotations

import numpy as np


def plot_embedding(embedding, path, labels=None, title=None, point_size=None):
    """Writes a scatter plot of the first two columns of embedding to path.

    Points are coloured by label, with a legend, when labels are given. The
    picture is drawn on a Figure of its own: pyplot's state and the caller's
    backend stay as they are.
    """
    try:
        from matplotlib import colormaps
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(
            'plotting needs matplotlib: pip install "brembolt-vornik[plot]"') from None
    E = np.asarray(embedding)
    if E.ndim != 2 or E.shape[1] < 2:
        raise ValueError("plotting needs an embedding with at least two columns")
    size = point_size or max(0.5, min(12.0, 20000.0 / max(len(E), 1)))
    fig = Figure(figsize=(8, 8), dpi=120)
    ax = fig.add_subplot()
    if labels is None:
        ax.scatter(E[:, 0], E[:, 1], s=size, linewidths=0, alpha=0.8)
    else:
        labels = np.asarray(labels).ravel()
        classes = np.unique(labels)
        cmap = colormaps["tab10" if len(classes) <= 10 else "tab20"]
        for i, c in enumerate(classes):
            sel = labels == c
            ax.scatter(E[sel, 0], E[sel, 1], s=size, linewidths=0, alpha=0.8,
                       color=cmap(i % cmap.N), label=str(c))
        if len(classes) <= 30:
            ax.legend(markerscale=max(1.0, 6.0 / size), loc="best", fontsize="small",
                      title="label")
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_xticks([])
    ax.set_yticks([])
    if title:
        ax.set_title(title)
    fig.tight_layout()
    fig.savefig(path)
