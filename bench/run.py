"""Benchmarks of korvane on this machine: the NCI sample, a size ladder of large
molecules stage by stage against its floor, plain VIF against depiction + eigvalsh idle
and busy (bench/floors.py), recursion against plain VIF, and the direct against the fast
soft-bond test. Prints the tables and writes them as JSON (and Markdown).

    .venv/bin/python bench/run.py                  # the full run
    .venv/bin/python bench/run.py --update-readme  # and the table of docs/performance.md with it
    .venv/bin/python bench/run.py --smoke          # a handful of molecules, seconds

Each ladder measurement runs in a child process with a time limit, so one molecule
that is too slow for the current code is reported as such instead of stalling the run.
The run fails (exit status 1) when the fast and the direct soft-bond test disagree or a
measurement breaks; missed speed targets are reported, not failed.
"""
import argparse
import datetime
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STAGES = ("prepare", "layout", "graph", "lpi", "soft_bonds", "fragments", "recursive")
README_START = "<!-- bench-results:start -->"
README_END = "<!-- bench-results:end -->"

CORONENE = "c1cc2ccc3ccc4ccc5ccc6ccc1c7c2c3c4c5c67"
PEPTIDE = "AGSFKLDVTEYQG"


# --- molecules ---------------------------------------------------------------------

def nci_smiles(limit):
    """The first `limit` SMILES of the NCI sample that Debian's rdkit-data ships."""
    from rdkit import RDConfig
    path = os.path.join(RDConfig.RDDataDir, "NCI", "first_5K.smi")
    with open(path) as f:
        return [line.split()[0] for line, _ in zip(f, range(limit)) if line.strip()]


def sequence_smiles(sequence):
    from rdkit import Chem
    return Chem.MolToSmiles(Chem.MolFromSequence(sequence))


def atom_count(smiles):
    """Atoms with explicit hydrogens, as the analysis counts them; 0 if unparsable."""
    from rdkit import Chem
    mol = Chem.MolFromSmiles(smiles)
    return 0 if mol is None else Chem.AddHs(mol).GetNumAtoms()


def ladder(smoke, nci):
    """(name, SMILES) of the size ladder."""
    if smoke:
        return [("C12 alkane", "C" * 12), ("coronene", CORONENE)]
    rows = [(f"C{n} alkane", "C" * n) for n in (50, 100, 200, 400, 600, 800, 1000)]
    rows += [(f"Gly{n}", sequence_smiles("G" * n)) for n in (20, 50, 100)]
    rows += [(PEPTIDE, sequence_smiles(PEPTIDE)), ("coronene", CORONENE)]
    largest = sorted(range(len(nci)), key=lambda i: (-atom_count(nci[i]), i))[:5]
    rows += [(f"NCI #{i + 1}", nci[i]) for i in largest]
    return rows


# --- timing helpers ----------------------------------------------------------------

def rdkit_depiction_seconds(smiles):
    """Seconds of AddHs and Compute2DCoords (coordinate generator preferred), or None."""
    from rdkit import Chem
    from rdkit.Chem import rdDepictor
    mol = Chem.MolFromSmiles(smiles)
    if mol is None:
        return None
    rdDepictor.SetPreferCoordGen(True)
    t = time.perf_counter()
    rdDepictor.Compute2DCoords(Chem.AddHs(mol))
    return time.perf_counter() - t


class StageRecorder:
    """Keeps the core's stage objects of the VIF calls made while it is active.

    VIF looks the two stage functions up on the extension module at every call, so
    wrapping them there records their results without changing what VIF does.
    """

    def __enter__(self):
        from korvane import _core
        self._core = _core
        self._prepare, self._fragment = _core.prepare_vif, _core.fragment_vif
        self.molecule = self.fragments = None

        def prepare(*args):
            self.molecule = self._prepare(*args)
            return self.molecule

        def fragment(*args):
            self.fragments = self._fragment(*args)
            return self.fragments
        _core.prepare_vif, _core.fragment_vif = prepare, fragment
        return self

    def __exit__(self, *exc):
        self._core.prepare_vif, self._core.fragment_vif = self._prepare, self._fragment


