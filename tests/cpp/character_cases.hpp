// Small random character cases: a tree of mixed arity with repeated and
// missing names, a matrix whose row count and row lengths vary, a states map.
// (The same draws, ported, give the parsimony and likelihood cases that the
// Python suite checks against its reference.)
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "measures/characters/character_states.hpp"

namespace cladorix::cases {

struct Case {
  std::string newick;
  CharacterMatrix matrix;
  InternalStates internal_states;
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
      if (pick(0, 2) == 0)
        c.internal_states[name] = states(pick(0, 5) == 0 ? pick(0, n_chars + 1) : n_chars);
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

}  // namespace cladorix::cases
