"""Candidate structures for identification: canonical SMILES, nominal masses, the NCI
sample of RDKit as decoys, and the m/z each predictor gives a structure."""
import os

from rdkit import Chem, RDConfig

from .. import _core


def canonical_smiles(smiles):
    """Returns RDKit's canonical SMILES without stereochemistry, or None when RDKit cannot
    parse it."""
    mol = Chem.MolFromSmiles(smiles) if smiles else None
    return Chem.MolToSmiles(mol, isomericSmiles=False) if mol is not None else None


def mol_nominal_mass(mol):
    """Returns the nominal mass of an RDKit molecule, its hydrogens added."""
    from ..massspec import _nominal_mass
    mol = Chem.AddHs(mol)
    return _nominal_mass(mol, range(mol.GetNumAtoms()))


def nominal_mass_of(smiles):
    """Returns the nominal mass (most common isotopes, hydrogens included) of a SMILES that
    RDKit parses, else None."""
    mol = Chem.MolFromSmiles(smiles) if smiles else None
    return None if mol is None else mol_nominal_mass(mol)


def predict_mz(smiles):
    """Returns {"mass": nominal M, predictor name: ascending distinct m/z list, "sources":
    the core's counted fragment sources, "sites": its charge-site marks per m/z} for one
    SMILES, or {"error": message} when it cannot be analysed. The `korvane` predictor's
    m/z are those of the predicted spectrum below M.

    One analysis with ring cuts and two recursive generations, without coordinates,
    serves the three soft predictors: ring fragmentation only adds ring-cut records after
    the single ones, and the recursion cuts ring pairs whatever that flag says.
    """
    from .scores import analyse_fragments, predicted_spectrum, sources_of
    mol = Chem.MolFromSmiles(smiles)
    if mol is None:
        return {"error": "RDKit cannot parse the SMILES"}
    try:
        analysed = analyse_fragments(smiles, max_generations=2)
    except (MemoryError, ValueError, RuntimeError) as e:
        return {"error": f"{type(e).__name__}: {e}"}
    if analysed is None:
        return {"error": "the analysis cannot parse the SMILES"}
    m, f = analysed
    mass = m.mol_mass
    cuts = [c for c in f.fragments if c[1]]

    def pieces(records):
        return sorted({piece[2] for c in records for piece in c[3]})

    sources = sources_of(m, f)
    return {"mass": mass,
            "all_single_cuts": list(_core.single_cut_mz(Chem.AddHs(mol).ToBinary())),
            "soft_single": pieces([c for c in cuts if c[2] == "single"]),
            "soft_ring": pieces(cuts),
            "recursive": sorted({mz for mz, _, _ in f.recursive_peaks} - {mass}),
            "korvane": [mz for mz, _ in predicted_spectrum(sources) if mz < mass],
            "sources": sources, "sites": _core.cut_site_counts(m.mol_pickle())}


def predict_mz_task(smiles, options):
    """predict_mz as a task of the process pool (which passes options; none are used)."""
    return predict_mz(smiles)


def lost_prediction(smiles, message):
    """The prediction of a structure whose worker was lost."""
    return {"error": message}


def nci_candidates():
    """Returns the SMILES of the single-component molecules of RDKit's NCI sample."""
    path = os.path.join(RDConfig.RDDataDir, "NCI", "first_5K.smi")
    with open(path) as f:
        return [line.split()[0] for line in f if line.strip() and "." not in line.split()[0]]
