"""Robinson-Foulds distance and the Newick reader as seen through it."""

import random

import pytest
from helpers import caterpillar, expect_panic, random_tree, to_newick
from hypothesis import given, settings
from hypothesis import strategies as st
from reference import rf as ref

import cladorix

rf = cladorix.robinson_foulds_distance
rfn = cladorix.robinson_foulds_distance_normalized


class TestExamples:
    @pytest.mark.parametrize(
        "t1,t2,distance",
        [
            ("((A,B),C);", "((A,B),C);", 0),
            ("((A,B),C);", "((A,C),B);", 0),
            ("((A,B),(C,D));", "((A,C),(B,D));", 2),
            ("((A,B),C,D);", "((A,B),(C,D));", 0),
            ("((A,B)X,C);", "((A,B),C);", 0),
            ("(A,B);", "(A,C);", 2),
            ("A;", "A;", 0),
            ("(((A,B),C),(D,E));", "(((A,C),B),(D,E));", 2),
            ("((A,B),(C,D),E);", "((A,(B,C)),(D,E));", 4),
        ],
    )
    def test_distance(self, t1, t2, distance):
        out = rf(t1, t2)
        assert list(out) == ["rf_distance", "computation_time_ms", "method_used"]
        assert out["rf_distance"] == distance
        assert out["method_used"] == "phylo-rs RobinsonFoulds"
        assert isinstance(out["computation_time_ms"], float) and out["computation_time_ms"] >= 0.0
        assert rf(t2, t1)["rf_distance"] == distance

    @pytest.mark.parametrize(
        "t1,t2,expected",
        [
            ("((A,B),C);", "((A,B),C);", (0, 0.0, 0, 3, 3)),
            ("((A,B),C);", "((A,C),B);", (0, 0.0, 0, 3, 3)),
            ("((A,B),(C,D));", "((A,C),(B,D));", (2, 1.0, 2, 4, 4)),
            ("((A,B)X,C);", "((A,B),C);", (0, 0.0, 0, 4, 3)),
            ("(A,B);", "(A,C);", (2, 2.0, 1, 2, 2)),
            ("((A,B),(C,D),(E,F));", "(((A,B),C),(D,(E,F)));", (2, 2 / 6, 6, 6, 6)),
        ],
    )
    def test_normalized(self, t1, t2, expected):
        out = rfn(t1, t2)
        assert list(out) == [
            "rf_distance",
            "normalized_rf_distance",
            "computation_time_ms",
            "method_used",
            "max_possible_rf",
            "tree1_leaves",
            "tree2_leaves",
        ]
        got = (
            out["rf_distance"],
            out["normalized_rf_distance"],
            out["max_possible_rf"],
            out["tree1_leaves"],
            out["tree2_leaves"],
        )
        assert got == expected
        assert out["method_used"] == "phylo-rs RobinsonFoulds"

    def test_unnamed_leaf_is_an_internal_error(self):
        expect_panic(rf, "(A,B);", "(,);")
        expect_panic(rf, "", "A;")
        expect_panic(rfn, "((A,),B);", "((A,C),B);")
        # The root keeps no child when its "(" is never closed: an unnamed leaf.
        expect_panic(rf, "((A,B);", "(A,B);")


