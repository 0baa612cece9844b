"""Peptide files for the command line: tab-separated counts, plain lists, FASTA and tables with a header.

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


def _read_one(stream, path, source, counts, column, count_column):
    chunks = _chunks(stream, source.name)
    first = None
    for start, lines, _ in chunks:
        at = next((i for i, line in enumerate(lines) if line.strip()), None)
        if at is not None:
            first = (start + at, lines[at])
            # The lines after the first one, a header say, go on as a chunk of their own.
            after = lines[at + 1:]
            rest = itertools.chain([(start + at + 1, after, _clean("\n".join(after)))], chunks)
            break
    if first is None:
        raise InputError(f"{source.name}: no peptides")
    number, line = first
    extension = "" if path == "-" else _extension(path)
    separator = "," if extension == ".csv" else "\t"
    if line.lstrip().startswith(">") or extension in FASTA_EXTENSIONS:
        source.kind = "fasta"
        _read_fasta(first, rest, source, counts)
    elif column is not None:
        source.kind = "table"
        _read_table(first, rest, source, counts, column, count_column)
    elif count_column is not None:
        raise InputError(f"{source.name}: --count-column needs --column to name the peptide column")
    else:
        fields = line.split(separator)
        if len(fields) == 1:
            source.kind = "list"
            _read_list(first, rest, source, counts)
        elif len(fields) == 2:
            source.kind = "counts"
            _read_counts(first, rest, source, counts, separator)
        else:
            shown = ", ".join(repr(f.strip()) for f in fields[:8]) + (", ..." if len(fields) > 8 else "")
            raise InputError(f"{source.name}: line {number}: {len(fields)} columns ({shown}); "
                             f"name the peptide column with --column NAME")
    if counts and max(counts.values()) > COUNT_MAX:
        peptide = max(counts, key=counts.__getitem__)
        raise InputError(f"{source.name}: the counts of {peptide} add up to more than 2**64 - 1")


def _peptide(text, name, number):
    """The peptide in a field: letters only, read in upper case."""
    text = text.strip()
    if text.isalpha() and text.isascii():
        return text if text.isupper() else text.upper()
    if not text:
        raise InputError(f"{name}: line {number}: empty peptide")
    raise InputError(f"{name}: line {number}: {text!r} is not a peptide (letters only)")


def _count(text, name, number):
    text = text.strip()
    if text.isdigit() and text.isascii():
        value = int(text)
        if value <= COUNT_MAX:
            return value
        raise InputError(f"{name}: line {number}: count {text} is larger than 2**64 - 1")
    raise InputError(f"{name}: line {number}: count {text!r} is not a non-negative integer")


def _read_list(first, rest, source, counts):
    name = source.name
    number, line = first
    peptide = _peptide(line, name, number)
    counts[peptide] = counts.get(peptide, 0) + 1
    source.records += 1
    get = counts.get
    for start, lines, clean in rest:
        taken = 0
        if clean:
            # Fast loop over lines that are exactly a peptide; the first other line ends it.
            for taken, line in enumerate(lines):
                if not line.isalpha():
                    break
                counts[line] = get(line, 0) + 1
            else:
                taken = len(lines)
        source.records += taken
        for number, line in enumerate(lines[taken:], start + taken):
            if line.strip():
                peptide = _peptide(line, name, number)
                counts[peptide] = get(peptide, 0) + 1
                source.records += 1


def _read_fasta(first, rest, source, counts):
    name = source.name
    header = None  # line number of the open record's header
    parts = []

    def close():
        if header is not None:
            if not parts:
                raise InputError(f"{name}: line {header}: FASTA record with no sequence")
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
                raise InputError(f"{name}: line {number}: sequence before the first FASTA header ('>')")
            parts.append("".join(text.split()))
    close()


def _read_counts(first, rest, source, counts, separator):
    number, line = first
    # A count field without any digit ("count", "n") marks a header; "x1" or "-3" is a bad count instead.
    if any(c.isdigit() for c in line.split(separator)[1]):
        _counts_line(line, number, source, counts, separator)
    get = counts.get
    for start, lines, clean in rest:
        taken = 0
        if clean:
            # Fast loop over exact 'PEPTIDE<sep>digits' lines; the first other line, blank or faulty or
            # merely untidy, ends it and the careful reading below takes over for the rest of the chunk.
            # Counts have under 20 digits, so only a sum can pass 2**64 - 1 (checked once the file is read).
            try:
                for taken, line in enumerate(lines):
                    peptide, count = line.split(separator)
                    if not (count.isdigit() and peptide.isalpha()):
                        break
                    counts[peptide] = get(peptide, 0) + int(count)
                else:
                    taken = len(lines)
            except ValueError:
                pass
        source.records += taken
        for number, line in enumerate(lines[taken:], start + taken):
            _counts_line(line, number, source, counts, separator)


def _counts_line(line, number, source, counts, separator):
    if not line.strip():
        return
    fields = line.split(separator)
    if len(fields) != 2:
        what = "a tab" if separator == "\t" else "a comma"
        raise InputError(f"{source.name}: line {number}: expected a peptide and a count separated by {what}, "
                         f"found {len(fields)} field{'s' if len(fields) != 1 else ''}")
    peptide = _peptide(fields[0], source.name, number)
    counts[peptide] = counts.get(peptide, 0) + _count(fields[1], source.name, number)
    source.records += 1


def _read_table(first, rest, source, counts, column, count_column):
    name = source.name
    number, header_line = first
    delimiter = "\t" if "\t" in header_line else ","
    header = [h.strip() for h in next(csv.reader([header_line], delimiter=delimiter))]

    def index(wanted, option):
        if wanted in header:
            return header.index(wanted)
        shown = ", ".join(repr(h) for h in header[:12]) + (", ..." if len(header) > 12 else "")
        raise InputError(f"{name}: line {number}: no column {wanted!r} for {option} (columns: {shown})")

    at = index(column, "--column")
    count_at = None if count_column is None else index(count_column, "--count-column")
    needed = max(at, -1 if count_at is None else count_at) + 1
    rows = csv.reader((line for _, line in _numbered(rest)), delimiter=delimiter)
    for row in rows:
        if not row or (len(row) == 1 and not row[0].strip()):
            continue
        line_number = number + rows.line_num
        if len(row) < needed:
            raise InputError(f"{name}: line {line_number}: {len(row)} field{'s' if len(row) != 1 else ''}, "
                             f"the header has {len(header)}")
        peptide = _peptide(row[at], name, line_number)
        count = 1 if count_at is None else _count(row[count_at], name, line_number)
        counts[peptide] = counts.get(peptide, 0) + count
        source.records += 1
