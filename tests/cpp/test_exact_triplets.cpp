#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "measures/triplets/exact_by_name.hpp"
#include "measures/triplets/exhaustive_by_position.hpp"
#include "reference/brute_triplets.hpp"
#include "tree/leaf_lca.hpp"
#include "tree/newick.hpp"
#include "tree_gen.hpp"
#include "util/errors.hpp"

namespace {

using cladorix::ExactTripletCounts;
using cladorix::ExactTripletResult;
using cladorix::from_newick;
using cladorix::Tree;
using cladorix::triplets_correct_exact;
using testgen::Shape;
using u128 = unsigned __int128;

std::string str(u128 x) {
  std::string s;
  do s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(x % 10))), x /= 10;
  while (x != 0);
  return s;
}

ExactTripletResult exact(const std::string& a, const std::string& b,
                         std::optional<uint64_t> max_threads = std::nullopt,
                         std::optional<uint64_t> workers = uint64_t{1}) {
  return triplets_correct_exact(from_newick(a), from_newick(b), max_threads, workers);
}

// Field by field, so a failure says which count went wrong where.
void expect_matches_brute(const std::string& a, const std::string& b) {
  SCOPED_TRACE(a + "  vs  " + b);
  const auto brute = reference::brute_triplet_counts(from_newick(a), from_newick(b));
  const ExactTripletResult r = exact(a, b);
  ASSERT_EQ(r.depths.size(), brute.size());
  size_t k = 0;
  for (const auto& [depth, c] : brute) {
    SCOPED_TRACE("depth " + std::to_string(depth));
    ASSERT_EQ(r.depths[k], depth);
    const ExactTripletCounts& e = r.by_depth[k++];
    EXPECT_EQ(str(e.triplets), str(c.triplets));
    EXPECT_EQ(str(e.correct), str(c.correct));
    EXPECT_EQ(str(e.unresolved), str(c.unresolved));
    EXPECT_EQ(str(e.unresolved_correct), str(c.unresolved_correct));
    EXPECT_EQ(str(e.resolvable_correct), str(c.resolvable_correct));
  }
  ExactTripletCounts sum;
  for (const ExactTripletCounts& e : r.by_depth) sum += e;
  EXPECT_TRUE(sum == r.overall);
}

// The same tree with every node's children in reverse order, written
// without recursion.
std::string reversed_children(const Tree& t) {
  std::string out;
  std::vector<std::pair<cladorix::NodeId, bool>> stack{{t.root(), false}};
  while (!stack.empty()) {
    auto [v, closing] = stack.back();
    stack.pop_back();
    if (closing) {
      out += ')';
      continue;
    }
    if (!out.empty() && out.back() != '(') out += ',';
    if (t.is_leaf(v)) {
      out += t.name(v);
      continue;
    }
    out += '(';
    stack.push_back({v, true});
    for (cladorix::NodeId c : t.children(v)) stack.push_back({c, false});  // last pushed first out
  }
  return out + ";";
}

TEST(ExactTriplets, MatchBruteForceOnEveryShape) {
  std::mt19937_64 gen(11);
  const std::vector<Shape> shapes = {
      {2, 0.0, false},  // binary
      {3, 0.0, false},  {5, 0.0, false},
      {12, 0.0, false}, {30, 0.0, false},  // polytomies of degree 3 to 30
      {4, 0.3, false},                     // one-child nodes
      {2, 0.0, true},                      // leaves in label order
  };
  for (uint32_t n : {3u, 4u, 5u, 7u, 12u, 25u, 41u}) {
    const auto labels = testgen::labels(n);
    for (const Shape& s1 : shapes)
      for (const Shape& s2 : shapes) {
        if (gen() % 3 != 0) continue;  // a third of the pairs per size keeps this quick
        expect_matches_brute(testgen::random_newick(labels, gen, s1),
                             testgen::random_newick(labels, gen, s2));
      }
  }
}

