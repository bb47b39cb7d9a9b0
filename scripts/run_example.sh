#!/usr/bin/env bash
# Installs the package and runs the example on the lineage shipped in examples/data.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
"$PYTHON" -m pip install --quiet .
"$PYTHON" examples/example.py
