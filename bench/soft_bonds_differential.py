"""Differential check and timing of the soft-bond test: each fast method (the rank-2
update and the sparse factorizations, korvane._core.detect_soft_edges_fast) against the
definition, one eigenvalue decomposition per record (korvane._core.detect_soft_edges_direct).

    PYTHONPATH=build/python /usr/bin/python3 bench/soft_bonds_differential.py \
        [--nci 1000] [--fragments 20] [--ladder] [--json out.json]

Checks every chemical-bond record of the first --nci molecules of RDKit's NCI sample and,
with --ladder, of the size ladder (alkanes, polyglycine, a peptide, coronene); for the
first --fragments molecules also every record of every fragment left by cutting one soft
bond, both through a fragment's own decomposition and through the whole molecule's
(detect_soft_edges_in_parts). Exits 1 on any disagreement.

The reference for a graph above --full-direct-max nodes is the definition applied to the
connected components of each edited graph when the deleted edge splits it (the
eigenvalues of a block-diagonal matrix are its blocks'), and to the whole edited graph
when it does not or when a component has an eigenvalue within 1e-11 of +-tol; timings of
the direct method there are the mean over --time-records records times the record count.
"""
import argparse
import json
import os
import sys
import time

import numpy as np
from rdkit import Chem, RDConfig

import korvane
from korvane import _core
from korvane._graph import graph_to_core

TOL = _core.ZERO_TOLERANCE
# The analysis' own choice and both fast methods it chooses from.
METHODS = ("auto", "update", "factor")


def ladder():
    seq = lambda s: Chem.MolToSmiles(Chem.MolFromSequence(s))
    # Smallest first, so that a run cut short still has the small ones.
    return [("C50", "C" * 50), ("C100", "C" * 100), ("Gly20", seq("G" * 20)),
            ("coronene", "c1cc2ccc3ccc4ccc5ccc6ccc1c1c2c3c4c5c61"),
            ("AGSFKLDVTEYQG", seq("AGSFKLDVTEYQG")), ("Gly50", seq("G" * 50)),
            ("C200", "C" * 200), ("Gly100", seq("G" * 100)), ("C400", "C" * 400)]


def nci(count):
    path = os.path.join(RDConfig.RDDataDir, "NCI", "first_5K.smi")
    out = []
    with open(path) as f:
        for line in f:
            if len(out) >= count:
                break
            parts = line.split()
            if parts:
                out.append((parts[1] if len(parts) > 1 else str(len(out)), parts[0]))
    return out


def graph_of(smiles):
    r = korvane._analyse(smiles)
    if r is None:
        return None
    nodes, index, edges = graph_to_core(r["H"])
    candidates = [(index.get(cb["u_node"], -1), index.get(cb["v_node"], -1))
                  for cb in r["chem_bonds"]]
    return r, len(nodes), edges, candidates


def components(n, edges):
    parent = list(range(n))

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x
    for u, v, _ in edges:
        parent[find(u)] = find(v)
    groups = {}
    for x in range(n):
        groups.setdefault(find(x), []).append(x)
    return list(groups.values())


def counts_by_components(n, edges):
    """LPI counts of the graph by the definition on each connected component; None when
    an eigenvalue of a component lies within 1e-11 of +-tol (then the whole graph must be
    decomposed for the definition's own rounding)."""
    total = [0, 0, 0]
    for comp in components(n, edges):
        local = {x: i for i, x in enumerate(comp)}
        sub = [(local[u], local[v], w) for u, v, w in edges if u in local and v in local]
        p, z, m, ev = _core.compute_lpi(len(comp), sub, TOL)
        if len(ev) and np.min(np.abs(np.abs(ev) - TOL)) < 1e-11:
            return None
        total[0] += p
        total[1] += z
        total[2] += m
    return tuple(total)


def reference_verdicts(n, edges, candidates, baseline, full_direct_max):
    if n <= full_direct_max:
        return _core.detect_soft_edges_direct(n, edges, candidates, baseline, TOL)
    out = []
    for u, v in candidates:
        kept = [e for e in edges if not ((e[0] == u and e[1] == v) or (e[0] == v and e[1] == u))]
        if len(kept) == len(edges):
            out.append(0)
            continue
        c = counts_by_components(n, kept)
        if c is None:
            c = _core.compute_lpi(n, kept, TOL)[:3]
        out.append(2 if tuple(c) == tuple(baseline) else 1)
    return out


def fragment_parts(r, soft_indices):
    """Atom sets of the two pieces of every soft single bond (ring bonds give none)."""
    mol = r["mol"]
    n = mol.GetNumAtoms()
    adj = [[] for _ in range(n)]
    for b in mol.GetBonds():
        adj[b.GetBeginAtomIdx()].append(b.GetEndAtomIdx())
        adj[b.GetEndAtomIdx()].append(b.GetBeginAtomIdx())
    parts, seen = [], set()
    for i in soft_indices:
        cb = r["chem_bonds"][i]
        a, b = cb["atom_u"], cb["atom_v"]
        piece, stack = {a}, [a]
        while stack:
            x = stack.pop()
            for y in adj[x]:
                if {x, y} == {a, b} or y in piece:
                    continue
                piece.add(y)
                stack.append(y)
        if b in piece:
            continue
        for atoms in (frozenset(piece), frozenset(range(n)) - piece):
            if atoms not in seen:
                seen.add(atoms)
                parts.append(sorted(atoms))
    return parts


