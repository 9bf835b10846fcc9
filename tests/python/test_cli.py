"""The korvane command: analyze, predict from each input kind into each output kind."""
import csv
import json
import subprocess
import sys

import pytest
from rdkit import Chem

import korvane
from korvane.cli import main

MOLECULES = [("chlorobenzene", "Clc1ccccc1"), ("acetyl chloride", "CC(=O)Cl"),
             ("bad", "C1CC"), ("water", "O")]


def _read_msp(text):
    """Entries of an MSP text as NIST MS Search reads it: "Field: value" lines, then
    "Num Peaks" lines of m/z, intensity and a quoted annotation; a blank line ends one."""
    entries = []
    for block in text.split("\n\n"):
        if not block.strip():
            continue
        fields, peaks = {}, []
        lines = block.splitlines()
        while lines and not lines[0][:1].isdigit():
            key, _, value = lines.pop(0).partition(": ")
            fields[key] = value
        for line in lines:
            mz, intensity, note = line.split("\t")
            assert note[0] == note[-1] == '"'
            peaks.append((int(mz), float(intensity), note[1:-1]))
        assert list(fields)[0] == "Name" and int(fields["Num Peaks"]) == len(peaks)
        entries.append((fields, peaks))
    return entries


def _inputs(tmp_path):
    smi = tmp_path / "in.smi"
    smi.write_text("".join(f"{s} {name}\n" for name, s in MOLECULES))
    table = tmp_path / "in.csv"
    table.write_text("name,smiles\n" + "".join(f"{name},{s}\n" for name, s in MOLECULES))
    sdf = tmp_path / "in.sdf"
    writer = Chem.SDWriter(str(sdf))
    for name, s in MOLECULES:
        mol = Chem.MolFromSmiles(s) or Chem.MolFromSmiles("C1CC1")
        mol.SetProp("_Name", name)
        writer.write(mol)
    writer.close()
    return smi, table, sdf


def test_predict_writes_each_output_from_each_input(tmp_path):
    smi, table, sdf = _inputs(tmp_path)
    for source in (smi, table):
        out = tmp_path / f"{source.suffix[1:]}.jsonl"
        assert main(["predict", str(source), "--out", str(out), "--jobs", "1", "--quiet"]) == 0
        records = [json.loads(line) for line in out.read_text().splitlines()]
        assert records == [korvane.predict_record(s, id=name) for name, s in MOLECULES]
    out = tmp_path / "sdf.csv"
    assert main(["predict", str(sdf), "--out", str(out), "--quiet"]) == 0
    rows = list(csv.DictReader(out.open()))
    assert [r["id"] for r in rows] == [name for name, _ in MOLECULES]
    assert rows[0]["formula"] == "C6H5Cl" and rows[0]["status"] == "ok"
    lpi = korvane.predict_record("Clc1ccccc1")["lpi"]
    assert rows[0]["lpi"] == f"{lpi['n+']} {lpi['n0']} {lpi['n-']}"
    assert rows[0]["mz"].split()[-1] == "112" and rows[2]["smiles"] == "C1CC1"

    out = tmp_path / "out.msp"
    assert main(["predict", str(smi), "--out", str(out), "--quiet"]) == 0
    entries = _read_msp(out.read_text())
    assert [f["DB#"] for f, _ in entries] == ["chlorobenzene", "acetyl chloride", "water"]
    fields, peaks = entries[0]
    record = korvane.predict_record("Clc1ccccc1")
    assert (fields["Formula"], fields["MW"], fields["SMILES"]) == ("C6H5Cl", "112", "Clc1ccccc1")
    assert float(fields["ExactMass"]) == pytest.approx(record["monoisotopic_mass"], abs=1e-6)
    assert fields["InChIKey"] == "MVPPADPHJFYWMZ-UHFFFAOYSA-N"
    assert '"intensity=predicted; ' in fields["Comments"]
    # The peaks are the record's predicted spectrum; a recursive peak keeps its note.
    assert [(mz, i) for mz, i, _ in peaks] == [tuple(p) for p in record["spectrum"]]
    assert max(i for _, i, _ in peaks) == 999
    notes = dict((mz, note) for mz, _, note in peaks)
    for p in record["peaks"]:  # a later-generation peak alone weighs 0 and is not written
        if p["generation"] < 2:
            assert notes[p["mz"]] == f"{p['formula']} generation {p['generation']}"
    assert notes[113] == "M+1 isotope" and notes[114] == "M+2 isotope"
    # Read back by korvane's own reader: the same peaks, the same structure.
    back = korvane.read_msp(out)
    assert [sp.id for sp in back] == ["chlorobenzene", "acetyl chloride", "water"]
    assert back[0].peaks.tolist() == [[float(mz), i] for mz, i in record["spectrum"]]
    assert back[0].smiles == "Clc1ccccc1"
    csv_row = list(csv.DictReader((tmp_path / "sdf.csv").open()))[0]
    assert csv_row["intensity"] == " ".join(f"{mz}:{i:g}" for mz, i in record["spectrum"])


def test_resume_after_a_cut_last_line_gives_the_uninterrupted_file(tmp_path):
    smi, _, _ = _inputs(tmp_path)
    out = tmp_path / "out.jsonl"
    assert main(["predict", str(smi), "--out", str(out), "--quiet"]) == 0
    whole = out.read_bytes()
    out.write_bytes(whole[:whole.index(b"\n") + 30])  # one record and a cut one
    assert main(["predict", str(smi), "--out", str(out), "--quiet", "--resume"]) == 0
    assert out.read_bytes() == whole


def test_analyze_prints_vif_report_or_the_record(capsys):
    assert main(["analyze", "CC(=O)Cl", "--recursive", "--ring"]) == 0
    report = capsys.readouterr().out
    korvane.VIF("CC(=O)Cl", draw=False, recursive_ms=True, ring_fragmentation=True)
    assert report == capsys.readouterr().out
    assert main(["analyze", "CC(=O)Cl", "--json", "--generations", "3"]) == 0
    assert json.loads(capsys.readouterr().out) == korvane.predict_record(
        "CC(=O)Cl", recursive_ms=False, ring_fragmentation=False, max_generations=3)
    assert main(["analyze", "C1CC"]) == 1
    assert capsys.readouterr().err.strip() == "SMILES okunamadı!"


def test_command_line_entry_shows_version_and_examples(capsys):
    run = subprocess.run([sys.executable, "-m", "korvane", "--version"], capture_output=True,
                         text=True, check=True, timeout=120)
    assert run.stdout.strip() == f"korvane {korvane.__version__}"
    with pytest.raises(SystemExit):
        main(["predict", "--help"])
    text = capsys.readouterr().out
    assert "examples:" in text and "--largest-component" in text
    assert main(["predict", "x.pdb", "--out", "y.jsonl"]) == 2
    assert "unknown file type" in capsys.readouterr().err
