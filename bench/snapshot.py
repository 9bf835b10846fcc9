"""Snapshot of korvane's full results over the NCI sample, to show that a change keeps them.

    bench/snapshot.py write FILE [--nci 1000]      records every result of the first molecules
    bench/snapshot.py compare FILE [--nci 1000]    recomputes them and lists every difference

Each molecule is analysed with recursion and ring cuts, silently and without drawing; the
record holds the LPI with its eigenvalues, soft bonds, every cut record, the recursive peaks,
the bond records, node positions, the orbital graph's nodes and edges, both masses and the
report text, every float written exactly (repr). `--ignore-eigenvalues` leaves the
eigenvalues and the report text (which prints them) out of the comparison.
"""
import argparse
import contextlib
import io
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import nci_smiles  # noqa: E402


def _exact(value):
    """Returns a JSON-ready copy in which every float is its repr (so nothing rounds)."""
    import numpy as np
    if isinstance(value, np.ndarray):
        return [str(value.dtype), list(value.shape), _exact(value.tolist())]
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, dict):
        return {repr(k) if not isinstance(k, str) else k: _exact(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_exact(v) for v in value]
    return value


def record(smiles):
    import korvane
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        r = korvane.VIF(smiles, draw=False, verbose=True, recursive_ms=True,
                        ring_fragmentation=True)
    if isinstance(r, str):
        return {"smiles": smiles, "result": r}
    H = r["graph"]
    rec = {k: v for k, v in r.items() if k != "graph"}
    rec["graph_nodes"] = [[n, H.nodes[n]] for n in H.nodes]
    rec["graph_edges"] = [[u, v, d] for u, v, d in H.edges(data=True)]
    rec["report"] = out.getvalue()
    return {"smiles": smiles, "result": _exact(rec)}


def differences(old, new, ignore_eigenvalues):
    """Yields the keys whose values differ between two records of one molecule."""
    a, b = old["result"], new["result"]
    if isinstance(a, str) or isinstance(b, str):
        if a != b:
            yield "result"
        return
    for key in sorted(set(a) | set(b)):
        if ignore_eigenvalues and key == "report":
            continue
        va, vb = a.get(key), b.get(key)
        if ignore_eigenvalues and key == "lpi":
            va = {k: v for k, v in (va or {}).items() if k != "eigenvalues"}
            vb = {k: v for k, v in (vb or {}).items() if k != "eigenvalues"}
        if va != vb:
            yield key


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mode", choices=("write", "compare"))
    ap.add_argument("file")
    ap.add_argument("--nci", type=int, default=1000)
    ap.add_argument("--ignore-eigenvalues", action="store_true")
    args = ap.parse_args()
    smiles = nci_smiles(args.nci)
    if args.mode == "write":
        with open(args.file, "w") as f:
            for s in smiles:
                f.write(json.dumps(record(s)) + "\n")
        print(f"wrote {len(smiles)} records to {args.file}")
        return 0
    with open(args.file) as f:
        old = [json.loads(line) for line in f]
    if len(old) < len(smiles):
        sys.exit(f"{args.file} holds {len(old)} records, fewer than {len(smiles)}")
    changed = 0
    for o, s in zip(old, smiles):
        if o["smiles"] != s:
            sys.exit(f"{args.file} was written for other molecules ({o['smiles']} != {s})")
        keys = list(differences(o, record(s), args.ignore_eigenvalues))
        if keys:
            changed += 1
            print(f"{s}: {', '.join(keys)} differ")
    print(f"{changed} of {len(smiles)} molecules differ")
    return 1 if changed else 0


if __name__ == "__main__":
    sys.exit(main())
