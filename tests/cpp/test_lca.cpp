#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "measures/triplets/counters.hpp"
#include "reference/euler_lca.hpp"
#include "tree/leaf_lca.hpp"
#include "tree_gen.hpp"
#include "util/errors.hpp"

using namespace cladorix;
using namespace cladorix::reference;
using testgen::naive_depth;
using testgen::naive_lca;

namespace {

// The position of a minimum in [lo, hi] by a plain scan.
uint64_t scan_min_value(const std::vector<uint64_t>& v, uint64_t lo, uint64_t hi) {
  uint64_t m = v[lo];
  for (uint64_t i = lo; i <= hi; ++i) m = std::min(m, v[i]);
  return m;
}

std::vector<Tree> random_trees(uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::vector<Tree> trees;
  const testgen::Shape shapes[] = {{2, 0.0}, {5, 0.0}, {3, 0.3}, {8, 0.1}};
  for (const auto& shape : shapes)
    for (uint32_t n : {1u, 2u, 3u, 7u, 30u, 90u})
      trees.push_back(from_newick(testgen::random_newick(testgen::labels(n), gen, shape)));
  trees.push_back(from_newick(testgen::caterpillar(40)));
  trees.push_back(from_newick("((((((A))))),(B,(C)));"));
  return trees;
}

}  // namespace

TEST(EulerLca, WorkedExampleTables) {
  Tree t = from_newick("((A,B),C);");
  EulerLca lca(t);
  EXPECT_EQ(lca.euler_tour(), (std::vector<NodeId>{0, 1, 2, 1, 3, 1, 0, 4, 0}));
  EXPECT_EQ(lca.euler_depths(), (std::vector<uint64_t>{0, 1, 2, 1, 2, 1, 0, 1, 0}));
  EXPECT_EQ(lca.first_index(), (std::vector<uint64_t>{0, 1, 2, 4, 7}));
  EXPECT_EQ(lca.depth_rmq().data(), lca.euler_depths());
  EXPECT_EQ(lca.get_lca_id(2, 3), 1u);
  EXPECT_EQ(lca.get_lca_id(2, 4), 0u);
  EXPECT_EQ(lca.get_lca_id(1, 3), 1u);
  EXPECT_EQ(lca.get_lca_id(4, 4), 4u);
  EXPECT_EQ(lca.get_lca_id(3, 2), 1u);
  EXPECT_EQ(depth_array(t), lca.euler_depths());
  EXPECT_EQ(euler_walk_ids(t, 0), lca.euler_tour());
  // A walk from an inner node ends at that node's parent.
  EXPECT_EQ(euler_walk_ids(t, 1), (std::vector<NodeId>{1, 2, 1, 3, 1, 0}));
  EXPECT_EQ(euler_walk_ids(t, 4), (std::vector<NodeId>{4, 0}));
  EXPECT_EQ(lca.get_euler_pos(7), 4u);
  EXPECT_THROW(lca.get_euler_pos(9), InternalError);
  EXPECT_THROW(lca.get_fa_index(5), InternalError);
  EXPECT_THROW(lca.get_lca_id(0, 5), InternalError);
}

TEST(EulerLca, SingleNodeTree) {
  Tree t = from_newick("A;");
  EulerLca lca(t);
  EXPECT_EQ(lca.euler_tour(), (std::vector<NodeId>{0}));
  EXPECT_EQ(lca.euler_depths(), (std::vector<uint64_t>{0}));
  EXPECT_EQ(lca.first_index(), (std::vector<uint64_t>{0}));
  EXPECT_EQ(lca.get_lca_id(0, 0), 0u);
  EXPECT_EQ(lca.depth_rmq().size(), 1u);
  EXPECT_EQ(lca.depth_rmq().levels(), 1u);
  EXPECT_EQ(get_lca_id(t, 0, 0), 0u);
}

