"""VIF: the report, the result's shape, the failure text and the drawing stage."""
import json
import os

import matplotlib.pyplot as plt
import networkx as nx
import numpy as np
import pytest
from rdkit import Chem

import korvane
from korvane import _core
from korvane.vif import analysis_params

KEYS_NO_DRAW = ["lpi", "soft_bonds", "fragments", "real_fragments", "single_fragments",
                "ringcut_fragments", "ring_soft_bonds", "recursive_peaks", "graph", "chem_bonds",
                "atom_subgraphs", "pos", "mol_mass", "mol_mass_avg"]
KEYS_DRAW = ["lpi", "soft_bonds", "fragments", "graph", "chem_bonds", "atom_subgraphs", "pos",
             "mol_mass", "mol_mass_avg"]
CHEM_BOND_KEYS = ["u_node", "v_node", "atom_u", "atom_v", "sym_u", "sym_v", "order", "k"]


# The exact report of each case, captured from the analysis (the lines then matched
# Python's own formatting of the result's values): (smiles, VIF keywords, text).
with open(os.path.join(os.path.dirname(__file__), "data", "vif_reports.json"),
          encoding="utf-8") as _f:
    GOLDEN_REPORTS = [(c["smiles"], c["kwargs"], c["report"]) for c in json.load(_f)]


def test_water_report_lines(capsys):
    korvane.VIF("O", draw=False)
    out = capsys.readouterr().out.splitlines()
    assert out == [
        "[VIF] O",
        "      Molecular mass M = 18.02 g/mol (avg)  (M+ peak m/z = 18 nominal)",
        "      LPI = {n+=3, n0=0, n-=3}  (6 orbitals total)",
        "      Eigenvalues: [-1.53, -1.328, -1.0, 0.195, 0.53, 3.133]",
        "      Soft bonds: none (all bonds essential \u2192 stable M+ dominates)",
        "      No real fragments \u2192 M+ dominates, single peak",
    ]


@pytest.mark.parametrize("smiles,kw,report", GOLDEN_REPORTS,
                         ids=[smiles for smiles, _, _ in GOLDEN_REPORTS])
def test_report_is_the_checked_text(capsys, smiles, kw, report):
    korvane.VIF(smiles, draw=False, **kw)
    assert capsys.readouterr().out == report


def test_report_names_what_the_result_holds(capsys):
    """The report's figures are the result's: a case with single and ring cuts and peaks."""
    r = korvane.VIF("CC(=O)OC1=CC=CC=C1C(=O)O", draw=False, ring_fragmentation=True,
                    recursive_ms=True, max_generations=3)
    out = capsys.readouterr().out
    assert f"Molecular mass M = {r['mol_mass_avg']:.2f} g/mol" in out
    assert f"(M+ peak m/z = {r['mol_mass']} nominal)" in out
    for cut in r["single_fragments"]:
        assert f"if {cut['bond']} cleaves:" in out
    for cut in r["ringcut_fragments"]:
        assert f"        {cut['bond']}:  " in out
    assert f"(3 generations, {len(r['recursive_peaks'])} peaks)" in out
    assert f"m/z list: {sorted(r['recursive_peaks'], reverse=True)}" in out


def test_result_shape_without_drawing():
    r = korvane.VIF("CC(=O)OC1=CC=CC=C1C(=O)O", draw=False, verbose=False)
    assert list(r) == KEYS_NO_DRAW
    assert isinstance(r["graph"], nx.Graph)
    assert type(r["mol_mass"]) is int and r["mol_mass"] == 180
    mol = Chem.AddHs(Chem.MolFromSmiles("CC(=O)OC1=CC=CC=C1C(=O)O"))
    assert type(r["mol_mass_avg"]) is float
    assert r["mol_mass_avg"] == pytest.approx(sum(a.GetMass() for a in mol.GetAtoms()), abs=1e-9)
    assert r["recursive_peaks"] is None
    assert all(list(cb) == CHEM_BOND_KEYS for cb in r["chem_bonds"])
    assert all(any(s is cb for cb in r["chem_bonds"]) for s in r["soft_bonds"])
    assert set(r["pos"]) == set(r["graph"].nodes)
    assert all(isinstance(p, np.ndarray) and p.shape == (2,) for p in r["pos"].values())
    assert list(r["atom_subgraphs"]) == list(range(mol.GetNumAtoms()))
    assert r["real_fragments"] == r["single_fragments"] + r["ringcut_fragments"]
    assert r["ring_soft_bonds"] == [f for f in r["fragments"] if not f["split"]]
    assert (r["lpi"]["n+"], r["lpi"]["n0"], r["lpi"]["n-"]) == (26, 0, 34)
    # Node attributes in their insertion order.
    assert list(r["graph"].nodes[0]) == ["symbol", "rol", "kind"]
    assert r["graph"].nodes[0]["rol"] == "Merkez"


