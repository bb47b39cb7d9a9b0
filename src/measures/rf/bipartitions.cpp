// Writing a tree's bipartitions as tokens, indexing them, and comparing two.
#include "measures/rf/bipartitions.hpp"

#include <algorithm>

#include "runtime/cancel.hpp"
#include "util/errors.hpp"
#include "util/huge_pages.hpp"

namespace cladorix {
namespace {

constexpr uint32_t kKindShift = 30;
constexpr uint32_t kValueMask = (uint32_t{1} << kKindShift) - 1;
constexpr uint32_t kLeafToken = 0;                           // + name
constexpr uint32_t kLoneToken = uint32_t{1} << kKindShift;   // + name that is no leaf
constexpr uint32_t kMergeToken = uint32_t{2} << kKindShift;  // + number of items
constexpr uint32_t kNone = UINT32_MAX;
constexpr NodeId kSlice = NodeId{1} << 16;  // nodes between two cancellation polls
// In a rank entry: the name alone is a side of the tree.
constexpr uint32_t kSingletonSide = uint32_t{1} << kKindShift;

}  // namespace

// Writes a tree's tokens (see the header): off the path from name 0's leaf
// to the root, subtrees in plain post-order; along the path, from the top
// down, each path node's side is the one above it plus the subtrees of its
// parent's other children.
class BipartitionWriter {
 public:
  BipartitionWriter(const Tree& tree, std::span<const uint32_t> numbers, Bipartitions& out)
      : tree_(tree),
        numbers_(numbers),
        parent_(tree.parents()),
        child_count_(tree.child_counts()),
        out_(out) {}

  // False when two reachable leaves share a number.
  bool write() {
    const uint32_t n = out_.names_;
    const NodeId reachable = static_cast<NodeId>(tree_.connected_count());
    // Which names the reachable leaves carry (one slot past the names
    // absorbs inner nodes, so the loop needs no branch on them).
    std::vector<uint8_t> is_leaf_name(uint64_t{n} + 1, 0);
    NodeId leaf0 = kNoNode;
    uint32_t leaves = 0;
    bool repeated = false, unnumbered = false;
    for (NodeId first = 0; first < reachable; first += std::min(reachable - first, kSlice)) {
      const NodeId last = first + std::min(reachable - first, kSlice);
      for (NodeId v = first; v < last; ++v) {
        const bool leaf = child_count_[v] == 0;
        const uint32_t c = numbers_[v];
        unnumbered |= leaf & (c >= n);
        const uint64_t slot = leaf && c < n ? c : n;
        repeated |= leaf & (is_leaf_name[slot] != 0);
        is_leaf_name[slot] = 1;
        leaf0 = leaf && c == 0 ? v : leaf0;
        leaves += leaf;
      }
      poll_.tick(4 * uint64_t{kSlice});
    }
    if (unnumbered) fail("a leaf without a number below the name count");
    if (repeated) return false;
    // A token per leaf, per name no leaf carries, and per inner node at
    // most, plus the side of a root that is name 0's leaf.
    const uint64_t bound = uint64_t{reachable} + (n - leaves) + 1;
    reserve_huge(out_.tokens_, bound);
    resize_polled(out_.tokens_, bound);
    out_cursor_ = out_.tokens_.data();
    write_tokens(leaf0, reachable, leaves, is_leaf_name);
    const uint64_t written = static_cast<uint64_t>(out_cursor_ - out_.tokens_.data());
    out_.tokens_.resize(written);
    out_.sides_ = written - lone_;
    return true;
  }

