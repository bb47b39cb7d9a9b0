"""Reading tree files: read_trees against leaf_names on the same tree as plain
text, and against DendroPy and Bio.Phylo reading the same files.

    python3 -m pip install '.[bench]' && python3 bench/bench_tree_files.py [--runs 3]

Every case runs in a fresh interpreter, --runs times; times and memory are
medians. Memory is the peak resident size during the call less the resident
size before it (the file's text, where a case reads it first, is in the
latter).
"""

import argparse
import functools
import os
import random
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import measure, table  # noqa: E402

print = functools.partial(print, flush=True)  # noqa: A001 - progress shows while cases run

# Resident size before the timed code, and the high-water mark after it.
MEMORY = """
def _status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) / 1024.0
_before = _status("VmRSS:")
"""
GROWTH = "\nresult = {'value': result, 'grew_mb': _status('VmHWM:') - _before}\n"


def random_topology(n, seed):
    """children lists of a random binary tree on leaves 0..n-1 (random joins), and its root."""
    rng = random.Random(seed)
    children = [[] for _ in range(n)]
    pool = list(range(n))
    while len(pool) > 1:
        picked = []
        for _ in range(2):
            i = rng.randrange(len(pool))
            pool[i], pool[-1] = pool[-1], pool[i]
            picked.append(pool.pop())
        children.append(picked)
        pool.append(len(children) - 1)
    return children, pool[0], rng


def newick(children, root, rng, label, supports=True):
    """Text with lengths on every edge and supports on internal nodes; no recursion."""
    parts, stack = [], [("n", root)]
    while stack:
        kind, v = stack.pop()
        if kind == "s":
            parts.append(v)
            continue
        length = f":{rng.random():.5f}" if v != root else ""
        if not children[v]:
            parts.append(label(v) + length)
            continue
        support = f"{rng.random():.2f}" if supports else ""
        stack.append(("s", ")" + support + length))
        a, b = children[v]
        stack += [("n", b), ("s", ","), ("n", a), ("s", "(")]
    return "".join(parts) + ";"


def cell(v):
    return f"cell_{v}"


def nexus_file(path, n_leaves, n_trees, seed):
    """A Nexus file as Bayesian samplers write it: a TRANSLATE table of 1..n,
    then trees over those tokens."""
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin trees;\n  translate\n")
        f.write(",\n".join(f"    {i + 1} {cell(i)}" for i in range(n_leaves)) + "\n  ;\n")
        for k in range(n_trees):
            children, root, rng = random_topology(n_leaves, seed + k)
            text = newick(children, root, rng, lambda v: str(v + 1))
            f.write(f"  tree STATE_{k * 1000} = [&R] {text}\n")
        f.write("end;\n")
    return path


def median_cases(cases, runs):
    """{label: (code, setup)} -> {label: medians}; the cases take turns, so
    that a change in the machine's load falls on all of them alike."""
    results = {label: [] for label in cases}
    for _ in range(runs):
        for label, (code, setup) in cases.items():
            results[label].append(measure(MEMORY + code + GROWTH, setup=setup))
    return {
        label: {
            "seconds": statistics.median(r["seconds"] for r in rs),
            "grew_mb": statistics.median(r["result"]["grew_mb"] for r in rs),
            "value": rs[0]["result"]["value"],
        }
        for label, rs in results.items()
    }


def million_leaves(tmp, runs, n):
    print(f"== one {n:,}-leaf tree in a Nexus file with a TRANSLATE table ==")
    nex = nexus_file(os.path.join(tmp, "million.nex"), n, 1, 1)
    children, root, rng = random_topology(n, 1)
    plain_path = os.path.join(tmp, "million.nwk")
    with open(plain_path, "w") as f:
        f.write(newick(children, root, rng, cell))
    size_mb = os.path.getsize(nex) / 2**20
    results = median_cases(
        {
            "read_trees": (f"result = len(cladorix.read_trees({nex!r})[0])", "import cladorix"),
            "leaf_names": (
                "result = len(cladorix.leaf_names(text))",
                f"import cladorix\ntext = open({plain_path!r}).read()",
            ),
        },
        runs,
    )
    ours, names = results["read_trees"], results["leaf_names"]
    rows = [
        (
            "read_trees(nexus file)",
            f"{ours['seconds']:.3f} s",
            f"{ours['seconds'] / names['seconds']:.2f}",
            f"{ours['grew_mb']:.0f} MB",
            f"{ours['grew_mb'] / size_mb:.2f}",
        ),
        (
            "leaf_names(plain text)",
            f"{names['seconds']:.3f} s",
            "1.00",
            f"{names['grew_mb']:.0f} MB",
            "",
        ),
    ]
    print(f"file: {size_mb:.1f} MiB; medians of {runs} runs")
    table(rows, ["call", "time", "time / leaf_names", "memory grown", "memory / file size"])


