#include "measures/compare/compare.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>

#include "measures/characters/cut_events.hpp"
#include "measures/characters/likelihood.hpp"
#include "measures/characters/parsimony.hpp"
#include "measures/rf/rf_distance.hpp"
#include "runtime/cancel.hpp"
#include "runtime/pool.hpp"
#include "tree/newick.hpp"
#include "tree/restrict.hpp"
#include "util/errors.hpp"

namespace cladorix {
namespace {

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

// Who is who in a row's error text.
struct Roles {
  const char* first;   // the reference, or tree_a
  const char* second;  // this tree, or tree_b
};
constexpr Roles kReferenceRoles{"the reference", "this tree"};
constexpr Roles kPairRoles{"tree_a", "tree_b"};

Tree parse(std::string_view newick) {
  try {
    return from_newick(newick);
  } catch (const NewickError& e) {
    throw CallerError("not a Newick tree: " + e.debug_form());
  } catch (const NewickRunOff& e) {
    throw CallerError("not a Newick tree: " + e.parse_error());
  }
}

// Every node named, no name used twice: internal states are held by name.
void check_unique_labels(const Tree& tree, const char* measure) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(tree.size());
  CancelPoller poll;
  for (NodeId v = 0; v < tree.size(); ++v) {
    if (!tree.has_name(v) || !seen.insert(tree.name(v)).second)
      throw CallerError(std::string("internal nodes need unique labels for ") + measure +
                        "; use cut_events");
    poll.tick();
  }
}

// For each leaf of the tree in its own order, its row found by cell name.
std::vector<uint32_t> row_of_leaves(const ComparedTree& t, const CellRows& cells) {
  std::vector<uint32_t> out;
  out.reserve(t.leaves().size());
  CancelPoller poll;
  for (const NodeId leaf : t.leaves()) {
    const auto it = cells.row_of.find(t.tree().name(leaf));
    if (it == cells.row_of.end())
      throw CallerError("leaf " + quoted(t.tree().name(leaf)) +
                        " has no row in the character matrix (its name is not in cell_names)");
    out.push_back(it->second);
    poll.tick();
  }
  return out;
}

CharacterMatrix rows_in_leaf_order(const std::vector<uint32_t>& row_of_leaf,
                                   const CellRows& cells) {
  CharacterMatrix out;
  out.reserve(row_of_leaf.size());
  CancelPoller poll;
  for (const uint32_t row : row_of_leaf) {
    out.push_back((*cells.matrix)[row]);
    poll.tick(1 + out.back().size());
  }
  return out;
}

const char* first_character_measure(const CompareOptions& o) {
  return o.wants(CompareMeasure::Parsimony) ? "parsimony" : "likelihood";
}

// The character scores of one tree, its rows found by cell name.
void score_characters(const ComparedTree& t, const CompareOptions& o, CompareRow& row) {
  const bool parsimony_asked = o.wants(CompareMeasure::Parsimony);
  const bool likelihood_asked = o.wants(CompareMeasure::Likelihood);
  const bool cuts_asked = o.wants(CompareMeasure::CutEvents);
  if (!parsimony_asked && !likelihood_asked && !cuts_asked) return;
  if (parsimony_asked || likelihood_asked)
    check_unique_labels(t.tree(), first_character_measure(o));
  const std::vector<uint32_t> row_of_leaf = row_of_leaves(t, *o.cells);
  if (cuts_asked) {
    const CutEventsResult r = cut_events_for_rows(t.tree(), *o.cells->matrix, row_of_leaf,
                                                  o.cells->missing_state, o.cells->unedited_state);
    row.cut_events = r.cut_events;
    row.extra_events = r.extra_events;
  }
  if (!parsimony_asked && !likelihood_asked) return;
  const CharacterMatrix rows = rows_in_leaf_order(row_of_leaf, *o.cells);
  if (parsimony_asked)
    row.parsimony_score =
        parsimony(t.tree(), rows, nullptr, o.cells->missing_state, o.cells->unedited_state)
            .parsimony_score;
  if (likelihood_asked) {
    const CharacterModel model{std::nullopt, std::nullopt, o.cells->missing_state,
                               o.cells->unedited_state};
    row.log_likelihood = likelihood(t.tree(), rows, nullptr, model).log_likelihood;
  }
}

// The topology measures of `second` against `first`, on their shared leaves
// when the options allow differing leaf sets.
void score_topologies(const ComparedTree& first, const ComparedTree& second,
                      const CompareOptions& o, Roles roles, CompareRow& row) {
  const bool rf = o.wants(CompareMeasure::Rf) || o.wants(CompareMeasure::RfNormalized);
  const bool triplets = o.wants(CompareMeasure::TripletsExact);
  // Character scores alone take each tree as it is, whatever its leaves.
  if (!rf && !triplets && !o.common_leaves) return;

  // Leaves of `first` that `second` has too, by node id of `first`.
  std::vector<uint8_t> shared_in_first(first.tree().size(), 0);
  std::vector<uint8_t> shared_in_second(second.tree().size(), 0);
  uint64_t shared = 0;
  CancelPoller poll;
  for (const NodeId leaf : second.leaves()) {
    const NodeId other = first.leaf(second.tree().name(leaf));
    if (other != kNoNode) {
      shared_in_first[other] = 1;
      shared_in_second[leaf] = 1;
      ++shared;
    }
    poll.tick();
  }
  const uint64_t only_first = first.leaves().size() - shared;
  const uint64_t only_second = second.leaves().size() - shared;
  const bool same_leaves = only_first == 0 && only_second == 0;
  if (o.common_leaves) {
    row.leaves_compared = shared;
    row.leaves_only_in_reference = only_first;
    row.leaves_only_in_tree = only_second;
  } else if (!same_leaves) {
    for (const NodeId leaf : first.leaves())
      if (!shared_in_first[leaf])
        throw CallerError("leaf " + quoted(first.tree().name(leaf)) + " of " + roles.first +
                          " is missing from " + roles.second);
    for (const NodeId leaf : second.leaves())
      if (!shared_in_second[leaf])
        throw CallerError("leaf " + quoted(second.tree().name(leaf)) + " of " + roles.second +
                          " is missing from " + roles.first);
  }
  if (!rf && !triplets) return;
  if (shared == 0)
    throw CallerError(std::string("no leaf of ") + roles.second + " is in " + roles.first);

  // Without internal labels, restricted to the shared leaves where needed.
  std::optional<RestrictedTree> first_restricted, second_restricted;
  const Tree* a = nullptr;
  const Tree* b = nullptr;
  if (same_leaves) {
    a = &first.topology();
    b = &second.topology();
  } else {
    first_restricted = restrict_to_leaves(first.tree(), shared_in_first, false);
    second_restricted = restrict_to_leaves(second.tree(), shared_in_second, false);
    a = &first_restricted->tree;
    b = &second_restricted->tree;
  }

  if (o.wants(CompareMeasure::RfNormalized)) {
    const RfNormalizedResult r = rf_distance_normalized(*a, *b);
    row.rf_distance = r.base.rf_distance;
    row.normalized_rf_distance = r.normalized_rf_distance;
    row.max_possible_rf = r.max_possible_rf;
  } else if (rf) {
    row.rf_distance = rf_distance(*a, *b).rf_distance;
  }

  if (triplets) {
    // Depths of the unrestricted first tree: depth d means the same in every row.
    std::vector<uint32_t> depths;
    if (first_restricted) {
      depths.resize(a->size());
      for (NodeId v = 0; v < a->size(); ++v)
        depths[v] = first.depths()[first_restricted->source[v]];
    }
    ExactTripletResult r = triplets_correct_exact(*a, *b, o.max_threads_per_tree);
    (void)depths;  // pending: the count by the unrestricted tree's depths
    row.triplets = r.overall;
    if (o.by_depth) {
      row.depths = std::move(r.depths);
      row.by_depth = std::move(r.by_depth);
    }
  }
}

// One row; a failure of the tree or of a measure becomes its error text.
template <class F>
CompareRow row_or_error(F&& fill) {
  CompareRow row;
  try {
    fill(row);
  } catch (const CallerError& e) {
    row = CompareRow();
    row.error = e.what();
  } catch (const InternalError& e) {
    row = CompareRow();
    row.error = e.what();
  }
  return row;
}

}  // namespace

