"""Predicted EI spectra with relative intensities, and the whole-spectrum score that ranks
candidate structures against a measured spectrum.

The core counts the fragment sources of each nominal m/z (`fragment_sources`), weighs
them into a spectrum with base peak 999 (`predicted_spectrum`, weights
`SpectrumWeights`) and scores a candidate by a weighted cosine below the molecular ion
less an isotope-pattern term (`identification_score`, `ScoreParameters`). This module
runs the analysis that feeds them and returns plain lists.
"""
from .. import _core
from ..vif import analysis_params

# The names of the score and spectrum settings, as the core's structs hold them.
WEIGHT_NAMES = ("cut_piece", "cut_repeat", "soft_single", "ring", "generation1", "generation2",
                "molecular_ion")
SCORE_NAMES = ("intensity_power", "mz_power", "predicted_power", "isotope_weight",
               "isotope_cap", "min_molecular_ion")


def spectrum_weights(**values):
    """Returns the core's SpectrumWeights: its defaults, with the named values changed."""
    return _with(_core.SpectrumWeights(), WEIGHT_NAMES, values)


def score_parameters(**values):
    """Returns the core's ScoreParameters: its defaults, with the named values changed."""
    return _with(_core.ScoreParameters(), SCORE_NAMES, values)


def _with(struct, names, values):
    for name, value in values.items():
        if name not in names:
            raise TypeError(f"unknown setting {name!r}; expected one of {', '.join(names)}")
        setattr(struct, name, float(value))
    return struct


def settings_dict(struct, names):
    """Returns {name: value} of a SpectrumWeights or ScoreParameters."""
    return {name: getattr(struct, name) for name in names}


def analyse_fragments(smiles, max_generations=2):
    """Runs the analysis without coordinates (ring cuts, recursive peaks of
    max_generations, 0 for none) and returns (prepared molecule, fragments), or None for
    a SMILES the analysis cannot parse. Raises what the analysis raises."""
    params = analysis_params(ring_fragmentation=True, recursive_ms=max_generations > 0,
                             max_generations=max(1, max_generations))
    params.need_coordinates = False
    m = _core.prepare_vif(smiles, params)
    if m is None:
        return None
    return m, _core.fragment_vif(m, params)


def sources_of(molecule, fragments):
    """Returns the core's counted sources (M, isotope ratios, per-m/z rows) of an analysis
    of `analyse_fragments`."""
    return _core.fragment_sources(molecule.mol_pickle(), fragments.fragments,
                                  fragments.recursive_peaks or [])


def predicted_spectrum(sources, weights=None):
    """Returns [(m/z, intensity)] ascending, base peak 999, of counted sources."""
    return _core.predicted_spectrum(sources, weights or _core.SpectrumWeights())
