"""The korvane command under hostile files and runs: nothing it was given or wrote is lost,
and every failure is one line with a non-zero exit status."""
import gzip
import json
import os
import re

import pytest
from rdkit import Chem

import korvane
from korvane.batch.compound_files import jsonl_text
from korvane.cli import main
from korvane.spectra import read_msp

OPEN_SET = os.path.join(os.path.dirname(korvane.__file__), "data", "ei_open.jsonl")


def _one_line_error(capsys, command):
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(f"korvane {command}: "), err
    return err


def _predict(*args):
    return main(["predict", *map(str, args), "--jobs", "1", "--quiet"])


# --- the input and an existing output are never destroyed ---------------------------

@pytest.mark.parametrize("spelling", ["same", "dotted", "symlink", "hard link"])
def test_an_output_that_is_the_input_is_refused(tmp_path, monkeypatch, capsys, spelling):
    monkeypatch.chdir(tmp_path)
    source = tmp_path / "same.csv"
    source.write_text("smiles,id\nCCO,ethanol\nCC,ethane\n")
    out = {"same": "same.csv", "dotted": "./sub/../same.csv", "symlink": "link.csv",
           "hard link": "hard.csv"}[spelling]
    (tmp_path / "sub").mkdir()
    if spelling == "symlink":
        os.symlink("same.csv", "link.csv")
    if spelling == "hard link":
        os.link("same.csv", "hard.csv")
    assert main(["predict", "same.csv", "--out", out, "--quiet"]) == 2
    assert "is the input" in _one_line_error(capsys, "predict")
    assert source.read_text() == "smiles,id\nCCO,ethanol\nCC,ethane\n"


@pytest.mark.parametrize("case", ["no SMILES column", "missing input", "empty input",
                                  "bad scheduler", "other options on resume"])
def test_a_run_that_fails_before_its_first_record_leaves_output_as_it_was(
        tmp_path, monkeypatch, capsys, case):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "ok.smi").write_text("CCO a\nCC b\n")
    (tmp_path / "nocol.csv").write_text("a,b\nCCO,x\n")
    (tmp_path / "empty.smi").write_text("# nothing\n")
    out = tmp_path / "keep.jsonl"
    assert _predict("ok.smi", "--out", out) == 0
    before = out.read_bytes(), (tmp_path / "keep.jsonl.run.json").read_bytes()
    capsys.readouterr()
    args = {"no SMILES column": ["nocol.csv"], "missing input": ["missing.smi"],
            "empty input": ["empty.smi"],
            "bad scheduler": ["ok.smi", "--scheduler", "not an address"],
            "other options on resume": ["ok.smi", "--resume", "--no-ring"]}[case]
    status = main(["predict", *args, "--out", str(out), "--quiet"])
    assert status in (1, 2)
    _one_line_error(capsys, "predict")
    assert (out.read_bytes(), (tmp_path / "keep.jsonl.run.json").read_bytes()) == before


IDS = "CCO a\tb\nCC x  y\nCO q\"r\nXX dup\nCCC dup\nCl[CH2:1]C dup\n"


@pytest.mark.parametrize("suffix", [".jsonl", ".csv", ".msp"])
def test_resume_keeps_a_complete_output_and_continues_by_position(tmp_path, capsys, suffix):
    # Ids the CSV and MSP writers change (tabs, double blanks, quotes), repeated ids and
    # an error record, which MSP leaves out.
    source = tmp_path / "in.smi"
    source.write_text(IDS)
    out = tmp_path / f"out{suffix}"
    assert _predict(source, "--out", out) == 0
    whole = out.read_bytes()
    for _ in range(2):
        assert _predict(source, "--out", out, "--resume") == 0
        assert out.read_bytes() == whole
    # Cut inside the record of the second "dup": the resumed run writes it again, once.
    cut = whole.rindex(b"dup") - 5
    out.write_bytes(whole[:cut])
    assert _predict(source, "--out", out, "--resume") == 0
    assert out.read_bytes() == whole


def _korvane_msp(tmp_path):
    source = tmp_path / "msp.smi"
    source.write_text("CCO 1\nCC 2\n")
    out = tmp_path / "other.msp"
    assert _predict(source, "--out", out) == 0
    return out


