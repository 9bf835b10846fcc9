"""compute_atom_layout and its symmetry helpers, against RDKit and a NumPy re-statement."""
import os
import subprocess
import sys
from collections import defaultdict

import numpy as np
import pytest
from rdkit import Chem
from rdkit.Chem import rdDepictor

import korvane


def with_hs(smiles):
    return Chem.AddHs(Chem.MolFromSmiles(smiles))


def vif_prepared(smiles):
    """The molecule as the analysis prepares it: unsanitised, lenient valences, Hs."""
    mol = Chem.MolFromSmiles(smiles, sanitize=False)
    mol.UpdatePropertyCache(strict=False)
    Chem.SetAromaticity(mol)
    Chem.Kekulize(mol)
    return Chem.AddHs(mol)


def rdkit_depiction(mol):
    m = Chem.Mol(mol)
    rdDepictor.SetPreferCoordGen(True)
    rdDepictor.Compute2DCoords(m)
    return m.GetConformer().GetPositions()[:, :2].copy()


# --- A plain NumPy statement of the layout, step by step -----------------------------

def ref_radial(coords, groups):
    for members in groups.values():
        if len(members) < 2:
            continue
        grp = coords[members]
        centroid = grp.mean(axis=0)
        dists = np.linalg.norm(grp - centroid, axis=1)
        if dists.mean() < 1e-9:
            continue
        avg = dists.mean()
        for m in members:
            v = coords[m] - centroid
            L = np.linalg.norm(v)
            if L > 1e-9:
                coords[m] = centroid + v * (avg / L)


def ref_pca(coords):
    coords = coords - coords.mean(axis=0)
    w, V = np.linalg.eigh(np.cov(coords.T))
    R = V[:, np.argsort(w)[::-1]]
    if R[0, 0] < 0:  # the core's sign convention: the principal direction points to +x
        R[:, 0] *= -1
    if np.linalg.det(R) < 0:
        R[:, 1] *= -1
    return coords @ R


def ref_mirror(coords, ranks, axis, eps=0.05):
    n, other = len(coords), 1 - axis
    matched = [False] * n
    for i in range(n):
        if abs(coords[i, axis]) < eps:
            coords[i, axis] = 0.0
            matched[i] = True
    for i in range(n):
        if matched[i]:
            continue
        best_j, best_d = None, float("inf")
        for j in range(n):
            if (j == i or matched[j] or ranks[j] != ranks[i]
                    or (coords[i, axis] >= 0) == (coords[j, axis] >= 0)):
                continue
            d = abs(coords[i, axis] + coords[j, axis]) + abs(coords[i, other] - coords[j, other])
            if d < best_d:
                best_j, best_d = j, d
        if best_j is None:
            continue
        avg_other = (coords[i, other] + coords[best_j, other]) / 2.0
        avg_axis = (abs(coords[i, axis]) + abs(coords[best_j, axis])) / 2.0
        for k in (i, best_j):
            coords[k, axis] = avg_axis if coords[k, axis] >= 0 else -avg_axis
            coords[k, other] = avg_other
            matched[k] = True
    return coords


