"""Scores many reconstructions against one true tree on a Dask cluster and
writes one CSV row per reconstruction.

By default the true tree is simulated (examples/generate_example_data.py's
lineage simulator) and the reconstructions are copies of it with subtrees
moved; --truth and --reconstructions (one Newick tree per line) score your own
trees instead. The pairs run on a local cluster of worker processes, or on an
existing cluster given its scheduler address:

    python3 examples/score_many.py --replicates 200 --out scores.csv
    python3 examples/score_many.py --scheduler tcp://10.0.0.5:8786 ...

A pair whose scoring fails becomes a row with its error text. Needs the extra
`distributed` (pip install 'cladorix[distributed]').
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

Row = dict[str, Any]


def _is_panic(exc: BaseException) -> bool:
    t = type(exc)
    return t.__module__ == "pyo3_runtime" and t.__name__ == "PanicException"


def score_pair(index: int, truth: str, reconstruction: str, trials: int, seed: int) -> Row:
    """Scores one reconstruction against the truth; never raises for a bad pair.

    cladorix raises ValueError for Newick it cannot read and PanicException
    (a BaseException) when an internal check fails. A BaseException escaping
    a Dask task never reaches the client, whose result() then waits forever,
    so both become the row's error text here.
    """
    row: Row = {"pair": index}
    try:
        rf = cladorix.robinson_foulds_distance_normalized(truth, reconstruction)
        row["leaves"] = rf["tree2_leaves"]
        row["rf_distance"] = rf["rf_distance"]
        row["normalized_rf_distance"] = rf["normalized_rf_distance"]
        # Leaves matched by name, so the reconstruction may list its cells in
        # any order. Sampled, with a seed per pair: reproducible anywhere.
        sampled = cladorix.triplets_correct_fast(truth, reconstruction, trials, seed=seed + index)
        row["triplets_correct_sampled"] = sampled["all_triplets_correct"][0]
        # Every triplet, exactly; one worker thread each, since Dask runs
        # several pairs side by side.
        exact = cladorix.triplets_correct_exact(truth, reconstruction, max_threads=1)
        row["triplets_correct"] = exact["overall"]["all_triplets_correct"]
        row["resolvable_triplets_correct"] = exact["overall"]["resolvable_triplets_correct"]
        row["error"] = ""
    except Exception as exc:
        row = {"pair": index, "error": f"{type(exc).__name__}: {exc}"}
    except BaseException as exc:
        if not _is_panic(exc):
            raise  # KeyboardInterrupt, SystemExit and the like keep their meaning
        row = {"pair": index, "error": f"PanicException: {exc}"}
    return row


def score_batch(truth: str, batch: Sequence[tuple[int, str]], trials: int, seed: int) -> list[Row]:
    return [score_pair(i, truth, tree, trials, seed) for i, tree in batch]


def score_all(
    client: Any, truth: str, reconstructions: Sequence[str], trials: int, seed: int, batch_size: int
) -> list[Row]:
    """Scores every reconstruction on the client's cluster, rows in input order.

    Pairs travel in batches: one task per pair would cost the scheduler more
    than a millisecond-scale score.
    """
    if __name__ != "__main__":
        # Imported (by a test or a benchmark): ship the functions by value,
        # so that workers need not find this file on their path.
        import cloudpickle

        cloudpickle.register_pickle_by_value(sys.modules[__name__])
    # A fresh key per call: re-scattering a key just released can leave the
    # tasks that need it waiting.
    truth_future = client.scatter(truth, broadcast=True, hash=False)
    pairs = list(enumerate(reconstructions))
    batches = [pairs[i : i + batch_size] for i in range(0, len(pairs), batch_size)]
    # Scattered rather than embedded in the task graph: the trees go to the
    # workers directly instead of through the scheduler.
    batch_futures = client.scatter(batches, hash=False)
    futures = client.map(
        score_batch,
        [truth_future] * len(batches),
        batch_futures,
        trials=trials,
        seed=seed,
        pure=False,
    )
    return [row for rows in client.gather(futures) for row in rows]


def to_frame(rows: Sequence[Row]) -> Any:
    """One row per pair; counts stay integers beside the failed pairs' blanks."""
    import pandas as pd

    frame = pd.DataFrame(rows).set_index("pair")
    for column in ("leaves", "rf_distance"):
        if column in frame:
            frame[column] = frame[column].astype("Int64")
    return frame


def simulated_pairs(leaves: int, replicates: int, seed: int) -> tuple[str, list[str]]:
    children, _, rng, _ = simulate(leaves, 1, seed)

    # Leaves only: internal names would count in the normalized
    # Robinson-Foulds maximum.
    def name(tree: dict[int, list[int]]) -> Any:
        return lambda v: "" if tree[v] else f"cell{v}"

    truth = write_tree(children, 0, name(children))
    reconstructions = []
    for _ in range(replicates):
        moved = perturb(children, rng, moves=rng.randint(1, max(2, leaves // 20)))
        reconstructions.append(write_tree(moved, 0, name(moved)))
    return truth, reconstructions


def read_trees(path: str) -> list[str]:
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
    ap.add_argument("--trials", type=int, default=1000, help="sampled triplets per pair")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--batch-size", type=int, default=10, help="pairs per task")
    ap.add_argument("--out", default="scores.csv")
    args = ap.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    if args.truth:
        truth = read_trees(args.truth)[0]
        if not args.reconstructions:
            ap.error("--truth needs --reconstructions")
        reconstructions = read_trees(args.reconstructions)
    else:
        truth, reconstructions = simulated_pairs(args.leaves, args.replicates, args.seed)
        if args.reconstructions:
            reconstructions = read_trees(args.reconstructions)

    if args.scheduler:
        with Client(args.scheduler) as client:
            rows = score_all(
                client, truth, reconstructions, args.trials, args.seed, args.batch_size
            )
    else:
        # One thread per worker: a call holds the interpreter lock, so
        # processes are what run pairs side by side.
        with (
            LocalCluster(
                n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0"
            ) as cluster,
            Client(cluster) as client,
        ):
            rows = score_all(
                client, truth, reconstructions, args.trials, args.seed, args.batch_size
            )

    frame = to_frame(rows)
    frame.to_csv(args.out)
    failed = int((frame["error"] != "").sum())
    print(
        f"scored {len(frame) - failed} of {len(frame)} reconstructions ({failed} failed) -> {args.out}"
    )


if __name__ == "__main__":
    main()
