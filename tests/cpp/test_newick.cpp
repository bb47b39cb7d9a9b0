#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reference/taxa_map.hpp"
#include "tree/newick.hpp"
#include "tree/tree.hpp"
#include "tree_gen.hpp"
#include "util/errors.hpp"

using namespace cladorix;

namespace {

std::vector<NodeId> ids(std::initializer_list<NodeId> l) { return std::vector<NodeId>(l); }

uint64_t error_index(const std::string& text) {
  try {
    from_newick(text);
  } catch (const NewickError& e) {
    return e.idx();
  }
  ADD_FAILURE() << "no NewickError for " << text;
  return UINT64_MAX;
}

}  // namespace

TEST(Newick, IdsFollowTheTextAndChildrenKeepTheirOrder) {
  Tree t = from_newick("((A,B),C);");
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t.children(0), ids({1, 4}));
  EXPECT_EQ(t.children(1), ids({2, 3}));
  EXPECT_EQ(t.name(2), "A");
  EXPECT_EQ(t.name(3), "B");
  EXPECT_EQ(t.name(4), "C");
  EXPECT_FALSE(t.has_parent(0));
  EXPECT_EQ(t.parent(2), 1u);
  EXPECT_EQ(t.parent(4), 0u);
  EXPECT_EQ(t.leaves(), ids({2, 3, 4}));
}

TEST(Newick, NamesAndLengths) {
  Tree t = from_newick("((A:0.1,B:0.2)AB:0.3,C:0.4)root;");
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t.name(1), "AB");
  EXPECT_EQ(*t.weight(1), 0.3f);
  EXPECT_EQ(*t.weight(2), 0.1f);
  EXPECT_EQ(t.name(0), "root");
  EXPECT_FALSE(t.weight(0).has_value());
  EXPECT_EQ(reference::taxa_map(t).size(), 5u);

  Tree odd = from_newick("(A:x,B:,C: 1 . 5e1 ,D:1:2,E:-INFinity,F:nan,G:1e60,H:-1e-60,I:+.5);");
  EXPECT_FALSE(odd.weight(1).has_value());
  EXPECT_FALSE(odd.weight(2).has_value());
  EXPECT_EQ(*odd.weight(3), 15.0f);  // white space is removed inside lengths too
  EXPECT_FALSE(odd.weight(4).has_value());
  EXPECT_EQ(*odd.weight(5), -INFINITY);
  EXPECT_TRUE(std::isnan(*odd.weight(6)));
  EXPECT_EQ(*odd.weight(7), INFINITY);
  EXPECT_EQ(*odd.weight(8), 0.0f);
  EXPECT_TRUE(std::signbit(*odd.weight(8)));
  EXPECT_EQ(*odd.weight(9), 0.5f);
  for (const char* bad :
       {"(A:1e,B);", "(A:.,B);", "(A:nan(1),B);", "(A:--1,B);", "(A:0x10,B);", "(A:1f,B);"})
    EXPECT_FALSE(from_newick(bad).weight(1).has_value()) << bad;
  // Rounded to the nearest float.
  EXPECT_EQ(*from_newick("(A:0.1000000000000000055511151231257827,B);").weight(1), 0.1f);
}

TEST(Newick, DuplicateNamesMapToTheNodeNamedLast) {
  Tree t = from_newick("(A,A);");
  EXPECT_EQ(reference::taxa_map(t).size(), 1u);
  EXPECT_EQ(*reference::taxa_node_id(t, "A"), 2u);
  // Names are given when a node closes, so an internal node bearing a leaf's
  // name is named after its leaves.
  Tree u = from_newick("((A,B)A,C);");
  EXPECT_EQ(*reference::taxa_node_id(u, "A"), 1u);
  EXPECT_FALSE(reference::taxa_node_id(u, "a").has_value());
  EXPECT_FALSE(reference::taxa_node_id(from_newick(";"), "A").has_value());
}

TEST(Newick, PendingTextAndTrailingText) {
  EXPECT_EQ(from_newick("(A B,C);").name(1), "AB");
  EXPECT_EQ(from_newick("A(B,C);").name(1), "AB");
  Tree junk = from_newick("(A,B);junk");
  EXPECT_EQ(junk.size(), 3u);
  EXPECT_EQ(reference::taxa_map(junk).size(), 2u);
  for (const char* empty : {"", ";", " \t\n", "\u3000;"}) {
    Tree t = from_newick(empty);
    EXPECT_EQ(t.size(), 1u) << empty;
    EXPECT_FALSE(t.has_name(0));
  }
  Tree single = from_newick("A;");
  EXPECT_EQ(single.size(), 1u);
  EXPECT_EQ(single.name(0), "A");
  EXPECT_TRUE(single.is_leaf(0));
  EXPECT_EQ(from_newick("(A,B)").size(), 3u);
  Tree unnamed = from_newick("(,);");
  EXPECT_EQ(unnamed.leaves(), ids({1, 2}));
  EXPECT_FALSE(unnamed.has_name(1));
}

