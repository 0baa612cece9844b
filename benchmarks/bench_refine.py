"""Time kelvara.refine_clusters on the clustering of a TSV, per thread count, beside cluster_anchors.

Examples:
    python benchmarks/bench_refine.py /work/shared/data/proteome_9mers_100k.tsv.gz --threads 1 2
    python benchmarks/bench_refine.py /work/shared/data/proteome_9mers_1m.tsv.gz --threads 2 --no-fast
    python benchmarks/bench_refine.py /work/shared/data/proteome_9mers_100k.tsv.gz --positions-compare 1,8 0,1,2,3,5,6,7,8

For every thread count the run alternates cluster_anchors and a refinement of its result, so that the
ratio of the two (refinement / clustering) comes from the same conditions. --positions-compare times block
search and one refinement pass for each of several position sets instead, as ratios to the first set.
"""

import argparse
import statistics
import sys
import time

import kelvara
from _common import int_list, load_tsv

STATS = ("passes", "medoid_changes", "reassignments", "merges", "initial_clusters", "final_clusters")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("tsv", help="anchor<TAB>count file, gzip or plain")
    p.add_argument("--threshold", type=float, default=0.7, help="default 0.7")
    p.add_argument("--positions", type=int_list, default=[1, 8], help="anchor positions (default 1,8)")
    p.add_argument("--iterations", type=int, default=5, help="max refinement passes (default 5)")
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2], help="thread counts (default 1 2)")
    p.add_argument("--repeat", type=int, default=1, help="runs per setting; the median is reported")
    p.add_argument("--no-fast", action="store_true", help="leave out the fast-medoid runs")
    p.add_argument("--positions-compare", type=int_list, nargs="+", metavar="POSITIONS",
                   help="time block search and one refinement pass for each position set")
    return p.parse_args()


def seconds(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def refine_runs(args, counts):
    print(f"threshold={args.threshold} positions={args.positions} iterations={args.iterations} "
          f"repeat={args.repeat}")
    mismatched = []
    print(f"{'fast':>5} {'threads':>7} {'cluster_s':>9} {'refine_s':>9} {'s/pass':>7} {'ratio':>6} "
          + " ".join(f"{s:>16}" for s in STATS))
    for fast in (False,) if args.no_fast else (False, True):
        reference = None
        for threads in args.threads:
            cluster_times, refine_times = [], []
            for _ in range(args.repeat):
                t, (mapping, _, _) = seconds(lambda: kelvara.cluster_anchors(
                    counts, args.threshold, anchor_positions=args.positions, threads=threads))
                cluster_times.append(t)
                t, (refined, stats) = seconds(lambda: kelvara.refine_clusters(
                    counts, mapping, args.threshold, args.iterations, anchor_positions=args.positions,
                    fast_medoid=fast, threads=threads))
                refine_times.append(t)
                key = (list(refined.items()), list(stats.items()))
                if reference is None:
                    reference = key
                elif key != reference:
                    mismatched.append(f"fast_medoid={fast} threads={threads}")
            cluster_s, refine_s = statistics.median(cluster_times), statistics.median(refine_times)
            per_pass = refine_s / stats["passes"] if stats["passes"] else float("nan")
            print(f"{str(fast):>5} {threads:>7} {cluster_s:>9.3f} {refine_s:>9.3f} {per_pass:>7.3f} "
                  f"{refine_s / cluster_s:>6.2f} " + " ".join(f"{stats[s]:>16}" for s in STATS))
    print("ratio: refine_clusters over cluster_anchors with the same thread count")
    return mismatched


def positions_runs(args, counts):
    print(f"threshold={args.threshold} repeat={args.repeat}; one refinement pass of the greedy clustering")
    print(f"{'positions':>26} {'blocks':>8} {'block_search_s':>14} {'ratio':>6} {'refine_1_s':>10} {'ratio':>6}")
    first = None
    for positions in args.positions_compare:
        searched, refined = [], []
        for _ in range(args.repeat):
            searched.append(seconds(lambda: kelvara.cluster_anchors(
                counts, args.threshold, positions, obg_block_search=True))[0])
            mapping = kelvara.cluster_anchors(counts, args.threshold, positions)[0]
            refined.append(seconds(lambda: kelvara.refine_clusters(
                counts, mapping, args.threshold, 1, anchor_positions=positions))[0])
        keys = kelvara._core._block_keys(list(counts), positions)
        blocks = len({keys[k:k + 8] for k in range(0, len(keys), 8)})
        s, r = statistics.median(searched), statistics.median(refined)
        first = first or (s, r)
        print(f"{','.join(map(str, positions)):>26} {blocks:>8} {s:>14.3f} {s / first[0]:>6.2f} {r:>10.3f} "
              f"{r / first[1]:>6.2f}")
    return []


def main():
    args = parse_args()
    counts = load_tsv(args.tsv)
    print(f"data: {args.tsv} ({len(counts)} anchors)")
    mismatched = positions_runs(args, counts) if args.positions_compare else refine_runs(args, counts)
    if mismatched:
        print("FAIL: results differ from the first run for " + ", ".join(dict.fromkeys(mismatched)),
              file=sys.stderr)
        return 1
    if not args.positions_compare:
        print("results identical across runs and thread counts")
    return 0


if __name__ == "__main__":
    sys.exit(main())
