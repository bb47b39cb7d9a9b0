#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/chunk_plan.hpp"
#include "runtime/cpu_limits.hpp"
#include "runtime/pool.hpp"
#include "util/errors.hpp"

namespace cladorix {
namespace {

using namespace std::chrono_literals;
using Counts = std::array<uint64_t, 4>;

// ---------------------------------------------------------------------------
// Chunk planning

TEST(ChunkPlanning, ChunkCountGrowsWithTheRootOfTheWorkUpToTheCap) {
  EXPECT_EQ(chunk_count(1999, 8000, 2000, 16), 1u);  // 0 x 0 raised to 1
  EXPECT_EQ(chunk_count(64000, 8000, 2000, 16), 16u);
  EXPECT_EQ(chunk_count(64000, 8000, 2000, 4), 4u);
  EXPECT_EQ(chunk_count(10000, 8000, 2000, 16), 2u);  // sqrt(1 x 5)
  EXPECT_EQ(chunk_count(161700, 8000, 2000, 4), 4u);  // sqrt(20 x 80) = 40, capped
  EXPECT_EQ(chunk_count(161700, 12000, 4000, 2), 2u);
  EXPECT_EQ(chunk_count(50000, 12000, 4000, 8), 6u);   // sqrt(4 x 12) = 6.93
  EXPECT_EQ(chunk_count(16002, 4000, 16000, 64), 2u);  // sqrt(4 x 1)
  EXPECT_EQ(chunk_count(64000, 8000, 2000, 0), 0u);    // max_threads = 0 gives 0
  EXPECT_EQ(chunk_count(UINT64_MAX, 1, 1, UINT64_MAX), UINT64_MAX);
}

TEST(ChunkPlanning, PieceSizeAndTheResultingPieces) {
  EXPECT_EQ(piece_size(10, 3, 1), 3u);
  EXPECT_EQ(WorkerPool::piece_count(10, 3), 4u);  // 3, 3, 3, 1
  EXPECT_EQ(piece_size(5, 8, 2), 1u);
  EXPECT_EQ(piece_size(161700, 4, 2), 20212u);
  EXPECT_EQ(WorkerPool::piece_count(161700, 20212), 9u);
  EXPECT_EQ(piece_size(161700, 2, 2), 40425u);
  EXPECT_EQ(WorkerPool::piece_count(161700, 40425), 4u);
  EXPECT_EQ(piece_size(0, 4, 2), 1u);
  EXPECT_EQ(WorkerPool::piece_count(0, 1), 0u);
  EXPECT_EQ(WorkerPool::piece_count(UINT64_MAX, UINT64_MAX - 1), 2u);
}

TEST(ChunkPlanning, ZeroChunksFailLikeADivisionByZero) {
  try {
    piece_size(100, 0, 2);
    FAIL() << "no exception";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "attempt to divide by zero");
  }
  EXPECT_THROW(WorkerPool::piece_count(5, 0), InternalError);
}

TEST(ChunkPlanning, EffectiveThreadCountCapsAtTheWorkers) {
  EXPECT_EQ(effective_thread_count(std::nullopt, 3), 3u);
  EXPECT_EQ(effective_thread_count(8, 3), 3u);
  EXPECT_EQ(effective_thread_count(2, 3), 2u);
  EXPECT_EQ(effective_thread_count(0, 3), 0u);
  EXPECT_EQ(effective_thread_count(std::nullopt), WorkerPool::global().worker_count());
}

// ---------------------------------------------------------------------------
// Operations

// A one-shot flag that can be waited for with a timeout.
class Flag {
 public:
  void set() {
    std::lock_guard lk(m_);
    set_ = true;
    cv_.notify_all();
  }
  bool wait_for(std::chrono::milliseconds d) {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, d, [&] { return set_; });
  }
  bool is_set() {
    std::lock_guard lk(m_);
    return set_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool set_ = false;
};

TEST(PoolOps, CollectKeepsIndexOrderWhenALaterIndexFinishesFirst) {
  WorkerPool& pool = WorkerPool::global();
  if (pool.worker_count() < 2) GTEST_SKIP() << "needs two workers";
  Flag two_done;
  std::atomic<bool> zero_saw_two{false};
  std::mutex order_m;
  std::vector<size_t> finish_order;
  auto out = pool.map_indexed_collect(3, [&](size_t i) {
    if (i == 0) zero_saw_two = two_done.wait_for(10s);
    {
      std::lock_guard lk(order_m);
      finish_order.push_back(i);
    }
    if (i == 2) two_done.set();
    return std::to_string(i * 10 + 1);
  });
  EXPECT_TRUE(zero_saw_two);
  // Index 2 finished before index 0 (index 1 may come anywhere: with more
  // workers than cores it can be the last to run).
  const auto finished_at = [&](size_t i) {
    return std::find(finish_order.begin(), finish_order.end(), i) - finish_order.begin();
  };
  ASSERT_EQ(finish_order.size(), 3u);
  EXPECT_LT(finished_at(2), finished_at(0));
  EXPECT_EQ(out, (std::vector<std::string>{"1", "11", "21"}));
}

TEST(PoolOps, CollectWithUnevenDelays) {
  WorkerPool& pool = WorkerPool::global();
  auto out = pool.map_indexed_collect(40, [](size_t i) {
    std::this_thread::sleep_for(std::chrono::microseconds((40 - i) * 50));
    return i * i + 1;
  });
  ASSERT_EQ(out.size(), 40u);
  for (size_t i = 0; i < 40; ++i) EXPECT_EQ(out[i], i * i + 1);
  EXPECT_TRUE(pool.map_indexed_collect(0, [](size_t i) { return i; }).empty());
}

struct NoDefault {
  explicit NoDefault(size_t v) : value(v) {}
  size_t value;
};

TEST(PoolOps, CollectsTypesWithoutDefaultAndBools) {
  WorkerPool& pool = WorkerPool::global();
  auto objs = pool.map_indexed_collect(100, [](size_t i) { return NoDefault(3 * i); });
  for (size_t i = 0; i < objs.size(); ++i) EXPECT_EQ(objs[i].value, 3 * i);
  // Neighbouring bools written concurrently must not clobber each other.
  for (int rep = 0; rep < 20; ++rep) {
    auto bits = pool.map_indexed_collect(257, [](size_t i) { return i % 3 == 0; });
    ASSERT_EQ(bits.size(), 257u);
    for (size_t i = 0; i < bits.size(); ++i) ASSERT_EQ(bits[i], i % 3 == 0) << i;
  }
}

TEST(PoolOps, IndexedSumAddsElementWise) {
  WorkerPool& pool = WorkerPool::global();
  const uint64_t k = 1000;
  Counts s = pool.map_indexed_sum<4>(k, [](size_t i) { return Counts{i, 2 * i, 1, i * i}; });
  EXPECT_EQ(s, (Counts{k * (k - 1) / 2, k * (k - 1), k, (k - 1) * k * (2 * k - 1) / 6}));
  EXPECT_EQ(pool.map_indexed_sum<4>(0,
                                    [](size_t) {
                                      return Counts{1, 1, 1, 1};
                                    }),
            (Counts{0, 0, 0, 0}));
  // Unsigned addition wraps, whatever the order.
  EXPECT_EQ(pool.map_indexed_sum<4>(3,
                                    [](size_t) {
                                      return Counts{UINT64_MAX, 0, 0, 0};
                                    })[0],
            UINT64_MAX - 2);
}

TEST(PoolOps, PiecesCoverTheRangeInOrderWithTheRemainderLast) {
  WorkerPool& pool = WorkerPool::global();
  using Span = std::pair<size_t, size_t>;
  auto spans = pool.map_pieces_collect(10, 3, [](size_t b, size_t e) { return Span{b, e}; });
  EXPECT_EQ(spans, (std::vector<Span>{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
  EXPECT_EQ(pool.map_pieces_collect(9, 3,
                                    [](size_t b, size_t e) {
                                      return Span{b, e};
                                    }),
            (std::vector<Span>{{0, 3}, {3, 6}, {6, 9}}));
  EXPECT_EQ(pool.map_pieces_collect(5, 8,
                                    [](size_t b, size_t e) {
                                      return Span{b, e};
                                    }),
            (std::vector<Span>{{0, 5}}));
  std::atomic<int> calls{0};
  EXPECT_TRUE(pool.map_pieces_collect(0, 4,
                                      [&](size_t b, size_t e) {
                                        ++calls;
                                        return Span{b, e};
                                      })
                  .empty());
  EXPECT_EQ(calls, 0);
  EXPECT_THROW(pool.map_pieces_collect(5, 0, [](size_t b, size_t) { return b; }), InternalError);
}

TEST(PoolOps, PiecesRunOnWorkersConcurrently) {
  WorkerPool& pool = WorkerPool::global();
  const auto caller = std::this_thread::get_id();
  auto ids = pool.map_indexed_collect(16, [](size_t) { return std::this_thread::get_id(); });
  for (auto id : ids) EXPECT_NE(id, caller);
  if (pool.worker_count() < 2) return;
  // Two pieces must be able to wait for each other.
  std::atomic<int> arrived{0};
  auto meet = [&] {
    ++arrived;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (arrived.load() < 2 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    return arrived.load() == 2;
  };
  const auto met = pool.map_indexed_collect(2, [&](size_t) { return meet(); });
  EXPECT_TRUE(met[0]);
  EXPECT_TRUE(met[1]);
}

TEST(PoolOps, NestedUseFromATaskRunsInline) {
  WorkerPool& pool = WorkerPool::global();
  auto out = pool.map_indexed_collect(4, [&](size_t i) {
    auto inner = pool.map_indexed_sum<4>(10, [i](size_t j) { return Counts{i * j, 0, 0, 1}; });
    return inner[0] + inner[3];
  });
  EXPECT_EQ(out, (std::vector<uint64_t>{10, 55, 100, 145}));
}

TEST(PoolOps, CallersFromSeveralThreadsAreServedOneAtATime) {
  WorkerPool& pool = WorkerPool::global();
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (size_t t = 0; t < 6; ++t)
    threads.emplace_back([&, t] {
      for (int rep = 0; rep < 50; ++rep) {
        auto v = pool.map_indexed_collect(7, [t](size_t i) { return t * 100 + i; });
        for (size_t i = 0; i < 7; ++i)
          if (v[i] != t * 100 + i) ++wrong;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, 0);
}

// ---------------------------------------------------------------------------
// Failures inside pieces

TEST(PoolFailure, InternalErrorKeepsTypeAndMessage) {
  WorkerPool& pool = WorkerPool::global();
  try {
    pool.map_indexed_collect(8, [](size_t i) {
      if (i == 5) fail("index out of bounds: the len is 5 but the index is 5");
      return i;
    });
    FAIL() << "no exception";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 5 but the index is 5");
  }
  EXPECT_THROW(pool.map_pieces_collect(100, 7,
                                       [](size_t b, size_t) -> size_t {
                                         if (b == 98) throw std::out_of_range("last piece");
                                         return b;
                                       }),
               std::out_of_range);
  EXPECT_THROW(pool.map_indexed_sum<4>(3,
                                       [](size_t i) -> Counts {
                                         if (i == 1) throw std::bad_alloc();
                                         return {};
                                       }),
               std::bad_alloc);
}

TEST(PoolFailure, RunningPiecesFinishAndUnstartedOnesAreSkipped) {
  WorkerPool& pool = WorkerPool::global();
  std::atomic<bool> slow_finished{false};
  std::atomic<size_t> ran{0};
  const size_t k = 5000;
  EXPECT_THROW(pool.map_indexed_sum<4>(k,
                                       [&](size_t i) -> Counts {
                                         ++ran;
                                         if (i == 0) {
                                           std::this_thread::sleep_for(50ms);
                                           slow_finished = true;
                                         } else if (i == 1) {
                                           fail("piece failed");
                                         } else {
                                           std::this_thread::sleep_for(1ms);
                                         }
                                         return {};
                                       }),
               InternalError);
  EXPECT_TRUE(slow_finished);  // the caller waited for the piece in flight
  EXPECT_LT(ran.load(), 200u);
}

TEST(PoolFailure, PoolServesCallsAfterAFailure) {
  WorkerPool& pool = WorkerPool::global();
  for (int rep = 0; rep < 20; ++rep) {
    EXPECT_THROW(pool.map_indexed_collect(16,
                                          [rep](size_t i) -> size_t {
                                            if (i == static_cast<size_t>(rep % 16)) fail("boom");
                                            return i;
                                          }),
                 InternalError);
    auto ok = pool.map_indexed_collect(16, [](size_t i) { return i + 1; });
    ASSERT_EQ(ok.size(), 16u);
    for (size_t i = 0; i < 16; ++i) ASSERT_EQ(ok[i], i + 1);
  }
}

// ---------------------------------------------------------------------------
// Process-level behaviour: fork, exit, creation

// Runs body in a forked child (its return value is the exit status) and
// returns the wait status, or -1 when the child did not end in time.
int run_in_child(const std::function<int()>& body, std::chrono::seconds timeout = 20s) {
  const pid_t pid = fork();
  if (pid < 0) return -2;
  if (pid == 0) {
    int rc = 99;
    try {
      rc = body();
    } catch (...) {
      rc = 98;
    }
    _exit(rc);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
}

bool pool_works() {
  WorkerPool& pool = WorkerPool::global();
  auto v = pool.map_indexed_collect(64, [](size_t i) { return i * 3; });
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i] != i * 3) return false;
  return v.size() == 64 && pool.map_indexed_sum<4>(10, [](size_t) {
    return Counts{1, 0, 0, 0};
  })[0] == 10;
}

#ifdef __SANITIZE_THREAD__
// ThreadSanitizer starts a background thread of its own along with the first
// thread the program creates.
constexpr size_t kRuntimeThreads = 1;
#else
constexpr size_t kRuntimeThreads = 0;
#endif

size_t thread_count() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

TEST(PoolProcess, ForkedChildRunsPooledOperations) {
  ASSERT_TRUE(pool_works());  // the parent's workers exist before the fork
  const int status = run_in_child([] { return pool_works() && pool_works() ? 0 : 1; });
  ASSERT_NE(status, -1) << "child hung";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(pool_works());  // the parent is unaffected
}

TEST(PoolProcess, ForkWhileAnotherThreadUsesThePool) {
#ifdef __SANITIZE_ADDRESS__
  // GCC 12's AddressSanitizer takes no lock of its allocator around fork():
  // a child forked while another thread allocates deadlocks in its first
  // allocation, whatever the pool does.
  GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe";
#endif
  ASSERT_TRUE(pool_works());
  std::atomic<bool> stop{false};
  std::atomic<bool> busy_ok{true};
  std::thread busy([&] {
    while (!stop)
      if (!pool_works()) busy_ok = false;
  });
  int failures = 0;
  for (int i = 0; i < 20; ++i) {
    const int status = run_in_child([] { return pool_works() ? 0 : 1; }, 10s);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
  }
  stop = true;
  busy.join();
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(busy_ok);
}

TEST(PoolProcess, ExitAfterPooledCallsIsPromptAndClean) {
  const auto start = std::chrono::steady_clock::now();
  const int status = run_in_child(
      [] {
        if (!pool_works()) return 1;
        std::exit(0);  // full exit: atexit handlers and static destructors run
      },
      10s);
  ASSERT_NE(status, -1) << "exit hung";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// The next two run in a freshly executed copy of this test program (the
// "threadsafe" death-test style), where no pool exists yet.

[[noreturn]] void first_use_from_eight_threads() {
  if (thread_count() != 1) {
    std::fprintf(stderr, "unexpected threads before first use\n");
    std::exit(2);
  }
  std::mutex m;
  std::condition_variable cv;
  bool go = false;
  std::vector<WorkerPool*> seen(8, nullptr);
  std::atomic<bool> ok{true};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < seen.size(); ++t)
    threads.emplace_back([&, t] {
      {
        std::unique_lock lk(m);
        cv.wait(lk, [&] { return go; });
      }
      seen[t] = &WorkerPool::global();
      if (!pool_works()) ok = false;
    });
  {
    std::lock_guard lk(m);
    go = true;
  }
  cv.notify_all();
  for (auto& th : threads) th.join();
  for (WorkerPool* p : seen)
    if (p != seen[0]) ok = false;
  // Only one pool's workers may remain besides this thread.
  const size_t threads_left = thread_count();
  std::fprintf(stderr, "threads %zu workers %zu\n", threads_left, seen[0]->worker_count());
  std::exit(ok && threads_left == 1 + kRuntimeThreads + seen[0]->worker_count() ? 0 : 3);
}

// The process's pool is sized from the environment when first used: each
// case runs in a freshly started copy of this program.
[[noreturn]] void exit_with_worker_count(const char* threads, const char* cpus) {
  if (threads)
    setenv("RAYON_NUM_THREADS", threads, 1);
  else
    unsetenv("RAYON_NUM_THREADS");
  if (cpus)
    setenv("RAYON_RS_NUM_CPUS", cpus, 1);
  else
    unsetenv("RAYON_RS_NUM_CPUS");
  std::fprintf(stderr, "workers %zu\n", WorkerPool::global().worker_count());
  std::exit(0);
}

TEST(PoolProcessDeathTest, TheEnvironmentSizesTheProcessPool) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exit_with_worker_count("3", "7"), ::testing::ExitedWithCode(0), "workers 3\n");
  EXPECT_EXIT(exit_with_worker_count(nullptr, "5"), ::testing::ExitedWithCode(0), "workers 5\n");
  EXPECT_EXIT(exit_with_worker_count("junk", "2"), ::testing::ExitedWithCode(0), "workers 2\n");
  const std::string cpus = "workers " + std::to_string(pool_sizing::system_cpu_count()) + "\n";
  EXPECT_EXIT(exit_with_worker_count(nullptr, nullptr), ::testing::ExitedWithCode(0), cpus);
  EXPECT_EXIT(exit_with_worker_count("0", "2"), ::testing::ExitedWithCode(0), cpus);
}

TEST(PoolProcessDeathTest, ConcurrentFirstUseStartsOneSetOfWorkers) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(first_use_from_eight_threads(), ::testing::ExitedWithCode(0), "threads");
}

[[noreturn]] void start_without_address_space() {
  size_t vm_kb = 0;
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmSize:", 0) == 0) vm_kb = std::stoul(line.substr(7));
  rlimit saved;
  getrlimit(RLIMIT_AS, &saved);
  rlimit tight = saved;
  tight.rlim_cur = (vm_kb + 1024) * 1024;  // too little for a worker's stack
  if (vm_kb == 0 || setrlimit(RLIMIT_AS, &tight) != 0) std::exit(2);
  std::string message = "(no exception)";
  try {
    WorkerPool::global();
  } catch (const InternalError& e) {
    message = e.what();
  }
  setrlimit(RLIMIT_AS, &saved);
  std::fprintf(stderr, "first: %s\n", message.c_str());
  if (message.rfind("The global thread pool has not been initialized.", 0) != 0) std::exit(3);
  std::exit(pool_works() ? 0 : 4);  // a later call may start the workers
}

TEST(PoolProcessDeathTest, WorkersThatCannotStartReportAnUninitialisedPool) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(start_without_address_space(), ::testing::ExitedWithCode(0),
              "first: The global thread pool");
}

// Sixteen workers, woken in a cascade by the workers that join: every piece
// waits until as many pieces have started as the operation can occupy, which
// only happens when every needed worker has been woken.
[[noreturn]] void wide_operations_wake_every_worker() {
  setenv("RAYON_NUM_THREADS", "16", 1);
  WorkerPool& pool = WorkerPool::global();
  if (pool.worker_count() != 16) std::exit(2);
  for (int round = 0; round < 40; ++round) {
    const size_t k = round % 4 == 3 ? 5 : 16;  // fewer pieces than workers, too
    std::atomic<size_t> started{0};
    auto met = pool.map_indexed_collect(k, [&](size_t) {
      started.fetch_add(1);
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (started.load() < k && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
      return started.load() >= k;
    });
    for (bool ok : met)
      if (!ok) std::exit(3);
  }
  std::fprintf(stderr, "all met\n");
  std::exit(0);
}

TEST(PoolProcessDeathTest, WideOperationsWakeEveryWorker) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(wide_operations_wake_every_worker(), ::testing::ExitedWithCode(0), "all met");
}

}  // namespace
}  // namespace cladorix
