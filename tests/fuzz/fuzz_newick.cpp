// libFuzzer target for the Newick reader.
//
// Every input must either give a tree whose columns agree with each other, or
// fail with NewickError or InternalError; any other outcome aborts. Inputs
// that are valid UTF-8 (all a Python caller can pass) are also read by a
// direct transcription of the documented algorithm, over decoded characters,
// and both readers must agree on the outcome, the error position, and every
// node's parent, children, name and branch length.
#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tree/newick.hpp"
#include "tree/tree.hpp"
#include "util/errors.hpp"

using namespace cladorix;

namespace {

[[noreturn]] void die(const char* what, std::string_view input) {
  std::fprintf(stderr, "fuzz_newick: %s\ninput (%zu bytes): %.*s\n", what, input.size(),
               static_cast<int>(std::min<size_t>(input.size(), 400)), input.data());
  std::abort();
}

#define EXPECT(cond)                                   \
  do {                                                 \
    if (!(cond)) die("check failed: " #cond, g_input); \
  } while (0)

std::string_view g_input;

// ---- the reference reader --------------------------------------------------

// Strict UTF-8 decoding; nullopt for any invalid sequence. Each character
// keeps its bytes so names can be compared with the tree's.
struct Char {
  char32_t cp;
  std::string_view bytes;
};

std::optional<std::vector<Char>> decode(std::string_view s) {
  std::vector<Char> out;
  size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    size_t len;
    char32_t cp, min;
    if (b0 < 0x80) {
      len = 1, cp = b0, min = 0;
    } else if ((b0 & 0xE0) == 0xC0) {
      len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
      return std::nullopt;
    }
    if (i + len > s.size()) return std::nullopt;
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    out.push_back({cp, s.substr(i, len)});
    i += len;
  }
  return out;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool ascii_iequals(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != b[i]) return false;
  }
  return true;
}

// A decimal float in the standard grammar, else nullopt; the value is
// rounded to float by the C library.
std::optional<float> reference_length(const std::string& s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const std::string body = s.substr(i);
  if (ascii_iequals(body, "inf") || ascii_iequals(body, "infinity") || ascii_iequals(body, "nan"))
    return std::strtof(s.c_str(), nullptr);
  size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  return std::strtof(s.c_str(), nullptr);
}

struct RefNode {
  NodeId parent = kNoNode;
  std::vector<NodeId> children;
  std::optional<std::string> name;
  std::optional<float> weight;
};

struct RefTree {
  enum { kOk, kParseError, kInternalError } outcome = kOk;
  uint64_t error_idx = 0;
  std::vector<RefNode> nodes;
  std::vector<NodeId> naming_order;
};

RefTree reference_read(const std::vector<Char>& decoded) {
  std::vector<Char> text;
  for (const Char& c : decoded)
    if (!is_white_space(c.cp)) text.push_back(c);
  RefTree t;
  t.nodes.emplace_back();
  NodeId current = 0;
  std::vector<NodeId> stack;
  std::string name, length;
  auto give_name = [&](NodeId v) {
    if (name.empty()) return;
    t.nodes[v].name = name;
    t.naming_order.push_back(v);
  };
  size_t i = 0;
  while (i < text.size()) {
    const char32_t c = text[i].cp;
    if (c == '(') {
      stack.push_back(current);
      t.nodes.emplace_back();
      current = static_cast<NodeId>(t.nodes.size() - 1);
      ++i;
    } else if (c == ')' || c == ',') {
      if (stack.empty()) {
        t.outcome = RefTree::kParseError;
        t.error_idx = i;
        return t;
      }
      const NodeId p = stack.back();
      t.nodes[p].children.push_back(current);
      t.nodes[current].parent = p;
      t.nodes[current].weight = reference_length(length);
      give_name(current);
      name.clear();
      length.clear();
      if (c == ',') {
        t.nodes.emplace_back();
        current = static_cast<NodeId>(t.nodes.size() - 1);
      } else {
        current = p;
        stack.pop_back();
      }
      ++i;
    } else if (c == ':') {
      ++i;
      while (true) {
        if (i == text.size()) {
          t.outcome = RefTree::kInternalError;
          return t;
        }
        const char32_t d = text[i].cp;
        if (d == '(' || d == ')' || d == ',' || d == ';') break;
        length += text[i].bytes;
        ++i;
      }
    } else if (c == ';') {
      give_name(current);
      return t;
    } else {
      while (true) {
        if (i == text.size()) {
          t.outcome = RefTree::kInternalError;
          return t;
        }
        const char32_t d = text[i].cp;
        if (d == '(' || d == ')' || d == ',' || d == ':' || d == ';') break;
        name += text[i].bytes;
        ++i;
      }
    }
  }
  return t;
}

