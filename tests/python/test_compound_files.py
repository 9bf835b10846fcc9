"""Compound files: what each reader yields, the writers' texts and the resume scan."""
import gzip
import io
import json
import math
from collections import OrderedDict

import pytest
from rdkit import Chem

from korvane.batch.resume import scan_output
from korvane.batch.compound_files import (CSV_HEADER, RecordWriter, count_compounds,
                                          csv_text, jsonl_text, msp_text, read_compounds)
from korvane.batch.record import error_record, predict_record


def _items(path, **kw):
    return [(i.number, i.id, i.smiles, i.problem) for i in read_compounds(path, **kw)]


def test_smiles_lines_skip_comments_and_number_by_line(tmp_path):
    p = tmp_path / "in.smi"
    p.write_text("# a list\nCCO ethanol\n\n  Clc1ccccc1\tchloro benzene \nO\n")
    assert _items(p) == [(2, "ethanol", "CCO", None), (4, "chloro benzene", "Clc1ccccc1", None),
                         (5, "5", "O", None)]
    assert count_compounds(p) == 3


def test_tables_find_their_columns(tmp_path):
    p = tmp_path / "in.csv"
    p.write_text('Name,SMILES\n"water, pure",O\n,CCO\nempty,\n')
    assert _items(p) == [(2, "water, pure", "O", None), (3, "3", "CCO", None),
                         (4, "empty", "", "no SMILES in this row")]
    t = tmp_path / "in.tsv"
    t.write_text("code\tstructure\nA1\tCCO\n")
    assert _items(t, smiles_column="structure", id_column="code") == [(2, "A1", "CCO", None)]
    with pytest.raises(ValueError, match="no SMILES column"):
        _items(t)
    with pytest.raises(ValueError, match="no column 'nope'"):
        _items(t, smiles_column="nope")


def _sdf_text():
    out = io.StringIO()
    w = Chem.SDWriter(out)
    for name, smi in (("chlorobenzene", "Clc1ccccc1"), ("", "CCO")):
        mol = Chem.MolFromSmiles(smi)
        mol.SetProp("_Name", name)
        mol.SetProp("CAS", f"cas-{smi}")
        w.write(mol)
    w.close()
    return out.getvalue() + "garbage\nM  END\n$$$$\n"


def test_sdf_and_gzipped_sdf_take_title_or_property(tmp_path):
    p = tmp_path / "in.sdf"
    p.write_text(_sdf_text())
    g = tmp_path / "in.sdf.gz"
    g.write_bytes(gzip.compress(_sdf_text().encode()))
    for path in (p, g):
        items = _items(path)
        assert items[:2] == [(1, "chlorobenzene", "Clc1ccccc1", None), (2, "2", "CCO", None)]
        assert items[2][2] is None and "SDF record 3" in items[2][3]
        assert count_compounds(path) == 3
    assert [i[1] for i in _items(p, id_column="CAS")][:2] == ["cas-Clc1ccccc1", "cas-CCO"]


def test_csv_and_msp_texts_stay_on_their_lines():
    bad = error_record("C(", "a\nb", 'ValueError: line one\nline "two"')
    row = csv_text(bad)
    assert row.count("\n") == 1 and row.startswith('a b,C(,,,,,,,error,"ValueError: line one')
    assert msp_text(bad) == ""
    ok = predict_record("CC(=O)Cl", id='say "hi": x')
    text = msp_text(ok)
    assert text.endswith("\n\n") and text.count("\n\n") == 1
    peak_lines = [line for line in text.splitlines() if line[:1].isdigit()]
    for line in peak_lines:
        mz, intensity, note = line.split("\t")
        assert note.startswith('"') and note.endswith('"') and ":" not in note
        assert note.count('"') == 2
    assert "Name: say 'hi': x" in text


def _json_module_text(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False) + "\n"


class _Flag(int):
    pass


def test_jsonl_text_is_the_json_modules_text_byte_for_byte():
    records = [predict_record(s, id=i) for s, i in
               [("CC(=O)Cl", 'quote " back\\slash\ttab'), ("c1ccccc1O", "naïve \u2028 ünï"),
                ("OC(=O)C1CCCN1", "ctl \x00\x01\x1f\x7f"), ("[Na+].[Cl-]", None)]]
    records.append(predict_record("CCO", id="r", recursive_ms=False))
    records.append(error_record("C(", "e", 'ValueError: "x"\nline'))
    floats = [0.0, -0.0, 0.1, 1e16, 1e-5, 123456789.125, 5e-324, 1.7976931348623157e308, 2.5]
    odd = {"ints": [0, -1, 2**63 - 1, -2**63, 2**63, -2**200, True, False, _Flag(3)],
           "floats": floats, "nested": [[], {}, (1, "t"), [[[{"k": None}]]]], "": ""}
    for value in records + [odd]:
        assert jsonl_text(value) == _json_module_text(value)


def test_jsonl_text_leaves_the_rest_and_its_errors_to_the_json_module():
    # What the json module writes its own way (non-str keys, dict subclasses) comes out as
    # it writes it; what it refuses raises its own error.
    deep = [1]
    for _ in range(40):
        deep = [deep]
    for value in [{1: "a", None: 2, 1.5: 3}, OrderedDict(b=1, a=2), {"deep": deep}]:
        assert jsonl_text(value) == _json_module_text(value)
    cyclic = {"peaks": []}
    cyclic["peaks"].append(cyclic)
    for value, error in [({"mz": math.nan}, ValueError), ({"x": math.inf}, ValueError),
                         (cyclic, ValueError), ({"s": {1, 2}}, TypeError)]:
        with pytest.raises(error):
            _json_module_text(value)
        with pytest.raises(error):
            jsonl_text(value)
    lone = {"id": "\ud800"}  # no UTF-8 form: written as json writes it, refused on writing
    assert jsonl_text(lone) == _json_module_text(lone)


@pytest.mark.parametrize("suffix", [".jsonl", ".csv", ".msp"])
def test_scan_keeps_complete_records_and_drops_a_cut_one(tmp_path, suffix):
    path = tmp_path / ("out" + suffix)
    records = [predict_record(s, id=i) for i, s in (("a", "CCO"), ("b", "O"), ("a", "CCl"))]
    with RecordWriter(path, suffix) as w:
        for r in records:
            w.write(r)
    whole = path.read_bytes()
    keys, size = scan_output(path, suffix, CSV_HEADER)
    assert (keys, size) == ([("a", "CCO"), ("b", "O"), ("a", "CCl")], len(whole))
    path.write_bytes(whole[:-7])
    keys, size = scan_output(path, suffix, CSV_HEADER)
    assert keys == [("a", "CCO"), ("b", "O")] and whole.startswith(whole[:size])
    with RecordWriter(path, suffix, keep_bytes=size) as w:
        w.write(records[2])
    assert path.read_bytes() == whole
    if suffix == ".csv":
        assert whole.startswith(CSV_HEADER.encode())
    assert scan_output(tmp_path / "none.jsonl", ".jsonl", CSV_HEADER) == ([], 0)
