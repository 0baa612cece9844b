"""The kelvara command line: `kelvara cluster` clusters peptide files length by length."""

import argparse
import math
import os
import sys
import time

from kelvara import InternalError, _core
from kelvara.progress import ProgressBar
from kelvara.readers import InputError, read_inputs
from kelvara.writers import PendingFiles, build_clusters, cluster_order, write_clstr, write_json, write_tsv

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
LARGEST_SHOWN = 3  # largest clusters per length in the summary

DESCRIPTION = """\
Cluster the peptides of one or more files. Peptides of each length are clustered
separately: from the most to the least frequent, each peptide joins the first
centroid of its block (the residue groups at the anchor positions) that is at
least --threshold similar to it, or becomes a centroid itself. Similarity is the
BLOSUM62 score of each position, normalised and averaged with the anchor
positions weighing --weight.

inputs (told apart by content and extension; gzip is read transparently;
'-' reads standard input; several files add up their counts):
  peptide<TAB>count lines         a header line is optional
  a plain list of peptides        one per line, each line counts once
  a FASTA file of peptides        each record counts once
  a table with a header           TSV or CSV: name the peptide column with
                                  --column (and a count column with
                                  --count-column, else each row counts once)
Peptides are letters only and are read in upper case.

output: a TSV with one row per unique peptide (peptide, length, count,
centroid, cluster_members, cluster_count), the largest clusters first (most
members, then largest summed count), within a cluster the centroid first,
then by count. A summary goes to standard error.

with --dask, the workers of a Dask cluster read the inputs (counts, lists and
tables as above, gzip or plain, and Parquet files or directories), cluster each
block of each length, and write -o as a directory of Parquet files with the
same columns; refinement, block search, --clstr and --report stay on one
machine."""

EPILOG = """\
anchor positions count from 0 and, when negative, from the end: the default
1,-1 is the second residue and the C-terminus of every length. Peptides too
short for the positions are left out and counted in the summary.

exit status: 0 done, 2 bad input or options, 130 interrupted (Ctrl-C);
no output file is left behind unless the run completes.

examples:
  kelvara cluster peptides.tsv -o clusters.tsv
  kelvara cluster psms.csv --column Sequence -o clusters.tsv --report report.html
  zcat run1.txt.gz | kelvara cluster - --length 9 --refine 3 -o clusters.tsv
  kelvara cluster peptides.fasta -o clusters.tsv --clstr clusters.clstr
  kelvara cluster runs/*.tsv.gz --dask local -o clusters/"""


class UsageError(Exception):
    """A bad option or output path: reported in one line, exit status 2."""


class OutputError(Exception):
    """An output that could not be written, a full disk say: reported in one line, exit status 1."""


class ClusterError(Exception):
    """A Dask cluster that cannot be reached or loses its workers: reported in one line, exit status 1."""