def test_recursive_stage_always_opens_rings():
    smiles = "C1CCCCC1CC"
    r = korvane.VIF(smiles, draw=False, verbose=False, recursive_ms=True,
                    ring_fragmentation=False)
    a = korvane._analyse(smiles)
    with_rings = korvane.predict_fragments_recursive(
        a["mol"], a["H"], a["atom_subgraphs"], a["chem_bonds"], max_generations=2,
        ring_fragmentation=True)
    assert r["recursive_peaks"] == with_rings
    assert list(r["recursive_peaks"].values())[0]["generation"] == 0


def test_unparsable_and_empty_smiles(capsys, show_calls):
    for bad in ("C1CC(", "not a smiles", ""):
        assert korvane.VIF(bad) == "SMILES okunamadı!"
    assert capsys.readouterr().out == ""
    assert plt.get_fignums() == [] and show_calls == []
    for wrong in (None, 42, b"CCO"):
        with pytest.raises(TypeError, match="SMILES as a str"):
            korvane.VIF(wrong)
    with pytest.raises(TypeError):
        korvane.VIF()


def test_quiet_analysis_prints_nothing(capsys):
    korvane.VIF("CCO", draw=False, verbose=False, recursive_ms=True)
    assert capsys.readouterr().out == ""


def test_first_block_survives_a_failing_second_stage(capsys, monkeypatch):
    def boom(*args):
        raise RuntimeError("second stage failed")
    monkeypatch.setattr(_core, "fragment_vif", boom)
    with pytest.raises(RuntimeError, match="second stage failed"):
        korvane.VIF("CCO", draw=False)
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "[VIF] CCO" and len(out) == 4


def test_unknown_element_is_a_clear_error():
    with pytest.raises(ValueError, match="unknown element symbol '\\*'"):
        korvane.VIF("*C", draw=False, verbose=False)


def test_drawing_stage(show_calls):
    r = korvane.VIF("O", verbose=False)
    assert list(r) == KEYS_DRAW
    assert show_calls == [2]  # graph and spectrum figures open when shown
    graph_fig = plt.figure(plt.get_fignums()[0])
    assert graph_fig.axes[0].get_title().startswith("VIF: O   |   LPI = {n+=3, n0=0, n-=3}")
    plt.close("all")
    korvane.VIF("O", verbose=False, show_spectrum=False, recursive_ms=True)
    assert show_calls[-1] == 1


WORKED_SHAPES = [  # smiles, nodes, edges, LPI
    ("O", 6, 8, (3, 0, 3)),
    ("C=C", 12, 12, (6, 0, 6)),
    ("F", 5, 7, (2, 0, 3)),
    ("CN", 13, 18, (6, 1, 6)),
    ("CF", 11, 16, (5, 0, 6)),
]


@pytest.mark.parametrize("smiles,n_nodes,n_edges,lpi", WORKED_SHAPES)
def test_worked_shapes(smiles, n_nodes, n_edges, lpi):
    a = korvane._analyse(smiles)
    H = a["H"]
    assert H.number_of_nodes() == n_nodes and H.number_of_edges() == n_edges
    assert (a["lpi"]["n+"], a["lpi"]["n0"], a["lpi"]["n-"]) == lpi
    bond_w = {d["weight"] for u, v, d in H.edges(data=True)
              if H.nodes[u]["symbol"] != H.nodes[v]["symbol"] or smiles == "C=C"}
    assert 0.9 in bond_w


@pytest.mark.parametrize("name,smiles,expected", korvane.LPI_REFERENCES)
def test_reference_lpis(name, smiles, expected):
    lpi = korvane.VIF(smiles, draw=False, verbose=False)["lpi"]
    assert (lpi["n+"], lpi["n0"], lpi["n-"]) == expected


def test_bond_kappa_changes_only_bond_edges():
    ra = korvane.VIF("CCO", draw=False, verbose=False, bond_kappa=0.5)
    rb = korvane.VIF("CCO", draw=False, verbose=False)
    a, b = ra["graph"], rb["graph"]
    assert list(a.edges) == list(b.edges)
    atom_of = {n: atom for atom, ids in ra["atom_subgraphs"].items() for n in ids}
    for u, v, d in a.edges(data=True):
        inside = atom_of[u] == atom_of[v]
        assert d["weight"] == (1.0 if inside else 0.5)
        assert b[u][v]["weight"] == (1.0 if inside else 0.9)


