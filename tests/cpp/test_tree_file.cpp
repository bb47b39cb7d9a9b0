// The tree file reader: standard Newick and Nexus converted into the Newick
// text the measures read, every error with its line and column, and the same
// outcome however the input is cut into chunks.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "runtime/cancel.hpp"
#include "tree/formats/tree_file.hpp"
#include "tree/newick.hpp"
#include "tree_gen.hpp"
#include "util/errors.hpp"

using namespace cladorix;

namespace {

struct Options {
  TreeFileFormat format = TreeFileFormat::kAuto;
  bool drop = false;
  std::optional<double> max_length, min_support;
};
Options as(TreeFileFormat format) { return Options{format, false, std::nullopt, std::nullopt}; }
Options rules(bool drop, std::optional<double> max_length, std::optional<double> min_support) {
  return Options{TreeFileFormat::kAuto, drop, max_length, min_support};
}

// "name\tnewick\n" per tree, or "error: <message>".
std::string read(std::string_view text, const Options& o = {}, size_t chunk = SIZE_MAX) {
  TreeFileOptions options;
  options.format = o.format;
  options.rules = {o.drop, o.max_length, o.min_support};
  TreeFileReader reader("<stream>", options);
  std::vector<NamedTree> trees;
  try {
    for (size_t i = 0; i < text.size(); i += chunk) reader.feed(text.substr(i, chunk), trees);
    reader.finish(trees);
  } catch (const CallerError& e) {
    return std::string("error: ") + e.what();
  }
  std::string out;
  for (const NamedTree& t : trees) out += t.name + "\t" + t.newick + "\n";
  return out;
}

struct Case {
  const char* what;
  std::string input;
  std::string expected;
  Options options = {};
};

const std::vector<Case>& conversions() {
  static const std::vector<Case> cases = {
      {"DendroPy's rooted tree", "[&R] ((A:0.1,B:0.2)0.95:0.3,(C_d:0.001,D:0.025):0.1);\n",
       "1\t((A:0.1,B:0.2)0.95:0.3,(C_d:0.001,D:0.025):0.1);\n"},
      {"NHX and BEAST comments anywhere",
       "((A:1[&&NHX:S=x:D=N],B[&rate=0.5,h={1,2}]:2)[&&NHX:B=9]:3,C [free; text]);",
       "1\t((A:1,B:2):3,C);\n"},
      {"nested comments, a quote inside one", "[a [b] c's](A,[x[y]z]B);", "1\t(A,B);\n"},
      {"quoted labels: blanks become _, '' is a quote",
       "('A b':1,'O''Brien','\xC2\xA0x\ty','[x]',\"q\",'');",
       "1\t(A_b:1,O'Brien,_x_y,[x],\"q\",);\n"},
      {"several trees, white space between and inside", "\n (A ,\n B ) ;\t(C,\r\nD) x:1 ;\n",
       "1\t(A,B);\n2\t(C,D)x:1;\n"},
      {"a leaf alone and unnamed leaves", "A;(,);((),B);", "1\tA;\n2\t(,);\n3\t((),B);\n"},
      {"a byte-order mark", "\xEF\xBB\xBF(A,B);", "1\t(A,B);\n"},
      {"UTF-8 names", "('\xC3\xA9 t',\xE6\x97\xA5);", "1\t(\xC3\xA9_t,\xE6\x97\xA5);\n"},
      {"Nexus: TRANSLATE, blocks skipped, keywords in any case",
       "#nexus\nBEGIN TAXA; TAXLABELS A B 'c d'; END;\n"
       "begin data; format symbols=\"0 1\"; matrix A 01 B 'x;y' [;] ; end;\n"
       "Begin Trees;\n Translate\n  1 A,\n  2 B,\n  3 'c d'\n ;\n"
       " TREE one = [&U] (1,(2,3));\n utree * 'tree two' [&lnP=-1] = [&R] ((1:1,2:2)0.9:0.5,3);\n"
       "End;\n",
       "one\t(A,(B,c_d));\ntree two\t((A:1,B:2)0.9:0.5,c_d);\n"},
      {"a label not in the table stays; internal labels are not translated",
       "#NEXUS\nbegin trees; translate 1 A, 2 B; tree t = ((1,X)2,'1');end;", "t\t((A,X)2,A);\n"},
      {"numeric tokens match exactly, however large",
       "#NEXUS\nbegin trees; translate 1 A, 01 B, 999999999 C, 1000000000 D, x E;\n"
       "tree t = (1,01,999999999,1000000000,x,2,001);end;",
       "t\t(A,B,C,D,E,2,001);\n"},
      {"a table per block; ENDBLOCK and a missing END",
       "#NEXUS\nbegin trees; translate 1 A; tree a = (1,2); endblock;\n"
       "begin trees; translate 2 B; tree b = (1,2);",
       "a\t(A,2);\nb\t(1,B);\n"},
      {"a quote inside a word of a skipped block quotes nothing (Bio.Phylo's TAXLABELS)",
       "#NEXUS\nbegin taxa; taxlabels O'Neil B; end; begin trees; tree t = ('O''Neil',B); end;",
       "t\t(O'Neil,B);\n"},
      {"TREE outside a TREES block is skipped",
       "#NEXUS\nbegin paup; tree x = (A,B); end; begin trees; tree y = (C,D); end;", "y\t(C,D);\n"},
      {"a Newick file that is asked for as Newick", "(A,B);", "1\t(A,B);\n",
       as(TreeFileFormat::kNewick)},
      {"drop removes every internal label, the root's too", "((A,B)0.9:1,(C,D)'x y')root;",
       "1\t((A,B):1,(C,D));\n", rules(true, std::nullopt, std::nullopt)},
      {"collapse by length: at most the threshold; leaves and the root stay",
       "(((A,B):0,(C,D):1e-3)x:0.0,E:0,(F,G):-1)r:0;", "1\t(A,B,(C,D):1e-3,E:0,F,G)r:0;\n",
       rules(false, 0.0, std::nullopt)},
      {"collapse by support: below the threshold, numeric labels only",
       "(((A,B)0.5,(C,D)0.7)0.69:1,(E,F)high,(G,H)'0.1');", "1\t(A,B,(C,D)0.7,(E,F)high,G,H);\n",
       rules(false, std::nullopt, 0.7)},
      {"renamed labels: the same label twice, one on a collapsed node",
       "((('a b','a b')'x y':0,'x y')'q r',c);", "1\t((a_b,a_b,x_y)q_r,c);\n",
       rules(false, 0.0, std::nullopt)},
      {"both rules, and drop", "(((A,B)0.9:0,(C,D)0.1:2)0.95:1,E);", "1\t((A,B,C,D):1,E);\n",
       rules(true, 0.0, 0.5)},
  };
  return cases;
}

const std::vector<Case>& errors() {
  static const std::vector<Case> cases = {
      {"unterminated comment", "(A,B);\n(C,[D\n", "2:4: this comment's '[' is never closed by ']'"},
      {"unterminated quote", "(A,\n 'B\n);", "2:2: this quote is never closed"},
      {"')' without '('", "(A,B));", "1:6: ')' without a matching '('"},
      {"'(' not closed", "((A,B);", "1:7: ';' ends the tree with 1 '(' not closed"},
      {"',' at the top", "A,B;", "1:2: ',' outside parentheses"},
      {"no final ';'", "(A,B);\n (C,D)\n",
       "3:1: the input ends inside a tree that has no final ';' (it starts at line 2, column 2)"},
      {"a quoted label holding ':'", "(A,'B:1');",
       "1:6: quoted label holds ':', which cannot stand in a name of the Newick text the functions "
       "read"},
      {"a quoted label holding ','", "('x,y',B);",
       "1:4: quoted label holds ',', which cannot stand in a name of the Newick text the functions "
       "read"},
      {"a quote inside an unquoted label", "(O''Neil;x,B);",
       "1:3: a quote inside the unquoted label O: a label holding a quote is quoted whole, its "
       "quotes doubled ('O''Neil')"},
      {"a quote right after a TRANSLATE token", "#NEXUS\nbegin trees; translate 1'a;b';",
       "2:25: a quote right after 1: a quoted name stands apart, its own quotes doubled "
       "('O''Neil')"},
      {"blanks in an unquoted label", "(A b,C);",
       "1:4: text after the label A (a label holding blanks must be quoted)"},
      {"a label before '('", "(A(B,C));", "1:3: '(' after the label A: expected ',', ')' or ';'"},
      {"')' then '('", "((A)(B));", "1:5: '(' where ',', ')' or ';' was expected"},
      {"':' with no length", "(A:,B);", "1:3: ':' without a branch length after it"},
      {"two lengths", "(A:1:2,B);", "1:5: a second ':' after the branch length 1"},
      {"a quoted length", "(A:'1',B);", "1:4: a branch length cannot be quoted"},
      {"a stray ']'", "(A],B);", "1:3: ']' without an opening '['"},
      {"an empty tree", "(A,B);\n;", "2:1: ';' ends an empty tree"},
      {"'a b' and a_b", "(('a b',c),\na_b);", "1:1: labels 'a b' and a_b both become the name a_b"},
      {"'a b' and 'a\tb'", "('a b','a\tb');",
       "1:1: labels 'a b' and 'a\tb' both become the name a_b"},
      {"'a_b c' and a_b_c", "(a_b_c,'a_b c');",
       "1:1: labels 'a_b c' and a_b_c both become the name a_b_c"},
      {"a renamed name in TRANSLATE and a label",
       "#NEXUS\nbegin trees; translate 1 'a b';\n"
       "tree t = (1,(a_b,c));",
       "3:10: labels 'a b' and a_b both become the name a_b"},
      {"not UTF-8", "(A,\n B\xE9);", "2:3: byte 0xE9 is not UTF-8 (files are read as UTF-8)"},
      {"an empty input", "", "1:1: the input is empty"},
      {"only comments", " [x]\n", "2:1: the input holds no tree"},
      {"a Nexus file read as Newick", "#NEXUS\nbegin trees; tree t = (A,B); end;",
       "1:1: this is a Nexus file (it starts with #NEXUS): read it as format 'nexus' or 'auto'",
       as(TreeFileFormat::kNewick)},
      {"Newick read as Nexus", "(A,B);", "1:1: a Nexus file starts with #NEXUS",
       as(TreeFileFormat::kNexus)},
      {"a Nexus file without TREES", "#NEXUS\nbegin taxa; taxlabels A B; end;\n",
       "3:1: the Nexus file has no TREES block"},
      {"a TREES block without trees", "#NEXUS\nbegin trees; translate 1 A; end;",
       "2:33: the TREES block holds no tree"},
      {"a token mapped twice", "#NEXUS\nbegin trees; translate\n 1 A,\n 1 B;",
       "4:2: TRANSLATE maps the token 1 twice"},
      {"an entry without a name", "#NEXUS\nbegin trees; translate 1 A, 2, 3 C;",
       "2:30: the TRANSLATE entry 2 has no name"},
      {"entries without commas", "#NEXUS\nbegin trees; translate 1 A 2 B;",
       "2:28: expected ',' or ';' after the TRANSLATE entry 1 A"},
      {"a comma before ';'", "#NEXUS\nbegin trees; translate 1 A,;",
       "2:28: a ',' with no TRANSLATE entry after it"},
      {"a TRANSLATE name holding ':'", "#NEXUS\nbegin trees; translate 1 a:b;",
       "2:27: the TRANSLATE name a:b holds ':', which cannot stand in a name of the Newick text "
       "the functions read"},
      {"a TREE without '='", "#NEXUS\nbegin trees; tree t (A,B);",
       "2:21: expected '=' after the tree name t"},
      {"a TREE cut off", "#NEXUS\nbegin trees; tree t = (A,B)",
       "2:28: the input ends inside a TREE command that has no final ';' (it starts at line 2, "
       "column 14)"},
  };
  return cases;
}

}  // namespace

