// The pairs of named leaves of the pairwise homoplasy score, grouped by
// their lowest common ancestor.
//
// Pairs with a common ancestor L are exactly the pairs of named leaves in two
// different child subtrees of L, i.e. products of contiguous ranges of
// named-leaf positions. Ancestors without a usable unedited character only
// contribute pairs with count 0, counted in bulk ("quiet" pairs); the others
// become blocks whose rows are compared pair by pair on recoded states.
// Memory stays O(leaves x characters).
#pragma once

#include <cstdint>
#include <vector>

#include "measures/characters/character_states.hpp"
#include "tree/tree.hpp"

namespace cladorix {

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
  StateSpan states;    // the ancestor's states
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

// Sorts a histogram by (count, depth) and merges equal keys, dropping empty
// bins.
void merge_bins(std::vector<PairBin>& bins);

// Per-call record built from the tree, the matrix and the internal states.
// The states are viewed, not copied: the map must outlive the record.
class PhsPairBlocks {
 public:
  // Fails (InternalError) on a tree too large for 32-bit tour positions or
  // with a node left outside it by an unclosed "(" (check_tour_size,
  // check_connected), then on a tree without any named leaf. Named leaf i (node-id order) reads row
  // i; a leaf past the last row has an empty row. Internal states are keyed to the first node
  // (lowest id) carrying their name; names of no node are dropped.
  static PhsPairBlocks build(const Tree& tree, CharacterMatrix matrix, const InternalStates& states,
                             int32_t missing_state, int32_t unedited_state,
                             PhsKernelOptions options = {});

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
  void cut_blocks(const Tree& tree, const std::vector<uint32_t>& position_before,
                  const std::vector<StateSpan>& node_states,
                  const std::vector<uint8_t>& has_states);
  void recode_rows(uint32_t min_code_width);
  StateSpan row_of(uint64_t i) const {
    return i < matrix_.size() ? StateSpan::of(matrix_[i]) : StateSpan{};
  }

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
  uint32_t usable_width_ = 0;         // characters that can ever count
  std::vector<uint64_t> row_offset_;  // byte offset of each row's codes
  std::vector<uint32_t> row_blocks_;  // 32-byte blocks per row
  std::vector<unsigned char> codes_;

  CharacterMatrix matrix_;
  int32_t missing_ = -1;
  int32_t unedited_ = 0;
};

}  // namespace cladorix
