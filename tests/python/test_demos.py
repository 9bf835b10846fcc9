"""halogen_test and triple_group_demo: their tables, figures and files."""
import os
import stat

import matplotlib.pyplot as plt
import pytest

import korvane

SEP = "=" * 78


def test_halogen_table_and_panel(capsys, tmp_path, show_calls):
    png = tmp_path / "halo.png"
    result = korvane.halogen_test(save=str(png))
    out = capsys.readouterr().out.splitlines()
    assert out[:3] == [SEP, "SUBSTITUTED-HALOGEN TEST — K4 (square) representation", SEP]
    rows = out[3:-2]
    assert len(rows) == 24
    assert rows[0].startswith("chlorobenzene  (C-Cl)    LPI=")
    assert rows[1] == " " * 24 + " [exp: 112(M), 77(-Cl) base]"
    fluoro = rows[10]  # fluoromethane, the reference row
    assert fluoro.startswith("fluoromethane [ref]      LPI=(5, 0, 6)    | C-X: ")
    for line in rows[0::2]:
        cx = line.split(" | C-X: ", 1)[1]
        assert cx == "C-X does NOT cleave" or "->" in cx
    assert out[-2:] == [SEP, f"Panel saved: {png}"]
    assert png.stat().st_size > 10_000
    assert [row[0] for row in result] == [row[0] for row in korvane.HALOGEN_TESTS]
    fig = plt.gcf()
    assert fig.get_size_inches().tolist() == [20.0, 8.8]
    assert len(fig.axes) == 8
    assert fig.axes[0].get_title().startswith("chlorobenzene  (C-Cl)\nLPI = {")
    assert not fig.axes[0].axison and fig.axes[4].axison
    assert show_calls == [1]


def test_halogen_cleavage_text_and_panel_count(capsys, show_calls):
    rows = [("methyl chloride", "CCl", "x"), ("methane", "C", "y")]
    result = korvane.halogen_test(rows, panel_n=1, save=None)
    out = capsys.readouterr().out.splitlines()
    assert "Panel saved:" not in "\n".join(out)
    r = result[0][2]
    cuts = [f for f in r["fragments"] if f["split"] and "Cl" in f["bond"]]
    expected = "; ".join(f["bond"] + "->" + ",".join(f"{a}({c})" for a, _b, c in f["fragments"])
                         for f in cuts) or "C-X does NOT cleave"
    assert out[3].endswith(" | C-X: " + expected)
    assert out[5].endswith(" | C-X: C-X does NOT cleave")
    assert plt.gcf().get_size_inches().tolist() == [5.0, 8.8]
    assert len(result) == 2


def test_halogen_test_with_no_columns_fails_after_the_table(capsys):
    with pytest.raises(ValueError):
        korvane.halogen_test(panel_n=0, save=None)
    assert len(capsys.readouterr().out.splitlines()) == 3 + 24


def test_triple_group_demo_files_and_lines(capsys, tmp_path, show_calls):
    prefix = str(tmp_path / "demo")
    r = korvane.triple_group_demo(save_prefix=prefix)
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "Molecule : N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl"
    l = r["lpi"]
    assert out[1] == f"M+ = {r['mol_mass']}   LPI = {{{l['n+']}, {l['n0']}, {l['n-']}}}"
    assert out[2] == "Fragments (single-cut):"
    splits = [f for f in r["fragments"] if f["split"]]
    assert len(out) == 3 + len(splits) + 1
    for line, f in zip(out[3:], splits):
        assert line == "   " + f"{f['bond']:>10}" + "  ->  " + ", ".join(
            f"{a}({c})" for a, _b, c in f["fragments"])
    assert out[-1] == f"Saved: {prefix}_graph.png , {prefix}_ms.png"
    assert (tmp_path / "demo_graph.png").stat().st_size > 10_000
    assert (tmp_path / "demo_ms.png").stat().st_size > 10_000
    assert list(r) == ["lpi", "soft_bonds", "fragments", "graph", "chem_bonds",
                       "atom_subgraphs", "pos", "mol_mass", "mol_mass_avg"]


def test_triple_group_demo_without_files(capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    korvane.triple_group_demo("CCCl", save_prefix="")
    out = capsys.readouterr().out
    assert "Saved:" not in out and out.startswith("Molecule : CCCl")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("save", [
    lambda prefix: korvane.halogen_test([("methane", "C", "x")], panel_n=1, save=prefix + ".png"),
    lambda prefix: korvane.triple_group_demo("CCCl", save_prefix=prefix),
], ids=["halogen_test", "triple_group_demo"])
def test_saving_replaces_a_planted_link_instead_of_writing_through_it(tmp_path, capsys, save):
    # Regression: the figure was written through a symbolic link planted at the
    # predictable path in /tmp, overwriting whatever file the link named.
    victim = tmp_path / "victim.txt"
    victim.write_text("keep me")
    prefix = str(tmp_path / "fig")
    for name in ("fig.png", "fig_graph.png", "fig_ms.png"):
        (tmp_path / name).symlink_to(victim)
    save(prefix)
    assert victim.read_text() == "keep me"
    written = [p for p in tmp_path.iterdir() if p.name.startswith("fig") and not p.is_symlink()]
    assert written, "no figure was saved in place of a link"
    umask = os.umask(0)
    os.umask(umask)
    for png in written:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert stat.S_IMODE(png.stat().st_mode) == 0o666 & ~umask
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["victim.txt", "fig.png", "fig_graph.png", "fig_ms.png"])  # no temporary file left
