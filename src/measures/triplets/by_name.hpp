// Triplets correct by leaf name, sampled: the two variants that find each
// drawn leaf of tree 1 in tree 2 by its name. Names are resolved once per
// call; every trial then works on positions and node ids.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "measures/triplets/counters.hpp"
#include "tree/leaf_lca.hpp"
#include "tree/name_classes.hpp"
#include "tree/tree.hpp"

namespace cladorix {

enum class NameMatch {
  // triplets_correct: triplets are drawn from all of tree 1's leaves (a
  // trial that draws an unnamed one is spent but not counted), and a name
  // finds the node named last with it, leaf or internal.
  AnyNamedNode,
  // triplets_correct_fast: triplets are drawn from tree 1's named leaves, a
  // name finds the last leaf bearing it, and two names that find the same
  // leaf leave the triplet unresolved.
  LastNamedLeaf,
};

// One tree's side of the matching: where each name lands, and the outgroup
// of three landing places.
class NameMatchedTree {
 public:
  static constexpr uint32_t kNowhere = UINT32_MAX;

  // `classes` numbers the names of this tree (as tree `index`) and the other.
  // LastNamedLeaf checks the tree up front (check_tour_size, then
  // check_connected); AnyNamedNode fails on the first outgroup asked of a
  // tree those checks refuse.
  NameMatchedTree(const Tree& tree, size_t index, const NameClasses& classes, NameMatch match);

  // Where a name class lands: a node id (AnyNamedNode) or a leaf position
  // (LastNamedLeaf); kNowhere when no node here bears the name.
  uint32_t target(uint32_t cls) const noexcept {
    return cls < target_of_class_.size() ? target_of_class_[cls] : kNowhere;
  }

  // Outgroup index 0, 1 or 2 of three targets (none kNowhere), or -1.
  int outgroup(const uint32_t t[3]) const;

 private:
  const Tree* tree_;
  NameMatch match_;
  bool lca_ready_ = false;
  LeafLca lca_;
  std::vector<uint32_t> target_of_class_;
};

TripletResult triplets_by_name(NameMatch match, const Tree& tree1, const Tree& tree2,
                               uint64_t number_of_trials, std::optional<uint64_t> seed);

inline TripletResult triplets_correct(const Tree& tree1, const Tree& tree2,
                                      uint64_t number_of_trials, std::optional<uint64_t> seed) {
  return triplets_by_name(NameMatch::AnyNamedNode, tree1, tree2, number_of_trials, seed);
}

inline TripletResult triplets_correct_fast(const Tree& tree1, const Tree& tree2,
                                           uint64_t number_of_trials,
                                           std::optional<uint64_t> seed) {
  return triplets_by_name(NameMatch::LastNamedLeaf, tree1, tree2, number_of_trials, seed);
}

}  // namespace cladorix
