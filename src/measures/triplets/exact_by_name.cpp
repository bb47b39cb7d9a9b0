#include "measures/triplets/exact_by_name.hpp"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "measures/triplets/exact_path_counter.hpp"
#include "runtime/cancel.hpp"
#include "runtime/chunk_plan.hpp"
#include "runtime/pool.hpp"
#include "tree/name_classes.hpp"
#include "util/clock.hpp"
#include "util/errors.hpp"
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
  const auto d = [](u128 x) { return static_cast<double>(x); };
  ExactTripletRatios r;
  r.all_triplets_correct = d(c.correct) / d(c.triplets);
  r.resolvable_triplets_correct =
      c.triplets == c.unresolved ? 1.0 : d(c.resolvable_correct) / d(c.triplets - c.unresolved);
  r.unresolved_triplets_correct =
      c.unresolved == 0 ? 1.0 : d(c.unresolved_correct) / d(c.unresolved);
  r.proportion_unresolvable = d(c.unresolved) / d(c.triplets);
  return r;
}

namespace {

// Below this many leaves the whole count stays on the calling thread, and
// above it every this many leaves may use one more lane of the pool.
constexpr u64 kLeavesPerLane = 20000;

// ---- matching leaves by name --------------------------------------------------

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

void check_shape(const Tree& tree, const char* role) {
  if (!tree.fully_connected())
    throw CallerError(std::string(role) +
                      " is not one rooted tree: an opening parenthesis is never closed");
}

void check_named(const Tree& tree, const std::vector<NodeId>& leaves, const char* role) {
  for (size_t k = 0; k < leaves.size(); ++k)
    if (!tree.has_name(leaves[k]))
      throw CallerError(std::string(role) + " has a leaf without a name (leaf " +
                        std::to_string(k + 1) + " in text order)");
}

[[noreturn]] void duplicate(const char* role, std::string_view name) {
  throw CallerError(std::string(role) + " has more than one leaf named " + quoted(name));
}

// For each leaf of tree 2 (in leaf order), the position of the leaf of tree 1
// with its name. Throws CallerError for the first problem, in this order:
// unnamed or repeated names in tree 1, then in tree 2, then a name of tree 1
// missing from tree 2, then one of tree 2 missing from tree 1.
std::vector<u32> match_leaves(const Tree& t1, const std::vector<NodeId>& leaves1, const Tree& t2,
                              const std::vector<NodeId>& leaves2) {
  check_named(t1, leaves1, "tree1");
  // One number per distinct name over both trees (internal names get one
  // too, and are never looked at).
  const NameClasses classes({&t1, &t2});
  std::vector<u32> position1(classes.count(), kNone);  // name -> tree 1 leaf position
  for (u32 i = 0; i < leaves1.size(); ++i) {
    u32& slot = position1[classes.of(0, leaves1[i])];
    if (slot != kNone) duplicate("tree1", t1.name(leaves1[i]));
    slot = i;
  }
  check_named(t2, leaves2, "tree2");
  std::vector<u32> match(leaves2.size(), kNone);
  std::vector<uint8_t> seen(classes.count(), 0);
  u32 stranger = kNone;  // the first tree 2 leaf whose name tree 1 lacks
  for (u32 i = 0; i < leaves2.size(); ++i) {
    const u32 cls = classes.of(1, leaves2[i]);
    if (seen[cls]) duplicate("tree2", t2.name(leaves2[i]));
    seen[cls] = 1;
    match[i] = position1[cls];
    if (match[i] == kNone && stranger == kNone) stranger = i;
  }
  for (u32 i = 0; i < leaves1.size(); ++i)
    if (!seen[classes.of(0, leaves1[i])])
      throw CallerError("leaf " + quoted(t1.name(leaves1[i])) + " of tree1 is missing from tree2");
  if (stranger != kNone)
    throw CallerError("leaf " + quoted(t2.name(leaves2[stranger])) +
                      " of tree2 is missing from tree1");
  return match;
}

// ---- tree 2 as the first span -----------------------------------------------------

// Tree 2 without its single-child nodes. Leaves are labelled by their own
// leaf order until label_leaves gives them tree 1's positions.
exact::SpanTree span_of_tree(const Tree& t2) {
  const u32 n = static_cast<u32>(t2.size());
  const auto& parent = t2.parents();
  const auto& kids = t2.child_counts();
  const std::vector<u32> depth = t2.depths();
  std::vector<u32> kept(n, kNone);  // nearest kept node at or above, as a span id
  exact::SpanTree span;
  u32 leaf = 0;
  for (u32 v = 0; v < n; ++v) {
    const u32 up = v == 0 ? kNone : kept[parent[v]];
    if (kids[v] == 1) {
      kept[v] = up;
      continue;
    }
    kept[v] = span.size();
    span.parent.push_back(up);
    span.key_depth.push_back(depth[v]);
    if (kids[v] == 0) {
      span.leaf1.push_back(leaf++);
      span.leaves.push_back(kept[v]);
    } else {
      span.leaf1.push_back(kNone);
    }
  }
  // The join of two leaves adjacent in pre-order is the first ancestor of the
  // second below the first in id: ids between them are that ancestor's path.
  const std::vector<NodeId> leaves = t2.leaves();
  for (size_t k = 0; k + 1 < leaves.size(); ++k) {
    NodeId a = leaves[k + 1];
    while (parent[a] > leaves[k]) a = parent[a];
    span.adjacent.push_back(kept[parent[a]]);
  }
  return span;
}

void label_leaves(exact::SpanTree& span, const std::vector<u32>& match) {
  for (u32 leaf : span.leaves) span.leaf1[leaf] = match[span.leaf1[leaf]];
}

// ---- per-depth totals of tree 1 -----------------------------------------------

u128 choose3(u128 x) { return x < 3 ? 0 : x * (x - 1) * (x - 2) / 6; }

// Triplets and unresolved triplets per depth: at a node with children of
// sizes s_i, C(sum, 3) - sum C(s_i, 3) triplets, e3(s) of them unresolved.
void count_shapes(const exact::ReferenceTree& ref, std::vector<ExactTripletCounts>& bins) {
  const Tree& t = *ref.tree;
  for (u32 v = 0; v < t.size(); ++v) {
    if (t.child_count(v) < 2) continue;
    u128 e1 = 0, e2 = 0, e3 = 0, inner = 0;
    t.for_each_child(v, [&](NodeId c) {
      const u128 x = ref.leaves_below[c];
      e3 += e2 * x;
      e2 += e1 * x;
      e1 += x;
      inner += choose3(x);
    });
    ExactTripletCounts& b = bins[ref.depth[v]];
    b.triplets += choose3(e1) - inner;
    b.unresolved += e3;
  }
}

// ---- running the tasks -------------------------------------------------------

// Per-depth agreement counts of one lane, added into the call's bins once
// the lane is done (sums of integers: the order changes nothing).
struct Tally {
  std::vector<ExactTripletCounts> bins;
  explicit Tally(size_t depths) : bins(depths) {}
  void add(const exact::PathCounts& pc) {
    for (size_t k = 0; k < pc.resolvable_correct.size(); ++k) {
      ExactTripletCounts& b = bins[pc.top_depth + k];
      b.resolvable_correct += pc.resolvable_correct[k];
      b.unresolved_correct += pc.unresolved_correct[k];
    }
  }
  void add_into(std::vector<ExactTripletCounts>& to) const {
    for (size_t d = 0; d < bins.size(); ++d) {
      to[d].resolvable_correct += bins[d].resolvable_correct;
      to[d].unresolved_correct += bins[d].unresolved_correct;
    }
  }
};

// Runs `first` and every task it spawns into `local` on the calling thread,
// last spawned first.
void drain(const exact::ReferenceTree& ref, exact::Task first, std::vector<exact::Task>& local,
           exact::PathCounter& counter, exact::PathCounts& out, CancelPoller& poll,
           const std::function<void(exact::Task&&)>& spawn, Tally& tally) {
  counter.run(ref, first, out, poll, spawn);
  tally.add(out);
  while (!local.empty()) {
    exact::Task task = std::move(local.back());
    local.pop_back();
    counter.run(ref, task, out, poll, spawn);
    tally.add(out);
  }
}

void run_on_caller(const exact::ReferenceTree& ref, exact::Task top,
                   std::vector<ExactTripletCounts>& bins) {
  std::vector<exact::Task> local;
  exact::PathCounter counter;
  exact::PathCounts out;
  CancelPoller poll;
  Tally tally(bins.size());
  const std::function<void(exact::Task &&)> spawn = [&](exact::Task&& t) {
    local.push_back(std::move(t));
  };
  drain(ref, std::move(top), local, counter, out, poll, spawn, tally);
  tally.add_into(bins);
}

// Tasks of fewer leaves stay with the lane that spawned them: handing out
// every one of the O(n) small subtrees through the shared heap would make
// the lanes queue on its lock.
constexpr u64 kSharedTaskLeaves = 4096;

// `lanes` workers of the pool share a heap of the large tasks, largest first
// (a task may add more): the big subtrees start as soon as they are handed
// out, and a lane runs the small ones it spawns itself.
void run_in_lanes(const exact::ReferenceTree& ref, exact::Task top,
                  std::vector<ExactTripletCounts>& bins, u64 lanes) {
  std::mutex m;
  std::condition_variable cv;
  std::vector<exact::Task> heap;
  const auto smaller = [](const exact::Task& a, const exact::Task& b) {
    return a.work() < b.work();
  };
  size_t running = 0;
  heap.push_back(std::move(top));
  WorkerPool::global().run(lanes, [&](size_t) {
    exact::PathCounter counter;
    exact::PathCounts out;
    CancelPoller poll;
    Tally tally(bins.size());
    std::vector<exact::Task> local;
    const std::function<void(exact::Task &&)> spawn = [&](exact::Task&& t) {
      if (t.work() < kSharedTaskLeaves) {
        local.push_back(std::move(t));
        return;
      }
      {
        std::lock_guard lk(m);
        heap.push_back(std::move(t));
        std::push_heap(heap.begin(), heap.end(), smaller);
      }
      cv.notify_one();
    };
    for (;;) {
      exact::Task task;
      {
        std::unique_lock lk(m);
        while (heap.empty()) {
          if (running == 0) {
            tally.add_into(bins);  // under the lock: lanes finish one at a time
            return;
          }
          // Wake now and then: the operation may be winding down.
          cv.wait_for(lk, std::chrono::milliseconds(2));
          if (heap.empty()) {
            lk.unlock();
            check_cancel_now();
            lk.lock();
          }
        }
        std::pop_heap(heap.begin(), heap.end(), smaller);
        task = std::move(heap.back());
        heap.pop_back();
        ++running;
      }
      try {
        drain(ref, std::move(task), local, counter, out, poll, spawn, tally);
      } catch (...) {
        {
          std::lock_guard lk(m);
          --running;
        }
        cv.notify_all();
        throw;
      }
      bool idle;
      {
        std::lock_guard lk(m);
        idle = --running == 0 && heap.empty();
      }
      if (idle) cv.notify_all();
    }
  });
}

}  // namespace

