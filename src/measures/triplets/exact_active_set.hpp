// The active leaves of a span, and what tree 2 says about them relative to
// one more leaf: the running sums that the path counter asks for.
//
// The span is cut into heavy paths, laid out contiguously ("positions").
// Every node keeps, over its light children, the active leaves (lc) and the
// sum of C(active, 2) (ls); a head keeps the active leaves below it. Sums
// along a path come from a scan on short paths and from a weight-balanced
// tree on long ones: a binary tree whose leaves are the path's positions in
// order and whose splits follow the nodes' weights (leaves below them off
// the heavy path), so a position lies O(log(path weight / own weight)) deep
// and over a root path those depths add up to O(log s). A walk from a leaf
// to the root thus costs O(log s) on a span of s leaves.
#pragma once

#include <cstdint>
#include <vector>

#include "measures/triplets/exact_span_tree.hpp"

namespace cladorix::exact {

class ActiveSet {
 public:
  // Lays out the decomposition of index's span, with nothing active.
  void reset(const SpanIndex& index);

  u32 position(u32 node) const noexcept { return pos_[node]; }

  // All taking positions. The batch operations walk up to kWalks leaves'
  // root paths in turns, a step each, prefetching the next step's slots: on
  // spans far larger than the cache the walks' misses then overlap instead
  // of queueing.
  void insert(const u32* leaves, u32 count);
  // Per inactive leaf z: Psi(z), the sum over the subtrees hanging off z's
  // root path of C(active leaves, 2), and the sum over z's ancestors of
  // C(active leaves leaving z's path there, 2).
  void query(const u32* leaves, u32 count, u64* psi, u64* same) const;
  // Active leaves below the node at `pos`.
  u64 active_below(u32 pos) const;

 private:
  struct Sums {
    u64 ls = 0;   // sum over light children of C(active, 2)
    u64 lc2 = 0;  // C(active in light children, 2)
    u64 lc = 0;   // active in light children
  };
  // One node of the decomposition, at its position: a walk up touches one
  // slot per node.
  struct Slot {
    u64 ls = 0;      // sum over light children of C(active, 2)
    u32 lc = 0;      // active leaves in light children
    u32 head = 0;    // position of the path's head
    u32 active = 0;  // at a head: active leaves below it
    u32 up = 0;      // at a head: position of its parent; kNone on the root's path
    u32 end = 0;     // one past the position of the path's last node
  };
  // Path trees: nodes 0 .. m-1 are the positions (their values are their
  // slots'), splits m and up. Short paths get no splits.
  struct PathTreeNode {
    Sums sum;  // over the positions below (splits only)
    u32 parent = kNone;
    u32 sibling = 0;  // the other child of the parent; kRight set when this is the right one
  };
  static constexpr u32 kRight = u32{1} << 31;

  void build_path_trees(const SpanIndex& index);
  Sums sum_before(u32 pos) const;  // over the positions of pos's path before it
  void add(u32 pos, const Sums& d);

  std::vector<u32> heavy_, pos_;  // per span node
  std::vector<Slot> slots_;       // per position
  std::vector<PathTreeNode> tree_;
  std::vector<u64> weight_prefix_;
  std::vector<u32> split_stack_;
};

}  // namespace cladorix::exact
