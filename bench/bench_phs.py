"""Benchmark of phs_optimized against the installed module.

Lineage data is simulated down a random tree: characters start unedited (0)
at the root, every unedited site is cut with probability `rate` along each
edge into one of `n_edits` edits and keeps it below; every internal node is
named and its states are passed in `internal_character_states`; leaves lose
sites to missing (-1) with probability `missing_rate`. The tree splits n
leaves at a uniform point, recursively.

Each case runs in a fresh interpreter with the given RAYON_NUM_THREADS and
reports:

  * the end-to-end time of the call (first call, best of --repeat),
  * computation_time_ms as the function reports it,
  * the time of argument conversion (the same matrix and states with the
    one-leaf tree "A;") and of parsing (the same tree with an empty matrix
    and no states), measured separately,
  * peak resident memory (VmHWM) after loading the data and after the calls.

Usage: python bench/bench_phs.py [--repeat R] [--seed S] [--case LEAVES:CHARS:THREADS ...]
"""

import argparse
import json
import os
import pickle
import subprocess
import sys
import tempfile
import textwrap

DEFAULT_CASES = ["5000:100:2", "20000:50:2"]


from common import simulate_lineage  # noqa: E402

CASE = textwrap.dedent(r"""
    import json, pickle, sys, time
    import cladorix

    def vmhwm_kib():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])

    path, repeat = sys.argv[1], int(sys.argv[2])
    with open(path, "rb") as f:
        newick, rows, states = pickle.load(f)

    def call(tree, matrix, internal):
        t0 = time.perf_counter()
        out = cladorix.phs_optimized(tree, matrix, internal)
        return (time.perf_counter() - t0) * 1000.0, out

    base = vmhwm_kib()
    runs = [call(newick, rows, states) for _ in range(repeat)]
    peak = vmhwm_kib()
    best = min(runs, key=lambda r: r[0])
    conversion = min(call("A;", rows, states)[0] for _ in range(repeat))
    parse = min(call(newick, [], {})[0] for _ in range(repeat))
    print(json.dumps({
        "first_ms": runs[0][0], "best_ms": best[0],
        "computation_ms": best[1]["computation_time_ms"],
        "conversion_ms": conversion, "parse_ms": parse,
        "base_kib": base, "peak_kib": peak,
        "result": {k: v for k, v in best[1].items() if k != "computation_time_ms"},
    }))
""")


def run_case(path, threads, repeat):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    proc = subprocess.run(
        [sys.executable, "-c", CASE, path, str(repeat)],
        capture_output=True,
        text=True,
        env=env,
        check=False,
    )
    if proc.returncode != 0:
        raise SystemExit(f"case failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--case", action="append", help="LEAVES:CHARS:THREADS (repeatable)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--seed", type=int, default=2024)
    args = ap.parse_args()

    rows_out = []
    for case in args.case or DEFAULT_CASES:
        leaves, chars, threads = (int(x) for x in case.split(":"))
        newick, rows, states = simulate_lineage(leaves, chars, args.seed)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "data.pickle")
            with open(path, "wb") as f:
                pickle.dump((newick, rows, states), f, protocol=pickle.HIGHEST_PROTOCOL)
            del newick, rows, states
            r = run_case(path, threads, args.repeat)
        rows_out.append((leaves, chars, threads, r))

    print(
        f"{'leaves':>7}{'chars':>6}{'thr':>4}{'first':>9}{'best':>9}{'comp.':>9}"
        f"{'conv.':>9}{'parse':>9}{'base':>9}{'peak':>9}"
    )
    print(f"{'':>17}{'ms':>9}{'ms':>9}{'ms':>9}{'ms':>9}{'ms':>9}{'MiB':>9}{'MiB':>9}")
    for leaves, chars, threads, r in rows_out:
        print(
            f"{leaves:>7}{chars:>6}{threads:>4}{r['first_ms']:9.1f}{r['best_ms']:9.1f}"
            f"{r['computation_ms']:9.1f}{r['conversion_ms']:9.1f}{r['parse_ms']:9.1f}"
            f"{r['base_kib'] / 1024:9.1f}{r['peak_kib'] / 1024:9.1f}"
        )
    print()
    for leaves, chars, _threads, r in rows_out:
        print(f"{leaves} x {chars}: {r['result']}")
    print()
    print(
        "first/best: end-to-end call time; comp.: computation_time_ms; conv.: the call with "
        "tree 'A;' (argument conversion of matrix and states); parse: the call with an empty "
        "matrix and no states; base: VmHWM after loading the data; peak: VmHWM after the calls."
    )


if __name__ == "__main__":
    main()
