"""Orbital-graph drawing and stick spectrum, checked on the Matplotlib objects they make."""
import matplotlib.pyplot as plt
import networkx as nx
import numpy as np
import pytest
from matplotlib.colors import to_rgb

from korvane import plotting

YLABEL = "(schematic \u2014 intensities are not predicted)"


class _Recorder:
    """Forwards attribute calls to a module and logs (name, args, kwargs) of each."""

    def __init__(self, module, log):
        self._module, self._log = module, log

    def __getattr__(self, name):
        target = getattr(self._module, name)

        def call(*args, **kwargs):
            self._log.append((name, args, kwargs))
            return target(*args, **kwargs)

        return call


@pytest.fixture
def calls(monkeypatch):
    log = []
    monkeypatch.setattr(plotting, "plt", _Recorder(plt, log))
    monkeypatch.setattr(plotting, "nx", _Recorder(nx, log))
    return log


def _graph(symbols, edges):
    H = nx.Graph()
    for i, symbol in enumerate(symbols):
        H.add_node(i, symbol=symbol)
    for u, v, w in edges:
        H.add_edge(u, v, weight=w)
    pos = {i: np.array([np.cos(i), np.sin(i)]) * (1 + i) for i in H.nodes}
    return H, pos


def _water():
    """Four oxygen nodes (complete graph) and two hydrogens on different oxygen nodes."""
    inner = [(i, j, 1.0) for i in range(4) for j in range(i + 1, 4)]
    return _graph(["O"] * 4 + ["H"] * 2, inner + [(0, 4, 0.9), (1, 5, 0.9)])


def _soft(u_node, v_node):
    return {"u_node": u_node, "v_node": v_node, "atom_u": 0, "atom_v": 1,
            "sym_u": "C", "sym_v": "C", "order": 2, "k": 0.9}


WATER_LPI = {"n+": 3, "n0": 0, "n-": 3, "eigenvalues": np.zeros(6)}


def _edge_calls(log):
    return [kw for name, _, kw in log if name == "draw_networkx_edges"]


# --- orbital graph ----------------------------------------------------------------

def test_graph_figure_holds_nodes_labels_and_both_edge_styles(show_calls):
    H, pos = _water()
    fig = plotting.draw_orbital_graph(H, pos, [_soft(0, 4)], WATER_LPI, "O")

    assert fig is plt.gcf() and tuple(fig.get_size_inches()) == (12, 10)
    (ax,) = fig.axes
    nodes, solid, dashed = ax.collections
    assert list(nodes.get_sizes()) == [800] and nodes.get_alpha() == 0.9
    assert np.allclose(nodes.get_offsets(), [pos[n] for n in H.nodes])
    assert [t.get_text() for t in ax.texts] == [f"{H.nodes[n]['symbol']}{n}" for n in H.nodes]
    assert all(t.get_fontsize() == 8 for t in ax.texts)
    # Essential edges solid black 1.5 wide, the soft one dashed red 2.0 wide; both 0.9 opaque.
    assert len(solid.get_segments()) == H.number_of_edges() - 1
    assert tuple(solid.get_colors()[0][:3]) == to_rgb("black")
    assert list(solid.get_linewidths()) == [1.5] and solid.get_alpha() == 0.9
    assert solid.get_linestyle()[0][1] is None
    assert [tuple(map(tuple, seg)) for seg in dashed.get_segments()] == [
        (tuple(pos[0]), tuple(pos[4]))]
    assert tuple(dashed.get_colors()[0][:3]) == to_rgb("red")
    assert list(dashed.get_linewidths()) == [2.0] and dashed.get_alpha() == 0.9
    assert dashed.get_linestyle()[0][1] is not None
    assert ax.get_aspect() == 1.0 and ax.get_title().startswith("VIF: O")
    assert show_calls == []  # drawing shows nothing; VIF shows the figures


