"""Own-block clustering of anchor tables larger than one machine, on Dask.

Own-block clustering never compares anchors of different blocks, so the rows are shuffled by block key and
each partition, a group of whole blocks, is clustered by one native call on its anchors in processing order.
Mapping and counters are exactly those of one ``kelvara.cluster_anchors`` call on the whole table.
"""

import contextlib
import csv
import operator
import os
import shutil
import tempfile
import time

try:
    import dask
    import dask.dataframe as dd
    import numpy as np
    import pandas as pd
    import pyarrow as pa
    import pyarrow.compute as pc
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("kelvara.dask needs the dask extra: pip install 'kelvara[dask]'") from error

from kelvara import _core

__all__ = ["cluster_anchors", "cluster_to_parquet", "read_anchor_counts", "connect"]

# Clustering tasks per worker thread, at least, when npartitions is not given: blocks differ in size, and
# several tasks per thread even out the work.
TASKS_PER_THREAD = 2

# A row's place in the input, as the number of its partition in the bits above these and its row within
# the partition below: sorting by it sorts by input order before the rows are numbered across partitions.
_ROW_BITS = 40

_PARQUET_SUFFIXES = (".parquet", ".pq")


def cluster_anchors(frame, threshold, anchor_positions=(1, 5), anchor_weight=2.0, *, anchor_column="anchor",
                    count_column="count", npartitions=None, duplicates="last"):
    """Cluster the anchors of a Dask DataFrame exactly as one ``kelvara.cluster_anchors`` call would.

    Args:
        frame: a Dask or pandas DataFrame, or a path that ``read_anchor_counts`` reads. Its rows, partition
            by partition, are the table in input order: that order breaks ties between equal counts.
            An anchor given twice keeps the place of its first row; the counts of all its rows must be
            valid.
        threshold, anchor_positions, anchor_weight: as for ``kelvara.cluster_anchors``.
        anchor_column, count_column: the columns holding the anchors (str) and their counts (integers
            from 0 to 2**64 - 1: any integer or bool column; uint64, or an object column of Python ints,
            holds counts beyond the int64 range).
        npartitions: number of clustering tasks (default: the input's partitions, at least two per worker
            thread). Blocks are never split, so one large block is one task's work.
        duplicates: the count of an anchor given in several rows: "last", that of its last row, as in a
            dict built from the rows in order; or "sum", the sum of its rows' counts (OverflowError beyond
            2**64 - 1), as the command line adds up repeated peptides.

    Returns:
        (result, n_comparisons, n_early_exits): ``result`` is a Dask DataFrame persisted on the cluster,
        one row per unique anchor with columns ``anchor``, ``count`` (uint64) and ``centroid``, indexed by
        ``row``, the input row that placed the anchor. Each partition holds whole blocks in processing
        order; sorting by count descending, then row, gives the order of the single call's mapping.

    Raises:
        the errors of ``kelvara.cluster_anchors`` for the same data, and ValueError for a missing column.
    """
    result, totals = _persisted(frame, threshold, anchor_positions, anchor_weight, anchor_column,
                                count_column, npartitions, duplicates)
    return result, totals["n_comparisons"], totals["n_early_exits"]


def cluster_to_parquet(source, path, threshold, anchor_positions=(1, 5), anchor_weight=2.0, *,
                       anchor_column="anchor", count_column="count", npartitions=None, duplicates="last",
                       overwrite=False):
    """Cluster ``source`` as ``cluster_anchors`` does and write the result as a directory of Parquet files,
    one per clustering task, with the columns and index of ``cluster_anchors``'s result.

    ``path`` must be on storage that every worker and this process share. The files are written beside it
    and moved into place only once all are complete, so a failed run leaves no partial output; an existing
    ``path`` is replaced only with ``overwrite``.

    Returns:
        dict with ``anchors``, ``clusters``, ``n_comparisons`` and ``n_early_exits``.
    """
    path = os.path.abspath(os.fspath(path))
    parent = os.path.dirname(path)
    if os.path.lexists(path) and not overwrite:
        raise FileExistsError(f"{path} exists; pass overwrite=True to replace it")
    if not os.path.isdir(parent):
        raise FileNotFoundError(f"{parent} is not a directory")
    parts, _ = plan(source, threshold, anchor_positions, anchor_weight, anchor_column, count_column,
                     npartitions, duplicates)
    with staged_directory(path) as staging:
        width = len(str(len(parts) - 1))
        totals = _sum_totals(dask.compute(*[
            dask.delayed(_write_part)(part, os.path.join(staging, f"part.{i:0{width}d}.parquet"))
            for i, part in enumerate(parts)]))
    del totals["native_seconds"]
    return totals


