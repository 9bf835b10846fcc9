"""The analysis entry VIF: runs the core's stages, builds the result dict, prints the report."""
import numpy as np
from rdkit import Chem

from . import _core
from ._graph import orbital_graph
from ._lazy import LazyModule
from ._settings import helper_threads, max_analysis_bytes
from .layout import _get_period
from .massspec import _nominal_atom_mass
from .plotting import draw_orbital_graph, plot_mass_spectrum

plt = LazyModule("matplotlib.pyplot")

PARSE_FAILURE = "SMILES okunamadı!"

# The core's parameters at their defaults, which VIF's signature shows.
_DEFAULT = _core.AnalysisParams()


def _set(params, name, value, kind):
    """Sets one core parameter; a value the core cannot take raises TypeError naming it."""
    try:
        setattr(params, name, value)
    except TypeError:
        raise TypeError(f"VIF() expects {name} as {kind}, not {type(value).__name__} "
                        f"{value!r}") from None


def analysis_params(n_iter=_DEFAULT.n_iter, target_bond_len=_DEFAULT.target_bond_len,
                    radius_ratio=_DEFAULT.radius_ratio, bond_kappa=_DEFAULT.bond_kappa,
                    ring_fragmentation=_DEFAULT.ring_fragmentation,
                    recursive_ms=_DEFAULT.recursive_ms,
                    max_generations=_DEFAULT.max_generations):
    """Returns the core's parameters, with the memory budget korvane.MAX_ANALYSIS_BYTES as
    it stands now. The core raises ValueError naming a non-finite target_bond_len,
    radius_ratio or bond_kappa."""
    p = _core.AnalysisParams()
    _set(p, "n_iter", n_iter, "a 32-bit integer")
    _set(p, "target_bond_len", target_bond_len, "a real number")
    _set(p, "radius_ratio", radius_ratio, "a real number")
    _set(p, "bond_kappa", bond_kappa, "a real number")
    p.ring_fragmentation = bool(ring_fragmentation)
    p.recursive_ms = bool(recursive_ms)
    _set(p, "max_generations", max_generations, "a 32-bit integer")
    p.max_analysis_bytes = max_analysis_bytes()
    p.beside_layout = helper_threads()
    return p


def check_smiles(smiles):
    """Raises TypeError for a non-string; returns False for text that is not valid
    Unicode (a lone surrogate), which no SMILES can be."""
    if not isinstance(smiles, str):
        raise TypeError(f"VIF() expects the SMILES as a str, not {type(smiles).__name__}")
    try:
        smiles.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _first_stage(smiles, params):
    """Runs the core up to the LPI; returns (core molecule, H, lpi dict, chem_bonds,
    atom_subgraphs, pos), or None for a SMILES that cannot be parsed."""
    m = _core.prepare_vif(smiles, params)
    if m is None:
        return None
    # The lookups the core made, remembered as the Python helpers remember them.
    for z in dict.fromkeys(m.atomic_numbers):
        _nominal_atom_mass(z)
    nodes = m.nodes
    H = orbital_graph(nodes, m.edges)
    for symbol in dict.fromkeys(symbol for symbol, _, _ in nodes):
        _get_period(symbol)
    n_plus, n_zero, n_minus, eigenvalues = m.lpi
    lpi = {"n+": n_plus, "n0": n_zero, "n-": n_minus, "eigenvalues": eigenvalues}
    chem_bonds = _chem_bond_records(m.chem_bonds)
    atom_subgraphs = dict(enumerate(m.atom_subgraphs))  # fresh lists on every access
    pos = dict(enumerate(m.pos))
    return m, H, lpi, chem_bonds, atom_subgraphs, pos


def _chem_bond_records(core_records):
    """The core's chemical-bond tuples as dicts, keys in the tuples' order."""
    return [{"u_node": u_node, "v_node": v_node, "atom_u": atom_u, "atom_v": atom_v,
             "sym_u": sym_u, "sym_v": sym_v, "order": order, "k": k}
            for u_node, v_node, atom_u, atom_v, sym_u, sym_v, order, k in core_records]


def _cut_records(core_fragments):
    return [{"bond": bond, "split": split, "mode": mode,
             "fragments": None if frags is None else [tuple(f) for f in frags]}
            for bond, split, mode, frags in core_fragments]


def _peaks(core_peaks):
    if core_peaks is None:
        return None
    return {mz: {"formula": formula, "generation": gen} for mz, formula, gen in core_peaks}


