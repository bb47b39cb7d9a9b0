// One tree in standard Newick (comments, quoted labels, blanks anywhere)
// converted into the Newick text the measures read: labels unquoted, blanks
// inside quoted labels written as "_", comments and white space dropped,
// branch lengths and labels otherwise as written.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tree/formats/lexical.hpp"
#include "tree/formats/translate_table.hpp"

namespace cladorix {

struct ConversionRules {
  bool drop_internal_labels = false;
  std::optional<double> collapse_max_length;   // contract edges of length <= this
  std::optional<double> collapse_min_support;  // contract edges whose numeric label < this
};

class NewickConverter {
 public:
  explicit NewickConverter(ConversionRules rules) : rules_(rules) {}

  // Converts the tree that starts at `p` and ends with the statement's ";"
  // into `out` (replacing it). Leaf labels found in `table` (may be null)
  // are replaced by their names.
  void convert(const Statement& s, const char* p, const TranslateTable* table, std::string& out);

 private:
  // A label whose blanks became "_": where its name stands in the output,
  // and the label as written.
  struct Renamed {
    uint64_t at;
    uint32_t length;
    uint32_t original_length;
    const char* original;
  };

  void note_renamed(size_t at, size_t length, std::string_view original);
  void check_renamed(const Statement& s, const char* tree_begin, std::string_view out);

  ConversionRules rules_;
  std::vector<size_t> open_;      // output offsets of the open "("
  std::string value_;             // a quoted label's value
  std::vector<Renamed> renamed_;  // in output order
  bool ambiguous_ = false;        // a renamed label holds "_" or a blank other than " "
};

}  // namespace cladorix
