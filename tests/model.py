"""Slow, plain-Python reference model of kelvara's clustering.

Every floating-point operation runs in the same order as in the native module,
so results must agree bit for bit. Anchors are handled as UTF-8 bytes; a byte
of 128 or more is treated like any other non-alphabet residue.
"""

import math

ALPHABET = "ARNDCQEGHILKMFPSTWYV"

# fmt: off
BLOSUM62 = [
    #A   R   N   D   C   Q   E   G   H   I   L   K   M   F   P   S   T   W   Y   V
    [ 4, -1, -2, -2,  0, -1, -1,  0, -2, -1, -1, -1, -1, -2, -1,  1,  0, -3, -2,  0],  # A
    [-1,  5,  0, -2, -3,  1,  0, -2,  0, -3, -2,  2, -1, -3, -2, -1, -1, -3, -2, -3],  # R
    [-2,  0,  6,  1, -3,  0,  0,  0,  1, -3, -3,  0, -2, -3, -2,  1,  0, -4, -2, -3],  # N
    [-2, -2,  1,  6, -3,  0,  2, -1, -1, -3, -4, -1, -3, -3, -1,  0, -1, -4, -3, -3],  # D
    [ 0, -3, -3, -3,  9, -3, -4, -3, -3, -1, -1, -3, -1, -2, -3, -1, -1, -2, -2, -1],  # C
    [-1,  1,  0,  0, -3,  5,  2, -2,  0, -3, -2,  1,  0, -3, -1,  0, -1, -2, -1, -2],  # Q
    [-1,  0,  0,  2, -4,  2,  5, -2,  0, -3, -3,  1, -2, -3, -1,  0, -1, -3, -2, -2],  # E
    [ 0, -2,  0, -1, -3, -2, -2,  6, -2, -4, -4, -2, -3, -3, -2,  0, -2, -2, -3, -3],  # G
    [-2,  0,  1, -1, -3,  0,  0, -2,  8, -3, -3, -1, -2, -1, -2, -1, -2, -2,  2, -3],  # H
    [-1, -3, -3, -3, -1, -3, -3, -4, -3,  4,  2, -3,  1,  0, -3, -2, -1, -3, -1,  3],  # I
    [-1, -2, -3, -4, -1, -2, -3, -4, -3,  2,  4, -2,  2,  0, -3, -2, -1, -2, -1,  1],  # L
    [-1,  2,  0, -1, -3,  1,  1, -2, -1, -3, -2,  5, -1, -3, -1,  0, -1, -3, -2, -2],  # K
    [-1, -1, -2, -3, -1,  0, -2, -3, -2,  1,  2, -1,  5,  0, -2, -1, -1, -1, -1,  1],  # M
    [-2, -3, -3, -3, -2, -3, -3, -3, -1,  0,  0, -3,  0,  6, -4, -2, -2,  1,  3, -1],  # F
    [-1, -2, -2, -1, -3, -1, -1, -2, -2, -3, -3, -1, -2, -4,  7, -1, -1, -4, -3, -2],  # P
    [ 1, -1,  1,  0, -1,  0,  0,  0, -1, -2, -2,  0, -1, -2, -1,  4,  1, -3, -2, -2],  # S
    [ 0, -1,  0, -1, -1, -1, -1, -2, -2, -1, -1, -1, -1, -2, -1,  1,  5, -2, -2,  0],  # T
    [-3, -3, -4, -4, -2, -2, -3, -2, -2, -3, -2, -3, -1,  1, -4, -3, -2, 11,  2, -3],  # W
    [-2, -2, -2, -3, -2, -1, -2, -3,  2, -1, -1, -2, -1,  3, -3, -2, -2,  2,  7, -1],  # Y
    [ 0, -3, -3, -3, -1, -2, -2, -3, -3,  3,  1, -2,  1, -1, -2, -2,  0, -3, -1,  4],  # V
]
# fmt: on

SELF_SCORES = [float(BLOSUM62[i][i]) for i in range(20)]

GROUPS = ["AST", "VILM", "FYW", "DE", "KR", "NQ", "G", "H", "C", "P"]

