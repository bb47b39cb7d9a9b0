"""Throughput of scoring many reconstructions on a Dask cluster
(compare_to_reference with the cluster's executor, as examples/score_many.py
does): one worker process against two.

    python3 -m pip install '.[distributed]' && python3 bench/bench_scale_out.py

2,000 random 2,000-leaf trees (the same names, leaves in shuffled orders) are
scored against one truth (normalized Robinson-Foulds and exact triplets) on
LocalClusters of one and of two single-threaded worker processes, each with
a one-thread cladorix pool (RAYON_NUM_THREADS=1). Both clusters start and
warm up before the clock; the time runs from handing the trees over to the
last row gathered. The same call in this process, on a one-thread pool, is
the baseline.

The machine is shared, so the three configurations take turns, --repeats
rounds, and each reports its best round (the one least disturbed; the median
is shown beside it). The table also shows the CPU seconds the workers spent
per round (Dask's own work included, from their process times) and CPU /
wall, the cores the configuration actually got; the load average is printed
before and after.
"""

import argparse
import contextlib
import os
import statistics
import sys
import time

# The baseline's pool: one thread, as each worker process of the clusters.
os.environ["RAYON_NUM_THREADS"] = "1"
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
import score_many  # noqa: E402
from common import random_tree_newick, table  # noqa: E402


def load():
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pairs", type=int, default=2000)
    ap.add_argument("--leaves", type=int, default=2000)
    ap.add_argument("--repeats", type=int, default=5)
    args = ap.parse_args()

    from dask.distributed import Client, LocalCluster

    truth = random_tree_newick(args.leaves, 0)
    recs = [random_tree_newick(args.leaves, 1 + i) for i in range(args.pairs)]
    print(
        f"{args.pairs} pairs of {args.leaves}-leaf trees, measures {score_many.MEASURES}, "
        f"best of {args.repeats} rounds"
    )
    print(f"load average before: {load()}")

    def serial():
        return score_many.score_all(None, truth, recs).to_dict()

    with contextlib.ExitStack() as stack:
        configs = [("this process, one worker thread", serial, time.process_time)]
        for workers in (1, 2):
            cluster = stack.enter_context(
                LocalCluster(
                    n_workers=workers,
                    threads_per_worker=1,
                    processes=True,
                    dashboard_address=":0",
                    env={"RAYON_NUM_THREADS": "1"},
                )
            )
            client = stack.enter_context(Client(cluster))
            client.run(lambda: __import__("cladorix") and None)
            score_many.score_all(client.get_executor(), truth, recs[: 10 * workers])

            def run(client=client):
                return score_many.score_all(client.get_executor(), truth, recs).to_dict()

            def worker_cpu(client=client):
                return sum(client.run(time.process_time).values())

            name = f"Dask, {workers} worker process{'es' if workers > 1 else ''}"
            configs.append((name, run, worker_cpu))

        expected = serial()
        walls = {name: [] for name, _, _ in configs}
        cpus = {name: 0.0 for name, _, _ in configs}
        for _ in range(args.repeats):
            for name, fn, cpu_clock in configs:
                cpu0, t0 = cpu_clock(), time.perf_counter()
                rows = fn()
                walls[name].append(time.perf_counter() - t0)
                cpus[name] += cpu_clock() - cpu0
                assert rows == expected, f"{name}: rows differ from the local call's"

    best = {name: min(w) for name, w in walls.items()}
    rows = []
    for name, _, _ in configs:
        cpu = cpus[name] / args.repeats
        median = statistics.median(walls[name])
        rows.append(
            (
                name,
                f"{best[name]:.2f}",
                f"{median:.2f}",
                f"{args.pairs / best[name]:.0f}",
                f"{cpu:.2f}",
                f"{cpu / median:.2f}",
            )
        )
    table(rows, ["configuration", "best s", "median s", "pairs/s (best)", "CPU s", "CPU / wall"])
    print(f"load average after: {load()}")
    serial_s, one, two = (best[name] for name, _, _ in configs)
    print(f"throughput, 2 workers / 1 worker: {one / two:.2f}x")
    print(f"throughput, 1 worker / this process: {serial_s / one:.2f}x")
    print(f"throughput, 2 workers / this process: {serial_s / two:.2f}x")


if __name__ == "__main__":
    main()
