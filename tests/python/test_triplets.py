"""The three single-threaded triplet measures, end to end through the module,
against the plain references in reference/triplets.py (reader id order, taxa
map, parent-walk LCAs, the seeded ChaCha12 stream and Floyd's sampler)."""

import math
import random

import cpp_draws
import pytest
from helpers import caterpillar, expect_panic, random_tree, same_floats, to_newick
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from reference import triplets as ref
from reference.newick import Tree
from reference.sampling import RandomSource

import cladorix

KEYS = [
    "all_triplets_correct",
    "resolvable_triplets_correct",
    "unresolved_triplets_correct",
    "proportion_unresolvable",
]


def values(result):
    assert list(result)[:4] == KEYS
    for k in KEYS:
        assert list(result[k]) == [0] and type(result[k][0]) is float
    return [result[k][0] for k in KEYS]


def test_reference_random_source_gives_the_known_streams():
    r = RandomSource(0)
    assert [r.next_u32() for _ in range(4)] == [3442241407, 3140108210, 2384947579, 3321986196]
    r = RandomSource(42)
    assert [r.next_u32() for _ in range(4)] == [572990626, 2261546851, 1068323197, 2330987027]
    r = RandomSource(0)
    assert [r.sample3(10) for _ in range(3)] == [[6, 7, 0], [8, 5, 2], [9, 6, 7]]


# ------------------------------------------------------------------ results

T1 = "(((t0,t1),(t2,t3)),((t4,t5),((t6,t7),(t8,t9))));"


class TestShapes:
    def test_base_and_fast_dicts(self):
        for fn in (cladorix.triplets_correct, cladorix.triplets_correct_fast):
            out = fn(T1, caterpillar(10, "t"), 3, seed=0)
            assert list(out) == KEYS
            # Seed 0 draws (6,7,0), (8,5,2), (9,6,7): only the last agrees.
            assert values(out) == [1 / 3, 1 / 3, 1.0, 0.0]

    def test_ultra_dict(self):
        out = cladorix.triplets_correct_ultra("((A,B),(C,D));", "(((A,B),C),D);")
        assert list(out) == KEYS + ["method_used", "total_triplets_checked"]
        assert values(out) == [0.5, 0.5, 1.0, 0.0]
        assert out["method_used"] == "exhaustive"
        assert type(out["total_triplets_checked"]) is int and out["total_triplets_checked"] == 4

    def test_defaults_and_ignored_argument(self):
        t2 = caterpillar(10, "t")
        for fn in (cladorix.triplets_correct, cladorix.triplets_correct_fast):
            assert fn(T1, t2, seed=5) == fn(T1, t2, 1000, seed=5)
            assert fn(T1, t2, 50, 0, 9) == fn(T1, t2, 50, min_triplets_at_depth=10**6, seed=9)
        big = caterpillar(90, "t")
        out = cladorix.triplets_correct_ultra(big, big, seed=1)
        assert out["method_used"] == "sampling" and out["total_triplets_checked"] == 5000

    def test_zero_trials_and_tiny_trees(self):
        for fn in (cladorix.triplets_correct, cladorix.triplets_correct_fast):
            assert same_floats(values(fn(T1, T1, 0)), [math.nan, 1.0, 1.0, math.nan])
            assert values(fn("(a,b);", "(a,b);", 7)) == [0.0, 0.0, 1.0, 0.0]
        out = cladorix.triplets_correct_ultra("(a,b);", "(a,b);")
        assert same_floats(values(out), [math.nan, 1.0, 1.0, math.nan])
        assert out["total_triplets_checked"] == 0

    def test_ultra_mode_boundary(self):
        t85, t86 = caterpillar(85, "t"), caterpillar(86, "t")
        assert cladorix.triplets_correct_ultra(t85, t85)["total_triplets_checked"] == 98770
        assert cladorix.triplets_correct_ultra(t86, t86)["method_used"] == "sampling"
        out = cladorix.triplets_correct_ultra(t86, t86, 102340)
        assert (out["method_used"], out["total_triplets_checked"]) == ("exhaustive", 102340)
        # A seed changes nothing in exhaustive mode.
        other = to_newick(random_tree(random.Random(3), [f"t{i}" for i in range(85)]))
        assert cladorix.triplets_correct_ultra(
            t85, other, seed=3
        ) == cladorix.triplets_correct_ultra(t85, other)


