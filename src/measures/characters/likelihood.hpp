// Log-likelihood of a tree for a character matrix under irreversible
// CRISPR-Cas9 editing (every edge of length 1), and the relative likelihood
// distance between a reconstructed and a ground-truth tree.
#pragma once

#include <cstdint>
#include <vector>

#include "measures/characters/character_states.hpp"
#include "measures/model_defaults.hpp"
#include "tree/tree.hpp"

namespace cladorix {

struct LikelihoodResult {
  double log_likelihood = 0.0;
  double likelihood = 1.0;
  double computation_time_ms = 0.0;
  const char* method_used = "";  // texts::kLikelihoodModel or kLikelihoodEmpty
  uint64_t n_characters = 0;
  uint64_t n_leaves = 0;
};

// Empty data (no rows, an empty first row, or no leaves) gives "empty_data"
// before any parameter is read. Otherwise lambda and q default to the
// model defaults; parameters are not validated.
LikelihoodResult likelihood(const Tree& tree, const CharacterMatrix& matrix,
                            const InternalStates* internal_states, const CharacterModel& model);

struct LikelihoodDistanceResult {
  double likelihood_distance = 0.0;
};

// max(g / r - 1, 0) for the reconstructed (r) and ground-truth (g)
// log-likelihoods on the same matrix; +inf when r is exactly 0, 0 when the
// quotient is NaN.
LikelihoodDistanceResult likelihood_distance(const Tree& reconstructed, const Tree& ground_truth,
                                             const CharacterMatrix& matrix,
                                             const InternalStates* states_reconstructed,
                                             const InternalStates* states_ground_truth,
                                             const CharacterModel& model);

// The distance rule alone, from the two log-likelihoods.
double relative_likelihood_distance(double r, double g);

}  // namespace cladorix
