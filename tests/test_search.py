"""The search as users meet it: every kernel level gives the same results on real data, long anchors cost
memory in proportion to their length, and odd weights and thresholds are handled like any others."""

import gzip
import math
import os
import random
import subprocess
import sys
import tempfile
import textwrap

import pytest

from kelvara import _core, cluster_anchors, refine_clusters

LEVELS = _core._simd()[1]
DATA = os.environ.get("KELVARA_DATA") or os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")


BUNDLED = os.path.join(os.path.dirname(__file__), "data")


def shared_set(name):
    """A data set of real 9-mers: a 20k sample kept with the tests, or a shared 100k set when present."""
    path = os.path.join(BUNDLED if "20k" in name else DATA, name)
    if not os.path.exists(path):
        pytest.skip(f"shared data set {name} not found (set KELVARA_DATA)")
    counts = {}
    with gzip.open(path, "rt") as f:
        for line in f:
            anchor, count = line.split()
            counts[anchor] = int(count)
    return counts


def under_each_level(call):
    """call() once under every kernel level; the results, in order of the levels."""
    before = _core._simd()[0]
    try:
        return [(_core._simd(level), call())[1] for level in LEVELS]
    finally:
        _core._simd(before)


def same(results):
    first = results[0]
    return all(r == first and [list(part) for part in r if isinstance(part, dict)] ==
               [list(part) for part in first if isinstance(part, dict)] for r in results)


def test_levels_include_the_portable_one():
    assert LEVELS[0] == "scalar" and _core._simd()[0] in LEVELS


@pytest.mark.parametrize("name", ["proteome_9mers_20k.tsv.gz", "ligandome_9mers_20k.tsv.gz",
                                  "proteome_9mers_100k.tsv.gz", "ligandome_9mers_100k.tsv.gz"])
@pytest.mark.parametrize("threshold", [0.6, 0.8])
def test_levels_agree_on_real_data(name, threshold):
    counts = shared_set(name)
    assert same(under_each_level(lambda: cluster_anchors(counts, threshold, [1, 8])))


def test_levels_agree_on_block_search_and_refinement():
    counts = shared_set("ligandome_9mers_20k.tsv.gz")
    assert same(under_each_level(lambda: cluster_anchors(counts, 0.7, [1, 8], obg_block_search=True)))
    mapping = cluster_anchors(counts, 0.7, [1, 8])[0]
    for kwargs in ({}, {"cap": 0, "merge_cap": 40}):
        assert same(under_each_level(
            lambda: refine_clusters(counts, mapping, 0.7, 2, anchor_positions=[1, 8], threads=2, **kwargs)))


