"""The reader's structure, written plainly: a node for the text's start and one
for every "(" and ",", ids in that order (a pre-order); a pending name is given
at ",", ")" and ";", a later naming of a name taking it over. For the texts the
tests write: no white space, no branch lengths."""


class Tree:
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
                cur = self._new() if ch == "," else stack.pop()
            elif ch == ";":
                self._give(cur, pending)
                break
            else:
                pending += ch
        # A parent's id is below its children's: one pass gives every depth.
        self.depths = [0] * len(self.parent)
        for v, p in enumerate(self.parent):
            if p is not None:
                self.depths[v] = self.depths[p] + 1
        self.leaves = [v for v in range(len(self.parent)) if not self.children[v]]

    def _new(self):
        self.parent.append(None)
        self.children.append([])
        return len(self.parent) - 1

    def _give(self, v, name):
        if name:
            self.name[v] = name
            self.taxa[name] = v

    def lca(self, a, b):
        """By parent walks."""
        while self.depths[a] > self.depths[b]:
            a = self.parent[a]
        while self.depths[b] > self.depths[a]:
            b = self.parent[b]
        while a != b:
            a, b = self.parent[a], self.parent[b]
        return a

    def lca_depth(self, a, b):
        return self.depths[self.lca(a, b)]


def leaf_names(text):
    """The leaves in id order, None where unnamed: the order rows are matched in."""
    t = Tree(text)
    return [t.name.get(v) for v in t.leaves]
