"""`kelvara cluster --dask`: the command line's clustering, with the inputs read, shuffled by block and
clustered by the workers of a Dask cluster and the result written as a directory of Parquet files.

The workers read the inputs in parts, with the rules and messages of one machine, and keep what they read;
each length is then clustered by kelvara.dask with the counts of a repeated peptide added up, and each
clustering task writes its whole clusters as one Parquet file.
"""

import contextlib
import gzip
import logging
import os
import signal
import sys
import threading
import time
import warnings
import zlib

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
from distributed.scheduler import KilledWorker
from fsspec.utils import read_block

import kelvara.dask as kdask
from kelvara.cli.errors import ClusterError, OutputError, UsageError
from kelvara.cli.options import version
from kelvara.job import min_length, resolve_positions
from kelvara.cli.run import Run
from kelvara.cli.summary import format_summary
from kelvara.job import LARGEST_SHOWN
from kelvara.io.inputs import InputError, LineError, check_sums, peptide, read_part, reason, sniff
from kelvara.io.outputs import write_json
from kelvara.progress import ProgressBar

# Plain text is read in parts cut at line ends, of at most this many bytes, and small enough to give every
# worker thread some; a gzip file is read whole by one task.
PART_BYTES = 32 << 20
MIN_PART_BYTES = 1 << 20
_TEXT_OUTPUT = (".tsv", ".tsv.gz", ".txt", ".csv")
# The dtype pandas gives a column of str, so that empty parts and full ones agree.
_STR = pd.Series(["A"]).dtype


