"""Time kelvara.cluster_anchors over one or several thread counts, or compare it with other tools.

Examples:
    python benchmarks/bench_cluster.py --n 50000
    python benchmarks/bench_cluster.py data/proteome_9mers_100k.tsv.gz --positions 1,8 --threads 1 2
    python benchmarks/bench_cluster.py --compare --previous /path/to/old/site-packages/kelvara
    python benchmarks/bench_cluster.py --compare --sets proteome_1m --thresholds 0.7 0.8 --repeat 1
    python benchmarks/bench_cluster.py --compare --sets proteome_1m proteome_all --thresholds 0.7 --threads 1 2

--compare runs, on the shared data sets and in one process, this build, a previous build (--previous: a
directory holding its _core module, or the module file) and CD-HIT when `cd-hit` is on the PATH, one after
the other for every repeat, so that their ratios come from the same conditions. Times are seconds of the
cluster_anchors call, and of the whole cd-hit process on a FASTA of the same anchors in processing order
(with as many threads, -T). Every timed call's mapping, in order, and both counters must equal the previous
build's and this build's first result for that set and threshold, whatever the thread count.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import kelvara
from _common import (DEFAULT_POSITIONS, block_spread, data_dir, int_list, load_previous, load_tsv, synthetic,
                     timed)

SETS = {
    "proteome_100k": "proteome_9mers_100k.tsv.gz",
    "ligandome_100k": "ligandome_9mers_100k.tsv.gz",
    "proteome_1m": "proteome_9mers_1m.tsv.gz",
    "proteome_all": "proteome_all_9mers.tsv.gz",
}


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("tsv", nargs="?", help="anchor<TAB>count file, gzip or plain; synthetic data if omitted")
    p.add_argument("--n", type=int, default=100_000, help="synthetic anchors (default 100000)")
    p.add_argument("--length", type=int, default=9, help="synthetic anchor length (default 9)")
    p.add_argument("--seed", type=int, default=1, help="synthetic data seed (default 1)")
    p.add_argument("--threshold", type=float, default=0.7, help="default 0.7")
    p.add_argument("--positions", type=int_list,
                   help="anchor positions, e.g. 1,8 (default: the module's, 1,5; with --compare 1,8)")
    p.add_argument("--weight", type=float, help="anchor weight (default: the module's, 2.0)")
    p.add_argument("--threads", type=int, nargs="+", default=[1],
                   help="one or more thread counts (default 1)")
    p.add_argument("--repeat", type=int, default=3, help="runs per setting; the median is reported")
    p.add_argument("--block-search", action="store_true", help="also search neighbouring blocks")
    c = p.add_argument_group("comparison")
    c.add_argument("--compare", action="store_true", help="compare with a previous build and with CD-HIT")
    c.add_argument("--sets", nargs="+", choices=sorted(SETS), default=["proteome_100k", "ligandome_100k"],
                   help="shared data sets (default: the two 100k sets)")
    c.add_argument("--thresholds", type=float, nargs="+", default=[0.5, 0.6, 0.7, 0.8],
                   help="default 0.5 0.6 0.7 0.8")
    c.add_argument("--previous", help="directory or file of a previous build's _core module")
    c.add_argument("--no-cdhit", action="store_true", help="leave CD-HIT out even when it is installed")
    c.add_argument("--data", help="directory of the shared data sets (default: $KELVARA_DATA, ../shared/data)")
    return p.parse_args()


def cdhit_word(threshold):
    """CD-HIT's word length for a protein identity threshold, as its documentation recommends."""
    return 5 if threshold >= 0.7 else 4 if threshold >= 0.6 else 3 if threshold >= 0.5 else 2


def run_cdhit(fasta, threshold, workdir, threads=1):
    out = os.path.join(workdir, "cdhit.out")
    cmd = ["cd-hit", "-i", fasta, "-o", out, "-c", str(threshold), "-n", str(cdhit_word(threshold)),
           "-l", "5", "-T", str(threads), "-d", "0", "-M", "0"]
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def write_fasta(counts, path):
    # Most frequent first, ties in file order: the order kelvara processes them in.
    order = sorted(range(len(counts)), key=lambda i: -counts[i][1])
    with open(path, "w") as f:
        for k, i in enumerate(order):
            f.write(f">a{k}\n{counts[i][0]}\n")


def same_result(a, b):
    """Equal counters and equal mappings with their keys in the same order (which, with dict equality,
    puts every pair in the same place)."""
    return a[1:] == b[1:] and a[0] == b[0] and list(a[0]) == list(b[0])


def print_row(name, threshold, threads, comparisons, ours, old, theirs):
    row = f"| {name} | {threshold} | {threads} | {comparisons:.3g} | {statistics.median(ours):.3f} |"
    if old:
        row += f" {statistics.median(old):.3f} | {statistics.median(ours) / statistics.median(old):.2f} |"
    if theirs:
        row += f" {statistics.median(theirs):.3f} | {statistics.median(ours) / statistics.median(theirs):.2f} |"
    print(row, flush=True)


