// Triplets correct by leaf position: leaf i of tree 1 is compared with leaf i
// of tree 2. Small inputs (and any input whose trial count reaches the number
// of triplets) are evaluated exhaustively, larger ones by sampling.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "exhaustive_triplets.hpp"
#include "tree/leaf_lca.hpp"
#include "tree/tree.hpp"
#include "triplet_common.hpp"

namespace cladorix {

class UltraFastTreeData {
 public:
  // Fails like the Euler-tour build on a tree with an unclosed "(".
  explicit UltraFastTreeData(const SimpleRootedTree& tree);

  // Named leaves. Positions 0 .. leaf_count() - 1 index the list of all
  // leaves, so with unnamed leaves present the first leaf_count() leaves are
  // compared whatever their names.
  uint32_t leaf_count() const noexcept { return static_cast<uint32_t>(names_.size()); }
  const std::vector<std::string_view>& names() const noexcept { return names_; }
  const LeafLca& lca() const noexcept { return lca_; }

  // Depth of the LCA of the leaves at positions i and j (the leaf's own depth
  // when i == j). Positions at or beyond leaf_count() are an internal error.
  uint32_t pair_depth(uint32_t i, uint32_t j) const;

  // Outgroup position of (i, j, k), or -1 when unresolved.
  int64_t get_outgroup_ultra_fast(uint32_t i, uint32_t j, uint32_t k) const;

 private:
  LeafLca lca_;
  std::vector<std::string_view> names_;
};

// Whether the call samples: n >= 3, more than 100000 triplets, n > 20 and
// fewer trials than triplets. `triplets` is n(n-1)(n-2)/6 in 64-bit arithmetic.
bool ultra_uses_sampling(uint64_t n, uint64_t number_of_trials, uint64_t* triplets);

UltraTripletScores triplets_correct_ultra(const SimpleRootedTree& tree1,
                                          const SimpleRootedTree& tree2,
                                          uint64_t number_of_trials, std::optional<uint64_t> seed);

}  // namespace cladorix
