"""triplets_correct_exact end to end: the result's layout and types, the
counts against a brute force by name, agreement with the by-position
exhaustive count, exact integers beyond 64 bits, the ValueError cases, and
calls from two Python threads at once."""

import math
import random
import threading

import pytest
from helpers import caterpillar, random_tree, run_python, same_float, to_newick
from reference import triplets as ref
from reference.newick import Tree

import cladorix

F = cladorix.triplets_correct_exact
RATIOS = [
    "all_triplets_correct",
    "resolvable_triplets_correct",
    "unresolved_triplets_correct",
    "proportion_unresolvable",
]
KEYS = RATIOS + [
    "triplets_at_depth",
    "overall",
    "counts",
    "method_used",
    "total_triplets_checked",
    "computation_time_ms",
]
COUNTS = ref.COUNTS


# ---------------------------------------------------------------- inputs


def ordered_text(rng, names):
    """A random tree whose leaves appear in the order of `names`."""
    items = list(names)
    while len(items) > 1:
        k = rng.randint(2, min(3, len(items)))
        start = rng.randrange(len(items) - k + 1)
        items[start : start + k] = ["(" + ",".join(items[start : start + k]) + ")"]
    return items[0] + ";"


def random_text(rng, names, **shape):
    return to_newick(random_tree(rng, names, **shape))


# ---------------------------------------------------------------- layout


class TestResult:
    def test_keys_types_and_order(self):
        r = F("(((a,b),c),(d,(e,f,g)));", "((a,(b,c)),((d,e),f,g));")
        assert list(r) == KEYS
        depths = list(r["triplets_at_depth"])
        assert depths == sorted(depths) and depths
        for key in RATIOS:
            assert list(r[key]) == depths
            assert all(type(d) is int and type(v) is float for d, v in r[key].items())
        assert all(type(v) is int for v in r["triplets_at_depth"].values())
        assert list(r["overall"]) == RATIOS
        assert list(r["counts"]) == COUNTS
        assert all(type(v) is int for v in r["counts"].values())
        assert r["method_used"] == "exact"
        assert r["total_triplets_checked"] == r["counts"]["triplets"] == math.comb(7, 3)
        assert sum(r["triplets_at_depth"].values()) == math.comb(7, 3)
        assert type(r["computation_time_ms"]) is float and r["computation_time_ms"] >= 0

    @pytest.mark.parametrize("text", ["(a,b);", "a;", "((a));"])
    def test_fewer_than_three_leaves(self, text):
        r = F(text, text)
        for key in RATIOS + ["triplets_at_depth"]:
            assert r[key] == {}
        assert r["counts"] == dict.fromkeys(COUNTS, 0)
        o = r["overall"]
        assert math.isnan(o["all_triplets_correct"]) and math.isnan(o["proportion_unresolvable"])
        assert o["resolvable_triplets_correct"] == 1.0 and o["unresolved_triplets_correct"] == 1.0

    def test_arguments(self):
        r = F(tree2_newick="((a,b),c);", tree1_newick="(a,(b,c));", max_threads=None)
        assert r["counts"]["correct"] == 0
        with pytest.raises(
            TypeError, match="missing 1 required positional argument: 'tree2_newick'"
        ):
            F("(a,b,c);")
        with pytest.raises(
            TypeError, match=r"takes from 2 to 3 positional arguments but 4 were given"
        ):
            F("(a,b,c);", "(a,b,c);", 1, 2)
        with pytest.raises(TypeError, match="argument 'max_threads': "):
            F("(a,b,c);", "(a,b,c);", max_threads=1.5)
        with pytest.raises(OverflowError):
            F("(a,b,c);", "(a,b,c);", max_threads=-1)
        with pytest.raises(TypeError, match="argument 'tree1_newick': "):
            F(b"(a,b,c);", "(a,b,c);")


# ---------------------------------------------------------------- values


def expect_brute_force(t1, t2):
    """Per depth and overall, against every triplet counted by the reference."""
    expected = ref.exact_by_depth(t1, t2)
    r = F(t1, t2)
    assert list(r["triplets_at_depth"]) == sorted(expected)
    for depth, k in expected.items():
        assert r["triplets_at_depth"][depth] == k.triplets
        for key, value in zip(RATIOS, k.ratios()):
            assert same_float(r[key][depth], value), (key, depth)
    total = ref.Counts()
    for k in expected.values():
        total += k
    assert r["counts"] == total.as_dict()
    for key, value in zip(RATIOS, total.ratios()):
        assert same_float(r["overall"][key], value)


