"""Speed and peak memory of the single-threaded triplet measures.

    python3 -m pip install . && python3 bench/bench_triplets.py

Cases (each in a fresh interpreter, so that the peak resident size VmHWM from
/proc/self/status belongs to that case alone):
  * 10,000 seeded trials on two random 100,000-leaf trees, parsing included,
    for triplets_correct, triplets_correct_fast and triplets_correct_ultra;
  * triplets_correct_ultra exhaustive on 85 leaves (98,770 triplets).
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import textwrap


def random_tree_newick(n, seed, prefix="t"):
    """Random binary tree on n leaves by random joins of two subtrees, leaf
    names shuffled; written without recursion."""
    rng = random.Random(seed)
    children = [None] * n  # ids below n are leaves
    pool = list(range(n))
    while len(pool) > 1:
        pair = []
        for _ in range(2):
            i = rng.randrange(len(pool))
            pool[i], pool[-1] = pool[-1], pool[i]
            pair.append(pool.pop())
        children.append(pair)
        pool.append(len(children) - 1)
    names = [f"{prefix}{i}" for i in range(n)]
    rng.shuffle(names)
    out, stack = [], [(pool[0], 0)]
    while stack:
        node, state = stack.pop()
        if node is None:
            out.append(",")
        elif node < n:
            out.append(names[node])
        elif state == 0:
            out.append("(")
            a, b = children[node]
            stack.extend([(node, 1), (b, 0), (None, 0), (a, 0)])
        else:
            out.append(")")
    return "".join(out) + ";"


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
    before = vm("VmHWM")
    times, out = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn(t1, t2, trials, seed=42)
        times.append(time.perf_counter() - start)
    print(json.dumps({"best": min(times), "median": statistics.median(times),
                      "peak": vm("VmHWM"), "before": before,
                      "result": {k: (v if not isinstance(v, dict) else v[0])
                                 for k, v in out.items()}}))
    """
)


def run_case(path1, path2, function, trials, repeats):
    proc = subprocess.run(
        [sys.executable, "-c", RUNNER, path1, path2, function, str(trials), str(repeats)],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(proc.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--leaves", type=int, default=100_000)
    parser.add_argument("--trials", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for k, seed in enumerate((1, 2)):
            path = os.path.join(tmp, f"tree{k}.nwk")
            with open(path, "w") as f:
                f.write(random_tree_newick(args.leaves, seed))
            paths.append(path)
        small = []
        for k, seed in enumerate((3, 4)):
            path = os.path.join(tmp, f"small{k}.nwk")
            with open(path, "w") as f:
                f.write(random_tree_newick(85, seed))
            small.append(path)

        print(
            f"{args.trials:,} seeded trials on two random {args.leaves:,}-leaf trees, "
            f"parsing included (best / median of {args.repeats}, peak RSS of the process)"
        )
        for function in ("triplets_correct", "triplets_correct_fast", "triplets_correct_ultra"):
            r = run_case(paths[0], paths[1], function, args.trials, args.repeats)
            print(
                f"  {function:24s} {r['best'] * 1000:8.1f} ms / {r['median'] * 1000:8.1f} ms"
                f"   peak {r['peak'] / 2**20:7.1f} MiB (before the call {r['before'] / 2**20:.1f} MiB)"
                f"   all_triplets_correct {r['result']['all_triplets_correct']:.4f}"
            )

        r = run_case(small[0], small[1], "triplets_correct_ultra", 5000, 50)
        assert r["result"]["method_used"] == "exhaustive"
        assert r["result"]["total_triplets_checked"] == 98_770
        print(
            "Ultra exhaustive on 85 leaves (98,770 triplets, parsing included, best / median of 50)"
        )
        print(
            f"  triplets_correct_ultra   {r['best'] * 1000:8.3f} ms / {r['median'] * 1000:8.3f} ms"
            f"   peak {r['peak'] / 2**20:7.1f} MiB"
        )


if __name__ == "__main__":
    main()
