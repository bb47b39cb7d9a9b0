// The pairwise homoplasy score's pieces against literal transcriptions: pair
// histograms at every code width and pool split against dense n x n LCA
// tables from the Euler-tour structure, binomial tails term by term, Simes'
// minimum rank by rank over a full stable sort. Results must agree bit for
// bit. Whole scores against the definition are checked in test_phs.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "measures/phs/phs.hpp"
#include "reference/euler_lca.hpp"
#include "stats/binomial_tail.hpp"
#include "stats/simes.hpp"
#include "tree_gen.hpp"
#include "util/errors.hpp"

namespace cladorix {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The score of pair lists: counts[i] and depths[i] belong to pair i.
double score_of_pair_lists(double lambda, double q, const std::vector<uint64_t>& counts,
                           const std::vector<double>& depths, uint64_t a) {
  if (counts.size() != depths.size()) fail("pair counts and depths differ in length");
  std::vector<PairBin> bins;
  for (size_t i = 0; i < counts.size(); ++i) bins.push_back({counts[i], depths[i], 1});
  merge_bins(bins);
  return phs_score_from_bins(lambda, q, bins, a);
}

// ---- the reference ------------------------------------------------------------------

struct RefPairs {
  std::vector<uint64_t> counts;
  std::vector<double> depths;
};

RefPairs reference_pairs(const Tree& tree, const CharacterMatrix& matrix,
                         const InternalStates& states, int32_t missing, int32_t unedited) {
  const reference::EulerLca lca(tree);
  std::vector<NodeId> leaves;
  for (NodeId v = 0; v < tree.size(); ++v)
    if (tree.is_leaf(v) && tree.has_name(v)) leaves.push_back(v);
  const size_t n = leaves.size();
  std::vector<std::vector<NodeId>> lca_table(n, std::vector<NodeId>(n));
  std::vector<std::vector<double>> depth_table(n, std::vector<double>(n));
  for (size_t i = 0; i < n; ++i) {
    lca_table[i][i] = leaves[i];
    depth_table[i][i] = testgen::naive_depth(tree, leaves[i]);
    for (size_t j = i + 1; j < n; ++j) {
      const NodeId l = lca.get_lca_id(leaves[i], leaves[j]);
      lca_table[i][j] = lca_table[j][i] = l;
      depth_table[i][j] = depth_table[j][i] = static_cast<double>(testgen::naive_depth(tree, l));
    }
  }
  std::map<NodeId, std::vector<int32_t>> node_states;
  for (const auto& [name, list] : states)
    for (NodeId v = 0; v < tree.size(); ++v)
      if (tree.has_name(v) && tree.name(v) == name) {
        node_states[v] = list;
        break;
      }
  static const std::vector<int32_t> kNoRow;
  RefPairs out;
  for (size_t i = 0; i < n; ++i)
    for (size_t j = i + 1; j < n; ++j) {
      out.depths.push_back(depth_table[i][j]);
      auto it = node_states.find(lca_table[i][j]);
      uint64_t c = 0;
      if (it != node_states.end()) {
        const auto& s = it->second;
        const auto& a = i < matrix.size() ? matrix[i] : kNoRow;
        const auto& b = j < matrix.size() ? matrix[j] : kNoRow;
        const size_t len = std::min({a.size(), b.size(), s.size()});
        for (size_t k = 0; k < len; ++k)
          c += s[k] == unedited && a[k] == b[k] && a[k] != missing && a[k] != unedited;
      }
      out.counts.push_back(c);
    }
  return out;
}

double reference_h(double lambda, double q, double d, bool capped) {
  if (d == 1.0) return 1.0;
  const double g = std::exp((1.0 - d) * (-lambda));
  const double h = ((std::exp(d * (-lambda)) * (1.0 - g)) * (1.0 - g)) * q;
  return capped && h > 1.0 ? 1.0 : h;
}

double reference_tail(double h, uint64_t c, uint64_t a) {
  double p;
  if (c == 0) {
    p = 1.0;
  } else if (h == 0.0) {
    p = 0.0;
  } else if (h == 1.0) {
    p = c <= a ? 1.0 : 0.0;
  } else {
    const double lnh = std::log(h), ln1h = std::log(1.0 - h);
    double sum = 0.0;
    for (uint64_t j = 0; j < c; ++j) {
      double b = 0.0;
      if (j <= a) {
        double binom = 1.0;
        for (uint64_t k = 0; k < std::min(j, a - j); ++k)
          binom *= static_cast<double>(a - k) / static_cast<double>(k + 1);
        const double t = std::log(binom);
        b = std::exp((static_cast<double>(a - j) * ln1h + static_cast<double>(j) * lnh) + t);
      }
      sum += b;
    }
    p = 1.0 - sum;
  }
  return p == 0.0 ? 2.220446049250313e-16 : p;
}

double reference_score(double lambda, double q, const RefPairs& pairs, uint64_t a, bool capped) {
  std::vector<double> p;
  for (size_t i = 0; i < pairs.counts.size(); ++i)
    p.push_back(
        reference_tail(reference_h(lambda, q, pairs.depths[i], capped), pairs.counts[i], a));
  const size_t m = p.size();
  if (m == 1) return std::isnan(p[0]) ? kInf : std::min(p[0], kInf);
  for (double x : p)
    if (std::isnan(x)) throw InternalError("NaN");
  std::stable_sort(p.begin(), p.end());
  double best = kInf;
  for (size_t k = 1; k <= m; ++k)
    best = std::fmin(best, (static_cast<double>(m) * p[k - 1]) / static_cast<double>(k));
  return best;
}

std::vector<PairBin> bins_of(const RefPairs& pairs) {
  std::map<std::pair<uint64_t, double>, uint64_t> grouped;
  for (size_t i = 0; i < pairs.counts.size(); ++i) ++grouped[{pairs.counts[i], pairs.depths[i]}];
  std::vector<PairBin> out;
  for (const auto& [key, k] : grouped) out.push_back({key.first, key.second, k});
  return out;
}

void expect_same_bins(const std::vector<PairBin>& got, const std::vector<PairBin>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].count, want[i].count) << i;
    EXPECT_EQ(got[i].depth, want[i].depth) << i;
    EXPECT_EQ(got[i].pairs, want[i].pairs) << i;
  }
}

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// ---- random cases --------------------------------------------------------------------

