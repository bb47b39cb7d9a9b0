// Small parsimony under irreversible CRISPR-Cas9 editing: the number of
// (edge, character) pairs where the parent is unedited and the child carries
// an edit, with internal states given or inferred; and its p-value against a
// Poisson expectation.
#pragma once

#include <cstdint>
#include <optional>

#include "measures/characters/character_states.hpp"
#include "measures/model_defaults.hpp"
#include "tree/tree.hpp"
#include "util/texts.hpp"

namespace cladorix {

struct ParsimonyResult {
  uint64_t parsimony_score = 0;
  uint64_t total_mutations = 0;  // the same count again
  double computation_time_ms = 0.0;
  const char* method_used = "";  // texts::kParsimonyProvided or kParsimonyInferred
  bool internal_states_inferred = false;
};

// `internal_states` == nullptr: infer the internal states (root forced
// unedited when named); otherwise count with the given states unchanged.
ParsimonyResult parsimony(const Tree& tree, const CharacterMatrix& matrix,
                          const InternalStates* internal_states, int32_t missing_state,
                          int32_t unedited_state);

// First cuts over every edge (every node that has a parent): characters below
// the shorter of the two lists where the parent is unedited and the child is
// neither unedited nor missing. `states` is built over `leaf_rows.classes()`.
uint64_t count_total_mutations(const Tree& tree, const CharacterMatrix& matrix,
                               const LeafRowIndex& leaf_rows, const StatesView& states,
                               int32_t missing_state, int32_t unedited_state);

struct ParsimonyPValueResult {
  double p_value = 0.0;
  uint64_t parsimony_score = 0;
  double computation_time_ms = 0.0;
  const char* method_used = texts::kPValueMethod;
};

// P(X >= score) for X ~ Poisson(mu), mu = mutation_rate * (leaves - 1);
// `mutation_rate` defaults to kDefaultMutationRate.
// (The model's collision probability plays no part.)
ParsimonyPValueResult parsimony_p_value(const Tree& tree, const CharacterMatrix& matrix,
                                        const InternalStates* internal_states,
                                        const CharacterModel& model);

}  // namespace cladorix
