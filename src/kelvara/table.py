"""The command line's job from Python, tables in and a table out.

Peptides come as any Arrow column or table (polars, pyarrow, pandas, DuckDB and the like hand them over
through the Arrow PyCapsule interface, read natively without pyarrow), a numpy array or sequence of str, or
a dict of peptide to count. The result is the command line's table, which is itself an Arrow stream:
``polars.DataFrame(result)`` or ``pyarrow.table(result)`` take it as it is.
"""

import math
import numbers
import os
import time

from kelvara import _core, job
from kelvara.io.inputs import InputError
from kelvara.io.outputs import TABLE_COLUMNS

__all__ = ["cluster_peptides", "assign", "ClusterTable"]

MAX_THREADS = 65535
MAX_PEPTIDE = 1 << 20
_I64 = 2**63 - 1
# Offending text longer than this is shown shortened in a message.
_SHOWN = 80


class ClusterTable:
    """Clustered peptides as the command line writes them: one row per clustered peptide, the largest
    clusters first (most members, then the largest summed count), within a cluster its centroid first,
    then by count.

    Columns: peptide (string), length (uint32), count (uint64), cluster (uint32), centroid (string),
    similarity (double, to the centroid, the measure that decided membership), cluster_members (uint32)
    and cluster_count (uint64, the cluster's summed count; decimal128(38, 0) in the rare table where a sum
    passes 2**64 - 1).

    The table is an Arrow stream (``__arrow_c_stream__``): polars, pyarrow, DuckDB and others read it
    without a copy of the numbers. ``summary`` is the run's summary, as ``kelvara cluster --summary-json``
    writes it.
    """

    __slots__ = ("_native", "_rows", "_job", "summary", "columns")

    def __init__(self, native, rows, summary, job=None):
        self._native = native
        self._rows = rows
        self._job = job  # the native clustering, which assign() can take as its reference
        self.summary = summary
        self.columns = TABLE_COLUMNS + (("origin",) if "reference" in summary else ())

    def __len__(self):
        return self._rows

    def __arrow_c_stream__(self, requested_schema=None):
        """An ArrowArrayStream capsule of the table; ``requested_schema`` may ask for other string and
        integer types of the same columns (string_view, large_string, int64, ...)."""
        return _core._table_stream(self._native, requested_schema)

    def to_arrow(self):
        """The table as a pyarrow.Table (needs pyarrow)."""
        import pyarrow

        return pyarrow.RecordBatchReader.from_stream(self).read_all()

    def to_polars(self):
        """The table as a polars.DataFrame (needs polars)."""
        import polars

        return polars.DataFrame(self)

    def to_pandas(self):
        """The table as a pandas.DataFrame (needs pandas and pyarrow)."""
        return self.to_arrow().to_pandas()

    def __repr__(self):
        lengths = [r["length"] for r in self.summary["lengths"]]
        clusters = sum(r["clusters"] for r in self.summary["lengths"])
        shown = "" if not lengths else (f", length {lengths[0]}" if len(lengths) == 1
                                        else f", lengths {lengths[0]}-{lengths[-1]}")
        return f"<ClusterTable: {self._rows:,} peptides in {clusters:,} clusters{shown}>"


def cluster_peptides(peptides, counts=None, *, column=None, threshold=0.7, positions=(1, -1), weight=2.0,
                     length=None, refine=0, threads=0, block_search=False, max_probes=0, min_block_bound=0.0,
                     cap=32, merge=True, fast_medoid=False, merge_cap=0):
    """Cluster peptides as ``kelvara cluster`` does, and return its table as a ClusterTable.

    Peptides are read as the command line reads them: surrounding whitespace stripped, letters only, in
    upper case; the counts of a peptide given more than once are added up and it keeps the place of its
    first appearance, which breaks ties between equal counts. Each length is clustered on its own;
    lengths too short for the positions are left out (``summary["peptides"]["left_out_by_length"]``).

    Args:
        peptides: the peptides, one per row: any object with ``__arrow_c_stream__`` or
            ``__arrow_c_array__`` (a polars, pyarrow or pandas column or table, a DuckDB relation), a
            numpy array or any other sequence of str, or a dict of peptide to count. A table's peptide
            column is ``column``, else the one named peptide, sequence or anchor (any case, in that order).
        counts: how often each row was seen (integers from 0 to 2**64 - 1): None for once each (a table's
            column named count, any case, if it has one), the name of a table's column, or a column or
            sequence of integers as long as the peptides. None for a dict.
        column: the peptide column of a table.
        threshold: minimum similarity to join a centroid, from -1 to 1.
        positions: anchor positions from 0, negative from the end: (1, -1) is the second residue and the
            C-terminus of every length. 1 to 8 of them.
        weight: weight of the anchor positions; others weigh 1.
        length: cluster only the peptides of this length.
        refine: up to this many passes of refinement after clustering (medoids, reassignment, merge).
        threads: worker threads: 0 one per processor, 1 serial; results are identical.
        block_search: also search neighbouring blocks that could hold a centroid above the threshold.
        max_probes: with block_search, at most this many blocks per peptide, its own included (0: no limit).
        min_block_bound: with block_search, search only blocks whose similarity bound reaches this.
        cap: with refine, centroids compared per peptide when reassigning (0: no cap).
        merge: with refine, merge similar centroids.
        fast_medoid: with refine, medoids by a per-position decomposition, linear in the cluster size.
        merge_cap: with refine, candidate centroids examined per centroid when merging (0: no cap).

    Returns:
        a ClusterTable with the rows and columns of the command line's table, and the run's summary as
        its ``summary``. No peptides give an empty table.

    Raises:
        ValueError for a bad peptide or count, naming its row (rows count from 0, as a frame's do), for a
        missing column and for options out of range; TypeError for values or columns of the wrong type.
    """
    options = _options(threshold, positions, weight, length, threads, block_search, max_probes, min_block_bound,
                       refine, cap, merge, fast_medoid, merge_cap)
    return _run(peptides, counts, column, options)


