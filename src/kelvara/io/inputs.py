"""Peptide files: tab-separated counts, plain lists, FASTA and tables with a header.

Python looks at the start of an input to tell its kind, and the native reader reads it whole, in large
pieces, into one table of unique peptides: several inputs add up their counts and each peptide keeps the
place of its first appearance. Any fault in an input raises InputError naming it and the line.
"""

import csv
import gzip
import io
import os
import re
import sys
import zlib

from kelvara import _core

COUNT_MAX = 2**64 - 1
FASTA_EXTENSIONS = (".fa", ".fasta", ".faa", ".fas", ".pep")
CHUNK = 1 << 22
# No line of an input may be longer (the native reader's own limit): no peptide is.
MAX_LINE = 1 << 20
_BOM = b"\xef\xbb\xbf"
_LINE_END = re.compile(rb"\r\n|\r|\n")
# Offending text longer than this is shown shortened in a message.
_SHOWN = 80


class InputError(Exception):
    """Bad input; the message names the input and, where there is one, the line."""


class LineError(InputError):
    """A fault on one line of an input."""

    def __init__(self, name, line, reason):
        super().__init__(f"{name}: line {line}: {reason}")
        self.name, self.line, self.reason = name, line, reason

    def __reduce__(self):
        return LineError, (self.name, self.line, self.reason)


# First fields that name a peptide column, and second fields that name a count column: a first line made
# of them is a header (any case).
PEPTIDE_NAMES = frozenset({"peptide", "peptides", "sequence", "sequences", "anchor", "anchors", "seq",
                           "peptide sequence", "modified sequence", "modified.sequence", "stripped.sequence"})
COUNT_NAMES = frozenset({"count", "counts", "n", "frequency", "freq", "abundance", "intensity", "reads", "psms",
                         "spectral count", "copies", "size", "number", "value", "weight"})


class Reading:
    """How the fields of every input are read: modified sequences stripped to their bare sequence, counts
    as decimal intensities, and where samples come from (each input one, or a table column)."""

    def __init__(self, strip_modifications=False, intensity=False, samples=False, sample_column=None):
        self.strip_modifications, self.intensity = strip_modifications, intensity
        self.samples, self.sample_column = samples, sample_column


class Source:
    """One input: its name for messages, what kind it turned out to be, how many records it held, and what
    reading it showed (records stripped of modifications, rows not quantified, records longer than a
    peptide usually is)."""

    def __init__(self, name, sample=None):
        self.name = name
        self.sample = sample
        self.kind = None
        self.records = 0
        self.stripped = 0
        self.unquantified = 0
        self.long_records = 0


def display_name(name):
    """Text as a message shows it: control characters and undecodable bytes escaped, so that a file name
    can neither move the terminal's cursor nor break the message's one line."""
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    name = str(name)
    if name.isprintable():
        return name
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in name)


def shown(text):
    """Offending text for a message: its repr, shortened when long."""
    if len(text) <= _SHOWN:
        return repr(text)
    return f"{text[:_SHOWN - 20]!r}... ({len(text):,} characters)"


def reason(error):
    """The cause of a read error, in the words of a message."""
    if isinstance(error, (EOFError, zlib.error, gzip.BadGzipFile)):
        return "corrupt or truncated gzip data"
    if isinstance(error, MemoryError):
        return "out of memory"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror[0].lower() + error.strerror[1:]
    return str(error) or type(error).__name__


def _extension(path):
    base = path.lower()
    if base.endswith(".gz"):
        base = base[:-3]
    return os.path.splitext(base)[1]


class _Binary:
    """An input opened for reading bytes ('-' for standard input), gunzipped when it starts with gzip's
    magic; `size` and `consumed()` tell how far reading has come, where that can be told."""

    def __init__(self, path, name):
        self.path, self.name = path, name
        self.owned = None
        self.raw = None
        self.size = None

    def __enter__(self):
        try:
            if self.path == "-":
                raw = sys.stdin.buffer
            else:
                raw = self.owned = open(self.path, "rb")
                try:
                    self.size = os.fstat(raw.fileno()).st_size or None
                except OSError:
                    pass
            buffered = raw if hasattr(raw, "peek") else io.BufferedReader(raw)
            self.raw = buffered
            self.gzip = buffered.peek(2)[:2] == b"\x1f\x8b"
            self.stream = gzip.GzipFile(fileobj=buffered) if self.gzip else buffered
        except OSError as e:
            self.__exit__()
            raise InputError(f"{display_name(self.name)}: cannot read: {reason(e)}") from None
        return self

    def read(self, n=CHUNK):
        try:
            return self.stream.read(n)
        except (OSError, EOFError, zlib.error, MemoryError) as e:
            # No line to name: the fault lies somewhere in a piece of compressed data.
            raise InputError(f"{display_name(self.name)}: cannot read: {reason(e)}") from None

    def consumed(self):
        try:
            return self.owned.tell() if self.owned is not None else None
        except (OSError, ValueError):
            return None

    def __exit__(self, *exc):
        if self.owned is not None:
            self.owned.close()


