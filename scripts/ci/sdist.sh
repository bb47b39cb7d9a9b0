#!/usr/bin/env bash
# Builds the sdist, installs it into a fresh virtual environment and runs the
# example and the command line from the sdist's own unpacked tree (not the
# checkout), so that a file missing from the sdist fails. Then checks that mypy, in that fresh
# environment, finds the installed type stubs.
set -euo pipefail
cd "$(dirname "$0")/../.."
PYTHON=${PYTHON:-python3}

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

"$PYTHON" -m pip install --quiet build
"$PYTHON" -m build --sdist --outdir "$WORK/dist" .
SDIST=$(ls "$WORK"/dist/cladorix-*.tar.gz)
echo "sdist: $(basename "$SDIST"), $(tar -tzf "$SDIST" | wc -l) entries"
mkdir "$WORK/unpacked"
tar -xzf "$SDIST" -C "$WORK/unpacked"
TREE=$(ls -d "$WORK"/unpacked/cladorix-*)

# A fresh environment without the system's packages: only what the sdist
# declares gets installed.
"$PYTHON" -m venv "$WORK/venv"
VPY="$WORK/venv/bin/python"
"$VPY" -m pip install --quiet --upgrade pip
"$VPY" -m pip install --quiet "$SDIST"

# Outside both trees, so that nothing is imported from the checkout.
cd "$WORK"
"$VPY" "$TREE/examples/example.py"

# The command line the wheel installs, on the example's data from the sdist.
"$WORK/venv/bin/cladorix" --help >help.txt && grep -q "cladorix compare" help.txt
DATA="$TREE/examples/data"
"$WORK/venv/bin/cladorix" compare -r "$DATA/true_tree.nwk" "$DATA/reconstructed_tree.nwk" \
  "$DATA/reconstructions.nex" -m rf,triplets_exact --by-depth depth.tsv -o scores.tsv
# A header and five trees, none with an error.
[ "$(wc -l <scores.tsv)" -eq 6 ] && [ -z "$(awk -F'\t' 'NR > 1 && $NF != ""' scores.tsv)" ]

"$VPY" -m pip install --quiet mypy
cat > stub_check.py <<'PY'
import cladorix

score: int = cladorix.parsimony_score("((A,B)x,C)r;", [[1], [1], [0]])["parsimony_score"]
reveal_type(cladorix.robinson_foulds_distance)
PY
"$VPY" -m mypy --strict stub_check.py | tee mypy.out
grep -q 'RobinsonFouldsResult' mypy.out
echo "sdist: installed in a fresh environment, example and cladorix compare ran from the sdist, stubs found by mypy"
