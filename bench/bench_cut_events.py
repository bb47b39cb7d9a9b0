"""Benchmark of cut_events against parsimony_score, on the installed module.

A simulated lineage (bench/common.py: uniform splits, irreversible edits,
missing values) of --leaves cells and --sites sites, every internal node
named uniquely as parsimony needs; the matrix as a numpy int32 array, read
through the buffer path. Each call runs in a fresh interpreter, the cases
taking turns --repeat times:

  * parsimony_score on the labelled tree (its internal states are inferred
    by name);
  * cut_events on the same text;
  * cut_events on the same tree without internal labels, as reconstruction
    tools write it;
  * cut_events on the labelled text with the rows shuffled and matched by
    cell_names.

For each: the whole call (median), computation_time_ms, and the peak
resident memory the call adds to the loaded inputs. The last line is the
ratio of the medians, cut_events / parsimony_score on the same text (the
target is at most 0.5).

Usage: python bench/bench_cut_events.py [--leaves N] [--sites K] [--repeat R]
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np
from common import simulate_lineage, table

CASE = textwrap.dedent(r"""
    import json, sys, time
    import numpy as np
    import cladorix

    def vmhwm_mib():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0

    folder, case = sys.argv[1], sys.argv[2]
    tree_file = "bare.nwk" if case == "cut_events, no labels" else "labelled.nwk"
    with open(f"{folder}/{tree_file}") as f:
        tree = f.read()
    if case == "cut_events, by name":
        matrix = np.load(f"{folder}/shuffled.npy")
        with open(f"{folder}/names.json") as f:
            names = json.load(f)
        call = lambda: cladorix.cut_events(tree, matrix, cell_names=names)
    else:
        matrix = np.load(f"{folder}/matrix.npy")
        if case == "parsimony_score":
            call = lambda: cladorix.parsimony_score(tree, matrix)
        else:
            call = lambda: cladorix.cut_events(tree, matrix)
    before = vmhwm_mib()
    t0 = time.perf_counter()
    out = call()
    ms = (time.perf_counter() - t0) * 1000.0
    print(json.dumps({"ms": ms, "computation_ms": out["computation_time_ms"],
                      "added_mib": vmhwm_mib() - before,
                      "score": out.get("cut_events", out.get("parsimony_score"))}))
""")

CASES = [
    "parsimony_score",
    "cut_events",
    "cut_events, no labels",
    "cut_events, by name",
]


def run_case(folder, case):
    proc = subprocess.run(
        [sys.executable, "-c", CASE, folder, case], capture_output=True, text=True, check=False
    )
    if proc.returncode != 0:
        raise SystemExit(f"{case} failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--leaves", type=int, default=1_000_000)
    ap.add_argument("--sites", type=int, default=50)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--seed", type=int, default=2024)
    args = ap.parse_args()

    t0 = time.perf_counter()
    newick, rows, _ = simulate_lineage(args.leaves, args.sites, args.seed)
    matrix = np.array(rows, dtype=np.int32)
    del rows
    print(
        f"simulated {args.leaves} leaves x {args.sites} sites in "
        f"{time.perf_counter() - t0:.0f} s; {len(newick) / 1e6:.1f} MB of Newick, "
        f"matrix {matrix.nbytes / 2**20:.0f} MiB (numpy int32)"
    )
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "labelled.nwk"), "w") as f:
            f.write(newick)
        with open(os.path.join(folder, "bare.nwk"), "w") as f:
            f.write(re.sub(r"\)[^,();]+", ")", newick))
        np.save(os.path.join(folder, "matrix.npy"), matrix)
        order = np.random.default_rng(args.seed).permutation(len(matrix))
        np.save(os.path.join(folder, "shuffled.npy"), matrix[order])
        leaf_names = re.findall(r"(?<=[(,])([^,();]+)", newick)
        with open(os.path.join(folder, "names.json"), "w") as f:
            json.dump([leaf_names[k] for k in order], f)
        del newick, matrix, leaf_names

        runs = {case: [] for case in CASES}
        for _ in range(args.repeat):  # the cases take turns
            for case in CASES:
                runs[case].append(run_case(folder, case))

    scores = {case: {r["score"] for r in results} for case, results in runs.items()}
    cut_scores = set().union(*(scores[c] for c in CASES[1:]))
    if len(cut_scores) != 1:
        raise SystemExit(f"cut_events differs between the cases: {scores}")
    rows_out = []
    for case, results in runs.items():
        rows_out.append(
            [
                case,
                f"{statistics.median(r['ms'] for r in results):.0f}",
                f"{statistics.median(r['computation_ms'] for r in results):.0f}",
                f"{max(r['added_mib'] for r in results):.0f}",
                next(iter(scores[case])),
            ]
        )
    print()
    table(rows_out, ["case", "call ms (median)", "computation ms", "added MiB (max)", "score"])
    ratio = statistics.median(r["ms"] for r in runs["cut_events"]) / statistics.median(
        r["ms"] for r in runs["parsimony_score"]
    )
    print(f"\ncut_events / parsimony_score, same text, whole call: {ratio:.2f} (target <= 0.5)")


if __name__ == "__main__":
    main()