NO_GROUP = 255


def fdiv(a, b):
    """IEEE division: Python raises on a zero divisor where C++ gives inf or NaN."""
    if b != 0.0:
        return a / b
    if a == 0.0 or math.isnan(a) or math.isnan(b):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def normalised(x, y):
    """N(x, y) for residue indices: product, then square root, then division."""
    return float(BLOSUM62[x][y]) / math.sqrt(SELF_SCORES[x] * SELF_SCORES[y])


N_TABLE = [[normalised(x, y) for y in range(20)] for x in range(20)]

RESIDUE_GROUP = [NO_GROUP] * 256  # bytes 128..255 are non-alphabet too
for _g, _letters in enumerate(GROUPS):
    for _ch in _letters:
        RESIDUE_GROUP[ord(_ch)] = _g


class SimTables:
    """Per-call similarity tables (read-only after construction)."""

    def __init__(self, anchor_len, positions, anchor_weight):
        L = anchor_len
        weight = [1.0] * L
        for p in positions:
            weight[p] = anchor_weight
        total_weight = -0.0
        for p in range(L):
            total_weight = total_weight + weight[p]
        # Stable sort: heavier first, equal weights by position.
        order = sorted(range(L), key=lambda p: -weight[p])
        pos_tables = []
        for p in range(L):
            s_p = fdiv(weight[p], total_weight)
            table = [0.0] * (128 * 128)
            for xi, xc in enumerate(ALPHABET):
                for yi, yc in enumerate(ALPHABET):
                    table[ord(xc) * 128 + ord(yc)] = N_TABLE[xi][yi] * s_p
            pos_tables.append(table)
        suffix_bound = [0.0] * (L + 1)
        for k in range(L - 1, -1, -1):
            suffix_bound[k] = fdiv(weight[order[k]], total_weight) + suffix_bound[k + 1]
        group_max = []
        for g in GROUPS:
            row = []
            for h in GROUPS:
                m = -math.inf
                for xc in g:
                    for yc in h:
                        v = N_TABLE[ALPHABET.index(xc)][ALPHABET.index(yc)]
                        if v > m:
                            m = v
                row.append(m)
            group_max.append(row)
        scale = [fdiv(weight[p], total_weight) for p in range(L)]
        anchor_share = -0.0
        for p in positions:
            anchor_share = anchor_share + scale[p]

        self.anchor_len = L
        self.positions = list(positions)
        self.scale = scale
        self.order = order
        self.pos_tables = pos_tables
        self.suffix_bound = suffix_bound
        self.anchor_share = anchor_share
        self.residue_group = RESIDUE_GROUP
        self.group_max = group_max

    def entry(self, p, x, y):
        if x >= 128 or y >= 128:
            return 0.0
        return self.pos_tables[p][x * 128 + y]


def sim_tables(anchor_len, positions, anchor_weight):
    return SimTables(anchor_len, positions, anchor_weight)


def anchor_sim(tables, a, b, min_needed):
    """Similarity of byte strings a and b, or -1.0 once min_needed is out of reach."""
    L = tables.anchor_len
    if L == 0:
        return 0.0
    s = 0.0
    for k in range(L):
        p = tables.order[k]
        s = s + tables.entry(p, a[p], b[p])
        if k + 1 < L and min_needed > tables.suffix_bound[k + 1] + s:
            return -1.0
    return s


def full_sim(tables, a, b):
    """The same sum as anchor_sim, never stopping early."""
    s = 0.0
    for k in range(tables.anchor_len):
        p = tables.order[k]
        s = s + tables.entry(p, a[p], b[p])
    return s


def block_key(tables, a):
    key = 0
    for p in tables.positions:
        key = (key << 8) | tables.residue_group[a[p]]
    return key


def block_upper_bound(tables, own_key, other_key):
    k = len(tables.positions)
    u = 1.0 - tables.anchor_share
    for j in range(k):
        shift = 8 * (k - 1 - j)
        g = (own_key >> shift) & 0xFF
        h = (other_key >> shift) & 0xFF
        if g == NO_GROUP or h == NO_GROUP:
            f = 1.0
        else:
            f = tables.group_max[g][h]
        u = u + f * tables.scale[tables.positions[j]]
    return u