@pytest.mark.parametrize("content, reason", [
    ("other list", "another input"),
    ("measured MSP", "not a record of korvane predict"),
    ("open EI set", "not a korvane record"),
    ("null line", "not a korvane record"),
    ("list line", "not a korvane record"),
    ("other header", "header differs"),
    ("not UTF-8", "not UTF-8"),
    ("other options", "other options (recursive_ms)"),
    ("no run description", "says which run wrote it"),
])
def test_resume_refuses_an_output_of_another_run(tmp_path, capsys, content, reason):
    source = tmp_path / "in.smi"
    source.write_text("CCO\nCC\nO\n")
    other = tmp_path / "other.smi"
    other.write_text("CCCl\nCCBr\n")  # the same line-number ids, other molecules
    suffix = {"measured MSP": ".msp", "other header": ".csv"}.get(content, ".jsonl")
    out = tmp_path / f"out{suffix}"
    if content in ("other list", "other options", "no run description"):
        assert _predict(other if content == "other list" else source, "--out", out,
                        *(["--no-recursive"] if content == "other options" else [])) == 0
        if content == "no run description":
            os.unlink(str(out) + ".run.json")
    else:
        out.write_bytes({
            "measured MSP": b"Name: x\nDB#: 2\nNum Peaks: 1\n10 10\n\n",
            "open EI set": open(OPEN_SET, "rb").readline(),
            "null line": b"null\n", "list line": b"[1,2]\n",
            "other header": b"id,smiles\n1,CCO\n", "not UTF-8": b"\xe9\n"}[content])
    before = out.read_bytes()
    capsys.readouterr()
    assert _predict(source, "--out", out, "--resume") == 2
    assert reason in _one_line_error(capsys, "predict")
    assert out.read_bytes() == before


# --- entries that cannot be read become error records; the batch goes on ------------

def _sdf_bytes(names):
    out = []
    for name in names:
        mol = Chem.MolFromSmiles("CCO")
        out.append(name + b"\n" + Chem.MolToMolBlock(mol).split("\n", 1)[1].encode()
                   + b"$$$$\n")
    return b"".join(out)


@pytest.mark.parametrize("name, data, where", [
    ("in.smi", b"CCO a\nCC caf\xe9\nO w\n", "in.smi:2: byte 0xe9"),
    ("in.csv", b"smiles,id\nCCO,a\nCC,caf\xe9\nO,w\n", "in.csv:3: byte 0xe9"),
    ("in.sdf", _sdf_bytes([b"a", b"caf\xe9", b"w"]), "in.sdf:12: SDF record 2: byte 0xe9"),
    # A quoted cell of many lines, past the record limit.
    ("in.csv", b"smiles,id\nCCO,a\n\"" + (b"C" * (1 << 20) + b"\n") * 17 + b"\",long\nO,w\n",
     r"in.csv:18: the row is longer than"),
    ("in.csv", b"smiles,id\nCCO,a\n" + b"C" * (17 << 20) + b",long\nO,w\n",
     "in.csv:3: the line is longer"),
    ("in.smi", b"CCO a\n" + b"C" * (17 << 20) + b" long\nO w\n", "in.smi:2: the line is longer"),
], ids=["smi latin-1", "csv latin-1", "sdf latin-1", "csv huge cell", "csv huge line",
        "smi huge line"])