class TestFailures:
    def test_parse_errors_name_the_tree(self):
        for fn in (
            cladorix.triplets_correct,
            cladorix.triplets_correct_fast,
            cladorix.triplets_correct_ultra,
        ):
            with pytest.raises(ValueError) as e:
                fn("(a,b));", ")")
            assert str(e.value) == (
                "Failed to parse tree1: Custom { kind: InvalidData, "
                "error: InvalidCharacter { idx: 5 } }"
            )
            with pytest.raises(ValueError) as e:
                fn("(a,b);", ",x;")
            assert str(e.value).startswith("Failed to parse tree2: ")

    def test_ultra_taxa_count_mismatch_panics(self):
        err = expect_panic(cladorix.triplets_correct_ultra, "((a,b),c);", "((a,b),(c,d));")
        assert "Trees must have the same number of taxa" in str(err)

    def test_unclosed_parenthesis(self):
        broken, good = "((a,b),(c,d);", "((a,b),(c,d));"
        expect_panic(cladorix.triplets_correct_fast, good, broken, 0)
        expect_panic(cladorix.triplets_correct_ultra, broken, good)
        expect_panic(cladorix.triplets_correct, good, broken, 1, seed=1)
        # Never queried when its names are missing, or when nothing is drawn.
        values(cladorix.triplets_correct(good, "((x,y),(z,w);", 20, seed=1))
        values(cladorix.triplets_correct(broken, good, 0))


# --------------------------------------------------- against the definitions

names_st = st.lists(
    st.sampled_from(["a", "b", "c", "d", "e", "f", "g", "h", ""]), min_size=3, max_size=14
)


@st.composite
def tree_pair(draw, unique=False):
    rng = random.Random(draw(st.integers(0, 2**32)))
    if unique:
        names = [f"n{i}" for i in range(draw(st.integers(3, 25)))]
    else:
        names = draw(names_st)
    names2 = [n if rng.random() < 0.8 else n + "z" for n in names] if not unique else names
    kw = dict(
        max_children=draw(st.integers(2, 4)),
        single_child_prob=draw(st.sampled_from([0, 0.2])),
        internal_name_prob=0.0 if unique else 0.2,
        internal_names=[n for n in names if n],
    )
    return to_newick(random_tree(rng, names, **kw)), to_newick(random_tree(rng, names2, **kw))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(pair=tree_pair(), trials=st.integers(0, 120), seed=st.integers(0, 2**64 - 1))
def test_base_and_fast_match_the_definitions(pair, trials, seed):
    s1, s2 = pair
    assert same_floats(
        values(cladorix.triplets_correct(s1, s2, trials, seed=seed)),
        ref.by_name(s1, s2, trials, seed),
    )
    assert same_floats(
        values(cladorix.triplets_correct_fast(s1, s2, trials, seed=seed)),
        ref.by_name_fast(s1, s2, trials, seed),
    )


@settings(max_examples=25, deadline=None)
@given(pair=tree_pair(unique=True), trials=st.integers(1, 150), seed=st.integers(0, 2**64 - 1))
def test_base_and_fast_agree_on_unique_names(pair, trials, seed):
    s1, s2 = pair
    assert cladorix.triplets_correct(s1, s2, trials, seed=seed) == cladorix.triplets_correct_fast(
        s1, s2, trials, seed=seed
    )


def ordered_random_newick(names, rng):
    """A random topology that keeps the leaves in the given order."""
    items = list(names)
    while len(items) > 1:
        k = min(len(items), rng.choice([2, 2, 3]))
        i = rng.randrange(len(items) - k + 1)
        items[i : i + k] = ["(" + ",".join(items[i : i + k]) + ")"]
    return items[0] + ";"


@settings(max_examples=8, deadline=None)
@given(seed=st.integers(0, 2**64 - 1), tree_seed=st.integers(0, 1000), n=st.integers(86, 110))
def test_ultra_sampling_matches_base_in_the_same_leaf_order(seed, tree_seed, n):
    rng = random.Random(tree_seed)
    s1 = to_newick(random_tree(rng, [f"L{i}" for i in range(n)]))
    t1 = Tree(s1)
    order = [t1.name[v] for v in t1.leaves]
    s2 = ordered_random_newick(order, rng)
    out = cladorix.triplets_correct_ultra(s1, s2, 400, seed=seed)
    assert out["method_used"] == "sampling"
    assert values(out) == values(cladorix.triplets_correct(s1, s2, 400, seed=seed))
    assert same_floats(values(out), ref.ultra(s1, s2, 400, seed)[2])


# ------------------------------------- cases drawn as the C++ suite drew them


def test_unnamed_leaves_stay_in_base_denominators():
    t = "(((a,b),(c,)),((d,e),(f,g)));"
    base = values(cladorix.triplets_correct(t, t, 400, seed=9))
    assert 0.0 < base[0] < 1.0
    assert same_floats(base, ref.by_name(t, t, 400, 9))
    # The fast variant draws named leaves only.
    assert values(cladorix.triplets_correct_fast(t, t, 400, seed=9)) == [1.0, 1.0, 1.0, 0.0]


