#!/usr/bin/env bash
# The Python suite against the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer, installed into a virtual environment of its own
# (CLADORIX_ASAN_VENV, default build/venv-asan) so no other install changes.
source "$(dirname "$0")/lib.sh"
start=$(date +%s)
need_build_tools

venv=${CLADORIX_ASAN_VENV:-build/venv-asan}
[ -x "$venv/bin/python" ] || "$PYTHON" -m venv --system-site-packages "$venv"
venv=$(cd "$venv" && pwd)
"$venv/bin/python" -m pip install --quiet \
  -C build-dir=build/asan-module \
  -C cmake.build-type="$SAN_BUILD_TYPE" \
  -C "cmake.define.CMAKE_CXX_FLAGS=$ASAN_FLAGS" \
  -C "cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO=$SAN_OPT_FLAGS" \
  -C cmake.define.CLADORIX_WERROR=ON \
  ".[test]"

# The interpreter itself is not instrumented, so the runtime is preloaded;
# libstdc++ too, or the first C++ exception thrown by the module, which loads
# it later, trips ASan's check of __cxa_throw.
asan_lib=$(g++ -print-file-name=libasan.so)
stdcxx_lib=$(g++ -print-file-name=libstdc++.so)
# Reports go to files, asan.<pid> and ubsan.<pid> under $logs: on the
# terminal, pytest's capture would swallow the report with the process it
# ends, and a child interpreter's would stay in the stderr its test captured.
# The plugin keeps the id of the test in progress in $running.
logs=$(pwd)/build/asan-python-logs
plugins=$(pwd)/scripts/ci
running=$logs/running-test
rm -rf "$logs"
mkdir -p "$logs"
# PYTHONMALLOC=malloc hands every Python object to ASan's allocator, so a
# reference dropped once too often shows as a use after free.
# detect_leaks=0: the interpreter leaves much of its memory to the OS at
# exit; leaks of the module are the leak loop's business.
status=0
(cd tests/python && LD_PRELOAD="$asan_lib $stdcxx_lib" PYTHONMALLOC=malloc \
  PYTHONPATH="$plugins" CLADORIX_RUNNING_TEST="$running" \
  ASAN_OPTIONS="detect_leaks=0:strict_string_checks=1:detect_stack_use_after_return=1:log_path=$logs/asan" \
  UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$logs/ubsan" \
  timeout 1800 "$venv/bin/python" -m pytest -q -p no:cacheprovider -p pytest_running_test .) ||
  status=$?
if [ -s "$running" ]; then
  printf '\nasan_python: the test process ended during %s\n' "$(cat "$running")"
  status=1
fi
for report in "$logs"/asan.* "$logs"/ubsan.*; do
  [ -e "$report" ] || continue
  echo "asan_python: sanitizer report $(basename "$report"):"
  cat "$report"
  status=1
done
echo "asan_python: $(since "$start") s"
exit "$status"
