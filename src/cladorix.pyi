# Type stubs of the compiled module: signatures with their effective defaults
# and one TypedDict per result. The TypedDicts exist for type checkers only;
# import them under `if TYPE_CHECKING:`.
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Executor
from os import PathLike
from typing import (
    Any,
    Literal,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypedDict,
    TypeVar,
    overload,
    type_check_only,
)

from numpy import integer
from numpy.typing import NDArray

__all__ = [
    "triplets_correct",
    "triplets_correct_fast",
    "triplets_correct_ultra",
    "triplets_correct_parallel",
    "triplets_correct_optimized",
    "phs_optimized",
    "robinson_foulds_distance",
    "robinson_foulds_distance_normalized",
    "parsimony_score",
    "parsimony_p_value",
    "likelihood_score",
    "likelihood_distance",
    "triplets_correct_exact",
    "leaf_names",
    "compare_to_reference",
    "compare_all_pairs",
    "cut_events",
    "read_trees",
    "iter_trees",
    "read_tree",
]

# missing_state shows the default "..." as the runtime signature does; the
# value in force is -1.
# Integers go through __index__ (so numpy integers pass); floats through
# __float__, then __index__.
_Int = SupportsIndex
_Float = SupportsFloat | SupportsIndex

# One row of states: a sequence of integers or a 1-D integer numpy array.
_Row = Sequence[SupportsIndex] | NDArray[integer[Any]]

# What iteration cannot convert but __array__ turns into a 2-D integer
# array: a pandas DataFrame of integer columns, read as its rows.
@type_check_only
class _IntegerArrayLike(Protocol):
    def __array__(self) -> NDArray[integer[Any]]: ...

# Rows follow the tree's leaves in the order they appear in the Newick text
# (see leaf_names). A 2-D integer array is read straight from its buffer.
_CharacterMatrix = Sequence[_Row] | NDArray[integer[Any]] | _IntegerArrayLike

# Internal states are keyed by node name and must be a dict. The type
# variables let a Dict[str, List[int]] through (Dict is invariant in its
# values).
_States = TypeVar("_States", bound=_Row)
_StatesTruth = TypeVar("_StatesTruth", bound=_Row)

# Per-depth tables map a depth (edges from the root) to a ratio; the sampled
# and by-position variants report everything under depth 0.
_ByDepth = dict[int, float]

@type_check_only
class TripletsResult(TypedDict):
    all_triplets_correct: _ByDepth
    resolvable_triplets_correct: _ByDepth
    unresolved_triplets_correct: _ByDepth
    proportion_unresolvable: _ByDepth

@type_check_only
class UltraTripletsResult(TypedDict):
    all_triplets_correct: _ByDepth
    resolvable_triplets_correct: _ByDepth
    unresolved_triplets_correct: _ByDepth
    proportion_unresolvable: _ByDepth
    method_used: Literal["exhaustive", "sampling"]
    total_triplets_checked: int

@type_check_only
class PooledTripletsResult(TypedDict):
    all_triplets_correct: _ByDepth
    resolvable_triplets_correct: _ByDepth
    unresolved_triplets_correct: _ByDepth
    proportion_unresolvable: _ByDepth
    method_used: Literal[
        "parallel_sampling", "parallel_exhaustive", "optimized_sampling", "optimized_exhaustive"
    ]
    total_triplets_checked: int
    parallel_chunks_used: int

@type_check_only
class TripletRatios(TypedDict):
    all_triplets_correct: float
    resolvable_triplets_correct: float
    unresolved_triplets_correct: float
    proportion_unresolvable: float

@type_check_only
class TripletCounts(TypedDict):
    triplets: int
    correct: int
    unresolved: int
    unresolved_correct: int
    resolvable_correct: int

@type_check_only
class ExactTripletsResult(TypedDict):
    all_triplets_correct: _ByDepth
    resolvable_triplets_correct: _ByDepth
    unresolved_triplets_correct: _ByDepth
    proportion_unresolvable: _ByDepth
    triplets_at_depth: dict[int, int]
    overall: TripletRatios
    counts: TripletCounts
    method_used: Literal["exact"]
    total_triplets_checked: int
    computation_time_ms: float

