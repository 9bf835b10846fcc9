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


def _peak_array(reader, line, pairs):
    """The (n, 2) array of a record's peaks; intensities whose sum is not a finite number
    (each below the float limit, their sum beyond it) are refused, as no score or share
    of them could be computed."""
    peaks = np.array(pairs, dtype=float).reshape(-1, 2)
    with np.errstate(over="ignore"):
        total = float(np.sum(peaks[:, 1]))
    if not np.isfinite(total):
        reader.fail(line, "the intensities sum beyond the largest number a float holds")
    return peaks


# A plain decimal number: no underscores, no "inf" or "nan", no hexadecimal.
_DECIMAL = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")
_INTEGER = re.compile(r"[+-]?\d+")


def _number(text):
    """Returns the float of a peak value (text in plain decimal notation, or a number of
    JSON), or None when it is not a finite number >= 0."""
    if isinstance(text, str) and not _DECIMAL.fullmatch(text):
        return None
    try:
        x = float(text)
    except (ValueError, OverflowError):  # OverflowError: an integer beyond any float
        return None
    return x if np.isfinite(x) and x >= 0 else None


def _integer(text):
    """Returns the int of a count written as plain decimal digits, or None."""
    text = text.strip()
    return int(text) if _INTEGER.fullmatch(text) else None


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

    def build(self, build):
        """Returns the spectrum that `build()` returns, or None when it is malformed and
        left out (skip_bad); else its error is raised."""
        try:
            return build()
        except SpectrumFormatError as e:
            if not self.skip_bad:
                raise
            if self.errors is not None:
                self.errors.append(e)
            warnings.warn(str(e), SpectrumWarning, stacklevel=5)
            return None


def _text_lines(path):
    """Yields (line number, text) of a text file read as UTF-8, a leading byte-order mark
    dropped; bytes that are not UTF-8 become U+FFFD, so a record holding them fails on its
    own."""
    with open(path, encoding="utf-8-sig", errors="replace") as f:
        yield from enumerate(f, 1)


def comment_pairs(text):
    """Returns the key=value pairs of an MSP Comments value ("k=v" quoted or not)."""
    pairs = {}
    for m in _COMMENT_PAIR.finditer(text):
        k, v = (m.group(1), m.group(2)) if m.group(1) is not None else (m.group(3), m.group(4))
        pairs[k.strip()] = v.strip()
    return pairs


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
            num_peaks = _integer(value)
            if num_peaks is None:
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
    comments = comment_pairs(fields.get("comments", ""))
    smiles = fields.get("smiles") or comments.get("SMILES") or None
    metadata = {k: v for k, v in fields.items() if k not in ("name", "smiles")}
    metadata.update(extra)
    if comments:
        metadata["comments_pairs"] = comments
    if notes:
        metadata["annotations"] = [notes.get(i) for i in range(len(peaks))]
    return Spectrum(id=fields.get("db") or fields["name"], name=fields["name"], smiles=smiles,
                    peaks=_peak_array(reader, first, peaks), metadata=metadata,
                    source=f"{reader.path}:{first}")


def iter_msp(path, skip_bad=False, errors=None):
    """Yields the spectra of an MSP text file one at a time, records separated by blank
    lines."""
    reader = _Reader(path, skip_bad, errors)
    block = []
    for lineno, text in _text_lines(path):
        text = text.strip()
        if text:
            block.append((lineno, text))
        elif block:
            spectrum = reader.build(lambda b=block: _msp_record(reader, b))
            block = []
            if spectrum is not None:
                yield spectrum
    if block:
        spectrum = reader.build(lambda: _msp_record(reader, block))
        if spectrum is not None:
            yield spectrum


def read_msp(path, skip_bad=False, errors=None):
    """Returns the spectra of an MSP text file, records separated by blank lines."""
    return list(iter_msp(path, skip_bad, errors))


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
            num_peak = _integer(value)
            if num_peak is None:
                reader.fail(lineno, f"PK$NUM_PEAK {value.strip()!r} is not an integer")
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
                    name=names[0] if names else "", smiles=smiles,
                    peaks=_peak_array(reader, first, peaks), metadata=metadata,
                    source=f"{reader.path}:{first}")


def _massbank_blocks(path):
    """Yields the (line number, text) lines of each record of a MassBank file: a record
    ends with its "//" line, and what follows is the next record; a last one without "//"
    is yielded too (and refused by the record's reader)."""
    block = []
    for lineno, text in _text_lines(path):
        text = text.rstrip("\r\n")
        if not block and not text.strip():
            continue
        block.append((lineno, text))
        if text.strip() == "//":
            yield block
            block = []
    if block:
        yield block


def iter_massbank(path, skip_bad=False, errors=None):
    """Yields the spectra of a MassBank record file (one or more records, each ending
    with "//"), or of every .txt record file in a folder (in name order)."""
    if os.path.isdir(path):
        for name in sorted(os.listdir(path)):
            if name.endswith(".txt"):
                yield from iter_massbank(os.path.join(path, name), skip_bad, errors)
        return
    reader = _Reader(path, skip_bad, errors)
    for block in _massbank_blocks(path):
        spectrum = reader.build(lambda: _massbank_record(reader, block))
        if spectrum is not None:
            yield spectrum


def read_massbank(path, skip_bad=False, errors=None):
    """Returns the spectra of a MassBank record file, or of every .txt record in a folder
    (in name order)."""
    return list(iter_massbank(path, skip_bad, errors))


