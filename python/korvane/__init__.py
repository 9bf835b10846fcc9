"""korvane: valency-interaction-formula orbital graphs, LPI, soft bonds and EI-MS fragments.

`VIF(smiles)` runs the whole analysis of one molecule; the other public functions are
its stages, the PubChem lookup, batch panels, validation and demonstrations.
"""
# Library handles; `nx` and `plt` are imported at their first use (see __getattr__).
from rdkit import Chem
from rdkit.Chem import rdDepictor
import numpy as np
import math
from collections import defaultdict
from functools import lru_cache

from . import _core
from ._core import __version__
from .layout import element

# Memory budget of one analysis in bytes, read at every call: a molecule whose dense orbital
# matrices (three N x N matrices of doubles over its N orbital nodes) would take more
# raises MemoryError before anything is allocated. 4 GiB by default; raise it to allow more.
MAX_ANALYSIS_BYTES = _core.DEFAULT_MAX_ANALYSIS_BYTES

# Module values, in the order loading creates them.
from .massspec import _NOMINAL_ISOTOPE
from .pubchem import PUBCHEM_REST
from .panels import BIOMOLECULES
from .references import HALOGEN_TESTS, LPI_REFERENCES, MS_REFERENCES
from .references import (diborane, ccl4, co2, h2o, methyl_li, dimethyllithium, methanol,
                         ethanol, formaldehyde, formic_acid, dodecane, nitrobenzene, dnb, tnb,
                         tnt, acetone_oxime, benzaldehyde_imine)
from .references import CO, NB, DNB, TNB, TNT, H2O, CO2, CCl4

# Functions.
from .layout import _get_period, _angle_diff
from .layout import (_symmetry_classes, _radial_equalize, _pca_align, _enforce_mirror,
                     compute_atom_layout)
from .layout import _yerlestir_dugumler
from .analysis import compute_lpi, detect_soft_bonds
from .massspec import (_fragment_formula, _pair_label, _nominal_atom_mass, _nominal_mass,
                       predict_fragments, _fragment_atom_softs, _cut_atom_set,
                       predict_fragments_recursive)
from .analysis import _build_bond_orders
from .plotting import plot_mass_spectrum, draw_orbital_graph as _draw_orbital_graph
from .vif import VIF, _analyse
from .pubchem import fetch_smiles_from_pubchem, VIF_from_pubchem
from .panels import VIF_panel, VIF_ms_panel
from .demos import triple_group_demo, halogen_test
from .validation import validate
from .batch import predict_record, predict_many
from . import spectra
from .spectra import Spectrum, SpectrumFormatError, read_spectra, read_msp
from .spectra.annotation import annotate
from .spectra.mirror_plot import plot_annotation

# The handles imported at their first use, so that what only predicts records (the
# command, batch workers, Dask tasks) starts without NetworkX and Matplotlib.
_LAZY_HANDLES = {"nx": "networkx", "plt": "matplotlib.pyplot"}


def __getattr__(name):
    if name in _LAZY_HANDLES:
        import importlib
        module = importlib.import_module(_LAZY_HANDLES[name])
        globals()[name] = module
        return module
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_LAZY_HANDLES))


__all__ = [
    "nx", "plt", "Chem", "rdDepictor", "element", "np", "math", "defaultdict", "lru_cache",
    "PUBCHEM_REST", "BIOMOLECULES", "HALOGEN_TESTS", "LPI_REFERENCES", "MS_REFERENCES",
    "diborane", "ccl4", "co2", "h2o", "methyl_li", "dimethyllithium", "methanol", "ethanol",
    "formaldehyde", "formic_acid", "dodecane", "nitrobenzene", "dnb", "tnb", "tnt",
    "acetone_oxime", "benzaldehyde_imine", "CO", "NB", "DNB", "TNB", "TNT", "H2O", "CO2",
    "CCl4",
    "compute_atom_layout", "compute_lpi", "detect_soft_bonds", "predict_fragments",
    "predict_fragments_recursive", "plot_mass_spectrum", "VIF", "fetch_smiles_from_pubchem",
    "VIF_from_pubchem", "VIF_panel", "VIF_ms_panel", "triple_group_demo", "halogen_test",
    "validate", "predict_record", "predict_many", "spectra", "Spectrum",
    "SpectrumFormatError", "read_spectra", "read_msp", "annotate", "plot_annotation",
]