def test_graph_title_names_lpi_and_soft_count():
    H, pos = _water()
    fig = plotting.draw_orbital_graph(H, pos, [], WATER_LPI, "O")
    assert fig.axes[0].get_title() == (
        "VIF: O   |   LPI = {n+=3, n0=0, n-=3}   |   soft: yok")

    lpi = {"n+": 4, "n0": 2, "n-": 1}
    fig = plotting.draw_orbital_graph(H, pos, [_soft(0, 4), _soft(5, 1)], lpi, "CC")
    assert fig.axes[0].get_title() == (
        "VIF: CC   |   LPI = {n+=4, n0=2, n-=1}   |   soft: 2 bond")
    fig = plotting.draw_orbital_graph(H, pos, [_soft(0, 4)], lpi, "CC")
    assert fig.axes[0].get_title().endswith("|   soft: 1 bond")


def test_graph_nodes_coloured_by_element_and_labelled_symbol_and_id():
    H, pos = _graph(["Br", "C", "O", "H", "Li", "Xe"], [(0, 1, 0.9), (1, 2, 0.9)])
    fig = plotting.draw_orbital_graph(H, pos, [], WATER_LPI, "x")
    (nodes,) = fig.axes[0].collections[:1]
    rgb = [tuple(c[:3]) for c in nodes.get_facecolors()]
    assert rgb == [to_rgb(c) for c in ("gray", "red", "red", "skyblue", "orange", "gray")]
    assert np.allclose(nodes.get_offsets(), [pos[n] for n in H.nodes])

    H, pos = _water()
    fig = plotting.draw_orbital_graph(H, pos, [], WATER_LPI, "O")
    texts = fig.axes[0].texts
    assert [t.get_text() for t in texts] == ["O0", "O1", "O2", "O3", "H4", "H5"]
    assert all(t.get_fontsize() == 8 for t in texts)
    assert np.allclose([t.get_position() for t in texts], [pos[n] for n in H.nodes])
    assert fig.axes[0].get_aspect() == 1.0  # axis("equal") keeps node circles round


def test_graph_without_soft_bonds_draws_every_edge_solid(calls):
    H, pos = _water()
    plotting.draw_orbital_graph(H, pos, [], WATER_LPI, "O")
    essential, soft = _edge_calls(calls)
    assert essential["edgelist"] == list(H.edges()) and soft["edgelist"] == []


def test_soft_record_of_double_bond_marks_only_its_own_pair(calls):
    # Two carbons with two sigma and one pi node each; the C=C bond is carried by the
    # sigma pair (0, 3) and the pi pair (2, 5). Only the pi unit is soft, and its
    # record names the pair in descending order.
    inner = [(0, 1, 1.0), (3, 4, 1.0)]
    H, pos = _graph(["C"] * 6, inner + [(0, 3, 0.9), (2, 5, 0.9)])
    fig = plotting.draw_orbital_graph(H, pos, [_soft(5, 2)], WATER_LPI, "C=C")

    essential, soft = _edge_calls(calls)
    assert soft["edgelist"] == [(2, 5)]
    assert essential["edgelist"] == [(0, 1), (0, 3), (3, 4)]

    solid, dashed = fig.axes[0].collections[1:]
    assert [tuple(map(tuple, s)) for s in dashed.get_segments()] == [
        (tuple(pos[2]), tuple(pos[5]))]
    assert len(solid.get_segments()) == 3
    assert tuple(dashed.get_colors()[0][:3]) == to_rgb("red")
    assert tuple(solid.get_colors()[0][:3]) == to_rgb("black")
    assert dashed.get_linestyle()[0][1] is not None  # a dash pattern
    assert solid.get_linestyle()[0][1] is None  # solid line