@type_check_only
class RobinsonFouldsResult(TypedDict):
    rf_distance: int
    computation_time_ms: float
    method_used: Literal["phylo-rs RobinsonFoulds"]

@type_check_only
class NormalizedRobinsonFouldsResult(TypedDict):
    rf_distance: int
    normalized_rf_distance: float
    computation_time_ms: float
    method_used: Literal["phylo-rs RobinsonFoulds"]
    max_possible_rf: int
    tree1_leaves: int
    tree2_leaves: int

@type_check_only
class ParsimonyResult(TypedDict):
    parsimony_score: int
    total_mutations: int
    computation_time_ms: float
    method_used: Literal["provided_states", "small_mp_inferred"]
    internal_states_inferred: bool

@type_check_only
class ParsimonyPValueResult(TypedDict):
    p_value: float
    parsimony_score: int
    computation_time_ms: float
    method_used: Literal["poisson_approximation"]

@type_check_only
class LikelihoodResult(TypedDict):
    log_likelihood: float
    likelihood: float
    computation_time_ms: float
    method_used: Literal["crispr_cas9_model", "empty_data"]
    n_characters: int
    n_leaves: int

@type_check_only
class LikelihoodDistanceResult(TypedDict):
    likelihood_distance: float

@type_check_only
class CutEventsResult(TypedDict):
    cut_events: int
    per_site: list[int]
    extra_events: int
    n_leaves: int
    n_characters: int
    computation_time_ms: float

# Cell names, one str per matrix row: a list, a tuple, a pandas Index.
@type_check_only
class _Names(Protocol):
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[str]: ...

@type_check_only
class PHSResult(TypedDict):
    phs_score: float
    total_pairs: int
    computation_time_ms: float
    method_used: Literal["optimized_sequential", "optimized_parallel", "no_pairs"]
    parallel_chunks_used: int

def triplets_correct(
    tree1_newick: str,
    tree2_newick: str,
    number_of_trials: _Int = 1000,
    min_triplets_at_depth: _Int = 1,
    seed: _Int | None = None,
) -> TripletsResult:
    """Sampled triplet agreement, leaves matched by name; tree 1 is the reference."""

def triplets_correct_fast(
    tree1_newick: str,
    tree2_newick: str,
    number_of_trials: _Int = 1000,
    min_triplets_at_depth: _Int = 1,
    seed: _Int | None = None,
) -> TripletsResult:
    """As triplets_correct, from per-tree tables; draws from the named leaves only."""

def triplets_correct_ultra(
    tree1_newick: str,
    tree2_newick: str,
    number_of_trials: _Int = 5000,
    min_triplets_at_depth: _Int = 1,
    seed: _Int | None = None,
) -> UltraTripletsResult:
    """Triplet agreement, exhaustive or sampled; leaf i of tree 1 is matched with
    leaf i of tree 2 (by position, not by name)."""

def triplets_correct_parallel(
    tree1_newick: str,
    tree2_newick: str,
    number_of_trials: _Int = 10000,
    min_triplets_at_depth: _Int = 1,
    seed: _Int | None = None,
    max_threads: _Int | None = None,
) -> PooledTripletsResult:
    """Triplet agreement on the worker pool, leaves matched by position."""

def triplets_correct_optimized(
    tree1_newick: str,
    tree2_newick: str,
    number_of_trials: _Int = 10000,
    min_triplets_at_depth: _Int = 1,
    seed: _Int | None = None,
    max_threads: _Int | None = None,
) -> PooledTripletsResult:
    """Triplet agreement on the worker pool, leaves matched by position."""

