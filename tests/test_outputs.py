"""The command line's outputs against a plain model of them: the table with cluster numbers and
similarities, CSV and gzip by name, standard output, the .clstr file with FASTA records, the FASTA of
centroids; on generated and real peptides."""

import gzip
import io
import os
import random
import subprocess
import sys

import pytest

import kelvara
import writer_model
from kelvara.cli import main
from test_cli import AMINO_ACIDS, KELVARA, family_peptides, leftovers, write_counts

DATA = os.path.join(os.path.dirname(__file__), "data")


def expected_clusters(counts, positions=(1, -1), threshold=0.7, weight=2.0, refine=0):
    by_length = {}
    for peptide, count in counts.items():
        by_length.setdefault(len(peptide), {})[peptide] = count
    mappings = {}
    for length in sorted(by_length):
        group = by_length[length]
        resolved = [p if p >= 0 else length + p for p in positions]
        mapping, _, _ = kelvara.cluster_anchors(group, threshold, resolved, weight)
        if refine:
            mapping, _ = kelvara.refine_clusters(group, mapping, threshold, refine, anchor_positions=resolved,
                                                 anchor_weight=weight)
        mappings[length] = mapping
    return writer_model.cluster_list(counts, mappings)


def resolver(positions):
    return lambda length: [p if p >= 0 else length + p for p in positions]


def mixed_peptides(seed):
    counts = {}
    for length, n in ((8, 150), (9, 400), (10, 120), (11, 60)):
        counts.update(family_peptides(n, length, seed + length))
    items = list(counts.items())
    random.Random(seed).shuffle(items)
    return dict(items)


def real_sample(name, n):
    with gzip.open(os.path.join(DATA, name), "rt") as f:
        counts = {}
        for line in f:
            peptide, count = line.split()
            counts[peptide] = int(count)
            if len(counts) == n:
                return counts


def shared_prefixes(seed, scale=1):
    """Peptides that agree on their first nine letters, with few distinct counts: their clusters tie on size
    and count and are ordered by the texts past the first bytes."""
    rng = random.Random(seed)
    counts = {}
    for length in (13, 14):  # four and five free letters: room for 150 of each
        stem = "".join(rng.choices("ACDEFGHIKLMNPQRSTVWY", k=9))
        group = {}
        while len(group) < 150:
            group[stem + "".join(rng.choices("ACDEF", k=length - 9))] = rng.choice((1, 2)) * scale
        counts.update(group)
    return counts


CASES = {
    # name: (counts, options, model keywords)
    "shared prefixes, tied counts": (lambda: shared_prefixes(6), ["--threshold", "0.95"], {"threshold": 0.95}),
    "counts past 2**40": (lambda: shared_prefixes(7, 2**41 + 3), ["--threshold", "0.95"], {"threshold": 0.95}),
    "mixed lengths": (lambda: mixed_peptides(3), [], {}),
    "mixed lengths, refined": (lambda: mixed_peptides(4), ["--refine", "3"], {"refine": 3}),
    "three positions, weight 3": (lambda: mixed_peptides(5), ["--positions", "0,-2,3", "--weight", "3"],
                                  {"positions": (0, -2, 3), "weight": 3.0}),
    "real ligandome": (lambda: real_sample("ligandome_9mers_20k.tsv.gz", 6000), ["--threshold", "0.6"],
                       {"threshold": 0.6}),
    "real proteome, refined": (lambda: real_sample("proteome_9mers_20k.tsv.gz", 6000), ["--refine", "2"],
                               {"refine": 2}),
}


@pytest.mark.parametrize("case", CASES)
def test_outputs_are_those_of_the_model(tmp_path, case):
    make, options, keywords = CASES[case]
    counts = make()
    path = str(write_counts(tmp_path / "in.tsv", counts))
    code = main(["cluster", path, "-o", str(tmp_path / "out.tsv"), "--clstr", str(tmp_path / "out.clstr"),
                 "--centroids", str(tmp_path / "out.fa"), "-q", "--threads", "2", *options])
    assert code == 0
    clusters = expected_clusters(counts, **keywords)
    positions = resolver(keywords.get("positions", (1, -1)))
    weight = keywords.get("weight", 2.0)
    assert (tmp_path / "out.tsv").read_text() == writer_model.table(clusters, positions, weight)
    assert (tmp_path / "out.clstr").read_text() == writer_model.clstr(clusters)
    assert (tmp_path / "out.fa").read_text() == writer_model.centroids(clusters)


@pytest.mark.parametrize("name, separator, packed", [("out.csv", ",", False), ("out.tsv.gz", "\t", True),
                                                     ("OUT.CSV.GZ", ",", True), ("out.txt", "\t", False)])
def test_output_names_choose_the_format(tmp_path, name, separator, packed):
    counts = mixed_peptides(6)
    path = str(write_counts(tmp_path / "in.tsv", counts))
    assert main(["cluster", path, "-o", str(tmp_path / name), "-q"]) == 0
    data = (tmp_path / name).read_bytes()
    assert data.startswith(b"\x1f\x8b") == packed
    text = (gzip.decompress(data) if packed else data).decode()
    assert text == writer_model.table(expected_clusters(counts), resolver((1, -1)), 2.0, separator)
    assert leftovers(tmp_path) == []