TEST(TreeFile, ConvertsWhatOtherToolsWrite) {
  for (const Case& c : conversions()) EXPECT_EQ(read(c.input, c.options), c.expected) << c.what;
}

TEST(TreeFile, ErrorsNameTheSourceLineAndColumn) {
  for (const Case& c : errors())
    EXPECT_EQ(read(c.input, c.options), "error: <stream>:" + c.expected) << c.what;
}

TEST(TreeFile, ChunksOfAnySizeGiveTheSameOutcome) {
  std::vector<Case> all = conversions();
  all.insert(all.end(), errors().begin(), errors().end());
  // Quotes and comments whose ends fall on chunk boundaries.
  all.push_back({"'' across chunks", "(A,'x''''y\n", ""});
  for (const Case& c : all) {
    const std::string whole = read(c.input, c.options);
    for (size_t chunk : {1, 2, 3, 7})
      EXPECT_EQ(read(c.input, c.options, chunk), whole) << c.what << ", chunks of " << chunk;
  }
}

// The output reads back unchanged, and as the measures' reader sees it the
// tree is the one written plainly.
TEST(TreeFile, OutputIsTheTreeWrittenPlainly) {
  std::mt19937_64 gen(17);
  std::vector<std::string> labels;
  for (uint32_t i = 0; i < 300; ++i) labels.push_back("t" + std::to_string(i));
  const std::string plain = testgen::random_newick(labels, gen, {4, 0.0, false});
  // The same tree with comments, blanks, quotes and a TRANSLATE table.
  std::string nexus = "#NEXUS\nbegin trees;\ntranslate\n";
  for (uint32_t i = 0; i < 300; ++i)
    nexus += (i ? ",\n" : "") + std::to_string(i + 1) + " '" + labels[i] + "'";
  nexus += ";\ntree one = [&R] ";
  std::string body;
  for (size_t i = 0; i < plain.size(); ++i) {
    if (plain[i] == 't') {
      size_t j = i + 1;
      while (j < plain.size() && std::isdigit(static_cast<unsigned char>(plain[j]))) ++j;
      body += std::to_string(std::stoul(plain.substr(i + 1, j - i - 1)) + 1) + " [&c=1]";
      i = j - 1;
    } else {
      body += plain[i];
      if (plain[i] == ',') body += "\n ";
    }
  }
  nexus += body + "\nend;\n";
  EXPECT_EQ(read(nexus), "one\t" + plain + "\n");
  EXPECT_EQ(read(plain), "1\t" + plain + "\n");
}

TEST(TreeFile, StopsWhenCancelled) {
  std::string big = "(";
  for (int i = 0; i < 200000; ++i) big += "'a b" + std::to_string(i) + "' [c]:1,";
  big += "x);";
  const CancelScope scope({[](void*) { return true; }, nullptr});
  std::this_thread::sleep_for(std::chrono::nanoseconds(kCancelCheckIntervalNs) +
                              std::chrono::milliseconds(1));
  TreeFileReader reader("<stream>", {});
  std::vector<NamedTree> trees;
  EXPECT_THROW(reader.feed(big, trees), Cancelled);
}
