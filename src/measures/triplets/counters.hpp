// What every triplets-correct variant shares: the outgroup rule, the four
// counters, the four values over a denominator, and the result.
#pragma once

#include <cstdint>
#include <utility>

#include "tree/leaf_lca.hpp"

namespace cladorix {

// The rule on three pair depths: the pair strictly deeper than both others
// leaves its third leaf out (ab -> 2, ac -> 1, bc -> 0); -1 (unresolved)
// when no pair is strictly deepest.
inline int outgroup_from_depths(uint64_t d_ab, uint64_t d_ac, uint64_t d_bc) {
  if (d_ab > d_ac && d_ab > d_bc) return 2;
  if (d_ac > d_ab && d_ac > d_bc) return 1;
  if (d_bc > d_ab && d_bc > d_ac) return 0;
  return -1;
}

// The rule for the leaves at distinct positions p[0..2] of a leaf order:
// the index 0, 1 or 2 of the outgroup, or -1. Ordered by position, the outer
// pair's depth is the smaller of the two inner ones, so two reads decide.
inline int outgroup_at(const LeafLca& lca, const uint32_t p[3]) {
  int lo = 0, mid = 1, hi = 2;
  if (p[lo] > p[mid]) std::swap(lo, mid);
  if (p[mid] > p[hi]) std::swap(mid, hi);
  if (p[lo] > p[mid]) std::swap(lo, mid);
  const uint32_t x = lca.ordered_pair_depth(p[lo], p[mid]);
  const uint32_t z = lca.ordered_pair_depth(p[mid], p[hi]);
  if (x > z) return hi;
  if (z > x) return lo;
  return -1;
}

struct TripletCounters {
  uint64_t correct_count = 0;             // outcomes agree
  uint64_t unresolved_count = 0;          // unresolved in tree 1
  uint64_t unresolved_correct_count = 0;  // unresolved in both trees
  uint64_t resolvable_correct_count = 0;  // resolved in tree 1, same outgroup in tree 2

  // One evaluated triplet. An outcome is an outgroup (any value >= 0 that
  // identifies it the same way in both trees) or negative for unresolved.
  void add(int o1, int o2) { add(o1 >= 0, o2 >= 0, o1 == o2); }
  void add(bool resolved1, bool resolved2, bool same_outgroup) {
    if (!resolved1) {
      ++unresolved_count;
      if (!resolved2) {
        ++correct_count;
        ++unresolved_correct_count;
      }
    } else if (resolved2 && same_outgroup) {
      ++correct_count;
      ++resolvable_correct_count;
    }
  }

  TripletCounters& operator+=(const TripletCounters& o) {
    correct_count += o.correct_count;
    unresolved_count += o.unresolved_count;
    unresolved_correct_count += o.unresolved_correct_count;
    resolvable_correct_count += o.resolvable_correct_count;
    return *this;
  }
  bool operator==(const TripletCounters&) const = default;
};

// C(n, 3), 0 below 3 leaves. Exact (a 64-bit product n(n-1)(n-2) would wrap
// from about 2.6 million leaves on), and held at 2^64 - 1 from about 4.8
// million leaves, where the count itself no longer fits.
inline uint64_t triplet_count(uint64_t n) {
  if (n < 3) return 0;
  const unsigned __int128 t = static_cast<unsigned __int128>(n) * (n - 1) * (n - 2) / 6;
  return t > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(t);
}

struct TripletScores {
  TripletCounters counters;
  double all_triplets_correct = 0.0;
  double resolvable_triplets_correct = 0.0;
  double unresolved_triplets_correct = 0.0;
  double proportion_unresolvable = 0.0;
};

// The four values over `denominator` (the number of trials, or of triplets
// checked). 0/0 gives NaN for the two plain ratios, as it should.
inline TripletScores triplet_scores(const TripletCounters& c, uint64_t denominator) {
  TripletScores s;
  s.counters = c;
  s.all_triplets_correct = static_cast<double>(c.correct_count) / static_cast<double>(denominator);
  s.proportion_unresolvable =
      static_cast<double>(c.unresolved_count) / static_cast<double>(denominator);
  s.unresolved_triplets_correct = c.unresolved_count == 0
                                      ? 1.0
                                      : static_cast<double>(c.unresolved_correct_count) /
                                            static_cast<double>(c.unresolved_count);
  s.resolvable_triplets_correct = denominator == c.unresolved_count
                                      ? 1.0
                                      : static_cast<double>(c.resolvable_correct_count) /
                                            static_cast<double>(denominator - c.unresolved_count);
  return s;
}

// A variant's whole answer: the four values, and how they were obtained for
// the variants that say so (method_used null: they do not).
struct TripletResult : TripletScores {
  const char* method_used = nullptr;
  uint64_t total_triplets_checked = 0;
  uint64_t parallel_chunks_used = 1;
  bool reports_chunks = false;  // whether parallel_chunks_used belongs in the result
};

}  // namespace cladorix