def test_edge_split_keeps_networkx_edge_order_and_orientation(calls):
    # With nodes inserted high-to-low, H.edges() reports pairs such as (4, 0); the
    # split must match them against ascending soft pairs and pass on exactly what
    # NetworkX reports, in its order.
    H = nx.Graph()
    H.add_nodes_from((n, {"symbol": "N"}) for n in (4, 3, 2, 1, 0))
    H.add_weighted_edges_from([(4, 0, 0.9), (3, 1, 0.9), (2, 0, 1.0), (4, 3, 0.9)])
    pos = {n: np.array([n, n % 2], dtype=float) for n in H.nodes}
    assert (4, 0) in list(H.edges())
    plotting.draw_orbital_graph(H, pos, [_soft(4, 3), _soft(0, 4)], WATER_LPI, "N")
    essential, soft = _edge_calls(calls)
    edges = list(H.edges())
    assert soft["edgelist"] == [e for e in edges if set(e) in ({0, 4}, {3, 4})]
    assert essential["edgelist"] == [e for e in edges if set(e) in ({1, 3}, {0, 2})]


# --- stick spectrum ---------------------------------------------------------------

def _cut(fragments, split=True, mode="single", bond="C0-C1"):
    return {"bond": bond, "split": split, "mode": mode,
            "fragments": fragments if split else None}


def _sticks(ax):
    """Returns (x, height, colour name, linewidth) of each vlines stick, in draw order."""
    names = {to_rgb("crimson"): "crimson", to_rgb("steelblue"): "steelblue"}
    out = []
    for coll in ax.collections:
        (seg,) = coll.get_segments()
        assert seg[0][0] == seg[1][0] and seg[0][1] == 0
        out.append((seg[0][0], seg[1][1], names[tuple(coll.get_colors()[0][:3])],
                    coll.get_linewidths()[0]))
    return out


def _labels(ax):
    """Returns (text, xy, xytext, colour) of each annotation, in draw order."""
    return [(a.get_text(), tuple(a.xy), tuple(a.xyann), a.get_color())
            for a in ax.texts]


@pytest.mark.parametrize("fragments", [
    [], [_cut(None, split=False, mode="ring")],
    [{"split": 0, "fragments": [("CH3", 15.03, 15)]}],  # skipped whatever it holds
])
def test_spectrum_without_split_records_is_a_single_molecular_ion(fragments):
    ax = plotting.plot_mass_spectrum("c1ccccc1", 78, fragments)
    assert _sticks(ax) == [(78, 100, "crimson", 2.2)]
    assert _labels(ax) == [("M+\n78", (78, 100), (78, 103), "crimson")]


@pytest.mark.parametrize("mol_mass, M", [(92.5, 92), (93.5, 94), (77.6, 78), (78, 78),
                                         (np.float64(2.5), 2)])
def test_molecular_ion_rounds_half_to_even(mol_mass, M):
    ax = plotting.plot_mass_spectrum("X", mol_mass, [])
    assert _sticks(ax)[0][0] == M and ax.texts[0].get_text() == f"M+\n{M}"
    assert type(M) is int and ax.get_xlim() == (0, M + 20)


@pytest.mark.parametrize("M, x_max, close, wide", [
    (78, 98, (10, 15.8), (10, 15.9)),     # close_thresh 5.88 (20 beats 0.15 * 78)
    (200, 230, (50, 63), (50, 64)),       # close_thresh 13.8 (int(0.15 * 200) = 30)
    (150, 172, (50, 60), (50, 61)),       # int(22.5) = 22; close_thresh 10.32
    (130, 150, (10, 18), (10, 19)),       # close_thresh exactly 9.0: a gap of 9 is wide
])
def test_axis_end_and_stacking_threshold(M, x_max, close, wide):
    assert plotting.plot_mass_spectrum("X", M, []).get_xlim() == (0, x_max)
    for pair, top in ((close, 74), (wide, 63)):
        ax = plotting.plot_mass_spectrum(
            "X", M, [_cut([("A", 0.0, pair[1]), ("B", 0.0, pair[0])])])
        assert [a.xyann[1] for a in ax.texts[:2]] == [63, top]