@contextlib.contextmanager
def staged_directory(path):
    """A new, empty directory beside ``path`` for the duration of a ``with`` block: moved to ``path``, in
    place of whatever is there, when the block completes, and removed with its contents when it fails."""
    parent, name = os.path.split(os.path.abspath(os.fspath(path)))
    staging = tempfile.mkdtemp(prefix=f".{name}.", dir=parent)
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(staging, 0o777 & ~umask)  # what os.mkdir would give, not mkdtemp's owner-only mode
        yield staging
        if os.path.lexists(path):
            old = staging + ".old"
            os.replace(path, old)
            try:
                os.replace(staging, path)
            except BaseException:
                os.replace(old, path)
                raise
            _remove(old)
        else:
            os.replace(staging, path)
    except BaseException:
        _remove(staging)
        raise


def read_anchor_counts(path, anchor_column="anchor", count_column="count"):
    """A lazy Dask DataFrame of anchors and counts: Parquet with the two columns (a directory, or a path
    ending in .parquet or .pq, globs allowed), or else headerless ``anchor<TAB>count`` text, compressed or
    not, split into partitions in file order."""
    path = os.fspath(path)
    if os.path.isdir(path) or path.endswith(_PARQUET_SUFFIXES):
        return dd.read_parquet(path, columns=[anchor_column, count_column])
    compressed = path.endswith((".gz", ".bz2", ".xz", ".zst"))
    # No NA parsing: a peptide such as "NA" is an anchor, and an empty count must fail as a non-integer.
    return dd.read_csv(path, sep="\t", header=None, names=[anchor_column, count_column],
                       quoting=csv.QUOTE_NONE, na_filter=False, blocksize=None if compressed else "default")


@contextlib.contextmanager
def connect(address, **local_options):
    """A ``distributed.Client`` for the duration of a ``with`` block, made the default for Dask
    computations: ``address`` is a scheduler address, or "local" for a cluster of worker processes on this
    machine that ends with the block, made with ``local_options`` for ``distributed.LocalCluster``."""
    from distributed import Client, LocalCluster

    if address == "local":
        with LocalCluster(processes=True, **local_options) as cluster, Client(cluster) as client:
            yield client
    else:
        with Client(address) as client:
            yield client


# --- planning, on the calling process ---------------------------------------------------------------


def plan(source, threshold, anchor_positions, anchor_weight, anchor_column, count_column, npartitions,
         duplicates="last"):
    """Check what is cheap to check, then return the lazy clustering tasks, each giving (result rows,
    counters), and the meta of the result rows."""
    # An empty table converts every argument as a real call does, with the same errors, and runs nothing.
    _core.cluster_anchors({}, threshold, anchor_positions, anchor_weight)
    positions, threshold, anchor_weight = list(anchor_positions), float(threshold), float(anchor_weight)
    if npartitions is not None and operator.index(npartitions) < 1:
        raise ValueError(f"npartitions must be at least 1, got {npartitions}")
    if duplicates not in ("last", "sum"):
        raise ValueError(f"duplicates must be 'last' or 'sum', got {duplicates!r}")

    frame = _as_frame(source, anchor_column, count_column)
    anchor_dtype = _check_columns(frame.dtypes, anchor_column, count_column)
    # Each input partition is read once, for the check and for the shuffle; the clustering tasks depend on
    # the check of the whole table, so they never run on bad input.
    prepared = [dask.delayed(_prepare, nout=2)(p, anchor_column, count_column, positions, number, anchor_dtype)
                for number, p in enumerate(frame[[anchor_column, count_column]].to_delayed())]
    offsets = dask.delayed(_check_rows)([summary for _, summary in prepared], positions)
    empty = _prepared_meta(anchor_dtype)
    prepared = dd.from_delayed([rows for rows, _ in prepared], meta=empty, verify_meta=False)
    blocks = prepared.shuffle(on="key", npartitions=npartitions or _default_npartitions(frame)).to_delayed()
    tasks = [dask.delayed(_cluster_part)(b, offsets, threshold, positions, anchor_weight, anchor_dtype,
                                         duplicates) for b in blocks]
    meta, _ = _cluster_part(empty, [0], threshold, positions, anchor_weight, anchor_dtype, duplicates)
    return tasks, meta


