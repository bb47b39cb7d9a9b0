"""The subcommands: compare (every tree against a truth), pairs (every pair of
trees) and leaves (a tree's leaf names in row order).

Each returns the exit status once its tables are written, or raises Failure
(exit status 2) before anything is written.
"""

from __future__ import annotations

import argparse
import contextlib
import inspect
import sys
from collections.abc import Iterator, Sequence
from concurrent.futures import Executor
from typing import Any, Callable

import cladorix

from .inputs import READ_ERRORS, Record, TreeFiles, describe, read_characters
from .tables import Failure, Lines, Outputs, Table

# For --square: the column that stands for a measure, and its value for a tree
# against itself.
SQUARE = {
    "rf": ("rf_distance", 0),
    "rf_normalized": ("normalized_rf_distance", 0.0),
    "triplets_exact": ("all_triplets_correct", 1.0),
}
SHOWN_ERRORS = 5
# A tree whose every node is named, to learn a table's columns when no tree
# gave a row.
PROBE = "((a,b)x,c)y;"


def default_measures(function: Callable[..., Any]) -> list[str]:
    """The library's default measures, from the function's signature."""
    default = inspect.signature(function).parameters["measures"].default
    return [default] if isinstance(default, str) else list(default)


def measure_names(given: list[str] | None, function: Callable[..., Any]) -> list[str]:
    """-m values: comma-separated names, the option given once or more. The names
    go to the library as they are: it knows which exist."""
    if not given:
        return default_measures(function)
    names = [n.strip() for value in given for n in value.split(",") if n.strip()]
    if not names:
        raise Failure("-m names no measure")
    return names


def collapse_rule(args: argparse.Namespace) -> dict[str, float] | None:
    rule = {}
    if args.collapse_length is not None:
        rule["length"] = args.collapse_length
    if args.collapse_support is not None:
        rule["support"] = args.collapse_support
    return rule or None


