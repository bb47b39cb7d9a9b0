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

constexpr int kLeavesAhead = 8;

// Finds the next leaf label that is a number ("(" or "," then digits) from
// p, has its table entry fetched into the cache, and returns where it ends.
// A guess: a number in a comment or a quote only costs a useless fetch.
const char* prefetch_next_leaf(const TranslateTable& table, const char* p, const char* end) {
  for (; p + 1 < end; ++p) {
    if ((*p != '(' && *p != ',') || p[1] < '0' || p[1] > '9') continue;
    ++p;
    uint64_t v = 0;
    for (int digits = 0; p < end && *p >= '0' && *p <= '9' && digits < 10; ++p, ++digits)
      v = v * 10 + static_cast<uint64_t>(*p - '0');
    table.prefetch(v);
    return p;
  }
  return end;
}

std::string_view written_as(const char* begin, const char* end) {
  return std::string_view(begin, static_cast<size_t>(end - begin));
}

std::string written(const char* begin, const char* end) { return shown(written_as(begin, end)); }

}  // namespace

void NewickConverter::convert(const Statement& s, const char* p, const TranslateTable* table,
                              std::string& out) {
  enum class After : uint8_t { kNodeStart, kClose, kLabel, kLength };
  // The internal node whose ")" was read last, until it ends.
  struct Closing {
    size_t open_at = 0;   // its "(" in the output
    size_t close_at = 0;  // its ")" in the output
    std::optional<double> length, support;
  };

  const char* const tree_begin = skip_blanks(s, p);  // where errors about the whole tree point
  const char* const end = s.end();
  const bool collapsing = rules_.collapse_max_length || rules_.collapse_min_support;
  const bool translating = table != nullptr && !table->empty();
  out.clear();
  // Sized once: a tree of a million leaves is tens of megabytes, and growing
  // it would hold the old and the new copy at once.
  size_t size = static_cast<size_t>(end - p);
  if (translating) {
    const auto leaves = static_cast<double>(std::count(p, end, ',') + 1);
    size += static_cast<size_t>(leaves * table->growth_per_leaf()) + 64;
  }
  out.reserve(size);
  open_.clear();
  renamed_.clear();
  ambiguous_ = false;
  After after = After::kNodeStart;
  bool internal = false;  // the current node is the one in `closing`
  Closing closing;
  bool collapsed = false;
  const char* token = p;  // the last label or length, for messages
  const char* token_end = p;
  CancelPoller poll;
  // Names are looked up in the random order of the leaves: a cursor that
  // runs a few leaves ahead asks for their table entries early.
  const char* ahead = p;
  if (translating) {
    for (int k = 0; k < kLeavesAhead; ++k) ahead = prefetch_next_leaf(*table, ahead, end);
  }

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
            while (!renamed_.empty() && renamed_.back().at >= closing.close_at) renamed_.pop_back();
            out[closing.open_at] = ';';
            collapsed = true;
          }
        }
        internal = false;
        if (c == ';') {
          if (out.empty() && after == After::kNodeStart) s.fail(p, "';' ends an empty tree");
          // The names' offsets hold until the marks of collapsed nodes go.
          if (!renamed_.empty()) check_renamed(s, tree_begin, out);
          if (collapsed) out.erase(std::remove(out.begin(), out.end(), ';'), out.end());
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
          if (!rules_.drop_internal_labels && c != '\'') {
            out.append(value);  // unquoted: no blanks in it
          } else if (!rules_.drop_internal_labels) {
            const size_t at = out.size();
            if (append_blanks_as_underscores(out, value))
              note_renamed(at, out.size() - at, written_as(label, p));
          }
        } else {
          TranslateTable::Found found;
          if (translating) ahead = prefetch_next_leaf(*table, ahead < p ? p : ahead, end);
          if (translating && table->find(value, found)) {
            if (!found.original.empty())
              note_renamed(out.size(), found.name.size(), found.original);
            out.append(found.name);
          } else if (c != '\'') {
            out.append(value);  // unquoted: no blanks in it
          } else {
            const size_t at = out.size();
            if (append_blanks_as_underscores(out, value))
              note_renamed(at, out.size() - at, written_as(label, p));
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

void NewickConverter::note_renamed(size_t at, size_t length, std::string_view original) {
  renamed_.push_back(Renamed{at, static_cast<uint32_t>(length),
                             static_cast<uint32_t>(original.size()), original.data()});
  // Written with only spaces as blanks and no "_", a renamed label is the
  // one label its name can come from.
  if (!ambiguous_) {
    for (const char* p = original.data(); p < original.data() + original.size(); ++p) {
      if (*p == '_' || (*p != ' ' && blank_length(p, original.data() + original.size()) != 0)) {
        ambiguous_ = true;
        break;
      }
    }
  }
}

// Two labels that differ as written but read as one name ('a b' and a_b, or
// 'a b' and 'a\tb') would silently merge two nodes. A renamed name holds a
// "_", so only names with one can clash: renamed names go into an index
// (which also finds two renamed labels written differently, when one of
// them could be), and every other name holding "_" is looked up in it.
void NewickConverter::check_renamed(const Statement& s, const char* tree_begin,
                                    std::string_view out) {
  const auto name_of = [&](const Renamed& r) { return out.substr(r.at, r.length); };
  const auto original_of = [](const Renamed& r) {
    return std::string_view(r.original, r.original_length);
  };
  const auto conflict = [&](std::string_view a, std::string_view b, std::string_view name) {
    s.fail(tree_begin,
           "labels " + shown(a) + " and " + shown(b) + " both become the name " + shown(name));
  };
  CancelPoller poll;
  // Slot: the hash's upper half, then the index of a renamed label + 1.
  std::vector<uint64_t> slots;
  size_t mask = 0;
  const auto find = [&](std::string_view name, uint64_t& slot) {
    const uint64_t h = hash_bytes(name);
    size_t i = static_cast<size_t>(h) & mask;
    for (; slots[i] != 0; i = (i + 1) & mask) {
      if ((slots[i] >> 32) == (h >> 32) && name_of(renamed_[(slots[i] & 0xFFFFFFFF) - 1]) == name)
        break;
    }
    slot = (h >> 32) << 32;
    return i;
  };
  const auto build = [&] {
    size_t size = 16;
    while (size < 2 * renamed_.size()) size *= 2;
    slots.assign(size, 0);
    mask = size - 1;
    for (size_t k = 0; k < renamed_.size(); ++k) {
      uint64_t tag;
      const size_t i = find(name_of(renamed_[k]), tag);
      if (slots[i] == 0) {
        slots[i] = tag | (k + 1);
      } else {
        const Renamed& first = renamed_[(slots[i] & 0xFFFFFFFF) - 1];
        if (original_of(first) != original_of(renamed_[k]))
          conflict(original_of(first), original_of(renamed_[k]), name_of(first));
      }
      poll.tick(16);
    }
  };
  if (ambiguous_) build();

  size_t next = 0;  // the next renamed label, in output order
  size_t i = 0;
  bool in_length = false;
  while (i < out.size()) {
    const size_t start = i;
    bool underscore = false;
    for (; i < out.size() && !is_delimiter(out[i]); ++i) underscore |= out[i] == '_';
    if (next < renamed_.size() && renamed_[next].at == start) {
      ++next;
    } else if (underscore && !in_length) {
      if (slots.empty()) build();
      const std::string_view name = out.substr(start, i - start);
      uint64_t tag;
      const uint64_t found = slots[find(name, tag)];
      if (found != 0) conflict(original_of(renamed_[(found & 0xFFFFFFFF) - 1]), name, name);
    }
    if (i < out.size()) in_length = out[i] == ':';
    ++i;
    poll.tick(4);
  }
}

}  // namespace cladorix
