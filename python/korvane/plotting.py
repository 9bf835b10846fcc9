"""Orbital-graph drawing and the schematic stick mass spectrum (Matplotlib)."""
from ._lazy import LazyModule

plt = LazyModule("matplotlib.pyplot")
nx = LazyModule("networkx")

# Element symbol -> node colour; carbon and oxygen share red. Other symbols are gray.
COLOR_MAP = {
    "C": "red",
    "Li": "orange",
    "H": "skyblue",
    "Cl": "lightgreen",
    "O": "red",
    "B": "pink",
    "N": "violet",
    "F": "yellow",
    "S": "gold",
    "P": "darkorange",
}
_OTHER_COLOR = "gray"

_M_LABEL = "M+"


def _split_edges(H, soft_bonds):
    """Returns (essential, soft) edges of H in edge order, each as NetworkX reports it;
    an edge is soft when its node pair, smaller id first, is the pair of a soft record,
    so a soft record of one unit of a multiple bond marks only that unit's edge."""
    soft_edge_set = {tuple(sorted((rec["u_node"], rec["v_node"]))) for rec in soft_bonds}
    essential_edges, soft_edges = [], []
    for u, v in H.edges():
        key = (u, v) if u <= v else (v, u)
        (soft_edges if key in soft_edge_set else essential_edges).append((u, v))
    return essential_edges, soft_edges


def _node_colors(H, color_map):
    """Returns the colour of each node of H, in node order: gray for unlisted symbols."""
    return [color_map.get(H.nodes[n].get("symbol"), _OTHER_COLOR) for n in H.nodes]


def draw_panel_graph(ax, result, color_map, node_size):
    """Draws the orbital graph of a VIF result into a panel's axes, without labels:
    essential edges thin black, soft edges dashed red."""
    H, pos = result["graph"], result["pos"]
    ess, sof = _split_edges(H, result["soft_bonds"])
    nx.draw_networkx_nodes(H, pos, node_color=_node_colors(H, color_map), node_size=node_size,
                           alpha=0.9, ax=ax)
    nx.draw_networkx_edges(H, pos, edgelist=ess, edge_color="black", width=0.8, alpha=0.7,
                           ax=ax)
    nx.draw_networkx_edges(H, pos, edgelist=sof, edge_color="red", width=1.3, style="dashed",
                           alpha=0.9, ax=ax)


def draw_orbital_graph(H, pos, soft_bonds, lpi, smiles):
    """Returns a new 12 x 10 inch figure of the orbital graph: nodes coloured by element
    and labelled symbol + node id, essential edges solid black, soft edges dashed red,
    and a title with the SMILES, the LPI and the soft-bond count.
    """
    node_colors = [COLOR_MAP.get(H.nodes[n]["symbol"], _OTHER_COLOR) for n in H.nodes]
    labels = {n: f"{H.nodes[n]['symbol']}{n}" for n in H.nodes}
    essential_edges, soft_edges = _split_edges(H, soft_bonds)

    n_soft = len(soft_bonds)
    soft_label = f"soft: {n_soft} bond" if n_soft else "soft: yok"

    fig = plt.figure(figsize=(12, 10))
    nx.draw_networkx_nodes(H, pos, node_color=node_colors, node_size=800, alpha=0.9)
    nx.draw_networkx_labels(H, pos, labels=labels, font_size=8)
    nx.draw_networkx_edges(H, pos, edgelist=essential_edges, edge_color="black",
                           width=1.5, alpha=0.9)
    nx.draw_networkx_edges(H, pos, edgelist=soft_edges, edge_color="red", width=2.0,
                           style="dashed", alpha=0.9)
    plt.title(f"VIF: {smiles}   |   LPI = {{n+={lpi['n+']}, n0={lpi['n0']}, "
              f"n-={lpi['n-']}}}   |   {soft_label}")
    plt.axis("equal")
    return fig


def plot_mass_spectrum(smiles, mol_mass, fragments, ax=None):
    """Returns the axes into which the stick spectrum was drawn: a crimson "M+" stick
    at the molecular ion and a steelblue stick per distinct fragment m/z of the split
    cut records, each labelled formula and m/z.

    `mol_mass` is rounded half-to-even to the molecular-ion m/z. An m/z keeps the first
    formula met, and a fragment at the molecular-ion m/z never replaces "M+". Labels of
    a peak closer than 6% of the axis width to the previous peak are raised one level.
    Without `ax`, a new 11 x 5.5 inch figure is made; nothing is shown or saved.
    """
    M = int(round(mol_mass))  # round() sends halves to the even neighbour
    peaks = {M: _M_LABEL}
    for rec in fragments:
        if not rec["split"]:
            continue
        for formula, _mass, mz in rec["fragments"]:
            peaks.setdefault(mz, formula)

    if ax is None:
        plt.figure(figsize=(11, 5.5))
        ax = plt.gca()

    x_max = M + max(20, int(M * 0.15))
    close_thresh = x_max * 0.06

    prev_mz = None
    level = 0
    for mz, label in sorted(peaks.items()):
        is_M = label == _M_LABEL
        bar_h = 100 if is_M else 60
        color = "crimson" if is_M else "steelblue"
        ax.vlines(mz, 0, bar_h, color=color, linewidth=2.2 if is_M else 1.6)

        # Only the gap to the immediately preceding peak counts: a run of close
        # peaks climbs one level per peak, the first wider gap drops back to 0.
        if prev_mz is not None and (mz - prev_mz) < close_thresh:
            level += 1
        else:
            level = 0
        label_y = bar_h + 3 + level * 11

        ax.annotate(f"{label}\n{mz}", xy=(mz, bar_h), xytext=(mz, label_y),
                    ha="center", va="bottom", fontsize=8, color=color,
                    arrowprops={"arrowstyle": "-", "color": "gray", "lw": 0.5,
                                "alpha": 0.6})
        prev_mz = mz

    ax.set_xlim(0, x_max)
    ax.set_ylim(0, 150)
    ax.set_xlabel("m/z")
    ax.set_ylabel("(schematic — intensities are not predicted)")
    ax.set_title(f"Korvane predicted EI-MS fragments: {smiles}")
    ax.spines["top"].set_visible(False)
    ax.spines["right"].set_visible(False)
    return ax
