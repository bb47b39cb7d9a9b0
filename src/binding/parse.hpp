// Newick arguments become trees here, with the parse error named by the
// tree's role (one of the msg::kParse* prefixes), raised as ValueError.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binding/texts.hpp"
#include "runtime/pool.hpp"
#include "tree/newick.hpp"
#include "util/errors.hpp"

namespace cladorix::py {

inline Tree parse_tree(std::string_view text, const char* role_prefix,
                       bool run_off_is_parse_error = false) {
  try {
    return from_newick(text);
  } catch (const NewickError& e) {
    throw CallerError(std::string(role_prefix) + e.debug_form());
  } catch (const NewickRunOff& e) {
    if (!run_off_is_parse_error) throw;
    throw CallerError(std::string(role_prefix) + e.parse_error());
  }
}

// Both trees of a two-tree function, on two workers of the pool when asked:
// the failures are the sequential ones (tree 1's first; tree 2's only when
// tree 1 parsed). The workers never touch Python, lock held or not.
inline std::pair<Tree, Tree> parse_two_trees(std::string_view text1, std::string_view text2,
                                             bool on_pool, bool run_off_is_parse_error) {
  if (!on_pool) {
    Tree t1 = parse_tree(text1, msg::kParseTree1, run_off_is_parse_error);
    return {std::move(t1), parse_tree(text2, msg::kParseTree2, run_off_is_parse_error)};
  }
  std::optional<Tree> trees[2];
  std::exception_ptr errors[2];
  WorkerPool::global().run(2, [&](size_t i) {
    try {
      trees[i] = parse_tree(i == 0 ? text1 : text2, i == 0 ? msg::kParseTree1 : msg::kParseTree2,
                            run_off_is_parse_error);
    } catch (...) {
      errors[i] = std::current_exception();
    }
  });
  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
  return {std::move(*trees[0]), std::move(*trees[1])};
}

}  // namespace cladorix::py
