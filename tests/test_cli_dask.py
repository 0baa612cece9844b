"""`kelvara cluster --dask`, run as a user runs it: the console script in a subprocess, on files, against a
local cluster of two worker processes that the module shares (and once with `--dask local`). Its Parquet
output must hold what the command line writes on one machine."""

import gzip
import json
import os
import pty
import random
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("dask.dataframe", reason="the dask extra is not installed")
pytest.importorskip("distributed", reason="the dask extra is not installed")
pytest.importorskip("pyarrow", reason="the dask extra is not installed")

import pandas as pd  # noqa: E402
from distributed import LocalCluster  # noqa: E402
from test_cli import (KELVARA, family_peptides, large_input, leftovers, read_rows, read_terminal,  # noqa: E402,F401
                      write_counts)

import kelvara  # noqa: E402
from kelvara.cli import dask_run as cli_dask  # noqa: E402
from kelvara.cli import main  # noqa: E402

UNREACHABLE = "tcp://127.0.0.1:9"  # refusals must come before any attempt to connect
QUICK_TIMEOUT = dict(os.environ, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="2s")


@pytest.fixture(scope="module")
def scheduler():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        yield cluster.scheduler_address


def kelvara_cli(*args, cwd=None):
    return subprocess.run([KELVARA, "cluster", *map(str, args)], capture_output=True, cwd=cwd, timeout=120,
                          env=QUICK_TIMEOUT)


def in_tsv_order(table):
    """Clusters by members and summed count descending, then length and centroid; in each the centroid,
    then by count descending, then peptide."""
    return table.assign(member=table["peptide"] != table["centroid"]).sort_values(
        ["cluster_members", "cluster_count", "length", "centroid", "member", "count", "peptide"],
        ascending=[False, False, True, True, True, False, True], ignore_index=True).drop(columns="member")


def as_tsv_rows(path):
    """The Parquet output as the rows of the TSV that one machine writes."""
    table = in_tsv_order(pd.read_parquet(path))
    return [{name: str(value) for name, value in row.items()} for row in table.to_dict("records")]


def one_machine_rows(path):
    """The TSV of one machine without the columns the Parquet files do not hold: their clusters are not
    numbered in one order, and the similarity is the TSV's alone."""
    return [{k: v for k, v in row.items() if k not in ("cluster", "similarity")} for row in read_rows(path)]


def check_layout(path):
    """Files of one length each, holding whole clusters in the TSV's order, with typed columns."""
    owner = {}
    for name in sorted(os.listdir(path)):
        assert name.startswith("part.") and name.endswith(".parquet")
        part = pd.read_parquet(os.path.join(path, name))
        assert all(pd.api.types.is_string_dtype(part[c]) for c in ("peptide", "centroid"))
        assert [str(part[c].dtype) for c in ("length", "count", "cluster_members", "cluster_count")] == [
            "int64", "uint64", "int64", "uint64"]
        assert part["length"].nunique() == 1 and int(name.split(".")[1]) == part["length"].iloc[0]
        for centroid in part["centroid"].unique():
            assert owner.setdefault(centroid, name) == name
        assert part.equals(in_tsv_order(part))


def summary_without_timing(path):
    summary = json.loads(open(path).read())
    del summary["seconds"]
    for length in summary["lengths"]:
        del length["seconds"]
    for name in ("threads", "dask"):
        summary["parameters"].pop(name, None)
    return summary


# ---- the same clusters as on one machine ---------------------------------------------------------------

def _lengths_and_repeats(tmp_path, lengths=(8, 9, 10, 11)):
    """Counts of several lengths in one file, part of them again in a gzip list: their counts add up and
    the first file places them; equal counts abound, so ties are broken by that place."""
    counts = {}
    for n in lengths:
        counts.update(family_peptides(300, n, seed=n))
    ordered = dict(random.Random(2).sample(list(counts.items()), len(counts)))
    first = write_counts(tmp_path / "a.tsv", ordered, header=True)
    again = random.Random(3).sample(list(ordered), 200) + ["SLYNTVATL"] * 3
    (tmp_path / "b.txt.gz").write_bytes(gzip.compress("".join(f"{p}\n" for p in again).encode()))
    inputs = [first, tmp_path / "b.txt.gz"]
    return inputs, inputs


