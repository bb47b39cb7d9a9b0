// Exact triplet agreement by leaf name the obvious way: every one of the
// C(n, 3) triplets, with lowest common ancestors found by walking parents.
// For checking the fast counter on small trees only (cubic time).
#pragma once

#include <cstdint>
#include <map>

#include "tree/tree.hpp"

namespace reference {

using u128 = unsigned __int128;

struct BruteCounts {
  u128 triplets = 0, correct = 0, unresolved = 0, unresolved_correct = 0, resolvable_correct = 0;
  bool operator==(const BruteCounts&) const = default;
};

// Per depth of the tree-1 LCA of the three leaves (depths with no triplet
// are left out). Both trees must hold the same uniquely named leaves.
std::map<uint32_t, BruteCounts> brute_triplet_counts(const cladorix::Tree& t1,
                                                     const cladorix::Tree& t2);

}  // namespace reference
