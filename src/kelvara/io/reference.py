"""A reference clustering to assign new peptides to: its centroids, in the order its file lists them, with
their lengths and cluster numbers, and the parameters of the run that made it where they were recorded.

A reference is a kelvara table (TSV or CSV, gzip or plain), a CD-HIT-style .clstr file whose entries are
named by their peptides, or a FASTA file of centroids (kelvara's --centroids writes one). Anything else, or
a table that contradicts itself, is an InputError naming the file and, where there is one, the line.
"""

import array
import gzip
import json
import os
import re

from kelvara import _core
from kelvara.io.inputs import InputError, LineError, display_name

SIDECAR = ".kelvara.json"  # beside a table: the parameters of the run that wrote it
_CLUSTER = re.compile(r">Cluster (\d+)\s*$")
_ENTRY = re.compile(r"^\d+\t\d+aa, >(.*?)\.\.\. (\*|at .*)$")
_NUMBER = re.compile(r"(?:^|\s)cluster=(\d+)(?:\s|$)")


class Reference:
    """Per length, the centroids in file order (end to end) and their cluster numbers (native-endian uint64);
    the recorded parameters, or None."""

    def __init__(self, name):
        self.name = name
        self.packed = {}  # length: (centroids, numbers)
        self.parameters = None
        self.clusters = 0
        self._centroids, self._numbers = {}, {}  # while a file is read

    def lengths(self):
        return sorted(self.packed)

    def size(self, length):
        return len(self.packed[length][1]) // 8 if length in self.packed else 0

    def add(self, peptide, number, where):
        if not (peptide.isalpha() and peptide.isascii() and peptide.isupper()):
            raise LineError(display_name(self.name), where, f"centroid {peptide!r} is not a peptide (upper-case letters)")
        if number > 0xFFFFFFFE:
            raise LineError(display_name(self.name), where, f"cluster number {number} is not below 4,294,967,295")
        self._centroids.setdefault(len(peptide), []).append(peptide)
        self._numbers.setdefault(len(peptide), []).append(number)
        self.clusters += 1

    def pack(self):
        for length, centroids in self._centroids.items():
            self.packed[length] = ("".join(centroids).encode(), array.array("Q", self._numbers[length]).tobytes())
        self._centroids, self._numbers = {}, {}


def parameters_path(table):
    return table + SIDECAR


def read_reference(path):
    """The Reference of a file, told apart by its content."""
    name = display_name(path)
    try:
        opener = gzip.open if _is_gzip(path) else open
        with opener(path, "rt", encoding="utf-8", errors="surrogateescape", newline=None) as f:
            text = f.read()
    except (OSError, EOFError) as e:
        raise InputError(f"{name}: cannot read the reference: {e.strerror or e}") from None
    reference = Reference(path)
    first = next((line for line in text[:1 << 16].split("\n") if line.strip()), "")
    if first.startswith(">Cluster "):
        _read_clstr(reference, text.split("\n"))
    elif first.startswith(">"):
        _read_fasta(reference, text.split("\n"))
    else:
        _read_table(reference, text)
    reference.pack()
    if reference.clusters == 0:
        raise InputError(f"{name}: the reference holds no clusters")
    sidecar = parameters_path(path)
    if os.path.isfile(sidecar):
        try:
            with open(sidecar, encoding="utf-8") as f:
                reference.parameters = json.load(f)["parameters"]
        except (OSError, ValueError, KeyError, TypeError) as e:
            raise InputError(f"{display_name(sidecar)}: not the parameters of a kelvara run: {e}") from None
    return reference


def _is_gzip(path):
    with open(path, "rb") as f:
        return f.read(2) == b"\x1f\x8b"


def _read_table(reference, text):
    name = display_name(reference.name)
    header, _, body = text.partition("\n")
    header = header.rstrip("\r")
    separator = "\t" if "\t" in header else ","
    columns = header.split(separator)
    missing = [c for c in ("peptide", "centroid") if c not in columns]
    if missing:
        raise InputError(f"{name}: not a kelvara table: no column {missing[0]!r} (columns: "
                         f"{', '.join(repr(c) for c in columns[:12])})")
    cluster = columns.index("cluster") if "cluster" in columns else -1
    found = _core._read_reference_table(body.encode("utf-8", "surrogateescape"), separator, len(columns),
                                        columns.index("peptide"), columns.index("centroid"), cluster)
    if isinstance(found[1], str):
        line, message = found
        raise LineError(name, line, message)
    reference.clusters, reference.packed = found


def _read_clstr(reference, lines):
    name = display_name(reference.name)
    number, marked, start = None, None, 0
    for at, line in enumerate(lines + [">Cluster end"], 1):
        line = line.rstrip("\r")
        if not line.strip():
            continue
        if line.startswith(">Cluster"):
            if number is not None:
                if marked is None:
                    raise LineError(name, start, f"cluster {number} has no centroid marked '*'")
                reference.add(marked, number, start)
            if at > len(lines):
                break
            found = _CLUSTER.match(line)
            if found is None:
                raise LineError(name, at, f"{line[:60]!r} is not a .clstr cluster line")
            number, marked, start = int(found.group(1)), None, at
            continue
        entry = _ENTRY.match(line)
        if entry is None or number is None:
            raise LineError(name, at, "not a .clstr entry ('0\\t9aa, >NAME... *')")
        if entry.group(2) == "*":
            if marked is not None:
                raise LineError(name, at, f"cluster {number} has two centroids marked '*'")
            marked = entry.group(1)
    _check_distinct(reference)


def _read_fasta(reference, lines):
    name = display_name(reference.name)
    header, sequence = None, []

    def close():
        if header is not None:
            at, text = header
            if not sequence:
                raise LineError(name, at, "FASTA record with no sequence")
            found = _NUMBER.search(text)
            reference.add("".join(sequence).upper(), int(found.group(1)) if found else reference.clusters, at)

    for at, line in enumerate(lines, 1):
        line = line.strip()
        if line.startswith(">"):
            close()
            header, sequence = (at, line), []
        elif line:
            if header is None:
                raise LineError(name, at, "sequence before the first FASTA header ('>')")
            sequence.append("".join(line.split()))
    close()
    _check_distinct(reference)


def _check_distinct(reference):
    name = display_name(reference.name)
    for centroids in reference._centroids.values():
        if len(set(centroids)) != len(centroids):
            seen = set()
            twice = next(c for c in centroids if c in seen or seen.add(c))
            raise InputError(f"{name}: centroid {twice} stands for two clusters")
    numbers = [n for ns in reference._numbers.values() for n in ns]
    if len(set(numbers)) != len(numbers):
        raise InputError(f"{name}: cluster numbers are given twice")
