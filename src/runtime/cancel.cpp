#include "runtime/cancel.hpp"

#include <ctime>

namespace cladorix {
namespace {

thread_local CancelCheck t_check;
thread_local int64_t t_last_ns = 0;  // when the check last ran

int64_t now_ns() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void run_check() {
  t_last_ns = now_ns();
  if (t_check.should_stop(t_check.context)) throw Cancelled();
}

}  // namespace

void CancelPoller::refill() {
  budget_ = kBudget;
  if (t_check && now_ns() - t_last_ns >= kCancelCheckIntervalNs) run_check();
}

void check_cancel_now() {
  if (t_check) run_check();
}

CancelCheck current_cancel_check() noexcept { return t_check; }

CancelScope::CancelScope(CancelCheck check) noexcept : saved_(t_check), saved_last_ns_(t_last_ns) {
  t_check = check;
  t_last_ns = now_ns();
}

CancelScope::~CancelScope() {
  t_check = saved_;
  t_last_ns = saved_last_ns_;
}

}  // namespace cladorix
