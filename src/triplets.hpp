// Triplets correct, the reference variant: leaves are drawn from all of tree
// 1's leaves and identified by name; a name resolves to whatever node bears
// it last, leaf or not.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tree/leaf_lca.hpp"
#include "tree/tree.hpp"
#include "triplet_common.hpp"

namespace cladorix {

// Name resolution and LCA depths of one tree. A tree with an unclosed "("
// gets no LCA structure; it fails on the first query that needs one, as the
// per-query Euler-tour build would.
class BaseTreeData {
 public:
  explicit BaseTreeData(const SimpleRootedTree& tree);

  // Outgroup of the nodes named names[0..2]: its index, or -1 when unresolved
  // (also when a name resolves to nothing, before any LCA is asked).
  int outgroup(const std::string_view names[3]) const;

 private:
  const SimpleRootedTree* tree_;
  std::optional<LeafLca> lca_;
};

// Outcome of the named triplet in `tree`: the outgroup's name, or nullopt.
std::optional<std::string> get_outgroup(const SimpleRootedTree& tree, std::string_view a,
                                        std::string_view b, std::string_view c);

// `number_of_trials` draws of three leaves of tree 1; the seed keys the random
// source, nullopt keys it from the operating system.
TripletScores triplets_correct(const SimpleRootedTree& tree1, const SimpleRootedTree& tree2,
                               uint64_t number_of_trials, std::optional<uint64_t> seed);

}  // namespace cladorix
