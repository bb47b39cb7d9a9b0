// Seeded random source: ChaCha with 12 rounds as a block generator (64-bit
// counter, 64-bit stream id), read through a buffer of four blocks, keyed
// from a 64-bit seed expanded by PCG32 or from operating-system entropy.
#pragma once

#include <cstdint>
#include <vector>

namespace cladorix {

class RandomSource {
 public:
  static RandomSource from_seed_u64(uint64_t seed);
  // Throws InternalError("from_entropy failed: ...") when the OS cannot supply 32 bytes.
  static RandomSource from_entropy();
  // Key given directly (eight little-endian words); counter and stream start at 0.
  static RandomSource from_key(const uint32_t key[8]);

  uint32_t next_u32();
  uint64_t next_u64();

  // Buffer position, 0..64 (64: used up). Exposed for tests of the boundaries.
  unsigned index() const noexcept { return index_; }

 private:
  RandomSource() = default;
  void refill();

  uint32_t key_[8] = {};
  uint64_t counter_ = 0;
  uint64_t stream_ = 0;
  uint32_t buffer_[64] = {};
  unsigned index_ = 64;
};

// One ChaCha block (16 words) for the given key, counter and stream, with
// `rounds` rounds (12 for the generator; 20 only to check the layout).
void chacha_block(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                  uint32_t out[16]);

// Unbiased integer in [0, high] by widening multiplication and rejection.
uint32_t uniform_inclusive_u32(RandomSource& rng, uint32_t high);

// `amount` distinct positions in [0, length), in Floyd's order (rejection into
// a set for lengths of 2^32 or more). Throws InternalError when amount > length.
std::vector<uint64_t> sample_indices(RandomSource& rng, uint64_t length, uint64_t amount);

// sample_indices(rng, length, 3) for 3 <= length < 2^32, without allocating:
// the same draws and the same order.
void sample3(RandomSource& rng, uint32_t length, uint32_t out[3]);

}  // namespace cladorix
