#include "measures/compare/compare.hpp"

#include <algorithm>
#include <new>
#include <numeric>
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
#include "util/hash.hpp"

namespace cladorix {
namespace {

// A leaf whose name no tree of the comparison numbers.
constexpr uint32_t kNoId = UINT32_MAX;

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

[[noreturn]] void repeated_leaf(const ComparedTree& t, size_t leaf) {
  throw CallerError("leaf name " + quoted(t.tree.name(t.leaves[leaf])) +
                    " is used twice in the tree");
}

// ---- characters ----------------------------------------------------------------------

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
  out.reserve(t.leaves.size());
  CancelPoller poll;
  for (const NodeId leaf : t.leaves) {
    const auto it = cells.row_of.find(t.tree.name(leaf));
    if (it == cells.row_of.end())
      throw CallerError("leaf " + quoted(t.tree.name(leaf)) +
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

// The character scores of one tree, its rows found by cell name.
void score_characters(const ComparedTree& t, const CompareOptions& o, CompareRow& row) {
  const bool parsimony_asked = o.wants(CompareMeasure::Parsimony);
  const bool likelihood_asked = o.wants(CompareMeasure::Likelihood);
  const bool cuts_asked = o.wants(CompareMeasure::CutEvents);
  if (!parsimony_asked && !likelihood_asked && !cuts_asked) return;
  if (parsimony_asked || likelihood_asked)
    check_unique_labels(t.tree, parsimony_asked ? "parsimony" : "likelihood");
  const std::vector<uint32_t> row_of_leaf = row_of_leaves(t, *o.cells);
  if (cuts_asked) {
    const CutEventsResult r = cut_events_for_rows(t.tree, *o.cells->matrix, row_of_leaf,
                                                  o.cells->missing_state, o.cells->unedited_state);
    row.cut_events = r.cut_events;
    row.extra_events = r.extra_events;
  }
  if (!parsimony_asked && !likelihood_asked) return;
  const CharacterMatrix rows = rows_in_leaf_order(row_of_leaf, *o.cells);
  if (parsimony_asked)
    row.parsimony_score =
        parsimony(t.tree, rows, nullptr, o.cells->missing_state, o.cells->unedited_state)
            .parsimony_score;
  if (likelihood_asked) {
    const CharacterModel model{std::nullopt, std::nullopt, o.cells->missing_state,
                               o.cells->unedited_state};
    row.log_likelihood = likelihood(t.tree, rows, nullptr, model).log_likelihood;
  }
}

// ---- topologies ----------------------------------------------------------------------

void put_triplets(ExactTripletResult r, const CompareOptions& o, CompareRow& row) {
  row.triplets = r.overall;
  if (o.by_depth) {
    row.depths = std::move(r.depths);
    row.by_depth = std::move(r.by_depth);
  }
}

void put_rf(uint64_t distance, uint64_t names, const CompareOptions& o, CompareRow& row) {
  row.rf_distance = distance;
  if (o.wants(CompareMeasure::RfNormalized)) {
    const RfNormalizedResult r = rf_normalized(distance, names, names);
    row.normalized_rf_distance = r.normalized_rf_distance;
    row.max_possible_rf = r.max_possible_rf;
  }
}

// Both trees restricted to their shared leaves, numbered 0..m-1 afresh,
// compared; triplets binned by the depths of the whole first tree.
void score_restricted(const ComparedTree& first, const ComparedTree& second,
                      const std::vector<uint8_t>& keep_first,
                      const std::vector<uint8_t>& keep_second, uint32_t names, uint64_t shared,
                      const CompareOptions& o, CompareRow& row) {
  const RestrictedTree a = restrict_to_leaves(first.tree, keep_first, false);
  const RestrictedTree b = restrict_to_leaves(second.tree, keep_second, false);
  if (o.wants_rf()) {
    // The shared names numbered in the first tree's leaf order.
    std::vector<uint32_t> compact(names, kNoId);
    std::vector<uint32_t> position(first.tree.size(), kNoId), position2(second.tree.size(), kNoId);
    for (size_t k = 0; k < first.leaves.size(); ++k)
      position[first.leaves[k]] = static_cast<uint32_t>(k);
    for (size_t k = 0; k < second.leaves.size(); ++k)
      position2[second.leaves[k]] = static_cast<uint32_t>(k);
    uint32_t next = 0;
    auto numbers_of = [&](const RestrictedTree& r, const ComparedTree& t,
                          const std::vector<uint32_t>& pos) {
      std::vector<uint32_t> out;
      for (const NodeId v : r.tree.leaves()) {
        const uint32_t id = t.ids[pos[r.source[v]]];
        if (compact[id] == kNoId) compact[id] = next++;
        out.push_back(compact[id]);
      }
      return out;
    };
    const std::vector<uint32_t> na = numbers_of(a, first, position);
    const std::vector<uint32_t> nb = numbers_of(b, second, position2);
    const uint32_t m = static_cast<uint32_t>(shared);
    put_rf(rf_distance(Bipartitions(a.tree, na, m), Bipartitions(b.tree, nb, m)), m, o, row);
  }
  if (o.wants(CompareMeasure::TripletsExact)) {
    std::vector<uint32_t> depths(a.tree.size());
    for (NodeId v = 0; v < a.tree.size(); ++v) depths[v] = first.depths[a.source[v]];
    put_triplets(
        triplets_correct_exact(a.tree, b.tree, o.max_threads_per_tree, std::nullopt, depths), o,
        row);
  }
}

// The topology measures of `second` against `first`, whose leaf ids share
// one numbering of `names` names (kNoId: a name `first` lacks). `same_set`:
// the two trees have the same leaves (so their bipartitions share a leaf-set
// numbering).
void score_topologies(const ComparedTree& first, const ComparedTree& second, bool same_set,
                      uint32_t names, const CompareOptions& o, Roles roles, CompareRow& row) {
  const bool topology = o.wants_rf() || o.wants(CompareMeasure::TripletsExact);
  // Character scores alone take each tree as it is, whatever its leaves.
  if (!topology && !o.common_leaves) return;
  if (same_set) {
    if (o.common_leaves) {
      row.leaves_compared = first.leaves.size();
      row.leaves_only_in_reference = row.leaves_only_in_tree = 0;
    }
    if (o.wants_rf())
      put_rf(rf_distance(*first.bipartitions, *second.bipartitions), first.leaves.size(), o, row);
    if (o.wants(CompareMeasure::TripletsExact))
      put_triplets(triplets_correct_exact(*first.as_reference, second.tree, o.max_threads_per_tree),
                   o, row);
    return;
  }

  std::vector<uint8_t> in_first(names, 0), in_second(names, 0);
  for (const uint32_t id : first.ids) in_first[id] = 1;
  uint64_t shared = 0;
  for (size_t k = 0; k < second.leaves.size(); ++k) {
    const uint32_t id = second.ids[k];
    if (id == kNoId) continue;
    if (in_second[id]) repeated_leaf(second, k);
    in_second[id] = 1;
    shared += in_first[id];
  }
  const uint64_t only_first = first.leaves.size() - shared;
  const uint64_t only_second = second.leaves.size() - shared;
  if (!o.common_leaves) {
    for (size_t k = 0; k < first.leaves.size(); ++k)
      if (!in_second[first.ids[k]])
        throw CallerError("leaf " + quoted(first.tree.name(first.leaves[k])) + " of " +
                          roles.first + " is missing from " + roles.second);
    for (size_t k = 0; k < second.leaves.size(); ++k)
      if (second.ids[k] == kNoId || !in_first[second.ids[k]])
        throw CallerError("leaf " + quoted(second.tree.name(second.leaves[k])) + " of " +
                          roles.second + " is missing from " + roles.first);
  }
  row.leaves_compared = shared;
  row.leaves_only_in_reference = only_first;
  row.leaves_only_in_tree = only_second;
  if (!topology) return;
  if (shared == 0)
    throw CallerError(std::string("no leaf of ") + roles.second + " is in " + roles.first);
  std::vector<uint8_t> keep_first(first.tree.size(), 0), keep_second(second.tree.size(), 0);
  for (size_t k = 0; k < first.leaves.size(); ++k)
    keep_first[first.leaves[k]] = in_second[first.ids[k]];
  for (size_t k = 0; k < second.leaves.size(); ++k)
    keep_second[second.leaves[k]] = second.ids[k] != kNoId && in_first[second.ids[k]];
  score_restricted(first, second, keep_first, keep_second, names, shared, o, row);
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

// Builds what a tree needs as a pair's first or second, by the options.
void prepare(ComparedTree& t, std::span<const uint32_t> numbers, uint32_t set_size,
             const CompareOptions& o, bool as_first) {
  if (o.wants_rf()) t.bipartitions.emplace(t.tree, numbers, set_size);
  if (as_first && o.wants(CompareMeasure::TripletsExact)) {
    t.as_reference = std::make_unique<ExactReference>(t.tree);
    if (o.common_leaves) t.depths = t.tree.depths();
  }
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

bool CompareOptions::wants_rf() const {
  return wants(CompareMeasure::Rf) || wants(CompareMeasure::RfNormalized);
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

ComparedTree::ComparedTree(std::string_view newick) : tree(parse(newick)) {
  if (!tree.fully_connected()) throw CallerError("a '(' of the tree is never closed");
  leaves = tree.leaves();
  for (size_t i = 0; i < leaves.size(); ++i)
    if (!tree.has_name(leaves[i]))
      throw CallerError("leaf " + std::to_string(i) + " of the tree (in text order) has no name");
}

// ---- against a reference ---------------------------------------------------------------

ReferenceComparison::ReferenceComparison(std::string_view reference, const CompareOptions& options)
    : options_(options) {
  try {
    reference_ = std::make_unique<ComparedTree>(reference);
    ComparedTree& r = *reference_;
    // The reference's leaves are the numbering: leaf k has number k.
    r.ids.resize(r.leaves.size());
    std::iota(r.ids.begin(), r.ids.end(), 0u);
    number_of_.reserve(r.leaves.size());
    for (size_t k = 0; k < r.leaves.size(); ++k)
      if (!number_of_.emplace(r.tree.name(r.leaves[k]), static_cast<uint32_t>(k)).second)
        repeated_leaf(r, k);
    prepare(r, r.ids, static_cast<uint32_t>(r.leaves.size()), options_, true);
    score_characters(r, options_, own_);
  } catch (const CallerError& e) {
    throw CallerError(std::string("the reference: ") + e.what());
  }
}

ReferenceComparison::~ReferenceComparison() = default;

CompareRow ReferenceComparison::score(std::string_view newick) const {
  return row_or_error([&](CompareRow& row) {
    ComparedTree t(newick);
    const ComparedTree& r = *reference_;
    const uint32_t n = static_cast<uint32_t>(r.leaves.size());
    // Numbered by the reference's names; the same leaf set when every
    // number comes once.
    t.ids.resize(t.leaves.size());
    std::vector<uint8_t> seen(n, 0);
    bool same_set = t.leaves.size() == n;
    CancelPoller poll;
    for (size_t k = 0; k < t.leaves.size(); ++k) {
      const auto it = number_of_.find(t.tree.name(t.leaves[k]));
      t.ids[k] = it == number_of_.end() ? kNoId : it->second;
      if (t.ids[k] == kNoId) {
        same_set = false;
      } else if (seen[t.ids[k]]++) {
        repeated_leaf(t, k);
      }
      poll.tick();
    }
    if (same_set) prepare(t, t.ids, n, options_, false);
    score_topologies(r, t, same_set, n, options_, kReferenceRoles, row);
    score_characters(t, options_, row);
  });
}

// ---- all pairs -------------------------------------------------------------------------

PairComparison::PairComparison(const std::vector<std::string_view>& newicks,
                               const CompareOptions& options)
    : options_(options), trees_(newicks.size()), errors_(newicks.size()) {
  const size_t n = newicks.size();
  WorkerPool& pool = WorkerPool::global();
  // Whether fn ran through; the error text is kept for the tree's pairs.
  auto keep_error = [&](size_t i, auto&& fn) {
    try {
      fn();
      return true;
    } catch (const CallerError& e) {
      errors_[i] = e.what();
    } catch (const InternalError& e) {
      errors_[i] = e.what();
    }
    return false;
  };
  pool.run(n, [&](size_t i) {
    keep_error(i, [&] { trees_[i] = std::make_unique<ComparedTree>(newicks[i]); });
  });

  // Every leaf name of every tree numbered once, in tree order.
  std::unordered_map<std::string_view, uint32_t> number_of;
  std::vector<size_t> last_tree;  // per number: the last tree that had it, plus one
  // A rejected tree is freed only once numbering ends: number_of's keys view
  // the names of every tree numbered so far, its own included.
  std::vector<size_t> rejected;
  CancelPoller poll;
  for (size_t i = 0; i < n; ++i) {
    if (!trees_[i]) continue;
    const bool numbered = keep_error(i, [&] {
      ComparedTree& t = *trees_[i];
      t.ids.resize(t.leaves.size());
      for (size_t k = 0; k < t.leaves.size(); ++k) {
        const auto [it, added] =
            number_of.emplace(t.tree.name(t.leaves[k]), static_cast<uint32_t>(number_of.size()));
        if (added) last_tree.push_back(0);
        if (last_tree[it->second] == i + 1) repeated_leaf(t, k);
        last_tree[it->second] = i + 1;
        t.ids[k] = it->second;
        poll.tick();
      }
    });
    if (!numbered) rejected.push_back(i);
  }
  names_ = static_cast<uint32_t>(number_of.size());
  number_of.clear();
  for (const size_t i : rejected) trees_[i].reset();

  // Trees with the same leaves share a leaf-set numbering: its names, in
  // ascending number, numbered 0..m-1.
  std::vector<std::vector<uint32_t>> sets;  // sorted numbers of each leaf set
  std::unordered_map<uint64_t, std::vector<uint32_t>> sets_by_hash;
  std::vector<std::vector<uint32_t>> local_of;  // per leaf set, per number
  for (size_t i = 0; i < n; ++i) {
    if (!trees_[i]) continue;
    ComparedTree& t = *trees_[i];
    std::vector<uint32_t> sorted = t.ids;
    std::sort(sorted.begin(), sorted.end());
    uint64_t h = mix64(sorted.size());
    for (const uint32_t id : sorted) h = mix64(h ^ id);
    std::vector<uint32_t>& candidates = sets_by_hash[h];
    uint32_t found = UINT32_MAX;
    for (const uint32_t s : candidates)
      if (sets[s] == sorted) found = s;
    if (found == UINT32_MAX) {
      found = static_cast<uint32_t>(sets.size());
      candidates.push_back(found);
      std::vector<uint32_t> local(names_, kNoId);
      for (size_t r = 0; r < sorted.size(); ++r) local[sorted[r]] = static_cast<uint32_t>(r);
      local_of.push_back(std::move(local));
      sets.push_back(std::move(sorted));
    }
    t.leaf_set = found;
    poll.tick(t.ids.size());
  }

  pool.run(n, [&](size_t i) {
    if (!trees_[i]) return;
    keep_error(i, [&] {
      ComparedTree& t = *trees_[i];
      std::vector<uint32_t> numbers(t.ids.size());
      for (size_t k = 0; k < t.ids.size(); ++k) numbers[k] = local_of[t.leaf_set][t.ids[k]];
      prepare(t, numbers, static_cast<uint32_t>(numbers.size()), options_, true);
    });
  });
}

PairComparison::~PairComparison() = default;

CompareRow PairComparison::score(size_t a, size_t b) const {
  return row_or_error([&](CompareRow& row) {
    if (!trees_[a]) throw CallerError("tree_a: " + errors_[a]);
    if (!trees_[b]) throw CallerError("tree_b: " + errors_[b]);
    const ComparedTree& first = *trees_[a];
    const ComparedTree& second = *trees_[b];
    score_topologies(first, second, first.leaf_set == second.leaf_set, names_, options_, kPairRoles,
                     row);
  });
}

}  // namespace cladorix