# --- JSON Lines -------------------------------------------------------------------

def _jsonl_record(reader, lineno, data):
    try:
        text = data.decode("utf-8").rstrip("\r\n")
    except UnicodeDecodeError as e:
        reader.fail(lineno, f"byte 0x{data[e.start]:02x} at column {e.start + 1} is not "
                            "UTF-8 text")
    try:
        obj = json.loads(text)
    except json.JSONDecodeError as e:
        where = "the line ends early" if e.pos >= len(text) else f"at column {e.colno}"
        reader.fail(lineno, f"not JSON ({e.msg}; {where})")
    except RecursionError:
        reader.fail(lineno, "not a record: JSON nested too deeply")
    except ValueError as e:  # an integer of too many digits, and the like
        reader.fail(lineno, f"not JSON ({' '.join(str(e).split())})")
    if not isinstance(obj, dict):
        reader.fail(lineno, "a record must be a JSON object")
    if "id" not in obj:
        reader.fail(lineno, "record has no 'id'")
    if isinstance(obj["id"], bool) or not isinstance(obj["id"], (str, int, float)):
        reader.fail(lineno, "'id' must be text or a number")
    peaks = obj.get("peaks")
    if not isinstance(peaks, list):
        reader.fail(lineno, "'peaks' must be a list of [m/z, intensity] pairs")
    for i, p in enumerate(peaks, 1):
        ok = isinstance(p, (list, tuple)) and len(p) == 2 and all(
            isinstance(v, (int, float)) and not isinstance(v, bool) and _number(v) is not None
            for v in p)
        if not ok:
            shown = repr(p) if len(repr(p)) <= 60 else repr(p)[:57] + "..."
            reader.fail(lineno, f"peak {i} {shown} is not a pair of non-negative numbers")
        if _mz_error(p[0]):
            reader.fail(lineno, f"peak {i}: {_mz_error(p[0])}")
    smiles = obj.get("smiles")
    if smiles is not None and not isinstance(smiles, str):
        reader.fail(lineno, "'smiles' must be a string or null")
    metadata = {k: v for k, v in obj.items() if k not in ("id", "name", "smiles", "peaks")}
    return Spectrum(id=str(obj["id"]), name=str(obj.get("name") or ""), smiles=smiles or None,
                    peaks=_peak_array(reader, lineno, peaks), metadata=metadata,
                    source=f"{reader.path}:{lineno}")


def iter_jsonl(path, skip_bad=False, errors=None):
    """Yields the spectra of a JSON Lines file one at a time: one object per line with
    "id", "name", "smiles" and "peaks" ([m/z, intensity] pairs); other keys go to the
    metadata. A leading byte-order mark is skipped; a line that is not UTF-8 text or not
    JSON is a malformed record."""
    reader = _Reader(path, skip_bad, errors)
    with open(path, "rb") as f:
        if f.peek(3)[:3] == b"\xef\xbb\xbf":
            f.read(3)
        for lineno, data in enumerate(f, 1):
            if data.strip():
                spectrum = reader.build(lambda: _jsonl_record(reader, lineno, data))
                if spectrum is not None:
                    yield spectrum


def read_jsonl(path, skip_bad=False, errors=None):
    """Returns the spectra of a JSON Lines file: one object per line with "id", "name",
    "smiles" and "peaks" ([m/z, intensity] pairs); other keys go to the metadata."""
    return list(iter_jsonl(path, skip_bad, errors))


def _reader_of(path):
    lower = path.lower()
    if os.path.isdir(path) or lower.endswith(".txt"):
        return iter_massbank
    if lower.endswith(".msp"):
        return iter_msp
    if lower.endswith((".jsonl", ".json")):
        return iter_jsonl
    raise ValueError(f"{path}: unknown spectrum file type (expected .msp, .jsonl, .txt or "
                     "a folder of MassBank records)")


def iter_spectra(path, skip_bad=False, errors=None):
    """Yields the spectra of a file or folder one at a time, the reader chosen as by
    read_spectra. The file's type is checked, and the file opened, at once."""
    path = os.fspath(path)
    reader = _reader_of(path)
    if not os.path.isdir(path) and not os.path.exists(path):
        raise FileNotFoundError(2, "No such file or directory", path)
    return reader(path, skip_bad, errors)


def count_spectra(path):
    """Returns the number of records a spectrum file holds, counted by their marks ("Num
    Peaks" lines, "//" lines, JSON lines), for a progress bar."""
    path = os.fspath(path)
    reader = _reader_of(path)
    if os.path.isdir(path):
        return sum(count_spectra(os.path.join(path, n)) for n in sorted(os.listdir(path))
                   if n.endswith(".txt"))
    with open(path, "rb") as f:
        if reader is iter_msp:
            return sum(1 for line in f if line.lstrip()[:9].lower() == b"num peaks")
        if reader is iter_massbank:
            return sum(1 for line in f if line.strip() == b"//")
        return sum(1 for line in f if line.strip())


def read_spectra(path, skip_bad=False, errors=None):
    """Returns the spectra of a file or folder, the reader chosen by its form: a folder or
    a .txt file holds MassBank records, .msp is MSP text, .jsonl or .json JSON Lines."""
    return list(iter_spectra(path, skip_bad, errors))


def open_spectra_path():
    """Returns the path of the shipped openly licensed EI spectra (data/ei_open.jsonl)."""
    return os.path.join(os.path.dirname(os.path.dirname(__file__)), "data", "ei_open.jsonl")