def _run(peptides, counts, column, options, reference=None):
    if column is not None and not isinstance(column, str):
        raise TypeError(f"column must be a str or None, not {type(column).__name__}")
    seconds = {}
    started = time.perf_counter()
    table = _core._Peptides()
    source, kind = _source(peptides, "peptides")
    count_column, count_source = None, None
    if isinstance(counts, str):
        count_column = counts
    elif counts is not None:
        if kind == "dict":
            raise TypeError("counts must be None when the peptides are a dict: the dict holds them")
        count_source, _ = _source(counts, "counts")
    rows, peptide_column, count_column, fault = table.add_rows(source, count_source, column, count_column)
    if fault is not None:
        raise _fault_error(fault)
    overflow = table.largest_overflow()
    if overflow is not None:
        raise ValueError(f"the counts of {overflow} add up to more than 2**64 - 1")
    seconds["read"] = time.perf_counter() - started

    if table.size() == 0:
        lengths, left_out = [], {}
        table.order()
    else:
        try:
            lengths, left_out = job.cluster(table, options, None, seconds, reference=reference)
        except InputError as error:
            raise ValueError(str(error)) from None
    ordered = time.perf_counter()
    native, result_rows = table.result()
    seconds["write"] = seconds.get("write", 0.0) + time.perf_counter() - ordered
    seconds["total"] = time.perf_counter() - started

    from kelvara import __version__

    summary = {
        "kelvara": __version__,
        "inputs": [{"name": _type_name(peptides), "kind": "table" if peptide_column is not None else
                    "dict" if kind == "dict" else "column", "records": rows, "column": peptide_column,
                    "count_column": count_column}],
        "parameters": _parameters(options),
        "peptides": {
            "records": rows,
            "read": table.size(),
            "kept": sum(r["anchors"] for r in lengths),
            "left_out_by_length": {str(n): k for n, k in sorted(left_out.items())},
            "count": sum(r["count"] for r in lengths),
        },
        "lengths": lengths,
        "seconds": seconds,
    }
    if reference is not None:
        summary["reference"] = {
            "name": reference.name, "clusters": reference.clusters,
            "joined": sum(r["assignment"]["joined"] for r in lengths),
            "reference_clusters_joined": sum(r["assignment"]["reference_clusters_joined"] for r in lengths),
            "new_clusters": sum(r["assignment"]["new_clusters"] for r in lengths)}
    return ClusterTable(native, result_rows, summary, table)


