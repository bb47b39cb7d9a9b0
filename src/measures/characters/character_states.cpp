#include "measures/characters/character_states.hpp"

#include <algorithm>

#include "runtime/cancel.hpp"
#include "util/errors.hpp"

namespace cladorix {

LeafRowIndex::LeafRowIndex(const Tree& tree)
    : classes_(tree), position_(classes_.count(), NameClasses::kNone) {
  const auto& child_counts = tree.child_counts();
  uint32_t position = 0;
  CancelPoller poll;
  for (NodeId v = 0; v < tree.size(); ++v) {
    if (child_counts[v] != 0) continue;
    // Ascending ids: a later leaf of the same name overwrites.
    if (const uint32_t cls = classes_.of(v); cls != NameClasses::kNone) position_[cls] = position;
    ++position;
  }
  poll.tick(4 * uint64_t{tree.size()});
  leaf_count_ = position;
}

const uint32_t* LeafRowIndex::find(std::string_view name) const noexcept {
  const uint32_t cls = classes_.find(name);
  if (cls == NameClasses::kNone || position_[cls] == NameClasses::kNone) return nullptr;
  return &position_[cls];
}

StatesView::StatesView(const NameClasses& classes)
    : classes_(&classes), spans_(classes.count()), present_(classes.count(), 0) {}

StatesView::StatesView(const NameClasses& classes, const InternalStates& states)
    : StatesView(classes) {
  // Keys are distinct, so the visiting order does not matter.
  CancelPoller poll;
  for (const auto& [name, list] : states) {
    if (const uint32_t cls = classes.find(name); cls != NameClasses::kNone)
      set_class(cls, StateSpan::of(list));
    poll.tick(name.size() / 4 + 64);
  }
}

const StateSpan* StatesView::find(std::string_view name) const noexcept {
  const uint32_t cls = classes_->find(name);
  if (cls == NameClasses::kNone || !present_[cls]) return nullptr;
  return &spans_[cls];
}

InferredStates infer_states(const Tree& tree, const LeafRowIndex& leaf_rows,
                            const CharacterMatrix& matrix, int32_t missing_state,
                            int32_t unedited_state) {
  if (matrix.empty()) fail("state inference needs at least one matrix row");
  const size_t n_chars = matrix[0].size();
  const size_t n = tree.size();
  const auto& child_counts = tree.child_counts();
  const auto& first_children = tree.first_children();
  const auto& next_siblings = tree.next_siblings();

  const NameClasses& classes = leaf_rows.classes();
  InferredStates out(classes);
  out.unedited.assign(n_chars, unedited_state);
  out.missing.assign(n_chars, missing_state);
  const StateSpan unedited = StateSpan::of(out.unedited);
  const StateSpan missing = StateSpan::of(out.missing);

  size_t two_child = 0;
  CancelPoller poll;
  for (size_t v = 0; v < n; ++v) two_child += child_counts[v] == 2;
  poll.tick(2 * uint64_t{n});
  // Left uninitialised: pages of nodes never visited are never touched.
  if (two_child != 0 && n_chars != 0) out.arena.reset(new int32_t[two_child * n_chars]);
  size_t arena_used = 0;

  // The list each finished node hands to its parent.
  std::vector<StateSpan> result(n);
  // Post-order with an explicit stack; the top bit marks a node whose
  // children have been pushed.
  constexpr uint64_t kExpanded = uint64_t{1} << 32;
  std::vector<uint64_t> stack;
  stack.push_back(tree.root());
  while (!stack.empty()) {
    poll.tick(n_chars + 8);
    const uint64_t top = stack.back();
    const NodeId v = static_cast<NodeId>(top);
    const uint32_t kids = child_counts[v];
    if (kids == 0) {
      stack.pop_back();
      StateSpan own = missing;
      if (const uint32_t cls = classes.of(v); cls != NameClasses::kNone) {
        const uint32_t pos = leaf_rows.position_of_class(cls);
        if (pos != NameClasses::kNone && pos < matrix.size()) own = StateSpan::of(matrix[pos]);
      }
      result[v] = own;
    } else if (kids != 2) {
      stack.pop_back();
      result[v] = unedited;
    } else if (!(top & kExpanded)) {
      stack.back() = top | kExpanded;
      const NodeId first = first_children[v];
      stack.push_back(next_siblings[first]);  // second child, finished after the first
      stack.push_back(first);
    } else {
      stack.pop_back();
      const NodeId first = first_children[v];
      const StateSpan a = result[first];
      const StateSpan b = result[next_siblings[first]];
      int32_t* own = out.arena.get() + arena_used;
      arena_used += n_chars;
      // Both lists present first (the common, vectorisable case), then the
      // tail where a shorter list reads as missing.
      const size_t both = std::min({a.size, b.size, n_chars});
      for (size_t i = 0; i < both; ++i) {
        const int32_t x = a[i];
        own[i] = (x == b[i] && x != unedited_state && x != missing_state) ? x : unedited_state;
      }
      for (size_t i = both; i < n_chars; ++i) {
        const int32_t x = i < a.size ? a[i] : missing_state;
        const int32_t y = i < b.size ? b[i] : missing_state;
        own[i] = (x == y && x != unedited_state && x != missing_state) ? x : unedited_state;
      }
      const StateSpan list{own, n_chars};
      result[v] = list;
      if (const uint32_t cls = classes.of(v); cls != NameClasses::kNone)
        out.states.set_class(cls, list);
    }
  }

  // The root is unedited by definition.
  if (const uint32_t cls = classes.of(tree.root()); cls != NameClasses::kNone)
    out.states.set_class(cls, unedited);
  return out;
}

std::vector<StateSpan> resolve_all_node_states(const Tree& tree, const LeafRowIndex& leaf_rows,
                                               const CharacterMatrix& matrix,
                                               const StatesView& states) {
  std::vector<StateSpan> out;
  resize_polled(out, tree.size());
  CancelPoller poll;
  for (NodeId v = 0; v < tree.size(); ++v) out[v] = node_states(v, leaf_rows, matrix, states);
  poll.tick(16 * uint64_t{tree.size()});
  return out;
}

}  // namespace cladorix
