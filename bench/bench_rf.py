"""Newick reading speed and Robinson-Foulds distance, against DendroPy and ete3.

    python3 -m pip install '.[bench]' && python3 bench/bench_rf.py

Every case runs in a fresh interpreter; times include parsing where stated.
"""

import functools
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import caterpillar_newick, measure, random_tree_newick, table  # noqa: E402

print = functools.partial(print, flush=True)  # noqa: A001 - progress shows while cases run


def write(tmp, name, text):
    path = os.path.join(tmp, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def reading(tmp):
    print("== Newick reading ==")
    cases = {
        "1,000,000 leaves, lengths": random_tree_newick(
            1_000_000, 1, lengths=True, internal_names=True
        ),
        "1,000,000 leaves, names only": random_tree_newick(1_000_000, 2),
        "200,000-deep caterpillar": caterpillar_newick(200_000),
    }
    rows = []
    for label, text in cases.items():
        path = write(tmp, "read.nwk", text)
        # The distance against a one-leaf tree is linear and reported apart
        # (computation_time_ms), so the call minus it is reading plus overhead.
        r = measure(
            """
            best = None
            for _ in range(5):
                t0 = time.perf_counter()
                out = cladorix.robinson_foulds_distance(text, "A;")
                spent = time.perf_counter() - t0 - out["computation_time_ms"] / 1000.0
                best = spent if best is None else min(best, spent)
            result = best
            """,
            setup=f"import time, cladorix\ntext = open({path!r}).read()",
        )
        mb = len(text.encode()) / 1e6
        rows.append(
            (label, f"{mb:.1f} MB", f"{r['result'] * 1000:.1f} ms", f"{mb / r['result']:.0f} MB/s")
        )
    table(rows, ["tree", "text", "read (best of 5)", "throughput"])

    print("\n-- reading 100,000 leaves with lengths, against the peers --")
    text = random_tree_newick(100_000, 3, lengths=True)
    path = write(tmp, "peer.nwk", text)
    setup = f"text = open({path!r}).read()"
    ours = measure(
        """
        out = cladorix.robinson_foulds_distance(text, "A;")
        result = None
        """,
        setup=setup + "\nimport cladorix",
    )
    dendro = measure(
        """
        tree = dendropy.Tree.get(data=text, schema="newick")
        result = None
        """,
        setup=setup + "\nimport dendropy",
    )
    ete = measure(
        """
        tree = ete3.Tree(text)
        result = None
        """,
        setup=setup + "\nimport ete3",
    )
    rows = [
        ("cladorix (read + RF vs one leaf)", f"{ours['seconds']:.3f} s", "1.0"),
        (
            "DendroPy Tree.get",
            f"{dendro['seconds']:.3f} s",
            f"{dendro['seconds'] / ours['seconds']:.0f}x slower",
        ),
        ("ete3 Tree", f"{ete['seconds']:.3f} s", f"{ete['seconds'] / ours['seconds']:.0f}x slower"),
    ]
    table(rows, ["reader", "time", "ratio"])


def robinson_foulds(tmp, ete3_leaves):
    print("\n== Robinson-Foulds distance of two random 20,000-leaf trees, parsing included ==")
    if ete3_leaves != 20_000:
        print(f"(ete3 on {ete3_leaves:,} leaves: its comparison is quadratic in time and memory)")
    a = write(tmp, "a.nwk", random_tree_newick(20_000, 11))
    b = write(tmp, "b.nwk", random_tree_newick(20_000, 12))
    setup = f"a = open({a!r}).read()\nb = open({b!r}).read()"
    ours = measure(
        "result = cladorix.robinson_foulds_distance(a, b)['rf_distance']",
        setup=setup + "\nimport cladorix",
    )
    dendro = measure(
        """
        tns = dendropy.TaxonNamespace()
        ta = dendropy.Tree.get(data=a, schema="newick", taxon_namespace=tns)
        tb = dendropy.Tree.get(data=b, schema="newick", taxon_namespace=tns)
        result = treecompare.symmetric_difference(ta, tb)
        """,
        setup=setup + "\nimport dendropy\nfrom dendropy.calculate import treecompare",
    )
    if ete3_leaves != 20_000:
        a_small = write(tmp, "a_small.nwk", random_tree_newick(ete3_leaves, 11))
        b_small = write(tmp, "b_small.nwk", random_tree_newick(ete3_leaves, 12))
        small = f"a = open({a_small!r}).read()\nb = open({b_small!r}).read()"
        ours_small = measure(
            "result = cladorix.robinson_foulds_distance(a, b)['rf_distance']",
            setup=small + "\nimport cladorix",
        )
    else:
        small, ours_small = setup, ours
    ete = measure(
        """
        result = ete3.Tree(a).robinson_foulds(ete3.Tree(b), unrooted_trees=True)[0]
        """,
        setup=small + "\nimport ete3",
    )
    rows = [
        (
            "cladorix",
            ours["result"],
            f"{ours['seconds']:.3f} s",
            f"{ours['peak_mb']:.0f} MB",
            "1.0",
        ),
        (
            "DendroPy symmetric_difference",
            dendro["result"],
            f"{dendro['seconds']:.3f} s",
            f"{dendro['peak_mb']:.0f} MB",
            f"{dendro['seconds'] / ours['seconds']:.0f}x slower",
        ),
        (
            f"ete3 robinson_foulds (unrooted, {ete3_leaves:,} leaves)",
            ete["result"],
            f"{ete['seconds']:.3f} s",
            f"{ete['peak_mb']:.0f} MB",
            f"{ete['seconds'] / ours_small['seconds']:.0f}x slower",
        ),
    ]
    table(rows, ["implementation", "distance", "time", "peak memory", "ratio"])
    print(
        f"distances agree: DendroPy {ours['result'] == dendro['result']}, "
        f"ete3 {ours_small['result'] == ete['result']}"
    )

    print("\n-- two 1,000,000-leaf trees (cladorix only) --")
    a = write(tmp, "a.nwk", random_tree_newick(1_000_000, 21))
    b = write(tmp, "b.nwk", random_tree_newick(1_000_000, 22))
    big = measure(
        "result = cladorix.robinson_foulds_distance(a, b)",
        setup=f"import cladorix\na = open({a!r}).read()\nb = open({b!r}).read()",
    )
    print(
        f"rf_distance {big['result']['rf_distance']}, whole call {big['seconds']:.3f} s, "
        f"computation {big['result']['computation_time_ms']:.0f} ms, peak {big['peak_mb']:.0f} MB"
    )


def main():
    import argparse

    ap = argparse.ArgumentParser(description="Newick reading and Robinson-Foulds benchmarks")
    ap.add_argument(
        "--ete3-leaves",
        type=int,
        default=20_000,
        help="tree size for ete3 (20,000 takes about 15 minutes and 12 GB)",
    )
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        reading(tmp)
        robinson_foulds(tmp, args.ete3_leaves)


if __name__ == "__main__":
    main()
