// Error types shared by the core. The binding layer translates them, once,
// into Python exceptions; nothing here knows about Python.
#pragma once

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

// A computation stopped because the caller's cancellation check asked it to
// (see runtime/cancel.hpp). Whoever installed the check knows why: the
// binding has already set the Python exception.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "computation cancelled"; }
};

[[noreturn]] inline void fail(const std::string& message) { throw InternalError(message); }

}  // namespace cladorix
