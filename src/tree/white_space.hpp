// The white space the Newick reader drops wherever it stands: ASCII
// U+0009..U+000D and U+0020, and the Unicode spaces U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000 in UTF-8. The file
// reader (tree/formats) turns the same characters into "_" inside quoted
// labels, so the two must agree on the set.
#pragma once

#include <cstddef>

namespace cladorix {

inline bool is_ascii_space(unsigned char c) noexcept {
  return c == 0x20 || (c >= 0x09 && c <= 0x0D);
}

// Byte length of the multi-byte white space character at p (p < end), or 0.
inline size_t unicode_space_len(const unsigned char* p, const unsigned char* end) noexcept {
  const size_t left = static_cast<size_t>(end - p);
  if (p[0] == 0xC2) return (left >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) ? 2 : 0;
  if (left < 3) return 0;
  if (p[0] == 0xE1) return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;  // U+1680
  if (p[0] == 0xE3) return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;  // U+3000
  if (p[0] != 0xE2) return 0;
  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
  if (p[1] == 0x80)
    return ((p[2] >= 0x80 && p[2] <= 0x8A) || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF) ? 3 : 0;
  if (p[1] == 0x81) return p[2] == 0x9F ? 3 : 0;
  return 0;
}

}  // namespace cladorix
