"""Scores a reconstructed lineage tree against the simulated truth shipped in
examples/data (made by examples/generate_example_data.py) and prints the results.

    python3 examples/example.py [--plot triplets_by_depth.png]

With matplotlib installed (pip install ".[examples]") it also draws the exact
share of triplets correct at each depth of the true tree to a PNG.
"""

import argparse
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


def plot_by_depth(result, path):
    """Triplets correct per depth of the true tree, with how many triplets
    each depth holds; returns False when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    depths = list(result["triplets_at_depth"])
    counts = [result["triplets_at_depth"][d] for d in depths]
    fig, (top, bottom) = plt.subplots(
        2, 1, figsize=(8, 6), sharex=True, gridspec_kw={"height_ratios": [3, 1.3]}
    )
    top.plot(
        depths,
        [result["all_triplets_correct"][d] for d in depths],
        "o-",
        color="tab:blue",
        label="all triplets",
    )
    if any(result["proportion_unresolvable"][d] > 0 for d in depths):
        # Polytomies in the truth: show both kinds of triplet apart.
        top.plot(
            depths,
            [result["resolvable_triplets_correct"][d] for d in depths],
            "s--",
            color="tab:orange",
            markersize=4,
            label="resolved in the truth",
        )
        top.plot(
            depths,
            [result["unresolved_triplets_correct"][d] for d in depths],
            "^--",
            color="tab:green",
            markersize=4,
            label="unresolved in the truth",
        )
    overall = result["overall"]["all_triplets_correct"]
    top.axhline(overall, color="grey", linestyle=":", label=f"overall {overall:.3f}")
    top.set_ylim(0, 1.05)
    top.set_ylabel("share of triplets correct")
    top.set_title("Reconstruction against the true lineage, by depth of the triplets' LCA")
    top.legend(loc="lower left")
    top.grid(alpha=0.3)
    bottom.bar(depths, counts, color="tab:grey")
    bottom.set_yscale("log")
    bottom.set_ylabel("triplets")
    bottom.set_xlabel("depth in the true tree (edges from the root)")
    bottom.grid(alpha=0.3, axis="y")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--plot", default="triplets_by_depth.png", help="where to write the per-depth plot (PNG)"
    )
    args = parser.parse_args()
    truth = load("true_tree.nwk")
    reconstructed = load("reconstructed_tree.nwk")
    data = json.loads(load("characters.json"))
    print(f"{len(data['leaves'])} cells, {len(data['matrix'][0])} cut sites")

    matrix, states = data["matrix"], data["internal_states"]

    show("Robinson-Foulds distance", cladorix.robinson_foulds_distance(truth, reconstructed))
    show(
        "Normalized Robinson-Foulds distance",
        cladorix.robinson_foulds_distance_normalized(truth, reconstructed),
    )

    # Triplets: the same seed gives the same draws, so these are reproducible.
    show(
        "Triplets correct (base, 2,000 seeded trials)",
        cladorix.triplets_correct(truth, reconstructed, number_of_trials=2000, seed=7),
    )
    show(
        "Triplets correct (fast)",
        cladorix.triplets_correct_fast(truth, reconstructed, 2000, seed=7),
    )
    show("Triplets correct (ultra)", cladorix.triplets_correct_ultra(truth, reconstructed, seed=7))
    # The pooled variants match leaves by position, not by name, and the
    # reconstruction lists its cells in another order. Every triplet of the
    # true tree against itself (4,455,100, counted exactly), then sampling
    # on the worker pool.
    show(
        "Triplets correct (parallel, every triplet)",
        cladorix.triplets_correct_parallel(truth, truth, number_of_trials=5_000_000),
    )
    show(
        "Triplets correct (optimized, sampled on the worker pool)",
        cladorix.triplets_correct_optimized(truth, reconstructed, number_of_trials=20_000, seed=7),
    )

    # Every triplet, leaves matched by name, each counted at the depth of its
    # lowest common ancestor in the true tree: where the reconstruction errs.
    exact = cladorix.triplets_correct_exact(truth, reconstructed)
    counts = exact["counts"]
    print(f"Triplets correct (exact, all {counts['triplets']:,} triplets by name):")
    for key, value in exact["overall"].items():
        print(f"    {key}: {value:.6f}")
    print(f"    correct: {counts['correct']:,}, unresolved in the truth: {counts['unresolved']:,}")
    print("    depth  triplets      all   resolvable")
    for depth, n in exact["triplets_at_depth"].items():
        print(
            f"    {depth:5d} {n:9,d} {exact['all_triplets_correct'][depth]:8.4f}"
            f" {exact['resolvable_triplets_correct'][depth]:12.4f}"
        )
    if plot_by_depth(exact, args.plot):
        print(f"    plot of triplets correct by depth written to {args.plot}")
    else:
        print("    plot skipped: matplotlib is not installed (pip install '.[examples]')")

    # Character scores: rows follow the leaves of the tree in Newick order,
    # which for the true tree is the order of data["leaves"].
    show("Parsimony, states inferred", cladorix.parsimony_score(truth, matrix))
    show("Parsimony, true internal states", cladorix.parsimony_score(truth, matrix, states))
    show("Parsimony p-value", cladorix.parsimony_p_value(truth, matrix, mutation_rate=0.05))
    show(
        "Pairwise homoplasy score, true internal states",
        cladorix.phs_optimized(truth, matrix, states, collision_probability=0.05),
    )
    show("Likelihood, true internal states", cladorix.likelihood_score(truth, matrix, states))
    # Rows follow each tree's own leaf order, so both sides use the true tree
    # here: how much lower the inferred internal states score than the true ones.
    show(
        "Likelihood distance, inferred vs true internal states",
        cladorix.likelihood_distance(truth, truth, matrix, states, None),
    )


if __name__ == "__main__":
    main()
