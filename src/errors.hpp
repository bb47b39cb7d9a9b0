// Error types shared by the core. The binding layer translates them, once,
// into Python exceptions; nothing here knows about Python.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace cladorix {

// A failure the caller caused with valid-typed but unusable input
// (surfaces as ValueError).
class CallerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A broken internal check: an index out of range, an absent value, an
// explicit abort (surfaces as the module's PanicException).
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& message) { throw InternalError(message); }

// The Newick reader's only error: a ")" or "," with no open "(" before it.
// `idx` counts characters of the text after white space was removed.
class NewickError : public std::exception {
 public:
  explicit NewickError(uint64_t idx)
      : idx_(idx),
        debug_("Custom { kind: InvalidData, error: InvalidCharacter { idx: " + std::to_string(idx) +
               " } }") {}
  uint64_t idx() const noexcept { return idx_; }
  // The form every parse-failure message ends with.
  const std::string& debug_form() const noexcept { return debug_; }
  const char* what() const noexcept override { return debug_.c_str(); }

 private:
  uint64_t idx_;
  std::string debug_;
};

}  // namespace cladorix