def _default_npartitions(frame):
    try:
        from distributed import Client

        threads = sum(Client.current().nthreads().values())
    except (ImportError, ValueError):  # no distributed client: Dask's local scheduler
        threads = os.cpu_count() or 1
    return max(frame.npartitions, TASKS_PER_THREAD * threads)


def _persisted(*args):
    """The result frame, persisted, and the totals of the clustering tasks, with the processor seconds of
    their native calls."""
    parts, meta = plan(*args)
    parts = dask.persist(*parts)  # each clustering task runs once, for both the frame and the counters
    result = dd.from_delayed([part[0] for part in parts], meta=meta, verify_meta=False)
    return result, _sum_totals(dask.compute(*[part[1] for part in parts]))


def _as_frame(source, anchor_column, count_column):
    if isinstance(source, dd.DataFrame):
        return source
    if isinstance(source, pd.DataFrame):
        return dd.from_pandas(source, npartitions=1, sort=False)
    if isinstance(source, (str, os.PathLike)):
        return read_anchor_counts(source, anchor_column, count_column)
    raise TypeError(f"expected a Dask or pandas DataFrame or a path, got {type(source).__qualname__}")


def _check_columns(dtypes, anchor_column, count_column):
    """Refuse, before any task runs, what the column types alone show; return the anchor dtype."""
    for column in (anchor_column, count_column):
        if column not in dtypes.index:
            raise ValueError(f"frame has no column {column!r}; its columns are {list(dtypes.index)}")
    anchor_dtype, count_dtype = dtypes[anchor_column], dtypes[count_column]
    if not (pd.api.types.is_string_dtype(anchor_dtype) or isinstance(anchor_dtype, pd.CategoricalDtype)):
        sample = _sample(anchor_dtype)
        if sample is not None:
            _core._block_keys([sample], [0])
        raise TypeError(f"column {anchor_column!r} holds {anchor_dtype}, not str")
    if not (pd.api.types.is_integer_dtype(count_dtype) or pd.api.types.is_bool_dtype(count_dtype)
            or pd.api.types.is_object_dtype(count_dtype)):
        sample = _sample(count_dtype)
        if sample is not None:
            operator.index(sample)
        raise TypeError(f"column {count_column!r} holds {count_dtype}, not integers")
    return "object" if isinstance(anchor_dtype, pd.CategoricalDtype) else anchor_dtype


def _sample(dtype):
    """A Python value of a column of this type, so that the conversion that refuses it words the error."""
    try:
        return pd.Series([0]).astype(dtype).tolist()[0]
    except (TypeError, ValueError):
        return None


def _prepared_meta(anchor_dtype):
    return pd.DataFrame({"anchor": pd.Series([], dtype=anchor_dtype), "count": pd.Series([], dtype=np.uint64),
                         "place": pd.Series([], dtype=np.int64), "key": pd.Series([], dtype=np.uint64)})


def _sum_totals(counters):
    totals = {"anchors": 0, "clusters": 0, "n_comparisons": 0, "n_early_exits": 0, "native_seconds": 0.0}
    for part in counters:  # in partition order, so even the float sum is the same on every run
        for name, value in part.items():
            totals[name] += value
    return totals


def _remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.remove(path)


# --- tasks, on the workers --------------------------------------------------------------------------


