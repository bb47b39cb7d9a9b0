"""Inputs of a run: the trees of tree files, one record per table row, and a
character matrix from a TSV or CSV file."""

from __future__ import annotations

import csv
import gzip
import zlib
from collections.abc import Iterator, Sequence
from typing import NamedTuple

import cladorix

from .tables import Failure

# What reading a file can raise besides a bug: missing or unreadable files,
# text that does not parse or decode, a damaged .gz.
READ_ERRORS = (OSError, ValueError, EOFError, zlib.error)


def describe(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror  # the file is named in the row already
    return str(exc)


class Record(NamedTuple):
    file: str
    tree: str | None  # the tree's name in its file (Nexus name, or "1", "2", ...)
    error: str | None  # set for the one row of a file that failed
    kept: bool = True  # False for the trees a file gave before it failed


class TreeFiles:
    """Every tree of the files in order, each file's first `burnin` trees dropped.

    trees() yields (row, newick) pairs, row being the tree's index in `records`,
    so the library's rows can be matched back to their file and name. A file
    that cannot be read or parsed is one record with its error: the trees it
    gave before the fault (already sent, as trees stream) are marked not kept.
    """

    def __init__(self, files: Sequence[str], burnin: int = 0, collapse: dict | None = None):
        self.files = files
        self.burnin = burnin
        self.collapse = collapse
        self.records: list[Record] = []

    def trees(self) -> Iterator[tuple[int, str]]:
        for path in self.files:
            read, first = 0, len(self.records)
            try:
                for name, text in cladorix.iter_trees(
                    path, with_names=True, collapse=self.collapse
                ):
                    read += 1
                    if read > self.burnin:
                        self.records.append(Record(path, name, None))
                        yield len(self.records) - 1, text
            except READ_ERRORS as exc:
                for k in range(first, len(self.records)):
                    self.records[k] = self.records[k]._replace(kept=False)
                self.records.append(Record(path, None, describe(exc)))
                continue
            if read <= self.burnin:
                self.records.append(
                    Record(path, None, f"{read} trees, all dropped by --burnin {self.burnin}")
                )

    def errors(self) -> list[Record]:
        return [r for r in self.records if r.error is not None]


def read_characters(path: str) -> tuple[list[list[int]], list[str]]:
    """(rows, cell names) of a matrix file: a header row, then one row per cell,
    its name first and one integer state per site; tab-separated, or
    comma-separated for a name ending in .csv (.gz decompressed)."""
    plain = path[:-3] if path.lower().endswith(".gz") else path
    delimiter = "," if plain.lower().endswith(".csv") else "\t"
    try:
        opened = (
            gzip.open(path, "rt", newline="", encoding="utf-8")
            if plain != path
            else open(path, newline="", encoding="utf-8")
        )
        with opened as f:
            lines = csv.reader(f, delimiter=delimiter)
            header = next(lines, None)
            if header is None:
                raise Failure(f"--characters {path}: the file is empty")
            names: list[str] = []
            rows: list[list[int]] = []
            for row in lines:
                if not row:
                    continue
                where = f"--characters {path}, line {lines.line_num}"
                if len(row) != len(header):
                    raise Failure(f"{where}: {len(row)} fields, the header has {len(header)}")
                try:
                    rows.append([int(v) for v in row[1:]])
                except ValueError:
                    bad = next(i for i, v in enumerate(row) if i > 0 and not _is_int(v))
                    raise Failure(
                        f"{where}, column {bad + 1} ({header[bad]}): {row[bad]!r} is not an "
                        "integer state"
                    ) from None
                names.append(row[0])
    except READ_ERRORS as exc:
        raise Failure(f"cannot read --characters {path}: {describe(exc)}") from None
    return rows, names


def _is_int(text: str) -> bool:
    try:
        int(text)
    except ValueError:
        return False
    return True
