// Counting every triplet of leaf positions without enumerating them.
//
// For positions i < j < k in depth-first leaf order,
//   d(i,k) = min(d(i,j), d(j,k)),
// so k is the outgroup when d(i,j) > d(j,k), i when d(i,j) < d(j,k), and the
// triplet is unresolved on a tie. For a middle leaf j, d(i,j) as i walks left
// and d(j,k) as k walks right are running minima of the adjacent-leaf depths:
// they change only where an adjacent depth is strictly below all before it.
// Those places form a chain of "next smaller" links per tree, so the runs of
// equal (tree 1, tree 2) depth pairs on each side are read off two chains,
// and since both run sequences descend in both trees, each left run finds
// its ties and agreements among the right runs with four forward-only
// pointers. A middle leaf costs O(runs left + runs right): O(n) at worst
// (caterpillars), about the leaf's depth on typical trees.
#pragma once

#include <cstdint>
#include <vector>

#include "measures/triplets/counters.hpp"
#include "tree/leaf_lca.hpp"

namespace cladorix {

class ExhaustiveTripletCounter {
 public:
  // Positions 0 .. n-1 of both trees; n may not exceed either leaf count.
  ExhaustiveTripletCounter(const LeafLca& lca1, const LeafLca& lca2, uint32_t n);

  uint32_t n() const noexcept { return n_; }
  // Middle leaves are 1 .. n-2; empty below three leaves.
  uint32_t middle_begin() const noexcept { return 1; }
  uint32_t middle_end() const noexcept { return n_ >= 3 ? n_ - 1 : 1; }

  // Counters over the triplets i < j < k whose middle leaf j is in
  // [begin, end). Disjoint ranges add up to the whole count. Thread-safe.
  TripletCounters count(uint32_t begin, uint32_t end) const;
  TripletCounters count_all() const { return count(middle_begin(), middle_end()); }

  // Estimated cost (weighted run steps) of the middle leaves in [begin, end).
  uint64_t work(uint32_t begin, uint32_t end) const;
  // Boundaries b_0 = middle_begin() < ... < b_m = middle_end() cutting the
  // middle leaves into at most `pieces` ranges of about equal work.
  std::vector<uint32_t> split(uint64_t pieces) const;

 private:
  uint32_t n_ = 0;
  const uint32_t* adj1_ = nullptr;  // adjacent-leaf LCA depths, n - 1 of them
  const uint32_t* adj2_ = nullptr;
  // Over the adjacent depths q = 0 .. n-2: the next q' > q whose depth is
  // strictly smaller (n - 1 when none), and the previous one plus one (0 when
  // none), per tree.
  std::vector<uint32_t> next1_, next2_, prev1_, prev2_;
  // work_prefix_[j] = work of middle leaves 1 .. j-1 (index 0 and 1 hold 0).
  std::vector<uint64_t> work_prefix_;
};

// Counters over every triplet of positions 0 .. n-1, on the calling thread.
TripletCounters exhaustive_triplet_counts(const LeafLca& lca1, const LeafLca& lca2, uint32_t n);

}  // namespace cladorix
