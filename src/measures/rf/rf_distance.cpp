// The by-name distance: checks, names numbered over both trees, then the
// prepared bipartitions compared; bit vectors where a leaf name repeats.
#include "measures/rf/rf_distance.hpp"

#include <algorithm>
#include <exception>
#include <unordered_set>
#include <vector>

#include "measures/rf/bipartitions.hpp"
#include "measures/rf/name_numbers.hpp"
#include "runtime/cancel.hpp"
#include "runtime/pool.hpp"
#include "tree/bitvec.hpp"
#include "tree/name_classes.hpp"
#include "util/clock.hpp"
#include "util/errors.hpp"
#include "util/huge_pages.hpp"

namespace cladorix {
namespace {

// Nodes reachable from the root are the ids [0, reachable) (tree.hpp).
void require_named_leaves(const Tree& t, NodeId reachable) {
  CancelPoller poll;
  const auto& child_count = t.child_counts();
  for (NodeId v = 0; v < reachable; ++v) {
    if (child_count[v] == 0 && !t.has_name(v))
      fail("Robinson-Foulds distance needs every leaf to be named; node " + std::to_string(v) +
           " has no name");
    poll.tick(2);
  }
}

// Every name of either tree (every named node, attached or not) numbered by
// one table: the numbering of the bit-vector path, which needs no particular
// order but takes repeated leaf names.
struct NameIds {
  std::vector<uint32_t> of[2];  // per node; NameClasses::kNone for unnamed nodes
  uint32_t count = 0;           // distinct names of both trees
  uint64_t distinct[2] = {0, 0};
};

NameIds number_all_names(const Tree& t1, const Tree& t2) {
  NameClasses classes({&t1, &t2});
  NameIds ids;
  ids.count = static_cast<uint32_t>(classes.count());
  std::vector<uint8_t> seen;
  CancelPoller poll;
  for (size_t t = 0; t < 2; ++t) {
    seen.assign(ids.count, 0);
    for (uint32_t c : classes.classes_of(t)) {
      if (c != NameClasses::kNone && !seen[c]) {
        seen[c] = 1;
        ++ids.distinct[t];
      }
      poll.tick(8);
    }
    ids.of[t] = classes.classes_of(t);
  }
  return ids;
}

// Runs f(0) and f(1), side by side on the worker pool when asked; a failure
// of f(0) is the one reported when both fail, as if run in turn.
template <class F>
void for_both(bool side_by_side, F&& f) {
  if (!side_by_side) {
    f(0);
    f(1);
    return;
  }
  std::exception_ptr errors[2];
  WorkerPool::global().run(2, [&](size_t i) {
    try {
      f(i);
    } catch (...) {
      errors[i] = std::current_exception();
    }
  });
  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
}

// Trees this large (nodes of both) use two workers.
constexpr uint64_t kSideBySideNodes = uint64_t{1} << 17;

// ---- bit-vector path -----------------------------------------------------

using SplitSet = std::unordered_set<BitVec, BitVecHash>;

SplitSet bitvec_splits(const Tree& t, NodeId reachable, const std::vector<uint32_t>& ids,
                       uint64_t n) {
  SplitSet out;
  // Clusters live until their parent has used them; children come before
  // parents in reverse id order.
  std::vector<std::optional<BitVec>> cluster(reachable);
  CancelPoller poll;
  for (NodeId v = reachable; v-- > 0;) {
    if (v == 0 && !t.is_leaf(0)) continue;  // the root gives no bipartition
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

uint64_t distance_by_bitvecs(const Tree& t1, const Tree& t2, const NodeId reachable[2],
                             const NameIds& ids) {
  SplitSet s1 = bitvec_splits(t1, reachable[0], ids.of[0], ids.count);
  SplitSet s2 = bitvec_splits(t2, reachable[1], ids.of[1], ids.count);
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

// The bit-vector path (its distance only when asked for).
Outcome by_name_classes(const Tree& t1, const Tree& t2, const NodeId reachable[2], Path path) {
  const NameIds ids = number_all_names(t1, t2);
  Outcome out;
  out.names1 = ids.distinct[0];
  out.names2 = ids.distinct[1];
  if (path != Path::Intervals) out.distance = distance_by_bitvecs(t1, t2, reachable, ids);
  return out;
}

Outcome distance(const Tree& t1, const Tree& t2, Path path) {
  const Tree* trees[2] = {&t1, &t2};
  const bool side_by_side = uint64_t{t1.size()} + t2.size() >= kSideBySideNodes &&
                            WorkerPool::global().worker_count() >= 2;
  NodeId reachable[2];
  const unsigned bits = NameBuckets::bits_for(t1.naming_order().size(), t2.naming_order().size());
  std::optional<NameBuckets> buckets[2];
  for_both(side_by_side, [&](size_t i) {
    reachable[i] = static_cast<NodeId>(trees[i]->connected_count());
    require_named_leaves(*trees[i], reachable[i]);
    buckets[i].emplace(*trees[i], reachable[i], bits, i == 0);
  });
  Outcome out;
  {
    NameNumbers ids(*buckets[0], *buckets[1], side_by_side ? 2 : 1);
    if (!ids.usable) return by_name_classes(t1, t2, reachable, path);
    out.names1 = ids.distinct[0];
    out.names2 = ids.distinct[1];
    if (path != Path::BitVecs) {
      std::optional<Bipartitions> splits[2];
      for_both(side_by_side, [&](size_t i) {
        if (i == 1) {
          const std::vector<uint32_t> of2 = ids.numbers2();
          splits[1] = Bipartitions::of_node_numbers(t2, of2, ids.count, false);
          return;
        }
        // Tree 1's reachable leaves are numbered by their order.
        std::vector<uint32_t> of1;
        reserve_huge(of1, t1.size());
        resize_polled(of1, t1.size(), NameNumbers::kUnnamed);
        const uint32_t* child_count = t1.child_counts().data();
        for (NodeId v = 0, leaf = 0; v < reachable[0]; ++v) {
          of1[v] = child_count[v] == 0 ? leaf : NameNumbers::kUnnamed;
          leaf += child_count[v] == 0;
        }
        splits[0] = Bipartitions::of_node_numbers(t1, of1, ids.count, true);
      });
      buckets[1].reset();
      if (splits[0] && splits[1]) out.distance = rf_distance(*splits[0], *splits[1]);
    }
  }
  if (!out.distance && path != Path::Intervals) return by_name_classes(t1, t2, reachable, path);
  return out;
}

}  // namespace

RfResult rf_distance(const Tree& tree1, const Tree& tree2) {
  return rf_distance_normalized(tree1, tree2).base;
}

RfNormalizedResult rf_normalized(uint64_t distance, uint64_t names1, uint64_t names2) {
  RfNormalizedResult r;
  r.base.rf_distance = distance;
  r.tree1_leaves = names1;
  r.tree2_leaves = names2;
  const uint64_t m = std::min(names1, names2);
  r.max_possible_rf = m < 3 ? 1 : 2 * m - 6;
  r.normalized_rf_distance = r.max_possible_rf != 0 ? static_cast<double>(distance) /
                                                          static_cast<double>(r.max_possible_rf)
                                                    : 0.0;
  return r;
}

RfNormalizedResult rf_distance_normalized(const Tree& tree1, const Tree& tree2) {
  const Instant start = monotonic_now();
  const Outcome o = distance(tree1, tree2, Path::Any);
  RfNormalizedResult r = rf_normalized(*o.distance, o.names1, o.names2);
  r.base.computation_time_ms = elapsed_ms(start, monotonic_now());
  return r;
}

std::optional<uint64_t> rf_distance_by_intervals(const Tree& tree1, const Tree& tree2) {
  return distance(tree1, tree2, Path::Intervals).distance;
}

uint64_t rf_distance_by_bitvecs(const Tree& tree1, const Tree& tree2) {
  return *distance(tree1, tree2, Path::BitVecs).distance;
}

}  // namespace cladorix
