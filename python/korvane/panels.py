"""Batch panels: one grid figure of orbital graphs or predicted spectra for many molecules."""
import math

from ._lazy import LazyModule

plt = LazyModule("matplotlib.pyplot")
import numpy as np


from . import _core
from .plotting import COLOR_MAP, draw_panel_graph, plot_mass_spectrum
from .pubchem import fetch_smiles_from_pubchem
from .vif import VIF

BIOMOLECULES = [
    "water",
    "glucose",
    "glycine",
    "urea",
    "lactic acid",
    "adenine",
    "dopamine",
    "ascorbic acid",
    "acetic acid",
    "cytosine",
]

def _grid(molecules, cols, cell_width, cell_height):
    """Returns (molecules, figure, flat row-major axes) for one cell per molecule."""
    if molecules is None:
        molecules = BIOMOLECULES
    rows = math.ceil(len(molecules) / cols)
    fig, axs = plt.subplots(rows, cols, figsize=(cols * cell_width, rows * cell_height))
    # np.array also turns the single Axes of a 1 x 1 grid into a sequence of one.
    return molecules, fig, np.array(axs).reshape(-1)


def _smiles_for(item, by):
    """Returns the SMILES of `item`: looked up by name when `by` is "name", else the item."""
    if by == "name":
        return fetch_smiles_from_pubchem(item)[0]
    return item


def _analyse(smiles, **vif_kwargs):
    """Returns the VIF result of `smiles` without drawing or printing.

    VIF answers an unparsable SMILES with its failure text instead of a result;
    that text is raised as ValueError so the panel shows it like any analysis error.
    """
    result = VIF(smiles, draw=False, verbose=False, **vif_kwargs)
    if isinstance(result, str):
        raise ValueError(result)
    return result


def _note(ax, text):
    """Writes a failed item's grey title."""
    ax.set_title(text, fontsize=9, color="gray")


def _finish(fig, axes, n_used, title, title_y, save):
    """Hides the unused cells, titles, lays out, saves if asked, shows and returns `fig`."""
    for ax in axes[n_used:]:
        ax.axis("off")
    fig.suptitle(title, fontsize=13, y=title_y)
    # The figure's own methods, so a figure made current elsewhere is never saved instead.
    fig.tight_layout()
    if save:
        fig.savefig(save, dpi=110, bbox_inches="tight")
    plt.show()
    return fig


def VIF_panel(molecules=None, by="name", cols=5, save=None, node_size=60,
              bond_kappa=_core.AnalysisParams().bond_kappa):
    """Returns a grid figure of each molecule's orbital graph, soft bonds dashed red.

    Items are compound names looked up on PubChem when `by` is "name", SMILES otherwise.
    A failed lookup or analysis leaves a grey "(not found)" or "(error)" title.
    """
    molecules, fig, axes = _grid(molecules, cols, 3.2, 3.4)
    for ax, item in zip(axes, molecules):
        ax.axis("off")
        try:
            smiles = _smiles_for(item, by)
        except Exception:
            _note(ax, f"{item}\n(not found)")
            continue
        try:
            r = _analyse(smiles, bond_kappa=bond_kappa)
        except Exception:
            _note(ax, f"{item}\n(error)")
            continue
        draw_panel_graph(ax, r, COLOR_MAP, node_size)
        lpi = r["lpi"]
        ax.set_title(f"{item}\nLPI={{{lpi['n+']},{lpi['n0']},{lpi['n-']}}}", fontsize=9)
        ax.set_aspect("equal")
    return _finish(fig, axes, len(molecules),
                   "VIF analysis — key molecules in human biochemistry", 0.99, save)


def VIF_ms_panel(molecules=None, by="name", cols=2, save=None, ring_fragmentation=False,
                 recursive_ms=False):
    """Returns a grid figure of each molecule's predicted stick spectrum.

    Items are read as in VIF_panel; a failed item gets a grey title and its axes hidden.
    """
    molecules, fig, axes = _grid(molecules, cols, 5.5, 2.8)
    for ax, item in zip(axes, molecules):
        try:
            smiles = _smiles_for(item, by)
        except Exception:
            _note(ax, f"{item} (not found)")
            ax.axis("off")
            continue
        try:
            r = _analyse(smiles, ring_fragmentation=ring_fragmentation,
                         recursive_ms=recursive_ms)
        except Exception:
            _note(ax, f"{item} (error)")
            ax.axis("off")
            continue
        # The item, not the resolved SMILES, names the spectrum in its title.
        plot_mass_spectrum(item, r["mol_mass"], r["fragments"], ax=ax)
        ax.title.set_fontsize(9)
    return _finish(fig, axes, len(molecules),
                   "VIF-predicted mass spectra — biomolecules", 1.0, save)
