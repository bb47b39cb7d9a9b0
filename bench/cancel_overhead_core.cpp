// The hot loops on the core library alone, no interpreter: for measuring the
// cost of the cancellation polls against the same code with them reduced to
// nothing, which Python-level timings on a shared machine cannot resolve.
//
// Build it against two core libraries, this one and a scratch copy of the
// tree in which CancelPoller::tick and resize_polled's loop are emptied:
//
//   cmake -S . -B build/core -G Ninja -DCLADORIX_MODULE=OFF && cmake --build build/core
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/cancel_overhead_core.cpp \
//       build/core/libcladorix_core.a -lpthread -o /tmp/core_polls
//   (the same with the copy's src/ and library, to /tmp/core_nopolls)
//
// then run the two binaries alternately, many rounds, with the allocator told
// to keep freed memory (so that page faults, slow and erratic in a virtual
// machine, do not swamp the loops), and compare the medians:
//
//   export MALLOC_MMAP_MAX_=0 MALLOC_TRIM_THRESHOLD_=100000000000
//   for i in $(seq 15); do for b in polls nopolls; do
//     echo "$b $(/tmp/core_$b sampling)"; done; done
//
// Each run prints the best of five calls, in milliseconds, after one warm-up.
// Cases: sampling (10^7 ultra trials, 200,000 leaves), counting (ultra,
// opposite 8,000-leaf caterpillars), pooled (the same, optimized, on the
// pool), parsimony and likelihood (200,000 leaves x 50 sites), phs (5,000 x
// 100, every internal node unedited), read (a 200,000-leaf Newick text).
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "measures/characters/likelihood.hpp"
#include "measures/characters/parsimony.hpp"
#include "measures/phs/phs.hpp"
#include "measures/triplets/by_position.hpp"
#include "tree/newick.hpp"

using namespace cladorix;

namespace {

std::string random_newick(uint32_t n, uint64_t seed) {
  std::mt19937_64 g(seed);
  std::vector<std::string> items;
  for (uint32_t i = 0; i < n; ++i) items.push_back("t" + std::to_string(i));
  while (items.size() > 1) {
    std::string pair[2];
    for (std::string& p : pair) {
      const size_t i = g() % items.size();
      p = std::move(items[i]);
      items[i] = std::move(items.back());
      items.pop_back();
    }
    items.push_back("(" + pair[0] + "," + pair[1] + ")");
  }
  return items[0] + ";";
}

std::string caterpillar(uint32_t n) {
  std::string s(n - 1, '(');
  s += "L0";
  for (uint32_t i = 1; i < n; ++i) s += ",L" + std::to_string(i) + ")";
  return s + ";";
}

std::string mirror(uint32_t n) {
  std::string s;
  for (uint32_t i = 0; i + 1 < n; ++i) s += "(L" + std::to_string(i) + ",";
  return s + "L" + std::to_string(n - 1) + std::string(n - 1, ')') + ";";
}

// A balanced tree whose internal nodes n1, n2, ... are all unedited.
std::string named_balanced(uint32_t n, uint32_t sites, InternalStates& states) {
  std::vector<std::string> nodes;
  for (uint32_t i = 0; i < n; ++i) nodes.push_back("L" + std::to_string(i));
  uint32_t k = 0;
  while (nodes.size() > 1) {
    std::vector<std::string> next;
    for (size_t i = 0; i + 1 < nodes.size(); i += 2) {
      const std::string name = "n" + std::to_string(++k);
      next.push_back("(" + nodes[i] + "," + nodes[i + 1] + ")" + name);
      states[name] = std::vector<int32_t>(sites, 0);
    }
    if (nodes.size() % 2) next.push_back(nodes.back());
    nodes = std::move(next);
  }
  return nodes[0] + ";";
}

CharacterMatrix random_rows(uint32_t n, uint32_t sites, int32_t states, uint64_t seed) {
  std::mt19937_64 g(seed);
  CharacterMatrix m(n, std::vector<int32_t>(sites));
  for (auto& row : m)
    for (int32_t& s : row) s = static_cast<int32_t>(g() % states) - 1;
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s sampling|counting|pooled|parsimony|likelihood|phs|read\n",
                 argv[0]);
    return 2;
  }
  const std::string which = argv[1];
  std::function<void()> run;
  Tree a, b;
  CharacterMatrix rows;
  InternalStates states;
  std::string text;
  if (which == "sampling" || which == "parsimony" || which == "likelihood" || which == "read") {
    text = random_newick(200'000, 1);
    a = from_newick(text);
    b = from_newick(random_newick(200'000, 2));
    rows = random_rows(200'000, 50, 7, 3);
  } else if (which == "counting" || which == "pooled") {
    a = from_newick(caterpillar(8000));
    b = from_newick(mirror(8000));
  } else if (which == "phs") {
    a = from_newick(named_balanced(5000, 100, states));
    rows = random_rows(5000, 100, 32, 4);
  }
  if (which == "sampling") {
    run = [&] { triplets_correct_ultra(a, b, 10'000'000, 1); };
  } else if (which == "counting") {
    run = [&] { triplets_correct_ultra(a, b, UINT64_MAX, 1); };
  } else if (which == "pooled") {
    run = [&] { triplets_by_position(kOptimizedVariant, a, b, UINT64_MAX, 1, std::nullopt); };
  } else if (which == "parsimony") {
    run = [&] { parsimony(a, rows, nullptr, -1, 0); };
  } else if (which == "likelihood") {
    run = [&] { likelihood(a, rows, nullptr, CharacterModel{}); };
  } else if (which == "phs") {
    run = [&] { phs_optimized(a, rows, states, CharacterModel{}, std::nullopt); };
  } else if (which == "read") {
    run = [&] { from_newick(text); };
  } else {
    std::fprintf(stderr, "unknown case %s\n", which.c_str());
    return 2;
  }
  run();
  double best = 1e300;
  for (int r = 0; r < 5; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - t0;
    best = std::min(best, ms.count());
  }
  std::printf("%.3f\n", best);
}
