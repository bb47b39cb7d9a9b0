#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "measures/triplets/by_name.hpp"
#include "measures/triplets/by_position.hpp"
#include "reference/sample_indices.hpp"
#include "reference/taxa_map.hpp"
#include "runtime/random.hpp"
#include "tree_gen.hpp"
#include "util/errors.hpp"

using namespace cladorix;
using cladorix::reference::sample_indices;
using testgen::naive_depth;
using testgen::naive_lca;

namespace {

// ---------------------------------------------------------------------------
// Straightforward implementations of the three measures, written from their
// definitions: parent-walk LCAs, literal tables, sample_indices, and the
// fallback scan of the leaves. They share nothing with the code under test
// beyond the tree, its taxa map and the random source.
namespace ref {

struct Result {
  TripletCounters c;
  uint64_t denominator = 0;
  std::string method;  // ultra only
};

void count(TripletCounters& c, const std::optional<std::string>& o1,
           const std::optional<std::string>& o2) {
  if (!o1) {
    ++c.unresolved_count;
    if (!o2) ++c.correct_count, ++c.unresolved_correct_count;
  } else if (o2 && *o1 == *o2) {
    ++c.correct_count, ++c.resolvable_correct_count;
  }
}

uint64_t lca_depth(const Tree& t, NodeId a, NodeId b) { return naive_depth(t, naive_lca(t, a, b)); }

std::optional<std::string> base_outgroup(const Tree& t, const std::vector<std::string>& names) {
  NodeId ids[3];
  for (int i = 0; i < 3; ++i) {
    std::optional<NodeId> id = reference::taxa_node_id(t, names[i]);
    if (!id) {
      for (NodeId leaf : t.leaves())
        if (t.has_name(leaf) && t.name(leaf) == names[i]) {
          id = leaf;
          break;
        }
    }
    if (!id) return std::nullopt;
    ids[i] = *id;
  }
  const uint64_t ab = lca_depth(t, ids[0], ids[1]), ac = lca_depth(t, ids[0], ids[2]),
                 bc = lca_depth(t, ids[1], ids[2]);
  if (ab > ac && ab > bc) return names[2];
  if (ac > ab && ac > bc) return names[1];
  if (bc > ab && bc > ac) return names[0];
  return std::nullopt;
}

Result base(const Tree& t1, const Tree& t2, uint64_t trials, uint64_t seed) {
  RandomSource rng = RandomSource::from_seed_u64(seed);
  Result r;
  r.denominator = trials;
  for (uint64_t trial = 0; trial < trials; ++trial) {
    std::vector<NodeId> leaves = t1.leaves();
    if (leaves.size() < 3) continue;
    std::vector<uint64_t> idx = sample_indices(rng, leaves.size(), 3);
    std::vector<std::string> names;
    for (uint64_t i : idx) {
      if (!t1.has_name(leaves[i])) break;
      names.emplace_back(t1.name(leaves[i]));
    }
    if (names.size() < 3) continue;
    count(r.c, base_outgroup(t1, names), base_outgroup(t2, names));
  }
  return r;
}

struct FastTable {
  std::map<std::string, NodeId> name_to_id;
  std::map<NodeId, std::string> id_to_name;
  std::vector<NodeId> leaf_ids;
  std::map<std::pair<NodeId, NodeId>, uint64_t> pair_lca_depth;

  explicit FastTable(const Tree& t) {
    for (NodeId leaf : t.leaves()) {
      if (!t.has_name(leaf)) continue;
      name_to_id[std::string(t.name(leaf))] = leaf;
      id_to_name[leaf] = std::string(t.name(leaf));
      leaf_ids.push_back(leaf);
    }
    for (size_t i = 0; i < leaf_ids.size(); ++i)
      for (size_t j = i + 1; j < leaf_ids.size(); ++j) {
        uint64_t d = lca_depth(t, leaf_ids[i], leaf_ids[j]);
        pair_lca_depth[{leaf_ids[i], leaf_ids[j]}] = d;
        pair_lca_depth[{leaf_ids[j], leaf_ids[i]}] = d;
      }
  }

