#include "phs.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "clock.hpp"
#include "errors.hpp"
#include "tree/lca.hpp"

namespace cladorix {
namespace {

constexpr uint32_t kBlockBytes = 32;
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- row scanning kernels ----------------------------------------------------
//
// A prepared row holds the codes of one leaf where its ancestor is unedited
// and the leaf carries an edit, and an all-ones sentinel everywhere else.
// Scanned rows hold codes 0..K with K below the sentinel, so equal lanes are
// exactly the characters that count; rows end in zero padding, which never
// matches either.

using ScanFn = void (*)(const unsigned char* prep, uint32_t prep_blocks, const unsigned char* codes,
                        const uint64_t* row_offset, const uint32_t* row_blocks, uint32_t lo,
                        uint32_t hi, uint64_t* counts);

template <unsigned W>
__attribute__((target("avx2,popcnt"))) void scan_rows_avx2(const unsigned char* prep,
                                                           uint32_t prep_blocks,
                                                           const unsigned char* codes,
                                                           const uint64_t* row_offset,
                                                           const uint32_t* row_blocks, uint32_t lo,
                                                           uint32_t hi, uint64_t* counts) {
  uint64_t none = 0;
  for (uint32_t s = lo; s < hi; ++s) {
    const unsigned char* row = codes + row_offset[s];
    const uint32_t nb = prep_blocks < row_blocks[s] ? prep_blocks : row_blocks[s];
    uint32_t bits = 0;
    for (uint32_t b = 0; b < nb; ++b) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(prep + b * kBlockBytes));
      const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + b * kBlockBytes));
      __m256i e;
      if constexpr (W == 1)
        e = _mm256_cmpeq_epi8(x, y);
      else if constexpr (W == 2)
        e = _mm256_cmpeq_epi16(x, y);
      else
        e = _mm256_cmpeq_epi32(x, y);
      bits += static_cast<uint32_t>(_mm_popcnt_u32(static_cast<uint32_t>(_mm256_movemask_epi8(e))));
    }
    // One mask bit per byte of a matching lane. Most pairs share nothing;
    // counting those in a register keeps successive increments of the same
    // memory slot out of the loop's critical path.
    if (bits == 0)
      ++none;
    else
      ++counts[bits / W];
  }
  counts[0] += none;
}

template <unsigned W>
void scan_rows_sse2(const unsigned char* prep, uint32_t prep_blocks, const unsigned char* codes,
                    const uint64_t* row_offset, const uint32_t* row_blocks, uint32_t lo, uint32_t hi,
                    uint64_t* counts) {
  uint64_t none = 0;
  for (uint32_t s = lo; s < hi; ++s) {
    const unsigned char* row = codes + row_offset[s];
    const uint32_t nb = std::min(prep_blocks, row_blocks[s]) * 2;
    uint32_t bits = 0;
    for (uint32_t b = 0; b < nb; ++b) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prep + b * 16));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + b * 16));
      __m128i e;
      if constexpr (W == 1)
        e = _mm_cmpeq_epi8(x, y);
      else if constexpr (W == 2)
        e = _mm_cmpeq_epi16(x, y);
      else
        e = _mm_cmpeq_epi32(x, y);
      bits += static_cast<uint32_t>(__builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(e))));
    }
    if (bits == 0)
      ++none;
    else
      ++counts[bits / W];
  }
  counts[0] += none;
}

bool has_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  return yes;
}

template <unsigned W>
ScanFn scan_kernel(bool portable) {
  return has_avx2() && !portable ? &scan_rows_avx2<W> : &scan_rows_sse2<W>;
}

// Histograms are merged by sorting on (count, depth bits); for the
// non-negative depths of a tree the bit order is the numeric order.
bool bin_key_less(const PairBin& x, const PairBin& y) {
  if (x.count != y.count) return x.count < y.count;
  return std::bit_cast<uint64_t>(x.depth) < std::bit_cast<uint64_t>(y.depth);
}

bool same_bin_key(const PairBin& x, const PairBin& y) {
  return x.count == y.count && std::bit_cast<uint64_t>(x.depth) == std::bit_cast<uint64_t>(y.depth);
}

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

// ln C(a, j) for j = 0 .. jmax (jmax <= a), each the log of the product of
// the quotients (a - k) / (k + 1) for k < min(j, a - j), multiplied in
// increasing k starting from 1.0. The products for successive lengths are
// prefixes of one another, so one running product serves every j bit for bit.
std::vector<double> log_binomials(uint64_t a, uint64_t jmax) {
  const uint64_t half = std::min(jmax, a / 2);
  std::vector<double> prefix(half + 1);
  prefix[0] = 1.0;
  for (uint64_t k = 0; k < half; ++k)
    prefix[k + 1] = prefix[k] * (static_cast<double>(a - k) / static_cast<double>(k + 1));
  std::vector<double> t(jmax + 1);
  for (uint64_t j = 0; j <= jmax; ++j) t[j] = std::log(prefix[std::min(j, a - j)]);
  return t;
}

