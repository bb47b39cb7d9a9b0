"""Generates the example data shipped in examples/data: a simulated CRISPR-Cas9
lineage (a true tree with named internal nodes, a character matrix with
irreversible edits and missing values, the true internal states), a
reconstruction of it with a few subtrees moved, and a Nexus file of four
more reconstructions (more subtrees moved each time) as tree-building tools
write them: a TRANSLATE table, support values, branch lengths, some zero.

    python3 examples/generate_example_data.py [--leaves 300] [--sites 20] [--seed 7]
"""

import argparse
import json
import os
import random


def simulate(leaves, sites, seed, edit_rate=0.08, n_edits=30, missing=0.05):
    rng = random.Random(seed)
    # Grow a lineage by splitting a random cell until there are `leaves` cells.
    children: dict[int, list[int]] = {0: []}
    tips = [0]
    while len(tips) < leaves:
        cell = tips.pop(rng.randrange(len(tips)))
        for _ in range(2):
            new = len(children)
            children[new] = []
            children[cell].append(new)
            tips.append(new)
    # Edits: an unedited site is cut on an edge with probability edit_rate into
    # one of n_edits outcomes (skewed, so that some recur); cuts never revert.
    weights = [1.0 / (k + 1) for k in range(n_edits)]
    states = {0: [0] * sites}
    order = [0]
    for v in order:
        for c in children[v]:
            s = list(states[v])
            for i in range(sites):
                if s[i] == 0 and rng.random() < edit_rate:
                    s[i] = rng.choices(range(1, n_edits + 1), weights)[0]
            states[c] = s
            order.append(c)
    return children, states, rng, missing


def write_tree(children, root, name, length=None):
    """Newick text; `length(v)`, when given, is written after every node but the root."""
    parts, stack = [], [("node", root)]

    def suffix(v):
        return f":{length(v)}" if length and v != root else ""

    while stack:
        kind, v = stack.pop()
        if kind == "text":
            parts.append(v)
        elif not children[v]:
            parts.append(name(v) + suffix(v))
        else:
            stack.append(("text", ")" + name(v) + suffix(v)))
            kids = children[v]
            for i in range(len(kids) - 1, -1, -1):
                stack.append(("node", kids[i]))
                if i > 0:
                    stack.append(("text", ","))
            stack.append(("text", "("))
    return "".join(parts) + ";"


def leaves_in_order(children, root):
    out, stack = [], [root]
    while stack:
        v = stack.pop()
        if children[v]:
            stack.extend(reversed(children[v]))
        else:
            out.append(v)
    return out


def perturb(children, rng, moves):
    """Moves `moves` random subtrees next to another random node (SPR)."""
    children = {k: list(v) for k, v in children.items()}
    parent = {c: p for p, cs in children.items() for c in cs}
    next_id = max(children) + 1
    for _ in range(moves):
        nodes = [v for v in children if v in parent and parent[v] in parent]
        s = rng.choice(nodes)
        # the pruned subtree and its descendants may not receive it
        below, stack = set(), [s]
        while stack:
            v = stack.pop()
            below.add(v)
            stack.extend(children[v])
        targets = [v for v in children if v not in below and v in parent and v != parent[s]]
        if not targets:
            continue
        t = rng.choice(targets)
        p = parent[s]
        children[p].remove(s)
        if len(children[p]) == 1:  # splice out the now single-child node
            only, gp = children[p][0], parent[p]
            children[gp][children[gp].index(p)] = only
            parent[only] = gp
            del children[p], parent[p]
        tp = parent[t]
        joint = next_id
        next_id += 1
        children[joint] = [t, s]
        children[tp][children[tp].index(t)] = joint
        parent[joint], parent[t], parent[s] = tp, joint, joint
    return children


def write_nexus(path, trees, leaf_names, rng):
    """Trees as (name, children) in a TREES block whose TRANSLATE table maps
    1..n to the leaf names; internal nodes carry a support value, edges a
    length (zero for about one internal edge in eight)."""
    token = {v: str(i + 1) for i, v in enumerate(leaf_names)}  # in leaf order
    table = ",\n".join(f"        {token[v]} {leaf_names[v]}" for v in token)
    lines = [
        "#NEXUS",
        "[Reconstructions of true_tree.nwk: examples/generate_example_data.py]",
        "BEGIN TAXA;",
        f"    DIMENSIONS NTAX={len(leaf_names)};",
        "    TAXLABELS " + " ".join(leaf_names[v] for v in token) + ";",
        "END;",
        "BEGIN TREES;",
        "    TRANSLATE",
        table,
        "    ;",
    ]
    for tree_name, children in trees:
        support = {v: f"{rng.uniform(0.3, 1.0):.2f}" for v in children if children[v]}
        length = {
            v: "0.0" if children[v] and rng.random() < 0.125 else f"{rng.uniform(0.01, 1):.3f}"
            for v in children
        }
        text = write_tree(
            children,
            0,
            lambda v, c=children, s=support: token[v] if not c[v] else s[v],
            lambda v, le=length: le[v],
        )
        lines.append(f"    TREE {tree_name} = [&R] {text}")
    lines.append("END;")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--leaves", type=int, default=300)
    ap.add_argument("--sites", type=int, default=20)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument(
        "--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
    )
    args = ap.parse_args()

    children, states, rng, missing = simulate(args.leaves, args.sites, args.seed)
    leaf_order = leaves_in_order(children, 0)
    leaf_name = {v: f"cell{i}" for i, v in enumerate(leaf_order)}

    def name(v):
        return leaf_name[v] if not children[v] else f"n{v}"

    matrix = []
    for v in leaf_order:
        row = [(-1 if rng.random() < missing else s) for s in states[v]]
        matrix.append(row)
    internal = {f"n{v}": states[v] for v in children if children[v]}

    reconstructed = perturb(children, rng, moves=max(3, args.leaves // 30))

    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "true_tree.nwk"), "w") as f:
        f.write(write_tree(children, 0, name) + "\n")
    with open(os.path.join(args.out, "reconstructed_tree.nwk"), "w") as f:
        f.write(
            write_tree(reconstructed, 0, lambda v: leaf_name[v] if not reconstructed[v] else "")
            + "\n"
        )
    with open(os.path.join(args.out, "characters.json"), "w") as f:
        json.dump(
            {
                "leaves": [leaf_name[v] for v in leaf_order],
                "matrix": matrix,
                "internal_states": internal,
            },
            f,
            separators=(",", ":"),
        )
    # Drawn last, so that the files above stay as they were.
    reconstructions = [
        (f"rec_{k + 1}", perturb(children, rng, moves=moves))
        for k, moves in enumerate((2, 5, 10, 20))
    ]
    write_nexus(
        os.path.join(args.out, "reconstructions.nex"),
        reconstructions,
        {v: leaf_name[v] for v in leaf_order},
        rng,
    )
    print(f"wrote {args.leaves} leaves x {args.sites} sites to {args.out}")


if __name__ == "__main__":
    main()