def run_limited(code, gib=1):
    """Runs code in a fresh interpreter with an address space of a few GiB at most."""
    script = textwrap.dedent(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, ({gib} << 30, {gib} << 30))
        import kelvara
    """) + textwrap.dedent(code)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300,
                          cwd=tempfile.gettempdir())


@pytest.mark.skipif(os.environ.get("KELVARA_UNDER_ASAN") == "1",
                    reason="AddressSanitizer needs more address space than the limit")
@pytest.mark.parametrize("length", [34_000, 200_000])
def test_whole_proteins_passed_as_anchors_fit_in_memory(length):
    # Three near-identical "anchors" the length of whole proteins: the tables must not grow with the length.
    proc = run_limited(f"""
        import random
        rng = random.Random(1)
        base = "".join(rng.choice("ARNDCQEGHILKMFPSTWYV") for _ in range({length}))
        counts = {{base: 3, base[:-1] + "W": 2, "G" + base[1:]: 1}}
        for level in kelvara._core._simd()[1]:
            kelvara._core._simd(level)
            mapping, n_cmp, n_exit = kelvara.cluster_anchors(counts, 0.9, [1, {length} - 1])
            refined, stats = kelvara.refine_clusters(counts, mapping, 0.9, 2, anchor_positions=[1, {length} - 1])
            print(level, len(set(mapping.values())), n_cmp, n_exit, stats["final_clusters"])
    """)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == len(LEVELS)
    # The same clusters and counters at every level; the three differ at one residue each, so refinement
    # ends with them in one cluster.
    assert len({line.split(" ", 1)[1] for line in lines}) == 1
    assert lines[0].split()[-1] == "1"


ODD = [math.nan, math.inf, -math.inf, 0.0, -1.0, 1e300, 5e-324]


@pytest.mark.parametrize("weight", ODD)
@pytest.mark.parametrize("threshold", ODD + [0.7])
def test_odd_weights_and_thresholds_give_one_answer(weight, threshold):
    counts = {"".join(p): n for p, n in zip(
        ["ALAKA", "ALAKV", "VLAKA", "ALSKA", "AxAKA", "GLAKA", "ALAKA"[::-1], "AAAAA", "KKKKK", "ALAKI"], range(1, 11))}
    results = under_each_level(lambda: cluster_anchors(counts, threshold, [1, 3], weight))
    assert same(results)
    mapping = results[0][0]
    assert sorted(mapping) == sorted(counts) and set(mapping.values()) <= set(counts)
    assert same(under_each_level(lambda: refine_clusters(counts, mapping, threshold, 2, anchor_positions=[1, 3],
                                                       anchor_weight=weight, cap=0)))


@pytest.mark.parametrize("length", [9, 40, 64, 65])
@pytest.mark.parametrize("threshold", [0.6, 0.66, 0.75, 0.9])
def test_levels_agree_where_the_coarse_filters_are_tight(length, threshold):
    # Residues that share a class of the coarse filter (I/V, L/M, K/R, F/Y, W and non-letters) and letters
    # apart from them; many anchors near the cut in one block, so that whole chunks are ruled out or not
    # by a hair, at lengths up to where the 8-bit sums stop being used (64).
    rng = random.Random(length * 1000 + int(threshold * 100))
    letters = "IVLMKRFYWxAG"
    base = "".join(rng.choice(letters) for _ in range(length))
    counts = {}
    while len(counts) < 1500:
        anchor = list(base)
        for _ in range(rng.randrange(1, max(2, length // 3))):
            anchor[rng.randrange(1, length)] = rng.choice(letters)
        counts["A" + "".join(anchor[1:])] = rng.randrange(1, 4)
    results = under_each_level(lambda: cluster_anchors(counts, threshold, [0], 1.5))
    assert same(results)
    assert len(set(results[0][0].values())) > 1  # not one cluster: the cut falls inside the spread


def scanned_and_by_words(call):
    """call() under every kernel level, with greedy searches scanning and then going through the words of
    every set however small; the results in that order."""
    before = _core._word_index()
    try:
        _core._word_index(1 << 62)
        scanned = under_each_level(call)
        _core._word_index(0)
        return scanned + under_each_level(call)
    finally:
        _core._word_index(before)


@pytest.mark.parametrize("name", ["proteome_9mers_20k.tsv.gz", "ligandome_9mers_20k.tsv.gz"])
@pytest.mark.parametrize("threshold", [0.5, 0.7, 0.9])
@pytest.mark.parametrize("threads", [1, 2])
def test_words_find_what_the_scan_finds(name, threshold, threads):
    counts = shared_set(name)
    assert same(scanned_and_by_words(lambda: cluster_anchors(counts, threshold, [1, 8], threads=threads)))


def near_one_another(seed, length, n, count):
    """n anchors a few changes away from one random anchor, over few letters and a non-letter; count(rng)
    gives each one's count."""
    rng = random.Random(seed)
    base = "".join(rng.choice("AILVKRDE") for _ in range(length))
    counts = {}
    while len(counts) < n:
        anchor = list(base)
        for _ in range(rng.randrange(1, 5)):
            anchor[rng.randrange(length)] = rng.choice("AILVKRDEx")
        counts["".join(anchor)] = count(rng)
    return counts


def spread_over_ten_letters(seed, n):
    rng = random.Random(seed)
    counts = {}
    while len(counts) < n:
        counts["".join(rng.choice("AILVKRDEGS") for _ in range(10))] = rng.randrange(1, 6)
    return counts