// p-values for the distinct ascending counts `cs` at one homoplasy
// probability h. The tail sums for successive counts share their prefixes
// (terms are added in increasing j), so one pass serves every count.
void pvalues_at(double h, uint64_t a, const std::vector<uint64_t>& cs, const std::vector<double>& t,
                std::vector<double>& out) {
  out.assign(cs.size(), 0.0);
  const bool formula = !(h == 0.0) && !(h == 1.0);
  const double lnh = formula ? std::log(h) : 0.0;
  const double ln1h = formula ? std::log(1.0 - h) : 0.0;
  double sum = 0.0;
  uint64_t j = 0;
  for (size_t i = 0; i < cs.size(); ++i) {
    const uint64_t c = cs[i];
    double p;
    if (c == 0) {
      p = 1.0;
    } else if (h == 0.0) {
      p = 0.0;
    } else if (h == 1.0) {
      p = c <= a ? 1.0 : 0.0;
    } else {
      // Terms past j = a are 0 and leave the sum as it is.
      for (; j < c && j <= a; ++j)
        sum += std::exp((static_cast<double>(a - j) * ln1h + static_cast<double>(j) * lnh) + t[j]);
      j = std::max(j, c);
      p = 1.0 - sum;
    }
    out[i] = p == 0.0 ? kPhsZeroPValue : p;
  }
}

}  // namespace

// ---- probabilities and combination ---------------------------------------------

double homoplasy_probability(double lambda, double q, double d) {
  if (d == 1.0) return 1.0;
  const double g = std::exp((1.0 - d) * (-lambda));
  const double h = ((std::exp(d * (-lambda)) * (1.0 - g)) * (1.0 - g)) * q;
  // Deep ancestors push the raw formula past 1; a probability of 1 is what a
  // depth-1 ancestor already gives. NaN passes through.
  return h > 1.0 ? 1.0 : h;
}

double phs_pair_pvalue(double lambda, double q, uint64_t c, double d, uint64_t a) {
  return binomial_tail_pvalue(homoplasy_probability(lambda, q, d), c, a);
}

double binomial_tail_pvalue(double h, uint64_t c, uint64_t a) {
  const std::vector<double> t = c == 0 ? std::vector<double>{} : log_binomials(a, std::min(c - 1, a));
  std::vector<double> p;
  pvalues_at(h, a, {c}, t, p);
  return p[0];
}

