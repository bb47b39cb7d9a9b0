#include "fast_triplets.hpp"

#include "runtime/random.hpp"
#include "tree/lca.hpp"

namespace cladorix {

FastTreeData::FastTreeData(const SimpleRootedTree& tree) : tree_(&tree) {
  check_tour_size(tree);
  check_connected(tree);
  lca_ = LeafLca(tree);
  const std::vector<NodeId>& leaves = lca_.leaves();
  name_to_pos_.reserve(leaves.size());
  for (uint32_t p = 0; p < leaves.size(); ++p) {
    if (!tree.has_name(leaves[p])) continue;
    name_to_pos_.insert_or_assign(tree.name(leaves[p]), p);
    leaf_ids_.push_back(leaves[p]);
  }
}

int FastTreeData::outgroup(const std::string_view names[3]) const {
  uint32_t pos[3];
  for (int i = 0; i < 3; ++i) {
    const uint32_t* hit = name_to_pos_.find(names[i]);
    if (!hit) return -1;
    pos[i] = *hit;
  }
  // Pair depths exist only for two different leaves.
  if (pos[0] == pos[1] || pos[0] == pos[2] || pos[1] == pos[2]) return -1;
  return lca_.outgroup(pos);
}

std::optional<std::string> FastTreeData::get_outgroup_fast(std::string_view a, std::string_view b,
                                                           std::string_view c) const {
  const std::string_view names[3] = {a, b, c};
  int o = outgroup(names);
  if (o < 0) return std::nullopt;
  return std::string(names[o]);
}

TripletScores triplets_correct_fast(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2,
                                    uint64_t number_of_trials, std::optional<uint64_t> seed) {
  RandomSource rng = seed ? RandomSource::from_seed_u64(*seed) : RandomSource::from_entropy();
  const FastTreeData data1(tree1);
  const FastTreeData data2(tree2);
  const uint32_t n = static_cast<uint32_t>(data1.leaf_ids().size());

  TripletCounters counters;
  if (n >= 3) {
    for (uint64_t trial = 0; trial < number_of_trials; ++trial) {
      uint32_t pos[3];
      sample3(rng, n, pos);
      const std::string_view names[3] = {data1.leaf_name(pos[0]), data1.leaf_name(pos[1]),
                                         data1.leaf_name(pos[2])};
      const int o1 = data1.outgroup(names);
      const int o2 = data2.outgroup(names);
      counters.add(o1 >= 0, o2 >= 0, o1 >= 0 && o2 >= 0 && names[o1] == names[o2]);
    }
  }
  return triplet_scores(counters, number_of_trials);
}

}  // namespace cladorix
