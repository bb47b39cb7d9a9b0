#include "measures/phs/pair_blocks.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "measures/phs/kernels.hpp"
#include "runtime/cancel.hpp"
#include "tree/name_classes.hpp"
#include "util/errors.hpp"
#include "util/texts.hpp"

namespace cladorix {
namespace {

// Histograms are merged by sorting on (count, depth bits); for the
// non-negative depths of a tree the bit order is the numeric order.
bool bin_key_less(const PairBin& x, const PairBin& y) {
  if (x.count != y.count) return x.count < y.count;
  return std::bit_cast<uint64_t>(x.depth) < std::bit_cast<uint64_t>(y.depth);
}

bool same_bin_key(const PairBin& x, const PairBin& y) {
  return x.count == y.count && std::bit_cast<uint64_t>(x.depth) == std::bit_cast<uint64_t>(y.depth);
}

}  // namespace

void merge_bins(std::vector<PairBin>& bins) {
  std::sort(bins.begin(), bins.end(), bin_key_less);
  size_t w = 0;
  for (size_t r = 0; r < bins.size(); ++r) {
    if (bins[r].pairs == 0) continue;
    if (w > 0 && same_bin_key(bins[w - 1], bins[r]))
      bins[w - 1].pairs += bins[r].pairs;
    else
      bins[w++] = bins[r];
  }
  bins.resize(w);
}

PhsPairBlocks PhsPairBlocks::build(const Tree& tree, CharacterMatrix matrix,
                                   const InternalStates& states, int32_t missing_state,
                                   int32_t unedited_state, PhsKernelOptions options) {
  // Everything below only needs the pre-order ids, but the measure is
  // defined over every pair's LCA and refuses the trees that would break it.
  check_tour_size(tree);
  check_connected(tree);

  PhsPairBlocks data;
  data.matrix_ = std::move(matrix);
  data.missing_ = missing_state;
  data.unedited_ = unedited_state;
  data.portable_ = options.portable;
  const NodeId N = static_cast<NodeId>(tree.size());

  // Named-leaf positions: position_before[v] = named leaves with id < v.
  std::vector<uint32_t> position_before(size_t{N} + 1, 0);
  CancelPoller poll;
  for (NodeId v = 0; v < N; ++v) {
    const bool named_leaf = tree.is_leaf(v) && tree.has_name(v);
    if (named_leaf) data.leaf_ids_.push_back(v);
    position_before[v + 1] = position_before[v] + (named_leaf ? 1 : 0);
  }
  poll.tick(8 * uint64_t{N});
  if (data.leaf_ids_.empty()) fail(texts::kNoNamedLeaf);
  const uint64_t n = data.leaf_ids_.size();
  data.total_pairs_ = n * (n - 1) / 2;

  // Each name's states go to the first node carrying it.
  const NameClasses classes(tree);
  std::vector<NodeId> first_of_class(classes.count(), kNoNode);
  for (NodeId v = 0; v < N; ++v) {
    const uint32_t cls = classes.of(v);
    if (cls != NameClasses::kNone && first_of_class[cls] == kNoNode) first_of_class[cls] = v;
  }
  poll.tick(8 * uint64_t{N});
  std::vector<StateSpan> node_states(N);
  std::vector<uint8_t> has_states(N, 0);
  for (const auto& [name, list] : states) {
    poll.tick(name.size() / 4 + 64);
    const uint32_t cls = classes.find(name);
    if (cls == NameClasses::kNone) continue;
    node_states[first_of_class[cls]] = StateSpan::of(list);
    has_states[first_of_class[cls]] = 1;
  }

  // Named leaf i reads row i; leaves past the last row have none. A
  // character counts only where both rows reach it, so nothing beyond the
  // second-longest row is ever needed.
  uint64_t longest = 0, second = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t len = data.row_of(i).size;
    if (len > longest)
      second = longest, longest = len;
    else if (len > second)
      second = len;
  }
  poll.tick(8 * uint64_t{n});
  uint64_t states_width = 0;
  for (NodeId v = 0; v < N; ++v)
    if (has_states[v] && tree.child_count(v) >= 2)
      states_width = std::max<uint64_t>(states_width, node_states[v].size);
  poll.tick(4 * uint64_t{N});
  const uint64_t usable = std::min(second, states_width);
  if (usable > UINT32_MAX / 4) fail("too many characters");
  data.usable_width_ = static_cast<uint32_t>(usable);

  data.cut_blocks(tree, position_before, node_states, has_states);
  if (!data.blocks_.empty()) data.recode_rows(options.min_code_width);
  return data;
}

