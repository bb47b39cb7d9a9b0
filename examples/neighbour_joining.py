"""Builds examples/data/nj_tree.nwk: a neighbour-joining tree of the example's
cells, as a user would get one from scikit-bio, to score as it comes (no
internal labels; see the guide's section on internal labels).

    pip install scikit-bio
    python3 examples/neighbour_joining.py

The distance between two cells is the share of differing states over the
sites observed in both; the tree is rooted at its midpoint.
"""

import io
import json
import os

import numpy as np
from skbio import DistanceMatrix
from skbio.tree import nj

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def main():
    with open(os.path.join(DATA, "characters.json")) as f:
        data = json.load(f)
    m = np.array(data["matrix"])
    observed = m != -1
    both = observed[:, None, :] & observed[None, :, :]
    differ = (m[:, None, :] != m[None, :, :]) & both
    distances = differ.sum(axis=2) / np.maximum(both.sum(axis=2), 1)
    tree = nj(DistanceMatrix(distances, data["leaves"])).root_at_midpoint()
    text = io.StringIO()
    tree.write(text, format="newick")
    path = os.path.join(DATA, "nj_tree.nwk")
    with open(path, "w") as f:
        f.write(text.getvalue().strip() + "\n")
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
