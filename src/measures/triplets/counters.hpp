// What every triplets-correct variant shares, sampled and exact: the
// outgroup rule, how one triplet counts, the four counters, the four values
// over a denominator, and the result.
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

// How one triplet counts, from its outcome in either tree: unresolved in
// tree 1; correct when both leave it unresolved, or both resolve it with
// the same outgroup (`same_outgroup` is only looked at when both resolve it).
struct TripletVerdict {
  bool unresolved;
  bool unresolved_correct;
  bool resolvable_correct;
};
inline TripletVerdict judge_triplet(bool resolved1, bool resolved2, bool same_outgroup) {
  return {!resolved1, !resolved1 && !resolved2, resolved1 && resolved2 && same_outgroup};
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
    const TripletVerdict v = judge_triplet(resolved1, resolved2, same_outgroup);
    unresolved_count += v.unresolved;
    unresolved_correct_count += v.unresolved_correct;
    resolvable_correct_count += v.resolvable_correct;
    correct_count += v.unresolved_correct || v.resolvable_correct;
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

// The four values of every variant, each over a denominator: the number of
// trials, of triplets checked, or (exact) of triplets.
struct TripletRatios {
  double all_triplets_correct = 0.0;
  double resolvable_triplets_correct = 0.0;
  double unresolved_triplets_correct = 0.0;
  double proportion_unresolvable = 0.0;
};

// The four values from counts of any unsigned width, converted to double
// first: correct / denominator; resolvable_correct / (denominator -
// unresolved), 1.0 when every triplet is unresolved; unresolved_correct /
// unresolved, 1.0 when none is; unresolved / denominator. 0/0 gives NaN for
// the two plain ratios, as it should.
template <class Count>
TripletRatios triplet_ratios(Count correct, Count resolvable_correct, Count unresolved,
                             Count unresolved_correct, Count denominator) {
  const auto d = [](Count x) { return static_cast<double>(x); };
  TripletRatios r;
  r.all_triplets_correct = d(correct) / d(denominator);
  r.proportion_unresolvable = d(unresolved) / d(denominator);
  r.unresolved_triplets_correct = unresolved == 0 ? 1.0 : d(unresolved_correct) / d(unresolved);
  r.resolvable_triplets_correct =
      denominator == unresolved ? 1.0 : d(resolvable_correct) / d(denominator - unresolved);
  return r;
}

struct TripletScores : TripletRatios {
  TripletCounters counters;
};

// The four values over `denominator` (the number of trials, or of triplets
// checked).
inline TripletScores triplet_scores(const TripletCounters& c, uint64_t denominator) {
  TripletScores s;
  s.counters = c;
  static_cast<TripletRatios&>(s) =
      triplet_ratios(c.correct_count, c.resolvable_correct_count, c.unresolved_count,
                     c.unresolved_correct_count, denominator);
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
