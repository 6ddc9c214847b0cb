"""The interactive page: what the file holds, and what a real browser shows of it."""

import os
import re
from pathlib import Path

import numpy as np
import pytest

plotly = pytest.importorskip("plotly")

import browser  # noqa: E402
from brembolt.vornik import UMAP  # noqa: E402
from brembolt.vornik import _explore  # noqa: E402
from brembolt.vornik._palette import PALETTE_20, UNLABELLED_COLOUR  # noqa: E402
from brembolt.vornik.plot import explore  # noqa: E402

# The browser test's screenshots stay here for a look after the run.
ARTIFACTS = Path(os.environ.get("VORNIK_ARTIFACTS",
                                Path(__file__).parents[2] / "build" / "artifacts"))


def grid_page_inputs():
    """400 points on a grid, spaced widely enough for a pointer to find each."""
    side = 20
    gx, gy = np.meshgrid(np.arange(side), np.arange(side))
    Y = np.column_stack([gx.ravel(), gy.ravel()]).astype(np.float32)
    n = len(Y)
    labels = np.array([f"class {1 + (i // 40)}" for i in range(n)], dtype=object)
    labels[::17] = None
    labels[5::17] = -1
    hover = {"weight": np.arange(n) * 0.5, "tag": [f"<t{i}>" for i in range(n)]}
    # Each image spells its row in its pixels: red the low byte, green the high.
    images = np.zeros((n, 8, 8, 3), np.uint8)
    images[..., 0] = (np.arange(n) % 256)[:, None, None]
    images[..., 1] = (np.arange(n) // 256)[:, None, None]
    return Y, labels, hover, images


def test_page_is_self_contained_and_written_atomically(tmp_path, monkeypatch):
    Y, labels, hover, images = grid_page_inputs()
    path = tmp_path / "page.html"
    fig = explore(Y, labels, hover, images, path=path, title="grid <1>")
    page = path.read_text(encoding="utf-8")
    assert fig is not None and "<title>grid &lt;1&gt;</title>" in page
    assert not re.search(r"""<script[^>]*\bsrc\s*=|<link[^>]*\bhref\s*=\s*["']?(https?:)?//""",
                         page, re.IGNORECASE)
    assert "Plotly.newPlot" in page and "vornik-hover-image" in page
    mode = os.umask(0o022)
    os.umask(mode)
    assert path.stat().st_mode & 0o777 == 0o666 & ~mode

    # A write that fails leaves the old page whole and no temporary file.
    def fail(*args):
        raise OSError("disk full")

    monkeypatch.setattr(_explore.os, "replace", fail)
    with pytest.raises(OSError, match="disk full"):
        explore(Y[:10], path=path)
    assert path.read_text(encoding="utf-8") == page
    assert sorted(p.name for p in tmp_path.iterdir()) == ["page.html"]


def test_classes_greys_order_and_hover_sample():
    rng = np.random.default_rng(1)
    n = 3000
    Y = rng.normal(size=(n, 3))
    names = np.array(["b10", "b2", "a", "B3"], dtype=object)
    labels = names[rng.integers(0, 4, n)]
    labels[:7] = None
    labels[7:9] = "-1"
    labels[9] = float("nan")
    labels[10:15] = "rare"
    fig = explore(Y, labels, hover={"v": np.arange(n) * 2}, hover_points=300)
    legend = [t.name for t in fig.data if t.showlegend]
    assert legend == ["unlabelled", "a", "b2", "B3", "b10", "rare"]
    assert fig.data[0].marker.color == UNLABELLED_COLOUR
    colours = [t.marker.color for t in fig.data if t.showlegend][1:]
    assert len(set(colours)) == 5 and UNLABELLED_COLOUR not in colours
    assert len(set(PALETTE_20)) == 20

    # Every point is drawn once; the hover traces carry a sample with at least
    # the small classes whole, and each hover row is the point it describes.
    assert sum(len(t.x) for t in fig.data) == n
    rows = np.concatenate([np.asarray(t.customdata)[:, 0].astype(int)
                           for t in fig.data if t.hoverinfo != "skip"])
    assert len(rows) <= 2 * 300 and len(np.unique(rows)) == len(rows)
    assert set(range(10, 15)) <= set(rows.tolist())
    first = next(t for t in fig.data if t.hoverinfo != "skip" and len(t.x))
    row = int(first.customdata[0][0])
    assert np.float32(first.x[0]) == np.float32(Y[row, 0])
    assert first.customdata[0][1] == str(row * 2)
    assert "v: %{customdata[1]}" in first.hovertemplate

    # Float labels with NaN gaps name their classes as integers; a model gives its embedding.
    model = UMAP(n_neighbors=5, n_epochs=20, random_state=0).fit(Y[:100])
    fig = explore(model, np.where(np.arange(100) % 3, np.arange(100) % 2, np.nan))
    assert [t.name for t in fig.data if t.showlegend] == ["unlabelled", "0", "1"]
    assert sum(len(t.x) for t in fig.data) == 100


@pytest.mark.parametrize("kwargs, message", [
    (dict(Y=np.zeros((5, 1))), "at least two columns"),
    (dict(Y=np.zeros((0, 2))), "no points"),
    (dict(Y=np.array([[0, 0], [np.nan, 1]])), "1 points with non-finite.*row 1"),
    (dict(Y=np.zeros((5, 2)), labels=[1, 2]), "labels has 2 entries for 5"),
    (dict(Y=np.zeros((5, 2)), hover={"a": [1, 2]}), "hover column 'a'"),
    (dict(Y=np.zeros((5, 2)), images=np.zeros((5, 10))), "not square"),
    (dict(Y=np.zeros((5, 2)), images=np.zeros((4, 8, 8))), "images must be"),
    (dict(Y=np.zeros((5, 2)), hover_points=-1), "hover_points"),
])
def test_bad_input_is_refused_clearly(kwargs, message):
    with pytest.raises(ValueError, match=message):
        explore(**kwargs)
    with pytest.raises(Exception, match="not fitted"):
        explore(UMAP())


def test_page_in_a_real_browser(tmp_path):
    reason = browser.unavailable()
    if reason:
        pytest.skip(f"no headless browser: {reason}")
    from PIL import Image

    Y, labels, hover, images = grid_page_inputs()
    path = tmp_path / "grid.html"
    fig = explore(Y, labels, hover, images, path=path)
    driver = browser.open_browser()
    try:
        browser.load_and_wait(driver, path.as_uri(), timeout=60)
        assert driver.execute_script(browser.DRAWN_POINTS_JS) == len(Y)

        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        shot = ARTIFACTS / "explore_grid.png"
        driver.save_screenshot(str(shot))
        print(f"screenshot: {shot}")
        pixels = np.asarray(Image.open(shot).convert("RGB")).astype(int)
        coloured = (pixels.max(axis=2) - pixels.min(axis=2)) > 60
        grey = (np.abs(pixels - 222).max(axis=2) <= 8)  # light grey at 0.75 on white
        assert coloured.sum() > 20 * 300 and grey.sum() > 20 * 40

        # The pointer on a known point shows its label, row, columns and image.
        trace = next(i for i, t in enumerate(fig.data) if t.name == "class 3" and t.showlegend)
        row = int(fig.data[trace].customdata[4][0])
        browser.move_pointer(driver, *browser.point_on_screen(driver, trace, 4))
        text = _wait_for(driver, "const h = document.querySelector('.hoverlayer .hovertext');"
                                 "return h && h.textContent;")
        assert "class 3" in text and f"row {row}" in text
        assert f"weight: {row * 0.5:g}" in text and f"tag: <t{row}>" in text
        assert _wait_for(driver, "const b = document.getElementById('vornik-hover-image');"
                                 "return b.style.display == 'block' && b.dataset.row;") == str(row)
        assert driver.execute_script(
            "return Array.from(document.getElementById('vornik-hover-image').getContext('2d')"
            ".getImageData(3, 3, 1, 1).data);") == [row % 256, row // 256, 0, 255]
        driver.save_screenshot(str(ARTIFACTS / "explore_grid_hover.png"))

        # A click on a class in the legend hides it.
        drawn = len(Y) - sum(len(t.x) for t in fig.data if t.name == "class 3")
        legend_items = driver.find_elements("css selector", ".legend .traces")
        names = [item.text for item in legend_items]
        legend_items[names.index("class 3")].click()
        assert _wait_for(driver, browser.DRAWN_POINTS_JS + "", lambda v: v == drawn) == drawn
    finally:
        driver.quit()


def _wait_for(driver, script, accept=bool, timeout=10.0):
    import time

    deadline = time.monotonic() + timeout
    while True:
        value = driver.execute_script(script)
        if accept(value) or time.monotonic() > deadline:
            return value
        time.sleep(0.05)


def test_cli_writes_the_page(tmp_path, capsys):
    from brembolt.vornik import _cli

    rng = np.random.default_rng(0)
    np.save(tmp_path / "x.npy", rng.normal(size=(60, 4)))
    np.save(tmp_path / "y.npy", np.repeat(["north", "south"], 30))
    assert _cli.main(["embed", str(tmp_path / "x.npy"), "-o", str(tmp_path / "e.npy"), "--labels",
                      str(tmp_path / "y.npy"), "--html", str(tmp_path / "e.html"),
                      "--n-neighbors", "8", "--n-epochs", "20"]) == 0
    assert '"name":"south"' in (tmp_path / "e.html").read_text(encoding="utf-8")
    assert _cli.main(["demo", "--out-dir", str(tmp_path), "--html", str(tmp_path / "d.html"),
                      "--n-epochs", "20"]) == 0
    assert "vornik-hover-image" in (tmp_path / "d.html").read_text(encoding="utf-8")
    assert "interactive page written to" in capsys.readouterr().out
