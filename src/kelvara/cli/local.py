"""`kelvara cluster` on one machine: inputs read natively into one peptide table, each length clustered
(and refined) from it, and every output made from it in pieces."""

import sys
import time

from kelvara import job
from kelvara.cli.options import version
from kelvara.cli.run import Run
from kelvara.cli.summary import format_summary
from kelvara.io.inputs import display_name, read_inputs
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

        lengths, left_out = job.cluster(peptides, job.Options.of_args(args), self.bar, self.seconds)
        summary = {
            "kelvara": version(),
            "inputs": [{"name": s.name, "kind": s.kind, "records": s.records} for s in sources],
            "parameters": self.parameters(),
            "peptides": {
                "records": sum(s.records for s in sources),
                "read": peptides.size(),
                "kept": sum(r["anchors"] for r in lengths),
                "left_out_by_length": {str(length): n for length, n in sorted(left_out.items())},
                "count": sum(r["count"] for r in lengths),
            },
            "lengths": lengths,
            "seconds": self.seconds,
        }
        self._write(summary, peptides)
        if not args.quiet:
            _to_stderr(format_summary(summary, self.written()))
        return 0

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
                self.bar.task(f"writing {display_name(args.report)}")
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
        self.bar.task(f"writing {'standard output' if target == '-' else display_name(target)}")
        return self.bar.writing


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (ValueError, AttributeError):
        return False


def _to_stderr(text):
    if sys.stderr is None:
        return
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, ValueError):
        pass  # a closed standard error changes nothing

