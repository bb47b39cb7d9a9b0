#include "measures/triplets/exact_active_set.hpp"

#include <algorithm>

#include "util/huge_pages.hpp"

namespace cladorix::exact {
namespace {

inline u64 pairs_of(u64 x) { return x * (x - 1) / 2; }  // C(x, 2); 0 for x = 0

// Heavy paths up to this long are summed by a scan (contiguous, bounded);
// longer ones get a path tree.
constexpr u32 kScannedPath = 48;

constexpr u32 kWalks = 8;
// How many leaves ahead query_insert fetches the slots of a walk to come.
constexpr u32 kRunAhead = 6;

}  // namespace

void ActiveSet::layout(const Span& span) {
  const u32 m = span.size();
  interleave_ = m > kInterleavedNodes;
  reserve_huge(slots_, m);
  slots_.assign(m, Slot{});
  tree_.clear();
  long_paths_.clear();
  u32 h = 0;
  for (u32 v = 0; v < m; ++v) {
    // A heavy child comes right after its parent; any other node starts a path.
    if (v == 0 || span.parent[v] != v - 1) {
      h = v;
      slots_[v].up = span.parent[v];
    }
    slots_[v].head = h;
    if (span.is_leaf(v) && v + 1 - h > kScannedPath) build_path_tree(span, h, v + 1);
  }
}

void ActiveSet::build_path_tree(const Span& span, u32 h, u32 end) {
  const u32 len = end - h;
  const u32 base = static_cast<u32>(tree_.size());
  tree_.resize(base + 2 * len - 1);
  long_paths_.push_back({h, end, base});
  for (u32 x = h; x < end; ++x) slots_[x].head |= kLong;
  // A node's weight: the leaves below it but not below its heavy child.
  weight_prefix_.resize(len + 1);
  weight_prefix_[0] = 0;
  for (u32 i = 0; i < len; ++i) {
    const u32 x = h + i;
    const u32 w = span.leaves[x] - (x + 1 < end ? span.leaves[x + 1] : 0);
    weight_prefix_[i + 1] = weight_prefix_[i] + w;
  }
  // Each range [lo, hi) of two nodes or more gets a split, cut where the
  // weight to its left reaches half the range's weight.
  u32 next = base + len;
  split_stack_.assign({0, len, next++});
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
    const u32 left = cut - lo == 1 ? base + lo : next++;
    const u32 right = hi - cut == 1 ? base + cut : next++;
    tree_[left].parent = tree_[right].parent = node;
    tree_[left].sibling = right;
    tree_[right].sibling = left | kRight;
    if (cut - lo > 1) split_stack_.insert(split_stack_.end(), {lo, cut, left});
    if (hi - cut > 1) split_stack_.insert(split_stack_.end(), {cut, hi, right});
  }
}

void ActiveSet::reset(const Span& span) { layout(span); }

void ActiveSet::reset(const Span& span, u32 lo1, u32 hi1) {
  layout(span);
  const u32 m = span.size();
  below_.assign(m, 0);
  // Children come after their parent: one pass up counts every subtree.
  for (u32 v = m; v-- > 0;) {
    if (span.is_leaf(v) && span.leaf1[v] >= lo1 && span.leaf1[v] < hi1) below_[v] = 1;
    if (v == 0) continue;
    const u32 p = span.parent[v];
    const u32 a = below_[v];
    below_[p] += a;
    if (v != p + 1) {
      slots_[p].ls += pairs_of(a);
      slots_[p].lc += a;
    }
  }
  for (u32 v = 0; v < m; ++v)
    if (head(v) == v) slots_[v].active = below_[v];
  below_ = {};  // a piece's scratch, as large as the span
  for (const LongPath& path : long_paths_) {
    const u32 h = path.head, len = path.end - h;
    const u32 base = path.base;
    for (u32 i = 0; i < len; ++i) {
      const Slot& s = slots_[h + i];
      tree_[base + i].sum = {s.ls, pairs_of(s.lc), s.lc};
    }
    // Leaves first, then the splits, each made after its parent.
    const auto up = [&](u32 i) {
      Sums& to = tree_[tree_[i].parent].sum;
      to.ls += tree_[i].sum.ls;
      to.lc2 += tree_[i].sum.lc2;
      to.lc += tree_[i].sum.lc;
    };
    for (u32 i = 0; i < len; ++i) up(base + i);
    for (u32 i = base + 2 * len - 2; i > base + len; --i) up(i);
  }
}

