#include "measures/triplets/by_position.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "measures/triplets/exhaustive_by_position.hpp"
#include "measures/triplets/sampling.hpp"
#include "runtime/cancel.hpp"
#include "runtime/chunk_plan.hpp"
#include "runtime/pool.hpp"
#include "tree/leaf_lca.hpp"
#include "util/errors.hpp"
#include "util/texts.hpp"

namespace cladorix {
namespace {

uint64_t parallel_piece_divisor(uint64_t chunks) {
  return chunks < 4 ? 1 : chunks < 16 ? 2 : chunks < 50 ? 3 : 4;
}

uint64_t optimized_piece_divisor(uint64_t chunks) { return chunks < 8 ? 2 : chunks < 32 ? 3 : 4; }

// Below this much work (about a third of a millisecond) counting stays on
// the calling thread even where chunks are planned: waking the workers costs
// some 20 to 50 microseconds, and the counts are the same either way.
constexpr uint64_t kMinPooledCountingWork = uint64_t{1} << 17;

using Counts4 = std::array<uint64_t, 4>;

Counts4 to_counts4(const TripletCounters& c) {
  return {c.correct_count, c.resolvable_correct_count, c.unresolved_correct_count,
          c.unresolved_count};
}

TripletCounters from_counts4(const Counts4& t) {
  TripletCounters c;
  c.correct_count = t[0];
  c.resolvable_correct_count = t[1];
  c.unresolved_correct_count = t[2];
  c.unresolved_count = t[3];
  return c;
}

// A tree's leaf order with its LCA depths, and how many of its leaves are
// named: positions 0 .. named - 1 are compared, whatever the names.
struct PositionedLeaves {
  LeafLca lca;
  uint32_t named = 0;

