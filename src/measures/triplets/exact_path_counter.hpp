// Exact triplet agreement along one heavy path of tree 1. NOTES.md derives
// every count on a worked example.
//
// A task is a subtree of tree 1 with the span of its leaves in tree 2.
// Walking the subtree's heavy path bottom-up, the leaves below the current
// node v are "active"; at v they are the heavy child's leaves H, and each
// light child j adds its leaves L_j. Every triplet whose tree-1 LCA is v is
// counted from quantities of the active set in the span:
//   * pair in H, third z in a light child: tree 2 agrees when the pair lies
//     in one subtree hanging off z's root path: Psi(z);
//   * pair in L_j, third anywhere else below v: per node w of L_j's own
//     span, the pairs joined at w times the leaves below v outside w;
//   * one leaf in each of three children of v (a polytomy): a star in tree 2
//     too. Counted per leaf z of L_j against H and the light children before
//     j as the pairs that leave z's root path at one node through two other
//     children (Same(z) - Psi(z)), minus the pairs of one colour (both in H,
//     or both in one earlier L_k).
// The leaves of L_j share stretches of their paths to the root: its span
// says which, and each stretch is walked once for all of them.
//
// Light children with three leaves or more are counted on the span of their
// leaves: those of a few leaves at once, triplet by triplet, larger ones as
// tasks of their own. Every leaf is active in one task per light edge above
// it, so the whole count takes O(n log^2 n) time in O(n) memory (pending
// tasks hold disjoint subtrees).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "measures/triplets/exact_active_set.hpp"
#include "measures/triplets/exact_reference.hpp"
#include "measures/triplets/exact_span.hpp"
#include "runtime/cancel.hpp"

namespace cladorix::exact {

// Agreement counts of one depth bin of tree 1.
struct Agreement {
  u128 resolvable_correct = 0;  // resolved the same way in both trees
  u128 unresolved_correct = 0;  // a star in both trees
};

// One lane's agreement counts by depth bin, kept over the bins it has
// touched: the pieces of a caterpillar's path touch disjoint halves of a
// million bins.
class Tally {
 public:
  Agreement& operator[](u32 bin) {
    if (bin - lo_ >= bins_.size()) grow(bin);  // below lo_ wraps around too
    return bins_[bin - lo_];
  }
  // Adds everything into `to` (indexed by bin).
  void add_into(std::vector<Agreement>& to) const;

 private:
  void grow(u32 bin);
  u32 lo_ = 0;
  std::vector<Agreement> bins_;
};

struct Task {
  u32 root1 = 0;                     // the top of a heavy path of tree 1
  std::shared_ptr<const Span> span;  // the span of root1's leaves in tree 2
  // The path nodes counted: first .. last - 1 (node 0 is root1), the leaves
  // below node `last` active from the start. kNone: down to the path's leaf.
  u32 first = 0, last = kNone;
  u64 size = 0;  // about the leaves it activates and asks about
  u64 work() const noexcept { return size; }
};

// A whole task whose path is cut in `pieces` tasks of about equal size: the
// pieces run independently (each above the bottom one starts from its
// active leaves in one pass) and add up to the whole.
std::vector<Task> split_task(const Reference& ref, const Task& task, u64 pieces);

// Every triplet of tree 1's subtree at root1, compared one by one, into
// bins. leaf1: its k leaves (at most kDirectLeaves) by tree-1 position in
// tree 2's order; join_depth[i]: the tree-2 depth of the join of leaves
// i - 1 and i (join_depth[0] unused).
void count_directly(const Reference& ref, u32 root1, const u32* leaf1, const u32* join_depth, u32 k,
                    Tally& bins);

class PathCounter {
 public:
  // Subtrees of at most this many leaves are counted triplet by triplet.
  static constexpr u32 kDirectLeaves = 12;

  // direct_leaves (at most kDirectLeaves): where triplet by triplet stops;
  // tests lower it to walk small trees through every case.
  explicit PathCounter(u32 direct_leaves = kDirectLeaves) : direct_leaves_(direct_leaves) {}

  // Adds the task's agreement counts into bins (by tree-1 depth bin); hands
  // each light subtree too large to count directly to `spawn` as a new task
  // as soon as its span is built.
  void run(const Reference& ref, const Task& task, Tally& bins, CancelPoller& poll,
           const std::function<void(Task&&)>& spawn);

 private:
  // A light child of the path: its span's nodes are nodes_[begin, end).
  struct Group {
    u32 child1 = 0;  // in tree 1
    u32 begin = 0, end = 0;
  };
  // Keeps group g's span (shaped by spans_ unless it has under three leaves)
  // for the walk, with the pairs of leaves joined at each node.
  void keep_span(Group& grp, u32 g, bool shaped);
  // Pairs in L with a third leaf below v outside them and outside L: per
  // node w of L's span, the pairs joined at w times those of the
  // `outside_l` leaves not below w; below[w]: the active leaves below w,
  // L's own among them when `with_own`.
  u128 pairs_in_group(const Group& grp, u64 outside_l, const u32* below, bool with_own) const;
  // One-colour pairs of L joined at w with a third leaf below w outside the
  // two children holding the pair, from the active leaves below each node
  // (`below`) and below each node's parent's child toward it (`toward`),
  // to which L's own leaves there are added unless `with_own`.
  u128 lone_stars(const Group& grp, const u32* below, const u32* toward, bool with_own) const;

  u32 direct_leaves_;
  GroupSpans spans_;
  ActiveSet active_;
  std::vector<u32> path1_, node_groups_, group_of_, begin_, direct_leaf1_, direct_depth_,
      run_leaves_;
  std::vector<Group> groups_;
  std::vector<ActiveSet::GroupNode> nodes_;
  std::vector<u64> joined_, psi_;         // per node of nodes_ (psi_: per leaf)
  std::vector<u32> below_, toward_;       // per node of nodes_
  std::vector<u32> toward_node_, asked_;  // (polytomies) per node of nodes_
  std::vector<u64> answers_;
};

}  // namespace cladorix::exact
