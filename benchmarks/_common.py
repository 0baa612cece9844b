"""Helpers shared by the benchmark scripts: loading, synthetic data, timing, block spread."""

import glob
import gzip
import importlib.machinery
import importlib.util
import os
import random
import statistics
import time
from collections import Counter

# The module's default anchor positions; needed here only to report the block spread.
DEFAULT_POSITIONS = (1, 5)

GROUPS = ("AST", "VILM", "FYW", "DE", "KR", "NQ", "G", "H", "C", "P")
_GROUP_OF = {letter: i for i, group in enumerate(GROUPS) for letter in group}
_OTHER = len(GROUPS)

# Approximate UniProtKB/Swiss-Prot amino-acid composition, in percent.
AA_FREQ = {
    "A": 8.25, "R": 5.53, "N": 4.06, "D": 5.45, "C": 1.37, "Q": 3.93, "E": 6.75,
    "G": 7.07, "H": 2.27, "I": 5.96, "L": 9.66, "K": 5.84, "M": 2.42, "F": 3.86,
    "P": 4.70, "S": 6.56, "T": 5.34, "W": 1.08, "Y": 2.92, "V": 6.87,
}


def int_list(text):
    """argparse type for "1,8"."""
    return [int(x) for x in text.split(",") if x.strip()]


def load_tsv(path):
    """Read anchor<TAB>count lines, gzip or plain (told apart by the magic bytes)."""
    with open(path, "rb") as f:
        gz = f.read(2) == b"\x1f\x8b"
    counts = {}
    with (gzip.open(path, "rt") if gz else open(path)) as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            anchor, count = line.split("\t")
            counts[anchor] = counts.get(anchor, 0) + int(count)
    return counts


def synthetic(n, length=9, seed=1):
    """n distinct random anchors with proteome-like residues and heavy-tailed counts."""
    rng = random.Random(seed)
    letters, weights = list(AA_FREQ), list(AA_FREQ.values())
    counts = {}
    while len(counts) < n:
        anchor = "".join(rng.choices(letters, weights, k=length))
        # Pareto(2.5) floored: about 80 % singletons and a long tail, like real data.
        counts.setdefault(anchor, int(rng.paretovariate(2.5)))
    return counts


def timed(fn, repeat):
    """Run fn repeat times; return (median seconds, list of results)."""
    seconds, results = [], []
    for _ in range(repeat):
        start = time.perf_counter()
        results.append(fn())
        seconds.append(time.perf_counter() - start)
    return statistics.median(seconds), results


def block_key(anchor, positions):
    return tuple(_GROUP_OF.get(anchor[p], _OTHER) for p in positions)


def block_spread(anchors, positions):
    """(number of blocks, share of the anchors in the largest block)."""
    sizes = Counter(block_key(a, positions) for a in anchors)
    if not sizes:
        return 0, 0.0
    return len(sizes), max(sizes.values()) / sum(sizes.values())


def data_dir(given=None):
    """The shared data sets: --data, else $KELVARA_DATA, else ../shared/data beside the repository."""
    if given:
        return given
    here = os.path.dirname(os.path.abspath(__file__))
    return os.environ.get("KELVARA_DATA") or os.path.join(here, "..", "..", "shared", "data")


def load_previous(path):
    """Load another build's _core module (a directory holding it, or the file) beside this one."""
    if os.path.isdir(path):
        found = sorted(glob.glob(os.path.join(path, "_core*.so")))
        if not found:
            raise SystemExit(f"no _core module in {path}")
        path = found[0]
    # The module's init function is named after the last part of the module name.
    loader = importlib.machinery.ExtensionFileLoader("kelvara_previous._core", path)
    spec = importlib.util.spec_from_file_location("kelvara_previous._core", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module
