// Tree 1 prepared for exact triplet counts, once for any number of trees 2:
// its heavy paths, leaf ranges, depth bins, the triplets it resolves or not
// at each depth, and its leaf names for matching.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "measures/triplets/exact_span.hpp"
#include "tree/tree.hpp"

namespace cladorix::exact {

// Tree 1's leaf names, each with its leaf position: open addressing, a hash
// tag in the high half of a slot and position + 1 in the low half.
class LeafNames {
 public:
  // Throws CallerError for the first leaf (in leaf order) whose name an
  // earlier leaf has.
  void build(const Tree& tree, const std::vector<NodeId>& leaves);
  // For the name of each of `tree`'s nodes at[i] (whose hash_bytes is
  // hash[i]), the position of the leaf with that name here, or kNone.
  // Lookups go in a pipeline, each fetching its slot, then its candidate's
  // name, then the name's bytes ahead of use.
  void find(const Tree& tree, const NodeId* at, const uint64_t* hash, size_t count, u32* out) const;
  // Frees the table (no find() after it): for a count that matches once.
  void release() {
    names_ = {};
    slots_ = {};
  }

 private:
  std::vector<std::string_view> names_;  // by position
  std::vector<uint64_t> slots_;
};

struct Reference {
  // Checks tree 1 (one rooted tree, every leaf named, no name twice: a
  // CallerError naming the first offending leaf) and prepares it.
  // node_depths, when not empty, gives each node's depth bin (one per node).
  // The per-bin shapes are counted now unless `shapes_later` (then by
  // count_shapes(), for a count that needs them only at its end).
  Reference(const Tree& tree, std::span<const uint32_t> node_depths, bool shapes_later = false);
  void count_shapes();

  const Tree* tree;
  u32 leaf_count = 0;
  std::vector<NodeId> leaf_node;  // by position in leaf order
  std::vector<u32> leaves_below;  // per node
  std::vector<u32> first_leaf;    // position of the first leaf below
  std::vector<u32> heavy;         // the child with most leaves (first on ties); kNone at leaves
  std::vector<u32> depth;         // edges from the root: what the tree itself says
  std::vector<u32> adjacent;      // adjacent[p]: the join of the leaves at positions p and p + 1
  std::vector<u32> given_bins;    // the caller's depths, if any
  const u32* bin = nullptr;       // each node's depth bin: given_bins or depth
  u32 bins = 0;                   // one more than the largest bin of an inner node
  uint64_t task_leaves = 0;       // over the tasks of the count: their leaves
  // Per depth bin, from tree 1 alone: triplets whose lowest common ancestor
  // is there, and how many of them tree 1 leaves unresolved.
  std::vector<u128> triplets, unresolved;
  LeafNames names;
};

}  // namespace cladorix::exact
