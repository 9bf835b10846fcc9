"""The `korvane` command: `korvane analyze`, `korvane predict` and the subcommands other
modules register (see COMMAND_MODULES)."""
import argparse
import json
import sys
import time

# Modules that add subcommands, in the order the help lists them. Each defines
# add_commands(subparsers): it adds its parsers with subparsers.add_parser(name, help=...,
# description=...) and gives each a handler with parser.set_defaults(handler=function);
# the handler takes the parsed arguments and returns the exit status. A module joins the
# command with one line here.
COMMAND_MODULES = [
    "korvane.cli",
    "korvane.spectra_commands",
]

EXAMPLES = """\
examples:
  korvane analyze "Clc1ccccc1"                      the report of VIF(verbose=True)
  korvane analyze "CC(=O)Cl" --recursive --json     the molecule's record as JSON
  korvane predict suspects.smi --out spectra.msp    predicted spectra for NIST MS Search
  korvane predict library.sdf.gz --out out.jsonl --jobs 2 --timeout 60
  korvane predict library.csv --out out.jsonl --resume   continue an interrupted run
  cat list.smi | korvane predict - --out out.csv --quiet
  korvane predict big.smi --out out.jsonl --scheduler tcp://10.0.0.5:8786
"""


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, not {text}")
    return value


