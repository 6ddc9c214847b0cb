"""Interactive page benchmark: explore() on a million points, and headless Chromium drawing it.

The points: 20 Gaussian clusters of unequal sizes in 2-D, 1% of them
unlabelled, with a hover table of two columns (and, with --images, a 28 x 28
image per point). Each run writes the page in a fresh process, then opens it
in a fresh headless Chromium (write and draw alternate). It prints, as min and
median over --reps runs:
  - the seconds explore() takes to write the page, and the page's size;
  - the seconds from navigation until the first frame after plotly has drawn
    the plot, the number of points its scene draws, and the time of one pan
    frame (the x range shifted by a tenth).
Without a GPU, Chromium's WebGL runs on its software renderer (SwiftShader),
whose time grows with the points drawn; on a GPU a frame takes milliseconds.

With --libraries it measures the choice of library instead: the same points
(one trace per class, no hover) as a bare plotly page and a bare Bokeh page
(when bokeh is installed), and one bare WebGL draw call of as many points.

    python bench/explore.py                          # 1,000,000 points, 3 runs
    python bench/explore.py --n 200000 --reps 5 --images
    python bench/explore.py --libraries --reps 2
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parents[1] / "tests" / "python"))
import browser  # noqa: E402

CLASSES = 20


def make_points(n: int, seed: int = 0):
    """(Y float32 (n, 2), labels with -1 for 1% unlabelled, hover columns)."""
    rng = np.random.default_rng(seed)
    weights = rng.uniform(0.2, 1.0, CLASSES)
    labels = rng.choice(CLASSES, size=n, p=weights / weights.sum())
    centres = rng.uniform(-40, 40, (CLASSES, 2))
    spread = rng.uniform(0.5, 3.0, CLASSES)
    Y = (centres[labels] + rng.normal(size=(n, 2)) * spread[labels, None]).astype(np.float32)
    labels[rng.random(n) < 0.01] = -1
    hover = {"score": rng.normal(size=n), "batch": rng.integers(0, 50, n)}
    return Y, labels, hover


def write_page(path: str, n: int, images: bool) -> float:
    from brembolt.vornik.plot import explore

    Y, labels, hover = make_points(n)
    pictures = None
    if images:
        pictures = np.random.default_rng(1).integers(0, 256, (n, 28, 28), dtype=np.uint8)
    start = time.perf_counter()
    explore(Y, labels, hover, pictures, path=path, title=f"{n} points")
    return time.perf_counter() - start


PAN_PLOTLY = browser.SCENE_JS + browser.AFTER_FRAME_JS + """
const done = arguments[0], r = gd._fullLayout.xaxis.range, w = r[1] - r[0], t0 = performance.now();
Plotly.relayout(gd, {'xaxis.range': [r[0] + w / 10, r[1] + w / 10]}).then(() =>
  afterFrame((t) => done((t - t0) / 1e3)));
"""


def draw_page(path: str):
    """(seconds to the first drawn frame, points drawn, seconds of a pan frame)."""
    driver = browser.open_browser()
    try:
        seconds = browser.load_and_wait(driver, Path(path).as_uri())
        drawn = driver.execute_script(browser.DRAWN_POINTS_JS)
        pan = driver.execute_async_script(PAN_PLOTLY)
    finally:
        driver.quit()
    return seconds, drawn, pan


def summary(values, unit="s") -> str:
    return f"min {min(values):7.2f} {unit}  median {statistics.median(values):7.2f} {unit}"


def run_targets(args) -> None:
    writes, sizes, draws, pans = [], [], [], []
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "page.html")
        for rep in range(args.reps):
            child = [sys.executable, __file__, "--write", path, "--n", str(args.n)]
            out = subprocess.run(child + (["--images"] if args.images else []), check=True,
                                 capture_output=True, text=True).stdout
            writes.append(float(out.split()[-1]))
            sizes.append(os.path.getsize(path) / 1e6)
            seconds, drawn, pan = draw_page(path)
            draws.append(seconds)
            pans.append(pan)
            print(f"run {rep + 1}: write {writes[-1]:.2f} s, {sizes[-1]:.1f} MB, drawn in "
                  f"{seconds:.2f} s ({drawn} points), pan frame {pan:.2f} s", flush=True)
            if drawn != args.n:
                raise SystemExit(f"the scene draws {drawn} points of {args.n}")
    print(f"explore() writes the page ({args.n} points{', images' if args.images else ''}): "
          f"{summary(writes)}  (target <= 15 s)")
    print(f"page size:                 {summary(sizes, 'MB')}  (target <= 60 MB)")
    print(f"headless Chromium draws:   {summary(draws)}  (target <= 10 s)")
    print(f"one pan frame:             {summary(pans)}")


# -- the choice of library ------------------------------------------------------


def bare_pages(n: int, directory: str) -> dict:
    """The same points, one trace per class and no hover, as plotly and Bokeh pages."""
    Y, labels, _ = make_points(n)
    pages, timings = {}, {}
    import plotly.graph_objects as go

    start = time.perf_counter()
    fig = go.Figure([go.Scattergl(x=Y[labels == c, 0], y=Y[labels == c, 1], mode="markers",
                                  marker=dict(size=2), name=str(c)) for c in range(-1, CLASSES)])
    pages["plotly"] = os.path.join(directory, "plotly.html")
    fig.write_html(pages["plotly"], include_plotlyjs=True)
    timings["plotly"] = time.perf_counter() - start
    try:
        from bokeh.embed import file_html
        from bokeh.plotting import figure
        from bokeh.resources import INLINE
    except ImportError:
        print("bokeh is not installed: its page is left out")
        return pages, timings
    start = time.perf_counter()
    p = figure(output_backend="webgl", width=900, height=800)
    for c in range(-1, CLASSES):
        p.scatter(Y[labels == c, 0], Y[labels == c, 1], size=2, line_color=None)
    pages["bokeh"] = os.path.join(directory, "bokeh.html")
    with open(pages["bokeh"], "w", encoding="utf-8") as f:
        f.write(file_html(p, INLINE, "bokeh"))
    timings["bokeh"] = time.perf_counter() - start
    return pages, timings


BOKEH_IDLE = ("return !!(window.Bokeh && Bokeh.index && Object.values(Bokeh.index).length &&"
              " Object.values(Bokeh.index).every(v => v.is_idle));")
# The next frame, once its drawing is finished: reading a pixel of the plot's
# canvas waits for the WebGL drawing copied onto it.
FRAME = """
requestAnimationFrame(() => requestAnimationFrame(() => {
  const layer = Object.values(Bokeh.index)[0].canvas_view.primary;
  layer.ctx.getImageData(0, 0, 1, 1);
  done((performance.now() - t0) / 1e3);
}));
"""
PAN_BOKEH = """
const done = arguments[0], view = Object.values(Bokeh.index)[0], r = view.model.x_range;
const w = r.end - r.start, t0 = performance.now();
r.setv({start: r.start + w / 10, end: r.end + w / 10});
""" + FRAME
BARE_WEBGL = """
const n = arguments[0], done = arguments[1], c = document.createElement('canvas');
c.width = 900; c.height = 800; document.body.appendChild(c);
const gl = c.getContext('webgl2');
function shader(kind, src) {
  const s = gl.createShader(kind);
  gl.shaderSource(s, '#version 300 es\\n' + src);
  gl.compileShader(s);
  return s;
}
const p = gl.createProgram();
gl.attachShader(p, shader(gl.VERTEX_SHADER,
  'in vec2 v; void main() { gl_Position = vec4(v, 0, 1); gl_PointSize = 2.0; }'));
