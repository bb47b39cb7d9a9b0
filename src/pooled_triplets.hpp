// The machinery shared by the two pooled triplets-correct variants: leaves by
// position, every triplet counted when there are few of them (or the caller
// asks for at least as many trials), random triplets otherwise, and large
// work divided into chunks on the worker pool. The variants differ only in
// the constants below; for the same chunk count and seed they agree exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "errors.hpp"
#include "runtime/pool.hpp"
#include "tree/leaf_lca.hpp"
#include "triplet_common.hpp"

namespace cladorix {

struct PooledTripletScores : TripletScores {
  std::string method_used;
  uint64_t total_triplets_checked = 0;
  uint64_t parallel_chunks_used = 0;
};

struct PooledTripletConstants {
  double threshold_factor;          // sampling needs more triplets than sqrt(cap) x this
  uint64_t min_parallel_trials;     // fewer trials always sample on the calling thread
  uint64_t min_parallel_triplets;   // fewer triplets are always counted on it
  uint64_t chunk_divisor1, chunk_divisor2;  // chunk_count's divisors, both modes
  uint64_t (*piece_divisor)(uint64_t chunks);  // piece_size's divisor for a chunk count
  bool chunks_capped_by_pieces;     // report min(chunks, pieces) when counting
  bool pool_sums;                   // the pool adds results instead of collecting them
  const char* sampling_method;
  const char* exhaustive_method;
};

extern const PooledTripletConstants kParallelTripletConstants;
extern const PooledTripletConstants kOptimizedTripletConstants;

// What a call does, decided from the named-leaf count, the trials and cap.
struct PooledTripletPlan {
  bool sampling = false;
  uint64_t total_triplets_checked = 0;
  uint64_t chunks = 1;           // 1: on the calling thread
  uint64_t piece_size = 0;       // counting in chunks: the pieces' length in triplets
  uint64_t pieces = 0;
  uint64_t trials_per_chunk = 0; // sampling in chunks: chunk c draws this (+1 when c < extra)
  uint64_t extra_trials = 0;
  uint64_t parallel_chunks_used = 1;
};

// Throws InternalError("attempt to divide by zero") when a parallel path
// meets a chunk count of 0 (only possible with cap 0).
PooledTripletPlan plan_pooled_triplets(const PooledTripletConstants& k, uint64_t n,
                                       uint64_t number_of_trials, uint64_t cap);

// The whole measure over two trees' leaf orders, with the first n leaves of
// each compared position by position, and cap = effective_thread_count.
// A seed of nullopt reads entropy, only on the sampling paths.
PooledTripletScores pooled_triplets_correct(const PooledTripletConstants& k, const LeafLca& lca1,
                                            const LeafLca& lca2, uint32_t n,
                                            uint64_t number_of_trials,
                                            std::optional<uint64_t> seed, uint64_t cap);

// Both trees' records (TreeData built from a tree, with leaf_count() and
// lca()), the equal-count check, then the measure with cap from max_threads
// and the pool's worker count (or the one given).
template <class TreeData, class Tree>
PooledTripletScores pooled_triplets_over_trees(const PooledTripletConstants& k, const Tree& tree1,
                                               const Tree& tree2, uint64_t number_of_trials,
                                               std::optional<uint64_t> seed,
                                               std::optional<uint64_t> max_threads,
                                               std::optional<uint64_t> worker_count) {
  const TreeData data1(tree1);
  const TreeData data2(tree2);
  if (data1.leaf_count() != data2.leaf_count()) fail("Trees must have the same number of taxa");
  // Asked on every call, sequential or not: the first call creates the pool.
  const uint64_t workers = worker_count ? *worker_count : WorkerPool::global().worker_count();
  return pooled_triplets_correct(k, data1.lca(), data2.lca(), data1.leaf_count(),
                                 number_of_trials, seed,
                                 effective_thread_count(max_threads, workers));
}

}  // namespace cladorix
