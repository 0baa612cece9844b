"""Time kelvara.refine_clusters on the clustering of a TSV, exact and fast medoid, per thread count.

Example:
    python benchmarks/bench_refine.py /work/shared/data/proteome_9mers_100k.tsv.gz --threads 1 2
"""

import argparse
import sys

import kelvara
from _common import int_list, load_tsv, timed

STATS = ("passes", "medoid_changes", "reassignments", "merges", "initial_clusters", "final_clusters")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("tsv", help="anchor<TAB>count file, gzip or plain")
    p.add_argument("--threshold", type=float, default=0.7, help="default 0.7")
    p.add_argument("--positions", type=int_list, default=[1, 8], help="anchor positions (default 1,8)")
    p.add_argument("--iterations", type=int, default=5, help="max refinement passes (default 5)")
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2], help="thread counts (default 1 2)")
    p.add_argument("--repeat", type=int, default=1, help="runs per setting; the median is reported")
    return p.parse_args()


def main():
    args = parse_args()
    if not hasattr(kelvara, "refine_clusters"):
        print("kelvara.refine_clusters is not available in this build", file=sys.stderr)
        return 2
    counts = load_tsv(args.tsv)
    seconds, [(mapping, _, _)] = timed(
        lambda: kelvara.cluster_anchors(counts, args.threshold, anchor_positions=args.positions), 1)
    print(f"data: {args.tsv}")
    print(f"threshold={args.threshold} positions={args.positions} iterations={args.iterations} "
          f"repeat={args.repeat}")
    print(f"cluster_anchors: {len(counts)} anchors -> {len(set(mapping.values()))} clusters "
          f"in {seconds:.3f} s")

    mismatched = []
    print(f"{'fast':>5} {'threads':>7} {'seconds':>8} {'s/pass':>7} " + " ".join(f"{s:>16}" for s in STATS))
    for fast in (False, True):
        reference = None
        for threads in args.threads:
            median, results = timed(
                lambda: kelvara.refine_clusters(counts, mapping, args.threshold, args.iterations,
                                                anchor_positions=args.positions, fast_medoid=fast,
                                                threads=threads),
                args.repeat)
            for refined, stats in results:
                key = (list(refined.items()), list(stats.items()))
                if reference is None:
                    reference = key
                elif key != reference:
                    mismatched.append(f"fast_medoid={fast} threads={threads}")
            stats = results[0][1]
            per_pass = median / stats["passes"] if stats["passes"] else float("nan")
            print(f"{str(fast):>5} {threads:>7} {median:>8.3f} {per_pass:>7.3f} "
                  + " ".join(f"{stats[s]:>16}" for s in STATS))

    if mismatched:
        print("FAIL: results differ from the first run for " + ", ".join(dict.fromkeys(mismatched)),
              file=sys.stderr)
        return 1
    print("results identical across runs and thread counts")
    return 0


if __name__ == "__main__":
    sys.exit(main())
