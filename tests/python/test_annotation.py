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


# --- the command under hostile ids and runs -------------------------------------------

IDS = ["dup", "dup", "a/b", "a_b", "a b", ".", "..", "x" * 300, "DUP"]


def _spectra_file(path, ids, smiles="CCOC(C)=O"):
    path.write_text("".join(json.dumps({"id": i, "name": "n", "smiles": smiles,
                                        "peaks": PEAKS}) + "\n" for i in ids))
    return path


def test_plots_get_one_unique_visible_short_name_each(tmp_path):
    from korvane.cli import main
    source = _spectra_file(tmp_path / "s.jsonl", IDS)
    plots = tmp_path / "plots"
    plots.mkdir()
    precious = tmp_path / "precious.txt"
    precious.write_text("keep me")
    (plots / "dup.png").symlink_to(precious)  # a planted link is replaced, not written to
    out = tmp_path / "a.jsonl"
    assert main(["annotate", str(source), "--out", str(out), "--plot", str(plots),
                 "--jobs", "2", "--quiet"]) == 0
    results = [json.loads(line) for line in out.read_text().splitlines()]
    names = [r["plot"] for r in results]
    assert [r["id"] for r in results] == IDS
    assert len({n.lower() for n in names}) == len(IDS)
    assert sorted(p.name for p in plots.iterdir()) == sorted(names)
    for name in names:
        assert not name.startswith(".") and len(name.encode()) <= 200
        assert name.endswith(".png") and (plots / name).read_bytes()[:4] == b"\x89PNG"
    assert precious.read_text() == "keep me"


def test_annotate_streams_in_input_order_and_resumes(tmp_path):
    from korvane.cli import main
    ids = [f"s{n}" for n in range(12)]
    source = _spectra_file(tmp_path / "s.jsonl", ids)
    one, two = tmp_path / "one.jsonl", tmp_path / "two.jsonl"
    assert main(["annotate", str(source), "--out", str(one), "--jobs", "1", "--quiet"]) == 0
    assert main(["annotate", str(source), "--out", str(two), "--jobs", "2", "--quiet"]) == 0
    whole = one.read_bytes()
    assert two.read_bytes() == whole
    assert [json.loads(line)["id"] for line in whole.decode().splitlines()] == ids
    two.write_bytes(whole[:whole.index(b'"id": "s5"') + 20])  # five lines and a cut one
    assert main(["annotate", str(source), "--out", str(two), "--jobs", "2", "--quiet",
                 "--resume"]) == 0
    assert two.read_bytes() == whole
    # A resumed run with another tolerance would mix two runs' annotations: refused.
    assert main(["annotate", str(source), "--out", str(two), "--quiet", "--resume",
                 "--tolerance", "0"]) == 2
    assert two.read_bytes() == whole


def test_ctrl_c_leaves_complete_annotations_and_resume_completes_them(tmp_path):
    from cli_processes import finish, interrupt_while_reading, run_cli
    ids = [f"s{n}" for n in range(30)]
    whole_input = _spectra_file(tmp_path / "all.jsonl", ids)
    head = "".join(whole_input.read_text().splitlines(keepends=True)[:20])
    out = tmp_path / "out.jsonl"
    pipe = tmp_path / "pipe.jsonl"
    args = ["--jobs", "2", "--quiet"]
    assert interrupt_while_reading(["annotate", str(pipe), "--out", str(out)] + args, pipe,
                                   head, out, 3) == 130
    text = out.read_text()
    assert text.endswith("\n") and 3 <= len(text.splitlines()) <= 20
    assert finish(run_cli(["annotate", str(whole_input), "--out", str(out), "--resume"]
                           + args), 180) == 0
    whole = tmp_path / "whole.jsonl"
    assert finish(run_cli(["annotate", str(whole_input), "--out", str(whole)] + args),
                  180) == 0
    assert out.read_bytes() == whole.read_bytes()


def test_mirror_plot_draws_its_sticks_as_collections_whatever_their_number():
    import matplotlib.pyplot as plt
    n = 20000
    rng = np.random.default_rng(1)
    peaks = np.column_stack([np.arange(n) * 0.05 + 1, rng.uniform(1, 999, n)])
    r = korvane.annotate(Spectrum("many", "ethyl acetate", "CCOC(C)=O", peaks))
    ax = korvane.plot_annotation(r)
    assert len(ax.collections) == 2  # measured upwards, predicted downwards
    strokes = [sum(len(p.vertices) // 2 for p in c.get_paths()) for c in ax.collections]
    assert strokes == [len(r["peaks"]), len({f["mz"] for f in r["predicted"]})]
    plt.close(ax.figure)
