"""Greedy BLOSUM62-weighted clustering of peptide anchors, with a native core."""

from kelvara._core import InternalError, cluster_anchors, refine_clusters
from kelvara.table import ClusterTable, assign, cluster_peptides

__all__ = ["cluster_anchors", "refine_clusters", "cluster_peptides", "assign", "ClusterTable", "InternalError"]


try:
    from kelvara._version import __version__
except ImportError:  # a checkout that was never built
    __version__ = "unknown"
