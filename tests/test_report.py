"""The HTML report: one page that opens from disk, with its figures written by kelvara itself."""

import csv
import math
import os
import re
import subprocess
from html.parser import HTMLParser

import pytest

from test_cli import EXAMPLE, KELVARA, kelvara_cli, leftovers


class Page(HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags = []  # (tag, attributes)
        self.text = []

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))

    def handle_data(self, data):
        self.text.append(data)


def test_report_is_one_self_contained_page(tmp_path):
    result = kelvara_cli(EXAMPLE, "-o", tmp_path / "out.tsv", "--report", tmp_path / "report.html",
                         "--report-clusters", "5", "--refine", "1", "--threshold", "0.65")
    assert result.returncode == 0, result.stderr.decode()
    source = (tmp_path / "report.html").read_text()
    page = Page()
    page.feed(source)
    for tag, attrs in page.tags:
        assert tag not in ("script", "link", "iframe", "object")
        for name in ("src", "href"):
            assert not attrs.get(name, "data:").startswith(("http:", "https:", "//", "file:"))
    assert "@import" not in source and not re.search(r"url\((?!#)", source)  # only references within the page
    assert not [tag for tag, _ in page.tags if tag == "img"]
    figures = [attrs.get("aria-label", "") for tag, attrs in page.tags if tag == "svg"]
    assert figures[0] == "cluster sizes" and len(figures) == 6  # the size plot and one logo per cluster shown
    assert all(label.startswith("sequence logo of the cluster of ") for label in figures[1:])

    with open(tmp_path / "out.tsv", newline="") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    largest = list(dict.fromkeys(r["centroid"] for r in rows))[:5]
    text = " ".join(page.text)
    at = [text.index(f"#{rank} {centroid}") for rank, centroid in enumerate(largest, 1)]
    assert at == sorted(at)
    members = [r for r in rows if r["centroid"] == largest[0]]
    assert f"{len(members)} peptides · summed count {sum(int(r['count']) for r in members):,}" in text
    assert "0.65" in text and "4,000" in text


@pytest.mark.parametrize("members, expected", [
    ([("AC", 3), ("CC", 1)], {(0, "A"): 0.75, (0, "C"): 0.25, (1, "C"): 1.0}),
    ([("AC", 0), ("CC", 0)], {(0, "A"): 0.5, (0, "C"): 0.5, (1, "C"): 1.0}),
])
def test_logo_weights_members_by_count(members, expected):
    from kelvara.report import logo_bits

    letters, rows = logo_bits(members, 2)
    for (position, letter), share in expected.items():
        p = [s for (pos, _), s in expected.items() if pos == position]
        information = math.log2(20) + sum(x * math.log2(x) for x in p)
        assert rows[position][letters.index(letter)] == pytest.approx(share * information)


def test_report_needs_nothing_installed_beside_kelvara(tmp_path):
    # Plotting libraries that cannot be imported change nothing: the figures are kelvara's own.
    shim = tmp_path / "shim"
    shim.mkdir()
    for name in ("logomaker", "matplotlib", "pandas"):
        (shim / f"{name}.py").write_text(f"raise ModuleNotFoundError('No module named {name!r}', name={name!r})\n")
    env = dict(os.environ, PYTHONPATH=str(shim))
    result = subprocess.run([KELVARA, "cluster", EXAMPLE, "-o", tmp_path / "out.tsv", "--report",
                             tmp_path / "report.html", "-q"], capture_output=True, env=env)
    assert result.returncode == 0, result.stderr.decode()
    page = Page()
    page.feed((tmp_path / "report.html").read_text())
    assert sum(1 for tag, _ in page.tags if tag == "svg") == 13 and leftovers(tmp_path) == []


def test_logo_stacks_letters_by_their_bits():
    from kelvara.report import svg

    drawn = svg.logo(["A", "C"], [[0.5, 1.5], [0.0, 4.0]], [1], {"A": "#111111", "C": "#222222"}, "a logo")
    # Position 1: A (smaller) at the bottom, then C on it; position 2: C alone; the anchor column shaded.
    letters = re.findall(r"translate\(([\d.]+) ([\d.]+)\) scale\([\d.]+ ([\d.]+)\)'[^>]*>([AC])<", drawn)
    assert [letter for *_, letter in letters] == ["A", "C", "C"]
    assert [float(y) for _, y, _, _ in letters[:2]] == pytest.approx([116.0, 116.0 - 0.5 * 110 / svg.BITS], abs=0.01)
    heights = {(x, letter): float(sy) * svg._CAP for x, _, sy, letter in letters}
    assert sorted(heights.values()) == pytest.approx(sorted(b * 110 / svg.BITS for b in (0.5, 1.5, 4.0)), abs=0.01)
    assert "fill='#fdf1d6'" in drawn and drawn.count("<rect") == 1
