"""One clustering job on a native peptide table: each length clustered on its own (and refined), then the
clusters of all lengths put in one order. The command line and the Python functions share it."""

import time

from kelvara.io.inputs import InputError

LARGEST_SHOWN = 3  # largest clusters per length in a summary


class Options:
    """The clustering options of a job, with the command line's defaults."""

    def __init__(self, threshold=0.7, positions=(1, -1), weight=2.0, length=None, threads=0, block_search=False,
                 max_probes=0, min_block_bound=0.0, refine=0, cap=32, merge=True, fast_medoid=False, merge_cap=0):
        self.threshold, self.positions, self.weight, self.length = threshold, list(positions), weight, length
        self.threads, self.block_search, self.max_probes = threads, block_search, max_probes
        self.min_block_bound, self.refine, self.cap, self.merge = min_block_bound, refine, cap, merge
        self.fast_medoid, self.merge_cap = fast_medoid, merge_cap

    @classmethod
    def of_args(cls, args):
        return cls(args.threshold, args.positions, args.weight, args.length, args.threads, args.block_search,
                   args.max_probes, args.min_block_bound, args.refine, args.cap, not args.no_merge,
                   args.fast_medoid, args.merge_cap)


def min_length(positions):
    """The shortest length every position fits."""
    return max(p + 1 if p >= 0 else -p for p in positions)


def resolve_positions(positions, length):
    """0-based positions within peptides of this length, in the order given."""
    return [p if p >= 0 else length + p for p in positions]


def by_length(lengths, positions, length=None):
    """From [(length, peptides)]: those to cluster, ascending, and {length: peptides} of those left out as
    too short for the positions."""
    groups = dict(lengths)
    if length is not None:
        if length not in groups:
            found = ", ".join(map(str, sorted(groups)))
            raise InputError(f"no peptides of length {length} in the input (lengths: {found})")
        groups = {length: groups[length]}
    shortest = min_length(positions)
    left_out = {n: count for n, count in groups.items() if n < shortest}
    kept = [(n, count) for n, count in sorted(groups.items()) if n >= shortest]
    if not kept:
        raise InputError(f"no peptides of length {shortest} or more, which positions "
                         f"{','.join(map(str, positions))} need")
    return kept, left_out


_ORDER = ("length", "positions", "anchors", "count", "clusters", "singletons", "largest", "comparisons",
          "early_exits", "refinement", "seconds")


def cluster(peptides, options, progress=None, seconds=None, reference=None):
    """Cluster every length of the table that options keep, then order the clusters; returns (the summary
    of each length, {length: peptides left out}). Phase times are added to `seconds` ("cluster", "refine",
    and "write" for the ordering, which serves the outputs alone).

    With a `reference` (kelvara.io.reference.Reference), each length is assigned to the reference's
    centroids of that length instead: the same greedy pass, with each block's centroids starting as the
    reference's; a length the reference lacks makes new clusters only."""
    seconds = {} if seconds is None else seconds
    groups, left_out = by_length(peptides.lengths(), options.positions, options.length)
    if progress is not None:
        progress.total = sum(n for _, n in groups)
    seconds.setdefault("cluster", 0.0)
    if options.refine:
        seconds.setdefault("refine", 0.0)
    lengths = []
    done = 0
    for length, n in groups:
        positions = resolve_positions(options.positions, length)
        if progress is not None:
            progress.start_length(f"{length}-mers", done)
        assigned = None
        if reference is not None and reference.size(length):
            references, numbers = reference.packed[length]
            comparisons, early_exits, joined, new, gained, cluster_seconds = peptides.assign(
                length, references, numbers, positions, options.threshold, options.weight, options.threads,
                progress)
            stats, refine_seconds = None, 0.0
            assigned = {"joined": joined, "new_clusters": new, "reference_clusters": reference.size(length),
                        "reference_clusters_joined": gained}
        else:
            comparisons, early_exits, stats, cluster_seconds, refine_seconds = peptides.cluster(
                length, positions, options.threshold, options.weight, options.block_search, options.max_probes,
                options.min_block_bound, options.threads, options.refine, options.cap, options.merge,
                options.fast_medoid, options.merge_cap, progress)
            if reference is not None:
                assigned = {"joined": 0, "new_clusters": None, "reference_clusters": 0,
                            "reference_clusters_joined": 0}
        seconds["cluster"] += cluster_seconds
        if options.refine:
            seconds["refine"] += refine_seconds
        lengths.append({
            "length": length,
            "positions": sorted(set(positions)),
            "anchors": n,
            "comparisons": comparisons,
            "early_exits": early_exits,
            "refinement": stats,
            "seconds": {"cluster": cluster_seconds, "refine": refine_seconds} if options.refine
                       else {"cluster": cluster_seconds},
            "assignment": assigned,
        })
        done += n
    started = time.perf_counter()
    peptides.order()
    figures = peptides.figures(LARGEST_SHOWN)
    seconds["write"] = seconds.get("write", 0.0) + time.perf_counter() - started
    for r in lengths:
        clusters, singletons, count, largest = figures[r["length"]]
        r.update(count=count, clusters=clusters, singletons=singletons,
                 largest=[{"centroid": c, "members": m, "count": t} for c, m, t in largest])
        if r["assignment"] is not None and r["assignment"]["new_clusters"] is None:
            r["assignment"]["new_clusters"] = clusters
    keys = _ORDER + (("assignment",) if reference is not None else ())
    return [{key: r[key] for key in keys} for r in lengths], left_out