double simes_combine(std::vector<std::pair<double, uint64_t>> pvalues) {
  uint64_t m = 0;
  for (const auto& [p, k] : pvalues) m += k;
  if (m == 1) {
    for (const auto& [p, k] : pvalues)
      if (k == 1) return std::isnan(p) ? kInf : std::min(p, kInf);
  }
  for (const auto& [p, k] : pvalues)
    if (k > 0 && std::isnan(p)) fail("cannot order the pair p-values: NaN among " + std::to_string(m));
  std::sort(pvalues.begin(), pvalues.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  // Within a run of equal p, (m * p) / k falls with k when p > 0 and rises
  // when p < 0 (p is never 0), so the run's last or first rank is its
  // minimum; the values are exactly those of the rank-by-rank definition.
  const double md = static_cast<double>(m);
  double best = kInf;
  uint64_t rank = 0;  // ranks before the current run
  for (size_t i = 0; i < pvalues.size();) {
    const double p = pvalues[i].first;
    uint64_t run = 0;
    for (; i < pvalues.size() && pvalues[i].first == p; ++i) run += pvalues[i].second;
    if (run == 0) continue;
    const uint64_t k = p >= 0.0 ? rank + run : rank + 1;
    const double v = (md * p) / static_cast<double>(k);
    if (v < best) best = v;
    rank += run;
  }
  return best;
}

double phs_score_from_bins(double lambda, double q, const std::vector<PairBin>& bins, uint64_t a) {
  // Group by depth (bit pattern), counts ascending within a depth.
  std::vector<PairBin> by_depth(bins);
  std::sort(by_depth.begin(), by_depth.end(), [](const PairBin& x, const PairBin& y) {
    const uint64_t dx = std::bit_cast<uint64_t>(x.depth), dy = std::bit_cast<uint64_t>(y.depth);
    return dx != dy ? dx < dy : x.count < y.count;
  });
  uint64_t jmax = 0;
  bool any_tail = false;
  for (const PairBin& b : by_depth)
    if (b.count > 0 && b.pairs > 0) jmax = std::max(jmax, std::min(b.count - 1, a)), any_tail = true;
  const std::vector<double> t = any_tail ? log_binomials(a, jmax) : std::vector<double>{};

  std::vector<std::pair<double, uint64_t>> pvalues;
  std::vector<uint64_t> cs;
  std::vector<uint64_t> multiplicity;
  std::vector<double> ps;
  for (size_t i = 0; i < by_depth.size();) {
    const uint64_t dbits = std::bit_cast<uint64_t>(by_depth[i].depth);
    const double d = by_depth[i].depth;
    cs.clear();
    multiplicity.clear();
    for (; i < by_depth.size() && std::bit_cast<uint64_t>(by_depth[i].depth) == dbits; ++i) {
      if (by_depth[i].pairs == 0) continue;
      if (!cs.empty() && cs.back() == by_depth[i].count) {
        multiplicity.back() += by_depth[i].pairs;
      } else {
        cs.push_back(by_depth[i].count);
        multiplicity.push_back(by_depth[i].pairs);
      }
    }
    if (cs.empty()) continue;
    pvalues_at(homoplasy_probability(lambda, q, d), a, cs, t, ps);
    for (size_t k = 0; k < cs.size(); ++k) pvalues.emplace_back(ps[k], multiplicity[k]);
  }
  return simes_combine(std::move(pvalues));
}

double calculate_phs_pvalues(double lambda, double q, const std::vector<uint64_t>& counts,
                             const std::vector<double>& depths, uint64_t a) {
  if (counts.size() != depths.size()) fail("pair counts and depths differ in length");
  std::vector<PairBin> bins;
  bins.reserve(counts.size());
  for (size_t i = 0; i < counts.size(); ++i) bins.push_back({counts[i], depths[i], 1});
  merge_bins(bins);
  return phs_score_from_bins(lambda, q, bins, a);
}

double estimate_mutation_rate(const CharacterMatrix& matrix, int32_t missing_state,
                              int32_t unedited_state) {
  uint64_t known = 0, edited = 0;
  for (const auto& row : matrix)
    for (const int32_t s : row) {
      known += s != missing_state;
      edited += (s != missing_state) & (s != unedited_state);
    }
  if (known == 0) return 0.1;
  return -std::log(1.0 - static_cast<double>(edited) / static_cast<double>(known));
}

// ---- the per-tree record ---------------------------------------------------------

OptimizedPHSTreeData OptimizedPHSTreeData::build(const SimpleRootedTree& tree, CharacterMatrix matrix,
                                                 const InternalStates& states, int32_t missing_state,
                                                 int32_t unedited_state, PhsKernelOptions options) {
  // The Euler-tour tables would fail on these, in this order; everything
  // below only needs the pre-order ids.
  check_tour_size(tree);
  check_connected(tree);

  OptimizedPHSTreeData data;
  data.matrix_ = std::move(matrix);
  data.missing_ = missing_state;
  data.unedited_ = unedited_state;
  data.portable_ = options.portable;
  const NodeId N = static_cast<NodeId>(tree.size());
  const auto& parents = tree.parents();

  // Named-leaf positions: position_before[v] = named leaves with id < v.
  std::vector<uint32_t> position_before(size_t{N} + 1, 0);
  for (NodeId v = 0; v < N; ++v) {
    const bool named_leaf = tree.is_leaf(v) && tree.has_name(v);
    if (named_leaf) data.leaf_ids_.push_back(v);
    position_before[v + 1] = position_before[v] + (named_leaf ? 1 : 0);
  }
  if (data.leaf_ids_.empty()) fail("index out of bounds: the len is 0 but the index is 0");
  const uint64_t n = data.leaf_ids_.size();
  data.total_pairs_ = n * (n - 1) / 2;

  // Subtree of v = ids [v, v + size[v]).
  std::vector<uint32_t> size(N, 1);
  for (NodeId v = N; v-- > 1;) size[parents[v]] += size[v];
  auto named_range = [&](NodeId v) {
    return std::pair<uint32_t, uint32_t>(position_before[v], position_before[v + size[v]]);
  };

  // Each name's states go to the first node carrying it.
  const NameClasses classes(tree);
  std::vector<NodeId> first_of_class(classes.count(), kNoNode);
  for (NodeId v = 0; v < N; ++v) {
    const uint32_t cls = classes.of(v);
    if (cls != NameClasses::kNone && first_of_class[cls] == kNoNode) first_of_class[cls] = v;
  }
  std::vector<StateSpan> node_states(N);
  std::vector<uint8_t> has_states(N, 0);
  for (const auto& [name, list] : states) {
    const uint32_t cls = classes.find(name);
    if (cls == NameClasses::kNone) continue;
    node_states[first_of_class[cls]] = StateSpan::of(list);
    has_states[first_of_class[cls]] = 1;
  }

  // Named leaf i reads row i; leaves past the last row have none. A
  // character counts only where both rows reach it, so nothing beyond the
  // second-longest row is ever needed.
  auto row_of = [&](uint64_t i) -> StateSpan {
    return i < data.matrix_.size() ? StateSpan::of(data.matrix_[i]) : StateSpan{};
  };
  uint64_t longest = 0, second = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t len = row_of(i).size;
    if (len > longest)
      second = longest, longest = len;
    else if (len > second)
      second = len;
  }
  uint64_t states_width = 0;
  for (NodeId v = 0; v < N; ++v)
    if (has_states[v] && tree.child_count(v) >= 2)
      states_width = std::max<uint64_t>(states_width, node_states[v].size);
  const uint64_t usable = std::min(second, states_width);
  if (usable > UINT32_MAX / 4) fail("too many characters");
  data.usable_width_ = static_cast<uint32_t>(usable);

  // Pairs by common ancestor: the pairs across two child subtrees of L.
  const std::vector<uint32_t> depth = tree.depths();
  uint64_t compared = 0;
  for (NodeId v = 0; v < N; ++v) {
    if (tree.child_count(v) < 2) continue;
    bool unedited_somewhere = false;
    if (has_states[v]) {
      const StateSpan s = node_states[v];
      const uint64_t reach = std::min<uint64_t>(s.size, usable);
      for (uint64_t k = 0; k < reach && !unedited_somewhere; ++k) unedited_somewhere = s[k] == unedited_state;
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
      data.blocks_.push_back(b);
    }
    if (!unedited_somewhere && pairs > 0) {
      if (data.quiet_by_depth_.size() <= depth[v]) data.quiet_by_depth_.resize(size_t{depth[v]} + 1, 0);
      data.quiet_by_depth_[depth[v]] += pairs;
    }
  }
  data.compared_pairs_ = compared;
  if (data.blocks_.empty()) return data;

  // Recode each character of the named rows: edit values -> 1..K in value
  // order, markers -> 0. Only equality within a character matters.
  std::vector<uint64_t> wide_offset(n + 1, 0);
  for (uint64_t i = 0; i < n; ++i)
    wide_offset[i + 1] = wide_offset[i] + std::min<uint64_t>(row_of(i).size, usable);
  std::vector<uint32_t> wide(wide_offset[n], 0);
  std::vector<uint64_t> keys;
  keys.reserve(n);
  uint32_t most_codes = 0;
  for (uint64_t k = 0; k < usable; ++k) {
    keys.clear();
    for (uint64_t i = 0; i < n; ++i) {
      const StateSpan row = row_of(i);
      if (k >= row.size) continue;
      const int32_t s = row[k];
      if (s == missing_state || s == unedited_state) continue;
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
  data.row_offset_.resize(n);
  data.row_blocks_.resize(n);
  if (most_codes < 0xFFu && options.min_code_width <= 1) {
    data.code_width_ = 1;
  } else if (most_codes < 0xFFFFu && options.min_code_width <= 2) {
    data.code_width_ = 2;
  } else {
    data.code_width_ = 4;
  }
  uint64_t bytes = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t len = wide_offset[i + 1] - wide_offset[i];
    const uint64_t blocks = (len * data.code_width_ + kBlockBytes - 1) / kBlockBytes;
    data.row_offset_[i] = bytes;
    data.row_blocks_[i] = static_cast<uint32_t>(blocks);
    bytes += blocks * kBlockBytes;
  }
  data.codes_.assign(bytes, 0);
  for (uint64_t i = 0; i < n; ++i) {
    unsigned char* out = data.codes_.data() + data.row_offset_[i];
    for (uint64_t k = wide_offset[i]; k < wide_offset[i + 1]; ++k, out += data.code_width_) {
      const uint32_t c = wide[k];
      if (data.code_width_ == 1) {
        *out = static_cast<unsigned char>(c);
      } else if (data.code_width_ == 2) {
        const uint16_t c16 = static_cast<uint16_t>(c);
        std::memcpy(out, &c16, 2);
      } else {
        std::memcpy(out, &c, 4);
      }
    }
  }
  return data;
}

std::vector<PairBin> OptimizedPHSTreeData::quiet_bins() const {
  std::vector<PairBin> out;
  for (size_t d = 0; d < quiet_by_depth_.size(); ++d)
    if (quiet_by_depth_[d] > 0) out.push_back({0, static_cast<double>(d), quiet_by_depth_[d]});
  return out;
}

std::vector<PairBin> OptimizedPHSTreeData::count_compared(uint64_t begin, uint64_t end) const {
  switch (code_width_) {
    case 1: return count_compared_as<uint8_t>(begin, end);
    case 2: return count_compared_as<uint16_t>(begin, end);
    default: return count_compared_as<uint32_t>(begin, end);
  }
}

template <class Code>
std::vector<PairBin> OptimizedPHSTreeData::count_compared_as(uint64_t begin, uint64_t end) const {
  std::vector<PairBin> out;
  end = std::min(end, compared_pairs_);
  if (begin >= end) return out;
  constexpr unsigned W = sizeof(Code);
  constexpr uint32_t lanes = kBlockBytes / W;
  constexpr Code sentinel = std::numeric_limits<Code>::max();
  const ScanFn scan = scan_kernel<W>(portable_);

  std::vector<uint64_t> counts(size_t{usable_width_} + 1, 0);
  std::vector<unsigned char> prep((size_t{usable_width_} * W + kBlockBytes - 1) / kBlockBytes *
                                      kBlockBytes +
                                  kBlockBytes);
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
    }
    ++bi;
  }
  flush();
  merge_bins(out);
  return out;
}

