// The cut-event count's seams: the one-pass, heavy-child-first walk against a
// literal per-node transcription of the definition on random shapes, leaves
// without rows, trees a million deep, and the bound on accumulators. Small
// cases against a brute force over internal states are in the Python tests.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "measures/characters/cut_events.hpp"
#include "tree/newick.hpp"
#include "tree_gen.hpp"

namespace cladorix {
namespace {

// Per site: every node's signature (missing: no observed leaf; an edit: all
// observed leaves carry it; unedited: anything else), then every non-root
// node that carries an edit while its parent is the root or unedited.
std::vector<uint64_t> literal_count(const Tree& t, const CharacterMatrix& m,
                                    const std::vector<uint32_t>& row_of_leaf, int32_t missing,
                                    int32_t unedited) {
  const size_t sites = m.empty() ? 0 : m[0].size();
  std::vector<uint64_t> out(sites, 0);
  std::vector<uint32_t> row(t.size(), kNoRow);
  for (size_t k = 0, v = 0; v < t.size(); ++v)
    if (t.is_leaf(static_cast<NodeId>(v))) row[v] = row_of_leaf[k++];
  for (size_t i = 0; i < sites; ++i) {
    std::vector<int32_t> sig(t.size(), missing);
    for (size_t v = t.size(); v-- > 0;) {
      const NodeId id = static_cast<NodeId>(v);
      if (t.is_leaf(id)) {
        sig[v] = row[v] == kNoRow ? missing : m[row[v]][i];
        continue;
      }
      for (NodeId c : t.children(id)) {
        if (sig[c] == missing) continue;
        sig[v] = sig[v] == missing || sig[v] == sig[c] ? sig[c] : unedited;
      }
    }
    for (NodeId v = 1; v < t.size(); ++v) {
      const NodeId p = t.parent(v);
      if (sig[v] != missing && sig[v] != unedited && (p == t.root() || sig[p] == unedited))
        ++out[i];
    }
  }
  return out;
}

size_t leaf_count(const Tree& t) { return t.leaves().size(); }

TEST(CutEvents, HandCountedCases) {
  struct Case {
    const char* newick;
    CharacterMatrix rows;
    std::vector<uint64_t> per_site;
    uint64_t extra;
  };
  const std::vector<Case> cases = {
      // The cherry shares edit 1 (one event); C is unedited.
      {"((A,B),C);", {{1}, {1}, {0}}, {1}, 0},
      // Two different edits in the cherry: one event each.
      {"((A,B),C);", {{1}, {2}, {0}}, {2}, 0},
      // Everything edited alike: the root stays unedited, so both of its
      // children need an event: one more than the distinct edits.
      {"((A,B)x,C)r;", {{1}, {1}, {1}}, {2}, 1},
      // Missing values fit anything; an all-missing subtree needs nothing.
      {"((A,B),(C,D));", {{3}, {-1}, {-1}, {-1}}, {1}, 0},
      // A polytomy and single-child chains: (B) and ((C)) each count once,
      // at the top of their chain; four events for two edits.
      {"(A,(B),((C)),D);", {{4}, {4}, {4}, {5}}, {4}, 2},
      // The worked example of NOTES.md.
      {"(((A,B)x,C)y,(D,E)z)r;", {{1}, {1}, {-1}, {2}, {0}}, {2}, 0},
      // Two sites at once, the second unedited throughout.
      {"(((A,B),C),D);", {{7, 0}, {7, 0}, {7, 0}, {9, 0}}, {2, 0}, 0},
  };
  for (const Case& c : cases) {
    const Tree t = from_newick(c.newick);
    const CutEventsResult r = cut_events(t, c.rows, std::nullopt, -1, 0);
    EXPECT_EQ(r.per_site, c.per_site) << c.newick;
    uint64_t sum = 0;
    for (uint64_t e : c.per_site) sum += e;
    EXPECT_EQ(r.cut_events, sum) << c.newick;
    EXPECT_EQ(r.extra_events, c.extra) << c.newick;
    EXPECT_EQ(r.n_leaves, c.rows.size()) << c.newick;
    EXPECT_EQ(r.n_characters, c.rows[0].size()) << c.newick;
  }
}

// Random shapes with polytomies and single-child chains, some leaves
// without rows, markers other than the defaults.
TEST(CutEvents, AgreesWithTheLiteralCountOnRandomShapes) {
  std::mt19937_64 gen(19);
  const int32_t missing = 9, unedited = -3;
  for (int trial = 0; trial < 300; ++trial) {
    const uint32_t n = std::uniform_int_distribution<uint32_t>(1, 400)(gen);
    testgen::Shape shape;
    shape.max_children = trial % 3 == 0 ? 2 : 6;
    shape.single_child_rate = trial % 2 == 0 ? 0.0 : 0.2;
    const Tree t = from_newick(testgen::random_newick(testgen::labels(n), gen, shape));
    const size_t leaves = leaf_count(t);
    const size_t sites = 1 + trial % 5;
    // Few distinct states, so that clades are often pure.
    std::uniform_int_distribution<int32_t> pick(0, 4);
    const int32_t states[] = {missing, unedited, 1, 2, 3};
    CharacterMatrix m(leaves + 2, std::vector<int32_t>(sites));
    for (auto& row : m)
      for (int32_t& s : row) s = states[pick(gen)];
    // A leaf-wide run of one edit in some rows makes deep clades pure.
    for (size_t k = 0; k < leaves / 2; ++k) m[k][0] = 2;
    std::vector<uint32_t> rows(leaves);
    for (size_t k = 0; k < leaves; ++k)
      rows[k] = pick(gen) == 0 ? kNoRow : static_cast<uint32_t>((k + 2) % m.size());

    const CutEventsResult r = cut_events_for_rows(t, m, rows, missing, unedited);
    EXPECT_EQ(r.per_site, literal_count(t, m, rows, missing, unedited)) << "trial " << trial;
    EXPECT_LE(static_cast<double>(r.peak_accumulators), accumulator_bound(leaves))
        << "trial " << trial;
  }
}

TEST(CutEvents, LeavesWithoutRowsReadAsMissing) {
  const Tree t = from_newick("((A,B),(C,D));");
  const CharacterMatrix m = {{1}, {2}, {1}};
  // B and D have no row: A and C carry 1, and the root is unedited.
  const CutEventsResult r =
      cut_events_for_rows(t, m, std::vector<uint32_t>{0, kNoRow, 2, kNoRow}, -1, 0);
  EXPECT_EQ(r.per_site, std::vector<uint64_t>{2});
  // Row 1 (edit 2) belongs to no leaf, so it is no distinct edit either.
  EXPECT_EQ(r.extra_events, 1u);
  EXPECT_THROW(cut_events_for_rows(t, m, std::vector<uint32_t>{0, 1, 2}, -1, 0), InternalError);
  EXPECT_THROW(cut_events_for_rows(t, m, std::vector<uint32_t>{0, 1, 2, 3}, -1, 0), InternalError);
}

// A million levels deep, both ways round: no recursion, and the walk keeps
// few accumulators. Site 0 alternates two edits (every leaf is its own
// event); site 1 edits every leaf alike except the first.
TEST(CutEvents, MillionDeepCaterpillars) {
  const uint32_t n = 1'000'000;
  std::string mirror;
  for (uint32_t i = 0; i + 1 < n; ++i) mirror += "(" + testgen::leaf_label(i) + ",";
  mirror += testgen::leaf_label(n - 1) + std::string(n - 1, ')') + ";";
  CharacterMatrix m(n, std::vector<int32_t>(2));
  for (uint32_t i = 0; i < n; ++i) m[i] = {static_cast<int32_t>(1 + i % 2), i == 0 ? 0 : 5};

  // (((t0,t1),t2),...): t0 spoils every clade above it, so each other leaf
  // is its own maximal clade.
  const CutEventsResult left =
      cut_events(from_newick(testgen::deep_caterpillar(n)), m, std::nullopt, -1, 0);
  EXPECT_EQ(left.per_site, (std::vector<uint64_t>{n, n - 1}));
  EXPECT_LE(left.peak_accumulators, 2u);  // every first child is the deep one
  // (t0,(t1,(...))): everything but t0 is one clade.
  const CutEventsResult right = cut_events(from_newick(mirror), m, std::nullopt, -1, 0);
  EXPECT_EQ(right.per_site, (std::vector<uint64_t>{n, 1}));
  EXPECT_LE(static_cast<double>(right.peak_accumulators), accumulator_bound(n));
  EXPECT_EQ(right.extra_events, uint64_t{n} + 1 - 3);
}

// Every spine node is open while the deepest is visited: a walk that gave
// each open node an accumulator would hold 200,000 of them.
TEST(CutEvents, CherriesAlongASpineKeepFewAccumulators) {
  const uint32_t depth = 200'000;
  std::string s(depth, '(');
  s += "s";
  for (uint32_t i = 0; i < depth; ++i)
    s += ",(" + testgen::leaf_label(2 * i) + "," + testgen::leaf_label(2 * i + 1) + "))";
  s += ";";
  const Tree t = from_newick(s);
  CharacterMatrix m(leaf_count(t), std::vector<int32_t>{7});
  m[0] = {0};
  const CutEventsResult r = cut_events(t, m, std::nullopt, -1, 0);
  EXPECT_EQ(r.per_site, std::vector<uint64_t>{depth});  // one per cherry
  EXPECT_LE(r.peak_accumulators, 2u);
}

}  // namespace
}  // namespace cladorix
