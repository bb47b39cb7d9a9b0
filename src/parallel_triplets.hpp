// Triplets correct by leaf position, counting every triplet or sampling, with
// large inputs divided into chunks on the worker pool.
#pragma once

#include <cstdint>
#include <optional>

#include "pooled_triplets.hpp"
#include "tree/tree.hpp"
#include "ultra_fast_triplets.hpp"

namespace cladorix {

// A tree's leaf order with constant-time pair depths; the same record as the
// ultra variant's. Fails like the Euler-tour build on an unclosed "(".
class ParallelTreeData : public UltraFastTreeData {
 public:
  explicit ParallelTreeData(const SimpleRootedTree& tree) : UltraFastTreeData(tree) {}

  // Outgroup position of (i, j, k), or -1 when unresolved.
  int64_t get_outgroup_fast(uint32_t i, uint32_t j, uint32_t k) const {
    return get_outgroup_ultra_fast(i, j, k);
  }
};

// worker_count: the pool's (asked on every call, which creates the pool on
// the first) unless given; given, it lets the decisions be checked for any
// worker count while parallel paths still run on the global pool.
PooledTripletScores triplets_correct_parallel(const SimpleRootedTree& tree1,
                                              const SimpleRootedTree& tree2,
                                              uint64_t number_of_trials,
                                              std::optional<uint64_t> seed,
                                              std::optional<uint64_t> max_threads,
                                              std::optional<uint64_t> worker_count = std::nullopt);

}  // namespace cladorix
