"""Robinson-Foulds distance from explicit sets of names: every edge's cluster
and its complement within all names of both trees; half the symmetric
difference of the two trees' splits."""

from reference.newick import Tree


def splits(t, universe):
    cluster, out = {}, set()
    for v in reversed(range(len(t.parent))):  # children before parents
        if t.children[v]:
            if v == 0:
                continue
            c = frozenset().union(*(cluster[ch] for ch in t.children[v]))
        else:
            c = frozenset([t.name.get(v)])
        cluster[v] = c
        out.add(c)
        out.add(universe - c)
    return out


def distance(text1, text2):
    trees = [Tree(text1), Tree(text2)]
    universe = frozenset(n for t in trees for n in t.name.values())
    s1, s2 = (splits(t, universe) for t in trees)
    return len(s1 ^ s2) // 2