@pytest.mark.parametrize("length", [9, 12, 40])
@pytest.mark.parametrize("weight", [2.0, 0.0, -1.0, 1e-300, 1e300, math.nan])
@pytest.mark.parametrize("threshold", [-1.0, 0.0, 0.55, 0.8, 0.95, 1.0, 1.2])
def test_words_agree_with_the_scan_on_odd_inputs(length, weight, threshold):
    # Anchors near one another over few letters, some with a non-letter, so that words repeat, buckets
    # fill and the cut falls among them.
    counts = near_one_another(f"{length} {weight} {threshold}", length, 600, lambda rng: rng.randrange(1, 5))
    results = scanned_and_by_words(lambda: cluster_anchors(counts, threshold, [1, length - 1], weight))
    assert same(results)


def test_words_agree_with_the_model():
    import model

    counts = spread_over_ten_letters(5, 400)
    before = _core._word_index()
    try:
        _core._word_index(0)
        for threshold in (0.6, 0.75, 0.9):
            got = cluster_anchors(counts, threshold, [1, 9])
            want = model.cluster_anchors(counts, threshold, [1, 9])
            assert list(got[0].items()) == list(want[0].items()) and got[1:] == want[1:]
    finally:
        _core._word_index(before)


def refined_with_and_without_words(call, shapes=(1024, 0)):
    """call() under every kernel level with no words, then with the refinement's sets searched through words
    of two steps (sets filled at once from 1,024 entries, below 16 times that) and of three (from 0)."""
    before = _core._word_index()
    try:
        _core._word_index(1 << 62)
        results = under_each_level(call)
        for words_from in shapes:
            _core._word_index(words_from)
            results += under_each_level(call)
        return results
    finally:
        _core._word_index(before)


@pytest.mark.parametrize("name", ["proteome_9mers_20k.tsv.gz", "ligandome_9mers_20k.tsv.gz"])
@pytest.mark.parametrize("threshold", [0.55, 0.7, 0.85])
def test_merge_through_words_finds_what_the_trie_finds(name, threshold):
    counts = shared_set(name)
    mapping = cluster_anchors(counts, threshold, [1, 8])[0]
    results = refined_with_and_without_words(
        lambda: refine_clusters(counts, mapping, threshold, 3, anchor_positions=[1, 8], threads=2))
    assert same(results)
    if threshold <= 0.7:
        assert results[0][1]["merges"] > 0  # the merges are there to be found


@pytest.mark.parametrize("length", [9, 40])
@pytest.mark.parametrize("weight", [2.0, -1.0, 1e-300, math.nan])
@pytest.mark.parametrize("threshold", [-1.0, 0.55, 0.8, 1.0, 1.2])
def test_merge_through_words_on_odd_inputs(length, weight, threshold):
    # Clusters of many sizes near one another, so that ranges of sizes cut into buckets; every anchor its
    # own centroid, for the merge to start from.
    counts = near_one_another(f"merge {length} {weight} {threshold}", length, 500,
                              lambda rng: rng.choice([1, 1, 1, 2, 3, 7, 40]))
    positions = [1, length - 1]
    mapping = {a: a for a in counts}
    results = refined_with_and_without_words(
        lambda: refine_clusters(counts, mapping, threshold, 2, anchor_positions=positions, anchor_weight=weight),
        shapes=(64, 0))
    assert same(results)


def test_merge_through_words_agrees_with_the_model():
    import model

    counts = spread_over_ten_letters(11, 300)
    mapping = {a: a for a in counts}
    before = _core._word_index()
    try:
        for words_from in (0, 16):
            _core._word_index(words_from)
            for threshold in (0.6, 0.75):
                got = refine_clusters(counts, mapping, threshold, 2, anchor_positions=[1, 9])
                want = model.refine_clusters(counts, mapping, threshold, 2, anchor_positions=[1, 9])
                assert list(got[0].items()) == list(want[0].items()) and got[1] == want[1], (words_from, threshold)
    finally:
        _core._word_index(before)
