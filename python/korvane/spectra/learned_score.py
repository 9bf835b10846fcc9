"""The learned identification score: a linear score over features of what a candidate
predicts at each m/z, summed against the measured spectrum, with weights fitted as a
conditional logit (softmax over each candidate list) by bench/identification.py.

Per m/z below M, a candidate predicts: its fragment sources (pieces of all splitting
cuts, soft single and ring cuts, recursive generations 1 and 2, each log(1 + count)), a
splitting-cut piece one or two above (a piece that lost hydrogens) or one below, and the
charge-site marks of the core's `cut_site_counts` (alpha to N/O/S, benzylic, allylic,
acylium, aromatic site, C-H or multiple-bond cut, the larger or aromatic piece, loss of
H, CH3 or a halogen). Each is summed against three views of the measured spectrum: the
share of sqrt(intensity), the empty positions (below 0.5 % of the base peak, from the
lowest measured m/z up) and the ten most intense peaks other than M. The four isotope
distances min(|r_k - p_k|, 2) (when I(M) >= 20) and the whole-spectrum score of the core
complete the features. Evaluation is plain NumPy over the core's plain results.
"""
import json
import os

import numpy as np

from .. import _core

SOURCE_NAMES = ("cut_piece", "soft_single", "ring", "generation1", "generation2")
NEIGHBOUR_NAMES = ("piece_plus_1", "piece_plus_2", "piece_minus_1")
VIEWS = ("share", "empty", "top10")
EMPTY_BELOW = 5.0  # 0-999 scale
ISOTOPE_MIN_M = 20.0
ISOTOPE_CAP = 2.0

WEIGHTS_FILE = "learned_score.json"


def feature_names():
    """Returns the names of the features, in the order of candidate_features."""
    per_mz = list(SOURCE_NAMES) + list(NEIGHBOUR_NAMES) + list(_core.cut_site_names())
    names = [f"{v}:{n}" for v in VIEWS for n in per_mz]
    return names + [f"isotope_{k}" for k in range(1, 5)] + ["spectrum_score"]


def measured_views(peaks, mass):
    """Returns (share, empty, top10, isotope ratios or None) of measured nominal peaks
    for candidates of nominal mass `mass`: arrays over m/z 0 .. mass-1 (m/z 0 unused)."""
    below = np.zeros(max(mass, 1))
    for mz, intensity in peaks:
        if 1 <= mz < mass:
            below[mz] = intensity
    root = np.sqrt(below)
    total = root.sum()
    share = root / total if total > 0 else root
    index = np.arange(below.size)
    present = [mz for mz, i in peaks if i > 0 and mz >= 1]
    lowest = min(present) if present else 1
    empty = ((below < EMPTY_BELOW) & (index >= lowest) & (index >= 1)).astype(float)
    top = np.zeros_like(below)
    for mz in _top10(below):
        top[mz] = 1.0
    m = dict(peaks).get(mass, 0.0)
    ratios = None
    if m >= ISOTOPE_MIN_M:
        d = dict(peaks)
        ratios = np.array([d.get(mass + k, 0.0) / m for k in range(1, 5)])
    return share, empty, top, ratios


def _top10(below):
    """The m/z of the ten most intense positive positions, ties to the lower m/z."""
    order = sorted((-v, mz) for mz, v in enumerate(below) if v > 0)
    return [mz for _, mz in order[:10]]


def per_mz_matrix(mass, sources, sites):
    """Returns the (mass, features) matrix of what a candidate predicts at each m/z."""
    n_sites = len(_core.cut_site_names())
    x = np.zeros((max(mass, 1), len(SOURCE_NAMES) + len(NEIGHBOUR_NAMES) + n_sites))
    piece = np.zeros(max(mass, 1))
    for mz, *counts in sources[2]:
        if 1 <= mz < mass:
            x[mz, :5] = np.log1p(counts)
            piece[mz] = counts[0] > 0
    x[:-1, 5] = piece[1:]
    x[:-2, 6] = piece[2:]
    x[1:, 7] = piece[:-1]
    for mz, counts in sites:
        if 1 <= mz < mass:
            x[mz, 8:] = np.log1p(counts)
    return x


def candidate_features(views, mass, sources, sites, spectrum_score):
    """Returns the feature vector of one candidate against measured views."""
    share, empty, top, ratios = views
    x = per_mz_matrix(mass, sources, sites)
    iso = np.zeros(4)
    if ratios is not None:
        iso = np.minimum(np.abs(ratios - np.asarray(sources[1])), ISOTOPE_CAP)
    return np.concatenate([share @ x, empty @ x, top @ x, iso, [spectrum_score]])


class LearnedScore:
    """Standardised features times weights; `load()` reads the shipped weights."""

    def __init__(self, mean, scale, weights, meta=None):
        self.mean, self.scale = np.asarray(mean, float), np.asarray(scale, float)
        self.weights = np.asarray(weights, float)
        self.meta = meta or {}

    @classmethod
    def load(cls, path=None):
        path = path or default_weights_path()
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        if data["features"] != feature_names():
            raise ValueError(f"{path}: its features differ from this version's")
        return cls(data["mean"], data["scale"], data["weights"], data)

    def scores(self, feature_rows):
        rows = np.atleast_2d(np.asarray(feature_rows, float))
        return ((rows - self.mean) / self.scale) @ self.weights


def default_weights_path():
    """The shipped weights: data/learned_score.json of the installed package."""
    package = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for candidate in (os.path.join(package, "data", WEIGHTS_FILE),
                      os.path.join(os.path.dirname(os.path.dirname(package)), "data",
                                   WEIGHTS_FILE)):
        if os.path.exists(candidate):
            return candidate
    raise FileNotFoundError(f"{WEIGHTS_FILE} is not installed with korvane")
