// How work is divided into chunks and pieces for the worker pool.
#pragma once

#include <cstdint>
#include <optional>

namespace cladorix {

// worker_count when max_threads is absent, else min(max_threads, worker_count).
uint64_t effective_thread_count(std::optional<uint64_t> max_threads, uint64_t worker_count);
uint64_t effective_thread_count(std::optional<uint64_t> max_threads);  // uses the global pool

// min(cap, max(1, trunc(sqrt(double(work / d1) * double(work / d2))))).
uint64_t chunk_count(uint64_t work, uint64_t d1, uint64_t d2, uint64_t cap);

// max(1, (len / chunks) / divisor). Throws InternalError("attempt to divide by zero")
// when chunks is 0.
uint64_t piece_size(uint64_t len, uint64_t chunks, uint64_t divisor);

}  // namespace cladorix
