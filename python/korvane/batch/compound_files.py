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
from collections import Counter, namedtuple

from rdkit import Chem

Item = namedtuple("Item", "number id smiles problem")

INPUT_SUFFIXES = (".smi", ".txt", ".csv", ".tsv", ".sdf", ".sdf.gz")
OUTPUT_SUFFIXES = (".jsonl", ".csv", ".msp")

# Intensity written for every predicted peak in MSP files: the prediction gives m/z
# values and no intensities.
MSP_INTENSITY = 100


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


def _smiles_lines(lines):
    for number, line in enumerate(lines, 1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        parts = text.split(None, 1)
        given = parts[1].strip() if len(parts) > 1 else ""
        yield Item(number, given or str(number), parts[0], None)


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


def _table_rows(stream, delimiter, smiles_column, id_column, path):
    reader = csv.reader(stream, delimiter=delimiter)
    header = next(reader, None)
    if header is None:
        return
    s = _pick_column(header, smiles_column, ("smiles", "canonical_smiles", "smi"), "SMILES",
                     path)
    i = _pick_column(header, id_column, ("id", "name", "title", "compound"), "id", path)
    for row in reader:
        if not any(cell.strip() for cell in row):
            continue
        number = reader.line_num
        smiles = row[s].strip() if s < len(row) else ""
        given = row[i].strip() if i is not None and i < len(row) else ""
        if not smiles:
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


def _sdf_records(stream, id_column):
    supplier = Chem.ForwardSDMolSupplier(stream, sanitize=False, removeHs=False)
    for number, mol in enumerate(supplier, 1):
        if mol is None:
            yield Item(number, str(number), None, f"SDF record {number} could not be read")
            continue
        name = id_column if id_column is not None else "_Name"
        given = mol.GetProp(name).strip() if mol.HasProp(name) else ""
        yield Item(number, given or str(number), _sdf_smiles(mol), None)


def read_compounds(path, smiles_column=None, id_column=None):
    """Yields the Items of a compound file, streamed; "-" reads SMILES lines from stdin.

    id_column names the CSV/TSV column or the SDF property that holds the id (default:
    a column named id, name, title or compound; the SDF title line).
    """
    kind = input_kind(path)
    if str(path) == "-":
        yield from _smiles_lines(sys.stdin)
        return
    if kind in (".sdf", ".sdf.gz"):
        opener = gzip.open if kind == ".sdf.gz" else open
        with opener(path, "rb") as stream:
            yield from _sdf_records(stream, id_column)
        return
    with open(path, newline="", encoding="utf-8") as stream:
        if kind in (".csv", ".tsv"):
            yield from _table_rows(stream, "," if kind == ".csv" else "\t", smiles_column,
                                   id_column, path)
        else:
            yield from _smiles_lines(stream)


def count_compounds(path):
    """Returns the number of entries read_compounds will yield, or None for stdin.

    Counts lines (SMILES files: those that are not blank or comments; tables: the rows
    after the header) or SDF record ends; a table row that holds a line break inside
    quotes is counted as two, so the count is an estimate for a progress bar.
    """
    if str(path) == "-":
        return None
    kind = input_kind(path)
    if kind in (".sdf", ".sdf.gz"):
        opener = gzip.open if kind == ".sdf.gz" else open
        with opener(path, "rb") as stream:
            return sum(1 for line in stream if line.startswith(b"$$$$"))
    with open(path, "rb") as stream:
        if kind in (".csv", ".tsv"):
            return max(0, sum(1 for line in stream if line.strip()) - 1)
        return sum(1 for line in stream if line.strip() and not line.lstrip().startswith(b"#"))


# Writers. Each turns one record into the complete text written for it, so that a
# record is one write; `header` is what a new file starts with.

def jsonl_text(record):
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n"


CSV_COLUMNS = ("id", "smiles", "formula", "nominal_mass", "lpi", "soft_bonds", "mz", "status",
               "error")


def _one_line(value):
    return "" if value is None else " ".join(str(value).split())


def csv_text(record):
    lpi = record["lpi"]
    row = [record["id"], record["smiles"], record["formula"], record["nominal_mass"],
           "" if lpi is None else f"{lpi['n+']} {lpi['n0']} {lpi['n-']}",
           "" if record["soft_bonds"] is None else len(record["soft_bonds"]),
           "" if record["peaks"] is None else " ".join(str(p["mz"]) for p in record["peaks"]),
           record["status"], record["error"]]
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerow([_one_line(v) for v in row])
    return out.getvalue()


def _msp_value(value):
    """A field value on one line; double quotes become single ones, as the peak and
    comment syntax reserves them."""
    return _one_line(value).replace('"', "'")


def _msp_comment(value):
    # Inside a quoted pair a colon would make the line look like a field to some readers.
    return _msp_value(value).replace(":", ";")


def msp_text(record, options=None):
    """The MSP entry of an ok record (empty text for an error record, which has no
    spectrum): fields, "Num Peaks", then m/z, intensity and quoted annotation per line,
    ascending m/z, and a blank line."""
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
                "intensity": f"{MSP_INTENSITY} for every predicted peak, as no intensities "
                             "are predicted",
                "lpi": f"{lpi['n+']} {lpi['n0']} {lpi['n-']}",
                "soft_bonds": len(record["soft_bonds"]),
                "input_smiles": record["smiles"]}
    if record["dropped_components"]:
        comments["dropped_components"] = " ".join(record["dropped_components"])
    lines.append("Comments: " + " ".join(f'"{k}={_msp_comment(v)}"' for k, v in comments.items()))
    lines.append(f"Num Peaks: {len(record['peaks'])}")
    for p in record["peaks"]:
        lines.append(f'{p["mz"]}\t{MSP_INTENSITY}\t"{p["formula"]} generation {p["generation"]}"')
    return "\n".join(lines) + "\n\n"


CSV_HEADER = ",".join(CSV_COLUMNS) + "\n"
FORMATS = {".jsonl": (jsonl_text, ""), ".csv": (csv_text, CSV_HEADER), ".msp": (msp_text, "")}


def record_text(kind, record):
    """Returns the text written for `record` in an output of suffix `kind`."""
    return FORMATS[kind][0](record)


# Resume: what an existing output already holds.

def _complete_prefix(data, kind):
    """Returns the number of leading bytes of `data` that hold complete records."""
    if kind == ".msp":
        end = data.rfind(b"\n\n")
        return 0 if end < 0 else end + 2
    end = data.rfind(b"\n")
    return 0 if end < 0 else end + 1


def _written_ids(text, kind):
    if kind == ".jsonl":
        return [json.loads(line)["id"] for line in text.splitlines() if line.strip()]
    if kind == ".csv":
        rows = list(csv.reader(io.StringIO(text)))
        return [row[0] for row in rows[1:] if row]
    return [line[len("DB#: "):] for line in text.splitlines() if line.startswith("DB#: ")]


def scan_output(path, kind):
    """Returns (Counter of the ids of the complete records in `path`, byte length of those
    records), or (empty Counter, 0) when there is no such file. A line that does not parse
    ends the complete part there."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return Counter(), 0
    size = _complete_prefix(data, kind)
    if kind == ".jsonl":
        # Keep the lines that parse; the first that does not ends the kept part.
        good = 0
        for line in data[:size].splitlines(keepends=True):
            try:
                json.loads(line)
            except ValueError:
                break
            good += len(line)
        size = good
    if kind == ".csv" and size and not data.startswith(CSV_HEADER.encode()):
        raise ValueError(f"{path}: not a korvane CSV output (its header differs)")
    text = data[:size].decode("utf-8")
    return Counter(_written_ids(text, kind)), size


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
