"""NetworkX graphs <-> the plain node and edge lists of the core (the only NetworkX glue)."""
import networkx as nx


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


def build_orbital_graph(nodes, edges):
    """Returns the NetworkX orbital graph of the core's (symbol, rol, kind) nodes and
    (u, v, weight) edges, nodes and edges inserted in the given order."""
    H = nx.Graph()
    for i, (symbol, rol, kind) in enumerate(nodes):
        H.add_node(i, symbol=symbol, rol=rol, kind=kind)
    for u, v, w in edges:
        H.add_edge(u, v, weight=w)
    return H