def assign(reference, peptides, counts=None, *, column=None, threshold=None, positions=None, weight=None,
           length=None, threads=0):
    """Assign peptides to an existing clustering, as ``kelvara assign`` does, and return its table.

    The peptides of each length, most frequent first, are clustered by the greedy pass of
    ``cluster_peptides`` with each block's centroids starting as the reference's centroids of that block, in
    the reference's order (largest cluster first): a peptide joins the first it is ``threshold`` similar to,
    or becomes a new centroid after them. Reference centroids never move and are never compared with each
    other; a peptide equal to one joins it at once. Lengths the reference lacks make new clusters only.
    Refinement is not part of assignment, which keeps the reference's centroids.

    Args:
        reference: a ClusterTable (from cluster_peptides or assign), or the path of a kelvara table (TSV
            or CSV, gzip or plain), a .clstr file naming its entries by peptide, or a FASTA of centroids.
        peptides, counts, column, length, threads: as for cluster_peptides.
        threshold, positions, weight: as for cluster_peptides; by default the reference's (a ClusterTable's
            own, or those a kelvara table records beside it). positions and weight must be the reference's;
            a reference that records none (a .clstr or FASTA file) needs positions.

    Returns:
        a ClusterTable with the command line's columns and a last one, origin: "reference" for a reference
        cluster, which keeps its number, "new" for the others, numbered after the reference's. Its summary's
        "reference" says how many peptides joined reference clusters and how many clusters are new.

    Raises:
        as cluster_peptides; ValueError for a reference that contradicts itself, or for positions or a weight
        other than the reference's.
    """
    from kelvara.io.reference import Reference, read_reference

    if isinstance(reference, ClusterTable):
        if reference._job is None:
            raise ValueError("this ClusterTable keeps no clustering to assign to")
        made = Reference("ClusterTable")
        made.packed = reference._job.as_reference()
        made.clusters = sum(len(numbers) // 8 for _, numbers in made.packed.values())
        made.parameters = reference.summary["parameters"]
        reference = made
    else:
        try:
            reference = read_reference(os.fspath(reference))
        except InputError as error:
            raise ValueError(str(error)) from None
    recorded = reference.parameters or {}
    if positions is None:
        if "positions" not in recorded:
            raise ValueError(f"{reference.name} records no anchor positions: give positions as its run had them")
        positions = recorded["positions"]
    elif "positions" in recorded and any(
            sorted(set(job.resolve_positions(list(positions), n))) != sorted(set(job.resolve_positions(
                recorded["positions"], n))) for n in reference.lengths()):
        raise ValueError(f"{reference.name} was clustered with positions {tuple(recorded['positions'])}: give the "
                         f"same, or leave positions out")
    if weight is None:
        weight = recorded.get("weight", 2.0)
    elif "weight" in recorded and float(weight) != float(recorded["weight"]):
        raise ValueError(f"{reference.name} was clustered with weight {recorded['weight']}: give the same, or leave "
                         f"weight out")
    if threshold is None:
        threshold = recorded.get("threshold", 0.7)
    options = _options(threshold, positions, weight, length, threads, False, 0, 0.0, 0, 32, True, False, 0)
    return _run(peptides, counts, column, options, reference)


def _type_name(obj):
    kind = type(obj)
    module = kind.__module__.split(".")[0]
    return kind.__qualname__ if module == "builtins" else f"{module}.{kind.__qualname__}"


def _source(obj, what):
    """The native reader's source for an input, and what kind of input it is."""
    kind = type(obj)
    if hasattr(kind, "__arrow_c_stream__"):
        try:
            capsule = obj.__arrow_c_stream__()
        except Exception:
            # pandas hands an object column over through pyarrow, which refuses mixed values without
            # saying where; read as a sequence, the first bad row is named.
            if kind.__module__.split(".")[0] == "pandas" and kind.__name__ == "Series":
                return ("sequence", obj), "column"
            raise
        return ("stream", capsule), "stream"
    if hasattr(kind, "__arrow_c_array__"):
        pair = obj.__arrow_c_array__()
        if not (isinstance(pair, tuple) and len(pair) == 2):
            raise TypeError(f"{what}: __arrow_c_array__() returned no (schema, array) pair")
        return ("array", *pair), "array"
    if isinstance(obj, (str, bytes, bytearray)):
        raise TypeError(f"{what} must be a column or sequence of them, not one {kind.__name__}")
    if isinstance(obj, dict):
        if what == "counts":
            raise TypeError("counts must be a column or sequence of integers, not a dict")
        return ("dict", obj), "dict"
    if kind.__module__ == "numpy" and hasattr(obj, "tolist"):
        if getattr(obj, "ndim", 1) != 1:
            raise TypeError(f"{what} must be a one-dimensional array, not {obj.ndim}-dimensional")
        return ("sequence", obj.tolist()), "column"
    if hasattr(obj, "__iter__"):
        return ("sequence", obj), "column"
    raise TypeError(f"{what} must be an Arrow column or table, a sequence or a dict, not {kind.__name__}")


def _shown(raw, size):
    try:
        text = raw.decode("utf-8", errors="surrogatepass")
    except UnicodeDecodeError:  # cut inside a character, or not UTF-8 at all
        text = raw.decode("utf-8", errors="surrogateescape")
    if size > _SHOWN:
        return f"{text[:_SHOWN - 20]!r}... ({size:,} bytes)"
    return repr(text)


def _fault_error(fault):
    kind, row, raw, size, type_name, in_counts = fault
    where = f"counts: row {row}" if in_counts else f"row {row}"
    text = raw.decode("utf-8", errors="surrogateescape")
    if kind == "null_peptide":
        return ValueError(f"{where}: no peptide (null)")
    if kind == "empty_peptide":
        return ValueError(f"{where}: empty peptide")
    if kind == "not_peptide":
        return ValueError(f"{where}: {_shown(raw, size)} is not a peptide (letters only)")
    shown = text if size <= _SHOWN else text[:_SHOWN - 20] + "..."  # the start of a long value
    if kind == "not_str":
        return TypeError(f"{where}: {shown} ({type_name}) is not a str")
    if kind == "null_count":
        return ValueError(f"{where}: no count (null)")
    if kind == "negative_count":
        return ValueError(f"{where}: count {text} is not a non-negative integer")
    if kind == "count_not_integer":
        return TypeError(f"{where}: count {shown} ({type_name}) is not an integer")
    if kind == "count_too_large":
        return ValueError(f"{where}: count {text} is larger than 2**64 - 1")
    if kind == "counts_short":
        return ValueError(f"counts holds fewer values ({row:,}) than there are peptides")
    if kind == "counts_long":
        return ValueError(f"counts holds {int(text):,} values for {row:,} peptides")
    return ValueError(f"{where}: {kind}")


def _integer(name, value, low, high, what):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    value = int(value)
    if not low <= value <= high:
        raise ValueError(f"{name}={value} is not {what}")
    return value


def _number(name, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"{name}={value} is not a finite number")
    return value


def _flag(name, value):
    if isinstance(value, bool) or (type(value).__module__ == "numpy" and type(value).__name__ in ("bool", "bool_")):
        return bool(value)
    raise TypeError(f"{name} must be True or False, not {type(value).__name__}")


def _options(threshold, positions, weight, length, threads, block_search, max_probes, min_block_bound, refine,
             cap, merge, fast_medoid, merge_cap):
    """The options checked as the command line checks its own."""
    threshold = _number("threshold", threshold)
    if 1 < threshold <= 100:
        meant = f"{threshold / 100:.6f}".rstrip("0")
        meant += "0" * max(0, 4 - len(meant))
        raise ValueError(f"threshold={threshold:g} is above 1, the similarity of a peptide to itself; "
                         f"did you mean {meant}?")
    if not -1 <= threshold <= 1:
        raise ValueError(f"threshold={threshold:g} is outside -1 to 1, where similarities lie")
    if isinstance(positions, (str, bytes)) or not hasattr(positions, "__iter__"):
        raise TypeError(f"positions must be a sequence of integers, not {type(positions).__name__}")
    positions = [_integer("positions", p, -MAX_PEPTIDE, MAX_PEPTIDE, f"within +-{MAX_PEPTIDE:,}: no peptide is longer")
                 for p in positions]
    if not 1 <= len(set(positions)) <= 8:
        raise ValueError("positions must hold 1 to 8 positions")
    weight = _number("weight", weight)
    if length is not None:
        length = _integer("length", length, 1, _I64, "a positive integer")
        if length < job.min_length(positions):
            raise ValueError(f"positions {tuple(positions)} do not fit length={length} (positions count from 0)")
    threads = _integer("threads", threads, 0, MAX_THREADS, f"a thread count from 0 to {MAX_THREADS}")
    block_search = _flag("block_search", block_search)
    max_probes = _integer("max_probes", max_probes, -_I64 - 1, _I64, "within -2**63 to 2**63 - 1")
    min_block_bound = _number("min_block_bound", min_block_bound)
    if (max_probes or min_block_bound) and not block_search:
        raise ValueError("max_probes and min_block_bound need block_search=True")
    refine = _integer("refine", refine, 0, _I64, "a non-negative integer")
    cap = _integer("cap", cap, -_I64 - 1, _I64, "within -2**63 to 2**63 - 1")
    merge = _flag("merge", merge)
    fast_medoid = _flag("fast_medoid", fast_medoid)
    merge_cap = _integer("merge_cap", merge_cap, -_I64 - 1, _I64, "within -2**63 to 2**63 - 1")
    return job.Options(threshold, positions, weight, length, threads, block_search, max_probes, min_block_bound,
                       refine, cap, merge, fast_medoid, merge_cap)


def _parameters(o):
    return {"threshold": o.threshold, "positions": o.positions, "weight": o.weight, "length": o.length,
            "threads": o.threads, "block_search": o.block_search, "max_probes": o.max_probes,
            "min_block_bound": o.min_block_bound, "refine": o.refine, "cap": o.cap, "merge": o.merge,
            "merge_cap": o.merge_cap, "fast_medoid": o.fast_medoid}
