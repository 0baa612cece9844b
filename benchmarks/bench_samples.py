"""What samples cost: a peptide file split into samples, clustered as one set and then with --samples and
--sample-table, whole processes taking turns in one run.

Example:
    python benchmarks/bench_samples.py --samples 8 --repeat 3
"""

import argparse
import gzip
import os
import random
import statistics
import sys
import tempfile

from _common import data_dir
from bench_cli import SETS, run


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--set", choices=SETS, default="proteome_1m")
    p.add_argument("--samples", type=int, default=8)
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--data")
    p.add_argument("--kelvara", default=os.path.join(os.path.dirname(sys.executable), "kelvara"))
    return p.parse_args()


def main():
    args = parse_args()
    with gzip.open(os.path.join(data_dir(args.data), SETS[args.set]), "rt") as f:
        lines = f.readlines()
    rng = random.Random(1)
    with tempfile.TemporaryDirectory() as tmp:
        # Each line's count spread over the samples, so that most peptides are in several.
        files = [open(os.path.join(tmp, f"sample{s}.tsv"), "w") for s in range(args.samples)]
        for line in lines:
            peptide, count = line.split()
            for _ in range(min(int(count), 3)):
                files[rng.randrange(args.samples)].write(f"{peptide}\t1\n")
        for f in files:
            f.close()
        paths = [f.name for f in files]
        base = [args.kelvara, "cluster", *paths, "-o", os.path.join(tmp, "out.tsv"), "-q", "--threads",
                str(args.threads)]
        plain, sampled = [], []
        for _ in range(args.repeat):
            plain.append(run(base)[0])
            sampled.append(run(base + ["--samples", "--sample-table", os.path.join(tmp, "samples.tsv")])[0])
    p, s = statistics.median(plain), statistics.median(sampled)
    print(f"{args.set} over {args.samples} samples ({len(lines):,} peptides), {args.threads} thread(s), medians of "
          f"{args.repeat}: {p:.2f} s as one set, {s:.2f} s with --samples --sample-table: +{100 * (s / p - 1):.1f} %")


if __name__ == "__main__":
    main()
