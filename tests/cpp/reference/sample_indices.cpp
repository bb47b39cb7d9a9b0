#include "reference/sample_indices.hpp"

#include <unordered_set>

#include "util/errors.hpp"

namespace cladorix::reference {

uint32_t uniform_inclusive_u32(RandomSource& rng, uint32_t high) {
  const uint32_t range = high + 1;
  if (range == 0) return rng.next_u32();
  return uniform_below_nonzero_u32(rng, range);
}

std::vector<uint64_t> sample_indices(RandomSource& rng, uint64_t length, uint64_t amount) {
  if (amount > length) fail("`amount` of samples must be less than or equal to `length`");
  std::vector<uint64_t> out;
  out.reserve(amount);
  if (length <= 0xffffffffull) {
    // Floyd's method; inserting j where its duplicate stood keeps the order uniform.
    for (uint64_t j = length - amount; j < length; ++j) {
      const uint64_t t = uniform_inclusive_u32(rng, uint32_t(j));
      auto it = out.begin();
      while (it != out.end() && *it != t) ++it;
      if (it != out.end()) {
        out.insert(it, j);
      } else {
        out.push_back(t);
      }
    }
    return out;
  }
  // Rejection into a set, with a 64-bit bounded draw.
  const uint64_t range = length;
  const uint64_t zone = ~uint64_t(0) - (uint64_t(0) - range) % range;
  std::unordered_set<uint64_t> seen;
  seen.reserve(amount);
  for (uint64_t i = 0; i < amount; ++i) {
    for (;;) {
      const unsigned __int128 p = static_cast<unsigned __int128>(rng.next_u64()) * range;
      if (uint64_t(p) > zone) continue;
      const uint64_t v = uint64_t(p >> 64);
      if (seen.insert(v).second) {
        out.push_back(v);
        break;
      }
    }
  }
  return out;
}
}  // namespace cladorix::reference
