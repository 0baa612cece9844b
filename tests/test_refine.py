"""refine_clusters as callers see it: argument binding and conversion, how the mapping is read, the shape of
the result, and hand-worked passes of the medoid, reassignment and merge steps."""

import copy
import inspect
import math
import random

import pytest

from kelvara import _core, cluster_anchors, refine_clusters

PARAMS = [
    "anchor_counts", "mapping", "threshold", "iterations", "cap", "merge",
    "anchor_positions", "anchor_weight", "fast_medoid", "merge_cap", "threads",
]
STAT_KEYS = ["passes", "medoid_changes", "reassignments", "merges", "initial_clusters", "final_clusters"]
D = {"AAAAAA": 3, "AAAAAV": 2, "SAAAAA": 1}


def stats(*values):
    return dict(zip(STAT_KEYS, values))


def refine3(counts, mapping, threshold, iterations=1, **kw):
    """Anchors of length 3, anchor position 1 only: position scales 0.25, 0.5, 0.25; merge off unless asked."""
    kw.setdefault("anchor_positions", [1])
    kw.setdefault("merge", False)
    return refine_clusters(counts, mapping, threshold, iterations, **kw)


# --- surface, binding and conversion ----------------------------------------------------------------


def test_docstring_and_signature(stub_docstring):
    assert refine_clusters.__doc__ == stub_docstring("refine_clusters")
    assert refine_clusters.__doc__.startswith("Refinement pass on top of greedy clustering output.\n\nEach pass")
    assert refine_clusters.__text_signature__ == (
        "(anchor_counts, mapping, threshold, iterations, cap=32, merge=True, anchor_positions=..., "
        "anchor_weight=2.0, fast_medoid=False, merge_cap=0, threads=1)"
    )
    params = list(inspect.signature(refine_clusters).parameters.values())
    assert [p.name for p in params] == PARAMS
    assert [p.default for p in params] == [inspect.Parameter.empty] * 4 + [32, True, ..., 2.0, False, 0, 1]
    assert {p.kind for p in params} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((D, {}, 0.5), {}, "missing 1 required positional argument: 'iterations'"),
        ((), {}, "missing 4 required positional arguments: "
                 "'anchor_counts', 'mapping', 'threshold', and 'iterations'"),
        ((), {"mapping": {}, "iterations": 1}, "missing 2 required positional arguments: "
                                               "'anchor_counts' and 'threshold'"),
        (range(12), {}, "takes from 4 to 11 positional arguments but 12 were given"),
        ((D, {}, 0.5, 1), {"iteration": 2}, "got an unexpected keyword argument 'iteration'"),
        ((D, {}, 0.5, 1), {"iterations": 2}, "got multiple values for argument 'iterations'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        refine_clusters(*args, **kwargs)
    assert str(info.value) == "refine_clusters() " + message


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"merge": 1}, "argument 'merge': 'int' object cannot be converted to 'PyBool'"),
        ({"fast_medoid": 1}, "argument 'fast_medoid': 'int' object cannot be converted to 'PyBool'"),
        ({"mapping": [("A", "B")]}, "argument 'mapping': 'list' object cannot be converted to 'PyDict'"),
        ({"anchor_counts": [("A", 1)]}, "argument 'anchor_counts': 'list' object cannot be converted to 'PyDict'"),
        ({"iterations": 2.0}, "argument 'iterations': "),
        ({"cap": 1.5}, "argument 'cap': "),
        ({"threshold": "0.5"}, "argument 'threshold': "),
        ({"threads": None}, "argument 'threads': "),
    ],
)
def test_conversion_type_errors_name_the_parameter(kwargs, message):
    args = {"anchor_counts": D, "mapping": {}, "threshold": 0.5, "iterations": 1, **kwargs}
    with pytest.raises(TypeError) as info:
        refine_clusters(**args)
    text = str(info.value)
    # A bare prefix stands for the interpreter's own message, which must follow it.
    assert text.startswith(message) and len(text) > len(message) if message.endswith(": ") else text == message


