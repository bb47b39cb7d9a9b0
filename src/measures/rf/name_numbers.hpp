// One number per distinct name over two trees, for the by-name distance.
//
// Each tree's named nodes are grouped by the top bits of their names' hashes
// (one sequential pass over the names per tree, so the two trees can be
// grouped side by side); matching then runs bucket by bucket with tables small
// enough to stay in the cache, instead of a table of millions of names probed
// at random.
#pragma once

#include <cstdint>
#include <vector>

#include "tree/tree.hpp"

namespace cladorix {

// A tree's named nodes, grouped by hash bucket.
class NameBuckets {
 public:
  // `bits` of hash select the bucket; both trees of a matching use the same.
  NameBuckets(const Tree& tree, unsigned bits);

  // Bucket bits for trees with these numbers of names: a few hundred names
  // per bucket.
  static unsigned bits_for(uint64_t names1, uint64_t names2);

 private:
  friend struct NameNumbers;
  struct Entry {
    const char* bytes;
    uint32_t value;  // the name's length; once matched, its number within the bucket
    NodeId node;
  };
  std::vector<Entry> entries_;   // grouped by bucket
  std::vector<uint64_t> start_;  // bucket b is entries_[start_[b], start_[b + 1])
  size_t nodes_ = 0;
};

struct NameNumbers {
  static constexpr uint32_t kUnnamed = UINT32_MAX;

  // Matches the buckets of two trees (consumed) in `pieces` independent parts
  // (run on the worker pool when more than one).
  NameNumbers(NameBuckets&& tree1, NameBuckets&& tree2, size_t pieces);

  std::vector<uint32_t> of[2];   // per node of each tree: its name's number, or kUnnamed
  uint32_t count = 0;            // distinct names of both trees
  uint64_t distinct[2] = {0, 0}; // distinct names of each tree
};

}  // namespace cladorix
