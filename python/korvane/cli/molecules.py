"""The subcommands of molecules given as SMILES: `korvane analyze` and `korvane predict`."""
import argparse
import json
import sys

from ._types import positive_float, positive_int

EXAMPLES = """\
examples:
  korvane analyze "Clc1ccccc1"                      the report of VIF(verbose=True)
  korvane analyze "CC(=O)Cl" --recursive --json     the molecule's record as JSON
  korvane predict suspects.smi --out spectra.msp    a predicted library for search
  korvane predict library.sdf.gz --out out.jsonl --jobs 2 --timeout 60
  korvane predict library.csv --out out.jsonl --resume   continue an interrupted run
  cat list.smi | korvane predict - --out out.csv --quiet
  korvane predict big.smi --out out.jsonl --scheduler tcp://10.0.0.5:8786
"""



def _analyze(args):
    if args.json:
        from ..batch import predict_record
        record = predict_record(args.smiles, recursive_ms=args.recursive,
                                        ring_fragmentation=args.ring,
                                        max_generations=args.generations)
        print(json.dumps(record, ensure_ascii=False, indent=2))
        return 0 if record["status"] == "ok" else 1
    from ..vif import VIF
    result = VIF(args.smiles, draw=False, verbose=True, ring_fragmentation=args.ring,
                         recursive_ms=args.recursive, max_generations=args.generations)
    if isinstance(result, str):
        print(result, file=sys.stderr)
        return 1
    return 0


def _predict(args):
    from ..batch.predict import run_predict_command
    return run_predict_command(args)


def add_commands(subparsers):
    a = subparsers.add_parser(
        "analyze", help="analyse one SMILES: VIF's report, or the record as JSON",
        description="Prints the report of VIF(verbose=True) for one molecule, or with "
                    "--json its record (the fields are documented in the README).")
    a.add_argument("smiles")
    a.add_argument("--recursive", action="store_true", help="multi-generation fragmentation")
    a.add_argument("--ring", action="store_true", help="ring double cuts")
    a.add_argument("--generations", type=positive_int, default=2, metavar="N",
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
    p.add_argument("--jobs", type=positive_int, default=None, metavar="N",
                   help="worker processes (default: the number of cores)")
    p.add_argument("--recursive", action=argparse.BooleanOptionalAction, default=True,
                   help="multi-generation fragmentation (default on)")
    p.add_argument("--ring", action=argparse.BooleanOptionalAction, default=True,
                   help="ring double cuts in the single generation (default on)")
    p.add_argument("--generations", type=positive_int, default=2, metavar="N",
                   help="generations of the multi-generation fragmentation (default 2)")
    p.add_argument("--timeout", type=positive_float, default=None, metavar="SECONDS",
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
    p.add_argument("--chunk-size", type=positive_int, default=16, metavar="N",
                   help="molecules handed to a worker at a time (default 16)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on the Dask cluster of this scheduler instead of local workers")
    p.add_argument("--quiet", action="store_true", help="no progress bar and no summary")
    p.set_defaults(handler=_predict)