def decode(data):
    """Text of input bytes as a text stream reads them: undecodable bytes as surrogates (which then fail
    the peptide check with a line number), every line end as "\\n"."""
    return data.decode("utf-8", errors="surrogateescape").replace("\r\n", "\n").replace("\r", "\n")


def _first_line(f, name):
    """The first non-blank line as (number, text), and every byte read so far (without a byte order mark,
    as spreadsheets write one)."""
    data = f.read(1 << 16)
    while 0 < len(data) < len(_BOM) and data == _BOM[:len(data)]:
        piece = f.read(1 << 16)
        if not piece:
            break
        data += piece
    if data.startswith(_BOM):
        data = data[len(_BOM):]
    number, start, ended = 0, 0, not data

    def look(line):
        if len(line) > MAX_LINE:
            raise LineError(display_name(name), number, _too_long())
        text = line.decode("utf-8", errors="surrogateescape")
        return text if text.strip() else None

    while True:
        for end in _LINE_END.finditer(data, start):
            if end.group() == b"\r" and end.end() == len(data) and not ended:
                break  # perhaps the first half of "\r\n"
            number += 1
            text = look(data[start:end.start()])
            if text is not None:
                return (number, text), data
            start = end.end()
        if ended:
            if start < len(data):
                number += 1
                text = look(data[start:])
                if text is not None:
                    return (number, text), data
            raise InputError(f"{display_name(name)}: no peptides")
        if len(data) - start > MAX_LINE:
            number += 1
            look(data[start:])
        piece = f.read()
        ended = not piece
        data += piece


def _too_long():
    return f"line longer than {MAX_LINE:,} bytes: no peptide is that long"


class Layout:
    """How an input is read, as its name and first non-blank line show: its kind ("counts", "list", "fasta"
    or "table"), the separator of counts, the first line as (number, text), and a table's columns."""

    def __init__(self, name, kind, first, separator="\t", column=None, count_column=None):
        self.name, self.kind, self.first, self.separator = name, kind, first, separator
        self.column, self.count_column = column, count_column
        self.whitespace = False  # counts apart by runs of whitespace
        self.header = None  # a table's column names
        self.skip_through = 0  # the header's line, if there is one
        self.column_index = 0
        self.count_index = -1
        self.sample_index = -1
        self.gzip = False
        self.first_end = 0  # for a plain file, the bytes up to the end of the first line

    def begin(self, peptides, reading=None, sample=None):
        reading = reading or Reading()
        peptides.begin_input(self.kind, self.separator, self.skip_through, self.column_index, self.count_index,
                             len(self.header or ()), self.whitespace, reading.strip_modifications,
                             reading.intensity, sample, self.sample_index)


def _layout(path, name, first, column, count_column, sample_column=None):
    number, line = first
    shown_name = display_name(name)
    extension = "" if path == "-" else _extension(path)
    separator = "," if extension == ".csv" else "\t"
    if line.lstrip().startswith(">") or extension in FASTA_EXTENSIONS:
        return Layout(name, "fasta", first)
    if column is not None:
        layout = Layout(name, "table", first, column=column, count_column=count_column)
        _table_columns(layout, sample_column)
        return layout
    if count_column is not None:
        raise InputError(f"{shown_name}: --count-column needs --column to name the peptide column")
    if sample_column is not None:
        raise InputError(f"{shown_name}: --sample-column needs --column to name the peptide column")
    fields = line.split(separator)
    whitespace = False
    if len(fields) == 1:
        # Counts apart by a semicolon, as spreadsheets in much of Europe write CSV, or by spaces.
        if len(line.split(";")) == 2:
            separator, fields = ";", line.split(";")
        elif len(line.split()) >= 2:
            whitespace, fields = True, line.split()
    if len(fields) == 1:
        layout = Layout(name, "list", first)
        if line.strip().lower() in PEPTIDE_NAMES:
            layout.skip_through = number
        return layout
    if len(fields) == 2:
        layout = Layout(name, "counts", first, separator)
        layout.whitespace = whitespace
        if _is_header(fields):
            layout.skip_through = number
        return layout
    listed = ", ".join(shown(f.strip()) for f in fields[:8]) + (", ..." if len(fields) > 8 else "")
    raise LineError(shown_name, number, f"{len(fields)} columns ({listed}); name the peptide column with --column NAME")