def stage_seconds(fragments):
    return {s: getattr(fragments.seconds, s) for s in STAGES}


def timed_vif(smiles, recursive):
    """(seconds, per-stage seconds) of one VIF call without drawing or printing."""
    import korvane
    with StageRecorder() as rec:
        t = time.perf_counter()
        result = korvane.VIF(smiles, draw=False, verbose=False, recursive_ms=recursive)
        total = time.perf_counter() - t
    if isinstance(result, str):
        raise ValueError(f"unparsable SMILES: {smiles}")
    stages = stage_seconds(rec.fragments)
    # Stages run on a helper thread beside the layout overlap the caller's.
    beside = getattr(rec.fragments.seconds, "beside", 0.0)
    stages["python"] = max(0.0, total - sum(stages.values()) + beside)
    return total, stages, rec.molecule


def soft_bond_functions():
    """(direct, fast, fast_with_stats) core functions; fast is None before it exists.

    Once the direct method has its own binding, `detect_soft_edges` is the fast one
    that the analysis uses; before, it is the direct one.
    """
    from korvane import _core
    if hasattr(_core, "detect_soft_edges_direct"):
        return (_core.detect_soft_edges_direct, _core.detect_soft_edges,
                getattr(_core, "detect_soft_edges_fast", None))
    return _core.detect_soft_edges, None, None


def graph_of(molecule):
    """(n_nodes, edges, candidate node pairs, baseline counts) of a core molecule."""
    n_plus, n_zero, n_minus, _ = molecule.lpi
    pairs = [(rec[0], rec[1]) for rec in molecule.chem_bonds]
    return len(molecule.nodes), molecule.edges, pairs, (n_plus, n_zero, n_minus)


def compare_soft_bonds(molecule, budget):
    """Times the direct test on as many records as fit in `budget` seconds (all when
    they do) and the fast one on all; checks their verdicts agree on the common part."""
    direct, fast, fast_stats = soft_bond_functions()
    n, edges, pairs, base = graph_of(molecule)
    out = {"n_nodes": n, "records": len(pairs)}
    if not pairs:
        return out
    t = time.perf_counter()
    direct(n, edges, pairs[:1], base, 1e-9)
    first = time.perf_counter() - t
    k = max(1, min(len(pairs), int(budget / max(first, 1e-9))))
    t = time.perf_counter()
    direct_verdicts = direct(n, edges, pairs[:k], base, 1e-9)
    per_record = (time.perf_counter() - t) / k
    out.update(direct_records=k, direct_per_record=per_record,
               direct_seconds=per_record * len(pairs), direct_extrapolated=k < len(pairs))
    if fast is None:
        return out
    t = time.perf_counter()
    fast_verdicts = fast(n, edges, pairs, base, 1e-9)
    out["fast_seconds"] = time.perf_counter() - t
    out["speedup"] = out["direct_seconds"] / max(out["fast_seconds"], 1e-12)
    out["disagreements"] = sum(a != b for a, b in zip(direct_verdicts, fast_verdicts[:k]))
    if fast_stats is not None:
        _, tested, fallbacks = fast_stats(n, edges, pairs, base, 1e-9, "auto")
        out.update(tested=tested, fallbacks=fallbacks)
    return out


# Above this many orbital nodes the ladder skips what only the definition's dense
# decompositions measure (the floor's NumPy eigh, the direct soft-bond test, recursion):
# each takes minutes there.
MAX_DENSE_NODES = 2500


def large(smiles):
    """Whether the molecule has more orbital nodes than MAX_DENSE_NODES (a cheap count:
    four per heavy atom above helium, one per hydrogen or helium)."""
    from rdkit import Chem
    mol = Chem.AddHs(Chem.MolFromSmiles(smiles))
    nodes = sum(1 if a.GetAtomicNum() <= 2 else 4 for a in mol.GetAtoms())
    return nodes > MAX_DENSE_NODES


