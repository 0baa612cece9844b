"""Assignment to an existing clustering, against a slow model of its one rule: the greedy first-fit pass with
each block's centroids starting as the reference's, in the reference's order; reference centroids never
compared with each other, and a peptide equal to one joining it at once."""

import array
import json
import os
import random

import pytest

import model
from kelvara import _core, cluster_anchors, refine_clusters
from kelvara.cli import main
from kelvara.io.inputs import read_inputs
from test_cli import AMINO_ACIDS, family_peptides, write_counts

LEVELS = _core._simd()[1]


def assign_model(references, counts, threshold, positions, weight):
    """({peptide: centroid}, n_comparisons, n_early_exits) for peptides of one length."""
    length = len(next(iter(counts)))
    tables = model.sim_tables(length, sorted(set(positions)), weight)
    blocks, equal = {}, set(references)
    for r in references:
        blocks.setdefault(model.block_key(tables, r.encode()), []).append(r)
    order = sorted(counts, key=lambda p: -counts[p])  # stable: ties keep the table's order
    mapping, comparisons, early_exits = {}, 0, 0
    for peptide in order:
        if peptide in equal:
            mapping[peptide] = peptide
            continue
        centroids = blocks.setdefault(model.block_key(tables, peptide.encode()), [])
        for c in centroids:
            comparisons += 1
            r = model.anchor_sim(tables, peptide.encode(), c.encode(), threshold)
            if r < 0.0:
                early_exits += 1
            elif r >= threshold:
                mapping[peptide] = c
                break
        else:
            centroids.append(peptide)
            mapping[peptide] = peptide
    return mapping, comparisons, early_exits


def native(tmp_path, counts, references, threshold, positions, weight, threads=1):
    path = write_counts(tmp_path / "in.tsv", counts)
    peptides, _ = read_inputs([str(path)])
    length = len(next(iter(counts)))
    numbers = array.array("Q", range(100, 100 + len(references))).tobytes()
    comparisons, early_exits, joined, new, gained, _ = peptides.assign(
        length, "".join(references).encode(), numbers, positions, threshold, weight, threads, None)
    peptides.order()
    rows = []
    start = 0
    while start < peptides.units("tsv"):
        data, start = peptides.render("tsv", start, 1 << 20)
        rows += [line.split("\t") for line in data.decode().splitlines()]
    mapping = {r[0]: r[4] for r in rows}
    summary = {"joined": joined, "new": new, "gained": gained, "numbers": {r[4]: int(r[3]) for r in rows}}
    return mapping, comparisons, early_exits, summary


def scenario(seed, length=9):
    """A reference of some peptides' centroids, some of them near each other, and new peptides: variants of
    reference centroids, reference centroids themselves, and others."""
    rng = random.Random(seed)
    pool = list(family_peptides(400, length, seed))
    references = rng.sample(pool, 60)
    # Near neighbours among the references, as refinement can leave them.
    for r in references[:10]:
        near = list(r)
        near[rng.randrange(length)] = rng.choice(AMINO_ACIDS)
        if "".join(near) not in references:
            references.append("".join(near))
    counts = {}
    for p in rng.sample(pool, 250) + rng.sample(references, 15):
        counts[p] = rng.choice([1, 1, 2, 3, 7, 40])
    return references, counts


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("threshold, positions, weight", [(0.7, [1, 8], 2.0), (0.5, [1, 4, 8], 3.0),
                                                          (0.85, [2], 1.0), (-0.2, [1, 8], 2.0),
                                                          (float("nan"), [1, 8], 2.0)])
def test_assignment_is_the_models(tmp_path, seed, threshold, positions, weight):
    references, counts = scenario(seed)
    expected = assign_model(references, counts, threshold, positions, weight)
    words = _core._word_index()
    try:
        # Every search also through the centroids' words, from the first centroid on.
        for words_from in (words, 0):
            _core._word_index(words_from)
            for level in LEVELS:
                _core._simd(level)
                for threads in (1, 2, 3):
                    mapping, comparisons, early_exits, _ = native(tmp_path, counts, references, threshold, positions,
                                                                  weight, threads)
                    assert (mapping, comparisons, early_exits) == expected, (level, threads, words_from)
    finally:
        _core._word_index(words)
        _core._simd(LEVELS[0])


@pytest.mark.parametrize("seed", range(4))
def test_an_empty_reference_is_cluster_anchors(tmp_path, seed):
    _, counts = scenario(seed)
    mapping, comparisons, early_exits, summary = native(tmp_path, counts, [], 0.7, [1, 8], 2.0, threads=2)
    assert (mapping, comparisons, early_exits) == cluster_anchors(counts, 0.7, [1, 8])
    assert summary["joined"] == 0 and summary["new"] == len(set(mapping.values()))


