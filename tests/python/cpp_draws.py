"""Random inputs drawn as the C++ suite draws them: std::mt19937 and
std::mt19937_64 with libstdc++'s uniform distributions, and the generators of
tests/cpp/tree_gen.hpp. Cases whose reference is a whole measure moved here
from C++ and kept their exact inputs through these."""

import math

M32, M64 = 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF


class MersenneTwister:
    """std::mt19937 (bits=32) or std::mt19937_64 (bits=64) seeded with one number."""

    def __init__(self, seed, bits=32):
        if bits == 32:
            n, self.m, f, self.a = 624, 397, 1812433253, 0x9908B0DF
            self.upper, self.lower, shift = 0x80000000, 0x7FFFFFFF, 30
        else:
            n, self.m, f, self.a = 312, 156, 6364136223846793005, 0xB5026F5AA96619E9
            self.upper, self.lower, shift = 0xFFFFFFFF80000000, 0x7FFFFFFF, 62
        self.bits, self.mask = bits, (1 << bits) - 1
        x = [seed & self.mask]
        for i in range(1, n):
            x.append((f * (x[-1] ^ (x[-1] >> shift)) + i) & self.mask)
        self.x, self.i = x, n

    def _twist(self):
        x, n, m = self.x, len(self.x), self.m
        for k in range(n):
            y = (x[k] & self.upper) | (x[(k + 1) % n] & self.lower)
            x[k] = x[(k + m) % n] ^ (y >> 1) ^ (self.a if y & 1 else 0)
        self.i = 0

    def __call__(self):
        if self.i >= len(self.x):
            self._twist()
        y = self.x[self.i]
        self.i += 1
        if self.bits == 32:
            y ^= y >> 11
            y ^= (y << 7) & 0x9D2C5680
            y ^= (y << 15) & 0xEFC60000
            return y ^ (y >> 18)
        y ^= (y >> 29) & 0x5555555555555555
        y ^= (y << 17) & 0x71D67FFFEDA60000
        y ^= (y << 37) & 0xFFF7EEE000000000
        return y ^ (y >> 43)


def uniform_int(gen, lo, hi):
    """std::uniform_int_distribution(lo, hi)(gen): Lemire's method at the
    generator's width."""
    width = gen.bits
    span = hi - lo + 1
    product = gen() * span
    low = product & gen.mask
    if low < span:
        threshold = ((1 << width) - span) % span
        while low < threshold:
            product = gen() * span
            low = product & gen.mask
    return lo + (product >> width)


def canonical(gen):
    """std::uniform_real_distribution<double>(0, 1)(gen) for std::mt19937_64."""
    r = float(gen()) / 2.0**64
    return r if r < 1.0 else math.nextafter(1.0, 0.0)


def labels(n):
    return [f"t{i}" for i in range(n)]


def random_newick(names, gen, max_children=2, single_child_rate=0.0, keep_order=False):
    """testgen::random_newick."""
    items = list(names)
    if not items:
        return ";"
    while len(items) > 1 or canonical(gen) < single_child_rate * 0.5:
        if canonical(gen) < single_child_rate:
            k = 1
        else:
            hi = min(max_children, len(items))
            k = min(2, len(items)) if hi <= 2 else uniform_int(gen, 2, hi)
        if keep_order:
            start = uniform_int(gen, 0, len(items) - k)
            items[start : start + k] = ["(" + ",".join(items[start : start + k]) + ")"]
            continue
        picked = []
        for _ in range(k):
            pick = uniform_int(gen, 0, len(items) - 1)
            picked.append(items[pick])
            items[pick] = items[-1]
            items.pop()
        items.append("(" + ",".join(picked) + ")")
    return items[0] + ";"


def name_internal_nodes(newick, pool, rate, gen):
    """testgen::name_internal_nodes."""
    out = []
    for ch in newick:
        out.append(ch)
        if ch == ")" and pool and canonical(gen) < rate:
            out.append(pool[uniform_int(gen, 0, len(pool) - 1)])
    return "".join(out)