struct Case {
  std::string newick;
  CharacterMatrix matrix;
  InternalStates states;
  int32_t missing = -1;
  int32_t unedited = 0;
};

// Small trees with duplicate and missing leaf names, internal names that
// repeat or also name a leaf, rows of uneven length, sometimes fewer rows than
// leaves, and sometimes equal markers.
Case random_case(std::mt19937_64& gen, uint32_t max_leaves, int32_t distinct_edits = 3,
                 uint32_t min_leaves = 1) {
  auto pick = [&](uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(gen);
  };
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  Case c;
  const uint32_t leaves = pick(min_leaves, max_leaves);
  std::vector<std::string> labels;
  for (uint32_t i = 0; i < leaves; ++i) {
    const double r = coin(gen);
    labels.push_back(r < 0.1   ? ""
                     : r < 0.2 ? testgen::leaf_label(pick(0, 3))
                               : testgen::leaf_label(i));
  }
  testgen::Shape shape;
  shape.max_children = pick(2, 4);
  shape.single_child_rate = coin(gen) < 0.3 ? 0.15 : 0.0;
  const std::vector<std::string> pool = {"x0", "x1", "x2", "x3", "x4", "x5", "t1"};
  c.newick =
      testgen::name_internal_nodes(testgen::random_newick(labels, gen, shape), pool, 0.8, gen);
  if (coin(gen) < 0.15) c.unedited = c.missing;
  const uint32_t width = pick(0, 40);
  const uint32_t rows = coin(gen) < 0.2 ? pick(0, leaves) : leaves + pick(0, 2);
  auto state = [&]() -> int32_t {
    const double r = coin(gen);
    if (r < 0.15) return c.missing;
    if (r < 0.5) return c.unedited;
    return static_cast<int32_t>(pick(1, static_cast<uint32_t>(distinct_edits))) *
           (coin(gen) < 0.1 ? -7 : 1);
  };
  for (uint32_t i = 0; i < rows; ++i) {
    const uint32_t len = coin(gen) < 0.2 ? pick(0, width + 3) : width;
    std::vector<int32_t> row;
    for (uint32_t k = 0; k < len; ++k) row.push_back(state());
    c.matrix.push_back(std::move(row));
  }
  for (const auto& name : pool) {
    if (coin(gen) < 0.2) continue;
    const uint32_t len = coin(gen) < 0.2 ? pick(0, width + 3) : width;
    std::vector<int32_t> s;
    for (uint32_t k = 0; k < len; ++k) s.push_back(coin(gen) < 0.6 ? c.unedited : state());
    c.states[name] = std::move(s);
  }
  if (coin(gen) < 0.1) c.states["nowhere"] = {c.unedited};
  return c;
}

