// libFuzzer target for the tree file reader (standard Newick and Nexus).
//
// Every input is read whole and in chunks of two other sizes, with the
// default rules and with internal labels dropped and edges collapsed. Each
// read must end in trees or a CallerError, the same however the input was
// cut. Every tree must be Newick text the measures read without error: one
// ";" at the end, no white space, valid UTF-8, every "(" closed; and read
// again (when it holds no quote or bracket, which would read differently) it
// must come back unchanged. Anything else aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tree/formats/lexical.hpp"
#include "tree/formats/tree_file.hpp"
#include "tree/newick.hpp"
#include "tree/tree.hpp"
#include "util/errors.hpp"

using namespace cladorix;

namespace {

std::string_view g_input;

[[noreturn]] void die(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz_tree_file: %s\n%.*s\ninput (%zu bytes): %.*s\n", what,
               static_cast<int>(std::min<size_t>(detail.size(), 400)), detail.data(),
               g_input.size(), static_cast<int>(std::min<size_t>(g_input.size(), 400)),
               g_input.data());
  std::abort();
}

struct Outcome {
  std::vector<NamedTree> trees;
  std::string error;  // empty: no error
  bool operator==(const Outcome& o) const {
    if (error != o.error || trees.size() != o.trees.size()) return false;
    for (size_t i = 0; i < trees.size(); ++i)
      if (trees[i].name != o.trees[i].name || trees[i].newick != o.trees[i].newick) return false;
    return true;
  }
};

Outcome read(std::string_view text, const TreeFileOptions& options, size_t chunk) {
  Outcome out;
  TreeFileReader reader("<fuzz>", options);
  try {
    for (size_t i = 0; i < text.size(); i += chunk) reader.feed(text.substr(i, chunk), out.trees);
    reader.finish(out.trees);
  } catch (const CallerError& e) {
    out.error = e.what();
  }
  // Any other exception escapes and aborts: libFuzzer reports it as a crash.
  return out;
}

bool valid_utf8(std::string_view s) {
  for (const char* p = s.data(); p < s.data() + s.size();) {
    const size_t n = lexical::utf8_length(p, s.data() + s.size());
    if (n == 0) return false;
    p += n;
  }
  return true;
}

void check_tree(const NamedTree& t, const TreeFileOptions& options) {
  const std::string& s = t.newick;
  if (s.empty() || s.back() != ';' || s.find(';') != s.size() - 1)
    die("a tree without exactly one ';', at its end", s);
  if (!valid_utf8(s) || !valid_utf8(t.name)) die("a tree or name that is not UTF-8", s);
  for (const char* p = s.data(); p < s.data() + s.size(); ++p)
    if (lexical::blank_length(p, s.data() + s.size()) != 0) die("white space in a tree", s);
  try {
    const Tree tree = from_newick(s);
    if (!tree.fully_connected()) die("a tree with a '(' never closed", s);
  } catch (const std::exception& e) {
    die("the measures' reader fails on a tree", s);
  }
  if (s.find_first_of("'[]") != std::string::npos) return;
  if (s.size() >= 6 && lexical::keyword_is(std::string_view(s).substr(0, 6), "#nexus")) return;
  TreeFileOptions again = options;
  again.format = TreeFileFormat::kNewick;
  const Outcome o = read(s, again, SIZE_MAX);
  if (!o.error.empty() || o.trees.size() != 1 || o.trees[0].newick != s)
    die("a tree does not read back unchanged", s + "\n" + o.error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  g_input = text;
  TreeFileOptions plain;
  TreeFileOptions rules;
  rules.rules = {true, 0.0, 0.5};
  for (const TreeFileOptions& options : {plain, rules}) {
    const Outcome whole = read(text, options, SIZE_MAX);
    for (size_t chunk : {size_t{1}, size % 13 + 2}) {
      if (!(read(text, options, chunk) == whole)) die("chunks change the outcome");
    }
    for (const NamedTree& t : whole.trees) check_tree(t, options);
  }
  return 0;
}
