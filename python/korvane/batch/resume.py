"""What an existing output of `korvane predict` holds, so that `--resume` keeps exactly
the records of this run and computes the rest.

A run writes beside OUTPUT a small JSON file, OUTPUT.run.json, that says what the run is
(the output format and the options that change the records). Every record holds its id
and the input SMILES it was computed from. A resumed run keeps the complete records of
OUTPUT only when that file describes the same run and the records are, in order, those
of the input's first entries (matched by position, not by id text); anything else is
refused before OUTPUT is touched.
"""
import csv
import io
import json
import os

RUN_SUFFIX = ".run.json"
RUN_FORMAT = "korvane predict run"


class ResumeError(ValueError):
    """An output that --resume cannot continue: the reason on one line."""


def run_path(out):
    return os.fspath(out) + RUN_SUFFIX


def run_description(kind, options):
    return {"format": RUN_FORMAT, "output": kind, "options": options}


def write_run(out, description):
    """Writes OUTPUT.run.json in one step (a new file renamed into place)."""
    path = run_path(out)
    tmp = path + ".part"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(description, f, indent=1, sort_keys=True)
        f.write("\n")
    os.replace(tmp, path)


def read_run(out):
    """Returns the run description of OUTPUT, or None when it has none."""
    try:
        with open(run_path(out), encoding="utf-8") as f:
            value = json.load(f)
    except FileNotFoundError:
        return None
    except (OSError, ValueError):
        raise ResumeError(f"{run_path(out)}: not a korvane run description") from None
    return value if isinstance(value, dict) and "format" in value else None


def _one_line(value):
    return "" if value is None else " ".join(str(value).split())


def _msp_value(value):
    return _one_line(value).replace('"', "'")


def written_key(kind, item):
    """The (id, input SMILES) a record of `item` shows in an output of suffix `kind`, as
    its writer writes them."""
    if kind == ".jsonl":
        return (item.id, item.smiles)
    if kind == ".csv":
        return (_one_line(item.id), _one_line(item.smiles))
    return (_msp_value(item.id), _msp_value(item.smiles))


def _decoded(data, out, lineno):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise ResumeError(f"{out}:{lineno}: not UTF-8 text, so not a korvane output") from None


_RECORD_KEYS = ("schema_version", "id", "smiles", "status")


def _jsonl_key(text, out, lineno, record_keys):
    try:
        record = json.loads(text)
    except (ValueError, RecursionError):
        record = None
    if not isinstance(record, dict) or not all(k in record for k in record_keys):
        raise ResumeError(f"{out}:{lineno}: not a korvane record, so OUTPUT is not an "
                          "output of this korvane command")
    return (record["id"], record["smiles"])


def _csv_keys(lines, out, header):
    csv.field_size_limit(max(csv.field_size_limit(), 1 << 30))  # our own rows: any size
    keys = []
    reader = csv.reader(io.StringIO("".join(lines)))
    try:
        first = next(reader, None)
        if first is None or ",".join(first) + "\n" != header:
            raise ResumeError(f"{out}: not a korvane CSV output (its header differs)")
        for row in reader:
            if len(row) != header.count(",") + 1:
                raise ResumeError(f"{out}:{reader.line_num}: not a row of a korvane CSV "
                                  "output")
            keys.append((row[0], row[1]))
    except csv.Error as e:
        raise ResumeError(f"{out}:{reader.line_num}: {e}") from None
    return keys


def _comment_pairs(text):
    from ..spectra.readers import comment_pairs
    return comment_pairs(text)


def _msp_key(block, out, lineno):
    fields = {}
    for line in block:
        key, sep, value = line.partition(": ")
        if sep and key not in fields:
            fields[key] = value
    comments = _comment_pairs(fields.get("Comments", ""))
    if "DB#" not in fields or not comments.get("predicted", "").startswith("korvane") \
            or "input_smiles" not in comments:
        raise ResumeError(f"{out}:{lineno}: not a record of korvane predict, so OUTPUT is "
                          "not its output")
    return (fields["DB#"], comments["input_smiles"])


