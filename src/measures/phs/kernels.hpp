// Row-scanning kernels of the pairwise homoplasy count.
//
// A prepared row holds the codes of one leaf where its ancestor is unedited
// and the leaf carries an edit, and an all-ones sentinel everywhere else.
// Scanned rows hold codes 0..K with K below the sentinel, so equal lanes are
// exactly the characters that count; rows end in zero padding, which never
// matches either. A kernel adds one to counts[c] for every scanned row that
// shares c characters with the prepared row.
#pragma once

#include <cstdint>

namespace cladorix {

// Rows are padded to whole blocks of this many bytes.
inline constexpr uint32_t kPhsBlockBytes = 32;

using PhsScanFn = void (*)(const unsigned char* prep, uint32_t prep_blocks,
                           const unsigned char* codes, const uint64_t* row_offset,
                           const uint32_t* row_blocks, uint32_t lo, uint32_t hi, uint64_t* counts);

// The kernel for codes of W bytes (1, 2 or 4): AVX2 where the CPU has it and
// `portable` is false, SSE2 otherwise. Both give the same counts.
template <unsigned W>
PhsScanFn phs_scan_kernel(bool portable);

}  // namespace cladorix
