"""Molecule panels with the real analysis, by SMILES and by name against a local server."""
import inspect

import matplotlib.colors as mcolors
import pytest

import korvane
from korvane import VIF, panels
from test_pubchem import PATH, pug  # noqa: F401  (pug: the local PUG REST server fixture)

# SMILES the local server gives for the ten default names.
BIO_SMILES = {
    "water": "O",
    "glucose": "OCC1OC(O)C(O)C(O)C1O",
    "glycine": "NCC(=O)O",
    "urea": "NC(=O)N",
    "lactic acid": "CC(O)C(=O)O",
    "adenine": "Nc1ncnc2[nH]cnc12",
    "dopamine": "NCCc1ccc(O)c(O)c1",
    "ascorbic acid": "OCC(O)C1OC(=O)C(O)=C1O",
    "acetic acid": "CC(=O)O",
    "cytosine": "Nc1cc[nH]c(=O)n1",
}
BAD_SMILES = "C1CC(("


@pytest.fixture
def vif_calls(monkeypatch):
    """Records the keywords of every VIF call while the real VIF still runs."""
    calls, real = [], korvane.VIF

    def recording(smiles, **kwargs):
        calls.append((smiles, kwargs))
        return real(smiles, **kwargs)
    monkeypatch.setattr(panels, "VIF", recording)
    return calls


def _title(ax):
    return ax.get_title(), mcolors.to_hex(ax.title.get_color()), ax.title.get_fontsize()


def _edge_segments(ax, color):
    """Returns the number of drawn edge segments of the given colour."""
    return sum(len(c.get_segments()) for c in ax.collections
               if hasattr(c, "get_segments") and len(c.get_segments())
               and mcolors.to_hex(c.get_edgecolor()[0]) == mcolors.to_hex(color))


def test_public_signatures():
    assert str(inspect.signature(panels.VIF_panel)) == (
        "(molecules=None, by='name', cols=5, save=None, node_size=60, bond_kappa=0.9)")
    assert str(inspect.signature(panels.VIF_ms_panel)) == (
        "(molecules=None, by='name', cols=2, save=None, ring_fragmentation=False, "
        "recursive_ms=False)")
    assert panels.BIOMOLECULES == list(BIO_SMILES)


def test_VIF_panel_of_smiles_draws_graphs_and_saves(pug, tmp_path, show_calls, vif_calls):
    png = tmp_path / "graphs.png"
    fig = panels.VIF_panel(["O", "NCC(=O)O", "C=O"], by="cid", cols=2, save=str(png),
                           node_size=33, bond_kappa=0.8)
    assert pug.paths == []
    assert [kw for _, kw in vif_calls] == [
        {"draw": False, "verbose": False, "bond_kappa": 0.8}] * 3
    axes = fig.axes
    assert len(axes) == 4 and tuple(fig.get_size_inches()) == pytest.approx((6.4, 6.8))
    assert not any(ax.axison for ax in axes)
    assert _title(axes[0]) == ("O\nLPI={3,0,3}", "#000000", 9)
    assert axes[3].get_title() == "" and not axes[3].collections
    for ax, smiles in zip(axes, ["O", "NCC(=O)O", "C=O"]):
        r = VIF(smiles, draw=False, verbose=False, bond_kappa=0.8)
        H, n_soft = r["graph"], len(r["soft_bonds"])
        lpi = r["lpi"]
        assert ax.get_title() == f"{smiles}\nLPI={{{lpi['n+']},{lpi['n0']},{lpi['n-']}}}"
        nodes = ax.collections[0]
        assert len(nodes.get_offsets()) == H.number_of_nodes()
        assert list(nodes.get_sizes()) == [33]
        assert _edge_segments(ax, "black") == H.number_of_edges() - n_soft
        assert _edge_segments(ax, "red") == n_soft
        assert ax.get_aspect() == 1.0
    assert _edge_segments(axes[1], "red") > 0  # glycine has soft bonds, drawn dashed
    assert [c.get_linestyle()[0][1] is not None for c in axes[1].collections[1:]] == [
        False, True]
    water = [mcolors.to_hex(c) for c in axes[0].collections[0].get_facecolors()]
    assert water == [mcolors.to_hex("red")] * 4 + [mcolors.to_hex("skyblue")] * 2
    assert fig._suptitle.get_text() == "VIF analysis — key molecules in human biochemistry"
    assert png.stat().st_size > 0 and show_calls == [1]


