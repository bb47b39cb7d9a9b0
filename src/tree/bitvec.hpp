// Packed bit vector in 64-bit words, compared and hashed by content.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "util/errors.hpp"

namespace cladorix {

class BitVec {
 public:
  static BitVec from_zeros(uint64_t n) { return BitVec(n, false); }
  static BitVec from_ones(uint64_t n) { return BitVec(n, true); }

  uint64_t len() const noexcept { return len_; }
  const std::vector<uint64_t>& words() const noexcept { return words_; }

  bool get(uint64_t i) const {
    if (i >= len_) fail("bit index out of range");
    return (words_[i >> 6] >> (i & 63)) & 1u;
  }
  void flip(uint64_t i) {
    if (i >= len_) fail("bit index out of range");
    words_[i >> 6] ^= uint64_t{1} << (i & 63);
  }
  void or_assign(const BitVec& other) {
    for (size_t w = 0; w < words_.size(); ++w) words_[w] |= other.words_[w];
  }
  void xor_assign(const BitVec& other) {
    for (size_t w = 0; w < words_.size(); ++w) words_[w] ^= other.words_[w];
  }

  bool operator==(const BitVec& other) const noexcept {
    return len_ == other.len_ && words_ == other.words_;
  }

  size_t hash() const noexcept {
    uint64_t h = 0x9E3779B97F4A7C15ULL ^ words_.size();
    for (uint64_t w : words_) {
      h ^= w + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
      h *= 0xff51afd7ed558ccdULL;
    }
    return static_cast<size_t>(h ^ len_);
  }

 private:
  BitVec(uint64_t n, bool ones) : words_((n + 63) / 64, ones ? ~uint64_t{0} : 0), len_(n) {
    if (ones && (n & 63)) words_.back() = (uint64_t{1} << (n & 63)) - 1;
  }

  std::vector<uint64_t> words_;
  uint64_t len_;
};

struct BitVecHash {
  size_t operator()(const BitVec& v) const noexcept { return v.hash(); }
};

}  // namespace cladorix
