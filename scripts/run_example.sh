#!/usr/bin/env bash
# Installs the package and runs the example on the lineage shipped in
# examples/data, then the command line on the same truth against its
# reconstructions (a Newick file, and a Nexus file of four trees written with a
# TRANSLATE table): the table of scores, one row per tree, and triplets correct
# per depth of the truth in triplets_by_depth.tsv.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
"$PYTHON" -m pip install --quiet .
"$PYTHON" examples/example.py

DATA=examples/data
RECONSTRUCTIONS=("$DATA/reconstructed_tree.nwk" "$DATA/reconstructions.nex")
echo
echo "cladorix compare -r $DATA/true_tree.nwk ${RECONSTRUCTIONS[*]} -m rf,triplets_exact --by-depth triplets_by_depth.tsv"
# `python -m cladorix_cli` is the `cladorix` command, found even where pip's
# script folder is not on PATH.
"$PYTHON" -m cladorix_cli compare -r "$DATA/true_tree.nwk" "${RECONSTRUCTIONS[@]}" \
  -m rf,triplets_exact --by-depth triplets_by_depth.tsv
echo "triplets correct per depth of the truth: triplets_by_depth.tsv ($(($(wc -l <triplets_by_depth.tsv) - 1)) rows)"
