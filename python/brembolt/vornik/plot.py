"""Pictures of 2-D embeddings (needs matplotlib: pip install "brembolt-vornik[plot]")."""

from __future__ import annotations

import numpy as np

from ._explore import explore  # noqa: F401  (the interactive page; needs plotly)

# From this many points on, markers would only overdraw each other into a
# blot (and take long to draw): the picture shades a 2-D histogram instead.
DENSITY_FROM = 100_000
# Histogram cells along the longer side of the picture (about one per pixel).
DENSITY_BINS = 800


def plot_embedding(embedding, path, labels=None, title=None, point_size=None, density=None):
    """Writes a picture of the first two columns of embedding to path; returns its Figure.

    Up to DENSITY_FROM points (or with density=False) it is a scatter plot,
    points coloured by label with a legend when labels are given. Larger
    embeddings (or density=True) are shaded by a 2-D histogram: darker where
    more points fall, and with labels each cell takes the mean colour of its
    points' classes, so clusters and where they mix stay visible. The picture
    is drawn on a Figure of its own: pyplot's state and the caller's backend
    stay as they are.
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
    fig = Figure(figsize=(8, 8), dpi=120)
    ax = fig.add_subplot()
    if labels is not None:
        labels = np.asarray(labels).ravel()
        classes, codes = np.unique(labels, return_inverse=True)
        cmap = colormaps["tab10" if len(classes) <= 10 else "tab20"]
        colours = np.array([cmap(i % cmap.N) for i in range(len(classes))])
    if density if density is not None else len(E) >= DENSITY_FROM:
        _shade(ax, E[:, 0], E[:, 1], None if labels is None else (codes.ravel(), colours))
        if labels is not None and len(classes) <= 30:
            from matplotlib.lines import Line2D

            handles = [Line2D([], [], linestyle="", marker="s", color=colours[i], label=str(c))
                       for i, c in enumerate(classes)]
            ax.legend(handles=handles, loc="best", fontsize="small", title="label")
    else:
        size = point_size or max(0.5, min(12.0, 20000.0 / max(len(E), 1)))
        if labels is None:
            ax.scatter(E[:, 0], E[:, 1], s=size, linewidths=0, alpha=0.8)
        else:
            for i, c in enumerate(classes):
                sel = codes.ravel() == i
                ax.scatter(E[sel, 0], E[sel, 1], s=size, linewidths=0, alpha=0.8,
                           color=colours[i], label=str(c))
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
    return fig


def _shade(ax, x, y, classes) -> None:
    """Draws the 2-D histogram of (x, y): opacity grows with the log of each cell's count.

    classes, when given, is (class code per point, RGBA colour per class):
    each cell is coloured by the mean colour of the points in it.
    """
    finite = np.isfinite(x) & np.isfinite(y)
    x, y = np.asarray(x[finite], np.float64), np.asarray(y[finite], np.float64)
    lo = np.array([x.min(), y.min()]) if x.size else np.zeros(2)
    span = np.array([x.max(), y.max()]) - lo if x.size else np.ones(2)
    span = np.where(span > 0, span, 1.0)
    cell = span.max() / DENSITY_BINS
    nx, ny = (np.floor(span / cell).astype(int) + 1).tolist()
    bx = np.minimum(((x - lo[0]) / cell).astype(np.int64), nx - 1)
    by = np.minimum(((y - lo[1]) / cell).astype(np.int64), ny - 1)
    flat = by * nx + bx
    counts = np.bincount(flat, minlength=nx * ny).astype(np.float64)
    rgba = np.zeros((nx * ny, 4))
    if classes is None:
        rgba[:, :3] = (0.12, 0.22, 0.45)
    else:
        codes, colours = classes
        codes = codes[finite]
        for channel in range(3):
            weights = colours[codes, channel]
            rgba[:, channel] = np.bincount(flat, weights=weights, minlength=nx * ny)
        rgba[:, :3] /= np.maximum(counts, 1.0)[:, None]
    top = np.log1p(counts.max()) if counts.size else 1.0
    rgba[:, 3] = 0.15 + 0.85 * np.log1p(counts) / top
    rgba[counts == 0, 3] = 0.0
    ax.imshow(rgba.reshape(ny, nx, 4), origin="lower", interpolation="nearest",
              extent=(lo[0], lo[0] + nx * cell, lo[1], lo[1] + ny * cell))