@pytest.mark.parametrize(
    "kwargs",
    [{"iterations": -1}, {"iterations": 2**64}, {"cap": 2**63}, {"merge_cap": -(2**63) - 1},
     {"threads": 2**63}, {"threads": -(2**63) - 1}],
)
def test_out_of_range_integers_raise_unprefixed_overflow(kwargs):
    args = {"anchor_counts": D, "mapping": {}, "threshold": 0.5, "iterations": 1, **kwargs}
    with pytest.raises(OverflowError) as info:
        refine_clusters(**args)
    assert "argument" not in str(info.value)


def test_keywords_in_any_order_and_omitted_ones_take_the_defaults():
    counts = {"AAAAAA": 5, "SAAAAA": 2, "AAAAAT": 1, "GAAAAA": 4, "AVAAAV": 3, "GAAAAT": 1}
    mapping = {"SAAAAA": "AAAAAT", "GAAAAT": "GAAAAA"}
    explicit = refine_clusters(counts, mapping, 0.8, 3, 32, True, [1, 5], 2.0, False, 0, 1)
    assert refine_clusters(counts, mapping, 0.8, 3) == explicit
    assert refine_clusters(threads=1, iterations=3, threshold=0.8, mapping=mapping, anchor_counts=counts) == explicit
    # Merging is on by default: AAAAAA (7 after SAAAAA moves to it) absorbs GAAAAA (5, sim 0.875).
    assert explicit[1]["merges"] >= 1
    assert refine_clusters(counts, mapping, 0.8, 3, merge=False)[1]["merges"] == 0


@pytest.mark.parametrize("positions", [[], [99], [1, 5]])
def test_empty_anchor_counts_returns_before_positions_and_mapping_are_read(positions):
    result = refine_clusters({}, {5: 6, "A": None}, 0.5, 3, anchor_positions=positions)
    assert result == ({}, stats(0, 0, 0, 0, 0, 0))
    assert list(result[1]) == STAT_KEYS


@pytest.mark.parametrize("mapping", [{"AAAAAA": 5}, {"ZZZ": 5}, {"ZZZ": "AAAAAA", 5: "AAAAAA"}, {5: 2.5}])
def test_non_str_mapping_entry_raises_unprefixed(mapping):
    with pytest.raises(TypeError) as info:
        refine_clusters(D, mapping, 0.5, 1)
    assert str(info.value) == "'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "positions, message",
    [([9], "anchor position 9 is out of range for anchor length 6"),
     ([], "anchor_positions must contain at least one position")],
)
def test_position_errors_come_before_the_mapping_is_read(positions, message):
    with pytest.raises(ValueError) as info:
        refine_clusters(D, {"AAAAAA": 5}, 0.5, 1, anchor_positions=positions)
    assert str(info.value) == message


def test_inputs_unchanged_and_result_shape():
    counts = {"SAAAAA": 1, "AAAAAV": 2, "AAAAAA": 3}
    mapping = {"AAAAAA": "AAAAAA", "AAAAAV": "AAAAAA", "SAAAAA": "AAAAAA", "other": "AAAAAA"}
    positions = [5, 1]
    before = [copy.deepcopy(x) for x in (counts, mapping, positions)]
    result = refine_clusters(counts, mapping, 0.5, 2, anchor_positions=positions)
    assert [list(x.items()) if isinstance(x, dict) else x for x in (counts, mapping, positions)] == [
        list(x.items()) if isinstance(x, dict) else x for x in before
    ]
    assert type(result) is tuple and len(result) == 2
    refined, st = result
    assert type(refined) is dict and type(st) is dict
    assert list(refined) == list(counts)  # anchor_counts order, not mapping order
    assert list(st) == STAT_KEYS and all(type(v) is int for v in st.values())
    # Medoid scores: AAAAAA 0.802..., AAAAAV 0.7265625, SAAAAA 0.80625.
    assert refined == {a: "SAAAAA" for a in counts}
    assert st == stats(2, 1, 0, 0, 1, 1)