def _is_header(fields):
    """Whether the two fields of a first line are column names rather than a peptide and a count: a count
    field without any digit ("count", "n") under a peptide column's name, or next to a first field that is no
    peptide. "x1" or "-3" is a bad count instead; so is "PROTA" next to a peptide."""
    first, second = fields[0].strip(), fields[1].strip()
    if any(c.isdigit() for c in second):
        return False
    return first.lower() in PEPTIDE_NAMES or second.lower() in COUNT_NAMES or not (first.isalpha() and first.isascii())


def _table_columns(layout, sample_column=None):
    """The delimiter, the header and the indexes of the peptide, count and sample columns of a table."""
    number, header_line = layout.first
    if "\t" in header_line:
        layout.separator = "\t"
    else:
        layout.separator = ";" if header_line.count(";") > header_line.count(",") else ","
    header = [h.strip() for h in next(csv.reader([header_line], delimiter=layout.separator))]

    def index(wanted, option):
        if wanted in header:
            return header.index(wanted)
        listed = ", ".join(shown(h) for h in header[:12]) + (", ..." if len(header) > 12 else "")
        raise LineError(display_name(layout.name), number, f"no column {shown(wanted)} for {option} (columns: {listed})")

    layout.header = header
    layout.skip_through = number
    layout.column_index = index(layout.column, "--column")
    layout.count_index = -1 if layout.count_column is None else index(layout.count_column, "--count-column")
    layout.sample_index = -1 if sample_column is None else index(sample_column, "--sample-column")


def fault_message(layout, fault, stripping=False):
    """The reason of a native reader's fault, in the words of the readers' messages."""
    kind, line, text, size, fields = fault
    text = text.decode("utf-8", errors="surrogateescape")
    long = size > _SHOWN
    if kind == "empty_peptide":
        return "empty peptide"
    if kind == "not_peptide":
        what = f"{text[:_SHOWN - 20]!r}... ({size:,} bytes)" if long else repr(text)
        hint = ""
        if not stripping and any(c in text for c in "[](){}_"):
            hint = "; --strip-modifications reads modified sequences as their bare sequence"
        return f"{what} is not a peptide (letters only){hint}"
    if kind == "count_too_large":
        return f"count {text[:40] + f'... ({size:,} digits)' if long else text} is larger than 2**64 - 1"
    if kind == "count_not_integer":
        what = f"{text[:_SHOWN - 20]!r}... ({size:,} bytes)" if long else repr(text)
        return f"count {what} is not a non-negative integer"
    if kind.startswith("intensity_"):
        what = f"{text[:_SHOWN - 20]!r}... ({size:,} bytes)" if long else repr(text)
        problem = {"intensity_not_number": "is not a number", "intensity_negative": "is negative",
                   "intensity_infinite": "is infinite"}[kind]
        return f"intensity {what} {problem}"
    if kind == "empty_sample":
        return "empty sample name"
    if kind == "fields":
        plural = "s" if fields != 1 else ""
        if layout.kind == "table":
            return f"{fields} field{plural}, the header has {len(layout.header)}"
        what = "whitespace" if layout.whitespace else {"\t": "a tab", ",": "a comma", ";": "a semicolon"}[layout.separator]
        return f"expected a peptide and a count separated by {what}, found {fields} field{plural}"
    if kind == "no_sequence":
        return "FASTA record with no sequence"
    if kind == "sequence_first":
        return "sequence before the first FASTA header ('>')"
    if kind == "line_too_long":
        return _too_long()
    if kind == "record_too_long":
        return f"FASTA record longer than {MAX_LINE:,} residues: no peptide is that long"
    if kind == "field_too_long":
        return "field larger than field limit (131072)"
    return kind


