"""The `cladorix` command (also `python -m cladorix_cli`): its options, and the
exit status of a run."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Callable

import cladorix

from . import commands
from .tables import Failure

COMPARE_EXAMPLE = """\
  cladorix compare -r truth.nwk recon.nex more/*.nwk.gz -m rf,triplets_exact \\
      --by-depth depth.tsv -o scores.tsv"""
PAIRS_EXAMPLE = """\
  cladorix pairs posterior.nex --burnin 100 -m rf_normalized --square -o matrix.csv"""
LEAVES_EXAMPLE = """\
  cladorix leaves truth.nwk > cells.txt"""

EXIT_STATUS = """\
exit status: 0 when the table was written, rows with an error included (their
count and first texts go to stderr); 1 with --strict when a row holds an error;
2 for a usage error or a reference that cannot be read, and then nothing is
written."""


def defaults(function: Callable[..., Any]) -> str:
    return ",".join(commands.default_measures(function))


def count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} is negative")
    return value


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive count")
    return value


def scheduler(text: str) -> str:
    if text.startswith("local:"):
        positive(text[6:])
    return text


def tree_options(parser: argparse.ArgumentParser) -> None:
    """What compare and pairs share: reading the files, running, reporting."""
    reading = parser.add_argument_group("reading trees")
    reading.add_argument(
        "--burnin", type=count, default=0, metavar="N", help="drop the first N trees of each file"
    )
    reading.add_argument(
        "--collapse-length",
        type=float,
        metavar="X",
        help="contract the FILEs' internal edges of length at most X into polytomies",
    )
    reading.add_argument(
        "--collapse-support",
        type=float,
        metavar="S",
        help="contract the FILEs' internal edges whose support (numeric internal label) is below S",
    )
    reading.add_argument(
        "--common-leaves",
        action="store_true",
        help="compare each pair on the leaves both trees hold (else a leaf-set "
        "difference is the row's error)",
    )
    running = parser.add_argument_group("running and output")
    running.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write the table to FILE (CSV when it ends in .csv, else TSV); default: stdout",
    )
    running.add_argument(
        "-t", "--threads", type=positive, metavar="N", help="use at most N threads per process"
    )
    running.add_argument(
        "--scheduler",
        type=scheduler,
        metavar="ADDRESS",
        help="run on the Dask cluster at ADDRESS, or on a new local one of N worker "
        "processes with local:N (needs pip install 'cladorix[distributed]')",
    )
    running.add_argument(
        "--strict", action="store_true", help="exit with status 1 when any row holds an error"
    )
    running.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no progress bar and no notes on stderr (the count of error rows stays)",
    )


def build_parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="cladorix",
        description="Tables of tree comparisons from Newick and Nexus files (.gz too).",
        epilog=f"examples:\n{COMPARE_EXAMPLE}\n{PAIRS_EXAMPLE}\n{LEAVES_EXAMPLE}\n\n{EXIT_STATUS}",
        formatter_class=raw,
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    compare = sub.add_parser(
        "compare",
        help="score every tree of the files against a reference (the truth)",
        description="Scores every tree of every FILE against the reference: one row per\n"
        "tree in input order (file, tree: its name or number, the measures' columns,\n"
        "error); a file that cannot be read is one row with its error.",
        epilog=f"example:\n{COMPARE_EXAMPLE}\n\n{EXIT_STATUS}",
        formatter_class=raw,
    )
    compare.add_argument("files", nargs="+", metavar="FILE", help="Newick or Nexus tree files")
    compare.add_argument(
        "-r", "--reference", required=True, metavar="TRUTH", help="the file of the true tree"
    )
    compare.add_argument(
        "-m",
        "--measures",
        action="append",
        metavar="NAMES",
        help="comma-separated measure names, as compare_to_reference takes them: rf, "
        "rf_normalized, triplets_exact, parsimony, likelihood, cut_events, ... "
        f"(default: {defaults(cladorix.compare_to_reference)})",
    )
    compare.add_argument(
        "--characters",
        metavar="M.tsv",
        help="character matrix of the character measures: a header row, then a cell "
        "name and one integer state per site a row (CSV when it ends in .csv)",
    )
    compare.add_argument(
        "--missing-state",
        type=int,
        default=-1,
        metavar="K",
        help="the state that marks missing data in --characters (default: -1)",
    )
    compare.add_argument(
        "--by-depth",
        metavar="FILE",
        help="also write triplets correct per depth of the reference, a row per tree and depth",
    )
    tree_options(compare)
    compare.set_defaults(run=commands.compare)

    pairs = sub.add_parser(
        "pairs",
        help="compare every pair of trees of the files",
        description="Compares every pair of trees of the FILEs: one row per pair (a before\n"
        "b in input order), or with --square the matrix of one measure.",
        epilog=f"example:\n{PAIRS_EXAMPLE}\n\n{EXIT_STATUS}",
        formatter_class=raw,
    )
    pairs.add_argument("files", nargs="+", metavar="FILE", help="Newick or Nexus tree files")
    pairs.add_argument(
        "-m",
        "--measures",
        action="append",
        metavar="NAMES",
        help="comma-separated measure names, as compare_all_pairs takes them: rf, "
        f"rf_normalized, triplets_exact, ... (default: {defaults(cladorix.compare_all_pairs)})",
    )
    pairs.add_argument(
        "--square",
        action="store_true",
        help="write the square matrix of the one measure given (rf: rf_distance, "
        "rf_normalized: normalized_rf_distance, triplets_exact: all_triplets_correct)",
    )
    tree_options(pairs)
    pairs.set_defaults(run=commands.pairs)

    leaves = sub.add_parser(
        "leaves",
        help="a tree's leaf names in the order matrix rows are matched to them",
        description="Writes the leaf names of the one tree of FILE, one a line, in the\n"
        "order that character matrix rows are matched to leaves.",
        epilog=f"example:\n{LEAVES_EXAMPLE}",
        formatter_class=raw,
    )
    leaves.add_argument("file", metavar="FILE", help="a Newick or Nexus file of one tree")
    leaves.add_argument("-o", "--output", metavar="FILE", help="write to FILE; default: stdout")
    leaves.set_defaults(run=commands.leaves)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except Failure as exc:
        print(f"cladorix {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader of stdout went away (| head): no traceback at exit either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
