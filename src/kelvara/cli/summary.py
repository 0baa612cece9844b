"""The summary of a run, as standard error shows it."""

from kelvara.io.inputs import display_name

def format_summary(summary, written):
    peptides = summary["peptides"]
    inputs = summary["inputs"]
    lines = [f"kelvara: {peptides['read']:,} unique peptides read from {len(inputs)} "
             f"input{'s' if len(inputs) != 1 else ''} ({peptides['records']:,} records), {peptides['kept']:,} kept"]
    for length, n in peptides["left_out_by_length"].items():
        lines.append(f"  left out {n:,} peptides of length {length}, too short for the anchor positions")
    if "stripped" in peptides:
        lines.append(f"  stripped modifications from {peptides['stripped']:,} records")
    if "not_quantified" in peptides:
        lines.append(f"  left out {peptides['not_quantified']:,} rows not quantified (empty, NaN or 0)")
    for sample in summary.get("samples", []):
        lines.append(f"  sample {display_name(sample['name'])}: {sample['peptides']:,} peptides, summed count "
                     f"{sample['count']:,}, in {sample['clusters']:,} clusters")
    if "reference" in summary:
        r = summary["reference"]
        lines.append(f"  assigned to {display_name(r['name'])}: {r['joined']:,} peptides joined "
                     f"{r['reference_clusters_joined']:,} of its {r['clusters']:,} clusters; "
                     f"{r['new_clusters']:,} new clusters")
    for warning in summary.get("warnings", []):
        lines.append(f"  warning: {warning}")
    header = ("length", "positions", "anchors", "clusters", "singletons", "comparisons", "largest clusters")
    rows = []
    for r in summary["lengths"]:
        largest = ", ".join(f"{c['centroid']} ({c['members']:,}/{c['count']:,})" for c in r["largest"])
        rows.append((str(r["length"]), ",".join(map(str, r["positions"])), f"{r['anchors']:,}",
                     f"{r['clusters']:,}", f"{r['singletons']:,}", f"{r['comparisons']:,}", largest))
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header) - 1)]
    for row in [header] + rows:
        cells = [cell.rjust(width) for cell, width in zip(row, widths)]
        lines.append("  " + "  ".join(cells + [row[-1]]).rstrip())
    lines.append("  (largest clusters: centroid (members/summed count))")
    for r in summary["lengths"]:
        stats = r["refinement"]
        if stats is not None:
            lines.append(f"  refined {r['length']}-mers: {stats['passes']} passes, {stats['medoid_changes']:,} medoid "
                         f"changes, {stats['reassignments']:,} reassignments, {stats['merges']:,} merges, "
                         f"{stats['initial_clusters']:,} -> {stats['final_clusters']:,} clusters")
    phases = ", ".join(f"{phase} {seconds:.2f}" for phase, seconds in summary["seconds"].items() if phase != "total")
    lines.append(f"seconds: {phases}; total {summary['seconds'].get('total', 0.0):.2f}")
    lines.append("wrote " + ", ".join("standard output" if w == "-" else display_name(w) for w in written))
    return "\n".join(lines) + "\n"
