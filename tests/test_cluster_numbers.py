"""Worked numbers of cluster_anchors: similarities and block bounds seen as the thresholds and cuts at which
anchors join, the counters of the greedy pass, the order in which neighbouring blocks are searched, and
results that do not depend on `threads`.

Most cases use anchors of length 3 with anchor position 1 and weight 2.0, so the positions weigh
0.25, 0.5, 0.25. Residue groups: AST, VILM, FYW, DE, KR, NQ, G, H, C, P."""

import math
import random

import pytest

from kelvara._core import cluster_anchors

INF = math.inf
NAN = math.nan


def above(x):
    return math.nextafter(x, INF)


def clusters3(counts, threshold, **kwargs):
    return cluster_anchors(counts, threshold, [1], 2.0, **kwargs)


def centroid_map(*groups):
    """{member: centroid} from tuples that start with their centroid."""
    return {member: group[0] for group in groups for member in group}


# --- similarities, seen as the largest threshold at which the later anchor joins the earlier one -------


@pytest.mark.parametrize(
    "first, second, similarity, search",
    [
        ("AAA", "AAV", 0.75, False),  # N(A, V) = 0 at a flank
        ("AAA", "VAA", 0.75, False),
        ("xAA", "xAV", 0.5, False),  # equal non-alphabet bytes still score 0
        ("AxA", "AyA", 0.5, False),  # both non-alphabet at the anchor position: one block
        ("AÉ", "AxA", 0.25, False),  # bytes of 128 and above score 0 and group as non-alphabet
        # Other blocks, reached by the block search; its cut, max(threshold, 0.0), is below their bounds.
        ("AQA", "AKA", 0.6, True),  # N(Q, K) = 1/5 at the anchor position
        ("AQA", "AEA", 0.7, True),  # N(Q, E) = 2/5
        ("AQA", "AVA", 0.27639320225002106, True),  # N(Q, V) = -2/sqrt(20)
    ],
)
def test_similarity_is_the_join_threshold(first, second, similarity, search):
    counts = {first: 2, second: 1}
    mapping, n_comparisons, n_early_exits = clusters3(counts, similarity, obg_block_search=search)
    assert mapping == {first: first, second: first}
    assert (n_comparisons, n_early_exits) == (1, 0)
    assert clusters3(counts, above(similarity), obg_block_search=search)[0] == {first: first, second: second}


def test_early_exit_after_one_position():
    # L = 9, positions [1, 8]: I against V at position 1 leaves at most 0.9545... after the first lookup.
    counts = {"AIAAAAAAA": 2, "AVAAAAAAA": 1}
    assert cluster_anchors(counts, 0.99, [1, 8]) == (centroid_map(("AIAAAAAAA",), ("AVAAAAAAA",)), 1, 1)
    assert cluster_anchors(counts, 0.95, [1, 8]) == (centroid_map(("AIAAAAAAA", "AVAAAAAAA")), 1, 0)


def test_similarity_nine_positions_heavy_first():
    # I against V at unweighted position 0: 0.9772727272727274, summed heaviest first.
    counts = {"IAAAAAAAA": 2, "VAAAAAAAA": 1}
    assert cluster_anchors(counts, 0.9772727272727, [1, 8])[0] == centroid_map(("IAAAAAAAA", "VAAAAAAAA"))
    assert cluster_anchors(counts, 0.9772727272728, [1, 8])[0] == centroid_map(("IAAAAAAAA",), ("VAAAAAAAA",))


@pytest.mark.parametrize(
    "counts, threshold, positions, weight, expected",
    [
        # Weight 0 on every position: every scale is 0/0, every similarity NaN; nothing joins, nothing exits.
        ({"AAA": 2, "AAS": 1}, -INF, [0, 1, 2], 0.0, (centroid_map(("AAA",), ("AAS",)), 1, 0)),
        # Weight 1: every position weighs 1/4, A against V scores 0.
        ({"AAAA": 2, "AAAV": 1}, 0.75, [0], 1.0, (centroid_map(("AAAA", "AAAV")), 1, 0)),
        ({"AAAA": 2, "AAAV": 1}, above(0.75), [0], 1.0, (centroid_map(("AAAA",), ("AAAV",)), 1, 0)),
    ],
)
def test_weights(counts, threshold, positions, weight, expected):
    assert cluster_anchors(counts, threshold, positions, weight) == expected