template <bool kWithSame>
ActiveSet::Sums ActiveSet::sum_above(u32 v, u32 h) const {
  Sums s;
  if (!(slots_[v].head & kLong)) {
    for (u32 x = h; x < v; ++x) {
      s.ls += slots_[x].ls;
      s.lc += slots_[x].lc;
      if constexpr (kWithSame) s.lc2 += pairs_of(slots_[x].lc);
    }
    return s;
  }
  for (u32 i = tree_node(v, h); tree_[i].parent != kNone; i = tree_[i].parent) {
    const u32 sib = tree_[i].sibling;
    if (!(sib & kRight)) continue;
    const Sums& t = tree_[sib & ~kRight].sum;
    s.ls += t.ls;
    s.lc += t.lc;
    if constexpr (kWithSame) s.lc2 += t.lc2;
  }
  return s;
}

template <bool kWithSame>
void ActiveSet::sums_above(u32 v, u32 y, u32 h, Sums& at_v, Sums& at_y) const {
  if (slots_[v].head & kLong) {
    at_v = v != h ? sum_above<kWithSame>(v, h) : Sums{};
    at_y = y != h ? sum_above<kWithSame>(y, h) : Sums{};
    return;
  }
  Sums s;
  for (u32 x = h; x < v; ++x) {
    if (x == y) at_y = s;
    s.ls += slots_[x].ls;
    s.lc += slots_[x].lc;
    if constexpr (kWithSame) s.lc2 += pairs_of(slots_[x].lc);
  }
  if (y == v) at_y = s;
  at_v = s;
}

void ActiveSet::add(u32 v, u32 h, const Sums& d) {
  for (u32 i = tree_node(v, h); i != kNone; i = tree_[i].parent) {
    tree_[i].sum.ls += d.ls;
    tree_[i].sum.lc2 += d.lc2;
    tree_[i].sum.lc += d.lc;
  }
}

template <bool kWithSame>
void ActiveSet::query_one(u32 leaf, u64& psi_out, u64& same_out) const {
  // At each path: the nodes above where the walk enters continue into their
  // heavy child, so all their light subtrees hang off z's path; at the entry
  // node x the walk comes from a light child, and the heavy child hangs off
  // instead.
  u64 psi = 0, same = 0;
  u32 x = leaf, from = kNone;
  for (;;) {
    const Slot& s = slots_[x];
    const u32 h = s.head & kHeadMask;
    const Slot& hs = slots_[h];
    const Sums above = x != h ? sum_above<kWithSame>(x, h) : Sums{};
    psi += above.ls;
    if constexpr (kWithSame) same += above.lc2;
    if (from != kNone) {
      const u64 below = hs.active - above.lc;  // active below x
      const u64 heavy = below - s.lc;          // ... below its heavy child
      const u64 light = slots_[from].active;   // ... below the child the walk came from
      psi += s.ls - pairs_of(light) + pairs_of(heavy);
      if constexpr (kWithSame) same += pairs_of(s.lc - light + heavy);
    }
    if (hs.up == kNone) break;
    from = h;
    x = hs.up;
  }
  psi_out = psi;
  same_out = same;
}

void ActiveSet::query(const u32* leaves, u32 count, u64* psi, u64* same) const {
  u64 ignored;
  if (interleave_) {
    if (same == nullptr)
      query_interleaved<false>(leaves, count, psi, nullptr);
    else
      query_interleaved<true>(leaves, count, psi, same);
  } else if (same == nullptr) {
    for (u32 i = 0; i < count; ++i) query_one<false>(leaves[i], psi[i], ignored);
  } else {
    for (u32 i = 0; i < count; ++i) query_one<true>(leaves[i], psi[i], same[i]);
  }
}

