// The Python functions, in registration order; each is declared once, in
// functions.cpp unless said otherwise (see declare.hpp).
#pragma once

#include "binding/declare.hpp"

namespace cladorix::py {

extern const FunctionDef kTripletsCorrect;
extern const FunctionDef kTripletsCorrectFast;
extern const FunctionDef kTripletsCorrectUltra;
extern const FunctionDef kTripletsCorrectParallel;
extern const FunctionDef kTripletsCorrectOptimized;
extern const FunctionDef kPhsOptimized;
extern const FunctionDef kRobinsonFoulds;
extern const FunctionDef kRobinsonFouldsNormalized;
extern const FunctionDef kParsimonyScore;
extern const FunctionDef kParsimonyPValue;
extern const FunctionDef kLikelihoodScore;
extern const FunctionDef kLikelihoodDistance;
extern const FunctionDef kTripletsCorrectExact;
extern const FunctionDef kLeafNames;
extern const FunctionDef kCutEvents;
// binding/compare.cpp
extern const FunctionDef kCompareToReference;
extern const FunctionDef kCompareAllPairs;
extern const FunctionDef kComparePairs;  // not in __all__: compare_all_pairs' executor tasks

}  // namespace cladorix::py
