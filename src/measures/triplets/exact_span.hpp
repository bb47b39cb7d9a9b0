// The part of tree 2 that some of its leaves span, as a small tree of its
// own: those leaves and the lowest common ancestors of any two of them, each
// node below the nearest such ancestor. Every inner node has two children or
// more, so a span over k leaves has fewer than 2k nodes, and counting on it
// costs what the k leaves are worth, not what tree 2 is.
//
// Nodes are laid out in heavy-first pre-order: node 0 is the root, an inner
// node's heavy child (the one with most leaves, the first on ties) comes
// right after it, then the subtrees of its other children. The subtree of v
// is the range [v, end[v]), and every heavy path is a run of consecutive
// nodes, which is what the active set (exact_active_set.hpp) walks. Nodes
// keep tree 2's depths, so a span built inside another span still compares
// depths with it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tree/tree.hpp"
#include "util/huge_pages.hpp"

namespace cladorix::exact {

using u32 = uint32_t;
using u64 = uint64_t;
using u128 = unsigned __int128;

inline constexpr u32 kNone = UINT32_MAX;

class Span {
 public:
  u32* parent = nullptr;  // kNone at the root
  u32* end = nullptr;     // one past the last node of the subtree
  u32* depth2 = nullptr;  // depth in tree 2
  u32* leaf1 = nullptr;   // a leaf's position in tree 1's leaf order; kNone inside
  u32* leaves = nullptr;  // leaves below

  // m nodes, their values left to the caller (one allocation, not zeroed:
  // every node is written once).
  void resize(u32 m) {
    if (m > capacity_) {
      buf_ = huge_array<u32>(5 * size_t{m});
      capacity_ = m;
    }
    size_ = m;
    u32* p = buf_.get();
    parent = p;
    end = p + m;
    depth2 = p + 2 * size_t{m};
    leaf1 = p + 3 * size_t{m};
    leaves = p + 4 * size_t{m};
  }
  u32 size() const noexcept { return size_; }
  u32 leaf_count() const noexcept { return size_ == 0 ? 0 : leaves[0]; }
  bool is_leaf(u32 v) const noexcept { return end[v] == v + 1; }

 private:
  std::unique_ptr<u32[]> buf_;
  u32 size_ = 0, capacity_ = 0;
};

// Tree 2 (fully connected, at least one leaf) as the span of all its leaves,
// without its single-child nodes. leaf1 holds tree 2's own leaf order
// (0, 1, ... by node id) until the caller puts tree 1's positions there.
Span span_of_tree(const Tree& tree2);

// The spans of disjoint groups of a span's leaves (the light children of a
// path of tree 1, whose leaves are all in the span). collect() finds, in one
// pass over the span, each group's leaves in the span's order and the join
// (lowest common ancestor) of every two consecutive ones; shape() then
// builds one group's span from them, and lay_out() writes it as a Span.
// Scratch is kept between calls.
class GroupSpans {
 public:
  // group_of[leaf1 - base1] is the group of each leaf of `span` (kNone: in
  // none); group g holds begin[g + 1] - begin[g] leaves.
  void collect(const Span& span, const u32* group_of, u32 base1, const u32* begin, u32 groups);

  // Group g's leaves, nodes of the span, in its order: [leaves(g), leaves(g) + size).
  const u32* leaves(u32 g) const noexcept { return leaves_.data() + begin_[g]; }
  u32 size(u32 g) const noexcept { return begin_[g + 1] - begin_[g]; }
  // The join of the group's leaves i - 1 and i (0 < i < size).
  u32 join(u32 g, u32 i) const noexcept { return joins_[begin_[g] + i]; }

  // A node of a shaped group span.
  struct Node {
    u32 origin;  // the node of the outer span it stands for
    u32 parent;  // index of the parent; kNone at the root
    u32 count;   // leaves below
    u32 size;    // nodes below (lay_out: the cursor for light children once placed)
    u32 heavy;   // index of the heavy child
    u32 at;      // its rank in post_order(); lay_out: its position
  };
  // Builds the span of group g (two leaves or more): node(i) for i < shaped,
  // listed children first (the root last) by post_order().
  void shape(const Span& span, u32 g);
  u32 shaped() const noexcept { return static_cast<u32>(made_.size()); }
  const Node& node(u32 i) const noexcept { return made_[i]; }
  const std::vector<u32>& post_order() const noexcept { return post_; }
  // The span last shaped, laid out in `out`.
  void lay_out(const Span& span, Span& out);

 private:
  std::vector<u32> begin_, cursor_, leaves_, joins_, stack_, post_;
  std::vector<Node> made_;  // in the order made
};

}  // namespace cladorix::exact
