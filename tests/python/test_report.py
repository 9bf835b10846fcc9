"""korvane report: what the page holds and lets in, and how it behaves in headless Chromium."""
import base64
import hashlib
import json
import re
import subprocess
import sys
from urllib.parse import quote

import numpy as np
import pytest

import korvane
from korvane.spectra import Spectrum, open_spectra_path, read_spectra
from korvane.spectra import report

import browser

HOSTILE = "<img src=x onerror=alert(1)>"
# Small molecules of the shipped set whose peaks the fragments explain well.
IDS = ("MSBNK-MSSJ-MSJ00593", "MSBNK-MSSJ-MSJ00641", "MSBNK-MSSJ-MSJ02462")
PEAKS = np.array([[43, 999], [77, 800], [105, 900], [120, 300]], dtype=float)


def _command(*args, timeout=300):
    run = subprocess.run([sys.executable, "-m", "korvane", *map(str, args)],
                         capture_output=True, text=True, timeout=timeout)
    return run.returncode, run.stderr


def _jsonl(path, records):
    path.write_text("".join(json.dumps(r) + "\n" for r in records))
    return path


@pytest.fixture(scope="module")
def annotations():
    spectra = {sp.id: sp for sp in read_spectra(open_spectra_path())}
    out = [korvane.annotate(spectra[i]) for i in IDS]
    out.append(korvane.annotate(Spectrum(id="x'><b>bold</b>", name=HOSTILE,
                                         smiles="CC(=O)c1ccccc1", peaks=PEAKS)))
    out.append(korvane.annotate(Spectrum(id="broken", name="Broken ring", smiles="C1CC",
                                         peaks=PEAKS)))
    assert out[-1]["status"] == "error"
    return out


@pytest.fixture(scope="module")
def page(tmp_path_factory, annotations):
    work = tmp_path_factory.mktemp("report")
    source = _jsonl(work / "annotated.jsonl", annotations)
    out = work / "annotated.html"
    status, err = _command("report", source, "--out", out)
    assert status == 0, err
    return out


@pytest.fixture(scope="module")
def driver():
    reason = browser.missing()
    if reason:
        pytest.skip(reason)
    with browser.browser() as d:
        yield d


def _blocks(text, attrs=""):
    return re.findall(rf"<(script|style){attrs}>(.*?)</\1>", text, flags=re.S)


@pytest.mark.timeout(300)
def test_page_lets_in_only_its_own_script_style_and_data_images(page):
    text = page.read_text()
    csp = re.search(r'http-equiv="Content-Security-Policy" content="([^"]+)"', text).group(1)
    rules = dict(r.strip().split(" ", 1) for r in csp.split(";"))
    assert rules["default-src"] == "'none'" and rules["img-src"] == "data:"

    def digest(body):
        return "'sha256-" + base64.b64encode(hashlib.sha256(body.encode()).digest()).decode() + "'"

    (tag, script), = [b for b in _blocks(text) if b[0] == "script"]
    (_, style), = [b for b in _blocks(text) if b[0] == "style"]
    assert rules["script-src"] == digest(script) and rules["style-src"] == digest(style)
    # Nothing to fetch: every link is within the page, every image a data: URI.
    targets = re.findall(r"""\b(?:src|href|action|srcset)=['"]([^'"]*)""", text)
    assert targets and all(t.startswith(("#", "data:")) for t in targets)
    assert "url(" not in style and "@import" not in style


@pytest.mark.timeout(300)
def test_hostile_text_is_escaped_in_the_markup_and_the_data(page):
    text = page.read_text()
    assert HOSTILE not in text and "<b>bold" not in text
    assert "&lt;img src=x onerror=alert(1)&gt;" in text
    data = re.findall(r"<script type='application/json' class='data'>(.*?)</script>", text,
                      flags=re.S)
    assert len(data) == 4 and not any("<" in d for d in data)  # the error has no block
    assert any(json.loads(d)["name"] == HOSTILE for d in data)


@pytest.mark.timeout(120)
def test_unreadable_inputs_are_refused_with_their_line(tmp_path, annotations):
    mixed = _jsonl(tmp_path / "mixed.jsonl",
                   [annotations[0], korvane.predict_record("CCO", id="ethanol")])
    with pytest.raises(report.ReportError, match=r"mixed.jsonl:2: a predict record"):
        report.read_records(mixed)
    bad = tmp_path / "bad.jsonl"
    bad.write_text(json.dumps(annotations[0]) + "\n{not json\n")
    with pytest.raises(report.ReportError, match=r"bad.jsonl:2:"):
        report.read_records(bad)
    for number in ("NaN", "1e999"):
        line = json.dumps(annotations[0]).replace('"tolerance": 1', '"tolerance": ' + number)
        (tmp_path / "nan.jsonl").write_text(line + "\n")
        with pytest.raises(report.ReportError, match=r"nan.jsonl:1: .*not a"):
            report.read_records(tmp_path / "nan.jsonl")
    hits = _jsonl(tmp_path / "hits.jsonl", [{"id": "a", "name": "", "mass": 46,
                                            "candidates": 0, "true_rank": None, "hits": []}])
    status, err = _command("report", hits, "--out", tmp_path / "hits.html")
    assert status == 2 and "--library" in err and not (tmp_path / "hits.html").exists()


