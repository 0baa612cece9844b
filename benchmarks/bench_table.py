"""cluster_peptides on a polars frame against cluster_anchors on a ready dict of the same peptides, and
the time the result takes to become a polars frame.

In one run, taking turns: `kelvara.cluster_peptides(frame, positions=..., threshold=...)` on the file held
as a polars frame (anchor, count), and `kelvara.cluster_anchors(counts, ...)` on a dict built beforehand
from the same frame, whose mapping must be the table's peptide -> centroid. Then `polars.DataFrame(result)`
and `pyarrow.table(result)` on the result. Medians of the turns are reported.

Examples:
    python benchmarks/bench_table.py /work/shared/data/proteome_9mers_1m.tsv.gz
    python benchmarks/bench_table.py data/proteome_9mers_100k.tsv.gz --threads 2 --repeat 5
"""

import argparse
import gzip
import io
import statistics
import time

import polars as pl
import pyarrow as pa

import kelvara
from _common import int_list


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("tsv", help="anchor<TAB>count file without a header, gzip or plain")
    p.add_argument("--threshold", type=float, default=0.7, help="default 0.7")
    p.add_argument("--positions", type=int_list, default=[1, 8], help="default 1,8")
    p.add_argument("--threads", type=int, default=1, help="for both calls (default 1)")
    p.add_argument("--repeat", type=int, default=3, help="turns of each call; medians are reported (default 3)")
    return p.parse_args()


def load_frame(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return pl.read_csv(io.BytesIO(data), separator="\t", has_header=False, new_columns=["anchor", "count"],
                       schema_overrides={"anchor": pl.String, "count": pl.UInt64})


def seconds(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main():
    args = parse_args()
    frame = load_frame(args.tsv)
    counts = dict(zip(frame["anchor"].to_list(), frame["count"].to_list()))
    print(f"data: {args.tsv}: {frame.height:,} rows, {len(counts):,} unique peptides; positions "
          f"{','.join(map(str, args.positions))}, threshold {args.threshold}, {args.threads} thread(s)")

    table_times, dict_times = [], []
    for _ in range(args.repeat):
        elapsed, result = seconds(lambda: kelvara.cluster_peptides(
            frame, positions=args.positions, threshold=args.threshold, threads=args.threads))
        table_times.append(elapsed)
        elapsed, (mapping, _, _) = seconds(lambda: kelvara.cluster_anchors(
            counts, args.threshold, args.positions, threads=args.threads))
        dict_times.append(elapsed)

    to_polars, to_arrow = [], []
    for _ in range(max(args.repeat, 5)):
        elapsed, df = seconds(lambda: pl.DataFrame(result))
        to_polars.append(elapsed)
        elapsed, table = seconds(lambda: pa.table(result))
        to_arrow.append(elapsed)
    assert df.height == len(result) == table.num_rows == len(mapping)
    assert dict(zip(df["peptide"].to_list(), df["centroid"].to_list())) == mapping, \
        "cluster_peptides and cluster_anchors disagree"

    t, d = statistics.median(table_times), statistics.median(dict_times)
    print(f"cluster_peptides on the polars frame: {t:.3f} s (read {result.summary['seconds']['read']:.3f} s, "
          f"cluster {result.summary['seconds']['cluster']:.3f} s, table {result.summary['seconds']['write']:.3f} s)")
    print(f"cluster_anchors on the ready dict:    {d:.3f} s")
    print(f"ratio: {t / d:.2f}x (medians of {args.repeat} turns each)")
    print(f"result to polars: {statistics.median(to_polars) * 1000:.1f} ms, to pyarrow: "
          f"{statistics.median(to_arrow) * 1000:.1f} ms (medians of {len(to_polars)})")


if __name__ == "__main__":
    main()
