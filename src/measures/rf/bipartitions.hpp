// A tree's bipartitions of a numbered name set, prepared once so that two
// trees compare in linear time with plain arrays (no hashing).
//
// For comparing many trees over one leaf set: number the leaf names 0..n-1
// once (the caller checks that every leaf is named, that names do not
// repeat and that the trees share their leaves, or prunes them to the shared
// ones), build a Bipartitions per tree, then call rf_distance on any pair:
//
//   // numbers1[k]: the number of leaf_names(tree1)[k]; likewise numbers2
//   const Bipartitions b1(tree1, numbers1, n), b2(tree2, numbers2, n);
//   const uint64_t d = rf_distance(b1, b2);  // == rf_distance(tree1, tree2).rf_distance
//   const RfNormalizedResult r = rf_normalized(d, n, n);  // the normalized fields
//
// What is counted is what rf_distance(const Tree&, const Tree&) counts: every
// node below the root (and a root without children) gives the bipartition
// {its cluster of leaf names, the other names}; a bipartition written more
// than once (a single-child node and its child, the two sides under a root
// with two children, a cluster of every name under a single-child root) is
// held once; the distance is the number held by exactly one tree. When the
// trees carry no internal names and the numbers are those of their leaf
// names, the results equal those of the by-name functions on the same trees,
// normalized fields included. (A leaf left outside the tree by an unclosed
// "(" is numbered like any other; it then only sits on the far side of
// bipartitions, as the by-name functions have it.)
//
// A Bipartitions is immutable once built: rf_distance may compare the same
// ones from several threads at once. It holds about 4 bytes per node and 12
// per name; a comparison reads b's tokens once and looks each leaf up in
// a's arrays.
//
// How: each bipartition is held by its side without name 0, and the tree is
// written as a post-order sequence of tokens from name 0's leaf (the tree
// re-rooted there; names that are no leaf of the tree are in every side
// that holds the old root). Every side is then a run of consecutive names of
// the sequence, an interval of ranks, and the sides of a tree form a
// laminar family, so an interval is found in two arrays indexed by its ends.
// The other tree's sides are checked by the minimum, maximum and count of
// their ranks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tree/tree.hpp"

namespace cladorix {

class Bipartitions {
 public:
  // Numbers are below kNameLimit.
  static constexpr uint32_t kNameLimit = uint32_t{1} << 30;
  static constexpr uint32_t kUnnamed = UINT32_MAX;

  // `leaf_numbers[k]` numbers the k-th leaf of `tree` in ascending node id
  // (the order of leaves() and leaf_names()); every leaf has a number below
  // `name_count`, no two leaves share one. Numbers no leaf carries stand for
  // names the tree lacks (they sit on the far side of every bipartition).
  // Throws InternalError when these conditions fail.
  Bipartitions(const Tree& tree, std::span<const uint32_t> leaf_numbers, uint32_t name_count);

  // From a number per node (kUnnamed for nodes without a name; numbers of
  // internal nodes only enter as names the leaves lack). Absent when two
  // leaves reachable from the root share a number or `name_count` reaches
  // kNameLimit. Only the left operand of rf_distance needs `indexed`.
  // Every reachable leaf must be numbered.
  static std::optional<Bipartitions> of_node_numbers(const Tree& tree,
                                                     std::span<const uint32_t> node_numbers,
                                                     uint32_t name_count, bool indexed);

  // Distinct bipartitions of the tree.
  uint64_t count() const noexcept { return sides_ + (has_empty_side_ ? 1 : 0); }
  uint32_t name_count() const noexcept { return names_; }

 private:
  Bipartitions() = default;
  friend uint64_t rf_distance(const Bipartitions& a, const Bipartitions& b);
  friend class BipartitionWriter;

  void build_index();
  bool has_interval(uint32_t lo, uint32_t hi) const noexcept {
    return by_lo_[lo] == hi || by_hi_[hi] == lo;
  }

  // Post-order tokens: a name (a side of its own), a name that is no leaf
  // (only part of larger sides) or the merge of the last k items (a side).
  std::vector<uint32_t> tokens_;
  uint64_t sides_ = 0;           // merges and leaf names among the tokens
  bool has_empty_side_ = false;  // a cluster of every name below the root
  uint32_t names_ = 0;
  // Index, for the left operand: rank of each name in token order (names
  // not in the tokens follow; bit 30 set when the name alone is a side), and
  // each side [lo, hi] of ranks stored as by_lo_[lo] = hi when it is the
  // largest side starting at lo, else as by_hi_[hi] = lo.
  std::vector<uint32_t> rank_, by_lo_, by_hi_;
};

// Bipartitions held by exactly one of the two trees; both over the same
// numbering (InternalError otherwise). `a` must be indexed (the public
// constructor always indexes). Linear in the sizes of both.
uint64_t rf_distance(const Bipartitions& a, const Bipartitions& b);

}  // namespace cladorix
