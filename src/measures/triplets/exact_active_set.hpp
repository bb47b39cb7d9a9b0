// Some of a span's leaves are "active"; for any other leaf z the path
// counter asks how the active leaves lie around z's path to the root:
//   Psi(z)  = sum over the subtrees hanging off z's root path of
//             C(active leaves in the subtree, 2): the active pairs that leave
//             z outside their lowest common ancestor;
//   Same(z) = sum over z's ancestors u of C(active leaves below u that leave
//             z's path at u, 2).
// Every node keeps, over its light children (all but the heavy one), the
// active leaves (lc) and the sum of C(active, 2) (ls); the head of each heavy
// path keeps the active leaves below it. A walk from z to the root visits
// one heavy path per light edge, O(log s) of them on a span of s leaves, and
// needs on each the sums over the path's nodes above where it enters: a scan
// on short paths, a weight-balanced path tree on long ones, whose depths
// over one walk add up to O(log s) as well.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "measures/triplets/exact_span.hpp"

namespace cladorix::exact {

class ActiveSet {
 public:
  // Spans of more nodes than this outgrow the cache: their walks go several
  // at a time, a step each in turn, each step fetching the next one's slot,
  // so that the misses of different walks overlap instead of queueing.
  static constexpr u32 kInterleavedNodes = u32{1} << 18;

  // Lays out `span` with no leaf active.
  void reset(const Span& span);
  // The same with every leaf whose tree-1 position lies in [lo1, hi1) active,
  // in one pass over the span rather than one walk per leaf.
  void reset(const Span& span, u32 lo1, u32 hi1);

  u32 head(u32 v) const noexcept { return slots_[v].head & kHeadMask; }

  // All take span nodes. query() fills psi[i] and, unless `same` is null,
  // same[i] for leaves[i] (none of them active).
  void query(const u32* leaves, u32 count, u64* psi, u64* same) const;
  void insert(const u32* leaves, u32 count);
  // Psi(leaves[i]) into psi[i], each leaf active from the next one on: one
  // walk per leaf, for a run of groups of one leaf each (a caterpillar's
  // path). The walks of the next leaves run ahead fetching their slots.
  void query_insert(const u32* leaves, u32 count, u64* psi);
  // Active leaves below the node v.
  u64 active_below(u32 v) const;

  // A group of leaves (none active) by the nodes of its own span: each with
  // the node it stands for here, its parent's index among them (kNone at
  // the root) and the group's leaves below it. The group's leaves share the
  // path between a node and its parent, so each such path is walked once
  // for all of them.
  struct GroupNode {
    u32 node, up, count;
  };
  // Sums over the group's leaves z of Psi(z) and (when asked for) Same(z).
  // below[i] gets the active leaves below nodes[i].node for every i that is
  // some node's parent; toward[i] (unless null) those below the child of
  // nodes[up].node on the way to nodes[i].node, for every i but the root,
  // and toward_node[i] (unless null) that child.
  struct GroupSums {
    u64 psi = 0, same = 0;
  };
  template <bool kWithSame>
  GroupSums query_group(const GroupNode* nodes, u32 m, u32* below, u32* toward,
                        u32* toward_node = nullptr) const;
  // active_below(nodes[i]) into out[i], for many nodes at once.
  void active_below(const u32* nodes, u32 count, u64* out) const;
  // Activates the group's leaves.
  void insert_group(const GroupNode* nodes, u32 m);

 private:
  struct Sums {
    u64 ls = 0;   // sum of ls
    u64 lc2 = 0;  // sum of C(lc, 2)
    u64 lc = 0;   // sum of lc
  };
  struct Slot {
    u64 ls = 0;      // over light children: sum of C(active, 2)
    u32 lc = 0;      // over light children: active leaves
    u32 head = 0;    // the path's head; kLong set on paths with a path tree
    u32 active = 0;  // at a head: active leaves below it
    u32 up = 0;      // at a head: its parent, kNone on the root's path
  };
  // Path trees: a binary tree per long path whose leaves are the path's
  // nodes in order (each holding its own values) and whose splits follow the
  // nodes' weights (leaves below them off the path).
  struct TreeNode {
    Sums sum;
    u32 parent = kNone;
    u32 sibling = 0;  // the other child of the parent; kRight set when this is the right one
  };
  static constexpr u32 kLong = u32{1} << 31;
  static constexpr u32 kHeadMask = kLong - 1;
  static constexpr u32 kRight = u32{1} << 31;

  void layout(const Span& span);
  void build_path_tree(const Span& span, u32 head, u32 end);
  // Over the nodes of v's path above v (head h); lc2 only when asked for.
  template <bool kWithSame>
  Sums sum_above(u32 v, u32 h) const;
  // The sums above v and above y (h <= y <= v on one path), in one scan on
  // a short path.
  template <bool kWithSame>
  void sums_above(u32 v, u32 y, u32 h, Sums& at_v, Sums& at_y) const;
  // Psi (and Same) of one leaf below `from`, summed over the nodes strictly
  // above `from` up to `to` (kNone: the root). At `to`: *to_below gets the
  // active leaves below it, *toward those below its child toward `from`.
  template <bool kWithSame>
  GroupSums query_segment(u32 from, u32 to, u32* to_below, u32* toward, u32* toward_node) const;
  void add(u32 v, u32 h, const Sums& d);  // to v's path tree
  template <bool kWithSame>
  void query_one(u32 leaf, u64& psi, u64& same) const;
  template <bool kWithSame>
  void query_interleaved(const u32* leaves, u32 count, u64* psi, u64* same) const;
  // The walks of insert_group (or of single leaves: nodes null, each
  // leaves[i] one leaf up to the root), several at a time.
  void insert_interleaved(const GroupNode* nodes, const u32* leaves, u32 count);
  template <bool kWithSame>
  GroupSums query_group_interleaved(const GroupNode* nodes, u32 m, u32* below, u32* toward,
                                    u32* toward_node) const;
  u64 query_insert_one(u32 leaf);

  struct LongPath {
    u32 head, end, base;  // its nodes [head, end); the path tree node of head
  };
  // The path tree node of node v on the long path headed by h.
  u32 tree_node(u32 v, u32 h) const noexcept {
    const auto at = std::lower_bound(long_paths_.begin(), long_paths_.end(), h,
                                     [](const LongPath& p, u32 x) { return p.head < x; });
    return at->base + (v - h);
  }

  std::vector<Slot> slots_;
  std::vector<TreeNode> tree_;
  std::vector<LongPath> long_paths_;  // by head, ascending (the order they are laid out)
  std::vector<u64> weight_prefix_;
  std::vector<u32> split_stack_, below_;
  bool interleave_ = false;  // the span is larger than the cache: walks go in turns
};

}  // namespace cladorix::exact
