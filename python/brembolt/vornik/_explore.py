"""An interactive page of a 2-D embedding: one self-contained HTML file (needs plotly).

The page is drawn by plotly.js through WebGL (scattergl traces), inlined in
the file, so it opens offline. Plotly rather than Bokeh: on a million points
in headless Chromium's software WebGL (bench/explore.py --libraries), a pan
frame took Bokeh 17-21 s and plotly 1.3-2.9 s, about what one bare WebGL
draw call of a million points takes there (1.4-2.9 s); plotly also drew its
first frame four times sooner and wrote its page twice as fast. On a GPU
both draw a frame in milliseconds.

Every point is drawn. Hover details (label, row, the chosen columns, the
image) are carried by a sample of about HOVER_POINTS points, with at least
HOVER_PER_CLASS of every class, which keeps the file small and hovering
fast; the other points are drawn by traces without hover data.
"""

from __future__ import annotations

import base64
import html
import json
import os
import re
import tempfile
from pathlib import Path

import numpy as np

from ._labels import class_codes, label_array
from ._palette import PALETTE_20, UNLABELLED_COLOUR

# Points that carry hover details, at most; the rest are only drawn.
HOVER_POINTS = 100_000
# Every class keeps this many hoverable points (all of a smaller class).
HOVER_PER_CLASS = 200
# Pixels of the hover images kept in the page, at most (about 4/3 as much in
# base64): 28 x 28 images of 20,000 points.
IMAGE_BYTES = 16 * 2**20
UNLABELLED_NAME = "unlabelled"


