#include "pooled_triplets.hpp"

#include <cmath>
#include <vector>

#include "errors.hpp"
#include "exhaustive_triplets.hpp"
#include "runtime/pool.hpp"
#include "runtime/random.hpp"

namespace cladorix {
namespace {

// Below this much work (about a third of a millisecond) counting stays on
// the calling thread even where chunks are planned: waking the workers costs
// some 20 to 50 microseconds, and the counts are the same either way.
constexpr uint64_t kMinPooledCountingWork = uint64_t{1} << 17;

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

// `trials` random triplets of positions 0 .. n-1 (n >= 3) from one stream.
TripletCounters sample_stream(const LeafLca& lca1, const LeafLca& lca2, uint32_t n,
                              RandomSource& rng, uint64_t trials) {
  TripletCounters c;
  for (uint64_t t = 0; t < trials; ++t) {
    uint32_t pos[3];
    sample3(rng, n, pos);
    // Same positions in both trees: the outgroup's index identifies it.
    c.add(lca1.outgroup(pos), lca2.outgroup(pos));
  }
  return c;
}

template <class F>
TripletCounters run_on_pool(const PooledTripletConstants& k, size_t tasks, F&& f) {
  WorkerPool& pool = WorkerPool::global();
  if (k.pool_sums) return from_counts4(pool.map_indexed_sum(tasks, f));
  Counts4 total{};
  for (const Counts4& part : pool.map_indexed_collect(tasks, f))
    for (size_t i = 0; i < 4; ++i) total[i] += part[i];
  return from_counts4(total);
}

TripletCounters sample_in_chunks(const PooledTripletConstants& k, const PooledTripletPlan& plan,
                                 const LeafLca& lca1, const LeafLca& lca2, uint32_t n,
                                 std::optional<uint64_t> seed) {
  RandomSource master = seed ? RandomSource::from_seed_u64(*seed) : RandomSource::from_entropy();
  std::vector<uint64_t> seeds(plan.chunks);
  for (uint64_t& s : seeds) s = master.next_u64();
  return run_on_pool(k, seeds.size(), [&](size_t c) -> Counts4 {
    RandomSource rng = RandomSource::from_seed_u64(seeds[c]);
    const uint64_t trials = plan.trials_per_chunk + (c < plan.extra_trials ? 1 : 0);
    return to_counts4(sample_stream(lca1, lca2, n, rng, trials));
  });
}

TripletCounters count_in_pieces(const PooledTripletConstants& k, const PooledTripletPlan& plan,
                                const LeafLca& lca1, const LeafLca& lca2, uint32_t n) {
  const ExhaustiveTripletCounter counter(lca1, lca2, n);
  const uint32_t begin = counter.middle_begin(), end = counter.middle_end();
  if (counter.work(begin, end) < kMinPooledCountingWork) return counter.count_all();
  // Ranges of middle leaves of about equal work, four per planned piece:
  // the planned division, with slack for a worker that falls behind.
  const std::vector<uint32_t> bounds = counter.split(4 * plan.pieces);
  return run_on_pool(k, bounds.size() - 1, [&](size_t p) -> Counts4 {
    return to_counts4(counter.count(bounds[p], bounds[p + 1]));
  });
}

}  // namespace

PooledTripletPlan plan_pooled_triplets(const PooledTripletConstants& k, uint64_t n,
                                       uint64_t number_of_trials, uint64_t cap) {
  PooledTripletPlan plan;
  const uint64_t triplets = triplet_count(n);
  const uint64_t threshold =
      static_cast<uint64_t>(std::sqrt(static_cast<double>(cap)) * k.threshold_factor);
  plan.sampling = n >= 26 && triplets > number_of_trials && triplets > threshold;
  if (plan.sampling) {
    const uint64_t trials = number_of_trials;
    plan.total_triplets_checked = trials;
    plan.chunks = trials < k.min_parallel_trials
                      ? 1
                      : chunk_count(trials, k.chunk_divisor1, k.chunk_divisor2, cap);
    if (plan.chunks != 1) {
      if (plan.chunks == 0) fail("attempt to divide by zero");
      plan.trials_per_chunk = trials / plan.chunks;
      plan.extra_trials = trials % plan.chunks;
    }
    plan.parallel_chunks_used = plan.chunks;
  } else {
    plan.total_triplets_checked = triplets;
    plan.chunks = triplets < k.min_parallel_triplets
                      ? 1
                      : chunk_count(triplets, k.chunk_divisor1, k.chunk_divisor2, cap);
    if (plan.chunks != 1) {
      plan.piece_size = piece_size(triplets, plan.chunks, k.piece_divisor(plan.chunks));
      plan.pieces = WorkerPool::piece_count(triplets, plan.piece_size);
      plan.parallel_chunks_used =
          k.chunks_capped_by_pieces ? std::min(plan.chunks, plan.pieces) : plan.chunks;
    }
  }
  return plan;
}

PooledTripletScores pooled_triplets_correct(const PooledTripletConstants& k, const LeafLca& lca1,
                                            const LeafLca& lca2, uint32_t n,
                                            uint64_t number_of_trials,
                                            std::optional<uint64_t> seed, uint64_t cap) {
  const PooledTripletPlan plan = plan_pooled_triplets(k, n, number_of_trials, cap);
  TripletCounters counters;
  if (plan.sampling && plan.chunks == 1) {
    RandomSource rng = seed ? RandomSource::from_seed_u64(*seed) : RandomSource::from_entropy();
    counters = sample_stream(lca1, lca2, n, rng, number_of_trials);
  } else if (plan.sampling) {
    counters = sample_in_chunks(k, plan, lca1, lca2, n, seed);
  } else if (plan.chunks == 1) {
    counters = exhaustive_triplet_counts(lca1, lca2, n);
  } else {
    counters = count_in_pieces(k, plan, lca1, lca2, n);
  }

  PooledTripletScores result;
  static_cast<TripletScores&>(result) = triplet_scores(counters, plan.total_triplets_checked);
  result.method_used = plan.sampling ? k.sampling_method : k.exhaustive_method;
  result.total_triplets_checked = plan.total_triplets_checked;
  result.parallel_chunks_used = plan.parallel_chunks_used;
  return result;
}

}  // namespace cladorix