def phs_optimized(
    tree_newick: str,
    character_matrix: _CharacterMatrix,
    internal_character_states: dict[str, _States],
    mutation_rate: _Float | None = None,
    collision_probability: _Float | None = None,
    missing_state: _Int = ...,
    unedited_state: _Int = 0,
    max_threads: _Int | None = None,
) -> PHSResult:
    """Pairwise homoplasy score: Simes' combination of per-pair binomial p-values.
    missing_state defaults to -1."""

def robinson_foulds_distance(tree1_newick: str, tree2_newick: str) -> RobinsonFouldsResult:
    """Bipartitions found in only one of the two trees; every leaf must be named."""

def robinson_foulds_distance_normalized(
    tree1_newick: str, tree2_newick: str
) -> NormalizedRobinsonFouldsResult:
    """The Robinson-Foulds distance over its maximum for the smaller name count."""

def parsimony_score(
    tree_newick: str,
    character_matrix: _CharacterMatrix,
    internal_character_states: dict[str, _States] | None = None,
    missing_state: _Int = ...,
    unedited_state: _Int = 0,
) -> ParsimonyResult:
    """First cuts the tree needs to explain the matrix. missing_state defaults to -1."""

def parsimony_p_value(
    tree_newick: str,
    character_matrix: _CharacterMatrix,
    internal_character_states: dict[str, _States] | None = None,
    mutation_rate: _Float | None = None,
    missing_state: _Int = ...,
    unedited_state: _Int = 0,
) -> ParsimonyPValueResult:
    """Upper-tail Poisson p-value of the parsimony score. missing_state defaults to -1."""

def likelihood_score(
    tree_newick: str,
    character_matrix: _CharacterMatrix,
    internal_character_states: dict[str, _States] | None = None,
    mutation_rate: _Float | None = None,
    collision_probability: _Float | None = None,
    missing_state: _Int = ...,
    unedited_state: _Int = 0,
) -> LikelihoodResult:
    """Log-likelihood under an irreversible CRISPR-Cas9 editing model.
    missing_state defaults to -1."""

def likelihood_distance(
    reconstructed_tree_newick: str,
    ground_truth_tree_newick: str,
    character_matrix: _CharacterMatrix,
    internal_states_reconstructed: dict[str, _States] | None = None,
    internal_states_ground_truth: dict[str, _StatesTruth] | None = None,
    mutation_rate: _Float | None = None,
    collision_probability: _Float | None = None,
    missing_state: _Int = ...,
    unedited_state: _Int = 0,
) -> LikelihoodDistanceResult:
    """Relative gap between the two trees' log-likelihoods, clamped at zero.
    missing_state defaults to -1."""

def triplets_correct_exact(
    tree1_newick: str, tree2_newick: str, max_threads: _Int | None = None
) -> ExactTripletsResult:
    """Every triplet counted exactly, leaves matched by name; tree 1 is the
    truth, and per-depth figures use depths in tree 1."""

def leaf_names(tree_newick: str) -> list[str | None]:
    """Leaf names (None for an unnamed leaf) in the order matrix rows are matched."""

# ---- many trees at once ------------------------------------------------------------

# A table: column name -> one value per row (ready for pandas.DataFrame).
_Table = dict[str, list[Any]]
# A tree of a batch: its Newick text, or (name, newick) whose name labels it.
_BatchTree = str | tuple[Any, str]
_Progress = bool | Callable[[int, int | None], object] | None

@type_check_only
class CompareResult(TypedDict):
    rows: _Table
    by_depth: _Table
    reference: _Table

def compare_to_reference(
    reference: str,
    trees: Iterable[_BatchTree],
    measures: str | Sequence[str] = ("rf", "triplets_exact"),
    *,
    labels: Sequence[Any] | None = None,
    character_matrix: _CharacterMatrix | None = None,
    cell_names: _Names | None = None,
    common_leaves: bool = False,
    by_depth: bool = False,
    errors: Literal["raise", "coerce"] = "raise",
    max_threads: _Int | None = None,
    progress: _Progress = None,
    executor: Executor | None = None,
    missing_state: _Int = -1,
    unedited_state: _Int = 0,
) -> CompareResult:
    """Every tree scored against the reference: rows in input order, per-depth
    triplet rows, and the reference's own character scores."""

