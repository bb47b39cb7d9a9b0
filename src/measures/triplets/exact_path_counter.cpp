#include "measures/triplets/exact_path_counter.hpp"

#include <algorithm>

namespace cladorix::exact {
namespace {

inline u64 pairs_of(u64 x) { return x * (x - 1) / 2; }  // C(x, 2); 0 for x = 0

// Rough work units (about a nanosecond each) for the cancellation poller.
constexpr u64 kQueryWork = 60;
constexpr u64 kLeafWork = 40;

// Leaves walked up at once, a step each in turn: on spans larger than the
// cache the steps' misses overlap instead of queueing.
constexpr u32 kWalks = 8;

// Heavy paths up to this long keep only their nodes' own values and sum them
// by a scan (contiguous, bounded); longer ones get a path tree.
constexpr u32 kScannedPath = 24;

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

void PathCounter::prepare_active_set() {
  const SpanTree& span = index_.span();
  const u32 m = span.size();
  heavy_.assign(m, kNone);
  for (u32 v = 0; v < m; ++v) {
    u32 best = 0;
    for (u32 i = index_.child_begin(v); i < index_.child_end(v); ++i) {
      const u32 c = index_.child(i);
      if (index_.leaf_count(c) > best) best = index_.leaf_count(c), heavy_[v] = c;
    }
  }
  pos_.resize(m);
  slots_.assign(m, Slot{});
  u32 cursor = 0;
  // Parents come before children in pre-order, so a head's parent already
  // has its position when the head's path is laid out.
  for (u32 v = 0; v < m; ++v) {
    if (v != 0 && heavy_[span.parent[v]] == v) continue;
    const u32 head = cursor;
    for (u32 x = v; x != kNone; x = heavy_[x]) {
      pos_[x] = cursor;
      slots_[cursor++].head = head;
    }
    for (u32 x = head; x < cursor; ++x) slots_[x].end = cursor;
    slots_[head].up = v == 0 ? kNone : pos_[span.parent[v]];
  }
  build_path_trees();
}

void PathCounter::build_path_trees() {
  const u32 m = static_cast<u32>(slots_.size());
  u32 splits = 0;
  for (u32 h = 0; h < m; h = slots_[h].end)
    if (slots_[h].end - h > kScannedPath) splits += slots_[h].end - h - 1;
  tree_.assign(m + splits, PathTreeNode{});
  // A node's weight: the leaves below it but not below its heavy child.
  weight_prefix_.assign(m + 1, 0);
  for (u32 v = 0; v < m; ++v) {
    const u32 below = index_.leaf_count(v);
    const u32 w = heavy_[v] == kNone ? below : below - index_.leaf_count(heavy_[v]);
    weight_prefix_[pos_[v] + 1] = w;
  }
  for (u32 p = 0; p < m; ++p) weight_prefix_[p + 1] += weight_prefix_[p];
  u32 next = m;  // the next free split node
  // Each range [lo, hi) of two positions or more gets a split node, cut
  // where the weight to its left reaches half the range's weight.
  split_stack_.clear();
  for (u32 h = 0; h < m; h = slots_[h].end) {
    if (slots_[h].end - h <= kScannedPath) continue;
    const u32 root = next++;
    split_stack_.insert(split_stack_.end(), {h, slots_[h].end, root});
    while (!split_stack_.empty()) {
      const u32 node = split_stack_.back();
      const u32 hi = split_stack_[split_stack_.size() - 2];
      const u32 lo = split_stack_[split_stack_.size() - 3];
      split_stack_.resize(split_stack_.size() - 3);
      const u64 half = weight_prefix_[lo] + (weight_prefix_[hi] - weight_prefix_[lo]) / 2;
      u32 cut = static_cast<u32>(
          std::upper_bound(weight_prefix_.begin() + lo + 1, weight_prefix_.begin() + hi, half) -
          weight_prefix_.begin());
      cut = std::clamp(cut, lo + 1, hi - 1);
      const u32 left = cut - lo == 1 ? lo : next++;
      const u32 right = hi - cut == 1 ? cut : next++;
      tree_[left].parent = tree_[right].parent = node;
      tree_[left].sibling = right;
      tree_[right].sibling = left | kRight;
      if (cut - lo > 1) split_stack_.insert(split_stack_.end(), {lo, cut, left});
      if (hi - cut > 1) split_stack_.insert(split_stack_.end(), {cut, hi, right});
    }
  }
}

void PathCounter::add(u32 pos, const Sums& d) {
  // The position's own values are its slot's; only splits hold sums.
  for (u32 i = tree_[pos].parent; i != kNone; i = tree_[i].parent) {
    tree_[i].sum.ls += d.ls;
    tree_[i].sum.lc2 += d.lc2;
    tree_[i].sum.lc += d.lc;
  }
}

PathCounter::Sums PathCounter::sum_before(u32 pos) const {
  Sums s;
  const auto own = [&](u32 i) {
    s.ls += slots_[i].ls;
    s.lc2 += pairs_of(slots_[i].lc);
    s.lc += slots_[i].lc;
  };
  const u32 head = slots_[pos].head;
  if (slots_[pos].end - head <= kScannedPath) {
    for (u32 i = head; i < pos; ++i) own(i);
    return s;
  }
  const u32 m = static_cast<u32>(slots_.size());
  for (u32 i = pos; tree_[i].parent != kNone; i = tree_[i].parent) {
    const u32 sib = tree_[i].sibling;
    if (!(sib & kRight)) continue;
    const u32 left = sib & ~kRight;
    if (left < m) {
      own(left);
    } else {
      s.ls += tree_[left].sum.ls;
      s.lc2 += tree_[left].sum.lc2;
      s.lc += tree_[left].sum.lc;
    }
  }
  return s;
}

void PathCounter::insert(const u32* leaves, u32 count) {
  // A walk at x: stage 0 reads x's head and fetches the head's slot; stage 1
  // steps to the head's parent p, updates it and fetches its path.
  struct Walk {
    u32 x;
    u32 stage;
  };
  Walk walks[kWalks];
  u32 live = 0, next = 0;
  const auto begin = [&](Walk& w) {
    w = {leaves[next++], 0};
    __builtin_prefetch(&slots_[w.x]);
  };
  while (live < kWalks && next < count) begin(walks[live++]);
  while (live > 0) {
    for (u32 i = 0; i < live;) {
      Walk& w = walks[i];
      const u32 h = slots_[w.x].head;
      if (w.stage == 0) {
        __builtin_prefetch(&slots_[h]);
        w.stage = 1;
        ++i;
        continue;
      }
      Slot& head = slots_[h];
      if (head.up == kNone) {
        ++head.active;  // the root's path: every leaf ends here
        if (next < count)
          begin(w), ++i;
        else
          w = walks[--live];
        continue;
      }
      const u64 old = head.active++;
      const u32 p = head.up;
      Slot& parent = slots_[p];
      // C(a + 1, 2) - C(a, 2) = a, for the light child and for p's light total.
      if (tree_[p].parent != kNone) add(p, Sums{old, parent.lc, 1});
      parent.ls += old;
      ++parent.lc;
      w.x = p;
      __builtin_prefetch(&slots_[parent.head]);
      w.stage = 1;
      ++i;
    }
  }
}

void PathCounter::query(const u32* leaves, u32 count, u64* psi_out, u64* same_out) const {
  // Stage 0 at cur: read its head h, fetch h's slot and cur's Fenwick entry;
  // stage 1: add what the path above cur holds and climb to h's parent.
  struct Walk {
    u32 cur, from, index, stage;
    u64 psi, same;
  };
  Walk walks[kWalks];
  u32 live = 0, next = 0;
  const auto begin = [&](Walk& w) {
    w = {leaves[next], kNone, next, 0, 0, 0};
    ++next;
    __builtin_prefetch(&slots_[w.cur]);
  };
  while (live < kWalks && next < count) begin(walks[live++]);
  while (live > 0) {
    for (u32 i = 0; i < live;) {
      Walk& w = walks[i];
      const Slot& here = slots_[w.cur];
      const u32 h = here.head;
      if (w.stage == 0) {
        __builtin_prefetch(&slots_[h]);
        __builtin_prefetch(&tree_[tree_[w.cur].parent == kNone ? w.cur : tree_[w.cur].parent]);
        w.stage = 1;
        ++i;
        continue;
      }
      // Path nodes above cur continue into their heavy child: their light
      // subtrees all hang off the root path.
      const Sums above = w.cur != h ? sum_before(w.cur) : Sums{};
      w.psi += above.ls;
      w.same += above.lc2;
      if (w.from != kNone) {
        const u64 below = slots_[h].active - above.lc;  // active below cur
        const u64 heavy = below - here.lc;
        const u64 light = slots_[w.from].active;
        w.psi += here.ls - pairs_of(light) + pairs_of(heavy);
        w.same += pairs_of(here.lc - light + heavy);
      }
      const u32 up = slots_[h].up;
      if (up == kNone) {
        psi_out[w.index] = w.psi;
        same_out[w.index] = w.same;
        if (next < count)
          begin(w), ++i;
        else
          w = walks[--live];
        continue;
      }
      w.from = h;
      w.cur = up;
      w.stage = 0;
      __builtin_prefetch(&slots_[up]);
      ++i;
    }
  }
}

u64 PathCounter::active_below(u32 pos) const {
  const u32 h = slots_[pos].head;
  return slots_[h].active - (pos != h ? sum_before(pos).lc : 0);
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
    terms_.push_back({pos_[origin_[w]], -joined, stars ? joined : 0});
  }
  if (stars) {
    // A star of a one-colour pair joined at w takes its third leaf from
    // below w but outside the two branches holding the pair.
    for (u32 b = 1; b < m; ++b) {
      const u32 w = span.parent[b];
      const int64_t coef = static_cast<int64_t>(u64{below_[b]} * (below_[w] - below_[b]));
      terms_.push_back({pos_[index_.child_toward(origin_[w], origin_[b])], 0, -coef});
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
    if (c != 0) sum += static_cast<u128>(static_cast<__int128>(c)) * active_below(t.pos);
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
  prepare_active_set();
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
      bottom = pos_[span.leaves[k]];
    else
      positions_[cursor_[g]++] = k;
  }
  poll.tick(u64{s} * 10);

  out.top_depth = ref.depth[t];
  out.resolvable_correct.assign(path_len, 0);
  out.unresolved_correct.assign(path_len, 0);
  // Every group's leaves as positions, in the order the groups list them.
  leaf_pos_.resize(offset);
  for (u32 i = 0; i < offset; ++i) leaf_pos_[i] = pos_[span.leaves[positions_[i]]];
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

  insert(&bottom, 1);
  for (u32 k = path_len - 1; k-- > 0;) {
    const u32 gb = node_groups_[k], ge = node_groups_[k + 1];
    if (gb == ge) continue;  // a single child: no triplet has its LCA here
    const bool stars = ge - gb >= 2;
    u128 resolved = 0, star = 0;
    // Against H alone: pairs of H resolved apart from z, and (for the
    // children after the first) the one-colour stars of H to take off.
    {
      const u32 first = groups_[gb].begin, last = groups_[ge - 1].end;
      query(leaf_pos_.data() + first, last - first, psi_.data() + first, same_.data() + first);
      poll.tick(u64{last - first} * kQueryWork);
      for (u32 i = first; i < last; ++i) resolved += psi_[i];
      for (u32 i = groups_[gb].end; i < last; ++i) star -= same_[i] - psi_[i];
    }
    for (u32 g = gb; g < ge; ++g) {
      const Group& grp = groups_[g];
      const u32 size = grp.end - grp.begin;
      if (g != gb) {
        query(leaf_pos_.data() + grp.begin, size, psi_.data() + grp.begin,
              same_.data() + grp.begin);
        for (u32 i = grp.begin; i < grp.end; ++i) star += same_[i] - psi_[i];
        poll.tick(u64{size} * kQueryWork);
      }
      insert(leaf_pos_.data() + grp.begin, size);
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