std::vector<PairBin> calculate_phs_optimized(const OptimizedPHSTreeData& data, WorkerPool* pool,
                                             uint64_t piece) {
  std::vector<PairBin> bins = data.quiet_bins();
  const uint64_t compared = data.compared_pairs();
  if (pool == nullptr) {
    std::vector<PairBin> counted = data.count_compared(0, compared);
    bins.insert(bins.end(), counted.begin(), counted.end());
  } else {
    auto pieces = pool->map_pieces_collect(
        compared, piece, [&](size_t b, size_t e) { return data.count_compared(b, e); });
    for (const auto& p : pieces) bins.insert(bins.end(), p.begin(), p.end());
  }
  merge_bins(bins);
  return bins;
}

// ---- the whole call ---------------------------------------------------------------

PhsResult phs_optimized(const SimpleRootedTree& tree, CharacterMatrix matrix,
                        const InternalStates& internal_states, std::optional<double> mutation_rate,
                        std::optional<double> collision_probability, int32_t missing_state,
                        int32_t unedited_state, std::optional<uint64_t> max_threads) {
  const Instant start = monotonic_now();
  PhsResult out;
  const OptimizedPHSTreeData data = OptimizedPHSTreeData::build(
      tree, std::move(matrix), internal_states, missing_state, unedited_state);
  const double lambda = mutation_rate ? *mutation_rate
                                      : estimate_mutation_rate(data.matrix(), missing_state, unedited_state);
  const double q = collision_probability ? *collision_probability : 0.1;
  const uint64_t n = data.leaf_count();
  if (n < 2) {
    out.computation_time_ms = elapsed_ms(start, monotonic_now());
    return out;
  }

  WorkerPool& pool = WorkerPool::global();
  const uint64_t work = n * (n - 1);
  uint64_t chunks = 1;
  if (work >= 4000)
    chunks = chunk_count(work, 4000, 16000, effective_thread_count(max_threads, pool.worker_count()));
  std::vector<PairBin> bins;
  if (chunks == 1) {
    bins = calculate_phs_optimized(data, nullptr, 0);
    out.method_used = "optimized_sequential";
  } else {
    const uint64_t divisor = chunks < 8 ? 2 : chunks < 32 ? 3 : 4;
    // The pair list's piece length; a chunk count of 0 fails here. Only the
    // compared pairs cost anything, so they are what the pieces cut.
    piece_size(data.total_pairs(), chunks, divisor);
    const uint64_t piece = piece_size(data.compared_pairs(), chunks, divisor);
    bins = calculate_phs_optimized(data, &pool, piece);
    out.method_used = "optimized_parallel";
    out.parallel_chunks_used = chunks;
  }
  const uint64_t a = data.matrix().empty() ? 0 : data.matrix()[0].size();
  out.phs_score = phs_score_from_bins(lambda, q, bins, a);
  out.total_pairs = data.total_pairs();
  out.computation_time_ms = elapsed_ms(start, monotonic_now());
  return out;
}

}  // namespace cladorix
