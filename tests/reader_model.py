"""A plain model of the command line's reading: tab-separated counts, plain lists, FASTA and tables with a
header, read by Python's text streams and csv module.

Every reader adds to one dict {peptide: count} so that several files sum their counts and each peptide keeps
the place of its first appearance. Any fault in a file raises InputError naming the file and the line.
"""

import csv
import gzip
import io
import itertools
import os
import re
import sys
import zlib

COUNT_MAX = 2**64 - 1
FASTA_EXTENSIONS = (".fa", ".fasta", ".faa", ".fas", ".pep")
_CHUNK = 1 << 22
_LONG_NUMBER = re.compile(r"\d{20}")  # 2**64 has 20 digits


class InputError(Exception):
    """Bad input; the message names the file and, where there is one, the line."""


class LineError(InputError):
    """A fault on one line of a file."""

    def __init__(self, name, line, reason):
        super().__init__(f"{name}: line {line}: {reason}")
        self.name, self.line, self.reason = name, line, reason

    def __reduce__(self):
        return LineError, (self.name, self.line, self.reason)


class Source:
    """One input: its name for messages, what kind it turned out to be and how many records it held."""

    def __init__(self, name):
        self.name = name
        self.kind = None
        self.records = 0


def read_inputs(paths, column=None, count_column=None):
    """Read every input in turn ('-' is standard input) into one dict; returns (counts, sources)."""
    counts = {}
    sources = []
    for path in paths:
        source = Source("<stdin>" if path == "-" else path)
        with _open(path, source.name) as stream:
            _read_one(stream, path, source, counts, column, count_column)
        if source.records == 0:
            raise InputError(f"{source.name}: no peptides")
        sources.append(source)
    return counts, sources


def _chunks(stream, name):
    """(number of the first line, lines without their ends, clean) for each large chunk of a text stream.

    A clean chunk is ASCII without lower-case letters or runs of 20 digits, which spares the fast loops
    below those checks on every line.
    """
    rest = ""
    number = 1
    while True:
        try:
            chunk = stream.read(_CHUNK)
        except (OSError, EOFError, zlib.error) as e:
            # No line to name: the fault lies somewhere in a chunk of compressed data.
            raise InputError(f"{name}: cannot read: {_reason(e)}") from None
        if not chunk:
            break
        text = rest + chunk
        lines = text.split("\n")
        rest = lines.pop()
        if lines:
            yield number, lines, _clean(text)
            number += len(lines)
    if rest:
        yield number, [rest], _clean(rest)


def _clean(text):
    return text.isascii() and text.isupper() and _LONG_NUMBER.search(text) is None


def _numbered(chunks):
    for start, lines, _ in chunks:
        yield from enumerate(lines, start)


def _reason(error):
    if isinstance(error, (EOFError, zlib.error, gzip.BadGzipFile)):
        return "corrupt or truncated gzip data"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror[0].lower() + error.strerror[1:]
    return str(error) or type(error).__name__


class _open:
    """Open a path (or '-' for standard input) as text, gunzipping when the data starts with gzip's magic."""

    def __init__(self, path, name):
        self.path, self.name = path, name
        self.owned = None

    def __enter__(self):
        try:
            if self.path == "-":
                raw = sys.stdin.buffer
            else:
                raw = self.owned = open(self.path, "rb")
            buffered = raw if hasattr(raw, "peek") else io.BufferedReader(raw)
            binary = gzip.GzipFile(fileobj=buffered) if buffered.peek(2)[:2] == b"\x1f\x8b" else buffered
        except OSError as e:
            self.__exit__()
            raise InputError(f"{self.name}: cannot read: {_reason(e)}") from None
        # Undecodable bytes survive as surrogates and then fail the peptide check with a line number; a byte
        # order mark, as spreadsheets write, is dropped.
        return io.TextIOWrapper(binary, encoding="utf-8-sig", errors="surrogateescape", newline=None)

    def __exit__(self, *exc):
        if self.owned is not None:
            self.owned.close()


def _extension(path):
    base = path.lower()
    if base.endswith(".gz"):
        base = base[:-3]
    return os.path.splitext(base)[1]


