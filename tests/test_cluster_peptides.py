"""kelvara.cluster_peptides: every kind of input a notebook or pipeline holds gives the command line's table,
row by row, and the result is read back by the Arrow consumers through its capsule."""

import csv
import inspect
import json
import os
import random
import subprocess
import sys

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import kelvara
from kelvara import _core

KELVARA = os.path.join(os.path.dirname(sys.executable), "kelvara")
AMINO_ACIDS = "ARNDCQEGHILKMFPSTWYV"
COLUMNS = ["peptide", "length", "count", "cluster", "centroid", "similarity", "cluster_members", "cluster_count"]


def untidy_rows(n, seed):
    """(text, count) rows as users hold them: families of point variants of mixed lengths, some too short
    for the default positions, repeats, lower case and padding; counts skewed, some 0."""
    rng = random.Random(seed)
    rows = []
    while len(rows) < n:
        length = rng.choice([1, 7, 8, 9, 9, 9, 10, 11])
        base = rng.choices(AMINO_ACIDS, k=length)
        for _ in range(rng.randint(1, 5)):
            variant = base[:]
            for i in rng.sample(range(length), min(length, rng.randint(0, 2))):
                variant[i] = rng.choice(AMINO_ACIDS)
            rows.append(("".join(variant), int(rng.paretovariate(1.3)) - 1))
    for k in rng.sample(range(len(rows)), n // 10):  # repeats of earlier peptides
        rows.append((rows[k][0], rng.randint(0, 3)))
    out = []
    for text, count in rows:
        if rng.random() < 0.1:
            text = text.lower()
        if rng.random() < 0.05:
            text = f"  {text} "
        out.append((text, count))
    return out


def run_cli(tmp_path, rows, *options, counts=True):
    path = tmp_path / "in.txt"
    with open(path, "w") as f:
        f.writelines(f"{t}\t{c}\n" if counts else f"{t}\n" for t, c in rows)
    out, summary = tmp_path / "out.tsv", tmp_path / "summary.json"
    done = subprocess.run([KELVARA, "cluster", str(path), "-o", str(out), "-q", "--summary-json", str(summary),
                           *map(str, options)], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    with open(out, newline="") as f:
        table = list(csv.reader(f, delimiter="\t"))
    assert table[0] == COLUMNS
    return [tuple(r) for r in table[1:]], json.loads(summary.read_text())


def as_text(result):
    """The result's rows as the command line writes them."""
    table = pa.table(result)
    assert table.column_names == COLUMNS
    columns = [table.column(c).to_pylist() for c in COLUMNS]
    return [(p, str(n), str(c), str(k), z, repr(s), str(m), str(t)) for p, n, c, k, z, s, m, t in zip(*columns)]


@pytest.fixture(scope="module")
def rows():
    return untidy_rows(2500, seed=11)


@pytest.fixture(scope="module")
def cli_counted(rows, tmp_path_factory):
    return run_cli(tmp_path_factory.mktemp("counted"), rows)


@pytest.fixture(scope="module")
def cli_once(rows, tmp_path_factory):
    return run_cli(tmp_path_factory.mktemp("once"), rows, counts=False)


def chunked(values, type_, cuts):
    """A chunked array of the values cut at the given rows."""
    edges = [0, *cuts, len(values)]
    return pa.chunked_array([pa.array(values[a:b], type_) for a, b in zip(edges, edges[1:])], type_)


def sliced(values, type_, pad):
    """An array of the values that is a slice with an offset of a longer one, padded with bad rows."""
    return pa.array([pad] * 7 + values + [pad] * 3, type_).slice(7, len(values))


def as_dict(rows):
    out = {}
    for text, count in rows:
        out[text] = out.get(text, 0) + count
    return out


def texts(rows):
    return [t for t, _ in rows]


def numbers(rows):
    return [c for _, c in rows]


COUNTED = {
    "list and list": lambda r: (texts(r), numbers(r), {}),
    "tuple and generator": lambda r: (tuple(texts(r)), (c for c in numbers(r)), {}),
    "numpy str and numpy uint64": lambda r: (np.array(texts(r)), np.array(numbers(r), np.uint64), {}),
    "numpy object and numpy int64": lambda r: (np.array(texts(r), object), np.array(numbers(r), np.int64), {}),
    "dict": lambda r: (as_dict(r), None, {}),
    "pyarrow table": lambda r: (pa.table({"id": range(len(r)), "peptide": texts(r), "count": numbers(r)}), None, {}),
    "pyarrow table chunked, named columns": lambda r: (
        pa.Table.from_batches(pa.table({"Seq": texts(r), "n": pa.array(numbers(r), pa.uint32())})
                              .to_batches(max_chunksize=333)), "n", {"column": "Seq"}),
    "pyarrow record batch": lambda r: (pa.record_batch({"Sequence": texts(r), "COUNT": numbers(r)}), None, {}),
    "pyarrow sliced table": lambda r: (
        pa.table({"anchor": ["X1"] * 5 + texts(r) + ["X1"], "count": [-1] * 5 + numbers(r) + [-1]})
        .slice(5, len(r)), None, {}),
    "pyarrow string and chunked counts": lambda r: (pa.array(texts(r)), chunked(numbers(r), pa.int64(), [1, 700]), {}),
    "pyarrow large string chunked": lambda r: (chunked(texts(r), pa.large_string(), [0, 5, 1200]),
                                               pa.array(numbers(r), pa.uint64()), {}),
    "pyarrow string view": lambda r: (pa.array(texts(r), pa.string_view()), pa.array(numbers(r), pa.uint16()), {}),
    "pyarrow sliced string and sliced counts": lambda r: (sliced(texts(r), pa.string(), None),
                                                          sliced(numbers(r), pa.int64(), None), {}),
    "pyarrow dictionary": lambda r: (pa.array(texts(r)).dictionary_encode(), numbers(r), {}),
    "polars frame": lambda r: (pl.DataFrame({"Peptide": texts(r), "count": numbers(r)}), None, {}),
    "polars frame of chunks": lambda r: (pl.concat([pl.DataFrame({"peptide": texts(r)[:900], "c": numbers(r)[:900]}),
                                                    pl.DataFrame({"peptide": texts(r)[900:], "c": numbers(r)[900:]})],
                                                   rechunk=False), "c", {}),
    "polars series": lambda r: (pl.Series(texts(r)), pl.Series(numbers(r), dtype=pl.UInt64), {}),
    "polars categorical": lambda r: (pl.Series(texts(r), dtype=pl.Categorical), pl.Series(numbers(r)), {}),
    "pandas frame": lambda r: (pd.DataFrame({"sequence": texts(r), "count": numbers(r)}), None, {}),
    "pandas series": lambda r: (pd.Series(texts(r)), pd.Series(numbers(r)), {}),
}


@pytest.mark.parametrize("kind", COUNTED)
def test_every_input_kind_gives_the_command_lines_table(rows, cli_counted, kind):
    peptides, counts, keywords = COUNTED[kind](rows)
    result = kelvara.cluster_peptides(peptides, counts, **keywords)
    expected, summary = cli_counted
    assert as_text(result) == expected
    assert len(result) == len(expected)
    assert result.summary["parameters"] == summary["parameters"]
    # A dict holds each text once: fewer records, the same peptides.
    records = len(peptides) if kind == "dict" else len(rows)
    assert result.summary["peptides"] == {**summary["peptides"], "records": records}
    strip = lambda lengths: [{k: v for k, v in r.items() if k != "seconds"} for r in lengths]  # noqa: E731
    assert strip(result.summary["lengths"]) == strip(summary["lengths"])


ONCE = {
    "list": lambda r: texts(r),
    "generator": lambda r: (t for t in texts(r)),
    "numpy str": lambda r: np.array(texts(r)),
    "pyarrow table without counts": lambda r: pa.table({"peptide": texts(r), "score": [0.5] * len(r)}),
    "pyarrow chunked string": lambda r: chunked(texts(r), pa.string(), [1, 2, 3, 2000]),
    "polars series": lambda r: pl.Series("x", texts(r)),
    "pandas series": lambda r: pd.Series(texts(r)),
}


@pytest.mark.parametrize("kind", ONCE)
def test_rows_without_counts_count_once_each(rows, cli_once, kind):
    assert as_text(kelvara.cluster_peptides(ONCE[kind](rows))) == cli_once[0]


OPTION_SETS = {
    "threshold and weight": ({"threshold": 0.55, "weight": 3.0}, ["--threshold", "0.55", "--weight", "3"]),
    "positions and length": ({"positions": [0, 2, -2], "length": 9}, ["--positions", "0,2,-2", "--length", "9"]),
    "block search": ({"block_search": True, "max_probes": 3, "min_block_bound": 0.72},
                     ["--block-search", "--max-probes", "3", "--min-block-bound", "0.72"]),
    "refine": ({"refine": 3, "threads": 1}, ["--refine", "3", "--threads", "1"]),
    "refine with options": ({"refine": 2, "cap": 4, "merge": False, "fast_medoid": True, "threads": 2},
                            ["--refine", "2", "--cap", "4", "--no-merge", "--fast-medoid", "--threads", "2"]),
    "refine with merge cap": ({"refine": 2, "threshold": 0.6, "merge_cap": 2},
                              ["--refine", "2", "--threshold", "0.6", "--merge-cap", "2"]),
}


@pytest.mark.parametrize("name", OPTION_SETS)
def test_options_give_the_command_lines_table(tmp_path, rows, name):
    keywords, options = OPTION_SETS[name]
    expected, summary = run_cli(tmp_path, rows, *options)
    frame = pl.DataFrame({"peptide": texts(rows), "count": numbers(rows)})
    result = kelvara.cluster_peptides(frame, **keywords)
    assert as_text(result) == expected
    assert result.summary["parameters"] == summary["parameters"]
    assert [r["refinement"] for r in result.summary["lengths"]] == [r["refinement"] for r in summary["lengths"]]


def test_the_table_is_that_of_cluster_anchors_and_refine_clusters():
    rng = random.Random(5)
    counts = {"".join(rng.choices(AMINO_ACIDS[:8], k=9)): rng.randint(0, 9) for _ in range(3000)}
    mapping, _, _ = kelvara.cluster_anchors(counts, 0.7, [1, 8])
    refined, _ = kelvara.refine_clusters(counts, mapping, 0.7, 2, anchor_positions=[1, 8])
    for got, want in ((kelvara.cluster_peptides(counts, positions=(1, -1)), mapping),
                      (kelvara.cluster_peptides(list(counts), list(counts.values()), refine=2), refined)):
        table = pa.table(got)
        assert dict(zip(table["peptide"].to_pylist(), table["centroid"].to_pylist())) == want


# ---- what the readers' rules make of rows ----------------------------------------------------------------

def test_peptides_are_read_as_the_command_line_reads_them():
    result = pa.table(kelvara.cluster_peptides([" slyntvatl\u00a0", "SLYNTVATL", "GILGFVFTL"], [2, 3, 4]))
    assert sorted(zip(result["peptide"].to_pylist(), result["count"].to_pylist())) == [
        ("GILGFVFTL", 4), ("SLYNTVATL", 5)]


def test_counts_of_a_peptide_may_add_up_past_64_bits_only_within_a_cluster():
    big = 2**64 - 1
    with pytest.raises(ValueError, match=r"^the counts of SLYNTVATL add up to more than 2\*\*64 - 1$"):
        kelvara.cluster_peptides(["SLYNTVATL", "slyntvatl"], [big, 1])
    # Similarity -1 puts every peptide of a length in one cluster, whose summed count passes 2**64 - 1.
    result = kelvara.cluster_peptides(["SLYNTVATL", "GILGFVFTL", "NLVPMVATV"], [big, big, 3], threshold=-1.0)
    table = pa.table(result)
    assert table.schema.field("cluster_count").type == pa.decimal128(38, 0)
    assert [int(v) for v in table["cluster_count"].to_pylist()] == [2 * big + 3] * 3
    assert pl.DataFrame(result)["cluster_count"].cast(pl.String).to_list() == [str(2 * big + 3)] * 3


@pytest.mark.parametrize("type_", [pa.int8(), pa.uint8(), pa.int16(), pa.uint16(), pa.int32(), pa.uint32(),
                                   pa.int64(), pa.uint64()])
def test_counts_of_every_integer_type(type_):
    values = [0, 1, 100, 127]
    result = pa.table(kelvara.cluster_peptides(["AAAAAAAAA", "CCCCCCCCC", "DDDDDDDDD", "EEEEEEEEE"],
                                               pa.array(values, type_)))
    assert dict(zip(result["peptide"].to_pylist(), result["count"].to_pylist())) == {
        "AAAAAAAAA": 0, "CCCCCCCCC": 1, "DDDDDDDDD": 100, "EEEEEEEEE": 127}


def test_largest_counts_pass_unchanged():
    big = 2**64 - 1
    for counts in ([big, 0], pa.array([big, 0], pa.uint64()), np.array([big, 0], np.uint64)):
        assert pa.table(kelvara.cluster_peptides(["AAAAAAAAA", "CCCCCCCCC"], counts))["count"].to_pylist() == [big, 0]


BAD_INPUTS = [
    # (peptides, counts, keywords, error, message)
    (["SLYNTVATL", "X1"], None, {}, ValueError, r"^row 1: 'X1' is not a peptide \(letters only\)$"),
    (["SLYNTVATL", " \t"], None, {}, ValueError, r"^row 1: empty peptide$"),
    (["SLYNTVATL", "ÄÖÜ"], None, {}, ValueError, r"^row 1: 'ÄÖÜ' is not a peptide"),
    (["S" * 90 + "1"], None, {}, ValueError, r"^row 0: 'SSSS.*'\.\.\. \(91 bytes\) is not a peptide"),
    (["SLYNTVATL", 5], None, {}, TypeError, r"^row 1: 5 \(int\) is not a str$"),
    (["SLYNTVATL", None], None, {}, TypeError, r"^row 1: None \(NoneType\) is not a str$"),
    ({"SLYNTVATL": 1, "GILGFVFTL": -2}, None, {}, ValueError, r"^row 1: count -2 is not a non-negative integer$"),
    ({"SLYNTVATL": 1.5}, None, {}, TypeError, r"^row 0: count 1\.5 \(float\) is not an integer$"),
    ({"SLYNTVATL": 2**64}, None, {}, ValueError, r"^row 0: count 18446744073709551616 is larger than 2\*\*64 - 1$"),
    ({"SLYNTVATL": 1, 7: 1}, None, {}, TypeError, r"^row 1: 7 \(int\) is not a str$"),
    (["A" * 9] * 3, [1, 2, "3"], {}, TypeError, r"^counts: row 2: count '3' \(str\) is not an integer$"),
    (["A" * 9] * 3, [1, 2], {}, ValueError, r"^counts holds fewer values \(2\) than there are peptides$"),
    (["A" * 9] * 2, [1, 2, 3], {}, ValueError, r"^counts holds 3 values for 2 peptides$"),
    (pa.array(["A" * 9] * 2), pa.array([1, -1]), {}, ValueError, r"^counts: row 1: count -1 is not"),
    (pa.array(["A" * 9] * 2), pa.array([1, None]), {}, ValueError, r"^counts: row 1: no count \(null\)$"),
    (pa.array(["A" * 9] * 2), pa.array([1.0, 2.0]), {}, TypeError, r"^counts are double, not integers$"),
    (pa.array([1, 2]), None, {}, TypeError, r"^peptides are int64, not strings$"),
    (pa.array([b"AAA"]), None, {}, TypeError, r"^peptides are binary, not strings$"),
    (pa.chunked_array([["AAA", "CCC"], ["DDD", None]]), None, {}, ValueError, r"^row 3: no peptide \(null\)$"),
    (pa.chunked_array([["AAA"], [], ["DDD", "E2"]]), None, {}, ValueError, r"^row 2: 'E2' is not a peptide"),
    (pa.table({"peptide": ["AAA", "CCC"], "count": [1, None]}), None, {}, ValueError, r"^row 1: no count \(null\)$"),
    (pa.table({"peptide": ["AAA", "CCC"], "count": [1, -5]}), None, {}, ValueError,
     r"^row 1: count -5 is not a non-negative integer$"),
    (pa.table({"peptide": ["AAA", "C1"], "count": [1, -5]}), None, {}, ValueError, r"^row 1: 'C1' is not a peptide"),
    (pa.table({"peptide": ["AAA"], "count": ["1"]}), None, {}, TypeError,
     r"^the count column 'count' is string, not integers$"),
    (pa.table({"peptide": [1]}), None, {}, TypeError, r"^the peptide column 'peptide' is int64, not strings$"),
    (pa.table({"x": ["AAA"], "y": ["CCC"]}), None, {}, ValueError,
     r"^the table has no column named peptide, sequence or anchor \(columns: 'x', 'y'\); name it with column=$"),
    (pa.table({"Peptide": ["AAA"], "PEPTIDE": ["CCC"]}), None, {}, ValueError,
     r"^the table has columns 'Peptide' and 'PEPTIDE'; name the one to read$"),
    (pa.table({"peptide": ["AAA"]}), None, {"column": "seq"}, ValueError,
     r"^the table has no column 'seq' \(columns: 'peptide'\)$"),
    (pa.table({"peptide": ["AAA"]}), "n", {}, ValueError, r"^the table has no column 'n' \(columns: 'peptide'\)$"),
    (pa.array(["AAA"]), None, {"column": "peptide"}, ValueError,
     r"^column='peptide' names a table's column, and the peptides are a single column$"),
    (["AAA"], "count", {}, ValueError, r"^counts='count' names a table's column, and the peptides are a single column$"),
    ({"AAA": 1}, [1], {}, TypeError, r"^counts must be None when the peptides are a dict"),
    (["AAA"], {"AAA": 1}, {}, TypeError, r"^counts must be a column or sequence of integers, not a dict$"),
    ("SLYNTVATL", None, {}, TypeError, r"^peptides must be a column or sequence of them, not one str$"),
    (42, None, {}, TypeError, r"^peptides must be an Arrow column or table, a sequence or a dict, not int$"),
    (np.array([["AAA"]]), None, {}, TypeError, r"^peptides must be a one-dimensional array"),
    (pd.Series(["AAA", 5, "CCC"]), None, {}, TypeError, r"^row 1: 5 \(int\) is not a str$"),
    (pd.Series(["AAA", None, "CCC"], dtype="str"), None, {}, ValueError, r"^row 1: no peptide \(null\)$"),
    (pl.Series(["AAA", None]), None, {}, ValueError, r"^row 1: no peptide \(null\)$"),
    (["A", "C"], None, {}, ValueError, r"^no peptides of length 2 or more, which positions 1,-1 need$"),
    (["AAAA"], None, {"length": 9}, ValueError, r"^no peptides of length 9 in the input \(lengths: 4\)$"),
]


@pytest.mark.parametrize("peptides, counts, keywords, error, message", BAD_INPUTS)
def test_bad_input_is_refused_naming_its_row(peptides, counts, keywords, error, message):
    with pytest.raises(error, match=message):
        kelvara.cluster_peptides(peptides, counts, **keywords)


BAD_OPTIONS = [
    ({"threshold": 70}, ValueError, r"^threshold=70 is above 1, the similarity of a peptide to itself; did you mean 0\.70\?$"),
    ({"threshold": -2}, ValueError, r"^threshold=-2 is outside -1 to 1"),
    ({"threshold": float("nan")}, ValueError, r"^threshold=nan is not a finite number$"),
    ({"threshold": "0.7"}, TypeError, r"^threshold must be a number, not str$"),
    ({"positions": [1] * 9 + list(range(2, 10))}, ValueError, r"^positions must hold 1 to 8 positions$"),
    ({"positions": []}, ValueError, r"^positions must hold 1 to 8 positions$"),
    ({"positions": "1,-1"}, TypeError, r"^positions must be a sequence of integers, not str$"),
    ({"positions": [1.5]}, TypeError, r"^positions must be an integer, not float$"),
    ({"positions": [2**21]}, ValueError, r"^positions=2097152 is not within"),
    ({"length": 0}, ValueError, r"^length=0 is not a positive integer$"),
    ({"length": 3, "positions": (1, 5)}, ValueError, r"^positions \(1, 5\) do not fit length=3"),
    ({"threads": -1}, ValueError, r"^threads=-1 is not a thread count from 0 to 65535$"),
    ({"threads": True}, TypeError, r"^threads must be an integer, not bool$"),
    ({"max_probes": 3}, ValueError, r"^max_probes and min_block_bound need block_search=True$"),
    ({"block_search": 1}, TypeError, r"^block_search must be True or False, not int$"),
    ({"refine": -1}, ValueError, r"^refine=-1 is not a non-negative integer$"),
    ({"weight": float("inf")}, ValueError, r"^weight=inf is not a finite number$"),
    ({"column": 3}, TypeError, r"^column must be a str or None, not int$"),
]


@pytest.mark.parametrize("keywords, error, message", BAD_OPTIONS)
def test_bad_options_are_refused_by_name(keywords, error, message):
    with pytest.raises(error, match=message):
        kelvara.cluster_peptides(["SLYNTVATL"], **keywords)


@pytest.mark.parametrize("empty", [[], (), {}, np.array([], str), pa.array([], pa.string()),
                                   pa.chunked_array([], pa.large_string()), pl.Series([], dtype=pl.String),
                                   pl.DataFrame({"peptide": []}, schema={"peptide": pl.String}),
                                   pa.table({"peptide": pa.array([], pa.string_view())})])
def test_no_peptides_give_an_empty_table(empty):
    result = kelvara.cluster_peptides(empty)
    assert len(result) == 0
    table = pa.table(result)
    assert table.num_rows == 0 and table.column_names == COLUMNS
    frame = pl.DataFrame(result)
    assert frame.height == 0 and frame.columns == COLUMNS
    assert result.summary["lengths"] == [] and result.summary["peptides"]["read"] == 0


# ---- the result ---------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def result(rows):
    return kelvara.cluster_peptides(texts(rows), numbers(rows))


TYPES = {"peptide": pa.string(), "length": pa.uint32(), "count": pa.uint64(), "cluster": pa.uint32(),
         "centroid": pa.string(), "similarity": pa.float64(), "cluster_members": pa.uint32(),
         "cluster_count": pa.uint64()}


def test_every_consumer_reads_the_same_table(result):
    arrow = pa.table(result)
    assert {f.name: f.type for f in arrow.schema} == TYPES
    assert result.to_arrow().equals(arrow)
    assert pa.RecordBatchReader.from_stream(result).read_all().equals(arrow)
    frame = pl.DataFrame(result)
    assert frame.columns == COLUMNS and frame.to_dict(as_series=False) == arrow.to_pydict()
    assert result.to_polars().equals(frame)
    pandas = result.to_pandas()
    assert list(pandas.columns) == COLUMNS
    assert pandas.to_dict("list") == arrow.to_pydict()


def test_duckdb_reads_the_table(result):
    duckdb = pytest.importorskip("duckdb")
    clusters = result  # noqa: F841 (DuckDB finds it by name)
    assert duckdb.sql("select count(*), sum(count) from clusters").fetchall() == [(
        len(result), sum(pa.table(result)["count"].to_pylist()))]
    # A relation as input: the rows in the table's order, clustered again.
    again = kelvara.cluster_peptides(duckdb.sql("select peptide, count from clusters order by cluster, peptide"))
    rows = pa.table(result).sort_by([("cluster", "ascending"), ("peptide", "ascending")]).select(["peptide", "count"])
    assert pa.table(again).equals(pa.table(kelvara.cluster_peptides(rows)))


def test_the_summary_and_repr(result, rows):
    summary = result.summary
    assert summary["kelvara"] == kelvara.__version__
    assert summary["inputs"] == [{"name": "list", "kind": "column", "records": len(rows), "column": None,
                                  "count_column": None}]
    assert summary["peptides"]["kept"] == len(result)
    assert sorted(summary["seconds"]) == ["cluster", "read", "total", "write"]
    lengths = [r["length"] for r in summary["lengths"]]
    clusters = sum(r["clusters"] for r in summary["lengths"])
    assert repr(result) == f"<ClusterTable: {len(result):,} peptides in {clusters:,} clusters, lengths " \
                           f"{lengths[0]}-{lengths[-1]}>"
    assert clusters == len(set(pa.table(result)["cluster"].to_pylist()))


@pytest.mark.parametrize("requested", [
    {"peptide": pa.string_view(), "centroid": pa.large_string()},
    {"length": pa.int64(), "count": pa.int64(), "cluster": pa.int32(), "cluster_members": pa.uint16(),
     "cluster_count": pa.int64()},
    {"similarity": pa.float32()},
])
def test_a_requested_schema_is_honoured(result, requested):
    schema = pa.schema([(name, requested.get(name, TYPES[name])) for name in COLUMNS])
    got = pa.RecordBatchReader.from_stream(result, schema=schema).read_all()
    assert got.schema.names == COLUMNS and got.schema.types == schema.types
    plain = pa.table(result)
    for name in COLUMNS:
        want = plain[name].cast(requested[name]) if name in requested else plain[name]
        assert got[name].to_pylist() == want.to_pylist(), name


def test_long_strings_as_string_views():
    long = "SLYNTVATLGILGFVFTLNLVPMVATV"
    result = kelvara.cluster_peptides([long, long.lower(), "GILGFVFTL"], threshold=-1.0)
    schema = pa.schema([(n, pa.string_view() if n in ("peptide", "centroid") else TYPES[n]) for n in COLUMNS])
    got = pa.RecordBatchReader.from_stream(result, schema=schema).read_all()
    assert got["peptide"].to_pylist() == pa.table(result)["peptide"].to_pylist()
    assert kelvara.cluster_peptides(got.select(["peptide", "count"])).summary["peptides"]["read"] == 2


@pytest.mark.parametrize("schema, message", [
    (pa.schema([("peptide", pa.string())]), r"^the requested schema has the columns \(peptide\), this table"),
    (pa.schema([(n, pa.string() if n == "similarity" else TYPES[n]) for n in COLUMNS]),
     r"^column 'similarity' is double and cannot be given as string$"),
    (pa.schema([(n, pa.int8() if n == "count" else TYPES[n]) for n in COLUMNS]),
     r"^column 'count' holds \d+ \(row \d+\), which does not fit int8$"),
    (pa.schema([(n, pa.dictionary(pa.int32(), pa.string()) if n == "peptide" else TYPES[n]) for n in COLUMNS]),
     r"^column 'peptide' is string and cannot be given as dictionary"),
])
def test_a_schema_that_cannot_hold_the_table_is_refused(result, schema, message):
    with pytest.raises(ValueError, match=message):
        result.__arrow_c_stream__(schema.__arrow_c_schema__())


def test_a_requested_schema_that_is_no_schema_capsule_is_a_type_error(result):
    with pytest.raises(TypeError, match=r"^requested_schema is a 'str', not a PyCapsule named 'arrow_schema'$"):
        result.__arrow_c_stream__("peptide")
    with pytest.raises(TypeError, match="not a PyCapsule named 'arrow_schema'"):
        result.__arrow_c_stream__(result.__arrow_c_stream__())


def test_the_arrow_libraries_are_imported_only_when_asked_for():
    code = ("import sys, kelvara\n"
            "r = kelvara.cluster_peptides(['SLYNTVATL', 'GILGFVFTL'], [2, 1])\n"
            "assert len(r) == 2 and repr(r) and r.summary\n"
            "r.__arrow_c_stream__()\n"
            "print(sorted(m for m in ('pyarrow', 'polars', 'pandas', 'numpy') if m in sys.modules))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


# ---- the package's face -------------------------------------------------------------------------------------

def test_the_signature_shows_the_real_defaults():
    parameters = inspect.signature(kelvara.cluster_peptides).parameters
    defaults = {name: p.default for name, p in parameters.items() if p.default is not inspect.Parameter.empty}
    assert defaults == {"counts": None, "column": None, "threshold": 0.7, "positions": (1, -1), "weight": 2.0,
                        "length": None, "refine": 0, "threads": 0, "block_search": False, "max_probes": 0,
                        "min_block_bound": 0.0, "cap": 32, "merge": True, "fast_medoid": False, "merge_cap": 0}
    assert [n for n, p in parameters.items() if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD] == [
        "peptides", "counts"]
    # Each keyword's default is the command line's own.
    from kelvara.cli.options import build_parser

    cluster = build_parser()._subparsers._group_actions[0].choices["cluster"]
    cli = {a.dest: a.default for a in cluster._actions}
    for name in ("threshold", "weight", "refine", "cap", "max_probes", "min_block_bound", "merge_cap"):
        assert defaults[name] == cli[name], name
    assert list(defaults["positions"]) == cli["positions"]


def test_the_package_exports_it_and_the_core_keeps_its_own():
    assert "cluster_peptides" in kelvara.__all__ and "ClusterTable" in kelvara.__all__
    assert all(hasattr(kelvara, name) for name in kelvara.__all__)
    assert _core.__all__ == ["cluster_anchors", "refine_clusters"]
    assert isinstance(kelvara.__version__, str) and kelvara.__version__
