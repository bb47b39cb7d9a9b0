"""Type-checked, never run: what the stub accepts and what it refuses.

mypy runs on this file with --warn-unused-ignores, so every refused call
below must really be refused (its ignore comment is used) and every accepted
one must pass.
"""

import gzip
import io
import pathlib
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Optional

import numpy as np

import cladorix

if TYPE_CHECKING:
    from cladorix import (
        CompareResult,
        CutEventsResult,
        ExactTripletsResult,
        ParsimonyResult,
        PooledTripletsResult,
    )

TREE = "((A,B)x,C)r;"


class IntFrame:  # what a typed pandas DataFrame of integer columns looks like
    def __array__(self) -> "np.ndarray[Any, np.dtype[np.int64]]":
        return np.zeros((3, 1), dtype=np.int64)


class FloatFrame:
    def __array__(self) -> "np.ndarray[Any, np.dtype[np.float64]]":
        return np.zeros((3, 1))


rows: list[list[int]] = [[1], [1], [0]]
states: dict[str, list[int]] = {"x": [1], "r": [0]}

# Accepted inputs: lists, tuples, numpy integer arrays and rows, numpy scalars.
p: "ParsimonyResult" = cladorix.parsimony_score(TREE, rows, states)
cladorix.parsimony_score(TREE, ((1,), (1,), (0,)), missing_state=-1, unedited_state=np.int64(0))
cladorix.parsimony_score(TREE, np.zeros((3, 4), dtype=np.int32))
cladorix.parsimony_score(TREE, [np.array([1, 2], dtype=np.int16)] * 3)
cladorix.parsimony_score(TREE, IntFrame())
cladorix.likelihood_score(
    TREE, rows, {"x": np.array([1])}, mutation_rate=1, collision_probability=np.float32(0.1)
)
cladorix.likelihood_distance(TREE, TREE, rows, states, {"r": (0,)})
cladorix.phs_optimized(TREE, rows, states, max_threads=None)
cladorix.triplets_correct(TREE, TREE, number_of_trials=np.uint64(10), seed=7)

# Result keys and value types, nested dicts included.
score: int = p["parsimony_score"]
inferred: bool = p["internal_states_inferred"]
pooled: "PooledTripletsResult" = cladorix.triplets_correct_optimized(TREE, TREE, max_threads=2)
ratio: float = pooled["all_triplets_correct"][0]
chunks: int = pooled["parallel_chunks_used"]
exact: "ExactTripletsResult" = cladorix.triplets_correct_exact(TREE, TREE)
correct: int = exact["counts"]["correct"]
overall: float = exact["overall"]["resolvable_triplets_correct"]
at_depth: int = exact["triplets_at_depth"][1]
names: list[Optional[str]] = cladorix.leaf_names(TREE)
rf: int = cladorix.robinson_foulds_distance_normalized(TREE, TREE)["max_possible_rf"]
cut: "CutEventsResult" = cladorix.cut_events(TREE, IntFrame(), cell_names=("A", "B", "C"))
per_site: list[int] = cut["per_site"]

# Tree files: paths and file objects; with_names decides the element type.
trees: list[str] = cladorix.read_trees("trees.nex")
named: list[tuple[str, str]] = cladorix.read_trees(pathlib.Path("t.nwk"), with_names=True)
lazily: Iterator[str] = cladorix.iter_trees(io.StringIO("(A,B);"), "newick")
one: str = cladorix.read_tree(gzip.open("t.nwk.gz"), internal_labels="drop")
pair: tuple[str, str] = cladorix.read_tree(open("t.nwk"), with_names=True, collapse={"length": 0})

# Many trees: tables of columns; trees as texts or (name, text) pairs.
table: "CompareResult" = cladorix.compare_to_reference(
    TREE, [TREE, ("named", TREE)], "rf", cell_names=("A", "B", "C"), errors="coerce"
)
distances: list[Any] = table["rows"]["rf_distance"]
pairs: dict[str, list[Any]] = cladorix.compare_all_pairs(
    iter([TREE, TREE]), ("rf", "triplets_exact")
)

# Refused.
cladorix.compare_to_reference(TREE, [TREE], errors="ignore")  # type: ignore[arg-type]
cladorix.compare_all_pairs([TREE], measures=5)  # type: ignore[arg-type]
cladorix.read_trees(5)  # type: ignore[call-overload]
cladorix.read_trees("t.nwk", "phylip")  # type: ignore[call-overload]
wrong: list[str] = cladorix.read_trees("t.nwk", with_names=True)  # type: ignore[assignment]
cladorix.parsimony_score(TREE, "101")  # type: ignore[arg-type]
cladorix.parsimony_score(TREE, np.zeros((3, 4)))  # type: ignore[arg-type]
cladorix.parsimony_score(TREE, FloatFrame())  # type: ignore[arg-type]
cladorix.parsimony_score(TREE, rows, [("x", [1])])  # type: ignore[arg-type]
cladorix.phs_optimized(TREE, rows, None)  # type: ignore[arg-type]
cladorix.triplets_correct(TREE, TREE, number_of_trials=2.0)  # type: ignore[arg-type]
cladorix.robinson_foulds_distance(TREE, TREE, TREE)  # type: ignore[call-arg]
cladorix.triplets_correct(TREE, TREE)["method_used"]  # type: ignore[typeddict-item]
bad: str = cladorix.likelihood_score(TREE, rows)["n_leaves"]  # type: ignore[assignment]
cladorix.cut_events(TREE, rows, ["A", "B", "C"])  # type: ignore[call-arg]