def test_a_csv_output_reads_back_as_input(tmp_path):
    counts = mixed_peptides(7)
    path = str(write_counts(tmp_path / "in.tsv", counts))
    assert main(["cluster", path, "-o", str(tmp_path / "out.csv"), "-q"]) == 0
    again = main(["cluster", str(tmp_path / "out.csv"), "--column", "peptide", "--count-column", "count",
                  "-o", str(tmp_path / "again.tsv"), "-q"])
    assert again == 0
    # Rows come in cluster order, so first appearances differ; the clusters of equal counts may too, but
    # the peptides and counts are the same.
    first = sorted(line.split("\t")[:3] for line in (tmp_path / "again.tsv").read_text().splitlines()[1:])
    assert first == sorted([p, str(len(p)), str(c)] for p, c in counts.items())


def test_dash_is_standard_output_and_the_summary_stays_on_stderr(tmp_path):
    counts = mixed_peptides(8)
    path = str(write_counts(tmp_path / "in.tsv", counts))
    result = subprocess.run([KELVARA, "cluster", path, "-o", "-"], capture_output=True, cwd=tmp_path, timeout=120)
    assert result.returncode == 0
    assert result.stdout.decode() == writer_model.table(expected_clusters(counts), resolver((1, -1)), 2.0)
    assert b"unique peptides read" in result.stderr and b"wrote standard output" in result.stderr
    assert os.listdir(tmp_path) == ["in.tsv"]

    result = subprocess.run([KELVARA, "cluster", path, "-o", "out.tsv", "--summary-json", "-", "-q"],
                            capture_output=True, cwd=tmp_path, timeout=120)
    assert result.returncode == 0 and result.stdout.startswith(b"{") and b'"lengths"' in result.stdout
    refused = subprocess.run([KELVARA, "cluster", path, "-o", "-", "--summary-json", "-"], capture_output=True,
                             timeout=120)
    assert refused.returncode == 2 and refused.stderr.count(b"\n") == 1 and b"standard output" in refused.stderr


@pytest.mark.parametrize("target", ["-", "/dev/stdout"])
def test_a_closed_pipe_ends_the_run_quietly(tmp_path, target):
    counts = family_peptides(30000, 9, seed=9)
    path = str(write_counts(tmp_path / "in.tsv", counts))
    process = subprocess.Popen([KELVARA, "cluster", path, "-o", target, "-q"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    assert process.stdout.readline().startswith(b"peptide\t")
    process.stdout.close()  # as `| head -1` does
    assert process.wait(timeout=120) == 141
    assert process.stderr.read() == b""


def fasta_records(counts, seed):
    """FASTA records of the peptides, each peptide in one to three records with names of their own."""
    rng = random.Random(seed)
    records, names = [], {}
    for number, peptide in enumerate(counts):
        for copy in range(rng.randint(1, 3)):
            name = f"sp|P{number:05d}|R{copy}"
            records.append((name, peptide))
            names.setdefault(peptide, []).append(name)
    rng.shuffle(records)
    order = {}
    for name, peptide in records:
        order.setdefault(peptide, []).append(name)
    return records, order


def test_fasta_records_are_listed_under_their_names(tmp_path):
    peptides = list(family_peptides(300, 9, seed=12))
    records, names = fasta_records(peptides, 12)
    path = tmp_path / "in.fa"
    path.write_text("".join(f">{name} some description\n{peptide[:4]}\n{peptide[4:]}\n" for name, peptide in records))
    assert main(["cluster", str(path), "-o", str(tmp_path / "out.tsv"), "--clstr", str(tmp_path / "out.clstr"),
                 "--centroids", str(tmp_path / "out.fa"), "-q"]) == 0
    counts = {}
    for _, peptide in records:
        counts[peptide] = counts.get(peptide, 0) + 1
    clusters = expected_clusters(counts)
    assert (tmp_path / "out.clstr").read_text() == writer_model.clstr(clusters, names)
    assert (tmp_path / "out.fa").read_text() == writer_model.centroids(clusters, names)
    # Every record appears once, duplicates of a centroid at 100%.
    text = (tmp_path / "out.clstr").read_text()
    assert sorted(line.split(">")[1].split("...")[0] for line in text.splitlines() if "aa, >" in line) == \
        sorted(name for name, _ in records)


def test_cd_hits_script_finds_the_records_of_a_fasta_input(tmp_path):
    script = "/usr/lib/cd-hit/make_multi_seq.pl"
    if not os.path.exists(script):
        pytest.skip("CD-HIT's scripts are not installed")
    peptides = list(family_peptides(200, 9, seed=13))
    records, names = fasta_records(peptides, 13)
    path = tmp_path / "in.fa"
    path.write_text("".join(f">{name}\n{peptide}\n" for name, peptide in records))
    assert main(["cluster", str(path), "-o", str(tmp_path / "out.tsv"), "--clstr", str(tmp_path / "out.clstr"),
                 "-q"]) == 0
    out = tmp_path / "multi"
    subprocess.run(["perl", script, str(path), str(tmp_path / "out.clstr"), str(out), "2"], check=True,
                   capture_output=True, cwd=tmp_path)
    written = {}
    for name in os.listdir(out):
        written[name] = [line[1:] for line in (out / name).read_text().splitlines() if line.startswith(">")]
    assert written and all(written.values())
    # Clusters of two records or more, every record of their peptides.
    clusters = expected_clusters({p: len(names[p]) for p in names})
    assert sorted(n for found in written.values() for n in found) == sorted(
        n for c in clusters if sum(len(names[p]) for p, _ in c[2]) >= 2 for p, _ in c[2] for n in names[p])
