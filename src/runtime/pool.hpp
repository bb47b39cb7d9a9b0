// The process-wide worker pool and the chunk-planning rules.
//
// One pool per process, created on first use and sized once from
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the CPUs this process may
// use (affinity mask limited by the control group's CPU quota), 1..65535.
// The caller blocks until an operation has finished and never runs pieces
// itself; results come back in index order whatever the finishing order, so
// they never depend on the worker count or on scheduling. A piece that throws
// winds the operation down (running pieces finish, unstarted ones are
// skipped) and the first exception reaches the caller with its type intact;
// the pool serves later calls.
//
// The pool is embedded in a Python interpreter, hence two lifetime rules:
// it is never destroyed (workers are detached and simply vanish at exit, so
// interpreter shutdown never waits on them), and a child created by fork()
// starts a fresh set of workers on its first pooled call.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace cladorix {

using Counts4 = std::array<uint64_t, 4>;

class WorkerPool {
 public:
  // Creates the pool on first use (thread-safe; in a forked child, restarts
  // the workers). Throws InternalError whose message begins
  // "The global thread pool has not been initialized." when the workers
  // cannot be started.
  static WorkerPool& global();

  size_t worker_count() const noexcept { return workers_; }

  // Runs task(i) for every i in [0, k) on the workers and returns when all
  // are done. The first exception thrown by a task is rethrown here after
  // the tasks already running have finished; tasks not yet started are
  // skipped. Called from inside a task, it runs inline (no nested hand-over).
  template <class F>
  void run(size_t k, F&& task) {
    auto thunk = [](void* obj, size_t i) { (*static_cast<std::remove_reference_t<F>*>(obj))(i); };
    run_erased(k, TaskRef{const_cast<void*>(static_cast<const void*>(std::addressof(task))), thunk});
  }

  // Runs both closures, possibly on two threads; returns {a(), b()}.
  template <class A, class B>
  auto join(A&& a, B&& b) {
    using RA = std::invoke_result_t<A&>;
    using RB = std::invoke_result_t<B&>;
    static_assert(!std::is_void_v<RA> && !std::is_void_v<RB>, "join needs closures with results");
    std::optional<RA> ra;
    std::optional<RB> rb;
    run(2, [&](size_t i) {
      if (i == 0)
        ra.emplace(a());
      else
        rb.emplace(b());
    });
    return std::pair<RA, RB>(std::move(*ra), std::move(*rb));
  }

  // [f(0), ..., f(k-1)], in index order.
  template <class F>
  auto map_indexed_collect(size_t k, F&& f) {
    using T = std::invoke_result_t<F&, size_t>;
    return collect<T>(k, [&](size_t i) { return f(i); });
  }

  // Element-wise sum of f(0), ..., f(k-1) (four zeros for k = 0).
  template <class F>
  Counts4 map_indexed_sum(size_t k, F&& f) {
    return sum(k, [&](size_t i) -> Counts4 { return f(i); });
  }

  // Pieces of `piece` consecutive indices over [0, len), the last holding the
  // remainder: ceil(len / piece) of them, none for len 0. f(begin, end) runs
  // once per piece; results in piece order. piece 0 throws InternalError.
  template <class F>
  auto map_pieces_collect(size_t len, size_t piece, F&& f) {
    using T = std::invoke_result_t<F&, size_t, size_t>;
    const size_t pieces = piece_count(len, piece);
    return collect<T>(pieces, [&](size_t p) {
      const size_t begin = p * piece;
      return f(begin, begin + std::min(piece, len - begin));
    });
  }

  template <class F>
  Counts4 map_pieces_sum(size_t len, size_t piece, F&& f) {
    const size_t pieces = piece_count(len, piece);
    return sum(pieces, [&](size_t p) -> Counts4 {
      const size_t begin = p * piece;
      return f(begin, begin + std::min(piece, len - begin));
    });
  }

  // ceil(len / piece); InternalError for piece 0.
  static size_t piece_count(size_t len, size_t piece);

 private:
  struct TaskRef {
    void* obj;
    void (*call)(void*, size_t);
  };

