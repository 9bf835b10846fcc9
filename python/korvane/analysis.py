"""LPI, soft bonds and bond orders of orbital graphs and molecules."""
import numpy as np

from . import _core
from ._graph import graph_to_core
from ._settings import max_analysis_bytes

_ABSENT = 0
_SOFT = 2


def compute_lpi(graph, tol=_core.ZERO_TOLERANCE, weight="weight"):
    """Returns {"n+", "n0", "n-", "eigenvalues"} of the graph's weighted adjacency matrix.

    An eigenvalue counts as zero when its magnitude is at most `tol` (absolute).
    Edges without the `weight` attribute, or every edge when `weight` is None, count 1.
    """
    if graph.number_of_nodes() == 0:
        return {"n+": 0, "n0": 0, "n-": 0, "eigenvalues": np.array([])}
    nodes, _, edges = graph_to_core(graph, weight)
    n_plus, n_zero, n_minus, eigenvalues = _core.compute_lpi(len(nodes), edges, tol,
                                                            max_analysis_bytes())
    return {"n+": n_plus, "n0": n_zero, "n-": n_minus, "eigenvalues": eigenvalues}


def detect_soft_bonds(graph, chem_bonds, baseline_lpi, tol=_core.ZERO_TOLERANCE):
    """Returns the records of `chem_bonds` (the same objects, in order) whose edge can be
    deleted without changing the LPI counts of `baseline_lpi`.

    Records whose two nodes are not joined are skipped. Each tested edge is removed
    and added back with its attributes (weight 1.0 when it had none), so it ends at the
    end of its endpoints' adjacency order; the graph is otherwise left as it was.
    """
    if not chem_bonds:
        return []
    nodes, index, edges = graph_to_core(graph)
    candidates = [(index.get(rec["u_node"], -1), index.get(rec["v_node"], -1))
                  for rec in chem_bonds]
    baseline = (baseline_lpi["n+"], baseline_lpi["n0"], baseline_lpi["n-"])
    verdicts = _core.detect_soft_edges(len(nodes), edges, candidates, baseline, tol,
                                       max_analysis_bytes())

    softs = []
    for rec, verdict in zip(chem_bonds, verdicts):
        if verdict == _ABSENT:
            continue
        u, v = rec["u_node"], rec["v_node"]
        data = dict(graph[u][v])
        data["weight"] = data.get("weight", 1.0)
        graph.remove_edge(u, v)
        graph.add_edge(u, v, **data)
        if verdict == _SOFT:
            softs.append(rec)
    return softs


def _build_bond_orders(mol):
    """Returns {(i, j): order} for both orderings of every bond, in bond order: the bond
    type's value rounded half-to-even, at least 1."""
    orders = _core.build_bond_orders(mol.ToBinary())
    bo = {}
    for bond, order in zip(mol.GetBonds(), orders):
        u, v = bond.GetBeginAtomIdx(), bond.GetEndAtomIdx()
        bo[(u, v)] = order
        bo[(v, u)] = order
    return bo
