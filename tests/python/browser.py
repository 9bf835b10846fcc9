"""Headless Chromium through Selenium and chromium-driver, for the report page's tests, its
benchmark (bench/report.py) and the README's screenshot: a fresh profile per browser, no
background traffic of its own, and the console and network logs kept for the checks."""
import base64
import contextlib
import io
import os
import pathlib
import re
import shutil
import tempfile
import time
from urllib.parse import unquote

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")

# Flags that keep the browser from fetching anything by itself (updates, sync, field
# trials), so that every request in its log is one the page made.
FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-extensions", "--metrics-recording-only",
         "--hide-scrollbars")


def missing():
    """Returns why the browser cannot run here, or None."""
    if CHROMIUM is None or DRIVER is None:
        return "Chromium or chromium-driver is not installed (Debian: chromium chromium-driver)"
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "Selenium is not installed (Debian: python3-selenium)"
    return None


@contextlib.contextmanager
def browser(width=1280, height=900):
    """Yields a headless Chromium WebDriver with a window of width x height pixels; the
    browser is quit and its profile deleted however the block ends."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    profile = tempfile.mkdtemp(prefix="korvane-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in FLAGS:
        options.add_argument(flag)
    options.add_argument(f"--user-data-dir={profile}")
    options.add_argument(f"--window-size={width},{height}")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    driver = None
    try:
        # The sanitizer run preloads its runtime into the tests' interpreter; the browser,
        # not built for it, starts without.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
        driver = webdriver.Chrome(service=Service(DRIVER, env=env), options=options)
        driver.set_page_load_timeout(120)
        driver.set_script_timeout(60)
        yield driver
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def open_page(driver, path):
    """Loads the page at `path` and returns the seconds from the navigation's start to the
    end of the page script's set-up (its "korvane-ready" mark), as the page measures them."""
    driver.get_log("performance")  # the browser's own start (its new-tab page) is not the page's
    driver.get(pathlib.Path(path).resolve().as_uri())
    ready = driver.execute_script(
        "var m = performance.getEntriesByName('korvane-ready'); "
        "return m.length ? m[0].startTime : null;")
    return None if ready is None else ready / 1000


def console_errors(driver):
    """The browser console's error entries since the last call."""
    return [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def requests_made(driver, page):
    """URLs of every request the browser sent since the last call, other than for the page
    itself and for data: URIs (which the page's own drawings are): from the DevTools
    network events and the page's resource timing entries."""
    import json
    own = pathlib.Path(page).resolve().as_uri()
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] in ("Network.requestWillBeSent", "Network.webSocketCreated"):
            urls.append(message["params"].get("request", message["params"]).get("url", ""))
    urls += driver.execute_script(
        "return performance.getEntriesByType('resource').map(function (e) { return e.name; });")
    internal = ("data:", "chrome:", "about:", "devtools:")  # never the network
    return [u for u in urls if not u.startswith(internal) and u.split("#")[0] != own]


def select_first_peak(driver, section_id):
    """Scrolls to a section, waits until it is drawn and clicks its first selectable peak
    row; returns that row."""
    from selenium.webdriver.common.by import By
    section = driver.find_element(By.ID, section_id)
    driver.execute_script("arguments[0].scrollIntoView();", section)
    wait_for(lambda: "ready" in section.get_attribute("class").split())
    row = section.find_element(By.CSS_SELECTOR, "table.peaks tr.pick")
    driver.execute_script("arguments[0].scrollIntoView({block: 'center'});", row)
    row.click()
    driver.execute_script("arguments[0].scrollIntoView();", section)
    return row


def wait_for(condition, seconds=20):
    """Polls `condition` until it is true; raises TimeoutError after `seconds`."""
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            raise TimeoutError("the page did not reach the expected state in time")
        time.sleep(0.05)


def drawing_atoms(src):
    """The atom indices an RDKit drawing (a data: URI) highlights: its highlight ellipses."""
    head, body = src.split(",", 1)
    svg = base64.b64decode(body).decode() if head.endswith(";base64") else unquote(body)
    return {int(a) for a in re.findall(r"<ellipse[^>]*class='atom-(\d+)", svg)}


def png_colours(png):
    """The number of distinct colours of a PNG screenshot (bytes)."""
    import numpy as np
    from matplotlib import image
    pixels = image.imread(io.BytesIO(png), format="png")
    flat = (pixels[..., :3] * 255).astype(np.uint8).reshape(-1, 3)
    return len(np.unique(flat, axis=0))


def screenshot(page, out, section_id="c0", width=1280, height=1000):
    """Writes a PNG of the report `page` to `out`: the first compound's section with its
    first peak selected (the README's picture)."""
    with browser(width, height) as driver:
        open_page(driver, page)
        select_first_peak(driver, section_id)
        time.sleep(0.3)  # the selected fragment's image decodes
        pathlib.Path(out).write_bytes(driver.get_screenshot_as_png())