# --- reading the mapping ----------------------------------------------------------------------------

COUNTS5 = {"AAA": 1, "AAV": 1, "VAA": 1, "VAS": 1, "GGG": 1}


def test_iterations_zero_returns_the_mapping_as_read():
    # Unknown keys (even of another length) and unknown values are dropped; the chain VAA -> AAV -> AAA is
    # not followed; AAA is unmapped and its own centroid.
    mapping = {"XYZ": "AAA", "AAAA": "AAV", "GGG": "XYZ", "VAA": "AAV", "AAV": "AAA", "VAS": "VAS"}
    refined, st = refine3(COUNTS5, mapping, 0.5, 0, merge=True)
    assert refined == {"AAA": "AAA", "AAV": "AAA", "VAA": "AAV", "VAS": "VAS", "GGG": "GGG"}
    assert st == stats(0, 0, 0, 0, 4, 4)


class OddHash(str):
    """A str whose hash has nothing to do with its text."""

    def __hash__(self):
        return 7


def test_mapping_is_matched_by_text_whatever_the_str_objects():
    # Built strs (not the interned literals), a subclass hashing its own way, and non-ASCII text.
    counts = {"".join(["A", "A", "A", "A"]): 1, OddHash("AAVA"): 1, "VAé": 1}
    mapping = {OddHash("AAAA"): "".join(["AA", "VA"]), "".join(["VA", "é"]): OddHash("AAAA")}
    refined = refine3(counts, mapping, 0.5, 0, anchor_positions=[1])[0]
    assert refined == {"AAAA": "AAVA", "AAVA": "AAVA", "VAé": "AAAA"}
    # The subclass comes back as a plain str, which hashes by its text.
    assert all(type(text) is str for entry in refined.items() for text in entry)


@pytest.mark.parametrize(
    "mapping, error",
    [
        ({"\ud800AA": "AAA"}, UnicodeEncodeError),
        ({"AAA": "\ud800AA"}, UnicodeEncodeError),
        # Entries fail in dict order, a key before its value.
        ({"\ud800AA": "AAA", 5: "AAA"}, UnicodeEncodeError),
        ({5: "AAA", "\ud800AA": "AAA"}, TypeError),
        ({"AAV": "\ud800AA", "AAA": 5}, UnicodeEncodeError),
        ({"AAV": 5, "AAA": "\ud800AA"}, TypeError),
    ],
)
def test_mapping_text_that_cannot_be_encoded_raises(mapping, error):
    with pytest.raises(error):
        refine3(COUNTS5, mapping, 0.5, 0)


def test_long_anchors_are_matched_by_text():
    long_a, long_v = "A" * 24, "A" * 23 + "V"
    mapping = {"".join(["A"] * 23 + ["V"]): "".join(["A"] * 24), "".join(["A"] * 25): long_a}
    refined = refine_clusters({long_a: 2, long_v: 1}, mapping, 0.5, 0, anchor_positions=[1])[0]
    assert refined == {long_a: long_a, long_v: long_a}


@pytest.mark.parametrize("change", ["add", "reorder", "value", "subclass"])
def test_anchor_counts_changed_during_the_call_leave_the_result_alone(change):
    # The progress hook runs Python between steps; the result follows the anchors as they were read.
    counts = {"AAA": 3, "AAV": 2, "VAS": 1, "GGG": 1}
    mapping = {"AAV": "AAA", "GGG": "VAS"}
    want = refine_clusters(dict(counts), mapping, 0.5, 2, anchor_positions=[1], merge=False)

    calls = []

    def progress(stage, pass_, done, total):
        calls.append(stage)
        if len(calls) > 1:
            return
        if change == "add":
            counts["SSS"] = 1
        elif change == "reorder":
            counts["AAA"] = counts.pop("AAA")
        elif change == "value":
            counts["AAV"] = 9
        else:
            counts[OddHash("AAA")] = counts.pop("AAA")

    got = _core._refine_clusters(counts, mapping, 0.5, 2, anchor_positions=[1], merge=False, progress=progress)
    assert calls and got == want and list(got[0]) == list(want[0])
    assert all(type(text) is str for entry in got[0].items() for text in entry)


