"""A self-contained HTML page about one run: parameters, summary, cluster sizes and the largest clusters.

Its figures are SVG written by kelvara.report.svg and embedded inline, so the page needs no network, no
server and nothing installed beside kelvara.
"""

import html
import math
import os

from kelvara.io.inputs import display_name
from kelvara.report import svg

MEMBERS_SHOWN = 12  # rows of a cluster's member table before the rest folds away
MEMBERS_LISTED = 500  # beyond this the TSV is the place to look

# Residue colours by chemistry, as is usual for protein logos; anything else is grey.
_COLOURS = {}
for _letters, _colour in (("GSTYC", "#0f9d58"), ("NQ", "#8e44ad"), ("KRH", "#1a5fb4"), ("DE", "#d7263d"),
                          ("AVLIPWFM", "#222222")):
    _COLOURS.update(dict.fromkeys(_letters, _colour))
_LENGTH_COLOURS = ("#1a5fb4", "#d7263d", "#0f9d58", "#e5a50a", "#8e44ad", "#00838f", "#6d4c41", "#c2185b")


def missing():
    """None: the report needs nothing beside kelvara (kept for callers that ask)."""
    return None


class Cluster:
    """One of the largest clusters: its centroid, length, summed count and members as (peptide, count,
    similarity to the centroid), the centroid first."""

    def __init__(self, centroid, length, total, members):
        self.centroid, self.length, self.total, self.members = centroid, length, total, members


def write_report(f, summary, peptides, shown=12):
    """Write the page to the binary sink f, from a clustered native peptide table."""
    clusters = [Cluster(*peptides.members(k)) for k in range(min(shown, peptides.units("clstr")))]
    title = "kelvara clusters: " + ", ".join(display_name(os.path.basename(s["name"])) for s in summary["inputs"])
    parts = [_HEAD.replace("<title>kelvara clusters</title>", f"<title>{_e(title)}</title>"), "<main>",
             _title(summary), _overview(summary), _lengths_table(summary),
             "<section><h2>Cluster sizes</h2>", _size_plot(peptides.sizes()), "</section>"]
    if summary.get("samples"):
        parts.append(_samples(summary, peptides, clusters))
    top = clusters
    parts.append(f"<section><h2>The {len(top)} largest clusters</h2>"
                 "<p class=note>Most members first. Logos are weighted by count, in bits; shaded columns are the "
                 "anchor positions. Residues that differ from the centroid are marked.</p>")
    positions = {r["length"]: r["positions"] for r in summary["lengths"]}
    for rank, cluster in enumerate(top, 1):
        parts.append(_cluster_card(rank, cluster, positions[cluster.length]))
    parts.append("</section>")
    parts.append(_parameters(summary))
    parts.append("</main></body></html>\n")
    f.write("\n".join(parts).encode())


def _samples(summary, peptides, clusters):
    """A line per sample, and the largest clusters' share of each sample's summed count as a heatmap."""
    samples = summary["samples"]
    rows = "".join(f"<tr><td>{_e(display_name(s['name']))}</td><td>{s['peptides']:,}</td><td>{s['count']:,}</td>"
                   f"<td>{s['clusters']:,}</td></tr>" for s in samples)
    table = ("<table class=num><thead><tr><th>sample</th><th>peptides</th><th>summed count</th><th>clusters</th>"
             f"</tr></thead><tbody>{rows}</tbody></table>")
    if not clusters:
        return f"<section><h2>Samples</h2>{table}</section>"
    share = []
    for k in range(len(clusters)):
        counts = peptides.cluster_samples(k)
        share.append([100.0 * c / s["count"] if s["count"] else 0.0 for (c, _), s in zip(counts, samples)])
    figure = svg.heatmap(share, [f"#{k + 1} {c.centroid}" for k, c in enumerate(clusters)],
                         [display_name(s["name"]) for s in samples], "The largest clusters across samples",
                         "% of the sample")
    return (f"<section><h2>Samples</h2>{table}<figure class=plot>{figure}</figure>"
            "<p class=note>Each cell: the cluster's share of the sample's summed count.</p></section>")


def _e(value):
    return html.escape(str(value), quote=True)


def _title(summary):
    names = ", ".join(display_name(s["name"]) for s in summary["inputs"])
    return f"<header><h1>kelvara clusters</h1><p class=sub>{_e(names)}</p></header>"


def _overview(summary):
    peptides = summary["peptides"]
    lengths = summary["lengths"]
    clusters = sum(r["clusters"] for r in lengths)
    singletons = sum(r["singletons"] for r in lengths)
    kept = peptides["kept"]
    tiles = [
        ("peptides kept", f"{kept:,}", f"of {peptides['read']:,} read"),
        ("clusters", f"{clusters:,}", f"{kept / clusters:.2f} peptides each" if clusters else ""),
        ("singletons", f"{singletons:,}", f"{100 * singletons / clusters:.1f} % of clusters" if clusters else ""),
        ("lengths", ", ".join(str(r["length"]) for r in lengths), f"summed count {peptides['count']:,}"),
        ("seconds", _seconds(sum(summary["seconds"].values())), _phases(summary)),
    ]
    cells = "".join(f"<div class=tile><div class=label>{_e(a)}</div><div class=value>{_e(b)}</div>"
                    f"<div class=small>{_e(c)}</div></div>" for a, b, c in tiles)
    return f"<section class=tiles>{cells}</section>"