// ---- checks on the reader's tree ---------------------------------------------

// The columns agree with each other whatever the input was.
void check_shape(const Tree& t) {
  const size_t n = t.size();
  EXPECT(n >= 1);
  EXPECT(!t.has_parent(0));
  std::vector<uint32_t> counted(n, 0);
  for (NodeId v = 0; v < n; ++v) {
    if (t.has_parent(v)) {
      EXPECT(t.parent(v) < v);  // ids are a pre-order
      ++counted[t.parent(v)];
    }
    NodeId last = v;
    for (NodeId c : t.children(v)) {
      EXPECT(c > last);
      EXPECT(t.parent(c) == v);
      last = c;
    }
  }
  for (NodeId v = 0; v < n; ++v) EXPECT(counted[v] == t.child_count(v));

  // Depths count edges to the top of each component; reachability from the
  // root follows parent links, which always point to a smaller id.
  const std::vector<uint32_t> depths = t.depths();
  std::vector<uint8_t> reachable(n, 0);
  std::vector<NodeId> leaves;
  uint64_t reached = 0;
  for (NodeId v = 0; v < n; ++v) {
    if (t.has_parent(v)) {
      EXPECT(depths[v] == depths[t.parent(v)] + 1);
      reachable[v] = reachable[t.parent(v)];
    } else {
      EXPECT(depths[v] == 0);
      reachable[v] = v == 0;
    }
    reached += reachable[v];
    if (t.is_leaf(v)) leaves.push_back(v);
  }
  EXPECT(t.leaves() == leaves);
  EXPECT(t.connected_count() == reached);
  EXPECT(t.fully_connected() == (reached == n));
  for (NodeId v = 0; v < n; ++v) EXPECT(reachable[v] == (v < reached));  // an id prefix

  // Every named node is in the naming order, and only named nodes are.
  // Each node is named once, as it closes, so leaves come in ascending id
  // and the k-th given name is the node's own.
  std::vector<uint8_t> in_order(n, 0);
  NodeId last_leaf = 0;
  bool any_leaf = false;
  for (size_t k = 0; k < t.naming_order().size(); ++k) {
    const NodeId v = t.naming_order()[k];
    EXPECT(t.has_name(v));
    EXPECT(!in_order[v]);
    EXPECT(t.naming_is_current(k) && t.given_name(k) == t.name(v));
    in_order[v] = 1;
    if (t.is_leaf(v)) {
      EXPECT(!any_leaf || v > last_leaf);
      last_leaf = v;
      any_leaf = true;
    }
  }
  for (NodeId v = 0; v < n; ++v) EXPECT(in_order[v] == t.has_name(v));
}

bool same_weight(std::optional<float> a, std::optional<float> b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (std::isnan(*a) || std::isnan(*b)) return std::isnan(*a) && std::isnan(*b);
  return std::memcmp(&*a, &*b, sizeof(float)) == 0;
}

void compare(const Tree& t, const RefTree& ref) {
  EXPECT(t.size() == ref.nodes.size());
  for (NodeId v = 0; v < t.size(); ++v) {
    const RefNode& r = ref.nodes[v];
    EXPECT((t.has_parent(v) ? t.parent(v) : kNoNode) == r.parent);
    EXPECT(t.children(v) == r.children);
    EXPECT(t.has_name(v) == r.name.has_value());
    if (r.name) EXPECT(t.name(v) == *r.name);
    EXPECT(same_weight(t.weight(v), r.weight));
  }
  EXPECT(t.naming_order() == ref.naming_order);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C");  // strtof reads "." as the decimal point
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  g_input = text;
  const std::optional<std::vector<Char>> decoded = decode(text);
  std::optional<RefTree> ref;
  if (decoded) ref = reference_read(*decoded);

  try {
    const Tree t = from_newick(text);
    check_shape(t);
    if (ref) {
      if (ref->outcome != RefTree::kOk) die("the reader accepted what the algorithm refuses", text);
      compare(t, *ref);
    }
  } catch (const NewickError& e) {
    if (ref && !(ref->outcome == RefTree::kParseError && ref->error_idx == e.idx()))
      die("parse error where the algorithm gives none or another position", text);
  } catch (const InternalError&) {
    if (ref && ref->outcome != RefTree::kInternalError)
      die("internal error where the algorithm gives none", text);
  }
  // Any other exception escapes and aborts: libFuzzer reports it as a crash.
  return 0;
}
