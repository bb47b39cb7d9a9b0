#include "optimized_triplets.hpp"

namespace cladorix {
namespace {

uint64_t optimized_piece_divisor(uint64_t chunks) { return chunks < 8 ? 2 : chunks < 32 ? 3 : 4; }

}  // namespace

const PooledTripletConstants kOptimizedTripletConstants{
    .threshold_factor = 150000.0,
    .min_parallel_trials = 8000,
    .min_parallel_triplets = 8000,
    .chunk_divisor1 = 12000,
    .chunk_divisor2 = 4000,
    .piece_divisor = optimized_piece_divisor,
    .chunks_capped_by_pieces = false,
    .pool_sums = true,
    .sampling_method = "optimized_sampling",
    .exhaustive_method = "optimized_exhaustive",
};

PooledTripletScores triplets_correct_optimized(const SimpleRootedTree& tree1,
                                               const SimpleRootedTree& tree2,
                                               uint64_t number_of_trials,
                                               std::optional<uint64_t> seed,
                                               std::optional<uint64_t> max_threads,
                                               std::optional<uint64_t> worker_count) {
  return pooled_triplets_over_trees<OptimizedTreeData>(kOptimizedTripletConstants, tree1, tree2,
                                                       number_of_trials, seed, max_threads,
                                                       worker_count);
}

}  // namespace cladorix