def resident_bytes(field):
    """VmRSS or VmHWM (the peak) of this process, in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def floor_seconds(smiles, molecule):
    """(RDKit depiction, one full symmetric eigendecomposition of the orbital matrix)."""
    import numpy as np
    n = len(molecule.nodes)
    a = np.zeros((n, n))
    for u, v, w in molecule.edges:
        a[u, v] = a[v, u] = w
    t = time.perf_counter()
    np.linalg.eigh(a)
    return rdkit_depiction_seconds(smiles), time.perf_counter() - t


# --- child measurements ------------------------------------------------------------

def measure(task):
    """One ladder measurement (run in a child process): "stages" without recursion and
    the floor, "recursive" with it, or "soft_bonds"."""
    smiles, kind = task["smiles"], task["kind"]
    if kind == "soft_bonds":
        from korvane import _core
        from korvane.vif import analysis_params
        m = _core.prepare_vif(smiles, analysis_params())
        return compare_soft_bonds(m, task["budget"])
    timed_vif("CCO", True)  # the first analysis of a process pays for set-up; not timed
    from korvane import _core
    estimate = _core.analysis_memory_estimate(smiles, kind == "recursive")
    rss_before = resident_bytes("VmRSS")
    runs = []
    while True:  # short runs are repeated; the run with the median total is kept
        runs.append(timed_vif(smiles, kind == "recursive"))
        if len(runs) == 3 or runs[0][0] * len(runs) > 1.0:
            break
    total, stages, molecule = sorted(runs, key=lambda r: r[0])[len(runs) // 2]
    # The peak before the floor's NumPy matrices: what the analyses held above the
    # interpreter's own memory, against the core's estimate of it.
    peak = resident_bytes("VmHWM")
    out = {"total": total, "stages": stages, "atoms": len(molecule.atomic_numbers),
           "n_nodes": len(molecule.nodes), "records": len(molecule.chem_bonds),
           "estimate": estimate, "rss_before": rss_before, "peak_rss": peak,
           "peak_growth": peak - rss_before}
    if kind == "stages":
        out["depiction"], out["eigh"] = (None, None) if task.get("large") else \
            floor_seconds(smiles, molecule)
    return out


def run_child(task, timeout):
    """Runs `measure(task)` in a fresh interpreter; returns its result, or
    {"timeout": seconds}; raises RuntimeError when the child fails."""
    cmd = [sys.executable, os.path.abspath(__file__), "--child", json.dumps(task)]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"timeout": timeout}
    if done.returncode != 0:
        raise RuntimeError(f"{task['kind']} of {task['name']} failed:\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


# --- the NCI sample ----------------------------------------------------------------

def summary_stats(seconds):
    s = sorted(seconds)
    return {"median": statistics.median(s), "p95": s[min(len(s) - 1, int(0.95 * len(s)))],
            "max": s[-1], "per_second": len(s) / sum(s), "count": len(s)}


def bench_nci(smiles_list):
    """VIF without and with recursion, RDKit's depiction, and both soft-bond tests."""
    import korvane
    from korvane import _core
    from korvane.vif import analysis_params
    plain, recursive, depiction, failed = [], [], [], []
    direct_total = fast_total = 0.0
    disagreements = tested = fallbacks = 0
    direct, fast, fast_stats = soft_bond_functions()
    timed_vif("CCO", True)  # the first analysis of a process pays for set-up; not timed
    # The timings first, each molecule's three in a row; the soft-bond comparison, whose
    # direct test is far heavier, in a loop of its own, so that it cools no cache that
    # the timed calls use.
    analysed = []
    for smiles in smiles_list:
        try:
            t = time.perf_counter()
            r = korvane.VIF(smiles, draw=False, verbose=False)
            t1 = time.perf_counter()
            korvane.VIF(smiles, draw=False, verbose=False, recursive_ms=True)
            t2 = time.perf_counter()
        except Exception as e:  # noqa: BLE001 - counted and reported, the run goes on
            failed.append(f"{smiles}: {type(e).__name__}: {e}")
            continue
        if isinstance(r, str):
            failed.append(f"{smiles}: {r}")
            continue
        plain.append(t1 - t)
        recursive.append(t2 - t1)
        d = rdkit_depiction_seconds(smiles)
        if d is not None:
            depiction.append(d)
        analysed.append(smiles)
    for smiles in analysed:
        m = _core.prepare_vif(smiles, analysis_params())
        n, edges, pairs, base = graph_of(m)
        t = time.perf_counter()
        dv = direct(n, edges, pairs, base, 1e-9)
        direct_total += time.perf_counter() - t
        if fast is not None:
            t = time.perf_counter()
            fv = fast(n, edges, pairs, base, 1e-9)
            fast_total += time.perf_counter() - t
            disagreements += sum(a != b for a, b in zip(dv, fv))
            if fast_stats is not None:
                _, te, fb = fast_stats(n, edges, pairs, base, 1e-9, "auto")
                tested, fallbacks = tested + te, fallbacks + fb
    out = {"molecules": len(smiles_list), "analysed": len(plain), "failed": failed,
           "plain": summary_stats(plain), "recursive": summary_stats(recursive),
           "depiction_median": statistics.median(depiction),
           "soft_bonds": {"direct_seconds": direct_total}}
    if fast is not None:
        out["soft_bonds"].update(fast_seconds=fast_total, disagreements=disagreements,
                                 tested=tested, fallbacks=fallbacks)
    return out


