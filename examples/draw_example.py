"""Draw the example peptide file, examples/peptides.tsv, from real protein sequences.

The proteins are the 20,000 UniProt entries shipped by Debian's mmseqs2-examples package
(/usr/share/doc/mmseqs2/example-data/DB.fasta.gz; UniProt data, CC BY 4.0: apt-get install mmseqs2-examples).
Like the benchmark data, peptides are windows of these proteins that fit the anchor residues of common HLA
class I alleles, and abundance is skewed, so the counts (how often a peptide was drawn) are too: most peptides
are seen once, a few very often. Abundance goes by protein family, proteins linked by a shared 12-residue
window, falling as rank ** -1.3 and shared evenly by the family's members, the way paralogues are presented
together; the homologous windows they give are what forms clusters beyond identical anchors. Lengths 8 to
11, mostly 9. The draw is seeded, so running

    python examples/draw_example.py

writes the same file every time.
"""

import argparse
import gzip
import random

DB = "/usr/share/doc/mmseqs2/example-data/DB.fasta.gz"
AMINO_ACIDS = set("ACDEFGHIKLMNPQRSTVWY")

# Anchor residues by position (0-based; -1 is the C-terminus) and the share of each allele in the sample.
ALLELES = (
    ("A*02:01", 0.30, {1: "LM", -1: "VLI"}),
    ("A*03:01", 0.15, {1: "LVIT", -1: "KR"}),
    ("B*07:02", 0.15, {1: "P", -1: "LMF"}),
    ("A*24:02", 0.12, {1: "YF", -1: "FLIW"}),
    ("A*01:01", 0.10, {2: "DE", -1: "Y"}),
    ("B*08:01", 0.10, {2: "KR", 4: "KR", -1: "L"}),
    ("C*07:02", 0.08, {1: "RY", -1: "LFY"}),
)
LENGTHS = ((8, 0.12), (9, 0.60), (10, 0.18), (11, 0.10))


def read_proteins(path):
    proteins, parts = [], []
    with gzip.open(path, "rt") as f:
        for line in f:
            if line.startswith(">"):
                if parts:
                    proteins.append("".join(parts))
                parts = []
            else:
                parts.append(line.strip())
    if parts:
        proteins.append("".join(parts))
    return proteins


def families(proteins, k=12):
    """Proteins linked by a shared k-residue window (low-complexity windows ignored), as lists of indices."""
    parent = list(range(len(proteins)))

    def root(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    first_seen = {}
    for i, protein in enumerate(proteins):
        for j in range(len(protein) - k + 1):
            window = protein[j:j + k]
            if len(set(window)) < 6:
                continue
            other = first_seen.setdefault(window, i)
            if other != i:
                a, b = root(other), root(i)
                if a != b:
                    parent[a] = b
    groups = {}
    for i in range(len(proteins)):
        groups.setdefault(root(i), []).append(i)
    return sorted(groups.values())  # sorted so the draw does not depend on dict order


def fits(window, anchors):
    return all(window[position] in residues for position, residues in anchors.items())


def draw(proteins, n, seed):
    rng = random.Random(seed)
    groups = families(proteins)
    rng.shuffle(groups)
    abundance = [(rank + 1) ** -1.3 for rank in range(len(groups))]
    motifs = [anchors for _, _, anchors in ALLELES]
    motif_weights = [share for _, share, _ in ALLELES]
    lengths = [length for length, _ in LENGTHS]
    length_weights = [share for _, share in LENGTHS]
    counts = {}
    while len(counts) < n:
        protein = proteins[rng.choice(rng.choices(groups, abundance)[0])]
        anchors = rng.choices(motifs, motif_weights)[0]
        length = rng.choices(lengths, length_weights)[0]
        windows = [protein[i:i + length] for i in range(len(protein) - length + 1)]
        windows = [w for w in windows if set(w) <= AMINO_ACIDS and fits(w, anchors)]
        if windows:
            peptide = rng.choice(windows)
            counts[peptide] = counts.get(peptide, 0) + 1
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--db", default=DB, help="protein FASTA, gzip (default: %(default)s)")
    parser.add_argument("--n", type=int, default=4000, help="unique peptides (default 4000)")
    parser.add_argument("--seed", type=int, default=2026, help="default 2026")
    parser.add_argument("-o", "--output", default="examples/peptides.tsv", help="default %(default)s")
    args = parser.parse_args()
    counts = draw(read_proteins(args.db), args.n, args.seed)
    with open(args.output, "w") as f:
        f.write("peptide\tcount\n")
        for peptide, count in counts.items():
            f.write(f"{peptide}\t{count}\n")


if __name__ == "__main__":
    main()
