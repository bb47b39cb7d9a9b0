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

    show("Robinson-Foulds distance", cladorix.robinson_foulds_distance(truth, reconstructed))
    show("Normalized Robinson-Foulds distance",
         cladorix.robinson_foulds_distance_normalized(truth, reconstructed))


if __name__ == "__main__":
    main()