gl.attachShader(p, shader(gl.FRAGMENT_SHADER,
  'precision mediump float; out vec4 o; void main() { o = vec4(0.2, 0.4, 0.8, 0.75); }'));
gl.linkProgram(p); gl.useProgram(p);
const xy = new Float32Array(2 * n);
for (let i = 0; i < xy.length; i++) xy[i] = Math.random() * 1.8 - 0.9;
gl.bindBuffer(gl.ARRAY_BUFFER, gl.createBuffer());
gl.bufferData(gl.ARRAY_BUFFER, xy, gl.STATIC_DRAW);
gl.enableVertexAttribArray(0); gl.vertexAttribPointer(0, 2, gl.FLOAT, false, 0, 0);
gl.enable(gl.BLEND); gl.blendFunc(gl.SRC_ALPHA, gl.ONE_MINUS_SRC_ALPHA);
const t0 = performance.now();
gl.clear(gl.COLOR_BUFFER_BIT); gl.drawArrays(gl.POINTS, 0, n);
gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, new Uint8Array(4));
done((performance.now() - t0) / 1e3);
"""


def measure_bokeh(driver, url: str):
    driver.get(url)
    while not driver.execute_script(BOKEH_IDLE):
        time.sleep(0.02)
    first = driver.execute_async_script("const done = arguments[0], t0 = 0;" + FRAME)
    return first, driver.execute_async_script(PAN_BOKEH)


def run_libraries(args) -> None:
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        pages, writes = bare_pages(args.n, tmp)
        for rep in range(args.reps):
            for name, path in pages.items():
                driver = browser.open_browser()
                try:
                    if name == "plotly":
                        first = browser.load_and_wait(driver, Path(path).as_uri())
                        pan = driver.execute_async_script(PAN_PLOTLY)
                    else:
                        first, pan = measure_bokeh(driver, Path(path).as_uri())
                    bare = driver.execute_async_script(BARE_WEBGL, args.n)
                finally:
                    driver.quit()
                for key, value in (("first", first), ("pan", pan), ("bare", bare)):
                    results.setdefault((name, key), []).append(value)
                print(f"run {rep + 1} {name}: first frame {first:.2f} s, pan frame {pan:.2f} s, "
                      f"bare WebGL draw {bare:.2f} s", flush=True)
        for name, path in pages.items():
            print(f"{name:<7} write {writes[name]:5.2f} s, {os.path.getsize(path) / 1e6:5.1f} MB; "
                  f"first frame {summary(results[name, 'first'])}; "
                  f"pan frame {summary(results[name, 'pan'])}")
    bare = [v for name in pages for v in results[name, "bare"]]
    print(f"bare WebGL draw of {args.n} points: {summary(bare)}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="points (default 1,000,000)")
    parser.add_argument("--reps", type=int, default=3, help="runs (default 3)")
    parser.add_argument("--images", action="store_true", help="a 28 x 28 image per point")
    parser.add_argument("--libraries", action="store_true", help="compare plotly and Bokeh")
    parser.add_argument("--write", help=argparse.SUPPRESS)  # the child that writes one page
    args = parser.parse_args()
    if args.write:
        print(f"{write_page(args.write, args.n, args.images):.4f}")
        return
    reason = browser.unavailable()
    if reason:
        raise SystemExit(f"no headless browser: {reason}")
    run_libraries(args) if args.libraries else run_targets(args)


if __name__ == "__main__":
    main()
