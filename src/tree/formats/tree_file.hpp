// Trees as other tools write them: standard Newick and Nexus files converted,
// tree by tree, into the Newick text the measures read (no quoting, no
// comments, no white space).
//
// The reader is fed the input in chunks of any size and hands back each tree
// as soon as its ";" arrives, holding one tree's text at a time. Errors in
// the input throw CallerError "<source>:<line>:<column>: <what>".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tree/formats/lexical.hpp"
#include "tree/formats/newick_converter.hpp"
#include "tree/formats/translate_table.hpp"

namespace cladorix {

enum class TreeFileFormat : uint8_t {
  kAuto,  // Nexus when the text starts with #NEXUS (any case), else Newick
  kNewick,
  kNexus,
};

struct TreeFileOptions {
  TreeFileFormat format = TreeFileFormat::kAuto;
  ConversionRules rules;
  bool single_tree = false;  // a second tree is an error
};

struct NamedTree {
  std::string name;    // the Nexus tree name, or "1", "2", ... in Newick files
  std::string newick;  // ends with ";"
};

class TreeFileReader {
 public:
  // `source` names the input in error messages (a path, or "<stream>").
  TreeFileReader(std::string source, TreeFileOptions options);

  // Reads the next bytes of the input; appends the trees they complete.
  void feed(std::string_view bytes, std::vector<NamedTree>& trees);
  // The input has ended: appends what is left, or throws when a tree, a
  // comment or a quote is unfinished, or when the input held no tree.
  void finish(std::vector<NamedTree>& trees);

  const std::string& source() const noexcept { return source_; }

 private:
  enum class Phase : uint8_t { kBetween, kWord, kBody };
  enum class Block : uint8_t { kNone, kTrees, kOther };
  struct Mark {
    uint64_t offset = 0;  // from the start of the input
    TextPosition position;
  };

  void start(std::vector<NamedTree>& trees);
  void scan(std::string_view chunk, std::vector<NamedTree>& trees);
  void advance_cursor(size_t offset_in_chunk);
  void resolve(Mark& mark);
  void start_statement(size_t offset_in_chunk);
  void end_word();
  void end_statement(size_t end_in_chunk, std::vector<NamedTree>& trees);
  void on_newick_tree(const Statement& s, std::vector<NamedTree>& trees);
  void on_nexus_command(const Statement& s, std::vector<NamedTree>& trees);
  void read_translate(const Statement& s, const char* p);
  void read_tree_command(const Statement& s, const char* p, std::vector<NamedTree>& trees);
  void emit(const Statement& s, std::string name, std::vector<NamedTree>& trees);
  void check_end_of_input() const;
  [[noreturn]] void fail_at_end(const std::string& what) const;

  std::string source_;
  TreeFileOptions options_;
  TreeFileFormat format_;  // kAuto until the first bytes are seen
  std::string head_;       // bytes held back until the format is known
  bool started_ = false;
  bool finished_ = false;

  // Comments and quotes are followed across chunks, so that a ";" inside
  // them ends nothing.
  Phase phase_ = Phase::kBetween;
  uint64_t comment_depth_ = 0;
  bool in_quote_ = false;
  uint64_t quote_reopens_at_ = UINT64_MAX;    // a quote here continues the last one ('')
  uint64_t plain_quote_at_ = UINT64_MAX - 1;  // the last quote that quoted nothing
  char last_byte_ = ' ';                      // of the previous chunk
  Mark comment_mark_, quote_mark_;            // where the open comment or quote began

  // Where we are: the current chunk, its offset in the input, and a cursor
  // whose line and column are known (it only moves forward).
  const char* chunk_ = nullptr;
  uint64_t chunk_offset_ = 0;
  size_t cursor_ = 0;
  TextPosition cursor_position_;

  // The statement being read: a tree (Newick), or a Nexus command from its
  // first word through its ";". Commands that are skipped are not kept.
  bool collecting_ = false;
  bool skipping_ = false;
  bool kept_ = false;  // the statement's bytes so far are in stmt_ (else in the chunk)
  size_t stmt_begin_ = 0;
  std::string stmt_;
  TextPosition stmt_position_;
  std::string word_;  // a Nexus command's first word (long words are cut: no keyword is long)

  // Nexus: where the commands stand.
  bool header_read_ = false;
  Block block_ = Block::kNone;
  bool saw_trees_block_ = false;
  TranslateTable table_;
  std::string token_, quoted_, name_;  // quoted values of TRANSLATE entries and names

  NewickConverter converter_;
  std::string newick_;
  uint64_t trees_read_ = 0;
};

}  // namespace cladorix
