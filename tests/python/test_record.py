"""predict_record: the record's shape, its agreement with VIF and its error records."""
import json

import pytest

import korvane
from korvane.batch.record import RECORD_KEYS


def test_record_is_json_ready_with_keys_in_order():
    r = korvane.predict_record("CC(=O)Cl", id="acetyl chloride")
    assert tuple(r) == RECORD_KEYS
    assert json.loads(json.dumps(r)) == r
    assert (r["status"], r["error"], r["id"]) == ("ok", None, "acetyl chloride")
    assert (r["formula"], r["nominal_mass"], r["canonical_smiles"]) == ("C2H3ClO", 78, "CC(=O)Cl")
    assert r["monoisotopic_mass"] == pytest.approx(77.98724, abs=1e-4)
    assert r["inchikey"] == "WETWJCDKMRHUPV-UHFFFAOYSA-N"
    assert korvane.predict_record("C[C@H](N)O")["inchikey"] is None  # its stereo not passed
    assert {"atoms": [1, 3], "label": "C1-Cl3", "order": 1} in r["soft_bonds"]
    mz = [p["mz"] for p in r["peaks"]]
    assert mz == sorted(mz) and mz[-1] == 78 and r["peaks"][-1]["generation"] == 0


REFERENCE_SMILES = ([smi for _, smi, _ in korvane.HALOGEN_TESTS]
                    + [smi for _, smi, _ in korvane.MS_REFERENCES])


@pytest.mark.parametrize("smiles", REFERENCE_SMILES)
def test_cuts_and_peaks_equal_vif(smiles):
    r = korvane.predict_record(smiles)
    v = korvane.VIF(smiles, draw=False, verbose=False, ring_fragmentation=True,
                    recursive_ms=True)
    assert r["nominal_mass"] == v["mol_mass"] and r["average_mass"] == v["mol_mass_avg"]
    assert (r["lpi"]["n+"], r["lpi"]["n0"], r["lpi"]["n-"]) == (
        v["lpi"]["n+"], v["lpi"]["n0"], v["lpi"]["n-"])
    assert len(r["soft_bonds"]) == len(v["soft_bonds"])
    for mine, theirs in ((r["single_cuts"], v["single_fragments"]),
                         (r["ring_cuts"], v["ringcut_fragments"])):
        assert [c["bond"] for c in mine] == [c["bond"] for c in theirs]
        assert [[(p["formula"], p["average_mass"], p["mz"]) for p in c["pieces"]]
                for c in mine] == [c["fragments"] for c in theirs]
    assert [(p["mz"], p["formula"], p["generation"]) for p in r["peaks"]] == sorted(
        (mz, p["formula"], p["generation"]) for mz, p in v["recursive_peaks"].items())


@pytest.mark.parametrize("recursive", [True, False])
def test_pieces_and_peaks_carry_their_structures(recursive):
    r = korvane.predict_record("CC(=O)Cl", recursive_ms=recursive)
    everything = list(range(7))  # the atoms with explicit hydrogens
    (cut,) = r["single_cuts"]
    assert [(p["atoms"], p["smiles"]) for p in cut["pieces"]] == [
        ([0, 1, 2, 4, 5, 6], "C[C]=O"), ([3], "[Cl]")]
    by_mz = {p["mz"]: p for p in r["peaks"]}
    assert by_mz[78] == {"mz": 78, "formula": "C2H3ClO", "generation": 0, "atoms": everything,
                         "smiles": "CC(=O)Cl", "parent_atoms": None, "path": []}
    assert by_mz[35] == {"mz": 35, "formula": "Cl", "generation": 1, "atoms": [3],
                         "smiles": "[Cl]", "parent_atoms": everything, "path": ["C1-Cl3"]}


def test_without_recursion_peaks_are_the_molecule_and_its_cut_pieces():
    r = korvane.predict_record("Clc1ccccc1", recursive_ms=False, ring_fragmentation=False)
    assert [(p["mz"], p["formula"], p["generation"], p["path"]) for p in r["peaks"]] == [
        (35, "Cl", 1, ["Cl0-C1"]), (77, "C6H5", 1, ["Cl0-C1"]), (112, "C6H5Cl", 0, [])]


@pytest.mark.parametrize("smiles, error", [
    ("C1CC", "could not be parsed"),
    ("*C", "unknown element"),
    (42, "TypeError"),
    ("C\ud800", "not valid Unicode"),
])
def test_failures_give_error_records(smiles, error):
    r = korvane.predict_record(smiles, id="x")
    assert tuple(r) == RECORD_KEYS and r["status"] == "error" and error in r["error"]
    assert r["id"] == "x" and r["peaks"] is None and r["formula"] is None
    json.dumps(r)


def test_over_the_memory_budget_gives_an_error_record(monkeypatch):
    monkeypatch.setattr(korvane, "MAX_ANALYSIS_BYTES", 10_000)
    r = korvane.predict_record("CCCCCCCCCC")
    assert r["status"] == "error" and r["error"].startswith("MemoryError")


def test_largest_component_names_the_dropped_pieces():
    r = korvane.predict_record("[Na+].CCCC(=O)[O-].O", largest_component=True)
    assert r["status"] == "ok" and r["smiles"] == "[Na+].CCCC(=O)[O-].O"
    assert r["canonical_smiles"] == "CCCC(=O)[O-]"
    assert r["dropped_components"] == ["[Na+]", "O"]
    whole = korvane.predict_record("[Na+].CCCC(=O)[O-].O")
    assert whole["dropped_components"] == [] and whole["formula"] != r["formula"]


@pytest.mark.parametrize("largest_component", [False, True])
def test_smiles_with_a_character_outside_ascii_gives_an_error_record(largest_component):
    # Regression: the parser stopped at the character, and the largest piece before it
    # (ethane of "CC.O\u00d6CC") was analysed in its place.
    for smiles in ("CC.O\u00d6CC", "CCO\x00CCCC"):
        r = korvane.predict_record(smiles, largest_component=largest_component)
        assert r["status"] == "error" and r["error"] == "ValueError: SMILES could not be parsed"


def test_timings_add_the_seconds_last():
    r = korvane.predict_record("CCO", timings=True)
    assert list(r)[-1] == "seconds" and r["seconds"] > 0
