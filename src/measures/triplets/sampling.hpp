// The one sampling loop of the triplet variants, and the one place where a
// call's random source is keyed.
#pragma once

#include <cstdint>
#include <optional>

#include "measures/triplets/counters.hpp"
#include "runtime/cancel.hpp"
#include "runtime/random.hpp"

namespace cladorix {

// From the seed when the caller gave one, otherwise from the operating
// system (InternalError "from_entropy failed: ..." when it cannot).
inline RandomSource triplet_random_source(std::optional<uint64_t> seed) {
  return seed ? RandomSource::from_seed_u64(*seed) : RandomSource::from_entropy();
}

// `trials` draws of three distinct positions out of n (n >= 3), each handed
// to judge(positions, counters), which updates the counters (or leaves them
// alone for a trial it skips). Polls for cancellation.
template <class Judge>
TripletCounters sample_triplets(RandomSource& rng, uint32_t n, uint64_t trials, Judge&& judge) {
  TripletCounters c;
  CancelPoller poll;
  // Blocks of trials with no poll inside: a trial is some tens of
  // nanoseconds, so even a per-trial branch would show.
  constexpr uint64_t kBlock = 1024;
  for (uint64_t t = 0; t < trials;) {
    const uint64_t end = trials - t > kBlock ? t + kBlock : trials;
    for (; t < end; ++t) {
      uint32_t pos[3];
      sample3(rng, n, pos);
      judge(pos, c);
    }
    poll.tick(kBlock * 64);
  }
  return c;
}

}  // namespace cladorix
