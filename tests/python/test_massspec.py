"""The Python surface of mass-spectrum prediction: signatures, the isotope memo, result
shapes, record identity, unchanged inputs, and the reference marker peaks."""
import copy
import inspect

import networkx as nx
import pytest
from rdkit import Chem

import korvane
from korvane import massspec


def with_hs(smiles):
    return Chem.AddHs(Chem.MolFromSmiles(smiles))


def record(mol, u, v, order=1):
    return {"u_node": 0, "v_node": 0, "atom_u": u, "atom_v": v,
            "sym_u": mol.GetAtomWithIdx(u).GetSymbol(), "sym_v": mol.GetAtomWithIdx(v).GetSymbol(),
            "order": order, "k": 0}


def chain_graph(labels):
    """A path of one-node atoms whose nodes carry opaque labels and no weight attribute."""
    H = nx.Graph()
    H.add_nodes_from(labels)
    H.add_edges_from(zip(labels, labels[1:]))
    chem_bonds = [{"u_node": a, "v_node": b, "atom_u": i, "atom_v": i + 1, "sym_u": "X",
                   "sym_v": "X", "order": 1, "k": 0}
                  for i, (a, b) in enumerate(zip(labels, labels[1:]))]
    return H, {i: [label] for i, label in enumerate(labels)}, chem_bonds


def snapshot(H, atom_subgraphs, chem_bonds):
    return (list(H.nodes(data=True)), list(H.edges(data=True)), copy.deepcopy(atom_subgraphs),
            copy.deepcopy(chem_bonds))


def test_public_signatures():
    expected = {
        "_nominal_atom_mass": "(atomic_num)",
        "_nominal_mass": "(mol, indices)",
        "_fragment_formula": "(mol, atom_indices)",
        "_pair_label": "(mol, i, j)",
        "predict_fragments": "(mol, soft_bonds, ring_fragmentation=False, min_ring_fragment_mz=30)",
        "_fragment_atom_softs": "(H, atom_subgraphs, chem_bonds, atom_set, tol=1e-09)",
        "_cut_atom_set": "(mol, atom_set, softs, ring_fragmentation, min_mz)",
        "predict_fragments_recursive": "(mol, H, atom_subgraphs, chem_bonds, max_generations=3, "
                                       "min_mz=25, ring_fragmentation=True)",
    }
    for name, sig in expected.items():
        assert str(inspect.signature(getattr(korvane, name))) == sig, name
    assert korvane._NOMINAL_ISOTOPE is massspec._NOMINAL_ISOTOPE


def test_nominal_isotope_memo(monkeypatch):
    monkeypatch.delitem(massspec._NOMINAL_ISOTOPE, 53, raising=False)
    assert korvane._nominal_atom_mass(53) == 127
    assert massspec._NOMINAL_ISOTOPE[53] == 127
    monkeypatch.setattr(massspec._core, "nominal_atom_mass", lambda z: pytest.fail("asked twice"))
    assert korvane._nominal_atom_mass(53) == 127
    monkeypatch.undo()
    with pytest.raises(ValueError, match="unknown atomic number 119"):
        korvane._nominal_atom_mass(119)
    assert 119 not in korvane._NOMINAL_ISOTOPE


def test_nominal_mass_goes_through_the_memo(monkeypatch):
    mol = with_hs("Clc1ccccc1")
    n = mol.GetNumAtoms()
    assert korvane._nominal_mass(mol, range(n)) == 112
    assert korvane._nominal_mass(mol, frozenset(range(1, n))) == 77
    assert korvane._nominal_mass(mol, set()) == 0
    monkeypatch.setitem(massspec._NOMINAL_ISOTOPE, 17, 37)
    assert korvane._nominal_mass(mol, [0]) == 37


def test_formulas_and_labels():
    assert korvane._fragment_formula(with_hs("O"), range(3)) == "H2O"
    assert korvane._fragment_formula(with_hs("Cl"), {0, 1}) == "HCl"
    assert korvane._fragment_formula(with_hs("OCCBr"), range(9)) == "C2H5BrO"
    chloro = Chem.MolFromSmiles("Clc1ccccc1")
    assert korvane._pair_label(chloro, 1, 0) == "C1-Cl0"
    with pytest.raises(IndexError, match="atom index 9 is outside the molecule of 7 atoms"):
        korvane._fragment_formula(chloro, [9])


