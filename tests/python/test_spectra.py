"""Readers of measured spectra: MSP text, MassBank records, JSON Lines, their errors."""
import json

import numpy as np
import pytest

from korvane.spectra import (SpectrumFormatError, SpectrumWarning, open_spectra_path,
                             read_jsonl, read_massbank, read_msp, read_spectra)

MSP = """\
Name: Ethanol
formula: C2H6O
MW: 46
ExactMass: 46.0419
INCHIKEY: LFQSCWFLJHTTHZ-UHFFFAOYSA-N
SMILES: CCO
Comments: "origin=hand written" "mode=EI"
DB#: E1
Num Peaks: 5
15 80; 29 150
31 999 "CH3O"	45 400
46,200 "M+"

NAME: unknown compound
num peaks: 2
27	10
28	20
"""

MASSBANK = """\
ACCESSION: MSBNK-Test-XX000001
RECORD_TITLE: Toluene; EI-B; MS
LICENSE: CC BY
CH$NAME: Toluene
CH$NAME: Methylbenzene
CH$FORMULA: C7H8
CH$SMILES: Cc1ccccc1
CH$LINK: CAS 108-88-3
CH$LINK: INCHIKEY YXFVVABEGXRONW-UHFFFAOYSA-N
AC$INSTRUMENT_TYPE: EI-B
AC$MASS_SPECTROMETRY: MS_TYPE MS
AC$MASS_SPECTROMETRY: ION_MODE POSITIVE
AC$MASS_SPECTROMETRY: IONIZATION EI
AC$MASS_SPECTROMETRY: ION_TYPE [M]+*
PK$ANNOTATION: m/z formula
  91 C7H7+
PK$NUM_PEAK: 3
PK$PEAK: m/z int. rel.int.
  65.0 120 120
  91.0 999 999
  92.1 700 700
//
"""


def _write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_msp_reads_every_field_form_pairs_and_annotations(tmp_path):
    first, second = read_msp(_write(tmp_path, "a.msp", MSP))
    assert (first.id, first.name, first.smiles) == ("E1", "Ethanol", "CCO")
    assert first.metadata["formula"] == "C2H6O"
    assert first.metadata["mw"] == "46" and first.metadata["exact_mass"] == "46.0419"
    assert first.metadata["inchikey"] == "LFQSCWFLJHTTHZ-UHFFFAOYSA-N"
    assert first.metadata["comments_pairs"] == {"origin": "hand written", "mode": "EI"}
    np.testing.assert_array_equal(first.peaks[:, 0], [15, 29, 31, 45, 46])
    np.testing.assert_array_equal(first.peaks[:, 1], [80, 150, 999, 400, 200])
    assert first.metadata["annotations"] == [None, None, "CH3O", None, "M+"]
    # A record without a structure is read; its id falls back to the name.
    assert (second.id, second.smiles, second.peaks.shape) == ("unknown compound", None, (2, 2))


@pytest.mark.parametrize("body, line, reason", [
    ("Name: x\nNum Peaks: 2\n10 20\n11 abc\n", 4, "peak value 'abc' is not"),
    ("Name: x\nNum Peaks: 2\n10 20 11\n", 3, "m/z '11' has no intensity"),
    ("Name: x\nNum Peaks: 3\n10 20\n11 5\n", 4, "Num Peaks says 3, the record holds 2"),
    ("Name: x\nNum Peaks: two\n", 2, "Num Peaks 'two' is not an integer"),
    ("Name: x\nnot a field\nNum Peaks: 0\n", 2, "expected 'Field: value'"),
    ("Name: x\nFormula: C\n", 1, "no 'Num Peaks' line"),
    ("MW: 12\nNum Peaks: 1\n10 20\n", 1, "no 'Name' field"),
    ("Name: x\nNum Peaks: 1\n\"a\" 10 20\n", 3, "does not follow a peak"),
    ("Name: x\nNum Peaks: 1\n1e12 20\n", 3, "m/z 1e\\+12 is out of range"),
])
def test_msp_errors_name_file_line_and_reason(tmp_path, body, line, reason):
    path = _write(tmp_path, "bad.msp", "Name: ok\nNum Peaks: 1\n1 1\n\n" + body)
    with pytest.raises(SpectrumFormatError, match=reason) as e:
        read_msp(path)
    assert e.value.line == line + 4 and e.value.path == str(path)
    assert str(e.value).startswith(f"{path}:{line + 4}: ")


