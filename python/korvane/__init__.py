"""korvane: valency-interaction-formula orbital graphs, LPI, soft bonds and EI-MS fragments."""
from . import _core
from ._core import __version__

from .layout import _get_period, _angle_diff, _yerlestir_dugumler
from .analysis import compute_lpi, detect_soft_bonds, _build_bond_orders