class TestCounts:
    @pytest.mark.parametrize("seed", range(12))
    def test_against_brute_force(self, seed):
        rng = random.Random(seed)
        names = [f"c{i}" for i in range(rng.randint(3, 14))]
        shapes = [dict(), dict(max_children=4), dict(max_children=9, single_child_prob=0.2)]
        t1 = random_text(rng, names, **rng.choice(shapes))
        t2 = random_text(rng, names, **rng.choice(shapes))
        expect_brute_force(t1, t2)

    # Polytomies of 3, 4 and more children put two or more light children on
    # a heavy path, where one-colour stars need their own correction.
    @pytest.mark.parametrize(
        "shape1,shape2,sizes",
        [
            (dict(min_children=3, max_children=3), dict(min_children=3, max_children=3), (6, 20)),
            (dict(max_children=3), dict(min_children=4, max_children=6), (10, 30)),
            (dict(min_children=4, max_children=4), dict(max_children=3), (10, 30)),
            (dict(min_children=3, max_children=8), dict(max_children=5), (20, 40)),
        ],
        ids=["ternary", "mixed-and-wide", "four-and-mixed", "wide-40"],
    )
    def test_polytomies_against_brute_force(self, shape1, shape2, sizes):
        for seed in range(12):
            rng = random.Random(seed)
            names = [f"p{i}" for i in range(rng.randint(*sizes))]
            expect_brute_force(random_text(rng, names, **shape1), random_text(rng, names, **shape2))

    def test_names_not_positions(self):
        # The same tree written with its children in another order: every
        # triplet agrees, which the by-position variants cannot see.
        a = "(((a,b),c),((d,e),(f,(g,h))));"
        b = "((((h,g),f),(e,d)),(c,(b,a)));"
        r = F(a, b)
        assert r["overall"]["all_triplets_correct"] == 1.0
        by_position = cladorix.triplets_correct_optimized(a, b, number_of_trials=10**6)
        assert by_position["all_triplets_correct"][0] < 1.0

    def test_agrees_with_the_by_position_count_in_the_same_leaf_order(self):
        rng = random.Random(4)
        names = [f"x{i}" for i in range(60)]
        t1 = random_text(rng, names, max_children=3)
        t = Tree(t1)
        t2 = ordered_text(rng, [t.name[v] for v in t.leaves])
        exact = F(t1, t2)
        positional = cladorix.triplets_correct_optimized(t1, t2, number_of_trials=10**9)
        assert positional["total_triplets_checked"] == exact["total_triplets_checked"]
        for key in RATIOS:
            assert exact["overall"][key] == positional[key][0]

    def test_counts_beyond_64_bits_are_exact(self):
        # A star over 4.9 million leaves holds C(n, 3) > 2^64 triplets.
        proc = run_python(
            """
            import cladorix, math
            n = 4_900_000
            star = "(" + ",".join(f"s{i}" for i in range(n)) + ");"
            r = cladorix.triplets_correct_exact(star, star)
            c = r["counts"]
            want = math.comb(n, 3)
            assert want > 2**64
            assert c["triplets"] == c["unresolved"] == c["unresolved_correct"] == want, c
            assert c["correct"] == want and c["resolvable_correct"] == 0
            assert r["triplets_at_depth"] == {0: want}
            assert r["total_triplets_checked"] == want
            print("ok")
            """,
            timeout=600,
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == "ok"

    def test_deep_caterpillar(self):
        n = 50_000
        cat = caterpillar(n)
        r = F(cat, cat)
        assert r["counts"]["resolvable_correct"] == math.comb(n, 3)
        assert len(r["triplets_at_depth"]) == n - 2
        # Depth d holds the triplets whose deepest-but-one leaf hangs there.
        assert r["triplets_at_depth"][0] == math.comb(n - 1, 2)


# ---------------------------------------------------------------- errors


class TestErrors:
    @pytest.mark.parametrize(
        "t1,t2,message",
        [
            (
                "((a,b),c;",
                "(a,b,c);",
                "tree1 is not one rooted tree: an opening parenthesis is never closed",
            ),
            (
                "(a,b,c);",
                "(a,(b,c);",
                "tree2 is not one rooted tree: an opening parenthesis is never closed",
            ),
            ("(a,,c);", "(a,b,c);", "tree1 has a leaf without a name (leaf 2 in text order)"),
            ("(a,b,c);", "(a,b,(c,));", "tree2 has a leaf without a name (leaf 4 in text order)"),
            ("(a,(b,a),c);", "(a,b,c);", "tree1 has more than one leaf named 'a'"),
            ("(a,b,c);", "(c,(b,c),a);", "tree2 has more than one leaf named 'c'"),
            ("(a,b,c,d);", "(a,b,c);", "leaf 'd' of tree1 is missing from tree2"),
            ("(a,b,c);", "(a,e,b,c);", "leaf 'e' of tree2 is missing from tree1"),
        ],
    )
    def test_value_errors_name_the_tree_and_the_leaf(self, t1, t2, message):
        with pytest.raises(ValueError) as info:
            F(t1, t2)
        assert str(info.value) == message

    def test_parse_errors_as_the_other_functions(self):
        with pytest.raises(ValueError) as info:
            F(")", "(a,b,c);")
        assert str(info.value) == (
            "Failed to parse tree1: Custom { kind: InvalidData, error: InvalidCharacter { idx: 0 } }"
        )
        with pytest.raises(ValueError) as info:
            F("(a,b,c);", "(a,b),c);")
        assert str(info.value).startswith("Failed to parse tree2: ")

    def test_large_texts_fail_as_small_ones(self):
        # Texts past a megabyte are read side by side; tree 1's failure still wins.
        big = random_text(random.Random(1), [f"leaf{i}" for i in range(150_000)])
        assert len(big) > 2**20
        bad = ")" + big
        for t1, t2, prefix in [(bad, bad, "tree1"), (big, bad, "tree2"), (bad, big, "tree1")]:
            with pytest.raises(ValueError) as info:
                F(t1, t2)
            assert str(info.value) == (
                f"Failed to parse {prefix}: Custom {{ kind: InvalidData, "
                "error: InvalidCharacter { idx: 0 } }"
            )
        assert F(big, big)["overall"]["all_triplets_correct"] == 1.0

    def test_internal_names_are_ignored(self):
        r = F("((a,b)a,c)root;", "((a,b)x,c)c;")
        assert r["counts"]["correct"] == 1


# ---------------------------------------------------------------- threads


class TestThreads:
    def test_two_threads_at_once_give_the_sequential_results(self):
        rng = random.Random(8)
        names = [f"t{i}" for i in range(30_000)]
        pairs = [
            (random_text(rng, names), random_text(rng, names, max_children=5)) for _ in range(2)
        ]
        expected = [F(a, b) for a, b in pairs]
        for max_threads in (1, None):
            got = [None, None]

            def work(i, got=got, max_threads=max_threads):
                got[i] = F(*pairs[i], max_threads=max_threads)

            threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            for g, e in zip(got, expected):
                assert g["counts"] == e["counts"]
                assert g["triplets_at_depth"] == e["triplets_at_depth"]
                assert g["all_triplets_correct"] == e["all_triplets_correct"]

    @pytest.mark.parametrize("leaves", [3, 20_000])
    def test_max_threads_zero_is_a_value_error(self, leaves):
        # Whether or not the count would reach the pool.
        tree = caterpillar(leaves)
        with pytest.raises(ValueError, match="max_threads must be at least 1"):
            F(tree, tree, max_threads=0)

    def test_max_threads_changes_nothing(self):
        rng = random.Random(2)
        names = [f"t{i}" for i in range(50_000)]
        a, b = random_text(rng, names, max_children=3), random_text(rng, names)
        results = [F(a, b, max_threads=m) for m in (1, 2, None)]
        for r in results[1:]:
            assert r["counts"] == results[0]["counts"]
            assert r["resolvable_triplets_correct"] == results[0]["resolvable_triplets_correct"]


class TestInterrupt:
    @pytest.mark.parametrize("max_threads", [1, None])
    def test_ctrl_c_stops_the_count(self, max_threads):
        # A count that takes seconds, interrupted after a fraction of one: the
        # call ends with KeyboardInterrupt instead of a result.
        proc = run_python(
            f"""
            import os, signal, threading, time
            import cladorix
            import random
            n = 1_000_000
            cat = "(" * (n - 1) + "L0" + "".join(f",L{{i}})" for i in range(1, n)) + ";"
            items = [f"L{{i}}" for i in range(n)]
            random.Random(1).shuffle(items)
            while len(items) > 1:  # a balanced tree over the shuffled names
                items = [f"({{a}},{{b}})" for a, b in zip(items[::2], items[1::2])] + (
                    [items[-1]] if len(items) % 2 else [])
            other = items[0] + ";"
            cladorix.triplets_correct_exact("((a,b),c);", "(a,b,c);")  # the pool, warm
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                r = cladorix.triplets_correct_exact(cat, other, max_threads={max_threads!r})
                print("finished", r["counts"]["triplets"])
            except KeyboardInterrupt:
                print("interrupted")
            """,
            timeout=600,
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == "interrupted"