def show_progress(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


@contextlib.contextmanager
def executor_for(address: str | None) -> Iterator[Executor | None]:
    """None for the local worker pool; for an address, an executor on that Dask
    cluster, or for local:N on a new cluster of N worker processes."""
    if address is None:
        yield None
        return
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise Failure(
            "--scheduler needs Dask's distributed package: pip install 'cladorix[distributed]'"
        ) from None
    with contextlib.ExitStack() as stack:
        try:
            if address.startswith("local:"):
                cluster = stack.enter_context(
                    LocalCluster(
                        n_workers=int(address[6:]),
                        threads_per_worker=1,
                        processes=True,
                        dashboard_address=None,
                    )
                )
                client = stack.enter_context(Client(cluster))
            else:
                client = stack.enter_context(Client(address))
        except OSError as exc:
            raise Failure(f"cannot reach the Dask scheduler at {address}: {exc}") from None
        yield client.get_executor()


def call_library(function: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """With errors='coerce' the library raises only for its arguments (measure
    names, the character matrix, the reference): usage errors."""
    try:
        return function(*args, errors="coerce", **kwargs)
    except (ValueError, TypeError, OverflowError) as exc:
        raise Failure(str(exc)) from None


def measure_columns(rows: dict[str, list[Any]], keys: Sequence[str]) -> list[str]:
    return [c for c in rows if c not in keys and c != "error"]


def report_errors(command: str, errors: list[str], total: int) -> None:
    """The count of error rows and the first texts, on stderr."""
    if not errors:
        return
    print(f"cladorix {command}: {len(errors)} of {total} rows hold an error:", file=sys.stderr)
    for text in errors[:SHOWN_ERRORS]:
        print(f"  {text}", file=sys.stderr)
    if len(errors) > SHOWN_ERRORS:
        print(f"  ... and {len(errors) - SHOWN_ERRORS} more", file=sys.stderr)


def where(record: Record) -> str:
    return record.file if record.tree is None else f"{record.file}, tree {record.tree}"


def compare(args: argparse.Namespace) -> int:
    measures = measure_names(args.measures, cladorix.compare_to_reference)
    if args.by_depth and "triplets_exact" not in measures:
        raise Failure("--by-depth needs triplets_exact among the measures (-m)")
    with Outputs() as outputs:
        for path in (args.output, args.by_depth):
            if path is not None:
                outputs.reserve(path)
        try:
            reference = cladorix.read_tree(args.reference)
        except READ_ERRORS as exc:
            raise Failure(f"cannot read the reference {args.reference}: {describe(exc)}") from None
        matrix, cells = read_characters(args.characters) if args.characters else (None, None)
        options: dict[str, Any] = dict(
            character_matrix=matrix,
            cell_names=cells,
            common_leaves=args.common_leaves,
            by_depth=args.by_depth is not None,
            max_threads=args.threads,
            missing_state=args.missing_state,
        )
        files = TreeFiles(args.files, args.burnin, collapse_rule(args))
        with executor_for(args.scheduler) as executor:
            try:
                result = call_library(
                    cladorix.compare_to_reference,
                    reference,
                    files.trees(),
                    measures,
                    progress=show_progress(args),
                    executor=executor,
                    **options,
                )
            except Failure as exc:
                if matrix is None and "character_matrix" in str(exc):
                    raise Failure(f"{exc}; give the matrix with --characters") from None
                raise
        if not result["rows"]:  # no tree was read: the columns come from a probe
            if matrix is not None:
                options.update(character_matrix=[[0]] * 3, cell_names=list("abc"))
            probe = call_library(cladorix.compare_to_reference, PROBE, [PROBE], measures, **options)
            result["rows"] = {c: [] for c in probe["rows"]}
            result["by_depth"] = {c: [] for c in probe["by_depth"]}

        rows = result["rows"]
        columns = measure_columns(rows, ["tree"])
        table, next_row = [], 0
        for record in files.records:
            if record.error is None:
                if record.kept:
                    table.append(
                        [record.file, record.tree]
                        + [rows[c][next_row] for c in columns]
                        + [rows["error"][next_row]]
                    )
                next_row += 1
            else:
                table.append([record.file, None] + [None] * len(columns) + [record.error])
        tables = [(args.output, Table(["file", "tree", *columns, "error"], table))]
        if args.by_depth is not None:
            depths = result["by_depth"]
            depth_columns = measure_columns(depths, ["tree"])
            labels = [files.records[i] for i in depths["tree"]]
            depth_rows = [
                [r.file, r.tree] + [depths[c][k] for c in depth_columns]
                for k, r in enumerate(labels)
                if r.kept
            ]
            tables.append((args.by_depth, Table(["file", "tree", *depth_columns], depth_rows)))
        outputs.emit(tables)

    if result["reference"] and not args.quiet:
        scores = ", ".join(f"{k} {v[0]!r}" for k, v in result["reference"].items())
        print(f"cladorix compare: the reference {args.reference}: {scores}", file=sys.stderr)
    errors = [
        f"{where(Record(file, tree, error))}: {error}"
        for file, tree, *_, error in table
        if error is not None
    ]
    return finish(args, "compare", errors, len(table))


def finish(args: argparse.Namespace, command: str, errors: list[str], total: int) -> int:
    report_errors(command, errors, total)
    return 1 if errors and args.strict else 0


def pairs(args: argparse.Namespace) -> int:
    measures = measure_names(args.measures, cladorix.compare_all_pairs)
    if args.square and (len(measures) != 1 or measures[0] not in SQUARE):
        raise Failure(f"--square takes one measure of {', '.join(SQUARE)} (-m)")
    with Outputs() as outputs:
        if args.output is not None:
            outputs.reserve(args.output)
        files = TreeFiles(args.files, args.burnin, collapse_rule(args))
        with executor_for(args.scheduler) as executor:
            rows = call_library(
                cladorix.compare_all_pairs,
                files.trees(),
                measures,
                common_leaves=args.common_leaves,
                max_threads=args.threads,
                progress=show_progress(args),
                executor=executor,
            )
        if not rows:  # fewer than two trees: the columns come from a probe
            probe = call_library(
                cladorix.compare_all_pairs,
                [PROBE, PROBE],
                measures,
                common_leaves=args.common_leaves,
            )
            rows = {c: [] for c in probe}
        records = files.records
        # Pairs of trees from files that failed later on are left out.
        pairs = [
            k
            for k, (a, b) in enumerate(zip(rows["tree_a"], rows["tree_b"]))
            if records[a].kept and records[b].kept
        ]
        pair_errors = [
            f"{where(records[rows['tree_a'][k]])} and {where(records[rows['tree_b'][k]])}: "
            f"{rows['error'][k]}"
            for k in pairs
            if rows["error"][k] is not None
        ]
        errors = [f"{where(r)}: {r.error}" for r in files.errors()] + pair_errors
        if args.square:
            table = square(records, rows, *SQUARE[measures[0]])
        else:
            columns = measure_columns(rows, ["tree_a", "tree_b"])
            long = []
            for k in pairs:
                a, b = records[rows["tree_a"][k]], records[rows["tree_b"][k]]
                long.append(
                    [a.file, a.tree, b.file, b.tree]
                    + [rows[c][k] for c in columns]
                    + [rows["error"][k]]
                )
            long += [[r.file] + [None] * (3 + len(columns)) + [r.error] for r in files.errors()]
            header = ["file_a", "tree_a", "file_b", "tree_b", *columns, "error"]
            table = Table(header, long)
        outputs.emit([(args.output, table)])
    return finish(args, "pairs", errors, len(pairs) + len(files.errors()))


def square(records: list[Record], rows: dict[str, list[Any]], column: str, same: Any) -> Table:
    """The matrix of one column over the trees that were read, in input order;
    trees are named by their name, or by file:name when names repeat."""
    trees = [i for i, r in enumerate(records) if r.error is None and r.kept]
    names = [records[i].tree for i in trees]
    if len(set(names)) < len(names):
        names = [f"{records[i].file}:{records[i].tree}" for i in trees]
    at = {i: k for k, i in enumerate(trees)}
    matrix: list[list[Any]] = [[None] * len(trees) for _ in trees]
    for k in range(len(trees)):
        matrix[k][k] = same
    for a, b, value in zip(rows["tree_a"], rows["tree_b"], rows[column]):
        if a in at and b in at:
            matrix[at[a]][at[b]] = matrix[at[b]][at[a]] = value
    return Table(["tree", *names], [[n, *row] for n, row in zip(names, matrix)])


def leaves(args: argparse.Namespace) -> int:
    with Outputs() as outputs:
        if args.output is not None:
            outputs.reserve(args.output)
        try:
            tree = cladorix.read_tree(args.file)
            names = cladorix.leaf_names(tree)
        except READ_ERRORS as exc:
            raise Failure(f"cannot read {args.file}: {describe(exc)}") from None
        outputs.emit([(args.output, Lines(names))])
    return 0