class Layout:
    """How an input is read, as its name and first non-blank line show: its kind ("counts", "list", "fasta"
    or "table"), the separator of counts, the first line as (number, text), and a table's columns; for a
    file, whether it is gzip and, if not, the bytes up to the end of the first line."""

    def __init__(self, name, kind, first, separator=None, column=None, count_column=None):
        self.name, self.kind, self.first, self.separator = name, kind, first, separator
        self.column, self.count_column = column, count_column
        self.gzip = False
        self.first_end = 0


def _first_line(chunks, name):
    """The first non-blank line as (number, text), and the chunks from the line after it on."""
    for start, lines, _ in chunks:
        at = next((i for i, line in enumerate(lines) if line.strip()), None)
        if at is not None:
            # The lines after the first one, a header say, go on as a chunk of their own.
            after = lines[at + 1:]
            return (start + at, lines[at]), itertools.chain([(start + at + 1, after, _clean("\n".join(after)))],
                                                             chunks)
    raise InputError(f"{name}: no peptides")


def _layout(path, name, first, column, count_column):
    number, line = first
    extension = "" if path == "-" else _extension(path)
    separator = "," if extension == ".csv" else "\t"
    if line.lstrip().startswith(">") or extension in FASTA_EXTENSIONS:
        return Layout(name, "fasta", first)
    if column is not None:
        return Layout(name, "table", first, column=column, count_column=count_column)
    if count_column is not None:
        raise InputError(f"{name}: --count-column needs --column to name the peptide column")
    fields = line.split(separator)
    if len(fields) == 1 and len(line.split(";")) == 2:
        separator, fields = ";", line.split(";")
    elif len(fields) == 1 and len(line.split()) >= 2:
        separator, fields = None, line.split()  # apart by whitespace
    if len(fields) == 1:
        return Layout(name, "list", first)
    if len(fields) == 2:
        return Layout(name, "counts", first, separator)
    shown = ", ".join(repr(f.strip()) for f in fields[:8]) + (", ..." if len(fields) > 8 else "")
    raise LineError(name, number, f"{len(fields)} columns ({shown}); name the peptide column with --column NAME")


def _read_rest(layout, first, rest, source, counts):
    if layout.kind == "fasta":
        _read_fasta(first, rest, source, counts)
    elif layout.kind == "table":
        _read_table(first, rest, source, counts, layout.column, layout.count_column)
    elif layout.kind == "list":
        _read_list(first, rest, source, counts)
    else:
        _read_counts(first, rest, source, counts, layout.separator)


def check_sums(counts, name):
    if counts and max(counts.values()) > COUNT_MAX:
        peptide = max(counts, key=counts.__getitem__)
        raise InputError(f"{name}: the counts of {peptide} add up to more than 2**64 - 1")


def _read_one(stream, path, source, counts, column, count_column):
    first, rest = _first_line(_chunks(stream, source.name), source.name)
    layout = _layout(path, source.name, first, column, count_column)
    source.kind = layout.kind
    _read_rest(layout, first, rest, source, counts)
    check_sums(counts, source.name)


def shown(text):
    """Offending text in a message: its repr, shortened past 80 characters."""
    if len(text) <= 80:
        return repr(text)
    return f"{text[:60]!r}... ({len(text.encode('utf-8', 'surrogateescape')):,} bytes)"


def _peptide(text, name, number):
    """The peptide in a field: letters only, read in upper case."""
    text = text.strip()
    if text.isalpha() and text.isascii():
        return text if text.isupper() else text.upper()
    if not text:
        raise LineError(name, number, "empty peptide")
    raise LineError(name, number, f"{shown(text)} is not a peptide (letters only)")


def _count(text, name, number):
    text = text.strip()
    if text.isdigit() and text.isascii():
        digits = text.lstrip("0")
        if len(digits) <= 20 and int(digits or "0") <= COUNT_MAX:
            return int(digits or "0")
        shown_digits = text if len(text) <= 80 else f"{text[:40]}... ({len(text):,} digits)"
        raise LineError(name, number, f"count {shown_digits} is larger than 2**64 - 1")
    raise LineError(name, number, f"count {shown(text)} is not a non-negative integer")


def _read_list(first, rest, source, counts):
    number, line = first
    if line.strip().lower() in PEPTIDE_NAMES:
        _list_lines(rest, source, counts)
        return
    peptide = _peptide(line, source.name, number)
    counts[peptide] = counts.get(peptide, 0) + 1
    source.records += 1
    _list_lines(rest, source, counts)


