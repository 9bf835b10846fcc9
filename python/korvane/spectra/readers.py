"""Measured mass spectra: readers of MSP text, MassBank records and JSON Lines files.

Every reader returns `Spectrum` objects. A malformed record raises `SpectrumFormatError`
naming the file, the line and what is wrong; with `skip_bad=True` the record is left out
instead, with a `SpectrumWarning`, and the error is appended to `errors` when a list is
given, so that a command can count them.
"""
import json
import os
import re
import warnings
from dataclasses import dataclass, field

import numpy as np

from .. import _core


class SpectrumFormatError(ValueError):
    """A record that cannot be read: `path`, `line` (1-based) and `reason`."""

    def __init__(self, path, line, reason):
        super().__init__(f"{path}:{line}: {reason}")
        self.path, self.line, self.reason = str(path), line, reason


class SpectrumWarning(UserWarning):
    """A malformed record left out by a reader called with skip_bad=True."""


@dataclass
class Spectrum:
    """One measured spectrum: `peaks` is an (n, 2) float array of (m/z, intensity) rows as
    the file gives them; `smiles` is None for a record without a structure."""
    id: str
    name: str = ""
    smiles: str = None
    peaks: np.ndarray = field(default_factory=lambda: np.zeros((0, 2)))
    metadata: dict = field(default_factory=dict)
    source: str = ""  # "file:line" of the record's first line

    def nominal_peaks(self):
        """Returns [(nominal m/z, intensity)] ascending, intensities of one nominal m/z
        summed and scaled to a base peak of 999."""
        return _core.nominal_spectrum(self.peaks[:, 0].tolist(), self.peaks[:, 1].tolist())


def _peak_array(pairs):
    return np.array(pairs, dtype=float).reshape(-1, 2)


def _number(text):
    """Returns the float of a peak value, or None when it is not a finite number >= 0."""
    try:
        x = float(text)
    except ValueError:
        return None
    return x if np.isfinite(x) and x >= 0 else None


# Largest m/z a reader accepts: nominal m/z are 32-bit integers in the core.
MAX_MZ = 1e9


def _mz_error(mz):
    """Returns what is wrong with an m/z value, or None."""
    return None if mz < MAX_MZ else f"m/z {mz:g} is out of range (at most {MAX_MZ:g})"


class _Reader:
    """Collects the records of one file, turning errors into warnings when asked."""

    def __init__(self, path, skip_bad, errors):
        self.path, self.skip_bad, self.errors = str(path), skip_bad, errors
        self.spectra = []

    def fail(self, line, reason):
        raise SpectrumFormatError(self.path, line, reason)

    def add(self, build):
        """Appends the spectrum that `build()` returns, or handles its error."""
        try:
            spectrum = build()
        except SpectrumFormatError as e:
            if not self.skip_bad:
                raise
            if self.errors is not None:
                self.errors.append(e)
            warnings.warn(str(e), SpectrumWarning, stacklevel=4)
            return
        self.spectra.append(spectrum)


# --- MSP text ---------------------------------------------------------------------

# A peak line: numbers separated by blanks, tabs, ";" or ","; a double-quoted annotation
# belongs to the pair before it.
_MSP_TOKEN = re.compile(r'"([^"]*)"|([^\s;,"]+)')
_MSP_FIELDS = {"name": "name", "formula": "formula", "mw": "mw", "exactmass": "exact_mass",
               "inchikey": "inchikey", "smiles": "smiles", "comments": "comments",
               "num peaks": "num_peaks", "db#": "db"}
_COMMENT_PAIR = re.compile(r'"([^"=]+)=([^"]*)"|(\S+?)=(\S+)')


def _msp_peak_line(reader, lineno, text, peaks, notes):
    pending = None
    for quoted, token in ((m.group(1), m.group(2)) for m in _MSP_TOKEN.finditer(text)):
        if token is None:  # an annotation
            if pending is not None or not peaks:
                reader.fail(lineno, f"annotation \"{quoted}\" does not follow a peak")
            notes[len(peaks) - 1] = quoted
            continue
        x = _number(token)
        if x is None:
            reader.fail(lineno, f"peak value {token!r} is not a non-negative number")
        if pending is None:
            if _mz_error(x):
                reader.fail(lineno, _mz_error(x))
            pending = x
        else:
            peaks.append((pending, x))
            pending = None
    if pending is not None:
        reader.fail(lineno, f"m/z {text.split()[-1]!r} has no intensity")


