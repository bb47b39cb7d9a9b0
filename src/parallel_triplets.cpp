#include "parallel_triplets.hpp"

namespace cladorix {
namespace {

uint64_t parallel_piece_divisor(uint64_t chunks) {
  return chunks < 4 ? 1 : chunks < 16 ? 2 : chunks < 50 ? 3 : 4;
}

}  // namespace

const PooledTripletConstants kParallelTripletConstants{
    .threshold_factor = 100000.0,
    .min_parallel_trials = 5000,
    .min_parallel_triplets = 10000,
    .chunk_divisor1 = 8000,
    .chunk_divisor2 = 2000,
    .piece_divisor = parallel_piece_divisor,
    .chunks_capped_by_pieces = true,
    .pool_sums = false,
    .sampling_method = "parallel_sampling",
    .exhaustive_method = "parallel_exhaustive",
};

PooledTripletScores triplets_correct_parallel(const SimpleRootedTree& tree1,
                                              const SimpleRootedTree& tree2,
                                              uint64_t number_of_trials,
                                              std::optional<uint64_t> seed,
                                              std::optional<uint64_t> max_threads,
                                              std::optional<uint64_t> worker_count) {
  return pooled_triplets_over_trees<ParallelTreeData>(kParallelTripletConstants, tree1, tree2,
                                                      number_of_trials, seed, max_threads,
                                                      worker_count);
}

}  // namespace cladorix
