// Every fixed text of the core a caller can see: result labels and the
// messages of the errors callers can rely on. Each stands here once, byte for
// byte; messages that carry run-time values are worded where they are raised.
// Texts only the binding shows are in binding/texts.hpp.
#pragma once

namespace cladorix::texts {

// ---- method_used labels -------------------------------------------------------
inline constexpr const char* kRfMethod = "phylo-rs RobinsonFoulds";
inline constexpr const char* kParsimonyProvided = "provided_states";
inline constexpr const char* kParsimonyInferred = "small_mp_inferred";
inline constexpr const char* kPValueMethod = "poisson_approximation";
inline constexpr const char* kLikelihoodModel = "crispr_cas9_model";
inline constexpr const char* kLikelihoodEmpty = "empty_data";
inline constexpr const char* kPhsNoPairs = "no_pairs";
inline constexpr const char* kPhsSequential = "optimized_sequential";
inline constexpr const char* kPhsParallel = "optimized_parallel";
inline constexpr const char* kUltraExhaustive = "exhaustive";
inline constexpr const char* kUltraSampling = "sampling";
inline constexpr const char* kParallelExhaustive = "parallel_exhaustive";
inline constexpr const char* kParallelSampling = "parallel_sampling";
inline constexpr const char* kOptimizedExhaustive = "optimized_exhaustive";
inline constexpr const char* kOptimizedSampling = "optimized_sampling";
inline constexpr const char* kExact = "exact";

// ---- failures ---------------------------------------------------------------------
inline constexpr const char* kUnequalTaxa = "Trees must have the same number of taxa";
inline constexpr const char* kEntropyFailed = "from_entropy failed: ";
inline constexpr const char* kDivideByZero = "attempt to divide by zero";
inline constexpr const char* kNoNamedLeaf = "index out of bounds: the len is 0 but the index is 0";
inline constexpr const char* kTourTooLarge = "input too large for binary rmq";
inline constexpr const char* kPoolNotStarted = "The global thread pool has not been initialized.";
inline constexpr const char* kPoolAbort = "Rayon: detected unexpected panic; aborting\n";

// ---- the Newick reader's error (the binding prefixes the tree's role) ------------
inline constexpr const char* kNewickErrorPrefix =
    "Custom { kind: InvalidData, error: InvalidCharacter { idx: ";
inline constexpr const char* kNewickErrorSuffix = " } }";
}  // namespace cladorix::texts
