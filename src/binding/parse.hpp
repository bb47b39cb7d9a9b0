// Newick arguments become trees here, with the parse error named by the
// tree's role (one of the texts::kParse* prefixes), raised as ValueError.
#pragma once

#include <string>
#include <string_view>

#include "tree/newick.hpp"
#include "util/errors.hpp"

namespace cladorix::py {

inline Tree parse_tree(std::string_view text, const char* role_prefix) {
  try {
    return from_newick(text);
  } catch (const NewickError& e) {
    throw CallerError(std::string(role_prefix) + e.debug_form());
  }
}

}  // namespace cladorix::py
