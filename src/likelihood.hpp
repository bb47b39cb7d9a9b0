// Log-likelihood of a tree for a character matrix under irreversible
// CRISPR-Cas9 editing (every edge of length 1), and the relative likelihood
// distance between a reconstructed and a ground-truth tree.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "character_states.hpp"
#include "tree/tree.hpp"

namespace cladorix {

// 1 - exp(-0.1): p_edit when no mutation rate is given.
inline constexpr double kDefaultEditProbability = 0.09516258196404048;

struct LikelihoodResult {
  double log_likelihood = 0.0;
  double likelihood = 1.0;
  double computation_time_ms = 0.0;
  const char* method_used = "";  // "crispr_cas9_model" or "empty_data"
  uint64_t n_characters = 0;
  uint64_t n_leaves = 0;
};

// The states of `node`, copied: none for an unnamed node; its matrix row when
// its name is a leaf name whose position has a row; else the entry of
// `states` (nullptr: none); else none. Views `states` afresh on every call;
// loops over many nodes use node_states() with one StatesView instead.
std::vector<int32_t> get_node_states_likelihood(const SimpleRootedTree& tree, NodeId node,
                                                const LeafRowIndex& leaf_rows,
                                                const CharacterMatrix& matrix,
                                                const InternalStates* states);

// The likelihood's own inference; the same rules, and results, as parsimony's.
inline InferredStates infer_ml_states(const SimpleRootedTree& tree, const LeafRowIndex& leaf_rows,
                                      const CharacterMatrix& matrix, int32_t missing_state,
                                      int32_t unedited_state) {
  return infer_states(tree, leaf_rows, matrix, missing_state, unedited_state);
}

// Empty data (no rows, an empty first row, or no leaves) gives "empty_data"
// before any parameter is read. Otherwise lambda defaults to 0.1 and q to
// 0.1; parameters are not validated.
LikelihoodResult calculate_likelihood(const SimpleRootedTree& tree, const CharacterMatrix& matrix,
                                      const InternalStates* internal_states,
                                      std::optional<double> mutation_rate,
                                      std::optional<double> collision_probability,
                                      int32_t missing_state, int32_t unedited_state);

struct LikelihoodDistanceResult {
  double likelihood_distance = 0.0;
};

// max(g / r - 1, 0) for the reconstructed (r) and ground-truth (g)
// log-likelihoods on the same matrix; +inf when r is exactly 0, 0 when the
// quotient is NaN.
LikelihoodDistanceResult likelihood_distance(const SimpleRootedTree& reconstructed,
                                             const SimpleRootedTree& ground_truth,
                                             const CharacterMatrix& matrix,
                                             const InternalStates* states_reconstructed,
                                             const InternalStates* states_ground_truth,
                                             std::optional<double> mutation_rate,
                                             std::optional<double> collision_probability,
                                             int32_t missing_state, int32_t unedited_state);

// The distance rule alone, from the two log-likelihoods.
double relative_likelihood_distance(double r, double g);

}  // namespace cladorix