def test_the_references_own_centroids_stay_on_themselves(tmp_path):
    counts = family_peptides(500, 9, seed=50)
    clustered, _, _ = cluster_anchors(counts, 0.7, [1, 8])
    refined, _ = refine_clusters(counts, clustered, 0.7, 3, anchor_positions=[1, 8])
    references = list(dict.fromkeys(refined.values()))  # near neighbours may be among them after refinement
    mapping, comparisons, _, summary = native(tmp_path, {c: 1 for c in references}, references, 0.7, [1, 8], 2.0)
    assert mapping == {c: c for c in references} and comparisons == 0
    assert summary["new"] == 0 and summary["gained"] == len(references)
    assert summary["numbers"] == {c: 100 + i for i, c in enumerate(references)}


# ---- the command line ----------------------------------------------------------------------------------

def cli(*args):
    return main([str(a) for a in args])


def rows_of(path):
    lines = path.read_text().splitlines()
    header = lines[0].split("\t")
    return [dict(zip(header, line.split("\t"))) for line in lines[1:]]


def test_assign_keeps_the_reference_and_numbers_new_clusters_after_it(tmp_path, capsys):
    reference = {}
    for length in (9, 10):
        reference.update(family_peptides(400, length, seed=60 + length))
    write_counts(tmp_path / "ref.tsv", reference)
    assert cli("cluster", tmp_path / "ref.tsv", "-o", tmp_path / "clusters.tsv", "--refine", "2", "-q") == 0
    ref_rows = rows_of(tmp_path / "clusters.tsv")
    centroids = list(dict.fromkeys((r["centroid"], int(r["cluster"])) for r in ref_rows))

    rng = random.Random(7)
    new = {p: c for p, c in reference.items() if rng.random() < 0.3}
    new.update(family_peptides(100, 9, seed=70))
    new.update(family_peptides(60, 11, seed=71))  # a length the reference lacks
    write_counts(tmp_path / "new.tsv", new)
    assert cli("assign", "--reference", tmp_path / "clusters.tsv", tmp_path / "new.tsv", "-o", tmp_path / "out.tsv",
               "--summary-json", tmp_path / "s.json", "--sample-table", tmp_path / "t.tsv", "--samples") == 0
    rows = rows_of(tmp_path / "out.tsv")
    assert set(rows[0]) >= {"origin"} and {r["peptide"] for r in rows} == set(new)

    by_length = {}
    for c, number in centroids:
        by_length.setdefault(len(c), []).append(c)
    expected = {}
    for length in (9, 10, 11):
        group = {p: c for p, c in new.items() if len(p) == length}
        positions = [1, length - 1]
        expected.update(assign_model(by_length.get(length, []), group, 0.7, positions, 2.0)[0])
    assert {r["peptide"]: r["centroid"] for r in rows} == expected

    numbers = dict(centroids)
    top = max(numbers.values())
    for r in rows:
        if r["origin"] == "reference":
            assert int(r["cluster"]) == numbers[r["centroid"]]
        else:
            assert r["centroid"] not in numbers and int(r["cluster"]) > top
    fresh = sorted({int(r["cluster"]) for r in rows if r["origin"] == "new"})
    assert fresh == list(range(top + 1, top + 1 + len(fresh)))
    summary = json.loads((tmp_path / "s.json").read_text())["reference"]
    assert summary["joined"] == sum(r["origin"] == "reference" for r in rows)
    assert summary["new_clusters"] == len(fresh)
    assert summary["reference_clusters_joined"] == len({r["cluster"] for r in rows if r["origin"] == "reference"})
    assert "assigned to" in capsys.readouterr().err


@pytest.mark.parametrize("kind", ["clstr", "centroids"])
def test_a_clstr_or_fasta_reference_with_positions_given(tmp_path, capsys, kind):
    reference = family_peptides(300, 9, seed=80)
    write_counts(tmp_path / "ref.tsv", reference)
    target = tmp_path / ("ref.clstr" if kind == "clstr" else "ref.fa")
    assert cli("cluster", tmp_path / "ref.tsv", "-o", tmp_path / "clusters.tsv", f"--{kind}", target, "-q") == 0
    new = family_peptides(100, 9, seed=81)
    write_counts(tmp_path / "new.tsv", new)
    assert cli("assign", "--reference", target, tmp_path / "new.tsv", "-o", tmp_path / "a.tsv", "-q") == 2
    assert "records no anchor positions: give --positions" in capsys.readouterr().err
    assert cli("assign", "--reference", target, tmp_path / "new.tsv", "-o", tmp_path / "a.tsv", "-q",
               "--positions", "1,-1") == 0
    assert cli("assign", "--reference", tmp_path / "clusters.tsv", tmp_path / "new.tsv", "-o", tmp_path / "b.tsv",
               "-q") == 0
    assert (tmp_path / "a.tsv").read_text() == (tmp_path / "b.tsv").read_text()


