#include "measures/triplets/exact_active_set.hpp"

#include <algorithm>

namespace cladorix::exact {
namespace {

inline u64 pairs_of(u64 x) { return x * (x - 1) / 2; }  // C(x, 2); 0 for x = 0

// Leaves walked up at once, a step each in turn: on spans larger than the
// cache the steps' misses overlap instead of queueing.
constexpr u32 kWalks = 8;

// Heavy paths up to this long keep only their nodes' own values and sum them
// by a scan (contiguous, bounded); longer ones get a path tree.
constexpr u32 kScannedPath = 24;

}  // namespace

void ActiveSet::reset(const SpanIndex& index) {
  const SpanTree& span = index.span();
  const u32 m = span.size();
  heavy_.assign(m, kNone);
  for (u32 v = 0; v < m; ++v) {
    u32 best = 0;
    for (u32 i = index.child_begin(v); i < index.child_end(v); ++i) {
      const u32 c = index.child(i);
      if (index.leaf_count(c) > best) best = index.leaf_count(c), heavy_[v] = c;
    }
  }
  pos_.resize(m);
  slots_.assign(m, Slot{});
  // Depth first, each path followed by the subtrees hanging off it: every
  // subtree then holds a run of positions, so a walk up stays near.
  u32 cursor = 0;
  split_stack_.assign(1, 0);  // heads still to lay out
  while (!split_stack_.empty()) {
    const u32 v = split_stack_.back();
    split_stack_.pop_back();
    const u32 head = cursor;
    for (u32 x = v; x != kNone; x = heavy_[x]) {
      pos_[x] = cursor;
      slots_[cursor++].head = head;
    }
    for (u32 x = head; x < cursor; ++x) slots_[x].end = cursor;
    slots_[head].up = v == 0 ? kNone : pos_[span.parent[v]];
    // The path's light children, the deepest pushed last: laid out first.
    for (u32 x = v; x != kNone; x = heavy_[x])
      for (u32 i = index.child_begin(x); i < index.child_end(x); ++i)
        if (index.child(i) != heavy_[x]) split_stack_.push_back(index.child(i));
  }
  build_path_trees(index);
}

void ActiveSet::build_path_trees(const SpanIndex& index) {
  const u32 m = static_cast<u32>(slots_.size());
  u32 splits = 0;
  for (u32 h = 0; h < m; h = slots_[h].end)
    if (slots_[h].end - h > kScannedPath) splits += slots_[h].end - h - 1;
  tree_.assign(m + splits, PathTreeNode{});
  if (splits == 0) return;  // every path is scanned
  // A node's weight: the leaves below it but not below its heavy child.
  weight_prefix_.assign(m + 1, 0);
  for (u32 v = 0; v < m; ++v) {
    const u32 below = index.leaf_count(v);
    const u32 w = heavy_[v] == kNone ? below : below - index.leaf_count(heavy_[v]);
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

void ActiveSet::add(u32 pos, const Sums& d) {
  // The position's own values are its slot's; only splits hold sums.
  for (u32 i = tree_[pos].parent; i != kNone; i = tree_[i].parent) {
    tree_[i].sum.ls += d.ls;
    tree_[i].sum.lc2 += d.lc2;
    tree_[i].sum.lc += d.lc;
  }
}

ActiveSet::Sums ActiveSet::sum_before(u32 pos) const {
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

void ActiveSet::insert(const u32* leaves, u32 count) {
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

void ActiveSet::query(const u32* leaves, u32 count, u64* psi_out, u64* same_out) const {
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

u64 ActiveSet::active_below(u32 pos) const {
  const u32 h = slots_[pos].head;
  return slots_[h].active - (pos != h ? sum_before(pos).lc : 0);
}

}  // namespace cladorix::exact
