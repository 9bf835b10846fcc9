"""Compound files: readers of SMILES, CSV/TSV and SDF input, writers of JSONL, CSV and
MSP output, and the scan of an existing output that a resumed batch continues.

A reader yields Item(number, id, smiles, problem): number is the 1-based line (or SDF
record) number, id the given identifier or, when there is none, that number as text;
problem, when not None, is why the entry has no SMILES (an unreadable SDF record), and
the entry becomes an error record.
"""
import csv
import gzip
import io
import json
import os
import sys
import zlib
from collections import namedtuple

from rdkit import Chem

from .. import _core
from .bounded import (MAX_LINE_BYTES, MAX_RECORD_BYTES, bounded_lines, decode_line,
                      sdf_records, skip_bom)

Item = namedtuple("Item", "number id smiles problem")

INPUT_SUFFIXES = (".smi", ".txt", ".csv", ".tsv", ".sdf", ".sdf.gz")
OUTPUT_SUFFIXES = (".jsonl", ".csv", ".msp")

def msp_intensity_recipe():
    """How the predicted intensities of a record's "spectrum" are made, from the core's
    default weights, for the MSP comment."""
    w = _core.SpectrumWeights()
    return (f"predicted; per nominal m/z the summed weights of the fragments reaching it: "
            f"{w.cut_piece:g} once if a piece of any splitting bond cut does, "
            f"+{w.soft_single:g} per soft single-cut piece, +{w.ring:g} per ring-cut piece, "
            f"+{w.generation1:g} for a first-generation recursive peak; M {w.molecular_ion:g} "
            f"with its natural isotope envelope; base peak 999")


def _suffix(path, known):
    name = str(path).lower()
    for s in sorted(known, key=len, reverse=True):
        if name.endswith(s):
            return s
    raise ValueError(f"{path}: unknown file type; expected one of {', '.join(known)}")


def input_kind(path):
    """Returns the input suffix that decides how `path` is read ("-" reads SMILES lines)."""
    return ".smi" if str(path) == "-" else _suffix(path, INPUT_SUFFIXES)


def output_kind(path):
    """Returns the output suffix that decides the format written to `path`."""
    return _suffix(path, OUTPUT_SUFFIXES)


def _smiles_lines(lines, path):
    for number, data in lines:
        if data is None:
            yield Item(number, str(number), None,
                       f"{path}:{number}: the line is longer than {MAX_LINE_BYTES} bytes")
            continue
        text, bad = decode_line(data)
        text = text.strip()
        if not text or text.startswith("#"):
            continue
        parts = text.split(None, 1)
        given = parts[1].strip() if len(parts) > 1 else ""
        yield Item(number, given or str(number), parts[0],
                   None if bad is None else f"{path}:{number}: {bad}")


def _pick_column(header, wanted, candidates, what, path):
    if wanted is not None:
        if wanted not in header:
            raise ValueError(f"{path}: no column {wanted!r} (columns: {', '.join(header)})")
        return header.index(wanted)
    lowered = [h.strip().lower() for h in header]
    for c in candidates:
        if c in lowered:
            return lowered.index(c)
    if what == "SMILES":
        raise ValueError(f"{path}: no SMILES column found; name it with --smiles-column "
                         f"(columns: {', '.join(header)})")
    return None


# A line that cannot be given to the CSV reader as it is (too long) is replaced by this
# text, which no cell of a real file holds; the row it falls into becomes an error record.
_UNREADABLE_LINE = "\x00korvane: unreadable line\x00\n"


class _Row:
    """The bytes of the table row being read, its lines counted as the reader takes them."""
    size = 0


