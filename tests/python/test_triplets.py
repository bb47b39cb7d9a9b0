"""The three single-threaded triplet measures, end to end through the module.

`Ref` below is a deliberately plain Python version of the measures (reader id
order, taxa map, parent-walk LCAs, the seeded ChaCha12 source and Floyd's
sampler), so that seeded results are checked against the definitions rather
than against earlier outputs.
"""

import math
import random

import pytest
from helpers import caterpillar, expect_panic, random_tree, to_newick
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import cladorix

KEYS = [
    "all_triplets_correct",
    "resolvable_triplets_correct",
    "unresolved_triplets_correct",
    "proportion_unresolvable",
]
M32, M64 = 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF


# ---------------------------------------------------------------- reference


class RefRandom:
    """ChaCha12 (64-bit counter and stream) keyed by PCG32 from a seed."""

    def __init__(self, seed):
        s, self.key = seed, []
        for _ in range(8):
            s = (s * 0x5851F42D4C957F2D + 0xA17654E46FBE17F3) & M64
            x, r = ((s >> 45) ^ (s >> 27)) & M32, s >> 59
            self.key.append(((x >> r) | (x << ((32 - r) & 31))) & M32)
        self.counter, self.buf, self.idx = 0, [], 64

    def _block(self, counter):
        init = [
            0x61707865,
            0x3320646E,
            0x79622D32,
            0x6B206574,
            *self.key,
            counter & M32,
            counter >> 32,
            0,
            0,
        ]
        x = list(init)

        def qr(a, b, c, d):
            for p, q, r, rot in ((a, b, d, 16), (c, d, b, 12), (a, b, d, 8), (c, d, b, 7)):
                x[p] = (x[p] + x[q]) & M32
                v = x[r] ^ x[p]
                x[r] = ((v << rot) | (v >> (32 - rot))) & M32

        for _ in range(6):
            qr(0, 4, 8, 12), qr(1, 5, 9, 13), qr(2, 6, 10, 14), qr(3, 7, 11, 15)
            qr(0, 5, 10, 15), qr(1, 6, 11, 12), qr(2, 7, 8, 13), qr(3, 4, 9, 14)
        return [(a + b) & M32 for a, b in zip(x, init)]

    def next_u32(self):
        if self.idx >= 64:
            self.buf = sum((self._block((self.counter + i) & M64) for i in range(4)), [])
            self.counter, self.idx = (self.counter + 4) & M64, 0
        self.idx += 1
        return self.buf[self.idx - 1]

    def uniform_inclusive(self, high):
        rng = (high + 1) & M32
        if rng == 0:
            return self.next_u32()
        zone = ((rng << (32 - rng.bit_length())) & M32) - 1
        while True:
            p = self.next_u32() * rng
            if p & M32 <= zone:
                return p >> 32

    def sample3(self, length):
        out = []
        for j in range(length - 3, length):
            t = self.uniform_inclusive(j)
            if t in out:
                out.insert(out.index(t), j)
            else:
                out.append(t)
        return out


class RefTree:
    """The reader's ids (one per "(" and ","), names given at "," / ")" / ";"."""

    def __init__(self, text):
        self.parent, self.children, self.name, self.taxa = [None], [[]], {}, {}
        stack, cur, pending = [], 0, ""
        for ch in text:
            if ch == "(":
                stack.append(cur)
                cur = self._new()
            elif ch in ",)":
                p = stack[-1]
                self.children[p].append(cur)
                self.parent[cur] = p
                self._give(cur, pending)
                pending = ""
                if ch == ",":
                    cur = self._new()
                else:
                    cur = stack.pop()
            elif ch == ";":
                self._give(cur, pending)
                break
            else:
                pending += ch
        self.leaves = [v for v in range(len(self.parent)) if not self.children[v]]

    def _new(self):
        self.parent.append(None)
        self.children.append([])
        return len(self.parent) - 1

    def _give(self, v, name):
        if name:
            self.name[v] = name
            self.taxa[name] = v

    def depth(self, v):
        d = 0
        while self.parent[v] is not None:
            v, d = self.parent[v], d + 1
        return d

    def lca_depth(self, a, b):
        da, db = self.depth(a), self.depth(b)
        while da > db:
            a, da = self.parent[a], da - 1
        while db > da:
            b, db = self.parent[b], db - 1
        while a != b:
            a, b, da = self.parent[a], self.parent[b], da - 1
        return da


def rule(ab, ac, bc):
    if ab > ac and ab > bc:
        return 2
    if ac > ab and ac > bc:
        return 1
    if bc > ab and bc > ac:
        return 0
    return None


def ref_values(counts, denominator):
    correct, unresolved, unresolved_correct, resolvable_correct = counts
    div = lambda a, b: a / b if b else math.nan  # noqa: E731
    return [
        div(correct, denominator),
        1.0 if denominator == unresolved else resolvable_correct / (denominator - unresolved),
        1.0 if unresolved == 0 else unresolved_correct / unresolved,
        div(unresolved, denominator),
    ]