// ---- the pair histogram ----------------------------------------------------------------

TEST(PhsPairs, HistogramMatchesDenseTablesOnRandomTrees) {
  std::mt19937_64 gen(20240611);
  WorkerPool& pool = WorkerPool::global();
  uint64_t shared = 0;  // pairs with c > 0
  for (int iter = 0; iter < 400; ++iter) {
    Case c = random_case(gen, 30);
    const Tree tree = from_newick(c.newick);
    const RefPairs ref = reference_pairs(tree, c.matrix, c.states, c.missing, c.unedited);
    const std::vector<PairBin> want = bins_of(ref);
    for (uint64_t c : ref.counts) shared += c > 0;
    const std::vector<NodeId> leaves = tree.leaves();
    if (std::none_of(leaves.begin(), leaves.end(), [&](NodeId v) { return tree.has_name(v); })) {
      EXPECT_THROW(PhsPairBlocks::build(tree, c.matrix, c.states, c.missing, c.unedited),
                   InternalError);
      continue;
    }
    for (uint32_t width : {1u, 2u, 4u})
      for (bool portable : {false, true}) {
        const auto data = PhsPairBlocks::build(tree, c.matrix, c.states, c.missing, c.unedited,
                                               {width, portable});
        SCOPED_TRACE(c.newick + " width " + std::to_string(width) + (portable ? " sse2" : ""));
        ASSERT_EQ(data.total_pairs(), ref.counts.size());
        expect_same_bins(count_pair_bins(data, nullptr, 0), want);
        for (uint64_t piece : {1u, 3u, 17u})
          expect_same_bins(count_pair_bins(data, &pool, piece), want);
      }
  }
  EXPECT_GT(shared, 2000u);
}

TEST(PhsPairs, CountsSpanSeveralBlocks) {
  // 70 characters: several 32-byte blocks at every code width. Everything is
  // shared except where the ancestor is edited (every 7th) or a leaf is
  // missing (every 11th, in the second leaf).
  const Tree tree = from_newick("((A,B)y,C)r;");
  CharacterMatrix m(3, std::vector<int32_t>(70));
  std::vector<int32_t> y(70, 0);
  uint64_t want = 0;
  for (int32_t k = 0; k < 70; ++k) {
    m[0][k] = 100 + k;
    m[1][k] = k % 11 == 10 ? -1 : 100 + k;
    m[2][k] = 100 + k;
    if (k % 7 == 6) y[k] = 9;
    want += k % 11 != 10 && k % 7 != 6;
  }
  const InternalStates s = {{"y", y}, {"r", std::vector<int32_t>(69, 0)}};
  for (uint32_t width : {1u, 2u, 4u})
    for (bool portable : {false, true}) {
      const auto data = PhsPairBlocks::build(tree, m, s, -1, 0, {width, portable});
      // (A, C) and (B, C) under r see 69 characters; B misses 6 of them.
      ASSERT_EQ(want, 54u);
      expect_same_bins(count_pair_bins(data, nullptr, 0),
                       {{want, 1.0, 1}, {63, 0.0, 1}, {69, 0.0, 1}});
    }
}

