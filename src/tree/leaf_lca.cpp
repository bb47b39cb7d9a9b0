#include "tree/leaf_lca.hpp"

#include <algorithm>
#include <utility>

#include "runtime/cancel.hpp"
#include "util/errors.hpp"

namespace cladorix {

MinSparseTable::MinSparseTable(std::vector<uint32_t> values) : size_(values.size()) {
  if (size_ == 0) return;
  if (size_ > UINT32_MAX) fail("too many values for the leaf sparse table");
  // Level k stores the minima of the n - 2^k + 1 windows of length 2^k.
  size_t total = 0;
  for (size_t w = 1; w <= size_; w <<= 1) {
    level_start_.push_back(total);
    total += size_ - w + 1;
  }
  // Level by level, so that the fresh memory is first touched between polls.
  table_.reserve(total);
  table_.assign(values.begin(), values.end());
  CancelPoller poll;
  for (size_t k = 1; k < level_start_.size(); ++k) {
    poll.tick(size_);
    const size_t half = size_t{1} << (k - 1);
    const size_t count = size_ - (half << 1) + 1;
    resize_polled(table_, level_start_[k] + count);
    const uint32_t* prev = table_.data() + level_start_[k - 1];
    uint32_t* cur = table_.data() + level_start_[k];
    for (size_t j = 0; j < count; ++j) cur[j] = std::min(prev[j], prev[j + half]);
  }
}

LeafLca::LeafLca(const Tree& tree) {
  const size_t n = tree.size();
  const auto& parent = tree.parents();
  const auto& child_count = tree.child_counts();
  const auto& first_child = tree.first_children();

  CancelPoller poll;
  depth_.assign(n, 0);
  for (NodeId v = 1; v < n; ++v) {
    if (parent[v] == kNoNode) fail("leaf LCA needs a tree whose nodes all hang from the root");
    depth_[v] = depth_[parent[v]] + 1;
  }
  poll.tick(4 * uint64_t{n});

  // Subtree sizes from the children up: children have larger ids.
  subtree_end_.assign(n, 1);
  for (NodeId v = static_cast<NodeId>(n); v-- > 1;) subtree_end_[parent[v]] += subtree_end_[v];
  poll.tick(4 * uint64_t{n});
  for (NodeId v = 0; v < n; ++v) subtree_end_[v] += v;

  for (NodeId v = 0; v < n; ++v)
    if (child_count[v] == 0) leaves_.push_back(v);
  poll.tick(4 * uint64_t{n});

  // An internal node's first leaf is its first child's (the next id).
  first_leaf_.assign(n, 0);
  uint32_t pos = leaf_count();
  for (NodeId v = static_cast<NodeId>(n); v-- > 0;) {
    if (child_count[v] == 0) --pos;
    first_leaf_[v] = pos;
  }
  poll.tick(4 * uint64_t{n});

  // Consecutive leaves l_k, l_{k+1} meet at the parent of the child subtree
  // that l_{k+1} opens: the one ancestor-or-self of l_{k+1} that is not its
  // parent's first child and sits just below the LCA.
  if (leaves_.size() >= 2) {
    adjacent_.assign(leaves_.size() - 1, 0);
    for (NodeId v = 1; v < n; ++v) {
      NodeId p = parent[v];
      if (first_child[p] != v) adjacent_[first_leaf_[v] - 1] = depth_[p];
    }
    poll.tick(8 * uint64_t{n});
  }
  table_ = MinSparseTable(adjacent_);
}

}  // namespace cladorix