BAD_REFERENCES = [
    # (file text, message)
    ("peptide\tcount\nSLYNTVATL\t3\n", "not a kelvara table: no column 'centroid'"),
    ("peptide\tlength\tcount\tcluster\tcentroid\nSLYNTVATL\t9\t3\t0\tSLYNTVATL\nSLYNTVAVL\t9\t1\t1\tSLYNTVAVL\n"
     "GILGFVFTL\t9\t1\t0\tSLYNTVATL\n", "line 4: cluster 0 is listed again after other clusters"),
    ("peptide\tlength\tcount\tcluster\tcentroid\nSLYNTVAVL\t9\t3\t0\tSLYNTVATL\nSLYNTVATL\t9\t1\t1\tGILGFVFTL\n",
     "line 2: centroid SLYNTVATL of cluster 0 is a member of cluster 1"),
    ("peptide\tlength\tcount\tcluster\tcentroid\nSLYNTVATL\t9\t3\tx\tSLYNTVATL\n", "cluster number 'x' is not a number below"),
    ("peptide\tlength\tcount\tcluster\tcentroid\nSLY1TVATL\t9\t3\t0\tSLY1TVATL\n", "is not a peptide"),
    ("peptide\tcentroid\n", "the reference holds no clusters"),
    (">Cluster 0\n0\t9aa, >SLYNTVATL... at 90.00%\n", "cluster 0 has no centroid marked '*'"),
]


@pytest.mark.parametrize("text, words", BAD_REFERENCES)
def test_a_bad_reference_is_one_line_and_status_2(tmp_path, capsys, text, words):
    (tmp_path / "ref.txt").write_text(text)
    write_counts(tmp_path / "new.tsv", {"SLYNTVATL": 2})
    assert cli("assign", "--reference", tmp_path / "ref.txt", tmp_path / "new.tsv", "-o", tmp_path / "out.tsv",
               "--positions", "1,-1", "-q") == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and words in err and not os.path.exists(tmp_path / "out.tsv")


@pytest.mark.parametrize("options, words", [
    (["--refine", "2"], "--refine is not offered by kelvara assign: refinement would move"),
    (["--block-search"], "--block-search is not offered"),
    (["--positions", "0,-1"], "was clustered with --positions 1,-1: give the same"),
    (["--weight", "3"], "was clustered with --weight 2.0"),
])
def test_options_assignment_cannot_take_are_refused(tmp_path, capsys, options, words):
    write_counts(tmp_path / "ref.tsv", family_peptides(50, 9, seed=90))
    assert cli("cluster", tmp_path / "ref.tsv", "-o", tmp_path / "clusters.tsv", "-q") == 0
    assert cli("assign", "--reference", tmp_path / "clusters.tsv", tmp_path / "ref.tsv", "-o",
               tmp_path / "out.tsv", *options) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and words in err


# ---- from Python ---------------------------------------------------------------------------------------

def test_assign_from_python_is_the_command_lines(tmp_path):
    import kelvara

    reference = family_peptides(400, 9, seed=95)
    new = dict(list(family_peptides(150, 9, seed=96).items()) + list(reference.items())[:50])
    write_counts(tmp_path / "ref.tsv", reference)
    write_counts(tmp_path / "new.tsv", new)
    assert cli("cluster", tmp_path / "ref.tsv", "-o", tmp_path / "clusters.tsv", "-q") == 0
    assert cli("assign", "--reference", tmp_path / "clusters.tsv", tmp_path / "new.tsv", "-o", tmp_path / "a.tsv",
               "-q") == 0
    expected = rows_of(tmp_path / "a.tsv")

    clustered = kelvara.cluster_peptides(reference)
    for ref in (clustered, tmp_path / "clusters.tsv"):
        result = kelvara.assign(ref, new)
        assert result.columns[-1] == "origin" and len(result) == len(expected)
        pa = pytest.importorskip("pyarrow")
        table = pa.table(result)
        got = [dict(zip(table.column_names, map(str, row.values()))) for row in table.to_pylist()]
        assert [{k: v for k, v in r.items() if k != "similarity"} for r in got] == [
            {k: v for k, v in r.items() if k != "similarity"} for r in expected]
        assert [float(r["similarity"]) for r in got] == [float(r["similarity"]) for r in expected]
        assert result.summary["reference"]["joined"] == sum(r["origin"] == "reference" for r in expected)
    with pytest.raises(ValueError, match="was clustered with positions"):
        kelvara.assign(clustered, new, positions=(0, -1))