def test_analysis_repeats_exactly():
    r1 = korvane.VIF("CC(=O)Oc1ccccc1C(=O)O", draw=False, verbose=False, recursive_ms=True)
    r2 = korvane.VIF("CC(=O)Oc1ccccc1C(=O)O", draw=False, verbose=False, recursive_ms=True)
    assert all(np.array_equal(r1["pos"][i], r2["pos"][i]) for i in r1["pos"])
    assert r1["fragments"] == r2["fragments"] and r1["recursive_peaks"] == r2["recursive_peaks"]


def _graph_by_calls(nodes, edges):
    H = nx.Graph()
    for i, (symbol, rol, kind) in enumerate(nodes):
        H.add_node(i, symbol=symbol, rol=rol, kind=kind)
    for u, v, w in edges:
        H.add_edge(u, v, weight=w)
    return H


def _same_graph(a, b):
    assert list(a.nodes(data=True)) == list(b.nodes(data=True))
    assert list(a.edges(data=True)) == list(b.edges(data=True))
    assert [list(a.adj[n]) for n in a] == [list(b.adj[n]) for n in b]
    for u, v in a.edges:  # one data dict per edge, seen from both ends
        assert a[u][v] is a[v][u]


def test_orbital_graph_is_the_graph_of_add_calls():
    from korvane._graph import orbital_graph
    for smiles in ("O", "CC(=O)Oc1ccccc1C(=O)O", "[Na+].[Cl-]", "C#N"):
        m = _core.prepare_vif(smiles, analysis_params())
        r = korvane.VIF(smiles, draw=False, verbose=False)
        # VIF's graph and records are the core's lists, as add_node and add_edge build them.
        _same_graph(r["graph"], _graph_by_calls(m.nodes, m.edges))
        assert r["chem_bonds"] == [dict(zip(CHEM_BOND_KEYS, rec)) for rec in m.chem_bonds]
        assert [list(d) for d in r["chem_bonds"]] == [CHEM_BOND_KEYS] * len(m.chem_bonds)
        H = r["graph"]
        H.add_edge(0, 1, weight=2.0)  # the result is an ordinary, editable graph
        assert H[1][0]["weight"] == 2.0
    # Edges outside the core's guarantees: a repeat (last weight wins), a self-loop, a
    # node not listed.
    nodes = [("C", "Merkez", "sigma")] * 3
    edges = [(0, 1, 1.0), (1, 0, 0.9), (2, 2, 1.0), (2, 5, 0.5)]
    _same_graph(orbital_graph(nodes, edges), _graph_by_calls(nodes, edges))


def test_fragment_structures_follow_the_second_stage():
    """The structures cross as plain lists aligned with the cut records and the peaks."""
    p = analysis_params(ring_fragmentation=False, recursive_ms=True)
    m = _core.prepare_vif("CC(=O)Oc1ccccc1C(=O)O", p)
    f = _core.fragment_vif(m, p)
    cuts, peaks = _core.fragment_structures(m, f)
    assert len(cuts) == len(f.fragments) and len(peaks) == len(f.recursive_peaks)
    for (bond, split, _mode, _frags), pieces in zip(f.fragments, cuts):
        if split:
            assert sorted(pieces[0][0] + pieces[1][0]) == list(range(21)), bond
        else:
            assert pieces is None, bond
    acetyl = cuts[[c[0] for c in f.fragments].index("C1-O3")]
    assert acetyl == [([3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 16, 17, 18, 19, 20],
                       "[O]C1=CC=CC=C1C(=O)O"), ([0, 1, 2, 13, 14, 15], "C[C]=O")]
    assert peaks[0] == (list(range(21)), "CC(=O)OC1=CC=CC=C1C(=O)O", None, [])
    by_smiles = {smiles: (parent, path) for _atoms, smiles, parent, path in peaks[1:]}
    assert by_smiles["C[C]=O"] == (list(range(21)), ["C1-O3"])
    assert by_smiles["[C]=O"][1] == ["C10-O12", "C9-C10"]
    # Without recursion there are no peaks to describe.
    q = analysis_params()
    assert _core.fragment_structures(m, _core.fragment_vif(m, q))[1] is None
