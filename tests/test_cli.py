"""The `kelvara` console script, run as a user runs it: in a subprocess, on files."""

import csv
import gzip
import json
import os
import pty
import random
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import time

import pytest

import kelvara

KELVARA = os.path.join(os.path.dirname(sys.executable), "kelvara")
EXAMPLE = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "peptides.tsv")
AMINO_ACIDS = "ARNDCQEGHILKMFPSTWYV"


def kelvara_cli(*args, stdin=None, cwd=None, command="cluster"):
    return subprocess.run([KELVARA, command, *map(str, args)], input=stdin, capture_output=True, cwd=cwd,
                          timeout=120)


def read_rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def centroids(path):
    return {row["peptide"]: row["centroid"] for row in read_rows(path)}


def leftovers(directory):
    return [name for name in os.listdir(directory) if name.endswith(".part")]


def family_peptides(n, length, seed):
    """Peptides in families of point variants, so that clusters form, with skewed counts; file order kept."""
    rng = random.Random(seed)
    counts = {}
    while len(counts) < n:
        peptide = list(rng.choices(AMINO_ACIDS, k=length))
        for _ in range(rng.randint(1, 6)):
            variant = peptide[:]
            for i in rng.sample(range(length), rng.randint(0, 3)):
                variant[i] = rng.choice(AMINO_ACIDS)
            counts.setdefault("".join(variant), int(rng.paretovariate(1.5)))
    return counts


def write_counts(path, counts, header=False):
    with open(path, "w") as f:
        if header:
            f.write("peptide\tcount\n")
        f.writelines(f"{p}\t{c}\n" for p, c in counts.items())
    return path


@pytest.fixture(scope="module")
def nonamers():
    return family_peptides(1500, 9, seed=7)


# ---- every input kind gives the same clusters ---------------------------------------------------------

def _formats(counts):
    expanded = [p for p, c in counts.items() for _ in range(c)]
    table_rows = [f'x{i},"{p}",{c}\n' for i, (p, c) in enumerate(counts.items())]
    return {
        "counts": ("in.tsv", "".join(f"{p}\t{c}\n" for p, c in counts.items()), [], "counts"),
        "counts with header": ("in.tsv", "peptide\tcount\n" + "".join(f"{p}\t{c}\n" for p, c in counts.items()),
                               [], "counts"),
        "untidy counts": ("in.txt", "\r\n".join(f" {p.lower()} \t {c} \r\n" for p, c in counts.items()), [],
                          "counts"),
        "list": ("in.txt", "\n".join(expanded) + "\n", [], "list"),
        "fasta": ("in.fasta", "".join(f">r{i}\n{p[:4]}\n{p[4:]}\n" for i, p in enumerate(expanded)), [], "fasta"),
        "fasta by content": ("in.txt", "".join(f">r{i} x\n{p}\n" for i, p in enumerate(expanded)), [], "fasta"),
        "csv": ("in.csv", "\ufeffid,Sequence,Count\r\n" + "".join(table_rows),
                ["--column", "Sequence", "--count-column", "Count"], "table"),
        "tsv rows": ("in.tsv", "Scan\tPeptide\tScore\n" + "".join(f"{i}\t{p}\t0.5\n" for i, p in enumerate(expanded)),
                     ["--column", "Peptide"], "table"),
    }


@pytest.mark.parametrize("kind", ["counts", "counts with header", "untidy counts", "list", "fasta",
                                  "fasta by content", "csv", "tsv rows"])
@pytest.mark.parametrize("packing", ["plain", "gzip", "stdin"])
def test_every_input_kind_gives_the_same_clusters(tmp_path, nonamers, kind, packing):
    counts = dict(list(nonamers.items())[:300])
    reference = tmp_path / "reference.tsv"
    assert kelvara_cli(write_counts(tmp_path / "ref.tsv", counts), "-o", reference).returncode == 0
    name, text, options, detected = _formats(counts)[kind]
    data = text.encode()
    if packing == "gzip":
        name, data = name + ".gz", gzip.compress(data)
    if packing == "stdin":
        result = kelvara_cli("-", "-o", tmp_path / "out.tsv", "--summary-json", tmp_path / "s.json", *options,
                             stdin=data)
    else:
        (tmp_path / name).write_bytes(data)
        result = kelvara_cli(tmp_path / name, "-o", tmp_path / "out.tsv", "--summary-json", tmp_path / "s.json",
                             *options)
    assert result.returncode == 0, result.stderr.decode()
    assert (tmp_path / "out.tsv").read_bytes() == reference.read_bytes()
    assert json.loads((tmp_path / "s.json").read_text())["inputs"][0]["kind"] == detected


