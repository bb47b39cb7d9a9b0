#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "measures/rf/bipartitions.hpp"
#include "measures/rf/rf_distance.hpp"
#include "tree/bitvec.hpp"
#include "tree/newick.hpp"
#include "tree_gen.hpp"
#include "util/errors.hpp"

using namespace cladorix;

TEST(BitVec, OnesKeepTheTailClearAndEqualityIsByContent) {
  for (uint64_t n : {1u, 63u, 64u, 65u, 130u}) {
    BitVec ones = BitVec::from_ones(n);
    BitVec zeros = BitVec::from_zeros(n);
    EXPECT_EQ(ones.words().size(), (n + 63) / 64);
    uint64_t set = 0;
    for (uint64_t w : ones.words()) set += static_cast<uint64_t>(__builtin_popcountll(w));
    EXPECT_EQ(set, n);
    BitVec x = zeros;
    x.xor_assign(ones);
    EXPECT_EQ(x, ones);
    EXPECT_EQ(x.hash(), ones.hash());
    x.flip(n - 1);
    EXPECT_FALSE(x == ones);
    EXPECT_FALSE(x.get(n - 1));
    EXPECT_THROW(x.flip(n), InternalError);
  }
  EXPECT_FALSE(BitVec::from_zeros(64) == BitVec::from_zeros(65));
}

