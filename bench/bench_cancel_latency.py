"""How late a Ctrl-C is seen: the longest stretch of each call between two
looks for pending signals, for every function on large inputs.

    python3 -m pip install . && python3 bench/bench_cancel_latency.py [--before PYTHON]

A timer signal arrives every millisecond during the call; its handler, which
raises nothing, records when it ran. A handler runs only when the call looks
for pending signals, so the longest gap between two runs (or between the
start or end of the call and the nearest run) is the longest a Ctrl-C could
wait. It is given in wall time and in CPU time of the calling thread (which
the machine's other load does not stretch; a thread waiting on the pool uses
none). The aim is under 50 ms of work, and under 0.5 s from the signal to the
end of the call. With --before, the same calls run on another build too (one
that never looked shows a gap as long as the call).

Each function runs in a fresh interpreter; inputs are built before the timer starts.
"""

import argparse
import json
import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from common import table  # noqa: E402

PRELUDE = textwrap.dedent(
    """
    import json, signal, sys, time
    sys.path.insert(0, HERE)
    import cladorix
    from common import caterpillar_newick, random_tree_newick
    from common import mirror_caterpillar_newick as mirror

    def named_balanced(n, sites):
        nodes, k = [f"L{i}" for i in range(n)], 0
        while len(nodes) > 1:
            paired = []
            for i in range(0, len(nodes) - 1, 2):
                k += 1
                paired.append(f"({nodes[i]},{nodes[i + 1]})n{k}")
            if len(nodes) % 2:
                paired.append(nodes[-1])
            nodes = paired
        return nodes[0] + ";", {f"n{i}": [0] * sites for i in range(1, k + 1)}
    """
).replace("HERE", repr(HERE))

# name -> (setup, call); the setup's inputs are built before timing.
CASES = {
    "triplets_correct": (
        "a, b = random_tree_newick(1_000_000, 1), random_tree_newick(1_000_000, 2)",
        "cladorix.triplets_correct(a, b, 10**6, seed=1)",
    ),
    "triplets_correct_fast": (
        "a, b = random_tree_newick(1_000_000, 1), random_tree_newick(1_000_000, 2)",
        "cladorix.triplets_correct_fast(a, b, 10**6, seed=1)",
    ),
    "triplets_correct_ultra": (
        "a, b = random_tree_newick(1_000_000, 1), random_tree_newick(1_000_000, 2)",
        "cladorix.triplets_correct_ultra(a, b, 10**7, seed=1)",
    ),
    "triplets_correct_parallel sampling": (
        "a, b = random_tree_newick(1_000_000, 1), random_tree_newick(1_000_000, 2)",
        "cladorix.triplets_correct_parallel(a, b, 10**7, seed=1)",
    ),
    "triplets_correct_optimized counting": (
        "a, b = caterpillar_newick(20_000), mirror(20_000)",
        "cladorix.triplets_correct_optimized(a, b, 2**64 - 1)",
    ),
    "triplets_correct_exact": (
        "a, b = random_tree_newick(1_000_000, 1), random_tree_newick(1_000_000, 2)",
        "cladorix.triplets_correct_exact(a, b)",
    ),
    "phs_optimized": (
        "t, states = named_balanced(20_000, 50)\n"
        "m = [[(i * 7 + k * 13) % 31 - 1 for k in range(50)] for i in range(997)]\n"
        "m = [m[i % 997] for i in range(20_000)]",
        "cladorix.phs_optimized(t, m, states)",
    ),
    "robinson_foulds_distance": (
        "a, b = caterpillar_newick(3_000_000), mirror(3_000_000)",
        "cladorix.robinson_foulds_distance(a, b)",
    ),
    "robinson_foulds_distance_normalized": (
        "a, b = random_tree_newick(1_000_000, 1), random_tree_newick(1_000_000, 2)",
        "cladorix.robinson_foulds_distance_normalized(a, b)",
    ),
    "parsimony_score": (
        "t = caterpillar_newick(2_000_000)\n"
        "m = [[(k * 13) % 11 - 1 for k in range(50)]] * 2_000_000",
        "cladorix.parsimony_score(t, m)",
    ),
    "parsimony_p_value": (
        "t = caterpillar_newick(2_000_000)\n"
        "m = [[(k * 13) % 11 - 1 for k in range(50)]] * 2_000_000",
        "cladorix.parsimony_p_value(t, m)",
    ),
    "likelihood_score": (
        "t = caterpillar_newick(2_000_000)\n"
        "m = [[(k * 13) % 11 - 1 for k in range(50)]] * 2_000_000",
        "cladorix.likelihood_score(t, m)",
    ),
    "likelihood_distance": (
        "t, u = caterpillar_newick(2_000_000), mirror(2_000_000)\n"
        "m = [[(k * 13) % 11 - 1 for k in range(50)]] * 2_000_000",
        "cladorix.likelihood_distance(t, u, m)",
    ),
    "leaf_names": ("t = caterpillar_newick(5_000_000)", "cladorix.leaf_names(t)"),
}

MEASURE = textwrap.dedent(
    """
    if not hasattr(cladorix, FUNCTION):
        print(json.dumps(None))
        sys.exit(0)
    stamps = []
    def note(signum, frame):
        stamps.append((time.monotonic(), time.thread_time()))
    signal.signal(signal.SIGALRM, note)
    start = (time.monotonic(), time.thread_time())
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    result = CALL  # kept: freeing a big result is the interpreter's time, not the call's
    signal.setitimer(signal.ITIMER_REAL, 0)
    end = (time.monotonic(), time.thread_time())
    points = [start] + stamps + [end]
    wall = max(b[0] - a[0] for a, b in zip(points, points[1:]))
    cpu = max(b[1] - a[1] for a, b in zip(points, points[1:]))
    print(json.dumps({"call": end[0] - start[0], "looks": len(stamps), "wall": wall, "cpu": cpu}))
    """
)


def measure(python, name):
    setup, call = CASES[name]
    program = (
        PRELUDE
        + setup
        + "\n"
        + MEASURE.replace("FUNCTION", repr(name.split()[0])).replace("CALL", call)
    )
    proc = subprocess.run(
        [python, "-c", program], capture_output=True, text=True, cwd=HERE, timeout=3600
    )
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-2000:])
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--before", help="also measure this interpreter's build")
    parser.add_argument("--case", action="append", choices=list(CASES))
    args = parser.parse_args()
    builds = [("current", sys.executable)] + ([("before", args.before)] if args.before else [])
    headers = ["function", "build", "call s", "looks", "longest wall ms", "longest cpu ms"]
    rows = []
    for name in args.case or CASES:
        for build, python in builds:
            r = measure(python, name)
            if r is None:
                row = [name, build, "absent", "", "", ""]
            else:
                row = [
                    name,
                    build,
                    f"{r['call']:.2f}",
                    str(r["looks"]),
                    f"{r['wall'] * 1000:.1f}",
                    f"{r['cpu'] * 1000:.1f}",
                ]
            rows.append(row)
            print("  ".join(row), flush=True)
    print()
    table(rows, headers)


if __name__ == "__main__":
    main()