def test_skip_bad_warns_counts_and_keeps_the_rest(tmp_path):
    path = _write(tmp_path, "mixed.msp", MSP + "\nName: bad\nNum Peaks: 1\n10\n")
    errors = []
    with pytest.warns(SpectrumWarning, match="has no intensity"):
        spectra = read_spectra(path, skip_bad=True, errors=errors)
    assert [s.name for s in spectra] == ["Ethanol", "unknown compound"]
    assert len(errors) == 1 and errors[0].line == 21


def test_massbank_record_and_folder(tmp_path):
    (tmp_path / "mb").mkdir()
    _write(tmp_path, "mb/b.txt", MASSBANK.replace("XX000001", "XX000002")
           .replace("CH$SMILES: Cc1ccccc1", "CH$SMILES: N/A"))
    path = _write(tmp_path, "mb/a.txt", MASSBANK)
    (s,) = read_massbank(path)
    assert (s.id, s.name, s.smiles) == ("MSBNK-Test-XX000001", "Toluene", "Cc1ccccc1")
    assert s.metadata["names"] == ["Toluene", "Methylbenzene"]
    assert s.metadata["inchikey"] == "YXFVVABEGXRONW-UHFFFAOYSA-N"
    assert (s.metadata["ionization"], s.metadata["ion_type"]) == ("EI", "[M]+*")
    assert s.metadata["license"] == "CC BY"
    # The annotation table's indented line is not a peak.
    np.testing.assert_array_equal(s.peaks, [[65, 120], [91, 999], [92.1, 700]])
    assert s.nominal_peaks() == [(65, 120.0), (91, 999.0), (92, 700.0)]
    folder = read_spectra(tmp_path / "mb")
    assert [(x.id, x.smiles) for x in folder] == [("MSBNK-Test-XX000001", "Cc1ccccc1"),
                                                  ("MSBNK-Test-XX000002", None)]


@pytest.mark.parametrize("edit, reason", [
    (lambda t: t.replace("//\n", ""), "ends without '//'"),
    (lambda t: t.replace("PK$NUM_PEAK: 3", "PK$NUM_PEAK: 4"), "PK\\$NUM_PEAK says 4"),
    (lambda t: t.replace("  91.0 999 999", "  91.0 lots"), "is not 'm/z intensity"),
])
def test_massbank_errors(tmp_path, edit, reason):
    with pytest.raises(SpectrumFormatError, match=reason):
        read_massbank(_write(tmp_path, "x.txt", edit(MASSBANK)))


def test_jsonl_reader_and_its_errors(tmp_path):
    good = {"id": "a", "name": "A", "smiles": "CC", "peaks": [[15, 10], [30, 999]],
            "license": "CC BY"}
    path = _write(tmp_path, "s.jsonl", json.dumps(good) + "\n\n" +
                  json.dumps({"id": 2, "peaks": []}) + "\n")
    a, b = read_jsonl(path)
    assert (a.id, a.smiles, a.metadata) == ("a", "CC", {"license": "CC BY"})
    assert (b.id, b.smiles, b.peaks.shape) == ("2", None, (0, 2))
    for line, reason in [("{", "not JSON"), ('{"peaks": []}', "no 'id'"),
                         ('{"id": 1, "peaks": [[1, -2]]}', "peak 1 \\[1, -2\\] is not"),
                         ('{"id": 1, "peaks": 3}', "'peaks' must be a list"),
                         ('{"id": 1, "peaks": [[1e10, 2]]}', "peak 1: m/z 1e\\+10 is out")]:
        bad = _write(tmp_path, "bad.jsonl", json.dumps(good) + "\n" + line + "\n")
        with pytest.raises(SpectrumFormatError, match=f":2: .*{reason}"):
            read_jsonl(bad)


def test_unknown_file_type_is_refused(tmp_path):
    with pytest.raises(ValueError, match="unknown spectrum file type"):
        read_spectra(_write(tmp_path, "x.csv", ""))


