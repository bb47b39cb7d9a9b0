#include "measures/rf/rf_distance.hpp"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "runtime/cancel.hpp"
#include "tree/bitvec.hpp"
#include "tree/name_classes.hpp"
#include "util/clock.hpp"
#include "util/errors.hpp"
#include "util/u64_set.hpp"

namespace cladorix {
namespace {

// Nodes reachable from the root (an unclosed "(" leaves nodes outside it).
std::vector<uint8_t> reachable(const Tree& t) {
  const auto& parent = t.parents();
  std::vector<uint8_t> reach(t.size(), 0);
  reach[0] = 1;
  CancelPoller poll;
  for (NodeId v = 1; v < t.size(); ++v) reach[v] = parent[v] != kNoNode && reach[parent[v]];
  poll.tick(4 * uint64_t{t.size()});
  return reach;
}

void require_named_leaves(const Tree& t, const std::vector<uint8_t>& reach) {
  CancelPoller poll;
  for (NodeId v = 0; v < t.size(); ++v)
    if (reach[v] && t.is_leaf(v) && !t.has_name(v))
      fail("Robinson-Foulds distance needs every leaf to be named; node " + std::to_string(v) +
           " has no name");
  poll.tick(4 * uint64_t{t.size()});
}

// Whether node v contributes a bipartition: every reachable node but a root
// with children.
inline bool contributes(const Tree& t, const std::vector<uint8_t>& reach, NodeId v) {
  return reach[v] && (v != 0 || t.is_leaf(0));
}

// Every name of either tree (every named node, attached or not) gets one
// number, so that the rest of the computation never hashes a name again.
struct NameIds {
  std::vector<uint32_t> of1, of2;  // per node; kNoName for unnamed nodes
  uint32_t count = 0;              // distinct names of both trees
  uint64_t distinct1 = 0, distinct2 = 0;
};

constexpr uint32_t kNoName = NameClasses::kNone;

NameIds number_all_names(const Tree& t1, const Tree& t2) {
  NameClasses classes({&t1, &t2});
  NameIds ids;
  ids.count = static_cast<uint32_t>(classes.count());
  std::vector<uint8_t> seen;
  CancelPoller poll;
  auto distinct = [&](const std::vector<uint32_t>& of) {
    seen.assign(ids.count, 0);
    uint64_t d = 0;
    for (uint32_t c : of) {
      if (c != kNoName && !seen[c]) {
        seen[c] = 1;
        ++d;
      }
      poll.tick(8);
    }
    return d;
  };
  ids.distinct1 = distinct(classes.classes_of(0));
  ids.distinct2 = distinct(classes.classes_of(1));
  ids.of1 = classes.classes_of(0);
  ids.of2 = classes.classes_of(1);
  return ids;
}

// ---- linear path ---------------------------------------------------------
//
// With the names of one tree's leaves numbered in its DFS order, every
// cluster of that tree is an interval, and so is the side of every
// bipartition that does not hold name 0 (a cluster holding name 0 is a
// prefix; its complement is a suffix of all names). Such a side is the key of
// its bipartition. Another tree's bipartition is known to the first exactly
// when its side without name 0 is an interval whose key the first recorded.

constexpr uint64_t kEmptySide = (uint64_t{1} << 32);  // lo 1, hi 0: no interval has it

inline uint64_t interval_key(uint32_t lo, uint32_t hi) { return (uint64_t{lo} << 32) | hi; }

// Positions of all names: this tree's reachable leaves in DFS order first,
// then every other name. Empty when a name repeats among those leaves.
std::vector<uint32_t> positions(const Tree& own, const std::vector<uint8_t>& reach,
                                const std::vector<uint32_t>& own_ids, uint32_t count) {
  std::vector<uint32_t> pos(count, kNoName);
  uint32_t next = 0;
  CancelPoller poll;
  for (NodeId v = 0; v < own.size(); ++v) {
    poll.tick(8);
    if (!reach[v] || !own.is_leaf(v)) continue;
    uint32_t& p = pos[own_ids[v]];
    if (p != kNoName) return {};
    p = next++;
  }
  for (uint32_t& p : pos)
    if (p == kNoName) p = next++;
  return pos;
}

// Each node's leaf-position interval under a numbering.
void intervals(const Tree& t, const std::vector<uint8_t>& reach, const std::vector<uint32_t>& ids,
               const std::vector<uint32_t>& pos, std::vector<uint32_t>& lo,
               std::vector<uint32_t>& hi) {
  lo.assign(t.size(), UINT32_MAX);
  hi.assign(t.size(), 0);
  const auto& parent = t.parents();
  CancelPoller poll;
  for (NodeId v = static_cast<NodeId>(t.size()); v-- > 0;) {
    poll.tick(8);
    if (!reach[v]) continue;
    if (t.is_leaf(v)) lo[v] = hi[v] = pos[ids[v]];
    if (v != 0) {
      NodeId p = parent[v];
      lo[p] = std::min(lo[p], lo[v]);
      hi[p] = std::max(hi[p], hi[v]);
    }
  }
}

inline uint64_t side_key(uint32_t lo, uint32_t hi, uint32_t n) {
  if (lo != 0) return interval_key(lo, hi);
  return hi + 1 < n ? interval_key(hi + 1, n - 1) : kEmptySide;
}

std::optional<uint64_t> distance_by_intervals(const Tree& t1, const Tree& t2,
                                              const std::vector<uint8_t>& reach1,
                                              const std::vector<uint8_t>& reach2,
                                              const NameIds& ids) {
  const uint32_t n = ids.count;
  const std::vector<uint32_t> pos1 = positions(t1, reach1, ids.of1, n);
  if (pos1.empty() && n > 0) return std::nullopt;
  const std::vector<uint32_t> pos2 = positions(t2, reach2, ids.of2, n);
  if (pos2.empty() && n > 0) return std::nullopt;

  std::vector<uint32_t> lo, hi;
  CancelPoller poll;

  // Tree 1: its bipartitions as keys.
  intervals(t1, reach1, ids.of1, pos1, lo, hi);
  U64Set known(t1.size());
  for (NodeId v = 0; v < t1.size(); ++v) {
    if (contributes(t1, reach1, v)) known.insert(side_key(lo[v], hi[v], n));
    poll.tick(32);
  }
  const uint64_t count1 = known.size();

  // Tree 2 under tree 1's numbering: interval test for sides without name 0.
  const auto& parent2 = t2.parents();
  std::vector<uint32_t> min1(t2.size(), UINT32_MAX), max1(t2.size(), 0), leaves(t2.size(), 0);
  std::vector<uint8_t> has0(t2.size(), 0);
  NodeId leaf0 = kNoNode;  // tree 2's leaf bearing name 0, if any
  for (NodeId v = static_cast<NodeId>(t2.size()); v-- > 0;) {
    poll.tick(16);
    if (!reach2[v]) continue;
    if (t2.is_leaf(v)) {
      const uint32_t p = pos1[ids.of2[v]];
      min1[v] = max1[v] = p;
      leaves[v] = 1;
      if (p == 0) {
        has0[v] = 1;
        leaf0 = v;
      }
    }
    if (v != 0) {
      NodeId p = parent2[v];
      min1[p] = std::min(min1[p], min1[v]);
      max1[p] = std::max(max1[p], max1[v]);
      leaves[p] += leaves[v];
      has0[p] |= has0[v];
    }
  }
  std::vector<uint8_t> in_known(t2.size(), 0);
  for (NodeId v = 0; v < t2.size(); ++v) {
    poll.tick(32);
    if (!contributes(t2, reach2, v) || has0[v]) continue;
    if (max1[v] - min1[v] + 1 == leaves[v])
      in_known[v] = known.contains(interval_key(min1[v], max1[v]));
  }
  // Sides of clusters holding name 0 are complements; their clusters are the
  // ancestors of leaf0 and grow upwards, so the smallest and largest names
  // outside them only move inwards: two pointers over one membership array.
  if (leaf0 != kNoNode) {
    std::vector<uint8_t> inside(n, 0);
    uint32_t size = 0, first_out = 0, last_out = n - 1;
    NodeId covered_begin = leaf0, covered_end = leaf0;  // ids already added
    auto add_range = [&](NodeId b, NodeId e) {
      poll.tick(8 * uint64_t{e > b ? e - b : 0});
      for (NodeId u = b; u < e; ++u)
        if (reach2[u] && t2.is_leaf(u)) {
          const uint32_t p = pos1[ids.of2[u]];
          if (!inside[p]) {
            inside[p] = 1;
            ++size;
          }
        }
    };
    // Subtree end ids: the subtree of v is [v, end[v]).
    std::vector<NodeId> end(t2.size());
    for (NodeId v = static_cast<NodeId>(t2.size()); v-- > 0;) end[v] = v + 1;
    for (NodeId v = static_cast<NodeId>(t2.size()); v-- > 1;) {
      if (reach2[v]) end[parent2[v]] = std::max(end[parent2[v]], end[v]);
      poll.tick(8);
    }
    for (NodeId w = leaf0;; w = parent2[w]) {
      poll.tick(32);
      add_range(w, covered_begin);
      add_range(covered_end, end[w]);
      covered_begin = w;
      covered_end = std::max(covered_end, end[w]);
      if (contributes(t2, reach2, w)) {
        uint64_t key = kEmptySide;
        if (size < n) {
          while (inside[first_out]) ++first_out;
          while (inside[last_out]) --last_out;
          if (last_out - first_out + 1 == n - size)
            key = interval_key(first_out, last_out);
          else
            key = U64Set::kEmpty;
        }
        in_known[w] = key != U64Set::kEmpty && known.contains(key);
      }
      if (w == 0) break;
    }
  }

  // Tree 2's own numbering tells its distinct bipartitions apart.
  intervals(t2, reach2, ids.of2, pos2, lo, hi);
  U64Set seen(t2.size()), shared(t2.size());
  for (NodeId v = 0; v < t2.size(); ++v) {
    poll.tick(64);
    if (!contributes(t2, reach2, v)) continue;
    const uint64_t key = side_key(lo[v], hi[v], n);
    seen.insert(key);
    if (in_known[v]) shared.insert(key);
  }
  return count1 + seen.size() - 2 * shared.size();
}

// ---- bit-vector path -----------------------------------------------------

using SplitSet = std::unordered_set<BitVec, BitVecHash>;

SplitSet bitvec_splits(const Tree& t, const std::vector<uint8_t>& reach,
                       const std::vector<uint32_t>& ids, uint64_t n) {
  SplitSet out;
  // Clusters live until their parent has used them; children come before
  // parents in reverse id order.
  std::vector<std::optional<BitVec>> cluster(t.size());
  CancelPoller poll;
  for (NodeId v = static_cast<NodeId>(t.size()); v-- > 0;) {
    if (!contributes(t, reach, v)) continue;
    poll.tick(n / 16 + t.child_count(v) * (n / 64 + 1));
    BitVec c = BitVec::from_zeros(n);
    BitVec k = BitVec::from_ones(n);
    if (!t.is_leaf(v)) {
      t.for_each_child(v, [&](NodeId ch) {
        c.or_assign(*cluster[ch]);
        cluster[ch].reset();
      });
    } else {
      c.flip(ids[v]);
    }
    k.xor_assign(c);
    out.insert(c);
    out.insert(std::move(k));
    cluster[v] = std::move(c);
  }
  return out;
}

uint64_t distance_by_bitvecs(const Tree& t1, const Tree& t2, const std::vector<uint8_t>& reach1,
                             const std::vector<uint8_t>& reach2, const NameIds& ids) {
  SplitSet s1 = bitvec_splits(t1, reach1, ids.of1, ids.count);
  SplitSet s2 = bitvec_splits(t2, reach2, ids.of2, ids.count);
  uint64_t d = 0;
  for (const BitVec& b : s1) d += !s2.count(b);
  for (const BitVec& b : s2) d += !s1.count(b);
  return d / 2;
}

enum class Path { Any, Intervals, BitVecs };

struct Outcome {
  std::optional<uint64_t> distance;
  uint64_t names1 = 0, names2 = 0;  // distinct names of each tree
};

Outcome distance(const Tree& t1, const Tree& t2, Path path) {
  const std::vector<uint8_t> reach1 = reachable(t1), reach2 = reachable(t2);
  require_named_leaves(t1, reach1);
  require_named_leaves(t2, reach2);
  const NameIds ids = number_all_names(t1, t2);
  Outcome out;
  out.names1 = ids.distinct1;
  out.names2 = ids.distinct2;
  if (path != Path::BitVecs) out.distance = distance_by_intervals(t1, t2, reach1, reach2, ids);
  if (!out.distance && path != Path::Intervals)
    out.distance = distance_by_bitvecs(t1, t2, reach1, reach2, ids);
  return out;
}

}  // namespace

RfResult rf_distance(const Tree& tree1, const Tree& tree2) {
  return rf_distance_normalized(tree1, tree2).base;
}

RfNormalizedResult rf_distance_normalized(const Tree& tree1, const Tree& tree2) {
  RfNormalizedResult r;
  const Instant start = monotonic_now();
  {
    const Outcome o = distance(tree1, tree2, Path::Any);
    r.base.rf_distance = *o.distance;
    r.tree1_leaves = o.names1;
    r.tree2_leaves = o.names2;
  }
  r.base.computation_time_ms = elapsed_ms(start, monotonic_now());
  const uint64_t m = std::min(r.tree1_leaves, r.tree2_leaves);
  r.max_possible_rf = m < 3 ? 1 : 2 * m - 6;
  r.normalized_rf_distance = r.max_possible_rf != 0 ? static_cast<double>(r.base.rf_distance) /
                                                          static_cast<double>(r.max_possible_rf)
                                                    : 0.0;
  return r;
}

std::optional<uint64_t> rf_distance_by_intervals(const Tree& tree1, const Tree& tree2) {
  return distance(tree1, tree2, Path::Intervals).distance;
}

uint64_t rf_distance_by_bitvecs(const Tree& tree1, const Tree& tree2) {
  return *distance(tree1, tree2, Path::BitVecs).distance;
}

}  // namespace cladorix
