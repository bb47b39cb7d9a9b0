// The process-wide worker pool and the chunk-planning rules.
//
// One pool per process, created on first use and sized once from
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the CPUs this process may
// use (affinity mask limited by the control group's CPU quota), 1..65535.
// The caller blocks until an operation has finished; results come back in
// index order whatever the finishing order, so they never depend on the
// worker count or on scheduling. A piece that throws winds the operation
// down and the exception reaches the caller; the pool serves later calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace cladorix {

using Counts4 = std::array<uint64_t, 4>;

class WorkerPool {
 public:
  // Creates the pool on first use (thread-safe). Throws InternalError whose
  // message begins "The global thread pool has not been initialized." when
  // the workers cannot be started.
  static WorkerPool& global();

  size_t worker_count() const noexcept;

  // Runs task(i) for every i in [0, k) on the workers and returns when all
  // are done. The first exception thrown by a task is rethrown here after
  // the tasks already running have finished; tasks not yet started are skipped.
  void run(size_t k, const std::function<void(size_t)>& task);

  template <class A, class B>
  auto join(A&& a, B&& b);

  template <class T, class F>
  std::vector<T> map_indexed_collect(size_t k, F&& f);
  template <class F>
  Counts4 map_indexed_sum(size_t k, F&& f);
  // Pieces of `piece` consecutive indices over [0, len) (the last holds the
  // remainder); f(begin, end) runs once per piece.
  template <class T, class F>
  std::vector<T> map_pieces_collect(size_t len, size_t piece, F&& f);
  template <class F>
  Counts4 map_pieces_sum(size_t len, size_t piece, F&& f);
};

// worker_count when max_threads is absent, else min(max_threads, worker_count).
uint64_t effective_thread_count(std::optional<uint64_t> max_threads, uint64_t worker_count);
uint64_t effective_thread_count(std::optional<uint64_t> max_threads);  // uses the global pool

// min(cap, max(1, trunc(sqrt(double(work / d1) * double(work / d2))))).
uint64_t chunk_count(uint64_t work, uint64_t d1, uint64_t d2, uint64_t cap);

// max(1, (len / chunks) / divisor). Throws InternalError("attempt to divide by zero")
// when chunks is 0.
uint64_t piece_size(uint64_t len, uint64_t chunks, uint64_t divisor);

}  // namespace cladorix
