// Pairwise homoplasy score: for every pair of named leaves, the number of
// characters on which both carry the same edit although their lowest common
// ancestor is still unedited, turned into a binomial upper-tail p-value whose
// per-character probability depends on the ancestor's depth, and all pair
// p-values combined by Simes' method.
//
// The pairs are never listed one by one (see pair_blocks.hpp): everything is
// reduced to a histogram (count, depth) -> pairs, and each distinct
// (count, depth) gets its p-value once.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "measures/characters/character_states.hpp"
#include "measures/model_defaults.hpp"
#include "measures/phs/pair_blocks.hpp"
#include "runtime/pool.hpp"
#include "tree/tree.hpp"

namespace cladorix {

struct PhsResult {
  double phs_score = 1.0;
  uint64_t total_pairs = 0;
  double computation_time_ms = 0.0;
  const char* method_used;  // one of the kPhs* labels
  uint64_t parallel_chunks_used = 1;
};

// The pair histogram, split into pieces of `piece` compared pairs on `pool`,
// or computed on the calling thread alone when `pool` is null. The result
// (sorted by (count, depth), equal keys merged) does not depend on the split.
std::vector<PairBin> count_pair_bins(const PhsPairBlocks& data, WorkerPool* pool, uint64_t piece);

// -ln(1 - E/N) over every entry of the matrix, N the entries not missing and
// E those neither missing nor unedited; the default rate when N is 0.
double estimate_mutation_rate(const CharacterMatrix& matrix, int32_t missing_state,
                              int32_t unedited_state);

// The per-character homoplasy probability for an ancestor at depth d (raw
// edges from the root), capped at 1.
double homoplasy_probability(double lambda, double q, double d);

// The binomial tail p-value of a pair with count c under an ancestor at
// depth d (a = number of characters).
double phs_pair_pvalue(double lambda, double q, uint64_t c, double d, uint64_t a);

// The score of a pair histogram (a = number of characters).
double phs_score_from_bins(double lambda, double q, const std::vector<PairBin>& bins, uint64_t a);

// The whole computation behind the Python function. The states map must
// outlive the call.
PhsResult phs_optimized(const Tree& tree, CharacterMatrix matrix,
                        const InternalStates& internal_states, const CharacterModel& model,
                        std::optional<uint64_t> max_threads);

}  // namespace cladorix
