"""Predicted intensities in records, the whole-spectrum score in search, and the
benchmark's set-only lists and intervals."""
import numpy as np
import pytest

import korvane
from korvane.spectra import benchmark_identification as ib
from korvane.spectra import scores as ident
from korvane.spectra import Spectrum, read_spectra
from korvane.spectra.search import search


def test_record_spectrum_has_base_999_the_cut_pieces_and_the_isotope_pattern():
    r = korvane.predict_record("CC(=O)Cl")
    assert r["schema_version"] == 2
    spectrum = dict((mz, i) for mz, i in r["spectrum"])
    assert [mz for mz, _ in r["spectrum"]] == sorted(spectrum)
    assert max(spectrum.values()) == 999
    # Every piece of a soft cut is a peak, and outweighs a piece only every-bond cuts give.
    soft = {p["mz"] for c in r["single_cuts"] for p in c["pieces"]}
    assert soft <= set(spectrum)
    assert min(spectrum[mz] for mz in soft) > spectrum[1]  # H from the C-H cuts
    # M = 78 with 37Cl at M+2: 24.24 / 75.76 of M (plus 13C2 and 18O, well below 1 %).
    assert spectrum[80] / spectrum[78] == pytest.approx(0.3200 + 0.0044, abs=0.003)
    assert spectrum[79] / spectrum[78] == pytest.approx(0.0230, abs=0.001)
    bad = korvane.predict_record("C(")
    assert bad["status"] == "error" and bad["spectrum"] is None


def test_predicted_spectrum_follows_the_weights_given():
    sources = ident.sources_of(*ident.analyse_fragments("CCO"))
    only_cuts = ident.spectrum_weights(soft_single=0, ring=0, generation1=0, generation2=0,
                                       molecular_ion=0)
    flat = ident.predicted_spectrum(sources, only_cuts)
    # With each reached m/z counted once, every splitting-cut m/z is a base peak.
    assert {i for _, i in flat} == {999.0}
    assert [mz for mz, _ in flat] == [1, 15, 17, 29, 31, 45]
    with pytest.raises(TypeError):
        ident.spectrum_weights(soft=1)


LIBRARY = """\
Name: like
DB#: L1
MW: 58
SMILES: CCCC
Num Peaks: 3
29 999
43 300
57 100

Name: unlike
DB#: L2
MW: 58
SMILES: CC(C)C
Num Peaks: 3
29 100
43 300
57 999
"""


def test_search_ranks_by_intensities_unless_asked_for_recall(tmp_path):
    lib = tmp_path / "lib.msp"
    lib.write_text(LIBRARY)
    library = read_spectra(lib)
    measured = [Spectrum("m", "butane", "CCCC", np.array([[29, 999], [43, 310], [57, 90]],
                                                          float))]
    (r,) = search(measured, library, score="spectrum")
    assert [h["id"] for h in r["hits"]] == ["L1", "L2"] and r["true_rank"] == 1
    assert r["hits"][0]["score"] > r["hits"][1]["score"]
    # The same m/z: by recall the two tie, and a tie counts against both.
    (r,) = search(measured, library, score="recall")
    assert [h["rank"] for h in r["hits"]] == [2, 2] and r["true_rank"] == 2
    assert (r["hits"][0]["recall_1"], r["hits"][0]["precision"]) == (1.0, 1.0)
    assert "score" not in r["hits"][0]
    with pytest.raises(ValueError):
        search(measured, library, score="nope")


def test_paired_bootstrap_is_seeded_and_brackets_the_difference():
    better, worse = [1, 1, 1, 2, 3, 1, 1, 2], [2, 1, 3, 2, 3, 2, 1, 2]
    ci = ib.paired_bootstrap(better, worse)
    assert ci == ib.paired_bootstrap(better, worse)
    assert ci[0] <= (5 - 2) / 8 <= ci[1] and ci[0] >= 0 and ci[1] <= 1
    assert ib.paired_bootstrap(worse, worse) == [0.0, 0.0]


def test_set_only_lists_hold_the_sets_own_structures():
    class Constant:  # scores nothing: every candidate ties
        score = "spectrum"

        def true_rank(self, peaks, mass, predictions, spectrum_free=False):
            return len(predictions)

    predicted = {"A": {"mass": 58, "x": [1]}, "B": {"mass": 58, "x": [1]},
                 "C": {"mass": 30, "x": [1]}}
    scored = [([], "A"), ([], "B"), ([], "C"), ([], "A")]  # A measured twice
    out, ranks = ib.set_only_results(scored, predicted, ("x", ib.KORVANE),
                                     lambda peaks, mass, lists: len(lists), Constant())
    assert ranks["x"] == ranks[ib.KORVANE] == [2, 2, 1, 2]
    assert out["x"] == {"top1": 0.25, "top10": 1.0, "n": 4}
    assert out["random_top1"] == pytest.approx((0.5 + 0.5 + 1 + 0.5) / 4)


def test_learned_score_ships_its_weights_and_ranks_ties_against(tmp_path):
    from korvane.spectra.learned_score import LearnedScore, feature_names
    model = LearnedScore.load()
    assert len(model.weights) == len(model.mean) == len(feature_names())
    assert "fitted_on" in model.meta and np.all(model.scale > 0)
    lib = tmp_path / "lib.msp"
    # The same structure twice (written two ways) and an isomer: the twins score alike.
    lib.write_text(LIBRARY.replace("SMILES: CC(C)C", "SMILES: C(C)CC")
                   + "\nName: iso\nDB#: L3\nMW: 58\nSMILES: CC(C)C\nNum Peaks: 1\n43 999\n"
                   + "\nName: no structure\nDB#: L4\nMW: 58\nNum Peaks: 1\n43 999\n")
    measured = [Spectrum("m", "butane", "CCCC",
                         np.array([[29, 440], [43, 999], [57, 20], [58, 120]], float))]
    (r,) = search(measured, read_spectra(lib))  # the learned score is the default
    ranks = {h["id"]: h["rank"] for h in r["hits"]}
    assert ranks["L1"] == ranks["L2"] >= 2 and r["true_rank"] == ranks["L1"]
    scores = {h["id"]: h["score"] for h in r["hits"]}
    assert scores["L1"] == scores["L2"] != scores["L3"]
    assert ranks["L4"] == 4 and scores["L4"] is None  # nothing to analyse: last