def tally(counts, o1, o2):
    if o1 is None:
        counts[1] += 1
        if o2 is None:
            counts[0] += 1
            counts[2] += 1
    elif o2 is not None and o1 == o2:
        counts[0] += 1
        counts[3] += 1


def ref_base(s1, s2, trials, seed):
    t1, t2, rng, counts = RefTree(s1), RefTree(s2), RefRandom(seed), [0, 0, 0, 0]

    def outgroup(t, names):
        ids = []
        for n in names:
            if n not in t.taxa:
                return None
            ids.append(t.taxa[n])
        o = rule(
            t.lca_depth(ids[0], ids[1]), t.lca_depth(ids[0], ids[2]), t.lca_depth(ids[1], ids[2])
        )
        return None if o is None else names[o]

    for _ in range(trials if len(t1.leaves) >= 3 else 0):
        leaves = [t1.leaves[i] for i in rng.sample3(len(t1.leaves))]
        if all(v in t1.name for v in leaves):
            names = [t1.name[v] for v in leaves]
            tally(counts, outgroup(t1, names), outgroup(t2, names))
    return ref_values(counts, trials)


def ref_fast(s1, s2, trials, seed):
    t1, t2, rng, counts = RefTree(s1), RefTree(s2), RefRandom(seed), [0, 0, 0, 0]

    def table(t):
        return {t.name[v]: v for v in t.leaves if v in t.name}

    def outgroup(t, tab, names):
        if any(n not in tab for n in names):
            return None
        ids = [tab[n] for n in names]
        if len(set(ids)) < 3:
            return None
        o = rule(
            t.lca_depth(ids[0], ids[1]), t.lca_depth(ids[0], ids[2]), t.lca_depth(ids[1], ids[2])
        )
        return None if o is None else names[o]

    tab1, tab2 = table(t1), table(t2)
    named = [v for v in t1.leaves if v in t1.name]
    for _ in range(trials if len(named) >= 3 else 0):
        names = [t1.name[named[i]] for i in rng.sample3(len(named))]
        tally(counts, outgroup(t1, tab1, names), outgroup(t2, tab2, names))
    return ref_values(counts, trials)


def ref_ultra_sampling(s1, s2, trials, seed):
    t1, t2, rng, counts = RefTree(s1), RefTree(s2), RefRandom(seed), [0, 0, 0, 0]
    n = sum(v in t1.name for v in t1.leaves)

    def outgroup(t, p):
        leaf = [t.leaves[i] for i in p]
        o = rule(
            t.lca_depth(leaf[0], leaf[1]),
            t.lca_depth(leaf[0], leaf[2]),
            t.lca_depth(leaf[1], leaf[2]),
        )
        return None if o is None else p[o]

    for _ in range(trials):
        p = rng.sample3(n)
        tally(counts, outgroup(t1, p), outgroup(t2, p))
    return ref_values(counts, trials)


def values(result):
    assert list(result)[:4] == KEYS
    for k in KEYS:
        assert list(result[k]) == [0] and type(result[k][0]) is float
    return [result[k][0] for k in KEYS]


def same(got, want):
    return all((math.isnan(w) and math.isnan(g)) or g == w for g, w in zip(got, want))


def test_reference_random_source_gives_the_known_streams():
    r = RefRandom(0)
    assert [r.next_u32() for _ in range(4)] == [3442241407, 3140108210, 2384947579, 3321986196]
    r = RefRandom(42)
    assert [r.next_u32() for _ in range(4)] == [572990626, 2261546851, 1068323197, 2330987027]
    r = RefRandom(0)
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
            assert same(values(fn(T1, T1, 0)), [math.nan, 1.0, 1.0, math.nan])
            assert values(fn("(a,b);", "(a,b);", 7)) == [0.0, 0.0, 1.0, 0.0]
        out = cladorix.triplets_correct_ultra("(a,b);", "(a,b);")
        assert same(values(out), [math.nan, 1.0, 1.0, math.nan])
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
    assert same(
        values(cladorix.triplets_correct(s1, s2, trials, seed=seed)), ref_base(s1, s2, trials, seed)
    )
    assert same(
        values(cladorix.triplets_correct_fast(s1, s2, trials, seed=seed)),
        ref_fast(s1, s2, trials, seed),
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
    t1 = RefTree(s1)
    order = [t1.name[v] for v in t1.leaves]
    s2 = ordered_random_newick(order, rng)
    out = cladorix.triplets_correct_ultra(s1, s2, 400, seed=seed)
    assert out["method_used"] == "sampling"
    assert values(out) == values(cladorix.triplets_correct(s1, s2, 400, seed=seed))
    assert same(values(out), ref_ultra_sampling(s1, s2, 400, seed))
