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
  std::vector<uint32_t> table_;        // level k holds size - 2^k + 1 window minima
  std::vector<size_t> level_start_;
  size_t size_ = 0;
};

class LeafLca {
 public:
  LeafLca() = default;
  // The tree must be connected (every "(" closed); callers check that first
  // so that they fail where and how the Euler-tour tables would.
  explicit LeafLca(const SimpleRootedTree& tree);

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

  // Depth of the LCA of two arbitrary nodes.
  uint32_t lca_depth(NodeId a, NodeId b) const {
    if (a > b) std::swap(a, b);
    if (b < subtree_end_[a]) return depth_[a];  // a is b or an ancestor of it
    return table_.min(first_leaf_[a], first_leaf_[b]);
  }

  // Outgroup of the leaves at distinct positions (p[0], p[1], p[2]): the index
  // 0, 1 or 2 of the leaf outside the strictly deepest pair, or -1 when no pair
  // is strictly deepest. Ordered by position, the outer pair's depth is the
  // smaller of the two inner ones, so two reads decide.
  int outgroup(const uint32_t p[3]) const {
    int lo = 0, mid = 1, hi = 2;
    if (p[lo] > p[mid]) std::swap(lo, mid);
    if (p[mid] > p[hi]) std::swap(mid, hi);
    if (p[lo] > p[mid]) std::swap(lo, mid);
    const uint32_t x = table_.min(p[lo], p[mid]);
    const uint32_t z = table_.min(p[mid], p[hi]);
    if (x > z) return hi;
    if (z > x) return lo;
    return -1;
  }

 private:
  std::vector<NodeId> leaves_;
  std::vector<uint32_t> depth_;        // by node id
  std::vector<NodeId> subtree_end_;    // by node id: v + subtree size
  std::vector<uint32_t> first_leaf_;   // by node id: position of the subtree's first leaf
  std::vector<uint32_t> adjacent_;
  MinSparseTable table_;
};

// The rule on three pair depths: the pair strictly deeper than both others
// leaves its third leaf out (ab -> 2, ac -> 1, bc -> 0); -1 otherwise.
inline int outgroup_from_depths(uint64_t d_ab, uint64_t d_ac, uint64_t d_bc) {
  if (d_ab > d_ac && d_ab > d_bc) return 2;
  if (d_ac > d_ab && d_ac > d_bc) return 1;
  if (d_bc > d_ab && d_bc > d_ac) return 0;
  return -1;
}

}  // namespace cladorix
