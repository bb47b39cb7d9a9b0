// Exact triplet agreement along one heavy path of tree 1.
//
// A task is a subtree of tree 1 together with the span of its leaves in tree
// 2. Walking the subtree's heavy path bottom-up, the leaves below the current
// node v are "active"; at v they are the heavy child's leaves H, and each
// light child j adds its leaves L_j. Every triplet whose tree-1 LCA is v is
// then counted from quantities of the active set in the span:
//   * pair in H, third z in a light child: tree 2 agrees when the pair lies
//     in one subtree hanging off z's root path: Psi(z), the sum over those
//     subtrees of C(active leaves, 2);
//   * pair in L_j, third anywhere else below v: per node w of L_j's own span,
//     the pairs joined at w times the leaves below v outside w;
//   * three children of v (a polytomy): a star in tree 2 too. Counted per
//     leaf z of L_j against H and the light children before j, as the pairs
//     that leave z's root path at the same node in different subtrees, minus
//     the pairs of one colour (both in H, or both in one earlier L_k).
// The active set (exact_active_set.hpp) lives in a heavy-path decomposition
// of the span, with running sums along each path, so adding a leaf or asking
// Psi costs O(log s) on a span of s leaves. Light children with three leaves
// or more are new tasks on the span of their own leaves (a task of five
// leaves or fewer compares its triplets one by one); every leaf is active in
// one task per light edge above it, so the whole count takes O(n log^2 n)
// time, in O(n) memory (pending tasks hold disjoint subtrees), and most
// steps run on small, cache-resident spans.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "measures/triplets/exact_active_set.hpp"
#include "measures/triplets/exact_span_tree.hpp"
#include "runtime/cancel.hpp"
#include "tree/tree.hpp"

namespace cladorix::exact {

// Tree 1 as the counting walks it, indexed by node id.
struct ReferenceTree {
  const Tree* tree = nullptr;
  std::vector<u32> leaves_below;
  std::vector<u32> first_leaf;  // position of the first leaf below, in leaf order
  std::vector<u32> heavy;       // the child with most leaves (first on ties); kNone at leaves
  std::vector<u32> depth;
  std::vector<u32> leaf_node;  // by position in leaf order

  explicit ReferenceTree(const Tree& t);
};

struct Task {
  u32 root1 = 0;  // a node of tree 1
  SpanTree span;  // the span of its leaves in tree 2
  u64 work() const noexcept { return span.leaf_count(); }
};

// Agreement counts per node of a heavy path, top first; node k has depth
// top_depth + k in tree 1.
struct PathCounts {
  u32 top_depth = 0;
  std::vector<u128> resolvable_correct;  // resolved the same way in both trees
  std::vector<u128> unresolved_correct;  // a star in both trees
};

class PathCounter {
 public:
  // Counts the task's heavy path; hands each light subtree of three leaves
  // or more to `spawn` as a new task as soon as its span is built.
  void run(const ReferenceTree& ref, Task& task, PathCounts& out, CancelPoller& poll,
           const std::function<void(Task&&)>& spawn);

 private:
  // What one light child of a path node needs evaluated against the active
  // set: a constant plus coefficients on the active counts of span nodes.
  struct Term {
    u32 pos;             // the span node's position
    int64_t pairs_coef;  // for pairs inside the child with a third elsewhere
    int64_t star_coef;   // for one-colour pairs of stars
  };
  struct Group {
    u32 child1 = 0;  // the light child in tree 1
    u32 begin = 0;   // its leaf positions: positions_[begin, end)
    u32 end = 0;
    u32 term_begin = 0, term_end = 0;  // its terms: terms_[term_begin, term_end)
    u128 constant = 0;                 // of the pairs count
  };

  // Tasks this small have no light child of three leaves: every triplet is
  // simply compared.
  static constexpr u32 kDirectLeaves = 5;
  void count_directly(const ReferenceTree& ref, const Task& task, PathCounts& out);
  // Appends g's terms, from the span of its leaves, to terms_.
  void describe_group(Group& g, const SpanTree& span, u64 below_v, bool stars);
  u128 evaluate(const Group& g, bool pairs) const;

  SpanIndex index_;
  SpanBuilder builder_;
  ActiveSet active_;
  // Walk scratch.
  std::vector<u32> path1_, group_of_leaf_, positions_, leaf_pos_, cursor_, origin_;
  std::vector<u64> psi_, same_;
  std::vector<u32> below_;
  std::vector<u64> squares_;
  std::vector<Group> groups_;
  std::vector<Term> terms_;
  SpanTree group_span_;
  std::vector<u32> node_groups_;  // groups of each path node: [node_groups_[k], node_groups_[k+1])
};

}  // namespace cladorix::exact
