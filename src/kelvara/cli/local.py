"""`kelvara cluster` on one machine: inputs read natively into one peptide table, each length clustered
(and refined) from it, and every output made from it in pieces."""

import sys
import time

from kelvara.cli.options import min_length, resolve_positions, version
from kelvara.cli.run import Run
from kelvara.cli.summary import LARGEST_SHOWN, format_summary
from kelvara.io.inputs import InputError, read_inputs
from kelvara.io.outputs import table_kind, write_json, write_native, write_table
from kelvara.progress import ProgressBar


class LocalRun(Run):
    def _run(self):
        args = self.args
        if args.threads is None:
            args.threads = 0
        self.check_options()
        self.started = time.perf_counter()
        if not args.quiet and _is_terminal(sys.stderr):
            self.bar = ProgressBar(sys.stderr, 0, args.refine)
        peptides, sources = read_inputs(args.inputs, args.column, args.count_column,
                                        progress=self.bar.reading if self.bar is not None else None)
        self.seconds["read"] = time.perf_counter() - self.started

        groups, left_out = self._by_length(peptides.lengths())
        total_anchors = sum(n for _, n in groups)
        if self.bar is not None:
            self.bar.total = total_anchors
        self.seconds["cluster"] = 0.0
        if args.refine:
            self.seconds["refine"] = 0.0
        lengths = []
        done = 0
        for length, n in groups:
            lengths.append(self._cluster_length(peptides, length, n, done))
            done += n

        started = time.perf_counter()
        peptides.order()
        figures = peptides.figures(LARGEST_SHOWN)
        self.seconds["write"] = time.perf_counter() - started
        for r in lengths:
            clusters, singletons, count, largest = figures[r["length"]]
            r.update(count=count, clusters=clusters, singletons=singletons,
                     largest=[{"centroid": c, "members": m, "count": t} for c, m, t in largest])
        summary = {
            "kelvara": version(),
            "inputs": [{"name": s.name, "kind": s.kind, "records": s.records} for s in sources],
            "parameters": self.parameters(),
            "peptides": {
                "records": sum(s.records for s in sources),
                "read": peptides.size(),
                "kept": total_anchors,
                "left_out_by_length": {str(length): n for length, n in sorted(left_out.items())},
                "count": sum(r["count"] for r in lengths),
            },
            "lengths": [_in_order(r) for r in lengths],
            "seconds": self.seconds,
        }
        self._write(summary, peptides)
        if not args.quiet:
            _to_stderr(format_summary(summary, self.written()))
        return 0

    def _by_length(self, lengths):
        """[(length, peptides)] to cluster, ascending; and {length: peptides} of those left out."""
        args = self.args
        groups = dict(lengths)
        if args.length is not None:
            if args.length not in groups:
                found = ", ".join(map(str, sorted(groups)))
                raise InputError(f"no peptides of length {args.length} in the input (lengths: {found})")
            groups = {args.length: groups[args.length]}
        shortest = min_length(args.positions)
        left_out = {length: n for length, n in groups.items() if length < shortest}
        kept = [(length, n) for length, n in sorted(groups.items()) if length >= shortest]
        if not kept:
            raise InputError(f"no peptides of length {shortest} or more, which positions "
                             f"{','.join(map(str, args.positions))} need")
        return kept, left_out

    def _cluster_length(self, peptides, length, n, done):
        args = self.args
        positions = resolve_positions(args.positions, length)
        if self.bar is not None:
            self.bar.start_length(f"{length}-mers", done)
        comparisons, early_exits, stats, cluster_seconds, refine_seconds = peptides.cluster(
            length, positions, args.threshold, args.weight, args.block_search, args.max_probes,
            args.min_block_bound, args.threads, args.refine, args.cap, not args.no_merge, args.fast_medoid,
            args.merge_cap, self.bar)
        self.seconds["cluster"] += cluster_seconds
        if args.refine:
            self.seconds["refine"] += refine_seconds
        return {
            "length": length,
            "positions": sorted(set(positions)),
            "anchors": n,
            "comparisons": comparisons,
            "early_exits": early_exits,
            "refinement": stats,
            "seconds": {"cluster": cluster_seconds, "refine": refine_seconds} if args.refine
                       else {"cluster": cluster_seconds},
        }

    def _write(self, summary, peptides):
        args = self.args
        started = time.perf_counter()
        self.output(args.output, write_table, peptides, table_kind(args.output), self._progress(args.output))
        if args.clstr:
            self.output(args.clstr, write_native, peptides, "clstr", self._progress(args.clstr))
        if args.centroids:
            self.output(args.centroids, write_native, peptides, "centroids", self._progress(args.centroids))
        self.seconds["write"] += time.perf_counter() - started
        if args.report:
            from kelvara import report

            started = time.perf_counter()
            if self.bar is not None:
                self.bar.task(f"writing {args.report}")
            self.output(args.report, report.write_report, summary, peptides, args.report_clusters)
            self.seconds["report"] = time.perf_counter() - started
        self.seconds["total"] = time.perf_counter() - self.started
        if args.summary_json:
            self.output(args.summary_json, write_json, summary)
        self.close()
        self.commit()

    def _progress(self, target):
        if self.bar is None:
            return None
        self.bar.task(f"writing {'standard output' if target == '-' else target}")
        return self.bar.writing


_ORDER = ("length", "positions", "anchors", "count", "clusters", "singletons", "largest", "comparisons",
          "early_exits", "refinement", "seconds")


def _in_order(r):
    return {key: r[key] for key in _ORDER}


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (ValueError, AttributeError):
        return False


def _to_stderr(text):
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass  # a closed standard error changes nothing

