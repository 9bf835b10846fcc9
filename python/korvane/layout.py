"""Atom layout, symmetry refinement and the angular helpers of node placement."""
from functools import lru_cache

from . import _core


@lru_cache(maxsize=None)
def _get_period(symbol):
    """Returns the periodic-table period of an element symbol ("H" -> 1, "Cl" -> 3).

    Raises ValueError naming the symbol when it is not an element (e.g. "*").
    """
    return _core.element_period(symbol)


def _angle_diff(a, b):
    """Returns the shortest angular distance between two directions, in [0, pi]."""
    return _core.angle_diff(a, b)


def _yerlestir_dugumler(n_nodes, target_angles):
    """Returns n_nodes node directions: the targets first, then gap middles."""
    return _core.yerlestir_dugumler(n_nodes, [float(a) for a in target_angles])