TEST(ExactTriplets, MatchBruteForceOnExtremeShapes) {
  std::mt19937_64 gen(5);
  const uint32_t n = 33;
  const auto labels = testgen::labels(n);
  std::string star = "(";
  for (uint32_t i = 0; i < n; ++i) star += (i ? "," : "") + labels[i];
  star += ");";
  const std::string cat = testgen::caterpillar(n);
  const std::string random = testgen::random_newick(labels, gen, {3, 0.1, false});
  const std::string wide = testgen::random_newick(labels, gen, {30, 0.0, false});
  const std::vector<std::string> all = {star, cat, random, wide};
  for (const std::string& a : all)
    for (const std::string& b : all) expect_matches_brute(a, b);
  // Long heavy paths at two levels: a caterpillar of caterpillars, whose
  // spine and teeth outgrow the paths whose sums are scanned (48 nodes).
  const auto many = testgen::labels(150);
  std::string comb;
  for (uint32_t tooth = 0; tooth < 3; ++tooth) {
    std::string t = many[tooth * 50];
    for (uint32_t i = 1; i < 50; ++i) t = "(" + t + "," + many[tooth * 50 + i] + ")";
    comb = comb.empty() ? t : "(" + comb + "," + t + ")";
  }
  comb += ";";
  expect_matches_brute(comb, testgen::random_newick(many, gen));
  expect_matches_brute(testgen::random_newick(many, gen, {3, 0.1, false}), comb);
  expect_matches_brute(comb, testgen::caterpillar(150));
  // Single-child chains above leaves and at the root change no count.
  expect_matches_brute("((((a)),(b,c)),d);", "(((d,((a)))),(b),c);");
  expect_matches_brute("(((a,b,c)));", "(a,(b,(c)));");
}

TEST(ExactTriplets, SmallCasesByHand) {
  // ((a,b),c) against itself: one triplet at the root, resolved the same way.
  ExactTripletResult r = exact("((a,b),c);", "(c,(b,a));");
  ASSERT_EQ(r.depths, std::vector<uint32_t>{0});
  EXPECT_EQ(str(r.overall.resolvable_correct), "1");
  // Against a star: resolved in tree 1 only.
  r = exact("((a,b),c);", "(a,b,c);");
  EXPECT_EQ(str(r.overall.correct), "0");
  EXPECT_EQ(str(r.overall.unresolved), "0");
  // Two leaves: nothing to count; the ratios divide 0 by 0.
  r = exact("(a,b);", "(b,a);");
  EXPECT_TRUE(r.depths.empty());
  const auto q = cladorix::exact_triplet_ratios(r.overall);
  EXPECT_TRUE(std::isnan(q.all_triplets_correct));
  EXPECT_TRUE(std::isnan(q.proportion_unresolvable));
  EXPECT_EQ(q.resolvable_triplets_correct, 1.0);
  EXPECT_EQ(q.unresolved_triplets_correct, 1.0);
}

// Tree 1 random; tree 2 writes the same names in tree 1's leaf order, so the
// by-position counter sees the same triplets.
TEST(ExactTriplets, AgreeWithTheByPositionCounterOnLargerTrees) {
  std::mt19937_64 gen(23);
  for (const auto& [n, s1, s2] : std::vector<std::tuple<uint32_t, Shape, Shape>>{
           {300, {2, 0, false}, {2, 0, true}},
           {400, {6, 0.05, false}, {3, 0, true}},
           {500, {20, 0, false}, {8, 0.1, true}},
           {2000, {2, 0, false}, {2, 0, true}},
       }) {
    const std::string a = testgen::random_newick(testgen::labels(n), gen, s1);
    const Tree t1 = from_newick(a);
    std::vector<std::string> order;
    for (auto v : t1.leaves()) order.emplace_back(t1.name(v));
    const std::string b = testgen::random_newick(order, gen, s2);
    const Tree t2 = from_newick(b);
    const cladorix::TripletCounters pos =
        cladorix::exhaustive_triplet_counts(cladorix::LeafLca(t1), cladorix::LeafLca(t2), n);
    const ExactTripletResult r = triplets_correct_exact(t1, t2, std::nullopt, 1);
    EXPECT_EQ(str(r.overall.triplets), str(u128{n} * (n - 1) * (n - 2) / 6));
    EXPECT_EQ(str(r.overall.correct), str(pos.correct_count));
    EXPECT_EQ(str(r.overall.unresolved), str(pos.unresolved_count));
    EXPECT_EQ(str(r.overall.unresolved_correct), str(pos.unresolved_correct_count));
    EXPECT_EQ(str(r.overall.resolvable_correct), str(pos.resolvable_correct_count));
    // Rotating tree 2's children changes its leaf order, never the exact counts.
    const ExactTripletResult rotated =
        triplets_correct_exact(t1, from_newick(reversed_children(t2)), std::nullopt, 1);
    EXPECT_TRUE(rotated.overall == r.overall);
    EXPECT_EQ(rotated.depths, r.depths);
  }
}

