"""cut_events against the brute force over internal states
(reference/cut_events.py): random small trees with polytomies, single-child
chains and missing values; internal labels of every kind; rows matched by
name; and the refusals."""

import random
import re

import pytest
from reference.cut_events import cut_events as reference_cut_events

import cladorix


def random_tree(rng, n_leaves):
    """Newick text over leaves c0..c{n-1} in a random order: subtrees are merged
    one to three at a time (one: a single-child node) until one is left."""
    items = [f"c{i}" for i in range(n_leaves)]
    rng.shuffle(items)
    while len(items) > 1 or rng.random() < 0.2:
        k = min(len(items), rng.choice([1, 2, 2, 2, 3]))
        start = rng.randrange(len(items) - k + 1)
        items[start : start + k] = ["(" + ",".join(items[start : start + k]) + ")"]
    return items[0] + ";"


def label(tree, how, rng=None):
    """The same tree with its internal labels replaced: none, unique, all '100',
    or support values with branch lengths."""
    bare = re.sub(r"\)[^,();]*", ")", tree)
    if how == "none":
        return bare
    if how == "unique":
        counter = iter(range(10**6))
        return re.sub(r"\)", lambda m: f")n{next(counter)}", bare)
    if how == "all 100":
        return bare.replace(")", ")100")
    return re.sub(r"\)", lambda m: f"){rng.randint(0, 100)}:{rng.random():.3f}", bare)


def random_rows(rng, n_leaves, sites, missing, unedited):
    # Few edits, so that clades are often pure; some missing values.
    states = [missing, unedited, unedited, 7, 7, 9, 11]
    return [[rng.choice(states) for _ in range(sites)] for _ in range(n_leaves)]


def without_time(result):
    assert result["computation_time_ms"] >= 0.0
    return {k: v for k, v in result.items() if k != "computation_time_ms"}


@pytest.mark.parametrize("seed", range(8))
def test_agrees_with_the_brute_force_on_small_trees(seed):
    rng = random.Random(seed)
    for _ in range(40):
        n = rng.randint(1, 7)
        tree = random_tree(rng, n)
        missing, unedited = rng.choice([(-1, 0), (0, -1), (5, 3)])
        rows = random_rows(rng, n, rng.randint(2, 9), missing, unedited)
        text = label(tree, rng.choice(["none", "unique", "all 100", "support"]), rng)
        got = cladorix.cut_events(text, rows, missing_state=missing, unedited_state=unedited)
        assert without_time(got) == reference_cut_events(text, rows, None, missing, unedited), (
            text,
            rows,
        )


@pytest.mark.parametrize("how", ["unique", "all 100", "support"])
def test_internal_labels_never_change_the_count(how):
    rng = random.Random(19)
    for _ in range(30):
        n = rng.randint(2, 40)
        tree = random_tree(rng, n)
        rows = random_rows(rng, n, 4, -1, 0)
        bare = cladorix.cut_events(label(tree, "none"), rows)
        assert without_time(cladorix.cut_events(label(tree, how, rng), rows)) == without_time(bare)


def test_rows_matched_by_name_follow_their_cells():
    np = pytest.importorskip("numpy")
    pd = pytest.importorskip("pandas")
    rng = random.Random(3)
    for _ in range(20):
        n = rng.randint(2, 30)
        tree = random_tree(rng, n)
        rows = random_rows(rng, n, 3, -1, 0)  # in leaf order
        expected = without_time(cladorix.cut_events(tree, rows))
        cells = cladorix.leaf_names(tree)
        # The rows shuffled by hand, with two cells the tree does not have.
        order = list(range(n)) + [None, None]
        rng.shuffle(order)
        names = [cells[k] if k is not None else f"stray{i}" for i, k in enumerate(order)]
        shuffled = [rows[k] if k is not None else [5, 5, 5] for k in order]
        assert without_time(cladorix.cut_events(tree, shuffled, cell_names=names)) == expected
        frame = pd.DataFrame(np.array(shuffled, dtype=np.int16), index=names)
        got = cladorix.cut_events(tree, frame, cell_names=frame.index)
        assert without_time(got) == expected
        got = cladorix.cut_events(tree, frame.to_numpy(), cell_names=tuple(names))
        assert without_time(got) == expected


LAYOUTS = {
    "C order": lambda np, a: np.ascontiguousarray(a),
    "Fortran order": lambda np, a: np.asfortranarray(a),
    "every other row": lambda np, a: np.repeat(a, 2, axis=0)[::2],
    "every other column": lambda np, a: np.repeat(a, 2, axis=1)[:, ::2],
    "big-endian": lambda np, a: a.astype(">i4"),
    "int64": lambda np, a: a.astype(np.int64),
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_int32_arrays_read_in_place_count_as_their_lists(layout):
    """Rows of native 32-bit arrays are read where they lie; every layout gives
    what the same rows as lists give."""
    np = pytest.importorskip("numpy")
    rng = random.Random(5)
    tree = random_tree(rng, 25)
    rows = random_rows(rng, 25, 6, -1, 0)
    arr = layout(np, np.array(rows, dtype=np.int32))
    assert arr.tolist() == rows
    assert without_time(cladorix.cut_events(tree, arr)) == without_time(
        cladorix.cut_events(tree, rows)
    )


@pytest.mark.parametrize(
    "tree,rows,kwargs,exc,message",
    [
        ("((A,B),C);", [[1], [1]], {}, ValueError, "2 rows but the tree has 3 leaves"),
        ("((A,B),C);", [[1], [1], [1], [1]], {}, ValueError, "4 rows but the tree has 3 leaves"),
        ("((A,B),C);", [[1], [1, 2], [0]], {}, ValueError, "row 0 has 1 states, row 1 has 2"),
        ("((A,B),C);", [[1], [1], [0]], {"missing_state": 0}, ValueError, "both 0"),
        ("((A,B),C;", [[1], [1], [0]], {}, ValueError, "never closed"),
        (")", [[1]], {}, ValueError, "Failed to parse tree"),
        ("((A,B),C);", [[1]] * 3, {"cell_names": ["A", "B"]}, ValueError, "2 names but"),
        ("((A,B),C);", [[1]] * 3, {"cell_names": ["A", "B", "A"]}, ValueError, "'A' more than"),
        ("((A,B),C);", [[1]] * 3, {"cell_names": ["A", "B", "D"]}, ValueError, "leaf 'C' has no"),
        ("((A,),C);", [[1]] * 3, {"cell_names": ["A", "B", "C"]}, ValueError, "leaf 2 in text"),
        ("((A,B),A);", [[1]] * 3, {"cell_names": ["A", "B", "C"]}, ValueError, "leaf named 'A'"),
        ("((A,B),C);", [[1]] * 3, {"cell_names": "ABC"}, TypeError, "argument 'cell_names'"),
        ("((A,B),C);", [[1]] * 3, {"cell_names": ["A", 2, "C"]}, TypeError, "'cell_names'"),
        ("((A,B),C);", [[1]] * 3, {"cell_names": 5}, TypeError, "argument 'cell_names'"),
        ("((A,B),C);", "111", {}, TypeError, "argument 'character_matrix'"),
    ],
)
def test_refusals(tree, rows, kwargs, exc, message):
    with pytest.raises(exc, match=re.escape(message)):
        cladorix.cut_events(tree, rows, **kwargs)