template <bool kWithSame>
void ActiveSet::query_interleaved(const u32* leaves, u32 count, u64* psi_out, u64* same_out) const {
  // query_one's walk cut in two stages: with x's slot at hand, find its
  // head and fetch the head's slot; with that, take the step and fetch the
  // next x's slot.
  struct Walk {
    u32 x, h, from, index;
    u64 psi, same;
  };
  Walk walks[kWalks];
  u32 live = 0, next = 0;
  const auto start = [&](Walk& w) {
    w = {leaves[next], kNone, kNone, next, 0, 0};
    __builtin_prefetch(&slots_[w.x]);
    ++next;
  };
  while (live < kWalks && next < count) start(walks[live++]);
  while (live > 0) {
    for (u32 i = 0; i < live;) {
      Walk& w = walks[i];
      if (w.h == kNone) {
        w.h = slots_[w.x].head & kHeadMask;
        __builtin_prefetch(&slots_[w.h]);
        if (slots_[w.x].head & kLong) __builtin_prefetch(&tree_[tree_node(w.x, w.h)]);
        ++i;
        continue;
      }
      const Slot& s = slots_[w.x];
      const Slot& hs = slots_[w.h];
      const Sums above = w.x != w.h ? sum_above<kWithSame>(w.x, w.h) : Sums{};
      w.psi += above.ls;
      if constexpr (kWithSame) w.same += above.lc2;
      if (w.from != kNone) {
        const u64 below = hs.active - above.lc;
        const u64 heavy = below - s.lc;
        const u64 light = slots_[w.from].active;
        w.psi += s.ls - pairs_of(light) + pairs_of(heavy);
        if constexpr (kWithSame) w.same += pairs_of(s.lc - light + heavy);
      }
      if (hs.up == kNone) {
        psi_out[w.index] = w.psi;
        if constexpr (kWithSame) same_out[w.index] = w.same;
        if (next < count)
          start(w), ++i;
        else
          w = walks[--live];
        continue;
      }
      w.from = w.h;
      w.x = hs.up;
      w.h = kNone;
      __builtin_prefetch(&slots_[w.x]);
      ++i;
    }
  }
}

void ActiveSet::insert(const u32* leaves, u32 count) {
  if (interleave_) {
    insert_interleaved(nullptr, leaves, count);
    return;
  }
  for (u32 i = 0; i < count; ++i) {
    u32 x = leaves[i];
    for (;;) {
      const u32 h = slots_[x].head & kHeadMask;
      Slot& hs = slots_[h];
      if (hs.up == kNone) {
        ++hs.active;  // the root's path: every leaf ends here
        break;
      }
      // C(a + 1, 2) - C(a, 2) = a, for the light child and for p's light total.
      const u64 old = hs.active++;
      const u32 p = hs.up;
      Slot& ps = slots_[p];
      if (ps.head & kLong) add(p, ps.head & kHeadMask, Sums{old, ps.lc, 1});
      ps.ls += old;
      ++ps.lc;
      x = p;
    }
  }
}