  std::optional<std::string> outgroup(const std::vector<std::string>& n) const {
    auto a = name_to_id.find(n[0]), b = name_to_id.find(n[1]), c = name_to_id.find(n[2]);
    if (a == name_to_id.end() || b == name_to_id.end() || c == name_to_id.end()) return {};
    if (pair_lca_depth.empty()) return {};
    auto ab = pair_lca_depth.find({a->second, b->second});
    auto ac = pair_lca_depth.find({a->second, c->second});
    auto bc = pair_lca_depth.find({b->second, c->second});
    if (ab == pair_lca_depth.end() || ac == pair_lca_depth.end() || bc == pair_lca_depth.end())
      return {};
    const uint64_t x = ab->second, y = ac->second, z = bc->second;
    if (x > y && x > z) return n[2];
    if (y > x && y > z) return n[1];
    if (z > x && z > y) return n[0];
    return {};
  }
};

Result fast(const Tree& t1, const Tree& t2, uint64_t trials, uint64_t seed) {
  RandomSource rng = RandomSource::from_seed_u64(seed);
  FastTable f1(t1), f2(t2);
  Result r;
  r.denominator = trials;
  if (trials > 0 && f1.leaf_ids.size() >= 3) {
    for (uint64_t trial = 0; trial < trials; ++trial) {
      std::vector<std::string> names;
      for (uint64_t i : sample_indices(rng, f1.leaf_ids.size(), 3))
        names.push_back(f1.id_to_name.at(f1.leaf_ids[i]));
      count(r.c, f1.outgroup(names), f2.outgroup(names));
    }
  }
  return r;
}

struct Matrix {
  uint64_t n = 0;
  std::vector<std::vector<uint64_t>> m;
  explicit Matrix(const Tree& t) {
    std::vector<NodeId> leaves = t.leaves();
    for (NodeId v : leaves) n += t.has_name(v);
    m.assign(n, std::vector<uint64_t>(n, 0));
    for (uint64_t i = 0; i < n; ++i)
      for (uint64_t j = 0; j < n; ++j) m[i][j] = lca_depth(t, leaves[i], leaves[j]);
  }
  std::optional<std::string> outgroup(uint64_t i, uint64_t j, uint64_t k) const {
    const uint64_t x = m[i][j], y = m[i][k], z = m[j][k];
    if (x > y && x > z) return std::to_string(k);
    if (y > x && y > z) return std::to_string(j);
    if (z > x && z > y) return std::to_string(i);
    return {};
  }
};

Result ultra(const Tree& t1, const Tree& t2, uint64_t trials, uint64_t seed) {
  Matrix m1(t1), m2(t2);
  if (m1.n != m2.n) throw std::runtime_error("counts differ");
  const uint64_t n = m1.n, total = n * (n - 1) * (n - 2) / 6;
  Result r;
  if (n >= 3 && total > 100000 && n > 20 && trials < total) {
    RandomSource rng = RandomSource::from_seed_u64(seed);
    for (uint64_t trial = 0; trial < trials; ++trial) {
      std::vector<uint64_t> p = sample_indices(rng, n, 3);
      count(r.c, m1.outgroup(p[0], p[1], p[2]), m2.outgroup(p[0], p[1], p[2]));
    }
    r.denominator = trials;
    r.method = "sampling";
  } else {
    for (uint64_t i = 0; i < n; ++i)
      for (uint64_t j = i + 1; j < n; ++j)
        for (uint64_t k = j + 1; k < n; ++k) count(r.c, m1.outgroup(i, j, k), m2.outgroup(i, j, k));
    r.denominator = total;
    r.method = "exhaustive";
  }
  return r;
}

}  // namespace ref

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

void expect_matches(const TripletScores& got, const ref::Result& want, const std::string& what) {
  SCOPED_TRACE(what);
  const TripletCounters& c = want.c;
  EXPECT_EQ(got.counters, c);
  const double d = static_cast<double>(want.denominator);
  const double unresolved_rest = static_cast<double>(want.denominator - c.unresolved_count);
  EXPECT_TRUE(same_double(got.all_triplets_correct, c.correct_count / d));
  EXPECT_TRUE(same_double(got.proportion_unresolvable, c.unresolved_count / d));
  EXPECT_TRUE(same_double(got.unresolved_triplets_correct,
                          c.unresolved_count == 0
                              ? 1.0
                              : double(c.unresolved_correct_count) / double(c.unresolved_count)));
  EXPECT_TRUE(same_double(got.resolvable_triplets_correct,
                          want.denominator == c.unresolved_count
                              ? 1.0
                              : double(c.resolvable_correct_count) / unresolved_rest));
}

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

// Leaf labels for one random case: unique, with unnamed leaves, or with
// repeated names.
std::vector<std::string> case_labels(uint32_t n, int kind, std::mt19937_64& gen) {
  std::vector<std::string> out = testgen::labels(n);
  for (auto& s : out) {
    const uint64_t r = gen() % 10;
    if (kind == 1 && r < 2) s.clear();
    if (kind == 2 && r < 3) s = testgen::leaf_label(static_cast<uint32_t>(gen() % 5));
  }
  return out;
}

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

TEST(TripletsCorners, UnnamedLeavesStayInBaseDenominators) {
  Tree t = parse("(((a,b),(c,)),((d,e),(f,g)));");
  TripletScores base = triplets_correct(t, t, 400, 9);
  EXPECT_LT(base.all_triplets_correct, 1.0);
  EXPECT_GT(base.all_triplets_correct, 0.0);
  expect_matches(base, ref::base(t, t, 400, 9), "base");
  // The fast variant draws named leaves only.
  expect_values(triplets_correct_fast(t, t, 400, 9), 1.0, 1.0, 1.0, 0.0);
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

  // Missing from tree 2: unresolved there, so only unresolved-in-tree-1 agree.
  Tree full = parse("((a,b),(c,d,e));"), part = parse("((a,b),(c,x,y));");
  for (uint64_t seed : {1u, 2u, 3u}) {
    expect_matches(triplets_correct(full, part, 300, seed), ref::base(full, part, 300, seed),
                   "base");
    expect_matches(triplets_correct_fast(full, part, 300, seed), ref::fast(full, part, 300, seed),
                   "fast");
  }
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

  std::mt19937_64 gen(21);
  for (uint32_t n : {85u, 86u}) {
    Tree a = parse(testgen::random_newick(testgen::labels(n), gen));
    Tree b = parse(testgen::random_newick(testgen::labels(n), gen));
    for (uint64_t trials : {5000ull, 102339ull, 102340ull, 1ull << 40}) {
      TripletResult s = triplets_correct_ultra(a, b, trials, 17);
      ref::Result r = ref::ultra(a, b, trials, 17);
      EXPECT_EQ(s.method_used, r.method) << n << " " << trials;
      EXPECT_EQ(s.total_triplets_checked, r.denominator);
      expect_matches(s, r, "ultra " + std::to_string(n));
    }
  }
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

// Random pairs of trees with unique, missing, unnamed and repeated names and
// named internal nodes: every variant matches its straightforward version.
TEST(TripletsAgreement, AllVariantsMatchTheDefinitionsOnRandomTrees) {
  std::mt19937_64 gen(2024);
  const testgen::Shape shapes[] = {{2, 0.0}, {4, 0.0}, {3, 0.25}, {6, 0.1}};
  for (int round = 0; round < 48; ++round) {
    const int kind = round % 3;
    const uint32_t n = 3 + static_cast<uint32_t>(gen() % 40);
    const testgen::Shape shape = shapes[round % 4];
    std::vector<std::string> l1 = case_labels(n, kind, gen);
    std::vector<std::string> l2 = l1;
    if (round % 4 == 1)  // some names only in tree 1 (missing from tree 2)
      for (auto& s : l2)
        if (!s.empty() && gen() % 4 == 0) s += "x";
    std::string s1 = testgen::random_newick(l1, gen, shape);
    std::string s2 = testgen::random_newick(l2, gen, shape);
    if (round % 6 == 5) {
      s1 = testgen::name_internal_nodes(s1, l1, 0.3, gen);
      s2 = testgen::name_internal_nodes(s2, l2, 0.3, gen);
    }
    Tree t1 = parse(s1), t2 = parse(s2);
    const std::string what = s1 + " | " + s2;
    for (uint64_t trials : {0u, 1u, 257u}) {
      const uint64_t seed = gen();
      expect_matches(triplets_correct(t1, t2, trials, seed), ref::base(t1, t2, trials, seed),
                     "base " + what);
      expect_matches(triplets_correct_fast(t1, t2, trials, seed), ref::fast(t1, t2, trials, seed),
                     "fast " + what);
      bool equal_counts = ref::Matrix(t1).n == ref::Matrix(t2).n;
      if (equal_counts) {
        TripletResult u = triplets_correct_ultra(t1, t2, trials, seed);
        ref::Result r = ref::ultra(t1, t2, trials, seed);
        EXPECT_EQ(u.method_used, r.method);
        EXPECT_EQ(u.total_triplets_checked, r.denominator);
        expect_matches(u, r, "ultra " + what);
      } else {
        EXPECT_THROW(triplets_correct_ultra(t1, t2, trials, seed), InternalError);
      }
    }
  }
}

// Exhaustive counting by runs against all C(n, 3) triplets, on shapes where
// runs are long (caterpillars, stars, chains) and short (bifurcating).
TEST(TripletsAgreement, ExhaustiveCountsMatchBruteForce) {
  std::mt19937_64 gen(77);
  std::vector<std::pair<std::string, std::string>> cases = {
      {testgen::caterpillar(30), testgen::caterpillar(30)},
      {testgen::caterpillar(25), testgen::random_newick(testgen::labels(25), gen)},
      {"(a,b,c,d,e,f,g);", "((a,b,c),(d,e,f,g));"},
      {"((((a)),b),(c,(d,(e))));", "(a,(b,(c,(d,e))));"},
  };
  for (int i = 0; i < 12; ++i) {
    const uint32_t n = 3 + static_cast<uint32_t>(gen() % 60);
    const testgen::Shape shape{static_cast<uint32_t>(2 + i % 4), i % 3 == 0 ? 0.2 : 0.0,
                               i % 2 == 0};
    cases.emplace_back(testgen::random_newick(testgen::labels(n), gen, shape),
                       testgen::random_newick(testgen::labels(n), gen, shape));
  }
  for (const auto& [a, b] : cases) {
    Tree t1 = parse(a), t2 = parse(b);
    TripletResult u = triplets_correct_ultra(t1, t2, 0, std::nullopt);
    ref::Result r = ref::ultra(t1, t2, 0, 0);
    ASSERT_STREQ(u.method_used, "exhaustive");
    expect_matches(u, r, a + " | " + b);
  }
}

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
