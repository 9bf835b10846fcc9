"""The `korvane` command: argument parsing and dispatch. Each subcommand's parser is built
in the module of its topic here (see COMMAND_MODULES); the work is done by the package's
batch and spectra modules."""
import argparse
import importlib

from .molecules import EXAMPLES

# Modules that add subcommands, in the order the help lists them. Each defines
# add_commands(subparsers): it adds its parsers with subparsers.add_parser(name, help=...,
# description=...) and gives each a handler with parser.set_defaults(handler=function);
# the handler takes the parsed arguments and returns the exit status. A module joins the
# command with one line here.
COMMAND_MODULES = [
    ".molecules",
    ".spectra",
]


def build_parser():
    """Returns the argument parser of the command with every registered subcommand."""
    from .._core import __version__
    parser = argparse.ArgumentParser(
        prog="korvane", description="VIF orbital graphs, LPI, soft bonds and predicted EI "
                                    "mass spectra of molecules given as SMILES.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"korvane {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name in COMMAND_MODULES:
        importlib.import_module(name, __package__).add_commands(subparsers)
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