void ActiveSet::insert_interleaved(const GroupNode* nodes, const u32* leaves, u32 count) {
  // insert_group's walk in two stages, each on slots fetched the turn
  // before: at x, add what the walk brought from below and find x's head;
  // at the head, count the leaves in and move up. Insertions commute, so the
  // turns may interleave freely.
  struct Walk {
    u32 x, h, hy, n;
    u64 old;  // the active count below the path left, when x is to be updated
    bool update;
  };
  Walk walks[kWalks];
  u32 live = 0, next = 0;
  const auto start = [&](Walk& w) {
    if (nodes != nullptr) {
      const GroupNode& g = nodes[next];
      w = {g.node, kNone, g.up == kNone ? kNone : head(nodes[g.up].node), g.count, 0, false};
    } else {
      w = {leaves[next], kNone, kNone, 1, 0, false};
    }
    ++next;
    __builtin_prefetch(&slots_[w.x]);
  };
  const auto finish = [&](Walk& w, u32& i) {
    if (next < count)
      start(w), ++i;
    else
      w = walks[--live];
  };
  while (live < kWalks && next < count) start(walks[live++]);
  while (live > 0) {
    for (u32 i = 0; i < live;) {
      Walk& w = walks[i];
      if (w.h == kNone) {
        Slot& xs = slots_[w.x];
        if (w.update) {
          const u64 n = w.n;
          const Sums d{n * w.old + pairs_of(n), n * xs.lc + pairs_of(n), n};
          if (xs.head & kLong) add(w.x, xs.head & kHeadMask, d);
          xs.ls += d.ls;
          xs.lc = static_cast<u32>(xs.lc + n);
          w.update = false;
        }
        w.h = xs.head & kHeadMask;
        if (w.h == w.hy) {
          finish(w, i);
          continue;
        }
        __builtin_prefetch(&slots_[w.h]);
        ++i;
        continue;
      }
      Slot& hs = slots_[w.h];
      w.old = hs.active;
      hs.active = static_cast<u32>(w.old + w.n);
      if (hs.up == kNone) {
        finish(w, i);
        continue;
      }
      w.x = hs.up;
      w.h = kNone;
      w.update = true;
      __builtin_prefetch(&slots_[w.x]);
      ++i;
    }
  }
}

void ActiveSet::query_insert(const u32* leaves, u32 count, u64* psi) {
  if (!interleave_) {
    for (u32 i = 0; i < count; ++i) psi[i] = query_insert_one(leaves[i]);
    return;
  }
  // Each walk needs the one before it done, but not its slots: the walks of
  // the next kRunAhead leaves go ahead a step per leaf, fetching the slots
  // (head, then parent) they will need, and find them in the cache later.
  struct Ahead {
    u32 x, h;  // h == kNone: x's slot is being fetched; else h's
  };
  Ahead ahead[kRunAhead];
  const auto begin = [&](u32 j) {
    Ahead& a = ahead[j % kRunAhead];
    a = {j < count ? leaves[j] : kNone, kNone};
    if (a.x != kNone) __builtin_prefetch(&slots_[a.x]);
  };
  for (u32 j = 1; j <= kRunAhead; ++j) begin(j);
  for (u32 i = 0; i < count; ++i) {
    for (Ahead& a : ahead) {
      if (a.x == kNone) continue;
      if (a.h == kNone) {
        a.h = slots_[a.x].head & kHeadMask;
        __builtin_prefetch(&slots_[a.h]);
      } else {
        a.x = slots_[a.h].up;
        a.h = kNone;
        if (a.x != kNone) __builtin_prefetch(&slots_[a.x]);
      }
    }
    psi[i] = query_insert_one(leaves[i]);
    begin(i + 1 + kRunAhead);  // replaces the walk of leaf i + 1, about to run
  }
}

u64 ActiveSet::query_insert_one(u32 leaf) {
  // The walk of query_one, each path's values read before this leaf's
  // arrival changes them.
  u64 psi = 0;
  u32 x = leaf, from = kNone;
  for (;;) {
    Slot& s = slots_[x];
    const u32 h = s.head & kHeadMask;
    Slot& hs = slots_[h];
    const Sums above = x != h ? sum_above<false>(x, h) : Sums{};
    psi += above.ls;
    if (from != kNone) {
      const u64 below = hs.active - above.lc;
      const u64 heavy = below - s.lc;
      const u64 light = slots_[from].active;
      psi += s.ls - pairs_of(light) + pairs_of(heavy);
      slots_[from].active = static_cast<u32>(light + 1);
      if (s.head & kLong) add(x, h, Sums{light, s.lc, 1});
      s.ls += light;
      ++s.lc;
    }
    if (hs.up == kNone) {
      ++hs.active;
      break;
    }
    from = h;
    x = hs.up;
  }
  return psi;
}

