// Newick reader: one pass over the bytes with one stack.
//
// Unicode white space is skipped wherever it stands (also inside names and
// lengths). Error positions count characters of the text with that white
// space removed; they are only computed when an error is raised, so the
// common path never decodes UTF-8.
#include "tree/newick.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

#include "runtime/cancel.hpp"
#include "tree/white_space.hpp"
#include "util/errors.hpp"
#include "util/huge_pages.hpp"

namespace cladorix {
namespace {

enum ByteClass : uint8_t { kName = 0, kDelim = 1, kSpace = 2, kMaybeSpace = 3 };

constexpr auto make_classes() {
  std::array<uint8_t, 256> t{};
  for (int c : {'(', ')', ',', ':', ';'}) t[c] = kDelim;
  for (int c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20}) t[c] = kSpace;
  // Lead bytes of the multi-byte white space characters.
  for (int c : {0xC2, 0xE1, 0xE2, 0xE3}) t[c] = kMaybeSpace;
  return t;
}
constexpr std::array<uint8_t, 256> kClass = make_classes();

// Byte length of the white space character at p, or 0 when there is none.
inline size_t space_len(const unsigned char* p, const unsigned char* end) {
  switch (kClass[p[0]]) {
    case kSpace:
      return 1;
    case kMaybeSpace:
      return unicode_space_len(p, end);
    default:
      return 0;
  }
}

inline size_t utf8_len(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;  // stray continuation byte: count it alone
}

// Characters before byte offset `pos`, white space not counted.
uint64_t char_index(const unsigned char* begin, const unsigned char* end, size_t pos) {
  uint64_t count = 0;
  const unsigned char* p = begin;
  const unsigned char* stop = begin + pos;
  while (p < stop) {
    size_t ws = space_len(p, end);
    if (ws) {
      p += ws;
    } else {
      ++count;
      p += utf8_len(*p);
    }
  }
  return count;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != b[i]) return false;
  }
  return true;
}

