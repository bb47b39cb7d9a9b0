#include "measures/phs/phs.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "measures/model_defaults.hpp"
#include "runtime/cancel.hpp"
#include "runtime/chunk_plan.hpp"
#include "stats/binomial_tail.hpp"
#include "stats/simes.hpp"
#include "util/clock.hpp"
#include "util/texts.hpp"

namespace cladorix {

std::vector<PairBin> count_pair_bins(const PhsPairBlocks& data, WorkerPool* pool, uint64_t piece) {
  std::vector<PairBin> bins = data.quiet_bins();
  const uint64_t compared = data.compared_pairs();
  if (pool == nullptr) {
    std::vector<PairBin> counted = data.count_compared(0, compared);
    bins.insert(bins.end(), counted.begin(), counted.end());
  } else {
    auto pieces = pool->map_pieces_collect(
        compared, piece, [&](size_t b, size_t e) { return data.count_compared(b, e); });
    for (const auto& p : pieces) bins.insert(bins.end(), p.begin(), p.end());
  }
  merge_bins(bins);
  return bins;
}

double homoplasy_probability(double lambda, double q, double d) {
  if (d == 1.0) return 1.0;
  const double g = std::exp((1.0 - d) * (-lambda));
  const double h = ((std::exp(d * (-lambda)) * (1.0 - g)) * (1.0 - g)) * q;
  // Deep ancestors push the raw formula past 1; a probability of 1 is what a
  // depth-1 ancestor already gives. NaN passes through.
  return h > 1.0 ? 1.0 : h;
}

double phs_pair_pvalue(double lambda, double q, uint64_t c, double d, uint64_t a) {
  return binomial_tail_pvalue(homoplasy_probability(lambda, q, d), c, a);
}

double phs_score_from_bins(double lambda, double q, const std::vector<PairBin>& bins, uint64_t a) {
  // Group by depth (bit pattern), counts ascending within a depth.
  std::vector<PairBin> by_depth(bins);
  std::sort(by_depth.begin(), by_depth.end(), [](const PairBin& x, const PairBin& y) {
    const uint64_t dx = std::bit_cast<uint64_t>(x.depth), dy = std::bit_cast<uint64_t>(y.depth);
    return dx != dy ? dx < dy : x.count < y.count;
  });
  uint64_t jmax = 0;
  bool any_tail = false;
  for (const PairBin& b : by_depth)
    if (b.count > 0 && b.pairs > 0)
      jmax = std::max(jmax, std::min(b.count - 1, a)), any_tail = true;
  const std::vector<double> t = any_tail ? log_binomials(a, jmax) : std::vector<double>{};

  std::vector<std::pair<double, uint64_t>> pvalues;
  std::vector<uint64_t> cs;
  std::vector<uint64_t> multiplicity;
  std::vector<double> ps;
  CancelPoller poll;  // a deep tree has a depth, and a tail to sum, per level
  for (size_t i = 0; i < by_depth.size();) {
    const size_t start = i;
    const uint64_t dbits = std::bit_cast<uint64_t>(by_depth[i].depth);
    const double d = by_depth[i].depth;
    cs.clear();
    multiplicity.clear();
    for (; i < by_depth.size() && std::bit_cast<uint64_t>(by_depth[i].depth) == dbits; ++i) {
      if (by_depth[i].pairs == 0) continue;
      if (!cs.empty() && cs.back() == by_depth[i].count) {
        multiplicity.back() += by_depth[i].pairs;
      } else {
        cs.push_back(by_depth[i].count);
        multiplicity.push_back(by_depth[i].pairs);
      }
    }
    poll.tick(8 * (i - start));
    if (cs.empty()) continue;
    poll.tick(32 * (std::min(cs.back(), a) + cs.size()));
    binomial_upper_tails(homoplasy_probability(lambda, q, d), a, cs, t, ps);
    for (size_t k = 0; k < cs.size(); ++k) pvalues.emplace_back(ps[k], multiplicity[k]);
  }
  return simes_combine(std::move(pvalues));
}

double estimate_mutation_rate(const CharacterMatrix& matrix, int32_t missing_state,
                              int32_t unedited_state) {
  uint64_t known = 0, edited = 0;
  CancelPoller poll;
  for (const auto& row : matrix) {
    for (const int32_t s : row) {
      known += s != missing_state;
      edited += (s != missing_state) & (s != unedited_state);
    }
    poll.tick(row.size() + 8);
  }
  if (known == 0) return kDefaultMutationRate;
  return -std::log(1.0 - static_cast<double>(edited) / static_cast<double>(known));
}

// ---- the whole call ---------------------------------------------------------------

PhsResult phs_optimized(const Tree& tree, CharacterMatrix matrix,
                        const InternalStates& internal_states, const CharacterModel& model,
                        std::optional<uint64_t> max_threads) {
  const Instant start = monotonic_now();
  PhsResult out;
  out.method_used = texts::kPhsNoPairs;
  const PhsPairBlocks data = PhsPairBlocks::build(tree, std::move(matrix), internal_states,
                                                  model.missing_state, model.unedited_state);
  const double lambda =
      model.mutation_rate
          ? *model.mutation_rate
          : estimate_mutation_rate(data.matrix(), model.missing_state, model.unedited_state);
  const double q = model.collision_probability.value_or(kDefaultCollisionProbability);
  const uint64_t n = data.leaf_count();
  if (n < 2) {
    out.computation_time_ms = elapsed_ms(start, monotonic_now());
    return out;
  }

  WorkerPool& pool = WorkerPool::global();
  const uint64_t work = n * (n - 1);
  uint64_t chunks = 1;
  if (work >= 4000)
    chunks =
        chunk_count(work, 4000, 16000, effective_thread_count(max_threads, pool.worker_count()));
  std::vector<PairBin> bins;
  if (chunks == 1) {
    bins = count_pair_bins(data, nullptr, 0);
    out.method_used = texts::kPhsSequential;
  } else {
    const uint64_t divisor = chunks < 8 ? 2 : chunks < 32 ? 3 : 4;
    // The pair list's piece length; a chunk count of 0 fails here. Only the
    // compared pairs cost anything, so they are what the pieces cut.
    piece_size(data.total_pairs(), chunks, divisor);
    const uint64_t piece = piece_size(data.compared_pairs(), chunks, divisor);
    bins = count_pair_bins(data, &pool, piece);
    out.method_used = texts::kPhsParallel;
    out.parallel_chunks_used = chunks;
  }
  const uint64_t a = data.matrix().empty() ? 0 : data.matrix()[0].size();
  out.phs_score = phs_score_from_bins(lambda, q, bins, a);
  out.total_pairs = data.total_pairs();
  out.computation_time_ms = elapsed_ms(start, monotonic_now());
  return out;
}

}  // namespace cladorix
