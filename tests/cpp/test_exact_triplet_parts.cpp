// The parts of the exact triplet count, each against a naive count on small
// random inputs (spans, the active set, the direct count, the path counter,
// pieces of a path, given depth bins), and the worked example of
// src/measures/triplets/NOTES.md with the numbers the note derives.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "measures/triplets/counters.hpp"
#include "measures/triplets/exact_active_set.hpp"
#include "measures/triplets/exact_by_name.hpp"
#include "measures/triplets/exact_path_counter.hpp"
#include "measures/triplets/exact_reference.hpp"
#include "measures/triplets/exact_span.hpp"
#include "reference/brute_triplets.hpp"
#include "tree/newick.hpp"
#include "tree_gen.hpp"
#include "util/errors.hpp"

namespace {

using cladorix::from_newick;
using cladorix::Tree;
using cladorix::exact::ActiveSet;
using cladorix::exact::Agreement;
using cladorix::exact::GroupSpans;
using cladorix::exact::kNone;
using cladorix::exact::PathCounter;
using cladorix::exact::Reference;
using cladorix::exact::Span;
using cladorix::exact::Task;
using cladorix::exact::u128;
using cladorix::exact::u32;
using cladorix::exact::u64;
using testgen::Shape;

u64 pairs(u64 x) { return x * (x - 1) / 2; }

// A span read the slow way: children lists, parent walks.
struct NaiveSpan {
  const Span& s;
  std::vector<std::vector<u32>> kids;
  explicit NaiveSpan(const Span& span) : s(span), kids(span.size()) {
    for (u32 v = 1; v < span.size(); ++v) kids[span.parent[v]].push_back(v);
  }
  // Pre-order: of two nodes, the later one is never the other's ancestor.
  u32 lca(u32 a, u32 b) const {
    while (a != b)
      if (a > b)
        a = s.parent[a];
      else
        b = s.parent[b];
    return a;
  }
  std::vector<u64> counts(const std::vector<bool>& active) const {
    std::vector<u64> c(s.size(), 0);
    for (u32 v = s.size(); v-- > 0;) {
      if (active[v]) ++c[v];
      if (v > 0) c[s.parent[v]] += c[v];
    }
    return c;
  }
  // Psi(z), Same(z) as the active set defines them.
  std::pair<u64, u64> psi_same(u32 z, const std::vector<u64>& c) const {
    u64 psi = 0, same = 0;
    for (u32 x = z; s.parent[x] != kNone; x = s.parent[x]) {
      const u32 u = s.parent[x];
      for (u32 k : kids[u])
        if (k != x) psi += pairs(c[k]);
      same += pairs(c[u] - c[x]);
    }
    return {psi, same};
  }
  std::vector<u32> leaves() const {
    std::vector<u32> out;
    for (u32 v = 0; v < s.size(); ++v)
      if (s.is_leaf(v)) out.push_back(v);
    return out;
  }
};

// The layout every span promises: pre-order ranges, the heavy child first.
void expect_laid_out(const Span& s) {
  for (u32 v = 0; v < s.size(); ++v) {
    if (v > 0) {
      ASSERT_LT(s.parent[v], v);
      ASSERT_LE(s.end[v], s.end[s.parent[v]]);
    }
    if (s.is_leaf(v)) {
      ASSERT_EQ(s.leaves[v], 1u);
      continue;
    }
    u32 children = 0, below = 0;
    for (u32 c = v + 1; c < s.end[v]; c = s.end[c]) {
      ASSERT_EQ(s.parent[c], v);
      ASSERT_LE(s.leaves[c], s.leaves[v + 1]) << "the heavy child comes first";
      ++children, below += s.leaves[c];
    }
    ASSERT_GE(children, 2u);
    ASSERT_EQ(below, s.leaves[v]);
  }
}

const std::vector<Shape> kShapes = {
    {2, 0.0, false}, {3, 0.0, false}, {8, 0.0, false}, {4, 0.3, false}, {2, 0.0, true}};

TEST(ExactParts, SpansKeepTreeTwosJoinsAndGroupSpansKeepTheSpans) {
  std::mt19937_64 gen(17);
  for (const Shape& shape : kShapes)
    for (u32 n : {2u, 7u, 60u, 300u}) {
      const Tree t2 = from_newick(testgen::random_newick(testgen::labels(n), gen, shape));
      const Span s = cladorix::exact::span_of_tree(t2);
      SCOPED_TRACE(n);
      expect_laid_out(s);
      const NaiveSpan naive(s);
      const std::vector<u32> leaves = naive.leaves();
      ASSERT_EQ(leaves.size(), n);
      // leaf1 holds tree 2's leaf order: the join of two leaves keeps its depth.
      const std::vector<cladorix::NodeId> nodes2 = t2.leaves();
      const std::vector<uint32_t> depth2 = t2.depths();
      for (int k = 0; k < 200 && n > 1; ++k) {
        const u32 a = leaves[gen() % n], b = leaves[gen() % n];
        EXPECT_EQ(s.depth2[naive.lca(a, b)],
                  depth2[testgen::naive_lca(t2, nodes2[s.leaf1[a]], nodes2[s.leaf1[b]])]);
      }
      // Groups: a random colour per leaf (or none).
      const u32 groups = 1 + static_cast<u32>(gen() % 5);
      std::vector<u32> group_of(n), begin(groups + 1, 0);
      for (u32 p = 0; p < n; ++p) {
        group_of[p] = gen() % 4 == 0 ? kNone : static_cast<u32>(gen() % groups);
        if (group_of[p] != kNone) ++begin[group_of[p] + 1];
      }
      for (u32 g = 0; g < groups; ++g) begin[g + 1] += begin[g];
      GroupSpans spans;
      spans.collect(s, group_of.data(), 0, begin.data(), groups);
      for (u32 g = 0; g < groups; ++g) {
        std::vector<u32> want;
        for (u32 v : leaves)
          if (group_of[s.leaf1[v]] == g) want.push_back(v);
        ASSERT_EQ(std::vector<u32>(spans.leaves(g), spans.leaves(g) + spans.size(g)), want);
        for (u32 i = 1; i < want.size(); ++i)
          EXPECT_EQ(spans.join(g, i), naive.lca(want[i - 1], want[i]));
        if (want.size() < 2) continue;
        spans.shape(s, g);
        Span out;
        spans.lay_out(s, out);
        expect_laid_out(out);
        // The group's span: its leaves, and the joins of every two, nothing else.
        const NaiveSpan in_group(out);
        const std::vector<u32> gl = in_group.leaves();
        std::map<u32, u32> origin;  // tree-2 leaf order -> node of s
        for (u32 v : want) origin[s.leaf1[v]] = v;
        std::vector<u32> joins;
        for (u32 i = 0; i < gl.size(); ++i)
          for (u32 j = i + 1; j < gl.size(); ++j) {
            const u32 in_s = naive.lca(origin.at(out.leaf1[gl[i]]), origin.at(out.leaf1[gl[j]]));
            EXPECT_EQ(out.depth2[in_group.lca(gl[i], gl[j])], s.depth2[in_s]);
            joins.push_back(in_s);
          }
        std::sort(joins.begin(), joins.end());
        joins.erase(std::unique(joins.begin(), joins.end()), joins.end());
        EXPECT_EQ(out.size(), gl.size() + joins.size());
      }
    }
}

// The group walk's input for leaves `group` of span s, from their span.
std::vector<ActiveSet::GroupNode> group_nodes(const Span& s, const std::vector<u32>& group) {
  std::vector<u32> group_of(s.leaf_count(), kNone);
  for (u32 v : group) group_of[s.leaf1[v]] = 0;
  const u32 begin[2] = {0, static_cast<u32>(group.size())};
  GroupSpans spans;
  spans.collect(s, group_of.data(), 0, begin, 1);
  std::vector<ActiveSet::GroupNode> nodes;
  if (group.size() == 1) return {{group[0], kNone, 1}};
  spans.shape(s, 0);
  std::vector<u32> rank(spans.shaped());
  for (u32 i = 0; i < spans.shaped(); ++i) rank[spans.post_order()[i]] = i;
  for (u32 x : spans.post_order()) {
    const GroupSpans::Node& node = spans.node(x);
    nodes.push_back({node.origin, node.parent == kNone ? kNone : rank[node.parent], node.count});
  }
  return nodes;
}

// Every way to make leaves active and every question asked of them, against
// the naive counts, on spans small enough to stay in the cache and on one
// that takes the interleaved walks.
TEST(ExactParts, ActiveSetAnswersAsTheNaiveCounts) {
  std::mt19937_64 gen(29);
  // A caterpillar (one path through every inner node) and caterpillars
  // joined (paths of 60) take path trees; the others scan short paths.
  std::string combs = testgen::caterpillar(60);
  for (int k = 1; k < 4; ++k) {
    std::string tooth = "u" + std::to_string(k) + "_0";
    for (int i = 1; i < 60; ++i)
      tooth = "(" + tooth + ",u" + std::to_string(k) + "_" + std::to_string(i) + ")";
    combs = "(" + combs.substr(0, combs.size() - 1) + "," + tooth + ");";
  }
  const u32 big = ActiveSet::kInterleavedNodes / 2 + 1000;
  const auto random_text = [&](u32 n, Shape shape) {
    return testgen::random_newick(testgen::labels(n), gen, shape);
  };
  for (const auto& [n, text] : std::vector<std::pair<u32, std::string>>{
           {9, random_text(9, {2, 0.0, false})},
           {150, random_text(150, {3, 0.1, false})},
           {400, random_text(400, {2, 0.0, false})},
           {500, random_text(500, {6, 0.0, false})},
           {300, testgen::caterpillar(300)},
           {240, combs},
           // Above ActiveSet::kInterleavedNodes nodes: the interleaved walks.
           {big, random_text(big, {2, 0.0, false})},
           {big, testgen::deep_caterpillar(big)},
       }) {
    SCOPED_TRACE(n);
    // Tree-1 positions at random: the third activated in one pass by
    // position lies anywhere in the span.
    Span s = cladorix::exact::span_of_tree(from_newick(text));
    {
      std::vector<u32> shuffled(n);
      for (u32 p = 0; p < n; ++p) shuffled[p] = p;
      std::shuffle(shuffled.begin(), shuffled.end(), gen);
      for (u32 v = 0; v < s.size(); ++v)
        if (s.leaf1[v] != kNone) s.leaf1[v] = shuffled[s.leaf1[v]];
    }
    const NaiveSpan naive(s);
    std::vector<u32> leaves = naive.leaves();
    std::shuffle(leaves.begin(), leaves.end(), gen);
    const u32 third = n / 3;
    // Active: leaves by tree-1 position [0, third) in one pass, then a
    // second third one leaf at a time, then a group by its span.
    ActiveSet set;
    set.reset(s, 0, third);
    std::vector<bool> active(s.size(), false);
    for (u32 v : leaves)
      if (s.leaf1[v] < third) active[v] = true;
    std::vector<u32> one_by_one, group, rest;
    for (u32 v : leaves) {
      if (active[v]) continue;
      (one_by_one.size() < third / 2 ? one_by_one
       : group.size() < third / 2    ? group
                                     : rest)
          .push_back(v);
    }
    set.insert(one_by_one.data(), static_cast<u32>(one_by_one.size()));
    for (u32 v : one_by_one) active[v] = true;
    if (!group.empty()) {
      std::sort(group.begin(), group.end());
      const auto nodes = group_nodes(s, group);
      set.insert_group(nodes.data(), static_cast<u32>(nodes.size()));
      for (u32 v : group) active[v] = true;
    }
    const std::vector<u64> c = naive.counts(active);
    for (u32 v = 0; v < s.size(); v += 1 + s.size() / 3000)
      ASSERT_EQ(set.active_below(v), c[v]) << "node " << v;
    // Psi and Same of the inactive leaves, with and without Same.
    // (The naive Psi walks every ancestor: a few hundred leaves of the
    // deep trees will do.)
    std::sort(rest.begin(), rest.end());
    if (rest.size() > (n > 10000 ? 100u : 3000u)) rest.resize(n > 10000 ? 100 : 3000);
    const u32 r = static_cast<u32>(rest.size());
    std::vector<u64> psi(r), same(r), psi_alone(r);
    set.query(rest.data(), r, psi.data(), same.data());
    set.query(rest.data(), r, psi_alone.data(), nullptr);
    u64 psi_sum = 0, same_sum = 0;
    for (u32 i = 0; i < r; ++i) {
      const auto [p, q] = naive.psi_same(rest[i], c);
      ASSERT_EQ(psi[i], p);
      ASSERT_EQ(psi_alone[i], p);
      ASSERT_EQ(same[i], q);
      psi_sum += p, same_sum += q;
    }
    // The same sums by the group walk, with the counts at its span's nodes.
    if (r == 0) continue;
    const auto nodes = group_nodes(s, rest);
    std::vector<u32> below(nodes.size()), toward(nodes.size()), toward_node(nodes.size());
    const auto sums = set.query_group<true>(nodes.data(), static_cast<u32>(nodes.size()),
                                            below.data(), toward.data(), toward_node.data());
    EXPECT_EQ(sums.psi, psi_sum);
    EXPECT_EQ(sums.same, same_sum);
    for (u32 i = 0; i < nodes.size(); ++i) {
      if (nodes[i].up == kNone) continue;
      const u32 w = nodes[nodes[i].up].node;
      EXPECT_EQ(below[nodes[i].up], c[w]);
      u32 child = nodes[i].node;
      while (s.parent[child] != w) child = s.parent[child];
      EXPECT_EQ(toward_node[i], child);
      EXPECT_EQ(toward[i], c[child]);
    }
    // One leaf after another, each seeing the ones before it.
    std::vector<u64> chained(r);
    set.query_insert(rest.data(), r, chained.data());
    std::vector<bool> now = active;
    for (u32 i = 0; i < r; ++i) {
      ASSERT_EQ(chained[i], naive.psi_same(rest[i], naive.counts(now)).first) << i;
      now[rest[i]] = true;
      if (n > 1000 && i > 40) break;  // the naive recount is linear: a prefix will do
    }
  }
}

// Tree 2's span labelled with tree 1's leaf positions, as the count makes it.
Span labelled_span(const Reference& ref, const Tree& t2) {
  Span s = cladorix::exact::span_of_tree(t2);
  std::map<std::string, u32> position;
  for (u32 p = 0; p < ref.leaf_count; ++p)
    position[std::string(ref.tree->name(ref.leaf_node[p]))] = p;
  const std::vector<cladorix::NodeId> leaves2 = t2.leaves();
  for (u32 v = 0; v < s.size(); ++v)
    if (s.leaf1[v] != kNone) s.leaf1[v] = position.at(std::string(t2.name(leaves2[s.leaf1[v]])));
  return s;
}

// The whole count of `task` and of all it spawns, with a counter whose
// direct count stops at `direct` leaves.
std::vector<Agreement> run_all(const Reference& ref, Task task, u32 direct) {
  cladorix::exact::Tally tally;
  PathCounter counter(direct);
  cladorix::CancelPoller poll;
  std::vector<Task> pending{std::move(task)};
  const std::function<void(Task &&)> spawn = [&](Task&& t) { pending.push_back(std::move(t)); };
  while (!pending.empty()) {
    Task t = std::move(pending.back());
    pending.pop_back();
    counter.run(ref, t, tally, poll, spawn);
  }
  std::vector<Agreement> bins(ref.bins);
  tally.add_into(bins);
  return bins;
}

void expect_bins(const std::vector<Agreement>& got, const Tree& t1, const Tree& t2) {
  const auto brute = reference::brute_triplet_counts(t1, t2);
  for (u32 d = 0; d < got.size(); ++d) {
    const auto it = brute.find(d);
    const u128 rc = it == brute.end() ? 0 : it->second.resolvable_correct;
    const u128 uc = it == brute.end() ? 0 : it->second.unresolved_correct;
    EXPECT_TRUE(got[d].resolvable_correct == rc) << "resolvable_correct at depth " << d;
    EXPECT_TRUE(got[d].unresolved_correct == uc) << "unresolved_correct at depth " << d;
  }
}

// The path counter through every case (the direct count off), and the
// direct count on its own, against every triplet compared.
TEST(ExactParts, PathCounterAndDirectCountMatchBruteForce) {
  std::mt19937_64 gen(41);
  for (u32 n : {3u, 6u, 12u, 40u})
    for (const Shape& s1 : kShapes)
      for (const Shape& s2 : kShapes) {
        const auto labels = testgen::labels(n);
        const std::string a = testgen::random_newick(labels, gen, s1);
        const std::string b = testgen::random_newick(labels, gen, s2);
        SCOPED_TRACE(a + "  vs  " + b);
        const Tree t1 = from_newick(a), t2 = from_newick(b);
        const Reference ref(t1, {});
        auto span = std::make_shared<const Span>(labelled_span(ref, t2));
        expect_bins(run_all(ref, Task{0, span, 0, kNone, n}, 0), t1, t2);
        if (n > PathCounter::kDirectLeaves) continue;
        std::vector<u32> leaf1, depth{0};
        const NaiveSpan naive(*span);
        const std::vector<u32> leaves = naive.leaves();
        for (u32 i = 0; i < leaves.size(); ++i) {
          leaf1.push_back(span->leaf1[leaves[i]]);
          if (i > 0) depth.push_back(span->depth2[naive.lca(leaves[i - 1], leaves[i])]);
        }
        cladorix::exact::Tally tally;
        cladorix::exact::count_directly(ref, 0, leaf1.data(), depth.data(), n, tally);
        std::vector<Agreement> bins(ref.bins);
        tally.add_into(bins);
        expect_bins(bins, t1, t2);
      }
}

// A path cut in pieces (each above the bottom starting from its active
// leaves in one pass) counts what the whole path counts.
TEST(ExactParts, PiecesOfAPathAddUpToThePath) {
  std::mt19937_64 gen(5);
  const u32 n = 600;
  const auto labels = testgen::labels(n);
  for (const std::string& a :
       {testgen::caterpillar(n), testgen::random_newick(labels, gen, {4, 0.1, false})}) {
    const Tree t1 = from_newick(a), t2 = from_newick(testgen::random_newick(labels, gen));
    const Reference ref(t1, {});
    const Task whole{0, std::make_shared<const Span>(labelled_span(ref, t2)), 0, kNone, n};
    const std::vector<Agreement> want = run_all(ref, whole, PathCounter::kDirectLeaves);
    for (u64 pieces : {2u, 3u, 7u}) {
      const std::vector<Task> parts = cladorix::exact::split_task(ref, whole, pieces);
      EXPECT_GE(parts.size(), 2u);
      std::vector<Agreement> sum(ref.bins);
      for (const Task& part : parts) {
        const std::vector<Agreement> got = run_all(ref, part, PathCounter::kDirectLeaves);
        for (u32 d = 0; d < sum.size(); ++d) {
          sum[d].resolvable_correct += got[d].resolvable_correct;
          sum[d].unresolved_correct += got[d].unresolved_correct;
        }
      }
      for (u32 d = 0; d < sum.size(); ++d) {
        EXPECT_TRUE(sum[d].resolvable_correct == want[d].resolvable_correct) << pieces << " " << d;
        EXPECT_TRUE(sum[d].unresolved_correct == want[d].unresolved_correct) << pieces << " " << d;
      }
    }
  }
}

// NOTES.md, "A worked example": every number the note derives.
TEST(ExactParts, TheWorkedExampleOfTheNotes) {
  const Tree t1 = from_newick("((a,b,c),(d,e),f,g);");
  const Tree t2 = from_newick("(c,(d,e,f),(g,(a,b)));");
  const Reference ref(t1, {});
  const Span s = labelled_span(ref, t2);
  std::map<char, u32> node;  // leaf name -> node of the span
  const NaiveSpan naive(s);
  for (u32 v : naive.leaves()) node[ref.tree->name(ref.leaf_node[s.leaf1[v]])[0]] = v;
  const auto psi_same = [&](const std::string& active, char z) {
    ActiveSet set;
    set.reset(s);
    for (char x : active) set.insert(&node[x], 1);
    u64 psi, same;
    set.query(&node[z], 1, &psi, &same);
    return std::pair<u64, u64>{psi, same};
  };
  using P = std::pair<u64, u64>;
  // At the root, against H = {a, b, c}: Psi 1 for every light leaf; Same.
  EXPECT_EQ(psi_same("abc", 'd'), (P{1, 3}));
  EXPECT_EQ(psi_same("abc", 'e'), (P{1, 3}));
  EXPECT_EQ(psi_same("abc", 'f'), (P{1, 3}));
  EXPECT_EQ(psi_same("abc", 'g'), (P{1, 1}));
  // f against H and (d, e); g against all before it.
  EXPECT_EQ(psi_same("abcde", 'f'), (P{1, 4}));
  EXPECT_EQ(psi_same("abcdef", 'g'), (P{4, 7}));
  // At the node (a, b, c), against H = {a}: c after b.
  EXPECT_EQ(psi_same("ab", 'c'), (P{1, 1}));
  // (d, e) join at the node X = (d, e, f), with three active leaves below it.
  ActiveSet all;
  all.reset(s, 0, 7);
  EXPECT_EQ(all.active_below(naive.lca(node['d'], node['e'])), 3u);
  // The counts by depth, through the path counter and through the whole measure.
  const auto span = std::make_shared<const Span>(labelled_span(ref, t2));
  const std::vector<Agreement> bins = run_all(ref, Task{0, span, 0, kNone, 7}, 0);
  EXPECT_TRUE(bins[0].resolvable_correct == 8 && bins[0].unresolved_correct == 3);
  EXPECT_TRUE(bins[1].resolvable_correct == 0 && bins[1].unresolved_correct == 0);
  const cladorix::ExactTripletResult r = cladorix::triplets_correct_exact(t1, t2, std::nullopt, 1);
  ASSERT_EQ(r.depths, (std::vector<uint32_t>{0, 1}));
  const cladorix::ExactTripletCounts want0{34, 11, 17, 3, 8}, want1{1, 0, 1, 0, 0};
  EXPECT_TRUE(r.by_depth[0] == want0);
  EXPECT_TRUE(r.by_depth[1] == want1);
}

// Tree 1 a reference pruned to some of its leaves, binned by the depths of
// the reference's nodes: against every triplet of the kept leaves, binned
// by the depth of their lowest common ancestor in the whole reference.
TEST(ExactParts, GivenDepthsBinTheTripletsAndAPreparedTreeCountsAlike) {
  std::mt19937_64 gen(8);
  const u32 n = 40;
  const Tree whole = from_newick(testgen::random_newick(testgen::labels(n), gen, {3, 0.0, false}));
  const std::vector<uint32_t> depth = whole.depths();
  std::vector<bool> keep(whole.size(), false);
  std::vector<std::string> kept;
  for (cladorix::NodeId v : whole.leaves())
    if (gen() % 3 != 0) keep[v] = true, kept.emplace_back(whole.name(v));
  // Leaves below each node that are kept; a node stays when it joins two
  // kept subtrees (or is a kept leaf). Written in pre-order: parsed ids.
  std::vector<u32> below(whole.size(), 0);
  for (cladorix::NodeId v = whole.size(); v-- > 0;) {
    if (keep[v]) below[v] = 1;
    if (v > 0) below[whole.parent(v)] += below[v];
  }
  std::string text;
  std::vector<uint32_t> pruned_depths;
  std::vector<std::pair<cladorix::NodeId, bool>> stack{{0, false}};
  while (!stack.empty()) {
    auto [v, closing] = stack.back();
    stack.pop_back();
    if (closing) {
      text += ')';
      continue;
    }
    std::vector<cladorix::NodeId> live;
    for (cladorix::NodeId c : whole.children(v))
      if (below[c] > 0) live.push_back(c);
    if (live.size() == 1) {  // dropped: its one kept child stands in
      stack.push_back({live[0], false});
      continue;
    }
    if (!text.empty() && text.back() != '(') text += ',';
    pruned_depths.push_back(depth[v]);
    if (live.empty()) {
      text += whole.name(v);
      continue;
    }
    text += '(';
    stack.push_back({v, true});
    for (size_t i = live.size(); i-- > 0;) stack.push_back({live[i], false});
  }
  const Tree t1 = from_newick(text + ";");
  const Tree t2 = from_newick(testgen::random_newick(kept, gen));
  ASSERT_EQ(pruned_depths.size(), t1.size());
  // Every triplet of kept leaves, its outcomes from the whole reference.
  std::map<uint32_t, reference::BruteCounts> want;
  const std::vector<cladorix::NodeId> l1 = t1.leaves();
  std::map<std::string, cladorix::NodeId> in_whole, in_t2;
  for (cladorix::NodeId v : whole.leaves()) in_whole[std::string(whole.name(v))] = v;
  for (cladorix::NodeId v : t2.leaves()) in_t2[std::string(t2.name(v))] = v;
  const std::vector<uint32_t> depth2 = t2.depths();
  const auto outgroup = [](uint64_t ab, uint64_t ac, uint64_t bc) {
    return cladorix::outgroup_from_depths(ab, ac, bc);
  };
  for (size_t i = 0; i < l1.size(); ++i)
    for (size_t j = i + 1; j < l1.size(); ++j)
      for (size_t k = j + 1; k < l1.size(); ++k) {
        const std::string a(t1.name(l1[i])), b(t1.name(l1[j])), c(t1.name(l1[k]));
        const auto w = [&](const std::string& x, const std::string& y) {
          return testgen::naive_lca(whole, in_whole[x], in_whole[y]);
        };
        const auto d2 = [&](const std::string& x, const std::string& y) {
          return depth2[testgen::naive_lca(t2, in_t2[x], in_t2[y])];
        };
        const int o1 = outgroup(depth[w(a, b)], depth[w(a, c)], depth[w(b, c)]);
        const int o2 = outgroup(d2(a, b), d2(a, c), d2(b, c));
        auto& bin = want[std::min({depth[w(a, b)], depth[w(a, c)], depth[w(b, c)]})];
        const cladorix::TripletVerdict v = cladorix::judge_triplet(o1 >= 0, o2 >= 0, o1 == o2);
        ++bin.triplets;
        bin.unresolved += v.unresolved;
        bin.resolvable_correct += v.resolvable_correct;
        bin.unresolved_correct += v.unresolved_correct;
        bin.correct += v.resolvable_correct || v.unresolved_correct;
      }
  const cladorix::ExactTripletResult r =
      cladorix::triplets_correct_exact(t1, t2, std::nullopt, 1, pruned_depths);
  ASSERT_EQ(r.depths.size(), want.size());
  size_t at = 0;
  for (const auto& [d, c] : want) {
    ASSERT_EQ(r.depths[at], d);
    const cladorix::ExactTripletCounts& e = r.by_depth[at++];
    EXPECT_TRUE(e.triplets == c.triplets && e.unresolved == c.unresolved &&
                e.correct == c.correct && e.resolvable_correct == c.resolvable_correct &&
                e.unresolved_correct == c.unresolved_correct)
        << "depth " << d;
  }
  // Prepared once, counted against several trees 2: as the one-call count.
  const cladorix::ExactReference prepared(t1, pruned_depths);
  for (int k = 0; k < 3; ++k) {
    const Tree other = from_newick(testgen::random_newick(kept, gen, {3, 0.0, false}));
    const auto once = cladorix::triplets_correct_exact(t1, other, std::nullopt, 1, pruned_depths);
    const auto again = cladorix::triplets_correct_exact(prepared, other, std::nullopt, 1);
    EXPECT_EQ(again.depths, once.depths);
    EXPECT_TRUE(again.by_depth == once.by_depth);
  }
  // One depth per node, or a caller error.
  std::vector<uint32_t> short_by_one(pruned_depths.begin(), pruned_depths.end() - 1);
  EXPECT_THROW(cladorix::triplets_correct_exact(t1, t2, std::nullopt, 1, short_by_one),
               cladorix::CallerError);
}

}  // namespace