def test_several_inputs_add_up_their_counts(tmp_path):
    first = write_counts(tmp_path / "a.tsv", {"SLYNTVATL": 5, "GILGFVFTL": 2})
    (tmp_path / "b.txt").write_text("GILGFVFTL\nNLVPMVATV\nGILGFVFTL\n")
    result = kelvara_cli(first, tmp_path / "b.txt", "-o", tmp_path / "out.tsv")
    assert result.returncode == 0, result.stderr.decode()
    assert {r["peptide"]: int(r["count"]) for r in read_rows(tmp_path / "out.tsv")} == {
        "SLYNTVATL": 5, "GILGFVFTL": 4, "NLVPMVATV": 1}


# ---- the clusters are those of the Python functions -------------------------------------------------------

OPTION_SETS = {
    "defaults": ([], {}, None),
    "threshold and weight": (["--threshold", "0.6", "--weight", "3"], {"threshold": 0.6, "anchor_weight": 3.0}, None),
    "block search": (["--block-search", "--max-probes", "4", "--min-block-bound", "0.75"],
                     {"obg_block_search": True, "obg_max_probes": 4, "obg_min_block_upper_bound": 0.75}, None),
    "refine": (["--refine", "3"], {}, {}),
    "refine with options": (["--refine", "2", "--cap", "4", "--no-merge", "--fast-medoid", "--threads", "2"], {},
                            {"cap": 4, "merge": False, "fast_medoid": True, "threads": 2}),
    "refine with merge cap": (["--refine", "3", "--threshold", "0.6", "--merge-cap", "2"], {"threshold": 0.6},
                              {"merge_cap": 2}),
}


@pytest.mark.parametrize("name", OPTION_SETS)
def test_nonamer_centroids_are_those_of_the_functions(tmp_path, nonamers, name):
    options, cluster_kwargs, refine_kwargs = OPTION_SETS[name]
    result = kelvara_cli(write_counts(tmp_path / "in.tsv", nonamers), "-o", tmp_path / "out.tsv",
                         "--summary-json", tmp_path / "s.json", *options)
    assert result.returncode == 0, result.stderr.decode()
    threshold = cluster_kwargs.pop("threshold", 0.7)
    weight = cluster_kwargs.get("anchor_weight", 2.0)
    mapping, comparisons, _ = kelvara.cluster_anchors(nonamers, threshold, [1, 8], **cluster_kwargs)
    if refine_kwargs is not None:
        passes = int(options[options.index("--refine") + 1])
        mapping, _ = kelvara.refine_clusters(nonamers, mapping, threshold, passes, anchor_positions=[1, 8],
                                             anchor_weight=weight, **refine_kwargs)
    assert centroids(tmp_path / "out.tsv") == mapping
    summary = json.loads((tmp_path / "s.json").read_text())
    assert summary["lengths"][0]["comparisons"] == comparisons
    assert summary["lengths"][0]["clusters"] == len(set(mapping.values()))


def _by_length(counts):
    groups = {}
    for peptide, count in counts.items():
        groups.setdefault(len(peptide), {})[peptide] = count
    return groups


