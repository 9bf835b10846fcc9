"""Reading untrusted input in bounded pieces: lines and SDF records of at most a fixed
number of bytes (a longer one is skipped without being held in memory), a leading UTF-8
byte-order mark dropped, and text that is not UTF-8 kept apart instead of stopping the
read."""
import codecs

# Longest line (SMILES, CSV/TSV row, SDF line) and longest SDF record read, in bytes of
# the decompressed text; a longer one becomes an error record and is never held whole.
MAX_LINE_BYTES = 16 << 20
MAX_RECORD_BYTES = 16 << 20

BOM = codecs.BOM_UTF8


def skip_bom(stream):
    """Moves a binary stream (a file, a gzip file or standard input's buffer) past a
    leading UTF-8 byte-order mark, if there is one."""
    if hasattr(stream, "peek"):
        if stream.peek(len(BOM))[:len(BOM)] == BOM:
            stream.read(len(BOM))
        return
    if stream.read(len(BOM)) != BOM:
        stream.seek(0)


def bounded_lines(stream, limit=MAX_LINE_BYTES):
    """Yields (line number, bytes of the line with its end) of a binary stream, or
    (line number, None) for a line of more than `limit` bytes before its end, which is
    read past in pieces and never held whole."""
    number = 0
    while True:
        line = stream.readline(limit + 1)
        if not line:
            return
        number += 1
        if len(line) <= limit or line.endswith(b"\n"):
            yield number, line
            continue
        while not line.endswith(b"\n"):  # the rest of the long line, piece by piece
            line = stream.readline(1 << 20)
            if not line:
                break
        yield number, None


def decode_line(data):
    """Returns (text, None) for UTF-8 bytes, else (text with the bad bytes written as
    \\xNN, a message saying where the first one is)."""
    try:
        return data.decode("utf-8"), None
    except UnicodeDecodeError as e:
        text = data.decode("utf-8", "backslashreplace")
        return text, f"byte 0x{data[e.start]:02x} at column {e.start + 1} is not UTF-8 text"


def sdf_records(stream, limit=MAX_RECORD_BYTES):
    """Yields (record number, first line number, bytes of the record up to and with its
    "$$$$" line) of an SDF stream, or (number, line, None) for a record longer than
    `limit` or holding a line longer than that, which is read past without being kept."""
    parts, size, number, first, too_long = [], 0, 0, None, False
    for lineno, line in bounded_lines(stream, limit):
        if first is None:
            first = lineno
        if line is None:
            too_long = True
        elif not too_long:
            size += len(line)
            if size > limit:
                too_long, parts = True, []
            else:
                parts.append(line)
        if line is not None and line.startswith(b"$$$$"):
            number += 1
            yield number, first, None if too_long else b"".join(parts)
            parts, size, first, too_long = [], 0, None, False
    if first is not None and (too_long or any(p.strip() for p in parts)):
        number += 1
        yield number, first, None if too_long else b"".join(parts)