TEST(PhsPairs, ManyDistinctEditsChooseWiderCodes) {
  std::mt19937_64 gen(77);
  const std::string newick = testgen::random_newick(testgen::labels(300), gen);
  // Column 0: every leaf its own edit (300 codes, beyond one byte), except
  // that leaves 0 and 1 share one; column 1: two values.
  CharacterMatrix matrix;
  for (int32_t i = 0; i < 300; ++i) matrix.push_back({i < 2 ? 5000 : 1000 + i, 1 + (i % 2)});
  // Name every internal node and give each unedited states.
  std::vector<std::string> internal;
  const Tree named_tree = from_newick(testgen::number_internal_nodes(newick, "i", 0, internal));
  InternalStates states;
  for (const std::string& name : internal) states[name] = {0, 0};
  const auto data = PhsPairBlocks::build(named_tree, matrix, states, -1, 0);
  EXPECT_EQ(data.code_width(), 2u);
  expect_same_bins(count_pair_bins(data, nullptr, 0),
                   bins_of(reference_pairs(named_tree, matrix, states, -1, 0)));
}

TEST(PhsPairs, QuietAncestorsNeedNoComparisons) {
  // x has no unedited character, r has no states: nothing is compared.
  const Tree tree = from_newick("((A,B)x,(C,D)y)r;");
  const CharacterMatrix m = {{1, 1}, {1, 1}, {2, 2}, {2, 2}};
  const InternalStates s = {{"x", {1, 1}}, {"y", {0, -1}}};
  const auto data = PhsPairBlocks::build(tree, m, s, -1, 0);
  EXPECT_EQ(data.total_pairs(), 6u);
  EXPECT_EQ(data.compared_pairs(), 1u);  // only (C, D) under y
  expect_same_bins(count_pair_bins(data, nullptr, 0), {{0, 0.0, 4}, {0, 1.0, 1}, {1, 1.0, 1}});
}

TEST(PhsPairs, MissingRowsAreEmptyAndStatesGoToTheFirstNodeOfTheirName) {
  // Three rows for four named leaves: D has none. Both u nodes carry the
  // name; the outer one comes first in node order and takes the states.
  const Tree tree = from_newick("(((A,B)u,C)u,D)r;");
  const CharacterMatrix m = {{3, 3}, {3, 3}, {3, 0}};
  const InternalStates s = {{"u", {0, 0}}, {"r", {0, 0}}};
  const auto data = PhsPairBlocks::build(tree, m, s, -1, 0);
  EXPECT_EQ(data.leaf_count(), 4u);
  // (A, B) under the inner u: no states. (A, C), (B, C) under the outer u
  // share the edit 3. Pairs with D under r: D's row is empty.
  expect_same_bins(count_pair_bins(data, nullptr, 0), {{0, 0.0, 3}, {0, 2.0, 1}, {1, 1.0, 2}});
}

TEST(PhsPairs, TreesTheTablesRefuse) {
  const InternalStates none;
  // An unclosed "(" fails when the tables would be built, even with one leaf.
  EXPECT_THROW(PhsPairBlocks::build(from_newick("((A,B);"), {}, none, -1, 0), InternalError);
  EXPECT_THROW(PhsPairBlocks::build(from_newick("(A;"), {}, none, -1, 0), InternalError);
  // No named leaf: an index out of range while the tables are set up.
  EXPECT_THROW(PhsPairBlocks::build(from_newick("(,)x;"), {}, none, -1, 0), InternalError);
  EXPECT_THROW(PhsPairBlocks::build(from_newick(";"), {}, none, -1, 0), InternalError);
  EXPECT_EQ(PhsPairBlocks::build(from_newick("(A,)x;"), {}, none, -1, 0).leaf_count(), 1u);
}

// ---- p-values ------------------------------------------------------------------------

