// The ChaCha block function with 12 rounds (20 only to check the layout),
// with a scalar reference and SSE2 and AVX2 paths that must match it word for
// word.
#pragma once

#include <cstdint>

namespace cladorix {

// One ChaCha block (16 words) for the given key, counter and stream, with
// `rounds` rounds (12 for the generator; 20 only to check the layout).
// This is the reference every faster path must match.
void chacha_block(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                  uint32_t out[16]);

// The block paths, exposed so that tests can hold each against the reference.
namespace random_detail {

// Four consecutive blocks (counters c .. c+3, modulo 2^64) into 64 words.
void chacha_x4_scalar(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                      uint32_t out[64]);
void chacha_x4_sse2(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                    uint32_t out[64]);
// Eight consecutive blocks (counters c .. c+7) into 128 words; only to be
// called when cpu_has_avx2().
void chacha_x8_avx2(const uint32_t key[8], uint64_t counter, uint64_t stream, int rounds,
                    uint32_t out[128]);
bool cpu_has_avx2();

}  // namespace random_detail

}  // namespace cladorix
