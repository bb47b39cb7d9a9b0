// The Python functions that read tree files (see tree_files.cpp).
#pragma once

#include "binding/declare.hpp"

namespace cladorix::py {

extern const FunctionDef kReadTrees;
extern const FunctionDef kIterTrees;
extern const FunctionDef kReadTree;

}  // namespace cladorix::py
