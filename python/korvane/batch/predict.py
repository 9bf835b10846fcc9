"""Records of many molecules: a compound file, SMILES strings or (id, SMILES) pairs,
predicted on local worker processes or a Dask cluster, in input order."""
import csv
import itertools
import os
import sys
import time

from .compound_files import (CSV_HEADER, Item, RecordWriter, count_compounds, input_kind,
                             output_kind, read_compounds, record_text)
from .pool import pool_map
from .record import error_record, predict_record
from .resume import LazyOutput, check_run, not_written, run_description, scan_output


def analyse_item(item, options):
    """Returns the record of one Item (its problem, if any, as an error record)."""
    if item.problem is not None:
        return error_record(item.smiles, item.id, item.problem)
    return predict_record(item.smiles, id=item.id, **options)


def _as_items(inputs, smiles_column=None, id_column=None):
    """Items of a file path, of SMILES strings or of (id, SMILES) pairs."""
    if isinstance(inputs, (str, os.PathLike)):
        yield from read_compounds(inputs, smiles_column, id_column)
        return
    for number, entry in enumerate(inputs, 1):
        if isinstance(entry, str):
            yield Item(number, str(number), entry, None)
        else:
            given, smiles = entry
            yield Item(number, str(number) if given is None else given, smiles, None)


def lost_record(item, message):
    return error_record(item.smiles, item.id, message)


def predict_many(inputs, jobs=None, client=None, timeout=None, partition_size=None,
                 **options):
    """Yields the records of `inputs` in input order: SMILES strings (ids are their
    1-based positions, as text), (id, SMILES) pairs, or the path of a compound file.

    Options are predict_record's (recursive_ms, ring_fragmentation, max_generations,
    largest_component, bond_kappa, timings). Runs on `jobs` local worker processes
    (default: every core), or with a Dask `client` on its cluster.
    """
    items = _as_items(inputs)
    if client is not None:
        from .cluster import dask_map
        yield from dask_map(items, analyse_item, options, client,
                            partition_size=partition_size or 64, lost=lost_record)
        return
    yield from pool_map(items, analyse_item, options, jobs=jobs, timeout=timeout,
                        chunk_size=partition_size or 16, lost=lost_record)


# --- the `korvane predict` command ---------------------------------------------------

def _file_task(item, options):
    """(status, output text) of one Item, formatted by the worker: a record's text costs
    the worker less than sending the record itself would, and the parent only writes."""
    record = analyse_item(item, options["record"])
    return record["status"], record_text(options["kind"], record)


class _LostText:
    """The (status, text) of an error record made by the parent for a lost item."""

    def __init__(self, kind):
        self.kind = kind

    def __call__(self, item, message):
        return "error", record_text(self.kind, error_record(item.smiles, item.id, message))


