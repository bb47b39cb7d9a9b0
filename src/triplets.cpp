#include "triplets.hpp"

#include "errors.hpp"
#include "runtime/random.hpp"
#include "tree/lca.hpp"

namespace cladorix {
namespace {

bool lca_buildable(const SimpleRootedTree& tree) {
  // Connected, and a tour of 2N - 1 entries fits the range-minimum table.
  return tree.fully_connected() && 2 * static_cast<uint64_t>(tree.size()) - 1 <= 0xFFFFFFFFULL;
}

}  // namespace

BaseTreeData::BaseTreeData(const SimpleRootedTree& tree) : tree_(&tree) {
  if (lca_buildable(tree)) lca_.emplace(tree);
}

int BaseTreeData::outgroup(const std::string_view names[3]) const {
  // Every name a tree gives is in its taxa map and stays there, so a name the
  // map lacks is on no leaf either: no fallback scan of the leaves is needed.
  NodeId ids[3];
  for (int i = 0; i < 3; ++i) {
    std::optional<NodeId> id = tree_->get_taxa_node_id(names[i]);
    if (!id) return -1;
    ids[i] = *id;
  }
  if (!lca_) {
    // Raise the failure the Euler-tour build meets first.
    check_connected(*tree_);
    check_tour_size(*tree_);
    fail("LCA structure missing");
  }
  const uint32_t d_ab = lca_->lca_depth(ids[0], ids[1]);
  const uint32_t d_ac = lca_->lca_depth(ids[0], ids[2]);
  const uint32_t d_bc = lca_->lca_depth(ids[1], ids[2]);
  return outgroup_from_depths(d_ab, d_ac, d_bc);
}

std::optional<std::string> get_outgroup(const SimpleRootedTree& tree, std::string_view a,
                                        std::string_view b, std::string_view c) {
  const std::string_view names[3] = {a, b, c};
  int o = BaseTreeData(tree).outgroup(names);
  if (o < 0) return std::nullopt;
  return std::string(names[o]);
}

TripletScores triplets_correct(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2,
                               uint64_t number_of_trials, std::optional<uint64_t> seed) {
  RandomSource rng = seed ? RandomSource::from_seed_u64(*seed) : RandomSource::from_entropy();
  const BaseTreeData data1(tree1), data2(tree2);
  const std::vector<NodeId> leaves = tree1.leaves();
  const uint32_t leaf_count = static_cast<uint32_t>(leaves.size());

  TripletCounters counters;
  if (leaf_count >= 3) {
    for (uint64_t trial = 0; trial < number_of_trials; ++trial) {
      uint32_t pos[3];
      sample3(rng, leaf_count, pos);
      // A trial that draws an unnamed leaf is spent but not counted.
      if (!tree1.has_name(leaves[pos[0]]) || !tree1.has_name(leaves[pos[1]]) ||
          !tree1.has_name(leaves[pos[2]]))
        continue;
      const std::string_view names[3] = {tree1.name(leaves[pos[0]]), tree1.name(leaves[pos[1]]),
                                         tree1.name(leaves[pos[2]])};
      const int o1 = data1.outgroup(names);
      const int o2 = data2.outgroup(names);
      // Outgroups are compared by name.
      counters.add(o1 >= 0, o2 >= 0, o1 >= 0 && o2 >= 0 && names[o1] == names[o2]);
    }
  }
  return triplet_scores(counters, number_of_trials);
}

}  // namespace cladorix