# --- block upper bounds, seen as the largest cut at which the other block is still searched ------------


@pytest.mark.parametrize(
    "centroid, own, bound",
    [
        ("AEA", "AQA", 0.7),  # NQ against DE: group maximum 0.4
        ("ASA", "AQA", 0.6020620726159658),  # NQ against AST: N and S, 0.20412414523193154
        ("AKA", "AQA", 0.6),  # NQ against KR: 0.2
        ("AVA", "AQA", 0.5),  # NQ against VILM: 0.0, although the similarity is 0.276...
        ("AKA", "AVA", 0.4),  # VILM against KR: -0.2
        ("AAA", "AxA", 1.0),  # a non-alphabet byte is bounded by 1.0
        ("AAA", "AÉ", 1.0),
        ("AAA", "AXA", 1.0),
    ],
)
def test_block_upper_bound_is_the_cut(centroid, own, bound):
    counts = {centroid: 5, own: 3}
    joined = clusters3(counts, 0.0, obg_block_search=True, obg_min_block_upper_bound=bound)
    assert joined == ({centroid: centroid, own: centroid}, 1, 0)
    skipped = clusters3(counts, 0.0, obg_block_search=True, obg_min_block_upper_bound=above(bound))
    assert skipped == ({centroid: centroid, own: own}, 0, 0)


# --- greedy pass ----------------------------------------------------------------------------------------

AAA_AAV_VAA = {"AAA": 5, "AAV": 3, "VAA": 2}


@pytest.mark.parametrize("threads", [1, 0, -3, 2, 4])
@pytest.mark.parametrize(
    "threshold, expected",
    [
        (0.7, (centroid_map(("AAA", "AAV", "VAA")), 2, 0)),
        # AAV scores 0.75 in full; VAA exits early against both AAA and AAV.
        (0.8, (centroid_map(("AAA",), ("AAV",), ("VAA",)), 3, 2)),
        (NAN, (centroid_map(("AAA",), ("AAV",), ("VAA",)), 3, 0)),
        (1.5, (centroid_map(("AAA",), ("AAV",), ("VAA",)), 3, 3)),
        (-INF, (centroid_map(("AAA", "AAV", "VAA")), 2, 0)),
    ],
)
def test_one_block_greedy(threshold, expected, threads):
    assert clusters3(AAA_AAV_VAA, threshold, threads=threads) == expected
    assert clusters3(AAA_AAV_VAA, threshold, obg_block_search=True, threads=threads) == expected


@pytest.mark.parametrize(
    "counts, threshold, kwargs, expected",
    [
        # Equal counts: the earlier anchor of the dict becomes the centroid.
        ({"AAV": 3, "AAA": 3}, 0.7, {}, (centroid_map(("AAV", "AAA")), 1, 0)),
        ({"AAA": 3, "AAV": 3}, 0.7, {}, (centroid_map(("AAA", "AAV")), 1, 0)),
        # First fit, not best fit: VAA joins AAA (0.75), not the later and more similar VAS (0.8125).
        ({"AAA": 5, "VAS": 4, "VAA": 1}, 0.7, {}, (centroid_map(("AAA", "VAA"), ("VAS",)), 2, 0)),
        # Different blocks never share a cluster in own-block mode, however similar.
        ({"AEA": 2, "AQA": 1}, 0.0, {}, (centroid_map(("AEA",), ("AQA",)), 0, 0)),
        # A negative similarity never joins and counts as an early exit, whatever the threshold.
        ({"AAA": 2, "WAW": 1}, -INF, {"anchor_weight": 0.5}, (centroid_map(("AAA",), ("WAW",)), 1, 1)),
        ({"AAA": 2, "SAS": 1}, -INF, {"anchor_weight": 0.5}, (centroid_map(("AAA", "SAS")), 1, 0)),
    ],
)
def test_greedy_cases(counts, threshold, kwargs, expected):
    assert cluster_anchors(counts, threshold, **{"anchor_positions": [1], **kwargs}) == expected


SEARCH_ALL = {"obg_block_search": True, "obg_min_block_upper_bound": -1.0}


