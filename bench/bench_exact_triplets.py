"""Speed and peak memory of triplets_correct_exact, against another build.

    python3 -m pip install . && python3 bench/bench_exact_triplets.py \
        --before /path/to/venv-with-the-previous-build/bin/python

Every case runs in a fresh interpreter (bench/common.py: `measure`) with
RAYON_NUM_THREADS=2, so the pool has two workers and the peak resident size
(VmHWM, read as the call returns) belongs to that case alone. Times are of
the whole Python call, parsing of both Newick texts included; the texts are
read from files before the clock starts. Cases, at each of --sizes leaves:
  * two random binary trees, leaf orders shuffled independently;
  * two random trees where a fifth of the inner nodes have 3 to 7 children;
  * a caterpillar against a random binary tree;
each with both workers (max_threads=None) and with max_threads=1, this build
and the --before build in turns, --repeats times: medians, and the before /
this ratio. The counts (per depth, every ratio) must be identical in both
builds. As a yardstick on the same texts, the sampled triplets_correct_ultra
at 10^6 trials (by position, so it answers another question: only its time
matters here).
Then lineage-like 100,000-leaf trees (most inner nodes with 3 to 20
children; the reconstruction relabels a tenth of the cells and lists
children in another order): this build against --before, and against the
sampled `triplets_correct` at 10,000 trials and the by-position exhaustive
count (`triplets_correct_optimized` with number_of_trials >= C(n, 3)); and two
Python threads calling at once against one thread making the same calls in
turn (throughput), each call with max_threads=1: the lock is released, so
each thread counts on its own core.
The machine may be shared: the script prints how many CPUs a busy loop finds
free at its start and end, and the exact calls report their CPU time beside
the wall time. Without --before, only this build runs.
"""

import argparse
import math
import os
import random
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import caterpillar_newick, cpus_free, measure  # noqa: E402

ENV = {"RAYON_NUM_THREADS": "2"}


def random_tree_newick(n, seed, prefix="t", polytomies=False):
    """Random tree on n leaves by random joins (as common.py's, with
    constant-time removals so a million leaves take seconds), binary, or with
    `polytomies` a fifth of the joins taking 3 to 7 subtrees at once; leaf
    order shuffled by the seed."""
    rng = random.Random(seed)
    children = [[] for _ in range(n)]
    pool = list(range(n))
    while len(pool) > 1:
        k = 2
        if polytomies:
            k = min(rng.randint(3, 7) if rng.random() < 0.2 else 2, len(pool))
        group = []
        for _ in range(k):
            i = rng.randrange(len(pool))
            pool[i], pool[-1] = pool[-1], pool[i]
            group.append(pool.pop())
        children.append(group)
        pool.append(len(children) - 1)
    order = [f"{prefix}{i}" for i in range(n)]
    rng.shuffle(order)
    return write_newick(children, pool[0], dict(zip(range(n), order)))


def lineage_newick(n, seed, prefix="cell"):
    """A lineage-like tree: n leaves split recursively into 3 to 20 parts (a
    tenth of the splits into 2), at uniform cut points; leaves named in
    shuffled order. Returns (children lists, root, leaf names by node)."""
    rng = random.Random(seed)
    children, names = [], {}
    root = 0
    children.append([])
    stack = [(0, n)]
    while stack:
        node, size = stack.pop()
        if size == 1:
            continue
        k = 2 if rng.random() < 0.1 else rng.randint(3, 20)
        k = min(k, size)
        cuts = sorted(rng.sample(range(1, size), k - 1))
        for lo, hi in zip([0] + cuts, cuts + [size]):
            child = len(children)
            children.append([])
            children[node].append(child)
            stack.append((child, hi - lo))
    leaves = [v for v in range(len(children)) if not children[v]]
    order = [f"{prefix}{i}" for i in range(n)]
    rng.shuffle(order)
    for v, name in zip(leaves, order):
        names[v] = name
    return children, root, names


def write_newick(children, root, names, rng=None):
    """Iterative writer; children listed in a shuffled order when rng is given."""
    parts, stack = [], [("n", root)]
    while stack:
        kind, v = stack.pop()
        if kind == "s":
            parts.append(v)
            continue
        if not children[v]:
            parts.append(names[v])
            continue
        kids = list(children[v])
        if rng is not None:
            rng.shuffle(kids)
        stack.append(("s", ")"))
        for i, c in enumerate(reversed(kids)):
            stack.append(("n", c))
            if i < len(kids) - 1:
                stack.append(("s", ","))
        stack.append(("s", "("))
    return "".join(parts) + ";"


