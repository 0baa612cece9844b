"""Output of the command line: clusters as a table and in CD-HIT's layout, the summary as JSON.

Every file is written under a temporary name beside its target and renamed only once all of them are
complete, so a failed or interrupted run leaves none of them behind, not even a partial one.
"""

import json
import os
import tempfile

TSV_COLUMNS = ("peptide", "length", "count", "centroid", "cluster_members", "cluster_count")


class Cluster:
    """The peptides of one length that share a centroid, the centroid first, then by count."""

    __slots__ = ("centroid", "length", "members", "total")

    def __init__(self, centroid, length, members, total):
        self.centroid = centroid
        self.length = length
        self.members = members  # [(peptide, count)]
        self.total = total  # summed counts


def build_clusters(length, counts, mapping):
    """Group a mapping by centroid into Clusters, in no particular order (see cluster_order)."""
    groups = {}
    for peptide, centroid in mapping.items():
        group = groups.get(centroid)
        if group is None:
            groups[centroid] = group = []
        group.append((peptide, counts[peptide]))
    clusters = []
    for centroid, members in groups.items():
        # After refinement a centroid may itself belong to another cluster; it then simply is not listed.
        members.sort(key=lambda m: (m[0] != centroid, -m[1], m[0]))
        clusters.append(Cluster(centroid, length, members, sum(count for _, count in members)))
    return clusters


def cluster_order(cluster):
    """Sort key: most members first, then the largest summed count, then length and centroid."""
    return (-len(cluster.members), -cluster.total, cluster.length, cluster.centroid)


class PendingFiles:
    """Files written under temporary names beside their targets, renamed together by commit()."""

    def __init__(self):
        self._pending = []  # (temporary path, target)

    def open(self, target):
        directory = os.path.dirname(os.path.abspath(target))
        fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(target) + ".", suffix=".part",
                                         dir=directory)
        self._pending.append((temporary, target))
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)  # what a plain open() would have given the file
        return open(fd, "w", encoding="utf-8", newline="\n")

    def commit(self):
        for temporary, target in self._pending:
            os.replace(temporary, target)
        self._pending = []

    def discard(self):
        for temporary, _ in self._pending:
            try:
                os.unlink(temporary)
            except OSError:
                pass
        self._pending = []


def write_tsv(f, clusters):
    f.write("\t".join(TSV_COLUMNS) + "\n")
    for cluster in clusters:
        tail = f"\t{cluster.length}\t"
        end = f"\t{cluster.centroid}\t{len(cluster.members)}\t{cluster.total}\n"
        f.write("".join(f"{peptide}{tail}{count}{end}" for peptide, count in cluster.members))


def identity(a, b):
    """Share of equal residues of two peptides of one length, in percent."""
    return 100.0 * sum(x == y for x, y in zip(a, b)) / len(a)


def write_clstr(f, clusters):
    """CD-HIT's .clstr layout: clusters numbered from 0, the centroid marked '*', members 'at' % identity."""
    for number, cluster in enumerate(clusters):
        f.write(f">Cluster {number}\n")
        for index, (peptide, _) in enumerate(cluster.members):
            if peptide == cluster.centroid:
                mark = "*"
            else:
                mark = f"at {identity(peptide, cluster.centroid):.2f}%"
            f.write(f"{index}\t{cluster.length}aa, >{peptide}... {mark}\n")


def write_json(f, summary):
    json.dump(summary, f, indent=2)
    f.write("\n")
