"""Benchmark of character matrices given as numpy arrays against the same data
as lists of lists (`arr.tolist()`) and against the conversion by iteration
that numpy arrays went through before they were read from their buffers.

The data: a lineage of --rows leaves and --chars characters simulated down a
random tree (bench/common.py), as int32 in C order, and the same values in a
few other layouts users hold: Fortran order, int64 (what pandas gives),
int8, a list of 1-D rows, a pandas DataFrame (when pandas is installed).

Two figures per input, each the best of --repeat runs, taken in turns so
that drift on a shared machine hits every input alike:

  * conversion: parsimony_score on the one-leaf tree "A;", whose parse and
    computation are trivial, so the time is the conversion of the matrix
    (and its release);
  * whole call: parsimony_score on the simulated tree.

Baselines, in the same run: the lists (`arr.tolist()`, built outside the
timing), and "iterated": the array behind a thin sequence whose __iter__ is
the array's own, which hides the array's buffer, so that the module converts
it by iteration, row by row and numpy scalar by numpy scalar, as it did for
every numpy array before.

Usage: python bench/bench_matrix_input.py [--rows N] [--chars K] [--repeat R] [--seed S]
"""

import argparse
import gc
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import simulate_lineage, table  # noqa: E402

import cladorix  # noqa: E402

try:
    import pandas as pd
except ImportError:  # the frame case is left out
    pd = None


class Iterated:
    """The array as the conversion by iteration sees it: no buffer outside."""

    def __init__(self, arr):
        self.arr = arr

    def __len__(self):
        return len(self.arr)

    def __getitem__(self, i):
        return self.arr[i]

    def __iter__(self):
        return iter(self.arr)


def best_times(calls, repeat):
    """Best time in ms of every call, the calls taken in turns."""
    best = {name: float("inf") for name in calls}
    for _ in range(repeat):
        for name, fn in calls.items():
            gc.collect()
            t0 = time.perf_counter()
            fn()
            best[name] = min(best[name], (time.perf_counter() - t0) * 1000.0)
    return best


def main():
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--chars", type=int, default=50)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()

    newick, rows = simulate_lineage(args.rows, args.chars, args.seed)[:2]
    base = np.array(rows, dtype=np.int32)
    inputs = {
        "int32 C": base,
        "int32 F": np.asfortranarray(base),
        "int64 C": base.astype(np.int64),
        "int64 F": np.asfortranarray(base.astype(np.int64)),
        "int8 C": base.astype(np.int8),
        "int32 rows list": list(base),
    }
    if pd is not None:
        inputs["DataFrame int64"] = pd.DataFrame(base.astype(np.int64))
    lists = base.tolist()
    iterated = Iterated(base)
    print(
        f"{args.rows} x {args.chars}, best of {args.repeat}; numpy {np.__version__}"
        + (f", pandas {pd.__version__}" if pd is not None else "")
    )

    # Every input must give the lists' answer before it is timed.
    want = cladorix.parsimony_score(newick, lists)["parsimony_score"]
    for name, m in inputs.items():
        got = cladorix.parsimony_score(newick, m)["parsimony_score"]
        assert got == want, (name, got, want)
    assert cladorix.parsimony_score(newick, iterated)["parsimony_score"] == want

    def timings(tree, repeat):
        calls = {
            "lists": lambda: cladorix.parsimony_score(tree, lists),
            "iterated": lambda: cladorix.parsimony_score(tree, iterated),
        }
        for name, m in inputs.items():
            calls[name] = lambda m=m: cladorix.parsimony_score(tree, m)
        return best_times(calls, repeat)

    conversion = timings("A;", args.repeat)
    whole = timings(newick, args.repeat)

    rows_out = []
    for name in list(inputs) + ["lists", "iterated"]:
        rows_out.append(
            [
                name,
                f"{conversion[name]:.2f}",
                f"{conversion['lists'] / conversion[name]:.1f}x",
                f"{conversion['iterated'] / conversion[name]:.1f}x",
                f"{whole[name]:.1f}",
                f"{whole['lists'] / whole[name]:.2f}x",
                f"{whole['iterated'] / whole[name]:.2f}x",
            ]
        )
    table(
        rows_out,
        [
            "input",
            "convert ms",
            "vs lists",
            "vs iterated",
            "whole call ms",
            "vs lists",
            "vs iterated",
        ],
    )
    print("(vs X: time with X / time with this input; above 1 is faster)")


if __name__ == "__main__":
    main()
