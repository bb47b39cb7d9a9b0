// The caller errors of the exact count, worded once for either tree
// (`role` is "tree1" or "tree2").
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tree/tree.hpp"
#include "util/errors.hpp"

namespace cladorix::exact {

// Built by appending: GCC 12 warns falsely on "'" + std::string(...) (bug 105329).
inline std::string quoted(std::string_view name) {
  std::string s;
  s.reserve(name.size() + 2);
  s += '\'';
  s += name;
  s += '\'';
  return s;
}

inline void check_one_tree(const Tree& tree, const char* role) {
  if (!tree.fully_connected())
    throw CallerError(std::string(role) +
                      " is not one rooted tree: an opening parenthesis is never closed");
}

inline void check_named_leaves(const Tree& tree, const std::vector<NodeId>& leaves,
                               const char* role) {
  for (size_t k = 0; k < leaves.size(); ++k)
    if (!tree.has_name(leaves[k]))
      throw CallerError(std::string(role) + " has a leaf without a name (leaf " +
                        std::to_string(k + 1) + " in text order)");
}

[[noreturn]] inline void duplicate_leaf(const char* role, std::string_view name) {
  std::string message = role;
  message += " has more than one leaf named ";
  message += quoted(name);
  throw CallerError(message);
}

[[noreturn]] inline void missing_leaf(std::string_view name, const char* from, const char* in) {
  std::string message = "leaf ";
  message += quoted(name);
  message += " of ";
  message += from;
  message += " is missing from ";
  message += in;
  throw CallerError(message);
}

}  // namespace cladorix::exact
