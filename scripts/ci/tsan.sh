#!/usr/bin/env bash
# The C++ tests under ThreadSanitizer: the whole suite once, then the tests
# of the worker pool and of the pooled measures repeated, four workers on
# the machine's cores so that pieces interleave and get preempted.
# REPEAT (default 10) sets the number of repetitions.
source "$(dirname "$0")/lib.sh"
start=$(date +%s)

build_cpp_tests build/tsan "$TSAN_FLAGS"

# die_after_fork=0: by default TSan ends a child forked from a threaded
# process as soon as the child starts a thread; the pool starts fresh workers
# in a forked child by design (its fork handlers leave the child consistent),
# and the fork tests check exactly that.
# halt_on_error=1: the first race fails the test that found it.
export TSAN_OPTIONS=die_after_fork=0:halt_on_error=1:second_deadlock_stack=1
# A deadlock fails the run after half an hour instead of stalling CI.
tests="timeout 1800 build/tsan/cladorix_tests"

# Runs the tests with the given flags. A test's "[ RUN ]" line is shown only
# when something other than its "[ OK ]" follows, so a report, or the end of
# a process that a sanitizer halted, comes after the name of its test.
# Group lines, blank lines and death-test children's banners are left out.
run() {
  $tests "$@" 2>&1 | awk '
    /^\[----------\]/ || /^$/ || /^Running main\(\) from / { next }
    /^\[ RUN      \]/ { running = $0; next }
    /^\[       OK \]/ { running = ""; next }
    { if (running != "") print running; running = ""; print }
    END { if (running != "") print running " (the process ended here)" }'
}

run

# The slowest pooled tests spend their time in single-threaded reference
# code; the pool sees the same operations in the rest. The measures' own
# cancellation tests (MeasureCancel) run once above: big single-threaded
# inputs, and the pool's side of a stop is what PoolCancel repeats.
pooled='Pool*:Pooled*:ExhaustiveCounts.*:PhsScore.*:Cancel*'
slow='PoolProcessDeathTest.TheEnvironmentSizesTheProcessPool:PoolSize.*:ExhaustiveCounts.LargerTreesAndThePool:PhsScore.HistogramAndPairListsScoreAlike'
RAYON_NUM_THREADS=4 run --gtest_filter="$pooled:-$slow" --gtest_repeat="${REPEAT:-10}"
echo "tsan: $(since "$start") s"