TEST(PhsPValues, BinomialTailAgainstExactValues) {
  // P(X >= 2), X ~ Bin(4, 1/2) = 11/16; P(X >= 1), X ~ Bin(3, 0.2) = 1 - 0.8^3;
  // P(X >= 3), X ~ Bin(10, 0.3) = 0.6172172.
  EXPECT_NEAR(binomial_tail_pvalue(0.5, 2, 4), 0.6875, 1e-14);
  EXPECT_NEAR(binomial_tail_pvalue(0.2, 1, 3), 0.488, 1e-14);
  EXPECT_NEAR(binomial_tail_pvalue(0.3, 3, 10), 0.6172172, 1e-7);
  // Beyond a every term is 0: the tail is 1 - (sum of the whole pmf), here
  // within rounding of 0, and an exact 0 becomes epsilon.
  EXPECT_NEAR(binomial_tail_pvalue(0.3, 12, 10), 0.0, 1e-15);
  EXPECT_EQ(binomial_tail_pvalue(0.0, 3, 10), 2.220446049250313e-16);
  EXPECT_EQ(binomial_tail_pvalue(0.0, 0, 10), 1.0);
  EXPECT_EQ(binomial_tail_pvalue(1.0, 10, 10), 1.0);
  EXPECT_EQ(binomial_tail_pvalue(1.0, 11, 10), 2.220446049250313e-16);
  EXPECT_TRUE(std::isnan(binomial_tail_pvalue(kNaN, 1, 10)));
  EXPECT_EQ(binomial_tail_pvalue(kNaN, 0, 10), 1.0);
  // Negative h: the logarithm of h is NaN from j = 0 on.
  EXPECT_TRUE(std::isnan(binomial_tail_pvalue(-0.1, 1, 10)));
  // Every count of moderate a: the binomial coefficient is the product of the
  // quotients (a - k) / (k + 1); multiplying by a - k and then dividing
  // rounds differently for a few dozen of these.
  for (uint64_t a : {30u, 100u, 200u})
    for (uint64_t c = 1; c <= a + 1; ++c)
      for (double h : {0.01, 0.1, 0.3, 0.5}) {
        const double got = binomial_tail_pvalue(h, c, a), want = reference_tail(h, c, a);
        ASSERT_TRUE(same_bits(got, want))
            << a << " " << c << " " << h << ": " << got << " vs " << want;
      }
  // Large a: the products overflow to +inf and the tail runs to -inf or NaN
  // exactly as the term-by-term definition does.
  for (uint64_t a : {5u, 60u, 1100u, 2000u})
    for (uint64_t c : {1u, 2u, 7u, 40u, 700u, 1500u})
      for (double h : {1e-9, 0.01, 0.3, 0.97}) {
        const double got = binomial_tail_pvalue(h, c, a), want = reference_tail(h, c, a);
        EXPECT_TRUE(same_bits(got, want) || (std::isnan(got) && std::isnan(want)))
            << a << " " << c << " " << h << ": " << got << " vs " << want;
      }
}

TEST(PhsPValues, DepthZeroAndDepthOne) {
  const double h0 = homoplasy_probability(0.1, 0.1, 0.0);
  EXPECT_NEAR(h0, 0.000906, 1e-6);
  EXPECT_EQ(h0, (1.0 - std::exp(-0.1)) * (1.0 - std::exp(-0.1)) * 0.1);
  // c = 1: p = 1 - (1 - h)^a.
  EXPECT_NEAR(phs_pair_pvalue(0.1, 0.1, 1, 0.0, 20), 1.0 - std::pow(1.0 - h0, 20), 1e-15);
  EXPECT_EQ(homoplasy_probability(0.1, 0.1, 1.0), 1.0);
  EXPECT_EQ(homoplasy_probability(kNaN, kNaN, 1.0), 1.0);
  for (uint64_t c = 0; c <= 20; ++c) EXPECT_EQ(phs_pair_pvalue(0.1, 0.1, c, 1.0, 20), 1.0);
  EXPECT_EQ(phs_pair_pvalue(0.1, 0.1, 21, 1.0, 20), 2.220446049250313e-16);
}

