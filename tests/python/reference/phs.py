"""The pairwise homoplasy score from its definition: for every pair of named
leaves, the edits they share under an unedited LCA, a binomial tail at the
LCA's depth, and Simes' combination over a full sort."""

import math

from reference.characters import cexp, clog
from reference.newick import Tree

EPS = 2.220446049250313e-16


def homoplasy_probability(rate, q, d, capped=True):
    if d == 1.0:
        return 1.0
    g = cexp((1.0 - d) * (-rate))
    h = ((cexp(d * (-rate)) * (1.0 - g)) * (1.0 - g)) * q
    return 1.0 if capped and h > 1.0 else h


def pair_pvalue(rate, q, c, d, a, capped=True):
    """P(X >= c), X ~ Bin(a, h), term by term; an exact 0 becomes epsilon."""
    h = homoplasy_probability(rate, q, d, capped)
    if c == 0:
        p = 1.0
    elif h == 0.0:
        p = 0.0
    elif h == 1.0:
        p = 1.0 if c <= a else 0.0
    else:
        lnh, ln1h = clog(h), clog(1.0 - h)
        total = 0.0
        for j in range(c):
            if j > a:
                continue
            binom = 1.0
            for k in range(min(j, a - j)):
                binom *= float(a - k) / float(k + 1)
            total += cexp((float(a - j) * ln1h + float(j) * lnh) + clog(binom))
        p = 1.0 - total
    return EPS if p == 0.0 else p


def pairs(text, matrix, states, missing=-1, unedited=0):
    """[(shared edits, LCA depth)] over pairs i < j of named leaves in node
    order; row i belongs to the i-th named leaf, states to the first node
    bearing their name."""
    t = Tree(text)
    leaves = [v for v in t.leaves if v in t.name]
    node_states = {}
    for name, s in states.items():
        first = next((v for v in range(len(t.parent)) if t.name.get(v) == name), None)
        if first is not None:
            node_states[first] = s
    out = []
    for i in range(len(leaves)):
        for j in range(i + 1, len(leaves)):
            node = t.lca(leaves[i], leaves[j])
            s = node_states.get(node)
            c = 0
            if s is not None:
                ra = matrix[i] if i < len(matrix) else []
                rb = matrix[j] if j < len(matrix) else []
                for k in range(min(len(ra), len(rb), len(s))):
                    if s[k] == unedited and ra[k] == rb[k] and ra[k] not in (missing, unedited):
                        c += 1
            out.append((c, float(t.depths[node])))
    return out


def estimated_rate(matrix, missing, unedited):
    known = sum(1 for row in matrix for x in row if x != missing)
    edited = sum(1 for row in matrix for x in row if x != missing and x != unedited)
    return -clog(1 - edited / known) if known else 0.1


def score(text, matrix, states, rate=None, q=None, missing=-1, unedited=0, capped=True):
    """(score, pairs); raises ValueError where a NaN p-value meets other pairs.
    A tree without a named leaf is no case for it."""
    t = Tree(text)
    if not any(v in t.name for v in t.leaves):
        raise AssertionError("no named leaf")
    if rate is None:
        rate = estimated_rate(matrix, missing, unedited)
    a = len(matrix[0]) if matrix else 0
    found = pairs(text, matrix, states, missing, unedited)
    return score_of_pairs(found, rate, 0.1 if q is None else q, a, capped), len(found)


def score_of_pairs(found, rate, q, a, capped=True):
    """Simes' combination over the pairs' p-values; 1 without pairs."""
    if not found:
        return 1.0
    tails = {}  # pairs of one count and depth share their tail
    p = []
    for c, d in found:
        if (c, d) not in tails:
            tails[c, d] = pair_pvalue(rate, q, c, d, a, capped)
        p.append(tails[c, d])
    m = len(p)
    if m == 1:
        return math.inf if math.isnan(p[0]) else min(p[0], math.inf)
    if any(math.isnan(x) for x in p):
        raise ValueError("NaN p-value")
    p.sort()
    best = math.inf
    for k, x in enumerate(p, start=1):
        best = min(best, (float(m) * x) / float(k))
    return best
