"""validate(): the PASS/FAIL table and its verdict."""
import korvane

SEP = "=" * 62


def test_all_references_pass(capsys):
    assert korvane.validate() is True
    out = capsys.readouterr().out.splitlines()
    assert out[:3] == [SEP, "LPI validation (Ardalen 1985)", SEP]
    assert out[3] == "  [PASS] water        O          expected=(3, 0, 3)  found=(3, 0, 3)"
    assert out[14:17] == [SEP, "MS soft-bond validation (Velmora 2017)", SEP]
    assert out[17].startswith("  [PASS] nitrobenzene   m/z=77 expected  found peaks=[")
    assert out[-3:] == [SEP, "RESULT: ALL TESTS PASSED ✓", SEP]
    assert len(out) == 3 + 11 + 3 + 2 + 3


def test_quiet_validation_prints_nothing(capsys):
    assert korvane.validate(verbose=False) is True
    assert capsys.readouterr().out == ""


def test_a_wrong_analysis_fails_its_row_and_the_rest_still_run(capsys, monkeypatch):
    real_vif = korvane.VIF
    calls = []

    def wrong_for_water(smiles, **kw):
        calls.append(smiles)
        r = real_vif(smiles, **kw)
        if smiles == "O":
            r["lpi"] = dict(r["lpi"], n0=1)
        return r

    monkeypatch.setattr(korvane.validation, "VIF", wrong_for_water)
    assert korvane.validate() is False
    out = capsys.readouterr().out.splitlines()
    assert out[3] == "  [FAIL] water        O          expected=(3, 0, 3)  found=(3, 1, 3)"
    assert out[4].startswith("  [PASS] methanol")
    assert len(calls) == 13
    assert out[-2] == "RESULT: SOME TESTS FAILED ✗"


def test_a_molecule_without_a_separating_cut_fails_its_ms_row(capsys, monkeypatch):
    monkeypatch.setattr(korvane.validation, "MS_REFERENCES", [("water", "O", 17)])
    monkeypatch.setattr(korvane.validation, "LPI_REFERENCES", [])
    assert korvane.validate() is False
    out = capsys.readouterr().out.splitlines()
    assert out[6] == "  [FAIL] water          m/z=17 expected  found peaks=[]"
