"""Cost of the cancellation polls in the hot loops, against a build without them.

    python3 -m pip install . && python3 bench/bench_cancel_overhead.py --before PYTHON

PYTHON is an interpreter with a build from before the polls were added (for
example a virtual environment where `pip install` ran on that commit). Every
interpreter keeps one worker process that builds the inputs once; the runs
then alternate between the two builds (one of each per round, the order
swapped every round), so that the machine's load falls on both alike. Each
case reports the median time of the whole call and, where the function
reports one, the median of its computation_time_ms, with the ratio of this
build to the other (1.01 = polling costs 1%). With the same seeds both
builds must return the same values; the last column says whether they did.

Cases (the loops that poll, on inputs where they dominate):
  * triplets_correct_ultra: 10^7 seeded trials on two random 100,000-leaf trees;
  * triplets_correct_ultra and triplets_correct_optimized counting every
    triplet of two opposite 8,000-leaf caterpillars (one thread; the pool);
  * parsimony_score and likelihood_score on a simulated 100,000-leaf x 50-site lineage;
  * phs_optimized on a simulated 5,000-leaf x 100-site lineage;
  * reading a random 1,000,000-leaf tree (parsimony_score with no rows).

To see the polls alone, give --before an interpreter whose build is this
code with CancelPoller::tick, resize_polled and SignalPoll::tick reduced to
nothing (a scratch copy; the project has no switch for it).
"""

import argparse
import os
import statistics
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from common import Interpreter, table  # noqa: E402

WORKER = textwrap.dedent(
    """
    import json, sys, time
    sys.path.insert(0, HERE)
    import cladorix
    from common import caterpillar_newick, random_tree_newick, simulate_lineage
    from common import mirror_caterpillar_newick as mirror

    inputs = {}
    def data(key):
        if key not in inputs:
            if key == "random":
                inputs[key] = (random_tree_newick(100_000, 1), random_tree_newick(100_000, 2))
            elif key == "caterpillars":
                inputs[key] = (caterpillar_newick(8_000), mirror(8_000))
            elif key == "lineage":
                inputs[key] = simulate_lineage(100_000, 50, 3)
            elif key == "phs":
                inputs[key] = simulate_lineage(5_000, 100, 4)
            elif key == "big tree":
                inputs[key] = random_tree_newick(1_000_000, 6)
        return inputs[key]

    CASES = {
        "ultra sampling": lambda: cladorix.triplets_correct_ultra(*data("random"), 10**7, seed=5),
        "ultra counting": lambda: cladorix.triplets_correct_ultra(*data("caterpillars"), 2**64 - 1),
        "pooled counting": lambda: cladorix.triplets_correct_optimized(*data("caterpillars"), 2**64 - 1),
        "parsimony": lambda: cladorix.parsimony_score(data("lineage")[0], data("lineage")[1]),
        "likelihood": lambda: cladorix.likelihood_score(data("lineage")[0], data("lineage")[1]),
        "phs": lambda: cladorix.phs_optimized(*data("phs")),
        # An empty matrix: the call is the reading of the tree and its names.
        "newick reading": lambda: cladorix.parsimony_score(data("big tree"), []),
    }

    for line in sys.stdin:
        name = json.loads(line)
        call = CASES[name]
        call()  # inputs built, caches warm
        t0 = time.perf_counter()
        result = call()
        seconds = time.perf_counter() - t0
        compute_ms = result.pop("computation_time_ms", None)
        print(json.dumps({"seconds": seconds, "compute_ms": compute_ms, "result": repr(result)}), flush=True)
    """
).replace("HERE", repr(HERE))

CASES = [
    "ultra sampling",
    "ultra counting",
    "pooled counting",
    "parsimony",
    "likelihood",
    "phs",
    "newick reading",
]


def median(values):
    return statistics.median(values) if values else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--before", required=True, help="interpreter with the build without polls")
    parser.add_argument("--current", default=sys.executable, help="interpreter with this build")
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--case", action="append", choices=CASES)
    args = parser.parse_args()

    workers = {
        "before": Interpreter(args.before, WORKER),
        "current": Interpreter(args.current, WORKER),
    }
    rows = []
    try:
        for case in args.case or CASES:
            runs = {"before": [], "current": []}
            for r in range(args.repeat):
                order = ["before", "current"] if r % 2 == 0 else ["current", "before"]
                for build in order:
                    runs[build].append(workers[build].ask(case))
            same = len({run["result"] for build in runs for run in runs[build]}) == 1
            t = {b: median([run["seconds"] for run in runs[b]]) for b in runs}
            c = {
                b: median([run["compute_ms"] for run in runs[b] if run["compute_ms"] is not None])
                for b in runs
            }
            row = [
                case,
                f"{t['before']:.4f}",
                f"{t['current']:.4f}",
                f"{t['current'] / t['before']:.3f}",
            ]
            if c["before"] is not None and c["current"] is not None:
                row += [
                    f"{c['before']:.1f}",
                    f"{c['current']:.1f}",
                    f"{c['current'] / c['before']:.3f}",
                ]
            else:
                row += ["-", "-", "-"]
            row.append("yes" if same else "NO")
            rows.append(row)
            print("  ".join(row), flush=True)
    finally:
        for w in workers.values():
            w.close()

    headers = [
        "case",
        "before s",
        "current s",
        "ratio",
        "before ms",
        "current ms",
        "ratio",
        "same results",
    ]
    print()
    print(
        f"medians of {args.repeat} alternating runs per build; ms = the function's computation_time_ms"
    )
    table(rows, headers)


if __name__ == "__main__":
    main()
