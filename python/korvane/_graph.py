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
    (u, v, weight) edges, nodes and edges inserted in the given order.

    The graph is the one add_node and add_edge calls in that order would build (the same
    node and adjacency dicts, one data dict shared by both directions of an edge), filled
    directly: three times faster, and the core's edges join distinct listed nodes, each
    pair once. Edges that do not fit that are added through add_edge."""
    H = nx.Graph()
    node, adj = H._node, H._adj
    for i, (symbol, rol, kind) in enumerate(nodes):
        node[i] = {"symbol": symbol, "rol": rol, "kind": kind}
        adj[i] = {}
    for u, v, w in edges:
        if u == v or u not in adj or v not in adj or v in adj[u]:
            H.add_edge(u, v, weight=w)
            continue
        data = {"weight": w}
        adj[u][v] = data
        adj[v][u] = data
    return H
