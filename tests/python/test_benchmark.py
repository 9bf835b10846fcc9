"""Accuracy benchmark and identification search over small hand-made spectra."""
import argparse
import json

import pytest

from korvane.cli import spectra as spectra_commands
from korvane.spectra.benchmark import PREDICTORS, run_benchmark
from korvane.spectra.search import search
from korvane.spectra import Spectrum, read_spectra

import numpy as np

ETHANOL = [[15, 50], [27, 100], [29, 200], [31, 999], [45, 400], [46, 300]]
METHANE = [[13, 80], [14, 160], [15, 850], [16, 999]]


def _spectra():
    return [Spectrum("ethanol", "ethanol", "OCC", np.array(ETHANOL, float)),
            Spectrum("methane", "methane", "C", np.array(METHANE, float)),
            Spectrum("unknown", "no structure", None, np.array(METHANE, float))]


def _run(argv):
    parser = argparse.ArgumentParser()
    spectra_commands.add_commands(parser.add_subparsers(dest="command"))
    args = parser.parse_args(argv)
    return args.handler(args)


def test_all_single_cuts_scores_and_counts():
    result, counts = run_benchmark(_spectra(), candidates=False)
    assert counts == {"spectra": 3, "no_structure": 1, "failed": 0}
    ref = result["all_single_cuts"]
    # Ethanol's cuts give {1, 15, 17, 29, 31, 45}; methane's {1, 15}.
    assert ref["recall_1"]["median"] == pytest.approx((0.8 + 2 / 3) / 2)
    assert ref["recall_exact"]["mean"] == pytest.approx((0.8 + 1 / 3) / 2)
    assert ref["distinct_mz"] == {"median": 4, "mean": 4}
    assert ref["precision"]["median"] == pytest.approx(0.9)
    assert ref["chance_1"]["mean"] == pytest.approx((14 / 45 + 4 / 15) / 2)
    assert (ref["no_prediction"], ref["n"]) == (0, 2)


def test_json_keys_and_identification(tmp_path):
    path = tmp_path / "s.jsonl"
    path.write_text("".join(json.dumps({"id": s.id, "name": s.name, "smiles": s.smiles,
                                        "peaks": s.peaks.tolist()}) + "\n"
                            for s in _spectra()))
    out, readme = tmp_path / "r.json", tmp_path / "README.md"
    readme.write_text("# x\n\ntext\n")
    assert _run(["benchmark", str(path), "--jobs", "1", "--json", str(out),
                 "--update-readme", str(readme)]) == 0
    result = json.loads(out.read_text())
    assert list(result)[:len(PREDICTORS) + 2] == list(PREDICTORS) + ["candidates_median",
                                                                     "random_top1"]
    assert PREDICTORS[-1] == "korvane"
    assert set(result["set_only"]) == set(PREDICTORS) | {"random_top1"}
    for name in PREDICTORS:
        assert set(result["set_only"][name]) == {"top1", "top10", "n"}
    assert set(result["ci95_top1_vs_all_cuts"]) == set(PREDICTORS) - {"all_single_cuts"}
    for low, high in result["ci95_top1_vs_all_cuts"].values():
        assert -1 <= low <= high <= 1
    assert set(result["spectrum_free"]) >= {"top1", "set_only_top1"}
    for name in PREDICTORS:
        assert list(result[name]) == ["recall_1", "recall_exact", "distinct_mz", "precision",
                                      "chance_1", "no_prediction", "n", "top1", "top10"]
        assert all(set(result[name][m]) == {"median", "mean"} for m in list(result[name])[:5])
        assert 0 <= result[name]["top1"] <= result[name]["top10"] <= 1
    assert 0 < result["random_top1"] <= 1 and result["candidates_median"] >= 1
    text = readme.read_text()
    assert text.startswith("# x\n\ntext\n") and "| all single-bond cuts |" in text
    # A second update replaces the block instead of adding one.
    _run(["benchmark", str(path), "--jobs", "1", "--no-identification",
          "--update-readme", str(readme)])
    assert readme.read_text().count("accuracy-results:start") == 1


LIBRARY = """\
Name: ethanol
DB#: L1
MW: 46
SMILES: CCO
Num Peaks: 5
15 999
29 999
31 999
45 999
46 999

Name: ethanol again
DB#: L2
MW: 46
SMILES: C(C)O
Num Peaks: 2
31 999
46 999

Name: dimethyl ether
DB#: L3
MW: 46
SMILES: COC
Num Peaks: 3
15 999
45 999
46 999

Name: methane
DB#: L4
MW: 16
Num Peaks: 1
15 999
"""


def test_search_ranks_library_and_counts_ties_against(tmp_path):
    lib = tmp_path / "lib.msp"
    lib.write_text(LIBRARY)
    library = read_spectra(lib)
    # Top peaks 31 45 29 27 15 (M = 46 left out, also from the library's m/z). Scores:
    # L1 (4/5, 1), L3 (2/5, 1), L2 (1/5, 1), methane L4 (1/5, 1).
    (r,) = search(_spectra()[:1], library, same_mass=True, score="recall")
    assert r["candidates"] == 3 and r["true_rank"] == 1
    assert [(h["id"], h["rank"]) for h in r["hits"]] == [("L1", 1), ("L3", 2), ("L2", 3)]
    assert r["hits"][0]["recall_1"] == pytest.approx(0.8)
    (r,) = search(_spectra()[:1], library, top=10, score="recall")
    assert [(h["id"], h["rank"]) for h in r["hits"]] == [("L1", 1), ("L3", 2), ("L2", 4),
                                                         ("L4", 4)]