# --- report ------------------------------------------------------------------------

def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    import numpy
    import rdkit

    import korvane
    try:
        commit = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"],
                                capture_output=True, text=True).stdout.strip()
    except OSError:
        commit = ""
    return {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
            "nproc": len(os.sched_getaffinity(0)), "cpu": model,
            "python": platform.python_version(), "rdkit": rdkit.__version__,
            "numpy": numpy.__version__, "korvane": korvane.__version__, "commit": commit}


def ms(x):
    return "–" if x is None else f"{x * 1e3:.1f}"


def secs(x):
    if x is None:
        return "–"
    return f"{x:.3f}" if x < 10 else f"{x:.1f}"


def evaluate_targets(results):
    """(target, measured, met) rows of the speed targets; met is None when not measured."""
    rows = []
    by_name = {r["name"]: r for r in results["ladder"]}

    def total(name, kind):
        r = by_name.get(name, {}).get(kind)
        return None if r is None or "timeout" in r else r["total"]

    for name, kind, label in (("C200 alkane", "stages", "VIF on C200 alkane < 2 s"),
                              (PEPTIDE, "recursive", f"{PEPTIDE} with recursive_ms < 2 s")):
        if name in by_name:
            t = total(name, kind)
            r = by_name[name].get(kind, {})
            rows.append((label, f"{secs(t)} s" if t is not None else
                         f"> {r.get('timeout')} s (time limit)", None if t is None and
                         not r.get("timeout") else (t is not None and t < 2.0)))
    def stage(name, key):
        s = by_name.get(name, {}).get("stages", {})
        return None if "timeout" in s or not s else s["stages"][key]

    if "C400 alkane" in by_name:
        t = stage("C400 alkane", "soft_bonds")
        rows.append(("soft bonds of C400 alkane < 1 s", "not measured" if t is None else
                     f"{secs(t)} s", None if t is None else t < 1.0))
    if "C1000 alkane" in by_name:
        t = total("C1000 alkane", "stages")
        r = by_name["C1000 alkane"].get("stages", {})
        rows.append(("VIF on C1000 alkane < 30 s", f"{secs(t)} s" if t is not None else
                     f"> {r.get('timeout')} s (time limit)", t is not None and t < 30.0))
    if "C200 alkane" in by_name and "C800 alkane" in by_name:
        t200, t800 = stage("C200 alkane", "soft_bonds"), stage("C800 alkane", "soft_bonds")
        if t200 and t800:
            n200 = by_name["C200 alkane"]["stages"]["n_nodes"]
            n800 = by_name["C800 alkane"]["stages"]["n_nodes"]
            growth = math.log(t800 / t200) / math.log(n800 / n200)
            rows.append(("soft-bond time from C200 to C800 alkane grows as N^2.5 or slower",
                         f"N^{growth:.2f}", growth <= 2.5))
    measured = [(r["name"], r[kind]) for r in results["ladder"] for kind in ("stages", "recursive")
                if "peak_growth" in r.get(kind, {})]
    if measured:
        under = [name for name, m in measured if m["estimate"] < m["peak_growth"]]
        rows.append(("memory estimate above the peak resident growth of every analysis",
                     f"{len(measured) - len(under)} of {len(measured)}" +
                     (f" (below: {', '.join(under)})" if under else ""), not under))
    for r in results["ladder"]:
        s = r.get("stages", {})
        if "timeout" in s or not s or s["n_nodes"] < 500 or s.get("depiction") is None:
            continue
        floor = s["depiction"] + s["eigh"]
        rows.append((f"{r['name']} (N={s['n_nodes']}) within 2x floor",
                     f"{s['total'] / floor:.2f}x floor", s["total"] <= 2 * floor))
    for r in results["ladder"]:
        sb = r.get("soft_bonds", {})
        if 800 <= sb.get("n_nodes", 0) <= 1600 and "speedup" in sb:
            rows.append((f"soft bonds >= 100x direct, {r['name']} (N={sb['n_nodes']})",
                         f"{sb['speedup']:.0f}x", sb["speedup"] >= 100))
    for name in ("C100 alkane", "C200 alkane", "C400 alkane", PEPTIDE):
        plain, rec = total(name, "stages"), total(name, "recursive")
        if name in by_name:
            rows.append((f"{name}: recursive_ms at most 2x plain VIF",
                         f"{rec / plain:.2f}x ({secs(rec)} s against {secs(plain)} s)"
                         if plain and rec else "not measured (time limit)",
                         None if not (plain and rec) else rec <= 2 * plain))
    if results.get("floors"):
        import floors
        rows += floors.goal_rows(results["floors"])
    nci = results.get("nci")
    if nci:
        ratio = nci["plain"]["median"] / nci["depiction_median"]
        rows.append(("NCI median without recursion <= 1.5x median depiction",
                     f"{ratio:.2f}x", ratio <= 1.5))
        rows.append(("NCI median with recursive_ms < 5 ms",
                     f"{ms(nci['recursive']['median'])} ms", nci["recursive"]["median"] < 5e-3))
    return rows


