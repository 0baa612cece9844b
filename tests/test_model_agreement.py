"""The native module must agree bit for bit with the reference model in tests/model.py."""

import math
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from model import (
    anchor_sim,
    block_key,
    block_upper_bound,
    check_positions,
    cluster_anchors,
    full_sim,
    medoid_exact_scores,
    medoid_fast_scores,
    parse_anchor_counts,
    refine_clusters,
    sim_tables,
)

from kelvara import _core as core


@pytest.fixture(scope="module", autouse=True, params=core._simd()[1])
def simd_level(request):
    """Every test here runs once per kernel level this processor has: each must agree with the model."""
    before = core._simd()[0]
    assert core._simd(request.param)[0] == request.param
    yield request.param
    core._simd(before)

# ----------------------------------------------------------- the model itself

L9 = sim_tables(9, [1, 8], 2.0)
L3 = sim_tables(3, [1], 2.0)


def test_tables_for_two_anchor_positions():
    assert L9.order == [1, 8, 0, 2, 3, 4, 5, 6, 7]
    assert L9.anchor_share == 0.36363636363636365
    a = b"ACDEFGHIK"
    assert anchor_sim(L9, a, a, 0.0) == 1.0000000000000002 == L9.suffix_bound[0]
    assert anchor_sim(L9, b"IAAAAAAAA", b"VAAAAAAAA", 0.0) == 0.9772727272727274
    # One lookup at an anchor position already rules out 0.99.
    assert L9.entry(1, ord("I"), ord("V")) == 0.13636363636363635
    assert anchor_sim(L9, b"AIAAAAAAA", b"AVAAAAAAA", 0.99) == -1.0
    assert block_key(L9, b"AKAAAAAAV") == 0x0401
    assert block_key(L9, b"AXAAAAAAx") == 0xFFFF


@pytest.mark.parametrize(
    "own, other, bound",
    [
        ("AQA", "ADA", 0.7),
        ("AQA", "AAA", 0.6020620726159658),
        ("AQA", "AKA", 0.6),
        ("AQA", "AVA", 0.5),
        ("AVA", "AFA", 0.5),
        ("AVA", "ANA", 0.5),
        ("AVA", "AKA", 0.4),
    ],
)
def test_block_upper_bound(own, other, bound):
    key = lambda s: block_key(L3, s.encode())  # noqa: E731
    assert block_upper_bound(L3, key(own), key(other)) == bound


def test_bound_is_loose_for_real_similarity():
    assert anchor_sim(L3, b"AQA", b"AVA", 0.0) == 0.27639320225002106


@pytest.mark.parametrize(
    "threshold, mapping, counters",
    [
        (0.7, {"AAA": "AAA", "AAV": "AAA", "VAA": "AAA"}, (2, 0)),
        (0.8, {"AAA": "AAA", "AAV": "AAV", "VAA": "VAA"}, (3, 2)),
    ],
)
def test_greedy_worked_case(threshold, mapping, counters):
    got = cluster_anchors({"VAA": 2, "AAA": 5, "AAV": 3}, threshold, [1])
    assert list(got[0].items()) == list(mapping.items())
    assert got[1:] == counters


@pytest.mark.parametrize(
    "options, joined, comparisons",
    [
        ({}, False, 0),
        ({"obg_block_search": True}, True, 1),
        ({"obg_block_search": True, "obg_min_block_upper_bound": 0.65}, False, 0),
        ({"obg_block_search": True, "obg_max_probes": 1}, False, 0),
        ({"obg_block_search": True, "obg_max_probes": 2}, True, 1),
    ],
)
def test_block_search_worked_case(options, joined, comparisons):
    mapping, n_cmp, n_exit = cluster_anchors({"AKA": 5, "AQA": 3}, 0.55, [1], **options)
    assert mapping["AQA"] == ("AKA" if joined else "AQA")
    assert (n_cmp, n_exit) == (comparisons, 0)


@pytest.mark.parametrize("scores", [medoid_exact_scores, medoid_fast_scores])
def test_medoid_scores(scores):
    got = scores(L3, [b"AAA", b"AAV", b"VAA"], [5, 3, 2], [0, 1, 2])
    assert got == [0.75, 0.6785714285714286, 0.65625]


@pytest.mark.parametrize("cap, target", [(1, "AAA"), (2, "VAS"), (0, "VAS"), (-5, "VAS")])
def test_reassignment_worked_case(cap, target):
    counts = {"AAA": 10, "VAS": 4, "AAV": 1, "VAA": 1}
    mapping = {"AAA": "AAA", "VAS": "VAS", "AAV": "AAV", "VAA": "AAV"}
    refined, stats = refine_clusters(counts, mapping, 0.6, 1, cap=cap, merge=False, anchor_positions=[1])
    assert refined == {**mapping, "VAA": target}
    assert (stats["medoid_changes"], stats["reassignments"]) == (0, 1)