@pytest.mark.parametrize("positions, length", [("1,-1", None), ("0,-2,4", None), ("1,-1", 10), ("-3", 8)])
def test_each_length_is_clustered_on_its_own(tmp_path, positions, length):
    counts = {}
    for n in (8, 9, 10, 11):
        counts.update(family_peptides(200, n, seed=n))
    path = write_counts(tmp_path / "in.tsv", dict(random.Random(3).sample(list(counts.items()), len(counts))))
    with open(path) as f:
        in_file_order = {p: int(c) for p, c in (line.split() for line in f)}
    extra = [] if length is None else ["--length", length]
    result = kelvara_cli(path, "-o", tmp_path / "out.tsv", "--positions", positions, *extra)
    assert result.returncode == 0, result.stderr.decode()
    expected = {}
    for n, group in _by_length(in_file_order).items():
        if length is None or n == length:
            resolved = [int(p) if int(p) >= 0 else n + int(p) for p in positions.split(",")]
            expected.update(kelvara.cluster_anchors(group, 0.7, resolved)[0])
    assert centroids(tmp_path / "out.tsv") == expected
    rows = read_rows(tmp_path / "out.tsv")
    assert all(len(r["centroid"]) == len(r["peptide"]) == int(r["length"]) for r in rows)


def test_peptides_too_short_for_the_positions_are_left_out(tmp_path):
    path = write_counts(tmp_path / "in.tsv", {"SLYNTVATL": 3, "AC": 1, "DEF": 2, "GILGFVFTL": 1})
    result = kelvara_cli(path, "-o", tmp_path / "out.tsv", "--positions", "2,-4", "--summary-json",
                         tmp_path / "s.json")
    assert result.returncode == 0, result.stderr.decode()
    assert [r["peptide"] for r in read_rows(tmp_path / "out.tsv")] == ["SLYNTVATL", "GILGFVFTL"]
    summary = json.loads((tmp_path / "s.json").read_text())
    assert summary["peptides"]["left_out_by_length"] == {"2": 1, "3": 1}
    assert (summary["peptides"]["read"], summary["peptides"]["kept"]) == (4, 2)
    assert "left out 1 peptides of length 2" in result.stderr.decode()


# ---- the table, the .clstr file and the summary ---------------------------------------------------------

def test_table_is_sorted_by_cluster_then_count(tmp_path):
    result = kelvara_cli(EXAMPLE, "-o", tmp_path / "out.tsv", "--refine", "2")
    assert result.returncode == 0, result.stderr.decode()
    rows = read_rows(tmp_path / "out.tsv")
    assert list(rows[0]) == ["peptide", "length", "count", "cluster", "centroid", "similarity", "cluster_members",
                             "cluster_count"]
    clusters = {}
    for r in rows:
        clusters.setdefault(r["centroid"], []).append(r)
    order = list(clusters)
    assert [int(clusters[c][0]["cluster"]) for c in order] == list(range(len(order)))
    for members in clusters.values():
        assert members == rows[rows.index(members[0]):rows.index(members[0]) + len(members)]  # contiguous
        assert {int(r["cluster_members"]) for r in members} == {len(members)}
        assert {int(r["cluster_count"]) for r in members} == {sum(int(r["count"]) for r in members)}
        rest = [int(r["count"]) for r in members if r["peptide"] != r["centroid"]]
        assert rest == sorted(rest, reverse=True)
    sizes = [(len(clusters[c]), int(clusters[c][0]["cluster_count"])) for c in order]
    assert sizes == sorted(sizes, reverse=True)
    with open(EXAMPLE) as f:
        assert len(rows) == sum(1 for _ in f) - 1


CLSTR_LINE = re.compile(r"^(\d+)\t(\d+)aa, >([A-Z]+)\.\.\. (\*|at (\d+\.\d\d)%)$")


def test_clstr_file_has_cd_hits_layout(tmp_path):
    result = kelvara_cli(EXAMPLE, "-o", tmp_path / "out.tsv", "--clstr", tmp_path / "out.clstr")
    assert result.returncode == 0, result.stderr.decode()
    clusters, current = [], None
    for line in (tmp_path / "out.clstr").read_text().splitlines():
        if line.startswith(">Cluster "):
            assert int(line.split()[1]) == len(clusters)
            current = []
            clusters.append(current)
            continue
        index, length, peptide, mark, identity = CLSTR_LINE.match(line).groups()
        assert int(index) == len(current) and int(length) == len(peptide)
        current.append((peptide, mark, identity))
    rows = read_rows(tmp_path / "out.tsv")
    by_centroid = {}
    for r in rows:
        by_centroid.setdefault(r["centroid"], []).append(r["peptide"])
    assert [[p for p, _, _ in c] for c in clusters] == list(by_centroid.values())
    for centroid, members in zip(by_centroid, clusters):
        assert [p for p, mark, _ in members if mark == "*"] == [centroid]
        for peptide, mark, identity in members:
            if mark != "*":
                same = sum(a == b for a, b in zip(peptide, centroid))
                assert float(identity) == round(100 * same / len(peptide), 2)


