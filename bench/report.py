"""Size and load time of `korvane report` pages: the annotations of the 272 shipped open EI
spectra (data/ei_open.jsonl), and a batch of 5000 made of those annotations repeated
under new ids (drawings of a repeated molecule are made once, so the build is quick; the
page holds every section's data in full, as a batch of 5000 different compounds would).

For each page: the seconds to build it, its size, and in headless Chromium the seconds
from the navigation's start to the page script's set-up (sorting and filtering work from
then on) and to the load event, then the seconds a click on a header takes to sort the
index and typing into the filter takes to hide rows. Every load runs in a fresh browser,
`--rounds` times; the medians are printed as a Markdown table and kept as JSON.
--screenshot writes the README's picture of the 272-compound page.

    .venv/bin/python bench/report.py [--rounds 3] [--batch 5000] [--screenshot docs/report.png]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SCREENSHOT_ID = "MSBNK-MSSJ-MSJ02462"  # S-ethyl thiophene-2-carbothioate: small, well explained
sys.path.insert(0, str(ROOT / "tests" / "python"))
import browser  # noqa: E402  (the tests' own browser helper)


def _annotations(work, jobs):
    out = work / "annotated.jsonl"
    subprocess.run([sys.executable, "-m", "korvane", "annotate", str(ROOT / "data" /
                    "ei_open.jsonl"), "--out", str(out), "--jobs", str(jobs)], check=True)
    return out


def _repeated(source, n, out):
    lines = [json.loads(x) for x in source.read_text().splitlines() if x.strip()]
    with open(out, "w") as f:
        for i in range(n):
            r = dict(lines[i % len(lines)])
            r["id"] = f"{r['id']}#{i // len(lines)}"
            f.write(json.dumps(r) + "\n")
    return out


def _build(jsonl, html):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "korvane", "report", str(jsonl), "--out", str(html)],
                   check=True)
    return time.perf_counter() - start


def _load(html):
    """(set-up s, load event s, sort s, filter s) of one fresh browser's visit."""
    from selenium.webdriver.common.by import By
    with browser.browser() as driver:
        ready = browser.open_page(driver, html)
        loaded = driver.execute_script(
            "return performance.getEntriesByType('navigation')[0].loadEventEnd;") / 1000
        head = driver.find_elements(By.CSS_SELECTOR, "#compounds th button")[2]
        start = time.perf_counter()
        head.click()
        driver.execute_script("return 0;")  # the click's handler has run
        sort = time.perf_counter() - start
        box = driver.find_element(By.ID, "filter")
        start = time.perf_counter()
        box.send_keys("acid")
        driver.execute_script("return 0;")
        filtered = time.perf_counter() - start
        errors = browser.console_errors(driver)
        if errors:
            raise RuntimeError(f"console errors: {errors[:3]}")
    return ready, loaded, sort, filtered


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=3, help="browser visits per page")
    ap.add_argument("--batch", type=int, default=5000, help="compounds of the large page")
    ap.add_argument("--jobs", type=int, default=2, help="workers of korvane annotate")
    ap.add_argument("--screenshot", help="write the 272-compound page's PNG here")
    ap.add_argument("--out", default=str(ROOT / "bench" / "results" / "report.json"),
                    help="JSON results (default bench/results/report.json)")
    args = ap.parse_args()
    reason = browser.missing()
    if reason:
        sys.exit(f"bench/report.py: {reason}")
    rows = []
    with tempfile.TemporaryDirectory(prefix="korvane-report-") as tmp:
        work = Path(tmp)
        annotated = _annotations(work, args.jobs)
        pages = [("272 open EI spectra", annotated, work / "open.html")]
        if args.batch:
            big = _repeated(annotated, args.batch, work / "batch.jsonl")
            pages.append((f"{args.batch} (the 272 repeated)", big, work / "batch.html"))
        for label, jsonl, html in pages:
            seconds = _build(jsonl, html)
            visits = [_load(html) for _ in range(args.rounds)]
            med = [statistics.median(v[k] for v in visits) for k in range(4)]
            rows.append({"page": label, "build_s": round(seconds, 1),
                         "mb": round(os.path.getsize(html) / 1e6, 1),
                         "ready_s": round(med[0], 2), "load_s": round(med[1], 2),
                         "sort_s": round(med[2], 3), "filter_s": round(med[3], 3)})
        if args.screenshot:
            ids = [json.loads(x)["id"] for x in annotated.read_text().splitlines()]
            browser.screenshot(pages[0][2], args.screenshot,
                               f"c{ids.index(SCREENSHOT_ID) if SCREENSHOT_ID in ids else 0}")
    print("| page | build (s) | size (MB) | index ready (s) | load event (s) | "
          "sort (s) | filter (s) |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        print(f"| {r['page']} | {r['build_s']} | {r['mb']} | {r['ready_s']} | {r['load_s']} "
              f"| {r['sort_s']} | {r['filter_s']} |")
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(json.dumps({"rounds": args.rounds, "pages": rows}, indent=1)
                              + "\n")


if __name__ == "__main__":
    main()
