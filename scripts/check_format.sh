#!/usr/bin/env bash
# Fails on any C++ line clang-format would change (the checked-in
# .clang-format) and on any ruff finding or unformatted Python file (the
# settings in pyproject.toml). Installs clang-format and ruff when missing.
# Fix everything it reports with: bash scripts/check_format.sh --fix
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
if ! command -v clang-format >/dev/null 2>&1; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends clang-format >/dev/null
fi
[ "$("$PYTHON" -m ruff --version 2>/dev/null)" = "ruff 0.17.6" ] || "$PYTHON" -m pip install --quiet "ruff==0.17.6"

mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${cxx[@]}"
  "$PYTHON" -m ruff check --fix .
  "$PYTHON" -m ruff format .
  exit 0
fi

status=0
clang-format --dry-run --Werror "${cxx[@]}" || status=1
"$PYTHON" -m ruff check . || status=1
"$PYTHON" -m ruff format --check --diff . || status=1
[ "$status" -eq 0 ] && echo "format: ${#cxx[@]} C++ files and every Python file clean"
exit "$status"