@pytest.mark.timeout(60)
def test_fragment_drawing_highlights_its_atoms_and_cut_bonds_apart():
    mol = report._molecule("CC(=O)c1ccccc1")
    svg = report.draw_molecule(mol, [0, 1, 2])
    assert browser.drawing_atoms("data:," + quote(svg)) == {0, 1, 2}
    rules = dict(re.findall(r"\.(k\d+)\{([^}]*)\}", svg))

    def fills(bond):  # highlight fills of the bond's paths
        styles = re.findall(rf"<path class='bond-{bond} [^']*?(k\d+)'", svg)
        return {re.search(r"fill:(#\w+)", rules[s]).group(1) for s in styles
                if "fill:#" in rules[s]}

    inner, cut, outside = fills(0), fills(2), fills(4)  # C0-C1, C1-C3 (cut), ring bond
    assert inner and cut and not inner & cut and not outside
    assert browser.drawing_atoms("data:," + quote(report.draw_molecule(mol))) == set()


def _section_data(text):
    return [json.loads(d) for d in re.findall(
        r"<script type='application/json' class='data'>(.*?)</script>", text, flags=re.S)]


@pytest.mark.timeout(120)
def test_predicted_intensities_and_whole_spectrum_scores_are_used_when_given():
    record = korvane.predict_record("CC(=O)c1ccccc1", id="acetophenone")
    older = {k: v for k, v in record.items() if k != "spectrum"}  # a schema 1 record
    plain, = _section_data(report.build_report([older], "predict"))
    assert {s[1] for s in plain["sticks"]} == {None}  # depth by generation
    record["spectrum"] = [[43, 999], [77, 499.5], [105, 250]]
    given, = _section_data(report.build_report([record], "predict"))
    heights = {s[0]: s[1] for s in given["sticks"]}
    assert heights[43] == 100 and heights[77] == 50 and heights[105] == 25.03
    assert {r[0]: r[1] for r in given["rows"]}[77] == 500
    hit = {"rank": 1, "id": "acetophenone", "name": "acetophenone", "smiles": "CC(=O)c1ccccc1",
           "recall_1": 0.5, "precision": 0.25}
    result = {"id": "m1", "name": "unknown", "mass": 120, "candidates": 1, "true_rank": 1,
              "hits": [hit]}
    assert "<td class='num' data-v='0.5'>" in report.build_report([result], "search")
    hit["score"] = 0.875
    text = report.build_report([result], "search")
    assert "<td class='num' data-v='0.875'>0.875</td>" in text
    assert ["score", "0.875"] in _section_data(text)[0]["hits"][0]["scores"]


# ----- In the browser


def _index_column(driver, n):
    from selenium.webdriver.common.by import By
    return [r.find_elements(By.TAG_NAME, "td")[n].text
            for r in driver.find_elements(By.CSS_SELECTOR, "#compounds tbody tr")
            if r.is_displayed()]


@pytest.mark.timeout(180)
def test_index_lists_every_compound_sorts_by_header_and_filters(driver, page, annotations):
    from selenium.webdriver.common.by import By
    browser.open_page(driver, page)
    assert _index_column(driver, 1) == [r["id"] for r in annotations]
    heads = driver.find_elements(By.CSS_SELECTOR, "#compounds th button")
    mass = [h.text for h in heads].index("M")
    heads[mass].click()
    values = _index_column(driver, mass)
    numbers = [int(v) for v in values if v != "–"]
    assert numbers == sorted(numbers) and values[-1] == "–"  # the error's blank last
    heads[mass].click()
    numbers = [int(v) for v in _index_column(driver, mass) if v != "–"]
    assert numbers == sorted(numbers, reverse=True)
    box = driver.find_element(By.ID, "filter")
    box.send_keys("HEPTANEDIONE")
    assert _index_column(driver, 2) == ["2,5-Heptanedione"]
    box.clear()
    box.send_keys("c(=o)")  # a piece of SMILES: the three ketones
    assert set(_index_column(driver, 1)) == {IDS[1], IDS[2], annotations[3]["id"]}
    assert "Broken ring: ValueError: SMILES could not be parsed" in driver.find_element(
        By.ID, "errors").text


