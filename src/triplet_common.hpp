// Counters and result values shared by every triplets-correct variant.
#pragma once

#include <cstdint>
#include <string>

namespace cladorix {

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
  s.unresolved_triplets_correct =
      c.unresolved_count == 0 ? 1.0
                              : static_cast<double>(c.unresolved_correct_count) /
                                    static_cast<double>(c.unresolved_count);
  s.resolvable_triplets_correct =
      denominator == c.unresolved_count
          ? 1.0
          : static_cast<double>(c.resolvable_correct_count) /
                static_cast<double>(denominator - c.unresolved_count);
  return s;
}

struct UltraTripletScores : TripletScores {
  std::string method_used;  // "exhaustive" or "sampling"
  uint64_t total_triplets_checked = 0;
};

}  // namespace cladorix
