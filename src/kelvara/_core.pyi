"""Python module definition"""

from collections.abc import Sequence

__all__ = ["cluster_anchors", "refine_clusters"]

class InternalError(BaseException):
    """A failure inside kelvara that the caller cannot fix, such as a worker pool that cannot start."""

def cluster_anchors(
    anchor_counts: dict[str, int],
    threshold: float,
    anchor_positions: Sequence[int] = ...,
    anchor_weight: float = 2.0,
    obg_block_search: bool = False,
    obg_max_probes: int = 0,
    obg_min_block_upper_bound: float = 0.0,
    threads: int = 1,
) -> tuple[dict[str, str], int, int]:
    """Greedy centroid clustering of unique anchors.

    Args:
        anchor_counts:    dict[str, int] — unique anchors → peptide frequency
        threshold:        float — minimum similarity to join a cluster
        anchor_positions: list[int] — 0-based positions within the anchor that
                          are binding anchors (weighted up + used for blocking)
        anchor_weight:    float — weight of anchor positions (others are 1.0)
        obg_block_search: bool — search neighbouring blocks whose upper bound is
                          at least the threshold, not just the anchor's own block
        obg_max_probes:   int — max blocks searched per anchor (incl. own block);
                          <= 0 means unlimited
        obg_min_block_upper_bound: float — only search blocks whose upper bound
                          is at least this (the effective cut is
                          max(threshold, this))
        threads:          int — worker threads for the greedy pass. 1 = serial
                          (default), 0 = all cores, N = exactly N. Bit-identical
                          to serial. Ignored when obg_block_search is on.

    Returns:
        (mapping, n_comparisons, n_early_exits)
    """

def refine_clusters(
    anchor_counts: dict[str, int],
    mapping: dict[str, str],
    threshold: float,
    iterations: int,
    cap: int = 32,
    merge: bool = True,
    anchor_positions: Sequence[int] = ...,
    anchor_weight: float = 2.0,
    fast_medoid: bool = False,
    merge_cap: int = 0,
    threads: int = 1,
) -> tuple[dict[str, str], dict[str, int]]:
    """Refinement pass on top of greedy clustering output.

    Each pass performs three sub-steps:
      1. Medoid update     — replace each centroid with the member that
                             maximises frequency-weighted mean similarity
                             to the cluster's other members.
      2. Cross-block reassign — for each anchor, find the best centroid above
                             `threshold` across its own block plus neighbouring
                             blocks (blocks agreeing on at least one anchor
                             position). Bounded by `cap` comparisons per anchor.
      3. Centroid merge    — if two centroids satisfy sim >= threshold, absorb
                             the smaller cluster into the larger. Skipped when
                             `merge` is false.

    Stops early when no change occurs in a pass.

    Args:
        anchor_counts:    dict[str, int]  — unique anchor → frequency
        mapping:          dict[str, str]  — unique anchor → centroid
        threshold:        float           — same as initial clustering
        iterations:       int             — max passes
        cap:              int             — max centroid comparisons per anchor
                                            in reassignment. <= 0 means no cap.
        merge:            bool            — run the centroid-merge sub-step
        anchor_positions: list[int]       — 0-based anchor positions
        anchor_weight:    float           — weight of anchor positions
        fast_medoid:      bool            — use the O(N) per-position medoid
                                            decomposition instead of the exact
                                            O(k^2) all-pairs medoid
        merge_cap:        int             — max candidate centroids examined per
                                            centroid in the merge step (own-block
                                            first, largest first). <= 0 = no cap.
        threads:          int             — worker threads for the medoid and
                                            reassignment steps. 1 = serial
                                            (default), 0 = all cores, N = exactly
                                            N. Bit-identical to serial.

    Returns:
        (refined_mapping, stats_dict)
    """