def _list_lines(rest, source, counts):
    for number, line in _numbered(rest):
        if line.strip():
            peptide = _peptide(line, source.name, number)
            counts[peptide] = counts.get(peptide, 0) + 1
            source.records += 1


def _read_fasta(first, rest, source, counts):
    name = source.name
    header = None  # line number of the open record's header
    parts = []

    def close():
        if header is not None:
            if not parts:
                raise LineError(name, header, "FASTA record with no sequence")
            peptide = _peptide("".join(parts), name, header)
            counts[peptide] = counts.get(peptide, 0) + 1
            source.records += 1

    for number, line in itertools.chain([first], _numbered(rest)):
        text = line.strip()
        if text.startswith(">"):
            close()
            header, parts = number, []
        elif text:
            if header is None:
                raise LineError(name, number, "sequence before the first FASTA header ('>')")
            parts.append("".join(text.split()))
    close()


PEPTIDE_NAMES = {"peptide", "peptides", "sequence", "sequences", "anchor", "anchors", "seq", "peptide sequence",
                 "modified sequence", "modified.sequence", "stripped.sequence"}
COUNT_NAMES = {"count", "counts", "n", "frequency", "freq", "abundance", "intensity", "reads", "psms",
               "spectral count", "copies", "size", "number", "value", "weight"}


def _read_counts(first, rest, source, counts, separator):
    number, line = first
    # A count field without any digit marks a header when its names say so, or the first field is no
    # peptide; "x1", "-3" or "PROTA" beside a peptide is a bad count instead.
    peptide, count = (f.strip() for f in line.split(separator)[:2])
    header = not any(c.isdigit() for c in count) and (
        peptide.lower() in PEPTIDE_NAMES or count.lower() in COUNT_NAMES or not (peptide.isalpha() and peptide.isascii()))
    if not header:
        _counts_line(line, number, source, counts, separator)
    _count_lines(rest, source, counts, separator)


def _count_lines(rest, source, counts, separator):
    for number, line in _numbered(rest):
        _counts_line(line, number, source, counts, separator)


def _counts_line(line, number, source, counts, separator):
    if not line.strip():
        return
    fields = line.split(separator)
    if len(fields) != 2:
        what = {"\t": "a tab", ",": "a comma", ";": "a semicolon", None: "whitespace"}[separator]
        raise LineError(source.name, number, f"expected a peptide and a count separated by {what}, "
                                             f"found {len(fields)} field{'s' if len(fields) != 1 else ''}")
    peptide = _peptide(fields[0], source.name, number)
    counts[peptide] = counts.get(peptide, 0) + _count(fields[1], source.name, number)
    source.records += 1


def _table_columns(first, name, column, count_column):
    """(delimiter, header, index of the peptide column, index of the count column or None) of a table."""
    number, header_line = first
    delimiter = "\t" if "\t" in header_line else ";" if header_line.count(";") > header_line.count(",") else ","
    header = [h.strip() for h in next(csv.reader([header_line], delimiter=delimiter))]

    def index(wanted, option):
        if wanted in header:
            return header.index(wanted)
        shown = ", ".join(repr(h) for h in header[:12]) + (", ..." if len(header) > 12 else "")
        raise LineError(name, number, f"no column {wanted!r} for {option} (columns: {shown})")

    return delimiter, header, index(column, "--column"), (None if count_column is None
                                                          else index(count_column, "--count-column"))


def _read_table(first, rest, source, counts, column, count_column):
    name = source.name
    number = first[0]
    delimiter, header, at, count_at = _table_columns(first, name, column, count_column)
    needed = max(at, -1 if count_at is None else count_at) + 1
    rows = csv.reader((line for _, line in _numbered(rest)), delimiter=delimiter)
    for row in rows:
        if not row or (len(row) == 1 and not row[0].strip()):
            continue
        line_number = number + rows.line_num
        if len(row) < needed:
            raise LineError(name, line_number, f"{len(row)} field{'s' if len(row) != 1 else ''}, "
                                               f"the header has {len(header)}")
        peptide = _peptide(row[at], name, line_number)
        count = 1 if count_at is None else _count(row[count_at], name, line_number)
        counts[peptide] = counts.get(peptide, 0) + count
        source.records += 1
