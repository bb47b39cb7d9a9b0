// The part of tree 2 spanned by a set of its leaves, as a small tree of its
// own: the leaves and the lowest common ancestors of every two of them, each
// node below the nearest such ancestor. Every inner node has two children or
// more, so a span over k leaves has fewer than 2k nodes, and counting on it
// costs what the k leaves are worth, not what tree 2 is.
//
// Nodes are numbered in pre-order (root 0). Every span keeps tree 2's node
// depths as its depth key: it only ever grows downwards, so an argmin over
// keys finds lowest common ancestors in any span taken from another.
#pragma once

#include <cstdint>
#include <vector>

namespace cladorix::exact {

using u32 = uint32_t;
using u64 = uint64_t;
using u128 = unsigned __int128;

inline constexpr u32 kNone = UINT32_MAX;

struct SpanTree {
  std::vector<u32> parent;     // kNone for the root
  std::vector<u32> key_depth;  // the node's depth in tree 2
  std::vector<u32> leaf1;      // a leaf's position in tree 1's leaf order; kNone inside
  std::vector<u32> leaves;     // leaf nodes in pre-order
  std::vector<u32> adjacent;   // adjacent[k]: the node joining leaves[k] and leaves[k + 1]

  u32 size() const noexcept { return static_cast<u32>(parent.size()); }
  u32 leaf_count() const noexcept { return static_cast<u32>(leaves.size()); }
};

// Lookups over one span: children lists, subtree extents and lowest common
// ancestors (a block-wise range minimum over the adjacent joins).
class SpanIndex {
 public:
  void build(const SpanTree& span);

  const SpanTree& span() const noexcept { return *span_; }
  u32 child_begin(u32 v) const noexcept { return child_offset_[v]; }
  u32 child_end(u32 v) const noexcept { return child_offset_[v + 1]; }
  u32 child(u32 i) const noexcept { return children_[i]; }
  u32 leaf_count(u32 v) const noexcept { return leaves_below_[v]; }
  u32 leaf_position(u32 leaf) const noexcept { return first_leaf_[leaf]; }

  // Whether d is v or below it.
  bool contains(u32 v, u32 d) const noexcept { return v <= d && d < subtree_end_[v]; }
  // The child of v whose subtree holds the descendant d (d below v).
  u32 child_toward(u32 v, u32 d) const noexcept;
  // Lowest common ancestor of the leaves at positions i < j.
  u32 leaf_lca(u32 i, u32 j) const noexcept;

 private:
  u64 min_key(u32 lo, u32 hi) const noexcept;  // over adjacent keys [lo, hi]

  const SpanTree* span_ = nullptr;
  std::vector<u32> child_offset_, children_;
  std::vector<u32> subtree_end_;   // v + number of nodes below v, v included
  std::vector<u32> first_leaf_;    // position of the first leaf below v
  std::vector<u32> leaves_below_;  // leaves below v
  std::vector<u64> keys_;          // (key depth << 32) | node, per adjacent join
  std::vector<u64> block_min_;     // per level of a sparse table over blocks
  std::vector<u32> level_start_;
  u32 blocks_ = 0;
};

// Builds span trees inside a span: for leaf positions of `index`'s span in
// ascending order, the span they have there. `origin` receives, per new node,
// the node of the outer span it stands for. Scratch is kept between calls.
class SpanBuilder {
 public:
  void build(const SpanIndex& index, const u32* positions, u32 count, SpanTree& out,
             std::vector<u32>& origin);

 private:
  std::vector<u32> nodes_, sorted_, stack_;
  std::vector<u32> local_;  // outer node -> new node, kNone outside the current build
};

}  // namespace cladorix::exact