@pytest.mark.parametrize(
    "counts, threshold, kwargs, expected",
    [
        # One position: no early exit is possible, every pair of the block is computed in full.
        ({"A": 3, "S": 2, "T": 1}, 1.5, {}, (centroid_map(("A",), ("S",), ("T",)), 3, 0)),
        ({"A": 3, "S": 2, "T": 1}, 0.0, {}, (centroid_map(("A", "S", "T")), 2, 0)),
        # A against W is negative: counted as an early exit although the loop never exits.
        ({"A": 2, "W": 1}, -1.0, SEARCH_ALL, (centroid_map(("A",), ("W",)), 1, 1)),
        ({"A": 2, "V": 1}, -1.0, SEARCH_ALL, (centroid_map(("A", "V")), 1, 0)),
        # Two positions and an unreachable threshold: every comparison exits early.
        ({"AA": 3, "AS": 2, "AT": 1}, 1.5, {}, (centroid_map(("AA",), ("AS",), ("AT",)), 3, 3)),
    ],
)
def test_short_anchors(counts, threshold, kwargs, expected):
    assert cluster_anchors(counts, threshold, [0], **kwargs) == expected


# --- neighbouring-block search --------------------------------------------------------------------------

AKA_AQA = {"AKA": 5, "AQA": 3}
JOINED = centroid_map(("AKA", "AQA"))
APART = centroid_map(("AKA",), ("AQA",))


@pytest.mark.parametrize(
    "threshold, kwargs, expected",
    [
        (0.55, {}, (APART, 0, 0)),
        (0.55, {"obg_block_search": True}, (JOINED, 1, 0)),
        (0.55, {"obg_block_search": True, "obg_min_block_upper_bound": 0.65}, (APART, 0, 0)),
        (0.55, {"obg_block_search": True, "obg_min_block_upper_bound": 0.6}, (JOINED, 1, 0)),
        (0.55, {"obg_block_search": True, "obg_min_block_upper_bound": 0.3}, (JOINED, 1, 0)),
        (0.55, {"obg_block_search": True, "obg_max_probes": 1}, (APART, 0, 0)),
        (0.55, {"obg_block_search": True, "obg_max_probes": 2}, (JOINED, 1, 0)),
        (0.55, {"obg_block_search": True, "obg_max_probes": -5}, (JOINED, 1, 0)),
        (0.55, {"obg_block_search": True, "threads": 8}, (JOINED, 1, 0)),
        (0.65, {"obg_block_search": True}, (APART, 0, 0)),  # the cut follows the threshold
        (NAN, {"obg_block_search": True}, (APART, 1, 0)),  # cut 0.0: searched, never matched
        (0.55, {"obg_block_search": True, "obg_min_block_upper_bound": NAN}, (JOINED, 1, 0)),
        (NAN, {"obg_block_search": True, "obg_min_block_upper_bound": 0.6}, (APART, 1, 0)),
        (NAN, {"obg_block_search": True, "obg_min_block_upper_bound": above(0.6)}, (APART, 0, 0)),
        (NAN, {"obg_block_search": True, "obg_min_block_upper_bound": NAN}, (APART, 0, 0)),
    ],
)
def test_block_search_aka_aqa(threshold, kwargs, expected):
    assert clusters3(AKA_AQA, threshold, **kwargs) == expected