def compare(args):
    positions = args.positions or [1, 8]
    weight = 2.0 if args.weight is None else args.weight
    previous = load_previous(args.previous) if args.previous else None
    cdhit = None if args.no_cdhit else shutil.which("cd-hit")
    directory = data_dir(args.data)
    print(f"positions={positions} weight={weight} threads={args.threads} repeat={args.repeat} (medians)")
    print(f"previous build: {args.previous or 'none'}; CD-HIT: {cdhit or 'not on the PATH'}")
    print(f"SIMD level: {kelvara._core._simd()[0]}")
    header = "| set | threshold | threads | comparisons | kelvara (s) |"
    if previous:
        header += " previous (s) | kelvara / previous |"
    if cdhit:
        header += " CD-HIT (s) | kelvara / CD-HIT |"
    print()
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    failures = []
    with tempfile.TemporaryDirectory() as workdir:
        for name in args.sets:
            counts = load_tsv(os.path.join(directory, SETS[name]))
            fasta = os.path.join(workdir, f"{name}.fa")
            if cdhit:
                write_fasta(list(counts.items()), fasta)
            for threshold in args.thresholds:
                first = None
                for threads in args.threads:
                    ours, theirs, old = [], [], []
                    for r in range(args.repeat):
                        # The build that runs right after CD-HIT meets cold caches: each goes first in turn.
                        builds = [(kelvara, ours), (previous, old)] if previous else [(kelvara, ours)]
                        results = {}
                        for module, times in builds if r % 2 == 0 else builds[::-1]:
                            start = time.perf_counter()
                            results[module] = module.cluster_anchors(counts, threshold, positions, weight,
                                                                     threads=threads)
                            times.append(time.perf_counter() - start)
                        result = results.pop(kelvara)
                        first = first or result
                        if not same_result(result, first):
                            failures.append(f"{name} at {threshold}, {threads} threads, against this build")
                        if previous and not same_result(results.pop(previous), result):
                            failures.append(f"{name} at {threshold}, {threads} threads")
                        del result, results
                        if cdhit:
                            theirs.append(run_cdhit(fasta, threshold, workdir, threads))
                    print_row(name, threshold, threads, first[1], ours, old, theirs)
    if failures:
        print("FAIL: results differ for " + ", ".join(failures), file=sys.stderr)
        return 1
    if previous:
        print("\nmappings and counters identical to the previous build")
    return 0


def main():
    args = parse_args()
    if args.compare:
        return compare(args)
    if args.tsv:
        counts, source = load_tsv(args.tsv), args.tsv
    else:
        counts = synthetic(args.n, args.length, args.seed)
        source = f"synthetic n={args.n} length={args.length} seed={args.seed}"

    # Pass only what was asked for, so the module's own defaults are what gets measured otherwise.
    kwargs = {"obg_block_search": args.block_search}
    if args.positions is not None:
        kwargs["anchor_positions"] = args.positions
    if args.weight is not None:
        kwargs["anchor_weight"] = args.weight
    positions = sorted(set(args.positions)) if args.positions is not None else list(DEFAULT_POSITIONS)

    several = len(args.threads) > 1
    print(f"data: {source}")
    weight = "default" if args.weight is None else args.weight
    print(f"threshold={args.threshold} positions={positions} weight={weight} "
          f"block_search={args.block_search} repeat={args.repeat}")
    if args.block_search and several:
        print("note: threads is ignored by the module when block search is on")

    reference, first_median, mismatched = None, None, []
    print(f"{'threads':>7} {'anchors':>9} {'clusters':>9} {'comparisons':>13} {'early_exits':>13} "
          f"{'median_s':>9} {'ns/cmp':>7}" + (f" {'speedup':>7}" if several else ""))
    for threads in args.threads:
        median, results = timed(
            lambda: kelvara.cluster_anchors(counts, args.threshold, threads=threads, **kwargs), args.repeat)
        for mapping, n_cmp, n_exit in results:
            key = (list(mapping.items()), n_cmp, n_exit)
            if reference is None:
                reference = key
            elif key != reference:
                mismatched.append(threads)
        mapping, n_cmp, n_exit = results[0]
        first_median = first_median or median
        ns = median * 1e9 / n_cmp if n_cmp else float("nan")
        print(f"{threads:>7} {len(mapping):>9} {len(set(mapping.values())):>9} {n_cmp:>13} {n_exit:>13} "
              f"{median:>9.3f} {ns:>7.2f}" + (f" {first_median / median:>6.2f}x" if several else ""))

    n_blocks, largest = block_spread(counts, positions)
    print(f"blocks at {positions}: {n_blocks}, largest holds {largest:.1%} of the anchors")

    if mismatched:
        print(f"FAIL: results differ from the first run for threads={sorted(set(mismatched))}",
              file=sys.stderr)
        return 1
    print("results identical across all runs" + (" and thread counts" if several else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