@pytest.mark.timeout(180)
def test_selecting_a_peak_shows_its_fragment_highlighted(driver, page, annotations):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    browser.open_page(driver, page)
    result = annotations[2]
    matches = [f for p in result["peaks"] for f in p["matches"]]
    heavy = report._molecule(result["smiles"]).GetNumAtoms()

    def expected(f):
        return {a for a in f["atoms"] if a < heavy}

    row = browser.select_first_peak(driver, "c2")
    image = driver.find_element(By.CSS_SELECTOR, "#c2 figure.fragment img")
    assert row.get_attribute("aria-selected") == "true"
    assert browser.drawing_atoms(image.get_attribute("src")) == expected(matches[0])
    assert matches[0]["formula"] in driver.find_element(By.CSS_SELECTOR,
                                                        "#c2 figure.fragment").text
    row.send_keys(Keys.ARROW_DOWN)  # the keyboard moves the selection to the next match
    rows = driver.find_elements(By.CSS_SELECTOR, "#c2 table.peaks tr.pick")
    assert [r.get_attribute("aria-selected") for r in rows[:2]] == ["false", "true"]
    assert browser.drawing_atoms(image.get_attribute("src")) == expected(matches[1])


@pytest.mark.timeout(180)
def test_hostile_name_runs_nothing_and_shows_as_text(driver, page):
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.common.by import By
    browser.open_page(driver, page)
    section = driver.find_element(By.ID, "c3")
    driver.execute_script("arguments[0].scrollIntoView();", section)
    browser.wait_for(lambda: "ready" in section.get_attribute("class").split())
    with pytest.raises(NoAlertPresentException):
        driver.switch_to.alert.text
    assert driver.execute_script("return document.querySelectorAll('img[src=\"x\"], b').length"
                                 ) == 0
    assert section.find_element(By.TAG_NAME, "h2").text == f"{HOSTILE} x'><b>bold</b>"
    assert HOSTILE in driver.find_element(By.ID, "compounds").text
    assert f"Structure of {HOSTILE}" == section.find_element(
        By.CSS_SELECTOR, "figure.structure img").get_attribute("alt")


@pytest.mark.timeout(240)
def test_page_logs_no_error_sends_no_request_and_draws_something(driver, page):
    from selenium.webdriver.common.by import By
    browser.open_page(driver, page)
    browser.console_errors(driver)  # from here on: this page's
    for section in driver.find_elements(By.CSS_SELECTOR, "section.lazy"):
        driver.execute_script("arguments[0].scrollIntoView();", section)
        browser.wait_for(lambda: "ready" in section.get_attribute("class").split())
    browser.select_first_peak(driver, "c0")
    assert browser.console_errors(driver) == []
    assert browser.requests_made(driver, page) == []
    assert browser.png_colours(driver.get_screenshot_as_png()) > 50


@pytest.mark.timeout(300)
def test_predict_and_search_pages_draw_their_sections(driver, tmp_path):
    from selenium.webdriver.common.by import By
    smiles = tmp_path / "library.smi"
    smiles.write_text("CC(=O)c1ccccc1 acetophenone\nCCCC(=O)C butanone\nc1ccccc1O phenol\n")
    library, predicted = tmp_path / "library.msp", tmp_path / "library.jsonl"
    measured = _jsonl(tmp_path / "measured.jsonl", [
        {"id": "m1", "name": "unknown", "smiles": "CC(=O)c1ccccc1", "peaks": PEAKS.tolist()}])
    hits = tmp_path / "hits.jsonl"
    for args in (["predict", smiles, "--out", library, "--jobs", "1", "--quiet"],
                 ["predict", smiles, "--out", predicted, "--jobs", "1", "--quiet"],
                 ["search", measured, "--library", library, "--out", hits],
                 ["report", predicted, "--out", tmp_path / "p.html"],
                 ["report", hits, "--library", library, "--top", "2",
                  "--out", tmp_path / "s.html"]):
        status, err = _command(*args)
        assert status == 0, err
    browser.open_page(driver, tmp_path / "p.html")
    for section in driver.find_elements(By.CSS_SELECTOR, "section.lazy"):
        driver.execute_script("arguments[0].scrollIntoView();", section)
        browser.wait_for(lambda: "ready" in section.get_attribute("class").split())
    row = browser.select_first_peak(driver, "c0")
    assert row.get_attribute("aria-selected") == "true"
    browser.open_page(driver, tmp_path / "s.html")
    section = driver.find_element(By.ID, "c0")
    browser.wait_for(lambda: "ready" in section.get_attribute("class").split())
    cards = section.find_elements(By.CSS_SELECTOR, "li.hit")
    assert [c.find_element(By.TAG_NAME, "h3").text for c in cards][0] == \
        "Rank 1: acetophenone"
    assert len(cards) == 2 and all(c.find_element(By.TAG_NAME, "img").get_attribute(
        "src").startswith("data:image/svg+xml") for c in cards)
    assert browser.console_errors(driver) == []