def _positions(text):
    try:
        values = [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a comma-separated list of integers") from None
    if not 1 <= len(set(values)) <= 8:
        raise argparse.ArgumentTypeError("give 1 to 8 positions")
    return values


def _number(text):
    value = float(text)  # argparse turns the ValueError into a message
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def _non_negative(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is negative")
    return value


def _positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive integer")
    return value


def build_parser():
    parser = argparse.ArgumentParser(
        prog="kelvara", description="Clustering of immunopeptidomics peptides by BLOSUM62-weighted similarity.",
        epilog="Run 'kelvara cluster --help' for the options of the command.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    p = commands.add_parser("cluster", help="cluster peptide files into a table of clusters",
                            description=DESCRIPTION, epilog=EPILOG,
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="peptide file, gzip or plain, or '-'")
    p.add_argument("-o", "--output", required=True, metavar="OUT.tsv",
                   help="the clustered table (required); with --dask a new directory of Parquet files")

    g = p.add_argument_group("input")
    g.add_argument("--column", metavar="NAME", help="peptide column of a table with a header")
    g.add_argument("--count-column", metavar="NAME", help="count column of such a table (default: rows count 1)")
    g.add_argument("--length", type=_positive, metavar="L", help="cluster only the peptides of length L")

    g = p.add_argument_group("clustering")
    g.add_argument("--threshold", type=_number, default=0.7, metavar="S",
                   help="minimum similarity to join a centroid (default 0.7)")
    g.add_argument("--positions", type=_positions, default=[1, -1], metavar="P,P",
                   help="anchor positions from 0, negative from the end (default 1,-1)")
    g.add_argument("--weight", type=_number, default=2.0, metavar="W",
                   help="weight of the anchor positions; others weigh 1 (default 2.0)")
    g.add_argument("--threads", type=int, metavar="N",
                   help="worker threads: 0 one per processor (default), 1 serial; results are identical")
    g.add_argument("--block-search", action="store_true",
                   help="also search neighbouring blocks that could hold a centroid above the threshold")
    g.add_argument("--max-probes", type=int, default=0, metavar="N",
                   help="with --block-search: at most N blocks per peptide, its own included (default 0: no limit)")
    g.add_argument("--min-block-bound", type=_number, default=0.0, metavar="S",
                   help="with --block-search: search only blocks whose similarity bound reaches S (default 0)")

    g = p.add_argument_group("refinement")
    g.add_argument("--refine", type=_non_negative, default=0, metavar="N",
                   help="up to N passes of refinement after clustering: medoids, reassignment, merge (default 0)")
    g.add_argument("--cap", type=int, default=32, metavar="N",
                   help="centroids compared per peptide when reassigning; 0: no cap (default 32)")
    g.add_argument("--no-merge", action="store_true", help="do not merge similar centroids")
    g.add_argument("--merge-cap", type=int, default=0, metavar="N",
                   help="candidate centroids examined per centroid when merging (default 0: no cap)")
    g.add_argument("--fast-medoid", action="store_true",
                   help="medoids by a per-position decomposition, linear in the cluster size, "
                        "instead of the exact all-pairs search")

    g = p.add_argument_group("more output")
    g.add_argument("--clstr", metavar="FILE", help="also write the clusters in CD-HIT's .clstr layout")
    g.add_argument("--summary-json", metavar="FILE", help="also write the summary as JSON")
    g.add_argument("--report", metavar="FILE.html",
                   help="also write an HTML report (needs: pip install 'kelvara[report]')")
    g.add_argument("--report-clusters", type=_positive, default=12, metavar="N",
                   help="largest clusters shown in the report (default 12)")
    g.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")

    g = p.add_argument_group("Dask (needs: pip install 'kelvara[dask]')")
    g.add_argument("--dask", metavar="SCHEDULER",
                   help="run on a Dask cluster: a scheduler's address, or 'local' for worker processes on this "
                        "machine; -o is then a Parquet directory")
    return parser


def _version():
    try:
        from importlib.metadata import version

        return version("kelvara")
    except Exception:  # not installed as a distribution
        return "unknown"


def main(argv=None):
    args = build_parser().parse_args(argv)
    if args.command is None:
        build_parser().print_help(sys.stderr)
        return EXIT_USAGE
    pending = PendingFiles()
    try:
        return _run_class(args)(args, pending).run()
    except (InputError, UsageError) as e:
        _say(e)
        return EXIT_USAGE
    except KeyboardInterrupt:
        _say("interrupted")
        return EXIT_INTERRUPTED
    except (OutputError, ClusterError) as e:
        _say(e)
        return EXIT_FAILURE
    except InternalError as e:
        _say(f"internal error: {e}")
        return EXIT_FAILURE
    finally:
        pending.discard()


def _run_class(args):
    if args.dask is None:
        if args.threads is None:
            args.threads = 0
        return _Run
    try:
        from kelvara.cli_dask import DaskRun
    except ImportError as e:
        missing = e.name or getattr(e.__cause__, "name", None)
        raise UsageError(f"--dask needs the dask extra{f' ({missing} is missing)' if missing else ''}: "
                         f"pip install 'kelvara[dask]'") from None
    return DaskRun


def _say(message):
    print(f"kelvara: {message}", file=sys.stderr, flush=True)


def min_length(positions):
    """The shortest length every position fits."""
    return max(p + 1 if p >= 0 else -p for p in positions)


def resolve_positions(positions, length):
    """0-based positions within peptides of this length, in the order given."""
    return [p if p >= 0 else length + p for p in positions]


class _Run:
    def __init__(self, args, pending):
        self.args = args
        self.pending = pending
        self.bar = None
        self.seconds = {}
        self.started = None

    def close(self):
        if self.bar is not None:
            self.bar.close()

    def run(self):
        try:
            return self._run()
        finally:
            self.close()  # before any message, which must not land on the bar's line

    def _run(self):
        args = self.args
        self._check_options()
        self.started = time.perf_counter()
        counts, sources = read_inputs(args.inputs, args.column, args.count_column)
        self.seconds["read"] = time.perf_counter() - self.started

        groups, left_out = self._by_length(counts)
        total_anchors = sum(len(group) for group in groups.values())
        if not args.quiet and sys.stderr.isatty():
            self.bar = ProgressBar(sys.stderr, total_anchors, args.refine)

        lengths, clusters = [], []
        done = 0
        self.seconds["cluster"] = 0.0
        if args.refine:
            self.seconds["refine"] = 0.0
        self.seconds["write"] = 0.0
        for length, group in groups.items():
            result, length_clusters = self._cluster_length(length, group, done)
            lengths.append(result)
            clusters.extend(length_clusters)
            done += len(group)
        self.close()
        started = time.perf_counter()
        clusters.sort(key=cluster_order)
        self.seconds["write"] += time.perf_counter() - started

        summary = {
            "kelvara": _version(),
            "inputs": [{"name": s.name, "kind": s.kind, "records": s.records} for s in sources],
            "parameters": self._parameters(),
            "peptides": {
                "records": sum(s.records for s in sources),
                "read": len(counts),
                "kept": total_anchors,
                "left_out_by_length": {str(length): n for length, n in sorted(left_out.items())},
                "count": sum(r["count"] for r in lengths),
            },
            "lengths": lengths,
            "seconds": self.seconds,
        }
        self._write(summary, clusters)
        if not args.quiet:
            sys.stderr.write(format_summary(summary, self._written()))
        return 0

    def _check_options(self):
        args = self.args
        if (args.max_probes or args.min_block_bound) and not args.block_search:
            raise UsageError("--max-probes and --min-block-bound need --block-search")
        if args.length is not None and args.length < min_length(args.positions):
            raise UsageError(f"--positions {','.join(map(str, args.positions))} does not fit --length "
                             f"{args.length} (positions count from 0)")
        if args.inputs.count("-") > 1:
            raise UsageError("standard input ('-') can be read only once")
        if args.report:
            from kelvara import report

            missing = report.missing()
            if missing:
                raise UsageError(missing)
        targets = self._written()
        for target in targets:
            self._check_target(target)
        if len({os.path.abspath(t) for t in targets}) < len(targets):
            raise UsageError("the output files must be different files")

    def _check_target(self, target):
        directory = os.path.dirname(os.path.abspath(target))
        if not os.path.isdir(directory):
            raise UsageError(f"cannot write {target}: no directory {directory}")
        if os.path.isdir(target):
            raise UsageError(f"cannot write {target}: it is a directory")
        if not os.access(directory, os.W_OK | os.X_OK):
            raise UsageError(f"cannot write {target}: directory {directory} is not writable")

    def _written(self):
        args = self.args
        return [t for t in (args.output, args.clstr, args.summary_json, args.report) if t]

    def _by_length(self, counts):
        """{length: {peptide: count}} in ascending length, each in first-appearance order; and what is left out."""
        args = self.args
        lengths = set(map(len, counts))
        if len(lengths) == 1:
            groups = {lengths.pop(): counts}
        else:
            groups = {length: {} for length in sorted(lengths)}
            for peptide, count in counts.items():
                groups[len(peptide)][peptide] = count
        if args.length is not None:
            if args.length not in groups:
                found = ", ".join(map(str, sorted(groups)))
                raise InputError(f"no peptides of length {args.length} in the input (lengths: {found})")
            groups = {args.length: groups[args.length]}
        shortest = min_length(args.positions)
        left_out = {length: len(group) for length, group in groups.items() if length < shortest}
        groups = {length: group for length, group in groups.items() if length >= shortest}
        if not groups:
            raise InputError(f"no peptides of length {shortest} or more, which positions "
                             f"{','.join(map(str, args.positions))} need")
        return groups, left_out

    def _cluster_length(self, length, group, done):
        args = self.args
        positions = resolve_positions(args.positions, length)
        progress = None
        if self.bar is not None:
            self.bar.start_length(f"{length}-mers", done)
            progress = self.bar
        started = time.perf_counter()
        mapping, comparisons, early_exits = _core._cluster_anchors(
            group, args.threshold, positions, args.weight, args.block_search, args.max_probes,
            args.min_block_bound, args.threads, progress=progress)
        cluster_seconds = time.perf_counter() - started
        stats = None
        if args.refine:
            mapping, stats = _core._refine_clusters(
                group, mapping, args.threshold, args.refine, args.cap, not args.no_merge, positions, args.weight,
                args.fast_medoid, args.merge_cap, args.threads, progress=progress)
        refine_seconds = time.perf_counter() - started - cluster_seconds
        self.seconds["cluster"] += cluster_seconds
        if args.refine:
            self.seconds["refine"] += refine_seconds

        started = time.perf_counter()
        clusters = build_clusters(length, group, mapping)
        clusters.sort(key=cluster_order)
        self.seconds["write"] += time.perf_counter() - started  # grouping serves the output alone
        result = {
            "length": length,
            "positions": sorted(set(positions)),
            "anchors": len(group),
            "count": sum(group.values()),
            "clusters": len(clusters),
            "singletons": sum(1 for c in clusters if len(c.members) == 1),
            "largest": [{"centroid": c.centroid, "members": len(c.members), "count": c.total}
                        for c in clusters[:LARGEST_SHOWN]],
            "comparisons": comparisons,
            "early_exits": early_exits,
            "refinement": stats,
            "seconds": {"cluster": cluster_seconds, "refine": refine_seconds} if args.refine
                       else {"cluster": cluster_seconds},
        }
        return result, clusters

    def _parameters(self):
        args = self.args
        return {
            "threshold": args.threshold,
            "positions": args.positions,
            "weight": args.weight,
            "length": args.length,
            "threads": args.threads,
            "block_search": args.block_search,
            "max_probes": args.max_probes,
            "min_block_bound": args.min_block_bound,
            "refine": args.refine,
            "cap": args.cap,
            "merge": not args.no_merge,
            "merge_cap": args.merge_cap,
            "fast_medoid": args.fast_medoid,
        }

    def _write(self, summary, clusters):
        args = self.args
        started = time.perf_counter()
        self._output(args.output, write_tsv, clusters)
        if args.clstr:
            self._output(args.clstr, write_clstr, clusters)
        self.seconds["write"] += time.perf_counter() - started
        if args.report:
            from kelvara import report

            started = time.perf_counter()
            self._output(args.report, report.write_report, summary, clusters, args.report_clusters)
            self.seconds["report"] = time.perf_counter() - started
        self.seconds["total"] = time.perf_counter() - self.started
        if args.summary_json:
            self._output(args.summary_json, write_json, summary)
        self._commit()

    def _commit(self):
        try:
            self.pending.commit()
        except OSError as e:
            raise OutputError(f"cannot write {e.filename2 or e.filename}: {e.strerror or e}") from None

    def _output(self, target, write, *content):
        try:
            with self.pending.open(target) as f:
                write(f, *content)
        except OSError as e:
            raise OutputError(f"cannot write {target}: {e.strerror or e}") from None


def format_summary(summary, written):
    peptides = summary["peptides"]
    inputs = summary["inputs"]
    lines = [f"kelvara: {peptides['read']:,} unique peptides read from {len(inputs)} "
             f"input{'s' if len(inputs) != 1 else ''} ({peptides['records']:,} records), {peptides['kept']:,} kept"]
    for length, n in peptides["left_out_by_length"].items():
        lines.append(f"  left out {n:,} peptides of length {length}, too short for the anchor positions")
    header = ("length", "positions", "anchors", "clusters", "singletons", "comparisons", "largest clusters")
    rows = []
    for r in summary["lengths"]:
        largest = ", ".join(f"{c['centroid']} ({c['members']:,}/{c['count']:,})" for c in r["largest"])
        rows.append((str(r["length"]), ",".join(map(str, r["positions"])), f"{r['anchors']:,}",
                     f"{r['clusters']:,}", f"{r['singletons']:,}", f"{r['comparisons']:,}", largest))
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header) - 1)]
    for row in [header] + rows:
        cells = [cell.rjust(width) for cell, width in zip(row, widths)]
        lines.append("  " + "  ".join(cells + [row[-1]]).rstrip())
    lines.append("  (largest clusters: centroid (members/summed count))")
    for r in summary["lengths"]:
        stats = r["refinement"]
        if stats is not None:
            lines.append(f"  refined {r['length']}-mers: {stats['passes']} passes, {stats['medoid_changes']:,} medoid "
                         f"changes, {stats['reassignments']:,} reassignments, {stats['merges']:,} merges, "
                         f"{stats['initial_clusters']:,} -> {stats['final_clusters']:,} clusters")
    phases = ", ".join(f"{phase} {seconds:.2f}" for phase, seconds in summary["seconds"].items() if phase != "total")
    lines.append(f"seconds: {phases}; total {summary['seconds'].get('total', 0.0):.2f}")
    lines.append("wrote " + ", ".join(written))
    return "\n".join(lines) + "\n"