def _seconds(value):
    return f"{value:.2f}" if value < 10 else f"{value:,.0f}"


def _phases(summary):
    """The phases so far (the report's own time is not known yet)."""
    return ", ".join(f"{k} {v:.2f}" for k, v in summary["seconds"].items())


def _lengths_table(summary):
    rows = []
    for r in summary["lengths"]:
        largest = r["largest"][0] if r["largest"] else None
        refine = r["refinement"]
        rows.append(
            f"<tr><td>{r['length']}</td><td>{_e(','.join(map(str, r['positions'])))}</td>"
            f"<td>{r['anchors']:,}</td><td>{r['count']:,}</td><td>{r['clusters']:,}</td>"
            f"<td>{r['singletons']:,}</td><td>{r['comparisons']:,}</td>"
            f"<td>{'' if refine is None else refine['passes']}</td>"
            f"<td class=pep>{_e(largest['centroid']) if largest else ''}</td>"
            f"<td>{'' if largest is None else format(largest['members'], ',')}</td></tr>")
    left = summary["peptides"]["left_out_by_length"]
    note = ""
    if left:
        note = ("<p class=note>Left out, too short for the anchor positions: "
                + ", ".join(f"{n:,} of length {length}" for length, n in left.items()) + ".</p>")
    return ("<section><h2>By length</h2><table class='num wide'><thead><tr><th>length</th><th>anchor positions</th>"
            "<th>peptides</th><th>summed count</th><th>clusters</th><th>singletons</th><th>comparisons</th>"
            "<th>refinement passes</th><th>largest cluster</th><th>members</th></tr></thead><tbody>"
            + "".join(rows) + "</tbody></table>" + note + "</section>")


def _parameters(summary):
    p = summary["parameters"]
    items = [
        ("threshold", p["threshold"]),
        ("anchor positions", ",".join(map(str, p["positions"])) + " (from 0; negative from the end)"),
        ("anchor weight", p["weight"]),
        ("length", "all" if p["length"] is None else p["length"]),
        ("block search", "off" if not p["block_search"]
         else f"on, at most {p['max_probes'] or 'any number of'} blocks, bound {p['min_block_bound']}"),
        ("refinement", "none" if not p["refine"]
         else f"up to {p['refine']} passes, cap {p['cap']}, merge {'on' if p['merge'] else 'off'}"
              f" (cap {p['merge_cap'] or 'none'}), {'fast' if p['fast_medoid'] else 'exact'} medoids"),
        ("threads", p["threads"] or "one per processor"),
        ("kelvara", summary["kelvara"]),
    ]
    inputs = "".join(f"<tr><td>{_e(display_name(s['name']))}</td><td>{_e(s['kind'])}</td><td>{s['records']:,}</td></tr>"
                     for s in summary["inputs"])
    dl = "".join(f"<dt>{_e(k)}</dt><dd>{_e(v)}</dd>" for k, v in items)
    return (f"<section class=cols><div><h2>Parameters</h2><dl>{dl}</dl></div>"
            f"<div><h2>Inputs</h2><table class=num><thead><tr><th>file</th><th>read as</th><th>records</th>"
            f"</tr></thead><tbody>{inputs}</tbody></table></div></section>")


def _size_plot(by_length):
    """Clusters per size (members), and the share of peptides in clusters at least that large, per length;
    by_length is {length: {members: clusters}}."""
    return f"<figure class=plot>{svg.size_plot(by_length, _LENGTH_COLOURS)}</figure>"


def logo_bits(members, length):
    """Letter heights in bits per position, the members weighted by count: (letters, one row per position)."""
    letters = sorted({ch for peptide, *_ in members for ch in peptide})
    weights = [count for _, count, *_ in members]
    if sum(weights) == 0:
        weights = [1] * len(weights)  # counts of zero still deserve a logo
    column = {ch: j for j, ch in enumerate(letters)}
    matrix = [[0] * len(letters) for _ in range(length)]
    for (peptide, *_), weight in zip(members, weights):
        for i, ch in enumerate(peptide):
            matrix[i][column[ch]] += weight
    total = sum(weights)
    rows = []
    for row in matrix:
        p = [v / total for v in row]
        information = math.log2(20) + sum(x * math.log2(x) for x in p if x > 0)
        rows.append([x * information for x in p])
    return letters, rows


def _logo(cluster, positions):
    letters, bits = logo_bits(cluster.members, cluster.length)
    return svg.logo(letters, bits, positions, _COLOURS, f"sequence logo of the cluster of {cluster.centroid}")


def _plural(n, word):
    return f"{n:,} {word}" + ("" if n == 1 else "s")


def _marked(peptide, centroid):
    return "".join(f"<b>{ch}</b>" if ch != c else ch for ch, c in zip(peptide, centroid))