def VIF(smiles, n_iter=_DEFAULT.n_iter, target_bond_len=_DEFAULT.target_bond_len,
        radius_ratio=_DEFAULT.radius_ratio, show_spectrum=True, bond_kappa=_DEFAULT.bond_kappa,
        draw=True, verbose=True, ring_fragmentation=_DEFAULT.ring_fragmentation,
        recursive_ms=_DEFAULT.recursive_ms, max_generations=_DEFAULT.max_generations):
    """Returns the analysis of one molecule as a dict (fourteen keys without drawing,
    nine with), or the text "SMILES okunamadı!" when the SMILES cannot be parsed.

    Prints the report when `verbose`; with `draw`, draws the orbital graph (and the
    spectrum when `show_spectrum`) and shows the figures. Raises MemoryError, before any
    large allocation, for a molecule whose dense matrices exceed korvane.MAX_ANALYSIS_BYTES,
    and KeyboardInterrupt within moments of Ctrl-C, the core's work discarded. Raises
    ValueError for a target_bond_len outside [0.001, 1000] (the layout's range).
    """
    if not check_smiles(smiles):
        return PARSE_FAILURE
    params = analysis_params(n_iter, target_bond_len, radius_ratio, bond_kappa,
                             ring_fragmentation, recursive_ms, max_generations)
    first = _first_stage(smiles, params)
    if first is None:
        return PARSE_FAILURE
    m, H, lpi, chem_bonds, atom_subgraphs, pos = first
    mol_mass, mol_mass_avg = m.mol_mass, m.mol_mass_avg
    if verbose:
        print(_core.report_head(smiles, m))

    f = _core.fragment_vif(m, params)
    softs = [chem_bonds[i] for i in f.soft_bonds]
    fragments = _cut_records(f.fragments)
    single = [c for c in fragments if c["split"] and c["mode"] == "single"]
    ringcut = [c for c in fragments if c["split"] and c["mode"] == "ring"]
    ring_soft = [c for c in fragments if not c["split"]]
    recursive_peaks = _peaks(f.recursive_peaks)
    if verbose:
        print(_core.report_tail(f, params))

    if not draw:
        return {
            "lpi": lpi, "soft_bonds": softs, "fragments": fragments,
            "real_fragments": single + ringcut, "single_fragments": single,
            "ringcut_fragments": ringcut, "ring_soft_bonds": ring_soft,
            "recursive_peaks": recursive_peaks, "graph": H, "chem_bonds": chem_bonds,
            "atom_subgraphs": atom_subgraphs, "pos": pos, "mol_mass": mol_mass,
            "mol_mass_avg": mol_mass_avg,
        }

    draw_orbital_graph(H, pos, softs, lpi, smiles)
    if show_spectrum:
        plot_mass_spectrum(smiles, mol_mass, fragments)
    plt.show()
    return {"lpi": lpi, "soft_bonds": softs, "fragments": fragments, "graph": H,
            "chem_bonds": chem_bonds, "atom_subgraphs": atom_subgraphs, "pos": pos,
            "mol_mass": mol_mass, "mol_mass_avg": mol_mass_avg}


def _analyse(smiles, n_iter=_DEFAULT.n_iter, target_bond_len=_DEFAULT.target_bond_len,
             radius_ratio=_DEFAULT.radius_ratio, bond_kappa=_DEFAULT.bond_kappa):
    """Internal entry: the stages of VIF up to the soft bonds, silently.

    Returns a dict with "mol" (the prepared RDKit molecule with its 2-D conformer),
    "H", "pos", "atom_subgraphs", "chem_bonds", "lpi", "soft_bonds" and "coords", or
    None for a SMILES that cannot be parsed.
    """
    if not check_smiles(smiles):
        return None
    params = analysis_params(n_iter, target_bond_len, radius_ratio, bond_kappa)
    first = _first_stage(smiles, params)
    if first is None:
        return None
    m, H, lpi, chem_bonds, atom_subgraphs, pos = first
    f = _core.fragment_vif(m, params)
    return {"mol": Chem.Mol(m.mol_pickle()), "H": H, "pos": pos,
            "atom_subgraphs": atom_subgraphs, "chem_bonds": chem_bonds, "lpi": lpi,
            "soft_bonds": [chem_bonds[i] for i in f.soft_bonds], "coords": np.array(m.coords)}
