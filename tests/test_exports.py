"""Search-engine exports as labs have them: modified sequences, intensities, samples, headers and separators
read as a person means them, options checked, warnings that matter."""

import json
import os
import random

import pytest

import kelvara
from kelvara.cli import main
from test_cli import family_peptides

MODIFIED = [
    # (as an export writes it, the bare sequence)
    ("_PEPM(Oxidation (M))TIDE_", "PEPMTIDE"),
    ("_(Acetyl (Protein N-term))PEPTIDE_", "PEPTIDE"),
    ("PEPM(UniMod:35)TIDE", "PEPMTIDE"),
    ("(UniMod:1)PEPTIDEK(UniMod:121)", "PEPTIDEK"),
    ("PEPM[+15.9949]TIDE", "PEPMTIDE"),
    ("M[147.0354]PEPTIDE", "MPEPTIDE"),
    ("n[42.0106]PEPTIDE", "PEPTIDE"),
    ("PEPTIDEc[-0.9840]", "PEPTIDE"),
    ("[Acetyl]-PEPTIDE", "PEPTIDE"),
    ("PEPTIDE-[Amidated]", "PEPTIDE"),
    ("PEPmTIDE", "PEPMTIDE"),
    ("pepTIDE", "PEPTIDE"),
]


def run(tmp_path, text, *options, name="in.tsv"):
    path = tmp_path / name
    path.write_text(text)
    code = main(["cluster", str(path), "-o", str(tmp_path / "out.tsv"), "--summary-json", str(tmp_path / "s.json"),
                 "-q", *options])
    if code != 0:
        return code, None, None
    rows = [line.split("\t") for line in (tmp_path / "out.tsv").read_text().splitlines()[1:]]
    return code, {r[0]: int(r[2]) for r in rows}, json.loads((tmp_path / "s.json").read_text())


def message(capsys):
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("kelvara: "), err
    return err[len("kelvara: "):-1]


# ---- modified sequences --------------------------------------------------------------------------------

@pytest.mark.parametrize("modified, bare", MODIFIED)
def test_each_notation_strips_to_the_bare_sequence(tmp_path, modified, bare):
    code, counts, summary = run(tmp_path, f"{modified}\t3\n{bare}\t2\n", "--strip-modifications")
    assert code == 0 and counts == {bare: 5}
    changed = modified.upper() != modified.upper().replace("_", "") or any(c in modified for c in "[(-")
    assert summary["peptides"]["stripped"] == int(changed)


@pytest.mark.parametrize("text", ["PEPM(Oxidation (M)TIDE", "PEPM]TIDE", "PEP1TIDE", "_(Acetyl)_"])
def test_what_cannot_be_stripped_is_an_error(tmp_path, capsys, text):
    assert run(tmp_path, f"SLYNTVATL\t1\n{text}\t3\n", "--strip-modifications")[0] == 2
    said = message(capsys)
    assert said.startswith(f"{tmp_path / 'in.tsv'}: line 2: ") and "--strip-modifications reads" not in said


def test_without_the_option_a_modified_peptide_names_it(tmp_path, capsys):
    assert run(tmp_path, "SLYNTVATL\t1\nHNASKFM(UniMod:35)SE\t2\n")[0] == 2
    assert message(capsys).endswith("line 2: 'HNASKFM(UniMod:35)SE' is not a peptide (letters only); "
                                    "--strip-modifications reads modified sequences as their bare sequence")


# ---- intensities ---------------------------------------------------------------------------------------

ROUNDED = [
    ("56393770.7", 56393771), ("1.2E+07", 12000000), ("2.5", 3), ("3.5", 4), ("2.4999999999999999999", 2),
    ("0.5", 1), ("0.49", 0), ("1e-300", 0), (".5", 1), ("7.", 7), ("+4", 4), ("18446744073709551615", 2**64 - 1),
    ("18446744073709551614.5", 2**64 - 1), ("1.8446744073709551615e19", 2**64 - 1), ("  12  ", 12),
]


@pytest.mark.parametrize("text, count", ROUNDED)
def test_an_intensity_is_rounded_halves_up(tmp_path, text, count):
    code, counts, _ = run(tmp_path, f"SLYNTVATL\t{text}\n", "--intensity")
    assert code == 0 and counts == {"SLYNTVATL": count}


