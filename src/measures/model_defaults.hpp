// The irreversible CRISPR-Cas9 editing model's parameters as a caller gives
// them, and what stands in for those left out. Shared by the parsimony
// p-value, the likelihood and the pairwise homoplasy score.
#pragma once

#include <cstdint>
#include <optional>

namespace cladorix {

// Parameters are never validated: out-of-range values flow into the formulas.
struct CharacterModel {
  std::optional<double> mutation_rate;          // edits per edge (lambda)
  std::optional<double> collision_probability;  // q
  int32_t missing_state = -1;
  int32_t unedited_state = 0;
};

// Edits per edge (lambda).
inline constexpr double kDefaultMutationRate = 0.1;
// Chance that two independent edits of one site are the same edit (q).
inline constexpr double kDefaultCollisionProbability = 0.1;
// 1 - exp(-kDefaultMutationRate), the per-edge edit probability it implies,
// written out so that it is a compile-time constant.
inline constexpr double kDefaultEditProbability = 0.09516258196404048;

}  // namespace cladorix
