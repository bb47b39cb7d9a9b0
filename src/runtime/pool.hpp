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
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace cladorix {

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
    run_erased(k,
               TaskRef{const_cast<void*>(static_cast<const void*>(std::addressof(task))), thunk});
  }

  // [f(0), ..., f(k-1)], in index order.
  template <class F>
  auto map_indexed_collect(size_t k, F&& f) {
    using T = std::invoke_result_t<F&, size_t>;
    return collect<T>(k, [&](size_t i) { return f(i); });
  }

  // Element-wise sum of f(0), ..., f(k-1), each an array of N counts (zeros
  // for k = 0), added by the workers as they finish.
  template <size_t N, class F>
  std::array<uint64_t, N> map_indexed_sum(size_t k, F&& f) {
    // Unsigned addition commutes, so the finishing order cannot show.
    std::atomic<uint64_t> acc[N] = {};
    run(k, [&](size_t i) {
      const std::array<uint64_t, N> c = f(i);
      for (size_t j = 0; j < N; ++j) acc[j].fetch_add(c[j], std::memory_order_relaxed);
    });
    std::array<uint64_t, N> out;
    for (size_t j = 0; j < N; ++j) out[j] = acc[j].load(std::memory_order_relaxed);
    return out;
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

  size_t workers_;
};

}  // namespace cladorix
