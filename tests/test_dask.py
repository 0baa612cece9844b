"""kelvara.dask on a local cluster of two worker processes: mapping, order and counters equal to one
cluster_anchors call on the dict built from the same rows in order, and the same errors for bad input."""

import os
import random

import pytest

pytest.importorskip("dask.dataframe", reason="the dask extra is not installed")
pytest.importorskip("distributed", reason="the dask extra is not installed")
pytest.importorskip("pyarrow", reason="the dask extra is not installed")

import dask  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import kelvara  # noqa: E402
import kelvara.dask as kdask  # noqa: E402

DATA = os.environ.get("KELVARA_DATA") or os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")


@pytest.fixture(scope="module", autouse=True)
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with Client(cluster) as client:
            yield client


def frame(anchors, counts, partitions=3, count_dtype=None):
    pdf = pd.DataFrame({"anchor": pd.Series(anchors, dtype=object), "count": pd.Series(counts, dtype=count_dtype)})
    return dd.from_pandas(pdf, npartitions=partitions, sort=False)


def one_call(df, threshold, duplicates="last", **kwargs):
    """What a single call gives for the dict built from the frame's rows in order, as rows (row of the first
    occurrence, anchor, last or summed count, centroid) in the order of its mapping, and the two counters."""
    rows = df.compute()
    counts, first = {}, {}
    for row, (anchor, count) in enumerate(zip(rows["anchor"].tolist(), rows["count"].tolist())):
        counts[anchor] = count + (counts.get(anchor, 0) if duplicates == "sum" else 0)
        first.setdefault(anchor, row)
    mapping, n_comparisons, n_early_exits = kelvara.cluster_anchors(counts, threshold, **kwargs)
    return [(first[a], a, counts[a], c) for a, c in mapping.items()], n_comparisons, n_early_exits


def on_dask(df, threshold, **kwargs):
    result, n_comparisons, n_early_exits = kdask.cluster_anchors(df, threshold, **kwargs)
    return as_rows(result.compute()), n_comparisons, n_early_exits


def as_rows(result):
    assert list(result.columns) == ["anchor", "count", "centroid"] and result.index.name == "row"
    result = result.reset_index().sort_values(["count", "row"], ascending=[False, True])
    return list(zip(result["row"].tolist(), result["anchor"], result["count"].tolist(), result["centroid"]))


