"""Throughput of batch prediction: the first N molecules of RDKit's NCI sample with
recursion, through `korvane predict` with --jobs 1, --jobs 2 and a two-worker Dask
LocalCluster, against the single-process loop of predict_record.

Prints a Markdown table (molecules per second, parallel efficiency against --jobs 1, the
peak resident memory of the largest worker process) and the goals, each against its floor
measured in the same run (--jobs 2 against the ceiling that the two CPUs' rates at once
set over what one process gives alone; the records against those of --jobs 1, and of the
molecules in reversed order, made once); --update-readme writes them between the
throughput markers of docs/performance.md. Each command's time is the wall clock of the
whole run, start-up included; the loop's is the loop alone. Every run is repeated in
rounds and the table gives the medians, since a shared machine's speed varies from one
minute to the next by more than the goals' margins.

    .venv/bin/python bench/throughput.py [--nci 5000] [--rounds 3] [--update-readme]
"""
import argparse
import datetime
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

NCI = "/usr/share/RDKit/Data/NCI/first_5K.smi"
ROOT = Path(__file__).resolve().parent.parent


def _descendants(pid):
    """The ids of every process below `pid`, read from /proc."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        children.setdefault(ppid, []).append(int(entry))
    out, todo = [], [pid]
    while todo:
        for c in children.get(todo.pop(), []):
            out.append(c)
            todo.append(c)
    return out


def _peak_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class _PeakWatcher:
    """Samples the peak resident memory (VmHWM) of the processes below `root`, those in
    `skip` left out, every 0.1 s, keeping the largest seen."""

    def __init__(self, root, skip=()):
        self.root, self.skip, self.peak = root, set(skip), 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop.is_set():
            for pid in _descendants(self.root):
                if pid not in self.skip:
                    self.peak = max(self.peak, _peak_kib(pid))
            self.stop.wait(0.1)

    def done(self):
        self.stop.set()
        self.thread.join()
        return self.peak


def _korvane(args):
    exe = Path(sys.executable).parent / "korvane"
    return [str(exe)] if exe.exists() else [sys.executable, "-m", "korvane"]


# The environment of a shell: starting a LocalCluster leaves the Dask nanny's variables
# (MALLOC_TRIM_THRESHOLD_ among them) in this process's environment, where every later
# command would inherit them.
_SHELL_ENVIRONMENT = dict(os.environ)


def _run_command(args, watch_root=None):
    """Runs one `korvane predict`; returns (seconds, peak KiB of its largest worker)."""
    start = time.perf_counter()
    proc = subprocess.Popen(_korvane(args) + args, env=_SHELL_ENVIRONMENT)
    # The local workers are below the command (beside its fork server); a cluster's are
    # below this process. The command's own process is not a worker.
    watcher = _PeakWatcher(proc.pid if watch_root is None else watch_root, skip={proc.pid})
    if proc.wait() != 0:
        raise SystemExit(f"korvane predict failed: {args}")
    seconds = time.perf_counter() - start
    return seconds, watcher.done()


def _differing_lines(a, b):
    """The ids of the records (lines) that differ between two outputs, as text."""
    ids = [line.split(b'"id":"', 1)[1].split(b'"', 1)[0].decode()
           for x, line in zip(a.splitlines(), b.splitlines()) if x != line]
    return f"{len(ids)} ({', '.join(ids)})" if ids else "0"


def _loop(smiles):
    import korvane
    start = time.perf_counter()
    for i, s in enumerate(smiles, 1):
        korvane.predict_record(s, id=str(i))
    return time.perf_counter() - start


# Confined to one CPU, a process has none to spare for a helper thread: it runs without,
# as a worker of a pool that gives every CPU a worker does.
_PINNED_LOOP = """
import sys, time, korvane
from korvane._settings import set_helper_threads
set_helper_threads(False)
smiles = sys.stdin.read().split()
start = time.perf_counter()
for i, s in enumerate(smiles, 1):
    korvane.predict_record(s, id=str(i))
