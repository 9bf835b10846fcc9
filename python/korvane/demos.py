"""Demonstrations: the substituted-halogen table and the triple-group molecule."""
from ._lazy import LazyModule

plt = LazyModule("matplotlib.pyplot")

import korvane as _kv

from ._files import _save_figure_replacing
from .plotting import _draw_panel_graph

_SEPARATOR = "=" * 78

_COLOR_MAP = {"C": "red", "H": "skyblue", "Cl": "lightgreen", "O": "red", "N": "violet",
              "F": "yellow", "Br": "brown"}


def _fragment_list_text(record, sep):
    return sep.join(f"{formula}({mz})" for formula, _mass, mz in record["fragments"])


def halogen_test(molekuller=None, panel_n=4, save="/tmp/vif_halojen.png"):
    """Returns [(name, SMILES, analysis)] for every row; prints each row's LPI and its
    carbon-halogen cleavages, and draws the first `panel_n` rows (graphs above, spectra
    below), saved to `save` when it is set."""
    if molekuller is None:
        molekuller = _kv.HALOGEN_TESTS
    print(_SEPARATOR)
    print("SUBSTITUTED-HALOGEN TEST — K4 (square) representation")
    print(_SEPARATOR)

    sonuc = []
    for ad, smi, not_ in molekuller:
        r = _kv.VIF(smi, draw=False, verbose=False, show_spectrum=False)
        l = r["lpi"]
        cx = [f for f in r["fragments"]
              if f["split"] and any(x in f["bond"] for x in ("Cl", "F", "Br"))]
        if cx:
            cx_str = "; ".join(f["bond"] + "->" + _fragment_list_text(f, ",") for f in cx)
        else:
            cx_str = "C-X does NOT cleave"
        print(f"{ad:24} LPI={str((l['n+'], l['n0'], l['n-'])):12} | C-X: {cx_str}")
        print(" " * 24 + " [" + not_ + "]")
        sonuc.append((ad, smi, r))

    pnl = sonuc[:panel_n]
    n = len(pnl)
    fig, axes = plt.subplots(2, n, figsize=(5 * n, 8.8), squeeze=False)
    for col, (ad, smi, r) in enumerate(pnl):
        axg = axes[0][col]
        axg.axis("off")
        _draw_panel_graph(axg, r, _COLOR_MAP, 90)
        l = r["lpi"]
        axg.set_title(f"{ad}\nLPI = {{{l['n+']}, {l['n0']}, {l['n-']}}}", fontsize=11)
        axg.set_aspect("equal")
        axm = axes[1][col]
        _kv.plot_mass_spectrum(ad, r["mol_mass"], r["fragments"], ax=axm)
        axm.title.set_fontsize(9)
    fig.suptitle("Substituted-halogen test (K4/square): structure (top) + MS (bottom)",
                 fontsize=14)
    plt.tight_layout()
    if save:
        _save_figure_replacing(plt.gcf(), save, dpi=120, bbox_inches="tight")
        print(_SEPARATOR)
        print(f"Panel saved: {save}")
    plt.show()
    return sonuc


def triple_group_demo(smiles="N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl", save_prefix="/tmp/vif_kombine"):
    """Returns the drawn analysis of `smiles`; prints its summary and single-cut
    fragments and saves the graph and spectrum figures under `save_prefix`."""
    r = _kv.VIF(smiles, draw=True, verbose=False, show_spectrum=False)
    if save_prefix:
        _save_figure_replacing(plt.gcf(), f"{save_prefix}_graph.png", dpi=140,
                               bbox_inches="tight")
    l = r["lpi"]
    print(f"Molecule : {smiles}")
    print(f"M+ = {round(r['mol_mass'])}   LPI = {{{l['n+']}, {l['n0']}, {l['n-']}}}")
    print("Fragments (single-cut):")
    for f in r["fragments"]:
        if f["split"]:
            print(f"   {f['bond']:>10}  ->  {_fragment_list_text(f, ', ')}")
    _kv.plot_mass_spectrum(smiles, r["mol_mass"], r["fragments"])
    if save_prefix:
        _save_figure_replacing(plt.gcf(), f"{save_prefix}_ms.png", dpi=140,
                               bbox_inches="tight")
        print(f"Saved: {save_prefix}_graph.png , {save_prefix}_ms.png")
    plt.show()
    return r