namespace {

// Random tree text: leaves drawn from `names` (repeats allowed when `repeat`),
// polytomies, single-child nodes and internal names.
std::string random_newick(std::mt19937& rng, int leaves, int pool, bool repeat) {
  std::vector<std::string> nodes;
  std::vector<int> order(pool);
  for (int i = 0; i < pool; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (int i = 0; i < leaves; ++i) {
    int name = repeat ? static_cast<int>(rng() % pool) : order[i % pool];
    nodes.push_back("n" + std::to_string(name));
  }
  while (nodes.size() > 1) {
    size_t k = 2 + rng() % std::min<size_t>(3, nodes.size() - 1);
    std::string joined = "(";
    for (size_t j = 0; j < k; ++j) {
      size_t pick = rng() % nodes.size();
      joined += (j ? "," : "") + nodes[pick];
      nodes.erase(nodes.begin() + static_cast<long>(pick));
    }
    joined += ")";
    if (rng() % 4 == 0) joined += "i" + std::to_string(rng() % 5);
    if (rng() % 6 == 0) joined = "(" + joined + ")";
    nodes.push_back(joined);
  }
  return nodes[0] + ";";
}

}  // namespace

TEST(RobinsonFoulds, IntervalsAgreeWithBitVectors) {
  std::mt19937 rng(12345);
  int compared = 0;
  for (int round = 0; round < 3000; ++round) {
    int pool = 3 + static_cast<int>(rng() % 12);
    int n1 = 1 + static_cast<int>(rng() % pool), n2 = 1 + static_cast<int>(rng() % pool);
    Tree a = from_newick(random_newick(rng, n1, pool, false));
    Tree b = from_newick(random_newick(rng, n2, pool, false));
    std::optional<uint64_t> fast = rf_distance_by_intervals(a, b);
    ASSERT_TRUE(fast.has_value());
    ASSERT_EQ(*fast, rf_distance_by_bitvecs(a, b)) << round;
    ASSERT_EQ(*fast, *rf_distance_by_intervals(b, a));
    ++compared;
  }
  EXPECT_EQ(compared, 3000);
}

TEST(RobinsonFoulds, NamesFarLongerThanTheAverageAgreeWithBitVectors) {
  // Enough names for several buckets, one of them thousands of times the
  // average length: its bucket overflows its room, and the names are then
  // counted into buckets first.
  std::mt19937_64 gen(99);
  for (int round = 0; round < 4; ++round) {
    std::vector<std::string> labels = testgen::labels(9000);
    labels[round * 1000] = std::string(200000 + round, 'x');
    std::vector<std::string> others = labels;
    std::shuffle(others.begin(), others.end(), gen);
    others.resize(8500);  // leaf sets that differ, the long name in one or both
    const Tree a = from_newick(testgen::random_newick(labels, gen, {3, 0.05}));
    const Tree b = from_newick(testgen::random_newick(others, gen, {3, 0.05}));
    ASSERT_EQ(rf_distance_by_intervals(a, b), rf_distance_by_bitvecs(a, b)) << round;
  }
}

TEST(RobinsonFoulds, RepeatedLeafNamesUseBitVectors) {
  std::mt19937 rng(7);
  int fallbacks = 0;
  for (int round = 0; round < 300; ++round) {
    Tree a = from_newick(random_newick(rng, 8, 5, true));
    Tree b = from_newick(random_newick(rng, 8, 5, true));
    if (!rf_distance_by_intervals(a, b)) ++fallbacks;
    EXPECT_EQ(rf_distance(a, b).rf_distance, rf_distance_by_bitvecs(a, b));
  }
  EXPECT_GT(fallbacks, 250);
}

TEST(RobinsonFoulds, WorkedExamples) {
  auto d = [](const char* x, const char* y) {
    return rf_distance(from_newick(x), from_newick(y)).rf_distance;
  };
  EXPECT_EQ(d("((A,B),C);", "((A,C),B);"), 0u);
  EXPECT_EQ(d("((A,B),(C,D));", "((A,C),(B,D));"), 2u);
  EXPECT_EQ(d("((A,B),C,D);", "((A,B),(C,D));"), 0u);
  EXPECT_EQ(d("(A,B);", "(A,C);"), 2u);
  EXPECT_EQ(d("A;", "A;"), 0u);
  EXPECT_EQ(d("((A,B)X,C);", "((A,B),C);"), 0u);
  // Unattached nodes (unclosed "(") contribute names, never clusters.
  EXPECT_EQ(d("((A,B),C;", "((A,B),C);"), d("((A,B),(C));", "((A,B),C);"));
  EXPECT_THROW(d("(A,B);", "(,);"), InternalError);
  RfNormalizedResult n =
      rf_distance_normalized(from_newick("((A,B)X,C);"), from_newick("((A,B),C);"));
  EXPECT_EQ(n.tree1_leaves, 4u);
  EXPECT_EQ(n.tree2_leaves, 3u);
  EXPECT_EQ(n.max_possible_rf, 0u);
  EXPECT_EQ(n.normalized_rf_distance, 0.0);
}

namespace {

// Numbers as a batch would give them: each leaf name's place in sorted order.
std::vector<uint32_t> leaf_numbers(const Tree& t, const std::map<std::string, uint32_t>& number) {
  std::vector<uint32_t> out;
  for (const std::optional<std::string_view>& name : leaf_names(t))
    out.push_back(number.at(std::string(*name)));
  return out;
}

struct PreparedCase {
  const char* label;
  uint32_t leaves;
  testgen::Shape shape;
  bool single_child_root = false;  // "((...));" for the first tree only
  bool unclosed = false;           // the last ")" missing: a subtree left unattached
};

std::string variant(std::string text, const PreparedCase& c, bool first) {
  text.pop_back();  // ";"
  if (c.single_child_root && first) text = "(" + text + ")";
  if (c.unclosed && text.back() == ')') text.pop_back();
  return text + ";";
}

}  // namespace

TEST(RobinsonFoulds, PreparedTreesAgreeWithBitVectors) {
  const PreparedCase cases[] = {
      {"binary", 40, {2, 0.0}},
      {"polytomies", 40, {6, 0.0}},
      {"single-child chains", 30, {3, 0.3}},
      {"caterpillar-like", 30, {2, 0.0, true}},
      {"one leaf", 1, {2, 0.0}},
      {"two leaves", 2, {2, 0.0}},
      {"three leaves", 3, {3, 0.2}},
      {"single-child root", 20, {3, 0.1}, true},
      {"unclosed parenthesis", 25, {3, 0.1}, false, true},
  };
  std::mt19937_64 gen(2024);
  for (const PreparedCase& c : cases) {
    int compared = 0;
    const std::vector<std::string> labels = testgen::labels(c.leaves);
    std::map<std::string, uint32_t> number;
    for (const std::string& l : labels) number.emplace(l, 0);
    uint32_t next = 0;
    for (auto& [name, k] : number) k = next++;
    for (int round = 0; round < 150; ++round) {
      const Tree a = from_newick(variant(testgen::random_newick(labels, gen, c.shape), c, true));
      const Tree b = from_newick(variant(testgen::random_newick(labels, gen, c.shape), c, false));
      // An unclosed single-child root leaves the root as an unnamed leaf,
      // which a batch rejects before building anything.
      if (!leaf_names(a).front() || !leaf_names(b).front()) continue;
      const Bipartitions pa(a, leaf_numbers(a, number), c.leaves);
      const Bipartitions pb(b, leaf_numbers(b, number), c.leaves);
      // The bit-vector path is the reference: it shares nothing with these.
      const uint64_t expected = rf_distance_by_bitvecs(a, b);
      ASSERT_EQ(rf_distance(pa, pb), expected) << c.label << " " << round;
      ASSERT_EQ(rf_distance(pb, pa), expected) << c.label;
      ASSERT_EQ(rf_distance(pa, pa), 0u) << c.label;
      // The normalized fields count names as the batch does: n per tree.
      const RfNormalizedResult by_name = rf_distance_normalized(a, b);
      EXPECT_EQ(by_name.tree1_leaves, c.leaves) << c.label;
      EXPECT_EQ(by_name.tree2_leaves, c.leaves) << c.label;
      ++compared;
    }
    EXPECT_GT(compared, 100) << c.label;
  }
}

TEST(RobinsonFoulds, PreparedTreesRejectBadNumbers) {
  const Tree t = from_newick("((A,B),C);");
  EXPECT_THROW(Bipartitions(t, std::vector<uint32_t>{0, 1}, 3), InternalError);     // too few
  EXPECT_THROW(Bipartitions(t, std::vector<uint32_t>{0, 1, 1}, 3), InternalError);  // repeated
  EXPECT_THROW(Bipartitions(t, std::vector<uint32_t>{0, 1, 3}, 3), InternalError);  // too large
  const Bipartitions p(t, std::vector<uint32_t>{0, 1, 2}, 3);
  const Bipartitions q(t, std::vector<uint32_t>{0, 1, 2}, 4);
  EXPECT_THROW(rf_distance(p, q), InternalError);  // different numberings
}

TEST(PooledRobinsonFoulds, LargeTreesAgreeWithPreparedOnes) {
  // Trees this large are prepared side by side and their names matched in
  // pieces on the pool; prepared trees take none of that.
  std::mt19937_64 gen(5);
  const uint32_t n = 70000;
  const std::vector<std::string> labels = testgen::labels(n);
  std::map<std::string, uint32_t> number;
  for (uint32_t i = 0; i < n; ++i) number.emplace(labels[i], i);
  for (const testgen::Shape shape : {testgen::Shape{2, 0.0}, testgen::Shape{5, 0.05}}) {
    const Tree a = from_newick(testgen::random_newick(labels, gen, shape));
    const Tree b = from_newick(testgen::random_newick(labels, gen, shape));
    const Bipartitions pa(a, leaf_numbers(a, number), n), pb(b, leaf_numbers(b, number), n);
    EXPECT_EQ(rf_distance(a, b).rf_distance, rf_distance(pa, pb));
    EXPECT_EQ(rf_distance(b, a).rf_distance, rf_distance(pb, pa));
  }
}
