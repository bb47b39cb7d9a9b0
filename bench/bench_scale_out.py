"""Throughput of scoring many reconstructions on a Dask cluster
(examples/score_many.py): one worker process against two.

    python3 -m pip install '.[distributed]' && python3 bench/bench_scale_out.py

2,000 random 2,000-leaf trees (the same names, leaves in shuffled orders) are
scored against one truth, in batches of --batch-size pairs per task. Each
configuration gets a fresh LocalCluster of single-threaded worker processes
with a one-thread cladorix pool (RAYON_NUM_THREADS=1), warmed up before the
clock starts; the time runs from handing the pairs over to the last row
gathered. The serial loop in this process is the baseline. Each figure is the
median of --repeats runs; ratios come from the same run.

The machine is shared: beside the wall times the table shows the CPU seconds
the workers spent (Dask's own work included, from their process times) and
CPU / wall, the cores the configuration actually got; the load average is
printed before and after.
"""
import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
from common import random_tree_newick, table  # noqa: E402

import score_many  # noqa: E402


def timed(fn, repeats, cpu_clock=time.process_time):
    """Median wall time of fn(), and the CPU seconds per run by cpu_clock."""
    times = []
    cpu0 = cpu_clock()
    for _ in range(repeats):
        t0 = time.perf_counter()
        rows = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), (cpu_clock() - cpu0) / repeats, rows


def load():
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pairs", type=int, default=2000)
    ap.add_argument("--leaves", type=int, default=2000)
    ap.add_argument("--trials", type=int, default=1000)
    ap.add_argument("--batch-size", type=int, default=25)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()

    from dask.distributed import Client, LocalCluster

    truth = random_tree_newick(args.leaves, 0)
    recs = [random_tree_newick(args.leaves, 1 + i) for i in range(args.pairs)]
    print(f"{args.pairs} pairs of {args.leaves}-leaf trees, {args.trials} sampled triplets per pair, "
          f"exact triplets: {'yes' if hasattr(score_many.cladorix, 'triplets_correct_exact') else 'no'}, "
          f"batches of {args.batch_size}")

    print(f"load average before: {load()}")

    serial_s, serial_cpu, serial_rows = timed(
        lambda: [score_many.score_pair(i, truth, r, args.trials, 7) for i, r in enumerate(recs)],
        args.repeats)
    results = [("serial loop, this process", serial_s, serial_cpu)]
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None, env={"RAYON_NUM_THREADS": "1"}) as cluster, \
                Client(cluster) as client:
            client.run(lambda: __import__("cladorix") and None)
            score_many.score_all(client, truth, recs[:workers * args.batch_size], args.trials, 7,
                                 args.batch_size)
            seconds, worker_cpu, rows = timed(
                lambda: score_many.score_all(client, truth, recs, args.trials, 7, args.batch_size),
                args.repeats,
                cpu_clock=lambda: sum(client.run(time.process_time).values()))
        assert rows == serial_rows, "the cluster's rows differ from the serial loop's"
        results.append((f"Dask, {workers} worker process{'es' if workers > 1 else ''}", seconds,
                        worker_cpu))

    table([(name, f"{s:.2f}", f"{args.pairs / s:.0f}", f"{cpu:.2f}", f"{cpu / s:.2f}")
           for name, s, cpu in results],
          ["configuration", "seconds", "pairs/s", "CPU s", "CPU / wall"])
    print(f"load average after: {load()}")
    one, two = results[1][1], results[2][1]
    print(f"throughput, 2 workers / 1 worker: {one / two:.2f}x")
    print(f"throughput, 1 worker / serial loop: {serial_s / one:.2f}x")
    print(f"throughput, 2 workers / serial loop: {serial_s / two:.2f}x")


if __name__ == "__main__":
    main()