@pytest.mark.parametrize("text", ["", "NaN", "nan", "0", "0.000", "-0", "0e12"])
def test_an_intensity_not_quantified_leaves_the_row_out(tmp_path, text):
    code, counts, summary = run(tmp_path, f"SLYNTVATL\t5\nSLYNTVAVL\t{text}\nSLYNTVATL\t{text}\n", "--intensity")
    assert code == 0 and counts == {"SLYNTVATL": 5}
    assert summary["peptides"]["not_quantified"] == 2 and summary["inputs"][0]["records"] == 1


@pytest.mark.parametrize("text, words", [
    ("-3.5", "intensity '-3.5' is negative"), ("inf", "intensity 'inf' is infinite"),
    ("-Infinity", "intensity '-Infinity' is negative"), ("1,5", "intensity '1,5' is not a number"),
    ("abc", "intensity 'abc' is not a number"), ("1e", "intensity '1e' is not a number"),
    ("18446744073709551615.5", "count 18446744073709551615.5 is larger than 2**64 - 1"),
    ("1e20", "count 1e20 is larger than 2**64 - 1"),
])
def test_a_bad_intensity_is_one_line_naming_the_line(tmp_path, capsys, text, words):
    assert run(tmp_path, f"SLYNTVATL\t5\nSLYNTVAVL\t{text}\n", "--intensity")[0] == 2
    assert message(capsys) == f"{tmp_path / 'in.tsv'}: line 2: {words}"
    assert not (tmp_path / "out.tsv").exists()


# ---- exports of each tool's shape ---------------------------------------------------------------------

def _mods(rng, peptide, style):
    i = rng.randrange(len(peptide))
    if style == "maxquant":
        return "_" + peptide[:i + 1] + (f"({rng.choice(['Oxidation (M)', 'Deamidation (NQ)'])})" if rng.random() < .4
                                        else "") + peptide[i + 1:] + "_"
    if style == "diann":
        return peptide[:i + 1] + ("(UniMod:35)" if rng.random() < .4 else "") + peptide[i + 1:]
    return ("n[42.0106]" if rng.random() < .2 else "") + peptide[:i + 1] + (
        "[+15.9949]" if rng.random() < .4 else "") + peptide[i + 1:]


EXPORTS = {
    # tool: (file name, header, row(sample, modified, bare, intensity), options)
    "MaxQuant evidence.txt": ("evidence.txt", ["Sequence", "Modified sequence", "Raw file", "Intensity"],
                              lambda s, m, b, x: [b, m, s, x], "maxquant",
                              ["--column", "Modified sequence", "--count-column", "Intensity",
                               "--sample-column", "Raw file"]),
    "DIA-NN report.tsv": ("report.tsv", ["File.Name", "Run", "Modified.Sequence", "Stripped.Sequence",
                                         "Precursor.Quantity"], lambda s, m, b, x: [f"/d/{s}.raw", s, m, b, x],
                          "diann", ["--column", "Modified.Sequence", "--count-column", "Precursor.Quantity",
                                    "--sample-column", "Run"]),
    "FragPipe psm.tsv": ("psm.tsv", ["Spectrum", "Peptide", "Modified Peptide", "Intensity"],
                         lambda s, m, b, x: [f"{s}.0001.0001.2", b, m, x], "fragpipe",
                         ["--column", "Modified Peptide", "--count-column", "Intensity"]),
}


@pytest.mark.parametrize("tool", EXPORTS)
def test_an_export_clusters_as_its_bare_summed_peptides(tmp_path, tool):
    name, header, row, style, options = EXPORTS[tool]
    rng = random.Random(tool)
    peptides = list(family_peptides(300, 9, seed=21)) + list(family_peptides(100, 10, seed=22))
    lines, expected, samples = ["\t".join(header)], {}, {}
    for _ in range(1500):
        bare, sample = rng.choice(peptides), rng.choice(["tumour_1", "tumour_2", "normal"])
        value = rng.choice(["", "NaN", f"{rng.uniform(1e4, 1e8):.2f}", f"{rng.uniform(1, 9):.1f}E+06"])
        lines.append("\t".join(row(sample, _mods(rng, bare, style), bare, value)))
        if value not in ("", "NaN"):
            count = int(round_half_up(value))
            expected[bare] = expected.get(bare, 0) + count
            samples.setdefault(sample, {})[bare] = samples.get(sample, {}).get(bare, 0) + count
    path = tmp_path / name
    path.write_text("\n".join(lines) + "\n")
    extra = ["--sample-table", str(tmp_path / "samples.tsv")] if "--sample-column" in options else []
    assert main(["cluster", str(path), "-o", str(tmp_path / "out.tsv"), "--strip-modifications", "--intensity",
                 "-q", *options, *extra]) == 0
    rows = [line.split("\t") for line in (tmp_path / "out.tsv").read_text().splitlines()[1:]]
    assert {r[0]: int(r[2]) for r in rows} == expected
    for length in (9, 10):
        group = {p: c for p, c in expected.items() if len(p) == length}
        ordered = dict(sorted(group.items(), key=lambda item: first_seen(lines, item[0])))
        mapping, _, _ = kelvara.cluster_anchors(ordered, 0.7, [1, length - 1])
        assert {r[0]: r[4] for r in rows if int(r[1]) == length} == mapping
    if extra:
        check_sample_table(tmp_path / "samples.tsv", rows, samples)


