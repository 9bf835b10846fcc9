"""The measured-spectrum subcommands of `korvane`: annotate, benchmark, search and
report."""
import argparse
import os

from ._types import non_negative_int, positive_int

EXAMPLES = {
    "annotate": """\
examples:
  korvane annotate spectra.msp --out annotated.jsonl --plot plots/
  korvane annotate record.txt --smiles "CCOC(C)=O" --out one.jsonl
""",
    "benchmark": """\
examples:
  korvane benchmark --jobs 2                     the shipped open EI set
  korvane benchmark my_spectra.msp --json accuracy.json
  korvane benchmark --limit 6 --jobs 1           a quick smoke run
""",
    "search": """\
examples:
  korvane predict candidates.smi --out library.msp
  korvane search measured.msp --library library.msp --same-mass --out hits.jsonl
""",
    "report": """\
examples:
  korvane annotate spectra.msp --out annotated.jsonl
  korvane report annotated.jsonl --out annotated.html
  korvane report predicted.jsonl --out predicted.html   the output of korvane predict
  korvane search measured.msp --library library.msp --out hits.jsonl
  korvane report hits.jsonl --library library.msp --out hits.html
""",
}


def _annotate_arguments(parser):
    parser.add_argument("spectra", metavar="SPECTRA",
                        help="measured spectra (MSP, MassBank records, JSON Lines)")
    parser.add_argument("--smiles", help="structure of every spectrum, instead of its own")
    parser.add_argument("--out", required=True, help="annotations as JSON Lines")
    parser.add_argument("--plot", metavar="DIR", help="save a mirror plot per spectrum here")
    parser.add_argument("--tolerance", type=non_negative_int, default=1,
                        help="m/z distance of a match (default 1)")
    parser.add_argument("--jobs", type=positive_int, default=os.cpu_count() or 1,
                        help="worker processes (default: all cores)")
    parser.add_argument("--skip-bad", action="store_true",
                        help="leave malformed records out with a warning instead of stopping")
    parser.add_argument("--resume", action="store_true",
                        help="keep the complete annotations of OUT and compute the rest")
    parser.add_argument("--quiet", action="store_true", help="no progress bar and no summary")


def _benchmark_arguments(parser):
    parser.add_argument("spectra", nargs="?", default=None,
                        help="spectra to score (MSP, MassBank records, JSON Lines); "
                             "default: the shipped openly licensed EI set")
    parser.add_argument("--jobs", type=positive_int, default=os.cpu_count() or 1,
                        help="processes for the predictions (default: all cores)")
    parser.add_argument("--json", metavar="OUT", help="write the result as JSON to OUT")
    parser.add_argument("--update-readme", nargs="?", const="README.md", metavar="README",
                        help="put the table into README (default ./README.md)")
    parser.add_argument("--limit", type=positive_int, metavar="N",
                        help="score only the first N spectra")
    parser.add_argument("--no-identification", action="store_true",
                        help="skip ranking the true structure among same-mass candidates")
    parser.add_argument("--skip-bad", action="store_true",
                        help="leave malformed records out with a warning instead of stopping")


def _search_arguments(parser):
    parser.add_argument("measured", help="measured spectra (MSP, MassBank records, JSON Lines)")
    parser.add_argument("--library", required=True,
                        help="predicted spectra to rank, e.g. the MSP of `korvane predict`")
    parser.add_argument("--same-mass", action="store_true",
                        help="rank only library molecules of the measured nominal mass")
    parser.add_argument("--top", type=positive_int, default=10, help="hits kept per spectrum")
    parser.add_argument("--score", choices=("learned", "spectrum", "recall"), default="learned",
                        help="learned (default): the learned score, which analyses each "
                             "library SMILES again (an entry without one ranks last); "
                             "spectrum: weighted cosine of the library's intensities below M "
                             "with the isotope pattern; recall: recall of the measured top "
                             "peaks, then precision, by m/z alone")
    parser.add_argument("--out", help="write the results as JSON Lines to OUT")
    parser.add_argument("--skip-bad", action="store_true",
                        help="leave malformed records out with a warning instead of stopping")


def _report_arguments(parser):
    parser.add_argument("input", metavar="INPUT",
                        help="JSON Lines of korvane annotate, predict or search")
    parser.add_argument("--out", required=True, help="the HTML page to write")
    parser.add_argument("--library",
                        help="the library the search ranked (MSP or JSON Lines); needed for "
                             "search input")
    parser.add_argument("--top", type=positive_int, default=5, metavar="N",
                        help="hits shown per measured spectrum of search input (default 5)")
    parser.add_argument("--title", help="the page's title (default: the input's kind)")


# The work of each subcommand is imported when it runs, so that `korvane --help` stays fast.
def _annotate(args):
    from ..spectra.annotation import run_annotate_command
    return run_annotate_command(args)


def _benchmark(args):
    from ..spectra.benchmark import run_benchmark_command
    return run_benchmark_command(args)


def _search(args):
    from ..spectra.search import run_search_command
    return run_search_command(args)


def _report(args):
    from ..spectra.report import run_report_command
    return run_report_command(args)


def add_commands(subparsers):
    for name, add, run, help_text, description in (
            ("annotate", _annotate_arguments, _annotate,
             "explain the peaks of measured spectra by predicted fragments",
             "Annotates every peak of each measured spectrum with the predicted fragments "
             "at its nominal m/z or within the tolerance, with the accuracy scores per "
             "spectrum; --plot saves a mirror plot per spectrum."),
            ("benchmark", _benchmark_arguments, _benchmark,
             "score the predictors against measured EI spectra",
             "Scores four predictors (every single-bond cut, soft single cuts, soft + ring "
             "cuts, recursive peaks) against measured spectra, and ranks each true "
             "structure among same-mass candidates by its predicted m/z."),
            ("search", _search_arguments, _search,
             "rank a library of predicted spectra for each measured spectrum",
             "Ranks the molecules of a predicted library for each measured spectrum by "
             "(recall within 1 of the measured top-10 peaks, precision)."),
            ("report", _report_arguments, _report,
             "one self-contained HTML page of annotate, predict or search output",
             "Writes one HTML page that works offline: an index of every compound "
             "(sortable, filterable) and per compound its structure, mirror plot and peak "
             "table, each peak's fragment drawn on the molecule; for search output the top "
             "hits with their structures and scores.")):
        p = subparsers.add_parser(name, help=help_text, description=description,
                                  epilog=EXAMPLES[name],
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        add(p)
        p.set_defaults(handler=run)
