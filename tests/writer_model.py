"""A slow, plain model of the command line's outputs: from the peptides as read and the mapping of each
length, the clusters in their order, the table, the .clstr file and the FASTA of centroids."""

import model


def cluster_list(counts, mappings):
    """Clusters of every length in output order, as (centroid, length, [(peptide, count)], summed count);
    `counts` is {peptide: count} in first-appearance order, `mappings` {length: {peptide: centroid}}."""
    clusters = []
    for length, mapping in mappings.items():
        groups = {}
        for peptide, centroid in mapping.items():
            groups.setdefault(centroid, []).append((peptide, counts[peptide]))
        for centroid, members in groups.items():
            # After refinement a centroid may be a member of another cluster: it is then not listed.
            members.sort(key=lambda m: (m[0] != centroid, -m[1], m[0]))
            clusters.append((centroid, length, members, sum(c for _, c in members)))
    clusters.sort(key=lambda c: (-len(c[2]), -c[3], c[1], c[0]))
    return clusters


def table(clusters, positions, weight, separator="\t"):
    """The table's text; similarity by the model's tables for each length's positions."""
    lines = [separator.join(("peptide", "length", "count", "cluster", "centroid", "similarity", "cluster_members",
                             "cluster_count"))]
    tables = {}
    for number, (centroid, length, members, total) in enumerate(clusters):
        if length not in tables:
            tables[length] = model.sim_tables(length, positions(length), weight)
        for peptide, count in members:
            similarity = model.full_sim(tables[length], peptide.encode(), centroid.encode())
            lines.append(separator.join(map(str, (peptide, length, count, number, centroid, repr(similarity),
                                                  len(members), total))))
    return "\n".join(lines) + "\n"


def clstr(clusters, records=None):
    """CD-HIT's layout; `records` {peptide: [record names]} lists FASTA peptides once per record."""
    records = records or {}
    out = []
    for number, (centroid, length, members, _) in enumerate(clusters):
        out.append(f">Cluster {number}\n")
        entry = 0
        for peptide, _ in members:
            for j, name in enumerate(records.get(peptide, [peptide])):
                if peptide == centroid and j == 0:
                    mark = "*"
                else:
                    same = sum(a == b for a, b in zip(peptide, centroid))
                    mark = f"at {100.0 * same / len(peptide):.2f}%"
                out.append(f"{entry}\t{length}aa, >{name}... {mark}\n")
                entry += 1
    return "".join(out)


def centroids(clusters, records=None):
    records = records or {}
    return "".join(f">{records.get(c, [c])[0]} cluster={n} members={len(m)} count={t}\n{c}\n"
                   for n, (c, _, m, t) in enumerate(clusters))
