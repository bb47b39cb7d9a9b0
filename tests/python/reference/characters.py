"""Parsimony and likelihood from the definitions, by a recursive inference of
internal states: a binary node takes its children's common edit, else the
unedited state; a node of other arity stops the inference below it; the root
is unedited. Rows belong to leaves by position among all leaves."""

import math

from reference.newick import Tree

P_EDIT = 0.09516258196404048  # 1 - exp(-0.1)


def clog(x):
    """The C library's log: -inf at 0 and NaN below, where Python raises."""
    if math.isnan(x) or x < 0:
        return math.nan
    return -math.inf if x == 0 else math.log(x)


def cexp(x):
    """The C library's exp: +inf on overflow, where Python raises."""
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def edge_states(text, matrix, given, missing, unedited):
    """(parent's states, child's states) for every edge, in node order."""
    t = Tree(text)
    index = {t.name[v]: pos for pos, v in enumerate(t.leaves) if v in t.name}
    if given is not None:
        states = dict(given)
    else:
        states = {}
        if matrix:
            n_chars = len(matrix[0])

            def infer(v):
                kids = t.children[v]
                if not kids:
                    pos = index.get(t.name[v]) if v in t.name else None
                    if pos is not None and pos < len(matrix):
                        return list(matrix[pos])
                    return [missing] * n_chars
                if len(kids) != 2:
                    return [unedited] * n_chars
                left, right = infer(kids[0]), infer(kids[1])
                own = []
                for i in range(n_chars):
                    a = left[i] if i < len(left) else missing
                    b = right[i] if i < len(right) else missing
                    own.append(a if a == b and a not in (unedited, missing) else unedited)
                if v in t.name:
                    states[t.name[v]] = own
                return own

            infer(0)
            if 0 in t.name:
                states[t.name[0]] = [unedited] * n_chars

    def lookup(v):
        if v not in t.name:
            return []
        name = t.name[v]
        if name in index and index[name] < len(matrix):
            return list(matrix[index[name]])
        return states.get(name, [])

    return [(lookup(p), lookup(v)) for v, p in enumerate(t.parent) if p is not None]


def parsimony(text, matrix, given=None, missing=-1, unedited=0):
    """Edges where a character leaves the unedited state."""
    count = 0
    for p, c in edge_states(text, matrix, given, missing, unedited):
        for a, b in zip(p, c):
            count += a == unedited and b != unedited and b != missing
    return count


def log_likelihood(text, matrix, given=None, rate=None, collision=None, missing=-1, unedited=0):
    """Sum over edges of each edge's sum over characters, logs taken per character."""
    q = 0.1 if collision is None else collision
    p_edit = P_EDIT if rate is None else 1 - math.exp(-rate)
    p_stay, p_cut = 1 - p_edit, q * p_edit
    total = 0.0
    for p, c in edge_states(text, matrix, given, missing, unedited):
        edge = 0.0
        for a, b in zip(p, c):
            if a == missing or b == missing:
                continue
            if a == unedited:
                edge += clog(p_stay) if b == unedited else clog(p_cut)
            else:
                edge += 0.0 if a == b else -math.inf
        total += edge
    return total
