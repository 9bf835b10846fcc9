"""The package's settable values, read where they are used.

`korvane.MAX_ANALYSIS_BYTES` and `korvane.PUBCHEM_REST` are module attributes a caller may
change at any time; the modules that need them call these functions instead of importing
the package, so the value is read in one place and always the current one.
"""
import operator
import sys

from . import _core


def _package():
    return sys.modules[__package__]


def max_analysis_bytes():
    """Returns the memory budget of one analysis in bytes: `korvane.MAX_ANALYSIS_BYTES` as a
    non-negative integer (TypeError for a non-integer, ValueError for a negative one)."""
    value = getattr(_package(), "MAX_ANALYSIS_BYTES", _core.DEFAULT_MAX_ANALYSIS_BYTES)
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError("korvane.MAX_ANALYSIS_BYTES must be an integer number of bytes, not "
                        + type(value).__name__) from None
    if value < 0:
        raise ValueError("korvane.MAX_ANALYSIS_BYTES must not be negative")
    return min(value, 2**64 - 1)  # beyond any machine: no limit


def pubchem_rest():
    """Returns the PubChem endpoint base requests are made to (`korvane.PUBCHEM_REST`)."""
    return _package().PUBCHEM_REST


def set_max_analysis_bytes(value):
    """Sets `korvane.MAX_ANALYSIS_BYTES` (a batch worker takes its parent's budget)."""
    _package().MAX_ANALYSIS_BYTES = value


_helper_threads = True


def helper_threads():
    """Whether an analysis may run its layout-free stages on a helper thread beside the
    layout (on by default; the results are the same either way)."""
    return _helper_threads


def set_helper_threads(on):
    """Turns the helper threads of this process's analyses on or off. A batch worker whose
    pool already gives every CPU a worker turns them off: a helper could then only take a
    CPU from another worker, and handing work to it costs the analysis about 5 %."""
    global _helper_threads
    _helper_threads = bool(on)
