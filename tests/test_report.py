"""The HTML report: one page that opens from disk, and a clear word when its extra is not installed."""

import base64
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
    pytest.importorskip("matplotlib")
    pytest.importorskip("logomaker")
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
    images = [attrs["src"] for tag, attrs in page.tags if tag == "img"]
    assert len(images) == 5  # one logo per cluster shown
    for src in images:
        assert base64.b64decode(src.split(",", 1)[1])[:8] == b"\x89PNG\r\n\x1a\n"
    assert sum(1 for tag, _ in page.tags if tag == "svg") == 1  # the size plot, inline

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


def test_report_without_its_extra_says_what_to_install(tmp_path):
    shim = tmp_path / "shim"
    shim.mkdir()
    (shim / "logomaker.py").write_text("raise ModuleNotFoundError(\"No module named 'logomaker'\", name='logomaker')\n")
    env = dict(os.environ, PYTHONPATH=str(shim))
    result = subprocess.run([KELVARA, "cluster", EXAMPLE, "-o", tmp_path / "out.tsv", "--report",
                             tmp_path / "report.html"], capture_output=True, env=env)
    assert result.returncode == 2
    assert result.stderr.decode() == ("kelvara: --report needs matplotlib and logomaker (logomaker is missing): "
                                      "pip install 'kelvara[report]'\n")
    assert os.listdir(tmp_path) == ["shim"] and leftovers(tmp_path) == []
