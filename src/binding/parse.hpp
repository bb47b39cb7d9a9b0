// Newick arguments become trees here, with the parse error named by the
// tree's role ("Failed to parse tree1: ..."), raised as ValueError.
#pragma once

#include <string>
#include <string_view>

#include "errors.hpp"
#include "tree/tree.hpp"

namespace cladorix::py {

inline constexpr const char* kTree1 = "Failed to parse tree1: ";
inline constexpr const char* kTree2 = "Failed to parse tree2: ";
inline constexpr const char* kTree = "Failed to parse tree: ";
inline constexpr const char* kReconstructed = "Failed to parse reconstructed tree: ";
inline constexpr const char* kGroundTruth = "Failed to parse ground truth tree: ";

inline SimpleRootedTree parse_tree(std::string_view text, const char* role_prefix) {
  try {
    return from_newick(text);
  } catch (const NewickError& e) {
    throw CallerError(std::string(role_prefix) + e.debug_form());
  }
}

}  // namespace cladorix::py
