"""Headless Chromium for the interactive page, shared by its test and bench/explore.py.

Debian's chromium and chromium-driver, driven by selenium with both paths
given, so nothing is looked up or fetched. Without a GPU, WebGL runs on
Chromium's software renderer (SwiftShader), which has to be allowed.
"""

from __future__ import annotations

import os
import shutil
import time

BROWSERS = ("chromium", "chromium-browser", "google-chrome")
DRIVERS = ("chromedriver",)
WINDOW = (1000, 900)
SANITIZER_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")


def unavailable() -> str | None:
    """Why no headless browser can run here, or None when one can."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed (pip install -e '.[test]')"
    if not any(shutil.which(b) for b in BROWSERS):
        return "no Chromium browser on PATH (Debian: apt-get install chromium)"
    if not any(shutil.which(d) for d in DRIVERS):
        return "no chromedriver on PATH (Debian: apt-get install chromium-driver)"
    return None


def open_browser(window=WINDOW):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = next(shutil.which(b) for b in BROWSERS if shutil.which(b))
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                 "--enable-unsafe-swiftshader", "--use-angle=swiftshader",
                 "--force-device-scale-factor=1", f"--window-size={window[0]},{window[1]}"):
        options.add_argument(flag)
    driver_path = next(shutil.which(d) for d in DRIVERS if shutil.which(d))
    # The browser is not ours to instrument: under the sanitizer step the
    # preloaded runtime would abort it, so it starts without the preload.
    env = {k: v for k, v in os.environ.items() if k not in SANITIZER_ENV}
    driver = webdriver.Chrome(service=Service(driver_path, env=env), options=options)
    driver.set_page_load_timeout(300)
    driver.set_script_timeout(300)
    return driver


# The plot's div and its WebGL scene once plotly has drawn it.
SCENE_JS = """
const gd = document.querySelector('.js-plotly-plot');
const scene = gd && gd._fullLayout && gd._fullLayout._plots && gd._fullLayout._plots.xy &&
  gd._fullLayout._plots.xy._scene;
"""

# Points in the scatter groups that the scene draws (visible, non-empty
# traces; each trace's calcdata names its group).
DRAWN_POINTS_JS = SCENE_JS + """
if (!scene || !scene.scatter2d) return null;
let drawn = 0;
for (const cd of gd.calcdata) {
  const group = scene.scatter2d.groups[cd[0].t.index];
  if (cd[0].trace.visible === true && cd[0].t.index != null && group) drawn += group.count;
}
return drawn;
"""


def load_and_wait(driver, url: str, timeout: float = 300.0) -> float:
    """Opens url; returns the seconds from navigation to the first frame after the plot is drawn."""
    driver.get(url)
    deadline = time.monotonic() + timeout
    while not driver.execute_script(SCENE_JS + "return !!(scene && scene.dirty === false);"):
        if time.monotonic() > deadline:
            raise TimeoutError(f"the plot of {url} was not drawn within {timeout} s")
        time.sleep(0.02)
    return driver.execute_async_script(
        SCENE_JS + AFTER_FRAME_JS + "afterFrame(arguments[arguments.length - 1]);") / 1e3


# afterFrame(callback) calls back with the ms since navigation once the next
# frame is out and the GPU has finished it (reading a pixel waits for the
# drawing before it).
AFTER_FRAME_JS = """
function afterFrame(callback) {
  const canvas = gd.querySelector('canvas.gl-canvas-context');
  const gl = canvas && (canvas.getContext('webgl') || canvas.getContext('webgl2'));
  requestAnimationFrame(() => requestAnimationFrame(() => {
    if (gl) gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, new Uint8Array(4));
    callback(performance.now());
  }));
}
"""


def point_on_screen(driver, trace: int, point: int):
    """Viewport coordinates (x, y) of a point of a trace, from the plot's axes."""
    return driver.execute_script(SCENE_JS + """
const t = gd._fullData[arguments[0]], k = arguments[1];
const xa = gd._fullLayout.xaxis, ya = gd._fullLayout.yaxis, box = gd.getBoundingClientRect();
return [box.left + xa._offset + xa.l2p(t.x[k]), box.top + ya._offset + ya.l2p(t.y[k])];
""", trace, point)


def move_pointer(driver, x: float, y: float) -> None:
    from selenium.webdriver.common.action_chains import ActionChains

    actions = ActionChains(driver)
    actions.w3c_actions.pointer_action.move_to_location(int(round(x)), int(round(y)))
    actions.perform()
