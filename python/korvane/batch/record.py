"""One JSON-ready record per molecule: the predicted spectrum and what it rests on.

Every batch path (the `korvane` command, the process pool, a Dask cluster) writes these
records; the README documents each field. A molecule that fails, whatever the cause,
gives an error record with the same keys instead of an exception.
"""
import time

from rdkit import Chem
from rdkit.Chem import rdMolDescriptors
from rdkit.Chem.MolStandardize import rdMolStandardize

from .. import _core
from ..vif import check_smiles, analysis_params

_DEFAULT = _core.AnalysisParams()  # the analysis's defaults, VIF's

# Raised whenever a field is added, removed or changes its meaning.
SCHEMA_VERSION = 2

# The record's keys, in their order.
RECORD_KEYS = ("schema_version", "id", "smiles", "canonical_smiles", "inchikey", "formula",
               "nominal_mass", "average_mass", "monoisotopic_mass", "lpi", "soft_bonds",
               "single_cuts", "ring_cuts", "peaks", "spectrum", "dropped_components", "status",
               "error")


def error_record(smiles, id=None, message="", dropped_components=None):
    """Returns the record of a molecule that could not be analysed: every result field
    None, "status" "error" and the message in "error"."""
    record = dict.fromkeys(RECORD_KEYS)
    record.update(schema_version=SCHEMA_VERSION, id=id,
                  smiles=smiles if isinstance(smiles, str) else None,
                  dropped_components=dropped_components or [], status="error",
                  error=message)
    return record


def _largest_component(smiles):
    """Returns (SMILES of the largest component, SMILES of the others in input order).

    RDKit's largest-fragment chooser decides (most atoms, hydrogens counted, then
    molecular weight, then SMILES); the pieces are read without sanitisation, as the
    analysis reads its input.
    """
    # RDKit's parser would stop at a NUL or a character outside ASCII and keep the
    # pieces before it; the analysis refuses such text, and so does the choice here.
    mol = Chem.MolFromSmiles(smiles, sanitize=False) if _core.is_smiles_text(smiles) else None
    if mol is None:
        raise ValueError("SMILES could not be parsed")
    pieces = Chem.GetMolFrags(mol, asMols=True, sanitizeFrags=False)
    if len(pieces) < 2:
        return smiles, []
    for piece in pieces:
        piece.UpdatePropertyCache(strict=False)
    chooser = rdMolStandardize.LargestFragmentChooser(preferOrganic=False)
    kept = Chem.MolToSmiles(chooser.choose(mol))
    texts = [Chem.MolToSmiles(p) for p in pieces]
    dropped = list(texts)
    dropped.remove(kept)  # the chooser returns one of the pieces itself
    return kept, dropped


def _piece(fragment, structure):
    formula, mass, mz = fragment
    atoms, smiles = structure
    return {"formula": formula, "mz": mz, "average_mass": mass, "atoms": atoms,
            "smiles": smiles}


def _cuts(core_fragments, structures, mode):
    return [{"bond": bond, "pieces": [_piece(f, s) for f, s in zip(frags, pieces)]}
            for (bond, split, cut_mode, frags), pieces in zip(core_fragments, structures)
            if split and cut_mode == mode]


def _recursive_peaks(core_peaks, structures):
    peaks = [{"mz": mz, "formula": formula, "generation": gen, "atoms": atoms,
              "smiles": smiles, "parent_atoms": parent, "path": path}
             for (mz, formula, gen), (atoms, smiles, parent, path)
             in zip(core_peaks, structures)]
    return sorted(peaks, key=lambda p: p["mz"])


def _single_generation_peaks(formula, nominal_mass, n_atoms, single, ring):
    """The peaks without recursion: the molecule (generation 0), then the pieces of the
    single cuts and of the ring cuts (generation 1); an m/z keeps the first piece."""
    everything = list(range(n_atoms))
    peaks = {nominal_mass: {"mz": nominal_mass, "formula": formula, "generation": 0,
                            "atoms": everything, "smiles": None, "parent_atoms": None,
                            "path": []}}
    for cut in single + ring:
        for p in cut["pieces"]:
            peaks.setdefault(p["mz"], {"mz": p["mz"], "formula": p["formula"], "generation": 1,
                                       "atoms": p["atoms"], "smiles": p["smiles"],
                                       "parent_atoms": everything, "path": [cut["bond"]]})
    return sorted(peaks.values(), key=lambda p: p["mz"])