TEST(PhsPValues, CapOnTheHomoplasyProbability) {
  // lambda = q = 0.1: the raw formula crosses 1 between depths 26 and 27.
  for (double d = 2.0; d <= 40.0; d += 1.0) {
    const double raw = reference_h(0.1, 0.1, d, false);
    const double got = homoplasy_probability(0.1, 0.1, d);
    if (raw <= 1.0) {
      EXPECT_TRUE(same_bits(got, raw)) << d;
      EXPECT_TRUE(same_bits(phs_pair_pvalue(0.1, 0.1, 3, d, 30), reference_tail(raw, 3, 30))) << d;
    } else {
      EXPECT_GE(d, 26.0);
      EXPECT_EQ(got, 1.0) << d;
      EXPECT_TRUE(std::isnan(reference_tail(raw, 3, 30))) << d;  // what the cap mends
      EXPECT_EQ(phs_pair_pvalue(0.1, 0.1, 3, d, 30), 1.0) << d;
      EXPECT_EQ(phs_pair_pvalue(0.1, 0.1, 31, d, 30), 2.220446049250313e-16) << d;
    }
  }
  // From depth 6 with the rate of a half-edited matrix and q = 0.1.
  const double lambda = -std::log(0.5);
  EXPECT_LE(reference_h(lambda, 0.1, 5.0, false), 1.0);
  EXPECT_GT(reference_h(lambda, 0.1, 6.0, false), 1.0);
  EXPECT_EQ(homoplasy_probability(lambda, 0.1, 6.0), 1.0);
  // NaN is not capped.
  EXPECT_TRUE(std::isnan(homoplasy_probability(kNaN, 0.1, 3.0)));
  EXPECT_TRUE(std::isnan(homoplasy_probability(kInf, 0.1, 3.0)));
}

// ---- Simes' combination ----------------------------------------------------------------

TEST(PhsSimes, ThreePairExample) {
  EXPECT_EQ(simes_combine({{0.01, 1}, {0.5, 1}, {1.0, 1}}), (3.0 * 0.01) / 1.0);
  EXPECT_NEAR(simes_combine({{1.0, 1}, {0.5, 1}, {0.01, 1}}), 0.03, 1e-15);
  // The same through pair lists: a = 1 and c = 1 make p = 1 - (1 - h), h
  // from depth 0 with lambda = ln 2 and q = 0.04 (about 0.01), and from depth
  // 5.75 (about 0.5); the third pair has c = 0.
  const double lambda = std::log(2.0);
  const std::vector<uint64_t> counts = {1, 1, 0};
  const std::vector<double> depths = {0.0, 5.75, 3.0};
  const double score = score_of_pair_lists(lambda, 0.04, counts, depths, 1);
  const double p1 = phs_pair_pvalue(lambda, 0.04, 1, 0.0, 1),
               p2 = phs_pair_pvalue(lambda, 0.04, 1, 5.75, 1);
  EXPECT_NEAR(p1, 0.01, 1e-12);
  EXPECT_NEAR(p2, 0.5, 0.01);
  EXPECT_NEAR(score, 0.03, 1e-12);
  EXPECT_EQ(score, std::min({(3.0 * p1) / 1.0, (3.0 * p2) / 2.0, 1.0}));
  EXPECT_TRUE(same_bits(score, reference_score(lambda, 0.04, {counts, depths}, 1, false)));
}

TEST(PhsSimes, RunsOfEqualValuesAndEdgeCases) {
  // A run of equal positive values takes its last rank, a negative one its first.
  EXPECT_EQ(simes_combine({{0.2, 3}, {0.9, 1}}), (4.0 * 0.2) / 3.0);
  EXPECT_EQ(simes_combine({{-1e-16, 3}, {0.9, 2}}), (5.0 * -1e-16) / 1.0);
  EXPECT_EQ(simes_combine({{0.3, 1}}), 0.3);
  EXPECT_EQ(simes_combine({{0.3, 0}, {kNaN, 1}}), kInf);  // one pair: NaN gives +inf
  EXPECT_EQ(simes_combine({{-kInf, 1}, {0.5, 1}}), -kInf);
  EXPECT_THROW(simes_combine({{kNaN, 1}, {0.5, 1}}), InternalError);
  EXPECT_THROW(simes_combine({{kNaN, 2}}), InternalError);
  EXPECT_EQ(simes_combine({}), kInf);
  // Against the rank-by-rank definition on random multisets with many ties.
  std::mt19937_64 gen(5);
  for (int iter = 0; iter < 300; ++iter) {
    std::vector<std::pair<double, uint64_t>> grouped;
    std::vector<double> flat;
    const int distinct = std::uniform_int_distribution<int>(1, 6)(gen);
    for (int k = 0; k < distinct; ++k) {
      double p = std::uniform_real_distribution<double>(-1e-15, 1.0)(gen);
      if (k % 3 == 2) p = 1.0;
      const uint64_t mult = std::uniform_int_distribution<uint64_t>(1, 5)(gen);
      grouped.emplace_back(p, mult);
      for (uint64_t r = 0; r < mult; ++r) flat.push_back(p);
    }
    std::stable_sort(flat.begin(), flat.end());
    double want = kInf;
    if (flat.size() == 1) {
      want = flat[0];
    } else {
      for (size_t k = 1; k <= flat.size(); ++k)
        want = std::fmin(want,
                         (static_cast<double>(flat.size()) * flat[k - 1]) / static_cast<double>(k));
    }
    EXPECT_TRUE(same_bits(simes_combine(grouped), want));
  }
}