def ref_layout(mol, n_iter, target=1.5, factor=1.2, k_attr=0.06, k_rep=0.05, radial=True):
    coords = rdkit_depiction(mol)
    n = len(coords)
    ranks = list(Chem.CanonicalRankAtoms(mol, breakTies=False))
    groups = defaultdict(list)
    for i, r in enumerate(ranks):
        groups[r].append(i)
    bonds = [(b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in mol.GetBonds()]
    bond_set = {tuple(sorted(b)) for b in bonds}
    min_nb = target * factor
    assert all(np.linalg.norm(coords[i] - coords[j]) >= 1e-6
               for i in range(n) for j in range(i + 1, n))  # no jitter needed
    for it in range(n_iter):
        forces = np.zeros_like(coords)
        for u, v in bonds:
            d = coords[v] - coords[u]
            L = np.linalg.norm(d)
            if L >= 1e-9:
                f = (L - target) * d / L * k_attr
                forces[u] += f
                forces[v] -= f
        for i in range(n):
            for j in range(i + 1, n):
                if (i, j) in bond_set:
                    continue
                d = coords[j] - coords[i]
                L = np.linalg.norm(d)
                if 1e-9 <= L < min_nb:
                    f = (min_nb - L) * d / L * k_rep
                    forces[i] -= f
                    forces[j] += f
        coords += forces
        if radial and it > 50 and it % 5 == 0:
            ref_radial(coords, groups)
    coords = ref_pca(coords)
    coords = ref_mirror(coords, ranks, 1)
    return ref_mirror(coords, ranks, 0), ranks


# Molecules whose covariance is far from isotropic, so the principal axis is well
# defined (a regular hexagon's is not, and its orientation is rounding noise).
REFERENCE_MOLECULES = [(with_hs, "CCO"), (with_hs, "CC(=O)O"), (with_hs, "CC(=NO)C"),
                       (with_hs, "c1ccc(cc1)[N+](=O)[O-]"), (with_hs, "C=CC"),
                       (vif_prepared, "c1cc(cc(c1)[N+](=O)[O-])[N+](=O)[O-]")]


@pytest.mark.parametrize("prepare, smiles", REFERENCE_MOLECULES)
def test_layout_matches_the_numpy_statement(prepare, smiles):
    mol = prepare(smiles)
    coords, ranks = korvane.compute_atom_layout(mol, n_iter=80)
    expected, expected_ranks = ref_layout(mol, 80)
    assert ranks == expected_ranks
    np.testing.assert_allclose(coords, expected, rtol=0, atol=1e-9)


def test_layout_parameters_reach_the_core():
    mol = with_hs("CC(=O)O")
    params = dict(target_bond_len=1.2, repulsion_factor=1.6, k_attr=0.1, k_rep=0.03)
    coords, _ = korvane.compute_atom_layout(mol, 70, **params)
    expected, _ = ref_layout(mol, 70, 1.2, 1.6, 0.1, 0.03)
    np.testing.assert_allclose(coords, expected, rtol=0, atol=1e-9)


def test_radial_equalisation_starts_at_iteration_55():
    mol = with_hs("CC(=NO)C")
    at_55, _ = korvane.compute_atom_layout(mol, n_iter=55)
    np.testing.assert_allclose(at_55, ref_layout(mol, 55, radial=False)[0], rtol=0, atol=1e-9)
    at_56, _ = korvane.compute_atom_layout(mol, n_iter=56)
    np.testing.assert_allclose(at_56, ref_layout(mol, 56)[0], rtol=0, atol=1e-9)
    assert np.abs(at_56 - ref_layout(mol, 56, radial=False)[0]).max() > 1e-6


def test_result_types_conformer_and_repeatability():
    mol = with_hs("CC(=O)O")
    mol.AddConformer(Chem.Conformer(mol.GetNumAtoms()), assignId=True)
    mol.AddConformer(Chem.Conformer(mol.GetNumAtoms()), assignId=True)
    coords, ranks = korvane.compute_atom_layout(mol, n_iter=100)
    assert isinstance(coords, np.ndarray) and coords.dtype == np.float64
    assert coords.shape == (mol.GetNumAtoms(), 2)
    assert isinstance(ranks, list) and all(type(r) is int for r in ranks)

    # The depiction replaces the molecule's conformers, as a 2-D conformer.
    assert mol.GetNumConformers() == 1
    conf = mol.GetConformer()
    assert not conf.Is3D()
    np.testing.assert_array_equal(conf.GetPositions()[:, :2], rdkit_depiction(mol))
    assert not conf.GetPositions()[:, 2].any()

    again, ranks_again = korvane.compute_atom_layout(mol, n_iter=100)
    np.testing.assert_array_equal(coords, again)
    assert ranks == ranks_again


@pytest.mark.parametrize("smiles", ["CCO", "c1ccccc1", "CC(=O)[O-].[Na+]", "C[C@H](N)C(=O)O",
                                    "[2H]C([2H])Cl", "ClC(Cl)(Cl)Cl"])
def test_depiction_is_rdkits_with_the_preferred_generator(smiles):
    mol = with_hs(smiles)
    korvane.compute_atom_layout(mol, n_iter=0)
    np.testing.assert_allclose(mol.GetConformer().GetPositions()[:, :2], rdkit_depiction(mol),
                               rtol=0, atol=1e-12)


PREFERENCE_SCRIPT = r"""
import ctypes
from rdkit import Chem
from rdkit.Chem import rdDepictor
import korvane

def preference():
    if hasattr(rdDepictor, "GetPreferCoordGen"):
        return rdDepictor.GetPreferCoordGen()
    lib = ctypes.CDLL("libRDKitDepictor.so.1")
    return ctypes.c_bool.in_dll(lib, "_ZN8RDDepict14preferCoordGenE").value

def depiction(force):
    m = Chem.AddHs(Chem.MolFromSmiles("CCO"))
    rdDepictor.Compute2DCoords(m, forceRDKit=force)
    return m.GetConformer().GetPositions().tolist()

before, own = preference(), depiction(True)
assert depiction(False) == own
korvane.compute_atom_layout(Chem.AddHs(Chem.MolFromSmiles("C")), n_iter=1)
after, preferred = preference(), depiction(False)
print(before, after, preferred != own)
"""


def test_coordinate_generator_preference_is_switched_on_for_the_process():
    # A fresh interpreter: RDKit's switch is process-wide and other tests set it.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", PREFERENCE_SCRIPT], env=env, check=True,
                         capture_output=True, text=True, timeout=300).stdout.split()
    assert out == ["False", "True", "True"]