CompareMeasure compare_measure(std::string_view name) {
  if (name == "rf") return CompareMeasure::Rf;
  if (name == "rf_normalized") return CompareMeasure::RfNormalized;
  if (name == "triplets_exact") return CompareMeasure::TripletsExact;
  if (name == "parsimony") return CompareMeasure::Parsimony;
  if (name == "likelihood") return CompareMeasure::Likelihood;
  if (name == "cut_events") return CompareMeasure::CutEvents;
  throw CallerError("unknown measure " + quoted(name) +
                    " (known: 'rf', 'rf_normalized', 'triplets_exact', 'parsimony', "
                    "'likelihood', 'cut_events')");
}

bool CompareOptions::wants(CompareMeasure m) const {
  return std::find(measures.begin(), measures.end(), m) != measures.end();
}

CellRows::CellRows(const CharacterMatrix& m, const std::vector<std::string>& cell_names,
                   int32_t missing, int32_t unedited)
    : matrix(&m), missing_state(missing), unedited_state(unedited) {
  if (cell_names.size() != m.size())
    throw CallerError("cell_names has " + std::to_string(cell_names.size()) + " names for " +
                      std::to_string(m.size()) +
                      " rows of the character matrix: give one name per row");
  row_of.reserve(cell_names.size());
  for (size_t i = 0; i < cell_names.size(); ++i) {
    if (!m.empty() && m[i].size() != m[0].size())
      throw CallerError("row " + std::to_string(i) + " of the character matrix has " +
                        std::to_string(m[i].size()) + " states, row 0 has " +
                        std::to_string(m[0].size()));
    if (!row_of.emplace(cell_names[i], static_cast<uint32_t>(i)).second)
      throw CallerError("cell name " + quoted(cell_names[i]) + " is given twice in cell_names");
  }
}

