"""Argument types the subcommands share."""
import argparse
import re

_INTEGER = re.compile(r"\s*\+?\d+\s*")


def positive_int(text):
    if not _INTEGER.fullmatch(text) or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, not {text!r}")
    return int(text)


def non_negative_int(text):
    if not _INTEGER.fullmatch(text):
        raise argparse.ArgumentTypeError(f"expected a whole number 0 or more, not {text!r}")
    return int(text)


def positive_float(text):
    """A positive number of seconds; a huge one (even "inf") means no limit."""
    try:
        value = float(text)
    except ValueError:
        value = None
    if value is None or not value > 0:
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, not {text!r}")
    return value