def test_cut_records_shape():
    mol = with_hs("Clc1ccccc1")
    cuts = korvane.predict_fragments(mol, [record(mol, 0, 1)])
    assert cuts == [{"bond": "Cl0-C1", "split": True, "mode": "single",
                     "fragments": [("C6H5", 77.11, 77), ("Cl", 35.45, 35)]}]
    assert list(cuts[0]) == ["bond", "split", "mode", "fragments"]
    assert all(type(f[1]) is float and type(f[2]) is int for f in cuts[0]["fragments"])
    hexane = with_hs("C1CCCCC1")
    ring = [record(hexane, i, (i + 1) % 6) for i in range(6)]
    assert korvane.predict_fragments(hexane, ring)[0] == \
        {"bond": "C0-C1", "split": False, "mode": "single", "fragments": None}
    assert korvane.predict_fragments(hexane, ring, ring_fragmentation=True)[-1] == \
        {"bond": "C0-C1 + C3-C4", "split": True, "mode": "ring",
         "fragments": [("C3H6", 42.08, 42), ("C3H6", 42.08, 42)]}


@pytest.mark.timeout(60)
def test_fragment_mass_just_below_a_half_rounds_down():
    # 3-sulfolene's ring cut at both C-S bonds frees SO2, whose average mass (32.067 +
    # 2 x 15.999) is the double just below 64.065: two decimals of it are 64.06, where
    # rounding the decimal half away from zero would give 64.07.
    mol = with_hs("C1C=CCS1(=O)=O")
    ring = korvane.predict_fragments(mol, [record(mol, 3, 4), record(mol, 4, 0)],
                                     ring_fragmentation=True)[-1]
    assert ring["bond"] == "C3-S4 + C0-S4"
    assert ring["fragments"] == [("O2S", 64.06, 64), ("C4H6", 54.09, 54)]


def test_fragment_softs_are_the_records_themselves_and_inputs_stay():
    H, subgraphs, bonds = chain_graph(["d", "a", "c", "b"])
    del bonds[2]["order"]
    before = snapshot(H, subgraphs, bonds)
    # Path of four: only the middle bond is soft; inside {1, 2, 3} both of its bonds are.
    whole = korvane._fragment_atom_softs(H, subgraphs, bonds, {0, 1, 2, 3})
    assert len(whole) == 1 and whole[0] is bonds[1]
    part = korvane._fragment_atom_softs(H, subgraphs, bonds, frozenset({3, 2, 1}))
    assert len(part) == 2 and part[0] is bonds[1] and part[1] is bonds[2]
    assert snapshot(H, subgraphs, bonds) == before
    with pytest.raises(KeyError):
        korvane._fragment_atom_softs(H, {0: ["d"]}, bonds, {0, 1})


def test_cut_atom_set_returns_frozensets():
    mol = with_hs("CCO")  # C0 C1 O2, H3-H5 on C0, H6 H7 on C1, H8 on O2
    softs = [record(mol, 0, 1), record(mol, 2, 8)]
    del softs[1]["order"]  # counts as 1
    assert korvane._cut_atom_set(mol, set(range(9)), softs, False, 25) == {
        frozenset({0, 3, 4, 5}), frozenset({1, 2, 6, 7, 8}), frozenset(range(8)), frozenset({8})}


def test_recursive_peaks_dict():
    # N-N-C-C-O-C as a path: its soft bonds 1-2 and 3-4 give N2 + C2N2 ... and CO + C3O.
    mol = Chem.MolFromSmiles("NNCCOC")
    H, subgraphs, bonds = chain_graph(["n0", "n1", "c2", "c3", "o4", "c5"])
    assert korvane.predict_fragments_recursive(mol, H, subgraphs, bonds, max_generations=0) == \
        {80: {"formula": "C3N2O", "generation": 0}}
    one = korvane.predict_fragments_recursive(mol, H, subgraphs, bonds, max_generations=1)
    assert list(one.items()) == [(80, {"formula": "C3N2O", "generation": 0}),
                                 (28, {"formula": "N2", "generation": 1}),
                                 (52, {"formula": "C2N2", "generation": 1})]
    assert list(korvane.predict_fragments_recursive(mol, H, subgraphs, bonds)) == [80, 28, 52, 24]


