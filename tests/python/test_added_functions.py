"""Every function beyond the original twelve refuses bad input with ValueError
or TypeError, never PanicException: driven by __all__[12:], so a function
added later is covered as soon as its parameters have a valid value below."""

import inspect
import io

import pytest
from helpers import is_panic

import cladorix

ADDED = cladorix.__all__[12:]

# A valid value per parameter name; `tree` receives the text under test.
VALID = {
    "tree1_newick": lambda tree: tree,
    "tree2_newick": lambda tree: "((A,C),B);",
    "tree_newick": lambda tree: tree,
    "reference": lambda tree: tree,
    "trees": lambda tree: [tree, "((A,C),B);"],
    "source": lambda tree: io.StringIO(tree),
    "character_matrix": lambda tree: [[1, 0], [1, 2], [0, 2]],
}

# Texts that end one of the twelve with PanicException.
PANICKING_TEXTS = [
    "A",
    "(A,B)C",
    "(A:1",
    "((A,B),C",
    "(,);",
    "((A,),B);",
    "((A,B),(C,D);",
    "",
]


def call_with(fn, text):
    params = inspect.signature(fn).parameters.values()
    required = [p for p in params if p.default is inspect.Parameter.empty]
    missing = [p.name for p in required if p.name not in VALID]
    assert not missing, f"{fn.__name__}: give test_added_functions.VALID a value for {missing}"
    return fn(*(VALID[p.name](text) for p in required))


def test_there_are_functions_beyond_the_twelve():
    assert "triplets_correct_exact" in ADDED and "leaf_names" in ADDED


@pytest.mark.parametrize("text", PANICKING_TEXTS)
@pytest.mark.parametrize("name", ADDED)
def test_no_panic_beyond_the_twelve(name, text):
    try:
        call_with(getattr(cladorix, name), text)
    except BaseException as e:  # noqa: BLE001 (what is raised is the point)
        assert not is_panic(e), f"{name}({text!r}) raised {e!r}"
        assert isinstance(e, (ValueError, TypeError)), f"{name}({text!r}) raised {e!r}"
        assert str(e), "the message names the problem"
