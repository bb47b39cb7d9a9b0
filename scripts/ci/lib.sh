# Shared by the CI jobs in this folder: source it, do not run it.
# Each job builds in a folder of its own under build/, so a job never
# reuses objects compiled with other flags.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc)}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# GoogleTest, CMake and Ninja, as the README's test command installs them.
need_build_tools() {
  if ! ls /usr/lib/*/cmake/GTest/GTestConfig.cmake /usr/lib/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1; then
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
  fi
  command -v cmake >/dev/null 2>&1 || "$PYTHON" -m pip install --quiet cmake
  command -v ninja >/dev/null 2>&1 || "$PYTHON" -m pip install --quiet ninja
}

# Sanitizer builds: -O1 with line tables, so reports name source lines;
# -O2 and full debug information double the compile time for no more finds.
SAN_BUILD_TYPE=RelWithDebInfo
SAN_OPT_FLAGS="-O1 -g1"
# -fno-sanitize-recover: undefined behaviour aborts the test instead of
# printing a line that a passing run would hide.
ASAN_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -D_GLIBCXX_ASSERTIONS -fno-omit-frame-pointer"
TSAN_FLAGS="-fsanitize=thread -fno-omit-frame-pointer"
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export UBSAN_OPTIONS

# Configures and builds the C++ tests with extra compiler flags in $1/.
build_cpp_tests() {
  local dir=$1 flags=$2
  need_build_tools
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$SAN_BUILD_TYPE" -DCLADORIX_TESTS=ON \
    -DCLADORIX_MODULE=OFF -DCLADORIX_WERROR=ON "-DCMAKE_CXX_FLAGS=$flags" \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$SAN_OPT_FLAGS" >/dev/null
  cmake --build "$dir" -j"$JOBS"
}

# Prints the seconds since $1 (a `date +%s` value).
since() { echo $(( $(date +%s) - $1 )); }
