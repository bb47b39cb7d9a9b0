"""Scores many reconstructions against one true tree on a Dask cluster and
writes one CSV row per reconstruction.

By default the true tree is simulated (examples/generate_example_data.py's
lineage simulator) and the reconstructions are copies of it with subtrees
moved; --truth and --reconstructions (one Newick tree per line) score your own
trees instead. The trees go to a local cluster of worker processes, or to an
existing cluster given its scheduler address, through the cluster's
concurrent.futures executor:

    python3 examples/score_many.py --replicates 200 --out scores.csv
    python3 examples/score_many.py --scheduler tcp://10.0.0.5:8786 ...

A reconstruction that fails becomes a row with its error text. Needs the
extra `distributed` (pip install 'cladorix[distributed]').
"""

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any, Optional

import cladorix

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from generate_example_data import perturb, simulate, write_tree  # noqa: E402

MEASURES = ("rf_normalized", "triplets_exact")


def score_all(executor: Any, truth: str, reconstructions: Sequence[str]) -> Any:
    """One row per reconstruction, in input order, as a DataFrame; on the
    executor when one is given (None: the local worker pool)."""
    import pandas as pd

    result = cladorix.compare_to_reference(
        truth, reconstructions, MEASURES, errors="coerce", executor=executor
    )
    return pd.DataFrame(result["rows"]).set_index("tree")


def simulated_pairs(leaves: int, replicates: int, seed: int) -> tuple[str, list[str]]:
    children, _, rng, _ = simulate(leaves, 1, seed)

    def name(tree: dict[int, list[int]]) -> Any:
        return lambda v: "" if tree[v] else f"cell{v}"

    truth = write_tree(children, 0, name(children))
    reconstructions = []
    for _ in range(replicates):
        moved = perturb(children, rng, moves=rng.randint(1, max(2, leaves // 20)))
        reconstructions.append(write_tree(moved, 0, name(moved)))
    return truth, reconstructions


def read_lines(path: str) -> list[str]:
    with open(path) as f:
        return [line.strip() for line in f if line.strip()]


def main(argv: Optional[Sequence[str]] = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument(
        "--scheduler", help="address of an existing Dask scheduler; default: a local cluster"
    )
    ap.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    ap.add_argument("--truth", help="file holding the true tree in Newick")
    ap.add_argument("--reconstructions", help="file with one Newick tree per line")
    ap.add_argument("--replicates", type=int, default=50, help="simulated reconstructions")
    ap.add_argument("--leaves", type=int, default=300, help="leaves of the simulated tree")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--out", default="scores.csv")
    args = ap.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    if args.truth:
        if not args.reconstructions:
            ap.error("--truth needs --reconstructions")
        truth, reconstructions = read_lines(args.truth)[0], read_lines(args.reconstructions)
    else:
        truth, reconstructions = simulated_pairs(args.leaves, args.replicates, args.seed)

    if args.scheduler:
        with Client(args.scheduler) as client:
            frame = score_all(client.get_executor(), truth, reconstructions)
    else:
        # One thread per worker process; each call spreads its trees over the
        # process's own worker pool.
        with (
            LocalCluster(
                n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0"
            ) as cluster,
            Client(cluster) as client,
        ):
            frame = score_all(client.get_executor(), truth, reconstructions)

    frame.to_csv(args.out)
    failed = int(frame["error"].notna().sum())
    print(
        f"scored {len(frame) - failed} of {len(frame)} reconstructions ({failed} failed) -> {args.out}"
    )


if __name__ == "__main__":
    main()
