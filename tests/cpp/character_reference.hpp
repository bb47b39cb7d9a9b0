// Straight, recursive transcriptions of the character-based definitions, and
// a generator of small random cases, to cross-check the iterative code.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "measures/characters/character_states.hpp"
#include "tree/tree.hpp"

namespace cladorix::reference {

using States = std::map<std::string, std::vector<int32_t>>;

inline std::map<std::string, size_t> leaf_index(const Tree& t) {
  std::map<std::string, size_t> idx;
  size_t pos = 0;
  for (NodeId v = 0; v < t.size(); ++v) {
    if (!t.is_leaf(v)) continue;
    if (t.has_name(v)) idx[std::string(t.name(v))] = pos;
    ++pos;
  }
  return idx;
}

inline std::vector<int32_t> lookup(const Tree& t, NodeId v,
                                   const std::map<std::string, size_t>& idx,
                                   const CharacterMatrix& m, const States& states) {
  if (!t.has_name(v)) return {};
  std::string name(t.name(v));
  auto it = idx.find(name);
  if (it != idx.end() && it->second < m.size()) return m[it->second];
  auto st = states.find(name);
  if (st != states.end()) return st->second;
  return {};
}

inline std::vector<int32_t> infer(const Tree& t, NodeId v, const std::map<std::string, size_t>& idx,
                                  const CharacterMatrix& m, States& states, size_t n_chars,
                                  int32_t missing, int32_t unedited) {
  std::vector<NodeId> kids = t.children(v);
  if (kids.empty()) {
    if (t.has_name(v)) {
      auto it = idx.find(std::string(t.name(v)));
      if (it != idx.end() && it->second < m.size()) return m[it->second];
    }
    return std::vector<int32_t>(n_chars, missing);
  }
  if (kids.size() != 2) return std::vector<int32_t>(n_chars, unedited);
  std::vector<int32_t> l = infer(t, kids[0], idx, m, states, n_chars, missing, unedited);
  std::vector<int32_t> r = infer(t, kids[1], idx, m, states, n_chars, missing, unedited);
  std::vector<int32_t> own(n_chars);
  for (size_t i = 0; i < n_chars; ++i) {
    int32_t a = i < l.size() ? l[i] : missing;
    int32_t b = i < r.size() ? r[i] : missing;
    own[i] = (a == b && a != unedited && a != missing) ? a : unedited;
  }
  if (t.has_name(v)) states[std::string(t.name(v))] = own;
  return own;
}

// The states map counting reads: the given one, or the inferred one.
inline States states_for(const Tree& t, const CharacterMatrix& m, const States* given,
                         int32_t missing, int32_t unedited) {
  if (given) return *given;
  States states;
  if (m.empty()) return states;
  auto idx = leaf_index(t);
  infer(t, t.root(), idx, m, states, m[0].size(), missing, unedited);
  if (t.has_name(t.root()))
    states[std::string(t.name(t.root()))] = std::vector<int32_t>(m[0].size(), unedited);
  return states;
}

inline uint64_t parsimony(const Tree& t, const CharacterMatrix& m, const States* given,
                          int32_t missing, int32_t unedited) {
  States states = states_for(t, m, given, missing, unedited);
  auto idx = leaf_index(t);
  uint64_t count = 0;
  for (NodeId v = 0; v < t.size(); ++v) {
    if (!t.has_parent(v)) continue;
    auto p = lookup(t, t.parent(v), idx, m, states);
    auto c = lookup(t, v, idx, m, states);
    for (size_t i = 0; i < std::min(p.size(), c.size()); ++i)
      if (p[i] == unedited && c[i] != unedited && c[i] != missing) ++count;
  }
  return count;
}

// Log-likelihood of non-empty data, logs taken per character.
inline double log_likelihood(const Tree& t, const CharacterMatrix& m, const States* given,
                             std::optional<double> rate, std::optional<double> collision,
                             int32_t missing, int32_t unedited) {
  const double q = collision ? *collision : 0.1;
  const double p_edit = rate ? 1.0 - std::exp(-*rate) : 0.09516258196404048;
  const double p_stay = 1.0 - p_edit;
  const double p_cut = q * p_edit;
  States states = states_for(t, m, given, missing, unedited);
  auto idx = leaf_index(t);
  double total = 0.0;
  for (NodeId v = 0; v < t.size(); ++v) {
    if (!t.has_parent(v)) continue;
    auto p = lookup(t, t.parent(v), idx, m, states);
    auto c = lookup(t, v, idx, m, states);
    double edge = 0.0;
    for (size_t i = 0; i < std::min(p.size(), c.size()); ++i) {
      if (p[i] == missing || c[i] == missing) continue;
      if (p[i] == unedited)
        edge += c[i] == unedited ? std::log(p_stay) : std::log(p_cut);
      else
        edge += c[i] == p[i] ? 0.0 : -INFINITY;
    }
    total += edge;
  }
  return total;
}

// A small random case: a tree of mixed arity with repeated and missing
// names, a matrix whose row count and row lengths vary, and a states map.
struct Case {
  std::string newick;
  CharacterMatrix matrix;
  States states;
  InternalStates internal_states;  // the same entries as `states`
};

class CaseGenerator {
 public:
  explicit CaseGenerator(uint32_t seed) : rng_(seed) {}

  Case next() {
    Case c;
    leaves_ = 0;
    c.newick = subtree(0) + maybe_name() + ";";
    const size_t n_chars = pick(0, 4);
    const size_t rows = leaves_ + pick(0, 3) - std::min<size_t>(leaves_, pick(0, 2));
    for (size_t r = 0; r < rows; ++r) {
      size_t len = pick(0, 5) == 0 ? pick(0, n_chars + 1) : n_chars;
      c.matrix.push_back(states(len));
    }
    for (const char* name : kNames)
      if (pick(0, 2) == 0) {
        auto list = states(pick(0, 5) == 0 ? pick(0, n_chars + 1) : n_chars);
        c.states[name] = list;
        c.internal_states[name] = list;
      }
    return c;
  }

  size_t pick(size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng_); }

 private:
  static constexpr const char* kNames[] = {"a", "b", "c", "d", "e", "r"};

  std::vector<int32_t> states(size_t len) {
    std::vector<int32_t> out(len);
    for (auto& s : out) s = static_cast<int32_t>(pick(0, 4)) - 1;  // -1..3
    return out;
  }

  std::string maybe_name() {
    if (pick(0, 4) == 0) return "";
    return kNames[pick(0, 5)];
  }

  std::string subtree(int depth) {
    // Mostly binary, with leaves, one-child and three- or four-child nodes.
    const size_t roll = pick(depth == 0 ? 3 : 0, 9);
    size_t kids = roll < 3 ? 0 : roll == 3 ? 1 : roll == 4 ? 3 : roll == 5 ? 4 : 2;
    if (depth >= 5) kids = 0;
    if (kids == 0) {
      ++leaves_;
      return maybe_name();
    }
    std::string s = "(";
    for (size_t i = 0; i < kids; ++i) {
      if (i) s += ",";
      s += subtree(depth + 1);
    }
    s += ")";
    if (depth > 0) s += maybe_name();  // the root is named by the caller
    return s;
  }

  std::mt19937 rng_;
  size_t leaves_ = 0;
};

}  // namespace cladorix::reference
