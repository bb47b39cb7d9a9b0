// Triplets correct by leaf position like the parallel variant, with its own
// constants: sampling from more triplets on, the pool only for larger work,
// chunk results added by the pool.
#pragma once

#include <cstdint>
#include <optional>

#include "pooled_triplets.hpp"
#include "tree/tree.hpp"
#include "ultra_fast_triplets.hpp"

namespace cladorix {

// A tree's leaf order with constant-time pair depths, as for the parallel
// variant. Fails like the Euler-tour build on an unclosed "(".
class OptimizedTreeData : public UltraFastTreeData {
 public:
  explicit OptimizedTreeData(const SimpleRootedTree& tree) : UltraFastTreeData(tree) {}
};

// worker_count as for triplets_correct_parallel.
PooledTripletScores triplets_correct_optimized(const SimpleRootedTree& tree1,
                                               const SimpleRootedTree& tree2,
                                               uint64_t number_of_trials,
                                               std::optional<uint64_t> seed,
                                               std::optional<uint64_t> max_threads,
                                               std::optional<uint64_t> worker_count = std::nullopt);

}  // namespace cladorix
