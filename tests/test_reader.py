"""The native reader against a plain model of reading (Python's text streams and csv module): the same
peptides in the same order with the same counts and records, or the same message for the same line, on
generated inputs full of the untidy things real files hold, cut into pieces of every size."""

import random

import pytest

import reader_model
from kelvara.io import inputs

SPACES = [" ", "\t", "\x0b", "\x0c", "\x1c", "\xa0", "\u2003", "\u3000", "\x85"]
ENDS = ["\n", "\r\n", "\r"]


def untidy(rng, text):
    """Surrounding whitespace, and lower case now and then."""
    if rng.random() < 0.2:
        text = text.lower()
    return rng.choice(["", "", " ", rng.choice(SPACES)]) + text + rng.choice(["", "", rng.choice(SPACES)])


def peptide(rng):
    return "".join(rng.choices("ACDEFGHIKLMNPQRSTVWY", k=rng.randint(8, 11)))


def faulty(rng):
    return rng.choice(["PEP1IDE", "", "  ", "PEP-TIDE", "PÉPTIDE", "PEP\udcffTIDE", "X" * 90 + "1"])


def count(rng):
    return rng.choice([str(rng.randint(0, 40)), "007", "18446744073709551615", "0" * 25 + "3"])


def bad_count(rng):
    return rng.choice(["2.5", "-3", "x1", "", "18446744073709551616", "9" * 100, "1e3", "٣"])


def counts_file(rng, separator, faults):
    roll = rng.random()
    lines = ([rng.choice(["peptide", "Sequence", "pep"]) + separator + rng.choice(["count", "n", "Reads"])] if roll < 0.4
             else [peptide(rng) + separator + rng.choice(["", "PROTA"])] if roll < 0.5 else [])
    for _ in range(rng.randint(1, 60)):
        roll = rng.random()
        if roll < faults:
            lines.append(untidy(rng, faulty(rng)) + separator + count(rng))
        elif roll < 2 * faults:
            lines.append(peptide(rng) + separator + bad_count(rng))
        elif roll < 2.5 * faults:
            lines.append(peptide(rng) + separator + count(rng) + separator + "x")
        elif roll < 0.15:
            lines.append(rng.choice(["", " ", "\xa0"]))
        else:
            lines.append(untidy(rng, peptide(rng)) + separator + untidy(rng, count(rng)))
    return lines


def list_file(rng, faults):
    header = [rng.choice(["Peptide", "sequence", " ANCHOR "])] if rng.random() < 0.3 else []
    return header + [untidy(rng, faulty(rng)) if rng.random() < faults else
            rng.choice(["", " "]) if rng.random() < 0.1 else untidy(rng, peptide(rng))
            for _ in range(rng.randint(1, 60))]


def fasta_file(rng, faults):
    lines = ["stray"] if rng.random() < faults / 2 else []
    for number in range(rng.randint(1, 30)):
        lines.append(rng.choice([">", " >", ">\t"]) + f"seq{number} description")
        if rng.random() < faults / 2:
            continue  # a record with no sequence
        body = faulty(rng) if rng.random() < faults else peptide(rng)
        cut = rng.randint(0, len(body))
        lines += [untidy(rng, body[:cut]), rng.choice(["", " "]), body[cut:] + rng.choice(["", " \u2003 "])]
    return lines


def table_file(rng, delimiter, faults):
    lines = [delimiter.join(["Scan", "Sequence", "Score"])]
    for number in range(rng.randint(1, 50)):
        text = faulty(rng) if rng.random() < faults else untidy(rng, peptide(rng))
        roll = rng.random()
        if roll < 0.2:
            text = '"' + text.replace('"', '""') + '"'
        elif roll < 0.25:
            text = f'"{text[:3]}"{text[3:]}'  # a quote, then more: the csv reader keeps both
        elif roll < 0.3:
            lines.append(f'{number}{delimiter}"{text[:4]}')  # a quoted field running over a line end
            text = f'{text[4:]}"'
            lines.append(f"{text}{delimiter}{count(rng)}")
            continue
        value = bad_count(rng) if rng.random() < faults else count(rng)
        if rng.random() < faults / 2:
            lines.append(f"{number}{delimiter}{text}")  # too few fields
        elif rng.random() < 0.05:
            lines.append(rng.choice(["", " ", delimiter]))
        else:
            lines.append(f"{number}{delimiter}{text}{delimiter}{value}")
    return lines