class TestReaderThroughNames:
    """`tree1_leaves` counts the distinct names the reader recorded."""

    @pytest.mark.parametrize(
        "text,names",
        [
            ("((A:0.1,B:0.2)AB:0.3,C:0.4)root;", 5),
            ("(A B,C);", 2),
            ("(A,A);", 1),
            ("(A:x,B:);", 2),
            ("(A,B);junk", 2),
            ("(A,B);(C,D)E;", 2),
            ("A(B,C);", 2),  # "A" prefixes the first name closed: "AB"
            ("(A,B)", 2),  # no final ";"
            ("((A,B),C;", 3),  # unclosed "(": accepted; C names the unattached node
            ("(A,\u3000B\u00a0,C\u2009D);", 3),
            ("(A:1:2,B:1e999,C:-inf,D:NaN,E:+.5);", 5),
        ],
    )
    def test_name_count(self, text, names):
        assert rfn(text, "(A,B);")["tree1_leaves"] == names

    def test_white_space_inside_names_is_removed(self):
        assert rf("(A\u2003B,(C\tD,E\u205fF\u1680));", "(AB,(CD,EF));")["rf_distance"] == 0
        assert rf("(A B,C);", "(AB,C);")["rf_distance"] == 0

    def test_text_before_an_open_paren_prefixes_the_next_name(self):
        assert rf("A(B,C);", "(AB,C);")["rf_distance"] == 0

    @pytest.mark.parametrize(
        "text,idx",
        [
            (")", 0),
            (",A;", 0),
            ("A,B;", 1),
            ("(A,B));", 5),
            ("(A,B)) ;", 5),
            ("(A ,  B) ) ;", 5),
            ("(é,B));", 5),
            ("(日本,語));", 6),
            ("(A,\u00a0B))", 5),
            ("\u3000(\u2028A,\u0085B)\u202f)", 5),
            ("(👍,🦀),x", 5),
            ("(ab👍c,d),x", 8),
        ],
    )
    def test_error_positions_count_characters_without_white_space(self, text, idx):
        with pytest.raises(ValueError) as info:
            rf(text, "(A,B);")
        assert str(info.value) == (
            f"Failed to parse tree1: Custom {{ kind: InvalidData, error: InvalidCharacter {{ idx: {idx} }} }}"
        )

    @pytest.mark.parametrize("text", ["A", "(A,B)C", "(A:1", "(A,B):", "(A,B)C \u3000"])
    def test_text_running_off_the_end_is_an_internal_error(self, text):
        expect_panic(rf, text, "(A,B);")

    def test_single_root(self):
        # "" and ";" give one unnamed root: an unnamed leaf for this measure.
        expect_panic(rf, ";", "A;")
        assert rfn("A;", "A;")["tree1_leaves"] == 1


class TestDeepTrees:
    def test_very_deep_caterpillar_parses(self):
        deep = caterpillar(200_000)
        out = rfn(deep, deep)
        assert out["rf_distance"] == 0
        assert out["tree1_leaves"] == 200_000

    @staticmethod
    def swapped_ends(n):
        names = [f"L{i}" for i in range(n)]
        names[0], names[1], names[-1], names[-2] = names[-1], names[-2], names[0], names[1]
        return "(" * (n - 1) + names[0] + "".join(f",{x})" for x in names[1:]) + ";"

    def test_deep_caterpillars_compare(self):
        # Of the n - 3 non-trivial splits of each caterpillar, exactly two are
        # shared when the two pairs of ends swap places: distance 2n - 10.
        for n in (8, 12):
            assert rf(caterpillar(n), self.swapped_ends(n))["rf_distance"] == 2 * n - 10
            assert ref.distance(caterpillar(n), self.swapped_ends(n)) == 2 * n - 10
        n = 20_000
        assert rf(caterpillar(n), self.swapped_ends(n))["rf_distance"] == 2 * n - 10


# ---- against the reference: explicit sets of names -----------------------


@st.composite
def tree_pairs(draw):
    seed = draw(st.integers(0, 2**32 - 1))
    rng = random.Random(seed)
    n1 = draw(st.integers(1, 14))
    pool = [f"n{i}" for i in range(18)]
    names1 = rng.sample(pool, n1)
    if draw(st.booleans()):
        names2 = list(names1)
        rng.shuffle(names2)
    else:
        names2 = rng.sample(pool, draw(st.integers(1, 14)))
    if draw(st.booleans()) and n1 > 1:
        names1[rng.randrange(n1)] = names1[0]  # a repeated leaf name
    kwargs = dict(
        max_children=draw(st.integers(2, 4)),
        single_child_prob=draw(st.sampled_from([0.0, 0.2])),
        internal_name_prob=draw(st.sampled_from([0.0, 0.3])),
        internal_names=pool + ["x", "y"],
    )
    t1 = to_newick(random_tree(rng, names1, **kwargs))
    t2 = to_newick(random_tree(rng, names2, **kwargs))
    return t1, t2


@settings(max_examples=400, deadline=None)
@given(tree_pairs())
def test_matches_reference_on_random_trees(pair):
    t1, t2 = pair
    expected = ref.distance(t1, t2)
    assert rf(t1, t2)["rf_distance"] == expected
    assert rf(t2, t1)["rf_distance"] == expected