class DaskRun(Run):
    """`kelvara cluster --dask`: the options of one machine where they apply, one line and status 2 for the
    others."""

    def check_options(self):
        args = self.args
        refused = [
            (args.refine, "--refine", "refinement runs on one machine; leave out --dask to refine"),
            (args.block_search or args.max_probes or args.min_block_bound, "--block-search",
             "it compares peptides across blocks, which are clustered apart"),
            (args.clstr, "--clstr", "it lists every cluster in one file; leave out --dask for it"),
            (args.centroids, "--centroids", "it lists every cluster in one file; leave out --dask for it"),
            (args.report, "--report", "it draws every cluster on one machine; leave out --dask for it"),
            (args.threads is not None, "--threads", "the workers are the Dask cluster's"),
            (args.samples or args.sample_column or args.sample_table, "--samples",
             "samples are read on one machine; leave out --dask for them"),
            (args.strip_modifications or args.intensity, "--strip-modifications and --intensity",
             "they are read on one machine; leave out --dask for them"),
        ]
        for given, option, why in refused:
            if given:
                raise UsageError(f"{option} is not offered with --dask: {why}")
        if "-" in args.inputs:
            raise UsageError("standard input ('-') cannot be read with --dask: the workers read files")
        super().check_options()

    def check_target(self, target):
        if target != self.args.output:
            return super().check_target(target)
        if target == "-" or target.lower().endswith(_TEXT_OUTPUT):
            raise UsageError(f"with --dask, -o names a directory for Parquet files, not a text file like {target}; "
                             f"leave out --dask to write a TSV")
        if os.path.lexists(target):
            raise UsageError(f"cannot write {target}: it exists; with --dask, -o names a new directory")
        directory = os.path.dirname(os.path.abspath(target))
        if not os.path.isdir(directory):
            raise UsageError(f"cannot write {target}: no directory {directory}")
        if not os.access(directory, os.W_OK | os.X_OK):
            raise UsageError(f"cannot write {target}: directory {directory} is not writable")

    def _run(self):
        args = self.args
        self.check_options()
        self.started = time.perf_counter()
        inputs = [_input(path, args.column, args.count_column) for path in args.inputs]
        if not args.quiet and sys.stderr.isatty():
            self.bar = ProgressBar(sys.stderr, 0, 0)
        with kdask.staged_directory(args.output) as staging:
            with _connect(args.dask) as client:
                self.seconds["connect"] = time.perf_counter() - self.started
                started = time.perf_counter()
                parts, records, rows = self._read(client, inputs)
                self.seconds["read"] = time.perf_counter() - started
                kept, others = self._lengths(rows)
                started = time.perf_counter()
                lengths, uniques = self._cluster(client, parts, rows, kept, others, staging)
                self.seconds["cluster"] = time.perf_counter() - started  # the Parquet files written too
                self.close()
            shortest = min_length(args.positions)
            summary = {
                "kelvara": version(),
                "inputs": [{"name": i.name, "kind": i.kind, "records": n} for i, n in zip(inputs, records)],
                "parameters": dict(self.parameters(), dask=args.dask),
                "peptides": {
                    "records": sum(records),
                    "read": sum(r["anchors"] for r in lengths) + sum(uniques.values()),
                    "kept": sum(r["anchors"] for r in lengths),
                    # With --length, the other lengths are not clustered, not left out.
                    "left_out_by_length": {str(n): uniques[n] for n in sorted(uniques)
                                           if n < shortest and args.length is None},
                    "count": sum(r["count"] for r in lengths),
                },
                "lengths": lengths,
                "seconds": self.seconds,
            }
            self.seconds["total"] = time.perf_counter() - self.started
            if args.summary_json:
                # Under a temporary name until the directory is in place, so that neither stands alone.
                self.output(args.summary_json, write_json, summary)
        self.commit()
        if not args.quiet:
            sys.stderr.write(format_summary(summary, self.written()))
        return 0

    def _read(self, client, inputs):
        """Read every input in parts on the workers and keep the parts there; raise the first fault in input
        order. Returns (the parts, records of each input, rows of each length)."""
        tasks = kdask.TASKS_PER_THREAD * _threads(client)
        part_bytes = min(PART_BYTES, max(MIN_PART_BYTES, -(-sum(i.size for i in inputs) // tasks)))
        tasks = [(number, part) for number, i in enumerate(inputs) for part in i.parts(part_bytes)]
        parts = client.persist([part for _, part in tasks])
        summaries = client.compute([part[1] for part in parts])
        self._watch(client, summaries, "read")
        records, rows = [0] * len(inputs), {}
        lines = 0
        for at, ((number, _), future) in enumerate(zip(tasks, summaries)):
            i = inputs[number]
            # The result itself, not the future's status, says how the task ended: a worker that dies late
            # can turn a finished-looking future into a KilledWorker.
            try:
                summary = future.result()
            except KilledWorker as error:
                raise ClusterError(f"Dask workers died reading {i.name}: {error}") from None
            except (OSError, ValueError, EOFError) as error:
                raise InputError(f"{i.name}: cannot read: {error}") from None
            if summary["fault"] is not None:
                line, reason = summary["fault"]
                raise InputError(reason if line is None else f"{i.name}: {i.unit} {lines + line}: {reason}")
            lines += summary["lines"]
            records[number] += summary["records"]
            for length, n in summary["lengths"].items():
                rows[length] = rows.get(length, 0) + n
            if at + 1 == len(tasks) or tasks[at + 1][0] != number:  # the input's last part
                if records[number] == 0:
                    raise InputError(f"{i.name}: no peptides")
                lines = 0
        return parts, records, rows

    def _lengths(self, rows):
        """The lengths to cluster, and the other lengths read."""
        args = self.args
        if args.length is not None:
            if args.length not in rows:
                found = ", ".join(map(str, sorted(rows)))
                raise InputError(f"no peptides of length {args.length} in the input (lengths: {found})")
            chosen = [args.length]
        else:
            chosen = sorted(rows)
        shortest = min_length(args.positions)
        kept = [n for n in chosen if n >= shortest]
        if not kept:
            raise InputError(f"no peptides of length {shortest} or more, which positions "
                             f"{','.join(map(str, args.positions))} need")
        return kept, [n for n in sorted(rows) if n not in kept]

    def _cluster(self, client, parts, rows, kept, others, staging):
        """Cluster the kept lengths, each task writing its clusters into staging, and count the unique peptides
        of the other lengths; returns (the summary of each kept length, unique peptides of each other one)."""
        args = self.args
        tasks = max(len(parts), kdask.TASKS_PER_THREAD * _threads(client))
        kept_rows = sum(rows[n] for n in kept)
        work = []
        for length in kept:
            # Tasks by the length's share of the rows: a rare length is not spread over many small files.
            npartitions = max(1, round(tasks * rows[length] / kept_rows))
            planned, _ = kdask.plan(_of_length(parts, length), args.threshold,
                                     resolve_positions(args.positions, length), args.weight, "peptide", "count",
                                     npartitions, "sum")
            work += [(length, dask.delayed(_write_clusters)(
                task, length, os.path.join(staging, f"part.{length:04d}.{i:05d}.parquet"), args.output))
                for i, task in enumerate(planned)]
        counted = [_of_length(parts, length)["peptide"].nunique() for length in others]
        # Apart, as Dask warns against delayed objects and frames in one call.
        futures = client.compute([task for _, task in work]) + client.compute(counted)
        if self.bar is not None:
            self.bar.start_length(f"{kept[0]}-mers" if len(kept) == 1 else f"{kept[0]}- to {kept[-1]}-mers", 0)
        self._watch(client, futures, "tasks")
        try:
            results = client.gather(futures)
        except OverflowError as e:  # summed counts of a repeated peptide
            raise InputError(f"{', '.join(args.inputs)}: {e}") from None
        except KilledWorker as e:
            raise ClusterError(f"Dask workers died clustering: {e}") from None
        lengths = [_length_summary(length, resolve_positions(args.positions, length),
                                   [r for (n, _), r in zip(work, results) if n == length]) for length in kept]
        return lengths, {length: int(n) for length, n in zip(others, results[len(work):])}


    def _watch(self, client, futures, stage):
        """Wait for every future, the bar following them. A cluster on which no worker stays up (workers
        that keep dying, nannies waiting for workers that never start) makes no progress however long the
        run waits: when nothing has completed and no worker has stayed up for --dask-timeout seconds, the
        run ends."""
        pending = set(futures)
        last = time.monotonic()
        workers = set()
        next_look = last
        while pending:
            finished = {f for f in pending if f.done()}
            now = time.monotonic()
            if finished:
                pending -= finished
                last = now
                if self.bar is not None:
                    self.bar(stage, 0, len(futures) - len(pending), len(futures))
                continue
            if now >= next_look:
                next_look = now + 1.0
                present = set(client.scheduler_info().get("workers", {}))
                if present & workers:
                    last = now
                workers = present
                if now - last > self.args.dask_timeout:
                    raise ClusterError(f"the Dask cluster made no progress for {self.args.dask_timeout:g} s: no "
                                       f"worker stayed up (they keep dying, or never start)")
            time.sleep(0.05)


def _threads(client):
    return max(1, sum(client.nthreads().values()))  # none yet: the scheduler waits for workers to come


@contextlib.contextmanager
def _connect(address):
    # Every shuffle logs its start and end, and workers that die log errors before the run can say what
    # happened; a user who configures Dask's loggers sees them.
    configured = dask.config.get("logging", {})
    if "distributed.shuffle" not in configured:
        logging.getLogger("distributed.shuffle").setLevel(logging.ERROR)
    if "distributed" not in configured:
        logging.getLogger("distributed").setLevel(logging.CRITICAL)
    with contextlib.ExitStack() as stack:
        try:
            if address == "local":
                # Worker processes started while SIGINT is ignored keep ignoring it: a Ctrl-C on the terminal,
                # sent to the whole process group, then ends the run here, which closes the cluster, rather
                # than killing workers mid-task with a traceback each. A Ctrl-C while they start is lost.
                with _sigint_ignored(), warnings.catch_warnings():
                    # A port taken by another cluster is no news to a run that shows no dashboard.
                    warnings.simplefilter("ignore", UserWarning)
                    client = stack.enter_context(kdask.connect("local", dashboard_address=None,
                                                               worker_dashboard_address=None,
                                                               silence_logs=logging.CRITICAL))
            else:
                client = stack.enter_context(kdask.connect(address))
        except (OSError, ValueError) as e:
            raise ClusterError(f"cannot reach the Dask scheduler at {address}: {e}") from None
        except RuntimeError as e:  # workers that die while the cluster starts
            raise ClusterError(f"the Dask cluster did not start: {e}") from None
        yield client


@contextlib.contextmanager
def _sigint_ignored():
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


# --- the inputs, planned on this process ---------------------------------------------------------------


class _Input:
    """An input as the workers read it: its name for messages, its kind, the unit its faults are numbered
    in, the bytes of plain text it holds, and how its parts are read."""

    def __init__(self, name, kind, unit, parts, size=0):
        self.name, self.kind, self.unit, self.size = name, kind, unit, size
        self.parts = parts  # parts(bytes of text per part) gives the delayed (rows, summary) of each, in order


def _input(path, column, count_column):
    """Tell a Parquet input from text by what it is, reading no more than its start; check what that shows."""
    if os.path.isdir(path) or _starts_with(path, b"PAR1"):
        return _parquet_input(path, column, count_column)
    layout = sniff(path, column, count_column)
    if layout.kind == "fasta":
        raise InputError(f"{path}: FASTA is not read with --dask; give peptide<TAB>count lines, or leave out --dask")
    absolute = os.path.abspath(path)
    size = 0 if layout.gzip else os.path.getsize(absolute)

    def parts(part_bytes):
        first = max(part_bytes, layout.first_end)
        spans = [(0, None)] if layout.gzip else [(0, first)] + [(o, part_bytes) for o in range(first, size, part_bytes)]
        return [dask.delayed(_read_text_part, nout=2)(absolute, offset, length, layout) for offset, length in spans]

    return _Input(path, layout.kind, "line", parts, size)


def _starts_with(path, magic):
    try:
        with open(path, "rb") as f:
            return f.read(len(magic)) == magic
    except OSError:
        return False  # the text reader words the error


def _parquet_input(path, column, count_column):
    try:
        frame = dd.read_parquet(path)
    except (OSError, ValueError) as e:
        raise InputError(f"{path}: cannot read as Parquet: {e}") from None
    columns = list(frame.columns)
    shown = ", ".join(repr(c) for c in columns[:12]) + (", ..." if len(columns) > 12 else "")

    def pick(wanted, option):
        if wanted not in columns:
            raise InputError(f"{path}: no column {wanted!r} for {option} (columns: {shown})")
        return wanted

    if column is not None:
        column = pick(column, "--column")
    else:
        column = next((c for c in ("peptide", "anchor") if c in columns), None)
        if column is None:
            raise InputError(f"{path}: no column 'peptide' or 'anchor'; name the peptide column with --column "
                             f"(columns: {shown})")
    if count_column is not None:
        count_column = pick(count_column, "--count-column")
    elif "count" in columns:
        count_column = "count"
    dtype = frame.dtypes[column]
    if not (pd.api.types.is_string_dtype(dtype) or isinstance(dtype, pd.CategoricalDtype)):
        raise InputError(f"{path}: column {column!r} holds {dtype}, not peptides")
    if count_column is not None and not (pd.api.types.is_integer_dtype(frame.dtypes[count_column])):
        raise InputError(f"{path}: column {count_column!r} holds {frame.dtypes[count_column]}, not counts")
    frame = frame[[column] + ([count_column] if count_column else [])]
    return _Input(path, "parquet", "row", lambda _: [
        dask.delayed(_read_parquet_part, nout=2)(part, path, column, count_column) for part in frame.to_delayed()])


def _of_length(parts, length):
    """The peptides of one length and their counts, in input order, as a Dask DataFrame."""
    return dd.from_delayed([dask.delayed(_select_length)(part[0], length) for part in parts],
                           meta=_rows({})[["peptide", "count"]], verify_meta=False)


# --- tasks, on the workers -------------------------------------------------------------------------------


def _rows(counts):
    """Peptides with their counts and lengths, in the order of counts."""
    peptides = list(counts)
    return pd.DataFrame({"peptide": pd.Series(peptides, dtype=_STR),
                         "count": np.fromiter(counts.values(), dtype=np.uint64, count=len(peptides)),
                         "length": np.fromiter(map(len, peptides), dtype=np.int64, count=len(peptides))})


def _summary(lines=0, records=0, rows=None, fault=None):
    """What the check of all inputs needs from a part: its lines (or rows), its records, its unique peptides
    of each length, and its first fault as (line within the part, reason), or (None, message)."""
    lengths = {}
    if rows is not None and len(rows):
        values, counts = np.unique(rows["length"].to_numpy(), return_counts=True)
        lengths = dict(zip(values.tolist(), counts.tolist()))
    return {"lines": lines, "records": records, "lengths": lengths, "fault": fault}


def _read_text_part(path, offset, length, layout):
    """One part of a text input read as on one machine: (rows, summary), the rows summed within the part."""
    try:
        if layout.gzip:
            with gzip.open(path, "rb") as f:
                data = f.read()
        else:
            with open(path, "rb") as f:
                data = read_block(f, offset, length, b"\n")
    except (OSError, EOFError, zlib.error) as e:
        return _rows_of(None), _summary(fault=(None, f"{layout.name}: cannot read: {reason(e)}"))
    try:
        peptides, records, lines = read_part(data, layout, offset == 0)
        check_sums(peptides, layout.name)
    except LineError as e:
        return _rows_of(None), _summary(fault=(e.line, e.reason))
    except InputError as e:
        return _rows_of(None), _summary(fault=(None, str(e)))
    rows = _rows_of(peptides)
    return rows, _summary(lines, records, rows)


def _rows_of(peptides):
    """The rows of a native peptide table, length by length, each in the table's order."""
    frames = []
    for length, _ in (peptides.lengths() if peptides is not None else []):
        text, counts = peptides.packed(length)
        frames.append(pd.DataFrame({
            "peptide": pd.Series(np.frombuffer(text, dtype=f"S{length}").astype(f"U{length}"), dtype=_STR),
            "count": np.frombuffer(counts, dtype=np.uint64),
            "length": np.full(len(counts) // 8, length, dtype=np.int64)}))
    return pd.concat(frames, ignore_index=True) if frames else _rows({})


def _read_parquet_part(part, name, column, count_column):
    """One partition of a Parquet input, checked as one machine checks text: (rows, summary)."""
    peptides = part[column].tolist()
    try:
        joined = "".join(peptides)
        clean = joined.isascii() and joined.isalpha() and joined.isupper() and all(peptides)
    except TypeError:  # a missing peptide
        clean = False
    if not clean:
        checked = []
        for row, value in enumerate(peptides, 1):
            if not isinstance(value, str):
                return _rows({}), _summary(fault=(row, "missing peptide"))
            try:
                checked.append(peptide(value, name, row))
            except LineError as e:
                return _rows({}), _summary(fault=(row, e.reason))
        peptides = checked
    if count_column is None:
        counts = np.ones(len(peptides), dtype=np.uint64)
    else:
        series = part[count_column]
        missing = series.isna().to_numpy(dtype=bool)
        bad = missing | (series < 0).to_numpy(dtype=bool, na_value=False)
        if bad.any():
            row = int(np.argmax(bad))
            reason = "missing count" if missing[row] else f"count '{series.iloc[row]}' is not a non-negative integer"
            return _rows({}), _summary(fault=(row + 1, reason))
        counts = series.to_numpy(dtype=np.uint64)
    rows = pd.DataFrame({"peptide": pd.Series(peptides, dtype=_STR), "count": counts,
                         "length": np.fromiter(map(len, peptides), dtype=np.int64, count=len(peptides))})
    return rows, _summary(len(rows), len(rows), rows)


def _select_length(rows, length):
    return rows.loc[rows["length"].to_numpy() == length, ["peptide", "count"]]


def _write_clusters(part, length, path, target):
    """Write one clustering task's clusters as one Parquet file, whole clusters largest first as in the TSV;
    return what the summary needs."""
    rows, counters = part
    n = len(rows)
    peptides, centroids = pa.array(rows["anchor"]), pa.array(rows["centroid"])
    counts = rows["count"].to_numpy(dtype=np.uint64)
    # Positions, not strings: each centroid's row, and each peptide's rank in text order.
    centroid_row = pc.index_in(centroids, value_set=peptides).to_numpy(zero_copy_only=False).astype(np.int64)
    rank = np.empty(n, dtype=np.int64)
    rank[pc.sort_indices(peptides).to_numpy()] = np.arange(n)
    members = np.bincount(centroid_row, minlength=n)[centroid_row]
    low, high = np.zeros(n, dtype=np.uint64), np.zeros(n, dtype=np.uint64)
    np.add.at(low, centroid_row, counts & np.uint64(0xFFFFFFFF))  # halves, so that no sum wraps
    np.add.at(high, centroid_row, counts >> np.uint64(32))
    over = (high + (low >> np.uint64(32))) >> np.uint64(32) != 0
    if over.any():
        centroid = peptides[int(np.argmax(over))].as_py()
        raise OutputError(f"cannot write {target}: the counts of the cluster of {centroid} add up to more than "
                          f"2**64 - 1, beyond the uint64 column cluster_count")
    totals = ((high << np.uint64(32)) + low)[centroid_row]
    member = centroid_row != np.arange(n)
    # Clusters by members and summed count, descending, then centroid; in each, the centroid, then by count
    # descending, then peptide.
    order = np.lexsort((rank, ~counts, member, rank[centroid_row], ~totals, -members))
    table = pa.table({"peptide": peptides.take(order), "length": np.full(n, length, dtype=np.int64),
                      "count": counts[order], "centroid": centroids.take(order),
                      "cluster_members": members[order], "cluster_count": totals[order]})
    heads = order[~member[order]]
    if n:
        try:
            pq.write_table(table, path)
        except OSError as e:
            raise OutputError(f"cannot write {target}: {e.strerror or e}") from None
    return {
        "anchors": n,
        "clusters": len(heads),
        "singletons": int((members[heads] == 1).sum()),
        "count": (int((counts >> np.uint64(32)).sum()) << 32) + int((counts & np.uint64(0xFFFFFFFF)).sum()),
        "largest": [{"centroid": peptides[int(i)].as_py(), "members": int(members[i]), "count": int(totals[i])}
                    for i in heads[:LARGEST_SHOWN]],
        "comparisons": counters["n_comparisons"],
        "early_exits": counters["n_early_exits"],
        "native_seconds": counters["native_seconds"],
    }


def _length_summary(length, positions, results):
    largest = sorted((c for r in results for c in r["largest"]),
                     key=lambda c: (-c["members"], -c["count"], c["centroid"]))
    return {
        "length": length,
        "positions": sorted(set(positions)),
        "anchors": sum(r["anchors"] for r in results),
        "count": sum(r["count"] for r in results),
        "clusters": sum(r["clusters"] for r in results),
        "singletons": sum(r["singletons"] for r in results),
        "largest": largest[:LARGEST_SHOWN],
        "comparisons": sum(r["comparisons"] for r in results),
        "early_exits": sum(r["early_exits"] for r in results),
        "refinement": None,
        # Processor seconds of the native calls, summed over the tasks: they ran side by side.
        "seconds": {"native": sum(r["native_seconds"] for r in results)},
    }
