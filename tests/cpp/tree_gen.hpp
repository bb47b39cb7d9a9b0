// Random Newick trees for tests, built bottom-up without recursion: groups of
// subtrees are merged until one is left, so group size 1 makes single-child
// chains and larger groups make polytomies.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tree/newick.hpp"
#include "tree/tree.hpp"

namespace testgen {

struct Shape {
  uint32_t max_children = 2;       // group sizes are drawn from 1 or 2 .. max_children
  double single_child_rate = 0.0;  // chance that a merge wraps one subtree alone
  bool keep_order = false;         // merge neighbours only: leaves stay in label order
};

inline std::string leaf_label(uint32_t i) {
  std::string s = "t";  // appended, not "t" + ...: GCC 12 warns falsely on that form
  s += std::to_string(i);
  return s;
}

// A random topology over the given leaf labels (empty label: unnamed leaf).
inline std::string random_newick(const std::vector<std::string>& labels, std::mt19937_64& gen,
                                 Shape shape = {}) {
  std::vector<std::string> items(labels);
  if (items.empty()) return ";";
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  while (items.size() > 1 || coin(gen) < shape.single_child_rate * 0.5) {
    uint32_t k;
    if (coin(gen) < shape.single_child_rate) {
      k = 1;
    } else {
      uint32_t hi = std::min<uint32_t>(shape.max_children, static_cast<uint32_t>(items.size()));
      k = hi <= 2 ? std::min<uint32_t>(2, static_cast<uint32_t>(items.size()))
                  : std::uniform_int_distribution<uint32_t>(2, hi)(gen);
    }
    std::string merged = "(";
    if (shape.keep_order) {
      size_t start = std::uniform_int_distribution<size_t>(0, items.size() - k)(gen);
      for (uint32_t i = 0; i < k; ++i) merged += (i ? "," : "") + items[start + i];
      merged += ")";
      items.erase(items.begin() + start + 1, items.begin() + start + k);
      items[start] = std::move(merged);
      continue;
    }
    for (uint32_t i = 0; i < k; ++i) {
      size_t pick = std::uniform_int_distribution<size_t>(0, items.size() - 1)(gen);
      if (i) merged += ",";
      merged += items[pick];
      items[pick] = std::move(items.back());
      items.pop_back();
    }
    merged += ")";
    items.push_back(std::move(merged));
  }
  return items[0] + ";";
}

inline std::vector<std::string> labels(uint32_t n) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < n; ++i) out.push_back(leaf_label(i));
  return out;
}

// (((t0,t1),t2),t3)...: every internal node has a leaf child.
inline std::string caterpillar(uint32_t n) {
  std::string s = "t0";
  for (uint32_t i = 1; i < n; ++i) s = "(" + s + "," + leaf_label(i) + ")";
  return s + ";";
}

// Caterpillar built in linear time: "(" x (n-1), then t0, then ",ti)" per leaf.
inline std::string deep_caterpillar(uint32_t n) {
  std::string s(n - 1, '(');
  s += "t0";
  for (uint32_t i = 1; i < n; ++i) s += "," + leaf_label(i) + ")";
  return s + ";";
}

// (t0,(t1,(t2,...))): the mirror of caterpillar(n), adjacent-leaf depths
// rising where the other's fall.
inline std::string mirror_caterpillar(uint32_t n) {
  std::string s;
  for (uint32_t i = 0; i + 1 < n; ++i) s += "(" + leaf_label(i) + ",";
  s += leaf_label(n - 1);
  s += std::string(n - 1, ')');
  return s + ";";
}

// ((..((L0,L1)n1,L2)n2,..)n{depth-1},L{depth})n{depth}: leaves L0..L{depth}
// in node order, every internal node named, the root n{depth}.
inline std::string named_caterpillar(size_t depth) {
  std::string s(depth, '(');
  s += "L0,L1)n1";
  for (size_t k = 2; k <= depth; ++k) s += ",L" + std::to_string(k) + ")n" + std::to_string(k);
  return s + ";";
}

// Reference answers by walking parent links.
inline uint32_t naive_depth(const cladorix::Tree& t, cladorix::NodeId v) {
  uint32_t d = 0;
  while (t.has_parent(v)) v = t.parent(v), ++d;
  return d;
}

inline cladorix::NodeId naive_lca(const cladorix::Tree& t, cladorix::NodeId a, cladorix::NodeId b) {
  uint32_t da = naive_depth(t, a), db = naive_depth(t, b);
  while (da > db) a = t.parent(a), --da;
  while (db > da) b = t.parent(b), --db;
  while (a != b) a = t.parent(a), b = t.parent(b);
  return a;
}

// Names some internal nodes (after their ")") with names drawn from `pool`.
inline std::string name_internal_nodes(const std::string& newick,
                                       const std::vector<std::string>& pool, double rate,
                                       std::mt19937_64& gen) {
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  std::string out;
  for (char ch : newick) {
    out += ch;
    if (ch == ')' && !pool.empty() && coin(gen) < rate)
      out += pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(gen)];
  }
  return out;
}

// Names every internal node `prefix` + a number counting up from `first`, in
// text order; the names given are appended to `names`.
inline std::string number_internal_nodes(const std::string& newick, const std::string& prefix,
                                         uint32_t first, std::vector<std::string>& names) {
  std::string out;
  for (char ch : newick) {
    out += ch;
    if (ch == ')') {
      names.push_back(prefix + std::to_string(first++));
      out += names.back();
    }
  }
  return out;
}

}  // namespace testgen
