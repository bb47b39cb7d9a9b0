// Parameters of the irreversible CRISPR-Cas9 editing model when the caller
// gives none. Shared by the parsimony p-value, the likelihood and the
// pairwise homoplasy score.
#pragma once

namespace cladorix {

// Edits per edge (lambda).
inline constexpr double kDefaultMutationRate = 0.1;
// Chance that two independent edits of one site are the same edit (q).
inline constexpr double kDefaultCollisionProbability = 0.1;
// 1 - exp(-kDefaultMutationRate), the per-edge edit probability it implies,
// written out so that it is a compile-time constant.
inline constexpr double kDefaultEditProbability = 0.09516258196404048;

}  // namespace cladorix
