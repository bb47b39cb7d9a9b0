"""Plain-Python reference for cladorix.cut_events: a brute force over the
internal states of every node, for trees of a few leaves.

Irreversible editing: the root is unedited; a node whose parent is unedited
stays unedited or takes any edit (one event); a node whose parent carries an
edit carries the same edit. An observed leaf must end in its observed state; a
missing one fits anything. The minimum number of events is searched over every
such assignment, site by site.
"""


def parse_newick(text):
    """(children lists by node, leaf names in text order, None when unnamed).
    Node 0 is the root; internal labels and branch lengths are dropped."""
    children = [[]]  # a stand-in parent above the root, dropped at the end
    names = []
    stack = [0]
    i = 0
    text = text.strip()
    while i < len(text) and text[i] != ";":
        ch = text[i]
        if ch in "(,)":
            if ch == "(":
                children.append([])
                children[stack[-1]].append(len(children) - 1)
                stack.append(len(children) - 1)
            elif ch == ")":
                stack.pop()
            i += 1
            if ch == ")":  # skip the label and length of the node just closed
                while i < len(text) and text[i] not in ",();":
                    i += 1
            continue
        j = i
        while j < len(text) and text[j] not in ",();":
            j += 1
        children.append([])
        children[stack[-1]].append(len(children) - 1)
        names.append(text[i:j].split(":")[0] or None)
        i = j
    children = [[c - 1 for c in kids] for kids in children[1:]]
    return children, names


def min_events_at_site(children, states, missing, unedited):
    """Fewest events at one site; `states` maps a leaf to its observed state."""
    n = len(children)
    if n == 1:
        return 0
    edits = sorted({s for s in states.values() if s not in (missing, unedited)})
    # One edit nobody observed, so that the search is not limited to the data.
    fresh = max([missing, unedited, *edits]) + 1
    options = [unedited, *edits, fresh]

    def fits(v, state):
        stack = [v]
        while stack:
            u = stack.pop()
            if children[u]:
                stack.extend(children[u])
            elif states[u] not in (missing, state):
                return False
        return True

    best = [n]

    def search(frontier, events):
        # frontier: nodes whose parent is unedited and whose state is open.
        if events >= best[0]:
            return
        if not frontier:
            best[0] = events
            return
        v, rest = frontier[0], frontier[1:]
        for state in options:
            if state == unedited:
                if not children[v]:
                    if states[v] in (missing, unedited):
                        search(rest, events)
                else:
                    search(children[v] + rest, events)
            elif fits(v, state):  # the whole subtree below carries it
                search(rest, events + 1)

    search(list(children[0]), 0)
    return best[0]


def cut_events(tree_newick, character_matrix, cell_names=None, missing_state=-1, unedited_state=0):
    """{'cut_events', 'per_site', 'extra_events', 'n_leaves', 'n_characters'}
    for a valid input: rows by position, or by name through cell_names."""
    children, names = parse_newick(tree_newick)
    leaves = [v for v in range(len(children)) if not children[v]]
    if cell_names is None:
        rows = [list(character_matrix[k]) for k in range(len(leaves))]
    else:
        by_name = dict(zip(cell_names, character_matrix))
        rows = [list(by_name[name]) for name in names]
    sites = len(character_matrix[0]) if len(character_matrix) else 0
    per_site, bound = [], 0
    for i in range(sites):
        states = {leaf: rows[k][i] for k, leaf in enumerate(leaves)}
        per_site.append(min_events_at_site(children, states, missing_state, unedited_state))
        if len(children) > 1:
            bound += len({s for s in states.values() if s not in (missing_state, unedited_state)})
    return {
        "cut_events": sum(per_site),
        "per_site": per_site,
        "extra_events": sum(per_site) - bound,
        "n_leaves": len(leaves),
        "n_characters": sites,
    }