def against_peers(tmp, runs, posterior_leaves, posterior_trees, big_leaves):
    print("\n== against DendroPy and Bio.Phylo, the same files ==")
    posterior = nexus_file(
        os.path.join(tmp, "posterior.nex"), posterior_leaves, posterior_trees, 100
    )
    children, root, rng = random_topology(big_leaves, 7)
    big = os.path.join(tmp, "big.nwk")
    with open(big, "w") as f:
        f.write("[&R] " + newick(children, root, rng, lambda v: f"'cell {v}'"))
    cases = [
        (
            f"{posterior_trees} trees of {posterior_leaves:,} leaves, Nexus with TRANSLATE",
            {
                "cladorix read_trees": f"result = len(cladorix.read_trees({posterior!r}))",
                "DendroPy TreeList.get": (
                    f"result = len(dendropy.TreeList.get(path={posterior!r}, schema='nexus'))"
                ),
                "Bio.Phylo parse": f"result = len(list(Phylo.parse({posterior!r}, 'nexus')))",
            },
        ),
        (
            f"one {big_leaves:,}-leaf tree, Newick with quoted labels",
            {
                "cladorix read_tree": f"result = len(cladorix.read_tree({big!r}))",
                "DendroPy Tree.get": (
                    f"result = len(dendropy.Tree.get(path={big!r}, schema='newick').leaf_nodes())"
                ),
                "Bio.Phylo read": (f"result = Phylo.read({big!r}, 'newick').count_terminals()"),
            },
        ),
    ]
    setup = "import cladorix, dendropy\nfrom Bio import Phylo\nimport sys\nsys.setrecursionlimit(100000)"
    for title, calls in cases:
        print(f"-- {title} --")
        results = median_cases({label: (code, setup) for label, code in calls.items()}, runs)
        base = next(iter(results.values()))
        table(
            [
                (
                    label,
                    f"{r['seconds']:.3f} s",
                    f"{r['seconds'] / base['seconds']:.1f}",
                    f"{r['grew_mb']:.0f} MB",
                )
                for label, r in results.items()
            ],
            ["reader", "time", "time / cladorix", "memory grown"],
        )


def streaming(tmp, runs, leaves, counts):
    print(f"\n== iter_trees over posterior samples of {leaves:,} leaves: memory stays flat ==")
    children, root, rng = random_topology(leaves, 3)
    tree = newick(children, root, rng, lambda v: str(v + 1))
    rows = []
    for count in counts:
        path = os.path.join(tmp, f"stream{count}.nex")
        with open(path, "w") as f:
            f.write("#NEXUS\nbegin trees;\n translate\n")
            f.write(",\n".join(f"  {i + 1} {cell(i)}" for i in range(leaves)) + ";\n")
            for k in range(count):
                f.write(f" tree STATE_{k} = [&R] {tree}\n")
            f.write("end;\n")
        r = median_cases(
            {"": (f"result = sum(1 for _ in cladorix.iter_trees({path!r}))", "import cladorix")},
            runs,
        )[""]
        rows.append(
            (
                f"{count} trees",
                f"{os.path.getsize(path) / 2**20:.0f} MiB",
                f"{r['seconds']:.2f} s",
                f"{r['grew_mb']:.0f} MB",
            )
        )
        os.remove(path)
    table(rows, ["file", "size", "time", "memory grown"])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3, help="fresh interpreters per case (3)")
    ap.add_argument("--quick", action="store_true", help="a tenth of the sizes")
    opts = ap.parse_args()
    scale = 10 if opts.quick else 1
    with tempfile.TemporaryDirectory() as tmp:
        million_leaves(tmp, opts.runs, 1_000_000 // scale)
        against_peers(tmp, opts.runs, 1_000, 100 // scale, 100_000 // scale)
        streaming(tmp, opts.runs, 100_000 // scale, (50, 400))


if __name__ == "__main__":
    main()