 private:
  void write_tokens(NodeId leaf0, NodeId reachable, uint32_t leaves,
                    std::vector<uint8_t>& is_leaf_name) {
    const uint32_t n = out_.names_;
    if (leaf0 == kNoNode) {
      // No re-rooting: every side is a cluster; the root gives none unless
      // it is a leaf.
      if (child_count_[0] == 0)
        *out_cursor_++ = kLeafToken | numbers_[0];
      else
        write_subtrees(1, reachable);
      return;
    }
    uint64_t items = 0;  // on top of the evaluation stack, making up the side to come
    bool lone_item_is_side = false;
    if (leaves < n) {
      for (uint32_t c = 1; c < n; ++c) {
        poll_.tick(2);
        if (!is_leaf_name[c]) {
          *out_cursor_++ = kLoneToken | c;
          ++items;
          ++lone_;
        }
      }
    }
    is_leaf_name = {};
    // The path, bottom up, and where each path node's subtree ends (ids are
    // a pre-order: a subtree ends where the next sibling starts, or where
    // the parent's ends).
    std::vector<NodeId> path{leaf0};
    while (path.back() != 0) path.push_back(parent_[path.back()]);
    poll_.tick(path.size());
    std::vector<NodeId> end(path.size());
    end.back() = reachable;
    for (size_t i = path.size() - 1; i-- > 0;) {
      const NodeId next = tree_.next_sibling(path[i]);
      end[i] = next != kNoNode ? next : end[i + 1];
    }
    auto close_side = [&] {
      if (items == 0) {
        out_.has_empty_side_ = true;
      } else if (items > 1 || !lone_item_is_side) {
        *out_cursor_++ = kMergeToken | static_cast<uint32_t>(items);
        items = 1;
        lone_item_is_side = true;
      }  // else: the same side as the lone item's, already held
    };
    if (path.size() == 1) close_side();  // the root is name 0's leaf
    for (size_t i = path.size() - 1; i-- > 0;) {
      const NodeId p = path[i + 1], c = path[i];
      write_subtrees(p + 1, c);
      write_subtrees(end[i], end[i + 1]);
      const uint32_t others = child_count_[p] - 1;
      if (others > 0) lone_item_is_side = true;
      items += others;
      close_side();
    }
  }

  // The subtrees that make up ids [begin, end), in post-order: a node's side
  // is written when its last descendant is (a single child's side is its
  // own), so a stack of open nodes with their child counts is all it takes.
  void write_subtrees(NodeId begin, NodeId end) {
    const NodeId* parent = parent_.data();
    const uint32_t* children = child_count_.data();
    const uint32_t* numbers = numbers_.data();
    uint32_t* out = out_cursor_;
    Open* open = open_.data();
    size_t depth = 0, capacity = open_.size();
    for (NodeId first = begin; first < end; first += std::min(end - first, kSlice)) {
      const NodeId last = first + std::min(end - first, kSlice);
      for (NodeId v = first; v < last; ++v) {
        const NodeId p = parent[v];
        while (depth > 0 && open[depth - 1].node != p) {
          const uint32_t k = open[--depth].children;
          if (k > 1) *out++ = kMergeToken | k;
        }
        const uint32_t k = children[v];
        if (k == 0) {
          *out++ = kLeafToken | numbers[v];
        } else {
          if (depth == capacity) {
            open_.resize(2 * capacity + 64);
            open = open_.data();
            capacity = open_.size();
          }
          open[depth++] = {v, k};
        }
      }
      poll_.tick(8 * uint64_t{last - first});
    }
    while (depth > 0) {
      const uint32_t k = open[--depth].children;
      if (k > 1) *out++ = kMergeToken | k;
    }
    out_cursor_ = out;
  }

  struct Open {
    NodeId node;
    uint32_t children;
  };

