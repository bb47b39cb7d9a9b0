#include "measures/triplets/by_name.hpp"

#include "measures/triplets/sampling.hpp"
#include "runtime/cancel.hpp"
#include "util/errors.hpp"

namespace cladorix {

NameMatchedTree::NameMatchedTree(const Tree& tree, size_t index, const NameClasses& classes,
                                 NameMatch match)
    : tree_(&tree), match_(match), target_of_class_(classes.count(), kNowhere) {
  if (match == NameMatch::LastNamedLeaf) {
    check_tour_size(tree);
    check_connected(tree);
    lca_ = LeafLca(tree);
    lca_ready_ = true;
    const std::vector<NodeId>& leaves = lca_.leaves();
    CancelPoller poll;
    for (uint32_t p = 0; p < leaves.size(); ++p)
      if (const uint32_t cls = classes.of(index, leaves[p]); cls != NameClasses::kNone)
        target_of_class_[cls] = p;  // a later leaf of the same name wins
    poll.tick(8 * uint64_t{leaves.size()});
  } else {
    if (tree.fully_connected() && 2 * static_cast<uint64_t>(tree.size()) - 1 <= 0xFFFFFFFFULL) {
      lca_ = LeafLca(tree);
      lca_ready_ = true;
    }
    // The last naming of a name wins, as in the tree's taxa map.
    CancelPoller poll;
    for (const NodeId v : tree.naming_order()) {
      target_of_class_[classes.of(index, v)] = v;
      poll.tick(8);
    }
  }
}

int NameMatchedTree::outgroup(const uint32_t t[3]) const {
  if (match_ == NameMatch::LastNamedLeaf) {
    // Pair depths exist only for two different leaves.
    if (t[0] == t[1] || t[0] == t[2] || t[1] == t[2]) return -1;
    return outgroup_at(lca_, t);
  }
  if (!lca_ready_) {
    check_connected(*tree_);
    check_tour_size(*tree_);
    fail("LCA structure missing");
  }
  return outgroup_from_depths(lca_.lca_depth(t[0], t[1]), lca_.lca_depth(t[0], t[2]),
                              lca_.lca_depth(t[1], t[2]));
}

TripletResult triplets_by_name(NameMatch match, const Tree& tree1, const Tree& tree2,
                               uint64_t number_of_trials, std::optional<uint64_t> seed) {
  RandomSource rng = triplet_random_source(seed);
  const NameClasses classes({&tree1, &tree2});
  const NameMatchedTree side1(tree1, 0, classes, match);
  const NameMatchedTree side2(tree2, 1, classes, match);

  // The leaves a trial draws from, each with its name class and where that
  // name lands in either tree: resolved here once, never per trial.
  struct Drawable {
    uint32_t cls;
    uint32_t in1, in2;
  };
  std::vector<Drawable> drawable;
  CancelPoller poll;
  for (NodeId v = 0; v < tree1.size(); ++v) {
    if (!tree1.is_leaf(v)) continue;
    const uint32_t cls = classes.of(0, v);
    if (cls == NameClasses::kNone && match == NameMatch::LastNamedLeaf) continue;
    drawable.push_back({cls, side1.target(cls), side2.target(cls)});
  }
  poll.tick(8 * uint64_t{tree1.size()});

  TripletCounters counters;
  const uint32_t n = static_cast<uint32_t>(drawable.size());
  if (n >= 3) {
    counters =
        sample_triplets(rng, n, number_of_trials, [&](const uint32_t p[3], TripletCounters& c) {
          const Drawable& a = drawable[p[0]];
          const Drawable& b = drawable[p[1]];
          const Drawable& d = drawable[p[2]];
          // A trial that draws an unnamed leaf is spent but not counted.
          if (a.cls == NameClasses::kNone || b.cls == NameClasses::kNone ||
              d.cls == NameClasses::kNone)
            return;
          const uint32_t t1[3] = {a.in1, b.in1, d.in1};
          const uint32_t t2[3] = {a.in2, b.in2, d.in2};
          const int o1 = side1.outgroup(t1);
          const bool found2 = t2[0] != NameMatchedTree::kNowhere &&
                              t2[1] != NameMatchedTree::kNowhere &&
                              t2[2] != NameMatchedTree::kNowhere;
          const int o2 = found2 ? side2.outgroup(t2) : -1;
          // Outgroups are compared by name.
          c.add(o1 >= 0, o2 >= 0, o1 >= 0 && o2 >= 0 && drawable[p[o1]].cls == drawable[p[o2]].cls);
        });
  }
  TripletResult result;
  static_cast<TripletScores&>(result) = triplet_scores(counters, number_of_trials);
  return result;
}

}  // namespace cladorix