def _table(tmp_path):
    counts = family_peptides(600, 10, seed=5)
    counts.update(family_peptides(100, 9, seed=6))
    counts.update(family_peptides(50, 4, seed=7))  # too short for the positions, but not clustered anyway
    path = tmp_path / "psms.csv"
    path.write_text("Scan,Sequence,Count\n" + "".join(f"{i},{p},{c}\n" for i, (p, c) in enumerate(counts.items())))
    return [path], [path]


def _parquet(tmp_path):
    """A Parquet directory of two files, for one machine the same rows as text."""
    counts = {}
    for n in (9, 10):
        counts.update(family_peptides(400, n, seed=10 + n))
    rows = list(counts.items())
    os.mkdir(tmp_path / "runs")
    for i, chunk in enumerate((rows[:300], rows[250:])):  # 50 peptides in both files
        pd.DataFrame({"peptide": [p for p, _ in chunk], "count": [c for _, c in chunk]}).to_parquet(
            tmp_path / "runs" / f"part.{i}.parquet")
    with open(tmp_path / "runs.tsv", "w") as f:
        f.writelines(f"{p}\t{c}\n" for p, c in rows[:300] + rows[250:])
    return [tmp_path / "runs"], [tmp_path / "runs.tsv"]


CASES = {
    # (inputs for Dask and for one machine, options)
    "several lengths, repeats, two inputs": (_lengths_and_repeats, []),
    "a table, one length, other parameters": (_table, ["--column", "Sequence", "--count-column", "Count", "--length",
                                                      "10", "--positions", "0,-2,4", "--threshold", "0.6",
                                                      "--weight", "3"]),
    "lengths too short for the positions": (lambda t: _lengths_and_repeats(t, (6, 7, 9, 12)),
                                            ["--positions", "1,7"]),
    "a Parquet directory": (_parquet, ["--positions", "1,4,-1"]),
}


@pytest.mark.parametrize("case", CASES)
def test_clusters_and_summary_are_those_of_one_machine(tmp_path, scheduler, case):
    make, options = CASES[case]
    inputs, reference_inputs = make(tmp_path)
    one = kelvara_cli(*reference_inputs, *options, "-o", tmp_path / "one.tsv", "--summary-json",
                      tmp_path / "one.json")
    assert one.returncode == 0, one.stderr.decode()
    result = kelvara_cli(*inputs, *options, "-o", tmp_path / "out", "--summary-json", tmp_path / "out.json",
                         "--dask", scheduler)
    assert result.returncode == 0, result.stderr.decode()

    assert as_tsv_rows(tmp_path / "out") == one_machine_rows(tmp_path / "one.tsv")
    check_layout(tmp_path / "out")
    ours, theirs = summary_without_timing(tmp_path / "out.json"), summary_without_timing(tmp_path / "one.json")
    if case == "a Parquet directory":
        assert [(i["kind"], i["records"]) for i in ours["inputs"]] == [("parquet", theirs["inputs"][0]["records"])]
        ours["inputs"] = theirs["inputs"]
    assert ours == theirs
    assert result.stderr.decode().splitlines()[1:-2] == one.stderr.decode().splitlines()[1:-2]  # the summary
    assert leftovers(tmp_path) == [] and not [n for n in os.listdir(tmp_path) if n.startswith(".out.")]