  const Tree& tree_;
  std::span<const uint32_t> numbers_;
  const std::vector<NodeId>& parent_;
  const std::vector<uint32_t>& child_count_;
  Bipartitions& out_;
  std::vector<Open> open_;  // ancestors of the node being written, in its subtree range
  uint32_t* out_cursor_ = nullptr;
  uint64_t lone_ = 0;  // tokens that are no side
  CancelPoller poll_;
};

std::optional<Bipartitions> Bipartitions::of_node_numbers(const Tree& tree,
                                                          std::span<const uint32_t> node_numbers,
                                                          uint32_t name_count, bool indexed) {
  if (node_numbers.size() != tree.size()) fail("one number per node is needed");
  if (name_count >= kNameLimit) return std::nullopt;
  Bipartitions out;
  out.names_ = name_count;
  if (!BipartitionWriter(tree, node_numbers, out).write()) return std::nullopt;
  if (indexed) out.build_index();
  return out;
}

Bipartitions::Bipartitions(const Tree& tree, std::span<const uint32_t> leaf_numbers,
                           uint32_t name_count) {
  std::vector<uint32_t> numbers(tree.size(), kUnnamed);
  size_t k = 0;
  for (NodeId v = 0; v < tree.size(); ++v) {
    if (!tree.is_leaf(v)) continue;
    if (k == leaf_numbers.size()) fail("fewer leaf numbers than leaves");
    numbers[v] = leaf_numbers[k++];
  }
  if (k != leaf_numbers.size()) fail("more leaf numbers than leaves");
  std::optional<Bipartitions> b = of_node_numbers(tree, numbers, name_count, true);
  if (!b) fail("leaf numbers repeat or reach the name limit");
  *this = std::move(*b);
}

// A stack that grows by doubling, its top kept in locals by the loops below.
template <class T>
struct GrowingStack {
  std::vector<T> slots = std::vector<T>(64);
  T* data = slots.data();
  size_t size = 0, capacity = slots.size();
  void push(const T& x) {
    if (size == capacity) [[unlikely]] {
      slots.resize(2 * capacity);
      data = slots.data();
      capacity = slots.size();
    }
    data[size++] = x;
  }
};

void Bipartitions::build_index() {
  const uint32_t n = names_;
  for (std::vector<uint32_t>* column : {&rank_, &by_lo_, &by_hi_}) {
    reserve_huge(*column, n);
    resize_polled(*column, n, kNone);
  }
  uint32_t* rank = rank_.data();
  uint32_t* by_lo = by_lo_.data();
  uint32_t* by_hi = by_hi_.data();
  // Sides are stored as they close; a larger side with the same first rank
  // closes later and pushes the smaller one to by_hi. Laminar intervals
  // never meet there: two distinct sides that are not the largest at their
  // first rank cannot end at the same rank.
  auto store = [&](uint32_t lo, uint32_t hi) {
    uint32_t& at_lo = by_lo[lo];
    if (at_lo == kNone) {
      at_lo = hi;
    } else if (at_lo < hi) {
      by_hi[at_lo] = lo;
      at_lo = hi;
    } else {
      by_hi[hi] = lo;
    }
  };
  GrowingStack<uint32_t> first;  // first rank of each item on the evaluation stack
  uint32_t next = 0, last_name = 0;
  CancelPoller poll;
  const uint32_t* tokens = tokens_.data();
  for (size_t i = 0; i < tokens_.size(); ++i) {
    const uint32_t t = tokens[i];
    const uint32_t value = t & kValueMask;
    if (t >= kMergeToken) {
      first.size -= value;
      const uint32_t lo = first.data[first.size++];
      store(lo, next - 1);
      if (lo == next - 1) rank[last_name] |= kSingletonSide;  // a lone name on its own
    } else {
      rank[value] = next | (t < kLoneToken ? kSingletonSide : 0);
      first.push(next);
      if (t < kLoneToken) store(next, next);
      last_name = value;
      ++next;
    }
    if ((i & (kSlice - 1)) == 0) poll.tick(8 * uint64_t{kSlice});
  }
  for (uint32_t k = 0; k < n; ++k)
    if (rank[k] == kNone) rank[k] = next++;
  poll.tick(n);
}

uint64_t rf_distance(const Bipartitions& a, const Bipartitions& b) {
  if (a.names_ != b.names_) fail("bipartitions over different name counts");
  if (a.rank_.size() != a.names_) fail("the left bipartitions have no index");
  struct Item {
    uint32_t min, max, count;
  };
  GrowingStack<Item> stack;
  uint64_t shared = a.has_empty_side_ && b.has_empty_side_ ? 1 : 0;
  CancelPoller poll;
  const uint32_t* tokens = b.tokens_.data();
  const size_t size = b.tokens_.size();
  const uint32_t* rank = a.rank_.data();
  // Ranks are looked up at random: ask for them some tokens ahead.
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < size; ++i) {
    if (i + kAhead < size)
      __builtin_prefetch(&rank[std::min(tokens[i + kAhead] & kValueMask, a.names_ - 1)]);
    const uint32_t t = tokens[i];
    const uint32_t value = t & kValueMask;
    if (t >= kMergeToken) {
      const size_t base = stack.size - value;
      Item m = stack.data[stack.size - 1];
      for (size_t j = base; j + 1 < stack.size; ++j) {
        m.min = std::min(m.min, stack.data[j].min);
        m.max = std::max(m.max, stack.data[j].max);
        m.count += stack.data[j].count;
      }
      stack.data[base] = m;
      stack.size = base + 1;
      shared += m.max - m.min + 1 == m.count && a.has_interval(m.min, m.max);
    } else {
      const uint32_t entry = rank[value];
      const uint32_t r = entry & kValueMask;
      stack.push({r, r, 1});
      if (t < kLoneToken) shared += entry >> kKindShift;
    }
    if ((i & (kSlice - 1)) == 0) poll.tick(8 * uint64_t{kSlice});
  }
  return a.count() + b.count() - 2 * shared;
}

}  // namespace cladorix
