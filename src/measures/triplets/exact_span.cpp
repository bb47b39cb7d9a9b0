#include "measures/triplets/exact_span.hpp"

#include <algorithm>

namespace cladorix::exact {

Span span_of_tree(const Tree& t2) {
  const u32 n = static_cast<u32>(t2.size());
  const auto& parent = t2.parents();
  const auto& kids = t2.child_counts();
  const std::vector<u32> depth = t2.depths();
  // A kept node is one without exactly one child. up[v]: the nearest kept
  // node above v; `at` first holds the nearest kept node at or above.
  std::vector<u32> up, count, size, heavy, at;
  for (auto* column : {&up, &count, &size, &heavy, &at}) reserve_huge(*column, n);
  up.resize(n);
  count.assign(n, 0);
  size.assign(n, 0);
  heavy.assign(n, kNone);
  at.resize(n);
  for (u32 v = 0; v < n; ++v) {
    up[v] = v == 0 ? kNone : at[parent[v]];
    at[v] = kids[v] != 1 ? v : up[v];
  }
  // Ids are a pre-order: children after their parent, so one pass up sums,
  // meeting siblings last first (so a tie goes to the earlier one).
  u32 root = kNone;
  for (u32 v = n; v-- > 0;) {
    if (kids[v] == 1) continue;
    count[v] += kids[v] == 0 ? 1 : 0;
    size[v] += 1;
    const u32 p = up[v];
    if (p == kNone) {
      root = v;
      continue;
    }
    count[p] += count[v];
    size[p] += size[v];
    if (heavy[p] == kNone || count[v] >= count[heavy[p]]) heavy[p] = v;
  }
  // Parents before children, siblings in text order: the heavy child right
  // after its parent, the others where the parent's cursor (kept in `size`
  // once the parent is placed) has got to.
  Span span;
  const u32 m = size[root];
  span.resize(m);
  u32 leaf_rank = 0;
  for (u32 v = 0; v < n; ++v) {
    if (kids[v] == 1) continue;
    const u32 p = up[v];
    u32 x;
    if (p == kNone) {
      x = 0;
    } else if (heavy[p] == v) {
      x = at[p] + 1;
    } else {
      x = size[p];
      size[p] += size[v];
    }
    at[v] = x;
    span.parent[x] = p == kNone ? kNone : at[p];
    span.end[x] = x + size[v];
    span.depth2[x] = depth[v];
    span.leaves[x] = count[v];
    span.leaf1[x] = kids[v] == 0 ? leaf_rank++ : kNone;
    size[v] = x + 1 + (heavy[v] == kNone ? 0 : size[heavy[v]]);
  }
  return span;
}

void GroupSpans::collect(const Span& span, const u32* group_of, u32 base1, const u32* begin,
                         u32 groups) {
  begin_.assign(begin, begin + groups + 1);
  cursor_.assign(begin, begin + groups);
  reserve_huge(leaves_, begin[groups]);
  reserve_huge(joins_, begin[groups]);
  leaves_.resize(begin[groups]);
  joins_.resize(begin[groups]);
  // The stack holds the current node's ancestors, ascending. The join of an
  // earlier leaf p and the current leaf v is v's deepest ancestor at or
  // before p: its subtree runs from there past v, so it holds p.
  stack_.clear();
  const u32 m = span.size();
  constexpr u32 kAhead = 16;  // the group lookups land at random: fetched ahead
  for (u32 v = 0; v < m; ++v) {
    if (v + kAhead < m && span.leaf1[v + kAhead] != kNone)
      __builtin_prefetch(&group_of[span.leaf1[v + kAhead] - base1]);
    while (!stack_.empty() && span.end[stack_.back()] <= v) stack_.pop_back();
    if (!span.is_leaf(v)) {
      stack_.push_back(v);
      continue;
    }
    const u32 g = group_of[span.leaf1[v] - base1];
    if (g == kNone) continue;
    u32& c = cursor_[g];
    if (c > begin[g]) {
      // The last ancestor at or before the previous leaf: a binary search
      // without branches (the root, first, is always at or before it).
      const u32 prev = leaves_[c - 1];
      const u32* at = stack_.data();
      for (size_t n = stack_.size(); n > 1;) {
        const size_t half = n / 2;
        at = at[half] <= prev ? at + half : at;
        n -= half;
      }
      joins_[c] = *at;
    }
    leaves_[c++] = v;
  }
}

void GroupSpans::shape(const Span& span, u32 g) {
  const u32* leaf = leaves_.data() + begin_[g];
  const u32* join = joins_.data() + begin_[g];
  const u32 k = size(g);
  for (auto* v : {&post_, &stack_}) reserve_huge(*v, 2 * size_t{k});
  reserve_huge(made_, 2 * size_t{k});
  made_.resize(2 * k);
  post_.resize(2 * k);
  stack_.resize(2 * k);
  Node* made = made_.data();
  u32* post = post_.data();
  u32* stack = stack_.data();
  u32 n = 0, np = 0, top = 0;  // made, finished, on the stack
  const auto make = [&](u32 node, u32 count) {
    made[n] = {node, kNone, count, 1, kNone, 0};
    return n++;
  };
  // x is complete (its children all are): hang it below p.
  const auto finish = [&](u32 x, u32 p) {
    made[x].parent = p;
    made[p].count += made[x].count;
    made[p].size += made[x].size;
    if (made[p].heavy == kNone || made[x].count > made[made[p].heavy].count) made[p].heavy = x;
    made[x].at = np;
    post[np++] = x;
  };
  // The stack is the current leaf's path, deepening upwards. A join pops
  // what lies below it; the last node popped hangs below the join, which is
  // on the stack already or goes there now.
  stack[top++] = make(leaf[0], 1);
  for (u32 i = 1; i < k; ++i) {
    const u32 j = join[i];
    const u32 d = span.depth2[j];
    u32 below = stack[--top];
    while (top > 0 && span.depth2[made[stack[top - 1]].origin] > d) {
      finish(below, stack[top - 1]);
      below = stack[--top];
    }
    if (top == 0 || made[stack[top - 1]].origin != j) stack[top++] = make(j, 0);
    finish(below, stack[top - 1]);
    stack[top++] = make(leaf[i], 1);
  }
  while (top > 1) {
    --top;
    finish(stack[top], stack[top - 1]);
  }
  made[stack[0]].at = np;
  post[np++] = stack[0];
  made_.resize(n);
  post_.resize(n);
}

void GroupSpans::lay_out(const Span& span, Span& out) {
  // Heavy-first pre-order: parents come before children in reverse post-order.
  const u32 n = static_cast<u32>(made_.size());
  Node* made = made_.data();
  out.resize(n);
  for (u32 i = n; i-- > 0;) {
    Node& x = made[post_[i]];
    u32 v = 0;
    if (x.parent != kNone) {
      Node& p = made[x.parent];
      if (&made[p.heavy] == &x) {
        v = p.at + 1;
      } else {
        v = p.size;  // the parent's cursor once it is placed
        p.size += x.size;
      }
    }
    x.at = v;
    out.parent[v] = x.parent == kNone ? kNone : made[x.parent].at;
    out.end[v] = v + x.size;
    out.depth2[v] = span.depth2[x.origin];
    out.leaf1[v] = span.leaf1[x.origin];
    out.leaves[v] = x.count;
    x.size = v + 1 + (x.heavy == kNone ? 0 : made[x.heavy].size);
  }
}

}  // namespace cladorix::exact