@pytest.mark.parametrize(
    "threshold, expected, moved",
    [
        # AAV finds itself (sim 1.0) in its own block, above its 0.75 to AAA; GGG's block holds no
        # centroid, so GGG keeps AAV.
        (0.6, {"GGG": "AAV", "AAV": "AAV", "AAA": "AAA"}, 1),
        (1.5, {"GGG": "AAV", "AAV": "AAA", "AAA": "AAA"}, 0),
    ],
)
def test_chains_are_not_followed(threshold, expected, moved):
    refined, st = refine3({"GGG": 1, "AAV": 1, "AAA": 1}, {"GGG": "AAV", "AAV": "AAA"}, threshold)
    assert refined == expected
    assert st == stats(1, 0, moved, 0, 2, 2)


def test_empty_mapping_without_merge_is_identity_and_stable_mapping_takes_one_pass():
    counts = {"AAA": 5, "AAV": 3, "VAA": 2}
    assert refine3(counts, {}, 0.5, 5) == ({a: a for a in counts}, stats(1, 0, 0, 0, 3, 3))
    stable = {a: "AAA" for a in counts}
    assert refine3(counts, stable, 0.5, 5, merge=True) == (stable, stats(1, 0, 0, 0, 1, 1))


def test_clusters_sharing_a_centroid_after_the_medoid_step():
    # {VAA} keeps AAA as a single-member cluster; {AAA, AAV} ties at 0.75 and picks AAA by text.
    refined, st = refine3({"VAA": 1, "AAA": 1, "AAV": 1}, {"VAA": "AAA", "AAA": "AAV"}, 0.6)
    assert refined == {"VAA": "AAA", "AAA": "AAA", "AAV": "AAA"}
    assert st == stats(1, 1, 0, 0, 2, 1)


# --- medoid step ------------------------------------------------------------------------------------


@pytest.mark.parametrize("fast_medoid", [False, True])
@pytest.mark.parametrize(
    "counts",
    [
        {"AAA": 5, "AAV": 3, "VAA": 2},  # scores 0.75, 0.6785714285714286, 0.65625
        {"AAV": 5, "AAA": 1, "VAA": 1},  # the most frequent member is not the medoid: 0.625 < 0.75
    ],
)
@pytest.mark.parametrize("start", ["AAV", "VAA"])
def test_medoid_maximises_weighted_mean_similarity(fast_medoid, counts, start):
    mapping = {a: start for a in counts}
    refined, st = refine3(counts, mapping, 0.6, 3, fast_medoid=fast_medoid)
    assert refined == {a: "AAA" for a in counts}
    assert st == stats(2, 1, 0, 0, 1, 1)  # the second pass changes nothing


# --- reassignment -----------------------------------------------------------------------------------

REASSIGN_COUNTS = {"AAA": 10, "VAS": 4, "AAV": 1, "VAA": 1}
REASSIGN_MAPPING = {"AAA": "AAA", "VAS": "VAS", "AAV": "AAV", "VAA": "AAV"}


@pytest.mark.parametrize("cap, target", [(1, "AAA"), (2, "VAS"), (0, "VAS"), (-5, "VAS")])
def test_reassignment_moves_to_best_centroid_within_cap(cap, target):
    # VAA: 0.5 to AAV, 0.75 to AAA (size 10, searched first), 0.8125 to VAS (size 4).
    refined, st = refine3(REASSIGN_COUNTS, REASSIGN_MAPPING, 0.6, cap=cap)
    assert refined == {"AAA": "AAA", "VAS": "VAS", "AAV": "AAV", "VAA": target}
    assert st == stats(1, 0, 1, 0, 3, 3)


