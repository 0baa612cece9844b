"""Greedy BLOSUM62-weighted clustering of peptide anchors, with a native core."""

from kelvara._core import InternalError, cluster_anchors, refine_clusters

__all__ = ["cluster_anchors", "refine_clusters", "InternalError"]