ExactTripletResult triplets_correct_exact(const Tree& tree1, const Tree& tree2,
                                          std::optional<uint64_t> max_threads,
                                          std::optional<uint64_t> worker_count) {
  const Instant start = monotonic_now();
  check_shape(tree1, "tree1");
  check_shape(tree2, "tree2");
  const std::vector<NodeId> leaves1 = tree1.leaves();
  const std::vector<NodeId> leaves2 = tree2.leaves();
  const u64 n = leaves1.size();
  // Asked on every call, as the pooled variants do: the first call creates the pool.
  const u64 workers = worker_count ? *worker_count : WorkerPool::global().worker_count();
  const u64 cap = effective_thread_count(max_threads, workers);
  const u64 lanes = n < kLeavesPerLane ? 1 : chunk_count(n, kLeavesPerLane, kLeavesPerLane, cap);

  // Names are matched while tree 1's shape is counted and tree 2's span laid
  // out, side by side when the count will use the pool anyway.
  std::vector<u32> match;
  std::optional<exact::ReferenceTree> ref;
  std::vector<ExactTripletCounts> bins;
  exact::Task top;
  const auto prepare = [&](size_t part) {
    if (part == 0) {
      match = match_leaves(tree1, leaves1, tree2, leaves2);
      return;
    }
    ref.emplace(tree1);
    bins.resize(*std::max_element(ref->depth.begin(), ref->depth.end()) + 1);
    count_shapes(*ref, bins);
    if (n >= 3) top.span = span_of_tree(tree2);
  };
  if (lanes >= 2) {
    WorkerPool::global().run(2, prepare);
  } else {
    prepare(0);
    prepare(1);
  }

  if (n >= 3) {
    if (lanes == 0) fail(texts::kDivideByZero);
    label_leaves(top.span, match);
    if (lanes == 1)
      run_on_caller(*ref, std::move(top), bins);
    else
      run_in_lanes(*ref, std::move(top), bins, lanes);
  }

  ExactTripletResult result;
  for (u32 d = 0; d < bins.size(); ++d) {
    ExactTripletCounts& b = bins[d];
    if (b.triplets == 0) continue;
    b.correct = b.resolvable_correct + b.unresolved_correct;
    result.depths.push_back(d);
    result.by_depth.push_back(b);
    result.overall += b;
  }
  result.computation_time_ms = elapsed_ms(start, monotonic_now());
  return result;
}

}  // namespace cladorix