def test_threads_do_not_change_the_result():
    results = [refine3(REASSIGN_COUNTS, REASSIGN_MAPPING, 0.6, 3, cap=1, merge=True, threads=t)
               for t in (1, 0, -3, 2, 64)]
    assert all(r == results[0] and list(r[0]) == list(results[0][0]) for r in results)


# --- merge ------------------------------------------------------------------------------------------


# Caps that leave every candidate of these small cases within reach: each rule holds whatever the cap.
WIDE_CAPS = [0, -1, 5]


@pytest.mark.parametrize("merge_cap", WIDE_CAPS)
def test_largest_cluster_absorbs_both_smaller_ones(merge_cap):
    # Sizes 5 (AAA), 3 (AAV + VAV) and 2 (VAA); AAA is 0.75 to both other centroids.
    counts = {"AAA": 5, "AAV": 2, "VAV": 1, "VAA": 2}
    refined, st = refine3(counts, {"VAV": "AAV"}, 0.5, merge=True, merge_cap=merge_cap)
    assert refined == {a: "AAA" for a in counts}
    assert st == stats(1, 0, 0, 2, 3, 1)


def test_a_cap_of_one_stops_the_largest_cluster_after_its_first_candidate():
    counts = {"AAA": 5, "AAV": 2, "VAV": 1, "VAA": 2}
    refined, st = refine3(counts, {"VAV": "AAV"}, 0.5, merge=True, merge_cap=1)
    # AAA examines AAV only; VAA then meets AAA first, which is not smaller, and stops there.
    assert refined == {"AAA": "AAA", "AAV": "AAA", "VAV": "AAA", "VAA": "VAA"}
    assert st == stats(1, 0, 0, 1, 3, 2)


@pytest.mark.parametrize("merge_cap", WIDE_CAPS + [1])
@pytest.mark.parametrize(
    "counts, centre, merges",
    [({"AAA": 3, "AAV": 3}, None, 0), ({"AAV": 3, "AAA": 3}, None, 0),
     ({"AAA": 3, "AAV": 4}, "AAV", 1), ({"AAA": 4, "AAV": 3}, "AAA", 1)],
)
def test_only_a_strictly_larger_cluster_absorbs(counts, centre, merges, merge_cap):
    refined, st = refine3(counts, {}, 0.5, merge=True, merge_cap=merge_cap)
    assert refined == {a: centre or a for a in counts}
    assert st["merges"] == merges and st["final_clusters"] == 2 - merges


@pytest.mark.parametrize("merge_cap, merges", [(1, 0), (2, 1), (0, 1), (-1, 1)])
def test_merge_cap_counts_larger_candidates(merge_cap, merges):
    # GAG (10) is 0.5 to AAA and below to AAV, so it absorbs nothing; AAA meets GAG first and, with a cap
    # of 1, never reaches AAV (0.75).
    counts = {"GAG": 10, "AAA": 5, "AAV": 1}
    refined, st = refine3(counts, {}, 0.6, merge=True, merge_cap=merge_cap)
    assert refined == {"GAG": "GAG", "AAA": "AAA", "AAV": "AAA" if merges else "AAV"}
    assert st["merges"] == merges


@pytest.mark.parametrize("merge_cap", WIDE_CAPS + [1])
@pytest.mark.parametrize("threshold, merges", [(0.75, 1), (math.nextafter(0.75, 1.0), 0)])
def test_similarity_exactly_at_threshold_merges(threshold, merges, merge_cap):
    refined, st = refine3({"AAA": 2, "AAV": 1}, {}, threshold, merge=True, merge_cap=merge_cap)
    assert refined["AAV"] == ("AAA" if merges else "AAV")
    assert st == stats(1, 0, 0, merges, 2, 2 - merges)