def scan_output(out, kind, csv_header, record_keys=_RECORD_KEYS):
    """Returns ([(id, input SMILES) of each complete record, in order], byte length of
    those records) of an existing output, or ([], 0) when there is none. A last record
    cut by a killed run is not counted; a complete one that is not a korvane record of
    this kind raises ResumeError."""
    try:
        f = open(out, "rb")
    except FileNotFoundError:
        return [], 0
    keys, size = [], 0
    with f:
        if kind == ".msp":
            block, start, offset = [], None, 0
            for lineno, line in enumerate(f, 1):
                offset += len(line)
                if not line.endswith(b"\n"):
                    break  # cut: the record is not complete
                text = _decoded(line, out, lineno).rstrip("\r\n")
                if text:
                    block.append(text)
                    start = start or lineno
                elif block:
                    keys.append(_msp_key(block, out, start))
                    block, start, size = [], None, offset
        else:
            lines = []
            for lineno, line in enumerate(f, 1):
                if not line.endswith(b"\n"):
                    break
                text = _decoded(line, out, lineno)
                size += len(line)
                if kind == ".jsonl":
                    if text.strip():
                        keys.append(_jsonl_key(text, out, lineno, record_keys))
                else:
                    lines.append(text)
            if kind == ".csv" and lines:
                keys = _csv_keys(lines, out, csv_header)
    return keys, size


def check_run(out, description, keep):
    """Refuses to resume an output of another run: its description must be this run's."""
    found = read_run(out)
    if found is None and keep == 0:
        return
    if found is None:
        raise ResumeError(f"{out}: no {os.path.basename(run_path(out))} beside it says which "
                          "run wrote it; run without --resume to start afresh")
    if found != description:
        theirs, ours = found.get("options", {}), description["options"]
        differ = sorted(k for k in set(theirs) | set(ours) if theirs.get(k) != ours.get(k))
        raise ResumeError(f"{out}: written by a run with other options "
                          f"({', '.join(differ) or 'output format'}); run without --resume "
                          "or with that run's options")


def not_written(items, keys, kind):
    """Yields the items of this run whose records are not in the output yet.

    The output's records are the input's first entries in input order: record k must be
    that of entry k. An MSP output leaves error records out, so an entry that is not the
    next record there was one and is passed over. An output that holds a record the
    input does not give at that place raises ResumeError.
    """
    k = 0
    for item in items:
        if k == len(keys):
            yield item
            continue
        key = written_key(kind, item)
        if key == keys[k]:
            k += 1
        elif kind != ".msp":
            raise ResumeError(f"record {k + 1} of the output ({keys[k][0]!r}, "
                              f"{keys[k][1]!r}) is not that of the input's entry {k + 1}; "
                              "OUTPUT is the output of another input")
    if k < len(keys):
        raise ResumeError(f"the output holds {len(keys)} records, of which {len(keys) - k} "
                          "are not this input's; OUTPUT is the output of another input")


class LazyOutput:
    """The output of a run, opened at its first record: until then OUTPUT (and its run
    description) are left as they were, so a run that fails before its first record
    changes nothing. A fresh run writes its run description, then starts the file; a
    resumed one keeps the first `keep` bytes and appends."""

    def __init__(self, path, kind, writer_class, description, keep=None):
        self.path, self.kind, self.writer_class = path, kind, writer_class
        self.description, self.keep = description, keep
        self.writer = None

    def write_text(self, text):
        if self.writer is None:
            if not self.keep:
                write_run(self.path, self.description)
            self.writer = self.writer_class(self.path, self.kind, keep_bytes=self.keep)
        self.writer.write_text(text)

    def finish(self):
        """Closes the file; a resumed run with nothing left to compute drops a cut last
        record, and leaves a complete output byte for byte as it was."""
        if self.writer is None and self.keep is not None and os.path.exists(self.path) \
                and os.path.getsize(self.path) != self.keep:
            self.writer = self.writer_class(self.path, self.kind, keep_bytes=self.keep)
        if self.writer is not None:
            self.writer.close()