def _member_rows(cluster, members):
    rows = []
    for peptide, count, similarity in members:
        star = " <span class=star title=centroid>★</span>" if peptide == cluster.centroid else ""
        rows.append(f"<tr><td class=pep>{_marked(peptide, cluster.centroid)}{star}</td><td>{count:,}</td>"
                    f"<td>{similarity:.3f}</td></tr>")
    return "".join(rows)


def _cluster_card(rank, cluster, positions):
    members = cluster.members[:MEMBERS_LISTED]
    head = "<table class='num members'><thead><tr><th>peptide</th><th>count</th><th title='to the centroid, as clustering measures it'>similarity</th></tr></thead>"
    table = head + "<tbody>" + _member_rows(cluster, members[:MEMBERS_SHOWN]) + "</tbody></table>"
    if len(members) > MEMBERS_SHOWN:
        more = len(cluster.members) - MEMBERS_SHOWN
        table += (f"<details><summary>{more:,} more</summary>{head}<tbody>"
                  + _member_rows(cluster, members[MEMBERS_SHOWN:]) + "</tbody></table>")
        if len(cluster.members) > MEMBERS_LISTED:
            table += f"<p class=note>… and {len(cluster.members) - MEMBERS_LISTED:,} more in the TSV.</p>"
        table += "</details>"
    return (f"<article class=cluster><div class=chead><span class=rank>#{rank}</span>"
            f"<span class=pep>{_e(cluster.centroid)}</span>"
            f"<span class=meta>{cluster.length}-mer · {_plural(len(cluster.members), 'peptide')} · "
            f"summed count {cluster.total:,}</span></div>"
            f"<div class=cbody><div class=logo>{_logo(cluster, positions)}</div>"
            f"<div class=table>{table}</div></div></article>")


_HEAD = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kelvara clusters</title>
<style>
:root { --ink: #1d1f21; --muted: #5f6368; --line: #e3e5e8; --bg: #f6f7f9; --accent: #1a5fb4; }
* { box-sizing: border-box; }
body { margin: 0; background: var(--bg); color: var(--ink);
  font: 15px/1.5 system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif; }
main { max-width: 1120px; margin: 0 auto; padding: 28px 24px 60px; }
header h1 { margin: 0; font-size: 26px; letter-spacing: -0.01em; }
header .sub { margin: 2px 0 18px; color: var(--muted); word-break: break-all; }
h2 { font-size: 18px; margin: 0 0 10px; }
section { background: #fff; border: 1px solid var(--line); border-radius: 10px; padding: 18px 20px;
  margin: 0 0 18px; }
section.tiles { display: grid; grid-template-columns: repeat(auto-fit, minmax(170px, 1fr)); gap: 12px;
  background: none; border: 0; padding: 0; }
.tile { background: #fff; border: 1px solid var(--line); border-radius: 10px; padding: 12px 16px; }
.tile .label { color: var(--muted); font-size: 12px; text-transform: uppercase; letter-spacing: 0.05em; }
.tile .value { font-size: 24px; font-weight: 600; font-variant-numeric: tabular-nums; }
.tile .small { color: var(--muted); font-size: 13px; }
table { border-collapse: collapse; font-variant-numeric: tabular-nums; }
th, td { padding: 4px 10px; border-bottom: 1px solid var(--line); text-align: right; white-space: nowrap; }
th { font-weight: 600; font-size: 13px; color: var(--muted); white-space: normal; vertical-align: bottom; }
table.wide { width: 100%; }
th:first-child, td:first-child { text-align: left; padding-left: 0; }
tbody tr:last-child td { border-bottom: 0; }
.pep { font-family: ui-monospace, "SFMono-Regular", "DejaVu Sans Mono", Menlo, Consolas, monospace;
  letter-spacing: 0.06em; }
td.pep b { color: #d7263d; font-weight: 700; }
.note { color: var(--muted); font-size: 13px; margin: 8px 0 0; }
figure.plot { margin: 0; }
figure.plot svg { width: 100%; height: auto; }
article.cluster { border-top: 1px solid var(--line); padding: 16px 0 6px; }
article.cluster:first-of-type { margin-top: 12px; }
.chead { display: flex; align-items: baseline; gap: 14px; flex-wrap: wrap; margin-bottom: 8px; }
.chead .rank { color: var(--muted); font-weight: 600; }
.chead .pep { font-size: 19px; font-weight: 600; color: var(--accent); }
.chead .meta { color: var(--muted); }
.cbody { display: flex; gap: 28px; align-items: flex-start; flex-wrap: wrap; }
.logo svg { width: 420px; max-width: 100%; height: auto; display: block; }
.star { color: #e5a50a; }
details summary { cursor: pointer; color: var(--accent); margin: 6px 0; font-size: 14px; }
section.cols { display: grid; grid-template-columns: 1fr 1fr; gap: 24px; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: 4px 16px; margin: 0; }
dt { color: var(--muted); }
dd { margin: 0; }
@media (max-width: 760px) { section.cols { grid-template-columns: 1fr; } }
</style></head><body>"""