def test_an_unreadable_entry_is_an_error_record_naming_file_and_line(
        tmp_path, monkeypatch, name, data, where):
    monkeypatch.chdir(tmp_path)
    (tmp_path / name).write_bytes(data)
    assert _predict(name, "--out", "out.jsonl") == 0
    records = [json.loads(line) for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    assert [r["status"] for r in records] == ["ok", "error", "ok"]
    assert re.match(where, records[1]["error"]), records[1]["error"]
    assert records[2]["id"] == "w"


def test_a_cut_or_huge_compressed_file_is_an_error_record_and_a_failure(
        tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    whole = gzip.compress(_sdf_bytes([b"m%d" % i for i in range(400)]), mtime=0)
    (tmp_path / "cut.sdf.gz").write_bytes(whole[:len(whole) // 2])
    assert _predict("cut.sdf.gz", "--out", "cut.jsonl") == 0
    records = [json.loads(line) for line in (tmp_path / "cut.jsonl").read_text().splitlines()]
    assert all(r["status"] == "ok" for r in records[:-1]) and len(records) > 1
    assert "cannot be read" in records[-1]["error"]
    # Zeros without a line end: past the record limit without being held whole; the file
    # yields no molecule, which is a failure.
    (tmp_path / "bomb.sdf.gz").write_bytes(gzip.compress(b"\0" * (40 << 20)))
    capsys.readouterr()
    assert _predict("bomb.sdf.gz", "--out", "bomb.jsonl") == 1
    assert "yields no molecule" in _one_line_error(capsys, "predict")
    (record,) = [json.loads(line) for line in (tmp_path / "bomb.jsonl").read_text().splitlines()]
    assert "is longer than" in record["error"]


@pytest.mark.parametrize("name, data", [
    ("in.smi", "\ufeffCCO e\n"),
    ("in.csv", "\ufeffsmiles,id\nCCO,e\n"),
    ("in.sdf", "\ufeff" + _sdf_bytes([b"e"]).decode()),
], ids=["smi", "csv", "sdf"])
def test_a_byte_order_mark_is_not_part_of_the_first_entry(tmp_path, monkeypatch, name, data):
    monkeypatch.chdir(tmp_path)
    (tmp_path / name).write_text(data, encoding="utf-8")
    assert _predict(name, "--out", "out.jsonl") == 0
    (record,) = map(json.loads, (tmp_path / "out.jsonl").read_text().splitlines())
    assert (record["id"], record["smiles"], record["status"]) == ("e", "CCO", "ok")


def test_msp_comments_give_the_input_smiles_back_exactly(tmp_path):
    source = tmp_path / "in.smi"
    source.write_text("[CH3:1][CH2:2]Cl mapped\n")
    out = tmp_path / "out.msp"
    assert _predict(source, "--out", out) == 0
    (spectrum,) = read_msp(out)
    assert spectrum.metadata["comments_pairs"]["input_smiles"] == "[CH3:1][CH2:2]Cl"


def test_json_written_is_strict():
    record = korvane.predict_record("CCO")
    record["monoisotopic_mass"] = float("nan")
    with pytest.raises(ValueError):
        jsonl_text(record)


# --- every command answers a failure in one line ------------------------------------

@pytest.mark.parametrize("argv", [
    ["predict", "in.smi", "--out", "nofolder/out.jsonl"],
    ["predict", "in.smi", "--out", "x.jsonl", "--timeout", "0"],
    ["predict", "in.smi", "--out", "x.jsonl", "--jobs", "-1"],
    ["predict", "in.smi"],
    ["annotate", "missing.msp", "--out", "a.jsonl"],
    ["annotate", "bad.msp", "--out", "a.jsonl"],
    ["annotate", "s.jsonl", "--out", "nofolder/a.jsonl"],
    ["annotate", "s.jsonl", "--out", "a.jsonl", "--tolerance", "-1"],
    ["annotate", "s.jsonl", "--out", "s.jsonl"],
    ["search", "bad.msp", "--library", "s.jsonl"],
    ["search", "s.jsonl", "--library", "missing.msp"],
    ["search", "s.jsonl", "--library", "s.jsonl", "--top", "-1"],
    ["search", "s.jsonl", "--library", "s.jsonl", "--out", "nofolder/h.jsonl"],
    ["benchmark", "empty.msp"],
    ["benchmark", "s.jsonl", "--limit", "0"],
    ["benchmark", "s.jsonl", "--limit", "-1"],
    ["benchmark", "bad.msp"],
    ["benchmark", "s.jsonl", "--json", "nofolder/r.json"],
    ["analyze", "CCO", "--generations", "x"],
])
def test_every_command_reports_a_failure_in_one_line(tmp_path, monkeypatch, capsys, argv):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "in.smi").write_text("CCO\n")
    (tmp_path / "s.jsonl").write_text('{"id": "a", "smiles": "CCO", "peaks": [[31, 99]]}\n')
    (tmp_path / "bad.msp").write_text("Name: x\nNum Peaks: 2\n10 10\n")
    (tmp_path / "empty.msp").write_text("")
    try:
        status = main(argv)
    except SystemExit as e:  # a wrong argument, refused by the parser
        status = e.code
    assert status not in (0, None)
    _one_line_error(capsys, argv[0])


@pytest.mark.parametrize("timeout", ["inf", "1e300", "3e6"])
def test_a_huge_timeout_means_no_limit(tmp_path, timeout):
    source = tmp_path / "in.smi"
    source.write_text("CCO\nCC\n")
    out = tmp_path / "out.jsonl"
    assert main(["predict", str(source), "--out", str(out), "--timeout", timeout,
                 "--quiet", "--jobs", "1"]) == 0
    assert len(out.read_text().splitlines()) == 2