@pytest.mark.parametrize(
    "counts, threshold, cut, probes, expected",
    [
        # Bound descending beats key and creation order: DE (0.7) before AST (0.602), both similar enough.
        ({"ASA": 9, "AEA": 8, "AQA": 1}, 0.45, 0.55, 0, (centroid_map(("ASA",), ("AEA", "AQA")), 1, 0)),
        ({"ASA": 9, "AEA": 8, "AQA": 1}, 0.45, 0.55, 1, (centroid_map(("ASA",), ("AEA",), ("AQA",)), 0, 0)),
        # AST (0.602) is searched before KR (0.6); ASA exits early, AKA takes the anchor.
        ({"ASA": 9, "AKA": 8, "AQA": 1}, 0.55, 0.0, 0, (centroid_map(("ASA",), ("AKA", "AQA")), 2, 1)),
        ({"ASA": 9, "AKA": 8, "AQA": 1}, 0.55, 0.0, 2, (centroid_map(("ASA",), ("AKA",), ("AQA",)), 1, 1)),
        ({"ASA": 9, "AKA": 8, "AQA": 1}, 0.55, 0.0, 3, (centroid_map(("ASA",), ("AKA", "AQA")), 2, 1)),
        # Equal bounds (VILM against AST, FYW, NQ: all 0.5) go by ascending key, whatever the creation order.
        ({"ATA": 9, "AFA": 8, "AVA": 1}, 0.0, 0.5, 0, (centroid_map(("ATA", "AVA"), ("AFA",)), 1, 0)),
        ({"AFA": 9, "ATA": 8, "AVA": 1}, 0.0, 0.5, 0, (centroid_map(("ATA", "AVA"), ("AFA",)), 1, 0)),
        ({"AFA": 9, "ANA": 8, "AVA": 1}, 0.0, 0.5, 0, (centroid_map(("AFA", "AVA"), ("ANA",)), 1, 0)),
        ({"ANA": 9, "AFA": 8, "AVA": 1}, 0.0, 0.5, 0, (centroid_map(("AFA", "AVA"), ("ANA",)), 1, 0)),
        # KR is bounded by 0.4 against VILM and stays out at a cut of 0.5.
        ({"AKA": 9, "AFA": 8, "AVA": 1}, 0.0, 0.5, 0, (centroid_map(("AKA",), ("AFA", "AVA")), 1, 0)),
    ],
)
def test_candidate_order(counts, threshold, cut, probes, expected):
    kwargs = {"obg_block_search": True, "obg_min_block_upper_bound": cut, "obg_max_probes": probes}
    assert clusters3(counts, threshold, **kwargs) == expected


@pytest.mark.parametrize(
    "counts", [{"xVVVVVVV": 9, "AGGGGGGG": 8, "AAAAAAAA": 1}, {"AGGGGGGG": 9, "xVVVVVVV": 8, "AAAAAAAA": 1}]
)
def test_eight_positions_keys_compare_unsigned(counts):
    # Both blocks are bounded by 0.125 against AAAAAAAA; the key of xVVVVVVV has its top byte at 255.
    expected = ({"xVVVVVVV": "xVVVVVVV", "AGGGGGGG": "AGGGGGGG", "AAAAAAAA": "AGGGGGGG"}, 1, 0)
    assert cluster_anchors(counts, 0.0, range(8), obg_block_search=True) == expected


# --- results independent of threads ---------------------------------------------------------------------


def random_counts(seed, n, letters, length, prefix=""):
    rng = random.Random(seed)
    counts = {}
    while len(counts) < n:
        counts[prefix + "".join(rng.choice(letters) for _ in range(length))] = rng.choice([1, 1, 2, 3, 7, 40])
    return counts


DATA = [
    (random_counts(11, 600, "AAILVVKRDESTGQNFx", 6), [1, 5]),
    (random_counts(12, 400, "ASTASTVILMKRx", 7, prefix="É"), [0, 4, 8]),
]


@pytest.mark.parametrize("counts, positions", DATA)
@pytest.mark.parametrize("threshold", [0.4, 0.6])
def test_threads_do_not_change_results(counts, positions, threshold):
    serial = cluster_anchors(counts, threshold, positions)
    mapping, n_comparisons, n_early_exits = serial
    assert len(set(mapping.values())) < len(mapping) and 0 < n_early_exits < n_comparisons
    for threads in [0, -3, 4]:
        result = cluster_anchors(counts, threshold, positions, threads=threads)
        assert list(result[0].items()) == list(mapping.items()) and result[1:] == serial[1:]
    searched = cluster_anchors(counts, threshold, positions, obg_block_search=True, obg_max_probes=3)
    assert searched != serial
    for threads in [0, -3, 4]:
        again = cluster_anchors(counts, threshold, positions, obg_block_search=True, obg_max_probes=3, threads=threads)
        assert list(again[0].items()) == list(searched[0].items()) and again[1:] == searched[1:]
    own_block = cluster_anchors(counts, threshold, positions, obg_block_search=True, obg_max_probes=1, threads=4)
    assert own_block == serial


@pytest.mark.parametrize("counts, positions", DATA[:1])
def test_positions_are_sorted_and_deduplicated(counts, positions):
    assert cluster_anchors(counts, 0.5, [5, 1, 5, 1]) == cluster_anchors(counts, 0.5, [1, 5])
    assert cluster_anchors(counts, 0.5, [1] * 9) == cluster_anchors(counts, 0.5, [1])
    assert cluster_anchors(counts, 0.5, [1]) != cluster_anchors(counts, 0.5, [1, 5])
