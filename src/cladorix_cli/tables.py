"""Output tables: TSV (CSV for a name ending in .csv), written whole or not at all.

Every file is created as a temporary beside its target when the run starts (so a
directory that cannot be written to stops the run before any scoring) and is
renamed over the target only once every table is written.
"""

from __future__ import annotations

import csv
import math
import os
import sys
import tempfile
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple, Union

Row = Sequence[Any]


class Failure(Exception):
    """Ends the run with exit status 2; nothing is written."""


def cell(value: Any) -> str:
    """A value as text: missing (None, NaN) as an empty field; floats by repr,
    which reads back to the same double."""
    if value is None:
        return ""
    if isinstance(value, float):
        return "" if math.isnan(value) else repr(value)
    return str(value)


def delimiter_for(path: str | None) -> str:
    return "," if path is not None and path.lower().endswith(".csv") else "\t"


class Table(NamedTuple):
    header: Row
    rows: Iterable[Row]

    def write(self, stream: Any, delimiter: str) -> None:
        writer = csv.writer(stream, delimiter=delimiter, lineterminator="\n")
        writer.writerow(self.header)
        writer.writerows([cell(v) for v in row] for row in self.rows)


class Lines(NamedTuple):
    """Plain lines, no header and no quoting; None is an empty line."""

    lines: Iterable[str | None]

    def write(self, stream: Any, delimiter: str) -> None:
        stream.writelines(f"{cell(line)}\n" for line in self.lines)


Output = Union[Table, Lines]


class Outputs:
    """The files of one run: reserve() each target when the run starts, emit() the
    tables at its end; leaving the block removes whatever was not renamed."""

    def __init__(self) -> None:
        self._pending: dict[str, str] = {}  # target -> temporary

    def reserve(self, path: str) -> None:
        target = os.path.abspath(path)
        if any(os.path.abspath(p) == target for p in self._pending):
            raise Failure(f"{path} is named as two outputs")
        folder, name = os.path.split(target)
        try:
            fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
        except OSError as exc:
            raise Failure(f"cannot write {path}: {exc.strerror or exc}") from None
        # mkstemp creates the file private; the table gets what the umask gives.
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)
        os.close(fd)
        self._pending[path] = temporary

    def write(self, path: str, output: Output) -> None:
        try:
            with open(self._pending[path], "w", newline="", encoding="utf-8") as f:
                output.write(f, delimiter_for(path))
        except OSError as exc:
            raise Failure(f"cannot write {path}: {exc.strerror or exc}") from None

    def emit(self, outputs: Sequence[tuple[str | None, Output]]) -> None:
        """Writes (path, output) pairs: files first, renamed together, then the one
        without a path to stdout (TSV), so that a failure writes nothing."""
        for path, output in outputs:
            if path is not None:
                self.write(path, output)
        for path, temporary in list(self._pending.items()):
            os.replace(temporary, path)
            del self._pending[path]
        for path, output in outputs:
            if path is None:
                output.write(sys.stdout, "\t")

    def __enter__(self) -> Outputs:
        return self

    def __exit__(self, *exc: object) -> None:
        for temporary in self._pending.values():
            try:
                os.remove(temporary)
            except FileNotFoundError:
                pass
        self._pending.clear()
