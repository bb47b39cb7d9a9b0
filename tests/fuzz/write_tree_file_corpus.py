"""Writes the seed corpus of fuzz_tree_file: small tree files as DendroPy,
Bio.Phylo, ete3, treeswift and scikit-bio write them by default (Newick,
Nexus with and without a TRANSLATE table, NHX), each from the same few trees.

    python tests/fuzz/write_tree_file_corpus.py   # needs the test extras

The files are committed; rerun this only to refresh them.
"""

import io
import os
import random

import dendropy
import ete3
import skbio
import treeswift
from Bio import Phylo

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "tree_file")

# Names that need quoting or hold blanks, and plain ones.
NAMES = ["cell 1", "O'Neil", "c[7]", "x=y", "a-b.c", "t_u", "\u00fc 2", "plain"]


def random_newick(names, rng, lengths=True, support=True):
    """A random binary tree over `names` in quoted standard Newick."""
    items = ["'" + n.replace("'", "''") + "'" for n in names]
    while len(items) > 1:
        a = items.pop(rng.randrange(len(items)))
        b = items.pop(rng.randrange(len(items)))
        node = f"({a}:{rng.random():.3f},{b}:{rng.random():.3f})" if lengths else f"({a},{b})"
        if support:
            node += f"{rng.random():.2f}"
        items.append(node)
    return items[0] + ";"


def main():
    os.makedirs(OUT, exist_ok=True)
    rng = random.Random(17)
    trees = [random_newick(NAMES, rng) for _ in range(3)]
    files = {}

    # DendroPy: rooted Newick, Nexus with a TAXA block, Nexus with TRANSLATE.
    ns = dendropy.TaxonNamespace()
    tl = dendropy.TreeList.get(data="".join(trees), schema="newick", taxon_namespace=ns)
    for t in tl:
        t.is_rooted = True
    files["dendropy.nwk"] = tl.as_string(schema="newick")
    files["dendropy.nex"] = tl.as_string(schema="nexus")
    files["dendropy_translate.nex"] = tl.as_string(schema="nexus", translate_tree_taxa=True)
    files["dendropy_unrooted.nwk"] = tl[0].as_string(schema="newick", suppress_rooting=True)

    # Bio.Phylo: Newick and Nexus.
    bp = list(Phylo.parse(io.StringIO("\n".join(trees)), "newick"))
    for fmt, ext in (("newick", "nwk"), ("nexus", "nex")):
        s = io.StringIO()
        Phylo.write(bp, s, fmt)
        files[f"biophylo.{ext}"] = s.getvalue()

    # ete3: NHX features on every node, and its plain formats.
    e = ete3.Tree(trees[0].replace("'", "").replace(" ", "_"), format=0)
    for i, node in enumerate(e.traverse()):
        node.add_features(S=f"sp{i}", D="N" if i % 2 else "Y")
    files["ete3_nhx.nwk"] = e.write(features=[], format=0)
    files["ete3_internal_names.nwk"] = e.write(format=1)
    files["ete3_topology.nwk"] = e.write(format=9)

    # treeswift and scikit-bio: their default Newick.
    ts = treeswift.read_tree_newick(trees[1])
    files["treeswift.nwk"] = ts.newick() + "\n"
    sk = skbio.TreeNode.read(io.StringIO(trees[2]))
    s = io.StringIO()
    sk.write(s, format="newick")
    files["skbio.nwk"] = s.getvalue()

    for name, text in files.items():
        with open(os.path.join(OUT, name), "w", encoding="utf-8") as f:
            f.write(text)
    print(f"{len(files)} files in {OUT}")


if __name__ == "__main__":
    main()
