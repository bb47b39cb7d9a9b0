#!/usr/bin/env bash
# The Python suite on the oldest and the newest interpreter the README's
# promise covers (PYTHON_VERSIONS, default "3.9 3.13"), each in a fresh
# virtual environment (build/venv-py<version>) with the module built for it
# and the test extras that version can install. Interpreters are looked for
# under pyenv's root, then as python<version> on PATH; a missing one fails
# the job by name.
source "$(dirname "$0")/lib.sh"
start=$(date +%s)

# Prints the path of an interpreter of version $1 (major.minor), or nothing.
# A pyenv shim of a version that is not selected fails to run: not counted.
find_python() {
  local want=$1 root candidate
  root=$( (command -v pyenv >/dev/null 2>&1 && pyenv root) || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  for candidate in $(ls -d "$root/versions/$want".*/bin/python"$want" 2>/dev/null | sort -rV) \
    "$(command -v "python$want" || true)"; do
    [ -n "$candidate" ] || continue
    if [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$want" ]; then
      echo "$candidate"
      return
    fi
  done
}

# The test extras as pyproject.toml lists them, one requirement a line.
test_extras() {
  sed -n 's/^test = \[\(.*\)\]$/\1/p' pyproject.toml | tr -d '" ' | tr , '\n'
}

pythons=()
for version in ${PYTHON_VERSIONS:-3.9 3.13}; do
  python=$(find_python "$version")
  if [ -z "$python" ]; then
    echo "python_versions: no Python $version found (looked under $(pyenv root 2>/dev/null ||
      echo "${PYENV_ROOT:-$HOME/.pyenv}")/versions and for python$version on PATH)" >&2
    exit 1
  fi
  pythons+=("$python")
done

for python in "${pythons[@]}"; do
  version=$("$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
  venv=$(pwd)/build/venv-py${version%.*}
  echo "--- Python $version ($python)"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  # All the extras at once; where that fails, the module and then each
  # extra that installs alone.
  if ! "$venv/bin/python" -m pip install --quiet ".[test]"; then
    "$venv/bin/python" -m pip install --quiet .
    while read -r requirement; do
      "$venv/bin/python" -m pip install --quiet "$requirement" ||
        echo "python_versions: Python $version cannot install $requirement; the tests needing it skip"
    done < <(test_extras)
  fi
  "$venv/bin/python" -m pip list 2>/dev/null | grep -iE '^(numpy|pandas|distributed|hypothesis|pytest) ' || true
  # From the test folder, so that nothing but the installed module is imported.
  (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
done
echo "python_versions: $(since "$start") s"
