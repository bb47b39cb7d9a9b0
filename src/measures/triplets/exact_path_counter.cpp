#include "measures/triplets/exact_path_counter.hpp"

#include <algorithm>

#include "measures/triplets/counters.hpp"
#include "util/huge_pages.hpp"

namespace cladorix::exact {
namespace {

// Rough work units (about a nanosecond each) for the cancellation poller.
constexpr u64 kWalkWork = 100;

}  // namespace

std::vector<Task> split_task(const Reference& ref, const Task& task, u64 pieces) {
  std::vector<Task> out;
  std::vector<u32> path;
  for (u32 v = task.root1; v != kNone; v = ref.heavy[v]) path.push_back(v);
  const u32 bottom = static_cast<u32>(path.size()) - 1;
  const u64 light = ref.leaves_below[task.root1] - 1;
  pieces = std::clamp<u64>(pieces, 1, std::max<u32>(bottom, 1));
  // A piece ends where the light leaves from the top reach its share; the
  // last one runs to the bottom.
  u32 first = 0;
  for (u64 p = 1; p < pieces; ++p) {
    const u64 target = light * p / pieces;
    u32 last = first + 1;
    while (last < bottom && ref.leaves_below[task.root1] - ref.leaves_below[path[last]] < target)
      ++last;
    if (last >= bottom) break;
    const u64 size = ref.leaves_below[path[first]] - ref.leaves_below[path[last]];
    out.push_back(Task{task.root1, task.span, first, last, size + task.span->size() / 8});
    first = last;
  }
  out.push_back(Task{task.root1, task.span, first, kNone, ref.leaves_below[path[first]]});
  return out;
}

void Tally::grow(u32 bin) {
  if (bins_.empty()) {
    lo_ = bin;
    bins_.resize(1);
    return;
  }
  // Widened by its own size on the side the bin lies, so that a path
  // walked bin by bin copies its counts a logarithmic number of times.
  const u32 size = static_cast<u32>(bins_.size());
  u32 lo = lo_, hi = lo_ + size;
  if (bin < lo) lo = std::min(bin, lo > size ? lo - size : 0);
  if (bin >= hi) hi = std::max(bin + 1, hi + size);
  std::vector<Agreement> wider(hi - lo);
  std::copy(bins_.begin(), bins_.end(), wider.begin() + (lo_ - lo));
  bins_.swap(wider);
  lo_ = lo;
}

void Tally::add_into(std::vector<Agreement>& to) const {
  for (u32 i = 0; i < bins_.size() && lo_ + i < to.size(); ++i) {
    to[lo_ + i].resolvable_correct += bins_[i].resolvable_correct;
    to[lo_ + i].unresolved_correct += bins_[i].unresolved_correct;
  }
}

void count_directly(const Reference& ref, u32 root1, const u32* leaf1, const u32* join_depth, u32 k,
                    Tally& bins) {
  constexpr u32 kMax = PathCounter::kDirectLeaves;
  const u32 base1 = ref.first_leaf[root1];
  // Tree 1, leaves i < j by position: their join is the shallowest of the
  // adjacent joins between them (q: its index there).
  u32 d1[kMax][kMax], q1[kMax][kMax];
  for (u32 i = 0; i < k; ++i) {
    u32 best = UINT32_MAX, at = 0;
    for (u32 j = i + 1; j < k; ++j) {
      const u32 d = ref.depth[ref.adjacent[base1 + j - 1]];
      if (d < best) best = d, at = j - 1;
      d1[i][j] = best;
      q1[i][j] = at;
    }
  }
  // Tree 2 the same way in its own order, then by tree-1 position.
  u32 rank[kMax];
  for (u32 r = 0; r < k; ++r) rank[leaf1[r] - base1] = r;
  u32 d2[kMax][kMax];
  for (u32 a = 0; a < k; ++a) {
    u32 best = UINT32_MAX;
    for (u32 b = a + 1; b < k; ++b) {
      best = std::min(best, join_depth[b]);
      d2[a][b] = d2[b][a] = best;
    }
  }
  u64 resolvable[kMax] = {}, star[kMax] = {};
  for (u32 i = 0; i < k; ++i)
    for (u32 j = i + 1; j < k; ++j) {
      const u32* row_i = d2[rank[i]];
      const u32* row_j = d2[rank[j]];
      const u32 a = d1[i][j], ij2 = row_i[rank[j]];
      for (u32 l = j + 1; l < k; ++l) {
        // By position the outer pair joins at the shallower of the inner
        // two, so tree 1 resolves i,j | l or i | j,l, or neither.
        const u32 b = d1[j][l];
        const int o1 = a > b ? 2 : b > a ? 0 : -1;
        const int o2 = outgroup_from_depths(ij2, row_i[rank[l]], row_j[rank[l]]);
        const TripletVerdict verdict = judge_triplet(o1 >= 0, o2 >= 0, o1 == o2);
        const u32 top = a <= b ? q1[i][j] : q1[j][l];
        resolvable[top] += verdict.resolvable_correct;
        star[top] += verdict.unresolved_correct;
      }
    }
  for (u32 q = 0; q + 1 < k; ++q) {
    Agreement& bin = bins[ref.bin[ref.adjacent[base1 + q]]];
    bin.resolvable_correct += resolvable[q];
    bin.unresolved_correct += star[q];
  }
}

void PathCounter::keep_span(Group& grp, u32 g, bool shaped) {
  grp.begin = static_cast<u32>(nodes_.size());
  const u32 size = spans_.size(g);
  if (!shaped) {
    // One leaf, or two below their join.
    if (size == 1) {
      nodes_.push_back({spans_.leaves(g)[0], kNone, 1});
      joined_.push_back(0);
    } else {
      nodes_.push_back({spans_.leaves(g)[0], 2, 1});
      nodes_.push_back({spans_.leaves(g)[1], 2, 1});
      nodes_.push_back({spans_.join(g, 1), kNone, 2});
      joined_.insert(joined_.end(), {0, 0, 1});
    }
  } else {
    // In post-order, each node's parent by its rank there.
    const std::vector<u32>& post = spans_.post_order();
    const u32 m = static_cast<u32>(post.size());
    const size_t at = joined_.size();
    joined_.resize(at + m, 0);
    u64* joined = joined_.data() + at;  // the children's squares first
    for (u32 i = 0; i < m; ++i) {
      const GroupSpans::Node& x = spans_.node(post[i]);
      const u64 n = x.count;
      const u32 up = x.parent == kNone ? kNone : spans_.node(x.parent).at;
      nodes_.push_back({x.origin, up, x.count});
      // Pairs joined exactly at x: C(n, 2) less those within one child.
      if (n > 1) joined[i] = (n * n - joined[i]) / 2;
      if (up != kNone) joined[up] += n * n;
    }
  }
  grp.end = static_cast<u32>(nodes_.size());
}

u128 PathCounter::pairs_in_group(const Group& grp, u64 outside_l, const u32* below,
                                 bool with_own) const {
  u128 sum = 0;
  for (u32 i = grp.begin; i < grp.end; ++i)
    if (joined_[i] != 0)
      sum += u128{joined_[i]} * (outside_l - (below[i] - (with_own ? nodes_[i].count : 0)));
  return sum;
}

u128 PathCounter::lone_stars(const Group& grp, const u32* below, const u32* toward,
                             bool with_own) const {
  // Per node w: its joined pairs against all below w; per child b of w: the
  // pairs with one leaf below b against all below w's child toward b.
  const u64 own = with_own ? 0 : 1;
  u128 sum = 0;
  for (u32 i = grp.begin; i < grp.end; ++i) {
    const ActiveSet::GroupNode& x = nodes_[i];
    if (joined_[i] != 0) sum += u128{joined_[i]} * (below[i] + own * x.count);
    if (x.up != kNone) {
      const u64 nw = nodes_[grp.begin + x.up].count;
      sum -= u128{x.count * (nw - x.count)} * (toward[i] + own * x.count);
    }
  }
  return sum;
}

void PathCounter::run(const Reference& ref, const Task& task, Tally& bins, CancelPoller& poll,
                      const std::function<void(Task&&)>& spawn) {
  const Tree& tree1 = *ref.tree;
  const Span& span = *task.span;
  const u32 t = task.root1;
  const u32 s = span.leaf_count();
  if (task.first == 0 && task.last == kNone && s <= direct_leaves_) {
    // Between consecutive leaves a < b of the span lie the nodes on b's path
    // below their join, so the node after a hangs below the join.
    direct_leaf1_.clear();
    direct_depth_.assign(1, 0);
    u32 prev = kNone;
    for (u32 v = 0; v < span.size(); ++v) {
      if (!span.is_leaf(v)) continue;
      direct_leaf1_.push_back(span.leaf1[v]);
      if (prev != kNone) direct_depth_.push_back(span.depth2[span.parent[prev + 1]]);
      prev = v;
    }
    count_directly(ref, t, direct_leaf1_.data(), direct_depth_.data(), s, bins);
    poll.tick(u64{s} * s * s / 2 + 200);
    return;
  }
  path1_.clear();
  for (u32 v = t; v != kNone; v = ref.heavy[v]) path1_.push_back(v);
  const u32 bottom = static_cast<u32>(path1_.size()) - 1;
  const u32 first = task.first;
  const u32 last = task.last == kNone ? bottom : task.last;
  const u32 base1 = ref.first_leaf[t];

  // One group per light child of a counted path node, top first, in text
  // order; the bottom leaf, when this task reaches it, as one more.
  groups_.clear();
  node_groups_.assign(1, 0);
  begin_.assign(1, 0);
  reserve_huge(group_of_, s);
  group_of_.assign(s, kNone);
  for (u32 k = first; k < last; ++k) {
    const u32 v = path1_[k];
    tree1.for_each_child(v, [&](NodeId c) {
      if (c == ref.heavy[v]) return;
      const u32 g = static_cast<u32>(groups_.size());
      groups_.push_back({c, 0, 0});
      const u32 size = ref.leaves_below[c];
      begin_.push_back(begin_.back() + size);
      std::fill_n(group_of_.begin() + (ref.first_leaf[c] - base1), size, g);
    });
    node_groups_.push_back(static_cast<u32>(groups_.size()));
  }
  const u32 group_count = static_cast<u32>(groups_.size());
  const bool to_bottom = last == bottom;
  if (to_bottom) {
    group_of_[ref.first_leaf[path1_[bottom]] - base1] = group_count;
    begin_.push_back(begin_.back() + 1);
  }
  spans_.collect(span, group_of_.data(), base1, begin_.data(), group_count + (to_bottom ? 1 : 0));
  poll.tick(u64{span.size()} * 20);

  // Every light child's span first, so that its task is handed out before
  // this path is walked and other lanes can take it meanwhile. Top-down:
  // the large children near the top go first.
  nodes_.clear();
  joined_.clear();
  reserve_huge(nodes_, 2 * size_t{s});  // a group of k leaves: under 2k nodes
  reserve_huge(joined_, 2 * size_t{s});
  for (u32 k = first; k < last; ++k) {
    for (u32 g = node_groups_[k - first]; g < node_groups_[k - first + 1]; ++g) {
      Group& grp = groups_[g];
      const u32 size = spans_.size(g);
      if (size < 3) {
        // A lone leaf of a node with two children takes no span: its walk
        // goes with the run of such nodes (below).
        if (size == 2 || node_groups_[k - first + 1] - node_groups_[k - first] >= 2)
          keep_span(grp, g, false);
        continue;
      }
      spans_.shape(span, g);
      keep_span(grp, g, true);
      if (size <= direct_leaves_) {
        // Counted here and now: its leaves and joins are at hand.
        const u32* leaves = spans_.leaves(g);
        direct_leaf1_.resize(size);
        direct_depth_.resize(size);
        for (u32 i = 0; i < size; ++i) {
          direct_leaf1_[i] = span.leaf1[leaves[i]];
          direct_depth_[i] = i == 0 ? 0 : span.depth2[spans_.join(g, i)];
        }
        count_directly(ref, grp.child1, direct_leaf1_.data(), direct_depth_.data(), size, bins);
      } else {
        auto sub = std::make_shared<Span>();
        spans_.lay_out(span, *sub);
        spawn(Task{grp.child1, std::move(sub), 0, kNone, size});
      }
      poll.tick(u64{size} * 80);
    }
  }

  if (to_bottom)
    active_.reset(span);
  else
    active_.reset(span, ref.first_leaf[path1_[last]],
                  ref.first_leaf[path1_[last]] + ref.leaves_below[path1_[last]]);
  poll.tick(u64{span.size()} * 20);
  reserve_huge(below_, nodes_.size());
  below_.resize(nodes_.size());
  if (to_bottom) active_.insert(spans_.leaves(group_count), 1);
  // Path nodes with one light child of one leaf (a caterpillar's) take a
  // walk each, one after the other: a run of them goes in one call.
  const auto lone_leaf = [&](u32 k) {
    const u32 gb = node_groups_[k - first];
    return node_groups_[k - first + 1] == gb + 1 && spans_.size(gb) == 1;
  };
  for (u32 k = last; k-- > first;) {
    const u32 gb = node_groups_[k - first], ge = node_groups_[k - first + 1];
    if (gb == ge) continue;  // a single child: no triplet has its LCA here
    if (lone_leaf(k)) {
      run_leaves_.clear();
      u32 top = k + 1;
      while (top > first && lone_leaf(top - 1)) {
        --top;
        run_leaves_.push_back(spans_.leaves(node_groups_[top - first])[0]);
      }
      psi_.resize(std::max(psi_.size(), run_leaves_.size()));
      active_.query_insert(run_leaves_.data(), static_cast<u32>(run_leaves_.size()), psi_.data());
      for (u32 i = 0; i < run_leaves_.size(); ++i)
        bins[ref.bin[path1_[k - i]]].resolvable_correct += psi_[i];
      poll.tick(u64{k + 1 - top} * kWalkWork);
      k = top;
      continue;
    }
    Agreement& out = bins[ref.bin[path1_[k]]];
    const u64 below_v = ref.leaves_below[path1_[k]];
    if (ge - gb == 1) {
      // One light child L: pairs of H against each of its leaves, then
      // pairs of L against the leaves of H outside them.
      const Group& grp = groups_[gb];
      const u32 m = grp.end - grp.begin;
      const ActiveSet::GroupSums q = active_.query_group<false>(nodes_.data() + grp.begin, m,
                                                                below_.data() + grp.begin, nullptr);
      out.resolvable_correct += q.psi;
      out.resolvable_correct +=
          pairs_in_group(grp, below_v - spans_.size(gb), below_.data(), false);
      // Nothing is asked after the top node: its child need not be added.
      if (k > first) active_.insert_group(nodes_.data() + grp.begin, m);
      poll.tick(u64{m} * kWalkWork);
      continue;
    }
    toward_.resize(nodes_.size());  // (only polytomies ask for them)
    toward_node_.resize(nodes_.size());
    // Three children or more. Against H alone: pairs of H resolved apart
    // from each light leaf, and for the children after the first the
    // one-colour stars of H to take off.
    u128 resolved = 0, star = 0;
    for (u32 g = gb; g < ge; ++g) {
      const Group& grp = groups_[g];
      const u32 m = grp.end - grp.begin;
      const ActiveSet::GroupSums q =
          g == gb ? active_.query_group<false>(
                        nodes_.data() + grp.begin, m, below_.data() + grp.begin,
                        toward_.data() + grp.begin, toward_node_.data() + grp.begin)
                  : active_.query_group<true>(nodes_.data() + grp.begin, m,
                                              below_.data() + grp.begin, nullptr, nullptr);
      resolved += q.psi;
      if (g != gb) star -= q.same - q.psi;
      poll.tick(u64{m} * kWalkWork);
    }
    // Each child against H and the children before it, then active: all
    // its stars, less the one-colour pairs of its own that stars with a
    // later child's leaf will count.
    for (u32 g = gb; g < ge; ++g) {
      const Group& grp = groups_[g];
      const u32 m = grp.end - grp.begin;
      if (g != gb) {
        const ActiveSet::GroupSums q =
            active_.query_group<true>(nodes_.data() + grp.begin, m, below_.data() + grp.begin,
                                      toward_.data() + grp.begin, toward_node_.data() + grp.begin);
        star += q.same - q.psi;
      }
      active_.insert_group(nodes_.data() + grp.begin, m);
      star += lone_stars(grp, below_.data(), toward_.data(), false);
      poll.tick(u64{m} * 2 * kWalkWork);
    }
    // With every child active: pairs inside each child against all the
    // others, and the one-colour stars of each with any later leaf. The
    // counts are asked at the nodes the walks above found.
    asked_.clear();
    for (u32 g = gb; g < ge; ++g)
      for (u32 i = groups_[g].begin; i < groups_[g].end; ++i) {
        if (joined_[i] != 0) asked_.push_back(nodes_[i].node);
        if (nodes_[i].up != kNone) asked_.push_back(toward_node_[i]);
      }
    answers_.resize(asked_.size());
    active_.active_below(asked_.data(), static_cast<u32>(asked_.size()), answers_.data());
    const u64* answer = answers_.data();
    for (u32 g = gb; g < ge; ++g) {
      const Group& grp = groups_[g];
      for (u32 i = grp.begin; i < grp.end; ++i) {
        if (joined_[i] != 0) below_[i] = static_cast<u32>(*answer++);
        if (nodes_[i].up != kNone) toward_[i] = static_cast<u32>(*answer++);
      }
      resolved += pairs_in_group(grp, below_v - spans_.size(g), below_.data(), true);
      star -= lone_stars(grp, below_.data(), toward_.data(), true);
      poll.tick(u64{grp.end - grp.begin} * kWalkWork / 4);
    }
    out.resolvable_correct += resolved;
    out.unresolved_correct += star;
  }
}

}  // namespace cladorix::exact
