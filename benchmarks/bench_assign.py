"""Assignment to a reference, timed as users run it: the reference made once from a large set's clustering,
then `kelvara assign --reference ... SMALL -o OUT` as a whole process against one `cluster_anchors` call on
the small set plus reading the reference, in turns within one run.

Example:
    python benchmarks/bench_assign.py --reference-set proteome_1m --set proteome_100k --threads 1
"""

import argparse
import gzip
import os
import statistics
import subprocess
import sys
import tempfile
import time

import kelvara
from _common import data_dir
from bench_cli import SETS, run
from kelvara.io.reference import read_reference


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--reference-set", choices=SETS, default="proteome_1m")
    p.add_argument("--set", choices=SETS, default="proteome_100k")
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--data")
    p.add_argument("--kelvara", default=os.path.join(os.path.dirname(sys.executable), "kelvara"))
    return p.parse_args()


def load(path):
    counts = {}
    with gzip.open(path, "rt") as f:
        for line in f:
            peptide, count = line.split()
            counts[peptide] = counts.get(peptide, 0) + int(count)
    return counts


def main():
    args = parse_args()
    data = data_dir(args.data)
    small = os.path.join(data, SETS[args.set])
    counts = load(small)
    with tempfile.TemporaryDirectory() as tmp:
        reference = os.path.join(tmp, "reference.tsv")
        subprocess.run([args.kelvara, "cluster", os.path.join(data, SETS[args.reference_set]), "-o", reference,
                        "-q", "--positions", "1,8"], check=True)
        whole, call, reading = [], [], []
        for _ in range(args.repeat):
            whole.append(run([args.kelvara, "assign", "--reference", reference, small, "-o",
                              os.path.join(tmp, "out.tsv"), "-q", "--threads", str(args.threads)])[0])
            started = time.perf_counter()
            kelvara.cluster_anchors(counts, 0.7, [1, 8], threads=args.threads)
            call.append(time.perf_counter() - started)
            started = time.perf_counter()
            ref = read_reference(reference)
            reading.append(time.perf_counter() - started)
    w, c, r = statistics.median(whole), statistics.median(call), statistics.median(reading)
    print(f"reference: {args.reference_set} clustered ({ref.clusters:,} clusters); assigned: {args.set}; "
          f"{args.threads} thread(s), medians of {args.repeat}")
    print(f"kelvara assign, whole process: {w:.2f} s; cluster_anchors on the set {c:.2f} s + reading the reference "
          f"{r:.2f} s = {c + r:.2f} s; ratio {w / (c + r):.2f}")


if __name__ == "__main__":
    main()
