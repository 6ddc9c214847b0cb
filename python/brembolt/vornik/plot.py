"""Pictures of 2-D embeddings (needs matplotlib: pip install "brembolt-vornik[plot]")."""

from __future__ import annotations

import numpy as np

from ._explore import explore  # noqa: F401  (the interactive page; needs plotly)
from ._labels import class_codes, label_array
from ._palette import PALETTE_20, UNLABELLED_COLOUR

# From this many points on, markers would only overdraw each other into a
# blot (and take long to draw): the picture shades a 2-D histogram instead.
DENSITY_FROM = 100_000
# Histogram cells along the longer side of the picture (about one per pixel).
DENSITY_BINS = 800
LEGEND_MAX_CLASSES = 30


def palette(n_classes: int) -> np.ndarray:
    """RGBA colours of n_classes classes."""
    from matplotlib import colors

    return np.array([colors.to_rgba(PALETTE_20[i % len(PALETTE_20)]) for i in range(n_classes)])


def plot_embedding(embedding, path=None, labels=None, title=None, point_size=None, density=None):
    """A picture of the first two columns of an embedding, as a matplotlib Figure.

    Up to 100,000 points (or with ``density=False``) it is a scatter plot.
    Larger embeddings (or ``density=True``) are shaded by a 2-D histogram of
    about one cell per pixel: opacity rises with the log of each cell's count
    and, with labels, each cell takes the mean colour of its labelled points'
    classes, so clusters and where they mix stay visible.

    Parameters
    ----------
    embedding : array-like of shape (n_samples, n_components >= 2)
    path : str or path-like, optional
        Where to write the picture (its suffix names the format: .png, .svg,
        .pdf, ...). Without a path nothing is written.
    labels : array-like of shape (n_samples,), optional
        Class labels, coded by value as the estimator's y: points are coloured
        by class (in natural order: "c2" before "c10") with a legend, which
        moves outside the axes when it would cover points. Unlabelled points
        (-1, None, NaN) are drawn in light grey beneath the others and are in
        no legend.
    title : str, optional
    point_size : float, optional
        Marker area; by default it shrinks as points grow in number.
    density : bool, optional
        Force (True) or forbid (False) the shaded histogram.

    Returns
    -------
    matplotlib.figure.Figure
        A Figure of its own: pyplot's state and the caller's backend are left
        alone (in a notebook, the Figure displays itself).

    Examples
    --------
    >>> import numpy as np
    >>> from brembolt.vornik.plot import plot_embedding
    >>> points = np.random.default_rng(0).normal(size=(300, 2))
    >>> fig = plot_embedding(points, labels=np.repeat(["a", "b", -1], 100))
    >>> [t.get_text() for t in fig.axes[0].get_legend().get_texts()]
    ['a', 'b']
    """
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(
            'plotting needs matplotlib: pip install "brembolt-vornik[plot]"') from None
    E = np.asarray(embedding)
    if E.ndim != 2 or E.shape[1] < 2:
        raise ValueError("plotting needs an embedding with at least two columns")
    xy = np.asarray(E[:, :2], np.float64)
    fig = Figure(figsize=(8, 8), dpi=120)
    ax = fig.add_subplot()
    classes = codes = colours = None
    if labels is not None:
        values = label_array(labels)
        if values.shape[0] != len(E):
            raise ValueError(f"labels has {values.shape[0]} entries for {len(E)} points")
        classes, codes = class_codes(values)
        colours = palette(len(classes))
    shaded = density if density is not None else len(E) >= DENSITY_FROM
    size = point_size or max(0.5, min(12.0, 20000.0 / max(len(E), 1)))
    if shaded:
        _shade(ax, xy[:, 0], xy[:, 1], None if labels is None else (codes, colours))
    elif labels is None:
        ax.scatter(xy[:, 0], xy[:, 1], s=size, linewidths=0, alpha=0.8)
    else:
        grey = codes < 0
        if grey.any():
            ax.scatter(xy[grey, 0], xy[grey, 1], s=size, linewidths=0, color=UNLABELLED_COLOUR)
        for i in range(len(classes)):
            sel = codes == i
            ax.scatter(xy[sel, 0], xy[sel, 1], s=size, linewidths=0, alpha=0.8, color=colours[i])
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_xticks([])
    ax.set_yticks([])
    if title:
        ax.set_title(title)
    fig.tight_layout()
    if labels is not None and 0 < len(classes) <= LEGEND_MAX_CLASSES:
        _legend(fig, ax, classes, colours, xy, markerscale=1.0 if shaded else max(1.0, 6.0 / size))
    if path is not None:
        fig.savefig(path)
    return fig


def _legend(fig, ax, classes, colours, xy, markerscale) -> None:
    """A legend inside the axes where it covers no point, else beside them."""
    from matplotlib.lines import Line2D

    handles = [Line2D([], [], linestyle="", marker="o", markersize=6, color=colours[i],
                      label=str(c)) for i, c in enumerate(classes)]
    style = dict(handles=handles, fontsize="small", title="label", markerscale=markerscale)
    legend = ax.legend(loc="best", **style)
    fig.draw_without_rendering()
    box = legend.get_window_extent().padded(2)
    finite = np.isfinite(xy).all(axis=1)
    shown = ax.transData.transform(xy[finite])
    inside = ((shown[:, 0] >= box.x0) & (shown[:, 0] <= box.x1)
              & (shown[:, 1] >= box.y0) & (shown[:, 1] <= box.y1))
    if not inside.any():
        return
    legend.remove()
    legend = ax.legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0.0, **style)
    fig.draw_without_rendering()
    width, height = fig.get_size_inches()
    fig.set_size_inches(width + legend.get_window_extent().width / fig.dpi + 0.3, height)
    fig.tight_layout()


def _shade(ax, x, y, classes) -> None:
    """Draws the 2-D histogram of (x, y): opacity grows with the log of each cell's count.

    classes, when given, is (class code per point, RGBA colour per class):
    each cell is coloured by the mean colour of its labelled points, light
    grey when it has none.
    """
    from matplotlib import colors as mcolors

    finite = np.isfinite(x) & np.isfinite(y)
    x, y = x[finite], y[finite]
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
        known = codes >= 0
        labelled = np.bincount(flat[known], minlength=nx * ny).astype(np.float64)
        for channel in range(3):
            weights = colours[codes[known], channel]
            rgba[:, channel] = np.bincount(flat[known], weights=weights, minlength=nx * ny)
        rgba[:, :3] /= np.maximum(labelled, 1.0)[:, None]
        rgba[labelled == 0, :3] = mcolors.to_rgb(UNLABELLED_COLOUR)
    top = np.log1p(counts.max()) if counts.size else 1.0
    rgba[:, 3] = 0.15 + 0.85 * np.log1p(counts) / top
    rgba[counts == 0, 3] = 0.0
    ax.imshow(rgba.reshape(ny, nx, 4), origin="lower", interpolation="nearest",
              extent=(lo[0], lo[0] + nx * cell, lo[1], lo[1] + ny * cell))
