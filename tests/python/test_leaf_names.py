"""leaf_names: the leaves in the order character-matrix rows are matched to
them, with the parse errors of every other function."""

import random

import pytest
from helpers import caterpillar, random_tree, to_newick
from reference import newick as ref

import cladorix


def test_registered_last_with_its_signature():
    assert cladorix.__all__[13] == "leaf_names"
    assert cladorix.leaf_names.__text_signature__ == "(tree_newick)"
    assert cladorix.leaf_names.__module__ == "cladorix"
    assert "row" in cladorix.leaf_names.__doc__
    assert 2 <= len(cladorix.leaf_names.__doc__.splitlines()) <= 4


@pytest.mark.parametrize("seed", range(20))
def test_order_of_appearance_on_random_trees(seed):
    rng = random.Random(seed)
    names = [f"cell{i}" if rng.random() < 0.8 else "" for i in range(rng.randint(1, 40))]
    root = random_tree(
        rng,
        names,
        max_children=4,
        single_child_prob=0.2,
        internal_name_prob=0.5,
        internal_names=["p", "q", "cell0"],
    )
    text = to_newick(root)
    assert cladorix.leaf_names(text) == ref.leaf_names(text)


def test_rows_are_matched_in_this_order():
    tree = "((c2,c0)x,(c1,c3)y)r;"
    states = {"c0": [1, 0], "c1": [2, 0], "c2": [1, 3], "c3": [2, 3]}
    # Aligned: x and y each take one cut per shared edit, and the two leaves
    # that carry 3 are cut apart.
    aligned = [states[name] for name in cladorix.leaf_names(tree)]
    assert cladorix.parsimony_score(tree, aligned)["parsimony_score"] == 4
    # In name order the edits of the first character land on cousins: each
    # of the four leaves is cut alone; only y shares the 3s.
    by_name = [states[name] for name in sorted(states)]
    assert cladorix.parsimony_score(tree, by_name)["parsimony_score"] == 5


def test_names_as_the_reader_takes_them():
    # Unnamed leaves keep their place; named internal nodes and the root are
    # no leaves; duplicates all appear.
    assert cladorix.leaf_names("((A,B)x,(,C),A)r;") == ["A", "B", None, "C", "A"]
    assert cladorix.leaf_names("(,);") == [None, None]
    assert cladorix.leaf_names("(A:0.5,B:x)AB:1;") == ["A", "B"]
    # White space goes everywhere, also inside names; other characters stay.
    assert cladorix.leaf_names("(é t,\u7d30\u80de,'q'[1])R;") == ["ét", "\u7d30\u80de", "'q'[1]"]
    assert cladorix.leaf_names("(A, B);junk") == ["A", "B"]
    # A lone root is the one leaf.
    assert cladorix.leaf_names("A;") == ["A"]
    assert cladorix.leaf_names("") == [None]
    assert cladorix.leaf_names(tree_newick=";") == [None]
    # An unclosed "(" leaves the root childless: it is a leaf, as for the rows.
    assert cladorix.leaf_names("((A,B);") == [None, "A", "B"]


def test_deep_trees():
    n = 200_000
    assert cladorix.leaf_names(caterpillar(n)) == [f"L{i}" for i in range(n)]


def test_errors():
    with pytest.raises(ValueError) as info:
        cladorix.leaf_names("(A,B));")
    assert (
        str(info.value)
        == "Failed to parse tree: Custom { kind: InvalidData, error: InvalidCharacter { idx: 5 } }"
    )
    for text, what, where in (("(A,B", "name", 3), ("(A:1", "branch length", 2)):
        with pytest.raises(ValueError) as info:
            cladorix.leaf_names(text)
        assert str(info.value) == (
            f"Failed to parse tree: Newick {what} runs to the end of the text from position {where}"
            " (a tree ends with ';')"
        )
    with pytest.raises(TypeError) as info:
        cladorix.leaf_names(b"(A,B);")
    assert (
        str(info.value)
        == "argument 'tree_newick': 'bytes' object cannot be converted to 'PyString'"
    )
    with pytest.raises(
        TypeError, match=r"^leaf_names\(\) missing 1 required positional argument: 'tree_newick'$"
    ):
        cladorix.leaf_names()
    with pytest.raises(
        TypeError, match=r"^leaf_names\(\) takes 1 positional arguments but 2 were given$"
    ):
        cladorix.leaf_names("A;", "B;")
    with pytest.raises(
        TypeError, match=r"^leaf_names\(\) got an unexpected keyword argument 'tree'$"
    ):
        cladorix.leaf_names(tree="A;")
    with pytest.raises(UnicodeEncodeError):
        cladorix.leaf_names("(\ud800,B);")