@pytest.mark.skipif(not os.path.exists("/usr/lib/cd-hit/clstr2txt.pl") or not shutil.which("perl"),
                    reason="CD-HIT's scripts are not installed")
def test_cd_hits_own_script_reads_the_clstr_file(tmp_path):
    result = kelvara_cli(EXAMPLE, "-o", tmp_path / "out.tsv", "--clstr", tmp_path / "out.clstr")
    assert result.returncode == 0
    text = subprocess.run(["perl", "/usr/lib/cd-hit/clstr2txt.pl", str(tmp_path / "out.clstr")],
                          capture_output=True, text=True, check=True).stdout
    parsed = list(csv.DictReader(text.splitlines(), delimiter="\t"))
    rows = read_rows(tmp_path / "out.tsv")
    assert [(p["id"], p["clstr_size"], p["clstr_rep"] == "1") for p in parsed] == [
        (r["peptide"], r["cluster_members"], r["peptide"] == r["centroid"]) for r in rows]


def test_summary_on_stderr_and_as_json(tmp_path):
    result = kelvara_cli(EXAMPLE, "-o", tmp_path / "out.tsv", "--summary-json", tmp_path / "s.json")
    assert result.returncode == 0
    summary = json.loads((tmp_path / "s.json").read_text())
    rows = read_rows(tmp_path / "out.tsv")
    assert summary["peptides"]["read"] == summary["peptides"]["kept"] == len(rows)
    assert [r["length"] for r in summary["lengths"]] == [8, 9, 10, 11]
    for r in summary["lengths"]:
        mine = [row for row in rows if int(row["length"]) == r["length"]]
        assert r["anchors"] == len(mine)
        assert r["clusters"] == len({row["centroid"] for row in mine})
        assert r["singletons"] == sum(1 for row in mine if row["cluster_members"] == "1")
        assert r["positions"] == [1, r["length"] - 1]
    assert set(summary["seconds"]) == {"read", "cluster", "write", "total"}
    stderr = result.stderr.decode()
    assert "4,000 unique peptides read" in stderr
    for r in summary["lengths"]:
        assert re.search(rf"^\s+{r['length']}\s+1,{r['length'] - 1}\s+{r['anchors']:,}\s+{r['clusters']:,}\s",
                         stderr, re.M)
    assert kelvara_cli(EXAMPLE, "-o", tmp_path / "q.tsv", "--quiet").stderr == b""


# ---- bad input: one line, exit status 2, no output ----------------------------------------------------------

