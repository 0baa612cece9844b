"""`kelvara cluster` on one machine: inputs read natively into one peptide table, each length clustered
(and refined) from it, and every output made from it in pieces."""

import os
import sys
import time

from kelvara import job
from kelvara.cli.options import version
from kelvara.cli.run import Run
from kelvara.cli.summary import format_summary
from kelvara.io.inputs import Reading, display_name, read_inputs
from kelvara.io.reference import parameters_path
from kelvara.io.outputs import table_kind, write_json, write_native, write_sample_table, write_table
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
        reading = Reading(args.strip_modifications, args.intensity, args.samples, args.sample_column)
        peptides, sources = read_inputs(args.inputs, args.column, args.count_column,
                                        progress=self.bar.reading if self.bar is not None else None, reading=reading)
        self.seconds["read"] = time.perf_counter() - self.started

        lengths, left_out = self.cluster(peptides)
        summary = {
            "kelvara": version(),
            "inputs": [self._source(s) for s in sources],
            "parameters": self.parameters(),
            "peptides": self._peptides(peptides, sources, lengths, left_out),
            "lengths": lengths,
        }
        if peptides.sample_names():
            summary["samples"] = [{"name": name, "peptides": p, "count": c, "clusters": k}
                                  for name, (p, c, k) in zip(peptides.sample_names(), peptides.sample_figures())]
        self.summarize(summary, lengths)
        warnings = self._warnings(peptides, sources, lengths)
        if warnings:
            summary["warnings"] = warnings
        summary["seconds"] = self.seconds
        self._write(summary, peptides)
        if not args.quiet:
            _to_stderr(format_summary(summary, self.written()))
        return 0

    def cluster(self, peptides):
        """(the summary of each length, {length: peptides left out})"""
        return job.cluster(peptides, job.Options.of_args(self.args), self.bar, self.seconds)

    def summarize(self, summary, lengths):
        """What a kind of run adds to the summary."""

    def sidecar(self):
        """Where the parameters of the run go beside the table, or None (standard output, a device)."""
        target = self.args.output
        if target == "-" or (os.path.exists(target) and not os.path.isfile(target)):
            return None
        return parameters_path(target)

    def written(self):
        written = super().written()
        sidecar = self.sidecar()
        return written + [sidecar] if sidecar else written

    def _source(self, source):
        args = self.args
        out = {"name": source.name, "kind": source.kind, "records": source.records}
        if args.samples:
            out["sample"] = source.sample
        if args.strip_modifications:
            out["stripped"] = source.stripped
        if args.intensity:
            out["not_quantified"] = source.unquantified
        return out

    def _peptides(self, peptides, sources, lengths, left_out):
        args = self.args
        out = {
            "records": sum(s.records for s in sources),
            "read": peptides.size(),
            "kept": sum(r["anchors"] for r in lengths),
            "left_out_by_length": {str(length): n for length, n in sorted(left_out.items())},
            "count": sum(r["count"] for r in lengths),
        }
        if args.strip_modifications:
            out["stripped"] = sum(s.stripped for s in sources)
        if args.intensity:
            out["not_quantified"] = sum(s.unquantified for s in sources)
        return out

    def _warnings(self, peptides, sources, lengths):
        warnings = []
        odd = peptides.nonstandard([r["length"] for r in lengths])
        if odd:
            warnings.append(f"{odd:,} peptide{'s hold' if odd != 1 else ' holds'} B, J, O, U, X or Z, which score 0 "
                            f"at their position (X at an anchor position makes a block of its own)")
        for s in sources:
            if s.long_records * 2 > s.records:
                warnings.append(f"{display_name(s.name)} looks like proteins, not peptides: {s.long_records:,} of its "
                                f"{s.records:,} records are longer than 30 residues")
        return warnings

    def _write(self, summary, peptides):
        args = self.args
        started = time.perf_counter()
        self.output(args.output, write_table, peptides, table_kind(args.output), self._progress(args.output),
                    args.command == "assign")
        if args.clstr:
            self.output(args.clstr, write_native, peptides, "clstr", self._progress(args.clstr))
        if args.centroids:
            self.output(args.centroids, write_native, peptides, "centroids", self._progress(args.centroids))
        if args.sample_table:
            self.output(args.sample_table, write_sample_table, peptides, self._progress(args.sample_table))
        self.seconds["write"] += time.perf_counter() - started
        if args.report:
            from kelvara import report

            started = time.perf_counter()
            if self.bar is not None:
                self.bar.task(f"writing {display_name(args.report)}")
            self.output(args.report, report.write_report, summary, peptides, args.report_clusters)
            self.seconds["report"] = time.perf_counter() - started
        self.seconds["total"] = time.perf_counter() - self.started
        if self.sidecar():
            self.output(self.sidecar(), write_json, {"kelvara": version(), "command": args.command,
                                                     "parameters": summary["parameters"]})
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

