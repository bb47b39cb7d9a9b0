#include "measures/phs/kernels.hpp"

#include <immintrin.h>

namespace cladorix {
namespace {

// Matching bytes of one 32-byte block of the prepared row and of a scanned
// row, as a count of mask bits (one per byte of a matching lane).
struct Sse2Lanes {
  template <unsigned W>
  static uint32_t matching_bytes(const unsigned char* x, const unsigned char* y) {
    uint32_t bits = 0;
    for (int half = 0; half < 2; ++half) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + 16 * half));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 16 * half));
      __m128i e;
      if constexpr (W == 1)
        e = _mm_cmpeq_epi8(a, b);
      else if constexpr (W == 2)
        e = _mm_cmpeq_epi16(a, b);
      else
        e = _mm_cmpeq_epi32(a, b);
      bits +=
          static_cast<uint32_t>(__builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(e))));
    }
    return bits;
  }
};

struct Avx2Lanes {
  template <unsigned W>
  __attribute__((target("avx2,popcnt"))) static uint32_t matching_bytes(const unsigned char* x,
                                                                        const unsigned char* y) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y));
    __m256i e;
    if constexpr (W == 1)
      e = _mm256_cmpeq_epi8(a, b);
    else if constexpr (W == 2)
      e = _mm256_cmpeq_epi16(a, b);
    else
      e = _mm256_cmpeq_epi32(a, b);
    return static_cast<uint32_t>(_mm_popcnt_u32(static_cast<uint32_t>(_mm256_movemask_epi8(e))));
  }
};

template <class Lanes, unsigned W>
inline void scan_rows(const unsigned char* prep, uint32_t prep_blocks, const unsigned char* codes,
                      const uint64_t* row_offset, const uint32_t* row_blocks, uint32_t lo,
                      uint32_t hi, uint64_t* counts) {
  uint64_t none = 0;
  for (uint32_t s = lo; s < hi; ++s) {
    const unsigned char* row = codes + row_offset[s];
    const uint32_t nb = prep_blocks < row_blocks[s] ? prep_blocks : row_blocks[s];
    uint32_t bits = 0;
    for (uint32_t b = 0; b < nb; ++b)
      bits +=
          Lanes::template matching_bytes<W>(prep + b * kPhsBlockBytes, row + b * kPhsBlockBytes);
    // Most pairs share nothing; counting those in a register keeps
    // successive increments of the same memory slot out of the loop's
    // critical path.
    if (bits == 0)
      ++none;
    else
      ++counts[bits / W];
  }
  counts[0] += none;
}

// Each entry point has the block comparison flattened into its loop.
template <unsigned W>
__attribute__((flatten)) void scan_rows_sse2(const unsigned char* prep, uint32_t prep_blocks,
                                             const unsigned char* codes, const uint64_t* row_offset,
                                             const uint32_t* row_blocks, uint32_t lo, uint32_t hi,
                                             uint64_t* counts) {
  scan_rows<Sse2Lanes, W>(prep, prep_blocks, codes, row_offset, row_blocks, lo, hi, counts);
}

template <unsigned W>
__attribute__((target("avx2,popcnt"), flatten)) void scan_rows_avx2(
    const unsigned char* prep, uint32_t prep_blocks, const unsigned char* codes,
    const uint64_t* row_offset, const uint32_t* row_blocks, uint32_t lo, uint32_t hi,
    uint64_t* counts) {
  scan_rows<Avx2Lanes, W>(prep, prep_blocks, codes, row_offset, row_blocks, lo, hi, counts);
}

bool has_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  return yes;
}

}  // namespace

template <unsigned W>
PhsScanFn phs_scan_kernel(bool portable) {
  return has_avx2() && !portable ? &scan_rows_avx2<W> : &scan_rows_sse2<W>;
}

template PhsScanFn phs_scan_kernel<1>(bool);
template PhsScanFn phs_scan_kernel<2>(bool);
template PhsScanFn phs_scan_kernel<4>(bool);

}  // namespace cladorix
