"""Writes reconstructions of the example's true tree to examples/data, for
`cladorix compare` in scripts/run_example.sh: a Nexus file of three trees with
3, 10 and 30 random subtree moves, its leaves written as the tokens of a
TRANSLATE table, and a Newick tree with 5 moves and a third of its internal
edges contracted into polytomies.

    python3 examples/write_reconstructions.py [--seed 11]

The true tree is simulated again with generate_example_data.py's defaults, and
checked against the true_tree.nwk shipped.
"""

import argparse
import os
import random

from generate_example_data import leaves_in_order, perturb, simulate, write_tree

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def contract(children, rng, share):
    """Contracts about `share` of the internal edges: each chosen node's
    children join its parent in its place."""
    children = {k: list(v) for k, v in children.items()}
    parent = {c: p for p, cs in children.items() for c in cs}
    for v in [v for v in list(children) if children[v] and v in parent]:
        if rng.random() < share:
            p = parent[v]
            i = children[p].index(v)
            children[p][i : i + 1] = children[v]
            for c in children[v]:
                parent[c] = p
            del children[v], parent[v]
    return children


def nexus(trees, tokens):
    """A TREES block with a TRANSLATE table from tokens to cell names."""
    names = sorted(tokens.items(), key=lambda item: int(item[1]))
    lines = ["#NEXUS", "", "BEGIN TREES;", "    TRANSLATE"]
    lines += [f"        {t} {n}," for n, t in names[:-1]]
    lines += [f"        {names[-1][1]} {names[-1][0]};"]
    lines += [f"    TREE {title} = [&R] {text}" for title, text in trees]
    lines += ["END;", ""]
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=11)
    ap.add_argument("--out", default=DATA)
    args = ap.parse_args()

    children, _, _, _ = simulate(300, 20, 7)
    cells = {v: f"cell{i}" for i, v in enumerate(leaves_in_order(children, 0))}
    truth = write_tree(children, 0, lambda v: cells[v] if not children[v] else f"n{v}")
    with open(os.path.join(DATA, "true_tree.nwk")) as f:
        if f.read().strip() != truth:
            raise SystemExit("true_tree.nwk is not generate_example_data.py's default tree")

    rng = random.Random(args.seed)
    tokens = {name: str(i + 1) for i, name in enumerate(cells.values())}

    def token(tree):
        return lambda v: tokens[cells[v]] if not tree[v] else ""

    trees = []
    for moves in (3, 10, 30):
        moved = perturb(children, rng, moves)
        trees.append((f"spr_{moves}", write_tree(moved, 0, token(moved))))
    with open(os.path.join(args.out, "reconstructions.nex"), "w") as f:
        f.write(nexus(trees, tokens))

    polytomies = contract(perturb(children, rng, 5), rng, 1 / 3)
    with open(os.path.join(args.out, "reconstruction_polytomies.nwk"), "w") as f:
        f.write(write_tree(polytomies, 0, lambda v: cells[v] if not polytomies[v] else "") + "\n")
    print(f"wrote reconstructions.nex and reconstruction_polytomies.nwk to {args.out}")


if __name__ == "__main__":
    main()
