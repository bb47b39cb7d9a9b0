#include "runtime/chunk_plan.hpp"

#include <algorithm>
#include <cmath>

#include "runtime/pool.hpp"
#include "util/errors.hpp"
#include "util/texts.hpp"

namespace cladorix {

uint64_t effective_thread_count(std::optional<uint64_t> max_threads, uint64_t worker_count) {
  return max_threads ? std::min(*max_threads, worker_count) : worker_count;
}

uint64_t effective_thread_count(std::optional<uint64_t> max_threads) {
  return effective_thread_count(max_threads, WorkerPool::global().worker_count());
}

uint64_t chunk_count(uint64_t work, uint64_t d1, uint64_t d2, uint64_t cap) {
  if (d1 == 0 || d2 == 0) fail(texts::kDivideByZero);
  const double root = std::sqrt(static_cast<double>(work / d1) * static_cast<double>(work / d2));
  // Saturating conversion: the root of the largest product rounds up to 2^64.
  const uint64_t s = root >= 18446744073709551616.0 ? UINT64_MAX : static_cast<uint64_t>(root);
  return std::min(cap, std::max<uint64_t>(1, s));
}

uint64_t piece_size(uint64_t len, uint64_t chunks, uint64_t divisor) {
  if (chunks == 0 || divisor == 0) fail(texts::kDivideByZero);
  return std::max<uint64_t>(1, (len / chunks) / divisor);
}

}  // namespace cladorix
