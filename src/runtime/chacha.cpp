#include "runtime/chacha.hpp"

#include <emmintrin.h>
#include <immintrin.h>

#include <cstring>

namespace cladorix {

namespace {

// "expand 32-byte k" as four little-endian words.
constexpr uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

inline uint32_t rotl32(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

// clang-format off: one ChaCha step per line, as the cipher is usually written.
inline void quarter_round(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  a += b;
  d ^= a;
  d = rotl32(d, 16);
  c += d;
  b ^= c;
  b = rotl32(b, 12);
  a += b;
  d ^= a;
  d = rotl32(d, 8);
  c += d;
  b ^= c;
  b = rotl32(b, 7);
}
// clang-format on

// ---- SSE2: four blocks side by side, lane k of register i is word i of block k.

template <int N>
inline __m128i rotl_sse2(__m128i v) {
  if constexpr (N == 16) {
    // Swapping the 16-bit halves is one shuffle pair instead of shift-shift-or.
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
  } else {
    return _mm_or_si128(_mm_slli_epi32(v, N), _mm_srli_epi32(v, 32 - N));
  }
}

// clang-format off: one ChaCha step per line, as the cipher is usually written.
inline void quarter_round_sse2(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  a = _mm_add_epi32(a, b);
  d = rotl_sse2<16>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotl_sse2<12>(_mm_xor_si128(b, c));
  a = _mm_add_epi32(a, b);
  d = rotl_sse2<8>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotl_sse2<7>(_mm_xor_si128(b, c));
}
// clang-format on

// ---- AVX2: eight blocks side by side, lane k of register i is word i of
// block k. Eight lanes keep every port busy, where four blocks alone would
// leave the round function waiting on its own dependency chains.

template <int N>
__attribute__((target("avx2"))) inline __m256i rotl_avx2(__m256i v) {
  if constexpr (N == 16) {
    return _mm256_shuffle_epi8(
        v, _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7,
                            4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
  } else if constexpr (N == 8) {
    return _mm256_shuffle_epi8(
        v, _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14, 3, 0, 1, 2, 7, 4,
                            5, 6, 11, 8, 9, 10, 15, 12, 13, 14));
  } else {
    return _mm256_or_si256(_mm256_slli_epi32(v, N), _mm256_srli_epi32(v, 32 - N));
  }
}

// clang-format off: one ChaCha step per line, as the cipher is usually written.
__attribute__((target("avx2"))) inline void quarter_round_avx2(__m256i& a, __m256i& b, __m256i& c,
                                                               __m256i& d) {
  a = _mm256_add_epi32(a, b);
  d = rotl_avx2<16>(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d);
  b = rotl_avx2<12>(_mm256_xor_si256(b, c));
  a = _mm256_add_epi32(a, b);
  d = rotl_avx2<8>(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d);
  b = rotl_avx2<7>(_mm256_xor_si256(b, c));
}
// clang-format on

}  // namespace

// ---- Block function.

void chacha_block(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                  uint32_t out[16]) {
  uint32_t in[16];
  for (int i = 0; i < 4; ++i) in[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) in[4 + i] = key[i];
  in[12] = uint32_t(counter);
  in[13] = uint32_t(counter >> 32);
  in[14] = uint32_t(stream);
  in[15] = uint32_t(stream >> 32);
  uint32_t x[16];
  std::memcpy(x, in, sizeof x);
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

namespace random_detail {

void chacha_x4_scalar(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                      uint32_t out[64]) {
  for (int k = 0; k < 4; ++k)
    chacha_block(key, counter + uint64_t(k), stream, rounds, out + 16 * k);
}

void chacha_x4_sse2(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                    uint32_t out[64]) {
  __m128i in[16];
  for (int i = 0; i < 4; ++i) in[i] = _mm_set1_epi32(int(kSigma[i]));
  for (int i = 0; i < 8; ++i) in[4 + i] = _mm_set1_epi32(int(key[i]));
  const uint64_t c0 = counter, c1 = counter + 1, c2 = counter + 2, c3 = counter + 3;
  in[12] =
      _mm_setr_epi32(int(uint32_t(c0)), int(uint32_t(c1)), int(uint32_t(c2)), int(uint32_t(c3)));
  in[13] = _mm_setr_epi32(int(uint32_t(c0 >> 32)), int(uint32_t(c1 >> 32)), int(uint32_t(c2 >> 32)),
                          int(uint32_t(c3 >> 32)));
  in[14] = _mm_set1_epi32(int(uint32_t(stream)));
  in[15] = _mm_set1_epi32(int(uint32_t(stream >> 32)));
  __m128i x[16];
  for (int i = 0; i < 16; ++i) x[i] = in[i];
  for (int r = 0; r < rounds; r += 2) {
    quarter_round_sse2(x[0], x[4], x[8], x[12]);
    quarter_round_sse2(x[1], x[5], x[9], x[13]);
    quarter_round_sse2(x[2], x[6], x[10], x[14]);
    quarter_round_sse2(x[3], x[7], x[11], x[15]);
    quarter_round_sse2(x[0], x[5], x[10], x[15]);
    quarter_round_sse2(x[1], x[6], x[11], x[12]);
    quarter_round_sse2(x[2], x[7], x[8], x[13]);
    quarter_round_sse2(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) x[i] = _mm_add_epi32(x[i], in[i]);
  // Transpose each group of four registers into four words of each block.
  for (int g = 0; g < 4; ++g) {
    const __m128i u0 = _mm_unpacklo_epi32(x[4 * g], x[4 * g + 1]);
    const __m128i u1 = _mm_unpackhi_epi32(x[4 * g], x[4 * g + 1]);
    const __m128i u2 = _mm_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);
    const __m128i u3 = _mm_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 0 + 4 * g), _mm_unpacklo_epi64(u0, u2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 + 4 * g), _mm_unpackhi_epi64(u0, u2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 + 4 * g), _mm_unpacklo_epi64(u1, u3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 48 + 4 * g), _mm_unpackhi_epi64(u1, u3));
  }
}

__attribute__((target("avx2"))) void chacha_x8_avx2(const uint32_t key[8], uint64_t counter,
                                                    uint64_t stream, int rounds,
                                                    uint32_t out[128]) {
  __m256i in[16];
  for (int i = 0; i < 4; ++i) in[i] = _mm256_set1_epi32(int(kSigma[i]));
  for (int i = 0; i < 8; ++i) in[4 + i] = _mm256_set1_epi32(int(key[i]));
  alignas(32) uint32_t lo[8], hi[8];
  for (int k = 0; k < 8; ++k) {
    const uint64_t c = counter + uint64_t(k);
    lo[k] = uint32_t(c);
    hi[k] = uint32_t(c >> 32);
  }
  in[12] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lo));
  in[13] = _mm256_load_si256(reinterpret_cast<const __m256i*>(hi));
  in[14] = _mm256_set1_epi32(int(uint32_t(stream)));
  in[15] = _mm256_set1_epi32(int(uint32_t(stream >> 32)));
  __m256i x[16];
  for (int i = 0; i < 16; ++i) x[i] = in[i];
  for (int r = 0; r < rounds; r += 2) {
    quarter_round_avx2(x[0], x[4], x[8], x[12]);
    quarter_round_avx2(x[1], x[5], x[9], x[13]);
    quarter_round_avx2(x[2], x[6], x[10], x[14]);
    quarter_round_avx2(x[3], x[7], x[11], x[15]);
    quarter_round_avx2(x[0], x[5], x[10], x[15]);
    quarter_round_avx2(x[1], x[6], x[11], x[12]);
    quarter_round_avx2(x[2], x[7], x[8], x[13]);
    quarter_round_avx2(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) x[i] = _mm256_add_epi32(x[i], in[i]);
  // Transpose within 128-bit lanes: t[g][k] holds words 4g..4g+3 of block k
  // (low lane) and of block k+4 (high lane).
  __m256i t[4][4];
  for (int g = 0; g < 4; ++g) {
    const __m256i u0 = _mm256_unpacklo_epi32(x[4 * g], x[4 * g + 1]);
    const __m256i u1 = _mm256_unpackhi_epi32(x[4 * g], x[4 * g + 1]);
    const __m256i u2 = _mm256_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);
    const __m256i u3 = _mm256_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
    t[g][0] = _mm256_unpacklo_epi64(u0, u2);
    t[g][1] = _mm256_unpackhi_epi64(u0, u2);
    t[g][2] = _mm256_unpacklo_epi64(u1, u3);
    t[g][3] = _mm256_unpackhi_epi64(u1, u3);
  }
  for (int k = 0; k < 4; ++k) {
    for (int h = 0; h < 2; ++h) {
      const __m256i first = t[2 * h][k], second = t[2 * h + 1][k];
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * k + 8 * h),
                          _mm256_permute2x128_si256(first, second, 0x20));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * (k + 4) + 8 * h),
                          _mm256_permute2x128_si256(first, second, 0x31));
    }
  }
}

bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

}  // namespace random_detail

}  // namespace cladorix