@pytest.mark.parametrize(
    "counts, positions, merges",
    [
        ({"AAA": 5, "AVA": 1}, [1], 0),  # sim 0.5, but groups AST and VILM at the only anchor position
        ({"AAA": 5, "VAV": 1}, [0, 2], 0),  # sim 0.2, no anchor position agrees
        ({"AAA": 5, "AAV": 1}, [0, 2], 1),  # agrees at position 0
    ],
)
@pytest.mark.parametrize("merge_cap", WIDE_CAPS + [1])
def test_only_agreeing_blocks_merge(counts, positions, merges, merge_cap):
    refined, st = refine3(counts, {}, 0.1, merge=True, anchor_positions=positions, merge_cap=merge_cap)
    assert st["merges"] == merges
    assert len(set(refined.values())) == 2 - merges


@pytest.mark.parametrize("merge_cap, merges", [(2, 1), (3, 2), (0, 2)])
def test_absorbed_candidates_still_count_against_the_cap(merge_cap, merges):
    # WAV (10) absorbs WAQ (2) only. VAW (4) then examines WAV (not smaller), WAQ (absorbed) and only then
    # YAW (1), 0.70 similar: a cap of two ends its search before YAW.
    counts = {"WAV": 10, "VAW": 4, "WAQ": 2, "YAW": 1}
    refined, st = refine3(counts, {}, 0.6, merge=True, merge_cap=merge_cap)
    assert refined == {"WAV": "WAV", "VAW": "VAW", "WAQ": "WAV", "YAW": "VAW" if merges == 2 else "YAW"}
    assert st == stats(1, 0, 0, merges, 4, 4 - merges)


@pytest.mark.parametrize("merge_cap", WIDE_CAPS)
def test_negative_similarity_at_a_negative_threshold_merges(merge_cap):
    # DAD and LSL (one block: A and S share a group) are -0.283 similar: no rule keeps a negative
    # similarity out of a merge.
    refined, st = refine3({"DAD": 2, "LSL": 1}, {}, -0.5, merge=True, merge_cap=merge_cap)
    assert refined == {"DAD": "DAD", "LSL": "DAD"} and st["merges"] == 1


def test_cluster_sizes_do_not_wrap_at_64_bits():
    # AAAAAA's cluster totals 2**64 and absorbs SAAAAA (0.90625); a wrapped total of 0 would let SAAAAA
    # (5) absorb AAAAAA instead. AAAAAT (0.75 to AAAAAA) finds nothing at 0.9 and stays.
    counts = {"AAAAAA": 2**63, "AAAAAT": 2**63, "SAAAAA": 5}
    refined, st = refine_clusters(counts, {"AAAAAT": "AAAAAA"}, 0.9, 1)
    assert refined == {a: "AAAAAA" for a in counts}
    assert st == stats(1, 0, 0, 1, 2, 1)


def chained(counts, mapping, threshold, passes, **kwargs):
    """One pass at a time, each from the mapping the last one returned: nothing carried between passes."""
    for _ in range(passes):
        mapping = refine_clusters(counts, mapping, threshold, 1, **kwargs)[0]
    return mapping


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("seed, letters", [(3, "ASTVILKRDEG"), (4, "AAAASTLLVVIKRDEx")])
def test_passes_in_one_call_equal_passes_one_call_each(seed, letters, threads):
    # The merge of a later pass skips judgements an earlier one made; chaining single passes makes them all.
    rng = random.Random(seed)
    counts = {"".join(rng.choice(letters) for _ in range(9)): rng.choice([1, 1, 1, 2, 3, 8, 40]) for _ in range(3000)}
    mapping = cluster_anchors(counts, 0.55, [1, 8])[0]
    kwargs = {"anchor_positions": [1, 8], "threads": threads}
    refined, stats = refine_clusters(counts, mapping, 0.55, 4, **kwargs)
    assert refined == chained(counts, mapping, 0.55, stats["passes"], **kwargs)
    assert stats["merges"] > 0 and stats["medoid_changes"] > 0
