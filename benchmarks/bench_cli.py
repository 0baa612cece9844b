"""The job users run, timed as they time it: whole processes, file in to file out, side by side with CD-HIT.

For each data set and thread count, in turns within one run: `kelvara cluster FILE -o OUT.tsv -q` and
`cd-hit -i FILE.fa -o OUT -c T -n 5 -l 5 -M 0 -T N -d 0` on the same peptides (a FASTA written beforehand,
most frequent first), each as its own process, with wall time and peak memory (the process's maximum
resident set); beside them `cluster_anchors` alone on a dict already read, in a process of its own, whose
centroids must be the command line's. Optionally (--extras) the cost of `--clstr --centroids --report`.

Examples:
    python benchmarks/bench_cli.py
    python benchmarks/bench_cli.py --sets proteome_1m --threads 1 2 --repeat 3 --extras
"""

import argparse
import gzip
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from _common import data_dir

SETS = {
    "ligandome_100k": "ligandome_9mers_100k.tsv.gz",
    "proteome_100k": "proteome_9mers_100k.tsv.gz",
    "proteome_1m": "proteome_9mers_1m.tsv.gz",
    "proteome_all": "proteome_all_9mers.tsv.gz",
}

# cluster_anchors alone, in a process of its own: the dict is read first, then only the call is timed.
_CALL = """
import gzip, json, sys, time
import kelvara
counts = {}
with gzip.open(sys.argv[1], "rt") as f:
    for line in f:
        peptide, count = line.split()
        counts[peptide] = counts.get(peptide, 0) + int(count)
started = time.perf_counter()
mapping, _, _ = kelvara.cluster_anchors(counts, float(sys.argv[2]), [1, 8], 2.0, threads=int(sys.argv[3]))
seconds = time.perf_counter() - started
with open(sys.argv[4], "w") as f:
    json.dump({"seconds": seconds, "centroids": sorted(set(mapping.values()))}, f)
"""


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sets", nargs="+", choices=SETS, default=["ligandome_100k", "proteome_100k", "proteome_1m"])
    p.add_argument("--threads", nargs="+", type=int, default=[1, 2])
    p.add_argument("--threshold", type=float, default=0.7)
    p.add_argument("--repeat", type=int, default=3, help="turns of each process; medians are shown (default 3)")
    p.add_argument("--extras", action="store_true", help="also time --clstr --centroids --report on the last set")
    p.add_argument("--data", help="directory of the data sets (default: $KELVARA_DATA, else ../shared/data)")
    p.add_argument("--kelvara", default=os.path.join(os.path.dirname(sys.executable), "kelvara"))
    return p.parse_args()


def run(command):
    """(wall seconds, peak resident memory in MB) of one process."""
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    if status != 0:
        raise SystemExit(f"{command[0]} failed: {process.stderr.read().decode()[-2000:]}")
    process.stderr.close()
    return seconds, usage.ru_maxrss / 1024


def write_fasta(path, fasta):
    """The peptides as FASTA, most frequent first, as CD-HIT expects its input sorted."""
    counts = {}
    with gzip.open(path, "rt") as f:
        for line in f:
            peptide, count = line.split()
            counts[peptide] = counts.get(peptide, 0) + int(count)
    order = sorted(counts, key=counts.__getitem__, reverse=True)
    with open(fasta, "w") as f:
        f.writelines(f">{i}\n{p}\n" for i, p in enumerate(order))


def centroids_of(tsv):
    with open(tsv) as f:
        next(f)
        return sorted({line.split("\t")[4] for line in f})


def main():
    args = parse_args()
    data = data_dir(args.data)
    cd_hit = shutil.which("cd-hit")
    if cd_hit is None:
        print("cd-hit is not on the PATH (apt-get install cd-hit): its columns stay empty")
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        out, fasta, called = (os.path.join(tmp, name) for name in ("out.tsv", "in.fa", "call.json"))
        for name in args.sets:
            path = os.path.join(data, SETS[name])
            if cd_hit:
                write_fasta(path, fasta)
            for threads in args.threads:
                ours, theirs = [], []
                for _ in range(args.repeat):
                    ours.append(run([args.kelvara, "cluster", path, "-o", out, "-q", "--threads", str(threads),
                                     "--threshold", str(args.threshold), "--positions", "1,8"]))
                    if cd_hit:
                        theirs.append(run([cd_hit, "-i", fasta, "-o", os.path.join(tmp, "cdhit"), "-c",
                                           str(args.threshold), "-n", "5", "-l", "5", "-M", "0", "-T", str(threads),
                                           "-d", "0"]))
                calls = []
                for _ in range(args.repeat):
                    run([sys.executable, "-c", _CALL, path, str(args.threshold), str(threads), called])
                    with open(called) as f:
                        result = json.load(f)
                    calls.append(result["seconds"])
                if result["centroids"] != centroids_of(out):
                    raise SystemExit(f"{name}: the command line's centroids differ from cluster_anchors'")
                row = {
                    "set": name, "threads": threads,
                    "kelvara": statistics.median(s for s, _ in ours), "kelvara_mb": max(m for _, m in ours),
                    "call": statistics.median(calls),
                }
                if theirs:
                    row.update(cdhit=statistics.median(s for s, _ in theirs), cdhit_mb=max(m for _, m in theirs))
                rows.append(row)
                print(_line(row), flush=True)
        if args.extras:
            path = os.path.join(data, SETS[args.sets[-1]])
            plain, extra = [], []
            for _ in range(args.repeat):
                base = [args.kelvara, "cluster", path, "-o", out, "-q", "--threads", str(args.threads[-1]),
                        "--threshold", str(args.threshold), "--positions", "1,8"]
                plain.append(run(base)[0])
                extra.append(run(base + ["--clstr", os.path.join(tmp, "out.clstr"), "--centroids",
                                         os.path.join(tmp, "out.fa"), "--report", os.path.join(tmp, "r.html")])[0])
            print(f"{args.sets[-1]}, {args.threads[-1]} threads: --clstr --centroids --report add "
                  f"{statistics.median(extra) - statistics.median(plain):.2f} s "
                  f"({statistics.median(plain):.2f} s -> {statistics.median(extra):.2f} s)")
    print()
    print("| set | threads | `kelvara cluster` | CD-HIT | kelvara / CD-HIT | the call alone | command / call "
          "| peak RSS, kelvara / CD-HIT |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        cd = r.get("cdhit")
        ratio = f"{r['kelvara'] / cd:.2f}" if cd else ""
        cd_text = f"{cd:.2f} s" if cd else ""
        print(f"| {r['set']} | {r['threads']} | {r['kelvara']:.2f} s | {cd_text} | {ratio} | {r['call']:.2f} s | "
              f"{r['kelvara'] / r['call']:.2f} | {r['kelvara_mb']:.0f} / {r.get('cdhit_mb', 0):.0f} MB |")


def _line(r):
    cd = r.get("cdhit")
    versus = f", CD-HIT {cd:.2f} s ({r['kelvara'] / cd:.2f}x its time), {r['cdhit_mb']:.0f} MB" if cd else ""
    return (f"{r['set']}, {r['threads']} thread(s): kelvara cluster {r['kelvara']:.2f} s, {r['kelvara_mb']:.0f} MB"
            f"{versus}; cluster_anchors alone {r['call']:.2f} s")


if __name__ == "__main__":
    main()