def _table_lines(lines, path, problems, row):
    """The text lines of a table for the CSV reader; the problem of each line that is not
    UTF-8 text or too long, or that takes its row past MAX_RECORD_BYTES, goes to
    `problems` by line number. Past the limit (inside a quoted cell of many lines) a line
    is given to the reader as its quote marks only: the cell is not held, and where it
    ends, and with it the rows after it, stays as the file says."""
    for number, data in lines:
        if data is None:
            problems[number] = f"{path}:{number}: the line is longer than {MAX_LINE_BYTES} bytes"
            yield _UNREADABLE_LINE
            continue
        row.size += len(data)
        if row.size > MAX_RECORD_BYTES:
            problems.setdefault(number, f"{path}:{number}: the row is longer than "
                                        f"{MAX_RECORD_BYTES} bytes")
            yield '"' * data.count(b'"') + "\n"
            continue
        text, bad = decode_line(data)
        if bad is not None:
            problems[number] = f"{path}:{number}: {bad}"
        yield text


def _table_rows(lines, delimiter, smiles_column, id_column, path):
    # Rows are bounded as they are read (_table_lines), so no cell needs the CSV module's
    # own limit, whose error would leave the reader inside the cell.
    csv.field_size_limit(max(csv.field_size_limit(), 2 * MAX_RECORD_BYTES))
    problems, row_size = {}, _Row()
    reader = csv.reader(_table_lines(lines, path, problems, row_size), delimiter=delimiter)
    header = next(reader, None)
    if header is None:
        return
    if problems:
        raise ValueError(next(iter(problems.values())) + " (in the header)")
    s = _pick_column(header, smiles_column, ("smiles", "canonical_smiles", "smi"), "SMILES",
                     path)
    i = _pick_column(header, id_column, ("id", "name", "title", "compound"), "id", path)
    last = reader.line_num
    while True:
        row_size.size = 0
        try:
            row = next(reader)
        except StopIteration:
            return
        number = reader.line_num
        spanned = [problems.pop(n) for n in range(last + 1, number + 1) if n in problems]
        last = number
        error = spanned[0] if spanned else None
        if error is None and not any(cell.strip() for cell in row):
            continue
        smiles = row[s].strip() if s < len(row) else ""
        given = row[i].strip() if i is not None and i < len(row) else ""
        if error is not None:
            yield Item(number, given or str(number), smiles[:100] or None, error)
        elif not smiles:
            yield Item(number, given or str(number), "", "no SMILES in this row")
        else:
            yield Item(number, given or str(number), smiles, None)


def _sdf_smiles(mol):
    """The SMILES of an SDF molecule as RDKit writes the sanitised molecule without its
    hydrogens, or, when it does not sanitise, the molecule as the file gives it (the
    analysis reads SMILES leniently)."""
    try:
        mol = Chem.RemoveHs(mol)  # a sanitised copy
    except Chem.rdchem.MolSanitizeException:
        mol.UpdatePropertyCache(strict=False)
    return Chem.MolToSmiles(mol)


def _sdf_item(number, first, data, id_column, path):
    where = f"{path}:{first}: SDF record {number}"
    if data is None:
        return Item(number, str(number), None,
                    f"{where} is longer than {MAX_RECORD_BYTES} bytes or has a longer line")
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        line = first + data.count(b"\n", 0, e.start)
        return Item(number, str(number), None, f"{path}:{line}: SDF record {number}: byte "
                    f"0x{data[e.start]:02x} is not UTF-8 text")
    mol = next(Chem.ForwardSDMolSupplier(io.BytesIO(data), sanitize=False, removeHs=False),
               None)
    if mol is None:
        return Item(number, str(number), None, f"SDF record {number} could not be read")
    name = id_column if id_column is not None else "_Name"
    given = mol.GetProp(name).strip() if mol.HasProp(name) else ""
    return Item(number, given or str(number), _sdf_smiles(mol), None)


def _sdf_records(stream, id_column, path):
    number = 0
    try:
        for number, first, data in sdf_records(stream):
            yield _sdf_item(number, first, data, id_column, path)
    except (EOFError, OSError, zlib.error) as e:  # a cut or corrupt .sdf.gz
        yield Item(number + 1, str(number + 1), None,
                   f"{path}: the compressed data from SDF record {number + 1} on cannot be read "
                   f"({' '.join(str(e).split()) or type(e).__name__})")