def generated(n, seed, length=9):
    """Anchors over four residue groups, so that 4 to 6 anchor positions make hundreds to thousands of
    blocks of similar anchors; equal counts everywhere, repeated anchors and two-byte characters."""
    rng = random.Random(seed)
    anchors = ["".join(rng.choices("ASTVILKRDE", k=length)) for _ in range(n)]
    anchors += [rng.choice("ÉÅ") + a[2:] for a in rng.sample(anchors, n // 20)]  # same UTF-8 length
    anchors += rng.sample(anchors, n // 10)  # given again, later and with another count
    return anchors, [rng.choice([1, 1, 1, 2, 3, 40]) for _ in anchors]


# --- results equal to one call ------------------------------------------------------------------------


@pytest.mark.parametrize("name, positions", [
    ("proteome_9mers_100k.tsv.gz", [1, 8]),
    ("ligandome_9mers_100k.tsv.gz", [1, 4, 6, 8]),
])
def test_shared_sets(name, positions):
    path = os.path.join(DATA, name)
    if not os.path.exists(path):
        pytest.skip(f"{path} not found; set KELVARA_DATA to the directory of the shared data sets")
    df = kdask.read_anchor_counts(path)
    rows = df.compute()
    df = dd.from_pandas(rows, npartitions=5, sort=False)
    assert on_dask(df, 0.7, anchor_positions=positions) == one_call(df, 0.7, anchor_positions=positions)


@pytest.mark.parametrize("positions, count_dtype, npartitions, duplicates", [
    ([0, 3, 5, 8], "int64", None, "last"),
    ([1, 2, 4, 6, 8], "uint64", 3, "last"),
    ([0, 1, 3, 5, 7, 8], "uint64", 1, "sum"),
    ([1, 4, 6, 8], "object", 7, "last"),
    ([1, 4, 6, 8], "int64", None, "sum"),
])
def test_generated_many_blocks(positions, count_dtype, npartitions, duplicates):
    anchors, counts = generated(20_000, seed=len(positions))
    if count_dtype == "uint64":
        # Beyond int64, and first in processing order; summed, it stays within 2**64 - 1.
        counts[len(counts) // 2] = 2**64 - 1 - 40 * (duplicates == "sum")
    with dask.config.set({"dataframe.convert-string": False}):  # keeps an object column of ints as it is
        df = frame(anchors, counts, partitions=6, count_dtype=count_dtype)
    expected = one_call(df, 0.6, duplicates, anchor_positions=positions, anchor_weight=3.0)
    got = on_dask(df, 0.6, anchor_positions=positions, anchor_weight=3.0, npartitions=npartitions,
                  duplicates=duplicates)
    assert expected[1] > 0 and len(set(c for *_, c in expected[0])) < len(expected[0])  # anchors did join
    assert got == expected


def test_empty_input_checks_no_positions():
    df = frame([], [], partitions=1, count_dtype="int64")
    assert on_dask(df, 0.5, anchor_positions=[]) == ([], 0, 0)


def _read_tsv(path):
    return pd.read_csv(path, sep="\t", header=None, names=["anchor", "count"])


def test_parquet_output(tmp_path):
    anchors, counts = generated(3_000, seed=3)
    tsv = str(tmp_path / "in.tsv")
    with open(tsv, "w", encoding="utf-8") as f:
        f.writelines(f"{a}\t{c}\n" for a, c in zip(anchors, counts))
    out = tmp_path / "out"
    for positions, overwrite in [([1, 4, 6, 8], False), ([1, 2, 4, 6, 8], True)]:
        totals = kdask.cluster_to_parquet(tsv, out, 0.6, positions, overwrite=overwrite)
        expected, n_comparisons, n_early_exits = one_call(kdask.read_anchor_counts(tsv), 0.6,
                                                          anchor_positions=positions)
        assert as_rows(dd.read_parquet(out).compute()) == expected
        assert totals == {"anchors": len(set(anchors)), "clusters": len({c for *_, c in expected}),
                          "n_comparisons": n_comparisons, "n_early_exits": n_early_exits}
    with pytest.raises(FileExistsError):
        kdask.cluster_to_parquet(tsv, out, 0.6, positions)

    # Failing runs, while tasks may have written files, leave the old output as it was and nothing beside.
    before = sorted(os.listdir(out))
    with pytest.raises(ValueError, match="anchor position 9 is out of range"):
        kdask.cluster_to_parquet(tsv, out, 0.6, [9], overwrite=True)
    half_there = dd.from_map(_read_tsv, [tsv, str(tmp_path / "gone.tsv")], meta=_read_tsv(tsv).iloc[:0])
    with pytest.raises(FileNotFoundError):
        kdask.cluster_to_parquet(half_there, out, 0.6, positions, overwrite=True)
    assert sorted(os.listdir(tmp_path)) == ["in.tsv", "out"]
    assert sorted(os.listdir(out)) == before


# --- the same errors as one call ------------------------------------------------------------------------


def same_error(df, *args, **kwargs):
    with pytest.raises(Exception) as single:
        one_call(df, *args, **kwargs)
    with pytest.raises(Exception) as distributed:
        on_dask(df, *args, **kwargs)
    assert (type(distributed.value), str(distributed.value)) == (type(single.value), str(single.value))


ABC = ["ACDEFG", "CCDEFG", "DCDEFG"]


@pytest.mark.parametrize("anchors, counts, count_dtype, kwargs", [
    (["ACDEFG", "ACDEFG", "ACDEFG", "ACD", "AC", "ACDEFG"], [1] * 6, None, {}),  # inside partition 1
    (["ACDEFG"] * 4 + ["ACD", "ACDEFG"], [1] * 6, None, {}),  # the first anchor of partition 2
    (["", "ACD", "ACDEFG"], [1] * 3, None, {}),
    (["ACDEFG", "ACDEFG", "ACDEFÉ"], [1] * 3, None, {}),  # lengths are UTF-8 bytes
    (["ACDEFG", "ACD"] + ABC + ["ECDEFG"], [1, 1, 1, 1, 1, -3], "int64", {}),  # counts before lengths
    (["BCDEFG", None] + ABC + ["ECDEFG"], [-1, 1, 1, 1, 1, 1], "int64", {}),  # in input order, count first
    (ABC, [1, None, 2], "Int64", {}),
    (ABC, [1, 2, 2**64], "object", {}),
    (ABC, [1, 2.5, 2], "object", {}),
    (["ACDEFG", None, 7], [1, 1, 1], None, {}),
    (["ACDEFG", "CCDEFG", b"DCDEFG"], [1, 1, 1], None, {}),
    (ABC, [1] * 3, None, {"anchor_positions": [2, 6]}),
    ([a + "HIK" for a in ABC], [1] * 3, None, {"anchor_positions": range(9)}),
])
def test_data_errors(anchors, counts, count_dtype, kwargs):
    with dask.config.set({"dataframe.convert-string": False}):
        df = frame(anchors, counts, count_dtype=count_dtype)
    same_error(df, 0.5, **kwargs)


@pytest.mark.parametrize("counts, fits", [([2**63, 1, 2**63 - 1], True), ([2**63, 1, 2**63], False)])
def test_summed_counts_fit_in_64_bits_or_fail(counts, fits):
    df = frame(["ACDEFG", "CCDEFG", "ACDEFG"], counts, partitions=2, count_dtype="uint64")
    if fits:
        assert on_dask(df, 0.5, duplicates="sum") == one_call(df, 0.5, "sum")
        assert on_dask(df, 0.5, duplicates="sum")[0][0] == (0, "ACDEFG", 2**64 - 1, "ACDEFG")
    else:
        with pytest.raises(OverflowError, match="^the counts of ACDEFG add up to more than 2\\*\\*64 - 1$"):
            kdask.cluster_anchors(df, 0.5, duplicates="sum")


def test_every_rows_count_is_checked():
    # Stricter than a dict, which would forget the count that the anchor's later row replaces.
    df = frame(["ACDEFG", "CCDEFG", "ACDEFG"], [-1, 1, 2], count_dtype="int64")
    assert one_call(df, 0.5)[0] == [(0, "ACDEFG", 2, "ACDEFG"), (1, "CCDEFG", 1, "ACDEFG")]
    with pytest.raises(OverflowError, match="can't convert negative int to unsigned"):
        kdask.cluster_anchors(df, 0.5)


def _never_read(_):
    raise AssertionError("a task ran")


@pytest.mark.parametrize("meta, args, kwargs, exc, message", [
    ({"anchor": "str", "n": "int64"}, (0.5,), {}, ValueError, "frame has no column 'count'"),
    ({"anchor": "str", "count": "float64"}, (0.5,), {}, TypeError,
     "'float' object cannot be interpreted as an integer"),
    ({"anchor": "str", "count": "str"}, (0.5,), {}, TypeError, "'str' object cannot be interpreted as an integer"),
    ({"anchor": "int64", "count": "int64"}, (0.5,), {}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"anchor": "str", "count": "int64"}, ("x",), {}, TypeError, "argument 'threshold': must be real number"),
    ({"anchor": "str", "count": "int64"}, (0.5, "15"), {}, TypeError, "argument 'anchor_positions': Can't extract"),
    ({"anchor": "str", "count": "int64"}, (0.5, [-1]), {}, OverflowError, "can't convert negative int to unsigned"),
    ({"anchor": "str", "count": "int64"}, (0.5,), {"npartitions": 0}, ValueError, "npartitions must be at least 1"),
    ({"anchor": "str", "count": "int64"}, (0.5,), {"duplicates": "first"}, ValueError,
     "duplicates must be 'last' or 'sum', got 'first'"),
])
def test_cheap_checks_run_before_any_task(meta, args, kwargs, exc, message):
    meta = pd.DataFrame({name: pd.Series([], dtype=dtype) for name, dtype in meta.items()})
    df = dd.from_map(_never_read, range(3), meta=meta, enforce_metadata=False)
    with pytest.raises(exc) as error:
        kdask.cluster_anchors(df, *args, **kwargs)
    assert str(error.value).startswith(message)
    if "argument" in message or "negative" in message:  # worded as a single call words it
        with pytest.raises(exc) as single:
            kelvara.cluster_anchors({}, *args)
        assert str(error.value) == str(single.value)