def with_repeats(rng, lines):
    """Earlier lines again, near and far: first appearances and summed counts must come out in order."""
    out = []
    for line in lines:
        out.append(line)
        while out[1:] and rng.random() < 0.5:
            out.append(rng.choice(out[max(1, len(out) - rng.choice([3, 20, 100])):]))
    return out


KINDS = {
    # name: (file name, lines, column options)
    "counts": ("in.tsv", lambda rng, f: counts_file(rng, "\t", f), ()),
    "counts in csv": ("in.csv", lambda rng, f: counts_file(rng, ",", f), ()),
    "counts apart by semicolons": ("in.txt", lambda rng, f: counts_file(rng, ";", f), ()),
    "counts apart by spaces": ("in.txt", lambda rng, f: counts_file(rng, rng.choice([" ", "  ", " \t "]), f), ()),
    "counts, peptides repeated": ("in.tsv", lambda rng, f: with_repeats(rng, counts_file(rng, "\t", f)), ()),
    "list": ("in.txt", list_file, ()),
    "list, peptides repeated": ("in.txt", lambda rng, f: with_repeats(rng, list_file(rng, f)), ()),
    "fasta": ("in.fa", fasta_file, ()),
    "table": ("in.tsv", lambda rng, f: table_file(rng, "\t", f), ("Sequence", "Score")),
    "table in csv": ("in.csv", lambda rng, f: table_file(rng, ",", f), ("Sequence", "Score")),
    "table apart by semicolons": ("in.txt", lambda rng, f: table_file(rng, ";", f), ("Sequence", "Score")),
    "table, rows count once": ("in.csv", lambda rng, f: table_file(rng, ",", f), ("Sequence", None)),
}


def outcome(read, path, options):
    try:
        table, sources = read([str(path)], *options)
    except reader_model.InputError as e:
        return "fault", str(e)
    except inputs.InputError as e:
        return "fault", str(e)
    counts = table if isinstance(table, dict) else table.as_dict()
    return list(counts.items()), [(s.kind, s.records) for s in sources]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(25))
def test_native_reading_is_the_models(tmp_path, monkeypatch, kind, seed):
    name, make, options = KINDS[kind]
    rng = random.Random(f"{kind} {seed}")
    faults = 0.0 if seed % 3 == 0 else 0.03
    lines = make(rng, faults)
    text = ("\ufeff" if rng.random() < 0.2 else "") + "".join(line + rng.choice(ENDS) for line in lines)
    if rng.random() < 0.3:
        text = text.rstrip("\r\n")  # no line end at the end
    path = tmp_path / name
    path.write_bytes(text.encode("utf-8", errors="surrogateescape"))
    expected = outcome(reader_model.read_inputs, path, options)
    # Pieces as small as a few bytes cut through line ends, "\r\n" and multi-byte characters.
    monkeypatch.setattr(inputs, "CHUNK", rng.choice([1, 3, 7, 64, 1 << 22]))
    assert outcome(inputs.read_inputs, path, options) == expected


def test_a_long_line_is_refused_by_its_start(tmp_path):
    path = tmp_path / "in.txt"
    with open(path, "wb") as f:
        f.write(b"SLYNTVATL\n" * 3 + b"A" * (8 << 20) + b"\n")
    with pytest.raises(inputs.InputError, match=r"in.txt: line 4: line longer than 1,048,576 bytes"):
        inputs.read_inputs([str(path)])
