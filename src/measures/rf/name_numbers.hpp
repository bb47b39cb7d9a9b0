// One number per distinct name over two trees, for the by-name distance:
// the leaves reachable in tree 1 by their order (0 for the first), every
// other name after them. Tree 1 then needs no table of numbers at all, and
// tree 2's leaves carry numbers that follow tree 1's layout.
//
// Each tree's named nodes are grouped by the top bits of their names' hashes,
// names copied beside them (two sequential passes over the names per tree, so
// the two trees can be grouped side by side); matching then runs bucket by
// bucket over bytes laid out in order, with tables small enough to stay in
// the cache, instead of a table of millions of names probed at random.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tree/tree.hpp"

namespace cladorix {

// A tree's named nodes, grouped by hash bucket.
class NameBuckets {
 public:
  // `bits` of hash select the bucket; both trees of a matching use the same.
  // Nodes [0, reachable) are those reachable from the root. Tree 1 records
  // each name's leaf order (`first`), tree 2 its node.
  NameBuckets(const Tree& tree, NodeId reachable, unsigned bits, bool first);

  // Bucket bits for trees with these numbers of names: a few thousand names
  // per bucket.
  static unsigned bits_for(uint64_t names1, uint64_t names2);

 private:
  friend struct NameNumbers;
  static constexpr uint32_t kNoLeaf = UINT32_MAX;
  struct Entry {
    uint32_t tag;     // the top half of the name's hash
    uint32_t offset;  // of the name among its bucket's bytes
    uint32_t value;   // the name's length; once matched, what NameNumbers made of it
    // Tree 1: order among the reachable leaves (kNoLeaf for other nodes);
    // tree 2: the node.
    uint32_t payload;
  };
  bool fill(const Tree& tree, NodeId reachable, unsigned bits, bool first, bool exact);

  // Written once, bucket by bucket: left uninitialised until then. Bucket b
  // is entries_[begin_[b], end_[b]), its names from bytes_[bytes_begin_[b]].
  std::unique_ptr<Entry[]> entries_;
  std::vector<uint64_t> begin_, end_, bytes_begin_;
  std::unique_ptr<char[]> bytes_;
  // The bucket of each naming (kStale for a name the node no longer
  // carries): read again in naming order, it gathers results back to nodes.
  std::unique_ptr<uint32_t[]> bucket_;
  static constexpr uint32_t kStale = UINT32_MAX;
  const Tree* tree_ = nullptr;
  size_t nodes_ = 0;
  uint32_t leaves_ = 0;  // reachable leaves
  // Tree 1's leaves were not named in ascending id (the reader names them
  // so), or a bucket's names exceed 4 GB: no numbers then.
  bool unusable_ = false;
};

struct NameNumbers {
  static constexpr uint32_t kUnnamed = UINT32_MAX;

  // Matches the buckets of two trees in `pieces` independent parts (run on
  // the worker pool when more than one). Tree 1's buckets are consumed; tree
  // 2's are kept (they must outlive this) until numbers2() is called.
  NameNumbers(NameBuckets& tree1, NameBuckets& tree2, size_t pieces);

  // Per node of tree 2: its name's number, or kUnnamed; once, and only when
  // usable. (Tree 1's reachable leaves are numbered by their order; its
  // other names only matter as names its leaves lack.)
  std::vector<uint32_t> numbers2();

  uint32_t leaves1 = 0;           // reachable leaves of tree 1: numbers below this
  uint32_t count = 0;             // distinct names of both trees
  uint64_t distinct[2] = {0, 0};  // distinct names of each tree
  // False (and no numbers) when two reachable leaves of tree 1 share a name
  // or tree 1 has 2^31 reachable leaves or more.
  bool usable = true;

 private:
  NameBuckets* tree2_ = nullptr;
  std::vector<uint64_t> offset_;  // first number of each bucket's names no leaf of tree 1 carries
};

}  // namespace cladorix