def test_many_parts_read_as_the_whole(tmp_path, scheduler, monkeypatch, capsys):
    # In this process, so that the parts can be small: the input is cut into dozens of them.
    monkeypatch.setattr(cli_dask, "MIN_PART_BYTES", 1)
    monkeypatch.setattr(cli_dask, "PART_BYTES", 2000)
    (first, second), _ = _lengths_and_repeats(tmp_path)
    plain = tmp_path / "b.txt"
    plain.write_bytes(gzip.decompress(second.read_bytes()))
    assert main(["cluster", str(first), str(plain), "-o", str(tmp_path / "one.tsv"), "-q"]) == 0
    assert main(["cluster", str(first), str(plain), "-o", str(tmp_path / "out"), "--dask", scheduler, "-q"]) == 0
    assert as_tsv_rows(tmp_path / "out") == one_machine_rows(tmp_path / "one.tsv")

    lines = plain.read_text().splitlines()
    lines[-7] = "GILGF1FTL"
    plain.write_text("\n".join(lines) + "\n")
    capsys.readouterr()
    assert main(["cluster", str(first), str(plain), "-o", str(tmp_path / "one.tsv")]) == 2
    expected = capsys.readouterr().err
    assert main(["cluster", str(first), str(plain), "-o", str(tmp_path / "again"), "--dask", scheduler]) == 2
    assert capsys.readouterr().err == expected and f"line {len(lines) - 6}: 'GILGF1FTL'" in expected
    assert not os.path.exists(tmp_path / "again")


# ---- refused, and bad input: one line, status 2, nothing written -----------------------------------------

REFUSED = [
    (["--refine", "2"], "--refine is not offered with --dask: refinement runs on one machine"),
    (["--block-search"], "--block-search is not offered with --dask"),
    (["--max-probes", "4"], "--block-search is not offered with --dask"),
    (["--clstr", "out.clstr"], "--clstr is not offered with --dask"),
    (["--report", "report.html"], "--report is not offered with --dask"),
    (["--threads", "2"], "--threads is not offered with --dask: the workers are the Dask cluster's"),
    (["-o", "out.tsv"], "with --dask, -o names a directory for Parquet files, not a text file like out.tsv"),
    (["-o", "taken"], "cannot write taken: it exists; with --dask, -o names a new directory"),
    (["-"], "standard input ('-') cannot be read with --dask"),
    (["pep.fasta"], "pep.fasta: FASTA is not read with --dask"),
]


