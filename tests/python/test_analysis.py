"""compute_lpi, detect_soft_bonds and _build_bond_orders on hand-made and real inputs."""
import math
import random

import networkx as nx
import numpy as np
import pytest
from rdkit import Chem

import korvane
from korvane import _core


def water_graph():
    H = nx.Graph()
    H.add_nodes_from(range(4), symbol="O", rol="Uç", kind="sigma")
    H.add_nodes_from([4, 5], symbol="H", rol="Uç", kind="sigma")
    for u in range(4):
        for v in range(u + 1, 4):
            H.add_edge(u, v, weight=1.0)
    H.add_edge(0, 4, weight=0.9)
    H.add_edge(1, 5, weight=0.9)
    return H


def test_lpi_of_water_and_its_types():
    lpi = korvane.compute_lpi(water_graph())
    assert list(lpi) == ["n+", "n0", "n-", "eigenvalues"]
    assert (lpi["n+"], lpi["n0"], lpi["n-"]) == (3, 0, 3)
    assert all(type(lpi[k]) is int for k in ("n+", "n0", "n-"))
    assert isinstance(lpi["eigenvalues"], np.ndarray) and lpi["eigenvalues"].dtype == np.float64
    assert list(np.round(lpi["eigenvalues"], 3)) == [-1.53, -1.328, -1.0, 0.195, 0.53, 3.133]
    np.testing.assert_allclose(lpi["eigenvalues"],
                               np.linalg.eigvalsh(nx.to_numpy_array(water_graph())), atol=1e-12)


def test_lpi_special_graphs_and_weights():
    empty = korvane.compute_lpi(nx.Graph())
    assert (empty["n+"], empty["n0"], empty["n-"]) == (0, 0, 0)
    assert empty["eigenvalues"].shape == (0,)

    edgeless = nx.Graph()
    edgeless.add_nodes_from("abc")
    assert korvane.compute_lpi(edgeless)["n0"] == 3

    # An edge without the attribute weighs 1, as does every edge with weight=None.
    G = nx.Graph()
    G.add_edge("x", "y")
    lpi = korvane.compute_lpi(G)
    assert (lpi["n+"], lpi["n0"], lpi["n-"]) == (1, 0, 1)
    np.testing.assert_allclose(lpi["eigenvalues"], [-1.0, 1.0])
    G2 = nx.Graph()
    G2.add_edge(0, 1, weight=5.0, w2=2.0)
    np.testing.assert_allclose(korvane.compute_lpi(G2, weight=None)["eigenvalues"], [-1, 1])
    np.testing.assert_allclose(korvane.compute_lpi(G2, weight="w2")["eigenvalues"], [-2, 2])

    # The zero band is inclusive at +-tol; just past it counts as a sign.
    at = nx.Graph()
    at.add_edge(0, 1, weight=1e-9)
    assert korvane.compute_lpi(at)["n0"] == 2
    past = nx.Graph()
    past.add_edge(0, 1, weight=1.0000001e-9)
    assert korvane.compute_lpi(past)["n0"] == 0


def test_lpi_does_not_depend_on_node_insertion_order():
    H = water_graph()
    R = nx.Graph()
    R.add_nodes_from(reversed(list(H.nodes)))
    R.add_edges_from(reversed(list(H.edges(data=True))))
    a, b = korvane.compute_lpi(H), korvane.compute_lpi(R)
    assert (a["n+"], a["n0"], a["n-"]) == (b["n+"], b["n0"], b["n-"])


def test_lpi_matches_numpy_on_random_weighted_graphs():
    rng = random.Random(7)
    for trial in range(30):
        n = rng.randint(1, 25)
        G = nx.gnp_random_graph(n, 0.3, seed=trial)
        for u, v in G.edges:
            G[u][v]["weight"] = rng.choice([1.0, 0.9, 0.5, 2.0])
        ref = np.linalg.eigvalsh(nx.to_numpy_array(G))
        got = korvane.compute_lpi(G)
        np.testing.assert_allclose(got["eigenvalues"], ref, atol=1e-10)
        assert got["n+"] + got["n0"] + got["n-"] == n


def test_bad_weight_raises():
    G = nx.Graph()
    G.add_edge(0, 1, weight="heavy")
    with pytest.raises((TypeError, ValueError)):
        korvane.compute_lpi(G)


def test_soft_bonds_keep_identity_order_and_restore_the_graph():
    # Path 0-1-2 plus an isolated pair: edges 0-1 and 1-2 are soft, 3-4 essential.
    G = nx.Graph()
    G.add_edge(0, 1, weight=0.9)
    G.add_edge(1, 2)  # no weight attribute: comes back with weight 1.0
    G.add_edge(3, 4, weight=0.9, tag="kept")
    recs = [{"u_node": 0, "v_node": 1}, {"u_node": 3, "v_node": 4},
            {"u_node": 2, "v_node": 1}, {"u_node": 0, "v_node": 2}]
    base = korvane.compute_lpi(G)
    softs = korvane.detect_soft_bonds(G, recs, base)
    assert softs == [recs[0], recs[2]]
    assert softs[0] is recs[0] and softs[1] is recs[2]
    softs[0]["marked"] = True
    assert recs[0]["marked"]
    assert sorted(map(sorted, G.edges)) == [[0, 1], [1, 2], [3, 4]]
    assert G[1][2] == {"weight": 1.0}
    assert G[0][1]["weight"] == 0.9
    assert G[3][4] == {"weight": 0.9, "tag": "kept"}
    # Each tested edge moved to the end of its endpoints' adjacency order.
    assert list(G.adj[1]) == [0, 2]
    assert korvane.detect_soft_bonds(G, [], base) == []


