// The rooted tree: an arena of nodes addressed by id, stored column-wise.
//
// Trees are only built by the Newick reader, which hands out ids in the order
// "(" and "," appear. Two facts follow and the measures rely on them:
//   * ids are a pre-order of the tree: a parent's id is below its children's,
//     and the subtree of v is the id range [v, v + subtree size);
//   * the arena has no empty slots and the root is node 0.
// Nodes left unattached by an unclosed "(" keep their own subtrees but are
// not reachable from the root (see `fully_connected`). They all come after
// the reachable ones: an unclosed "(" stays open to the end of the text, so
// every node created after it is inside it, and the node current at the end
// is the last one made. The reachable nodes are the ids [0, connected_count()).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cladorix {

using NodeId = uint32_t;
inline constexpr NodeId kNoNode = UINT32_MAX;

class Tree {
 public:
  Tree();
  Tree(Tree&&) noexcept = default;
  Tree& operator=(Tree&&) noexcept = default;

  // ---- shape -------------------------------------------------------------
  size_t size() const noexcept { return parent_.size(); }
  NodeId root() const noexcept { return 0; }
  NodeId parent(NodeId v) const { return parent_[check(v)]; }
  bool has_parent(NodeId v) const { return parent_[check(v)] != kNoNode; }
  uint32_t child_count(NodeId v) const { return child_count_[check(v)]; }
  bool is_leaf(NodeId v) const { return child_count_[check(v)] == 0; }
  NodeId first_child(NodeId v) const { return first_child_[check(v)]; }
  NodeId next_sibling(NodeId v) const { return next_sibling_[check(v)]; }
  std::vector<NodeId> children(NodeId v) const;  // in stored (text) order

  template <class F>
  void for_each_child(NodeId v, F&& f) const {
    for (NodeId c = first_child_[check(v)]; c != kNoNode; c = next_sibling_[c]) f(c);
  }

  // Raw columns for tight loops (indexed by node id).
  const std::vector<NodeId>& parents() const noexcept { return parent_; }
  const std::vector<uint32_t>& child_counts() const noexcept { return child_count_; }
  const std::vector<NodeId>& first_children() const noexcept { return first_child_; }
  const std::vector<NodeId>& next_siblings() const noexcept { return next_sibling_; }

  // ---- annotations -------------------------------------------------------
  bool has_name(NodeId v) const { return name_slot_[check(v)] != kNoSlot; }
  std::string_view name(NodeId v) const {
    const uint32_t k = name_slot_[check(v)];
    if (k == kNoSlot) return {};
    const uint64_t begin = k == 0 ? 0 : name_end_[k - 1];
    return std::string_view(names_.data() + begin, name_end_[k] - begin);
  }
  std::optional<float> weight(NodeId v) const {
    check(v);
    if (!has_weight_[v]) return std::nullopt;
    return weight_[v];
  }

  // ---- names -------------------------------------------------------------
  // Named nodes in the order the reader named them (a node named twice
  // appears twice); where a name must find one node, the last naming wins.
  // The reader names each node once, as it closes, so leaves appear here in
  // ascending id.
  const std::vector<NodeId>& naming_order() const noexcept { return naming_order_; }
  // The k-th name given (naming_order()[k] carries it unless renamed since):
  // names lie back to back in this order, so a pass over k reads them in turn.
  std::string_view given_name(size_t k) const {
    const uint64_t begin = k == 0 ? 0 : name_end_[k - 1];
    return std::string_view(names_.data() + begin, name_end_.at(k) - begin);
  }
  // Whether the k-th naming is the node's current name.
  bool naming_is_current(size_t k) const { return name_slot_[naming_order_.at(k)] == k; }

  // ---- traversals --------------------------------------------------------
  std::vector<NodeId> leaves() const;  // ascending id
  // Edges from each node up to the top of its component (the root for
  // attached nodes), by node id, in one pass.
  std::vector<uint32_t> depths() const;
  // Whether every node is reachable from the root.
  bool fully_connected() const;

  // Frees the columns one at a time, polling for cancellation in between:
  // unmapping a tree of millions of nodes takes tens of milliseconds. The
  // tree is then empty, with no root.
  void release_polled();
  // Nodes reachable from the root: the ids [0, connected_count()).
  uint64_t connected_count() const;

  NodeId check(NodeId v) const {
    if (v >= parent_.size()) throw_bad_id(v);
    return v;
  }

 private:
  friend class NewickReader;
  [[noreturn]] void throw_bad_id(NodeId v) const;

  static constexpr uint32_t kNoSlot = UINT32_MAX;

  NodeId add_node();
  // Sizes every column to n nodes: new nodes are unattached, unnamed, bare.
  void resize_nodes(size_t n);
  // Appends `child` to `parent`'s children after `last` (kNoNode: none yet).
  void attach(NodeId child, NodeId parent, NodeId last);
  // Names v with the bytes appended to names_ since the previous name.
  void name_last_bytes(NodeId v);

  std::vector<NodeId> parent_;
  std::vector<NodeId> first_child_;
  std::vector<NodeId> next_sibling_;
  std::vector<uint32_t> child_count_;
  std::vector<uint32_t> name_slot_;  // place in naming_order_, or kNoSlot
  std::vector<float> weight_;
  std::vector<uint8_t> has_weight_;
  // Names lie back to back in naming order: the k-th given name is
  // names_[name_end_[k - 1], name_end_[k]) (from 0 for the first).
  std::string names_;
  std::vector<uint64_t> name_end_;
  std::vector<NodeId> naming_order_;  // ids in the order names were given
};

// The name of every leaf (node without children) in ascending id, the order
// in which character-matrix rows are matched to leaves; nullopt for an
// unnamed leaf. Duplicated names all appear; named internal nodes do not.
// The views point into the tree.
std::vector<std::optional<std::string_view>> leaf_names(const Tree& tree);

// The failures a measure that needs every leaf pair's LCA raises, each
// where the classic Euler-tour build would meet it: a tree whose tour (2N - 1
// entries) would not fit 32-bit positions ("input too large for binary rmq"),
// and a node left outside the tree by an unclosed "(" ("node N does not occur
// in the Euler tour", the first such node).
void check_tour_size(const Tree& tree);
void check_connected(const Tree& tree);

}  // namespace cladorix
