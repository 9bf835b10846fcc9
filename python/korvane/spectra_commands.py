"""The measured-spectrum subcommands of `korvane`: annotate, benchmark and search."""
import argparse

from .annotation import add_annotate_arguments, run_annotate_command
from .benchmark import add_benchmark_arguments, run_benchmark_command
from .search import add_search_arguments, run_search_command

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
}


def add_commands(subparsers):
    for name, add, run, help_text, description in (
            ("annotate", add_annotate_arguments, run_annotate_command,
             "explain the peaks of measured spectra by predicted fragments",
             "Annotates every peak of each measured spectrum with the predicted fragments "
             "at its nominal m/z or within the tolerance, with the accuracy scores per "
             "spectrum; --plot saves a mirror plot per spectrum."),
            ("benchmark", add_benchmark_arguments, run_benchmark_command,
             "score the predictors against measured EI spectra",
             "Scores four predictors (every single-bond cut, soft single cuts, soft + ring "
             "cuts, recursive peaks) against measured spectra, and ranks each true "
             "structure among same-mass candidates by its predicted m/z."),
            ("search", add_search_arguments, run_search_command,
             "rank a library of predicted spectra for each measured spectrum",
             "Ranks the molecules of a predicted library for each measured spectrum by "
             "(recall within 1 of the measured top-10 peaks, precision).")):
        p = subparsers.add_parser(name, help=help_text, description=description,
                                  epilog=EXAMPLES[name],
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        add(p)
        p.set_defaults(handler=run)
