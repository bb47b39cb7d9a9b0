#!/usr/bin/env bash
# Fuzzes the Newick reader, the tree file reader (standard Newick and Nexus)
# and the argument binding of every Python function with libFuzzer,
# everything built by clang under ASan and UBSan, each target for
# FUZZ_SECONDS (60 by default, all three at once) from the seed corpus in
# tests/fuzz/corpus.
# Fails on a crash, a sanitizer report, a hang (an input running longer than
# FUZZ_TIMEOUT seconds) or a call that ends in a way the module does not
# document (a SystemError included). Installs clang and its runtimes if needed.
#
# Reproduce a failure with the target and the input it saved:
#   build/fuzz/tests/fuzz/fuzz_binding build/fuzz/artifacts/binding-crash-...
set -euo pipefail
cd "$(dirname "$0")/../.."
PYTHON=${PYTHON:-python3}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
FUZZ_TIMEOUT=${FUZZ_TIMEOUT:-10}
BUILD=build/fuzz
start=$(date +%s)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
apt_install() {
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# libFuzzer needs clang's coverage counters (GCC has none it can read), and
# clang's fuzzer and sanitizer runtimes, packaged per clang version.
command -v clang++ >/dev/null 2>&1 || apt_install --no-install-recommends clang libclang-rt-dev
if [ ! -e "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]; then
  apt_install --no-install-recommends "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
fi
# The binding's target embeds the interpreter: it needs the headers and libpython.
if [ ! -e "$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ]; then
  apt_install --no-install-recommends python3-dev
fi
command -v cmake >/dev/null 2>&1 || "$PYTHON" -m pip install --quiet cmake
command -v ninja >/dev/null 2>&1 || "$PYTHON" -m pip install --quiet ninja

installed=$(date +%s)

# The harness embeds this interpreter (its real path, not a shim).
PYTHON_EXE=$("$PYTHON" -c 'import sys; print(sys.executable)')
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCLADORIX_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only" \
  -DPython_EXECUTABLE="$PYTHON_EXE" >/dev/null
if ! cmake --build "$BUILD" -j"$(nproc)" --target fuzz_newick fuzz_tree_file fuzz_binding >"$BUILD/build.log" 2>&1; then
  tail -n 40 "$BUILD/build.log"
  echo "fuzz: the build failed"
  exit 1
fi
built=$(date +%s)

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
rm -rf "$BUILD/artifacts" "$BUILD/corpus"
mkdir -p "$BUILD/artifacts"

# run TARGET ASAN_OPTIONS EXTRA_FLAGS...: new inputs go to a scratch corpus,
# the checked-in seeds are only read.
run() {
  local target=$1 asan=$2
  shift 2
  mkdir -p "$BUILD/corpus/$target"
  ASAN_OPTIONS=$asan "$BUILD/tests/fuzz/fuzz_$target" \
    -max_total_time="$FUZZ_SECONDS" -timeout="$FUZZ_TIMEOUT" -print_final_stats=1 \
    -artifact_prefix="$BUILD/artifacts/$target-" "$@" \
    "$BUILD/corpus/$target" "tests/fuzz/corpus/$target" >"$BUILD/$target.log" 2>&1
}

# The three targets run side by side, sharing the cores, so the job fuzzes
# for FUZZ_SECONDS in all. The binding's target embeds the
# interpreter, whose caches live until exit: leaks are not its business.
run newick detect_leaks=1 &
newick_pid=$!
run tree_file detect_leaks=1 &
tree_file_pid=$!
run binding detect_leaks=0 -detect_leaks=0 -print_funcs=0 &
binding_pid=$!
declare -A status=([newick]=0 [tree_file]=0 [binding]=0)
wait "$newick_pid" || status[newick]=$?
wait "$tree_file_pid" || status[tree_file]=$?
wait "$binding_pid" || status[binding]=$?

failed=0
passed=0
for target in newick tree_file binding; do
  log="$BUILD/$target.log"
  code=${status[$target]}
  # A report that did not stop the run still fails it.
  if grep -qE 'runtime error:|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|SystemError' "$log"; then
    code=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  [ -n "$runs" ] && [ "$runs" -gt 0 ] || code=1
  first=$(grep -m1 -oE 'INITED cov: [0-9]+ ft: [0-9]+' "$log" | sed 's/INITED //' || true)
  last=$(grep -oE '^#[0-9]+[[:space:]]+[A-Z]+ +cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -n1 |
    sed -E 's/^#[0-9]+[[:space:]]+[A-Z]+ +//' || true)
  echo "fuzz_$target: ${runs:-no} inputs run; seeds gave ${first:-?}; at the end ${last:-?}"
  if [ "$code" -ne 0 ]; then
    failed=$((failed + 1))
    echo "fuzz_$target FAILED; the end of $log:"
    tail -n 60 "$log"
    ls "$BUILD/artifacts" 2>/dev/null | sed "s|^|  saved input: $BUILD/artifacts/|"
  else
    passed=$((passed + 1))
  fi
done
echo "fuzz: installs $((installed - start)) s, build $((built - installed)) s," \
  "fuzzing $(($(date +%s) - built)) s, whole job $(($(date +%s) - start)) s"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