def explore(Y, labels=None, hover=None, images=None, path=None, *, title=None,
            hover_points=HOVER_POINTS, point_size=None):
    """An interactive page of an embedding: hover a point to see what it is.

    Draws the first two columns of an embedding with plotly.js through WebGL
    and returns the plotly Figure; with a path, also writes the page there as
    one self-contained HTML file that opens offline (plotly.js is inlined,
    about 5 MB). A million points give a page of about 17 MB, written in a
    few seconds.

    Parameters
    ----------
    Y : array-like (n_samples, >= 2) or fitted UMAP
        The embedding, or a fitted estimator whose ``embedding_`` is drawn.
    labels : array-like (n_samples,), optional
        A class per point: integers, strings or any hashable values. Points
        are coloured by class, and a click on a class in the legend hides or
        shows it (a double click shows that class alone). -1, "-1", None and
        NaN mark unlabelled points, drawn in light grey, as the estimator
        reads its y. Classes are listed in natural order ("2" before "10");
        up to 20 get colours of their own.
    hover : pandas.DataFrame or mapping of column name to values, optional
        One row per point: every column is shown when the pointer rests on
        a point, after its label and row number (its position in Y).
    images : array-like (n_samples, h, w), (n_samples, h, w, 3 or 4) or (n_samples, h * w)
        An image per point (grey, RGB or RGBA; flat rows of a square image
        are reshaped), shown on hover in the written page. Values are scaled
        from their least to their greatest (uint8 as they are); grey is drawn
        dark for low values.
    path : str or path-like, optional
        Where to write the page. It is written to a temporary file beside
        it and renamed into place, so the path holds either the old file or
        the whole new one.
    title : str, optional
        Shown above the plot and as the page's title.
    hover_points : int, default 100_000
        Hover details are kept for a sample of about this many points (each
        class its share, and at least 200 points or all of it while that
        keeps within twice the number), and for no more images than fit in
        16 MiB of pixels. Every point is drawn either way.
    point_size : float, optional
        Marker diameter in pixels; by default from 6 for small embeddings
        down to 2 for large ones.

    Returns
    -------
    plotly.graph_objects.Figure
        In a notebook it shows itself, with hover details but without the
        images, which only the written page shows.

    Examples
    --------
    >>> from sklearn.datasets import load_digits
    >>> from brembolt.vornik import UMAP
    >>> from brembolt.vornik.plot import explore
    >>> digits = load_digits()
    >>> model = UMAP(random_state=0).fit(digits.data)
    >>> fig = explore(model, labels=digits.target, images=digits.images,
    ...               path="digits.html")  # doctest: +SKIP
    """
    try:
        import plotly.graph_objects as go
    except ImportError:
        raise ImportError('the interactive page needs plotly: pip install '
                          '"brembolt-vornik[explore]"') from None
    xy = _coordinates(Y)
    n = xy.shape[0]
    classes, codes = _classes(labels, n)
    columns = _hover_columns(hover, n)
    pictures = _images(images, n)
    limit = int(hover_points)
    if limit < 0:
        raise ValueError(f"hover_points must be at least 0, not {hover_points}")
    if pictures is not None:
        limit = min(limit, IMAGE_BYTES // max(1, pictures[0].nbytes))
    style = dict(labelled=labels is not None, columns=columns, with_images=pictures is not None,
                 size=point_size or float(np.clip(300.0 / np.sqrt(n), 2.0, 6.0)))
    traces, hover_rows = _traces(go, xy, list(_groups(classes, codes)), limit, **style)
    fig = go.Figure(traces, _layout(title, labels is not None))
    if path is not None:
        scripts = [] if pictures is None else [_image_script(pictures[hover_rows])]
        write_atomically(Path(path), _page(fig, scripts, title))
    return fig


def _traces(go, xy, groups, limit: int, *, labelled, columns, with_images, size):
    """Two traces per class, hoverable and not, and the rows of the hoverable points in order.

    The traces of a class share its legend entry. With images, each hover
    trace's meta is the index of its first point's image among the hover rows.
    """
    least = min(HOVER_PER_CLASS, limit // len(groups))
    n = xy.shape[0]
    traces, hover_rows, offset = [], [], 0
    for code, (name, colour, rows) in enumerate(groups):
        shown, hidden = _split(rows, limit, least, n)
        marker = dict(size=size, color=colour, opacity=0.75, line=dict(width=0))
        common = dict(mode="markers", marker=marker, name=name, legendgroup=str(code))
        traces.append(go.Scattergl(
            x=xy[shown, 0], y=xy[shown, 1], customdata=_customdata(shown, columns),
            hovertemplate=_template(labelled, columns), meta=offset if with_images else -1,
            showlegend=shown.size > 0, **common))
        traces.append(go.Scattergl(x=xy[hidden, 0], y=xy[hidden, 1], hoverinfo="skip",
                                   showlegend=shown.size == 0, **common))
        hover_rows.append(shown)
        offset += shown.size
    return traces, np.concatenate(hover_rows)


def _page(fig, scripts, title) -> str:
    """The whole page: plotly.js inlined, the plot filling the window."""
    page = fig.to_html(include_plotlyjs=True, full_html=True, config=CONFIG, post_script=scripts,
                       default_height="100vh")
    head = "<style>body { margin: 0; overflow: hidden }</style>"
    if title:
        head += f"<title>{html.escape(title)}</title>"
    return page.replace("<head>", "<head>" + head, 1)


CONFIG = {"scrollZoom": True, "displaylogo": False, "responsive": True,
          "modeBarButtonsToRemove": ["select2d", "lasso2d"]}


def _coordinates(Y) -> np.ndarray:
    if hasattr(Y, "get_params") and hasattr(Y, "fit"):  # an estimator: its fitted embedding
        from sklearn.utils.validation import check_is_fitted

        check_is_fitted(Y, "embedding_")
        Y = Y.embedding_
    xy = np.asarray(Y)
    if xy.ndim != 2 or xy.shape[1] < 2:
        raise ValueError(f"the page needs an embedding with at least two columns, not shape "
                         f"{xy.shape}")
    if xy.shape[0] == 0:
        raise ValueError("the embedding has no points")
    xy = np.ascontiguousarray(xy[:, :2], dtype=np.float32)
    bad = ~np.isfinite(xy).all(axis=1)
    if bad.any():
        raise ValueError(f"the embedding has {int(bad.sum())} points with non-finite "
                         f"coordinates (the first is row {int(np.flatnonzero(bad)[0])})")
    return xy


def _label_text(value) -> str:
    if isinstance(value, (float, np.floating)) and float(value).is_integer():
        return str(int(value))  # 3.0 from a float column with NaN gaps is class 3
    return str(value)


def _classes(labels, n: int):
    """(class names in natural order, class code per point with -1 unlabelled), coded as the
    estimator codes its y."""
    if labels is None:
        return ["points"], np.zeros(n, np.int64)
    values = label_array(labels)
    if values.shape[0] != n:
        raise ValueError(f"labels has {values.shape[0]} entries for {n} points")
    classes, codes = class_codes(values)
    return [_label_text(v) for v in classes], codes


def _groups(classes, codes):
    """(legend name, colour, rows) per class, unlabelled points first, drawn beneath."""
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(-1, len(classes) + 1))
    unlabelled = order[bounds[0]:bounds[1]]
    if unlabelled.size:
        yield UNLABELLED_NAME, UNLABELLED_COLOUR, unlabelled
    for code, name in enumerate(classes):
        yield (html.escape(name), PALETTE_20[code % len(PALETTE_20)],
               order[bounds[code + 1]:bounds[code + 2]])


def _split(rows: np.ndarray, limit: int, least: int, n: int):
    """(hoverable rows, the others) of one class: its share of limit, and at least least.

    The hoverable rows are the first of a permutation seeded by the class's
    size and first row, so the same embedding always gives the same page.
    """
    if limit >= n:
        return rows, rows[:0]
    keep = min(rows.size, max(least, limit * rows.size // n))
    if keep == rows.size:
        return rows, rows[:0]
    rng = np.random.default_rng([rows.size, int(rows[0])])
    picked = np.zeros(rows.size, bool)
    picked[rng.permutation(rows.size)[:keep]] = True
    return rows[picked], rows[~picked]


def _hover_columns(hover, n: int):
    """[(escaped name, escaped text per point)] of the hover table's columns."""
    if hover is None:
        return []
    items = hover.items() if hasattr(hover, "items") else None
    if items is None:
        raise TypeError("hover takes a pandas DataFrame or a mapping of column name to values, "
                        f"not {type(hover).__name__}")
    columns = []
    for name, values in items:
        values = np.asarray(values)
        if values.shape != (n,):
            raise ValueError(f"hover column {name!r} has shape {values.shape} for {n} points")
        columns.append((html.escape(str(name)), values))
    return columns


def _format(values: np.ndarray) -> np.ndarray:
    if values.dtype.kind == "f":
        return np.array([f"{v:.6g}" for v in values.tolist()], dtype=object)
    return np.array([html.escape(str(v)) for v in values.tolist()], dtype=object)


def _customdata(rows: np.ndarray, columns) -> np.ndarray:
    if not columns:
        return rows.astype(np.int32)[:, None]  # sent as binary
    data = np.empty((rows.size, 1 + len(columns)), dtype=object)
    data[:, 0] = rows.tolist()
    for j, (_, values) in enumerate(columns, start=1):
        data[:, j] = _format(values[rows])
    return data


def _template(labelled: bool, columns) -> str:
    lines = (["<b>%{fullData.name}</b>"] if labelled else []) + ["row %{customdata[0]}"]
    lines += [f"{name}: %{{customdata[{j}]}}" for j, (name, _) in enumerate(columns, start=1)]
    return "<br>".join(lines) + "<extra></extra>"


def _layout(title, labelled: bool) -> dict:
    axis = dict(showticklabels=False, showgrid=False, zeroline=False, showline=True,
                linecolor="#bbbbbb", mirror=True, ticks="")
    return dict(
        title=dict(text=html.escape(title)) if title else None,
        template="simple_white", hovermode="closest", dragmode="pan",
        xaxis=axis, yaxis=dict(axis, scaleanchor="x", scaleratio=1),
        showlegend=labelled,
        legend=dict(title=dict(text="label"), itemsizing="constant", itemclick="toggle",
                    itemdoubleclick="toggleothers"),
        margin=dict(l=20, r=20, t=50 if title else 20, b=20))


def _images(images, n: int):
    """The images as uint8 (n, h, w, channels), or None."""
    if images is None:
        return None
    a = np.asarray(images)
    if a.ndim == 2 and a.shape[0] == n:  # flat rows of square images
        side = int(round(np.sqrt(a.shape[1])))
        if side * side != a.shape[1]:
            raise ValueError(f"images of {a.shape[1]} values per row are not square: pass "
                             "them as (n, height, width)")
        a = a.reshape(n, side, side)
    if a.ndim == 3:
        a = a[..., None]
    if a.ndim != 4 or a.shape[0] != n or a.shape[3] not in (1, 3, 4) or 0 in a.shape[1:3]:
        raise ValueError(f"images must be (n, h, w), (n, h, w, 3 or 4) or (n, h * w) for "
                         f"{n} points, not shape {np.shape(images)}")
    if a.dtype == np.uint8:
        return a
    a = np.nan_to_num(a.astype(np.float64), nan=0.0, posinf=0.0, neginf=0.0)
    lo, hi = a.min(), a.max()
    return np.round((a - lo) * (255.0 / (hi - lo if hi > lo else 1.0))).astype(np.uint8)


def _image_script(pictures: np.ndarray) -> str:
    """JavaScript that shows the hovered point's image beside the pointer."""
    count, h, w, channels = pictures.shape
    blob = base64.b64encode(np.ascontiguousarray(pictures).tobytes()).decode("ascii")
    scale = max(2, 112 // max(h, w))
    return IMAGE_SCRIPT % dict(
        data=json.dumps(dict(h=h, w=w, c=channels, bytes=blob)), scale=scale)


# Runs after the plot is drawn; {plot_id} is the plot's div. The hovered
# point's image is its hover trace's meta plus its index in the trace.
IMAGE_SCRIPT = """
var gd = document.getElementById('{plot_id}');
var im = %(data)s;
var pixels = Uint8Array.from(atob(im.bytes), function (ch) { return ch.charCodeAt(0); });
var box = document.createElement('canvas');
box.id = 'vornik-hover-image';
box.width = im.w; box.height = im.h;
box.style.cssText = 'position:fixed;display:none;z-index:1000;border:1px solid #888;' +
  'background:#fff;image-rendering:pixelated;width:' + im.w * %(scale)d + 'px;height:' +
  im.h * %(scale)d + 'px';
document.body.appendChild(box);
gd.on('plotly_hover', function (ev) {
  var p = ev.points[0];
  if (!p || p.data.meta < 0) return;
  var k = p.data.meta + p.pointNumber, n = im.w * im.h, img = new ImageData(im.w, im.h);
  for (var i = 0; i < n; i++) {
    var s = (k * n + i) * im.c;
    img.data[4 * i] = pixels[s];
    img.data[4 * i + 1] = pixels[s + (im.c > 1 ? 1 : 0)];
    img.data[4 * i + 2] = pixels[s + (im.c > 1 ? 2 : 0)];
    img.data[4 * i + 3] = im.c == 4 ? pixels[s + 3] : 255;
  }
  box.getContext('2d').putImageData(img, 0, 0);
  box.dataset.row = p.customdata[0];
  var e = ev.event || {}, size = im.w * %(scale)d + 16;
  box.style.left = Math.max(0, (e.clientX || size) - size) + 'px';
  box.style.top = Math.max(0, (e.clientY || size) - size) + 'px';
  box.style.display = 'block';
});
gd.on('plotly_unhover', function () { box.style.display = 'none'; });
"""


def write_atomically(path: Path, text: str) -> None:
    """Writes text (UTF-8) to a temporary file beside path, then renames it into place."""
    directory = path.parent
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fchmod(f.fileno(), _new_file_mode(path))
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def _new_file_mode(path: Path) -> int:
    """The mode an ordinary write would give: the replaced file's, else 0o666 less the umask."""
    try:
        return path.stat().st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask
