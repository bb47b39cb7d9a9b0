// Hash functions of the open-addressing tables. Only equality of keys ever
// reaches a result, so any well-spread hash works.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace cladorix {

inline uint64_t mix64(uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

inline uint64_t hash_bytes(std::string_view s) noexcept {
  // 64-bit FNV-1a over 8-byte words, then a final avalanche.
  uint64_t h = 0xcbf29ce484222325ULL ^ (s.size() * 0x9E3779B97F4A7C15ULL);
  const char* p = s.data();
  size_t n = s.size();
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0x100000001b3ULL;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  // The last 0..7 bytes without a variable-length copy: two overlapping
  // 4-byte loads, or three single bytes, cover them all (n is mixed in above).
  uint64_t tail = 0;
  if (n >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    tail = (uint64_t{hi} << 32) | lo;
  } else if (n > 0) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    tail = b[0] | (uint64_t{b[n / 2]} << 8) | (uint64_t{b[n - 1]} << 16);
  }
  h = (h ^ tail) * 0x100000001b3ULL;
  h ^= h >> 32;
  h *= 0xd6e8feb86659fd93ULL;
  h ^= h >> 32;
  return h;
}

}  // namespace cladorix
