#include "tree/formats/lexical.hpp"

#include <algorithm>

#include "util/errors.hpp"

namespace cladorix {

TextPosition advance(TextPosition from, std::string_view bytes) noexcept {
  const size_t last_newline = bytes.rfind('\n');
  std::string_view tail = bytes;
  if (last_newline != std::string_view::npos) {
    from.line += static_cast<uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    from.column = 1;
    tail = bytes.substr(last_newline + 1);
  }
  // Characters are the bytes that are not continuation bytes (10xxxxxx).
  uint64_t characters = 0;
  for (char c : tail) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  from.column += characters;
  return from;
}

void fail_at(std::string_view source, TextPosition at, const std::string& what) {
  std::string message(source);
  message += ':';
  message += std::to_string(at.line);
  message += ':';
  message += std::to_string(at.column);
  message += ": ";
  message += what;
  throw CallerError(message);
}

namespace lexical {

size_t utf8_length(const char* p, const char* end) noexcept {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  const size_t left = static_cast<size_t>(end - p);
  const unsigned char b0 = u[0];
  size_t len;
  uint32_t cp, min;
  if (b0 < 0x80) return 1;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (left < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((u[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (u[k] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void fail_not_utf8(const Statement& s, const char* p) {
  char hex[8];
  static const char kDigits[] = "0123456789ABCDEF";
  const auto b = static_cast<unsigned char>(*p);
  hex[0] = '0', hex[1] = 'x', hex[2] = kDigits[b >> 4], hex[3] = kDigits[b & 15], hex[4] = 0;
  s.fail(p, std::string("byte ") + hex + " is not UTF-8 (files are read as UTF-8)");
}

const char* skip_blanks_from(const Statement& s, const char* p) {
  const char* end = s.end();
  while (p < end) {
    const Kind k = kind(*p);
    if (k == kBlank) {
      ++p;
    } else if (k == kHigh) {
      const size_t n = blank_length(p, end);
      if (n == 0) return p;
      p += n;
    } else if (k == kCommentOpen) {
      uint32_t depth = 1;
      ++p;
      while (depth > 0) {
        // The statement holds only closed comments: its scanner saw to it.
        if (p == end) ::cladorix::fail("a statement ends inside a comment");
        if (*p == '[') ++depth;
        if (*p == ']') --depth;
        ++p;
      }
    } else {
      return p;
    }
  }
  return p;
}

const char* scan_unquoted_from(const Statement& s, const char* p) {
  const char* end = s.end();
  while (p < end) {
    const Kind k = kind(*p);
    if (k == kLabel) {
      ++p;
    } else if (k == kHigh) {
      if (blank_length(p, end) != 0) return p;
      const size_t n = utf8_length(p, end);
      if (n == 0) fail_not_utf8(s, p);
      p += n;
    } else {
      return p;
    }
  }
  return p;
}

const char* read_quoted(const Statement& s, const char* p, std::string& value, bool name_rules) {
  const char* end = s.end();
  value.clear();
  ++p;
  while (true) {
    if (p == end) ::cladorix::fail("a statement ends inside a quote");
    const char c = *p;
    if (c == '\'') {
      if (p + 1 < end && p[1] == '\'') {
        value.push_back('\'');
        p += 2;
        continue;
      }
      return p + 1;
    }
    if (static_cast<unsigned char>(c) >= 0x80) {
      const size_t n = utf8_length(p, end);
      if (n == 0) fail_not_utf8(s, p);
      value.append(p, n);
      p += n;
      continue;
    }
    if (name_rules && is_delimiter(c)) {
      s.fail(p, std::string("quoted label holds '") + c +
                    "', which cannot stand in a name of the Newick text the functions read");
    }
    value.push_back(c);
    ++p;
  }
}

bool append_blanks_as_underscores(std::string& out, std::string_view value) {
  bool replaced = false;
  const char* p = value.data();
  const char* end = p + value.size();
  while (p < end) {
    const size_t n = blank_length(p, end);
    if (n != 0) {
      out.push_back('_');
      replaced = true;
      p += n;
    } else {
      out.push_back(*p++);
    }
  }
  return replaced;
}

std::string shown(std::string_view text) {
  constexpr size_t kMax = 60;
  if (text.size() <= kMax) return std::string(text);
  size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

bool keyword_is(std::string_view word, std::string_view lower) noexcept {
  if (word.size() != lower.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace lexical
}  // namespace cladorix
