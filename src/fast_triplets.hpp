// Triplets correct with per-tree tables: triplets are drawn from tree 1's
// named leaves only, and names resolve among named leaves only (a repeated
// name means its last leaf). One leaf-order LCA structure per tree answers
// every pair depth, so no pair table is kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tree/leaf_lca.hpp"
#include "tree/name_map.hpp"
#include "tree/tree.hpp"
#include "triplet_common.hpp"

namespace cladorix {

class FastTreeData {
 public:
  // Fails like the Euler-tour build on a tree with an unclosed "(". The tree
  // must outlive the record (names are views into it).
  explicit FastTreeData(const SimpleRootedTree& tree);

  // Node ids of the named leaves, in node order.
  const std::vector<NodeId>& leaf_ids() const noexcept { return leaf_ids_; }
  std::string_view leaf_name(uint32_t k) const { return tree_->name(leaf_ids_[k]); }

  // Outgroup index among names[0..2], or -1: unresolved also when a name is
  // on no leaf or two names land on the same leaf.
  int outgroup(const std::string_view names[3]) const;

  std::optional<std::string> get_outgroup_fast(std::string_view a, std::string_view b,
                                               std::string_view c) const;

 private:
  const SimpleRootedTree* tree_;
  LeafLca lca_;
  NameMap name_to_pos_;  // leaf name -> position in the list of all leaves
  std::vector<NodeId> leaf_ids_;
};

TripletScores triplets_correct_fast(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2,
                                    uint64_t number_of_trials, std::optional<uint64_t> seed);

}  // namespace cladorix
