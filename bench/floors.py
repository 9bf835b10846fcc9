"""Plain VIF over the NCI sample against its floor, on an idle machine and with every CPU
busy, measured in one run.

The floor of one molecule is RDKit's depiction (AddHs + Compute2DCoords, the coordinate
generator preferred) plus numpy.linalg.eigvalsh of the same orbital adjacency, which the
LPI's eigenvalues must equal to the bit; the goal is the ratio of VIF's median to the sum
of the two medians. "Busy" runs one spinning process per CPU beside the measuring one,
so that every CPU has more work than it can run. VIF's CPU time (of all the process's threads, one more call) shows how much of its wall
clock under load is waiting for a CPU.

    .venv/bin/python bench/floors.py [--nci 1000]     # prints the table

bench/run.py takes these rows into its targets.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from run import nci_smiles, rdkit_depiction_seconds  # noqa: E402

CONDITIONS = (("idle", False), ("busy", True))


def measure(limit):
    """Median seconds of VIF, the depiction and eigvalsh over the first `limit` molecules,
    each molecule's three in a row after one untimed VIF, the faster of two rounds (run in
    a child process)."""
    import numpy as np

    import korvane
    from korvane import _core
    from korvane.vif import analysis_params
    korvane.VIF("CCO", draw=False, verbose=False)  # the process's set-up, not timed
    vif, vif_cpu, depiction, eig = [], [], [], []
    def seconds(call):
        t = time.perf_counter()
        call()
        return time.perf_counter() - t

    def cpu_seconds(call):  # of every thread of the process
        t = time.process_time()
        call()
        return time.process_time() - t

    for smiles in nci_smiles(limit):
        if isinstance(korvane.VIF(smiles, draw=False, verbose=False), str):
            continue
        m = _core.prepare_vif(smiles, analysis_params())
        n = len(m.nodes)
        a = np.zeros((n, n))
        for u, v, w in m.edges:
            a[u, v] = a[v, u] = w
        # Each the faster of two, in turn, so that a time slice lost to another process
        # falls on one of them rather than on the ratio.
        rounds = [(seconds(lambda: korvane.VIF(smiles, draw=False, verbose=False)),
                   rdkit_depiction_seconds(smiles), seconds(lambda: np.linalg.eigvalsh(a)))
                  for _ in range(2)]
        vif.append(min(r[0] for r in rounds))
        vif_cpu.append(cpu_seconds(lambda: korvane.VIF(smiles, draw=False, verbose=False)))
        depiction.append(min(r[1] for r in rounds))
        eig.append(min(r[2] for r in rounds))
    return {"vif": statistics.median(vif), "vif_cpu": statistics.median(vif_cpu),
            "depiction": statistics.median(depiction),
            "eigvalsh": statistics.median(eig), "molecules": len(vif)}


def spinners(count):
    """`count` processes that spin until killed."""
    return [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]


def run_condition(limit, busy, timeout):
    spin = spinners(len(os.sched_getaffinity(0))) if busy else []
    try:
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", str(limit)],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"timeout": timeout}
    finally:
        for p in spin:
            p.kill()
        for p in spin:
            p.wait()
    if done.returncode != 0:
        raise RuntimeError(f"floor measurement failed:\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def measure_floors(limit, timeout=900.0):
    """{condition: medians} of every condition, one after the other."""
    return {name: run_condition(limit, busy, timeout) for name, busy in CONDITIONS}


def ratio(r):
    return r["vif"] / (r["depiction"] + r["eigvalsh"])


def goal_rows(floors):
    """(goal, measured, met) of plain VIF against its floor, idle and busy."""
    rows = []
    for name, limit in (("idle", 1.3), ("busy", 1.5)):
        r = floors.get(name)
        if r is None or "timeout" in r:
            rows.append((f"NCI median of plain VIF <= {limit}x depiction + eigvalsh, {name}",
                         "not measured", None))
            continue
        rows.append((f"NCI median of plain VIF <= {limit}x depiction + eigvalsh, {name}",
                     f"{ratio(r):.2f}x ({r['vif'] * 1e3:.2f} ms against "
                     f"{r['depiction'] * 1e3:.2f} + {r['eigvalsh'] * 1e3:.2f} ms)",
                     ratio(r) <= limit))
    return rows


def markdown(floors):
    lines = ["| NCI sample, medians in ms | VIF | VIF's CPU time | depiction | eigvalsh | "
             "VIF / floor |", "|---|---:|---:|---:|---:|---:|"]
    for name, r in floors.items():
        if "timeout" in r:
            lines.append(f"| {name} | > {r['timeout']} s (time limit) | | | | |")
            continue
        lines.append(f"| {name} ({r['molecules']} molecules) | {r['vif'] * 1e3:.2f} | "
                     f"{r['vif_cpu'] * 1e3:.2f} | "
                     f"{r['depiction'] * 1e3:.2f} | {r['eigvalsh'] * 1e3:.2f} | "
                     f"{ratio(r):.2f}x |")
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--nci", type=int, default=1000)
    ap.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(measure(args.child)))
        return 0
    floors = measure_floors(args.nci)
    print(markdown(floors))
    for goal, value, met in goal_rows(floors):
        print(f"{goal}: {value} ({'met' if met else 'not met'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
