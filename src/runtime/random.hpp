// Seeded random source: ChaCha with 12 rounds as a block generator (64-bit
// counter, 64-bit stream id), read through a buffer of four blocks, keyed
// from a 64-bit seed expanded by PCG32 or from operating-system entropy.
#pragma once

#include <cstddef>
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
  uint64_t counter_ = 0;
  uint64_t stream_ = 0;
  uint32_t buffer_[64] = {};
  unsigned index_ = 64;
};

// One ChaCha block (16 words) for the given key, counter and stream, with
// `rounds` rounds (12 for the generator; 20 only to check the layout).
// This is the reference every faster path must match.
void chacha_block(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                  uint32_t out[16]);

// Unbiased integer in [0, high] by widening multiplication and rejection.
uint32_t uniform_inclusive_u32(RandomSource& rng, uint32_t high);

// `amount` distinct positions in [0, length), in Floyd's order (rejection into
// a set for lengths of 2^32 or more). Throws InternalError when amount > length.
std::vector<uint64_t> sample_indices(RandomSource& rng, uint64_t length, uint64_t amount);

// The draw of uniform_inclusive_u32 for a range (= high + 1) that is not 0.
inline uint32_t uniform_below_nonzero_u32(RandomSource& rng, uint32_t range) {
  const uint32_t zone = (range << __builtin_clz(range)) - 1;
  for (;;) {
    const uint64_t p = uint64_t(rng.next_u32()) * range;
    if (uint32_t(p) <= zone) return uint32_t(p >> 32);
  }
}

// sample_indices(rng, length, 3) for 3 <= length < 2^32, without allocating:
// the same draws and the same order. Inline because it sits in the innermost
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

// The block paths, exposed so that tests can hold each against the reference.
namespace random_detail {

// Four consecutive blocks (counters c .. c+3, modulo 2^64) into 64 words.
void chacha_x4_scalar(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                      uint32_t out[64]);
void chacha_x4_sse2(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                    uint32_t out[64]);
// Only to be called when cpu_has_avx2().
void chacha_x4_avx2(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                    uint32_t out[64]);
bool cpu_has_avx2();

// The device-file route of from_entropy, callable directly so that it can be
// exercised on kernels where getrandom works.
void fill_from_device_files(unsigned char* dst, size_t len);

}  // namespace random_detail

}  // namespace cladorix
