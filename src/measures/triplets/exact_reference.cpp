#include "measures/triplets/exact_reference.hpp"

#include <algorithm>
#include <string>

#include "measures/triplets/exact_checks.hpp"
#include "runtime/cancel.hpp"
#include "util/errors.hpp"
#include "util/hash.hpp"
#include "util/huge_pages.hpp"

namespace cladorix::exact {
namespace {

u128 choose3(u128 x) { return x < 3 ? 0 : x * (x - 1) * (x - 2) / 6; }

}  // namespace

void LeafNames::build(const Tree& tree, const std::vector<NodeId>& leaves) {
  names_.resize(leaves.size());
  size_t size = 16;
  while (size < 2 * leaves.size()) size <<= 1;
  slots_.assign(size, 0);
  const size_t mask = size - 1;
  // Hashed first, a sequential sweep over the names, so the probes (at
  // random in a table larger than the cache) can be fetched ahead.
  std::vector<uint64_t> hashes(leaves.size());
  CancelPoller poll;
  for (size_t p = 0; p < leaves.size(); ++p) {
    names_[p] = tree.name(leaves[p]);
    hashes[p] = hash_bytes(names_[p]);
    poll.tick(names_[p].size() / 4 + 16);
  }
  constexpr size_t kAhead = 16;
  for (u32 p = 0; p < leaves.size(); ++p) {
    if (p + kAhead < leaves.size()) __builtin_prefetch(&slots_[hashes[p + kAhead] & mask], 1);
    const uint64_t h = hashes[p];
    const uint64_t tag = h >> 32;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      const uint64_t slot = slots_[i];
      if (slot == 0) {
        slots_[i] = (tag << 32) | (uint64_t{p} + 1);
        break;
      }
      if ((slot >> 32) == tag && names_[static_cast<u32>(slot) - 1] == names_[p])
        duplicate_leaf("tree1", names_[p]);
    }
    poll.tick(48);
  }
}

void LeafNames::find(const Tree& tree, const NodeId* at, const uint64_t* hash, size_t count,
                     u32* out) const {
  const size_t mask = slots_.size() - 1;
  constexpr size_t kSlot = 24, kName = 12, kBytes = 6;  // how far ahead each fetch runs
  const auto candidate = [&](size_t i) {
    const uint64_t slot = slots_[hash[i] & mask];
    return slot == 0 ? kNone : static_cast<u32>(slot) - 1;
  };
  CancelPoller poll;
  for (size_t i = 0; i < count; ++i) {
    if (i + kSlot < count) __builtin_prefetch(&slots_[hash[i + kSlot] & mask]);
    if (i + kName < count)
      if (const u32 c = candidate(i + kName); c != kNone) __builtin_prefetch(&names_[c]);
    if (i + kBytes < count)
      if (const u32 c = candidate(i + kBytes); c != kNone) __builtin_prefetch(names_[c].data());
    const uint64_t tag = hash[i] >> 32;
    const std::string_view name = tree.name(at[i]);
    u32 found = kNone;
    for (size_t k = hash[i] & mask;; k = (k + 1) & mask) {
      const uint64_t slot = slots_[k];
      if (slot == 0) break;
      const u32 p = static_cast<u32>(slot) - 1;
      if ((slot >> 32) == tag && names_[p] == name) {
        found = p;
        break;
      }
    }
    out[i] = found;
    poll.tick(48);
  }
}

Reference::Reference(const Tree& t, std::span<const uint32_t> node_depths, bool shapes_later)
    : tree(&t) {
  check_one_tree(t, "tree1");
  if (!node_depths.empty() && node_depths.size() != t.size())
    throw CallerError("tree1_node_depths holds " + std::to_string(node_depths.size()) +
                      " depths for a tree of " + std::to_string(t.size()) + " nodes");
  leaf_node = t.leaves();
  leaf_count = static_cast<u32>(leaf_node.size());
  check_named_leaves(t, leaf_node, "tree1");
  names.build(t, leaf_node);

  const u32 n = static_cast<u32>(t.size());
  const auto& parent = t.parents();
  const auto& first_child = t.first_children();
  const auto& next_sibling = t.next_siblings();
  for (auto* column : {&leaves_below, &first_leaf, &heavy}) reserve_huge(*column, n);
  leaves_below.assign(n, 0);
  first_leaf.assign(n, 0);
  heavy.assign(n, kNone);
  for (u32 p = 0; p < leaf_count; ++p) first_leaf[leaf_node[p]] = p;
  // Ids are a pre-order, so children come after their parent: one pass up.
  for (u32 v = n; v-- > 0;) {
    if (first_child[v] == kNone) {
      leaves_below[v] = 1;
    } else {
      first_leaf[v] = first_leaf[first_child[v]];
      u32 best = 0;
      for (u32 c = first_child[v]; c != kNone; c = next_sibling[c])
        if (leaves_below[c] > best) best = leaves_below[c], heavy[v] = c;
    }
    if (v > 0) leaves_below[parent[v]] += leaves_below[v];
  }
  depth = t.depths();
  // The count's tasks: the root's heavy path and every light child of three
  // leaves or more.
  for (u32 v = 0; v < n; ++v)
    if ((v == 0 || heavy[parent[v]] != v) && leaves_below[v] >= 3) task_leaves += leaves_below[v];
  if (!node_depths.empty()) given_bins.assign(node_depths.begin(), node_depths.end());
  bin = given_bins.empty() ? depth.data() : given_bins.data();

  // The join of two leaves adjacent in pre-order is the first ancestor of the
  // second below the first in id: ids between them are that ancestor's path.
  adjacent.resize(leaf_count > 0 ? leaf_count - 1 : 0);
  for (u32 p = 0; p + 1 < leaf_count; ++p) {
    u32 a = leaf_node[p + 1];
    while (parent[a] > leaf_node[p]) a = parent[a];
    adjacent[p] = parent[a];
  }

  for (u32 v = 0; v < n; ++v)
    if (t.child_count(v) >= 2) bins = std::max(bins, bin[v] + 1);
  if (!shapes_later) count_shapes();
}

void Reference::count_shapes() {
  // At a node with children of sizes s_i: C(sum, 3) - sum C(s_i, 3)
  // triplets, e3(s) of them (one leaf from each of three children)
  // unresolved.
  const Tree& t = *tree;
  const auto& first_child = t.first_children();
  const auto& next_sibling = t.next_siblings();
  triplets.assign(bins, 0);
  unresolved.assign(bins, 0);
  CancelPoller poll;
  for (u32 v = 0; v < t.size(); ++v) {
    if (t.child_count(v) < 2) continue;
    u128 e1 = 0, e2 = 0, e3 = 0, inner = 0;
    for (u32 c = first_child[v]; c != kNone; c = next_sibling[c]) {
      const u128 x = leaves_below[c];
      e3 += e2 * x;
      e2 += e1 * x;
      e1 += x;
      inner += choose3(x);
    }
    triplets[bin[v]] += choose3(e1) - inner;
    unresolved[bin[v]] += e3;
    poll.tick(4 * t.child_count(v));
  }
}

}  // namespace cladorix::exact
