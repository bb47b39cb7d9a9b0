// Every fixed text a caller can see: result labels, the messages of the
// errors callers can rely on, and the names the binding gives Python. Each
// stands here once, byte for byte; messages that carry run-time values are
// worded where they are raised.
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

// ---- Newick parse failures (ValueError): role prefix + the reader's error ------
inline constexpr const char* kNewickErrorPrefix =
    "Custom { kind: InvalidData, error: InvalidCharacter { idx: ";
inline constexpr const char* kNewickErrorSuffix = " } }";
inline constexpr const char* kParseTree1 = "Failed to parse tree1: ";
inline constexpr const char* kParseTree2 = "Failed to parse tree2: ";
inline constexpr const char* kParseTree = "Failed to parse tree: ";
inline constexpr const char* kParseReconstructed = "Failed to parse reconstructed tree: ";
inline constexpr const char* kParseGroundTruth = "Failed to parse ground truth tree: ";

// ---- the module and argument conversion ------------------------------------------
inline constexpr const char* kModuleName = "cladorix";
inline constexpr const char* kModuleDoc = "Python module definition";
inline constexpr const char* kSecondInit =
    "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter "
    "process";
inline constexpr const char* kPanicTypeName = "pyo3_runtime.PanicException";
inline constexpr const char* kI32Overflow = "out of range integral type conversion attempted";
inline constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr const char* kCannotConvert =
    "'%s' object cannot be converted to '%s'";  // type, target
inline constexpr const char* kUnknownTypeName = "<failed to extract type name>";
inline constexpr const char* kTargetString = "PyString";
inline constexpr const char* kTargetSequence = "Sequence";
inline constexpr const char* kTargetDict = "PyDict";
inline constexpr const char* kArgumentPrefix = "argument '%s': %U";  // parameter, message

}  // namespace cladorix::texts
