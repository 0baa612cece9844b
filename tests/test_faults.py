"""Runs that end badly end cleanly: signals in every phase, hostile inputs, memory limits, closed streams
and names that would upset a terminal. Each runs the console script in a subprocess, as users meet it."""

import gzip
import os
import pty
import resource
import signal
import subprocess
import sys
import time

import pytest

from test_cli import KELVARA, family_peptides, leftovers, read_terminal, two_block_input, write_counts  # noqa: F401


def run(*args, limit_memory=None, **kwargs):
    def limit():
        if limit_memory is not None:
            resource.setrlimit(resource.RLIMIT_AS, (limit_memory, limit_memory))

    process = subprocess.Popen([KELVARA, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               preexec_fn=limit, **kwargs)
    _, status, usage = os.wait4(process.pid, 0)
    out, err = process.stdout.read(), process.stderr.read()
    process.stdout.close()
    process.stderr.close()
    return os.waitstatus_to_exitcode(status), out, err, usage.ru_maxrss * 1024


def one_line(err):
    return err.endswith(b"\n") and err.count(b"\n") == 1 and err.startswith(b"kelvara: ")


def nothing_written(directory, *names):
    return leftovers(directory) == [] and not any(os.path.exists(os.path.join(directory, n)) for n in names)


# ---- signals in every phase ----------------------------------------------------------------------------

def wait_for(terminal, words):
    text = read_terminal(terminal, words, timeout=60)
    assert words in text, text


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
@pytest.mark.parametrize("phase", ["reading", "clustering", "refining", "writing"])
def test_a_signal_ends_the_run_leaving_nothing(tmp_path, two_block_input, phase, signum):
    outputs = ["out.tsv", "out.clstr", "out.fa"]
    args = [KELVARA, "cluster", "-o", "out.tsv", "--clstr", "out.clstr", "--centroids", "out.fa"]
    terminal, child_end = pty.openpty()
    stdin = None
    if phase == "reading":
        # Standard input held open and empty: the run waits in the middle of reading.
        read_end, write_end = os.pipe()
        os.write(write_end, b"SLYNTVATL\t4\n" * 1000)
        stdin = read_end
        args += ["-"]
    elif phase == "writing":
        # The summary goes last into a pipe nobody reads: the other outputs wait under temporary names.
        os.mkfifo(tmp_path / "summary.json")
        small = write_counts(tmp_path / "small.tsv", family_peptides(3000, 9, seed=1))
        args += [str(small), "--summary-json", "summary.json"]
    else:
        args += [str(two_block_input), "--threads", "2"] + (["--positions", "0"] if phase == "clustering" else
                                                         ["--refine", "4"])
    process = subprocess.Popen(args, stdin=stdin, stderr=child_end, cwd=tmp_path)
    os.close(child_end)
    try:
        if phase == "reading":
            os.close(read_end)
            time.sleep(1.0)
        elif phase == "writing":
            deadline = time.monotonic() + 60
            while len(leftovers(tmp_path)) < 4 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert len(leftovers(tmp_path)) == 4
        else:
            wait_for(terminal, b"clustering" if phase == "clustering" else b"refining")
        assert process.poll() is None
        process.send_signal(signum)
        assert process.wait(timeout=10) == 128 + signum
        text = read_terminal(terminal, b"\n", timeout=5)
    finally:
        os.close(terminal)
        if stdin is not None:
            os.close(write_end)
        if process.poll() is None:
            process.kill()
    assert text.endswith(f"kelvara: ended by {signal.Signals(signum).name}\r\n".encode())
    assert nothing_written(tmp_path, *outputs, "out.tsv.kelvara.json")


# ---- hostile inputs ------------------------------------------------------------------------------------

def huge_count(path):
    path.write_bytes(b"SLYNTVATL\t3\nSLYNTVAVL\t" + b"7" * (32 << 20) + b"\n")


def long_count(path):
    path.write_bytes(b"SLYNTVATL\t3\nSLYNTVAVL\t" + b"7" * 100_000 + b"\n")


def huge_field(path):
    path.write_bytes(b"Scan,Sequence\n1,SLYNTVATL\n2," + b"Q" * (200 << 10) + b"\n")


def garbage_line(path):
    garbage = bytes(b for b in range(256) if b not in b"\r\n")
    path.write_bytes(b"SLYNTVATL\n" + garbage * ((32 << 20) // len(garbage)) + b"\n")


def gzip_bomb(path):
    with gzip.open(path, "wb", compresslevel=9) as f:
        f.write(b"SLYNTVATL\n")
        for _ in range(64):
            f.write(b"A" * (1 << 20))
        f.write(b"\n")


HOSTILE = {
    # name: (make, options, line, words)
    "a count of 32 MB of digits": (huge_count, [], 2, b"line longer than 1,048,576 bytes"),
    "a count of 100,000 digits": (long_count, [], 2, b"(100,000 digits) is larger than 2**64 - 1"),
    "a table field over 128 KB": (huge_field, ["--column", "Sequence"], 3, b"field larger than field limit"),
    "a 32 MB line of garbage": (garbage_line, [], 2, b"line longer than 1,048,576 bytes"),
    "a gzip file of one 64 MB line": (gzip_bomb, [], 2, b"line longer than 1,048,576 bytes"),
}


@pytest.mark.parametrize("case", HOSTILE)
def test_a_hostile_input_is_one_short_line_in_bounded_memory(tmp_path, case):
    make, options, line, words = HOSTILE[case]
    path = tmp_path / ("in.csv" if "table" in case else "in.txt")
    make(path)
    # AddressSanitizer reserves terabytes of shadow address space, so it runs these without the limit.
    sanitized = os.environ.get("KELVARA_UNDER_ASAN") == "1"
    status, _, err, peak = run("cluster", path, "-o", tmp_path / "out.tsv", *options,
                               limit_memory=None if sanitized else 3 << 30)
    assert status == 2, err[-2000:]
    assert one_line(err) and len(err) < 300, err[:300]
    assert f": line {line}: ".encode() in err and words in err
    if not sanitized:
        assert peak < 300 << 20  # the input is 32 MB or more, inflated 64 MB
    assert nothing_written(tmp_path, "out.tsv")


@pytest.mark.parametrize("option", ["--threads", "--refine", "--cap", "--max-probes", "--merge-cap"])
@pytest.mark.parametrize("value", [str(2**63), str(2**64), "-" + str(2**64)])
def test_an_option_out_of_range_is_one_line(tmp_path, option, value):
    path = write_counts(tmp_path / "in.tsv", {"SLYNTVATL": 2})
    extra = ["--block-search"] if option == "--max-probes" else []
    status, _, err, _ = run("cluster", path, "-o", tmp_path / "out.tsv", *extra, f"{option}={value}")
    assert status == 2 and one_line(err) and option.encode() in err and b"_" not in err


# ---- streams and names ---------------------------------------------------------------------------------

def test_a_closed_standard_error_changes_nothing(tmp_path):
    path = write_counts(tmp_path / "in.tsv", {"SLYNTVATL": 2, "SLYNTVAVL": 1})
    ok = subprocess.run(f"{KELVARA} cluster {path} -o {tmp_path / 'out.tsv'} 2>&-", shell=True)
    assert ok.returncode == 0 and (tmp_path / "out.tsv").read_text().count("\n") == 3
    to_stdout = subprocess.run(f"{KELVARA} cluster {path} -o - 2>&-", shell=True, capture_output=True)
    assert to_stdout.returncode == 0 and to_stdout.stdout.startswith(b"peptide\t") and b"kelvara:" not in to_stdout.stdout
    bad = subprocess.run(f"{KELVARA} cluster {tmp_path / 'missing'} -o - 2>&-", shell=True, capture_output=True)
    assert bad.returncode == 2 and bad.stdout == b""


def test_names_reach_the_terminal_escaped(tmp_path):
    name = "in\x1b[31m\r\nred.tsv"
    status, _, err, _ = run("cluster", os.path.join(tmp_path, name), "-o", tmp_path / "out.tsv")
    assert status == 2 and one_line(err)
    assert b"\x1b" not in err and b"\r" not in err and b"in\\x1b[31m\\r\\nred.tsv" in err


def test_a_name_that_is_not_utf8_can_be_reported(tmp_path):
    name = os.fsdecode(b"in\xff.tsv")
    write_counts(tmp_path / name, {"SLYNTVATL": 2, "SLYNTVAVL": 1})
    status, _, err, _ = run("cluster", os.path.join(tmp_path, name), "-o", tmp_path / "out.tsv", "--report",
                            tmp_path / "report.html", "-q")
    assert status == 0, err
    assert "in\\udcff.tsv" in (tmp_path / "report.html").read_text()