def test_labels_climb_over_a_run_of_close_peaks_and_drop_after_a_gap():
    frags = [_cut([("OH", 17.01, 17), ("CH3", 15.03, 15)]),
             _cut([("H3O", 19.02, 19), ("CH2O", 30.03, 30)])]
    ax = plotting.plot_mass_spectrum("X", 78, frags)
    assert _labels(ax) == [
        ("CH3\n15", (15, 60), (15, 63), "steelblue"),
        ("OH\n17", (17, 60), (17, 74), "steelblue"),
        ("H3O\n19", (19, 60), (19, 85), "steelblue"),
        ("CH2O\n30", (30, 60), (30, 63), "steelblue"),
        ("M+\n78", (78, 100), (78, 103), "crimson"),
    ]
    assert _sticks(ax) == [(15, 60, "steelblue", 1.6), (17, 60, "steelblue", 1.6),
                           (19, 60, "steelblue", 1.6), (30, 60, "steelblue", 1.6),
                           (78, 100, "crimson", 2.2)]


def test_duplicate_mz_keeps_first_formula_and_never_replaces_molecular_ion():
    frags = [_cut([("C6H5", 77.1, 77), ("CH3", 15.03, 15)]),
             _cut(None, split=False, mode="ring"),
             _cut([("C5H2F", 77.07, 77), ("C6H6", 78.11, 78)], mode="ring")]
    ax = plotting.plot_mass_spectrum("X", 78, frags)
    assert [s[:3] for s in _sticks(ax)] == [
        (15, 60, "steelblue"), (77, 60, "steelblue"), (78, 100, "crimson")]
    assert [a.get_text() for a in ax.texts] == ["CH3\n15", "C6H5\n77", "M+\n78"]


def test_annotation_style_and_axes_decoration():
    ax = plotting.plot_mass_spectrum(2244, 180, [_cut([("C7H5O3", 137.1, 137),
                                                      ("C2H3O", 43.04, 43)])])
    for a in ax.texts:
        assert (a.get_ha(), a.get_va(), a.get_fontsize()) == ("center", "bottom", 8)
        assert a.arrowprops == {"arrowstyle": "-", "color": "gray", "lw": 0.5,
                                "alpha": 0.6}
    assert ax.get_xlim() == (0, 207) and ax.get_ylim() == (0, 150)
    assert ax.get_xlabel() == "m/z" and ax.get_ylabel() == YLABEL
    # A caller may pass a compound identifier instead of a SMILES string.
    assert ax.get_title() == "Korvane predicted EI-MS fragments: 2244"
    assert [ax.spines[s].get_visible() for s in ("top", "right", "left", "bottom")] == [
        False, False, True, True]


def test_spectrum_figure_ownership(show_calls):
    plt.figure()
    ax = plotting.plot_mass_spectrum("X", 78, [])
    assert len(plt.get_fignums()) == 2 and ax is plt.gca()
    assert tuple(ax.figure.get_size_inches()) == (11, 5.5)

    fig, (left, right) = plt.subplots(1, 2)
    assert plotting.plot_mass_spectrum("X", 78, [], ax=right) is right
    assert len(plt.get_fignums()) == 3 and not left.has_data() and right.has_data()
    assert show_calls == []


def test_malformed_record_fails_before_opening_a_figure():
    with pytest.raises(KeyError):
        plotting.plot_mass_spectrum("X", 78, [{"fragments": []}])
    assert plt.get_fignums() == []


def test_both_drawings_render_to_png(tmp_path):
    H, pos = _water()
    fig = plotting.draw_orbital_graph(H, pos, [_soft(0, 4)], WATER_LPI, "O")
    fig.savefig(tmp_path / "graph.png")
    plotting.plot_mass_spectrum("CO", 32, [_cut([("CH3", 15.03, 15), ("OH", 17.01, 17)])])
    plt.savefig(tmp_path / "ms.png")
    for name in ("graph.png", "ms.png"):
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
