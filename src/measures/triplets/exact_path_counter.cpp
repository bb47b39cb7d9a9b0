#include "measures/triplets/exact_path_counter.hpp"

#include <algorithm>

namespace cladorix::exact {
namespace {

// Rough work units (about a nanosecond each) for the cancellation poller.
constexpr u64 kQueryWork = 60;
constexpr u64 kLeafWork = 40;

}  // namespace

ReferenceTree::ReferenceTree(const Tree& t) : tree(&t) {
  const u32 n = static_cast<u32>(t.size());
  const auto& parent = t.parents();
  const auto& first_child = t.first_children();
  const auto& next_sibling = t.next_siblings();
  leaves_below.assign(n, 0);
  first_leaf.assign(n, 0);
  heavy.assign(n, kNone);
  u32 position = 0;
  for (u32 v = 0; v < n; ++v)
    if (first_child[v] == kNone) {
      first_leaf[v] = position++;
      leaf_node.push_back(v);
    }
  // Ids are a pre-order, so children come after their parent: one pass up.
  for (u32 v = n; v-- > 0;) {
    if (first_child[v] == kNone) {
      leaves_below[v] = 1;
    } else {
      first_leaf[v] = first_leaf[first_child[v]];
      u32 best = 0;
      for (u32 c = first_child[v]; c != kNone; c = next_sibling[c])
        if (leaves_below[c] > best) best = leaves_below[c], heavy[v] = c;
    }
    if (v > 0) leaves_below[parent[v]] += leaves_below[v];
  }
  depth = t.depths();
}

void PathCounter::count_directly(const ReferenceTree& ref, const Task& task, PathCounts& out) {
  const Tree& tree1 = *ref.tree;
  const SpanTree& span = task.span;
  u32 path_len = 0;
  for (u32 v = task.root1; v != kNone; v = ref.heavy[v]) ++path_len;
  out.top_depth = ref.depth[task.root1];
  out.resolvable_correct.assign(path_len, 0);
  out.unresolved_correct.assign(path_len, 0);
  const auto lca1 = [&](u32 a, u32 b) {
    while (a != b) {
      if (ref.depth[a] >= ref.depth[b]) a = tree1.parent(a);
      if (ref.depth[b] > ref.depth[a]) b = tree1.parent(b);
    }
    return a;
  };
  const auto lca2 = [&](u32 a, u32 b) {
    while (a != b) {
      if (span.key_depth[a] >= span.key_depth[b]) a = span.parent[a];
      if (span.key_depth[b] > span.key_depth[a]) b = span.parent[b];
    }
    return a;
  };
  // -1 unresolved, else which of the three is the outgroup.
  const auto outgroup = [](u32 ab, u32 ac, u32 bc) {
    if (ab > ac && ab > bc) return 2;
    if (ac > ab && ac > bc) return 1;
    if (bc > ab && bc > ac) return 0;
    return -1;
  };
  const u32 s = span.leaf_count();
  u32 n1[kDirectLeaves], n2[kDirectLeaves];
  for (u32 i = 0; i < s; ++i) {
    n2[i] = span.leaves[i];
    n1[i] = ref.leaf_node[span.leaf1[n2[i]]];
  }
  for (u32 i = 0; i < s; ++i)
    for (u32 j = i + 1; j < s; ++j)
      for (u32 k = j + 1; k < s; ++k) {
        const u32 ab1 = lca1(n1[i], n1[j]), ac1 = lca1(n1[i], n1[k]), bc1 = lca1(n1[j], n1[k]);
        const int o1 = outgroup(ref.depth[ab1], ref.depth[ac1], ref.depth[bc1]);
        const int o2 =
            outgroup(span.key_depth[lca2(n2[i], n2[j])], span.key_depth[lca2(n2[i], n2[k])],
                     span.key_depth[lca2(n2[j], n2[k])]);
        const u32 top = ref.depth[ab1] < ref.depth[ac1] ? ab1 : ac1;
        const u32 at = ref.depth[top] - out.top_depth;
        if (o1 < 0 && o2 < 0) ++out.unresolved_correct[at];
        if (o1 >= 0 && o1 == o2) ++out.resolvable_correct[at];
      }
}

void PathCounter::describe_group(Group& g, const SpanTree& span, u64 below_v, bool stars) {
  g.term_begin = static_cast<u32>(terms_.size());
  g.constant = 0;
  const u32 m = span.size();
  const u64 size = g.end - g.begin;
  below_.assign(m, 0);
  squares_.assign(m, 0);
  for (u32 leaf : span.leaves) below_[leaf] = 1;
  for (u32 b = m; b-- > 1;) {
    const u32 w = span.parent[b];
    below_[w] += below_[b];
    squares_[w] += u64{below_[b]} * below_[b];
  }
  for (u32 w = 0; w < m; ++w) {
    if (span.leaf1[w] != kNone) continue;
    // Pairs of the child joined exactly at w; a third leaf below v agrees
    // with them in tree 2 when it lies outside w. (Below 2^32 leaves every
    // coefficient fits 63 bits.)
    const u64 nw = below_[w];
    const int64_t joined = static_cast<int64_t>((nw * nw - squares_[w]) / 2);
    g.constant += u128(joined) * (below_v - size + nw);
    terms_.push_back({active_.position(origin_[w]), -joined, stars ? joined : 0});
  }
  if (stars) {
    // A star of a one-colour pair joined at w takes its third leaf from
    // below w but outside the two branches holding the pair.
    for (u32 b = 1; b < m; ++b) {
      const u32 w = span.parent[b];
      const int64_t coef = static_cast<int64_t>(u64{below_[b]} * (below_[w] - below_[b]));
      terms_.push_back({active_.position(index_.child_toward(origin_[w], origin_[b])), 0, -coef});
    }
  }
  g.term_end = static_cast<u32>(terms_.size());
}

u128 PathCounter::evaluate(const Group& g, bool pairs) const {
  u128 sum = pairs ? g.constant : 0;
  for (u32 i = g.term_begin; i < g.term_end; ++i) {
    const Term& t = terms_[i];
    const int64_t c = pairs ? t.pairs_coef : t.star_coef;
    // Two's complement: a negative coefficient adds its wrapped 128-bit value.
    if (c != 0) sum += static_cast<u128>(static_cast<__int128>(c)) * active_.active_below(t.pos);
  }
  return sum;
}

void PathCounter::run(const ReferenceTree& ref, Task& task, PathCounts& out, CancelPoller& poll,
                      const std::function<void(Task&&)>& spawn) {
  const Tree& tree1 = *ref.tree;
  const SpanTree& span = task.span;
  if (span.leaf_count() <= kDirectLeaves) {
    count_directly(ref, task, out);
    poll.tick(200);
    return;
  }
  index_.build(span);
  active_.reset(index_);
  const u32 t = task.root1;
  const u32 base1 = ref.first_leaf[t];
  const u32 s = span.leaf_count();
  poll.tick(u64{span.size()} * 30);

  path1_.clear();
  for (u32 v = t; v != kNone; v = ref.heavy[v]) path1_.push_back(v);
  const u32 path_len = static_cast<u32>(path1_.size());

  // One group per light child of a path node, in text order.
  groups_.clear();
  node_groups_.assign(1, 0);
  group_of_leaf_.assign(s, kNone);
  u32 offset = 0;
  for (u32 k = 0; k < path_len; ++k) {
    const u32 v = path1_[k];
    tree1.for_each_child(v, [&](NodeId c) {
      if (c == ref.heavy[v]) return;
      Group& g = groups_.emplace_back();
      g.child1 = c;
      g.begin = offset;
      g.end = offset += ref.leaves_below[c];
      const u32 first = ref.first_leaf[c] - base1;
      for (u32 i = first; i < first + ref.leaves_below[c]; ++i)
        group_of_leaf_[i] = static_cast<u32>(groups_.size() - 1);
    });
    node_groups_.push_back(static_cast<u32>(groups_.size()));
  }
  // Each group's leaves in the span's leaf order, by one stable pass.
  positions_.resize(offset);
  cursor_.resize(groups_.size());
  for (size_t g = 0; g < groups_.size(); ++g) cursor_[g] = groups_[g].begin;
  u32 bottom = kNone;
  for (u32 k = 0; k < s; ++k) {
    const u32 g = group_of_leaf_[span.leaf1[span.leaves[k]] - base1];
    if (g == kNone)
      bottom = active_.position(span.leaves[k]);
    else
      positions_[cursor_[g]++] = k;
  }
  poll.tick(u64{s} * 10);

  out.top_depth = ref.depth[t];
  out.resolvable_correct.assign(path_len, 0);
  out.unresolved_correct.assign(path_len, 0);
  // Every group's leaves as positions, in the order the groups list them.
  leaf_pos_.resize(offset);
  for (u32 i = 0; i < offset; ++i) leaf_pos_[i] = active_.position(span.leaves[positions_[i]]);
  psi_.resize(offset);
  same_.resize(offset);
  // Every light child's span and terms first, so that its subtask is handed
  // out before this path is walked and other lanes can take it meanwhile.
  // Bottom-up: the large children near the top are spawned last, taken first.
  terms_.clear();
  for (u32 k = path_len - 1; k-- > 0;) {
    const u32 gb = node_groups_[k], ge = node_groups_[k + 1];
    const u64 below_v = ref.leaves_below[path1_[k]];
    for (u32 g = gb; g < ge; ++g) {
      Group& grp = groups_[g];
      grp.term_begin = grp.term_end = static_cast<u32>(terms_.size());
      const u32 size = grp.end - grp.begin;
      if (size < 2) continue;
      builder_.build(index_, positions_.data() + grp.begin, size, group_span_, origin_);
      describe_group(grp, group_span_, below_v, ge - gb >= 2);
      if (size >= 3) spawn(Task{grp.child1, std::move(group_span_)});
      poll.tick(u64{size} * 80);
    }
  }

  active_.insert(&bottom, 1);
  for (u32 k = path_len - 1; k-- > 0;) {
    const u32 gb = node_groups_[k], ge = node_groups_[k + 1];
    if (gb == ge) continue;  // a single child: no triplet has its LCA here
    const bool stars = ge - gb >= 2;
    u128 resolved = 0, star = 0;
    // Against H alone: pairs of H resolved apart from z, and (for the
    // children after the first) the one-colour stars of H to take off.
    {
      const u32 first = groups_[gb].begin, last = groups_[ge - 1].end;
      active_.query(leaf_pos_.data() + first, last - first, psi_.data() + first,
                    same_.data() + first);
      poll.tick(u64{last - first} * kQueryWork);
      for (u32 i = first; i < last; ++i) resolved += psi_[i];
      for (u32 i = groups_[gb].end; i < last; ++i) star -= same_[i] - psi_[i];
    }
    for (u32 g = gb; g < ge; ++g) {
      const Group& grp = groups_[g];
      const u32 size = grp.end - grp.begin;
      if (g != gb) {
        active_.query(leaf_pos_.data() + grp.begin, size, psi_.data() + grp.begin,
                      same_.data() + grp.begin);
        for (u32 i = grp.begin; i < grp.end; ++i) star += same_[i] - psi_[i];
        poll.tick(u64{size} * kQueryWork);
      }
      active_.insert(leaf_pos_.data() + grp.begin, size);
      poll.tick(u64{size} * kLeafWork);
      if (stars) star += evaluate(grp, false);  // stars with a later child's leaf: off
    }
    for (u32 g = gb; g < ge; ++g) {
      resolved += evaluate(groups_[g], true);
      if (stars) star -= evaluate(groups_[g], false);
      poll.tick(u64{groups_[g].term_end - groups_[g].term_begin} * 20);
    }
    out.resolvable_correct[k] = resolved;
    out.unresolved_correct[k] = star;
  }
}

}  // namespace cladorix::exact
