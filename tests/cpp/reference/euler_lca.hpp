// The classic LCA tables, kept as the reference the leaf-order LCA of the
// measures is checked against: the Euler tour, first occurrences, 64-bit
// tour depths and a sparse-table range minimum (BinaryRmq) with its own tie
// rules, built iteratively in linear time apart from the sparse table.
#pragma once

#include <cstdint>
#include <vector>

#include "tree/tree.hpp"

namespace cladorix::reference {

// Range minimum over n unsigned 64-bit values (n < 2^32). offsets()[j * L + i]
// is the offset from j of the minimum of the window of length 2^i starting at
// j. Building prefers the later position on ties; queries the earlier window.
class BinaryRmq {
 public:
  BinaryRmq() = default;
  // Throws InternalError("input too large for binary rmq") for n >= 2^32.
  static BinaryRmq from_vec(std::vector<uint64_t> values);

  // Position of a minimum in [lo, hi], both inclusive; needs lo <= hi < size().
  uint64_t range_min(uint64_t lo, uint64_t hi) const;

  size_t size() const noexcept { return data_.size(); }
  // L: 1 for a single value, ceil(log2 n) + 1 from two values on, 0 when empty.
  uint32_t levels() const noexcept { return levels_; }
  const std::vector<uint64_t>& data() const noexcept { return data_; }
  const std::vector<uint32_t>& offsets() const noexcept { return offsets_; }

 private:
  std::vector<uint64_t> data_;
  std::vector<uint32_t> offsets_;
  uint32_t levels_ = 0;
};

// The Euler tour of the subtree of `start`; when `start` has a parent the tour
// ends with it (a finished subtree reports its parent).
std::vector<NodeId> euler_walk_ids(const Tree& tree, NodeId start);

// Depth of every entry of the Euler tour from the root.
std::vector<uint64_t> depth_array(const Tree& tree);

// The precomputed tables of one tree: precompute_constant_time_lca.
class EulerLca {
 public:
  explicit EulerLca(const Tree& tree);

  // Position of the first occurrence of `id` in the tour.
  uint64_t get_fa_index(uint64_t id) const;
  // Node at tour position k.
  NodeId get_euler_pos(uint64_t k) const;
  NodeId get_lca_id(uint64_t a, uint64_t b) const;

  const std::vector<NodeId>& euler_tour() const noexcept { return euler_tour_; }
  const std::vector<uint64_t>& first_index() const noexcept { return first_index_; }
  const std::vector<uint64_t>& euler_depths() const noexcept { return euler_depths_; }
  const BinaryRmq& depth_rmq() const noexcept { return depth_rmq_; }

 private:
  std::vector<NodeId> euler_tour_;
  std::vector<uint64_t> first_index_;
  std::vector<uint64_t> euler_depths_;
  BinaryRmq depth_rmq_;
};

inline EulerLca precompute_constant_time_lca(const Tree& tree) { return EulerLca(tree); }

// One query without stored tables: builds them for this call alone, failing
// like the build does (a tree with an unclosed "(" fails whatever a and b).
NodeId get_lca_id(const Tree& tree, uint64_t a, uint64_t b);

}  // namespace cladorix::reference
