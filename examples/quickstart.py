"""Cluster a handful of anchors, then refine the clustering, and print what comes back."""

from kelvara import cluster_anchors, refine_clusters

anchor_counts = {
    "SLYNTVATL": 120,  # HLA-A*02:01-like 9-mers: anchors at positions 1 and 8
    "SLYNTVAVL": 40,
    "SLFNTVATL": 15,
    "GILGFVFTL": 300,
    "GILGFVFTV": 12,
    "NLVPMVATV": 80,
    "NLVPMVATI": 9,
}  # every anchor of a call must have the same length

mapping, n_comparisons, n_early_exits = cluster_anchors(anchor_counts, 0.7, anchor_positions=[1, 8])
print("greedy clustering (most frequent first):")
for anchor, centroid in mapping.items():
    print(f"  {anchor} -> {centroid}")
print(f"  comparisons: {n_comparisons}, early exits: {n_early_exits}")

refined, stats = refine_clusters(anchor_counts, mapping, 0.7, 5, anchor_positions=[1, 8])
print("refined:")
for anchor, centroid in refined.items():
    print(f"  {anchor} -> {centroid}")
print("  " + ", ".join(f"{key} {value}" for key, value in stats.items()))
