"""Triplet agreement from the definitions: the outcome rule on LCA depths by
parent walks, the counts and their four ratios, the sampled measures by name
and by position on the seeded stream, and the exhaustive and exact counts."""

import itertools
import math

from reference.newick import Tree
from reference.sampling import RandomSource

COUNTS = ["triplets", "correct", "unresolved", "unresolved_correct", "resolvable_correct"]


def outgroup(ab, ac, bc):
    """Which of (a, b, c) is out, from the depths of their pairs' LCAs; None
    when no pair is strictly deepest."""
    if ab > ac and ab > bc:
        return 2
    if ac > ab and ac > bc:
        return 1
    if bc > ab and bc > ac:
        return 0
    return None


def tree_outgroup(t, ids):
    a, b, c = ids
    return outgroup(t.lca_depth(a, b), t.lca_depth(a, c), t.lca_depth(b, c))


class Counts:
    def __init__(self):
        for k in COUNTS:
            setattr(self, k, 0)

    def add(self, o1, o2):
        """One triplet: its outgroup in tree 1 and in tree 2 (None: unresolved)."""
        self.triplets += 1
        if o1 is None:
            self.unresolved += 1
            if o2 is None:
                self.correct += 1
                self.unresolved_correct += 1
        elif o2 is not None and o1 == o2:
            self.correct += 1
            self.resolvable_correct += 1

    def __iadd__(self, other):
        for k in COUNTS:
            setattr(self, k, getattr(self, k) + getattr(other, k))
        return self

    def as_dict(self):
        return {k: getattr(self, k) for k in COUNTS}

    def ratios(self, denominator=None):
        """all, resolvable, unresolved correct and proportion unresolvable;
        the sampled measures divide by the trials, not by what was tallied."""
        d = self.triplets if denominator is None else denominator
        u = self.unresolved
        return [
            self.correct / d if d else math.nan,
            1.0 if d == u else self.resolvable_correct / (d - u),
            1.0 if u == 0 else self.unresolved_correct / u,
            u / d if d else math.nan,
        ]


# ---- sampled by name -------------------------------------------------------


def by_name(text1, text2, trials, seed):
    """triplets_correct: three of all leaves drawn; a trial with an unnamed
    leaf is skipped; each name resolves to the node named last, leaf or not."""
    t1, t2, rng, counts = Tree(text1), Tree(text2), RandomSource(seed), Counts()

    def out(t, names):
        if any(n not in t.taxa for n in names):
            return None
        o = tree_outgroup(t, [t.taxa[n] for n in names])
        return None if o is None else names[o]

    for _ in range(trials if len(t1.leaves) >= 3 else 0):
        leaves = [t1.leaves[i] for i in rng.sample3(len(t1.leaves))]
        if all(v in t1.name for v in leaves):
            names = [t1.name[v] for v in leaves]
            counts.add(out(t1, names), out(t2, names))
    return counts.ratios(trials)


def by_name_fast(text1, text2, trials, seed):
    """triplets_correct_fast: three of the named leaves drawn; names resolve
    among leaves only, to the leaf named last."""
    t1, t2, rng, counts = Tree(text1), Tree(text2), RandomSource(seed), Counts()

    def table(t):
        return {t.name[v]: v for v in t.leaves if v in t.name}

    def out(t, tab, names):
        if any(n not in tab for n in names):
            return None
        ids = [tab[n] for n in names]
        if len(set(ids)) < 3:
            return None
        o = tree_outgroup(t, ids)
        return None if o is None else names[o]

    tab1, tab2 = table(t1), table(t2)
    named = [v for v in t1.leaves if v in t1.name]
    for _ in range(trials if len(named) >= 3 else 0):
        names = [t1.name[named[i]] for i in rng.sample3(len(named))]
        counts.add(out(t1, tab1, names), out(t2, tab2, names))
    return counts.ratios(trials)


# ---- by position -------------------------------------------------------------


class Positional:
    """Pair depths of the first n leaves (n = the named leaves), by parent walks."""

    def __init__(self, text):
        t = Tree(text)
        self.n = sum(v in t.name for v in t.leaves)
        lv = t.leaves[: self.n]
        self.d = [[t.lca_depth(a, b) for b in lv] for a in lv]

    def outgroup(self, i, j, k):
        o = outgroup(self.d[i][j], self.d[i][k], self.d[j][k])
        return None if o is None else (i, j, k)[o]


def exhaustive_counts(text1, text2):
    """Every triplet of positions i < j < k."""
    a, b, counts = Positional(text1), Positional(text2), Counts()
    for i, j, k in itertools.combinations(range(a.n), 3):
        counts.add(a.outgroup(i, j, k), b.outgroup(i, j, k))
    return counts


def sampled_counts(a, b, trials, rng):
    counts = Counts()
    for _ in range(trials):
        p = rng.sample3(a.n)
        counts.add(a.outgroup(*p), b.outgroup(*p))
    return counts


def by_position_sampled(text1, text2, trials, seed, chunks=1):
    """The pooled measures' sampling: one stream from the seed, or one stream
    per chunk seeded in order from it, chunk c drawing one trial more while
    c < trials mod chunks."""
    a, b = Positional(text1), Positional(text2)
    master = RandomSource(seed)
    if chunks == 1:
        return sampled_counts(a, b, trials, master).ratios(trials)
    assert chunks <= 32  # the seeds' words then come from one refill
    seeds = [master.next_u64() for _ in range(chunks)]
    counts = Counts()
    for c, s in enumerate(seeds):
        share = trials // chunks + (1 if c < trials % chunks else 0)
        counts += sampled_counts(a, b, share, RandomSource(s))
    return counts.ratios(trials)


def ultra(text1, text2, trials, seed):
    """triplets_correct_ultra: (method, triplets checked, four values); every
    triplet unless there are over 100,000 of them, more than 20 positions and
    fewer trials than triplets."""
    a, b = Positional(text1), Positional(text2)
    assert a.n == b.n
    n = a.n
    total = n * (n - 1) * (n - 2) // 6
    if n >= 3 and total > 100_000 and n > 20 and trials < total:
        return "sampling", trials, sampled_counts(a, b, trials, RandomSource(seed)).ratios(trials)
    return "exhaustive", total, exhaustive_counts(text1, text2).ratios()


# ---- exact, by name -----------------------------------------------------------


def triplet_depths(text):
    """{frozenset of three leaf names: depth of their LCA} over every triplet
    of named leaves (uniquely named)."""
    t = Tree(text)
    out = {}
    for names in itertools.combinations([t.name[v] for v in t.leaves if v in t.name], 3):
        x, y, z = (t.taxa[n] for n in names)
        out[frozenset(names)] = min(t.lca_depth(x, y), t.lca_depth(x, z), t.lca_depth(y, z))
    return out


def exact_by_depth(text1, text2):
    """{depth of the triplet's LCA in tree 1: Counts} over every triplet of
    leaf names (both trees hold the same uniquely named leaves)."""
    t1, t2 = Tree(text1), Tree(text2)
    out = {}
    for names in itertools.combinations([t1.name[v] for v in t1.leaves], 3):
        ids1 = [t1.taxa[n] for n in names]
        ids2 = [t2.taxa[n] for n in names]
        x, y, z = ids1
        depth = min(t1.lca_depth(x, y), t1.lca_depth(x, z), t1.lca_depth(y, z))
        out.setdefault(depth, Counts()).add(tree_outgroup(t1, ids1), tree_outgroup(t2, ids2))
    return out