def _stdin_stream():
    stream = getattr(sys.stdin, "buffer", None)
    if stream is None:  # a text stream put in its place (a test, an embedding program)
        return io.BytesIO(sys.stdin.read().encode("utf-8", "surrogateescape"))
    return stream


def read_compounds(path, smiles_column=None, id_column=None):
    """Yields the Items of a compound file, streamed; "-" reads SMILES lines from stdin.

    id_column names the CSV/TSV column or the SDF property that holds the id (default:
    a column named id, name, title or compound; the SDF title line). A leading UTF-8
    byte-order mark is skipped; a line that is not UTF-8 text or longer than
    MAX_LINE_BYTES, or an SDF record longer than MAX_RECORD_BYTES, is an Item with its
    problem naming the file and line.
    """
    kind = input_kind(path)
    if str(path) == "-":
        stream = _stdin_stream()
        skip_bom(stream)
        yield from _smiles_lines(bounded_lines(stream), "<stdin>")
        return
    opener = gzip.open if kind == ".sdf.gz" else open
    with opener(path, "rb") as stream:
        try:
            skip_bom(stream)
        except (EOFError, OSError, zlib.error) as e:
            raise ValueError(f"{path}: not a readable {kind} file ({e})") from None
        if kind in (".sdf", ".sdf.gz"):
            yield from _sdf_records(stream, id_column, path)
        elif kind in (".csv", ".tsv"):
            yield from _table_rows(bounded_lines(stream), "," if kind == ".csv" else "\t",
                                   smiles_column, id_column, path)
        else:
            yield from _smiles_lines(bounded_lines(stream), path)


def count_compounds(path):
    """Returns the number of entries read_compounds will yield, or None for stdin or a
    file that cannot be read twice (a pipe).

    Counts lines (SMILES files: those that are not blank or comments; tables: the rows
    after the header) or SDF record ends; a table row that holds a line break inside
    quotes is counted as two, so the count is an estimate for a progress bar.
    """
    if str(path) == "-" or not os.path.isfile(path):
        return None
    kind = input_kind(path)
    opener = gzip.open if kind == ".sdf.gz" else open
    try:
        with opener(path, "rb") as stream:
            lines = (line for _, line in bounded_lines(stream, 1 << 16) if line is not None)
            if kind in (".sdf", ".sdf.gz"):
                return sum(1 for line in lines if line.startswith(b"$$$$"))
            if kind in (".csv", ".tsv"):
                return max(0, sum(1 for line in lines if line.strip()) - 1)
            return sum(1 for line in lines if line.strip() and not line.lstrip().startswith(b"#"))
    except (EOFError, OSError, zlib.error):  # the read itself reports it, by record
        return None


# Writers. Each turns one record into the complete text written for it, so that a
# record is one write; `header` is what a new file starts with.