// ---- whole scores --------------------------------------------------------------------

// The score of the histogram equals the score of the flat pair lists it bins,
// failures included (the values against the definition are the Python
// suite's: test_phs.py draws these cases the same way).
TEST(PhsScore, HistogramAndPairListsScoreAlike) {
  std::mt19937_64 gen(99);
  int compared = 0, failures = 0;
  for (int iter = 0; iter < 600; ++iter) {
    Case c = random_case(gen, 24);
    const Tree tree = from_newick(c.newick);
    const RefPairs ref = reference_pairs(tree, c.matrix, c.states, c.missing, c.unedited);
    if (ref.counts.empty()) continue;  // no_pairs, or no named leaf at all
    const auto data = PhsPairBlocks::build(tree, c.matrix, c.states, c.missing, c.unedited);
    const std::vector<PairBin> bins = count_pair_bins(data, nullptr, 0);
    const uint64_t a = c.matrix.empty() ? 0 : c.matrix[0].size();
    const double estimated = estimate_mutation_rate(c.matrix, c.missing, c.unedited);
    for (double lambda : {estimated, 0.1, 0.02, 0.7, -0.3, 0.0, kNaN})
      for (double q : {0.1, 0.5, 1.0, -0.2, 0.0}) {
        SCOPED_TRACE(c.newick + " lambda " + std::to_string(lambda) + " q " + std::to_string(q));
        double want = 0.0;
        try {
          want = phs_score_from_bins(lambda, q, bins, a);
        } catch (const InternalError&) {
          EXPECT_THROW(score_of_pair_lists(lambda, q, ref.counts, ref.depths, a), InternalError);
          ++failures;
          continue;
        }
        EXPECT_TRUE(same_bits(score_of_pair_lists(lambda, q, ref.counts, ref.depths, a), want));
        ++compared;
      }
  }
  // Both outcomes must actually have been exercised.
  EXPECT_GT(compared, 1000);
  EXPECT_GT(failures, 50);
}

TEST(PhsScore, WorkedExample) {
  const Tree tree = from_newick("(((A,B)y,C)x,D)r;");
  const CharacterMatrix m = {{1}, {1}, {0}, {0}};
  const InternalStates s = {{"y", {0}}, {"x", {0}}, {"r", {0}}};
  EXPECT_EQ(estimate_mutation_rate(m, -1, 0), -std::log(0.5));
  const PhsResult r = phs_optimized(tree, m, s, {std::nullopt, std::nullopt, -1, 0}, std::nullopt);
  const double lambda = -std::log(0.5);
  const double h = homoplasy_probability(lambda, 0.1, 2.0);
  EXPECT_NEAR(h, 0.025, 1e-15);
  const double p = 1.0 - std::exp(1.0 * std::log(1.0 - h) + 0.0 * std::log(h) + 0.0);
  EXPECT_NEAR(r.phs_score, 0.15, 1e-12);
  EXPECT_EQ(r.phs_score, (6.0 * p) / 1.0);
  EXPECT_EQ(r.total_pairs, 6u);
  EXPECT_STREQ(r.method_used, "optimized_sequential");
  EXPECT_EQ(r.parallel_chunks_used, 1u);
  EXPECT_GE(r.computation_time_ms, 0.0);
}