// Pairs by common ancestor: the pairs across two child subtrees of L.
void PhsPairBlocks::cut_blocks(const Tree& tree, const std::vector<uint32_t>& position_before,
                               const std::vector<StateSpan>& node_states,
                               const std::vector<uint8_t>& has_states) {
  const NodeId N = static_cast<NodeId>(tree.size());
  const auto& parents = tree.parents();
  // Subtree of v = ids [v, v + size[v]).
  std::vector<uint32_t> size(N, 1);
  CancelPoller poll;
  for (NodeId v = N; v-- > 1;) size[parents[v]] += size[v];
  poll.tick(4 * uint64_t{N});
  auto named_range = [&](NodeId v) {
    return std::pair<uint32_t, uint32_t>(position_before[v], position_before[v + size[v]]);
  };
  const std::vector<uint32_t> depth = tree.depths();
  uint64_t compared = 0;
  for (NodeId v = 0; v < N; ++v) {
    poll.tick(8 + 8 * uint64_t{tree.child_count(v)});
    if (tree.child_count(v) < 2) continue;
    bool unedited_somewhere = false;
    if (has_states[v]) {
      const StateSpan s = node_states[v];
      const uint64_t reach = std::min<uint64_t>(s.size, usable_width_);
      for (uint64_t k = 0; k < reach && !unedited_somewhere; ++k)
        unedited_somewhere = s[k] == unedited_;
    }
    const uint32_t lo = named_range(v).first;
    uint64_t pairs = 0;
    for (NodeId c = tree.first_child(v); c != kNoNode; c = tree.next_sibling(c)) {
      const auto [clo, chi] = named_range(c);
      const uint64_t before = clo - lo, here = chi - clo;
      if (before == 0 || here == 0) continue;
      pairs += before * here;
      if (!unedited_somewhere) continue;
      PairBlock b;
      if (here <= before) {
        b.prep_lo = clo, b.prep_hi = chi, b.scan_lo = lo, b.scan_hi = clo;
      } else {
        b.prep_lo = lo, b.prep_hi = clo, b.scan_lo = clo, b.scan_hi = chi;
      }
      b.depth = depth[v];
      b.states = node_states[v];
      b.first = compared;
      compared += b.size();
      blocks_.push_back(b);
    }
    if (!unedited_somewhere && pairs > 0) {
      if (quiet_by_depth_.size() <= depth[v]) quiet_by_depth_.resize(size_t{depth[v]} + 1, 0);
      quiet_by_depth_[depth[v]] += pairs;
    }
  }
  compared_pairs_ = compared;
}

// Recode each character of the named rows: edit values -> 1..K in value
// order, markers -> 0. Only equality within a character matters.
void PhsPairBlocks::recode_rows(uint32_t min_code_width) {
  const uint64_t n = leaf_ids_.size();
  const uint64_t usable = usable_width_;
  CancelPoller poll;
  std::vector<uint64_t> wide_offset(n + 1, 0);
  for (uint64_t i = 0; i < n; ++i)
    wide_offset[i + 1] = wide_offset[i] + std::min<uint64_t>(row_of(i).size, usable);
  poll.tick(8 * uint64_t{n});
  std::vector<uint32_t> wide(wide_offset[n], 0);
  std::vector<uint64_t> keys;
  keys.reserve(n);
  uint32_t most_codes = 0;
  for (uint64_t k = 0; k < usable; ++k) {
    poll.tick(8 * n);
    keys.clear();
    for (uint64_t i = 0; i < n; ++i) {
      const StateSpan row = row_of(i);
      if (k >= row.size) continue;
      const int32_t s = row[k];
      if (s == missing_ || s == unedited_) continue;
      const uint64_t ordered = static_cast<uint32_t>(s) ^ 0x80000000u;
      keys.push_back((ordered << 32) | i);
    }
    std::sort(keys.begin(), keys.end());
    uint32_t code = 0;
    uint64_t previous = UINT64_MAX;
    for (const uint64_t key : keys) {
      if ((key >> 32) != previous) ++code, previous = key >> 32;
      wide[wide_offset[key & 0xFFFFFFFFu] + k] = code;
    }
    most_codes = std::max(most_codes, code);
  }
  // The all-ones value of the chosen width is the sentinel; codes stay below.
  row_offset_.resize(n);
  row_blocks_.resize(n);
  if (most_codes < 0xFFu && min_code_width <= 1) {
    code_width_ = 1;
  } else if (most_codes < 0xFFFFu && min_code_width <= 2) {
    code_width_ = 2;
  } else {
    code_width_ = 4;
  }
  uint64_t bytes = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t len = wide_offset[i + 1] - wide_offset[i];
    const uint64_t blocks = (len * code_width_ + kPhsBlockBytes - 1) / kPhsBlockBytes;
    row_offset_[i] = bytes;
    row_blocks_[i] = static_cast<uint32_t>(blocks);
    bytes += blocks * kPhsBlockBytes;
  }
  codes_.assign(bytes, 0);
  for (uint64_t i = 0; i < n; ++i) {
    poll.tick(wide_offset[i + 1] - wide_offset[i] + 8);
    unsigned char* out = codes_.data() + row_offset_[i];
    for (uint64_t k = wide_offset[i]; k < wide_offset[i + 1]; ++k, out += code_width_) {
      const uint32_t c = wide[k];
      if (code_width_ == 1) {
        *out = static_cast<unsigned char>(c);
      } else if (code_width_ == 2) {
        const uint16_t c16 = static_cast<uint16_t>(c);
        std::memcpy(out, &c16, 2);
      } else {
        std::memcpy(out, &c, 4);
      }
    }
  }
}

