// Many trees scored in one go: each against one reference, or every pair.
//
// Leaves are matched by name: every leaf of a compared tree must be named,
// once. Robinson-Foulds compares topologies (the trees without their internal
// labels); the exact triplet count is per depth of the reference; the
// character scores take each tree's rows by cell name; parsimony and the
// likelihood hold internal states by node name, so they need every node
// uniquely named, while the cut events read no internal label.
//
// A tree's own failure (it does not parse, its leaves differ from the
// reference's, a measure refuses it) is that row's error text; only the
// reference's failures, cancellation and memory exhaustion are thrown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "measures/characters/character_states.hpp"
#include "measures/triplets/exact_by_name.hpp"
#include "tree/tree.hpp"

namespace cladorix {

enum class CompareMeasure : uint8_t {
  Rf,             // rf_distance
  RfNormalized,   // normalized_rf_distance, max_possible_rf
  TripletsExact,  // the four ratios, n_triplets, n_triplets_correct
  Parsimony,      // parsimony_score
  Likelihood,     // log_likelihood
  CutEvents,      // cut_events, extra_events
};

// The measure of a user's name ("rf", "rf_normalized", "triplets_exact",
// "parsimony", "likelihood", "cut_events"); CallerError naming the known
// ones otherwise.
CompareMeasure compare_measure(std::string_view name);

// A matrix whose rows are found by cell name.
struct CellRows {
  const CharacterMatrix* matrix = nullptr;
  std::unordered_map<std::string_view, uint32_t> row_of;  // views into the names given
  int32_t missing_state = -1;
  int32_t unedited_state = 0;

  // CallerError for a row count that differs from the name count, a name
  // given twice, or rows of unequal length.
  CellRows(const CharacterMatrix& matrix, const std::vector<std::string>& cell_names,
           int32_t missing_state, int32_t unedited_state);
};

struct CompareOptions {
  std::vector<CompareMeasure> measures;
  bool common_leaves = false;
  bool by_depth = false;
  const CellRows* cells = nullptr;  // needed by the character measures
  // Shares of the worker pool within one tree's count (the trees themselves
  // are spread over the pool by the caller).
  std::optional<uint64_t> max_threads_per_tree = 1;

  bool wants(CompareMeasure m) const;
};

struct CompareRow {
  std::optional<uint64_t> rf_distance;
  std::optional<double> normalized_rf_distance;
  std::optional<uint64_t> max_possible_rf;
  std::optional<ExactTripletCounts> triplets;
  std::optional<uint64_t> parsimony_score;
  std::optional<double> log_likelihood;
  std::optional<uint64_t> cut_events, extra_events;
  // With common leaves.
  std::optional<uint64_t> leaves_compared, leaves_only_in_reference, leaves_only_in_tree;
  // Per depth of the reference, with by_depth.
  std::vector<uint32_t> depths;
  std::vector<ExactTripletCounts> by_depth;
  std::string error;  // empty when the row holds its scores
};

// A tree parsed and checked once, with what every comparison needs of it.
class ComparedTree {
 public:
  // CallerError when the text does not parse, a "(" is left open, a leaf
  // has no name or a name is used by two leaves. With `topology`, the tree
  // without internal labels is built too; with `depths`, every node's depth.
  ComparedTree(std::string_view newick, bool topology, bool depths);
  ComparedTree(ComparedTree&&) = default;

  const Tree& tree() const noexcept { return tree_; }
  const std::vector<NodeId>& leaves() const noexcept { return leaves_; }
  // The leaf of that name, or kNoNode.
  NodeId leaf(std::string_view name) const;
  const Tree& topology() const { return *topology_; }
  const std::vector<uint32_t>& depths() const noexcept { return depths_; }

 private:
  Tree tree_;
  std::vector<NodeId> leaves_;
  std::unordered_map<std::string_view, NodeId> leaf_of_;
  std::optional<Tree> topology_;
  std::vector<uint32_t> depths_;
};

class ReferenceComparison {
 public:
  // CallerError for a reference that fails as ComparedTree does, or, when a
  // character measure is asked for, lacks unique internal labels or a row.
  ReferenceComparison(std::string_view reference, const CompareOptions& options);

  // One tree against the reference; thread-safe. Throws only Cancelled and
  // std::bad_alloc: every other failure is the row's error.
  CompareRow score(std::string_view newick) const;

  // The reference's own character scores, where asked for.
  const CompareRow& reference_scores() const noexcept { return own_; }

 private:
  CompareOptions options_;
  ComparedTree reference_;
  CompareRow own_;
};

// Every tree of a set parsed once, for scoring pairs.
class PairComparison {
 public:
  // Trees that fail to parse keep their error for every pair they are in.
  PairComparison(const std::vector<std::string_view>& newicks, const CompareOptions& options);

  size_t size() const noexcept { return trees_.size(); }
  // Tree a as the reference of tree b (depths are tree a's); thread-safe.
  CompareRow score(size_t a, size_t b) const;

 private:
  CompareOptions options_;
  std::vector<std::optional<ComparedTree>> trees_;
  std::vector<std::string> errors_;
};

}  // namespace cladorix