TEST(ExactTriplets, IdenticalForEveryWorkerCount) {
  std::mt19937_64 gen(3);
  const uint32_t n = 90000;  // enough leaves for several lanes
  const auto labels = testgen::labels(n);
  const Tree t1 = from_newick(testgen::random_newick(labels, gen, {4, 0.02, false}));
  const Tree t2 = from_newick(testgen::random_newick(labels, gen, {2, 0, false}));
  const ExactTripletResult one = triplets_correct_exact(t1, t2, std::nullopt, 1);
  for (uint64_t workers : {2u, 3u, 8u}) {
    const ExactTripletResult many = triplets_correct_exact(t1, t2, std::nullopt, workers);
    EXPECT_EQ(many.depths, one.depths);
    EXPECT_TRUE(many.by_depth == one.by_depth) << workers << " workers";
  }
  // max_threads 1 keeps the whole count on the calling thread, with the same answer.
  EXPECT_TRUE(triplets_correct_exact(t1, t2, 1, 8).by_depth == one.by_depth);
  ExactTripletCounts sum;
  for (const auto& c : one.by_depth) sum += c;
  EXPECT_TRUE(sum == one.overall);
  EXPECT_EQ(str(one.overall.triplets), str(u128{n} * (n - 1) * (n - 2) / 6));
}

TEST(ExactTriplets, DeepAndWideTreesStayNearLinear) {
  // A caterpillar a hundred thousand leaves deep against a star and a random
  // tree: no recursion over depth, no pass quadratic in the width.
  const uint32_t n = 100000;
  const auto labels = testgen::labels(n);
  std::string star = "(";
  for (uint32_t i = 0; i < n; ++i) star += (i ? "," : "") + labels[i];
  star += ");";
  std::mt19937_64 gen(9);
  const std::string cat = testgen::deep_caterpillar(n);
  const std::string random = testgen::random_newick(labels, gen);
  const u128 all = u128{n} * (n - 1) * (n - 2) / 6;
  ExactTripletResult r = exact(cat, star);
  EXPECT_EQ(str(r.overall.triplets), str(all));
  EXPECT_EQ(str(r.overall.correct), "0");
  EXPECT_EQ(r.depths.size(), n - 2);
  r = exact(star, star);
  EXPECT_EQ(str(r.overall.unresolved_correct), str(all));
  r = exact(cat, cat);
  EXPECT_EQ(str(r.overall.resolvable_correct), str(all));
  r = exact(star, random);
  EXPECT_EQ(str(r.overall.correct), "0");
  EXPECT_EQ(str(r.overall.unresolved), str(all));
}

TEST(ExactTriplets, CallerErrorsNameTheTreeAndTheLeaf) {
  const auto message = [](const std::string& a, const std::string& b) -> std::string {
    try {
      exact(a, b);
    } catch (const cladorix::CallerError& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(message("((a,b),c;", "(a,b,c);"),
            "tree1 is not one rooted tree: an opening parenthesis is never closed");
  EXPECT_EQ(message("(a,b,c);", "(a,(b,c);"),
            "tree2 is not one rooted tree: an opening parenthesis is never closed");
  EXPECT_EQ(message("(a,,c);", "(a,b,c);"),
            "tree1 has a leaf without a name (leaf 2 in text order)");
  EXPECT_EQ(message("(a,b,c);", "(a,b,(c,));"),
            "tree2 has a leaf without a name (leaf 4 in text order)");
  EXPECT_EQ(message("(a,(b,a),c);", "(a,b,c);"), "tree1 has more than one leaf named 'a'");
  EXPECT_EQ(message("(a,b,c);", "(c,(b,c),a);"), "tree2 has more than one leaf named 'c'");
  EXPECT_EQ(message("(a,b,c);", "(x,y,y);"), "tree2 has more than one leaf named 'y'");
  EXPECT_EQ(message("(a,b,c,d);", "(a,b,c);"), "leaf 'd' of tree1 is missing from tree2");
  EXPECT_EQ(message("(a,b,c);", "(a,e,b,c);"), "leaf 'e' of tree2 is missing from tree1");
  EXPECT_EQ(message("(a,b,x);", "(a,b,y);"), "leaf 'x' of tree1 is missing from tree2");
  // Large enough for the names to be matched beside other work on the pool:
  // the same error, with its type.
  {
    std::mt19937_64 gen(1);
    auto names = testgen::labels(30000);
    const std::string a = testgen::random_newick(names, gen);
    names[12345] = "stranger";
    const std::string b = testgen::random_newick(names, gen);
    try {
      triplets_correct_exact(from_newick(a), from_newick(b), std::nullopt, 2);
      ADD_FAILURE() << "no error";
    } catch (const cladorix::CallerError& e) {
      EXPECT_STREQ(e.what(), "leaf 't12345' of tree1 is missing from tree2");
    }
  }
  // Internal names are no leaves: they may repeat leaf names or be missing.
  EXPECT_EQ(message("((a,b)a,c)q;", "((a,c)z,b)b;"), "no error");
}

}  // namespace
