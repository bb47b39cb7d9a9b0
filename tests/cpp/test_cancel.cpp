// Cooperative cancellation: the poller, the scopes that install a check, the
// pool's wait, and every long measure stopped by its check.
//
// A computation that ignores its check would run for hours here, so every
// such test runs under a watchdog that aborts the whole binary with a message
// after a generous time instead of hanging the suite. No test asserts how fast
// a stop arrives.
#include <gtest/gtest.h>
#include <time.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "measures/characters/cut_events.hpp"
#include "measures/characters/likelihood.hpp"
#include "measures/characters/parsimony.hpp"
#include "measures/phs/phs.hpp"
#include "measures/rf/rf_distance.hpp"
#include "measures/triplets/by_name.hpp"
#include "measures/triplets/by_position.hpp"
#include "measures/triplets/exhaustive_by_position.hpp"
#include "runtime/cancel.hpp"
#include "runtime/pool.hpp"
#include "tree/leaf_lca.hpp"
#include "tree/newick.hpp"
#include "tree_gen.hpp"
#include "util/errors.hpp"

namespace cladorix {
namespace {

using namespace std::chrono_literals;
using Counts = std::array<uint64_t, 4>;

// Aborts the test binary when the guarded code has not finished in time.
class Watchdog {
 public:
  explicit Watchdog(const char* what, std::chrono::seconds limit = 180s)
      : thread_([this, what, limit] {
          std::unique_lock lk(m_);
          if (!cv_.wait_for(lk, limit, [this] { return done_; })) {
            std::fprintf(stderr,
                         "watchdog: %s still running after %lld s: the cancellation check does "
                         "not reach it\n",
                         what, static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lk(m_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Says stop once `after` has passed since it was made (zero: at once), and
// counts how often it was asked.
struct StopLater {
  explicit StopLater(std::chrono::milliseconds after = 0ms)
      : deadline_ns(now_ns() + std::chrono::nanoseconds(after).count()) {}
  int64_t deadline_ns;
  std::atomic<uint64_t> calls{0};
  CancelCheck check() {
    return {[](void* self) {
              auto* s = static_cast<StopLater*>(self);
              s->calls.fetch_add(1, std::memory_order_relaxed);
              return now_ns() >= s->deadline_ns;
            },
            this};
  }
};

// Runs `body` under a check that stops it after `after`, and expects it to
// end with Cancelled; returns how often the check was asked.
template <class F>
uint64_t expect_cancelled(const char* what, F&& body, std::chrono::milliseconds after = 200ms) {
  const Watchdog dog(what);
  StopLater stop(after);
  {
    const CancelScope scope(stop.check());
    EXPECT_THROW(body(), Cancelled) << what;
  }
  EXPECT_FALSE(current_cancel_check()) << what << ": the scope was not restored";
  EXPECT_GE(stop.calls.load(), 1u) << what;
  return stop.calls.load();
}

Tree random_tree(uint32_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  return from_newick(testgen::random_newick(testgen::labels(n), gen));
}

// ---------------------------------------------------------------------------
// The poller and the scopes

TEST(CancelPoller, WithoutACheckNeverStops) {
  ASSERT_FALSE(current_cancel_check());
  CancelPoller poll;
  for (int i = 0; i < (1 << 22); ++i) poll.tick(1 << 10);  // 2^32 units, many budgets
  check_cancel_now();                                      // nothing installed: no-op
  // An empty check installed explicitly behaves the same.
  const CancelScope scope(CancelCheck{});
  for (int i = 0; i < (1 << 20); ++i) poll.tick(1 << 10);
  check_cancel_now();
}

TEST(CancelPoller, ConsultsTheCheckAboutOncePerIntervalNotPerTick) {
  const Watchdog dog("the poller test");
  struct Record {
    uint64_t ticks = 0;
    std::vector<std::pair<int64_t, uint64_t>> seen;  // (time, ticks so far) per call
  } rec;
  const CancelScope scope({[](void* r) {
                             auto* rec = static_cast<Record*>(r);
                             rec->seen.push_back({now_ns(), rec->ticks});
                             return false;
                           },
                           &rec});
  CancelPoller poll;
  while (rec.seen.size() < 6) {
    poll.tick();
    ++rec.ticks;
  }
  for (size_t i = 1; i < rec.seen.size(); ++i) {
    // A budget is spent between two calls, and the interval has passed.
    EXPECT_GE(rec.seen[i].second - rec.seen[i - 1].second,
              static_cast<uint64_t>(CancelPoller::kBudget));
    EXPECT_GE(rec.seen[i].first - rec.seen[i - 1].first, kCancelCheckIntervalNs / 2);
  }
  // check_cancel_now ignores budget and interval.
  const size_t before = rec.seen.size();
  check_cancel_now();
  check_cancel_now();
  EXPECT_EQ(rec.seen.size(), before + 2);
}

TEST(CancelPoller, StopsWithCancelledWhenTheCheckSaysSo) {
  expect_cancelled("a bare poller", [] {
    CancelPoller poll;
    for (;;) poll.tick(64);
  });
  // Once the interval has passed, the tick that spends the budget stops;
  // ticks within the budget never look.
  const CancelScope scope({[](void*) { return true; }, nullptr});
  std::this_thread::sleep_for(std::chrono::nanoseconds(kCancelCheckIntervalNs) + 1ms);
  CancelPoller poll;
  poll.tick(CancelPoller::kBudget);
  EXPECT_THROW(poll.tick(), Cancelled);
  EXPECT_THROW(check_cancel_now(), Cancelled);
}

TEST(CancelScope, NestedScopesRestoreTheOuterCheck) {
  int outer_calls = 0, inner_calls = 0;
  const CancelCheck outer{[](void* c) { return ++*static_cast<int*>(c), false; }, &outer_calls};
  const CancelCheck inner{[](void* c) { return ++*static_cast<int*>(c), true; }, &inner_calls};
  ASSERT_FALSE(current_cancel_check());
  {
    const CancelScope a(outer);
    EXPECT_EQ(current_cancel_check().context, &outer_calls);
    {
      const CancelScope b(inner);
      EXPECT_EQ(current_cancel_check().context, &inner_calls);
      EXPECT_THROW(check_cancel_now(), Cancelled);
    }
    EXPECT_EQ(current_cancel_check().context, &outer_calls);
    check_cancel_now();  // the outer check, which lets it run on
    {
      const CancelScope none(CancelCheck{});
      EXPECT_FALSE(current_cancel_check());
      check_cancel_now();
    }
    EXPECT_EQ(current_cancel_check().context, &outer_calls);
  }
  EXPECT_FALSE(current_cancel_check());
  EXPECT_EQ(inner_calls, 1);
  EXPECT_EQ(outer_calls, 1);
}

TEST(CancelScope, ChecksBelongToTheirThread) {
  const CancelScope scope({[](void*) { return true; }, nullptr});
  bool other_had_check = true;
  std::thread([&] {
    other_had_check = static_cast<bool>(current_cancel_check());
    check_cancel_now();  // must not throw: nothing is installed here
  }).join();
  EXPECT_FALSE(other_had_check);
}

// ---------------------------------------------------------------------------
// The pool

TEST(PoolCancel, CallerStopWindsDownTheOperationAndThePoolServesTheNext) {
  WorkerPool& pool = WorkerPool::global();
  std::atomic<int> running{0};
  std::atomic<uint64_t> started{0};
  // Far more pieces than workers, each endless unless its poller stops it.
  expect_cancelled("endless pooled pieces", [&] {
    pool.run(10'000, [&](size_t) {
      started.fetch_add(1);
      running.fetch_add(1);
      struct Leave {
        std::atomic<int>& r;
        ~Leave() { r.fetch_sub(1); }
      } leave{running};
      CancelPoller poll;
      for (;;) poll.tick(64);
    });
  });
  // Every piece has left before Cancelled reached the caller; the unstarted
  // ones were skipped.
  EXPECT_EQ(running.load(), 0);
  EXPECT_LE(started.load(), pool.worker_count());

  // The next operation runs on the workers again (not inline on this
  // thread) and is complete.
  std::mutex m;
  std::set<std::thread::id> threads;
  const Counts sum = pool.map_indexed_sum<4>(64, [&](size_t i) {
    {
      std::lock_guard lk(m);
      threads.insert(std::this_thread::get_id());
    }
    return Counts{i, 1, 2 * i, 0};
  });
  EXPECT_EQ(sum, (Counts{2016, 64, 4032, 0}));
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST(PoolCancel, AStopIsSeenWhileWaitingForAnotherCallersOperation) {
  WorkerPool& pool = WorkerPool::global();
  std::atomic<bool> release{false}, holding{false};
  std::thread holder([&] {
    // No check here: this operation runs until released.
    pool.run(pool.worker_count(), [&](size_t) {
      holding.store(true);
      while (!release.load()) std::this_thread::sleep_for(1ms);
    });
  });
  while (!holding.load()) std::this_thread::sleep_for(1ms);
  std::atomic<bool> ran{false};
  expect_cancelled("a caller queued behind another",
                   [&] { pool.run(4, [&](size_t) { ran.store(true); }); });
  EXPECT_FALSE(ran.load());
  release.store(true);
  holder.join();
  EXPECT_EQ(pool.map_indexed_sum<4>(3,
                                    [](size_t i) {
                                      return Counts{i, i, i, i};
                                    }),
            (Counts{3, 3, 3, 3}));
}

TEST(PoolCancel, ACheckThatUsesThePoolWhileItsThreadWaitsRunsThatWorkInline) {
  WorkerPool& pool = WorkerPool::global();
  const Watchdog dog("a check calling into the pool");
  struct Nested {
    std::vector<Counts> sums;
    std::vector<std::thread::id> threads;
  } nested;
  const CancelScope scope({[](void* p) {
                             auto* n = static_cast<Nested*>(p);
                             std::vector<std::thread::id> ids(8);
                             n->sums.push_back(
                                 WorkerPool::global().map_indexed_sum<4>(8, [&](size_t i) {
                                   ids[i] = std::this_thread::get_id();
                                   return Counts{i, 1, 0, 0};
                                 }));
                             n->threads.insert(n->threads.end(), ids.begin(), ids.end());
                             return false;
                           },
                           &nested});
  // Pieces that sleep long enough for the waiting caller to run its check
  // several times.
  const Counts outer = pool.map_indexed_sum<4>(2, [](size_t i) {
    std::this_thread::sleep_for(60ms);
    return Counts{0, 0, i + 1, 0};
  });
  EXPECT_EQ(outer, (Counts{0, 0, 3, 0}));
  ASSERT_FALSE(nested.sums.empty());
  for (const Counts& c : nested.sums) EXPECT_EQ(c, (Counts{28, 8, 0, 0}));
  for (const std::thread::id& id : nested.threads) EXPECT_EQ(id, std::this_thread::get_id());
}

// ---------------------------------------------------------------------------
// Whole measures

// The pool, after a cancelled operation, counts as the calling thread does
// (opposite caterpillars: enough work to be handed to the workers).
void expect_pool_counts_correctly() {
  const uint32_t n = 3000;
  const Tree a = from_newick(testgen::deep_caterpillar(n)),
             b = from_newick(testgen::mirror_caterpillar(n));
  const TripletResult pooled =
      triplets_by_position(kParallelVariant, a, b, UINT64_MAX, std::nullopt, std::nullopt, 4);
  ASSERT_GT(pooled.parallel_chunks_used, 1u);
  const LeafLca la(a), lb(b);
  EXPECT_EQ(pooled.counters, exhaustive_triplet_counts(la, lb, n));
}

TEST(MeasureCancel, NameMatchedSamplingWithEndlessTrials) {
  const Tree a = random_tree(300, 1), b = random_tree(300, 2);
  expect_cancelled("triplets_correct", [&] { triplets_correct(a, b, UINT64_MAX, 1); });
  expect_cancelled("triplets_correct_fast", [&] { triplets_correct_fast(a, b, UINT64_MAX, 1); });
}

TEST(MeasureCancel, UltraSamplingAndCounting) {
  const uint32_t n = 150'000;
  const Tree a = from_newick(testgen::deep_caterpillar(n));
  const Tree b = from_newick(testgen::mirror_caterpillar(n));
  // 10^14 trials sample (fewer than the triplets); as many as the
  // triplets count every one, quadratic on opposite caterpillars.
  ASSERT_TRUE(plan_triplets_by_position(kUltraVariant, n, 100'000'000'000'000ULL, 1).sampling);
  expect_cancelled("ultra sampling",
                   [&] { triplets_correct_ultra(a, b, 100'000'000'000'000ULL, 1); });
  expect_cancelled("ultra counting", [&] { triplets_correct_ultra(a, b, UINT64_MAX, 1); });
}

TEST(MeasureCancel, PooledSamplingInChunks) {
  const uint32_t n = 100'000;
  const uint64_t trials = 10'000'000'000'000ULL;
  const Tree a = random_tree(n, 3), b = random_tree(n, 4);
  for (const PositionVariant* v : {&kParallelVariant, &kOptimizedVariant}) {
    const TripletPlan plan = plan_triplets_by_position(*v, n, trials, 4);
    ASSERT_TRUE(plan.sampling);
    ASSERT_GT(plan.chunks, 1u);
  }
  expect_cancelled("parallel sampling", [&] {
    triplets_by_position(kParallelVariant, a, b, trials, 5, std::nullopt, 4);
  });
  expect_cancelled("optimized sampling", [&] {
    triplets_by_position(kOptimizedVariant, a, b, trials, 5, std::nullopt, 4);
  });
  expect_pool_counts_correctly();
}

TEST(MeasureCancel, PooledCountingOnOppositeCaterpillars) {
  const uint32_t n = 150'000;
  const Tree a = from_newick(testgen::deep_caterpillar(n));
  const Tree b = from_newick(testgen::mirror_caterpillar(n));
  const TripletPlan plan = plan_triplets_by_position(kOptimizedVariant, n, UINT64_MAX, 4);
  ASSERT_FALSE(plan.sampling);
  ASSERT_GT(plan.chunks, 1u);
  expect_cancelled("parallel counting", [&] {
    triplets_by_position(kParallelVariant, a, b, UINT64_MAX, std::nullopt, std::nullopt, 4);
  });
  expect_cancelled("optimized counting", [&] {
    triplets_by_position(kOptimizedVariant, a, b, UINT64_MAX, std::nullopt, std::nullopt, 4);
  });
  expect_pool_counts_correctly();
}

// Rows of `sites` states, mostly edits, some missing; internal nodes named
// n1, n2, ... in the text so that states can be given to them.
struct CharacterData {
  std::string newick;
  CharacterMatrix matrix;
  InternalStates states;
};

CharacterData character_data(uint32_t leaves, uint32_t sites, uint64_t seed) {
  CharacterData d;
  std::mt19937_64 gen(seed);
  std::vector<std::string> internal;
  d.newick = testgen::number_internal_nodes(testgen::random_newick(testgen::labels(leaves), gen),
                                            "n", 1, internal);
  for (const std::string& name : internal) d.states[name] = std::vector<int32_t>(sites, 0);
  std::uniform_int_distribution<int32_t> state(-1, 40);
  d.matrix.assign(leaves, std::vector<int32_t>(sites));
  for (auto& row : d.matrix)
    for (int32_t& s : row) s = state(gen);
  return d;
}

TEST(MeasureCancel, CharacterScoresOnABigTree) {
  const CharacterData d = character_data(400'000, 40, 7);
  const Tree t = from_newick(d.newick);
  // Each of these takes far longer than the first check; left alone they
  // would return a result.
  const auto after = 0ms;
  expect_cancelled(
      "parsimony", [&] { parsimony(t, d.matrix, nullptr, -1, 0); }, after);
  expect_cancelled(
      "parsimony with states", [&] { parsimony(t, d.matrix, &d.states, -1, 0); }, after);
  expect_cancelled(
      "parsimony p-value", [&] { parsimony_p_value(t, d.matrix, nullptr, CharacterModel{}); },
      after);
  expect_cancelled(
      "likelihood", [&] { likelihood(t, d.matrix, nullptr, CharacterModel{}); }, after);
  expect_cancelled(
      "likelihood distance",
      [&] { likelihood_distance(t, t, d.matrix, &d.states, nullptr, CharacterModel{}); }, after);
  expect_cancelled(
      "cut events", [&] { cut_events(t, d.matrix, std::nullopt, -1, 0); }, after);
}

TEST(MeasureCancel, PhsCounting) {
  const CharacterData d = character_data(60'000, 100, 8);
  const Tree t = from_newick(d.newick);
  expect_cancelled("phs_optimized",
                   [&] { phs_optimized(t, d.matrix, d.states, CharacterModel{}, std::nullopt); });
  expect_pool_counts_correctly();
}

TEST(MeasureCancel, RobinsonFouldsBothPaths) {
  const uint32_t n = 1'000'000;
  const Tree a = from_newick(testgen::deep_caterpillar(n));
  const Tree b = from_newick(testgen::mirror_caterpillar(n));
  expect_cancelled(
      "Robinson-Foulds by intervals", [&] { rf_distance(a, b); }, 0ms);
  // Bit vectors: quadratic, so smaller trees already take long.
  const Tree c = random_tree(40'000, 9), d = random_tree(40'000, 10);
  expect_cancelled(
      "Robinson-Foulds by bit vectors", [&] { rf_distance_by_bitvecs(c, d); }, 0ms);
}

TEST(MeasureCancel, ReadingAHugeText) {
  const std::string text = testgen::deep_caterpillar(5'000'000);
  expect_cancelled(
      "the Newick reader", [&] { from_newick(text); }, 0ms);
}

// Past the first check interval, the first large step of each stops.
TEST(MeasureCancel, LeafNamesAndFreeingABigTree) {
  Tree t = from_newick(testgen::deep_caterpillar(2'000'000));
  expect_cancelled(
      "leaf names",
      [&] {
        std::this_thread::sleep_for(15ms);
        leaf_names(t);
      },
      0ms);
  expect_cancelled(
      "freeing the tree",
      [&] {
        std::this_thread::sleep_for(15ms);
        t.release_polled();
      },
      0ms);
  // A stopped release leaves a tree that can still be released in full.
  t.release_polled();
  EXPECT_EQ(t.size(), 0u);
  EXPECT_TRUE(t.naming_order().empty());
}

}  // namespace
}  // namespace cladorix
