// What the bytes of standard Newick and Nexus text are: blanks, comments in
// square brackets (nested), single-quoted strings with '' for a quote, the
// punctuation of trees; where a byte stands (line and column); and the one
// way an error in a file is reported.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tree/white_space.hpp"

namespace cladorix {

// Lines count from 1; columns count characters from 1 (a byte that is not a
// UTF-8 continuation byte starts a character).
struct TextPosition {
  uint64_t line = 1;
  uint64_t column = 1;
};

// The position reached after `bytes`, starting at `from`.
TextPosition advance(TextPosition from, std::string_view bytes) noexcept;

// Throws CallerError "<source>:<line>:<column>: <what>".
[[noreturn]] void fail_at(std::string_view source, TextPosition at, const std::string& what);

// One complete statement: a tree of a Newick file, or a Nexus command, from
// its first byte through its ";" (comments and quotes inside are closed).
struct Statement {
  std::string_view source;
  std::string_view text;
  TextPosition start;

  const char* begin() const noexcept { return text.data(); }
  const char* end() const noexcept { return text.data() + text.size(); }
  TextPosition position(const char* at) const noexcept {
    return advance(start, text.substr(0, static_cast<size_t>(at - text.data())));
  }
  [[noreturn]] void fail(const char* at, const std::string& what) const {
    fail_at(source, position(at), what);
  }
};

namespace lexical {

enum Kind : uint8_t {
  kLabel = 0,  // a byte of an unquoted label or branch length
  kBlank,      // ASCII white space
  kHigh,       // the first byte of a multi-byte character (maybe a blank)
  kOpen,       // (
  kClose,      // )
  kComma,      // ,
  kColon,      // :
  kSemicolon,  // ;
  kCommentOpen,
  kCommentClose,
  kQuote,
};

constexpr std::array<uint8_t, 256> make_kinds() {
  std::array<uint8_t, 256> t{};
  for (int c = 0x80; c < 256; ++c) t[c] = kHigh;
  for (int c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20}) t[c] = kBlank;
  t['('] = kOpen;
  t[')'] = kClose;
  t[','] = kComma;
  t[':'] = kColon;
  t[';'] = kSemicolon;
  t['['] = kCommentOpen;
  t[']'] = kCommentClose;
  t['\''] = kQuote;
  return t;
}
inline constexpr std::array<uint8_t, 256> kKinds = make_kinds();

inline Kind kind(char c) noexcept {
  return static_cast<Kind>(kKinds[static_cast<unsigned char>(c)]);
}

// A character the measures' reader cannot carry inside a name.
inline bool is_delimiter(char c) noexcept {
  return c == '(' || c == ')' || c == ',' || c == ':' || c == ';';
}

// Byte length of the well-formed UTF-8 character at p (p < end), or 0.
size_t utf8_length(const char* p, const char* end) noexcept;

// Throws the error for a byte at p that starts no well-formed UTF-8 character.
[[noreturn]] void fail_not_utf8(const Statement& s, const char* p);

// Byte length of the blank (ASCII or Unicode white space) at p, or 0.
inline size_t blank_length(const char* p, const char* end) noexcept {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  if (is_ascii_space(u[0])) return 1;
  if (u[0] < 0x80) return 0;
  return unicode_space_len(u, reinterpret_cast<const unsigned char*>(end));
}

const char* skip_blanks_from(const Statement& s, const char* p);
const char* scan_unquoted_from(const Statement& s, const char* p);

// Skips blanks and comments from p; returns the first other byte (or end).
// Inline for the common case, a token right there.
inline const char* skip_blanks(const Statement& s, const char* p) {
  if (p < s.end()) {
    const Kind k = kind(*p);
    if (k != kBlank && k != kHigh && k != kCommentOpen) return p;
  }
  return skip_blanks_from(s, p);
}

// Runs of kLabel bytes and well-formed non-blank multi-byte characters from
// p: an unquoted label, branch length or word. Fails on malformed UTF-8.
inline const char* scan_unquoted(const Statement& s, const char* p) {
  const char* end = s.end();
  while (p < end && kind(*p) == kLabel) ++p;
  if (p < end && kind(*p) == kHigh) return scan_unquoted_from(s, p);
  return p;
}

// Reads the quoted string opening at p (a quote) into `value`, '' read as
// one quote, and returns the byte after the closing quote. With
// `name_rules`, a character the measures cannot carry in a name fails.
const char* read_quoted(const Statement& s, const char* p, std::string& value, bool name_rules);

// Appends `value` with every blank character replaced by "_"; returns
// whether there was one.
bool append_blanks_as_underscores(std::string& out, std::string_view value);

// `text` for a message: quoted as written when it is long, shortened.
std::string shown(std::string_view text);

// ASCII case-insensitive comparison with a lower-case keyword.
bool keyword_is(std::string_view word, std::string_view lower) noexcept;

}  // namespace lexical
}  // namespace cladorix
