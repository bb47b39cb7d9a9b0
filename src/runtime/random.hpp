// Seeded random source: ChaCha with 12 rounds as a block generator (64-bit
// counter, 64-bit stream id), read through a buffer of four blocks, keyed
// from a 64-bit seed expanded by PCG32 or from operating-system entropy.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cladorix {

class RandomSource {
 public:
  static RandomSource from_seed_u64(uint64_t seed);
  // Throws InternalError("from_entropy failed: ...") when the OS cannot supply 32 bytes.
  static RandomSource from_entropy();
  // Key given directly (eight little-endian words); counter and stream start at 0.
  static RandomSource from_key(const uint32_t key[8]);

  // Inline: the triplet samplers draw a few words per trial, millions of times.
  uint32_t next_u32() {
    if (index_ >= 64) [[unlikely]] {
      refill();
    }
    return buffer_[index_++];
  }
  uint64_t next_u64();

  // Buffer position, 0..64 (64: used up). Exposed for tests of the boundaries.
  unsigned index() const noexcept { return index_; }

 private:
  RandomSource() = default;
  void refill();

  uint32_t key_[8] = {};
  uint64_t counter_ = 0;  // counter of the first block of the next refill
  uint64_t stream_ = 0;
  // Words 0..63 are the buffer. When ahead_ is set, 64..127 hold the four
  // blocks that follow it, computed together with it by the eight-block path.
  uint32_t buffer_[128] = {};
  unsigned index_ = 64;
  bool ahead_ = false;
};

// An unbiased integer in [0, range) by widening multiplication and
// rejection; range must not be 0.
inline uint32_t uniform_below_nonzero_u32(RandomSource& rng, uint32_t range) {
  const uint32_t zone = (range << __builtin_clz(range)) - 1;
  for (;;) {
    const uint64_t p = uint64_t(rng.next_u32()) * range;
    if (uint32_t(p) <= zone) return uint32_t(p >> 32);
  }
}

// Three distinct positions in [0, length), 3 <= length < 2^32, drawn by
// Floyd's method: the draws and the order of the general index sampler for
// an amount of 3, without allocating. Inline because it sits in the innermost
// loop of the triplet samplers.
inline void sample3(RandomSource& rng, uint32_t length, uint32_t out[3]) {
  const uint32_t j0 = length - 3, j1 = length - 2, j2 = length - 1;
  const uint32_t t0 = uniform_below_nonzero_u32(rng, j0 + 1);
  const uint32_t t1 = uniform_below_nonzero_u32(rng, j1 + 1);
  const uint32_t t2 = uniform_below_nonzero_u32(rng, j2 + 1);
  // Floyd's in-place ordering, written as selects: a repeated draw puts j
  // where the earlier equal entry stood and pushes the rest one place back.
  const uint32_t a = t1 == t0 ? j1 : t0;
  const uint32_t b = t1;
  out[0] = t2 == a ? j2 : a;
  out[1] = t2 == a ? a : (t2 == b ? j2 : b);
  out[2] = t2 == a ? b : t2;
}

}  // namespace cladorix
