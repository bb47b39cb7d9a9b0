#include "measures/characters/likelihood.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "measures/model_defaults.hpp"
#include "util/clock.hpp"
#include "util/texts.hpp"

namespace cladorix {

namespace {

// Sum over edges in node-id order; each edge's characters summed on their
// own first. The order is part of the result: other orders differ in the
// last bits.
double edge_log_sum(const Tree& tree, const std::vector<StateSpan>& spans, double log_stay,
                    double log_cut, int32_t missing_state, int32_t unedited_state) {
  // Terms by kind: nothing, stay, cut, forbidden (a lost or changed edit).
  // "Nothing" adds +0.0, which leaves every sum unchanged: an edge sum starts
  // at +0.0 and, rounding to nearest, never becomes -0.0. Adding it instead
  // of branching keeps the loop free of unpredictable jumps.
  const double term[4] = {0.0, log_stay, log_cut, -std::numeric_limits<double>::infinity()};
  double total = 0.0;
  for_each_edge(tree, spans, [&](StateSpan p, StateSpan c, size_t m) {
    double edge = 0.0;
    for (size_t i = 0; i < m; ++i) {
      const int32_t from = p[i];
      const int32_t to = c[i];
      // Flag arithmetic rather than conditionals, so no jumps are emitted.
      const unsigned from_unedited = from == unedited_state;
      const unsigned to_edited = to != unedited_state;
      const unsigned changed = to != from;
      const unsigned observed = (from != missing_state) & (to != missing_state);
      const unsigned kind =
          (from_unedited * (1u + to_edited) + (1u - from_unedited) * 3u * changed) * observed;
      edge += term[kind];
    }
    total = total + edge;
  });
  return total;
}

}  // namespace

LikelihoodResult likelihood(const Tree& tree, const CharacterMatrix& matrix,
                            const InternalStates* internal_states, const CharacterModel& model) {
  const Instant start = monotonic_now();
  LikelihoodResult out;
  uint64_t leaves = 0;
  for (uint32_t kids : tree.child_counts()) leaves += kids == 0;
  out.n_leaves = leaves;
  if (matrix.empty() || matrix[0].empty() || leaves == 0) {
    out.method_used = texts::kLikelihoodEmpty;
    out.log_likelihood = 0.0;
    out.likelihood = 1.0;
    out.computation_time_ms = 0.0;
    out.n_characters = 0;
    return out;
  }

  const size_t n_chars = matrix[0].size();
  const double q = model.collision_probability.value_or(kDefaultCollisionProbability);
  const double p_edit =
      model.mutation_rate ? 1.0 - std::exp(-*model.mutation_rate) : kDefaultEditProbability;
  const double p_stay = 1.0 - p_edit;
  const double p_cut = q * p_edit;
  // log() is a pure function of its argument: taking it once per call gives
  // the same bits as taking it per character.
  const double log_stay = std::log(p_stay);
  const double log_cut = std::log(p_cut);

  // One leaf row index serves both the inference and the lookups.
  const LeafRowIndex leaf_rows(tree);
  double total;
  if (internal_states) {
    const StatesView states(leaf_rows.classes(), *internal_states);
    total = edge_log_sum(tree, resolve_all_node_states(tree, leaf_rows, matrix, states), log_stay,
                         log_cut, model.missing_state, model.unedited_state);
  } else {
    const InferredStates inferred =
        infer_states(tree, leaf_rows, matrix, model.missing_state, model.unedited_state);
    total = edge_log_sum(tree, resolve_all_node_states(tree, leaf_rows, matrix, inferred.states),
                         log_stay, log_cut, model.missing_state, model.unedited_state);
  }

  out.computation_time_ms = elapsed_ms(start, monotonic_now());
  out.method_used = texts::kLikelihoodModel;
  out.log_likelihood = total;
  out.likelihood = std::exp(total);
  out.n_characters = n_chars;
  return out;
}

double relative_likelihood_distance(double r, double g) {
  if (r == 0.0) return std::numeric_limits<double>::infinity();
  const double d = g / r - 1.0;
  return d > 0.0 ? d : 0.0;  // also 0 for a NaN quotient
}

LikelihoodDistanceResult likelihood_distance(const Tree& reconstructed, const Tree& ground_truth,
                                             const CharacterMatrix& matrix,
                                             const InternalStates* states_reconstructed,
                                             const InternalStates* states_ground_truth,
                                             const CharacterModel& model) {
  const double r = likelihood(reconstructed, matrix, states_reconstructed, model).log_likelihood;
  const double g = likelihood(ground_truth, matrix, states_ground_truth, model).log_likelihood;
  return {relative_likelihood_distance(r, g)};
}

}  // namespace cladorix
