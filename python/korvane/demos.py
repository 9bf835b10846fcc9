"""Demonstrations: the substituted-halogen table and the triple-group molecule."""
from ._lazy import LazyModule

plt = LazyModule("matplotlib.pyplot")


from ._files import save_figure_replacing
from .plotting import draw_panel_graph, plot_mass_spectrum
from .references import HALOGEN_TESTS
from .vif import VIF

_SEPARATOR = "=" * 78

COLOR_MAP = {"C": "red", "H": "skyblue", "Cl": "lightgreen", "O": "red", "N": "violet",
             "F": "yellow", "Br": "brown"}


def _fragment_list_text(record, sep):
    return sep.join(f"{formula}({mz})" for formula, _mass, mz in record["fragments"])


def halogen_test(molekuller=None, panel_n=4, save="/tmp/vif_halojen.png"):
    """Returns [(name, SMILES, analysis)] for every row; prints each row's LPI and its
    carbon-halogen cleavages, and draws the first `panel_n` rows (graphs above, spectra
    below), saved to `save` when it is set."""
    if molekuller is None:
        molekuller = HALOGEN_TESTS
    print(_SEPARATOR)
    print("SUBSTITUTED-HALOGEN TEST — K4 (square) representation")
    print(_SEPARATOR)

    rows = []
    for name, smi, note in molekuller:
        r = VIF(smi, draw=False, verbose=False, show_spectrum=False)
        l = r["lpi"]
        cx = [f for f in r["fragments"]
              if f["split"] and any(x in f["bond"] for x in ("Cl", "F", "Br"))]
        if cx:
            cx_str = "; ".join(f["bond"] + "->" + _fragment_list_text(f, ",") for f in cx)
        else:
            cx_str = "C-X does NOT cleave"
        print(f"{name:24} LPI={str((l['n+'], l['n0'], l['n-'])):12} | C-X: {cx_str}")
        print(" " * 24 + " [" + note + "]")
        rows.append((name, smi, r))

    shown = rows[:panel_n]
    n = len(shown)
    fig, axes = plt.subplots(2, n, figsize=(5 * n, 8.8), squeeze=False)
    for col, (name, smi, r) in enumerate(shown):
        axg = axes[0][col]
        axg.axis("off")
        draw_panel_graph(axg, r, COLOR_MAP, 90)
        l = r["lpi"]
        axg.set_title(f"{name}\nLPI = {{{l['n+']}, {l['n0']}, {l['n-']}}}", fontsize=11)
        axg.set_aspect("equal")
        axm = axes[1][col]
        plot_mass_spectrum(name, r["mol_mass"], r["fragments"], ax=axm)
        axm.title.set_fontsize(9)
    fig.suptitle("Substituted-halogen test (K4/square): structure (top) + MS (bottom)",
                 fontsize=14)
    plt.tight_layout()
    if save:
        save_figure_replacing(plt.gcf(), save, dpi=120, bbox_inches="tight")
        print(_SEPARATOR)
        print(f"Panel saved: {save}")
    plt.show()
    return rows


def triple_group_demo(smiles="N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl", save_prefix="/tmp/vif_kombine"):
    """Returns the drawn analysis of `smiles`; prints its summary and single-cut
    fragments and saves the graph and spectrum figures under `save_prefix`."""
    r = VIF(smiles, draw=True, verbose=False, show_spectrum=False)
    if save_prefix:
        save_figure_replacing(plt.gcf(), f"{save_prefix}_graph.png", dpi=140,
                               bbox_inches="tight")
    l = r["lpi"]
    print(f"Molecule : {smiles}")
    print(f"M+ = {round(r['mol_mass'])}   LPI = {{{l['n+']}, {l['n0']}, {l['n-']}}}")
    print("Fragments (single-cut):")
    for f in r["fragments"]:
        if f["split"]:
            print(f"   {f['bond']:>10}  ->  {_fragment_list_text(f, ', ')}")
    plot_mass_spectrum(smiles, r["mol_mass"], r["fragments"])
    if save_prefix:
        save_figure_replacing(plt.gcf(), f"{save_prefix}_ms.png", dpi=140,
                               bbox_inches="tight")
        print(f"Saved: {save_prefix}_graph.png , {save_prefix}_ms.png")
    plt.show()
    return r
