// Pairwise homoplasy score: for every pair of named leaves, the number of
// characters on which both carry the same edit although their lowest common
// ancestor is still unedited, turned into a binomial upper-tail p-value whose
// per-character probability depends on the ancestor's depth, and all pair
// p-values combined by Simes' method.
//
// The pairs are never listed one by one. Pairs with a common ancestor L are
// exactly the pairs of named leaves in two different child subtrees of L,
// i.e. products of contiguous ranges of named-leaf positions. Ancestors
// without a usable unedited character only contribute pairs with count 0,
// counted in bulk; the others compare recoded rows pair by pair. Everything
// is reduced to a histogram (count, depth) -> pairs, and each distinct
// (count, depth) gets its p-value once. Memory stays O(leaves x characters).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "character_states.hpp"
#include "runtime/pool.hpp"
#include "tree/tree.hpp"

namespace cladorix {

// Machine epsilon, standing in for a p-value that came out exactly 0.
inline constexpr double kPhsZeroPValue = 2.220446049250313e-16;

struct PhsResult {
  double phs_score = 1.0;
  uint64_t total_pairs = 0;
  double computation_time_ms = 0.0;
  const char* method_used = "no_pairs";  // "optimized_sequential", "optimized_parallel"
  uint64_t parallel_chunks_used = 1;
};

// How many pairs have homoplasy count `count` under an ancestor at `depth`.
struct PairBin {
  uint64_t count = 0;
  double depth = 0.0;
  uint64_t pairs = 0;
};

// One rectangle of pairs sharing an ancestor that has unedited characters:
// every named-leaf position in [prep_lo, prep_hi) against every position in
// [scan_lo, scan_hi). The smaller side is the prepared one (its rows are
// masked by the ancestor's states once per row).
struct PairBlock {
  uint32_t prep_lo = 0, prep_hi = 0;
  uint32_t scan_lo = 0, scan_hi = 0;
  uint32_t depth = 0;
  StateSpan states;  // the ancestor's states
  uint64_t first = 0;  // index of its first pair in the concatenation of all blocks

  uint64_t width() const noexcept { return scan_hi - scan_lo; }
  uint64_t size() const noexcept { return uint64_t{prep_hi - prep_lo} * width(); }
};

// Choices of representation that never change a result; tests force them to
// reach every kernel on small inputs.
struct PhsKernelOptions {
  uint32_t min_code_width = 1;  // 1, 2 or 4 bytes per recoded state
  bool portable = false;        // SSE2 kernels even where AVX2 is available
};

// Per-call record built from the tree, the matrix and the internal states.
// The states are viewed, not copied: the map must outlive the record.
class OptimizedPHSTreeData {
 public:
  // Fails like the Euler-tour tables on a tree with an unclosed "(", then on
  // a tree without any named leaf. Named leaf i (node-id order) reads row i;
  // a leaf past the last row has an empty row. Internal states are keyed to
  // the first node (lowest id) carrying their name; names of no node are
  // dropped.
  static OptimizedPHSTreeData build(const SimpleRootedTree& tree, CharacterMatrix matrix,
                                    const InternalStates& states, int32_t missing_state,
                                    int32_t unedited_state, PhsKernelOptions options = {});

  const std::vector<NodeId>& leaf_ids() const noexcept { return leaf_ids_; }
  uint64_t leaf_count() const noexcept { return leaf_ids_.size(); }
  uint64_t total_pairs() const noexcept { return total_pairs_; }
  // Pairs whose counts need a pass over characters (the blocks' pairs).
  uint64_t compared_pairs() const noexcept { return compared_pairs_; }
  const std::vector<PairBlock>& blocks() const noexcept { return blocks_; }
  const CharacterMatrix& matrix() const noexcept { return matrix_; }
  int32_t missing_state() const noexcept { return missing_; }
  int32_t unedited_state() const noexcept { return unedited_; }
  // Bytes per recoded state: 1, 2 or 4.
  uint32_t code_width() const noexcept { return code_width_; }