def test_largest_cluster_absorbs_both_smaller_ones():
    refined, stats = refine_clusters({"AAV": 3, "VAA": 2, "AAA": 5}, {}, 0.4, 1, anchor_positions=[1])
    assert set(refined.values()) == {"AAA"}
    assert list(stats.values()) == [1, 0, 0, 2, 3, 1]


def test_equal_cluster_sizes_never_merge():
    refined, stats = refine_clusters({"AAV": 3, "VAA": 3}, {}, 0.4, 2, anchor_positions=[1])
    assert refined == {"AAV": "AAV", "VAA": "VAA"} and stats["merges"] == 0


@pytest.mark.parametrize(
    "positions, anchor_len, result",
    [
        ([5, 1, 5, 1], 6, [1, 5]),
        ([1] * 9, 6, [1]),
        ([5], 6, [5]),
        ([], 6, "anchor_positions must contain at least one position"),
        (list(range(9)), 4, "at most 8 anchor positions are supported, got 9"),
        ([10, 3], 6, "anchor position 10 is out of range for anchor length 6"),
        ([3, 10], 6, "anchor position 10 is out of range for anchor length 6"),
        ([6], 6, "anchor position 6 is out of range for anchor length 6"),
    ],
)
def test_check_positions(positions, anchor_len, result):
    if isinstance(result, str):
        with pytest.raises(ValueError, match=f"^{result}$"):
            check_positions(positions, anchor_len)
    else:
        assert check_positions(positions, anchor_len) == result


@pytest.mark.parametrize(
    "counts, message",
    [
        ({"": 3}, "anchors must be non-empty"),
        ({"ACDEFG": 1, "ACD": 2, "AC": 5}, "all anchors must have the same length; found 6 and 3"),
        ({"ACDEFÉ": 1, "ACDEFG": 1}, "all anchors must have the same length; found 7 and 6"),
    ],
)
def test_anchor_table_errors(counts, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        parse_anchor_counts(counts)


# ------------------------------------------------------------------ strategies

LETTERS = "ARNDCQEGHILKMFPSTWYV"
RESIDUES = st.sampled_from(LETTERS * 5 + "acwxXBZ09-")
WIDE = {2: "Éé", 3: "€"}
COUNTS = st.one_of(
    st.integers(0, 6), st.sampled_from([0, 1, 2**63, 2**63 + 1, 2**64 - 2, 2**64 - 1])
)
THRESHOLDS = st.one_of(
    st.floats(0.3, 0.9),
    st.sampled_from([-0.5, -0.0, 0.0, 1.0, 1.0000000000000002, 1.0001, 1.5, math.nan, math.inf, -math.inf]),
)
WEIGHTS = st.one_of(
    st.just(2.0),
    st.floats(-3.0, 6.0),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e6, 1e300, math.inf, math.nan]),
)
THREADS = st.sampled_from([1, 0, -3, 2, 3, 8])


@st.composite
def anchor_case(draw):
    """Anchors mutated from a few seeds, so that clusters form."""
    length = draw(st.integers(1, 12))
    seeds = draw(st.lists(st.lists(RESIDUES, min_size=length, max_size=length), min_size=1, max_size=4))
    counts = {}
    for _ in range(draw(st.integers(0, 24))):
        chars = list(draw(st.sampled_from(seeds)))
        for p in draw(st.lists(st.integers(0, length - 1), max_size=3)):
            chars[p] = draw(RESIDUES)
        if draw(st.integers(0, 9)) == 0:
            width = draw(st.sampled_from([2, 3]))
            if width <= length:
                at = draw(st.integers(0, length - width))
                chars[at : at + width] = [draw(st.sampled_from(WIDE[width]))]
        counts["".join(chars)] = draw(COUNTS)
    positions = draw(st.lists(st.integers(0, length - 1), min_size=1, max_size=10))
    return counts, positions, draw(WEIGHTS)


def outcome(fn, *args, **kwargs):
    try:
        result = fn(*args, **kwargs)
    except ValueError as exc:
        return "ValueError", str(exc)
    return "ok", [list(part.items()) if isinstance(part, dict) else part for part in result]


AGREEMENT = settings(
    max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)