def compare_all_pairs(
    trees: Iterable[_BatchTree],
    measures: str | Sequence[str] = "rf",
    *,
    labels: Sequence[Any] | None = None,
    common_leaves: bool = False,
    errors: Literal["raise", "coerce"] = "raise",
    max_threads: _Int | None = None,
    progress: _Progress = None,
    executor: Executor | None = None,
) -> _Table:
    """Every unordered pair of trees scored: one row per pair i < j."""

def cut_events(
    tree_newick: str,
    character_matrix: _CharacterMatrix,
    *,
    cell_names: _Names | None = None,
    missing_state: _Int = -1,
    unedited_state: _Int = 0,
) -> CutEventsResult:
    """The fewest cut events that explain the matrix on the tree under
    irreversible editing; internal labels never matter. Rows follow the leaves
    in text order, or the leaf named by cell_names."""

# ---- tree files ------------------------------------------------------------------

# A file object read with read(n), giving str (a text file) or bytes (a
# binary one, read as UTF-8).
@type_check_only
class _Readable(Protocol):
    def read(self, n: int, /) -> str | bytes: ...

# A path (a name ending in .gz is decompressed) or a file object.
_Source = str | bytes | PathLike[str] | PathLike[bytes] | _Readable
_Format = Literal["auto", "newick", "nexus"]
_InternalLabels = Literal["keep", "drop"]
# {"length": x} and/or {"support": y}.
_Collapse = dict[str, float]

@overload
def read_trees(
    source: _Source,
    format: _Format = "auto",
    *,
    with_names: Literal[False] = False,
    internal_labels: _InternalLabels = "keep",
    collapse: _Collapse | None = None,
) -> list[str]:
    """Every tree of a Newick or Nexus file as Newick text the functions read."""

@overload
def read_trees(
    source: _Source,
    format: _Format = "auto",
    *,
    with_names: Literal[True],
    internal_labels: _InternalLabels = "keep",
    collapse: _Collapse | None = None,
) -> list[tuple[str, str]]: ...
@overload
def read_trees(
    source: _Source,
    format: _Format = "auto",
    *,
    with_names: bool,
    internal_labels: _InternalLabels = "keep",
    collapse: _Collapse | None = None,
) -> list[str] | list[tuple[str, str]]: ...
@overload
def iter_trees(
    source: _Source,
    format: _Format = "auto",
    *,
    with_names: Literal[False] = False,
    internal_labels: _InternalLabels = "keep",
    collapse: _Collapse | None = None,
) -> Iterator[str]:
    """The trees of a file one at a time, as read_trees gives them."""

@overload
def iter_trees(
    source: _Source,
    format: _Format = "auto",
    *,
    with_names: Literal[True],
    internal_labels: _InternalLabels = "keep",
    collapse: _Collapse | None = None,
) -> Iterator[tuple[str, str]]: ...
@overload
def iter_trees(
    source: _Source,
    format: _Format = "auto",
    *,
    with_names: bool,
    internal_labels: _InternalLabels = "keep",
    collapse: _Collapse | None = None,
) -> Iterator[str] | Iterator[tuple[str, str]]: ...
@overload
def read_tree(
    source: _Source,
    format: _Format = "auto",
    *,
    with_names: Literal[False] = False,
    internal_labels: _InternalLabels = "keep",
    collapse: _Collapse | None = None,
) -> str:
    """The one tree of a file that holds exactly one."""

@overload
def read_tree(
    source: _Source,
    format: _Format = "auto",
    *,
    with_names: Literal[True],
    internal_labels: _InternalLabels = "keep",
    collapse: _Collapse | None = None,
) -> tuple[str, str]: ...
@overload
def read_tree(
    source: _Source,
    format: _Format = "auto",
    *,
    with_names: bool,
    internal_labels: _InternalLabels = "keep",
    collapse: _Collapse | None = None,
) -> str | tuple[str, str]: ...