print(len(smiles) / (time.perf_counter() - start))
"""


def _pinned_loops(smiles, cpus):
    """Starts the predict_record loop pinned to each of `cpus` at once; returns
    {cpu: molecules per second}."""
    procs = {cpu: subprocess.Popen([sys.executable, "-c", _PINNED_LOOP],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                   env=_SHELL_ENVIRONMENT,
                                   preexec_fn=lambda cpu=cpu: os.sched_setaffinity(0, {cpu}))
             for cpu in cpus}
    for proc in procs.values():
        proc.stdin.write("\n".join(smiles))
        proc.stdin.close()
    rates = {cpu: float(proc.stdout.read()) for cpu, proc in procs.items()}
    if any(proc.wait() != 0 for proc in procs.values()):
        raise SystemExit("a pinned loop failed")
    return rates


def _cpu_rates(smiles):
    """Molecules per second of the predict_record loop pinned to each CPU: each alone, the
    others idle, then on every CPU at once. A virtual machine's CPUs need not be equally
    fast, nor keep their speed when the others are busy; the sum of the rates at once is
    the most that as many workers can give."""
    cpus = sorted(os.sched_getaffinity(0))
    alone = {}
    for cpu in cpus:
        alone.update(_pinned_loops(smiles, [cpu]))
    return alone, _pinned_loops(smiles, cpus)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nci", type=int, default=5000, help="molecules of the sample")
    parser.add_argument("--pinned", type=int, default=None,
                        help="molecules of the loop pinned to each CPU, alone and at once "
                             "(default: those of the runs, so that the ceiling is that of "
                             "the same work)")
    parser.add_argument("--rounds", type=int, default=3,
                        help="rounds of every run; the table gives each run's median")
    parser.add_argument("--update-readme", action="store_true")
    args = parser.parse_args()
    with open(NCI) as f:
        lines = [line for _, line in zip(range(args.nci), f)]
    smiles = [line.split()[0] for line in lines]
    n = len(smiles)
    names = ["predict_record loop, one process", "korvane predict --jobs 1",
             "korvane predict --jobs 2",
             "korvane predict --scheduler (LocalCluster, 2 workers)"]
    times = {name: [] for name in names}
    peaks = dict.fromkeys(names, 0)
    rates_seen = []
    with tempfile.TemporaryDirectory() as tmp:
        source = Path(tmp) / "in.smi"
        source.write_text("".join(lines))
        outputs = {}
        # The runs of one round follow each other, and the rounds repeat them, so that a
        # slower spell of a shared machine falls on every kind of run alike.
        for _ in range(args.rounds):
            times[names[0]].append(_loop(smiles))
            if not peaks[names[0]]:  # later rounds' high-water mark holds the scheduler's
                import resource
                peaks[names[0]] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            for jobs in (1, 2):
                out = Path(tmp) / f"jobs{jobs}.jsonl"
                seconds, kib = _run_command(["predict", str(source), "--out", str(out),
                                             "--jobs", str(jobs), "--quiet"])
                outputs[jobs] = out.read_bytes()
                times[names[jobs]].append(seconds)
                peaks[names[jobs]] = max(peaks[names[jobs]], kib)
            from distributed import LocalCluster
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                              host="127.0.0.1", dashboard_address=None,
                              local_directory=str(Path(tmp) / "dask")) as cluster:
                out = Path(tmp) / "dask.jsonl"
                seconds, kib = _run_command(["predict", str(source), "--out", str(out),
                                             "--quiet", "--scheduler",
                                             cluster.scheduler_address],
                                            watch_root=os.getpid())
                outputs["dask"] = out.read_bytes()
            times[names[3]].append(seconds)
            peaks[names[3]] = max(peaks[names[3]], kib)
            if "reversed" not in outputs:  # the same molecules in the other order, once
                source_rev = Path(tmp) / "reversed.smi"
                source_rev.write_text("".join(reversed(lines)))
                out = Path(tmp) / "reversed.jsonl"
                _run_command(["predict", str(source_rev), "--out", str(out), "--jobs", "1",
                              "--quiet"])
                outputs["reversed"] = b"\n".join(reversed(out.read_bytes().splitlines()))
            rates_seen.append(_cpu_rates(smiles[:args.pinned]))
    rows = [(name, statistics.median(times[name]), peaks[name], workers)
            for name, workers in zip(names, (None, 1, 2, 2))]
    cpu_rates = {cpu: statistics.median(r[0][cpu] for r in rates_seen)
                 for cpu in rates_seen[0][0]}
    together = {cpu: statistics.median(r[1][cpu] for r in rates_seen)
                for cpu in rates_seen[0][1]}
    differ = {k: _differing_lines(outputs[1], outputs[k]) for k in (2, "dask", "reversed")}
    rate = {name: n / s for name, s, _, _ in rows}
    r_loop, r1, r2, rd = (rate[name] for name, _, _, _ in rows)
    stamp = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    load = os.getloadavg()[0]
    text = [f"Measured {stamp} on {os.cpu_count()} CPUs, load average {load:.1f} at the end, "
            f"the median of {args.rounds} rounds; "
            f"{n} NCI molecules, recursive_ms and ring fragmentation on (the command's "
            f"defaults); records that differ from --jobs 1's: {differ[2]} with --jobs 2, "
            f"{differ['dask']} on the cluster, {differ['reversed']} with --jobs 1 on the "
            f"molecules in reversed order.",
            "",
            "| run | seconds: median (each round) | molecules/s | parallel efficiency "
            "| peak RSS of the largest worker |",
            "|---|---:|---:|---:|---:|"]
    for name, s, kib, workers in rows:
        eff = "" if workers is None else f"{rate[name] / (r1 * workers):.2f}"
        each = ", ".join(f"{t:.1f}" for t in times[name])
        text.append(f"| {name} | {s:.1f} ({each}) | {rate[name]:.0f} | {eff} | "
                    f"{kib / 1024:.0f} MiB |")
    two = rows[2][1]
    goals = [("--jobs 2 at least 1.8x --jobs 1", f"{r2 / r1:.2f}x", r2 >= 1.8 * r1),
             ("--jobs 1 within 10 % of the loop", f"{100 * r1 / r_loop:.0f} % of its rate",
              r1 >= 0.9 * r_loop),
             ("Dask (2 workers) within 25 % of --jobs 2", f"{100 * rd / r2:.0f} % of its rate",
              rd >= 0.75 * r2),
             (f"{n} molecules with --jobs 2 under 20 s", f"{two:.1f} s", two < 20)]
    # What one worker gives alone: the faster CPU's rate, or more when the loop, free to
    # use the idle CPU for its helper threads as --jobs 1's worker is, gave more.
    fast = max(max(cpu_rates.values()), r_loop)
    ceiling = sum(together.values()) / fast
    goals.insert(1, ("--jobs 2 at least 95 % of the two CPUs' ceiling",
                     f"{r2 / r1:.2f}x against {ceiling:.2f}x: {100 * r2 / r1 / ceiling:.0f} %",
                     r2 / r1 >= 0.95 * ceiling))
    same = all(differ[k] == "0" for k in (2, "reversed"))
    goals.append((f"records of {n} molecules identical with --jobs 1, --jobs 2 and in "
                  "reversed order", "yes" if same else
                  f"no: {differ[2]} with --jobs 2, {differ['reversed']} reversed", same))
    pinned = n if args.pinned is None else min(n, args.pinned)
    text += ["", f"The predict_record loop over the first {pinned} molecules "
                 "pinned to each CPU (medians of the rounds), alone: "
             + ", ".join(f"CPU {c} {r:.0f}" for c, r in cpu_rates.items())
             + " molecules/s; on both CPUs at once: "
             + ", ".join(f"CPU {c} {r:.0f}" for c, r in together.items())
             + f" molecules/s; the loop alone, free to use both: {r_loop:.0f} molecules/s."
               f" Two workers can give at most {ceiling:.2f} times what one gives alone"
               " (the faster of those). The ratio also depends on the CPU that --jobs 1's"
               " worker was given; --jobs 2 against the two pinned loops at once, which does"
               f" not: {100 * r2 / sum(together.values()):.0f} % of their rate, start-up"
               " included."]
    text += ["", "| goal | measured | met |", "|---|---|---|"]
    text += [f"| {goal} | {value} | {'yes' if met else 'no'} |" for goal, value, met in goals]
    table = "\n".join(text)
    print(table)
    if args.update_readme:
        readme = ROOT / "docs" / "performance.md"
        body = readme.read_text()
        new = re.sub(r"(<!-- throughput:start -->\n).*?(<!-- throughput:end -->)",
                     lambda m: m.group(1) + table + "\n" + m.group(2), body, flags=re.S)
        readme.write_text(new)


if __name__ == "__main__":
    main()
