// Cooperative cancellation of long computations.
//
// The core never sees Python: whoever starts a computation may install a
// check for the calling thread (the binding's looks for pending Python
// signals). Long loops tick a CancelPoller with a rough count of the work
// done; it costs a subtraction until a budget of work is spent, then reads
// the monotonic clock and runs the check about every
// kCancelCheckIntervalNs. A check that asks to stop makes the poller throw
// Cancelled, which unwinds the computation (everything it built is freed on
// the way) to whoever installed the check. Worker threads of the pool get a
// check of their own that reports whether the operation they serve is
// being abandoned.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "util/errors.hpp"

namespace cladorix {

// How often, at most, a check runs (and so how late a stop can be seen).
inline constexpr int64_t kCancelCheckIntervalNs = 10'000'000;

// Asked whether the computation should stop; `context` is the caller's.
struct CancelCheck {
  bool (*should_stop)(void* context) = nullptr;
  void* context = nullptr;
  explicit operator bool() const noexcept { return should_stop != nullptr; }
};

// Counts work against a budget held in the loop's own frame, so that a tick
// is a subtraction and a predictable branch. When the budget (about a
// quarter of a millisecond of tight loop, counting a unit as a nanosecond)
// runs out, it reads the clock and runs the calling thread's check if the
// interval has passed. Throws Cancelled when the check asks to stop.
class CancelPoller {
 public:
  static constexpr int64_t kBudget = int64_t{1} << 18;

  void tick(uint64_t work = 1) {
    budget_ -= static_cast<int64_t>(work);
    if (budget_ < 0) [[unlikely]]
      refill();
  }

 private:
  [[gnu::cold]] void refill();
  int64_t budget_ = kBudget;
};

// Grows (or shrinks) `v` to n elements, new ones equal to `value` (or
// value-initialised, which fills with zeros at memset speed), polling as it
// goes: the first touch of fresh memory costs page faults, some
// milliseconds per ten megabytes, which one large resize would spend
// between two polls.
template <class T, class... Value>
void resize_polled(std::vector<T>& v, size_t n, const Value&... value) {
  static_assert(sizeof...(Value) <= 1);
  constexpr size_t kSlice = (size_t{1} << 18) / sizeof(T);
  if (n > v.size()) v.reserve(n);
  CancelPoller poll;
  while (v.size() < n) {
    v.resize(std::min(n, v.size() + kSlice), value...);
    poll.tick(kSlice * sizeof(T) / 2);
  }
  v.resize(n);
}

// Runs the installed check now, whatever the budget (for waits).
void check_cancel_now();

// The calling thread's check, or an empty one.
CancelCheck current_cancel_check() noexcept;

// Installs `check` for the calling thread while it lives, restoring the
// previous one afterwards (scopes nest).
class CancelScope {
 public:
  explicit CancelScope(CancelCheck check) noexcept;
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

 private:
  CancelCheck saved_;
  int64_t saved_last_ns_;
};

}  // namespace cladorix
