"""Greedy BLOSUM62-weighted clustering of peptide anchors, with a native core."""

from kelvara._core import InternalError, cluster_anchors, refine_clusters
from kelvara.table import ClusterTable, cluster_peptides

__all__ = ["cluster_anchors", "refine_clusters", "cluster_peptides", "ClusterTable", "InternalError"]


def _version():
    try:
        from importlib.metadata import version

        return version("kelvara")
    except Exception:  # not installed as a distribution
        return "unknown"


__version__ = _version()
