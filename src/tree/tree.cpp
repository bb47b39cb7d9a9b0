#include "tree/tree.hpp"

#include <algorithm>

#include "runtime/cancel.hpp"
#include "util/errors.hpp"
#include "util/huge_pages.hpp"
#include "util/texts.hpp"

namespace cladorix {

Tree::Tree() { add_node(); }

void Tree::throw_bad_id(NodeId v) const {
  fail("node id " + std::to_string(v) + " is outside the tree (" + std::to_string(size()) +
       " nodes)");
}

NodeId Tree::add_node() {
  if (parent_.size() >= kNoNode) fail("tree has too many nodes");
  NodeId id = static_cast<NodeId>(parent_.size());
  parent_.push_back(kNoNode);
  first_child_.push_back(kNoNode);
  next_sibling_.push_back(kNoNode);
  child_count_.push_back(0);
  name_slot_.push_back(kNoSlot);
  weight_.push_back(0.0f);
  has_weight_.push_back(0);
  return id;
}

void Tree::resize_nodes(size_t n) {
  if (n >= kNoNode) fail("tree has too many nodes");
  const auto grow = [n](auto& column) { reserve_huge(column, n); };
  grow(parent_);
  grow(first_child_);
  grow(next_sibling_);
  grow(child_count_);
  grow(name_slot_);
  grow(weight_);
  grow(has_weight_);
  resize_polled(parent_, n, kNoNode);
  resize_polled(first_child_, n, kNoNode);
  resize_polled(next_sibling_, n, kNoNode);
  resize_polled(child_count_, n);
  resize_polled(name_slot_, n, kNoSlot);
  resize_polled(weight_, n);
  resize_polled(has_weight_, n);
}

void Tree::attach(NodeId child, NodeId parent, NodeId last) {
  parent_[child] = parent;
  if (last == kNoNode)
    first_child_[parent] = child;
  else
    next_sibling_[last] = child;
  ++child_count_[parent];
}

void Tree::name_last_bytes(NodeId v) {
  if (naming_order_.size() >= kNoSlot) fail("tree has too many names");
  name_slot_[v] = static_cast<uint32_t>(naming_order_.size());
  name_end_.push_back(names_.size());
  naming_order_.push_back(v);
}

std::vector<NodeId> Tree::children(NodeId v) const {
  std::vector<NodeId> out;
  out.reserve(child_count(v));
  for_each_child(v, [&](NodeId c) { out.push_back(c); });
  return out;
}

void Tree::release_polled() {
  CancelPoller poll;
  const auto drop = [&poll](auto& column) {
    const uint64_t bytes = column.capacity() * sizeof(column[0]);
    std::remove_reference_t<decltype(column)>().swap(column);
    poll.tick(bytes / 8);
  };
  drop(parent_);
  drop(first_child_);
  drop(next_sibling_);
  drop(child_count_);
  drop(name_slot_);
  drop(weight_);
  drop(has_weight_);
  drop(names_);
  drop(name_end_);
  drop(naming_order_);
}

std::vector<NodeId> Tree::leaves() const {
  std::vector<NodeId> out;
  for (NodeId v = 0; v < size(); ++v)
    if (child_count_[v] == 0) out.push_back(v);
  return out;
}

std::vector<std::optional<std::string_view>> leaf_names(const Tree& tree) {
  const auto& child_counts = tree.child_counts();
  // Sized once: a doubling growth would copy and fault in a hundred
  // megabytes at a time, between two polls.
  size_t leaves = 0;
  for (const uint32_t c : child_counts) leaves += c == 0;
  std::vector<std::optional<std::string_view>> out;
  out.reserve(leaves);
  CancelPoller poll;
  poll.tick(leaves);
  constexpr size_t kSlice = size_t{1} << 16;
  for (size_t first = 0; first < tree.size(); first += kSlice) {
    const auto last = static_cast<NodeId>(std::min(tree.size(), first + kSlice));
    for (auto v = static_cast<NodeId>(first); v < last; ++v) {
      if (child_counts[v] != 0) continue;
      if (tree.has_name(v))
        out.emplace_back(tree.name(v));
      else
        out.emplace_back(std::nullopt);
    }
    poll.tick(16 * uint64_t{kSlice});
  }
  return out;
}

std::vector<uint32_t> Tree::depths() const {
  // A parent's id is always below its child's, so one ascending pass works.
  std::vector<uint32_t> d(size(), 0);
  CancelPoller poll;
  for (NodeId v = 1; v < size(); ++v)
    if (parent_[v] != kNoNode) d[v] = d[parent_[v]] + 1;
  poll.tick(4 * uint64_t{size()});
  return d;
}

uint64_t Tree::connected_count() const {
  // The first node without a parent after the root ends the attached prefix.
  CancelPoller poll;
  constexpr size_t kSlice = size_t{1} << 16;
  for (size_t first = 1; first < size(); first += kSlice) {
    const size_t last = std::min(size(), first + kSlice);
    for (size_t v = first; v < last; ++v)
      if (parent_[v] == kNoNode) return v;
    poll.tick(kSlice);
  }
  return size();
}

void check_tour_size(const Tree& tree) {
  if (2 * tree.connected_count() - 1 > 0xFFFFFFFFULL) fail(texts::kTourTooLarge);
}

void check_connected(const Tree& tree) {
  const auto& parent = tree.parents();
  std::vector<uint8_t> reach(tree.size(), 0);
  reach[0] = 1;
  CancelPoller poll;
  for (NodeId v = 1; v < tree.size(); ++v) {
    if (parent[v] == kNoNode || !reach[parent[v]])
      fail("node " + std::to_string(v) + " does not occur in the Euler tour");
    reach[v] = 1;
  }
  poll.tick(4 * uint64_t{tree.size()});
}

bool Tree::fully_connected() const { return connected_count() == size(); }

}  // namespace cladorix