BAD_INPUTS = [
    # (file name, content, options, message)
    ("missing.tsv", None, [], "missing.tsv: cannot read: no such file or directory"),
    ("empty.tsv", "", [], "empty.tsv: no peptides"),
    ("header.tsv", "peptide\tcount\n\n", [], "header.tsv: no peptides"),
    ("counts.tsv", "SLYNTVATL\t3\nGILGFVFTL\tx1\n", [], "counts.tsv: line 2: count 'x1' is not a non-negative integer"),
    ("counts.tsv", "SLYNTVATL\t3\n\nGILGFVFTL\t-3\n", [], "counts.tsv: line 3: count '-3' is not"),
    ("counts.tsv", "SLYNTVATL\t2.5\n", [], "counts.tsv: line 1: count '2.5' is not a non-negative integer"),
    ("counts.tsv", "SLYNTVATL\t1\nGILGFVFTL\t1\t7\n", [], "counts.tsv: line 2: expected a peptide and a count"),
    ("counts.tsv", "SLYNTVATL\t1\nGILG*VFTL\t1\n", [], "counts.tsv: line 2: 'GILG*VFTL' is not a peptide"),
    ("counts.tsv", "SLYNTVATL\t1\n\tGILGFVFTL\t1\n", [], "counts.tsv: line 2: expected a peptide and a count"),
    ("counts.tsv", "SLYNTVATL\t99999999999999999999\n", [], "counts.tsv: line 1: count 99999999999999999999 is larger"),
    ("counts.tsv", "SLYNTVATL\t18446744073709551615\nSLYNTVATL\t1\n", [], "counts.tsv: the counts of SLYNTVATL add up"),
    ("list.txt", "SLYNTVATL\nGILGFVFT1\n", [], "list.txt: line 2: 'GILGFVFT1' is not a peptide"),
    ("wide.tsv", "a\tb\tc\nSLYNTVATL\t1\t2\n", [], "wide.tsv: line 1: 3 columns ('a', 'b', 'c'); name the peptide"),
    ("table.csv", "id,Peptide\n1,SLYNTVATL\n", ["--column", "Sequence"],
     "table.csv: line 1: no column 'Sequence' for --column (columns: 'id', 'Peptide')"),
    ("table.csv", "id,Peptide\n1,SLYNTVATL\n", ["--column", "Peptide", "--count-column", "n"],
     "table.csv: line 1: no column 'n' for --count-column"),
    ("table.csv", "id,Peptide,n\n1,SLYNTVATL,3\n2\n", ["--column", "Peptide", "--count-column", "n"],
     "table.csv: line 3: 1 field, the header has 3"),
    ("table.csv", "id,Peptide,n\n1,SLYNTVATL,3\n\n2,GILGFVFTL,many\n", ["--column", "Peptide", "--count-column", "n"],
     "table.csv: line 4: count 'many' is not"),
    ("pep.fasta", ">a\nSLYNTVATL\n>b\n>c\nGILGFVFTL\n", [], "pep.fasta: line 3: FASTA record with no sequence"),
    ("pep.fasta", "SLYNTVATL\n>b\nGILGFVFTL\n", [], "pep.fasta: line 1: sequence before the first FASTA header"),
    ("bytes.txt", b"SLYNTVATL\nGILGF\xffFTL\n", [], "bytes.txt: line 2: 'GILGF\\udcffFTL' is not a peptide"),
    ("cut.tsv.gz", "gzip-truncated", [], "cut.tsv.gz: cannot read: corrupt or truncated gzip data"),
    ("short.tsv", "SLYNTVATL\t1\n", ["--length", "8"], "no peptides of length 8 in the input (lengths: 9)"),
    ("short.tsv", "SLYNTVATL\t1\n", ["--length", "4", "--positions", "1,4"], "--positions 1,4 does not fit --length 4"),
    ("short.tsv", "SLYNTVATL\t1\n", ["--positions", "1,12"], "no peptides of length 13 or more"),
    ("short.tsv", "SLYNTVATL\t1\n", ["-o", "no/such/dir/out.tsv"], "cannot write no/such/dir/out.tsv: no directory"),
]


@pytest.mark.parametrize("name, content, options, message", BAD_INPUTS,
                         ids=[f"{i}-{case[3][:40]}" for i, case in enumerate(BAD_INPUTS)])
