// Every node's name reduced to a dense class number: equal names (byte for
// byte), equal class, across all the trees numbered together. Hashing each
// name once here lets everything after it work on plain arrays indexed by
// class. Keys view the trees' names, so the trees must outlive this.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "tree/tree.hpp"
#include "util/hash.hpp"

namespace cladorix {

class NameClasses {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  explicit NameClasses(const Tree& tree) : NameClasses({&tree}) {}
  // Classes are handed out in order of first appearance: tree by tree, then
  // by node id.
  explicit NameClasses(std::initializer_list<const Tree*> trees);

  // The class of node v's name in the first (or the given) tree; kNone for an
  // unnamed node.
  uint32_t of(NodeId v) const noexcept { return class_of_node_[0][v]; }
  uint32_t of(size_t tree, NodeId v) const noexcept { return class_of_node_[tree][v]; }
  const std::vector<uint32_t>& classes_of(size_t tree) const noexcept {
    return class_of_node_[tree];
  }
  // The class of `name`, or kNone when no node carries it.
  uint32_t find(std::string_view name) const noexcept;
  size_t count() const noexcept { return names_.size(); }

 private:
  std::vector<std::vector<uint32_t>> class_of_node_;  // per tree, per node
  std::vector<std::string_view> names_;               // by class
  // Open addressing: high half a hash tag, low half class + 1 (0: empty).
  std::vector<uint64_t> slots_;
};

}  // namespace cladorix