// A branch length as a standard decimal parser reads it: optional sign,
// digits with an optional point, optional exponent, or the words for
// infinity and not-a-number in any case; rounded to the nearest float.
std::optional<float> parse_length(std::string_view s) {
  if (s.empty()) return std::nullopt;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  if (iequals(s, "inf") || iequals(s, "infinity")) return negative ? -INFINITY : INFINITY;
  if (iequals(s, "nan")) return negative ? -NAN : NAN;
  // Validate the decimal form ourselves; from_chars alone accepts a few
  // spellings ("nan(...)", a second sign) that are not numbers here.
  size_t i = 0, mantissa_digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++mantissa_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return std::nullopt;
  size_t mantissa_end = i;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;

  float value = 0.0f;
  auto [ptr, ec] =
      std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Beyond the float range: decide between overflow (infinity) and
    // underflow (zero) from the decimal exponent of the first non-zero digit.
    long long exp10 = 0;
    size_t e = s.find_first_of("eE");
    if (e != std::string_view::npos) {
      std::string_view ex = s.substr(e + 1);
      bool eneg = !ex.empty() && ex[0] == '-';
      if (!ex.empty() && (ex[0] == '+' || ex[0] == '-')) ex.remove_prefix(1);
      for (char c : ex) {
        if (exp10 < 100000000) exp10 = exp10 * 10 + (c - '0');
      }
      if (eneg) exp10 = -exp10;
    }
    std::string_view mant = s.substr(0, mantissa_end);
    size_t point = mant.find('.');
    long long int_digits =
        static_cast<long long>(point == std::string_view::npos ? mant.size() : point);
    long long lead = 0;  // position of the first non-zero digit relative to the point
    bool found = false;
    long long pos = 0;
    for (char c : mant) {
      if (c == '.') continue;
      if (c != '0') {
        lead = int_digits - pos;
        found = true;
        break;
      }
      ++pos;
    }
    bool overflow = found && (lead + exp10 > 0);
    value = overflow ? INFINITY : 0.0f;
  } else if (ec != std::errc() || ptr != s.data() + s.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace

class NewickReader {
 public:
  explicit NewickReader(std::string_view text)
      : begin_(reinterpret_cast<const unsigned char*>(text.data())), end_(begin_ + text.size()) {}

  Tree read() {
    reserve();
    const unsigned char* p = begin_;
    NodeId current = 0;
    // The current node's last child: only a node just closed (or the root)
    // can be opened again, as in "(A,B)(C,D)", and it keeps its children.
    NodeId current_last = kNoNode;
    uint64_t pending_name = 0;  // the pending name is names_[pending_name, end)
    std::string& names = tree_.names_;
    CancelPoller poll;
    while (p < end_) {
      poll.tick(8);
      unsigned char c = *p;
      switch (kClass[c]) {
        case kSpace:
          ++p;
          continue;
        case kMaybeSpace:
          if (size_t ws = space_len(p, end_)) {
            p += ws;
            continue;
          }
          p = scan_name(p);
          continue;
        case kName:
          p = scan_name(p);
          continue;
        default:
          break;
      }
      switch (c) {
        case '(':
          stack_.push_back({current, current_last});
          current = next_id_++;
          current_last = kNoNode;
          ++p;
          break;
        case ')':
        case ',': {
          if (stack_.empty())
            throw NewickError(char_index(begin_, end_, static_cast<size_t>(p - begin_)));
          Open& top = stack_.back();
          const NodeId parent = top.node;
          tree_.attach(current, parent, top.last_child);
          top.last_child = current;
          if (std::optional<float> w = parse_length(length_)) {
            tree_.weight_[current] = *w;
            tree_.has_weight_[current] = 1;
          }
          give_pending_name(current, pending_name);
          length_.clear();
          if (c == ',') {
            current = next_id_++;
            current_last = kNoNode;
          } else {
            current = parent;
            current_last = top.last_child;
            stack_.pop_back();
          }
          ++p;
          break;
        }
        case ':':
          p = scan_length(p + 1);
          break;
        case ';':
          give_pending_name(current, pending_name);
          return finish(pending_name);
      }
    }
    // No ";": a name left pending (text before an unclosed "(") names nothing.
    names.resize(pending_name);
    return finish(pending_name);
  }

 private:
  void reserve() {
    // A node per "(" and "," at most (text after ";" is counted too): size
    // every column once and hand out ids by counting.
    size_t nodes = 1;
    CancelPoller poll;
    constexpr size_t kSlice = size_t{1} << 16;
    for (const unsigned char* q = begin_; q < end_;) {
      const unsigned char* stop = end_ - q > static_cast<ptrdiff_t>(kSlice) ? q + kSlice : end_;
      for (; q < stop; ++q) nodes += (*q == '(') | (*q == ',');
      poll.tick(kSlice / 4);
    }
    tree_.resize_nodes(nodes);
    reserve_huge(tree_.naming_order_, nodes);
    reserve_huge(tree_.name_end_, nodes);
    tree_.names_.reserve(static_cast<size_t>(end_ - begin_));
    advise_huge_pages(tree_.names_.data(), tree_.names_.capacity());
  }

  void give_pending_name(NodeId node, uint64_t& pending_name) {
    uint64_t len = tree_.names_.size() - pending_name;
    if (len == 0) return;
    if (len >= UINT32_MAX) fail("node name too long");
    tree_.name_last_bytes(node);
    pending_name = tree_.names_.size();
  }

  [[noreturn]] void run_off(const char* what, const unsigned char* token) {
    throw NewickRunOff(what, char_index(begin_, end_, static_cast<size_t>(token - begin_)));
  }

  // Appends name bytes (white space dropped) up to the next delimiter.
  const unsigned char* scan_name(const unsigned char* p) {
    std::string& names = tree_.names_;
    const unsigned char* start = p;
    while (true) {
      const unsigned char* run = p;
      while (p < end_ && kClass[*p] == kName) ++p;
      names.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
      if (p == end_) run_off("Newick name runs to the end of the text", start);
      if (kClass[*p] == kDelim) return p;
      if (size_t ws = space_len(p, end_)) {
        p += ws;
      } else {
        names.push_back(static_cast<char>(*p));  // a lead byte that starts no space
        ++p;
      }
    }
  }

  // Appends length bytes up to the next "(", ")", "," or ";" (":" is part of
  // the length text, which then fails to parse as a number).
  const unsigned char* scan_length(const unsigned char* p) {
    const unsigned char* colon = p - 1;
    while (true) {
      if (p == end_) run_off("Newick branch length runs to the end of the text", colon);
      unsigned char c = *p;
      if (c == '(' || c == ')' || c == ',' || c == ';') return p;
      if (size_t ws = space_len(p, end_)) {
        p += ws;
      } else {
        length_.push_back(static_cast<char>(c));
        ++p;
      }
    }
  }

  Tree finish(uint64_t) {
    tree_.resize_nodes(next_id_);
    return std::move(tree_);
  }

  const unsigned char* begin_;
  const unsigned char* end_;
  Tree tree_;
  struct Open {
    NodeId node;
    NodeId last_child;  // kNoNode before the first
  };
  std::vector<Open> stack_;
  std::string length_;
  NodeId next_id_ = 1;  // the root is node 0
};

Tree from_newick(std::string_view text) { return NewickReader(text).read(); }

}  // namespace cladorix