def lineage_pair(n, seed):
    children, root, names = lineage_newick(n, seed)
    truth = write_newick(children, root, names)
    rng = random.Random(seed + 1)
    # The reconstruction: a tenth of the cells trade places, children come in
    # another order (so by-position comparisons see other leaf orders).
    leaves = list(names)
    moved = rng.sample(leaves, len(leaves) // 10)
    labels = [names[v] for v in moved]
    rng.shuffle(labels)
    wrong = dict(names)
    wrong.update(zip(moved, labels))
    return truth, write_newick(children, root, wrong, rng)


SETUP = """
import cladorix
t1 = open({p1!r}).read()
t2 = open({p2!r}).read()
"""


def case(paths, code, env=ENV, python=None):
    return measure(code, setup=SETUP.format(p1=paths[0], p2=paths[1]), env=env, python=python)


def write_pair(tmp, name, texts):
    paths = []
    for k, text in enumerate(texts):
        path = os.path.join(tmp, f"{name}{k}.nwk")
        with open(path, "w") as f:
            f.write(text)
        paths.append(path)
    return paths


def show(label, r):
    res = r["result"]
    print(f"  {label:44s} {r['seconds']:8.3f} s   peak {r['peak_mb']:7.1f} MiB   {res}")
    return r["seconds"]


# The result's time and digest: every count and ratio per depth, hashed, so
# two builds can be compared without printing a million depths.
EXACT = """
import hashlib as _h, time as _t
_c, _w = _t.process_time(), _t.perf_counter()
r = cladorix.triplets_correct_exact(t1, t2, max_threads={mt})
_cpu, _wall = _t.process_time() - _c, _t.perf_counter() - _w
with open("/proc/self/status") as _f:  # the call's peak, before the digest below
    _peak = [int(_l.split()[1]) / 1024.0 for _l in _f if _l.startswith("VmHWM:")][0]
_keys = [k for k in r if isinstance(r[k], dict) and k not in ("overall", "counts")]
_digest = _h.sha1(repr([r["counts"]] + [sorted(r[k].items()) for k in _keys]).encode()).hexdigest()
result = {{"wall": _wall, "cpu": _cpu, "peak": _peak, "digest": _digest[:16]}}
"""

ULTRA = """
r = cladorix.triplets_correct_ultra(t1, t2, 1000000, seed=1)
result = r["method_used"]
"""

THREADS = """
import threading, time
calls = {calls}
cladorix.triplets_correct_exact(t1, t2, max_threads={mt})  # warm-up: the pool, the allocator
start = time.perf_counter()
for _ in range(2 * calls):
    cladorix.triplets_correct_exact(t1, t2, max_threads={mt})
one = time.perf_counter() - start

def work():
    for _ in range(calls):
        cladorix.triplets_correct_exact(t1, t2, max_threads={mt})

threads = [threading.Thread(target=work) for _ in range(2)]
start = time.perf_counter()
for t in threads:
    t.start()
for t in threads:
    t.join()
two = time.perf_counter() - start
result = "%d calls: one thread %.3f s, two threads %.3f s, throughput %.2fx" % (
    2 * calls, one, two, one / two)
"""

SHAPES = {
    "random binary": lambda n: [random_tree_newick(n, 1), random_tree_newick(n, 2)],
    "a fifth polytomies": lambda n: [
        random_tree_newick(n, 4, polytomies=True),
        random_tree_newick(n, 5, polytomies=True),
    ],
    "caterpillar vs random": lambda n: [caterpillar_newick(n, "t"), random_tree_newick(n, 3)],
}


def compare(paths, mt, before, repeats):
    """This build and `before` in turns: median seconds, peak and CPU of each."""
    runs = {"this": [], "before": []}
    for _ in range(repeats):
        for label, python in (("this", None), ("before", before)):
            if label == "before" and before is None:
                continue
            runs[label].append(case(paths, EXACT.format(mt=mt), python=python))
    out = {}
    for label, rs in runs.items():
        if not rs:
            continue
        out[label] = {
            "seconds": statistics.median(r["result"]["wall"] for r in rs),
            "cpu": statistics.median(r["result"]["cpu"] for r in rs),
            "peak": max(r["result"]["peak"] for r in rs),
            "digests": {r["result"]["digest"] for r in rs},
        }
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="python whose cladorix is the previous build")
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--lineage", type=int, default=100_000)
    parser.add_argument("--thread-calls", type=int, default=4)
    args = parser.parse_args()
    if args.before:  # the cases run from bench/
        args.before = os.path.abspath(args.before)
    print(
        f"load average at start: {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs,"
        f" CPUs free for us: {cpus_free():.2f}"
    )
    failed = False
    with tempfile.TemporaryDirectory() as tmp:
        print(
            f"{'shape':22s} {'leaves':>9s} {'workers':>7s} {'this s':>8s} {'cpu s':>7s}"
            f" {'MiB':>6s} {'before s':>9s} {'MiB':>6s} {'before/this':>11s}"
            f" {'ultra 1e6 s':>11s} {'this/ultra':>10s}"
        )
        for n in (int(x) for x in args.sizes.split(",")):
            for shape, make in SHAPES.items():
                paths = write_pair(tmp, "pair", make(n))
                ultra = statistics.median(
                    case(paths, ULTRA)["seconds"] for _ in range(args.repeats)
                )
                for mt in (None, 1):
                    r = compare(paths, mt, args.before, args.repeats)
                    this = r["this"]
                    row = (
                        f"{shape:22s} {n:9,d} {2 if mt is None else 1:7d} {this['seconds']:8.3f}"
                        f" {this['cpu']:7.3f} {this['peak']:6.0f}"
                    )
                    same = True
                    if "before" in r:
                        b = r["before"]
                        same = b["digests"] == this["digests"] and len(this["digests"]) == 1
                        row += (
                            f" {b['seconds']:9.3f} {b['peak']:6.0f}"
                            f" {b['seconds'] / this['seconds']:11.2f}"
                        )
                    else:
                        row += f" {'':9s} {'':6s} {'':11s}"
                    row += f" {ultra:11.3f} {this['seconds'] / ultra:10.2f}"
                    print(row + ("" if same else "  RESULTS DIFFER"))
                    failed |= not same
                    sys.stdout.flush()

        m = args.lineage
        lin_pair = write_pair(tmp, "lineage", lineage_pair(m, 7))
        triplets = math.comb(m, 3)
        print(
            f"Lineage-like trees, {m:,} leaves (3 to 20 children per inner node),"
            f" {triplets:,} triplets:"
        )
        for mt in (None, 1):
            r = compare(lin_pair, mt, args.before, args.repeats)
            line = f"  triplets_correct_exact, max_threads={mt}: {r['this']['seconds']:.4f} s"
            if "before" in r:
                same = r["before"]["digests"] == r["this"]["digests"]
                failed |= not same
                line += (
                    f", before {r['before']['seconds']:.4f} s,"
                    f" before/this {r['before']['seconds'] / r['this']['seconds']:.2f}"
                    + ("" if same else "  RESULTS DIFFER")
                )
            print(line)
        exact = statistics.median(
            case(lin_pair, EXACT.format(mt=None))["result"]["wall"] for _ in range(args.repeats)
        )
        sampled = show(
            "triplets_correct, 10,000 trials (sampled)",
            case(
                lin_pair,
                """
r = cladorix.triplets_correct(t1, t2, 10000, seed=1)
result = "all %.6f (sampled)" % r["all_triplets_correct"][0]
""",
            ),
        )
        positional = show(
            "triplets_correct_optimized, every triplet",
            case(
                lin_pair,
                f"""
r = cladorix.triplets_correct_optimized(t1, t2, number_of_trials={triplets})
result = "all %.6f by position, %d triplets, %s" % (
    r["all_triplets_correct"][0], r["total_triplets_checked"], r["method_used"])
""",
            ),
        )
        print(
            f"  time against exact: sampled {sampled / exact:.2f}x,"
            f" by-position exhaustive {positional / exact:.2f}x"
        )

        print(f"Two Python threads at once on the lineage pair ({args.thread_calls} calls each):")
        for mt in (1, None):
            show(
                f"max_threads={mt}", case(lin_pair, THREADS.format(calls=args.thread_calls, mt=mt))
            )
    print(f"load average at end: {os.getloadavg()[0]:.2f}, CPUs free for us: {cpus_free():.2f}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
