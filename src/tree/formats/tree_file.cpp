// The input is cut into statements (a Newick tree, a Nexus command), each
// ending at a ";" outside comments and quotes. A statement that lies within
// one chunk is read where it stands; one that spans chunks is gathered in
// stmt_. Nexus commands other than BEGIN, END, TRANSLATE and TREE are
// skipped as they stream by, so a DATA block costs no memory.
//
// Line and column are known for one cursor that only moves forward: to
// each statement's start, to the opening of a comment or quote still open at
// a chunk's end, and to each chunk's end. Positions inside a statement are
// counted from its start when an error needs one.
#include "tree/formats/tree_file.hpp"

#include <cstring>
#include <utility>

#include "runtime/cancel.hpp"
#include "util/errors.hpp"

namespace cladorix {
namespace {

using namespace lexical;

constexpr size_t kLongestKeyword = 16;

// Bytes that end a Nexus command's first word.
inline bool ends_word(char c) {
  const auto u = static_cast<unsigned char>(c);
  return is_ascii_space(u) || c == ';' || c == '[' || c == ']' || c == '\'' || c == '=' ||
         c == '*' || c == ',' || c == '(' || c == ')';
}

// A Nexus word inside a statement: up to a blank, a comment, a quote, ",",
// ";", or one of `also_ends`.
const char* scan_word(const Statement& s, const char* p, std::string_view also_ends) {
  const char* end = s.end();
  while (p < end) {
    const char c = *p;
    const Kind k = kind(c);
    if (k == kBlank || k == kComma || k == kSemicolon || k == kCommentOpen || k == kCommentClose ||
        k == kQuote || also_ends.find(c) != std::string_view::npos)
      return p;
    if (k == kHigh) {
      if (blank_length(p, end) != 0) return p;
      const size_t n = utf8_length(p, end);
      if (n == 0) fail_not_utf8(s, p);
      p += n;
    } else {
      ++p;
    }
  }
  return p;
}

std::string_view between(const char* begin, const char* end) {
  return std::string_view(begin, static_cast<size_t>(end - begin));
}

// Whether a quoted name starts at p. A quote right after a word (1'A') is
// no quote to the scanner either, and stands where no name may.
bool quoted_name_at(const Statement& s, const char* p) {
  if (*p != '\'') return false;
  if (p > s.begin() && kind(p[-1]) == kLabel) {
    const char* word = p;
    while (word > s.begin() && kind(word[-1]) == kLabel) --word;
    s.fail(p, "a quote right after " + shown(between(word, p)) +
                  ": a quoted name stands apart, its own quotes doubled ('O''Neil')");
  }
  return true;
}

// Bytes of the UTF-8 byte-order mark some editors put first, or 0.
size_t bom_length(std::string_view text) {
  return text.size() >= 3 && text[0] == '\xEF' && text[1] == '\xBB' && text[2] == '\xBF' ? 3 : 0;
}

bool starts_with_nexus(std::string_view text) {
  return text.size() >= 6 && keyword_is(text.substr(0, 6), "#nexus");
}

}  // namespace

TreeFileReader::TreeFileReader(std::string source, TreeFileOptions options)
    : source_(std::move(source)),
      options_(options),
      format_(options.format),
      converter_(options.rules) {}

// ---- feeding -------------------------------------------------------------------

void TreeFileReader::feed(std::string_view bytes, std::vector<NamedTree>& trees) {
  if (finished_) fail("TreeFileReader fed after finish");
  if (started_) {
    scan(bytes, trees);
    return;
  }
  // Hold the first bytes back until a byte-order mark and "#NEXUS" can be
  // recognised.
  head_.append(bytes);
  if (head_.size() < 3 && std::string_view("\xEF\xBB\xBF").substr(0, head_.size()) == head_) return;
  size_t first = bom_length(head_);
  while (first < head_.size() && is_ascii_space(static_cast<unsigned char>(head_[first]))) ++first;
  if (first + 6 <= head_.size() || (first < head_.size() && head_[first] != '#')) start(trees);
}

void TreeFileReader::start(std::vector<NamedTree>& trees) {
  started_ = true;
  std::string head = std::move(head_);
  head_ = std::string();
  const size_t skip = bom_length(head);  // columns count after it
  if (format_ == TreeFileFormat::kAuto) {
    size_t first = skip;
    while (first < head.size() && is_ascii_space(static_cast<unsigned char>(head[first]))) ++first;
    format_ = starts_with_nexus(std::string_view(head).substr(first)) ? TreeFileFormat::kNexus
                                                                      : TreeFileFormat::kNewick;
  }
  scan(std::string_view(head).substr(skip), trees);
}

void TreeFileReader::finish(std::vector<NamedTree>& trees) {
  if (finished_) return;
  if (!started_) start(trees);
  finished_ = true;
  check_end_of_input();
  if (collecting_ && format_ == TreeFileFormat::kNewick) {
    // Only blanks and comments may follow the last ";".
    const Statement s{source_, stmt_, stmt_position_};
    if (skip_blanks(s, s.begin()) != s.end()) {
      fail_at_end("the input ends inside a tree that has no final ';' (it starts at line " +
                  std::to_string(stmt_position_.line) + ", column " +
                  std::to_string(stmt_position_.column) + ")");
    }
  }
  if (collecting_ && format_ == TreeFileFormat::kNexus) {
    if (phase_ == Phase::kWord) end_word();
    // A command cut off by the end is harmless unless it held trees.
    const bool tree = keyword_is(word_, "tree") || keyword_is(word_, "utree");
    if (collecting_ && !skipping_ && (tree || keyword_is(word_, "translate"))) {
      fail_at_end("the input ends inside a " + std::string(tree ? "TREE" : "TRANSLATE") +
                  " command that has no final ';' (it starts at line " +
                  std::to_string(stmt_position_.line) + ", column " +
                  std::to_string(stmt_position_.column) + ")");
    }
  }
  if (format_ == TreeFileFormat::kNexus) {
    if (!header_read_) fail_at_end("the input is empty: a Nexus file starts with #NEXUS");
    if (!saw_trees_block_) fail_at_end("the Nexus file has no TREES block");
    if (trees_read_ == 0) fail_at_end("the TREES block holds no tree");
  } else if (trees_read_ == 0) {
    fail_at_end(chunk_offset_ == 0 ? "the input is empty" : "the input holds no tree");
  }
}

void TreeFileReader::check_end_of_input() const {
  if (comment_depth_ > 0)
    fail_at(source_, comment_mark_.position, "this comment's '[' is never closed by ']'");
  if (in_quote_) fail_at(source_, quote_mark_.position, "this quote is never closed");
}

void TreeFileReader::fail_at_end(const std::string& what) const {
  fail_at(source_, cursor_position_, what);
}

// ---- scanning ------------------------------------------------------------------

void TreeFileReader::advance_cursor(size_t offset_in_chunk) {
  if (offset_in_chunk < cursor_) fail("the position cursor moved back");
  cursor_position_ =
      advance(cursor_position_, std::string_view(chunk_ + cursor_, offset_in_chunk - cursor_));
  cursor_ = offset_in_chunk;
}

void TreeFileReader::resolve(Mark& mark) {
  advance_cursor(static_cast<size_t>(mark.offset - chunk_offset_));
  mark.position = cursor_position_;
}

void TreeFileReader::start_statement(size_t offset_in_chunk) {
  advance_cursor(offset_in_chunk);
  stmt_position_ = cursor_position_;
  collecting_ = true;
  skipping_ = false;
  kept_ = false;
  stmt_begin_ = offset_in_chunk;
  word_.clear();
}

void TreeFileReader::scan(std::string_view chunk, std::vector<NamedTree>& trees) {
  chunk_ = chunk.data();
  cursor_ = 0;
  const char* const b = chunk.data();
  const size_t n = chunk.size();
  // Whether the open comment or quote began in this chunk (its position is
  // resolved before the chunk is left).
  bool comment_here = false, quote_here = false;
  size_t i = 0;
  CancelPoller poll;
  while (i < n) {
    const size_t from = i;
    if (comment_depth_ > 0) {
      while (i < n && b[i] != '[' && b[i] != ']') ++i;
      if (i < n) {
        comment_depth_ += b[i] == '[' ? 1 : -1;
        ++i;
      }
    } else if (in_quote_) {
      const void* q = std::memchr(b + i, '\'', n - i);
      if (q == nullptr) {
        i = n;
      } else {
        i = static_cast<size_t>(static_cast<const char*>(q) - b);
        in_quote_ = false;
        quote_reopens_at_ = chunk_offset_ + i + 1;
        ++i;
      }
    } else if (phase_ == Phase::kBetween) {
      while (i < n && is_ascii_space(static_cast<unsigned char>(b[i]))) ++i;
      if (i < n) {
        if (format_ == TreeFileFormat::kNexus && b[i] == '[') {
          comment_depth_ = 1;
          comment_mark_.offset = chunk_offset_ + i;
          comment_here = true;
          ++i;
        } else {
          start_statement(i);
          phase_ = format_ == TreeFileFormat::kNexus ? Phase::kWord : Phase::kBody;
        }
      }
    } else if (phase_ == Phase::kWord) {
      const size_t start = i;
      while (i < n && !ends_word(b[i])) ++i;
      const size_t room = kLongestKeyword + 1 - std::min(word_.size(), kLongestKeyword + 1);
      word_.append(b + start, std::min(i - start, room));
      if (i < n) end_word();
    } else {
      while (i < n && b[i] != ';' && b[i] != '[' && b[i] != '\'') ++i;
      if (i < n) {
        if (b[i] == ';') {
          end_statement(i + 1, trees);
        } else if (b[i] == '[') {
          comment_depth_ = 1;
          comment_mark_.offset = chunk_offset_ + i;
          comment_here = true;
        } else {
          // A quote right after a word's byte (O'Neil) quotes nothing: the
          // statement's reader reports it where it stands.
          const uint64_t at = chunk_offset_ + i;
          const char before = i > 0 ? b[i - 1] : last_byte_;
          if (at == quote_reopens_at_) {
            in_quote_ = true;  // '' inside a quoted string
          } else if (kind(before) == kLabel || at == plain_quote_at_ + 1) {
            plain_quote_at_ = at;
          } else {
            in_quote_ = true;
            quote_mark_.offset = at;
            quote_here = true;
          }
        }
        ++i;
      }
    }
    poll.tick(1 + (i - from) / 8);
  }

  if (collecting_ && !skipping_) {
    if (kept_) {
      stmt_.append(b, n);
    } else {
      stmt_.assign(b + stmt_begin_, n - stmt_begin_);
      kept_ = true;
    }
  }
  if (comment_depth_ > 0 && comment_here) resolve(comment_mark_);
  // A quote closed by the chunk's last byte may go on with '' in the next.
  if (quote_here && (in_quote_ || quote_reopens_at_ == chunk_offset_ + n)) resolve(quote_mark_);
  if (n > 0) last_byte_ = b[n - 1];
  advance_cursor(n);
  chunk_offset_ += n;
  chunk_ = nullptr;
}

void TreeFileReader::end_word() {
  phase_ = Phase::kBody;
  if (!header_read_) {
    // The first word of a Nexus file; "#NEXUS" needs no ";" after it.
    if (!keyword_is(word_, "#nexus"))
      fail_at(source_, stmt_position_, "a Nexus file starts with #NEXUS");
    header_read_ = true;
    collecting_ = false;
    phase_ = Phase::kBetween;
    return;
  }
  const bool wanted =
      keyword_is(word_, "begin") || keyword_is(word_, "end") || keyword_is(word_, "endblock") ||
      (block_ == Block::kTrees &&
       (keyword_is(word_, "tree") || keyword_is(word_, "utree") || keyword_is(word_, "translate")));
  if (!wanted) {
    skipping_ = true;
    std::string().swap(stmt_);
  }
}

void TreeFileReader::end_statement(size_t end_in_chunk, std::vector<NamedTree>& trees) {
  phase_ = Phase::kBetween;
  const bool read = collecting_ && !skipping_;
  collecting_ = false;
  if (!read) return;
  std::string_view text;
  if (kept_) {
    stmt_.append(chunk_, end_in_chunk);
    text = stmt_;
  } else {
    text = std::string_view(chunk_ + stmt_begin_, end_in_chunk - stmt_begin_);
  }
  const Statement s{source_, text, stmt_position_};
  if (format_ == TreeFileFormat::kNexus) {
    on_nexus_command(s, trees);
  } else {
    on_newick_tree(s, trees);
  }
  // Keep the buffer for the next tree of the same size, but not the memory
  // of one huge tree.
  stmt_.clear();
  if (stmt_.capacity() > (size_t{16} << 20)) std::string().swap(stmt_);
}

// ---- statements ------------------------------------------------------------------

void TreeFileReader::on_newick_tree(const Statement& s, std::vector<NamedTree>& trees) {
  if (trees_read_ == 0 && starts_with_nexus(s.text)) {
    s.fail(s.begin(),
           "this is a Nexus file (it starts with #NEXUS): read it as format 'nexus' or 'auto'");
  }
  converter_.convert(s, s.begin(), nullptr, newick_);
  emit(s, std::to_string(trees_read_ + 1), trees);
}

void TreeFileReader::on_nexus_command(const Statement& s, std::vector<NamedTree>& trees) {
  const char* p = scan_word(s, s.begin(), "=*()");
  const std::string_view word = between(s.begin(), p);
  if (keyword_is(word, "begin")) {
    p = skip_blanks(s, p);
    std::string_view name;
    if (quoted_name_at(s, p)) {
      read_quoted(s, p, name_, false);
      name = name_;
    } else {
      name = between(p, scan_word(s, p, ""));
    }
    if (name.empty()) s.fail(p, "BEGIN without a block name");
    table_.clear();
    block_ = keyword_is(name, "trees") ? Block::kTrees : Block::kOther;
    saw_trees_block_ = saw_trees_block_ || block_ == Block::kTrees;
  } else if (keyword_is(word, "end") || keyword_is(word, "endblock")) {
    table_.clear();
    block_ = Block::kNone;
  } else if (keyword_is(word, "translate")) {
    read_translate(s, p);
  } else {
    read_tree_command(s, p, trees);
  }
}

void TreeFileReader::read_translate(const Statement& s, const char* p) {
  // Size the table once: an entry per ",", and the bytes at most.
  size_t commas = 0;
  for (const char* q = p; q < s.end(); ++q) commas += *q == ',';
  table_.reserve(commas + 1, static_cast<size_t>(s.end() - p));
  p = skip_blanks(s, p);
  if (*p == ';') return;  // an empty table
  while (true) {
    const char* entry = p;
    std::string_view token;
    if (quoted_name_at(s, p)) {
      p = read_quoted(s, p, token_, false);
      token = token_;
    } else {
      const char* t = scan_word(s, p, "");
      if (t == p) s.fail(p, "a TRANSLATE entry must start with a token, then a name");
      token = between(p, t);
      p = t;
    }
    p = skip_blanks(s, p);
    if (*p == ',' || *p == ';')
      s.fail(p, "the TRANSLATE entry " + shown(between(entry, p)) + " has no name");
    const char* name_begin = p;
    std::string_view name, original;
    if (quoted_name_at(s, p)) {
      p = read_quoted(s, p, quoted_, true);
      name_.clear();
      if (append_blanks_as_underscores(name_, quoted_)) original = between(name_begin, p);
      name = name_;
    } else {
      p = scan_word(s, p, "");
      name = between(name_begin, p);
      for (const char* q = name_begin; q < p; ++q) {
        if (is_delimiter(*q))
          s.fail(q, std::string("the TRANSLATE name ") + shown(name) + " holds '" + *q +
                        "', which cannot stand in a name of the Newick text the functions read");
      }
    }
    if (name.empty()) s.fail(name_begin, "the TRANSLATE entry " + shown(token) + " has no name");
    if (!table_.add(token, name, original))
      s.fail(entry, "TRANSLATE maps the token " + shown(token) + " twice");
    p = skip_blanks(s, p);
    if (*p == ';') return;
    if (*p != ',')
      s.fail(p, "expected ',' or ';' after the TRANSLATE entry " +
                    shown(between(entry, name_begin)) + shown(name));
    p = skip_blanks(s, p + 1);
    if (*p == ';') s.fail(p, "a ',' with no TRANSLATE entry after it");
  }
}

void TreeFileReader::read_tree_command(const Statement& s, const char* p,
                                       std::vector<NamedTree>& trees) {
  p = skip_blanks(s, p);
  if (*p == '*') p = skip_blanks(s, p + 1);  // the default tree's mark
  std::string name;
  const char* name_begin = p;
  if (quoted_name_at(s, p)) {
    p = read_quoted(s, p, name_, false);
    name = name_;
  } else {
    p = scan_word(s, p, "=");
    name.assign(name_begin, p);
  }
  p = skip_blanks(s, p);
  if (*p != '=') {
    s.fail(p, name.empty() ? std::string("a TREE command needs a name, then '='")
                           : "expected '=' after the tree name " + shown(name));
  }
  converter_.convert(s, p + 1, &table_, newick_);
  emit(s, std::move(name), trees);
}

void TreeFileReader::emit(const Statement& s, std::string name, std::vector<NamedTree>& trees) {
  if (options_.single_tree && trees_read_ == 1) {
    s.fail(s.begin(),
           "a second tree, where one was expected (read files of several trees with read_trees "
           "or iter_trees)");
  }
  ++trees_read_;
  trees.push_back(NamedTree{std::move(name), std::move(newick_)});
  newick_ = std::string();
}

}  // namespace cladorix
