"""The private entries on packed anchors, which kelvara.dask calls per block: the same clustering, counters,
block keys and errors as cluster_anchors and _block_keys on the same anchors as a dict and a list."""

import math

import numpy as np
import pytest
from hypothesis import given
from test_model_agreement import AGREEMENT, THRESHOLDS, anchor_case

import kelvara._core as core


def packed(anchors):
    return "".join(anchors).encode(), len(anchors[0].encode()) if anchors else 0


def as_u64(values):
    return np.array(values, dtype=np.uint64).tobytes()


def on_table(counts, threshold, positions, weight):
    """_cluster_table on the dict's anchors in its order, as (the mapping it gives, the two counters)."""
    anchors = list(counts)
    rows, n_comparisons, n_early_exits = core._cluster_table(*packed(anchors), as_u64(list(counts.values())),
                                                             threshold, positions, weight)
    centroids = [anchors[row] for row in np.frombuffer(rows, dtype=np.uint64).tolist()]
    return dict(zip(anchors, centroids)), n_comparisons, n_early_exits


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except (ValueError, OverflowError, TypeError) as exc:
        return type(exc).__name__, str(exc)


@AGREEMENT
@given(case=anchor_case(), threshold=THRESHOLDS)
def test_packed_anchors_cluster_as_the_dict(case, threshold):
    counts, positions, weight = case
    single = outcome(core.cluster_anchors, counts, threshold, positions, weight)
    if single[0] == "ok":
        # The mapping is keyed by anchor: its order is the single call's processing order.
        single = ("ok", (dict(single[1][0]), *single[1][1:]))
    assert outcome(on_table, counts, threshold, positions, weight) == single


@AGREEMENT
@given(case=anchor_case())
def test_packed_block_keys_are_those_of_the_list(case):
    counts, positions, _ = case
    anchors = list(counts)
    assert outcome(core._block_keys_table, *packed(anchors), positions) == outcome(core._block_keys, anchors,
                                                                                   positions)


def test_rows_stand_for_the_dicts_order_and_counts_for_its_values():
    # Equal counts keep the given order, so the first of three similar anchors is their centroid.
    anchors, counts = ["ACDEFG", "GGGGGG", "CCDEFG", "ACDEFH"], [3, 2**64 - 1, 3, 3]
    rows, n_comparisons, _ = core._cluster_table(*packed(anchors), as_u64(counts), 0.5, [1, 2])
    assert np.frombuffer(rows, dtype=np.uint64).tolist() == [0, 1, 0, 0]
    mapping, single_comparisons, _ = core.cluster_anchors(dict(zip(anchors, counts)), 0.5, [1, 2])
    assert list(mapping.values()) == ["GGGGGG", "ACDEFG", "ACDEFG", "ACDEFG"] and n_comparisons == single_comparisons


@pytest.mark.parametrize("args, error, message", [
    ((b"ACDEFG", 6, as_u64([1]), 0.5, [9]), ValueError, "anchor position 9 is out of range for anchor length 6"),
    ((b"ACDEFG", 6, as_u64([1]), 0.5, []), ValueError, "anchor_positions must contain at least one position"),
    ((b"ACDEFGHIK", 9, as_u64([1]), 0.5, range(9)), ValueError, "at most 8 anchor positions are supported, got 9"),
    ((b"ACDEFG", 6, as_u64([1]), 0.5, [-1]), OverflowError, "can't convert negative int to unsigned"),
    ((b"ACDEFG", 6, as_u64([1]), 0.5, "15"), TypeError, "argument 'anchor_positions': Can't extract `str` to `Vec`"),
    ((b"ACDEFG", 6, as_u64([1]), "x"), TypeError, "argument 'threshold': must be real number, not str"),
    (("ACDEFG", 6, as_u64([1]), 0.5), TypeError, "argument 'anchors': 'str' object cannot be converted to 'PyBytes'"),
    ((b"ACDEFG", 6, [1], 0.5), TypeError, "argument 'counts': 'list' object cannot be converted to 'PyBytes'"),
    ((b"ACDEFG", -6, as_u64([1]), 0.5), OverflowError, "can't convert negative int to unsigned"),
    ((b"ACDEFG", 0, as_u64([1]), 0.5), ValueError, "anchors must be non-empty"),
    ((b"ACDEFGH", 6, as_u64([1]), 0.5), ValueError, "anchors hold 7 bytes, not a whole number of anchors of 6"),
    ((b"ACDEFG", 6, as_u64([1, 2]), 0.5), ValueError, "counts hold 16 bytes, not 8 for each of 1 anchors"),
    ((b"ACDEFG", 6, as_u64([1])), TypeError, "_cluster_table() missing 1 required positional argument: 'threshold'"),
])
def test_errors(args, error, message):
    with pytest.raises(error) as raised:
        core._cluster_table(*args)
    assert str(raised.value) == message


@pytest.mark.parametrize("positions", [[], [99], [1, 5]])
def test_no_anchors_check_no_positions(positions):
    assert core._cluster_table(b"", 6, b"", math.nan, positions) == (b"", 0, 0)
    assert core._block_keys_table(b"", 6, positions) == b""
