#include "measures/triplets/exact_span_tree.hpp"

#include <algorithm>

namespace cladorix::exact {
namespace {

// Joins are scanned in blocks of this many; a sparse table covers whole
// blocks. It keeps the table at a sixteenth of a per-join table's size, and
// a query scans at most two partial blocks.
constexpr u32 kBlockShift = 5;
constexpr u32 kBlock = u32{1} << kBlockShift;

// Ascending order of node ids: a comparison sort for short lists, three
// passes of 11-bit counting sort for long ones.
void sort_ids(std::vector<u32>& ids, std::vector<u32>& scratch) {
  const size_t n = ids.size();
  if (n < 1024) {
    std::sort(ids.begin(), ids.end());
    return;
  }
  scratch.resize(n);
  u32 counts[3][2049] = {};
  for (u32 id : ids) {
    ++counts[0][(id & 0x7FF) + 1];
    ++counts[1][((id >> 11) & 0x7FF) + 1];
    ++counts[2][(id >> 22) + 1];
  }
  u32* from = ids.data();
  u32* to = scratch.data();
  for (u32 pass = 0; pass < 3; ++pass) {
    u32* c = counts[pass];
    for (u32 d = 0; d < 2048; ++d) c[d + 1] += c[d];
    const u32 shift = 11 * pass;
    for (size_t i = 0; i < n; ++i) to[c[(from[i] >> shift) & 0x7FF]++] = from[i];
    std::swap(from, to);
  }
  // Three passes leave the result in scratch.
  ids.swap(scratch);
}

}  // namespace

void SpanIndex::build(const SpanTree& span) {
  span_ = &span;
  const u32 m = span.size();
  child_offset_.assign(m + 1, 0);
  for (u32 v = 1; v < m; ++v) ++child_offset_[span.parent[v] + 1];
  for (u32 v = 0; v < m; ++v) child_offset_[v + 1] += child_offset_[v];
  children_.resize(m > 0 ? m - 1 : 0);
  {
    // Ascending ids fill each list in pre-order, so every list is sorted.
    std::vector<u32>& fill = first_leaf_;  // borrowed as cursors
    fill.assign(child_offset_.begin(), child_offset_.end() - 1);
    for (u32 v = 1; v < m; ++v) children_[fill[span.parent[v]]++] = v;
  }
  subtree_end_.resize(m);
  leaves_below_.assign(m, 0);
  first_leaf_.assign(m, 0);
  for (u32 k = 0; k < span.leaf_count(); ++k) {
    first_leaf_[span.leaves[k]] = k;
    leaves_below_[span.leaves[k]] = 1;
  }
  for (u32 v = m; v-- > 0;) {
    if (child_offset_[v] == child_offset_[v + 1]) {
      subtree_end_[v] = v + 1;
    } else {
      first_leaf_[v] = first_leaf_[children_[child_offset_[v]]];
      subtree_end_[v] = subtree_end_[children_[child_offset_[v + 1] - 1]];
    }
    if (v > 0) leaves_below_[span.parent[v]] += leaves_below_[v];
  }

  const u32 joins = static_cast<u32>(span.adjacent.size());
  keys_.resize(joins);
  for (u32 k = 0; k < joins; ++k) {
    const u32 node = span.adjacent[k];
    keys_[k] = (u64{span.key_depth[node]} << 32) | node;
  }
  blocks_ = (joins + kBlock - 1) >> kBlockShift;
  level_start_.clear();
  block_min_.clear();
  if (blocks_ == 0) return;
  level_start_.push_back(0);
  for (u32 b = 0; b < blocks_; ++b) {
    const u32 lo = b << kBlockShift, hi = std::min(joins, lo + kBlock);
    block_min_.push_back(*std::min_element(keys_.begin() + lo, keys_.begin() + hi));
  }
  for (u32 width = 2; width <= blocks_; width <<= 1) {
    const u32 prev = level_start_.back();
    const u32 count = blocks_ - width + 1;
    level_start_.push_back(static_cast<u32>(block_min_.size()));
    for (u32 b = 0; b < count; ++b)
      block_min_.push_back(std::min(block_min_[prev + b], block_min_[prev + b + width / 2]));
  }
}

u64 SpanIndex::min_key(u32 lo, u32 hi) const noexcept {
  const u32 bl = lo >> kBlockShift, bh = hi >> kBlockShift;
  u64 best = UINT64_MAX;
  if (bl == bh) {
    for (u32 k = lo; k <= hi; ++k) best = std::min(best, keys_[k]);
    return best;
  }
  for (u32 k = lo, end = (bl + 1) << kBlockShift; k < end; ++k) best = std::min(best, keys_[k]);
  for (u32 k = bh << kBlockShift; k <= hi; ++k) best = std::min(best, keys_[k]);
  if (bh > bl + 1) {
    const u32 a = bl + 1, count = bh - a;
    const u32 level = 31u - static_cast<u32>(__builtin_clz(count));
    const u64* row = block_min_.data() + level_start_[level];
    best = std::min({best, row[a], row[bh - (u32{1} << level)]});
  }
  return best;
}

u32 SpanIndex::child_toward(u32 v, u32 d) const noexcept {
  const u32* begin = children_.data() + child_offset_[v];
  const u32* end = children_.data() + child_offset_[v + 1];
  return *(std::upper_bound(begin, end, d) - 1);
}

u32 SpanIndex::leaf_lca(u32 i, u32 j) const noexcept { return static_cast<u32>(min_key(i, j - 1)); }

void SpanBuilder::build(const SpanIndex& index, const u32* positions, u32 count, SpanTree& out,
                        std::vector<u32>& origin) {
  const SpanTree& outer = index.span();
  const u32 k = count;
  nodes_.clear();
  for (u32 i = 0; i < k; ++i) nodes_.push_back(outer.leaves[positions[i]]);
  const u32 join_base = static_cast<u32>(nodes_.size());
  for (u32 i = 0; i + 1 < k; ++i) nodes_.push_back(index.leaf_lca(positions[i], positions[i + 1]));
  out.adjacent.assign(nodes_.begin() + join_base, nodes_.end());  // outer ids for now
  origin.assign(nodes_.begin(), nodes_.end());
  sort_ids(origin, sorted_);
  origin.erase(std::unique(origin.begin(), origin.end()), origin.end());

  if (local_.size() < outer.size()) local_.resize(outer.size(), kNone);
  const u32 m = static_cast<u32>(origin.size());
  for (u32 i = 0; i < m; ++i) local_[origin[i]] = i;
  out.parent.resize(m);
  out.key_depth.resize(m);
  out.leaf1.resize(m);
  // In pre-order, a node's parent is the nearest node before it that holds
  // it: one stack of the current root path finds them all.
  stack_.clear();
  for (u32 i = 0; i < m; ++i) {
    while (!stack_.empty() && !index.contains(origin[stack_.back()], origin[i])) stack_.pop_back();
    out.parent[i] = stack_.empty() ? kNone : stack_.back();
    stack_.push_back(i);
    out.key_depth[i] = outer.key_depth[origin[i]];
    out.leaf1[i] = outer.leaf1[origin[i]];
  }
  out.leaves.resize(k);
  for (u32 i = 0; i < k; ++i) out.leaves[i] = local_[nodes_[i]];
  for (u32& a : out.adjacent) a = local_[a];
  for (u32 node : origin) local_[node] = kNone;
}

}  // namespace cladorix::exact
