"""Two builds of cladorix, the same workloads, interleaved: the guard for
refactors that must not slow anything down.

    python3 bench/compare_builds.py --before /path/to/python --after /path/to/python

Each interpreter must have its build of cladorix installed (a virtual
environment each). Every workload runs in a fresh interpreter per repeat, the
two builds alternating, and the report gives each build's median time of the
timed call (inputs are built before the clock starts) and after / before.
Results must be identical; a difference is reported and fails the run.
"""

import argparse
import json
import statistics
import subprocess
import sys
import textwrap

from common import caterpillar_newick, random_tree_newick  # noqa: F401  (used by the workloads)

SETUP = textwrap.dedent(
    """
    import json, random, sys, time
    sys.path.insert(0, {here!r})
    from common import random_tree_newick, caterpillar_newick
    import cladorix

    def matrix(n, chars, seed):
        rng = random.Random(seed)
        return [[rng.choice((0, 0, 0, -1, 1, 2, 3)) for _ in range(chars)] for _ in range(n)]
    """
)

# name -> (setup code, timed expression); the expression's value is compared.
WORKLOADS = {
    "parse + robinson_foulds, 200k leaves": (
        "a = random_tree_newick(200000, 1); b = random_tree_newick(200000, 2)",
        "cladorix.robinson_foulds_distance(a, b)['rf_distance']",
    ),
    "triplets_correct, 100k leaves, 1e5 trials": (
        "a = random_tree_newick(100000, 3); b = random_tree_newick(100000, 4)",
        "cladorix.triplets_correct(a, b, 100000, seed=1)",
    ),
    "triplets_correct_fast, 100k leaves, 1e5 trials": (
        "a = random_tree_newick(100000, 3); b = random_tree_newick(100000, 4)",
        "cladorix.triplets_correct_fast(a, b, 100000, seed=1)",
    ),
    "triplets_correct_ultra, 100k leaves, 1e6 trials": (
        "a = random_tree_newick(100000, 3); b = random_tree_newick(100000, 4)",
        "cladorix.triplets_correct_ultra(a, b, 1000000, seed=1)",
    ),
    "triplets_correct_optimized exhaustive, 3000 leaves": (
        "a = random_tree_newick(3000, 5); b = random_tree_newick(3000, 6)",
        "cladorix.triplets_correct_optimized(a, b, 2**63, seed=1)",
    ),
    "triplets_correct_parallel sampling, 1e6 trials": (
        "a = random_tree_newick(20000, 7); b = random_tree_newick(20000, 8)",
        "cladorix.triplets_correct_parallel(a, b, 1000000, seed=1)",
    ),
    "parsimony_score, 100k x 50": (
        "t = random_tree_newick(100000, 9); m = matrix(100000, 50, 1)",
        "cladorix.parsimony_score(t, m)['parsimony_score']",
    ),
    "likelihood_score, 100k x 50": (
        "t = random_tree_newick(100000, 9); m = matrix(100000, 50, 1)",
        "cladorix.likelihood_score(t, m)['log_likelihood']",
    ),
    "phs_optimized, 3000 x 60": (
        "t = random_tree_newick(3000, 10, internal_names=True); m = matrix(3000, 60, 2);"
        "s = {f'i{v}': [0] * 60 for v in range(3000, 6000)}",
        "cladorix.phs_optimized(t, m, s)['phs_score']",
    ),
}

RUN = textwrap.dedent(
    """
    {setup}
    {prepare}
    t0 = time.perf_counter()
    value = {expr}
    seconds = time.perf_counter() - t0
    if isinstance(value, dict):
        value = {{k: v for k, v in value.items() if k != "computation_time_ms"}}
    print("@@" + json.dumps({{"seconds": seconds, "value": repr(value)}}))
    """
)


def run(python, name, here):
    prepare, expr = WORKLOADS[name]
    program = RUN.format(setup=SETUP.format(here=here), prepare=prepare, expr=expr)
    proc = subprocess.run([python, "-c", program], capture_output=True, text=True, timeout=3600)
    if proc.returncode != 0:
        raise RuntimeError(f"{python} {name}: {proc.stderr}")
    line = [ln for ln in proc.stdout.splitlines() if ln.startswith("@@")][-1]
    return json.loads(line[2:])


def main():
    import os

    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", required=True, help="python with the reference build")
    parser.add_argument("--after", required=True, help="python with the build under test")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--only", default="", help="run workloads whose name contains this")
    args = parser.parse_args()
    failed = False
    print(f"{'workload':52s} {'before s':>9s} {'after s':>9s} {'after/before':>12s}")
    for name in WORKLOADS:
        if args.only not in name:
            continue
        times = {"before": [], "after": []}
        values = {}
        for _ in range(args.repeats):
            for label in ("before", "after"):
                r = run(getattr(args, label), name, here)
                times[label].append(r["seconds"])
                values.setdefault(label, r["value"])
        b, a = statistics.median(times["before"]), statistics.median(times["after"])
        same = values["before"] == values["after"]
        failed |= not same
        print(f"{name:52s} {b:9.4f} {a:9.4f} {a / b:12.3f}{'' if same else '  RESULTS DIFFER'}")
        sys.stdout.flush()
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