  explicit PositionedLeaves(const Tree& tree) {
    check_tour_size(tree);
    check_connected(tree);
    lca = LeafLca(tree);
    CancelPoller poll;
    for (const NodeId v : lca.leaves()) {
      named += tree.has_name(v) ? 1 : 0;
      poll.tick(4);
    }
  }
};

// `trials` random triplets of positions 0 .. n-1 (n >= 3) from one stream.
TripletCounters sample_stream(const LeafLca& lca1, const LeafLca& lca2, uint32_t n,
                              RandomSource& rng, uint64_t trials) {
  return sample_triplets(rng, n, trials, [&](const uint32_t p[3], TripletCounters& c) {
    // Same positions in both trees: the outgroup's index identifies it.
    c.add(outgroup_at(lca1, p), outgroup_at(lca2, p));
  });
}

TripletCounters sample_in_chunks(const TripletPlan& plan, const LeafLca& lca1, const LeafLca& lca2,
                                 uint32_t n, std::optional<uint64_t> seed) {
  RandomSource master = triplet_random_source(seed);
  std::vector<uint64_t> seeds(plan.chunks);
  for (uint64_t& s : seeds) s = master.next_u64();
  return from_counts4(WorkerPool::global().map_indexed_sum<4>(seeds.size(), [&](size_t c) {
    RandomSource rng = RandomSource::from_seed_u64(seeds[c]);
    const uint64_t trials = plan.trials_per_chunk + (c < plan.extra_trials ? 1 : 0);
    return to_counts4(sample_stream(lca1, lca2, n, rng, trials));
  }));
}

TripletCounters count_in_pieces(const TripletPlan& plan, const LeafLca& lca1, const LeafLca& lca2,
                                uint32_t n) {
  const ExhaustiveTripletCounter counter(lca1, lca2, n);
  const uint32_t begin = counter.middle_begin(), end = counter.middle_end();
  if (counter.work(begin, end) < kMinPooledCountingWork) return counter.count_all();
  // Ranges of middle leaves of about equal work, four per planned piece:
  // the planned division, with slack for a worker that falls behind.
  const std::vector<uint32_t> bounds = counter.split(4 * plan.pieces);
  return from_counts4(WorkerPool::global().map_indexed_sum<4>(bounds.size() - 1, [&](size_t p) {
    return to_counts4(counter.count(bounds[p], bounds[p + 1]));
  }));
}

}  // namespace

constexpr PositionVariant kParallelVariant{
    .threshold_factor = 100000.0,
    .min_parallel_trials = 5000,
    .min_parallel_triplets = 10000,
    .chunk_divisor1 = 8000,
    .chunk_divisor2 = 2000,
    .piece_divisor = parallel_piece_divisor,
    .chunks_capped_by_pieces = true,
    .uses_pool = true,
    .sampling_method = texts::kParallelSampling,
    .exhaustive_method = texts::kParallelExhaustive,
};

// The parallel row held to one chunk: at cap 1 its rule samples exactly when
// n >= 3, n > 20, more than 100000 triplets and fewer trials than triplets,
// and never divides work.
constexpr PositionVariant kUltraVariant = [] {
  PositionVariant v = kParallelVariant;
  v.uses_pool = false;
  v.sampling_method = texts::kUltraSampling;
  v.exhaustive_method = texts::kUltraExhaustive;
  return v;
}();

constexpr PositionVariant kOptimizedVariant{
    .threshold_factor = 150000.0,
    .min_parallel_trials = 8000,
    .min_parallel_triplets = 8000,
    .chunk_divisor1 = 12000,
    .chunk_divisor2 = 4000,
    .piece_divisor = optimized_piece_divisor,
    .chunks_capped_by_pieces = false,
    .uses_pool = true,
    .sampling_method = texts::kOptimizedSampling,
    .exhaustive_method = texts::kOptimizedExhaustive,
};

TripletPlan plan_triplets_by_position(const PositionVariant& v, uint64_t n,
                                      uint64_t number_of_trials, uint64_t cap) {
  TripletPlan plan;
  const uint64_t triplets = triplet_count(n);
  const uint64_t threshold =
      static_cast<uint64_t>(std::sqrt(static_cast<double>(cap)) * v.threshold_factor);
  plan.sampling = n >= 26 && triplets > number_of_trials && triplets > threshold;
  if (plan.sampling) {
    const uint64_t trials = number_of_trials;
    plan.total_triplets_checked = trials;
    plan.chunks = trials < v.min_parallel_trials
                      ? 1
                      : chunk_count(trials, v.chunk_divisor1, v.chunk_divisor2, cap);
    if (plan.chunks != 1) {
      if (plan.chunks == 0) fail(texts::kDivideByZero);
      plan.trials_per_chunk = trials / plan.chunks;
      plan.extra_trials = trials % plan.chunks;
    }
    plan.parallel_chunks_used = plan.chunks;
  } else {
    plan.total_triplets_checked = triplets;
    plan.chunks = triplets < v.min_parallel_triplets
                      ? 1
                      : chunk_count(triplets, v.chunk_divisor1, v.chunk_divisor2, cap);
    if (plan.chunks != 1) {
      plan.piece_size = piece_size(triplets, plan.chunks, v.piece_divisor(plan.chunks));
      plan.pieces = WorkerPool::piece_count(triplets, plan.piece_size);
      plan.parallel_chunks_used =
          v.chunks_capped_by_pieces ? std::min(plan.chunks, plan.pieces) : plan.chunks;
    }
  }
  return plan;
}

TripletResult triplets_by_position(const PositionVariant& v, const Tree& tree1, const Tree& tree2,
                                   uint64_t number_of_trials, std::optional<uint64_t> seed,
                                   std::optional<uint64_t> max_threads,
                                   std::optional<uint64_t> worker_count) {
  const PositionedLeaves data1(tree1);
  const PositionedLeaves data2(tree2);
  if (data1.named != data2.named) fail(texts::kUnequalTaxa);
  const uint32_t n = data1.named;
  const LeafLca& lca1 = data1.lca;
  const LeafLca& lca2 = data2.lca;

  uint64_t cap = 1;
  if (v.uses_pool) {
    // Asked on every call, sequential or not: the first call creates the pool.
    const uint64_t workers = worker_count ? *worker_count : WorkerPool::global().worker_count();
    cap = effective_thread_count(max_threads, workers);
  }
  const TripletPlan plan = plan_triplets_by_position(v, n, number_of_trials, cap);
  TripletCounters counters;
  if (plan.sampling && plan.chunks == 1) {
    RandomSource rng = triplet_random_source(seed);
    counters = sample_stream(lca1, lca2, n, rng, number_of_trials);
  } else if (plan.sampling) {
    counters = sample_in_chunks(plan, lca1, lca2, n, seed);
  } else if (plan.chunks == 1) {
    counters = exhaustive_triplet_counts(lca1, lca2, n);
  } else {
    counters = count_in_pieces(plan, lca1, lca2, n);
  }

  TripletResult result;
  static_cast<TripletScores&>(result) = triplet_scores(counters, plan.total_triplets_checked);
  result.method_used = plan.sampling ? v.sampling_method : v.exhaustive_method;
  result.total_triplets_checked = plan.total_triplets_checked;
  result.parallel_chunks_used = plan.parallel_chunks_used;
  result.reports_chunks = v.uses_pool;
  return result;
}

}  // namespace cladorix
