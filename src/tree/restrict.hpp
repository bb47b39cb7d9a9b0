// A tree restricted to some of its leaves, for comparing trees whose leaf
// sets differ.
#pragma once

#include <cstdint>
#include <vector>

#include "tree/tree.hpp"

namespace cladorix {

struct RestrictedTree {
  Tree tree;
  // For each node of `tree`, the node of the source tree it stands for.
  std::vector<NodeId> source;
};

// The subtree of `tree` (reachable from its root) spanned by the leaves with
// keep_leaf[v] != 0 (indexed by node id; other entries are ignored). Nodes
// left with no kept leaf go; a node that had two or more children and is
// left with one is suppressed (its child takes its place), so that its
// clusters are those of the kept leaves. Single-child nodes of the source
// stay, and so does everything else: the result compares exactly as the
// source when every leaf is kept. Internal labels are kept when asked.
// With no leaf kept the result is a lone unnamed root.
RestrictedTree restrict_to_leaves(const Tree& tree, const std::vector<uint8_t>& keep_leaf,
                                  bool keep_internal_labels);

}  // namespace cladorix