def _msp_record(reader, lines):
    """Builds the Spectrum of one MSP record from its (line number, text) pairs."""
    first = lines[0][0]
    fields, peaks, notes, extra = {}, [], {}, {}
    num_peaks = None
    for lineno, text in lines:
        if num_peaks is not None:
            _msp_peak_line(reader, lineno, text, peaks, notes)
            continue
        key, sep, value = text.partition(":")
        if not sep:
            reader.fail(lineno, f"expected 'Field: value' before 'Num Peaks', got {text!r}")
        key, value = key.strip().lower(), value.strip()
        name = _MSP_FIELDS.get(key)
        if name == "num_peaks":
            try:
                num_peaks = int(value)
            except ValueError:
                reader.fail(lineno, f"Num Peaks {value!r} is not an integer")
            if num_peaks < 0:
                reader.fail(lineno, f"Num Peaks {value!r} is negative")
        elif name is not None:
            fields[name] = value
        else:
            extra[key] = value
    if num_peaks is None:
        reader.fail(first, "record has no 'Num Peaks' line")
    if "name" not in fields:
        reader.fail(first, "record has no 'Name' field")
    if len(peaks) != num_peaks:
        reader.fail(lines[-1][0], f"Num Peaks says {num_peaks}, the record holds {len(peaks)}")
    comments = {}
    for m in _COMMENT_PAIR.finditer(fields.get("comments", "")):
        k, v = (m.group(1), m.group(2)) if m.group(1) is not None else (m.group(3), m.group(4))
        comments[k.strip()] = v.strip()
    smiles = fields.get("smiles") or comments.get("SMILES") or None
    metadata = {k: v for k, v in fields.items() if k not in ("name", "smiles")}
    metadata.update(extra)
    if comments:
        metadata["comments_pairs"] = comments
    if notes:
        metadata["annotations"] = [notes.get(i) for i in range(len(peaks))]
    return Spectrum(id=fields.get("db") or fields["name"], name=fields["name"], smiles=smiles,
                    peaks=_peak_array(peaks), metadata=metadata,
                    source=f"{reader.path}:{first}")


def read_msp(path, skip_bad=False, errors=None):
    """Returns the spectra of an MSP text file, records separated by blank lines."""
    reader = _Reader(path, skip_bad, errors)
    block = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for lineno, text in enumerate(f, 1):
            text = text.strip()
            if text:
                block.append((lineno, text))
            elif block:
                reader.add(lambda b=block: _msp_record(reader, b))
                block = []
    if block:
        reader.add(lambda: _msp_record(reader, block))
    return reader.spectra


# --- MassBank records -------------------------------------------------------------

def _massbank_record(reader, lines):
    """Builds the Spectrum of one MassBank record from its (line number, text) pairs."""
    first = lines[0][0] if lines else 1
    tags, peaks, in_peaks, ended, num_peak = {}, [], False, False, None
    for lineno, text in lines:
        if text.strip() == "//":
            ended = True
            break
        if text.startswith("  "):  # continuation of the tag above
            if in_peaks:
                cols = text.split()
                values = [_number(c) for c in cols]
                if len(cols) < 2 or None in values:
                    reader.fail(lineno, f"peak line {text.strip()!r} is not 'm/z intensity ...'")
                if _mz_error(values[0]):
                    reader.fail(lineno, _mz_error(values[0]))
                peaks.append((values[0], values[1]))
            continue
        if not text.strip():
            continue
        tag, sep, value = text.partition(":")
        if not sep or not tag or tag != tag.strip():
            reader.fail(lineno, f"expected 'TAG: value', got {text.strip()!r}")
        in_peaks = tag == "PK$PEAK"
        if tag == "PK$NUM_PEAK":
            try:
                num_peak = int(value)
            except ValueError:
                reader.fail(lineno, f"PK$NUM_PEAK {value!r} is not an integer")
        tags.setdefault(tag, []).append((lineno, value.strip()))
    if not ended:
        reader.fail(lines[-1][0] if lines else 1, "record ends without '//'")
    if "PK$PEAK" not in tags:
        reader.fail(first, "record has no PK$PEAK table")
    if num_peak is not None and num_peak != len(peaks):
        reader.fail(tags["PK$NUM_PEAK"][0][0],
                    f"PK$NUM_PEAK says {num_peak}, the table holds {len(peaks)}")

    def sub(tag, key):
        for _, value in tags.get(tag, []):
            k, _, v = value.partition(" ")
            if k == key:
                return v.strip()
        return None

    def one(tag):
        return tags[tag][0][1] if tag in tags else None

    smiles = one("CH$SMILES")
    if smiles in ("", "N/A", "NA"):
        smiles = None
    names = [v for _, v in tags.get("CH$NAME", [])]
    metadata = {"accession": one("ACCESSION"), "license": one("LICENSE"),
                "formula": one("CH$FORMULA"), "inchikey": sub("CH$LINK", "INCHIKEY"),
                "ionization": sub("AC$MASS_SPECTROMETRY", "IONIZATION"),
                "ion_type": sub("AC$MASS_SPECTROMETRY", "ION_TYPE"),
                "instrument_type": one("AC$INSTRUMENT_TYPE"), "names": names}
    return Spectrum(id=one("ACCESSION") or os.path.basename(reader.path),
                    name=names[0] if names else "", smiles=smiles, peaks=_peak_array(peaks),
                    metadata=metadata, source=f"{reader.path}:{first}")


