#include "ultra_fast_triplets.hpp"

#include <algorithm>
#include <string>

#include "errors.hpp"
#include "runtime/random.hpp"
#include "tree/lca.hpp"

namespace cladorix {

UltraFastTreeData::UltraFastTreeData(const SimpleRootedTree& tree) {
  check_tour_size(tree);
  check_connected(tree);
  lca_ = LeafLca(tree);
  for (NodeId v : lca_.leaves())
    if (tree.has_name(v)) names_.push_back(tree.name(v));
}

uint32_t UltraFastTreeData::pair_depth(uint32_t i, uint32_t j) const {
  const uint32_t n = leaf_count();
  if (i >= n || j >= n)
    fail("leaf position " + std::to_string(i >= n ? i : j) + " is outside the " +
         std::to_string(n) + " x " + std::to_string(n) + " depth matrix");
  if (i == j) return lca_.depth(lca_.leaves()[i]);
  return lca_.leaf_pair_depth(i, j);
}

int64_t UltraFastTreeData::get_outgroup_ultra_fast(uint32_t i, uint32_t j, uint32_t k) const {
  const int o = outgroup_from_depths(pair_depth(i, j), pair_depth(i, k), pair_depth(j, k));
  const uint32_t pos[3] = {i, j, k};
  return o < 0 ? -1 : static_cast<int64_t>(pos[o]);
}

bool ultra_uses_sampling(uint64_t n, uint64_t number_of_trials, uint64_t* triplets) {
  const uint64_t t = triplet_count(n);
  if (triplets) *triplets = t;
  return n >= 3 && t > 100000 && n > 20 && number_of_trials < t;
}

UltraTripletScores triplets_correct_ultra(const SimpleRootedTree& tree1,
                                          const SimpleRootedTree& tree2,
                                          uint64_t number_of_trials, std::optional<uint64_t> seed) {
  const UltraFastTreeData data1(tree1);
  const UltraFastTreeData data2(tree2);
  if (data1.leaf_count() != data2.leaf_count()) fail("Trees must have the same number of taxa");
  const uint32_t n = data1.leaf_count();

  uint64_t triplets = 0;
  const bool sampling = ultra_uses_sampling(n, number_of_trials, &triplets);
  TripletCounters counters;
  uint64_t checked;
  if (sampling) {
    RandomSource rng = seed ? RandomSource::from_seed_u64(*seed) : RandomSource::from_entropy();
    const LeafLca& lca1 = data1.lca();
    const LeafLca& lca2 = data2.lca();
    for (uint64_t trial = 0; trial < number_of_trials; ++trial) {
      uint32_t pos[3];
      sample3(rng, n, pos);
      // Same positions in both trees: the outgroup's index identifies it.
      counters.add(lca1.outgroup(pos), lca2.outgroup(pos));
    }
    checked = number_of_trials;
  } else {
    counters = exhaustive_triplet_counts(data1.lca(), data2.lca(), n);
    checked = triplets;
  }

  UltraTripletScores result;
  static_cast<TripletScores&>(result) = triplet_scores(counters, checked);
  result.method_used = sampling ? "sampling" : "exhaustive";
  result.total_triplets_checked = checked;
  return result;
}

}  // namespace cladorix
