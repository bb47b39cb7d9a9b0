#!/usr/bin/env bash
# Builds the sdist, installs it into a fresh virtual environment and runs the
# example from the sdist's own unpacked tree (not the checkout), so that a
# file missing from the sdist fails. Then checks that mypy, in that fresh
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

"$VPY" -m pip install --quiet mypy
cat > stub_check.py <<'PY'
import cladorix

score: int = cladorix.parsimony_score("((A,B)x,C)r;", [[1], [1], [0]])["parsimony_score"]
reveal_type(cladorix.robinson_foulds_distance)
PY
"$VPY" -m mypy --strict stub_check.py | tee mypy.out
grep -q 'RobinsonFouldsResult' mypy.out
echo "sdist: installed in a fresh environment, example ran from the sdist, stubs found by mypy"
