#!/usr/bin/env bash
# The C++ tests under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer, with the standard library's own bounds checks.
source "$(dirname "$0")/lib.sh"
start=$(date +%s)

build_cpp_tests build/asan "$ASAN_FLAGS"

# detect_leaks: every test process, death-test children included, is checked
# for leaks when it exits (children that leave with _exit are not).
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
# A deadlocked test fails after --timeout seconds instead of stalling CI.
ctest --test-dir build/asan --output-on-failure -j"$JOBS" --timeout 600
echo "asan_cpp: $(since "$start") s"
