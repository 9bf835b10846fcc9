"""NetworkX graphs <-> the plain node and edge lists of the core (the only NetworkX glue)."""
from ._lazy import LazyModule

nx = LazyModule("networkx")


def graph_to_core(graph, weight="weight"):
    """Returns (nodes, index, edges): the nodes in graph order, node -> position, and
    (i, j, w) edges with w the `weight` attribute (1.0 when absent or weight is None)."""
    nodes = list(graph.nodes)
    index = {node: i for i, node in enumerate(nodes)}
    edges = []
    for u, v, data in graph.edges(data=True):
        w = 1.0 if weight is None else data.get(weight, 1.0)
        edges.append((index[u], index[v], float(w)))
    return nodes, index, edges


def orbital_graph(nodes, edges):
    """Returns the NetworkX graph of the core's orbital graph: node i with the attributes
    symbol, rol and kind of nodes[i], then each (u, v, weight) edge in order.

    As NetworkX's add_edge does, a repeated edge keeps its data dict with the last weight,
    and an edge end that is not a node yet becomes one without attributes.
    """
    H = nx.Graph()
    H.add_nodes_from((i, {"symbol": symbol, "rol": rol, "kind": kind})
                     for i, (symbol, rol, kind) in enumerate(nodes))
    H.add_weighted_edges_from(edges)
    return H

