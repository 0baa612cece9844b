"""`kelvara assign`: new peptides clustered onto an existing clustering, the reference, whose clusters keep
their centroids and numbers."""

from kelvara import job
from kelvara.cli.errors import UsageError
from kelvara.cli.local import LocalRun
from kelvara.io.inputs import display_name
from kelvara.io.reference import read_reference

_REFUSED = [
    # (given, option, why)
    (lambda a: a.refine, "--refine", "refinement would move the reference's centroids"),
    (lambda a: a.block_search or a.max_probes or a.min_block_bound, "--block-search",
     "assignment searches each peptide's own block"),
    (lambda a: a.dask, "--dask", "assignment runs on one machine"),
]


class AssignRun(LocalRun):
    def check_options(self):
        args = self.args
        for given, option, why in _REFUSED:
            if given(args):
                raise UsageError(f"{option} is not offered by kelvara assign: {why}")
        self.reference = read_reference(args.reference)
        recorded = self.reference.parameters or {}
        self._settle("positions", recorded, list)
        self._settle("weight", recorded, float)
        if args.threshold is None:
            args.threshold = float(recorded.get("threshold", 0.7))
        super().check_options()

    def cluster(self, peptides):
        return job.cluster(peptides, job.Options.of_args(self.args), self.bar, self.seconds, reference=self.reference)

    def _settle(self, name, recorded, convert):
        """An option that must be the reference's: taken from its record when left out, checked when given."""
        args = self.args
        given = getattr(args, name)
        shown = display_name(args.reference)
        if name not in recorded:
            if given is None and name == "positions":
                raise UsageError(f"{shown} records no anchor positions: give --positions as its run had them")
            if given is None:
                setattr(args, name, 2.0)
            return
        theirs = convert(recorded[name])
        if given is None:
            setattr(args, name, theirs)
            return
        if name == "positions":
            lengths = self.reference.lengths()
            differ = any(sorted(set(job.resolve_positions(given, n))) != sorted(set(job.resolve_positions(theirs, n)))
                         for n in lengths)
        else:
            differ = float(given) != theirs
        if differ:
            text = ",".join(map(str, theirs)) if name == "positions" else theirs
            raise UsageError(f"{shown} was clustered with --{name} {text}: give the same, or leave --{name} out")

    def summarize(self, summary, lengths):
        reference = self.reference
        summary["reference"] = {
            "name": reference.name,
            "clusters": reference.clusters,
            "joined": sum(r["assignment"]["joined"] for r in lengths),
            "reference_clusters_joined": sum(r["assignment"]["reference_clusters_joined"] for r in lengths),
            "new_clusters": sum(r["assignment"]["new_clusters"] for r in lengths),
        }
