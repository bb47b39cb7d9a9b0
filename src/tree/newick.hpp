// The Newick reader and its one reported error.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "tree/tree.hpp"
#include "util/errors.hpp"
#include "util/texts.hpp"

namespace cladorix {

// The Newick reader's only error: a ")" or "," with no open "(" before it.
// `idx` counts characters of the text after white space was removed.
class NewickError : public std::exception {
 public:
  explicit NewickError(uint64_t idx)
      : idx_(idx),
        debug_(texts::kNewickErrorPrefix + std::to_string(idx) + texts::kNewickErrorSuffix) {}
  uint64_t idx() const noexcept { return idx_; }
  // The form every parse-failure message ends with.
  const std::string& debug_form() const noexcept { return debug_; }
  const char* what() const noexcept override { return debug_.c_str(); }

 private:
  uint64_t idx_;
  std::string debug_;
};

// A name or branch length that runs to the end of the text. The original
// functions report it as an internal failure (its message is theirs); the
// others as a parse error at `idx`, where the token starts (counted as
// NewickError counts).
class NewickRunOff : public InternalError {
 public:
  NewickRunOff(const char* what, uint64_t idx) : InternalError(what), idx_(idx) {}
  uint64_t idx() const noexcept { return idx_; }
  // The message with its position, as a parse error reports it.
  std::string parse_error() const {
    return std::string(what()) + " from position " + std::to_string(idx_) +
           " (a tree ends with ';')";
  }

 private:
  uint64_t idx_;
};

// Reads Newick text (UTF-8). Throws NewickError for a ")" or "," without an
// open "(", NewickRunOff for a name or branch length running off the end.
Tree from_newick(std::string_view text);

}  // namespace cladorix