def test_hydrogen_only_molecules_get_finite_layouts():
    # RDKit's preferred generator places them at NaN; RDKit's own one depicts them.
    for smiles in ["[H][H]", "[2H][2H]", "[H]"]:
        mol = with_hs(smiles)
        coords, _ = korvane.compute_atom_layout(mol)
        assert np.isfinite(coords).all() and np.isfinite(mol.GetConformer().GetPositions()).all()


@pytest.mark.parametrize("smiles", ["CCO", "c1ccccc1", "C[C@H](N)C(=O)O", "[2H]C([2H])Cl",
                                    "CC(=O)[O-].[Na+]"])
def test_symmetry_classes_are_rdkits_ranks_without_tie_breaking(smiles):
    for mol in (with_hs(smiles), vif_prepared(smiles)):
        assert korvane._symmetry_classes(mol) == list(Chem.CanonicalRankAtoms(mol,
                                                                             breakTies=False))


def test_helpers_change_the_callers_array_as_documented():
    coords = np.array([[1.0, 0.0], [0.0, 3.0], [-2.0, 0.0], [7.0, 7.0]])
    groups = {9: [0, 1, 2], 2: [3]}
    expected = coords.copy()
    ref_radial(expected, groups)
    assert korvane._radial_equalize(coords, groups) is None
    np.testing.assert_allclose(coords, expected, rtol=0, atol=1e-15)

    original = coords.copy()
    rotated = korvane._pca_align(coords)
    assert rotated is not coords
    np.testing.assert_allclose(coords, original - original.mean(axis=0), atol=1e-15)
    np.testing.assert_allclose(rotated, ref_pca(original), atol=1e-12)
    one = np.array([[3.0, -4.0]])
    assert korvane._pca_align(one) is one
    np.testing.assert_array_equal(one, [[0.0, 0.0]])

    pair = np.array([[1.0, 0.8], [1.2, -0.6]])
    assert korvane._enforce_mirror(pair, [4, 4], 1) is pair
    np.testing.assert_allclose(pair, [[1.1, 0.7], [1.1, -0.7]], atol=1e-15)
    near = np.array([[0.049, 2.0], [0.05, 5.0]])
    korvane._enforce_mirror(near, [0, 1], 0, eps=0.06)
    np.testing.assert_array_equal(near[:, 0], [0.0, 0.0])
    with pytest.raises(ValueError):
        korvane._enforce_mirror(np.zeros((2, 2)), [0, 0], 2)
    with pytest.raises(ValueError):
        korvane._pca_align(np.zeros((2, 3)))