def test_shipped_open_set_and_its_attribution():
    spectra = read_spectra(open_spectra_path())
    assert len(spectra) == 272 and all(s.smiles for s in spectra)
    assert {s.metadata["license"] for s in spectra} == {"CC BY", "CC BY-SA"}
    with open(open_spectra_path().replace("ei_open.jsonl", "ei_open_attribution.jsonl")) as f:
        attribution = [json.loads(line) for line in f]
    assert [a["id"] for a in attribution] == [s.id for s in spectra]
    assert all(a["source"] and a["license"] and a["authors"] for a in attribution)


# --- hostile files ------------------------------------------------------------------

BOM = "\ufeff"


@pytest.mark.parametrize("name, text, reader, first_id", [
    ("s.msp", MSP, read_msp, "E1"),
    ("s.txt", MASSBANK, read_massbank, "MSBNK-Test-XX000001"),
    ("s.jsonl", '{"id": "j1", "peaks": [[15, 10]]}\n', read_jsonl, "j1"),
], ids=["msp", "massbank", "jsonl"])
def test_a_leading_byte_order_mark_is_not_data(tmp_path, name, text, reader, first_id):
    path = tmp_path / name
    path.write_bytes((BOM + text).encode("utf-8"))
    assert reader(path)[0].id == first_id


def test_massbank_records_after_the_end_mark_are_read(tmp_path):
    second = MASSBANK.replace("XX000001", "XX000002")
    path = _write(tmp_path, "two.txt", MASSBANK + "\n" + second)
    assert [s.id for s in read_massbank(path)] == ["MSBNK-Test-XX000001",
                                                   "MSBNK-Test-XX000002"]
    # Peak lines after the end are a record of their own, refused where they stand.
    tail = _write(tmp_path, "tail.txt", MASSBANK + "  93 10 10\n")
    with pytest.raises(SpectrumFormatError, match=r"tail.txt:23: .*without '//'"):
        read_massbank(tail)


@pytest.mark.parametrize("name, text, reason", [
    # Two intensities below the float limit whose sum is beyond it.
    ("s.msp", "Name: x\nNum Peaks: 2\n10 1e308\n10.2 1e308\n", "sum beyond the largest"),
    ("s.jsonl", '{"id": "x", "peaks": [[10, 1e308], [10.2, 1e308]]}\n', "sum beyond"),
    # Python's int() and float() accept more than plain decimals.
    ("s.msp", "Name: x\nNum Peaks: 1_0\n10 10\n", "Num Peaks '1_0' is not an integer"),
    ("s.msp", "Name: x\nNum Peaks: 1\n1_0 10\n", "peak value '1_0' is not"),
    ("s.msp", "Name: x\nNum Peaks: 1\n10 infinity\n", "peak value 'infinity' is not"),
    ("s.txt", MASSBANK.replace("PK$NUM_PEAK: 3", "PK$NUM_PEAK: N/A"),
     "PK\\$NUM_PEAK 'N/A' is not an integer"),
    # JSON that Python's parser takes but is no record, or refuses with other errors.
    ("s.jsonl", '{"id": "x", "peaks": [[1, ' + "9" * 400 + "]]}\n", "is not a pair"),
    ("s.jsonl", "[" * 100000 + "\n", "nested too deeply"),
    ("s.jsonl", '{"id": "x", "peaks": [[1, 2]]', "the line ends early"),
    ("s.jsonl", '{"id": null, "peaks": []}\n', "'id' must be text or a number"),
], ids=["msp sum", "jsonl sum", "underscore count", "underscore peak", "infinity",
        "massbank N/A", "400 digits", "deep nesting", "cut line", "null id"])
def test_values_no_score_can_use_are_format_errors(tmp_path, name, text, reason):
    path = _write(tmp_path, name, text)
    with pytest.raises(SpectrumFormatError, match=reason):
        read_spectra(path)
    # Every such error is one a reader can skip.
    with pytest.warns(SpectrumWarning):
        assert read_spectra(path, skip_bad=True) == []


def test_a_line_that_is_not_utf8_is_a_skippable_record(tmp_path):
    path = tmp_path / "s.jsonl"
    path.write_bytes(b'{"id": "caf\xe9", "peaks": []}\n{"id": "ok", "peaks": [[15, 1]]}\n')
    with pytest.raises(SpectrumFormatError, match=r"s.jsonl:1: byte 0xe9 at column 12"):
        read_jsonl(path)
    with pytest.warns(SpectrumWarning):
        assert [s.id for s in read_jsonl(path, skip_bad=True)] == ["ok"]
