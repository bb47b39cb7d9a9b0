#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "character_cases.hpp"
#include "measures/characters/parsimony.hpp"
#include "stats/poisson_tail.hpp"
#include "tree/newick.hpp"
#include "tree/tree.hpp"
#include "tree_gen.hpp"

namespace cladorix {
namespace {

ParsimonyResult score(const std::string& newick, const CharacterMatrix& m,
                      const InternalStates* states = nullptr, int32_t missing = -1,
                      int32_t unedited = 0) {
  return parsimony(from_newick(newick), m, states, missing, unedited);
}

constexpr const char* kSmall = "((A,B)x,C)r;";

TEST(Parsimony, WorkedExamples) {
  // x inferred [1], r forced [0]: only r-x is a first cut.
  ParsimonyResult shared = score(kSmall, {{1}, {1}, {0}});
  EXPECT_EQ(shared.parsimony_score, 1u);
  EXPECT_EQ(shared.total_mutations, 1u);
  EXPECT_STREQ(shared.method_used, "small_mp_inferred");
  EXPECT_TRUE(shared.internal_states_inferred);
  EXPECT_GE(shared.computation_time_ms, 0.0);

  // Disagreeing children leave x unedited: x-A and x-B both count.
  EXPECT_EQ(score(kSmall, {{1}, {2}, {0}}).parsimony_score, 2u);
  // Missing children resolve to unedited and never count.
  EXPECT_EQ(score(kSmall, {{-1}, {-1}, {0}}).parsimony_score, 0u);
}

TEST(Parsimony, DegenerateInputsScoreZero) {
  ParsimonyResult empty = score(kSmall, {});
  EXPECT_EQ(empty.parsimony_score, 0u);
  EXPECT_STREQ(empty.method_used, "small_mp_inferred");
  EXPECT_TRUE(empty.internal_states_inferred);

  // Without internal labels no internal node has states, and every edge has
  // an internal parent.
  InternalStates unrelated{{"zz", {0}}};
  EXPECT_EQ(score("((A,B),C);", {{1}, {2}, {3}}).parsimony_score, 0u);
  EXPECT_EQ(score("((A,B),C);", {{1}, {2}, {3}}, &unrelated).parsimony_score, 0u);

  EXPECT_EQ(score("A;", {{1}}).parsimony_score, 0u);
  EXPECT_EQ(score("", {{1}}).parsimony_score, 0u);
}

TEST(Parsimony, ProvidedStatesAreUsedUnchanged) {
  // The root keeps its given edit, so r-x and r-C count nothing; x-A, x-B do.
  InternalStates states{{"r", {5}}, {"x", {0}}};
  ParsimonyResult given = score(kSmall, {{1}, {1}, {0}}, &states);
  EXPECT_EQ(given.parsimony_score, 2u);
  EXPECT_STREQ(given.method_used, "provided_states");
  EXPECT_FALSE(given.internal_states_inferred);

  // An empty map is still "given": nothing is inferred, nothing counts.
  InternalStates none;
  ParsimonyResult bare = score(kSmall, {{1}, {1}, {0}}, &none);
  EXPECT_EQ(bare.parsimony_score, 0u);
  EXPECT_STREQ(bare.method_used, "provided_states");
}

TEST(Parsimony, RowsWinOverStatesAndFillGaps) {
  InternalStates states{{"r", {0}}, {"x", {0}}, {"C", {3}}};
  // C has a row: its entry in the map is ignored.
  EXPECT_EQ(score(kSmall, {{1}, {1}, {0}}, &states).parsimony_score, 2u);
  // C has no row: the map's entry stands in, and r-C counts.
  EXPECT_EQ(score(kSmall, {{1}, {1}}, &states).parsimony_score, 3u);
  // A leaf with neither counts nothing.
  InternalStates no_c{{"r", {0}}, {"x", {0}}};
  EXPECT_EQ(score(kSmall, {{1}, {1}}, &no_c).parsimony_score, 2u);
}

TEST(Parsimony, DuplicateLeafNamesShareTheLastRow) {
  // Both leaves named A read row 1 ([2]): x and y are inferred [2] and only
  // r-y counts. Letting the first A win (x [1], y unedited) scores 2; tying
  // rows by position (x and y unedited) scores 3.
  EXPECT_EQ(score("(((A,A)x,B)y,C)r;", {{1}, {2}, {2}, {0}}).parsimony_score, 1u);
  // An internal node named like a leaf reads the leaf's row, not its own.
  InternalStates states{{"r", {0}}, {"A", {0}}};
  EXPECT_EQ(score("((A,B)A,C)r;", {{7}, {7}, {0}}, &states).parsimony_score, 1u);
}

TEST(Parsimony, NonBinaryNodesStopInference) {
  // x has three children: it yields all-unedited, stores nothing, and y below
  // it is never inferred. Were y inferred, it would be unedited (A and B
  // disagree) and y-A, y-B would count; only r-E does.
  const std::string tree = "(((A,B)y,C,D)x,E)r;";
  CharacterMatrix m{{1}, {2}, {1}, {1}, {1}};
  EXPECT_EQ(score(tree, m).parsimony_score, 1u);
  Tree t = from_newick(tree);
  LeafRowIndex rows(t);
  InferredStates inferred = infer_states(t, rows, m, -1, 0);
  EXPECT_EQ(inferred.states.find("y"), nullptr);
  EXPECT_EQ(inferred.states.find("x"), nullptr);
  ASSERT_NE(inferred.states.find("r"), nullptr);
  EXPECT_EQ(inferred.states.find("r")->size, 1u);
  EXPECT_EQ((*inferred.states.find("r"))[0], 0);

  // A one-child node behaves the same.
  EXPECT_EQ(score("(((A,B)y)x,E)r;", {{1}, {2}, {1}}).parsimony_score, 1u);
}

TEST(Parsimony, ListsOfDifferentLengths) {
  // Rows shorter than n_chars read as missing during inference; counting
  // compares only up to the shorter list.
  // x: char0 1/1 -> 1, char1 2/missing -> 0. r forced [0,0].
  // r-x: 1 (char0). x-A: char1 0->2 counts 1. x-B: B is [1], char0 only.
  // r-C: C = [0,0,4]: compares 2 chars, none edited.
  EXPECT_EQ(score(kSmall, {{1, 2}, {1}, {0, 0, 4}}).parsimony_score, 2u);
  // An empty first row: nothing to compare anywhere.
  EXPECT_EQ(score(kSmall, {{}, {1}, {1}}).parsimony_score, 0u);
}

TEST(Parsimony, MarkersAreParameters) {
  // With 9 as unedited and 0 as an edit, the first example reads the same.
  EXPECT_EQ(score(kSmall, {{1}, {1}, {9}}, nullptr, -1, 9).parsimony_score, 1u);
  EXPECT_EQ(score(kSmall, {{1}, {2}, {9}}, nullptr, -1, 9).parsimony_score, 2u);
  // 1 as missing: A and B are missing, so x is unedited and nothing counts.
  EXPECT_EQ(score(kSmall, {{1}, {1}, {0}}, nullptr, 1, 0).parsimony_score, 0u);
  // Equal markers: every state equal to the marker is both.
  EXPECT_EQ(score(kSmall, {{1}, {1}, {0}}, nullptr, 0, 0).parsimony_score, 1u);
}

TEST(Parsimony, EdgesOfUnattachedNodesCount) {
  // "((A,B)x;" leaves x unattached; the root alone is the first leaf.
  InternalStates states{{"x", {0}}};
  EXPECT_EQ(score("((A,B)x;", {{9}, {1}, {1}}, &states).parsimony_score, 2u);
  // Inference starts at the root and never reaches x.
  EXPECT_EQ(score("((A,B)x;", {{9}, {1}, {1}}).parsimony_score, 0u);
}

TEST(Parsimony, InferredStatesGivenBackScoreTheSame) {
  cases::CaseGenerator gen(7);
  for (int round = 0; round < 1000; ++round) {
    cases::Case c = gen.next();
    if (c.matrix.empty()) continue;
    SCOPED_TRACE(c.newick);
    Tree tree = from_newick(c.newick);
    LeafRowIndex rows(tree);
    InferredStates inferred = infer_states(tree, rows, c.matrix, -1, 0);
    InternalStates given;
    for (NodeId v = 0; v < tree.size(); ++v) {
      if (!tree.has_name(v)) continue;
      if (const StateSpan* s = inferred.states.find(tree.name(v)))
        given[std::string(tree.name(v))] = std::vector<int32_t>(s->data, s->data + s->size);
    }
    EXPECT_EQ(parsimony(tree, c.matrix, &given, -1, 0).parsimony_score,
              parsimony(tree, c.matrix, nullptr, -1, 0).parsimony_score);
  }
}

TEST(Parsimony, NeverExceedsEdgeCharacterPairs) {
  cases::CaseGenerator gen(99);
  for (int round = 0; round < 1000; ++round) {
    cases::Case c = gen.next();
    Tree tree = from_newick(c.newick);
    size_t longest = 0;
    for (const auto& row : c.matrix) longest = std::max(longest, row.size());
    for (const auto& [name, list] : c.internal_states) longest = std::max(longest, list.size());
    size_t edges = 0;
    for (NodeId v = 0; v < tree.size(); ++v) edges += tree.has_parent(v);
    EXPECT_LE(parsimony(tree, c.matrix, nullptr, -1, 0).parsimony_score, edges * longest);
    EXPECT_LE(parsimony(tree, c.matrix, &c.internal_states, -1, 0).parsimony_score,
              edges * longest);
  }
}

TEST(Parsimony, DeepCaterpillarNeedsNoRecursion) {
  const size_t depth = 200000;
  Tree tree = from_newick(testgen::named_caterpillar(depth));
  // Leaves in node order are L0, L1, ..., L{depth}. Character 0 is edited
  // everywhere (all internal nodes inferred edited: the root's two edges
  // count); character 1 alternates edits, so every internal node is
  // unedited and every leaf edge counts.
  CharacterMatrix m(depth + 1);
  for (size_t k = 0; k <= depth; ++k) m[k] = {1, k % 2 ? 2 : 1};
  EXPECT_EQ(parsimony(tree, m, nullptr, -1, 0).parsimony_score, 2 + depth + 1);
}

TEST(Parsimony, LeafNamesListTheRowOrder) {
  // Row k belongs to the k-th name of leaf_names: the leaf row index agrees
  // for every name that occurs once.
  std::mt19937_64 gen(11);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::string> labels;
    const uint32_t n = 1 + static_cast<uint32_t>(gen() % 30);
    for (uint32_t i = 0; i < n; ++i) labels.push_back(gen() % 5 == 0 ? "" : testgen::leaf_label(i));
    const Tree tree = from_newick(testgen::random_newick(labels, gen, {3, 0.2}));
    const auto names = leaf_names(tree);
    const LeafRowIndex rows(tree);
    ASSERT_EQ(names.size(), rows.leaf_count());
    for (size_t k = 0; k < names.size(); ++k) {
      if (!names[k]) continue;
      const uint32_t* pos = rows.find(*names[k]);
      ASSERT_NE(pos, nullptr);
      EXPECT_EQ(*pos, k) << *names[k];
    }
  }
}

TEST(ParsimonyPValue, PoissonTail) {
  EXPECT_EQ(poisson_upper_tail(0, 3.0), 1.0);
  EXPECT_EQ(poisson_upper_tail(0, std::nan("")), 1.0);
  EXPECT_EQ(poisson_upper_tail(1, 0.5), 1.0 - std::exp(-0.5));
  EXPECT_NEAR(poisson_upper_tail(1, 0.5), 0.3935, 1e-4);
  // P(X >= 3) = 1 - e^-2 (1 + 2 + 2)
  EXPECT_NEAR(poisson_upper_tail(3, 2.0), 1.0 - 5.0 * std::exp(-2.0), 1e-15);
  EXPECT_TRUE(std::isnan(poisson_upper_tail(5, std::nan(""))));
}

TEST(ParsimonyPValue, NonPositiveMeanIsAStep) {
  EXPECT_EQ(poisson_upper_tail(0, 0.0), 1.0);
  EXPECT_EQ(poisson_upper_tail(1, 0.0), 0.0);
  EXPECT_EQ(poisson_upper_tail(0, -2.0), 1.0);
  EXPECT_EQ(poisson_upper_tail(500, -2.0), 0.0);
}

TEST(ParsimonyPValue, SwitchesToNormalAboveHundred) {
  const double mu = 100.0;
  // S = 100: the iterative Poisson sum, term_k = (mu / k) * term_(k-1).
  double term = std::exp(-mu), sum = 0.0;
  for (int k = 0; k < 100; ++k) {
    if (k > 0) term = (mu / k) * term;
    sum += term;
  }
  EXPECT_EQ(poisson_upper_tail(100, mu), 1.0 - sum);
  EXPECT_NEAR(poisson_upper_tail(100, mu), 0.5132987982791486, 1e-12);
  // S = 101: the normal approximation; the exact Poisson tail would be ~0.473.
  const double x = (101.0 - mu) / std::sqrt(mu) / 1.4142135623730951;
  EXPECT_EQ(poisson_upper_tail(101, mu), 0.5 * (1.0 - erf_approx(x)));
  EXPECT_NEAR(poisson_upper_tail(101, mu), 0.5 * std::erfc(x), 1e-7);
}

TEST(ParsimonyPValue, ErfApproximation) {
  // At 0 the polynomial does not vanish: erf(0) is about 1e-9.
  EXPECT_NEAR(erf_approx(0.0), 1e-9, 1e-12);
  EXPECT_GT(erf_approx(0.0), 0.0);
  EXPECT_NEAR(poisson_upper_tail(200, 200.0), 0.4999999995, 1e-12);
  for (double x = -4.0; x <= 4.0; x += 0.01) {
    EXPECT_NEAR(erf_approx(x), std::erf(x), 1.5e-7) << x;
    EXPECT_EQ(erf_approx(-x), -erf_approx(x)) << x;
  }
}

TEST(ParsimonyPValue, FromTree) {
  Tree tree = from_newick(kSmall);
  CharacterMatrix m{{1}, {1}, {0}};
  // S = 1, three leaves: mu = 0.1 * 2 by default.
  ParsimonyPValueResult p =
      parsimony_p_value(tree, m, nullptr, {std::nullopt, std::nullopt, -1, 0});
  EXPECT_EQ(p.parsimony_score, 1u);
  EXPECT_EQ(p.p_value, 1.0 - std::exp(-0.2));
  EXPECT_STREQ(p.method_used, "poisson_approximation");
  EXPECT_GE(p.computation_time_ms, 0.0);
  EXPECT_EQ(parsimony_p_value(tree, m, nullptr, {0.25, std::nullopt, -1, 0}).p_value,
            1.0 - std::exp(-0.5));
  EXPECT_EQ(parsimony_p_value(tree, m, nullptr, {-1.0, std::nullopt, -1, 0}).p_value, 0.0);
  EXPECT_TRUE(
      std::isnan(parsimony_p_value(tree, m, nullptr, {std::nan(""), std::nullopt, -1, 0}).p_value));

  // Unnamed leaves count toward mu too: four leaves -> mu = 0.3.
  Tree wide = from_newick("((A,B)x,(,)y)r;");
  ParsimonyPValueResult q =
      parsimony_p_value(wide, {{1}, {1}}, nullptr, {std::nullopt, std::nullopt, -1, 0});
  EXPECT_EQ(q.parsimony_score, 1u);
  EXPECT_EQ(q.p_value, 1.0 - std::exp(-(0.1 * 3.0)));

  // A single leaf: mu = 0, S = 0.
  EXPECT_EQ(
      parsimony_p_value(from_newick("A;"), {{1}}, nullptr, {std::nullopt, std::nullopt, -1, 0})
          .p_value,
      1.0);
  // The method label is the same on the normal branch.
  const size_t depth = 300;
  std::string cat = testgen::named_caterpillar(depth);
  CharacterMatrix alt(depth + 1);
  for (size_t k = 0; k <= depth; ++k) alt[k] = {k % 2 ? 2 : 1};
  ParsimonyPValueResult big =
      parsimony_p_value(from_newick(cat), alt, nullptr, {std::nullopt, std::nullopt, -1, 0});
  EXPECT_EQ(big.parsimony_score, depth + 1);
  EXPECT_STREQ(big.method_used, "poisson_approximation");
  const double mu = 0.1 * static_cast<double>(depth);
  EXPECT_EQ(big.p_value,
            0.5 * (1.0 - erf_approx((301.0 - mu) / std::sqrt(mu) / 1.4142135623730951)));
}

}  // namespace
}  // namespace cladorix