class CharacterCases:
    """The character cases of the parsimony and likelihood suites: a tree of
    mixed arity with repeated and missing names, a matrix whose row count and
    row lengths vary, and a states map."""

    NAMES = ["a", "b", "c", "d", "e", "r"]

    def __init__(self, seed):
        self.gen = MersenneTwister(seed, 32)

    def pick(self, lo, hi):
        return uniform_int(self.gen, lo, hi)

    def next(self):
        """(newick, matrix, states)."""
        self.leaves = 0
        # GCC evaluated the name of `subtree(0) + maybe_name()` first.
        root_name = self._maybe_name()
        newick = self._subtree(0) + root_name + ";"
        n_chars = self.pick(0, 4)
        added = self.pick(0, 3)
        rows = self.leaves + added - min(self.leaves, self.pick(0, 2))
        matrix = []
        for _ in range(rows):
            length = self.pick(0, n_chars + 1) if self.pick(0, 5) == 0 else n_chars
            matrix.append(self._states(length))
        states = {}
        for name in self.NAMES:
            if self.pick(0, 2) == 0:
                states[name] = self._states(
                    self.pick(0, n_chars + 1) if self.pick(0, 5) == 0 else n_chars
                )
        return newick, matrix, states

    def _states(self, length):
        return [self.pick(0, 4) - 1 for _ in range(length)]

    def _maybe_name(self):
        if self.pick(0, 4) == 0:
            return ""
        return self.NAMES[self.pick(0, 5)]

    def _subtree(self, depth):
        roll = self.pick(3 if depth == 0 else 0, 9)
        kids = 0 if roll < 3 else 1 if roll == 3 else 3 if roll == 4 else 4 if roll == 5 else 2
        if depth >= 5:
            kids = 0
        if kids == 0:
            self.leaves += 1
            return self._maybe_name()
        s = "(" + ",".join(self._subtree(depth + 1) for _ in range(kids)) + ")"
        return s + self._maybe_name() if depth > 0 else s


def phs_case(gen, max_leaves, distinct_edits=3, min_leaves=1):
    """The random cases of the PHS suite: duplicate and missing leaf names,
    internal names that repeat or also name a leaf, rows of uneven length,
    sometimes fewer rows than leaves, sometimes equal markers. Returns
    (newick, matrix, states, missing, unedited)."""

    def pick(lo, hi):
        return uniform_int(gen, lo, hi)

    leaves = pick(min_leaves, max_leaves)
    names = []
    for i in range(leaves):
        r = canonical(gen)
        names.append("" if r < 0.1 else f"t{pick(0, 3)}" if r < 0.2 else f"t{i}")
    max_children = pick(2, 4)
    single = 0.15 if canonical(gen) < 0.3 else 0.0
    pool = ["x0", "x1", "x2", "x3", "x4", "x5", "t1"]
    newick = name_internal_nodes(random_newick(names, gen, max_children, single), pool, 0.8, gen)
    missing, unedited = -1, 0
    if canonical(gen) < 0.15:
        unedited = missing
    width = pick(0, 40)
    rows = pick(0, leaves) if canonical(gen) < 0.2 else leaves + pick(0, 2)

    def state():
        r = canonical(gen)
        if r < 0.15:
            return missing
        if r < 0.5:
            return unedited
        edit = pick(1, distinct_edits)
        return edit * (-7 if canonical(gen) < 0.1 else 1)

    matrix = []
    for _ in range(rows):
        length = pick(0, width + 3) if canonical(gen) < 0.2 else width
        matrix.append([state() for _ in range(length)])
    states = {}
    for name in pool:
        if canonical(gen) < 0.2:
            continue
        length = pick(0, width + 3) if canonical(gen) < 0.2 else width
        states[name] = [unedited if canonical(gen) < 0.6 else state() for _ in range(length)]
    if canonical(gen) < 0.1:
        states["nowhere"] = [unedited]
    return newick, matrix, states, missing, unedited