def read_massbank(path, skip_bad=False, errors=None):
    """Returns the spectra of a MassBank record file, or of every .txt record in a folder
    (in name order)."""
    if os.path.isdir(path):
        out = []
        for name in sorted(os.listdir(path)):
            if name.endswith(".txt"):
                out += read_massbank(os.path.join(path, name), skip_bad, errors)
        return out
    reader = _Reader(path, skip_bad, errors)
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = [(i, t.rstrip("\r\n")) for i, t in enumerate(f, 1)]
    reader.add(lambda: _massbank_record(reader, lines))
    return reader.spectra


# --- JSON Lines -------------------------------------------------------------------

def _jsonl_record(reader, lineno, text):
    try:
        obj = json.loads(text)
    except json.JSONDecodeError as e:
        reader.fail(lineno, f"not JSON ({e.msg} at column {e.colno})")
    if not isinstance(obj, dict):
        reader.fail(lineno, "a record must be a JSON object")
    if "id" not in obj:
        reader.fail(lineno, "record has no 'id'")
    peaks = obj.get("peaks")
    if not isinstance(peaks, list):
        reader.fail(lineno, "'peaks' must be a list of [m/z, intensity] pairs")
    for i, p in enumerate(peaks, 1):
        ok = isinstance(p, (list, tuple)) and len(p) == 2 and all(
            isinstance(v, (int, float)) and not isinstance(v, bool) and _number(v) is not None
            for v in p)
        if not ok:
            reader.fail(lineno, f"peak {i} {p!r} is not a pair of non-negative numbers")
        if _mz_error(p[0]):
            reader.fail(lineno, f"peak {i}: {_mz_error(p[0])}")
    smiles = obj.get("smiles")
    if smiles is not None and not isinstance(smiles, str):
        reader.fail(lineno, "'smiles' must be a string or null")
    metadata = {k: v for k, v in obj.items() if k not in ("id", "name", "smiles", "peaks")}
    return Spectrum(id=str(obj["id"]), name=str(obj.get("name") or ""), smiles=smiles or None,
                    peaks=_peak_array(peaks), metadata=metadata,
                    source=f"{reader.path}:{lineno}")


def read_jsonl(path, skip_bad=False, errors=None):
    """Returns the spectra of a JSON Lines file: one object per line with "id", "name",
    "smiles" and "peaks" ([m/z, intensity] pairs); other keys go to the metadata."""
    reader = _Reader(path, skip_bad, errors)
    with open(path, encoding="utf-8") as f:
        for lineno, text in enumerate(f, 1):
            if text.strip():
                reader.add(lambda: _jsonl_record(reader, lineno, text))
    return reader.spectra


def read_spectra(path, skip_bad=False, errors=None):
    """Returns the spectra of a file or folder, the reader chosen by its form: a folder or
    a .txt file holds MassBank records, .msp is MSP text, .jsonl or .json JSON Lines."""
    path = os.fspath(path)
    lower = path.lower()
    if os.path.isdir(path) or lower.endswith(".txt"):
        return read_massbank(path, skip_bad, errors)
    if lower.endswith(".msp"):
        return read_msp(path, skip_bad, errors)
    if lower.endswith((".jsonl", ".json")):
        return read_jsonl(path, skip_bad, errors)
    raise ValueError(f"{path}: unknown spectrum file type (expected .msp, .jsonl, .txt or "
                     "a folder of MassBank records)")


def open_spectra_path():
    """Returns the path of the shipped openly licensed EI spectra (data/ei_open.jsonl)."""
    return os.path.join(os.path.dirname(os.path.dirname(__file__)), "data", "ei_open.jsonl")
