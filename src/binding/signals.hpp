// Interruptible calls: the cancellation check the binding gives the core.
//
// Python runs signal handlers (KeyboardInterrupt for Ctrl-C) only when the
// interpreter gets to it, never inside a C call. While a computation runs,
// these checks look for pending signals on the core's behalf; a handler
// that raises stops the computation (the core unwinds with Cancelled), and
// the call ends with the handler's exception.
#pragma once

#include "binding/py.hpp"
#include "runtime/cancel.hpp"

namespace cladorix::py {

// For a computation that holds the interpreter lock throughout.
class WatchSignals {
 public:
  WatchSignals() noexcept;

 private:
  CancelScope scope_;
};

// Releases the interpreter lock for its lifetime (the computation must not
// touch Python objects meanwhile) and, on the main thread, the only one that
// runs signal handlers, takes the lock back briefly for each check.
class ReleaseLock {
 public:
  ReleaseLock() noexcept;
  ~ReleaseLock();
  ReleaseLock(const ReleaseLock&) = delete;
  ReleaseLock& operator=(const ReleaseLock&) = delete;

 private:
  PyThreadState* saved_;
  CancelScope scope_;
};

// Records the main thread; called once from module initialisation.
void record_main_thread();

}  // namespace cladorix::py
