#!/usr/bin/env bash
# Checks the type stubs of the installed module: stubtest compares them with
# the compiled module, mypy checks what they accept and refuse
# (tests/typing/check_stub.py) and type-checks the examples and the command
# line.
# Needs the module installed first (scripts/run_tests.sh does that).
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
PYTHON=${PYTHON:-python3}

"$PYTHON" -c "import cladorix" || { echo "typing.sh: install the module first (pip install .)" >&2; exit 1; }
# numpy: the stub types arrays with it; distributed and pandas: score_many.py.
"$PYTHON" -m pip install --quiet mypy numpy "distributed>=2022.1" "pandas>=1.3"

# From outside the checkout, so that mypy finds the installed stubs and not
# src/cladorix.pyi.
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
MYPY=("$PYTHON" -m mypy --config-file "$ROOT/pyproject.toml" --cache-dir "$WORK/cache")
"$PYTHON" -m mypy.stubtest cladorix --mypy-config-file "$ROOT/pyproject.toml"
"${MYPY[@]}" --strict "$ROOT/tests/typing/check_stub.py"
"${MYPY[@]}" "$ROOT"/examples/*.py
"${MYPY[@]}" "$ROOT"/src/cladorix_cli
echo "typing: stubtest and mypy passed"
