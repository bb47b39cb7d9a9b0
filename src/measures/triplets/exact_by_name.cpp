#include "measures/triplets/exact_by_name.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "measures/triplets/exact_checks.hpp"
#include "measures/triplets/exact_path_counter.hpp"
#include "measures/triplets/exact_reference.hpp"
#include "runtime/cancel.hpp"
#include "runtime/chunk_plan.hpp"
#include "runtime/pool.hpp"
#include "runtime/task_tree.hpp"
#include "util/clock.hpp"
#include "util/errors.hpp"
#include "util/hash.hpp"
#include "util/texts.hpp"

namespace cladorix {

using exact::kNone;
using exact::u32;
using exact::u64;

ExactTripletCounts& ExactTripletCounts::operator+=(const ExactTripletCounts& o) {
  triplets += o.triplets;
  correct += o.correct;
  unresolved += o.unresolved;
  unresolved_correct += o.unresolved_correct;
  resolvable_correct += o.resolvable_correct;
  return *this;
}

ExactTripletRatios exact_triplet_ratios(const ExactTripletCounts& c) {
  return triplet_ratios(c.correct, c.resolvable_correct, c.unresolved, c.unresolved_correct,
                        c.triplets);
}

ExactReference::ExactReference(const Tree& tree1, std::span<const uint32_t> tree1_node_depths)
    : ref_(std::make_unique<exact::Reference>(tree1, tree1_node_depths)) {}
ExactReference::~ExactReference() = default;
ExactReference::ExactReference(ExactReference&&) noexcept = default;
ExactReference& ExactReference::operator=(ExactReference&&) noexcept = default;

namespace {

// Below this many leaves the whole count stays on the calling thread, and
// above it every this many leaves may use one more lane of the pool.
constexpr u64 kLeavesPerLane = 20000;

// Tasks of fewer leaves stay with the lane that spawned them.
constexpr u64 kSharedTaskLeaves = 4096;

// Up to this many depth bins, tree 1's shapes are counted while tree 2 is
// prepared rather than after the count.
constexpr u32 kEarlyShapeBins = u32{1} << 16;

u64 lanes_for(u64 leaves, std::optional<uint64_t> max_threads,
              std::optional<uint64_t> worker_count) {
  // Asked on every call, as the pooled variants do: the first call creates the pool.
  const u64 workers = worker_count ? *worker_count : WorkerPool::global().worker_count();
  const u64 cap = effective_thread_count(max_threads, workers);
  return leaves < kLeavesPerLane ? 1 : chunk_count(leaves, kLeavesPerLane, kLeavesPerLane, cap);
}

// Tree 2's side, made beside tree 1's: its leaves, their names' hashes, and
// (for three leaves or more) its span.
struct SecondTree {
  std::vector<NodeId> leaves;
  std::vector<uint64_t> hashes;
  exact::Span span;
};

// Part 0: leaves and names; part 1: the span.
void prepare_second(const Tree& t2, SecondTree& out, bool with_span, size_t part) {
  if (part == 1) {
    if (with_span) out.span = exact::span_of_tree(t2);
    return;
  }
  out.leaves = t2.leaves();
  out.hashes.resize(out.leaves.size());
  CancelPoller poll;
  for (size_t i = 0; i < out.leaves.size(); ++i) {
    const std::string_view name = t2.name(out.leaves[i]);
    out.hashes[i] = hash_bytes(name);
    poll.tick(name.size() / 4 + 16);
  }
}

// For each leaf of tree 2 (in leaf order), the position of the leaf of tree 1
// with its name, looked up on `lanes` workers. Throws CallerError for the
// first problem, in this order (tree 1's own were found when it was
// prepared): an unnamed leaf of tree 2, a name it repeats, a name of tree 1
// missing from it, one of it missing from tree 1.
std::vector<u32> match_leaves(const exact::Reference& ref, const Tree& t2, const SecondTree& second,
                              u64 lanes) {
  const std::vector<NodeId>& leaves2 = second.leaves;
  exact::check_named_leaves(t2, leaves2, "tree2");
  const size_t n2 = leaves2.size();
  std::vector<u32> match(n2);
  const auto look_up = [&](size_t part) {
    const size_t begin = n2 * part / 2, end = n2 * (part + 1) / 2;
    ref.names.find(t2, leaves2.data() + begin, second.hashes.data() + begin, end - begin,
                   match.data() + begin);
  };
  if (lanes >= 2) {
    WorkerPool::global().run(2, look_up);
  } else {
    look_up(0);
    look_up(1);
  }
  std::vector<uint8_t> seen(ref.leaf_count, 0);
  std::unordered_set<std::string_view> strangers;  // names tree 1 lacks
  u32 stranger = kNone;                            // the first leaf with one
  CancelPoller poll;
  for (u32 i = 0; i < n2; ++i) {
    const u32 p = match[i];
    if (p != kNone) {
      if (seen[p]) exact::duplicate_leaf("tree2", t2.name(leaves2[i]));
      seen[p] = 1;
    } else {
      if (!strangers.insert(t2.name(leaves2[i])).second)
        exact::duplicate_leaf("tree2", t2.name(leaves2[i]));
      if (stranger == kNone) stranger = i;
    }
    poll.tick(4);
  }
  for (u32 p = 0; p < ref.leaf_count; ++p)
    if (!seen[p]) exact::missing_leaf(ref.tree->name(ref.leaf_node[p]), "tree1", "tree2");
  if (stranger != kNone) exact::missing_leaf(t2.name(leaves2[stranger]), "tree2", "tree1");
  return match;
}

// match: tree 2's leaves by tree-1 position (match_leaves). A tree 1
// prepared for this count alone (`shapes_due`) gets its shapes counted once
// the lanes are done and their scratch freed.
ExactTripletResult count(const exact::Reference& ref, SecondTree& second,
                         const std::vector<u32>& match, u64 lanes, Instant start,
                         exact::Reference* shapes_due = nullptr) {
  const u64 n = ref.leaf_count;
  std::vector<exact::Tally> tallies;
  if (n >= 3) {
    if (lanes == 0) fail(texts::kDivideByZero);
    exact::Span& span = second.span;
    for (u32 v = 0; v < span.size(); ++v)
      if (span.leaf1[v] != kNone) span.leaf1[v] = match[span.leaf1[v]];
    const exact::Task top{0, std::make_shared<const exact::Span>(std::move(second.span)), 0, kNone,
                          n};
    // The top path alone may outweigh a lane's share of all the tasks (a
    // caterpillar is nothing else): then it runs in pieces side by side.
    std::vector<exact::Task> roots;
    const u64 pieces = lanes >= 2 ? n * lanes / std::max<u64>(ref.task_leaves, 1) : 1;
    if (pieces >= 2)
      roots = exact::split_task(ref, top, pieces);
    else
      roots.push_back(top);
    tallies.resize(lanes);
    std::vector<exact::PathCounter> counters(lanes);
    std::vector<CancelPoller> polls(lanes);
    run_task_tree(lanes, std::move(roots), kSharedTaskLeaves,
                  [&](size_t lane, const exact::Task& task,
                      const std::function<void(exact::Task &&)>& spawn) {
                    counters[lane].run(ref, task, tallies[lane], polls[lane], spawn);
                  });
  }

  if (shapes_due != nullptr) shapes_due->count_shapes();
  // The lanes' tallies into one, each freed once added.
  std::vector<exact::Agreement> total(tallies.empty() ? 0 : ref.bins);
  for (exact::Tally& tally : tallies) {
    tally.add_into(total);
    tally = {};
  }
  ExactTripletResult result;
  const size_t used =
      ref.bins - static_cast<size_t>(std::count(ref.triplets.begin(), ref.triplets.end(), u128{0}));
  result.depths.reserve(used);
  result.by_depth.reserve(used);
  for (u32 d = 0; d < ref.bins; ++d) {
    if (ref.triplets[d] == 0) continue;
    ExactTripletCounts b;
    b.triplets = ref.triplets[d];
    b.unresolved = ref.unresolved[d];
    if (!total.empty()) {
      b.resolvable_correct = total[d].resolvable_correct;
      b.unresolved_correct = total[d].unresolved_correct;
    }
    b.correct = b.resolvable_correct + b.unresolved_correct;
    result.depths.push_back(d);
    result.by_depth.push_back(b);
    result.overall += b;
  }
  result.computation_time_ms = elapsed_ms(start, monotonic_now());
  return result;
}

}  // namespace

ExactTripletResult triplets_correct_exact(const Tree& tree1, const Tree& tree2,
                                          std::optional<uint64_t> max_threads,
                                          std::optional<uint64_t> worker_count,
                                          std::span<const uint32_t> tree1_node_depths) {
  const Instant start = monotonic_now();
  exact::check_one_tree(tree1, "tree1");
  exact::check_one_tree(tree2, "tree2");
  u64 n = 0;
  for (const uint32_t kids : tree1.child_counts()) n += kids == 0 ? 1 : 0;
  const u64 lanes = lanes_for(n, max_threads, worker_count);
  // Tree 1 prepared while tree 2's names are hashed and its span laid out,
  // side by side when the count will use the pool anyway.
  std::optional<exact::Reference> ref;
  SecondTree second;
  const auto prepare = [&](size_t part) {
    if (part == 0) {
      // Tree 1's shapes wait for the end of the count when it has many
      // depth bins (a caterpillar: one per node), so as not to add to the
      // lanes' peak; a few are counted now, beside tree 2's preparation.
      ref.emplace(tree1, tree1_node_depths, true);
      if (ref->bins <= kEarlyShapeBins) ref->count_shapes();
    } else {
      prepare_second(tree2, second, n >= 3, 0);
      prepare_second(tree2, second, n >= 3, 1);
    }
  };
  if (lanes >= 2) {
    WorkerPool::global().run(2, prepare);
  } else {
    prepare(0);
    prepare(1);
  }
  const std::vector<u32> match = match_leaves(*ref, tree2, second, lanes);
  // Done with names: a smaller peak for the count.
  ref->names.release();
  second.leaves = {};
  second.hashes = {};
  return count(*ref, second, match, lanes, start, ref->triplets.empty() ? &*ref : nullptr);
}

ExactTripletResult triplets_correct_exact(const ExactReference& tree1, const Tree& tree2,
                                          std::optional<uint64_t> max_threads,
                                          std::optional<uint64_t> worker_count) {
  const Instant start = monotonic_now();
  const exact::Reference& ref = tree1.prepared();
  exact::check_one_tree(tree2, "tree2");
  const u64 lanes = lanes_for(ref.leaf_count, max_threads, worker_count);
  SecondTree second;
  const auto prepare = [&](size_t part) {
    prepare_second(tree2, second, ref.leaf_count >= 3, part);
  };
  if (lanes >= 2) {
    WorkerPool::global().run(2, prepare);
  } else {
    prepare(0);
    prepare(1);
  }
  const std::vector<u32> match = match_leaves(ref, tree2, second, lanes);
  second.leaves = {};
  second.hashes = {};
  return count(ref, second, match, lanes, start);
}

}  // namespace cladorix