std::vector<PairBin> PhsPairBlocks::quiet_bins() const {
  std::vector<PairBin> out;
  for (size_t d = 0; d < quiet_by_depth_.size(); ++d)
    if (quiet_by_depth_[d] > 0) out.push_back({0, static_cast<double>(d), quiet_by_depth_[d]});
  return out;
}

std::vector<PairBin> PhsPairBlocks::count_compared(uint64_t begin, uint64_t end) const {
  switch (code_width_) {
    case 1:
      return count_compared_as<uint8_t>(begin, end);
    case 2:
      return count_compared_as<uint16_t>(begin, end);
    default:
      return count_compared_as<uint32_t>(begin, end);
  }
}

template <class Code>
std::vector<PairBin> PhsPairBlocks::count_compared_as(uint64_t begin, uint64_t end) const {
  std::vector<PairBin> out;
  end = std::min(end, compared_pairs_);
  if (begin >= end) return out;
  constexpr unsigned W = sizeof(Code);
  constexpr uint32_t lanes = kPhsBlockBytes / W;
  constexpr Code sentinel = std::numeric_limits<Code>::max();
  const PhsScanFn scan = phs_scan_kernel<W>(portable_);

  std::vector<uint64_t> counts(size_t{usable_width_} + 1, 0);
  std::vector<unsigned char> prep((size_t{usable_width_} * W + kPhsBlockBytes - 1) /
                                      kPhsBlockBytes * kPhsBlockBytes +
                                  kPhsBlockBytes);
  uint32_t current_depth = 0;
  auto flush = [&]() {
    for (size_t c = 0; c < counts.size(); ++c)
      if (counts[c] > 0) {
        out.push_back({c, static_cast<double>(current_depth), counts[c]});
        counts[c] = 0;
      }
  };

  // Masks prepared row r for the ancestor's states; returns its live blocks.
  auto prepare = [&](uint32_t r, StateSpan s) -> uint32_t {
    const unsigned char* src = codes_.data() + row_offset_[r];
    const uint32_t total = row_blocks_[r] * lanes;
    uint32_t live_end = 0;
    for (uint32_t k = 0; k < total; ++k) {
      Code code;
      std::memcpy(&code, src + size_t{k} * W, W);
      const bool live = code != 0 && k < s.size && s[k] == unedited_;
      const Code v = live ? code : sentinel;
      std::memcpy(prep.data() + size_t{k} * W, &v, W);
      if (live) live_end = k + 1;
    }
    return (live_end + lanes - 1) / lanes;
  };

  CancelPoller poll;
  const uint64_t total_lanes = uint64_t{usable_width_} + 8;
  size_t bi = static_cast<size_t>(
      std::upper_bound(blocks_.begin(), blocks_.end(), begin,
                       [](uint64_t x, const PairBlock& b) { return x < b.first; }) -
      blocks_.begin() - 1);
  uint64_t pos = begin;
  bool started = false;
  while (pos < end) {
    const PairBlock& b = blocks_[bi];
    if (!started || b.depth != current_depth) {
      flush();
      current_depth = b.depth;
      started = true;
    }
    const uint64_t stop = std::min(end, b.first + b.size());
    const uint64_t width = b.width();
    uint64_t offset = pos - b.first;
    while (pos < stop) {
      const uint64_t r = offset / width, col = offset % width;
      const uint64_t take = std::min(width - col, stop - pos);
      const uint32_t live = prepare(static_cast<uint32_t>(b.prep_lo + r), b.states);
      if (live == 0) {
        counts[0] += take;
      } else {
        const uint32_t lo = static_cast<uint32_t>(b.scan_lo + col);
        scan(prep.data(), live, codes_.data(), row_offset_.data(), row_blocks_.data(), lo,
             static_cast<uint32_t>(lo + take), counts.data());
      }
      pos += take;
      offset += take;
      poll.tick(take * (live + 1) + total_lanes);
    }
    ++bi;
  }
  flush();
  merge_bins(out);
  return out;
}

}  // namespace cladorix