def round_half_up(text):
    from decimal import ROUND_HALF_UP, Decimal

    return Decimal(text).quantize(Decimal(1), rounding=ROUND_HALF_UP)


def first_seen(lines, bare):
    """Where a bare peptide first appears among quantified rows."""
    for at, line in enumerate(lines[1:]):
        fields = line.split("\t")
        if bare in fields and not any(v in ("", "NaN") for v in fields[-1:]):
            return at
    return len(lines)


def check_sample_table(path, rows, samples):
    lines = [line.split("\t") for line in path.read_text().splitlines()]
    header, body = lines[0], lines[1:]
    names = [h[:-len("_count")] for h in header[5::2]]
    assert header[:5] == ["cluster", "centroid", "length", "members", "cluster_count"]
    assert sorted(names) == sorted(samples) and header[6::2] == [f"{n}_peptides" for n in names]
    clusters = {}
    for r in rows:
        clusters.setdefault(int(r[3]), []).append(r)
    assert [int(b[0]) for b in body] == sorted(clusters)
    for b in body:
        members = clusters[int(b[0])]
        assert b[1] == members[0][4] and int(b[3]) == len(members) and int(b[4]) == int(members[0][7])
        counts, seen = [int(x) for x in b[5::2]], [int(x) for x in b[6::2]]
        assert sum(counts) == int(b[4])  # the samples add up to the summed clustering's count
        for name, count, peptides in zip(names, counts, seen):
            own = [samples[name][m[0]] for m in members if m[0] in samples[name]]
            assert (count, peptides) == (sum(own), len(own))


# ---- samples as inputs ---------------------------------------------------------------------------------

def test_samples_cluster_as_their_sum_and_spread_over_the_clusters(tmp_path):
    rng = random.Random(31)
    shared = family_peptides(200, 9, seed=31)
    files, samples, total = [], {}, {}
    for n, name in enumerate(["tumour", "normal", "cell line"]):
        own = {p: c for p, c in shared.items() if rng.random() < 0.6}
        own.update(family_peptides(50, 9, seed=40 + n))  # peptides of this sample alone
        path = tmp_path / f"run{n}.tsv"
        path.write_text("".join(f"{p}\t{c}\n" for p, c in own.items()))
        files.append(f"{name}={path}" if n < 2 else str(path))
        samples["run2" if n == 2 else name] = own
        for p, c in own.items():
            total[p] = total.get(p, 0) + c
    assert main(["cluster", *files, "-q", "--summary-json", str(tmp_path / "s.json"), "-o", str(tmp_path / "out.tsv"),
                 "--samples", "--sample-table", str(tmp_path / "t.tsv")]) == 0
    assert main(["cluster", *[f.split("=", 1)[-1] for f in files], "-q", "-o", str(tmp_path / "plain.tsv")]) == 0
    assert (tmp_path / "out.tsv").read_text() == (tmp_path / "plain.tsv").read_text()
    rows = [line.split("\t") for line in (tmp_path / "out.tsv").read_text().splitlines()[1:]]
    check_sample_table(tmp_path / "t.tsv", rows, samples)
    summary = json.loads((tmp_path / "s.json").read_text())
    assert [s["name"] for s in summary["samples"]] == ["tumour", "normal", "run2"]
    assert [s["peptides"] for s in summary["samples"]] == [len(samples[n]) for n in ("tumour", "normal", "run2")]


@pytest.mark.parametrize("options, words", [
    (["--sample-table", "t.tsv"], "--sample-table needs --samples or --sample-column"),
    (["--samples", "--sample-column", "Run"], "give one"),
    (["--sample-column", "Run"], "--sample-column needs --column"),
])
def test_sample_options_that_do_not_fit_are_one_line(tmp_path, capsys, options, words):
    assert run(tmp_path, "SLYNTVATL\t1\n", *options)[0] == 2
    assert words in message(capsys)


