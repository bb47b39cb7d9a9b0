#include "reference/brute_triplets.hpp"

#include <string>
#include <unordered_map>
#include <vector>

namespace reference {
namespace {

using cladorix::NodeId;
using cladorix::Tree;

NodeId lca(const Tree& t, const std::vector<uint32_t>& depth, NodeId a, NodeId b) {
  while (depth[a] > depth[b]) a = t.parent(a);
  while (depth[b] > depth[a]) b = t.parent(b);
  while (a != b) a = t.parent(a), b = t.parent(b);
  return a;
}

// -1 unresolved, else 0, 1 or 2: which of (a, b, c) is the outgroup.
int outgroup(const Tree& t, const std::vector<uint32_t>& depth, NodeId a, NodeId b, NodeId c) {
  const uint32_t ab = depth[lca(t, depth, a, b)], ac = depth[lca(t, depth, a, c)],
                 bc = depth[lca(t, depth, b, c)];
  if (ab > ac && ab > bc) return 2;
  if (ac > ab && ac > bc) return 1;
  if (bc > ab && bc > ac) return 0;
  return -1;
}

}  // namespace

std::map<uint32_t, BruteCounts> brute_triplet_counts(const Tree& t1, const Tree& t2) {
  const std::vector<NodeId> l1 = t1.leaves();
  std::unordered_map<std::string, NodeId> by_name;
  for (NodeId v : t2.leaves()) by_name[std::string(t2.name(v))] = v;
  std::vector<NodeId> l2;
  for (NodeId v : l1) l2.push_back(by_name.at(std::string(t1.name(v))));
  const std::vector<uint32_t> d1 = t1.depths(), d2 = t2.depths();
  std::map<uint32_t, BruteCounts> out;
  const size_t n = l1.size();
  for (size_t i = 0; i < n; ++i)
    for (size_t j = i + 1; j < n; ++j)
      for (size_t k = j + 1; k < n; ++k) {
        const int o1 = outgroup(t1, d1, l1[i], l1[j], l1[k]);
        const int o2 = outgroup(t2, d2, l2[i], l2[j], l2[k]);
        const uint32_t depth = d1[lca(t1, d1, lca(t1, d1, l1[i], l1[j]), l1[k])];
        BruteCounts& c = out[depth];
        ++c.triplets;
        if (o1 < 0) {
          ++c.unresolved;
          if (o2 < 0) ++c.correct, ++c.unresolved_correct;
        } else if (o1 == o2) {
          ++c.correct, ++c.resolvable_correct;
        }
      }
  return out;
}

}  // namespace reference