class _Progress:
    """The progress bar on standard error (a terminal only) and the summary line."""

    def __init__(self, total, quiet, command="predict", unit="mol", what="molecules"):
        self.command, self.what = command, what
        self.ok = self.errors = 0
        self.start = time.monotonic()
        self.quiet = quiet
        self.bar = None
        if not quiet and sys.stderr.isatty():
            from tqdm import tqdm

            class Bar(tqdm):
                # No monitor thread: the local pool forks its workers from this process
                # while it has no thread but its own, and falls back to a fork server
                # (an import before the first molecule) when it has.
                monitor_interval = 0

            self.bar = Bar(total=total, unit=unit, file=sys.stderr, dynamic_ncols=True,
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
        print(f"korvane {self.command}: {state}{self.ok} ok, {self.errors} errors in "
              f"{seconds:.1f} s ({rate:.1f} {self.what}/s){kept_text} -> {out}",
              file=sys.stderr)


class _Counted:
    """The items of an input, counting those read and those that are molecules (not an
    entry the reader could not read)."""

    def __init__(self, items):
        self.items = iter(items)
        self.read = self.molecules = 0

    def __iter__(self):
        return self

    def __next__(self):
        item = next(self.items)
        self.read += 1
        self.molecules += item.problem is None
        return item


def one_line(error):
    """The message of an exception on one line; a file error as "path: reason"."""
    if isinstance(error, OSError) and error.strerror and error.filename is not None:
        return f"{error.filename}: {error.strerror}"
    text = " ".join(str(error).split())
    return text or type(error).__name__


def same_file(a, b):
    """Whether paths `a` and `b` name the same file, whatever their spelling or links."""
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def check_output_path(out, inputs=()):
    """Raises ValueError when OUTPUT cannot be written: a folder, no folder to hold it, or
    one of the input files."""
    out = os.fspath(out)
    if os.path.isdir(out):
        raise ValueError(f"{out}: is a folder, not a file")
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise ValueError(f"{out}: there is no folder {folder}")
    for path in inputs:
        if path is not None and str(path) != "-" and same_file(out, path):
            raise ValueError(f"{out}: is the input {path}; write the output to another file")


def _connect(address):
    """A Dask client of the scheduler at `address`; ValueError on a bad or unreachable
    address."""
    try:
        from distributed import Client
    except ImportError:
        raise ValueError("--scheduler needs Dask's distributed package, which is not "
                         "installed") from None
    try:
        return Client(address, timeout=30)
    except (OSError, TimeoutError, ValueError, TypeError) as e:
        raise ValueError(f"cannot reach the Dask scheduler {address!r}: {one_line(e)}") \
            from None


def run_predict_command(args):
    """Runs `korvane predict`; returns the exit status."""
    options = {"recursive_ms": args.recursive, "ring_fragmentation": args.ring,
               "max_generations": args.generations,
               "largest_component": args.largest_component, "timings": args.timings}
    try:
        kind = output_kind(args.out)
        input_kind(args.input)
        check_output_path(args.out, [args.input])
        description = run_description(kind, options)
        keys, keep = [], None
        if args.resume:
            keys, keep = scan_output(args.out, kind, CSV_HEADER)
            check_run(args.out, description, keep)
        source = _Counted(read_compounds(args.input, args.smiles_column, args.id_column))
        items = not_written(source, keys, kind) if args.resume else source
        # OUTPUT is opened at the first record: reading the input's first entry here
        # reports an unreadable input (or an output of another run) with OUTPUT untouched.
        first = next(items, None)
    except KeyboardInterrupt:
        return 130
    except (ValueError, OSError, csv.Error) as e:
        print(f"korvane predict: {one_line(e)}", file=sys.stderr)
        return 2
    output = LazyOutput(args.out, kind, RecordWriter, description, keep)
    if first is None:
        output.finish()
        if source.read == 0:
            where = "standard input" if str(args.input) == "-" else f"{args.input}:"
            print(f"korvane predict: {where} holds no molecule", file=sys.stderr)
            return 1
        if not args.quiet:
            print(f"korvane predict: nothing left to compute, {len(keys)} kept from the "
                  f"earlier run -> {args.out}", file=sys.stderr)
        return 0
    items = itertools.chain([first], items)
    total = count_compounds(args.input) if not args.quiet and sys.stderr.isatty() else None
    kept = len(keys)
    if total is not None:
        total = max(0, total - kept)
    task_options = {"kind": kind, "record": options}
    lost = _LostText(kind)
    client = None
    results = None
    progress = None
    interrupted = False
    try:
        if args.scheduler:
            if args.timeout is not None:
                print("korvane predict: --timeout applies to local workers only; the "
                      "cluster runs without it", file=sys.stderr)
            client = _connect(args.scheduler)
            from .cluster import dask_map
            results = dask_map(items, _file_task, task_options, client, lost=lost)
        else:
            results = pool_map(items, _file_task, task_options, jobs=args.jobs,
                               timeout=args.timeout, chunk_size=args.chunk_size, lost=lost)
        progress = _Progress(total, args.quiet)
        for status, out in results:
            output.write_text(out)
            progress.add(status)
    except KeyboardInterrupt:
        interrupted = True
    except (ValueError, OSError, RuntimeError, csv.Error) as e:
        print(f"korvane predict: {one_line(e)}", file=sys.stderr)
        return 2
    finally:
        if results is not None:
            results.close()
        if client is not None:
            client.close()
        output.finish()
    if progress is None:
        return 130
    progress.finish(args.out, kept, interrupted)
    if interrupted:
        return 130
    if source.molecules == 0:
        where = "standard input" if str(args.input) == "-" else f"{args.input}:"
        print(f"korvane predict: {where} yields no molecule; none of its "
              f"{source.read} entries could be read", file=sys.stderr)
        return 1
    return 0
