"""Annotation of measured peaks with predicted fragments, its command and mirror plot."""
import json

import numpy as np
import pytest

import korvane
from korvane.spectra import Spectrum

# Ethyl acetate: the soft O2-C3 bond gives C2H5O (45) and C2H3O (43); M = 88.
PEAKS = [[29, 300], [42, 50], [43, 999], [44, 20], [61, 100], [70, 10], [88, 80]]


def _spectrum():
    return Spectrum("ea", "ethyl acetate", "CCOC(C)=O", np.array(PEAKS, float))


def test_every_peak_lists_its_fragments_exact_or_within_tolerance():
    r = korvane.annotate(_spectrum())
    assert (r["status"], r["nominal_mass"], r["tolerance"]) == ("ok", 88, 1)
    by_mz = {p["mz"]: p for p in r["peaks"]}
    assert [p["mz"] for p in r["peaks"]] == [mz for mz, _ in PEAKS]
    hit = by_mz[43]["matches"][0]
    assert (hit["formula"], hit["mz"], hit["exact"], hit["generation"]) == ("C2H3O", 43, True, 1)
    assert hit["bonds"] == ["O2-C3"] and hit["smiles"] == "C[C]=O"
    assert hit["atoms"] == [3, 4, 5, 11, 12, 13]  # acetyl: C3 O5 C4 and its hydrogens
    # 42 and 44 lie within 1 of 43 (and 44 of 45), not exactly.
    assert by_mz[42]["matches"] and not any(m["exact"] for m in by_mz[42]["matches"])
    assert sorted(m["mz"] for m in by_mz[44]["matches"]) == [43, 45]
    assert by_mz[88]["matches"][0]["generation"] == 0
    assert by_mz[70]["matches"] == [] and by_mz[29]["matches"] == []
    explained = sum(i for mz, i in PEAKS if by_mz[mz]["matches"]) / sum(i for _, i in PEAKS)
    assert r["explained_intensity"] == pytest.approx(explained)
    # Exact matching only: 42 and 44 lose theirs.
    exact = korvane.annotate(_spectrum(), tolerance=0)
    assert [p["mz"] for p in exact["peaks"] if p["matches"]] == [43, 88]
    assert set(r["scores"]) == {"recall_1", "recall_exact", "distinct_mz", "precision",
                                "chance_1"}


def test_structure_override_missing_structure_and_failures():
    pairs = [(15, 999.0), (16, 500.0)]
    r = korvane.annotate(pairs, smiles="C")
    assert r["status"] == "ok" and r["nominal_mass"] == 16
    with pytest.raises(ValueError, match="has no structure"):
        korvane.annotate(pairs)
    bad = korvane.annotate(pairs, smiles="C1CC")
    assert bad["status"] == "error" and bad["error"] and bad["peaks"] is None


def test_command_writes_annotations_and_plots(tmp_path):
    from korvane.cli import main
    path = tmp_path / "s.jsonl"
    rows = [{"id": "ea/1", "name": "ethyl acetate", "smiles": "CCOC(C)=O", "peaks": PEAKS},
            {"id": "x", "name": "no structure", "smiles": None, "peaks": PEAKS}]
    path.write_text("".join(json.dumps(r) + "\n" for r in rows))
    out, plots = tmp_path / "a.jsonl", tmp_path / "plots"
    assert main(["annotate", str(path), "--out", str(out), "--plot", str(plots),
                 "--jobs", "1"]) == 0
    (r,) = [json.loads(line) for line in out.read_text().splitlines()]
    assert r["id"] == "ea/1" and r["status"] == "ok"
    assert [p.name for p in plots.iterdir()] == [r["plot"]]
    assert r["plot"].startswith("ea_1-") and r["plot"].endswith(".png")


def test_plot_annotation_draws_into_given_axes():
    import matplotlib.pyplot as plt
    r = korvane.annotate(_spectrum())
    fig, ax = plt.subplots()
    assert korvane.plot_annotation(r, ax=ax) is ax
    labels = [t.get_text() for t in ax.texts]
    assert any(t.startswith("C2H3O\n43") for t in labels)
    assert "ethyl acetate" in ax.get_title()
    plt.close(fig)