TEST(PhsScore, EstimatedRate) {
  // 10 known entries, 5 of them edited; missing entries and the short row
  // still count as entries of the matrix.
  const CharacterMatrix m = {{1, 0, -1, 2}, {0, 0, 3, -1}, {4, 0}, {5, -1, 0}};
  EXPECT_EQ(estimate_mutation_rate(m, -1, 0), -std::log(0.5));
  EXPECT_NEAR(estimate_mutation_rate(m, -1, 0), 0.693147, 1e-6);
  EXPECT_EQ(estimate_mutation_rate({}, -1, 0), 0.1);
  EXPECT_EQ(estimate_mutation_rate({{-1, -1}}, -1, 0), 0.1);
  EXPECT_EQ(estimate_mutation_rate({{1, 2}}, -1, 0), kInf);
  // Nothing edited: -ln(1) is -0.
  EXPECT_TRUE(same_bits(estimate_mutation_rate({{0, 0, -1}}, -1, 0), -0.0));
  // Equal markers: only the edit is known, and it is edited.
  EXPECT_EQ(estimate_mutation_rate({{0, 2}}, 0, 0), kInf);
}

TEST(PhsScore, NoPairsAndQuietStates) {
  const InternalStates none;
  PhsResult r =
      phs_optimized(from_newick("(A,)x;"), {{1}}, none, {std::nullopt, std::nullopt, -1, 0}, 0);
  EXPECT_EQ(r.phs_score, 1.0);
  EXPECT_EQ(r.total_pairs, 0u);
  EXPECT_STREQ(r.method_used, "no_pairs");
  EXPECT_EQ(r.parallel_chunks_used, 1u);
  // States that match no internal node: every p is 1.
  r = phs_optimized(from_newick("((A,B)y,C)r;"), {{1}, {1}, {1}}, {{"zz", {0}}, {"A", {0}}},
                    {std::nullopt, std::nullopt, -1, 0}, std::nullopt);
  EXPECT_EQ(r.phs_score, 1.0);
  EXPECT_EQ(r.total_pairs, 3u);
  // An infinite estimated rate gives NaN p-values for shared edits (at depth
  // 0 here; depth 1 would give h = 1).
  EXPECT_THROW(phs_optimized(from_newick("(A,B,C)y;"), {{1}, {1}, {1}}, {{"y", {0}}},
                             {std::nullopt, std::nullopt, -1, 0}, std::nullopt),
               InternalError);
  r = phs_optimized(from_newick("((A,B)y,C)r;"), {{1}, {1}, {1}}, {{"y", {0}}},
                    {std::nullopt, std::nullopt, -1, 0}, std::nullopt);
  EXPECT_EQ(r.phs_score, 1.0);
  // With a single pair the NaN becomes +inf.
  r = phs_optimized(from_newick("(A,B)y;"), {{1}, {1}}, {{"y", {0}}},
                    {std::nullopt, std::nullopt, -1, 0}, std::nullopt);
  EXPECT_EQ(r.phs_score, kInf);
}

TEST(PhsScore, DeepSharedEditsNoLongerFail) {
  // A caterpillar 40 deep whose two deepest leaves share an edit under an
  // unedited parent: the raw h is above 1 there.
  const uint32_t n = 40;
  std::vector<std::string> internal;
  const std::string named =
      testgen::number_internal_nodes(testgen::deep_caterpillar(n), "i", 0, internal);
  InternalStates s;
  for (const std::string& name : internal) s[name] = {0, 0, 0};
  CharacterMatrix m(n, std::vector<int32_t>{0, 0, 0});
  m[0] = {4, 0, 0};
  m[1] = {4, 0, 0};
  const Tree tree = from_newick(named);
  const PhsResult r = phs_optimized(tree, m, s, {0.1, 0.1, -1, 0}, 1);
  EXPECT_GT(reference_h(0.1, 0.1, static_cast<double>(n - 2), false), 1.0);
  EXPECT_EQ(r.phs_score, 1.0);
  EXPECT_EQ(r.total_pairs, uint64_t{n} * (n - 1) / 2);
  const RefPairs ref = reference_pairs(tree, m, s, -1, 0);
  EXPECT_THROW(reference_score(0.1, 0.1, ref, 3, false), InternalError);
  EXPECT_EQ(reference_score(0.1, 0.1, ref, 3, true), 1.0);
}

}  // namespace
}  // namespace cladorix
