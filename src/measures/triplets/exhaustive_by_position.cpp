#include "measures/triplets/exhaustive_by_position.hpp"

#include <algorithm>

#include "runtime/cancel.hpp"

namespace cladorix {
namespace {

// Relative costs of a middle leaf's parts (measured on caterpillars and
// random trees), for cutting equal pieces: a left run also drives the
// pointer sweep, and every middle leaf has a fixed overhead.
constexpr uint64_t kLeftRun = 3, kRightRun = 2, kMiddle = 4;

struct Run {
  uint32_t d1, d2;  // LCA depth with the middle leaf in tree 1 and tree 2
  uint32_t count;   // leaves sharing both
};

void next_smaller(const uint32_t* a, uint32_t len, std::vector<uint32_t>& next) {
  next.assign(len, len);
  std::vector<uint32_t> stack;
  CancelPoller poll;
  for (uint32_t q = 0; q < len; ++q) {
    while (!stack.empty() && a[stack.back()] > a[q]) {
      next[stack.back()] = q;
      stack.pop_back();
    }
    stack.push_back(q);
  }
  poll.tick(8 * uint64_t{len});
}

void previous_smaller_plus_one(const uint32_t* a, uint32_t len, std::vector<uint32_t>& prev) {
  prev.assign(len, 0);
  std::vector<uint32_t> stack;
  CancelPoller poll;
  for (uint32_t q = 0; q < len; ++q) {
    while (!stack.empty() && a[stack.back()] >= a[q]) stack.pop_back();
    prev[q] = stack.empty() ? 0 : stack.back() + 1;
    stack.push_back(q);
  }
  poll.tick(8 * uint64_t{len});
}

}  // namespace

ExhaustiveTripletCounter::ExhaustiveTripletCounter(const LeafLca& lca1, const LeafLca& lca2,
                                                   uint32_t n)
    : n_(n) {
  work_prefix_.assign(std::max<uint32_t>(n, 2), 0);
  if (n < 3) return;
  const uint32_t len = n - 1;
  adj1_ = lca1.adjacent_depths().data();
  adj2_ = lca2.adjacent_depths().data();
  next_smaller(adj1_, len, next1_);
  next_smaller(adj2_, len, next2_);
  previous_smaller_plus_one(adj1_, len, prev1_);
  previous_smaller_plus_one(adj2_, len, prev2_);

  // Chain lengths bound the runs on each side of a middle leaf.
  std::vector<uint32_t> r1(len), r2(len), l1(len), l2(len);
  CancelPoller poll;
  for (uint32_t q = len; q-- > 0;) {
    r1[q] = 1 + (next1_[q] < len ? r1[next1_[q]] : 0);
    r2[q] = 1 + (next2_[q] < len ? r2[next2_[q]] : 0);
  }
  poll.tick(8 * uint64_t{len});
  for (uint32_t q = 0; q < len; ++q) {
    l1[q] = 1 + (prev1_[q] > 0 ? l1[prev1_[q] - 1] : 0);
    l2[q] = 1 + (prev2_[q] > 0 ? l2[prev2_[q] - 1] : 0);
  }
  poll.tick(8 * uint64_t{len});
  for (uint32_t j = 1; j + 1 < n; ++j)
    work_prefix_[j + 1] = work_prefix_[j] + kRightRun * (r1[j] + r2[j]) +
                          kLeftRun * (l1[j - 1] + l2[j - 1]) + kMiddle;
  poll.tick(4 * uint64_t{n});
}

uint64_t ExhaustiveTripletCounter::work(uint32_t begin, uint32_t end) const {
  return end > begin ? work_prefix_[end] - work_prefix_[begin] : 0;
}

std::vector<uint32_t> ExhaustiveTripletCounter::split(uint64_t pieces) const {
  const uint32_t begin = middle_begin(), end = middle_end();
  std::vector<uint32_t> bounds{begin};
  if (end <= begin) return bounds;
  pieces = std::clamp<uint64_t>(pieces, 1, end - begin);
  const uint64_t base = work_prefix_[begin];
  const unsigned __int128 total = work(begin, end);
  for (uint64_t p = 1; p < pieces; ++p) {
    const uint64_t target = base + static_cast<uint64_t>(total * p / pieces);
    const auto first = work_prefix_.begin() + bounds.back() + 1;
    const auto last = work_prefix_.begin() + end;
    const uint32_t j =
        static_cast<uint32_t>(std::lower_bound(first, last, target) - work_prefix_.begin());
    if (j < end) bounds.push_back(j);
  }
  bounds.push_back(end);
  return bounds;
}

TripletCounters ExhaustiveTripletCounter::count(uint32_t begin, uint32_t end) const {
  TripletCounters c;
  end = std::min(end, middle_end());
  begin = std::max(begin, middle_begin());
  if (begin >= end) return c;
  const uint32_t len = n_ - 1;
  const uint32_t* a1 = adj1_;
  const uint32_t* a2 = adj2_;
  std::vector<Run> left, right;
  CancelPoller poll;
  for (uint32_t j = begin; j < end; ++j) {
    // Right of j: k = q + 1 for q in [j, len); d(j,k) = min a[j..q].
    right.clear();
    for (uint32_t q = j, p1 = j, p2 = j; q < len;) {
      const uint32_t n1 = next1_[p1], n2 = next2_[p2];
      const uint32_t nb = n1 < n2 ? n1 : n2;
      right.push_back(Run{a1[p1], a2[p2], nb - q});
      q = nb;
      if (n1 == nb) p1 = nb;
      if (n2 == nb) p2 = nb;
    }
    // Left of j: i in [0, j); d(i,j) = min a[i..j-1], walked from i = j-1 down.
    left.clear();
    for (uint32_t hi = j, p1 = j - 1, p2 = j - 1; hi > 0;) {
      const uint32_t b1 = prev1_[p1], b2 = prev2_[p2];
      const uint32_t nb = b1 > b2 ? b1 : b2;
      left.push_back(Run{a1[p1], a2[p2], hi - nb});
      hi = nb;
      if (b1 == nb && nb > 0) p1 = nb - 1;
      if (b2 == nb && nb > 0) p2 = nb - 1;
    }
    // Both sequences descend in both depths, so the right runs deeper than,
    // or at least as deep as, a left run form prefixes that only grow.
    const size_t rn = right.size();
    const uint64_t rtotal = len - j;  // n - 1 - j leaves right of j
    size_t ig1 = 0, ie1 = 0, ig2 = 0, ie2 = 0;
    uint64_t g1 = 0, e1 = 0, g2 = 0, e2 = 0;
    uint64_t unresolved = 0, unresolved_correct = 0, resolvable_correct = 0;
    for (const Run& l : left) {
      while (ig1 < rn && right[ig1].d1 > l.d1) g1 += right[ig1++].count;
      while (ie1 < rn && right[ie1].d1 >= l.d1) e1 += right[ie1++].count;
      while (ig2 < rn && right[ig2].d2 > l.d2) g2 += right[ig2++].count;
      while (ie2 < rn && right[ie2].d2 >= l.d2) e2 += right[ie2++].count;
      // In cumulative counts over the right runs: a tie in tree 1 is
      // [g1, e1), a tie in both its overlap with [g2, e2). The outgroup
      // agrees when d(j,k) is deeper than d(i,j) in both trees (i is out:
      // below min(g1, g2)) or shallower in both (k is out: from max(e1, e2)).
      const uint64_t lo = g1 > g2 ? g1 : g2, hi = e1 < e2 ? e1 : e2;
      const uint64_t tie_both = hi > lo ? hi - lo : 0;
      const uint64_t agree = (g1 < g2 ? g1 : g2) + (rtotal - (e1 > e2 ? e1 : e2));
      unresolved += l.count * (e1 - g1);
      unresolved_correct += l.count * tie_both;
      resolvable_correct += l.count * agree;
    }
    c.unresolved_count += unresolved;
    c.unresolved_correct_count += unresolved_correct;
    c.resolvable_correct_count += resolvable_correct;
    c.correct_count += unresolved_correct + resolvable_correct;
    poll.tick(8 * (left.size() + right.size()) + 16);
  }
  return c;
}

TripletCounters exhaustive_triplet_counts(const LeafLca& lca1, const LeafLca& lca2, uint32_t n) {
  return ExhaustiveTripletCounter(lca1, lca2, n).count_all();
}

}  // namespace cladorix
