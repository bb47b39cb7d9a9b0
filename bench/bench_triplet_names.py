"""The name-matching triplet variants against a build that matched names per trial.

    python3 -m pip install . && python3 bench/bench_triplet_names.py --before PYTHON

PYTHON is an interpreter with a build from before names were resolved once
per call (triplets_correct and triplets_correct_fast then hashed and compared
the drawn leaves' names on every trial). Both builds run the same calls in
the same run, alternating, each in one worker process that builds the inputs
once; the table gives the median time of the whole call (parsing included),
the ratio before / current, and whether both builds returned the same values
(every call is seeded).

Cases:
  * a three-leaf tree with a 50 MB leaf name, the default 1,000 trials;
  * 10^6 trials on two random 1,000,000-leaf trees over the same names;
each for triplets_correct, triplets_correct_fast and, as the yardstick that
never looked at names, triplets_correct_ultra.
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
    from common import random_tree_newick

    inputs = {}
    def trees(key):
        if key not in inputs:
            if key == "long name":
                t = "(A,(B," + "n" * 50_000_000 + "));"
                inputs[key] = (t, t)
            else:
                inputs[key] = (random_tree_newick(1_000_000, 1), random_tree_newick(1_000_000, 2))
        return inputs[key]

    TRIALS = {"long name": 1000, "million leaves": 10**6}

    for line in sys.stdin:
        function, key = json.loads(line)
        a, b = trees(key)
        f = getattr(cladorix, function)
        t0 = time.perf_counter()
        result = f(a, b, TRIALS[key], seed=7)
        seconds = time.perf_counter() - t0
        print(json.dumps({"seconds": seconds, "result": repr(result)}), flush=True)
    """
).replace("HERE", repr(HERE))

FUNCTIONS = ["triplets_correct", "triplets_correct_fast", "triplets_correct_ultra"]
INPUTS = ["long name", "million leaves"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument(
        "--before", required=True, help="interpreter with the build to compare with"
    )
    parser.add_argument("--current", default=sys.executable, help="interpreter with this build")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    workers = {
        "before": Interpreter(args.before, WORKER),
        "current": Interpreter(args.current, WORKER),
    }
    rows = []
    try:
        for key in INPUTS:
            for function in FUNCTIONS:
                runs = {"before": [], "current": []}
                for r in range(args.repeat):
                    order = ["before", "current"] if r % 2 == 0 else ["current", "before"]
                    for build in order:
                        runs[build].append(workers[build].ask([function, key]))
                t = {b: statistics.median(run["seconds"] for run in runs[b]) for b in runs}
                same = len({run["result"] for b in runs for run in runs[b]}) == 1
                row = [
                    key,
                    function,
                    f"{t['before']:.3f}",
                    f"{t['current']:.3f}",
                    f"{t['before'] / t['current']:.1f}",
                    "yes" if same else "NO",
                ]
                rows.append(row)
                print("  ".join(row), flush=True)
    finally:
        for w in workers.values():
            w.close()

    headers = ["input", "function", "before s", "current s", "before / current", "same results"]
    print()
    print(f"medians of {args.repeat} alternating runs per build, parsing included")
    table(rows, headers)


if __name__ == "__main__":
    main()
