#include "reference/euler_lca.hpp"

#include <bit>
#include <string>
#include <utility>

#include "tree/tree.hpp"
#include "util/errors.hpp"

namespace cladorix::reference {
namespace {

constexpr uint64_t kMaxRmqLength = 0xFFFFFFFFULL;
constexpr uint64_t kAbsent = UINT64_MAX;

inline uint32_t floor_log2(uint64_t x) { return 63u - static_cast<uint32_t>(std::countl_zero(x)); }

[[noreturn]] void fail_unconnected(NodeId v) {
  fail("node " + std::to_string(v) + " does not occur in the Euler tour");
}

// Walks the subtree of `start` without recursion. `visit(id, depth)` is called
// for every tour entry, depth counted from `start`.
template <class Visit>
void walk_tour(const Tree& tree, NodeId start, Visit&& visit) {
  const auto& first = tree.first_children();
  const auto& next = tree.next_siblings();
  std::vector<std::pair<NodeId, NodeId>> stack;  // (node, next child to enter)
  stack.emplace_back(start, first[start]);
  visit(start, uint64_t{0});
  while (!stack.empty()) {
    auto& top = stack.back();
    if (top.second != kNoNode) {
      NodeId c = top.second;
      top.second = next[c];
      visit(c, static_cast<uint64_t>(stack.size()));
      stack.emplace_back(c, first[c]);
    } else {
      stack.pop_back();
      if (!stack.empty()) visit(stack.back().first, static_cast<uint64_t>(stack.size() - 1));
    }
  }
}

}  // namespace

// ---------------------------------------------------------------- BinaryRmq

BinaryRmq BinaryRmq::from_vec(std::vector<uint64_t> values) {
  const uint64_t n = values.size();
  if (n > kMaxRmqLength) fail("input too large for binary rmq");
  BinaryRmq rmq;
  rmq.data_ = std::move(values);
  if (n == 0) return rmq;
  const uint32_t L = n == 1 ? 1 : floor_log2(n - 1) + 2;
  rmq.levels_ = L;
  rmq.offsets_.assign(n * L, 0);
  const uint64_t* v = rmq.data_.data();
  uint32_t* off = rmq.offsets_.data();
  for (uint32_t i = 0; i + 1 < L; ++i) {
    const uint64_t g = uint64_t{1} << i;
    for (uint64_t j = 0; j + g < n; ++j) {
      uint64_t p = j + off[j * L + i];
      uint64_t q = j + g + off[(j + g) * L + i];
      uint64_t m = v[p] < v[q] ? p : q;  // ties: the later position
      off[j * L + i + 1] = static_cast<uint32_t>(m - j);
    }
    // Rows whose second half starts past the end keep their 0.
  }
  return rmq;
}

uint64_t BinaryRmq::range_min(uint64_t lo, uint64_t hi) const {
  const uint64_t n = data_.size();
  if (lo > hi || hi >= n)
    fail("range_min(" + std::to_string(lo) + ", " + std::to_string(hi) + ") outside " +
         std::to_string(n) + " values");
  const uint32_t k = hi > lo ? floor_log2(hi - lo) : 0;
  const uint64_t p = lo + offsets_[lo * levels_ + k];
  const uint64_t r = hi - (uint64_t{1} << k) + 1;
  const uint64_t q = r + offsets_[r * levels_ + k];
  return data_[q] < data_[p] ? q : p;  // ties: the left window
}

// ------------------------------------------------------------- tour, depths

std::vector<NodeId> euler_walk_ids(const Tree& tree, NodeId start) {
  tree.check(start);
  std::vector<NodeId> tour;
  walk_tour(tree, start, [&](NodeId v, uint64_t) { tour.push_back(v); });
  if (tree.has_parent(start)) tour.push_back(tree.parent(start));
  return tour;
}

std::vector<uint64_t> depth_array(const Tree& tree) {
  std::vector<uint64_t> depths;
  walk_tour(tree, tree.root(), [&](NodeId, uint64_t d) { depths.push_back(d); });
  return depths;
}

// ------------------------------------------------------------------ EulerLca

EulerLca::EulerLca(const Tree& tree) {
  check_tour_size(tree);
  const uint64_t length = 2 * tree.connected_count() - 1;
  euler_tour_.reserve(length);
  euler_depths_.reserve(length);
  first_index_.assign(tree.size(), kAbsent);
  walk_tour(tree, tree.root(), [&](NodeId v, uint64_t d) {
    if (first_index_[v] == kAbsent) first_index_[v] = euler_tour_.size();
    euler_tour_.push_back(v);
    euler_depths_.push_back(d);
  });
  depth_rmq_ = BinaryRmq::from_vec(euler_depths_);
  for (NodeId v = 0; v < tree.size(); ++v)
    if (first_index_[v] == kAbsent) fail_unconnected(v);
}

uint64_t EulerLca::get_fa_index(uint64_t id) const {
  if (id >= first_index_.size())
    fail("node id " + std::to_string(id) + " is outside the first-occurrence index");
  return first_index_[id];
}

NodeId EulerLca::get_euler_pos(uint64_t k) const {
  if (k >= euler_tour_.size()) fail("position " + std::to_string(k) + " is beyond the Euler tour");
  return euler_tour_[k];
}

NodeId EulerLca::get_lca_id(uint64_t a, uint64_t b) const {
  uint64_t fa = get_fa_index(a), fb = get_fa_index(b);
  if (fa > fb) std::swap(fa, fb);
  return get_euler_pos(depth_rmq_.range_min(fa, fb));
}

NodeId get_lca_id(const Tree& tree, uint64_t a, uint64_t b) {
  // Without tables the first-occurrence list is built first, so an
  // unattached node fails the query before anything else is looked at.
  check_connected(tree);
  return EulerLca(tree).get_lca_id(a, b);
}

}  // namespace cladorix::reference
