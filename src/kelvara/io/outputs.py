"""Outputs: the clusters as a table (TSV or CSV), in CD-HIT's .clstr layout and as FASTA of centroids, the
summary as JSON.

A file is written under a temporary name beside its target and renamed only once every output is complete,
so a failed or interrupted run leaves none of them behind, not even a partial one. A name ending in .gz is
written gzip-compressed; '-' is standard output, and a device or a pipe is written as it is.
"""

import io
import json
import os
import sys
import tempfile
import zlib

TABLE_COLUMNS = ("peptide", "length", "count", "cluster", "centroid", "similarity", "cluster_members",
                 "cluster_count")
PIECE = 1 << 20  # bytes of output made natively at a time
STDOUT = "-"


def table_kind(target):
    """"csv" for a target named .csv (or .csv.gz), else "tsv"."""
    name = target.lower()
    return "csv" if name.endswith((".csv", ".csv.gz")) else "tsv"


class _Gzip:
    """gzip (level 6, as the gzip tool writes it) around a binary file."""

    def __init__(self, f):
        self.f = f
        self.compressor = zlib.compressobj(6, zlib.DEFLATED, 31)

    def write(self, data):
        self.f.write(self.compressor.compress(data))

    def close(self):
        self.f.write(self.compressor.flush())
        self.f.close()


class _Unclosed:
    """Standard output, which stays open after the run writes to it."""

    def __init__(self, f):
        self.f = f

    def write(self, data):
        self.f.write(data)

    def close(self):
        self.f.flush()


class PendingFiles:
    """Files written under temporary names beside their targets, renamed together by commit()."""

    def __init__(self):
        self._pending = []  # (temporary path, target)

    def open(self, target):
        """A binary sink for the target, with write(bytes) and close()."""
        if target == STDOUT:
            f = _Unclosed(sys.stdout.buffer)
        elif os.path.exists(target) and not os.path.isfile(target):
            # A device or a pipe, /dev/stdout say, is written as it is: renaming over it would replace it.
            f = open(target, "wb")
        else:
            directory = os.path.dirname(os.path.abspath(target))
            fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(target) + ".", suffix=".part",
                                             dir=directory)
            self._pending.append((temporary, target))
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)  # what a plain open() would have given the file
            f = open(fd, "wb")
        return _Gzip(f) if target != STDOUT and target.lower().endswith(".gz") else f

    def temporaries(self):
        return [temporary for temporary, _ in self._pending]

    def commit(self):
        for temporary, target in self._pending:
            os.replace(temporary, target)
        self._pending = []

    def discard(self):
        for temporary, _ in self._pending:
            try:
                os.unlink(temporary)
            except OSError:
                pass
        self._pending = []


def write_native(f, peptides, output, progress=None, header=None):
    """Write one of the native outputs ("tsv", "csv", "clstr", "centroids") of a clustered peptide table in
    pieces; `progress(done, total)` follows them."""
    if header is not None:
        f.write(header)
    total = peptides.units(output)
    start = 0
    while start < total:
        data, start = peptides.render(output, start, PIECE)
        f.write(data)
        if progress is not None:
            progress(start, total)


def write_table(f, peptides, output="tsv", progress=None, origin=False):
    """The table; `origin` for an assignment's, whose last column says where each cluster came from."""
    separator = "," if output == "csv" else "\t"
    columns = TABLE_COLUMNS + (("origin",) if origin else ())
    write_native(f, peptides, output, progress, (separator.join(columns) + "\n").encode())


def write_sample_table(f, peptides, progress=None):
    """Clusters by samples: per cluster its number, centroid, length, members and summed count, then per
    sample its summed count and how many of the cluster's peptides it holds."""
    columns = ["cluster", "centroid", "length", "members", "cluster_count"]
    for name in peptides.sample_names():
        name = " ".join(name.split())  # one line, no tab: a sample name is a column name here
        columns += [f"{name}_count", f"{name}_peptides"]
    write_native(f, peptides, "samples", progress, ("\t".join(columns) + "\n").encode("utf-8", "surrogateescape"))


def write_json(f, summary):
    f.write((json.dumps(summary, indent=2) + "\n").encode())


def text_sink(f):
    """A text stream over a binary sink, for writers that write str."""

    class _Raw(io.RawIOBase):
        def writable(self):
            return True

        def write(self, data):
            f.write(bytes(data))
            return len(data)

    return io.TextIOWrapper(io.BufferedWriter(_Raw()), encoding="utf-8", newline="\n")