# ---- inputs read as a person means them ---------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("Peptide\nSLYNTVATL\nSLYNTVATL\n", {"SLYNTVATL": 2}),
    ("sequence\nSLYNTVATL\n", {"SLYNTVATL": 1}),
    ("peptide\tcount\nSLYNTVATL\t4\n", {"SLYNTVATL": 4}),
    ("Sequence\tReads\nSLYNTVATL\t4\n", {"SLYNTVATL": 4}),
    ("peptide;count\nSLYNTVATL;4\nSLYNTVAVL;2\n", {"SLYNTVATL": 4, "SLYNTVAVL": 2}),
    ("SLYNTVATL 4\nSLYNTVAVL    2\n", {"SLYNTVATL": 4, "SLYNTVAVL": 2}),
    (">a;size=12\nSLYNTVATL\n>b;size=3;\nSLYNTVATL\n>size=5;c\nSLYNTVAVL\n>d\nSLYNTVAVL\n",
     {"SLYNTVATL": 15, "SLYNTVAVL": 6}),
])
def test_headers_separators_and_sizes(tmp_path, text, expected):
    code, counts, _ = run(tmp_path, text)
    assert code == 0 and counts == expected


@pytest.mark.parametrize("text, words", [
    ("SLYNTVATL\t\nSLYNTVAVL\t3\n", "line 1: count '' is not a non-negative integer"),
    ("SLYNTVATL\tPROTA\nSLYNTVAVL\t3\n", "line 1: count 'PROTA' is not a non-negative integer"),
    (">a;size=99999999999999999999999\nSLYNTVATL\n", "line 1: count 99999999999999999999999 is larger"),
])
def test_a_first_line_that_looks_like_data_is_data(tmp_path, capsys, text, words):
    assert run(tmp_path, text)[0] == 2
    assert words in message(capsys)


def test_a_semicolon_table(tmp_path):
    code, counts, _ = run(tmp_path, "Scan;Sequence;Count\n1;SLYNTVATL;3\n2;\"SLYNTVAVL\";2\n", "--column",
                          "Sequence", "--count-column", "Count", name="in.csv")
    assert code == 0 and counts == {"SLYNTVATL": 3, "SLYNTVAVL": 2}


# ---- options and warnings ------------------------------------------------------------------------------

@pytest.mark.parametrize("value, words", [
    ("70", "--threshold: 70 is above 1, the similarity of a peptide to itself; did you mean 0.70?"),
    ("1.5", "did you mean 0.015?"), ("-2", "-2 is outside -1 to 1"), ("abc", "'abc' is not a number"),
])
def test_a_threshold_out_of_range_is_refused(tmp_path, capsys, value, words):
    with pytest.raises(SystemExit) as ended:
        run(tmp_path, "SLYNTVATL\t1\n", "--threshold", value)
    assert ended.value.code == 2
    said = message(capsys)
    assert words in said and "_" not in said


def test_short_options(tmp_path, capsys):
    assert run(tmp_path, "SLYNTVATL\t1\n", "-t", "1")[0] == 0
    with pytest.raises(SystemExit) as ended:
        main(["-V"])
    assert ended.value.code == 0 and capsys.readouterr().out == f"kelvara {kelvara.__version__}\n"


def test_warnings_for_odd_letters_and_proteins(tmp_path, capsys):
    rng = random.Random(3)
    proteins = "".join(f">p{i}\n{''.join(rng.choices('ACDEFGHIKLMNPQRSTVWY', k=rng.randint(50, 400)))}\n"
                       for i in range(20))
    (tmp_path / "proteins.fa").write_text(proteins + ">q\nSLYNTVATL\n")
    (tmp_path / "x.tsv").write_text("SLYXTVATL\t2\nSLYBTVATL\t1\nSLYNTVATL\t4\n")
    assert main(["cluster", str(tmp_path / "x.tsv"), str(tmp_path / "proteins.fa"), "-o", str(tmp_path / "o.tsv"),
                 "--summary-json", str(tmp_path / "s.json")]) == 0
    err = capsys.readouterr().err
    assert "  warning: 2 peptides hold B, J, O, U, X or Z, which score 0 at their position" in err
    assert f"  warning: {tmp_path / 'proteins.fa'} looks like proteins, not peptides: 20 of its 21 records" in err
    assert len(json.loads((tmp_path / "s.json").read_text())["warnings"]) == 2
    assert os.path.exists(tmp_path / "o.tsv")
