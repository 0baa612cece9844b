"""Compare one kelvara.cluster_anchors call with kelvara.dask on local clusters of 1, 2, ... worker processes.

The input is written once as Parquet (one file per partition), as Dask users would hold it. Dask times run
from the frame to the persisted result and the summed counters, the check of the input included; the
result is then collected and compared with the single call's. The share outside native code is the part
of the worker processes' processor time not spent in the native clustering calls: the check pass, block
keys, shuffle, serialization and Python glue (processor time, so that other load on the machine does not
count). The configurations take turns, round by round, so that such load falls on all of them.

Examples:
    python benchmarks/bench_dask.py data/proteome_9mers_1m.tsv.gz --positions 1,4,6,8
    python benchmarks/bench_dask.py --n 200000 --workers 1 2 --repeat 1
"""

import argparse
import contextlib
import logging
import os
import sys
import tempfile
import time

import dask
import dask.dataframe as dd
import pandas as pd
from distributed import Client, LocalCluster

import kelvara
import kelvara.dask as kdask
from _common import block_spread, int_list, load_tsv, synthetic, timed


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("tsv", nargs="?", help="anchor<TAB>count file, gzip or plain; synthetic data if omitted")
    p.add_argument("--n", type=int, default=200_000, help="synthetic anchors (default 200000)")
    p.add_argument("--threshold", type=float, default=0.7, help="default 0.7")
    p.add_argument("--positions", type=int_list, default=[1, 4, 6, 8], help="default 1,4,6,8")
    p.add_argument("--workers", type=int, nargs="+", default=[1, 2], help="worker processes (default 1 2)")
    p.add_argument("--input-partitions", type=int, default=8, help="Parquet files of the input (default 8)")
    p.add_argument("--npartitions", type=int, help="clustering tasks (default: kelvara.dask's)")
    p.add_argument("--shuffle", choices=["p2p", "tasks"], help="Dask's shuffle method (default: Dask's)")
    p.add_argument("--repeat", type=int, default=3, help="runs per configuration; the median is reported")
    return p.parse_args()


def main():
    args = parse_args()
    load = os.getloadavg()[0]  # before this script adds its own
    counts = load_tsv(args.tsv) if args.tsv else synthetic(args.n)
    source = args.tsv or f"synthetic n={args.n}"
    n_blocks, largest = block_spread(counts, args.positions)
    print(f"data: {source}: {len(counts)} anchors, {n_blocks} blocks at {args.positions}, "
          f"largest holds {largest:.1%}")
    if args.shuffle:
        dask.config.set({"dataframe.shuffle.method": args.shuffle})
    print(f"load average before the run: {load:.1f} (over the last minute)")
    print(f"threshold={args.threshold} input partitions={args.input_partitions} repeat={args.repeat} "
          f"shuffle={dask.config.get('dataframe.shuffle.method', None) or 'default'}")
    logging.getLogger("distributed").setLevel(logging.ERROR)  # p2p shuffles log every start and stop

    with tempfile.TemporaryDirectory() as tmp, contextlib.ExitStack() as stack:
        frame = pd.DataFrame({"anchor": list(counts), "count": list(counts.values())})
        dd.from_pandas(frame, npartitions=args.input_partitions, sort=False).to_parquet(tmp)
        clients = {}
        for workers in args.workers:
            cluster = stack.enter_context(LocalCluster(n_workers=workers, threads_per_worker=1,
                                                       processes=True, dashboard_address=":0"))
            clients[workers] = stack.enter_context(Client(cluster, set_as_default=False))

        def on_dask(workers):
            """(seconds to the persisted result and the totals, the workers' processor seconds meanwhile,
            totals, the result collected afterwards)"""
            client = clients[workers]
            with client.as_current():
                cpu = client.run(time.process_time)
                start = time.perf_counter()
                result, totals = kdask._persisted(dd.read_parquet(tmp), args.threshold, args.positions, 2.0,
                                                  "anchor", "count", args.npartitions)
                seconds = time.perf_counter() - start
                cpu = sum(after - cpu[worker] for worker, after in client.run(time.process_time).items())
                return seconds, cpu, totals, result.compute()

        for workers in args.workers:  # the first run in a cluster also pays for imports and start-up
            on_dask(workers)
        # Round by round, so that a change in the machine's background load falls on every configuration.
        single, dask_runs = [], {workers: [] for workers in args.workers}
        for _ in range(args.repeat):
            cpu = time.process_time()
            seconds, (results,) = timed(lambda: kelvara.cluster_anchors(counts, args.threshold, args.positions),
                                        1)
            single.append((seconds, time.process_time() - cpu, results))
            for workers in args.workers:
                dask_runs[workers].append(on_dask(workers))

    single_s, single_cpu, (mapping, n_cmp, n_exit) = sorted(single, key=lambda run: run[0])[len(single) // 2]
    print(f"{'run':>12} {'median_s':>9} {'vs_one_call':>11} {'vs_first':>9} {'worker_cpu_s':>12} "
          f"{'native_cpu_s':>12} {'outside_native':>14}")
    print(f"{'one call':>12} {single_s:>9.3f} {1:>10.2f}x {'':>9} {single_cpu:>12.3f} {single_cpu:>12.3f}")
    failures, first_s = [], None
    for workers, runs in dask_runs.items():
        wall, cpu, totals, _ = sorted(runs, key=lambda run: run[0])[len(runs) // 2]
        native = totals["native_seconds"]
        first_s = first_s or wall
        label = f"{workers} worker" + "s" * (workers > 1)
        print(f"{label:>12} {wall:>9.3f} {single_s / wall:>10.2f}x {first_s / wall:>8.2f}x {cpu:>12.3f} "
              f"{native:>12.3f} {1 - native / cpu:>13.0%}")
        for _, _, totals, rows in runs:
            rows = rows.reset_index().sort_values(["count", "row"], ascending=[False, True])
            if (list(zip(rows["anchor"], rows["centroid"])) != list(mapping.items())
                    or (totals["n_comparisons"], totals["n_early_exits"]) != (n_cmp, n_exit)):
                failures.append(workers)

    print(f"comparisons {n_cmp}, early exits {n_exit}, clusters {len(set(mapping.values()))}")
    print(f"ratios: one call's median over the row's, and {args.workers[0]} worker(s)' over the row's; "
          f"outside native = 1 - native_cpu_s / worker_cpu_s, of the median run")
    if failures:
        print(f"FAIL: Dask results differ from the single call with workers={sorted(set(failures))}",
              file=sys.stderr)
        return 1
    print("Dask mapping and counters identical to the single call in every run")
    return 0


if __name__ == "__main__":
    sys.exit(main())
