// Interruptible calls: the cancellation check the binding gives the core.
//
// Python runs signal handlers (KeyboardInterrupt for Ctrl-C) only when the
// interpreter gets to it, never inside a C call. While a computation runs,
// these checks look for pending signals on the core's behalf; a handler
// that raises stops the computation (the core unwinds with Cancelled), and
// the call ends with the handler's exception.
#pragma once

#include <cstdint>

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

// Conversions of huge arguments hold the lock and run no core loop: they
// look for pending signals (Ctrl-C) every so many items, so that they can be
// interrupted. Throws ErrorAlreadySet with the handler's exception.
class SignalPoll {
 public:
  void tick(uint64_t items = 1) {
    left_ -= static_cast<int64_t>(items);
    if (left_ <= 0) [[unlikely]] {
      left_ = kItems;
      if (PyErr_CheckSignals() != 0) throw_error_set();
    }
  }

 private:
  static constexpr int64_t kItems = int64_t{1} << 16;
  int64_t left_ = kItems;
};

// Records the main thread; called once from module initialisation.
void record_main_thread();

}  // namespace cladorix::py
