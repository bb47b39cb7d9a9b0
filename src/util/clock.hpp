// Monotonic run-time measurement for the `computation_time_ms` results.
#pragma once

#include <ctime>

namespace cladorix {

struct Instant {
  long long sec = 0;
  long long nsec = 0;
};

inline Instant monotonic_now() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return Instant{static_cast<long long>(ts.tv_sec), static_cast<long long>(ts.tv_nsec)};
}

// (whole seconds + nanoseconds / 1e9) * 1000, or 0 when the clock went backwards.
inline double elapsed_ms(Instant start, Instant end) noexcept {
  long long sec = end.sec - start.sec;
  long long nsec = end.nsec - start.nsec;
  if (nsec < 0) {
    nsec += 1000000000LL;
    sec -= 1;
  }
  if (sec < 0) return 0.0;
  return (static_cast<double>(sec) + static_cast<double>(nsec) / 1000000000.0) * 1000.0;
}

}  // namespace cladorix
