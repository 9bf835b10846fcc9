"""Cost of building VIF's NetworkX orbital graph from the core's node and edge lists.

    .venv/bin/python bench/graph_build.py [--nci 300]

Times, per molecule of the NCI sample, reading the lists from the core's first stage and
building the same graph two ways: NetworkX's public API (add_nodes_from,
add_weighted_edges_from) and the graph's internal node and adjacency dicts filled
directly, as korvane._graph.orbital_graph does. Best of five rounds each.
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import nci_smiles  # noqa: E402


def graph_by_calls(nodes, edges):
    """The graph NetworkX's public API builds from the lists."""
    import networkx as nx
    H = nx.Graph()
    H.add_nodes_from((i, {"symbol": s, "rol": r, "kind": k}) for i, (s, r, k) in enumerate(nodes))
    H.add_weighted_edges_from(edges)
    return H


def best(call, rounds=5):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        call()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--nci", type=int, default=300)
    args = ap.parse_args()
    from korvane import _core
    from korvane._graph import orbital_graph
    from korvane.vif import analysis_params
    params = analysis_params()
    molecules = [m for m in (_core.prepare_vif(s, params) for s in nci_smiles(args.nci))
                 if m is not None]
    lists = [(m.nodes, m.edges) for m in molecules]
    per = 1e6 / len(molecules)
    print(f"{len(molecules)} molecules, {sum(len(n) for n, _ in lists)} nodes, "
          f"{sum(len(e) for _, e in lists)} edges")
    rows = [("core lists (nodes, edges)", lambda: [(m.nodes, m.edges) for m in molecules]),
            ("NetworkX public API", lambda: [graph_by_calls(n, e) for n, e in lists]),
            ("internal dicts (orbital_graph)", lambda: [orbital_graph(n, e) for n, e in lists])]
    for name, call in rows:
        print(f"{name:30s} {best(call) * per:8.1f} us per molecule")
    return 0


if __name__ == "__main__":
    sys.exit(main())