template <bool kWithSame>
ActiveSet::GroupSums ActiveSet::query_segment(u32 c, u32 y, u32* y_below, u32* toward,
                                              u32* toward_node) const {
  // query_one's walk from c, stopping on y's path: there only the nodes
  // from y down to the entry count.
  const u32 hy = y == kNone ? kNone : head(y);
  GroupSums sum;
  u32 from = kNone;
  for (;;) {
    const Slot& s = slots_[c];
    const u32 h = s.head & kHeadMask;
    const Slot& hs = slots_[h];
    Sums above, over_y;
    if (h == hy)
      sums_above<kWithSame>(c, y, h, above, over_y);
    else if (c != h)
      above = sum_above<kWithSame>(c, h);
    if (from != kNone) {
      const u64 below = hs.active - above.lc;
      const u64 heavy = below - s.lc;
      const u64 light = slots_[from].active;
      sum.psi += s.ls - pairs_of(light) + pairs_of(heavy);
      if constexpr (kWithSame) sum.same += pairs_of(s.lc - light + heavy);
    }
    if (h == hy) {
      sum.psi += above.ls - over_y.ls;
      if constexpr (kWithSame) sum.same += above.lc2 - over_y.lc2;
      *y_below = static_cast<u32>(hs.active - over_y.lc);
      // Entered y's path at y from a light child, or below y by its heavy one.
      *toward = c == y ? slots_[from].active : *y_below - slots_[y].lc;
      *toward_node = c == y ? from : y + 1;
      return sum;
    }
    sum.psi += above.ls;
    if constexpr (kWithSame) sum.same += above.lc2;
    if (hs.up == kNone) return sum;
    from = h;
    c = hs.up;
  }
}

template <bool kWithSame>
ActiveSet::GroupSums ActiveSet::query_group(const GroupNode* nodes, u32 m, u32* below, u32* toward,
                                            u32* toward_node) const {
  if (interleave_) return query_group_interleaved<kWithSame>(nodes, m, below, toward, toward_node);
  GroupSums sum;
  u32 ignored_below, ignored_toward;
  u32 ignored_node;
  for (u32 i = 0; i < m; ++i) {
    const GroupNode& x = nodes[i];
    const bool root = x.up == kNone;
    const GroupSums seg = query_segment<kWithSame>(
        x.node, root ? kNone : nodes[x.up].node, root ? &ignored_below : &below[x.up],
        root || toward == nullptr ? &ignored_toward : &toward[i],
        root || toward_node == nullptr ? &ignored_node : &toward_node[i]);
    sum.psi += x.count * seg.psi;
    if constexpr (kWithSame) sum.same += x.count * seg.same;
  }
  return sum;
}