def _positive_float(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, not {text}")
    return value


def _analyze(args):
    import korvane
    if args.json:
        record = korvane.predict_record(args.smiles, recursive_ms=args.recursive,
                                        ring_fragmentation=args.ring,
                                        max_generations=args.generations)
        print(json.dumps(record, ensure_ascii=False, indent=2))
        return 0 if record["status"] == "ok" else 1
    result = korvane.VIF(args.smiles, draw=False, verbose=True, ring_fragmentation=args.ring,
                         recursive_ms=args.recursive, max_generations=args.generations)
    if isinstance(result, str):
        print(result, file=sys.stderr)
        return 1
    return 0


def _file_task(item, options):
    """(status, output text) of one Item, formatted by the worker; (status, record) when
    options["kind"] is None and the parent formats it."""
    from .batch import _analyse_item
    from .compound_files import record_text
    record = _analyse_item(item, options["record"])
    kind = options["kind"]
    return record["status"], record if kind is None else record_text(kind, record)


class _LostText:
    """The (status, text) of an error record made by the parent for a lost item."""

    def __init__(self, kind):
        self.kind = kind

    def __call__(self, item, message):
        from .compound_files import record_text
        from .record import error_record
        return "error", record_text(self.kind, error_record(item.smiles, item.id, message))


class _Progress:
    """The progress bar on standard error (a terminal only) and the summary line."""

    def __init__(self, total, quiet):
        self.ok = self.errors = 0
        self.start = time.monotonic()
        self.quiet = quiet
        self.bar = None
        if not quiet and sys.stderr.isatty():
            from tqdm import tqdm
            self.bar = tqdm(total=total, unit="mol", file=sys.stderr, dynamic_ncols=True,
                            smoothing=0.1)

    def add(self, status):
        if status == "ok":
            self.ok += 1
        else:
            self.errors += 1
        if self.bar is not None:
            self.bar.update(1)
            if status != "ok":
                self.bar.set_postfix(errors=self.errors, refresh=False)

    def finish(self, out, kept, interrupted):
        if self.bar is not None:
            self.bar.close()
        if self.quiet:
            return
        seconds = time.monotonic() - self.start
        n = self.ok + self.errors
        rate = n / seconds if seconds > 0 else 0.0
        state = "interrupted: " if interrupted else ""
        kept_text = f", {kept} kept from the earlier run" if kept else ""
        print(f"korvane predict: {state}{self.ok} ok, {self.errors} errors in {seconds:.1f} s "
              f"({rate:.1f} molecules/s){kept_text} -> {out}", file=sys.stderr)


def _not_written(items, written):
    """The items whose id is not among the written ones, each written id used once."""
    for item in items:
        if written[item.id] > 0:
            written[item.id] -= 1
            continue
        yield item


def _predict(args):
    from .batch import dask_map, default_jobs, pool_map
    from .compound_files import (RecordWriter, count_compounds, input_kind, output_kind,
                                 read_compounds, record_text, scan_output)
    try:
        kind = output_kind(args.out)
        input_kind(args.input)
        total = count_compounds(args.input)
    except (ValueError, OSError) as e:
        print(f"korvane predict: {e}", file=sys.stderr)
        return 2
    written, keep = ({}, 0)
    kept = 0
    if args.resume:
        written, keep = scan_output(args.out, kind)
        kept = sum(written.values())
        if total is not None:
            total = max(0, total - kept)
    items = read_compounds(args.input, args.smiles_column, args.id_column)
    if args.resume:
        items = _not_written(items, written)
    # A record's text (its JSON above all) costs a tenth of its analysis. Workers that
    # take every core format their own records; with a core left free, the parent formats
    # them there, beside the workers, and they send the records instead.
    format_here = args.scheduler is None and (args.jobs or default_jobs()) < default_jobs()
    options = {"kind": None if format_here else kind,
               "record": {"recursive_ms": args.recursive, "ring_fragmentation": args.ring,
                          "max_generations": args.generations,
                          "largest_component": args.largest_component,
                          "timings": args.timings}}
    lost = _LostText(kind)
    client = None
    if args.scheduler:
        if args.timeout is not None:
            print("korvane predict: --timeout applies to local workers only; the cluster "
                  "runs without it", file=sys.stderr)
        from distributed import Client
        client = Client(args.scheduler)
        results = dask_map(items, _file_task, options, client, lost=lost)
    else:
        results = pool_map(items, _file_task, options, jobs=args.jobs, timeout=args.timeout,
                           chunk_size=args.chunk_size, lost=lost)
    progress = _Progress(total, args.quiet)
    interrupted = False
    try:
        with RecordWriter(args.out, kind, keep_bytes=keep) as writer:
            for status, out in results:
                writer.write_text(out if isinstance(out, str) else record_text(kind, out))
                progress.add(status)
    except KeyboardInterrupt:
        interrupted = True
    except (ValueError, OSError) as e:  # an unreadable input file or column
        results.close()
        print(f"korvane predict: {e}", file=sys.stderr)
        return 2
    finally:
        results.close()
        if client is not None:
            client.close()
    progress.finish(args.out, kept, interrupted)
    return 130 if interrupted else 0


def add_commands(subparsers):
    a = subparsers.add_parser(
        "analyze", help="analyse one SMILES: VIF's report, or the record as JSON",
        description="Prints the report of VIF(verbose=True) for one molecule, or with "
                    "--json its record (the fields are documented in the README).")
    a.add_argument("smiles")
    a.add_argument("--recursive", action="store_true", help="multi-generation fragmentation")
    a.add_argument("--ring", action="store_true", help="ring double cuts")
    a.add_argument("--generations", type=_positive_int, default=2, metavar="N",
                   help="generations of the multi-generation fragmentation (default 2)")
    a.add_argument("--json", action="store_true", help="print the record as JSON")
    a.set_defaults(handler=_analyze)

    p = subparsers.add_parser(
        "predict", help="predict the spectra of a compound file",
        description="Predicts one record per molecule of INPUT (.smi, .txt, .csv, .tsv, "
                    ".sdf, .sdf.gz, or - for SMILES lines on standard input) and writes "
                    "them in input order to OUTPUT (.jsonl, .csv or .msp).",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("input", metavar="INPUT")
    p.add_argument("--out", required=True, metavar="OUTPUT")
    p.add_argument("--jobs", type=_positive_int, default=None, metavar="N",
                   help="worker processes (default: the number of cores)")
    p.add_argument("--recursive", action=argparse.BooleanOptionalAction, default=True,
                   help="multi-generation fragmentation (default on)")
    p.add_argument("--ring", action=argparse.BooleanOptionalAction, default=True,
                   help="ring double cuts in the single generation (default on)")
    p.add_argument("--generations", type=_positive_int, default=2, metavar="N",
                   help="generations of the multi-generation fragmentation (default 2)")
    p.add_argument("--timeout", type=_positive_float, default=None, metavar="SECONDS",
                   help="time limit per molecule; its worker is replaced (default none)")
    p.add_argument("--resume", action="store_true",
                   help="keep the complete records of OUTPUT and compute the rest")
    p.add_argument("--smiles-column", metavar="NAME",
                   help="CSV/TSV column of the SMILES (default: a column named smiles)")
    p.add_argument("--id-column", metavar="NAME",
                   help="CSV/TSV column or SDF property of the id (default: a column named "
                        "id, name, title or compound; the SDF title line)")
    p.add_argument("--largest-component", action="store_true",
                   help="analyse only the largest component of a SMILES in pieces")
    p.add_argument("--timings", action="store_true",
                   help="add each record's analysis seconds (the file then differs run to run)")
    p.add_argument("--chunk-size", type=_positive_int, default=16, metavar="N",
                   help="molecules handed to a worker at a time (default 16)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on the Dask cluster of this scheduler instead of local workers")
    p.add_argument("--quiet", action="store_true", help="no progress bar and no summary")
    p.set_defaults(handler=_predict)


def build_parser():
    """Returns the argument parser of the command with every registered subcommand."""
    import importlib
    from . import __version__
    parser = argparse.ArgumentParser(
        prog="korvane", description="VIF orbital graphs, LPI, soft bonds and predicted EI "
                                    "mass spectra of molecules given as SMILES.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"korvane {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name in COMMAND_MODULES:
        importlib.import_module(name).add_commands(subparsers)
    return parser


def main(argv=None):
    """Runs the command with `argv` (default: the process's arguments); returns the exit
    status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    return args.handler(args)


if __name__ == "__main__":
    sys.exit(main())