def markdown(results):
    m = results["machine"]
    lines = [f"Measured {m['date']} on {m['nproc']} CPUs ({m['cpu']}); Python {m['python']}, "
             f"RDKit {m['rdkit']}, NumPy {m['numpy']}, korvane {m['korvane']} "
             f"({m['commit']}).", ""]
    nci = results.get("nci")
    if nci:
        lines += [f"NCI sample, first {nci['molecules']} molecules ({nci['analysed']} analysed), "
                  "milliseconds per molecule:", "",
                  "| VIF(draw=False, verbose=False) | median | p95 | max | molecules/s |",
                  "|---|---:|---:|---:|---:|"]
        for key, label in (("plain", "without recursion"), ("recursive", "recursive_ms=True")):
            s = nci[key]
            lines.append(f"| {label} | {ms(s['median'])} | {ms(s['p95'])} | {ms(s['max'])} | "
                         f"{s['per_second']:.0f} |")
        lines.append(f"| RDKit depiction (AddHs + Compute2DCoords) | "
                     f"{ms(nci['depiction_median'])} | | | |")
        sb = nci["soft_bonds"]
        text = f"Soft-bond test over the sample: direct {secs(sb['direct_seconds'])} s"
        if "fast_seconds" in sb:
            text += (f", fast {secs(sb['fast_seconds'])} s, {sb['disagreements']} disagreements, "
                     f"{sb['fallbacks']} fallbacks in {sb['tested']} records")
        lines += ["", text + ".", ""]
    if results.get("floors"):
        import floors
        lines += ["Plain VIF against its floor (RDKit's depiction + numpy.linalg.eigvalsh of the "
                  "same orbital adjacency), each molecule's three in a row, idle and with one "
                  "spinning process per CPU beside the measuring one:", "",
                  floors.markdown(results["floors"])]
    lines += ["Size ladder, seconds per stage (VIF without recursion; `recursive` from a "
              "separate recursive_ms=True run; floor = one RDKit depiction + one NumPy `eigh` "
              "of the orbital matrix):", "",
              "| molecule | atoms | N | prepare+depict | layout | graph | LPI | soft bonds | "
              "fragments | python | total | recursive | total rec. | floor | total/floor |",
              "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in results["ladder"]:
        s, rec = r.get("stages", {}), r.get("recursive", {})
        if "timeout" in s or not s:
            lines.append(f"| {r['name']} | | | > {s.get('timeout')} s (time limit) |" +
                         " |" * 11)
            continue
        st = s["stages"]
        floor = None if s.get("depiction") is None else s["depiction"] + s["eigh"]
        if "timeout" in rec:
            rec_cells = f"> {rec['timeout']} s | |"
        elif not rec:
            rec_cells = "not run | |"
        else:
            rec_cells = f"{secs(rec['stages']['recursive'])} | {secs(rec['total'])} |"
        lines.append(f"| {r['name']} | {s['atoms']} | {s['n_nodes']} | {secs(st['prepare'])} | "
                     f"{secs(st['layout'])} | {secs(st['graph'])} | {secs(st['lpi'])} | "
                     f"{secs(st['soft_bonds'])} | {secs(st['fragments'])} | "
                     f"{secs(st['python'])} | {secs(s['total'])} | {rec_cells} " +
                     (f"{secs(floor)} | {s['total'] / floor:.2f} |" if floor else "not run | |"))
    lines += ["", "Soft-bond test on the ladder's graphs, seconds (direct extrapolated from "
              "the records timed when marked *):", "",
              "| molecule | N | records | direct | fast | speedup | fallbacks | disagreements |",
              "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for r in results["ladder"]:
        sb = r.get("soft_bonds", {})
        if "timeout" in sb or not sb.get("records"):
            continue
        star = "*" if sb["direct_extrapolated"] else ""
        lines.append(f"| {r['name']} | {sb['n_nodes']} | {sb['records']} | "
                     f"{secs(sb['direct_seconds'])}{star} | {secs(sb.get('fast_seconds'))} | "
                     f"{sb['speedup']:.0f}x | {sb.get('fallbacks', '–')} | "
                     f"{sb.get('disagreements', '–')} |" if "speedup" in sb else
                     f"| {r['name']} | {sb['n_nodes']} | {sb['records']} | "
                     f"{secs(sb['direct_seconds'])}{star} | not available | | | |")
    lines += ["", "Memory of the ladder's analyses, MiB: the core's estimate of what an analysis "
              "holds at its peak (checked against the limit before the hydrogens are added) "
              "beside the peak resident memory of the measuring process above what it held "
              "before the analyses (VmHWM - VmRSS):", "",
              "| molecule | atoms | N | estimate | peak growth | estimate/peak | "
              "estimate rec. | peak growth rec. |", "|---|---:|---:|---:|---:|---:|---:|---:|"]
    mib = lambda b: f"{b / 2**20:.0f}" if b is not None else ""  # noqa: E731
    for r in results["ladder"]:
        s, rec = r.get("stages", {}), r.get("recursive", {})
        if "peak_growth" not in s:
            continue
        rec_cells = (f"{mib(rec['estimate'])} | {mib(rec['peak_growth'])} |"
                     if "peak_growth" in rec else "| |")
        lines.append(f"| {r['name']} | {s['atoms']} | {s['n_nodes']} | {mib(s['estimate'])} | "
                     f"{mib(s['peak_growth'])} | "
                     f"{s['estimate'] / max(s['peak_growth'], 1):.1f} | {rec_cells}")
    lines += ["", "| target | measured | met |", "|---|---|---|"]
    for label, value, met in results["targets"]:
        lines.append(f"| {label} | {value} | {'–' if met is None else ('yes' if met else 'no')} |")
    return "\n".join(lines) + "\n"


def update_readme(table):
    path = os.path.join(ROOT, "docs", "performance.md")
    with open(path) as f:
        text = f.read()
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        raise SystemExit(f"docs/performance.md has no {README_START} ... {README_END} block")
    text = text[:start + len(README_START)] + "\n" + table + text[end:]
    with open(path, "w") as f:
        f.write(text)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--smoke", action="store_true", help="a handful of molecules, seconds")
    ap.add_argument("--nci", type=int, help="NCI molecules (default 1000, smoke 6)")
    ap.add_argument("--timeout", type=float, help="seconds per ladder measurement "
                    "(default 600, smoke 120)")
    ap.add_argument("--recursive-timeout", type=float, help="seconds per recursive ladder "
                    "measurement (default 180, smoke 120)")
    ap.add_argument("--direct-budget", type=float, help="seconds of direct soft-bond "
                    "test per ladder graph before extrapolating (default 20, smoke 1)")
    ap.add_argument("--out", help="JSON file (default bench/results/latest.json; smoke: "
                    "a file in the temporary directory)")
    ap.add_argument("--update-readme", action="store_true",
                    help="write the table into docs/performance.md")
    ap.add_argument("--only", help="comma-separated ladder names to measure (default all)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(measure(json.loads(args.child))))
        return 0

    smoke = args.smoke
    n_nci = args.nci if args.nci is not None else (6 if smoke else 1000)
    timeout = args.timeout or (120.0 if smoke else 600.0)
    recursive_timeout = args.recursive_timeout or (120.0 if smoke else 180.0)
    budget = args.direct_budget or (1.0 if smoke else 20.0)
    out = args.out or (os.path.join(tempfile.gettempdir(), "korvane-bench-smoke.json") if smoke
                       else os.path.join(HERE, "results", "latest.json"))

    results = {"machine": machine(), "smoke": smoke}
    nci = nci_smiles(n_nci)
    print(f"NCI sample: {len(nci)} molecules ...", flush=True)
    results["nci"] = bench_nci(nci) if nci else None
    if results["nci"]:
        print(f"NCI sample: median {ms(results['nci']['plain']['median'])} ms, recursive "
              f"{ms(results['nci']['recursive']['median'])} ms", flush=True)
    import floors
    print("plain VIF against its floor, idle and busy ...", flush=True)
    results["floors"] = floors.measure_floors(min(n_nci, 1000)) if nci else None
    results["ladder"] = []
    only = set(args.only.split(",")) if args.only else None
    for name, smiles in ladder(smoke, nci):
        if only is not None and name not in only:
            continue
        row = {"name": name, "smiles": smiles}
        is_large = large(smiles)
        for kind in ("stages",) if is_large else ("stages", "recursive", "soft_bonds"):
            row[kind] = run_child({"name": name, "smiles": smiles, "kind": kind,
                                   "budget": budget, "large": is_large},
                                  recursive_timeout if kind == "recursive" else timeout)
            r = row[kind]
            seconds = (f"> {r['timeout']} s (time limit)" if "timeout" in r else
                       f"{r['total']:.3f} s" if "total" in r else
                       f"fast {secs(r.get('fast_seconds'))} s, direct "
                       f"{secs(r.get('direct_seconds'))} s")
            print(f"{name}: {kind}: {seconds}", flush=True)
        results["ladder"].append(row)
    results["targets"] = evaluate_targets(results)

    table = markdown(results)
    print()
    print(table)
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "w") as f:
        json.dump(results, f, indent=1)
    if not smoke:
        with open(os.path.splitext(out)[0] + ".md", "w") as f:
            f.write(table)
    if args.update_readme:
        update_readme(table)
    print(f"written: {out}")

    disagreements = (results["nci"] or {}).get("soft_bonds", {}).get("disagreements", 0)
    disagreements += sum(r.get("soft_bonds", {}).get("disagreements", 0) for r in results["ladder"])
    if disagreements:
        print(f"FAILED: the fast and the direct soft-bond test disagree {disagreements} times",
              file=sys.stderr)
        return 1
    if results["nci"] and results["nci"]["failed"]:
        print("analyses that failed:\n  " + "\n  ".join(results["nci"]["failed"]),
              file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