def test_names_missing_from_tree_2():
    # Unresolved there, so only unresolved-in-tree-1 agree.
    full, part = "((a,b),(c,d,e));", "((a,b),(c,x,y));"
    for seed in (1, 2, 3):
        got = values(cladorix.triplets_correct(full, part, 300, seed=seed))
        assert same_floats(got, ref.by_name(full, part, 300, seed))
        got = values(cladorix.triplets_correct_fast(full, part, 300, seed=seed))
        assert same_floats(got, ref.by_name_fast(full, part, 300, seed))


def check_ultra(t1, t2, trials, seed):
    out = cladorix.triplets_correct_ultra(t1, t2, trials, seed=seed)
    method, total, want = ref.ultra(t1, t2, trials, seed)
    assert (out["method_used"], out["total_triplets_checked"]) == (method, total)
    assert same_floats(values(out), want), (t1, t2, trials, seed)


def test_ultra_mode_on_either_side_of_the_boundary():
    gen = cpp_draws.MersenneTwister(21, 64)
    for n in (85, 86):
        a = cpp_draws.random_newick(cpp_draws.labels(n), gen)
        b = cpp_draws.random_newick(cpp_draws.labels(n), gen)
        for trials in (5000, 102339, 102340, 1 << 40):
            check_ultra(a, b, trials, 17)


def test_every_variant_matches_its_definition_on_drawn_trees():
    # Unique, missing, unnamed and repeated names, named internal nodes.
    gen = cpp_draws.MersenneTwister(2024, 64)
    shapes = [(2, 0.0), (4, 0.0), (3, 0.25), (6, 0.1)]
    for round_ in range(48):
        kind, n, shape = round_ % 3, 3 + gen() % 40, shapes[round_ % 4]
        l1 = cpp_draws.labels(n)
        for i in range(n):  # unique, with unnamed leaves, or with repeated names
            r = gen() % 10
            if kind == 1 and r < 2:
                l1[i] = ""
            if kind == 2 and r < 3:
                l1[i] = f"t{gen() % 5}"
        l2 = list(l1)
        if round_ % 4 == 1:  # some names only in tree 1
            l2 = [s + "x" if s and gen() % 4 == 0 else s for s in l2]
        s1 = cpp_draws.random_newick(l1, gen, *shape)
        s2 = cpp_draws.random_newick(l2, gen, *shape)
        if round_ % 6 == 5:
            s1 = cpp_draws.name_internal_nodes(s1, l1, 0.3, gen)
            s2 = cpp_draws.name_internal_nodes(s2, l2, 0.3, gen)
        named = [sum(v in t.name for v in t.leaves) for t in (Tree(s1), Tree(s2))]
        for trials in (0, 1, 257):
            seed = gen()
            got = values(cladorix.triplets_correct(s1, s2, trials, seed=seed))
            assert same_floats(got, ref.by_name(s1, s2, trials, seed)), (s1, s2, trials)
            got = values(cladorix.triplets_correct_fast(s1, s2, trials, seed=seed))
            assert same_floats(got, ref.by_name_fast(s1, s2, trials, seed)), (s1, s2, trials)
            if named[0] == named[1]:
                check_ultra(s1, s2, trials, seed)
            else:
                expect_panic(cladorix.triplets_correct_ultra, s1, s2, trials, seed=seed)


def test_exhaustive_ultra_counts_every_triplet():
    # Long runs (caterpillars, stars, chains) and short ones (bifurcating).
    gen = cpp_draws.MersenneTwister(77, 64)
    cases = [(caterpillar(30, "t"), caterpillar(30, "t"))]
    cases.append((caterpillar(25, "t"), cpp_draws.random_newick(cpp_draws.labels(25), gen)))
    cases += [
        ("(a,b,c,d,e,f,g);", "((a,b,c),(d,e,f,g));"),
        ("((((a)),b),(c,(d,(e))));", "(a,(b,(c,(d,e))));"),
    ]
    for i in range(12):
        n = 3 + gen() % 60
        shape = (2 + i % 4, 0.2 if i % 3 == 0 else 0.0, i % 2 == 0)
        second = cpp_draws.random_newick(cpp_draws.labels(n), gen, *shape)  # drawn first, as in C++
        cases.append((cpp_draws.random_newick(cpp_draws.labels(n), gen, *shape), second))
    for a, b in cases:
        out = cladorix.triplets_correct_ultra(a, b, 0)
        assert out["method_used"] == "exhaustive"
        method, total, want = ref.ultra(a, b, 0, 0)
        assert (method, out["total_triplets_checked"]) == ("exhaustive", total)
        assert same_floats(values(out), want), (a, b)
