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


def graph_from_dicts(node, adj):
    """Returns the NetworkX graph whose node and adjacency dicts are `node` and `adj`
    (as the core's graph_dicts makes them)."""
    H = nx.Graph()
    H._node = node  # a new graph has no views of its dicts yet
    H._adj = adj
    return H
