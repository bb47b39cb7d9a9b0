// LCA depths from the leaf order, for measures that ask millions of them.
//
// For the leaves l_0 .. l_{m-1} in depth-first order,
//   depth(LCA(l_i, l_j)) = min over i <= k < j of depth(LCA(l_k, l_{k+1})),
// so a sparse table over the m - 1 adjacent depths answers a leaf pair with
// two reads, in O(m log m) memory. Reader-built trees number their nodes in
// pre-order, so the leaf list in ascending id is that order, and the LCA of
// two arbitrary nodes reduces to the first leaves of their id ranges.
// Answers equal depth(get_lca_id(a, b)) of the Euler-tour tables.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "tree/tree.hpp"

namespace cladorix {

// Minimum of a half-open range of 32-bit values: O(n log n) words, two reads
// per query.
class MinSparseTable {
 public:
  MinSparseTable() = default;
  explicit MinSparseTable(std::vector<uint32_t> values);

  // min of values[lo .. hi - 1]; needs lo < hi <= size().
  uint32_t min(uint32_t lo, uint32_t hi) const {
    const uint32_t k = 31u - static_cast<uint32_t>(__builtin_clz(hi - lo));
    const uint32_t* level = table_.data() + level_start_[k];
    const uint32_t a = level[lo], b = level[hi - (1u << k)];
    return a < b ? a : b;
  }
  size_t size() const noexcept { return size_; }

 private:
  std::vector<uint32_t> table_;  // level k holds size - 2^k + 1 window minima
  std::vector<size_t> level_start_;
  size_t size_ = 0;
};

class LeafLca {
 public:
  LeafLca() = default;
  // The tree must be connected (every "(" closed); callers check that first
  // so that they fail where and how the Euler-tour tables would.
  explicit LeafLca(const Tree& tree);

  // Leaves in ascending id (depth-first order).
  const std::vector<NodeId>& leaves() const noexcept { return leaves_; }
  uint32_t leaf_count() const noexcept { return static_cast<uint32_t>(leaves_.size()); }
  uint32_t depth(NodeId v) const { return depth_[v]; }

  // depth(LCA(l_k, l_{k+1})) for k < leaf_count() - 1.
  const std::vector<uint32_t>& adjacent_depths() const noexcept { return adjacent_; }

  // Depth of the LCA of the leaves at positions i and j (i != j).
  uint32_t leaf_pair_depth(uint32_t i, uint32_t j) const {
    return i < j ? table_.min(i, j) : table_.min(j, i);
  }
  // The same for i < j, without the comparison.
  uint32_t ordered_pair_depth(uint32_t i, uint32_t j) const { return table_.min(i, j); }

  // Depth of the LCA of two arbitrary nodes.
  uint32_t lca_depth(NodeId a, NodeId b) const {
    if (a > b) std::swap(a, b);
    if (b < subtree_end_[a]) return depth_[a];  // a is b or an ancestor of it
    return table_.min(first_leaf_[a], first_leaf_[b]);
  }

 private:
  std::vector<NodeId> leaves_;
  std::vector<uint32_t> depth_;       // by node id
  std::vector<NodeId> subtree_end_;   // by node id: v + subtree size
  std::vector<uint32_t> first_leaf_;  // by node id: position of the subtree's first leaf
  std::vector<uint32_t> adjacent_;
  MinSparseTable table_;
};

}  // namespace cladorix
