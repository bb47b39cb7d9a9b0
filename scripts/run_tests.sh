#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ unit tests
# (GoogleTest through CTest) and the Python tests (pytest) against the
# installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# GoogleTest comes from Debian's libgtest-dev.
if ! ls /usr/lib/*/cmake/GTest/GTestConfig.cmake /usr/lib/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
fi
command -v cmake >/dev/null 2>&1 || "$PYTHON" -m pip install --quiet cmake
command -v ninja >/dev/null 2>&1 || "$PYTHON" -m pip install --quiet ninja

"$PYTHON" -m pip install --quiet ".[test]"

# Warnings fail the test build (a user's `pip install` never uses -Werror).
cmake -S . -B build/ctest -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLADORIX_TESTS=ON -DCLADORIX_MODULE=OFF \
  -DCLADORIX_WERROR=ON
cmake --build build/ctest -j"$(nproc)"
ctest --test-dir build/ctest --output-on-failure -j"$(nproc)"

# Run from the test folder so that nothing but the installed module is imported.
cd tests/python
"$PYTHON" -m pytest -q -p no:cacheprovider .