def keys_agree(tables, b, c):
    x = b ^ c
    for j in range(len(tables.positions) - 1, -1, -1):
        if (x >> (8 * j)) & 0xFF == 0:
            return True
    return False


def block_neighbours(tables, key, sorted_keys):
    return [key] + [k for k in sorted_keys if k != key and keys_agree(tables, key, k)]


# ---------------------------------------------------------------- input checks


class AnchorTable:
    def __init__(self, texts, anchors, counts, anchor_len):
        self.texts = texts  # the caller's str keys
        self.anchors = anchors  # their UTF-8 bytes
        self.counts = counts
        self.anchor_len = anchor_len


def parse_anchor_counts(anchor_counts):
    texts = list(anchor_counts)
    anchors = [t.encode("utf-8") for t in texts]
    counts = [anchor_counts[t] for t in texts]
    if not anchors:
        return AnchorTable([], [], [], 0)
    anchor_len = len(anchors[0])
    if anchor_len == 0:
        raise ValueError("anchors must be non-empty")
    for a in anchors:
        if len(a) != anchor_len:
            raise ValueError(
                f"all anchors must have the same length; found {anchor_len} and {len(a)}"
            )
    return AnchorTable(texts, anchors, counts, anchor_len)


def check_positions(positions, anchor_len):
    positions = list(positions)
    if not positions:
        raise ValueError("anchor_positions must contain at least one position")
    if len(positions) == 1:
        p = positions[0]
        if p >= anchor_len:
            raise ValueError(f"anchor position {p} is out of range for anchor length {anchor_len}")
        return [p]
    distinct = sorted(set(positions))
    if len(distinct) > 8:
        raise ValueError(f"at most 8 anchor positions are supported, got {len(distinct)}")
    if distinct[-1] >= anchor_len:
        raise ValueError(
            f"anchor position {distinct[-1]} is out of range for anchor length {anchor_len}"
        )
    return distinct


# ------------------------------------------------------------- greedy clustering