def test_unparsable_smiles_does_not_end_the_panels(show_calls):
    # Regression: VIF's failure text was read as a result and ended the whole batch.
    fig = panels.VIF_panel(["O", BAD_SMILES, "N"], by="smiles", cols=3)
    assert _title(fig.axes[1]) == (f"{BAD_SMILES}\n(error)", mcolors.to_hex("gray"), 9)
    assert fig.axes[2].get_title().startswith("N\nLPI={")
    fig = panels.VIF_ms_panel(["O", BAD_SMILES], by="smiles")
    assert _title(fig.axes[1]) == (f"{BAD_SMILES} (error)", mcolors.to_hex("gray"), 9)
    assert [ax.axison for ax in fig.axes] == [True, False]


def test_exception_in_VIF_gives_error_title(monkeypatch, show_calls):
    real = korvane.VIF

    def failing(smiles, **kwargs):
        if smiles == "C":
            raise RuntimeError("boom")
        return real(smiles, **kwargs)
    monkeypatch.setattr(panels, "VIF", failing)
    fig = panels.VIF_panel(["C", "O"], by="smiles", cols=2)
    assert [ax.get_title() for ax in fig.axes] == ["C\n(error)", "O\nLPI={3,0,3}"]
    fig = panels.VIF_ms_panel(["C", "O"], by="smiles", cols=1)
    assert fig.axes[0].get_title() == "C (error)" and not fig.axes[0].axison
    assert fig.axes[1].axison


def test_panels_by_name_mark_unknown_names(pug, show_calls):
    pug.name("water", "O", 962)
    pug.name("glycine", "NCC(=O)O", 750)
    fig = panels.VIF_panel(["water", "unobtainium", "glycine"], cols=3)
    assert _title(fig.axes[1]) == ("unobtainium\n(not found)", mcolors.to_hex("gray"), 9)
    assert fig.axes[0].get_title() == "water\nLPI={3,0,3}"
    assert fig.axes[2].get_title().startswith("glycine\nLPI={")
    fig = panels.VIF_ms_panel(["water", "unobtainium"], cols=2)
    assert _title(fig.axes[1]) == ("unobtainium (not found)", mcolors.to_hex("gray"), 9)
    assert [ax.axison for ax in fig.axes] == [True, False]
    assert [p.split("/")[5] for p in pug.paths] == ["water", "unobtainium", "glycine",
                                                     "water", "unobtainium"]


def test_VIF_ms_panel_draws_spectra_with_item_titles(tmp_path, show_calls, vif_calls):
    png = tmp_path / "ms.png"
    fig = panels.VIF_ms_panel(["CCO", "c1ccccc1", "CC(=O)O"], by="smiles", save=str(png),
                              ring_fragmentation=True, recursive_ms=True)
    assert [kw for _, kw in vif_calls] == [{"draw": False, "verbose": False,
                                            "ring_fragmentation": True,
                                            "recursive_ms": True}] * 3
    axes = fig.axes
    assert len(axes) == 4 and tuple(fig.get_size_inches()) == pytest.approx((11, 5.6))
    assert [ax.axison for ax in axes] == [True, True, True, False]
    for ax, item in zip(axes, ["CCO", "c1ccccc1", "CC(=O)O"]):
        assert ax.get_title().endswith(item) and ax.title.get_fontsize() == 9
        assert ax.get_xlabel() == "m/z"
    assert fig._suptitle.get_text() == "VIF-predicted mass spectra — biomolecules"
    assert png.stat().st_size > 0 and show_calls == [1]


def test_default_molecules_are_the_biomolecules(pug, tmp_path, show_calls):
    for name, smiles in BIO_SMILES.items():
        pug.name(name.replace(" ", "%20"), smiles, 1)
    fig = panels.VIF_panel(save=str(tmp_path / "bio.png"))
    assert tuple(fig.get_size_inches()) == pytest.approx((16, 6.8)) and len(fig.axes) == 10
    assert [ax.get_title().split("\n") for ax in fig.axes][0] == ["water", "LPI={3,0,3}"]
    assert all("LPI={" in ax.get_title() for ax in fig.axes)
    fig = panels.VIF_ms_panel(save=str(tmp_path / "bio_ms.png"))
    assert tuple(fig.get_size_inches()) == pytest.approx((11, 14)) and len(fig.axes) == 10
    assert all(ax.axison for ax in fig.axes)
    assert len(pug.paths) == 20
    assert PATH + "/name/acetic%20acid/property/SMILES/JSON" in pug.paths


def test_no_save_writes_nothing_but_shows(tmp_path, monkeypatch, show_calls):
    monkeypatch.chdir(tmp_path)
    fig = panels.VIF_panel(["O"], by="smiles", cols=1, save="")
    assert len(fig.axes) == 1 and fig.axes[0].get_title() == "O\nLPI={3,0,3}"
    assert list(tmp_path.iterdir()) == [] and show_calls == [1]
