"""What the command line adds to the clustering itself, above all the reading of a large file.

In one run: the command line's reader against a bare split-and-int loop on the same file, in this process,
taking turns; then `kelvara cluster` on the file in a subprocess, whole and by phase, and cluster_anchors on
the same dict in this process, whose centroids must be the command line's.

Examples:
    python benchmarks/bench_cli.py /work/shared/data/proteome_9mers_1m.tsv.gz --threads 2
    python benchmarks/bench_cli.py data/proteome_9mers_100k.tsv.gz --repeat 5
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import kelvara
from _common import load_tsv
from kelvara.io.inputs import read_inputs


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("tsv", help="anchor<TAB>count file of one length, gzip or plain")
    p.add_argument("--threshold", type=float, default=0.7, help="default 0.7")
    p.add_argument("--threads", type=int, default=2, help="default 2")
    p.add_argument("--repeat", type=int, default=3, help="turns of each reader; medians are reported (default 3)")
    return p.parse_args()


def seconds(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main():
    args = parse_args()
    kelvara_cli = os.path.join(os.path.dirname(sys.executable), "kelvara")

    ours, bare = [], []
    for _ in range(args.repeat):
        elapsed, counts = seconds(lambda: read_inputs([args.tsv])[0])
        ours.append(elapsed)
        elapsed, plain = seconds(lambda: load_tsv(args.tsv))
        bare.append(elapsed)
    assert counts == plain, "the reader and the bare loop disagree"
    length = len(next(iter(counts)))
    print(f"data: {args.tsv}: {len(counts):,} lines, anchors of length {length}")
    print(f"reading in this process, median of {args.repeat}: kelvara's reader {statistics.median(ours):.2f} s, "
          f"a bare split-and-int loop {statistics.median(bare):.2f} s")

    with tempfile.TemporaryDirectory() as tmp:
        out, summary = os.path.join(tmp, "out.tsv"), os.path.join(tmp, "summary.json")
        whole, _ = seconds(lambda: subprocess.run(
            [kelvara_cli, "cluster", args.tsv, "-o", out, "--summary-json", summary, "--quiet",
             "--threshold", str(args.threshold), "--threads", str(args.threads)], check=True))
        with open(summary) as f:
            phases = json.load(f)["seconds"]
        with open(out) as f:
            next(f)
            cli_mapping = dict(line.split("\t")[0:4:3] for line in f)

    clustering, (mapping, _, _) = seconds(
        lambda: kelvara.cluster_anchors(counts, args.threshold, [1, length - 1], threads=args.threads))
    assert cli_mapping == mapping, "the command line's centroids differ from cluster_anchors'"

    startup = whole - phases["total"]
    shown = ", ".join(f"{k} {v:.2f}" for k, v in phases.items() if k != "total")
    print(f"kelvara cluster in a subprocess ({args.threads} threads): {whole:.2f} s whole; {shown}; "
          f"start-up {startup:.2f}")
    print(f"cluster_anchors on the same dict in this process: {clustering:.2f} s")
    print(f"reading adds {phases['read']:.2f} s to the {phases['cluster']:.2f} s of clustering "
          f"({phases['read'] / phases['cluster']:.1%}); everything else the command line does, "
          f"{whole - phases['cluster'] - phases['read']:.2f} s")


if __name__ == "__main__":
    main()
