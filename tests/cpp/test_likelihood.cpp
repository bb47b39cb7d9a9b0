#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "measures/characters/likelihood.hpp"
#include "measures/model_defaults.hpp"
#include "tree/newick.hpp"
#include "tree/tree.hpp"
#include "tree_gen.hpp"

namespace cladorix {
namespace {

constexpr const char* kSmall = "((A,B)x,C)r;";
constexpr double kInf = std::numeric_limits<double>::infinity();

LikelihoodResult score(const std::string& newick, const CharacterMatrix& m,
                       const InternalStates* states = nullptr,
                       std::optional<double> rate = std::nullopt,
                       std::optional<double> collision = std::nullopt) {
  return likelihood(from_newick(newick), m, states, {rate, collision, -1, 0});
}

// Equal bits, so NaN equals NaN and -0.0 differs from 0.0.
bool same_bits(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

TEST(Likelihood, WorkedExample) {
  LikelihoodResult r = score(kSmall, {{1}, {1}, {0}});
  const double log_cut = std::log(0.1 * 0.09516258196404048);
  const double log_stay = std::log(1 - 0.09516258196404048);
  // Edges in node order: r-x (cut), x-A and x-B (kept edit), r-C (stay).
  EXPECT_TRUE(same_bits(r.log_likelihood, (((0.0 + log_cut) + 0.0) + 0.0) + log_stay));
  EXPECT_NEAR(r.log_likelihood, -4.754754, 1e-6);
  EXPECT_NEAR(r.likelihood, 0.0086107, 1e-7);
  EXPECT_TRUE(same_bits(r.likelihood, std::exp(r.log_likelihood)));
  EXPECT_NEAR(log_stay, -0.1, 1e-15);
  EXPECT_STREQ(r.method_used, "crispr_cas9_model");
  EXPECT_EQ(r.n_characters, 1u);
  EXPECT_EQ(r.n_leaves, 3u);
  EXPECT_GE(r.computation_time_ms, 0.0);
}

TEST(Likelihood, EmptyData) {
  for (const CharacterMatrix& m : {CharacterMatrix{}, CharacterMatrix{{}, {1}, {1}}}) {
    // Parameters are not even looked at: NaN ones change nothing.
    LikelihoodResult r = score("((A,B)x,(,)y)r;", m, nullptr, std::nan(""), std::nan(""));
    EXPECT_STREQ(r.method_used, "empty_data");
    EXPECT_EQ(r.log_likelihood, 0.0);
    EXPECT_EQ(r.likelihood, 1.0);
    EXPECT_EQ(r.computation_time_ms, 0.0);
    EXPECT_EQ(r.n_characters, 0u);
    EXPECT_EQ(r.n_leaves, 4u);  // unnamed leaves count
  }
}

TEST(Likelihood, DefaultRateIsOneMinusExpOfMinusATenth) {
  EXPECT_EQ(kDefaultEditProbability, 1.0 - std::exp(-0.1));
  LikelihoodResult absent = score(kSmall, {{1}, {2}, {0}});
  LikelihoodResult given = score(kSmall, {{1}, {2}, {0}}, nullptr, 0.1, 0.1);
  EXPECT_TRUE(same_bits(absent.log_likelihood, given.log_likelihood));
  // Another rate moves the result.
  EXPECT_NE(score(kSmall, {{1}, {2}, {0}}, nullptr, 0.2).log_likelihood, absent.log_likelihood);
}

TEST(Likelihood, ForbiddenAndDegenerateTransitions) {
  // An edited parent with an unedited or differently edited child.
  InternalStates lost{{"r", {0}}, {"x", {3}}};
  LikelihoodResult r = score(kSmall, {{3}, {0}, {0}}, &lost);
  EXPECT_EQ(r.log_likelihood, -kInf);
  EXPECT_EQ(r.likelihood, 0.0);
  EXPECT_EQ(score(kSmall, {{3}, {4}, {0}}, &lost).log_likelihood, -kInf);
  EXPECT_TRUE(std::isfinite(score(kSmall, {{3}, {3}, {0}}, &lost).log_likelihood));

  // No collisions: any unedited-to-edited step is impossible.
  EXPECT_EQ(score(kSmall, {{1}, {1}, {0}}, nullptr, std::nullopt, 0.0).log_likelihood, -kInf);
  // A negative cut probability gives NaN, which propagates.
  LikelihoodResult nan = score(kSmall, {{1}, {1}, {0}}, nullptr, std::nullopt, -1.0);
  EXPECT_TRUE(std::isnan(nan.log_likelihood));
  EXPECT_TRUE(std::isnan(nan.likelihood));
}

TEST(Likelihood, WhatContributesNothing) {
  // No internal labels: no edge has states at its parent end.
  LikelihoodResult bare = score("((A,B),C);", {{1}, {2}, {0}});
  EXPECT_EQ(bare.log_likelihood, 0.0);
  EXPECT_EQ(bare.likelihood, 1.0);
  EXPECT_STREQ(bare.method_used, "crispr_cas9_model");

  // Missing at either end, and characters past the shorter list.
  InternalStates states{{"r", {0, -1, 0}}, {"x", {-1, 0}}};
  LikelihoodResult r = score(kSmall, {{5}, {-1}, {-1, 4}}, &states);
  // r-x: char 0 missing, char 1 missing (parent); r-C: char 0 missing,
  // char 1 parent missing; x-A: char 0 parent missing. Nothing counts.
  EXPECT_EQ(r.log_likelihood, 0.0);
  EXPECT_EQ(r.n_characters, 1u);
}

TEST(Likelihood, NodeStateLookup) {
  Tree t = from_newick("((A,B)x,(,C)y)r;");
  LeafRowIndex rows(t);
  CharacterMatrix m{{1, 2}, {3}};
  InternalStates states{{"A", {9}}, {"C", {8, 8}}, {"x", {7}}};
  const StatesView view(rows.classes(), states);
  const StatesView none(rows.classes());
  auto of = [&](NodeId v, const StatesView& s) {
    const StateSpan span = node_states(v, rows, m, s);
    return std::vector<int32_t>(span.data, span.data + span.size);
  };
  EXPECT_EQ(of(2, view), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(of(3, view), (std::vector<int32_t>{3}));
  EXPECT_EQ(of(1, view), (std::vector<int32_t>{7}));
  // Unnamed leaf at position 2: nothing. C at position 3 has no row: the map.
  EXPECT_TRUE(of(5, view).empty());
  EXPECT_EQ(of(6, view), (std::vector<int32_t>{8, 8}));
  EXPECT_TRUE(of(4, view).empty());
  EXPECT_TRUE(of(6, none).empty());
}

TEST(Likelihood, DeepCaterpillarNeedsNoRecursion) {
  const size_t depth = 200000;
  Tree tree = from_newick(testgen::named_caterpillar(depth));
  CharacterMatrix m(depth + 1);
  for (size_t k = 0; k <= depth; ++k) m[k] = {1, k % 2 ? 2 : 1};
  // Character 0: internal nodes edited, only the root's two edges cut.
  // Character 1: internal nodes unedited; depth - 1 internal edges stay, all
  // depth + 1 leaf edges cut.
  const double log_cut = std::log(0.1 * kDefaultEditProbability);
  const double log_stay = std::log(1.0 - kDefaultEditProbability);
  const double want = (depth + 3) * log_cut + (depth - 1) * log_stay;
  LikelihoodResult r = likelihood(tree, m, nullptr, {std::nullopt, std::nullopt, -1, 0});
  EXPECT_NEAR(r.log_likelihood, want, 1e-9 * std::fabs(want));
  EXPECT_EQ(r.n_leaves, depth + 1);
}

TEST(LikelihoodDistance, Rule) {
  EXPECT_NEAR(relative_likelihood_distance(-10.0, -12.0), 0.2, 1e-15);
  EXPECT_EQ(relative_likelihood_distance(-12.0, -10.0), 0.0);
  EXPECT_EQ(relative_likelihood_distance(0.0, -5.0), kInf);
  EXPECT_EQ(relative_likelihood_distance(-0.0, 0.0), kInf);
  EXPECT_EQ(relative_likelihood_distance(-kInf, -3.0), 0.0);   // quotient 0
  EXPECT_EQ(relative_likelihood_distance(-kInf, -kInf), 0.0);  // quotient NaN
  EXPECT_EQ(relative_likelihood_distance(std::nan(""), -1.0), 0.0);
}

TEST(LikelihoodDistance, OfTrees) {
  Tree a = from_newick(kSmall);
  Tree b = from_newick("(A,(B,C)x)r;");
  CharacterMatrix m{{1}, {1}, {0}};
  auto dist = [&](const Tree& r, const Tree& g, const CharacterMatrix& mm,
                  const InternalStates* sr = nullptr, const InternalStates* sg = nullptr) {
    return likelihood_distance(r, g, mm, sr, sg, {std::nullopt, std::nullopt, -1, 0})
        .likelihood_distance;
  };
  EXPECT_EQ(dist(a, a, m), 0.0);
  InternalStates given{{"r", {0}}, {"x", {0}}};
  EXPECT_EQ(dist(a, a, m, &given, &given), 0.0);
  EXPECT_EQ(dist(a, a, {}), kInf);

  // a: one cut and one stay; b: x is unedited, two cuts and two stays.
  const double ra = likelihood(a, m, nullptr, {std::nullopt, std::nullopt, -1, 0}).log_likelihood;
  const double rb = likelihood(b, m, nullptr, {std::nullopt, std::nullopt, -1, 0}).log_likelihood;
  ASSERT_NE(ra, rb);
  EXPECT_EQ(dist(a, b, m), std::max(rb / ra - 1.0, 0.0));
  EXPECT_EQ(dist(b, a, m), std::max(ra / rb - 1.0, 0.0));
  EXPECT_GT(dist(a, b, m) + dist(b, a, m), 0.0);

  // Each tree uses its own states.
  EXPECT_EQ(dist(a, a, m, nullptr, &given),
            relative_likelihood_distance(
                ra, likelihood(a, m, &given, {std::nullopt, std::nullopt, -1, 0}).log_likelihood));
  // A reconstructed tree without internal labels scores exactly 0.
  EXPECT_EQ(dist(from_newick("((A,B),C);"), a, m), kInf);
}

}  // namespace
}  // namespace cladorix
