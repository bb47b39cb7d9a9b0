// Character data shared by the character-based scores: the matrix, the
// caller's internal-node states, the tie between matrix rows and leaves, and
// the bottom-up state inference that parsimony and likelihood share.
//
// State lists are handled as views (StateSpan) into storage that outlives the
// computation: matrix rows, the caller's map, or an inference arena. Nothing
// is copied per edge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/cancel.hpp"
#include "tree/name_classes.hpp"
#include "tree/tree.hpp"

namespace cladorix {

// Row k holds the states of the k-th leaf in node-id order.
using CharacterMatrix = std::vector<std::vector<int32_t>>;
// Internal-node states as the caller gives them: node name -> states.
using InternalStates = std::unordered_map<std::string, std::vector<int32_t>>;

struct StateSpan {
  const int32_t* data = nullptr;
  size_t size = 0;

  const int32_t& operator[](size_t i) const noexcept { return data[i]; }
  static StateSpan of(const std::vector<int32_t>& v) noexcept { return {v.data(), v.size()}; }
};

// Leaf name -> position among the leaves (node-id order). Only named leaves
// are entered; a later leaf of the same name replaces the earlier one.
class LeafRowIndex {
 public:
  explicit LeafRowIndex(const Tree& tree);

  // Position recorded for `name`, or nullptr.
  const uint32_t* find(std::string_view name) const noexcept;
  // Position recorded for a name class (NameClasses::kNone when none).
  uint32_t position_of_class(uint32_t cls) const noexcept { return position_[cls]; }
  const NameClasses& classes() const noexcept { return classes_; }
  // Number of leaves, named or not.
  size_t leaf_count() const noexcept { return leaf_count_; }

 private:
  NameClasses classes_;
  std::vector<uint32_t> position_;  // by class
  size_t leaf_count_ = 0;
};

// Name -> state list, by view, for the names that occur in one tree (names
// of no node are dropped: nothing could ever look them up). Setting a name
// again replaces its list.
class StatesView {
 public:
  explicit StatesView(const NameClasses& classes);
  // Views the caller's map; the map must outlive the view and stay unchanged.
  StatesView(const NameClasses& classes, const InternalStates& states);

  void set_class(uint32_t cls, StateSpan states) noexcept {
    spans_[cls] = states;
    present_[cls] = 1;
  }
  // The list held for a class; empty when none is held.
  StateSpan of_class(uint32_t cls) const noexcept { return spans_[cls]; }
  const StateSpan* find(std::string_view name) const noexcept;

 private:
  const NameClasses* classes_;
  std::vector<StateSpan> spans_;  // by class
  std::vector<uint8_t> present_;
};

// States that the bottom-up inference gave to named nodes, plus the storage
// its views point into.
struct InferredStates {
  StatesView states;                 // over the leaf row index's name classes
  std::unique_ptr<int32_t[]> arena;  // one n_chars block per two-child node
  std::vector<int32_t> unedited;     // n_chars copies of the unedited marker
  std::vector<int32_t> missing;      // n_chars copies of the missing marker

  explicit InferredStates(const NameClasses& classes) : states(classes) {}
};

// The shared bottom-up inference, run from the root in post-order (left to
// right) with an explicit stack:
//  * a leaf yields its row (own length) when it is named, indexed and the row
//    exists, otherwise n_chars missing markers; leaves are never stored;
//  * a node with exactly two children takes, per character i < n_chars, the
//    children's common state when it is an edit, otherwise the unedited
//    marker (a shorter child list reads as missing); a named node stores its
//    list under its name, replacing any earlier entry;
//  * a node with one or three or more children yields n_chars unedited
//    markers and its subtree is not visited at all.
// When the root is named it is then stored as all-unedited, replacing
// whatever its name held. Requires a non-empty matrix (n_chars is the length
// of the first row).
InferredStates infer_states(const Tree& tree, const LeafRowIndex& leaf_rows,
                            const CharacterMatrix& matrix, int32_t missing_state,
                            int32_t unedited_state);

// The states of one node as a view: none for an unnamed node; the matrix row
// of a leaf name whose position has a row; else the states map's entry; else
// none. Rows win over the states map. `states` must be built over
// `leaf_rows.classes()`.
inline StateSpan node_states(NodeId v, const LeafRowIndex& leaf_rows, const CharacterMatrix& matrix,
                             const StatesView& states) noexcept {
  const uint32_t cls = leaf_rows.classes().of(v);
  if (cls == NameClasses::kNone) return {};
  const uint32_t pos = leaf_rows.position_of_class(cls);
  if (pos != NameClasses::kNone && pos < matrix.size()) return StateSpan::of(matrix[pos]);
  return states.of_class(cls);
}

// f(parent's states, child's states, m) for every edge (every node with a
// parent) in node-id order, m the shorter of the two lengths: the characters
// the edge can say something about. Polls for cancellation.
template <class F>
void for_each_edge(const Tree& tree, const std::vector<StateSpan>& spans, F&& f) {
  const auto& parents = tree.parents();
  CancelPoller poll;
  for (NodeId v = 0; v < tree.size(); ++v) {
    if (parents[v] == kNoNode) continue;
    const StateSpan p = spans[parents[v]];
    const StateSpan c = spans[v];
    const size_t m = p.size < c.size ? p.size : c.size;
    f(p, c, m);
    poll.tick(m + 8);
  }
}

// node_states() of every node, indexed by node id.
std::vector<StateSpan> resolve_all_node_states(const Tree& tree, const LeafRowIndex& leaf_rows,
                                               const CharacterMatrix& matrix,
                                               const StatesView& states);

}  // namespace cladorix