def test_soft_bond_counts_any_change_as_essential():
    G = nx.Graph()
    G.add_edge(0, 1, weight=1.0)
    assert korvane.detect_soft_bonds(G, [{"u_node": 0, "v_node": 1}], korvane.compute_lpi(G)) == []
    with pytest.raises(KeyError):
        korvane.detect_soft_bonds(G, [{"u_node": 0}], korvane.compute_lpi(G))


def test_bond_orders_both_directions_in_bond_order():
    ethylene = Chem.AddHs(Chem.MolFromSmiles("C=C"))
    bo = korvane._build_bond_orders(ethylene)
    assert list(bo)[:2] == [(0, 1), (1, 0)]
    assert bo[(0, 1)] == bo[(1, 0)] == 2
    assert all(bo[(0, h)] == 1 for h in (2, 3))
    assert korvane._build_bond_orders(Chem.MolFromSmiles("C")) == {}

    aromatic = Chem.MolFromSmiles("c1ccccc1")  # sanitised: aromatic 1.5 -> 2
    assert set(korvane._build_bond_orders(aromatic).values()) == {2}
    zero = Chem.RWMol(Chem.MolFromSmiles("CC"))
    zero.GetBondWithIdx(0).SetBondType(Chem.BondType.ZERO)
    assert korvane._build_bond_orders(zero) == {(0, 1): 1, (1, 0): 1}


def test_float_formatting_matches_python():
    rng = random.Random(3)
    values = [0.0, -0.0, 1e16, 1e15, 1e-5, 1e-4, 0.1 + 0.2, 5e-324, 1.7976931348623157e308,
              float("inf"), float("-inf")]
    values += [rng.uniform(-10, 10) for _ in range(2000)]
    values += [rng.uniform(-1, 1) * 10 ** rng.randint(-30, 30) for _ in range(2000)]
    values += [round(rng.uniform(-5, 5), 3) for _ in range(2000)]
    for x in values:
        assert _core.python_float_repr(x) == repr(x)
        assert _core.format_fixed(x, 2) == format(x, ".2f")
    for x in values[:3000]:
        if math.isfinite(x) and abs(x) < 1e300:
            assert _core.round_decimals(x, 3) == float(np.round(x, 3))


def test_mass_rounding_is_pythons_round():
    rng = random.Random(11)
    values = [46.005, 65.095, 77.105, 0.125, 2.675, 1.005]
    values += [rng.uniform(0, 500) for _ in range(3000)]
    values += [round(rng.uniform(0, 500), 3) for _ in range(3000)]
    for x in values:
        assert _core.round_nearest_decimal(x, 2) == round(x, 2)


@pytest.mark.parametrize("tol", [math.nan, -1.0, math.inf], ids=["nan", "negative", "inf"])
def test_tolerance_that_is_no_tolerance_is_refused(tol):
    # Regression: tol=nan counted every eigenvalue as zero, tol=-1 counted eigenvalues
    # both positive and zero, and detect_soft_bonds returned [] for nan.
    r = korvane._analyse("CCO")
    message = rf"^tol must be a finite number >= 0, got {tol!r}$"
    with pytest.raises(ValueError, match=message):
        korvane.compute_lpi(water_graph(), tol=tol)
    with pytest.raises(ValueError, match=message):
        korvane.detect_soft_bonds(r["H"], r["chem_bonds"], r["lpi"], tol=tol)
    with pytest.raises(ValueError, match=message):
        korvane._fragment_atom_softs(r["H"], r["atom_subgraphs"], r["chem_bonds"], [0], tol=tol)


@pytest.mark.parametrize("weight", [math.nan, math.inf])
def test_non_finite_edge_weight_is_refused_by_name(weight):
    # Regression: it surfaced as "the symmetric eigen-solver did not converge".
    H = water_graph()
    H[0][4]["weight"] = weight
    message = rf"^the weight of edge \(0, 4\) must be a finite number, got {weight!r}$"
    with pytest.raises(ValueError, match=message):
        korvane.compute_lpi(H)
    bond = {"u_node": 0, "v_node": 4, "atom_u": 0, "atom_v": 1, "sym_u": "O", "sym_v": "H",
            "order": 1, "k": 0}
    with pytest.raises(ValueError, match=message):
        korvane.detect_soft_bonds(H, [bond], {"n+": 3, "n0": 0, "n-": 3})


def test_candidate_edge_past_the_last_node_is_an_index_error():
    # Regression: deleting the edge left a valid graph with the baseline's counts, and
    # the private core called the candidate soft.
    edges = [(0, 1, 1.0), (1, 5, 1.0)]
    with pytest.raises(IndexError, match=r"^edge \(1, 5\) names a node outside 0\.\.1$"):
        _core.detect_soft_edges(2, edges, [(1, 5)], (1, 0, 1), 1e-9)
    with pytest.raises(IndexError, match=r"^edge \(1, 5\) names a node outside"):
        _core.detect_soft_edges_direct(2, edges, [(1, 5)], (1, 0, 1), 1e-9)
