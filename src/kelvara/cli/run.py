"""What every run of `kelvara cluster` shares, on one machine or on Dask: the checks of its options and
outputs, and the outputs written under temporary names until the run completes."""

import os

from kelvara.cli.errors import OutputError, UsageError
from kelvara.job import min_length
from kelvara.io.inputs import display_name
from kelvara.io.outputs import STDOUT


class Run:
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
        raise NotImplementedError

    def check_options(self):
        args = self.args
        if (args.max_probes or args.min_block_bound) and not args.block_search:
            raise UsageError("--max-probes and --min-block-bound need --block-search")
        if args.length is not None and args.length < min_length(args.positions):
            raise UsageError(f"--positions {','.join(map(str, args.positions))} does not fit --length "
                             f"{args.length} (positions count from 0)")
        if args.sample_table and not (args.samples or args.sample_column):
            raise UsageError("--sample-table needs --samples or --sample-column to say where samples come from")
        if args.samples and args.sample_column:
            raise UsageError("--samples and --sample-column are two ways to name samples: give one")
        if args.sample_column and not args.column:
            raise UsageError("--sample-column needs --column to name the peptide column")
        if args.intensity and not args.count_column and args.column:
            raise UsageError("--intensity needs --count-column to name the intensity column of a table")
        if args.inputs.count("-") > 1:
            raise UsageError("standard input ('-') can be read only once")
        if args.report:
            from kelvara import report

            missing = report.missing()
            if missing:
                raise UsageError(missing)
        targets = self.written()
        if targets.count(STDOUT) > 1:
            raise UsageError("only one output can go to standard output ('-')")
        for target in targets:
            self.check_target(target)
        named = [os.path.abspath(t) for t in targets if t != STDOUT]
        if len(set(named)) < len(named):
            raise UsageError("the output files must be different files")

    def check_target(self, target):
        if target == STDOUT:
            return
        shown = display_name(target)
        directory = os.path.dirname(os.path.abspath(target))
        if not os.path.isdir(directory):
            raise UsageError(f"cannot write {shown}: no directory {display_name(directory)}")
        if os.path.isdir(target):
            raise UsageError(f"cannot write {shown}: it is a directory")
        if not os.access(directory, os.W_OK | os.X_OK):
            raise UsageError(f"cannot write {shown}: directory {display_name(directory)} is not writable")

    def written(self):
        args = self.args
        return [t for t in (args.output, args.clstr, args.centroids, args.sample_table, args.summary_json, args.report)
                if t]

    def parameters(self):
        args = self.args
        given = {name: value for name, value in (("strip_modifications", args.strip_modifications),
                                                 ("intensity", args.intensity), ("samples", args.samples),
                                                 ("sample_column", args.sample_column)) if value}
        return given | {
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

    def commit(self):
        try:
            self.pending.commit()
        except OSError as e:
            raise OutputError(f"cannot write {display_name(e.filename2 or e.filename)}: {e.strerror or e}") from None

    def output(self, target, write, *content):
        """Write one output; a full disk or the like is one line and exit status 1, a closed pipe the end."""
        try:
            f = self.pending.open(target)
            try:
                write(f, *content)
            finally:
                f.close()
        except BrokenPipeError:
            raise
        except OSError as e:
            raise OutputError(f"cannot write {display_name(target)}: {e.strerror or e}") from None