@pytest.mark.parametrize("smiles, marker", [("c1ccc(cc1)[N+](=O)[O-]", 77), ("CC(=NO)C", 17)])
def test_reference_marker_peaks(smiles, marker):
    r = korvane._analyse(smiles)
    cuts = korvane.predict_fragments(r["mol"], r["soft_bonds"])
    assert marker in {f[2] for c in cuts if c["split"] for f in c["fragments"]}


def test_recursive_on_the_real_graph_leaves_inputs_unchanged():
    r = korvane._analyse("c1ccc(cc1)[N+](=O)[O-]")
    args = (r["H"], r["atom_subgraphs"], r["chem_bonds"])
    before = snapshot(*args)
    peaks = korvane.predict_fragments_recursive(r["mol"], *args, max_generations=2)
    assert snapshot(*args) == before
    assert list(peaks)[0] == 123 and peaks[77] == {"formula": "C6H5", "generation": 1}
    every = set(range(r["mol"].GetNumAtoms()))
    assert korvane._fragment_atom_softs(*args, every) == r["soft_bonds"]


def test_isotope_labels_count_in_every_nominal_mass():
    # Regression: labels were ignored, so CD4 showed its M+ at 16 and the CD3CO piece of
    # a CD3 ester at 43. Formulas stay those of the elements.
    cd4 = korvane.VIF("[2H]C([2H])([2H])[2H]", draw=False, verbose=False)
    assert cd4["mol_mass"] == 20
    assert korvane._nominal_mass(korvane._analyse("[2H]C([2H])([2H])[2H]")["mol"], range(5)) == 20
    ester = korvane.VIF("[2H]C([2H])([2H])C(=O)OC", draw=False, verbose=False,
                        recursive_ms=True)
    assert ester["mol_mass"] == 77
    pieces = {f for c in ester["fragments"] if c["split"] for f in c["fragments"]}
    assert ("C2H3O", 46) in {(formula, mz) for formula, _mass, mz in pieces}
    assert ester["recursive_peaks"][46]["formula"] == "C2H3O"
    assert ester["recursive_peaks"][77]["formula"] == "C3H6O2"
    labelled = with_hs("[13CH3]Cl")
    assert korvane._nominal_mass(labelled, range(labelled.GetNumAtoms())) == 51
    assert korvane._fragment_formula(labelled, range(labelled.GetNumAtoms())) == "CH3Cl"


def test_ring_fragment_floor_that_is_no_number_is_refused():
    # Regression: NaN failed with the float conversion's message, an infinite floor
    # with an overflow; an infinite floor means that no ring piece passes.
    r = korvane._analyse("C1CCCCC1CCO")
    with pytest.raises(ValueError, match=r"^min_ring_fragment_mz must be a number, got nan$"):
        korvane.predict_fragments(r["mol"], r["soft_bonds"], True, float("nan"))
    single = korvane.predict_fragments(r["mol"], r["soft_bonds"], False)
    assert korvane.predict_fragments(r["mol"], r["soft_bonds"], True, float("inf")) == single
    assert korvane.predict_fragments(r["mol"], r["soft_bonds"], True, 1e300) == single
    with pytest.raises(ValueError, match=r"^min_mz must be a number, got nan$"):
        korvane.predict_fragments_recursive(r["mol"], r["H"], r["atom_subgraphs"],
                                            r["chem_bonds"], min_mz=float("nan"))


@pytest.mark.parametrize("other", ["CC(C)O", "OCCC", "C", "CCCCO"],
                         ids=["isomer", "renumbered", "smaller", "larger"])
def test_recursive_fragmentation_refuses_a_molecule_the_graph_is_not_of(other):
    # Regression: a molecule that did not match the graph gave invented peaks.
    r = korvane._analyse("CCCO")
    mol = korvane._analyse(other)["mol"]
    with pytest.raises(ValueError, match="^mol does not match the orbital graph: "):
        korvane.predict_fragments_recursive(mol, r["H"], r["atom_subgraphs"], r["chem_bonds"])
