#include "runtime/random.hpp"

#include <cstring>

#include "runtime/chacha.hpp"
#include "runtime/entropy.hpp"

namespace cladorix {

// ---- Sources.

RandomSource RandomSource::from_key(const uint32_t key[8]) {
  RandomSource rng;
  for (int i = 0; i < 8; ++i) rng.key_[i] = key[i];
  return rng;
}

RandomSource RandomSource::from_seed_u64(uint64_t seed) {
  // PCG32 with the XSH-RR output, advancing before each output.
  constexpr uint64_t kMul = 0x5851f42d4c957f2dull;
  constexpr uint64_t kInc = 0xa17654e46fbe17f3ull;
  uint32_t key[8];
  uint64_t s = seed;
  for (int i = 0; i < 8; ++i) {
    s = s * kMul + kInc;
    const uint32_t x = uint32_t((s >> 45) ^ (s >> 27));
    const unsigned r = unsigned(s >> 59);
    key[i] = (x >> r) | (x << ((32 - r) & 31));
  }
  return from_key(key);
}

RandomSource RandomSource::from_entropy() {
  unsigned char bytes[32];
  fill_entropy(bytes, sizeof bytes);
  uint32_t key[8];
  for (int i = 0; i < 8; ++i) {
    key[i] = uint32_t(bytes[4 * i]) | uint32_t(bytes[4 * i + 1]) << 8 |
             uint32_t(bytes[4 * i + 2]) << 16 | uint32_t(bytes[4 * i + 3]) << 24;
  }
  return from_key(key);
}

void RandomSource::refill() {
  static const bool use_avx2 = random_detail::cpu_has_avx2();
  if (ahead_) {
    std::memcpy(buffer_, buffer_ + 64, 64 * sizeof(uint32_t));
    ahead_ = false;
  } else if (use_avx2) {
    // Eight blocks for the price of little more than four: keep the second
    // four for the next refill.
    random_detail::chacha_x8_avx2(key_, counter_, stream_, 12, buffer_);
    ahead_ = true;
  } else {
    random_detail::chacha_x4_sse2(key_, counter_, stream_, 12, buffer_);
  }
  counter_ += 4;
  index_ = 0;
}

uint64_t RandomSource::next_u64() {
  uint32_t lo, hi;
  if (index_ < 63) {
    lo = buffer_[index_];
    hi = buffer_[index_ + 1];
    index_ += 2;
  } else if (index_ == 63) {
    lo = buffer_[63];
    refill();
    hi = buffer_[0];
    index_ = 1;
  } else {
    refill();
    lo = buffer_[0];
    hi = buffer_[1];
    index_ = 2;
  }
  return uint64_t(hi) << 32 | lo;
}

}  // namespace cladorix