def jsonl_text(record):
    # The core writes a record's JSON as the json module below would, several times
    # faster; it leaves to the module what it does not write itself. Strict JSON: a
    # number that is not finite raises instead of writing NaN.
    text = _core.json_text(record)
    if text is None:
        text = json.dumps(record, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    return text + "\n"


CSV_COLUMNS = ("id", "smiles", "formula", "nominal_mass", "lpi", "soft_bonds", "mz",
               "intensity", "status", "error")


def _one_line(value):
    return "" if value is None else " ".join(str(value).split())


def csv_text(record):
    lpi = record["lpi"]
    row = [record["id"], record["smiles"], record["formula"], record["nominal_mass"],
           "" if lpi is None else f"{lpi['n+']} {lpi['n0']} {lpi['n-']}",
           "" if record["soft_bonds"] is None else len(record["soft_bonds"]),
           "" if record["peaks"] is None else " ".join(str(p["mz"]) for p in record["peaks"]),
           "" if record["spectrum"] is None
           else " ".join(f"{mz}:{_number(i)}" for mz, i in record["spectrum"]),
           record["status"], record["error"]]
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerow([_one_line(v) for v in row])
    return out.getvalue()


def _number(x):
    """A predicted intensity as written: no trailing ".0"."""
    return f"{x:g}" if float(x) == int(x) else f"{x}"


def _msp_value(value):
    """A field value on one line; double quotes become single ones, as the peak and
    comment syntax reserves them."""
    return _one_line(value).replace('"', "'")


def msp_text(record, options=None):
    """The MSP entry of an ok record (empty text for an error record, which has no
    spectrum): fields, "Num Peaks", then m/z, predicted intensity (the record's
    "spectrum", base peak 999) and quoted annotation per line, ascending m/z, and a blank
    line. An m/z of the spectrum with no fragment peak (an isotope peak M+k) is annotated
    as such."""
    if record["status"] != "ok":
        return ""
    lines = [f"Name: {_msp_value(record['id'] or record['canonical_smiles'])}",
             f"DB#: {_msp_value(record['id'])}",
             f"Formula: {record['formula']}",
             f"MW: {record['nominal_mass']}"]
    lines.append(f"ExactMass: {record['monoisotopic_mass']:.6f}")
    lines.append(f"SMILES: {_msp_value(record['canonical_smiles'])}")
    if record["inchikey"]:
        lines.append(f"InChIKey: {record['inchikey']}")
    lpi = record["lpi"]
    comments = {"predicted": "korvane soft-bond fragmentation",
                "intensity": msp_intensity_recipe(),
                "lpi": f"{lpi['n+']} {lpi['n0']} {lpi['n-']}",
                "soft_bonds": len(record["soft_bonds"]),
                "input_smiles": record["smiles"]}
    if record["dropped_components"]:
        comments["dropped_components"] = " ".join(record["dropped_components"])
    lines.append("Comments: " + " ".join(f'"{k}={_msp_value(v)}"' for k, v in comments.items()))
    peaks = {p["mz"]: p for p in record["peaks"]}
    mass = record["nominal_mass"]
    lines.append(f"Num Peaks: {len(record['spectrum'])}")
    for mz, intensity in record["spectrum"]:
        p = peaks.get(mz)
        note = (f"{p['formula']} generation {p['generation']}" if p is not None
                else f"M+{mz - mass} isotope" if mz > mass else "splitting cut piece")
        lines.append(f'{mz}\t{_number(intensity)}\t"{note}"')
    return "\n".join(lines) + "\n\n"


CSV_HEADER = ",".join(CSV_COLUMNS) + "\n"
FORMATS = {".jsonl": (jsonl_text, ""), ".csv": (csv_text, CSV_HEADER), ".msp": (msp_text, "")}


def record_text(kind, record):
    """Returns the text written for `record` in an output of suffix `kind`."""
    return FORMATS[kind][0](record)


class RecordWriter:
    """Appends records' texts to an output file, each with one unbuffered write, so that
    an interrupted run leaves complete records only, apart from at most the one being
    written when the process was killed (which a resumed run drops)."""

    def __init__(self, path, kind, keep_bytes=None):
        """Starts a new file, or with keep_bytes keeps that many leading bytes of the
        existing one and appends after them."""
        self.kind = kind
        flags = os.O_WRONLY | os.O_CREAT
        self.fd = os.open(path, flags, 0o644)
        os.ftruncate(self.fd, keep_bytes or 0)
        os.lseek(self.fd, 0, os.SEEK_END)
        if not keep_bytes and FORMATS[kind][1]:
            self._write(FORMATS[kind][1])

    def _write(self, text):
        data = text.encode("utf-8")
        while data:
            data = data[os.write(self.fd, data):]

    def write_text(self, text):
        if text:
            self._write(text)

    def write(self, record):
        self.write_text(record_text(self.kind, record))

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
