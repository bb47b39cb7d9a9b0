"""The command line against the library call it makes: `cladorix compare` on
1,000 Newick files of one 10,000-leaf tree each, against a Python program that
reads the same files with read_tree/read_trees and calls compare_to_reference
(measures rf and triplets_exact both ways).

    python3 -m pip install . && python3 bench/bench_cli.py [--files 1000 --leaves 10000]

Both run as whole processes, timed from start to exit (interpreter start,
imports and reading included; the command line also writes its TSV), in
turns, --repeats rounds; the ratio of the medians is the command line's
overhead. Wall and CPU time and peak resident memory come from each child's
own resource usage. The files go to a temporary folder, removed at the end.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from common import random_tree_newick, table  # noqa: E402

LIBRARY = """
import sys
import cladorix

truth, *files = sys.argv[1:]
trees = (t for f in files for t in cladorix.read_trees(f))
result = cladorix.compare_to_reference(cladorix.read_tree(truth), trees, ("rf", "triplets_exact"))
print(len(result["rows"]["tree"]))
"""


def run(argv):
    """Wall seconds, CPU seconds and peak RSS (MB) of one child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    out, err = proc.communicate()
    if status != 0:
        raise RuntimeError(err.decode())
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=1000)
    ap.add_argument("--leaves", type=int, default=10000)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()

    folder = tempfile.mkdtemp(prefix="bench_cli_")
    try:
        truth = os.path.join(folder, "truth.nwk")
        with open(truth, "w") as f:
            f.write(random_tree_newick(args.leaves, 0) + "\n")
        files = []
        for i in range(args.files):
            files.append(os.path.join(folder, f"r{i:04d}.nwk"))
            with open(files[-1], "w") as f:
                f.write(random_tree_newick(args.leaves, 1 + i) + "\n")
        out = os.path.join(folder, "scores.tsv")
        cases = {
            "library call": [sys.executable, "-c", LIBRARY, truth, *files],
            "cladorix compare": [
                *[sys.executable, "-m", "cladorix_cli", "compare", "-q", "-r", truth],
                *[*files, "-m", "rf,triplets_exact", "-o", out],
            ],
        }
        print(
            f"{args.files} files of one {args.leaves}-leaf tree, rf and triplets_exact, "
            f"{os.cpu_count()} CPUs, load average before: {os.getloadavg()[0]:.1f}"
        )
        runs = {name: [] for name in cases}
        for _ in range(args.repeats):
            for name, argv in cases.items():
                runs[name].append(run(argv))
        rows_written = sum(1 for _ in open(out)) - 1
        assert rows_written == args.files == int(runs["library call"][0][3])
        print(f"load average after: {os.getloadavg()[0]:.1f}")
    finally:
        shutil.rmtree(folder)

    base = statistics.median(r[0] for r in runs["library call"])
    rows = []
    for name, results in runs.items():
        wall = statistics.median(r[0] for r in results)
        rows.append(
            [
                name,
                f"{wall:.2f}",
                " ".join(f"{r[0]:.2f}" for r in results),
                f"{statistics.median(r[1] for r in results):.2f}",
                f"{max(r[2] for r in results):.0f}",
                f"{wall / base:.3f}",
            ]
        )
    table(rows, ["case", "median s", "runs s", "CPU s", "peak MB", "x library"])


if __name__ == "__main__":
    main()
