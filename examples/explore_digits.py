"""Embeds the handwritten digits and writes an interactive page of them, and its screenshot.

Run after `pip install ".[explore]"`:  python examples/explore_digits.py [out_dir]

digits.html: hover a point to see its digit, row, two columns and its 8 x 8
image; click a digit in the legend to hide it. digits_page.png: the page as
headless Chromium draws it (when Debian's chromium is installed), and
digits_hover.png with the pointer on a point (with selenium and
chromium-driver too).
"""

import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
from sklearn.datasets import load_digits

from brembolt.vornik import UMAP
from brembolt.vornik.plot import explore


CHROMIUM_FLAGS = ["--headless=new", "--no-sandbox", "--enable-unsafe-swiftshader",
                  "--use-angle=swiftshader", "--hide-scrollbars", "--window-size=1000,800"]


def screenshot(page: Path, png: Path) -> bool:
    """Headless Chromium's picture of the page; WebGL runs on its software renderer."""
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        return False
    subprocess.run([chromium, *CHROMIUM_FLAGS, "--virtual-time-budget=30000",
                    f"--screenshot={png}", page.resolve().as_uri()],
                   check=True, capture_output=True, timeout=300)
    return True


def hover_screenshot(page: Path, png: Path, trace: int, point: int) -> bool:
    """The page with the pointer on a point (needs selenium and chromium-driver)."""
    try:
        from selenium import webdriver
        from selenium.webdriver.common.action_chains import ActionChains
    except ImportError:
        return False
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        return False
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in CHROMIUM_FLAGS:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=webdriver.ChromeService(shutil.which("chromedriver")),
                              options=options)
    try:
        driver.get(page.resolve().as_uri())
        time.sleep(2)  # the plot is drawn
        x, y = driver.execute_script("""
            const gd = document.querySelector('.js-plotly-plot'), t = gd._fullData[arguments[0]];
            const xa = gd._fullLayout.xaxis, ya = gd._fullLayout.yaxis;
            return [xa._offset + xa.l2p(t.x[arguments[1]]), ya._offset + ya.l2p(t.y[arguments[1]])];
            """, trace, point)
        actions = ActionChains(driver)
        actions.w3c_actions.pointer_action.move_to_location(int(x), int(y))
        actions.perform()
        time.sleep(1)
        driver.save_screenshot(str(png))
    finally:
        driver.quit()
    return True


def main(out_dir: Path) -> None:
    out_dir.mkdir(parents=True, exist_ok=True)
    digits = load_digits()
    model = UMAP(random_state=0).fit(digits.data)
    labels = digits.target.astype(object)
    labels[::25] = None  # some points left unlabelled: drawn in grey
    table = pd.DataFrame({"ink": digits.data.sum(axis=1),
                          "darkest pixel": np.argmax(digits.data, axis=1)})
    page = out_dir / "digits.html"
    fig = explore(model, labels, hover=table, images=digits.images, path=page,
                  title="handwritten digits (8 x 8 pixels)")
    print(f"interactive page written to {page} ({page.stat().st_size / 1e6:.1f} MB)")
    png = out_dir / "digits_page.png"
    if not screenshot(page, png):
        print("no chromium on PATH: no screenshot")
        return
    print(f"screenshot written to {png}")
    hovered = out_dir / "digits_hover.png"
    sevens = next(i for i, trace in enumerate(fig.data) if trace.name == "7")
    if hover_screenshot(page, hovered, sevens, 0):
        print(f"screenshot with the pointer on a point written to {hovered}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("."))
