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
#include <optional>
#include <vector>

#include "tree/tree.hpp"

namespace cladorix {

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

// The four ratios of the sampled variants, with the triplets as denominator:
// all = correct / triplets, resolvable = resolvable_correct / (triplets -
// unresolved) (1.0 when every triplet is unresolved), unresolved =
// unresolved_correct / unresolved (1.0 when none is), proportion =
// unresolved / triplets. 0/0 is NaN, as there.
struct ExactTripletRatios {
  double all_triplets_correct;
  double resolvable_triplets_correct;
  double unresolved_triplets_correct;
  double proportion_unresolvable;
};
ExactTripletRatios exact_triplet_ratios(const ExactTripletCounts& c);

struct ExactTripletResult {
  std::vector<uint32_t> depths;              // ascending, each holding a triplet
  std::vector<ExactTripletCounts> by_depth;  // parallel to depths
  ExactTripletCounts overall;
  double computation_time_ms = 0.0;
};

// The whole measure. max_threads caps the share of the worker pool as in the
// pooled variants (absent: the whole pool; workers are the pool's unless
// given, so decisions can be tested for any count). Results never depend on
// the worker count.
ExactTripletResult triplets_correct_exact(const Tree& tree1, const Tree& tree2,
                                          std::optional<uint64_t> max_threads,
                                          std::optional<uint64_t> worker_count = std::nullopt);

}  // namespace cladorix