def test_bad_input_is_one_clear_line_and_status_2(tmp_path, name, content, options, message):
    if content == "gzip-truncated":
        data = gzip.compress(b"".join(b"%s\t1\n" % p.encode() for p in family_peptides(5000, 9, seed=1)))
        content = data[:len(data) // 2]
    if content is not None:
        (tmp_path / name).write_bytes(content if isinstance(content, bytes) else content.encode())
    out = tmp_path / "out.tsv"
    out.write_text("left alone\n")
    result = kelvara_cli(name, "-o", "out.tsv", "--clstr", "out.clstr", *options, cwd=tmp_path)
    stderr = result.stderr.decode()
    assert result.returncode == 2
    assert stderr == f"kelvara: {stderr[9:]}" and stderr.count("\n") == 1 and "Traceback" not in stderr
    assert message in stderr
    assert out.read_text() == "left alone\n" and not (tmp_path / "out.clstr").exists()
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("options", [["--threshold", "high"], ["--positions", "1,x"], ["--positions", ""],
                                     ["--refine", "-1"], ["--max-probes", "3"], ["--report-clusters", "0"]])
def test_bad_options_exit_with_status_2(tmp_path, options):
    path = write_counts(tmp_path / "in.tsv", {"SLYNTVATL": 1})
    result = kelvara_cli(path, "-o", tmp_path / "out.tsv", *options)
    assert result.returncode == 2 and b"Traceback" not in result.stderr
    assert not (tmp_path / "out.tsv").exists()


def test_help_and_module_entry(tmp_path):
    result = kelvara_cli("--help")
    assert result.returncode == 0
    for option in (b"--column", b"--length", b"--positions", b"--refine", b"--clstr", b"--report", b"gzip",
                   b"--dask", b"Parquet"):
        assert option in result.stdout
    path = write_counts(tmp_path / "in.tsv", {"SLYNTVATL": 2, "SLYNTVAVL": 1})
    result = subprocess.run([sys.executable, "-m", "kelvara", "cluster", str(path), "-o", str(tmp_path / "o.tsv")],
                            capture_output=True, cwd=tmp_path)
    assert result.returncode == 0
    assert centroids(tmp_path / "o.tsv") == {"SLYNTVATL": "SLYNTVATL", "SLYNTVAVL": "SLYNTVATL"}
    assert leftovers(tmp_path) == []


# ---- Ctrl-C and the progress bar ----------------------------------------------------------------------------

@pytest.fixture(scope="module")
def large_input(tmp_path_factory):
    """600,000 random 9-mers: several seconds of clustering on one thread with one anchor position, since
    almost every anchor becomes a centroid of one of a few huge blocks."""
    path = tmp_path_factory.mktemp("large") / "large.tsv"
    rng = random.Random(5)
    with open(path, "w") as f:
        f.writelines(f"{''.join(rng.choices(AMINO_ACIDS, k=9))}\t{rng.randint(1, 9)}\n" for _ in range(600_000))
    return path


@pytest.fixture(scope="session")
def two_block_input(tmp_path_factory):
    """600,000 random 9-mers whose first residues fall in two residue groups: with one anchor position,
    almost every anchor becomes a centroid of one of two huge blocks, seconds of clustering on two threads
    even where large blocks are searched through their centroids' words."""
    path = tmp_path_factory.mktemp("two_blocks") / "large.tsv"
    rng = random.Random(5)
    with open(path, "w") as f:
        f.writelines(f"{rng.choice('ASTVILM')}{''.join(rng.choices(AMINO_ACIDS, k=8))}\t{rng.randint(1, 9)}\n"
                     for _ in range(600_000))
    return path


def interrupt(process, output):
    """Send SIGINT; check the run ends within a second with status 130 and writes nothing."""
    assert process.poll() is None, "the run ended before it could be interrupted"
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    process.wait(timeout=30)
    assert time.monotonic() - sent < 1.0
    assert process.returncode == 130
    assert not os.path.exists(output) and leftovers(os.path.dirname(output)) == []


@pytest.mark.parametrize("threads", ["1", "2"])
def test_ctrl_c_ends_a_long_run_within_a_second(tmp_path, two_block_input, threads):
    output = tmp_path / "out.tsv"
    process = subprocess.Popen([KELVARA, "cluster", two_block_input, "-o", output, "--clstr",
                                tmp_path / "out.clstr", "--positions", "0", "--threads", threads, "--refine", "1"],
                               stderr=subprocess.PIPE)
    time.sleep(1.0)  # clustering and a refinement pass take seconds even on two fast threads
    interrupt(process, output)
    assert process.stderr.read() == b"kelvara: interrupted\n"
    assert not (tmp_path / "out.clstr").exists()


def read_terminal(fd, until, timeout=30):
    text = b""
    deadline = time.monotonic() + timeout
    while until not in text and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # the other end is closed
                break
            if not chunk:
                break
            text += chunk
    return text


@pytest.mark.parametrize("options, shows", [
    (["--positions", "0", "--threads", "1"], rb"9-mers clustering .* [\d,]+/599,999 anchors  0:0\d"),
    (["--refine", "4", "--threads", "1"], rb"9-mers refining, pass 1/4 .*(medoids|reassigning|merging) [\d,]+/[\d,]+"),
])
def test_progress_bar_on_a_terminal_then_ctrl_c(tmp_path, large_input, options, shows):
    output = tmp_path / "out.tsv"
    terminal, child_end = pty.openpty()
    process = subprocess.Popen([KELVARA, "cluster", large_input, "-o", output, *options], stderr=child_end)
    os.close(child_end)
    try:
        text = read_terminal(terminal, shows.split(b" ")[1], timeout=30)  # "clustering" or "refining,"
        text += read_terminal(terminal, b"\x1b[K", timeout=2)  # the rest of that line
        assert re.search(shows, text), text
        interrupt(process, output)
        text += read_terminal(terminal, b"interrupted\r\n", timeout=5)
    finally:
        os.close(terminal)
        if process.poll() is None:
            process.kill()
    assert text.endswith(b"\r\x1b[Kkelvara: interrupted\r\n")  # the bar is cleared first


def test_progress_bar_follows_the_writing_of_each_file(tmp_path, two_block_input):
    terminal, child_end = pty.openpty()
    # Two huge blocks and a refinement pass: seconds of work however fast the searches get, so that the bar
    # is up when writing begins.
    process = subprocess.Popen([KELVARA, "cluster", two_block_input, "-o", tmp_path / "out.tsv", "--clstr",
                                tmp_path / "out.clstr", "--centroids", tmp_path / "out.fa", "--threads", "2",
                                "--positions", "0", "--refine", "1"],
                               stderr=child_end)
    os.close(child_end)
    try:
        text = read_terminal(terminal, b"\nwrote ", timeout=120)
        assert process.wait(timeout=60) == 0
    finally:
        os.close(terminal)
    for name in ("out.tsv", "out.clstr", "out.fa"):
        assert re.search(rb"writing " + re.escape(str(tmp_path / name).encode()) + rb" .*[\d,]+/[\d,]+", text), text


def test_quiet_shows_no_bar_on_a_terminal(tmp_path, large_input):
    terminal, child_end = pty.openpty()
    process = subprocess.Popen([KELVARA, "cluster", large_input, "-o", tmp_path / "out.tsv", "--positions", "0",
                                "--threads", "1", "--quiet"], stderr=child_end)
    os.close(child_end)
    try:
        time.sleep(1.0)
        interrupt(process, tmp_path / "out.tsv")
        assert read_terminal(terminal, b"interrupted\r\n", timeout=5) == b"kelvara: interrupted\r\n"
    finally:
        os.close(terminal)


def test_a_pipe_as_output_is_written_not_replaced(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    path = write_counts(tmp_path / "in.tsv", {"SLYNTVATL": 2, "SLYNTVAVL": 1})
    process = subprocess.Popen([KELVARA, "cluster", path, "-o", fifo, "--quiet"])
    with open(fifo) as f:
        received = f.read()
    assert process.wait(timeout=60) == 0
    assert received.splitlines()[1:] == ["SLYNTVATL\t9\t2\t0\tSLYNTVATL\t1.0000000000000002\t2\t3",
                                         "SLYNTVAVL\t9\t1\t0\tSLYNTVATL\t0.9090909090909093\t2\t3"]
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and leftovers(tmp_path) == []


# ---- files larger than the reader's chunks ------------------------------------------------------------

@pytest.mark.parametrize("kind", ["counts", "list"])
def test_files_read_the_same_in_every_chunk(tmp_path, monkeypatch, kind):
    from kelvara.io import inputs as readers

    monkeypatch.setattr(readers, "CHUNK", 4096)  # many chunks from a small file
    rng = random.Random(11)
    peptides = ["".join(rng.choices(AMINO_ACIDS, k=rng.randint(8, 11))) for _ in range(5000)]
    lines = [f"{p}\t{rng.randint(0, 50)}" if kind == "counts" else p for p in peptides * 4]
    for at in (10, 3000, 3001, len(lines) - 1):  # untidy lines, in the first chunk and later ones
        lines[at] = " " + lines[at].lower().replace("\t", " \t ") + " "
    lines[2000] = ""
    expected = {}
    for line in lines:
        if line:
            peptide, count = (line.split("\t") + ["1"])[:2]
            expected[peptide.strip().upper()] = expected.get(peptide.strip().upper(), 0) + int(count)
    path = tmp_path / "big.txt"
    path.write_text("peptide\tcount\n" * (kind == "counts") + "\r\n".join(lines))
    peptides, (source,) = readers.read_inputs([str(path)])
    assert list(peptides.as_dict().items()) == list(expected.items()) and source.records == len(lines) - 1

    lines[15_000] = "PEP1IDE" + "\t3" * (kind == "counts")
    path.write_text("\n".join(lines))
    with pytest.raises(readers.InputError, match="big.txt: line 15001: 'PEP1IDE' is not a peptide"):
        readers.read_inputs([str(path)])


# ---- files read in parts cut at line ends, as the workers of --dask read them ----------------------------

PART_KINDS = {
    # (name, text, options)
    "counts with header": ("in.tsv", "\ufeffpeptide\tcount\r\n{body}", [], lambda p, c: f" {p.lower()}\t{c} \r\n"),
    "counts in csv": ("in.csv", "\n\n{body}", [], lambda p, c: f"{p},{c}\n"),
    "list": ("in.txt", "{body}", [], lambda p, c: f"{p}\n" * min(c, 3) + "\n"),
    "table": ("in.csv", 'id,Sequence,Count\n{body}', ["Sequence", "Count"], lambda p, c: f'x,"{p}",{c}\n'),
}


def _read_in_parts(data, layout, cuts):
    """Read data cut at the given byte offsets, line numbers of faults made those of the whole file."""
    from kelvara.io import inputs as readers

    counts, records, lines = {}, 0, 0
    for start, end in zip([0] + cuts, cuts + [len(data)]):
        try:
            part, part_records, lines_read = readers.read_part(data[start:end], layout, start == 0)
        except readers.LineError as e:
            raise readers.LineError(e.name, lines + e.line, e.reason) from None
        lines += lines_read
        records += part_records
        for peptide, count in part.as_dict().items():
            counts[peptide] = counts.get(peptide, 0) + count
    return counts, records


@pytest.mark.parametrize("kind", PART_KINDS)
def test_parts_cut_at_line_ends_read_as_the_whole(tmp_path, kind):
    from kelvara.io import inputs as readers

    name, text, table, line = PART_KINDS[kind]
    counts = family_peptides(400, 9, seed=4)
    body = "".join(line(p, c) for p, c in counts.items())
    path = tmp_path / name
    path.write_bytes(text.format(body=body + body).encode())
    options = table + [None] * (2 - len(table))
    whole, (source,) = readers.read_inputs([str(path)], *options)
    whole = whole.as_dict()
    layout = readers.sniff(str(path), *options)
    data = path.read_bytes()
    # The first part holds at least the first line, as that line tells how to read the others.
    ends = [i + 1 for i, byte in enumerate(data) if byte == ord("\n") and i + 1 >= layout.first_end]
    rng = random.Random(len(kind))
    for cuts in ([], [ends[0]], [ends[1], ends[2]], sorted(rng.sample(ends[:-1], 7))):
        assert _read_in_parts(data, layout, cuts) == (whole, source.records)

    # A fault in a later part is reported at its line in the whole file, as reading the whole reports it.
    lines = data.split(b"\n")
    lines[-6] = line("PEP1IDE", 1).split("\n")[0].encode()
    bad = b"\n".join(lines)
    path.write_bytes(bad)
    with pytest.raises(readers.InputError) as one_machine:
        readers.read_inputs([str(path)], *options)
    bad_ends = [i + 1 for i, byte in enumerate(bad) if byte == ord("\n") and i + 1 >= layout.first_end]
    with pytest.raises(readers.LineError) as in_parts:
        _read_in_parts(bad, layout, sorted(rng.sample(bad_ends[:-10], 5)))
    assert str(in_parts.value) == str(one_machine.value) and "PEP1IDE" in str(in_parts.value).upper()