TEST(BinaryRmq, LevelCountsAndEmptyInput) {
  EXPECT_EQ(BinaryRmq::from_vec({}).levels(), 0u);
  EXPECT_TRUE(BinaryRmq::from_vec({}).offsets().empty());
  // 1 value: 1 level; otherwise ceil(log2 n) + 1.
  const std::pair<size_t, uint32_t> cases[] = {{1, 1}, {2, 2}, {3, 3},  {4, 3}, {5, 4},
                                               {8, 4}, {9, 5}, {16, 5}, {17, 6}};
  for (auto [n, levels] : cases) {
    BinaryRmq r = BinaryRmq::from_vec(std::vector<uint64_t>(n, 7));
    EXPECT_EQ(r.levels(), levels) << n;
    EXPECT_EQ(r.offsets().size(), n * levels) << n;
  }
}

TEST(BinaryRmq, OffsetsAndTieRules) {
  // Worked by hand: row j, column i at j*L + i.
  BinaryRmq r = BinaryRmq::from_vec({3, 1, 2});
  EXPECT_EQ(r.offsets(), (std::vector<uint32_t>{0, 1, 1, 0, 0, 0, 0, 0, 0}));
  // The build sends ties to the later position, the query to the left window.
  BinaryRmq tie = BinaryRmq::from_vec({1, 1});
  EXPECT_EQ(tie.offsets(), (std::vector<uint32_t>{0, 1, 0, 0}));
  EXPECT_EQ(tie.range_min(0, 1), 0u);
  BinaryRmq four = BinaryRmq::from_vec({5, 1, 1, 5});
  EXPECT_EQ(four.range_min(0, 3), 1u);
  EXPECT_EQ(four.range_min(2, 3), 2u);
  EXPECT_EQ(four.range_min(1, 2), 1u);
  EXPECT_EQ(four.range_min(3, 3), 3u);
  EXPECT_THROW(four.range_min(2, 1), InternalError);
  EXPECT_THROW(four.range_min(0, 4), InternalError);
}

TEST(BinaryRmq, EveryRangeFindsAMinimum) {
  std::mt19937_64 gen(11);
  for (size_t n : {1u, 2u, 5u, 31u, 64u, 100u}) {
    std::vector<uint64_t> v(n);
    for (auto& x : v) x = gen() % 4;  // many ties
    BinaryRmq r = BinaryRmq::from_vec(v);
    for (uint64_t lo = 0; lo < n; ++lo)
      for (uint64_t hi = lo; hi < n; ++hi) {
        uint64_t p = r.range_min(lo, hi);
        ASSERT_GE(p, lo);
        ASSERT_LE(p, hi);
        ASSERT_EQ(v[p], scan_min_value(v, lo, hi)) << n << " " << lo << " " << hi;
      }
  }
}

TEST(EulerLca, AnswersMatchParentWalksOnRandomTrees) {
  for (const Tree& t : random_trees(5)) {
    EulerLca lca(t);
    ASSERT_EQ(lca.euler_tour().size(), 2 * t.size() - 1);
    for (uint64_t k = 0; k < lca.euler_tour().size(); ++k)
      ASSERT_EQ(lca.euler_depths()[k], naive_depth(t, lca.euler_tour()[k]));
    for (NodeId v = 0; v < t.size(); ++v) {
      uint64_t f = lca.first_index()[v];
      ASSERT_EQ(lca.euler_tour()[f], v);
      for (uint64_t k = 0; k < f; ++k) ASSERT_NE(lca.euler_tour()[k], v);
    }
    // Consecutive tour entries are parent and child.
    for (uint64_t k = 1; k < lca.euler_tour().size(); ++k) {
      NodeId x = lca.euler_tour()[k - 1], y = lca.euler_tour()[k];
      ASSERT_TRUE((t.has_parent(x) && t.parent(x) == y) || (t.has_parent(y) && t.parent(y) == x));
    }
    const uint32_t step = t.size() > 60 ? 7 : 1;
    for (NodeId a = 0; a < t.size(); a += step)
      for (NodeId b = 0; b < t.size(); ++b) {
        const NodeId expect = naive_lca(t, a, b);
        ASSERT_EQ(lca.get_lca_id(a, b), expect);
        if (b % 11 == 0) {
          ASSERT_EQ(get_lca_id(t, a, b), expect);  // without stored tables
        }
      }
  }
}