def check_fragments(r, n, edges, candidates, verdicts):
    """Per-fragment differential; returns (parts, records, disagreements, fallbacks of
    the fragment's own tests, summed over the methods)."""
    soft = [i for i, v in enumerate(verdicts) if v == 2]
    parts = fragment_parts(r, soft)
    node_sets = []
    for atoms in parts:
        nodes = sorted(x for a in atoms for x in r["atom_subgraphs"][a])
        node_sets.append(nodes)
    records = disagreements = fallbacks = 0
    whole = _core.detect_soft_edges_in_parts(n, edges, node_sets, candidates, TOL)
    for nodes, (w_verdicts, tested, fb) in zip(node_sets, whole):
        local = {x: i for i, x in enumerate(nodes)}
        sub = [(local[u], local[v], w) for u, v, w in edges if u in local and v in local]
        loc = [(local.get(u, -1), local.get(v, -1)) for u, v in candidates]
        base = _core.compute_lpi(len(nodes), sub, TOL)[:3]
        direct = _core.detect_soft_edges_direct(len(nodes), sub, loc, base, TOL)
        records += tested
        disagreements += sum(a != b for a, b in zip(direct, w_verdicts))
        for method in METHODS:
            own, _, fb_own = _core.detect_soft_edges_fast(len(nodes), sub, loc, None, TOL, method)
            fallbacks += fb_own
            disagreements += sum(a != b for a, b in zip(direct, own))
    return len(parts), records, disagreements, fallbacks


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--nci", type=int, default=1000)
    ap.add_argument("--fragments", type=int, default=20)
    ap.add_argument("--ladder", action="store_true")
    ap.add_argument("--full-direct-max", type=int, default=1000)
    ap.add_argument("--time-records", type=int, default=12)
    ap.add_argument("--json")
    args = ap.parse_args()

    summary = {"molecules": 0, "records": 0, "disagreements": 0,
               **{"fallbacks_" + m: 0 for m in METHODS},
               "fragment_parts": 0, "fragment_records": 0, "fragment_disagreements": 0,
               "fragment_fallbacks": 0, "unparsed": 0}
    t_fast, t_direct = dict.fromkeys(METHODS, 0.0), 0.0
    for k, (name, smiles) in enumerate(nci(args.nci)):
        g = graph_of(smiles)
        if g is None:
            summary["unparsed"] += 1
            continue
        r, n, edges, candidates = g
        baseline = _core.compute_lpi(n, edges, TOL)[:3] if n else (0, 0, 0)
        t0 = time.perf_counter()
        direct = _core.detect_soft_edges_direct(n, edges, candidates, baseline, TOL)
        t_direct += time.perf_counter() - t0
        summary["molecules"] += 1
        for method in METHODS:
            t0 = time.perf_counter()
            fast, tested, fb = _core.detect_soft_edges_fast(n, edges, candidates, baseline, TOL,
                                                            method)
            t_fast[method] += time.perf_counter() - t0
            bad = sum(a != b for a, b in zip(fast, direct))
            if bad:
                print(f"DISAGREEMENT ({method}) {name} {smiles}: {bad} records", flush=True)
            if method == "auto":
                summary["records"] += tested
            summary["disagreements"] += bad
            summary["fallbacks_" + method] += fb
        if k < args.fragments:
            p, rec, dis, ffb = check_fragments(r, n, edges, candidates, direct)
            summary["fragment_parts"] += p
            summary["fragment_records"] += rec
            summary["fragment_disagreements"] += dis
            summary["fragment_fallbacks"] += ffb
    for method in METHODS:
        summary["nci_seconds_" + method] = round(t_fast[method], 3)
    summary["nci_seconds_direct"] = round(t_direct, 3)
    print(json.dumps(summary), flush=True)

    rows = []
    if args.ladder:
        print(f"{'molecule':>14} {'method':>6} {'nodes':>6} {'records':>7} {'fallbacks':>9} "
              f"{'fast s':>8} {'direct s':>9} {'speed-up':>8} {'disagree':>8}", flush=True)
        for name, smiles in ladder():
            r, n, edges, candidates = graph_of(smiles)
            baseline = _core.compute_lpi(n, edges, TOL)[:3]
            t0 = time.perf_counter()
            if n <= args.full_direct_max:
                ref = _core.detect_soft_edges_direct(n, edges, candidates, baseline, TOL)
                td = time.perf_counter() - t0
                timed = "measured"
            else:
                sample = candidates[:args.time_records]
                _core.detect_soft_edges_direct(n, edges, sample, baseline, TOL)
                td = (time.perf_counter() - t0) / len(sample) * len(candidates)
                ref = reference_verdicts(n, edges, candidates, baseline, args.full_direct_max)
                timed = "extrapolated"
            for method in METHODS:
                t0 = time.perf_counter()
                fast, tested, fb = _core.detect_soft_edges_fast(n, edges, candidates, baseline,
                                                                TOL, method)
                tf = time.perf_counter() - t0
                bad = sum(a != b for a, b in zip(fast, ref))
                summary["disagreements"] += bad
                rows.append({"molecule": name, "method": method, "nodes": n, "records": tested,
                             "fallbacks": fb, "fast_s": round(tf, 3), "direct_s": round(td, 2),
                             "direct_timing": timed, "disagreements": bad})
                print(f"{name:>14} {method:>6} {n:>6} {tested:>7} {fb:>9} {tf:>8.3f} {td:>9.2f} "
                      f"{td / tf:>7.0f}x {bad:>8}  ({timed})", flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"summary": summary, "ladder": rows}, f, indent=1)
    total_bad = summary["disagreements"] + summary["fragment_disagreements"]
    print("disagreements:", total_bad)
    return 1 if total_bad else 0


if __name__ == "__main__":
    sys.exit(main())