@pytest.mark.parametrize("n_nodes, angles, message", [
    (2**31 - 1, [], r"^n_nodes must be between 1 and 1024, got 2147483647$"),
    (0, [1.0], r"^n_nodes must be between 1 and 1024, got 0$"),
    (4, [0.5, float("nan")], r"^target_angles must be finite numbers, got nan$"),
])
def test_node_directions_refuse_nonsense_by_name(n_nodes, angles, message):
    # Regression: 2**31 - 1 nodes started a 16 GiB list with the GIL held, 0 nodes gave
    # one direction, and a NaN target went into the sort of the gaps.
    with pytest.raises(ValueError, match=message):
        korvane._yerlestir_dugumler(n_nodes, angles)


@pytest.mark.parametrize("n_h", [58, 60, 120])
def test_atom_with_very_many_hydrogens_gets_finite_positions(n_h):
    # Regression: from 56 hydrogens on one carbon the relaxation overshot more at every
    # step and every position came back NaN.
    r = korvane.VIF(f"[CH{n_h}]", draw=False, verbose=False)
    pos = np.array(list(r["pos"].values()))
    assert np.isfinite(pos).all()
    coords, _ = korvane.compute_atom_layout(vif_prepared(f"[CH{n_h}]"))
    assert np.isfinite(coords).all()
    # The hydrogens stay round their carbon, not scattered: within a few bond lengths.
    assert np.abs(coords).max() < 10 * 1.5


@pytest.mark.parametrize("name, value, message", [
    ("k_rep", float("nan"), "must be a finite number, got nan"),
    ("k_attr", float("inf"), "must be a finite number, got inf"),
    ("repulsion_factor", float("nan"), "must be a finite number, got nan"),
    ("target_bond_len", -1e300, r"must lie in \[0\.001, 1000\.0\], got -1e\+300"),
    ("target_bond_len", 1e300, r"must lie in \[0\.001, 1000\.0\], got 1e\+300"),
    ("target_bond_len", 0.0, r"must lie in \[0\.001, 1000\.0\], got 0\.0"),
    ("repulsion_factor", -1.0, r"must lie in \[0\.0, 100\.0\], got -1\.0"),
    ("k_attr", 1.5, r"must lie in \[0\.0, 1\.0\], got 1\.5"),
    ("k_rep", -0.05, r"must lie in \[0\.0, 1\.0\], got -0\.05"),
])
def test_layout_parameters_outside_their_range_are_refused_by_name(name, value, message):
    # Regression: each of these returned NaN for every position without a word.
    mol = vif_prepared("CCO")
    with pytest.raises(ValueError, match=f"^{name} {message}$"):
        korvane.compute_atom_layout(mol, **{name: value})
    assert mol.GetNumConformers() == 0  # refused before the depiction


@pytest.mark.parametrize("params", [
    dict(target_bond_len=0.001), dict(target_bond_len=1000.0),
    dict(k_attr=1.0, k_rep=1.0, repulsion_factor=100.0),
])
def test_layout_parameters_at_the_ends_of_their_range_give_finite_positions(params):
    for smiles in ("c1ccccc1CCO", "[CH60]"):
        coords, _ = korvane.compute_atom_layout(vif_prepared(smiles), **params)
        assert np.isfinite(coords).all(), (smiles, params)
