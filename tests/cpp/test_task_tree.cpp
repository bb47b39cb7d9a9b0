// run_task_tree: every task, spawned ones included, runs exactly once on a
// lane in range, whatever the lanes and the shared threshold; a failing
// task ends the run with its own exception instead of hanging the others.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "runtime/task_tree.hpp"
#include "util/errors.hpp"

namespace {

struct Range {
  uint64_t lo = 0, hi = 0;
  uint64_t work() const { return hi - lo; }
};

using Spawn = std::function<void(Range&&)>;

// Built by pushes: GCC 12 warns falsely on heaps over a one-element literal.
std::vector<Range> ranges(std::initializer_list<Range> list) {
  std::vector<Range> out;
  for (const Range& r : list) out.push_back(r);
  return out;
}

// Halves a range until it is short, then marks its units.
void halve_or_mark(Range& r, const Spawn& spawn, std::vector<std::atomic<int>>& hits) {
  if (r.hi - r.lo > 16) {
    const uint64_t mid = r.lo + (r.hi - r.lo) / 3;
    spawn(Range{r.lo, mid});
    spawn(Range{mid, r.hi});
    return;
  }
  for (uint64_t i = r.lo; i < r.hi; ++i) hits[i].fetch_add(1);
}

TEST(TaskTree, EveryTaskRunsOnceWhateverTheLanes) {
  constexpr uint64_t n = 20000;
  for (size_t lanes : {1, 2, 3})
    for (uint64_t shared : {uint64_t{1}, uint64_t{500}, uint64_t{1} << 40}) {
      std::vector<std::atomic<int>> hits(n);
      std::atomic<bool> lane_in_range{true};
      cladorix::run_task_tree(lanes, ranges({{0, n / 2}, {n / 2, n}}), shared,
                              [&](size_t lane, Range& r, const Spawn& spawn) {
                                if (lane >= lanes) lane_in_range = false;
                                halve_or_mark(r, spawn, hits);
                              });
      EXPECT_TRUE(lane_in_range);
      for (uint64_t i = 0; i < n; ++i)
        ASSERT_EQ(hits[i].load(), 1)
            << "unit " << i << ", " << lanes << " lanes, shared " << shared;
    }
}

TEST(TaskTree, AFailingTaskEndsTheRunWithItsError) {
  for (size_t lanes : {1, 2}) {
    std::vector<std::atomic<int>> hits(4000);
    try {
      cladorix::run_task_tree(lanes, ranges({{0, 4000}}), 100,
                              [&](size_t, Range& r, const Spawn& spawn) {
                                if (r.lo <= 2500 && 2500 < r.hi && r.hi - r.lo <= 16)
                                  throw cladorix::CallerError("unit 2500");
                                halve_or_mark(r, spawn, hits);
                              });
      ADD_FAILURE() << "no error with " << lanes << " lanes";
    } catch (const cladorix::CallerError& e) {
      EXPECT_STREQ(e.what(), "unit 2500");
    }
  }
}

}  // namespace
