"""Atom layout, symmetry refinement and the angular helpers of node placement."""
from collections import namedtuple
from functools import lru_cache

from rdkit import Chem
from rdkit.Geometry import Point3D

from . import _core

Element = namedtuple("Element", "symbol period")

# The core's layout parameters at their defaults, which compute_atom_layout's signature shows.
_LAYOUT = _core.LayoutParams()


def element(symbol):
    """Returns the element with this symbol (its `symbol` and `period`).

    Raises ValueError naming the symbol when it is not an element of 1..118 (e.g. "*").
    """
    return Element(symbol, _core.element_period(symbol))


@lru_cache(maxsize=None)
def _get_period(symbol):
    """Returns the periodic-table period of an element symbol ("H" -> 1, "Cl" -> 3),
    looked up once per symbol for the life of the process."""
    return element(symbol).period


def _angle_diff(a, b):
    """Returns the shortest angular distance between two directions, in [0, pi]."""
    return _core.angle_diff(a, b)


def _symmetry_classes(mol):
    """Returns one symmetry rank per atom, equal for topologically equivalent atoms.

    A molecule RDKit cannot rank gets 0, 1, ..., n-1: no symmetry imposed.
    """
    return _core.symmetry_classes(mol.ToBinary())


def _radial_equalize(coords, groups):
    """Moves each class of `groups` (rank -> atom indices) to its mean distance
    from its centroid, along each member's own direction; changes `coords` in place."""
    coords[...] = _core.radial_equalize(coords, [list(members) for members in groups.values()])


def _pca_align(coords):
    """Returns `coords` rotated so that the largest-variance direction lies along x.

    The argument itself is centred in place; with fewer than two rows it is returned.
    """
    centred, rotated = _core.pca_align(coords)
    coords[...] = centred
    return coords if len(coords) < 2 else rotated


def _enforce_mirror(coords, ranks, axis, eps=_core.MIRROR_SNAP_DISTANCE):
    """Returns `coords`, changed in place: atoms within `eps` of the mirror line
    snapped onto it, equivalent atoms on opposite sides made mirror images.

    axis 1 mirrors y (the mirror line is the x-axis), axis 0 mirrors x.
    """
    coords[...] = _core.enforce_mirror(coords, ranks, axis, eps)
    return coords


def _set_2d_conformer(mol, xy):
    """Replaces the conformers of `mol` by one 2-D conformer with these (x, y) rows."""
    conf = Chem.Conformer(mol.GetNumAtoms())
    conf.Set3D(False)
    for i, (x, y) in enumerate(xy.tolist()):
        conf.SetAtomPosition(i, Point3D(x, y, 0.0))
    mol.RemoveAllConformers()
    mol.AddConformer(conf, assignId=True)


def compute_atom_layout(mol, n_iter=_LAYOUT.n_iter, target_bond_len=_LAYOUT.target_bond_len,
                        repulsion_factor=_LAYOUT.repulsion_factor, k_attr=_LAYOUT.k_attr,
                        k_rep=_LAYOUT.k_rep):
    """Returns (coords, ranks): an (n, 2) float array, row i for atom i, and the
    symmetry rank of every atom.

    RDKit's depiction, relaxed by bond springs and non-bonded repulsion, then
    centred, turned onto its principal axes and mirrored across both axes. The
    depiction is written into `mol` as its only conformer, and RDKit's preference
    for its coordinate generator stays switched on for the process.

    Raises ValueError naming a parameter outside its range, before the depiction:
    target_bond_len in [0.001, 1000], repulsion_factor in [0, 100], k_attr and k_rep
    in [0, 1] (0 switches that force off).
    """
    depiction, coords, ranks = _core.compute_atom_layout(
        mol.ToBinary(), n_iter, target_bond_len, repulsion_factor, k_attr, k_rep)
    _set_2d_conformer(mol, depiction)
    return coords, ranks


def _yerlestir_dugumler(n_nodes, target_angles):
    """Returns n_nodes node directions: the targets first, then gap middles."""
    return _core.yerlestir_dugumler(n_nodes, [float(a) for a in target_angles])