ComparedTree::ComparedTree(std::string_view newick, bool topology, bool depths)
    : tree_(parse(newick)) {
  if (!tree_.fully_connected()) throw CallerError("a '(' of the tree is never closed");
  leaves_ = tree_.leaves();
  leaf_of_.reserve(leaves_.size());
  CancelPoller poll;
  for (size_t i = 0; i < leaves_.size(); ++i) {
    const NodeId v = leaves_[i];
    if (!tree_.has_name(v))
      throw CallerError("leaf " + std::to_string(i) + " of the tree (in text order) has no name");
    if (!leaf_of_.emplace(tree_.name(v), v).second)
      throw CallerError("leaf name " + quoted(tree_.name(v)) + " is used twice in the tree");
    poll.tick();
  }
  if (topology) topology_ = without_internal_labels(tree_).tree;
  if (depths) depths_ = tree_.depths();
}

NodeId ComparedTree::leaf(std::string_view name) const {
  const auto it = leaf_of_.find(name);
  return it == leaf_of_.end() ? kNoNode : it->second;
}

namespace {

bool wants_topology(const CompareOptions& o) {
  return o.wants(CompareMeasure::Rf) || o.wants(CompareMeasure::RfNormalized) ||
         o.wants(CompareMeasure::TripletsExact);
}

ComparedTree parse_reference(std::string_view text, const CompareOptions& o) {
  try {
    return ComparedTree(text, wants_topology(o), o.wants(CompareMeasure::TripletsExact));
  } catch (const CallerError& e) {
    throw CallerError(std::string("the reference: ") + e.what());
  }
}

}  // namespace

ReferenceComparison::ReferenceComparison(std::string_view reference, const CompareOptions& options)
    : options_(options), reference_(parse_reference(reference, options)) {
  try {
    score_characters(reference_, options_, own_);
  } catch (const CallerError& e) {
    throw CallerError(std::string("the reference: ") + e.what());
  }
}

CompareRow ReferenceComparison::score(std::string_view newick) const {
  return row_or_error([&](CompareRow& row) {
    const ComparedTree tree(newick, wants_topology(options_), false);
    score_topologies(reference_, tree, options_, kReferenceRoles, row);
    score_characters(tree, options_, row);
  });
}

PairComparison::PairComparison(const std::vector<std::string_view>& newicks,
                               const CompareOptions& options)
    : options_(options), trees_(newicks.size()), errors_(newicks.size()) {
  const bool topology = wants_topology(options);
  const bool depths = options.wants(CompareMeasure::TripletsExact);
  WorkerPool::global().run(newicks.size(), [&](size_t i) {
    try {
      trees_[i].emplace(newicks[i], topology, depths);
    } catch (const CallerError& e) {
      errors_[i] = e.what();
    } catch (const InternalError& e) {
      errors_[i] = e.what();
    }
  });
}

CompareRow PairComparison::score(size_t a, size_t b) const {
  return row_or_error([&](CompareRow& row) {
    if (!trees_[a]) throw CallerError("tree_a: " + errors_[a]);
    if (!trees_[b]) throw CallerError("tree_b: " + errors_[b]);
    score_topologies(*trees_[a], *trees_[b], options_, kPairRoles, row);
  });
}

}  // namespace cladorix