template <bool kWithSame>
ActiveSet::GroupSums ActiveSet::query_group_interleaved(const GroupNode* nodes, u32 m, u32* below,
                                                        u32* toward, u32* toward_node) const {
  // query_segment's walks, several at a time in two stages: with c's slot
  // at hand, find its head and fetch the head's slot; with that, take the
  // step and fetch the next c's slot.
  struct Walk {
    u32 i, c, h, from, y, hy;
    GroupSums sum;
  };
  Walk walks[kWalks];
  GroupSums total;
  u32 live = 0, next = 0;
  const auto start = [&](Walk& w) {
    const GroupNode& x = nodes[next];
    const u32 y = x.up == kNone ? kNone : nodes[x.up].node;
    w = {next, x.node, kNone, kNone, y, y == kNone ? kNone : head(y), {}};
    ++next;
    __builtin_prefetch(&slots_[w.c]);
  };
  const auto finish = [&](Walk& w, u32& i) {
    total.psi += nodes[w.i].count * w.sum.psi;
    if constexpr (kWithSame) total.same += nodes[w.i].count * w.sum.same;
    if (next < m)
      start(w), ++i;
    else
      w = walks[--live];
  };
  while (live < kWalks && next < m) start(walks[live++]);
  while (live > 0) {
    for (u32 i = 0; i < live;) {
      Walk& w = walks[i];
      if (w.h == kNone) {
        w.h = slots_[w.c].head & kHeadMask;
        __builtin_prefetch(&slots_[w.h]);
        ++i;
        continue;
      }
      const Slot& s = slots_[w.c];
      const Slot& hs = slots_[w.h];
      Sums above, over_y;
      if (w.h == w.hy)
        sums_above<kWithSame>(w.c, w.y, w.h, above, over_y);
      else if (w.c != w.h)
        above = sum_above<kWithSame>(w.c, w.h);
      if (w.from != kNone) {
        const u64 below_c = hs.active - above.lc;
        const u64 heavy = below_c - s.lc;
        const u64 light = slots_[w.from].active;
        w.sum.psi += s.ls - pairs_of(light) + pairs_of(heavy);
        if constexpr (kWithSame) w.sum.same += pairs_of(s.lc - light + heavy);
      }
      if (w.h == w.hy) {
        w.sum.psi += above.ls - over_y.ls;
        if constexpr (kWithSame) w.sum.same += above.lc2 - over_y.lc2;
        const u32 up = nodes[w.i].up;
        below[up] = static_cast<u32>(hs.active - over_y.lc);
        if (toward != nullptr)
          toward[w.i] = w.c == w.y ? slots_[w.from].active : below[up] - slots_[w.y].lc;
        if (toward_node != nullptr) toward_node[w.i] = w.c == w.y ? w.from : w.y + 1;
        finish(w, i);
        continue;
      }
      w.sum.psi += above.ls;
      if constexpr (kWithSame) w.sum.same += above.lc2;
      if (hs.up == kNone) {
        finish(w, i);
        continue;
      }
      w.from = w.h;
      w.c = hs.up;
      w.h = kNone;
      __builtin_prefetch(&slots_[w.c]);
      ++i;
    }
  }
  return total;
}

template ActiveSet::GroupSums ActiveSet::query_group<false>(const GroupNode*, u32, u32*, u32*,
                                                            u32*) const;
template ActiveSet::GroupSums ActiveSet::query_group<true>(const GroupNode*, u32, u32*, u32*,
                                                           u32*) const;

void ActiveSet::insert_group(const GroupNode* nodes, u32 m) {
  if (interleave_) {
    insert_interleaved(nodes, nullptr, m);
    return;
  }
  // insert's walk for x.count leaves at once, up to the path of x's parent:
  // each light edge of tree 2 the group crosses lies on one such walk.
  for (u32 i = 0; i < m; ++i) {
    const GroupNode& x = nodes[i];
    const u64 n = x.count;
    const u32 hy = x.up == kNone ? kNone : head(nodes[x.up].node);
    for (u32 c = x.node;;) {
      const u32 h = slots_[c].head & kHeadMask;
      if (h == hy) break;
      Slot& hs = slots_[h];
      const u64 old = hs.active;
      hs.active = static_cast<u32>(old + n);
      if (hs.up == kNone) break;
      const u32 p = hs.up;
      Slot& ps = slots_[p];
      // C(a + n, 2) - C(a, 2) = n a + C(n, 2), for the light child and for
      // p's light total.
      const Sums d{n * old + pairs_of(n), n * ps.lc + pairs_of(n), n};
      if (ps.head & kLong) add(p, ps.head & kHeadMask, d);
      ps.ls += d.ls;
      ps.lc = static_cast<u32>(ps.lc + n);
      c = p;
    }
  }
}

u64 ActiveSet::active_below(u32 v) const {
  const u32 h = head(v);
  return slots_[h].active - (v != h ? sum_above<false>(v, h).lc : 0);
}

void ActiveSet::active_below(const u32* nodes, u32 count, u64* out) const {
  // The slots of a few nodes ahead are fetched first, then their heads'.
  constexpr u32 kAhead = 8;
  for (u32 i = 0; i < count; ++i) {
    if (interleave_) {
      if (i + 2 * kAhead < count) __builtin_prefetch(&slots_[nodes[i + 2 * kAhead]]);
      if (i + kAhead < count) __builtin_prefetch(&slots_[head(nodes[i + kAhead])]);
    }
    out[i] = active_below(nodes[i]);
  }
}

}  // namespace cladorix::exact
