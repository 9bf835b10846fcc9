"""Records of many molecules: a compound file, SMILES strings or (id, SMILES) pairs,
predicted on local worker processes or a Dask cluster, in input order."""
import os
import sys
import time

from .compound_files import (Item, RecordWriter, count_compounds, input_kind, output_kind,
                             read_compounds, record_text, scan_output)
from .pool import default_jobs, pool_map
from .record import error_record, predict_record


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
    """(status, output text) of one Item, formatted by the worker; (status, record) when
    options["kind"] is None and the parent formats it."""
    record = analyse_item(item, options["record"])
    kind = options["kind"]
    return record["status"], record if kind is None else record_text(kind, record)


class _LostText:
    """The (status, text) of an error record made by the parent for a lost item."""

    def __init__(self, kind):
        self.kind = kind

    def __call__(self, item, message):
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


def run_predict_command(args):
    """Runs `korvane predict`; returns the exit status."""
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
        from .cluster import dask_map
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
