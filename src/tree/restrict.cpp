// Restriction writes the kept part as Newick text of the reader's own
// dialect and reads it back: names of a parsed tree never hold a delimiter or
// white space, and the reader hands out ids in the order the text introduces
// nodes (pre-order), which is the order they are written here.
#include "tree/restrict.hpp"

#include <string>

#include "runtime/cancel.hpp"
#include "tree/newick.hpp"

namespace cladorix {

RestrictedTree restrict_to_leaves(const Tree& tree, const std::vector<uint8_t>& keep_leaf,
                                  bool keep_internal_labels) {
  const size_t n = tree.size();
  const std::vector<NodeId>& parent = tree.parents();
  const std::vector<NodeId>& first = tree.first_children();
  const std::vector<NodeId>& next = tree.next_siblings();
  CancelPoller poll;

  // Kept children per node; ids are a pre-order, so a reverse sweep sees
  // every child before its parent.
  std::vector<uint32_t> kept_children(n, 0);
  std::vector<uint8_t> kept(n, 0);
  for (size_t i = n; i-- > 0;) {
    const NodeId v = static_cast<NodeId>(i);
    kept[v] = tree.is_leaf(v) ? keep_leaf[v] != 0 : kept_children[v] > 0;
    if (kept[v] && parent[v] != kNoNode) ++kept_children[parent[v]];
    poll.tick();
  }

  // The node that stands for v once suppressed nodes are skipped.
  auto through = [&](NodeId v) {
    while (!tree.is_leaf(v) && kept_children[v] == 1 && tree.child_count(v) >= 2) {
      NodeId c = first[v];
      while (!kept[c]) c = next[c];
      v = c;
    }
    return v;
  };

  RestrictedTree out;
  std::string text;
  text.reserve(n * 8);
  auto write_name = [&](NodeId v) {
    if (tree.is_leaf(v) || keep_internal_labels) text += tree.name(v);
  };
  if (!kept[tree.root()]) {
    out.tree = from_newick(";");
    out.source.push_back(tree.root());
    return out;
  }
  // An explicit stack: entering a node writes "(" or its name; leaving it
  // writes ")" and its label.
  struct Frame {
    NodeId node;
    NodeId next_child;  // kNoNode once all children are written
    bool wrote_child;
  };
  std::vector<Frame> stack;
  const NodeId root = through(tree.root());
  out.source.push_back(root);
  if (tree.is_leaf(root)) {
    write_name(root);
  } else {
    stack.push_back({root, first[root], false});
    text += '(';
  }
  while (!stack.empty()) {
    Frame& f = stack.back();
    NodeId c = f.next_child;
    while (c != kNoNode && !kept[c]) c = next[c];
    if (c == kNoNode) {
      const NodeId v = f.node;
      stack.pop_back();
      text += ')';
      write_name(v);
      continue;
    }
    f.next_child = next[c];
    if (f.wrote_child) text += ',';
    f.wrote_child = true;
    const NodeId u = through(c);
    out.source.push_back(u);
    if (tree.is_leaf(u)) {
      write_name(u);
    } else {
      stack.push_back({u, first[u], false});
      text += '(';
    }
    poll.tick();
  }
  text += ';';
  out.tree = from_newick(text);
  return out;
}

}  // namespace cladorix