TEST(Newick, UnclosedParenthesesLeaveNodesUnattached) {
  Tree t = from_newick("((A,B);");
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t.children(1), ids({2, 3}));
  EXPECT_FALSE(t.has_parent(1));
  EXPECT_EQ(t.child_count(0), 0u);
  EXPECT_FALSE(t.fully_connected());
  EXPECT_TRUE(from_newick("((A,B),C);").fully_connected());
  // Depth walks up to the top of the node's own part.
  EXPECT_EQ(testgen::naive_depth(t, 2), 1u);
  EXPECT_EQ(t.depths()[3], 1u);
}

TEST(Newick, LeafNamesInNodeOrder) {
  using Names = std::vector<std::optional<std::string_view>>;
  // Named internal nodes and the root are left out; unnamed leaves keep
  // their place; duplicates all appear.
  EXPECT_EQ(leaf_names(from_newick("((A,B)x,(,C),A)r;")),
            (Names{"A", "B", std::nullopt, "C", "A"}));
  EXPECT_EQ(leaf_names(from_newick("(b,(a,c));")), (Names{"b", "a", "c"}));
  // A lone root is a leaf, named or not.
  EXPECT_EQ(leaf_names(from_newick("A;")), (Names{"A"}));
  EXPECT_EQ(leaf_names(from_newick("")), (Names{std::nullopt}));
  // Names are bytes: multi-byte characters pass through; white space does not.
  EXPECT_EQ(leaf_names(from_newick("(\xc3\xa9 t,\xe7\xb4\xb0\xe8\x83\x9e);")),
            (Names{"\xc3\xa9t", "\xe7\xb4\xb0\xe8\x83\x9e"}));
  // An unclosed "(" leaves the root without children: it is a leaf too,
  // ahead of the leaves of the unattached node.
  EXPECT_EQ(leaf_names(from_newick("((A,B);")), (Names{std::nullopt, "A", "B"}));
}

TEST(Newick, ErrorPositionsCountCharactersWithoutWhiteSpace) {
  EXPECT_EQ(error_index(")"), 0u);
  EXPECT_EQ(error_index(",A;"), 0u);
  EXPECT_EQ(error_index("A,B;"), 1u);
  EXPECT_EQ(error_index("(A,B));"), 5u);
  EXPECT_EQ(error_index("(A,B)) ;"), 5u);
  EXPECT_EQ(error_index("(A,B))"), 5u);
  EXPECT_EQ(error_index(" (\xc2\xa0\xc3\xa9 ,B))"), 5u);  // NBSP dropped, é one character
  EXPECT_EQ(error_index("(\xe2\x80\x8a\xe6\x97\xa5\xe6\x9c\xac,B))"), 6u);  // hair space, two CJK
  EXPECT_EQ(error_index("(\xf0\x9f\x91\x8d,B))"), 5u);                      // four-byte character
  // A lead byte of a white space sequence that is not one is a name character.
  EXPECT_EQ(error_index("(\xe2\x80\x8b,B))"), 5u);  // U+200B is not white space
  try {
    from_newick("(A,B));");
  } catch (const NewickError& e) {
    EXPECT_EQ(e.debug_form(), "Custom { kind: InvalidData, error: InvalidCharacter { idx: 5 } }");
  }
}

TEST(Newick, NamesOrLengthsRunningOffTheEndAreInternalErrors) {
  for (const char* text : {"A", "(A,B)C", "(A:1", "(A,B):", "(A,B)C \t"})
    EXPECT_THROW(from_newick(text), InternalError) << text;
}

TEST(Newick, UnicodeWhiteSpaceIsRemovedEverywhere) {
  const char* spaces[] = {"\t",           "\n",           "\v",
                          "\f",           "\r",           " ",
                          "\xc2\x85",     "\xc2\xa0",     "\xe1\x9a\x80",
                          "\xe2\x80\x80", "\xe2\x80\x8a", "\xe2\x80\xa8",
                          "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f",
                          "\xe3\x80\x80"};
  for (const char* s : spaces) {
    std::string w(s);
    Tree t = from_newick(w + "(A" + w + "B" + w + "," + w + "C:" + w + "2" + w + ")" + w + ";");
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t.name(1), "AB");
    EXPECT_EQ(*t.weight(2), 2.0f);
  }
}

TEST(Newick, MillionDeepCaterpillarNeedsNoRecursion) {
  const int n = 1000000;
  std::string text(n - 1, '(');
  text += "L0";
  for (int i = 1; i < n; ++i) text += ",L" + std::to_string(i) + ")";
  text += ";";
  Tree t = from_newick(text);
  EXPECT_EQ(t.size(), static_cast<size_t>(2 * n - 1));
  EXPECT_EQ(t.leaves().size(), static_cast<size_t>(n));
  std::vector<uint32_t> d = t.depths();
  EXPECT_EQ(*std::max_element(d.begin(), d.end()), static_cast<uint32_t>(n - 1));
  EXPECT_TRUE(t.fully_connected());
}