@AGREEMENT
@given(
    case=anchor_case(),
    threshold=THRESHOLDS,
    search=st.booleans(),
    probes=st.sampled_from([-1, 0, 1, 2, 5]),
    cut=st.one_of(st.floats(-0.5, 1.1), st.sampled_from([0.0, 0.5, 0.6, 0.65, 1.0, math.nan])),
    threads=THREADS,
)
def test_cluster_anchors_agrees_with_model(case, threshold, search, probes, cut, threads):
    counts, positions, weight = case
    args = (counts, threshold, positions, weight, search, probes, cut)
    assert outcome(core.cluster_anchors, *args, threads) == outcome(cluster_anchors, *args)


UNKNOWN = ["ZZZZZZ", "", "é", "AAAAAAAAAAAAAAAAAAAAAAAAA"]


@st.composite
def refine_case(draw):
    counts, positions, weight = draw(anchor_case())
    anchors = list(counts)
    if not anchors:
        return counts, {}, positions, weight
    names = st.sampled_from(anchors * 3 + UNKNOWN)
    kind = draw(st.sampled_from(["greedy", "random", "empty"]))
    mapping = {}
    if kind == "greedy":
        try:
            mapping = cluster_anchors(counts, draw(THRESHOLDS), positions, weight)[0]
        except ValueError:
            pass
        # A few stray entries (chains, unknown names) on top of a real clustering.
        mapping.update(draw(st.dictionaries(names, names, max_size=3)))
    elif kind == "random":
        mapping = draw(st.dictionaries(names, names, max_size=len(anchors) + 2))
    return counts, mapping, positions, weight


@AGREEMENT
@given(
    case=refine_case(),
    threshold=THRESHOLDS,
    iterations=st.integers(0, 5),
    cap=st.sampled_from([0, 1, -1, -5, 2, 3, 32]),
    merge=st.booleans(),
    fast=st.booleans(),
    merge_cap=st.sampled_from([0, 1, -1, 2, 5]),
    threads=THREADS,
)
def test_refine_clusters_agrees_with_model(
    case, threshold, iterations, cap, merge, fast, merge_cap, threads
):
    counts, mapping, positions, weight = case
    args = (counts, mapping, threshold, iterations, cap, merge, positions, weight, fast, merge_cap)
    assert outcome(core.refine_clusters, *args, threads) == outcome(refine_clusters, *args)


@settings(max_examples=200, deadline=None)
@given(case=anchor_case(), threshold=THRESHOLDS)
def test_early_exit_never_changes_the_verdict(case, threshold):
    counts, positions, weight = case
    anchors = [a.encode() for a in counts]
    if len(anchors) < 2 or not weight >= 0.0:
        return
    try:
        tables = sim_tables(len(anchors[0]), check_positions(positions, len(anchors[0])), weight)
    except ValueError:
        return
    for a, b in zip(anchors, anchors[1:]):
        quick, full = anchor_sim(tables, a, b, threshold), full_sim(tables, a, b)
        if quick != -1.0:
            assert quick == full or (math.isnan(quick) and math.isnan(full))
        else:
            # The bound and the sum round differently: an exit may hide a sum that reaches the threshold
            # only by the last bits (seen with a weight of 1e300), never by more.
            assert not full >= threshold or full - threshold <= 1e-12 * max(1.0, abs(threshold))


def seeded_counts(seed, n, letters):
    rng = random.Random(seed)
    counts = {}
    while len(counts) < n:
        counts["".join(rng.choice(letters) for _ in range(9))] = rng.choice([1, 1, 2, 3, 7, 40])
    return counts


# Few blocks and many anchors: centroid lists grow long enough for the module's tabulated fast path. Six
# positions: many small blocks, most of them within reach of several others.
@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("threshold", [0.45, 0.7, 0.9])
@pytest.mark.parametrize("positions", [[1, 7], [0, 1, 2, 4, 6, 8]])
def test_long_centroid_lists_agree_with_model(seed, threshold, positions):
    counts = seeded_counts(seed, 400, "ASTASTVILKRDEx")
    for search in (False, True):
        expected = cluster_anchors(counts, threshold, positions, obg_block_search=search)
        got = core.cluster_anchors(counts, threshold, positions, obg_block_search=search, threads=seed)
        assert (list(got[0].items()), got[1:]) == (list(expected[0].items()), expected[1:])
    singletons = {anchor: anchor for anchor in counts}
    for mapping in (expected[0], singletons):
        args = (counts, mapping, threshold, 2, 0, True, positions, 2.0, seed == 2, 0)
        want = refine_clusters(*args)
        refined, stats = core.refine_clusters(*args)
        assert list(refined.items()) == list(want[0].items())
        assert list(stats.items()) == list(want[1].items())
