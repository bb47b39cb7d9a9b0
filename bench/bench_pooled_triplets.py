"""Speed and peak memory of the pooled triplet measures.

    python3 -m pip install . && python3 bench/bench_pooled_triplets.py

Every case runs in a fresh interpreter with RAYON_NUM_THREADS set to its
worker count, so that the pool has that size and the peak resident size
(VmHWM from /proc/self/status) belongs to that case alone. Times are of the
whole Python call, parsing of both Newick texts included; the texts are read
from files before the clock starts. Seeded calls use a new seed per repeat
(the values shown are those of the last). Cases:
  * counting every triplet of two 1,000-leaf trees (number_of_trials =
    C(1000, 3) = 166,167,000), 1 and 2 workers: random trees and the worst
    case of the counting (caterpillars leaning opposite ways);
  * the same on trees large enough for the parallel speed-up to be measured;
  * 1,000,000 seeded trials on two random 100,000-leaf trees;
  * pool overhead: a call that takes the parallel sampling path on small
    work against the same call pinned to one chunk by max_threads=1.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import random_tree_newick  # noqa: E402


def right_caterpillar_newick(n, prefix="L"):
    return (
        "".join(f"({prefix}{i}," for i in range(n - 1)) + f"{prefix}{n - 1}" + ")" * (n - 1) + ";"
    )


def left_caterpillar_newick(n, prefix="L"):
    return "(" * (n - 1) + f"{prefix}0" + "".join(f",{prefix}{i})" for i in range(1, n)) + ";"


RUNNER = textwrap.dedent(
    """
    import json, statistics, sys, time
    import cladorix

    def vm(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024

    t1 = open(sys.argv[1]).read()
    t2 = open(sys.argv[2]).read()
    fn = getattr(cladorix, sys.argv[3])
    trials, repeats = int(sys.argv[4]), int(sys.argv[5])
    max_threads = None if sys.argv[6] == "none" else int(sys.argv[6])
    warmup = int(sys.argv[7])
    # A new seed per call: repeating one draw sequence lets the branch
    # predictor learn it (up to some 10,000 trials), which flatters the time.
    for i in range(warmup):
        fn(t1, t2, trials, seed=10**6 + i, max_threads=max_threads)
    times, out = [], None
    for i in range(repeats):
        start = time.perf_counter()
        out = fn(t1, t2, trials, seed=42 + i, max_threads=max_threads)
        times.append(time.perf_counter() - start)
    print(json.dumps({"best": min(times), "median": statistics.median(times),
                      "peak": vm("VmHWM"),
                      "result": {k: (v if not isinstance(v, dict) else v[0])
                                 for k, v in out.items()}}))
    """
)


def run_case(paths, function, trials, workers, repeats, max_threads=None, warmup=0):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    proc = subprocess.run(
        [
            sys.executable,
            "-c",
            RUNNER,
            paths[0],
            paths[1],
            function,
            str(trials),
            str(repeats),
            "none" if max_threads is None else str(max_threads),
            str(warmup),
        ],
        capture_output=True,
        text=True,
        check=True,
        env=env,
    )
    return json.loads(proc.stdout)


def write_pair(tmp, name, texts):
    paths = []
    for k, text in enumerate(texts):
        path = os.path.join(tmp, f"{name}{k}.nwk")
        with open(path, "w") as f:
            f.write(text)
        paths.append(path)
    return paths


def describe(r):
    res = r["result"]
    return (
        f"{r['best'] * 1000:9.2f} ms / {r['median'] * 1000:9.2f} ms   peak {r['peak'] / 2**20:6.1f} MiB"
        f"   {res['method_used']}, {res['total_triplets_checked']:,} triplets,"
        f" {res['parallel_chunks_used']} chunks, all {res['all_triplets_correct']:.6f}"
    )


def exhaustive_block(title, paths, n, repeats, warmup):
    triplets = n * (n - 1) * (n - 2) // 6
    print(
        f"{title} ({triplets:,} triplets, number_of_trials = {triplets:,};"
        f" best / median of {repeats} after {warmup} unmeasured)"
    )
    for function in ("triplets_correct_parallel", "triplets_correct_optimized"):
        best = {}
        for workers in (1, 2):
            r = run_case(paths, function, triplets, workers, repeats, warmup=warmup)
            assert r["result"]["total_triplets_checked"] == triplets, r
            best[workers] = r["best"]
            print(f"  {function:27s} {workers} worker{'s' if workers > 1 else ' '} {describe(r)}")
        print(f"  {'':27s} speed-up 2 over 1 worker: {best[1] / best[2]:.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--large-caterpillar", type=int, default=20_000)
    parser.add_argument("--large-random", type=int, default=200_000)
    parser.add_argument("--sample-leaves", type=int, default=100_000)
    parser.add_argument("--sample-trials", type=int, default=1_000_000)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        r1000 = write_pair(tmp, "r1000", [random_tree_newick(1000, s) for s in (1, 2)])
        c1000 = write_pair(
            tmp, "c1000", [left_caterpillar_newick(1000), right_caterpillar_newick(1000)]
        )
        exhaustive_block("Every triplet of two random 1,000-leaf trees", r1000, 1000, 50, 10)
        exhaustive_block(
            "Every triplet of two opposite 1,000-leaf caterpillars", c1000, 1000, 50, 10
        )

        n = args.large_caterpillar
        big = write_pair(tmp, "cbig", [left_caterpillar_newick(n), right_caterpillar_newick(n)])
        exhaustive_block(f"Every triplet of two opposite {n:,}-leaf caterpillars", big, n, 3, 1)
        n = args.large_random
        big = write_pair(tmp, "rbig", [random_tree_newick(n, s) for s in (5, 6)])
        exhaustive_block(f"Every triplet of two random {n:,}-leaf trees", big, n, 5, 1)

        n, trials = args.sample_leaves, args.sample_trials
        sampled = write_pair(tmp, "s", [random_tree_newick(n, s) for s in (3, 4)])
        print(
            f"{trials:,} seeded trials on two random {n:,}-leaf trees, parsing included"
            f" (best / median of {args.repeats} after 1 unmeasured)"
        )
        for function in ("triplets_correct_parallel", "triplets_correct_optimized"):
            for workers in (2, 1):
                r = run_case(sampled, function, trials, workers, args.repeats, warmup=1)
                print(
                    f"  {function:27s} {workers} worker{'s' if workers > 1 else ' '} {describe(r)}"
                )

        # Parallel sampling on small work: 2 chunks on the pool against one
        # stream on the calling thread (max_threads=1), same trees and trials.
        print(
            "Pool overhead on small work (2 workers, pool already running;"
            " best / median of 400 calls)"
        )
        cases = (
            ("triplets_correct_parallel", 100, 8000),
            ("triplets_correct_optimized", 120, 16000),
        )
        for function, leaves, trials in cases:
            paths = write_pair(tmp, f"o{leaves}", [random_tree_newick(leaves, s) for s in (7, 8)])
            pooled = run_case(paths, function, trials, 2, 400, warmup=20)
            single = run_case(paths, function, trials, 2, 400, max_threads=1, warmup=20)
            assert pooled["result"]["parallel_chunks_used"] == 2, pooled
            assert single["result"]["parallel_chunks_used"] == 1, single
            print(f"  {function:27s} {leaves} leaves, {trials:,} trials")
            print(f"    parallel path     {describe(pooled)}")
            print(f"    max_threads=1     {describe(single)}")
            print(
                f"    parallel minus max_threads=1: medians {(pooled['median'] - single['median']) * 1e3:+.3f} ms,"
                f" bests {(pooled['best'] - single['best']) * 1e3:+.3f} ms"
            )
            # Two chunks do the sequential work in halves; what the parallel
            # call takes beyond half of it is the hand-over, roughly.
            print(
                f"    parallel minus half of max_threads=1: medians"
                f" {(pooled['median'] - single['median'] / 2) * 1e3:+.3f} ms,"
                f" bests {(pooled['best'] - single['best'] / 2) * 1e3:+.3f} ms"
            )


if __name__ == "__main__":
    main()
