// Every fixed text only the binding shows: the tree-role prefixes of parse
// failures, the module's names and the argument-conversion messages. Each
// stands here once, byte for byte.
#pragma once

namespace cladorix::py::msg {

// ---- Newick parse failures (ValueError): role prefix + the reader's error ------
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
inline constexpr const char* kTargetBool = "PyBool";
inline constexpr const char* kMissingInTable =
    "missing value <NA> at row %zd, column %zd: a character matrix holds integers only (fill "
    "missing values first, for example with missing_state)";  // row, column
inline constexpr const char* kNoThreads =
    "max_threads must be at least 1 (or None for the whole worker pool)";
inline constexpr const char* kArgumentPrefix = "argument '%s': %U";  // parameter, message

}  // namespace cladorix::py::msg
