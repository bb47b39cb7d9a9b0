#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "measures/triplets/by_name.hpp"
#include "measures/triplets/by_position.hpp"
#include "tree_gen.hpp"
#include "util/errors.hpp"

using namespace cladorix;

namespace {

// The outcome of the named triplet in one tree, as the variant's matching
// finds the names: the outgroup's name, or nullopt.
std::optional<std::string> outgroup_by_name(const Tree& t, NameMatch match, std::string_view a,
                                            std::string_view b, std::string_view c) {
  const NameClasses classes(t);
  const NameMatchedTree side(t, 0, classes, match);
  const std::string_view names[3] = {a, b, c};
  uint32_t targets[3];
  for (int i = 0; i < 3; ++i) {
    const uint32_t cls = classes.find(names[i]);
    targets[i] = cls == NameClasses::kNone ? NameMatchedTree::kNowhere : side.target(cls);
    if (targets[i] == NameMatchedTree::kNowhere) return std::nullopt;
  }
  const int o = side.outgroup(targets);
  if (o < 0) return std::nullopt;
  return std::string(names[o]);
}

std::optional<std::string> get_outgroup(const Tree& t, std::string_view a, std::string_view b,
                                        std::string_view c) {
  return outgroup_by_name(t, NameMatch::AnyNamedNode, a, b, c);
}

std::optional<std::string> get_outgroup_fast(const Tree& t, std::string_view a, std::string_view b,
                                             std::string_view c) {
  return outgroup_by_name(t, NameMatch::LastNamedLeaf, a, b, c);
}

// The outgroup's position among three leaf positions, or -1.
int64_t outgroup_position(const Tree& t, uint32_t i, uint32_t j, uint32_t k) {
  const uint32_t p[3] = {i, j, k};
  const int o = outgroup_at(LeafLca(t), p);
  return o < 0 ? -1 : p[o];
}

bool uses_sampling(uint64_t n, uint64_t trials) {
  return plan_triplets_by_position(kUltraVariant, n, trials, 1).sampling;
}

bool same_double(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_values(const TripletScores& s, double all, double resolvable, double unresolved,
                   double proportion) {
  auto same = [](double got, double want) {
    return std::isnan(want) ? std::isnan(got) : got == want;
  };
  EXPECT_TRUE(same(s.all_triplets_correct, all)) << s.all_triplets_correct;
  EXPECT_TRUE(same(s.resolvable_triplets_correct, resolvable)) << s.resolvable_triplets_correct;
  EXPECT_TRUE(same(s.unresolved_triplets_correct, unresolved)) << s.unresolved_triplets_correct;
  EXPECT_TRUE(same(s.proportion_unresolvable, proportion)) << s.proportion_unresolvable;
}

Tree parse(const std::string& s) { return from_newick(s); }

}  // namespace

// ------------------------------------------------------ hand-worked results

// Seed 0 draws positions [6, 7, 0], [8, 5, 2], [9, 6, 7] out of 10. Tree 1:
// (6,7,0) -> 0 out, (8,5,2) -> 2 out, (9,6,7) -> 9 out. In the caterpillar:
// (6,7,0) -> 7 out, (8,5,2) -> 8 out, (9,6,7) -> 9 out. One agreement in three.
TEST(TripletsPinned, SeedZeroThreeTrialsByHand) {
  Tree t1 = parse("(((t0,t1),(t2,t3)),((t4,t5),((t6,t7),(t8,t9))));");
  Tree t2 = parse(testgen::caterpillar(10));
  for (const TripletScores& s :
       {triplets_correct(t1, t2, 3, 0), triplets_correct_fast(t1, t2, 3, 0)}) {
    EXPECT_EQ(s.counters, (TripletCounters{1, 0, 0, 1}));
    expect_values(s, 1.0 / 3.0, 1.0 / 3.0, 1.0, 0.0);
  }
  EXPECT_EQ(get_outgroup(t2, "t6", "t7", "t0"), std::optional<std::string>("t7"));
  EXPECT_EQ(get_outgroup(t1, "t6", "t7", "t0"), std::optional<std::string>("t0"));
  EXPECT_EQ(get_outgroup_fast(t2, "t8", "t5", "t2"), std::optional<std::string>("t8"));
}

// Positions 0..3 are A,B,C,D in both; of the four triplets (0,1,2) and (0,1,3)
// agree, (0,2,3) and (1,2,3) do not.
TEST(TripletsPinned, UltraFourLeavesByHand) {
  TripletResult s =
      triplets_correct_ultra(parse("((A,B),(C,D));"), parse("(((A,B),C),D);"), 5000, std::nullopt);
  EXPECT_STREQ(s.method_used, "exhaustive");
  EXPECT_EQ(s.total_triplets_checked, 4u);
  EXPECT_EQ(s.counters, (TripletCounters{2, 0, 0, 2}));
  expect_values(s, 0.5, 0.5, 1.0, 0.0);
  // Positions, not names: the same topology with relabelled leaves agrees.
  TripletResult same =
      triplets_correct_ultra(parse("((A,B),(C,D));"), parse("((A,C),(B,D));"), 10, std::nullopt);
  expect_values(same, 1.0, 1.0, 1.0, 0.0);
  const Tree d = parse("((A,B),(C,D));");
  EXPECT_EQ(outgroup_position(d, 0, 2, 3), 0);
  EXPECT_EQ(outgroup_position(d, 3, 2, 0), 0);
  EXPECT_EQ(outgroup_position(d, 0, 1, 2), 2);
}

TEST(TripletsPinned, StarsAndBifurcatingTrees) {
  const std::string star = "(a,b,c,d,e,f);", bif = "(((a,b),c),((d,e),f));";
  for (auto run :
       {+[](const Tree&x, const Tree&y) { return triplets_correct(x, y, 200, 5); },
        +[](const Tree&x, const Tree&y) { return triplets_correct_fast(x, y, 200, 5); },
        +[](const Tree&x, const Tree&y) { return triplets_correct_ultra(x, y, 200, 5); }}) {
    expect_values(run(parse(bif), parse(bif)), 1.0, 1.0, 1.0, 0.0);
    expect_values(run(parse(star), parse(star)), 1.0, 1.0, 1.0, 1.0);
    expect_values(run(parse(star), parse(bif)), 0.0, 1.0, 0.0, 1.0);
    expect_values(run(parse(bif), parse(star)), 0.0, 0.0, 1.0, 0.0);
  }
}

// ------------------------------------------------------------ corner cases

TEST(TripletsCorners, ZeroTrialsGiveNaN) {
  Tree t = parse("((a,b),(c,d));");
  expect_values(triplets_correct(t, t, 0, 1), NAN, 1.0, 1.0, NAN);
  expect_values(triplets_correct_fast(t, t, 0, std::nullopt), NAN, 1.0, 1.0, NAN);
  // Ultra samples from 86 leaves on; zero trials then check nothing.
  Tree big = parse(testgen::caterpillar(86));
  TripletResult u = triplets_correct_ultra(big, big, 0, 3);
  EXPECT_STREQ(u.method_used, "sampling");
  EXPECT_EQ(u.total_triplets_checked, 0u);
  expect_values(u, NAN, 1.0, 1.0, NAN);
}

TEST(TripletsCorners, FewerThanThreeLeaves) {
  for (const char* text : {"(a,b);", "a;", "", "(a);"}) {
    SCOPED_TRACE(text);
    Tree t = parse(text);
    expect_values(triplets_correct(t, t, 10, std::nullopt), 0.0, 0.0, 1.0, 0.0);
    expect_values(triplets_correct_fast(t, t, 10, std::nullopt), 0.0, 0.0, 1.0, 0.0);
    TripletResult u = triplets_correct_ultra(t, t, 10, std::nullopt);
    EXPECT_STREQ(u.method_used, "exhaustive");
    EXPECT_EQ(u.total_triplets_checked, 0u);
    expect_values(u, NAN, 1.0, 1.0, NAN);
  }
  // Two named leaves among unnamed ones: fast draws nothing, base skips
  // every trial (each draws an unnamed leaf) but keeps them in the denominators.
  Tree t = parse("((a,),(b,,));");
  EXPECT_EQ(t.leaves().size(), 5u);
  expect_values(triplets_correct_fast(t, t, 10, 1), 0.0, 0.0, 1.0, 0.0);
  TripletScores base = triplets_correct(t, t, 10, 1);
  EXPECT_EQ(base.counters, TripletCounters{});
  expect_values(base, 0.0, 0.0, 1.0, 0.0);
}

TEST(TripletsCorners, DuplicatedAndMissingNames) {
  // "a" twice: the base variant resolves to the node named last, leaf or not.
  Tree t1 = parse("(((a,b),c),(a,d));");
  // a -> the second leaf a, which meets b and c only at the root.
  EXPECT_EQ(get_outgroup(t1, "a", "b", "c"), std::optional<std::string>("a"));
  EXPECT_EQ(get_outgroup_fast(t1, "a", "b", "c"), std::optional<std::string>("a"));
  EXPECT_EQ(get_outgroup(t1, "a", "d", "c"), std::optional<std::string>("c"));
  // Two names on one leaf: the fast pair table has no entry for it.
  EXPECT_EQ(get_outgroup_fast(t1, "a", "a", "d"), std::nullopt);
  EXPECT_EQ(get_outgroup(t1, "a", "a", "b"), std::optional<std::string>("b"));
  // A name missing from the tree.
  EXPECT_EQ(get_outgroup(t1, "a", "zz", "b"), std::nullopt);
  EXPECT_EQ(get_outgroup_fast(t1, "a", "b", "zz"), std::nullopt);
  // Names missing from tree 2, against the definitions: test_triplets.py.
}

TEST(TripletsCorners, InternalNodeBearingALeafName) {
  // "b" also names the (c,d) clade and was given last: the base variant puts b there.
  Tree t = parse("((a,b),(c,d)b);");
  EXPECT_EQ(get_outgroup(t, "a", "b", "c"), std::optional<std::string>("a"));
  EXPECT_EQ(get_outgroup(t, "b", "c", "d"), std::nullopt);  // c, d inside b's clade
  // The fast variant resolves among leaves only.
  EXPECT_EQ(get_outgroup_fast(t, "a", "b", "c"), std::optional<std::string>("c"));
  Tree plain = parse("((a,b),(c,d));");
  EXPECT_NE(triplets_correct(t, plain, 500, 4).counters,
            triplets_correct_fast(t, plain, 500, 4).counters);
}

TEST(TripletsCorners, UltraModeRule) {
  EXPECT_FALSE(uses_sampling(85, 5000));
  EXPECT_EQ(triplet_count(85), 98770u);
  EXPECT_TRUE(uses_sampling(86, 5000));
  EXPECT_EQ(triplet_count(86), 102340u);
  EXPECT_TRUE(uses_sampling(86, 102339));
  EXPECT_FALSE(uses_sampling(86, 102340));
  EXPECT_FALSE(uses_sampling(2, 0));
  EXPECT_EQ(triplet_count(2), 0u);
  // Counts beyond 64 bits hold at the maximum instead of wrapping to a small
  // number that would pick exhaustive counting for millions of leaves.
  EXPECT_EQ(triplet_count(2642246), 3074454030718368980ull);  // the 64-bit product wraps here
  EXPECT_EQ(triplet_count(5000000), UINT64_MAX);
  EXPECT_TRUE(uses_sampling(5000000, 5000));
  // Either side of the boundary on random trees, against the definition:
  // test_triplets.py.
}

TEST(TripletsCorners, UltraNeedsEqualNamedLeafCounts) {
  try {
    triplets_correct_ultra(parse("((a,b),c);"), parse("((a,b),(c,d));"), 10, 1);
    FAIL() << "no error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "Trees must have the same number of taxa");
  }
  // Unnamed leaves do not count; the named counts match here.
  EXPECT_NO_THROW(triplets_correct_ultra(parse("((a,b),(c,));"), parse("((a,b),c);"), 10, 1));
}

TEST(TripletsCorners, UnclosedParenthesis) {
  Tree broken = parse("((a,b),(c,d);");  // the clade (c,d) never closes
  Tree good = parse("((a,b),(c,d));");
  // Records are built up front, even for zero trials.
  EXPECT_THROW(triplets_correct_fast(broken, good, 0, 1), InternalError);
  EXPECT_THROW(triplets_correct_fast(good, broken, 0, 1), InternalError);
  EXPECT_THROW(triplets_correct_ultra(good, broken, 0, 1), InternalError);
  // The base variant fails on its first LCA query of the broken tree.
  EXPECT_THROW(triplets_correct(broken, good, 1, 1), InternalError);
  EXPECT_THROW(triplets_correct(good, broken, 1, 1), InternalError);
  EXPECT_NO_THROW(triplets_correct(broken, good, 0, 1));
  // ... which never comes when a name is missing from it.
  Tree other = parse("((x,y),(z,w);");
  EXPECT_NO_THROW(triplets_correct(good, other, 50, 1));
}

// ------------------------------------------------------ agreement at large

// Every variant against its definition on random trees, and exhaustive
// counting against every triplet: test_triplets.py, with the same draws.

// Where the variants are documented to agree, they agree draw for draw.
TEST(TripletsAgreement, VariantsAgreeOnUniquelyNamedTrees) {
  std::mt19937_64 gen(5);
  for (int round = 0; round < 6; ++round) {
    const uint32_t n = 86 + static_cast<uint32_t>(gen() % 200);
    const testgen::Shape shape{static_cast<uint32_t>(2 + round % 3), 0.0, true};
    // Same names in the same leaf order in both trees, different topologies.
    Tree t1 = parse(testgen::random_newick(testgen::labels(n), gen, shape));
    Tree t2 = parse(testgen::random_newick(testgen::labels(n), gen, shape));
    for (uint64_t trials : {1u, 999u, 5000u}) {
      const uint64_t seed = gen();
      TripletScores base = triplets_correct(t1, t2, trials, seed);
      TripletScores fast = triplets_correct_fast(t1, t2, trials, seed);
      TripletResult ultra = triplets_correct_ultra(t1, t2, trials, seed);
      ASSERT_STREQ(ultra.method_used, "sampling");
      EXPECT_EQ(base.counters, fast.counters);
      EXPECT_EQ(base.counters, ultra.counters);
      EXPECT_TRUE(same_double(base.all_triplets_correct, ultra.all_triplets_correct));
      EXPECT_TRUE(same_double(base.resolvable_triplets_correct, fast.resolvable_triplets_correct));
    }
    // A different seed gives a different draw.
    EXPECT_NE(triplets_correct(t1, t2, 500, 1).counters, triplets_correct(t1, t2, 500, 2).counters);
  }
}

TEST(TripletsAgreement, UnseededRunsAreWellFormed) {
  std::mt19937_64 gen(8);
  Tree t1 = parse(testgen::random_newick(testgen::labels(120), gen));
  Tree t2 = parse(testgen::random_newick(testgen::labels(120), gen));
  for (const TripletScores& s : {triplets_correct(t1, t2, 300, std::nullopt),
                                 triplets_correct_fast(t1, t2, 300, std::nullopt),
                                 triplets_correct_ultra(t1, t2, 300, std::nullopt)}) {
    const TripletCounters& c = s.counters;
    EXPECT_LE(c.correct_count, 300u);
    EXPECT_EQ(c.correct_count, c.unresolved_correct_count + c.resolvable_correct_count);
    EXPECT_LE(c.unresolved_correct_count, c.unresolved_count);
  }
}
