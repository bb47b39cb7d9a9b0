"""Many trees in one call against the loops users would otherwise write.

    python3 -m pip install '.[bench]' && python3 bench/bench_compare.py [--quick]

Each case runs in a fresh interpreter (time and peak resident memory):
- reference mode: 1,000 reconstructions of a 10,000-leaf truth, rf and
  triplets_exact, compare_to_reference against a Python loop over
  robinson_foulds_distance and triplets_correct_exact;
- all pairs: 200 trees of 10,000 leaves, rf (19,900 pairs), compare_all_pairs
  against a loop over robinson_foulds_distance (on a subset of the pairs,
  scaled up) and DendroPy's treecompare.symmetric_difference (a smaller
  subset, scaled up);
- memory: all pairs above, and reference mode over a stream of 2,000 trees of
  100,000 leaves (a generator: the trees are never all held).
Both sides compute the same numbers; the script checks that they agree.
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from common import measure, table  # noqa: E402

SETUP = """
import sys
sys.path.insert(0, {here!r})
from common import random_tree_newick
import cladorix
truth = random_tree_newick({leaves}, 0)
trees = [random_tree_newick({leaves}, 1 + i) for i in range({trees})]
"""


def reference_cases(leaves, trees):
    setup = SETUP.format(here=HERE, leaves=leaves, trees=trees)
    batch = measure(
        """
r = cladorix.compare_to_reference(truth, trees, ("rf", "triplets_exact"))["rows"]
result = [list(r["rf_distance"]), [float(x) for x in r["all_triplets_correct"]]]
""",
        setup,
    )
    loop = measure(
        """
rf, tc = [], []
for t in trees:
    rf.append(cladorix.robinson_foulds_distance(truth, t)["rf_distance"])
    tc.append(cladorix.triplets_correct_exact(truth, t)["overall"]["all_triplets_correct"])
result = [rf, tc]
""",
        setup,
    )
    assert batch["result"] == loop["result"], "the batch and the loop disagree"
    return batch, loop


def pair_cases(leaves, trees, loop_pairs, dendropy_pairs):
    setup = SETUP.format(here=HERE, leaves=leaves, trees=trees)
    batch = measure(
        f"""
t = cladorix.compare_all_pairs(trees, "rf")
result = list(t["rf_distance"][:{loop_pairs}])
""",
        setup,
    )
    loop = measure(
        f"""
import itertools
result = [
    cladorix.robinson_foulds_distance(trees[a], trees[b])["rf_distance"]
    for a, b in itertools.islice(itertools.combinations(range(len(trees)), 2), {loop_pairs})
]
""",
        setup,
    )
    assert batch["result"] == loop["result"], "the batch and the loop disagree"
    dp = measure(
        f"""
import itertools
import dendropy
from dendropy.calculate import treecompare
taxa = dendropy.TaxonNamespace()
parsed = [dendropy.Tree.get(data=t, schema="newick", taxon_namespace=taxa, rooting="force-rooted")
          for t in trees[:{trees}]]
for p in parsed:
    p.encode_bipartitions()
result = [
    treecompare.symmetric_difference(parsed[a], parsed[b])
    for a, b in itertools.islice(itertools.combinations(range(len(parsed)), 2), {dendropy_pairs})
]
""",
        setup,
    )
    return batch, loop, dp


def stream_case(leaves, trees, distinct):
    setup = f"""
import sys
sys.path.insert(0, {HERE!r})
from common import random_tree_newick
import cladorix
truth = random_tree_newick({leaves}, 0)
pool = [random_tree_newick({leaves}, 1 + i) for i in range({distinct})]
def stream():
    for i in range({trees}):
        yield pool[i % len(pool)]
"""
    return measure(
        """
r = cladorix.compare_to_reference(truth, stream(), ("rf", "triplets_exact"))["rows"]
result = len(r["tree"])
""",
        setup,
    )


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smaller inputs, for a smoke run")
    args = ap.parse_args()
    if args.quick:
        ref_shape, pair_shape, stream_shape = (2000, 100), (2000, 40, 300, 50), (10000, 100, 5)
    else:
        ref_shape, pair_shape, stream_shape = (
            (10000, 1000),
            (10000, 200, 2000, 200),
            (100000, 2000, 10),
        )
    print(f"CPUs: {os.cpu_count()}, load average {os.getloadavg()[0]:.1f}")

    rows = []
    batch, loop = reference_cases(*ref_shape)
    rows.append(
        [
            f"reference mode, {ref_shape[1]} trees of {ref_shape[0]} leaves, rf + triplets_exact",
            f"{batch['seconds']:.2f}",
            f"{loop['seconds']:.2f}",
            f"{loop['seconds'] / batch['seconds']:.2f}x",
            f"{batch['peak_mb']:.0f}",
        ]
    )
    leaves, n, loop_pairs, dp_pairs = pair_shape
    total = n * (n - 1) // 2
    batch, loop, dp = pair_cases(leaves, n, loop_pairs, dp_pairs)
    loop_all = loop["seconds"] * total / loop_pairs
    dp_all = dp["seconds"] * total / dp_pairs
    rows.append(
        [
            f"all pairs, {n} trees of {leaves} leaves, rf ({total} pairs)",
            f"{batch['seconds']:.2f}",
            f"{loop_all:.1f} (from {loop_pairs})",
            f"{loop_all / batch['seconds']:.1f}x",
            f"{batch['peak_mb']:.0f}",
        ]
    )
    rows.append(
        [
            f"  DendroPy treecompare loop (from {dp_pairs} pairs)",
            "",
            f"{dp_all:.1f}",
            f"{dp_all / batch['seconds']:.1f}x",
            f"{dp['peak_mb']:.0f}",
        ]
    )
    s = stream_case(*stream_shape)
    rows.append(
        [
            f"reference mode, a stream of {stream_shape[1]} trees of {stream_shape[0]} leaves",
            f"{s['seconds']:.1f}",
            "",
            "",
            f"{s['peak_mb']:.0f}",
        ]
    )
    table(rows, ["case", "batch s", "loop s", "loop / batch", "batch peak MB"])
    print(f"load average after {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
