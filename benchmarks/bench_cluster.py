"""Time kelvara.cluster_anchors over one or several thread counts.

Examples:
    python benchmarks/bench_cluster.py --n 50000
    python benchmarks/bench_cluster.py data/proteome_9mers_100k.tsv.gz --positions 1,8 --threads 1 2
"""

import argparse
import sys

import kelvara
from _common import DEFAULT_POSITIONS, block_spread, int_list, load_tsv, synthetic, timed


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("tsv", nargs="?", help="anchor<TAB>count file, gzip or plain; synthetic data if omitted")
    p.add_argument("--n", type=int, default=100_000, help="synthetic anchors (default 100000)")
    p.add_argument("--length", type=int, default=9, help="synthetic anchor length (default 9)")
    p.add_argument("--seed", type=int, default=1, help="synthetic data seed (default 1)")
    p.add_argument("--threshold", type=float, default=0.7, help="default 0.7")
    p.add_argument("--positions", type=int_list,
                   help="anchor positions, e.g. 1,8 (default: the module's, 1,5)")
    p.add_argument("--weight", type=float, help="anchor weight (default: the module's, 2.0)")
    p.add_argument("--threads", type=int, nargs="+", default=[1],
                   help="one or more thread counts (default 1)")
    p.add_argument("--repeat", type=int, default=3, help="runs per thread count; the median is reported")
    p.add_argument("--block-search", action="store_true", help="also search neighbouring blocks")
    return p.parse_args()


def main():
    args = parse_args()
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
