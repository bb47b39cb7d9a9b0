"""Scores a reconstructed lineage tree against the simulated truth shipped in
examples/data (made by examples/generate_example_data.py) and prints the results.

    python3 examples/example.py
"""
import json
import os

import cladorix

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def load(name):
    with open(os.path.join(DATA, name)) as f:
        return f.read().strip()


def show(title, result):
    print(f"{title}:")
    for key, value in result.items():
        print(f"    {key}: {value}")


def main():
    truth = load("true_tree.nwk")
    reconstructed = load("reconstructed_tree.nwk")
    data = json.loads(load("characters.json"))
    print(f"{len(data['leaves'])} cells, {len(data['matrix'][0])} cut sites")

    matrix, states = data["matrix"], data["internal_states"]

    show("Robinson-Foulds distance", cladorix.robinson_foulds_distance(truth, reconstructed))
    show("Normalized Robinson-Foulds distance",
         cladorix.robinson_foulds_distance_normalized(truth, reconstructed))

    # Triplets: the same seed gives the same draws, so these are reproducible.
    show("Triplets correct (base, 2,000 seeded trials)",
         cladorix.triplets_correct(truth, reconstructed, number_of_trials=2000, seed=7))
    show("Triplets correct (fast)", cladorix.triplets_correct_fast(truth, reconstructed, 2000, seed=7))
    show("Triplets correct (ultra)", cladorix.triplets_correct_ultra(truth, reconstructed, seed=7))
    # The pooled variants match leaves by position, not by name, and the
    # reconstruction lists its cells in another order. Every triplet of the
    # true tree against itself (4,455,100, counted exactly), then sampling
    # on the worker pool.
    show("Triplets correct (parallel, every triplet)",
         cladorix.triplets_correct_parallel(truth, truth, number_of_trials=5_000_000))
    show("Triplets correct (optimized, sampled on the worker pool)",
         cladorix.triplets_correct_optimized(truth, reconstructed, number_of_trials=20_000, seed=7))

    # Character scores: rows follow the leaves of the tree in Newick order,
    # which for the true tree is the order of data["leaves"].
    show("Parsimony, states inferred", cladorix.parsimony_score(truth, matrix))
    show("Parsimony, true internal states", cladorix.parsimony_score(truth, matrix, states))
    show("Parsimony p-value", cladorix.parsimony_p_value(truth, matrix, mutation_rate=0.05))
    show("Pairwise homoplasy score, true internal states",
         cladorix.phs_optimized(truth, matrix, states, collision_probability=0.05))
    show("Likelihood, true internal states", cladorix.likelihood_score(truth, matrix, states))
    # Rows follow each tree's own leaf order, so both sides use the true tree
    # here: how much lower the inferred internal states score than the true ones.
    show("Likelihood distance, inferred vs true internal states",
         cladorix.likelihood_distance(truth, truth, matrix, states, None))


if __name__ == "__main__":
    main()
