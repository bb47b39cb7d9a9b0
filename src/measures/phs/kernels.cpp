#include "measures/phs/kernels.hpp"

#include <immintrin.h>

#include <algorithm>

namespace cladorix {
namespace {

constexpr uint32_t kBlockBytes = kPhsBlockBytes;

template <unsigned W>
__attribute__((target("avx2,popcnt"))) void scan_rows_avx2(const unsigned char* prep,
                                                           uint32_t prep_blocks,
                                                           const unsigned char* codes,
                                                           const uint64_t* row_offset,
                                                           const uint32_t* row_blocks, uint32_t lo,
                                                           uint32_t hi, uint64_t* counts) {
  uint64_t none = 0;
  for (uint32_t s = lo; s < hi; ++s) {
    const unsigned char* row = codes + row_offset[s];
    const uint32_t nb = prep_blocks < row_blocks[s] ? prep_blocks : row_blocks[s];
    uint32_t bits = 0;
    for (uint32_t b = 0; b < nb; ++b) {
      const __m256i x =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(prep + b * kBlockBytes));
      const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + b * kBlockBytes));
      __m256i e;
      if constexpr (W == 1)
        e = _mm256_cmpeq_epi8(x, y);
      else if constexpr (W == 2)
        e = _mm256_cmpeq_epi16(x, y);
      else
        e = _mm256_cmpeq_epi32(x, y);
      bits += static_cast<uint32_t>(_mm_popcnt_u32(static_cast<uint32_t>(_mm256_movemask_epi8(e))));
    }
    // One mask bit per byte of a matching lane. Most pairs share nothing;
    // counting those in a register keeps successive increments of the same
    // memory slot out of the loop's critical path.
    if (bits == 0)
      ++none;
    else
      ++counts[bits / W];
  }
  counts[0] += none;
}

template <unsigned W>
void scan_rows_sse2(const unsigned char* prep, uint32_t prep_blocks, const unsigned char* codes,
                    const uint64_t* row_offset, const uint32_t* row_blocks, uint32_t lo,
                    uint32_t hi, uint64_t* counts) {
  uint64_t none = 0;
  for (uint32_t s = lo; s < hi; ++s) {
    const unsigned char* row = codes + row_offset[s];
    const uint32_t nb = std::min(prep_blocks, row_blocks[s]) * 2;
    uint32_t bits = 0;
    for (uint32_t b = 0; b < nb; ++b) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prep + b * 16));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + b * 16));
      __m128i e;
      if constexpr (W == 1)
        e = _mm_cmpeq_epi8(x, y);
      else if constexpr (W == 2)
        e = _mm_cmpeq_epi16(x, y);
      else
        e = _mm_cmpeq_epi32(x, y);
      bits +=
          static_cast<uint32_t>(__builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(e))));
    }
    if (bits == 0)
      ++none;
    else
      ++counts[bits / W];
  }
  counts[0] += none;
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