def _canonical_smiles(mol):
    """RDKit's canonical SMILES of the prepared molecule, hydrogens folded into their heavy
    atoms and rings written aromatic where RDKit's model finds them."""
    heavy = Chem.RemoveHs(mol, sanitize=False)
    Chem.SetAromaticity(heavy)
    return Chem.MolToSmiles(heavy)


def _analyse_record(smiles, id, params):
    m = _core.prepare_vif(smiles, params)
    if m is None:
        return None
    f = _core.fragment_vif(m, params)
    pickle = m.mol_pickle()
    mol = Chem.Mol(pickle)
    formula = _core.fragment_formula(pickle, list(range(mol.GetNumAtoms())))
    inchi = _core.standard_inchi(pickle)
    n_plus, n_zero, n_minus, _ = m.lpi
    bonds = m.chem_bonds
    soft = []
    for i in f.soft_bonds:
        _, _, atom_u, atom_v, sym_u, sym_v, order, _ = bonds[i]
        soft.append({"atoms": [atom_u, atom_v], "label": f"{sym_u}{atom_u}-{sym_v}{atom_v}",
                     "order": order})
    core_fragments = f.fragments
    cut_structures, peak_structures = _core.fragment_structures(m, f)
    single = _cuts(core_fragments, cut_structures, "single")
    ring = _cuts(core_fragments, cut_structures, "ring")
    canonical = _canonical_smiles(mol)
    if f.recursive_peaks is None:
        peaks = _single_generation_peaks(formula, m.mol_mass, mol.GetNumAtoms(), single, ring)
    else:
        peaks = _recursive_peaks(f.recursive_peaks, peak_structures)
    for p in peaks:  # the molecule's own peak: its SMILES as the record gives it
        if p["generation"] == 0:
            p["smiles"] = canonical
    sources = _core.fragment_sources(pickle, core_fragments, f.recursive_peaks or [])
    spectrum = [[mz, round(intensity, 1)] for mz, intensity in _core.predicted_spectrum(sources)]
    return {"schema_version": SCHEMA_VERSION, "id": id, "smiles": smiles,
            "canonical_smiles": canonical, "inchikey": None if inchi is None else inchi[1],
            "formula": formula, "nominal_mass": m.mol_mass,
            "average_mass": m.mol_mass_avg,
            "monoisotopic_mass": rdMolDescriptors.CalcExactMolWt(mol),
            "lpi": {"n+": n_plus, "n0": n_zero, "n-": n_minus}, "soft_bonds": soft,
            "single_cuts": single, "ring_cuts": ring, "peaks": peaks,
            "spectrum": [p for p in spectrum if p[1] > 0]}


def predict_record(smiles, id=None, recursive_ms=True, ring_fragmentation=True,
                   max_generations=_DEFAULT.max_generations, largest_component=False,
                   bond_kappa=_DEFAULT.bond_kappa,
                   timings=False):
    """Returns the record of one molecule as a JSON-ready dict, keys in RECORD_KEYS order.

    The analysis is VIF's (draw=False) with the same parameters; ring_fragmentation reaches
    the single cuts, as in VIF. Any failure (unparsable SMILES, unknown element, the
    memory budget korvane.MAX_ANALYSIS_BYTES, any other error of the analysis) gives an
    error record; only KeyboardInterrupt passes through. With largest_component, a SMILES
    of several pieces is analysed as its largest piece and "dropped_components" names the
    others. With timings, a last key "seconds" holds the wall-clock time of the call.
    """
    start = time.perf_counter()
    dropped = []
    try:
        if not check_smiles(smiles):
            raise ValueError("SMILES is not valid Unicode text")
        analysed = smiles
        if largest_component:
            analysed, dropped = _largest_component(smiles)
        params = analysis_params(bond_kappa=bond_kappa, ring_fragmentation=ring_fragmentation,
                                 recursive_ms=recursive_ms, max_generations=max_generations)
        params.need_coordinates = False  # a record holds no coordinates
        record = _analyse_record(analysed, id, params)
        if record is None:
            raise ValueError("SMILES could not be parsed")
        record["smiles"] = smiles
        record["dropped_components"] = dropped
        record["status"] = "ok"
        record["error"] = None
    except Exception as e:  # every failure of one molecule becomes its error record
        record = error_record(smiles, id, _error_text(e), dropped)
    if timings:
        record["seconds"] = time.perf_counter() - start
    return record


def _error_text(e):
    """Returns "Type: message" on one line; MemoryError says it is the analysis budget."""
    text = " ".join(str(e).split())
    return f"{type(e).__name__}: {text}" if text else type(e).__name__