def nan_ignoring_max(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return a if a >= b else b


def candidate_blocks(tables, own_key, block_map, effective_cut, max_probes):
    kept = []
    for c in block_map:
        if c == own_key:
            continue
        u = block_upper_bound(tables, own_key, c)
        if u >= effective_cut:
            kept.append((u, c))
    kept.sort(key=lambda uc: (-uc[0], uc[1]))
    if max_probes > 0 and len(kept) > max_probes - 1:
        kept = kept[: max_probes - 1]
    return [c for _, c in kept]


def greedy_cluster(tables, anchors, threshold, block_search, max_probes, effective_cut):
    """Serial first-fit pass over anchors already in processing order."""
    n = len(anchors)
    assignment = [0] * n
    block_map = {}
    n_comparisons = 0
    n_early_exits = 0

    def matches(i, c):
        nonlocal n_comparisons, n_early_exits
        n_comparisons += 1
        r = anchor_sim(tables, anchors[i], anchors[c], threshold)
        if r < 0.0:
            n_early_exits += 1
            return False
        return r >= threshold

    for i in range(n):
        key = block_key(tables, anchors[i])
        candidates = []
        if block_search:
            candidates = candidate_blocks(tables, key, block_map, effective_cut, max_probes)
        found = None
        for c in block_map.get(key, []):
            if matches(i, c):
                found = c
                break
        if found is None and block_search:
            for other in candidates:
                for c in block_map[other]:
                    if matches(i, c):
                        found = c
                        break
                if found is not None:
                    break
        if found is not None:
            assignment[i] = found
        else:
            block_map.setdefault(key, []).append(i)
            assignment[i] = i
    return assignment, n_comparisons, n_early_exits


def cluster_anchors(
    anchor_counts,
    threshold,
    anchor_positions=(1, 5),
    anchor_weight=2.0,
    obg_block_search=False,
    obg_max_probes=0,
    obg_min_block_upper_bound=0.0,
):
    table = parse_anchor_counts(anchor_counts)
    n = len(table.anchors)
    if n == 0:
        return {}, 0, 0
    positions = check_positions(anchor_positions, table.anchor_len)
    tables = sim_tables(table.anchor_len, positions, anchor_weight)
    effective_cut = nan_ignoring_max(threshold, obg_min_block_upper_bound)
    order = sorted(range(n), key=lambda i: -table.counts[i])
    relaid = [table.anchors[i] for i in order]
    assignment, n_comparisons, n_early_exits = greedy_cluster(
        tables, relaid, threshold, obg_block_search, obg_max_probes, effective_cut
    )
    mapping = {}
    for k in range(n):
        mapping[table.texts[order[k]]] = table.texts[order[assignment[k]]]
    return mapping, n_comparisons, n_early_exits


# ------------------------------------------------------------------ medoid step


def _select(candidates, scores, current):
    best = -math.inf
    result = current
    for c, score in zip(candidates, scores):
        if score > best:
            result = c
            best = score
    return result


def medoid_exact_scores(tables, anchors, counts, members):
    scores = []
    for c in members:
        numerator = 0.0
        denominator = 0.0
        for m in members:
            if m == c:
                continue
            s = full_sim(tables, anchors[c], anchors[m])
            w = float(counts[m])
            numerator = numerator + s * w
            denominator = denominator + w
        scores.append(numerator / denominator if denominator > 0.0 else 0.0)
    return scores


def medoid_fast_scores(tables, anchors, counts, members):
    L = tables.anchor_len
    total = 0
    for m in members:
        total = total + counts[m]
    W = float(total)
    contrib = [[0.0] * 256 for _ in range(L)]
    for p in range(L):
        hist = [0] * 256
        for m in members:
            r = anchors[m][p]
            hist[r] = hist[r] + counts[m]
        present = [r for r in range(256) if hist[r] != 0]
        for a in present:
            acc = 0.0
            for b in present:
                acc = acc + float(hist[b]) * tables.entry(p, a, b)
            contrib[p][a] = acc
    scores = []
    for c in members:
        t = 0.0
        for p in range(L):
            t = t + contrib[p][anchors[c][p]]
        w = float(counts[c])
        rest = W - w
        scores.append((t - w) / rest if rest > 0.0 else 0.0)
    return scores


def medoid_exact(tables, anchors, counts, members, current):
    return _select(members, medoid_exact_scores(tables, anchors, counts, members), current)


def medoid_fast(tables, anchors, counts, members, current):
    return _select(members, medoid_fast_scores(tables, anchors, counts, members), current)


# ---------------------------------------------------------------- reassignment


def reassign_one(tables, anchors, i, assignment, block_centroids, neighbours, cap, threshold):
    a = anchors[i]
    key = block_key(tables, a)
    cur = assignment[i]
    best = cur
    best_s = full_sim(tables, a, anchors[cur])
    compared = 0
    for b in neighbours.get(key, []):
        for c in block_centroids.get(b, []):
            if c == cur:
                continue
            if cap > 0 and compared >= cap:
                return best if best != cur and best_s >= threshold else cur
            s = anchor_sim(tables, a, anchors[c], threshold)
            compared += 1
            if s < 0.0:
                continue
            if s > best_s:
                best = c
                best_s = s
    return best if best != cur and best_s >= threshold else cur


# ------------------------------------------------------------------------ merge


def cluster_sizes(assignment, counts):
    size = {}
    for i, c in enumerate(assignment):
        size[c] = size.get(c, 0) + counts[i]
    return size


def merge_step(assignment, table, tables, threshold, merge_cap):
    anchors = table.anchors
    size = cluster_sizes(assignment, table.counts)
    merge_order = sorted(size, key=lambda c: (-size[c], anchors[c]))
    block_centroids = {}
    centroid_block = {}
    for c in merge_order:
        key = block_key(tables, anchors[c])
        block_centroids.setdefault(key, []).append(c)
        centroid_block[c] = key
    sorted_keys = sorted(block_centroids)
    neighbours = {b: block_neighbours(tables, b, sorted_keys) for b in sorted_keys}
    absorbed_into = {}
    n_absorbed = 0
    for c in merge_order:
        if c in absorbed_into:
            continue
        examined = 0
        stop = False
        for key in neighbours[centroid_block[c]]:
            for d in block_centroids.get(key, []):
                if d == c:
                    continue
                if merge_cap > 0 and examined >= merge_cap:
                    stop = True
                    break
                examined += 1
                if d in absorbed_into:
                    continue
                if not size[c] > size[d]:
                    continue
                s = anchor_sim(tables, anchors[c], anchors[d], threshold)
                if s >= threshold:
                    absorbed_into[d] = c
                    n_absorbed += 1
            if stop:
                break
    if absorbed_into:
        for i in range(len(assignment)):
            c = assignment[i]
            while c in absorbed_into:
                c = absorbed_into[c]
            assignment[i] = c
    return n_absorbed


# ------------------------------------------------------------------- refinement


def refine_clusters(
    anchor_counts,
    mapping,
    threshold,
    iterations,
    cap=32,
    merge=True,
    anchor_positions=(1, 5),
    anchor_weight=2.0,
    fast_medoid=False,
    merge_cap=0,
):
    stats = {
        "passes": 0,
        "medoid_changes": 0,
        "reassignments": 0,
        "merges": 0,
        "initial_clusters": 0,
        "final_clusters": 0,
    }
    table = parse_anchor_counts(anchor_counts)
    n = len(table.anchors)
    if n == 0:
        return {}, stats
    positions = check_positions(anchor_positions, table.anchor_len)
    tables = sim_tables(table.anchor_len, positions, anchor_weight)
    anchors = table.anchors
    counts = table.counts
    lookup = {a: i for i, a in enumerate(anchors)}

    assignment = list(range(n))
    for key, value in mapping.items():
        kb = key.encode("utf-8")
        vb = value.encode("utf-8")
        if kb in lookup and vb in lookup:
            assignment[lookup[kb]] = lookup[vb]
    stats["initial_clusters"] = len(set(assignment))

    kernel = medoid_fast if fast_medoid else medoid_exact
    while iterations > 0:
        stats["passes"] += 1

        members = {}
        for i in range(n):
            members.setdefault(assignment[i], []).append(i)
        medoid_map = {}
        for c, ms in members.items():
            if len(ms) == 1:
                medoid_map[c] = c
            else:
                ms.sort(key=lambda i: anchors[i])
                medoid_map[c] = kernel(tables, anchors, counts, ms, c)
        moved = sum(1 for c, new in medoid_map.items() if new != c)
        stats["medoid_changes"] += moved
        changed = moved > 0
        assignment = [medoid_map[c] for c in assignment]

        size = cluster_sizes(assignment, counts)
        block_centroids = {}
        for c in size:
            block_centroids.setdefault(block_key(tables, anchors[c]), []).append(c)
        for cs in block_centroids.values():
            cs.sort(key=lambda c: (-size[c], anchors[c]))
        sorted_keys = sorted(block_centroids)
        neighbours = {b: block_neighbours(tables, b, sorted_keys) for b in sorted_keys}

        proposed = [
            reassign_one(tables, anchors, i, assignment, block_centroids, neighbours, cap, threshold)
            for i in range(n)
        ]
        moved = 0
        for i in range(n):
            if proposed[i] != assignment[i]:
                assignment[i] = proposed[i]
                moved += 1
        stats["reassignments"] += moved
        if moved > 0:
            changed = True

        if merge:
            absorbed = merge_step(assignment, table, tables, threshold, merge_cap)
            stats["merges"] += absorbed
            if absorbed > 0:
                changed = True

        if not changed or stats["passes"] == iterations:
            break

    refined = {table.texts[i]: table.texts[assignment[i]] for i in range(n)}
    stats["final_clusters"] = len(set(assignment))
    return refined, stats
