// The tree is converted in one pass over its text, straight into the output.
// Collapsing needs a node's label and length, which follow its ")": the
// node's "(" is then overwritten with ";" (which no output name holds) and
// its ")", label and length cut off the end of the output; the ";" marks are
// removed in one pass when the tree ends.
#include "tree/formats/newick_converter.hpp"

#include <algorithm>
#include <charconv>

#include "runtime/cancel.hpp"
#include "util/errors.hpp"
#include "util/hash.hpp"

namespace cladorix {
namespace {

using namespace lexical;

// A label or branch length read as a number: the whole text, or nothing.
std::optional<double> as_number(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  double value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string written(const char* begin, const char* end) {
  return shown(std::string_view(begin, static_cast<size_t>(end - begin)));
}

}  // namespace

size_t NewickConverter::StringHash::operator()(std::string_view s) const noexcept {
  return static_cast<size_t>(hash_bytes(s));
}

void NewickConverter::convert(const Statement& s, const char* p, const TranslateTable* table,
                              std::string& out) {
  enum class After : uint8_t { kNodeStart, kClose, kLabel, kLength };
  // The internal node whose ")" was read last, until it ends.
  struct Closing {
    size_t open_at = 0;   // its "(" in the output
    size_t close_at = 0;  // its ")" in the output
    std::optional<double> length, support;
  };

  const char* const tree_begin = p;
  const char* const end = s.end();
  const bool collapsing = rules_.collapse_max_length || rules_.collapse_min_support;
  const bool translating = table != nullptr && !table->empty();
  out.clear();
  out.reserve(static_cast<size_t>(end - p));
  open_.clear();
  renamed_.clear();
  After after = After::kNodeStart;
  bool internal = false;  // the current node is the one in `closing`
  Closing closing;
  bool collapsed = false;
  const char* token = p;  // the last label or length, for messages
  const char* token_end = p;
  CancelPoller poll;

  while (true) {
    poll.tick(16);
    p = skip_blanks(s, p);
    if (p == end) fail("a tree statement ends without its ';'");
    const char c = *p;
    switch (kind(c)) {
      case kOpen:
        if (after == After::kLabel)
          s.fail(p,
                 "'(' after the label " + written(token, token_end) + ": expected ',', ')' or ';'");
        if (after != After::kNodeStart) s.fail(p, "'(' where ',', ')' or ';' was expected");
        open_.push_back(out.size());
        out.push_back('(');
        ++p;
        break;

      case kComma:
      case kClose:
      case kSemicolon: {
        if (c != ';' && open_.empty())
          s.fail(p, c == ',' ? "',' outside parentheses" : "')' without a matching '('");
        if (c == ';' && !open_.empty())
          s.fail(p, "';' ends the tree with " + std::to_string(open_.size()) + " '(' not closed");
        if (internal && c != ';' && collapsing) {
          const bool short_edge = rules_.collapse_max_length && closing.length &&
                                  *closing.length <= *rules_.collapse_max_length;
          const bool weak_support = rules_.collapse_min_support && closing.support &&
                                    *closing.support < *rules_.collapse_min_support;
          if (short_edge || weak_support) {
            out.resize(closing.close_at);
            out[closing.open_at] = ';';
            collapsed = true;
          }
        }
        internal = false;
        if (c == ';') {
          if (out.empty() && after == After::kNodeStart) s.fail(p, "';' ends an empty tree");
          if (collapsed) out.erase(std::remove(out.begin(), out.end(), ';'), out.end());
          if (!renamed_.empty()) check_renamed(s, tree_begin, out);
          out.push_back(';');
          return;
        }
        if (c == ',') {
          out.push_back(',');
          after = After::kNodeStart;
        } else {
          closing = Closing{open_.back(), out.size(), std::nullopt, std::nullopt};
          open_.pop_back();
          out.push_back(')');
          internal = true;
          after = After::kClose;
        }
        ++p;
        break;
      }

      case kColon: {
        if (after == After::kLength)
          s.fail(p, "a second ':' after the branch length " + written(token, token_end));
        const char* q = skip_blanks(s, p + 1);
        const char* t = scan_unquoted(s, q);
        if (t == q) {
          if (q < end && *q == '\'') s.fail(q, "a branch length cannot be quoted");
          s.fail(p, "':' without a branch length after it");
        }
        out.push_back(':');
        out.append(q, static_cast<size_t>(t - q));
        if (internal && rules_.collapse_max_length)
          closing.length = as_number(std::string_view(q, static_cast<size_t>(t - q)));
        token = q, token_end = t;
        after = After::kLength;
        p = t;
        break;
      }

      case kQuote:
      case kLabel:
      case kHigh: {
        if (after == After::kLabel && c == '\'' && p == token_end && kind(p[-1]) == kLabel)
          s.fail(p, "a quote inside the unquoted label " + written(token, token_end) +
                        ": a label holding a quote is quoted whole, its quotes doubled "
                        "('O''Neil')");
        if (after == After::kLabel)
          s.fail(p, "text after the label " + written(token, token_end) +
                        " (a label holding blanks must be quoted)");
        if (after == After::kLength)
          s.fail(p, "text after the branch length " + written(token, token_end) +
                        ": expected ',', ')' or ';'");
        const char* label = p;
        std::string_view value;
        if (c == '\'') {
          p = read_quoted(s, p, value_, true);
          value = value_;
        } else {
          p = scan_unquoted(s, p);
          value = std::string_view(label, static_cast<size_t>(p - label));
        }
        if (internal) {
          if (rules_.collapse_min_support) closing.support = as_number(value);
          if (!rules_.drop_internal_labels) {
            const size_t at = out.size();
            if (append_blanks_as_underscores(out, value))
              note_renamed(s, label, std::string_view(out).substr(at),
                           std::string_view(label, static_cast<size_t>(p - label)));
          }
        } else {
          TranslateTable::Found found;
          if (translating && table->find(value, found)) {
            out.append(found.name);
            if (!found.original.empty()) note_renamed(s, label, found.name, found.original);
          } else if (c != '\'') {
            out.append(value);  // unquoted: no blanks in it
          } else {
            const size_t at = out.size();
            if (append_blanks_as_underscores(out, value))
              note_renamed(s, label, std::string_view(out).substr(at),
                           std::string_view(label, static_cast<size_t>(p - label)));
          }
        }
        token = label, token_end = p;
        after = After::kLabel;
        break;
      }

      case kCommentClose:
        s.fail(p, "']' without an opening '['");

      default:  // blanks and comments were skipped
        fail("a blank or comment left by skip_blanks");
    }
  }
}

void NewickConverter::note_renamed(const Statement& s, const char* at, std::string_view name,
                                   std::string_view original) {
  auto it = renamed_.find(name);
  if (it == renamed_.end()) it = renamed_.emplace(std::string(name), Renamed{}).first;
  if (it->second.count == 0) {
    it->second.original = original;
  } else if (it->second.original != original) {
    s.fail(at, "labels " + shown(it->second.original) + " and " + shown(original) +
                   " both become the name " + shown(name));
  }
  ++it->second.count;
}

// A label written without blanks that reads as a renamed one ('a b' and
// a_b) would silently merge two leaves: count each renamed name's
// occurrences in the output against those that came from blanks.
void NewickConverter::check_renamed(const Statement& s, const char* tree_begin,
                                    std::string_view out) {
  std::unordered_map<std::string_view, uint64_t, StringHash, std::equal_to<>> seen;
  size_t i = 0;
  bool in_length = false;
  CancelPoller poll;
  while (i < out.size()) {
    const size_t start = i;
    while (i < out.size() && !is_delimiter(out[i])) ++i;
    if (i > start && !in_length) {
      const std::string_view name = out.substr(start, i - start);
      const auto it = renamed_.find(name);
      if (it != renamed_.end() && ++seen[name] > it->second.count) {
        s.fail(tree_begin, "labels " + shown(it->second.original) + " and " + shown(name) +
                               " both become the name " + shown(name));
      }
    }
    if (i < out.size()) in_length = out[i] == ':';
    ++i;
    poll.tick(16);
  }
}

}  // namespace cladorix
