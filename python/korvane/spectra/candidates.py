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
    """Returns {"mass": nominal M, predictor name: ascending distinct m/z list} for one
    SMILES, or {"error": message} when it cannot be analysed.

    One `VIF` run with ring cuts and two recursive generations serves the three soft
    predictors: ring fragmentation only adds ring-cut records after the single ones, and
    the recursion cuts ring pairs whatever that flag says.
    """
    from ..vif import VIF
    mol = Chem.MolFromSmiles(smiles)
    if mol is None:
        return {"error": "RDKit cannot parse the SMILES"}
    try:
        r = VIF(smiles, draw=False, verbose=False, ring_fragmentation=True,
                recursive_ms=True, max_generations=2)
    except (MemoryError, ValueError, RuntimeError) as e:
        return {"error": f"{type(e).__name__}: {e}"}
    if not isinstance(r, dict):
        return {"error": r}
    m = r["mol_mass"]

    def pieces(records):
        return sorted({f[2] for c in records for f in c["fragments"]})

    return {"mass": m,
            "all_single_cuts": list(_core.single_cut_mz(Chem.AddHs(mol).ToBinary())),
            "soft_single": pieces(r["single_fragments"]),
            "soft_ring": pieces(r["real_fragments"]),
            "recursive": sorted(mz for mz in r["recursive_peaks"] if mz != m)}


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
