"""The options of `kelvara cluster`, checked as they are read."""

import argparse
import math

MAX_THREADS = 65535
MAX_PEPTIDE = 1 << 20
_I64 = 2**63 - 1

DESCRIPTION = """\
Cluster the peptides of one or more files. Peptides of each length are clustered
separately: from the most to the least frequent, each peptide joins the first
centroid of its block (the residue groups at the anchor positions) that is at
least --threshold similar to it, or becomes a centroid itself. Similarity is the
BLOSUM62 score of each position, normalised and averaged with the anchor
positions weighing --weight.

inputs (told apart by content and extension; gzip is read transparently;
'-' reads standard input; several files add up their counts):
  peptide<TAB>count lines         a header line is optional; a comma (.csv),
                                  a semicolon or spaces apart do as well
  a plain list of peptides        one per line, each line counts once
  a FASTA file of peptides        each record counts once, or N with
                                  ';size=N' in its header
  a table with a header           TSV or CSV: name the peptide column with
                                  --column (and a count column with
                                  --count-column, else each row counts once)
Peptides are letters only and are read in upper case; --strip-modifications
reads modified sequences, --intensity decimal intensities as counts. With
--samples or --sample-column the clustering is that of the summed counts,
and --sample-table writes how each sample spreads over the clusters.

output: a table with one row per unique peptide (peptide, length, count,
cluster, centroid, similarity, cluster_members, cluster_count), the largest
clusters first (most members, then largest summed count), within a cluster the
centroid first, then by count; similarity is that to the centroid, the measure
that decided membership. -o names a TSV, a CSV if it ends in .csv, gzip if it
ends in .gz, standard output if it is '-'. A summary goes to standard error.

with --dask, the workers of a Dask cluster read the inputs (counts, lists and
tables as above, gzip or plain, and Parquet files or directories), cluster each
block of each length, and write -o as a directory of Parquet files with the
same columns; refinement, block search, --clstr, --centroids and --report stay
on one machine."""

EPILOG = """\
anchor positions count from 0 and, when negative, from the end: the default
1,-1 is the second residue and the C-terminus of every length. Peptides too
short for the positions are left out and counted in the summary.

exit status: 0 done, 1 an output or resource failed, 2 bad input or options,
130 interrupted (Ctrl-C), 128 + N ended by signal N (SIGTERM, SIGHUP), 141 the
output pipe was closed; no output file is left behind unless the run completes.

examples:
  kelvara cluster peptides.tsv -o clusters.tsv
  kelvara cluster psms.csv --column Sequence -o clusters.tsv --report report.html
  zcat run1.txt.gz | kelvara cluster - --length 9 --refine 3 -o clusters.tsv
  kelvara cluster peptides.fasta -o clusters.tsv --clstr clusters.clstr --centroids centroids.fa
  kelvara cluster runs/*.tsv.gz --dask local -o clusters/"""