  // Histogram of the pairs of blocks' pairs [begin, end) of the compared
  // pairs (concatenated in block order), sorted by (count, depth). Safe to
  // call from several threads at once.
  std::vector<PairBin> count_compared(uint64_t begin, uint64_t end) const;
  // Histogram of the pairs whose count is 0 without looking at characters.
  std::vector<PairBin> quiet_bins() const;

 private:
  template <class Code>
  std::vector<PairBin> count_compared_as(uint64_t begin, uint64_t end) const;
  template <class Code>
  void store_codes(const std::vector<uint32_t>& wide);

  std::vector<NodeId> leaf_ids_;
  uint64_t total_pairs_ = 0;
  uint64_t compared_pairs_ = 0;
  std::vector<uint64_t> quiet_by_depth_;  // pairs with count 0 by ancestor depth
  std::vector<PairBlock> blocks_;

  // Recoded rows of the named leaves: per character, every edit value is
  // replaced by a dense code 1..K (equal values, equal codes) and markers by
  // 0. Each row is cut to the usable width and padded with 0 to whole
  // 32-byte blocks.
  uint32_t code_width_ = 1;
  bool portable_ = false;
  uint32_t usable_width_ = 0;            // characters that can ever count
  std::vector<uint64_t> row_offset_;      // byte offset of each row's codes
  std::vector<uint32_t> row_blocks_;      // 32-byte blocks per row
  std::vector<unsigned char> codes_;

  CharacterMatrix matrix_;
  int32_t missing_ = -1;
  int32_t unedited_ = 0;
};

// The pair histogram, split into pieces of `piece` compared pairs on `pool`,
// or computed on the calling thread alone when `pool` is null. The result
// (sorted by (count, depth), equal keys merged) does not depend on the split.
std::vector<PairBin> calculate_phs_optimized(const OptimizedPHSTreeData& data, WorkerPool* pool,
                                             uint64_t piece);

// -ln(1 - E/N) over every entry of the matrix, N the entries not missing and
// E those neither missing nor unedited; 0.1 when N is 0.
double estimate_mutation_rate(const CharacterMatrix& matrix, int32_t missing_state,
                              int32_t unedited_state);

// The per-character homoplasy probability for an ancestor at depth d (raw
// edges from the root), capped at 1.
double homoplasy_probability(double lambda, double q, double d);

// P(X >= c) for X ~ Binomial(a, h): 1 for c = 0, else 0 for h = 0, else for
// h = 1 whether c <= a, else 1 minus the terms j < c summed in increasing j.
// A result of exactly 0 is replaced by kPhsZeroPValue.
double binomial_tail_pvalue(double h, uint64_t c, uint64_t a);

// binomial_tail_pvalue with h from an ancestor at depth d.
double phs_pair_pvalue(double lambda, double q, uint64_t c, double d, uint64_t a);

// Simes' combination of a multiset of p-values given as (value, multiplicity)
// in any order: the minimum over ranks k of (m * p_(k)) / k, m the total
// multiplicity; for m = 1 the p-value itself (NaN gives +inf). A NaN among two
// or more p-values is an InternalError.
double simes_combine(std::vector<std::pair<double, uint64_t>> pvalues);

// The score of a pair histogram (a = number of characters).
double phs_score_from_bins(double lambda, double q, const std::vector<PairBin>& bins, uint64_t a);

// The score of pair lists: counts[i] and depths[i] belong to pair i.
double calculate_phs_pvalues(double lambda, double q, const std::vector<uint64_t>& counts,
                             const std::vector<double>& depths, uint64_t a);

// The whole computation behind the Python function. The states map must
// outlive the call.
PhsResult phs_optimized(const SimpleRootedTree& tree, CharacterMatrix matrix,
                        const InternalStates& internal_states, std::optional<double> mutation_rate,
                        std::optional<double> collision_probability, int32_t missing_state,
                        int32_t unedited_state, std::optional<uint64_t> max_threads);

}  // namespace cladorix
