// Exact triplet agreement by leaf name, over every triplet, per depth.
//
// Leaves are matched by name; tree 1 is the reference. Each of the C(n, 3)
// triplets is counted once, at the lowest common ancestor of its leaves in
// tree 1, whose depth (edges from the root) is the triplet's depth. Counts
// are 128-bit: C(n, 3) passes 2^64 near 4.8 million leaves.
//
// Both trees must be one rooted tree each, every leaf named, names unique
// within a tree, the same names in both; anything else is a CallerError that
// names the tree and the first offending name. Internal names are ignored;
// single-child nodes change nothing but depths.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "measures/triplets/counters.hpp"
#include "tree/tree.hpp"

namespace cladorix {

namespace exact {
struct Reference;
}

using u128 = unsigned __int128;

struct ExactTripletCounts {
  u128 triplets = 0;
  u128 correct = 0;             // the same outcome in both trees
  u128 unresolved = 0;          // unresolved in tree 1
  u128 unresolved_correct = 0;  // unresolved in both
  u128 resolvable_correct = 0;  // resolved in both, with the same outgroup

  ExactTripletCounts& operator+=(const ExactTripletCounts& o);
  bool operator==(const ExactTripletCounts&) const = default;
};

// The four ratios of every triplet variant (counters.hpp), with the
// triplets as denominator.
using ExactTripletRatios = TripletRatios;
ExactTripletRatios exact_triplet_ratios(const ExactTripletCounts& c);

struct ExactTripletResult {
  std::vector<uint32_t> depths;              // ascending, each holding a triplet
  std::vector<ExactTripletCounts> by_depth;  // parallel to depths
  ExactTripletCounts overall;
  double computation_time_ms = 0.0;
};

// Tree 1 prepared once for counts against any number of trees 2 (a reference
// scored against many reconstructions). It checks tree 1 as the count does
// (the same CallerErrors, tree 1's) and refers to it: the tree must outlive
// it. tree1_node_depths, when not empty, holds one depth per node of tree 1
// (by node id) to bin triplets by instead of the tree's own depths: for a
// reference pruned to the leaves it shares with another tree, the depths of
// the corresponding nodes of the whole reference.
class ExactReference {
 public:
  explicit ExactReference(const Tree& tree1, std::span<const uint32_t> tree1_node_depths = {});
  ~ExactReference();
  ExactReference(ExactReference&&) noexcept;
  ExactReference& operator=(ExactReference&&) noexcept;

  const exact::Reference& prepared() const noexcept { return *ref_; }

 private:
  std::unique_ptr<exact::Reference> ref_;
};

// The whole measure. max_threads caps the share of the worker pool as in the
// pooled variants (absent: the whole pool; workers are the pool's unless
// given, so decisions can be tested for any count). Results never depend on
// the worker count. tree1_node_depths as for ExactReference.
ExactTripletResult triplets_correct_exact(const Tree& tree1, const Tree& tree2,
                                          std::optional<uint64_t> max_threads,
                                          std::optional<uint64_t> worker_count = std::nullopt,
                                          std::span<const uint32_t> tree1_node_depths = {});

// The same against a prepared tree 1 (its checks already passed); the time
// reported is the count's alone.
ExactTripletResult triplets_correct_exact(const ExactReference& tree1, const Tree& tree2,
                                          std::optional<uint64_t> max_threads,
                                          std::optional<uint64_t> worker_count = std::nullopt);

}  // namespace cladorix
