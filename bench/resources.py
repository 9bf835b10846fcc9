"""Memory and time of the command's large inputs.

  annotate  peak memory of `korvane annotate` on a generated MSP file of --mb megabytes
            (spectra of ethyl acetate, --peaks peaks each): the parent and each worker,
            sampled from /proc every 0.1 s; run it at two sizes to see it stay flat.
  mirror    seconds to draw and save the mirror plot of a spectrum of --peaks peaks.

  .venv/bin/python bench/resources.py annotate --mb 200 --jobs 2
  .venv/bin/python bench/resources.py mirror --peaks 1000000
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
KORVANE = os.path.join(HERE, "..", ".venv", "bin", "korvane")


def _msp(path, megabytes, n_peaks):
    """Writes an MSP file of about `megabytes` MB of spectra of `n_peaks` peaks each;
    returns the number of spectra."""
    import numpy as np
    rng = np.random.default_rng(7)
    target = megabytes * 1_000_000
    n = 0
    with open(path, "w") as f:
        while f.tell() < target:
            mz = np.sort(rng.choice(np.arange(14, 14 + 2 * n_peaks), n_peaks, replace=False))
            intensity = rng.integers(1, 1000, n_peaks)
            peaks = "".join(f"{m}\t{i}\n" for m, i in zip(mz, intensity))
            f.write(f"Name: ethyl acetate {n}\nDB#: ea-{n}\nSMILES: CCOC(C)=O\n"
                    f"Num Peaks: {n_peaks}\n{peaks}\n")
            n += 1
    return n


def _rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def _children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(x) for x in f.read().split()]
    except OSError:
        return []


def annotate(args):
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        msp = os.path.join(tmp, "big.msp")
        n = _msp(msp, args.mb, args.peaks)
        size = os.path.getsize(msp) / 1e6
        out = os.path.join(tmp, "out.jsonl")
        start = time.monotonic()
        run = subprocess.Popen([KORVANE, "annotate", msp, "--out", out, "--jobs",
                                str(args.jobs), "--quiet"])
        parent_peak, worker_peak, total_peak, samples = 0, 0, 0, []
        while run.poll() is None:
            parent = _rss_kb(run.pid)
            # The workers are children of the fork server, a child of the command.
            workers = [_rss_kb(w) for c in _children(run.pid) for w in _children(c)]
            parent_peak = max(parent_peak, parent)
            worker_peak = max([worker_peak] + workers)
            total_peak = max(total_peak, parent + sum(workers))
            samples.append((time.monotonic() - start, parent))
            time.sleep(0.1)
        seconds = time.monotonic() - start
        lines = sum(1 for _ in open(out, "rb"))
    quarter = [kb for t, kb in samples if t > seconds / 4]
    print(f"annotate: {size:.0f} MB MSP, {n} spectra, --jobs {args.jobs}: exit "
          f"{run.returncode}, {lines} annotations in {seconds:.0f} s")
    print(f"  peak RSS: command {parent_peak / 1024:.0f} MB, largest worker "
          f"{worker_peak / 1024:.0f} MB, all together {total_peak / 1024:.0f} MB")
    if quarter:
        print(f"  command's RSS after the first quarter: {min(quarter) / 1024:.0f} to "
              f"{max(quarter) / 1024:.0f} MB")


def mirror(args):
    import matplotlib
    matplotlib.use("Agg")
    import numpy as np
    import korvane
    from korvane._files import save_figure_replacing
    rng = np.random.default_rng(3)
    peaks = np.column_stack([np.arange(args.peaks, dtype=float) + 1,  # one per nominal m/z
                             rng.uniform(1, 999, args.peaks)])
    spectrum = korvane.Spectrum("many", "ethyl acetate", "CCOC(C)=O", peaks)
    start = time.perf_counter()
    result = korvane.annotate(spectrum)
    annotated = time.perf_counter() - start
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        start = time.perf_counter()
        ax = korvane.plot_annotation(result)
        drawn = time.perf_counter() - start
        save_figure_replacing(ax.figure, os.path.join(tmp, "m.png"), dpi=110,
                              bbox_inches="tight")
        saved = time.perf_counter() - start
    import resource
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"mirror plot of {args.peaks} peaks ({len(result['peaks'])} nominal): annotate "
          f"{annotated:.1f} s, draw {drawn:.1f} s, draw and save {saved:.1f} s; peak RSS "
          f"{peak:.0f} MB")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="what", required=True)
    a = sub.add_parser("annotate")
    a.add_argument("--mb", type=int, default=200)
    a.add_argument("--jobs", type=int, default=2)
    a.add_argument("--peaks", type=int, default=100, help="peaks per spectrum (default 100)")
    a.add_argument("--dir", default=None, help="folder for the generated files")
    m = sub.add_parser("mirror")
    m.add_argument("--peaks", type=int, default=1_000_000)
    m.add_argument("--dir", default=None)
    args = parser.parse_args()
    (annotate if args.what == "annotate" else mirror)(args)


if __name__ == "__main__":
    sys.exit(main())
