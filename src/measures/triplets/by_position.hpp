// Triplets correct by leaf position: leaf i of tree 1 is compared with leaf
// i of tree 2, over the first n leaves of each (n = named leaves, equal in
// both trees). Every triplet is counted when there are few of them (or the
// caller asks for at least as many trials), random triplets are drawn
// otherwise, and large work is divided into chunks on the worker pool.
//
// The three Python variants are rows of one table: `triplets_correct_ultra`
// is the parallel row held to one chunk, without the pool.
#pragma once

#include <cstdint>
#include <optional>

#include "measures/triplets/counters.hpp"
#include "tree/tree.hpp"

namespace cladorix {

struct PositionVariant {
  double threshold_factor;                     // sampling needs more triplets than sqrt(cap) x this
  uint64_t min_parallel_trials;                // fewer trials always sample on the calling thread
  uint64_t min_parallel_triplets;              // fewer triplets are always counted on it
  uint64_t chunk_divisor1, chunk_divisor2;     // chunk_count's divisors, both modes
  uint64_t (*piece_divisor)(uint64_t chunks);  // piece_size's divisor for a chunk count
  bool chunks_capped_by_pieces;                // report min(chunks, pieces) when counting
  bool uses_pool;                              // false: cap 1, and the pool is never asked
  const char* sampling_method;
  const char* exhaustive_method;
};

extern const PositionVariant kUltraVariant;
extern const PositionVariant kParallelVariant;
extern const PositionVariant kOptimizedVariant;

// What a call does, decided from the named-leaf count, the trials and cap.
struct TripletPlan {
  bool sampling = false;
  uint64_t total_triplets_checked = 0;
  uint64_t chunks = 1;      // 1: on the calling thread
  uint64_t piece_size = 0;  // counting in chunks: the pieces' length in triplets
  uint64_t pieces = 0;
  uint64_t trials_per_chunk = 0;  // sampling in chunks: chunk c draws this (+1 when c < extra)
  uint64_t extra_trials = 0;
  uint64_t parallel_chunks_used = 1;
};

// Throws InternalError("attempt to divide by zero") when a parallel path
// meets a chunk count of 0 (only possible with cap 0).
TripletPlan plan_triplets_by_position(const PositionVariant& v, uint64_t n,
                                      uint64_t number_of_trials, uint64_t cap);

// The whole measure. Both trees are checked (check_tour_size, then
// check_connected, tree 1 first) and their named leaves counted; unequal
// counts fail with "Trees must have the same number of taxa". cap is
// effective_thread_count(max_threads, workers), workers the pool's (asked on
// every call of a pooled variant, which creates the pool on the first)
// unless given: given, the decisions can be checked for any worker count
// while parallel paths still run on the process's pool. A seed of nullopt
// reads entropy, only on the sampling paths.
TripletResult triplets_by_position(const PositionVariant& v, const Tree& tree1, const Tree& tree2,
                                   uint64_t number_of_trials, std::optional<uint64_t> seed,
                                   std::optional<uint64_t> max_threads,
                                   std::optional<uint64_t> worker_count = std::nullopt);

inline TripletResult triplets_correct_ultra(const Tree& tree1, const Tree& tree2,
                                            uint64_t number_of_trials,
                                            std::optional<uint64_t> seed) {
  return triplets_by_position(kUltraVariant, tree1, tree2, number_of_trials, seed, std::nullopt);
}

}  // namespace cladorix