TEST(EulerLca, DeepCaterpillarNeedsNoRecursion) {
  const uint32_t n = 200000;
  Tree t = from_newick(testgen::deep_caterpillar(n));
  EulerLca lca(t);
  ASSERT_EQ(lca.euler_tour().size(), 2 * t.size() - 1);
  // The two deepest leaves hang from the deepest internal node.
  const std::vector<NodeId> leaves = t.leaves();
  const NodeId a = leaves[0], b = leaves[1];
  EXPECT_EQ(naive_depth(t, a), n - 1);
  EXPECT_EQ(lca.get_lca_id(a, b), t.parent(a));
  EXPECT_EQ(lca.get_lca_id(a, leaves.back()), 0u);
  LeafLca fast(t);
  EXPECT_EQ(fast.leaf_pair_depth(0, 1), n - 2);
  EXPECT_EQ(fast.lca_depth(a, leaves[5]), naive_depth(t, lca.get_lca_id(a, leaves[5])));
}

TEST(EulerLca, UnclosedParenthesisFailsTheBuildOnly) {
  // Node 1 never gets its ")": it keeps its children but hangs from nothing.
  Tree t = from_newick("((A,B);");
  EXPECT_THROW(EulerLca{t}, InternalError);
  EXPECT_THROW(check_connected(t), InternalError);
  EXPECT_NO_THROW(check_tour_size(t));
  // Without tables every query builds the first-occurrence list and fails.
  EXPECT_THROW(get_lca_id(t, 0, 0), InternalError);
  EXPECT_EQ(testgen::naive_depth(t, 2), 1u);
  EXPECT_EQ(euler_walk_ids(t, 0), (std::vector<NodeId>{0}));
}

TEST(LeafLca, AgreesWithEulerTablesOnRandomTrees) {
  for (const Tree& t : random_trees(9)) {
    EulerLca euler(t);
    LeafLca leaf(t);
    const std::vector<NodeId> leaves = t.leaves();
    ASSERT_EQ(leaf.leaves(), leaves);
    auto euler_depth = [&](NodeId a, NodeId b) { return naive_depth(t, euler.get_lca_id(a, b)); };
    for (NodeId a = 0; a < t.size(); ++a) {
      ASSERT_EQ(leaf.depth(a), naive_depth(t, a));
      for (NodeId b = 0; b < t.size(); ++b) ASSERT_EQ(leaf.lca_depth(a, b), euler_depth(a, b));
    }
    const uint32_t m = leaf.leaf_count();
    for (uint32_t i = 0; i < m; ++i)
      for (uint32_t j = 0; j < m; ++j)
        if (i != j) {
          ASSERT_EQ(leaf.leaf_pair_depth(i, j), euler_depth(leaves[i], leaves[j]));
        }
    // The two-read outgroup against the three-depth rule, in every order.
    std::mt19937_64 gen(m);
    for (int trial = 0; m >= 3 && trial < 2000; ++trial) {
      uint32_t p[3];
      p[0] = gen() % m;
      do p[1] = gen() % m;
      while (p[1] == p[0]);
      do p[2] = gen() % m;
      while (p[2] == p[0] || p[2] == p[1]);
      const int expect = outgroup_from_depths(euler_depth(leaves[p[0]], leaves[p[1]]),
                                              euler_depth(leaves[p[0]], leaves[p[2]]),
                                              euler_depth(leaves[p[1]], leaves[p[2]]));
      ASSERT_EQ(outgroup_at(leaf, p), expect);
    }
  }
}

TEST(MinSparseTable, EveryRange) {
  std::mt19937_64 gen(3);
  for (size_t n : {1u, 2u, 3u, 17u, 64u, 65u}) {
    std::vector<uint32_t> v(n);
    for (auto& x : v) x = static_cast<uint32_t>(gen() % 10);
    MinSparseTable table(v);
    for (uint32_t lo = 0; lo < n; ++lo)
      for (uint32_t hi = lo + 1; hi <= n; ++hi)
        ASSERT_EQ(table.min(lo, hi), *std::min_element(v.begin() + lo, v.begin() + hi));
  }
}
