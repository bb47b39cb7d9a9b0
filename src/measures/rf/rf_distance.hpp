// Robinson-Foulds distance over the leaf bipartitions of two trees.
#pragma once

#include <cstdint>
#include <optional>

#include "tree/tree.hpp"

namespace cladorix {

struct RfResult {
  uint64_t rf_distance = 0;
  double computation_time_ms = 0.0;
};

struct RfNormalizedResult {
  RfResult base;  // the distance and the run time of its computation
  double normalized_rf_distance = 0.0;
  uint64_t max_possible_rf = 0;
  uint64_t tree1_leaves = 0;  // distinct names of tree 1, internal names included
  uint64_t tree2_leaves = 0;
};

// Number of bipartitions found in exactly one of the two trees. Every node
// below the root (and a root without children) contributes its cluster of
// leaf names and the complement within all names of both trees. Throws
// InternalError for a leaf without a name.
RfResult rf_distance(const Tree& tree1, const Tree& tree2);
RfNormalizedResult rf_distance_normalized(const Tree& tree1, const Tree& tree2);

// The normalized fields for a distance between trees with `names1` and
// `names2` distinct names (run time left at 0).
RfNormalizedResult rf_normalized(uint64_t distance, uint64_t names1, uint64_t names2);

// The two ways the distance is computed, exposed for cross-checking:
// sides as intervals of a re-rooted post-order in linear time
// (bipartitions.hpp; absent when a tree repeats a leaf name), and clusters as
// explicit bit vectors (any input, quadratic memory).
std::optional<uint64_t> rf_distance_by_intervals(const Tree& tree1, const Tree& tree2);
uint64_t rf_distance_by_bitvecs(const Tree& tree1, const Tree& tree2);

}  // namespace cladorix