def _prepare(part, anchor_column, count_column, positions, number, anchor_dtype):
    """One input partition as the shuffle takes it (anchors, counts as uint64, places in the input, block
    keys), and what the check of the whole table needs from it, in the partition's own row numbers: (rows,
    UTF-8 length of its first anchor, its first anchor of another length as (row, length), its first anchor
    or count that does not convert as (row, side, error), side 0 for an anchor and 1 for a count)."""
    anchors = part[anchor_column].astype(anchor_dtype).reset_index(drop=True)
    counts, count_fault = _counts(part[count_column])
    fault, mismatch, keys = None, None, None
    packed = _packed(anchors)
    try:
        if packed is None:  # anchors of several lengths, or not all str: this call words the fault
            values = anchors.tolist()
            keys = _core._block_keys(values, positions)
            packed = (None, len(values[0].encode()) if values else 0)
        else:
            keys = _core._block_keys_table(*packed, positions)
        keys = np.frombuffer(keys, dtype=np.uint64)
        first = packed[1] if len(anchors) else None
    except (TypeError, ValueError):
        # An anchor or the positions are at fault; the check of the whole table tells which.
        fault, first, mismatch = _anchor_faults(anchors.tolist())
    if count_fault is not None and (fault is None or count_fault[0] < fault[0]):
        fault = (count_fault[0], 1, count_fault[1])
    summary = (len(anchors), first, mismatch, fault)
    if keys is None or fault is not None:
        return _prepared_meta(anchor_dtype), summary
    place = (number << _ROW_BITS) + np.arange(len(anchors), dtype=np.int64)
    return pd.DataFrame({"anchor": anchors, "count": counts, "place": place, "key": keys}), summary


def _packed(anchors):
    """(the UTF-8 bytes of a Series of str end to end, their common length), or None when they are not all
    str of one length, or empty, which no packed buffer can count: the native calls take a block's anchors
    in one buffer rather than one str each."""
    if len(anchors) == 0:
        return b"", 0
    if anchors.dtype == object and pd.api.types.infer_dtype(anchors, skipna=False) != "string":
        return None  # Arrow would take bytes as text, which a single call refuses
    try:
        array = pa.array(anchors, type=pa.large_string())
    except (pa.ArrowInvalid, pa.ArrowTypeError, UnicodeEncodeError):
        return None
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    if array.null_count:
        return None
    shortest, longest = pc.min_max(pc.binary_length(array)).values()
    if shortest != longest or longest.as_py() == 0:
        return None
    offsets = np.frombuffer(array.buffers()[1], dtype=np.int64)[array.offset:array.offset + len(array) + 1]
    data = array.buffers()[2].slice(int(offsets[0]), int(offsets[-1] - offsets[0]))
    return data.to_pybytes(), shortest.as_py()


def _anchor_faults(anchors):
    """The slow path behind a failed native call: the first anchor that does not convert, the UTF-8 length
    of the first anchor and the first anchor of another length, as ``_prepare`` reports them."""
    first, mismatch = None, None
    for row, anchor in enumerate(anchors):
        try:
            length = len(str.encode(anchor)) if isinstance(anchor, str) else None
        except UnicodeEncodeError:
            length = None
        if length is None:
            return (row, 0, _error_of(_core._block_keys, [anchor], [0])), first, mismatch
        if first is None:
            first = length
        elif mismatch is None and length != first:
            mismatch = (row, length)
    return None, first, mismatch


def _counts(series):
    """(counts as uint64, None), or (None, (row, error)) for the first count a single call would refuse."""
    dtype = series.dtype
    if pd.api.types.is_bool_dtype(dtype) or pd.api.types.is_integer_dtype(dtype):
        bad = series.isna().to_numpy(dtype=bool)
        if dtype.kind == "i":
            bad = bad | (series < 0).to_numpy(dtype=bool, na_value=False)
        if bad.any():
            row = int(np.argmax(bad))
            return None, (row, _count_error(series.iloc[row]))
        return series.to_numpy(dtype=np.uint64), None
    values = series.tolist()
    if pd.api.types.infer_dtype(values, skipna=False) == "integer":
        try:
            return np.array(values, dtype=np.uint64), None
        except OverflowError:
            pass
    for row, value in enumerate(values):
        error = _count_error(value)
        if error is not None:
            return None, (row, error)
    return np.array([operator.index(value) for value in values], dtype=np.uint64), None


def _count_error(value):
    """The error a single call raises for this count, or None."""
    return _error_of(_core.cluster_anchors, {"A": value}, 0.0, [0])


def _error_of(function, *args):
    try:
        function(*args)
    except (TypeError, ValueError, OverflowError) as error:
        return error
    return None


