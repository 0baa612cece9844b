"""Output of the command line: clusters as a table and in CD-HIT's layout, the summary as JSON.

Every file is written under a temporary name beside its target and renamed only once all of them are
complete, so a failed or interrupted run leaves none of them behind, not even a partial one.
"""

import gc
import json
import operator
import os
import tempfile

TSV_COLUMNS = ("peptide", "length", "count", "centroid", "cluster_members", "cluster_count")


class Cluster:
    """The peptides of one length that share a centroid, the centroid first, then by count."""

    __slots__ = ("centroid", "length", "members", "total", "order")

    def __init__(self, centroid, length, members, total):
        self.centroid = centroid
        self.length = length
        self.members = members  # [(peptide, count)]
        self.total = total  # summed counts
        # Sort key, largest first: most members, then the largest summed count, then length and centroid.
        self.order = (-len(members), -total, length, centroid)


def build_clusters(length, counts, mapping):
    """Group a mapping by centroid into Clusters, in no particular order (sort by cluster_order)."""
    # Millions of member tuples, none in a cycle: the collector would only rescan them, again and again.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _build_clusters(length, counts, mapping)
    finally:
        if collecting:
            gc.enable()


def _build_clusters(length, counts, mapping):
    groups = {}
    for peptide, centroid in mapping.items():
        group = groups.get(centroid)
        if group is None:
            groups[centroid] = [(peptide, counts[peptide])]
        else:
            group.append((peptide, counts[peptide]))
    clusters = []
    for centroid, members in groups.items():
        if len(members) == 1:  # most clusters: nothing to sort or add up
            clusters.append(Cluster(centroid, length, members, members[0][1]))
        else:
            # After refinement a centroid may itself belong to another cluster; it then simply is not listed.
            members.sort(key=lambda m: (m[0] != centroid, -m[1], m[0]))
            clusters.append(Cluster(centroid, length, members, sum(count for _, count in members)))
    return clusters


cluster_order = operator.attrgetter("order")


class PendingFiles:
    """Files written under temporary names beside their targets, renamed together by commit()."""

    def __init__(self):
        self._pending = []  # (temporary path, target)

    def open(self, target):
        if os.path.exists(target) and not os.path.isfile(target):
            # A device or a pipe, /dev/stdout say, is written as it is: renaming over it would replace it.
            return open(target, "w", encoding="utf-8", newline="\n")
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
    for c in clusters:
        if len(c.members) == 1:
            peptide, count = c.members[0]
            f.write(f"{peptide}\t{c.length}\t{count}\t{c.centroid}\t1\t{c.total}\n")
        else:
            end = f"\t{c.centroid}\t{len(c.members)}\t{c.total}\n"
            f.write("".join(f"{peptide}\t{c.length}\t{count}{end}" for peptide, count in c.members))


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