def _positions(text):
    try:
        values = [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a comma-separated list of integers") from None
    if not 1 <= len(set(values)) <= 8:
        raise argparse.ArgumentTypeError("give 1 to 8 positions")
    if any(abs(v) > MAX_PEPTIDE for v in values):
        raise argparse.ArgumentTypeError(f"{text!r}: no peptide is longer than {MAX_PEPTIDE:,}")
    return values


def _number(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def _seconds(text):
    value = _number(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number of seconds")
    return value


def _threshold(text):
    value = _number(text)
    if 1 < value <= 100:
        # Percent, as CD-HIT users write it.
        meant = f"{value / 100:.6f}".rstrip("0")
        meant += "0" * max(0, 4 - len(meant))
        raise argparse.ArgumentTypeError(f"{text} is above 1, the similarity of a peptide to itself; "
                                         f"did you mean {meant}?")
    if not -1 <= value <= 1:
        raise argparse.ArgumentTypeError(f"{text} is outside -1 to 1, where similarities lie")
    return value


def _integer(low, high, what):
    def convert(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text} is not {what}")
        return value

    return convert


_non_negative = _integer(0, _I64, "a non-negative integer")
_positive = _integer(1, _I64, "a positive integer")
_i64 = _integer(-_I64 - 1, _I64, "within -2**63 to 2**63 - 1")
_threads = _integer(0, MAX_THREADS, f"a thread count from 0 to {MAX_THREADS}")


def version():
    from kelvara import __version__

    return __version__


class _Parser(argparse.ArgumentParser):
    """Option errors in one line, as every other error of the command line, pointing to --help."""

    def error(self, message):
        from kelvara.cli.errors import EXIT_USAGE, say

        say(f"{message} (see '{self.prog} --help')")
        raise SystemExit(EXIT_USAGE)


ASSIGN_DESCRIPTION = """\
Assign the peptides of one or more files to an existing clustering, the
reference, so that clusters stay the same across studies. Peptides of each
length are clustered by the same greedy pass as 'kelvara cluster', with each
block's centroids starting as the reference's centroids of that block, in the
order its file lists them (largest cluster first, in a kelvara table): a
peptide joins the first it is --threshold similar to, or becomes a new
centroid after them. Reference centroids never move and are never compared
with each other; a peptide equal to one joins it. Lengths the reference lacks
make new clusters only.

The reference is a kelvara table (TSV or CSV), a .clstr file naming its
entries by peptide, or a FASTA file of centroids (--centroids writes one). A
table written by kelvara records its run's parameters beside it
(OUT.tsv.kelvara.json): --positions and --weight must be those, and are taken
from there when left out; without such a record, give --positions.

Refinement is not part of assignment: it would move the reference's
centroids. The table's clusters keep the reference's numbers, the new ones
are numbered after them, and its last column, origin, says which is which."""


def build_parser():
    parser = _Parser(
        prog="kelvara", description="Clustering of immunopeptidomics peptides by BLOSUM62-weighted similarity.",
        epilog="Run 'kelvara cluster --help' or 'kelvara assign --help' for the options of a command.")
    parser.add_argument("-V", "--version", action="version", version=f"%(prog)s {version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    p = commands.add_parser("cluster", help="cluster peptide files into a table of clusters",
                            description=DESCRIPTION, epilog=EPILOG,
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_options(p, assign=False)
    p = commands.add_parser("assign", help="assign peptide files to an existing clustering",
                            description=ASSIGN_DESCRIPTION, epilog=EPILOG.replace("kelvara cluster", "kelvara assign"),
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--reference", required=True, metavar="CLUSTERS.tsv",
                   help="the clustering to assign to: a kelvara table, a .clstr file or a FASTA of centroids")
    _add_options(p, assign=True)
    return parser


def _add_options(p, assign):
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="peptide file, gzip or plain, or '-'")
    p.add_argument("-o", "--output", required=True, metavar="OUT.tsv",
                   help="the clustered table (required): .tsv, .csv, either .gz, or '-' for standard output; "
                        "with --dask a new directory of Parquet files")

    g = p.add_argument_group("input")
    g.add_argument("--column", metavar="NAME", help="peptide column of a table with a header")
    g.add_argument("--count-column", metavar="NAME", help="count column of such a table (default: rows count 1)")
    g.add_argument("--length", type=_positive, metavar="L", help="cluster only the peptides of length L")
    g.add_argument("--strip-modifications", action="store_true",
                   help="read modified sequences (PEPM(UniMod:35)TIDE, _PEPM(Oxidation (M))TIDE_, "
                        "n[42.0106]PEPM[+15.9949]TIDE) as their bare sequence; the forms of one peptide add up")
    g.add_argument("--intensity", action="store_true",
                   help="the count column holds intensities: decimals rounded to the nearest integer, halves up; "
                        "an empty cell, NaN or 0 is not quantified and the row is left out")
    g.add_argument("--samples", action="store_true",
                   help="each input is one sample, named after its file or given as NAME=PATH")
    g.add_argument("--sample-column", metavar="NAME",
                   help="a table column naming each row's sample (MaxQuant's 'Raw file', DIA-NN's 'Run')")

    g = p.add_argument_group("clustering")
    recorded = " (default: the reference's, else {})" if assign else " (default {})"
    g.add_argument("--threshold", type=_threshold, default=None if assign else 0.7, metavar="S",
                   help="minimum similarity to join a centroid, from -1 to 1" + recorded.format("0.7"))
    g.add_argument("--positions", type=_positions, default=None if assign else [1, -1], metavar="P,P",
                   help="anchor positions from 0, negative from the end" + recorded.format("1,-1"))
    g.add_argument("--weight", type=_number, default=None if assign else 2.0, metavar="W",
                   help="weight of the anchor positions; others weigh 1" + recorded.format("2.0"))
    g.add_argument("-t", "--threads", type=_threads, metavar="N",
                   help="worker threads: 0 one per processor (default), 1 serial; results are identical")
    g.add_argument("--block-search", action="store_true",
                   help="also search neighbouring blocks that could hold a centroid above the threshold")
    g.add_argument("--max-probes", type=_i64, default=0, metavar="N",
                   help="with --block-search: at most N blocks per peptide, its own included (default 0: no limit)")
    g.add_argument("--min-block-bound", type=_number, default=0.0, metavar="S",
                   help="with --block-search: search only blocks whose similarity bound reaches S (default 0)")

    g = p.add_argument_group("refinement" + (" (refused: assignment keeps the reference's centroids)" if assign
                                             else ""))
    g.add_argument("--refine", type=_non_negative, default=0, metavar="N",
                   help="up to N passes of refinement after clustering: medoids, reassignment, merge (default 0)")
    g.add_argument("--cap", type=_i64, default=32, metavar="N",
                   help="centroids compared per peptide when reassigning; 0: no cap (default 32)")
    g.add_argument("--no-merge", action="store_true", help="do not merge similar centroids")
    g.add_argument("--merge-cap", type=_i64, default=0, metavar="N",
                   help="candidate centroids examined per centroid when merging (default 0: no cap)")
    g.add_argument("--fast-medoid", action="store_true",
                   help="medoids by a per-position decomposition, linear in the cluster size, "
                        "instead of the exact all-pairs search")

    g = p.add_argument_group("more output")
    g.add_argument("--clstr", metavar="FILE", help="also write the clusters in CD-HIT's .clstr layout")
    g.add_argument("--centroids", metavar="FILE.fa",
                   help="also write the centroids as FASTA, largest cluster first, its size in the header")
    g.add_argument("--sample-table", metavar="FILE.tsv",
                   help="also a table of clusters by samples: per cluster, each sample's summed count and peptides "
                        "(needs --samples or --sample-column)")
    g.add_argument("--summary-json", metavar="FILE", help="also write the summary as JSON ('-': standard output)")
    g.add_argument("--report", metavar="FILE.html",
                   help="also write an HTML report (needs: pip install 'kelvara[report]')")
    g.add_argument("--report-clusters", type=_positive, default=12, metavar="N",
                   help="largest clusters shown in the report (default 12)")
    g.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")

    g = p.add_argument_group("Dask (needs: pip install 'kelvara[dask]')")
    g.add_argument("--dask", metavar="SCHEDULER",
                   help="run on a Dask cluster: a scheduler's address, or 'local' for worker processes on this "
                        "machine; -o is then a Parquet directory")
    g.add_argument("--dask-timeout", type=_seconds, default=60.0, metavar="S",
                   help="end the run when the cluster makes no progress and no worker stays up for S seconds "
                        "(default 60)")