  explicit WorkerPool(size_t workers) : workers_(workers) {}

  void run_erased(size_t k, TaskRef task);

  template <class T, class G>
  std::vector<T> collect(size_t k, G&& g) {
    // Each index owns its slot, so workers never share an element; bool is
    // boxed because std::vector<bool> packs neighbours into one word.
    if constexpr (std::is_default_constructible_v<T> && !std::is_same_v<T, bool>) {
      std::vector<T> out(k);
      run(k, [&](size_t i) { out[i] = g(i); });
      return out;
    } else {
      std::vector<std::optional<T>> slots(k);
      run(k, [&](size_t i) { slots[i].emplace(g(i)); });
      std::vector<T> out;
      out.reserve(k);
      for (auto& s : slots) out.push_back(std::move(*s));
      return out;
    }
  }

  template <class G>
  Counts4 sum(size_t k, G&& g) {
    // Unsigned addition commutes, so the finishing order cannot show.
    std::atomic<uint64_t> acc[4] = {};
    run(k, [&](size_t i) {
      const Counts4 c = g(i);
      for (size_t j = 0; j < 4; ++j) acc[j].fetch_add(c[j], std::memory_order_relaxed);
    });
    return {acc[0].load(std::memory_order_relaxed), acc[1].load(std::memory_order_relaxed),
            acc[2].load(std::memory_order_relaxed), acc[3].load(std::memory_order_relaxed)};
  }

  size_t workers_;
};

// worker_count when max_threads is absent, else min(max_threads, worker_count).
uint64_t effective_thread_count(std::optional<uint64_t> max_threads, uint64_t worker_count);
uint64_t effective_thread_count(std::optional<uint64_t> max_threads);  // uses the global pool

// min(cap, max(1, trunc(sqrt(double(work / d1) * double(work / d2))))).
uint64_t chunk_count(uint64_t work, uint64_t d1, uint64_t d2, uint64_t cap);

// max(1, (len / chunks) / divisor). Throws InternalError("attempt to divide by zero")
// when chunks is 0.
uint64_t piece_size(uint64_t len, uint64_t chunks, uint64_t divisor);

// How many workers the pool gets. Pure functions over injected lookups, so
// the rules can be checked without starting a process.
namespace pool_sizing {

inline constexpr size_t kMaxWorkers = 65535;

// The value of an environment variable, or nullopt when unset.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;
// A whole file's contents, or nullopt when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// Unsigned decimal: digits with an optional leading '+', nothing else, no
// overflow of 64 bits.
std::optional<uint64_t> parse_count(std::string_view text);

// RAYON_NUM_THREADS (0: the CPU count, skipping the next variable), then
// RAYON_RS_NUM_CPUS (0 or invalid: the CPU count), then cpu_count(); the
// result is clamped to 1..kMaxWorkers. cpu_count is only called when needed.
size_t decide_worker_count(const EnvLookup& env, const std::function<size_t()>& cpu_count);

// Whole CPUs allowed by a cgroup v2 "cpu.max" ("max 100000" means none).
std::optional<uint64_t> cgroup_v2_limit(std::string_view cpu_max);
// Whole CPUs allowed by cgroup v1 cpu.cfs_quota_us / cpu.cfs_period_us
// (a quota of -1 means none).
std::optional<uint64_t> cgroup_v1_limit(std::string_view quota, std::string_view period);
// The tightest CPU limit over this process's cgroup and its ancestors, v2 and
// v1, located through /proc/self/cgroup and /proc/self/mountinfo (falling back
// to the usual places under /sys/fs/cgroup).
std::optional<uint64_t> cgroup_cpu_limit(const FileReader& read);

// affinity: CPUs in the affinity mask, 0 when unknown (gives 1).
size_t cpu_count(size_t affinity, std::optional<uint64_t> cgroup_limit);

// The above over the real process: sched_getaffinity and the cgroup files.
size_t system_cpu_count();
// getenv-backed lookup.
std::optional<std::string> process_env(const char* name);

}  // namespace pool_sizing

}  // namespace cladorix
