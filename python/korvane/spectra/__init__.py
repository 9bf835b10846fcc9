"""Measured EI spectra: readers (MSP, MassBank records, JSON Lines), annotation by the
predicted fragments, the mirror plot, library search and the accuracy benchmark.

The readers are imported here; the other modules of the folder at their first use.
"""
from .readers import (MAX_MZ, Spectrum, SpectrumFormatError, SpectrumWarning,
                      open_spectra_path, read_jsonl, read_massbank, read_msp, read_spectra)