@pytest.mark.parametrize("options, message", REFUSED, ids=[r[1][:30] for r in REFUSED])
def test_what_dask_does_not_offer_is_refused_before_connecting(tmp_path, options, message):
    write_counts(tmp_path / "in.tsv", {"SLYNTVATL": 2})
    (tmp_path / "pep.fasta").write_text(">a\nSLYNTVATL\n")
    os.mkdir(tmp_path / "taken")
    output = [] if "-o" in options else ["-o", "out"]
    inputs = [] if options[0] in ("-", "pep.fasta") else ["in.tsv"]
    result = kelvara_cli(*inputs, *options, *output, "--dask", UNREACHABLE, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.decode() == f"kelvara: {result.stderr.decode()[9:]}" and result.stderr.count(b"\n") == 1
    assert message in result.stderr.decode()
    assert sorted(os.listdir(tmp_path)) == ["in.tsv", "pep.fasta", "taken"] and os.listdir(tmp_path / "taken") == []


def test_without_the_extra_dask_is_refused(tmp_path):
    code = ("import sys; sys.modules['distributed'] = None; from kelvara.cli import main; "
            "sys.exit(main(['cluster', 'in.tsv', '-o', 'out', '--dask', 'local']))")
    write_counts(tmp_path / "in.tsv", {"SLYNTVATL": 2})
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (
        2, b"kelvara: --dask needs the dask extra (distributed is missing): pip install 'kelvara[dask]'\n")


def test_an_unreachable_scheduler_is_one_line_and_status_1(tmp_path):
    write_counts(tmp_path / "in.tsv", {"SLYNTVATL": 2})
    result = kelvara_cli("in.tsv", "-o", "out", "--dask", UNREACHABLE, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.decode().startswith(f"kelvara: cannot reach the Dask scheduler at {UNREACHABLE}: ")
    assert result.stderr.count(b"\n") == 1 and os.listdir(tmp_path) == ["in.tsv"]


def _parquet_file(path, peptides, counts):
    pd.DataFrame({"peptide": peptides, "count": counts}).to_parquet(path)


def _deep_fault(path):
    """A bad count on line 300,001 of a file of several megabytes, which the workers read in parts."""
    with open(path, "w") as f:
        f.writelines(f"{'SLYNTVATL' if i % 2 else 'GILGFVFTL'}\t{i % 9}\n" for i in range(300_000))
        f.write("NLVPMVATV\t7x\n")


BAD_INPUTS = [
    # (file name, content: text or a function writing the file, options, message)
    ("counts.tsv", "SLYNTVATL\t3\nGILGFVFTL\tx1\n", [], "counts.tsv: line 2: count 'x1' is not a non-negative integer"),
    ("big.tsv", _deep_fault, [], "big.tsv: line 300001: count '7x' is not a non-negative integer"),
    ("list.txt.gz", gzip.compress(b"SLYNTVATL\n\nGILGFVFT1\n"), [],
     "list.txt.gz: line 3: 'GILGFVFT1' is not a peptide"),
    ("table.csv", "id,Peptide\n1,SLYNTVATL\n", ["--column", "Sequence"],
     "table.csv: line 1: no column 'Sequence' for --column (columns: 'id', 'Peptide')"),
    ("empty.tsv", "\n\n", [], "empty.tsv: no peptides"),
    ("long.tsv", "SLYNTVATL\t1\nGILGFVFTL\t" + "7" * 4301 + "\n", [],
     f"long.tsv: line 2: count {'7' * 40}... (4,301 digits) is larger than 2**64 - 1"),
    ("header.tsv", "peptide\tcount\n", [], "header.tsv: no peptides"),
    ("p.parquet", lambda p: _parquet_file(p, ["SLYNTVATL"] * 3, [1.0, 2.5, 3.0]), [],
     "p.parquet: column 'count' holds float64, not counts"),
    ("p.parquet", lambda p: _parquet_file(p, ["SLYNTVATL"] * 3, [1, 2, -2]), [],
     "p.parquet: row 3: count '-2' is not a non-negative integer"),
    ("p.parquet", lambda p: _parquet_file(p, ["SLYNTVATL", "PEP TIDE"], [1, 2]), [],
     "p.parquet: row 2: 'PEP TIDE' is not a peptide (letters only)"),
    ("p.parquet", lambda p: _parquet_file(p, ["SLYNTVATL"], [1]), ["--column", "Sequence"],
     "p.parquet: no column 'Sequence' for --column (columns: 'peptide', 'count')"),
    ("short.tsv", "SLYNTVATL\t1\n", ["--length", "8"], "no peptides of length 8 in the input (lengths: 9)"),
    ("short.tsv", "SLYNTVATL\t1\n", ["--positions", "1,12"], "no peptides of length 13 or more"),
    ("sum.tsv", "SLYNTVATL\t18446744073709551615\nSLYNTVATL\t1\n", [],
     "sum.tsv: the counts of SLYNTVATL add up to more than 2**64 - 1"),
    ("sum.tsv", "SLYNTVATL\t18446744073709551615\n", ["sum.tsv"],  # the same file twice: only Dask adds them up
     "sum.tsv, sum.tsv: the counts of SLYNTVATL add up to more than 2**64 - 1"),
]


@pytest.mark.parametrize("name, content, options, message", BAD_INPUTS,
                         ids=[f"{i}-{case[3][:40]}" for i, case in enumerate(BAD_INPUTS)])
def test_bad_input_is_one_clear_line_and_status_2(tmp_path, scheduler, name, content, options, message):
    if callable(content):
        content(tmp_path / name)
    else:
        (tmp_path / name).write_bytes(content if isinstance(content, bytes) else content.encode())
    result = kelvara_cli(name, *options, "-o", "out", "--summary-json", "s.json", "--dask", scheduler, cwd=tmp_path)
    stderr = result.stderr.decode()
    assert result.returncode == 2
    assert stderr.startswith(f"kelvara: {message}") and stderr.count("\n") == 1
    assert os.listdir(tmp_path) == [name]


def test_a_cluster_count_beyond_64_bits_is_one_line_and_status_1(tmp_path, scheduler):
    # One machine writes the sum in the TSV; a Parquet uint64 cannot hold it.
    write_counts(tmp_path / "in.tsv", {"SLYNTVATL": 2**64 - 1, "SLYNTVATM": 1})
    result = kelvara_cli("in.tsv", "-o", "out", "--dask", scheduler, cwd=tmp_path)
    assert (result.returncode, result.stderr.decode()) == (1, (
        "kelvara: cannot write out: the counts of the cluster of SLYNTVATL add up to more than 2**64 - 1, beyond "
        "the uint64 column cluster_count\n"))
    assert os.listdir(tmp_path) == ["in.tsv"]


# ---- a cluster of its own, and Ctrl-C ---------------------------------------------------------------------

def test_local_cluster_for_the_run_then_ctrl_c_on_the_terminal(tmp_path, large_input):
    counts = family_peptides(500, 9, seed=8)
    write_counts(tmp_path / "in.tsv", counts)
    result = kelvara_cli("in.tsv", "-o", "out", "--dask", "local", cwd=tmp_path)
    assert result.returncode == 0, result.stderr.decode()
    mapping, _, _ = kelvara.cluster_anchors(counts, 0.7, [1, 8])
    assert {r["peptide"]: r["centroid"] for r in as_tsv_rows(tmp_path / "out")} == mapping
    assert "Shuffle" not in result.stderr.decode() and "WARNING" not in result.stderr.decode()

    # Ctrl-C on a terminal reaches the whole process group, the local workers too: the run ends with
    # status 130, one line after the bar is cleared, and no output.
    terminal, child_end = pty.openpty()
    process = subprocess.Popen([KELVARA, "cluster", large_input, "-o", tmp_path / "big", "--positions", "0",
                                "--dask", "local"], stderr=child_end, start_new_session=True)
    os.close(child_end)
    try:
        text = read_terminal(terminal, b"clustering", timeout=60)
        assert b"clustering" in text, text
        os.killpg(process.pid, signal.SIGINT)
        sent = time.monotonic()
        assert process.wait(timeout=30) == 130
        assert time.monotonic() - sent < 5
        text += read_terminal(terminal, b"interrupted\r\n", timeout=5)
    finally:
        os.close(terminal)
        if process.poll() is None:
            process.kill()
    assert text.endswith(b"\r\x1b[Kkelvara: interrupted\r\n"), text[-300:]
    assert sorted(os.listdir(tmp_path)) == ["in.tsv", "out"]


def _descendants(pid):
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            children.setdefault(parent, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def _workers(pid):
    """The worker processes of a local cluster (not, say, multiprocessing's resource tracker)."""
    found = []
    for child in _descendants(pid):
        try:
            with open(f"/proc/{child}/cmdline", "rb") as f:
                command = f.read()
        except OSError:
            continue
        if b"spawn_main" in command or b"forkserver" in command:
            found.append(child)
    return found


def test_workers_that_keep_dying_end_the_run_in_one_line(tmp_path, large_input):
    process = subprocess.Popen([KELVARA, "cluster", large_input, "-o", tmp_path / "out", "--positions", "0",
                                "--dask", "local", "--dask-timeout", "4", "-q"], stderr=subprocess.PIPE)
    deadline = time.monotonic() + 90
    try:
        time.sleep(2.0)
        while process.poll() is None and time.monotonic() < deadline:
            for pid in _workers(process.pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.5)
        assert process.wait(timeout=30) == 1
    finally:
        if process.poll() is None:
            process.kill()
    stderr = process.stderr.read().decode()
    assert stderr.startswith("kelvara: ") and stderr.count("\n") == 1, stderr[-2000:]
    assert any(words in stderr for words in ("no worker stayed up", "workers died", "did not start"))
    assert not (tmp_path / "out").exists() and leftovers(tmp_path) == []