def _check_rows(summaries, positions):
    """Raise the error a single call would raise for the whole table; return the partitions' first row
    numbers, followed by the total number of rows."""
    offsets = [0]
    for rows, _, _, _ in summaries:
        offsets.append(offsets[-1] + rows)
    faults = [(offset + row, side, error)
              for offset, (_, _, _, fault) in zip(offsets, summaries) if fault is not None
              for row, side, error in [fault]]
    if faults:
        # A single call converts every entry, anchor before count, before it compares lengths.
        raise min(faults, key=lambda fault: fault[:2])[2]
    lengths = [(first, mismatch) for rows, first, mismatch, _ in summaries if rows]
    if not lengths:
        return offsets
    length = lengths[0][0]
    other = next((first if first != length else mismatch[1]
                  for first, mismatch in lengths if first != length or mismatch is not None), None)
    # Anchors of the lengths found let the native checks word any error exactly as a single call would:
    # an empty first anchor, the first anchor of another length, then the positions.
    _core._block_keys(["A" * length] + ([] if other is None else ["A" * other]), positions)
    return offsets


def _cluster_part(part, offsets, threshold, positions, anchor_weight, anchor_dtype, duplicates):
    """Cluster the whole blocks of one shuffled partition with one native call; return the result rows and
    the partition's counters. ``offsets`` holds the first row number of every input partition."""
    place = part["place"].to_numpy()
    part = part.assign(row=np.asarray(offsets, dtype=np.int64)[place >> _ROW_BITS]
                       + (place & ((1 << _ROW_BITS) - 1)))
    if part["anchor"].duplicated().any():
        # The first row places an anchor; its count is that of its last row, as in a dict built from the
        # rows in order, or the sum of all.
        part = part.sort_values("row")
        if duplicates == "sum":
            counts = _summed_counts(part["anchor"], part["count"].to_numpy(dtype=np.uint64))
        else:
            counts = part.drop_duplicates("anchor", keep="last").set_index("anchor")["count"]
        part = part.drop_duplicates("anchor", keep="first")
        part = part.assign(count=part["anchor"].map(counts).to_numpy(dtype=np.uint64))
    counts, rows = part["count"].to_numpy(dtype=np.uint64), part["row"].to_numpy()
    order = np.lexsort((rows, ~counts))  # count descending, then input order
    anchors, counts = part["anchor"].iloc[order].reset_index(drop=True), counts[order]
    packed, anchor_len = _packed(anchors)  # the check of the whole table found them all of one length

    # Processor time of this thread, which runs the whole native call: unlike the wall time it does not
    # count waits for the processor or the interpreter lock.
    start = time.thread_time()
    centroid_rows, n_comparisons, n_early_exits = _core._cluster_table(packed, anchor_len, counts.tobytes(),
                                                                       threshold, positions, anchor_weight)
    native_seconds = time.thread_time() - start

    centroids = anchors.take(np.frombuffer(centroid_rows, dtype=np.uint64).astype(np.intp))
    result = pd.DataFrame({"anchor": anchors.array, "count": counts, "centroid": centroids.array},
                          index=pd.Index(rows[order], name="row"))
    counters = {"anchors": len(result), "clusters": int((result["anchor"] == result["centroid"]).sum()),
                "n_comparisons": n_comparisons, "n_early_exits": n_early_exits,
                "native_seconds": native_seconds}
    return result, counters


def _summed_counts(anchors, counts):
    """The exact sum of each anchor's counts, by anchor in order of first appearance; OverflowError for the
    first whose sum passes 2**64 - 1."""
    halves = pd.DataFrame({"anchor": anchors.to_numpy(), "low": counts & np.uint64(0xFFFFFFFF),
                           "high": counts >> np.uint64(32)})
    # Sums of 32-bit halves cannot wrap for fewer than 2**32 rows.
    sums = halves.groupby("anchor", sort=False).sum()
    low, high = sums["low"].to_numpy(dtype=np.uint64), sums["high"].to_numpy(dtype=np.uint64)
    over = (high + (low >> np.uint64(32))) >> np.uint64(32) != 0
    if over.any():
        raise OverflowError(f"the counts of {sums.index[np.argmax(over)]} add up to more than 2**64 - 1")
    return pd.Series((high << np.uint64(32)) + low, index=sums.index)


def _write_part(part, path):
    rows, counters = part
    rows.to_parquet(path, index=True)
    return counters