def raise_fault(layout, fault, line_offset=0, reading=None):
    stripping = reading is not None and reading.strip_modifications
    raise LineError(display_name(layout.name), fault[1] + line_offset, fault_message(layout, fault, stripping))


def peptide(text, name, number):
    """The peptide in a str field, by the native reader's rule: letters only, read in upper case."""
    text = text.strip()
    if text.isalpha() and text.isascii():
        return text if text.isupper() else text.upper()
    if not text:
        raise LineError(display_name(name), number, "empty peptide")
    raise LineError(display_name(name), number, f"{shown(text)} is not a peptide (letters only)")


def sample_inputs(paths):
    """[(path, sample name)] of inputs given as PATH or NAME=PATH: a name is the file's, without its
    extensions, unless NAME= gives it; standard input is "stdin"."""
    out = []
    for path in paths:
        name, _, rest = path.partition("=")
        if rest and name and not os.path.exists(path):
            out.append((rest, name))
            continue
        base = "stdin" if path == "-" else os.path.basename(path)
        if base.lower().endswith(".gz"):
            base = base[:-3]
        out.append((path, os.path.splitext(base)[0] or base))
    return out


def read_inputs(paths, column=None, count_column=None, peptides=None, progress=None, reading=None):
    """Read every input in turn ('-' is standard input) into one native peptide table; returns
    (peptides, sources). `progress(done, total)`, when given, is called as bytes are read."""
    if peptides is None:
        peptides = _core._Peptides()
    reading = reading or Reading()
    named = sample_inputs(paths) if reading.samples else [(path, None) for path in paths]
    sources = []
    for path, sample in named:
        source = Source("<stdin>" if path == "-" else path, sample)
        with _Binary(path, source.name) as f:
            first, data = _first_line(f, source.name)
            layout = _layout(path, source.name, first, column, count_column, reading.sample_column)
            source.kind = layout.kind
            layout.begin(peptides, reading, sample)
            while data:
                fault = peptides.feed(data)
                if fault is not None:
                    raise_fault(layout, fault, reading=reading)
                if progress is not None:
                    progress(f.consumed(), f.size)
                data = f.read()
            figures = peptides.end_input()
            if figures["fault"] is not None:
                raise_fault(layout, figures["fault"], reading=reading)
        source.records, source.stripped = figures["records"], figures["stripped"]
        source.unquantified, source.long_records = figures["unquantified"], figures["long_records"]
        if source.records == 0:
            raise InputError(f"{display_name(source.name)}: no peptides")
        check_sums(peptides, source.name)
        sources.append(source)
    return peptides, sources


def check_sums(peptides, name):
    peptide = peptides.largest_overflow()
    if peptide is not None:
        raise InputError(f"{display_name(name)}: the counts of {peptide} add up to more than 2**64 - 1")


def sniff(path, column=None, count_column=None):
    """The Layout of a file, from its first non-blank line and its name, reading no more than the start."""
    with _Binary(path, path) as f:
        first, _ = _first_line(f, path)
        layout = _layout(path, path, first, column, count_column)
        layout.gzip = f.gzip
    if not layout.gzip:
        # The bytes up to the end of the first line: a part cut there holds everything that decides the layout.
        with open(path, "rb") as f:
            head = b""
            while decode(head).count("\n") < first[0]:
                line = f.readline(MAX_LINE + 2)
                if not line:
                    break
                head += line
        layout.first_end = len(head)
    return layout


def read_part(data, layout, first_part):
    """A part of an input cut at line ends, read as read_inputs reads the whole: returns (a native peptide
    table, its records, its lines). Lines are numbered from 1 at the part's start; the first part must reach
    at least layout.first_end, so that it holds the first line, and a table's header."""
    peptides = _core._Peptides()
    if first_part and data.startswith(_BOM):
        data = data[len(_BOM):]
    skip = layout.skip_through
    if not first_part:
        layout.skip_through = 0
    try:
        layout.begin(peptides)
    finally:
        layout.skip_through = skip
    if layout.kind == "fasta":
        raise ValueError(f"{layout.name}: FASTA is read whole, not in parts")
    fault = peptides.feed(data)
    if fault is not None:
        raise_fault(layout, fault)
    figures = peptides.end_input()
    if figures["fault"] is not None:
        raise_fault(layout, figures["fault"])
    return peptides, figures["records"], figures["lines"]
