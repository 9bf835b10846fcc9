"""Nominal masses, formulas and fragment prediction of molecules with explicit hydrogens."""
import math

from . import _core
from ._graph import graph_to_core
from ._settings import max_analysis_bytes

# Atomic number -> nominal mass, filled by _nominal_atom_mass one element at a time.
_NOMINAL_ISOTOPE = {}

_INT32_MAX = 2**31 - 1


def _nominal_atom_mass(atomic_num):
    """Returns the mass number of the element's most common isotope (12 for C, 35 for Cl).

    Each element is asked of RDKit's periodic table once and remembered in _NOMINAL_ISOTOPE.
    """
    if atomic_num in _NOMINAL_ISOTOPE:
        return _NOMINAL_ISOTOPE[atomic_num]
    m = _core.nominal_atom_mass(atomic_num)
    _NOMINAL_ISOTOPE[atomic_num] = m
    return m


def _nominal_mass(mol, indices):
    """Returns the sum of the nominal masses of the atoms at `indices` (0 for none).

    An atom with an isotope label counts its label's mass number ([2H] counts 2); the
    others count their element's, through _NOMINAL_ISOTOPE.
    """
    pickle, atoms = mol.ToBinary(), list(indices)
    labels = _core.isotope_labels(pickle, atoms)
    return sum(label or _nominal_atom_mass(z)
               for z, label in zip(_core.atomic_numbers(pickle, atoms), labels))


def _fragment_formula(mol, atom_indices):
    """Returns the formula of the atoms: C, then H, then the other symbols by code point."""
    return _core.fragment_formula(mol.ToBinary(), list(atom_indices))


def _pair_label(mol, i, j):
    """Returns symbol and index of atom i, "-", symbol and index of atom j: "C1-Cl0"."""
    return _core.pair_label(mol.ToBinary(), i, j)


def _mz_threshold(min_ring_fragment_mz):
    """Returns the core's integer form of the ring-fragment floor: ceil, within 32 bits.

    Integer m/z values are below a threshold t exactly when they are below ceil(t); every
    m/z fits in 32 bits, so a floor beyond them (infinity included) keeps its meaning.
    """
    if math.isnan(min_ring_fragment_mz):
        raise ValueError("min_ring_fragment_mz must be a number, got nan")
    if math.isinf(min_ring_fragment_mz):
        return _INT32_MAX if min_ring_fragment_mz > 0 else -_INT32_MAX - 1
    return max(-_INT32_MAX - 1, min(_INT32_MAX, math.ceil(min_ring_fragment_mz)))


def predict_fragments(mol, soft_bonds, ring_fragmentation=False,
                      min_ring_fragment_mz=_core.MIN_RING_FRAGMENT_MZ):
    """Returns the cut records {"bond", "split", "mode", "fragments"} of the soft bonds.

    Single cuts come first, in soft_bonds order, then ring cuts. "fragments" holds two
    (formula, average mass to 2 decimals, nominal m/z) tuples, m/z descending, or None
    when the cut does not split the molecule.
    """
    records = [(s["atom_u"], s["atom_v"], s["sym_u"], s["sym_v"], s["order"])
               for s in soft_bonds]
    threshold = _mz_threshold(min_ring_fragment_mz)
    cuts = _core.predict_fragments(mol.ToBinary(), records, bool(ring_fragmentation), threshold)
    return [{"bond": bond, "split": split, "mode": mode, "fragments": frags}
            for bond, split, mode, frags in cuts]


def _orbital_lists(H, atom_subgraphs, chem_bonds, atoms):
    """Returns (n_nodes, edges, node lists by atom, records) of the orbital graph in the
    core's numbering (positions in H.nodes order), with the node lists of `atoms` only.

    Nodes not in H are left out, as an induced subgraph leaves them out; a record naming
    a node not in H gets node -1, which carries no edge.
    """
    nodes, index, edges = graph_to_core(H)
    atoms = set(atoms)
    subgraphs = [[index[node] for node in atom_subgraphs[a] if node in index] if a in atoms
                 else [] for a in range(1 + max(atoms, default=-1))]
    records = [(index.get(cb["u_node"], -1), index.get(cb["v_node"], -1),
                cb["atom_u"], cb["atom_v"], cb.get("order", 1)) for cb in chem_bonds]
    return len(nodes), edges, subgraphs, records


def _fragment_atom_softs(H, atom_subgraphs, chem_bonds, atom_set, tol=_core.ZERO_TOLERANCE):
    """Returns the records of chem_bonds (the same objects, in order) inside atom_set whose
    edge is soft on the fragment's own orbital subgraph. H is left unchanged."""
    chem_bonds = list(chem_bonds)
    atoms = sorted(set(atom_set))
    n_nodes, edges, subgraphs, records = _orbital_lists(H, atom_subgraphs, chem_bonds, atoms)
    soft = _core.fragment_atom_softs(n_nodes, edges, subgraphs, records, atoms, tol,
                                     max_analysis_bytes())
    return [chem_bonds[i] for i in soft]


def _cut_atom_set(mol, atom_set, softs, ring_fragmentation, min_mz):
    """Returns the child fragments of atom_set cut at its soft records, as a set of
    frozensets; min_mz is the average-mass floor of ring double cuts."""
    records = [(s["atom_u"], s["atom_v"], s.get("order", 1)) for s in softs]
    children = _core.cut_atom_set(mol.ToBinary(), sorted(set(atom_set)), records,
                                  bool(ring_fragmentation), float(min_mz))
    return {frozenset(child) for child in children}


def predict_fragments_recursive(mol, H, atom_subgraphs, chem_bonds,
                                max_generations=_core.RECURSIVE_MAX_GENERATIONS,
                                min_mz=_core.RECURSIVE_MIN_MZ,
                                ring_fragmentation=_core.RECURSIVE_RING_FRAGMENTATION):
    """Returns the peaks {m/z: {"formula", "generation"}} of breadth-first fragmentation.

    The molecule is generation 0; fragments of generation max_generations or later are not
    cut. The children of one fragment are visited ascending by their sorted atom indices,
    which decides the formula of a peak that two fragments of one generation share.
    """
    # An atom of mol without a node list gets none here, and the core names the mismatch.
    listed = [a for a in range(mol.GetNumAtoms()) if a in atom_subgraphs]
    n_nodes, edges, subgraphs, records = _orbital_lists(H, atom_subgraphs, chem_bonds, listed)
    peaks = _core.predict_fragments_recursive(mol.ToBinary(), n_nodes, edges, subgraphs,
                                              records, max_generations, float(min_mz),
                                              bool(ring_fragmentation), max_analysis_bytes())
    return {mz: {"formula": formula, "generation": gen} for mz, formula, gen in peaks}
